// The window's server control over real sockets: the running and stopped layouts, the root
// folder check, the "anonymous" rule, the settings saved at start, a listener that cannot open,
// the live connected-users count, and the ways the window ends while clients are connected.

#include "tst_window_fixture.h"

#include "FtpClient.h"
#include "panel/TrayIcon.h"
#include "server/FtpServer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QToolButton>

#include <array>

namespace {

// The controls that only the stopped layout enables.
QList<QWidget*> SettingsControls(const CMainWindowControls& c)
{
    return {c.ServerPort,         c.MaxUsers,         c.Username,         c.Password,         c.WelcomeMSG,
            c.LogoffMSG,          c.SharedFolder,     c.SecureFolder,     c.CryPassword,      c.RootFolder,
            c.SecureFolderButton, c.Encrypt,          c.Decrypt,          c.HidePassword,     c.HideCryPassword,
            c.AllowDownloadFiles, c.AllowUploadFiles, c.AllowRenameFiles, c.AllowDeleteFiles, c.AllowCreateFolders};
}

// The controls that stay usable in both layouts.
QList<QWidget*> AlwaysUsable(const CMainWindowControls& c)
{
    return {c.GetInternetIP,    c.WebPage,    c.About, c.Help,           c.OpenRootFolder,
            c.OpenSecureFolder, c.InternetIP, c.LanIP, c.ConnectedUsers, c.Monitor};
}

void VerifyLayout(const CMainWindowControls& c, bool bStopped)
{
    for (QWidget* control : SettingsControls(c))
        QVERIFY2(control->isEnabled() == bStopped, qPrintable(control->objectName()));
    for (QWidget* control : AlwaysUsable(c))
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
    QCOMPARE(!c.Start->isHidden(), bStopped);
    QCOMPARE(c.Start->isEnabled(), bStopped);
    QCOMPARE(!c.Stop->isHidden(), !bStopped);
    QCOMPARE(c.Stop->isEnabled(), !bStopped);
}

// Runs the client's login on a thread aside while this thread serves the window's events.
bool LoginAside(FtpClient& client, quint16 port)
{
    bool loggedIn = false;
    return RunAside([&] { loggedIn = client.Login(port); }) && loggedIn;
}

// True when the server closes the client's connection in time.
bool ClosedAside(FtpClient& client)
{
    bool closed = false;
    return RunAside([&] { closed = client.WaitForClose(); }) && closed;
}

} // namespace

class TestServerControlWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void missingRootFolder();
    void startAndStop();
    void emptyUserNameBecomesAnonymous();
    void listenerCannotOpen();
    void connectedUsersFollowClients();
    void endWhileServing_data();
    void endWhileServing();
    void trayMenu();
};

void TestServerControlWindow::missingRootFolder()
{
    CSettings::Values values = WindowFixture::ServingValues(QStringLiteral("/nonexistent-root-folder"));
    WindowFixture f(&values);
    f.window->show();
    f.C().Username->setText(QStringLiteral("edited"));
    f.C().Start->click();

    QCOMPARE(f.MonitorLines(),
             (QStringList{QStringLiteral("Tarvelo FTP Server v1.1b"), QStringLiteral("Root folder not found."),
                          QStringLiteral("Please select a valid folder.")}));
    QVERIFY(!f.window->Server().IsRunning());
    VerifyLayout(f.C(), true);
    QCOMPARE(f.Stored().Username, QByteArray("tester")); // neither read back nor saved
    QCOMPARE(f.window->Settings().Get().Username, QByteArray("tester"));
}

void TestServerControlWindow::startAndStop()
{
    WindowFixture f(WindowFixture::Adjust{});
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    const CMainWindowControls& c = f.C();
    c.WelcomeMSG->setText(QStringLiteral("Hello there"));
    c.MaxUsers->setText(QStringLiteral("7"));

    c.Start->click();
    QVERIFY(f.window->Server().IsRunning());
    VerifyLayout(c, false);
    QCOMPARE(f.MonitorLines().last(), QStringLiteral("***** FTP SERVER ONLINE *****"));
    const CSettings::Values stored = f.Stored();
    QCOMPARE(stored.WelcomeMSG, QByteArray("Hello there"));
    QCOMPARE(stored.MaxUsers, 7u);

    FtpClient client;
    QByteArray greeting;
    QVERIFY(RunAside([&] { greeting = client.ConnectAndGreet(f.window->Server().ListeningPort()); }));
    QCOMPARE(greeting, QByteArray("220 Hello there"));

    c.Stop->click();
    QVERIFY(!f.window->Server().IsRunning());
    VerifyLayout(c, true);
    QCOMPARE(f.MonitorLines().last(), QStringLiteral("***** FTP SERVER OFFLINE *****"));
    QVERIFY(ClosedAside(client));

    // Stop, then Start again: the ONLINE line once more.
    c.Start->click();
    QVERIFY(f.window->Server().IsRunning());
    QCOMPARE(f.MonitorLines().count(QStringLiteral("***** FTP SERVER ONLINE *****")), 2);
}

void TestServerControlWindow::emptyUserNameBecomesAnonymous()
{
    WindowFixture f(WindowFixture::Adjust{});
    f.C().Username->clear();
    f.C().Start->click();
    QVERIFY(f.window->Server().IsRunning());
    QCOMPARE(f.C().Username->text(), QStringLiteral("anonymous"));
    QCOMPARE(f.window->Settings().Get().Username, QByteArray("anonymous"));
    QCOMPARE(f.Stored().Username, QByteArray("anonymous"));
}

