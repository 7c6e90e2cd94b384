#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

class CServerMonitor;

// The machine's public IPv4 address, fetched from a web service that answers "/" with the
// caller's address as plain text, and cached after the first success.
class CInternetAddress
{
public:
    static constexpr const char* kDefaultService = "https://api.ipify.org/";
    static constexpr int kFetchTimeoutMs = 15000;

    explicit CInternetAddress(CServerMonitor& monitor, QString serviceUrl = QString::fromLatin1(kDefaultService));

    // Any thread; blocks the caller up to kFetchTimeoutMs while a fetch runs (call it off the
    // window's thread). The cached address when there is one (no monitor line); otherwise one
    // fetch, with its monitor lines: "Your Internet IP address: " and the address, or one of the
    // failure lines. Empty when no address was found. One fetch at a time across threads.
    QByteArray GetInternetIP();

    // Any thread: the cached address, empty when none was found yet.
    QByteArray Cached() const;

    void SetServiceUrl(const QString& url);

private:
    CServerMonitor& m_monitor;
    QMutex m_fetchLock;    // one fetch at a time
    mutable QMutex m_lock; // guards the two members below
    QString m_serviceUrl;  // guarded by m_lock
    QByteArray m_strCache; // guarded by m_lock
};
