// The ".cry" format: known answers from an independent implementation, the lengths of the format,
// and the failures, which must leave every existing file as it was.

#include "securefolder/CryFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QByteArray kFox = "The quick brown fox jumps over the lazy dog";
const QByteArray kUmlautPassword = "p\xc3\xa4ssw\xc3\xb6rd"; // "pässwörd" in UTF-8

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll();
}

// Noise from a fixed seed: a run that fails can be run again with the same bytes. (With random
// bytes, a wrong password would pass the padding check in one run of 256.)
QByteArray RandomBytes(qsizetype size)
{
    QRandomGenerator generator(quint32(size) * 2654435761u);
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

QByteArray Bytes(const QString& path)
{
    return QFile::encodeName(path);
}

} // namespace

class TestCryFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }
    void cleanup()
    {
        // No temporary output may be left behind, whatever happened.
        const QStringList left = QDir(m_dir.path()).entryList({".tarvelo-cry-*"}, QDir::Files | QDir::Hidden);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
        for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            QFile::remove(m_dir.filePath(name));
    }

    void deriveKeyAndIV_data();
    void deriveKeyAndIV();
    void knownAnswer_data();
    void knownAnswer();
    void roundTripLengths_data();
    void roundTripLengths();
    void keyNotDerived();
    void openSslInterchange_data();
    void openSslInterchange();
    void decryptFailureKeepsFiles_data();
    void decryptFailureKeepsFiles();
    void encryptFailureKeepsTarget();
    void longPath();
    void keepsPermissions();

private:
    QString Path(const char* name) const { return m_dir.filePath(QString::fromUtf8(name)); }
    QTemporaryDir m_dir;
};

// Expected key and IV from `openssl enc -aes-256-cbc -pbkdf2 -nosalt -iter 8000 -md sha512 -P -pass
// pass:...` (OpenSSL 3.0), which derives 48 bytes by PBKDF2-HMAC-SHA-512 with an empty salt; the
// first row also agrees with Python's hashlib.pbkdf2_hmac("sha512", b"marblet", b"", 8000, 64).
void TestCryFile::deriveKeyAndIV_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    QTest::newRow("default password") << QByteArray("marblet")
                                      << QByteArray("D61CED26391EC5079A27ABA22B3E9A03020789BF40165EAC84A3F48A614A4E9E")
                                      << QByteArray("BC4779506EC4E0969723AD2AA1B94D70");
    QTest::newRow("longer password") << QByteArray("CryPassword5")
                                     << QByteArray("7CE7398C22B764EC4784F1E5264D8A01910AC935691775303012A622E403E51D")
                                     << QByteArray("959694668A5D172DBA6BC201C4B5FFAB");
    QTest::newRow("non-ASCII as UTF-8 bytes")
        << kUmlautPassword << QByteArray("A5DCE013A33443F36AE018972C1885CFD4A7CBF7B68B3CE5592E102D6197DC91")
        << QByteArray("FAB7BC93DEC15771A3DA5DC0D292B6D8");
}

void TestCryFile::deriveKeyAndIV()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);
    QByteArray gotKey(kCryKeyLength, '\xff');
    QByteArray gotIV(kCryIVLength, '\xff');
    QVERIFY(DeriveKeyAndIV(reinterpret_cast<unsigned char*>(gotKey.data()), kCryKeyLength,
                           reinterpret_cast<unsigned char*>(gotIV.data()), kCryIVLength, password));
    QCOMPARE(gotKey.toHex().toUpper(), key);
    QCOMPARE(gotIV.toHex().toUpper(), iv);
}

// Expected ".cry" bytes from `printf '%s' TEXT | openssl enc -aes-256-cbc -pbkdf2 -nosalt -iter 8000
// -md sha512 -pass pass:PASSWORD | xxd -p` (OpenSSL 3.0).
void TestCryFile::knownAnswer_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("cry");
    QTest::newRow("empty") << QByteArray("marblet") << QByteArray() << QByteArray("649d954b8c47e708c593f4d87799c0a1");
    QTest::newRow("15 bytes") << QByteArray("marblet") << kFox.left(15)
                              << QByteArray("58eafd8d1bb54b8c3cf4e5da0dfbac71");
    QTest::newRow("16 bytes") << QByteArray("marblet") << kFox.left(16)
                              << QByteArray("ab8eef56c71637d178928a43aeaabf385d67f096c8fc72d7853a5f56f2cfbce9");
    QTest::newRow("17 bytes") << QByteArray("marblet") << kFox.left(17)
                              << QByteArray("ab8eef56c71637d178928a43aeaabf38a5eb2d2d4270a710581a1d0e7a003472");
    QTest::newRow("43 bytes") << QByteArray("marblet") << kFox
                              << QByteArray("ab8eef56c71637d178928a43aeaabf38ce24b219de7407e43a9abf7ff9409565"
                                            "4e5e732da578285eddf4e3485b65b581");
    QTest::newRow("non-ASCII password") << kUmlautPassword << kFox
                                        << QByteArray("e7d683b3be02872991e3688322bf28ee0db86d887bc72a6f3b81103259b4d7f2"
                                                      "569e488e0fcc9a04edf6da5984d522e0");
}

