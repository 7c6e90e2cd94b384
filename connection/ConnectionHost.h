#pragma once

#include "core/Settings.h"

#include <QByteArray>

#include <memory>

class CInternetAddress;
class CTlsContext;
class CServerMonitor;
class CSettings;
class CThreadConnection;

// The encrypted connections of a server run: its mode and its context (null when off).
struct TlsSetup
{
    CSettings::ETlsMode mode = CSettings::ETlsMode::Off;
    std::shared_ptr<const CTlsContext> context;
};

// What a connection needs from the server that hosts it: the one way in from connection/ to the
// server. Implemented by the server, which outlives every connection thread.
class IConnectionHost
{
public:
    virtual ~IConnectionHost() = default;

    // Any thread.
    virtual CSettings& Settings() const = 0;
    virtual CServerMonitor& Monitor() const = 0;
    virtual CInternetAddress& InternetAddress() = 0;
    // Any thread: the encryption the server runs with now.
    virtual TlsSetup Tls() const = 0;
    // Any thread: a password came in clear text from outside the LAN; the first of a run is told.
    virtual void NoteClearLoginFromOutside(const QByteArray& address) = 0;

    // Connection thread: counts the client in and announces it to the host's thread, which shows
    // it in its turn. The count with this client, as its own arrival made it: clients arriving
    // together at the limit do not all see the count that includes the others.
    virtual int NotifyUserArrived(const QByteArray& address) = 0;
    // Connection thread, at its very end: counts the client out and announces it to the host's
    // thread, which shows it in its turn.
    virtual void NotifyUserLeft() = 0;
    // Connection thread, once its client is gone and counted out: true when the host takes the
    // thread back (to give it a later client, or to end it); false when the thread is to end now.
    virtual bool ClientEnded(CThreadConnection* connection) = 0;

    // Any thread. The passwords of each client address are checked one at a time, a pause after
    // each refusal: the wait before this one may be checked, which takes its turn (-1: too many
    // wait already, refuse it unchecked); and a refusal.
    virtual qint64 TakeLoginTurn(const QByteArray& address, int pauseMs) = 0;
    virtual void NoteLoginRefused(const QByteArray& address, int pauseMs) = 0;

    // Connection thread: a place among the connections from the address that have not logged in;
    // false when the address holds its share of the user limit already. A place taken is left once,
    // at the login or at the end.
    virtual bool TakeLoginPlace(const QByteArray& address) = 0;
    virtual void LeaveLoginPlace(const QByteArray& address) = 0;
    // Any thread: a failed login from the address, which counts towards a ban of the address.
    virtual void NoteLoginFailed(const QByteArray& address) = 0;
};
