#include "panel/InternetAddress.h"

#include "panel/MonitorColors.h"
#include "panel/ServerMonitor.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

constexpr qint64 kMaxAnswerBytes = 256;

struct FetchOutcome
{
    QByteArray address; // empty unless the service gave a dotted IPv4 address
    QByteArray failure; // the monitor line of a failed fetch
};

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

FetchOutcome Fetch(const QString& url)
{
    FetchOutcome outcome;
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(CInternetAddress::kFetchTimeoutMs);
    QNetworkReply* reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(CInternetAddress::kFetchTimeoutMs, reply, &QNetworkReply::abort);
    loop.exec();

    if (reply->error() != QNetworkReply::NoError) {
        outcome.failure = FailureLine(reply->error());
    } else {
        outcome.address = ValidAddress(reply->read(kMaxAnswerBytes));
        if (outcome.address.isEmpty())
            outcome.failure = "Unable to get your Internet IP address.";
    }
    delete reply;
    return outcome;
}

} // namespace

CInternetAddress::CInternetAddress(CServerMonitor& monitor, QString serviceUrl)
    : m_monitor(monitor), m_serviceUrl(std::move(serviceUrl))
{}

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

QByteArray CInternetAddress::GetInternetIP()
{
    FetchOutcome outcome;
    {
        // A later caller waits here and then finds the cache filled.
        QMutexLocker fetching(&m_fetchLock);
        QString url;
        {
            QMutexLocker locker(&m_lock);
            if (!m_strCache.isEmpty())
                return m_strCache;
            url = m_serviceUrl;
        }
        outcome = Fetch(url);
        if (!outcome.address.isEmpty()) {
            QMutexLocker locker(&m_lock);
            m_strCache = outcome.address;
        }
    }
    // Monitor writes wait for the window's thread: never make them while holding a lock that the
    // window's thread might be waiting for.
    if (outcome.address.isEmpty()) {
        m_monitor.AddMonitorText(outcome.failure, MonitorColor::White, MonitorColor::Red, true);
    } else {
        m_monitor.AddAddressLine("Your Internet IP address: ", MonitorColor::Amber, outcome.address,
                                 MonitorColor::White);
    }
    return outcome.address;
}
