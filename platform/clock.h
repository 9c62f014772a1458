// Seconds on a wall clock, for the kernels' timings and for sizing their blocks of work. Only
// differences matter; a clock set back meanwhile gives a difference of 0, never a negative one.
// The C++ runtime's clocks would tie the package's modules to a newer C++ runtime than the
// oldest Linux its wheels are built for, hence the platform's own.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/time.h>
#endif

namespace cellprox {

inline double clock_seconds() {
#ifdef _WIN32
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + 1e-6 * static_cast<double>(now.tv_usec);
#endif
}

inline double seconds_since(double start) {
    const double elapsed = clock_seconds() - start;
    return elapsed > 0.0 ? elapsed : 0.0;
}

}  // namespace cellprox
