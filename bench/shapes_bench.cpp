// Sprites, lines and blits beside plain anchors doing the same work: 16x16
// sprites against memcpy of their rows, lines against a plain 16.16 walk
// writing bytes, blits against memmove; and the graphics calls' batch forms
// per item.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 480, H = 270, SPRITES = 400;

// Sprite positions spread over the screen, all inside it.
int sprite_x(int i) { return (i * 37) % (W - 16); }
int sprite_y(int i) { return (i * 23) % (H - 16); }

void run_sprites(benchmark::State& state, bool flip, bool pattern) {
    cproc = bench_drawer(W, H);
    for (int k = 0; k < 8; k++) hvx_poke8(cproc, ADDR_FILL_PATTERN + k, pattern ? 0x5A : 0);
    auto screen = bench_bitmap(W, H, 0), sprite = bench_bitmap(16, 16, 0);
    for (int i = 0; i < 256; i++) sprite[UD_HEADER_SIZE + i] = (uint8_t)(i % 7);
    for (auto _ : state) {
        for (int i = 0; i < SPRITES; i++)
            benchmark::DoNotOptimize(
                draw_spr(sprite.data(), screen.data(), 0, 0, sprite_x(i), sprite_y(i), 16, 16, flip, flip));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * SPRITES);
    cproc = nullptr;
}
void BM_spr_16x16(benchmark::State& s) { run_sprites(s, false, false); }
void BM_spr_16x16_flipped(benchmark::State& s) { run_sprites(s, true, false); }
void BM_spr_16x16_pattern(benchmark::State& s) { run_sprites(s, false, true); }
BENCHMARK(BM_spr_16x16);
BENCHMARK(BM_spr_16x16_flipped);
BENCHMARK(BM_spr_16x16_pattern);

void BM_anchor_spr_rows_memcpy(benchmark::State& state) {
    std::vector<uint8_t> screen((size_t)W * H), sprite(256, 3);
    for (auto _ : state) {
        for (int i = 0; i < SPRITES; i++)
            for (int r = 0; r < 16; r++)
                std::memcpy(&screen[(size_t)(sprite_y(i) + r) * W + sprite_x(i)], &sprite[r * 16], 16);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * SPRITES);
}
BENCHMARK(BM_anchor_spr_rows_memcpy);

// 540 lines corner to corner and across, about 480 pixels each; half of them
// start outside the screen and are clipped.
struct segment {
    int x0, y0, x1, y1;
};
std::vector<segment> lines() {
    std::vector<segment> v;
    for (int i = 0; i < H; i++) {
        v.push_back({0, i, W - 1, H - 1 - i});
        v.push_back({-200, i - 100, W + 200, i + 100});
    }
    return v;
}

