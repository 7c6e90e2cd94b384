// Catches: leaks after clients vanish, user limit under load, full disk, read-only or lost root, cut RETR, restarts.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "platform/Landlock.h"
#include "server/FtpServer.h"

#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

class TestFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void faults();
    void startWithinStop();
};

// Threads and descriptors of this process less the spare threads' (one of each apiece), to find any left behind.
static QPair<int, int> Held(int spares = 0)
{
    return {int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()) - spares,
            int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) -
                spares};
}

// The server's spare connection thread names itself after its event loop's descriptor is made.
static bool SpareThreadUp()
{
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (ReadFile("/proc/self/task/" + task + "/comm").startsWith("CThreadConnecti"))
            return true;
    return false;
}

void TestFaults::faults()
{
    TestTree tree("root/ root/Docs/ root/small.txt=served");
    const QByteArray root = tree.Path("root");
    const auto path = [&root](const QByteArray& name) { return root + '/' + name; };
    TestServer server(TestValues(root));
    QTRY_VERIFY(SpareThreadUp());
    const auto held = [&server] { return Held(server.Engine().SpareThreads()); };
    const QPair<int, int> before = held();
    FtpClient bystander; // logged in before the faults and served after them
    const QByteArray large = Pattern(16 << 20, 13);
    QVERIFY(tree.IsValid() && bystander.Login(server.Port()) && WriteFile(path("large.bin"), large));
    // Gone mid-transfer, or while the server waits for the data connection.
    for (const char* script : {"@pasv\nRETR large.bin | 150*", "@pasv\nSTOR upload.bin | 150*", "@pasv\nLIST | 150*",
                               "PASV | 227*\nRETR small.txt | 150*"}) {
        FtpClient client;
        QVERIFY(client.Login(server.Port()));
        CONVERSE(client, script);
        client.Reset();
        QTRY_COMPARE_WITH_TIMEOUT(server.Engine().ConnectedUsers(), 1, 8000);
    }
    for (int i = 0; i < 200; ++i) { // gone abruptly before the greeting, or closed right after it
        FtpClient client;
        QVERIFY(i % 2 ? client.ConnectAndGreet(server.Port()).startsWith("220 ") : client.Connect(server.Port()));
        i % 2 ? client.Close() : client.Reset();
    }
    QTRY_COMPARE(server.Engine().ConnectedUsers(), 1);
    // Many at once: every place taken, each by a download running at the same time; one more is turned away.
    constexpr int kClients = 64;
    const QByteArray content = Pattern(256 * 1024, 5);
    QVERIFY(WriteFile(path("big.bin"), content));
    server.Settings().Update([](CSettings::Values& v) { v.MaxUsers = kClients + 1; });
    FtpClient clients[kClients], refused;
    for (FtpClient& client : clients) {
        QVERIFY(client.Login(server.Port()));
        CONVERSE(client, "@pasv\nRETR big.bin"); // its replies are read once all run
    }
    QVERIFY(refused.ConnectAndGreet(server.Port()) == "421 No more users are allowed." && refused.WaitForClose());
    for (FtpClient& client : clients) {
        CONVERSE(client, "| 150 Binary mode.\n@recv *\n| 226 Transfer completed.");
        QVERIFY(client.Received() == content);
        client.Close();
    }
    // Turned away by a thread kept ready, with no command it sent ahead run.
    server.Settings().Update([](CSettings::Values& v) { v.MaxUsers = 0; });
    QTRY_COMPARE(server.Engine().ConnectedUsers(), 1);
    QVERIFY(refused.Connect(server.Port()) && refused.SendRaw("USER tester\r\nPASS Secret\r\nMKD pwned\r\n"));
    CONVERSE(refused, "| 421 No more users are allowed.\n| <closed>");
    QVERIFY(!QFileInfo::exists(path("pwned")));
    refused.Close();

    // Deleted: the open file lives on and all of it arrives. Truncated: the download ends short and says so.
    for (const bool truncate : {false, true}) {
        QVERIFY(WriteFile(path("changing.bin"), large));
        const int fd = bystander.OpenPassive();
        QCOMPARE(bystander.Command("RETR changing.bin"), QByteArray("150 Binary mode."));
        char first[4096];
        QVERIFY(::recv(fd, first, sizeof first, MSG_WAITALL) == sizeof first);
        QVERIFY(truncate ? ::truncate(path("changing.bin"), 0) == 0 : ::unlink(path("changing.bin")) == 0);
        const QByteArray downloaded = QByteArray(first, sizeof first) + DataSocket::ReadAll(fd);
        DataSocket::Close(fd);
        QCOMPARE(bystander.ReadReply(), QByteArray(truncate ? "426 Connection closed." : "226 Transfer completed."));
        QVERIFY(large.startsWith(downloaded) && (downloaded.size() < large.size()) == truncate);
    }
    // A full disk (a file size limit, as ulimit -f): 450, what fitted is kept, and the server ignores SIGXFSZ.
    rlimit saved = {};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const rlimit limit = {1 << 20, saved.rlim_max};
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    const int fd = bystander.OpenPassive();
    QCOMPARE(bystander.Command("STOR upload.bin"), QByteArray("150 Binary mode."));
    DataSocket::WriteAll(fd, large); // fails part-way once the server stops reading
    QCOMPARE(bystander.ReadReply(), QByteArray("450 File access error."));
    DataSocket::Close(fd);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &saved) == 0);
    const QByteArray kept = ReadFile(path("upload.bin"));
    QVERIFY(!kept.isEmpty() && kept.size() <= qsizetype(limit.rlim_cur) && large.startsWith(kept));
    // A read-only root: permission bits bind everyone but root; for root, a read-only bind mount.
    const bool mounted = geteuid() == 0 && ::mount(root, root, nullptr, MS_BIND, nullptr) == 0;
    {
        const auto undo = qScopeGuard([&] { mounted ? ::umount2(root, MNT_DETACH) : ::chmod(root, 0700); });
        QVERIFY(mounted ? ::mount(root, root, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0
                        : ::chmod(root, 0500) == 0);
        CONVERSE(bystander,
                 "MKD Made | 450 Error creating folder.\nDELE small.txt | 450 Error deleting file: \"/small.txt\".");
    }
    // The root folder removed under a client inside it: everything fails and nothing brings it back.
    QCOMPARE(bystander.Command("CWD Docs"), QByteArray("250 \"/docs\" --> Current folder."));
    QVERIFY(QDir(root).removeRecursively());
    CONVERSE(bystander, R"(
        PWD | 257 "/docs" --> Current folder.
        CWD / | 550 "/": Folder not found.
        SIZE /small.txt | 550 File not found.
        STOR x.bin | 550 Invalid filename.
        MKD New | 550 Creating a folder is not allowed.
    )");
    QVERIFY(!QFileInfo::exists(root) && QDir().mkpath(root) && WriteFile(path("small.txt"), "served"));

    // The server still serves (the kernel keeps its threads in the folder the run began with, not in the one made
    // anew), and every thread and descriptor of the faults is gone.
    CONVERSE(bystander, "@pasv\nSIZE /small.txt | 213 6\nRETR /small.txt | 150 Binary mode.");
    CONVERSE(bystander, CLandlockRuleset::Abi() >= 3 ? "@recv\n| 426 Connection closed.\nQUIT | 221*"
                                                     : "| 226 Transfer completed.\n@recv served\nQUIT | 221*");
    bystander.Close();
    QVERIFY(server.WaitUntilIdle(30000));

    // Few descriptors left: clients past them are turned away and shown (not the server's end), the others served.
    rlimit descriptors = {};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && server.Stop());
    const rlimit low = {rlim_t(Held().second + 64), descriptors.rlim_max};
    server.Settings().Update([](CSettings::Values& v) { v.MaxUsers = 500; });
    QVERIFY(setrlimit(RLIMIT_NOFILE, &low) == 0 && server.Start());
    FtpClient crowd[40];
    int greeted = 0;
    for (FtpClient& client : crowd)
        greeted += client.ConnectAndGreet(server.Port()).startsWith("220 ");
    QVERIFY2(greeted > 0 && greeted < 40, QByteArray::number(greeted));
    QTRY_COMPARE(server.Monitor().CountLines("No thread for client: 127.0.0.1"), 40 - greeted);
    QCOMPARE(crowd[0].Command("USER tester"), QByteArray("331 Enter password."));
    for (FtpClient& client : crowd)
        client.Close();
    QVERIFY(server.WaitUntilIdle(30000));
    // None left at all: a client is still turned away at once, not left waiting.
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        filler.push_back(fd);
    ::close(filler.back()); // for the client's own socket
    filler.pop_back();
    FtpClient late;
    const bool turnedAway = late.Connect(server.Port()) && late.WaitForClose(5000);
    for (const int fd : filler)
        ::close(fd);
    QVERIFY(turnedAway);
    QTRY_COMPARE(server.Monitor().CountLines("No thread for client: 127.0.0.1"), 41 - greeted);
    late.Close();
    QVERIFY(server.WaitUntilIdle(30000) && setrlimit(RLIMIT_NOFILE, &descriptors) == 0);
    // A finished thread may still be unwinding in the system for a moment, the next spare starting.
    QTRY_COMPARE_WITH_TIMEOUT(held(), before, 30000);
}

// Clients come and go across stops and starts: a start within a stop is refused, and no thread it ends is kept.
void TestFaults::startWithinStop()
{
    TestServer server(TestValues());
    std::atomic<quint16> port = server.Port(); // each start listens on a port of its own
    std::atomic<bool> done{false};
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i)
        clients.emplace_back([&] {
            while (!done) {
                // A line at once: a connection a closing listener dropped unseen is then reset, not waited on.
                FtpClient client;
                served += client.Connect(port) && client.SendLine("NOOP") && client.ReadReply().startsWith("220 ");
                // A pace, not a wait: thousands of clients a second would use up the client ports.
                std::this_thread::sleep_for(std::chrono::milliseconds(2 + served % 8));
            }
        });
    for (int i = 0; i < 60; ++i) {
        QVERIFY(server.Restart());
        port = server.Port();
        QTest::qWait(50); // clients come and go meanwhile
    }
    done = true;
    for (std::thread& client : clients)
        client.join();
    FtpClient last;
    QVERIFY(served > 0 && last.Login(port));
    last.Close();
    QVERIFY(server.Stop() && server.WaitUntilIdle());
    QTRY_COMPARE(server.Engine().SpareThreads(), 0);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
