#pragma once

#include "connection/ConnectionState.h"
#include "platform/AsyncSocket.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <memory>

class CFtpServer;
class CVirtualFolder;
class QEventLoop;
class QTimer;
class CThreadConnection;
class CSocketBytes;

// The control connection of one client: command lines in, replies out, and the client's state.
// Lives on the client's connection thread; every member runs there.
//
// The member functions are spread over the files of their subject: control channel
// (SocketController.cpp), commands (CommandInterpreter.cpp, FileCommands.cpp), paths
// (ControllerPaths.cpp), listing (DirectoryListing.cpp), data connection and transfers (transfer/).
class CSocketController : public CAsyncSocket
{
public:
    CSocketController(CThreadConnection* thread, CFtpServer* mainWindow);
    ~CSocketController() override;

    // Sends one reply line, CR LF appended, waiting until every byte is taken. A failed send
    // closes the connection and ends the thread: false. A sent reply refreshes the idle clock.
    // CR and LF inside the formatted text become spaces, so no text can end the line early.
    bool SendReply(const char* pszFormat, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);

    // Interprets the line at the head of m_listCommands.
    void ExecuteCommand();

    // The client's address as dotted text, read once when the connection starts.
    const QByteArray& ClientAddress() const { return m_strClientAddress; }
    void SetClientAddress(const QByteArray& address) { m_strClientAddress = address; }

    // --- paths (ControllerPaths.cpp); connection thread only ---
    // Maps a client path ("/" or "\" separated, absolute or relative to the current folder) onto
    // the disk path of a file below the root folder, checking the access mode's permission on the
    // folder that holds it. 0: diskPath is the file; 2: no such file (for AccessUpload: no such
    // folder, or an invalid name; a missing file is fine there, and an existing one also needs the
    // delete permission); 5: not allowed.
    int ResolveFilePath(const QByteArray& clientPath, int accessMode, QByteArray& diskPath);
    // The same for a folder (or any existing entry): 0 found and allowed; 3 not found (for
    // AccessCreateFolder diskPath then names the folder to create); 5 not allowed. An empty path is
    // the root folder for AccessBrowse and "not found" otherwise.
    int ResolveFolderPath(const QByteArray& clientPath, int accessMode, QByteArray& diskPath);

    // --- listing (DirectoryListing.cpp); connection thread only ---
    // Builds the LIST text of the folder named by the pattern (trailing "*" ignored; empty: the
    // current folder). False when it has already replied with a 550 refusal.
    bool BuildListing(const QByteArray& pattern, QByteArray& listing);

    // --- data connection (transfer/DataConnection.cpp) ---
    // Makes the data connection usable for a transfer; false when it has already replied.
    bool OpenDataConnection();
    // Destroys the data connection, if any, and forgets the PORT and passive settings.
    void CloseDataConnection();
    // Queues CloseDataConnection to this thread's loop (never destroys inside a notification).
    // The request applies to the data connection of this moment only: one made later is kept.
    void PostCloseData();
    // Ends the wait of OpenDataConnection early so that it looks at the data connection again.
    void WakeDataWait();

    // --- state shared with the data connection ---
    int m_nState = StateLoggedOut;
    CThreadConnection* m_pThread;
    CFtpServer* m_pMainWindow;

protected:
    void OnReceive(int error) override;
    void OnClose(int error) override;

private:
    friend class CSocketBytes;

    void ExtractCommands();
    // Holds the execution of command lines, and the reading of more, for ms milliseconds; then runs
    // resume and carries on with the queued lines, so replies stay in order. The thread keeps
    // serving its other events meanwhile.
    void PauseCommands(int ms, std::function<void()> resume);
    bool CommandsPaused() const;

    // The root folder as this command sees it: settings of the moment, current folder.
    CVirtualFolder VirtualFolder() const;

    // --- commands (CommandInterpreter.cpp) ---
    void OnUser(const QByteArray& argument);
    void OnPass(const QByteArray& argument);
    void OnQuit();

    // --- commands on files and folders (FileCommands.cpp) ---
    void ChangeFolder(const QByteArray& clientPath);
    void OnSize(const QByteArray& argument);
    void OnDele(const QByteArray& argument);
    void OnRnfr(const QByteArray& argument);
    void OnRnto(const QByteArray& argument);
    void OnRmd(const QByteArray& argument);
    void OnMkd(const QByteArray& argument);

    // --- data connection and transfers (transfer/) ---
    void OnPort(const QByteArray& argument);
    void OnPassive(bool extended);
    void OnList(const QByteArray& argument);
    void OnRetr(const QByteArray& argument);
    void OnStor(const QByteArray& argument);
    // RETR and STOR: resolve, refuse or answer 150, open the data connection, start the transfer.
    void StartFileTransfer(const QByteArray& argument, int accessMode, int state, const char* notFoundReply,
                           void (CSocketBytes::*start)(const QByteArray&));
    void OnAbor();

    QByteArray m_strClientAddress;
    QByteArray m_strUserName;
    QByteArray m_strRenameFrom;
    QByteArray m_strCurrentFolder;       // as clients see it: lower case
    QByteArray m_strCurrentFolderOnDisk; // the same as the disk spells it, relative to the root
    QByteArray m_strReceived;
    QList<QByteArray> m_listCommands;
    std::unique_ptr<QTimer> m_pPauseTimer; // active while command execution is held

    quint64 m_nDataGeneration = 0;     // counts data connections made, to match close requests
    QEventLoop* m_pDataWait = nullptr; // the running wait of OpenDataConnection, if any
    int m_bPassive = 0;
    int m_nDataPort = -1;
    QByteArray m_strDataAddress;
    std::unique_ptr<CSocketBytes> m_pDataSocket;
};
