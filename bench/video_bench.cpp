// Frame hot paths, each beside its anchor: the compositor against a flat
// palette lookup over the same bytes, the enlargement against the plain
// per-pixel loop making the same picture, the 720p filter against a memcpy
// of its output (not the same work: the least any path that writes that
// frame costs), the display copy against memcpy and a byte loop, and the
// idle frame of our system ROM (kernel and window manager slices plus
// compose).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

// A fresh process table with one process whose display holds noise (each
// benchmark makes its own: a process table does not outlive the next one).
Process* display_process() {
    Process* p = bench_process("", "wm", "/ram/wm.lua");
    std::mt19937 rng(1);
    for (int i = 0; i < 64; i++) hvx_poke8(p, ADDR_REMAP + i, (uint8_t)i);
    for (int i = 0; i < 256; i++) hvx_poke32(p, ADDR_PALETTE + 4 * i, rng() & 0xFFFFFF);
    for (int i = 0; i < 68; i++) hvx_poke8(p, ADDR_LINE_SEL + i, (uint8_t)rng());
    for (int i = 0; i < HVX_DISPLAY_PIXELS; i++) hvx_poke8(p, ADDR_DISPLAY + i, (uint8_t)rng());
    return p;
}

// Every row looked up (arg 1), or a display unchanged since the last frame,
// whose rows are kept (arg 0; the anchor for it is the memcpy of its bytes).
void BM_Compositor(benchmark::State& state) {
    Process* p = display_process();
    const bool every_row = state.range(0);
    for (auto _ : state) {
        if (every_row) forget_composed_rows();
        benchmark::DoNotOptimize(compose_process_video(p));
    }
    state.SetBytesProcessed(state.iterations() * HVX_DISPLAY_PIXELS);
    processes_init();
}
BENCHMARK(BM_Compositor)->Arg(1)->Arg(0);

// Anchor: one 256-entry lookup per byte of one contiguous buffer.
void BM_Anchor_FlatLookup(benchmark::State& state) {
    std::vector<uint8_t> src(HVX_DISPLAY_PIXELS);
    std::vector<uint32_t> dst(HVX_DISPLAY_PIXELS);
    uint32_t pal[256];
    std::mt19937 rng(1);
    for (auto& v : src) v = (uint8_t)rng();
    for (auto& v : pal) v = rng();
    for (auto _ : state) {
        for (int i = 0; i < HVX_DISPLAY_PIXELS; i++) dst[i] = pal[src[i]];
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * HVX_DISPLAY_PIXELS);
}
BENCHMARK(BM_Anchor_FlatLookup);

void BM_Anchor_Memcpy(benchmark::State& state) {
    const size_t n = (size_t)state.range(0);
    std::vector<uint8_t> a(n, 1), b(n);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), n);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
}
// 480 x 270 bytes (the display copy), 1280 x 720 pixels (the 720p filter).
BENCHMARK(BM_Anchor_Memcpy)->Arg(129600)->Arg(3686400);

void BM_Enlarge(benchmark::State& state) {
    const int k = (int)state.range(0);
    std::vector<uint32_t> src(HVX_DISPLAY_PIXELS, 0x123456), dst((size_t)BIG_SRC_W * BIG_SRC_H);
    for (auto _ : state) {
        enlarge_nearest(src.data(), 480, 270, k, dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)HVX_DISPLAY_PIXELS * k * k * 4);
}
BENCHMARK(BM_Enlarge)->Arg(2)->Arg(3)->Arg(4);

// Anchor: the same picture, every output pixel looked up on its own.
void BM_Anchor_EnlargeLoop(benchmark::State& state) {
    const int k = (int)state.range(0);
    const int w = 480 * k, h = 270 * k;
    std::vector<uint32_t> src(HVX_DISPLAY_PIXELS, 0x123456), dst((size_t)BIG_SRC_W * BIG_SRC_H);
    for (auto _ : state) {
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) dst[(size_t)y * w + x] = src[(size_t)(y / k) * 480 + x / k];
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)HVX_DISPLAY_PIXELS * k * k * 4);
}
BENCHMARK(BM_Anchor_EnlargeLoop)->Arg(2)->Arg(3)->Arg(4);

void BM_Filter720p(benchmark::State& state) {
    std::vector<uint32_t> src(HVX_DISPLAY_PIXELS, 0x123456), dst((size_t)BLIT_720P_W * BLIT_720P_H);
    for (auto _ : state) {
        filter_3_to_8(src.data(), dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)BLIT_720P_W * BLIT_720P_H * 4);
}
BENCHMARK(BM_Filter720p);

void BM_BlitFromRam(benchmark::State& state) {
    Process* p = display_process();
    hvx_poke16(p, ADDR_DISPLAY_W, 480);
    const uint8_t mask = (uint8_t)state.range(0);
    if (mask) {  // about 10 % of bytes carry a mask bit
        std::mt19937 rng(2);
        for (int i = 0; i < HVX_DISPLAY_PIXELS; i++)
            hvx_poke8(p, ADDR_DISPLAY + i, rng() % 10 == 0 ? (uint8_t)(rng() | mask) : (uint8_t)(rng() & ~mask));
    }
    std::vector<uint8_t> ud(UD_HEADER_SIZE + HVX_DISPLAY_PIXELS);
    ud_write_header(ud.data(), UTYPE_U8, 2, 480, 270);
    cproc = nullptr;
    for (auto _ : state) benchmark::DoNotOptimize(blit_from_ram(p, ADDR_DISPLAY, ud.data(), 0, 0, 0, 0, 480, 270, mask));
    state.SetBytesProcessed(state.iterations() * HVX_DISPLAY_PIXELS);
    processes_init();
}
BENCHMARK(BM_BlitFromRam)->Arg(0)->Arg(0x40);

// Anchor of the masked copy: the plain byte loop.
void BM_Anchor_MaskedByteLoop(benchmark::State& state) {
    std::vector<uint8_t> src(HVX_DISPLAY_PIXELS), dst(HVX_DISPLAY_PIXELS);
    std::mt19937 rng(2);
    for (auto& v : src) v = rng() % 10 == 0 ? (uint8_t)(rng() | 0x40) : (uint8_t)(rng() & ~0x40);
    for (auto _ : state) {
        for (int i = 0; i < HVX_DISPLAY_PIXELS; i++)
            if (src[i] & 0x40) dst[i] = src[i];
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * HVX_DISPLAY_PIXELS);
}
BENCHMARK(BM_Anchor_MaskedByteLoop);

// The idle frame of our system ROM: the kernel's slice (which runs the window
// manager's) and the compose of the window manager's display, with no input:
// host CPU time per frame.
void BM_IdleWindowManagerFrame(benchmark::State& state) {
    Process* root = bench_boot_our_kernel();
    if (!root) {
        state.SkipWithError("kernel or window manager not running");
        return;
    }
    int64_t composed = 0;
    for (auto _ : state) composed += bench_idle_frame(root);
    // A compose every frame, or the figure would not be a frame's.
    state.counters["composed"] = benchmark::Counter((double)composed, benchmark::Counter::kAvgIterations);
    processes_init();
}
BENCHMARK(BM_IdleWindowManagerFrame)->MeasureProcessCPUTime();

}  // namespace
