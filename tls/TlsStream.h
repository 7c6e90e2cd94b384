#pragma once

#include <QByteArray>

#include <functional>
#include <memory>

class CAsyncSocket;
class CTlsContext;
typedef struct ssl_st SSL;

// The server's end of one TLS session over a connected CAsyncSocket: its bytes go through the
// socket's own Send and Receive, so the socket's notifications keep telling when to go on (a step
// that has to wait for the socket arms the right one). Lives on the socket's thread; the socket
// outlives it.
class CTlsStream
{
public:
    enum class EStatus
    {
        Done,      // the handshake is complete, or bytes moved (Result::bytes)
        WantRead,  // to go on once the socket has bytes (OnReceive)
        WantWrite, // to go on once the socket takes bytes (OnSend)
        Closed,    // the peer ended the session (close_notify or the end of the stream)
        Failed     // the session is broken: ErrorText says why
    };
    // WantRead or WantWrite: the socket's next notification goes on.
    static bool IsWaiting(EStatus status) { return status == EStatus::WantRead || status == EStatus::WantWrite; }
    struct Result
    {
        EStatus status;
        qint64 bytes = 0;
    };

    CTlsStream(std::shared_ptr<const CTlsContext> context, CAsyncSocket& socket);
    ~CTlsStream();
    CTlsStream(const CTlsStream&) = delete;
    CTlsStream& operator=(const CTlsStream&) = delete;

    // Before the handshake: the session issues no TLS 1.3 session tickets.
    void IssueNoTickets();
    // Before the handshake, for a data connection: the socket is read in large reads, several
    // records at once, instead of a record header and its body apart; records read ahead wait in
    // the session (HasPending).
    void ReadAhead();
    // One step of the server handshake.
    EStatus Handshake();
    // Up to size bytes of the peer's data, or of this end's.
    Result Read(char* data, qint64 size);
    Result Write(const char* data, qint64 size);
    // Bytes read from the socket and not taken yet (plain text decrypted already, records read
    // ahead), which no notification of the socket announces.
    bool HasPending() const;
    // Writes every byte, waiting for the socket with poll(); gives up when abandon() returns true
    // (asked about every 100 ms). True when all bytes went out.
    bool WriteAll(const char* data, qint64 size, const std::function<bool()>& abandon);
    // Sends close_notify: Done once it is out, WantWrite to be asked again, Failed.
    EStatus Shutdown();
    // Why the session failed, in a few words.
    const QByteArray& ErrorText() const { return m_strError; }

private:
    EStatus StatusOf(int result);

    std::shared_ptr<const CTlsContext> m_context;
    CAsyncSocket& m_socket;
    SSL* m_ssl;
    QByteArray m_strError;
};
