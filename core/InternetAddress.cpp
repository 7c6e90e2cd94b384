#include "core/InternetAddress.h"

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>

namespace {

constexpr qint64 kMaxAnswerBytes = 256;

QByteArray FailureLine(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // our own time-out
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return "Connection error. Unable to get your Internet IP address.\r\n"
               "Please check your Internet connection and firewall.";
    case QNetworkReply::ContentNotFoundError:
        return "Unable to get your Internet IP address.";
    default:
        return "Unable to get your Internet IP address. Error code: " +
               QByteArray::number(uint(error), 16).toUpper().rightJustified(8, '0');
    }
}

// SECURITY: the text goes into PASV replies; only a plain dotted IPv4 address is accepted.
QByteArray ValidAddress(const QByteArray& text)
{
    const QByteArray trimmed = text.trimmed();
    QHostAddress address;
    if (trimmed.isEmpty() || trimmed.count('.') != 3 || !address.setAddress(QString::fromLatin1(trimmed)) ||
        address.protocol() != QAbstractSocket::IPv4Protocol)
        return {};
    const QByteArray canonical = address.toString().toLatin1();
    return canonical == trimmed ? canonical : QByteArray();
}

} // namespace

CInternetAddress::CInternetAddress(CServerMonitor& monitor, QString serviceUrl)
    : m_monitor(monitor), m_serviceUrl(std::move(serviceUrl))
{}

CInternetAddress::~CInternetAddress()
{
    // A fetch still running is abandoned: its reply must not come back into a half-destroyed object.
    if (m_pReply)
        m_pReply->disconnect(this);
    m_manager.reset();
}

std::optional<QByteArray> CInternetAddress::Lookup(QObject* receiver, Callback done, bool retryFailure)
{
    QMutexLocker locker(&m_lock);
    if (!m_strCache.isEmpty())
        return m_strCache;
    if (!retryFailure && !m_failureRemembered.hasExpired())
        return QByteArray();
    m_waiters.append({receiver, std::move(done)});
    if (!m_bFetching) {
        m_bFetching = true;
        QMetaObject::invokeMethod(this, &CInternetAddress::StartFetch, Qt::QueuedConnection);
    }
    return std::nullopt;
}

void CInternetAddress::Cancel(QObject* receiver)
{
    QMutexLocker locker(&m_lock);
    m_waiters.removeIf([receiver](const Waiter& waiter) { return waiter.receiver == receiver; });
}

QByteArray CInternetAddress::Cached() const
{
    QMutexLocker locker(&m_lock);
    return m_strCache;
}

void CInternetAddress::SetServiceUrl(const QString& url)
{
    QMutexLocker locker(&m_lock);
    m_serviceUrl = url;
}

void CInternetAddress::SetTimings(int fetchTimeoutMs, int failureMemoryMs)
{
    QMutexLocker locker(&m_lock);
    m_nFetchTimeoutMs = fetchTimeoutMs;
    m_nFailureMemoryMs = failureMemoryMs;
}

void CInternetAddress::StartFetch()
{
    Q_ASSERT(QThread::currentThread() == thread());
    QString url;
    int timeoutMs;
    {
        QMutexLocker locker(&m_lock);
        url = m_serviceUrl;
        timeoutMs = m_nFetchTimeoutMs;
    }
    if (!m_manager)
        m_manager = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = m_manager->get(request);
    m_pReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { FinishFetch(reply); });
    // The transfer time-out does not cover a service that accepts and never answers the request.
    QTimer::singleShot(timeoutMs, reply, &QNetworkReply::abort);
}

void CInternetAddress::FinishFetch(QNetworkReply* reply)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_pReply = nullptr;
    reply->deleteLater();
    QByteArray address;
    QByteArray failure;
    if (reply->error() != QNetworkReply::NoError) {
        failure = FailureLine(reply->error());
    } else {
        address = ValidAddress(reply->read(kMaxAnswerBytes));
        if (address.isEmpty())
            failure = "Unable to get your Internet IP address.";
    }
    // The monitor line comes before any reply that carries the address. No lock is held here:
    // a monitor write may wait for the window's thread.
    if (address.isEmpty())
        m_monitor.AddMonitorText(failure, MonitorColor::White, MonitorColor::Red, true);
    else
        m_monitor.AddAddressLine("Your Internet IP address: ", MonitorColor::Amber, address, MonitorColor::White);

    QMutexLocker locker(&m_lock);
    m_bFetching = false;
    if (address.isEmpty())
        m_failureRemembered.setRemainingTime(m_nFailureMemoryMs);
    else
        m_strCache = address;
    // Posted under the lock, so that a receiver that cancels is never called afterwards.
    for (Waiter& waiter : m_waiters)
        QMetaObject::invokeMethod(
            waiter.receiver, [done = std::move(waiter.done), address] { done(address); }, Qt::QueuedConnection);
    m_waiters.clear();
}
