#include "panel/MainWindow.h"

#include "core/LanAddress.h"
#include "core/MonitorColors.h"
#include "panel/AboutDialog.h"
#include "panel/FolderPicker.h"
#include "panel/HelpText.h"
#include "panel/MessageBoxes.h"
#include "panel/MonitorPane.h"
#include "panel/Pictures.h"
#include "panel/ShareDialog.h"
#include "server/FtpServer.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QToolButton>
#include <QUrl>

namespace {

const char kCaption[] = "Tarvelo FTP Server v1.1b";
const char kStopQuestion[] = "The FTP server is running.\n\nDo you want to stop the FTP server and exit application ?";

} // namespace

CMainWindow::CMainWindow(const QString& settingsFile, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_store(settingsFile), m_passes(m_settings, &m_store, m_monitor, *this)
{
    QByteArray lanIP;
    (void)GetLanIP(lanIP); // no address: the box stays empty
    m_strLanIPText = lanIP;
    bool bSettingsWereOpen = false;
    m_values = m_store.LoadSettings(&bSettingsWereOpen);
    m_settings.Set(m_values);
    m_pServer = std::make_unique<CFtpServer>(m_settings, m_monitor);
    m_pServer->SetCertificateFolder(QFile::encodeName(QFileInfo(m_store.FilePath()).absolutePath()));

    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowIcon(Pictures::Icon(QStringLiteral("tarvelo-ftp")));
    m_controls.Build(this);
    BindMembers();
    ConnectHandlers();
    UpdateData(false);

    m_monitor.SetSink(m_controls.Monitor);
    m_monitor.AddMonitorText(kCaption, MonitorColor::White, MonitorColor::Dark, true);
    if (bSettingsWereOpen)
        m_monitor.AddMonitorText(m_store.WasOpenText(), MonitorColor::Amber, MonitorColor::Dark, true);
    m_controls.Start->setFocus(Qt::OtherFocusReason);
}

CMainWindow::~CMainWindow()
{
    Shutdown();
    m_pServer.reset(); // waits for connection threads that outlived the stop
    m_monitor.SetSink(nullptr);
    SetWaitCursor(false);
}

void CMainWindow::BindMembers()
{
    CDialogExchange& x = m_exchange;
    const CMainWindowControls& c = m_controls;
    constexpr int kShortTextLength = CSettings::kShortTextLength;
    constexpr int kMessageLength = CSettings::kMessageLength;
    x.BindNumber(c.MaxUsers, &m_values.MaxUsers, 0, CSettings::kMaxUsersBound);
    x.BindNumber(c.ServerPort, &m_values.ServerPort, 0, CSettings::kMaxServerPort);
    x.BindChoice(c.TlsMode, &m_values.TlsMode);
    x.BindText(c.Username, &m_values.Username, kShortTextLength);
    x.BindText(c.Password, &m_values.Password, kShortTextLength);
    x.BindText(c.WelcomeMSG, &m_values.WelcomeMSG, kMessageLength);
    x.BindText(c.LogoffMSG, &m_values.LogoffMSG, kMessageLength);
    x.BindText(c.SharedFolder, &m_values.SharedFolder);
    x.BindText(c.SecureFolder, &m_values.SecureFolder);
    x.BindText(c.CryPassword, &m_values.SecurePassword, kShortTextLength);
    x.BindText(c.InternetIP, &m_strInternetIPText);
    x.BindCheck(c.HidePassword, &m_nHidePassword);
    x.BindCheck(c.HideCryPassword, &m_nHideCryPassword);
    x.BindText(c.LanIP, &m_strLanIPText);
    x.BindText(c.ConnectedUsers, &m_strConnectedUsersText);
    x.BindCheck(c.AllowDownloadFiles, &m_values.AllowDownloadFiles);
    x.BindCheck(c.AllowUploadFiles, &m_values.AllowUploadFiles);
    x.BindCheck(c.AllowRenameFiles, &m_values.AllowRenameFiles);
    x.BindCheck(c.AllowDeleteFiles, &m_values.AllowDeleteFiles);
    x.BindCheck(c.AllowCreateFolders, &m_values.AllowCreateFolders);
}

void CMainWindow::ConnectHandlers()
{
    const CMainWindowControls& c = m_controls;
    connect(c.Start, &QPushButton::clicked, this, &CMainWindow::OnStartServer);
    connect(c.Stop, &QPushButton::clicked, this, &CMainWindow::OnStopServer);
    connect(m_pServer.get(), &CFtpServer::ConnectedUsersChanged, this, &CMainWindow::OnConnectedUsersChanged);
    connect(m_pServer.get(), &CFtpServer::StateChanged, this, &CMainWindow::OnServerStateChanged);
    connect(c.RootFolder, &QPushButton::clicked, this, [this] {
        PickFolder(&CSettings::Values::SharedFolder, QStringLiteral("Select root folder:"),
                   QStringLiteral("Root folder"), false);
    });
    connect(c.SecureFolderButton, &QPushButton::clicked, this, [this] {
        PickFolder(&CSettings::Values::SecureFolder, QStringLiteral("Select secure folder:"),
                   QStringLiteral("Secure folder"), true);
    });
    connect(c.OpenRootFolder, &QToolButton::clicked, this,
            [this] { OpenFolder(m_values.SharedFolder, QStringLiteral("Root folder")); });
    connect(c.OpenSecureFolder, &QToolButton::clicked, this,
            [this] { OpenFolder(m_values.SecureFolder, QStringLiteral("Secure folder")); });
    connect(c.HidePassword, &QCheckBox::clicked, this,
            [this] { OnHide(m_controls.HidePassword, m_controls.Password); });
    connect(c.HideCryPassword, &QCheckBox::clicked, this,
            [this] { OnHide(m_controls.HideCryPassword, m_controls.CryPassword); });
    connect(c.GetInternetIP, &QPushButton::clicked, this, &CMainWindow::OnGetInternetIP);
    connect(c.Encrypt, &QPushButton::clicked, this,
            [this] { RunPass(&CSecureFolderPasses::OnEncrypt, QStringLiteral("Encrypting the secure folder")); });
    connect(c.Decrypt, &QPushButton::clicked, this,
            [this] { RunPass(&CSecureFolderPasses::OnDecrypt, QStringLiteral("Decrypting the secure folder")); });
    connect(&m_passes, &CSecureFolderPasses::ProgressChanged, this, [this] {
        if (m_pPassProgress)
            m_pPassProgress->ShowProgress(m_passes.Progress());
    });
    connect(&m_passes, &CSecureFolderPasses::Finished, this, &CMainWindow::OnPassFinished);
    connect(c.WebPage, &QToolButton::clicked, this, &CMainWindow::OnWebPage);
    connect(c.About, &QToolButton::clicked, this, &CMainWindow::OnAbout);
    connect(c.Help, &QToolButton::clicked, this, &CMainWindow::OnHelp);
    connect(c.Share, &QToolButton::clicked, this, &CMainWindow::ShowShareDialog);
}

bool CMainWindow::UpdateData(bool bRead)
{
    Q_ASSERT(QThread::currentThread() == thread());
    const bool ok = m_exchange.UpdateData(bRead);
    if (bRead)
        m_settings.Set(m_values); // the connection threads read the record under its lock
    return ok;
}

void CMainWindow::SetSettingsEnabled(bool bEnabled)
{
    const CMainWindowControls& c = m_controls;
    QWidget* const settings[] = {c.ServerPort,
                                 c.MaxUsers,
                                 c.TlsMode,
                                 c.Username,
                                 c.Password,
                                 c.WelcomeMSG,
                                 c.LogoffMSG,
                                 c.SharedFolder,
                                 c.SecureFolder,
                                 c.CryPassword,
                                 c.RootFolder,
                                 c.SecureFolderButton,
                                 c.Encrypt,
                                 c.Decrypt,
                                 c.HidePassword,
                                 c.HideCryPassword,
                                 c.AllowDownloadFiles,
                                 c.AllowUploadFiles,
                                 c.AllowRenameFiles,
                                 c.AllowDeleteFiles,
                                 c.AllowCreateFolders,
                                 c.Start};
    for (QWidget* control : settings)
        control->setEnabled(bEnabled);
    c.Stop->setEnabled(!bEnabled);
    c.Start->setVisible(bEnabled);
    c.Stop->setVisible(!bEnabled);
    (bEnabled ? c.Start : c.Stop)->setFocus(Qt::OtherFocusReason);
}

void CMainWindow::OnStartServer()
{
    // No start while the window ends, a stop runs (the server refuses it too), or a pass runs.
    if (m_bEnded || m_passes.IsRunning() || m_pServer->State() != CFtpServer::EState::Stopped)
        return;
    CFirstStart::CreateDefaultFolders(m_values, m_monitor);
    // A listener that cannot open has written its reason: back to the stopped layout.
    if (m_pServer->StartWithRules(this) == CFtpServer::EStart::NotStarted) {
        SetSettingsEnabled(true);
        OfferSuggestedPort();
    }
}

void CMainWindow::OfferSuggestedPort()
{
    // The question serves the window's events: the window may have ended meanwhile.
    if (!m_pServer->LastStartNeedsPrivilege() || !m_firstStart.AskForSuggestedPort(this, m_values.ServerPort) ||
        m_bEnded)
        return;
    m_controls.ServerPort->setText(QString::number(CFtpServer::kSuggestedPort)); // read back and saved by the start
    OnStartServer();
}

void CMainWindow::ReadBack(CSettings::Values& values)
{
    SetSettingsEnabled(false);
    (void)UpdateData(true); // a value that failed its bound has been prompted for; the start goes on
    values = m_values;
}

void CMainWindow::Accept(const CSettings::Values& values, bool bRenamed)
{
    m_values = values;
    if (bRenamed)
        UpdateData(false);
    if (!m_store.SaveSettings(m_values))
        m_monitor.AddMonitorText(m_store.SaveFailedText(), MonitorColor::White, MonitorColor::Red, true);
}

void CMainWindow::OnStopServer()
{
    SetSettingsEnabled(true);
    m_pServer->StopServer(); // Start stays off until the stop has ended
}

void CMainWindow::OnServerStateChanged(CFtpServer::EState)
{
    UpdateStartButtons();
    FinishIfEnded();
}

void CMainWindow::OnConnectedUsersChanged(int count)
{
    // Only the count's box: the other boxes may hold edits the user has not applied yet.
    m_strConnectedUsersText = QByteArray::number(count);
    m_controls.ConnectedUsers->setText(QString::fromLatin1(m_strConnectedUsersText));
}

void CMainWindow::PickFolder(QByteArray CSettings::Values::*member, const QString& title, const QString& subject,
                             bool bStoreAtOnce)
{
    (void)UpdateData(true);
    const QString chosen = CFolderPicker::GetExistingDirectory(this, title, QFile::decodeName(m_values.*member));
    if (chosen.isEmpty())
        return;
    if (!QFileInfo::exists(chosen)) {
        CMessageBox::ShowWarning(this, subject + QStringLiteral(" not found.\r\nPlease select a valid folder."),
                                 subject);
        return;
    }
    m_values.*member = QFile::encodeName(chosen);
    m_settings.Set(m_values);
    UpdateData(false);
    if (bStoreAtOnce && !m_store.SaveText("SecureFolder", m_values.SecureFolder)) {
        CMessageBox::ShowWarning(this, QFile::decodeName(m_store.SaveFailedText()), subject);
    }
}

void CMainWindow::OpenFolder(const QByteArray& path, const QString& subject)
{
    // An empty path is the current folder, as every relative path is.
    const QString folder = path.isEmpty() ? QStringLiteral(".") : QFile::decodeName(path);
    if (!QFileInfo::exists(folder)) {
        CMessageBox::ShowWarning(this, subject + QStringLiteral(" not found."), subject);
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(folder).absoluteFilePath())))
        CMessageBox::ShowWarning(this, QStringLiteral("Unable to open the folder ") + folder, subject);
}

