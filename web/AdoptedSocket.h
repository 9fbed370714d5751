// The TCP connection under every connection Qt's protocol servers serve for
// us (the page and its WebSocket). What keeps the server sound is held here,
// where the bytes are, rather than remembered by each owner:
//  - it is counted open from the moment it is adopted until the object is
//    destroyed, whoever destroys it and however the connection ended; an
//    owner only has to make sure it is destroyed (see SocketAdopter);
//  - until it is settled (a WebSocket's handshake done) it has a deadline,
//    after which it is aborted and destroyed;
//  - with an output bound, a write that comes while more than the bound of
//    earlier output waits is dropped and OutputOverflowed is signalled once:
//    Qt's own frames (pongs, close frames) pass it as our replies do. A
//    reply the owner decided to send goes out whole inside WriteWhole, however
//    large (the owner's bound is about earlier output, see Member);
//  - a WebSocket's handshake is judged, once its head is whole, before Qt's
//    server reads it (Qt's would close in silence on most faults and take a
//    key of any length): one the judge refuses, or a head longer than its
//    bound (Qt's own is far larger, and silent), is answered with an HTTP
//    error and the connection closed;
//  - after the handshake, a WebSocket client's frames are followed header
//    by header (Qt checks none of these rules): a frame without a mask, or
//    bytes sent before the handshake was answered (1002), or a binary
//    message (1003), signal ProtocolViolated before Qt's WebSocket reads
//    them;
//  - a text message's UTF-8 is judged as a whole (RFC 6455 5.6, 8.1). Qt's
//    WebSocket judges each frame's on its own, so a character cut between
//    frames (by the client or by a proxy, 5.4) would end the connection
//    with 1007: each text message reaches Qt's WebSocket as a binary one
//    (the opcode of its first frame changed before Qt reads it), Qt puts
//    its frames together and bounds its size, and it comes out whole as
//    TextMessageReceived, or as ProtocolViolated (1007) when it is no UTF-8;
//  - a WebSocket is closed with a closing handshake (RFC 6455 7.1.1): once
//    Qt has written its Close frame, the connection waits for the client's
//    (reading nothing else) before it closes, at most ClosingHandshakeMs.
//
// Over TLS (see SharedPort) all of this holds for the bytes as decrypted,
// since Qt's socket decrypts them before anything here reads them; what
// waits to be written counts in either form, and WireBytesWritten counts
// bytes as they went to the kernel.
#pragma once

#include <QPointer>
#include <QSslSocket>
#include <QTimer>
#include <QWebSocketProtocol>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/HttpHead.h"

class QWebSocket;

namespace velmor {

// Follows a client's WebSocket frames by their headers alone (RFC 6455 5.2).
// It never holds more than one header's bytes.
class ClientFrameCheck {
 public:
  // The opcodes it tells apart (RFC 6455 5.2).
  static constexpr char TextOpcode = 0x1;
  static constexpr char BinaryOpcode = 0x2;
  static constexpr char CloseOpcode = 0x8;
  enum class Verdict { Fine, Unmasked, Binary };
  // Follows size more bytes. Unmasked once a frame without a mask (5.1) has
  // begun, Binary once a binary message has; the offsets among these bytes
  // of the first byte of each text message (its opcode) go to textStarts.
  Verdict Follow(const char* bytes, std::size_t size, std::vector<std::size_t>& textStarts);
  // Whether a whole Close frame has come.
  bool CloseCame() const { return closeCame_; }

 private:
  std::uint64_t payloadLeft_ = 0;
  std::string header_;
  bool inClose_ = false;
  bool closeCame_ = false;
};

class AdoptedSocket : public QSslSocket {
  Q_OBJECT

 public:
  // How long a WebSocket closed by this end waits for the client's Close
  // frame (a browser answers at once) before the connection is aborted.
  static constexpr int ClosingHandshakeMs = 2000;

  // openCount is counted down when this is destroyed.
  AdoptedSocket(std::shared_ptr<int> openCount, int deadlineMs, QObject* parent);
  ~AdoptedSocket() override;

  // Done with what it came for before the deadline: the deadline is off.
  void Settle();
  // Counted in openCount from now on instead, under a deadline of its own
  // (0: none), for an owner that takes it over once it was decrypted.
  void CountIn(std::shared_ptr<int> openCount, int deadlineMs);

