// The text printer: placement, control codes, attributes, the Lua call,
// charging, and texts or fonts that try to break out of the bitmap.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::process_env;
using namespace std::string_literals;

// A process drawing into its own w x h target through identity colour tables
// (colour 0 transparent), with a 4 x 6 test font at 0x4000: 'A' a full block,
// 'B' a single pixel at its top left.
struct printer : ::testing::Test {
    process_env env;
    Process* p = nullptr;
    std::vector<uint8_t> bmp;
    int bw = 0;

    void SetUp() override {
        p = env.spawn("");
        cproc = p;
        target(64, 32);
        for (uint32_t a = 0x5508; a <= 0x550B; a++) poke(a, 63);
        for (int s = 0; s < 64; s++)
            for (int d = 0; d < 64; d++) poke(0x8000 + 64 * s + d, (uint8_t)(s ? s : d));
        poke(ADDR_FONT_MAIN, 0x40);
        font(0x4000, 4, 4, 6, 0);
        for (int r = 0; r < 6; r++) poke(0x4000 + 'A' * 8 + r, 0x0F);
        poke(0x4000 + 'B' * 8, 1);
        cursor(8, 10);
        cpu_cycles = 0;
    }
    void TearDown() override { cproc = nullptr; }

    void target(int w, int h) {
        bmp.assign(UD_HEADER_SIZE + (size_t)w * h, 0);
        ud_write_header(bmp.data(), UTYPE_U8, 2, w, h);
        bw = w;
        p->draw_target = bmp.data();
        poke4(ADDR_CLIP_WORDS, 0);
        poke4(ADDR_CLIP_WORDS + 4, (uint32_t)(w | h << 16));
        refresh_clip_box(p);
    }
    void font(uint32_t at, int w, int w2, int h, int flags) {
        const uint8_t hdr[7] = {(uint8_t)w, (uint8_t)w2, (uint8_t)h, 0, 0, (uint8_t)flags, 0};
        for (int i = 0; i < 7; i++) poke(at + i, hdr[i]);
    }
    void cursor(int x, int y) {
        poke4(ADDR_PRINT_X, x);
        poke4(ADDR_PRINT_Y, y);
        poke4(ADDR_PRINT_HOME_X, x);
    }
    int print(const std::string& s, int colour = 7, int flags = 0) {
        return print_qzscii(p->draw_target, s.data(), (int)s.size(), flags, colour);
    }
    int px(int x, int y) const { return bmp[UD_HEADER_SIZE + (size_t)y * bw + x]; }
    int count(int colour) const {
        int n = 0;
        for (size_t i = UD_HEADER_SIZE; i < bmp.size(); i++) n += bmp[i] == colour;
        return n;
    }
    int cx() const { return peek4(ADDR_PRINT_X); }
    int cy() const { return peek4(ADDR_PRINT_Y); }
    void no_newline() { poke(ADDR_PRINT_FLAGS, 4); }
    void fresh() {
        target(64, 32);
        cursor(8, 10);
    }
};

TEST_F(printer, glyphs_land_at_the_cursor_and_newline_returns_home) {
    EXPECT_EQ(print("AB"), 0);
    for (int y = 10; y < 16; y++)
        for (int x = 8; x < 12; x++) ASSERT_EQ(px(x, y), 7) << x << "," << y;
    EXPECT_EQ(px(12, 10), 7);          // B's one pixel
    EXPECT_EQ(count(7), 25);           // nothing in the border margin
    EXPECT_EQ(cx(), 8);                // home x
    EXPECT_EQ(cy(), 16);               // + character height
    EXPECT_EQ(print_max_x, 16);        // after B, before the newline
    EXPECT_EQ(print_max_y, 16);
    EXPECT_EQ(p->print->text, nullptr);  // the copy is gone once printed
}

