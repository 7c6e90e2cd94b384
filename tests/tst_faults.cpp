// Faults the server must survive: clients that vanish mid-command, connection storms, a full disk,
// a read-only root folder, files changing under a download and the root folder removed. After each
// a client that was there all along still gets served, and nothing is left running or open.

#include "FtpClient.h"
#include "ProcessCounts.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qsizetype kSmallSize = 64 * 1024;
// Larger than everything the socket buffers of both ends hold, so a download is still running
// when the test acts on it.
constexpr qsizetype kLargeSize = 16 * 1024 * 1024;
constexpr qsizetype kLimit = 1024 * 1024;

void ResetSocket(int fd)
{
    linger hard = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    DataSocket::Close(fd);
}

// Reads at least one byte of a data connection: the transfer is under way.
bool ReadSome(int fd, QByteArray& into)
{
    pollfd wait = {fd, POLLIN, 0};
    char chunk[4096];
    if (::poll(&wait, 1, 10000) <= 0)
        return false;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n > 0)
        into.append(chunk, n);
    return n > 0;
}

// Sends a reply-less sequence through a client; each "PASV" opens a data connection kept in *data.
QByteArrayList Run(FtpClient& client, const QByteArrayList& lines, int* data)
{
    QByteArrayList replies;
    for (const QByteArray& line : lines) {
        if (line == "PASV") {
            *data = client.OpenPassive();
            continue;
        }
        replies.append(client.Command(line));
        if (replies.last().startsWith("150 "))
            replies.append(client.ReadReply());
    }
    return replies;
}

// Leaves the process's file size limit as it was when the test ends.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_ok = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    bool IsSet() const { return m_ok; }

private:
    rlimit m_saved = {};
    void (*m_previousHandler)(int);
    bool m_ok = false;
};

// A mount that is undone when the test ends, however it ends.
class Mount
{
public:
    Mount(const QByteArray& source, const QByteArray& target, const char* type, unsigned long flags,
          const char* options)
        : m_target(target)
    {
        m_ok = ::mount(source.constData(), target.constData(), type, flags, options) == 0;
        m_error = errno;
        m_owned = m_ok && !(flags & MS_REMOUNT); // a remount changes a mount another object owns
    }
    ~Mount()
    {
        if (m_owned)
            ::umount2(m_target.constData(), MNT_DETACH);
    }
    bool IsMounted() const { return m_ok; }
    QString Error() const { return QString::fromLocal8Bit(strerror(m_error)); }

private:
    QByteArray m_target;
    bool m_ok = false;
    bool m_owned = false;
    int m_error = 0;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void clientVanishes_data();
    void clientVanishes();
    void connectAndDropCycles();
    void diskFullDuringStor_data();
    void diskFullDuringStor();
    void readOnlyRoot_data();
    void readOnlyRoot();
    void fileChangesDuringRetr_data();
    void fileChangesDuringRetr();
    void rootRemovedWhileInside();

private:
    QString RootPath(const QString& name = {}) const { return m_base->filePath("root/" + name); }

    std::unique_ptr<QTemporaryDir> m_base;
    std::unique_ptr<TestServer> m_server;
    ProcessCounts m_before;
    FtpClient m_bystander; // logged in before each fault and served after it
    QByteArray m_small;
};

void TestFaults::init()
{
    m_base = std::make_unique<QTemporaryDir>();
    QVERIFY(m_base->isValid());
    QVERIFY(QDir(m_base->path()).mkpath("root/Docs"));
    QVERIFY(QDir(m_base->path()).mkpath("root/Empty"));
    m_small = Pattern(kSmallSize, 2463534242u);
    QVERIFY(WriteFile(RootPath("small.bin"), m_small));
    m_server = std::make_unique<TestServer>(TestValues(RootPath().toUtf8()));
    QVERIFY(m_server->Port() != 0);
    m_before = CountProcess();
    QVERIFY(m_bystander.Login(m_server->Port()));
}

