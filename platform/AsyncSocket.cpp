#include "platform/AsyncSocket.h"

#include <QSocketNotifier>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray DottedAddress(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return {};
    return QByteArray(text);
}

// One end of a connected or bound socket, read with getpeername or getsockname.
bool EndPoint(int fd, int (*query)(int, sockaddr*, socklen_t*), sockaddr_in& address)
{
    socklen_t length = sizeof address;
    return fd >= 0 && query(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

// A system call again and again while a signal interrupts it.
template <typename Call> ssize_t Retrying(Call call)
{
    ssize_t result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

} // namespace

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket()
{
    Close();
}

bool CAsyncSocket::Create(quint16 port, bool reuseAddress)
{
    if (Open(reuseAddress) && Bind(port))
        return true;
    Close();
    return false;
}

bool CAsyncSocket::Open(bool reuseAddress)
{
    Close();
    m_socket.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!m_socket.IsValid()) {
        m_nLastError = errno;
        return false;
    }
    if (reuseAddress)
        SwitchOn(SOL_SOCKET, SO_REUSEADDR);
    m_mode = Mode::Open;
    return true;
}

bool CAsyncSocket::Bind(quint16 port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (m_mode != Mode::Open || ::bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        m_nLastError = m_mode != Mode::Open ? EINVAL : errno;
        return false;
    }
    m_mode = Mode::Bound;
    return true;
}

bool CAsyncSocket::Listen(int backlog)
{
    if (!m_socket.IsValid() || ::listen(m_socket.Get(), backlog) != 0) {
        m_nLastError = !m_socket.IsValid() ? EBADF : errno;
        return false;
    }
    m_mode = Mode::Listening;
    WatchDescriptor();
    return true;
}

int CAsyncSocket::Accept(QByteArray* peerAddress)
{
    sockaddr_in address = {};
    socklen_t length = sizeof address;
    int fd = ::accept4(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        m_nLastError = errno;
        return -1;
    }
    if (peerAddress)
        *peerAddress = DottedAddress(address);
    return fd;
}

bool CAsyncSocket::Attach(int fd)
{
    return Adopt(fd, Mode::Connected);
}

bool CAsyncSocket::AttachListening(int fd)
{
    return Adopt(fd, Mode::Listening);
}

bool CAsyncSocket::Adopt(int fd, Mode mode)
{
    Close();
    if (fd < 0)
        return false;
    m_socket.Reset(fd);
    m_mode = mode;
    WatchDescriptor();
    return true;
}

int CAsyncSocket::Detach()
{
    DropNotifiers();
    m_mode = Mode::Closed;
    return m_socket.Release();
}

bool CAsyncSocket::Connect(const QByteArray& address, quint16 port)
{
    sockaddr_in target = {};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (!m_socket.IsValid() || ::inet_pton(AF_INET, address.constData(), &target.sin_addr) != 1) {
        m_nLastError = !m_socket.IsValid() ? EBADF : EINVAL;
        return false;
    }
    if (::connect(m_socket.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS) {
        m_nLastError = errno;
        return false;
    }
    // Whether done at once or in progress, writability reports the outcome.
    m_mode = Mode::Connecting;
    WatchDescriptor();
    SetReadEnabled(false);
    SetWriteEnabled(true);
    return true;
}

qint64 CAsyncSocket::Send(const char* data, qint64 size)
{
    return SendResult(Retrying([&] { return ::send(m_socket.Get(), data, size_t(size), MSG_NOSIGNAL); }));
}

qint64 CAsyncSocket::Receive(char* data, qint64 size)
{
    m_bReceiveTaken = true;
    return ReceiveResult(Retrying([&] { return ::recv(m_socket.Get(), data, size_t(size), 0); }));
}

qint64 CAsyncSocket::SendFile(int fileFd, qint64* offset, qint64 size)
{
    off_t position = off_t(*offset);
    const qint64 sent =
        SendResult(Retrying([&] { return ::sendfile(m_socket.Get(), fileFd, &position, size_t(size)); }));
    *offset = qint64(position);
    return sent;
}

qint64 CAsyncSocket::ReceiveIntoPipe(int pipeFd, qint64 size)
{
    m_bReceiveTaken = true;
    return ReceiveResult(Retrying([&] {
        return ::splice(m_socket.Get(), nullptr, pipeFd, nullptr, size_t(size), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    }));
}

qint64 CAsyncSocket::SendResult(ssize_t sent)
{
    if (sent >= 0)
        return sent;
    m_nLastError = errno;
    if (IsWouldBlock(m_nLastError))
        SetWriteEnabled(true); // OnSend once the socket takes bytes again
    return -1;
}

qint64 CAsyncSocket::ReceiveResult(ssize_t received)
{
    if (received < 0)
        m_nLastError = errno;
    else if (received == 0)
        SetReadEnabled(false); // the reader met the end: nothing more will come
    return received;
}

void CAsyncSocket::ContinueSending()
{
    // A queued call, not the write notifier: a TCP socket is told writable only once a third of
    // its buffer is free, so waiting for that would put the thread to sleep after every step.
    // The call dies with its notifier; one retired meanwhile is no longer this socket's.
    if (!m_socket.IsValid())
        return;
    QSocketNotifier* notifier = &WriteNotifier();
    QMetaObject::invokeMethod(
        notifier,
        [this, notifier] {
            if (m_writeNotifier.get() == notifier)
                HandleWritable();
        },
        Qt::QueuedConnection);
}

void CAsyncSocket::ContinueReceiving()
{
    if (!m_socket.IsValid() || !m_readNotifier)
        return;
    QSocketNotifier* notifier = m_readNotifier.get();
    QMetaObject::invokeMethod(
        notifier,
        [this, notifier] {
            if (m_readNotifier.get() != notifier)
                return;
            ++m_nNotifying;
            OnReceive(0);
            --m_nNotifying;
        },
        Qt::QueuedConnection);
}

bool CAsyncSocket::SendAll(const char* data, qint64 size, const std::function<bool()>& abandon)
{
    while (size > 0) {
        if (!m_socket.IsValid())
            return false;
        ssize_t sent = ::send(m_socket.Get(), data, size_t(size), MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= sent;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && !IsWouldBlock(errno)) {
            m_nLastError = errno;
            return false;
        }
        if (abandon && abandon())
            return false;
        pollfd wait = {m_socket.Get(), POLLOUT, 0};
        ::poll(&wait, 1, 100);
    }
    return true;
}

void CAsyncSocket::Close()
{
    DropNotifiers();
    m_socket.Reset();
    m_mode = Mode::Closed;
}

void CAsyncSocket::CloseWithReset()
{
    const linger reset = {1, 0};
    if (m_socket.IsValid())
        ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Close();
}

void CAsyncSocket::DiscardReceived()
{
    // MSG_TRUNC: TCP drops the bytes without copying them anywhere. Bounded: a peer that keeps
    // sending cannot hold the thread here.
    for (int pass = 0; pass < 16 && m_socket.IsValid() &&
                       Retrying([&] { return ::recv(m_socket.Get(), nullptr, 1 << 20, MSG_TRUNC | MSG_DONTWAIT); }) > 0;
         ++pass) {
    }
}

int CAsyncSocket::PeerEnd() const
{
    const ssize_t peeked = PeekByte();
    if (peeked < 0 && !IsWouldBlock(errno))
        return errno;
    return peeked == 0 ? 0 : -1;
}

ssize_t CAsyncSocket::PeekByte() const
{
    char probe;
    return Retrying([&] { return ::recv(m_socket.Get(), &probe, 1, MSG_PEEK | MSG_DONTWAIT); });
}

void CAsyncSocket::ShutDown(int how)
{
    if (m_socket.IsValid())
        ::shutdown(m_socket.Get(), how);
}

void CAsyncSocket::SetNoDelay()
{
    SwitchOn(IPPROTO_TCP, TCP_NODELAY);
}

void CAsyncSocket::SetUrgentInline()
{
    SwitchOn(SOL_SOCKET, SO_OOBINLINE);
}

void CAsyncSocket::HoldPartialSegments()
{
    SwitchOn(IPPROTO_TCP, TCP_CORK);
}

void CAsyncSocket::SwitchOn(int level, int option)
{
    const int on = 1;
    if (m_socket.IsValid())
        ::setsockopt(m_socket.Get(), level, option, &on, sizeof on);
}

void CAsyncSocket::ResumeReceive()
{
    if (m_mode == Mode::Connected)
        SetReadEnabled(true);
}

QByteArray CAsyncSocket::LocalAddress() const
{
    sockaddr_in address = {};
    return EndPoint(m_socket.Get(), ::getsockname, address) ? DottedAddress(address) : QByteArray();
}

quint16 CAsyncSocket::LocalPort() const
{
    sockaddr_in address = {};
    return EndPoint(m_socket.Get(), ::getsockname, address) ? ntohs(address.sin_port) : 0;
}

void CAsyncSocket::WatchDescriptor()
{
    if (!m_readNotifier) {
        m_readNotifier = std::make_unique<QSocketNotifier>(m_socket.Get(), QSocketNotifier::Read);
        QObject::connect(m_readNotifier.get(), &QSocketNotifier::activated, m_readNotifier.get(),
                         [this] { HandleReadable(); });
    }
    m_readNotifier->setEnabled(true);
}

QSocketNotifier& CAsyncSocket::WriteNotifier()
{
    // Made when first needed (a send that waits, a download that goes on, a connect): listeners,
    // replies and small transfers never need one, and a notifier costs an object. Made disabled,
    // it is not registered with the loop until enabled.
    if (!m_writeNotifier) {
        m_writeNotifier = std::make_unique<QSocketNotifier>(QSocketNotifier::Write);
        m_writeNotifier->setSocket(m_socket.Get());
        QObject::connect(m_writeNotifier.get(), &QSocketNotifier::activated, m_writeNotifier.get(),
                         [this] { HandleWritable(); });
    }
    return *m_writeNotifier;
}

void CAsyncSocket::DropNotifiers()
{
    // A notifier whose signal is being delivered right now is kept, disabled, until the socket
    // is reused or deleted outside its notifications: no deferred delete that wakes the thread.
    for (std::unique_ptr<QSocketNotifier>* notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            m_retiredNotifiers.push_back(std::move(*notifier));
        }
    }
    if (m_nNotifying == 0)
        m_retiredNotifiers.clear();
}

void CAsyncSocket::SetReadEnabled(bool enabled)
{
    if (m_readNotifier && m_readNotifier->isEnabled() != enabled)
        m_readNotifier->setEnabled(enabled);
}

void CAsyncSocket::SetWriteEnabled(bool enabled)
{
    if (enabled && m_socket.IsValid())
        WriteNotifier().setEnabled(true);
    else if (m_writeNotifier && m_writeNotifier->isEnabled())
        m_writeNotifier->setEnabled(false);
}

void CAsyncSocket::HandleReadable()
{
    Q_ASSERT(QThread::currentThread() == m_readNotifier->thread());
    ++m_nNotifying;
    if (m_mode == Mode::Listening) {
        OnAccept(0);
    } else if (m_mode == Mode::Connected) {
        m_bReceiveTaken = false;
        OnReceive(0);
        if (!m_bReceiveTaken) {
            // Nothing was read: peek, so that the end of the peer's data is told apart from data
            // nobody wants yet, as the close notification of the original socket model did.
            const ssize_t peeked = PeekByte();
            const int error = peeked < 0 ? errno : 0;
            if (peeked == 0 || (peeked < 0 && !IsWouldBlock(error))) {
                SetReadEnabled(false);
                OnClose(error);
            } else if (peeked > 0) {
                SetReadEnabled(false); // until ResumeReceive
            }
        }
    }
    --m_nNotifying;
}

void CAsyncSocket::HandleWritable()
{
    Q_ASSERT(QThread::currentThread() == m_writeNotifier->thread());
    ++m_nNotifying;
    SetWriteEnabled(false);
    if (m_mode == Mode::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
            m_mode = Mode::Connected;
            SetReadEnabled(true);
        }
        m_nLastError = error;
        OnConnect(error);
    } else if (m_mode == Mode::Connected) {
        OnSend(0);
    }
    --m_nNotifying;
}
