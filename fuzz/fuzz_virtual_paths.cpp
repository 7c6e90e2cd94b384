// Path resolvers accept disk paths inside the root only (whole levels, normalised, links followed), and open them so.

#include "connection/ConnectionState.h"
#include "connection/VirtualPaths.h"
#include "Require.h"
#include "TestFiles.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray g_root;   // the fixture's root folder, symbolic links resolved
QByteArray g_secure; // the secure folder in it

// The folder itself or a path below it, by whole folder levels.
bool Below(const QByteArray& folder, const QByteArray& path)
{
    return path.startsWith(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Accepted: inside, as the file system takes it; in the secure folder (where it leads) only browsing and .cry reads.
void RequireAccepted(const QByteArray& path, AccessMode mode, bool secure)
{
    Require(!path.contains('\0') && Below(g_root, path));
    Require(!path.contains("//") && !path.contains("/./") && !path.contains("/../") && !path.endsWith("/..") &&
            !path.endsWith("/."));
    // The nearest existing entry, links followed, is inside too.
    QByteArray existing = path, rest;
    struct stat status;
    while (::lstat(existing.constData(), &status) != 0) {
        rest = existing.mid(existing.lastIndexOf('/')) + rest;
        existing = existing.left(existing.lastIndexOf('/'));
    }
    char* resolved = ::realpath(existing.constData(), nullptr);
    const QByteArray nearest = QByteArray(resolved), real = nearest + rest;
    free(resolved);
    Require(!nearest.isEmpty() && Below(g_root, nearest));
    if (!secure)
        return;
    if (mode == AccessRename || mode == AccessDelete)
        Require(!Below(real, g_secure));
    if (Below(g_secure, real) && real != g_secure)
        Require((mode == AccessDownload || mode == AccessBrowse) && IsCryName(real) && IsCryName(path));
    else if (real == g_secure)
        Require(mode == AccessBrowse);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Under $TMPDIR: a campaign on tmpfs spares the disk.
    static TestTree tree("root/ root/Docs/ root/Docs/Sub/ root/docs/ rootX/ outside/ root/File.txt=x root/Docs/a.txt=x "
                         "root/Docs/Sub/b.txt=x rootX/c.txt=x outside/secret=x root/link-in->Docs "
                         "root/link-out->../outside root/Docs/link-file-out->../../rootX/c.txt root/link-abs->/etc "
                         "root/dangling->missing root/Docs/Sub/c.cry=x root/to-secure->Docs/Sub");
    Require(tree.IsValid());
    g_root = tree.Path("root");
    g_secure = tree.Path("root/Docs/Sub");
    return 0;
}

// Byte 0: permissions (bits 0-1), current folder (2-3), resolver and mode (4-6), Docs/Sub secure (7); then a path.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    static const char* const kCurrent[] = {"/", "/Docs", "/Docs/Sub", "/docs"};
    CSettings::Values settings;
    settings.SharedFolder = g_root;
    settings.AllowDownloadFiles = bytes[0] & 1;
    settings.AllowUploadFiles = (bytes[0] >> 1) & 1;
    settings.AllowDeleteFiles = settings.AllowRenameFiles = settings.AllowCreateFolders = 1;
    const bool secure = bytes[0] & 0x80;
    settings.SecureFolder = secure ? g_secure : QByteArray();
    static CRealRootCache cache; // as a connection keeps it, so that opens go through openat2
    const CVirtualFolder folder(settings, kCurrent[(bytes[0] >> 2) % 4], &cache);
    const QByteArray clientPath(reinterpret_cast<const char*>(bytes + 1), qsizetype(size - 1));
    const int choice = (bytes[0] >> 4) % 7;

    QByteArray diskPath;
    if (choice == 0) {
        if (folder.ResolveRenameTarget(clientPath, g_root + "/File.txt", diskPath) == PathOK)
            RequireAccepted(diskPath, AccessRename, secure);
        return 0;
    }
    const AccessMode mode = AccessMode(choice);
    const int folderResult = folder.ResolveFolderPath(clientPath, mode, diskPath);
    // A folder to create is named unless there is nothing to create (empty).
    const bool toCreate = folderResult == PathFolderNotFound && mode == AccessCreateFolder && !diskPath.isEmpty();
    if (folderResult == PathOK || toCreate)
        RequireAccepted(diskPath, mode, secure);
    if (folderResult == PathOK)
        Require(folder.MapToVirtualPath(diskPath).startsWith('/'));
    diskPath.clear();
    if (folder.ResolveFilePath(clientPath, mode, diskPath) == PathOK) {
        RequireAccepted(diskPath, mode, secure);
        // What is opened lies inside the root, where the kernel says it is.
        const CUniqueFd file = folder.OpenFile(diskPath, O_RDONLY | O_NONBLOCK);
        char opened[PATH_MAX];
        const ssize_t length =
            file.IsValid()
                ? ::readlink(("/proc/self/fd/" + QByteArray::number(file.Get())).constData(), opened, sizeof opened)
                : -1;
        Require(!file.IsValid() || (length > 0 && Below(g_root, QByteArray(opened, length))));
    }
    return 0;
}
