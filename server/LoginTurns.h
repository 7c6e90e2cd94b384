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
    // turn: the next password from the address waits one more pause.
    qint64 Take(const QByteArray& address, int pauseMs);
    // A password from the address was refused: the next one waits a pause more.
    void NoteRefused(const QByteArray& address, int pauseMs);

private:
    mutable QMutex m_lock;
    QHash<QByteArray, qint64> m_nextTurn; // guarded by m_lock: address -> ms of the steady clock
};
