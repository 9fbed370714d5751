#include "web/SelfSigned.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSslCertificate>

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace velmor::tls {

namespace {

template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Freer<GENERAL_NAMES_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;

// An address as a certificate names it: its bytes, no scope.
QHostAddress Unscoped(QHostAddress address) {
  address.setScopeId(QString());
  return address;
}

QByteArray AddressBytes(const QHostAddress& address) {
  if (address.protocol() == QAbstractSocket::IPv4Protocol) {
    const quint32 v4 = address.toIPv4Address();
    const char bytes[] = {static_cast<char>(v4 >> 24), static_cast<char>(v4 >> 16),
                          static_cast<char>(v4 >> 8), static_cast<char>(v4)};
    return QByteArray(bytes, sizeof bytes);
  }
  const Q_IPV6ADDR v6 = address.toIPv6Address();
  return QByteArray(reinterpret_cast<const char*>(v6.c), 16);
}

bool AddName(GENERAL_NAMES* names, int type, const QByteArray& bytes) {
  GENERAL_NAME* name = GENERAL_NAME_new();
  ASN1_STRING* value =
      ASN1_STRING_type_new(type == GEN_DNS ? V_ASN1_IA5STRING : V_ASN1_OCTET_STRING);
  if (name == nullptr || value == nullptr ||
      ASN1_STRING_set(value, bytes.constData(), static_cast<int>(bytes.size())) != 1) {
    GENERAL_NAME_free(name);
    ASN1_STRING_free(value);
    return false;
  }
  GENERAL_NAME_set0_value(name, type, value);
  if (sk_GENERAL_NAME_push(names, name) == 0) {
    GENERAL_NAME_free(name);
    return false;
  }
  return true;
}

bool AddExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  const ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

QByteArray Written(int (*write)(BIO*, void*), void* what) {
  const BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get(), what) != 1) return {};
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &bytes);
  return QByteArray(bytes, static_cast<qsizetype>(size));
}

// The names and addresses a certificate names, lower case and unscoped.
QSet<QString> Named(const QStringList& names, const QList<QHostAddress>& addresses) {
  QSet<QString> named;
  for (const QString& name : names) named << QStringLiteral("DNS:") + name.toLower();
  for (const QHostAddress& address : addresses)
    named << QStringLiteral("IP:") + Unscoped(address).toString();
  return named;
}

QSet<QString> Named(const QSslCertificate& certificate) {
  const auto alternatives = certificate.subjectAlternativeNames();
  QStringList names;
  QList<QHostAddress> addresses;
  for (auto it = alternatives.cbegin(); it != alternatives.cend(); ++it) {
    if (it.key() == QSsl::DnsEntry) names << it.value();
    if (it.key() == QSsl::IpAddressEntry) addresses << QHostAddress(it.value());
  }
  return Named(names, addresses);
}

// Written whole or not at all, readable by its owner alone from the start.
bool WriteSecretly(const QString& path, const QByteArray& bytes, QString& why) {
  const QByteArray name = QFile::encodeName(path);
  const QByteArray temporary = name + ".new";
  const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool written =
      fd >= 0 && ::fchmod(fd, 0600) == 0 &&
      ::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())) == bytes.size() &&
      ::fsync(fd) == 0;
  if (fd >= 0) written = ::close(fd) == 0 && written;
  if (written && ::rename(temporary.constData(), name.constData()) == 0) return true;
  why = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
  ::unlink(temporary.constData());
  return false;
}

}  // namespace

