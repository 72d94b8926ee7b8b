// Host time: one monotonic clock that starts with the program.
#include <cerrno>
#include <ctime>

#include "core/core.h"

static uint64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}
static uint64_t time_start = now_ns();

void os_time_init() { time_start = now_ns(); }

uint64_t os_get_time() { return (now_ns() - time_start) / 1000000u; }

uint32_t get_ticks() { return (uint32_t)os_get_time(); }

void os_sleep(uint32_t ms) {
    timespec t{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// The program's own clock and sleep: a frame woken from its sleep touches
// no more code than it must.
uint64_t (*os_clock_ticks)() = os_get_time;
void (*os_clock_delay)(uint32_t) = os_sleep;
uint64_t os_ticks() { return os_clock_ticks(); }
