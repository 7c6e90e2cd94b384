// The encryption and decryption passes over the secure folder, seen as the user sees them: the
// warnings, the question, the summary lines and the files on disk.

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "core/SettingsStore.h"
#include "securefolder/CryFile.h"
#include "securefolder/FileWorkThread.h"
#include "securefolder/SecureFolderHost.h"
#include "securefolder/SecureFolderPasses.h"
#include "TestServer.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kPassword = "Crypt0Pass";
const QByteArray kOtherPassword = "0therPass";

// The window's side of a pass, recorded.
class FakeHost : public ISecureFolderHost
{
public:
    void ShowWarning(const QString& text, const QString& caption) override { warnings << caption + '|' + text; }
    bool AskYesNo(const QString& text) override
    {
        questions << text;
        return bAnswer;
    }
    bool ReadBackControls() override
    {
        ++readBacks;
        if (onReadBack)
            onReadBack();
        return true;
    }
    void RunFileWork(const std::function<void()>& work) override
    {
        ++pumps;
        if (onPump)
            onPump();
        work();
    }
    void SetWaitCursor(bool bWait) override { bWaitCursor = bWait; }

    QStringList warnings;
    QStringList questions;
    bool bAnswer = true;
    int readBacks = 0;
    int pumps = 0;
    bool bWaitCursor = false;
    std::function<void()> onReadBack;
    std::function<void()> onPump;
};

bool WriteBytes(const QByteArray& path, const QByteArray& content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool bOk = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    return ::close(fd) == 0 && bOk;
}

