#include "FtpClient.h"

#include <utility>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in Address(const char* host, quint16 port)
{
    sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {}, .sin_zero = {}};
    inet_pton(AF_INET, host, &address.sin_addr);
    return address;
}

// Closes fd and answers -1 unless the call succeeded.
int KeepIf(bool ok, int fd)
{
    if (!ok && fd >= 0)
        ::close(fd);
    return ok ? fd : -1;
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd wait = {fd, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&wait, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready > 0;
}

QByteArray Unescape(const QByteArray& text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (const char code = text[++i]; code == 'x') {
            out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += code == 'r' ? '\r' : code == 'n' ? '\n' : code == '0' ? '\0' : code;
        }
    }
    return out;
}

} // namespace

bool FtpClient::Connect(quint16 port, const char* bindAddress)
{
    Close();
    return (m_fd = DataSocket::Connect(port, bindAddress)) >= 0;
}

bool FtpClient::Login(quint16 port, const QByteArray& user, const QByteArray& password, const char* bindAddress)
{
    return ConnectAndGreet(port, bindAddress).startsWith("220 ") && Command("USER " + user).startsWith("331") &&
           Command("PASS " + password) == "230 Login OK.";
}

bool FtpClient::FillBuffer(int timeoutMs)
{
    char chunk[4096];
    const ssize_t n = m_fd >= 0 && WaitReadable(m_fd, timeoutMs) ? ::recv(m_fd, chunk, sizeof chunk, 0) : -1;
    if (n > 0)
        m_buffer.append(chunk, n);
    m_bEnded = n == 0;
    return n > 0;
}

QByteArray FtpClient::ReadReply(int timeoutMs)
{
    qsizetype end;
    while ((end = m_buffer.indexOf("\r\n")) < 0)
        if (!FillBuffer(timeoutMs))
            return {};
    const QByteArray line = m_buffer.left(end);
    m_buffer.remove(0, end + 2);
    if (const quint16 port = PassivePort(line))
        m_passivePort = port;
    return line;
}

bool FtpClient::WaitForClose(int timeoutMs)
{
    while (m_fd >= 0 && WaitReadable(m_fd, timeoutMs))
        if (!FillBuffer(0))
            return m_bEnded;
    return false;
}

bool FtpClient::SendUrgentLine(const QByteArray& line)
{
    const QByteArray bytes = line + "\r\n";
    return m_fd >= 0 && ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_OOB | MSG_NOSIGNAL) == bytes.size();
}

void FtpClient::Reset()
{
    DataSocket::Reset(std::exchange(m_fd, -1));
    Close();
}

void FtpClient::Close()
{
    DataSocket::Close(std::exchange(m_fd, -1));
    DataSocket::Close(std::exchange(m_data, -1));
    m_buffer.clear();
}

int FtpClient::OpenPassive()
{
    const quint16 port = PassivePort(Command("PASV"));
    return port ? DataSocket::Connect(port) : -1;
}

quint16 PassivePort(const QByteArray& reply)
{
    const QByteArrayList fields = reply.mid(reply.indexOf('(') + 1).chopped(1).split(',');
    return reply.startsWith("227 ") && fields.size() == 6 ? quint16(fields[4].toInt() * 256 + fields[5].toInt()) : 0;
}

QString FtpClient::Expect(const QByteArray& expected)
{
    if (expected == "<closed>")
        return WaitForClose() ? QString() : QStringLiteral("the connection stayed open, or was reset");
    const QByteArray reply = ReadReply();
    if (expected.endsWith('*') ? reply.startsWith(expected.chopped(1)) : reply == expected)
        return {};
    return QStringLiteral("expected \"%1\", got \"%2\"").arg(QString::fromLatin1(expected), QString::fromLatin1(reply));
}

QString FtpClient::Run(const char* script)
{
    for (const QByteArray& rawStep : QByteArray(script).split('\n')) {
        const QByteArray step = rawStep.trimmed();
        QString failure;
        if (step.startsWith("@pasv")) {
            DataSocket::Close(m_data);
            if ((m_data = OpenPassive()) < 0)
                failure = QStringLiteral("no passive connection");
        } else if (step.startsWith("@connect")) {
            DataSocket::Close(m_data);
            const QByteArray from = step.mid(9);
            if ((m_data = DataSocket::Connect(m_passivePort, from.isEmpty() ? nullptr : from.constData())) < 0)
                failure = QStringLiteral("no data connection to port %1").arg(m_passivePort);
        } else if (step.startsWith("@recv")) {
            int end = -1;
            m_received = DataSocket::ReadAll(m_data, 10000, &end);
            if (end < 0)
                failure = QStringLiteral("the data connection did not end");
            else if (step != "@recv *" && m_received != Unescape(step.mid(6)))
                failure = QStringLiteral("data was \"%1\"").arg(QString::fromLatin1(m_received.left(200)));
            DataSocket::Close(std::exchange(m_data, -1));
        } else if (step.startsWith("@send")) {
            if (!DataSocket::WriteAll(m_data, Unescape(step.mid(6))))
                failure = QStringLiteral("data not sent");
            DataSocket::Close(std::exchange(m_data, -1));
        } else if (!step.isEmpty()) {
            // Split on the bars that are not escaped: \x01 and \x02 stand in for escaped backslashes and bars.
            QByteArrayList parts = QByteArray(step).replace("\\\\", "\x01").replace("\\|", "\x02").split('|');
            for (QByteArray& part : parts)
                part.replace('\x01', "\\\\").replace('\x02', "\\|");
            const QByteArray command = parts.takeFirst().trimmed();
            const bool bare = command.endsWith("\\c");
            if (!command.isEmpty() && !SendRaw(bare ? Unescape(command.chopped(2)) : Unescape(command) + "\r\n"))
                failure = QStringLiteral("could not send");
            for (qsizetype i = 0; failure.isEmpty() && i < parts.size(); ++i)
                failure = Expect(Unescape(parts[i].trimmed()));
        }
        if (!failure.isEmpty())
            return QString::fromLatin1(step) + QStringLiteral(": ") + failure;
    }
    return {};
}

namespace DataSocket {

int Connect(quint16 port, const char* bindAddress)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Address(bindAddress ? bindAddress : "0.0.0.0", 0), remote = Address("127.0.0.1", port);
    return KeepIf(fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                      ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0,
                  fd);
}

QByteArray ReadAll(int fd, int timeoutMs, int* end)
{
    QByteArray data;
    char chunk[65536];
    ssize_t n = -1;
    bool ready = false;
    while (fd >= 0 && (ready = WaitReadable(fd, timeoutMs)) && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
        data.append(chunk, n);
    if (end)
        *end = !ready ? -1 : n == 0 ? 0 : errno;
    return data;
}

bool WriteAll(int fd, const QByteArray& bytes)
{
    for (qsizetype done = 0, n = 0; done < bytes.size(); done += n) {
        n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            n = 0;
        else if (n <= 0)
            return false;
    }
    return true;
}

int Listen(quint16* port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    sockaddr_in address = Address("127.0.0.1", *port);
    socklen_t length = sizeof address;
    // Past the connections of earlier runs that linger on a port asked for; a listener there still refuses it.
    const bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::listen(fd, backlog) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    *port = ok ? ntohs(address.sin_port) : 0;
    return KeepIf(ok, fd);
}

int Accept(int listenFd, int timeoutMs)
{
    return WaitReadable(listenFd, timeoutMs) ? ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

void Close(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

void Reset(int fd)
{
    const linger hard = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard); // nothing for -1
    Close(fd);
}

} // namespace DataSocket
