// The interpreter's cycle budget: charges per instruction, the suspension
// test at every fetch, the forced yield, the one-instruction rule after a
// resumption, non-yieldable contexts and the escape-slice flag.
#include "tests/lang/lang_test_util.h"

using namespace langtest;

namespace {

// Cycles a chunk costs when run to completion with lua_pcall.
int32_t cost_of(state& s, const std::string& code) {
    cycle_scope c(0, UNLIMITED);
    EXPECT_EQ(s.run(code), "");
    return cpu_cycles;
}

std::string repeat(const std::string& line, int n) {
    std::string out;
    for (int i = 0; i < n; i++) out += line;
    return out;
}

// A coroutine of s.L running code; left anchored on s.L's stack.
lua_State* new_coroutine(state& s, const std::string& code) {
    lua_State* co = lua_newthread(s.L);
    s.load(code);
    lua_xmove(s.L, co, 1);
    return co;
}

int resume(lua_State* co, int* nres) { return lua_resume(co, nullptr, 0, nres); }

// Index of the instruction a suspended Lua frame resumes at.
long saved_index(lua_State* co, const Proto* p) { return (long)(co->ci->u.l.savedpc - p->code); }

}  // namespace

TEST(lang_charges, moves_cost_one_cycle_and_multiplications_two) {
    state s;
    lua_gc(s.L, LUA_GCSTOP);  // the collector's steps are charged by their own work
    const std::string head = "local a, b, c = 2, 3, 0\n";
    s.load(head + repeat("a = b\n", 100) + "return a");
    EXPECT_EQ(count_opcode(proto_at(s.L, -1), OP_MOVE), 100);
    lua_pop(s.L, 1);
    s.load(head + repeat("c = a * b\n", 100) + "return c");
    EXPECT_EQ(count_opcode(proto_at(s.L, -1), OP_MUL), 100);
    lua_pop(s.L, 1);

    const int32_t base = cost_of(s, head + "return a");
    EXPECT_EQ(cost_of(s, head + repeat("a = b\n", 100) + "return a") - base, 100);
    EXPECT_EQ(cost_of(s, head + repeat("c = a * b\n", 100) + "return c") - base, 200);
    // the metamethod instruction is skipped for numbers
    EXPECT_EQ(cost_of(s, head + repeat("c = a + b\n", 100) + "return c") - base, 100);
    EXPECT_EQ(cost_of(s, head + repeat("c = a / b\n", 100) + "return c") - base, 200);
}

TEST(lang_charges, metamethod_instruction_runs_for_non_numbers) {
    state s;
    // a C-function __add charges nothing itself: ADD (1) + MMBIN (2)
    const std::string head = "local a = setmetatable({}, {__add = rawequal}) local b, c = a, 0\n";
    const int32_t base = cost_of(s, head + "return c");
    EXPECT_EQ(cost_of(s, head + repeat("c = a + b\n", 10) + "return c") - base, 30);
    // the refund is made even when the operands are not numbers
    const std::string khead = "local a = setmetatable({}, {__add = rawequal}) local c = 0\n";
    const int32_t kbase = cost_of(s, khead + "return c");
    EXPECT_EQ(cost_of(s, khead + repeat("c = a + 1\n", 10) + "return c") - kbase, 30);
}

TEST(lang_charges, counter_saturates_instead_of_wrapping) {
    state s;
    cycle_scope c(INT32_MAX - 3, UNLIMITED);
    ASSERT_EQ(s.run("local x = 1.5 local y = x * x"), "");
    EXPECT_EQ(cpu_cycles, INT32_MAX);  // stuck at the top, never negative
    // host charges saturate too
    cpu_cycles = INT32_MAX - 5;
    EXPECT_EQ(spend_cpu(100), 100);
    EXPECT_EQ(cpu_cycles, INT32_MAX);
    ASSERT_EQ(s.run("local t = {} for i = 1, 100 do t[i] = i end table.remove(t, 1)"), "");
    EXPECT_EQ(cpu_cycles, INT32_MAX);
}

