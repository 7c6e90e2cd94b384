#pragma once

// A root folder with mixed-case names, siblings beside it and symbolic links, in a temporary folder:
//
//   base/Share/               the root folder
//            Docs/A.txt       "hello"
//            Docs/Report.TXT
//            Empty/
//            Case/readme  Case/README
//            notes.txt        "notes"
//            inlink  -> Docs              (stays inside)
//            outlink -> ../share          (leads out)
//            outfile -> ../share/secret.txt
//            dangling -> ../nowhere
//   base/share/secret.txt     a sibling whose name differs from the root's only in case
//   base/Windows/x.txt        another sibling

#include "core/Settings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class PathFixture
{
public:
    PathFixture()
    {
        // The real path, so that it compares equal to the server's resolved root.
        char* real = ::realpath(QFile::encodeName(m_temp.path()).constData(), nullptr);
        base = real ? QByteArray(real) : QByteArray();
        ::free(real);
        root = base + "/Share";
        m_ok = m_temp.isValid();
        for (const char* folder : {"Share", "Share/Docs", "Share/Empty", "Share/Case", "share", "Windows"})
            m_ok = m_ok && ::mkdir(Path(folder).constData(), 0755) == 0;
        m_ok = m_ok && WriteFile(Path("Share/Docs/A.txt"), "hello") && WriteFile(Path("Share/Docs/Report.TXT"), "r") &&
               WriteFile(Path("Share/Case/readme"), "lower") && WriteFile(Path("Share/Case/README"), "upper") &&
               WriteFile(Path("Share/notes.txt"), "notes") && WriteFile(Path("share/secret.txt"), "secret") &&
               WriteFile(Path("Windows/x.txt"), "x");
        m_ok = m_ok && ::symlink("Docs", Path("Share/inlink").constData()) == 0 &&
               ::symlink("../share", Path("Share/outlink").constData()) == 0 &&
               ::symlink("../share/secret.txt", Path("Share/outfile").constData()) == 0 &&
               ::symlink("../nowhere", Path("Share/dangling").constData()) == 0;
    }

    // False when the tree could not be made; tests check it first.
    bool IsValid() const { return m_ok; }
    QByteArray Path(const QByteArray& relative) const { return base + '/' + relative; }
    bool Exists(const QByteArray& relative) const
    {
        struct stat status;
        return ::lstat(Path(relative).constData(), &status) == 0;
    }

    static bool WriteFile(const QByteArray& path, const QByteArray& content)
    {
        QFile file(QFile::decodeName(path));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    static QByteArray ReadFile(const QByteArray& path)
    {
        QFile file(QFile::decodeName(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Sets the last-write time, of a link itself when the path is one.
    static bool SetTime(const QByteArray& path, qint64 seconds)
    {
        const struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
        return ::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
    }

    QByteArray base;
    QByteArray root;

private:
    QTemporaryDir m_temp;
    bool m_ok = false;
};

// Sets one of the permission flags by its settings name.
inline void SetPermission(CSettings::Values& values, const QByteArray& name, int on)
{
    if (name == "AllowDownloadFiles")
        values.AllowDownloadFiles = on;
    else if (name == "AllowUploadFiles")
        values.AllowUploadFiles = on;
    else if (name == "AllowDeleteFiles")
        values.AllowDeleteFiles = on;
    else if (name == "AllowRenameFiles")
        values.AllowRenameFiles = on;
    else if (name == "AllowCreateFolders")
        values.AllowCreateFolders = on;
    else
        QFAIL("unknown permission");
}
