#pragma once

#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

#include <atomic>
#include <functional>
#include <memory>

class CLandlockRuleset;
class CThreadConnection;
class IConnectionHost;

// The connection threads of a server. Each thread has one role, changed on the host's thread:
//   Spare      started, waiting for a client (in m_spares)
//   Serving    given a client
//   Ending     asked to quit; deleted once its thread has finished
// A thread is counted as a spare from its start until Serve gives it a client, and again from the
// moment its connection thread takes a spare's place (ClientEnded), before its role says so.
// Invariant, between the host's events: every thread object alive has an entry in m_threads;
// m_nServing and m_nSpares count them by their entries' bSpare, except threads whose ClientEnded
// has moved them to the spares already; m_nServing + m_nSpares <= m_nMaxThreads, the threads the
// descriptor limit holds.
// Host's thread, except where a function says otherwise.
class CConnectionPool : public QObject
{
    Q_OBJECT
public:
    // The host outlives the pool; every thread reports to it.
    explicit CConnectionPool(IConnectionHost& host);
    // Asks every thread to end and waits until each has: none ever waits for the host's thread.
    ~CConnectionPool() override;

    // Takes clients, maxThreads threads at most, each confined to the ruleset (none: unconfined)
    // until it ends; the first spare starts.
    void Open(int maxThreads, std::shared_ptr<const CLandlockRuleset> confinement);
    // Gives the client a thread, a spare when there is one. False when the system has no thread to
    // give: the descriptor stays the caller's then.
    bool Serve(CUniqueFd& fd, const QByteArray& clientAddress);
    // Every pending client has its thread: the next spare starts while they are greeted.
    void AcceptsTaken();
    // Takes no more clients and asks every thread to end; Drained follows once no thread is left
    // (from this call when none is).
    void Close();

    // Connection thread, once its client is gone and counted out: true when the pool takes the
    // thread back (kept as a spare, or ended); false when the thread is to end now.
    bool ClientEnded(CThreadConnection* thread);

    // For tests: every thread not ending fires its client's wait timers (CThreadConnection::
    // FireWaitTimers); fired runs on each afterwards. The number of threads asked.
    int FireWaitTimers(const std::function<void()>& fired);

    // Any thread: threads serving a client, and threads waiting for one (or on their way back).
    int ServingThreads() const { return m_nServing.load(); }
    int SpareThreads() const { return m_nSpares.load(); }
    // Every thread object alive, whatever its role.
    qsizetype Threads() const { return m_threads.size(); }

Q_SIGNALS:
    // Closed, and the last thread has ended.
    void Drained();

private:
    enum class ERole
    {
        Spare,
        Serving,
        Ending
    };
    struct Entry
    {
        ERole role;
        bool bSpare; // counted in m_nSpares (else in m_nServing)
    };

    // A new thread, started, waiting for a client as a Spare; nullptr when the system or the
    // descriptor budget has none to give.
    CThreadConnection* StartThread();
    void StartSpare();
    // The thread that took a spare's place is back on the host's thread.
    void OnReturned(CThreadConnection* thread);
    void OnFinished(CThreadConnection* thread);

    IConnectionHost& m_host;
    std::atomic<bool> m_bOpen{false};                      // changed on the host's thread only
    std::atomic<int> m_nServing{0};                        // lowered by connection threads as they give a client up
    std::atomic<int> m_nSpares{0};                         // raised by connection threads as they take a spare's place
    int m_nMaxThreads = 0;                                 // host's thread only
    std::shared_ptr<const CLandlockRuleset> m_confinement; // host's thread only: the open run's
    QList<CThreadConnection*> m_spares;                    // host's thread only
    QHash<CThreadConnection*, Entry> m_threads;            // host's thread only
};
