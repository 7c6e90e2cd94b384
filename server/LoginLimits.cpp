#include "server/LoginLimits.h"

#include <QDeadlineTimer>

#include <algorithm>

bool CLoginLimits::TakePlace(const QByteArray& address, int cap)
{
    const QMutexLocker locker(&m_lock);
    int& places = m_places[address];
    if (places >= cap) {
        if (places == 0)
            m_places.remove(address);
        return false;
    }
    ++places;
    return true;
}

void CLoginLimits::LeavePlace(const QByteArray& address)
{
    const QMutexLocker locker(&m_lock);
    const auto places = m_places.find(address);
    Q_ASSERT(places != m_places.end());
    if (places != m_places.end() && --*places <= 0)
        m_places.erase(places);
}

bool CLoginLimits::NoteFailure(const QByteArray& address, qint64 windowMs, qint64 banMs)
{
    const QMutexLocker locker(&m_lock);
    const qint64 now = QDeadlineTimer::current().deadline();
    if (m_failures.size() > m_nPruneAbove) {
        m_failures.removeIf([now](const auto& entry) { return entry.value().forgetAfter <= now; });
        m_nPruneAbove = std::max(kPruneAbove, 2 * m_failures.size());
    }
    Failures& failures = m_failures[address];
    if (failures.bannedUntil > now)
        return false; // a login that was under way when the ban began
    while (!failures.times.isEmpty() && failures.times.first() <= now - windowMs)
        failures.times.removeFirst();
    failures.times.append(now);
    failures.forgetAfter = now + windowMs;
    if (failures.times.size() < kFailuresToBan)
        return false;
    failures.times.clear();
    failures.bannedUntil = now + banMs;
    failures.forgetAfter = std::max(failures.forgetAfter, failures.bannedUntil);
    return true;
}

bool CLoginLimits::IsBanned(const QByteArray& address) const
{
    const QMutexLocker locker(&m_lock);
    const auto failures = m_failures.constFind(address);
    return failures != m_failures.constEnd() && failures->bannedUntil > QDeadlineTimer::current().deadline();
}
