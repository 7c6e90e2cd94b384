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
    void verbReplies_data();
    void verbReplies();
    void fileCommands_data();
    void fileCommands();
    void rename_data();
    void rename();
    void renameRespectsPermissionAtRnto();
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
    const auto row = [](const char* name, const QByteArrayList& lines, const QByteArrayList& replies,
                        const QByteArrayList& monitor, const QByteArray& username = "tester",
                        const QByteArray& password = "Secret") {
        QTest::newRow(name) << username << password << lines << replies << monitor;
    };
    const QByteArrayList in = {"User IN: "}, denied = {"Access denied: "};
    row("PASS before USER", {"PASS Secret", "PWD"}, {noUser, kGate}, {});
    row("USER without a name", {"USER", "PASS Secret"}, {user, noUser}, {});
    row("name in other case", {"USER TeStEr", "PASS Secret", "PWD"}, {user, ok, root}, in);
    row("password in other case", {"USER tester", "PASS secret", "PWD"}, {user, kLoginFailed, kGate}, denied);
    row("wrong name", {"USER bob", "PASS Secret"}, {user, kLoginFailed}, denied);
    row("QUIT before login", {"QUIT", "BYE", "NOOP"}, {kGate, kGate, kGate}, {});
    row("wrong PASS after login stays in", {"USER tester", "PASS Secret", "PASS x", "PWD"},
        {user, ok, kLoginFailed, root}, in + denied);
    row("USER after login logs out", {"USER tester", "PASS Secret", "USER x", "PWD"}, {user, ok, user, kGate}, in);
    row("anonymous with any password", {"USER AnonYmous", "PASS me@example.org"}, {user, ok}, in, "anonymous");
    row("anonymous when another account is set", {"USER anonymous", "PASS Secret"}, {user, kLoginFailed}, denied);
    row("the password is the whole argument", {"USER tester", "PASS  Secret"}, {user, kLoginFailed}, denied);
    row("name compared ignoring ASCII case only", {"USER CAF\xC9", "PASS p"}, {user, kLoginFailed}, denied, "caf\xE9",
        "p");
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
    // Telnet interrupt and synch bytes in front, or any verb ending in the four letters, count as ABOR.
    for (const char* abor : {"ABOR",
                             "\xFF\xF4\xFF\xF2"
                             "ABOR",
                             "xabor"})
        QTest::newRow(abor) << QByteArray(abor) << QByteArray("226 ABOR command OK.");
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

void TestCommands::fileCommands_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArrayList>("gone"); // relative to the base folder
    QTest::addColumn<QByteArrayList>("made"); // folders
    const auto row = [](const char* name, const QByteArray& line, const QByteArray& reply,
                        const QByteArrayList& gone = {}, const QByteArrayList& made = {}) {
        QTest::addRow("%s %s", line.left(4).constData(), name) << line << reply << gone << made;
    };
    const QByteArray notAllowed = "550 Not allowed.";
    const QByteArray fileNotFound = "550 File not found.";
    const QByteArray folderNotFound = "550 Folder not found.";
    const QByteArray deleted = "250 File \"/docs/report.txt\" deleted.";
    const QByteArray exists = "550 Folder already exists.";
    const QByteArray mkdRefused = "550 Creating a folder is not allowed.";

    row("file", "SIZE Docs/A.txt", "213 5");
    row("file in other case", "SIZE /DOCS/a.TXT", "213 5");
    row("larger than 4 GiB", "SIZE big.bin", "213 5000000000");
    row("folder", "SIZE Docs", fileNotFound);
    row("missing", "SIZE nothing", fileNotFound);
    row("no argument", "SIZE", fileNotFound);
    row("outside", "SIZE ../share/secret.txt", notAllowed);

    row("mixed case", "DELE Docs/Report.TXT", deleted, {"Share/Docs/Report.TXT"});
    row("other case", "DELE \\docs\\REPORT.txt", deleted, {"Share/Docs/Report.TXT"});
    row("through a link inside", "DELE inlink/A.txt", "250 File \"/inlink/a.txt\" deleted.", {"Share/Docs/A.txt"});
    row("missing", "DELE Docs/none", fileNotFound);
    row("folder", "DELE Empty", fileNotFound);
    row("outside", "DELE ../share/secret.txt", notAllowed);
    row("link out", "DELE outfile", notAllowed);

    row("empty folder", "RMD empty", "250 Folder deleted.", {"Share/Empty"});
    row("not empty", "RMD Docs", "550 The folder is not empty.");
    row("no argument", "RMD", folderNotFound);
    row("missing", "RMD Nothing", folderNotFound);
    row("the root as .", "RMD .", notAllowed);
    row("the root by climbing", "RMD Empty/..", notAllowed);
    row("the root by name", "RMD ../Share", notAllowed);
    row("beside the root", "RMD ../Windows", notAllowed);
    row("a file", "RMD notes.txt", "450 Error deleting folder.");

    // 257 with the new folder's path, lower case as CWD shows it, an inner quote doubled.
    row("nested, parents missing", "MKD a/b/c", "257 \"/a/b/c\" Folder created.", {},
        {"Share/a", "Share/a/b", "Share/a/b/c"});
    row("nested below a mixed-case folder", "MKD \\docs\\New\\Deep", "257 \"/docs/new/deep\" Folder created.", {},
        {"Share/Docs/New/Deep"});
    row("keeps the spelling", "MKD MiXed", "257 \"/mixed\" Folder created.", {}, {"Share/MiXed"});
    row("a quote in the name", "MKD Say \"Hi\"", "257 \"/say \"\"hi\"\"\" Folder created.", {}, {"Share/Say \"Hi\""});
    row("existing folder in other case", "MKD DOCS", exists);
    row("existing file", "MKD notes.txt", exists);
    row("no argument", "MKD", "450 Error creating folder.");
    row("outside", "MKD ../Made", mkdRefused);
    row("through a link out", "MKD outlink/Made", mkdRefused);
}

