#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <sys/socket.h>

// The port a "227 Entering Passive Mode (h,h,h,h,p,p)" reply names; 0 for any other reply.
quint16 PassivePort(const QByteArray& reply);

// Data connection helpers for tests (blocking, with time-outs).
namespace DataSocket {
int Connect(quint16 port, const char* bindAddress = nullptr); // to 127.0.0.1:port; -1 on failure
// Until the peer closes or the time is up; *end, when given: 0 for a close, the error of a reset, -1 for the time.
QByteArray ReadAll(int fd, int timeoutMs = 30000, int* end = nullptr);
bool WriteAll(int fd, const QByteArray& bytes);
// On 127.0.0.1 at *port, or one the system chooses for 0; *port is then the one listened on, 0 on failure.
int Listen(quint16* port, int backlog = 16);
int Accept(int listenFd, int timeoutMs = 10000);
void Close(int fd);
void Reset(int fd); // closes abruptly (RST)
} // namespace DataSocket

// A plain blocking FTP control client for tests, over a real socket, with time-outs everywhere.
class FtpClient
{
public:
    FtpClient() = default;
    ~FtpClient() { Close(); }
    Q_DISABLE_COPY(FtpClient)

    // Connects to 127.0.0.1 (or the given local address to bind first). True on success.
    bool Connect(quint16 port, const char* bindAddress = nullptr);
    QByteArray ConnectAndGreet(quint16 port, const char* from = {}) { return Connect(port, from) ? ReadReply() : ""; }
    // Connects, reads the greeting, logs in: true on "230 Login OK."; one from 127.1.0.x is off the server's network.
    bool Login(quint16 port, const QByteArray& user = "tester", const QByteArray& password = "Secret",
               const char* bindAddress = nullptr);

    bool SendRaw(const QByteArray& bytes) { return m_fd >= 0 && DataSocket::WriteAll(m_fd, bytes); }
    bool SendLine(const QByteArray& line) { return SendRaw(line + "\r\n"); }
    // Sends the line with its LF as TCP urgent data, as Python's ftplib sends ABOR.
    bool SendUrgentLine(const QByteArray& line);
    // The next reply line without its CR LF; empty when none came within the time.
    QByteArray ReadReply(int timeoutMs = 10000);
    QByteArray Command(const QByteArray& line) { return SendLine(line) ? ReadReply() : ""; }
    // True when the server ended the stream (no reset, which may take replies) in time; pending lines are dropped.
    bool WaitForClose(int timeoutMs = 10000);
    void ShutDownSending() { ::shutdown(m_fd, SHUT_WR); } // sends no more; replies can still be read
    void Reset();                                         // closes abruptly (RST)
    void Close();

    // Sends PASV and connects to the port it names: the data socket, or -1.
    int OpenPassive();

    // Runs a conversation and returns an empty string, or what differed first. One step per line:
    //   command | reply | reply...   sends the command, then expects each reply in turn
    //   | reply                      expects one more reply; a command alone expects none
    //   @pasv                        opens a passive data connection (PASV must answer 227)
    //   @connect [local address]     opens a data connection to the port of the last 227 reply read
    //   @recv bytes  /  @send bytes  reads the data connection to its end (within 10 s) / writes it and closes
    //   @recv *                      reads the data connection to its end, whatever comes (see Received())
    // A reply ending in "*" is a prefix; "<closed>" is the server's close. Commands, replies and
    // bytes take the escapes \r \n \0 \xNN \| and \\; a command ending in \c gets no CR LF.
    QString Run(const char* script);
    const QByteArray& Received() const { return m_received; } // what the last @recv read

private:
    bool FillBuffer(int timeoutMs);
    QString Expect(const QByteArray& expected);

    int m_fd = -1;
    int m_data = -1;           // the data connection @pasv or @connect opened
    quint16 m_passivePort = 0; // named by the last 227 reply read
    bool m_bEnded = false;     // the last read met the end of the server's stream
    QByteArray m_buffer;
    QByteArray m_received;
};

// Fails the running test with the first difference of the conversation (see FtpClient::Run).
#define CONVERSE(client, script)                                                                                       \
    do {                                                                                                               \
        const QString difference = (client).Run(script);                                                               \
        QVERIFY2(difference.isEmpty(), qPrintable(difference));                                                        \
    } while (false)
