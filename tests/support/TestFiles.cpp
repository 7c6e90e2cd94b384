#include "TestFiles.h"

#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

QByteArray Pattern(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        data[i] = char(seed);
    }
    return data;
}

bool WriteFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

TestTree::TestTree(const char* entries)
{
    m_base = QFile::encodeName(QFileInfo(m_temp.path()).canonicalFilePath());
    m_valid = m_temp.isValid() && !m_base.isEmpty() && Add(entries);
}

TestTree::~TestTree()
{
    // Removed by bytes first: QTemporaryDir leaves names behind that are no text in the locale's encoding.
    if (!m_base.isEmpty())
        ::nftw(
            m_base.constData(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
}

bool TestTree::Add(const char* entries)
{
    bool ok = true;
    for (const QByteArray& entry : QByteArray(entries).simplified().split(' ')) {
        if (entry.isEmpty())
            continue;
        const qsizetype arrow = entry.indexOf("->"), equals = entry.indexOf('=');
        if (arrow > 0)
            ok = ok && ::symlink(entry.mid(arrow + 2).constData(), Path(entry.left(arrow)).constData()) == 0;
        else if (entry.endsWith('/'))
            ok = ok && ::mkdir(Path(entry.chopped(1)).constData(), 0755) == 0;
        else
            ok = ok && WriteFile(QString::fromUtf8(Path(equals > 0 ? entry.left(equals) : entry)),
                                 equals > 0 ? entry.mid(equals + 1) : QByteArray());
    }
    return ok;
}

bool TestTree::Exists(const QByteArray& relative) const
{
    struct stat status;
    return ::lstat(Path(relative).constData(), &status) == 0;
}
