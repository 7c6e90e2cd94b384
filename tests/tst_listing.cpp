// The LIST text: the date column, the line layout byte for byte, the order, what a folder shows,
// and LIST over a real data connection.

#include "FtpClient.h"
#include "TestServer.h"
#include "tst_virtual_paths_fixture.h"

#include "connection/DirectoryListing.h"
#include "connection/VirtualPaths.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>
#include <QtTest>

#include <ctime>
#include <limits>

namespace {

constexpr qint64 kJun15_2024_0623 = 1718432580; // 2024-06-15 06:23:00 UTC
constexpr qint64 kJun15_2020_0623 = 1592202180; // 2020-06-15 06:23:00 UTC
constexpr qint64 kJan05_2024_2359 = 1704499140; // 2024-01-05 23:59:00 UTC
constexpr qint64 kDec31_2024_0000 = 1735603200; // 2024-12-31 00:00:00 UTC
constexpr qint64 kDay = 86400;

void SetTimeZone(const QByteArray& tz)
{
    qputenv("TZ", tz);
    tzset();
}

// The line prefix and size column as clients parse them, spelled out independently of the code.
QByteArray Line(bool folder, const QByteArray& paddedSize, const QByteArray& date, const QByteArray& name)
{
    return QByteArray(folder ? "drwx------" : "-rwx------") + " 1 user group " + paddedSize + date + name + "\r\n";
}

QByteArray ListOver(FtpClient& client, const QByteArray& line = "LIST")
{
    const int data = client.OpenPassive();
    if (data < 0)
        return "no data connection";
    const QByteArray opening = client.Command(line);
    if (opening != "150 ASCII mode.") {
        DataSocket::Close(data);
        return opening;
    }
    const QByteArray listing = DataSocket::ReadAll(data);
    DataSocket::Close(data);
    const QByteArray completion = client.ReadReply();
    return completion == "226 Transfer completed." ? listing : completion;
}

QByteArrayList Names(const QList<ListEntry>& entries)
{
    QByteArrayList names;
    for (const ListEntry& entry : entries)
        names.append(entry.name);
    return names;
}

} // namespace

class TestListing : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { SetTimeZone("UTC"); }
    void cleanupTestCase() { SetTimeZone("UTC"); }
    void formatListDate_data();
    void formatListDate();
    void formatListLine_data();
    void formatListLine();
    void orderIgnoresCaseThenBytes();
    void folderEntries();
    void listOverTheDataConnection();
    void listOfAPath_data();
    void listOfAPath();
};

void TestListing::formatListDate_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("lastWrite");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<QByteArray>("date");

    const auto row = [](const char* name, const QByteArray& tz, qint64 lastWrite, qint64 now, const char* date) {
        QTest::newRow(name) << tz << lastWrite << now << QByteArray(date);
    };
    const qint64 t = kJun15_2024_0623;
    row("a day ago", "UTC", t, t + kDay, " Jun 15 06:23 ");
    row("357 days less a second", "UTC", t, t + kListYearAfterSeconds - 1, " Jun 15 06:23 ");
    row("357 days exactly", "UTC", t, t + kListYearAfterSeconds, " Jun 15 2024 ");
    row("years ago", "UTC", kJun15_2020_0623, t, " Jun 15 2020 ");
    row("in the future", "UTC", kDec31_2024_0000, t, " Dec 31 00:00 ");
    row("day with one digit", "UTC", kJan05_2024_2359, kJan05_2024_2359, " Jan 05 23:59 ");
    row("local zone east", "XYZ-2", kJan05_2024_2359, kJan05_2024_2359, " Jan 06 01:59 ");
    row("local zone west, old", "XYZ+10", kJun15_2020_0623, t, " Jun 14 2020 ");
    row("time beyond the calendar", "UTC", std::numeric_limits<qint64>::max(), t, " Jun 15 06:23 ");
    row("time before the calendar", "UTC", std::numeric_limits<qint64>::min(), t, " Jun 15 06:23 ");
}

