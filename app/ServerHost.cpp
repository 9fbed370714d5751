#include "app/ServerHost.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdio>

namespace velmor {

ServerHost::ServerHost(Threading threading) : TheServer(new ChatServer(Echo)) {
  if (threading == Threading::OwnThread) {
    Thread.setObjectName("server");
    TheServer->moveToThread(&Thread);
    Thread.start();
  }
}

ServerHost::~ServerHost() {
  // The server and its sockets end on the thread they live on.
  if (Thread.isRunning()) {
    QMetaObject::invokeMethod(
        TheServer, [this] { delete TheServer; }, Qt::BlockingQueuedConnection);
    Thread.quit();
    Thread.wait();
  } else {
    delete TheServer;
  }
}

void LowerThisThreadsPriority() {
  // SCHED_IDLE: the thread runs only on CPU time nobody else wants, and a
  // waking server thread takes the CPU from it at once. Where the policy is
  // refused, a high nice value does most of the same.
  const sched_param none{};
  if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &none) != 0) {
    ::setpriority(PRIO_PROCESS, 0, 19);
  }
}

bool ServerHost::AcquireInstance() {
  if (Lock.TryAcquire()) return true;
  std::fprintf(stderr,
               "velmor: another instance of Velmor already serves port %u for this user; "
               "this one will not listen.\n",
               unsigned{ChatServer::DefaultPort});
  return false;
}

ChatServer::StartResult ServerHost::Start(std::optional<std::uint16_t> webPort,
                                          const QStringList& webOrigins) {
  ChatServer::StartResult result = ChatServer::StartResult::ListenFailed;
  const auto start = [this, &result, webPort, &webOrigins] {
    result = TheServer->Start();
    if (webPort) TheServer->ListenForBrowsers(*webPort, webOrigins);
  };
  if (Thread.isRunning()) {
    QMetaObject::invokeMethod(TheServer, start, Qt::BlockingQueuedConnection);
  } else {
    start();
  }
  return result;
}

}  // namespace velmor
