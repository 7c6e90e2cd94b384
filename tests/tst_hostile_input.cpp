// Hostile input over real sockets: traversal, names the file system cannot hold, bounce attempts,
// commands before login, garbage and over-long lines. Each gets its documented reply, and a
// sentinel tree beside the root folder (and the root folder itself) stays exactly as it was.

#include "FtpClient.h"
#include "TestServer.h"

#include <QtTest>

#include <algorithm>

#include <sys/stat.h>

namespace {

// Everything observable about a tree: each entry's kind, size, times and content.
QByteArrayList Snapshot(const QString& folder)
{
    QByteArrayList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray path = QFile::encodeName(it.next());
        struct stat status = {};
        ::lstat(path.constData(), &status);
        QFile file(it.filePath());
        const QByteArray content = S_ISREG(status.st_mode) && file.open(QIODevice::ReadOnly) ? file.readAll() : "";
        entries.append(path + ' ' + QByteArray::number(status.st_mode) + ' ' + QByteArray::number(status.st_size) +
                       ' ' + QByteArray::number(status.st_mtim.tv_sec) + '.' +
                       QByteArray::number(status.st_mtim.tv_nsec) + ' ' + QByteArray::number(status.st_ctim.tv_sec) +
                       '.' + QByteArray::number(status.st_ctim.tv_nsec) + ' ' + content.toHex());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

const QByteArray kLoginFirst = "530 Login to the server. Enter USER and PASS commands.";

// A line whose CR LF, and everything after its NUL, fill a read of the server's chunk size, so the
// server drops them with the rest of that read.
QByteArray NulBlock(const QByteArray& before, const QByteArray& after)
{
    constexpr int kServerChunk = 4096;
    QByteArray block = before + '\0' + after;
    return block + QByteArray(kServerChunk - 2 - block.size(), 'z');
}

} // namespace

class TestHostileInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void hostileInput_data();
    void hostileInput();

private:
    QTemporaryDir m_base;
    std::unique_ptr<TestServer> m_server;
};

