// Catches: .cry bytes unlike openssl's, bad .cry taken, passes losing or misnaming files, wrong refusals, tarvelo-cry.
#include "core/ServerMonitor.h"
#include "core/SettingsStore.h"
#include "securefolder/FileWorkThread.h"
#include "securefolder/SecureFolderHost.h"
#include "securefolder/SecureFolderPasses.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <QCryptographicHash>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>

namespace fs = std::filesystem;
namespace {
using EOutcome = CSecureFolderPasses::EOutcome;
const QByteArray kPass = "Crypt0Pass", kOther = "0therPass"; // "@P" and "@O" below

// A pass as the window runs it: the work on a thread aside while this one serves a click on Encrypt and Decrypt.
struct Host : ISecureFolderHost
{
    explicit Host(const QByteArray& storeFile) : store(QFile::decodeName(storeFile)) {}
    void ShowWarning(const QString& text, const QString& caption) override { log << caption + ": " + text; }
    bool AskYesNo(const QString& text) override { return log << "? " + text, bYes; }
    bool ReadBackControls() override
    {
        return settings.Update([&](auto& v) { v.SecurePassword = typed; }), true;
    }
    void SetWaitCursor(bool bOn) override { bWait = bOn; }
    void RunFileWork(const std::function<void()>& work) override
    {
        std::promise<void> served;
        QTimer::singleShot(0, [&] {
            ok << bWait << passes.IsRunning() << (passes.OnEncrypt() == EOutcome::Busy)
               << (passes.OnDecrypt() == EOutcome::Busy);
            served.set_value();
        });
        worker.Run([&] {
            ok << (served.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready)
               << (QThread::currentThread() != QCoreApplication::instance()->thread()); // appended once served
            work();
        });
    }
    CSettings settings;
    CSettingsStore store;
    CaptureSink sink;
    CServerMonitor monitor{&sink};
    CSecureFolderPasses passes{settings, &store, monitor, *this};
    CFileWorkThread worker;
    QByteArray typed = kPass; // what the read-back brings
    bool bYes = true, bWait = false;
    QStringList log; // warnings as "caption: text", questions as "? text"
    QList<bool> ok;  // at each file: wait cursor, running, the others refused, work aside, events served meanwhile
};

// TestTree's entries, plus "name|" (a FIFO) and "name=text@P" (its .cry form); names are bytes.
void Make(const QByteArray& folder, const QByteArray& entries)
{
    for (const QByteArray& e : entries.split(' ')) {
        const qsizetype arrow = e.indexOf("->"), eq = e.indexOf('='), at = e.indexOf('@');
        const QByteArray path = folder + '/' + (arrow > 0 ? e.left(arrow) : eq > 0 ? e.left(eq) : e.chopped(1));
        if (arrow > 0)
            fs::create_symlink(e.mid(arrow + 2).constData(), path.constData());
        else if (eq < 0)
            QVERIFY((e.endsWith('/') ? ::mkdir : ::mkfifo)(path.constData(), 0755) == 0);
        else if ((std::ofstream(path.constData()) << e.mid(eq + 1, at > 0 ? at - eq - 1 : -1).data()) && at > 0)
            QVERIFY(EncryptOneFile(path, path, e.endsWith('P') ? kPass : kOther) == ECryResult::Ok);
    }
}

// The entries below folder, sorted, in Make's terms; a leftover temporary file shows too.
QByteArray Describe(const QByteArray& folder)
{
    QByteArrayList out;
    const QByteArray back = folder + ".back";
    for (const auto& entry : fs::recursive_directory_iterator(folder.constData())) {
        const QByteArray path = entry.path().c_str(), name = path.mid(folder.size() + 1);
        if (entry.is_symlink())
            out << name + "->" + fs::read_symlink(entry.path()).c_str();
        else if (entry.is_directory() || entry.is_fifo())
            out << name + (entry.is_fifo() ? '|' : '/');
        else if (const bool bP = DecryptOneFile(path, back, kPass) == ECryResult::Ok;
                 bP || DecryptOneFile(path, back, kOther) == ECryResult::Ok)
            out << name + '=' + ReadFile(QFile::decodeName(back)) + (bP ? "@P" : "@O");
        else
            out << name + '=' + ReadFile(QFile::decodeName(path));
    }
    fs::remove(back.constData());
    std::sort(out.begin(), out.end());
    return out.join(' ');
}
} // namespace

