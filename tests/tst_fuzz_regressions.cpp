// Inputs the fuzzers (fuzz/) found faults with, kept so the faults stay mended.

#include "tst_virtual_paths_fixture.h"

#include "connection/ConnectionState.h"
#include "connection/VirtualPaths.h"

#include <QtTest>

class TestFuzzRegressions : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pathsWithNulNameNothing_data();
    void pathsWithNulNameNothing();
};

void TestFuzzRegressions::pathsWithNulNameNothing_data()
{
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QByteArray>("clientPath");
    QTest::addColumn<int>("mode");

    // fuzz_virtual_paths: accepted for an upload as ".../Docs/..<NUL>...", which open() takes as
    // the folder above.
    QTest::newRow("found by the fuzzer") << QByteArray("/Docs")
                                         << QByteArray::fromBase64("Li4ABwAtLjBvdXSbHgUA5GAAAGUt") << int(AccessUpload);
    QTest::newRow("climb hidden behind a NUL") << QByteArray("/") << QByteArray("..\0x", 4) << int(AccessUpload);
    QTest::newRow("file name cut short") << QByteArray("/") << QByteArray("notes.txt\0.jpg", 14) << int(AccessDownload);
    QTest::newRow("folder then NUL") << QByteArray("/") << QByteArray("Docs\0/../..", 11) << int(AccessBrowse);
    QTest::newRow("new folder with NUL") << QByteArray("/") << QByteArray("new\0dir", 7) << int(AccessCreateFolder);
}

void TestFuzzRegressions::pathsWithNulNameNothing()
{
    QFETCH(QByteArray, current);
    QFETCH(QByteArray, clientPath);
    QFETCH(int, mode);
    const AccessMode accessMode = AccessMode(mode);
    PathFixture fixture;
    QVERIFY(fixture.IsValid());
    CSettings::Values settings;
    settings.SharedFolder = fixture.root;
    settings.AllowDownloadFiles = settings.AllowUploadFiles = settings.AllowDeleteFiles = 1;
    settings.AllowRenameFiles = settings.AllowCreateFolders = 1;
    const CVirtualFolder folder(settings, current);

    QByteArray diskPath;
    QCOMPARE(folder.ResolveFilePath(clientPath, accessMode, diskPath), PathFileNotFound);
    QCOMPARE(folder.ResolveFolderPath(clientPath, accessMode, diskPath), PathFolderNotFound);
    QCOMPARE(folder.ResolveRenameTarget(clientPath, fixture.Path("Share/notes.txt"), diskPath), PathFileNotFound);
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzz_regressions.moc"