void TestListing::formatListDate()
{
    QFETCH(QByteArray, tz);
    QFETCH(qint64, lastWrite);
    QFETCH(qint64, now);
    QFETCH(QByteArray, date);
    SetTimeZone(tz);
    QCOMPARE(FormatListDate(lastWrite, now), date);
}

void TestListing::formatListLine_data()
{
    QTest::addColumn<bool>("folder");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<qint64>("lastWrite");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("line");

    // Recent files unless a date is given; the size column is 14 wide, right-aligned.
    const auto row = [](const char* name, bool folder, quint64 size, const QByteArray& fileName,
                        const QByteArray& listed, qint64 lastWrite = kJun15_2024_0623,
                        const QByteArray& date = " Jun 15 06:23 ") {
        const QByteArray digits = QByteArray::number(size);
        QTest::newRow(name) << folder << size << lastWrite << fileName
                            << Line(folder, digits.rightJustified(14, ' '), date, listed);
    };
    row("file of 512 bytes", false, 512, "notes.txt", "notes.txt");
    row("old folder", true, 0, "Docs", "Docs", kJun15_2020_0623, " Jun 15 2020 ");
    row("larger than 4 GiB", false, 5368709120, "big.iso", "big.iso");
    row("14 digits fill the field", false, 12345678901234, "f", "f");
    row("15 digits are written whole", false, 123456789012345, "f", "f");
    row("largest size", false, std::numeric_limits<quint64>::max(), "f", "f");
    row("name bytes kept", false, 1, "caf\xC3\xA9 \xFF.txt", "caf\xC3\xA9 \xFF.txt");
    row("line breaks in a name", false, 1, "a\r\nb\rc\nd", "a  b c d");
}

void TestListing::formatListLine()
{
    QFETCH(bool, folder);
    QFETCH(quint64, size);
    QFETCH(qint64, lastWrite);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, line);
    ListEntry entry;
    entry.name = name;
    entry.folder = folder;
    entry.size = size;
    entry.lastWrite = lastWrite;
    QCOMPARE(FormatListLine(entry, kJun15_2024_0623 + kDay), line);
}

void TestListing::orderIgnoresCaseThenBytes()
{
    QList<ListEntry> entries;
    for (const char* name : {"b.txt", "C", "aB", "a.txt", "Ab", "_x", "A.txt", ".hidden"})
        entries.append(ListEntry{name, false, 0, 0});
    SortListEntries(entries);
    QCOMPARE(Names(entries), (QByteArrayList{".hidden", "_x", "A.txt", "a.txt", "Ab", "aB", "b.txt", "C"}));
}

void TestListing::folderEntries()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(PathFixture::SetTime(fixture.Path("Share/Docs"), kJun15_2020_0623));
    QVERIFY(PathFixture::SetTime(fixture.Path("Share/inlink"), kJun15_2024_0623)); // the link itself
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/.hidden"), "h"));
    const CVirtualFolder root(TestValues(fixture.root), "/");

    QList<ListEntry> entries;
    QVERIFY(ReadListEntries(fixture.root, root, entries));
    SortListEntries(entries);
    // Links that lead out of the root, or nowhere, are left out; hidden entries are kept.
    QCOMPARE(Names(entries), (QByteArrayList{".hidden", "Case", "Docs", "Empty", "inlink", "notes.txt"}));
    const ListEntry& link = entries[4];
    QVERIFY(link.folder);
    QCOMPARE(link.lastWrite, kJun15_2020_0623); // what the link points to
    QCOMPARE(entries[5].size, quint64(5));
    QVERIFY(!entries[5].folder);

    // A file lists itself.
    QVERIFY(ReadListEntries(fixture.Path("Share/Docs/Report.TXT"), root, entries));
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0].name, QByteArray("Report.TXT"));

    QVERIFY(!ReadListEntries(fixture.Path("Share/Gone"), root, entries));
}

