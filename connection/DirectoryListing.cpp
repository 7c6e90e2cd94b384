#include "connection/DirectoryListing.h"

#include "connection/BelowRoot.h"
#include "connection/ConnectionState.h"
#include "connection/SocketController.h"
#include "connection/VirtualPaths.h"

#include <QDateTime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>

namespace {

// Clients parse these names, so they never follow the user's locale.
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool LocalTime(qint64 seconds, struct tm& local)
{
    const time_t t = time_t(seconds);
    return localtime_r(&t, &local) != nullptr;
}

ListEntry EntryFromStatus(const QByteArray& name, const struct stat& status)
{
    ListEntry entry;
    entry.name = name;
    entry.folder = S_ISDIR(status.st_mode);
    entry.size = quint64(status.st_size);
    entry.lastWrite = qint64(status.st_mtim.tv_sec);
    return entry;
}

// The status the line shows, of the entry in the open folder: a link's target. False when the
// entry is to be left out.
bool ListedStatus(int folder, const char* name, const QByteArray& root, struct stat& status)
{
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false; // gone since the folder was read
    if (!S_ISLNK(status.st_mode))
        return true;
    // SECURITY: a link that leads out of the root would show what lies outside it.
    const CUniqueFd target = OpenBelowRootAt(root, folder, name, O_PATH);
    return target.IsValid() && ::fstat(target.Get(), &status) == 0;
}

// Calls visit with each name of the open folder, "." and ".." included; false when reading failed
// (errno says why). The kernel's own call, as readdir would first look at the descriptor three
// more times; what readdir skips or takes for the end is skipped and taken alike.
template <typename Visit> bool ForEachName(int folder, Visit visit)
{
    QByteArray buffer(32 * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t read = ::getdents64(folder, buffer.data(), size_t(buffer.size()));
        if (read <= 0)
            return read == 0 || errno == ENOENT; // ENOENT: the folder was removed while it was read
        for (ssize_t at = 0; at < read;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.constData() + at);
            at += entry->d_reclen;
            if (entry->d_ino != 0) // a deleted entry
                visit(entry->d_name);
        }
    }
}

} // namespace

QByteArray FormatListDate(qint64 lastWrite, qint64 now)
{
    struct tm local = {};
    if (!LocalTime(lastWrite, local)) {
        lastWrite = now; // a time the calendar cannot show counts as now
        LocalTime(now, local);
    }
    // Unsigned difference: no overflow whatever the two times are.
    const bool recent = lastWrite > now || quint64(now) - quint64(lastWrite) < quint64(kListYearAfterSeconds);
    char text[64];
    const char* month = kMonthNames[qBound(0, local.tm_mon, 11)];
    if (recent)
        snprintf(text, sizeof text, " %s %02d %02d:%02d ", month, local.tm_mday, local.tm_hour, local.tm_min);
    else
        snprintf(text, sizeof text, " %s %02d %d ", month, local.tm_mday, local.tm_year + 1900);
    return QByteArray(text);
}

QByteArray FormatListing(const QList<ListEntry>& entries, qint64 now)
{
    constexpr qsizetype kSizeWidth = 14;
    QByteArray text;
    text.reserve(entries.size() * 64);
    QByteArray date;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const ListEntry& entry = entries[i];
        // Entries written in the same second (a folder filled at once) share their date column.
        if (i == 0 || entry.lastWrite != entries[i - 1].lastWrite)
            date = FormatListDate(entry.lastWrite, now);
        char size[24];
        const qsizetype digits = std::to_chars(size, size + sizeof size, entry.size).ptr - size;
        text += entry.folder ? "drwx------ 1 user group " : "-rwx------ 1 user group ";
        if (digits < kSizeWidth)
            text.append(kSizeWidth - digits, ' ');
        text.append(size, digits);
        text += date;
        const qsizetype nameAt = text.size();
        text += entry.name;
        // SECURITY: a name must not end its line early and forge further entries.
        char* name = text.data();
        for (qsizetype at = nameAt; at < text.size(); ++at) {
            if (name[at] == '\r' || name[at] == '\n')
                name[at] = ' ';
        }
        text += "\r\n";
    }
    return text;
}

void SortListEntries(QList<ListEntry>& entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const ListEntry& a, const ListEntry& b) { return NameLess(a.name, b.name); });
}

bool ReadListEntries(const QByteArray& diskPath, const CVirtualFolder& root, QList<ListEntry>& entries)
{
    entries.clear();
    struct stat status;
    // Through ".": a folder lists only where it can be searched as well as read, as each entry's status is shown.
    CUniqueFd folder = root.OpenFile(diskPath + (diskPath.endsWith('/') ? "." : "/."), O_RDONLY | O_DIRECTORY);
    if (!folder.IsValid() && errno == ENOTDIR) {
        // Looked at without being opened for reading: a file lists whether readable or not.
        CUniqueFd place = OpenBelowRoot(root.Root(), diskPath, O_PATH);
        const bool known = place.IsValid() && ::fstat(place.Get(), &status) == 0;
        const int looked = errno;
        place.Reset();
        if (known)
            entries.append(EntryFromStatus(diskPath.mid(diskPath.lastIndexOf('/') + 1), status));
        errno = looked;
        return known;
    }
    if (!folder.IsValid())
        return false;
    const int fd = folder.Get();
    // SECURITY: the secure folder shows its .cry files only, as the passes leave them: no plain
    // file, no folder, no link.
    const bool cryOnly = root.IsSecureFolder(diskPath);
    const bool read = ForEachName(fd, [&](const char* found) {
        const QByteArray name(found);
        if (name == "." || name == ".." || (cryOnly && !IsCryName(name)))
            return;
        const bool shown = cryOnly ? ::fstatat(fd, found, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)
                                   : ListedStatus(fd, found, root.Root(), status);
        if (shown)
            entries.append(EntryFromStatus(name, status));
    });
    const int error = errno;
    folder.Reset();
    errno = error;
    return read;
}

bool CSocketController::BuildListing(const QByteArray& pattern, QByteArray& listing)
{
    listing.clear();
    QByteArray path = pattern;
    while (path.endsWith('*'))
        path.chop(1);
    if (path.isEmpty())
        path = "."; // the current folder, as the disk spells it

    const CVirtualFolder root = VirtualFolder();
    QByteArray diskPath;
    PathResult result = root.ResolveFolderPath(path, AccessBrowse, diskPath);
    QList<ListEntry> entries;
    if (result == PathOK && !ReadListEntries(diskPath, root, entries))
        result = (errno == ENOENT || errno == ENOTDIR) ? PathFolderNotFound : PathNotAllowed;
    if (result != PathOK) {
        ReplyFolderRefused(result, pattern);
        return false;
    }
    SortListEntries(entries);
    listing = FormatListing(entries, QDateTime::currentSecsSinceEpoch());
    return true;
}
