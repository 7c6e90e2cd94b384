// Catches: wrong login or verb replies, lines framed wrongly or run early after a refusal, stop, idle clients and ones
// that never read.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "server/FtpServer.h"

#include <QtTest>

#include <sys/prctl.h>
#include <sys/socket.h>

class TestSession : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void session();
    void limitsBeforeLogin();
};

void TestSession::session()
{
    TestTree tree; // the root, for listings
    CSettings::Values values = TestValues(tree.Base());
    values.WelcomeMSG = "100% sure %s %d %n";
    values.LogoffMSG = "See you %s";
    values.Username = "caf\xE9"; // names compare ignoring ASCII case only
    TestServer server(values);
    QCOMPARE(::prctl(PR_GET_DUMPABLE), 0); // it holds passwords: no other process of the user reads its memory
    server.Settings().SetDurations({.LoginFailureDelayMs = 100});
    FtpClient client, other, last, next, idle;
    QCOMPARE(client.ConnectAndGreet(server.Port()), QByteArray("220 100% sure %s %d %n"));
    for (const char* line : {"QUIT", "BYE", "NOOP", "CWD ..", "LIST", "RETR x", "STOR x", "PORT 127,0,0,1,4,1", "PASV",
                             "SIZE x", "DELE x", "RNFR x", "MKD x", "RMD x", " USER tester"})
        QVERIFY2(client.Command(line) == "530 Login to the server. Enter USER and PASS commands.", line);
    // Lines sent behind a refused password wait for its refusal: pipelined guesses gain nothing. The third wrong
    // password closes the connection; a login starts the count anew.
    CONVERSE(client, R"(
        USER | 331 Enter password.
        PASS Secret | 503 Enter te username USER first.
        USER CAF\xC9 | 331 Enter password.
        PASS Secret | 530 Login failed. Wrong username or/and password.
        USER caf\xE9 | 331 Enter password.
        PASS secret | 530 Login failed. Wrong username or/and password.
        USER caf\xE9 | 331 Enter password.
        PASS  Secret | 421 Too many wrong passwords.
        | <closed>
    )");
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
    CONVERSE(client, R"(
        USER anonymous | 331 Enter password.
        PASS Secret | 530 Login failed. Wrong username or/and password.
        user cAf\xE9 | 331 Enter password.
        pAsS Secret | 230 Login OK.
        PASS x | 530 Login failed. Wrong username or/and password.
        PWD | 257 "/" --> Current folder.
        USER x | 331 Enter password.
        PWD | 530 Login to the server. Enter USER and PASS commands.
        USER caf\xE9\r\nPASS bad\r\nNOOP\r\nPASS Secret\r\nPWD\r\n\c | 331 Enter password.
        | 530 Login failed. Wrong username or/and password.
        | 530 Login to the server. Enter USER and PASS commands.
        | 230 Login OK.
        | 257 "/" --> Current folder.
        TYPE  I | 200 Type:  I
        TYPE %s%n%d | 200 Type: %s%n%d
        TYPE a\rb\nc | 200 Type: a b c
        SYST | 215 Windows Tarvelo FTP Server v1.1b
        FEAT | 211 No features.
        HELP SITE | 214 No help.
        REIN | 220 Connection reset not supported.
        \xFF\xF4\xFF\xF2ABOR | 226 ABOR command OK.
        ABORT | 502 Unknown command.
        QUITX | 502 Unknown command.
        \x20NOOP | 502 Unknown command.
        NOOP\nX | 502 Unknown command.
        NOOP\r | 502 Unknown command.
        \r\n\r\nNOOP | 200 OK
    )");
    // A line just under the bound is a line (over many reads); beyond it the client is dropped.
    const QByteArray longLine(60000, 'x');
    QCOMPARE(client.Command("CWD " + longLine), "550 \"" + longLine + "\": Folder not found.");
    QVERIFY(other.ConnectAndGreet(server.Port()).startsWith("220 ") && other.SendRaw(QByteArray(70000, 'y')));
    CONVERSE(other, "| 500 Command line too long.\n| <closed>");
    CONVERSE(client, "bye | 221 See you %s\n| <closed>");
    const QByteArrayList lines = server.Monitor().Lines();
    QVERIFY(lines.lastIndexOf("Access denied: 127.0.0.1") < lines.lastIndexOf("User IN: 127.0.0.1"));
    // Hanging up during the pause gains nothing: the refusal is shown, and the address's next password waits for its
    // turn, right or not, so that the wait tells nothing. (From an address of its own, which no earlier pause holds.)
    server.Settings().SetDurations({.LoginFailureDelayMs = 2000});
    const auto sendPassword = [&server](FtpClient& c, const char* from, const QByteArray& pass) { // reply left unread
        return c.ConnectAndGreet(server.Port(), from).startsWith("220 ") &&
               c.Command("USER caf\xE9") == "331 Enter password." && c.SendLine(pass);
    };
    FtpClient quitter, patient;
    QVERIFY(sendPassword(quitter, "127.0.0.5", "PASS wrong"));
    quitter.Close();
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.5"), 1);
    QVERIFY(sendPassword(patient, "127.0.0.5", "PASS Secret") && patient.NoReplyWithin(1000));
    QCOMPARE(patient.ReadReply(), QByteArray("230 Login OK."));
    // A password refused after waiting for its turn brings one pause, not two: the right one after it is answered
    // when the refused one's 530 is.
    FtpClient first, second, third;
    QVERIFY(sendPassword(first, "127.0.0.6", "PASS wrong"));
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.6"), 1);
    QVERIFY(sendPassword(second, "127.0.0.6", "PASS wrong"));
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.6"), 2);
    QVERIFY(sendPassword(third, "127.0.0.6", "PASS Secret"));
    QCOMPARE(second.ReadReply(), QByteArray("530 Login failed. Wrong username or/and password."));
    QCOMPARE(third.ReadReply(1000), QByteArray("230 Login OK."));
    server.Settings().SetDurations({.LoginFailureDelayMs = 100});
    // A client that sends its last lines and closes its side still gets every reply, those of the lines held by
    // the pause after a refusal included.
    FtpClient halfClosed;
    QVERIFY(halfClosed.ConnectAndGreet(server.Port(), "127.0.0.7").startsWith("220 "));
    QVERIFY(halfClosed.SendRaw("USER caf\xE9\r\nPASS wrong\r\nUSER caf\xE9\r\nPASS Secret\r\nPWD\r\n"));
    halfClosed.ShutDownSending();
    CONVERSE(halfClosed, "| 331 Enter password.\n| 530 Login failed. Wrong username or/and password.\n"
                         "| 331 Enter password.\n| 230 Login OK.\n| 257 \"/\" --> Current folder.\n| <closed>");
    // Passwords from one address queue at most ten pauses: each one more is refused unchecked (the right one too) and
    // its client let go, so that a flood from a shared address cannot queue hours of turns.
    server.Settings().SetDurations({.LoginFailureDelayMs = 60000});
    FtpClient guesses[13];
    for (int i = 0; i < 13; ++i) {
        if (i == 11) // the ten passwords before are waiting (their threads took their turns) after a refused one
            QTRY_VERIFY(server.Engine().LoginWait("127.0.0.9") > 10 * 60000);
        QVERIFY(sendPassword(guesses[i], "127.0.0.9", i < 11 ? "PASS wrong" : "PASS Secret"));
        if (i >= 11)
            CONVERSE(guesses[i], "| 421 Too many login attempts. Try again later.\n| <closed>");
    }
    QVERIFY(guesses[10].NoReplyWithin(100));
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.9"), 3);
    server.Settings().SetDurations({.LoginFailureDelayMs = 100});
    // A named account without a password lets nobody in, and the server says so when it starts.
    server.Settings().Update([](CSettings::Values& v) { v.Password.clear(); });
    FtpClient noPassword;
    QVERIFY(sendPassword(noPassword, "127.0.0.8", "PASS"));
    QCOMPARE(noPassword.ReadReply(), QByteArray("530 Login failed. Wrong username or/and password."));
    QVERIFY(server.Stop() && server.Start());
    QCOMPARE(server.Monitor().CountLines("No password is set: nobody can log in as caf\xE9."), 1);

    server.Settings().Update([](CSettings::Values& v) { v.Username = "anonymous"; });
    QVERIFY(last.Login(server.Port(), "AnonYmous", "me@example.org"));
    last.Close(); // without QUIT: no logout line
    QVERIFY(server.WaitUntilIdle());
    for (const auto& [line, count] :
         {std::pair{"User arrived", 4}, {"User IN", 3}, {"Access denied", 6}, {"User OUT", 1}})
        QVERIFY2(server.Monitor().CountLines(line + QByteArray(": 127.0.0.1")) == count, line);

    QVERIFY(next.Login(server.Port(), "anonymous", "x"));
    // Stopping ends every client; started again, the server serves again.
    QVERIFY(server.Stop() && next.WaitForClose() && server.Start());
    server.Settings().SetDurations({.IdleTimeoutMs = 100});
    QVERIFY(idle.Connect(server.Port()));
    CONVERSE(idle, "| 220*\n| 426 Time out.\n| <closed>");
    // A client that never reads its replies holds no place past the idle time-out, though a reply waits.
    const int flood = DataSocket::Connect(server.Port()), smallBuffer = 4096;
    const timeval sendLimit = {10, 0};
    ::setsockopt(flood, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
    ::setsockopt(flood, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    (void)DataSocket::WriteAll(flood, QByteArray("NOOP\r\n").repeated(100000)); // fails once it is let go
    QVERIFY(server.WaitUntilIdle());
    DataSocket::Close(flood);
    // The idle limit ends silent clients only: one that sends NOOPs or browses more often than the limit stays.
    server.Settings().SetDurations({.IdleTimeoutMs = 300});
    FtpClient talking, browsing, silent;
    for (FtpClient* each : {&talking, &browsing, &silent})
        QVERIFY(each->Login(server.Port(), "anonymous", "x"));
    for (const QDeadlineTimer until(1200); !until.hasExpired();) {
        QTest::qWait(100);
        CONVERSE(talking, "NOOP | 200 OK");
        CONVERSE(browsing, "@pasv\nLIST | 150 ASCII mode. | 226 Transfer completed.\n@recv");
    }
    CONVERSE(silent, "| 426 Time out.\n| <closed>");
    CONVERSE(talking, "NOOP | 200 OK");
}

// Strangers cannot hold the places of the user limit, nor guess for ever: a login time limit, a share of the places
// per address before login, three wrong passwords per connection, and a ban of an address that failed ten times.
void TestSession::limitsBeforeLogin()
{
    CSettings::Values values = TestValues();
    values.MaxUsers = 6; // three places per address before login
    TestServer server(values);
    server.Settings().SetDurations({.LoginFailureDelayMs = 1, .LoginTimeLimitMs = 400, .BanMs = 600});
    // The limit runs from the arrival: a line sent a byte at a time does not extend it; a login ends it.
    FtpClient loggedIn, slow;
    QVERIFY(loggedIn.Login(server.Port()) && slow.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(slow.SendRaw("NO"));
    for (const char* part : {"O", "P", "\r\n"})
        QVERIFY(slow.NoReplyWithin(50) && slow.SendRaw(part));
    CONVERSE(slow,
             "| 530 Login to the server. Enter USER and PASS commands.\n| 421 Login time limit reached.\n| <closed>");
    CONVERSE(loggedIn, "NOOP | 200 OK");
    server.Settings().SetDurations({.LoginFailureDelayMs = 1, .BanMs = 600});

    // Three not logged in from one address, and no more, while the others have their places; a login gives its place
    // back. A full server's reply comes first.
    FtpClient waiting[3], other, refused, again, full;
    for (FtpClient& each : waiting)
        QVERIFY(each.ConnectAndGreet(server.Port(), "127.0.0.20").startsWith("220 "));
    QVERIFY(refused.Connect(server.Port(), "127.0.0.20"));
    CONVERSE(refused, "| 421 Too many connections from your address are not logged in.\n| <closed>");
    QVERIFY(other.Login(server.Port(), "tester", "Secret", "127.0.0.21"));
    CONVERSE(waiting[0], "USER tester | 331 Enter password.\nPASS Secret | 230 Login OK.");
    QTRY_COMPARE(server.Engine().ConnectedUsers(), 5);
    QVERIFY(again.ConnectAndGreet(server.Port(), "127.0.0.20").startsWith("220 "));
    QVERIFY(full.Connect(server.Port(), "127.0.0.20"));
    CONVERSE(full, "| 421 No more users are allowed.\n| <closed>");
    for (FtpClient* each : {&waiting[0], &waiting[1], &waiting[2], &other, &again, &loggedIn})
        each->Close();
    QVERIFY(server.WaitUntilIdle());

    // Ten failed logins from an address ban it: three wrong passwords close each connection, and a ban is told once.
    FtpClient guesser;
    for (int connection = 0; connection < 4; ++connection) {
        QVERIFY(guesser.ConnectAndGreet(server.Port(), "127.0.0.30").startsWith("220 "));
        QVERIFY(guesser.SendRaw(QByteArray("USER tester\r\nPASS wrong\r\n").repeated(connection < 3 ? 3 : 1)));
        CONVERSE(guesser, connection < 3
                              ? "| 331*\n| 530*\n| 331*\n| 530*\n| 331*\n| 421 Too many wrong passwords.\n| <closed>"
                              : "| 331*\n| 530 Login failed. Wrong username or/and password.");
        guesser.Close();
    }
    QTRY_COMPARE(server.Monitor().CountLines("Banned for 10 failed logins: 127.0.0.30"), 1);
    FtpClient banned, stranger;
    QVERIFY(banned.Connect(server.Port(), "127.0.0.30"));
    CONVERSE(banned, "| 421 Too many failed logins from your address. Try again later.\n| <closed>");
    QVERIFY(stranger.Login(server.Port(), "tester", "Secret", "127.0.0.31"));
    QTRY_VERIFY_WITH_TIMEOUT(FtpClient().Login(server.Port(), "tester", "Secret", "127.0.0.30"), 10000); // the ban ends
    QCOMPARE(server.Monitor().CountLines("Banned for 10 failed logins: 127.0.0.30"), 1);
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
