#include "platform/Landlock.h"

#include <linux/landlock.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(CLandlockRuleset::WriteFile == LANDLOCK_ACCESS_FS_WRITE_FILE &&
              CLandlockRuleset::ReadFile == LANDLOCK_ACCESS_FS_READ_FILE &&
              CLandlockRuleset::ReadFolder == LANDLOCK_ACCESS_FS_READ_DIR &&
              CLandlockRuleset::RemoveFolder == LANDLOCK_ACCESS_FS_REMOVE_DIR &&
              CLandlockRuleset::RemoveFile == LANDLOCK_ACCESS_FS_REMOVE_FILE &&
              CLandlockRuleset::MakeFolder == LANDLOCK_ACCESS_FS_MAKE_DIR &&
              CLandlockRuleset::MakeFile == LANDLOCK_ACCESS_FS_MAKE_REG &&
              CLandlockRuleset::Refer == LANDLOCK_ACCESS_FS_REFER);

namespace {

std::atomic<int> g_simulatedAbi{-1};

// The file-system rights each ABI knows: every one of them is handled, so that what the ruleset does
// not grant is refused. Headers may be older than the kernel: the later bits are the kernel's own.
quint64 HandledRights(int abi)
{
    constexpr quint64 kAbi1 = (1ULL << 13) - 1;  // execute .. make symbolic link
    constexpr quint64 kIoctlDevice = 1ULL << 15; // ABI 5
    quint64 rights = kAbi1;
    if (abi >= 2)
        rights |= CLandlockRuleset::Refer;
    if (abi >= 3)
        rights |= CLandlockRuleset::Truncate;
    if (abi >= 5)
        rights |= kIoctlDevice;
    return rights;
}

} // namespace

int CLandlockRuleset::Abi()
{
    if (const int simulated = g_simulatedAbi.load(); simulated >= 0) {
        errno = ENOSYS;
        return simulated;
    }
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : int(abi);
}

void CLandlockRuleset::SimulateAbi(int abi)
{
    g_simulatedAbi = abi;
}

std::shared_ptr<const CLandlockRuleset> CLandlockRuleset::Make(const char* folder, quint64 rights)
{
    const int abi = Abi();
    if (abi <= 0)
        return nullptr;
    landlock_ruleset_attr attributes = {};
    attributes.handled_access_fs = HandledRights(abi);
    CUniqueFd ruleset(int(::syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0)));
    if (!ruleset.IsValid())
        return nullptr;
    landlock_path_beneath_attr beneath = {};
    beneath.allowed_access = rights & attributes.handled_access_fs;
    const CUniqueFd place(::open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC));
    beneath.parent_fd = place.Get();
    // No rule where nothing is granted (the kernel refuses an empty one) or no folder is there.
    if (place.IsValid() && beneath.allowed_access &&
        ::syscall(SYS_landlock_add_rule, ruleset.Get(), LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) != 0)
        return nullptr;
    return std::make_shared<const CLandlockRuleset>(std::move(ruleset));
}

bool CLandlockRuleset::RestrictThisThread() const
{
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::syscall(SYS_landlock_restrict_self, m_fd.Get(), 0) == 0;
}
