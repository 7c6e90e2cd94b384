// Catches: bytes lost or changed in transfers (chunk edges, active, >4 GiB, urgent data, two uploads into one file,
// each way of copying), data ports open to others or predictable, ABOR/wait slips, finished data connections reset
// or left half open

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "transfer/FileCopy.h"
#include "transfer/TransferLimits.h"

#include <QtTest>

#include <cerrno>
#include <optional>
#include <sys/socket.h>

namespace {

QByteArray PortTo(quint16 port)
{
    return QString("PORT 127,0,0,1,%1,%2").arg(port >> 8).arg(port & 255).toLatin1();
}

const QByteArray& Big()
{
    static const QByteArray big = Pattern(16 << 20);
    return big;
}

} // namespace

// Each function gets a server of its own on a fresh tree, and a client logged in there.
class TestTransfers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void everyByteArrives_data();
    void everyByteArrives();
    void activePortServesOnce();
    void waitingActiveTransferEnds();
    void waitingPassiveTransferEnds();
    void uploadSentBeforeStor();
    void strangersTurnedAway();
    void finishedConnectionsClose();
    void cutDownloadAnsweredOnce();
    void quitWaitsForTransfer();
    void listingWhileLoggingOut();
    void resetUploads();
    void unusedConnectionAfterRefusal();
    void passivePortsRandom();
    void over4GiB();
    void sessionEndResetsDownload();

private:
    bool WriteBig() { return WriteFile(m_tree->Path("big.bin"), Big()); }

    std::optional<TestTree> m_tree;
    std::optional<TestServer> m_server;
    std::optional<FtpClient> m_client;
};

void TestTransfers::init()
{
    m_tree.emplace("a.txt=abc b.txt=bcd Sub/");
    m_server.emplace(TestValues(m_tree->Base()));
    m_server->Settings().SetDurations({.DataWaitMs = 300});
    m_client.emplace();
    QVERIFY(m_tree->IsValid() && m_client->Login(m_server->Port()));
}

void TestTransfers::cleanup()
{
    m_client.reset();
    m_server.reset();
    m_tree.reset();
}

// Every way the bytes move: with the kernel, through the buffer, and with a file system that refuses the kernel's
// calls midway (FUSE, network file systems), whose fallbacks run then.
void TestTransfers::everyByteArrives_data()
{
    QTest::addColumn<CFileCopy::EMode>("mode");
    QTest::newRow("kernel") << CFileCopy::EMode::Kernel;
    QTest::newRow("buffered") << CFileCopy::EMode::Buffered;
    QTest::newRow("file refuses the kernel") << CFileCopy::EMode::FileRefusesKernel;
}

void TestTransfers::everyByteArrives()
{
    QFETCH(CFileCopy::EMode, mode);
    CFileCopy::SetMode(mode);
    const auto kernel = qScopeGuard([] { CFileCopy::SetMode(CFileCopy::EMode::Kernel); });
    FtpClient& client = *m_client;
    quint16 port = 0;
    const int listener = DataSocket::Listen(&port);
    QVERIFY(listener >= 0);
    for (const qsizetype size : {0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 7}) {
        for (const bool passive : {true, false}) {
            const QByteArray data = Pattern(size, quint32(size + passive));
            QVERIFY(WriteFile(m_tree->Path("Up.bin"), Pattern(size + 100000, 3))); // replaced whole
            for (const QByteArray command : {"STOR Up.bin", "RETR up.bin"}) {
                const QByteArray name = (passive ? "passive " : "active ") + QByteArray::number(size) + ' ' + command;
                const int pasv = passive ? client.OpenPassive() : -1;
                QVERIFY2(passive || client.Command(PortTo(port)) == "200 PORT command OK.", name);
                QVERIFY2(client.Command(command) == "150 Binary mode.", name);
                const int fd = passive ? pasv : DataSocket::Accept(listener);
                QVERIFY2(command[0] == 'S' ? DataSocket::WriteAll(fd, data) : DataSocket::ReadAll(fd) == data, name);
                DataSocket::Close(fd);
                QVERIFY2(client.ReadReply() == "226 Transfer completed.", name);
            }
        }
    }
    DataSocket::Close(listener);
    // Urgent data on an upload's connection: its byte stays in the stream, where the client put it, and the bytes
    // behind it are kept (the kernel's splice stops at the mark). A second upload into a file being received is
    // refused, and the first one's bytes stay whole.
    FtpClient rival;
    const int urgent = client.OpenPassive();
    QVERIFY(rival.Login(m_server->Port()) && urgent >= 0);
    QCOMPARE(client.Command("STOR urgent.bin"), QByteArray("150 Binary mode."));
    QVERIFY(DataSocket::WriteAll(urgent, QByteArray(1000, 'a')) && ::send(urgent, "!", 1, MSG_OOB) == 1 &&
            DataSocket::WriteAll(urgent, QByteArray(1000, 'b')));
    CONVERSE(rival, "@pasv\nSTOR urgent.bin | 150 Binary mode. | 450 File access error.");
    DataSocket::Close(urgent);
    QCOMPARE(client.ReadReply(), QByteArray("226 Transfer completed."));
    QCOMPARE(m_tree->Read("urgent.bin"), QByteArray(1000, 'a') + '!' + QByteArray(1000, 'b'));
}

