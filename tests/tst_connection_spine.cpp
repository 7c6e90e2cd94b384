// The connection spine over real sockets: greeting, user limit, framing, idle time-out, ends.

#include "core/ServerMonitor.h"
#include "FtpClient.h"
#include "TestServer.h"

#include <QtTest>

#include <memory>
#include <vector>

class TestConnectionSpine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void greetingSendsWelcomeAsIs();
    void userLimit_data();
    void userLimit();
    void slotFreedWhenAClientLeaves();
    void commandSplitOverReadsAndTwoInOneRead();
    void emptyLineGetsNoReply();
    void overlongLineIsRefusedAndOthersGoOn();
    void idleClientIsTimedOut();
    void clientCloseLeavesTheList();
    void stopEndsEveryClient();
    void clientLinesFromManyThreadsStayWhole();
    void twoHundredClientsAtOnceAreAllGreeted();
    void portInUseIsReported();
};

void TestConnectionSpine::greetingSendsWelcomeAsIs()
{
    CSettings::Values values = TestValues();
    values.WelcomeMSG = "100% sure %s %d %n";
    TestServer server(values);
    FtpClient client;
    QCOMPARE(client.ConnectAndGreet(server.Port()), QByteArray("220 100% sure %s %d %n"));
    QVERIFY(server.Monitor().WaitForLine("User arrived: 127.0.0.1"));
}

void TestConnectionSpine::userLimit_data()
{
    QTest::addColumn<int>("maxUsers");
    QTest::newRow("0 refuses everyone") << 0;
    QTest::newRow("2 refuses the third") << 2;
}

void TestConnectionSpine::userLimit()
{
    QFETCH(int, maxUsers);
    CSettings::Values values = TestValues();
    values.MaxUsers = quint32(maxUsers);
    TestServer server(values);

    std::vector<std::unique_ptr<FtpClient>> admitted;
    for (int i = 0; i < maxUsers; ++i) {
        admitted.push_back(std::make_unique<FtpClient>());
        QVERIFY(admitted.back()->ConnectAndGreet(server.Port()).startsWith("220 "));
    }
    FtpClient refused;
    QCOMPARE(refused.ConnectAndGreet(server.Port()), QByteArray("421 No more users are allowed."));
    QVERIFY(refused.WaitForClose());
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectedUsers(), maxUsers, 20000);
    QCOMPARE(server.Monitor().CountLines("User arrived: 127.0.0.1"), maxUsers + 1);

    // The admitted clients are unaffected.
    for (auto& client : admitted)
        QCOMPARE(client->Command("NOOP"), QByteArray("530 Login to the server. Enter USER and PASS commands."));
    admitted.clear();
    QVERIFY(server.WaitUntilIdle());
}

void TestConnectionSpine::slotFreedWhenAClientLeaves()
{
    CSettings::Values values = TestValues();
    values.MaxUsers = 2;
    TestServer server(values);
    FtpClient first, second, third;
    QVERIFY(first.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(second.ConnectAndGreet(server.Port()).startsWith("220 "));
    QCOMPARE(third.ConnectAndGreet(server.Port()), QByteArray("421 No more users are allowed."));
    first.Close();
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectedUsers(), 1, 20000);
    QVERIFY(third.ConnectAndGreet(server.Port()).startsWith("220 "));
}

void TestConnectionSpine::commandSplitOverReadsAndTwoInOneRead()
{
    TestServer server(TestValues());
    FtpClient client;
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(client.SendRaw("US"));
    QVERIFY(client.NoReplyWithin(200));
    QVERIFY(client.SendRaw("ER tester\r"));
    QVERIFY(client.NoReplyWithin(200));
    QVERIFY(client.SendRaw("\n"));
    QCOMPARE(client.ReadReply(), QByteArray("331 Enter password."));
    QVERIFY(client.SendRaw("PASS Secret\r\nNOOP\r\n"));
    QCOMPARE(client.ReadReply(), QByteArray("230 Login OK."));
    QCOMPARE(client.ReadReply(), QByteArray("200 OK"));
    QVERIFY(server.Monitor().WaitForLine("User IN: 127.0.0.1"));
}

void TestConnectionSpine::emptyLineGetsNoReply()
{
    TestServer server(TestValues());
    FtpClient client;
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(client.SendRaw("\r\n\r\n"));
    QVERIFY(client.NoReplyWithin(300));
    QCOMPARE(client.Command("NOOP"), QByteArray("530 Login to the server. Enter USER and PASS commands."));
}