std::optional<Pem> MakeSelfSigned(const QStringList& names, const QList<QHostAddress>& addresses,
                                  const QDateTime& notBefore, int days, QString& why) {
  why = QStringLiteral("OpenSSL could not make a certificate");
  const KeyPtr key(EVP_EC_gen("P-256"));
  const X509Ptr certificate(X509_new());
  if (!key || !certificate) return std::nullopt;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return std::nullopt;
  serial[0] &= 0x7F;  // a positive number
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialSet =
      number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
  BN_free(number);
  const time_t from = static_cast<time_t>(notBefore.toSecsSinceEpoch());
  if (!serialSet || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
      ASN1_TIME_set(X509_getm_notBefore(certificate.get()), from) == nullptr ||
      ASN1_TIME_adj(X509_getm_notAfter(certificate.get()), from, days, 0) == nullptr ||
      X509_set_pubkey(certificate.get(), key.get()) != 1) {
    return std::nullopt;
  }
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  const QByteArray common =
      (names.isEmpty() ? QStringLiteral("Velmor") : QStringLiteral("Velmor on ") + names.last())
          .toUtf8()
          .left(64);
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(common.constData()),
                                 static_cast<int>(common.size()), -1, 0) != 1 ||
      X509_set_issuer_name(certificate.get(), subject) != 1) {
    return std::nullopt;
  }
  // Built entry by entry: a name given on the command line is never read
  // as OpenSSL's configuration syntax.
  const NamesPtr alternatives(sk_GENERAL_NAME_new_null());
  if (!alternatives) return std::nullopt;
  for (const QString& name : names) {
    if (!AddName(alternatives.get(), GEN_DNS, name.toLower().toUtf8())) return std::nullopt;
  }
  for (const QHostAddress& address : addresses) {
    if (!AddName(alternatives.get(), GEN_IPADD, AddressBytes(address))) return std::nullopt;
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
  if (X509_add1_ext_i2d(certificate.get(), NID_subject_alt_name, alternatives.get(), 0,
                        X509V3_ADD_DEFAULT) != 1 ||
      !AddExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(certificate.get(), &context, NID_key_usage, "critical,digitalSignature") ||
      !AddExtension(certificate.get(), &context, NID_ext_key_usage, "serverAuth") ||
      !AddExtension(certificate.get(), &context, NID_subject_key_identifier, "hash") ||
      X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) {
    return std::nullopt;
  }
  Pem pem;
  pem.certificate =
      Written([](BIO* bio, void* x) { return PEM_write_bio_X509(bio, static_cast<X509*>(x)); },
              certificate.get());
  pem.key = Written(
      [](BIO* bio, void* k) {
        return PEM_write_bio_PKCS8PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0,
                                             nullptr, nullptr);
      },
      key.get());
  if (pem.certificate.isEmpty() || pem.key.isEmpty()) return std::nullopt;
  why.clear();
  return pem;
}

QString StateDirectory() {
  // systemd may name several, separated by colons; the first is ours.
  if (const char* service = std::getenv("STATE_DIRECTORY"); service != nullptr && *service)
    return QFile::decodeName(service).section(QLatin1Char(':'), 0, 0);
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/')
    return QFile::decodeName(state) + QStringLiteral("/velmor");
  return QDir::homePath() + QStringLiteral("/.local/state/velmor");
}

std::optional<Credentials> KeptSelfSigned(const QString& directory, const QStringList& names,
                                          const QList<QHostAddress>& addresses, bool& made,
                                          QString& why) {
  made = false;
  const QString certificateFile = directory + QStringLiteral("/web-cert.pem");
  const QString keyFile = directory + QStringLiteral("/web-key.pem");
  QString unused;
  if (std::optional<Credentials> kept = FromFiles(certificateFile, keyFile, unused)) {
    const QSslCertificate certificate = kept->configuration.localCertificate();
    if (Named(certificate) == Named(names, addresses) &&
        kept->expires > QDateTime::currentDateTimeUtc().addDays(RenewDaysBefore)) {
      return kept;
    }
  }
  if (!QDir().mkpath(directory)) {
    why = directory + QStringLiteral(": cannot make this directory");
    return std::nullopt;
  }
  ::chmod(QFile::encodeName(directory).constData(), 0700);
  // Valid from a little before now: a phone's clock may be behind.
  std::optional<Pem> pem = MakeSelfSigned(
      names, addresses, QDateTime::currentDateTimeUtc().addSecs(-3600), SelfSignedDays, why);
  if (!pem || !WriteSecretly(keyFile, pem->key, why) ||
      !WriteSecretly(certificateFile, pem->certificate, why)) {
    return std::nullopt;
  }
  made = true;
  return FromPem(pem->certificate, pem->key, why);
}

}  // namespace velmor::tls
