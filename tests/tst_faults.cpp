// Catches: leaks after clients vanish, user limit under load, full disk, read-only or lost root, files cut under RETR

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "server/FtpServer.h"

#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

class TestFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void clients();
    void fileSystemFaults();

private:
    QByteArray Path(const QByteArray& name) const { return m_tree->Path("root/" + name); }
    std::unique_ptr<TestTree> m_tree;
    std::unique_ptr<TestServer> m_server;
    // Threads and descriptors of this process, to find any that outlive their use.
    static QPair<int, int> Held()
    {
        return {int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()),
                int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size())};
    }
    QPair<int, int> m_before;
    FtpClient m_bystander; // logged in before each fault and served after it
};

void TestFaults::init()
{
    m_server.reset(); // its host thread gone before counting
    m_tree = std::make_unique<TestTree>("root/ root/Docs/ root/small.txt=served");
    m_server = std::make_unique<TestServer>(TestValues(m_tree->Path("root")));
    m_before = Held();
    QVERIFY(m_tree->IsValid() && m_bystander.Login(m_server->Port()));
}

void TestFaults::cleanup()
{
    CONVERSE(m_bystander,
             "@pasv\nRETR /small.txt | 150 Binary mode. | 226 Transfer completed.\n@recv served\nQUIT | 221*");
    m_bystander.Close();
    QVERIFY(m_server->WaitUntilIdle(30000));
    // A finished thread may still be unwinding in the system for a moment.
    QTRY_COMPARE_WITH_TIMEOUT(Held().first, m_before.first, 30000);
    QCOMPARE(Held().second, m_before.second);
}

void TestFaults::clients()
{
    QVERIFY(WriteFile(Path("large.bin"), Pattern(16 << 20)));
    // Gone mid-transfer, or while the server waits for the data connection.
    for (const char* script : {"@pasv\nRETR large.bin | 150*", "@pasv\nSTOR upload.bin | 150*", "@pasv\nLIST | 150*",
                               "PASV | 227*\nRETR small.txt | 150*"}) {
        FtpClient client;
        QVERIFY(client.Login(m_server->Port()));
        CONVERSE(client, script);
        client.Reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->Engine().ConnectedUsers(), 1, 8000);
    }
    // Gone before the greeting, or right after it.
    for (int i = 0; i < 200; ++i) {
        FtpClient client;
        QVERIFY(i % 2 ? client.ConnectAndGreet(m_server->Port()).startsWith("220 ") : client.Connect(m_server->Port()));
        if (i % 2 == 0)
            client.Reset();
    }
    QTRY_COMPARE(m_server->Engine().ConnectedUsers(), 1);
    // Many at once: every place taken, each by a download running at the same time; one more is turned away.
    constexpr int kClients = 64;
    const QByteArray content = Pattern(256 * 1024, 5);
    QVERIFY(WriteFile(Path("big.bin"), content));
    m_server->Settings().Update([](CSettings::Values& v) { v.MaxUsers = kClients + 1; });
    FtpClient clients[kClients];
    int data[kClients];
    for (int i = 0; i < kClients; ++i)
        QVERIFY(clients[i].Login(m_server->Port()) && (data[i] = clients[i].OpenPassive()) >= 0 &&
                clients[i].SendLine("RETR big.bin"));
    QCOMPARE(FtpClient().ConnectAndGreet(m_server->Port()), QByteArray("421 No more users are allowed."));
    for (int i = 0; i < kClients; ++i) {
        QVERIFY(clients[i].ReadReply() == "150 Binary mode." && DataSocket::ReadAll(data[i]) == content);
        DataSocket::Close(data[i]);
        QCOMPARE(clients[i].ReadReply(), QByteArray("226 Transfer completed."));
    }
}

void TestFaults::fileSystemFaults()
{
    // Deleted: the open file lives on and all of it arrives. Truncated: the download ends short and says so.
    const QByteArray content = Pattern(16 << 20, 13);
    for (const bool truncate : {false, true}) {
        QVERIFY(WriteFile(Path("changing.bin"), content));
        const int data = m_bystander.OpenPassive();
        QCOMPARE(m_bystander.Command("RETR changing.bin"), QByteArray("150 Binary mode."));
        char first[4096];
        QVERIFY(::recv(data, first, sizeof first, MSG_WAITALL) == sizeof first);
        QVERIFY(truncate ? ::truncate(Path("changing.bin"), 0) == 0 : ::unlink(Path("changing.bin")) == 0);
        const QByteArray downloaded = QByteArray(first, sizeof first) + DataSocket::ReadAll(data);
        DataSocket::Close(data);
        QCOMPARE(m_bystander.ReadReply(), QByteArray(truncate ? "426 Connection closed." : "226 Transfer completed."));
        QVERIFY(content.startsWith(downloaded) && (downloaded.size() < content.size()) == truncate);
    }
    // A full disk, as a file size limit: the upload ends with 450, what fitted is kept, the client is served.
    rlimit saved = {};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const rlimit limit = {1 << 20, saved.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG instead
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    const int data = m_bystander.OpenPassive();
    QCOMPARE(m_bystander.Command("STOR upload.bin"), QByteArray("150 Binary mode."));
    DataSocket::WriteAll(data, content); // fails part-way once the server stops reading
    QCOMPARE(m_bystander.ReadReply(), QByteArray("450 File access error."));
    DataSocket::Close(data);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &saved) == 0);
    const QByteArray kept = ReadFile(Path("upload.bin"));
    QVERIFY(!kept.isEmpty() && kept.size() <= qsizetype(limit.rlim_cur) && content.startsWith(kept));
    // A read-only root: permission bits bind everyone but root; for root, a read-only bind mount.
    const QByteArray root = m_tree->Path("root");
    const bool mounted = geteuid() == 0 && ::mount(root, root, nullptr, MS_BIND, nullptr) == 0;
    {
        const auto undo = qScopeGuard([&] { mounted ? ::umount2(root, MNT_DETACH) : ::chmod(root, 0700); });
        QVERIFY(mounted ? ::mount(root, root, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0
                        : ::chmod(root, 0500) == 0);
        CONVERSE(m_bystander,
                 "MKD Made | 450 Error creating folder.\nDELE small.txt | 450 Error deleting file: \"/small.txt\".");
    }
    // The root folder removed under a client inside it: everything fails and nothing brings it back.
    QCOMPARE(m_bystander.Command("CWD Docs"), QByteArray("250 \"/docs\" --> Current folder."));
    QVERIFY(QDir(root).removeRecursively());
    CONVERSE(m_bystander, R"(
        PWD | 257 "/docs" --> Current folder.
        CWD / | 550 "/": Folder not found.
        SIZE /small.txt | 550 File not found.
        STOR x.bin | 550 Invalid filename.
        MKD New | 550 Creating a folder is not allowed.
    )");
    QVERIFY(!QFileInfo::exists(root) && QDir().mkpath(root) && WriteFile(Path("small.txt"), "served"));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