// Each active transfer needs its own PORT; a port nobody listens on is told once.
void TestTransfers::activePortServesOnce()
{
    quint16 port = 0;
    DataSocket::Close(DataSocket::Listen(&port)); // nobody listens there now
    CONVERSE(*m_client, "RETR a.txt | 150 Binary mode. | 425 The connection could not be opened.\n" + PortTo(port) +
                            " | 200 PORT command OK.\nRETR a.txt | 150 Binary mode. | 425 Cannot open connection.");
    NOTHING_MORE(*m_server, *m_client);
}

// A transfer waiting for its connection ends with its 426 at the next PORT, and nothing follows when its time
// would have come. The connection waits as a listener whose queue is full takes no more.
void TestTransfers::waitingActiveTransferEnds()
{
    quint16 fullPort = 0;
    const int full = DataSocket::Listen(&fullPort, 0), queued = DataSocket::Connect(fullPort);
    CONVERSE(*m_client, PortTo(fullPort) + R"( | 200 PORT command OK.
        RETR a.txt | 150 Binary mode.
        PORT 1,2,3,4,5,6 | 426 Connection closed. | 501 Illegal PORT command.
        RETR a.txt | 150 Binary mode. | 425 The connection could not be opened.
        PORT 127,0,0,1,3,255 | 501 Illegal PORT command.
        PORT 127,0,0,1,4,0 | 200 PORT command OK.
    )");
    NOTHING_MORE(*m_server, *m_client);
    DataSocket::Close(queued);
    DataSocket::Close(full);
}

// Nobody connects: the client is served meanwhile, then told (a USER meanwhile stays logged out). What takes over
// a waiting RETR ends it with its 426, and nothing comes when its time would have come.
void TestTransfers::waitingPassiveTransferEnds()
{
    FtpClient& client = *m_client;
    for (const char* row : {"USER x | 331 Enter password.\n| 421 The socket could not be created.\n"
                            "PWD | 530 Login to the server. Enter USER and PASS commands.\n"
                            "USER tester | 331 Enter password.\nPASS Secret | 230 Login OK.",
                            "ABOR | 426 Connection closed. | 226 ABOR command OK.",
                            "EPSV | 426 Connection closed. | 229 Entering Extended Passive Mode (\\|\\|\\|5*",
                            "PASV | 426 Connection closed. | 227 Entering Passive Mode*",
                            "RETR b.txt | 426 Connection closed. | 150 Binary mode."}) {
        const QByteArray passive = client.Command("PASV");
        CONVERSE(client, "RETR a.txt | 150 Binary mode.");
        CONVERSE(client, row);
        if (QByteArray(row).startsWith("RETR")) { // the first RETR's port serves it, and to this host only
            const int thief = DataSocket::Connect(PassivePort(passive), "127.0.0.2");
            CONVERSE(client, "@connect\n@recv bcd\n| 226 Transfer completed.");
            DataSocket::Close(thief);
        }
        NOTHING_MORE(*m_server, client);
    }
}

