#include "securefolder/SecureFolderPasses.h"

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "securefolder/CryFile.h"
#include "securefolder/FolderListing.h"
#include "securefolder/SecureFolderHost.h"

#include <QHash>
#include <QLocale>
#include <QString>
#include <QThread>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMinPasswordCharacters = 5;
const char kSkippedLabel[] = "Files skipped for their names:";
const char kLeftLabel[] = "Files left (cancelled):";
// How often a pass tells its progress while a file is in hand.
constexpr int kProgressIntervalMs = 250;

const char kNotSelectedCaption[] = "Secure folder not selected";
const char kNotFoundText[] = "Secure folder not found.\r\nPlease select a valid folder.";
const char kNotFoundCaption[] = "Secure folder not found";
const char kPasswordLengthText[] = "Secure password length should be at least 5 characters.";
const char kPasswordLengthCaption[] = "Secure password length";
const char kEncryptQuestion[] = "All files in the secure folder will be encrypted using CryPassword and the original "
                                "files will be removed after encryption.\n\nDo you want to continue with the "
                                "encryption process ?";

// A file or a folder of that name counts as existing.
bool PathExists(const QByteArray& path)
{
    struct stat st = {};
    return stat(path.constData(), &st) == 0;
}

qsizetype CharacterCount(const QByteArray& text)
{
    return QString::fromUtf8(text).toUcs4().size();
}

// Removes a source whose result is in place, if the path still names the file as it was before
// its pass read it: the same file, not written since. A file saved anew meanwhile (by an editor,
// an upload) is not the one in its result, and stays.
void RemoveIfUnchanged(const QByteArray& path, const struct stat& before)
{
    struct stat now = {};
    if (::lstat(path.constData(), &now) == 0 && now.st_dev == before.st_dev && now.st_ino == before.st_ino &&
        now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == before.st_mtim.tv_nsec && now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
        now.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
        ::unlink(path.constData());
}

// "dir/Name.TXT" -> "dir/name.txt.cry": only the file's own name is lowered.
QByteArray EncryptionTarget(const QByteArray& path)
{
    const qsizetype nameStart = path.lastIndexOf('/') + 1;
    return path.left(nameStart) + AsciiLower(path.mid(nameStart)) + ".cry";
}

} // namespace

QString CPassProgress::Text() const
{
    const QLocale c = QLocale::c();
    return QStringLiteral("%1 of %2 files, %3 of %4")
        .arg(filesDone)
        .arg(files)
        .arg(c.formattedDataSize(bytesDone), c.formattedDataSize(bytes));
}

int CPassProgress::PerMille() const
{
    if (bytes > 0)
        return int(std::min(bytesDone, bytes) * 1000 / bytes);
    return files > 0 ? filesDone * 1000 / files : 0;
}

// One pass's files, counters and key, from its listing to its summary.
struct CSecureFolderPasses::CPass
{
    struct CFile
    {
        QByteArray source, target;
        qint64 size = 0; // as listed: the file's share of the progress
    };

    // Drops the files whose target another file of the list shares ("Notes.txt" and "notes.txt"
    // both make "notes.txt.cry"): whichever went second would replace the first one's result, the
    // only copy of a file whose source is gone, now or at the next pass. They stay as they are,
    // reported; how many were dropped.
    int DropClashes()
    {
        QHash<QByteArray, int> uses;
        for (const CFile& file : work)
            ++uses[file.target];
        const qsizetype before = work.size();
        work.removeIf([&uses](const CFile& file) {
            const bool clash = uses.value(file.target) > 1;
            if (clash)
                ReportFileProblem("skipping", file.source, "another file of the folder has the same name but for case");
            return clash;
        });
        return int(before - work.size());
    }

    bool bEncrypt = true;
    QByteArray folder, password;
    qsizetype listed = 0; // encryption: the files in the folder, skipped ".cry" files included
    int skipped = 0;
    QList<CFile> work;
    qsizetype next = 0; // the file in hand, or the next to hand over
    qint64 bytes = 0, bytesDone = 0;
    // Derived by the work thread at the first file: a folder with nothing to do costs no
    // derivation. Touched by that thread only while a file is in hand.
    CCryKey key;
    int done = 0, failed = 0, wrongPassword = 0, damaged = 0;
    bool onlyOneBytePadding = true;
    QList<std::pair<QByteArray, struct stat>> decrypted; // their ".cry" files as they were read
};

