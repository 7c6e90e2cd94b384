// Catches: paths escaping the root through any command, verbs run without permission, wrong name rules and replies.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QDirIterator>
#include <QtTest>

#include <algorithm>
#include <unistd.h>

namespace {

// root/ is served; Root/ differs from its name only in case, rootX/ extends it.
const char* const kTree = "root/ root/Docs/ root/Docs/A.txt=hello root/Docs/b.txt=b root/Docs/Report.TXT=r root/Empty/ "
                          "root/Case/ root/Case/readme=lower root/Case/README=up root/Pair/ root/Pair/f=12 root/pair/ "
                          "root/pair/f=1234 root/\xC3\x84Z/ root/notes.txt=notes root/inlink->Docs "
                          "root/outlink->../rootX root/outfile->../Root/secret.txt root/dangling->../nowhere "
                          "Root/ Root/secret.txt=secret rootX/ rootX/x.txt=x";

// Every entry beside the root folder with its content: what no command may change.
QByteArrayList Outside(const TestTree& tree)
{
    QByteArrayList entries;
    QDirIterator it(QString::fromUtf8(tree.Base()), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray path = QFile::encodeName(it.next()).mid(tree.Base().size() + 1);
        if (!path.startsWith("root/"))
            entries.append(path + ' ' + tree.Read(path));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

class TestPaths : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void containmentAndReplies();
    void rootThroughLinks();
};

void TestPaths::containmentAndReplies()
{
    TestTree tree(kTree);
    QVERIFY(tree.IsValid());
    const QByteArrayList outside = Outside(tree);
    TestServer server(TestValues(tree.Path("root")));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    CONVERSE(client, R"(
        RNTO x | 450 Error renaming file.
        CWD .. | 550 "..": Not allowed.
        CWD %2e%2e | 550 "%2e%2e": Folder not found.
        CWD /../rootX/ | 550 "/../rootX/": Not allowed.
        CWD ../ROOT | 550 "../ROOT": Not allowed.
        CWD outlink | 550 "outlink": Not allowed.
        LIST -la ../rootX | 550 "../rootX": Not allowed.
        LIST -a -l outlink* | 550 "outlink*": Not allowed.
        RETR ../Root/secret.txt | 550 Not allowed.
        RETR ..\\rootX\\x.txt | 550 Not allowed.
        RETR outfile | 550 Not allowed.
        RETR outlink/x.txt | 550 Not allowed.
        RETR /etc/passwd | 550 File not found.
        SIZE ../Root/secret.txt | 550 Not allowed.
        STOR ../rootX/planted | 550 Not allowed.
        STOR ../Root/secret.txt | 550 Not allowed.
        STOR outlink/planted | 550 Not allowed.
        STOR outfile | 550 Not allowed.
        STOR dangling | 550 Not allowed.
        DELE ../Root/secret.txt | 550 Not allowed.
        DELE outfile | 550 Not allowed.
        RMD ../rootX | 550 Not allowed.
        RMD outlink | 550 Not allowed.
        RMD . | 550 Not allowed.
        RMD ../root | 550 Not allowed.
        MKD ../made | 550 Creating a folder is not allowed.
        MKD outlink/made | 550 Creating a folder is not allowed.
        MKD dangling/made | 550 Creating a folder is not allowed.
        RNFR ../Root/secret.txt | 550 Not allowed.
        RNTO stolen.txt | 450 Error renaming file.
        RNFR . | 550 Not allowed.
        RNFR notes.txt | 350 File OK.
        RNTO ../rootX/moved | 550 Not allowed.
        RNTO outlink/moved | 550 Not allowed.
        RNFR notes.txt | 350 File OK.
        RNFR ../rootX | 550 Not allowed.
        RNTO n2.txt | 450 Error renaming file.
        PORT 10,0,0,1,4,1 | 501 Illegal PORT command.
        PORT 127,0,0,2,4,1 | 501 Illegal PORT command.
        RETR notes.txt | 150 Binary mode. | 425 The connection could not be opened.
    )");
    // A NUL ends what the server takes of its read (one 4096-byte chunk here), climb included.
    const QByteArray nul = "SIZE notes.txt" + QByteArray(1, '\0') + "/../../rootX/x.txt";
    QVERIFY(client.SendRaw(nul.leftJustified(4094, 'z') + "\r\n"));
    QCOMPARE(client.Command(""), QByteArray("213 5"));
    // Names the file system cannot hold leave nothing half-made.
    const QByteArray longName(300, 'a');
    QCOMPARE(client.Command("MKD " + QByteArray("n/").repeated(10000)), QByteArray("450 Error creating folder."));
    QCOMPARE(client.Command("MKD " + longName), QByteArray("450 Error creating folder."));
    CONVERSE(client, ("@pasv\nSTOR " + longName + " | 150 Binary mode. | 450 File access error.").constData());
    QCOMPARE(Outside(tree), outside);

    // Each verb's permission, turned off alone (browsing needs download or upload, nothing else).
    constexpr int Down = 1, Up = 2, Del = 4, Ren = 8, Mkd = 16;
    const std::pair<int, const char*> rows[] = {
        {Down, "SIZE notes.txt | 550 Not allowed."},
        {Down, "RETR notes.txt | 550 Not allowed."},
        {Down, "CWD Docs | 250 \"/docs\" --> Current folder."},
        {Up, "STOR fresh.txt | 550 Not allowed."},
        {Up, "CWD / | 250 \"/\" --> Current folder."},
        {Down | Up, "CWD / | 550 \"/\": Not allowed."},
        {Down | Up, "LIST Docs | 550 \"Docs\": Not allowed."},
        {Del, "DELE notes.txt | 550 Not allowed."},
        {Del, "RMD Empty | 550 Not allowed."},
        {Del, "STOR notes.txt | 550 Not allowed."},
        {Ren, "RNFR notes.txt | 550 Not allowed."},
        {Ren, "RNFR Docs | 550 Not allowed."},
        {Mkd, "MKD Fresh | 550 Creating a folder is not allowed."},
        {0, "RNFR notes.txt | 350 File OK."},
        {Ren, "RNTO other.txt | 550 Not allowed."}, // the permission counts when the rename happens
        {0, "NOOP | 200 OK"},
    };
    for (const auto& row : rows) {
        server.Settings().Update([&row](CSettings::Values& v) {
            v.AllowDownloadFiles = !(row.first & Down);
            v.AllowUploadFiles = !(row.first & Up);
            v.AllowDeleteFiles = !(row.first & Del);
            v.AllowRenameFiles = !(row.first & Ren);
            v.AllowCreateFolders = !(row.first & Mkd);
        });
        const QString difference = client.Run(row.second);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    CONVERSE(client, R"(
        CWD \\Docs\\ | 250 "/docs" --> Current folder.
        SIZE a.TXT | 213 5
        SIZE ../notes.txt | 213 5
        CDUP | 250 "/" --> Current folder.
        CWD .DOCS. | 250 "/docs" --> Current folder.
        CWD /InLink | 250 "/inlink" --> Current folder.
        CWD /Pair | 250 "/pair" --> Current folder.
        SIZE f | 213 2
        CWD /pair | 250 "/pair" --> Current folder.
        SIZE f | 213 4
        CWD /\xC3\x84Z | 250 "/\xC3\x84z" --> Current folder.
        CWD | 250 "/" --> Current folder.
        SIZE Case/readme | 213 5
        SIZE Case/README | 213 2
        SIZE Case/Readme | 213 2
        SIZE Docs | 550 File not found.
        DELE \\docs\\REPORT.txt | 250 File "/docs/report.txt" deleted.
        DELE inlink/B.TXT | 250 File "/inlink/b.txt" deleted.
        DELE Empty | 550 File not found.
        RMD Docs | 550 The folder is not empty.
        RMD notes.txt | 450 Error deleting folder.
        RMD empty | 250 Folder deleted.
        MKD \\docs\\New\\Deep | 257 "/docs/new/deep" Folder created.
        MKD Say "Hi" | 257 "/say ""hi""" Folder created.
        MKD DOCS | 550 Folder already exists.
        RNFR notes.txt | 350 File OK.
        RNTO NOTES.txt | 250 File renamed.
        RNFR notes.TXT | 350 File OK.
        RNTO docs/a.TXT | 450 Error renaming file.
        RNFR docs | 350 Folder OK.
        RNTO Docs/Inner | 450 Error renaming file.
        RNFR nothing | 550 Folder not found.
        RNFR case | 350 Folder OK.
        RNTO Cases | 250 File renamed.
    )");
    for (const char* path :
         {"root/Docs/New/Deep", "root/Say \"Hi\"", "root/NOTES.txt", "root/Cases/README", "root/Docs/A.txt"})
        QVERIFY2(tree.Exists(path), path);
    for (const char* path : {"root/notes.txt", "root/Empty", "root/Docs/Report.TXT", "root/Docs/b.txt", "root/Case",
                             "root/fresh.txt", "root/Fresh", "root/other.txt", "root/n"})
        QVERIFY2(!tree.Exists(path), path);
    QCOMPARE(Outside(tree), outside);
}

void TestPaths::rootThroughLinks()
{
    TestTree tree("root/ root/Docs/ root/Docs/a.txt=hello root/notes.txt=notes rootX/ rootX/x.txt=x link->root");
    QVERIFY(tree.IsValid() && tree.Add(("rootX/self->" + tree.Path("rootX/x.txt")).constData()));
    TestServer server(TestValues(tree.Path("link")));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    CONVERSE(client, R"(
        CWD docs | 250 "/docs" --> Current folder.
        SIZE a.txt | 213 5
        SIZE ../../rootX/x.txt | 550 Not allowed.
        CWD / | 250 "/" --> Current folder.
    )");
    // The root replaced by a link elsewhere: the connection serves what the setting names now, not the
    // folder it remembered (from where rootX's absolute link would lead out).
    QVERIFY(::rename(tree.Path("root").constData(), tree.Path("moved").constData()) == 0);
    QVERIFY(::symlink("rootX", tree.Path("root").constData()) == 0);
    CONVERSE(client, R"(
        SIZE notes.txt | 550 File not found.
        SIZE self | 213 1
    )");
}

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