void TestCryFile::knownAnswer()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, cry);
    WriteFile(Path("plain"), plain);
    WriteFile(Path("given.cry"), QByteArray::fromHex(cry));
    QCOMPARE(EncryptOneFile(Bytes(Path("plain")), Bytes(Path("made.cry")), password), ECryResult::Ok);
    QCOMPARE(ReadFile(Path("made.cry")).toHex(), cry);
    QCOMPARE(DecryptOneFile(Bytes(Path("given.cry")), Bytes(Path("back")), password), ECryResult::Ok);
    QCOMPARE(ReadFile(Path("back")), plain);
}

// One key serves a whole pass: each use of it makes what a derivation from the password makes.
void TestCryFile::roundTripLengths_data()
{
    QTest::addColumn<qsizetype>("plainLength");
    QTest::addColumn<qsizetype>("cryLength");
    QTest::newRow("0") << qsizetype(0) << qsizetype(16);
    QTest::newRow("15") << qsizetype(15) << qsizetype(16);
    QTest::newRow("16") << qsizetype(16) << qsizetype(32);
    QTest::newRow("17") << qsizetype(17) << qsizetype(32);
    QTest::newRow("two read chunks + 1") << qsizetype(128 * 1024 + 1) << qsizetype(128 * 1024 + 16);
    // Larger than one read chunk and not a multiple of it.
    QTest::newRow("3 MiB + 5") << qsizetype(3 * 1024 * 1024 + 5) << qsizetype(3 * 1024 * 1024 + 16);
}

void TestCryFile::roundTripLengths()
{
    QFETCH(qsizetype, plainLength);
    QFETCH(qsizetype, cryLength);
    const QByteArray plain = RandomBytes(plainLength);
    WriteFile(Path("plain"), plain);
    QCOMPARE(EncryptOneFile(Bytes(Path("plain")), Bytes(Path("plain.cry")), "marblet"), ECryResult::Ok);
    QCOMPARE(QFileInfo(Path("plain.cry")).size(), cryLength);
    CCryKey key;
    QVERIFY(key.Derive("marblet"));
    for (const char* name : {"first.cry", "second.cry"}) {
        QCOMPARE(EncryptOneFile(Bytes(Path("plain")), Bytes(Path(name)), key), ECryResult::Ok);
        QVERIFY(ReadFile(Path(name)) == ReadFile(Path("plain.cry")));
    }
    QCOMPARE(DecryptOneFile(Bytes(Path("plain.cry")), Bytes(Path("back")), "marblet"), ECryResult::Ok);
    QVERIFY(ReadFile(Path("back")) == plain);
    QCOMPARE(DecryptOneFile(Bytes(Path("plain.cry")), Bytes(Path("back-by-key")), key), ECryResult::Ok);
    QVERIFY(ReadFile(Path("back-by-key")) == plain);
    QVERIFY(ReadFile(Path("plain")) == plain);
}

void TestCryFile::keyNotDerived()
{
    WriteFile(Path("a"), "plain text");
    const CCryKey key;
    QCOMPARE(EncryptOneFile(Bytes(Path("a")), Bytes(Path("a.cry")), key), ECryResult::DerivationFailed);
    QCOMPARE(DecryptOneFile(Bytes(Path("a")), Bytes(Path("b")), key), ECryResult::DerivationFailed);
    QVERIFY(!QFileInfo::exists(Path("a.cry")));
    QVERIFY(!QFileInfo::exists(Path("b")));
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// Live comparison with the openssl tool, both directions, on files of several chunks.
void TestCryFile::openSslInterchange_data()
{
    QTest::addColumn<bool>("bOursEncrypts");
    QTest::newRow("ours encrypts, openssl decrypts") << true;
    QTest::newRow("openssl encrypts, ours decrypts") << false;
}

void TestCryFile::openSslInterchange()
{
    QFETCH(bool, bOursEncrypts);
    const QString openssl = QStandardPaths::findExecutable("openssl");
    if (openssl.isEmpty())
        QSKIP("openssl is not installed; the known answers above still hold");
    const QByteArray plain = RandomBytes(1024 * 1024 + 7);
    WriteFile(Path("plain"), plain);
    const QStringList common = {"enc",  "-aes-256-cbc", "-pbkdf2", "-nosalt", "-iter",
                                "8000", "-md",          "sha512",  "-pass",   "pass:CryPassword5"};
    QProcess tool;
    if (bOursEncrypts) {
        QCOMPARE(EncryptOneFile(Bytes(Path("plain")), Bytes(Path("plain.cry")), "CryPassword5"), ECryResult::Ok);
        tool.start(openssl, common + QStringList{"-d", "-in", Path("plain.cry"), "-out", Path("back")});
    } else {
        tool.start(openssl, common + QStringList{"-in", Path("plain"), "-out", Path("plain.cry")});
    }
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 0);
    if (!bOursEncrypts)
        QCOMPARE(DecryptOneFile(Bytes(Path("plain.cry")), Bytes(Path("back")), "CryPassword5"), ECryResult::Ok);
    QVERIFY(ReadFile(Path("back")) == plain);
}

