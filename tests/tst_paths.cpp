// Catches: paths escaping the root through any command, verbs run without permission, wrong name rules and replies.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "connection/ThreadConnection.h"
#include "platform/Landlock.h"

#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class TestPaths : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void paths();
    void renamedMeanwhile();
    void secureFolder();
    void kernelConfinement();
};

void TestPaths::paths()
{
    // Served through link, beside Root/ (case) and rootX/ (longer name): outside, not even a name's existence is told.
    TestTree tree("root/ root/Docs/ root/Docs/A.txt=hello root/Docs/b.txt=b root/Docs/Report.TXT=r root/Empty/ "
                  "root/Case/ root/Case/readme=lower root/Case/README=up root/Pair/ root/Pair/f=12 root/pair/ "
                  "root/pair/f=1234 root/.cache/ root/.cache/k=keep root/cache/ root/cache/k=plain root/CACHE./ "
                  "root/CACHE./k=dot root/.Empty/ root/\xC3\x84Z/ root/notes.txt=notes root/inlink->Docs "
                  "root/outlink->../rootX root/outfile->../Root/secret.txt root/dangling->../nowhere Root/ "
                  "Root/secret.txt=secret rootX/ rootX/x.txt=x link->root");
    QVERIFY(tree.IsValid() && tree.Add(("rootX/self->" + tree.Path("rootX/x.txt")).constData()));
    TestServer server(TestValues(tree.Path("link")));
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    CONVERSE(client, R"(
        RNTO x | 450 Error renaming file.
        CWD .. | 550 "..": Not allowed.
        CWD %2e%2e | 550 "%2e%2e": Folder not found.
        CWD /../rootX/ | 550 "/../rootX/": Not allowed.
        CWD ../ROOT | 550 "../ROOT": Not allowed.
        CWD outlink | 550 "outlink": Not allowed.
        RETR ..\\rootX\\x.txt | 550 Not allowed.
        RETR outfile | 550 Not allowed.
        RETR outlink/x.txt | 550 Not allowed.
        SIZE ../rootX/none.txt | 550 Not allowed.
        RETR outlink/none/x.txt | 550 Not allowed.
        CWD ../none | 550 "../none": Not allowed.
        SIZE /../root/notes.txt | 550 Not allowed.
        SIZE ../Root/../root/notes.txt | 550 Not allowed.
        SIZE ../none/../root/notes.txt | 550 Not allowed.
        SIZE outlink/x.txt/../../notes.txt | 550 Not allowed.
        SIZE outlink/none/../../notes.txt | 550 Not allowed.
        CWD outlink/.. | 550 "outlink/..": Not allowed.
        RETR /etc/passwd | 550 File not found.
        STOR ../Root/secret.txt | 550 Not allowed.
        STOR dangling | 550 Not allowed.
        DELE ../Root/secret.txt | 550 Not allowed.
        RMD . | 550 Not allowed.
        MKD outlink/made | 550 Creating a folder is not allowed.
        MKD dangling/made | 550 Creating a folder is not allowed.
        RNFR . | 550 Not allowed.
        RNFR notes.txt | 350 File OK.
        RNTO ../rootX/moved | 550 Not allowed.
        RNFR notes.txt | 350 File OK.
        RNTO ../none/moved | 550 Not allowed.
        RNFR ../rootX | 550 Not allowed.
        RNTO n2.txt | 450 Error renaming file.
        PORT 127,0,0,2,4,1 | 501 Illegal PORT command.
        RETR notes.txt | 150 Binary mode. | 425 The connection could not be opened.
    )");
    // A NUL ends what the server takes of its read (one 4096-byte chunk here), climb included.
    const QByteArray nul = "SIZE notes.txt" + QByteArray(1, '\0') + "/../../rootX/x.txt";
    QVERIFY(client.SendRaw(nul.leftJustified(4094, 'z') + "\r\n"));
    QCOMPARE(client.Command(""), QByteArray("213 5"));
    // A path of more names than any tree is deep names nothing: each name could cost a read of a whole folder.
    QCOMPARE(client.Command("SIZE " + QByteArray("docs/../").repeated(256) + "notes.txt"), QByteArray("213 5"));
    QCOMPARE(client.Command("SIZE " + QByteArray("docs/../").repeated(257) + "notes.txt"),
             QByteArray("550 File not found."));
    // Past 1,000,000 entries read for one path (large folders, back and forth), it names nothing, nor makes anything.
    for (const char* wide : {"root/wide1", "root/wide2"}) {
        QVERIFY(::mkdir(tree.Path(wide), 0755) == 0);
        for (int i = 0; i < 10000; ++i)
            QVERIFY(WriteFile(tree.Path(wide) + "/f" + QByteArray::number(i), ""));
    }
    const QByteArray wide = "wide1/F1/../../wide2/F1/../../";
    QCOMPARE(client.Command("SIZE " + wide.repeated(45) + "NOTES.TXT"), QByteArray("213 5"));
    QCOMPARE(client.Command("SIZE " + wide.repeated(55) + "NOTES.TXT"), QByteArray("550 File not found."));
    QCOMPARE(client.Command("MKD " + wide.repeated(55) + "DOCS/Newer"), QByteArray("450 Error creating folder."));
    // A download reads regular files only: opening a FIFO (or a device) acts on it.
    QVERIFY(::mkfifo(tree.Path("root/pipe"), 0644) == 0);
    CONVERSE(client, "RETR pipe | 550 File not found.\nDELE pipe | 250 File \"/pipe\" deleted.");
    // Names the file system cannot hold leave nothing half-made.
    const QByteArray longName(300, 'a');
    QCOMPARE(client.Command("MKD " + QByteArray("n/").repeated(10000)), QByteArray("450 Error creating folder."));
    QCOMPARE(client.Command("MKD " + longName), QByteArray("450 Error creating folder."));
    CONVERSE(client, ("@pasv\nSTOR " + longName + " | 150 Binary mode. | 450 File access error.").constData());

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
        SIZE .cache/k | 213 4
        SIZE .Cache./k | 213 5
        SIZE cache./k | 213 5
        SIZE CACHE./k | 213 3
        CWD .CACHE | 250 "/.cache" --> Current folder.
        SIZE k | 213 4
        CDUP | 250 "/" --> Current folder.
        RMD .empty | 250 Folder deleted.
        SIZE Case/readme | 213 5
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
        CWD Say "Hi" | 250 "/say "hi"" --> Current folder.
        PWD | 257 "/say ""hi""" --> Current folder.
        CDUP | 250 "/" --> Current folder.
        MKD DOCS | 550 Folder already exists.
        RNFR notes.txt | 350 File OK.
        RNTO NOTES.txt | 250 File renamed.
        RNFR notes.TXT | 350 File OK.
        RNTO docs/a.TXT | 450 Error renaming file.
        RNFR nothing | 550 Folder not found.
        RNFR case | 350 Folder OK.
        RNTO Cases | 250 File renamed.
    )");

    // Each verb's permission, turned off alone (browsing needs download or upload, nothing else).
    constexpr int Down = 1, Up = 2, Del = 4, Ren = 8, Mkd = 16;
    const std::pair<int, const char*> rows[] = {
        {Down, "SIZE notes.txt | 550 Not allowed.\nRETR notes.txt | 550 Not allowed.\n"
               "CWD Docs | 250 \"/docs\" --> Current folder."},
        {Up, "STOR fresh.txt | 550 Not allowed.\nCWD / | 250 \"/\" --> Current folder."},
        {Down | Up, "CWD / | 550 \"/\": Not allowed.\nLIST Docs | 550 \"Docs\": Not allowed."},
        {Del, "DELE notes.txt | 550 Not allowed.\nRMD Docs | 550 Not allowed.\nSTOR notes.txt | 550 Not allowed."},
        {Ren, "RNFR notes.txt | 550 Not allowed.\nRNFR Docs | 550 Not allowed."},
        {Mkd, "MKD Fresh | 550 Creating a folder is not allowed."},
        {0, "RNFR notes.txt | 350 File OK."},
        {Ren, "RNTO other.txt | 550 Not allowed."}, // the permission counts when the rename happens
    };
    for (const auto& row : rows) {
        server.Settings().Update([&row](CSettings::Values& v) {
            v.AllowDownloadFiles = !(row.first & Down);
            v.AllowUploadFiles = !(row.first & Up);
            v.AllowDeleteFiles = !(row.first & Del);
            v.AllowRenameFiles = !(row.first & Ren);
            v.AllowCreateFolders = !(row.first & Mkd);
        });
        CONVERSE(client, row.second);
    }
    for (const char* path : {"root/Docs/New/Deep", "root/Say \"Hi\"", "root/cache", "root/NOTES.txt",
                             "root/Cases/README", "root/Docs/A.txt"})
        QVERIFY2(tree.Exists(path), path);
    for (const char* path : {"root/notes.txt", "root/Empty", "root/.Empty", "root/Docs/Report.TXT", "root/Docs/b.txt",
                             "root/Case", "root/fresh.txt", "root/Fresh", "root/other.txt", "root/n", "root/DOCS",
                             "nowhere", "rootX/made", "rootX/moved"})
        QVERIFY2(!tree.Exists(path), path);
    QCOMPARE(tree.Read("Root/secret.txt") + tree.Read("rootX/x.txt"), QByteArray("secretx"));

    // The root replaced by a link elsewhere: what the setting names now is looked at (whence rootX's self would
    // lead out), while the kernel keeps the thread in the folder the run began with.
    QVERIFY(::rename(tree.Path("root").constData(), tree.Path("moved").constData()) == 0);
    QVERIFY(::symlink("rootX", tree.Path("root").constData()) == 0);
    CONVERSE(client, "SIZE NOTES.txt | 550 File not found.\nSIZE self | 213 1\n@pasv\nRETR self | 150 Binary mode.");
    CONVERSE(client,
             CLandlockRuleset::Abi() >= 3 ? "@recv\n| 426 Connection closed." : "| 226 Transfer completed.\n@recv x");
}