void CMainWindow::OnHide(QCheckBox* box, QLineEdit* edit)
{
    (void)UpdateData(true);
    edit->setEchoMode(box->isChecked() ? QLineEdit::Password : QLineEdit::Normal);
    UpdateData(false);
}

void CMainWindow::OnGetInternetIP()
{
    if (m_bFetchingInternetIP || m_bEnded)
        return;
    (void)UpdateData(true);
    // The fetch can take seconds: the window goes on, and the address comes back as an event.
    const std::optional<QByteArray> known = m_pServer->InternetAddress().Lookup(
        this, [this](const QByteArray& address) { FinishInternetIP(address); }, true);
    if (known) {
        FinishInternetIP(*known);
        return;
    }
    m_bFetchingInternetIP = true;
    m_controls.GetInternetIP->setEnabled(false);
}

void CMainWindow::FinishInternetIP(const QByteArray& address)
{
    m_bFetchingInternetIP = false;
    m_controls.GetInternetIP->setEnabled(true);
    // Only its own box: the others may have been edited while the address was fetched.
    m_strInternetIPText = address;
    m_controls.InternetIP->setText(QString::fromLatin1(address));
}

void CMainWindow::RunPass(CSecureFolderPasses::EStart (CSecureFolderPasses::*pass)(), const QString& title)
{
    if (m_bEnded || m_passes.IsRunning() || m_pServer->State() != CFtpServer::EState::Stopped)
        return;
    // A pass that did not start has shown why; one that did tells its end (OnPassFinished). Its
    // questions are modal: nothing else is clicked meanwhile.
    if ((m_passes.*pass)() != CSecureFolderPasses::EStart::Started) {
        OnPassFinished();
        return;
    }
    UpdateStartButtons();
    m_pPassProgress = std::make_unique<CPassProgressDialog>(this, title);
    connect(m_pPassProgress.get(), &CPassProgressDialog::CancelAsked, this, &CMainWindow::CancelPass);
    m_pPassProgress->ShowProgress(m_passes.Progress());
    m_pPassProgress->show();
}

