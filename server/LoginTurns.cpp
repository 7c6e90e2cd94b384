#include "server/LoginTurns.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace {

qint64 NowMs()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

qint64 CLoginTurns::Take(const QByteArray& address, int pauseMs)
{
    const QMutexLocker locker(&m_lock);
    const auto turn = m_nextTurn.find(address);
    const qint64 now = NowMs();
    if (turn == m_nextTurn.end() || *turn <= now)
        return 0;
    const qint64 wait = *turn - now;
    if (pauseMs > 0 && wait > qint64(kMaxPausesAhead) * pauseMs)
        return -1;
    *turn += pauseMs;
    return wait;
}

qint64 CLoginTurns::Wait(const QByteArray& address) const
{
    const QMutexLocker locker(&m_lock);
    return std::max<qint64>(m_nextTurn.value(address) - NowMs(), 0);
}

void CLoginTurns::NoteRefused(const QByteArray& address, int pauseMs)
{
    const QMutexLocker locker(&m_lock);
    const qint64 now = NowMs();
    if (m_nextTurn.size() > m_nPruneAbove) {
        m_nextTurn.removeIf([now](const auto& turn) { return turn.value() <= now; });
        // The next walk waits until as many turns again have come: while many addresses keep
        // their pauses running, a refusal costs a constant share of the walks, not a whole one.
        m_nPruneAbove = std::max(kPruneAbove, 2 * m_nextTurn.size());
    }
    // Each refusal adds its pause: refusals that come together (from several connections) are
    // waited out one after another.
    qint64& next = m_nextTurn[address];
    next = std::max(next, now) + pauseMs;
}
