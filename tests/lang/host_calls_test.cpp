// Calls from host code into a function (a library's comparator or
// replacement, a load reader, a metamethod reached from the API) and the
// walk of an __index/__newindex chain: both check the budget words and are
// paid for, so a slice the backstop marked ends in them, whatever calls.
#include "tests/lang/lang_test_util.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <sys/time.h>

using namespace langtest;

namespace {

constexpr const char* NONYIELD = "out of cycles in a non-yieldable call";

// The words as the backstop leaves them: a yield request and no allowance.
struct marked_scope {
    int32_t saved_super = cpu_superyielding, saved_allowance = cpu_nonyield_allowance;
    marked_scope() {
        cpu_superyielding = LANG_SUPERYIELD | 1;
        cpu_nonyield_allowance = LANG_NONYIELD_NONE - 1;
    }
    ~marked_scope() {
        cpu_superyielding = saved_super;
        cpu_nonyield_allowance = saved_allowance;
    }
};

// A host reader: "x = 1 " a thousand times, then the end; counts its calls.
int reader_calls = 0;
int host_reader(lua_State* L) {
    reader_calls++;
    if (reader_calls > 1000) return 0;
    lua_pushliteral(L, "x = 1 ");
    return 1;
}

// Host calls made by a comparator or replacement (rawequal and string.upper
// stand for any): counted through a wrapper the test installs.
int host_calls = 0;
int counted_rawequal(lua_State* L) {
    host_calls++;
    lua_pushboolean(L, lua_rawequal(L, 1, 2));
    return 1;
}
int counted_upper(lua_State* L) {
    host_calls++;
    lua_pushstring(L, luaL_checkstring(L, 1));
    return 1;
}

void open(state& s) {
    lua_register(s.L, "load", luaB_load);
    lua_register(s.L, "host_reader", host_reader);
    lua_register(s.L, "counted_rawequal", counted_rawequal);
    lua_register(s.L, "counted_upper", counted_upper);
    ASSERT_EQ(s.run("function chain(n) local P = {1} for d = 1, n do P = setmetatable({}, {__index = P}) end "
                    "return P end"),
              "");
}

// Each library function that calls back, given a host function: with the
// words marked it stops at its first call from host code (a handful of
// calls at most), where it ran to its end before.
const struct {
    const char* what;
    const char* call;  // "return f, args...": f is called straight from the host
    int max_calls;     // host calls allowed before it stops
} marked_cases[] = {
    {"sort with a host comparator",
     "local t = {} for i = 1, 5000 do t[i] = (i * 7919) % 5000 end return table.sort, t, counted_rawequal", 1},
    {"gsub with a host replacement", "return string.gsub, string.rep('a', 5000), '.', counted_upper", 1},
    {"load with a host reader", "return load, host_reader", 1},
    {"unpack through a 1,990-table chain", "return table.unpack, chain(1990), 1, 20000", 0},
};

// The text of whatever the call left: its error, or its results (load
// returns its error as its second result).
std::string outcome(lua_State* L, int status, int nres) {
    std::string out = "status " + std::to_string(status) + ":";
    for (int i = 1; i <= nres && i <= 3; i++) {
        const char* s = lua_tostring(L, -nres + i - 1);
        out += std::string(" ") + (s ? s : "-");
    }
    return out;
}

}  // namespace

