#pragma once

#include "connection/ConnectionHost.h"
#include "core/InternetAddress.h"
#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "server/ConnectionPool.h"
#include "server/ListeningSocket.h"
#include "server/LoginLimits.h"
#include "server/LoginTurns.h"

#include <QMutex>
#include <QObject>
#include <QTimer>

#include <atomic>

class CThreadConnection;

// What " Start server" asks of the program that hosts the server: the window reads its controls
// back, then shows and saves the values it serves with. Host's thread.
class IServerStartHost
{
public:
    virtual ~IServerStartHost() = default;
    // The root folder exists: bring the user's edits into values.
    virtual void ReadBack(CSettings::Values& values) = 0;
    // The values about to be served, after the "anonymous" rule (bRenamed: it changed the user name).
    virtual void Accept(const CSettings::Values& values, bool bRenamed) = 0;
};

// The engine side of the main window: the listener, the connection threads, the server's state and
// the connected-users count. Lives on the host's thread (the window's, or the headless program's
// main thread); connection threads reach it through IConnectionHost only, which it implements
// privately.
class CFtpServer : public QObject, private IConnectionHost
{
    Q_OBJECT
public:
    // Host's thread. The settings and the monitor outlive the server.
    CFtpServer(CSettings& settings, CServerMonitor& monitor);
    // Stops the server and waits until every connection thread has ended (none waits for this one).
    ~CFtpServer() override;

    enum class EState
    {
        Stopped,
        Running,
        Stopping, // the listener is closed and the connection threads are ending
    };

    // The port a start refused for privileges suggests: the first of the common unprivileged FTP ports.
    static constexpr quint16 kSuggestedPort = 2121;

    enum class EStart
    {
        Started,
        RootFolderMissing, // "Root folder not found." was written; nothing else happened
        NotStarted,        // running or stopping, or the listener could not open (its reason was written)
    };
    // Host's thread: the start rules of " Start server" for every program: the root folder must
    // exist; then the host (may be null) reads back, an empty user name becomes "anonymous", the
    // host accepts the values, the record takes them, and the listener opens.
    EStart StartWithRules(IServerStartHost* pHost);

    // Host's thread: prepares encryption when TlsMode asks for it, opens the listener on ServerPort,
    // starts the first client's thread and writes the ONLINE line, then the certificate's
    // fingerprint. False when the server is not stopped, when the certificate or key cannot serve
    // (the monitor line says which and what to do), or when the listener cannot be opened:
    // then the monitor shows "Unable to start the server on port %d: %s", followed, when a port
    // below 1024 was refused for lack of privilege, by a line suggesting another port; the server
    // stays stopped.
    bool StartServer();
    // Host's thread: closes the listener, asks every connection thread to end, and returns; the
    // server is stopping until the last thread has ended (or kStopWaitMs have passed), then writes
    // the OFFLINE line, after every line the clients wrote, and is stopped (StateChanged). Nothing
    // when the server is not running.
    void StopServer();

    // Host's thread: where a certificate is made when the settings name none; by default the folder
    // of the default settings file.
    void SetCertificateFolder(const QByteArray& folder) { m_strCertificateFolder = folder; }

    EState State() const { return m_eState.load(); }
    bool IsRunning() const { return State() == EState::Running; }
    // The port the listener is bound to (ServerPort, or the system's choice for 0); 0 unless running.
    quint16 ListeningPort() const;
    // The reason the last StartServer failed, as the system words it.
    QString LastStartError() const { return m_strStartError; }
    // True when the last StartServer failed because its port needs privileges (the line suggesting
    // another port was written).
    bool LastStartNeedsPrivilege() const { return m_bStartNeedsPrivilege; }

