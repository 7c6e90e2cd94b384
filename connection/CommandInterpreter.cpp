#include "connection/CommandLine.h"
#include "connection/ConnectionHost.h"
#include "connection/SocketController.h"
#include "connection/ThreadConnection.h"
#include "connection/VirtualPaths.h"
#include "core/ServerMonitor.h"

namespace {

constexpr const char* kProductName = "Tarvelo FTP Server";
constexpr const char* kProductVersion = "v1.1b";
// Wrong passwords after which a connection is closed: a guesser must connect anew, which the
// limits per address see.
constexpr int kWrongPasswordsPerConnection = 3;

} // namespace

void CSocketController::ExecuteCommand()
{
    AssertOnThread();
    if (m_listCommands.isEmpty())
        return;
    const CommandLine command = SplitCommandLine(m_listCommands.takeFirst());
    const QByteArray& verb = command.verb;
    const QByteArray& argument = command.argument;

    // Clients secure the session before they log in.
    if (IsSecurityVerb(verb)) {
        ExecuteSecurityCommand(verb, argument);
        return;
    }
    if (m_eSession == ESession::LoggedOut && verb != "USER" && verb != "PASS") {
        SendReply("530 Login to the server. Enter USER and PASS commands.");
        return;
    }
    // SECURITY: in required mode no user name or password crosses the network in clear text.
    if (TlsRequired() && m_eTls != EControlTls::Secured && (verb == "USER" || verb == "PASS")) {
        SendReply("530 Encryption required. Use AUTH TLS.");
        return;
    }
    if (verb == "USER")
        OnUser(argument);
    else if (verb == "PASS")
        OnPass(argument);
    else if (verb == "QUIT" || verb == "BYE")
        OnQuit();
    else if (verb == "TYPE")
        SendReply("200 Type: %s", argument.constData());
    else if (verb == "PWD")
        SendReply("257 \"%s\" --> Current folder.", QByteArray(m_strCurrentFolder).replace("\"", "\"\"").constData());
    else if (verb == "CDUP")
        ChangeFolder("..");
    else if (verb == "CWD")
        ChangeFolder(argument);
    else if (verb == "PORT")
        OnPort(argument);
    else if (verb == "PASV")
        OnPassive(false);
    else if (verb == "EPSV")
        OnPassive(true);
    else if (verb == "LIST")
        OnList(argument);
    else if (verb == "RETR")
        OnRetr(argument);
    else if (verb == "STOR")
        OnStor(argument);
    else if (verb == "SIZE")
        OnSize(argument);
    else if (verb == "DELE")
        OnDele(argument);
    else if (verb == "RNFR")
        OnRnfr(argument);
    else if (verb == "RNTO")
        OnRnto(argument);
    else if (verb == "RMD")
        OnRmd(argument);
    else if (verb == "MKD")
        OnMkd(argument);
    else if (verb == "ABOR")
        OnAbor();
    else if (verb == "SYST")
        SendReply("215 Windows %s %s", kProductName, kProductVersion);
    else if (verb == "NOOP")
        SendReply("200 OK");
    else if (verb == "FEAT")
        SendReply("211 No features.");
    else if (verb == "HELP")
        SendReply("214 No help.");
    else if (verb == "REIN")
        SendReply("220 Connection reset not supported.");
    else
        SendReply("502 Unknown command.");
}

void CSocketController::OnUser(const QByteArray& argument)
{
    m_eSession = ESession::LoggedOut;
    m_strUserName = argument;
    SendReply("331 Enter password.");
}

void CSocketController::OnPass(const QByteArray& argument)
{
    if (m_strUserName.isEmpty()) {
        SendReply("503 Enter te username USER first.");
        return;
    }
    // SECURITY: the passwords of one address are checked one at a time, a pause after each refusal,
    // so guessing costs a second a password: pipelined, from several connections at once, or
    // hanging up during the pause. A password that waits is checked when its turn comes, so the
    // wait tells nothing. The thread is not blocked: the lines after it wait for the timer.
    const int pauseMs = m_pHost->Settings().GetDurations().LoginFailureDelayMs;
    const qint64 wait = m_pHost->TakeLoginTurn(m_strClientAddress, pauseMs);
    if (wait < 0) {
        // Refused unchecked, so that guessing gains nothing; the place under the user limit is freed.
        m_pHost->NoteLoginFailed(m_strClientAddress);
        m_pHost->Monitor().LogAccessDenied(m_strClientAddress);
        SendReply("421 Too many login attempts. Try again later.");
        EndConnection();
    } else if (wait > 0) {
        m_waitingPassword = argument;
        HoldCommands(CommandHold::PasswordTurn);
        m_passwordTurn.start(int(wait));
    } else {
        CheckPassword(argument, false);
    }
}

void CSocketController::CheckPassword(const QByteArray& password, bool turnTaken)
{
    const CSettings::Values settings = m_pHost->Settings().Get();
    const bool nameMatches = EqualIgnoringAsciiCase(m_strUserName, settings.Username);
    const bool anonymous = EqualIgnoringAsciiCase(m_strUserName, "anonymous");
    // SECURITY: a named account without a password is closed, not open to whoever knows the name.
    const bool passwordMatches = !settings.Password.isEmpty() && password == settings.Password;
    if (nameMatches && (passwordMatches || anonymous)) {
        m_strCurrentFolder = "/";
        m_strCurrentFolderOnDisk = "/";
        m_eSession = ESession::LoggedIn;
        m_nWrongPasswords = 0;
        m_pThread->LoggedIn();
        m_pHost->Monitor().LogUserIn(m_strClientAddress, m_eTls == EControlTls::Secured); // before the reply
        if (!TlsEnabled() && !anonymous && !IsClientOnOurNetwork())
            m_pHost->NoteClearLoginFromOutside(m_strClientAddress);
        SendReply("230 Login OK.");
        return;
    }
    // Shown now, also when the client leaves during the pause. A password that waited for its turn
    // took the pause after it then already: one refusal, one pause.
    const int pauseMs = m_pHost->Settings().GetDurations().LoginFailureDelayMs;
    if (!turnTaken)
        m_pHost->NoteLoginRefused(m_strClientAddress, pauseMs);
    m_pHost->NoteLoginFailed(m_strClientAddress);
    m_pHost->Monitor().LogAccessDenied(m_strClientAddress);
    m_bLastStrike = ++m_nWrongPasswords >= kWrongPasswordsPerConnection;
    HoldCommands(CommandHold::RefusalPause);
    m_refusalPause.start(pauseMs);
}

void CSocketController::AnswerRefusal()
{
    Q_ASSERT(m_eHold == CommandHold::RefusalPause);
    if (m_bLastStrike) {
        SendReply("421 Too many wrong passwords.");
        EndConnection();
        return;
    }
    SendReply("530 Login failed. Wrong username or/and password.");
    ResumeCommands();
}

void CSocketController::OnQuit()
{
    if (HasTransfer()) {
        // The transfer runs to its end and gets its reply first, as RFC 959 has it: a client that
        // sends QUIT behind an upload's data must not lose the data's last bytes.
        m_listCommands.prepend("QUIT");
        HoldCommands(CommandHold::TransferEnd);
        return;
    }
    m_pHost->Monitor().LogUserOut(m_strClientAddress);
    SendReply("221 %s", m_pHost->Settings().LogoffMSG().constData());
    CancelPendingTransfer();
    EndConnection();
}
