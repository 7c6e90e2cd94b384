#include "connection/CommandLine.h"
#include "connection/SocketController.h"
#include "connection/ThreadConnection.h"
#include "server/FtpServer.h"

void CSocketController::ExecuteCommand()
{
    if (m_listCommands.isEmpty())
        return;
    const CommandLine command = SplitCommandLine(m_listCommands.takeFirst());
    const QByteArray& verb = command.verb;
    const QByteArray& argument = command.argument;

    if (m_nState == StateLoggedOut && verb != "USER" && verb != "PASS") {
        SendReply("530 Login to the server. Enter USER and PASS commands.");
        return;
    }
    if (verb == "USER")
        OnUser(argument);
    else if (verb == "PASS")
        OnPass(argument);
    else if (verb == "QUIT" || verb == "BYE")
        OnQuit();
    else if (verb == "NOOP")
        SendReply("200 OK");
    else
        SendReply("502 Unknown command.");
}

void CSocketController::OnUser(const QByteArray& argument)
{
    m_nState = StateLoggedOut;
    m_strUserName = argument;
    SendReply("331 Enter password.");
}

void CSocketController::OnPass(const QByteArray& argument)
{
    if (m_strUserName.isEmpty()) {
        SendReply("503 Enter te username USER first.");
        return;
    }
    const CSettings::Values settings = m_pMainWindow->Settings().Get();
    const bool nameMatches = m_strUserName.compare(settings.Username, Qt::CaseInsensitive) == 0;
    const bool anonymous = m_strUserName.compare("anonymous", Qt::CaseInsensitive) == 0;
    if (nameMatches && (argument == settings.Password || anonymous)) {
        m_strCurrentFolder = "/";
        m_nState = StateIdle;
        SendReply("230 Login OK.");
        m_pMainWindow->Monitor().LogUserIn(m_strClientAddress);
        return;
    }
    SendReply("530 Login failed. Wrong username or/and password.");
    m_pMainWindow->Monitor().LogAccessDenied(m_strClientAddress);
}

void CSocketController::OnQuit()
{
    SendReply("221 %s", m_pMainWindow->Settings().LogoffMSG().constData());
    m_pMainWindow->Monitor().LogUserOut(m_strClientAddress);
    Close();
    m_pThread->RequestQuit();
}
