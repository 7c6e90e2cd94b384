#pragma once

#include "securefolder/CryFile.h"
#include "securefolder/FileWorkThread.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>

#include <sys/stat.h>

class CServerMonitor;
class CSettings;
class CSettingsStore;
class ISecureFolderHost;

// How far a pass has come over the files it works on: the files done (whatever their result) and
// the bytes read.
struct CPassProgress
{
    int filesDone = 0, files = 0;
    qint64 bytesDone = 0, bytes = 0;

    bool operator==(const CPassProgress&) const = default;
    // "3 of 10 files, 1.21 GiB of 4.00 GiB"
    QString Text() const;
    // Per mille of the bytes, or of the files when they hold none.
    int PerMille() const;
};

// The "Encrypt" and "Decrypt" passes over the secure folder: every plain file of the folder
// becomes a ".cry" file, or every ".cry" file becomes its plain file again, with a summary in the
// server monitor.
//
// A pass is a state, not a loop: its start checks, asks and lists the folder, hands the first
// file to the work thread and returns; each file's end comes back as a queued call that records
// it and hands over the next file, or ends the pass with its summary and Finished(). A cancel
// takes effect between two files, so every file is either done and committed or untouched.
//
// Thread: the thread that made it (the window's), which owns the monitor; only the files' crypto
// runs on the work thread.
class CSecureFolderPasses : public QObject
{
    Q_OBJECT
public:
    enum class EStart
    {
        Started, // the pass runs; Finished() tells its end
        Refused, // a warning stopped it, the user answered No, or it was cancelled first; nothing was touched
        Busy,    // another pass is running; nothing happened
    };
    enum class EOutcome
    {
        Completed,  // the pass went over the folder, did every file and logged its summary
        Incomplete, // the same, but files failed, were skipped, kept their ".cry" form or were left by a cancel
        Failed,     // the key derivation failed; "Error encrypting files in the secure folder." was logged
    };
    Q_ENUM(EOutcome)

    // pStore may be null: the CryPassword is then never stored (the terminal program).
    CSecureFolderPasses(CSettings& settings, CSettingsStore* pStore, CServerMonitor& monitor, ISecureFolderHost& host);
    // A pass still running ends once the file in hand is done, without its summary.
    ~CSecureFolderPasses() override;

    EStart OnEncrypt();
    EStart OnDecrypt();
    // Stops the running pass once the file in hand is done: the files not begun stay untouched and
    // are counted in the summary. A pass still asking its questions does not begin. Nothing
    // happens when no pass runs; the end comes later, through Finished().
    void Cancel();

    // True from the start of a pass (its questions included) until Finished(); the window keeps
    // the server and other passes from starting meanwhile.
    bool IsRunning() const { return m_eState != EState::Idle; }
    // The running pass's progress, or where the last one ended.
    CPassProgress Progress() const;

Q_SIGNALS:
    // The pass has ended: its summary (or its error line) is logged, and IsRunning() is false.
    void Finished(CSecureFolderPasses::EOutcome outcome);
    // Progress() has changed; told a few times a second at most, while files are worked on.
    void ProgressChanged();

private:
    enum class EState
    {
        Idle,
        Asking,  // the warnings, the question and the read-back
        Working, // a file is in hand on the work thread, or the end is queued
    };
    struct CPass;

    EStart Refuse();
    // The three warnings and the read-back; true when the pass may go on.
    bool CheckStart(const char* notSelectedText);
    void StorePassword(const QByteArray& password);
    void Begin(std::unique_ptr<CPass> pass);
    // Hands the next file to the work thread, or queues the end when none is left or a cancel came.
    void HandOverNext();
    // A file's end, on this thread; before: the source as its work found it.
    void OnFileDone(ECryResult result, const struct stat& before, qint64 padding);
    void Finish();
    EOutcome LogEncryptionSummary(int left);
    EOutcome LogDecryptionSummary(int left);
    void End(EOutcome outcome);
    void OnProgressTimer();
    void LogFirstLine(bool bSuccess, const char* successText, const char* noneText);
    void LogLabelled(const char* label, const QByteArray& value);
    // "label" and " count" in the colours of what was left undone, when count is not 0.
    void LogCountOfLeft(const char* label, int count);

    CSettings& m_settings;
    CSettingsStore* m_pStore;
    CServerMonitor& m_monitor;
    ISecureFolderHost& m_host;
    EState m_eState = EState::Idle;
    bool m_bCancelled = false;              // asked for during this pass
    std::unique_ptr<CPass> m_pPass;         // while Working: the files, the counters and the key
    CPassProgress m_toldProgress;           // as last told: the last pass's end once it has ended
    std::atomic<qint64> m_nBytesInHand = 0; // shared: written by the work thread while a file is in hand
    QTimer m_progressTimer;
    CFileWorkThread m_worker; // last: ends first, so that nothing its work uses is gone before it
};
