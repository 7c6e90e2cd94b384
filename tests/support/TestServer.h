#pragma once

#include "core/MonitorSink.h"
#include "core/Settings.h"
#include "FtpClient.h"

#include <QByteArrayList>
#include <QMutex>
#include <QThread>

#include <functional>
#include <memory>

class CFtpServer;
class CServerMonitor;

// Collects finished monitor lines; safe to read from the test's thread.
class CaptureSink : public IMonitorSink
{
public:
    void WriteMonitor(const QByteArray& text, MonitorRgb textColor, MonitorRgb backColor, bool lineEnd) override;
    QByteArrayList Lines() const;
    int CountLines(const QByteArray& text) const { return int(Lines().count(text)); }

private:
    mutable QMutex m_lock;
    QByteArrayList m_lines; // guarded by m_lock
    QByteArray m_partial;   // guarded by m_lock
};

// The real engine on its own host thread (as the window's), on a port the system picks; the test's thread is free.
class TestServer
{
public:
    explicit TestServer(const CSettings::Values& values); // started
    ~TestServer();

    bool Start();
    // Stops, and waits until the stop has ended.
    bool Stop();
    // A stop, a start tried while it runs (true when refused), and a start once it has ended.
    bool Restart();

    quint16 Port() const { return m_port; }
    CSettings& Settings() { return m_settings; }
    CaptureSink& Monitor() { return m_sink; }
    CFtpServer& Engine() { return *m_server; } // its counters and address service; any thread
    // Waits until no connection thread serves and the count is back to zero; delivers what they posted.
    bool WaitUntilIdle(int timeoutMs = 15000);
    // Ends every client's running login time limit and data wait now, as at their time; true once all threads have.
    bool FireWaitTimers();

private:
    void OnHost(const std::function<void()>& fn); // runs fn on the host thread and waits for it

    CSettings m_settings;
    CaptureSink m_sink;
    QThread m_host;
    CServerMonitor* m_monitor = nullptr; // host thread
    CFtpServer* m_server = nullptr;      // host thread
    quint16 m_port = 0;
};

// Settings for tests: a root folder, port 0, everything allowed unless a test says otherwise.
CSettings::Values TestValues(const QByteArray& rootFolder = "/nonexistent-root");

// Fails the test unless a NOOP's "200 OK" is the next reply to the client, its waits ended first (as at their time).
#define NOTHING_MORE(server, client)                                                                                   \
    do {                                                                                                               \
        QVERIFY((server).FireWaitTimers());                                                                            \
        CONVERSE(client, "NOOP | 200 OK");                                                                             \
    } while (false)
