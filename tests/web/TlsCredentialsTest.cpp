// The certificate the browser side serves: what the operator may hand it,
// each fault said in words, and the program's own kept and made again.
#include <QDir>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>

#include "tests/support/RowName.h"
#include "web/SelfSigned.h"
#include "web/TlsCredentials.h"

namespace velmor::tls {
namespace {

// openssl, as an operator makes a certificate (Debian's ca-certificates
// brings it); true when it succeeded.
bool OpenSsl(const QString& directory, const QStringList& arguments) {
  QProcess openssl;
  openssl.setWorkingDirectory(directory);
  openssl.start(QStringLiteral("openssl"), arguments);
  return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit &&
         openssl.exitCode() == 0;
}

bool Write(const QString& path, const QByteArray& bytes, int mode = 0600) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
    return false;
  file.close();
  return ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0;
}

QByteArray Read(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QStringList kNames{QStringLiteral("localhost"), QStringLiteral("chat.lan")};
const QList<QHostAddress> kAddresses{QHostAddress(QStringLiteral("127.0.0.1")),
                                     QHostAddress(QStringLiteral("fe80::1%lo"))};

// An EC certificate of the program's own kind, valid from `from` for days,
// as cert.pem and key.pem in directory.
bool Own(const QString& directory, const QDateTime& from, int days) {
  QString why;
  const auto pem = MakeSelfSigned(kNames, kAddresses, from, days, why);
  return pem && Write(directory + "/cert.pem", pem->certificate) &&
         Write(directory + "/key.pem", pem->key);
}

struct Case {
  const char* description;
  // Makes cert.pem and key.pem (and whatever else) in the directory.
  std::function<bool(const QString&)> make;
  const char* said;  // in the reason; nullptr: served
};

const QDateTime kNow = QDateTime::currentDateTimeUtc();

const Case kCases[] = {
    {"the program's own EC certificate",
     [](const QString& d) { return Own(d, kNow.addSecs(-60), 30); }, nullptr},
    {"an RSA key in the traditional form, the certificate with its chain",
     [](const QString& d) {
       return OpenSsl(d, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
                          "-out", "ca.pem", "-days", "30", "-subj", "/CN=Test CA"}) &&
              OpenSsl(d, {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key", "-out",
                          "leaf.csr", "-subj", "/CN=chat.lan"}) &&
              OpenSsl(d, {"x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                          "-CAcreateserial", "-days", "30", "-out", "leaf.pem"}) &&
              OpenSsl(d, {"rsa", "-in", "leaf.key", "-traditional", "-out", "key.pem"}) &&
              Write(d + "/cert.pem", Read(d + "/leaf.pem") + Read(d + "/ca.pem")) &&
              Read(d + "/key.pem").contains("BEGIN RSA PRIVATE KEY");
     },
     nullptr},
    {"no certificate file",
     [](const QString& d) { return Own(d, kNow, 30) && QFile::remove(d + "/cert.pem"); },
     "No such file"},
    {"no PEM in the certificate file",
     [](const QString& d) { return Own(d, kNow, 30) && Write(d + "/cert.pem", "hello\n"); },
     "no PEM certificate"},
    {"the key of another certificate",
     [](const QString& d) {
       const QByteArray key = (Own(d, kNow, 30), Read(d + "/key.pem"));
       return Own(d, kNow.addSecs(-60), 30) && Write(d + "/key.pem", key);
     },
     "the key is not the certificate's"},
    {"an encrypted key",
     [](const QString& d) {
       return Own(d, kNow.addSecs(-60), 30) &&
              OpenSsl(d, {"pkey", "-in", "key.pem", "-aes256", "-passout", "pass:secret", "-out",
                          "encrypted.pem"}) &&
              Write(d + "/key.pem", Read(d + "/encrypted.pem"));
     },
     "no unencrypted PEM private key"},
    {"an expired certificate", [](const QString& d) { return Own(d, kNow.addDays(-40), 30); },
     "the certificate expired at"},
    {"a certificate not valid yet", [](const QString& d) { return Own(d, kNow.addDays(2), 30); },
     "the certificate is not valid before"},
    {"a key others can read",
     [](const QString& d) {
       return Own(d, kNow.addSecs(-60), 30) &&
              ::chmod(QFile::encodeName(d + "/key.pem").constData(), 0644) == 0;
     },
     "other users can read this key (mode 0644"},
};

class CertificateFiles : public ::testing::TestWithParam<Case> {};

TEST_P(CertificateFiles, AreServedOrRefusedWithTheirReason) {
  const Case& row = GetParam();
  QTemporaryDir directory;
  ASSERT_TRUE(directory.isValid());
  ASSERT_TRUE(row.make(directory.path())) << "making the files";
  QString why;
  const auto credentials =
      FromFiles(directory.filePath("cert.pem"), directory.filePath("key.pem"), why);
  if (row.said == nullptr) {
    ASSERT_TRUE(credentials) << why.toStdString();
    const QList<QSslCertificate> chain =
        QSslCertificate::fromData(Read(directory.filePath("cert.pem")));
    EXPECT_EQ(credentials->configuration.localCertificateChain(), chain) << "with its chain";
    EXPECT_FALSE(credentials->configuration.privateKey().isNull());
    // As a browser shows it: SHA-256 of the certificate, in pairs.
    EXPECT_EQ(credentials->fingerprint.toLatin1(),
              chain.first().digest(QCryptographicHash::Sha256).toHex(':').toUpper());
    return;
  }
  ASSERT_FALSE(credentials) << "served";
  EXPECT_TRUE(why.contains(QString::fromUtf8(row.said))) << why.toStdString();
  EXPECT_TRUE(why.contains(directory.path())) << "names the file: " << why.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, CertificateFiles, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return testing::RowName(info.param.description); });

QStringList Alternatives(const Credentials& credentials) {
  QStringList named;
  const auto all = credentials.configuration.localCertificate().subjectAlternativeNames();
  for (auto it = all.cbegin(); it != all.cend(); ++it) named << it.value().toLower();
  named.sort();
  return named;
}

TEST(OwnCertificate, IsKeptUntilItsNamesChangeOrItNearsItsEnd) {
  QTemporaryDir state;
  ASSERT_TRUE(state.isValid());
  const QString directory = state.filePath("velmor");
  bool made = false;
  QString why;
  const auto first = KeptSelfSigned(directory, kNames, kAddresses, made, why);
  ASSERT_TRUE(first) << why.toStdString();
  EXPECT_TRUE(made);
  // Every name and address, the link-local one without its scope.
  EXPECT_EQ(Alternatives(*first), QStringList({"127.0.0.1", "chat.lan", "fe80::1", "localhost"}));
  const QDateTime expires = first->configuration.localCertificate().expiryDate();
  const QDateTime effective = first->configuration.localCertificate().effectiveDate();
  EXPECT_LE(effective.daysTo(expires), SelfSignedDays) << "what Apple's platforms accept";
  EXPECT_GE(effective.daysTo(expires), SelfSignedDays - 1);
  EXPECT_EQ(QFile(directory + "/web-key.pem").permissions() &
                ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
            QFile::Permissions())
      << "the key is its owner's alone";

  const auto again = KeptSelfSigned(directory, kNames, kAddresses, made, why);
  ASSERT_TRUE(again) << why.toStdString();
  EXPECT_FALSE(made) << "kept";
  EXPECT_EQ(again->fingerprint, first->fingerprint);

  const QStringList moreNames = kNames + QStringList{QStringLiteral("velmor.local")};
  const auto renamed = KeptSelfSigned(directory, moreNames, kAddresses, made, why);
  ASSERT_TRUE(renamed) << why.toStdString();
  EXPECT_TRUE(made) << "a name came";
  EXPECT_TRUE(Alternatives(*renamed).contains("velmor.local"));

  const auto moved = KeptSelfSigned(directory, moreNames, {kAddresses.first()}, made, why);
  ASSERT_TRUE(moved) << why.toStdString();
  EXPECT_TRUE(made) << "an address went";

  // One that ends within the renewal's days is made again.
  ASSERT_TRUE(
      Own(directory, kNow.addDays(-(SelfSignedDays - RenewDaysBefore + 1)), SelfSignedDays));
  ASSERT_TRUE(QFile::remove(directory + "/web-cert.pem") &&
              QFile::rename(directory + "/cert.pem", directory + "/web-cert.pem") &&
              QFile::remove(directory + "/web-key.pem") &&
              QFile::rename(directory + "/key.pem", directory + "/web-key.pem"));
  const auto renewed = KeptSelfSigned(directory, kNames, kAddresses, made, why);
  ASSERT_TRUE(renewed) << why.toStdString();
  EXPECT_TRUE(made) << "near its end";
  EXPECT_GT(renewed->expires, kNow.addDays(SelfSignedDays - 2));

  // A directory that cannot be made is said, not a crash.
  ASSERT_TRUE(Write(state.filePath("file"), "x"));
  EXPECT_FALSE(KeptSelfSigned(state.filePath("file/velmor"), kNames, kAddresses, made, why));
  EXPECT_TRUE(why.contains(state.filePath("file/velmor"))) << why.toStdString();
}

}  // namespace
}  // namespace velmor::tls
