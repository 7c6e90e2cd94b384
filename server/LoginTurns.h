#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>

// When the passwords of each client address may be checked: one at a time, a pause after each
// refusal. Shared by every connection thread; every operation takes the lock for itself only.
class CLoginTurns
{
public:
    // The wait before a password from the address may be checked, 0 when none. A wait takes its
    // turn: the next password from the address waits one more pause. -1 when the turns taken
    // reach kMaxPausesAhead: the password is to be refused unchecked, and takes no turn.
    qint64 Take(const QByteArray& address, int pauseMs);
    // A password from the address that took no turn (it waited for none) was refused: the next
    // one waits a pause more. A turn taken has its pause already.
    void NoteRefused(const QByteArray& address, int pauseMs);
    // The wait a password from the address would be given now, 0 when none; takes no turn.
    qint64 Wait(const QByteArray& address) const;

    // The longest wait a password is given, in pauses. A flood of passwords from one address (a
    // shared one among them) cannot queue hours of turns: while it lasts, every password from the
    // address is refused; once it stops, the next one waits ten pauses at most.
    static constexpr int kMaxPausesAhead = 10;

private:
    // Past this many addresses, the turns that are over are dropped: many addresses at once (a
    // botnet) cost memory only as long as their pauses last, and twice what they keep at most.
    static constexpr qsizetype kPruneAbove = 1024;

    mutable QMutex m_lock;
    QHash<QByteArray, qint64> m_nextTurn;  // guarded by m_lock: address -> ms of the steady clock
    qsizetype m_nPruneAbove = kPruneAbove; // guarded by m_lock: the size that starts the next walk
};
