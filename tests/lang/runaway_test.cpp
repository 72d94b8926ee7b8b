// Scripts that try to run without end: code that may not yield, library
// loops in C, and the counter at its top. Each case runs in a child process
// under an alarm, so a regression fails instead of hanging the suite.
#include "tests/lang/lang_test_util.h"

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

using namespace langtest;

namespace {

// A child that has not ended by then hangs; room for a sanitized build on a loaded host.
constexpr unsigned LIMIT_SECONDS = 120;
constexpr const char* NONYIELD = "out of cycles in a non-yieldable call";

// Runs body in a forked child under an alarm; the child's exit code is 0
// when body returned true. Returns a description of what went wrong, or "".
template <typename F>
std::string in_child(F body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        alarm(LIMIT_SECONDS);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
    if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGALRM ? "hung" : "killed by a signal";
    if (WEXITSTATUS(status) != 0) return "wrong result";
    return "";
}

// Runs code as a coroutine body with a budget of 1000 cycles per slice,
// resuming it (from a fresh count) until it ends. The code ends with
// "return ..." of strings; the first result is compared with want.
bool coroutine_result_is(const std::string& code, const std::string& want) {
    state s;
    lua_register(s.L, "load", luaB_load);  // the host's own load, for its reader
    lua_State* co = lua_newthread(s.L);
    if (luaL_loadbufferx(co, code.data(), code.size(), "=t", "t") != LUA_OK) return false;
    cycle_scope c(0, 1000);
    int n = 0, st;
    while ((st = lua_resume(co, nullptr, 0, &n)) == LUA_YIELD) cpu_cycles = 0;
    if (st != LUA_OK || n < 1) {
        fprintf(stderr, "status %d: %s\n", st, lua_tostring(co, -1));
        return false;
    }
    const char* got = lua_tostring(co, -n);
    if (!got || std::string(got).find(want) == std::string::npos) {
        fprintf(stderr, "got: %s\n", got ? got : "(not a string)");
        return false;
    }
    return true;
}

}  // namespace

// Each non-yieldable way into an endless loop ends with the error (caught
// by the script's pcall) instead of hanging the host.
TEST(lang_runaway, endless_loops_that_cannot_yield_raise_an_error) {
    const char* cases[][2] = {
        {"sort comparator", "return select(2, pcall(table.sort, {3, 2, 1}, function() while true do end end))"},
        {"gsub replacement", "return select(2, pcall(string.gsub, 'abc', '%w', function() while true do end end))"},
        {"__tostring", "local t = setmetatable({}, {__tostring = function() while true do end end})\n"
                       "return select(2, pcall(tostring, t))"},
        {"load reader", "return select(2, load(function() while true do end end))"},  // load returns the error
        {"debug hook", "local ok, e = pcall(function()\n"
                       "  debug.sethook(function() debug.sethook() while true do end end, 'l')\n"
                       "  local x = 1\n"
                       "end)\n"
                       "debug.sethook()\n"
                       "return e"},
        {"nested pcall in a comparator",
         "return select(2, pcall(table.sort, {3, 2, 1}, function() pcall(function() while true do end end) "
         "while true do end end))"},
    };
    for (auto& c : cases) {
        const std::string code = c[1];
        EXPECT_EQ(in_child([&] { return coroutine_result_is(code, NONYIELD); }), "") << c[0];
    }
}

TEST(lang_runaway, finalizer_loop_ends_and_the_script_runs_on) {
    // An error in a finalizer is only a warning: the collection goes on.
    EXPECT_EQ(in_child([] {
                  return coroutine_result_is(
                      "setmetatable({}, {__gc = function() while true do end end})\n"
                      "collectgarbage() collectgarbage()\n"
                      "return 'after'",
                      "after");
              }),
              "");
}

