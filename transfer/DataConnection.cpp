// PORT, PASV and EPSV, and the life of the data connection.

#include "connection/SocketController.h"
#include "connection/ThreadConnection.h"
#include "server/FtpServer.h"
#include "transfer/PassivePorts.h"
#include "transfer/PortArgument.h"
#include "transfer/SocketBytes.h"
#include "transfer/TransferLimits.h"

#include <QEventLoop>
#include <QTimer>

void CSocketController::OnPort(const QByteArray& argument)
{
    PortArgument target;
    // SECURITY: the server connects only to the client itself (no FTP bounce to third hosts).
    if (!ParsePortArgument(argument, target) || target.address != m_strClientAddress) {
        m_strDataAddress.clear();
        m_nDataPort = -1;
        SendReply("501 Illegal PORT command.");
        return;
    }
    m_strDataAddress = target.address;
    m_nDataPort = target.port;
    SendReply("200 PORT command OK.");
}

void CSocketController::OnPassive(bool extended)
{
    CloseDataConnection();
    QByteArray address;
    if (!extended) {
        // A client whose address begins like ours is on our network; others get the public one.
        const QByteArray local = LocalAddress();
        address =
            m_strClientAddress.left(6) == local.left(6) ? local : m_pMainWindow->InternetAddress().GetInternetIP();
        if (address.isEmpty()) {
            SendReply("421 Error retrieving PASV IP address.");
            return;
        }
    }
    // The fetch of the public address runs an event loop: start from a clean slate after it.
    CloseDataConnection();
    m_pDataSocket = std::make_unique<CSocketBytes>(this);
    ++m_nDataGeneration;
    if (!CreatePassiveSocket(*m_pDataSocket)) {
        CloseDataConnection();
        SendReply("421 Error creating data-socket.");
        return;
    }
    const int port = m_pDataSocket->LocalPort();
    if (extended)
        SendReply("229 Entering Extended Passive Mode (|||%d|)", port);
    else
        SendReply("227 Entering Passive Mode (%s,%d,%d)", address.replace('.', ',').constData(), port / 256,
                  port % 256);
    m_bPassive = 1;
}

bool CSocketController::OpenDataConnection()
{
    if (!m_bPassive) {
        if (m_strDataAddress.isEmpty() || m_nDataPort == -1) {
            SendReply("425 The connection could not be opened.");
            return false;
        }
        m_pDataSocket = std::make_unique<CSocketBytes>(this);
        ++m_nDataGeneration;
        if (!m_pDataSocket->Create()) {
            SendReply("421 The socket could not be created.");
            return false;
        }
        if (!m_pDataSocket->Connect(m_strDataAddress, quint16(m_nDataPort))) {
            SendReply("425 The connection could not be opened.");
            return false;
        }
    }
    if (!m_pDataSocket)
        return false;

    // Wait for the connection while the thread goes on serving this client's other events.
    const quint64 generation = m_nDataGeneration;
    CSocketBytes* socket = m_pDataSocket.get();
    if (!socket->m_bConnected && !socket->m_bConnectFailed) {
        QEventLoop wait;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &wait, &QEventLoop::quit);
        deadline.start(kDataWaitMs);
        QEventLoop* outer = m_pDataWait;
        m_pDataWait = &wait;
        // The socket may be gone (ABOR or PASV run inside the wait): look at it only while it is ours.
        while (generation == m_nDataGeneration && m_pDataSocket && !socket->m_bConnected && !socket->m_bConnectFailed &&
               deadline.isActive() && !m_pThread->QuitRequested())
            wait.exec();
        m_pDataWait = outer;
    }
    if (m_pThread->QuitRequested() || generation != m_nDataGeneration || !m_pDataSocket)
        return false; // ending, or the data connection was closed or replaced meanwhile (ABOR, PASV)
    if (socket->m_bConnectFailed)
        return false; // already answered "425 Cannot open connection."
    if (socket->m_bConnected)
        return true;
    SendReply("421 The socket could not be created.");
    return false;
}

void CSocketController::WakeDataWait()
{
    if (m_pDataWait)
        m_pDataWait->quit();
}

void CSocketController::CloseDataConnection()
{
    if (!m_pDataSocket)
        return;
    m_pDataSocket.reset();
    m_strDataAddress.clear();
    m_nDataPort = -1;
    m_bPassive = 0;
    WakeDataWait();
}

void CSocketController::PostCloseData()
{
    const quint64 generation = m_nDataGeneration;
    m_pThread->Post([this, generation] {
        if (generation == m_nDataGeneration)
            CloseDataConnection();
    });
}
