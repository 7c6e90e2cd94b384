// The main window without the server running: first start, layout and tab order, the exchange
// with its bounds, the folder pickers, the "Hide" boxes, help, "Get Internet IP:", the secure
// folder's warnings, and a screenshot for the team.

#include "tst_window_fixture.h"

#include "core/LanAddress.h"
#include "core/MonitorColors.h"
#include "panel/AboutDialog.h"
#include "panel/FolderPicker.h"
#include "panel/HelpText.h"
#include "server/FtpServer.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>

// Receives the URLs the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void Open(const QUrl& url) { urls.append(url); }
};

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstStart();
    void controlsInsideTheWindow();
    void tabOrder();
    void readBackFailure_data();
    void readBackFailure();
    void storedTextOverItsLength();
    void storedValues_data();
    void storedValues();
    void folderPicker_data();
    void folderPicker();
    void openFolder_data();
    void openFolder();
    void hideBoxes();
    void helpButtons();
    void internetAddressDoesNotFreeze();
    void secureFolderWarningsInOrder();
    void screenshot();
};

void TestMainWindow::firstStart()
{
    WindowFixture f;
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    const CMainWindowControls& c = f.C();

    QCOMPARE(f.window->windowTitle(), QStringLiteral("Tarvelo FTP Server v1.1b"));
    QCOMPARE(f.window->focusWidget(), c.Start);
    QVERIFY(c.Start->isVisible() && c.Start->isEnabled() && c.Start->isDefault());
    QVERIFY(!c.Stop->isVisible() && !c.Stop->isEnabled());
    QCOMPARE(c.Password->echoMode(), QLineEdit::Password);
    QCOMPARE(c.CryPassword->echoMode(), QLineEdit::Password);
    QVERIFY(c.HidePassword->isChecked() && c.HideCryPassword->isChecked());
    QCOMPARE(f.MonitorLines(), QStringList{QStringLiteral("Tarvelo FTP Server v1.1b")});
    QTextCursor banner(c.Monitor->document());
    banner.setPosition(1);
    QCOMPARE(banner.charFormat().fontWeight(), int(QFont::Bold));
    QCOMPARE(banner.charFormat().foreground().color(), QColor(255, 255, 255));
    QCOMPARE(banner.charFormat().background().color(), QColor(37, 37, 38));

    const CSettings::Values defaults;
    QCOMPARE(c.Username->text().toUtf8(), defaults.Username);
    QCOMPARE(c.WelcomeMSG->text().toUtf8(), defaults.WelcomeMSG);
    QCOMPARE(c.LogoffMSG->text().toUtf8(), defaults.LogoffMSG);
    QCOMPARE(c.SharedFolder->text().toUtf8(), defaults.SharedFolder);
    QCOMPARE(c.SecureFolder->text().toUtf8(), defaults.SecureFolder);
    QCOMPARE(c.ServerPort->text(), QString::number(defaults.ServerPort));
    QCOMPARE(c.MaxUsers->text(), QString::number(defaults.MaxUsers));
    QCOMPARE(c.AllowDownloadFiles->isChecked(), bool(defaults.AllowDownloadFiles));
    QCOMPARE(c.AllowDeleteFiles->isChecked(), bool(defaults.AllowDeleteFiles));
    QVERIFY(c.ConnectedUsers->text().isEmpty());
    QVERIFY(c.InternetIP->text().isEmpty());
    QByteArray lanIP;
    (void)GetLanIP(lanIP);
    QCOMPARE(c.LanIP->text().toUtf8(), lanIP);
    QVERIFY(!QFile::exists(f.settingsFile)); // nothing stored before the first start

    // Enter presses " Start server": with the default root folder missing, its refusal shows.
    c.Username->setFocus();
    QTest::keyClick(c.Username, Qt::Key_Return);
    QVERIFY(f.MonitorLines().contains(QStringLiteral("Root folder not found.")));
}

