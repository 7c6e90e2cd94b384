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

QByteArray ListOver(FtpClient& client)
{
    const int data = client.OpenPassive();
    if (data < 0)
        return "no data connection";
    const QByteArray opening = client.Command("LIST");
    if (opening != "150 ASCII mode.") {
        DataSocket::Close(data);
        return opening;
    }
    const QByteArray listing = DataSocket::ReadAll(data);
    DataSocket::Close(data);
    const QByteArray completion = client.ReadReply();
    return completion == "226 Transfer completed." ? listing : completion;
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
    void listRefusals_data();
    void listRefusals();
    void namesWithLineBreaksStayOnTheirLine();
};

void TestListing::formatListDate_data()
{
    QTest::addColumn<QByteArray>("tz");
    QTest::addColumn<qint64>("lastWrite");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<QByteArray>("date");

    const qint64 t = kJun15_2024_0623;
    QTest::newRow("a day ago") << QByteArray("UTC") << t << t + kDay << QByteArray(" Jun 15 06:23 ");
    QTest::newRow("357 days less a second")
        << QByteArray("UTC") << t << t + kListYearAfterSeconds - 1 << QByteArray(" Jun 15 06:23 ");
    QTest::newRow("357 days exactly") << QByteArray("UTC") << t << t + kListYearAfterSeconds
                                      << QByteArray(" Jun 15 2024 ");
    QTest::newRow("years ago") << QByteArray("UTC") << kJun15_2020_0623 << t << QByteArray(" Jun 15 2020 ");
    QTest::newRow("in the future") << QByteArray("UTC") << kDec31_2024_0000 << t << QByteArray(" Dec 31 00:00 ");
    QTest::newRow("day with one digit") << QByteArray("UTC") << kJan05_2024_2359 << kJan05_2024_2359
                                        << QByteArray(" Jan 05 23:59 ");
    QTest::newRow("local zone east") << QByteArray("XYZ-2") << kJan05_2024_2359 << kJan05_2024_2359
                                     << QByteArray(" Jan 06 01:59 ");
    QTest::newRow("local zone west, old")
        << QByteArray("XYZ+10") << kJun15_2020_0623 << t << QByteArray(" Jun 14 2020 ");
    QTest::newRow("time beyond the calendar")
        << QByteArray("UTC") << std::numeric_limits<qint64>::max() << t << QByteArray(" Jun 15 06:23 ");
    QTest::newRow("time before the calendar")
        << QByteArray("UTC") << std::numeric_limits<qint64>::min() << t << QByteArray(" Jun 15 06:23 ");
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

    const qint64 t = kJun15_2024_0623;
    const QByteArray recent = " Jun 15 06:23 ";
    QTest::newRow("file of 512 bytes") << false << quint64(512) << t << QByteArray("notes.txt")
                                       << Line(false, QByteArray(11, ' ') + "512", recent, "notes.txt");
    QTest::newRow("old folder") << true << quint64(0) << kJun15_2020_0623 << QByteArray("Docs")
                                << Line(true, QByteArray(13, ' ') + "0", " Jun 15 2020 ", "Docs");
    QTest::newRow("larger than 4 GiB") << false << quint64(5368709120) << t << QByteArray("big.iso")
                                       << Line(false, "    5368709120", recent, "big.iso");
    QTest::newRow("14 digits fill the field")
        << false << quint64(12345678901234) << t << QByteArray("f") << Line(false, "12345678901234", recent, "f");
    QTest::newRow("15 digits are written whole")
        << false << quint64(123456789012345) << t << QByteArray("f") << Line(false, "123456789012345", recent, "f");
    QTest::newRow("largest size") << false << std::numeric_limits<quint64>::max() << t << QByteArray("f")
                                  << Line(false, "18446744073709551615", recent, "f");
    QTest::newRow("name bytes kept") << false << quint64(1) << t << QByteArray("caf\xC3\xA9 \xFF.txt")
                                     << Line(false, QByteArray(13, ' ') + "1", recent, "caf\xC3\xA9 \xFF.txt");
    QTest::newRow("line breaks in a name") << false << quint64(1) << t << QByteArray("a\r\nb\rc\nd")
                                           << Line(false, QByteArray(13, ' ') + "1", recent, "a  b c d");
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
    QByteArrayList names;
    for (const ListEntry& entry : entries)
        names.append(entry.name);
    QCOMPARE(names, (QByteArrayList{".hidden", "_x", "A.txt", "a.txt", "Ab", "aB", "b.txt", "C"}));
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
    QByteArrayList names;
    for (const ListEntry& entry : entries)
        names.append(entry.name);
    // Links that lead out of the root, or nowhere, are left out; hidden entries are kept.
    QCOMPARE(names, (QByteArrayList{".hidden", "Case", "Docs", "Empty", "inlink", "notes.txt"}));
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
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("CWD docs"), QByteArray("250 \"/docs\" --> Current folder."));

    const QByteArray recentDate =
        ' ' +
        QLocale::c().toString(QDateTime::fromSecsSinceEpoch(recent, QTimeZone::utc()), "MMM dd HH:mm").toLatin1() + ' ';
    const QByteArray expected = Line(false, QByteArray(13, ' ') + "5", " Jun 15 2020 ", "A.txt") +
                                Line(false, QByteArray(10, ' ') + "1234", recentDate, "b.txt") +
                                Line(false, QByteArray(13, ' ') + "1", " Jun 15 2024 ", "Report.TXT");
    QCOMPARE(ListOver(client), expected);
}

void TestListing::listRefusals_data()
{
    QTest::addColumn<bool>("removeCurrent");
    QTest::addColumn<bool>("browseAllowed");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("current folder removed") << true << true << QByteArray("550 \"\": Folder not found.");
    QTest::newRow("neither download nor upload") << false << false << QByteArray("550 \"\": Not allowed.");
}

void TestListing::listRefusals()
{
    QFETCH(bool, removeCurrent);
    QFETCH(bool, browseAllowed);
    QFETCH(QByteArray, reply);
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
    QCOMPARE(client.Command("LIST"), reply);
    QCOMPARE(client.Command("NOOP"), QByteArray("200 OK"));
}

void TestListing::namesWithLineBreaksStayOnTheirLine()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/Empty/x\r\n-rwx------ 1 user group 0 Jan 01 2020 forged"), ""));
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/Empty/lone\nfeed"), ""));
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QVERIFY(client.Command("CWD Empty").startsWith("250 "));
    const QByteArray listing = ListOver(client);
    QCOMPARE(listing.count("\r\n"), 2);
    QCOMPARE(listing.count('\n'), 2);
    QVERIFY(listing.contains(" lone feed\r\n"));
    QVERIFY(listing.contains(" x  -rwx------ 1 user group 0 Jan 01 2020 forged\r\n"));
}

QTEST_GUILESS_MAIN(TestListing)
#include "tst_listing.moc"
