// A certificate of the program's own, for --web-tls: made with OpenSSL's
// libcrypto at the first start and kept in the state directory, so that a
// browser that was told to trust it once goes on trusting it. It names, in
// its subject alternative names, every name and address a browser may use
// for this machine (those the origin rule accepts); it is made again when
// they change, or when it nears its end.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

#include "web/TlsCredentials.h"

namespace velmor::tls {

// At most what Apple's platforms accept of a TLS server's certificate.
constexpr int SelfSignedDays = 825;
// It is made again once this close to its end.
constexpr int RenewDaysBefore = 30;

struct Pem {
  QByteArray certificate;
  QByteArray key;
};

// A self-signed certificate (EC P-256, SHA-256) for names and addresses,
// valid from notBefore for days; nullopt with why when libcrypto fails.
std::optional<Pem> MakeSelfSigned(const QStringList& names, const QList<QHostAddress>& addresses,
                                  const QDateTime& notBefore, int days, QString& why);

// Where the program keeps what it makes: the service's StateDirectory=
// ($STATE_DIRECTORY), otherwise $XDG_STATE_HOME/velmor, otherwise
// ~/.local/state/velmor.
QString StateDirectory();

// The certificate kept in directory (web-cert.pem and web-key.pem), made
// and written there first when there is none that can be served, or it
// does not name exactly these names and addresses, or it ends within
// RenewDaysBefore. made says whether it was made now.
std::optional<Credentials> KeptSelfSigned(const QString& directory, const QStringList& names,
                                          const QList<QHostAddress>& addresses, bool& made,
                                          QString& why);

}  // namespace velmor::tls
