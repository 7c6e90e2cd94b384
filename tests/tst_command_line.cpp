// Framing of the control channel: lines, verbs and arguments.

#include "connection/CommandLine.h"

#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void extractLines_data();
    void extractLines();
    void sameCommandsWhereverTheStreamIsCut();
    void partialLineWaits();
    void zeroByteDropsTheRestOfItsRead();
    void split_data();
    void split();
};

void TestCommandLine::extractLines_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QByteArray>("left");

    QTest::newRow("one") << QByteArray("NOOP\r\n") << QByteArrayList{"NOOP"} << QByteArray();
    QTest::newRow("two in one read") << QByteArray("USER a\r\nPASS b\r\n") << QByteArrayList{"USER a", "PASS b"}
                                     << QByteArray();
    QTest::newRow("empty lines dropped") << QByteArray("\r\n\r\nNOOP\r\n\r\n") << QByteArrayList{"NOOP"}
                                         << QByteArray();
    QTest::newRow("lone LF stays") << QByteArray("NOOP\nX\r\n") << QByteArrayList{"NOOP\nX"} << QByteArray();
    QTest::newRow("lone CR stays") << QByteArray("NO\rOP\r\n") << QByteArrayList{"NO\rOP"} << QByteArray();
    QTest::newRow("LF CR is no end") << QByteArray("NOOP\n\r") << QByteArrayList{} << QByteArray("NOOP\n\r");
    QTest::newRow("CR CR LF") << QByteArray("NOOP\r\r\n") << QByteArrayList{"NOOP\r"} << QByteArray();
    QTest::newRow("partial tail kept") << QByteArray("NOOP\r\nUSE") << QByteArrayList{"NOOP"} << QByteArray("USE");
}

void TestCommandLine::extractLines()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArrayList, lines);
    QFETCH(QByteArray, left);
    QByteArray buffer = stream;
    QCOMPARE(ExtractLines(buffer), lines);
    QCOMPARE(buffer, left);
}

void TestCommandLine::sameCommandsWhereverTheStreamIsCut()
{
    const QByteArray stream = "USER anonymous\r\n\r\nPASS x y\r\nCWD a\nb\r\nNOOP\r\n";
    const QByteArrayList expected = {"USER anonymous", "PASS x y", "CWD a\nb", "NOOP"};
    for (qsizetype first = 0; first <= stream.size(); ++first) {
        for (qsizetype second = first; second <= stream.size(); ++second) {
            QByteArray buffer;
            QByteArrayList lines;
            for (const QByteArray& piece :
                 {stream.left(first), stream.mid(first, second - first), stream.mid(second)}) {
                AppendReceived(buffer, piece.constData(), piece.size());
                lines += ExtractLines(buffer);
            }
            QVERIFY2(lines == expected, qPrintable(QString("cut at %1 and %2").arg(first).arg(second)));
            QVERIFY(buffer.isEmpty());
        }
    }
}

void TestCommandLine::partialLineWaits()
{
    QByteArray buffer = "NOOP";
    QVERIFY(ExtractLines(buffer).isEmpty());
    QCOMPARE(buffer, QByteArray("NOOP"));
    buffer += "\r";
    QVERIFY(ExtractLines(buffer).isEmpty());
    buffer += "\n";
    QCOMPARE(ExtractLines(buffer), QByteArrayList{"NOOP"});
}

void TestCommandLine::zeroByteDropsTheRestOfItsRead()
{
    QByteArray buffer;
    const char read1[] = {'N', 'O', 0, 'X', '\r', '\n'};
    AppendReceived(buffer, read1, sizeof read1);
    QCOMPARE(buffer, QByteArray("NO"));
    AppendReceived(buffer, "OP\r\n", 4);
    QCOMPARE(ExtractLines(buffer), QByteArrayList{"NOOP"});
}

void TestCommandLine::split_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("argument");

    QTest::newRow("lower-case verb") << QByteArray("user anonymous") << QByteArray("USER") << QByteArray("anonymous");
    QTest::newRow("two spaces") << QByteArray("USER  bob") << QByteArray("USER") << QByteArray(" bob");
    QTest::newRow("no argument") << QByteArray("pwd") << QByteArray("PWD") << QByteArray();
    QTest::newRow("trailing space kept") << QByteArray("CWD a ") << QByteArray("CWD") << QByteArray("a ");
    QTest::newRow("argument case kept") << QByteArray("cwd MiXed Name") << QByteArray("CWD")
                                        << QByteArray("MiXed Name");
    QTest::newRow("leading space") << QByteArray(" NOOP") << QByteArray() << QByteArray("NOOP");
    QTest::newRow("telnet abort") << QByteArray("\xff\xf4\xff\xf2"
                                                "ABOR")
                                  << QByteArray("ABOR") << QByteArray();
    QTest::newRow("any verb ending in abor") << QByteArray("xabor now") << QByteArray("ABOR") << QByteArray("now");
    QTest::newRow("abor alone") << QByteArray("abor") << QByteArray("ABOR") << QByteArray();
    QTest::newRow("abort is not abor") << QByteArray("ABORT") << QByteArray("ABORT") << QByteArray();
    QTest::newRow("noop with LF") << QByteArray("NOOP\n") << QByteArray("NOOP\n") << QByteArray();
}

void TestCommandLine::split()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, argument);
    const CommandLine command = SplitCommandLine(line);
    QCOMPARE(command.verb, verb);
    QCOMPARE(command.argument, argument);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_command_line.moc"
