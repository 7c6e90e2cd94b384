// The command interpreter over a real socket: the login, the verb table, the line splitting that
// needs the interpreter, and the commands on files and folders.

#include "FtpClient.h"
#include "TestServer.h"
#include "tst_virtual_paths_fixture.h"

#include "connection/VirtualPaths.h"

#include <QtTest>

namespace {

const QByteArray kGate = "530 Login to the server. Enter USER and PASS commands.";
const QByteArray kLoginFailed = "530 Login failed. Wrong username or/and password.";
const QByteArray kAddress = "127.0.0.1";

// Sends each line and collects one reply per line.
QByteArrayList Converse(FtpClient& client, const QByteArrayList& lines)
{
    QByteArrayList replies;
    for (const QByteArray& line : lines)
        replies.append(client.Command(line));
    return replies;
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void login_data();
    void login();
    void refusedPasswordIsAnsweredLateAndInOrder();
    void quitLogsOut();
    void lineSplitting_data();
    void lineSplitting();
    void aborSuffixCountsAsAbor();
    void verbReplies_data();
    void verbReplies();
    void size_data();
    void size();
    void deleteFile_data();
    void deleteFile();
    void rename_data();
    void rename();
    void renameRespectsPermissionAtRnto();
    void removeFolder_data();
    void removeFolder();
    void makeFolder_data();
    void makeFolder();
    void fileCommandPermissions_data();
    void fileCommandPermissions();
};

void TestCommands::login_data()
{
    QTest::addColumn<QByteArray>("username"); // configured
    QTest::addColumn<QByteArray>("password"); // configured
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QByteArrayList>("monitor"); // lines expected, each with the client's address

    const QByteArray ok = "230 Login OK.";
    const QByteArray user = "331 Enter password.";
    const QByteArray root = "257 \"/\" --> Current folder.";
    const QByteArray noUser = "503 Enter te username USER first.";
    QTest::newRow("PASS before USER") << QByteArray("tester") << QByteArray("Secret")
                                      << QByteArrayList{"PASS Secret", "PWD"} << QByteArrayList{noUser, kGate}
                                      << QByteArrayList{};
    QTest::newRow("USER without a name") << QByteArray("tester") << QByteArray("Secret")
                                         << QByteArrayList{"USER", "PASS Secret"} << QByteArrayList{user, noUser}
                                         << QByteArrayList{};
    QTest::newRow("name in other case") << QByteArray("tester") << QByteArray("Secret")
                                        << QByteArrayList{"USER TeStEr", "PASS Secret", "PWD"}
                                        << QByteArrayList{user, ok, root} << QByteArrayList{"User IN: "};
    QTest::newRow("password in other case")
        << QByteArray("tester") << QByteArray("Secret") << QByteArrayList{"USER tester", "PASS secret", "PWD"}
        << QByteArrayList{user, kLoginFailed, kGate} << QByteArrayList{"Access denied: "};
    QTest::newRow("wrong name") << QByteArray("tester") << QByteArray("Secret")
                                << QByteArrayList{"USER bob", "PASS Secret"} << QByteArrayList{user, kLoginFailed}
                                << QByteArrayList{"Access denied: "};
    QTest::newRow("QUIT before login") << QByteArray("tester") << QByteArray("Secret")
                                       << QByteArrayList{"QUIT", "BYE", "NOOP"} << QByteArrayList{kGate, kGate, kGate}
                                       << QByteArrayList{};
    QTest::newRow("wrong PASS after login stays in")
        << QByteArray("tester") << QByteArray("Secret") << QByteArrayList{"USER tester", "PASS Secret", "PASS x", "PWD"}
        << QByteArrayList{user, ok, kLoginFailed, root} << QByteArrayList{"User IN: ", "Access denied: "};
    QTest::newRow("USER after login logs out")
        << QByteArray("tester") << QByteArray("Secret") << QByteArrayList{"USER tester", "PASS Secret", "USER x", "PWD"}
        << QByteArrayList{user, ok, user, kGate} << QByteArrayList{"User IN: "};
    QTest::newRow("anonymous with any password")
        << QByteArray("anonymous") << QByteArray("Secret") << QByteArrayList{"USER AnonYmous", "PASS me@example.org"}
        << QByteArrayList{user, ok} << QByteArrayList{"User IN: "};
    QTest::newRow("anonymous when another account is set")
        << QByteArray("tester") << QByteArray("Secret") << QByteArrayList{"USER anonymous", "PASS Secret"}
        << QByteArrayList{user, kLoginFailed} << QByteArrayList{"Access denied: "};
    QTest::newRow("the password is the whole argument")
        << QByteArray("tester") << QByteArray("Secret") << QByteArrayList{"USER tester", "PASS  Secret"}
        << QByteArrayList{user, kLoginFailed} << QByteArrayList{"Access denied: "};
    QTest::newRow("name compared ignoring ASCII case only")
        << QByteArray("caf\xE9") << QByteArray("p") << QByteArrayList{"USER CAF\xC9", "PASS p"}
        << QByteArrayList{user, kLoginFailed} << QByteArrayList{"Access denied: "};
}

void TestCommands::login()
{
    QFETCH(QByteArray, username);
    QFETCH(QByteArray, password);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, replies);
    QFETCH(QByteArrayList, monitor);
    CSettings::Values values = TestValues();
    values.Username = username;
    values.Password = password;
    TestServer server(values);
    FtpClient client;
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    QCOMPARE(Converse(client, lines), replies);
    // The connection stays open after every refusal.
    QCOMPARE(client.Command("USER x"), QByteArray("331 Enter password."));
    for (const QByteArray& line : monitor)
        QVERIFY2(server.Monitor().WaitForLine(line + kAddress), line.constData());
    for (const QByteArray& line : {QByteArray("User IN: "), QByteArray("Access denied: ")})
        QCOMPARE(server.Monitor().CountLines(line + kAddress), int(monitor.count(line)));
}

