#include "server/FtpServer.h"

#include "connection/ThreadConnection.h"
#include "connection/VirtualPaths.h"
#include "core/MonitorColors.h"
#include "core/SettingsStore.h"
#include "platform/ServingProcess.h"
#include "server/ServerTls.h"
#include "server/ThreadConfinement.h"
#include "tls/TlsContext.h"

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kStopWaitMs = 6000;
constexpr quint32 kFirstUnprivilegedPort = 1024;
// Linux completes the handshake of clients beyond the backlog and then drops them: listen with
// the system's maximum so that every client is greeted or refused.
constexpr int kListenBacklog = SOMAXCONN;
// The most descriptors one connection thread holds at once: its loop's wake-up, the control
// connection, the root folder, a passive listener, a data connection, a file or folder, and an
// upload's pipe (two).
constexpr long long kDescriptorsPerThread = 9;
// Kept free for the rest of the process (the window, the secure folder, files of the settings).
constexpr long long kDescriptorMargin = 32;

} // namespace

CFtpServer::CFtpServer(CSettings& settings, CServerMonitor& monitor)
    : m_settings(settings), m_monitor(monitor), m_internetAddress(monitor),
      m_listener({[this](CUniqueFd fd, const QByteArray& address) { OnClient(std::move(fd), address); },
                  [this](CUniqueFd fd, const QByteArray& address) { TurnAway(std::move(fd), address); },
                  [this] { m_pool.AcceptsTaken(); }}),
      m_strCertificateFolder(QFile::encodeName(QFileInfo(CSettingsStore::DefaultFilePath()).absolutePath())),
      m_pool(*this)
{
    PrepareServingProcess();
    m_stopWait.setSingleShot(true);
    connect(&m_stopWait, &QTimer::timeout, this, &CFtpServer::FinishStop);
    connect(&m_pool, &CConnectionPool::Drained, this, &CFtpServer::FinishStop);
}

// The pool, a member, waits for the connection threads that are left as it goes.
CFtpServer::~CFtpServer()
{
    StopServer();
}

bool CFtpServer::CheckRootFolder()
{
    // A file counts as well as a folder, as the start rule always had it.
    struct stat status;
    if (::stat(m_settings.SharedFolder().constData(), &status) == 0)
        return true;
    m_monitor.AddMonitorText("Root folder not found.\r\nPlease select a valid folder.", MonitorColor::White,
                             MonitorColor::Red, true);
    return false;
}

CFtpServer::EStart CFtpServer::StartWithRules(IServerStartHost* pHost)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!CheckRootFolder())
        return EStart::RootFolderMissing;
    CSettings::Values values = m_settings.Get();
    if (pHost)
        pHost->ReadBack(values);
    const bool bRenamed = CSettings::ApplyAnonymousRule(values);
    m_settings.Set(values);
    if (pHost)
        pHost->Accept(values, bRenamed);
    return StartServer() ? EStart::Started : EStart::NotStarted;
}