    // Any thread.
    CSettings& Settings() const override { return m_settings; }
    CServerMonitor& Monitor() const override { return m_monitor; }
    // The public address for PASV replies and the window's "Get Internet IP:" button; it lives on
    // the host's thread.
    CInternetAddress& InternetAddress() override { return m_internetAddress; }
    TlsSetup Tls() const override;
    int ConnectedUsers() const { return m_nConnectedUsers.load(); }
    // Connection threads serving a client now, and threads waiting for one.
    int ServingThreads() const { return m_pool.ServingThreads(); }
    int SpareThreads() const { return m_pool.SpareThreads(); }
    // Host's thread: every connection thread alive, whatever it does.
    qsizetype Threads() const { return m_pool.Threads(); }
    // Host's thread, for tests: see CConnectionPool::FireWaitTimers.
    int FireWaitTimers(const std::function<void()>& fired) { return m_pool.FireWaitTimers(fired); }
    // Any thread: how long a password from the address would wait for its turn now.
    qint64 LoginWait(const QByteArray& address) const { return m_loginTurns.Wait(address); }

Q_SIGNALS:
    // Host's thread: the connected-users count changed.
    void ConnectedUsersChanged(int count);
    // Host's thread: the state changed.
    void StateChanged(EState state);

private:
    // The encryption of the run about to start; false, with its monitor line, when it cannot serve.
    bool PrepareTls();
    // The start rule of the root folder. False, with the monitor line "Root folder not found.",
    // when nothing exists at SharedFolder.
    bool CheckRootFolder();
    // The listener's: a client to serve, a client that cannot be served, a burst taken.
    void OnClient(CUniqueFd fd, const QByteArray& clientAddress);
    void TurnAway(CUniqueFd fd, const QByteArray& clientAddress);
    void OnUserArrived(const QByteArray& address);
    // The start's amber lines: an account nobody can use, what anonymous clients may change, a
    // descriptor limit below MaxUsers.
    void WarnOfRiskySettings(int maxThreads);
    void SetState(EState state);
    // The end of a stop: the OFFLINE line, then stopped.
    void FinishStop();

    // IConnectionHost, connection threads.
    int NotifyUserArrived(const QByteArray& address) override;
    void NotifyUserLeft() override;
    bool ClientEnded(CThreadConnection* connection) override { return m_pool.ClientEnded(connection); }
    qint64 TakeLoginTurn(const QByteArray& address, int pauseMs) override
    {
        return m_loginTurns.Take(address, pauseMs);
    }
    void NoteLoginRefused(const QByteArray& address, int pauseMs) override
    {
        m_loginTurns.NoteRefused(address, pauseMs);
    }
    bool TakeLoginPlace(const QByteArray& address) override;
    void LeaveLoginPlace(const QByteArray& address) override { m_loginLimits.LeavePlace(address); }
    void NoteLoginFailed(const QByteArray& address) override;
    void NoteClearLoginFromOutside(const QByteArray& address) override;

    CSettings& m_settings;
    CServerMonitor& m_monitor;
    CInternetAddress m_internetAddress;
    CSocketOpenListening m_listener;               // host's thread only
    CLoginTurns m_loginTurns;                      // of the connection threads, guarded inside
    CLoginLimits m_loginLimits;                    // of the listener and the connection threads, guarded inside
    std::atomic<EState> m_eState{EState::Stopped}; // changed on the host's thread only
    QTimer m_stopWait;                             // host's thread only: a stop's longest wait
    QString m_strStartError;                       // host's thread only
    QByteArray m_strCertificateFolder;             // host's thread only
    bool m_bStartNeedsPrivilege = false;           // host's thread only
    std::atomic<int> m_nConnectedUsers{0};         // raised by arriving connections, lowered by leaving ones
    mutable QMutex m_tlsLock;
    TlsSetup m_tlsSetup;                        // guarded by m_tlsLock: set at a start, read by each arrival
    std::atomic<bool> m_bClearLoginTold{false}; // this run told of a password in clear text from outside
    // Host's thread, except its counts and ClientEnded. Last, so that it goes first: its end waits
    // for the connection threads, which use the members above until they have ended.
    CConnectionPool m_pool;
};
