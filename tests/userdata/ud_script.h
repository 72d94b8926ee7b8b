// Typed userdata as scripts see them: a process whose chunks run with a
// budget large enough for any test, show(), which prints values and the
// elements of typed userdata for comparison, and the global nan.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lang/lang.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace udtest {

inline constexpr const char* SHOW = R"(
nan = math.huge - math.huge  -- 0/0 is not NaN in this dialect
function show(...)
  local out = {}
  for i = 1, select('#', ...) do
    local v = select(i, ...)
    if type(v) == 'userdata' then
      local t = {}
      for k = 0, #v - 1 do t[#t + 1] = tostring(v[k]) end
      out[#out + 1] = '[' .. table.concat(t, ' ') .. ']'
    else
      out[#out + 1] = tostring(v)
    end
  end
  return table.concat(out, ', ')
end
)";

struct scripted : ::testing::Test {
    hvx_test::process_env env;
    Process* p = env.spawn("");
    void SetUp() override {
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(run(SHOW), "");
    }
    // Runs code in p; its results joined with ", " (tostring of each), or
    // "error: " and the message.
    std::string run(const std::string& code) {
        lua_State* L = p->L;
        set_current_process(p);
        cpu_cycles = 0;
        cpu_cycles_max = INT32_MAX - LANG_NONYIELD_CEILING;  // a long walk may charge 2^30
        lua_settop(L, 0);
        int st = luaL_loadstring(L, code.c_str());
        if (st == LUA_OK) st = lua_pcall(L, 0, LUA_MULTRET, 0);
        std::string out;
        if (st != LUA_OK) {
            out = std::string("error: ") + (lua_tostring(L, -1) ? lua_tostring(L, -1) : "?");
        } else {
            for (int i = 1; i <= lua_gettop(L); i++) {
                if (i > 1) out += ", ";
                out += luaL_tolstring(L, i, nullptr);
                lua_pop(L, 1);
            }
        }
        lua_settop(L, 0);
        return out;
    }
    struct row {
        std::string code, expect;
    };
    void check(const std::vector<row>& rows) {
        for (const row& r : rows) EXPECT_EQ(run(r.code), r.expect) << r.code;
    }
    // One host call with the values of a Lua expression list: the cycles it
    // charged.
    struct charge_row {
        int (*fn)(lua_State*);
        const char* args;
        int32_t cycles;
    };
    void check_charges(const std::vector<charge_row>& rows) {
        for (const charge_row& r : rows) EXPECT_EQ(charge(r.fn, r.args), r.cycles) << r.args;
    }
    int32_t charge(int (*fn)(lua_State*), const std::string& args) {
        cpu_cycles = 0;
        cpu_cycles_max = INT32_MAX / 2;
        return hvx_test::call(p, fn, args).charged;
    }
};

}  // namespace udtest
