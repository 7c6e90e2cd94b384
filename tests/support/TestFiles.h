#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Bytes that look random but are the same on every run (xorshift from the seed).
QByteArray Pattern(qsizetype size, quint32 seed = 2463534242u);
bool WriteFile(const QString& path, const QByteArray& data);
// The file's bytes, or "<unreadable>" so that a missing file never equals expected content.
QByteArray ReadFile(const QString& path);

// A temporary folder made of "Folder/" (before its entries), "file=text" ("file": empty) and "link->target" entries.
class TestTree
{
public:
    explicit TestTree(const char* entries = "");
    ~TestTree();
    // False when the folder or an entry could not be made; tests check it first.
    bool IsValid() const { return m_valid; }
    bool Add(const char* entries);
    // The base with symbolic links resolved, so it compares equal to what the server resolves.
    const QByteArray& Base() const { return m_base; }
    QByteArray Path(const QByteArray& relative) const { return m_base + '/' + relative; }
    QByteArray Read(const QByteArray& relative) const { return ReadFile(QString::fromUtf8(Path(relative))); }
    bool Exists(const QByteArray& relative) const; // links themselves count, dangling or not

private:
    QTemporaryDir m_temp;
    QByteArray m_base;
    bool m_valid = false;
};
