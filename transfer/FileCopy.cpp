#include "transfer/FileCopy.h"

#include "transfer/FileWrite.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<CFileCopy::EMode> g_mode{CFileCopy::EMode::Kernel};

// Whether a failed kernel call means that these descriptors cannot take it (the buffer then).
bool KernelRefused(int error)
{
    return error == EINVAL || error == ENOSYS;
}

} // namespace

void CFileCopy::SetMode(EMode mode)
{
    g_mode = mode;
}

CFileCopy::CFileCopy(CAsyncSocket& socket)
    : m_socket(socket), m_eMode(g_mode.load()), m_bKernel(m_eMode != EMode::Buffered)
{}

void CFileCopy::UseBuffer()
{
    m_bKernel = false;
    m_pipeOut.Reset();
    m_pipeIn.Reset();
}

CFileCopy::Result CFileCopy::SocketFailure() const
{
    return {IsWouldBlock(m_socket.LastError()) ? EStatus::WouldBlock : EStatus::SocketError};
}

CFileCopy::Result CFileCopy::SendFromFile(int file, qint64 offset, qint64 size)
{
    if (m_bKernel && m_eMode == EMode::FileRefusesKernel) {
        UseBuffer();
    } else if (m_bKernel) {
        const qint64 sent = m_socket.SendFile(file, &offset, size);
        if (sent > 0)
            return {EStatus::Moved, sent};
        if (sent == 0)
            return {EStatus::FileError}; // the file ended before its taken length
        if (!KernelRefused(m_socket.LastError()))
            return SocketFailure();
        UseBuffer(); // a file the kernel cannot send from
    }
    // Read from the next unsent byte: what a partial send left is read again at the next step.
    const ssize_t got = ::pread(file, m_buffer, size_t(qMin<qint64>(size, kChunkSize)), off_t(offset));
    if (got <= 0)
        return {EStatus::FileError};
    const qint64 sent = m_socket.Send(m_buffer, got);
    return sent >= 0 ? Result{EStatus::Moved, sent} : SocketFailure();
}

CFileCopy::Result CFileCopy::ReceiveIntoFile(int file)
{
    if (m_bKernel && !m_pipeIn.IsValid()) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            return ReceiveThroughBuffer(file);
        m_pipeOut.Reset(ends[0]);
        m_pipeIn.Reset(ends[1]);
        ::fcntl(m_pipeIn.Get(), F_SETPIPE_SZ, kPipeBytes); // a smaller pipe only means smaller steps
    }
    if (!m_bKernel)
        return ReceiveThroughBuffer(file);
    const qint64 received = m_socket.ReceiveIntoPipe(m_pipeIn.Get(), kPipeBytes);
    if (received < 0 && KernelRefused(m_socket.LastError())) {
        UseBuffer(); // a socket the kernel cannot splice from
        return ReceiveThroughBuffer(file);
    }
    // splice stops at urgent data: it reports nothing waiting, or the end once the client has
    // closed, while bytes wait behind the mark. A plain read steps over it, and tells the end.
    if (received == 0 || (received < 0 && IsWouldBlock(m_socket.LastError())))
        return ReceiveThroughBuffer(file);
    if (received < 0)
        return SocketFailure();
    return DrainPipe(file, received) ? Result{EStatus::Moved, received} : Result{EStatus::FileError, received};
}

CFileCopy::Result CFileCopy::ReceiveThroughBuffer(int file)
{
    const qint64 received = m_socket.Receive(m_buffer, kChunkSize);
    if (received < 0)
        return SocketFailure();
    if (received == 0)
        return {EStatus::Ended};
    return WriteAll(file, m_buffer, received) ? Result{EStatus::Moved, received} : Result{EStatus::FileError, received};
}

bool CFileCopy::DrainPipe(int file, qint64 n)
{
    bool refused = false;
    while (n > 0) {
        ssize_t written = -1;
        if (m_eMode == EMode::FileRefusesKernel)
            errno = EINVAL;
        else
            written = ::splice(m_pipeOut.Get(), nullptr, file, nullptr, size_t(n), SPLICE_F_MOVE);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && KernelRefused(errno)) {
            // A file system that cannot take a splice: through the buffer, a chunk at a time.
            refused = true;
            written = ::read(m_pipeOut.Get(), m_buffer, size_t(qMin<qint64>(n, kChunkSize)));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0 || !WriteAll(file, m_buffer, written))
                return false;
        } else if (written <= 0) {
            return false; // a full disk among them
        }
        n -= written;
    }
    if (refused)
        UseBuffer(); // the pipe is empty now: the rest of the upload goes through the buffer
    return true;
}