void TestCommands::refusedPasswordIsAnsweredLateAndInOrder()
{
    // Lines sent behind a refused password wait for its refusal, so pipelined guesses gain nothing.
    TestServer server(TestValues());
    FtpClient client;
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(client.SendRaw("USER tester\r\nPASS bad\r\nNOOP\r\nPASS Secret\r\nPWD\r\n"));
    QByteArrayList replies;
    for (int i = 0; i < 5; ++i)
        replies.append(client.ReadReply());
    QCOMPARE(replies, (QByteArrayList{"331 Enter password.", kLoginFailed, kGate, "230 Login OK.",
                                      "257 \"/\" --> Current folder."}));
    QVERIFY(server.Monitor().WaitForLine("User IN: " + kAddress));
    const QByteArrayList lines = server.Monitor().Lines();
    QVERIFY(lines.indexOf("Access denied: " + kAddress) < lines.indexOf("User IN: " + kAddress));
}

void TestCommands::quitLogsOut()
{
    CSettings::Values values = TestValues();
    values.LogoffMSG = "See you %s";
    TestServer server(values);
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("bye"), QByteArray("221 See you %s"));
    QVERIFY(client.WaitForClose());
    QVERIFY(server.Monitor().WaitForLine("User OUT: " + kAddress));
    QVERIFY(server.WaitUntilIdle());
}

void TestCommands::lineSplitting_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArrayList>("replies");

    QTest::newRow("lower-case verbs") << false << QByteArray("user tester\r\npAsS Secret\r\nnoop\r\n")
                                      << QByteArrayList{"331 Enter password.", "230 Login OK.", "200 OK"};
    QTest::newRow("leading space before login") << false << QByteArray(" USER tester\r\n") << QByteArrayList{kGate};
    QTest::newRow("leading space after login")
        << true << QByteArray(" NOOP\r\n") << QByteArrayList{"502 Unknown command."};
    QTest::newRow("two spaces keep the second") << true << QByteArray("TYPE  I\r\n") << QByteArrayList{"200 Type:  I"};
    QTest::newRow("lone LF stays in the line")
        << true << QByteArray("NOOP\n\r\nNOOP\r\n") << QByteArrayList{"502 Unknown command.", "200 OK"};
    QTest::newRow("lone CR stays in the line")
        << true << QByteArray("NOOP\r\r\n") << QByteArrayList{"502 Unknown command."};
}