void BM_line(benchmark::State& state) {
    cproc = bench_drawer(W, H);
    for (int k = 0; k < 8; k++) hvx_poke8(cproc, ADDR_FILL_PATTERN + k, 0);
    auto screen = bench_bitmap(W, H, 0);
    const auto segs = lines();
    int64_t pixels = 0;
    for (auto _ : state) {
        for (const segment& s : segs) pixels += draw_line(screen.data(), s.x0, s.y0, s.x1, s.y1, 7);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(pixels);
    cproc = nullptr;
}
BENCHMARK(BM_line);

// The same pixels by a walk that tests every pixel against the screen and
// writes the colour as it is.
void BM_anchor_line_walk(benchmark::State& state) {
    std::vector<uint8_t> screen((size_t)W * H);
    const auto segs = lines();
    int64_t pixels = 0;
    for (auto _ : state) {
        for (const segment& s : segs) {
            const int64_t dx = s.x1 - s.x0, dy = s.y1 - s.y0, n = std::max(std::abs(dx), std::abs(dy));
            int64_t X = (int64_t)s.x0 * 65536 + 32768, Y = (int64_t)s.y0 * 65536 + 32768;
            const int64_t sx = dx * 65536 / n, sy = dy * 65536 / n;
            for (int64_t t = 0; t <= n; t++, X += sx, Y += sy) {
                const int64_t x = X >> 16, y = Y >> 16;
                if (x >= 0 && x < W && y >= 0 && y < H) {
                    screen[(size_t)(y * W + x)] = 7;
                    pixels++;
                }
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(pixels);
}
BENCHMARK(BM_anchor_line_walk);

// A 400x200 block moved within the screen by one pixel, row by row.
void BM_blit_overlapping(benchmark::State& state) {
    cproc = bench_drawer(W, H);
    auto screen = bench_bitmap(W, H, 5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(blit(screen.data(), screen.data(), 10, 10, 11, 11, 400, 200));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 400 * 200);
    cproc = nullptr;
}
BENCHMARK(BM_blit_overlapping);

void BM_anchor_blit_memmove(benchmark::State& state) {
    std::vector<uint8_t> screen((size_t)W * H, 5);
    for (auto _ : state) {
        for (int r = 199; r >= 0; r--) std::memmove(&screen[(size_t)(11 + r) * W + 11], &screen[(size_t)(10 + r) * W + 10], 400);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 400 * 200);
}
BENCHMARK(BM_anchor_blit_memmove);

// Calls fn in a frame of its own with the values from index first up: the
// bottom of the main stack holds the host's anchors and stays as it is.
void call_with(lua_State* L, int (*fn)(lua_State*), int first) {
    const int top = lua_gettop(L);
    lua_pushcfunction(L, fn);
    for (int i = first; i <= top; i++) lua_pushvalue(L, i);
    lua_call(L, top - first + 1, 0);
}

// A new W x H draw target above base (left on the stack); false when it did
// not take, and every call would then return at once.
bool new_draw_target(benchmark::State& state, Process* p, int base) {
    create_userdata(p->L, "u8", 2, W, H, nullptr);
    call_with(p->L, lua54__set_draw_target, base + 1);
    if (p->draw_target && p->draw_target == to_typed_userdata(p->L, base + 1)) return true;
    state.SkipWithError("the draw target was not set");
    return false;
}

// The batch forms per item, through the Lua calls: 262,144 single pixels,
// and as many 4x4 rectangles.
void run_batch(benchmark::State& state, int (*call)(lua_State*), int K) {
    Process* p = bench_drawer(W, H);
    cproc = p;
    lua_State* L = p->L;
    const int base = lua_gettop(L);
    if (!new_draw_target(state, p, base)) return;
    lua_settop(L, base);
    const int64_t items = BATCH_MAX_ITEMS;
    uint8_t* arr = create_userdata(L, "f64", 2, K, items, nullptr);
    double* v = (double*)ud_data(arr);
    for (int64_t i = 0; i < items; i++) {
        const double x = (double)((i * 7) % W), y = (double)((i * 3) % H);
        const double item[5] = {x, y, x + 3, y + 3, (double)(i % 16)};
        std::memcpy(v + i * K, item, sizeof(double) * (size_t)K);
    }
    for (auto _ : state) call_with(L, call, base + 1);
    state.SetItemsProcessed(state.iterations() * items);
    lua_settop(L, base);
    cproc = nullptr;
}
void BM_pset_batch(benchmark::State& s) { run_batch(s, lua54_pset, 3); }
void BM_rectfill_batch_4x4(benchmark::State& s) { run_batch(s, lua54_rectfill, 5); }
BENCHMARK(BM_pset_batch);
BENCHMARK(BM_rectfill_batch_4x4);

}  // namespace

// Ellipses, textured lines and stretched sprites, each beside an anchor doing
// the same work in a plainer way.
namespace {

// A filled circle of radius 100 and a rectangle of the same area (177 x 177).
void BM_circfill_r100(benchmark::State& state) {
    cproc = bench_drawer(W, H);
    for (int k = 0; k < 8; k++) hvx_poke8(cproc, ADDR_FILL_PATTERN + k, 0);
    cproc->inverted_fill = 0;
    auto screen = bench_bitmap(W, H, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(draw_filloval(screen.data(), 140, 35, 340, 235, 7));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 31416);
    cproc = nullptr;
}
BENCHMARK(BM_circfill_r100);

void BM_anchor_rectfill_same_area(benchmark::State& state) {
    cproc = bench_drawer(W, H);
    for (int k = 0; k < 8; k++) hvx_poke8(cproc, ADDR_FILL_PATTERN + k, 0);
    auto screen = bench_bitmap(W, H, 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(rectfill(screen.data(), 151, 46, 327, 222, 7));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 177 * 177);
    cproc = nullptr;
}
BENCHMARK(BM_anchor_rectfill_same_area);

// A floor: 135 rows of 480 pixels, each row at its own depth (u and v given
// times w), from a 64 x 64 bitmap or from a 16 x 16 map of 8 x 8 sprites.
void run_floor(benchmark::State& state, bool exact, bool map) {
    cproc = bench_drawer(W, H);
    for (int k = 0; k < 8; k++) hvx_poke8(cproc, ADDR_FILL_PATTERN + k, 0);
    auto screen = bench_bitmap(W, H, 0), tex = bench_bitmap(64, 64, 0), sprite = bench_bitmap(8, 8, 0);
    for (int i = 0; i < 64 * 64; i++) tex[UD_HEADER_SIZE + i] = (uint8_t)(i % 13);
    for (int i = 0; i < 64; i++) sprite[UD_HEADER_SIZE + i] = (uint8_t)(i % 5);
    std::vector<uint8_t> cells(UD_HEADER_SIZE + 16 * 16 * 2, 0);
    ud_write_header(cells.data(), UTYPE_I16, 2, 16, 16);
    for (int i = 0; i < 256; i++) cells[UD_HEADER_SIZE + 2 * i] = (uint8_t)(1 + i % 2);
    cproc->sprites[1] = cproc->sprites[2] = sprite.data();
    const double scale = map ? 1.0 / 8 : 1.0;
    for (auto _ : state) {
        for (int j = 0; j < H / 2; j++) {
            const double z = 135.0 / (j + 1), w = 1 / z;
            const double u0 = -240 * z / 8 * scale, u1 = 240 * z / 8 * scale, v = z * 4 * scale;
            benchmark::DoNotOptimize(draw_tline3d(map ? cells.data() : tex.data(), screen.data(), 0, H / 2 + j, W - 1,
                                                  H / 2 + j, u0 * w, v * w, u1 * w, v * w, w, w,
                                                  exact ? TLINE_EXACT : 0));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * W * (H / 2));
    cproc->sprites[1] = cproc->sprites[2] = nullptr;
    cproc = nullptr;
}
void BM_tline3d_floor_stepped(benchmark::State& s) { run_floor(s, false, false); }
void BM_tline3d_floor_exact(benchmark::State& s) { run_floor(s, true, false); }
void BM_tline3d_floor_map(benchmark::State& s) { run_floor(s, false, true); }
BENCHMARK(BM_tline3d_floor_stepped);
BENCHMARK(BM_tline3d_floor_exact);
BENCHMARK(BM_tline3d_floor_map);

// A 240 x 135 bitmap doubled onto the screen: sspr, a plain loop doubling
// each pixel, and the same screen by draw_spr at its own size.
void BM_sspr_2x(benchmark::State& state) {
    Process* p = bench_drawer(W, H);
    cproc = p;
    for (int k = 0; k < 8; k++) hvx_poke8(p, ADDR_FILL_PATTERN + k, 0);
    lua_State* L = p->L;
    const int base = lua_gettop(L);
    if (!new_draw_target(state, p, base)) return;
    lua_settop(L, base);
    uint8_t* src = create_userdata(L, "u8", 2, W / 2, H / 2, nullptr);
    for (int i = 0; i < W / 2 * (H / 2); i++) ud_data(src)[i] = (uint8_t)(i % 7);
    for (double v : {0.0, 0.0, (double)W / 2, (double)(H / 2), 0.0, 0.0, (double)W, (double)(H / 2 * 2)})
        lua_pushnumber(L, v);
    for (auto _ : state) call_with(L, lua54_sspr, base + 1);
    state.SetItemsProcessed(state.iterations() * W * (H / 2 * 2));
    lua_settop(L, base);
    cproc = nullptr;
}
BENCHMARK(BM_sspr_2x);

void BM_anchor_double_loop(benchmark::State& state) {
    std::vector<uint8_t> screen((size_t)W * H), src((size_t)(W / 2) * (H / 2), 3);
    for (auto _ : state) {
        for (int y = 0; y < H / 2 * 2; y++)
            for (int x = 0; x < W; x++) screen[(size_t)y * W + x] = src[(size_t)(y / 2) * (W / 2) + x / 2];
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * W * (H / 2 * 2));
}
BENCHMARK(BM_anchor_double_loop);

void BM_anchor_spr_full_screen(benchmark::State& state) {
    cproc = bench_drawer(W, H);
    for (int k = 0; k < 8; k++) hvx_poke8(cproc, ADDR_FILL_PATTERN + k, 0);
    auto screen = bench_bitmap(W, H, 0), src = bench_bitmap(W, H, 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(draw_spr(src.data(), screen.data(), 0, 0, 0, 0, W, H, 0, 0));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * W * H);
    cproc = nullptr;
}
BENCHMARK(BM_anchor_spr_full_screen);

}  // namespace
