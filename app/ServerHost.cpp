#include "app/ServerHost.h"

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

bool ServerHost::AcquireInstance() {
  if (Lock.TryAcquire()) return true;
  std::fputs(
      "velmor: another instance of Velmor already serves port 5000 for this user; "
      "this one will not listen.\n",
      stderr);
  return false;
}

ChatServer::StartResult ServerHost::Start() {
  ChatServer::StartResult result = ChatServer::StartResult::ListenFailed;
  const auto start = [this, &result] { result = TheServer->Start(); };
  if (Thread.isRunning()) {
    QMetaObject::invokeMethod(TheServer, start, Qt::BlockingQueuedConnection);
  } else {
    start();
  }
  return result;
}

}  // namespace velmor
