#pragma once

#include <QByteArray>
#include <QString>

// Files for tests.

// Bytes that look random but are the same on every run (xorshift from the seed).
QByteArray Pattern(qsizetype size, quint32 seed = 2463534242u);
bool WriteFile(const QString& path, const QByteArray& data);
// The file's bytes, or "<unreadable>" so that a missing file never equals expected content.
QByteArray ReadFile(const QString& path);