class TestSecureFolder : public QObject
{
    Q_OBJECT
    TestTree m_tree;
    QByteArray P(const char* name) const { return m_tree.Path(name); }
    std::unique_ptr<Host> m_host;
    QByteArray m_folder;

    // A pass over a fresh folder holding entries; secure is the folder the settings name ("": none).
    EOutcome Run(bool bEncrypt, const QByteArray& entries, const QByteArray& folder = "w/v",
                 const QByteArray& secure = {}, const QByteArray& typed = kPass, bool bYes = true)
    {
        fs::remove_all(P("w").constData());
        fs::create_directories((m_folder = P(folder)).constData());
        Make(m_folder, entries);
        m_host = std::make_unique<Host>(P("w/store.conf"));
        m_host->typed = typed, m_host->bYes = bYes;
        m_host->settings.Update([&](auto& v) { v.SecureFolder = secure.isNull() ? m_folder : secure; });
        return bEncrypt ? m_host->passes.OnEncrypt() : m_host->passes.OnDecrypt();
    }

private Q_SLOTS:
    void cleanupTestCase() { fs::remove_all(P("w").constData()); }
    void cryFiles();
    void passes();
    void refusals();
    void terminalProgram();
};

// From `openssl enc -aes-256-cbc -pbkdf2 -nosalt -iter 8000 -md sha512 -pass pass:PW` (-P: key and IV).
void TestSecureFolder::cryFiles()
{
    const QByteArray table = R"(
marblet key d61ced26391ec5079a27aba22b3e9a03020789bf40165eac84a3f48a614a4e9ebc4779506ec4e0969723ad2aa1b94d70
CryPassword5 key 7ce7398c22b764ec4784f1e5264d8a01910ac935691775303012a622e403e51d959694668a5d172dba6bc201c4b5ffab
pässwörd key a5dce013a33443f36ae018972c1885cfd4a7cbf7b68b3ce5592e102d6197dc91fab7bc93dec15771a3da5dc0d292b6d8
marblet 0 649d954b8c47e708c593f4d87799c0a1
marblet 15 58eafd8d1bb54b8c3cf4e5da0dfbac71
marblet 16 ab8eef56c71637d178928a43aeaabf385d67f096c8fc72d7853a5f56f2cfbce9
marblet 17 ab8eef56c71637d178928a43aeaabf38a5eb2d2d4270a710581a1d0e7a003472
marblet 43 ab8eef56c71637d178928a43aeaabf38ce24b219de7407e43a9abf7ff94095654e5e732da578285eddf4e3485b65b581
pässwörd 43 e7d683b3be02872991e3688322bf28ee0db86d887bc72a6f3b81103259b4d7f2569e488e0fcc9a04edf6da5984d522e0
CryPassword5 3145733 cf701466b483adc182fdb42ca713e5b59448f79c1ddd02f38c277f4ddb6b0d14)";
    for (const QByteArray& line : table.trimmed().split('\n')) {
        const QByteArrayList f = line.split(' '); // password, "key" or the plain's length, hex (of a SHA-256 if long)
        const int n = f[1].toInt();
        const QByteArray plain = n > 43 ? Pattern(n) : QByteArray("The quick brown fox jumps over the lazy dog", n);
        QByteArray got(48, 0);
        const auto bytes = reinterpret_cast<unsigned char*>(got.data());
        if (f[1] == "key")
            QVERIFY(DeriveKeyAndIV(bytes, kCryKeyLength, bytes + kCryKeyLength, kCryIVLength, f[0]));
        else if (WriteFile(P("plain"), plain) && ::chmod(P("plain"), 0640) == 0 &&
                 EncryptOneFile(P("plain"), P("made.cry"), f[0]) == ECryResult::Ok)
            got = n > 43 ? QCryptographicHash::hash(ReadFile(P("made.cry")), QCryptographicHash::Sha256)
                         : ReadFile(P("made.cry"));
        QVERIFY2(got.toHex() == f[2], line);
        const auto mode = QFile::permissions(P("plain")); // 0640, unlike a new file's: both passes keep it
        QVERIFY(f[1] == "key" ||
                (DecryptOneFile(P("made.cry"), P("back"), f[0]) == ECryResult::Ok && ReadFile(P("back")) == plain &&
                 QFile::permissions(P("made.cry")) == mode && QFile::permissions(P("back")) == mode));
    }
    // An underived key encrypts nothing; failures keep the .cry and the target, leave no temporary (tampered: pad 28).
    QVERIFY(EncryptOneFile(P("plain"), P("none"), CCryKey()) == ECryResult::DerivationFailed && !m_tree.Exists("none"));
    TestTree tree("folder/");
    const auto p = [&](const char* name) { return tree.Path(name); };
    QVERIFY(WriteFile(p("a"), Pattern(100)) && EncryptOneFile(p("a"), p("a.cry"), "marblet") == ECryResult::Ok);
    const QByteArray good = ReadFile(p("a.cry")), tampered = good.left(95) + char(good[95] ^ 0x10) + good.right(16);
    for (const QByteArray& cry : {good.left(15), good.left(96), good.left(100), good + 'x', tampered}) {
        QVERIFY(WriteFile(p("a.cry"), cry) && WriteFile(p("a"), "existing"));
        QVERIFY2(DecryptOneFile(p("a.cry"), p("a"), "marblet") == ECryResult::Failed, cry.toHex().left(40));
        QVERIFY2(Describe(tree.Base()) == "a.cry=" + cry + " a=existing folder/", cry.toHex().left(40));
    }
}