void TestFaults::cleanup()
{
    if (m_server) {
        // The client that was there all along is still served in full.
        QCOMPARE(m_bystander.Command("NOOP"), QByteArray("200 OK"));
        const int data = m_bystander.OpenPassive();
        QVERIFY(data >= 0);
        QCOMPARE(m_bystander.Command("RETR small.bin"), QByteArray("150 Binary mode."));
        const QByteArray downloaded = DataSocket::ReadAll(data);
        DataSocket::Close(data);
        QCOMPARE(m_bystander.ReadReply(), QByteArray("226 Transfer completed."));
        QVERIFY(downloaded == m_small);
        QVERIFY(m_bystander.Command("QUIT").startsWith("221 "));
        m_bystander.Close();

        QVERIFY(m_server->WaitUntilIdle(30000));
        QCOMPARE(m_server->ConnectionCount(), qsizetype(0));
        // A finished thread object may still be unwinding in the system for a moment.
        QTRY_COMPARE_WITH_TIMEOUT(CountProcess().threads, m_before.threads, 30000);
        QCOMPARE(CountProcess().descriptors, m_before.descriptors);
    }
    m_bystander.Close();
    m_server.reset();
    m_base.reset();
}

void TestFaults::clientVanishes_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<bool>("connectData");
    QTest::addColumn<bool>("readFirst");

    QTest::newRow("during RETR") << QByteArray("RETR large.bin") << true << true;
    QTest::newRow("during STOR") << QByteArray("STOR upload.bin") << true << false;
    QTest::newRow("during LIST") << QByteArray("LIST") << true << false;
    QTest::newRow("during the data-connection wait") << QByteArray("RETR large.bin") << false << false;
}

void TestFaults::clientVanishes()
{
    QFETCH(QByteArray, command);
    QFETCH(bool, connectData);
    QFETCH(bool, readFirst);
    QVERIFY(WriteFile(RootPath("large.bin"), Pattern(kLargeSize, 7)));
    for (int i = 0; i < 200; ++i)
        QVERIFY(WriteFile(RootPath(QString("entry-%1.txt").arg(i)), "x"));

    FtpClient client;
    QVERIFY(client.Login(m_server->Port()));
    int data = -1;
    if (connectData) {
        data = client.OpenPassive();
        QVERIFY(data >= 0);
    } else {
        QVERIFY(client.Command("PASV").startsWith("227 "));
    }
    QVERIFY(client.SendLine(command));
    QCOMPARE(client.ReadReply().left(4), QByteArray("150 "));
    QByteArray received;
    if (readFirst)
        QVERIFY(ReadSome(data, received));
    if (command.startsWith("STOR"))
        QVERIFY(DataSocket::WriteAll(data, Pattern(kSmallSize, 11)));
    ResetSocket(data);
    client.Reset();

    // Its thread ends well before a data wait could run out on its own.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->ConnectedUsers(), 1, 8000);
}

