#include "securefolder/FolderListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

bool Matches(const QByteArray& name, EFolderPattern pattern)
{
    return pattern == EFolderPattern::AllFiles || AsciiLower(name).endsWith(".cry");
}

} // namespace

QByteArray AsciiLower(const QByteArray& text)
{
    QByteArray lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return lower;
}

void ListFolderFiles(QByteArrayList& list, const QByteArray& folder, EFolderPattern pattern)
{
    DIR* dir = opendir(folder.constData());
    if (!dir)
        return;
    QByteArrayList names;
    while (const dirent* entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || !Matches(name, pattern))
            continue;
        // A link would be read through but only the link removed, leaving the real file plain.
        struct stat st = {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        names.append(name);
    }
    closedir(dir);
    // The directory's own order is arbitrary on Linux; a fixed order makes a pass repeatable.
    std::sort(names.begin(), names.end());
    for (const QByteArray& name : names)
        list.append(folder + '/' + name);
}
