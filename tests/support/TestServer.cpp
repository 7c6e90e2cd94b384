#include "TestServer.h"

#include "core/ServerMonitor.h"
#include "server/FtpServer.h"

#include <QSemaphore>
#include <QTest>
#include <QTimer>

void CaptureSink::WriteMonitor(const QByteArray& text, MonitorRgb, MonitorRgb, bool lineEnd)
{
    QMutexLocker locker(&m_lock);
    m_partial += text;
    if (lineEnd)
        m_lines.append(std::exchange(m_partial, {}));
}

QByteArrayList CaptureSink::Lines() const
{
    QMutexLocker locker(&m_lock);
    return m_lines;
}

CSettings::Values TestValues(const QByteArray& rootFolder)
{
    CSettings::Values v{.Username = "tester", .Password = "Secret", .SharedFolder = rootFolder, .ServerPort = 0};
    v.MaxUsers = 500;
    v.AllowDownloadFiles = v.AllowUploadFiles = v.AllowDeleteFiles = v.AllowRenameFiles = v.AllowCreateFolders = 1;
    return v;
}

TestServer::TestServer(const CSettings::Values& values) : m_settings(values)
{
    m_host.start();
    OnHost([this] {
        m_monitor = new CServerMonitor(&m_sink);
        m_server = new CFtpServer(m_settings, *m_monitor);
    });
    Start();
}

TestServer::~TestServer()
{
    OnHost([this] {
        delete m_server;
        delete m_monitor;
    });
    m_host.quit();
    m_host.wait();
}

void TestServer::OnHost(const std::function<void()>& fn)
{
    QObject context;
    context.moveToThread(&m_host);
    QMetaObject::invokeMethod(&context, fn, Qt::BlockingQueuedConnection);
}

bool TestServer::Start()
{
    bool started = false;
    OnHost([&] {
        started = m_server->StartServer();
        m_port = m_server->ListeningPort();
    });
    return started;
}

bool TestServer::Stop()
{
    OnHost([this] { m_server->StopServer(); });
    return QTest::qWaitFor([this] { return m_server->State() == CFtpServer::EState::Stopped; }, 15000);
}

bool TestServer::Restart()
{
    bool refused = false;
    OnHost([&] {
        m_server->StopServer();
        refused = !m_server->StartServer() && m_server->State() == CFtpServer::EState::Stopping;
    });
    return Stop() && refused && Start();
}

bool TestServer::WaitUntilIdle(int timeoutMs)
{
    const bool idle =
        QTest::qWaitFor([this] { return !m_server->ServingThreads() && !m_server->ConnectedUsers(); }, timeoutMs);
    // What the threads posted to the host before (monitor lines) is delivered: it comes before this call there.
    OnHost([] {});
    return idle;
}

bool TestServer::FireWaitTimers()
{
    const auto fired = std::make_shared<QSemaphore>(); // outlives a thread that answers too late
    int asked = 0;
    OnHost([&] { asked = m_server->FireWaitTimers([fired] { fired->release(); }); });
    return fired->tryAcquire(asked, 10000);
}
