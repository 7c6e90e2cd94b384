#include "core/ServerMonitor.h"

#include "core/MonitorColors.h"

#include <QThread>

CServerMonitor::CServerMonitor(IMonitorSink* sink) : m_pSink(sink) {}

void CServerMonitor::SetSink(IMonitorSink* sink)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_pSink = sink;
}

void CServerMonitor::AddMonitorText(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd)
{
    OnOwnThread([=, this] { WriteOnOwnThread(text, textColor, backColor, lineEnd); });
}

void CServerMonitor::OnOwnThread(std::function<void()> write)
{
    if (QThread::currentThread() == thread()) {
        ReportDropped(m_nDropped.exchange(0));
        write();
        return;
    }
    // Clients can make lines faster than the pane shows them: past the bound a line is dropped, so
    // that the queue stays bounded and no writer waits for the window's thread, which may be waiting
    // for the writer's.
    if (m_nQueuedWrites.fetch_add(1) >= kMaxQueuedWrites) {
        --m_nQueuedWrites;
        ++m_nDropped;
        return;
    }
    const int dropped = m_nDropped.exchange(0); // told where the dropped lines would have been
    QMetaObject::invokeMethod(
        this,
        [this, dropped, write = std::move(write)] {
            --m_nQueuedWrites;
            ReportDropped(dropped);
            write();
        },
        Qt::QueuedConnection);
}

void CServerMonitor::ReportDropped(int dropped)
{
    if (dropped > 0) {
        WriteOnOwnThread(QByteArray::number(dropped) + " monitor lines not shown.", MonitorColor::Amber,
                         MonitorColor::Dark, true);
    }
}

void CServerMonitor::AddAddressLine(const QByteArray& label, MonitorRgb labelColor, const QByteArray& address,
                                    MonitorRgb addressColor)
{
    // One hand-over for the whole line: another thread's write cannot land between its parts.
    OnOwnThread([=, this] {
        WriteOnOwnThread(label, labelColor, MonitorColor::Dark, false);
        WriteOnOwnThread(address, addressColor, MonitorColor::Dark, true);
    });
}

void CServerMonitor::WriteOnOwnThread(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd)
{
    if (m_pSink)
        m_pSink->WriteMonitor(text, textColor, backColor, lineEnd);
}

void CServerMonitor::LogUserIn(const QByteArray& address, bool encrypted)
{
    AddAddressLine(encrypted ? "User IN (encrypted): " : "User IN: ", MonitorColor::Amber, address, MonitorColor::Cyan);
}

void CServerMonitor::LogUserOut(const QByteArray& address)
{
    AddAddressLine("User OUT: ", MonitorColor::Bronze, address, MonitorColor::Teal);
}

void CServerMonitor::LogAccessDenied(const QByteArray& address)
{
    AddAddressLine("Access denied: ", MonitorColor::Red, address, MonitorColor::Teal);
}
