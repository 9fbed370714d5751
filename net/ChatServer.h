// The socket array: the listener on port 5000 and one connection per client
// slot, over Qt Network. It owns the room and turns socket events into room
// events; it knows nothing of the protocol.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/InstanceLock.h"
#include "net/ReplyEncoder.h"
#include "net/SlotTable.h"
#include "room/Room.h"

class QSocketNotifier;

namespace velmor {

class ChatServer : public QObject, private Connections {
  Q_OBJECT

 public:
  static constexpr std::uint16_t DefaultPort = 5000;
  // Replies waiting for a client that does not read; beyond this it is dropped.
  static constexpr qint64 MaxPendingReplyBytes = 1 << 20;
  // How long the listener rests after an accept failed for lack of resources.
  static constexpr int AcceptRetryMs = 500;

  enum class StartResult { Listening, AnotherInstance, ListenFailed };

  ChatServer(StatusLine& status, QObject* parent = nullptr);
  ~ChatServer() override;

  // Start-up: unless another instance of the program runs, listen on the port
  // and set the first status text.
  StartResult Start(std::uint16_t port = DefaultPort);
  Room& ChatRoom() { return TheRoom; }
  const Room& ChatRoom() const { return TheRoom; }
  const SlotTable& Slots() const { return SlotBook; }
  // The port actually listened on (useful when 0 was asked for); 0 if none.
  std::uint16_t ListeningPort() const { return Port; }

  // This machine's IPv4 address, from the interfaces that are up, loopback
  // excluded; empty when there is none.
  static QString LocalIP();

 private:
  // One client connection: its socket, watched by the event loop, and the
  // reply bytes the kernel has not taken yet.
  struct Endpoint {
    int Fd = -1;
    QSocketNotifier* Readable = nullptr;
    QSocketNotifier* Writable = nullptr;
    std::string Unsent;
    std::uint64_t Generation = 0;
    std::u16string Address;
    std::u16string Label;
  };
  // How a connection ended, as the room is told of it.
  enum class Ending { PeerClosed, Failed };

  bool ListenOn(std::uint16_t port, QString& reason);
  void OnListenerReadable();
  void PauseAccepting(int error);
  void WSock_ConnectionRequest(int fd);
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

  // Connections, as the room sees them.
  std::u16string GetData(SlotIndex slot) override;
  void SendData(SlotIndex slot, const std::u16string& text) override;
  void ReleaseSlot(SlotIndex slot) override;
  std::u16string PeerAddress(SlotIndex slot) const override;
  std::u16string PeerLabel(SlotIndex slot) const override;

  StatusLine& Status;
  Room TheRoom;
  SlotTable SlotBook;
  std::vector<Endpoint> WSock;  // index: slot; element 0 stands for the listener
  InstanceLock Lock;
  std::uint64_t NextGeneration = 1;

  int ListenFd = -1;
  std::uint16_t Port = 0;
  QSocketNotifier* ListenNotifier = nullptr;
  QTimer ResumeTimer;
  bool AcceptTroubleReported = false;

  // The bytes of the arrival being handled, read whole before the room hears
  // of it: in ReadBuffer when one read took them, else gathered in Inbox.
  std::vector<char> ReadBuffer;
  std::string Inbox;
  std::string_view Arrival;
  // The bytes of the replies, reusing what the last one shared with the next.
  ReplyEncoder Replies;
};

}  // namespace velmor