CSecureFolderPasses::CSecureFolderPasses(CSettings& settings, CSettingsStore* pStore, CServerMonitor& monitor,
                                         ISecureFolderHost& host)
    : m_settings(settings), m_pStore(pStore), m_monitor(monitor), m_host(host)
{
    m_progressTimer.setInterval(kProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &CSecureFolderPasses::OnProgressTimer);
}

CSecureFolderPasses::~CSecureFolderPasses() = default;

CSecureFolderPasses::EStart CSecureFolderPasses::Refuse()
{
    m_eState = EState::Idle;
    return EStart::Refused;
}

bool CSecureFolderPasses::CheckStart(const char* notSelectedText)
{
    const QByteArray folder = m_settings.Get().SecureFolder;
    if (folder.isEmpty()) {
        m_host.ShowWarning(QString::fromLatin1(notSelectedText), QString::fromLatin1(kNotSelectedCaption));
        return false;
    }
    if (!PathExists(folder)) {
        m_host.ShowWarning(QString::fromLatin1(kNotFoundText), QString::fromLatin1(kNotFoundCaption));
        return false;
    }
    // The pass goes on whatever the read-back reports: it has told the user already.
    (void)m_host.ReadBackControls();
    if (CharacterCount(m_settings.Get().SecurePassword) < kMinPasswordCharacters) {
        m_host.ShowWarning(QString::fromLatin1(kPasswordLengthText), QString::fromLatin1(kPasswordLengthCaption));
        return false;
    }
    return true;
}

void CSecureFolderPasses::StorePassword(const QByteArray& password)
{
    // Told, as the password the files are encrypted with would otherwise be lost from the settings.
    if (m_pStore && !m_pStore->SaveText("SecurePassword", password))
        m_monitor.AddMonitorText(m_pStore->SaveFailedText(), MonitorColor::White, MonitorColor::Red, true);
}

CSecureFolderPasses::EStart CSecureFolderPasses::OnEncrypt()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (IsRunning())
        return EStart::Busy;
    m_eState = EState::Asking;
    m_bCancelled = false;
    if (!CheckStart("Secure folder not selected.\r\nPlease select folder to encrypt.") || m_bCancelled)
        return Refuse();
    const CSettings::Values values = m_settings.Get();
    // Stored before the question, so that it stays even when the user declines.
    StorePassword(values.SecurePassword);
    // A cancel asked for while the question was up (the window ending) keeps the pass from beginning.
    if (!m_host.AskYesNo(QString::fromLatin1(kEncryptQuestion)) || m_bCancelled)
        return Refuse();

    auto pass = std::make_unique<CPass>();
    pass->password = values.SecurePassword;
    pass->folder = values.SecureFolder;
    m_host.SetWaitCursor(true);
    RemoveLeftoverOutputs(pass->folder);
    QByteArrayList files;
    ListFolderFiles(files, pass->folder, EFolderPattern::AllFiles);
    pass->listed = files.size();
    for (const QByteArray& source : files) {
        if (!AsciiLower(source).contains(".cry"))
            pass->work.append({source, EncryptionTarget(source)});
    }
    pass->skipped = pass->DropClashes();
    Begin(std::move(pass));
    return EStart::Started;
}

CSecureFolderPasses::EStart CSecureFolderPasses::OnDecrypt()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (IsRunning())
        return EStart::Busy;
    m_eState = EState::Asking;
    m_bCancelled = false;
    if (!CheckStart("Secure folder not selected.\r\nPlease select folder to decrypt.") || m_bCancelled)
        return Refuse();
    const CSettings::Values values = m_settings.Get();
    auto pass = std::make_unique<CPass>();
    pass->bEncrypt = false;
    pass->password = values.SecurePassword;
    pass->folder = values.SecureFolder;
    m_host.SetWaitCursor(true);
    RemoveLeftoverOutputs(pass->folder);
    QByteArrayList files;
    ListFolderFiles(files, pass->folder, EFolderPattern::CryFiles);
    for (const QByteArray& source : files) {
        // The name keeps its case as found: "a.txt.cry" and "a.txt.CRY" share one target.
        const QByteArray target = source.chopped(4);
        // "x.cry.cry" would write "x.cry", another ".cry" file of this pass, and leave a plain file
        // the encryption pass skips: such names are skipped here too.
        if (AsciiLower(target).endsWith(".cry")) {
            ReportFileProblem("skipping", source, "its plain name would be a .cry file's");
            ++pass->skipped;
        } else {
            pass->work.append({source, target});
        }
    }
    pass->skipped += pass->DropClashes();
    Begin(std::move(pass));
    return EStart::Started;
}

