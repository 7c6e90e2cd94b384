#pragma once

#include "connection/ConnectionState.h"
#include "platform/AsyncSocket.h"

#include <QByteArray>
#include <QList>

#include <memory>

class CFtpServer;
class CThreadConnection;
class CSocketBytes;

// The control connection of one client: command lines in, replies out, and the client's state.
// Lives on the client's connection thread; every member runs there.
//
// The member functions are spread over the files of their subject: control channel
// (SocketController.cpp), commands (CommandInterpreter.cpp), paths (VirtualPaths.cpp), listing
// (DirectoryListing.cpp), data connection and transfers (transfer/).
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

    // --- data connection (transfer/DataConnection.cpp) ---
    // Makes the data connection usable for a transfer; false when it has already replied.
    bool OpenDataConnection();
    // Destroys the data connection, if any, and forgets the PORT and passive settings.
    void CloseDataConnection();
    // Queues CloseDataConnection to this thread's loop (never destroys inside a notification).
    void PostCloseData();

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

    // --- commands (CommandInterpreter.cpp) ---
    void OnUser(const QByteArray& argument);
    void OnPass(const QByteArray& argument);
    void OnQuit();

    // --- data connection and transfers (transfer/) ---
    void OnPort(const QByteArray& argument);
    void OnPassive(bool extended);
    void OnList(const QByteArray& argument);
    void OnRetr(const QByteArray& argument);
    void OnStor(const QByteArray& argument);
    void OnAbor();

    QByteArray m_strClientAddress;
    QByteArray m_strUserName;
    QByteArray m_strRenameFrom;
    QByteArray m_strCurrentFolder;
    QByteArray m_strReceived;
    QList<QByteArray> m_listCommands;

    int m_bPassive = 0;
    int m_nDataPort = -1;
    QByteArray m_strDataAddress;
    std::unique_ptr<CSocketBytes> m_pDataSocket;
};
