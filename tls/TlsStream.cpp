#include "tls/TlsStream.h"

#include "platform/AsyncSocket.h"
#include "tls/TlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace {

// Room for two full records: one read of the socket takes up to two, where each would take two
// reads otherwise (its header, then its body).
constexpr size_t kReadAheadBytes = 2 * SSL3_RT_MAX_PACKET_SIZE;

CAsyncSocket& SocketOf(BIO* bio)
{
    return *static_cast<CAsyncSocket*>(BIO_get_data(bio));
}

// The result of the socket's Send or Receive as a BIO gives it: would-block asks to retry.
int BioResult(BIO* bio, qint64 moved, bool reading)
{
    BIO_clear_retry_flags(bio);
    if (moved < 0) {
        errno = SocketOf(bio).LastError();
        if (IsWouldBlock(errno))
            reading ? BIO_set_retry_read(bio) : BIO_set_retry_write(bio);
    }
    return int(moved);
}

int SocketRead(BIO* bio, char* data, int size)
{
    return BioResult(bio, SocketOf(bio).Receive(data, size), true);
}

int SocketWrite(BIO* bio, const char* data, int size)
{
    return BioResult(bio, SocketOf(bio).Send(data, size), false);
}

long SocketControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0; // every write goes straight to the socket
}

// Made once for the process, the first time any thread needs it, and never changed after.
BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "CAsyncSocket");
        BIO_meth_set_read(made, SocketRead);
        BIO_meth_set_write(made, SocketWrite);
        BIO_meth_set_ctrl(made, SocketControl);
        return made;
    }();
    return method;
}

} // namespace

CTlsStream::CTlsStream(std::shared_ptr<const CTlsContext> context, CAsyncSocket& socket)
    : m_context(std::move(context)), m_socket(socket), m_ssl(SSL_new(m_context->Get()))
{
    BIO* bio = BIO_new(SocketMethod());
    if (!m_ssl || !bio) {
        BIO_free(bio);
        m_strError = "out of memory";
        return;
    }
    BIO_set_data(bio, &m_socket);
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_accept_state(m_ssl);
}

CTlsStream::~CTlsStream()
{
    SSL_free(m_ssl);
}

CTlsStream::EStatus CTlsStream::StatusOf(int result)
{
    const int error = SSL_get_error(m_ssl, result);
    switch (error) {
    case SSL_ERROR_NONE:
        return EStatus::Done;
    case SSL_ERROR_WANT_READ:
        return EStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return EStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        m_strError = "the connection ended";
        return EStatus::Closed;
    default:
        break;
    }
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    if (reason)
        m_strError = reason;
    else if (error == SSL_ERROR_SYSCALL && errno != 0)
        m_strError = std::strerror(errno);
    else
        m_strError = "the connection ended";
    ERR_clear_error();
    return EStatus::Failed;
}

void CTlsStream::IssueNoTickets()
{
    SSL_set_num_tickets(m_ssl, 0);
}

void CTlsStream::ReadAhead()
{
    // Kept between records: a bulk transfer would free and allocate them for each one.
    SSL_clear_mode(m_ssl, SSL_MODE_RELEASE_BUFFERS);
    SSL_set_default_read_buffer_len(m_ssl, kReadAheadBytes);
    SSL_set_read_ahead(m_ssl, 1);
}

CTlsStream::EStatus CTlsStream::Handshake()
{
    if (!m_ssl)
        return EStatus::Failed;
    ERR_clear_error();
    errno = 0;
    const int result = SSL_do_handshake(m_ssl);
    return result == 1 ? EStatus::Done : StatusOf(result);
}

CTlsStream::Result CTlsStream::Read(char* data, qint64 size)
{
    ERR_clear_error();
    errno = 0;
    size_t moved = 0;
    const int result = SSL_read_ex(m_ssl, data, size_t(size), &moved);
    return result == 1 ? Result{EStatus::Done, qint64(moved)} : Result{StatusOf(result)};
}

CTlsStream::Result CTlsStream::Write(const char* data, qint64 size)
{
    ERR_clear_error();
    errno = 0;
    size_t moved = 0;
    const int result = SSL_write_ex(m_ssl, data, size_t(size), &moved);
    return result == 1 ? Result{EStatus::Done, qint64(moved)} : Result{StatusOf(result)};
}

bool CTlsStream::HasPending() const
{
    return SSL_has_pending(m_ssl) == 1;
}

bool CTlsStream::WriteAll(const char* data, qint64 size, const std::function<bool()>& abandon)
{
    while (size > 0) {
        const Result written = Write(data, size);
        if (written.status == EStatus::Done) {
            data += written.bytes;
            size -= written.bytes;
            continue;
        }
        if (!IsWaiting(written.status))
            return false;
        if (abandon && abandon())
            return false;
        pollfd wait = {m_socket.Handle(), short(written.status == EStatus::WantRead ? POLLIN : POLLOUT), 0};
        ::poll(&wait, 1, 100);
    }
    return true;
}

CTlsStream::EStatus CTlsStream::Shutdown()
{
    ERR_clear_error();
    errno = 0;
    const int result = SSL_shutdown(m_ssl);
    return result >= 0 ? EStatus::Done : StatusOf(result);
}
