#pragma once

#include "connection/ConnectionHost.h"
#include "connection/ConnectionState.h"
#include "connection/VirtualPaths.h"
#include "platform/AsyncSocket.h"
#include "transfer/DataSocketEvents.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class CSocketBytes;
class CThreadConnection;
class CTlsStream;

// The control connection of one client: command lines in, replies out, and every piece of the
// client's protocol state. It owns the data connection and decides what the data connection's
// events mean for the client. Lives on the client's connection thread; every member runs there.
//
// No command runs inside another. A command that must wait for something before it can answer
// (the refused-login delay, the public address of a remote PASV) holds the lines after it: they
// stay queued, unread bytes stay in the socket, and they run once the wait's event has come. A
// transfer waiting for its data connection holds nothing: it is a pending transfer that the
// connection's event, the time-out or a cancelling command completes.
//
// The member functions are spread over the files of their subject: control channel
// (SocketController.cpp), commands (CommandInterpreter.cpp, FileCommands.cpp), encryption
// (SecurityCommands.cpp), paths
// (ControllerPaths.cpp), listing (DirectoryListing.cpp), data connection (DataConnection.cpp) and
// transfers (TransferCommands.cpp).
class CSocketController : public CAsyncSocket, private IDataSocketEvents
{
public:
    CSocketController(CThreadConnection* thread, IConnectionHost* host);
    ~CSocketController() override;

