// Lines, sprites and blits against per-pixel models on random cases: the
// exact clip of lines, flips, anchors and the sprite rule, overlapping blits
// against a snapshot copy; and lines from hostile coordinates.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "gfx/gfx.h"
#include "tests/support/harness.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::u8_bitmap;

struct raster : ::testing::Test {
    hvx_test::process_env env;
    Process* p = nullptr;
    std::mt19937 rng{2024};
    int W = 0, H = 0;
    void SetUp() override {
        ASSERT_NE(p = env.spawn(""), nullptr);
        set_current_process(p);
        refill_colour_tables(p);
        masks(63, 63, 63, 63);
    }
    void TearDown() override { set_current_process(nullptr); }
    void masks(int rm, int wm, int sprite_tm, int shape_tm) {
        const int m[4] = {rm, wm, sprite_tm, shape_tm};
        for (int i = 0; i < 4; i++) hvx_poke8(p, ADDR_READ_MASK + i, (uint8_t)m[i]);
    }
    int rnd(int lo, int hi) { return lo + (int)(rng() % (uint32_t)(hi - lo + 1)); }
    // A random clip box inside a w x h bitmap.
    void random_box(int w, int h) {
        W = w, H = h;
        int l = rnd(0, w), r = rnd(0, w), t = rnd(0, h), b = rnd(0, h);
        p->clip_box[0] = std::min(l, r), p->clip_box[1] = std::max(l, r);
        p->clip_box[2] = std::min(t, b), p->clip_box[3] = std::max(t, b);
    }
    bool in_box(int64_t x, int64_t y) const {
        return x >= p->clip_box[0] && x < p->clip_box[1] && y >= p->clip_box[2] && y < p->clip_box[3];
    }
    // The sprite rule for one pixel, from the tables in memory.
    uint8_t sprite_rule(uint8_t P, uint8_t src, int x, int y) {
        const int rm = hvx_peek8(p, ADDR_READ_MASK), wm = hvx_peek8(p, ADDR_WRITE_MASK),
                  tm = hvx_peek8(p, ADDR_SPRITE_TARGET_MASK);
        const int b = (hvx_peek8(p, ADDR_FILL_PATTERN + (y & 7)) >> (x & 7)) & 1;
        const int s = src & rm, d = P & tm, pg = (((s | d) >> 6) | (b ? 2 : 0)) & 3;
        return (uint8_t)((P & ~wm) | (hvx_peek8(p, ADDR_COLTABS + pg * 0x1000 + (s & 63) * 64 + (d & 63)) & wm));
    }
};

// Pixels walked from the centre in 16.16 steps and kept inside the box; a
// position exactly on the box's left or top edge line is where the clip in
// the line's parameter starts one step later, so it is left out too.
TEST_F(raster, lines_match_the_per_pixel_walk) {
    for (int iter = 0; iter < 4000; iter++) {
        random_box(rnd(1, 90), rnd(1, 70));
        auto bm = u8_bitmap(W, H, 0xEE);
        for (int64_t y = p->clip_box[2]; y < p->clip_box[3]; y++) {
            for (int64_t x = p->clip_box[0]; x < p->clip_box[1]; x++) bm[UD_HEADER_SIZE + y * W + x] = 0;
        }
        auto want = bm;
        int x0 = rnd(-60, 150), y0 = rnd(-60, 130), x1 = rnd(-60, 150), y1 = rnd(-60, 130);
        // Steep, flat, and slopes of 1/2 whose positions fall on edge lines.
        const int k = rnd(-40, 40);
        if (iter % 4 == 0) x1 = x0 + rnd(-2, 2);
        if (iter % 4 == 1) y1 = y0 + rnd(-2, 2);
        if (iter % 4 == 2) x1 = x0 + 2 * k, y1 = y0 + k;
        if (iter % 4 == 3) x1 = x0 + k, y1 = y0 + 2 * k;
        int64_t sxp = x0, syp = y0, exp = x1, eyp = y1;
        if (y0 > y1) std::swap(sxp, exp), std::swap(syp, eyp);
        const int64_t dx = exp - sxp, dy = eyp - syp, n = std::max(std::abs(dx), dy);
        const int64_t sx = n ? dx * 65536 / n : 0, sy = n ? dy * 65536 / n : 0;
        int64_t plotted = 0;
        for (int64_t t = 0; t <= n; t++) {
            const int64_t X = sxp * 65536 + 32768 + sx * t, Y = syp * 65536 + 32768 + sy * t;
            if (!in_box(X >> 16, Y >> 16) || X == (int64_t)p->clip_box[0] * 65536 || Y == (int64_t)p->clip_box[2] * 65536)
                continue;
            want[UD_HEADER_SIZE + (Y >> 16) * W + (X >> 16)] = 7;
            plotted++;
        }
        const int32_t r = draw_line(bm.data(), x0, y0, x1, y1, 7);
        ASSERT_EQ(bm, want) << iter << ": " << x0 << "," << y0 << " - " << x1 << "," << y1;
        if (r > 0 || plotted > 0) {
            ASSERT_EQ(r, plotted) << iter;
        }
    }
}

