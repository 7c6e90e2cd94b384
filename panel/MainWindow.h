#pragma once

#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "panel/DialogExchange.h"
#include "panel/FirstStart.h"
#include "panel/MainWindowControls.h"
#include "securefolder/FileWorkThread.h"
#include "securefolder/SecureFolderHost.h"
#include "securefolder/SecureFolderPasses.h"
#include "server/FtpServer.h"

#include <QDialog>

#include <memory>

class QCheckBox;

// The main window "Tarvelo FTP Server v1.1b": the settings, the server control, the server
// monitor, the folders and the secure folder's passes. Window's thread only (the application's
// main thread); the server it owns lives on the same thread.
class CMainWindow : public QDialog, private ISecureFolderHost, private IServerStartHost
{
    Q_OBJECT
public:
    // Loads the settings from the store and finds the LAN address.
    explicit CMainWindow(const QString& settingsFile = CSettingsStore::DefaultFilePath(), QWidget* parent = nullptr);
    // Stops the server and waits for every connection thread.
    ~CMainWindow() override;

    // The exchange between the controls and the members: false writes the members into the
    // controls, true reads the controls back (false when a value failed its bound or length).
    bool UpdateData(bool bRead);
    // The stopped layout (true) or the running layout (false).
    void SetSettingsEnabled(bool bEnabled);
    // Ends the window without the Close question (Esc, the tray's "Quit"): hidden at once, finished
    // once a running server has stopped, so that every client's connection is closed.
    void EndWindow();
    // The share dialog of the button beside the LAN address and the tray's "Share...": opens it, or
    // brings the open one to the front.
    void ShowShareDialog();

    const CMainWindowControls& Controls() const { return m_controls; }
    CFtpServer& Server() { return *m_pServer; }
    CSettings& Settings() { return m_settings; }
    CServerMonitor& Monitor() { return m_monitor; }
    // True while "Get Internet IP:" waits for the address.
    bool IsFetchingInternetIP() const { return m_bFetchingInternetIP; }

protected:
    // Esc.
    void reject() override;
    // Close: while the server runs, asks first and stops the server on Yes.
    void closeEvent(QCloseEvent* event) override;

private:
    void BindMembers();
    void ConnectHandlers();

    void OnStartServer();
    // A start refused for its port's privileges: asks once to start on the suggested port instead.
    void OfferSuggestedPort();
    void OnStopServer();
    void OnConnectedUsersChanged(int count);
    void OnServerStateChanged(CFtpServer::EState state);
    void PickFolder(QByteArray CSettings::Values::*member, const QString& title, const QString& subject,
                    bool bStoreAtOnce);
    void OpenFolder(const QByteArray& path, const QString& subject);
    void OnHide(QCheckBox* box, QLineEdit* edit);
    void OnGetInternetIP();
    void FinishInternetIP(const QByteArray& address);
    void RunPass(CSecureFolderPasses::EOutcome (CSecureFolderPasses::*pass)());
    void OnWebPage();
    void OnAbout();
    void OnHelp();

    // A pass, which serves events while it runs: an end of the window asked for meanwhile waits
    // until it is over, and the buttons that begin a start or a pass are off until then, so that
    // neither runs inside it.
    void EnterBusy();
    void LeaveBusy();
    void SetStartButtonsEnabled(bool bEnabled);
    void Shutdown();

    // IServerStartHost: the running layout and the read-back; the start's values shown and saved.
    void ReadBack(CSettings::Values& values) override;
    void Accept(const CSettings::Values& values, bool bRenamed) override;

    // ISecureFolderHost
    void ShowWarning(const QString& text, const QString& caption) override;
    bool AskYesNo(const QString& text) override;
    bool ReadBackControls() override { return UpdateData(true); }
    void RunFileWork(const std::function<void()>& work) override;
    void SetWaitCursor(bool bWait) override;

    CSettingsStore m_store;
    CSettings m_settings;           // shared with the connection threads
    CSettings::Values m_values;     // the members bound to the controls; copied into m_settings
    QByteArray m_strInternetIPText; // display members
    int m_nHidePassword = 1;
    int m_nHideCryPassword = 1;
    QByteArray m_strLanIPText;
    QByteArray m_strConnectedUsersText;

    CMainWindowControls m_controls;
    CDialogExchange m_exchange{this};
    CServerMonitor m_monitor;
    std::unique_ptr<CFtpServer> m_pServer;
    CSecureFolderPasses m_passes;
    CFileWorkThread m_fileWork; // a pass's file work, so that a large file does not freeze the window
    CFirstStart m_firstStart;
    bool m_bFetchingInternetIP = false;
    int m_nBusy = 0;
    bool m_bEndPending = false;
    bool m_bEnded = false;
    bool m_bWaitCursor = false;
};
