// Client paths onto the root folder: names, dots, "..", case, containment, links, permissions; the
// resolver directly on a real tree, and CWD/CDUP over a real socket.

#include "FtpClient.h"
#include "TestServer.h"
#include "tst_virtual_paths_fixture.h"

#include "connection/ConnectionState.h"
#include "connection/VirtualPaths.h"

#include <QDir>
#include <QtTest>

namespace {

// Disk paths in the tables are relative to the fixture's base folder; "" means "not checked".
QByteArray Relative(const PathFixture& fixture, const QByteArray& diskPath)
{
    return diskPath.startsWith(fixture.base + '/') ? diskPath.mid(fixture.base.size() + 1) : diskPath;
}

void SetPermission(CSettings::Values& values, const QByteArray& name, int on)
{
    if (name == "AllowDownloadFiles")
        values.AllowDownloadFiles = on;
    else if (name == "AllowUploadFiles")
        values.AllowUploadFiles = on;
    else if (name == "AllowDeleteFiles")
        values.AllowDeleteFiles = on;
    else if (name == "AllowRenameFiles")
        values.AllowRenameFiles = on;
    else if (name == "AllowCreateFolders")
        values.AllowCreateFolders = on;
    else
        QFAIL("unknown permission");
}

} // namespace

class TestVirtualPaths : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void resolveFolder_data();
    void resolveFolder();
    void resolveFile_data();
    void resolveFile();
    void permissionMatrix_data();
    void permissionMatrix();
    void rootForms_data();
    void rootForms();
    void missingRootFindsNothing();
    void virtualPathsAreLowerCase();
    void changeFolder_data();
    void changeFolder();
    void currentFolderKeepsTheDiskSpelling();
    void relativeRootOverTheSocket();
};

void TestVirtualPaths::resolveFolder_data()
{
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("disk");

    QTest::newRow("empty path browses the root")
        << QByteArray("/") << QByteArray() << int(AccessBrowse) << 0 << QByteArray("Share");
    QTest::newRow("empty path for other modes")
        << QByteArray("/") << QByteArray() << int(AccessDelete) << 3 << QByteArray();
    for (const char* path : {"Docs", "/Docs", "\\Docs", "//Docs//", "docs", "DOCS", ".Docs", "Docs.", "..Docs..",
                             "/./Docs/.", "Empty/../Docs", "../Share/Docs"})
        QTest::newRow(path) << QByteArray("/") << QByteArray(path) << int(AccessBrowse) << 0
                            << QByteArray("Share/Docs");
    QTest::newRow(". is the current folder")
        << QByteArray("/Docs") << QByteArray(".") << int(AccessBrowse) << 0 << QByteArray("Share/Docs");
    QTest::newRow("a file is found too") << QByteArray("/") << QByteArray("Docs/A.txt") << int(AccessBrowse) << 0
                                         << QByteArray("Share/Docs/A.txt");
    QTest::newRow(".. from a subfolder") << QByteArray("/Docs") << QByteArray("..") << int(AccessBrowse) << 0
                                         << QByteArray("Share");
    QTest::newRow("relative sibling") << QByteArray("/Docs") << QByteArray("../Empty") << int(AccessBrowse) << 0
                                      << QByteArray("Share/Empty");
    QTest::newRow(".. above the root") << QByteArray("/") << QByteArray("..") << int(AccessBrowse) << 5 << QByteArray();
    QTest::newRow("existing folder beside the root")
        << QByteArray("/") << QByteArray("../Windows") << int(AccessBrowse) << 5 << QByteArray("Windows");
    QTest::newRow("missing folder beside the root")
        << QByteArray("/") << QByteArray("../Missing") << int(AccessBrowse) << 3 << QByteArray();
    QTest::newRow("sibling differing only in case")
        << QByteArray("/") << QByteArray("../share") << int(AccessBrowse) << 5 << QByteArray("share");
    QTest::newRow("sibling's file") << QByteArray("/") << QByteArray("../share/secret.txt") << int(AccessBrowse) << 5
                                    << QByteArray("share/secret.txt");
    QTest::newRow("far above the root") << QByteArray("/") << QByteArray("../../../../../../..") << int(AccessBrowse)
                                        << 5 << QByteArray();
    QTest::newRow("missing name") << QByteArray("/") << QByteArray("Missing") << int(AccessBrowse) << 3 << QByteArray();
    QTest::newRow("to create keeps the spelling")
        << QByteArray("/") << QByteArray("Docs/New/Deeper") << int(AccessCreateFolder) << 3
        << QByteArray("Share/Docs/New/Deeper");
    QTest::newRow("to create, existing") << QByteArray("/") << QByteArray("docs") << int(AccessCreateFolder) << 0
                                         << QByteArray("Share/Docs");
    QTest::newRow("to create outside") << QByteArray("/") << QByteArray("../Made") << int(AccessCreateFolder) << 5
                                       << QByteArray();
    QTest::newRow("link inside the root")
        << QByteArray("/") << QByteArray("inlink") << int(AccessBrowse) << 0 << QByteArray("Share/inlink");
    QTest::newRow("link out of the root")
        << QByteArray("/") << QByteArray("outlink") << int(AccessBrowse) << 5 << QByteArray();
    QTest::newRow("through a link out of the root")
        << QByteArray("/") << QByteArray("outlink/secret.txt") << int(AccessBrowse) << 5 << QByteArray();
    QTest::newRow("dangling link") << QByteArray("/") << QByteArray("dangling") << int(AccessBrowse) << 3
                                   << QByteArray();
    QTest::newRow("creating through a dangling link")
        << QByteArray("/") << QByteArray("dangling/x") << int(AccessCreateFolder) << 5 << QByteArray();
    QTest::newRow("creating through a link out")
        << QByteArray("/") << QByteArray("outlink/x") << int(AccessCreateFolder) << 5 << QByteArray();
}

