#pragma once

#include "platform/AsyncSocket.h"
#include "platform/UniqueFd.h"
#include "transfer/DataSocketEvents.h"
#include "transfer/FileCopy.h"
#include "transfer/TlsCopy.h"
#include "transfer/TransferLimits.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>

class CTlsContext;
class CTlsStream;

// The data connection of one client: a passive listening socket or an active connect, then one
// transfer (a listing, a download or an upload) moved in bounded steps as the socket becomes
// ready. Under PROT P the connection is TLS: a server handshake first, which has to complete before
// the connection counts as connected. Lives on the client's connection thread; reports to its owner through
// IDataSocketEvents and is destroyed by the owner later, never inside one of its own notifications.
class CSocketBytes : public CAsyncSocket
{
public:
    explicit CSocketBytes(IDataSocketEvents& owner, const QByteArray& clientAddress);
    ~CSocketBytes() override;

    // The connections taken from now on are encrypted with the context; null: clear.
    void SetProtection(std::shared_ptr<const CTlsContext> context) { m_tlsContext = std::move(context); }
    // The TLS handshake of the connection is under way.
    bool IsHandshaking() const { return m_pTls && !m_bConnected; }

    // Connection thread, once connected. Each starts one transfer and reports its end.
    // Sends a listing. PeerClosed at once when the client has closed the connection already.
    void StartSendText(const QByteArray& text);
    // The file is opened by openFile (none when it could not be) only when the transfer can run:
    // not for a client that has closed or reset the connection already.
    // Sends the file open for reading; FileError when there is none, PeerClosed as for a listing.
    void StartSendFile(const std::function<CUniqueFd()>& openFile);
    // Receives into the file open for writing, which this empties; FileError when there is none, it
    // is no regular file, or another upload receives into it. A reset connection brings no upload.
    void StartReceiveFile(const std::function<CUniqueFd()>& openFile);
    // Ends any transfer and the connection at once, without a report: nothing more moves. A send
    // that completed has ended the stream already; this closes what is left of it.
    void StopTransfer();
    // A send completed and ended the stream: the owner still has to StopTransfer.
    bool StreamEnded() const { return m_bStreamEnded; }
    // The passive listening descriptor, given up for another data socket of the same client:
    // the one this socket accepted from, or its own while it still listens; none when none.
    CUniqueFd ReleaseListener();

    bool IsConnected() const { return m_bConnected; }
    // Takes the client's connection when it waits at the passive port and the loop has not told
    // yet: a client that connects and sends its transfer command together is then served in the
    // same pass, and the command's replies can leave in one write after the data.
    void TakeClientConnection();

protected:
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnAccept(int error) override;
    // Accepts one connection: false when none was waiting.
    bool AcceptClient();
    // The client ended the connection before a transfer ran on it: closed (0) or reset (an error).
    void NotePeerEnd(int error);
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

    // The connection is up: connected at once, or once its TLS handshake has completed.
    void NoteConnected();
    void ContinueHandshake();
    // A completed send: the end of the stream, after close_notify on an encrypted connection.
    void CompleteSend();
    // An encrypted connection's failure, told to the owner ahead of the end it brings.
    void ReportTlsFailure();
    // The steps of the copies, through TLS on an encrypted connection.
    CFileCopy::Result SendFileStep(qint64 size);
    CFileCopy::Result ReceiveFileStep();
    // One step of an upload: bytes taken in, 0 when it ended (or none runs), -1 when nothing
    // could be read now.
    qint64 ReceiveChunk();
    void SendListChunks();
    void SendFileChunks();
    // Stops the transfer and reports how it ended.
    void Finish(TransferEnd end);
    void CloseFile();

    IDataSocketEvents& m_owner;
    QByteArray m_strClientAddress; // the only host allowed to take a passive connection
    bool m_bConnected = false;
    bool m_bStreamEnded = false; // a completed send shut its side down; the descriptor is still open
    CUniqueFd m_usedListener;    // the passive listener after its one connection, not watched
    bool m_bPeerClosed = false;  // the client closed the connection before any transfer ran on it
    bool m_bPeerReset = false;   // ... and reset it: an upload gets nothing, not an empty file
    Transfer m_transfer = Transfer::None;
    CUniqueFd m_file;                // the file of the current RETR or STOR
    std::optional<CFileCopy> m_copy; // how its bytes move when clear
    std::shared_ptr<const CTlsContext> m_tlsContext;
    std::unique_ptr<CTlsStream> m_pTls;   // the connection's TLS session, once it is taken
    std::unique_ptr<CTlsCopy> m_pTlsCopy; // how bytes move through it
    QByteArray m_strPending;              // the listing being sent
    quint64 m_nSent = 0;                  // bytes sent (or received) so far
    quint64 m_nTotal = 0;                 // size of the current send
};