QByteArray ReadBytes(const QByteArray& path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Folder entries for a table row, relative to the folder:
//   "name=content"     a plain file (also a ".cry" file with raw bytes)
//   "name=content@pw"  the ".cry" form of content under the password pw
//   "dir/"             a sub-folder;  "name->target" a symbolic link;  "name|" a FIFO
void MakeEntries(const QByteArray& folder, const QByteArrayList& entries)
{
    for (const QByteArray& entry : entries) {
        const qsizetype eq = entry.indexOf('=');
        const QByteArray path = folder + '/' + (eq < 0 ? entry : entry.left(eq)).split('|').first();
        if (entry.endsWith('/')) {
            QVERIFY(::mkdir(path.constData(), 0755) == 0);
        } else if (entry.endsWith('|')) {
            QVERIFY(::mkfifo(path.constData(), 0644) == 0);
        } else if (entry.contains("->")) {
            const QList<QByteArray> parts = entry.split('>');
            QVERIFY(::symlink(parts[1].constData(), (folder + '/' + parts[0].chopped(1)).constData()) == 0);
        } else if (const qsizetype at = entry.indexOf('@'); at >= 0) {
            const QByteArray plain = folder + "/.plain";
            QVERIFY(WriteBytes(plain, entry.mid(eq + 1, at - eq - 1)));
            QCOMPARE(EncryptOneFile(plain, path, entry.mid(at + 1)), ECryResult::Ok);
            QVERIFY(::unlink(plain.constData()) == 0);
        } else {
            QVERIFY(WriteBytes(path, entry.mid(entry.indexOf('=') + 1)));
        }
    }
}

// Every entry below folder, described in MakeEntries' terms; ".cry" files made with one of the
// given passwords are shown as their plain content and password.
QByteArrayList DescribeEntries(const QByteArray& folder, const QByteArray& prefix = {})
{
    DIR* dir = opendir(folder.constData());
    if (!dir)
        return {"<unreadable folder>"};
    // Names first: the decryptions below add files to the folder.
    QByteArrayList names;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    closedir(dir);
    QByteArrayList out;
    for (const QByteArray& name : names) {
        const QByteArray path = folder + '/' + name;
        struct stat st = {};
        lstat(path.constData(), &st);
        if (S_ISDIR(st.st_mode)) {
            out << prefix + name + '/';
            out << DescribeEntries(path, prefix + name + '/');
        } else if (S_ISFIFO(st.st_mode)) {
            out << prefix + name + '|';
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            const ssize_t n = readlink(path.constData(), target, sizeof target - 1);
            out << prefix + name + "->" + QByteArray(target, n > 0 ? n : 0);
        } else {
            QByteArray described = prefix + name + '=' + ReadBytes(path);
            for (const QByteArray& password : {kPassword, kOtherPassword}) {
                const QByteArray back = folder + "/.back";
                if (DecryptOneFile(path, back, password) == ECryResult::Ok) {
                    described = prefix + name + '=' + ReadBytes(back) + '@' + password;
                    ::unlink(back.constData());
                    break;
                }
            }
            out << described;
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

QByteArrayList Sorted(QByteArrayList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

class TestSecureFolder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void pass_data();
    void pass();
    void warnings_data();
    void warnings();
    void declinedQuestionStillStoresPassword();
    void summaryColours_data();
    void summaryColours();
    void passwordStoredAfterFirstDecryptionLine_data();
    void passwordStoredAfterFirstDecryptionLine();
    void onlyOnePassAtATime();
    void folderPathNamingAFile();
    void longPaths();
    void withoutStoreNothingIsStored();
    void fileWorkLeavesItsThreadFree();

private:
    // Builds the passes over m_folder; folderName may differ from the default "vault".
    [[nodiscard]] bool Prepare(const QByteArray& folderName = "vault");
    QByteArrayList ExpectedLines(QByteArrayList lines) const;
    QByteArray StoredPassword() const { return CSettingsStore(m_storeFile).LoadSettings().SecurePassword; }

    QTemporaryDir m_root;
    QByteArray m_folder;
    QString m_storeFile;
    std::unique_ptr<CSettings> m_settings;
    std::unique_ptr<CSettingsStore> m_store;
    std::unique_ptr<CaptureSink> m_sink;
    std::unique_ptr<CServerMonitor> m_monitor;
    std::unique_ptr<FakeHost> m_host;
    std::unique_ptr<CSecureFolderPasses> m_passes;
};

void TestSecureFolder::init()
{
    QVERIFY(m_root.isValid());
    m_storeFile = m_root.filePath("settings.conf");
}

void TestSecureFolder::cleanup()
{
    m_passes.reset();
    m_host.reset();
    m_monitor.reset();
    m_sink.reset();
    m_store.reset();
    m_settings.reset();
    // By bytes: some names of the tests are not valid UTF-8.
    const auto remove = [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); };
    const QByteArray root = QFile::encodeName(m_root.path());
    QVERIFY(nftw(root.constData(), remove, 16, FTW_DEPTH | FTW_PHYS) == 0);
    QVERIFY(::mkdir(root.constData(), 0700) == 0);
}

bool TestSecureFolder::Prepare(const QByteArray& folderName)
{
    m_folder = QFile::encodeName(m_root.path()) + '/' + folderName;
    if (::mkdir(m_folder.constData(), 0755) != 0)
        return false;
    CSettings::Values values;
    values.SecureFolder = m_folder;
    values.SecurePassword = kPassword;
    m_settings = std::make_unique<CSettings>(values);
    m_store = std::make_unique<CSettingsStore>(m_storeFile);
    m_sink = std::make_unique<CaptureSink>();
    m_monitor = std::make_unique<CServerMonitor>(m_sink.get());
    m_host = std::make_unique<FakeHost>();
    m_passes = std::make_unique<CSecureFolderPasses>(*m_settings, m_store.get(), *m_monitor, *m_host);
    return true;
}

QByteArrayList TestSecureFolder::ExpectedLines(QByteArrayList lines) const
{
    for (QByteArray& line : lines)
        line.replace("$F", m_folder);
    return lines;
}

void TestSecureFolder::pass_data()
{
    QTest::addColumn<bool>("bEncrypt");
    QTest::addColumn<QByteArray>("folderName");
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<QByteArrayList>("after");
    QTest::addColumn<QByteArrayList>("lines");
    const auto row = [](const char* name, bool bEncrypt, const QByteArrayList& before, const QByteArrayList& after,
                        bool bDone, const QByteArrayList& counts, const QByteArray& folderName = "vault") {
        const char* op = bEncrypt ? "encrypt" : "decrypt";
        const QByteArray first = bDone ? QByteArray(bEncrypt ? "Encryption" : "Decryption") + " completed successfully."
                                       : QByteArray("No files to ") + op + '.';
        QTest::addRow("%s: %s", op, name)
            << bEncrypt << folderName << before << after << QByteArrayList{first, "Secure folder: $F"} + counts;
    };

    row("empty folder", true, {}, {}, false, {"Files in folder: 0", "Encrypted files: 0"});
    row("only .cry files", true, {"a.txt.cry=a@0therPass", "B.CRY=raw"}, {"B.CRY=raw", "a.txt.cry=a@0therPass"}, false,
        {"Files in folder: 2", "Encrypted files: 0"});
    row("name lower-cased", true, {"Report.TXT=hello"}, {"report.txt.cry=hello@Crypt0Pass"}, true,
        {"Files in folder: 1", "Encrypted files: 1"});
    row("lowering is ASCII only", true, {"\xc3\x84Q.TXT=utf8", "\xc4Q.TXT=latin1"},
        {"\xc3\x84q.txt.cry=utf8@Crypt0Pass", "\xc4q.txt.cry=latin1@Crypt0Pass"}, true,
        {"Files in folder: 2", "Encrypted files: 2"});
    row(".cry inside names", true, {"notes.crystal.txt=n", "x.CRYPT=c", "plain.txt=p"},
        {"notes.crystal.txt=n", "plain.txt.cry=p@Crypt0Pass", "x.CRYPT=c"}, true,
        {"Files in folder: 3", "Encrypted files: 1"});
    row(".cry in the folder path", true, {"a.txt=a", "b=b"}, {"a.txt=a", "b=b"}, false,
        {"Files in folder: 2", "Encrypted files: 0"}, "My.Cry.vault");
    row("dot files, sub-folders, links, FIFOs left alone", true,
        {".hidden=h", "sub/", "sub/inner.txt=i", "link->top.txt", "pipe|", "top.txt=t"},
        {".hidden=h", "link->top.txt", "pipe|", "sub/", "sub/inner.txt=i", "top.txt.cry=t@Crypt0Pass"}, true,
        {"Files in folder: 1", "Encrypted files: 1"});
    row("replaces a .cry file of an earlier pass", true, {"a.txt=new", "a.txt.cry=old@0therPass"},
        {"a.txt.cry=new@Crypt0Pass"}, true, {"Files in folder: 2", "Encrypted files: 1"});
    row("names differing only in case", true, {"a.txt=lower", "A.txt=upper"},
        {"a.txt.cry=upper@Crypt0Pass", "a.txt=lower"}, true, {"Files in folder: 2", "Encrypted files: 1"});

    const QByteArray wrong1 = "Files with wrong password: 1", wrong2 = "Files with wrong password: 2";
    row("empty folder", false, {}, {}, false, {"Decrypted files: 0"});
    row("name keeps its case, .CRY matched", false,
        {"report.txt.cry=hello@Crypt0Pass", "Notes.TXT.CRY=n@Crypt0Pass", "plain.txt=p"},
        {"Notes.TXT=n", "plain.txt=p", "report.txt=hello"}, true, {"Decrypted files: 2"});
    row("every .cry with another password", false, {"a.cry=a@0therPass", "b.txt.cry=b@0therPass"},
        {"a.cry=a@0therPass", "b.txt.cry=b@0therPass"}, false, {"Decrypted files: 0", wrong2});
    row("right and wrong password", false, {"a.cry=a@Crypt0Pass", "b.cry=b@0therPass"}, {"a=a", "b.cry=b@0therPass"},
        true, {"Decrypted files: 1", wrong1});
    row("replaces an existing plain file", false, {"a.txt=old", "a.txt.cry=new@Crypt0Pass"}, {"a.txt=new"}, true,
        {"Decrypted files: 1"});
    row("wrong password keeps the existing plain file", false, {"a.txt=old", "a.txt.cry=new@0therPass"},
        {"a.txt.cry=new@0therPass", "a.txt=old"}, false, {"Decrypted files: 0", wrong1});
    row("damaged .cry files", false, {"bad.cry=0123456789", "empty.cry="}, {"bad.cry=0123456789", "empty.cry="}, false,
        {"Decrypted files: 0", wrong2});
    row("names differing only in case", false, {"a.txt.cry=lower@Crypt0Pass", "a.txt.CRY=upper@Crypt0Pass"},
        {"a.txt.cry=lower@Crypt0Pass", "a.txt=upper"}, true, {"Decrypted files: 1"});
    row("dot files, sub-folders, links left alone", false,
        {".x.cry=h@Crypt0Pass", "sub/", "sub/in.cry=i@Crypt0Pass", "l.cry->.x.cry", "p.cry|"},
        {".x.cry=h@Crypt0Pass", "l.cry->.x.cry", "p.cry|", "sub/", "sub/in.cry=i@Crypt0Pass"}, false,
        {"Decrypted files: 0"});
    row(".cry in the folder path", false, {"a.cry=a@Crypt0Pass"}, {"a=a"}, true, {"Decrypted files: 1"}, "my.cry");
}

void TestSecureFolder::pass()
{
    QFETCH(bool, bEncrypt);
    QFETCH(QByteArray, folderName);
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArrayList, after);
    QFETCH(QByteArrayList, lines);
    QVERIFY(Prepare(folderName));
    MakeEntries(m_folder, before);
    QCOMPARE(bEncrypt ? m_passes->OnEncrypt() : m_passes->OnDecrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(m_sink->Lines(), ExpectedLines(lines));
    QCOMPARE(DescribeEntries(m_folder), Sorted(after));
    // Only encryption asks first.
    QCOMPARE(m_host->questions.size(), bEncrypt ? 1 : 0);
    QVERIFY(m_host->warnings.isEmpty());
    QVERIFY(!m_host->bWaitCursor);
    // Decryption stores the password only once it has decrypted a file.
    const bool bStored = bEncrypt || lines.first() == "Decryption completed successfully.";
    QCOMPARE(StoredPassword(), bStored ? kPassword : CSettings::Values().SecurePassword);
}

void TestSecureFolder::warnings_data()
{
    QTest::addColumn<bool>("bEncrypt");
    QTest::addColumn<QByteArray>("folder"); // "$F" is the prepared folder
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("readBacks");
    const QString notFound = "Secure folder not found|Secure folder not found.\r\nPlease select a valid folder.";
    const QString tooShort = "Secure password length|Secure password length should be at least 5 characters.";
    for (const bool bEncrypt : {true, false}) {
        const char* op = bEncrypt ? "encrypt" : "decrypt";
        const QString notSelected = QString("Secure folder not selected|Secure folder not selected.\r\n"
                                            "Please select folder to %1.")
                                        .arg(op);
        QTest::addRow("%s: no folder, short password", op)
            << bEncrypt << QByteArray() << QByteArray("abc") << notSelected << 0;
        QTest::addRow("%s: missing folder", op) << bEncrypt << QByteArray("$F/missing") << kPassword << notFound << 0;
        QTest::addRow("%s: 4 characters", op) << bEncrypt << QByteArray("$F") << QByteArray("abcd") << tooShort << 1;
        QTest::addRow("%s: 4 characters, 8 bytes", op)
            << bEncrypt << QByteArray("$F") << QByteArray("\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f") << tooShort << 1;
    }
}

void TestSecureFolder::warnings()
{
    QFETCH(bool, bEncrypt);
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, password);
    QFETCH(QString, warning);
    QFETCH(int, readBacks);
    QVERIFY(Prepare());
    MakeEntries(m_folder, {"a.txt=a", "b.cry=b@Crypt0Pass"});
    const QByteArrayList before = DescribeEntries(m_folder);
    m_settings->Update([&](CSettings::Values& v) {
        v.SecureFolder = folder.replace("$F", m_folder);
        v.SecurePassword = password;
    });
    const auto outcome = bEncrypt ? m_passes->OnEncrypt() : m_passes->OnDecrypt();
    QCOMPARE(outcome, CSecureFolderPasses::EOutcome::Refused);
    QCOMPARE(m_host->warnings, QStringList{warning});
    QCOMPARE(m_host->readBacks, readBacks);
    QVERIFY(m_host->questions.isEmpty());
    QVERIFY(m_sink->Pieces().isEmpty());
    QCOMPARE(DescribeEntries(m_folder), before);
    QVERIFY(!QFile::exists(m_storeFile));
}

void TestSecureFolder::declinedQuestionStillStoresPassword()
{
    QVERIFY(Prepare());
    MakeEntries(m_folder, {"a.txt=a"});
    m_host->bAnswer = false;
    QCOMPARE(m_passes->OnEncrypt(), CSecureFolderPasses::EOutcome::Refused);
    QCOMPARE(m_host->questions,
             QStringList{"All files in the secure folder will be encrypted using CryPassword and the original files "
                         "will be removed after encryption.\n\nDo you want to continue with the encryption process ?"});
    QCOMPARE(StoredPassword(), kPassword);
    QCOMPARE(DescribeEntries(m_folder), QByteArrayList{"a.txt=a"});
    QVERIFY(m_sink->Pieces().isEmpty());
    QVERIFY(!m_host->bWaitCursor);
}

void TestSecureFolder::summaryColours_data()
{
    QTest::addColumn<bool>("bEncrypt");
    QTest::addColumn<QByteArrayList>("before");
    // Per piece: text and background colour (Green, Amber, White, Red, Dark), then '|' if it ends its line.
    QTest::addColumn<QByteArray>("pieces");
    QTest::newRow("encryption") << true << QByteArrayList{"a=a"} << QByteArray("GD| AD WD| AD WD| AD WD|");
    QTest::newRow("nothing encrypted") << true << QByteArrayList{} << QByteArray("WR| AD WD| AD WD| AD WD|");
    QTest::newRow("decryption with failures")
        << false << QByteArrayList{"a.cry=a@Crypt0Pass", "b.cry=b@0therPass"} << QByteArray("GD| AD WD| AD WD| WR WD|");
    QTest::newRow("nothing decrypted") << false << QByteArrayList{} << QByteArray("WR| AD WD| AD WD|");
}

void TestSecureFolder::summaryColours()
{
    using namespace MonitorColor;
    QFETCH(bool, bEncrypt);
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArray, pieces);
    QVERIFY(Prepare());
    MakeEntries(m_folder, before);
    QCOMPARE(bEncrypt ? m_passes->OnEncrypt() : m_passes->OnDecrypt(), CSecureFolderPasses::EOutcome::Completed);
    const QHash<MonitorRgb, char> letters = {{Green, 'G'}, {Amber, 'A'}, {White, 'W'}, {Red, 'R'}, {Dark, 'D'}};
    QByteArrayList got;
    for (const CaptureSink::Piece& piece : m_sink->Pieces()) {
        got << QByteArray(1, letters.value(piece.textColor, '?')) + letters.value(piece.backColor, '?') +
                   (piece.lineEnd ? "|" : "");
    }
    QCOMPARE(got.join(' '), pieces);
    if (!bEncrypt && before.size() == 2)
        QCOMPARE(m_sink->Pieces().last().text, QByteArray(" 1"));
}

// The store is read at each monitor write, to see when the CryPassword arrived there.
class StoreWatchingSink : public IMonitorSink
{
public:
    explicit StoreWatchingSink(QString storeFile) : m_storeFile(std::move(storeFile)) {}
    void WriteMonitor(const QByteArray&, MonitorRgb, MonitorRgb, bool) override
    {
        seen << CSettingsStore(m_storeFile).LoadSettings().SecurePassword;
    }
    QByteArrayList seen;

private:
    QString m_storeFile;
};

void TestSecureFolder::passwordStoredAfterFirstDecryptionLine_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<bool>("bStored");
    QTest::newRow("decrypted") << QByteArray("a.cry=a@Crypt0Pass") << true;
    QTest::newRow("wrong password") << QByteArray("a.cry=a@0therPass") << false;
}

