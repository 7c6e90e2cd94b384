// The server monitor pane: colours and weight of every write, writes landing at the end whatever
// the user selected, and whole writes from many threads at once.

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "panel/MonitorPane.h"

#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QThread>

#include <memory>
#include <vector>

namespace {

QColor Color(MonitorRgb rgb)
{
    return QColor(RedOf(rgb), GreenOf(rgb), BlueOf(rgb));
}

// The character format at position (the character after it).
QTextCharFormat FormatAt(const CMonitorPane& pane, int position)
{
    QTextCursor cursor(pane.document());
    cursor.setPosition(position + 1);
    return cursor.charFormat();
}

} // namespace

class TestMonitorPane : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pieceFormat_data();
    void pieceFormat();
    void lineBreakInsideOneWrite();
    void writeLandsAtEndDespiteSelection();
    void scrollsToTheEnd();
    void wholeWritesFromManyThreads();
    void writesDroppedWithoutPane();
};

void TestMonitorPane::pieceFormat_data()
{
    QTest::addColumn<MonitorRgb>("text");
    QTest::addColumn<MonitorRgb>("back");
    QTest::newRow("white on dark") << MonitorColor::White << MonitorColor::Dark;
    QTest::newRow("white on red") << MonitorColor::White << MonitorColor::Red;
    QTest::newRow("green on dark") << MonitorColor::Green << MonitorColor::Dark;
    QTest::newRow("amber on dark") << MonitorColor::Amber << MonitorColor::Dark;
    QTest::newRow("teal on dark") << MonitorColor::Teal << MonitorColor::Dark;
}

void TestMonitorPane::pieceFormat()
{
    QFETCH(MonitorRgb, text);
    QFETCH(MonitorRgb, back);
    CMonitorPane pane;
    QCOMPARE(pane.palette().color(QPalette::Base), QColor(37, 37, 38));
    QVERIFY(pane.isReadOnly());
    pane.WriteMonitor("Label: ", MonitorColor::Bronze, MonitorColor::Dark, false);
    pane.WriteMonitor("value", text, back, true);

    QCOMPARE(pane.toPlainText(), QStringLiteral("Label: value\n"));
    const QTextCharFormat label = FormatAt(pane, 0);
    QCOMPARE(label.foreground().color(), Color(MonitorColor::Bronze));
    const QTextCharFormat value = FormatAt(pane, 7);
    QCOMPARE(value.fontWeight(), int(QFont::Bold));
    QCOMPARE(value.foreground().color(), Color(text));
    QCOMPARE(value.background().color(), Color(back));
    QVERIFY(!value.fontItalic() && !value.fontUnderline() && !value.fontStrikeOut());
}

void TestMonitorPane::lineBreakInsideOneWrite()
{
    CMonitorPane pane;
    pane.WriteMonitor("Root folder not found.\r\nPlease select a valid folder.", MonitorColor::White, MonitorColor::Red,
                      true);
    QCOMPARE(pane.toPlainText(), QStringLiteral("Root folder not found.\nPlease select a valid folder.\n"));
    for (int block = 0; block < 2; ++block) {
        const int start = pane.document()->findBlockByNumber(block).position();
        QCOMPARE(FormatAt(pane, start).background().color(), Color(MonitorColor::Red));
    }
}

void TestMonitorPane::writeLandsAtEndDespiteSelection()
{
    CMonitorPane pane;
    pane.WriteMonitor("first line", MonitorColor::White, MonitorColor::Dark, true);
    pane.WriteMonitor("second line", MonitorColor::White, MonitorColor::Dark, true);
    QTextCursor selection(pane.document());
    selection.setPosition(2);
    selection.setPosition(8, QTextCursor::KeepAnchor);
    pane.setTextCursor(selection);

    pane.WriteMonitor("third", MonitorColor::Green, MonitorColor::Dark, true);

    QCOMPARE(pane.toPlainText(), QStringLiteral("first line\nsecond line\nthird\n"));
    QCOMPARE(pane.textCursor().selectedText(), QStringLiteral("rst li"));
}

void TestMonitorPane::scrollsToTheEnd()
{
    CMonitorPane pane;
    pane.resize(200, 80);
    pane.show();
    for (int i = 0; i < 50; ++i)
        pane.WriteMonitor("line " + QByteArray::number(i), MonitorColor::White, MonitorColor::Dark, true);
    QVERIFY(pane.verticalScrollBar()->maximum() > 0);
    QCOMPARE(pane.verticalScrollBar()->value(), pane.verticalScrollBar()->maximum());
}

void TestMonitorPane::wholeWritesFromManyThreads()
{
    constexpr int kThreads = 6;
    constexpr int kWrites = 60;
    CMonitorPane pane;
    CServerMonitor monitor(&pane);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([&monitor, t] {
            for (int n = 0; n < kWrites; ++n) {
                const QByteArray tag = "T" + QByteArray::number(t) + "-" + QByteArray::number(n);
                monitor.AddMonitorText(tag + " " + QByteArray(40, char('a' + t)) + " " + tag, MonitorColor::White,
                                       MonitorColor::Dark, true);
            }
        }));
        threads.back()->start();
    }
    // The writers wait for this thread to carry their writes out.
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const auto& thread : threads)
                if (!thread->isFinished())
                    return false;
            return true;
        },
        60000));

    const QStringList lines = pane.toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), kThreads * kWrites);
    const QRegularExpression whole(QStringLiteral("^(T(\\d)-\\d+) ([a-z])\\3{39} \\1$"));
    QList<int> nextOfThread(kThreads, 0);
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = whole.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int t = match.captured(2).toInt();
        QCOMPARE(match.captured(3), QString(QLatin1Char(char('a' + t))));
        // Each thread's writes arrive in its own order.
        QCOMPARE(match.captured(1), QStringLiteral("T%1-%2").arg(t).arg(nextOfThread[t]++));
    }
}

void TestMonitorPane::writesDroppedWithoutPane()
{
    auto pane = std::make_unique<CMonitorPane>();
    CServerMonitor monitor(pane.get());
    monitor.AddMonitorText("kept", MonitorColor::White, MonitorColor::Dark, true);
    QCOMPARE(pane->toPlainText(), QStringLiteral("kept\n"));
    monitor.SetSink(nullptr);
    pane.reset();
    std::unique_ptr<QThread> writer(
        QThread::create([&] { monitor.AddMonitorText("dropped", MonitorColor::White, MonitorColor::Dark, true); }));
    writer->start();
    QVERIFY(QTest::qWaitFor([&] { return writer->isFinished(); }, 10000));
}

QTEST_MAIN(TestMonitorPane)
#include "tst_monitor_pane.moc"
