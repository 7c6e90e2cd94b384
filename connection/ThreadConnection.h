#pragma once

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class CLandlockRuleset;
class CSocketController;
class IConnectionHost;
class QTimer;

// A client's thread: an event loop on which every event of that client runs, one at a time. The
// server starts it before its client comes (thread start-up is then no part of a client's wait for
// its greeting) and hands it the accepted descriptor with Serve. When the client is gone the thread
// closes the control connection, counts the client out and asks the host, which keeps it for a
// later client or ends it; an ended thread's object is deleted on the host's thread. The thread
// never runs a nested event loop, and never waits for the host's thread.
// SECURITY: the thread confines itself to its ruleset as it starts, before any client is given to
// it, for its whole life: it serves only clients of the server run whose rules it holds.
class CThreadConnection : public QThread
{
    Q_OBJECT
public:
    // Host's thread. The host outlives the thread; no ruleset leaves the thread unconfined.
    CThreadConnection(IConnectionHost* host, std::shared_ptr<const CLandlockRuleset> confinement);
    ~CThreadConnection() override;

    // Host's thread, once: takes ownership of the accepted descriptor and greets its client, whose
    // address accepting it gave, on the connection thread, started or not.
    void Serve(int acceptedSocket, const QByteArray& clientAddress);

    // Any thread: asks the thread to end its loop (the quit request). Queued to the thread, so a
    // request made before its loop runs, or while it waits for a data connection, is not lost.
    void RequestQuit();
    // Any thread: whether the end was requested.
    bool QuitRequested() const { return m_bQuitRequested.load(); }

    // Connection thread: marks now as the last activity, which the idle limit is measured from.
    void UpdateLastActivity();
    // Connection thread: no activity for the idle time-out.
    bool IdleTimeOutPassed() const;
    // Connection thread: the client logged in: its login time limit and its place among the clients
    // of its address that have not logged in are over.
    void LoggedIn();
    // Connection thread: ends the client once the event running now is done; the host then keeps the
    // thread for a later client, or it ends.
    void EndClient();

    // Tests: a function each connection thread runs as it takes a client, before its greeting.
    static void SetClientStartHook(void (*hook)());

    // Any thread, for tests: the client's login time limit and data wait, where they run, end now as
    // their time-outs would; then fired runs on the connection thread. A test that sends a NOOP next
    // and reads "200 OK" as the next reply knows that neither time-out would have said anything.
    void FireWaitTimers(std::function<void()> fired);

protected:
    void run() override;

private:
    void StartConnection();
    void ExitInstance();
    // Closes the client's connection and counts the client out.
    void FinishClient();
    void IdleTimerProc();
    void LoginTimeLimitReached();
    void ArmIdleTimer(qint64 ms);
    // The login time limit stops, and the place among the address's clients not logged in is left.
    void EndLoginWait();

    IConnectionHost* m_pHost;
    std::shared_ptr<const CLandlockRuleset> m_confinement; // connection thread once started
    bool m_bConfinementFailed = false;                     // connection thread only
    std::atomic<int> m_hAcceptedSocket{-1};                // set by Serve, taken by the connection thread
    QByteArray m_strAcceptedAddress;                       // set by Serve before it posts the greeting
    std::atomic<bool> m_bQuitRequested{false};
    QObject m_context; // lives on the connection thread; target of the quit request

    // Connection thread only:
    std::unique_ptr<CSocketController> m_socket;
    std::unique_ptr<QTimer> m_idleTimer;
    std::unique_ptr<QTimer> m_loginTimer; // from the arrival to the login
    bool m_bLoginPlace = false;           // holds a place among its address's clients not logged in
    bool m_bEnding = false;               // EndClient was called for this client
    qint64 m_tLastActivity;
};
