// Host time: one monotonic clock that starts with the program.
#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/platform.h"

using host_clock = std::chrono::steady_clock;
static host_clock::time_point time_start = host_clock::now();

void os_time_init() { time_start = host_clock::now(); }

uint64_t os_get_time() {
    auto d = host_clock::now() - time_start;
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

uint32_t get_ticks() { return (uint32_t)os_get_time(); }

void os_sleep(uint32_t ms) {
    timespec t{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