void TestListing::listOverTheDataConnection()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    const qint64 recent = QDateTime::currentSecsSinceEpoch() - 3600;
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/Docs/b.txt"), QByteArray(1234, 'b')));
    QVERIFY(PathFixture::SetTime(fixture.Path("Share/Docs/A.txt"), kJun15_2020_0623));
    QVERIFY(PathFixture::SetTime(fixture.Path("Share/Docs/b.txt"), recent));
    QVERIFY(PathFixture::SetTime(fixture.Path("Share/Docs/Report.TXT"), kJun15_2024_0623));
    // Line breaks in names must not start a line of their own (a forged entry).
    const QByteArray forged = "x\r\n-rwx------ 1 user group 0 Jan 01 2020 forged";
    for (const QByteArray& name : {forged, QByteArray("lone\nfeed")}) {
        QVERIFY(PathFixture::WriteFile(fixture.Path("Share/Docs/" + name), ""));
        QVERIFY(PathFixture::SetTime(fixture.Path("Share/Docs/" + name), kJun15_2020_0623));
    }
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("CWD docs"), QByteArray("250 \"/docs\" --> Current folder."));

    const QByteArray recentDate =
        ' ' +
        QLocale::c().toString(QDateTime::fromSecsSinceEpoch(recent, QTimeZone::utc()), "MMM dd HH:mm").toLatin1() + ' ';
    const QByteArray expected =
        Line(false, QByteArray(13, ' ') + "5", " Jun 15 2020 ", "A.txt") +
        Line(false, QByteArray(10, ' ') + "1234", recentDate, "b.txt") +
        Line(false, QByteArray(13, ' ') + "0", " Jun 15 2020 ", "lone feed") +
        Line(false, QByteArray(13, ' ') + "1", " Jun 15 2024 ", "Report.TXT") +
        Line(false, QByteArray(13, ' ') + "0", " Jun 15 2020 ", "x  -rwx------ 1 user group 0 Jan 01 2020 forged");
    QCOMPARE(ListOver(client), expected);
}

void TestListing::listOfAPath_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("listed"); // the names listed, or the refusal
    QTest::addColumn<bool>("removeCurrent");
    QTest::addColumn<bool>("browseAllowed");
    const QByteArray docs = "A.txt Report.TXT";
    QTest::newRow("current folder removed")
        << QByteArray("LIST") << QByteArray("550 \"\": Folder not found.") << true << true;
    QTest::newRow("neither download nor upload")
        << QByteArray("LIST") << QByteArray("550 \"\": Not allowed.") << false << false;
    QTest::newRow("options only: the current folder") << QByteArray("LIST -a") << QByteArray() << false << true;
    QTest::newRow("absolute") << QByteArray("LIST /Docs") << docs << false << true;
    QTest::newRow("relative, other case, options") << QByteArray("LIST -la ../DOCS") << docs << false << true;
    QTest::newRow("several options, trailing star") << QByteArray("LIST -a -l /docs/*") << docs << false << true;
    QTest::newRow("a file") << QByteArray("LIST /Docs/a.TXT") << QByteArray("A.txt") << false << true;
    QTest::newRow("missing") << QByteArray("LIST -l none") << QByteArray("550 \"none\": Folder not found.") << false
                             << true;
    QTest::newRow("outside") << QByteArray("LIST ../..") << QByteArray("550 \"../..\": Not allowed.") << false << true;
}

void TestListing::listOfAPath()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, listed);
    QFETCH(bool, removeCurrent);
    QFETCH(bool, browseAllowed);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("CWD Empty"), QByteArray("250 \"/empty\" --> Current folder."));
    if (removeCurrent)
        QVERIFY(::rmdir(fixture.Path("Share/Empty").constData()) == 0);
    if (!browseAllowed)
        server.Settings().Update([](CSettings::Values& v) { v.AllowDownloadFiles = v.AllowUploadFiles = 0; });
    const QByteArray result = ListOver(client, line);
    if (result.startsWith("550 ")) {
        QCOMPARE(result, listed);
    } else {
        QByteArrayList names;
        for (const QByteArray& entry : result.split('\n'))
            if (!entry.isEmpty())
                names.append(entry.trimmed().split(' ').last());
        QCOMPARE(names.join(' '), listed);
    }
    QCOMPARE(client.Command("PWD"), QByteArray("257 \"/empty\" --> Current folder."));
}

QTEST_GUILESS_MAIN(TestListing)
#include "tst_listing.moc"
