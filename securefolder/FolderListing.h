#pragma once

#include <QByteArray>
#include <QByteArrayList>

// Which files of the secure folder a pass takes.
enum class EFolderPattern
{
    AllFiles, // "*.*": every file
    CryFiles, // "*.cry": names ending in ".cry", without regard to ASCII case
};

// Appends folder + "/" + name for each regular file of that one folder that matches, in byte order
// of the names. Sub-folders are not entered; names beginning with "." are skipped, and so is
// anything that is not a regular file itself (symbolic links, FIFOs, devices). A folder that cannot
// be read lists nothing. Any thread.
void ListFolderFiles(QByteArrayList& list, const QByteArray& folder, EFolderPattern pattern);

// Letters A-Z turned into a-z, every other byte unchanged.
QByteArray AsciiLower(const QByteArray& text);
