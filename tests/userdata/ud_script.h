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
    // Runs code in p with a budget no test reaches (a long walk may charge
    // 2^30): its results joined by ", ", or "error: " and the message.
    std::string run(const std::string& code) {
        cpu_cycles = 0;
        cpu_cycles_max = INT32_MAX - LANG_NONYIELD_CEILING;
        return hvx_test::run_in(p, code);
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
