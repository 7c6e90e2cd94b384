#include "platform/ServingProcess.h"

#include <csignal>
#include <sys/resource.h>

void PrepareServingProcess()
{
    ::signal(SIGPIPE, SIG_IGN);
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
