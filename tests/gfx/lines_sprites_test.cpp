// Lines, sprites and blits against per-pixel models on random cases: the
// exact clip of lines, flips, anchors and the sprite rule, overlapping blits
// against a snapshot copy; and lines from hostile coordinates.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
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
    // The clip box given to the calls through the clip words, onto target.
    void draw_into(std::vector<uint8_t>& target) {
        p->draw_target = target.data();
        const int16_t words[4] = {(int16_t)p->clip_box[0], (int16_t)p->clip_box[2], (int16_t)p->clip_box[1],
                                  (int16_t)p->clip_box[3]};
        for (int i = 0; i < 4; i++) hvx_poke16(p, ADDR_CLIP_WORDS + 2 * i, (uint16_t)words[i]);
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

// Random boxes, partly clipped: every outline pixel lies in the fill, each
// filled row is one run whose ends (when inside the clip box) are the
// outline's ends on that row, and the inverted fill paints exactly the rest
// of the clip box.
TEST_F(raster, filled_ellipses_lie_between_their_outlines) {
    for (int iter = 0; iter < 3000; iter++) {
        random_box(rnd(1, 60), rnd(1, 50));
        const int x0 = rnd(-20, W + 20), y0 = rnd(-20, H + 20), x1 = rnd(-20, W + 20), y1 = rnd(-20, H + 20);
        auto line = u8_bitmap(W, H), fill = line, inv = line;
        p->inverted_fill = 0;
        draw_oval(line.data(), x0, y0, x1, y1, 7);
        draw_filloval(fill.data(), x0, y0, x1, y1, 7);
        p->inverted_fill = 1;
        draw_filloval(inv.data(), x0, y0, x1, y1, 7);
        auto at = [&](const std::vector<uint8_t>& b, int x, int y) { return b[UD_HEADER_SIZE + y * W + x] == 7; };
        for (int y = 0; y < H; y++) {
            int fl = W, fr = -1, ol = W, orr = -1;
            for (int x = 0; x < W; x++) {
                ASSERT_EQ(at(inv, x, y), in_box(x, y) && !at(fill, x, y)) << iter << ": " << x << "," << y;
                ASSERT_TRUE(!at(line, x, y) || at(fill, x, y)) << iter << ": " << x << "," << y;
                if (at(fill, x, y)) fl = std::min(fl, x), fr = x;
                if (at(line, x, y)) ol = std::min(ol, x), orr = x;
            }
            for (int x = fl; x <= fr; x++) ASSERT_TRUE(at(fill, x, y)) << iter << ": " << x << "," << y;
            if (fr >= 0 && fl > p->clip_box[0] && fr < p->clip_box[1] - 1) {
                ASSERT_EQ(ol, fl) << iter << " row " << y;
                ASSERT_EQ(orr, fr) << iter << " row " << y;
            }
        }
    }
}

// Stretched sprites, mirrored by flags or by negative sizes, partly outside
// the sprite (at whole scales, where the cut falls between texels) and the
// clip box, against the texel whose centre maps onto each pixel after the
// source clamps; within 1/256 texel of an edge either neighbour will do.
TEST_F(raster, stretched_sprites_sample_texel_centres) {
    for (int i = 0; i < 0x4000; i += 4) hvx_poke32(p, ADDR_COLTABS + i, (uint32_t)rng());
    for (int iter = 0; iter < 2000; iter++) {
        random_box(rnd(1, 60), rnd(1, 40));
        const bool plain = iter % 2;
        masks(plain ? 63 : rnd(0, 255), rnd(0, 255), plain ? 63 : rnd(0, 255), 63);
        for (int k = 0; k < 8; k++) hvx_poke8(p, ADDR_FILL_PATTERN + k, plain ? 0 : (uint8_t)rng());
        const int tw = rnd(1, 12), th = rnd(1, 12), sx = rnd(-3, tw), sy = rnd(-3, th), sw = rnd(1, 12), sh = rnd(1, 12);
        const bool cut = sx < 0 || sy < 0 || sx + sw > tw || sy + sh > th;
        int dw = cut ? sw * rnd(1, 3) : rnd(1, 40), dh = cut ? sh * rnd(1, 3) : rnd(1, 30);
        if (rng() % 3 == 0) dw = -dw;
        if (rng() % 3 == 0) dh = -dh;
        const double dx = rnd(-20, W) + rnd(0, 3) / 4.0, dy = rnd(-20, H) + rnd(0, 3) / 4.0;
        const bool fx = rng() % 2, fy = rng() % 2;
        auto src = u8_bitmap(tw, th), dst = u8_bitmap(W, H);
        for (int k = 0; k < tw * th; k++) src[UD_HEADER_SIZE + k] = (uint8_t)(rng() % 3 ? rng() : 0);
        for (int k = 0; k < W * H; k++) dst[UD_HEADER_SIZE + k] = (uint8_t)rng();
        const auto before = dst;
        p->sprites[1] = src.data();
        draw_into(dst);
        char args[160];
        std::snprintf(args, sizeof args, "1, %d, %d, %d, %d, %.2f, %.2f, %d, %d, %s, %s", sx, sy, sw, sh, dx, dy, dw, dh,
                      fx ? "true" : "false", fy ? "true" : "false");
        hvx_test::call(p, lua54_sspr, args);
        // Source texels (in one axis) whose centres may land on pixel d. A
        // start before the source moves the destination on, keeping its size;
        // a run past the end is cut, the destination shrinking from its start.
        auto texels = [](int d, double at, int size, bool flip, int s, int len, int lim, int out[2]) {
            int X = (int)std::floor(at) + (size < 0 ? size : 0), n = std::abs(size);
            if (size < 0) flip = !flip;
            if (s < 0) X += -s * n / len, s = 0;
            if (s >= lim) return 0;
            if (lim - s <= len) n = n * (lim - s) / len, len = lim - s;
            if (d < X || d >= X + n) return 0;
            const int i = flip ? X + n - 1 - d : d - X;
            const double u = s + (i + 0.5) * len / n;
            int k = 0;
            for (double e : {-1.0 / 256, 1.0 / 256})
                if (std::floor(u + e) >= 0 && std::floor(u + e) < lim) out[k++] = (int)std::floor(u + e);
            return k;
        };
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const uint8_t P = before[UD_HEADER_SIZE + y * W + x], got = dst[UD_HEADER_SIZE + y * W + x];
                int cs[2], rs[2];
                const int nc = texels(x, dx, dw, fx, sx, sw, tw, cs), nr = texels(y, dy, dh, fy, sy, sh, th, rs);
                bool ok = !in_box(x, y) || nc == 0 || nr == 0 ? got == P : false;
                for (int a = 0; a < nc && !ok && in_box(x, y); a++)
                    for (int b = 0; b < nr && !ok; b++) ok = got == sprite_rule(P, src[UD_HEADER_SIZE + rs[b] * tw + cs[a]], x, y);
                ASSERT_TRUE(ok) << iter << " " << args << " at " << x << "," << y;
            }
    }
}

