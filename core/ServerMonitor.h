#pragma once

#include "core/MonitorSink.h"

#include <QObject>

#include <atomic>
#include <functional>

// The server monitor: the one way any part of the system writes a coloured line for the user.
//
// Lives on the window's thread. A write from another thread is queued to it whole and never waited
// for: each thread's lines keep their order, and a client line goes over as one write, so its parts
// are never split by another thread's write. Past kMaxQueuedWrites queued writes a write is dropped,
// and the next one shown is preceded by the line "N monitor lines not shown.": no connection thread
// ever waits for the window's. Once the sink is detached (the pane is gone) writes are dropped.
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

    // Any thread: the client lines "User IN: " ("User IN (encrypted): " over TLS), "User OUT: " and
    // "Access denied: " with the address.
    void LogUserIn(const QByteArray& address, bool encrypted = false);
    void LogUserOut(const QByteArray& address);
    void LogAccessDenied(const QByteArray& address);

private:
    // Any thread: runs write on the window's thread, now when called there, else queued (or dropped
    // and counted past the bound).
    void OnOwnThread(std::function<void()> write);
    // Window's thread: the line that tells of the writes dropped before the next one, if any.
    void ReportDropped(int dropped);

    void WriteOnOwnThread(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd);

    IMonitorSink* m_pSink;               // window's thread only
    std::atomic<int> m_nQueuedWrites{0}; // any thread: writes queued and not yet run
    std::atomic<int> m_nDropped{0};      // any thread: writes dropped since the last one queued
};
