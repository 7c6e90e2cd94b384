// The LAN address and the Internet address fetch, against a local HTTP server.

#include "core/InternetAddress.h"
#include "core/LanAddress.h"
#include "core/ServerMonitor.h"
#include "TestServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>

namespace {

// A one-answer HTTP server on its own thread: answers every GET with the body it was given.
class HttpStub
{
public:
    HttpStub(QByteArray status, QByteArray body) : m_status(std::move(status)), m_body(std::move(body))
    {
        m_thread.start();
        QObject context;
        context.moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            &context,
            [this] {
                m_server = new QTcpServer;
                m_server->listen(QHostAddress::LocalHost);
                m_port = m_server->serverPort();
                QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { Answer(); });
            },
            Qt::BlockingQueuedConnection);
    }
    ~HttpStub()
    {
        QObject context;
        context.moveToThread(&m_thread);
        QMetaObject::invokeMethod(
            &context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    QString Url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_port); }
    int Requests() const { return m_requests.load(); }

private:
    void Answer()
    {
        QTcpSocket* socket = m_server->nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            if (!socket->readAll().contains("\r\n\r\n"))
                return;
            ++m_requests;
            socket->write("HTTP/1.1 " + m_status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                          QByteArray::number(m_body.size()) + "\r\nConnection: close\r\n\r\n" + m_body);
            socket->disconnectFromHost();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    QByteArray m_status;
    QByteArray m_body;
    QThread m_thread;
    QTcpServer* m_server = nullptr;
    quint16 m_port = 0;
    std::atomic<int> m_requests{0};
};

// The answer of one lookup, waiting for it on this thread when it is not known at once.
QByteArray LookUp(CInternetAddress& internet, bool retryFailure = false)
{
    QObject receiver;
    std::optional<QByteArray> answer;
    if (std::optional<QByteArray> known = internet.Lookup(
            &receiver, [&](const QByteArray& address) { answer = address; }, retryFailure))
        return *known;
    if (!QTest::qWaitFor([&] { return answer.has_value(); }, 20000))
        return "no answer";
    return *answer;
}

} // namespace

class TestAddresses : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lanAddressIsAnIPv4Address();
    void fetch_data();
    void fetch();
    void oneFetchServesEveryWaiterAndIsCached();
    void failureIsRememberedThenRetried();
};

void TestAddresses::lanAddressIsAnIPv4Address()
{
    QByteArray text = "untouched";
    const int result = GetLanIP(text);
    if (result != 0) {
        QCOMPARE(text, QByteArray("untouched"));
        QSKIP("this machine has no IPv4 address for its host name nor an interface that is up");
    }
    QHostAddress address;
    QVERIFY2(address.setAddress(QString::fromLatin1(text)), text);
    QCOMPARE(address.protocol(), QAbstractSocket::IPv4Protocol);
}

void TestAddresses::fetch_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QByteArrayList>("lines");
    const QByteArrayList unable = {"Unable to get your Internet IP address."};
    QTest::newRow("plain address") << QByteArray("200 OK") << QByteArray("203.0.113.7") << QByteArray("203.0.113.7")
                                   << QByteArrayList{"Your Internet IP address: 203.0.113.7"};
    QTest::newRow("white space trimmed") << QByteArray("200 OK") << QByteArray(" 198.51.100.1\r\n")
                                         << QByteArray("198.51.100.1")
                                         << QByteArrayList{"Your Internet IP address: 198.51.100.1"};
    QTest::newRow("garbage") << QByteArray("200 OK") << QByteArray("<html>hello</html>") << QByteArray() << unable;
    QTest::newRow("reply injection") << QByteArray("200 OK") << QByteArray("1.2.3.4\r\n200 OK") << QByteArray()
                                     << unable;
    QTest::newRow("IPv6") << QByteArray("200 OK") << QByteArray("2001:db8::1") << QByteArray() << unable;
    QTest::newRow("short form") << QByteArray("200 OK") << QByteArray("127.1") << QByteArray() << unable;
    QTest::newRow("not found") << QByteArray("404 Not Found") << QByteArray("no") << QByteArray() << unable;
    QTest::newRow("server error") << QByteArray("500 Internal Server Error") << QByteArray("x") << QByteArray()
                                  << QByteArrayList{"Unable to get your Internet IP address. Error code: 00000191"};
}

