#include "server/ThreadConfinement.h"

#include "core/MonitorColors.h"
#include "core/ServerMonitor.h"
#include "platform/Landlock.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// Truncation by a file's name is confined from this ABI on: an older kernel would let a confined
// thread empty any file of the user's.
constexpr int kMinimumAbi = 3;

using R = CLandlockRuleset;

// What each permission needs of the kernel below the root. Landlock has no right to rename alone:
// a rename removes the entry from one folder and makes it in the other.
quint64 GrantedRights(const CSettings::Values& values)
{
    const std::pair<int, quint64> grants[] = {
        {values.AllowDownloadFiles, R::ReadFile},
        {values.AllowUploadFiles, R::WriteFile | R::MakeFile | R::Truncate},
        {values.AllowDeleteFiles, R::RemoveFile | R::RemoveFolder},
        {values.AllowRenameFiles, R::RemoveFile | R::RemoveFolder | R::MakeFile | R::MakeFolder | R::Refer},
        {values.AllowCreateFolders, R::MakeFolder},
    };
    quint64 rights = 0;
    for (const auto& [allowed, needs] : grants) {
        // Every command looks its names up in their folders, which may spell them in another case.
        if (allowed)
            rights |= needs | R::ReadFolder;
    }
    return rights;
}

QByteArray WhyNot(int abi, int error)
{
    if (abi >= kMinimumAbi)
        return "Landlock refused the rules: " + QByteArray(strerror(error));
    if (abi > 0) {
        return "this kernel's Landlock ABI " + QByteArray::number(abi) + " cannot confine truncation (ABI " +
               QByteArray::number(kMinimumAbi) + " can)";
    }
    if (error == EOPNOTSUPP)
        return "Landlock is turned off in this kernel (its lsm= boot option)";
    return "this kernel has no Landlock";
}

} // namespace

std::shared_ptr<const CLandlockRuleset> ConfineConnectionThreads(const CSettings::Values& values,
                                                                 CServerMonitor& monitor)
{
    // The time zone data is read once for the process: listings' dates need no file then.
    ::tzset();
    const int abi = CLandlockRuleset::Abi();
    int error = errno;
    std::shared_ptr<const CLandlockRuleset> ruleset;
    if (abi >= kMinimumAbi) {
        ruleset = CLandlockRuleset::Make(values.SharedFolder.constData(), GrantedRights(values));
        error = errno;
    }
    if (!ruleset) {
        monitor.AddMonitorText("Kernel confinement off: " + WhyNot(abi, error) + ".", MonitorColor::Amber,
                               MonitorColor::Dark, true);
        return nullptr;
    }
    monitor.AddMonitorText("Kernel confinement on (Landlock ABI " + QByteArray::number(abi) +
                               "): each client's thread reaches only the root folder.",
                           MonitorColor::Green, MonitorColor::Dark, true);
    return ruleset;
}
