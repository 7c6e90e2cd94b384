#pragma once

#include "core/MonitorSink.h"

#include <cstdio>

// The server monitor of the headless programs: one text line per finished monitor line, flushed at
// once so that scripts reading a pipe see it; ANSI colours only when the stream is a terminal.
class CStdoutMonitorSink : public IMonitorSink
{
public:
    explicit CStdoutMonitorSink(FILE* stream = stdout);
    void WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd) override;

private:
    FILE* m_stream;
    bool m_bColours;
    QByteArray m_line; // pieces of the line not yet ended
};
