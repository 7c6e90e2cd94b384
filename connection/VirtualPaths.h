#pragma once

#include "connection/ConnectionState.h"
#include "core/Settings.h"
#include "platform/UniqueFd.h"

#include <QByteArray>

#include <sys/stat.h>

// The tree clients see: "/" is the root folder (SharedFolder), names below it are disk entries.
// Disk paths are bytes with "/" separators, absolute and normalised; file names are never
// converted. Any thread may use these, each with its own objects.

// True when the disk path exists and is a folder (wantFolder) or anything else (!wantFolder).
// Symbolic links are followed.
bool PathExists(const QByteArray& diskPath, bool wantFolder);

// True when the last name of the path ends in ".cry", ignoring ASCII case: a file of the secure
// folder's passes.
bool IsCryName(const QByteArray& path);

// Names compared as clients of this server expect: ignoring ASCII case, then by bytes.
bool EqualIgnoringAsciiCase(const QByteArray& a, const QByteArray& b);
bool NameLess(const QByteArray& a, const QByteArray& b);

// The root folder's real path, remembered between the commands of one connection: resolving it
// anew for every command costs a system call per folder level. The remembered path is used while
// the settings name the same folder and a folder is still there. One connection's own.
class CRealRootCache
{
public:
    CRealRootCache() = default;
    CRealRootCache(const CRealRootCache&) = delete;
    CRealRootCache& operator=(const CRealRootCache&) = delete;

    // The real path of the absolute folder path, empty when it cannot be resolved; isFolder tells
    // whether a folder is there.
    QByteArray Resolve(const QByteArray& absoluteRoot, bool& isFolder);
    // The folder Resolve found, open (O_PATH) for lookups beneath it; -1 when there is none.
    int Fd() const { return m_fd.Get(); }
    // The real location of the secure folder the setting names (see RealLocation in
    // VirtualPaths.cpp), remembered while the setting, and whether a folder is there, stay.
    QByteArray ResolveSecure(const QByteArray& secureFolder);

private:
    void Reopen();

    QByteArray m_strRoot;
    QByteArray m_strReal;
    CUniqueFd m_fd;
    struct stat m_opened = {}; // what m_fd is, to find a folder put in the remembered one's place
    QByteArray m_strSecure;    // the setting
    QByteArray m_strSecureReal;
    bool m_bSecureWasFolder = false;
};

// One command's view of the root folder: maps client paths onto disk paths, checks containment and
// permissions, and maps disk paths back. Built from the settings of the moment and the client's
// current folder; keeps nothing between commands.
class CVirtualFolder
{
public:
    // currentFolder: the client's current folder as the disk spells it, relative to the root ("/",
    // "/Docs"). A relative SharedFolder is taken from the process's working folder.
    // cache: where the connection remembers the root's real path; none resolves it every time.
    CVirtualFolder(const CSettings::Values& settings, const QByteArray& currentFolder, CRealRootCache* cache = nullptr);

    struct Mapped
    {
        QByteArray diskPath;
        bool found = false;  // every name along the path exists
        bool decided = true; // every name was looked up: none lies past the limits on a path's work
    };

    // A client path (absolute, or relative to the current folder) onto its disk path. Names other
    // than ".." lose their leading and trailing dots; each resolves to the entry of that exact
    // spelling, else to the first entry equal to it ignoring ASCII case. ".." may climb above the
    // root: the Resolve functions keep operations inside.
    Mapped MapToDiskPath(const QByteArray& path) const;

    // Results as CSocketController::ResolveFolderPath and ResolveFilePath (0, 2, 3, 5). A client
    // path holding a NUL byte names nothing: 3 for folders, 2 for files and rename targets.
    PathResult ResolveFolderPath(const QByteArray& clientPath, AccessMode accessMode, QByteArray& diskPath) const;
    PathResult ResolveFilePath(const QByteArray& clientPath, AccessMode accessMode, QByteArray& diskPath) const;
    // The target of a rename of sourcePath: a new name keeps the client's spelling, and so does a
    // name that differs from the source's only in case. 0 allowed; 2 its folder is missing or the
    // name is invalid; 5 not allowed (outside the root or no rename permission).
    PathResult ResolveRenameTarget(const QByteArray& clientPath, const QByteArray& sourcePath,
                                   QByteArray& diskPath) const;

