// tarvelo-cry run as a user runs it: the password on standard input, the summary on standard
// output, warnings on standard error, and the exit code.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestCryProgram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void encryptThenDecrypt();
    void refusedStarts_data();
    void refusedStarts();
    void wrongPassword();

private:
    Run Cry(const QStringList& arguments, const QByteArray& input);
    QString Vault() const { return m_root.filePath("vault"); }

    QTemporaryDir m_root;
};

void TestCryProgram::init()
{
    QVERIFY(m_root.isValid());
    QDir(Vault()).removeRecursively();
    QVERIFY(QDir().mkpath(Vault()));
    QFile file(Vault() + "/Notes.TXT");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("the notes");
}

Run TestCryProgram::Cry(const QStringList& arguments, const QByteArray& input)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Where a settings file would go, if the program wrongly wrote one.
    env.insert("XDG_CONFIG_HOME", m_root.filePath("config"));
    env.insert("HOME", m_root.path());
    process.setProcessEnvironment(env);
    process.start(qEnvironmentVariable("TARVELO_BUILD_DIR") + "/tarvelo-cry", arguments);
    if (!process.waitForStarted(30000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

void TestCryProgram::encryptThenDecrypt()
{
    const QByteArray folderLine = "Secure folder: " + QFile::encodeName(Vault()) + '\n';
    const Run encrypt = Cry({"encrypt", Vault()}, "Crypt0Pass\n");
    QCOMPARE(encrypt.exitCode, 0);
    QCOMPARE(encrypt.out,
             "Encryption completed successfully.\n" + folderLine + "Files in folder: 1\nEncrypted files: 1\n");
    QCOMPARE(QDir(Vault()).entryList(QDir::Files), QStringList{"notes.txt.cry"});
    QCOMPARE(QFileInfo(Vault() + "/notes.txt.cry").size(), 16);

    const Run decrypt = Cry({"decrypt", Vault()}, "Crypt0Pass\r\n");
    QCOMPARE(decrypt.exitCode, 0);
    QCOMPARE(decrypt.out, "Decryption completed successfully.\n" + folderLine + "Decrypted files: 1\n");
    QFile back(Vault() + "/notes.txt");
    QVERIFY(back.open(QIODevice::ReadOnly));
    QCOMPARE(back.readAll(), QByteArray("the notes"));
    QVERIFY(!QDir(m_root.filePath("config")).exists());
}

void TestCryProgram::refusedStarts_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("missing folder") << QStringList{"encrypt", "/nonexistent/vault"} << QByteArray("Crypt0Pass\n")
                                    << QByteArray("Secure folder not found.\nPlease select a valid folder.");
    QTest::newRow("empty folder argument")
        << QStringList{"decrypt", ""} << QByteArray("Crypt0Pass\n")
        << QByteArray("Secure folder not selected.\nPlease select folder to decrypt.");
    QTest::newRow("short password") << QStringList{"encrypt", "$V"} << QByteArray("abcd\n")
                                    << QByteArray("Secure password length should be at least 5 characters.");
    QTest::newRow("no password at all") << QStringList{"decrypt", "$V"} << QByteArray()
                                        << QByteArray("Secure password length should be at least 5 characters.");
    QTest::newRow("unknown command") << QStringList{"scramble", "$V"} << QByteArray()
                                     << QByteArray("tarvelo-cry: unknown command: scramble\nUsage:");
    QTest::newRow("no folder") << QStringList{"encrypt"} << QByteArray()
                               << QByteArray("tarvelo-cry: a command and a folder are needed\nUsage:");
}

void TestCryProgram::refusedStarts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, error);
    arguments.replaceInStrings("$V", Vault());
    const Run run = Cry(arguments, input);
    QVERIFY(run.exitCode > 0);
    QVERIFY2(run.err.contains(error), run.err.constData());
    QVERIFY(run.out.isEmpty());
    QCOMPARE(QDir(Vault()).entryList(QDir::Files), QStringList{"Notes.TXT"});
}

void TestCryProgram::wrongPassword()
{
    QCOMPARE(Cry({"encrypt", Vault()}, "Crypt0Pass\n").exitCode, 0);
    const Run run = Cry({"decrypt", Vault()}, "0therPass\n");
    // The pass ran; its summary tells of the failure.
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.endsWith("Decrypted files: 0\nFiles with wrong password: 1\n"), run.out.constData());
    QVERIFY(run.out.startsWith("No files to decrypt.\n"));
    QCOMPARE(QDir(Vault()).entryList(QDir::Files), QStringList{"notes.txt.cry"});
}

QTEST_GUILESS_MAIN(TestCryProgram)
#include "tst_cry_program.moc"
