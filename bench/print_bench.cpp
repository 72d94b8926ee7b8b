// The text printer beside a plain anchor: a screen of text in the built-in
// font through print_qzscii, against writing the same glyph bits straight
// into the bitmap with no colour tables, masks, clipping or control codes;
// and a busy frame of sprites and short lines of text.
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

// A busy frame: 2,000 16 x 16 sprites and 200 lines of 40 characters at
// places spread over the screen. Its own function, so that
// bench/callgrind_counts.sh counts exactly one frame.
constexpr int BUSY_SPRITES = 2000, BUSY_LINES = 200, BUSY_COLS = 40;

[[gnu::noinline]] void draw_busy_frame(Process* p, uint8_t* screen, const uint8_t* sprite, const std::string& line) {
    for (int i = 0; i < BUSY_SPRITES; i++)
        draw_spr(sprite, screen, 0, 0, (i * 37) % (W - 16), (i * 23) % (H - 16), 16, 16, 0, 0);
    for (int i = 0; i < BUSY_LINES; i++) {
        hvx_poke32(p, ADDR_PRINT_X, (uint32_t)((i * 53) % (W - 160)));
        hvx_poke32(p, ADDR_PRINT_Y, (uint32_t)((i * 29) % (H - 8)));
        hvx_poke32(p, ADDR_PRINT_HOME_X, 0);
        print_qzscii(screen, line.data(), (int)line.size(), 0, 7 + i % 8);
    }
}

void BM_busy_frame(benchmark::State& state) {
    Process* p = printer_process();
    cproc = p;
    auto& b = screen();
    auto sprite = bench_bitmap(16, 16, 0);
    for (int i = 0; i < 256; i++) sprite[UD_HEADER_SIZE + i] = (uint8_t)(i % 7);
    const std::string line = page_text().substr(0, BUSY_COLS);
    for (auto _ : state) {
        cpu_cycles = 0;
        draw_busy_frame(p, b.data(), sprite.data(), line);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * (BUSY_SPRITES + BUSY_LINES * BUSY_COLS));
    cproc = nullptr;
}
BENCHMARK(BM_busy_frame);

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
