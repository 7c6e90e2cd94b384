// PORT, PASV and EPSV, the life of the data connection, and what its events mean.

#include "connection/ConnectionHost.h"
#include "connection/Replies.h"
#include "connection/SocketController.h"
#include "connection/ThreadConnection.h"
#include "core/InternetAddress.h"
#include "transfer/PassivePorts.h"
#include "transfer/PortArgument.h"
#include "transfer/SocketBytes.h"

#include <unistd.h>
#include <utility>

void CSocketController::OnPort(const QByteArray& argument)
{
    EndRunningTransfer(); // its connection closes, which would take the new target with it
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
    EndRunningTransfer();
    CloseDataConnection();
    if (extended) {
        FinishPassive(true, QByteArray());
        return;
    }
    // A client on our network gets our address; others get the public one.
    if (IsClientOnOurNetwork()) {
        FinishPassive(false, m_strLocalAddress);
        return;
    }
    const std::optional<QByteArray> known =
        m_pHost->InternetAddress().Lookup(&m_context, [this](const QByteArray& address) {
            AssertOnThread();
            if (!IsOpen())
                return; // the client left meanwhile; its thread is ending
            FinishPassive(false, address);
            ResumeCommands();
        });
    if (known)
        FinishPassive(false, *known);
    else
        HoldCommands(CommandHold::InternetAddress); // the lines after PASV wait for its reply
}

void CSocketController::FinishPassive(bool extended, QByteArray address)
{
    if (!extended && address.isEmpty()) {
        SendReply("421 Error retrieving PASV IP address.");
        return;
    }
    NewDataSocket();
    const bool reused = m_passiveListener.IsValid();
    if (!(reused ? ReusePassiveSocket(*m_pDataSocket, std::move(m_passiveListener))
                 : CreatePassiveSocket(*m_pDataSocket))) {
        CloseDataConnection();
        SendReply("421 Error creating data-socket.");
        return;
    }
    if (!reused)
        m_nPassivePort = m_pDataSocket->LocalPort(); // a kept listener keeps its port
    const int port = m_nPassivePort;
    if (extended)
        SendReply("229 Entering Extended Passive Mode (|||%d|)", port);
    else
        SendReply("227 Entering Passive Mode (%s,%d,%d)", address.replace('.', ',').constData(), port / 256,
                  port % 256);
    m_bPassive = true;
}

bool CSocketController::IsClientOnOurNetwork()
{
    // A client whose address begins like ours.
    if (m_strLocalAddress.isEmpty())
        m_strLocalAddress = LocalAddress(); // the control connection's, fixed for its life
    return m_strClientAddress.left(6) == m_strLocalAddress.left(6);
}

CSocketController::DataReadiness CSocketController::OpenDataConnection()
{
    if (!m_bPassive) {
        if (m_strDataAddress.isEmpty() || m_nDataPort == -1) {
            SendReply("%s", Reply::kConnectionNotOpened);
            return DataReadiness::Failed;
        }
        if (m_pDataSocket)
            RetireDataSocket();
        NewDataSocket();
        if (!m_pDataSocket->Create()) {
            SendReply("%s", Reply::kSocketNotCreated);
            return DataReadiness::Failed;
        }
        m_pDataSocket->SetUrgentInline(); // urgent data stays in an upload's bytes
        if (!m_pDataSocket->Connect(m_strDataAddress, quint16(m_nDataPort))) {
            SendReply("%s", Reply::kConnectionNotOpened);
            return DataReadiness::Failed;
        }
        return DataReadiness::Waiting; // OnConnect tells
    }
    Q_ASSERT(m_pDataSocket); // the passive flag goes with the socket
    m_pDataSocket->TakeClientConnection();
    if (!m_pDataSocket) { // taken now, and its TLS handshake failed at once (OnDataConnectFailed closed it)
        SendReply("%s", Reply::kConnectionNotOpened);
        return DataReadiness::Failed;
    }
    return m_pDataSocket->IsConnected() ? DataReadiness::Ready : DataReadiness::Waiting;
}

void CSocketController::NewDataSocket()
{
    m_pDataSocket = std::make_unique<CSocketBytes>(static_cast<IDataSocketEvents&>(*this), m_strClientAddress);
    if (m_bProtectedData)
        m_pDataSocket->SetProtection(m_tls.context);
}

void CSocketController::CloseDataConnection()
{
    CancelPendingTransfer(); // a transfer waiting for this connection would wait for nothing
    if (!m_pDataSocket)
        return;
    RetireDataSocket();
    m_strDataAddress.clear();
    m_nDataPort = -1;
    m_bPassive = false;
}

void CSocketController::RetireDataSocket()
{
    if (CUniqueFd listener = m_pDataSocket->ReleaseListener(); listener.IsValid())
        m_passiveListener = std::move(listener);
    // A completed send has ended its stream: closing it waits until the replies of this run are
    // sent, off the client's way. Anything else stops now, before its replies go out.
    if (!m_bBatchReplies || !m_pDataSocket->StreamEnded())
        m_pDataSocket->StopTransfer();
    if (IsTransferRunning())
        m_transfer.reset();
    m_closedDataSockets.push_back(std::move(m_pDataSocket));
}

void CSocketController::OnDataConnected()
{
    AssertOnThread();
    if (!HasTransfer() || IsTransferRunning())
        return; // connected ahead of its transfer command, which finds it ready
    m_dataWait.stop();
    const Transfer waiting = *m_transfer;
    StartTransfer(waiting.kind, waiting.argument); // its end, even at once, continues the client's lines
}

void CSocketController::OnDataConnectFailed()
{
    AssertOnThread();
    m_dataWait.stop();
    // An encrypted connection taken ahead of its transfer command may fail with no transfer to tell.
    const bool waited = HasTransfer();
    m_transfer.reset();
    if (waited)
        SendReply("425 Cannot open connection.");
    CloseDataConnection();
    ContinueAfterTransfer();
}

void CSocketController::OnDataMoved()
{
    m_pThread->UpdateLastActivity();
}
