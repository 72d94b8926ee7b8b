// Host anchors: values a host call holds in a process state, kept in a table
// below the state's chunk where no script reaches them.
#include "lang/lang.h"

bool hvx_anchor(lua_State* L, int idx, bool keep) {
    if (!L || !lua_checkstack(L, 3)) return false;
    idx = lua_absindex(L, idx);
    if (lua_hvx_pushfirst(L) != LUA_TTABLE) {
        lua_pop(L, 1);
        return false;
    }
    lua_pushvalue(L, idx);
    if (keep) lua_pushboolean(L, 1);
    else lua_pushnil(L);
    lua_rawset(L, -3);
    lua_pop(L, 1);
    return true;
}

bool hvx_anchor_at(lua_State* L, const void* key) {
    if (!L) return false;
    if (!lua_checkstack(L, 1)) {
        lua_pop(L, 1);
        return false;
    }
    if (lua_hvx_pushfirst(L) != LUA_TTABLE) {
        lua_pop(L, 2);
        return false;
    }
    lua_insert(L, -2);
    lua_rawsetp(L, -2, key);
    lua_pop(L, 1);
    return true;
}
