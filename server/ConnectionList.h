#pragma once

#include <QList>
#include <QMutex>

class CThreadConnection;

// Every live connection thread, so that the server can stop them all. Shared by the server's
// thread (append, stop) and the connection threads (remove themselves at their end); every
// operation takes the list lock for that one operation only. Does not own the threads.
class CConnectionList
{
public:
    void Append(CThreadConnection* thread);
    // Removes the thread when it is on the list; false when it was not.
    bool Remove(CThreadConnection* thread);
    // The first thread, or nullptr when the list is empty.
    CThreadConnection* First() const;
    qsizetype Count() const;

private:
    mutable QMutex m_lock;
    QList<CThreadConnection*> m_list; // guarded by m_lock
};
