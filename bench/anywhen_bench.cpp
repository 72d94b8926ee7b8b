// The file history store against plain anchors: 1,000 writes of distinct
// small files with the history on and off; the day snapshot of a 1,000-file
// tree against reading those files; a fetch of a past version from a
// 10,000-line day log with the month filter warm and cold, against a plain
// line scan of the same log; the month filter tests of a path warm and cold.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "platform/platform.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;

int64_t g_now = 0;
int64_t bench_clock() { return g_now; }

std::string home() { return bench_scratch() + "/home"; }
std::string drive() { return bench_scratch() + "/drive"; }

// A home and a drive of their own, the store's clock at 2025-05-03 noon.
void setup(bool on) {
    fs::create_directories(home());
    fs::create_directories(drive());
    snprintf(config.home, sizeof config.home, "%s", home().c_str());
    krio_reset_path_cache();
    pfile_init();
    pfile_reset();
    mount_host_path("/", drive().c_str());
    mount_ram_folder("/ram");
    g_now = 1746273600;
    anywhen_set_clock(bench_clock);
    config.anywhen = on;
    anywhen_open();
}

void teardown() {
    anywhen_close();
    config.anywhen = 0;
    pfile_reset();
    std::error_code ec;
    fs::remove_all(home(), ec);
    fs::remove_all(drive(), ec);
}

void put(const std::string& path, const std::string& text) {
    pfile* f = pfopen(path.c_str(), "w");
    pfwrite(text.data(), 1, (int64_t)text.size(), f);
    pfclose(f);
}