void TestFaults::connectAndDropCycles()
{
    for (int i = 0; i < 1000; ++i) {
        FtpClient client;
        if (i % 2 == 0) {
            QVERIFY(client.Connect(m_server->Port()));
            client.Reset(); // gone before the greeting
        } else {
            QVERIFY(client.ConnectAndGreet(m_server->Port()).startsWith("220 "));
            client.Close();
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_server->ConnectedUsers(), 1, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->LiveThreads(), 1, 60000);
}

void TestFaults::diskFullDuringStor_data()
{
    QTest::addColumn<bool>("useTmpfs");
    QTest::newRow("file system of 1 MiB") << true;
    QTest::newRow("file size limit of 1 MiB") << false;
}

void TestFaults::diskFullDuringStor()
{
    QFETCH(bool, useTmpfs);
    QVERIFY(QDir(RootPath()).mkpath("full"));
    std::unique_ptr<Mount> mount;
    std::unique_ptr<FileSizeLimit> limit;
    if (useTmpfs) {
        mount = std::make_unique<Mount>("tarvelo-full", QFile::encodeName(RootPath("full")), "tmpfs", 0,
                                        QByteArray("size=" + QByteArray::number(kLimit)).constData());
        if (!mount->IsMounted())
            QSKIP(qPrintable("cannot mount a small tmpfs here: " + mount->Error()));
    } else {
        limit = std::make_unique<FileSizeLimit>(kLimit);
        QVERIFY(limit->IsSet());
    }

    FtpClient client;
    QVERIFY(client.Login(m_server->Port()));
    const int data = client.OpenPassive();
    QVERIFY(data >= 0);
    QCOMPARE(client.Command("STOR full/upload.bin"), QByteArray("150 Binary mode."));
    const QByteArray upload = Pattern(3 * kLimit, 5);
    DataSocket::WriteAll(data, upload); // fails part-way once the server stops reading
    QCOMPARE(client.ReadReply(), QByteArray("450 File access error."));
    ResetSocket(data);

    const QByteArray kept = ReadFile(RootPath("full/upload.bin"));
    QVERIFY(!kept.isEmpty() && kept.size() <= kLimit);
    QVERIFY(kept == upload.left(kept.size()));
    limit.reset();
    mount.reset();

    // The same client goes on being served.
    QCOMPARE(client.Command("NOOP"), QByteArray("200 OK"));
    const int again = client.OpenPassive();
    QVERIFY(again >= 0);
    QCOMPARE(client.Command("STOR after.bin"), QByteArray("150 Binary mode."));
    QVERIFY(DataSocket::WriteAll(again, m_small));
    DataSocket::Close(again);
    QCOMPARE(client.ReadReply(), QByteArray("226 Transfer completed."));
    QVERIFY(ReadFile(RootPath("after.bin")) == m_small);
    QVERIFY(client.Command("QUIT").startsWith("221 "));
}

void TestFaults::readOnlyRoot_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArrayList>("replies");

    QTest::newRow("STOR") << QByteArrayList{"PASV", "STOR new.bin"}
                          << QByteArrayList{"150 Binary mode.", "450 File access error."};
    QTest::newRow("MKD") << QByteArrayList{"MKD Made"} << QByteArrayList{"450 Error creating folder."};
    QTest::newRow("DELE") << QByteArrayList{"DELE small.bin"}
                          << QByteArrayList{"450 Error deleting file: \"/small.bin\"."};
    QTest::newRow("RNFR/RNTO") << QByteArrayList{"RNFR small.bin", "RNTO renamed.bin"}
                               << QByteArrayList{"350 File OK.", "450 Error renaming file."};
    QTest::newRow("RMD") << QByteArrayList{"RMD Empty"} << QByteArrayList{"450 Error deleting folder."};
    QTest::newRow("SIZE still answers") << QByteArrayList{"SIZE small.bin"}
                                        << QByteArrayList{"213 " + QByteArray::number(kSmallSize)};
}

