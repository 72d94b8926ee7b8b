// Helpers for the dialect front-end tests: a state whose global print
// appends to a string, so a program's output can be compared exactly.
#pragma once

#include <string>

#include "tests/lang/lang_test_util.h"

namespace fetest {

// print as the standard library's, but into out (tab-separated, '\n' after).
inline int capture_print(lua_State* L) {
    auto* out = static_cast<std::string*>(lua_touserdata(L, lua_upvalueindex(1)));
    int n = lua_gettop(L);
    for (int i = 1; i <= n; i++) {
        size_t len;
        const char* s = luaL_tolstring(L, i, &len);
        if (i > 1) out->push_back('\t');
        out->append(s, len);
        lua_pop(L, 1);
    }
    out->push_back('\n');
    return 0;
}

struct printing_state : langtest::state {
    std::string out;
    printing_state() {
        lua_pushlightuserdata(L, &out);
        lua_pushcclosure(L, capture_print, 1);
        lua_setglobal(L, "print");
    }
    // Runs code; returns what it printed, or "error: " and the message.
    std::string output_of(const std::string& code) {
        out.clear();
        std::string err = run(code);
        return err.empty() ? out : "error: " + err;
    }
    // The message of compiling code, or "" when it compiles.
    std::string compile_error(const std::string& code) {
        int st = luaL_loadbufferx(L, code.data(), code.size(), "=t", "t");
        std::string err = st == LUA_OK ? "" : lua_tostring(L, -1);
        lua_pop(L, 1);
        return err;
    }
};

}  // namespace fetest
