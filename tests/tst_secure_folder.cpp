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
TestTree tree;
const auto P = [](const QByteArray& name) { return tree.Path(name); };

// A pass as the window runs it: the work on a thread aside while this one serves a click on Encrypt and Decrypt.
struct Host : ISecureFolderHost
{
    void ShowWarning(const QString& text, const QString& caption) override { log << caption + ": " + text; }
    bool AskYesNo(const QString& text) override { return log << "? " + text, bYes; }
    bool ReadBackControls() override
    {
        return settings.Update([this](auto& v) { v.SecurePassword = typed; }), true;
    }
    void SetWaitCursor(bool bOn) override { bWait = bOn; }
    void RunFileWork(const std::function<void()>& work) override
    {
        std::promise<void> served;
        QTimer::singleShot(0, [&] {
            ok << (bWait && passes.IsRunning() && passes.OnEncrypt() == EOutcome::Busy &&
                   passes.OnDecrypt() == EOutcome::Busy);
            served.set_value();
        });
        worker.Run([&] {
            ok << (served.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready)
               << (QThread::currentThread() != QCoreApplication::instance()->thread()); // appended once served
            work();
        });
    }
    CSettings settings;
    CSettingsStore store{QFile::decodeName(P("w/store.conf"))};
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
private Q_SLOTS:
    void cryFiles();
    void passes();
    void terminalProgram();
};

// From `openssl enc -aes-256-cbc -pbkdf2 -nosalt -iter 8000 -md sha512 -pass pass:PW` (a wrong key or IV shows too).
void TestSecureFolder::cryFiles()
{
    const QByteArray table = R"(
marblet 0 649d954b8c47e708c593f4d87799c0a1
marblet 15 58eafd8d1bb54b8c3cf4e5da0dfbac71
marblet 16 ab8eef56c71637d178928a43aeaabf385d67f096c8fc72d7853a5f56f2cfbce9
marblet 43 ab8eef56c71637d178928a43aeaabf38ce24b219de7407e43a9abf7ff94095654e5e732da578285eddf4e3485b65b581
pässwörd 43 e7d683b3be02872991e3688322bf28ee0db86d887bc72a6f3b81103259b4d7f2569e488e0fcc9a04edf6da5984d522e0
CryPassword5 3145733 cf701466b483adc182fdb42ca713e5b59448f79c1ddd02f38c277f4ddb6b0d14)";
    for (const QByteArray& line : table.trimmed().split('\n')) {
        const QByteArrayList f = line.split(' '); // password, the plain's length, the .cry in hex (its SHA-256 if long)
        const int n = f[1].toInt();
        const QByteArray plain = n > 43 ? Pattern(n) : QByteArray("The quick brown fox jumps over the lazy dog", n);
        QVERIFY(WriteFile(P("plain"), plain) && ::chmod(P("plain"), 0640) == 0);
        QVERIFY(EncryptOneFile(P("plain"), P("made.cry"), f[0]) == ECryResult::Ok);
        const QByteArray cry = ReadFile(P("made.cry")), sha = QCryptographicHash::hash(cry, QCryptographicHash::Sha256);
        QVERIFY2((n > 43 ? sha : cry).toHex() == f[2], line);
        // Both directions keep the source's mode 0640, unlike a new file's.
        QVERIFY(DecryptOneFile(P("made.cry"), P("back"), f[0]) == ECryResult::Ok && ReadFile(P("back")) == plain);
        QVERIFY(QFile::permissions(P("made.cry")) == QFile::permissions(P("plain")) &&
                QFile::permissions(P("back")) == QFile::permissions(P("plain")));
    }
    // An underived key encrypts nothing; failures keep the .cry and the target, leave no temporary (tampered: pad 28).
    QVERIFY(EncryptOneFile(P("plain"), P("none"), CCryKey()) == ECryResult::DerivationFailed && !tree.Exists("none"));
    QVERIFY(::mkdir(P("f"), 0755) == 0 && WriteFile(P("f/a"), Pattern(100)));
    QVERIFY(EncryptOneFile(P("f/a"), P("f/a.cry"), "marblet") == ECryResult::Ok);
    const QByteArray good = ReadFile(P("f/a.cry")), tampered = good.left(95) + char(good[95] ^ 0x10) + good.right(16);
    for (const QByteArray& cry : {good.left(15), good.left(96), good.left(100), good + 'x', tampered}) {
        QVERIFY(WriteFile(P("f/a.cry"), cry) && WriteFile(P("f/a"), "existing"));
        QVERIFY2(DecryptOneFile(P("f/a.cry"), P("f/a"), "marblet") == ECryResult::Failed, cry.toHex().left(40));
        QVERIFY2(Describe(P("f")) == "a.cry=" + cry + " a=existing", cry.toHex().left(40));
    }
}

