// The socket array: the listener on port 5000 and one connection per client
// slot, over Qt Network. It owns the room and turns socket events into room
// events; it knows nothing of the protocol.
//
// Whoever shows the room (the operator's window) hears it only through the
// chat-level signals below, published at most once per display frame, and
// changes it only through PostOperatorLine. The server may live on a thread
// of its own: the signals then reach the window queued, and the operator's
// line is handled on the server's thread between two requests.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "room/Room.h"
#include "wire/ReplyEncoder.h"
#include "wire/SlotTable.h"

class QSocketNotifier;
class QWebSocket;
class QWebSocketServer;

namespace velmor {

// What changed in the operator's views since they were last taken; each
// text is whole, and only there when it changed.
struct RoomViews {
  std::optional<QString> MemberList;
  std::optional<QString> Log;
  std::optional<QString> Status;
};

class ChatServer : public QObject, private Connections, private RoomDisplay, private StatusLine {
  Q_OBJECT

 public:
  static constexpr std::uint16_t DefaultPort = 5000;
  // Replies waiting for a client that does not read; beyond this it is dropped.
  static constexpr qint64 MaxPendingReplyBytes = 1 << 20;
  // How long the listener rests after an accept failed for lack of resources.
  static constexpr int AcceptRetryMs = 500;
  // The views are published at most this often under load; a quiet change
  // is published at once.
  static constexpr int PublishIntervalMs = 16;

  enum class StartResult { Listening, ListenFailed };

  // Every status text also goes to status (the echo on standard error).
  explicit ChatServer(StatusLine& status, QObject* parent = nullptr);
  ~ChatServer() override;

  // Start-up: listen on the port and set the first status text.
  StartResult Start(std::uint16_t port = DefaultPort);
  const Room& ChatRoom() const { return TheRoom; }
  const SlotTable& Slots() const { return SlotBook; }
  // The port actually listened on (useful when 0 was asked for); 0 if none.
  std::uint16_t ListeningPort() const { return Port; }

  // This machine's IPv4 address, from the interfaces that are up, loopback
  // excluded; empty when there is none.
  static QString LocalIP();

  // Browser members: the page on port, its WebSocket on port + 1. False when
  // either cannot be listened on (said on the status line); the chat server
  // goes on serving its clients either way.
  bool ListenForBrowsers(std::uint16_t port);
  // Where the page is served; 0 when it is not.
  std::uint16_t WebPort() const;
  // A WebSocket before its first request, or a browser member, is closed
  // after this long without joining.
  static constexpr int WebJoinDeadlineMs = 60000;
  static constexpr qint64 MaxWebMessageBytes = 64 * 1024;

  // The operator's line: appended to the log and the views refreshed, as one
  // step between two requests. May be called from any thread.
  void PostOperatorLine(const QString& text);

  // The views' news since the last take, for the window's thread: at most
  // one snapshot waits, however long the window takes to come for it.
  RoomViews TakeViews();

 signals:
  // Something waits in TakeViews; not raised again until it has been taken.
  void ViewsChanged();

 private:
  // One client connection: its socket, watched by the event loop, and the
  // reply bytes the kernel has not taken yet.
  // A browser member is the same kind of endpoint over a WebSocket, its
  // requests and replies UTF-8 text messages.
  struct Endpoint {
    int Fd = -1;
    QSocketNotifier* Readable = nullptr;
    QSocketNotifier* Writable = nullptr;
    std::string Unsent;
    QWebSocket* Web = nullptr;
    qint64 WebUnsent = 0;  // bytes of replies the browser has not taken yet
    QTimer* JoinDeadline = nullptr;
    std::uint64_t Generation = 0;
    std::u16string Address;
    std::u16string Label;
    bool Open() const { return Fd >= 0 || Web != nullptr; }
  };
  // How a connection ended, as the room is told of it.
  enum class Ending { PeerClosed, Failed };

  bool ListenOn(std::uint16_t port, QString& reason);
  void OnListenerReadable();
  void PauseAccepting(int error);
  // The slot search for a new connection, client or browser: the slot, made
  // if new and marked in use, or none when all are (said on the status line).
  std::optional<SlotIndex> TakeSlot();
  void WSock_ConnectionRequest(int fd);
  void OnNewWebSockets();
  void AttachWeb(SlotIndex slot, QWebSocket* socket);
  void OnWebMessage(SlotIndex slot, std::uint64_t generation, const QString& message);
  bool BrowserOriginAllowed(const QString& origin) const;
  void Attach(SlotIndex slot, int fd);
  void Detach(SlotIndex slot);
  bool IsCurrent(SlotIndex slot, std::uint64_t generation) const;
  void OnReadable(SlotIndex slot, std::uint64_t generation);
  void OnWritable(SlotIndex slot, std::uint64_t generation);
  // Tells the room how the connection ended: now, or once the request in
  // hand has finished.
  void End(SlotIndex slot, Ending ending);
  void EndLater(SlotIndex slot, Ending ending);
  static Ending EndingOf(int error);

  bool HasEndpoint(SlotIndex slot) const {
    return slot >= 0 && slot < static_cast<SlotIndex>(WSock.size());
  }
  // The room's display and status line: kept, and published once per frame.
  void ShowRoom(std::u16string_view memberList, std::u16string_view log) override;
  void SetStatusText(const std::u16string& text) override;
  void SchedulePublish();
  void Publish();

  // Connections, as the room sees them.
  void SendData(SlotIndex slot, const std::u16string& text) override;
  void ReleaseSlot(SlotIndex slot) override;
  std::u16string PeerAddress(SlotIndex slot) const override;
  std::u16string PeerLabel(SlotIndex slot) const override;

  StatusLine& Echo;
  Room TheRoom;
  SlotTable SlotBook;
  std::vector<Endpoint> WSock;  // index: slot; element 0 stands for the listener
  std::uint64_t NextGeneration = 1;

  class WebPage* Page = nullptr;
  QWebSocketServer* WebSockets = nullptr;

  int ListenFd = -1;
  std::uint16_t Port = 0;
  QSocketNotifier* ListenNotifier = nullptr;
  QTimer ResumeTimer;
  bool AcceptTroubleReported = false;

  // The bytes of the arrival being handled, read whole before the room hears
  // of it: in ReadBuffer when one read took them, else gathered in Inbox.
  std::vector<char> ReadBuffer;
  std::string Inbox;

  // What the views and the status line show, and what they are to show next.
  std::u16string ShownMembers, ShownLog;
  std::u16string PendingStatus;
  bool ViewsPending = false;
  bool StatusPending = false;
  QTimer PublishCooldown;
  std::mutex MailboxGuard;
  RoomViews Mailbox;
  // The bytes of the replies, reusing what the last one shared with the next.
  ReplyEncoder Replies;
};

}  // namespace velmor