void TestVirtualPaths::resolveFolder()
{
    QFETCH(QByteArray, current);
    QFETCH(QByteArray, path);
    QFETCH(int, mode);
    QFETCH(int, result);
    QFETCH(QByteArray, disk);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    const CVirtualFolder folder(TestValues(fixture.root), current);
    QByteArray diskPath;
    QCOMPARE(folder.ResolveFolderPath(path, mode, diskPath), result);
    if (!disk.isEmpty())
        QCOMPARE(Relative(fixture, diskPath), disk);
}

void TestVirtualPaths::resolveFile_data()
{
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("disk");

    for (const char* path : {"Docs/A.txt", "/docs/a.txt", "\\DOCS\\A.TXT", "//Docs//A.txt", ".Docs./A.txt"})
        QTest::newRow(path) << QByteArray("/") << QByteArray(path) << int(AccessDownload) << 0
                            << QByteArray("Share/Docs/A.txt");
    QTest::newRow("relative to the current folder")
        << QByteArray("/Docs") << QByteArray("a.txt") << int(AccessDownload) << 0 << QByteArray("Share/Docs/A.txt");
    QTest::newRow("up from the current folder") << QByteArray("/Docs") << QByteArray("../notes.txt")
                                                << int(AccessDownload) << 0 << QByteArray("Share/notes.txt");
    QTest::newRow("exact spelling first, lower")
        << QByteArray("/") << QByteArray("Case/readme") << int(AccessDownload) << 0 << QByteArray("Share/Case/readme");
    QTest::newRow("exact spelling first, upper")
        << QByteArray("/") << QByteArray("Case/README") << int(AccessDownload) << 0 << QByteArray("Share/Case/README");
    QTest::newRow("else the first in byte order")
        << QByteArray("/") << QByteArray("Case/Readme") << int(AccessDownload) << 0 << QByteArray("Share/Case/README");
    QTest::newRow("a folder is no file") << QByteArray("/") << QByteArray("Docs") << int(AccessDownload) << 2
                                         << QByteArray();
    QTest::newRow("the file name keeps its dots")
        << QByteArray("/") << QByteArray("Docs/A.txt.") << int(AccessDownload) << 2 << QByteArray();
    QTest::newRow("missing folder") << QByteArray("/") << QByteArray("Missing/A.txt") << int(AccessDownload) << 2
                                    << QByteArray();
    QTest::newRow("empty") << QByteArray("/") << QByteArray() << int(AccessDownload) << 2 << QByteArray();
    QTest::newRow("upload of a new name keeps its spelling")
        << QByteArray("/") << QByteArray("docs/New.TXT") << int(AccessUpload) << 0 << QByteArray("Share/Docs/New.TXT");
    QTest::newRow("upload onto an existing name in other case")
        << QByteArray("/") << QByteArray("docs/a.TXT") << int(AccessUpload) << 0 << QByteArray("Share/Docs/A.txt");
    QTest::newRow("upload to ..") << QByteArray("/") << QByteArray("Docs/..") << int(AccessUpload) << 2 << QByteArray();
    QTest::newRow("upload to .") << QByteArray("/") << QByteArray(".") << int(AccessUpload) << 2 << QByteArray();
    QTest::newRow("upload into a missing folder")
        << QByteArray("/") << QByteArray("Missing/x") << int(AccessUpload) << 2 << QByteArray();
    QTest::newRow("upload beside the root")
        << QByteArray("/") << QByteArray("../share/new.txt") << int(AccessUpload) << 5 << QByteArray();
    QTest::newRow("sibling's file") << QByteArray("/") << QByteArray("../share/secret.txt") << int(AccessDownload) << 5
                                    << QByteArray();
    QTest::newRow("other sibling's file")
        << QByteArray("/") << QByteArray("../Windows/x.txt") << int(AccessDownload) << 5 << QByteArray();
    QTest::newRow("file link out of the root")
        << QByteArray("/") << QByteArray("outfile") << int(AccessDownload) << 5 << QByteArray();
    QTest::newRow("file through a folder link out")
        << QByteArray("/") << QByteArray("outlink/secret.txt") << int(AccessDownload) << 5 << QByteArray();
    QTest::newRow("file through a folder link inside") << QByteArray("/") << QByteArray("inlink/A.txt")
                                                       << int(AccessDownload) << 0 << QByteArray("Share/inlink/A.txt");
    QTest::newRow("upload through a dangling link")
        << QByteArray("/") << QByteArray("dangling") << int(AccessUpload) << 5 << QByteArray();
}

