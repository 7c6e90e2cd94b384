#pragma once

#include "platform/AsyncSocket.h"
#include "platform/UniqueFd.h"
#include "transfer/TransferLimits.h"

// File bytes over a data connection: with the kernel where it can (sendfile for a download, splice
// through a pipe for an upload), through one kChunkSize buffer where the kernel refuses (FUSE and
// network file systems may) or where the copy mode says so. Once the kernel has refused, the rest
// of the transfer goes through the buffer. One transfer's; its connection thread only.
class CFileCopy
{
public:
    enum class EMode
    {
        Kernel,            // the kernel first, the buffer where it refuses
        Buffered,          // the buffer always
        FileRefusesKernel, // the kernel, but the file's side refuses it, as a file system without
                           // sendfile or splice does: every fallback runs
    };
    // Any thread; taken by each copy as it is made. The product keeps Kernel; tests run them all.
    static void SetMode(EMode mode);

    enum class EStatus
    {
        Moved,       // bytes moved: the count
        WouldBlock,  // the socket cannot take or give bytes now; its notification follows
        Ended,       // an upload's client ended its data
        SocketError, // the socket failed (LastError)
        FileError,   // the file gave or took no bytes: ended early, unreadable, a full disk
    };
    struct Result
    {
        EStatus status;
        qint64 bytes = 0;
    };

    explicit CFileCopy(CAsyncSocket& socket);
    CFileCopy(const CFileCopy&) = delete;
    CFileCopy& operator=(const CFileCopy&) = delete;

    // Sends up to size bytes of the file from offset.
    Result SendFromFile(int file, qint64 offset, qint64 size);
    // Takes what the socket holds now, in one step, into the file at its position. Bytes taken but
    // not all written are a FileError; what was written stays.
    Result ReceiveIntoFile(int file);

private:
    Result SocketFailure() const;
    Result ReceiveThroughBuffer(int file);
    // Writes n bytes waiting in the pipe to the file; false when the file takes them not.
    bool DrainPipe(int file, qint64 n);
    void UseBuffer();

    CAsyncSocket& m_socket;
    EMode m_eMode;
    bool m_bKernel;
    CUniqueFd m_pipeOut, m_pipeIn; // an upload's way from the socket to the file
    char m_buffer[kChunkSize];     // the one chunk in memory
};