TEST_F(printer, repeat_moves_backspace_and_colour_codes) {
    no_newline();
    print("\1" "3B");
    EXPECT_EQ(px(8, 10) + px(12, 10) + px(16, 10), 21);
    EXPECT_EQ(cx(), 20);
    print("\1" "0AB");  // repeat zero skips the A
    EXPECT_EQ(px(20, 10), 7);
    EXPECT_EQ(px(21, 11), 0);
    EXPECT_EQ(cx(), 24);
    print("\3a\4k\5jg");  // x - 6, y + 4, then x + 3
    EXPECT_EQ(cx(), 21);
    EXPECT_EQ(cy(), 14);
    print("BB\b\b");
    EXPECT_EQ(cx(), 21);
    print("\3");  // code 3 without its parameter is drawn as a glyph
    EXPECT_EQ(cx(), 25);
    print("\14" "9B");
    EXPECT_EQ(px(25, 14), 9);
    EXPECT_EQ(peek(ADDR_COLOUR_WORD), 9);
    poke(ADDR_PRINT_FLAGS, 0);
    int y = cy();
    print("B\14");  // takes the appended newline as its colour: no line break
    EXPECT_EQ(cy(), y);
}

TEST_F(printer, tabs_from_home_and_from_zero) {
    no_newline();
    cursor(3, 0);
    print("\3j\t");  // x = 6; stops every 12 from 0
    EXPECT_EQ(cx(), 12);
    font(0x4000, 4, 4, 6, 2);  // stops count from home x 3
    cursor(3, 0);
    print("\3j\t\t");
    EXPECT_EQ(cx(), 27);
    poke(ADDR_PRINT_WIDE_OVR, 0x10);  // tab = 2 widths
    cursor(3, 0);
    print("\t\t\t");
    EXPECT_EQ(cx(), 27);
    font(0x4000, 0, 4, 6, 0);  // width 0, no tab width: the cursor stays
    poke(ADDR_PRINT_WIDE_OVR, 0);
    cursor(5, 0);
    print("\t");
    EXPECT_EQ(cx(), 5);
}

TEST_F(printer, decoration_draws_beside_the_last_glyph_and_comes_back) {
    no_newline();
    print("B\13bB");  // dx = 1, dy = -6 from the B at (8, 10)
    EXPECT_EQ(px(9, 4), 7);
    EXPECT_EQ(count(7), 2);
    EXPECT_EQ(cx(), 12);
    EXPECT_EQ(cy(), 10);
}

TEST_F(printer, pokes_stay_inside_the_text) {
    no_newline();
    print("\6@5f800003XYZB");
    EXPECT_EQ(peek(0x5F80), 'X');
    EXPECT_EQ(peek(0x5F82), 'Z');
    EXPECT_EQ(px(8, 10), 7);  // B after the data is printed
    poke(ADDR_PRINT_FLAGS, 0);
    print("\6@5f900009PQ");
    EXPECT_EQ(peek(0x5F91), 'Q');
    EXPECT_EQ(peek(0x5F92), 0);  // not the appended newline
    print("\6@5f");              // digits cut short: nothing, no crash
    cursor(8, 10);
    cpu_cycles = 0;
    print("\6!5fa0h\0i"s);
    EXPECT_EQ(peek(0x5FA0), 'h');
    EXPECT_EQ(peek(0x5FA1), 0);
    EXPECT_EQ(peek(0x5FA2), 'i');
    EXPECT_EQ(cy(), 10);  // the print ended before its newline
    EXPECT_EQ(print_max_set, 0);
    EXPECT_EQ(cpu_cycles, 3 + 9);  // one per poked byte, one per byte passed
}

TEST_F(printer, glyphs_after_a_poke_see_the_memory_it_changed) {
    no_newline();
    print("B\6@81c00001\x09" "B\6@55100004\x02\0\0\0B"s);  // table entry (7, 0), then camera x = 2
    EXPECT_EQ(px(8, 10), 7);
    EXPECT_EQ(px(12, 10), 9);
    EXPECT_EQ(px(14, 10), 9);
}

TEST_F(printer, inline_glyphs_and_cut_short_ones) {
    no_newline();
    print("\6:ff01000000000000");
    for (int x = 8; x < 16; x++) EXPECT_EQ(px(x, 10), 7);
    EXPECT_EQ(px(8, 11), 7);
    EXPECT_EQ(cx(), 16);
    print("\6.\x81\1\1\1\1\1\1\1"s);
    EXPECT_EQ(px(16, 10) + px(23, 10), 14);
    poke(ADDR_PRINT_ATTRS, 1 | 32);  // invert, no border: ';' and ',' as ':' and '.'
    print("\6;0000000000000000");
    EXPECT_EQ(px(24, 17), 7);
    print("\6,A");  // cut short: the rest prints as text
    EXPECT_EQ(cx(), 36);
    poke(ADDR_PRINT_ATTRS, 0);
    print("\6:fff");
    EXPECT_EQ(cx(), 48);
    poke(ADDR_PRINT_FLAGS, 0);
    print("\6.BBBBBBB");  // one byte short: the appended newline is no row
    EXPECT_EQ(print_max_x, 48 + 7 * 4);
}

