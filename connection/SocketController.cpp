#include "connection/SocketController.h"

#include "connection/CommandLine.h"
#include "connection/ThreadConnection.h"
#include "transfer/SocketBytes.h"

#include <QTimer>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr qsizetype kReceiveChunk = 4096;

} // namespace

CSocketController::CSocketController(CThreadConnection* thread, CFtpServer* mainWindow)
    : m_pThread(thread), m_pMainWindow(mainWindow)
{}

CSocketController::~CSocketController() = default;

void CSocketController::OnReceive(int error)
{
    Q_UNUSED(error);
    if (CommandsPaused())
        return; // left unread: the socket holds further notifications until the pause ends
    char buffer[kReceiveChunk + 1];
    const qint64 received = Receive(buffer, kReceiveChunk);
    if (received < 0)
        return; // would-block or another error: the connection stays open
    if (received == 0) {
        Close();
        m_pThread->RequestQuit();
        return;
    }
    AppendReceived(m_strReceived, buffer, received);
    ExtractCommands();
}

void CSocketController::OnClose(int error)
{
    Q_UNUSED(error);
    Close();
    m_pThread->RequestQuit();
}

void CSocketController::ExtractCommands()
{
    m_listCommands.append(ExtractLines(m_strReceived));
    // A command that waits for its data connection may run the lines after it from inside the
    // wait; the queue keeps them in the order received either way. Once QUIT or a failed reply
    // has closed the connection, nothing more runs.
    while (!m_listCommands.isEmpty() && IsOpen() && !CommandsPaused())
        ExecuteCommand();
    // SECURITY: a client sending without ever ending a line must not grow memory without bound.
    if (m_strReceived.size() > kMaxPartialLine && IsOpen()) {
        m_strReceived.clear();
        SendReply("500 Command line too long.");
        Close();
        m_pThread->RequestQuit();
    }
}

void CSocketController::PauseCommands(int ms, std::function<void()> resume)
{
    if (!m_pPauseTimer) {
        m_pPauseTimer = std::make_unique<QTimer>();
        m_pPauseTimer->setSingleShot(true);
    }
    QObject::disconnect(m_pPauseTimer.get(), &QTimer::timeout, nullptr, nullptr);
    QObject::connect(m_pPauseTimer.get(), &QTimer::timeout, m_pPauseTimer.get(), [this, resume] {
        resume();
        ResumeReceive();
        ExtractCommands();
    });
    m_pPauseTimer->start(ms);
}

bool CSocketController::CommandsPaused() const
{
    return m_pPauseTimer && m_pPauseTimer->isActive();
}

bool CSocketController::SendReply(const char* pszFormat, ...)
{
    va_list arguments;
    va_start(arguments, pszFormat);
    va_list measure;
    va_copy(measure, arguments);
    const int length = vsnprintf(nullptr, 0, pszFormat, measure);
    va_end(measure);
    QByteArray reply(qMax(length, 0) + 2, Qt::Uninitialized);
    vsnprintf(reply.data(), size_t(length) + 1, pszFormat, arguments);
    va_end(arguments);

    // SECURITY: a CR or LF from a client's argument or a setting must not end the line early.
    char* text = reply.data();
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\r' || text[i] == '\n')
            text[i] = ' ';
    }
    text[length] = '\r';
    text[length + 1] = '\n';

    CThreadConnection* thread = m_pThread;
    if (!IsOpen() || !SendAll(reply.constData(), reply.size(), [thread] { return thread->QuitRequested(); })) {
        Close();
        m_pThread->RequestQuit();
        return false;
    }
    m_pThread->UpdateLastActivity();
    return true;
}