TEST(lang_runaway, main_thread_has_the_same_ceiling_and_honest_work_is_not_cut) {
    state s;
    {
        // a loop shorter than the ceiling runs to its end, even far past
        // the budget
        cycle_scope c(0, 0);
        ASSERT_EQ(s.run("local t = 0 for i = 1, 200000 do t = t + i end return t", 1), "");
        EXPECT_EQ(lua_tointeger(s.L, -1), 20000100000);
        lua_pop(s.L, 1);
        EXPECT_LT(cpu_cycles, LANG_NONYIELD_CEILING);
    }
    {
        cycle_scope c(0, 1000);
        const std::string err = s.run("local n = 0 while true do n = n + 1 end");
        EXPECT_NE(err.find(NONYIELD), std::string::npos) << err;
        EXPECT_NE(err.find("t:1:"), std::string::npos) << err;  // names the line
        EXPECT_GT(cpu_cycles, 1000 + LANG_NONYIELD_CEILING);
        EXPECT_LE(cpu_cycles, 1000 + LANG_NONYIELD_CEILING + 2 * LANG_CYCLES_PER_INSTRUCTION);
    }
    {
        // without a budget (no scheduler) there is no ceiling either
        cycle_scope c(0, UNLIMITED);
        ASSERT_EQ(s.run("local t = 0 for i = 1, 10 do t = t + i end return t", 1), "");
        EXPECT_EQ(lua_tointeger(s.L, -1), 55);
        lua_pop(s.L, 1);
    }
}

// A process that has passed the ceiling gets no allowance again: code that
// may not yield raises at its first check, long before
// the ceiling, while yieldable code still runs to its budget.
TEST(lang_runaway, without_an_allowance_every_non_yieldable_check_raises_at_once) {
    struct allowance_scope {
        int32_t saved = cpu_nonyield_allowance;
        allowance_scope() { cpu_nonyield_allowance = LANG_NONYIELD_NONE; }
        ~allowance_scope() { cpu_nonyield_allowance = saved; }
    } none;
    state s;
    {
        cycle_scope c(0, 1000);
        const std::string err = s.run("local n = 1");
        EXPECT_NE(err.find(NONYIELD), std::string::npos) << err;
        EXPECT_LE(cpu_cycles, 2 * LANG_CYCLES_PER_INSTRUCTION);
    }
    for (const char* code : {"return select(2, pcall(table.sort, {3, 2, 1}, function(a, b) return a < b end))",
                             "return select(2, pcall(string.gsub, 'abc', '%w', function() return 'x' end))"}) {
        lua_State* co = lua_newthread(s.L);
        ASSERT_EQ(luaL_loadbufferx(co, code, strlen(code), "=t", "t"), LUA_OK);
        cycle_scope c(0, 1000);
        int n = 0;
        ASSERT_EQ(lua_resume(co, nullptr, 0, &n), LUA_OK) << code;
        ASSERT_EQ(n, 1);
        EXPECT_NE(std::string(lua_tostring(co, -1)).find(NONYIELD), std::string::npos) << code;
        EXPECT_LT(cpu_cycles, 1000) << code;
        lua_pop(s.L, 1);
    }
}

// Library loops in C over counts a script chooses: empty results come at
// once; a loop over a huge count is charged as it goes and stopped by the
// ceiling.
TEST(lang_runaway, library_loops_over_huge_counts_end) {
    const char* cases[][3] = {
        {"rep of nothing", "return string.rep('', 1 << 50) == '' and 'empty' or 'not empty'", "empty"},
        {"rep of nothing with a separator", "return #string.rep('', 1 << 50, '')", "0"},
        {"move", "return select(2, pcall(table.move, {}, 1, 1 << 50, 2))", NONYIELD},
    };
    for (auto& c : cases) {
        const std::string code = c[1], want = c[2];
        EXPECT_EQ(in_child([&] { return coroutine_result_is(code, want); }), "") << c[0];
    }
}

// insert and remove keep their totals, one cycle per element moved (one
// for none); move is free below a whole chunk and then charged per chunk.
// The functions are called from the host, so only their charges count.
TEST(lang_runaway, moved_elements_are_charged_per_chunk) {
    state s;
    const int64_t chunk = HVX_TABLE_CHUNK, move = HVX_TABLE_MOVE_CYCLES;
    const struct {
        const char* call;  // an expression list: the function, then its arguments
        int64_t charge;
    } cases[] = {
        {"table.move, src, 1, 100, 1, {}", 0},
        {"table.move, src, 1, 2500, 1, {}", 2 * chunk * move},
        {"table.move, src, 1, 2500, 2", 2 * chunk * move},  // overlapping: backwards
        {"table.insert, src, 1, 0", 2500},
        {"table.insert, src, 2501, 0", 1},  // at the end: nothing moved
        {"table.remove, src, 1", 2499},
        {"table.remove, src", 1},
        {"table.remove, src, 2501", 0},  // one past the end
    };
    for (const auto& c : cases) {
        ASSERT_EQ(s.run("src = {} for i = 1, 2500 do src[i] = i end"), "");
        ASSERT_EQ(s.run(std::string("return ") + c.call, LUA_MULTRET), "");
        cycle_scope cs(0, UNLIMITED);
        ASSERT_EQ(lua_pcall(s.L, lua_gettop(s.L) - 1, 0, 0), LUA_OK) << c.call;
        EXPECT_EQ(cpu_cycles, c.charge) << c.call;
    }
}

