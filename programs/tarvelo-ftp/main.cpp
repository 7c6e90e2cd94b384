// tarvelo-ftp: the desktop program. The main window runs for the life of the process; the
// notification-area icon is added when the desktop has a notification area.

#include "panel/MainWindow.h"
#include "panel/Pictures.h"
#include "panel/TrayIcon.h"
#include "platform/TerminationSignals.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    // Answered before the window system is reached, so they work without a display.
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        puts("Usage: tarvelo-ftp\n"
             "Open the window of Tarvelo FTP Server; tarvelo-ftpd serves without a window.\n\n"
             "  --help     show this help and exit\n"
             "  --version  show the version and exit");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        puts("tarvelo-ftp (Tarvelo FTP Server) " TARVELO_VERSION);
        return 0;
    }
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("tarvelo-ftp"));
    QApplication::setWindowIcon(Pictures::Icon(QStringLiteral("tarvelo-ftp")));
    // The window may be hidden behind the tray icon: only its own end ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    CMainWindow window;
    const std::unique_ptr<CTrayIcon> tray = CTrayIcon::Create(window);
    QObject::connect(&window, &QDialog::finished, &app, &QCoreApplication::quit);
    // Ctrl+C or a logout's SIGTERM ends the window as Esc does: the server stops first.
    const CTerminationSignals termination([&window] { window.EndWindow(); });
    window.show();
    return app.exec();
}
