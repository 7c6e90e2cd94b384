// tarvelo-ftpd: the FTP server without a window. Loads the settings, applies the start rules,
// serves until SIGINT or SIGTERM, and prints every server-monitor line to standard output.

#include "panel/ServerMonitor.h"
#include "panel/SettingsStore.h"
#include "panel/StdoutMonitorSink.h"
#include "server/FtpServer.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(g_signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc > 1) {
        fprintf(stderr, "usage: tarvelo-ftpd\nSettings: %s\n", qPrintable(CSettingsStore::DefaultFilePath()));
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("tarvelo-ftpd: pipe");
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

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

    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        signalNotifier.setEnabled(false);
        server.StopServer();
        app.quit();
    });
    return app.exec();
}
