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

void AdoptedSocket::ExpectHandshake(qint64 maxHeadBytes) {
  reading_ = Reading::Handshake;
  maxHeadBytes_ = maxHeadBytes;
  setReadBufferSize(maxHeadBytes);
}

bool AdoptedSocket::CheckFrames() {
  if (reading_ != Reading::AwaitingAnswer) return reading_ != Reading::Violated;
  reading_ = Reading::Frames;
  seen_ = bytesAvailable();
  // After Qt's WebSocket has read what it could of each arrival.
  connect(this, &QTcpSocket::readyRead, this, [this] { seen_ = bytesAvailable(); });
  return true;
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
    case Reading::Handshake: {
      // Qt's handshake takes the head up to its first empty line; a client
      // must wait for the answer before it sends anything more.
      const QByteArray head = peek(bytesAvailable());
      const qsizetype end = head.indexOf("\r\n\r\n");
      if (end < 0) {
        if (head.size() >= maxHeadBytes_) {
          abort();
          deleteLater();
        }
        return;
      }
      reading_ = Reading::AwaitingAnswer;
      if (head.size() > end + 4) Violate();
      return;
    }
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
