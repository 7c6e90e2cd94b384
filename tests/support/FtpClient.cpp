#include "FtpClient.h"

#include <QRegularExpression>

#include <utility>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int ConnectTo(quint16 port, const char* bindAddress)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (bindAddress) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, bindAddress, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd wait = {fd, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&wait, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

} // namespace

FtpClient::~FtpClient()
{
    Close();
}

bool FtpClient::Connect(quint16 port, const char* bindAddress)
{
    Close();
    m_fd = ConnectTo(port, bindAddress);
    return m_fd >= 0;
}

QByteArray FtpClient::ConnectAndGreet(quint16 port, const char* bindAddress)
{
    if (!Connect(port, bindAddress))
        return {};
    return ReadReply();
}

bool FtpClient::Login(quint16 port, const QByteArray& user, const QByteArray& password, const char* bindAddress)
{
    if (!ConnectAndGreet(port, bindAddress).startsWith("220 "))
        return false;
    if (!Command("USER " + user).startsWith("331"))
        return false;
    return Command("PASS " + password) == "230 Login OK.";
}

bool FtpClient::SendRaw(const QByteArray& bytes)
{
    return m_fd >= 0 && DataSocket::WriteAll(m_fd, bytes);
}

bool FtpClient::FillBuffer(int timeoutMs)
{
    if (m_fd < 0 || !WaitReadable(m_fd, timeoutMs))
        return false;
    char chunk[4096];
    ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    m_buffer.append(chunk, n);
    return true;
}

QByteArray FtpClient::ReadReply(int timeoutMs)
{
    for (;;) {
        qsizetype end = m_buffer.indexOf("\r\n");
        if (end >= 0) {
            QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 2);
            return line;
        }
        if (!FillBuffer(timeoutMs))
            return {};
    }
}

QByteArray FtpClient::Command(const QByteArray& line, int timeoutMs)
{
    if (!SendLine(line))
        return {};
    return ReadReply(timeoutMs);
}

bool FtpClient::NoReplyWithin(int timeoutMs)
{
    if (m_buffer.contains("\r\n"))
        return false;
    if (!WaitReadable(m_fd, timeoutMs))
        return true;
    char probe;
    return ::recv(m_fd, &probe, 1, MSG_PEEK) < 0;
}

bool FtpClient::WaitForClose(int timeoutMs)
{
    while (m_fd >= 0 && WaitReadable(m_fd, timeoutMs)) {
        char chunk[4096];
        ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return true;
        m_buffer.append(chunk, n);
    }
    return false;
}

void FtpClient::Reset()
{
    if (m_fd < 0)
        return;
    linger hard = {1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
}

void FtpClient::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    DataSocket::Close(m_data);
    m_fd = m_data = -1;
    m_buffer.clear();
}

QByteArray Unescape(const QByteArray& text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char code = text[++i];
        if (code == 'x') {
            out += char(text.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else {
            out += code == 'r' ? '\r' : code == 'n' ? '\n' : code == '0' ? '\0' : code;
        }
    }
    return out;
}

QString FtpClient::Expect(const QByteArray& expected)
{
    if (expected == "<closed>")
        return WaitForClose() ? QString() : QStringLiteral("the connection stayed open");
    const QByteArray reply = ReadReply();
    const bool prefix = expected.endsWith('*');
    if (prefix ? reply.startsWith(expected.chopped(1)) : reply == expected)
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
            QByteArray reply;
            m_data = OpenPassive(&reply);
            if (m_data < 0)
                failure = QStringLiteral("no passive connection: ") + QString::fromLatin1(reply);
        } else if (step.startsWith("@recv")) {
            const QByteArray got = DataSocket::ReadAll(m_data, 10000);
            if (got != Unescape(step.mid(6)))
                failure = QStringLiteral("data was \"%1\"").arg(QString::fromLatin1(got.left(200)));
            DataSocket::Close(std::exchange(m_data, -1));
        } else if (step.startsWith("@send")) {
            if (!DataSocket::WriteAll(m_data, Unescape(step.mid(6))))
                failure = QStringLiteral("data not sent");
            DataSocket::Close(std::exchange(m_data, -1));
        } else if (!step.isEmpty()) {
            // Split on the bars that are not escaped.
            QByteArrayList parts{{}};
            for (qsizetype i = 0; i < step.size(); ++i) {
                if (step[i] == '|')
                    parts.append(QByteArray());
                else
                    parts.last() += step.mid(i, step[i] == '\\' ? 2 : 1);
                i += step[i] == '\\';
            }
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

int FtpClient::OpenPassive(QByteArray* reply)
{
    const QByteArray answer = Command("PASV");
    if (reply)
        *reply = answer;
    static const QRegularExpression pattern(QStringLiteral("\\((\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)\\)"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(answer));
    if (!answer.startsWith("227 ") || !match.hasMatch())
        return -1;
    const quint16 port = quint16(match.captured(5).toInt() * 256 + match.captured(6).toInt());
    return DataSocket::Connect(port);
}

namespace DataSocket {

int Connect(quint16 port, const char* bindAddress)
{
    return ConnectTo(port, bindAddress);
}

QByteArray ReadAll(int fd, int timeoutMs)
{
    QByteArray data;
    char chunk[65536];
    while (fd >= 0 && WaitReadable(fd, timeoutMs)) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        data.append(chunk, n);
    }
    return data;
}

bool WriteAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        ssize_t n = ::send(fd, data, size_t(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

int Listen(quint16* port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int Accept(int listenFd, int timeoutMs)
{
    if (!WaitReadable(listenFd, timeoutMs))
        return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

void Close(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace DataSocket
