#include "transfer/TlsCopy.h"

#include "tls/TlsStream.h"
#include "transfer/FileWrite.h"

#include <cerrno>
#include <unistd.h>

CTlsCopy::CTlsCopy(CTlsStream& stream) : m_stream(stream), m_buffer(new char[kTlsChunkSize]) {}

CFileCopy::Result CTlsCopy::ResultOf(CTlsStream::EStatus status, qint64 bytes) const
{
    if (CTlsStream::IsWaiting(status))
        return {CFileCopy::EStatus::WouldBlock};
    switch (status) {
    case CTlsStream::EStatus::Done:
        return {CFileCopy::EStatus::Moved, bytes};
    case CTlsStream::EStatus::Closed:
        return {CFileCopy::EStatus::Ended};
    default:
        return {CFileCopy::EStatus::SocketError};
    }
}

CFileCopy::Result CTlsCopy::SendBytes(const char* data, qint64 size)
{
    const CTlsStream::Result sent = m_stream.Write(data, size);
    // A peer that ends the session while a send runs has cut it.
    return sent.status == CTlsStream::EStatus::Closed ? CFileCopy::Result{CFileCopy::EStatus::SocketError}
                                                      : ResultOf(sent.status, sent.bytes);
}

CFileCopy::Result CTlsCopy::SendFromFile(int file, qint64 offset, qint64 size)
{
    if (offset != m_nOffset || m_nBuffered == 0) {
        ssize_t read;
        do
            read = ::pread(file, m_buffer.get(), size_t(qMin(size, kTlsChunkSize)), off_t(offset));
        while (read < 0 && errno == EINTR);
        if (read <= 0)
            return {CFileCopy::EStatus::FileError}; // the file ended before its taken length, or failed
        m_nOffset = offset;
        m_nHead = 0;
        m_nBuffered = read;
    }
    const CFileCopy::Result sent = SendBytes(m_buffer.get() + m_nHead, m_nBuffered);
    if (sent.status == CFileCopy::EStatus::Moved) {
        m_nOffset += sent.bytes;
        m_nHead += sent.bytes;
        m_nBuffered -= sent.bytes;
    }
    return sent;
}

CFileCopy::Result CTlsCopy::ReceiveIntoFile(int file)
{
    const CTlsStream::Result received = m_stream.Read(m_buffer.get(), kTlsChunkSize);
    if (received.status != CTlsStream::EStatus::Done)
        return ResultOf(received.status, 0);
    return WriteAll(file, m_buffer.get(), received.bytes)
               ? CFileCopy::Result{CFileCopy::EStatus::Moved, received.bytes}
               : CFileCopy::Result{CFileCopy::EStatus::FileError, received.bytes};
}
