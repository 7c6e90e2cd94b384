// Catches: .cry bytes unlike openssl's, bad .cry taken, passes losing or misnaming files, wrong refusals, tarvelo-cry.
#include "core/ServerMonitor.h"
#include "core/SettingsStore.h"
#include "securefolder/SecureFolderHost.h"
#include "securefolder/SecureFolderPasses.h"
#include "TestFiles.h"
#include "TestServer.h"
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <QtTest>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using EOutcome = CSecureFolderPasses::EOutcome;
using EStart = CSecureFolderPasses::EStart;
static const QByteArray kPass = "Crypt0Pass", kOther = "0therPass"; // "@P" and "@O" below
static TestTree tree;
static const auto P = [](const QByteArray& name) { return tree.Path(name); };

// A pass as the window runs it (started, its end awaited while this thread serves events) on w/v, made empty.
struct Host : ISecureFolderHost
{
    Host() { fs::remove_all(P("w").constData()), fs::create_directories(P("w/v").constData()); }
    void ShowWarning(const QString& text, const QString& caption) override { log << caption + ": " + text; }
    bool AskYesNo(const QString& text) override
    {
        if (bCancelAsked) // the window ending while its question is up
            passes.Cancel();
        return log << "? " + text, bYes;
    }
    bool ReadBackControls() override
    {
        return settings.Update([this](auto& v) { v.SecurePassword = typed; }), true;
    }
    void SetWaitCursor(bool bOn) override { bWait = bOn; }
    // Starts a pass, runs meanwhile once it has started, and waits for its end; nothing when it did not start.
    std::optional<EOutcome> Run(bool decrypt, const std::function<void()>& meanwhile = {})
    {
        QSignalSpy finished(&passes, &CSecureFolderPasses::Finished);
        const EStart start = decrypt ? passes.OnDecrypt() : passes.OnEncrypt();
        if (start != EStart::Started)
            return ok << (start == EStart::Refused && !passes.IsRunning()), std::nullopt;
        // Running beside this thread: a second pass is refused.
        ok << (bWait && passes.IsRunning() && passes.OnEncrypt() == EStart::Busy && passes.OnDecrypt() == EStart::Busy);
        if (meanwhile)
            meanwhile();
        ok << (finished.wait(60000) && finished.size() == 1 && !passes.IsRunning());
        return finished.value(0).value(0).value<EOutcome>();
    }
    CSettings settings{{.Password = "", .SecureFolder = P("w/v")}};
    CSettingsStore store{QFile::decodeName(P("w/store.conf"))};
    CaptureSink sink;
    CServerMonitor monitor{&sink};
    CSecureFolderPasses passes{settings, &store, monitor, *this};
    QByteArray typed = kPass; // what the read-back brings
    bool bYes = true, bCancelAsked = false, bWait = false;
    QStringList log; // warnings as "caption: text", questions as "? text"
    QList<bool> ok;  // the refusals, what held while the pass ran, its end
};