// Sent in full and closed before STOR: all of it is kept. A second PASV closes the first one's connection.
void TestTransfers::uploadSentBeforeStor()
{
    const QByteArray early(200000, 'e');
    CONVERSE(*m_client,
             "@pasv\n@send " + early + "\nNOOP | 200 OK\nSTOR early.bin | 150 Binary mode. | 226 Transfer completed.");
    QCOMPARE(m_tree->Read("early.bin"), early);
    CONVERSE(*m_client, "@pasv\nPASV | 227 Entering Passive Mode (127,0,0,1,*\n@recv");
}

// Connections from another host are turned away at once, so that none can fill the port's queue before the client
// comes; one there just before the client's belongs to no transfer. A second connection to a port whose one
// connection was taken belongs to no later transfer.
void TestTransfers::strangersTurnedAway()
{
    FtpClient& client = *m_client;
    const quint16 taken = PassivePort(client.Command("PASV"));
    for (int i = 0; i < 8; ++i)
        CONVERSE(client, "@connect 127.0.0.2\n@recv");
    const int intruder = DataSocket::Connect(taken, "127.0.0.2");
    CONVERSE(client, "@connect\nRETR a.txt | 150 Binary mode. | 226 Transfer completed.");
    const int late = DataSocket::Connect(taken);
    CONVERSE(client, "@recv abc\n@pasv\nRETR b.txt | 150 Binary mode. | 226 Transfer completed.\n@recv bcd");
    QVERIFY(DataSocket::ReadAll(late, 1000).isEmpty() && DataSocket::ReadAll(intruder, 1000).isEmpty());
    DataSocket::Close(late);
    DataSocket::Close(intruder);
}

// Bytes the client sends on a download's or a listing's connection cost none of it, nor its clean end. Once it is
// told complete, the server's end is closed, not left half open: bytes sent to it then meet a reset (those that
// come before the close are dropped with it). A large file completes in a step of its own, a small one with its
// command, and an empty listing sends nothing.
void TestTransfers::finishedConnectionsClose()
{
    QVERIFY(WriteBig());
    for (const auto& [command, data] :
         {std::pair<QByteArray, QByteArray>{"RETR big.bin", Big()}, {"RETR a.txt", "abc"}, {"LIST Sub", ""}}) {
        const int chatty = m_client->OpenPassive();
        QVERIFY(DataSocket::WriteAll(chatty, "x") && m_client->Command(command).startsWith("150 "));
        int end = -1;
        QVERIFY2(DataSocket::ReadAll(chatty, 30000, &end) == data && end == 0, command);
        QCOMPARE(m_client->ReadReply(), QByteArray("226 Transfer completed."));
        QTRY_VERIFY2_WITH_TIMEOUT(!DataSocket::WriteAll(chatty, "y"), command, 5000);
        DataSocket::Close(chatty);
    }
}

// A download cut by the client, aborted (as urgent data too, and after a new login), or ended by the next data
// command: one 426, and no completion reply, now or later.
void TestTransfers::cutDownloadAnsweredOnce()
{
    FtpClient& client = *m_client;
    QVERIFY(WriteBig());
    for (const auto& [how, replies] :
         {std::pair<QByteArray, QByteArray>{"cut", ""},
          {"ABOR", "426 Connection closed. | 226 ABOR command OK."},
          {"urgent ABOR", "| 426 Connection closed.\n| 226 ABOR command OK."},
          {"USER tester", "331 Enter password.\nPASS Secret | 230 Login OK.\nABOR | 426 Connection closed. | 226*"},
          {"RETR a.txt", "426 Connection closed. | 150 Binary mode. | 425 The connection could not be opened."},
          {"PASV", "426 Connection closed. | 227 Entering Passive Mode*"},
          {"PORT 127,0,0,1,4,1", "426 Connection closed. | 200 PORT command OK."}}) {
        const int fd = client.OpenPassive();
        char some[4096];
        QCOMPARE(client.Command("RETR big.bin"), QByteArray("150 Binary mode."));
        QVERIFY(::recv(fd, some, sizeof some, MSG_WAITALL) == sizeof some &&
                (how != "urgent ABOR" || client.SendUrgentLine("ABOR")));
        if (how != "cut")
            CONVERSE(client, (how == "urgent ABOR" ? "" : how + " | ") + replies);
        how == "cut" ? DataSocket::Reset(fd) : DataSocket::Close(fd);
        QVERIFY(how != "cut" || client.ReadReply() == "426 Connection closed.");
        NOTHING_MORE(*m_server, client);
    }
}