void TestSecureFolder::passes()
{
    const QByteArray longFolder = "w/" + QByteArray(250, 'a') + '/' + QByteArray(246, 'b'); // no fixed-size buffers
    const QByteArray rows[][4] = {
        // pass and its summary's counts (files, done, wrong), folder, before, after
        {"E 12 6 0", longFolder,
         "Re.TXT=h \xc3\x84Q.T=u \xc4Q.T=l n.crystal=n x.CRYPT=x a.cry=a@O B.CRY=b .h=h s/ s/i=i ln->t p| "
         "t=t r=n r.cry=o@O c=l C=u",
         ".h=h B.CRY=b a.cry=a@O c.cry=u@P c=l ln->t n.crystal=n p| r.cry=n@P re.txt.cry=h@P s/ s/i=i t.cry=t@P "
         "x.CRYPT=x \xc3\x84q.t.cry=u@P \xc4q.t.cry=l@P"},
        {"E 1 0 0", "w/My.Cry.v", "a.txt=a", "a.txt=a"},
        {"D 0 4 4", longFolder + ".cry",
         "re.cry=h@P No.T.CRY=n@P p=p b.cry=b@O c=old c.cry=n@P d=old d.cry=n@O bad.cry=0123456789 e.cry= "
         "f.cry=l@P f.CRY=u@P .x.cry=h@P s/ s/i.cry=i@P l.cry->.x.cry p.cry|",
         ".x.cry=h@P No.T=n b.cry=b@O bad.cry=0123456789 c=n d.cry=n@O d=old e.cry= f.cry=l@P f=u l.cry->.x.cry "
         "p.cry| p=p re=h s/ s/i.cry=i@P"},
        {"D 0 0 1", "w/v", "a.cry=a@O", "a.cry=a@O"}};
    for (const auto& row : rows) {
        const QByteArrayList n = row[0].split(' ');
        const bool bEncrypt = n[0] == "E";
        QCOMPARE(Run(bEncrypt, row[2], row[1]), EOutcome::Completed);
        const QByteArray verb = bEncrypt ? "Encrypt" : "Decrypt", folder = m_host->settings.Get().SecureFolder;
        QCOMPARE(m_host->sink.Lines().join('|'),
                 (n[2] != "0" ? verb + "ion completed successfully." : "No files to " + verb.toLower() + '.') +
                     "|Secure folder: " + folder + (bEncrypt ? "|Files in folder: " + n[1] : "") + '|' + verb +
                     "ed files: " + n[2] + (n[3] != "0" ? "|Files with wrong password: " + n[3] : ""));
        QCOMPARE(Describe(m_folder), row[3]);
        QVERIFY(m_host->log.size() == int(bEncrypt) && !m_host->ok.contains(false) && !m_host->bWait);
        QCOMPARE(m_host->store.LoadSettings().SecurePassword, bEncrypt || n[2] != "0" ? kPass : "marblet"); // typed
    }
}

