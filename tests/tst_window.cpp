// Catches: wrong start/stop states, unshown refused starts, unbounded/unsaved edits, miswired buttons, a mangled or
// endless monitor, a failed first start or one making a chosen folder, a share dialog's wrong address or a password.
#include "core/LanAddress.h"
#include "core/MonitorColors.h"
#include "FtpClient.h"
#include "panel/FolderPicker.h"
#include "panel/MainWindow.h"
#include "panel/MessageBoxes.h"
#include "panel/MonitorPane.h"
#include "panel/PassProgressDialog.h"
#include "panel/ShareDialog.h"
#include "panel/TrayIcon.h"
#include "TestFiles.h"
#include "TestServer.h"
#include <linux/capability.h>
#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#define CHECK(condition) QVERIFY2(condition, qPrintable(name)) // the case's name must be in scope

// A window over its own settings (Root, Secret, port 0), boxes recorded; a first start has the defaults, in temp.
struct Window
{
    explicit Window(bool firstStart = false, const QByteArray& username = "tester")
    {
        CSettings::Values values = TestValues(QFile::encodeName(root));
        values.Username = username;
        if (QDir().mkpath(root) && !firstStart)
            CSettingsStore(file).SaveSettings(values);
        if (firstStart)
            QDir::setCurrent(temp.path());
        CMessageBox::SetRecording(true);
        w = std::make_unique<CMainWindow>(file);
    }
    ~Window()
    {
        w.reset();
        QDir::setCurrent(previous);
    }
    const CMainWindowControls& C() const { return w->Controls(); }
    QStringList Lines() const { return C().Monitor->toPlainText().split('\n', Qt::SkipEmptyParts); }
    void VerifyLayout(bool stopped) const
    {
        const CMainWindowControls& c = C();
        const QList<QWidget*> usable = {c.GetInternetIP, c.Logo, c.InternetIP, c.LanIP, c.ConnectedUsers, c.Monitor};
        for (QWidget* child : w->findChildren<QWidget*>(QRegularExpression("."), Qt::FindDirectChildrenOnly)) {
            const bool always = usable.contains(child) || qobject_cast<QToolButton*>(child);
            QVERIFY2(child == c.Stop || child->isEnabled() == (stopped || always), qPrintable(child->objectName()));
        }
        QVERIFY(c.Start->isHidden() != stopped && c.Stop->isHidden() == stopped && c.Stop->isEnabled() != stopped);
    }
    const QString previous = QDir::currentPath();
    QTemporaryDir temp;
    const QString root = temp.filePath("Root"), file = temp.filePath("config/tarvelo-ftp.conf");
    std::unique_ptr<CMainWindow> w;
};

// fn(0) .. fn(count - 1) on threads aside while this thread serves the window's events (the threads report to it).
static bool Aside(int count, const std::function<bool(int)>& fn)
{
    std::atomic<int> passed = 0, failed = 0;
    std::vector<std::jthread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] { ++(fn(i) ? passed : failed); });
    return QTest::qWaitFor([&] { return passed + failed == count; }, 60000) && failed == 0;
}

// Stop: Start stays off, and does nothing, until the server's threads have ended (the stop would end its clients).
static void StopAndTryStart(Window& f)
{
    f.C().Stop->click();
    QVERIFY(f.w->Server().State() == CFtpServer::EState::Stopping && !f.C().Start->isEnabled() &&
            !f.C().Encrypt->isEnabled());
    f.C().Start->click();
    QTRY_VERIFY_WITH_TIMEOUT(f.C().Start->isEnabled(), 15000);
    QVERIFY(f.w->Server().State() == CFtpServer::EState::Stopped && f.C().Encrypt->isEnabled());
}

// Picks a folder with the button, then removes it: a folder the user chose that is gone at the start.
static QString PickGone(Window& f, QPushButton* button)
{
    const QString chosen = f.temp.filePath("Chosen");
    CFolderPicker::SetNextDirectory(chosen);
    QDir().mkpath(chosen);
    button->click();
    QDir(chosen).removeRecursively();
    return chosen;
}

// CAP_NET_BIND_SERVICE in or out of this thread's effective set: without it root is refused low ports as anyone.
static bool SetBindPrivilege(bool bOn)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2];
    const __u32 bit = 1u << CAP_NET_BIND_SERVICE;
    if (syscall(SYS_capget, &header, caps) != 0)
        return false;
    caps[0].effective = bOn ? caps[0].effective | (caps[0].permitted & bit) : caps[0].effective & ~bit;
    return syscall(SYS_capset, &header, caps) == 0;
}

class TestWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stoppedWindow()
    {
        Window f(true);
        f.w->show();
        const CMainWindowControls& c = f.C();
        QVERIFY(f.w->focusWidget() == c.Start && c.Start->isDefault() && c.Start->text() == " Start server");
        f.VerifyLayout(true);
        QByteArray lanIP;
        (void)GetLanIP(lanIP);
        QCOMPARE(c.LanIP->text().toUtf8(), lanIP);
        c.Monitor->setTextCursor(c.Monitor->document()->find("FTP")); // lines are still written at the end
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        f.w->Server().InternetAddress().SetServiceUrl(QString("http://127.0.0.1:%1/").arg(service.serverPort()));
        c.GetInternetIP->click(); // returns at once: the service answers later, among the window's events
        QVERIFY(f.w->IsFetchingInternetIP() && !c.GetInternetIP->isEnabled() && c.InternetIP->text().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(service.hasPendingConnections(), 15000);
        std::unique_ptr<QTcpSocket> request(service.nextPendingConnection());
        QTRY_VERIFY_WITH_TIMEOUT(request->canReadLine(), 20000);
        request->write("HTTP/1.0 200 OK\r\n\r\n203.0.113.7");
        request->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(c.InternetIP->text() == "203.0.113.7" && c.GetInternetIP->isEnabled(), 20000);
        // Read back in binding order: the first value out of bounds is prompted for, has the focus, ends the read.
        const std::tuple<QString, QString, QString, QString, quint32> rows[] = {
            {"500", "65535", "", "", 500},
            {"501", "2121", "Please enter an integer between 0 and 500.", "MaxUsers", 501},
            {"7", "65536", "Please enter an integer between 0 and 65535.", "ServerPort", 7},
            {"99999999999", "2121", "Please enter a positive integer.", "MaxUsers", 7}, // no number keeps the last
        };
        for (const auto& [users, port, prompt, focus, maxUsers] : rows) {
            const QString name = users + "-" + port;
            c.MaxUsers->setText(users);
            c.ServerPort->setText(port);
            c.Username->setText(name);
            CHECK(f.w->UpdateData(true) == prompt.isEmpty() && CMessageBox::TakeShown().value(0).text == prompt);
            const CSettings::Values values = f.w->Settings().Get();
            CHECK(values.MaxUsers == maxUsers && (values.Username == name) == prompt.isEmpty());
            CHECK(prompt.isEmpty() ? values.ServerPort == 65535 : f.w->focusWidget()->objectName() == focus);
        }
        const QString chosen = PickGone(f, c.RootFolder); // never made: refused
        QTest::keyClick(c.Username, Qt::Key_Return);
        QVERIFY(!f.w->Server().IsRunning() && !QFile::exists(f.file) && !QFile::exists(chosen));
        f.VerifyLayout(true);
        const auto line = [](int t, int n) { return QString("T%1-%2 ").arg(t).arg(n) + QString(40, QChar('a' + t)); };
        // Within the queue's bound, each thread's lines come in their order and none is lost.
        constexpr int kLines = CServerMonitor::kMaxQueuedWrites / 6;
        QVERIFY(Aside(6, [&](int t) {
            for (int n = 0; n < kLines; ++n)
                f.w->Monitor().AddMonitorText(line(t, n).toUtf8(), MonitorColor::White, MonitorColor::Dark, true);
            return true;
        }));
        QTRY_COMPARE(f.Lines().size(), 4 + 6 * kLines); // queued writes, not yet shown
        QCOMPARE(f.Lines().mid(0, 4), (QStringList{"Tarvelo FTP Server v1.1b", "Your Internet IP address: 203.0.113.7",
                                                   "Root folder not found.", "Please select a valid folder."}));
        QList<int> next(6, 0);
        for (const QString& text : f.Lines().mid(4))
            QCOMPARE(text, line(text.mid(1, 1).toInt(), next[text.mid(1, 1).toInt()]++));
        const QTextCharFormat red = c.Monitor->document()->findBlockByNumber(3).begin().fragment().charFormat();
        QVERIFY(red.foreground() == QColor(MonitorColor::White) && red.background() == QColor(MonitorColor::Red));
        QVERIFY(c.Monitor->isReadOnly() && c.Monitor->textCursor().selectedText() == "FTP");
        QCOMPARE(c.Monitor->verticalScrollBar()->value(), c.Monitor->verticalScrollBar()->maximum());
        // Past the queue's bound a writer never waits for the (busy) window's thread: the rest are dropped, and told.
        const auto write = [&f](const QByteArray& text, int times) {
            std::jthread([&] {
                for (int n = 0; n < times; ++n)
                    f.w->Monitor().AddMonitorText(text, MonitorColor::White, MonitorColor::Dark, true);
            }).join();
        };
        write("Q", CServerMonitor::kMaxQueuedWrites + 10);
        QTRY_COMPARE(f.Lines().count("Q"), CServerMonitor::kMaxQueuedWrites);
        write("R", 1);
        QTRY_COMPARE(f.Lines().last(), QString("R"));
        const QStringList flooded = f.Lines().mid(4 + 6 * kLines);
        QCOMPARE(flooded.size(), CServerMonitor::kMaxQueuedWrites + 2);
        QVERIFY(flooded.count("Q") == CServerMonitor::kMaxQueuedWrites &&
                flooded.at(flooded.size() - 2) == "10 monitor lines not shown.");
        // The pane keeps the latest lines only.
        for (int n = 0; n < CMonitorPane::kMaxLines; ++n)
            f.w->Monitor().AddMonitorText("L" + QByteArray::number(n), MonitorColor::White, MonitorColor::Dark, true);
        const QStringList kept = f.Lines();
        QVERIFY(kept.size() <= CMonitorPane::kMaxLines && kept.first().startsWith('L') &&
                kept.last() == QString("L%1").arg(CMonitorPane::kMaxLines - 1));
        // A stored text too long is shown whole, refused at a read; a port out of bounds is prompted for, then tried.
        Window g(false, QByteArray(30, 'u'));
        QVERIFY(g.C().Username->text().size() == 30 && !g.w->UpdateData(true));
        QCOMPARE(CMessageBox::TakeShown().value(0).text, "Please enter no more than 22 characters.");
        g.C().ServerPort->setText("70000");
        g.C().Start->click();
        QCOMPARE(g.Lines().mid(1), QStringList{"Unable to start the server on port 70000: Invalid argument"});
        const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
        QVERIFY(shown.size() == 1 && shown[0].text == "Please enter an integer between 0 and 65535.");
        g.VerifyLayout(true);
    }

    // A pass runs beside the window, its progress shown; a Cancel or the window's end stops it after the file in hand.
    void passBesideTheWindow()
    {
        for (const QString name : {"to its end", "Cancel", "Esc", "tray Quit", "close"}) {
            const bool ends = name == "Esc" || name == "tray Quit" || name == "close", cancelled = name != "to its end";
            Window f;
            CTrayIcon tray(*f.w);
            f.w->show();
            QSignalSpy finished(f.w.get(), &QDialog::finished);
            const QString secure = f.temp.filePath("Secure");
            QVERIFY(QDir().mkpath(secure));
            for (const QString file : {"a", "b", "c"})
                QVERIFY(WriteFile(secure + "/" + file, QByteArray(1 << 20, 'x')));
            CFolderPicker::SetNextDirectory(secure);
            f.C().SecureFolderButton->click();
            f.C().CryPassword->setText("Crypt0Pass");
            CMessageBox::SetNextAnswer(true);
            f.C().Encrypt->click();
            CPassProgressDialog* progress = f.w->PassProgress();
            CHECK(progress && progress->isVisible() && progress->Value() == 0 &&
                  progress->Text() == "0 of 3 files, 0 bytes of 3.00 MiB");
            CHECK(!f.C().Start->isEnabled() && !f.C().Encrypt->isEnabled() && !f.C().Decrypt->isEnabled());
            f.C().Start->click();
            if (name == "Cancel")
                progress->CancelButton()->click();
            else if (name == "Esc")
                QTest::keyClick(f.C().Username, Qt::Key_Escape);
            else if (name == "tray Quit")
                tray.Menu().actions().at(3)->trigger();
            else if (name == "close")
                f.w->close();
            CHECK(!cancelled || (progress->Text().endsWith("\nStopping once the file in hand is done.") &&
                                 !progress->CancelButton()->isEnabled() && progress->isVisible()));
            CHECK(finished.isEmpty() && f.w->isVisible() == !ends); // an end waits for the pass
            QTRY_VERIFY_WITH_TIMEOUT(!f.w->PassProgress(), 60000);
            CHECK(finished.size() == int(ends) && !f.w->Server().IsRunning() && CMessageBox::TakeShown().size() == 1);
            CHECK(f.Lines().last() == (cancelled ? "Files left (cancelled): 2" : "Encrypted files: 3"));
            if (!ends)
                f.VerifyLayout(true);
        }
    }

    // Start makes missing default folders, says so and serves; never a chosen secure folder, nor one that exists.
    void firstStart()
    {
        for (const bool chosenSecure : {false, true}) {
            const QString name = chosenSecure ? "chosen secure folder" : "defaults";
            Window f(true);
            const QString chosen = chosenSecure ? PickGone(f, f.C().SecureFolderButton) : "";
            const QString root = f.temp.filePath("RootFolder"), secure = root + "/SecureFolder";
            f.C().ServerPort->setText("0");
            f.C().Start->click();
            const QStringList made = QStringList{"Root folder created: " + root, "Secure folder created: " + secure};
            CHECK(f.w->Server().IsRunning() && f.Lines().mid(1, 2 - chosenSecure) == made.mid(0, 2 - chosenSecure));
            struct stat status = {}; // what a decryption puts back is the owner's
            CHECK(chosenSecure ? !QFile::exists(secure) && !QFile::exists(chosen)
                               : ::stat(qPrintable(secure), &status) == 0 && (status.st_mode & 0777) == 0700);
            StopAndTryStart(f);
            f.C().Start->click();
            CHECK(f.w->Server().IsRunning() && f.Lines().filter(" folder ").size() == 2 - chosenSecure);
        }
    }

    // A start refused for a privileged port asks once whether to take 2121 instead; the refusal's lines stay.
    void portQuestion()
    {
        QFile first("/proc/sys/net/ipv4/ip_unprivileged_port_start");
        if (first.open(QIODevice::ReadOnly) && first.readAll().trimmed().toInt() <= 21)
            QSKIP("Port 21 needs no privileges on this machine (ip_unprivileged_port_start): no start is refused");
        const auto restore = qScopeGuard([] { SetBindPrivilege(true); });
        QVERIFY(SetBindPrivilege(false));
        for (const bool yes : {false, true}) {
            const QString name = yes ? "Yes" : "No";
            if (yes && !QTcpServer().listen(QHostAddress::Any, CFtpServer::kSuggestedPort))
                QSKIP("Port 2121 is taken on this machine: Yes would have nowhere to start");
            Window f;
            f.C().ServerPort->setText("21");
            CMessageBox::SetNextAnswer(yes);
            f.C().Start->click();
            const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
            CHECK(shown.size() == 1 && shown[0].icon == QMessageBox::Question &&
                  shown[0].text == "Port 21 needs privileges on Linux.\n\nDo you want to use port 2121 instead?");
            CHECK(f.Lines().mid(1, 2) == (QStringList{"Unable to start the server on port 21: Permission denied",
                                                      "Ports below 1024 need privileges on Linux: choose a port "
                                                      "such as 2121."}));
            CHECK(f.w->Server().IsRunning() == yes && f.C().ServerPort->text() == (yes ? "2121" : "21"));
            if (!yes)
                f.C().Start->click(); // refused again, without a second question
            CHECK(yes ? f.w->Server().ListeningPort() == 2121 &&
                            CSettingsStore(f.file).LoadSettings().ServerPort == 2121
                      : CMessageBox::TakeShown().isEmpty() && f.Lines().size() == 5);
        }
    }

    // The share dialog (button, tray): addresses with user and port, no password; copied, and as QR codes that decode.
    void shareDialog()
    {
        QCOMPARE(CShareDialog::Url("192.168.1.20", "anonymous", 21), "ftp://192.168.1.20/");
        QVERIFY(CShareDialog::Url("192.168.1.20", "alice", 0).isEmpty()); // port 0: chosen at the start
        Window f(false, "alice");
        CTrayIcon tray(*f.w);
        f.C().Start->click();
        QByteArray lanIP;
        (void)GetLanIP(lanIP);
        for (int viaTray = 0; viaTray < 2; ++viaTray) {
            viaTray ? tray.Menu().actions().at(2)->trigger() : f.C().Share->click();
            CShareDialog* dialog = f.w->findChild<CShareDialog*>();
            const auto* url = dialog ? dialog->findChild<QLineEdit*>("LanUrl") : nullptr;
            const QString lan = QString("ftp://alice@%1:%2/").arg(lanIP).arg(f.w->Server().ListeningPort());
            QCOMPARE(url ? url->text() : QString(), lanIP.isEmpty() ? QString() : lan);
            QVERIFY(dialog->isVisible() && !dialog->findChild<QLineEdit*>("InternetUrl")); // not fetched yet
            dialog->close();
            QTRY_VERIFY(!f.w->findChild<CShareDialog*>());
        }
        CShareDialog both({"192.168.1.20", "203.0.113.7", "al@ice", 21, false}, nullptr);
        for (const QString host : {"192.168.1.20", "203.0.113.7"}) {
            const QString row = host.startsWith("192") ? "Lan" : "Internet", png = f.temp.filePath(row + ".png");
            const QString text = both.findChild<QLineEdit*>(row + "Url")->text();
            both.findChild<QPushButton*>(row + "Copy")->click();
            QVERIFY(text == "ftp://al%40ice@" + host + "/" && QGuiApplication::clipboard()->text() == text);
            QVERIFY(both.findChild<QLabel*>(row + "Qr")->pixmap().save(png));
            QProcess zbar;
            zbar.start("zbarimg", {"--raw", "-q", png});
            QVERIFY(zbar.waitForFinished(30000) && zbar.exitCode() == 0);
            QCOMPARE(QString::fromUtf8(zbar.readAllStandardOutput()), text + "\n");
        }
    }

    void serveAndEnd()
    {
        for (const QString name : {"Stop", "close, No", "close, Yes", "Esc", "tray Quit"}) {
            const bool asks = name[0] == 'c', running = name == "close, No", shown = running || name == "Stop";
            Window f;
            CTrayIcon tray(*f.w);
            f.w->show();
            QSignalSpy finished(f.w.get(), &QDialog::finished);
            f.C().WelcomeMSG->setText("Hello there");
            f.C().Username->clear();
            f.C().TlsMode->setCurrentIndex(1);
            f.C().Start->click();
            CHECK(f.w->Server().IsRunning() && f.C().Username->text() == "anonymous" &&
                  f.Lines().filter("TLS allowed. Certificate SHA-256 fingerprint: ").size() == 1);
            f.VerifyLayout(false);
            FtpClient clients[2];
            CHECK(Aside(2, [&](int i) { return clients[i].Login(f.w->Server().ListeningPort(), "anonymous", "x"); }));
            QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), "2", 20000);
            CMessageBox::SetNextAnswer(name == "close, Yes");
            if (asks)
                f.w->close();
            else if (name == "Stop")
                StopAndTryStart(f);
            else if (name == "Esc")
                QTest::keyClick(f.C().Username, Qt::Key_Escape);
            else
                tray.Menu().actions().at(3)->trigger();
            CHECK(CMessageBox::TakeShown().value(0).text.split('\n')[0] == (asks ? "The FTP server is running." : ""));
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), int(!shown), 15000); // an end waits for the stop
            CHECK(f.w->Server().IsRunning() == running && f.w->isVisible() == shown);
            if (running) {
                clients[1].Close(); // the other is still counted: not closed
                QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), "1", 20000);
                tray.Menu().actions().at(1)->trigger(); // Hide
                QVERIFY(!f.w->isVisible());
                f.w->showMinimized();
                tray.OnActivated(QSystemTrayIcon::DoubleClick);
                QVERIFY(f.w->isVisible() && !(f.w->windowState() & Qt::WindowMinimized));
                continue;
            }
            QTRY_COMPARE_WITH_TIMEOUT(f.w->Server().State(), CFtpServer::EState::Stopped, 15000);
            CHECK(f.w->Server().Threads() == 0 && f.Lines().last() == "***** FTP SERVER OFFLINE *****");
            CHECK(Aside(2, [&](int i) { return clients[i].WaitForClose(); }));
            if (name == "Stop") {
                f.VerifyLayout(true);
                f.C().Start->click();
                QVERIFY(f.w->Server().IsRunning());
                f.w = std::make_unique<CMainWindow>(f.file); // shows the edits saved at the start
                QVERIFY(f.C().WelcomeMSG->text() == "Hello there" && f.C().Username->text() == "anonymous" &&
                        f.C().TlsMode->currentIndex() == 1);
            }
        }
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
