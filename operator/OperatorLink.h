// The server as the operator's window sees it, and all the window may use of
// it: the published views, the operator's line and this machine's address.
// The window never reaches the room, the members or a socket.
#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace velmor {

// What changed in the operator's views since they were last taken; each
// text is whole, and only there when it changed.
struct RoomViews {
  std::optional<QString> memberList;
  std::optional<QString> log;
  std::optional<QString> status;
};

class OperatorLink : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // The views' news since the last take. Any thread.
  virtual RoomViews TakeViews() = 0;
  // The operator's line: appended to the log and the views refreshed, as one
  // step between two requests. Any thread.
  virtual void PostOperatorLine(const QString& text) = 0;
  // The SHA-256 fingerprint of the certificate browsers are served with,
  // for members to compare with what their browser shows; empty without
  // TLS. Any thread.
  virtual QString WebFingerprint() const { return {}; }

 signals:
  // Something waits in TakeViews; not raised again until it has been taken.
  void ViewsChanged();
};

// This machine's IPv4 address, from the interfaces that are up, loopback
// excluded; empty when there is none.
QString LocalIPv4Address();

}  // namespace velmor
