#include "net/open_file_limit.h"

#include <sys/resource.h>

uint64_t RaiseOpenFileLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < rl.rlim_max) {
        rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    return static_cast<uint64_t>(rl.rlim_cur);
}
