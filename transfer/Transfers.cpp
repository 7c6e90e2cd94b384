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
    StartFileTransfer(argument, AccessDownload, StateSendingFile, "550 File not found.", &CSocketBytes::StartSendFile);
}

void CSocketController::OnStor(const QByteArray& argument)
{
    StartFileTransfer(argument, AccessUpload, StateReceivingFile, "550 Invalid filename.",
                      &CSocketBytes::StartReceiveFile);
}

void CSocketController::StartFileTransfer(const QByteArray& argument, int accessMode, int state,
                                          const char* notFoundReply, void (CSocketBytes::*start)(const QByteArray&))
{
    QByteArray diskPath;
    const int result = ResolveFilePath(argument, accessMode, diskPath);
    m_nState = state; // whatever the outcome of the resolution
    if (result == PathFileNotFound) {
        SendReply("%s", notFoundReply);
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
    (m_pDataSocket.get()->*start)(diskPath);
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