TEST(lang_host_calls, a_marked_slice_ends_in_a_library_loop_calling_back) {
    for (bool coroutine : {false, true}) {
        for (const auto& c : marked_cases) {
            state s;
            open(s);
            lua_State* L = s.L;
            if (coroutine) L = lua_newthread(s.L);
            ASSERT_EQ(luaL_loadstring(L, c.call), LUA_OK);
            ASSERT_EQ(lua_pcall(L, 0, LUA_MULTRET, 0), LUA_OK) << lua_tostring(L, -1);
            const int nargs = lua_gettop(L) - 1;
            reader_calls = host_calls = 0;
            cycle_scope cs(0, UNLIMITED);
            marked_scope m;
            int status, nres = 0;
            if (coroutine) {
                status = lua_resume(L, s.L, nargs, &nres);
                if (status != LUA_OK && status != LUA_YIELD) nres = 1;
            } else {
                status = lua_pcall(L, nargs, LUA_MULTRET, 0);
                nres = lua_gettop(L);
            }
            const std::string out = outcome(L, status, nres);
            EXPECT_NE(out.find(NONYIELD), std::string::npos) << c.what << (coroutine ? " (coroutine): " : ": ") << out;
            EXPECT_LE(host_calls + (reader_calls > 0 ? reader_calls - 1 : 0), c.max_calls) << c.what;
        }
    }
}

// An __index or __newindex chain costs nothing for its first four tables
// and a cycle for each further one, read by the interpreter or by host code.
TEST(lang_host_calls, a_chain_pays_each_table_past_the_fourth) {
    state s;
    open(s);
    ASSERT_EQ(s.run("function wchain(n) local P = {} for d = 1, n do P = setmetatable({}, {__newindex = P}) end "
                    "return P end"),
              "");
    const char* accesses[] = {
        "local P = chain(n) return function() local r = P[1] end",
        "local P = wchain(n) return function() P.x = 1 end",
        "local P = chain(n) return function() return rawlen(P) end",  // no chain: the same for every depth
        "local P = chain(n) return table.unpack, P, 1, 1",            // lua_geti from host code
    };
    for (const char* a : accesses) {
        auto cycles_at = [&](int depth) -> int64_t {
            s.load(std::string("local n = ... ") + a);
            lua_pushinteger(s.L, depth);
            EXPECT_EQ(lua_pcall(s.L, 1, LUA_MULTRET, 0), LUA_OK) << lua_tostring(s.L, -1);
            cycle_scope cs(0, UNLIMITED);
            EXPECT_EQ(lua_pcall(s.L, lua_gettop(s.L) - 1, 0, 0), LUA_OK) << lua_tostring(s.L, -1);
            return cpu_cycles;
        };
        const bool walks = std::strstr(a, "rawlen") == nullptr;
        const int64_t base = cycles_at(0);
        // depth d: d + 1 tables walked
        for (int depth : {1, 2, 3, 4, 5, 6, 100, 900, 1990}) {
            const int64_t past = walks ? std::max(0, depth + 1 - HVX_CHAIN_FREE_TABLES) : 0;
            EXPECT_EQ(cycles_at(depth) - base, past * HVX_CHAIN_TABLE_CYCLES) << a << ", depth " << depth;
        }
    }
}

// A loop reading through a 900-table chain pays ~900 cycles a read, so a
// slice of 10,000 cycles ends after a dozen reads (it took thousands).
TEST(lang_host_calls, a_chain_loop_yields_by_the_tables_it_walks) {
    state s;
    open(s);
    lua_State* co = lua_newthread(s.L);
    const char* code = "local P = chain(900) reads = 0 coroutine.yield() while true do local r = P[1] reads = reads + 1 end";
    ASSERT_EQ(luaL_loadstring(co, code), LUA_OK);
    int n = 0;
    {
        cycle_scope cs(0, UNLIMITED);
        ASSERT_EQ(lua_resume(co, s.L, 0, &n), LUA_YIELD);  // the chain is built
    }
    constexpr int32_t budget = 10000;
    cycle_scope cs(0, budget);
    ASSERT_EQ(lua_resume(co, s.L, 0, &n), LUA_YIELD);
    lua_getglobal(s.L, "reads");
    EXPECT_LE(lua_tointeger(s.L, -1), budget / (900 + 1 - HVX_CHAIN_FREE_TABLES) + 1);
    EXPECT_LE(cpu_cycles, budget + 900 + 16);
}

