// The built-in small font: its header, spacing nibbles and glyph shapes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gfx/gfx.h"

namespace {

std::string glyph_bytes(int c) { return std::string((const char*)lil_font_dat + c * 8, 8); }

// The signed width adjustment of code c's nibble.
int adjustment(int c) {
    int nib = (lil_font_dat[c / 2] >> ((c & 1) * 4)) & 7;
    return nib < 4 ? nib : nib - 8;
}

TEST(lil_font, header_describes_a_five_by_eleven_cell) {
    const uint8_t want[8] = {5, 10, 11, 0, 0, 3, 0, 0};
    for (int i = 0; i < 8; i++) EXPECT_EQ(lil_font_dat[i], want[i]) << i;
}

TEST(lil_font, printable_glyphs_fit_their_advance_with_a_gap) {
    std::set<std::string> seen;
    for (int c = 33; c < 127; c++) {
        const std::string g = glyph_bytes(c);
        EXPECT_NE(g, std::string(8, '\0')) << (char)c;
        EXPECT_TRUE(seen.insert(g).second) << (char)c << " looks like another glyph";
        const int advance = 5 + adjustment(c);
        EXPECT_GE(advance, 2) << (char)c;
        for (unsigned char row : g) EXPECT_LT(row, 1u << (advance - 1)) << (char)c;
        // Raised drawing is never asked for: every glyph sits on the same baseline.
        EXPECT_EQ((lil_font_dat[c / 2] >> ((c & 1) * 4)) & 8, 0) << (char)c;
    }
    EXPECT_EQ(5 + adjustment(' '), 4);
    EXPECT_LT(adjustment('i'), 0);  // narrow and wide letters spaced by their nibbles
    EXPECT_GT(adjustment('M'), 0);
}

TEST(lil_font, upper_half_is_blank_and_glyphs_share_a_baseline) {
    for (int i = 128 * 8; i < 4096; i++) ASSERT_EQ(lil_font_dat[i], 0) << i;
    for (int i = 64; i < 128; i++) EXPECT_EQ(lil_font_dat[i], 0) << i;  // nibbles of 128-255
    EXPECT_NE(lil_font_dat['H' * 8], 0);
    EXPECT_EQ(lil_font_dat['o' * 8], 0);
    EXPECT_NE(lil_font_dat['g' * 8 + 7], 0);  // descender
}

}  // namespace
