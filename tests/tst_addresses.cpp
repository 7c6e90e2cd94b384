// Catches: bad public addresses taken, lookups doubled or misdelivered, failures forgotten, remote PASV out of order

#include "FtpClient.h"
#include "TestServer.h"

#include "core/InternetAddress.h"
#include "core/LanAddress.h"

#include <QHostAddress>
#include <QtTest>

#include <poll.h>
#include <sys/socket.h>

namespace {

const QByteArray kConnectionError = "Connection error. Unable to get your Internet IP address.\r\n"
                                    "Please check your Internet connection and firewall.";

// Takes one HTTP request on the listening service and answers it.
bool Answer(int service, const QByteArray& status, const QByteArray& body)
{
    const int fd = DataSocket::Accept(service);
    QByteArray request;
    char chunk[1024];
    pollfd ready = {fd, POLLIN, 0};
    while (fd >= 0 && !request.contains("\r\n\r\n") && ::poll(&ready, 1, 10000) == 1) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        request.append(chunk, n);
    }
    const bool answered =
        request.contains("\r\n\r\n") &&
        DataSocket::WriteAll(fd, "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                                     "\r\nConnection: close\r\n\r\n" + body);
    DataSocket::Close(fd);
    return answered;
}

QString Url(quint16 port)
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port);
}

} // namespace

class TestAddresses : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void lanAddressIsIPv4();
    void ownerOfThePublicAddress();
    void remotePassiveWaitsForThePublicAddress();
};

void TestAddresses::lanAddressIsIPv4()
{
    QByteArray text;
    if (GetLanIP(text) != 0)
        QSKIP("this machine has no IPv4 address for its host name nor an interface that is up");
    QHostAddress address;
    QVERIFY2(address.setAddress(QString::fromLatin1(text)) && address.protocol() == QAbstractSocket::IPv4Protocol,
             text);
}

void TestAddresses::ownerOfThePublicAddress()
{
    TestServer server(TestValues());
    quint16 port = 0;
    DataSocket::Close(DataSocket::Listen(&port)); // nobody listens there now
    CInternetAddress& internet = server.InternetAddress();
    internet.SetServiceUrl(Url(port));
    QObject receiver, cancelled;
    std::optional<QByteArray> answer;
    bool cancelledCalled = false;
    // Answered on the receiver's thread (this one), never on the owner's.
    const auto lookUp = [&](bool retry) {
        answer.reset();
        const auto done = [&](const QByteArray& a) {
            answer = QThread::currentThread() == receiver.thread() ? a : "?";
        };
        return internet.Lookup(&receiver, done, retry);
    };
    // A failure forgotten at once is fetched again; a remembered one answers at once, without a fetch.
    internet.SetTimings(CInternetAddress::kFetchTimeoutMs, 0);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(!lookUp(false) && QTest::qWaitFor([&] { return answer.has_value(); }, 20000) && answer->isEmpty());
        internet.SetTimings(CInternetAddress::kFetchTimeoutMs, CInternetAddress::kFailureMemoryMs);
    }
    QCOMPARE(lookUp(false), std::optional<QByteArray>(QByteArray()));
    QCOMPARE(server.Monitor().CountLines(kConnectionError), 2);

    // The user's own request tries again at once; only a plain IPv4 address is taken.
    const int service = DataSocket::Listen(&port);
    internet.SetServiceUrl(Url(port));
    const char* unable = "Unable to get your Internet IP address.";
    const char* rows[][4] = {
        {"500 Internal Server Error", "x", "", "Unable to get your Internet IP address. Error code: 00000191"},
        {"404 Not Found", "1.2.3.4", "", unable},
        {"200 OK", "<html>hello</html>", "", unable},
        {"200 OK", "1.2.3.4\r\n200 OK", "", unable}, // a reply injected into PASV
        {"200 OK", "2001:db8::1", "", unable},
        {"200 OK", "127.1", "", unable},
        {"200 OK", " 198.51.100.1\r\n", "198.51.100.1", "Your Internet IP address: 198.51.100.1"}};
    for (const auto& [status, body, address, line] : rows) {
        QVERIFY2(!lookUp(true), body);
        // One fetch for every caller, and no answer for one that cancelled.
        QVERIFY(!internet.Lookup(
            &cancelled, [&](const QByteArray&) { cancelledCalled = true; }, true));
        internet.Cancel(&cancelled);
        QVERIFY2(Answer(service, status, body) && DataSocket::Accept(service, 100) < 0, body);
        QVERIFY2(QTest::qWaitFor([&] { return answer.has_value(); }, 20000) && *answer == address, body);
        QVERIFY2(server.Monitor().Lines().last() == line && !cancelledCalled, body);
    }
    QCOMPARE(internet.Cached(), QByteArray("198.51.100.1"));
    QCOMPARE(internet.Lookup(&receiver, [](const QByteArray&) {}), std::optional<QByteArray>("198.51.100.1"));
    QVERIFY(!QFile::exists("server_result.txt"));
    DataSocket::Close(service);
}

void TestAddresses::remotePassiveWaitsForThePublicAddress()
{
    for (const bool serviceAnswers : {true, false}) {
        TestServer server(TestValues());
        quint16 servicePort = 0;
        const int service = DataSocket::Listen(&servicePort);
        server.InternetAddress().SetServiceUrl(Url(servicePort));
        server.InternetAddress().SetTimings(2000, CInternetAddress::kFailureMemoryMs);
        const QByteArray reply =
            serviceAnswers ? "227 Entering Passive Mode (203,0,113,9," : "421 Error retrieving PASV IP address.";
        const QByteArray line = serviceAnswers ? "Your Internet IP address: 203.0.113.9" : kConnectionError;
        // Clients bound to 127.1.0.x are not on the server's network: PASV announces the public address.
        FtpClient local, remote, other, later;
        QVERIFY(local.Login(server.Port()));
        QVERIFY(remote.Login(server.Port(), "tester", "Secret", "127.1.0.1"));
        QVERIFY(other.Login(server.Port(), "tester", "Secret", "127.1.0.2"));
        QVERIFY(remote.SendLine("PASV") && remote.NoReplyWithin(300));
        QVERIFY(remote.SendRaw("PASV\r\nNOOP\r\n") && other.SendLine("PASV"));
        QVERIFY(local.Command("PASV").startsWith("227 Entering Passive Mode (127,0,0,1,")); // not held up
        QVERIFY(!serviceAnswers || Answer(service, "200 OK", "203.0.113.9"));
        // In command order, and one lookup for everybody.
        QVERIFY2(remote.ReadReply().startsWith(reply), reply);
        QVERIFY(remote.ReadReply().startsWith(reply));
        QCOMPARE(remote.ReadReply(), QByteArray("200 OK"));
        QVERIFY(other.ReadReply().startsWith(reply));
        // Known now, address or failure: a later remote client is answered at once.
        QVERIFY(later.Login(server.Port(), "tester", "Secret", "127.1.0.3"));
        QVERIFY(later.Command("PASV", 1000).startsWith(reply));
        QCOMPARE(server.Monitor().CountLines(line), 1);
        DataSocket::Close(service);
    }
}

QTEST_GUILESS_MAIN(TestAddresses)
#include "tst_addresses.moc"
