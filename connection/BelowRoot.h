#pragma once

#include "platform/UniqueFd.h"

#include <QByteArray>

#include <fcntl.h>

// Acting on what a path check found inside the root folder, without a race against renames that
// lead the path out of it meanwhile (another connection of the client, or its own commands while a
// transfer waits for its connection): what is opened is checked where the kernel says it really is,
// and an entry that is changed is reached from its folder's checked descriptor by its last name.
// root is the root folder's real path; paths are absolute and normalised. Any thread.

// True when path is root or lies below it, by whole folder levels (/srv/share2 is not in /srv/share).
bool IsAtOrBelow(const QByteArray& root, const QByteArray& path);

// Opens the path as openat(2) does (without O_CREAT), links followed, when it really lies in root:
// with O_PATH anything, otherwise only a regular file or a folder. None otherwise (errno EACCES
// when it lies outside or is something else).
CUniqueFd OpenBelowRootAt(const QByteArray& root, int folderFd, const char* path, int flags);
inline CUniqueFd OpenBelowRoot(const QByteArray& root, const QByteArray& path, int flags)
{
    return OpenBelowRootAt(root, AT_FDCWD, path.constData(), flags);
}

// The folder that holds an entry, open and checked, for calls relative to it.
class CEntryFolder
{
public:
    CEntryFolder(const QByteArray& root, const QByteArray& diskPath);

    bool IsOpen() const { return m_fd.IsValid(); }
    int Fd() const { return m_fd.Get(); }
    const char* Name() const { return m_strName.constData(); }
    // Opens the entry for writing, created when missing: the entry itself, or where its symbolic link
    // leads when that lies in root. Without replace only a new file is made. None otherwise.
    CUniqueFd OpenForWriting(bool replace) const;

private:
    QByteArray m_strRoot;
    QByteArray m_strName;
    CUniqueFd m_fd;
};

// Creates the missing folders of diskPath, each made inside the one before it. True when the last
// one was created.
bool CreateFolderTreeBelowRoot(const QByteArray& root, const QByteArray& diskPath);
