// What the browser side serves over TLS: a certificate with its chain and
// key (the operator's PEM files, or one made here, see SelfSigned.h),
// checked before anything listens, and the profile every connection is
// held to: TLS 1.2 and 1.3 only, forward-secret AEAD suites, no
// compression, no renegotiation.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSslConfiguration>
#include <QString>

#include <optional>

namespace velmor::tls {

struct Credentials {
  QSslConfiguration configuration;  // the profile, with the certificate and key
  QString fingerprint;              // SHA-256 of the certificate, "AB:CD:..."
  QDateTime expires;
};

// The certificate (then its chain) and the key, as PEM. nullopt, with why in
// words for the status line, when they cannot be served: no certificate, no
// RSA or EC key, a key that is not the certificate's, a certificate not
// valid now, or no TLS in this build of Qt.
std::optional<Credentials> FromPem(const QByteArray& certificates, const QByteArray& key,
                                   QString& why);

// The same from files; a key file that other users can read is refused too,
// since a key they could read is a key they could serve.
std::optional<Credentials> FromFiles(const QString& certificateFile, const QString& keyFile,
                                     QString& why);

// SHA-256 of a DER certificate, as browsers show it.
QString Fingerprint(const QByteArray& der);

}  // namespace velmor::tls