    // Sends one reply line, CR LF appended, waiting until every byte is taken; while command lines
    // run, it waits in order for the end of the run and leaves with the others. A failed send
    // closes the connection and ends the thread: false. A sent reply refreshes the idle clock.
    // CR and LF inside the formatted text become spaces, so no text can end the line early.
    bool SendReply(const char* pszFormat, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    // Closes the control connection at once and ends the client: no command it sent ahead runs.
    void EndConnection();

    // The client's address as dotted text, read once when the connection starts.
    const QByteArray& ClientAddress() const { return m_strClientAddress; }
    void SetClientAddress(const QByteArray& address) { m_strClientAddress = address; }
    // For tests: a running data wait ends now, as its time-out would.
    void FireDataWait();

protected:
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

private:
    // What the lines after the running command wait for.
    enum class CommandHold
    {
        None,
        PasswordTurn,    // a PASS waiting for its address's turn (m_passwordTurn), checked then
        RefusalPause,    // a refused PASS, answered after the pause (m_refusalPause)
        InternetAddress, // a remote PASV, answered once the public address is known
        TransferEnd      // a QUIT, or the end of the client's lines, behind a transfer
    };

    // The transfer of the moment: its 150 reply went out, and its final reply has not.
    struct Transfer
    {
        enum class EPhase
        {
            AwaitingConnection, // the data connection is not up yet (m_dataWait runs)
            Running             // the data socket moves its bytes
        };
        TransferKind kind;
        QByteArray argument; // the listing, or the disk path of the file
        EPhase phase;
    };

    // --- control channel (SocketController.cpp) ---
    void AssertOnThread() const;
    // The client's next bytes, through TLS once the connection is secured: the count, 0 at the end,
    // kNothingYet when none came now, kReceiveFailed when the connection failed.
    static constexpr qint64 kNothingYet = -1;
    static constexpr qint64 kReceiveFailed = -2;
    qint64 ReceiveBytes(char* buffer, qint64 size);
    void ExtractCommands();
    // Holds the execution of command lines, and the reading of more, until ResumeCommands.
    void HoldCommands(CommandHold hold);
    // Lets the held lines run, in the order received: queued to this thread, so that no command
    // ever runs inside another or inside a data socket's notification. The holds' ends are the
    // only callers: the password's turn and the refusal's pause (their timers), the public
    // address's lookup, and a transfer's end (ContinueAfterTransfer).
    void ResumeCommands();
    // After a transfer's final reply: the QUIT that waited for it runs, or the session whose
    // client ended its lines ends. Reached once per transfer.
    void ContinueAfterTransfer();
    bool HasTransfer() const { return m_transfer.has_value(); }
    bool IsTransferRunning() const { return m_transfer && m_transfer->phase == Transfer::EPhase::Running; }
    // Sends the replies held while command lines ran, then closes the data connections whose
    // streams they told of; false when the send failed and closed.
    bool FlushReplies();
    // Closes the retired data connections whose completed sends waited for their replies.
    void CloseEndedStreams();

    // --- commands (CommandInterpreter.cpp) ---
    // Interprets the line at the head of m_listCommands.
    void ExecuteCommand();
    void OnUser(const QByteArray& argument);
    void OnPass(const QByteArray& argument);
    // Logs the client in, or refuses it: the refusal is shown now and answered after a pause.
    // turnTaken: the password waited for its turn, which took the pause a refusal brings.
    void CheckPassword(const QByteArray& password, bool turnTaken);
    // The end of the refusal's pause: its 530, or the 421 of the last wrong password.
    void AnswerRefusal();
    void OnQuit();

    // --- encryption (SecurityCommands.cpp) ---
    // The control connection's TLS: none yet, its handshake under way, or secured.
    enum class EControlTls
    {
        Clear,
        Handshaking,
        Secured,
        Failed // the handshake failed: nothing more reaches the client
    };
    bool TlsEnabled() const { return m_tls.mode != CSettings::ETlsMode::Off; }
    bool TlsRequired() const { return m_tls.mode == CSettings::ETlsMode::Required; }
    // AUTH, PBSZ, PROT, CCC and FEAT; the first four only when encryption is enabled.
    bool IsSecurityVerb(const QByteArray& verb) const;
    void ExecuteSecurityCommand(const QByteArray& verb, const QByteArray& argument);
    void OnAuth(const QByteArray& argument);
    void OnProt(const QByteArray& argument);
    void OnFeat();
    // One step of the control connection's handshake, once the socket is ready.
    void ContinueHandshake();
    // The handshake failed: its monitor line; the caller ends the connection.
    void NoteHandshakeFailed(const QByteArray& reason);
    // Required mode and a clear data connection: the 522 refusal of a transfer. True when refused.
    bool RefuseClearTransfer();
    // The client's network begins like ours (the same rule as PASV's address).
    bool IsClientOnOurNetwork();

    // --- paths (ControllerPaths.cpp) ---
    // The root folder as this command sees it: settings of the moment, current folder.
    CVirtualFolder VirtualFolder() const;
    // Maps a client path onto the disk path of a file below the root folder, checking the access
    // mode's permission on the folder that holds it (see CVirtualFolder::ResolveFilePath).
    PathResult ResolveFilePath(const QByteArray& clientPath, AccessMode accessMode, QByteArray& diskPath) const;
    // The same for a folder (or any existing entry), see CVirtualFolder::ResolveFolderPath.
    PathResult ResolveFolderPath(const QByteArray& clientPath, AccessMode accessMode, QByteArray& diskPath) const;

    // --- commands on files and folders (FileCommands.cpp) ---
    void ChangeFolder(const QByteArray& clientPath);
    // The refusal of a folder path that CWD or LIST could not use, quoting the client's path.
    void ReplyFolderRefused(PathResult result, const QByteArray& clientPath);
    void OnSize(const QByteArray& argument);
    void OnDele(const QByteArray& argument);
    void OnRnfr(const QByteArray& argument);
    void OnRnto(const QByteArray& argument);
    void OnRmd(const QByteArray& argument);
    void OnMkd(const QByteArray& argument);

    // --- listing (DirectoryListing.cpp) ---
    // Builds the LIST text of the folder named by the pattern (trailing "*" ignored; empty: the
    // current folder). False when it has already replied with a 550 refusal.
    bool BuildListing(const QByteArray& pattern, QByteArray& listing);

    // --- data connection (DataConnection.cpp) ---
    void OnPort(const QByteArray& argument);
    void OnPassive(bool extended);
    // The rest of PASV/EPSV once the address to announce is known (empty: none).
    void FinishPassive(bool extended, QByteArray address);
    // Whether the data connection can carry a transfer: Ready, Waiting (the connect or accept is
    // still to come), or Failed, when it has already replied.
    enum class DataReadiness
    {
        Ready,
        Waiting,
        Failed
    };
    DataReadiness OpenDataConnection();
    // A new data socket that reports to this connection.
    void NewDataSocket();
    // Destroys the data connection, if any, and forgets the PORT and passive settings. The
    // socket is stopped at once; its object goes later, never inside its own notification.
    void CloseDataConnection();
    // Stops the data socket at once and deletes it later, never inside its own notification.
    void RetireDataSocket();

    // --- transfers (TransferCommands.cpp) ---
    void OnList(const QByteArray& argument);
    void OnRetr(const QByteArray& argument);
    void OnStor(const QByteArray& argument);
    void OnAbor();
    // RETR and STOR: resolve, refuse or answer 150, then start or await the transfer.
    void StartFileTransfer(const QByteArray& argument, TransferKind kind);
    // After the 150 reply: starts the transfer now, or once the data connection is up.
    void BeginTransfer(TransferKind kind, const QByteArray& argument);
    void StartTransfer(TransferKind kind, const QByteArray& argument);
    // A command that sets up or uses the data connection while a transfer runs or waits for its
    // connection: the transfer ends first, with its 426.
    void EndRunningTransfer();
    // The end of a running transfer, taken off already: its final reply, then its connection closes.
    void CloseTransfer(const char* reply);
    // Drops a transfer still waiting for its data connection; its reply is the caller's.
    void CancelPendingTransfer();
    void OnDataWaitExpired();

    // IDataSocketEvents
    void OnDataConnected() override;
    void OnDataConnectFailed() override;
    void OnDataTlsFailed(const QByteArray& reason) override;
    void OnDataMoved() override;
    void OnTransferEnded(TransferEnd end) override;

    CThreadConnection* m_pThread;
    IConnectionHost* m_pHost;
    QObject m_context; // lives on the connection thread: target of posted work and lookups

    ESession m_eSession = ESession::LoggedOut;
    const TlsSetup m_tls; // the server's encryption when the client came
    EControlTls m_eTls = EControlTls::Clear;
    std::unique_ptr<CTlsStream> m_pTls; // the control connection's session, from AUTH on
    bool m_bProtectedData = false;      // PROT P: the data connections are encrypted
    QTimer m_handshakeWait;
    QByteArray m_strClientAddress;
    QByteArray m_strUserName;
    QByteArray m_strRenameFrom;
    QByteArray m_strCurrentFolder;       // as clients see it: lower case
    QByteArray m_strCurrentFolderOnDisk; // the same as the disk spells it, relative to the root
    mutable CRealRootCache m_realRoot;

    QByteArray m_strReceived;
    QByteArray m_strReplies;      // reply lines not sent yet
    bool m_bBatchReplies = false; // while command lines run: replies wait for the end of the run
    QList<QByteArray> m_listCommands;
    CommandHold m_eHold = CommandHold::None;
    bool m_bEndAfterTransfer = false; // the client ended its lines behind a transfer
    QTimer m_passwordTurn;
    QTimer m_refusalPause;
    std::optional<QByteArray> m_waitingPassword; // the PASS waiting for its turn
    int m_nWrongPasswords = 0;                   // on this connection
    bool m_bLastStrike = false;                  // the refusal waiting for its pause closes the connection

    QByteArray m_strLocalAddress; // this end of the control connection, once a PASV asked for it
    bool m_bPassive = false;      // the data socket listens (PASV, EPSV); else PORT's target is connected to
    CUniqueFd m_passiveListener;  // the last passive port's listener, kept for the next PASV or EPSV
    int m_nPassivePort = 0;       // that listener's port
    int m_nDataPort = -1;
    QByteArray m_strDataAddress;
    std::unique_ptr<CSocketBytes> m_pDataSocket;
    // Done with (a completed send's is closed once its replies are sent), but perhaps inside one of
    // their own notifications now: deleted when the next line comes in on the control connection,
    // which no data socket's notification ever runs inside.
    std::vector<std::unique_ptr<CSocketBytes>> m_closedDataSockets;
    std::optional<Transfer> m_transfer;
    QTimer m_dataWait; // a transfer's wait for its data connection
};
