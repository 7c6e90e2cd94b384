#include "connection/CommandLine.h"

void AppendReceived(QByteArray& buffer, const char* data, qsizetype size)
{
    const void* zero = memchr(data, 0, size_t(size));
    buffer.append(data, zero ? static_cast<const char*>(zero) - data : size);
}

QList<QByteArray> ExtractLines(QByteArray& buffer)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (;;) {
        qsizetype end = buffer.indexOf("\r\n", start);
        if (end < 0)
            break;
        if (end > start)
            lines.append(buffer.mid(start, end - start));
        start = end + 2;
    }
    buffer.remove(0, start);
    return lines;
}

CommandLine SplitCommandLine(const QByteArray& line)
{
    CommandLine command;
    qsizetype space = line.indexOf(' ');
    if (space < 0) {
        command.verb = line.toUpper();
    } else {
        command.verb = line.left(space).toUpper();
        command.argument = line.mid(space + 1);
    }
    // An abort prefixed with Telnet interrupt and synch bytes still counts as ABOR.
    if (command.verb.endsWith("ABOR"))
        command.verb = "ABOR";
    return command;
}
