#include "panel/ServerMonitor.h"

#include "panel/MonitorColors.h"

#include <QThread>

CServerMonitor::CServerMonitor(IMonitorSink* sink) : m_pSink(sink) {}

void CServerMonitor::SetSink(IMonitorSink* sink)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_pSink = sink;
}

void CServerMonitor::AddMonitorText(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd)
{
    if (QThread::currentThread() == thread()) {
        WriteOnOwnThread(text, textColor, backColor, lineEnd);
        return;
    }
    // The window's thread keeps serving these while it waits for connection threads to end.
    QMetaObject::invokeMethod(
        this, [&] { WriteOnOwnThread(text, textColor, backColor, lineEnd); }, Qt::BlockingQueuedConnection);
}

void CServerMonitor::WriteOnOwnThread(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd)
{
    if (m_pSink)
        m_pSink->WriteMonitor(text, textColor, backColor, lineEnd);
}

void CServerMonitor::LogUserIn(const QByteArray& address)
{
    AddMonitorText("User IN: ", MonitorColor::Amber, MonitorColor::Dark, false);
    AddMonitorText(address, MonitorColor::Cyan, MonitorColor::Dark, true);
}

void CServerMonitor::LogUserOut(const QByteArray& address)
{
    AddMonitorText("User OUT: ", MonitorColor::Bronze, MonitorColor::Dark, false);
    AddMonitorText(address, MonitorColor::Teal, MonitorColor::Dark, true);
}

void CServerMonitor::LogAccessDenied(const QByteArray& address)
{
    AddMonitorText("Access denied: ", MonitorColor::Red, MonitorColor::Dark, false);
    AddMonitorText(address, MonitorColor::Teal, MonitorColor::Dark, true);
}
