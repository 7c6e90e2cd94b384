#pragma once

#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "panel/DialogExchange.h"
#include "panel/FirstStart.h"
#include "panel/MainWindowControls.h"
#include "panel/PassProgressDialog.h"
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
    // once a running server has stopped, so that every client's connection is closed, and once a
    // running pass, cancelled, has done the file in hand.
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
    // The running pass's progress window; null when no pass runs.
    CPassProgressDialog* PassProgress() const { return m_pPassProgress.get(); }

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
    // Starts a pass; while it runs, its progress shows and nothing else starts.
    void RunPass(CSecureFolderPasses::EStart (CSecureFolderPasses::*pass)(), const QString& title);
    void CancelPass();
    void OnPassFinished();
    void OnWebPage();
    void OnAbout();
    void OnHelp();

    // Start, Encrypt and Decrypt: on only while the server is stopped, no pass runs and the window
    // has not ended.
    void UpdateStartButtons();
    void Shutdown();
    // The end of an ended window, once the server has stopped and no pass runs.
    void FinishIfEnded();

    // IServerStartHost: the running layout and the read-back; the start's values shown and saved.
    void ReadBack(CSettings::Values& values) override;
    void Accept(const CSettings::Values& values, bool bRenamed) override;

    // ISecureFolderHost
    void ShowWarning(const QString& text, const QString& caption) override;
    bool AskYesNo(const QString& text) override;
    bool ReadBackControls() override { return UpdateData(true); }
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
    CSecureFolderPasses m_passes; // its files' work runs on a thread of its own
    std::unique_ptr<CPassProgressDialog> m_pPassProgress;
    CFirstStart m_firstStart;
    bool m_bFetchingInternetIP = false;
    bool m_bEnded = false;
    bool m_bWaitCursor = false;
};
