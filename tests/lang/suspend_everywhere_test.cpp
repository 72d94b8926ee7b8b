// The strongest checks of the budget: every script of a corpus, run with a
// budget that suspends it before every instruction, prints exactly what it
// prints when it runs without a budget. Suspensions fall between open-top
// instructions, inside metamethods, iterators, pcall and tbc closes. And
// with any budget a slice ends exactly where a check at every fetch ends
// it, as that run, one instruction a slice, tells.
#include "tests/lang/frontend_test_util.h"

#include <vector>

using namespace langtest;

namespace {

// takeescape(co): the escape-slice flag of co, cleared.
int take_escape(lua_State* L) {
    lua_State* co = lua_tothread(L, 1);
    int* flag = lua_hvx_escapeflag(co);
    lua_pushboolean(L, *flag != 0);
    *flag = 0;
    return 1;
}

// Scripts resume their own coroutines through this helper, as the system's
// scripts do: a coroutine suspended for the budget is resumed again.
const char* prelude = R"(
local function resume(co, ...)
    local r = table.pack(coroutine.resume(co, ...))
    while r.n == 1 and r[1] and coroutine.status(co) == "suspended" and takeescape(co) do
        r = table.pack(coroutine.resume(co))
    end
    return table.unpack(r, 1, r.n)
end
)";