// A path checked at its command and used later is led out of the root meanwhile by another client's renames.
void TestPaths::renamedMeanwhile()
{
    TestTree tree("root/ root/holder/ root/holder/x->../../out root/sub/ root/sub/x/ root/sub/x/secret.txt=in out/ "
                  "out/secret.txt=outside");
    TestServer server(TestValues(tree.Path("root")));
    FtpClient client, other;
    QVERIFY(tree.IsValid() && client.Login(server.Port()) && other.Login(server.Port()));
    const char* swapOut = "RNFR sub | 350 Folder OK.\nRNTO old | 250 File renamed.\n"
                          "RNFR holder | 350 Folder OK.\nRNTO sub | 250 File renamed.";
    const char* swapBack = "RNFR sub | 350 Folder OK.\nRNTO holder | 250 File renamed.\n"
                           "RNFR old | 350 Folder OK.\nRNTO sub | 250 File renamed.";
    // What the client does before the swap, and after it: a transfer connects then, RNTO renames then.
    const char* rows[][2] = {
        {"PASV | 227*\nRETR sub/x/secret.txt | 150 Binary mode.", "@connect\n@recv\n| 426 Connection closed."},
        {"PASV | 227*\nSTOR sub/x/planted.txt | 150 Binary mode.", "@connect\n@send planted\n| 450 File access error."},
        {"RNFR sub/x/secret.txt | 350 File OK.", "RNTO /stolen.txt | 450 Error renaming file."}};
    for (const auto& [before, after] : rows) {
        CONVERSE(client, before);
        CONVERSE(other, swapOut);
        CONVERSE(client, after);
        CONVERSE(other, swapBack);
    }
    // Without the delete permission, an upload replaces nothing, also what is renamed to its name meanwhile.
    server.Settings().Update([](CSettings::Values& v) { v.AllowDeleteFiles = false; });
    CONVERSE(client, "PASV | 227*\nSTOR new.txt | 150 Binary mode.");
    CONVERSE(other, "RNFR sub/x/secret.txt | 350 File OK.\nRNTO new.txt | 250 File renamed.");
    CONVERSE(client, "@connect\n@send replaced\n| 450 File access error.");
    QVERIFY(tree.Read("out/secret.txt") == "outside" && !tree.Exists("out/planted.txt") &&
            !tree.Exists("root/stolen.txt") && tree.Read("root/new.txt") == "in");

    // A download's file replaced meanwhile by a link to a FIFO (as to a device) is never opened: a writer waits here.
    const QByteArray fifo = tree.Path("root/fifo"), plain = tree.Path("root/plain.txt");
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0 && tree.Add("root/plain.txt=x"));
    std::atomic<bool> opened{false};
    std::thread writer([&] {
        const int end = ::open(fifo.constData(), O_WRONLY);
        opened = true;
        ::close(end);
    });
    CONVERSE(client, "PASV | 227*\nRETR plain.txt | 150 Binary mode.");
    QVERIFY(::unlink(plain.constData()) == 0 && ::symlink("fifo", plain.constData()) == 0);
    CONVERSE(client, "@connect\n@recv\n| 426 Connection closed.");
    QTest::qWait(200); // a writer let go by the server's open returns at once
    const bool openedByServer = opened;
    ::close(::open(fifo.constData(), O_RDONLY | O_NONBLOCK)); // lets the writer go
    writer.join();
    QVERIFY(!openedByServer);
}

