#pragma once

#include <QByteArray>
#include <QList>

// Framing of the control channel: pure functions, so they can be tested byte by byte.

// Longest partial line kept while waiting for its CR LF.
constexpr qsizetype kMaxPartialLine = 64 * 1024;

struct CommandLine
{
    QByteArray verb;     // upper-cased; "ABOR" for any verb that ends in it
    QByteArray argument; // everything after the first space, exactly as received
};

// Appends the bytes of one read to the buffer, up to the first NUL byte (the rest of that read is
// dropped, as clients of the original expect).
void AppendReceived(QByteArray& buffer, const char* data, qsizetype size);

// Takes every complete line ended by CR LF out of the buffer, in order. Empty lines are dropped; a
// lone CR or LF stays part of its line.
QList<QByteArray> ExtractLines(QByteArray& buffer);

// Splits a line at its first space into verb and argument.
CommandLine SplitCommandLine(const QByteArray& line);