TEST_F(printer, fill_command_and_its_cost) {
    no_newline();
    print("\6c5");
    EXPECT_EQ(count(5), 64 * 32);
    EXPECT_EQ(cx(), 0);
    EXPECT_EQ(cy(), 0);
    EXPECT_EQ(cpu_cycles, 2048 / 64 + 3);
    cpu_cycles = 0;
    cursor(8, 10);
    poke(ADDR_PRINT_FLAGS, 0);
    print("B");  // box 5 x 7 / 3, one for the glyph's byte, one for the newline
    EXPECT_EQ(cpu_cycles, 35 / 3 + 1 + 1);
}

// Nothing resumes a stopped print: the next print discards what was left.
TEST_F(printer, skip_frames_and_glyph_delays_stop_the_print) {
    no_newline();
    EXPECT_NE(print("B\6" "3B"), 0);
    EXPECT_EQ(count(7), 1);
    EXPECT_EQ(print_max_x, 12);
    EXPECT_NE(print("\6d2BB"), 0);  // starts where the first B left off, stops after its first B
    EXPECT_EQ(count(7), 2);
    EXPECT_EQ(cx(), 16);
    EXPECT_EQ(print("B"), 0);
    EXPECT_EQ(count(7), 3);
    EXPECT_EQ(p->print->text, nullptr);
}

TEST_F(printer, wrapping_happens_before_a_glyph_would_pass_the_limit) {
    target(20, 20);
    cursor(0, 0);
    no_newline();
    print("BBBBBB", 7, PRINT_FLAG_WRAP);
    EXPECT_EQ(px(16, 0), 7);
    EXPECT_EQ(px(0, 6), 7);
    EXPECT_EQ(cx(), 4);
    print("\6r3BBB");  // limit 12 from here on
    EXPECT_EQ(px(8, 6), 7);
    EXPECT_EQ(px(0, 12), 7);
}

TEST_F(printer, scaled_modes_place_the_pixel_as_tabled) {
    struct mode { const char* cmd; std::vector<std::pair<int, int>> on; };
    const mode modes[] = {
        {"\6w", {{8, 10}, {9, 10}}},
        {"\6t", {{8, 10}, {8, 11}}},
        {"\6t\6=", {{8, 10}}},
        {"\6w\6=", {{9, 10}}},
        {"\6w\6t", {{8, 10}, {9, 10}, {8, 11}, {9, 11}}},
        {"\6w\6t\6=", {{8, 10}, {9, 10}}},
        {"\6p", {{9, 10}}},
    };
    for (const mode& m : modes) {
        std::fill(bmp.begin() + UD_HEADER_SIZE, bmp.end(), 0);
        cursor(8, 10);
        print(m.cmd + "B"s);
        EXPECT_EQ(count(7), (int)m.on.size()) << m.cmd;
        for (auto [x, y] : m.on) EXPECT_EQ(px(x, y), 7) << m.cmd;
    }
    cursor(8, 10);
    no_newline();
    print("\6wB\n");  // line height: the tallest glyph since the break
    EXPECT_EQ(cy(), 16);
    print("\6tB\6-tB\n");
    EXPECT_EQ(cy(), 28);
}

TEST_F(printer, background_invert_border_outline_underline) {
    for (int s = 0; s < 64; s++) poke(0x8000 + 64 * 5 + s, 9);  // colour 5 through the tables is 9
    print("\2" "5B");  // raw background over the bordered box
    EXPECT_EQ(count(5), 34);
    EXPECT_EQ(px(7, 9), 5);
    EXPECT_EQ(px(8, 10), 7);
    fresh();
    print("\6iB");
    EXPECT_EQ(count(7), 34);
    EXPECT_EQ(px(8, 10), 0);
    fresh();
    poke(ADDR_PRINT_ATTRS, 1 | 32);  // enabled: border off, invert on
    print("B");
    EXPECT_EQ(count(7), 23);
    poke(ADDR_PRINT_ATTRS, 0);
    fresh();
    print("\6o3ffB");  // every neighbour
    EXPECT_EQ(count(3), 8);
    EXPECT_EQ(px(9, 11), 3);
    EXPECT_EQ(px(8, 10), 7);
    fresh();
    print("\6o!08B");  // left neighbour only, body left out
    EXPECT_EQ(count(7), 1);
    EXPECT_EQ(px(7, 10), 7);
    fresh();
    print("\6o!0gB");  // the glyph's own place is never outline
    EXPECT_EQ(count(7), 0);
    fresh();
    print("\6uB");
    for (int x = 7; x <= 11; x++) EXPECT_EQ(px(x, 16), 7);
    EXPECT_EQ(count(7), 6);
}

