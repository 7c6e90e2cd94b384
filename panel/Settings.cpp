#include "panel/Settings.h"

CSettings::Values CSettings::Get() const
{
    QMutexLocker locker(&m_lock);
    return m_values;
}

void CSettings::Set(const Values& values)
{
    QMutexLocker locker(&m_lock);
    m_values = values;
}

quint32 CSettings::IdleTimeoutMinutes() const
{
    QMutexLocker locker(&m_lock);
    return m_nIdleTimeoutMinutes;
}

void CSettings::SetIdleTimeoutMinutes(quint32 minutes)
{
    QMutexLocker locker(&m_lock);
    m_nIdleTimeoutMinutes = minutes;
}
