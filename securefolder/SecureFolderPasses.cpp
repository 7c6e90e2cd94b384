#include "securefolder/SecureFolderPasses.h"

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "securefolder/CryFile.h"
#include "securefolder/FolderListing.h"
#include "securefolder/SecureFolderHost.h"

#include <QHash>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMinPasswordCharacters = 5;
const char kSkippedLabel[] = "Files skipped for their names:";

const char kNotSelectedCaption[] = "Secure folder not selected";
const char kNotFoundText[] = "Secure folder not found.\r\nPlease select a valid folder.";
const char kNotFoundCaption[] = "Secure folder not found";
const char kPasswordLengthText[] = "Secure password length should be at least 5 characters.";
const char kPasswordLengthCaption[] = "Secure password length";
const char kEncryptQuestion[] = "All files in the secure folder will be encrypted using CryPassword and the original "
                                "files will be removed after encryption.\n\nDo you want to continue with the "
                                "encryption process ?";

// Marks a pass as running for as long as it lives.
class CRunningFlag
{
public:
    explicit CRunningFlag(bool& flag) : m_flag(flag) { m_flag = true; }
    ~CRunningFlag() { m_flag = false; }
    CRunningFlag(const CRunningFlag&) = delete;
    CRunningFlag& operator=(const CRunningFlag&) = delete;

private:
    bool& m_flag;
};

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

struct FileWork
{
    QByteArray source, target;
};

// Drops the files whose target another file of the list shares ("Notes.txt" and "notes.txt" both
// make "notes.txt.cry"): whichever went second would replace the first one's result, the only copy
// of a file whose source is gone, now or at the next pass. They stay as they are, reported; how
// many were dropped.
int DropClashes(QList<FileWork>& work)
{
    QHash<QByteArray, int> uses;
    for (const FileWork& file : work)
        ++uses[file.target];
    const qsizetype before = work.size();
    work.removeIf([&uses](const FileWork& file) {
        const bool clash = uses.value(file.target) > 1;
        if (clash)
            ReportFileProblem("skipping", file.source, "another file of the folder has the same name but for case");
        return clash;
    });
    return int(before - work.size());
}

} // namespace

CSecureFolderPasses::CSecureFolderPasses(CSettings& settings, CSettingsStore* pStore, CServerMonitor& monitor,
                                         ISecureFolderHost& host)
    : m_settings(settings), m_pStore(pStore), m_monitor(monitor), m_host(host)
{}

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

