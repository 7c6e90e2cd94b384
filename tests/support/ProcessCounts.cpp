#include "ProcessCounts.h"

#include <dirent.h>

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
