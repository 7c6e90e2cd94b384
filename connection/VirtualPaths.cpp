#include "connection/VirtualPaths.h"

#include "connection/BelowRoot.h"
#include "connection/ConnectionState.h"

#include <QByteArrayList>

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

// The names of a client path that are looked up on disk (see MapToDiskPath): deeper than any tree
// a path can reach, far below what a command line could make the server read.
constexpr int kMaxPathNames = 256;
// Folder entries read for one client path: a path that goes back and forth between large folders
// costs a read of one at every name. Once they are spent, no folder that is there is read any more
// and the path names nothing; a folder begun is read whole, so that no name is missed in it.
constexpr qsizetype kMaxEntriesRead = 1000000;

char FoldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool Exists(const QByteArray& path)
{
    struct stat status;
    return !path.isEmpty() && ::stat(path.constData(), &status) == 0;
}

QByteArray Join(const QByteArray& folder, const QByteArray& name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

// ".." of a disk path; "/" is its own parent, as in the file system.
QByteArray Parent(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArray();
    return slash == 0 ? QByteArray("/") : path.left(slash);
}

// "\" and "/" both separate names, repeated separators count as one, trailing ones are dropped.
QByteArray NormaliseClientPath(const QByteArray& clientPath)
{
    QByteArray path = clientPath;
    path.replace('\\', '/');
    while (path.contains("//"))
        path.replace("//", "/");
    while (path.endsWith('/'))
        path.chop(1);
    return path;
}

// SECURITY: no file name holds a NUL byte, and every system call would end the path there, so
// "..<NUL>x" would be checked as one name and opened as "..".
bool HasNul(const QByteArray& clientPath)
{
    return clientPath.contains('\0');
}

QByteArray RealPath(const QByteArray& path)
{
    std::unique_ptr<char, decltype(&free)> real(::realpath(path.constData(), nullptr), &free);
    return real ? QByteArray(real.get()) : QByteArray();
}

QByteArray WorkingFolder()
{
    std::unique_ptr<char, decltype(&free)> cwd(::getcwd(nullptr, 0), &free);
    return cwd ? QByteArray(cwd.get()) : QByteArray("/");
}

// A setting's folder: a relative one is taken from the process's working folder.
QByteArray AbsolutePath(const QByteArray& folder)
{
    return folder.startsWith('/') ? folder : Join(WorkingFolder(), folder);
}

QByteArray LexicalNormalise(const QByteArray& absolutePath)
{
    QByteArrayList names;
    for (const QByteArray& field : absolutePath.split('/')) {
        if (field.isEmpty() || field == ".")
            continue;
        if (field == "..") {
            if (!names.isEmpty())
                names.removeLast();
        } else {
            names.append(field);
        }
    }
    return '/' + names.join('/');
}

// Where an absolute path really leads, also when its last names do not exist (yet): the real path
// of its nearest existing entry, followed by the names after it.
QByteArray RealLocation(const QByteArray& absolutePath)
{
    QByteArray existing = LexicalNormalise(absolutePath);
    QByteArray rest;
    for (;;) {
        const QByteArray real = RealPath(existing);
        if (!real.isEmpty())
            return rest.isEmpty() ? real : Join(real, rest);
        const qsizetype slash = existing.lastIndexOf('/');
        if (slash <= 0)
            return LexicalNormalise(absolutePath);
        const QByteArray name = existing.mid(slash + 1);
        rest = rest.isEmpty() ? name : name + '/' + rest;
        existing = Parent(existing);
    }
}

// The names of the folder that ResolveName read last, kept for one client path: a path that names
// the same folder again and again ("a/../a/..") reads it once.
struct FolderNames
{
    QByteArray folder;
    QByteArrayList names;
    qsizetype entriesLeft = kMaxEntriesRead; // for the whole path
    bool spent = false;                      // a folder was left unread: a name may be missed
};

// The entry of the folder that a client's name means: that exact spelling when it exists, else the
// first entry in byte order equal to it ignoring ASCII case, else the name as given (a new name).
// exact, when given, tells whether the exact spelling exists, and holds its state then.
QByteArray ResolveName(const QByteArray& folder, const QByteArray& name, struct stat* exact = nullptr,
                       FolderNames* read = nullptr)
{
    struct stat status;
    const bool found = !folder.isEmpty() && ::lstat(Join(folder, name).constData(), &status) == 0;
    if (exact && found)
        *exact = status;
    else if (exact)
        *exact = {};
    if (folder.isEmpty() || found)
        return name;
    FolderNames own;
    FolderNames& names = read ? *read : own;
    if (names.folder != folder) {
        DIR* dir = ::opendir(folder.constData());
        if (!dir)
            return name; // no folder: a new name
        if (names.entriesLeft <= 0) {
            ::closedir(dir);
            names.spent = true;
            return name;
        }
        names.folder = folder;
        names.names.clear();
        while (const dirent* entry = ::readdir(dir))
            names.names.append(QByteArray(entry->d_name));
        names.entriesLeft -= names.names.size();
        ::closedir(dir);
    }
    QByteArray best;
    for (const QByteArray& candidate : names.names)
        if (EqualIgnoringAsciiCase(candidate, name) && (best.isEmpty() || candidate < best))
            best = candidate;
    return best.isEmpty() ? name : best;
}

} // namespace

