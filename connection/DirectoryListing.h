#pragma once

#include <QByteArray>
#include <QList>

class CVirtualFolder;

// The LIST text: one Unix-like line per folder entry, which FTP clients parse. Pure functions
// except ReadListEntries, which reads the disk; any thread.

struct ListEntry
{
    QByteArray name; // as the file system gives it
    bool folder = false;
    quint64 size = 0;
    qint64 lastWrite = 0; // seconds since the epoch
};

// Seconds after which an entry shows its year instead of its time of day (357 days).
constexpr qint64 kListYearAfterSeconds = 30844800;

// The date column in the local time zone, English month names whatever the locale:
// " Jun 15 06:23 " within 357 days (or in the future), " Jun 15 2020 " otherwise.
QByteArray FormatListDate(qint64 lastWrite, qint64 now);

// The lines of the entries, in their order, each with its CR LF. The size is right-aligned in 14
// characters (whole when longer). A CR or LF in a name becomes a space, so no name can end its
// line early.
QByteArray FormatListing(const QList<ListEntry>& entries, qint64 now);

// Orders entries by name ignoring ASCII case, ties by bytes.
void SortListEntries(QList<ListEntry>& entries);

// The entries of a folder ("." and ".." left out, hidden ones kept), or the one entry of a file.
// Symbolic links show what they point to; links that lead out of the root folder, or nowhere, are
// left out. False with errno set when the folder cannot be read.
bool ReadListEntries(const QByteArray& diskPath, const CVirtualFolder& root, QList<ListEntry>& entries);
