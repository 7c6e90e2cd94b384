#include "connection/ThreadConnection.h"

#include "connection/ConnectionHost.h"
#include "connection/SocketController.h"
#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "platform/Landlock.h"
#include "platform/UniqueFd.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <utility>

namespace {

std::atomic<void (*)()> g_clientStartHook{nullptr};

// Milliseconds on a clock that setting the system time does not move.
qint64 Now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

CThreadConnection::CThreadConnection(IConnectionHost* host, std::shared_ptr<const CLandlockRuleset> confinement)
    : m_pHost(host), m_confinement(std::move(confinement)), m_tLastActivity(Now())
{
    m_context.moveToThread(this);
}

CThreadConnection::~CThreadConnection()
{
    // A thread that ended before it took its client still owns the descriptor.
    CUniqueFd(m_hAcceptedSocket.exchange(-1));
}

void CThreadConnection::Serve(int acceptedSocket, const QByteArray& clientAddress)
{
    m_strAcceptedAddress = clientAddress;
    m_hAcceptedSocket = acceptedSocket;
    QMetaObject::invokeMethod(
        &m_context, [this] { StartConnection(); }, Qt::QueuedConnection);
}

void CThreadConnection::RequestQuit()
{
    m_bQuitRequested = true;
    QMetaObject::invokeMethod(
        &m_context, [this] { quit(); }, Qt::QueuedConnection);
}

void CThreadConnection::EndClient()
{
    Q_ASSERT(QThread::currentThread() == this);
    if (std::exchange(m_bEnding, true))
        return;
    QMetaObject::invokeMethod(
        &m_context,
        [this] {
            FinishClient();
            if (m_bConfinementFailed || !m_pHost->ClientEnded(this))
                quit();
        },
        Qt::QueuedConnection);
}

void CThreadConnection::UpdateLastActivity()
{
    Q_ASSERT(QThread::currentThread() == this);
    m_tLastActivity = Now();
}

bool CThreadConnection::IdleTimeOutPassed() const
{
    Q_ASSERT(QThread::currentThread() == this);
    return m_tLastActivity + m_pHost->Settings().GetDurations().IdleTimeoutMs < Now();
}

void CThreadConnection::SetClientStartHook(void (*hook)())
{
    g_clientStartHook = hook;
}

void CThreadConnection::run()
{
    if (m_confinement && !m_confinement->RestrictThisThread()) {
        m_bConfinementFailed = true;
        m_pHost->Monitor().AddMonitorText("Kernel confinement of a client's thread failed: " +
                                              QByteArray(strerror(errno)),
                                          MonitorColor::White, MonitorColor::Red, true);
    }
    m_confinement.reset(); // the ruleset's descriptor goes with the run's last thread to start
    exec();
    ExitInstance();
}

void CThreadConnection::StartConnection()
{
    m_bEnding = false;
    m_socket = std::make_unique<CSocketController>(this, m_pHost);
    m_socket->Attach(m_hAcceptedSocket.exchange(-1));
    m_tLastActivity = Now();
    m_socket->SetClientAddress(m_strAcceptedAddress);

    if (void (*hook)() = g_clientStartHook.load())
        hook();
    const CSettings::Values settings = m_pHost->Settings().Get();
    const int users = m_pHost->NotifyUserArrived(m_socket->ClientAddress());
    // SECURITY: a thread the kernel did not confine serves nobody; it ends with this client.
    if (m_bConfinementFailed) {
        m_socket->SendReply("421 Service not available.");
        m_socket->EndConnection();
        return;
    }
    if (settings.MaxUsers < quint32(users)) {
        m_socket->SendReply("421 No more users are allowed.");
        m_socket->EndConnection(); // closed at once: commands the client sent ahead must not run
        return;
    }
    // SECURITY: connections that never log in would hold the places of the user limit: one address
    // holds half of them at most, each for the login time limit at most.
    if (!m_pHost->TakeLoginPlace(m_socket->ClientAddress())) {
        m_socket->SendReply("421 Too many connections from your address are not logged in.");
        m_socket->EndConnection();
        return;
    }
    m_bLoginPlace = true;
    if (!m_loginTimer) { // made once for the thread's clients, on the thread
        m_loginTimer = std::make_unique<QTimer>();
        m_loginTimer->setSingleShot(true);
        QObject::connect(m_loginTimer.get(), &QTimer::timeout, m_loginTimer.get(), [this] { LoginTimeLimitReached(); });
        // One timer for the idle limit, re-armed when it finds activity since it was armed: an idle
        // client costs one wake-up per limit, and activity costs only the clock read that marks it.
        m_idleTimer = std::make_unique<QTimer>();
        m_idleTimer->setSingleShot(true);
        QObject::connect(m_idleTimer.get(), &QTimer::timeout, m_idleTimer.get(), [this] { IdleTimerProc(); });
    }
    const CSettings::Durations durations = m_pHost->Settings().GetDurations();
    m_loginTimer->start(durations.LoginTimeLimitMs);
    m_socket->SendReply("220 %s", settings.WelcomeMSG.constData());
    ArmIdleTimer(durations.IdleTimeoutMs);
}

void CThreadConnection::LoginTimeLimitReached()
{
    m_socket->SendReply("421 Login time limit reached.");
    m_socket->EndConnection();
}

void CThreadConnection::FireWaitTimers(std::function<void()> fired)
{
    QMetaObject::invokeMethod(
        &m_context,
        [this, fired = std::move(fired)] {
            if (m_loginTimer && m_loginTimer->isActive()) {
                m_loginTimer->stop();
                LoginTimeLimitReached();
            }
            if (m_socket)
                m_socket->FireDataWait();
            fired();
        },
        Qt::QueuedConnection);
}

void CThreadConnection::IdleTimerProc()
{
    const qint64 left = m_tLastActivity + m_pHost->Settings().GetDurations().IdleTimeoutMs - Now();
    if (left > 0) {
        ArmIdleTimer(left);
        return;
    }
    m_socket->SendReply("426 Time out.");
    m_socket->EndConnection();
}

void CThreadConnection::ArmIdleTimer(qint64 ms)
{
    m_idleTimer->start(int(std::clamp<qint64>(ms, 1, INT_MAX)));
}

void CThreadConnection::LoggedIn()
{
    Q_ASSERT(QThread::currentThread() == this);
    EndLoginWait();
}

void CThreadConnection::EndLoginWait()
{
    if (m_loginTimer)
        m_loginTimer->stop();
    if (std::exchange(m_bLoginPlace, false))
        m_pHost->LeaveLoginPlace(m_socket->ClientAddress());
}

void CThreadConnection::ExitInstance()
{
    FinishClient();
    m_idleTimer.reset(); // on their own thread
    m_loginTimer.reset();
}

void CThreadConnection::FinishClient()
{
    if (!m_socket)
        return; // no client now (none came, or it was finished already)
    if (m_idleTimer)
        m_idleTimer->stop();
    EndLoginWait();
    m_socket.reset(); // closes the control connection and any data connection
    m_pHost->NotifyUserLeft();
}
