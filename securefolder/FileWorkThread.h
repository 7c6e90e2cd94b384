#pragma once

#include <QObject>
#include <QThread>

#include <functional>

// Runs the file work of a secure-folder pass on a thread of its own while the pass's thread goes
// on serving its events, so that a window stays responsive however large a file is. The thread is
// started at the first use and kept until this object ends. Owner's thread only.
class CFileWorkThread
{
public:
    CFileWorkThread();
    ~CFileWorkThread();
    CFileWorkThread(const CFileWorkThread&) = delete;
    CFileWorkThread& operator=(const CFileWorkThread&) = delete;

    // Runs work on the thread and returns once it is done, serving this thread's events meanwhile
    // (a click handled then runs inside this call). work must not touch what this thread owns.
    void Run(const std::function<void()>& work);

private:
    QThread m_thread;
    QObject m_context; // lives on m_thread: the work is posted to it
};
