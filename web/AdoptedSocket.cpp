#include "web/AdoptedSocket.h"

#include <QStringDecoder>
#include <QWebSocket>

#include <algorithm>

namespace velmor {

ClientFrameCheck::Verdict ClientFrameCheck::Follow(const char* bytes, std::size_t size,
                                                   std::vector<std::size_t>& textStarts) {
  Verdict verdict = Verdict::Fine;
  for (std::size_t at = 0; at < size;) {
    if (payloadLeft_ > 0) {
      const std::size_t skipped =
          static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, size - at));
      payloadLeft_ -= skipped;
      at += skipped;
      if (payloadLeft_ == 0 && inClose_) closeCame_ = true;
      continue;
    }
    if (header_.empty()) {
      const char opcode = static_cast<char>(bytes[at] & 0x0F);
      if (opcode == BinaryOpcode) verdict = Verdict::Binary;
      if (opcode == TextOpcode) textStarts.push_back(at);
      inClose_ = opcode == CloseOpcode;
    }
    header_ += bytes[at++];
    if (header_.size() < 2) continue;
    const auto second = static_cast<unsigned char>(header_[1]);
    if ((second & 0x80) == 0) return Verdict::Unmasked;
    const unsigned shortLength = second & 0x7F;
    const std::size_t extended = shortLength == 126 ? 2 : shortLength == 127 ? 8 : 0;
    if (header_.size() < 2 + extended + 4) continue;
    std::uint64_t length = shortLength;
    if (extended > 0) {
      length = 0;
      for (std::size_t i = 0; i < extended; ++i)
        length = length << 8 | static_cast<unsigned char>(header_[2 + i]);
    }
    header_.clear();
    payloadLeft_ = length;
    if (length == 0 && inClose_) closeCame_ = true;
  }
  return verdict;
}

AdoptedSocket::AdoptedSocket(std::shared_ptr<int> openCount, int deadlineMs, QObject* parent)
    : QSslSocket(parent),
      openCount_(std::move(openCount)),
      home_(parent),
      deadline_(this),
      closingBound_(this) {
  ++*openCount_;
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    abort();
    deleteLater();
  });
  if (deadlineMs > 0) deadline_.start(deadlineMs);
  // Its WebSocket goes with it (see CloseWebSocket).
  closingBound_.setSingleShot(true);
  connect(&closingBound_, &QTimer::timeout, this, [this] {
    boundPassed_ = true;
    abort();  // which closes, see close()
  });
  // Connected first, so that it runs before any reader Qt connects later.
  connect(this, &QTcpSocket::readyRead, this, &AdoptedSocket::BeforeQtReads);
  connect(this, &QIODevice::bytesWritten, this, [this](qint64 bytes) {
    if (!isEncrypted()) emit WireBytesWritten(bytes);
  });
  connect(this, &QSslSocket::encryptedBytesWritten, this, &AdoptedSocket::WireBytesWritten);
  connect(this, &QSslSocket::encryptedBytesWritten, this, &AdoptedSocket::FeedEncrypted);
}

AdoptedSocket::~AdoptedSocket() { --*openCount_; }

void AdoptedSocket::Settle() { deadline_.stop(); }

void AdoptedSocket::CountIn(std::shared_ptr<int> openCount, int deadlineMs) {
  --*openCount_;
  openCount_ = std::move(openCount);
  ++*openCount_;
  home_ = parent();
  deadline_.stop();
  if (deadlineMs > 0) deadline_.start(deadlineMs);
}

qint64 AdoptedSocket::bytesToWrite() const {
  return held_ + QSslSocket::bytesToWrite() + encryptedBytesToWrite();
}

// OpenSSL's buffer for what it encrypted keeps, for the life of the
// connection, the size of the most it was handed at once: a whole room
// handed over in one write would leave each member's connection holding
// that room twice. A WebSocket's output over TLS therefore waits here and
// goes on a slice at a time, as the kernel takes what went before.
void AdoptedSocket::FeedEncrypted() {
  while (!slices_.empty() && state() == QAbstractSocket::ConnectedState &&
         QSslSocket::bytesToWrite() + encryptedBytesToWrite() < EncryptedSliceBytes) {
    QByteArray& front = slices_.front();
    const qint64 size = std::min<qint64>(front.size() - frontDone_, EncryptedSliceBytes);
    QSslSocket::writeData(front.constData() + frontDone_, size);
    frontDone_ += size;
    held_ -= size;
    if (frontDone_ == front.size()) {
      slices_.pop_front();
      frontDone_ = 0;
    }
  }
}

