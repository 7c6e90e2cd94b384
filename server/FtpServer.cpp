#include "server/FtpServer.h"

#include "connection/ThreadConnection.h"
#include "connection/VirtualPaths.h"
#include "core/MonitorColors.h"
#include "platform/ServingProcess.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

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
// A connection thread's stack. Its deepest path, a command handler under the event loop, fits in
// 32 KiB with the thread's own data. The C library keeps 40 MiB of ended threads' stacks for reuse:
// at this size that is the stacks of up to 600 clients' threads, which then start and end without
// mapping and unmapping memory, and each unmapping stops the other cores to flush their address
// caches.
constexpr uint kConnectionStackBytes = 64 * 1024;
// Threads kept waiting for clients: one to greet the next client while the one before it starts
// another, and one more so that a client's end can hand its thread to a later one.
constexpr qsizetype kSpareThreads = 2;
// The most descriptors one connection thread holds at once: its loop's wake-up, the control
// connection, the root folder, a passive listener, a data connection, a file or folder, and an
// upload's pipe (two).
constexpr long long kDescriptorsPerThread = 9;
// Kept free for the rest of the process (the window, the secure folder, files of the settings).
constexpr long long kDescriptorMargin = 32;

} // namespace

CFtpServer::CFtpServer(CSettings& settings, CServerMonitor& monitor)
    : m_settings(settings), m_monitor(monitor), m_internetAddress(monitor)
{
    PrepareServingProcess();
}