TEST_F(raster, lines_from_hostile_coordinates_stay_in_the_box) {
    const int32_t far[] = {INT32_MIN, INT32_MAX, INT32_MIN + 1, -70000, 70000, -1, 0, 1, 40, 100000};
    for (int iter = 0; iter < 20000; iter++) {
        random_box(rnd(1, 64), rnd(1, 48));
        auto bm = u8_bitmap(W, H, 0xEE);
        auto c = [&](int lim) { return rng() % 2 ? far[rng() % 10] : rnd(-5, lim + 5); };
        draw_line(bm.data(), c(W), c(H), c(W), c(H), 7);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                if (!in_box(x, y)) {
                    ASSERT_EQ(bm[UD_HEADER_SIZE + y * W + x], 0xEE) << iter;
                }
    }
    p->clip_box[0] = 0, p->clip_box[1] = 8, p->clip_box[2] = 0, p->clip_box[3] = 20;
    auto bm = u8_bitmap(8, 20);
    // Steps that truncate to 0 keep that coordinate: outside, nothing.
    EXPECT_EQ(draw_line(bm.data(), -1, 0, 0, 100000, 7) + draw_line(bm.data(), 0, -1, 100000, 0, 7), 0);
    EXPECT_EQ(draw_line(bm.data(), 7, 0, 8, 100000, 7), 20);  // column 7 to the bottom
    EXPECT_EQ(draw_line(bm.data(), 5, INT32_MIN, 5, 10, 7), 11);
    EXPECT_EQ(bm[UD_HEADER_SIZE + 10 * 8 + 5] + bm[UD_HEADER_SIZE + 19 * 8 + 7], 14);
    EXPECT_EQ(draw_line(bm.data(), 0, 0, 0, 0, 7), 1);
    EXPECT_EQ(draw_line(bm.data(), 10, 5, 0, 5, 7), 8);  // from x = 10 leftward, clipped at 8
}

// Random sprites, flips, anchors, masks, patterns and tables against the
// sprite rule pixel by pixel; the fast path's cost is half the slow one's.
TEST_F(raster, sprites_match_the_sprite_rule) {
    for (int i = 0; i < 0x4000; i += 4) hvx_poke32(p, ADDR_COLTABS + i, (uint32_t)rng());
    for (int iter = 0; iter < 3000; iter++) {
        random_box(rnd(1, 60), rnd(1, 40));
        const bool plain = iter % 2;
        masks(plain ? 63 : rnd(0, 255), rnd(0, 255), plain ? 63 : rnd(0, 255), 63);
        for (int k = 0; k < 8; k++) hvx_poke8(p, ADDR_FILL_PATTERN + k, plain ? 0 : (uint8_t)rng());
        const int sw = rnd(1, 20), sh = rnd(1, 20), x = rnd(-25, 70), y = rnd(-25, 50);
        const bool fx = rng() % 2, fy = rng() % 2;
        auto src = u8_bitmap(sw, sh);
        for (int k = 0; k < sw * sh; k++) src[UD_HEADER_SIZE + k] = (uint8_t)(rng() % 3 ? rng() : 0);
        auto dst = u8_bitmap(W, H);
        for (int k = 0; k < W * H; k++) dst[UD_HEADER_SIZE + k] = (uint8_t)rng();
        auto want = dst;
        int64_t visible = 0;
        for (int j = 0; j < sh; j++)
            for (int i = 0; i < sw; i++) {
                if (!in_box(x + i, y + j)) continue;
                uint8_t& P = want[UD_HEADER_SIZE + (y + j) * W + x + i];
                P = sprite_rule(P, src[UD_HEADER_SIZE + (fy ? sh - 1 - j : j) * sw + (fx ? sw - 1 - i : i)], x + i, y + j);
                visible++;
            }
        const int32_t cost = draw_spr(src.data(), dst.data(), 0, 0, x, y, sw, sh, fx, fy);
        ASSERT_EQ(dst, want) << iter;
        ASSERT_EQ(cost, plain ? visible / 2 : visible) << iter;
    }
    random_box(16, 16);
    auto s = u8_bitmap(4, 4, 9), d = u8_bitmap(16, 16), none = d;
    EXPECT_EQ(draw_spr(s.data(), d.data(), -1, 0, 2, 2, 4, 4, 0, 0), 0);  // source origin outside the source
    EXPECT_EQ(d, none);
}

// Blits within one bitmap in every direction, against copying from a snapshot.
TEST_F(raster, overlapping_blits_copy_as_from_a_snapshot) {
    for (int iter = 0; iter < 3000; iter++) {
        const bool wide = iter % 3 == 0;  // i16 elements: two bytes each
        random_box(rnd(1, 40), rnd(1, 30));
        const int es = wide ? 2 : 1;
        std::vector<uint8_t> bm(UD_HEADER_SIZE + (size_t)W * H * es);
        ud_write_header(bm.data(), wide ? UTYPE_I16 : UTYPE_U8, 2, W, H);
        for (size_t k = UD_HEADER_SIZE; k < bm.size(); k++) bm[k] = (uint8_t)rng();
        auto want = bm;
        const int sx = rnd(-10, W), sy = rnd(-10, H), dx = rnd(-10, W), dy = rnd(-10, H), w = rnd(-1, W + 5),
                  h = rnd(-1, H + 5);
        int64_t cols = 0, rows = 0;
        for (int j = 0; j < h; j++) {
            int64_t in_row = 0;
            for (int i = 0; i < w; i++) {
                if (!in_box(dx + i, dy + j) || sx + i < 0 || sy + j < 0 || sx + i >= W || sy + j >= H) continue;
                std::memcpy(&want[UD_HEADER_SIZE + ((dy + j) * W + dx + i) * es], &bm[UD_HEADER_SIZE + ((sy + j) * W + sx + i) * es], es);
                in_row++;
            }
            if (in_row) cols = in_row, rows++;
        }
        const int64_t cost = blit(bm.data(), bm.data(), sx, sy, dx, dy, w, h);
        ASSERT_EQ(bm, want) << iter;
        ASSERT_EQ(cost, rows ? (cols + 64) * rows * (sy == dy ? 4 : 1) : 0) << iter;
    }
}

}  // namespace
