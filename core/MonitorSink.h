#pragma once

#include <QByteArray>
#include <QtGlobal>

// A monitor colour laid out as Qt's MonitorRgb (0xffRRGGBB); the engine does not link Qt Gui.
using MonitorRgb = quint32;

constexpr MonitorRgb MakeRgb(int r, int g, int b)
{
    return 0xff000000u | (quint32(r & 0xff) << 16) | (quint32(g & 0xff) << 8) | quint32(b & 0xff);
}
constexpr int RedOf(MonitorRgb c)
{
    return int((c >> 16) & 0xff);
}
constexpr int GreenOf(MonitorRgb c)
{
    return int((c >> 8) & 0xff);
}
constexpr int BlueOf(MonitorRgb c)
{
    return int(c & 0xff);
}

// Where monitor writes end up: the window's pane, or the headless program's standard output.
// Called on the monitor's thread only, one whole write at a time.
class IMonitorSink
{
public:
    virtual ~IMonitorSink() = default;
    virtual void WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd) = 0;
};