void TestMainWindow::controlsInsideTheWindow()
{
    WindowFixture f;
    QCOMPARE(f.window->minimumSize(), f.window->maximumSize());
    const QList<QWidget*> controls = f.window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (const QWidget* control : controls) {
        const QString name = control->objectName() + QLatin1Char(' ') + control->metaObject()->className();
        QVERIFY2(f.window->rect().contains(control->geometry()), qPrintable(name));
        // Labels and check boxes show their whole text, and no other control covers it.
        if (qobject_cast<const QLabel*>(control) || qobject_cast<const QCheckBox*>(control)) {
            const QRect text(control->pos(), QSize(control->sizeHint().width(), control->height()));
            QVERIFY2(text.width() <= control->width(), qPrintable(name));
            for (const QWidget* other : controls)
                if (other != control && !qobject_cast<const QGroupBox*>(other) && !other->isHidden())
                    QVERIFY2(!other->geometry().intersects(text),
                             qPrintable(name + QStringLiteral(" under ") + other->objectName()));
        }
    }
    for (const QPushButton* button : f.window->findChildren<QPushButton*>()) {
        const int text = button->fontMetrics().horizontalAdvance(button->text()) + button->iconSize().width();
        QVERIFY2(text < button->width(), qPrintable(button->text()));
    }
}

void TestMainWindow::tabOrder()
{
    WindowFixture f;
    const QStringList expected =
        QStringLiteral("ServerPort MaxUsers Username Password WelcomeMSG LogoffMSG SharedFolder SecureFolderButton "
                       "AllowDownloadFiles AllowUploadFiles AllowRenameFiles AllowDeleteFiles AllowCreateFolders "
                       "Start Stop GetInternetIP InternetIP RootFolder SecureFolder Encrypt Decrypt CryPassword "
                       "HidePassword HideCryPassword LanIP ConnectedUsers About WebPage OpenRootFolder "
                       "OpenSecureFolder Monitor Help")
            .split(QLatin1Char(' '));
    QStringList chain;
    QWidget* widget = f.C().ServerPort;
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && !widget->objectName().isEmpty() &&
            widget->parentWidget() == f.window.get())
            chain.append(widget->objectName());
        widget = widget->nextInFocusChain();
    } while (widget != f.C().ServerPort);
    QCOMPARE(chain, expected);
}

void TestMainWindow::readBackFailure_data()
{
    QTest::addColumn<QString>("users");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<quint32>("storedUsers"); // MaxUsers after the read
    QTest::addColumn<bool>("laterRead");      // the members after the failure took their new values

    auto row = [](const char* name, const char* users, const char* port, bool ok, const char* prompt, const char* focus,
                  quint32 storedUsers, bool laterRead) {
        QTest::newRow(name) << QString(users) << QString(port) << ok << QString(prompt) << QString(focus) << storedUsers
                            << laterRead;
    };
    row("both at their bounds", "500", "65535", true, "", "", 500, true);
    row("zero users", "0", "0", true, "", "", 0, true);
    row("501 users", "501", "2121", false, "Please enter an integer between 0 and 500.", "MaxUsers", 501, false);
    row("port 65536", "7", "65536", false, "Please enter an integer between 0 and 65535.", "ServerPort", 7, false);
    row("no number", "", "2121", false, "Please enter a positive integer.", "MaxUsers", 50, false);
    row("number too big", "99999999999", "2121", false, "Please enter a positive integer.", "MaxUsers", 50, false);
}

void TestMainWindow::readBackFailure()
{
    QFETCH(QString, users);
    QFETCH(QString, port);
    QFETCH(bool, ok);
    QFETCH(QString, prompt);
    QFETCH(QString, focus);
    QFETCH(quint32, storedUsers);
    QFETCH(bool, laterRead);
    WindowFixture f;
    f.window->show();
    QVERIFY(QTest::qWaitForWindowActive(f.window.get()));
    const CMainWindowControls& c = f.C();
    c.MaxUsers->setText(users);
    c.ServerPort->setText(port);
    c.Username->setText(QStringLiteral("changed"));
    c.AllowCreateFolders->setChecked(true);

    QCOMPARE(f.window->UpdateData(true), ok);

    const CSettings::Values values = f.window->Settings().Get();
    QCOMPARE(values.MaxUsers, storedUsers);
    QCOMPARE(values.Username == "changed", laterRead);
    QCOMPARE(values.AllowCreateFolders == 1, laterRead);
    const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
    if (ok) {
        QVERIFY(shown.isEmpty());
        QCOMPARE(values.ServerPort, port.toUInt());
        return;
    }
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].text, prompt);
    QCOMPARE(shown[0].icon, QMessageBox::Warning);
    QCOMPARE(f.window->focusWidget()->objectName(), focus);
}

