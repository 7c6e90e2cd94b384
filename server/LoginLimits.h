#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>

// The limits on clients before they log in, per address: how many of its connections may wait for
// their login at once, and a ban on an address after too many failed logins. Shared by the
// listener and every connection thread; every operation takes the lock for itself only.
class CLoginLimits
{
public:
    // Failed logins within the window that ban their address.
    static constexpr int kFailuresToBan = 10;

    // A place for a connection from the address that has not logged in yet; false when the address
    // holds cap places already. Each place taken is left once with LeavePlace.
    bool TakePlace(const QByteArray& address, int cap);
    void LeavePlace(const QByteArray& address);

    // A failed login from the address. True when it starts a ban of banMs: kFailuresToBan failures
    // within windowMs, counted anew after a ban.
    bool NoteFailure(const QByteArray& address, qint64 windowMs, qint64 banMs);
    // Whether the address is banned now.
    bool IsBanned(const QByteArray& address) const;

private:
    // Past this many addresses with failures, those whose failures and ban are over are dropped.
    static constexpr qsizetype kPruneAbove = 1024;

    struct Failures
    {
        QList<qint64> times;    // the last failures, oldest first, kFailuresToBan at most
        qint64 bannedUntil = 0; // ms of the steady clock
        qint64 forgetAfter = 0; // when nothing of this entry counts any more
    };

    mutable QMutex m_lock;
    QHash<QByteArray, int> m_places;        // guarded by m_lock: address -> connections not logged in
    QHash<QByteArray, Failures> m_failures; // guarded by m_lock
    qsizetype m_nPruneAbove = kPruneAbove;  // guarded by m_lock
};
