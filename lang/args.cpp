// Argument readers shared by all system calls.
#include <cmath>
#include <cstring>
#include <string>

#include "lang/lang.h"
#include "lang/core/hvx_hooks.h"

int32_t hvx_double_to_i32(double d, int32_t nan_value) {
    if (std::isnan(d)) return nan_value;
    if (d >= 2147483648.0) return INT32_MAX;
    if (d <= -2147483649.0) return INT32_MIN;
    return (int32_t)d;
}

int64_t hvx_intp(lua_State* L, int index, int64_t def) {
    if (lua_isinteger(L, index)) return lua_tointeger(L, index);
    int isnum = 0;
    lua_Number d = lua_tonumberx(L, index, &isnum);
    if (!isnum) return def;
    return hvx_double_to_i64(std::floor(d), def);
}

int32_t hvx_trunc_arg(lua_State* L, int index) {
    int isnum = 0;
    lua_Number d = lua_tonumberx(L, index, &isnum);
    return isnum ? hvx_double_to_i32(d, 0) : 0;
}

int64_t hvx_pid_arg(lua_State* L, int index) {
    int isnum = 0;
    lua_Integer v = lua_tointegerx(L, index, &isnum);
    return isnum ? v : 0;
}

bool hvx_is_text(lua_State* L, int index) {
    int t = lua_type(L, index);
    return t == LUA_TSTRING || t == LUA_TNUMBER;
}

// Nothing for less than a cycle's bytes (spend_cpu would charge one).
static void charge_bytes(size_t n, int64_t per_cycle) {
    uint64_t c = n / (uint64_t)per_cycle;
    if (c > 0) spend_cpu(c > INT32_MAX ? INT32_MAX : (int32_t)c);
}

void hvx_charge_text_read(size_t n) { charge_bytes(n, LANG_TEXT_BYTES_PER_CYCLE); }
void hvx_charge_text_copy(size_t n) { charge_bytes(n, LANG_TEXT_COPY_BYTES_PER_CYCLE); }

bool hvx_text_arg(lua_State* L, int index, std::string* out) {
    if (!hvx_is_text(L, index)) return false;
    size_t n = 0;
    const char* s = lua_tolstring(L, index, &n);
    out->assign(s, n);
    hvx_charge_text_copy(n);
    return true;
}

bool hvx_text_arg_without_nul(lua_State* L, int index, std::string* out) {
    if (!hvx_is_text(L, index)) return false;
    size_t n = 0;
    const char* s = lua_tolstring(L, index, &n);
    // Looked for in the caller's string, so a refused text is never copied.
    const void* nul = memchr(s, 0, n);
    if (nul) {
        hvx_charge_text_copy((size_t)((const char*)nul - s));
        return false;
    }
    out->assign(s, n);
    hvx_charge_text_copy(n * 2);  // the search and the copy
    return true;
}

void hvx_full_collection(lua_State* L) {
    hvx_charge_heap(L, INT64_MAX);
    lua_gc(L, LUA_GCCOLLECT, 0);
}