qint64 AdoptedSocket::writeData(const char* data, qint64 size) {
  if (outputBound_ > 0 && !admitted_ && bytesToWrite() > outputBound_) {
    if (!overflowed_) {
      overflowed_ = true;
      QMetaObject::invokeMethod(this, &AdoptedSocket::OutputOverflowed, Qt::QueuedConnection);
    }
    return size;  // dropped: the connection ends for it
  }
  if (upgraded_ && isEncrypted()) {
    slices_.emplace_back(data, size);
    held_ += size;
    FeedEncrypted();
    return size;
  }
  return QSslSocket::writeData(data, size);
}

void AdoptedSocket::ExpectHandshake(HandshakeJudge judge) {
  reading_ = Reading::Handshake;
  judge_ = std::move(judge);
  setReadBufferSize(http::MaxHeadBytes);
}

bool AdoptedSocket::CheckFrames(QWebSocket* webSocket) {
  upgraded_ = true;
  if (reading_ != Reading::AwaitingAnswer || bytesAvailable() > 0) {
    // Sent before the answer: none of it is read.
    reading_ = Reading::Unfollowed;
    Violate(QWebSocketProtocol::CloseCodeProtocolError);
    Discard();  // signalled before, when it came
    return false;
  }
  reading_ = Reading::Frames;
  seen_ = 0;
  // After Qt's WebSocket has read what it could of each arrival.
  connect(this, &QTcpSocket::readyRead, this, [this] { seen_ = isOpen() ? bytesAvailable() : 0; });
  connect(webSocket, &QWebSocket::binaryMessageReceived, this, &AdoptedSocket::OnMessage);
  return true;
}

void AdoptedSocket::CloseWebSocket(QWebSocket* webSocket, QWebSocketProtocol::CloseCode code,
                                   const QString& reason) {
  auto* connection = webSocket->findChild<AdoptedSocket*>(QString(), Qt::FindDirectChildrenOnly);
  if (connection == nullptr || webSocket->state() != QAbstractSocket::ConnectedState) {
    if (webSocket->state() == QAbstractSocket::ConnectedState) webSocket->close(code, reason);
    webSocket->deleteLater();
    return;
  }
  // It outlives whoever held it, until the handshake is done.
  webSocket->setParent(connection->home_);
  connect(webSocket, &QWebSocket::disconnected, webSocket, &QObject::deleteLater,
          Qt::UniqueConnection);
  // Qt's WebSocket writes the Close frame and closes its socket: see close().
  connection->WriteWhole([&] { webSocket->close(code, reason); });
}

void AdoptedSocket::close() {
  if (upgraded_ && !closingBound_.isActive() && !boundPassed_)
    closingBound_.start(ClosingHandshakeMs);
  if (upgraded_ && !boundPassed_ && state() == QAbstractSocket::ConnectedState &&
      !frames_.CloseCame()) {
    // The client's Close frame is still to come: nothing else of the
    // client's is read any more.
    closing_ = true;
    Discard();
    return;
  }
  QSslSocket::close();
}

void AdoptedSocket::Refuse(const http::Refusal& refusal) {
  reading_ = Reading::Refused;
  // Qt's server finds no head to answer.
  readAll();
  write(http::ErrorResponse(refusal));
  disconnectFromHost();
  // A client that does not read its answer does not hold the connection.
  deadline_.start(1000);
}

void AdoptedSocket::Discard() {
  if (isOpen()) skip(bytesAvailable());
  seen_ = 0;
}

void AdoptedSocket::Violate(QWebSocketProtocol::CloseCode code) {
  if (violated_) return;
  violated_ = true;
  // Once Qt's WebSocket has the socket (it reads right after this returns),
  // nothing more of the client's is read.
  if (upgraded_) Discard();
  emit ProtocolViolated(code);
}

