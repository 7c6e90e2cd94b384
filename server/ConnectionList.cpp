#include "server/ConnectionList.h"

void CConnectionList::Append(CThreadConnection* thread)
{
    QMutexLocker locker(&m_lock);
    m_list.append(thread);
}

bool CConnectionList::Remove(CThreadConnection* thread)
{
    QMutexLocker locker(&m_lock);
    return m_list.removeOne(thread);
}

CThreadConnection* CConnectionList::First() const
{
    QMutexLocker locker(&m_lock);
    return m_list.isEmpty() ? nullptr : m_list.first();
}

qsizetype CConnectionList::Count() const
{
    QMutexLocker locker(&m_lock);
    return m_list.size();
}