void TestCommands::lineSplitting()
{
    QFETCH(bool, loggedIn);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArrayList, replies);
    TestServer server(TestValues());
    FtpClient client;
    if (loggedIn)
        QVERIFY(client.Login(server.Port()));
    else
        QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(client.SendRaw(bytes));
    QByteArrayList received;
    for (qsizetype i = 0; i < replies.size(); ++i)
        received.append(client.ReadReply());
    QCOMPARE(received, replies);
}

void TestCommands::aborSuffixCountsAsAbor()
{
    TestServer server(TestValues());
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    const QByteArray abor = client.Command("ABOR");
    QCOMPARE(abor, QByteArray("226 ABOR command OK."));
    // Telnet interrupt and synch bytes in front, or any verb ending in the four letters.
    QCOMPARE(client.Command("\xFF\xF4\xFF\xF2"
                            "ABOR"),
             abor);
    QCOMPARE(client.Command("xabor"), abor);
}

void TestCommands::verbReplies_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("TYPE A") << QByteArray("TYPE A") << QByteArray("200 Type: A");
    QTest::newRow("TYPE I") << QByteArray("type I") << QByteArray("200 Type: I");
    QTest::newRow("TYPE is not a format") << QByteArray("TYPE %s%n%d") << QByteArray("200 Type: %s%n%d");
    QTest::newRow("TYPE with a lone CR and LF") << QByteArray("TYPE a\rb\nc") << QByteArray("200 Type: a b c");
    QTest::newRow("PWD") << QByteArray("PWD") << QByteArray("257 \"/\" --> Current folder.");
    QTest::newRow("SYST") << QByteArray("SYST") << QByteArray("215 Windows Tarvelo FTP Server v1.1b");
    QTest::newRow("NOOP") << QByteArray("NOOP") << QByteArray("200 OK");
    QTest::newRow("FEAT") << QByteArray("FEAT") << QByteArray("211 No features.");
    QTest::newRow("HELP") << QByteArray("HELP") << QByteArray("214 No help.");
    QTest::newRow("HELP SITE") << QByteArray("HELP SITE") << QByteArray("214 No help.");
    QTest::newRow("REIN") << QByteArray("REIN") << QByteArray("220 Connection reset not supported.");
    for (const char* verb : {"XPWD", "NLST", "APPE", "MDTM", "SITE CHMOD 777 x", "OPTS UTF8 ON", "ABORT", "QUITX"})
        QTest::newRow(verb) << QByteArray(verb) << QByteArray("502 Unknown command.");
}

void TestCommands::verbReplies()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, reply);
    TestServer server(TestValues());
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command(line), reply);
    // Nothing else changed: still logged in, still at the root.
    QCOMPARE(client.Command("PWD"), QByteArray("257 \"/\" --> Current folder."));
}

void TestCommands::size_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("file") << QByteArray("Docs/A.txt") << QByteArray("213 5");
    QTest::newRow("file in other case") << QByteArray("/DOCS/a.TXT") << QByteArray("213 5");
    QTest::newRow("larger than 4 GiB") << QByteArray("big.bin") << QByteArray("213 5000000000");
    QTest::newRow("folder") << QByteArray("Docs") << QByteArray("550 File not found.");
    QTest::newRow("missing") << QByteArray("nothing") << QByteArray("550 File not found.");
    QTest::newRow("no argument") << QByteArray() << QByteArray("550 File not found.");
    QTest::newRow("outside") << QByteArray("../share/secret.txt") << QByteArray("550 Not allowed.");
}

void TestCommands::size()
{
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, reply);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/big.bin"), ""));
    QVERIFY(::truncate(fixture.Path("Share/big.bin").constData(), 5000000000LL) == 0); // sparse
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command(("SIZE " + argument).trimmed()), reply);
}

