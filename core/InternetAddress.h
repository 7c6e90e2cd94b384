#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class CServerMonitor;
class QNetworkAccessManager;
class QNetworkReply;

// The machine's public IPv4 address, fetched from a web service that answers "/" with the
// caller's address as plain text. One owner, one fetch at a time: every caller that asks while a
// fetch runs gets the same result posted to its own thread, so nobody waits inside a command.
// The address is cached after the first success; a failure is remembered for a short time so that
// a server without Internet access answers passive-mode requests at once.
//
// Lives on its owner's thread (the server's host thread), which must run an event loop.
class CInternetAddress : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kDefaultService = "https://api.ipify.org/";
    static constexpr int kFetchTimeoutMs = 15000;
    static constexpr int kFailureMemoryMs = 60000;

    using Callback = std::function<void(const QByteArray& address)>;

    explicit CInternetAddress(CServerMonitor& monitor, QString serviceUrl = QString::fromLatin1(kDefaultService));
    ~CInternetAddress() override;

    // Any thread. The answer when it is known now: the cached address, or an empty text while a
    // failure is remembered (unless retryFailure, as for the user's own button). Otherwise nullopt:
    // a fetch runs (or is already running) and done is called later on receiver's thread with the
    // address, empty when none was found. The fetch writes its monitor lines: "Your Internet IP
    // address: " and the address, or one of the failure lines.
    std::optional<QByteArray> Lookup(QObject* receiver, Callback done, bool retryFailure = false);
    // Any thread: no callback of receiver's runs after this returns. Call it before receiver goes.
    void Cancel(QObject* receiver);

    // Any thread: the cached address, empty when none was found yet.
    QByteArray Cached() const;

    // Any thread: where and how long to ask; tests point them at a local service.
    void SetServiceUrl(const QString& url);
    void SetTimings(int fetchTimeoutMs, int failureMemoryMs);

private:
    struct Waiter
    {
        QObject* receiver;
        Callback done;
    };

    void StartFetch();                      // owner's thread
    void FinishFetch(QNetworkReply* reply); // owner's thread

    CServerMonitor& m_monitor;
    std::unique_ptr<QNetworkAccessManager> m_manager; // owner's thread, made at the first fetch
    QNetworkReply* m_pReply = nullptr;                // owner's thread: the fetch running, if any

    mutable QMutex m_lock; // guards every member below
    QString m_serviceUrl;
    int m_nFetchTimeoutMs = kFetchTimeoutMs;
    int m_nFailureMemoryMs = kFailureMemoryMs;
    QByteArray m_strCache;
    QDeadlineTimer m_failureRemembered{0}; // running while the last failure still answers
    bool m_bFetching = false;
    QList<Waiter> m_waiters;
};