TEST_F(printer, font_header_substitution_nibbles_and_overrides) {
    poke(ADDR_FONT_ALT, 0x30);
    for (int r = 0; r < 8; r++) poke(0x3000 + 'A' * 8 + r, 0xFF);
    no_newline();
    poke(ADDR_PRINT_ATTRS, 1 | 128);  // alternate font, all-zero header: 8 x 8
    print("A\16A");                   // code 14 reloads it as stored: width 0
    EXPECT_EQ(count(7), 64);
    EXPECT_EQ(cx(), 16);
    poke(ADDR_PRINT_ATTRS, 0);
    target(64, 32);
    cursor(8, 10);
    font(0x4000, 4, 4, 6, 1);
    poke(0x4000 + 'A' / 2, 0xF0);  // 'A' (odd): high nibble: -1 and raised
    print("AA");
    EXPECT_EQ(cx(), 14);
    EXPECT_EQ(px(8, 9), 7);
    EXPECT_EQ(px(11, 9), 7);
    EXPECT_EQ(px(14, 9), 0);  // width 3 draws three columns
    EXPECT_EQ(count(7), 36);
    target(64, 32);
    cursor(8, 10);
    font(0x4000, 4, 4, 6, 0);
    poke(ADDR_PRINT_SIZE_OVR, 0x32);  // width 2, height 3
    poke(ADDR_PRINT_OFFS_OVR, 0x21);  // x + 1, y + 2
    print("A");
    EXPECT_EQ(count(7), 6);
    EXPECT_EQ(px(9, 12) + px(10, 14), 14);
    EXPECT_EQ(cx(), 10);
}

int call_print(lua_State* L, std::vector<int> types, std::vector<const char*> vals) {
    lua_settop(L, 0);
    for (size_t i = 0; i < types.size(); i++) {
        if (types[i] == LUA_TSTRING) lua_pushstring(L, vals[i]);
        else if (types[i] == LUA_TNUMBER) lua_pushnumber(L, std::atof(vals[i]));
        else if (types[i] == LUA_TTABLE) lua_newtable(L);
        else lua_pushnil(L);
    }
    return lua54__print_qzscii(L);
}

TEST_F(printer, lua_call_argument_forms_and_extent) {
    lua_State* L = p->L;
    const int S = LUA_TSTRING, N = LUA_TNUMBER, T = LUA_TTABLE, Z = LUA_TNIL;
    ASSERT_EQ(call_print(L, {S, N}, {"B", "9"}), 2);
    EXPECT_EQ(px(8, 10), 9);
    EXPECT_EQ(lua_tointeger(L, -2), 12);  // extent: after B, then the newline
    EXPECT_EQ(lua_tointeger(L, -1), 16);
    call_print(L, {S, N, Z, Z}, {"B", "11", "", ""});
    EXPECT_EQ(px(8, 16), 11);
    call_print(L, {S, S, N}, {"B", "20.9", "-2.7"});
    EXPECT_EQ(px(20, 0), 0);  // y -2: the pixel lies above the target
    EXPECT_EQ(peek4(ADDR_PRINT_HOME_X), 20);
    call_print(L, {S, T, N, N}, {"B", "", "3", "12"});
    EXPECT_EQ(px(20, 3), 12);  // x kept
    call_print(L, {S, S, N}, {"B", "junk", "5"});
    EXPECT_EQ(px(0, 5), 12);
    call_print(L, {N, N, N}, {"7", "30", "20"});  // a number prints as its text
    EXPECT_EQ(cy(), 26);
    EXPECT_EQ(call_print(L, {T}, {""}), 0);
    poke(ADDR_PRINT_FLAGS, 4);
    cursor(3, 4);
    ASSERT_EQ(call_print(L, {S}, {""}), 2);  // nothing processed: the cursor
    EXPECT_EQ(lua_tointeger(L, -2), 3);
    EXPECT_EQ(lua_tointeger(L, -1), 4);
    poke(ADDR_PRINT_FLAGS, 128 | 4);
    cursor(56, 0);
    call_print(L, {S}, {"BBB"});  // wrap from the flag byte, back to home x
    EXPECT_EQ(px(60, 0), 12);
    EXPECT_EQ(px(56, 6), 12);
    p->draw_target = nullptr;
    EXPECT_EQ(call_print(L, {S}, {"B"}), 0);
}

