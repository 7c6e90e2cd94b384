#pragma once

#include <QByteArray>

// How a transfer on the data connection ended.
enum class TransferEnd
{
    Completed,  // every byte moved (an upload: the client closed its end after the last one)
    PeerClosed, // the client closed the data connection while no upload was running
    FileError,  // the file could not be opened, read to its taken length, or written
    SocketError // a send or receive failed for another reason than would-block
};

// What the data connection tells its owner, the control connection. The data socket reports and
// never replies or changes the owner's state: the owner decides what each event means for the
// client. Called on the connection thread, from inside the data socket's notifications; the owner
// must not destroy the data socket before the notification has returned.
class IDataSocketEvents
{
public:
    virtual ~IDataSocketEvents() = default;
    // The passive connection was accepted, or the active connect succeeded.
    virtual void OnDataConnected() = 0;
    // The active connect failed, or the connection's TLS handshake did (after OnDataTlsFailed).
    virtual void OnDataConnectFailed() = 0;
    // The connection's TLS session failed, for the reason given: in its handshake, or in a
    // transfer, whose end is reported next.
    virtual void OnDataTlsFailed(const QByteArray& reason) = 0;
    // File bytes moved: the client is active.
    virtual void OnDataMoved() = 0;
    // The transfer ended, or the client closed the data connection; the socket is closed, except
    // for a PeerClosed with no transfer running, which the owner closes or keeps.
    virtual void OnTransferEnded(TransferEnd end) = 0;
};
