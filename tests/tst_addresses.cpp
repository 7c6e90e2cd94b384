// The LAN address and the Internet address fetch, against a local HTTP server.

#include "panel/InternetAddress.h"
#include "panel/LanAddress.h"
#include "panel/ServerMonitor.h"
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

} // namespace

class TestAddresses : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lanAddressIsAnIPv4Address();
    void fetch_data();
    void fetch();
    void successIsCached();
    void unreachableServiceIsReportedAndRetried();
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
    QCOMPARE(internet.GetInternetIP(), expected);
    QCOMPARE(sink.Lines(), lines);
    QCOMPARE(internet.Cached(), expected);
    QVERIFY(!QFile::exists("server_result.txt"));
}

void TestAddresses::successIsCached()
{
    HttpStub stub("200 OK", "192.0.2.44");
    CaptureSink sink;
    CServerMonitor monitor(&sink);
    CInternetAddress internet(monitor, stub.Url());

    // Several threads at once: one fetch, every caller gets the address.
    std::atomic<int> right{0};
    QList<QThread*> threads;
    for (int i = 0; i < 4; ++i) {
        threads.append(QThread::create([&] {
            if (internet.GetInternetIP() == "192.0.2.44")
                ++right;
        }));
        threads.last()->start();
    }
    // Monitor writes from those threads are carried out on this one.
    for (QThread* thread : threads) {
        while (!thread->wait(10))
            QCoreApplication::processEvents();
        delete thread;
    }
    QCOMPARE(right.load(), 4);
    QCOMPARE(stub.Requests(), 1);
    QCOMPARE(internet.GetInternetIP(), QByteArray("192.0.2.44"));
    QCOMPARE(stub.Requests(), 1);
    QCOMPARE(sink.Lines(), QByteArrayList{"Your Internet IP address: 192.0.2.44"});
}

void TestAddresses::unreachableServiceIsReportedAndRetried()
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
    QCOMPARE(internet.GetInternetIP(), QByteArray());
    QCOMPARE(sink.Lines(), QByteArrayList{"Connection error. Unable to get your Internet IP address.\r\n"
                                          "Please check your Internet connection and firewall."});
    const auto pieces = sink.Pieces();
    QCOMPARE(pieces.first().backColor, MakeRgb(203, 69, 69));

    // With the service back, the next call fetches again.
    HttpStub stub("200 OK", "192.0.2.45");
    internet.SetServiceUrl(stub.Url());
    QCOMPARE(internet.GetInternetIP(), QByteArray("192.0.2.45"));
}

QTEST_GUILESS_MAIN(TestAddresses)
#include "tst_addresses.moc"