void TestVirtualPaths::resolveFile()
{
    QFETCH(QByteArray, current);
    QFETCH(QByteArray, path);
    QFETCH(int, mode);
    QFETCH(int, result);
    QFETCH(QByteArray, disk);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    const CVirtualFolder folder(TestValues(fixture.root), current);
    QByteArray diskPath;
    QCOMPARE(folder.ResolveFilePath(path, mode, diskPath), result);
    if (!disk.isEmpty())
        QCOMPARE(Relative(fixture, diskPath), disk);
}

void TestVirtualPaths::permissionMatrix_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("file");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArrayList>("tested"); // set off, then on
    QTest::addColumn<QByteArrayList>("alwaysOff");
    QTest::addColumn<int>("resultOff");
    QTest::addColumn<int>("resultOn");

    const QByteArrayList none;
    QTest::newRow("download") << int(AccessDownload) << true << QByteArray("notes.txt")
                              << QByteArrayList{"AllowDownloadFiles"} << none << 5 << 0;
    QTest::newRow("upload") << int(AccessUpload) << true << QByteArray("fresh.txt")
                            << QByteArrayList{"AllowUploadFiles"} << none << 5 << 0;
    QTest::newRow("upload onto a file needs delete")
        << int(AccessUpload) << true << QByteArray("notes.txt") << QByteArrayList{"AllowDeleteFiles"} << none << 5 << 0;
    QTest::newRow("rename a file") << int(AccessRename) << true << QByteArray("notes.txt")
                                   << QByteArrayList{"AllowRenameFiles"} << none << 5 << 0;
    QTest::newRow("rename a folder") << int(AccessRename) << false << QByteArray("Docs")
                                     << QByteArrayList{"AllowRenameFiles"} << none << 5 << 0;
    QTest::newRow("delete a file") << int(AccessDelete) << true << QByteArray("Docs/A.txt")
                                   << QByteArrayList{"AllowDeleteFiles"} << none << 5 << 0;
    QTest::newRow("delete a folder") << int(AccessDelete) << false << QByteArray("Empty")
                                     << QByteArrayList{"AllowDeleteFiles"} << none << 5 << 0;
    QTest::newRow("create a folder") << int(AccessCreateFolder) << false << QByteArray("Brand/New")
                                     << QByteArrayList{"AllowCreateFolders"} << none << 5 << 3;
    QTest::newRow("browse by download") << int(AccessBrowse) << false << QByteArray("/")
                                        << QByteArrayList{"AllowDownloadFiles"} << QByteArrayList{"AllowUploadFiles"}
                                        << 5 << 0;
    QTest::newRow("browse by upload") << int(AccessBrowse) << false << QByteArray("Docs")
                                      << QByteArrayList{"AllowUploadFiles"} << QByteArrayList{"AllowDownloadFiles"} << 5
                                      << 0;
    QTest::newRow("other permissions do not browse")
        << int(AccessBrowse) << false << QByteArray("/")
        << QByteArrayList{"AllowDeleteFiles", "AllowRenameFiles", "AllowCreateFolders"}
        << QByteArrayList{"AllowDownloadFiles", "AllowUploadFiles"} << 5 << 5;
}

