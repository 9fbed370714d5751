// A browser member: the page's WebSocket, its requests and replies UTF-8 text
// messages. A browser cannot be trusted to close its connection (a phone
// walks out of range without a word), so every browser member is pinged and
// ended when it has not been heard from for KeepAliveMs; one that has not
// joined within JoinDeadlineMs is ended too.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include "net/Member.h"

class QWebSocket;

namespace velmor {

class BrowserMember : public Member {
  Q_OBJECT

 public:
  static constexpr int JoinDeadlineMs = 60000;
  static constexpr qint64 MaxMessageBytes = 64 * 1024;
  // Silence, answers to pings included, after which a browser is gone. The
  // environment variable VELMOR_TEST_KEEPALIVE_MS sets a shorter one, for
  // tests only.
  static int KeepAliveMs();

  // Takes over socket, whose handshake is done.
  BrowserMember(QWebSocket* socket, SlotIndex slot, MemberEvents& events, QObject* parent);
  ~BrowserMember() override;

 protected:
  qint64 UnsentBytes() const override;
  void Write(const std::u16string& reply) override;
  void Release() override;

 private:
  void CheckAlive();

  QWebSocket* Socket;
  QTimer JoinDeadline;
  QTimer Pinger;
  QElapsedTimer LastHeard;
};

}  // namespace velmor
