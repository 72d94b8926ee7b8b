// The batch forms of pset, rectfill, line, spr, circ, circfill, tline3d and
// sspr on any array with any
// first index, count, values per item and stride, any values (NaN and the
// infinities included), camera, clip words and masks: nothing may be read
// outside the array or written outside the target.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "runtime/runtime.h"
#include "tests/gfx/fuzz/fuzz_process.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 45, H = 29;  // odd sizes: no row is a multiple of 8

// A host call with the arguments pushed above it, as a script's call would
// be: it must not raise.
void call(lua_State* L, int args) {
    if (lua_pcall(L, args, 0, 0) != LUA_OK) abort();
}

Process* drawer() {
    static Process* p = nullptr;
    if (p) return p;
    p = fuzz_process();
    set_current_process(p);
    lua_State* L = p->L;
    lua_settop(L, HVX_HOST_SLOTS);  // the process's chunk: it never runs here
    // The target, and sprites 0-2 of other sizes (1 is not u8).
    lua_pushcfunction(L, lua54__set_draw_target);
    create_userdata(L, "u8", 2, W, H, nullptr);
    call(L, 1);
    const int sizes[3][2] = {{8, 8}, {3, 17}, {40, 2}};
    for (int i = 0; i < 3; i++) {
        lua_pushcfunction(L, lua54__set_spr);
        lua_pushinteger(L, i);
        create_userdata(L, i == 1 ? "i16" : "u8", 2, sizes[i][0], sizes[i][1], nullptr);
        call(L, 2);
    }
    return p;
}

int64_t read64(const uint8_t* d) {
    int64_t v;
    std::memcpy(&v, d, 8);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // 48 bytes of call and state, then the array's values, 8 bytes each.
    if (size < 48) return 0;
    Process* p = drawer();
    set_current_process(p);
    lua_State* L = p->L;
    for (uint32_t a = ADDR_READ_MASK; a <= ADDR_SHAPE_TARGET_MASK; a++) hvx_poke8(p, a, data[1]);
    hvx_poke32(p, ADDR_CAMERA_X, (uint32_t)read64(data + 2));
    hvx_poke32(p, ADDR_CAMERA_Y, (uint32_t)(int8_t)data[6]);
    hvx_poke32(p, ADDR_CLIP_WORDS, (uint32_t)read64(data + 7));
    hvx_poke32(p, ADDR_CLIP_WORDS + 4, (uint32_t)read64(data + 11));
    hvx_poke8(p, ADDR_LINE_NO_LAST, data[15] & 1);
    hvx_poke32(p, ADDR_LINE_LAST_X, (uint32_t)read64(data + 16));
    const int64_t values = (int64_t)(size - 48) / 8;
    const int64_t width = 1 + data[20] % 12;
    const int64_t height = values / width;
    int (*const calls[8])(lua_State*) = {lua54_pset, lua54_rectfill, lua54_line,     lua54_spr,
                                         lua54_circ, lua54_circfill, lua54_tline3d, lua54_sspr};
    lua_settop(L, HVX_HOST_SLOTS);
    lua_pushcfunction(L, calls[data[0] & 7]);
    if (height < 1 || !create_userdata(L, "f64", 2, width, height, nullptr)) return 0;
    uint8_t* array = to_typed_userdata(L, -1);
    std::memcpy(ud_data(array), data + 48, (size_t)(width * height * 8));
    // first, count, values per item and stride: each absent or any integer
    // (the count kept small, so that a run explores rather than repeats).
    for (int i = 0; i < 4; i++) {
        const int64_t v = read64(data + 24 + 6 * i) >> (data[22] & 63);
        if (data[21] & (1 << i)) lua_pushinteger(L, i == 1 ? v % 512 : v);
        else lua_pushnil(L);
    }
    // The window words of the textured lines ride on the camera's bytes.
    hvx_poke32(p, ADDR_TEX_WINDOW, (uint32_t)read64(data + 2));
    hvx_poke32(p, ADDR_TEX_WINDOW + 4, (uint32_t)read64(data + 11));
    call(L, 5);
    if ((data[23] & 15) == 0) lua_gc(L, LUA_GCCOLLECT);
    return 0;
}