void TestCommands::fileCommands()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArrayList, gone);
    QFETCH(QByteArrayList, made);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/big.bin"), ""));
    QVERIFY(::truncate(fixture.Path("Share/big.bin").constData(), 5000000000LL) == 0); // sparse
    QVERIFY(::mkdir(fixture.Path("Windows/Empty").constData(), 0755) == 0);
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command(line), reply);
    for (const QByteArray& path : gone)
        QVERIFY2(!fixture.Exists(path), path.constData());
    for (const QByteArray& path : made)
        QVERIFY2(PathExists(fixture.Path(path), true), path.constData());
    // Nothing else is touched, inside the root or beside it.
    for (const QByteArray& kept :
         QByteArrayList{"Share", "Share/Docs/A.txt", "Share/Docs/Report.TXT", "Share/notes.txt", "Share/Empty",
                        "Share/outfile", "Share/inlink", "share/secret.txt", "Windows/Empty"})
        QVERIFY2(gone.contains(kept) || fixture.Exists(kept), kept.constData());
    QVERIFY(!fixture.Exists("Made"));
    QVERIFY(!fixture.Exists("share/Made"));
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
    const auto row = [](const char* name, const QByteArrayList& lines, const QByteArrayList& replies,
                        const QByteArrayList& present,
                        const QByteArrayList& absent) { QTest::newRow(name) << lines << replies << present << absent; };
    row("RNTO without RNFR", {"RNTO x"}, {failed}, {}, {"Share/x"});
    row("file, new name keeps its spelling", {"RNFR notes.txt", "RNTO Docs/Moved.TXT"}, {fileOk, renamed},
        {"Share/Docs/Moved.TXT"}, {"Share/notes.txt"});
    row("change of case only", {"RNFR notes.txt", "RNTO NOTES.txt"}, {fileOk, renamed}, {"Share/NOTES.txt"},
        {"Share/notes.txt"});
    row("folder", {"RNFR docs", "RNTO Papers"}, {"350 Folder OK.", renamed}, {"Share/Papers/A.txt"}, {"Share/Docs"});
    row("onto an existing name", {"RNFR notes.txt", "RNTO docs/a.TXT"}, {fileOk, failed},
        {"Share/notes.txt", "Share/Docs/A.txt"}, {});
    row("into a missing folder", {"RNFR notes.txt", "RNTO Missing/n.txt"}, {fileOk, failed}, {"Share/notes.txt"},
        {"Share/Missing"});
    row("out of the root", {"RNFR notes.txt", "RNTO ../share/stolen.txt"}, {fileOk, notAllowed}, {"Share/notes.txt"},
        {"share/stolen.txt"});
    row("out of the root through a link", {"RNFR notes.txt", "RNTO outlink/stolen.txt"}, {fileOk, notAllowed},
        {"Share/notes.txt"}, {"share/stolen.txt"});
    row("refused RNFR keeps nothing", {"RNFR ../share/secret.txt", "RNTO taken.txt"}, {notAllowed, failed},
        {"share/secret.txt"}, {"Share/taken.txt"});
    row("refused RNFR forgets the earlier one", {"RNFR notes.txt", "RNFR ../Windows", "RNTO n2.txt"},
        {fileOk, notAllowed, failed}, {"Share/notes.txt", "Windows"}, {"Share/n2.txt"});
    row("missing RNFR forgets the earlier one", {"RNFR notes.txt", "RNFR nothing", "RNTO n2.txt"},
        {fileOk, "550 Folder not found.", failed}, {"Share/notes.txt"}, {"Share/n2.txt"});
    row("the root folder", {"RNFR .", "RNTO Elsewhere"}, {notAllowed, failed}, {"Share/Docs"}, {"Share/Elsewhere"});
    row("a folder into itself", {"RNFR Docs", "RNTO Docs/Inner"}, {"350 Folder OK.", failed}, {"Share/Docs/A.txt"}, {});
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
                         << QByteArray("550 Creating a folder is not allowed.")
                         << QByteArray("257 \"/fresh\" Folder created.");
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
        if (permission == "browse") {
            values.AllowDownloadFiles = on;
            values.AllowUploadFiles = 0;
        } else {
            SetPermission(values, permission, on);
        }
        TestServer server(values);
        FtpClient client;
        QVERIFY(client.Login(server.Port()));
        QCOMPARE(client.Command(line), on ? replyOn : replyOff);
    }
}

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
