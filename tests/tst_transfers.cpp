// Data connections and transfers over real sockets against the real engine.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QtTest>

#include "core/InternetAddress.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray PortArgumentFor(quint16 port)
{
    return "127,0,0,1," + QByteArray::number(port / 256) + ',' + QByteArray::number(port % 256);
}

// The port a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" or "229 ... (|||port|)" reply names;
// 0 if it names none.
int PassivePortOf(const QByteArray& reply)
{
    if (reply.startsWith("229 "))
        return reply.mid(reply.indexOf("|||") + 3).chopped(2).toInt();
    const QByteArrayList fields = reply.mid(reply.indexOf('(') + 1).chopped(1).split(',');
    return fields.size() == 6 ? fields[4].toInt() * 256 + fields[5].toInt() : 0;
}

// Reads an HTTP request up to its blank line; false when none came in time.
bool ReadHttpRequest(int fd)
{
    QByteArray request;
    while (!request.contains("\r\n\r\n")) {
        pollfd ready = {fd, POLLIN, 0};
        char buffer[1024];
        const ssize_t got = ::poll(&ready, 1, 10000) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
        if (got <= 0)
            return false;
        request.append(buffer, got);
    }
    return true;
}

} // namespace

class TestTransfers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void roundTrip_data();
    void roundTrip();
    void listOverTheDataConnection();
    void uploadSentBeforeStorIsKept();
    void activeConnectFails_data();
    void activeConnectFails();
    void passiveTwiceServesOnlyTheSecond();
    void clientDropsTheDataConnection_data();
    void clientDropsTheDataConnection();
    void abor_data();
    void abor();
    void passivePortTurnsAwayOtherHosts();
    void epsvAndPassivePortRange();
    void failureReplies_data();
    void failureReplies();
    void passivePortNobodyConnectsTo();
    void dataWaitCancelled_data();
    void dataWaitCancelled();
    void remotePassiveWaitsForThePublicAddress_data();
    void remotePassiveWaitsForThePublicAddress();
    void fileOverFourGiB();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<TestServer> m_server;
    FtpClient m_client;
};

void TestTransfers::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<TestServer>(TestValues(QFile::encodeName(m_root->path())));
    m_server->Settings().SetDurations({.DataWaitMs = 1500}); // the product waits 10 s
    QVERIFY(m_client.Login(m_server->Port()));
}

void TestTransfers::cleanup()
{
    m_client.Close();
    m_server.reset();
    m_root.reset();
}

void TestTransfers::roundTrip_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<bool>("passive");
    for (qsizetype size : {0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 7}) {
        QTest::addRow("passive %lld", qlonglong(size)) << size << true;
        QTest::addRow("active %lld", qlonglong(size)) << size << false;
    }
}

void TestTransfers::roundTrip()
{
    QFETCH(qsizetype, size);
    QFETCH(bool, passive);
    const QByteArray data = Pattern(size);
    // Upload, over a larger file it replaces whole.
    QVERIFY(WriteFile(m_root->filePath("Up.bin"), Pattern(size + 100000, 3)));
    int data1 = -1, listener = -1;
    quint16 port = 0;
    if (passive) {
        data1 = m_client.OpenPassive();
        QVERIFY(data1 >= 0);
    } else {
        listener = DataSocket::Listen(&port);
        QCOMPARE(m_client.Command("PORT " + PortArgumentFor(port)), QByteArray("200 PORT command OK."));
    }
    QCOMPARE(m_client.Command("STOR Up.bin"), QByteArray("150 Binary mode."));
    if (!passive)
        data1 = DataSocket::Accept(listener);
    QVERIFY(data1 >= 0);
    QVERIFY(DataSocket::WriteAll(data1, data));
    DataSocket::Close(data1);
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    QCOMPARE(ReadFile(m_root->filePath("Up.bin")), data);

    // Download.
    int data2 = -1;
    if (passive) {
        data2 = m_client.OpenPassive();
    } else {
        QCOMPARE(m_client.Command("PORT " + PortArgumentFor(port)), QByteArray("200 PORT command OK."));
    }
    QCOMPARE(m_client.Command("RETR up.bin"), QByteArray("150 Binary mode."));
    if (!passive)
        data2 = DataSocket::Accept(listener);
    QVERIFY(data2 >= 0);
    const QByteArray received = DataSocket::ReadAll(data2);
    DataSocket::Close(data2);
    DataSocket::Close(listener);
    QCOMPARE(received.size(), data.size());
    QVERIFY(received == data);
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    QCOMPARE(m_client.Command("SIZE up.bin"), "213 " + QByteArray::number(size));
}

