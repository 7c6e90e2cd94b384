#include "server/ServerTls.h"

#include "core/LanAddress.h"
#include "tls/TlsCertificate.h"
#include "tls/TlsContext.h"

#include <QDir>
#include <QFile>
#include <QSysInfo>

namespace {

constexpr char kMadeCertificate[] = "tls-certificate.pem";
constexpr char kMadeKey[] = "tls-private-key.pem";

} // namespace

std::shared_ptr<const CTlsContext> LoadServerTls(const CSettings::Values& values, const QByteArray& settingsFolder,
                                                 QByteArray* made, QByteArray* error)
{
    QByteArray certificate = values.TlsCertificate;
    QByteArray key = values.TlsPrivateKey.isEmpty() ? certificate : values.TlsPrivateKey;
    if (certificate.isEmpty()) {
        certificate = settingsFolder + '/' + kMadeCertificate;
        key = settingsFolder + '/' + kMadeKey;
        // Made when neither is there; one without the other is reported, not replaced.
        if (!QFile::exists(QFile::decodeName(certificate)) && !QFile::exists(QFile::decodeName(key))) {
            QByteArrayList addresses = {"127.0.0.1"};
            QByteArray lan;
            if (GetLanIP(lan) == 0 && lan != addresses.first())
                addresses << lan;
            const QByteArrayList names = {QSysInfo::machineHostName().toUtf8(), "localhost"};
            if (!QDir().mkpath(QFile::decodeName(settingsFolder)) ||
                !CreateSelfSignedCertificate(certificate, key, names, addresses, error)) {
                if (error->isEmpty())
                    *error = "A TLS certificate could not be made: cannot create the folder " + settingsFolder + ".";
                return nullptr;
            }
            *made = certificate;
        }
    }
    return CTlsContext::Load(certificate, key, error);
}
