#pragma once

#include "platform/AsyncSocket.h"
#include "transfer/TransferLimits.h"

#include <QByteArray>

class CSocketController;

// The data connection of one client: a passive listening socket or an active connect, then one
// transfer (a listing, a download or an upload) moved in 4096-byte chunks as the socket becomes
// ready. Lives on the client's connection thread and is owned by its control connection; every
// ending path asks the control connection to destroy it later, never inside its own notification.
class CSocketBytes : public CAsyncSocket
{
public:
    explicit CSocketBytes(CSocketController* controller);
    ~CSocketBytes() override;

    // Sends a listing. Replies at its end; StateSendingList must be set.
    void StartSendText(const QByteArray& text);
    // Sends a file. "426 Connection closed." when it cannot be opened.
    void StartSendFile(const QByteArray& diskPath);
    // Receives into a file, created or emptied. "450 File access error." when it cannot be opened.
    void StartReceiveFile(const QByteArray& diskPath);
    // Ends any transfer at once, without a reply (ABOR): nothing more is sent, received or written.
    void StopTransfer();

    bool m_bConnected = false;
    bool m_bConnectFailed = false; // an active connect failed later; it has replied
    bool m_bPeerClosed = false;    // the client ended an upload before its file was open

protected:
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnClose(int error) override;

private:
    qint64 ReceiveChunk();
    void SendListChunks();
    void SendFileChunks();
    // Ends the transfer: closes the file and the socket, replies, asks for the close-data.
    void Finish(const char* reply, bool toIdle);
    void CloseFile();

    int m_file = -1;         // the file of the current RETR or STOR; -1 when none is open
    QByteArray m_strPending; // the listing being sent
    quint64 m_nSent = 0;     // bytes sent (or received) so far
    quint64 m_nTotal = 0;    // size of the current send
    CSocketController* m_pController;
    char m_buffer[kChunkSize]; // the one chunk in memory
};
