// The interpreter keeps the cycle counter in a register between fetches:
// every charge made while it calls out (allocations, host functions,
// metamethods, finalizers) must still reach the global counter, and nothing
// may be charged twice.
#include "tests/lang/lang_test_util.h"

#include <cstdlib>

using namespace langtest;

namespace {

struct charging {
    bool charge;
    int64_t charged = 0;
};

// Like the process allocator: (n >> 7) + 4 cycles per request.
void* charging_alloc(void* ud, void* ptr, size_t, size_t nsize, int, size_t) {
    auto* c = (charging*)ud;
    if (nsize == 0) {
        std::free(ptr);
        return nullptr;
    }
    if (c->charge) {
        const int32_t cost = (int32_t)((nsize >> 7) + 4);
        cpu_cycles = (int32_t)((uint32_t)cpu_cycles + (uint32_t)cost);
        c->charged += cost;
    }
    return std::realloc(ptr, nsize);
}

int64_t spent_by_host = 0;
int spend(lua_State* L) {
    int32_t n = (int32_t)luaL_checkinteger(L, 1);
    spent_by_host += spend_cpu(n);
    return 0;
}
int nospend(lua_State* L) {
    luaL_checkinteger(L, 1);
    return 0;
}

// Allocates in every way the interpreter can: tables with array and hash
// parts, closures, upvalues, concatenation, varargs, tbc variables, stack
// growth, metamethods, finalizers, coroutines, string methods and missing
// keys.
const char* workload = R"(
local spend = ...
local keep = {}
local mt = {__index = function(t, k) return {k} end,
            __add = function(a, b) return setmetatable({v = a.v + b.v}, getmetatable(a)) end,
            __concat = function(a, b) return "c" .. tostring(#a) end,
            __gc = function(o) keep.gc = (keep.gc or 0) + 1 end}
for i = 1, 300 do
  local t = {i, i + 1, i + 2, x = i, y = {}}
  local f = function() return t, i end
  local s = "s" .. i .. "-" .. tostring(i * 1.5)
  local u = setmetatable({v = i}, mt)
  local w = u + u
  local z = u.missing
  local packed = table.pack(f())
  keep[i % 50 + 1] = {t, f, s, w, z, packed, u .. "x"}
  do local c <close> = setmetatable({}, {__close = function() spend(1) end}) end
  spend(i % 7)
  if i % 50 == 0 then collectgarbage() end
end
local function deep(n, ...) if n == 0 then return select("#", ...) end return deep(n - 1, n, ...) end
local r = deep(150)
local co = coroutine.create(function(a) for j = 1, 20 do a = a .. j coroutine.yield({a}) end end)
for j = 1, 20 do coroutine.resume(co, "x") end
local ok = pcall(function() local big = {} for j = 1, 2000 do big[j] = {j} end error({}) end)
-- string methods: found at once, one '__index' further, through a function
local smt = getmetatable("")
local lib = smt.__index
local m = ("ab"):upper() .. ("x"):rep(2)
smt.__index = setmetatable({}, {__index = lib})
m = m .. ("cd"):upper()
smt.__index = function(s, k) return lib[k] end
m = m .. ("ef"):upper()
smt.__index = lib
assert(m == "ABxxCDEF", m)
-- keys missing from a plain table and from one with an '__index'
local plain, lazy = {1, 2, x = 3}, setmetatable({}, {__index = function(_, k) return k end})
assert(plain[5] == nil and plain.y == nil and lazy[7] == 7 and lazy.z == "z")
return r
)";

int64_t run_workload(bool charge, bool host_spends, int64_t* alloc_charged) {
    charging c{charge};
    lua_State* L = lua_newstate(charging_alloc, &c);
    luaL_openlibs(L);
    cycle_scope scope(0, UNLIMITED);
    c.charged = 0;  // state creation is not measured
    EXPECT_EQ(luaL_loadstring(L, workload), LUA_OK);
    lua_pushcfunction(L, host_spends ? spend : nospend);
    EXPECT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
    EXPECT_EQ(lua_tointeger(L, -1), 150);
    const int64_t total = (uint32_t)cpu_cycles;
    *alloc_charged = c.charged;
    lua_close(L);
    return total;
}

}  // namespace

TEST(lang_charges, allocation_and_host_charges_all_reach_the_counter) {
    int64_t none = 0, charged = 0, dummy = 0;
    const int64_t plain = run_workload(false, false, &none);
    EXPECT_EQ(run_workload(false, false, &none), plain) << "deterministic";
    EXPECT_EQ(none, 0);
    const int64_t with_alloc = run_workload(true, false, &charged);
    EXPECT_GT(charged, 10000);
    EXPECT_EQ(with_alloc - plain, charged);

    spent_by_host = 0;
    const int64_t with_host = run_workload(false, true, &dummy);
    EXPECT_GT(spent_by_host, 1000);
    EXPECT_EQ(with_host - plain, spent_by_host);
}