TEST(lang_budget, counter_equal_to_budget_runs_one_more_above_suspends) {
    state s;
    const std::string code = "local x = 1.5 local y = x * x return y";
    lua_State* co = new_coroutine(s, code);
    const Proto* p = proto_at(co, 1);
    int n = -1;
    {
        cycle_scope c(1000, 1000);
        ASSERT_EQ(resume(co, &n), LUA_YIELD);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(saved_index(co, p), 1);  // VARARGPREP ran, LOADF did not
        EXPECT_EQ(cpu_cycles, 1002);
        EXPECT_EQ(*lua_hvx_escapeflag(co), 1);
    }
    lua_State* co2 = new_coroutine(s, code);
    const Proto* p2 = proto_at(co2, 1);
    {
        cycle_scope c(1001, 1000);
        ASSERT_EQ(resume(co2, &n), LUA_YIELD);
        EXPECT_EQ(saved_index(co2, p2), 0);  // suspended before the first fetch
        EXPECT_EQ(cpu_cycles, 1001);         // the suspended instruction is not charged
        // resumed while still over budget: exactly one instruction each time
        ASSERT_EQ(resume(co2, &n), LUA_YIELD);
        EXPECT_EQ(saved_index(co2, p2), 1);
        EXPECT_EQ(cpu_cycles, 1003);
        ASSERT_EQ(GET_OPCODE(p2->code[1]), OP_LOADK);  // 1.5: a refunded load
        ASSERT_EQ(resume(co2, &n), LUA_YIELD);
        EXPECT_EQ(saved_index(co2, p2), 2);
        EXPECT_EQ(cpu_cycles, 1004);
        cpu_cycles_max = UNLIMITED;
        ASSERT_EQ(resume(co2, &n), LUA_OK);
        ASSERT_EQ(n, 1);
        EXPECT_EQ(lua_tonumber(co2, -1), 2.25);
        EXPECT_EQ(*lua_hvx_escapeflag(co2), 1);  // the interpreter never clears it
    }
}

TEST(lang_budget, tight_loop_is_suspended_and_resumes_one_instruction_at_a_time) {
    state s;
    lua_State* co = new_coroutine(s, "local n = 0 while true do n = n + 1 end");
    cycle_scope c(0, 5000);
    int n;
    ASSERT_EQ(resume(co, &n), LUA_YIELD);
    EXPECT_GT(cpu_cycles, 5000);
    EXPECT_LE(cpu_cycles, 5002);
    for (int i = 0; i < 10; i++) {
        const int32_t before = cpu_cycles;
        ASSERT_EQ(resume(co, &n), LUA_YIELD);
        const int32_t step = cpu_cycles - before;
        EXPECT_TRUE(step == 1 || step == 2) << step;  // one ADDI or one JMP
    }
}

TEST(lang_budget, superyield_forces_a_suspension_unless_the_counter_is_negative) {
    state s;
    lua_State* co = new_coroutine(s, "for i = 1, 1000 do end return 1");
    const Proto* p = proto_at(co, 1);
    int n;
    {
        cycle_scope c(0, 1000000, LANG_SUPERYIELD);
        ASSERT_EQ(resume(co, &n), LUA_YIELD);
        EXPECT_EQ(saved_index(co, p), 0);
    }
    lua_State* co2 = new_coroutine(s, "for i = 1, 1000 do end return 1");
    const Proto* p2 = proto_at(co2, 1);
    {
        // a negative counter keeps the OR negative: no suspension until it is
        // non-negative again, even with a budget of 0
        cycle_scope c(-100, 0, LANG_SUPERYIELD);
        ASSERT_EQ(resume(co2, &n), LUA_YIELD);
        EXPECT_GE(cpu_cycles, 0);
        EXPECT_LE(cpu_cycles, 1);
        EXPECT_EQ(GET_OPCODE(p2->code[saved_index(co2, p2)]), OP_FORLOOP);  // inside the loop
    }
}