// Clients browse the secure folder and fetch its .cry files only, by any spelling; nothing in it or holding it changes.
void TestPaths::secureFolder()
{
    TestTree tree("root/ root/Vault/ root/Vault/diary.txt=plain root/Vault/diary.txt.cry=cipher root/Vault/old.CRY=c2 "
                  "root/Vault/sub/ root/Vault/sub/in.cry=x root/Vault/sub.cry/ root/Vault/fake.cry->diary.txt "
                  "root/tovault->Vault root/todiary->Vault/diary.txt root/a/ root/plain.txt=p");
    QVERIFY(tree.IsValid());
    CSettings::Values values = TestValues(tree.Path("root"));
    values.SecureFolder = tree.Path("root/Vault/");
    TestServer server(values);
    FtpClient client;
    QVERIFY(client.Login(server.Port()));
    CONVERSE(client, R"(
        CWD vault | 250 "/vault" --> Current folder.
        SIZE diary.txt.CRY | 213 6
        SIZE old.cry | 213 2
        SIZE diary.txt | 550 Not allowed.
        SIZE missing.txt | 550 Not allowed.
        SIZE missing.cry | 550 File not found.
        SIZE fake.cry | 550 Not allowed.
        RETR diary.txt | 550 Not allowed.
        STOR diary.txt | 550 Not allowed.
        STOR new.cry | 550 Not allowed.
        DELE diary.txt.cry | 550 Not allowed.
        RNFR old.cry | 550 Not allowed.
        MKD sub | 550 Creating a folder is not allowed.
        RMD sub | 550 Not allowed.
        CWD sub | 550 "sub": Not allowed.
        CWD sub.cry | 550 "sub.cry": Not allowed.
        LIST diary.txt | 550 "diary.txt": Not allowed.
        SIZE sub/in.cry | 213 1
        CWD / | 250 "/" --> Current folder.
        SIZE /VAULT/../vault/./Diary.txt | 550 Not allowed.
        SIZE \\vault\\diary.txt | 550 Not allowed.
        SIZE vault.\\diary.txt | 550 Not allowed.
        SIZE tovault/diary.txt | 550 Not allowed.
        SIZE todiary | 550 Not allowed.
        SIZE tovault/diary.txt.cry | 213 6
        STOR tovault/diary.txt | 550 Not allowed.
        DELE todiary | 550 Not allowed.
        RNFR vault | 550 Not allowed.
        RNFR tovault | 550 Not allowed.
        RMD vault | 550 Not allowed.
        RNFR plain.txt | 350 File OK.
        RNTO vault/plain.txt | 550 Not allowed.
        RNFR a | 350 Folder OK.
        RNTO tovault/a | 550 Not allowed.
    )");
    // Listed as the passes leave it: .cry files only, no plain file, folder or link.
    for (const QByteArray path : {"vault", "tovault", "/Vault/*"}) {
        CONVERSE(client, "@pasv\nLIST " + path + " | 150 ASCII mode.\n@recv *\n| 226 Transfer completed.");
        const QByteArray& text = client.Received();
        QVERIFY2(text.count("\r\n") == 2 && text.contains(" diary.txt.cry\r\n") && text.contains(" old.CRY\r\n"),
                 text.constData());
    }
    CONVERSE(client, "@pasv\nLIST | 150 ASCII mode.\n@recv *\n| 226 Transfer completed.");
    QVERIFY(client.Received().contains(" Vault\r\n"));
    QVERIFY(tree.Read("root/Vault/diary.txt.cry") == "cipher" && !tree.Exists("root/Vault/new.cry") &&
            tree.Exists("root/plain.txt") && tree.Exists("root/a"));

    // A secure folder not made yet, and the folders that would hold it; the secure folder as the root itself.
    server.Settings().Update([&](CSettings::Values& v) { v.SecureFolder = tree.Path("root/a/b/Safe"); });
    CONVERSE(client, R"(
        RNFR a | 550 Not allowed.
        RMD a | 550 Not allowed.
        MKD a/b | 257 "/a/b" Folder created.
        MKD a/b/Safe | 550 Creating a folder is not allowed.
        MKD a/b/Safe/x | 550 Creating a folder is not allowed.
        STOR a/b/Safe | 550 Not allowed.
        MKD a/b/safe | 257 "/a/b/safe" Folder created.
        RNFR a/b/safe | 350 Folder OK.
        RNTO a/b/Safe | 550 Not allowed.
    )");
    server.Settings().Update([&](CSettings::Values& v) { v.SecureFolder = tree.Path("root"); });
    CONVERSE(client, R"(
        SIZE vault/diary.txt.cry | 213 6
        SIZE plain.txt | 550 Not allowed.
        CWD vault | 550 "vault": Not allowed.
        STOR x.cry | 550 Not allowed.
        MKD x | 550 Creating a folder is not allowed.
    )");
    CONVERSE(client, "@pasv\nLIST / | 150 ASCII mode. | 226 Transfer completed.\n@recv");
}