void TestServerControlWindow::listenerCannotOpen()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any));
    WindowFixture f([&](CSettings::Values& values) { values.ServerPort = holder.serverPort(); });

    f.C().Start->click();
    QVERIFY(!f.window->Server().IsRunning());
    VerifyLayout(f.C(), true);
    const QString reason = f.MonitorLines().last();
    QVERIFY2(reason.startsWith(QStringLiteral("Unable to start the server on port %1: ").arg(holder.serverPort())),
             qPrintable(reason));
}

void TestServerControlWindow::connectedUsersFollowClients()
{
    constexpr int kClients = 3;
    WindowFixture f(WindowFixture::Adjust{});
    f.C().Start->click();
    const quint16 port = f.window->Server().ListeningPort();
    QVERIFY(port != 0);
    QVERIFY(f.C().ConnectedUsers->text().isEmpty());

    std::array<FtpClient, kClients> clients;
    for (int i = 0; i < kClients; ++i) {
        QVERIFY(LoginAside(clients[i], port));
        QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), QString::number(i + 1), 20000);
    }
    QCOMPARE(f.MonitorLines().count(QStringLiteral("User arrived: 127.0.0.1")), kClients);
    // The login's line may come just after its reply.
    QTRY_COMPARE_WITH_TIMEOUT(f.MonitorLines().count(QStringLiteral("User IN: 127.0.0.1")), kClients, 20000);

    for (int i = kClients - 1; i >= 0; --i) {
        clients[i].Close();
        QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), QString::number(i), 20000);
    }
}

enum class EndBy
{
    CloseYes,
    CloseNo,
    Esc,
    TrayQuit
};

void TestServerControlWindow::endWhileServing_data()
{
    QTest::addColumn<EndBy>("way");
    QTest::newRow("close, Yes") << EndBy::CloseYes;
    QTest::newRow("close, No") << EndBy::CloseNo;
    QTest::newRow("Esc") << EndBy::Esc;
    QTest::newRow("tray Quit") << EndBy::TrayQuit;
}

void TestServerControlWindow::endWhileServing()
{
    QFETCH(EndBy, way);
    const bool asks = way == EndBy::CloseYes || way == EndBy::CloseNo;
    const bool ends = way != EndBy::CloseNo;
    WindowFixture f(WindowFixture::Adjust{});
    CTrayIcon trayIcon(*f.window);
    f.window->show();
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));
    QSignalSpy finished(f.window.get(), &QDialog::finished);
    f.C().Start->click();
    std::array<FtpClient, 2> clients;
    for (FtpClient& client : clients)
        QVERIFY(LoginAside(client, f.window->Server().ListeningPort()));
    QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), QStringLiteral("2"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(f.MonitorLines().count(QStringLiteral("User IN: 127.0.0.1")), 2, 20000);

    CMessageBox::SetNextAnswer(way == EndBy::CloseYes);
    if (asks)
        f.window->close();
    else if (way == EndBy::TrayQuit)
        trayIcon.Menu().actions().at(2)->trigger();
    else
        QTest::keyClick(f.C().Username, Qt::Key_Escape);

    const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
    QCOMPARE(shown.size(), asks ? 1 : 0);
    if (asks) {
        QCOMPARE(shown[0].text, QStringLiteral("The FTP server is running.\n\nDo you want to stop the FTP server and "
                                               "exit application ?"));
        QCOMPARE(shown[0].icon, QMessageBox::Question);
    }
    QCOMPARE(f.window->Server().IsRunning(), !ends);
    QCOMPARE(f.window->isVisible(), !ends);
    QCOMPARE(finished.size(), ends ? 1 : 0);
    if (!ends) {
        for (FtpClient& client : clients) {
            QByteArray reply;
            QVERIFY(RunAside([&] { reply = client.Command("NOOP"); }));
            QVERIFY2(reply.startsWith("200"), reply.constData());
        }
        return;
    }
    QCOMPARE(f.window->Server().ConnectionCount(), 0);
    QCOMPARE(f.MonitorLines().last(), QStringLiteral("***** FTP SERVER OFFLINE *****"));
    for (FtpClient& client : clients)
        QVERIFY(ClosedAside(client));
    QCOMPARE(f.window->Server().LiveThreads(), 0);
    f.window.reset(); // no connection thread touches the window after this
}

void TestServerControlWindow::trayMenu()
{
    WindowFixture f;
    CTrayIcon tray(*f.window);
    QCOMPARE(tray.Icon().toolTip(), QStringLiteral("Tarvelo FTP Server"));
    QStringList texts;
    for (const QAction* action : tray.Menu().actions())
        texts.append(action->text());
    QCOMPARE(texts, (QStringList{QStringLiteral("Show"), QStringLiteral("Hide"), QStringLiteral("Quit")}));

    f.window->show();
    tray.Menu().actions().at(1)->trigger();
    QVERIFY(!f.window->isVisible());
    tray.Menu().actions().at(0)->trigger();
    QVERIFY(f.window->isVisible());
    tray.Menu().actions().at(1)->trigger();
    tray.OnActivated(QSystemTrayIcon::Trigger); // a single click does nothing
    QVERIFY(!f.window->isVisible());
    tray.OnActivated(QSystemTrayIcon::DoubleClick);
    QVERIFY(f.window->isVisible());
    QVERIFY(!(f.window->windowState() & Qt::WindowMinimized));
}

QTEST_MAIN(TestServerControlWindow)
#include "tst_server_control_window.moc"
