// Control lines: a byte stream cut into reads anywhere frames as in one read, and no line holds a CR LF or a NUL.

#include "connection/CommandLine.h"
#include "Require.h"

#include <cstdint>
#include <cstdlib>

namespace {

QList<QByteArray> Frame(const char* data, size_t size, size_t cut)
{
    QByteArray buffer;
    QList<QByteArray> lines;
    for (size_t at = 0; at < size; at += cut) {
        const size_t piece = size - at < cut ? size - at : cut;
        // Each read is cut at its own first NUL, so only reads of the whole stream compare.
        AppendReceived(buffer, data + at, qsizetype(piece));
        lines.append(ExtractLines(buffer));
        Require(!buffer.contains("\r\n"));
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        return 0;
    const size_t cut = bytes[0] % 16 + 1;
    const char* data = reinterpret_cast<const char*>(bytes + 1);
    --size;

    const QList<QByteArray> whole = Frame(data, size, size + 1);
    for (const QByteArray& line : whole) {
        Require(!line.isEmpty() && !line.contains("\r\n") && !line.contains('\0'));
        const CommandLine command = SplitCommandLine(line);
        Require(command.verb == command.verb.toUpper() && !command.verb.contains(' ') &&
                command.verb.size() + command.argument.size() <= line.size());
    }
    // Without NUL bytes the cut of the reads changes nothing.
    if (!memchr(data, 0, size))
        Require(Frame(data, size, cut) == whole);
    return 0;
}