// TestTree's entries, plus "name|" (a FIFO) and "name=text@P" (its .cry form); names are bytes.
static void Make(const QByteArray& folder, const QByteArray& entries)
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
static QByteArray Describe(const QByteArray& folder)
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
    std::sort(out.begin(), out.end());
    return out.join(' ');
}

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
marblet 0 d5d740239c605ab9163b08b5122f5535d4c5630b415a25b70bb8f2f2d89ca6e4
marblet 15 b70a0a064f9aedb424587b05b24c2051f5a82cceb67889812994258062c4b295
marblet 16 e73c9f206290c26b6779a5b72b1a4d3d634f37114f10dcb96c3ed9d52344c635
pässwörd 43 b7445458b2661f640c83c3962501d98daedf69b035f5002f8015bd9530359573
CryPassword5 3145733 cf701466b483adc182fdb42ca713e5b59448f79c1ddd02f38c277f4ddb6b0d14)";
    for (const QByteArray& line : table.trimmed().split('\n')) {
        const QByteArrayList f = line.split(' '); // password, the plain's length, the SHA-256 of the .cry
        const int n = f[1].toInt();
        const QByteArray plain = n > 43 ? Pattern(n) : QByteArray("The quick brown fox jumps over the lazy dog", n);
        QVERIFY(WriteFile(P("plain"), plain) && ::chmod(P("plain"), 0640) == 0);
        QVERIFY(EncryptOneFile(P("plain"), P("made.cry"), f[0]) == ECryResult::Ok);
        QVERIFY2(QCryptographicHash::hash(ReadFile(P("made.cry")), QCryptographicHash::Sha256).toHex() == f[2], line);
        QVERIFY(DecryptOneFile(P("made.cry"), P("back"), f[0]) == ECryResult::Ok && ReadFile(P("back")) == plain);
        QVERIFY2(QFile::permissions(P("made.cry")) == QFile::permissions(P("plain")), line); // 0640: not a new file's
    }
    QVERIFY(EncryptOneFile(P("plain"), P("none"), CCryKey()) == ECryResult::DerivationFailed && !tree.Exists("none"));
    // The bytes read, for a pass's progress: all of the source once done.
    CCryKey key;
    std::atomic<qint64> read = 0, readBack = 0;
    QVERIFY(key.Derive("marblet") && EncryptOneFile(P("plain"), P("made.cry"), key, &read) == ECryResult::Ok &&
            DecryptOneFile(P("made.cry"), P("back"), key, nullptr, &readBack) == ECryResult::Ok);
    QVERIFY(read == QFileInfo(P("plain")).size() && readBack == QFileInfo(P("made.cry")).size());
}