void TestMainWindow::storedTextOverItsLength()
{
    CSettings::Values values;
    values.Username = QByteArray(30, 'u');
    values.WelcomeMSG = "before";
    WindowFixture f(&values);
    QCOMPARE(f.C().Username->text().size(), 30); // shown whole
    f.C().WelcomeMSG->setText(QStringLiteral("after"));

    QVERIFY(!f.window->UpdateData(true));
    QCOMPARE(CMessageBox::TakeShown().value(0).text, QStringLiteral("Please enter no more than 22 characters."));
    QCOMPARE(f.window->Settings().Get().WelcomeMSG, QByteArray("before"));
    // A typed text cannot grow beyond its length.
    f.C().WelcomeMSG->setText(QString(200, QLatin1Char('w')));
    f.window->UpdateData(false);
    QTest::keyClicks(f.C().Password, QString(30, QLatin1Char('p')));
    QCOMPARE(f.C().Password->text().size(), 22);
}

void TestMainWindow::storedValues_data()
{
    QTest::addColumn<QByteArray>("line"); // in [DataApp] of a hand-written file
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("prompt"); // at the next read-back
    QTest::newRow("port not a number") << QByteArray("ServerPort=abc") << "ServerPort"
                                       << "21" << QString();
    QTest::newRow("users empty") << QByteArray("MaxUsers=") << "MaxUsers"
                                 << "50" << QString();
    QTest::newRow("users beyond 500") << QByteArray("MaxUsers=501") << "MaxUsers"
                                      << "501"
                                      << "Please enter an integer between 0 and 500.";
    QTest::newRow("comma in a text") << QByteArray("WelcomeMSG=Hello, friend") << "WelcomeMSG"
                                     << "Hello, friend" << QString();
}

void TestMainWindow::storedValues()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, box);
    QFETCH(QString, shown);
    QFETCH(QString, prompt);
    WindowFixture f("[DataApp]\n" + line + '\n');
    QCOMPARE(f.window->findChild<QLineEdit*>(box)->text(), shown);
    QCOMPARE(f.window->UpdateData(true), prompt.isEmpty());
    QCOMPARE(CMessageBox::TakeShown().value(0).text, prompt);
}

void TestMainWindow::folderPicker_data()
{
    QTest::addColumn<bool>("secure");
    QTest::addColumn<bool>("exists");
    QTest::newRow("root folder") << false << true;
    QTest::newRow("secure folder") << true << true;
    QTest::newRow("root folder missing") << false << false;
    QTest::newRow("secure folder missing") << true << false;
}

void TestMainWindow::folderPicker()
{
    QFETCH(bool, secure);
    QFETCH(bool, exists);
    CSettings::Values values = WindowFixture::ServingValues(QStringLiteral("/old"));
    values.SecureFolder = "/old-secure";
    WindowFixture f(&values);
    const QString chosen = exists ? f.root : f.Path(QStringLiteral("gone"));
    f.C().WelcomeMSG->setText(QStringLiteral("edited"));

    CFolderPicker::SetNextDirectory(chosen);
    (secure ? f.C().SecureFolderButton : f.C().RootFolder)->click();

    const QString subject = secure ? QStringLiteral("Secure folder") : QStringLiteral("Root folder");
    const CSettings::Values now = f.window->Settings().Get();
    const QByteArray member = secure ? now.SecureFolder : now.SharedFolder;
    const QLineEdit* box = secure ? f.C().SecureFolder : f.C().SharedFolder;
    const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
    QCOMPARE(now.WelcomeMSG, QByteArray("edited")); // the picker reads the controls first
    if (!exists) {
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, subject + " not found.\r\nPlease select a valid folder.");
        QCOMPARE(shown[0].caption, subject);
        QCOMPARE(member, QByteArray(secure ? "/old-secure" : "/old"));
        return;
    }
    QVERIFY(shown.isEmpty());
    QCOMPARE(member, QFile::encodeName(chosen));
    QCOMPARE(box->text(), chosen);
    // Only the secure folder is stored at once; the root folder waits for the next start.
    const CSettings::Values stored = f.Stored();
    QCOMPARE(stored.SecureFolder, secure ? QFile::encodeName(chosen) : QByteArray("/old-secure"));
    QCOMPARE(stored.SharedFolder, QByteArray("/old"));
}

