// Path resolvers: every disk path they accept lies inside the root folder, exactly (whole folder
// levels, normalised, and again after following symbolic links), on a real fixture tree with a
// sibling folder whose name extends the root's, links out of the root and a case-folded twin.

#include "connection/ConnectionState.h"
#include "connection/VirtualPaths.h"

#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray g_base; // the fixture's temporary folder
QByteArray g_root; // its root folder, symbolic links resolved

void Require(bool condition)
{
    if (!condition)
        abort();
}

void Make(const QByteArray& relative, bool folder)
{
    const QByteArray path = g_base + '/' + relative;
    if (folder) {
        Require(::mkdir(path.constData(), 0755) == 0);
        return;
    }
    FILE* file = fopen(path.constData(), "w");
    Require(file && fputs("x", file) >= 0 && fclose(file) == 0);
}

void Link(const char* target, const QByteArray& relative)
{
    Require(::symlink(target, (g_base + '/' + relative).constData()) == 0);
}

bool InsideRoot(const QByteArray& path)
{
    return path.startsWith(g_root) && (path.size() == g_root.size() || path[g_root.size()] == '/');
}

// Exact containment of an accepted disk path, as the file system will take it.
void RequireContained(const QByteArray& path)
{
    Require(!path.contains('\0') && InsideRoot(path));
    Require(!path.contains("//") && !path.contains("/./") && !path.contains("/../") && !path.endsWith("/..") &&
            !path.endsWith("/."));
    // The nearest existing entry, links followed, is inside too.
    QByteArray existing = path;
    struct stat status;
    while (::lstat(existing.constData(), &status) != 0)
        existing = existing.left(existing.lastIndexOf('/'));
    char* real = ::realpath(existing.constData(), nullptr);
    Require(real && InsideRoot(QByteArray(real)));
    free(real);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static QTemporaryDir base;
    Require(base.isValid());
    g_base = base.path().toUtf8();
    for (const char* folder : {"root", "root/Docs", "root/Docs/Sub", "root/docs", "rootX", "outside"})
        Make(folder, true);
    for (const char* file :
         {"root/File.txt", "root/Docs/a.txt", "root/Docs/Sub/b.txt", "rootX/c.txt", "outside/secret"})
        Make(file, false);
    Link("Docs", "root/link-in");
    Link("../outside", "root/link-out");
    Link("../../rootX/c.txt", "root/Docs/link-file-out");
    Link("/etc", "root/link-abs");
    Link("missing", "root/dangling");
    char* real = ::realpath((g_base + "/root").constData(), nullptr);
    Require(real);
    g_root = real;
    free(real);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    static const char* const kCurrent[] = {"/", "/Docs", "/Docs/Sub", "/docs"};
    CSettings::Values settings;
    settings.SharedFolder = g_root;
    settings.AllowDownloadFiles = bytes[0] & 1;
    settings.AllowUploadFiles = (bytes[0] >> 1) & 1;
    settings.AllowDeleteFiles = 1;
    settings.AllowRenameFiles = 1;
    settings.AllowCreateFolders = 1;
    const CVirtualFolder folder(settings, kCurrent[(bytes[0] >> 2) % 4]);
    const QByteArray clientPath(reinterpret_cast<const char*>(bytes + 1), qsizetype(size - 1));

    for (int accessMode = AccessDownload; accessMode <= AccessBrowse; ++accessMode) {
        const AccessMode mode = AccessMode(accessMode);
        QByteArray diskPath;
        const int folderResult = folder.ResolveFolderPath(clientPath, mode, diskPath);
        // A folder to create is named unless there is nothing to create (empty).
        const bool toCreate = folderResult == PathFolderNotFound && mode == AccessCreateFolder && !diskPath.isEmpty();
        if (folderResult == PathOK || toCreate)
            RequireContained(diskPath);
        if (folderResult == PathOK)
            Require(folder.MapToVirtualPath(diskPath).startsWith('/'));
        diskPath.clear();
        if (folder.ResolveFilePath(clientPath, mode, diskPath) == PathOK)
            RequireContained(diskPath);
    }
    QByteArray target;
    if (folder.ResolveRenameTarget(clientPath, g_root + "/File.txt", target) == PathOK)
        RequireContained(target);
    return 0;
}
