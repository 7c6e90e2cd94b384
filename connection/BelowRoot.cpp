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
int KeepBelowRoot(const QByteArray& root, int fd)
{
    if (fd < 0 || IsAtOrBelow(root, DescriptorPath(fd)))
        return fd;
    ::close(fd);
    errno = EACCES;
    return -1;
}

} // namespace

bool IsAtOrBelow(const QByteArray& root, const QByteArray& path)
{
    if (root.isEmpty() || !path.startsWith(root))
        return false;
    return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

int OpenBelowRootAt(const QByteArray& root, int folderFd, const char* path, int flags)
{
    return KeepBelowRoot(root, ::openat(folderFd, path, flags | O_CLOEXEC));
}

CEntryFolder::CEntryFolder(const QByteArray& root, const QByteArray& diskPath) : m_strRoot(root)
{
    const qsizetype slash = diskPath.lastIndexOf('/');
    m_strName = diskPath.mid(slash + 1);
    if (slash >= 0 && !m_strName.isEmpty())
        m_fd = OpenBelowRoot(root, slash == 0 ? QByteArray("/") : diskPath.left(slash), O_PATH | O_DIRECTORY);
}

CEntryFolder::~CEntryFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int CEntryFolder::OpenForWriting() const
{
    const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;
    const int fd = ::openat(m_fd, Name(), flags | O_CREAT | O_NOFOLLOW, 0644);
    if (fd >= 0 || errno != ELOOP)
        return fd;
    // A symbolic link: where it leads is looked at first, then that same file is opened.
    const int place = OpenBelowRootAt(m_strRoot, m_fd, Name(), O_PATH);
    if (place < 0)
        return -1;
    const int file = ::open(DescriptorLink(place).constData(), flags);
    ::close(place);
    return file;
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
    int folder = OpenBelowRoot(root, root, O_PATH | O_DIRECTORY);
    bool created = false;
    for (const QByteArray& name : names) {
        if (name.isEmpty() || folder < 0)
            continue;
        // Most parents exist already, so their failures mean nothing; the last mkdir decides.
        created = ::mkdirat(folder, name.constData(), 0777) == 0;
        const int next = OpenBelowRootAt(root, folder, name.constData(), O_PATH | O_DIRECTORY);
        ::close(folder);
        folder = next;
    }
    if (folder < 0)
        return false;
    ::close(folder);
    return created;
}