void TestFaults::readOnlyRoot()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, replies);
    const QByteArray root = QFile::encodeName(RootPath());
    // Permission bits bind everyone but root; for root, a read-only bind mount of the folder.
    std::unique_ptr<Mount> bind;
    std::unique_ptr<Mount> readOnly;
    if (geteuid() == 0) {
        bind = std::make_unique<Mount>(root, root, nullptr, MS_BIND, nullptr);
        if (!bind->IsMounted())
            QSKIP(qPrintable("running as root and cannot bind-mount the root folder: " + bind->Error()));
        readOnly = std::make_unique<Mount>(root, root, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
        QVERIFY2(readOnly->IsMounted(), qPrintable(readOnly->Error()));
    } else {
        QVERIFY(QFile::setPermissions(RootPath(), QFile::ReadOwner | QFile::ExeOwner));
    }

    FtpClient client;
    QVERIFY(client.Login(m_server->Port()));
    int data = -1;
    QCOMPARE(Run(client, lines, &data), replies);
    DataSocket::Close(data);
    QVERIFY(client.Command("QUIT").startsWith("221 "));
    QVERIFY(ReadFile(RootPath("small.bin")) == m_small);
    QVERIFY(!QFile::exists(RootPath("new.bin")) && !QFile::exists(RootPath("Made")));

    readOnly.reset();
    bind.reset();
    if (geteuid() != 0)
        QVERIFY(QFile::setPermissions(RootPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestFaults::fileChangesDuringRetr_data()
{
    QTest::addColumn<bool>("truncate");
    QTest::addColumn<QByteArray>("reply");
    // The open file lives on until the download ends: all of it arrives.
    QTest::newRow("deleted") << false << QByteArray("226 Transfer completed.");
    // The rest of the file is gone: the download ends short and says so.
    QTest::newRow("truncated") << true << QByteArray("426 Connection closed.");
}

void TestFaults::fileChangesDuringRetr()
{
    QFETCH(bool, truncate);
    QFETCH(QByteArray, reply);
    const QByteArray content = Pattern(kLargeSize, 13);
    QVERIFY(WriteFile(RootPath("large.bin"), content));

    FtpClient client;
    QVERIFY(client.Login(m_server->Port()));
    const int data = client.OpenPassive();
    QVERIFY(data >= 0);
    QCOMPARE(client.Command("RETR large.bin"), QByteArray("150 Binary mode."));
    QByteArray downloaded;
    QVERIFY(ReadSome(data, downloaded));
    if (truncate)
        QVERIFY(::truncate(QFile::encodeName(RootPath("large.bin")).constData(), 0) == 0);
    else
        QVERIFY(QFile::remove(RootPath("large.bin")));
    downloaded += DataSocket::ReadAll(data);
    DataSocket::Close(data);
    QCOMPARE(client.ReadReply(), reply);
    if (truncate)
        QVERIFY(downloaded.size() < content.size() && downloaded == content.left(downloaded.size()));
    else
        QVERIFY(downloaded == content);
    QCOMPARE(client.Command("NOOP"), QByteArray("200 OK"));
    QVERIFY(client.Command("QUIT").startsWith("221 "));
}

void TestFaults::rootRemovedWhileInside()
{
    FtpClient client;
    QVERIFY(client.Login(m_server->Port()));
    QCOMPARE(client.Command("CWD Docs"), QByteArray("250 \"/docs\" --> Current folder."));
    QVERIFY(QDir(RootPath()).removeRecursively());

    int data = -1;
    const QByteArrayList replies = Run(client,
                                       {"PWD", "CWD /", "CWD ..", "SIZE /small.bin", "RETR x.bin", "STOR x.bin",
                                        "MKD New", "DELE x.bin", "RNFR x.bin", "RMD /Docs", "PASV", "LIST"},
                                       &data);
    DataSocket::Close(data);
    const QByteArrayList expected = {"257 \"/docs\" --> Current folder.",
                                     "550 \"/\": Folder not found.",
                                     "550 \"..\": Folder not found.",
                                     "550 File not found.",
                                     "550 File not found.",
                                     "550 Invalid filename.",
                                     "550 Creating a folder is not allowed.",
                                     "550 File not found.",
                                     "550 Folder not found.",
                                     "550 Folder not found.",
                                     "550 \"\": Folder not found."};
    QCOMPARE(replies, expected);
    // Nothing brought the root folder back.
    QVERIFY(!QFileInfo::exists(RootPath()));
    QVERIFY(client.Command("QUIT").startsWith("221 "));

    // Put back, it is served again (the bystander downloads from it).
    QVERIFY(QDir(m_base->path()).mkpath("root"));
    QVERIFY(WriteFile(RootPath("small.bin"), m_small));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
