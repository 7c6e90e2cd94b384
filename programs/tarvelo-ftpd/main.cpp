// tarvelo-ftpd: the FTP server without a window. Loads the settings, lets the options override
// them for this run, applies the start rules, serves until SIGINT or SIGTERM, and prints every
// server-monitor line to standard output.

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "core/SettingsStore.h"
#include "core/StdoutMonitorSink.h"
#include "platform/TerminationSignals.h"
#include "server/FtpServer.h"
#include "server/ServeOptions.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Qt's own event dispatcher takes fewer system calls per socket event than the GLib one, which
    // a server without a window has no use for: more files per second and quicker logins.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    CServeOptions options;
    switch (options.Parse(argc, argv)) {
    case CServeOptions::EAction::Help:
        fputs(qPrintable(CServeOptions::Usage()), stdout);
        return 0;
    case CServeOptions::EAction::Version:
        puts("tarvelo-ftpd (Tarvelo FTP Server) " TARVELO_VERSION);
        return 0;
    case CServeOptions::EAction::Fault:
        fprintf(stderr, "tarvelo-ftpd: %s\n%s", qPrintable(options.Error()), qPrintable(CServeOptions::Usage()));
        return 2;
    case CServeOptions::EAction::Serve:
        break;
    }
    QCoreApplication app(argc, argv);

    CSettingsStore store;
    bool bSettingsWereOpen = false;
    CSettings::Values values = store.LoadSettings(&bSettingsWereOpen);
    // As the window's read-back would at " Start server": told, and served as they stand.
    for (const QString& reason : CSettings::ValuesOutOfBounds(values))
        fprintf(stderr, "tarvelo-ftpd: %s (settings: %s)\n", qPrintable(reason), qPrintable(store.FilePath()));
    options.ApplyTo(values);
    CSettings settings(values);

    CStdoutMonitorSink sink;
    CServerMonitor monitor(&sink);
    CFtpServer server(settings, monitor);
    if (bSettingsWereOpen)
        monitor.AddMonitorText(store.WasOpenText(), MonitorColor::Amber, MonitorColor::Dark, true);
    if (!options.OpenPasswordFile().isEmpty()) {
        monitor.AddMonitorText("The password file is readable by other users: " + options.OpenPasswordFile(),
                               MonitorColor::Amber, MonitorColor::Dark, true);
    }
    switch (server.StartWithRules(nullptr)) {
    case CFtpServer::EStart::RootFolderMissing:
        fprintf(stderr, "tarvelo-ftpd: the root folder \"%s\" does not exist (--root, or SharedFolder in %s)\n",
                values.SharedFolder.constData(), qPrintable(store.FilePath()));
        return 1;
    case CFtpServer::EStart::NotStarted:
        fprintf(stderr, "tarvelo-ftpd: unable to start the server on port %u: %s\n", values.ServerPort,
                qPrintable(server.LastStartError()));
        return 1;
    case CFtpServer::EStart::Started:
        break;
    }
    const CSettings::Values served = settings.Get();
    fprintf(stderr, "tarvelo-ftpd: listening on port %u, root folder \"%s\", user \"%s\"\n",
            unsigned(server.ListeningPort()), served.SharedFolder.constData(), served.Username.constData());

    QObject::connect(&server, &CFtpServer::StateChanged, &app, [&app](CFtpServer::EState state) {
        if (state == CFtpServer::EState::Stopped)
            app.quit();
    });
    CTerminationSignals termination([&server] { server.StopServer(); });
    if (!termination.IsValid()) {
        perror("tarvelo-ftpd: signal pipe");
        return 1;
    }
    return app.exec();
}
