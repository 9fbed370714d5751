#include "web/SharedPort.h"

#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "web/AdoptedSocket.h"
#include "web/HttpHead.h"
#include "web/SocketAdopter.h"

namespace velmor {

namespace {

// What the start of a connection says of it so far.
enum class Start { Undecided, Page, Socket };

// The first byte of a TLS record that begins a handshake (RFC 8446 5.1).
constexpr char TlsHandshakeRecord = 0x16;

Start Classify(std::string_view bytes) {
  constexpr std::string_view handshake = SharedPort::HandshakeStart;
  if (bytes.size() <= handshake.size()) {
    return handshake.starts_with(bytes) ? Start::Undecided : Start::Page;
  }
  if (!bytes.starts_with(handshake)) return Start::Page;
  // The path itself, not one that begins with it.
  const char next = bytes[handshake.size()];
  return next == ' ' || next == '?' ? Start::Socket : Start::Page;
}

}  // namespace

// One connection whose first bytes have not decided it yet: told by the
// thread's readiness watch each time more comes (edge-triggered, so that a
// start left unread is not reported again until something new arrives).
class SharedPort::Waiting : public QObject, private ReadinessWatch::Handler {
 public:
  Waiting(SharedPort& port, int fd)
      : QObject(&port), port_(port), fd_(fd), watch_(*port.watch_), deadline_(this) {
    ++port_.waiting_;
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
      // Still to finish its TLS handshake, or to say something once it did.
      if (tlsSocket_ != nullptr) {
        Drop();
        return;
      }
      Answer(http::Refusal{408, "Request Timeout"});
    });
    deadline_.start(port.deadlineMs_);
    // One that cannot be watched would never be decided.
    if (!watch_.Watch(fd_, *this, false)) Drop();
  }
  ~Waiting() override {
    --port_.waiting_;
    Close();
  }

 private:
  void OnReadable(bool peerDone) override {
    if (fd_ < 0) return;
    char bytes[HandshakeStart.size() + 1];
    const ssize_t n = ::recv(fd_, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
      Drop();
      return;
    }
    if (port_.secure_) {
      if (bytes[0] == TlsHandshakeRecord) {
        Decrypt();
      } else {
        HandOn(port_.toPage_);
      }
      return;
    }
    Start start = Classify(std::string_view(bytes, static_cast<std::size_t>(n)));
    // A client that ended after a part of the handshake's start sent a
    // request the page answers (400), as its own port would.
    if (start == Start::Undecided && peerDone) start = Start::Page;
    if (start == Start::Undecided) return;
    HandOn(start == Start::Socket ? port_.toSocket_ : port_.toPage_);
  }
  void OnWritable() override {}

  void Decrypt() {
    watch_.Forget(fd_);
    tlsSocket_ = port_.decrypting_->Adopt(std::exchange(fd_, -1));
    if (tlsSocket_ == nullptr) {
      Drop();
      return;
    }
    connect(tlsSocket_, &QIODevice::readyRead, this, &Waiting::OnDecrypted);
    connect(tlsSocket_, &QAbstractSocket::disconnected, this, &Waiting::Drop);
    connect(tlsSocket_, &QAbstractSocket::errorOccurred, this, &Waiting::Drop);
    tlsSocket_->setSslConfiguration(port_.tls_);
    tlsSocket_->startServerEncryption();
  }
  void OnDecrypted() {
    if (tlsSocket_ == nullptr) return;
    const QByteArray bytes = tlsSocket_->peek(static_cast<qint64>(HandshakeStart.size()) + 1);
    const Start start = Classify(std::string_view(bytes.constData(), bytes.size()));
    if (start == Start::Undecided) return;
    disconnect(tlsSocket_, nullptr, this, nullptr);
    deadline_.stop();
    AdoptedSocket* socket = std::exchange(tlsSocket_, nullptr);
    deleteLater();
    (start == Start::Socket ? port_.secureSocket_ : port_.securePage_)(socket);
  }

  void HandOn(const Take& take) {
    watch_.Forget(fd_);
    const int fd = std::exchange(fd_, -1);
    deleteLater();
    take(fd);
  }
  void Answer(const http::Refusal& refusal) {
    if (fd_ < 0) return;
    const QByteArray answer = http::ErrorResponse(refusal);
    // Small enough for any socket's buffer; a client that took none of it
    // loses nothing it asked for.
    [[maybe_unused]] const ssize_t sent =
        ::send(fd_, answer.constData(), static_cast<std::size_t>(answer.size()),
               MSG_DONTWAIT | MSG_NOSIGNAL);
    Drop();
  }
  void Drop() {
    Close();
    deleteLater();
  }
  void Close() {
    if (tlsSocket_ != nullptr) {
      disconnect(tlsSocket_, nullptr, this, nullptr);
      tlsSocket_->abort();
      tlsSocket_->deleteLater();
      tlsSocket_ = nullptr;
    }
    if (fd_ < 0) return;
    watch_.Forget(fd_);
    ::close(std::exchange(fd_, -1));
  }

  SharedPort& port_;
  int fd_;
  AdoptedSocket* tlsSocket_ = nullptr;  // once its TLS handshake began
  ReadinessWatch& watch_;
  QTimer deadline_;
};

SharedPort::SharedPort(int maxWaiting, int deadlineMs, Take toPage, Take toSocket, QObject* parent)
    : QObject(parent),
      maxWaiting_(maxWaiting),
      deadlineMs_(deadlineMs),
      toPage_(std::move(toPage)),
      toSocket_(std::move(toSocket)) {}

SharedPort::~SharedPort() {
  // Those still waiting end first, while the watch they are in (which may be
  // a child of this too, made before them) is still there.
  const QObjectList children = this->children();
  for (QObject* child : children) delete dynamic_cast<Waiting*>(child);
}

void SharedPort::UseTls(const QSslConfiguration& configuration, TakeSocket securePage,
                        TakeSocket secureSocket) {
  tls_ = configuration;
  securePage_ = std::move(securePage);
  secureSocket_ = std::move(secureSocket);
  secure_ = true;
  // Counted by those waiting (see Route); the deadline is theirs too.
  if (decrypting_ == nullptr) decrypting_ = new SocketAdopter(maxWaiting_, this);
}

void SharedPort::Route(int fd) {
  if (waiting_ >= maxWaiting_) {
    ::close(fd);
    return;
  }
  // Here, on the thread the connections are served on.
  if (watch_ == nullptr) watch_ = &ReadinessWatch::OnThisThread(*this);
  new Waiting(*this, fd);
}

}  // namespace velmor