void TestSecureFolder::passes()
{
    const QByteArray longFolder = "w/" + QByteArray(250, 'a') + '/' + QByteArray(246, 'b'); // no fixed-size buffers
    const QByteArray tooLong(253, 'n'); // ".cry" makes a name longer than a file system takes
    struct Row
    {
        char pass; // E, D; e, d: cancelled at once; R: encryption refused or answered No, C: cancelled while asked
        QByteArray shown; // the summary ("<f>": the folder), or the start of the warning
        QByteArray typed = kPass, folder = "w/v", stored = "marblet", before = "a.txt=a b.cry=b@P", after = before;
    } rows[] = {
        // c and C would both make c.cry: the second would replace the first's, now or at the next pass. Outputs that
        // a pass killed midway left under hidden names (.tarvelo-cry-*) go.
        {'E',
         "Encryption completed successfully.|Secure folder: <f>|Files in folder: 10|Encrypted files: 4|"
         "Files not encrypted: 1|Files skipped for their names: 2",
         kPass, longFolder, kPass,
         "Re.TXT=h ÄQ.T=u \xc4Q.T=l x.CRYPT=x B.CRY=b .h=h s/ s/i=i ln->t p| r=n r.cry=o@O c=l C=u " + tooLong +
             "=k .tarvelo-cry-1=left",
         ".h=h B.CRY=b C=u c=l ln->t " + tooLong +
             "=k p| r.cry=n@P re.txt.cry=h@P s/ s/i=i x.CRYPT=x Äq.t.cry=u@P "
             "\xc4q.t.cry=l@P"},
        {'E', "No files to encrypt.|Secure folder: <f>|Files in folder: 1|Encrypted files: 0", kPass, "w/My.Cry.v",
         kPass, "a.txt=a", "a.txt=a"},
        {'D',
         "Decryption completed successfully.|Secure folder: <f>|Decrypted files: 3|Files with wrong password: 3|"
         "Damaged .cry files: 2|Files skipped for their names: 3|Kept .cry files (the password may be wrong): 3",
         kPass, longFolder + ".cry", kPass,
         ".tarvelo-cry-2=left re.cry=h@P No.T.CRY=n@P p=p b.cry=b@O c=old c.cry=n@P d=old d.cry=n@O bad.cry=0123456789 "
         "e.cry= "
         "f.cry=l@P f.CRY=u@P .x.cry=h@P s/ s/i.cry=i@P l.cry->.x.cry p.cry| x.cry.cry=q@P x.cry=z@O",
         // Some failed: every .cry file stays, as a wrong password may have passed for the right one.
         ".x.cry=h@P No.T.CRY=n@P No.T=n b.cry=b@O bad.cry=0123456789 c.cry=n@P c=n d.cry=n@O d=old e.cry= f.CRY=u@P "
         "f.cry=l@P l.cry->.x.cry p.cry| p=p re.cry=h@P re=h s/ s/i.cry=i@P x.cry.cry=q@P x.cry=z@O"},
        // One byte of padding on every file decrypted, as nearly every wrong password that passes leaves: kept.
        {'D',
         "Decryption completed successfully.|Secure folder: <f>|Decrypted files: 1|Kept .cry files (the password "
         "may be wrong): 1",
         kPass, "w/v", kPass, "o.cry=fifteen-bytes!!@P", "o.cry=fifteen-bytes!!@P o=fifteen-bytes!!"},
        {'D', "Decryption completed successfully.|Secure folder: <f>|Decrypted files: 2", kPass, "w/v", kPass,
         "o.cry=fifteen-bytes!!@P t.cry=t@P", "o=fifteen-bytes!! t=t"},
        {'D', "No files to decrypt.|Secure folder: <f>|Decrypted files: 0|Files with wrong password: 1", kPass, "w/v",
         "marblet", "a.cry=a@O", "a.cry=a@O"},
        // The settings name folder; the folder first, then the password's length in characters; stored before asking.
        {'R', "Secure folder not selected: Secure folder not selected.\r\nPlease select folder to encrypt.", "abc", ""},
        {'R', "Secure folder not found: Secure folder not found.\r\nPlease select a valid folder.", kPass, "w/missing"},
        {'R', "Secure password length: Secure password length should be at least 5 characters.", "äöüß"},
        {'R', "? All files in the secure folder will be encrypted using CryPassword", kPass, "w/v", kPass},
        {'C', "? All files in the secure folder will be encrypted using CryPassword", kPass, "w/v", kPass},
        // A cancel stops a pass once the file in hand is done; the others are untouched, and counted.
        {'e',
         "Encryption completed successfully.|Secure folder: <f>|Files in folder: 3|Encrypted files: 1|"
         "Files left (cancelled): 2",
         kPass, "w/v", kPass, "a=x b=y c=z", "a.cry=x@P b=y c=z"},
        {'d', "Decryption completed successfully.|Secure folder: <f>|Decrypted files: 1|Files left (cancelled): 2",
         kPass, "w/v", kPass, "a.cry=x@P b.cry=y@P c.cry=z@P", "a=x b.cry=y@P c.cry=z@P"}};
    for (const Row& row : rows) {
        const bool refused = row.pass == 'R' || row.pass == 'C', cancelled = row.pass == 'e' || row.pass == 'd';
        Host host;
        const QByteArray folder = P(refused ? "w/v" : row.folder);
        fs::create_directories(folder.constData());
        Make(folder, row.before);
        host.typed = row.typed, host.bYes = row.pass != 'R', host.bCancelAsked = row.pass == 'C';
        host.settings.Update([&](auto& v) { v.SecureFolder = row.folder.isEmpty() ? "" : P(row.folder); });
        const bool decrypt = row.pass == 'D' || row.pass == 'd';
        const std::optional<EOutcome> outcome = host.Run(decrypt, [&] {
            if (cancelled)
                host.passes.Cancel();
        });
        const bool undone = QString(row.shown).contains(QRegularExpression("not encrypted|wrong password|Damaged|"
                                                                           "skipped|Kept|left \\(cancelled"));
        QVERIFY(outcome ==
                (refused ? std::nullopt : std::optional(undone ? EOutcome::Incomplete : EOutcome::Completed)));
        const QString shown = (refused ? host.log.value(0).left(row.shown.size()) : "") +
                              QString(host.sink.Lines().join('|')).replace(folder, "<f>");
        QVERIFY2(shown == row.shown && host.log.size() == int(!decrypt), qPrintable(shown + host.log.join('|')));
        QCOMPARE(Describe(folder), row.after);
        QVERIFY(!host.ok.contains(false) && !host.bWait);
        QCOMPARE(host.store.LoadSettings().SecurePassword, row.stored); // the typed one when stored
        // Where the pass ended: every file and byte listed, or the first file of three.
        const CPassProgress p = host.passes.Progress();
        QVERIFY(refused || (cancelled ? p.filesDone == 1 && p.files == 3 && p.bytesDone * 3 == p.bytes
                                      : p.filesDone == p.files && p.bytesDone == p.bytes));
    }
    // Files saved anew while the pass ran keep their place; the results hold what was read.
    for (const bool encrypt : {true, false}) {
        Host host;
        Make(P("w/v"), encrypt ? "a.txt=a" : "a.txt.cry=a@P");
        const QByteArray source = encrypt ? "a.txt" : "a.txt.cry", result = encrypt ? "a.txt.cry" : "a.txt";
        // Once the result is in place, and before this thread has heard of it (its end waits in the queue meanwhile).
        const auto saveAnew = [&] {
            const QDeadlineTimer deadline(60000);
            while (!QFile::exists(P("w/v/" + result)) && !deadline.hasExpired())
                QThread::yieldCurrentThread();
            QVERIFY(WriteFile(P("w/v/" + source), "saved anew"));
        };
        QVERIFY(host.Run(!encrypt, saveAnew) == EOutcome::Completed && !host.ok.contains(false));
        QCOMPARE(Describe(P("w/v")),
                 encrypt ? QByteArray("a.txt.cry=a@P a.txt=saved anew") : "a.txt.cry=saved anew a.txt=a");
    }
    // A full disk (here a file size limit) is told apart from a wrong password, and the .cry files stay.
    {
        Host host;
        QVERIFY(WriteFile(P("big"), Pattern(300000)) &&
                EncryptOneFile(P("big"), P("w/v/big.cry"), kPass) == ECryResult::Ok);
        Make(P("w/v"), "small.cry=s@P");
        struct rlimit limit = {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const struct rlimit small = {100000, limit.rlim_max};
        ::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const std::optional<EOutcome> outcome = host.Run(true);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0 && outcome == EOutcome::Incomplete);
        QCOMPARE(host.sink.Lines().join('|'), "Decryption completed successfully.|Secure folder: " + P("w/v") +
                                                  "|Decrypted files: 1|Files not decrypted (read or write error): 1|"
                                                  "Kept .cry files (the password may be wrong): 1");
        QVERIFY(ReadFile(P("w/v/small")) == "s" && QFile::exists(P("w/v/small.cry")) &&
                QFile::exists(P("w/v/big.cry")) && !QFile::exists(P("w/v/big")));
    }
    // A CryPassword that cannot be stored is told: the files are encrypted with it.
    Host host;
    fs::create_directories(P("w/store.conf").constData()); // no file can be written there
    QVERIFY(host.Run(false) == EOutcome::Completed);
    QVERIFY(host.sink.Lines().contains("Unable to save the settings to " + P("w/store.conf")));
}