void TestVirtualPaths::permissionMatrix()
{
    QFETCH(int, mode);
    QFETCH(bool, file);
    QFETCH(QByteArray, path);
    QFETCH(QByteArrayList, tested);
    QFETCH(QByteArrayList, alwaysOff);
    QFETCH(int, resultOff);
    QFETCH(int, resultOn);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    for (int on : {0, 1}) {
        CSettings::Values values = TestValues(fixture.root);
        for (const QByteArray& name : tested)
            SetPermission(values, name, on);
        for (const QByteArray& name : alwaysOff)
            SetPermission(values, name, 0);
        const CVirtualFolder folder(values, "/");
        QByteArray diskPath;
        const int result =
            file ? folder.ResolveFilePath(path, mode, diskPath) : folder.ResolveFolderPath(path, mode, diskPath);
        QCOMPARE(result, on ? resultOn : resultOff);
    }
}

void TestVirtualPaths::rootForms_data()
{
    QTest::addColumn<QByteArray>("sharedFolder"); // relative ones are taken from the base folder
    QTest::newRow("./Share/") << QByteArray("./Share/");
    QTest::newRow("Share") << QByteArray("Share");
    QTest::newRow("detour") << QByteArray("./Windows/../Share//");
    QTest::newRow("absolute with /") << QByteArray("@/Share/");
    QTest::newRow("through a link") << QByteArray("@/link-to-root");
}

void TestVirtualPaths::rootForms()
{
    QFETCH(QByteArray, sharedFolder);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(::symlink("Share", fixture.Path("link-to-root").constData()) == 0);
    sharedFolder.replace('@', fixture.base);
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QFile::decodeName(fixture.base)));
    const CVirtualFolder folder(TestValues(sharedFolder), "/");
    QVERIFY(QDir::setCurrent(previous));

    QByteArray diskPath;
    QCOMPARE(folder.ResolveFilePath("docs/a.txt", AccessDownload, diskPath), 0);
    QCOMPARE(diskPath, fixture.root + "/Docs/A.txt");
    QCOMPARE(folder.MapToVirtualPath(diskPath), QByteArray("/docs/a.txt"));
    QCOMPARE(folder.ResolveFolderPath("/", AccessBrowse, diskPath), 0);
    QVERIFY(folder.IsRoot(diskPath));
    QCOMPARE(folder.ResolveFilePath("../share/secret.txt", AccessDownload, diskPath), 5);
    QCOMPARE(folder.ResolveFolderPath("inlink", AccessBrowse, diskPath), 0);
}

void TestVirtualPaths::missingRootFindsNothing()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    for (const QByteArray& root : {fixture.Path("Gone"), QByteArray()}) {
        const CVirtualFolder folder(TestValues(root), "/");
        QByteArray diskPath;
        QCOMPARE(folder.ResolveFolderPath("/", AccessBrowse, diskPath), 3);
        QCOMPARE(folder.ResolveFilePath("x.txt", AccessUpload, diskPath), 2);
        QCOMPARE(folder.ResolveFolderPath("x", AccessCreateFolder, diskPath), 5);
    }
}

void TestVirtualPaths::virtualPathsAreLowerCase()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    const CVirtualFolder folder(TestValues(fixture.root), "/");
    QCOMPARE(folder.MapToVirtualPath(fixture.root), QByteArray("/"));
    QCOMPARE(folder.MapToVirtualPath(fixture.root + "/Docs/Report.TXT"), QByteArray("/docs/report.txt"));
    QCOMPARE(folder.RootRelativePath(fixture.root + "/Docs/Report.TXT"), QByteArray("/Docs/Report.TXT"));
    // Bytes other than ASCII letters stay as they are.
    QCOMPARE(folder.MapToVirtualPath(fixture.root + "/\xC3\x84Z\xFF"), QByteArray("/\xC3\x84z\xFF"));
}

