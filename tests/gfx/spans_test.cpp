// Spans, pixels and rectangles: every span path against a per-pixel reference
// of the rule, each path's cost, the inverse span, rectangle ordering and
// clipping, the plain fills, pixel bounds and the sprite rule's pages.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "gfx/gfx.h"
#include "tests/support/harness.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::u8_bitmap;

// The rule for one pixel; a sprite ORs page 2 in on a pattern bit.
uint8_t rule(Process* p, uint8_t P, int x, int y, int colour, int rm, int wm, int tm, bool sprite = false) {
    int b = (hvx_peek8(p, ADDR_FILL_PATTERN + (y & 7)) >> (x & 7)) & 1;
    int s = ((b && !sprite) ? colour >> 8 : colour) & rm & 255, d = P & tm;
    int page = (((s | d) >> 6) | (sprite && b ? 2 : 0)) & 3;
    int E = hvx_peek8(p, ADDR_COLTABS + page * 0x1000 + (s & 63) * 64 + (d & 63));
    return (uint8_t)((P & ~wm) | (E & wm));
}

struct spans_test : ::testing::Test {
    hvx_test::process_env env;
    Process* p = nullptr;
    std::mt19937 rng{12345};
    void SetUp() override {
        ASSERT_NE(p = env.spawn(""), nullptr);
        cproc = p;
        refill_colour_tables(p);
        masks(63, 63, 63);
    }
    void TearDown() override { cproc = nullptr; }
    void masks(int rm, int wm, int tm) {
        hvx_poke8(p, ADDR_READ_MASK, rm), hvx_poke8(p, ADDR_WRITE_MASK, wm), hvx_poke8(p, ADDR_SHAPE_TARGET_MASK, tm);
    }
    void box(int l, int r, int t, int b) { p->clip_box[0] = l, p->clip_box[1] = r, p->clip_box[2] = t, p->clip_box[3] = b; }
    void random_fill(uint32_t addr, int n) {
        for (int i = 0; i < n; i++) hvx_poke8(p, addr + i, (uint8_t)rng());
    }
};

// Random masks, colours, patterns, tables, destinations, boxes and widths;
// in the second half one table page is served partly by a short userdata.
TEST_F(spans_test, every_path_matches_the_rule) {
    random_fill(ADDR_COLTABS, 0x4000);
    std::vector<uint8_t> store(1000, 0x5C);
    const int widths[] = {8, 16, 24, 64, 480, 13, 479, 7, 1};
    int seen[3] = {};
    for (int iter = 0; iter < 4000; iter++) {
        if (iter == 2000) hvx_map_page(p, COLTAB_FIRST_PAGE + 1, store.data(), (int32_t)store.size());
        const int w = widths[rng() % 9], h = 1 + (int)(rng() % 9);
        auto bm = u8_bitmap(w, h);
        for (int i = 0; i < w * h; i++) bm[UD_HEADER_SIZE + i] = (uint8_t)rng();
        const int pick[3][3] = {{63, 255, (int)(rng() & 255)}, {63, 255, (int)(rng() & 255)}, {0, 63, (int)(rng() & 255)}};
        const int rm = pick[0][rng() % 3], wm = pick[1][rng() % 3], tm = pick[2][rng() % 3];
        masks(rm, wm, tm);
        const int colour = (int)(rng() & (rng() % 2 ? 0xFFFF3F3F : ~0u));
        for (int k = 0; k < 8; k++) hvx_poke8(p, ADDR_FILL_PATTERN + k, rng() % 3 ? (uint8_t)rng() : 0);
        int l = (int)(rng() % (w + 1)), r = (int)(rng() % (w + 1)), t = (int)(rng() % (h + 1));
        if (rng() % 3 == 0) l = 0, r = w;
        box(std::min(l, r), std::max(l, r), t, h);
        int x0 = (int)(rng() % (w + 40)) - 20, x1 = x0 + (int)(rng() % (w + 20)), y = (int)(rng() % (h + 2)) - 1;
        std::vector<uint8_t> want(bm);
        if (y >= t)
            for (int x = std::max(x0, std::min(l, r)); x < std::min(x1 + 1, std::max(l, r)) && y < h; x++)
                want[UD_HEADER_SIZE + y * w + x] = rule(p, want[UD_HEADER_SIZE + y * w + x], x, y, colour, rm, wm, tm);
        draw_hline(bm.data(), x0, x1, y, colour);
        ASSERT_EQ(bm, want) << iter << " w " << w << " masks " << rm << "/" << wm << "/" << tm << " " << colour;
        seen[tm == 0 ? 2 : (tm == 63 && !(colour & rm * 257 & 0xC0C0)) ? 0 : 1]++;
    }
    hvx_unmap_page(p, COLTAB_FIRST_PAGE + 1);
    for (int n : seen) EXPECT_GT(n, 500);
}

