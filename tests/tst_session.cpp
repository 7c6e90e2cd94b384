// Catches: wrong login or verb replies, lines framed wrongly or run early after a refusal, stop, idle clients and ones
// that never read, and strangers holding places or guessing passwords for ever.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "server/FtpServer.h"

#include <QtTest>

#include <sys/prctl.h>
#include <sys/socket.h>

namespace {

// An account whose name compares ignoring ASCII case only, and texts that printf would misread.
CSettings::Values SessionValues(const QByteArray& root = "/nonexistent-root")
{
    CSettings::Values values = TestValues(root);
    values.WelcomeMSG = "100% sure %s %d %n";
    values.LogoffMSG = "See you %s";
    values.Username = "caf\xE9";
    return values;
}

// Sends USER and the password line, leaving the password's reply unread.
bool SendPassword(FtpClient& client, quint16 port, const char* from, const QByteArray& pass)
{
    return client.ConnectAndGreet(port, from).startsWith("220 ") &&
           client.Command("USER caf\xE9") == "331 Enter password." && client.SendLine(pass);
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void notDumpable();
    void commandsBeforeLogin();
    void wrongPasswords();
    void loginAndVerbs();
    void longLines();
    void hangUpDuringPause();
    void onePauseNotTwo();
    void halfClosedClientAnswered();
    void pausesQueueBounded();
    void accountWithoutPassword();
    void monitorLines();
    void stopEndsClients();
    void idleLimit();
    void loginTimeLimit();
    void capPerAddressBeforeLogin();
    void banAfterTenFailedLogins();
};

// It holds passwords: no other process of the user reads its memory.
void TestSession::notDumpable()
{
    TestServer server(SessionValues());
    QCOMPARE(::prctl(PR_GET_DUMPABLE), 0);
}

void TestSession::commandsBeforeLogin()
{
    TestServer server(SessionValues());
    FtpClient client;
    QCOMPARE(client.ConnectAndGreet(server.Port()), QByteArray("220 100% sure %s %d %n"));
    for (const char* line : {"QUIT", "BYE", "NOOP", "CWD ..", "LIST", "RETR x", "STOR x", "PORT 127,0,0,1,4,1", "PASV",
                             "SIZE x", "DELE x", "RNFR x", "MKD x", "RMD x", " USER tester"})
        QVERIFY2(client.Command(line) == "530 Login to the server. Enter USER and PASS commands.", line);
}

// Lines sent behind a refused password wait for its refusal: pipelined guesses gain nothing. The third wrong password
// closes the connection; a login starts the count anew.
void TestSession::wrongPasswords()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 100});
    FtpClient client;
    QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
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
        USER caf\xE9 | 331 Enter password.
        PASS bad | 530 Login failed. Wrong username or/and password.
        USER caf\xE9 | 331 Enter password.
        PASS bad | 530 Login failed. Wrong username or/and password.
        USER caf\xE9 | 331 Enter password.
        PASS Secret | 230 Login OK.
        USER caf\xE9 | 331 Enter password.
        PASS bad | 530 Login failed. Wrong username or/and password.
        USER caf\xE9 | 331 Enter password.
        PASS bad | 530 Login failed. Wrong username or/and password.
    )");
}

void TestSession::loginAndVerbs()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 100});
    FtpClient client;
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
        bye | 221 See you %s
        | <closed>
    )");
}

// A line just under the bound is a line (over many reads); beyond it the client is dropped.
void TestSession::longLines()
{
    TestServer server(SessionValues());
    FtpClient client, other;
    QVERIFY(client.Login(server.Port(), "caf\xE9"));
    const QByteArray longLine(60000, 'x');
    QCOMPARE(client.Command("CWD " + longLine), "550 \"" + longLine + "\": Folder not found.");
    QVERIFY(other.ConnectAndGreet(server.Port()).startsWith("220 ") && other.SendRaw(QByteArray(70000, 'y')));
    CONVERSE(other, "| 500 Command line too long.\n| <closed>");
}

// Hanging up during the pause gains nothing: the refusal is shown, and the address's next password waits for its
// turn, right or not, so that the wait tells nothing.
void TestSession::hangUpDuringPause()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 2000});
    FtpClient quitter, patient;
    QElapsedTimer sinceRefused; // started before the refusal, so its pause ends 2 s after this at the earliest
    sinceRefused.start();
    QVERIFY(SendPassword(quitter, server.Port(), nullptr, "PASS wrong"));
    quitter.Close();
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.1"), 1);
    QVERIFY(SendPassword(patient, server.Port(), nullptr, "PASS Secret"));
    QCOMPARE(patient.ReadReply(), QByteArray("230 Login OK."));
    QVERIFY2(sinceRefused.elapsed() >= 1900, QByteArray::number(sinceRefused.elapsed())); // timers may end a bit early
}