void TestTransfers::listOverTheDataConnection()
{
    QVERIFY(WriteFile(m_root->filePath("b.txt"), "12345"));
    QVERIFY(QDir(m_root->path()).mkdir("Alpha"));
    const int data = m_client.OpenPassive();
    QCOMPARE(m_client.Command("LIST -la"), QByteArray("150 ASCII mode."));
    const QByteArray listing = DataSocket::ReadAll(data);
    DataSocket::Close(data);
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    const QByteArrayList lines = listing.split('\n');
    QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last LF
    QVERIFY2(lines[0].startsWith("drwx------ 1 user group ") && lines[0].endsWith(" Alpha\r"), lines[0]);
    QVERIFY2(lines[1].startsWith("-rwx------ 1 user group              5 ") && lines[1].endsWith(" b.txt\r"), lines[1]);

    // An empty folder: the data connection opens and closes without data.
    QCOMPARE(m_client.Command("CWD Alpha"), QByteArray("250 \"/alpha\" --> Current folder."));
    const int empty = m_client.OpenPassive();
    QCOMPARE(m_client.Command("LIST"), QByteArray("150 ASCII mode."));
    QCOMPARE(DataSocket::ReadAll(empty), QByteArray());
    DataSocket::Close(empty);
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
}

void TestTransfers::uploadSentBeforeStorIsKept()
{
    // The client connects, sends everything and closes before the server has opened the file.
    const QByteArray payload = Pattern(200000);
    const int data = m_client.OpenPassive();
    QVERIFY(DataSocket::WriteAll(data, payload));
    DataSocket::Close(data);
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
    QCOMPARE(m_client.Command("STOR early.bin"), QByteArray("150 Binary mode."));
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    QCOMPARE(ReadFile(m_root->filePath("early.bin")), payload);

    // An empty upload whose end came first.
    const int none = m_client.OpenPassive();
    DataSocket::Close(none);
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
    QCOMPARE(m_client.Command("STOR empty.bin"), QByteArray("150 Binary mode."));
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    QVERIFY(QFileInfo::exists(m_root->filePath("empty.bin")));
}

void TestTransfers::activeConnectFails_data()
{
    QTest::addColumn<bool>("servedFirst"); // a first download over the PORT address succeeds
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("second transfer needs a new PORT") << true << QByteArray("425 The connection could not be opened.");
    QTest::newRow("nobody listens") << false << QByteArray("425 Cannot open connection.");
}

void TestTransfers::activeConnectFails()
{
    QFETCH(bool, servedFirst);
    QFETCH(QByteArray, reply);
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    quint16 port = 0;
    int listener = DataSocket::Listen(&port);
    if (!servedFirst) {
        DataSocket::Close(listener); // nobody listens there now
        listener = -1;
    }
    QCOMPARE(m_client.Command("PORT " + PortArgumentFor(port)), QByteArray("200 PORT command OK."));
    if (servedFirst) {
        QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
        const int data = DataSocket::Accept(listener);
        QCOMPARE(DataSocket::ReadAll(data), QByteArray("abc"));
        DataSocket::Close(data);
        QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    }
    QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    QCOMPARE(m_client.ReadReply(), reply);
    DataSocket::Close(listener);
    QVERIFY(m_client.NoReplyWithin(300));
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
}

void TestTransfers::passiveTwiceServesOnlyTheSecond()
{
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    QByteArray first;
    const int stale = m_client.OpenPassive(&first);
    QVERIFY(stale >= 0);
    const int fresh = m_client.OpenPassive();
    QVERIFY(fresh >= 0);
    QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    QCOMPARE(DataSocket::ReadAll(fresh), QByteArray("abc"));
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    QCOMPARE(DataSocket::ReadAll(stale, 2000), QByteArray()); // closed by the second PASV
    DataSocket::Close(stale);
    DataSocket::Close(fresh);
}

void TestTransfers::clientDropsTheDataConnection_data()
{
    QTest::addColumn<QByteArray>("command"); // sent before the client drops its data connection
    QTest::addColumn<QByteArray>("reply");   // the reply to the drop
    QTest::newRow("mid-download") << QByteArray("RETR big.bin") << QByteArray("426 Connection closed.");
    // Clients close it after a refused command; a reply then would answer their next command.
    QTest::newRow("no transfer running") << QByteArray("NLST") << QByteArray();
}