void TestSecureFolder::passwordStoredAfterFirstDecryptionLine()
{
    QFETCH(QByteArray, entry);
    QFETCH(bool, bStored);
    QVERIFY(Prepare());
    MakeEntries(m_folder, {entry});
    // The window's read-back brings the password the user typed.
    m_settings->Update([](CSettings::Values& v) { v.SecurePassword = "typed-before"; });
    m_host->onReadBack = [this] { m_settings->Update([](CSettings::Values& v) { v.SecurePassword = kPassword; }); };
    StoreWatchingSink sink(m_storeFile);
    m_monitor->SetSink(&sink);
    QCOMPARE(m_passes->OnDecrypt(), CSecureFolderPasses::EOutcome::Completed);
    const QByteArray defaultPassword = CSettings::Values().SecurePassword;
    QVERIFY(sink.seen.size() >= 5);
    QCOMPARE(sink.seen.first(), defaultPassword);
    for (qsizetype i = 1; i < sink.seen.size(); ++i)
        QCOMPARE(sink.seen[i], bStored ? kPassword : defaultPassword);
}

void TestSecureFolder::onlyOnePassAtATime()
{
    QVERIFY(Prepare());
    MakeEntries(m_folder, {"a=a", "b=b", "c.cry=c@Crypt0Pass"});
    QList<CSecureFolderPasses::EOutcome> inner;
    QList<bool> waitAtPump;
    m_host->onPump = [&] {
        QVERIFY(m_passes->IsRunning());
        waitAtPump << m_host->bWaitCursor;
        inner << m_passes->OnEncrypt() << m_passes->OnDecrypt();
    };
    QCOMPARE(m_passes->OnEncrypt(), CSecureFolderPasses::EOutcome::Completed);
    // Once between files: one pump for each file processed, not for the skipped ".cry" file.
    QCOMPARE(m_host->pumps, 2);
    QCOMPARE(inner, QList<CSecureFolderPasses::EOutcome>(4, CSecureFolderPasses::EOutcome::Busy));
    QCOMPARE(waitAtPump, (QList<bool>{true, true}));
    QVERIFY(!m_passes->IsRunning());
    QVERIFY(!m_host->bWaitCursor);
    QCOMPARE(m_sink->CountLines("Encrypted files: 2"), 1);
    // The refused passes wrote nothing and asked nothing.
    QCOMPARE(m_host->questions.size(), 1);
    QCOMPARE(m_sink->Lines().size(), 4);
    m_host->onPump = nullptr;
    QCOMPARE(m_passes->OnDecrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(DescribeEntries(m_folder), (QByteArrayList{"a=a", "b=b", "c=c"}));
}

void TestSecureFolder::folderPathNamingAFile()
{
    QVERIFY(Prepare());
    const QByteArray file = m_folder + "/plain.txt";
    QVERIFY(WriteBytes(file, "content"));
    m_settings->Update([&](CSettings::Values& v) { v.SecureFolder = file; });
    QCOMPARE(m_passes->OnEncrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(m_sink->Lines(), (QByteArrayList{"No files to encrypt.", "Secure folder: " + file, "Files in folder: 0",
                                              "Encrypted files: 0"}));
    QCOMPARE(ReadBytes(file), QByteArray("content"));
}

void TestSecureFolder::longPaths()
{
    QByteArray name = "vault";
    for (int i = 0; i < 4; ++i)
        name += '/' + QByteArray(80, char('a' + i));
    QVERIFY(QDir().mkpath(m_root.filePath(QString::fromLatin1(name.left(name.lastIndexOf('/'))))));
    QVERIFY(Prepare(name));
    const QByteArray fileName = QByteArray(200, 'N') + ".TXT";
    const QByteArray lowered = QByteArray(200, 'n') + ".txt";
    MakeEntries(m_folder, {fileName + "=long"});
    QVERIFY(m_folder.size() + fileName.size() > 500);
    QCOMPARE(m_passes->OnEncrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(DescribeEntries(m_folder), QByteArrayList{lowered + ".cry=long@Crypt0Pass"});
    QCOMPARE(m_passes->OnDecrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(DescribeEntries(m_folder), QByteArrayList{lowered + "=long"});
}

void TestSecureFolder::withoutStoreNothingIsStored()
{
    QVERIFY(Prepare());
    MakeEntries(m_folder, {"a=a"});
    CSecureFolderPasses passes(*m_settings, nullptr, *m_monitor, *m_host);
    QCOMPARE(passes.OnEncrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(passes.OnDecrypt(), CSecureFolderPasses::EOutcome::Completed);
    QCOMPARE(m_sink->CountLines("Decrypted files: 1"), 1);
    QVERIFY(!QFile::exists(m_storeFile));
}

void TestSecureFolder::fileWorkLeavesItsThreadFree()
{
    // The work ends only once this thread has served an event meanwhile: run here, it never could.
    CFileWorkThread worker;
    for (int file = 0; file < 2; ++file) {
        std::promise<void> served;
        QTimer::singleShot(0, [&] { served.set_value(); });
        bool bAside = false;
        bool bServed = false;
        worker.Run([&] {
            bAside = QThread::currentThread() != QCoreApplication::instance()->thread();
            bServed = served.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        });
        QVERIFY(bAside);
        QVERIFY(bServed);
    }
}

QTEST_GUILESS_MAIN(TestSecureFolder)
#include "tst_secure_folder.moc"