// A password refused after waiting for its turn brings one pause, not two: the right one after it is answered when
// the refused one's 530 is.
void TestSession::onePauseNotTwo()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 2000});
    FtpClient first, second, third;
    QVERIFY(SendPassword(first, server.Port(), nullptr, "PASS wrong"));
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.1"), 1);
    QVERIFY(SendPassword(second, server.Port(), nullptr, "PASS wrong"));
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.1"), 2);
    QVERIFY(SendPassword(third, server.Port(), nullptr, "PASS Secret"));
    QCOMPARE(second.ReadReply(), QByteArray("530 Login failed. Wrong username or/and password."));
    QCOMPARE(third.ReadReply(1000), QByteArray("230 Login OK."));
}

// A client that sends its last lines and closes its side still gets every reply, those of the lines held by the
// pause after a refusal included.
void TestSession::halfClosedClientAnswered()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 100});
    FtpClient halfClosed;
    QVERIFY(halfClosed.ConnectAndGreet(server.Port()).startsWith("220 "));
    QVERIFY(halfClosed.SendRaw("USER caf\xE9\r\nPASS wrong\r\nUSER caf\xE9\r\nPASS Secret\r\nPWD\r\n"));
    halfClosed.ShutDownSending();
    CONVERSE(halfClosed, "| 331 Enter password.\n| 530 Login failed. Wrong username or/and password.\n"
                         "| 331 Enter password.\n| 230 Login OK.\n| 257 \"/\" --> Current folder.\n| <closed>");
}

// Passwords from one address queue at most ten pauses: each one more is refused unchecked (the right one too) and
// its client let go, so that a flood from a shared address cannot queue hours of turns.
void TestSession::pausesQueueBounded()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 60000});
    FtpClient guesses[13];
    for (int i = 0; i < 13; ++i) {
        if (i == 11) // the ten passwords before are waiting (their threads took their turns) after a refused one
            QTRY_VERIFY(server.Engine().LoginWait("127.0.0.1") > 10 * 60000);
        QVERIFY(SendPassword(guesses[i], server.Port(), nullptr, i < 11 ? "PASS wrong" : "PASS Secret"));
        if (i >= 11)
            CONVERSE(guesses[i], "| 421 Too many login attempts. Try again later.\n| <closed>");
    }
    QTRY_COMPARE(server.Monitor().CountLines("Access denied: 127.0.0.1"), 3);
}

// A named account without a password lets nobody in, and the server says so when it starts.
void TestSession::accountWithoutPassword()
{
    CSettings::Values values = SessionValues();
    values.Password.clear();
    TestServer server(values);
    server.Settings().SetDurations({.LoginFailureDelayMs = 1});
    FtpClient client;
    QVERIFY(SendPassword(client, server.Port(), nullptr, "PASS"));
    QCOMPARE(client.ReadReply(), QByteArray("530 Login failed. Wrong username or/and password."));
    QCOMPARE(server.Monitor().CountLines("No password is set: nobody can log in as caf\xE9."), 1);
}

// Each arrival, refusal and login is a line, a refusal shown before the login that follows it; a client gone without
// QUIT has no logout line.
void TestSession::monitorLines()
{
    TestServer server(SessionValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 1});
    FtpClient quitting, leaving;
    QVERIFY(quitting.ConnectAndGreet(server.Port()).startsWith("220 "));
    CONVERSE(quitting,
             "USER caf\xE9\\r\\nPASS x\\r\\nUSER caf\xE9\\r\\nPASS Secret | 331* | 530* | 331* | 230*\nQUIT | 221*");
    QVERIFY(leaving.Login(server.Port(), "CAF\xE9") && (leaving.Close(), server.WaitUntilIdle()));
    const QByteArrayList lines = server.Monitor().Lines();
    QVERIFY(lines.indexOf("Access denied: 127.0.0.1") < lines.indexOf("User IN: 127.0.0.1"));
    for (const auto& [line, count] :
         {std::pair{"User arrived", 2}, {"User IN", 2}, {"Access denied", 1}, {"User OUT", 1}})
        QVERIFY2(server.Monitor().CountLines(line + QByteArray(": 127.0.0.1")) == count, line);
}