void TestCommands::deleteFile_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("gone"); // relative to the base folder; empty: nothing is removed
    QTest::newRow("mixed case") << QByteArray("Docs/Report.TXT") << QByteArray("250 File \"/docs/report.txt\" deleted.")
                                << QByteArray("Share/Docs/Report.TXT");
    QTest::newRow("other case") << QByteArray("\\docs\\REPORT.txt")
                                << QByteArray("250 File \"/docs/report.txt\" deleted.")
                                << QByteArray("Share/Docs/Report.TXT");
    QTest::newRow("through a link inside")
        << QByteArray("inlink/A.txt") << QByteArray("250 File \"/inlink/a.txt\" deleted.")
        << QByteArray("Share/Docs/A.txt");
    QTest::newRow("missing") << QByteArray("Docs/none") << QByteArray("550 File not found.") << QByteArray();
    QTest::newRow("folder") << QByteArray("Empty") << QByteArray("550 File not found.") << QByteArray();
    QTest::newRow("outside") << QByteArray("../share/secret.txt") << QByteArray("550 Not allowed.") << QByteArray();
    QTest::newRow("link out") << QByteArray("outfile") << QByteArray("550 Not allowed.") << QByteArray();
}

void TestCommands::deleteFile()
{
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, gone);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("DELE " + argument), reply);
    if (!gone.isEmpty())
        QVERIFY(!fixture.Exists(gone));
    for (const char* kept : {"share/secret.txt", "Share/Empty", "Share/outfile", "Share/inlink"})
        QVERIFY2(fixture.Exists(kept), kept);
}

void TestCommands::rename_data()
{
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QByteArrayList>("present"); // relative to the base folder, afterwards
    QTest::addColumn<QByteArrayList>("absent");

    const QByteArray fileOk = "350 File OK.";
    const QByteArray renamed = "250 File renamed.";
    const QByteArray failed = "450 Error renaming file.";
    const QByteArray notAllowed = "550 Not allowed.";
    QTest::newRow("RNTO without RNFR") << QByteArrayList{"RNTO x"} << QByteArrayList{failed} << QByteArrayList{}
                                       << QByteArrayList{"Share/x"};
    QTest::newRow("file, new name keeps its spelling")
        << QByteArrayList{"RNFR notes.txt", "RNTO Docs/Moved.TXT"} << QByteArrayList{fileOk, renamed}
        << QByteArrayList{"Share/Docs/Moved.TXT"} << QByteArrayList{"Share/notes.txt"};
    QTest::newRow("change of case only") << QByteArrayList{"RNFR notes.txt", "RNTO NOTES.txt"}
                                         << QByteArrayList{fileOk, renamed} << QByteArrayList{"Share/NOTES.txt"}
                                         << QByteArrayList{"Share/notes.txt"};
    QTest::newRow("folder") << QByteArrayList{"RNFR docs", "RNTO Papers"} << QByteArrayList{"350 Folder OK.", renamed}
                            << QByteArrayList{"Share/Papers/A.txt"} << QByteArrayList{"Share/Docs"};
    QTest::newRow("onto an existing name")
        << QByteArrayList{"RNFR notes.txt", "RNTO docs/a.TXT"} << QByteArrayList{fileOk, failed}
        << QByteArrayList{"Share/notes.txt", "Share/Docs/A.txt"} << QByteArrayList{};
    QTest::newRow("into a missing folder")
        << QByteArrayList{"RNFR notes.txt", "RNTO Missing/n.txt"} << QByteArrayList{fileOk, failed}
        << QByteArrayList{"Share/notes.txt"} << QByteArrayList{"Share/Missing"};
    QTest::newRow("out of the root") << QByteArrayList{"RNFR notes.txt", "RNTO ../share/stolen.txt"}
                                     << QByteArrayList{fileOk, notAllowed} << QByteArrayList{"Share/notes.txt"}
                                     << QByteArrayList{"share/stolen.txt"};
    QTest::newRow("out of the root through a link")
        << QByteArrayList{"RNFR notes.txt", "RNTO outlink/stolen.txt"} << QByteArrayList{fileOk, notAllowed}
        << QByteArrayList{"Share/notes.txt"} << QByteArrayList{"share/stolen.txt"};
    QTest::newRow("refused RNFR keeps nothing")
        << QByteArrayList{"RNFR ../share/secret.txt", "RNTO taken.txt"} << QByteArrayList{notAllowed, failed}
        << QByteArrayList{"share/secret.txt"} << QByteArrayList{"Share/taken.txt"};
    QTest::newRow("refused RNFR forgets the earlier one")
        << QByteArrayList{"RNFR notes.txt", "RNFR ../Windows", "RNTO n2.txt"}
        << QByteArrayList{fileOk, notAllowed, failed} << QByteArrayList{"Share/notes.txt", "Windows"}
        << QByteArrayList{"Share/n2.txt"};
    QTest::newRow("missing RNFR forgets the earlier one")
        << QByteArrayList{"RNFR notes.txt", "RNFR nothing", "RNTO n2.txt"}
        << QByteArrayList{fileOk, "550 Folder not found.", failed} << QByteArrayList{"Share/notes.txt"}
        << QByteArrayList{"Share/n2.txt"};
    QTest::newRow("the root folder") << QByteArrayList{"RNFR .", "RNTO Elsewhere"} << QByteArrayList{notAllowed, failed}
                                     << QByteArrayList{"Share/Docs"} << QByteArrayList{"Share/Elsewhere"};
    QTest::newRow("a folder into itself")
        << QByteArrayList{"RNFR Docs", "RNTO Docs/Inner"} << QByteArrayList{"350 Folder OK.", failed}
        << QByteArrayList{"Share/Docs/A.txt"} << QByteArrayList{};
}