// 1,000 writes of distinct small files through the file layer; arg 1 with
// the history on, arg 0 (the anchor) with it off.
void bm_history_writes_1000(benchmark::State& state) {
    setup(state.range(0) != 0);
    fs::create_directories(drive() + "/w");
    int64_t round = 0;
    for (auto _ : state) {
        round++;
        for (int i = 0; i < 1000; i++)
            put("/w/f" + std::to_string(i) + ".txt", "round " + std::to_string(round) + bench_noise(200, (uint32_t)i));
        g_now += 1;
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    teardown();
}
BENCHMARK(bm_history_writes_1000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void make_tree() {
    for (int d = 0; d < 10; d++) {
        fs::create_directories(drive() + "/t" + std::to_string(d));
        for (int i = 0; i < 100; i++) {
            std::string p = drive() + "/t" + std::to_string(d) + "/f" + std::to_string(i) + ".txt";
            FILE* f = fopen(p.c_str(), "wb");
            std::string s = bench_noise(1024, (uint32_t)(d * 100 + i));
            fwrite(s.data(), 1, s.size(), f);
            fclose(f);
        }
    }
}

// The first event of a day snapshots the whole tree: 1,000 files of 1 KB in
// ten folders. Arg 1: their blobs exist (every later day); arg 0: they are
// written (the first day).
void bm_day_snapshot_1000(benchmark::State& state) {
    setup(false);
    make_tree();
    config.anywhen = 1;
    if (state.range(0)) anywhen_event(ANYWHEN_TURNED_ON, nullptr, nullptr);  // the blobs of the first day
    for (auto _ : state) {
        if (!state.range(0)) {
            state.PauseTiming();
            fs::remove_all(home() + "/anywhen/blob");
            state.ResumeTiming();
        }
        g_now += 86400;
        anywhen_event(ANYWHEN_TURNED_ON, nullptr, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    teardown();
}
BENCHMARK(bm_day_snapshot_1000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void bm_anchor_read_tree_1000(benchmark::State& state) {
    setup(false);
    make_tree();
    std::string buf(4096, 0);
    for (auto _ : state) {
        for (int d = 0; d < 10; d++) {
            for (int i = 0; i < 100; i++) {
                std::string p = drive() + "/t" + std::to_string(d) + "/f" + std::to_string(i) + ".txt";
                FILE* f = fopen(p.c_str(), "rb");
                benchmark::DoNotOptimize(fread(buf.data(), 1, buf.size(), f));
                fclose(f);
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    teardown();
}
BENCHMARK(bm_anchor_read_tree_1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A day log of 10,000 lines: a snapshot of 4,000 files in 100 folders, then
// 2,950 writes; the fetched files are written halfway.
std::string make_big_log() {
    setup(false);
    std::string content = "the version fetched";
    char hash[ANYWHEN_HASH_LEN + 1];
    anywhen_hash_hex(content.data(), (int64_t)content.size(), hash);
    fs::create_directories(home() + "/anywhen/blob");
    fs::create_directories(home() + "/anywhen/2025-05");
    buffer* blob = anywhen_blob_encode((const uint8_t*)content.data(), (int64_t)content.size());
    FILE* f = fopen((home() + "/anywhen/blob/" + hash + ".lz4").c_str(), "wb");
    fwrite(blob->data, 1, (size_t)blob->length, f);
    fclose(f);
    destroy_buffer(blob);
    std::string log;
    for (int d = 0; d < 100; d++) log += "^ /f" + std::to_string(d) + "/\n";
    for (int i = 0; i < 4000; i++) log += ": " + std::string(hash) + " /f" + std::to_string(i % 100) + "/" + std::to_string(i) + ".txt\n";
    for (int i = 0; i < 2950; i++) {
        char moment[32];
        snprintf(moment, sizeof moment, "2025-05-03_%02d:%02d:%02d", 1 + i / 3600, i / 60 % 60, i % 60);
        log += "@ " + std::string(moment) + "\n$ " + hash + " /g/" + std::to_string(i) + ".txt\n";
        if (i == 1475) log += "$ " + std::string(hash) + " /docs/.info.vyn\n$ " + hash + " /docs/target.txt\n";
    }
    std::string path = home() + "/anywhen/2025-05/03.log";
    f = fopen(path.c_str(), "wb");
    fwrite(log.data(), 1, log.size(), f);
    fclose(f);
    return path;
}

// Arg 0: a folder's info file with the month filter cold (rebuilt from the
// log first); arg 1: warm; arg 2: a plain file (no filter asked).
void bm_fetch_past_version(benchmark::State& state) {
    make_big_log();
    const char* loc = state.range(0) == 2 ? "/docs/target.txt @ 2025-05-03_23:00:00"
                                          : "/docs/.info.vyn @ 2025-05-03_23:00:00";
    for (auto _ : state) {
        if (state.range(0) == 0) {
            state.PauseTiming();
            invalidate_bloom_by_month(2025, 5);
            state.ResumeTiming();
        }
        buffer* b = anywhen_fetch(loc, strlen(loc));
        if (!b) state.SkipWithError("no version");
        destroy_buffer(b);
    }
    teardown();
}
BENCHMARK(bm_fetch_past_version)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The anchor: one pass over the same log with fgets, looking for the path.
void bm_anchor_line_scan(benchmark::State& state) {
    std::string path = make_big_log();
    char line[1024];
    for (auto _ : state) {
        FILE* f = fopen(path.c_str(), "rb");
        int found = 0;
        while (fgets(line, sizeof line, f))
            found += line[0] == '$' && strcmp(line + ANYWHEN_PATH_COLUMN, "/docs/target.txt\n") == 0;
        fclose(f);
        benchmark::DoNotOptimize(found);
    }
    teardown();
}
BENCHMARK(bm_anchor_line_scan)->Unit(benchmark::kMicrosecond);

// The month filter test of a path for every month up to now, as the day
// listing by path makes it: arg 0 cold (every filter rebuilt), arg 1 warm.
void bm_month_checks_of_path(benchmark::State& state) {
    make_big_log();
    int64_t n = 0;
    for (auto _ : state) {
        if (state.range(0) == 0) {
            state.PauseTiming();
            anywhen_free_blooms();
            state.ResumeTiming();
        }
        for (int y = ANYWHEN_FIRST_YEAR; y <= 2025; y++)
            for (int m = 1; m <= 12; m++) n += anywhen_check_location_by_month("/g/7.txt", y, m);
    }
    benchmark::DoNotOptimize(n);
    teardown();
}
BENCHMARK(bm_month_checks_of_path)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
