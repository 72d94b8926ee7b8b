// Graphics calls through a real process: exact charges and the edge cases of
// state, shapes, sprites and blits, batch forms against the same calls made
// singly, and values that are not our bitmaps.
#include <string>
#include <vector>

#include "tests/gfx/calls_fixture.h"

namespace {

using gfx_test::calls;
using hvx_test::call;

struct call_row {
    const char* setup;
    int (*fn)(lua_State*);
    const char* args;
    int32_t charged;
    const char* results;  // joined by ","
    const char* check;    // a Lua expression that must hold afterwards
};

TEST_F(calls, charges_and_edge_cases) {
    const call_row rows[] = {
        {"", lua54_cls, "5", 256, "", "pget(0, 0) == 5 and pget(127, 127) == 5 and peek4(0x54f0) == 0"},
        {"camera(10, 20)", lua54_pset, "10, 20, 7", 0, "", "camera() == 10 and pget(0, 0) == 7"},
        {"", lua54_camera, "3, 4", 0, "0,0", "camera() == 3"},
        {"", lua54_clip, "-5, -5, 20, 20", 0, "0,0,128,128,false", "cb() == '0,0,15,15'"},
        {"", lua54_clip, "0, 0, 0, 10", 0, "0,0,128,128,true", "true"},
        {"clip(0, 0, 120, 120)", lua54_clip, "100, 100, 50, 50, true", 0, "0,0,120,120,false", "cb() == '100,100,20,20'"},
        {"", lua54_clip, "40000, 0, 10, 10", 0, "0,0,128,128,true", "true"},  // not wrapped to a full box
        {"poke2(0x5528, 10, 20, 1000, 200)", lua54_clip, "", 0, "10,20,118,108,false", "cb() == '0,0,128,128'"},
        {"line()", lua54_line, "5, 5", 0, "", "pget(5, 5) == 0 and peek4(0x5520) == 5"},
        {"line() line(5, 5)", lua54_line, "10, 5", 6, "", "pget(5, 5) == 7 and pget(10, 5) == 7 and pget(11, 5) == 0"},
        {"", lua54_line, "5, 5, 200, 5", 123, "", "pget(127, 5) == 7 and peek4(0x5520) == 200"},
        {"", lua54_rect, "0, 0, 0, 10, 7", 3, "", "pget(0, 0) == 7 and pget(0, 10) == 7 and pget(1, 5) == 0"},
        {"", lua54_rect, "0, 0, 9, 9, 7", 12, "", "pget(9, 5) == 7 and pget(5, 5) == 0"},
        {"", lua54_rectfill, "9, 9, 0, 0, 7", 20, "", "pget(0, 0) == 7 and pget(10, 10) == 0"},
        // Inverted: everything but the square, also with the corners reversed.
        {"", lua54_rectfill, "0, 0, 9, 9, 7 | 1 << 35", 2756, "", "pget(5, 5) == 0 and pget(10, 3) == 7 and pget(3, 10) == 7"},
        {"", lua54_rectfill, "9, 9, 0, 0, 7 | 1 << 35", 2756, "", "pget(5, 5) == 0 and pget(127, 127) == 7"},
        // Pattern 0xAAAA from the colour argument: the second colour (0) keeps the destination.
        {"", lua54_rectfill, "0, 0, 9, 9, 7 | 0xAAAA << 16 | 1 << 32", 20, "", "pget(0, 0) == 0 and pget(1, 0) == 7"},
        {"", lua54_pget, "-1, 0", 0, "0", "true"},
        {"X = bitmap(40000, 2) _set_draw_target(X)", lua54_pset, "100, 1, 7", 0, "", "pget(100, 1) == 7 and cb() == '0,0,32767,2'"},
        {"pal(5, 9, 1)", lua54_pal, "1", 1, "", "peek(0x5485) == 5"},
        {"pal(5, 9, 1)", lua54_pal, "3", 0, "", "peek(0x5485) == 9"},
        {"poke(0x5400, 0x55) palt(3, true) poke(0x9000, 1)", lua54_pal, "", 17, "", "peek(0x5400) == 0 and peek(0x9000) == 0x40 and peek(0x80c5) == 0xc3"},
        {"", lua54_pal, "{[1] = 2, [2] = 3, x = 5}, 1", 6, "", "peek(0x5481) == 2 and peek(0x5482) == 3"},
        {"palt(0, false)", lua54_pal, "0", 8, "", "peek(0x8005) == 5"},  // opaque rows are put back too
        // A mask (or none) rewrites all 64 rows of the first page.
        {"", lua54_palt, "6", 64 * PALT_ROW_COST, "", "peek(0x8045) == 5 and peek(0x8085) == 5 and peek(0x8000) == 0xc0"},
        {"palt(6)", lua54_palt, "", 64 * PALT_ROW_COST, "", "peek(0x8045) == 0xc1 and peek(0x8000) == 0"},
        {"", lua54_palt, "0x47, true", 0, "", "peek(0x91c5) == 0x45"},
        {"", lua54_fillp, "1, 2, 4, 8, 16, 32, 64, 128", 0, "", "peek(0x5500) == 0x80 and peek(0x5507) == 1"},
        {"", lua54_color, "", 0, "", "peek2(0x550c) == 6"},
        {"", lua54_cursor, "3, 4, 9", 0, "", "peek4(0x54f4) == 4 and peek2(0x550c) == 9"},
        {"", lua54_spr, "3 | 0x10000 | 0x20000, 100, 50", 21, "", "pget(92, 46) == 5 and pget(91, 46) == 0 and pget(93, 46) == 3"},
        {"fillp(0x5a5a)", lua54_spr, "3, 0, 0", 42, "", "pget(0, 0) == 5"},
        {"", lua54_spr, "3 | 0x4000, 0, 0, true", 21, "", "pget(15, 0) == 5"},  // flags OR the argument
        {"", lua54_spr, "3, 0, 0, true, true", 21, "", "pget(15, 7) == 5"},
        {"", lua54_spr, "9, 0, 0", 0, "", "pget(0, 0) == 0"},  // empty entry
        {"_set_spr(9, 1)", lua54_spr, "9, 0, 0", 42, "", "pget(0, 0) == 0"},  // the null sprite: 16x16 of 0
        {"B = bitmap(16, 16) _set_draw_target(B) for x = 0, 15 do pset(x, 0, x) end", lua54_blit, "B, B, 0, 0, 1, 0", 79, "",
         "pget(0, 0) == 0 and pget(1, 0) == 0 and pget(2, 0) == 1 and pget(15, 0) == 14"},
        {"M = bitmap(4, 4, 'i16')", lua54_blit, "M, T", 1, "", "true"},  // mismatched types copy nothing
        {"M = bitmap(4, 4, 'i16') put(M, 0, 1, 2, 3, 4) N = bitmap(4, 4, 'i16') E = bitmap(4, 4, 'i16') put(E, 0, 2, 3)",
         lua54_blit, "M, N, 1, 0, 0, 0, 2, 1", 1, "", "same(N, E)"},
        {"V = bitmap(3, 2, 'f64') put(V, 0, 1, 1, 7, 2, 2, 8)", lua54_pset, "V, 0, 5", 4, "", "pget(1, 1) == 7 and pget(2, 2) == 8"},
        {"V = bitmap(3, 2, 'f64') put(V, 0, 1, 1, 7, 2, 2, 8)", lua54_pset, "V, 0, 5, 3, -1", 2, "", "pget(1, 1) == 7 and pget(2, 2) == 0"},
        {"V = bitmap(3, 2, 'f64') put(V, 0, 1, 1, 7, 2, 2, 8)", lua54_pset, "V, -3", 1, "", "pget(1, 1) == 0"},
        {"V = bitmap(5, 2, 'f64') put(V, 0, 0, 0, 9, 0, 7, 0, 1, 0, 1, 1 << 35 | 7)", lua54_rectfill, "V", 4 + (6 + 8320) / 3, "",
         "pget(5, 0) == 7 and pget(0, 1) == 0 and pget(3, 3) == 7"},
        {"V = bitmap(5, 1, 'f64') put(V, 0, 0, 0, 9, 0, 7)", lua54_line, "V", 3 + 10, "", "pget(9, 0) == 7"},
        {"line(0, 0) V = bitmap(2, 2, 'f64') put(V, 0, 4, 0, 4, 4)", lua54_line, "V", 6 + 10, "", "pget(4, 4) == 7 and pget(2, 0) == 7"},
        {"V = bitmap(3, 2, 'f64') put(V, 0, 3, 10, 10, 3 | 0x4000, 40, 0)", lua54_spr, "V", 4 + 42, "",
         "pget(10, 10) == 5 and pget(55, 0) == 5"},
        // Circles, ovals and rounded rectangles.
        {"", lua54_circ, "10, 10, 0, 7", 1, "", "pget(10, 10) == 7"},
        {"", lua54_circ, "10, 10, 1, 7", 2, "", "pget(10, 9) == 7 and pget(10, 10) == 0 and pget(9, 9) == 0"},
        {"", lua54_oval, "9, 9, 11, 11, 7", 6, "", "pget(11, 10) == 7"},  // the full cost
        {"", lua54_circfill, "10, 10, 1, 7", (8 + 2 + 2 + 8 + 3) / 3, "", "pget(9, 10) == 7 and pget(9, 9) == 0"},
        {"", lua54_circ, "10, 10, -1, 7", 0, "", "pget(10, 10) == 0"},
        {"", lua54_circfill, "10, 10, -1, 7", 0, "", "pget(10, 10) == 0"},
        {"", lua54_circfill, "10, 10, -1, 7 | 1 << 35", 2773, "", "pget(0, 0) == 7"},
        {"clip(10, 10, 20, 20)", lua54_circfill, "20, 20, 1000, 7", 20 * 11 / 3, "",  // the clip box
         "pget(10, 10) == 7 and pget(9, 10) == 0 and pget(29, 29) == 7 and pget(30, 29) == 0"},
        {"clip(10, 10, 20, 20)", lua54_circfill, "20, 20, 1000, 7 | 1 << 35", 1, "", "pget(10, 10) == 0"},
        {"", lua54_rrect, "0, 0, 10, 10, 100, 7", (8 + 24) / 3, "",  // corners of radius 5, no edges
         "pget(3, 0) == 7 and pget(7, 0) == 0 and pget(0, 3) == 7 and pget(0, 2) == 0"},
        {"", lua54_rrect, "0, 0, 4, 3, 0, 7", 10 / 3, "", "pget(0, 1) == 7 and pget(1, 1) == 0 and pget(3, 2) == 7"},
        {"", lua54_rrectfill, "0, 0, 4, 3, 0, 7", 9 / 3, "", "pget(1, 1) == 7 and pget(4, 1) == 0"},
        {"", lua54_rrectfill, "0, 0, 0, 5, 2, 7 | 1 << 35", 2773, "", "pget(127, 127) == 7"},
        {"", lua54_rrectfill, "0, 0, 0, 5, 2, 7", 0, "", "pget(0, 0) == 0"},
        {"V = bitmap(4, 1, 'f64') put(V, 0, 10, 10, -1, 7)", lua54_circfill, "V", 2, "", "pget(10, 10) == 0"},
        // A missing colour is the colour word as it stands, never a pattern or an inverted fill.
        {"color(0x8007) V = bitmap(3, 1, 'f64') put(V, 0, 10, 10, 1)", lua54_circfill, "V", 2 + 23 / 3, "",
         "pget(10, 10) == 7 and pget(0, 0) == 0"},
        // Boxes of 2^32 rows, and radii past the tracer's bound: quick, and nothing outside the target.
        {"", lua54_oval, "0, -2^31, 1, 2^31 - 1, 7", 128 * 2, "", "pget(1, 127) == 7 and pget(2, 127) == 0"},
        {"", lua54_rrectfill, "0, 0, 10, 2^31 - 1, 0, 7", 128 * 6 / 3, "", "pget(9, 127) == 7"},
        // Too large to trace: each of the 128 rows its two points and the row's cost.
        {"", lua54_circ, "64, 64, 2^30, 7", 128 * (ELLIPSE_HUGE_ROW_COST + 2) / 3, "", "pget(64, 64) == 0 and pget(0, 64) == 0"},
        // Textured lines: each row of the cost table, one-pixel lines, the window words, maps.
        {"", lua54_tline3d, "3, 0, 0, 15, 0, 0, 0", 16 / 3, "", "pget(0, 0) == 5 and pget(1, 0) == 3 and pget(16, 0) == 0"},
        {"", lua54_tline3d, "3, 0, 0, 15, 0, 0, 0, nil, nil, nil, nil, 0x400", 16 / 2, "", "pget(0, 0) == 5"},
        {"fillp(0x5a5a)", lua54_tline3d, "3, 0, 0, 15, 0, 0, 0", 2 * 16 / 5, "", "pget(0, 0) == 5"},
        {"fillp(0x5a5a)", lua54_tline3d, "3, 0, 0, 15, 0, 0, 0, nil, nil, nil, nil, 0x400", 2 * 16 / 3, "", "true"},
        {"M = bitmap(2, 1, 'i16') put(M, 0, 3, 3 | 0x4000)", lua54_tline3d, "M, 0, 0, 31, 0, 0, 0, 31 / 16, 0", 2 * 32 / 3,
         "", "pget(0, 0) == 5 and pget(16, 0) == 3 and pget(31, 0) == 5"},
        {"M = bitmap(2, 1, 'i16') put(M, 0, 3, 3 | 0x4000)", lua54_tline3d,
         "M, 0, 0, 31, 0, 0, 0, 31 / 16, 0, 1, 1, 0x400", 32, "", "pget(31, 0) == 5"},
        {"cls(9) palt(0, false) M = bitmap(1, 1, 'i16') put(M, 0, 9)", lua54_tline3d, "M, 0, 0, 3, 0, 0, 0", 2, "",
         "pget(3, 0) == 0 and pget(4, 0) == 9"},  // an empty sprite entry: source 0
        {"X = bitmap(16, 1) _set_draw_target(X) for i = 0, 15 do pset(i, 0, i + 1) end _set_draw_target(T) "
         "poke2(0x5534, 8) poke2(0x5530, 2)",
         lua54_tline3d, "X, 0, 0, 15, 0, 0, 0", 5, "", "pget(0, 0) == 3 and pget(7, 0) == 10 and pget(8, 0) == 3"},
        {"", lua54_tline3d, "3, 0, 0, 1, 0, 0, 0, nil, nil, nil, nil, 0x100", 1, "", "pget(0, 0) == 5 and pget(1, 0) == 0"},
        {"", lua54_tline3d, "3, 5, 5, 5, 5, 0, 0", 1, "", "pget(5, 5) == 5"},
        {"", lua54_tline3d, "3, 0, 0, 15, 0, 0, 0, 16, 0, 0", 1, "", "pget(0, 0) == 0"},  // w0 = 0
        {"", lua54_tline3d, "3, 0, 0, math.huge, 5, 0, 0", 1, "", "pget(0, 0) == 0"},
        {"", lua54_tline3d, "3, 0, 0, 100, 0, math.huge - math.huge, 0", 1, "", "pget(0, 0) == 0"},
        {"B = bitmap(65536, 1) put(B, 40000, 9)", lua54_tline3d, "B, 0, 0, 7, 0, 40000, 0", 8 / 3, "", "pget(0, 0) == 9"},
        {"V = bitmap(12, 1, 'f64') put(V, 0, 3, 0, 0, 15, 0, 0, 0)", lua54_tline3d, "V, 0, 1, 7", 3 + 5, "", "pget(0, 0) == 5"},
        // Stretched sprites.
        {"", lua54_sspr, "3, 0, 0, 16, 8, 10, 10, 32, 16", 16 * 16 / 3, "",
         "pget(10, 10) == 5 and pget(11, 11) == 5 and pget(12, 10) == 3 and pget(42, 10) == 0"},
        {"", lua54_sspr, "3, 0, 0, 16, 8, 10, 10, -16, 8", 8 * 5 / 3, "", "pget(9, 10) == 5 and pget(10, 10) == 0"},
        {"", lua54_sspr, "3 | 0x10000, 0, 0, 8, 8, 10, 0, 8, 8", 8 * 3 / 3, "",
         "pget(6, 0) == 5 and pget(5, 0) == 0 and pget(12, 0) == 3 and pget(13, 0) == 0"},
        {"", lua54_sspr, "3, 0, 0, 16, 8, 0, 0, 4, 63", 4 * 31 / 3, "", "pget(3, 62) == 3"},  // 4 columns, not 63 rows
        {"", lua54_sspr, "3, 8, 0, 16, 8, 0, 0, 32, 8", 8 * 8 / 3, "", "pget(15, 0) == 3 and pget(16, 0) == 0"},
        // A source start left of the sprite moves the destination on and keeps its size.
        {"", lua54_sspr, "3, -4, 0, 8, 8, 0, 0, 16, 8", 8 * 8 / 3, "",
         "pget(7, 0) == 0 and pget(8, 0) == 5 and pget(9, 0) == 5 and pget(10, 0) == 3 and pget(23, 0) == 3 and "
         "pget(24, 0) == 0"},
        // Moved far past an empty clip box: the visible part is worked out without overflow.
        {"poke2(0x5528, 0, 0, -32768, 128)", lua54_sspr, "3, -2^62, 0, 1, 8, 0, 0, 16, 8", 1, "", "pget(0, 0) == 0"},
        {"_set_spr(9, bitmap(2, 2, 'i16'))", lua54_sspr, "9", 1, "", "pget(0, 0) == 0"},
        {"", lua54_sspr, "3, 0, 0, 16, 8, -1e12, 0, 1e300, 8", 8 * 64 / 3, "", "pget(127, 7) == 3 and pget(0, 8) == 0"},
        {"", lua54_sspr, "3, 0, 0, 16, 8, 0, 0, math.huge - math.huge, 8", 0, "", "pget(0, 0) == 0"},
        {"B = bitmap(65536, 1) put(B, 40000, 9)", lua54_sspr, "B, 40000, 0, 8, 1, 0, 1", 4 / 3, "", "pget(0, 1) == 9"},
        {"V = bitmap(9, 1, 'f64') put(V, 0, 3, 0, 0, 16, 8, 10, 10, 32, 16)", lua54_sspr, "V", 5 + 16 * 16 / 3, "",
         "pget(11, 11) == 5"},
        // Maps (MAP(): sprite 1 is 8 x 8 of colour 4 with 6 at its corner, M 50 x 2 cells of it) and flags.
        {"MAP()", lua54__draw_map, "M, -2, 0, 100, 0, 5, 1, 0, 8, 8", 2 * 2 + (32 + 16) / 3, "",
         "pget(115, 0) == 0 and pget(116, 0) == 6 and pget(123, 7) == 4 and pget(124, 0) == 6"},
        {"MAP()", lua54__draw_map, "M, 60, 0", 0, "", "true"},
        {"MAP()", lua54__draw_map, "M, 0, 0, 0, 0, -1, -1, 0, 8, 8", 16 * 2 * 2 + 32 * 32 / 3, "",
         "pget(120, 8) == 6 and pget(0, 16) == 0"},
        {"MAP() _set_spr(0, E) put(M, 0, 8192)", lua54__draw_map, "M, 0, 0, 0, 0, 1, 1, 0, 8, 8", 2 + 1, "", "pget(0, 0) == 0"},
        {"MAP() _set_spr(0, E) put(M, 0, 8192) poke(0x5f36, 8)", lua54__draw_map, "M, 0, 0, 0, 0, 1, 1, 0, 8, 8", 2 + 10,
         "", "pget(0, 0) == 6"},
        {"MAP() fset(1, 2)", lua54__draw_map, "M, 0, 0, 0, 0, 1, 1, 2, 8, 8", 2 + 10, "", "pget(0, 0) == 6"},
        {"MAP() fset(1, 1)", lua54__draw_map, "M, 0, 0, 0, 0, 1, 1, 2, 8, 8", 2 + 1, "", "pget(0, 0) == 0"},
        {"MAP()", lua54__draw_map, "M, 0, 0, 0, 0, 1, 1, 0, 0, 8", 0, "", "pget(0, 0) == 0"},
        {"MAP()", lua54__draw_map, "M, 0, 0, 0, 0, 1, 1, 0, 8, 1e9", 2 + 128 * 4 / 3, "",
         "pget(0, 127) == 6 and pget(1, 127) == 4"},
        {"", lua54_fset, "5, 0x1ff", 0, "", "fget(5) == 255"},
        {"fset(5, 3)", lua54_fget, "5, 9", 0, "false", "true"},
        {"fset(5, 3)", lua54_fget, "8197, 1", 0, "true", "true"},
        {"fset(5, 3)", lua54_fget, "5, nil", 0, "false", "true"},
        {"fset(5, 3)", lua54_fset, "5, 9, true", 0, "", "fget(5) == 3"},
        {"fset(5, 3)", lua54_fset, "8197, 2, true", 0, "", "fget(5) == 7"},
        {"fset(5, 3)", lua54_fset, "5", 0, "", "fget(5) == 0"},
        {"K = bitmap(3, 2, 'i16') put(K, 4, -5) _map_ram(K, 0x100000)", lua54_mget, "1, 1", 0, "-5", "true"},
        {"K = bitmap(3, 2, 'i16') _map_ram(K, 0x100000)", lua54_mget, "3, 0", 0, "", "true"},
        {"K = bitmap(3, 2, 'i16') _map_ram(K, 0x100000)", lua54_mset, "2, 1, 0x12345", 0, "", "mget(2, 1) == 0x2345"},
        {"_map_ram(bitmap(2, 2), 0x100000)", lua54_mget, "0, 0", 0, "", "true"},
        // A current map mutated to u8 is no map: its cells would run past the storage.
        {"K = bitmap(3, 2, 'i16') _map_ram(K, 0x100000) K:mutate('u8', 6, 2)", lua54_mget, "5, 1", 0, "", "true"},
    };
    run("function MAP() E = bitmap(8, 8) _set_draw_target(E) cls(4) pset(0, 0, 6) _set_draw_target(T) _set_spr(1, E) "
        "M = bitmap(50, 2, 'i16') for i = 0, 99 do put(M, i, 1) end end");
    for (const call_row& r : rows) {
        run("_set_draw_target(T) cls() camera() clip() fillp() color(7) pal() line() poke(0x5530, 0, 0, 0, 0, 0, 0, 0, 0) "
            "poke(0x5f36, 0) " + std::string(r.setup));
        auto got = call(p, r.fn, r.args);
        std::string joined;
        for (auto& v : got.values) joined += (joined.empty() ? "" : ",") + v;
        EXPECT_EQ(got.charged, r.charged) << r.setup << " | " << r.args;
        EXPECT_EQ(joined, r.results) << r.setup << " | " << r.args;
        EXPECT_TRUE(holds(r.check)) << r.setup << " | " << r.args << " | " << r.check;
    }
}

// Random items drawn by a batch and by the same calls made one by one.
TEST_F(calls, batch_forms_draw_as_the_single_calls) {
    run(R"(
        math.randomseed(11)
        A, B = bitmap(128, 128), bitmap(128, 128)
        local function rnd() return math.random(-40, 170) end
        local function col() return math.random(0, 15) | (math.random(0, 3) == 0 and (1 << 35) or 0)
            | (math.random(0, 3) == 0 and (math.random(0, 0xffff) << 16 | 1 << 32) or 0) end
        local function both(draw_batch, draw_one, items, K)
            local V = bitmap(K, #items, 'f64')
            for i, it in ipairs(items) do put(V, (i - 1) * K, table.unpack(it, 1, K)) end
            for pass = 1, 2 do
                _set_draw_target(pass == 1 and A or B)
                cls(1) camera(3, -2) fillp() color(7) line() line(20, 30)
                if pass == 1 then draw_batch(V) else for _, it in ipairs(items) do draw_one(table.unpack(it, 1, K)) end end
            end
            return same(A, B)
        end
        local items = {}
        for i = 1, 60 do items[i] = {rnd(), rnd(), rnd(), rnd(), col()} end
        R1 = both(rectfill, rectfill, items, 5)
        R2 = both(line, line, items, 5)
        R3 = both(pset, pset, items, 3)
        local x, y = 20, 30  -- the polyline from the stored last point
        R4 = both(function(V) line(V, 0, #items, 2, 5) end,
            function(a, b) line(x, y, a, b) x, y = a, b end, items, 5)
        _set_spr(1, S) _set_spr(2, bitmap(3, 5))
        for i = 1, 60 do items[i] = {math.random(0, 3) | math.random(0, 15) << 14, rnd(), rnd()} end
        R5 = both(spr, function(n, a, b) spr(n, a + 3, b - 2) end, items, 3)
        for i = 1, 60 do items[i] = {rnd(), rnd(), math.random(-3, 40), col()} end
        R6 = both(circ, circ, items, 4)
        R7 = both(circfill, circfill, items, 4)
        local function flags() return math.random(0, 2) | math.random(0, 15) << 14 end
        for i = 1, 60 do items[i] = {flags(), math.random(-4, 20), math.random(-4, 10), math.random(-2, 20),
            math.random(-2, 10), rnd() + 0.5, rnd() + 0.25, math.random(-60, 60) + 0.5, math.random(-60, 60)} end
        R8 = both(sspr, sspr, items, 9)
        for i = 1, 60 do items[i] = {flags(), rnd() + 0.5, rnd(), rnd(), rnd() + 0.25, math.random(0, 40) / 4,
            math.random(0, 20), math.random(0, 40), math.random(0, 20) / 3, math.random(1, 8) / 4, math.random(1, 8) / 4,
            math.random(0, 7) << 8} end
        R9 = both(tline3d, tline3d, items, 12)
    )");
    for (const char* r : {"R1", "R2", "R3", "R4", "R5", "R6", "R7", "R8", "R9"}) EXPECT_TRUE(holds(r)) << r;
}

// Sprites and targets kept only by the sprite table and the draw state
// survive a full collection; values that are not our bitmaps do nothing.
TEST_F(calls, held_bitmaps_survive_collection_and_foreign_values_do_nothing) {
    run(R"(
        do
            local s = bitmap(8, 8)
            _set_draw_target(s) cls(4)
            _set_spr(1, s)
            _set_draw_target(bitmap(16, 16))
        end
        collectgarbage() collectgarbage()
        spr(1, 2, 2)
        R1 = pget(2, 2) == 4 and pget(9, 9) == 4 and pget(10, 2) == 0 and pget(1, 1) == 0
        local f = function() return R1 end
        local light = debug.upvalueid(f, 1)
        _set_draw_target(light) _set_draw_target(foreign())
        R2 = pget(2, 2) == 4
        spr(light, 0, 0) spr(foreign(), 0, 0) blit(foreign(), nil) blit(nil, light)
        _set_spr(2, light) spr(2, 0, 0)  -- the null sprite: colour 0 keeps what is there
        R3 = pget(2, 2) == 4 and pget(0, 0) == 0
    )");
    for (const char* r : {"R1", "R2", "R3"}) EXPECT_TRUE(holds(r)) << r;
}

}  // namespace