// What a client's thread may do as the kernel decides, once a path got past the path rules: each act in the run's
// root, r<run>, and (Outside) any act outside it, the root of the run before included.
static QByteArray g_base; // set before the server starts
static std::atomic<int> g_run{0}, g_acts{-1};
constexpr int Read = 1, List = 2, Write = 4, Create = 8, Truncate = 16, Remove = 32, Rmdir = 64, Mkdir = 128,
              Rename = 256, Outside = 512, AllActs = 1023;

static void TryActs()
{
    const auto in = [](const char* name, int run = g_run) { return g_base + "/r" + QByteArray::number(run) + name; };
    const auto opens = [](const QByteArray& path, int flags) { return CUniqueFd(::open(path, flags, 0600)).IsValid(); };
    const auto refused = [](bool done) { return !done && errno == EACCES; };
    const QByteArray out = g_base + "/out";
    const bool outside = !(refused(opens(out + "/f", O_RDONLY)) && refused(opens(out + "/f", O_WRONLY)) &&
                           refused(opens(out, O_RDONLY | O_DIRECTORY)) && refused(::unlink(out + "/f") == 0) &&
                           refused(::mkdir(out + "/m", 0700) == 0) && refused(opens(in("/f", g_run - 1), O_RDONLY)));
    const auto act = [](int bit, bool done) { return done ? bit : 0; }; // in any order: none needs another
    g_acts = act(Read, opens(in("/f"), O_RDONLY)) | act(List, opens(in("/d"), O_RDONLY | O_DIRECTORY)) |
             act(Write, opens(in("/f"), O_WRONLY)) | act(Create, opens(in("/new"), O_WRONLY | O_CREAT | O_EXCL)) |
             act(Truncate, ::truncate(in("/f"), 0) == 0) | act(Remove, ::unlink(in("/g")) == 0) |
             act(Rmdir, ::rmdir(in("/e")) == 0) | act(Mkdir, ::mkdir(in("/m"), 0700) == 0) |
             act(Rename, ::rename(in("/d/h"), in("/h")) == 0) | act(Outside, outside);
}

