#include "platform/limits.h"

#include <sys/resource.h>

namespace orvana::platform {

size_t RaiseOpenFileLimit() {
    rlimit l{};
    if (getrlimit(RLIMIT_NOFILE, &l) != 0) return 0;
    if (l.rlim_cur < l.rlim_max) {
        rlimit raised = l;
        raised.rlim_cur = l.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) l = raised;
    }
    return static_cast<size_t>(l.rlim_cur);
}

}  // namespace orvana::platform
