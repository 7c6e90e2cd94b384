#include "connection/SocketController.h"

#include "connection/CommandLine.h"
#include "connection/ConnectionHost.h"
#include "connection/ThreadConnection.h"
#include "core/InternetAddress.h"
#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "tls/TlsStream.h"
#include "transfer/SocketBytes.h"

#include <QThread>

#include <cstdarg>
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype kReceiveChunk = 4096;

} // namespace

CSocketController::CSocketController(CThreadConnection* thread, IConnectionHost* host)
    : m_pThread(thread), m_pHost(host), m_tls(host->Tls())
{
    for (QTimer* pause : {&m_passwordTurn, &m_refusalPause}) {
        pause->setSingleShot(true);
        pause->setTimerType(Qt::PreciseTimer); // a coarse timer may end a pause 5 % early
    }
    QObject::connect(&m_passwordTurn, &QTimer::timeout, &m_context, [this] {
        Q_ASSERT(m_eHold == CommandHold::PasswordTurn);
        CheckPassword(*std::exchange(m_waitingPassword, std::nullopt), true);
        if (m_eHold == CommandHold::PasswordTurn)
            ResumeCommands(); // logged in
    });
    QObject::connect(&m_refusalPause, &QTimer::timeout, &m_context, [this] { AnswerRefusal(); });
    m_dataWait.setSingleShot(true);
    QObject::connect(&m_dataWait, &QTimer::timeout, &m_context, [this] { OnDataWaitExpired(); });
    m_handshakeWait.setSingleShot(true);
    QObject::connect(&m_handshakeWait, &QTimer::timeout, &m_context, [this] {
        if (m_eTls == EControlTls::Handshaking)
            EndConnection();
    });
}

CSocketController::~CSocketController()
{
    // A public address still being looked up must not come back to a connection that is gone.
    m_pHost->InternetAddress().Cancel(&m_context);
    // A transfer cut short with its session (the idle time-out, the server's stop, a reset control
    // connection) ends in a reset, not the end of the stream: the client must not take what it
    // got for the whole. QUIT and the client's close wait for a running transfer instead.
    if (IsTransferRunning() && m_pDataSocket)
        m_pDataSocket->CloseWithReset();
}

void CSocketController::AssertOnThread() const
{
    Q_ASSERT(QThread::currentThread() == m_pThread);
}

void CSocketController::OnReceive(int error)
{
    Q_UNUSED(error);
    AssertOnThread();
    m_closedDataSockets.clear();
    if (m_eTls == EControlTls::Handshaking) {
        ContinueHandshake();
        return;
    }
    char buffer[kReceiveChunk + 1];
    if (m_eHold == CommandHold::TransferEnd) {
        // No line after a QUIT runs: what comes meanwhile is dropped, so that the close after it
        // is no reset. A reset cuts the transfer with the session; the end of the client's lines
        // changes nothing, as the QUIT still runs (reading stops there).
        if (ReceiveBytes(buffer, kReceiveChunk) == kReceiveFailed)
            EndConnection();
        return;
    }
    if (m_eHold != CommandHold::None)
        return; // left unread: the socket holds further notifications until the hold ends
    const qint64 received = ReceiveBytes(buffer, kReceiveChunk);
    if (received == kNothingYet)
        return;
    if (received == 0 && HasTransfer()) {
        // The client sent its last line and closed its side: the transfer still ends and is told.
        m_bEndAfterTransfer = true;
        HoldCommands(CommandHold::TransferEnd);
        return;
    }
    if (received <= 0) { // the client closed or reset the connection
        EndConnection();
        return;
    }
    AppendReceived(m_strReceived, buffer, received);
    // The rest of a TLS record read in part: no notification of the socket would tell of it.
    for (qint64 more; m_pTls && m_pTls->HasPending() && (more = ReceiveBytes(buffer, kReceiveChunk)) > 0;)
        AppendReceived(m_strReceived, buffer, more);
    ExtractCommands();
}

qint64 CSocketController::ReceiveBytes(char* buffer, qint64 size)
{
    if (!m_pTls) {
        const qint64 received = Receive(buffer, size);
        if (received < 0)
            return IsWouldBlock(LastError()) ? kNothingYet : kReceiveFailed;
        return received;
    }
    const CTlsStream::Result read = m_pTls->Read(buffer, size);
    if (read.status == CTlsStream::EStatus::Done)
        return read.bytes;
    if (CTlsStream::IsWaiting(read.status))
        return kNothingYet;
    if (read.status == CTlsStream::EStatus::Closed)
        return 0;
    m_pHost->Monitor().AddAddressLine("TLS failed (" + m_pTls->ErrorText() + "): ", MonitorColor::Red,
                                      m_strClientAddress, MonitorColor::Teal);
    return kReceiveFailed;
}

