// AUTH, PBSZ, PROT, CCC and FEAT, and the control connection's TLS handshake (explicit FTPS).

#include "connection/SocketController.h"
#include "connection/ThreadConnection.h"
#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "tls/TlsStream.h"
#include "transfer/SocketBytes.h"

namespace {

// The longest a client may take over the control connection's handshake (or the login time
// limit, when that is shorter).
constexpr int kHandshakeLimitMs = 30 * 1000;

} // namespace

bool CSocketController::IsSecurityVerb(const QByteArray& verb) const
{
    return TlsEnabled() && (verb == "AUTH" || verb == "PBSZ" || verb == "PROT" || verb == "CCC" || verb == "FEAT");
}

void CSocketController::ExecuteSecurityCommand(const QByteArray& verb, const QByteArray& argument)
{
    if (verb == "AUTH")
        OnAuth(argument);
    else if (verb == "PROT")
        OnProt(argument);
    else if (verb == "FEAT")
        OnFeat();
    else if (m_eTls != EControlTls::Secured)
        SendReply("503 Use AUTH TLS first.");
    else if (verb == "PBSZ")
        SendReply("200 PBSZ=0");
    else
        SendReply("534 The control connection stays encrypted."); // CCC
}

void CSocketController::OnAuth(const QByteArray& argument)
{
    if (m_eTls == EControlTls::Secured) {
        SendReply("503 Already secured.");
        return;
    }
    if (HasTransfer()) { // its reply could not reach the client during the handshake
        SendReply("503 A transfer is running.");
        return;
    }
    const QByteArray mechanism = argument.trimmed().toUpper();
    if (mechanism != "TLS" && mechanism != "TLS-C") {
        SendReply("504 Unknown security mechanism.");
        return;
    }
    SendReply("234 Starting TLS.");
    // SECURITY: what the client sent behind AUTH in clear text never runs: a man in the middle
    // could have put it there (the STARTTLS injection).
    m_listCommands.clear();
    m_strReceived.clear();
    if (!FlushReplies())
        return;
    m_pTls = std::make_unique<CTlsStream>(m_tls.context, *this);
    m_eTls = EControlTls::Handshaking;
    m_handshakeWait.start(qMin(m_pHost->Settings().GetDurations().LoginTimeLimitMs, kHandshakeLimitMs));
    ContinueHandshake();
}

void CSocketController::ContinueHandshake()
{
    const CTlsStream::EStatus status = m_pTls->Handshake();
    if (status == CTlsStream::EStatus::Done) {
        m_handshakeWait.stop();
        m_eTls = EControlTls::Secured;
        m_pThread->UpdateLastActivity();
    } else if (!CTlsStream::IsWaiting(status)) {
        NoteHandshakeFailed(m_pTls->ErrorText());
        EndConnection();
    }
}

void CSocketController::NoteHandshakeFailed(const QByteArray& reason)
{
    m_handshakeWait.stop();
    m_eTls = EControlTls::Failed;
    m_pHost->Monitor().AddAddressLine("TLS handshake failed (" + reason + "): ", MonitorColor::Red, m_strClientAddress,
                                      MonitorColor::Teal);
}

void CSocketController::OnProt(const QByteArray& argument)
{
    if (m_eTls != EControlTls::Secured) {
        SendReply("503 Use AUTH TLS first.");
        return;
    }
    const QByteArray level = argument.trimmed().toUpper();
    if (level == "S" || level == "E") {
        SendReply("536 Protection level not supported.");
    } else if (level == "P" || level == "C") {
        m_bProtectedData = level == "P";
        // SECURITY: a data connection set up before the change could carry a transfer under the
        // wrong protection: the client sets up another.
        EndRunningTransfer();
        CloseDataConnection();
        SendReply("200 Protection level %s.", m_bProtectedData ? "Private" : "Clear");
    } else {
        SendReply("504 Unknown protection level.");
    }
}

void CSocketController::OnFeat()
{
    SendReply("211-Features:");
    SendReply(" AUTH TLS");
    SendReply(" PBSZ");
    SendReply(" PROT");
    SendReply("211 End");
}

bool CSocketController::RefuseClearTransfer()
{
    if (!TlsRequired() || m_bProtectedData)
        return false;
    SendReply("522 Encryption required. Use PROT P.");
    return true;
}

void CSocketController::OnDataTlsFailed(const QByteArray& reason)
{
    AssertOnThread();
    m_pHost->Monitor().AddAddressLine("TLS failed on a data connection (" + reason + "): ", MonitorColor::Red,
                                      m_strClientAddress, MonitorColor::Teal);
}