void TestTransfers::clientDropsTheDataConnection()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QVERIFY(WriteFile(m_root->filePath("big.bin"), Pattern(32 * 1024 * 1024)));
    const int data = m_client.OpenPassive();
    if (reply.isEmpty()) {
        QCOMPARE(m_client.Command(command), QByteArray("502 Unknown command."));
    } else {
        QCOMPARE(m_client.Command(command), QByteArray("150 Binary mode."));
        char some[1000];
        QVERIFY(::recv(data, some, sizeof some, MSG_WAITALL) == sizeof some);
        linger hard = {1, 0};
        ::setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    DataSocket::Close(data);
    if (!reply.isEmpty())
        QCOMPARE(m_client.ReadReply(), reply);
    QVERIFY(m_client.NoReplyWithin(300));
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
    QCOMPARE(m_client.Command("PWD"), QByteArray("257 \"/\" --> Current folder."));
    // A listing over the dropped connection is cut short; a new one serves it.
    QCOMPARE(m_client.Command("LIST"), QByteArray("150 ASCII mode."));
    QCOMPARE(m_client.ReadReply(),
             QByteArray(reply.isEmpty() ? "426 Connection closed." : "425 The connection could not be opened."));
}

void TestTransfers::abor_data()
{
    QTest::addColumn<int>("situation");
    QTest::addColumn<QByteArray>("abort");
    const QByteArray telnet = "\xff\xf4\xff\xf2"
                              "ABOR";
    QTest::newRow("no data connection") << 0 << QByteArray("ABOR");
    QTest::newRow("idle passive connection") << 1 << QByteArray("ABOR");
    QTest::newRow("mid-download") << 2 << telnet;
    QTest::newRow("mid-download, bare ABOR") << 2 << QByteArray("ABOR");
    // Nobody connects to the passive port: RETR waits, and ABOR is run inside that wait.
    QTest::newRow("during the data wait") << 3 << QByteArray("ABOR");
}

void TestTransfers::abor()
{
    QFETCH(int, situation);
    QFETCH(QByteArray, abort);
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    QVERIFY(WriteFile(m_root->filePath("big.bin"), Pattern(32 * 1024 * 1024)));
    int data = -1;
    if (situation == 1 || situation == 2)
        data = m_client.OpenPassive();
    if (situation == 3)
        QVERIFY(m_client.Command("PASV").startsWith("227 "));
    if (situation >= 2) {
        QCOMPARE(m_client.Command(situation == 2 ? "RETR big.bin" : "RETR a.txt"), QByteArray("150 Binary mode."));
        char some[4096];
        if (situation == 2)
            QVERIFY(::recv(data, some, sizeof some, MSG_WAITALL) == sizeof some); // the transfer runs
        QCOMPARE(m_client.Command(abort), QByteArray("426 Connection closed."));
        QCOMPARE(m_client.ReadReply(), QByteArray("226 ABOR command OK."));
    } else {
        QCOMPARE(m_client.Command(abort), QByteArray("226 ABOR command OK."));
    }
    DataSocket::Close(data);
    // A new passive connection that becomes ready to send carries nothing and causes no reply (and
    // a data wait ended with its connection: no 421 later); the next download is served.
    data = m_client.OpenPassive();
    QVERIFY(data >= 0);
    QVERIFY(m_client.NoReplyWithin(500));
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
    QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    QCOMPARE(DataSocket::ReadAll(data), QByteArray("abc"));
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    DataSocket::Close(data);
}

void TestTransfers::passivePortTurnsAwayOtherHosts()
{
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    // A passive port, approached first by another host.
    const quint16 port = quint16(PassivePortOf(m_client.Command("PASV")));
    QVERIFY(port != 0);
    const int thief = DataSocket::Connect(port, "127.0.0.2");
    QVERIFY(thief >= 0);
    QCOMPARE(DataSocket::ReadAll(thief, 5000), QByteArray()); // closed at once, nothing sent
    DataSocket::Close(thief);
    const int data = DataSocket::Connect(port);
    QVERIFY(data >= 0);
    QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    QCOMPARE(DataSocket::ReadAll(data), QByteArray("abc"));
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    DataSocket::Close(data);
}

void TestTransfers::epsvAndPassivePortRange()
{
    const QByteArray reply = m_client.Command("EPSV");
    QVERIFY2(reply.startsWith("229 Entering Extended Passive Mode (|||") && reply.endsWith("|)"), reply);
    const int port = reply.mid(39, reply.size() - 41).toInt();
    QVERIFY2(port >= 50000 && port <= 58000, reply);

    const QByteArray pasv = m_client.Command("PASV");
    QVERIFY2(pasv.startsWith("227 Entering Passive Mode (127,0,0,1,"), pasv);
    const int passivePort = PassivePortOf(pasv);
    QVERIFY2(passivePort >= 50000 && passivePort <= 58000, pasv);
}

