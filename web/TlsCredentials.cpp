#include "web/TlsCredentials.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <memory>

namespace velmor::tls {

namespace {

struct FreeBio {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeX509 {
  void operator()(X509* x) const { X509_free(x); }
};
struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

std::unique_ptr<BIO, FreeBio> Reading(const QByteArray& bytes) {
  return std::unique_ptr<BIO, FreeBio>(
      BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

// Forward secret (an ephemeral key exchange) and authenticated encryption:
// what the usual hardened profiles keep of TLS 1.2; TLS 1.3 has nothing else.
bool Kept(const QSslCipher& cipher) {
  if (cipher.protocol() == QSsl::TlsV1_3) return true;
  if (cipher.protocol() != QSsl::TlsV1_2) return false;
  const QString exchange = cipher.keyExchangeMethod();
  const QString encryption = cipher.encryptionMethod();
  return (exchange == QLatin1String("ECDH") || exchange == QLatin1String("DH")) &&
         (encryption.contains(QLatin1String("GCM")) ||
          encryption.contains(QLatin1String("CHACHA20")));
}

QSslConfiguration Profile() {
  QSslConfiguration profile = QSslConfiguration::defaultConfiguration();
  profile.setProtocol(QSsl::TlsV1_2OrLater);
  profile.setPeerVerifyMode(QSslSocket::VerifyNone);
  QList<QSslCipher> ciphers;
  for (const QSslCipher& cipher : QSslConfiguration::supportedCiphers()) {
    if (Kept(cipher)) ciphers << cipher;
  }
  profile.setCiphers(ciphers);
  profile.setSslOption(QSsl::SslOptionDisableCompression, true);
  // No renegotiation: OpenSSL 3 refuses a client's (unless a server asks
  // for them), Qt never starts one, and TLS 1.3 has none.
  profile.setSslOption(QSsl::SslOptionDisableLegacyRenegotiation, true);
  return profile;
}

QString Day(const QDateTime& when) { return when.toUTC().toString(Qt::ISODate); }

}  // namespace

QString Fingerprint(const QByteArray& der) {
  return QString::fromLatin1(
      QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper());
}

std::optional<Credentials> FromPem(const QByteArray& certificates, const QByteArray& key,
                                   QString& why) {
  if (!QSslSocket::supportsSsl()) {
    why = QStringLiteral("TLS is not available (Qt found no OpenSSL 3)");
    return std::nullopt;
  }
  const QList<QSslCertificate> chain = QSslCertificate::fromData(certificates, QSsl::Pem);
  const std::unique_ptr<X509, FreeX509> leaf(
      PEM_read_bio_X509(Reading(certificates).get(), nullptr, nullptr, nullptr));
  if (chain.isEmpty() || chain.first().isNull() || leaf == nullptr) {
    why = QStringLiteral("no PEM certificate");
    return std::nullopt;
  }
  const std::unique_ptr<EVP_PKEY, FreeKey> privateKey(
      PEM_read_bio_PrivateKey(Reading(key).get(), nullptr, nullptr, nullptr));
  const int type = privateKey ? EVP_PKEY_get_base_id(privateKey.get()) : EVP_PKEY_NONE;
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) {
    why = QStringLiteral("no unencrypted PEM private key, RSA or EC");
    return std::nullopt;
  }
  if (X509_check_private_key(leaf.get(), privateKey.get()) != 1) {
    why = QStringLiteral("the key is not the certificate's");
    return std::nullopt;
  }
  const QSslCertificate& certificate = chain.first();
  const QDateTime now = QDateTime::currentDateTimeUtc();
  if (certificate.expiryDate() <= now) {
    why = QStringLiteral("the certificate expired at ") + Day(certificate.expiryDate());
    return std::nullopt;
  }
  if (certificate.effectiveDate() > now) {
    why = QStringLiteral("the certificate is not valid before ") + Day(certificate.effectiveDate());
    return std::nullopt;
  }
  // Qt reads PKCS#8 of either kind; the key may have come in another form.
  std::unique_ptr<BIO, FreeBio> written(BIO_new(BIO_s_mem()));
  PEM_write_bio_PKCS8PrivateKey(written.get(), privateKey.get(), nullptr, nullptr, 0, nullptr,
                                nullptr);
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(written.get(), &bytes);
  const QSslKey qtKey(QByteArray(bytes, static_cast<qsizetype>(size)),
                      type == EVP_PKEY_RSA ? QSsl::Rsa : QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
  if (qtKey.isNull()) {
    why = QStringLiteral("Qt cannot use this key");
    return std::nullopt;
  }
  Credentials credentials;
  credentials.configuration = Profile();
  credentials.configuration.setLocalCertificateChain(chain);
  credentials.configuration.setPrivateKey(qtKey);
  credentials.fingerprint = Fingerprint(certificate.toDer());
  credentials.expires = certificate.expiryDate();
  return credentials;
}

std::optional<Credentials> FromFiles(const QString& certificateFile, const QString& keyFile,
                                     QString& why) {
  const auto read = [&why](const QString& name, QByteArray& bytes) {
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
      why = name + QStringLiteral(": ") + file.errorString();
      return false;
    }
    bytes = file.read(1 << 20);
    return true;
  };
  QByteArray certificates;
  QByteArray key;
  if (!read(certificateFile, certificates) || !read(keyFile, key)) return std::nullopt;
  struct stat status {};
  if (::stat(QFile::encodeName(keyFile).constData(), &status) == 0 &&
      (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    why = keyFile + QStringLiteral(": other users can read this key (mode %1; chmod 600 it)")
                        .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return std::nullopt;
  }
  std::optional<Credentials> credentials = FromPem(certificates, key, why);
  if (!credentials)
    why = certificateFile + QStringLiteral(", ") + keyFile + QStringLiteral(": ") + why;
  return credentials;
}

}  // namespace velmor::tls
