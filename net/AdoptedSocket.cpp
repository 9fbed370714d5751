#include "net/AdoptedSocket.h"

namespace velmor {

bool ClientFrameCheck::Feed(const char* bytes, std::size_t size) {
  while (size > 0) {
    if (payloadLeft_ > 0) {
      const std::size_t skipped =
          static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, size));
      payloadLeft_ -= skipped;
      bytes += skipped;
      size -= skipped;
      continue;
    }
    header_ += *bytes++;
    --size;
    if (header_.size() < 2) continue;
    const auto second = static_cast<unsigned char>(header_[1]);
    if ((second & 0x80) == 0) return false;
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
  }
  return true;
}

AdoptedSocket::AdoptedSocket(std::shared_ptr<int> openCount, int deadlineMs, QObject* parent)
    : QTcpSocket(parent), openCount_(std::move(openCount)), deadline_(this) {
  ++*openCount_;
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] {
    abort();
    deleteLater();
  });
  if (deadlineMs > 0) deadline_.start(deadlineMs);
  // Connected first, so that it runs before any reader Qt connects later.
  connect(this, &QTcpSocket::readyRead, this, &AdoptedSocket::BeforeQtReads);
}

AdoptedSocket::~AdoptedSocket() { --*openCount_; }

void AdoptedSocket::Settle() { deadline_.stop(); }

qint64 AdoptedSocket::writeData(const char* data, qint64 size) {
  if (outputBound_ > 0 && !admitted_ && bytesToWrite() > outputBound_) {
    if (!overflowed_) {
      overflowed_ = true;
      QMetaObject::invokeMethod(this, &AdoptedSocket::OutputOverflowed, Qt::QueuedConnection);
    }
    return size;  // dropped: the connection ends for it
  }
  return QTcpSocket::writeData(data, size);
}

void AdoptedSocket::ExpectHandshake(HandshakeJudge judge) {
  reading_ = Reading::Handshake;
  judge_ = std::move(judge);
  setReadBufferSize(http::MaxHeadBytes);
}

bool AdoptedSocket::CheckFrames() {
  if (reading_ != Reading::AwaitingAnswer) return reading_ != Reading::Violated;
  reading_ = Reading::Frames;
  seen_ = bytesAvailable();
  // After Qt's WebSocket has read what it could of each arrival.
  connect(this, &QTcpSocket::readyRead, this, [this] { seen_ = bytesAvailable(); });
  return true;
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
  if (head.size() > end) Violate();
}

void AdoptedSocket::Violate() {
  const bool inFrames = reading_ == Reading::Frames;
  reading_ = Reading::Violated;
  emit ProtocolViolated();
  // What came with the faulty frame is never read: Qt's WebSocket reads
  // right after this returns.
  if (inFrames && isOpen()) skip(bytesAvailable());
}

void AdoptedSocket::BeforeQtReads() {
  switch (reading_) {
    case Reading::Plain:
    case Reading::Violated:
      return;
    case Reading::Refused:
      if (isOpen()) readAll();
      return;
    case Reading::Handshake:
      JudgeHandshake(peek(bytesAvailable()));
      return;
    case Reading::AwaitingAnswer:
      Violate();
      return;
    case Reading::Frames: {
      const qint64 available = bytesAvailable();
      if (available <= seen_) return;
      const QByteArray bytes = peek(available);
      if (!frames_.Feed(bytes.constData() + seen_, static_cast<std::size_t>(available - seen_))) {
        Violate();
        return;
      }
      seen_ = available;
      return;
    }
  }
}

}  // namespace velmor
