#pragma once

#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QtGlobal>

#include <cerrno>
#include <functional>
#include <memory>
#include <sys/types.h>
#include <vector>

// Whether an error only says that the socket cannot take or give bytes now.
inline bool IsWouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

class QSocketNotifier;

// A non-blocking IPv4 TCP socket whose readiness arrives as notifications (OnReceive, OnSend,
// OnAccept, OnConnect, OnClose) on the thread that created or attached it. Every member must be
// called on that thread. Derived classes override the notifications they need.
//
// Like the asynchronous sockets clients of this server were designed around:
//  - OnReceive comes while data waits, or when the peer has closed or reset; a handler that does
//    not call Receive pauses further OnReceive until ResumeReceive.
//  - OnClose comes once, when the peer has closed (or reset), no data is left to read and the
//    handler of OnReceive did not read that end itself (its Receive returned 0 or an error).
//  - OnSend comes after a Send that would have blocked, once the socket can take bytes again: the
//    write notifier is armed only while a send waits.
// Never destroy a socket inside one of its own notifications; queue the destruction instead.
class CAsyncSocket
{
public:
    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Makes a socket bound to the port (0: any) on any local address. reuseAddress sets
    // SO_REUSEADDR, so a port whose old connections linger in TIME_WAIT can be bound again.
    bool Create(quint16 port = 0, bool reuseAddress = false);
    // The two steps of Create apart: a socket not yet bound, and its bind. A bind that fails leaves
    // the socket open for another port.
    bool Open(bool reuseAddress);
    bool Bind(quint16 port);
    // Listens; OnAccept follows for every pending connection.
    bool Listen(int backlog);
    // Takes a pending connection: its descriptor (non-blocking, close-on-exec), or -1.
    int Accept(QByteArray* peerAddress = nullptr);
    // Adopts a connected descriptor on the calling thread.
    bool Attach(int fd);
    // Adopts a listening descriptor on the calling thread; OnAccept follows as after Listen.
    bool AttachListening(int fd);
    // Gives up the descriptor without closing it.
    int Detach();
    // Starts a connect; true when it is under way or done (OnConnect follows), false when it
    // failed at once (LastError tells why).
    bool Connect(const QByteArray& address, quint16 port);

    // Sends what the socket takes now: the count, or -1 (LastError EAGAIN: OnSend follows later).
    qint64 Send(const char* data, qint64 size);
    // Receives up to size bytes: the count, 0 at the end of the peer's data, or -1 (LastError).
    qint64 Receive(char* data, qint64 size);
    // The same two without copying through this process: sendfile(2) of size bytes of the file
    // from *offset (advanced by the count), and splice(2) of up to size received bytes into a pipe.
    // LastError EINVAL or ENOSYS: the kernel cannot do it for these descriptors.
    qint64 SendFile(int fileFd, qint64* offset, qint64 size);
    qint64 ReceiveIntoPipe(int pipeFd, qint64 size);
    // Asks for OnSend at the next pass of the loop although no send would block: a sender that
    // stops after a bounded step lets the thread's other events run, then goes on.
    void ContinueSending();
    // Asks for OnReceive at the next pass of the loop: for bytes a reader took from the socket
    // and holds, which no notification of the socket announces.
    void ContinueReceiving();
    // Sends every byte, waiting for the socket with poll(). Gives up when abandon() returns true
    // (asked about every 100 ms) or the send fails. True when all bytes went out.
    bool SendAll(const char* data, qint64 size, const std::function<bool()>& abandon);

    // Drops what the peer sent and nobody read. A close with such bytes left resets the connection,
    // and what was sent but is still queued here is lost.
    void DiscardReceived();
    // How the peer has ended, asked without waiting: -1 not (or not read to its end yet), 0 closed,
    // or the error of a reset, which the next read then no longer reports.
    int PeerEnd() const;
    // Closes the socket; no notification follows.
    void Close();
    // Closes it abruptly: the peer is told of a reset, not the end of the stream, and what waits
    // here to be sent is dropped. No notification follows.
    void CloseWithReset();
    // shutdown(2) of one direction (SHUT_WR, ...).
    void ShutDown(int how);
    // Sets TCP_NODELAY: each send goes out at once instead of waiting for the peer's
    // acknowledgement of the one before. For sockets that send whole messages.
    void SetNoDelay();
    // Sets SO_OOBINLINE: urgent data stays in the stream, where the peer put it, instead of being
    // taken out of it. Accepted connections take both settings from their listener.
    void SetUrgentInline();
    // Sets TCP_CORK: only full segments leave until the socket is closed, when the last part goes
    // out with the end of the stream in one segment. For sockets that send one stream and close.
    void HoldPartialSegments();
    // Lets OnReceive come again after a handler left data unread.
    void ResumeReceive();

    bool IsOpen() const { return m_socket.IsValid(); }
    bool IsListening() const { return m_mode == Mode::Listening; }
    int Handle() const { return m_socket.Get(); }
    int LastError() const { return m_nLastError; }

    // Dotted IPv4 text of the local end, and the local port; empty/0 when unknown.
    QByteArray LocalAddress() const;
    quint16 LocalPort() const;

protected:
    virtual void OnReceive(int error) { Q_UNUSED(error); }
    virtual void OnSend(int error) { Q_UNUSED(error); }
    virtual void OnAccept(int error) { Q_UNUSED(error); }
    virtual void OnConnect(int error) { Q_UNUSED(error); }
    virtual void OnClose(int error) { Q_UNUSED(error); }

private:
    enum class Mode
    {
        Closed,
        Open, // made, not bound yet
        Bound,
        Listening,
        Connecting,
        Connected
    };

    // The result of a send or receive system call: the count, or -1 with LastError set (and, for
    // a send that would block, OnSend armed).
    qint64 SendResult(ssize_t sent);
    qint64 ReceiveResult(ssize_t received);
    // One byte looked at and left in place: 1, 0 at the peer's end, or -1 (errno).
    ssize_t PeekByte() const;
    // setsockopt of a flag option to 1.
    void SwitchOn(int level, int option);
    // Takes the descriptor in the given state and watches it.
    bool Adopt(int fd, Mode mode);
    void WatchDescriptor();
    // The write notifier, made disabled when there is none yet. Needs an open descriptor.
    QSocketNotifier& WriteNotifier();
    void DropNotifiers();
    void SetReadEnabled(bool enabled);
    void SetWriteEnabled(bool enabled);
    void HandleReadable();
    void HandleWritable();

    CUniqueFd m_socket;
    Mode m_mode = Mode::Closed;
    int m_nLastError = 0;
    bool m_bReceiveTaken = false; // set by Receive, to see whether OnReceive read anything
    int m_nNotifying = 0;         // depth of notifications running on this socket
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    std::vector<std::unique_ptr<QSocketNotifier>> m_retiredNotifiers; // dropped inside a notification
};