// A QUIT behind a transfer (running, or waiting for its connection as an active one does), or the end of the
// client's lines, waits for it: an upload's last bytes are taken in, the transfer gets its reply, then the session
// ends as a stream does, also where the client sent more lines behind the QUIT.
void TestTransfers::quitWaitsForTransfer()
{
    const QByteArray sent = Pattern(1 << 20);
    for (const bool active : {false, true}) {
        FtpClient leaving;
        quint16 port = 0;
        const int listener = active ? DataSocket::Listen(&port) : -1;
        QVERIFY(leaving.Login(m_server->Port()));
        // An active upload's STOR and QUIT come at once.
        CONVERSE(leaving, active ? PortTo(port) + " | 200 PORT command OK.\nSTOR active.bin\\r\\nQUIT" : "");
        const int fd = active ? DataSocket::Accept(listener) : leaving.OpenPassive();
        CONVERSE(leaving, active ? "" : "STOR passive.bin | 150 Binary mode.\nQUIT");
        QVERIFY(DataSocket::WriteAll(fd, sent));
        DataSocket::Close(fd);
        DataSocket::Close(listener);
        CONVERSE(leaving,
                 QByteArray(active ? "| 150 Binary mode.\n" : "") + "| 226 Transfer completed.\n| 221*\n| <closed>");
        QVERIFY(m_tree->Read(active ? "active.bin" : "passive.bin") == sent);
    }
    QVERIFY(WriteBig());
    for (const bool chatty : {true, false}) {
        FtpClient leaving;
        QVERIFY(leaving.Login(m_server->Port()));
        const int fd = leaving.OpenPassive();
        CONVERSE(leaving, chatty ? "RETR big.bin | 150 Binary mode.\nQUIT" : "RETR big.bin | 150 Binary mode.");
        QTest::qWait(200); // the NOOP is read apart from the QUIT
        QVERIFY(chatty ? leaving.SendLine("NOOP") : (leaving.ShutDownSending(), true));
        int end = -1;
        QVERIFY(DataSocket::ReadAll(fd, 10000, &end) == Big() && end == 0);
        DataSocket::Close(fd);
        CONVERSE(leaving,
                 chatty ? "| 226 Transfer completed.\n| 221*\n| <closed>" : "| 226 Transfer completed.\n| <closed>");
    }
}

// A LIST waiting for its connection, and a USER meanwhile: logged out still once it is listed.
void TestTransfers::listingWhileLoggingOut()
{
    CONVERSE(*m_client, "PASV | 227*\nLIST | 150 ASCII mode.\nUSER x | 331 Enter password.\n@connect\n@recv *");
    QVERIFY(m_client->Received().contains("a.txt"));
    CONVERSE(*m_client, R"(
        | 226 Transfer completed.
        PWD | 530 Login to the server. Enter USER and PASS commands.
    )");
}

// An upload reset by its client is no completed upload; what came stays. Reset before its STOR came, whether the
// server saw it at once or only with the STOR: no upload at all, and the file stays as it was.
void TestTransfers::resetUploads()
{
    FtpClient& client = *m_client;
    const int reset = client.OpenPassive();
    QCOMPARE(client.Command("STOR reset.bin"), QByteArray("150 Binary mode."));
    QVERIFY(DataSocket::WriteAll(reset, "part"));
    QTRY_COMPARE(m_tree->Read("reset.bin"), QByteArray("part")); // taken in before the reset comes
    DataSocket::Reset(reset);
    QCOMPARE(client.ReadReply(), QByteArray("426 Connection closed."));
    for (const int pauseMs : {0, 200}) {
        for (const QByteArray name : {"a.txt", "none.txt"}) {
            DataSocket::Reset(client.OpenPassive());
            QTest::qWait(pauseMs);
            CONVERSE(client, ("STOR " + name + " | 150 Binary mode. | 426 Connection closed.").constData());
        }
        QVERIFY(m_tree->Read("a.txt") == "abc" && !m_tree->Exists("none.txt"));
    }
}

