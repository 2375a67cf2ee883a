// Process limits for tests that open thousands of sockets.
#pragma once

#include <algorithm>
#include <sys/resource.h>

namespace testsupport {

/// Raises the soft descriptor limit towards the hard limit (to at most aWanted) and returns the
/// limit in force afterwards. Child programs started later inherit it.
inline rlim_t RaiseDescriptorLimit(rlim_t aWanted = RLIM_INFINITY) {
    rlimit Limit{};
    if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0) {
        return 0;
    }
    const rlim_t Target = std::min(Limit.rlim_max, aWanted);
    if (Target > Limit.rlim_cur) {
        Limit.rlim_cur = Target;
        ::setrlimit(RLIMIT_NOFILE, &Limit);
        ::getrlimit(RLIMIT_NOFILE, &Limit);
    }
    return Limit.rlim_cur;
}

} // namespace testsupport
