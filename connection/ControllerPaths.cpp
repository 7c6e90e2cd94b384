#include "connection/ConnectionHost.h"
#include "connection/SocketController.h"
#include "connection/VirtualPaths.h"

CVirtualFolder CSocketController::VirtualFolder() const
{
    return CVirtualFolder(m_pHost->Settings().Get(), m_strCurrentFolderOnDisk, &m_realRoot);
}

PathResult CSocketController::ResolveFilePath(const QByteArray& clientPath, AccessMode accessMode,
                                              QByteArray& diskPath) const
{
    AssertOnThread();
    return VirtualFolder().ResolveFilePath(clientPath, accessMode, diskPath);
}

PathResult CSocketController::ResolveFolderPath(const QByteArray& clientPath, AccessMode accessMode,
                                                QByteArray& diskPath) const
{
    AssertOnThread();
    return VirtualFolder().ResolveFolderPath(clientPath, accessMode, diskPath);
}