void TestSecureFolder::passes()
{
    const QByteArray longFolder = "w/" + QByteArray(250, 'a') + '/' + QByteArray(246, 'b'); // no fixed-size buffers
    struct Row
    {
        const char* pass; // E, D, or R: encryption refused or answered No, touching nothing
        QByteArray shown; // the summary ("<f>": the folder), or the start of the warning
        QByteArray stored, typed = kPass, folder = "w/v", before = "a.txt=a b.cry=b@P", after = before;
    } rows[] = {
        {"E", "Encryption completed successfully.|Secure folder: <f>|Files in folder: 9|Encrypted files: 5", kPass,
         kPass, longFolder,
         "Re.TXT=h \xc3\x84Q.T=u \xc4Q.T=l x.CRYPT=x B.CRY=b .h=h s/ s/i=i ln->t p| r=n r.cry=o@O c=l C=u",
         ".h=h B.CRY=b c.cry=u@P c=l ln->t p| r.cry=n@P re.txt.cry=h@P s/ s/i=i x.CRYPT=x \xc3\x84q.t.cry=u@P "
         "\xc4q.t.cry=l@P"},
        {"E", "No files to encrypt.|Secure folder: <f>|Files in folder: 1|Encrypted files: 0", kPass, kPass,
         "w/My.Cry.v", "a.txt=a", "a.txt=a"},
        {"D", "Decryption completed successfully.|Secure folder: <f>|Decrypted files: 4|Files with wrong password: 4",
         kPass, kPass, longFolder + ".cry",
         "re.cry=h@P No.T.CRY=n@P p=p b.cry=b@O c=old c.cry=n@P d=old d.cry=n@O bad.cry=0123456789 e.cry= "
         "f.cry=l@P f.CRY=u@P .x.cry=h@P s/ s/i.cry=i@P l.cry->.x.cry p.cry|",
         ".x.cry=h@P No.T=n b.cry=b@O bad.cry=0123456789 c=n d.cry=n@O d=old e.cry= f.cry=l@P f=u l.cry->.x.cry "
         "p.cry| p=p re=h s/ s/i.cry=i@P"},
        {"D", "No files to decrypt.|Secure folder: <f>|Decrypted files: 0|Files with wrong password: 1", "marblet",
         kPass, "w/v", "a.cry=a@O", "a.cry=a@O"},
        // The settings name folder; the folder first, then the password's length in characters; stored before asking.
        {"R", "Secure folder not selected: Secure folder not selected.\r\nPlease select folder to encrypt.", "marblet",
         "abc", ""},
        {"R", "Secure folder not found: Secure folder not found.\r\nPlease select a valid folder.", "marblet", kPass,
         "w/missing"},
        {"R", "Secure password length: Secure password length should be at least 5 characters.", "marblet",
         "\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f"},
        {"R", "? All files in the secure folder will be encrypted using CryPassword and the original files", kPass}};
    for (const Row& row : rows) {
        fs::remove_all(P("w").constData());
        const QByteArray pass = row.pass, folder = P(pass == "R" ? "w/v" : row.folder);
        fs::create_directories(folder.constData());
        Make(folder, row.before);
        Host host;
        host.typed = row.typed, host.bYes = pass != "R";
        host.settings.Update([&](auto& v) { v.SecureFolder = row.folder.isEmpty() ? "" : P(row.folder); });
        const EOutcome outcome = pass == "D" ? host.passes.OnDecrypt() : host.passes.OnEncrypt();
        QCOMPARE(outcome, pass == "R" ? EOutcome::Refused : EOutcome::Completed);
        const QString shown = (pass == "R" ? host.log.value(0).left(row.shown.size()) : "") +
                              QString(host.sink.Lines().join('|')).replace(folder, "<f>");
        QVERIFY2(shown == row.shown && host.log.size() == int(pass != "D"), qPrintable(shown + host.log.join('|')));
        QCOMPARE(Describe(folder), row.after);
        QVERIFY(!host.ok.contains(false) && !host.bWait);
        QCOMPARE(host.store.LoadSettings().SecurePassword, row.stored); // the typed one when stored
    }
}

void TestSecureFolder::terminalProgram()
{
    // Refusals exit 3 (a warning) or 2 (usage) touching nothing; passes read the password from standard input.
    TestTree tree("v/ v/Notes.TXT=notes");
    QCOMPARE(QProcess::execute("sh", {"-exc", R"sh(cd "$0"; export HOME="$0" XDG_CONFIG_HOME="$0"
cry() {
    code=$1 input=$2 line=$3 && shift 3
    printf "$input" | "$TARVELO_BUILD_DIR/tarvelo-cry" "$@" >out 2>err && test $code = 0 || test $? = $code -a ! -s out
    grep -x "$line" out err
}
cry 3 'Crypt0Pass\n' 'tarvelo-cry: Secure folder not found: Secure folder not found.' encrypt /nonexistent/v
cry 3 'Crypt0Pass\n' 'Please select folder to decrypt.' decrypt ''
cry 2 '' 'tarvelo-cry: unknown command: scramble' scramble v
cry 2 '' 'tarvelo-cry: a command and a folder are needed' encrypt
grep '^Usage:' err && test "$(ls v)" = Notes.TXT
cry 0 'Crypt0Pass\n' "Secure folder: $0/v" encrypt "$0/v"
cry 0 '0therPass\n' 'Files with wrong password: 1' decrypt v
cry 0 'Crypt0Pass\r\n' 'Decrypted files: 1' decrypt v
rm out err && grep -x notes v/notes.txt
test "$(find | sort)" = "$(printf '.\n./v\n./v/notes.txt')")sh",
                                      tree.Base()}),
             0);
}

QTEST_GUILESS_MAIN(TestSecureFolder)
#include "tst_secure_folder.moc"
