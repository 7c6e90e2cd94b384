#pragma once

#include <QByteArray>
#include <QByteArrayList>

// A plain blocking FTP control client for tests, over a real socket, with time-outs everywhere.
class FtpClient
{
public:
    FtpClient() = default;
    ~FtpClient();
    FtpClient(const FtpClient&) = delete;
    FtpClient& operator=(const FtpClient&) = delete;

    // Connects to 127.0.0.1 (or the given local address to bind first). True on success.
    bool Connect(quint16 port, const char* bindAddress = nullptr);
    // Connects and reads the greeting; returns it.
    QByteArray ConnectAndGreet(quint16 port, const char* bindAddress = nullptr);
    // Connects, reads the greeting, logs in; true on "230 Login OK.". A client bound to 127.1.0.x
    // is not on the server's network, as one from the Internet.
    bool Login(quint16 port, const QByteArray& user = "tester", const QByteArray& password = "Secret",
               const char* bindAddress = nullptr);

    bool SendRaw(const QByteArray& bytes);
    bool SendLine(const QByteArray& line) { return SendRaw(line + "\r\n"); }
    // The next reply line without its CR LF; empty when none came within the time.
    QByteArray ReadReply(int timeoutMs = 10000);
    // Sends a line and reads its reply.
    QByteArray Command(const QByteArray& line, int timeoutMs = 10000);
    // True when no reply line arrives within the time (and the connection is still open).
    bool NoReplyWithin(int timeoutMs);
    // True when the server closed the connection within the time (any pending lines are dropped).
    bool WaitForClose(int timeoutMs = 10000);
    // Closes abruptly (RST) or politely.
    void Reset();
    void Close();
    int Handle() const { return m_fd; }

    // Opens a passive data connection: sends PASV, connects to the announced port. Returns the
    // data socket descriptor, or -1. The 227 reply goes to *reply.
    int OpenPassive(QByteArray* reply = nullptr);

private:
    bool FillBuffer(int timeoutMs);

    int m_fd = -1;
    QByteArray m_buffer;
};

// Data connection helpers for tests (blocking, with time-outs).
namespace DataSocket {
// Connects to 127.0.0.1:port (binding to bindAddress first when given); -1 on failure.
int Connect(quint16 port, const char* bindAddress = nullptr);
// Reads until the peer closes or the time is up.
QByteArray ReadAll(int fd, int timeoutMs = 30000);
bool WriteAll(int fd, const QByteArray& bytes);
// A listening socket on 127.0.0.1 with a system-chosen port; *port receives it.
int Listen(quint16* port);
// Accepts one connection within the time; -1 otherwise.
int Accept(int listenFd, int timeoutMs = 10000);
void Close(int fd);
} // namespace DataSocket
