#pragma once

#include "core/MonitorSink.h"

#include <QObject>

#include <atomic>
#include <functional>

// The server monitor: the one way any part of the system writes a coloured line for the user.
//
// Lives on the window's thread. A write from another thread is queued to it whole, without waiting
// for it unless kMaxQueuedWrites writes are queued already: each thread's lines keep their order,
// and a client line goes over as one write, so its parts are never split by another thread's write.
// Once the sink is detached (the pane is gone) writes are dropped.
class CServerMonitor : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxQueuedWrites = 1024;

    explicit CServerMonitor(IMonitorSink* sink = nullptr);

    // Window's thread: sets or removes (nullptr) the destination of writes.
    void SetSink(IMonitorSink* sink);

    // Any thread: appends the text in the given colours, ending the line when lineEnd is true.
    void AddMonitorText(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd);

    // Any thread: a label and a value on dark as one line, in one write (no other write between).
    void AddAddressLine(const QByteArray& label, MonitorRgb labelColor, const QByteArray& address,
                        MonitorRgb addressColor);

    // Any thread: the client lines "User IN: ", "User OUT: " and "Access denied: " with the address.
    void LogUserIn(const QByteArray& address);
    void LogUserOut(const QByteArray& address);
    void LogAccessDenied(const QByteArray& address);

private:
    // Any thread: runs write on the window's thread, now when called there, else queued.
    void OnOwnThread(std::function<void()> write);

    void WriteOnOwnThread(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd);

    IMonitorSink* m_pSink;               // window's thread only
    std::atomic<int> m_nQueuedWrites{0}; // any thread: writes queued and not yet run
};
