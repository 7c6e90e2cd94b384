#pragma once

#include "connection/ConnectionHost.h"
#include "core/InternetAddress.h"
#include "core/ServerMonitor.h"
#include "core/Settings.h"
#include "server/ConnectionList.h"
#include "server/ListeningSocket.h"
#include "server/LoginLimits.h"
#include "server/LoginTurns.h"

#include <QList>
#include <QObject>

#include <atomic>

class CThreadConnection;
class QEventLoop;

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

// The engine side of the main window: the listener, the connection list, the server-running flag
// and the connected-users count. Lives on the host's thread (the window's, or the headless
// program's main thread); connection threads reach it through IConnectionHost only.
class CFtpServer : public QObject, public IConnectionHost
{
    Q_OBJECT
public:
    // Host's thread. The settings and the monitor outlive the server.
    CFtpServer(CSettings& settings, CServerMonitor& monitor);
    // Stops the server and waits until every connection thread has ended.
    ~CFtpServer() override;

    enum class EStart
    {
        Started,
        RootFolderMissing, // "Root folder not found." was written; nothing else happened
        NotStarted,        // already running, or the listener could not open (its reason was written)
    };
    // Host's thread: the start rules of " Start server" for every program: the root folder must
    // exist; then the host (may be null) reads back, an empty user name becomes "anonymous", the
    // host accepts the values, the record takes them, and the listener opens.
    EStart StartWithRules(IServerStartHost* pHost);

    // Host's thread: opens the listener on ServerPort, starts the first client's thread and writes
    // the ONLINE line. False when the server already runs, or when the listener cannot be opened:
    // then the monitor shows "Unable to start the server on port %d: %s", followed, when a port
    // below 1024 was refused for lack of privilege, by a line suggesting another port; the server
    // stays stopped.
    bool StartServer();
    // Host's thread: closes the listener, writes the OFFLINE line and ends every connection
    // thread, one at a time, serving events meanwhile. Nothing when the server is stopped.
    void StopServer();

    bool IsRunning() const { return m_bRunning; }
    // The port the listener is bound to (ServerPort, or the system's choice for 0); 0 when stopped.
    quint16 ListeningPort() const;
    // The reason the last StartServer failed, as the system words it.
    QString LastStartError() const { return m_strStartError; }

    // Any thread.
    CSettings& Settings() const override { return m_settings; }
    CServerMonitor& Monitor() const override { return m_monitor; }
    // The public address for PASV replies and the window's "Get Internet IP:" button; it lives on
    // the host's thread.
    CInternetAddress& InternetAddress() override { return m_internetAddress; }
    int ConnectedUsers() const { return m_nConnectedUsers.load(); }
    qsizetype ConnectionCount() const { return m_connections.Count(); }
    // Connection threads that took a client and are alive now (on the list or not).
    int LiveThreads() const { return m_nLiveThreads.load(); }

    // Listener (host's thread): gives an accepted descriptor its own connection thread, the spare
    // one when there is one.
    void StartConnectionThread(CUniqueFd fd, const QByteArray& clientAddress);
    // Listener (host's thread): closes a client that cannot be served, and shows it.
    void TurnAway(CUniqueFd fd, const QByteArray& clientAddress);
    // Listener (host's thread): every pending client was given a thread; start the next spare.
    void AcceptsTaken();

    // IConnectionHost, connection threads.
    int NotifyUserArrived(const QByteArray& address) override;
    void RemoveConnection(CThreadConnection* thread) override { m_connections.Remove(thread); }
    void NotifyUserLeft() override;
    bool ClientEnded(CThreadConnection* connection) override;
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
    // Any thread: whether clients from the address are turned away now.
    bool IsBanned(const QByteArray& address) const { return m_loginLimits.IsBanned(address); }
    // Threads waiting for a client now.
    int SpareThreads() const { return m_nSpareThreads.load(); }
    // Any thread: how long a password from the address would wait for its turn now.
    qint64 LoginWait(const QByteArray& address) const { return m_loginTurns.Wait(address); }

Q_SIGNALS:
    // Host's thread: the connected-users count changed.
    void ConnectedUsersChanged(int count);

private:
    // The start rule of the root folder. False, with the monitor line "Root folder not found.",
    // when nothing exists at SharedFolder.
    bool CheckRootFolder();
    void OnUserArrived(const QByteArray& address);
    // The start's amber lines: an account nobody can use, what anonymous clients may change, a
    // descriptor limit below MaxUsers.
    void WarnOfRiskySettings();
    // A new connection thread, started, waiting for its client and counted as a spare; nullptr when
    // the system has no thread to give.
    CThreadConnection* StartedThread();
    // Host's thread: one more thread waiting for a client, when the system gives one.
    void StartSpareThread();
    // Waits, serving events, until the thread has ended and its object is gone, or the time is up;
    // true when it ended.
    bool WaitForThreadEnd(CThreadConnection* thread, int ms);

    CSettings& m_settings;
    CServerMonitor& m_monitor;
    CInternetAddress m_internetAddress;
    CSocketOpenListening m_listener; // host's thread only
    CConnectionList m_connections;
    CLoginTurns m_loginTurns;              // of the connection threads, guarded inside
    CLoginLimits m_loginLimits;            // of the listener and the connection threads, guarded inside
    std::atomic<bool> m_bRunning{false};   // changed on the host's thread only
    QString m_strStartError;               // host's thread only
    std::atomic<int> m_nConnectedUsers{0}; // raised by arriving connections, lowered by leaving ones
    // Threads that took a client and have not yet been deleted; threads still waiting for one.
    std::atomic<int> m_nLiveThreads{0};
    std::atomic<int> m_nSpareThreads{0};
    int m_nMaxThreads = 0; // live and spare together, as the descriptor limit holds them; host's thread only
    QList<CThreadConnection*> m_spares;     // host's thread only: threads waiting for their next client
    QEventLoop* m_pThreadEndWait = nullptr; // host's thread only: the wait of WaitForThreadEnd now
};
