// Spans and rectangles beside plain anchors: every draw_hline path over the
// 270 rows of a 480-pixel bitmap, and rectfill of the whole 480x270 bitmap,
// against memset, a masked byte loop and a per-byte table lookup of the same
// bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/bench_support.h"
#include "gfx/gfx.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 480, H = 270;

std::vector<uint8_t>& bitmap(int width) {
    static std::vector<uint8_t> b;
    b = bench_bitmap(width, H);
    std::mt19937 rng(3);
    for (size_t i = UD_HEADER_SIZE; i < b.size(); i++) b[i] = (uint8_t)rng();
    return b;
}

// Masks and pattern of one path; the box covers the whole bitmap.
void setup(int width, uint8_t rm, uint8_t wm, uint8_t tm, uint8_t pattern) {
    Process* p = bench_drawer(W, H);
    cproc = p;
    hvx_poke8(p, ADDR_READ_MASK, rm);
    hvx_poke8(p, ADDR_WRITE_MASK, wm);
    hvx_poke8(p, ADDR_SHAPE_TARGET_MASK, tm);
    for (int k = 0; k < 8; k++) hvx_poke8(p, ADDR_FILL_PATTERN + k, pattern);
    p->clip_box[0] = 0, p->clip_box[1] = width, p->clip_box[2] = 0, p->clip_box[3] = H;
}

void run_spans(benchmark::State& state, int width, uint8_t rm, uint8_t wm, uint8_t tm, uint8_t pattern,
               int colour) {
    auto& b = bitmap(width);
    setup(width, rm, wm, tm, pattern);
    for (auto _ : state) {
        for (int y = 0; y < H; y++) benchmark::DoNotOptimize(draw_hline(b.data(), 0, width - 1, y, colour));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)width * H);
    cproc = nullptr;
}

void BM_hline_page0(benchmark::State& s) { run_spans(s, W, 63, 63, 63, 0, 7); }
void BM_hline_page0_pattern(benchmark::State& s) { run_spans(s, W, 63, 63, 63, 0x5A, 0x0807); }
void BM_hline_full_rule(benchmark::State& s) { run_spans(s, W, 255, 255, 255, 0, 0x47); }
void BM_hline_full_rule_pattern(benchmark::State& s) { run_spans(s, W, 255, 255, 255, 0x5A, 0x8747); }
void BM_hline_no_dest_fill(benchmark::State& s) { run_spans(s, W, 63, 255, 0, 0, 7); }
void BM_hline_no_dest_masked_pattern(benchmark::State& s) { run_spans(s, W, 63, 63, 0, 0x5A, 0x0807); }
void BM_hline_no_dest_unaligned(benchmark::State& s) { run_spans(s, W - 1, 63, 63, 0, 0x5A, 0x0807); }
BENCHMARK(BM_hline_page0);
BENCHMARK(BM_hline_page0_pattern);
BENCHMARK(BM_hline_full_rule);
BENCHMARK(BM_hline_full_rule_pattern);
BENCHMARK(BM_hline_no_dest_fill);
BENCHMARK(BM_hline_no_dest_masked_pattern);
BENCHMARK(BM_hline_no_dest_unaligned);

void run_rect(benchmark::State& state, uint8_t rm, uint8_t wm, uint8_t tm, int colour) {
    auto& b = bitmap(W);
    setup(W, rm, wm, tm, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rectfill(b.data(), 0, 0, W - 1, H - 1, colour));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)W * H);
    cproc = nullptr;
}

void BM_rectfill_page0(benchmark::State& s) { run_rect(s, 63, 63, 63, 7); }
void BM_rectfill_full_rule(benchmark::State& s) { run_rect(s, 255, 255, 255, 0x47); }
void BM_rectfill_no_dest(benchmark::State& s) { run_rect(s, 63, 63, 0, 7); }
void BM_rectfill_raw(benchmark::State& state) {
    auto& b = bitmap(W);
    setup(W, 63, 63, 63, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rectfill_raw(b.data(), 0, 0, W - 1, H - 1, 7));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)W * H);
    cproc = nullptr;
}
BENCHMARK(BM_rectfill_page0);
BENCHMARK(BM_rectfill_full_rule);
BENCHMARK(BM_rectfill_no_dest);
BENCHMARK(BM_rectfill_raw);

// Anchors over the same 480x270 bytes, row by row, from the same contents.
std::vector<uint8_t> random_pixels() {
    std::vector<uint8_t> px((size_t)W * H);
    std::mt19937 rng(3);
    for (auto& v : px) v = (uint8_t)rng();
    return px;
}

void BM_anchor_memset(benchmark::State& state) {
    std::vector<uint8_t> px((size_t)W * H);
    for (auto _ : state) {
        for (int y = 0; y < H; y++) std::memset(px.data() + (size_t)y * W, 7, W);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)W * H);
}
void BM_anchor_masked_byte_loop(benchmark::State& state) {
    std::vector<uint8_t> px = random_pixels();
    for (auto _ : state) {
        for (int y = 0; y < H; y++) {
            uint8_t* row = px.data() + (size_t)y * W;
            for (int x = 0; x < W; x++) row[x] = (uint8_t)((row[x] & 0xC0) | 7);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)W * H);
}
void BM_anchor_table_lookup(benchmark::State& state) {
    std::vector<uint8_t> px = random_pixels();
    uint8_t table[256];
    for (int i = 0; i < 256; i++) table[i] = (uint8_t)(i * 7 + 1);
    for (auto _ : state) {
        for (int y = 0; y < H; y++) {
            uint8_t* row = px.data() + (size_t)y * W;
            for (int x = 0; x < W; x++) row[x] = table[row[x]];
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)W * H);
}
// The shape rule's page-0 case as a plain loop: every pixel through the
// same colour table row and masks that rectfill of colour 7 uses.
void BM_anchor_colour_table_loop(benchmark::State& state) {
    std::vector<uint8_t> px = random_pixels();
    const uint8_t* row7 = default_coltabs + 7 * 64;
    const uint32_t wm = 63, keep = ~wm & 0xFF;
    for (auto _ : state) {
        for (int y = 0; y < H; y++) {
            uint8_t* row = px.data() + (size_t)y * W;
            for (int x = 0; x < W; x++) row[x] = (uint8_t)((row[x] & keep) | (row7[row[x] & 63] & wm));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)W * H);
}
BENCHMARK(BM_anchor_memset);
BENCHMARK(BM_anchor_masked_byte_loop);
BENCHMARK(BM_anchor_table_lookup);
BENCHMARK(BM_anchor_colour_table_loop);

}  // namespace
