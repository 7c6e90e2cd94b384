#pragma once

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>

class CSocketController;
class IConnectionHost;
class QTimer;

// One accepted client: a thread with its own event loop on which every event of that client runs,
// one at a time. Created by the listener with the accepted descriptor, put on the connection list,
// then started. When its loop ends it leaves the list, closes the control connection and tells the
// host; the object is then deleted on the host's thread. The thread runs one event at a time and
// never a nested event loop.
class CThreadConnection : public QThread
{
    Q_OBJECT
public:
    // Host's thread. Takes ownership of the accepted descriptor; the host outlives the thread.
    CThreadConnection(IConnectionHost* host, int acceptedSocket);
    ~CThreadConnection() override;

    // Any thread: asks the thread to end its loop (the quit request). Queued to the thread, so a
    // request made before its loop runs, or while it waits for a data connection, is not lost.
    void RequestQuit();
    // Any thread: whether the end was requested.
    bool QuitRequested() const { return m_bQuitRequested.load(); }

    // Connection thread: marks now as the last activity, which the idle check measures from.
    void UpdateLastActivity();

protected:
    void run() override;

private:
    void StartConnection();
    void ExitInstance();
    void IdleTimerProc();

    IConnectionHost* m_pHost;
    int m_hAcceptedSocket;
    std::atomic<bool> m_bQuitRequested{false};
    QObject m_context; // lives on the connection thread; target of the quit request

    // Connection thread only:
    std::unique_ptr<CSocketController> m_socket;
    std::unique_ptr<QTimer> m_idleTimer;
    qint64 m_tLastActivity;
};
