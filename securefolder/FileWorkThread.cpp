#include "securefolder/FileWorkThread.h"

#include <QEventLoop>
#include <QSemaphore>

CFileWorkThread::CFileWorkThread()
{
    m_thread.setObjectName(QStringLiteral("secure folder"));
    m_context.moveToThread(&m_thread);
}

CFileWorkThread::~CFileWorkThread()
{
    m_thread.quit();
    m_thread.wait();
}

void CFileWorkThread::Run(const std::function<void()>& work)
{
    if (!m_thread.isRunning())
        m_thread.start();
    QEventLoop loop;
    QSemaphore done;
    QMetaObject::invokeMethod(
        &m_context,
        [&] {
            work();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            done.release(); // the last touch of this call's locals
        },
        Qt::QueuedConnection);
    loop.exec();
    // The loop also ends when the application quits: the work's references must outlive it still.
    done.acquire();
}