void TestCommands::rename()
{
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArrayList, replies);
    QFETCH(QByteArrayList, present);
    QFETCH(QByteArrayList, absent);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(Converse(client, lines), replies);
    for (const QByteArray& path : present)
        QVERIFY2(fixture.Exists(path), path.constData());
    for (const QByteArray& path : absent)
        QVERIFY2(!fixture.Exists(path), path.constData());
}

void TestCommands::renameRespectsPermissionAtRnto()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("RNFR notes.txt"), QByteArray("350 File OK."));
    server.Settings().Update([](CSettings::Values& v) { v.AllowRenameFiles = 0; });
    QCOMPARE(client.Command("RNTO other.txt"), QByteArray("550 Not allowed."));
    QVERIFY(fixture.Exists("Share/notes.txt"));
    QVERIFY(!fixture.Exists("Share/other.txt"));
}

void TestCommands::removeFolder_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("gone");
    QTest::newRow("empty folder") << QByteArray("empty") << QByteArray("250 Folder deleted.")
                                  << QByteArray("Share/Empty");
    QTest::newRow("not empty") << QByteArray("Docs") << QByteArray("550 The folder is not empty.") << QByteArray();
    QTest::newRow("no argument") << QByteArray() << QByteArray("550 Folder not found.") << QByteArray();
    QTest::newRow("missing") << QByteArray("Nothing") << QByteArray("550 Folder not found.") << QByteArray();
    QTest::newRow("the root as .") << QByteArray(".") << QByteArray("550 Not allowed.") << QByteArray();
    QTest::newRow("the root by climbing") << QByteArray("Empty/..") << QByteArray("550 Not allowed.") << QByteArray();
    QTest::newRow("the root by name") << QByteArray("../Share") << QByteArray("550 Not allowed.") << QByteArray();
    QTest::newRow("beside the root") << QByteArray("../Windows") << QByteArray("550 Not allowed.") << QByteArray();
    QTest::newRow("a file") << QByteArray("notes.txt") << QByteArray("450 Error deleting folder.") << QByteArray();
}

void TestCommands::removeFolder()
{
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, gone);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(::mkdir(fixture.Path("Windows/Empty").constData(), 0755) == 0);
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command(("RMD " + argument).trimmed()), reply);
    if (!gone.isEmpty())
        QVERIFY(!fixture.Exists(gone));
    for (const char* kept : {"Share", "Share/Docs/A.txt", "Share/notes.txt", "Windows/Empty"})
        QVERIFY2(fixture.Exists(kept), kept);
}