// Stopping ends every client; started again, the server serves again.
void TestSession::stopEndsClients()
{
    TestServer server(SessionValues());
    FtpClient before, after;
    QVERIFY(before.Login(server.Port(), "caf\xE9"));
    QVERIFY(server.Stop() && before.WaitForClose() && server.Start());
    QVERIFY(after.Login(server.Port(), "caf\xE9"));
}

// The idle limit ends silent clients only: one that sends NOOPs or browses more often than the limit stays. A client
// that never reads its replies holds no place past it, though a reply waits.
void TestSession::idleLimit()
{
    TestTree tree;
    TestServer server(SessionValues(tree.Base()));
    server.Settings().SetDurations({.IdleTimeoutMs = 100});
    FtpClient idle;
    QVERIFY(idle.Connect(server.Port()));
    CONVERSE(idle, "| 220*\n| 426 Time out.\n| <closed>");
    const int flood = DataSocket::Connect(server.Port()), smallBuffer = 4096;
    const timeval sendLimit = {10, 0};
    ::setsockopt(flood, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
    ::setsockopt(flood, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    (void)DataSocket::WriteAll(flood, QByteArray("NOOP\r\n").repeated(100000)); // fails once it is let go
    QVERIFY(server.WaitUntilIdle());
    DataSocket::Close(flood);
    server.Settings().SetDurations({.IdleTimeoutMs = 300});
    FtpClient talking, browsing, silent;
    for (FtpClient* each : {&talking, &browsing, &silent})
        QVERIFY(each->Login(server.Port(), "caf\xE9"));
    for (const QDeadlineTimer until(1200); !until.hasExpired();) {
        QTest::qWait(100);
        CONVERSE(talking, "NOOP | 200 OK");
        CONVERSE(browsing, "@pasv\nLIST | 150 ASCII mode. | 226 Transfer completed.\n@recv");
    }
    CONVERSE(silent, "| 426 Time out.\n| <closed>");
    CONVERSE(talking, "NOOP | 200 OK");
}

// Strangers cannot hold the places of the user limit for long: the limit runs from the arrival, a line sent a byte
// at a time does not extend it, and a login ends it.
void TestSession::loginTimeLimit()
{
    TestServer server(TestValues());
    server.Settings().SetDurations({.LoginTimeLimitMs = 400});
    FtpClient loggedIn, slow;
    QVERIFY(loggedIn.Login(server.Port()) && slow.ConnectAndGreet(server.Port()).startsWith("220 "));
    for (const char* part : {"NO", "O", "P", "\r\n"}) {
        QTest::qWait(50);
        QVERIFY(slow.SendRaw(part));
    }
    CONVERSE(slow,
             "| 530 Login to the server. Enter USER and PASS commands.\n| 421 Login time limit reached.\n| <closed>");
    NOTHING_MORE(server, loggedIn);
}

// Half of the user limit's places, and no more, for the clients of one address not logged in, while the others have
// their places; a login gives its place back. A full server's reply comes first.
void TestSession::capPerAddressBeforeLogin()
{
    CSettings::Values values = TestValues();
    values.MaxUsers = 6;
    TestServer server(values);
    FtpClient waiting[3], other, refused, again, full;
    for (FtpClient& each : waiting)
        QVERIFY(each.ConnectAndGreet(server.Port(), "127.0.0.20").startsWith("220 "));
    QVERIFY(refused.Connect(server.Port(), "127.0.0.20"));
    CONVERSE(refused, "| 421 Too many connections from your address are not logged in.\n| <closed>");
    QVERIFY(other.Login(server.Port(), "tester", "Secret", "127.0.0.21"));
    CONVERSE(waiting[0], "USER tester | 331 Enter password.\nPASS Secret | 230 Login OK.");
    QTRY_COMPARE(server.Engine().ConnectedUsers(), 4);
    QVERIFY(again.ConnectAndGreet(server.Port(), "127.0.0.20").startsWith("220 "));
    QVERIFY(full.ConnectAndGreet(server.Port(), "127.0.0.22").startsWith("220 "));
    QVERIFY(refused.Connect(server.Port(), "127.0.0.20"));
    CONVERSE(refused, "| 421 No more users are allowed.\n| <closed>");
}

// Ten failed logins from an address ban it: three wrong passwords close each connection, and a ban is told once.
// Other addresses log in meanwhile, and the ban ends.
void TestSession::banAfterTenFailedLogins()
{
    TestServer server(TestValues());
    server.Settings().SetDurations({.LoginFailureDelayMs = 1, .BanMs = 600});
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
