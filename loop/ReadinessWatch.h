// The clients' sockets, watched through an epoll set: only the sockets that
// are ready are handed over, in the order they became so, however many the
// server has.
//
// The set reports a socket when something new happens on it (edge-triggered),
// not for as long as it stays ready: a socket served in one wake-up is not
// looked at again in the next unless more came. A handler must therefore
// take everything it is told of, or ask to be told again (Change).
//
// On a thread run by an EpollEventLoop the sockets are entries of the loop's
// own set, beside Qt's descriptors, and are served in the same wait as its
// timers and posted events. On a thread that runs another loop (the window's,
// when the UI tests drive a server there) they get a set of their own behind
// one socket notifier.
#pragma once

#include <cstdint>

class QObject;

namespace velmor {

class ReadinessWatch {
 public:
  // What a watched socket is told. A handler may close its socket from
  // either call; it must stay alive until control returns to the event loop.
  class Handler {
   public:
    // Input, a hang-up or an error. peerDone: the peer has closed its side
    // or the socket failed, so no more input will come; what was sent
    // before it may still be waiting to be read.
    virtual void OnReadable(bool peerDone) = 0;
    // Room to write, after a write the kernel did not take whole.
    virtual void OnWritable() = 0;

   protected:
    ~Handler() = default;
  };

  // The watch for sockets served on the calling thread: its event loop's
  // when that is an EpollEventLoop, else a new one, a child of owner, which
  // its sockets share; the caller keeps what it gets.
  static ReadinessWatch& OnThisThread(QObject& owner);

  // Watches fd for input (and for hang-ups and errors, which a read sees),
  // and for room to write when wantWrite. False, with errno, when the set
  // cannot take it (EEXIST: fd is watched already, for another owner).
  virtual bool Watch(int fd, Handler& handler, bool wantWrite) = 0;
  // Also reports fd again if it is ready now, as for a handler that left
  // input unread on purpose.
  virtual bool Change(int fd, Handler& handler, bool wantWrite) = 0;
  // Ends the watch on fd, before the owner closes it: nothing is reported
  // for it from then on, even what the kernel reported before, and the
  // number may be watched again for its next owner.
  virtual void Forget(int fd) = 0;

 protected:
  ~ReadinessWatch() = default;
  // The set's entry for a socket, and what its readiness tells the handler.
  // data is what the set reports for fd.
  static bool Control(int epoll, int operation, int fd, std::uint64_t data, bool wantWrite);
  static void Tell(Handler& handler, std::uint32_t events);
};

}  // namespace velmor
