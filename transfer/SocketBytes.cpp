#include "transfer/SocketBytes.h"

#include "tls/TlsStream.h"
#include "transfer/DataSocketEvents.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Keeps a descriptor of a regular file, info its state; none for anything else.
CUniqueFd KeepRegularFile(CUniqueFd fd, struct stat& info)
{
    if (fd.IsValid() && (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)))
        fd.Reset();
    return fd;
}

} // namespace

CSocketBytes::CSocketBytes(IDataSocketEvents& owner, const QByteArray& clientAddress)
    : m_owner(owner), m_strClientAddress(clientAddress)
{}

CSocketBytes::~CSocketBytes() = default;

CUniqueFd CSocketBytes::ReleaseListener()
{
    if (m_usedListener.IsValid())
        return std::move(m_usedListener);
    return CUniqueFd(IsListening() ? Detach() : -1);
}

void CSocketBytes::CloseFile()
{
    m_copy.reset();
    m_file.Reset();
}

void CSocketBytes::StopTransfer()
{
    if (std::exchange(m_bStreamEnded, false))
        DiscardReceived(); // bytes a client sent during a download must not cut off its end
    CloseFile();
    m_pTlsCopy.reset();
    m_pTls.reset();
    Close();
    m_bConnected = false;
    m_transfer = Transfer::None;
    m_strPending.clear();
    m_nSent = m_nTotal = 0;
}

void CSocketBytes::Finish(TransferEnd end)
{
    // Some file systems (NFS, quotas) report a failed write only when the file is closed.
    if (m_transfer == Transfer::Upload && m_file.Reset() != 0 && end == TransferEnd::Completed)
        end = TransferEnd::FileError;
    // The client ended its upload; its session ends as it should too. A cut one gets none, so that
    // no client takes a cut download for the whole.
    if (m_transfer == Transfer::Upload && end == TransferEnd::Completed && m_pTls)
        m_pTls->Shutdown();
    if (end == TransferEnd::Completed && m_transfer != Transfer::Upload) {
        // The data and the end of the stream leave now, ahead of the replies that tell of them; the
        // owner's StopTransfer closes the connection once those are sent, when the client is on
        // its way to the next command.
        ShutDown(SHUT_WR);
        m_bStreamEnded = true;
        m_transfer = Transfer::None;
        m_owner.OnTransferEnded(end);
        return;
    }
    if (m_transfer != Transfer::Upload)
        DiscardReceived(); // bytes a client sent during a download must not cut off its end
    StopTransfer();
    m_owner.OnTransferEnded(end);
}

void CSocketBytes::StartSendText(const QByteArray& text)
{
    CloseFile();
    m_transfer = Transfer::List;
    if (m_bPeerClosed) {
        Finish(TransferEnd::PeerClosed);
        return;
    }
    HoldPartialSegments(); // the listing's 4096-byte sends leave as full segments
    m_strPending = text;
    m_nTotal = quint64(text.size());
    m_nSent = 0;
    SendListChunks();
}

void CSocketBytes::StartSendFile(const std::function<CUniqueFd()>& openFile)
{
    CloseFile();
    m_transfer = Transfer::Download;
    if (m_bPeerClosed) {
        Finish(TransferEnd::PeerClosed);
        return;
    }
    struct stat info = {};
    m_file = KeepRegularFile(openFile(), info);
    if (!m_file.IsValid()) {
        Finish(TransferEnd::FileError);
        return;
    }
    m_copy.emplace(*this);
    m_nTotal = quint64(info.st_size); // taken when the file is opened
    m_nSent = 0;
    SendFileChunks();
}

void CSocketBytes::StartReceiveFile(const std::function<CUniqueFd()>& openFile)
{
    CloseFile();
    m_transfer = Transfer::Upload;
    if (m_bPeerReset) {
        Finish(TransferEnd::SocketError); // no upload can come: nothing is created or emptied
        return;
    }
    struct stat info = {};
    m_file = KeepRegularFile(openFile(), info);
    // One upload at a time into a file: a second one would empty it under the first, and both
    // would write their bytes over each other's. A file system without locks takes it unlocked.
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    const bool alone =
        m_file.IsValid() && (::fcntl(m_file.Get(), F_OFD_SETLK, &whole) == 0 || (errno != EAGAIN && errno != EACCES));
    // An empty file is left as it is: ext4 takes a truncation to zero for a file being replaced and
    // writes the whole upload out when it is closed, holding up the 226.
    if (!alone || (info.st_size > 0 && ::ftruncate(m_file.Get(), 0) != 0)) {
        Finish(TransferEnd::FileError);
        return;
    }
    m_copy.emplace(*this);
    m_nSent = 0;
    // Data (even the whole upload and its end) may have come before the file was open; it waits
    // unread in the socket, whose read notifications paused meanwhile.
    ResumeReceive();
    OnReceive(0);
}

