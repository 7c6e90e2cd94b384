#include "ProcessCounts.h"

#include <dirent.h>
#include <sys/resource.h>

namespace {

int CountEntries(const char* folder)
{
    DIR* dir = opendir(folder);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

} // namespace

ProcessCounts CountProcess()
{
    return {CountEntries("/proc/self/task"), CountEntries("/proc/self/fd")};
}

long RaiseDescriptorLimit()
{
    rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return long(limit.rlim_cur);
}
