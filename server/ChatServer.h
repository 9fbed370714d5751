// The chat server: the room, the seats and the members, whatever carries
// them. Listeners hand it new connections; it seats each (a browser when it
// joins, see PlaceJoin), turns the member's events into the room's, and
// gives the room its ports:
// the connections (through the Member interface alone), the status line and
// the operator's views (through the ViewPublisher).
//
// The operator's window sees it only as an OperatorLink. The server may live
// on a thread of its own: ViewsChanged then reaches the window queued, and
// the operator's line is handled on the server's thread between two
// requests.
#pragma once

#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "members/DescriptorClient.h"
#include "members/Member.h"
#include "operator/OperatorLink.h"
#include "room/Room.h"
#include "room/SlotTable.h"
#include "server/Seats.h"
#include "server/ViewPublisher.h"
#include "store/HistoryWriter.h"
#include "web/BrowserGate.h"

class QWebSocket;

namespace velmor {

class DescriptorListener;

class ChatServer : public OperatorLink,
                   private Connections,
                   private RoomDisplay,
                   private MemberEvents {
  Q_OBJECT

 public:
  static constexpr std::uint16_t DefaultPort = 5000;
  // Members told of changes hear of them at most this often: half a display
  // frame, so that lines posted at a human pace each go out at once, while
  // a flood is folded into a message or two a frame.
  static constexpr int NewsIntervalMs = 8;

  enum class StartResult { Listening, ListenFailed };

  // Every status text also goes to status (the echo on standard error).
  explicit ChatServer(StatusLine& status, QObject* parent = nullptr);
  ~ChatServer() override;

  // Start-up: listen on the port and set the first status text.
  StartResult Start(std::uint16_t port = DefaultPort);
  // The port actually listened on (useful when 0 was asked for); 0 if none.
  std::uint16_t ListeningPort() const;

  // Browser members: the page and its WebSocket on port, the WebSocket on
  // port + 1 too (see BrowserGate); origins
  // may also name this machine by any of extraNames. False when either port
  // cannot be listened on, or tls names a certificate that cannot be served
  // (said on the status line and standard error); the chat server goes on
  // serving its clients either way.
  bool ListenForBrowsers(std::uint16_t port, const QStringList& extraNames = {},
                         const BrowserGate::Tls& tls = {});
  // Reads the browsers' certificate again (on SIGHUP), keeping every
  // member; said on the status line, as a failure is (the one before stays).
  void RecertifyBrowsers();
  // Keeps the room in the history file at path from now on, after taking
  // back what it kept: the log, and the browser members' places, each away
  // for the whole grace as though its connection had just ended. A file
  // that fails its check is set aside, and one that cannot be had or
  // written leaves the room in memory alone; either is said on the status
  // line and standard error. Called once, after Start, before anything is
  // served.
  void KeepHistory(const std::string& path);
  // Where the page is served; 0 when it is not.
  std::uint16_t WebPort() const;

  // The operator's window.
  void PostOperatorLine(const QString& text) override;
  RoomViews TakeViews() override { return views_.TakeViews(); }
  QString WebFingerprint() const override;

 protected:
  // The views are rendered only once someone listens for them.
  void connectNotify(const QMetaMethod& signal) override;

 private:
  // On the status line and standard error alike.
  void SayEverywhere(const std::u16string& text);
  void SetFingerprint(const QString& fingerprint);
  // A listener's failure to accept, reported once per spell (see AcceptRule.h).
  void ReportAcceptTrouble(std::uint16_t port, const QString& reason);
  // The one way in for a newcomer, client or browser: MakeRoom finds it a
  // free slot (in a full room the member away longest leaves for it), or
  // says on the status line that the room is full; TakeSeat then seats it
  // there and says it was accepted. A client is turned away before anything
  // is made for it, so a full room pays nothing for a flood of connections.
  bool MakeRoom();
  bool TakeSeat(Member& member);
  void OnNewClient(int fd);
  void OnNewBrowser(QWebSocket* socket);

  // Member events, as the room hears them.
  void OnArrival(SlotIndex slot, std::u16string_view text) override;
  void OnRequest(SlotIndex slot, const Request& request) override;
  void OnEnded(SlotIndex slot, Ending ending) override;
  void OnFailedUnseated(const Member& member) override;
  bool HasJoined(SlotIndex slot) const override;
  std::u16string_view JoinedKey(SlotIndex slot) const override { return room_.MemberKey(slot); }
  Seating PlaceJoin(Member& member, std::u16string_view name, std::u16string_view key) override;
  const StateReply& RoomNow() const override { return room_.State(); }
  std::uint64_t KeptThrough() const override;
  void PlaceChanged() override { HistoryChanged(); }
  // In a full room, the member away longest leaves for a newcomer; false
  // when nobody is away.
  bool EndLongestAway();

  // The room changed: the operator's views and the members told of changes.
  void ShowRoom() override;
  void ScheduleNews();
  void TellMembers();
  // Confirms lines kept since the last news, starting no frame.
  void TellConfirmations();

  // The history: what changed goes to the writer once the pass in hand is
  // done, all of a pass's changes at once; the lines it keeps let members
  // confirm theirs.
  void Restore(const KeptRoom& kept);
  void HistoryChanged();
  void SaveHistory();
  std::vector<KeptPlace> PlacesNow() const;
  void OnKept(std::uint64_t throughLine);
  void OnHistoryFailed(const std::string& why);
  bool AnyoneFollowsChanges() const;

  // Connections, as the room sees them.
  void SendState(SlotIndex slot, const StateReply& reply) override;
  void ReleaseSlot(SlotIndex slot) override;
  std::u16string PeerAddress(SlotIndex slot) const override;
  std::u16string PeerLabel(SlotIndex slot) const override;

  ViewPublisher views_;
  Room room_;
  Seats seats_;
  std::optional<DescriptorClient::Shared> clientShared_;  // from the first client on
  QTimer newsCooldown_;
  bool newsPending_ = false;
  bool confirmationsPending_ = false;  // kept lines to confirm after the frame
  DescriptorListener* listener_ = nullptr;
  BrowserGate* gate_ = nullptr;
  mutable QMutex fingerprintLock_;  // the window asks from its own thread
  QString fingerprint_;
  // Browsers that have not joined yet: each takes a seat, or its own place
  // again, when it joins (see PlaceJoin).
  std::vector<QPointer<Member>> unplaced_;
  std::unique_ptr<HistoryWriter> history_;  // none: the room is in memory alone
  bool historyDue_ = false;
  std::uint64_t handedThrough_ = 0;  // lines handed to the writer
  std::uint64_t keptThrough_ = 0;    // lines it has kept
  std::vector<KeptPlace> placesHanded_;
};

}  // namespace velmor
