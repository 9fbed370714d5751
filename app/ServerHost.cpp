#include "app/ServerHost.h"

#include "app/Shutdown.h"

#include <QFile>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdio>

#include "loop/EpollEventLoop.h"

namespace velmor {

ServerHost::ServerHost(Threading threading) : server_(new ChatServer(echo_)) {
  if (threading == Threading::OwnThread) {
    thread_.setObjectName("server");
    thread_.setEventDispatcher(new EpollEventLoop);
    server_->moveToThread(&thread_);
    thread_.start();
  }
}

ServerHost::~ServerHost() {
  // The server and its sockets end on the thread they live on.
  if (thread_.isRunning()) {
    const auto end = [this] { delete server_; };
    QMetaObject::invokeMethod(server_, end, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
  } else {
    delete server_;
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
  if (lock_.TryAcquire()) return true;
  std::fprintf(stderr,
               "velmor: another instance of Velmor already serves port %u for this user; "
               "this one will not listen.\n",
               unsigned{ChatServer::DefaultPort});
  return false;
}

ChatServer::StartResult ServerHost::Start(std::optional<std::uint16_t> webPort,
                                          const QStringList& webOrigins,
                                          const BrowserGate::Tls& webTls,
                                          const QString& historyFile) {
  ChatServer::StartResult result = ChatServer::StartResult::ListenFailed;
  const auto start = [this, &result, webPort, &webOrigins, &webTls, &historyFile] {
    result = server_->Start();
    if (webPort) server_->ListenForBrowsers(*webPort, webOrigins, webTls);
    // Before the loop turns: nobody comes in before the kept room is back.
    if (!historyFile.isEmpty()) server_->KeepHistory(QFile::encodeName(historyFile).toStdString());
  };
  // A renewed certificate is read again on SIGHUP, on the server's thread.
  if (webTls.Wanted()) {
    RecertifyOnHangup([server = server_] {
      QMetaObject::invokeMethod(server, [server] { server->RecertifyBrowsers(); });
    });
  }
  if (thread_.isRunning()) {
    QMetaObject::invokeMethod(server_, start, Qt::BlockingQueuedConnection);
  } else {
    start();
  }
  return result;
}

}  // namespace velmor