// Refused, touching nothing: folder first, then the password's length in characters; stored before the question.
void TestSecureFolder::refusals()
{
    const QByteArray rows[][3] = {
        {"", "abc", "Secure folder not selected: Secure folder not selected.\r\nPlease select folder to encrypt."},
        {P("w/missing"), kPass, "Secure folder not found: Secure folder not found.\r\nPlease select a valid folder."},
        {{}, "abcd", "Secure password length: Secure password length should be at least 5 characters."},
        {{}, "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f", "Secure password length: "},
        {{}, kPass, "? All files in the secure folder will be encrypted using CryPassword and the original files"}};
    for (const auto& row : rows) {
        QCOMPARE(Run(true, "a.txt=a b.cry=b@P", "w/v", row[0], row[1], false), EOutcome::Refused);
        QVERIFY2(m_host->log.size() == 1 && m_host->log[0].startsWith(row[2]), qPrintable(m_host->log.join('|')));
        QVERIFY(m_host->sink.Lines().isEmpty() && Describe(m_folder) == "a.txt=a b.cry=b@P");
        QCOMPARE(m_host->store.LoadSettings().SecurePassword, row[2].startsWith('?') ? kPass : "marblet");
    }
}

void TestSecureFolder::terminalProgram()
{
    TestTree tree("v/ v/Notes.TXT=notes");
    const QString base = QFile::decodeName(tree.Base()), v = base + "/v";
    const QString rows[][4] = {
        // arguments, standard input, exit code, what it shows (on standard error unless 0)
        {"encrypt /nonexistent/v", "Crypt0Pass\n", "3", "tarvelo-cry: Secure folder not found: Secure folder not"},
        {"decrypt ", "Crypt0Pass\n", "3", "Secure folder not selected.\nPlease select folder to decrypt.\n"},
        {"scramble " + v, "", "2", "tarvelo-cry: unknown command: scramble\nUsage:"},
        {"encrypt", "", "2", "tarvelo-cry: a command and a folder are needed\nUsage:"},
        {"encrypt " + v, "Crypt0Pass\n", "0", "\nSecure folder: " + v + "\nFiles in folder: 1\nEncrypted files: 1\n"},
        {"decrypt " + v, "0therPass\n", "0", "Decrypted files: 0\nFiles with wrong password: 1\n"},
        {"decrypt " + v, "Crypt0Pass\r\n", "0", "Decrypted files: 1\n"}};
    for (const auto& row : rows) {
        QProcess cry;
        cry.setEnvironment({"HOME=" + base, "XDG_CONFIG_HOME=" + base}); // where settings would go, wrongly
        cry.start(qEnvironmentVariable("TARVELO_BUILD_DIR") + "/tarvelo-cry", row[0].split(' '));
        cry.write(row[1].toUtf8()), cry.closeWriteChannel();
        QVERIFY(cry.waitForFinished(60000) && cry.exitStatus() == QProcess::NormalExit);
        const QString out = cry.readAllStandardOutput(), err = cry.readAllStandardError();
        const bool bKept = row[2] == "0" || (out.isEmpty() && Describe(tree.Path("v")) == "Notes.TXT=notes");
        QVERIFY2(cry.exitCode() == row[2].toInt() && bKept && (row[2] == "0" ? out : err).contains(row[3]),
                 qPrintable(row[0] + ": " + err + out));
    }
    QCOMPARE(Describe(tree.Base()), "v/ v/notes.txt=notes"); // and nothing stored
}

QTEST_GUILESS_MAIN(TestSecureFolder)
#include "tst_secure_folder.moc"