// A charge that fills the counter in a slice after a resumption: the thread
// is suspended right after it, the counter stays at its top (no wrap to a
// negative count that would pass every later check).
TEST(lang_runaway, full_counter_after_a_resumption_suspends_at_once) {
    state s;
    lua_pushcfunction(s.L, [](lua_State*) -> int {
        spend_cpu(INT32_MAX);
        return 0;
    });
    lua_setglobal(s.L, "fill");
    lua_State* co = lua_newthread(s.L);
    const std::string code = "n = 0 while true do n = n + 1 if n == 500 then fill() end end";
    ASSERT_EQ(luaL_loadbufferx(co, code.data(), code.size(), "=t", "t"), LUA_OK);
    const Proto* p = proto_at(co, 1);
    int call = -1;
    for (int i = 0; i < p->sizecode; i++)
        if (GET_OPCODE(p->code[i]) == OP_CALL) call = i;
    ASSERT_GE(call, 0);
    cycle_scope c(0, 1000);
    int nres;
    ASSERT_EQ(lua_resume(co, nullptr, 0, &nres), LUA_YIELD);  // first slice: n < 500
    lua_getglobal(s.L, "n");
    ASSERT_LT(lua_tointeger(s.L, -1), 500);
    lua_pop(s.L, 1);
    // fresh slices until the one with the charge
    for (int i = 0; i < 10; i++) {
        cpu_cycles = 0;
        ASSERT_EQ(lua_resume(co, nullptr, 0, &nres), LUA_YIELD);
        if (cpu_cycles > 1000 + 8) break;
    }
    EXPECT_EQ(cpu_cycles, INT32_MAX);
    lua_getglobal(s.L, "n");
    EXPECT_EQ(lua_tointeger(s.L, -1), 500);
    lua_pop(s.L, 1);
    // stopped before the instruction after the call, not one later
    EXPECT_EQ(co->ci->u.l.savedpc - p->code, call + 1);
    // and resuming with the counter full runs one instruction at a time:
    // here the jump back to the top of the loop
    const long at = co->ci->u.l.savedpc - p->code;
    ASSERT_EQ(GET_OPCODE(p->code[at]), OP_JMP);
    ASSERT_EQ(lua_resume(co, nullptr, 0, &nres), LUA_YIELD);
    EXPECT_EQ(co->ci->u.l.savedpc - p->code, at + 1 + GETARG_sJ(p->code[at]));
    EXPECT_EQ(cpu_cycles, INT32_MAX);
}

// The escape-slice flag is set only when the thread is suspended: a
// resumption whose one instruction finishes the coroutine leaves it clear.
TEST(lang_runaway, escape_flag_only_on_a_real_suspension) {
    state s;
    lua_State* co = lua_newthread(s.L);
    const std::string code = "local x = 1 return x";
    ASSERT_EQ(luaL_loadbufferx(co, code.data(), code.size(), "=t", "t"), LUA_OK);
    const Proto* p = proto_at(co, 1);
    cycle_scope c(1000, 0);  // over budget: one instruction per resumption
    int nres, st, steps = 0;
    while ((st = lua_resume(co, nullptr, 0, &nres)) == LUA_YIELD) {
        ASSERT_EQ(*lua_hvx_escapeflag(co), 1);
        *lua_hvx_escapeflag(co) = 0;  // as the runtime does between slices
        ASSERT_LT(++steps, p->sizecode + 2);
    }
    ASSERT_EQ(st, LUA_OK);
    EXPECT_EQ(*lua_hvx_escapeflag(co), 0);
    EXPECT_EQ(lua_tointeger(co, -1), 1);
}