void TestCommands::makeFolder_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArrayList>("made");
    const QByteArray created = "250 Folder created.";
    QTest::newRow("nested, parents missing")
        << QByteArray("a/b/c") << created << QByteArrayList{"Share/a", "Share/a/b", "Share/a/b/c"};
    QTest::newRow("nested below a mixed-case folder")
        << QByteArray("\\docs\\New\\Deep") << created << QByteArrayList{"Share/Docs/New/Deep"};
    QTest::newRow("keeps the spelling") << QByteArray("MiXed") << created << QByteArrayList{"Share/MiXed"};
    QTest::newRow("existing folder in other case")
        << QByteArray("DOCS") << QByteArray("550 Folder already exists.") << QByteArrayList{};
    QTest::newRow("existing file") << QByteArray("notes.txt") << QByteArray("550 Folder already exists.")
                                   << QByteArrayList{};
    QTest::newRow("no argument") << QByteArray() << QByteArray("450 Error creating folder.") << QByteArrayList{};
    QTest::newRow("outside") << QByteArray("../Made") << QByteArray("550 Creating a folder is not allowed.")
                             << QByteArrayList{};
    QTest::newRow("through a link out") << QByteArray("outlink/Made")
                                        << QByteArray("550 Creating a folder is not allowed.") << QByteArrayList{};
}

void TestCommands::makeFolder()
{
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArrayList, made);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command(("MKD " + argument).trimmed()), reply);
    for (const QByteArray& path : made)
        QVERIFY2(PathExists(fixture.Path(path), true), path.constData());
    QVERIFY(!fixture.Exists("Made"));
    QVERIFY(!fixture.Exists("share/Made"));
}

void TestCommands::fileCommandPermissions_data()
{
    QTest::addColumn<QByteArray>("permission");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("replyOff");
    QTest::addColumn<QByteArray>("replyOn");
    const QByteArray notAllowed = "550 Not allowed.";
    QTest::newRow("SIZE") << QByteArray("AllowDownloadFiles") << QByteArray("SIZE notes.txt") << notAllowed
                          << QByteArray("213 5");
    QTest::newRow("DELE") << QByteArray("AllowDeleteFiles") << QByteArray("DELE notes.txt") << notAllowed
                          << QByteArray("250 File \"/notes.txt\" deleted.");
    QTest::newRow("RNFR file") << QByteArray("AllowRenameFiles") << QByteArray("RNFR notes.txt") << notAllowed
                               << QByteArray("350 File OK.");
    QTest::newRow("RNFR folder") << QByteArray("AllowRenameFiles") << QByteArray("RNFR Docs") << notAllowed
                                 << QByteArray("350 Folder OK.");
    QTest::newRow("RMD") << QByteArray("AllowDeleteFiles") << QByteArray("RMD Empty") << notAllowed
                         << QByteArray("250 Folder deleted.");
    QTest::newRow("MKD") << QByteArray("AllowCreateFolders") << QByteArray("MKD Fresh")
                         << QByteArray("550 Creating a folder is not allowed.") << QByteArray("250 Folder created.");
    QTest::newRow("CWD") << QByteArray("browse") << QByteArray("CWD /") << QByteArray("550 \"/\": Not allowed.")
                         << QByteArray("250 \"/\" --> Current folder.");
}

void TestCommands::fileCommandPermissions()
{
    QFETCH(QByteArray, permission);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, replyOff);
    QFETCH(QByteArray, replyOn);
    for (int on : {0, 1}) {
        PathFixture fixture;
        QVERIFY(fixture.IsValid());
        CSettings::Values values = TestValues(fixture.root);
        if (permission == "AllowDownloadFiles") {
            values.AllowDownloadFiles = on;
        } else if (permission == "AllowDeleteFiles") {
            values.AllowDeleteFiles = on;
        } else if (permission == "AllowRenameFiles") {
            values.AllowRenameFiles = on;
        } else if (permission == "AllowCreateFolders") {
            values.AllowCreateFolders = on;
        } else {
            values.AllowDownloadFiles = on;
            values.AllowUploadFiles = 0;
        }
        TestServer server(values);
        FtpClient client;
        QVERIFY(client.Login(server.Port()));
        QCOMPARE(client.Command(line), on ? replyOn : replyOff);
    }
}

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
