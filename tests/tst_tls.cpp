// Catches: a start that serves a bad certificate or key (or overwrites one), security commands answering wrongly or
// when encryption is off, lines pipelined behind AUTH running, hostile handshakes holding a connection, data
// connections taken against PROT, encrypted transfers that lose bytes.
#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "server/FtpServer.h"

#include <QtTest>

#include <sys/stat.h>

class TestTls : public QObject
{
    Q_OBJECT
    TestTree m_tree{"Root/ Root/a.txt=abcdefghijkl"};
    const QByteArray m_made = m_tree.Path("Tarvelo FTP Server/tls-certificate.pem");
    const QByteArray m_madeKey = m_tree.Path("Tarvelo FTP Server/tls-private-key.pem");

    CSettings::Values Values(quint32 mode, const QByteArray& certificate = {}, const QByteArray& key = {})
    {
        CSettings::Values values = TestValues(m_tree.Path("Root"));
        values.TlsMode = mode;
        values.TlsCertificate = certificate;
        values.TlsPrivateKey = key;
        return values;
    }
    static QStringList Monitor(TestServer& server)
    {
        QStringList lines;
        for (const QByteArray& line : server.Monitor().Lines())
            lines << QString::fromUtf8(line);
        return lines;
    }
    static int OpenSockets()
    {
        const QDir fds("/proc/self/fd");
        const QStringList entries = fds.entryList();
        return int(std::count_if(entries.begin(), entries.end(), [&](const QString& fd) {
            return QFile::symLinkTarget(fds.filePath(fd)).contains("socket:");
        }));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tree.IsValid() && QDir::setCurrent(m_tree.Base()) && QDir().mkpath("Tarvelo FTP Server"));
        qputenv("XDG_CONFIG_HOME", m_tree.Base());
    }

    void certificates()
    {
        // Made at the first start, served again after; the fingerprint as openssl shows it.
        QString fingerprint;
        for (int start = 0; start < 2; ++start) {
            TestServer server(Values(1));
            QVERIFY(server.Port() != 0);
            fingerprint = Monitor(server).filter("TLS allowed. Certificate SHA-256 fingerprint: ").value(0);
            QCOMPARE(Monitor(server).filter("A self-signed TLS certificate was made: ").size(), 1 - start);
        }
        QProcess openssl;
        openssl.start("openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", m_made});
        QVERIFY(openssl.waitForFinished() &&
                fingerprint.endsWith(QString(openssl.readAll()).section('=', 1).trimmed()));
        struct stat keyInfo;
        QVERIFY(::stat(m_madeKey, &keyInfo) == 0 && (keyInfo.st_mode & 0777) == 0600);
        // An expired pair, another key, a key open to others.
        QCOMPARE(QProcess::execute("sh", {"-ec", R"(cd "$0"
printf '[ca]\ndefault_ca=c\n[c]\ndatabase=db\nnew_certs_dir=.\nserial=sn\npolicy=p\n[p]\ncommonName=supplied\n' >ca.cnf
: >db && echo 01 >sn && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout old.key \
    -out old.csr -subj /CN=old 2>/dev/null
openssl ca -batch -config ca.cnf -selfsign -keyfile old.key -in old.csr -out old.pem -md sha256 -notext \
    -startdate 20200101000000Z -enddate 20210101000000Z 2>/dev/null
cp old.key open.key && chmod 644 open.key)",
                                          m_tree.Base()}),
                 0);
        const QByteArray key = m_tree.Read("Tarvelo FTP Server/tls-private-key.pem");
        QVERIFY(QFile::remove(m_made));
        for (const auto& [values, refusal] : std::initializer_list<std::pair<CSettings::Values, QByteArray>>{
                 {Values(2), "The TLS certificate file is missing: " + m_made},
                 {Values(1, "none.pem"), "The TLS certificate file is missing: none.pem"},
                 {Values(1, "Root/a.txt", "old.key"), "The TLS certificate file holds no usable certificate: "},
                 {Values(1, "old.pem", "old.key"), "The TLS certificate has expired: old.pem"},
                 {Values(1, "old.pem", m_madeKey), "The TLS private key " + m_madeKey + " does not match"},
                 {Values(1, "old.pem", "open.key"), "The TLS private key file is readable by other users: open.key"}}) {
            TestServer server(values);
            QVERIFY2(server.Port() == 0 && server.Monitor().Lines().value(0).startsWith(refusal),
                     server.Monitor().Lines().value(0));
        }
        QCOMPARE(m_tree.Read("Tarvelo FTP Server/tls-private-key.pem"), key); // nothing overwritten
        QVERIFY(QFile::remove(m_madeKey));
    }

    void protocol()
    {
        TestServer server(Values(0));
        server.Settings().SetDurations({.DataWaitMs = 2000, .LoginTimeLimitMs = 300});
        FtpClient client;
        QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
        CONVERSE(client, R"(
            AUTH TLS | 530 Login to the server. Enter USER and PASS commands.
            FEAT | 530 Login to the server. Enter USER and PASS commands.
            USER tester | 331 Enter password.
            PASS Secret | 230 Login OK.
            AUTH TLS | 502 Unknown command.
            PBSZ 0 | 502 Unknown command.
            PROT P | 502 Unknown command.
        )");
        // A password from outside the LAN in clear text is told once a run.
        FtpClient outside, again;
        QVERIFY(outside.Login(server.Port(), "tester", "Secret", "127.1.0.2") &&
                again.Login(server.Port(), "tester", "Secret", "127.1.0.3"));
        client.Close();
        QVERIFY(server.Stop());
        QCOMPARE(Monitor(server).filter("A password came in clear text from outside the LAN (127.1.0.").size(), 1);
        server.Settings().Update([](CSettings::Values& v) { v.TlsMode = 1; });
        QVERIFY(server.Start());
        const int sockets = OpenSockets();
        // Garbage instead of a ClientHello behind lines that must not run, and a handshake that stops half-way.
        QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
        CONVERSE(client, R"(
            FEAT | 211-Features: | \x20AUTH TLS | \x20PBSZ | \x20PROT | 211 End
            PBSZ 0 | 503 Use AUTH TLS first.
            PROT P | 503 Use AUTH TLS first.
            AUTH SSL | 504 Unknown security mechanism.
            AUTH TLS\r\nUSER tester\r\nPASS wrong\r\n\c | 234 Starting TLS.
            GET / HTTP/1.0
            | <closed>
        )");
        QVERIFY(client.ConnectAndGreet(server.Port()).startsWith("220 "));
        CONVERSE(client, "AUTH TLS | 234 Starting TLS.\n \\x16\\x03\\x01\\x02\\x00\\x01\\c\n | <closed>");
        client.Close();
        QVERIFY(server.WaitUntilIdle());
        QCOMPARE(OpenSockets(), sockets);
        QCOMPARE(Monitor(server).filter(QRegularExpression("^TLS handshake failed \\(.+\\): 127.0.0.1$")).size(), 2);
        QVERIFY(Monitor(server).filter("Access denied").isEmpty());
        // Over TLS: what ftplib sends, a clear data connection under PROT P, a TLS one under PROT C, a download cut
        // and one aborted.
        QVERIFY(WriteFile(m_tree.Path("Root/big.bin"), QByteArray(64 << 20, 'b')));
        for (const char* mode : {"2", "1"}) {
            server.Settings().Update([mode](CSettings::Values& v) { v.TlsMode = QByteArray(mode).toUInt(); });
            QVERIFY(server.Stop() && server.Start());
            QProcess python;
            python.start("python3", {"-c", R"(import ftplib, io, ssl, sys
ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=sys.argv[2]), timeout=20)
def say(step):
    try: print(step())
    except ftplib.Error as e: print(type(e).__name__, e)
    except OSError as e: print(type(e).__name__)
ftp.connect('127.0.0.1', int(sys.argv[1]))
say(lambda: ftp.sendcmd('USER tester')), ftp.auth()
for line in ('AUTH TLS', 'PBSZ 0', 'PROT S', 'PROT E', 'CCC', 'PROT C'): say(lambda: ftp.sendcmd(line))
say(lambda: ftp.login('tester', 'Secret'))
ftp._prot_p = True
say(lambda: ftp.retrbinary('RETR a.txt', print))
if sys.argv[3] == '1': say(ftp.voidresp)
say(lambda: ftp.sendcmd('PROT P'))
ftp._prot_p = False
say(lambda: ftp.storbinary('STOR clear.txt', io.BytesIO(b'x' * 100)))
data = bytes(range(256)) * 4096
ftp.prot_p()
say(lambda: ftp.storbinary('STOR up.bin', io.BytesIO(data)))
got = io.BytesIO()
say(lambda: ftp.retrbinary('RETR up.bin', got.write)), print(got.getvalue() == data)
conn = ftp.transfercmd('RETR big.bin')
conn.recv(1000), conn.close()
say(ftp.voidresp)
conn = ftp.transfercmd('RETR big.bin')
conn.recv(1000), ftp.putcmd('ABOR'), say(ftp.getline), say(ftp.getline), conn.close()
names = []
say(lambda: ftp.retrlines('LIST', names.append)), print(sorted(name.split()[-1] for name in names))
say(ftp.quit))",
                                     QString::number(server.Port()), m_made, mode});
            QVERIFY(python.waitForFinished(60000));
            const bool required = mode[0] == '2';
            QCOMPARE(
                python.readAllStandardOutput(),
                QByteArray(required ? "error_perm 530 Encryption required. Use AUTH TLS.\n" : "331 Enter password.\n") +
                    "error_perm 503 Already secured.\n200 PBSZ=0\nerror_perm 536 Protection level not "
                    "supported.\nerror_perm "
                    "536 Protection level not supported.\nerror_perm 534 The control connection stays encrypted.\n200 "
                    "Protection level Clear.\n230 Login OK.\n" +
                    (required ? "error_perm 522 Encryption required. Use PROT P.\n"
                              : "SSLError\n226 Transfer completed.\n") +
                    "200 Protection level Private.\nerror_temp 425 Cannot open connection.\n226 Transfer "
                    "completed.\n226 "
                    "Transfer completed.\nTrue\nerror_temp 426 Connection closed.\n"
                    "426 Connection closed.\n226 ABOR command OK.\n"
                    "226 Transfer completed.\n['a.txt', 'big.bin', 'up.bin']\n221 Have a nice day\n");
            QVERIFY(server.WaitUntilIdle());
            QCOMPARE(server.Monitor().CountLines("User IN (encrypted): 127.0.0.1"), required ? 1 : 2);
        }
        // A clear connection under PROT P, in each mode; a cut download's line depends on which of the reset and the
        // next write the server meets first.
        QCOMPARE(Monitor(server).filter("TLS failed on a data connection (wrong version number)").size(), 2);
        QVERIFY(!m_tree.Exists("Root/clear.txt"));
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
