// The page browser members load: one self-contained page and its icon,
// served from the program's resources by Qt's HTTP server. Every other path
// or method gets 404; no file is read at run time. A connection is closed a
// minute after it opened, so idle connections cannot pile up.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QHttpServer;
class QTcpServer;

namespace velmor {

class WebPage : public QObject {
  Q_OBJECT

 public:
  static constexpr int IdleCloseMs = 60000;

  explicit WebPage(QObject* parent = nullptr);
  ~WebPage() override;

  // False, with the reason, when the port cannot be listened on.
  bool Listen(std::uint16_t port, QString& reason);
  std::uint16_t Port() const;

 private:
  std::unique_ptr<QHttpServer> Server;
  QTcpServer* Listener = nullptr;
};

}  // namespace velmor
