#include "unit/filelimit.h"

#include <QtGlobal>
#include <algorithm>
#include <climits>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace irig::unit {

namespace {

constexpr long kKeptForTheProgram = 64;
constexpr long kFilesAUnit = 2;

}  // namespace

long RaiseFileLimit() {
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > LONG_MAX
               ? LONG_MAX
               : static_cast<long>(limit.rlim_cur);
#else
    return LONG_MAX;
#endif
}

int UnitsOpenAtOnce(long files) {
    return static_cast<int>(
        std::clamp((files - kKeptForTheProgram) / kFilesAUnit, 1L, static_cast<long>(INT_MAX)));
}

}  // namespace irig::unit
