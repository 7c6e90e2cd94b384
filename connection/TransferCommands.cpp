// LIST, RETR, STOR and ABOR: the replies around a transfer; the chunks move in CSocketBytes.

#include "connection/BelowRoot.h"
#include "connection/ConnectionHost.h"
#include "connection/Replies.h"
#include "connection/SocketController.h"
#include "core/Settings.h"
#include "transfer/SocketBytes.h"

#include <fcntl.h>

void CSocketController::OnList(const QByteArray& argument)
{
    if (RefuseClearTransfer())
        return;
    EndRunningTransfer();
    // Options ("-a", "-la", ...) come first and are skipped; what follows names the folder or
    // file to list, the current folder when nothing does.
    QByteArray path = argument;
    while (path.startsWith('-')) {
        const qsizetype space = path.indexOf(' ');
        path = space < 0 ? QByteArray() : path.mid(space + 1);
        while (path.startsWith(' '))
            path.remove(0, 1);
    }
    QByteArray listing;
    if (!BuildListing(path, listing))
        return;
    SendReply("150 ASCII mode.");
    BeginTransfer(TransferKind::List, listing);
}

void CSocketController::OnRetr(const QByteArray& argument)
{
    StartFileTransfer(argument, TransferKind::Download);
}

void CSocketController::OnStor(const QByteArray& argument)
{
    StartFileTransfer(argument, TransferKind::Upload);
}

void CSocketController::StartFileTransfer(const QByteArray& argument, TransferKind kind)
{
    if (RefuseClearTransfer())
        return;
    EndRunningTransfer();
    const bool upload = kind == TransferKind::Upload;
    QByteArray diskPath;
    const PathResult result = ResolveFilePath(argument, upload ? AccessUpload : AccessDownload, diskPath);
    if (result == PathFileNotFound) {
        SendReply("%s", upload ? "550 Invalid filename." : Reply::kFileNotFound);
        return;
    }
    if (result == PathNotAllowed) {
        SendReply("%s", Reply::kNotAllowed);
        return;
    }
    SendReply("%s", Reply::kBinaryMode);
    BeginTransfer(kind, diskPath);
}

void CSocketController::BeginTransfer(TransferKind kind, const QByteArray& argument)
{
    switch (OpenDataConnection()) {
    case DataReadiness::Ready:
        StartTransfer(kind, argument);
        break;
    case DataReadiness::Waiting:
        // The lines after this one run meanwhile (ABOR above all).
        m_transfer = Transfer{kind, argument, Transfer::EPhase::AwaitingConnection};
        m_dataWait.start(m_pHost->Settings().GetDurations().DataWaitMs);
        break;
    case DataReadiness::Failed:
        CloseDataConnection();
        break;
    }
}

void CSocketController::StartTransfer(TransferKind kind, const QByteArray& argument)
{
    // The transfer counts as running before it starts: it may end (and report) at once.
    m_transfer = Transfer{kind, argument, Transfer::EPhase::Running};
    switch (kind) {
    case TransferKind::List:
        if (argument.isEmpty()) {
            m_pDataSocket->DiscardReceived(); // what the client sent must not make the close a reset
            CloseDataConnection();
            SendReply("%s", Reply::kTransferCompleted);
            ContinueAfterTransfer();
            return;
        }
        m_pDataSocket->StartSendText(argument);
        break;
    // SECURITY: the file is opened as the transfer starts, which may be long after its command was
    // checked: what is opened is checked again where it really lies, so that no rename meanwhile
    // leads out of the root. O_NONBLOCK keeps a FIFO from stalling the thread.
    case TransferKind::Download:
        m_pDataSocket->StartSendFile([&] { return VirtualFolder().OpenFile(argument, O_RDONLY | O_NONBLOCK); });
        break;
    case TransferKind::Upload:
        // Replacing a file needs the delete permission, also when the file came under the name after
        // the check.
        m_pDataSocket->StartReceiveFile([&] {
            return CEntryFolder(VirtualFolder().Root(), argument)
                .OpenForWriting(m_pHost->Settings().Get().AllowDeleteFiles);
        });
        break;
    }
}

void CSocketController::EndRunningTransfer()
{
    // Each 150 gets one final reply: the transfer's comes before the next command's. One still
    // waiting leaves its connection to the command that follows.
    if (IsTransferRunning()) {
        m_transfer.reset();
        CloseTransfer(Reply::kConnectionClosed);
    } else if (HasTransfer()) {
        CancelPendingTransfer();
        SendReply("%s", Reply::kConnectionClosed);
    }
}

void CSocketController::CancelPendingTransfer()
{
    if (!HasTransfer() || IsTransferRunning())
        return;
    m_dataWait.stop();
    m_transfer.reset();
}

void CSocketController::FireDataWait()
{
    if (m_dataWait.isActive()) {
        m_dataWait.stop();
        OnDataWaitExpired();
    }
}

void CSocketController::OnDataWaitExpired()
{
    AssertOnThread();
    if (!HasTransfer() || IsTransferRunning() || !IsOpen())
        return;
    if (m_pDataSocket && m_pDataSocket->IsHandshaking())
        OnDataTlsFailed("time limit reached");
    SendReply("%s", Reply::kSocketNotCreated);
    CloseDataConnection();
    ContinueAfterTransfer();
}

void CSocketController::OnTransferEnded(TransferEnd end)
{
    AssertOnThread();
    if (!IsTransferRunning()) {
        // The client closed a data connection that carried nothing, as clients do after a command
        // was refused: no reply, which the client would take for the answer to its next command.
        // The connection stays as it is: a STOR after it gets its (empty) file, a LIST or RETR
        // its 426.
        return;
    }
    const char* reply = Reply::kConnectionClosed;
    switch (end) {
    case TransferEnd::Completed:
        reply = Reply::kTransferCompleted;
        break;
    case TransferEnd::FileError:
        if (m_transfer->kind == TransferKind::Upload)
            reply = Reply::kFileAccessError;
        break;
    case TransferEnd::PeerClosed:
    case TransferEnd::SocketError:
        break;
    }
    m_transfer.reset();
    CloseTransfer(reply);
    ContinueAfterTransfer();
}

void CSocketController::CloseTransfer(const char* reply)
{
    SendReply("%s", reply);
    CloseDataConnection();
}

void CSocketController::OnAbor()
{
    // A transfer running or waiting for its connection gets its 426; a finished one had its reply.
    if (HasTransfer())
        SendReply("%s", Reply::kConnectionClosed);
    // Nothing more may move, least of all a completion reply; ABOR leaves the state as it is.
    CloseDataConnection();
    SendReply("226 ABOR command OK.");
}