// Horizontal perspective lines over a texture whose texels are 1..32, partly
// clipped: the exact mode draws u / w of every pixel; the stepped mode runs
// straight from the value at every 8th drawn pixel to the value 8 pixels on,
// or at the last pixel (beyond it w may reach 0).
TEST_F(raster, perspective_lines_sample_u_over_w) {
    auto tex = u8_bitmap(32, 1);
    for (int k = 0; k < 32; k++) tex[UD_HEADER_SIZE + k] = (uint8_t)(k + 1);
    p->sprites[2] = tex.data();
    for (int iter = 0; iter < 2000; iter++) {
        random_box(rnd(1, 90), rnd(1, 6));
        const int x0 = rnd(-30, W), x1 = x0 + rnd(1, 62), y = rnd(0, H - 1);
        const double w0 = rnd(2, 8) / 4.0, w1 = rnd(2, 8) / 4.0, u0 = rnd(0, 3100) / 100.0 * w0,
                     u1 = rnd(0, 3100) / 100.0 * w1;
        std::vector<uint8_t> drawn[2];
        for (int exact = 0; exact < 2; exact++) {
            drawn[exact] = u8_bitmap(W, H);
            draw_into(drawn[exact]);
            char args[160];
            std::snprintf(args, sizeof args, "2, %d, %d, %d, %d, %.17g, 0, %.17g, 0, %.17g, %.17g, %d", x0, y, x1, y, u0,
                          u1, w0, w1, exact ? 0x400 : 0);
            hvx_test::call(p, lua54_tline3d, args);
        }
        // u / w at x, and whether texel t (wrapping at 32) lies within e of v.
        auto at = [&](double x) {
            const double t = (x - x0) / (x1 - x0);
            return (u0 + t * (u1 - u0)) / (w0 + t * (w1 - w0));
        };
        auto near = [](int t, double v, double e) {
            return t == ((int)std::floor(v - e) & 31) || t == ((int)std::floor(v + e) & 31);
        };
        const int first = std::max(x0, p->clip_box[0]), last = std::min(x1, p->clip_box[1] - 1);
        for (int yy = 0; yy < H; yy++)
            for (int x = 0; x < W; x++) {
                const int e = drawn[1][UD_HEADER_SIZE + yy * W + x] - 1, s = drawn[0][UD_HEADER_SIZE + yy * W + x] - 1;
                if (yy != y || x < x0 || x > x1 || !in_box(x, yy)) {
                    ASSERT_EQ(e + s, -2) << iter;
                    continue;
                }
                const int j = first + (x - first) / 8 * 8, k = std::min(j + 8, last);
                ASSERT_TRUE(near(e, at(x), 1e-9)) << iter << " at " << x;
                ASSERT_TRUE(near(s, k > j ? at(j) + (x - j) * (at(k) - at(j)) / (k - j) : at(j), 1.0 / 256)) << iter << " at " << x;
            }
    }
}

}  // namespace
