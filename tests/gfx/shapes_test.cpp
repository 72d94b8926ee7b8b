// Golden pictures: circles and filled circles of radius 0 to 6; split and
// thin ovals, rounded rectangles with clamped and small radii, an inverted
// fill inside a clip box; map tiles flipped, transposed and stretched.
#include <random>
#include <string>
#include <vector>

#include "gfx/gfx_internal.h"
#include "tests/gfx/calls_fixture.h"

namespace {

using gfx_test::calls;

TEST_F(calls, shapes_and_tiles_draw_the_recorded_pictures) {
    const char* circles = R"(
a..a...aaa....aaa......aaa.......aaaaa........aaaaa.....
..a.a.a...a..a...a...aa...aa....a.....a......a.....a....
...a..a...a.a.....a..a.....a...a.......a....a.......a...
......a...a.a.....a.a.......a.a.........a..a.........a..
.......aaa..a.....a.a.......a.a.........a.a...........a.
.............a...a..a.......a.a.........a.a...........a.
..............aaa....a.....a..a.........a.a...........a.
.....................aa...aa..a.........a.a...........a.
.......................aaa.....a.......a..a...........a.
................................a.....a....a.........a..
.................................aaaaa......a.......a...
.............................................a.....a....
..............................................aaaaa.....
........................................................
b..b...bbb....bbb......bbb.......bbbbb........bbbbb.....
..bbb.bbbbb..bbbbb...bbbbbbb....bbbbbbb......bbbbbbb....
...b..bbbbb.bbbbbbb..bbbbbbb...bbbbbbbbb....bbbbbbbbb...
......bbbbb.bbbbbbb.bbbbbbbbb.bbbbbbbbbbb..bbbbbbbbbbb..
.......bbb..bbbbbbb.bbbbbbbbb.bbbbbbbbbbb.bbbbbbbbbbbbb.
.............bbbbb..bbbbbbbbb.bbbbbbbbbbb.bbbbbbbbbbbbb.
..............bbb....bbbbbbb..bbbbbbbbbbb.bbbbbbbbbbbbb.
.....................bbbbbbb..bbbbbbbbbbb.bbbbbbbbbbbbb.
.......................bbb.....bbbbbbbbb..bbbbbbbbbbbbb.
................................bbbbbbb....bbbbbbbbbbb..
.................................bbbbb......bbbbbbbbb...
.............................................bbbbbbb....
..............................................bbbbb.....
)";
    const char* ovals = R"(
.cc..cc...dddd.....eeeeee......ffff......ggggg...hhhhhhhhhh........
c..c.cc.dd....dd..eeeeeeee....f....f....ggggggg..h........h..iiiiii
c..c.cc.d......d.eeeeeeeeee..f......f..ggggggggg.h........h..i...ii
.cc..cc.dd....dd.eeeeeeeeee.f........f.ggggggggg.h........h.......i
.....cc...dddd....eeeeeeee..f........f.ggggggggg.hhhhhhhhhh.......i
.....cc............eeeeee...f........f..ggggggg...................i
............................f........f...ggggg.....hhhhhh....i...ii
.............................f......f.............h......h...iiiiii
..............................f....f.............h........h..iiiiii
...............................ffff..............h........h........
..................................................h......h.........
...................................................hhhhhh..........
)";
    const char* tiles = R"(
