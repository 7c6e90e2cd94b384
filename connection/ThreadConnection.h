#pragma once

#include <QByteArray>
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class CFtpServer;
class CSocketController;
class QTimer;

// One accepted client: a thread with its own event loop on which every event of that client runs,
// one at a time. Created by the listener with the accepted descriptor, put on the connection list,
// then started. When its loop ends it leaves the list, closes the control connection and tells the
// server; the object is then deleted on the server's thread.
class CThreadConnection : public QThread
{
    Q_OBJECT
public:
    // Server's thread. Takes ownership of the accepted descriptor.
    CThreadConnection(CFtpServer* mainWindow, int acceptedSocket);
    ~CThreadConnection() override;

    // Any thread: asks the thread to end its loop (the quit request). Queued to the thread, so a
    // request made before its loop runs, or while it waits for a data connection, is not lost.
    void RequestQuit();
    // Any thread: whether the end was requested.
    bool QuitRequested() const { return m_bQuitRequested.load(); }

    // Any thread: runs fn later on the connection thread's loop (the close-data request).
    void Post(std::function<void()> fn);

    // Connection thread: marks now as the last activity, which the idle check measures from.
    void UpdateLastActivity();

    // Connection thread: the thread object running the caller, or nullptr on another thread.
    static CThreadConnection* Current();

protected:
    void run() override;

private:
    void StartConnection();
    void ExitInstance();
    void IdleTimerProc();

    CFtpServer* m_pMainWindow;
    int m_hAcceptedSocket;
    std::atomic<bool> m_bQuitRequested{false};
    QObject m_context; // lives on the connection thread; target of queued requests

    // Connection thread only:
    std::unique_ptr<CSocketController> m_socket;
    std::unique_ptr<QTimer> m_idleTimer;
    qint64 m_tLastActivity;
};
