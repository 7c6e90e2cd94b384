#pragma once

#include "core/MonitorSink.h"

#include <QTextEdit>

// The server monitor pane: read-only rich text on the dark background, every write bold in its
// own text and background colour, appended at the end and scrolled into view.
// Window's thread only: CServerMonitor hands writes from other threads over to it.
class CMonitorPane : public QTextEdit, public IMonitorSink
{
    Q_OBJECT
public:
    explicit CMonitorPane(QWidget* parent = nullptr);

    // Window's thread: appends one whole write, even while the user has a selection.
    void WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd) override;
};
