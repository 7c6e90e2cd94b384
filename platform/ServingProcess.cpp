#include "platform/ServingProcess.h"

#include "platform/UniqueFd.h"

#include <csignal>
#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

void PrepareServingProcess()
{
    ::signal(SIGPIPE, SIG_IGN);
    // A file size limit (ulimit -f, systemd's LimitFSIZE=) would end the process at the first
    // upload past it: the write fails with EFBIG instead, as on a full disk, and the client is told.
    ::signal(SIGXFSZ, SIG_IGN);
    // SECURITY: the process holds the account's password and the CryPassword: no core file, which
    // would be written to the working folder (perhaps a served one), and no other process of the
    // user may read its memory.
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

long long SpareDescriptors()
{
    // SECURITY: the process holds the account's password and the CryPassword: no core file, which
    // would be written to the working folder (perhaps a served one), and no other process of the
    // user may read its memory.
    const struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    DIR* open = ::opendir("/proc/self/fd");
    if (!open)
        return -1;
    long long count = -1; // the listing's own descriptor
    while (const dirent* entry = ::readdir(open))
        count += entry->d_name[0] != '.';
    ::closedir(open);
    return (long long)(limit.rlim_cur) - count;
}

bool DescriptorFree()
{
    return CUniqueFd(::eventfd(0, EFD_CLOEXEC)).IsValid();
}