void TestConnectionSpine::overlongLineIsRefusedAndOthersGoOn()
{
    TestServer server(TestValues());
    FtpClient other, flooder;
    QVERIFY(other.Login(server.Port()));
    QVERIFY(flooder.ConnectAndGreet(server.Port()).startsWith("220 "));
    const QByteArray chunk(8192, 'A');
    bool sent = true;
    for (int i = 0; i < 9 && sent; ++i)
        sent = flooder.SendRaw(chunk);
    QCOMPARE(flooder.ReadReply(), QByteArray("500 Command line too long."));
    QVERIFY(flooder.WaitForClose());
    QCOMPARE(other.Command("NOOP"), QByteArray("200 OK"));

    // A line just under the bound is still a line.
    FtpClient patient;
    QVERIFY(patient.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(patient.SendRaw("NOOP " + QByteArray(60000, 'x') + "\r\n"));
    QCOMPARE(patient.ReadReply(), QByteArray("530 Login to the server. Enter USER and PASS commands."));
}

void TestConnectionSpine::idleClientIsTimedOut()
{
    TestServer server(TestValues());
    server.Settings().SetDurations({.IdleTimeoutMs = 0});
    FtpClient client;
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    QCOMPARE(client.ReadReply(5000), QByteArray("426 Time out."));
    QVERIFY(client.WaitForClose());
    QVERIFY(server.WaitUntilIdle());
}

void TestConnectionSpine::clientCloseLeavesTheList()
{
    TestServer server(TestValues());
    FtpClient polite, abrupt;
    QVERIFY(polite.Login(server.Port()));
    QVERIFY(abrupt.ConnectAndGreet(server.Port()).startsWith("220 "));
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectedUsers(), 2, 20000);
    QCOMPARE(server.ConnectionCount(), 2);
    polite.Close();
    abrupt.Reset();
    QVERIFY(server.WaitUntilIdle());
    QCOMPARE(server.Monitor().CountLines("User OUT: 127.0.0.1"), 0);
}

void TestConnectionSpine::stopEndsEveryClient()
{
    TestServer server(TestValues());
    std::vector<std::unique_ptr<FtpClient>> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(std::make_unique<FtpClient>());
        QVERIFY(clients.back()->Login(server.Port()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectedUsers(), 5, 20000);
    // The login line comes in two writes after the reply; let them finish before the OFFLINE line.
    QTRY_COMPARE_WITH_TIMEOUT(server.Monitor().CountLines("User IN: 127.0.0.1"), 5, 20000);
    server.Stop();
    QCOMPARE(server.ConnectionCount(), 0);
    for (auto& client : clients)
        QVERIFY(client->WaitForClose());
    QVERIFY(server.WaitUntilIdle());
    QVERIFY(server.Monitor().WaitForLine("***** FTP SERVER OFFLINE *****"));

    // Started again, it serves again.
    QVERIFY(server.Start());
    FtpClient again;
    QVERIFY(again.Login(server.Port()));
    QCOMPARE(server.Monitor().CountLines("***** FTP SERVER ONLINE *****"), 2);
}

// Connection threads write their client lines at the same time; each line must arrive whole.
void TestConnectionSpine::clientLinesFromManyThreadsStayWhole()
{
    CaptureSink sink;
    CServerMonitor monitor(&sink);
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 100;
    std::vector<std::unique_ptr<QThread>> writers;
    for (int i = 0; i < kThreads; ++i) {
        const QByteArray address = "10.0.0." + QByteArray::number(i);
        writers.emplace_back(QThread::create([&monitor, address] {
            for (int n = 0; n < kLinesEach; ++n)
                monitor.LogUserIn(address);
        }));
        writers.back()->start();
    }
    // The writers wait for this thread to carry out each write: keep serving events meanwhile.
    for (auto& writer : writers)
        QTRY_VERIFY_WITH_TIMEOUT(writer->isFinished(), 60000);
    const QByteArrayList lines = sink.Lines();
    QCOMPARE(lines.size(), kThreads * kLinesEach);
    for (int i = 0; i < kThreads; ++i)
        QCOMPARE(lines.count("User IN: 10.0.0." + QByteArray::number(i)), kLinesEach);
}

void TestConnectionSpine::twoHundredClientsAtOnceAreAllGreeted()
{
    TestServer server(TestValues());
    constexpr int kClients = 200;
    std::vector<std::unique_ptr<FtpClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<FtpClient>());
        QVERIFY(clients.back()->Connect(server.Port()));
    }
    int greeted = 0;
    for (auto& client : clients)
        greeted += client->ReadReply(20000).startsWith("220 ") ? 1 : 0;
    QCOMPARE(greeted, kClients);
    QTRY_COMPARE_WITH_TIMEOUT(server.ConnectedUsers(), kClients, 20000);
    clients.clear();
    QVERIFY(server.WaitUntilIdle(30000));
}

void TestConnectionSpine::portInUseIsReported()
{
    TestServer first(TestValues());
    CSettings::Values values = TestValues();
    values.ServerPort = first.Port();
    TestServer second(values, false);
    QVERIFY(!second.Start());
    const QByteArray expected = "Unable to start the server on port " + QByteArray::number(first.Port()) + ": ";
    const QByteArrayList lines = second.Monitor().Lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(expected) && lines.first().size() > expected.size(), lines.first());
    const auto pieces = second.Monitor().Pieces();
    QCOMPARE(pieces.first().textColor, MakeRgb(255, 255, 255));
    QCOMPARE(pieces.first().backColor, MakeRgb(203, 69, 69));
    QCOMPARE(second.Port(), quint16(0));
}

QTEST_GUILESS_MAIN(TestConnectionSpine)
#include "tst_connection_spine.moc"
