// Catches: bytes lost or changed in transfers (kernel copy, chunk edges, >4 GiB), wrong replies, ABOR/data-wait slips

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// A fresh server over a small tree, a short data wait, and one client logged in.
struct Session
{
    TestTree tree{"a.txt=abc b.txt=bcd Sub/"};
    TestServer server{TestValues(tree.Base())};
    FtpClient client;
    bool ok = tree.IsValid() && (server.Settings().SetDurations({.DataWaitMs = 300}), client.Login(server.Port()));
    QString Path(const char* name) const { return QString::fromUtf8(tree.Path(name)); }
};

// The port a 227 "(h1,h2,h3,h4,p1,p2)" or 229 "(|||port|)" reply names.
quint16 PassivePort(const QByteArray& reply)
{
    const bool extended = reply.startsWith("229 ");
    const QByteArrayList f = reply.mid(reply.indexOf('(') + 1).chopped(1).split(extended ? '|' : ',');
    return quint16(extended ? f.value(3).toInt() : f.value(4).toInt() * 256 + f.value(5).toInt());
}

QByteArray PortCommand(quint16 port)
{
    return "PORT 127,0,0,1," + QByteArray::number(port >> 8) + ',' + QByteArray::number(port & 255);
}

} // namespace

class TestTransfers : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void roundTripsAreByteExact();
    void dataConnections();
    void aborAndCutConnections();
    void dataWait();
    void fileOverFourGiB();
};

void TestTransfers::roundTripsAreByteExact()
{
    Session s;
    quint16 port = 0;
    const int listener = DataSocket::Listen(&port);
    QVERIFY(s.ok && listener >= 0);
    for (const qsizetype size : {0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 7}) {
        for (const bool passive : {true, false}) {
            const QByteArray name = (passive ? "passive " : "active ") + QByteArray::number(size);
            const auto open = [&](const QByteArray& command) { // the data connection of a command answering 150
                const int fd = passive ? s.client.OpenPassive() : -1;
                const bool ok = (passive || s.client.Command(PortCommand(port)) == "200 PORT command OK.") &&
                                s.client.Command(command) == "150 Binary mode.";
                return !ok ? -1 : passive ? fd : DataSocket::Accept(listener);
            };
            const QByteArray data = Pattern(size, quint32(size + passive));
            QVERIFY(WriteFile(s.Path("Up.bin"), Pattern(size + 100000, 3))); // replaced whole
            int fd = open("STOR Up.bin");
            QVERIFY2(fd >= 0 && DataSocket::WriteAll(fd, data), name);
            DataSocket::Close(fd);
            QVERIFY2(s.client.ReadReply() == "226 Transfer completed." && s.tree.Read("Up.bin") == data, name);
            fd = open("RETR up.bin");
            QVERIFY2(fd >= 0 && DataSocket::ReadAll(fd) == data, name);
            DataSocket::Close(fd);
            QVERIFY2(s.client.ReadReply() == "226 Transfer completed.", name);
            QCOMPARE(s.client.Command("SIZE up.bin"), "213 " + QByteArray::number(size));
        }
    }
    DataSocket::Close(listener);
}

