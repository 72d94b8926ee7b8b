// The text printer beside a plain anchor: a screen of text in the built-in
// font through print_qzscii, against writing the same glyph bits straight
// into the bitmap with no colour tables, masks, clipping or control codes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "gfx/gfx.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 480, H = 270, LINES = 24, COLS = 90;

Process* printer_process() {
    static Process* p = nullptr;
    if (p) return p;
    p = bench_drawer(W, H);
    for (uint32_t i = 0; i < sizeof lil_font_dat; i++) hvx_poke8(p, 0x4000 + i, lil_font_dat[i]);
    hvx_poke8(p, ADDR_FONT_MAIN, 0x40);
    return p;
}

std::vector<uint8_t>& screen() {
    static std::vector<uint8_t> b;
    b = bench_bitmap(W, H);
    return b;
}

std::string page_text() {
    std::string s;
    for (int l = 0; l < LINES; l++) {
        for (int c = 0; c < COLS; c++) s += (char)(33 + (l * COLS + c) % 94);
        s += '\n';
    }
    return s;
}

void BM_print_screen(benchmark::State& state) {
    Process* p = printer_process();
    cproc = p;
    auto& b = screen();
    const std::string text = page_text();
    for (auto _ : state) {
        hvx_poke32(p, ADDR_PRINT_X, 0);
        hvx_poke32(p, ADDR_PRINT_Y, 0);
        hvx_poke32(p, ADDR_PRINT_HOME_X, 0);
        cpu_cycles = 0;
        benchmark::DoNotOptimize(print_qzscii(b.data(), text.data(), (int)text.size(), 0, 7));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * LINES * COLS);
    state.counters["cycles_charged"] = cpu_cycles;
    cproc = nullptr;
}
BENCHMARK(BM_print_screen);

// The same glyph pixels at the same places, written as plain bytes.
void BM_anchor_glyph_bits(benchmark::State& state) {
    auto& b = screen();
    const std::string text = page_text();
    uint8_t* px = ud_data(b.data());
    for (auto _ : state) {
        int x = 0, y = 0;
        for (unsigned char ch : text) {
            if (ch == '\n') {
                x = 0;
                y += 11;
                continue;
            }
            for (int r = 0; r < 8 && y + r < H; r++) {
                uint32_t bits = lil_font_dat[ch * 8 + r];
                while (bits) {
                    int i = __builtin_ctz(bits);
                    bits &= bits - 1;
                    if (x + i < W) px[(y + r) * W + x + i] = 7;
                }
            }
            int nib = (lil_font_dat[ch / 2] >> ((ch & 1) * 4)) & 7;
            x += 5 + (nib < 4 ? nib : nib - 8);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * LINES * COLS);
}
BENCHMARK(BM_anchor_glyph_bits);

}  // namespace