void TestVirtualPaths::changeFolder_data()
{
    QTest::addColumn<QByteArray>("start"); // a CWD argument run first, or empty
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("pwd");

    const QByteArray docs = "250 \"/docs\" --> Current folder.";
    QTest::newRow("CWD alone goes to the root")
        << QByteArray("Docs") << QByteArray("CWD") << QByteArray("250 \"/\" --> Current folder.") << QByteArray("/");
    for (const char* path : {"Docs", "/Docs", "\\Docs", "//Docs//", ".Docs", "Docs.", "DOCS"})
        QTest::newRow(path) << QByteArray() << QByteArray("CWD ") + path << docs << QByteArray("/docs");
    QTest::newRow("CWD . keeps the folder") << QByteArray("Docs") << QByteArray("CWD .") << docs << QByteArray("/docs");
    QTest::newRow("CWD onto a file") << QByteArray() << QByteArray("CWD Docs/A.txt")
                                     << QByteArray("250 \"/docs/a.txt\" --> Current folder.")
                                     << QByteArray("/docs/a.txt");
    QTest::newRow("CDUP at the root") << QByteArray() << QByteArray("CDUP") << QByteArray("550 \"..\": Not allowed.")
                                      << QByteArray("/");
    QTest::newRow("CDUP from /docs") << QByteArray("Docs") << QByteArray("CDUP")
                                     << QByteArray("250 \"/\" --> Current folder.") << QByteArray("/");
    QTest::newRow("existing folder beside") << QByteArray() << QByteArray("CWD ../Windows")
                                            << QByteArray("550 \"../Windows\": Not allowed.") << QByteArray("/");
    QTest::newRow("missing folder beside") << QByteArray() << QByteArray("CWD ../Missing")
                                           << QByteArray("550 \"../Missing\": Folder not found.") << QByteArray("/");
    QTest::newRow("sibling differing in case")
        << QByteArray("Docs") << QByteArray("CWD ../../share") << QByteArray("550 \"../../share\": Not allowed.")
        << QByteArray("/docs");
    QTest::newRow("link out of the root")
        << QByteArray() << QByteArray("CWD outlink") << QByteArray("550 \"outlink\": Not allowed.") << QByteArray("/");
    QTest::newRow("link inside the root") << QByteArray() << QByteArray("CWD InLink")
                                          << QByteArray("250 \"/inlink\" --> Current folder.") << QByteArray("/inlink");
    QTest::newRow("line breaks echoed as spaces") << QByteArray() << QByteArray("CWD a\rb\nc")
                                                  << QByteArray("550 \"a b c\": Folder not found.") << QByteArray("/");
}

void TestVirtualPaths::changeFolder()
{
    QFETCH(QByteArray, start);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, pwd);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    if (!start.isEmpty())
        QVERIFY(client.Command("CWD " + start).startsWith("250 "));
    QCOMPARE(client.Command(command), reply);
    QCOMPARE(client.Command("PWD"), "257 \"" + pwd + "\" --> Current folder.");
}

void TestVirtualPaths::currentFolderKeepsTheDiskSpelling()
{
    // Two folders that only the case tells apart: the client sees /pair for both, but stays in the
    // one it entered.
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    QVERIFY(::mkdir(fixture.Path("Share/Pair").constData(), 0755) == 0);
    QVERIFY(::mkdir(fixture.Path("Share/pair").constData(), 0755) == 0);
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/Pair/f"), "upper"));
    QVERIFY(PathFixture::WriteFile(fixture.Path("Share/pair/f"), "lower-case"));
    TestServer server(TestValues(fixture.root));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    QCOMPARE(client.Command("CWD Pair"), QByteArray("250 \"/pair\" --> Current folder."));
    QCOMPARE(client.Command("SIZE f"), QByteArray("213 5"));
    QCOMPARE(client.Command("CWD /pair"), QByteArray("250 \"/pair\" --> Current folder."));
    QCOMPARE(client.Command("SIZE f"), QByteArray("213 10"));
}

void TestVirtualPaths::relativeRootOverTheSocket()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QFile::decodeName(fixture.base)));
    {
        TestServer server(TestValues("./Share/"));
        FtpClient client;
        QVERIFY(client.Login(server.Port()));
        QCOMPARE(client.Command("CWD docs"), QByteArray("250 \"/docs\" --> Current folder."));
        QCOMPARE(client.Command("SIZE a.txt"), QByteArray("213 5"));
        QCOMPARE(client.Command("CWD ../../share"), QByteArray("550 \"../../share\": Not allowed."));
        QCOMPARE(client.Command("SIZE /../share/secret.txt"), QByteArray("550 Not allowed."));
    }
    QVERIFY(QDir::setCurrent(previous));
}

QTEST_GUILESS_MAIN(TestVirtualPaths)
#include "tst_virtual_paths.moc"