bool CFtpServer::StartServer()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (State() != EState::Stopped)
        return false;
    const quint32 port = m_settings.Get().ServerPort;
    m_bStartNeedsPrivilege = false;
    if (!PrepareTls())
        return false;
    if (port > CSettings::kMaxServerPort || !m_listener.Create(quint16(port), true) ||
        !m_listener.Listen(kListenBacklog)) {
        const int error = port > CSettings::kMaxServerPort ? EINVAL : m_listener.LastError();
        m_strStartError = QString::fromLocal8Bit(strerror(error));
        m_listener.Close();
        m_monitor.AddMonitorText(QByteArray("Unable to start the server on port ") + QByteArray::number(port) + ": " +
                                     m_strStartError.toUtf8(),
                                 MonitorColor::White, MonitorColor::Red, true);
        // The default port 21 is one of these: a normal account meets this on its first start.
        m_bStartNeedsPrivilege = port != 0 && port < kFirstUnprivilegedPort && (error == EACCES || error == EPERM);
        if (m_bStartNeedsPrivilege) {
            m_monitor.AddMonitorText("Ports below 1024 need privileges on Linux: choose a port such as " +
                                         QByteArray::number(kSuggestedPort) + ".",
                                     MonitorColor::Amber, MonitorColor::Dark, true);
        }
        return false;
    }
    // Replies go out as whole lines: without this, a reply that follows another one unanswered
    // ("226" after "150") waits for the client's delayed acknowledgement, some 40 ms. Accepted
    // connections take it from the listener.
    m_listener.SetNoDelay();
    // An ABOR sent as urgent data (Python's ftplib does) would otherwise lose its LF from the line.
    m_listener.SetUrgentInline();
    const long long spare = SpareDescriptors();
    const int maxThreads = spare < 0 ? INT_MAX : int(std::max(0LL, spare - kDescriptorMargin) / kDescriptorsPerThread);
    m_monitor.AddMonitorText("***** FTP SERVER ONLINE *****", MonitorColor::Green, MonitorColor::Dark, true);
    m_pool.Open(maxThreads, ConfineConnectionThreads(m_settings.Get(), m_monitor));
    SetState(EState::Running);
    const TlsSetup tls = Tls();
    if (tls.context) {
        m_monitor.AddMonitorText(
            QByteArray(tls.mode == CSettings::ETlsMode::Required ? "TLS required" : "TLS allowed") +
                ". Certificate SHA-256 fingerprint: " + tls.context->Fingerprint(),
            MonitorColor::Green, MonitorColor::Dark, true);
    }
    WarnOfRiskySettings(maxThreads);
    return true;
}

bool CFtpServer::PrepareTls()
{
    const CSettings::Values values = m_settings.Get();
    TlsSetup setup{CSettings::TlsModeOf(values), nullptr};
    if (setup.mode != CSettings::ETlsMode::Off) {
        QByteArray made, error;
        setup.context = LoadServerTls(values, m_strCertificateFolder, &made, &error);
        if (!setup.context) {
            m_strStartError = QString::fromUtf8(error);
            m_monitor.AddMonitorText(error, MonitorColor::White, MonitorColor::Red, true);
            return false;
        }
        if (!made.isEmpty()) {
            m_monitor.AddMonitorText("A self-signed TLS certificate was made: " + made, MonitorColor::Green,
                                     MonitorColor::Dark, true);
        }
    }
    m_bClearLoginTold = false;
    QMutexLocker locker(&m_tlsLock);
    m_tlsSetup = setup;
    return true;
}

TlsSetup CFtpServer::Tls() const
{
    QMutexLocker locker(&m_tlsLock);
    return m_tlsSetup;
}

void CFtpServer::NoteClearLoginFromOutside(const QByteArray& address)
{
    if (!m_bClearLoginTold.exchange(true)) {
        m_monitor.AddMonitorText("A password came in clear text from outside the LAN (" + address +
                                     "): turn encryption on (TLS) so that nobody on the way can read it.",
                                 MonitorColor::Amber, MonitorColor::Dark, true);
    }
}

void CFtpServer::SetState(EState state)
{
    m_eState = state;
    Q_EMIT StateChanged(state);
}

void CFtpServer::WarnOfRiskySettings(int maxThreads)
{
    const CSettings::Values values = m_settings.Get();
    const auto warn = [this](const QByteArray& text) {
        m_monitor.AddMonitorText(text, MonitorColor::Amber, MonitorColor::Dark, true);
    };
    const bool anonymous = EqualIgnoringAsciiCase(values.Username, "anonymous");
    if (values.Password.isEmpty() && !anonymous)
        warn("No password is set: nobody can log in as " + values.Username + ".");
    QByteArrayList writes;
    const std::pair<int, const char*> permissions[] = {{values.AllowUploadFiles, "upload"},
                                                       {values.AllowDeleteFiles, "delete"},
                                                       {values.AllowRenameFiles, "rename"},
                                                       {values.AllowCreateFolders, "create folders"}};
    for (const auto& [allowed, verb] : permissions) {
        if (allowed)
            writes.append(verb);
    }
    if (anonymous && !writes.isEmpty())
        warn("Anyone may log in as anonymous and " + writes.join(", ") + ".");
    if (maxThreads < INT_MAX && quint32(maxThreads) < values.MaxUsers) {
        warn("The open file limit serves " + QByteArray::number(maxThreads) + " clients at once, not MaxUsers " +
             QByteArray::number(values.MaxUsers) + ": raise it with ulimit -n or LimitNOFILE=.");
    }
}