void CSecureFolderPasses::Cancel()
{
    if (IsRunning())
        m_bCancelled = true;
}

CPassProgress CSecureFolderPasses::Progress() const
{
    if (!m_pPass)
        return m_toldProgress;
    const CPass& pass = *m_pPass;
    CPassProgress progress{int(pass.next), int(pass.work.size()), pass.bytesDone, pass.bytes};
    // A file that grew meanwhile counts no more than its listed size.
    if (pass.next < pass.work.size())
        progress.bytesDone += std::min(m_nBytesInHand.load(std::memory_order_relaxed), pass.work[pass.next].size);
    return progress;
}

void CSecureFolderPasses::Begin(std::unique_ptr<CPass> pass)
{
    for (CPass::CFile& file : pass->work) {
        struct stat st = {};
        file.size = ::lstat(file.source.constData(), &st) == 0 ? st.st_size : 0;
        pass->bytes += file.size;
    }
    m_pPass = std::move(pass);
    m_eState = EState::Working;
    m_nBytesInHand = 0;
    m_toldProgress = Progress();
    m_progressTimer.start();
    HandOverNext();
}

void CSecureFolderPasses::HandOverNext()
{
    CPass& pass = *m_pPass;
    if (m_bCancelled || pass.next == pass.work.size()) {
        // Queued: the start returns before its end is told, as it does when there are files.
        QMetaObject::invokeMethod(this, &CSecureFolderPasses::Finish, Qt::QueuedConnection);
        return;
    }
    const CPass::CFile& file = pass.work[pass.next];
    const bool bEncrypt = pass.bEncrypt;
    m_worker.Post([this, source = file.source, target = file.target, bEncrypt, password = pass.password,
                   &key = pass.key, &bytesRead = m_nBytesInHand]() -> CFileWorkThread::CDone {
        // On the work thread: nothing but the file, the key and the byte count.
        struct stat before = {};
        ECryResult result = ECryResult::Failed;
        qint64 padding = 0;
        if (::lstat(source.constData(), &before) == 0) {
            result = ECryResult::DerivationFailed;
            if (key.IsReady() || key.Derive(password))
                result = bEncrypt ? EncryptOneFile(source, target, key, &bytesRead)
                                  : DecryptOneFile(source, target, key, &padding, &bytesRead);
        }
        return [this, result, before, padding] { OnFileDone(result, before, padding); };
    });
}

void CSecureFolderPasses::OnFileDone(ECryResult result, const struct stat& before, qint64 padding)
{
    Q_ASSERT(QThread::currentThread() == thread());
    CPass& pass = *m_pPass;
    const CPass::CFile& file = pass.work[pass.next++];
    pass.bytesDone += file.size;
    m_nBytesInHand = 0;
    if (pass.bEncrypt) {
        if (result == ECryResult::DerivationFailed) {
            // Files already encrypted stay encrypted; the others are left without a summary.
            m_host.SetWaitCursor(false);
            m_monitor.AddMonitorText("Error encrypting files in the secure folder.", MonitorColor::White,
                                     MonitorColor::Red, true);
            End(EOutcome::Failed);
            return;
        }
        if (result == ECryResult::Ok) {
            ++pass.done;
            RemoveIfUnchanged(file.source, before);
        } else {
            ++pass.failed; // told on standard error; the plain file stays
        }
    } else if (result != ECryResult::Ok) {
        ++(result == ECryResult::WrongPassword ? pass.wrongPassword
           : result == ECryResult::Damaged     ? pass.damaged
                                               : pass.failed);
    } else {
        ++pass.done;
        pass.onlyOneBytePadding = pass.onlyOneBytePadding && padding == 1;
        pass.decrypted.append({file.source, before});
    }
    HandOverNext();
}

