// LIST, RETR, STOR and ABOR: the replies around a transfer; the chunks move in CSocketBytes.

#include "connection/SocketController.h"
#include "transfer/SocketBytes.h"

void CSocketController::OnList(const QByteArray& argument)
{
    Q_UNUSED(argument); // options and names alike: the current folder is listed
    QByteArray listing;
    if (!BuildListing(QByteArray(), listing))
        return;
    SendReply("150 ASCII mode.");
    if (!OpenDataConnection()) {
        CloseDataConnection();
        return;
    }
    if (listing.isEmpty()) {
        CloseDataConnection();
        SendReply("226 Transfer completed.");
        m_nState = StateIdle;
        return;
    }
    m_nState = StateSendingList;
    m_pDataSocket->StartSendText(listing);
}

void CSocketController::OnRetr(const QByteArray& argument)
{
    QByteArray diskPath;
    const int result = ResolveFilePath(argument, AccessDownload, diskPath);
    m_nState = StateSendingFile;
    if (result == PathFileNotFound) {
        SendReply("550 File not found.");
        return;
    }
    if (result == PathNotAllowed) {
        SendReply("550 Not allowed.");
        return;
    }
    SendReply("150 Binary mode.");
    if (!OpenDataConnection()) {
        m_nState = StateIdle;
        CloseDataConnection();
        return;
    }
    m_pDataSocket->StartSendFile(diskPath);
}

void CSocketController::OnStor(const QByteArray& argument)
{
    QByteArray diskPath;
    const int result = ResolveFilePath(argument, AccessUpload, diskPath);
    m_nState = StateReceivingFile;
    if (result == PathFileNotFound) {
        SendReply("550 Invalid filename.");
        return;
    }
    if (result == PathNotAllowed) {
        SendReply("550 Not allowed.");
        return;
    }
    SendReply("150 Binary mode.");
    if (!OpenDataConnection()) {
        m_nState = StateIdle;
        CloseDataConnection();
        return;
    }
    m_pDataSocket->StartReceiveFile(diskPath);
}

void CSocketController::OnAbor()
{
    if (m_pDataSocket) {
        if (m_nState != StateIdle)
            SendReply("426 Connection closed.");
        // Nothing more may move before the close request is taken, least of all a completion reply.
        m_pDataSocket->StopTransfer();
        PostCloseData();
    }
    SendReply("226 ABOR command OK.");
}