abcdaeimdcbamnop.............
efghbfjnhgfeijkl.............
ijklcgkolkjiefgh.............
mnopdhlpponmabcd.............
mieadhlp....abcd.............
njfbcgko....efgh.............
okgcbfjn....ijkl.............
plhdaeim....mnop.............
.............................
aabbccddaaeeiimm.aabccdaaeiim
aabbccddaaeeiimm.iijkklccgkko
eeffgghhbbffjjnn.mmnoopddhllp
eeffgghhbbffjjnn.............
iijjkkllccggkkoo.............
iijjkkllccggkkoo.............
mmnnooppddhhllpp.............
mmnnooppddhhllpp.............
)";
    EXPECT_EQ(hvx_test::run_in(p, R"(
        G = bitmap(56, 27) _set_draw_target(G)
        local x = 0
        for r = 0, 6 do circ(x + r, r, r, 1) circfill(x + r, 14 + r, r, 2) x = x + 2 * r + 2 end
        return '\n' .. art(G))"),
              circles);
    EXPECT_EQ(hvx_test::run_in(p, R"(
        G = bitmap(67, 12) _set_draw_target(G)
        oval(0, 0, 3, 3, 3) oval(6, 5, 5, 0, 3) oval(8, 0, 15, 4, 4) ovalfill(17, 0, 26, 5, 5)
        rrect(28, 0, 10, 10, 100, 6) rrectfill(39, 0, 9, 7, 2, 7) rrect(49, 0, 10, 5, 0, 8) rrect(49, 6, 10, 6, 2, 8)
        clip(61, 1, 6, 8) circfill(63, 4, 2, 9 | 1 << 35)
        return '\n' .. art(G))"),
              ovals);
    // Sprite 7: 4 x 4 of colours 1 to 16; cells plain, transposed, flipped
    // in x, in y, transposed and flipped, sprite 0 (hidden), plain; then the
    // first two at 8 x 8 and at 6 x 3.
    EXPECT_EQ(hvx_test::run_in(p, R"(
        local A = bitmap(4, 4) _set_draw_target(A) for i = 0, 15 do pset(i % 4, i // 4, i + 1) end
        _set_spr(7, A) _set_spr(0, A)
        local M = bitmap(4, 2, 'i16') put(M, 0, 7, 7 | 0x2000, 7 | 0x4000, 7 | 0x8000, 7 | 0x6000, 7 | 0xa000, 0, 7)
        G = bitmap(29, 17) _set_draw_target(G)
        _draw_map(M, 0, 0, 0, 0, -1, -1, 0, 4, 4)
        _draw_map(M, 0, 0, 0, 9, 2, 1, 0, 8, 8)
        _draw_map(M, 0, 0, 17, 9, 2, 1, 0, 6, 3)
        return '\n' .. art(G))"),
              tiles);
}

// Half-axes at the tracer's bound walk their millions of steps exactly (the
// sanitizers watch the 64-bit terms).
TEST_F(calls, tracers_at_their_bound) {
    // Each call charges millions: the slice starts afresh for each.
    auto draw = [&](int (*fn)(lua_State*), const char* args) {
        cpu_cycles = 0;
        const int32_t charged = hvx_test::call(p, fn, args).charged;
        cpu_cycles = 0;
        return charged;
    };
    const int32_t one = draw(lua54_circfill, "64, 2^20 + 60, 2^20, 7");
    // A batch of 100,000 of them (stride 0) ends once it is past the most
    // debt a process may carry: here after the first.
    run("V = bitmap(4, 1, 'f64') put(V, 0, 64, 2^20 + 60, 2^20, 7)");
    EXPECT_EQ(draw(lua54_circfill, "V, 0, 100000, 4, 0"), 2 + one);
    draw(lua54_circ, "64, 2^20 + 60, 2^20, 8");
    EXPECT_TRUE(holds("pget(64, 60) == 8 and pget(64, 59) == 0 and pget(64, 61) == 7 and pget(0, 127) == 7"));
    run("cls()");
    draw(lua54_oval, "0, 100, 2^21, 102, 9");
    EXPECT_TRUE(holds("pget(0, 101) == 9 and pget(127, 101) == 9 and pget(127, 100) == 0"));
}

// Shapes past the bound are found row by row: every row agrees with the
// tracer's walk, here the walk as written, over all small half-axes and
// some larger ones.
TEST(ellipse_rows, agree_with_the_walk) {
    auto check = [](int64_t a, int64_t b) {
        std::vector<gfx::ellipse_row> walked(b + 1, {-1, -1});
        const int64_t a2 = a * a, b2 = b * b;
        const int64_t crit1 = -(a2 / 4 + a % 2 + b2), crit2 = -(b2 / 4 + b % 2 + a2), crit3 = -(b2 / 4 + b % 2);
        int64_t t = -a2 * b, dxt = 0, dyt = -2 * a2 * b, x = 0, y = b;
        while (y >= 0 && x <= a) {
            if (walked[y].from < 0) walked[y].from = x;
            walked[y].to = x;
            if (t + b2 * x <= crit1 || t + a2 * y <= crit3) {
                x++, dxt += 2 * b2, t += dxt;
            } else if (t - a2 * y > crit2) {
                y--, dyt += 2 * a2, t += dyt;
            } else {
                x++, dxt += 2 * b2, y--, dyt += 2 * a2, t += dxt + dyt;
            }
        }
        for (int64_t r = 0; r <= b; r++) {
            const gfx::ellipse_row got = gfx::ellipse_row_reach(a, b, r);
            ASSERT_EQ(std::vector<int64_t>({got.from, got.to}), std::vector<int64_t>({walked[r].from, walked[r].to}))
                << "a " << a << " b " << b << " row " << r;
        }
    };
    for (int64_t a = 1; a <= 40; a++)
        for (int64_t b = 1; b <= 40; b++) check(a, b);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200; i++) check(1 + rng() % 3000, 1 + rng() % 3000);
}

}  // namespace
