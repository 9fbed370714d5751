// What runs the chat server: the one-instance lock, the status echo on
// standard error and the server itself, on the calling thread or on a thread
// of its own (so that the window never holds a client up), which runs an
// EpollEventLoop. The calling thread serves best when it runs one too.
#pragma once

#include <QThread>

#include <cstdint>
#include <optional>

#include "app/InstanceLock.h"
#include "server/ChatServer.h"
#include "stderr/StatusEcho.h"

namespace velmor {

class ServerHost {
 public:
  enum class Threading { CallingThread, OwnThread };

  explicit ServerHost(Threading threading);
  ~ServerHost();
  ServerHost(const ServerHost&) = delete;
  ServerHost& operator=(const ServerHost&) = delete;

  // False when another instance of the program serves for this user; that is
  // then said once on standard error.
  bool AcquireInstance();
  // Listens on the chat port and sets the first status text, on the server's
  // thread, then serves browsers on webPort if given; returns once that is
  // done; then takes the room back from historyFile and keeps it there, if
  // one is named. The result is the chat server's.
  ChatServer::StartResult Start(std::optional<std::uint16_t> webPort = std::nullopt,
                                const QStringList& webOrigins = {},
                                const BrowserGate::Tls& webTls = {},
                                const QString& historyFile = {});
  ChatServer& Server() { return *server_; }

 private:
  InstanceLock lock_;
  StatusEcho echo_;
  QThread thread_;
  ChatServer* server_ = nullptr;
};

// Makes the calling thread (the window's) the first to wait when it and the
// server's thread want the same CPU; threads it starts later inherit this.
void LowerThisThreadsPriority();

}  // namespace velmor