void TestSecureFolder::terminalProgram()
{
    // Refusals exit 3 (a warning) or 2 (usage) touching nothing; passes read the password from standard input.
    TestTree tree("v/ v/Notes.TXT=notes");
    const QString script = R"sh(cd "$0"; export HOME="$0" XDG_CONFIG_HOME="$0"
cry() {
    code=$1 input=$2 line=$3 && shift 3
    status=0 && printf "$input" | "$TARVELO_BUILD_DIR/tarvelo-cry" "$@" >out 2>err || status=$?
    test $status = $code
    test $code = 0 -o $code = 4 -o ! -s out
    grep -x "$line" out err
}
cry 3 'Crypt0Pass\n' 'tarvelo-cry: Secure folder not found: Secure folder not found.' encrypt /nonexistent/v
cry 3 'Crypt0Pass\n' 'Please select folder to decrypt.' decrypt ''
cry 2 '' 'tarvelo-cry: unknown command: scramble' scramble v
cry 2 '' 'Usage: tarvelo-cry encrypt FOLDER' encrypt
cry 0 'Crypt0Pass\n' 'Encrypted files: 1' encrypt v
cry 4 '0therPass\n' 'Files with wrong password: 1' decrypt v
cry 0 'Crypt0Pass\r\n' 'Decrypted files: 1' decrypt v
# A failing file's name reaches the terminal with control bytes escaped: C0, C1, a lone 0x9B, an overlong ESC, an RLO.
printf x >"v/$(printf 'e\033[2J\302\233\233\300\233\340\201\233\303\251\342\202\254\303\342\200\256.cry')"
cry 4 'Crypt0Pass\n' 'No files to decrypt.' decrypt v; tr -d '\033\233\300\340\256' <err | cmp err -
grep -F 'decrypting v/e\x1b[2J\xc2\x9b\x9b\xc0\x9b\xe0\x81\x9bé€\xc3\xe2\x80\xae.cry: ' err; rm v/e*
# Names whose .cry names would clash are left as they are, each named.
printf x >v/NOTES.txt && cry 4 'Crypt0Pass\n' 'Files skipped for their names: 2' encrypt v
grep -F 'skipping v/NOTES.txt: ' err && rm v/NOTES.txt
# At a terminal, encrypting asks twice (two that differ stop it: exit 3), its progress on standard error is cleared
# before the summary, and SIGINT stops it after the file in hand (exit 4), those untouched counted.
mkdir i && for n in 1 2 3; do head -c 64M /dev/zero >i/$n; done && python3 - "$TARVELO_BUILD_DIR/tarvelo-cry" <<'EOF'
import os, pty, re, signal, sys
signal.alarm(60) # a prompt that never comes fails the test
for second in (b'Crypt0Pas\n', b'Crypt0Pass\n'):
    pid, fd = pty.fork()
    if pid == 0: os.execv(sys.argv[1], [sys.argv[1], 'encrypt', 'i'])
    out = b''
    for typed in (b'Crypt0Pass\n', second):
        while not out.endswith(b': '): out += os.read(fd, 100)
        os.write(fd, typed); out += b'\n'
    if second == b'Crypt0Pass\n':
        while b' (0%)' not in out: out += os.read(fd, 100)
        os.kill(pid, signal.SIGINT)
    try:
        while chunk := os.read(fd, 1000): out += chunk
    except OSError: pass
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if second == b'Crypt0Pas\n' and status != 3: sys.exit(1)
plain = re.sub(rb'\x1b\[[0-9;]*m', b'', out)
left = [n for n in '123' if os.path.exists('i/' + n) and os.path.getsize('i/' + n) == 64 << 20 and
        not os.path.exists(f'i/{n}.cry')]
done = [n for n in '123' if not os.path.exists('i/' + n) and os.path.exists(f'i/{n}.cry')]
sys.exit(status != 4 or len(left) + len(done) != 3 or not left or
         b'\r\x1b[Ktarvelo-cry: 0 of 3 files, 0 bytes of 192.00 MiB (0%)' not in out or
         not re.search(rb'\r\x1b\[K\x1b\[[0-9;]*m(Encryption completed successfully|No files to encrypt)', out) or
         f'Files left (cancelled): {len(left)}\r\n'.encode() not in plain)
EOF
rm -r i
# Killed while it writes its output, encrypting leaves only the source: the output had no name yet.
mkdir k && head -c 64M /dev/zero >k/big && python3 - "$TARVELO_BUILD_DIR/tarvelo-cry" <<'EOF'
import os, subprocess, sys
p = subprocess.Popen([sys.argv[1], 'encrypt', 'k'], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
p.stdin.write(b'Crypt0Pass\n'); p.stdin.close()
k, fds = os.path.realpath('k') + '/', f'/proc/{p.pid}/fd/'
while p.poll() is None:
    try: links = [os.readlink(fds + n) for n in os.listdir(fds)]
    except OSError: continue
    if any(l.startswith(k) and l != k + 'big' for l in links): p.kill(); sys.exit(p.wait() != -9)
sys.exit('the output was never seen open')
EOF
test "$(ls -A k)" = big && rm -r k out err && test "$(find | sort)" = "$(printf '.\n./v\n./v/notes.txt')")sh";
    QCOMPARE(QProcess::execute("sh", {"-exc", script, tree.Base()}), 0);
}

QTEST_GUILESS_MAIN(TestSecureFolder)
#include "tst_secure_folder.moc"
