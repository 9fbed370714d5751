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
//    reply the owner decided to send goes out whole inside Admit, however
//    large (the owner's bound is about earlier output, see Member);
//  - a WebSocket's handshake is judged, once its head is whole, before Qt's
//    server reads it (Qt's would close in silence on most faults and take a
//    key of any length): one the judge refuses, or a head longer than its
//    bound (Qt's own bound is 800 KiB a connection), is answered with an
//    HTTP error and the connection closed;
//  - with the frame check, a WebSocket client's frames are followed header
//    by header (Qt checks neither rule): a frame without a mask, or bytes
//    sent before the handshake was answered, signal ProtocolViolated before
//    Qt's WebSocket reads them.
#pragma once

#include <QTcpSocket>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/HttpHead.h"

namespace velmor {

// Follows a client's WebSocket frames by their headers alone (RFC 6455 5.2),
// to tell whether every one is masked, as a client's must be (5.1). It never
// holds more than one header's bytes.
class ClientFrameCheck {
 public:
  // False once a frame without a mask has begun.
  bool Feed(const char* bytes, std::size_t size);

 private:
  std::uint64_t payloadLeft_ = 0;
  std::string header_;
};

class AdoptedSocket : public QTcpSocket {
  Q_OBJECT

 public:
  // openCount is counted down when this is destroyed.
  AdoptedSocket(std::shared_ptr<int> openCount, int deadlineMs, QObject* parent);
  ~AdoptedSocket() override;

  // Done with what it came for before the deadline: the deadline is off.
  void Settle();
  bool Settled() const { return !deadline_.isActive(); }

  void LimitOutput(qint64 bound) { outputBound_ = bound; }
  template <typename Send>
  void Admit(Send&& send) {
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
  // handshake has been answered, after Qt's WebSocket took the socket over.
  // False when the client broke the rules already (sent before the answer).
  bool CheckFrames();

 signals:
  void OutputOverflowed();
  void ProtocolViolated();

 protected:
  qint64 writeData(const char* data, qint64 size) override;

 private:
  enum class Reading { Plain, Handshake, Refused, AwaitingAnswer, Frames, Violated };
  void BeforeQtReads();
  void JudgeHandshake(const QByteArray& head);
  void Refuse(const http::Refusal& refusal);
  void Violate();

  std::shared_ptr<int> openCount_;
  QTimer deadline_;
  qint64 outputBound_ = 0;  // none
  bool admitted_ = false;
  bool overflowed_ = false;
  Reading reading_ = Reading::Plain;
  HandshakeJudge judge_;
  // Bytes left in the read buffer once Qt had read what it could: what
  // comes after them is new.
  qint64 seen_ = 0;
  ClientFrameCheck frames_;
};

}  // namespace velmor