bool PathExists(const QByteArray& diskPath, bool wantFolder)
{
    struct stat status;
    if (diskPath.isEmpty() || ::stat(diskPath.constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) == wantFolder;
}

bool IsCryName(const QByteArray& path)
{
    constexpr qsizetype kExtension = 4;
    const qsizetype slash = path.lastIndexOf('/');
    return path.size() - slash - 1 > kExtension && EqualIgnoringAsciiCase(path.right(kExtension), ".cry");
}

bool EqualIgnoringAsciiCase(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

bool NameLess(const QByteArray& a, const QByteArray& b)
{
    const qsizetype common = qMin(a.size(), b.size());
    const char* p = a.constData();
    const char* q = b.constData();
    for (qsizetype i = 0; i < common; ++i) {
        if (p[i] == q[i])
            continue; // most names of a folder share long beginnings: no folding there
        const uchar x = uchar(FoldAscii(p[i]));
        const uchar y = uchar(FoldAscii(q[i]));
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

QByteArray CRealRootCache::Resolve(const QByteArray& absoluteRoot, bool& isFolder)
{
    // SECURITY: the remembered folder must still be a folder itself, not a link put in its place,
    // and the open one the folder there now.
    struct stat status;
    isFolder = absoluteRoot == m_strRoot && !m_strReal.isEmpty() && ::lstat(m_strReal.constData(), &status) == 0 &&
               S_ISDIR(status.st_mode);
    if (!isFolder) {
        m_strRoot = absoluteRoot;
        m_strReal = RealPath(absoluteRoot);
        isFolder = PathExists(m_strReal, true);
        Reopen();
    } else if (!m_fd.IsValid() || status.st_dev != m_opened.st_dev || status.st_ino != m_opened.st_ino) {
        Reopen();
    }
    return m_strReal;
}

QByteArray CRealRootCache::ResolveSecure(const QByteArray& secureFolder)
{
    // Looked up anew when the setting changed, or the folder came or went since: one lstat a
    // command, where a resolution costs one for every name of the path and its parents.
    struct stat status;
    const bool isFolder =
        !m_strSecureReal.isEmpty() && ::lstat(m_strSecureReal.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    if (secureFolder != m_strSecure || m_strSecureReal.isEmpty() || isFolder != m_bSecureWasFolder) {
        m_strSecure = secureFolder;
        m_strSecureReal = RealLocation(AbsolutePath(secureFolder));
        m_bSecureWasFolder = ::lstat(m_strSecureReal.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    }
    return m_strSecureReal;
}

void CRealRootCache::Reopen()
{
    m_fd.Reset(m_strReal.isEmpty() ? -1 : ::open(m_strReal.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (m_fd.IsValid() && ::fstat(m_fd.Get(), &m_opened) != 0)
        m_fd.Reset();
}

CVirtualFolder::CVirtualFolder(const CSettings::Values& settings, const QByteArray& currentFolder,
                               CRealRootCache* cache)
    : m_settings(settings)
{
    if (!settings.SharedFolder.isEmpty()) {
        const QByteArray root = AbsolutePath(settings.SharedFolder);
        // SECURITY: containment is decided against the real root, so a root reached through a
        // symbolic link and entries whose links lead back into it are treated alike.
        bool isFolder = false;
        const QByteArray real = cache ? cache->Resolve(root, isFolder) : RealPath(root);
        m_bRootExists = !real.isEmpty() && (cache ? isFolder : PathExists(real, true));
        m_strRoot = real.isEmpty() ? LexicalNormalise(root) : real;
        m_hRoot = cache && m_bRootExists ? cache->Fd() : -1;
        if (m_bRootExists && !settings.SecureFolder.isEmpty()) {
            const QByteArray secure =
                cache ? cache->ResolveSecure(settings.SecureFolder) : RealLocation(AbsolutePath(settings.SecureFolder));
            if (IsInsideRoot(secure))
                m_strSecure = secure;
        }
    }
    if (currentFolder.isEmpty() || currentFolder == "/")
        m_strCurrent = m_strRoot;
    else
        m_strCurrent = m_strRoot == "/" ? currentFolder : m_strRoot + currentFolder;
}

CVirtualFolder::Mapped CVirtualFolder::MapToDiskPath(const QByteArray& path) const
{
    const bool absolute = path.startsWith('/') || path.startsWith('\\');
    Mapped mapped;
    mapped.diskPath = absolute ? m_strRoot : m_strCurrent;
    mapped.found = m_bRootExists && (mapped.diskPath == m_strRoot || Exists(mapped.diskPath));

    QByteArray copy = path;
    copy.replace('\\', '/');
    FolderNames read;
    int names = 0;
    for (QByteArray name : copy.split('/')) {
        if (name != "..") {
            // Dots around a name are dropped, as clients of this server expect ("Docs." is Docs).
            const QByteArray spelt = name;
            qsizetype first = 0;
            while (first < name.size() && name[first] == '.')
                ++first;
            qsizetype last = name.size();
            while (last > first && name[last - 1] == '.')
                --last;
            name = name.mid(first, last - first);
            if (name.isEmpty())
                continue;
            // SECURITY: a name not spelt as on disk costs a read of its folder, and each name a
            // longer path. Past this many names a path names nothing, so that no command line
            // costs minutes of work.
            if (++names > kMaxPathNames) {
                mapped.decided = mapped.found = false;
                break;
            }
            struct stat exactName;
            QByteArray entry = ResolveName(mapped.diskPath, name, &exactName, &read);
            if (spelt.size() != name.size()) {
                // An entry spelt with its dots (.config) is the one meant: dropping them would
                // act on another entry, one the client did not name. Exact spellings first, then
                // the dotted entry over the plain one where both match only ignoring case.
                struct stat exactSpelt;
                const QByteArray dotted = ResolveName(mapped.diskPath, spelt, &exactSpelt, &read);
                if (exactSpelt.st_mode != 0 || (dotted != spelt && exactName.st_mode == 0))
                    entry = dotted;
            }
            mapped.diskPath = Join(mapped.diskPath, entry);
            mapped.decided = mapped.decided && !read.spent;
            mapped.found = mapped.found && mapped.decided;
        } else {
            // SECURITY: a path that leaves the root names nothing, even one that comes back in:
            // what it passed outside must not tell whether a name exists there. The walk stops
            // where it left, through a link or above the root, which the caller refuses.
            const bool throughLink = IsOutside(mapped.diskPath);
            if (!throughLink)
                mapped.diskPath = Parent(mapped.diskPath);
            if (throughLink || !IsInsideRoot(mapped.diskPath)) {
                mapped.found = false;
                break;
            }
        }
        if (mapped.found && !Exists(mapped.diskPath))
            mapped.found = false;
    }
    return mapped;
}

PathResult CVirtualFolder::ResolveFolderPath(const QByteArray& clientPath, AccessMode accessMode,
                                             QByteArray& diskPath) const
{
    if (HasNul(clientPath)) {
        diskPath.clear(); // nothing to create either
        return PathFolderNotFound;
    }
    QByteArray path = NormaliseClientPath(clientPath);
    if (path.isEmpty()) {
        if (accessMode != AccessBrowse)
            return PathFolderNotFound;
        path = "/";
    }
    const Mapped mapped = MapToDiskPath(path);
    diskPath = mapped.decided ? mapped.diskPath : QByteArray(); // nothing to create either
    if (IsOutside(mapped.diskPath) || !SecureFolderAllows(mapped.diskPath, accessMode))
        return PathNotAllowed;
    if (!mapped.found && accessMode != AccessCreateFolder)
        return PathFolderNotFound;
    if (!Permitted(accessMode))
        return PathNotAllowed;
    return mapped.found ? PathOK : PathFolderNotFound;
}

CVirtualFolder::Mapped CVirtualFolder::MapFolderPart(const QByteArray& normalisedPath, QByteArray& name) const
{
    const qsizetype slash = normalisedPath.lastIndexOf('/');
    name = normalisedPath.mid(slash + 1);
    if (slash < 0)
        return MapToDiskPath(QByteArray());
    return MapToDiskPath(slash == 0 ? QByteArray("/") : normalisedPath.left(slash));
}

PathResult CVirtualFolder::MapEntry(const QByteArray& clientPath, QByteArray& folderPath, QByteArray& name) const
{
    if (HasNul(clientPath))
        return PathFileNotFound;
    const QByteArray path = NormaliseClientPath(clientPath);
    if (path.isEmpty())
        return PathFileNotFound;
    const Mapped folder = MapFolderPart(path, name);
    folderPath = folder.diskPath;
    if (!folderPath.isEmpty() && IsOutside(folderPath))
        return PathNotAllowed;
    // "." and ".." name folders, never a file to read or to create.
    return folder.found && name != "." && name != ".." ? PathOK : PathFileNotFound;
}

PathResult CVirtualFolder::ResolveFilePath(const QByteArray& clientPath, AccessMode accessMode,
                                           QByteArray& diskPath) const
{
    QByteArray folderPath, name;
    if (const PathResult mapped = MapEntry(clientPath, folderPath, name); mapped != PathOK)
        return mapped;
    struct stat entry;
    diskPath = Join(folderPath, ResolveName(folderPath, name, &entry));
    // Before anything is looked at: whether a plain file is there is the owner's to know.
    if (!SecureFolderAllows(diskPath, accessMode))
        return PathNotAllowed;
    // An entry of the exact spelling that is no link needs no second look: its state is known.
    const bool known = entry.st_mode != 0 && !S_ISLNK(entry.st_mode);
    struct stat followed = entry;
    if (!known && ::stat(diskPath.constData(), &followed) != 0)
        followed = {};
    const bool isFile = followed.st_mode != 0 && !S_ISDIR(followed.st_mode);
    if (accessMode == AccessUpload) {
        if (isFile && !m_settings.AllowDeleteFiles)
            return PathNotAllowed; // replacing a file destroys it: that needs the delete permission
    } else if (!isFile || (accessMode == AccessDownload && !S_ISREG(followed.st_mode))) {
        return PathFileNotFound; // a download reads regular files only: opening a FIFO or a device acts on it
    }
    // SECURITY: with its folder inside the root, the access must be allowed, and the entry itself
    // must not be a link that leads out of it (a download, or an upload written through the link).
    if (!Permitted(accessMode) || !(known || IsEntryReachable(diskPath)))
        return PathNotAllowed;
    return PathOK;
}

PathResult CVirtualFolder::ResolveRenameTarget(const QByteArray& clientPath, const QByteArray& sourcePath,
                                               QByteArray& diskPath) const
{
    QByteArray folderPath, name;
    if (const PathResult mapped = MapEntry(clientPath, folderPath, name); mapped != PathOK)
        return mapped;
    diskPath = Join(folderPath, ResolveName(folderPath, name));
    if (diskPath == sourcePath)
        diskPath = Join(folderPath, name); // a change of case only
    // SECURITY: nothing is moved out of the root folder, nor renamed without the permission.
    if (!Permitted(AccessRename) || !IsEntryReachable(diskPath) || !SecureFolderAllows(diskPath, AccessRename))
        return PathNotAllowed;
    return PathOK;
}

CUniqueFd CVirtualFolder::OpenFile(const QByteArray& diskPath, int flags) const
{
    // SECURITY: this is where an open decides containment. RESOLVE_BENEATH fails any lookup that
    // would leave the root (EXDEV), renames meanwhile included, and that refusal is final. A path
    // with a link along it (even one that stays inside) and a kernel without openat2 take the look
    // at where the file lies instead, which also looks at what it is before opening it: a link put
    // in a checked file's place may lead to a device, which opening acts on.
    if (!IsInsideRoot(diskPath)) {
        errno = EXDEV;
        return CUniqueFd();
    }
    if (m_hRoot >= 0 && diskPath.size() > m_strRoot.size()) {
        open_how how = {};
        how.flags = quint64(flags | O_CLOEXEC | O_NOCTTY | O_LARGEFILE); // the raw call adds no O_LARGEFILE
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        const QByteArray relative = diskPath.mid(m_strRoot == "/" ? 1 : m_strRoot.size() + 1);
        CUniqueFd fd(int(::syscall(SYS_openat2, m_hRoot, relative.constData(), &how, sizeof how)));
        // ELOOP: a link. EAGAIN: a rename elsewhere in the tree meanwhile; tried the long way. ENOSYS,
        // and EPERM from a sandbox that refuses system calls it does not know: no openat2.
        if (fd.IsValid() || (errno != ELOOP && errno != ENOSYS && errno != EAGAIN && errno != EPERM))
            return fd;
    }
    return OpenBelowRoot(m_strRoot, diskPath, flags);
}

bool CVirtualFolder::IsInsideRoot(const QByteArray& path) const
{
    return IsAtOrBelow(m_strRoot, path);
}

bool CVirtualFolder::IsOutside(const QByteArray& diskPath) const
{
    return !IsInsideRoot(diskPath) || (m_bRootExists && !IsReachable(diskPath));
}

bool CVirtualFolder::IsReachable(const QByteArray& diskPath) const
{
    // The real root was looked at when this view was made: a folder, no link.
    if (!m_bRootExists || diskPath == m_strRoot)
        return m_bRootExists;
    QByteArray path = diskPath;
    struct stat last = {};
    while (!path.isEmpty() && path != "/" && ::lstat(path.constData(), &last) != 0)
        path = Parent(path);
    // Below the real root, a path none of whose names is a symbolic link is its own real path.
    if (IsInsideRoot(path) && !HasLinkBelowRoot(path, last))
        return true;
    // SECURITY: a symbolic link inside the root that points outside it (or nowhere) is refused.
    return IsInsideRoot(RealPath(path));
}

bool CVirtualFolder::HasLinkBelowRoot(const QByteArray& path, const struct stat& pathStatus) const
{
    for (qsizetype slash = path.indexOf('/', m_strRoot.size() + 1);; slash = path.indexOf('/', slash + 1)) {
        if (slash < 0) // the path itself, whose state the caller has
            return path.size() > m_strRoot.size() && S_ISLNK(pathStatus.st_mode);
        const QByteArray prefix = path.left(slash);
        struct stat status;
        if (prefix.size() > m_strRoot.size() && (::lstat(prefix.constData(), &status) != 0 || S_ISLNK(status.st_mode)))
            return true;
    }
}

bool CVirtualFolder::IsEntryReachable(const QByteArray& diskPath) const
{
    // An entry that is no symbolic link (or not there yet) lies where its folder lies, which the
    // caller has checked: only a link needs following.
    struct stat status;
    if (::lstat(diskPath.constData(), &status) != 0 ? errno == ENOENT : !S_ISLNK(status.st_mode))
        return true;
    return IsReachable(diskPath);
}

CVirtualFolder::SecurePlace CVirtualFolder::PlaceOfSecureFolder(const QByteArray& diskPath) const
{
    const auto placeOf = [this](const QByteArray& path) {
        if (path == m_strSecure)
            return SecurePlace::Folder;
        if (IsAtOrBelow(m_strSecure, path))
            return SecurePlace::Inside;
        return IsAtOrBelow(path, m_strSecure) ? SecurePlace::Above : SecurePlace::Elsewhere;
    };
    // Where the path lies by its names, and where its links lead: the nearer of the two counts.
    QByteArray existing = diskPath;
    struct stat last = {};
    while (existing.size() > m_strRoot.size() && ::lstat(existing.constData(), &last) != 0)
        existing = Parent(existing);
    const SecurePlace named = placeOf(diskPath);
    if (!IsInsideRoot(existing) || !HasLinkBelowRoot(existing, last))
        return named;
    return std::max(named, placeOf(RealLocation(diskPath)));
}

bool CVirtualFolder::SecureFolderAllows(const QByteArray& diskPath, AccessMode accessMode) const
{
    if (m_strSecure.isEmpty())
        return true;
    switch (PlaceOfSecureFolder(diskPath)) {
    case SecurePlace::Elsewhere:
        return true;
    case SecurePlace::Above:
        return accessMode != AccessRename && accessMode != AccessDelete;
    case SecurePlace::Folder:
        return accessMode == AccessBrowse;
    case SecurePlace::Inside:
        break;
    }
    if (accessMode != AccessDownload && accessMode != AccessBrowse)
        return false;
    // A .cry file by its name and by what it is, wherever a link leads: no folder, nothing plain.
    struct stat status;
    const QByteArray real = RealLocation(diskPath);
    const bool folder = ::stat(real.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    return !folder && IsCryName(diskPath) && IsCryName(real);
}

bool CVirtualFolder::IsSecureFolder(const QByteArray& diskPath) const
{
    return !m_strSecure.isEmpty() && PlaceOfSecureFolder(diskPath) == SecurePlace::Folder;
}

bool CVirtualFolder::Permitted(AccessMode accessMode) const
{
    if (!m_bRootExists)
        return false; // nothing is done in a root that is not there
    switch (accessMode) {
    case AccessDownload:
        return m_settings.AllowDownloadFiles;
    case AccessUpload:
        return m_settings.AllowUploadFiles;
    case AccessRename:
        return m_settings.AllowRenameFiles;
    case AccessDelete:
        return m_settings.AllowDeleteFiles;
    case AccessCreateFolder:
        return m_settings.AllowCreateFolders;
    case AccessBrowse:
        return m_settings.AllowDownloadFiles || m_settings.AllowUploadFiles;
    default:
        return false;
    }
}

QByteArray CVirtualFolder::RootRelativePath(const QByteArray& diskPath) const
{
    if (!IsInsideRoot(diskPath) || diskPath == m_strRoot)
        return "/";
    return m_strRoot == "/" ? diskPath : diskPath.mid(m_strRoot.size());
}

QByteArray CVirtualFolder::MapToVirtualPath(const QByteArray& diskPath) const
{
    QByteArray path = RootRelativePath(diskPath);
    for (char& c : path)
        c = FoldAscii(c);
    return path;
}
