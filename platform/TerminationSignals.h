#pragma once

#include <QObject>

#include <functional>

// Turns SIGINT, SIGTERM and SIGHUP into a call on the thread that creates this object, so the programs can
// stop the server cleanly instead of dying mid-transfer. One per process; main thread.
class CTerminationSignals : public QObject
{
    Q_OBJECT
public:
    // False from IsValid() when the signal pipe could not be made.
    explicit CTerminationSignals(std::function<void()> onSignal);
    ~CTerminationSignals() override;

    bool IsValid() const { return m_bValid; }

private:
    std::function<void()> m_onSignal;
    bool m_bValid = false;
};