void CSocketBytes::OnSend(int error)
{
    Q_UNUSED(error);
    if (IsHandshaking())
        ContinueHandshake();
    else if (m_transfer == Transfer::List)
        SendListChunks();
    else if (m_transfer == Transfer::Download)
        SendFileChunks();
}

void CSocketBytes::NoteConnected()
{
    if (!m_tlsContext) {
        m_bConnected = true;
        m_owner.OnDataConnected();
        return;
    }
    m_pTls = std::make_unique<CTlsStream>(m_tlsContext, *this);
    // Clients resume the control connection's session here. A ticket would come after the client's
    // side of the handshake is done, in the middle of its upload, which lftp takes for a failure.
    m_pTls->IssueNoTickets();
    m_pTls->ReadAhead();
    ContinueHandshake();
}

void CSocketBytes::ContinueHandshake()
{
    const CTlsStream::EStatus status = m_pTls->Handshake();
    if (status == CTlsStream::EStatus::Done) {
        m_pTlsCopy = std::make_unique<CTlsCopy>(*m_pTls);
        m_bConnected = true;
        m_owner.OnDataConnected();
    } else if (!CTlsStream::IsWaiting(status)) {
        ReportTlsFailure();
        StopTransfer();
        m_owner.OnDataConnectFailed();
    }
}

void CSocketBytes::CompleteSend()
{
    const CTlsStream::EStatus status = m_pTls ? m_pTls->Shutdown() : CTlsStream::EStatus::Done;
    if (CTlsStream::IsWaiting(status))
        return; // asked again by the next OnSend, with nothing left to send
    if (status != CTlsStream::EStatus::Done)
        ReportTlsFailure();
    Finish(status == CTlsStream::EStatus::Done ? TransferEnd::Completed : TransferEnd::SocketError);
}

void CSocketBytes::ReportTlsFailure()
{
    if (m_pTls)
        m_owner.OnDataTlsFailed(m_pTls->ErrorText());
}

CFileCopy::Result CSocketBytes::SendFileStep(qint64 size)
{
    return m_pTlsCopy ? m_pTlsCopy->SendFromFile(m_file.Get(), qint64(m_nSent), size)
                      : m_copy->SendFromFile(m_file.Get(), qint64(m_nSent), size);
}

CFileCopy::Result CSocketBytes::ReceiveFileStep()
{
    return m_pTlsCopy ? m_pTlsCopy->ReceiveIntoFile(m_file.Get()) : m_copy->ReceiveIntoFile(m_file.Get());
}

void CSocketBytes::SendListChunks()
{
    while (m_nSent < m_nTotal) {
        const qint64 chunk = qint64(qMin<quint64>(kChunkSize, m_nTotal - m_nSent));
        if (m_pTlsCopy) {
            const CFileCopy::Result sent = m_pTlsCopy->SendBytes(m_strPending.constData() + m_nSent, chunk);
            if (sent.status == CFileCopy::EStatus::SocketError) {
                ReportTlsFailure();
                Finish(TransferEnd::SocketError);
            }
            if (sent.status != CFileCopy::EStatus::Moved)
                return; // would-block: OnSend goes on
            m_nSent += quint64(sent.bytes);
            continue;
        }
        const qint64 sent = Send(m_strPending.constData() + m_nSent, chunk);
        if (sent < 0) {
            if (!IsWouldBlock(LastError()))
                Finish(TransferEnd::SocketError);
            return; // would-block: OnSend goes on
        }
        m_nSent += quint64(sent);
    }
    CompleteSend();
}