TEST_F(spans_test, path_costs) {
    auto wide = u8_bitmap(480, 4), odd = u8_bitmap(479, 4);
    box(0, 480, 0, 4);
    masks(63, 63, 0);  // destination ignored: head, groups of 8, tail
    EXPECT_EQ(draw_hline(wide.data(), 3, 60, 0, 7), 14);
    EXPECT_EQ(draw_hline(wide.data(), 0, 15, 0, 7), 8);
    EXPECT_EQ(draw_hline(wide.data(), 3, 14, 0, 7), 7);  // no whole group
    EXPECT_EQ(draw_hline(odd.data(), 3, 60, 0, 7), 30);  // width not a multiple of 8
    EXPECT_EQ(rectfill(wide.data(), 0, 0, 479, 3, 7), 4 * 66);
    masks(63, 63, 63);  // page 0 only
    EXPECT_EQ(draw_hline(wide.data(), 0, 9, 0, 0x47), 6);
    EXPECT_EQ(rectfill(wide.data(), 479, 3, 0, 0, 7), 4 * 241);
    masks(255, 63, 63);  // bit 6 or 7 of either source byte: the full rule
    EXPECT_EQ(draw_hline(wide.data(), 0, 9, 0, 0x47), 8);
    EXPECT_EQ(draw_hline(wide.data(), 0, 9, 0, 0x8007), 8);
    EXPECT_EQ(draw_hline(wide.data(), 0, 9, 0, 0x0707), 6);
    // Reversed spans straddling the box: nothing drawn, the formula goes negative.
    EXPECT_EQ(draw_hline(wide.data(), 30, 20, 0, 0xC0), (3 * -10) / 4 + 2);
    masks(63, 63, 0);
    EXPECT_EQ(draw_hline(odd.data(), 30, 20, 0, 7), (-10 >> 1) + 2);
}

TEST_F(spans_test, boxes_inverse_spans_and_rectangles) {
    auto bm = u8_bitmap(64, 8, 0x21), clean = bm;
    box(10, 50, 2, 6);
    EXPECT_EQ(draw_hline(bm.data(), 0, 9, 3, 7) + draw_hline(bm.data(), 50, 60, 3, 7) +
                  draw_hline(bm.data(), 0, 63, 1, 7) + draw_hline(bm.data(), 0, 63, 6, 7) +
                  rectfill(bm.data(), 0, 0, 63, 1, 7) + rectfill(bm.data(), 0, 0, 9, 7, 7),
              0);
    EXPECT_EQ(bm, clean);
    EXPECT_EQ(draw_hline_inv(bm.data(), 30, 20, 2, 9), (9 / 2 + 2) + (18 / 2 + 2));
    EXPECT_EQ(draw_hline_inv(bm.data(), 10, 40, 3, 9), 8 / 2 + 2);  // lo at the left edge
    EXPECT_EQ(draw_hline_inv(bm.data(), 49, 20, 4, 9), 9 / 2 + 2);   // hi at the right edge
    EXPECT_EQ(draw_hline_inv(bm.data(), INT32_MIN, INT32_MAX, 5, 9) + draw_hline_inv(bm.data(), 0, 9, 6, 9), 0);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 64; x++) {
            bool on = (y == 2 && ((x >= 10 && x < 20) || (x > 30 && x < 50))) || (y == 3 && x > 40 && x < 50) ||
                      (y == 4 && x >= 10 && x < 20);
            ASSERT_EQ(bm[UD_HEADER_SIZE + y * 64 + x], on ? 9 : 0x21) << x << "," << y;
        }
    fillp_16(0x5A5A);
    auto a = u8_bitmap(16, 16, 3), b = u8_bitmap(16, 16, 3);
    box(0, 16, 0, 16);
    EXPECT_EQ(rectfill(a.data(), 5, 5, 10, 10, 0x0807), 6 * (5 / 2 + 2));
    EXPECT_EQ(rectfill(b.data(), 10, 5, 5, 10, 0x0807), 6 * (5 / 2 + 2));
    EXPECT_EQ(a, b);
    rectfill(b.data(), 10, 10, 5, 5, 0x0807);
    EXPECT_EQ(a, b);
    EXPECT_EQ(rectfill(nullptr, 0, 0, 1, 1, 7) + draw_hline(nullptr, 0, 1, 0, 7), 0);
}

