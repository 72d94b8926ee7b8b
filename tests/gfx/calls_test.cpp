// Graphics calls through a real process: exact charges and the Parts' edge
// cases of state, shapes, sprites and blits, batch forms against the same
// calls made singly, and values that are not our bitmaps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::call;

// bitmap(w, h [, type]): a typed userdata as scripts make them.
int h_bitmap(lua_State* L) {
    const char* type = lua_type(L, 3) == LUA_TSTRING ? lua_tostring(L, 3) : "u8";
    return create_userdata(L, type, 2, luaL_checkinteger(L, 1), luaL_checkinteger(L, 2), nullptr) ? 1 : 0;
}

// put(ud, index, values...): elements from index on.
int h_put(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    const int64_t n = (int64_t)ud_width(b) * ud_height(b), es = ud_elem_bytes(ud_type(b));
    for (int64_t i = luaL_checkinteger(L, 2), a = 3; a <= lua_gettop(L) && i < n; i++, a++) {
        double d = lua_tonumber(L, (int)a);
        int64_t v = lua_tointeger(L, (int)a);
        std::memcpy(ud_data(b) + i * es, ud_type(b) == UTYPE_F64 ? (void*)&d : (void*)&v, (size_t)es);
    }
    return 0;
}

// foreign(): a full userdata that is not ours, laid out like a big bitmap.
int h_foreign(lua_State* L) {
    uint8_t* b = (uint8_t*)lua_newuserdatauv(L, 32, 0);
    std::memset(b, 0, 32);
    ud_write_header(b, UTYPE_U8, 2, 4096, 4096);
    return 1;
}

// same(a, b): true when two bitmaps hold the same bytes.
int h_same(lua_State* L) {
    const uint8_t *a = to_typed_userdata(L, 1), *b = to_typed_userdata(L, 2);
    lua_pushboolean(L, a && b && ud_byte_count(a) == ud_byte_count(b) &&
                           std::memcmp(ud_data(a), ud_data(b), (size_t)ud_byte_count(a)) == 0);
    return 1;
}

struct calls : ::testing::Test {
    hvx_test::process_env env;
    Process* p = nullptr;
    void SetUp() override {
        env.add_global("bitmap", h_bitmap);
        env.add_global("put", h_put);
        env.add_global("foreign", h_foreign);
        env.add_global("same", h_same);
        ASSERT_NE(p = env.spawn(""), nullptr);
        set_current_process(p);
        // The working state a window manager sets up, on a 128x128 target; a
        // 16x8 sprite 3 of colour 3 with colour 5 at its top-left corner; cb()
        // gives the clip box as "left,top,width,height".
        run("T = bitmap(128, 128) _set_draw_target(T) poke(0x5508, 63, 63, 63, 63) pal() color(7) "
            "S = bitmap(16, 8) _set_spr(3, S) _set_draw_target(S) rectfill(0, 0, 15, 7, 3) pset(0, 0, 5) "
            "_set_draw_target(T) "
            "function cb() local l, t, w, h = clip() clip(l, t, w, h) return l..','..t..','..w..','..h end");
    }
    void TearDown() override { set_current_process(nullptr); }
    void run(const std::string& code) { ASSERT_EQ(hvx_test::run_in(p, code), ""); }
    bool holds(const std::string& expr) { return hvx_test::run_in(p, "return " + expr) == "true"; }
};

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
        {"", lua54_palt, "6", 0, "", "peek(0x8045) == 5 and peek(0x8085) == 5 and peek(0x8000) == 0xc0"},
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
    };
    for (const call_row& r : rows) {
        run("_set_draw_target(T) cls() camera() clip() fillp() color(7) pal() line() " + std::string(r.setup));
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
    )");
    for (const char* r : {"R1", "R2", "R3", "R4", "R5"}) EXPECT_TRUE(holds(r)) << r;
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