void TestTransfers::failureReplies_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("permissions"); // bit 0 download, bit 1 upload, bit 2 delete
    QTest::addColumn<QByteArrayList>("replies");
    const QByteArrayList notFound = {"550 File not found."};
    QTest::newRow("RETR missing") << QByteArray("RETR none.txt") << 7 << notFound;
    QTest::newRow("RETR folder") << QByteArray("RETR Sub") << 7 << notFound;
    QTest::newRow("RETR no permission") << QByteArray("RETR a.txt") << 6 << QByteArrayList{"550 Not allowed."};
    QTest::newRow("STOR missing folder") << QByteArray("STOR none/x.txt") << 7
                                         << QByteArrayList{"550 Invalid filename."};
    QTest::newRow("STOR no permission") << QByteArray("STOR x.txt") << 5 << QByteArrayList{"550 Not allowed."};
    QTest::newRow("STOR over a file without delete")
        << QByteArray("STOR a.txt") << 3 << QByteArrayList{"550 Not allowed."};
    QTest::newRow("LIST without browse") << QByteArray("LIST") << 4 << QByteArrayList{"550 \"\": Not allowed."};
    QTest::newRow("STOR onto a folder") << QByteArray("STOR Sub") << 7
                                        << QByteArrayList{"150 Binary mode.", "450 File access error."};
}

void TestTransfers::failureReplies()
{
    QFETCH(QByteArray, command);
    QFETCH(int, permissions);
    QFETCH(QByteArrayList, replies);
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    QVERIFY(QDir(m_root->path()).mkdir("Sub"));
    m_server->Settings().Update([permissions](CSettings::Values& v) {
        v.AllowDownloadFiles = permissions & 1;
        v.AllowUploadFiles = (permissions >> 1) & 1;
        v.AllowDeleteFiles = (permissions >> 2) & 1;
    });
    const int data = m_client.OpenPassive();
    QVERIFY(m_client.SendLine(command));
    for (const QByteArray& reply : replies)
        QCOMPARE(m_client.ReadReply(), reply);
    QVERIFY(m_client.NoReplyWithin(300));
    DataSocket::Close(data);
    QCOMPARE(ReadFile(m_root->filePath("a.txt")), QByteArray("abc"));
}

void TestTransfers::passivePortNobodyConnectsTo()
{
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    QVERIFY(m_client.Command("PASV").startsWith("227 "));
    QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    // Meanwhile the client is served.
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
    QCOMPARE(m_client.ReadReply(15000), QByteArray("421 The socket could not be created."));
    QCOMPARE(m_client.Command("NOOP"), QByteArray("200 OK"));
}

void TestTransfers::dataWaitCancelled_data()
{
    QTest::addColumn<QByteArray>("cancel"); // what the client sends while RETR waits; empty: the server stops
    QTest::newRow("PASV") << QByteArray("PASV");
    QTest::newRow("EPSV") << QByteArray("EPSV");
    QTest::newRow("another RETR") << QByteArray("RETR b.txt");
    QTest::newRow("QUIT") << QByteArray("QUIT");
    QTest::newRow("server stop") << QByteArray();
}

