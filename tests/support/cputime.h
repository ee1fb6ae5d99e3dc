// The CPU time this process has used, for checks that a wait is not a busy loop.
#pragma once

#include <sys/resource.h>

#include <chrono>

namespace irig::test {

inline std::chrono::microseconds CpuTime() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

}  // namespace irig::test
