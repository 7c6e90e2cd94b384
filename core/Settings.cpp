#include "core/Settings.h"

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

CSettings::Durations CSettings::GetDurations() const
{
    QMutexLocker locker(&m_lock);
    return m_durations;
}

void CSettings::SetDurations(const Durations& durations)
{
    QMutexLocker locker(&m_lock);
    m_durations = durations;
}