void TestMainWindow::openFolder_data()
{
    folderPicker_data();
}

void TestMainWindow::openFolder()
{
    QFETCH(bool, secure);
    QFETCH(bool, exists);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
    QTemporaryDir other;
    const QString folder = exists ? other.path() : other.filePath(QStringLiteral("missing"));
    CSettings::Values values = WindowFixture::ServingValues(folder);
    values.SecureFolder = QFile::encodeName(folder);
    WindowFixture f(&values);

    (secure ? f.C().OpenSecureFolder : f.C().OpenRootFolder)->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

    const QString subject = secure ? QStringLiteral("Secure folder") : QStringLiteral("Root folder");
    const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
    if (exists) {
        QVERIFY(shown.isEmpty());
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(folder)});
    } else {
        QVERIFY(catcher.urls.isEmpty());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, subject + " not found.");
        QCOMPARE(shown[0].caption, subject);
    }
}

void TestMainWindow::hideBoxes()
{
    WindowFixture f;
    const CMainWindowControls& c = f.C();
    c.Password->setText(QStringLiteral("typed"));
    for (auto [box, edit] : {std::pair{c.HidePassword, c.Password}, std::pair{c.HideCryPassword, c.CryPassword}}) {
        const QString stars(edit->text().size(), QLatin1Char('*'));
        QCOMPARE(edit->displayText(), stars); // the platform's dot is not the window's mask
        box->click();
        QCOMPARE(edit->displayText(), edit->text());
        box->click();
        QCOMPARE(edit->displayText(), stars);
    }
    QCOMPARE(c.Password->text(), QStringLiteral("typed"));
    QCOMPARE(f.window->Settings().Get().Password, QByteArray("typed"));
}

void TestMainWindow::helpButtons()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "Open");
    WindowFixture f;
    f.C().Help->click();
    f.C().WebPage->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

    const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].text,
             QStringLiteral(
                 "Users need an FTP Client to access your FTP server. Web browsers can be used as FTP Clients.\n\n"
                 "For connections from the Internet to your FTP server, remember to setup port forwarding on your "
                 "router:\nYou must open server port and range of ports (50000 to 58000) TCP/UDP for your LAN IP.\n\n"
                 "Users who download encrypted files (.cry) must use 'Tarvelo FTP Server' application only to decrypt "
                 "the files using 'Decrypt' button for the 'SecureFolder' where the .cry files are located."));
    QCOMPARE(shown[0].icon, QMessageBox::Question);
    QCOMPARE(shown[0].caption, QCoreApplication::applicationName());
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls[0].path(), QStringLiteral("/tarveloftp/index.html"));
    QCOMPARE(catcher.urls[0].scheme(), QStringLiteral("https"));
}

