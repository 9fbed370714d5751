// The clients' sockets, watched through one epoll set that the event loop
// sees as a single descriptor. The event loop polls every descriptor it is
// given on every wake-up, so with a socket notifier each, a room of 20
// clients paid for 20 sockets whenever one of them had a request; the set
// hands over only the sockets that are ready, in the order they became so.
//
// The set reports a socket when something new happens on it (edge-triggered),
// not for as long as it stays ready: a socket served in one wake-up is not
// looked at again in the next unless more came. A handler must therefore
// take everything it is told of, or ask to be told again (Change).
#pragma once

#include <QObject>

#include <chrono>

class QSocketNotifier;
struct epoll_event;

namespace velmor {

class ReadinessWatch : public QObject {
  Q_OBJECT

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

  explicit ReadinessWatch(QObject* parent);
  ~ReadinessWatch() override;

  // Watches fd for input (and for hang-ups and errors, which a read sees),
  // and for room to write when wantWrite. False, with errno, when the set
  // cannot take it. A socket leaves the set when it is closed.
  bool Watch(int fd, Handler& handler, bool wantWrite);
  // Also reports fd again if it is ready now, as for a handler that left
  // input unread on purpose.
  bool Change(int fd, Handler& handler, bool wantWrite);
  // Gives the event loop its turn once the handler in hand returns, instead
  // of waiting for more sockets first: for work just queued on the loop that
  // should follow the request at once.
  void HandBackSoon();
  // For a descriptor the event loop serves itself, such as a listening
  // port: input on it gives the loop its turn instead of waiting behind
  // this watch's sockets, and for a while after it the watch waits for
  // none of its own. False, with errno, when the set cannot take it.
  bool WakeOn(int fd);

 private:
  bool Control(int operation, int fd, Handler& handler, bool wantWrite);
  void Dispatch();
  void Serve(const epoll_event* ready, int count);
  void OnLoopInput();

  using Clock = std::chrono::steady_clock;

  struct HandBackOnInput : Handler {
    explicit HandBackOnInput(ReadinessWatch& watch) : watch(watch) {}
    void OnReadable(bool) override { watch.OnLoopInput(); }
    void OnWritable() override {}
    ReadinessWatch& watch;
  };

  int epoll_ = -1;
  HandBackOnInput handBackOnInput_{*this};
  bool handBack_ = false;            // the loop is to have its turn after this handler
  Clock::time_point loopBusyUntil_;  // no waiting for more before then
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace velmor
