#pragma once

#include "core/MonitorSink.h"

#include <QTextEdit>

// The server monitor pane: read-only rich text on the dark background, every write bold in its
// own text and background colour, appended at the end and scrolled into view. It holds at most
// kMaxLines lines, as clients write lines (one per arrival) and must not grow the window without
// end: when full, the oldest kTrimLines go at once (one by one, each would lay out the pane anew).
// Window's thread only: CServerMonitor hands writes from other threads over to it.
class CMonitorPane : public QTextEdit, public IMonitorSink
{
    Q_OBJECT
public:
    static constexpr int kMaxLines = 10000;
    static constexpr int kTrimLines = 1000;

    explicit CMonitorPane(QWidget* parent = nullptr);

    // Window's thread: appends one whole write, even while the user has a selection.
    void WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd) override;
};
