// Catches: non-IPv4 LAN or public addresses, lookups doubled or misdelivered, failures kept or retried, PASV order

#include "FtpClient.h"
#include "TestServer.h"

#include "core/InternetAddress.h"
#include "core/LanAddress.h"
#include "server/FtpServer.h"

#include <QHostAddress>
#include <QtTest>

#include <sys/socket.h>

// Takes one HTTP request on the listening service and answers it.
static bool Answer(int service, const QByteArray& status, const QByteArray& body)
{
    const int fd = DataSocket::Accept(service);
    QByteArray request;
    char chunk[1024];
    for (ssize_t n; !request.contains("\r\n\r\n") && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
        request.append(chunk, n);
    const QByteArray length = QByteArray::number(body.size());
    const bool answered = request.contains("\r\n\r\n") &&
                          DataSocket::WriteAll(fd, "HTTP/1.1 " + status + "\r\nContent-Length: " + length +
                                                       "\r\nConnection: close\r\n\r\n" + body);
    DataSocket::Close(fd);
    return answered;
}

class TestAddresses : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void addresses();
};

void TestAddresses::addresses()
{
    QByteArray lan; // this machine's address on its network, when it has one
    QVERIFY2(GetLanIP(lan) != 0 || QHostAddress(QString::fromLatin1(lan)).protocol() == QAbstractSocket::IPv4Protocol,
             lan);
    TestServer server(TestValues());
    CInternetAddress& internet = server.Engine().InternetAddress();
    quint16 port = 0;
    const int service = DataSocket::Listen(&port);
    internet.SetServiceUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
    // PASV off the server's network (127.1.0.x) waits in order for one public-address lookup; a failure is remembered.
    FtpClient local, remote, other;
    QVERIFY(local.Login(server.Port()) && remote.Login(server.Port(), "tester", "Secret", "127.1.0.1") &&
            other.Login(server.Port(), "tester", "Secret", "127.1.0.2"));
    QVERIFY(remote.SendRaw("PASV\r\nPASV\r\nNOOP\r\n") && other.SendLine("PASV") && remote.ReadReply(300).isEmpty());
    QVERIFY(local.Command("PASV").startsWith("227 Entering Passive Mode (127,0,0,1,"));
    QVERIFY(Answer(service, "404 Not Found", "1.2.3.4"));
    CONVERSE(remote, "| 421 Error retrieving PASV IP address.\n| 421 Error retrieving PASV IP address.\n| 200 OK");
    CONVERSE(other, "| 421 Error retrieving PASV IP address.");
    QCOMPARE(server.Monitor().CountLines("Unable to get your Internet IP address."), 1);
    QObject receiver, cancelled;
    std::optional<QByteArray> answer;
    bool cancelledCalled = false;
    // Answered on the receiver's thread (this one), never on the owner's.
    const auto done = [&](const QByteArray& a) { answer = QThread::currentThread() == receiver.thread() ? a : "?"; };
    const auto answered = [&] { return QTest::qWaitFor([&] { return answer.has_value(); }, 20000); };
    // The user's own request tries again at once; a service that never answers is given up on in time.
    internet.SetTimings(300, 0);
    QVERIFY(!internet.Lookup(&receiver, done, true) && answered() && answer->isEmpty());
    DataSocket::Close(DataSocket::Accept(service));
    QCOMPARE(server.Monitor().Lines().last(), "Connection error. Unable to get your Internet IP address.\r\n"
                                              "Please check your Internet connection and firewall.");
    internet.SetTimings(CInternetAddress::kFetchTimeoutMs, 0);
    // Failures forgotten at once: only a plain IPv4 address is taken, one fetch serves all, and no one who cancelled.
    const char* rows[][4] = {
        {"500 Internal Server Error", "x", "", "Unable to get your Internet IP address. Error code: 00000191"},
        {"200 OK", "1.2.3.4\r\n200 OK", "", "Unable to get your Internet IP address."}, // a reply injected into PASV
        {"200 OK", "2001:db8::1", "", "Unable to get your Internet IP address."},
        {"200 OK", "127.1", "", "Unable to get your Internet IP address."},
        {"200 OK", " 198.51.100.1\r\n", "198.51.100.1", "Your Internet IP address: 198.51.100.1"}};
    for (const auto& [status, body, address, line] : rows) {
        answer.reset();
        QVERIFY2(!internet.Lookup(&receiver, done, false), body);
        QVERIFY(!internet.Lookup(
            &cancelled, [&](const QByteArray&) { cancelledCalled = true; }, true));
        internet.Cancel(&cancelled);
        QVERIFY2(Answer(service, status, body) && DataSocket::Accept(service, 100) < 0, body);
        QVERIFY2(answered() && *answer == address, body);
        QVERIFY2(server.Monitor().Lines().last() == line && !cancelledCalled, body);
    }
    // Known now: remote clients are answered with it at once, and nothing is written to a file.
    CONVERSE(other, "PASV | 227 Entering Passive Mode (198,51,100,1,*");
    QVERIFY(!QFile::exists("server_result.txt"));
    DataSocket::Close(service);
}

QTEST_GUILESS_MAIN(TestAddresses)
#include "tst_addresses.moc"
