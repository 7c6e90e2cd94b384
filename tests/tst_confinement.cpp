// Catches: a connection thread that reaches outside the root, or does below it more than the permissions grant, once
// a path gets past the path rules; a thread of an earlier run serving a later one; no start line, or no start, where
// the kernel has no Landlock.

#include "FtpClient.h"
#include "TestFiles.h"
#include "TestServer.h"

#include "connection/ThreadConnection.h"
#include "platform/Landlock.h"

#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestConfinement : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void kernelRefusesWhatPathsLetThrough();
};

namespace {

enum Act
{
    Read = 1,
    List = 2,
    Write = 4,
    Create = 8,
    Truncate = 16,
    Remove = 32,
    RemoveFolder = 64,
    MakeFolder = 128,
    Rename = 256,
    Outside = 512,
    All = 1023
};

QByteArray g_base;           // set before any server starts
std::atomic<int> g_root{0};  // the run's root: g_base/r<n>; the run before had r<n-1>
std::atomic<int> g_done{-1}; // the acts the last client's thread could do

// Runs on each client's thread: every act a fault in the path rules could lead to, as the kernel decides.
void TryActs()
{
    const QByteArray root = g_base + "/r" + QByteArray::number(g_root.load()) + '/';
    const auto opens = [](const QByteArray& path, int flags) {
        return CUniqueFd(::open(path.constData(), flags | O_CLOEXEC, 0600)).IsValid();
    };
    const auto refused = [](bool done) { return !done && errno == EACCES; };
    const QByteArray out = g_base + "/out/", before = g_base + "/r" + QByteArray::number(g_root.load() - 1) + "/f";
    const std::pair<Act, bool> acts[] = {
        {Read, opens(root + "f", O_RDONLY)},
        {List, opens(root + "d", O_RDONLY | O_DIRECTORY)},
        {Write, opens(root + "f", O_WRONLY)},
        {Create, opens(root + "new", O_WRONLY | O_CREAT | O_EXCL)},
        {Truncate, ::truncate((root + "f").constData(), 0) == 0},
        {Remove, ::unlink((root + "g").constData()) == 0},
        {RemoveFolder, ::rmdir((root + "e").constData()) == 0},
        {MakeFolder, ::mkdir((root + "m").constData(), 0700) == 0},
        {Rename, ::rename((root + "d/h").constData(), (root + "h").constData()) == 0},
        {Outside, !(refused(opens(out + "f", O_RDONLY)) && refused(opens(out + "f", O_WRONLY)) &&
                    refused(opens(out, O_RDONLY | O_DIRECTORY)) && refused(::unlink((out + "f").constData()) == 0) &&
                    refused(::mkdir((out + "m").constData(), 0700) == 0) && refused(opens(before, O_RDONLY)))},
    };
    int done = 0;
    for (const auto& [act, succeeded] : acts)
        done |= succeeded ? act : 0;
    g_done = done;
}

} // namespace

void TestConfinement::kernelRefusesWhatPathsLetThrough()
{
    const int abi = CLandlockRuleset::Abi();
    if (abi < 3)
        QSKIP("This kernel offers no Landlock ABI 3.");
    const QByteArray on = "Kernel confinement on (Landlock ABI " + QByteArray::number(abi) +
                          "): each client's thread reaches only the root folder.";
    constexpr int Down = 1, Up = 2, Del = 4, Ren = 8, Mkd = 16;
    // Permissions, the ABI the probe finds (-1: the kernel's), the acts the kernel lets through, the start line.
    const struct
    {
        int permissions, abi, acts;
        QByteArray line;
    } rows[] = {
        {0, -1, 0, on},
        {Down, -1, List | Read, on},
        {Up, -1, List | Write | Create | Truncate, on},
        {Del, -1, List | Remove | RemoveFolder, on},
        {Ren, -1, List | Remove | RemoveFolder | MakeFolder | Rename, on}, // no right to rename alone
        {Mkd, -1, List | MakeFolder, on},
        {Down | Up | Del | Ren | Mkd, 0, All, "Kernel confinement off: this kernel has no Landlock."},
        {Down, 2, All, "Kernel confinement off: this kernel's Landlock ABI 2 cannot confine truncation (ABI 3 can)."},
        {Down | Up | Del | Ren | Mkd, -1, All & ~Outside, on},
    };
    TestTree tree("r0/ r0/f out/");
    g_base = tree.Base();
    TestServer server(TestValues());
    CThreadConnection::SetClientStartHook(TryActs);
    for (const auto& row : rows) {
        const QByteArray root = "r" + QByteArray::number(++g_root);
        ::rmdir(tree.Path("out/m").constData()); // made by a run without confinement
        QVERIFY(server.Stop() && tree.Add(QByteArray("out/f %/ %/f=x %/g %/e/ %/d/ %/d/h").replace('%', root)));
        const auto on = [&row](int permission) { return int((row.permissions & permission) != 0); };
        server.Settings().Update([&](CSettings::Values& v) {
            v.SharedFolder = tree.Path(root);
            v.AllowDownloadFiles = on(Down);
            v.AllowUploadFiles = on(Up);
            v.AllowDeleteFiles = on(Del);
            v.AllowRenameFiles = on(Ren);
            v.AllowCreateFolders = on(Mkd);
        });
        CLandlockRuleset::SimulateAbi(row.abi);
        FtpClient client;
        QVERIFY(server.Start() && client.ConnectAndGreet(server.Port()).startsWith("220 "));
        QCOMPARE(g_done.load(), row.acts);
        const QByteArrayList lines = server.Monitor().Lines();
        QCOMPARE(lines.value(lines.lastIndexOf("***** FTP SERVER ONLINE *****") + 1), row.line);
    }
    CThreadConnection::SetClientStartHook(nullptr);
}

QTEST_GUILESS_MAIN(TestConfinement)
#include "tst_confinement.moc"