void CSocketBytes::SendFileChunks()
{
    qint64 moved = 0;
    while (m_nSent < m_nTotal) {
        if (moved >= kStepBytes) {
            ContinueSending(); // the rest after the thread's other events
            break;
        }
        const quint64 step = qMin<quint64>(kStepBytes - moved, m_nTotal - m_nSent);
        // The file's last bytes leave with the end of the stream, in one segment. Not before: a
        // corked bulk transfer on loopback goes faster but costs the sender more CPU per byte.
        if (step == m_nTotal - m_nSent)
            HoldPartialSegments();
        const CFileCopy::Result sent = SendFileStep(qint64(step));
        if (sent.status == CFileCopy::EStatus::SocketError)
            ReportTlsFailure();
        if (sent.status == CFileCopy::EStatus::FileError || sent.status == CFileCopy::EStatus::SocketError) {
            // A FileError: truncated or unreadable meanwhile.
            Finish(sent.status == CFileCopy::EStatus::FileError ? TransferEnd::FileError : TransferEnd::SocketError);
            return;
        }
        if (sent.status == CFileCopy::EStatus::WouldBlock)
            break; // OnSend goes on
        m_nSent += quint64(sent.bytes);
        moved += sent.bytes;
    }
    if (moved > 0)
        m_owner.OnDataMoved();
    if (m_nSent == m_nTotal)
        CompleteSend();
}

qint64 CSocketBytes::ReceiveChunk()
{
    if (m_transfer != Transfer::Upload)
        return 0;
    const CFileCopy::Result received = ReceiveFileStep();
    switch (received.status) {
    case CFileCopy::EStatus::Moved:
        m_owner.OnDataMoved();
        m_nSent += quint64(received.bytes);
        return received.bytes;
    case CFileCopy::EStatus::WouldBlock:
        return -1;
    case CFileCopy::EStatus::Ended:
        Finish(TransferEnd::Completed);
        return 0;
    case CFileCopy::EStatus::SocketError:
        ReportTlsFailure();
        Finish(TransferEnd::SocketError);
        return -1;
    case CFileCopy::EStatus::FileError:
        Finish(TransferEnd::FileError); // what was written so far stays
        return 0;
    }
    return 0;
}

void CSocketBytes::OnReceive(int error)
{
    Q_UNUSED(error);
    if (IsHandshaking()) {
        ContinueHandshake();
        return;
    }
    // A bounded step; data left over brings the next notification.
    for (qint64 moved = 0; moved < kStepBytes;) {
        const qint64 received = ReceiveChunk();
        if (received <= 0)
            return;
        moved += received;
    }
    // Records read ahead of the step's end are in no socket's notification.
    if (m_pTls && m_pTls->HasPending())
        ContinueReceiving();
}

void CSocketBytes::TakeClientConnection()
{
    // Taken earlier, and ended since: the transfer command then ends at once, as the close
    // notification would tell. One taken now was looked at as it was taken.
    if (!IsListening()) {
        if (const int end = PeerEnd(); end >= 0)
            NotePeerEnd(end);
        return;
    }
    // Bounded: others who keep connecting are left to OnAccept, one per pass of the loop.
    for (int i = 0; i <= kDataBacklog && IsListening(); ++i) {
        if (!AcceptClient())
            return;
    }
}

void CSocketBytes::OnAccept(int error)
{
    Q_UNUSED(error);
    AcceptClient();
}

bool CSocketBytes::AcceptClient()
{
    QByteArray peer;
    CUniqueFd accepted(Accept(&peer));
    if (!accepted.IsValid())
        return false;
    // SECURITY: only the client itself may take its transfer; anyone else is turned away (closed)
    // and the port keeps listening.
    if (peer != m_strClientAddress)
        return true;
    // One connection per transfer: the listening socket stops being watched, and is kept for the
    // client's next passive transfer.
    m_usedListener.Reset(Detach());
    Attach(accepted.Release());
    // Ended already (a reset connection brings no upload): the transfer that starts now must know.
    // An encrypted one's handshake meets the end itself.
    if (const int end = m_tlsContext ? -1 : PeerEnd(); end >= 0)
        NotePeerEnd(end);
    NoteConnected();
    return true;
}

void CSocketBytes::OnConnect(int error)
{
    if (error == 0)
        NoteConnected();
    else
        m_owner.OnDataConnectFailed();
}

void CSocketBytes::OnClose(int error)
{
    Q_UNUSED(error);
    if (m_transfer == Transfer::Upload) {
        // The client's close ends its upload: take in what is left; the last read reports the end.
        while (ReceiveChunk() > 0) {
        }
        return;
    }
    if (m_transfer != Transfer::None)
        StopTransfer();
    else
        NotePeerEnd(error);
    m_owner.OnTransferEnded(TransferEnd::PeerClosed);
}

void CSocketBytes::NotePeerEnd(int error)
{
    // A reset's error is reported once: a later look at the same end sees only a close.
    m_bPeerReset = m_bPeerReset || error != 0;
    m_bPeerClosed = true;
}