void CFtpServer::StopServer()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (State() != EState::Running)
        return;
    SetState(EState::Stopping);
    m_listener.Close();
    m_stopWait.start(kStopWaitMs);
    m_pool.Close();
}

void CFtpServer::FinishStop()
{
    if (State() != EState::Stopping)
        return;
    m_stopWait.stop();
    // Every line a connection thread wrote was queued to this thread before its thread ended: the
    // OFFLINE line comes after them. Threads left running by the wait's end go on to their end.
    m_monitor.AddMonitorText("***** FTP SERVER OFFLINE *****", MonitorColor::Red, MonitorColor::Dark, true);
    SetState(EState::Stopped);
}

quint16 CFtpServer::ListeningPort() const
{
    return IsRunning() ? m_listener.LocalPort() : 0;
}

void CFtpServer::OnClient(CUniqueFd fd, const QByteArray& clientAddress)
{
    // SECURITY: an address banned for its failed logins costs no thread; its ban had its line.
    if (m_loginLimits.IsBanned(clientAddress)) {
        static constexpr char kBanned[] = "421 Too many failed logins from your address. Try again later.\r\n";
        [[maybe_unused]] const ssize_t sent =
            ::send(fd.Get(), kBanned, sizeof kBanned - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    if (!m_pool.Serve(fd, clientAddress))
        TurnAway(std::move(fd), clientAddress);
}

void CFtpServer::TurnAway(CUniqueFd fd, const QByteArray& clientAddress)
{
    fd.Reset();
    m_monitor.AddAddressLine("No thread for client: ", MonitorColor::Red, clientAddress, MonitorColor::Teal);
}

int CFtpServer::NotifyUserArrived(const QByteArray& address)
{
    // Counted at once, so that the connection compares MaxUsers with a count that includes it;
    // the window and the monitor learn of it in their turn, without holding up the greeting.
    const int count = ++m_nConnectedUsers;
    QMetaObject::invokeMethod(
        this, [this, address] { OnUserArrived(address); }, Qt::QueuedConnection);
    return count;
}

void CFtpServer::NotifyUserLeft()
{
    // Counted out at once, so that a client that reconnects right after its QUIT finds its place;
    // the window learns of it in its turn.
    --m_nConnectedUsers;
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT ConnectedUsersChanged(m_nConnectedUsers.load()); }, Qt::QueuedConnection);
}

bool CFtpServer::TakeLoginPlace(const QByteArray& address)
{
    // Half the user limit, rounded up: one address alone cannot keep the others from logging in.
    const int cap = int(std::max<quint32>(1, (m_settings.MaxUsers() + 1) / 2));
    return m_loginLimits.TakePlace(address, cap);
}

void CFtpServer::NoteLoginFailed(const QByteArray& address)
{
    const CSettings::Durations durations = m_settings.GetDurations();
    if (m_loginLimits.NoteFailure(address, durations.BanWindowMs, durations.BanMs)) {
        m_monitor.AddAddressLine("Banned for " + QByteArray::number(CLoginLimits::kFailuresToBan) + " failed logins: ",
                                 MonitorColor::Red, address, MonitorColor::Teal);
    }
}

void CFtpServer::OnUserArrived(const QByteArray& address)
{
    Q_EMIT ConnectedUsersChanged(m_nConnectedUsers.load());
    m_monitor.AddAddressLine("User arrived: ", MonitorColor::Bronze, address, MonitorColor::Cyan);
}
