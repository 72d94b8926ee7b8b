// Byte buffer and platform allocator against their plain anchors.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/runtime.h"

namespace {

constexpr int BYTES_10M = 10'000'000;
constexpr size_t FILE_100MB = 100u << 20;

void bm_bwrite_uint8(benchmark::State& state) {
    for (auto _ : state) {
        buffer* b = create_buffer_2(0, 1);
        for (int i = 0; i < BYTES_10M; i++) bwrite_uint8(b, i);
        benchmark::DoNotOptimize(b->data);
        destroy_buffer(b);
    }
    state.SetBytesProcessed(state.iterations() * BYTES_10M);
}
BENCHMARK(bm_bwrite_uint8)->Unit(benchmark::kMillisecond);

void bm_anchor_vector_push_back(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<uint8_t> v;
        for (int i = 0; i < BYTES_10M; i++) v.push_back(uint8_t(i));
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(state.iterations() * BYTES_10M);
}
BENCHMARK(bm_anchor_vector_push_back)->Unit(benchmark::kMillisecond);

// One 100 MB file shared by both loaders, removed at exit.
const std::string& big_file() {
    static std::string path;
    if (path.empty()) {
        path = "/tmp/halvoran_bench_" + std::to_string(getpid()) + ".bin";
        FILE* f = fopen(path.c_str(), "wb");
        std::vector<uint8_t> chunk(1 << 20);
        for (size_t i = 0; i < chunk.size(); i++) chunk[i] = uint8_t(i * 31 + 7);
        for (size_t n = 0; n < FILE_100MB; n += chunk.size()) fwrite(chunk.data(), 1, chunk.size(), f);
        fclose(f);
        atexit([] { unlink(path.c_str()); });
    }
    return path;
}

void bm_create_buffer_from_file(benchmark::State& state) {
    const char* path = big_file().c_str();
    for (auto _ : state) {
        buffer* b = create_buffer_from_file(path);
        if (!b || size_t(b->length) != FILE_100MB) state.SkipWithError("short load");
        destroy_buffer(b);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_100MB));
}
BENCHMARK(bm_create_buffer_from_file)->Unit(benchmark::kMillisecond)->UseRealTime();

void bm_anchor_single_fread(benchmark::State& state) {
    const char* path = big_file().c_str();
    for (auto _ : state) {
        FILE* f = fopen(path, "rb");
        void* block = malloc(FILE_100MB);
        size_t got = fread(block, 1, FILE_100MB, f);
        fclose(f);
        if (got != FILE_100MB) state.SkipWithError("short read");
        benchmark::DoNotOptimize(block);
        free(block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_100MB));
}
BENCHMARK(bm_anchor_single_fread)->Unit(benchmark::kMillisecond)->UseRealTime();

// A batch of live blocks, then all freed: closer to real use than one block
// bouncing in the host's per-thread cache.
constexpr int BATCH = 1024;

// The host heap otherwise trims or maps blocks depending on which benchmark
// ran before; both allocators get the same steady heap.
void steady_heap() {
    static bool done = false;
    if (done) return;
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    done = true;
}

void bm_krio_malloc_free(benchmark::State& state) {
    steady_heap();
    uint32_t size = uint32_t(state.range(0));
    std::vector<void*> blocks(BATCH);
    for (auto _ : state) {
        for (auto& p : blocks) p = krio_malloc(size);
        benchmark::ClobberMemory();
        for (void* p : blocks) krio_free(p);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}
BENCHMARK(bm_krio_malloc_free)->Arg(16)->Arg(64)->Arg(256)->Arg(4096);

void bm_anchor_malloc_free(benchmark::State& state) {
    steady_heap();
    size_t size = size_t(state.range(0));
    std::vector<void*> blocks(BATCH);
    for (auto _ : state) {
        for (auto& p : blocks) p = malloc(size);
        benchmark::ClobberMemory();
        for (void* p : blocks) free(p);
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}
BENCHMARK(bm_anchor_malloc_free)->Arg(16)->Arg(64)->Arg(256)->Arg(4096);

}  // namespace
