// Argument readers shared by all system calls.
#include <cmath>
#include <string>

#include "lang/lang.h"

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

bool hvx_text_arg(lua_State* L, int index, std::string* out) {
    if (!hvx_is_text(L, index)) return false;
    size_t n = 0;
    const char* s = lua_tolstring(L, index, &n);
    out->assign(s, n);
    return true;
}
