#include "server/ConnectionPool.h"

#include "connection/ThreadConnection.h"
#include "platform/Landlock.h"
#include "platform/ServingProcess.h"

namespace {

// A connection thread's stack. Its deepest path, a command handler under the event loop, fits in
// 32 KiB with the thread's own data. The C library keeps 40 MiB of ended threads' stacks for reuse:
// at this size that is the stacks of up to 600 clients' threads, which then start and end without
// mapping and unmapping memory, and each unmapping stops the other cores to flush their address
// caches.
constexpr uint kConnectionStackBytes = 64 * 1024;
// Threads kept waiting for clients: one to greet the next client while the one before it starts
// another, and one more so that a client's end can hand its thread to a later one.
constexpr int kSpareThreads = 2;

} // namespace

CConnectionPool::CConnectionPool(IConnectionHost& host) : m_host(host) {}

CConnectionPool::~CConnectionPool()
{
    m_bOpen = false;
    const QList<CThreadConnection*> threads = m_threads.keys();
    for (CThreadConnection* thread : threads)
        thread->RequestQuit();
    for (CThreadConnection* thread : threads) {
        thread->wait();
        delete thread;
    }
}

void CConnectionPool::Open(int maxThreads, std::shared_ptr<const CLandlockRuleset> confinement)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_nMaxThreads = maxThreads;
    m_confinement = std::move(confinement);
    m_bOpen = true;
    StartSpare();
}

CThreadConnection* CConnectionPool::StartThread()
{
    // A thread whose loop finds no descriptor for its wake-up ends the whole process (Qt stops it):
    // past the threads the descriptor limit holds, or with none free now, a client is turned away
    // instead.
    if (m_nServing + m_nSpares >= m_nMaxThreads || !DescriptorFree())
        return nullptr;
    auto* connection = new CThreadConnection(&m_host, m_confinement);
    connect(connection, &QThread::finished, this, [this, connection] { OnFinished(connection); });
    connection->setStackSize(kConnectionStackBytes);
    connection->start();
    if (!connection->isRunning()) {
        delete connection; // the system has no thread to give now (Qt said why)
        return nullptr;
    }
    m_threads.insert(connection, {ERole::Spare, true});
    ++m_nSpares;
    return connection;
}

void CConnectionPool::StartSpare()
{
    if (CThreadConnection* spare = StartThread())
        m_spares.append(spare);
}

bool CConnectionPool::Serve(CUniqueFd& fd, const QByteArray& clientAddress)
{
    Q_ASSERT(QThread::currentThread() == thread() && m_bOpen);
    CThreadConnection* connection = m_spares.isEmpty() ? StartThread() : m_spares.takeLast();
    if (!connection)
        return false;
    m_threads[connection] = {ERole::Serving, false};
    --m_nSpares;
    ++m_nServing;
    connection->Serve(fd.Release(), clientAddress);
    return true;
}

void CConnectionPool::AcceptsTaken()
{
    if (m_bOpen && m_spares.isEmpty())
        StartSpare();
}

int CConnectionPool::FireWaitTimers(const std::function<void()>& fired)
{
    int asked = 0;
    for (auto entry = m_threads.cbegin(); entry != m_threads.cend(); ++entry) {
        if (entry->role != ERole::Ending) {
            entry.key()->FireWaitTimers(fired);
            ++asked;
        }
    }
    return asked;
}

void CConnectionPool::Close()
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_bOpen = false;
    m_confinement.reset();
    m_spares.clear();
    for (auto entry = m_threads.begin(); entry != m_threads.end(); ++entry) {
        if (entry->role != ERole::Ending) {
            entry->role = ERole::Ending;
            entry.key()->RequestQuit();
        }
    }
    if (m_threads.isEmpty())
        Q_EMIT Drained();
}

bool CConnectionPool::ClientEnded(CThreadConnection* connection)
{
    // A place among the spares is taken here, on the connection's thread, so that at the end of a
    // burst only the threads kept wait for the host's thread; the others end at once.
    int spares = m_nSpares.load();
    do {
        if (!m_bOpen || spares >= kSpareThreads)
            return false;
    } while (!m_nSpares.compare_exchange_weak(spares, spares + 1));
    --m_nServing;
    QMetaObject::invokeMethod(
        this, [this, connection] { OnReturned(connection); }, Qt::QueuedConnection);
    return true;
}

void CConnectionPool::OnReturned(CThreadConnection* connection)
{
    Entry& entry = m_threads[connection];
    entry.bSpare = true;
    // A close since it took its place (the pool may be open again by now) has asked it to end
    // already: an ending thread must not serve the next client.
    if (entry.role == ERole::Ending)
        return;
    if (m_bOpen) {
        entry.role = ERole::Spare;
        m_spares.append(connection);
    } else {
        entry.role = ERole::Ending;
        connection->RequestQuit();
    }
}

void CConnectionPool::OnFinished(CThreadConnection* connection)
{
    const Entry entry = m_threads.take(connection);
    connection->wait();
    delete connection;
    --(entry.bSpare ? m_nSpares : m_nServing);
    if (m_threads.isEmpty() && !m_bOpen)
        Q_EMIT Drained();
}
