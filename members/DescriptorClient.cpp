#include "members/DescriptorClient.h"

#include <QHostAddress>
#include <QString>
#include <QTimerEvent>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "wire/Cp932.h"

namespace velmor {

namespace {

// A reset is how many clients leave; it ends the connection as a close does.
Ending EndingOf(int error) {
  return error == ECONNRESET || error == EPIPE ? Ending::PeerClosed : Ending::Failed;
}

}  // namespace

DescriptorClient::DescriptorClient(int fd, SlotIndex slot, MemberEvents& events, Shared& shared,
                                   QObject* parent)
    : Member(slot, events, parent), fd_(fd), shared_(shared) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  QHostAddress address;
  quint16 port = 0;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
    address.setAddress(reinterpret_cast<const sockaddr*>(&peer));
    port = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  }
  SetPeer(address, port);

  // A client that cannot be watched would never be heard: it leaves as a
  // connection error, which frees its slot.
  if (!shared_.watch.Watch(fd, *this, false)) EndLater(EndingOf(errno));
}

DescriptorClient::~DescriptorClient() { Release(); }

void DescriptorClient::Release() {
  if (fd_ < 0) return;
  shared_.watch.Forget(fd_);
  ::close(fd_);
  fd_ = -1;
  std::string().swap(unsent_);
}

void DescriptorClient::OnReadable(bool peerDone) {
  // The close that came with a request is read right after it is handled:
  // the watch will not announce it again.
  if (ReadArrival() && peerDone) ReadArrival();
}

// Everything received and not yet read is one arrival. One read usually
// takes it all. A read takes at most ReadBound bytes, so that a client that
// streams without pause holds the loop for one read a turn: while the socket
// still holds more, the bytes so far wait here and the watch is asked for
// the rest, which the next pass reads. An arrival the socket ran dry on
// that is the first part of a request on its way (RequestFraming) waits for
// the rest, for at most PartsWithinMs and MaxArrival bytes.
bool DescriptorClient::ReadArrival() {
  if (IsClosed()) return false;
  std::vector<char>& buffer = shared_.readBuffer;
  if (buffer.empty()) buffer.resize(ReadBound);
  const ssize_t got = ::recv(fd_, buffer.data(), ReadBound, 0);
  if (got < 0 && errno == EINTR) {
    Rewatch(watchingWrites_);
    return false;
  }
  if (got < 0 && errno != EAGAIN) {
    End(EndingOf(errno));
    return false;
  }
  const std::string_view bytes(buffer.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
  if (bytes.empty() && (arriving_.empty() || got < 0)) {
    if (got == 0) End(Ending::PeerClosed);
    return false;  // nothing came, or a report of bytes read before
  }
  bool drained = bytes.size() < ReadBound;
  if (!drained) {
    int waiting = 0;
    drained = ::ioctl(fd_, FIONREAD, &waiting) == 0 && waiting == 0;
  }
  std::string_view arrival = bytes;
  if (!arriving_.empty() || !drained) {
    arriving_.append(bytes);
    arrival = arriving_;
  }
  const bool full = arrival.size() >= MaxArrival;
  if (!drained && !full) {
    KeepForTheRest(arrival);
    Rewatch(watchingWrites_);
    return false;
  }
  if (got > 0 && !full && AwaitsMore(arrival)) {
    KeepForTheRest(arrival);
    return true;  // the rest is announced when it comes
  }
  HandOver(arrival);
  if (IsClosed()) return false;
  if (got == 0) {  // the close came right after the last of the arrival
    End(Ending::PeerClosed);
    return false;
  }
  // Bytes past the bound are the next arrival, announced when the watch is
  // changed.
  if (!drained) {
    Rewatch(watchingWrites_);
    return false;
  }
  return true;
}

bool DescriptorClient::AwaitsMore(std::string_view arrival) {
  std::string& key = shared_.joinedKey;
  key.clear();
  Cp932::Instance().EncodeInto(Events().JoinedKey(Slot()), key);
  return framing_.AwaitsMore(arrival, key);
}

void DescriptorClient::KeepForTheRest(std::string_view arrival) {
  if (arriving_.empty()) arriving_.assign(arrival);
  if (partsDeadline_ == 0) partsDeadline_ = startTimer(PartsWithinMs, Qt::CoarseTimer);
}

void DescriptorClient::HandOver(std::string_view arrival) {
  if (partsDeadline_ != 0) killTimer(std::exchange(partsDeadline_, 0));
  framing_.Reset();
  std::u16string& text = shared_.decoded;
  // A request read whole in one read is offered to the reply's encoder,
  // which may send its bytes back as they came where its text becomes a line.
  const bool offered = Cp932::Instance().DecodeInto(arrival, text) && arriving_.empty();
  std::string().swap(arriving_);
  if (offered) shared_.states.OfferSource(text, arrival);
  Arrived(text);
  if (offered) shared_.states.Withdraw();
  // A flood's buffers are not kept for the ordinary requests after it.
  if (text.capacity() > (1u << 20)) std::u16string().swap(text);
}

void DescriptorClient::timerEvent(QTimerEvent* event) {
  if (event->timerId() != partsDeadline_) return Member::timerEvent(event);
  killTimer(std::exchange(partsDeadline_, 0));
  if (IsClosed() || arriving_.empty()) return;
  // The rest never came: what did is the request, and the room judges it.
  const std::string arrival = std::move(arriving_);
  arriving_.clear();
  HandOver(arrival);
}

void DescriptorClient::OnWritable() {
  if (IsClosed()) return;
  const ssize_t sent = ::send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && errno != EAGAIN && errno != EINTR) {
    // Read errno before any other call can change it.
    const Ending ending = EndingOf(errno);
    WatchWrites(false);
    End(ending);
    return;
  }
  if (sent > 0) unsent_.erase(0, static_cast<std::size_t>(sent));
  if (unsent_.empty()) WatchWrites(false);
}

void DescriptorClient::WatchWrites(bool wanted) {
  if (wanted == watchingWrites_ || fd_ < 0) return;
  if (Rewatch(wanted)) watchingWrites_ = wanted;
}

bool DescriptorClient::Rewatch(bool writes) {
  if (shared_.watch.Change(fd_, *this, writes)) return true;
  EndLater(EndingOf(errno));
  return false;
}

void DescriptorClient::WriteState(const StateReply& reply) {
  const std::string_view bytes = shared_.states.Encode(reply);
  Queue(bytes.data(), bytes.size());
}

void DescriptorClient::Queue(const char* data, std::size_t size) {
  std::size_t left = size;
  // With nothing queued, hand the reply to the kernel at once; what it does
  // not take waits for the socket to become writable.
  if (unsent_.empty()) {
    const ssize_t sent = ::send(fd_, data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      EndLater(EndingOf(errno));
      return;
    }
    if (sent > 0) {
      data += sent;
      left -= static_cast<std::size_t>(sent);
    }
  }
  if (left == 0) return;
  unsent_.append(data, left);
  WatchWrites(true);
}

}  // namespace velmor
