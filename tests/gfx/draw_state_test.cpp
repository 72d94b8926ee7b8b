// Draw state: default tables and the rule through them, fill patterns, the
// colour argument, palette entries, the clip box and temporary clipping.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "tests/support/harness.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::u8_bitmap;

struct draw_state_test : ::testing::Test {
    hvx_test::process_env env;
    Process* p = nullptr;
    void SetUp() override {
        ASSERT_NE(p = env.spawn(""), nullptr);
        cproc = p;
        refill_colour_tables(p);
        for (uint32_t a = ADDR_READ_MASK; a <= ADDR_SHAPE_TARGET_MASK; a++) hvx_poke8(p, a, 63);
    }
    void TearDown() override { cproc = nullptr; }
    void box_is(int l, int r, int t, int b) {
        EXPECT_EQ(std::vector<int>(p->clip_box, p->clip_box + 4), (std::vector<int>{l, r, t, b}));
    }
    void refresh(int x0, int y0, int x1, int y1) {
        hvx_poke32(p, ADDR_CLIP_WORDS, (uint32_t)(uint16_t)x0 | (uint32_t)(uint16_t)y0 << 16);
        hvx_poke32(p, ADDR_CLIP_WORDS + 4, (uint32_t)(uint16_t)x1 | (uint32_t)(uint16_t)y1 << 16);
        refresh_clip_box(p);
    }
};

TEST(default_tables, rows_remap_and_palette) {
    init_default_coltabs();
    for (int d = 0; d < 64; d++) {
        EXPECT_EQ(default_coltabs[d], d);
        EXPECT_EQ(default_coltabs[5 * 64 + d], 0xC5);
        EXPECT_EQ(default_coltabs[64 * 64 + d], 0x40 | d);
        EXPECT_EQ(default_coltabs[255 * 64 + d], 0xC0 | d);
        EXPECT_EQ(default_indexed_pal[d], d);
    }
    EXPECT_EQ(default_system_pal[2], 0x68ACF134u);  // 2 * 0x3456789A, wrapped
    EXPECT_EQ(default_system_pal[65], 0x3456789Au);
}

TEST_F(draw_state_test, colour_tables_refill_only_flagged_pages) {
    Process* q = env.spawn("");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(refill_colour_tables(q), 4 * COLTAB_REFILL_COST);  // all four flagged at creation
    for (uint32_t i = 0; i < sizeof default_coltabs; i += 97) EXPECT_EQ(hvx_peek8(q, ADDR_COLTABS + i), default_coltabs[i]);
    EXPECT_EQ(refill_colour_tables(q), 0);
    // A changed page is refilled; an untouched one keeps what it holds.
    hvx_poke8(q, ADDR_COLTABS + 0x1000 + 5, 99);
    q->page_flags[COLTAB_FIRST_PAGE + 2] = 0;
    std::memset(q->page_ptr[COLTAB_FIRST_PAGE + 2], 7, HVX_PAGE_SIZE);
    EXPECT_EQ(refill_colour_tables(q), COLTAB_REFILL_COST);
    EXPECT_EQ(hvx_peek8(q, ADDR_COLTABS + 0x1000 + 5), default_coltabs[0x1000 + 5]);
    EXPECT_EQ(hvx_peek8(q, ADDR_COLTABS + 0x2000), 7);
    EXPECT_EQ(q->page_flags[COLTAB_FIRST_PAGE + 1] & PAGE_FLAG_COLTAB, 0);
}

TEST_F(draw_state_test, default_rule_and_two_colour_pattern) {
    auto bm = u8_bitmap(16, 8, 0xD7);
    p->clip_box[1] = 16, p->clip_box[3] = 8;
    get_masks_shape();
    putpixel(bm.data(), 0, 0, 0);
    putpixel(bm.data(), 1, 0, 5);
    hvx_poke8(p, ADDR_WRITE_MASK, 255);
    get_masks_shape();
    putpixel(bm.data(), 2, 0, 5);
    EXPECT_EQ(bm[16], 0xD7);  // colour 0 keeps the destination
    EXPECT_EQ(bm[17], 0xC5);  // bits 6-7 of the destination survive write mask 63
    EXPECT_EQ(bm[18], 0xC5);
    hvx_poke8(p, ADDR_WRITE_MASK, 63);
    fillp_16(0x5A5A);  // rows 0101 and 1010 from the left
    for (int y = 0; y < 8; y++) draw_hline(bm.data(), 0, 15, y, 0x0807);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 16; x++) EXPECT_EQ(bm[16 + y * 16 + x], 0xC0 | (((x ^ y) & 1) ? 8 : 7)) << x << "," << y;
}