void TestMainWindow::internetAddressDoesNotFreeze()
{
    QTcpServer service;
    QVERIFY(service.listen(QHostAddress::LocalHost));
    WindowFixture f;
    f.window->Server().InternetAddress().SetServiceUrl(
        QStringLiteral("http://127.0.0.1:%1/").arg(service.serverPort()));

    f.C().GetInternetIP->click();
    // The click has returned while the service has not answered yet: the window goes on, and the
    // fetch runs among its events.
    QTRY_VERIFY_WITH_TIMEOUT(service.hasPendingConnections(), 15000);
    std::unique_ptr<QTcpSocket> request(service.nextPendingConnection());
    QVERIFY(f.window->IsFetchingInternetIP());
    QVERIFY(!f.C().GetInternetIP->isEnabled());
    QVERIFY(f.C().InternetIP->text().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(request->canReadLine(), 20000);

    request->write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n203.0.113.7");
    request->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(f.C().InternetIP->text(), QStringLiteral("203.0.113.7"), 20000);
    QVERIFY(f.C().GetInternetIP->isEnabled());
    QVERIFY(f.MonitorLines().contains(QStringLiteral("Your Internet IP address: 203.0.113.7")));
}

void TestMainWindow::secureFolderWarningsInOrder()
{
    QTemporaryDir secure;
    QFile plain(secure.filePath(QStringLiteral("a.txt")));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("secret") == 6);
    plain.close();

    struct Step
    {
        QByteArray folder;
        QString password;
        QString expected; // the box shown, or the question
    };
    const QString question = QStringLiteral("All files in the secure folder will be encrypted using CryPassword and "
                                            "the original files will be removed after encryption.\n\nDo you want to "
                                            "continue with the encryption process ?");
    const Step steps[] = {
        {"", "abc", "Secure folder not selected.\r\nPlease select folder to encrypt."},
        {QFile::encodeName(secure.filePath("gone")), "abc",
         "Secure folder not found.\r\nPlease select a valid folder."},
        {QFile::encodeName(secure.path()), "abcd", "Secure password length should be at least 5 characters."},
        {QFile::encodeName(secure.path()), "abcde", question},
    };
    for (const Step& step : steps) {
        CSettings::Values values;
        values.SecureFolder = step.folder;
        WindowFixture f(&values);
        f.C().CryPassword->setText(step.password);
        f.C().Encrypt->click(); // answered No
        const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, step.expected);
        QVERIFY(QFile::exists(plain.fileName()));
    }

    CSettings::Values values;
    values.SecureFolder = QFile::encodeName(secure.path());
    WindowFixture f(&values);
    CMessageBox::SetNextAnswer(true);
    f.C().Encrypt->click();
    QCOMPARE(CMessageBox::TakeShown().size(), 1);
    QVERIFY(!QFile::exists(plain.fileName()));
    QVERIFY(QFile::exists(secure.filePath(QStringLiteral("a.txt.cry"))));
    QVERIFY(f.MonitorLines().contains(QStringLiteral("Encryption completed successfully.")));
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    f.C().Decrypt->click();
    QVERIFY(CMessageBox::TakeShown().isEmpty());
    QVERIFY(QFile::exists(plain.fileName()));
    QVERIFY(f.MonitorLines().contains(QStringLiteral("Decryption completed successfully.")));
}

void TestMainWindow::screenshot()
{
    const QByteArray buildDir = qgetenv("TARVELO_BUILD_DIR");
    if (buildDir.isEmpty())
        QSKIP("TARVELO_BUILD_DIR is not set");
    CSettings::Values values = WindowFixture::ServingValues(QStringLiteral("/home/user/RootFolder/"));
    values.SecureFolder = "/home/user/RootFolder/SecureFolder/";
    WindowFixture f(&values);
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    f.window->Monitor().AddMonitorText("Root folder not found.\r\nPlease select a valid folder.", MonitorColor::White,
                                       MonitorColor::Red, true);
    f.window->Monitor().AddMonitorText("User arrived: ", MonitorColor::Bronze, MonitorColor::Dark, false);
    f.window->Monitor().AddMonitorText("192.168.1.20", MonitorColor::Cyan, MonitorColor::Dark, true);
    const QString file = QFile::decodeName(buildDir) + QStringLiteral("/main-window.png");
    QVERIFY(f.window->grab().save(file));
    qInfo("Screenshot: %s", qPrintable(file));

    CAboutDialog about(f.window.get());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QVERIFY(about.grab().save(QFile::decodeName(buildDir) + QStringLiteral("/about-box.png")));
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