// A host callee costs HVX_HOST_CALL_CYCLES a call; a Lua callee pays its
// instructions only. math.ult orders non-negative integers as '<' does, so a
// sort makes the same calls with it as with a Lua comparator calling it.
TEST(lang_host_calls, host_callees_pay_a_cycle_and_lua_callees_their_instructions) {
    state s;
    open(s);
    auto sort_cycles = [&](int n, const char* cmp) -> int64_t {
        s.load(std::string("local n = ... local t = {} for i = 1, n do t[i] = (i * 7919) % n end return table.sort, t, ") +
               cmp);
        lua_pushinteger(s.L, n);
        EXPECT_EQ(lua_pcall(s.L, 1, LUA_MULTRET, 0), LUA_OK) << lua_tostring(s.L, -1);
        cycle_scope cs(0, UNLIMITED);
        EXPECT_EQ(lua_pcall(s.L, lua_gettop(s.L) - 1, 0, 0), LUA_OK) << lua_tostring(s.L, -1);
        return cpu_cycles;
    };
    const char* lua_cmp = "function(a, b) return math.ult(a, b) end";
    const int64_t per_lua_call = sort_cycles(2, lua_cmp);  // one comparison
    ASSERT_GT(per_lua_call, 0);
    for (int n : {2, 100, 5000, 200000}) {
        const int64_t calls = sort_cycles(n, "math.ult") / HVX_HOST_CALL_CYCLES;
        EXPECT_GE(calls, n - 1) << n;
        EXPECT_EQ(sort_cycles(n, lua_cmp), calls * per_lua_call) << n;
    }
}

// A collection is charged by the work it does: the slots it traverses, the
// objects it sweeps and those it frees, each at its rate; the same program
// is charged the same on every run, and twice the work costs twice as much.
TEST(lang_collection_charges, grow_with_the_work_and_repeat_exactly) {
    const struct {
        const char* what;
        const char* build;  // of n
        double per_n;       // cycles a unit of n adds (at least)
    } heaps[] = {
        {"an array of numbers", "BIG = {} for i = 1, n * 64 do BIG[i] = i end", 64.0 / LANG_COLLECT_MARK_SLOTS_PER_CYCLE},
        {"live tables", "LIVE = {} for i = 1, n do LIVE[i] = {} end", 1.0 / LANG_COLLECT_SWEPT_PER_CYCLE},
        // a table, its string and the numeral's string: three objects freed
        {"dead tables and strings", "local t = {} for i = 1, n do t[i] = {'d' .. i} end t = nil",
         3.0 / LANG_COLLECT_FREED_PER_CYCLE + 3.0 / LANG_COLLECT_SWEPT_PER_CYCLE},
    };
    for (const auto& h : heaps) {
        auto charge = [&](int n) -> int64_t {
            lua_hvx_fixseed(1);
            state s;
            lua_hvx_fixseed(0);
            lua_gc(s.L, LUA_GCSTOP);
            lua_gc(s.L, LUA_GCCOLLECT);
            EXPECT_EQ(s.run("local n = " + std::to_string(n) + " " + h.build), "") << h.what;
            cycle_scope cs(0, UNLIMITED);
            lua_gc(s.L, LUA_GCCOLLECT);
            return cpu_cycles;
        };
        const int n = 1 << 14;  // the array's parts are powers of two
        const int64_t once = charge(n), twice = charge(2 * n);
        EXPECT_EQ(charge(n), once) << h.what;
        EXPECT_GE(twice - once, (int64_t)(n * h.per_n)) << h.what;
        EXPECT_LE(twice - once, (int64_t)(n * h.per_n * 1.25) + 64) << h.what;
    }
}

