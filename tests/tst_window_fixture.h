#pragma once

// A main window over a settings file of its own in a temporary folder, with message boxes
// recorded instead of shown, and helpers to act as FTP clients while the window serves events.

#include "core/SettingsStore.h"
#include "panel/MainWindow.h"
#include "panel/MessageBoxes.h"
#include "panel/MonitorPane.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>

class WindowFixture
{
    QTemporaryDir m_temp; // first: everything else lives in it

public:
    // values == nullptr: a first start, with no settings stored.
    explicit WindowFixture(const CSettings::Values* values = nullptr) { Open(values); }
    // A settings file as another tool wrote it.
    explicit WindowFixture(const QByteArray& fileText) { Open(nullptr, &fileText); }

    // A server ready to serve the fixture's root folder on a port the system picks, the
    // settings changed by adjust first.
    using Adjust = std::function<void(CSettings::Values&)>;
    explicit WindowFixture(const Adjust& adjust)
    {
        CSettings::Values values = ServingValues(m_temp.filePath(QStringLiteral("Root")));
        if (adjust)
            adjust(values);
        Open(&values);
    }

    // Settings for a server that serves the fixture's root folder on a port the system picks.
    static CSettings::Values ServingValues(const QString& rootFolder)
    {
        CSettings::Values values;
        values.Username = "tester";
        values.Password = "Secret";
        values.SharedFolder = QFile::encodeName(rootFolder);
        values.ServerPort = 0;
        return values;
    }

    CSettings::Values Stored() const { return CSettingsStore(settingsFile).LoadSettings(); }
    QStringList MonitorLines() const
    {
        return window->Controls().Monitor->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    QString Path(const QString& name) const { return m_temp.filePath(name); }

    const CMainWindowControls& C() const { return window->Controls(); }

    QString root;
    QString settingsFile;
    std::unique_ptr<CMainWindow> window;

private:
    void Open(const CSettings::Values* values, const QByteArray* fileText = nullptr)
    {
        root = m_temp.filePath(QStringLiteral("Root"));
        QDir().mkpath(root);
        settingsFile = m_temp.filePath(QStringLiteral("config/tarvelo-ftp.conf"));
        if (values)
            CSettingsStore(settingsFile).SaveSettings(*values);
        QFile file(settingsFile);
        if (fileText && QDir().mkpath(m_temp.filePath(QStringLiteral("config"))) && file.open(QIODevice::WriteOnly))
            file.write(*fileText);
        file.close();
        CMessageBox::SetRecording(true);
        window = std::make_unique<CMainWindow>(settingsFile);
    }
};

// Runs fn on a thread of its own while this thread serves events (the window's thread must, or
// the connection threads reporting to it wait). True when fn finished within the time.
inline bool RunAside(const std::function<void()>& fn, int timeoutMs = 30000)
{
    std::unique_ptr<QThread> thread(QThread::create(fn));
    thread->start();
    const bool finished = QTest::qWaitFor([&] { return thread->isFinished(); }, timeoutMs);
    thread->wait();
    return finished;
}
