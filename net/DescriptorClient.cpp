#include "net/DescriptorClient.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QString>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "wire/Cp932.h"
#include "wire/ReplyEncoder.h"

namespace velmor {

namespace {

// A reset is how many clients leave; it ends the connection as a close does.
Ending EndingOf(int error) {
  return error == ECONNRESET || error == EPIPE ? Ending::PeerClosed : Ending::Failed;
}

}  // namespace

DescriptorClient::DescriptorClient(int fd, SlotIndex slot, MemberEvents& events, Shared& shared,
                                   QObject* parent)
    : Member(slot, events, parent), Fd(fd), Common(shared) {
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

  Readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(Readable, &QSocketNotifier::activated, this, &DescriptorClient::OnReadable);
  Writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  Writable->setEnabled(false);
  connect(Writable, &QSocketNotifier::activated, this, &DescriptorClient::OnWritable);
}

DescriptorClient::~DescriptorClient() { Release(); }

void DescriptorClient::Release() {
  if (Fd < 0) return;
  Readable->setEnabled(false);
  Writable->setEnabled(false);
  ::close(Fd);
  Fd = -1;
  std::string().swap(Unsent);
}

// Everything received and not yet read is one arrival. One read with a large
// buffer usually takes it all; a bound keeps a client that streams without
// pause from holding the loop.
void DescriptorClient::OnReadable() {
  if (IsClosed()) return;
  constexpr std::size_t Chunk = 64 * 1024;
  constexpr std::size_t MaxArrival = 16 * 1024 * 1024;
  std::vector<char>& buffer = Common.ReadBuffer;
  std::string& inbox = Common.Inbox;
  if (buffer.empty()) buffer.resize(Chunk);
  inbox.clear();
  std::string_view arrival;
  int error = 0;
  bool peerClosed = false;
  for (;;) {
    const ssize_t got = ::recv(Fd, buffer.data(), Chunk, 0);
    if (got == 0) peerClosed = true;
    if (got < 0 && errno != EAGAIN && errno != EINTR) error = errno;
    if (got <= 0) break;
    const std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
    if (arrival.empty() && bytes.size() < Chunk) {
      arrival = bytes;  // the usual case: one read, no copy
      break;
    }
    inbox.append(bytes);
    if (bytes.size() < Chunk || inbox.size() >= MaxArrival) break;
  }
  if (!inbox.empty()) arrival = inbox;
  if (!arrival.empty()) {
    // The close or failure, if any, is seen on the next wake-up.
    const std::u16string text = Cp932::Instance().Decode(arrival);
    // A flood's buffer is not kept for the ordinary requests after it.
    if (inbox.capacity() > (1u << 20)) std::string().swap(inbox);
    Arrived(text);
    return;
  }
  if (peerClosed) {
    End(Ending::PeerClosed);
  } else if (error != 0) {
    End(EndingOf(error));
  }
}

void DescriptorClient::OnWritable() {
  if (IsClosed()) return;
  const ssize_t sent = ::send(Fd, Unsent.data(), Unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && errno != EAGAIN && errno != EINTR) {
    // Read errno before any other call can change it.
    const Ending ending = EndingOf(errno);
    Writable->setEnabled(false);
    End(ending);
    return;
  }
  if (sent > 0) Unsent.erase(0, static_cast<std::size_t>(sent));
  if (Unsent.empty()) Writable->setEnabled(false);
}

void DescriptorClient::Write(const std::u16string& reply) {
  const std::string& bytes = Common.Replies.Encode(reply);
  Queue(bytes.data(), bytes.size());
}

void DescriptorClient::WriteState(const StateReply& reply) {
  const std::string_view bytes = Common.States.Encode(reply);
  Queue(bytes.data(), bytes.size());
}

void DescriptorClient::Queue(const char* data, std::size_t size) {
  std::size_t left = size;
  // With nothing queued, hand the reply to the kernel at once; what it does
  // not take waits for the socket to become writable.
  if (Unsent.empty()) {
    const ssize_t sent = ::send(Fd, data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
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
  Unsent.append(data, left);
  Writable->setEnabled(true);
}

}  // namespace velmor
