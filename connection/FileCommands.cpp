#include "connection/BelowRoot.h"
#include "connection/ConnectionState.h"
#include "connection/Replies.h"
#include "connection/SocketController.h"
#include "connection/VirtualPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Moves an entry without replacing an existing one.
bool RenameNoReplace(const CEntryFolder& from, const CEntryFolder& to)
{
    if (!from.IsOpen() || !to.IsOpen())
        return false;
    if (::renameat2(from.Fd(), from.Name(), to.Fd(), to.Name(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: check, then move (a race no client of ours can win alone).
    struct stat status;
    if (::fstatat(to.Fd(), to.Name(), &status, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return false;
    return ::renameat(from.Fd(), from.Name(), to.Fd(), to.Name()) == 0;
}

} // namespace

void CSocketController::ChangeFolder(const QByteArray& clientPath)
{
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    const PathResult result = root.ResolveFolderPath(clientPath, AccessBrowse, diskPath);
    switch (result) {
    case PathOK:
        m_strCurrentFolder = root.MapToVirtualPath(diskPath);
        m_strCurrentFolderOnDisk = root.RootRelativePath(diskPath);
        SendReply("250 \"%s\" --> Current folder.", m_strCurrentFolder.constData());
        break;
    default:
        ReplyFolderRefused(result, clientPath);
        break;
    }
}

void CSocketController::ReplyFolderRefused(PathResult result, const QByteArray& clientPath)
{
    if (result == PathNotAllowed)
        SendReply("550 \"%s\": Not allowed.", clientPath.constData());
    else
        SendReply("550 \"%s\": Folder not found.", clientPath.constData());
}

void CSocketController::OnSize(const QByteArray& argument)
{
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    const PathResult result = root.ResolveFilePath(argument, AccessDownload, diskPath);
    if (result == PathNotAllowed) {
        SendReply("%s", Reply::kNotAllowed);
        return;
    }
    struct stat status;
    const CUniqueFd file = result == PathOK ? OpenBelowRoot(root.Root(), diskPath, O_PATH) : CUniqueFd();
    if (file.IsValid() && ::fstat(file.Get(), &status) == 0)
        SendReply("213 %llu", static_cast<unsigned long long>(status.st_size));
    else
        SendReply("%s", Reply::kFileNotFound);
}

void CSocketController::OnDele(const QByteArray& argument)
{
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    const PathResult result = root.ResolveFilePath(argument, AccessDelete, diskPath);
    if (result == PathFileNotFound) {
        SendReply("%s", Reply::kFileNotFound);
        return;
    }
    if (result == PathNotAllowed) {
        SendReply("%s", Reply::kNotAllowed);
        return;
    }
    const QByteArray virtualPath = root.MapToVirtualPath(diskPath);
    const CEntryFolder folder(root.Root(), diskPath);
    if (folder.IsOpen() && ::unlinkat(folder.Fd(), folder.Name(), 0) == 0)
        SendReply("250 File \"%s\" deleted.", virtualPath.constData());
    else
        SendReply("450 Error deleting file: \"%s\".", virtualPath.constData());
}

void CSocketController::OnRnfr(const QByteArray& argument)
{
    // SECURITY: only a source that passed every check is kept for RNTO.
    m_strRenameFrom.clear();
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    if (root.ResolveFilePath(argument, AccessRename, diskPath) == PathOK) {
        m_strRenameFrom = diskPath;
        SendReply("350 File OK.");
        return;
    }
    switch (root.ResolveFolderPath(argument, AccessRename, diskPath)) {
    case PathOK:
        // SECURITY: renaming the root folder would move the published folder away.
        if (root.IsRoot(diskPath)) {
            SendReply("%s", Reply::kNotAllowed);
            return;
        }
        m_strRenameFrom = diskPath;
        SendReply("350 Folder OK.");
        break;
    case PathNotAllowed:
        SendReply("%s", Reply::kNotAllowed);
        break;
    default:
        SendReply("%s", Reply::kFolderNotFound);
        break;
    }
}

void CSocketController::OnRnto(const QByteArray& argument)
{
    if (m_strRenameFrom.isEmpty()) {
        SendReply("%s", Reply::kRenameError);
        return;
    }
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    const PathResult result = root.ResolveRenameTarget(argument, m_strRenameFrom, diskPath);
    if (result == PathNotAllowed)
        SendReply("%s", Reply::kNotAllowed);
    else if (result == PathOK &&
             RenameNoReplace(CEntryFolder(root.Root(), m_strRenameFrom), CEntryFolder(root.Root(), diskPath)))
        SendReply("250 File renamed.");
    else
        SendReply("%s", Reply::kRenameError);
}

void CSocketController::OnRmd(const QByteArray& argument)
{
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    const PathResult result = root.ResolveFolderPath(argument, AccessDelete, diskPath);
    if (result == PathFolderNotFound) {
        SendReply("%s", Reply::kFolderNotFound);
        return;
    }
    // SECURITY: the root folder is what the server publishes; it is never removed through it.
    if (result == PathNotAllowed || root.IsRoot(diskPath)) {
        SendReply("%s", Reply::kNotAllowed);
        return;
    }
    const CEntryFolder folder(root.Root(), diskPath);
    if (folder.IsOpen() && ::unlinkat(folder.Fd(), folder.Name(), AT_REMOVEDIR) == 0)
        SendReply("250 Folder deleted.");
    else if (errno == ENOTEMPTY || errno == EEXIST)
        SendReply("550 The folder is not empty.");
    else
        SendReply("450 Error deleting folder.");
}

void CSocketController::OnMkd(const QByteArray& argument)
{
    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    switch (root.ResolveFolderPath(argument, AccessCreateFolder, diskPath)) {
    case PathOK:
        SendReply("550 Folder already exists.");
        break;
    case PathNotAllowed:
        SendReply("550 Creating a folder is not allowed.");
        break;
    default:
        // The created folder's path, quoted as clients parse it: an inner quote is doubled.
        if (CreateFolderTreeBelowRoot(root.Root(), diskPath))
            SendReply("257 \"%s\" Folder created.", root.MapToVirtualPath(diskPath).replace("\"", "\"\"").constData());
        else
            SendReply("450 Error creating folder.");
        break;
    }
}