// Pattern matching runs in one C call: backtracking that would take
// polynomial time ends with the error, whichever function drives the
// matcher and whichever part of it does the work.
TEST(lang_runaway, backtracking_patterns_raise_an_error) {
    const char* cases[][2] = {
        {"find, lazy repetitions", "return select(2, pcall(string.find, string.rep('a', 100000), '.-.-.-.-b'))"},
        {"match, greedy repetitions", "return select(2, pcall(string.match, string.rep('a', 100000), '(.*)(.*)(.*)b'))"},
        {"gmatch", "local ok, e = pcall(function() for w in string.gmatch(string.rep('a', 100000), 'a-a-a-b') do end end)\n"
                   "return e"},
        {"gsub", "return select(2, pcall(string.gsub, string.rep('a', 100000), 'a*a*a*b', ''))"},
        // each start scans the rest of the string for its balance
        {"balance scans", "return select(2, pcall(string.find, string.rep('(', 200000), '%b()x'))"},
        // each try compares a long capture
        {"back-references", "return select(2, pcall(string.find, string.rep('a', 20000), '(.*)%1b'))"},
    };
    for (auto& c : cases) {
        const std::string code = c[1];
        EXPECT_EQ(in_child([&] { return coroutine_result_is(code, NONYIELD); }), "") << c[0];
    }
}

// Heavy but honest matching spread over many slices is never cut, and
// gives the results it always gave.
TEST(lang_runaway, long_honest_matching_runs_to_its_end) {
    EXPECT_EQ(in_child([] {
                  return coroutine_result_is(
                      "local s = string.rep('ab(c) ', 50000)\n"
                      "local r, n = string.gsub(s, '%((%w)%)', '[%1]')\n"
                      "local words = 0 for w in string.gmatch(s, '%a+') do words = words + 1 end\n"
                      "local i, j, cap = string.find(s .. 'xyz', '(%a+)$')\n"
                      "return table.concat({#r, n, words, string.sub(r, 1, 5), i, j, cap, "
                      "string.match(s, '%b()'), (string.find(s, '(b)%(c%) a%1'))}, ' ')",
                      "300000 50000 100000 ab[c] 300001 300003 xyz (c) 2");
              }),
              "");
}

// The charge follows the steps of the matcher: one cycle per
// HVX_PATTERN_STEPS_PER_CYCLE, less at most one batch not yet taken, so a
// short match costs nothing more than before. Characters scanned for a
// balance or compared with a capture count as steps too.
TEST(lang_runaway, matching_is_charged_by_its_steps) {
    state s;
    lua_gc(s.L, LUA_GCSTOP);  // the collector's steps are charged by their own work
    // string.match called from the host: no instruction is charged
    auto cost_of = [&](const std::string& subject, const std::string& pattern, const std::string& want) {
        lua_getglobal(s.L, "string");
        lua_getfield(s.L, -1, "match");
        lua_pushlstring(s.L, subject.data(), subject.size());
        lua_pushlstring(s.L, pattern.data(), pattern.size());
        cycle_scope c(0, UNLIMITED);
        EXPECT_EQ(lua_pcall(s.L, 2, 1, 0), LUA_OK);
        size_t len = 0;
        const char* got = lua_tolstring(s.L, -1, &len);
        EXPECT_EQ(got ? std::string(got, len) : "(none)", want);
        lua_settop(s.L, 0);
        return cpu_cycles;
    };
    auto expect_charge = [](int32_t used, int64_t steps, const char* what) {
        EXPECT_LE(used, steps / HVX_PATTERN_STEPS_PER_CYCLE) << what;
        EXPECT_GE(used, (steps - HVX_PATTERN_STEP_BATCH) / HVX_PATTERN_STEPS_PER_CYCLE) << what;
    };
    EXPECT_EQ(cost_of("aaab", "b", "b"), 0);
    for (int n : {16000, 100000}) {
        const std::string a(n, 'a'), x(n, 'x');
        // one step per start that fails, two for the one that matches
        expect_charge(cost_of(a + "b", "b", "b"), n + 2, "tries");
        // the scan for the balance, a step before and one after it
        expect_charge(cost_of("(" + x + ")", "%b()", "(" + x + ")"), n + 3, "balance");
        // n scanned by the repetition, n compared with the capture, and
        // the steps of the six pattern positions
        expect_charge(cost_of(a + "x" + a, "^(a*)x%1$", a), 2 * int64_t(n) + 6, "capture");
    }
}

TEST(lang_runaway, plain_find_takes_linear_time) {
    // The worst case of a naive search: every position matches all but the
    // last byte of the needle (8 MB x 4 MB compares). A linear search is done
    // in well under a second.
    std::string err = in_child([] {
        return coroutine_result_is(R"lua(
            local hay = string.rep("a", 8 * 1024 * 1024)
            local needle = string.rep("a", 4 * 1024 * 1024) .. "b"
            local plain = string.find(hay, needle, 1, true)
            local nomagic = string.find(hay .. "b", needle)
            return tostring(plain) .. " " .. tostring(nomagic))lua",
                                   "nil 4194305");
    });
    EXPECT_EQ(err, "");
}
