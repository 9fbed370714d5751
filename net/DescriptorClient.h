// A Pibbet client on a plain non-blocking socket watched by the event loop.
// Replies go out in code page 932; what the kernel does not take at once
// waits in user space until the socket is writable.
#pragma once

#include <string>
#include <vector>

#include "net/Member.h"
#include "wire/StateEncoder.h"

class QSocketNotifier;

namespace velmor {

class ReplyEncoder;

class DescriptorClient : public Member {
  Q_OBJECT

 public:
  // What all clients of one server share: the reply encoders, which keep
  // what one reply has in common with the next, and the read buffers.
  struct Shared {
    explicit Shared(ReplyEncoder& replies) : replies(replies) {}
    ReplyEncoder& replies;
    StateEncoder states;
    std::vector<char> readBuffer;
    std::string inbox;
    std::u16string decoded;
  };

  // Takes over fd, a connected socket.
  DescriptorClient(int fd, SlotIndex slot, MemberEvents& events, Shared& shared, QObject* parent);
  ~DescriptorClient() override;

 protected:
  qint64 UnsentBytes() const override { return static_cast<qint64>(unsent_.size()); }
  void Write(const std::u16string& reply) override;
  void WriteState(const StateReply& reply) override;
  void Release() override;

 private:
  void OnReadable();
  void OnWritable();
  // Hands bytes to the kernel at once when nothing waits before them.
  void Queue(const char* data, std::size_t size);

  int fd_;
  Shared& shared_;
  QSocketNotifier* readable_ = nullptr;
  QSocketNotifier* writable_ = nullptr;
  std::string unsent_;
};

}  // namespace velmor