TEST(lang_budget, non_yieldable_code_runs_on_and_is_charged) {
    state s;
    {
        // the main thread run with lua_pcall cannot yield
        cycle_scope c(0, 0);
        ASSERT_EQ(s.run("local t = 0 for i = 1, 10000 do t = t + i end return t", 1), "");
        EXPECT_EQ(lua_tointeger(s.L, -1), 50005000);
        lua_pop(s.L, 1);
        EXPECT_GT(cpu_cycles, 30000);
        EXPECT_EQ(*lua_hvx_escapeflag(s.L), 0);
    }
    // a sort comparator inside a coroutine: the coroutine itself is suspended
    // at every instruction, the comparator (called from C) never
    lua_State* co = new_coroutine(s, R"(
        local t = {} for i = 1, 40 do t[i] = (i * 37) % 41 end
        local calls = 0
        table.sort(t, function(a, b)
            calls = calls + 1
            local x = 0 for j = 1, 50 do x = x + j end
            return a < b
        end)
        for i = 2, #t do if t[i - 1] > t[i] then return false, calls end end
        return true, calls)");
    cycle_scope c(0, 0);
    int n = 0, st, resumes = 0;
    while ((st = resume(co, &n)) == LUA_YIELD) {
        ASSERT_EQ(n, 0);
        resumes++;
    }
    ASSERT_EQ(st, LUA_OK) << lua_tostring(co, -1);
    ASSERT_EQ(n, 2);
    EXPECT_TRUE(lua_toboolean(co, -2));
    const lua_Integer calls = lua_tointeger(co, -1);
    EXPECT_GT(calls, 40);
    // each comparator call runs over 100 instructions; none was suspended
    EXPECT_LT(resumes, calls * 10);
    EXPECT_GT(cpu_cycles, calls * 150);
}

TEST(lang_escape_flag, coroutine_resume_from_lua_sees_a_bare_true) {
    state s;
    cycle_scope c(10, 0);
    ASSERT_EQ(s.run(R"(
        local co = coroutine.create(function() for i = 1, 10 do end return "done" end)
        local r = table.pack(coroutine.resume(co))
        return co, r.n, r[1], coroutine.status(co))",
                    4),
              "");
    lua_State* co = lua_tothread(s.L, -4);
    ASSERT_NE(co, nullptr);
    EXPECT_EQ(lua_tointeger(s.L, -3), 1);
    EXPECT_TRUE(lua_toboolean(s.L, -2));
    EXPECT_STREQ(lua_tostring(s.L, -1), "suspended");
    EXPECT_EQ(*lua_hvx_escapeflag(co), 1);
    EXPECT_EQ(*lua_hvx_escapeflag(s.L), 0);  // the main thread could not yield
    lua_pop(s.L, 4);
}

TEST(lang_escape_flag, new_states_and_threads_start_clear) {
    state s;
    EXPECT_EQ(*lua_hvx_escapeflag(s.L), 0);
    *lua_hvx_escapeflag(s.L) = 0x40000000;
    lua_State* co = lua_newthread(s.L);
    EXPECT_EQ(*lua_hvx_escapeflag(co), 0);
    EXPECT_EQ(*lua_hvx_escapeflag(s.L), 0x40000000);
    lua_pop(s.L, 1);
}

TEST(lang_budget, debug_hooks_and_budget_suspensions_coexist) {
    state s;
    lua_State* co = new_coroutine(s, R"(
        local hits = 0
        debug.sethook(function() hits = hits + 1 end, "l", 1)
        local t = 0
        for i = 1, 50 do t = t + i end
        debug.sethook()
        return t, hits > 0)");
    cycle_scope c(0, -1);  // suspended before every instruction
    int n = 0, st, resumes = 0;
    while ((st = resume(co, &n)) == LUA_YIELD) resumes++;
    ASSERT_EQ(st, LUA_OK) << lua_tostring(co, -1);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(lua_tointeger(co, -2), 1275);
    EXPECT_TRUE(lua_toboolean(co, -1));
    EXPECT_GT(resumes, 100);
}
