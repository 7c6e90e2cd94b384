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

} // namespace

class TestVirtualPaths : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void resolve_data();
    void resolve();
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
    void rememberedRootFollowsAReplacedRoot();
};

void TestVirtualPaths::resolve_data()
{
    QTest::addColumn<bool>("file"); // ResolveFilePath, else ResolveFolderPath
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("disk");
    const auto row = [](const char* name, bool file, const QByteArray& path, int mode, int result,
                        const QByteArray& disk = {}, const QByteArray& current = "/") {
        QTest::addRow("%s: %s", file ? "file" : "folder", name) << file << current << path << mode << result << disk;
    };
    const int browse = AccessBrowse, create = AccessCreateFolder, down = AccessDownload, up = AccessUpload;

    row("empty path browses the root", false, {}, browse, 0, "Share");
    row("empty path for other modes", false, {}, AccessDelete, 3);
    for (const char* path : {"Docs", "/Docs", "\\Docs", "//Docs//", "docs", "DOCS", ".Docs", "Docs.", "..Docs..",
                             "/./Docs/.", "Empty/../Docs", "../Share/Docs"})
        row(path, false, path, browse, 0, "Share/Docs");
    row(". is the current folder", false, ".", browse, 0, "Share/Docs", "/Docs");
    row("a file is found too", false, "Docs/A.txt", browse, 0, "Share/Docs/A.txt");
    row(".. from a subfolder", false, "..", browse, 0, "Share", "/Docs");
    row("relative sibling", false, "../Empty", browse, 0, "Share/Empty", "/Docs");
    row(".. above the root", false, "..", browse, 5);
    row("existing folder beside the root", false, "../Windows", browse, 5, "Windows");
    row("missing folder beside the root", false, "../Missing", browse, 3);
    row("sibling differing only in case", false, "../share", browse, 5, "share");
    row("sibling's file", false, "../share/secret.txt", browse, 5, "share/secret.txt");
    row("far above the root", false, "../../../../../../..", browse, 5);
    row("missing name", false, "Missing", browse, 3);
    row("to create keeps the spelling", false, "Docs/New/Deeper", create, 3, "Share/Docs/New/Deeper");
    row("to create, existing", false, "docs", create, 0, "Share/Docs");
    row("to create outside", false, "../Made", create, 5);
    row("link inside the root", false, "inlink", browse, 0, "Share/inlink");
    row("link out of the root", false, "outlink", browse, 5);
    row("through a link out of the root", false, "outlink/secret.txt", browse, 5);
    row("dangling link", false, "dangling", browse, 3);
    row("creating through a dangling link", false, "dangling/x", create, 5);
    row("creating through a link out", false, "outlink/x", create, 5);

    for (const char* path : {"Docs/A.txt", "/docs/a.txt", "\\DOCS\\A.TXT", "//Docs//A.txt", ".Docs./A.txt"})
        row(path, true, path, down, 0, "Share/Docs/A.txt");
    row("relative to the current folder", true, "a.txt", down, 0, "Share/Docs/A.txt", "/Docs");
    row("up from the current folder", true, "../notes.txt", down, 0, "Share/notes.txt", "/Docs");
    row("exact spelling first, lower", true, "Case/readme", down, 0, "Share/Case/readme");
    row("exact spelling first, upper", true, "Case/README", down, 0, "Share/Case/README");
    row("else the first in byte order", true, "Case/Readme", down, 0, "Share/Case/README");
    row("a folder is no file", true, "Docs", down, 2);
    row("the file name keeps its dots", true, "Docs/A.txt.", down, 2);
    row("missing folder", true, "Missing/A.txt", down, 2);
    row("empty", true, {}, down, 2);
    row("upload of a new name keeps its spelling", true, "docs/New.TXT", up, 0, "Share/Docs/New.TXT");
    row("upload onto an existing name in other case", true, "docs/a.TXT", up, 0, "Share/Docs/A.txt");
    row("upload to ..", true, "Docs/..", up, 2);
    row("upload to .", true, ".", up, 2);
    row("upload into a missing folder", true, "Missing/x", up, 2);
    row("upload beside the root", true, "../share/new.txt", up, 5);
    row("sibling's file", true, "../share/secret.txt", down, 5);
    row("other sibling's file", true, "../Windows/x.txt", down, 5);
    row("file link out of the root", true, "outfile", down, 5);
    row("file through a folder link out", true, "outlink/secret.txt", down, 5);
    row("file through a folder link inside", true, "inlink/A.txt", down, 0, "Share/inlink/A.txt");
    row("upload through a dangling link", true, "dangling", up, 5);
}

