#pragma once

#include "securefolder/CryFile.h"

#include <QByteArray>

#include <functional>

#include <sys/stat.h>

class CServerMonitor;
class CSettings;
class CSettingsStore;
class ISecureFolderHost;

// The "Encrypt" and "Decrypt" passes over the secure folder: every plain file of the folder
// becomes a ".cry" file, or every ".cry" file becomes its plain file again, with a summary in the
// server monitor.
//
// Thread: the window's thread only (the thread that owns the monitor). The files' crypto runs
// through the host (on a thread aside in the window), which serves the window's events meanwhile;
// a pass asked for then is refused at once.
class CSecureFolderPasses
{
public:
    enum class EOutcome
    {
        Completed,  // the pass went over the folder, did every file and logged its summary
        Incomplete, // the same, but files failed, were skipped, or kept their ".cry" form (logged)
        Refused,    // a warning stopped it, or the user answered No; nothing was touched
        Busy,       // another pass is running; nothing happened
        Failed,     // the key derivation failed; "Error encrypting files in the secure folder." was logged
    };

    // pStore may be null: the CryPassword is then never stored (the terminal program).
    CSecureFolderPasses(CSettings& settings, CSettingsStore* pStore, CServerMonitor& monitor, ISecureFolderHost& host);

    EOutcome OnEncrypt();
    EOutcome OnDecrypt();

    // True while a pass runs; the window keeps the server from starting meanwhile.
    bool IsRunning() const { return m_bRunning; }

private:
    // The three warnings and the read-back; true when the pass may go on.
    bool CheckStart(const char* notSelectedText);
    void StorePassword(const QByteArray& password);
    // One file's work through the host, the key derived at the first file; before: the source's
    // state as the work found it.
    ECryResult RunFile(const std::function<ECryResult(const CCryKey&)>& operation, const QByteArray& source,
                       CCryKey& key, const QByteArray& password, struct stat& before);
    void LogFirstLine(bool bSuccess, const char* successText, const char* noneText);
    void LogLabelled(const char* label, const QByteArray& value);
    // "label" and " count" in the colours of what was left undone, when count is not 0.
    void LogCountOfLeft(const char* label, int count);

    CSettings& m_settings;
    CSettingsStore* m_pStore;
    CServerMonitor& m_monitor;
    ISecureFolderHost& m_host;
    bool m_bRunning = false;
};
