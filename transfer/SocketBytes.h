#pragma once

#include "platform/AsyncSocket.h"
#include "transfer/DataSocketEvents.h"
#include "transfer/TransferLimits.h"

#include <QByteArray>

// The data connection of one client: a passive listening socket or an active connect, then one
// transfer (a listing, a download or an upload) moved in 4096-byte chunks as the socket becomes
// ready. Lives on the client's connection thread; reports to its owner through IDataSocketEvents
// and is destroyed by the owner later, never inside one of its own notifications.
class CSocketBytes : public CAsyncSocket
{
public:
    explicit CSocketBytes(IDataSocketEvents& owner, const QByteArray& clientAddress);
    ~CSocketBytes() override;

    // Connection thread, once connected. Each starts one transfer and reports its end.
    // Sends a listing. PeerClosed at once when the client has closed the connection already.
    void StartSendText(const QByteArray& text);
    // Sends a file; FileError when it cannot be opened, PeerClosed as for a listing.
    void StartSendFile(const QByteArray& diskPath);
    // Receives into a file, created or emptied; FileError when it cannot be opened.
    void StartReceiveFile(const QByteArray& diskPath);
    // Ends any transfer and the connection at once, without a report: nothing more moves.
    void StopTransfer();

    bool IsConnected() const { return m_bConnected; }

protected:
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnAccept(int error) override;
    void OnConnect(int error) override;
    void OnClose(int error) override;

private:
    enum class Transfer
    {
        None,
        List,
        Download,
        Upload
    };

    qint64 ReceiveChunk();
    void SendListChunks();
    void SendFileChunks();
    // Stops the transfer and reports how it ended.
    void Finish(TransferEnd end);
    void CloseFile();

    IDataSocketEvents& m_owner;
    QByteArray m_strClientAddress; // the only host allowed to take a passive connection
    bool m_bConnected = false;
    bool m_bPeerClosed = false; // the client closed the connection before any transfer ran on it
    Transfer m_transfer = Transfer::None;
    int m_file = -1;           // the file of the current RETR or STOR; -1 when none is open
    QByteArray m_strPending;   // the listing being sent
    quint64 m_nSent = 0;       // bytes sent (or received) so far
    quint64 m_nTotal = 0;      // size of the current send
    char m_buffer[kChunkSize]; // the one chunk in memory
};
