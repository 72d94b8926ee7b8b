// The log line against the plain stdio it is built on; the per-user folder
// lookup once made.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "runtime/runtime.h"

static std::string bench_home() {
    static std::string dir;
    if (dir.empty()) {
        char t[] = "/tmp/hvxbench-XXXXXX";
        dir = mkdtemp(t);
        atexit([] { std::filesystem::remove_all(dir); });
        snprintf(config.home, sizeof config.home, "%s", dir.c_str());
        krio_reset_path_cache();
    }
    return dir;
}

static void anchor_fprintf_fflush(benchmark::State& state) {
    FILE* f = fopen((bench_home() + "/anchor.txt").c_str(), "w");
    int64_t i = 0;
    for (auto _ : state) {
        fprintf(f, "[%06lld %03lld] %s", (long long)os_get_time(), 0LL, i++ & 1 ? "pong line\n" : "ping line\n");
        fflush(f);
    }
    fclose(f);
}
BENCHMARK(anchor_fprintf_fflush);

static void krio_debug_line(benchmark::State& state) {
    bench_home();
    krio_debug_open();
    int64_t i = 0;
    for (auto _ : state) krio_debug(i++ & 1 ? "pong line\n" : "ping line\n");
    krio_debug_close();
}
BENCHMARK(krio_debug_line);

static void krio_debug_repeat(benchmark::State& state) {
    bench_home();
    krio_debug_open();
    for (auto _ : state) krio_debug("the same line\n");
    krio_debug_close();
}
BENCHMARK(krio_debug_repeat);

static void appdata_path(benchmark::State& state) {
    bench_home();
    char out[HVX_PATH_MAX];
    for (auto _ : state) benchmark::DoNotOptimize(krio_prefix_with_appdata_path("halvoran_config.txt", out, sizeof out));
}
BENCHMARK(appdata_path);