// A failed decryption leaves the ".cry" file and an existing plain file exactly as they were.
void TestCryFile::decryptFailureKeepsFiles_data()
{
    QTest::addColumn<int>("cryLength"); // -1: a good ".cry" file of 100 plain bytes
    QTest::addColumn<QByteArray>("password");
    QTest::newRow("wrong password") << -1 << QByteArray("not-marblet");
    QTest::newRow("empty .cry") << 0 << QByteArray("marblet");
    QTest::newRow("15 bytes") << 15 << QByteArray("marblet");
    QTest::newRow("truncated to 100 bytes") << 100 << QByteArray("marblet");
    QTest::newRow("one byte over a block") << 113 << QByteArray("marblet");
}

void TestCryFile::decryptFailureKeepsFiles()
{
    QFETCH(int, cryLength);
    QFETCH(QByteArray, password);
    WriteFile(Path("a"), RandomBytes(100));
    QCOMPARE(EncryptOneFile(Bytes(Path("a")), Bytes(Path("a.cry")), "marblet"), ECryResult::Ok);
    QByteArray cry = ReadFile(Path("a.cry"));
    if (cryLength >= 0) {
        cry = cry.left(cryLength).leftJustified(cryLength, 'x');
        WriteFile(Path("a.cry"), cry);
    }
    const QByteArray existing = "an existing plain file that must survive";
    WriteFile(Path("a"), existing);
    QCOMPARE(DecryptOneFile(Bytes(Path("a.cry")), Bytes(Path("a")), password), ECryResult::Failed);
    QCOMPARE(ReadFile(Path("a")), existing);
    QVERIFY(ReadFile(Path("a.cry")) == cry);
}

void TestCryFile::encryptFailureKeepsTarget()
{
    WriteFile(Path("a.cry"), "an older .cry file");
    QCOMPARE(EncryptOneFile(Bytes(Path("missing")), Bytes(Path("a.cry")), "marblet"), ECryResult::Failed);
    QCOMPARE(ReadFile(Path("a.cry")), QByteArray("an older .cry file"));
    // A target in a folder that does not exist cannot be written.
    WriteFile(Path("a"), "plain");
    QCOMPARE(EncryptOneFile(Bytes(Path("a")), Bytes(Path("no-such-folder/a.cry")), "marblet"), ECryResult::Failed);
    QCOMPARE(ReadFile(Path("a")), QByteArray("plain"));
    // A folder is not a file to encrypt.
    QVERIFY(QDir(m_dir.path()).mkdir("folder"));
    QCOMPARE(EncryptOneFile(Bytes(Path("folder")), Bytes(Path("a.cry")), "marblet"), ECryResult::Failed);
    QCOMPARE(ReadFile(Path("a.cry")), QByteArray("an older .cry file"));
    QVERIFY(QDir(Path("folder")).removeRecursively());
}

void TestCryFile::longPath()
{
    // Well past the 260-byte paths of the Windows original.
    QString folder = m_dir.path();
    for (int i = 0; i < 6; ++i)
        folder += '/' + QString(60, QChar('a' + i));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray plain = folder.toUtf8() + '/' + QByteArray(200, 'n');
    QVERIFY(plain.size() > 500);
    WriteFile(QFile::decodeName(plain), kFox);
    QCOMPARE(EncryptOneFile(plain, plain + ".cry", "marblet"), ECryResult::Ok);
    QCOMPARE(DecryptOneFile(plain + ".cry", plain + ".back", "marblet"), ECryResult::Ok);
    QCOMPARE(ReadFile(QFile::decodeName(plain + ".back")), kFox);
    QVERIFY(QDir(m_dir.filePath("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")).removeRecursively());
}

void TestCryFile::keepsPermissions()
{
    WriteFile(Path("private"), kFox);
    QVERIFY(chmod(qPrintable(Path("private")), 0640) == 0);
    QCOMPARE(EncryptOneFile(Bytes(Path("private")), Bytes(Path("private.cry")), "marblet"), ECryResult::Ok);
    struct stat st = {};
    QVERIFY(stat(qPrintable(Path("private.cry")), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0640));
}

QTEST_GUILESS_MAIN(TestCryFile)
#include "tst_cry_file.moc"