    // True when the entry (or, when it does not exist, its nearest existing parent) really lies in
    // the root folder once symbolic links are followed. A link that cannot be followed is outside.
    bool IsReachable(const QByteArray& diskPath) const;
    // IsReachable for an entry whose folder lies inside the root: follows the entry only when it is
    // a symbolic link.
    bool IsEntryReachable(const QByteArray& diskPath) const;
    bool IsRoot(const QByteArray& diskPath) const { return diskPath == m_strRoot; }
    // The root folder's real path, which what is opened below it is checked against.
    const QByteArray& Root() const { return m_strRoot; }
    // Opens a file or folder below the root, as OpenBelowRoot does; the kernel keeps the lookup
    // beneath the root when it can, which costs one system call.
    CUniqueFd OpenFile(const QByteArray& diskPath, int flags) const;

    // True when the disk path is the secure folder, where folders are not shown and files are shown
    // only when they are .cry files (see SecureFolderAllows).
    bool IsSecureFolder(const QByteArray& diskPath) const;

    // The virtual path clients see for a disk path below the root: lower case, "/" for the root.
    QByteArray MapToVirtualPath(const QByteArray& diskPath) const;
    // The same path in the disk's spelling, to be kept as a current folder.
    QByteArray RootRelativePath(const QByteArray& diskPath) const;

private:
    bool IsInsideRoot(const QByteArray& path) const;
    // SECURITY: true when the path lies outside the root, by its names or through a link. Checked
    // before anything else, so that a client learns nothing of what is there, not even whether it
    // exists; with the root gone, only its names decide.
    bool IsOutside(const QByteArray& diskPath) const;
    // Whether a name of the path below the root is a symbolic link (or cannot be looked at);
    // pathStatus is the path's own state, as lstat gives it.
    bool HasLinkBelowRoot(const QByteArray& path, const struct stat& pathStatus) const;
    // The access mode's permission is on, and the root is there.
    bool Permitted(AccessMode accessMode) const;
    // Where a disk path lies against the secure folder, by its names and where its links lead.
    enum class SecurePlace
    {
        Elsewhere,
        Above,  // a folder that holds the secure folder
        Folder, // the secure folder itself
        Inside
    };
    SecurePlace PlaceOfSecureFolder(const QByteArray& diskPath) const;
    // SECURITY: the secure folder is its owner's. When it lies in the root, clients may browse it
    // and download its .cry files, and nothing else: no plain file in it is read or looked at, and
    // nothing in it, nor the folders that hold it, is written, removed or renamed.
    bool SecureFolderAllows(const QByteArray& diskPath, AccessMode accessMode) const;
    Mapped MapFolderPart(const QByteArray& normalisedPath, QByteArray& name) const;
    // The folder and the last name of a client path that names an entry: PathOK; PathNotAllowed
    // when the folder lies outside the root; PathFileNotFound when the path names nothing (empty, a
    // NUL byte, "." or "..", or a folder along it is missing).
    PathResult MapEntry(const QByteArray& clientPath, QByteArray& folderPath, QByteArray& name) const;

    CSettings::Values m_settings;
    QByteArray m_strRoot; // absolute, symbolic links resolved when it exists, no trailing "/"
    // The root, open, from the connection's cache; -1 when not known. Borrowed: valid while no
    // other view of the connection is made, which may open the root anew (a view lasts a command).
    int m_hRoot = -1;
    bool m_bRootExists = false;
    QByteArray m_strCurrent; // disk path of the current folder
    QByteArray m_strSecure;  // the secure folder's real location when it lies in the root, else empty
};
