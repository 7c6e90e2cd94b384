#pragma once

#include <QObject>
#include <QThread>

#include <functional>

// Runs the file work of a secure-folder pass on a thread of its own, one piece after another, so
// that a window stays responsive however large a file is. Nothing waits for the work: its end comes
// back to the owner's thread as a queued call. The thread is started at the first use and kept
// until this object ends. Owner's thread only (the thread that made this object).
class CFileWorkThread
{
public:
    // What runs on the owner's thread once a piece of work is done.
    using CDone = std::function<void()>;

    CFileWorkThread();
    // Waits for the work in hand, which never waits for the owner's thread; the ends of work not yet
    // run on the owner's thread are dropped.
    ~CFileWorkThread();
    CFileWorkThread(const CFileWorkThread&) = delete;
    CFileWorkThread& operator=(const CFileWorkThread&) = delete;

    // Hands work to the thread and returns at once. What work returns runs on the owner's thread,
    // as a queued call, unless this object has ended first. work must not touch what the owner's
    // thread uses meanwhile.
    void Post(std::function<CDone()> work);

private:
    QThread m_thread;
    QObject m_context;  // lives on m_thread: the work is posted to it
    QObject m_receiver; // lives on the owner's thread: the ends of the work are posted to it
};
