// A browser member: the page's WebSocket. It speaks one of two languages,
// chosen by its first message:
//  - JSON (a message that begins with "{"), the browser protocol of the
//    README: requests as JSON objects, the whole room once on joining, then
//    only what changed, pushed when it changes;
//  - the room's own requests as text, each answered with the state reply,
//    as a Pibbet client is answered.
// Either way its requests are the room's requests, carried out as any
// client's are.
//
// A browser cannot be trusted to close its connection (a phone walks out of
// range without a word), so every browser member is pinged and ended when it
// has not been heard from for KeepAliveMs while the server could hear it;
// one that has not joined within JoinDeadlineMs is ended too.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWebSocketProtocol>

#include <deque>
#include <string>
#include <utility>

#include "members/Member.h"

class QWebSocket;

namespace velmor {

class AdoptedSocket;

class BrowserMember : public Member {
  Q_OBJECT

 public:
  static constexpr int JoinDeadlineMs = 60000;
  static constexpr qint64 MaxMessageBytes = 64 * 1024;
  // Silence, answers to pings included, after which a browser is gone. The
  // environment variable VELMOR_TEST_KEEPALIVE_MS sets a shorter one, for
  // tests only.
  static int KeepAliveMs();
  static constexpr int DefaultKeepAliveMs = 60000;

  // How long the place of a page whose connection ended without leaving is
  // kept for it. A reload or a change of network comes back within
  // seconds and the page retries within 10 s; two minutes also cover a
  // phone locked for a while, yet a member gone for good leaves soon enough
  // for the list to be believed. --web-grace sets it; for tests only, the
  // environment variable VELMOR_TEST_GRACE_MS sets it in milliseconds.
  static constexpr int DefaultResumeGraceMs = 120000;
  static int ResumeGraceMs();
  static void SetResumeGraceMs(int ms);

  // Takes over socket, whose handshake is done.
  BrowserMember(QWebSocket* socket, SlotIndex slot, MemberEvents& events, QObject* parent);
  // The place a browser member kept before a restart: away from the start,
  // for the whole grace, as though its connection had just ended.
  BrowserMember(const KeptPlace& place, MemberEvents& events, QObject* parent);
  ~BrowserMember() override;

  void RoomChanged(const StateReply& room) override;
  bool FollowsChanges() const override { return true; }
  bool Resumable() const override;
  void TakeOver(const Member& previous) override;
  qint64 AwayMs() const override;
  void EndAway() override;
  bool KeepsPlace(KeptPlace& place) const override;

 protected:
  qint64 UnsentBytes() const override;
  void WriteState(const StateReply& reply) override;
  void Release() override;

 private:
  void Write(const std::u16string& reply);
  void Send(const QString& message);
  void Heard();
  void CheckAlive();
  // Bytes of output the peer has acknowledged so far.
  qint64 TakenByPeer() const;
  void ConnectionLost(Ending ending);
  void DropSocket();
  // Ends the member; its connection closes with code and reason.
  void Shut(QWebSocketProtocol::CloseCode code, Ending ending, const QString& reason = {});
  void OnMessage(const QString& message);
  // Closes for a room with no seat left.
  void RefuseFullRoom();
  void OnJson(const QString& message);
  void SendJson(const class QJsonObject& message);
  // The highest id whose line is kept (see MemberEvents::KeptThrough): the
  // one a member may be told was carried out.
  qint64 Confirmable();
  void StartAway(Ending ending);

  enum class Language { NotYet, Text, Json };
  Language speaks_ = Language::NotYet;
  // JSON: the whole room is due with the reply to a join; after it, what
  // the member was last told, and the id of a line to confirm.
  bool roomDue_ = false;
  bool told_ = false;
  std::uint64_t linesTold_ = 0;
  std::uint64_t membersTold_ = 0;  // the member list's version
  qint64 sayId_ = -1;              // the id of the line in hand; -1: none
  qint64 highestDone_ = -1;        // the highest id carried out
  // Ids carried out whose lines are not kept yet, with their lines' numbers,
  // oldest first; the highest id kept; the last ack sent.
  std::deque<std::pair<qint64, std::uint64_t>> unkept_;
  qint64 highestKept_ = -1;
  qint64 ackSent_ = -1;
  bool ackDue_ = false;

  QWebSocket* socket_;
  AdoptedSocket* connection_;  // the socket's own connection, a child of it
  QTimer joinDeadline_;
  QTimer pinger_;
  QElapsedTimer lastHeard_;
  QElapsedTimer lastCheck_;
  qint64 silentMs_ = 0;  // silence while the server could hear
  // What the peer acknowledged, as counted at the last check; what was
  // handed to the kernel; the pings sent since the last check.
  qint64 takenAtCheck_ = 0;
  qint64 handedToKernel_ = 0;
  qint64 pingBytes_ = 0;
  QString joinedKey_;
  bool left_ = false;  // said it leaves: its place is not kept
  // Why the connection closes, once it does: unless the member said why, the
  // server is done with it (it was taken over, or the server stops).
  QWebSocketProtocol::CloseCode closeCode_ = QWebSocketProtocol::CloseCodeGoingAway;
  QString closeReason_;
  // Away: the connection is gone and the place kept until grace_ runs out.
  QTimer grace_;
  QElapsedTimer away_;
  Ending awayEnding_ = Ending::PeerClosed;
};

}  // namespace velmor