void CMainWindow::CancelPass()
{
    m_passes.Cancel();
    if (m_pPassProgress)
        m_pPassProgress->ShowCancelling();
}

void CMainWindow::OnPassFinished()
{
    m_pPassProgress.reset(); // the summary is in the monitor
    UpdateStartButtons();
    FinishIfEnded();
}

void CMainWindow::ShowShareDialog()
{
    if (m_bEnded)
        return;
    if (auto* open = findChild<CShareDialog*>(); open && open->isVisible()) {
        open->raise();
        open->activateWindow();
        return;
    }
    const CSettings::Values values = m_settings.Get();
    const bool bRunning = m_pServer->IsRunning();
    auto* dialog = new CShareDialog({m_strLanIPText, m_strInternetIPText, values.Username,
                                     bRunning ? m_pServer->ListeningPort() : values.ServerPort, bRunning},
                                    this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open(); // window-modal, without a loop of its own
}

void CMainWindow::OnWebPage()
{
    if (!QDesktopServices::openUrl(QUrl(WebPageUrl())))
        CMessageBox::ShowWarning(this, QStringLiteral("Unable to open ") + WebPageUrl(), ApplicationName());
}

void CMainWindow::OnAbout()
{
    CAboutDialog about(this);
    about.exec();
}

void CMainWindow::OnHelp()
{
    CMessageBox::Show(this, HelpText(), ApplicationName(), QMessageBox::Question);
}

void CMainWindow::UpdateStartButtons()
{
    const bool bEnabled = !m_bEnded && !m_passes.IsRunning() && m_pServer->State() == CFtpServer::EState::Stopped;
    for (QWidget* button : {m_controls.Start, m_controls.Encrypt, m_controls.Decrypt})
        button->setEnabled(bEnabled);
}

void CMainWindow::Shutdown()
{
    m_pServer->InternetAddress().Cancel(this);
    m_pServer->StopServer();
}

void CMainWindow::EndWindow()
{
    if (m_bEnded)
        return;
    m_bEnded = true;
    hide();
    Shutdown();
    // A pass still asking its questions does not begin; one at work stops after the file in hand,
    // its progress window saying so until then.
    CancelPass();
    FinishIfEnded();
}

void CMainWindow::FinishIfEnded()
{
    // Told by the server's stop (OnServerStateChanged) and by the pass's end (OnPassFinished),
    // whichever comes last.
    if (m_bEnded && !m_passes.IsRunning() && m_pServer->State() == CFtpServer::EState::Stopped)
        done(QDialog::Rejected);
}

void CMainWindow::reject()
{
    EndWindow();
}

void CMainWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (m_bEnded)
        return;
    if (m_pServer->IsRunning() && !CMessageBox::AskYesNo(this, QString::fromLatin1(kStopQuestion), ApplicationName()))
        return;
    EndWindow();
}

void CMainWindow::ShowWarning(const QString& text, const QString& caption)
{
    CMessageBox::ShowWarning(this, text, caption);
}

bool CMainWindow::AskYesNo(const QString& text)
{
    return CMessageBox::AskYesNo(this, text, ApplicationName());
}

void CMainWindow::SetWaitCursor(bool bWait)
{
    if (bWait == m_bWaitCursor)
        return;
    m_bWaitCursor = bWait;
    // The arrow with the busy sign: the window and the pass's Cancel stay usable while it works.
    if (bWait)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}
