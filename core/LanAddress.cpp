#include "core/LanAddress.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>

namespace {

QHostAddress FirstIPv4(const QList<QHostAddress>& addresses)
{
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address;
    }
    return {};
}

QHostAddress FirstInterfaceAddress()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.ip().isLoopback())
                return entry.ip();
        }
    }
    return {};
}

} // namespace

int GetLanIP(QByteArray& text)
{
    const QString hostName = QHostInfo::localHostName();
    if (hostName.isEmpty())
        return -1;
    const QHostInfo info = QHostInfo::fromName(hostName);
    QHostAddress address = FirstIPv4(info.addresses());
    // Debian maps the host name to 127.0.1.1: the LAN box needs the interface's address.
    if (address.isNull() || address.isLoopback()) {
        const QHostAddress fallback = FirstInterfaceAddress();
        if (!fallback.isNull())
            address = fallback;
    }
    if (address.isNull())
        return info.error() != QHostInfo::NoError ? int(info.error()) : 1;
    text = address.toString().toLatin1();
    return 0;
}
