// The window's server control over real sockets: the running and stopped layouts, the root
// folder check, the "anonymous" rule, the settings saved at start, a listener that cannot open,
// the live connected-users count, and the ways the window ends while clients are connected.

#include "tst_window_fixture.h"

#include "FtpClient.h"
#include "panel/gui/TrayIcon.h"
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

} // namespace

class TestServerControlWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void missingRootFolder();
    void startAndStop();
    void emptyUserNameBecomesAnonymous();
    void listenerCannotOpen();
    void connectedUsersFollowClients();
    void closeWhileRunning_data();
    void closeWhileRunning();
    void endWithoutQuestion_data();
    void endWithoutQuestion();
    void trayMenu();
};

void TestServerControlWindow::init()
{
    CMessageBox::SetRecording(true);
}

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
    bool closed = false;
    QVERIFY(RunAside([&] { closed = client.WaitForClose(); }));
    QVERIFY(closed);

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
        bool loggedIn = false;
        QVERIFY(RunAside([&] { loggedIn = clients[i].Login(port); }));
        QVERIFY(loggedIn);
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

void TestServerControlWindow::closeWhileRunning_data()
{
    QTest::addColumn<bool>("answer");
    QTest::newRow("Yes") << true;
    QTest::newRow("No") << false;
}

void TestServerControlWindow::closeWhileRunning()
{
    QFETCH(bool, answer);
    WindowFixture f(WindowFixture::Adjust{});
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    QSignalSpy finished(f.window.get(), &QDialog::finished);
    f.C().Start->click();
    FtpClient client;
    bool loggedIn = false;
    QVERIFY(RunAside([&] { loggedIn = client.Login(f.window->Server().ListeningPort()); }));
    QVERIFY(loggedIn);
    QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), QStringLiteral("1"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(f.MonitorLines().contains(QStringLiteral("User IN: 127.0.0.1")), 20000);

    CMessageBox::SetNextAnswer(answer);
    f.window->close();

    const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].text, QStringLiteral("The FTP server is running.\n\nDo you want to stop the FTP server and exit "
                                           "application ?"));
    QCOMPARE(shown[0].icon, QMessageBox::Question);
    QCOMPARE(f.window->Server().IsRunning(), !answer);
    QCOMPARE(f.window->isVisible(), !answer);
    QCOMPARE(finished.size(), answer ? 1 : 0);
    if (!answer) {
        QByteArray reply;
        QVERIFY(RunAside([&] { reply = client.Command("NOOP"); }));
        QVERIFY2(reply.startsWith("200"), reply.constData());
        return;
    }
    QCOMPARE(f.MonitorLines().last(), QStringLiteral("***** FTP SERVER OFFLINE *****"));
    bool closed = false;
    QVERIFY(RunAside([&] { closed = client.WaitForClose(); }));
    QVERIFY(closed);
    QCOMPARE(f.window->Server().LiveThreads(), 0);
}

void TestServerControlWindow::endWithoutQuestion_data()
{
    QTest::addColumn<bool>("tray");
    QTest::newRow("Esc") << false;
    QTest::newRow("tray Quit") << true;
}

void TestServerControlWindow::endWithoutQuestion()
{
    QFETCH(bool, tray);
    WindowFixture f(WindowFixture::Adjust{});
    CTrayIcon trayIcon(*f.window);
    f.window->show();
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));
    QSignalSpy finished(f.window.get(), &QDialog::finished);
    f.C().Start->click();
    std::array<FtpClient, 2> clients;
    for (FtpClient& client : clients) {
        bool loggedIn = false;
        QVERIFY(RunAside([&] { loggedIn = client.Login(f.window->Server().ListeningPort()); }));
        QVERIFY(loggedIn);
    }
    QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), QStringLiteral("2"), 20000);

    if (tray)
        trayIcon.Menu().actions().at(2)->trigger();
    else
        QTest::keyClick(f.C().Username, Qt::Key_Escape);

    QVERIFY(CMessageBox::TakeShown().isEmpty());
    QCOMPARE(finished.size(), 1);
    QVERIFY(!f.window->isVisible());
    QVERIFY(!f.window->Server().IsRunning());
    QCOMPARE(f.window->Server().ConnectionCount(), 0);
    for (FtpClient& client : clients) {
        bool closed = false;
        QVERIFY(RunAside([&] { closed = client.WaitForClose(); }));
        QVERIFY(closed);
    }
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