void TestVirtualPaths::resolve()
{
    QFETCH(bool, file);
    QFETCH(QByteArray, current);
    QFETCH(QByteArray, path);
    QFETCH(int, mode);
    QFETCH(int, result);
    QFETCH(QByteArray, disk);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    const CVirtualFolder folder(TestValues(fixture.root), current);
    QByteArray diskPath;
    const AccessMode access = AccessMode(mode);
    QCOMPARE(
        int(file ? folder.ResolveFilePath(path, access, diskPath) : folder.ResolveFolderPath(path, access, diskPath)),
        result);
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
    QTest::addColumn<int>("resultOn");

    const auto row = [](const char* name, int mode, bool file, const QByteArray& path, const QByteArrayList& tested,
                        int resultOn = 0, const QByteArrayList& alwaysOff = {}) {
        QTest::newRow(name) << mode << file << path << tested << alwaysOff << resultOn;
    };
    row("download", AccessDownload, true, "notes.txt", {"AllowDownloadFiles"});
    row("upload", AccessUpload, true, "fresh.txt", {"AllowUploadFiles"});
    row("upload onto a file needs delete", AccessUpload, true, "notes.txt", {"AllowDeleteFiles"});
    row("rename a file", AccessRename, true, "notes.txt", {"AllowRenameFiles"});
    row("rename a folder", AccessRename, false, "Docs", {"AllowRenameFiles"});
    row("delete a file", AccessDelete, true, "Docs/A.txt", {"AllowDeleteFiles"});
    row("delete a folder", AccessDelete, false, "Empty", {"AllowDeleteFiles"});
    row("create a folder", AccessCreateFolder, false, "Brand/New", {"AllowCreateFolders"}, 3);
    row("browse by download", AccessBrowse, false, "/", {"AllowDownloadFiles"}, 0, {"AllowUploadFiles"});
    row("browse by upload", AccessBrowse, false, "Docs", {"AllowUploadFiles"}, 0, {"AllowDownloadFiles"});
    row("other permissions do not browse", AccessBrowse, false, "/",
        {"AllowDeleteFiles", "AllowRenameFiles", "AllowCreateFolders"}, 5, {"AllowDownloadFiles", "AllowUploadFiles"});
}

void TestVirtualPaths::permissionMatrix()
{
    QFETCH(int, mode);
    QFETCH(bool, file);
    QFETCH(QByteArray, path);
    QFETCH(QByteArrayList, tested);
    QFETCH(QByteArrayList, alwaysOff);
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
        const AccessMode access = AccessMode(mode);
        const int result =
            file ? folder.ResolveFilePath(path, access, diskPath) : folder.ResolveFolderPath(path, access, diskPath);
        QCOMPARE(result, on ? resultOn : 5); // 5: not allowed
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

    const auto row = [](const char* name, const QByteArray& start, const QByteArray& command, const QByteArray& reply,
                        const QByteArray& pwd) { QTest::newRow(name) << start << command << reply << pwd; };
    const QByteArray docs = "250 \"/docs\" --> Current folder.", root = "250 \"/\" --> Current folder.";
    row("CWD alone goes to the root", "Docs", "CWD", root, "/");
    for (const char* path : {"Docs", "/Docs", "\\Docs", "//Docs//", ".Docs", "Docs.", "DOCS"})
        row(path, {}, QByteArray("CWD ") + path, docs, "/docs");
    row("CWD . keeps the folder", "Docs", "CWD .", docs, "/docs");
    row("CWD onto a file", {}, "CWD Docs/A.txt", "250 \"/docs/a.txt\" --> Current folder.", "/docs/a.txt");
    row("CDUP at the root", {}, "CDUP", "550 \"..\": Not allowed.", "/");
    row("CDUP from /docs", "Docs", "CDUP", root, "/");
    row("existing folder beside", {}, "CWD ../Windows", "550 \"../Windows\": Not allowed.", "/");
    row("missing folder beside", {}, "CWD ../Missing", "550 \"../Missing\": Folder not found.", "/");
    row("sibling differing in case", "Docs", "CWD ../../share", "550 \"../../share\": Not allowed.", "/docs");
    row("link out of the root", {}, "CWD outlink", "550 \"outlink\": Not allowed.", "/");
    row("link inside the root", {}, "CWD InLink", "250 \"/inlink\" --> Current folder.", "/inlink");
    row("line breaks echoed as spaces", {}, "CWD a\rb\nc", "550 \"a b c\": Folder not found.", "/");
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

void TestVirtualPaths::rememberedRootFollowsAReplacedRoot()
{
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    CRealRootCache cache;
    const CSettings::Values values = TestValues(fixture.root);
    QByteArray diskPath;
    QCOMPARE(CVirtualFolder(values, "/", &cache).ResolveFilePath("notes.txt", AccessDownload, diskPath), PathOK);
    // The root folder is moved away and a link to another folder put in its place: the connection
    // serves what the setting names now, never the remembered folder through the link.
    QVERIFY(::rename(fixture.root.constData(), fixture.Path("Moved").constData()) == 0);
    QVERIFY(::symlink("Windows", fixture.root.constData()) == 0);
    const CVirtualFolder now(values, "/", &cache);
    QCOMPARE(now.ResolveFilePath("notes.txt", AccessDownload, diskPath), PathFileNotFound);
    QCOMPARE(now.ResolveFilePath("x.txt", AccessDownload, diskPath), PathOK);
    QCOMPARE(diskPath, fixture.Path("Windows/x.txt"));
}

QTEST_GUILESS_MAIN(TestVirtualPaths)
#include "tst_virtual_paths.moc"