void TestTransfers::dataConnections()
{
    Session s;
    quint16 port = 0;
    const int listener = DataSocket::Listen(&port);
    QVERIFY(s.ok && listener >= 0);
    // The client sends everything and closes before STOR: all of it is kept.
    const QByteArray early = Pattern(200000);
    int fd = s.client.OpenPassive();
    QVERIFY(DataSocket::WriteAll(fd, early));
    DataSocket::Close(fd);
    CONVERSE(s.client, R"(
        NOOP | 200 OK
        STOR early.bin | 150 Binary mode. | 226 Transfer completed.
        @pasv
        @send
        NOOP | 200 OK
        STOR empty.bin | 150 Binary mode. | 226 Transfer completed.
        @pasv
        LIST Sub | 150 ASCII mode. | 226 Transfer completed.
        @recv
        @pasv
        RETR none.txt | 550 File not found.
        RETR Sub | 550 File not found.
        STOR none/x.txt | 550 Invalid filename.
        STOR Sub | 150 Binary mode. | 450 File access error.
        EPSV | 229 Entering Extended Passive Mode (\|\|\|5*
    )");
    QVERIFY(s.tree.Read("early.bin") == early && s.tree.Read("empty.bin").isEmpty());
    fd = s.client.OpenPassive();
    QCOMPARE(s.client.Command("LIST"), QByteArray("150 ASCII mode."));
    const QByteArray listing = DataSocket::ReadAll(fd);
    DataSocket::Close(fd);
    QCOMPARE(s.client.ReadReply(), QByteArray("226 Transfer completed."));
    QVERIFY2(listing.count("\r\n") == 5 && listing.contains(" Sub\r\n") && listing.contains(" early.bin\r\n"), listing);
    // The second PASV closes the first one's connection; another host reaching its port is turned away.
    QByteArray pasv;
    const int stale = s.client.OpenPassive(&pasv);
    const quint16 second = PassivePort(s.client.Command("PASV"));
    QVERIFY2(pasv.startsWith("227 Entering Passive Mode (127,0,0,1,") && second >= 50000 && second <= 58000, pasv);
    const int thief = DataSocket::Connect(second, "127.0.0.2");
    for (const int closed : {stale, thief}) {
        pollfd ready = {closed, POLLIN, 0};
        char byte;
        QVERIFY(::poll(&ready, 1, 5000) == 1 && ::recv(closed, &byte, 1, 0) <= 0);
        DataSocket::Close(closed);
    }
    fd = DataSocket::Connect(second);
    CONVERSE(s.client, "RETR a.txt | 150 Binary mode. | 226 Transfer completed.");
    QCOMPARE(DataSocket::ReadAll(fd), QByteArray("abc"));
    DataSocket::Close(fd);
    // Each active transfer needs its own PORT, to an unprivileged port.
    QCOMPARE(s.client.Command(PortCommand(port)), QByteArray("200 PORT command OK."));
    QCOMPARE(s.client.Command("RETR a.txt"), QByteArray("150 Binary mode."));
    fd = DataSocket::Accept(listener);
    QCOMPARE(DataSocket::ReadAll(fd), QByteArray("abc"));
    DataSocket::Close(fd);
    CONVERSE(s.client, R"(
        | 226 Transfer completed.
        RETR a.txt | 150 Binary mode. | 425 The connection could not be opened.
        PORT 127,0,0,1,0,25 | 501 Illegal PORT command.
        PORT 127,0,0,1,4 | 501 Illegal PORT command.
    )");
    DataSocket::Close(listener); // nobody listens there now
    QCOMPARE(s.client.Command(PortCommand(port)), QByteArray("200 PORT command OK."));
    CONVERSE(s.client, "RETR a.txt | 150 Binary mode. | 425 Cannot open connection.");
    QVERIFY(s.client.NoReplyWithin(300));
}

void TestTransfers::aborAndCutConnections()
{
    Session s;
    QVERIFY(s.ok && WriteFile(s.Path("big.bin"), Pattern(16 << 20)));
    char some[4096];
    int fd = s.client.OpenPassive();
    QCOMPARE(s.client.Command("RETR big.bin"), QByteArray("150 Binary mode."));
    QVERIFY(::recv(fd, some, sizeof some, MSG_WAITALL) == sizeof some);
    const linger hard = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    DataSocket::Close(fd);
    // Clients close an unused connection after a refused command: a reply then would answer their next one.
    CONVERSE(s.client, R"(
        | 426 Connection closed.
        LIST | 150 ASCII mode. | 425 The connection could not be opened.
        @pasv
        NLST | 502 Unknown command.
        @send
        NOOP | 200 OK
        LIST | 150 ASCII mode. | 426 Connection closed.
        ABOR | 226 ABOR command OK.
        @pasv
        ABOR | 226 ABOR command OK.
        @pasv
        RETR a.txt | 150 Binary mode. | 226 Transfer completed.
        @recv abc
    )");
    // Mid-download, with or without Telnet bytes, or during the data wait (empty).
    const QByteArray aborts[] = {QByteArray("\xff\xf4\xff\xf2") + "ABOR", "ABOR", {}};
    for (const QByteArray& abort : aborts) {
        const bool waiting = abort.isEmpty();
        fd = waiting ? -1 : s.client.OpenPassive();
        QVERIFY(!waiting || s.client.Command("PASV").startsWith("227 "));
        QCOMPARE(s.client.Command(waiting ? "RETR a.txt" : "RETR big.bin"), QByteArray("150 Binary mode."));
        QVERIFY(waiting || ::recv(fd, some, sizeof some, MSG_WAITALL) == sizeof some);
        QVERIFY2(s.client.Command(waiting ? "ABOR" : abort) == "426 Connection closed.", abort);
        QVERIFY2(s.client.ReadReply() == "226 ABOR command OK.", abort);
        DataSocket::Close(fd);
        // A new connection brings no reply, nor a 421 when the old wait would have ended; it serves the next.
        CONVERSE(s.client, "@pasv");
        QVERIFY2(s.client.NoReplyWithin(600), abort);
        CONVERSE(s.client, "RETR a.txt | 150 Binary mode. | 226 Transfer completed.\n@recv abc");
    }
}

void TestTransfers::dataWait()
{
    // Nobody connects (empty): the client is served meanwhile, then told. A command that takes over a
    // waiting RETR ends it without a reply, now and when its time comes.
    for (const QByteArray cancel : {"", "PASV", "EPSV", "RETR b.txt", "QUIT", "stop"}) {
        Session s;
        QVERIFY(s.ok);
        const QByteArray passive = s.client.Command("PASV");
        QVERIFY2(s.client.Command("RETR a.txt") == "150 Binary mode.", cancel);
        if (cancel.isEmpty()) {
            CONVERSE(s.client, "NOOP | 200 OK\n| 421 The socket could not be created.\nNOOP | 200 OK");
        } else if (cancel == "QUIT" || cancel == "stop") {
            if (cancel == "stop")
                s.server.Stop();
            QVERIFY(cancel == "stop" || s.client.Command(cancel).startsWith("221 "));
            QVERIFY2(s.client.WaitForClose() && s.server.WaitUntilIdle(), cancel);
        } else {
            const bool retr = cancel.startsWith("RETR");
            const QByteArray reply = s.client.Command(cancel);
            QVERIFY2(reply.startsWith(retr ? "150 Binary mode." : cancel == "PASV" ? "227 " : "229 "), reply);
            const int fd = DataSocket::Connect(PassivePort(retr ? passive : reply));
            QVERIFY2(retr || s.client.Command("RETR b.txt") == "150 Binary mode.", cancel);
            QVERIFY2(DataSocket::ReadAll(fd) == "bcd" && s.client.ReadReply() == "226 Transfer completed.", cancel);
            DataSocket::Close(fd);
            QVERIFY2(s.client.NoReplyWithin(600), cancel);
        }
    }
}

void TestTransfers::fileOverFourGiB()
{
    Session s;
    const qint64 size = (qint64(4) << 30) + 4097;
    const int file = ::open(s.tree.Path("huge.bin").constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(s.ok && file >= 0 && ::pwrite(file, "end", 3, size - 3) == 3); // sparse: costs no disk
    ::close(file);
    QCOMPARE(s.client.Command("SIZE huge.bin"), "213 " + QByteArray::number(size));
    const int fd = s.client.OpenPassive();
    QCOMPARE(s.client.Command("RETR huge.bin"), QByteArray("150 Binary mode."));
    qint64 received = 0;
    QByteArray tail;
    char chunk[1 << 16];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0; received += n)
        tail = (tail + QByteArray(chunk, n).right(3)).right(3);
    DataSocket::Close(fd);
    QVERIFY(received == size && tail == "end");
    QCOMPARE(s.client.ReadReply(60000), QByteArray("226 Transfer completed."));
}

QTEST_GUILESS_MAIN(TestTransfers)
#include "tst_transfers.moc"
