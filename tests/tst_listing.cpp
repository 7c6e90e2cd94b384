// Catches: misread LIST lines (layout, sizes, dates, zones, order, options), forged lines, links out, lost names.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "connection/DirectoryListing.h"

#include <QtTest>

#include <ctime>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

class TestListing : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void listing();
};

void TestListing::listing()
{
    constexpr qint64 kJun15_2024 = 1718432580, kJun15_2020 = 1592202180; // 06:23:00 UTC
    constexpr qint64 kJan05_2024 = 1704499140, kDec31_2024 = 1735603200; // 23:59:00 and 00:00:00 UTC
    // The rows end in UTC, which the rest assumes.
    const std::tuple<const char*, qint64, qint64, const char*> rows[] = {
        {"XYZ-2", kJan05_2024, kJan05_2024, " Jan 06 01:59 "},
        {"XYZ+10", kJun15_2020, kJun15_2024, " Jun 14 2020 "},
        {"UTC", kJun15_2024, kJun15_2024 + kListYearAfterSeconds - 1, " Jun 15 06:23 "},
        {"UTC", kJun15_2024, kJun15_2024 + kListYearAfterSeconds, " Jun 15 2024 "},
        {"UTC", kDec31_2024, kJun15_2024, " Dec 31 00:00 "},                        // the future is recent
        {"UTC", std::numeric_limits<qint64>::max(), kJun15_2024, " Jun 15 06:23 "}, // beyond the calendar: now
    };
    for (const auto& [tz, lastWrite, now, expected] : rows) {
        qputenv("TZ", tz);
        tzset();
        QCOMPARE(FormatListDate(lastWrite, now), QByteArray(expected));
    }
    // Each line has its own entry's date, also where the one before it shares it.
    const ListEntry huge{"x\r\nforged", false, std::numeric_limits<quint64>::max(), kJun15_2020};
    const ListEntry recent{"r", true, 0, kJun15_2024}, alike{"a\r", false, 7, kJun15_2024};
    QCOMPARE(FormatListing({huge, recent, alike}, kJun15_2024),
             QByteArray("-rwx------ 1 user group 18446744073709551615 Jun 15 2020 x  forged\r\n"
                        "drwx------ 1 user group              0 Jun 15 06:23 r\r\n"
                        "-rwx------ 1 user group              7 Jun 15 06:23 a \r\n"));

    TestTree tree("root/ root/Docs/ root/Docs/a.txt=hello root/Docs/A.txt=A root/Docs/B.txt=12 root/Docs/_x "
                  "root/Docs/.hidden=h root/Docs/big.iso root/Docs/Sub/ root/Docs/Sub/s.txt=s root/Docs/in->Sub "
                  "root/Docs/out->../../o root/Docs/outfile->../../o/f root/Docs/gone->nowhere o/ o/f=secret "
                  "root/Docs/\xFF\xC3\xA9->_x");
    QVERIFY(tree.IsValid() && ::truncate(tree.Path("root/Docs/big.iso").constData(), 5368709120LL) == 0);
    const struct timespec times[2] = {{time_t(kJun15_2020), 0}, {time_t(kJun15_2020), 0}};
    for (const char* name : {"a.txt", "A.txt", "B.txt", "_x", ".hidden", "big.iso", "Sub/s.txt", "Sub"})
        QVERIFY(::utimensat(AT_FDCWD, tree.Path(QByteArray("root/Docs/") + name).constData(), times, 0) == 0);
    // Line ends escaped for the conversation. Links show their targets; the last name is no text a QString keeps.
    const auto line = [](char type, qint64 size, const char* name) {
        return type + ("rwx------ 1 user group " + QByteArray::number(size).rightJustified(14) + " Jun 15 2020 ") +
               name + "\\r\\n";
    };
    const qint64 sub = QFileInfo(tree.Path("root/Docs/Sub")).size();
    const QByteArray listing = line('-', 1, ".hidden") + line('-', 0, "_x") + line('-', 1, "A.txt") +
                               line('-', 5, "a.txt") + line('-', 2, "B.txt") + line('-', 5368709120, "big.iso") +
                               line('d', sub, "in") + line('d', sub, "Sub") + line('-', 0, "\xFF\xC3\xA9");
    TestServer server(TestValues(tree.Path("root")));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    // Options come first and are skipped, a trailing star too; a file lists itself.
    CONVERSE(client, "CWD docs/sub | 250*\n@pasv\nLIST -a -l ../* | 150 ASCII mode. | 226*\n@recv " + listing +
                         "\n@pasv\nLIST -la /DOCS/b.TXT | 150 ASCII mode. | 226*\n@recv " + line('-', 2, "B.txt"));

    // A folder reached through an absolute link that stays inside lists; one through a link out does not.
    QVERIFY(::symlink(tree.Path("root/Docs/Sub").constData(), tree.Path("root/abs").constData()) == 0);
    CONVERSE(client, "@pasv\nLIST /abs | 150 ASCII mode. | 226*\n@recv " + line('-', 1, "s.txt") +
                         "\nLIST /docs/out | 550 \"/docs/out\": Not allowed.");

    // A folder whose names take the kernel several reads: each name is listed once.
    const auto name = [](int i) { return "a-name-long-enough-to-need-more-reads-" + QByteArray::number(i + 1000); };
    QByteArray entries = "root/many/";
    for (int i = 0; i < 1500; ++i)
        entries += " root/many/" + name(i);
    QVERIFY(tree.Add(entries));
    CONVERSE(client, "@pasv\nLIST /many | 150 ASCII mode.\n@recv *\n| 226*");
    QCOMPARE(client.Received().count('\n'), 1500);
    for (int i = 0; i < 1500; ++i)
        QVERIFY2(client.Received().contains(' ' + name(i) + "\r\n"), name(i));
}

QTEST_GUILESS_MAIN(TestListing)
#include "tst_listing.moc"
