// A Pibbet client on a plain non-blocking socket, watched with the other
// clients' through one ReadinessWatch.
// Replies go out in code page 932; what the kernel does not take at once
// waits in user space until the socket is writable.
#pragma once

#include <string>
#include <vector>

#include "loop/ReadinessWatch.h"
#include "members/Member.h"
#include "wire/RequestFraming.h"
#include "wire/StateEncoder.h"

namespace velmor {

class DescriptorClient : public Member, private ReadinessWatch::Handler {
  Q_OBJECT

 public:
  // What all clients of one server share: the watch on their sockets, the
  // state reply's bytes, which keep what one reply has in common with the
  // next, and the read buffers.
  struct Shared {
    explicit Shared(ReadinessWatch& watch) : watch(watch) {}
    ReadinessWatch& watch;
    StateEncoder states;
    std::vector<char> readBuffer;
    std::u16string decoded;
    std::string joinedKey;
  };

  // The most one read takes: a client's turn on the loop is about one read
  // of this and the handling of what it completes.
  static constexpr std::size_t ReadBound = 16 * 1024;
  // How long the parts of one request may take to come: a lost segment is
  // sent again within a second or two on a network that works at all.
  static constexpr int PartsWithinMs = 3000;
  // The longest arrival: a longer one is handled in parts. Sixteen times the
  // longest chat line a request can carry (32,767 characters of up to two
  // bytes each), which leaves its key room to spare.
  static constexpr std::size_t MaxArrival = 1024 * 1024;

  // Takes over fd, a connected socket.
  DescriptorClient(int fd, SlotIndex slot, MemberEvents& events, Shared& shared, QObject* parent);
  ~DescriptorClient() override;

 protected:
  qint64 UnsentBytes() const override { return static_cast<qint64>(unsent_.size()); }
  void WriteState(const StateReply& reply) override;
  void Release() override;

 private:
  void OnReadable(bool peerDone) override;
  // Reads once, and hands over the arrival that completes; true when one
  // did and nothing was left unread.
  bool ReadArrival();
  // Whether the arrival so far is the first part of a request on its way.
  bool AwaitsMore(std::string_view arrival);
  // Holds the arrival for its rest, until the deadline.
  void KeepForTheRest(std::string_view arrival);
  void HandOver(std::string_view arrival);
  void timerEvent(QTimerEvent* event) override;
  void OnWritable() override;
  // Watches for room to write while bytes wait, and only then.
  void WatchWrites(bool wanted);
  // Changes the watch, which also reports the socket again if it is ready;
  // a client the watch refuses ends as a connection failure.
  bool Rewatch(bool writes);
  // Hands bytes to the kernel at once when nothing waits before them.
  void Queue(const char* data, std::size_t size);

  int fd_;
  Shared& shared_;
  bool watchingWrites_ = false;
  std::string unsent_;
  std::string arriving_;  // an arrival read in parts so far
  RequestFraming framing_;
  int partsDeadline_ = 0;  // the timer for the rest of a request, when one runs
};

}  // namespace velmor