TEST_F(draw_state_test, fill_patterns) {
    fillp_16(0x8000);  // the top-left pixel of each 4x4 cell
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            EXPECT_EQ((hvx_peek8(p, ADDR_FILL_PATTERN + y) >> x) & 1, x % 4 == 0 && y % 4 == 0) << x << "," << y;
    fillp_16(0x1248);
    const uint8_t rows[8] = {0x88, 0x44, 0x22, 0x11, 0x88, 0x44, 0x22, 0x11};
    for (int k = 0; k < 8; k++) EXPECT_EQ(hvx_peek8(p, ADDR_FILL_PATTERN + k), rows[k]) << k;
}

TEST_F(draw_state_test, palette_entries_by_mode) {
    p->page_flags[COLTAB_FIRST_PAGE + 1] = 0;
    set_palette_entry(70, 5, 0);  // row 6 of page 1
    set_palette_entry(3, 0x109, 128);  // mode bits choose page 2
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(hvx_peek8(p, 0x9180 + i), 0xC5) << i;
        EXPECT_EQ(hvx_peek8(p, 0xA0C0 + i), 0xC9) << i;
    }
    EXPECT_EQ(hvx_peek8(p, 0x917F), 0x7F);  // row 5 of page 1 untouched
    EXPECT_EQ(hvx_peek8(p, 0x91C0), 0x40);
    EXPECT_EQ(p->page_flags[COLTAB_FIRST_PAGE + 1], PAGE_FLAG_WRITTEN);
    set_palette_entry(65, 0x7F, 1);
    set_palette_entry(257, 0x123456, 66);
    set_palette_entry(2, 9, 3);
    set_palette_entry(2, 9, -1);
    EXPECT_EQ(hvx_peek8(p, ADDR_REMAP + 1), 0x3F);
    EXPECT_EQ(hvx_peek32(p, ADDR_PALETTE + 4), 0x123456u);
    EXPECT_EQ(hvx_peek8(p, ADDR_REMAP + 2) | hvx_peek32(p, ADDR_PALETTE + 8), 0u);
    EXPECT_EQ(hvx_peek8(p, 0x8000 + 2 * 64), 0xC2);
    EXPECT_EQ(hvx_peek8(p, 0xB000 + 2 * 64), 0xC0);
}

TEST_F(draw_state_test, colour_argument) {
    lua_State* L = p->L;
    const int top = lua_gettop(L);
    EXPECT_EQ(set_colp(0xFFFF, 0), -1);
    EXPECT_EQ(set_colp(0x80000607, 0), 0x0607);  // no flag: the pattern stays
    EXPECT_EQ(hvx_peek8(p, ADDR_FILL_PATTERN), 0);
    lua_pushinteger(L, (lua_Integer)((1ll << 32) | (0x8000ll << 16) | 0x0C0D));
    EXPECT_EQ(colp(L, -1), 0x0C0D);
    EXPECT_EQ(hvx_peek8(p, ADDR_FILL_PATTERN), 0x11);
    EXPECT_EQ(p->inverted_fill, 0);
    lua_pushinteger(L, (lua_Integer)((1ll << 35) | 4));
    EXPECT_EQ(colp(L, -1), 4);
    EXPECT_EQ(p->inverted_fill, 1);
    lua_pushnumber(L, 9.75);
    EXPECT_EQ(colp(L, -1), 9);
    lua_pushstring(L, "12");  // only numbers count: the colour word stands
    EXPECT_EQ(colp(L, -1), 9);
    lua_pushnil(L);
    EXPECT_EQ(colp(L, -1), 9);
    lua_settop(L, top);
}

TEST_F(draw_state_test, clip_box_from_words_and_targets) {
    auto big = u8_bitmap(480, 270), small = u8_bitmap(40, 30);
    p->clip_box[0] = 7;
    refresh(10, 20, 1000, 200);  // no target: skipped
    box_is(7, 0, 0, 0);
    p->draw_target = big.data();
    refresh(10, 20, 1000, 200);
    box_is(10, 480, 20, 200);
    refresh(-5, 0, -1, 100);
    box_is(0, -1, 0, 100);
    EXPECT_EQ(rectfill(big.data(), 0, 0, 479, 269, 7), 0);
    p->clip_box[0] = 3;  // unchanged words: the box stands
    refresh(-5, 0, -1, 100);
    box_is(3, -1, 0, 100);
    refresh(0, 0, 480, 270);
    ud_write_header(big.data(), UTYPE_U8, 2, 240, 540);  // reshaped in place, the same words
    refresh_clip_box(p);
    box_is(0, 240, 0, 270);
    ud_write_header(big.data(), UTYPE_U8, 2, 480, 270);
    refresh_clip_box(p);
    box_is(0, 480, 0, 270);
    p->draw_target = small.data();  // a smaller target, the same words
    refresh_clip_box(p);
    box_is(0, 40, 0, 30);
    p->draw_target = big.data();  // and back
    refresh_clip_box(p);
    box_is(0, 480, 0, 270);
    set_temporary_clipping(small.data());
    box_is(0, 40, 0, 30);
    restore_after_temporary_clipping();
    box_is(0, 480, 0, 270);
    p->draw_target = nullptr;
}

}  // namespace
