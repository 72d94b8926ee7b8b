// The graphics-call tests' process: a working draw state on a 128 x 128
// target, sprite 3 (16 x 8 of colour 3, colour 5 at its top-left corner),
// and host helpers for making and comparing bitmaps from scripts.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace gfx_test {

// bitmap(w, h [, type]): a typed userdata as scripts make them.
inline int h_bitmap(lua_State* L) {
    const char* type = lua_type(L, 3) == LUA_TSTRING ? lua_tostring(L, 3) : "u8";
    return create_userdata(L, type, 2, luaL_checkinteger(L, 1), luaL_checkinteger(L, 2), nullptr) ? 1 : 0;
}

// put(ud, index, values...): elements from index on.
inline int h_put(lua_State* L) {
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
inline int h_foreign(lua_State* L) {
    uint8_t* b = (uint8_t*)lua_newuserdatauv(L, 32, 0);
    std::memset(b, 0, 32);
    ud_write_header(b, UTYPE_U8, 2, 4096, 4096);
    return 1;
}

// same(a, b): true when two bitmaps hold the same bytes.
inline int h_same(lua_State* L) {
    const uint8_t *a = to_typed_userdata(L, 1), *b = to_typed_userdata(L, 2);
    lua_pushboolean(L, a && b && ud_byte_count(a) == ud_byte_count(b) &&
                           std::memcmp(ud_data(a), ud_data(b), (size_t)ud_byte_count(a)) == 0);
    return 1;
}

// art(ud): the bitmap as rows of text, "." for 0 and a letter from "a" for
// the other colours (1 is "a"), rows ended by newlines.
inline int h_art(lua_State* L) {
    const uint8_t* b = to_typed_userdata(L, 1);
    std::string out;
    for (uint32_t y = 0; b && y < ud_height(b); y++, out += '\n')
        for (uint32_t x = 0; x < ud_width(b); x++) {
            const uint8_t v = ud_data(b)[y * ud_width(b) + x];
            out += v ? (char)('a' + (v - 1) % 26) : '.';
        }
    lua_pushstring(L, out.c_str());
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
        env.add_global("art", h_art);
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

}  // namespace gfx_test