void TestTransfers::dataWaitCancelled()
{
    QFETCH(QByteArray, cancel);
    m_server->Settings().SetDurations({.DataWaitMs = 300});
    QVERIFY(WriteFile(m_root->filePath("a.txt"), "abc"));
    QVERIFY(WriteFile(m_root->filePath("b.txt"), "bcd"));
    const QByteArray passive = m_client.Command("PASV");
    QCOMPARE(m_client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    if (cancel.isEmpty() || cancel == "QUIT") {
        if (cancel.isEmpty())
            m_server->Stop();
        else
            QVERIFY(m_client.Command(cancel).startsWith("221 "));
        QVERIFY(m_client.WaitForClose());
        QVERIFY(m_server->WaitUntilIdle());
        return;
    }
    // The new command takes over: the waiting RETR is gone without a reply, the next one is served.
    const QByteArray reply = m_client.Command(cancel);
    const int data = DataSocket::Connect(quint16(PassivePortOf(cancel.startsWith("RETR") ? passive : reply)));
    QVERIFY(data >= 0);
    if (!cancel.startsWith("RETR")) {
        QVERIFY(reply.startsWith(cancel == "PASV" ? "227 " : "229 "));
        QCOMPARE(m_client.Command("RETR b.txt"), QByteArray("150 Binary mode."));
    } else {
        QCOMPARE(reply, QByteArray("150 Binary mode."));
    }
    QCOMPARE(DataSocket::ReadAll(data), QByteArray("bcd"));
    QCOMPARE(m_client.ReadReply(), QByteArray("226 Transfer completed."));
    DataSocket::Close(data);
    // Nothing is left of the cancelled wait: no 421 when its time would have come.
    QVERIFY(m_client.NoReplyWithin(800));
}

void TestTransfers::remotePassiveWaitsForThePublicAddress_data()
{
    QTest::addColumn<bool>("serviceAnswers");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("monitorLine");
    QTest::newRow("late answer") << true << QByteArray("227 Entering Passive Mode (203,0,113,9,")
                                 << QByteArray("Your Internet IP address: 203.0.113.9");
    QTest::newRow("no answer") << false << QByteArray("421 Error retrieving PASV IP address.")
                               << QByteArray("Connection error. Unable to get your Internet IP address.\r\n"
                                             "Please check your Internet connection and firewall.");
}

void TestTransfers::remotePassiveWaitsForThePublicAddress()
{
    QFETCH(bool, serviceAnswers);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, monitorLine);
    // The address service: it takes the request, then answers when the test says so, or never.
    quint16 servicePort = 0;
    const int service = DataSocket::Listen(&servicePort);
    QVERIFY(service >= 0);
    m_server->InternetAddress().SetServiceUrl(QStringLiteral("http://127.0.0.1:%1/").arg(servicePort));
    m_server->InternetAddress().SetTimings(2000, CInternetAddress::kFailureMemoryMs);

    // Clients bound to 127.1.0.x are not on the server's network: PASV announces the public address.
    FtpClient remote, other, later;
    const quint16 port = m_server->Port();
    QVERIFY(remote.Login(port, "tester", "Secret", "127.1.0.1"));
    QVERIFY(other.Login(port, "tester", "Secret", "127.1.0.2"));
    QVERIFY(remote.SendLine("PASV"));
    QVERIFY(remote.NoReplyWithin(300));
    QVERIFY(remote.SendRaw("PASV\r\nNOOP\r\n"));
    QVERIFY(other.SendLine("PASV"));
    QVERIFY(m_client.Command("PASV").startsWith("227 Entering Passive Mode (127,0,0,1,")); // not held up
    if (serviceAnswers) {
        const int request = DataSocket::Accept(service);
        QVERIFY(ReadHttpRequest(request));
        QVERIFY(DataSocket::WriteAll(request, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n203.0.113.9"));
        DataSocket::Close(request);
    }
    // In command order, and one lookup for everybody.
    QVERIFY2(remote.ReadReply().startsWith(reply), reply);
    QVERIFY(remote.ReadReply().startsWith(reply));
    QCOMPARE(remote.ReadReply(), QByteArray("200 OK"));
    QVERIFY(other.ReadReply().startsWith(reply));
    QCOMPARE(m_server->Monitor().CountLines(monitorLine), 1);
    // Known now, address or failure: a later remote client is answered at once.
    QVERIFY(later.Login(port, "tester", "Secret", "127.1.0.3"));
    QVERIFY(later.Command("PASV", 1000).startsWith(reply));
    QCOMPARE(m_server->Monitor().CountLines(monitorLine), 1);

    m_server->Stop();
    for (FtpClient* client : {&remote, &other, &later})
        QVERIFY(client->WaitForClose());
    QVERIFY(m_server->WaitUntilIdle());
    DataSocket::Close(service);
}

void TestTransfers::fileOverFourGiB()
{
    const qint64 size = (qint64(4) << 30) + 4097;
    const QByteArray path = QFile::encodeName(m_root->filePath("huge.bin"));
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0);
    QVERIFY(::pwrite(fd, "end", 3, size - 3) == 3); // sparse: costs no disk
    ::close(fd);
    QCOMPARE(m_client.Command("SIZE huge.bin"), "213 " + QByteArray::number(size));

    const int data = m_client.OpenPassive();
    QCOMPARE(m_client.Command("RETR huge.bin"), QByteArray("150 Binary mode."));
    qint64 received = 0;
    QByteArray tail;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::recv(data, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        received += n;
        tail = n >= 3 ? QByteArray(chunk + n - 3, 3) : (tail + QByteArray(chunk, n)).right(3);
    }
    DataSocket::Close(data);
    QCOMPARE(received, size);
    QCOMPARE(tail, QByteArray("end"));
    QCOMPARE(m_client.ReadReply(60000), QByteArray("226 Transfer completed."));
}

QTEST_GUILESS_MAIN(TestTransfers)
#include "tst_transfers.moc"