void CSecureFolderPasses::Finish()
{
    const int left = int(m_pPass->work.size() - m_pPass->next);
    End(m_pPass->bEncrypt ? LogEncryptionSummary(left) : LogDecryptionSummary(left));
}

CSecureFolderPasses::EOutcome CSecureFolderPasses::LogEncryptionSummary(int left)
{
    const CPass& pass = *m_pPass;
    m_host.SetWaitCursor(false);
    LogFirstLine(pass.done > 0, "Encryption completed successfully.", "No files to encrypt.");
    LogLabelled("Secure folder: ", pass.folder);
    LogLabelled("Files in folder: ", QByteArray::number(pass.listed));
    LogLabelled("Encrypted files: ", QByteArray::number(pass.done));
    LogCountOfLeft("Files not encrypted:", pass.failed);
    LogCountOfLeft(kSkippedLabel, pass.skipped);
    LogCountOfLeft(kLeftLabel, left);
    return pass.failed + pass.skipped + left > 0 ? EOutcome::Incomplete : EOutcome::Completed;
}

CSecureFolderPasses::EOutcome CSecureFolderPasses::LogDecryptionSummary(int left)
{
    const CPass& pass = *m_pPass;
    // A wrong password passes for the right one in about one file of 256: its last block happens to
    // end in valid padding, nearly always of one byte. Every ".cry" file stays when any file of the
    // pass failed, or when all that passed ended in one byte of padding (a right password does so
    // for one file in 16), so that no file rests only in a garbled plain form. Files left by a
    // cancel say nothing of the password.
    const int undone = pass.wrongPassword + pass.damaged + pass.failed;
    const bool keepCry = undone > 0 || pass.onlyOneBytePadding;
    if (!keepCry) {
        for (const auto& [source, before] : pass.decrypted)
            RemoveIfUnchanged(source, before);
    }
    m_host.SetWaitCursor(false);
    LogFirstLine(pass.done > 0, "Decryption completed successfully.", "No files to decrypt.");
    if (pass.done > 0)
        StorePassword(pass.password);
    LogLabelled("Secure folder: ", pass.folder);
    LogLabelled("Decrypted files: ", QByteArray::number(pass.done));
    LogCountOfLeft("Files with wrong password:", pass.wrongPassword);
    LogCountOfLeft("Damaged .cry files:", pass.damaged);
    LogCountOfLeft("Files not decrypted (read or write error):", pass.failed);
    LogCountOfLeft(kSkippedLabel, pass.skipped);
    const int kept = keepCry ? pass.done : 0;
    LogCountOfLeft("Kept .cry files (the password may be wrong):", kept);
    LogCountOfLeft(kLeftLabel, left);
    return undone + pass.skipped + kept + left > 0 ? EOutcome::Incomplete : EOutcome::Completed;
}

void CSecureFolderPasses::End(EOutcome outcome)
{
    m_progressTimer.stop();
    m_toldProgress = Progress();
    m_pPass.reset();
    m_eState = EState::Idle;
    Q_EMIT Finished(outcome);
}

void CSecureFolderPasses::OnProgressTimer()
{
    const CPassProgress now = Progress();
    if (now == m_toldProgress)
        return;
    m_toldProgress = now;
    Q_EMIT ProgressChanged();
}

void CSecureFolderPasses::LogFirstLine(bool bSuccess, const char* successText, const char* noneText)
{
    if (bSuccess)
        m_monitor.AddMonitorText(successText, MonitorColor::Green, MonitorColor::Dark, true);
    else
        m_monitor.AddMonitorText(noneText, MonitorColor::White, MonitorColor::Red, true);
}

void CSecureFolderPasses::LogLabelled(const char* label, const QByteArray& value)
{
    m_monitor.AddAddressLine(label, MonitorColor::Amber, value, MonitorColor::White);
}

void CSecureFolderPasses::LogCountOfLeft(const char* label, int count)
{
    if (count == 0)
        return;
    m_monitor.AddMonitorText(label, MonitorColor::White, MonitorColor::Red, false);
    m_monitor.AddMonitorText(" " + QByteArray::number(count), MonitorColor::White, MonitorColor::Dark, true);
}