// Each permission's rights below the root, from a client's thread of the real engine; a root for each run, so that a
// thread of the run before fails if it serves; the start line, and the start, without Landlock (the probe simulated).
void TestPaths::kernelConfinement()
{
    const int abi = CLandlockRuleset::Abi();
    if (abi < 3)
        QSKIP("This kernel offers no Landlock ABI 3.");
    constexpr int Down = 1, Up = 2, Del = 4, Ren = 8, Mkd = 16, Every = 31;
    const struct
    {
        int permissions, abi, acts;
        const char* off; // why the start line says the confinement is off
    } rows[] = {
        {0, -1, 0, nullptr},
        {Down, -1, List | Read, nullptr},
        {Up, -1, List | Write | Create | Truncate, nullptr},
        {Del, -1, List | Remove | Rmdir, nullptr},
        {Ren, -1, List | Remove | Rmdir | Mkdir | Rename, nullptr}, // the kernel has no right to rename alone
        {Mkd, -1, List | Mkdir, nullptr},
        {Every, 0, AllActs, "this kernel has no Landlock"},
        {Down, 2, AllActs, "this kernel's Landlock ABI 2 cannot confine truncation (ABI 3 can)"},
        {Every, -1, AllActs & ~Outside, nullptr},
    };
    TestTree tree("r0/ r0/f out/");
    g_base = tree.Base();
    TestServer server(TestValues());
    CThreadConnection::SetClientStartHook(TryActs);
    for (const auto& row : rows) {
        const QByteArray root = "r" + QByteArray::number(++g_run);
        ::rmdir(tree.Path("out/m")); // made by a run without confinement
        QVERIFY(server.Stop() && tree.Add(QByteArray("out/f %/ %/f=x %/g %/e/ %/d/ %/d/h").replace('%', root)));
        server.Settings().Update([&](CSettings::Values& v) {
            v.SharedFolder = tree.Path(root);
            int* const permissions[] = {&v.AllowDownloadFiles, &v.AllowUploadFiles, &v.AllowDeleteFiles,
                                        &v.AllowRenameFiles, &v.AllowCreateFolders};
            for (int bit = 0; bit < 5; ++bit)
                *permissions[bit] = (row.permissions >> bit) & 1;
        });
        CLandlockRuleset::SimulateAbi(row.abi);
        FtpClient client;
        QVERIFY(server.Start() && client.ConnectAndGreet(server.Port()).startsWith("220 "));
        QCOMPARE(g_acts.load(), row.acts);
        const QByteArrayList lines = server.Monitor().Lines();
        QCOMPARE(lines.value(lines.lastIndexOf("***** FTP SERVER ONLINE *****") + 1),
                 row.off ? "Kernel confinement off: " + QByteArray(row.off) + "."
                         : "Kernel confinement on (Landlock ABI " + QByteArray::number(abi) +
                               "): each client's thread reaches only the root folder.");
    }
    CThreadConnection::SetClientStartHook(nullptr);
}

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