TEST_F(spans_test, plain_fills_and_pixel_reads) {
    auto bm = u8_bitmap(20, 10, 0x41);
    box(2, 18, 1, 9);
    masks(0, 0, 0);  // ignored
    EXPECT_EQ(rectfill_raw(bm.data(), 25, 12, -3, 4, 0x1FE), 16 * 5);
    EXPECT_EQ(rectfill_raw(bm.data(), 0, 0, 1, 9, 5) + rectfill_raw(bm.data(), 5, 0, 6, 0, 5), 0);
    EXPECT_EQ(rectfill_shadow(bm.data(), 3, 2, 3, 5), 4);
    for (int y = 0; y < 10; y++)
        for (int x = 0; x < 20; x++) {
            int v = (x >= 2 && x < 18 && y >= 4 && y < 9) ? 0xFE : 0x41;
            ASSERT_EQ(getpixel(bm.data(), x, y), (x == 3 && y >= 2 && y <= 5) ? v | 0x20 : v) << x << "," << y;
        }
    EXPECT_EQ(getpixel(bm.data(), -1, 0) + getpixel(bm.data(), 20, 0) + getpixel(bm.data(), 0, 10) +
                  getpixel(bm.data(), 0, -1) + getpixel(nullptr, 0, 0),
              0);
    // A box reaching past the bitmap never writes outside it.
    box(-5, 480, -5, 270);
    EXPECT_EQ(rectfill_raw(bm.data(), -100, -100, 1000, 1000, 8), 200);
    EXPECT_GT(rectfill(bm.data(), -100, -100, 1000, 1000, 7), 0);
}

TEST_F(spans_test, single_pixels) {
    random_fill(ADDR_COLTABS, 0x4000);
    auto bm = u8_bitmap(16, 16);
    box(2, 14, 2, 14);
    for (int iter = 0; iter < 3000; iter++) {
        random_fill(ADDR_FILL_PATTERN, 8);
        const int rm = rng() & 255, wm = rng() & 255, tm = rng() & 255, x = rng() % 16, y = rng() % 16, c = (int)rng();
        read_mask = rm, write_mask = wm, target_mask = tm;
        uint8_t& px = bm[UD_HEADER_SIZE + y * 16 + x];
        const uint8_t before = px = (uint8_t)rng();
        const bool inside = x >= 2 && x < 14 && y >= 2 && y < 14;
        switch (iter % 3) {
        case 0: putpixel(bm.data(), x, y, c); break;
        case 1: put_shape_pixel_noclip(bm.data(), x, y, c); break;
        default: put_texture_pixel_noclip(bm.data(), x, y, c);
        }
        const uint8_t want = rule(p, before, x, y, c, rm, wm, tm, iter % 3 == 2);
        ASSERT_EQ(px, (iter % 3 || inside) ? want : before) << iter;
    }
    put_shape_pixel_noclip(bm.data(), 16, 0, 1);  // outside the bitmap: nothing
    put_texture_pixel_noclip(bm.data(), -1, 3, 1);
    // Pattern bit, masks 63: page 2; with page 3 already, page 3.
    for (int pg = 0; pg < 4; pg++) hvx_poke8(p, ADDR_COLTABS + pg * 0x1000 + 5 * 64, (uint8_t)(10 + pg));
    hvx_poke8(p, ADDR_FILL_PATTERN, 0x01);
    read_mask = write_mask = target_mask = 63;
    bm[UD_HEADER_SIZE] = bm[UD_HEADER_SIZE + 1] = 0;
    put_texture_pixel_noclip(bm.data(), 0, 0, 5);
    put_texture_pixel_noclip(bm.data(), 1, 0, 5);
    EXPECT_EQ(bm[UD_HEADER_SIZE], 12);
    EXPECT_EQ(bm[UD_HEADER_SIZE + 1], 10);
    read_mask = write_mask = 255;
    bm[UD_HEADER_SIZE] = 0;
    put_texture_pixel_noclip(bm.data(), 0, 0, 0xC5);
    EXPECT_EQ(bm[UD_HEADER_SIZE], 13);
}

}  // namespace