// Clients close an unused connection after a refused command: a reply then would answer their next one.
void TestTransfers::unusedConnectionAfterRefusal()
{
    CONVERSE(*m_client, R"(
        LIST | 150 ASCII mode. | 425 The connection could not be opened.
        @pasv
        NLST | 502 Unknown command.
        @send
        NOOP | 200 OK
        LIST | 150 ASCII mode. | 426 Connection closed.
        @pasv
        ABOR | 226 ABOR command OK.
    )");
}

// Passive ports come from the forwarded range at random, so that nobody can tell a client's next port and take it
// first; ports that others hold are passed over. Here other programs listen on every other port of the range.
void TestTransfers::passivePortsRandom()
{
    QMap<quint16, int> held;
    for (int p = kPassivePortFirst; p <= kPassivePortLast; p += 2) {
        quint16 port = quint16(p);
        if (const int fd = DataSocket::Listen(&port, 1); fd >= 0)
            held[port] = fd;
    }
    const auto release = qScopeGuard([&held] {
        for (const int fd : held)
            DataSocket::Close(fd);
    });
    FtpClient each[20];
    quint16 passive = 0;
    int following = 0; // ports that come right after the one before, free port by free port
    for (FtpClient& client : each) {
        const quint16 before = passive;
        QVERIFY(client.Login(m_server->Port()) && (passive = PassivePort(client.Command("PASV"))) != 0);
        QVERIFY2(passive >= kPassivePortFirst && passive <= kPassivePortLast && !held.contains(passive),
                 QByteArray::number(passive));
        following += quint16(passive - before) <= 2;
    }
    QVERIFY2(following < 5, QByteArray::number(following));
    CONVERSE(each[19], "@connect\nRETR a.txt | 150 Binary mode. | 226 Transfer completed.\n@recv abc");
}

// Over 4 GiB, from a sparse file that costs no disk.
void TestTransfers::over4GiB()
{
    const qint64 size = (qint64(4) << 30) + 4097;
    QFile huge(m_tree->Path("huge.bin"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.seek(size - 3) && huge.write("end") == 3 && huge.flush());
    QCOMPARE(m_client->Command("SIZE huge.bin"), "213 " + QByteArray::number(size));
    const int fd = m_client->OpenPassive();
    QCOMPARE(m_client->Command("RETR huge.bin"), QByteArray("150 Binary mode."));
    qint64 skipped = 0; // all but the last 3 bytes, dropped as they come
    for (ssize_t n; skipped < size - 3 &&
                    (n = ::recv(fd, nullptr, size_t(std::min<qint64>(size - 3 - skipped, 1 << 20)), MSG_TRUNC)) > 0;)
        skipped += n;
    QVERIFY(skipped == size - 3 && DataSocket::ReadAll(fd) == "end");
    DataSocket::Close(fd);
    QCOMPARE(m_client->ReadReply(60000), QByteArray("226 Transfer completed."));
}

// A download cut short with its session (here by the idle time-out, as by the server's stop) ends its connection
// with a reset, so that the client cannot take the part it got for the whole file.
void TestTransfers::sessionEndResetsDownload()
{
    QVERIFY(WriteBig());
    m_server->Settings().SetDurations({.IdleTimeoutMs = 300});
    FtpClient stalled; // its idle limit is the short one
    QVERIFY(stalled.Login(m_server->Port()));
    const int cut = stalled.OpenPassive();
    CONVERSE(stalled, "RETR big.bin | 150 Binary mode.\n| 426 Time out.\n| <closed>");
    int end = -1;
    QVERIFY(DataSocket::ReadAll(cut, 10000, &end).size() < (16 << 20) && end == ECONNRESET);
    DataSocket::Close(cut);
}

QTEST_GUILESS_MAIN(TestTransfers)
#include "tst_transfers.moc"