CFtpServer::~CFtpServer()
{
    StopServer();
    // Threads that outlived the stop's wait still use this object: wait for every one.
    while (m_nLiveThreads.load() > 0 || m_nSpareThreads > 0) {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
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
    if (m_bRunning)
        return false;
    const quint32 port = m_settings.Get().ServerPort;
    if (port > CSettings::kMaxServerPort || !m_listener.Create(quint16(port), true) ||
        !m_listener.Listen(kListenBacklog)) {
        const int error = port > CSettings::kMaxServerPort ? EINVAL : m_listener.LastError();
        m_strStartError = QString::fromLocal8Bit(strerror(error));
        m_listener.Close();
        m_monitor.AddMonitorText(QByteArray("Unable to start the server on port ") + QByteArray::number(port) + ": " +
                                     m_strStartError.toUtf8(),
                                 MonitorColor::White, MonitorColor::Red, true);
        // The default port 21 is one of these: a normal account meets this on its first start.
        if (port != 0 && port < kFirstUnprivilegedPort && (error == EACCES || error == EPERM)) {
            m_monitor.AddMonitorText("Ports below 1024 need privileges on Linux: choose a port such as 2121.",
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
    m_listener.m_pMainWindow = this;
    const long long spare = SpareDescriptors();
    m_nMaxThreads = spare < 0 ? INT_MAX : int(std::max(0LL, spare - kDescriptorMargin) / kDescriptorsPerThread);
    m_bRunning = true;
    StartSpareThread();
    m_monitor.AddMonitorText("***** FTP SERVER ONLINE *****", MonitorColor::Green, MonitorColor::Dark, true);
    WarnOfRiskySettings();
    return true;
}

void CFtpServer::WarnOfRiskySettings()
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
    if (m_nMaxThreads < INT_MAX && quint32(m_nMaxThreads) < values.MaxUsers) {
        warn("The open file limit serves " + QByteArray::number(m_nMaxThreads) + " clients at once, not MaxUsers " +
             QByteArray::number(values.MaxUsers) + ": raise it with ulimit -n or LimitNOFILE=.");
    }
}

void CFtpServer::StopServer()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_bRunning)
        return;
    m_bRunning = false;
    m_listener.Close();
    for (CThreadConnection* spare : std::exchange(m_spares, {})) {
        spare->RequestQuit();
        WaitForThreadEnd(spare, kStopWaitMs);
    }
    // Clients greeted before the stop, and the lines their threads wrote, come before it.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    QCoreApplication::sendPostedEvents(&m_monitor, QEvent::MetaCall);
    m_monitor.AddMonitorText("***** FTP SERVER OFFLINE *****", MonitorColor::Red, MonitorColor::Dark, true);
    while (CThreadConnection* connection = m_connections.First()) {
        connection->RequestQuit();
        if (!WaitForThreadEnd(connection, kStopWaitMs))
            m_connections.Remove(connection); // left running; it still counts until it ends
    }
}

quint16 CFtpServer::ListeningPort() const
{
    return m_bRunning ? m_listener.LocalPort() : 0;
}

CThreadConnection* CFtpServer::StartedThread()
{
    // A thread whose loop finds no descriptor for its wake-up ends the whole process (Qt stops it):
    // past the threads the descriptor limit holds, or with none free now, a client is turned away
    // instead.
    if (m_nLiveThreads + m_nSpareThreads >= m_nMaxThreads || !DescriptorFree())
        return nullptr;
    auto* connection = new CThreadConnection(this);
    ++m_nSpareThreads;
    connect(connection, &QThread::finished, this, [this, connection] {
        const bool served = connection->Served();
        connection->wait();
        delete connection;
        --(served ? m_nLiveThreads : m_nSpareThreads);
        if (m_pThreadEndWait)
            m_pThreadEndWait->quit();
    });
    connection->setStackSize(kConnectionStackBytes);
    connection->start();
    if (connection->isRunning())
        return connection;
    // The system has no thread to give now (Qt said why): nothing will ever wait for this one.
    --m_nSpareThreads;
    delete connection;
    return nullptr;
}

void CFtpServer::StartConnectionThread(CUniqueFd fd, const QByteArray& clientAddress)
{
    // SECURITY: an address banned for its failed logins costs no thread; its ban had its line.
    if (m_loginLimits.IsBanned(clientAddress)) {
        static constexpr char kBanned[] = "421 Too many failed logins from your address. Try again later.\r\n";
        [[maybe_unused]] const ssize_t sent =
            ::send(fd.Get(), kBanned, sizeof kBanned - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    CThreadConnection* connection = m_spares.isEmpty() ? StartedThread() : m_spares.takeLast();
    if (!connection) {
        TurnAway(std::move(fd), clientAddress);
        return;
    }
    m_connections.Append(connection);
    --m_nSpareThreads;
    ++m_nLiveThreads;
    connection->Serve(fd.Release(), clientAddress);
}

void CFtpServer::TurnAway(CUniqueFd fd, const QByteArray& clientAddress)
{
    fd.Reset();
    m_monitor.AddAddressLine("No thread for client: ", MonitorColor::Red, clientAddress, MonitorColor::Teal);
}

void CFtpServer::AcceptsTaken()
{
    // The next client's thread starts now, while this one's client is being greeted.
    if (m_bRunning && m_spares.isEmpty())
        StartSpareThread();
}

void CFtpServer::StartSpareThread()
{
    if (CThreadConnection* spare = StartedThread())
        m_spares.append(spare);
}

bool CFtpServer::WaitForThreadEnd(CThreadConnection* connection, int ms)
{
    // A thread's end is handled on this thread (the object is deleted there), and an ending thread
    // may still post to it: serve events until this one is gone or the time is up.
    QPointer<CThreadConnection> alive(connection);
    QEventLoop loop;
    bool timedOut = false;
    QTimer::singleShot(ms, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    QEventLoop* const outer = std::exchange(m_pThreadEndWait, &loop);
    while (alive && !timedOut)
        loop.exec();
    m_pThreadEndWait = outer;
    return !alive;
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

bool CFtpServer::ClientEnded(CThreadConnection* connection)
{
    // A place among the spares is taken here, on the connection's thread, so that at the end of a
    // burst only the threads kept wait for the host's thread; the others end at once.
    int spares = m_nSpareThreads.load();
    do {
        if (!m_bRunning || spares >= kSpareThreads)
            return false;
    } while (!m_nSpareThreads.compare_exchange_weak(spares, spares + 1));
    --m_nLiveThreads;
    QMetaObject::invokeMethod(
        this,
        [this, connection] {
            connection->Keep(); // counted as a spare from now on, also when it ends
            // A stop that began before a start (one made during the stop's waits, as the engine
            // allows) may have asked it to quit already: a spare that is ending must not serve the
            // next client.
            if (m_bRunning && !connection->QuitRequested())
                m_spares.append(connection);
            else
                connection->RequestQuit();
        },
        Qt::QueuedConnection);
    return true;
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