void CSocketController::OnSend(int error)
{
    Q_UNUSED(error);
    AssertOnThread();
    if (m_eTls == EControlTls::Handshaking)
        ContinueHandshake();
}

void CSocketController::OnClose(int error)
{
    AssertOnThread();
    // A client that sent its last lines and closed its side still reads the replies: lines held
    // by a pause run first, and the end is met again when reading resumes after it.
    if (error == 0 && m_eHold != CommandHold::None)
        return;
    EndConnection();
}

void CSocketController::EndConnection()
{
    // Only a time limit (the handshake's, the login's, the idle one) ends a handshake from here.
    if (m_eTls == EControlTls::Handshaking)
        NoteHandshakeFailed("time limit reached");
    FlushReplies();    // a last reply (221, 500) still reaches the client
    DiscardReceived(); // a close with bytes unread would be a reset, which may take the replies with it
    Close();
    m_pThread->EndClient();
}

void CSocketController::ExtractCommands()
{
    Q_ASSERT(!m_bBatchReplies); // no command runs inside another
    m_listCommands.append(ExtractLines(m_strReceived));
    // The replies of the lines run here leave in one write at the end: a small download's 150 and
    // 226 then reach the client together, after its data, and wake it once instead of three times.
    m_bBatchReplies = true;
    // Once QUIT has closed the connection, nothing more runs. A reply that cannot be sent is found
    // when the run's replies go out, and closes the connection then.
    while (!m_listCommands.isEmpty() && IsOpen() && m_eHold == CommandHold::None)
        ExecuteCommand();
    m_bBatchReplies = false;
    FlushReplies();
    // SECURITY: a client sending without ever ending a line must not grow memory without bound.
    if (m_strReceived.size() > kMaxPartialLine && IsOpen()) {
        m_strReceived.clear();
        SendReply("500 Command line too long.");
        EndConnection();
    }
}

void CSocketController::ContinueAfterTransfer()
{
    if (m_eHold != CommandHold::TransferEnd || !IsOpen())
        return;
    if (m_bEndAfterTransfer)
        EndConnection();
    else
        ResumeCommands(); // the QUIT that waited
}

void CSocketController::HoldCommands(CommandHold hold)
{
    m_eHold = hold;
}

void CSocketController::ResumeCommands()
{
    AssertOnThread();
    m_eHold = CommandHold::None;
    ResumeReceive();
    QMetaObject::invokeMethod(
        &m_context,
        [this] {
            if (IsOpen() && m_eHold == CommandHold::None)
                ExtractCommands();
        },
        Qt::QueuedConnection);
}

bool CSocketController::SendReply(const char* pszFormat, ...)
{
    if (!IsOpen())
        return false;
    va_list arguments;
    va_start(arguments, pszFormat);
    va_list measure;
    va_copy(measure, arguments);
    const int length = qMax(vsnprintf(nullptr, 0, pszFormat, measure), 0);
    va_end(measure);
    const qsizetype at = m_strReplies.size();
    m_strReplies.resize(at + length + 2);
    char* text = m_strReplies.data() + at;
    vsnprintf(text, size_t(length) + 1, pszFormat, arguments);
    va_end(arguments);

    // SECURITY: a CR or LF from a client's argument or a setting must not end the line early.
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\r' || text[i] == '\n')
            text[i] = ' ';
    }
    text[length] = '\r';
    text[length + 1] = '\n';
    return m_bBatchReplies || FlushReplies();
}

bool CSocketController::FlushReplies()
{
    // Nothing can reach a client whose handshake has not completed: only the end of the connection
    // comes then.
    if (m_strReplies.isEmpty() || m_eTls == EControlTls::Handshaking || m_eTls == EControlTls::Failed) {
        m_strReplies.resize(0);
        CloseEndedStreams();
        return true;
    }
    // A client that takes no reply bytes for the idle time-out is gone: the wait ends with it, as
    // the idle timer cannot run meanwhile.
    CThreadConnection* thread = m_pThread;
    const auto abandon = [thread] { return thread->QuitRequested() || thread->IdleTimeOutPassed(); };
    const bool sent = IsOpen() && (m_pTls ? m_pTls->WriteAll(m_strReplies.constData(), m_strReplies.size(), abandon)
                                          : SendAll(m_strReplies.constData(), m_strReplies.size(), abandon));
    m_strReplies.resize(0); // keeps its room for the next replies
    CloseEndedStreams();
    if (!sent) {
        EndConnection();
        return false;
    }
    m_pThread->UpdateLastActivity();
    return true;
}

void CSocketController::CloseEndedStreams()
{
    for (const std::unique_ptr<CSocketBytes>& closed : m_closedDataSockets)
        closed->StopTransfer(); // done at once for any but a completed send's
}