TEST_F(printer, boot_screen_lines_render_at_the_cursor) {
    boot_init();
    platform_app.frame_count = 1;
    draw_boot();
    platform_app.frame_count = 200;  // 3.3 s in: every line shown
    draw_boot();
    const uint8_t* d = ud_data(boot_back_block());
    auto at = [&](int x, int y) { return d[y * 480 + x]; };
    for (int x = 35; x < 41; x++) EXPECT_EQ(at(x, 200), 7) << x;  // inline glyph row 0x3f
    EXPECT_EQ(at(41, 200), 0);
    EXPECT_EQ(at(47, 200), 7);  // 'H' after the glyph and a space
    EXPECT_EQ(at(47, 205), 7);
    int status = 0;
    for (int y = 211; y < 240; y++)
        for (int x = 35; x < 80; x++) status += at(x, y) == 14;
    EXPECT_GT(status, 20);
    EXPECT_EQ(at(35, 222), 14);  // 'b' of "booting" two lines down
}

TEST_F(printer, hostile_fonts_texts_and_cursors_stay_in_the_bitmap) {
    std::mt19937 rng(1234);
    const int32_t corners[] = {0, INT32_MAX, INT32_MIN, INT32_MAX - 3, INT32_MIN + 5, 470, -9};
    for (int round = 0; round < 300; round++) {
        target(37, 23);
        for (uint32_t a = 0x5F56; a <= 0x5F5B; a++) poke(a, (uint8_t)rng());
        if (round % 3 == 0) poke(ADDR_FONT_MAIN, 0xFF);  // glyphs reach past 0x10000
        for (int i = 0; i < 64; i++) poke(0x4000 + (rng() & 0x7FF), (uint8_t)rng());
        poke4(ADDR_PRINT_X, corners[rng() % 7]);
        poke4(ADDR_PRINT_Y, corners[rng() % 7]);
        poke4(ADDR_CAMERA_X, corners[rng() % 7]);
        poke4(ADDR_PRINT_HOME_X, corners[rng() % 7]);
        poke(ADDR_PRINT_FLAGS, (uint8_t)rng());
        std::string s;
        const char* spice = "\1\2\3\4\5\6\10\t\n\13\14\15\16\17-wtp=#ibu$oxyjrsd@!:;.,9c";
        for (int i = 0, n = 1 + rng() % 60; i < n; i++)
            s += rng() % 2 ? spice[rng() % std::strlen(spice)] : (char)rng();
        int r = print(s, (int)rng(), (int)rng());
        for (int i = 0; r && p->print->text && i < 300; i++) r = run_print_loop(p->print);
        ASSERT_EQ(ud_width(bmp.data()), 37u);
        ASSERT_EQ(ud_height(bmp.data()), 23u);
    }
    for (uint32_t a = 0x5F56; a <= 0x5F5B; a++) poke(a, 0);
    poke4(ADDR_CAMERA_X, 0);
    poke(ADDR_PRINT_FLAGS, 0);
    poke(ADDR_PRINT_SIZE_OVR, 0xFF);
    poke(ADDR_FONT_MAIN, 0x40);
    poke4(ADDR_PRINT_X, INT32_MAX - 2);
    print("AAAA\6w\6x\xff" "AA");  // cursor saturates rather than wrapping round
    EXPECT_EQ(print_max_x, INT32_MAX);
}

