#include "core/StdoutMonitorSink.h"

#include <unistd.h>

CStdoutMonitorSink::CStdoutMonitorSink(FILE* stream) : m_stream(stream), m_bColours(isatty(fileno(stream)) != 0) {}

void CStdoutMonitorSink::WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd)
{
    QByteArray piece = text;
    piece.replace("\r\n", "\n");
    if (m_bColours) {
        m_line += "\x1b[1;38;2;" + QByteArray::number(RedOf(textColor)) + ';' + QByteArray::number(GreenOf(textColor)) +
                  ';' + QByteArray::number(BlueOf(textColor)) + ";48;2;" + QByteArray::number(RedOf(backColor)) + ';' +
                  QByteArray::number(GreenOf(backColor)) + ';' + QByteArray::number(BlueOf(backColor)) + 'm' + piece +
                  "\x1b[0m";
    } else {
        m_line += piece;
    }
    if (!lineEnd)
        return;
    m_line += '\n';
    fwrite(m_line.constData(), 1, size_t(m_line.size()), m_stream);
    fflush(m_stream);
    m_line.clear();
}
