#pragma once

#include "tls/TlsStream.h"
#include "transfer/FileCopy.h"

#include <memory>

// File and listing bytes over an encrypted data connection: the file is read into one buffer of
// kTlsChunkSize bytes and written through the TLS stream; an upload's bytes come out of the stream into the same
// buffer. Results as CFileCopy's. One transfer's; its connection thread only.
class CTlsCopy
{
public:
    // One read of the file serves three full records; with the record OpenSSL encrypts in, a
    // transfer holds at most 64 KiB of file data.
    static constexpr qint64 kTlsChunkSize = 48 * 1024;

    explicit CTlsCopy(CTlsStream& stream);
    CTlsCopy(const CTlsCopy&) = delete;
    CTlsCopy& operator=(const CTlsCopy&) = delete;

    // Sends up to size bytes from memory (a listing).
    CFileCopy::Result SendBytes(const char* data, qint64 size);
    // Sends up to size bytes of the file from offset; bytes read and not yet taken by the stream are
    // kept for the next call, which asks for the same offset.
    CFileCopy::Result SendFromFile(int file, qint64 offset, qint64 size);
    // Takes what the stream gives now into the file at its position.
    CFileCopy::Result ReceiveIntoFile(int file);

private:
    CFileCopy::Result ResultOf(CTlsStream::EStatus status, qint64 bytes) const;

    CTlsStream& m_stream;
    std::unique_ptr<char[]> m_buffer;
    qint64 m_nOffset = -1; // the file offset of the first byte not sent yet; -1: the buffer holds none
    qint64 m_nHead = 0;    // where that byte is in the buffer
    qint64 m_nBuffered = 0;
};