  // At most what a write of bytes becomes on the wire alone (a TLS record
  // of its own adds its header, nonce and tag).
  qint64 OnTheWire(qint64 bytes) const { return isEncrypted() ? bytes + 29 : bytes; }

  // What waits to be written, decrypted or not.
  qint64 bytesToWrite() const override;

  void LimitOutput(qint64 bound) { outputBound_ = bound; }
  template <typename Send>
  void WriteWhole(Send&& send) {
    admitted_ = true;
    send();
    admitted_ = false;
  }

  // What a whole handshake head asks, its request line and fields: a
  // refusal, or a code of 0 to let Qt's server answer it.
  using HandshakeJudge =
      std::function<http::Refusal(const QByteArray& line, const http::Fields& fields)>;
  // A WebSocket's handshake is to come first, its head within
  // http::MaxHeadBytes (what the socket reads ahead is bounded by it),
  // judged by judge; watched for bytes sent before it is answered.
  void ExpectHandshake(HandshakeJudge judge);
  // Follows the client's frames from now on; to be called once the
  // handshake has been answered, after webSocket, Qt's WebSocket made of
  // this, took the socket over. False when the client broke the rules
  // already (sent before the answer).
  bool CheckFrames(QWebSocket* webSocket);

  // Closes webSocket with a closing handshake and a Close frame of code
  // and reason; it deletes itself once its connection is closed. The one
  // way the server closes a WebSocket.
  static void CloseWebSocket(QWebSocket* webSocket, QWebSocketProtocol::CloseCode code,
                             const QString& reason = {});

  // Once a WebSocket's Close frame is written (Qt's WebSocket closes its
  // socket right after it), the connection closes when the client's Close
  // frame has come, or when ClosingHandshakeMs have passed. (abort() closes
  // through this too.)
  void close() override;

 signals:
  void OutputOverflowed();
  void ProtocolViolated(QWebSocketProtocol::CloseCode code);
  void TextMessageReceived(const QString& message);
  // Bytes handed to the kernel, encrypted when the connection is.
  void WireBytesWritten(qint64 bytes);

 protected:
  qint64 writeData(const char* data, qint64 size) override;

 private:
  // Unfollowed: after bytes that cannot be followed as frames (sent before
  // the answer, or a frame without a mask), none of which Qt's WebSocket
  // reads.
  enum class Reading { Plain, Handshake, Refused, AwaitingAnswer, Frames, Unfollowed };
  void BeforeQtReads();
  void JudgeHandshake(const QByteArray& head);
  void Refuse(const http::Refusal& refusal);
  // Drops what was read ahead, unseen by Qt's WebSocket.
  void Discard();
  void Violate(QWebSocketProtocol::CloseCode code);
  void OnMessage(const QByteArray& message);
  void MarkAsBinary(const std::vector<std::size_t>& textStarts);
  void FeedEncrypted();

  std::shared_ptr<int> openCount_;
  // Where a WebSocket made of this stays while it closes: the adopter.
  QPointer<QObject> home_;
  QTimer deadline_;
  QTimer closingBound_;
  qint64 outputBound_ = 0;  // none
  bool admitted_ = false;
  bool overflowed_ = false;
  Reading reading_ = Reading::Plain;
  HandshakeJudge judge_;
  bool upgraded_ = false;     // Qt's WebSocket has the socket
  bool violated_ = false;     // ProtocolViolated was signalled
  bool closing_ = false;      // the WebSocket's Close frame is written
  bool boundPassed_ = false;  // ClosingHandshakeMs passed: it closes at once
  // Bytes left in the read buffer once Qt had read what it could: what
  // comes after them is new.
  qint64 seen_ = 0;
  ClientFrameCheck frames_;
  // A WebSocket's output over TLS not yet handed to Qt's socket, and how
  // much of the first slice went (see FeedEncrypted).
  static constexpr qint64 EncryptedSliceBytes = 64 * 1024;
  std::deque<QByteArray> slices_;
  qint64 frontDone_ = 0;
  qint64 held_ = 0;
};

}  // namespace velmor