ECryResult CSecureFolderPasses::RunFile(const std::function<ECryResult(const CCryKey&)>& operation,
                                        const QByteArray& source, CCryKey& key, const QByteArray& password,
                                        struct stat& before)
{
    m_host.SetWaitCursor(true);
    ECryResult result = ECryResult::DerivationFailed;
    if (::lstat(source.constData(), &before) != 0)
        return ECryResult::Failed;
    // The key is derived at the first file: a folder with nothing to do costs no derivation.
    m_host.RunFileWork([&] {
        if (key.IsReady() || key.Derive(password))
            result = operation(key);
    });
    return result;
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

CSecureFolderPasses::EOutcome CSecureFolderPasses::OnEncrypt()
{
    if (m_bRunning)
        return EOutcome::Busy;
    CRunningFlag running(m_bRunning);
    if (!CheckStart("Secure folder not selected.\r\nPlease select folder to encrypt."))
        return EOutcome::Refused;
    const CSettings::Values values = m_settings.Get();
    // Stored before the question, so that it stays even when the user declines.
    StorePassword(values.SecurePassword);
    if (!m_host.AskYesNo(QString::fromLatin1(kEncryptQuestion)))
        return EOutcome::Refused;

    const QByteArray password = values.SecurePassword;
    const QByteArray folder = values.SecureFolder;
    m_host.SetWaitCursor(true);
    RemoveLeftoverOutputs(folder);
    QByteArrayList files;
    ListFolderFiles(files, folder, EFolderPattern::AllFiles);
    QList<FileWork> work;
    for (const QByteArray& source : files) {
        if (!AsciiLower(source).contains(".cry"))
            work.append({source, EncryptionTarget(source)});
    }
    const int skipped = DropClashes(work);
    CCryKey key;
    int encrypted = 0, failed = 0;
    for (const auto& [source, target] : work) {
        struct stat before = {};
        const ECryResult result =
            RunFile([&](const CCryKey& k) { return EncryptOneFile(source, target, k); }, source, key, password, before);
        if (result == ECryResult::DerivationFailed) {
            m_host.SetWaitCursor(false);
            m_monitor.AddMonitorText("Error encrypting files in the secure folder.", MonitorColor::White,
                                     MonitorColor::Red, true);
            return EOutcome::Failed;
        }
        if (result == ECryResult::Ok) {
            ++encrypted;
            RemoveIfUnchanged(source, before);
        } else {
            ++failed; // told on standard error; the plain file stays
        }
    }
    m_host.SetWaitCursor(false);
    LogFirstLine(encrypted > 0, "Encryption completed successfully.", "No files to encrypt.");
    LogLabelled("Secure folder: ", folder);
    LogLabelled("Files in folder: ", QByteArray::number(files.size()));
    LogLabelled("Encrypted files: ", QByteArray::number(encrypted));
    LogCountOfLeft("Files not encrypted:", failed);
    LogCountOfLeft(kSkippedLabel, skipped);
    return failed + skipped > 0 ? EOutcome::Incomplete : EOutcome::Completed;
}

CSecureFolderPasses::EOutcome CSecureFolderPasses::OnDecrypt()
{
    if (m_bRunning)
        return EOutcome::Busy;
    CRunningFlag running(m_bRunning);
    if (!CheckStart("Secure folder not selected.\r\nPlease select folder to decrypt."))
        return EOutcome::Refused;
    const CSettings::Values values = m_settings.Get();
    const QByteArray password = values.SecurePassword;
    const QByteArray folder = values.SecureFolder;
    m_host.SetWaitCursor(true);
    RemoveLeftoverOutputs(folder);
    QByteArrayList files;
    ListFolderFiles(files, folder, EFolderPattern::CryFiles);
    QList<FileWork> work;
    int skipped = 0;
    for (const QByteArray& source : files) {
        // The name keeps its case as found: "a.txt.cry" and "a.txt.CRY" share one target.
        const QByteArray target = source.chopped(4);
        // "x.cry.cry" would write "x.cry", another ".cry" file of this pass, and leave a plain file
        // the encryption pass skips: such names are skipped here too.
        if (AsciiLower(target).endsWith(".cry")) {
            ReportFileProblem("skipping", source, "its plain name would be a .cry file's");
            ++skipped;
        } else {
            work.append({source, target});
        }
    }
    skipped += DropClashes(work);
    CCryKey key;
    int decrypted = 0;
    int wrongPassword = 0, damaged = 0, failed = 0;
    bool onlyOneBytePadding = true;
    QList<std::pair<QByteArray, struct stat>> done; // decrypted, their ".cry" files as they were read
    for (const auto& [source, target] : work) {
        struct stat before = {};
        qint64 padding = 0;
        const ECryResult result = RunFile([&](const CCryKey& k) { return DecryptOneFile(source, target, k, &padding); },
                                          source, key, password, before);
        if (result != ECryResult::Ok) {
            ++(result == ECryResult::WrongPassword ? wrongPassword : result == ECryResult::Damaged ? damaged : failed);
            continue;
        }
        ++decrypted;
        onlyOneBytePadding = onlyOneBytePadding && padding == 1;
        done.append({source, before});
    }
    // A wrong password passes for the right one in about one file of 256: its last block happens to
    // end in valid padding, nearly always of one byte. Every ".cry" file stays when any file of the
    // pass failed, or when all that passed ended in one byte of padding (a right password does so
    // for one file in 16), so that no file rests only in a garbled plain form.
    const int undone = wrongPassword + damaged + failed;
    const bool keepCry = undone > 0 || onlyOneBytePadding;
    if (!keepCry) {
        for (const auto& [source, before] : done)
            RemoveIfUnchanged(source, before);
    }
    m_host.SetWaitCursor(false);
    LogFirstLine(decrypted > 0, "Decryption completed successfully.", "No files to decrypt.");
    if (decrypted > 0)
        StorePassword(password);
    LogLabelled("Secure folder: ", folder);
    LogLabelled("Decrypted files: ", QByteArray::number(decrypted));
    LogCountOfLeft("Files with wrong password:", wrongPassword);
    LogCountOfLeft("Damaged .cry files:", damaged);
    LogCountOfLeft("Files not decrypted (read or write error):", failed);
    LogCountOfLeft(kSkippedLabel, skipped);
    const int kept = keepCry ? decrypted : 0;
    LogCountOfLeft("Kept .cry files (the password may be wrong):", kept);
    return undone + skipped + kept > 0 ? EOutcome::Incomplete : EOutcome::Completed;
}
