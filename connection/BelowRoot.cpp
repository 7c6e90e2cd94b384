#include "connection/BelowRoot.h"

#include <QByteArrayList>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray DescriptorLink(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Where the descriptor really is, as the kernel tracks it through renames; empty when unknown.
QByteArray DescriptorPath(int fd)
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink(DescriptorLink(fd).constData(), path, sizeof path);
    return n > 0 && size_t(n) < sizeof path ? QByteArray(path, n) : QByteArray();
}

// Keeps the descriptor when it lies in root; closes it otherwise.
CUniqueFd KeepBelowRoot(const QByteArray& root, CUniqueFd fd)
{
    if (!fd.IsValid() || IsAtOrBelow(root, DescriptorPath(fd.Get())))
        return fd;
    fd.Reset();
    errno = EACCES;
    return fd;
}

} // namespace

bool IsAtOrBelow(const QByteArray& root, const QByteArray& path)
{
    if (root.isEmpty() || !path.startsWith(root))
        return false;
    return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

CUniqueFd OpenBelowRootAt(const QByteArray& root, int folderFd, const char* path, int flags)
{
    // Looked at without being opened first, then that same file is opened: only a regular file or a
    // folder, as opening a device or a FIFO can act on it.
    CUniqueFd place =
        KeepBelowRoot(root, CUniqueFd(::openat(folderFd, path, O_PATH | O_CLOEXEC | (flags & O_DIRECTORY))));
    if (!place.IsValid() || (flags & O_PATH))
        return place;
    struct stat status;
    const bool plain = ::fstat(place.Get(), &status) == 0 && (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode));
    if (!plain) {
        errno = EACCES;
        return CUniqueFd();
    }
    return CUniqueFd(::open(DescriptorLink(place.Get()).constData(), flags | O_CLOEXEC | O_NOCTTY));
}

CEntryFolder::CEntryFolder(const QByteArray& root, const QByteArray& diskPath) : m_strRoot(root)
{
    const qsizetype slash = diskPath.lastIndexOf('/');
    m_strName = diskPath.mid(slash + 1);
    if (slash >= 0 && !m_strName.isEmpty())
        m_fd = OpenBelowRoot(root, slash == 0 ? QByteArray("/") : diskPath.left(slash), O_PATH | O_DIRECTORY);
}

CUniqueFd CEntryFolder::OpenForWriting(bool replace) const
{
    // Without replace, an entry that came meanwhile under the name is refused, whatever it is.
    const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;
    CUniqueFd fd(::openat(m_fd.Get(), Name(), flags | O_CREAT | (replace ? O_NOFOLLOW : O_EXCL), 0644));
    if (fd.IsValid() || errno != ELOOP)
        return fd;
    return OpenBelowRootAt(m_strRoot, m_fd.Get(), Name(), flags); // a symbolic link, followed only into root
}

bool CreateFolderTreeBelowRoot(const QByteArray& root, const QByteArray& diskPath)
{
    // A path the system cannot hold is refused before its parents are made: a failed MKD leaves no
    // half-made tree behind.
    if (!IsAtOrBelow(root, diskPath) || diskPath.size() >= PATH_MAX)
        return false;
    const QByteArrayList names = diskPath.mid(root.size()).split('/');
    for (const QByteArray& name : names) {
        if (name.size() > NAME_MAX)
            return false;
    }
    CUniqueFd folder = OpenBelowRoot(root, root, O_PATH | O_DIRECTORY);
    bool created = false;
    for (const QByteArray& name : names) {
        if (name.isEmpty() || !folder.IsValid())
            continue;
        // Most parents exist already, so their failures mean nothing; the last mkdir decides.
        created = ::mkdirat(folder.Get(), name.constData(), 0777) == 0;
        folder = OpenBelowRootAt(root, folder.Get(), name.constData(), O_PATH | O_DIRECTORY);
    }
    return folder.IsValid() && created;
}