const std::vector<const char*> corpus = {
    // open-top calls, varargs, multiple results, tail calls
    R"(
local function g() return 1, 2, 3 end
local function count(...) return select("#", ...) end
local function f(...) return ... end
print(count(g()), count(g(), g()), count(f(g())), count(f()))
print(f(g()))
local t = {g(), g()}
print(#t, t[4])
local function tail(n) if n == 0 then return "end", n end return tail(n - 1) end
print(tail(30))
print(string.format("%d-%s-%5.2f", g(), "x", 3.14159))
print(select(2, g()))
local function va(...) local a, b = ... return a, b, ... end
print(va(7, 8, 9))
print(table.unpack({1, 2, 3, nil, 5}, 1, 5))
)",
    // metamethods: suspensions inside them are finished by the interpreter
    R"(
local mt = {}
mt.__add = function(a, b) return a.v + (type(b) == "table" and b.v or b) end
mt.__index = function(t, k) local s = 0 for i = 1, 5 do s = s + i end return k .. s end
mt.__newindex = function(t, k, v) rawset(t, k, v * 2) end
mt.__lt = function(a, b) return a.v < b.v end
mt.__le = function(a, b) return a.v <= b.v end
mt.__eq = function(a, b) return a.v == b.v end
mt.__concat = function(a, b) return "cat" end
mt.__len = function(a) return 42 end
mt.__unm = function(a) return -a.v end
mt.__call = function(self, x) return x + 1 end
mt.__idiv = function() return "idiv" end
local a = setmetatable({v = 3}, mt)
local b = setmetatable({v = 5}, mt)
print(a + b, a + 1, a.foo, a < b, a <= b, a == b, a > b, #a, -a, a(9), a // b)
a.z = 21 print(rawget(a, "z"))
print("x" .. a .. "y", a .. 1 .. 2)
if a < b then print("lt") else print("ge") end
local s = 0
for i = 1, 3 do if a <= b then s = s + 1 end end
print(s)
)",
    // loops, closures, upvalues, goto, integer and float arithmetic
    R"(
local acc = {}
for i = 1, 5 do acc[#acc + 1] = function() return i * i end end
local s = 0 for _, f in ipairs(acc) do s = s + f() end
print(s)
for i = 10, 1, -3 do io_ = i end print(io_)
for x = 0.5, 2, 0.5 do s = s + x end print(s)
local n = 0
::top:: n = n + 1 if n < 5 then goto top end print(n)
print(7 // 2, -7 // 2, 7 % -3, 2^10, 7 / 2, 1 << 62, 5 & 3, 5 | 3, 5 ~ 3, ~0, 1 >> 1)
print(7 // 0, -7 // 0, 7 % 0, 7 / 0, -7 / 0, math.mininteger // -1)
print(math.maxinteger + 1 == math.mininteger, 3 == 3.0, math.type(3 // 1.0))
local function fib(k) if k < 2 then return k end return fib(k - 1) + fib(k - 2) end
print(fib(15))
local w = 0 while w < 20 do w = w + 3 end print(w)
repeat w = w - 1 until w < 10 print(w)
)",
    // strings, tables, library calls with callbacks
    R"(
local t = {}
for i = 1, 30 do t[i] = (i * 7) % 31 end
table.sort(t, function(a, b) return a > b end)
print(table.concat(t, ","))
print(("hello world"):gsub("o", function(c) return c:upper() end))
print(string.rep("ab", 5, "-"), ("%d items"):format(3))
local parts = {}
for word in ("one two three"):gmatch("%a+") do parts[#parts + 1] = word:reverse() end
print(table.concat(parts, " "))
local k = {} for key, v in pairs({a = 1}) do k[#k + 1] = key .. v end print(k[1])
table.insert(t, 1, 99) table.insert(t, 100) print(table.remove(t, 1), table.remove(t), #t)
print(#"abc" .. 1 .. 2.5, tostring(nil), tostring(true), tonumber("0x10"), tonumber("z", 36))
print(utf8.char(72, 228, 8364), utf8.len("häll€"))
print(string.byte("ABC", 1, -1))
print(pcall(error, {code = 1}) == false, select("#", pcall(error)))
)",
    // pcall, errors and to-be-closed variables
    R"(
local function boom(x) if x > 2 then error("too big: " .. x) end return x end
for i = 1, 4 do print(pcall(boom, i)) end
print(pcall(function() local a = nil return a.b end))
local log = {}
do
    local c <close> = setmetatable({}, {__close = function() log[#log + 1] = "closed" end})
    log[#log + 1] = "body"
end
print(table.concat(log, " "))
local function withclose()
    local c <close> = setmetatable({}, {__close = function() log[#log + 1] = "fnclose" end})
    return 1, 2, 3
end
print(withclose())
print(table.concat(log, " "))
print(select("#", pcall(function() return 1, nil, 3 end)))
)",
    // generic for with a Lua iterator, coroutines driven by the script
    R"(
local function range(n)
    return function(_, i) if i < n then return i + 1 end end, nil, 0
end
local s = 0 for i in range(10) do s = s + i end print(s)
local co = coroutine.create(function(a, b)
    local c = coroutine.yield(a + b)
    local d, e = coroutine.yield(c * 2)
    return d + e, "fin"
end)
print(resume(co, 1, 2))
print(resume(co, 10))
print(resume(co, 3, 4))
print(coroutine.status(co), resume(co))
local gen = coroutine.create(function() for i = 1, 5 do coroutine.yield(i, i * i) end return "done" end)
while true do
    local ok, a, b = resume(gen)
    if not b then print(ok, a) break end
    print(a, b)
end
)",
};

// Runs every corpus script on a coroutine; with suspend_always the budget is
// spent before the first instruction and stays spent.
std::string run_corpus(bool suspend_always, long* resumes) {
    fetest::printing_state s;
    std::string& out = s.out;
    lua_register(s.L, "takeescape", take_escape);
    *resumes = 0;
    for (const char* script : corpus) {
        cycle_scope c(0, suspend_always ? -1 : UNLIMITED);
        lua_State* co = lua_newthread(s.L);
        std::string code = std::string(prelude) + script;
        s.load(code);
        lua_xmove(s.L, co, 1);
        int n, st;
        while ((st = lua_resume(co, nullptr, 0, &n)) == LUA_YIELD) {
            EXPECT_EQ(n, 0);
            (*resumes)++;
        }
        if (st != LUA_OK) out += std::string("ERROR: ") + lua_tostring(co, -1) + "\n";
        out += "--\n";
        lua_pop(s.L, 1);
    }
    return out;
}

// Lua's allocator, charging as the process allocator does.
void* charging_alloc(void*, void* block, size_t, size_t n, int, size_t) {
    if (n == 0) {
        std::free(block);
        return nullptr;
    }
    spend_cpu((int32_t)(n >> 7) + 4);
    return std::realloc(block, n);
}

// The cost of each slice of one script resumed with the given budget, a
// fresh slice each time (as the scheduler does); its output goes to out.
// charging: allocations are charged.
std::vector<int32_t> slice_costs(const char* script, int32_t budget, bool charging, std::string* out) {
    fetest::printing_state s;
    if (charging) lua_setallocf(s.L, charging_alloc, nullptr);
    lua_register(s.L, "takeescape", take_escape);
    lua_State* co = lua_newthread(s.L);
    s.load(std::string(prelude) + script);
    lua_xmove(s.L, co, 1);
    std::vector<int32_t> costs;
    int n, st;
    do {
        cycle_scope c(0, budget);
        st = lua_resume(co, nullptr, 0, &n);
        costs.push_back(cpu_cycles);
    } while (st == LUA_YIELD);
    if (st != LUA_OK) s.out += std::string("ERROR: ") + lua_tostring(co, -1) + "\n";
    *out = s.out;
    return costs;
}

// Arithmetic, length, concatenation, index and call metamethods (their
// suspended instructions finish without a further fetch), class lookups
// through a table '__index', allocations.
const char* arith_metamethods = R"(
local mt = {}
mt.__add = function(a, b)
    local s = 0 for i = 1, 3 do s = s + i end
    return (type(a) == "table" and a.v or a) + (type(b) == "table" and b.v or b) + s
end
mt.__sub = function(a, b) return 100 end
mt.__unm = function(a) return -a.v end
mt.__len = function(a) return a.v * 2 end
mt.__concat = function(a, b) return "c" end
mt.__index = function(t, k) return k .. "!" end
mt.__newindex = function(t, k, v) rawset(t, k, v + 1) end
mt.__call = function(self, x) return x * 2 end
mt.__band = function(a, b) return 7 end
mt.__shl = function(a, b) return 9 end
local a = setmetatable({v = 5}, mt)
local Class = {base = 10}
Class.__index = Class
function Class:get() return self.v + self.base end
local obj = setmetatable({v = 3}, Class)
local acc = 0
for i = 1, 20 do
    acc = acc + obj:get() + (obj.missing == nil and 1 or 0)
    acc = acc + (a + i) + (i + a) - (a - 1) + #a + (a & 1) + (a << 2) + a(i) - (-a)
    local s = a .. i .. "x"
    a["k" .. i] = i
    acc = acc + #(a.foo) + #s + #{i, i}
    local f = function() return acc end
    acc = f() // 1
end
print(acc, rawget(a, "k3"), a.bar)
)";

}  // namespace

TEST(lang_budget, every_budget_ends_slices_where_a_check_at_every_fetch_does) {
    lua_hvx_fixseed(12345);  // the same tables in every run
    // Not here: a script resuming its own coroutines (its slices are no
    // partition of one instruction stream), comparison metamethods and
    // '__close' (after a suspension inside them Lua fetches the jump after
    // the comparison, or repeats the return, at a cost).
    const std::vector<const char*> scripts = {corpus[0], corpus[2], corpus[3], arith_metamethods};
    for (size_t k = 0; k < 2 * scripts.size(); k++) {
        const char* script = scripts[k / 2];
        const bool charging = k % 2;
        std::string expected_out;
        // budget -1: the first slice stops before the first fetch (having
        // set up the call), every later one runs one instruction
        std::vector<int32_t> steps = slice_costs(script, -1, charging, &expected_out);
        ASSERT_GT(steps.size(), 100u) << k;
        ASSERT_EQ(expected_out.find("ERROR"), std::string::npos) << expected_out;
        for (int32_t budget : {0, 1, 2, 3, 4, 5, 7, 11, 13, 17, 29, 64, 100, 257, 1000, 4099}) {
            // a fetch runs while the counter is at most the budget
            std::vector<int32_t> want;
            int32_t cnt = steps[0];
            for (size_t j = 1; j < steps.size(); j++) {
                if (cnt > budget) {
                    want.push_back(cnt);
                    cnt = 0;
                }
                cnt += steps[j];
            }
            want.push_back(cnt);
            std::string out;
            EXPECT_EQ(slice_costs(script, budget, charging, &out), want) << "run " << k << " budget " << budget;
            EXPECT_EQ(out, expected_out) << "run " << k << " budget " << budget;
        }
    }
    lua_hvx_fixseed(0);
}

TEST(lang_budget, suspending_before_every_instruction_changes_no_output) {
    long unbudgeted_resumes = 0, budgeted_resumes = 0;
    const std::string expected = run_corpus(false, &unbudgeted_resumes);
    EXPECT_EQ(unbudgeted_resumes, 0);
    EXPECT_EQ(expected.find("ERROR"), std::string::npos) << expected;
    const std::string got = run_corpus(true, &budgeted_resumes);
    EXPECT_EQ(got, expected);
    EXPECT_GT(budgeted_resumes, 3000);  // it really was suspended all the time
}
