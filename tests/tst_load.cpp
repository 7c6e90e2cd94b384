// Load: MaxUsers clients held at once, each downloading a file byte-exact, one more refused, and
// nothing left behind afterwards. The clients are driven from this thread with poll().

#include "FtpClient.h"
#include "ProcessCounts.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kClients = 500;
constexpr qsizetype kFileSize = 256 * 1024;
constexpr int kPollTimeoutMs = 30000;

int ConnectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

quint16 PassivePort(const QByteArray& reply)
{
    static const QRegularExpression pattern(QStringLiteral("\\(\\d+,\\d+,\\d+,\\d+,(\\d+),(\\d+)\\)"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(reply));
    return match.hasMatch() ? quint16(match.captured(1).toInt() * 256 + match.captured(2).toInt()) : 0;
}

// One client of the swarm: its control connection, data connection and what came in on them.
struct Client
{
    int control = -1;
    int data = -1;
    QByteArray input;       // control bytes not yet taken as lines
    QByteArrayList replies; // reply lines taken
    QByteArray downloaded;  // bytes of the data connection
    bool dataEnded = false;
};

// Many clients driven together: every wait is one poll() over all of them.
class Swarm
{
public:
    ~Swarm()
    {
        for (Client& client : m_clients) {
            DataSocket::Close(client.control);
            DataSocket::Close(client.data);
        }
    }

    bool Connect(quint16 port, int count)
    {
        m_clients.resize(count);
        for (Client& client : m_clients) {
            client.control = ConnectLoopback(port);
            if (client.control < 0)
                return false;
        }
        return true;
    }

    // Sends the line on every control connection (empty: nothing) and waits until each has
    // `replies` reply lines in all. False on a time-out or a closed connection.
    bool Exchange(const QByteArray& line, int replies)
    {
        for (Client& client : m_clients) {
            if (!line.isEmpty() && !DataSocket::WriteAll(client.control, line + "\r\n"))
                return false;
        }
        return Pump([replies](const Client& client) { return client.replies.size() >= replies; });
    }

    // Reads control and data connections until every client satisfies done.
    bool Pump(const std::function<bool(const Client&)>& done)
    {
        for (;;) {
            std::vector<pollfd> waits;
            std::vector<std::pair<Client*, bool>> owners; // client, is the data connection
            for (Client& client : m_clients) {
                if (done(client))
                    continue;
                waits.push_back({client.control, POLLIN, 0});
                owners.push_back({&client, false});
                if (client.data >= 0) {
                    waits.push_back({client.data, POLLIN, 0});
                    owners.push_back({&client, true});
                }
            }
            if (waits.empty())
                return true;
            const int ready = ::poll(waits.data(), nfds_t(waits.size()), kPollTimeoutMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
            for (size_t i = 0; i < waits.size(); ++i) {
                if (waits[i].revents && !Take(*owners[i].first, owners[i].second))
                    return false;
            }
        }
    }

    std::vector<Client>& Clients() { return m_clients; }

private:
    // Reads what is ready; false when the control connection ended.
    static bool Take(Client& client, bool dataConnection)
    {
        char chunk[65536];
        const int fd = dataConnection ? client.data : client.control;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (dataConnection) {
            if (n > 0) {
                client.downloaded.append(chunk, n);
            } else {
                DataSocket::Close(client.data);
                client.data = -1;
                client.dataEnded = true;
            }
            return true;
        }
        if (n <= 0)
            return false;
        client.input.append(chunk, n);
        for (qsizetype end; (end = client.input.indexOf("\r\n")) >= 0;) {
            client.replies.append(client.input.left(end));
            client.input.remove(0, end + 2);
        }
        return true;
    }

    std::vector<Client> m_clients;
};

} // namespace

class TestLoad : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void maxUsersDownloadAtOnce();
};

void TestLoad::initTestCase()
{
    // Each client holds two descriptors here and about four in the server (control, passive
    // listener, data, its thread's wake-up descriptor).
    const long limit = RaiseDescriptorLimit();
    if (limit < 8 * kClients)
        QSKIP(qPrintable(QString("needs %1 open descriptors; the hard limit allows %2").arg(8 * kClients).arg(limit)));
}

void TestLoad::maxUsersDownloadAtOnce()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QByteArray content = Pattern(kFileSize, 88172645u);
    {
        QFile file(root.filePath("big.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }
    CSettings::Values values = TestValues(root.path().toUtf8());
    values.MaxUsers = kClients;
    TestServer server(values);
    QVERIFY(server.Port() != 0);
    const ProcessCounts before = CountProcess();

    {
        Swarm swarm;
        QVERIFY(swarm.Connect(server.Port(), kClients));
        QVERIFY(swarm.Exchange({}, 1));
        QVERIFY(swarm.Exchange("USER tester", 2));
        QVERIFY(swarm.Exchange("PASS Secret", 3));
        for (const Client& client : swarm.Clients()) {
            QCOMPARE(client.replies[0].left(4), QByteArray("220 "));
            QCOMPARE(client.replies[2], QByteArray("230 Login OK."));
        }
        QCOMPARE(server.ConnectedUsers(), kClients);
        QCOMPARE(server.ConnectionCount(), qsizetype(kClients));

        // Every client is in; one more is turned away at once.
        FtpClient extra;
        QCOMPARE(extra.ConnectAndGreet(server.Port()), QByteArray("421 No more users are allowed."));
        QVERIFY(extra.WaitForClose());
        QTRY_COMPARE_WITH_TIMEOUT(server.ConnectedUsers(), kClients, 10000);

        QVERIFY(swarm.Exchange("PASV", 4));
        for (Client& client : swarm.Clients()) {
            const quint16 port = PassivePort(client.replies[3]);
            QVERIFY2(port != 0, client.replies[3].constData());
            client.data = ConnectLoopback(port);
            QVERIFY(client.data >= 0);
        }
        QVERIFY(swarm.Exchange("RETR big.bin", 6));
        QVERIFY(swarm.Pump([](const Client& client) { return client.dataEnded; }));
        for (const Client& client : swarm.Clients()) {
            QCOMPARE(client.replies[4], QByteArray("150 Binary mode."));
            QCOMPARE(client.replies[5], QByteArray("226 Transfer completed."));
            QVERIFY(client.downloaded == content);
        }
        QVERIFY(swarm.Exchange("QUIT", 7));
        for (const Client& client : swarm.Clients())
            QCOMPARE(client.replies[6].left(4), QByteArray("221 "));
    }

    QVERIFY(server.WaitUntilIdle(30000));
    QCOMPARE(server.ConnectionCount(), qsizetype(0));
    QCOMPARE(server.ConnectedUsers(), 0);
    // A finished thread object may still be unwinding in the system for a moment.
    QTRY_COMPARE_WITH_TIMEOUT(CountProcess().threads, before.threads, 30000);
    QCOMPARE(CountProcess().descriptors, before.descriptors);
}

QTEST_GUILESS_MAIN(TestLoad)
#include "tst_load.moc"
