#include "securefolder/FileWorkThread.h"

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

void CFileWorkThread::Post(std::function<CDone()> work)
{
    Q_ASSERT(QThread::currentThread() == m_receiver.thread());
    if (!m_thread.isRunning())
        m_thread.start();
    // m_receiver outlives every piece of work: the destructor waits for the thread first.
    QMetaObject::invokeMethod(
        &m_context,
        [this, work = std::move(work)] { QMetaObject::invokeMethod(&m_receiver, work(), Qt::QueuedConnection); },
        Qt::QueuedConnection);
}