void TestHostileInput::initTestCase()
{
    // base/jail/root is the root folder. Outside it: base/jail/sentinel, base/jail/rootX (a name that
    // extends the root's) and base/etc/passwd, where "/../../etc/passwd" leads.
    QVERIFY(m_base.isValid());
    QDir base(m_base.path());
    for (const char* folder : {"jail/root/Docs", "jail/root/Empty", "jail/sentinel/sub", "jail/rootX", "etc"})
        QVERIFY(base.mkpath(folder));
    const QList<QPair<QString, QByteArray>> files = {
        {"jail/root/file.txt", "root file"},          {"jail/root/Docs/inside.txt", "inside"},
        {"jail/sentinel/secret.txt", "secret words"}, {"jail/sentinel/sub/deep.txt", "deep secret"},
        {"jail/rootX/sibling.txt", "sibling secret"}, {"etc/passwd", "decoy passwd"}};
    for (const auto& [name, content] : files) {
        QFile file(base.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }
    m_server = std::make_unique<TestServer>(TestValues(QFile::encodeName(base.filePath("jail/root"))));
    QVERIFY(m_server->Port() != 0);
}

void TestHostileInput::cleanupTestCase()
{
    if (m_server)
        QVERIFY(m_server->WaitUntilIdle());
    m_server.reset();
}

void TestHostileInput::hostileInput_data()
{
    // Each line is sent with CR LF and answered by the reply lines of the same index ("\n" between
    // several; empty: no reply of its own). "PASV" opens a data connection. Unless the server is to
    // close the connection, a NOOP afterwards must be answered next: no stray reply came.
    QTest::addColumn<bool>("login");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<bool>("closes");

    const QByteArray login = kLoginFirst;
    const QByteArray notAllowed = "550 Not allowed.";
    const QByteArray fileNotFound = "550 File not found.";
    const QByteArray illegalPort = "501 Illegal PORT command.";
    auto row = [](const char* name, bool logIn, const QByteArrayList& lines, const QByteArrayList& replies,
                  bool closes = false) { QTest::newRow(name) << logIn << lines << replies << closes; };

    // Before login.
    for (const char* line : {"RETR ../sentinel/secret.txt", "CWD ..", "LIST", "STOR ../sentinel/x",
                             "PORT 127,0,0,1,4,1", "pasv", "DELE file.txt", "MKD made", "SITE EXEC /bin/sh"})
        row(qPrintable(QByteArray("before login: ") + line), false, {line}, {login});
    row("PASS before USER", false, {"PASS Secret"}, {"503 Enter te username USER first."});
    row("wrong password, then a command", false, {"USER tester", "PASS wrong", "RETR file.txt"},
        {"331 Enter password.", "530 Login failed. Wrong username or/and password.", login});

    // Traversal.
    row("CWD ..", true, {"CWD .."}, {"550 \"..\": Not allowed."});
    row("CWD ..\\..", true, {"CWD ..\\.."}, {"550 \"..\\..\": Not allowed."});
    row("CWD /../../etc", true, {"CWD /../../etc"}, {"550 \"/../../etc\": Not allowed."});
    row("CWD %2e%2e/", true, {"CWD %2e%2e/"}, {"550 \"%2e%2e/\": Folder not found."});
    row("CWD sibling with the root's name as prefix", true, {"CWD ../rootX"}, {"550 \"../rootX\": Not allowed."});
    row("CWD into the sentinel, then LIST", true, {"CWD ../sentinel", "PASV", "LIST"},
        {"550 \"../sentinel\": Not allowed.", "", "150 ASCII mode.\n226 Transfer completed."});
    row("CWD far above, then LIST", true, {"CWD " + QByteArray("../").repeated(64), "PASV", "LIST"},
        {"550 \"" + QByteArray("../").repeated(64) + "\": Not allowed.", "",
         "150 ASCII mode.\n226 Transfer completed."});
    row("absolute system path", true, {"RETR /etc/passwd", "CWD /etc"},
        {fileNotFound, "550 \"/etc\": Folder not found."});
    row("RETR /../../etc/passwd", true, {"RETR /../../etc/passwd"}, {notAllowed});
    row("RETR ../sentinel", true, {"RETR ../sentinel/secret.txt"}, {notAllowed});
    row("RETR ..\\sentinel", true, {"RETR ..\\sentinel\\secret.txt"}, {notAllowed});
    row("RETR through Docs/../..", true, {"RETR Docs/../../sentinel/sub/deep.txt"}, {notAllowed});
    row("SIZE far above", true, {"SIZE " + QByteArray("../").repeated(30) + "etc/passwd"}, {notAllowed});
    row("STOR ../sentinel", true, {"STOR ../sentinel/planted.txt"}, {notAllowed});
    row("STOR over the sentinel", true, {"STOR ../sentinel/secret.txt"}, {notAllowed});
    row("DELE ../sentinel", true, {"DELE ../sentinel/secret.txt"}, {notAllowed});
    row("RNFR ../sentinel", true, {"RNFR ../sentinel/secret.txt"}, {notAllowed});
    row("RNTO ../sentinel", true, {"RNFR file.txt", "RNTO ../sentinel/moved.txt"}, {"350 File OK.", notAllowed});
    row("RNTO /etc", true, {"RNFR Docs", "RNTO " + QByteArray("../").repeated(20) + "tmp/moved"},
        {"350 Folder OK.", notAllowed});
    row("MKD ../sentinel", true, {"MKD ../sentinel/made"}, {"550 Creating a folder is not allowed."});
    row("RMD ../sentinel", true, {"RMD ../sentinel/sub"}, {notAllowed});
    row("RMD the root", true, {"RMD .", "RMD /"}, {notAllowed, "550 Folder not found."});

    // Names with a NUL byte: the server drops the rest of the read from the NUL on.
    row("NUL byte in a name", true, {NulBlock("SIZE file.txt", "/../../sentinel/secret.txt"), ""}, {"", "213 9"});
    row("NUL byte before a climb", true, {NulBlock("CWD Docs", "/../../sentinel"), ""},
        {"", "250 \"/docs\" --> Current folder."});

    // Names and paths longer than the file system allows.
    const QByteArray longName = QByteArray("a").repeated(300);
    row("name too long: STOR", true, {"PASV", "STOR " + longName}, {"", "150 Binary mode.\n450 File access error."});
    row("name too long: MKD", true, {"MKD " + longName}, {"450 Error creating folder."});
    row("name too long: CWD", true, {"CWD " + longName}, {"550 \"" + longName + "\": Folder not found."});
    row("path too long: RETR", true, {"RETR " + QByteArray("d/").repeated(3000) + "x"}, {fileNotFound});
    const QByteArray nested = QByteArray("n/").repeated(10000);
    row("ten thousand nested levels: CWD", true, {"CWD " + nested}, {"550 \"" + nested + "\": Folder not found."});
    row("ten thousand nested levels: MKD", true, {"MKD " + nested}, {"450 Error creating folder."});
    row("ten thousand levels up: CWD", true, {"CWD " + QByteArray("../").repeated(10000)},
        {"550 \"" + QByteArray("../").repeated(10000) + "\": Not allowed."});

    // Bounce attempts and malformed addresses: the data connection goes to the client alone, on an
    // unprivileged port, and a refused PORT keeps no address for the next transfer.
    for (const char* argument :
         {"10,0,0,1,4,1", "127,0,0,2,4,1", "127,0,0,1,0,25", "127,0,0,1,4", "127,0,0,1,4,1,1", "127,0,0,1,256,1",
          "127,0,0,1,-1,1", "127,0,0,1,+4,1", "127,0,0,1,a,b", "127,0,0,1,4,1 ", "0x7f,0,0,1,4,1", ""})
        row(qPrintable(QByteArray("PORT ") + argument), true, {QByteArray("PORT ") + argument, "RETR file.txt"},
            {illegalPort, "150 Binary mode.\n425 The connection could not be opened."});

    // Garbage and over-long lines.
    QByteArray garbage;
    for (int c = 1; c < 256; ++c) {
        if (c != '\r' && c != '\n' && c != ' ')
            garbage.append(char(c));
    }
    row("binary garbage", true, {garbage, garbage.left(40) + ' ' + garbage},
        {"502 Unknown command.", "502 Unknown command."});
    row("Telnet bytes before ABOR", true,
        {"\xff\xf4\xff\xf2"
         "ABOR"},
        {"226 ABOR command OK."});
    row("lone CR and LF inside a line", true, {"NOOP\rDELE file.txt\nDELE file.txt"}, {"502 Unknown command."});
    row("line break injected into a reply", true, {"CWD evil\n421 Bye"}, {"550 \"evil 421 Bye\": Folder not found."});
    row("long line under the bound", true, {"SIZE " + QByteArray("x").repeated(60000)}, {fileNotFound});
    row("line over the bound", true, {"NOOP " + QByteArray("x").repeated(70000)}, {"500 Command line too long."}, true);
    row("no line end at all", true, {QByteArray("y").repeated(70000)}, {"500 Command line too long."}, true);
}

void TestHostileInput::hostileInput()
{
    QFETCH(bool, login);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, replies);
    QFETCH(bool, closes);
    QCOMPARE(lines.size(), replies.size());
    const QString base = m_base.path();
    const QByteArrayList before = Snapshot(base);

    FtpClient client;
    if (login)
        QVERIFY(client.Login(m_server->Port()));
    else
        QVERIFY(client.ConnectAndGreet(m_server->Port()).startsWith("220 "));
    int data = -1;
    QByteArray listed;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i] == "PASV") {
            DataSocket::Close(data);
            data = client.OpenPassive();
            QVERIFY(data >= 0);
            continue;
        }
        // A line the server refuses to read to its end may meet a closed connection.
        const bool sent = client.SendLine(lines[i]);
        QVERIFY(sent || closes);
        const QByteArrayList expected = replies[i].isEmpty() ? QByteArrayList() : replies[i].split('\n');
        QByteArrayList got;
        for (qsizetype r = 0; r < expected.size(); ++r) {
            got.append(client.ReadReply());
            if (got.last().startsWith("150 ") && data >= 0) {
                listed += DataSocket::ReadAll(data);
                DataSocket::Close(data);
                data = -1;
            }
        }
        QCOMPARE(got, expected);
    }
    DataSocket::Close(data);
    if (closes)
        QVERIFY(client.WaitForClose());
    else
        QCOMPARE(client.Command("NOOP"), login ? QByteArray("200 OK") : kLoginFirst);
    client.Close();

    // Nothing outside the root folder was listed, and nothing anywhere was written.
    for (const char* name : {"secret", "deep", "sibling", "passwd"})
        QVERIFY2(!listed.contains(name), listed.constData());
    QCOMPARE(Snapshot(base), before);
}

QTEST_GUILESS_MAIN(TestHostileInput)
#include "tst_hostile_input.moc"