// Automatic steps and a script's own collectgarbage() pay for the garbage
// they free (collectgarbage pays the heap's bytes first, and what the work
// costs beyond that); the string table's growth pays for its rehashes.
// Each row's work is measured against the same code without it (the
// collector stopped, or the strings made already).
TEST(lang_collection_charges, steps_explicit_collections_and_rehashes_are_paid) {
    const struct {
        const char* what;
        const char* setup;  // run first, unmeasured
        const char* code;   // measured
        const char* without;  // measured in another state after setup, with the collector stopped
        int64_t least;      // cycles the work must add
    } rows[] = {
        {"automatic steps", "", "for i = 1, 100000 do local t = {i} end", "for i = 1, 100000 do local t = {i} end",
         90000 / LANG_COLLECT_FREED_PER_CYCLE},
        {"collectgarbage() of dead tables and strings",
         "collectgarbage('stop') local t = {} for i = 1, 100000 do t[i] = {'d' .. i} end t = nil",
         "collectgarbage()", "", 200000 / LANG_COLLECT_FREED_PER_CYCLE},
        {"string table growth", "collectgarbage('stop')", "T = {} for i = 1, 200000 do T[i] = 's' .. i end",
         "T = {} for i = 1, 200000 do T[i] = 's' .. i end T = {} for i = 1, 200000 do T[i] = 's' .. i end",
         // each doubling walks both sizes and the strings: past three entries a string
         3 * 200000 / LANG_STRING_REHASH_ENTRIES_PER_CYCLE},
    };
    for (const auto& r : rows) {
        auto measure = [&](const char* code, bool collector) -> int64_t {
            state s;
            if (!collector) lua_gc(s.L, LUA_GCSTOP);
            EXPECT_EQ(s.run(r.setup), "") << r.what;
            cycle_scope cs(0, UNLIMITED);
            EXPECT_EQ(s.run(code), "") << r.what;
            return cpu_cycles;
        };
        const uint64_t freed = hvx_gc_total.freed;
        const int64_t with = measure(r.code, true);
        const bool twice = std::strstr(r.without, "T = {}") != nullptr;
        const int64_t without = twice ? measure(r.without, false) - with : measure(r.without, false);
        EXPECT_GE(with - without, r.least) << r.what;
        EXPECT_LE(with - without, 4 * r.least) << r.what;
        if (!twice) EXPECT_GE(hvx_gc_total.freed - freed, (uint64_t)r.least * LANG_COLLECT_FREED_PER_CYCLE) << r.what;
    }
}

// The backstop lowers the words from a signal handler while a loop of
// instructions runs that makes no call: told of it, the loop stops at its
// next jump (counted: far below the ceiling it would run to), yieldable or
// not.
namespace {
void mark_from_signal(int) {
    std::atomic_ref<int32_t>(cpu_superyielding).store(LANG_SUPERYIELD | 1, std::memory_order_relaxed);
    std::atomic_ref<int32_t>(cpu_nonyield_allowance).store(LANG_NONYIELD_NONE - 1, std::memory_order_relaxed);
    lua_hvx_budget_lowered();
}
}  // namespace

TEST(lang_host_calls, words_lowered_by_a_signal_stop_a_loop_at_its_next_jump) {
    struct sigaction sa{}, old{};
    sa.sa_handler = mark_from_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    for (bool coroutine : {false, true}) {
        state s;
        lua_State* L = coroutine ? lua_newthread(s.L) : s.L;
        ASSERT_EQ(luaL_loadstring(L, "local i = 0 while true do i = i + 1 end"), LUA_OK);
        const int32_t saved_allowance = cpu_nonyield_allowance;
        cycle_scope cs(0, 1 << 30);  // the words alone can stop it
        itimerval t{};
        t.it_value.tv_usec = 20000;
        ASSERT_EQ(setitimer(ITIMER_REAL, &t, nullptr), 0);
        int n = 0;
        const int status = coroutine ? lua_resume(L, s.L, 0, &n) : lua_pcall(L, 0, 0, 0);
        const int32_t at = cpu_cycles;
        cpu_nonyield_allowance = saved_allowance;
        EXPECT_EQ(status, coroutine ? LUA_YIELD : LUA_ERRRUN);
        if (!coroutine) EXPECT_NE(std::string(lua_tostring(L, -1)).find(NONYIELD), std::string::npos);
        EXPECT_LT(at, 1 << 30);  // stopped by the words, not the budget
    }
    sigaction(SIGALRM, &old, nullptr);
}