void AdoptedSocket::OnMessage(const QByteArray& message) {
  if (violated_ || closing_) return;
  // Flags as Qt's WebSocket judges a text frame, for the whole message.
  QStringDecoder toUtf16(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                   QStringDecoder::Flag::ConvertInvalidToNull);
  const QString text = toUtf16(message);
  if (toUtf16.hasError()) {
    Violate(QWebSocketProtocol::CloseCodeWrongDatatype);
    return;
  }
  emit TextMessageReceived(text);
}

// The bytes up to the last text message's first byte are taken from the
// read buffer and put back, changed, in front of what Qt's WebSocket reads
// next: it sees a binary message, of the same frames.
void AdoptedSocket::MarkAsBinary(const std::vector<std::size_t>& textStarts) {
  QByteArray front = read(static_cast<qint64>(textStarts.back()) + 1);
  for (const std::size_t at : textStarts) {
    const auto index = static_cast<qsizetype>(at);
    front[index] = static_cast<char>((front[index] & 0xF0) | ClientFrameCheck::BinaryOpcode);
  }
  for (qsizetype i = front.size(); i-- > 0;) ungetChar(front[i]);
}

void AdoptedSocket::JudgeHandshake(const QByteArray& head) {
  const qsizetype lineEnd = head.indexOf('\n');
  if (http::TargetTooLong(lineEnd < 0 ? head : head.left(lineEnd))) {
    Refuse(http::UriTooLong);
    return;
  }
  const qsizetype end = lineEnd < 0 ? -1 : http::HeadEnd(head, lineEnd);
  if (end < 0) {
    if (head.size() >= http::MaxHeadBytes) Refuse(http::FieldsTooLarge);
    return;
  }
  // Qt's handshake takes lines that end in CR LF, and nothing else.
  const QByteArray whole = head.left(end);
  if (whole.count('\n') != whole.count("\r\n")) {
    Refuse(http::BadRequest);
    return;
  }
  const QByteArray line = head.left(lineEnd - 1);
  http::Fields fields;
  http::Refusal refusal = http::IsRequestLine(line)
                              ? http::ReadFields(head.mid(lineEnd + 1, end - lineEnd - 1), fields)
                              : http::BadRequest;
  if (!refusal.code && judge_) refusal = judge_(line, fields);
  if (refusal.code) {
    Refuse(refusal);
    return;
  }
  // A client must wait for the answer before it sends anything more.
  reading_ = Reading::AwaitingAnswer;
  if (head.size() > end) {
    reading_ = Reading::Unfollowed;
    Violate(QWebSocketProtocol::CloseCodeProtocolError);
  }
}

void AdoptedSocket::BeforeQtReads() {
  if (!isOpen()) return;
  switch (reading_) {
    case Reading::Plain:
      return;
    case Reading::Refused:
      readAll();
      return;
    case Reading::Handshake:
      JudgeHandshake(peek(bytesAvailable()));
      return;
    case Reading::AwaitingAnswer:
      reading_ = Reading::Unfollowed;
      Violate(QWebSocketProtocol::CloseCodeProtocolError);
      return;
    case Reading::Unfollowed:
      // Until Qt's WebSocket has the socket, Qt's server is still to read
      // the handshake's head.
      if (upgraded_) Discard();
      return;
    case Reading::Frames: {
      const qint64 available = bytesAvailable();
      if (available <= seen_) return;
      const QByteArray bytes = peek(available);
      std::vector<std::size_t> textStarts;
      switch (frames_.Follow(bytes.constData() + seen_, static_cast<std::size_t>(available - seen_),
                             textStarts)) {
        case ClientFrameCheck::Verdict::Fine:
          break;
        case ClientFrameCheck::Verdict::Unmasked:
          // The client's Close frame cannot be told from what follows.
          reading_ = Reading::Unfollowed;
          Violate(QWebSocketProtocol::CloseCodeProtocolError);
          return;
        case ClientFrameCheck::Verdict::Binary:
          Violate(QWebSocketProtocol::CloseCodeDatatypeNotSupported);
          break;
      }
      if (violated_ || closing_) {
        Discard();
        if (closing_ && frames_.CloseCame()) close();
        return;
      }
      if (!textStarts.empty()) {
        std::vector<std::size_t> offsets;
        for (const std::size_t at : textStarts)
          offsets.push_back(at + static_cast<std::size_t>(seen_));
        MarkAsBinary(offsets);
      }
      seen_ = available;
      return;
    }
  }
}

}  // namespace velmor
