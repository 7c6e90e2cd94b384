// Catches: wrong start/stop states, unshown refused starts, unbounded/unsaved edits, miswired buttons, mangled monitor.
#include "core/LanAddress.h"
#include "core/MonitorColors.h"
#include "FtpClient.h"
#include "panel/MainWindow.h"
#include "panel/MessageBoxes.h"
#include "panel/MonitorPane.h"
#include "panel/TrayIcon.h"
#include "TestServer.h"
#include <linux/capability.h>
#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>
#include <sys/syscall.h>

#define CHECK(condition) QVERIFY2(condition, qPrintable(name)) // the case's name must be in scope

namespace {

// A window over its own settings file, boxes recorded; unless a first start it serves Root (password Secret, port 0).
struct Window
{
    explicit Window(bool firstStart = false, const QByteArray& username = "tester")
    {
        CSettings::Values values = TestValues(QFile::encodeName(root));
        values.Username = username;
        if (QDir().mkpath(root) && !firstStart)
            CSettingsStore(file).SaveSettings(values);
        CMessageBox::SetRecording(true);
        w = std::make_unique<CMainWindow>(file);
    }
    const CMainWindowControls& C() const { return w->Controls(); }
    QStringList Lines() const { return C().Monitor->toPlainText().split('\n', Qt::SkipEmptyParts); }
    QTemporaryDir temp;
    const QString root = temp.filePath("Root"), file = temp.filePath("config/tarvelo-ftp.conf");
    std::unique_ptr<CMainWindow> w;
};

// fn's result, run aside while this thread serves the window's events (connection threads report to it).
bool Aside(const std::function<bool()>& fn)
{
    bool result = false;
    std::unique_ptr<QThread> thread(QThread::create([&] { result = fn(); }));
    thread->start();
    const bool finished = QTest::qWaitFor([&] { return thread->isFinished(); }, 30000);
    thread->wait();
    return finished && result;
}

void VerifyLayout(const Window& f, bool stopped)
{
    const CMainWindowControls& c = f.C();
    const QList<QWidget*> usable = {c.GetInternetIP, c.Logo, c.InternetIP, c.LanIP, c.ConnectedUsers, c.Monitor};
    for (QWidget* control : f.w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        const bool always =
            control->objectName().isEmpty() || qobject_cast<QToolButton*>(control) || usable.contains(control);
        QVERIFY2(control == c.Stop || control->isEnabled() == (stopped || always), qPrintable(control->objectName()));
    }
    QVERIFY(c.Start->isHidden() != stopped && c.Stop->isHidden() == stopped && c.Stop->isEnabled() != stopped);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void stoppedWindow()
    {
        Window f(true);
        f.w->show();
        const CMainWindowControls& c = f.C();
        QVERIFY(f.w->focusWidget() == c.Start && c.Start->isDefault());
        QVERIFY(c.Start->text() == " Start server" && c.Stop->text() == " Stop server");
        VerifyLayout(f, true);
        QCOMPARE(f.Lines(), QStringList{"Tarvelo FTP Server v1.1b"});
        QByteArray lanIP;
        (void)GetLanIP(lanIP);
        QVERIFY(c.LanIP->text().toUtf8() == lanIP && c.InternetIP->text().isEmpty() && !QFile::exists(f.file));
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        f.w->Server().InternetAddress().SetServiceUrl(QString("http://127.0.0.1:%1/").arg(service.serverPort()));
        f.C().GetInternetIP->click();
        // The click has returned before the service answers: the fetch runs among the window's events.
        QTRY_VERIFY_WITH_TIMEOUT(service.hasPendingConnections(), 15000);
        std::unique_ptr<QTcpSocket> request(service.nextPendingConnection());
        QVERIFY(f.w->IsFetchingInternetIP() && !f.C().GetInternetIP->isEnabled() && f.C().InternetIP->text().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(request->canReadLine(), 20000);
        request->write("HTTP/1.0 200 OK\r\n\r\n203.0.113.7");
        request->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(f.C().InternetIP->text(), "203.0.113.7", 20000);
        QVERIFY(f.C().GetInternetIP->isEnabled() && f.Lines().contains("Your Internet IP address: 203.0.113.7"));
        // Read back in binding order: the first value out of bounds is prompted for, has the focus, ends the read.
        const std::tuple<QString, QString, QString, QString, quint32> rows[] = {
            {"500", "65535", "", "", 500},
            {"501", "2121", "Please enter an integer between 0 and 500.", "MaxUsers", 501},
            {"7", "65536", "Please enter an integer between 0 and 65535.", "ServerPort", 7},
            {"", "2121", "Please enter a positive integer.", "MaxUsers", 7}, // no number keeps the last
            {"99999999999", "2121", "Please enter a positive integer.", "MaxUsers", 7},
        };
        for (const auto& [users, port, prompt, focus, maxUsers] : rows) {
            const QString name = users + "-" + port;
            c.MaxUsers->setText(users);
            c.ServerPort->setText(port);
            c.Username->setText(name);
            CHECK(f.w->UpdateData(true) == prompt.isEmpty());
            const CSettings::Values values = f.w->Settings().Get();
            CHECK(values.MaxUsers == maxUsers && (values.Username == name) == prompt.isEmpty());
            const QList<CMessageBox::CShown> shown = CMessageBox::TakeShown();
            CHECK(shown.size() == int(!prompt.isEmpty()) && shown.value(0).text == prompt);
            CHECK(prompt.isEmpty() ? values.ServerPort == 65535 : f.w->focusWidget()->objectName() == focus);
        }
        // Enter presses " Start server": the default root folder is missing, nothing is saved.
        QTest::keyClick(c.Username, Qt::Key_Return);
        QCOMPARE(f.Lines().mid(2), (QStringList{"Root folder not found.", "Please select a valid folder."}));
        QVERIFY(!f.w->Server().IsRunning() && !QFile::exists(f.file));
        VerifyLayout(f, true);
        // A stored text over its length is shown whole but refused at the read.
        Window g(false, QByteArray(30, 'u'));
        QVERIFY(g.C().Username->text().size() == 30 && !g.w->UpdateData(true));
        QCOMPARE(CMessageBox::TakeShown().value(0).text, "Please enter no more than 22 characters.");
    }

    void startFailures()
    {
        // Without this thread's (capabilities are per thread) right to bind ports below 1024, root starts as a user.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        syscall(SYS_capget, &header, caps);
        caps[0].effective &= ~(1u << CAP_NET_BIND_SERVICE);
        syscall(SYS_capset, &header, caps);
        QFile lowest("/proc/sys/net/ipv4/ip_unprivileged_port_start");
        const bool lowPortsGuarded = lowest.open(QIODevice::ReadOnly) && lowest.readAll().trimmed().toInt() > 21;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any));
        const QString held = QString::number(holder.serverPort()), refused = "Unable to start the server on port ";
        const QString hint = "Ports below 1024 need privileges on Linux: choose a port such as 2121.";
        const std::tuple<QString, QStringList, QString> rows[] = {
            {held, {refused + held + ": Address already in use"}, ""},
            {"70000", {refused + "70000: Invalid argument"}, "Please enter an integer between 0 and 65535."},
            {"21", {refused + "21: Permission denied", hint}, ""},
        };
        for (const auto& [name, lines, prompt] : rows) {
            if (name == "21" && !lowPortsGuarded)
                continue;
            Window f;
            f.C().ServerPort->setText(name);
            f.C().Start->click();
            CHECK(f.Lines().mid(1) == lines && !f.w->Server().IsRunning());
            CHECK(CMessageBox::TakeShown().value(0).text == prompt);
            VerifyLayout(f, true);
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
            f.C().Start->click();
            CHECK(f.w->Server().IsRunning() && f.Lines().last() == "***** FTP SERVER ONLINE *****");
            CHECK(f.C().Username->text() == "anonymous");
            VerifyLayout(f, false);
            FtpClient clients[2];
            for (FtpClient& client : clients)
                CHECK(Aside([&] { return client.Login(f.w->Server().ListeningPort(), "anonymous", "me@home"); }));
            QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), "2", 20000);
            QTRY_COMPARE_WITH_TIMEOUT(f.Lines().count("User IN: 127.0.0.1"), 2, 20000);
            CMessageBox::SetNextAnswer(name == "close, Yes");
            if (asks)
                f.w->close();
            else if (name == "Stop")
                f.C().Stop->click();
            else if (name == "Esc")
                QTest::keyClick(f.C().Username, Qt::Key_Escape);
            else
                tray.Menu().actions().at(2)->trigger();
            const QList<CMessageBox::CShown> boxes = CMessageBox::TakeShown();
            CHECK(boxes.size() == int(asks) && (!asks || boxes[0].text.startsWith("The FTP server is running.")));
            CHECK(f.w->Server().IsRunning() == running && f.w->isVisible() == shown && finished.size() == int(!shown));
            if (running) {
                QVERIFY(Aside([&] { return clients[0].Command("NOOP").startsWith("200"); }));
                clients[1].Close();
                QTRY_COMPARE_WITH_TIMEOUT(f.C().ConnectedUsers->text(), "1", 20000);
                // The tray's Hide; a double click shows the window unminimised.
                tray.Menu().actions().at(1)->trigger();
                QVERIFY(!f.w->isVisible());
                f.w->showMinimized();
                tray.OnActivated(QSystemTrayIcon::DoubleClick);
                QVERIFY(f.w->isVisible() && !(f.w->windowState() & Qt::WindowMinimized));
                continue;
            }
            CHECK(f.w->Server().ConnectionCount() == 0 && f.Lines().last() == "***** FTP SERVER OFFLINE *****");
            for (FtpClient& client : clients)
                CHECK(Aside([&] { return client.WaitForClose(); }));
            CHECK(f.w->Server().LiveThreads() == 0);
            if (name == "Stop") {
                VerifyLayout(f, true);
                f.C().Start->click();
                QVERIFY(f.w->Server().IsRunning());
                f.w = std::make_unique<CMainWindow>(f.file); // shows the edits saved at the start
                QVERIFY(f.C().WelcomeMSG->text() == "Hello there" && f.C().Username->text() == "anonymous");
            }
            f.w.reset(); // no connection thread touches the window after this
        }
    }

    void monitorPane()
    {
        auto pane = std::make_unique<CMonitorPane>();
        pane->show();
        pane->WriteMonitor("Label: ", MonitorColor::Bronze, MonitorColor::Dark, false);
        pane->WriteMonitor("not found.\r\nPlease select", MonitorColor::White, MonitorColor::Red, true);
        const QTextCharFormat secondLine = pane->document()->findBlockByNumber(1).begin().fragment().charFormat();
        QVERIFY(secondLine.fontWeight() == QFont::Bold && secondLine.foreground().color() == QColor(255, 255, 255) &&
                secondLine.background().color() == QColor(203, 69, 69));
        // Writes from many threads land whole, in each thread's order, at the end whatever is selected, scrolled to.
        QTextCursor cursor(pane->document());
        cursor.setPosition(2);
        cursor.setPosition(5, QTextCursor::KeepAnchor);
        pane->setTextCursor(cursor);
        CServerMonitor monitor(pane.get());
        const auto line = [](int t, int n) { return QString("T%1-%2 ").arg(t).arg(n) + QString(40, QChar('a' + t)); };
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back(QThread::create([&, t] {
                for (int n = 0; n < 60; ++n)
                    monitor.AddMonitorText(line(t, n).toUtf8(), MonitorColor::White, MonitorColor::Dark, true);
            }));
            threads.back()->start();
        }
        for (const auto& thread : threads) // the writers wait for this thread to carry their writes out
            QVERIFY(QTest::qWaitFor([&] { return thread->isFinished(); }, 60000));
        const QStringList lines = pane->toPlainText().split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() == 2 + 6 * 60 && lines[0] == "Label: not found." && lines[1] == "Please select");
        QList<int> next(6, 0);
        for (const QString& text : lines.mid(2))
            QCOMPARE(text, line(text.mid(1, 1).toInt(), next[text.mid(1, 1).toInt()]++));
        QVERIFY(pane->isReadOnly() && pane->textCursor().selectedText() == "bel");
        QCOMPARE(pane->verticalScrollBar()->value(), pane->verticalScrollBar()->maximum());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
