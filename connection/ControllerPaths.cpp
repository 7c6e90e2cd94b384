#include "connection/SocketController.h"
#include "connection/ThreadConnection.h"
#include "connection/VirtualPaths.h"
#include "server/FtpServer.h"

CVirtualFolder CSocketController::VirtualFolder() const
{
    return CVirtualFolder(m_pMainWindow->Settings().Get(), m_strCurrentFolderOnDisk);
}

int CSocketController::ResolveFilePath(const QByteArray& clientPath, int accessMode, QByteArray& diskPath)
{
    Q_ASSERT(CThreadConnection::Current() == m_pThread);
    return VirtualFolder().ResolveFilePath(clientPath, accessMode, diskPath);
}

int CSocketController::ResolveFolderPath(const QByteArray& clientPath, int accessMode, QByteArray& diskPath)
{
    Q_ASSERT(CThreadConnection::Current() == m_pThread);
    return VirtualFolder().ResolveFolderPath(clientPath, accessMode, diskPath);
}