void TestAddresses::fetch()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArrayList, lines);
    HttpStub stub(status, body);
    CaptureSink sink;
    CServerMonitor monitor(&sink);
    CInternetAddress internet(monitor, stub.Url());
    QCOMPARE(LookUp(internet), expected);
    QCOMPARE(sink.Lines(), lines);
    QCOMPARE(internet.Cached(), expected);
    QVERIFY(!QFile::exists("server_result.txt"));
}

void TestAddresses::oneFetchServesEveryWaiterAndIsCached()
{
    HttpStub stub("200 OK", "192.0.2.44");
    CaptureSink sink;
    CServerMonitor monitor(&sink);
    CInternetAddress internet(monitor, stub.Url());

    // Callers on other threads, all asking before the fetch ends: one fetch, each gets the address
    // on its own thread; one that cancels gets nothing.
    QThread other;
    other.start();
    QObject receivers[3];
    for (QObject& receiver : receivers)
        receiver.moveToThread(&other);
    std::atomic<int> right{0};
    std::atomic<int> cancelledCalls{0};
    for (int i = 0; i < 3; ++i) {
        QVERIFY(!internet.Lookup(&receivers[i], [&, i](const QByteArray& address) {
            if (QThread::currentThread() != receivers[i].thread())
                return;
            if (i == 2)
                ++cancelledCalls;
            else if (address == "192.0.2.44")
                ++right;
        }));
    }
    internet.Cancel(&receivers[2]);
    QTRY_COMPARE_WITH_TIMEOUT(right.load(), 2, 20000);
    other.quit();
    other.wait();
    QCOMPARE(cancelledCalls.load(), 0);
    QCOMPARE(stub.Requests(), 1);
    QCOMPARE(LookUp(internet), QByteArray("192.0.2.44"));
    QCOMPARE(stub.Requests(), 1);
    QCOMPARE(sink.Lines(), QByteArrayList{"Your Internet IP address: 192.0.2.44"});
}

void TestAddresses::failureIsRememberedThenRetried()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    CaptureSink sink;
    CServerMonitor monitor(&sink);
    CInternetAddress internet(monitor, QStringLiteral("http://127.0.0.1:%1/").arg(closedPort));
    QCOMPARE(LookUp(internet), QByteArray());
    const QByteArrayList failure = {"Connection error. Unable to get your Internet IP address.\r\n"
                                    "Please check your Internet connection and firewall."};
    QCOMPARE(sink.Lines(), failure);
    QCOMPARE(sink.Pieces().first().backColor, MakeRgb(203, 69, 69));

    // Remembered: the answer comes at once, with no new fetch and no new line.
    HttpStub stub("200 OK", "192.0.2.45");
    internet.SetServiceUrl(stub.Url());
    QObject receiver;
    QCOMPARE(internet.Lookup(&receiver, [](const QByteArray&) {}), std::optional<QByteArray>(QByteArray()));
    QCOMPARE(sink.Lines(), failure);
    QCOMPARE(stub.Requests(), 0);

    // The user's own request tries again at once; so does anyone once the memory has passed.
    QCOMPARE(LookUp(internet, true), QByteArray("192.0.2.45"));
    QCOMPARE(stub.Requests(), 1);
    CInternetAddress forgetful(monitor, QStringLiteral("http://127.0.0.1:%1/").arg(closedPort));
    forgetful.SetTimings(CInternetAddress::kFetchTimeoutMs, 0);
    QCOMPARE(LookUp(forgetful), QByteArray());
    forgetful.SetServiceUrl(stub.Url());
    QCOMPARE(LookUp(forgetful), QByteArray("192.0.2.45"));
}

QTEST_GUILESS_MAIN(TestAddresses)
#include "tst_addresses.moc"