// Runs of plain glyphs are drawn, charged and placed at once; the result
// is that of the item loop, glyph by glyph (mirel_print_char and the
// item's charge), in pixels, cursor, extent, charge and where the ceiling
// stops a long run. Both sides start after a skip-frames command.
TEST_F(printer, plain_glyph_runs_match_the_item_loop) {
    struct outcome {
        std::vector<uint8_t> pixels;
        int x, y;
        int64_t max_x, max_y, pos;
        int32_t cycles;
        bool stopped;
        bool operator==(const outcome&) const = default;
    };
    auto run = [&](uint32_t seed, bool item_loop) {
        std::mt19937 rng(seed);
        const bool long_run = seed % 50 == 0;
        target(long_run ? 480 : 8 + (int)(rng() % 80), long_run ? 270 : 4 + (int)(rng() % 40));
        poke(ADDR_WRITE_MASK, rng() % 4 ? 63 : (uint8_t)rng());
        poke(ADDR_SHAPE_TARGET_MASK, rng() % 4 ? 63 : (uint8_t)rng());
        if (rng() % 2 && !long_run) {
            for (uint32_t a = ADDR_CLIP_WORDS; a < ADDR_CLIP_WORDS + 8; a += 2) poke2(a, (int16_t)(rng() % 60) - 10);
            refresh_clip_box(p);
        }
        poke4(ADDR_CAMERA_X, (int)(rng() % 21) - 10);
        poke4(ADDR_CAMERA_Y, (int)(rng() % 21) - 10);
        if (long_run) font(0x4000, 8, 8, 8, (int)(rng() % 2));
        else font(0x4000, (int)(rng() % 10), (int)(rng() % 10), (int)(rng() % 11), (int)(rng() % 2));
        poke(0x4003, (uint8_t)(rng() % 3));
        poke(0x4004, (uint8_t)(rng() % 3));
        for (uint32_t a = 0x4008; a < 0x4800; a++) poke(a, (uint8_t)rng());
        const uint8_t attrs[] = {0, PRINT_ATTR_ON, PRINT_ATTR_ON | PRINT_ATTR_BORDER, PRINT_ATTR_ON | PRINT_ATTR_WIDE};
        poke(ADDR_PRINT_ATTRS, attrs[rng() % 4]);
        cursor((int)(rng() % 100) - 20, (int)(rng() % 50) - (long_run ? 0 : 10));
        std::string s = "\6" "1";
        // a long run: lines of glyphs on the screen until the ceiling
        const int n = long_run ? 200000 : 1 + (int)(rng() % 200);
        for (int i = 0; i < n; i++) {
            const uint32_t k = rng() % 40;
            if (long_run && i % 50 == 49) s += "\6g";
            else if (long_run || k > 3) s += (char)(16 + rng() % 240);
            else if (k == 0) s += '\n';
            else if (k == 1) s += '\t';
            else s += "\14"s + (char)('0' + rng() % 10);
        }
        const int colour = 1 + (int)(rng() % 63), flags = rng() % 2 ? PRINT_FLAG_WRAP : 0;
        EXPECT_EQ(print(s, colour, flags), 1);
        cpu_cycles = 0;
        bool stopped;
        if (item_loop) {
            print_context* c = p->print;
            c->spent = 0;
            stopped = false;
            while (c->text[c->pos] != 0 && !stopped) {
                const int64_t before = c->pos;
                EXPECT_EQ(mirel_print_char(c), 0);
                c->spent += spend_cpu((int32_t)std::max<int64_t>(c->pos - before, 1));
                stopped = c->spent >= PRINT_CYCLE_CEILING;
            }
        } else {
            stopped = run_print_loop(p->print) != 0;
        }
        return outcome{bmp, cx(), cy(), print_max_x, print_max_y, stopped ? p->print->pos : -1, cpu_cycles, stopped};
    };
    for (uint32_t seed = 0; seed < 400; seed++) {
        const outcome item = run(seed, true), fast = run(seed, false);
        EXPECT_EQ(item.stopped, seed % 50 == 0) << seed;
        ASSERT_TRUE(item == fast) << "seed " << seed << ": cursor " << item.x << "," << item.y << " / " << fast.x << ","
                                  << fast.y << " cycles " << item.cycles << " / " << fast.cycles;
    }
}

TEST_F(printer, a_runaway_print_is_cut_at_the_ceiling) {
    target(1024, 512);
    std::string s;
    for (int i = 0; i < 2000; i++) s += "\6c1";
    EXPECT_NE(print(s), 0);
    EXPECT_LT(cpu_cycles, PRINT_CYCLE_CEILING + 8192 + 8);
    destroy_print_buffer();
    EXPECT_EQ(p->print->text, nullptr);
}

}  // namespace
