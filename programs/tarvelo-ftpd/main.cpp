// tarvelo-ftpd: the FTP server without a window. Loads the settings, applies the start rules,
// serves until SIGINT or SIGTERM, and prints every server-monitor line to standard output.

#include "core/ServerMonitor.h"
#include "core/SettingsStore.h"
#include "core/StdoutMonitorSink.h"
#include "platform/TerminationSignals.h"
#include "server/FtpServer.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[])
{
    // Qt's own event dispatcher takes fewer system calls per socket event than the GLib one, which
    // a server without a window has no use for: more files per second and quicker logins.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    if (argc > 1) {
        fprintf(stderr, "usage: tarvelo-ftpd\nSettings: %s\n", qPrintable(CSettingsStore::DefaultFilePath()));
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    CSettingsStore store;
    CSettings::Values values = store.LoadSettings();
    CSettings::ApplyAnonymousRule(values);
    CSettings settings(values);

    CStdoutMonitorSink sink;
    CServerMonitor monitor(&sink);
    CFtpServer server(settings, monitor);
    if (!server.CheckRootFolder()) {
        fprintf(stderr, "tarvelo-ftpd: the root folder \"%s\" does not exist (settings: %s)\n",
                values.SharedFolder.constData(), qPrintable(store.FilePath()));
        return 1;
    }
    if (!server.StartServer()) {
        fprintf(stderr, "tarvelo-ftpd: unable to start the server on port %u: %s\n", values.ServerPort,
                qPrintable(server.LastStartError()));
        return 1;
    }
    fprintf(stderr, "tarvelo-ftpd: listening on port %u\n", unsigned(server.ListeningPort()));

    CTerminationSignals termination([&] {
        server.StopServer();
        app.quit();
    });
    if (!termination.IsValid()) {
        perror("tarvelo-ftpd: signal pipe");
        return 1;
    }
    return app.exec();
}
