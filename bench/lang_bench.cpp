// The dialect's interpreter against the stock Lua 5.4.4 core built from the
// same tarball with the same compiler and flags (lua_stock_run), side by
// side in one run: every program with an unlimited budget and with a yield
// every frame's budget of cycles, and the allocation-heavy ones on the
// process allocator (the anchor calls the same allocator); a budget
// suspension plus its resumption on its own. bench/lang_instructions.sh
// counts the instructions of each under callgrind.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lang/lang.h"
#include "runtime/runtime.h"

// The anchor (namespace lua_stock inside); alloc none: the stock allocator.
int lua_stock_run(const char* code, size_t len, void* (*alloc)(void*, void*, size_t, size_t), void* ud);

namespace {

// The same string hash seed as the anchor's, on every run.
const bool seed_fixed = (lua_hvx_fixseed(0x5eed5eedu), true);

const char* fib_code = R"(
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
assert(fib(32) == 2178309)
)";

const char* spectral_code = R"(
local function A(i, j)
  local ij = i + j - 1
  return 1.0 / (ij * (ij - 1) * 0.5 + i)
end
local function Av(x, y, N)
  for i = 1, N do
    local a = 0
    for j = 1, N do a = a + x[j] * A(i, j) end
    y[i] = a
  end
end
local function Atv(x, y, N)
  for i = 1, N do
    local a = 0
    for j = 1, N do a = a + x[j] * A(j, i) end
    y[i] = a
  end
end
local function AtAv(x, y, t, N) Av(x, t, N) Atv(t, y, N) end
local N = 200
local u, v, t = {}, {}, {}
for i = 1, N do u[i] = 1 end
for i = 1, 10 do AtAv(u, v, t, N) AtAv(v, u, t, N) end
local vBv, vv = 0, 0
for i = 1, N do
  local ui, vi = u[i], v[i]
  vBv = vBv + ui * vi
  vv = vv + vi * vi
end
assert(math.abs(math.sqrt(vBv / vv) - 1.2742) < 0.001)
)";

const char* nbody_code = R"(
local sqrt = math.sqrt
local PI = math.pi
local SOLAR_MASS = 4 * PI * PI
local DAYS_PER_YEAR = 365.24
local bodies = {
  {x = 0, y = 0, z = 0, vx = 0, vy = 0, vz = 0, mass = SOLAR_MASS},
  {x = 4.84143144246472090e+00, y = -1.16032004402742839e+00, z = -1.03622044471123109e-01,
   vx = 1.66007664274403694e-03 * DAYS_PER_YEAR, vy = 7.69901118419740425e-03 * DAYS_PER_YEAR,
   vz = -6.90460016972063023e-05 * DAYS_PER_YEAR, mass = 9.54791938424326609e-04 * SOLAR_MASS},
  {x = 8.34336671824457987e+00, y = 4.12479856412430479e+00, z = -4.03523417114321381e-01,
   vx = -2.76742510726862411e-03 * DAYS_PER_YEAR, vy = 4.99852801234917238e-03 * DAYS_PER_YEAR,
   vz = 2.30417297573763929e-05 * DAYS_PER_YEAR, mass = 2.85885980666130812e-04 * SOLAR_MASS},
  {x = 1.28943695621391310e+01, y = -1.51111514016986312e+01, z = -2.23307578892655734e-01,
   vx = 2.96460137564761618e-03 * DAYS_PER_YEAR, vy = 2.37847173959480950e-03 * DAYS_PER_YEAR,
   vz = -2.96589568540237556e-05 * DAYS_PER_YEAR, mass = 4.36624404335156298e-05 * SOLAR_MASS},
  {x = 1.53796971148509165e+01, y = -2.59193146099879641e+01, z = 1.79258772950371181e-01,
   vx = 2.68067772490389322e-03 * DAYS_PER_YEAR, vy = 1.62824170038242295e-03 * DAYS_PER_YEAR,
   vz = -9.51592254519715870e-05 * DAYS_PER_YEAR, mass = 5.15138902046611451e-05 * SOLAR_MASS},
}
local function advance(bodies, nbody, dt)
  for i = 1, nbody do
    local bi = bodies[i]
    local bix, biy, biz, bimass = bi.x, bi.y, bi.z, bi.mass
    local bivx, bivy, bivz = bi.vx, bi.vy, bi.vz
    for j = i + 1, nbody do
      local bj = bodies[j]
      local dx, dy, dz = bix - bj.x, biy - bj.y, biz - bj.z
      local d2 = dx * dx + dy * dy + dz * dz
      local mag = sqrt(d2)
      mag = dt / (mag * d2)
      local bm = bj.mass * mag
      bivx = bivx - (dx * bm)
      bivy = bivy - (dy * bm)
      bivz = bivz - (dz * bm)
      bm = bimass * mag
      bj.vx = bj.vx + (dx * bm)
      bj.vy = bj.vy + (dy * bm)
      bj.vz = bj.vz + (dz * bm)
    end
    bi.vx = bivx
    bi.vy = bivy
    bi.vz = bivz
    bi.x = bix + dt * bivx
    bi.y = biy + dt * bivy
    bi.z = biz + dt * bivz
  end
end
local function energy(bodies, nbody)
  local e = 0
  for i = 1, nbody do
    local bi = bodies[i]
    local vx, vy, vz, bim = bi.vx, bi.vy, bi.vz, bi.mass
    e = e + (0.5 * bim * (vx * vx + vy * vy + vz * vz))
    for j = i + 1, nbody do
      local bj = bodies[j]
      local dx, dy, dz = bi.x - bj.x, bi.y - bj.y, bi.z - bj.z
      e = e - ((bim * bj.mass) / sqrt(dx * dx + dy * dy + dz * dz))
    end
  end
  return e
end
local function offset(b, nbody)
  local px, py, pz = 0, 0, 0
  for i = 1, nbody do
    local bi = b[i]
    local bim = bi.mass
    px = px + (bi.vx * bim)
    py = py + (bi.vy * bim)
    pz = pz + (bi.vz * bim)
  end
  b[1].vx = -px / SOLAR_MASS
  b[1].vy = -py / SOLAR_MASS
  b[1].vz = -pz / SOLAR_MASS
end
local nbody = #bodies
offset(bodies, nbody)
for i = 1, 100000 do advance(bodies, nbody, 0.01) end
assert(math.abs(energy(bodies, nbody) + 0.169) < 0.001)
)";

// Pattern matching over a 90 KB text: words, swaps, a search.
const char* patterns_code = R"lua(
local s = string.rep("the quick brown fox jumps over the lazy dog ", 2000)
local n = 0
for i = 1, 10 do
  for w in s:gmatch("%a+") do n = n + #w end
  local r, k = s:gsub("(%w+) (%w+)", "%2 %1")
  n = n + k + (s:find("l%a-y c") or 0)
end
assert(n > 0)
)lua";

const char* binarytrees_code = R"(
local function BottomUpTree(depth)
  if depth > 0 then
    depth = depth - 1
    local left, right = BottomUpTree(depth), BottomUpTree(depth)
    return { left, right }
  else
    return { }
  end
end
local function ItemCheck(tree)
  if tree[1] then return 1 + ItemCheck(tree[1]) + ItemCheck(tree[2]) else return 1 end
end
local N = 14
local mindepth = 4
local maxdepth = mindepth + 2
if maxdepth < N then maxdepth = N end
do
  local stretchdepth = maxdepth + 1
  local stretchtree = BottomUpTree(stretchdepth)
  assert(ItemCheck(stretchtree) == 2 ^ (stretchdepth + 1) - 1)
end
local longlivedtree = BottomUpTree(maxdepth)
for depth = mindepth, maxdepth, 2 do
  local iterations = 2 ^ (maxdepth - depth + mindepth)
  local check = 0
  for i = 1, iterations do check = check + ItemCheck(BottomUpTree(depth)) end
  assert(check == iterations * (2 ^ (depth + 1) - 1))
end
assert(ItemCheck(longlivedtree) == 2 ^ (maxdepth + 1) - 1)
)";

// Method calls through a class table ('__index'), with getters and setters.
const char* methods_code = R"(
local Acc = {}
Acc.__index = Acc
function Acc.new(step) return setmetatable({n = 0, sum = 0, step = step}, Acc) end
function Acc:add(v) self.n = self.n + 1 self.sum = self.sum + v * self.step end
function Acc:count() return self.n end
function Acc:total() return self.sum end
local a, b = Acc.new(1), Acc.new(2)
for i = 1, 1000000 do
  a:add(i % 7)
  b:add(a:count() % 3)
end
assert(a:count() == 1000000 and b:total() > 0 and a:total() > 0)
)";

// Strings: concatenation, formatting, case, slicing, joining, splitting.
const char* strings_code = R"(
local parts = {}
for i = 1, 100000 do
  local s = "item" .. i
  parts[#parts + 1] = s:upper():sub(1, 6) .. string.format("%05d", i % 1000)
end
local joined = table.concat(parts, ",")
local n, bytes = 0, 0
for w in joined:gmatch("[^,]+") do
  n = n + 1
  bytes = bytes + #w + w:byte(1)
end
assert(n == 100000 and bytes > 0 and #joined > 0)
)";

// ---------------------------------------------------------------------------
// Runs (not inlined: bench/lang_instructions.sh counts inside them)
// ---------------------------------------------------------------------------

enum class mode { unlimited, sliced, accounted };

// The stock core's four-argument allocator over the process allocator: the
// same header, charge and counts as in our core (its sizes for accounting).
void* stock_l_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
    return l_alloc(ud, ptr, osize, nsize, 0, nsize);
}

[[gnu::noinline]] bool lang_bench_run_stock(const char* code, bool accounted) {
    Process* owner = accounted ? (Process*)std::calloc(1, sizeof(Process)) : nullptr;
    cpu_superyielding = 0;
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    bool ok = lua_stock_run(code, std::strlen(code), accounted ? stock_l_alloc : nullptr, owner) == 0;
    std::free(owner);
    return ok;
}

// Runs code in our core. sliced: a coroutine resumed slice after slice with
// a frame's budget each, as the scheduler does; accounted: on the process
// allocator.
[[gnu::noinline]] bool lang_bench_run_ours(const char* code, mode m, int64_t* slices) {
    Process* owner = m == mode::accounted ? (Process*)std::calloc(1, sizeof(Process)) : nullptr;
    lua_State* L = owner ? lua_newstate(l_alloc, owner) : luaL_newstate();
    if (!L) return false;
    luaL_openlibs(L);
    bool ok = luaL_loadbufferx(L, code, std::strlen(code), "=ours", "t") == LUA_OK;
    cpu_superyielding = 0;
    cpu_cycles = 0;
    if (ok && m != mode::sliced) {
        cpu_cycles_max = INT32_MAX;
        ok = lua_pcall(L, 0, 0, 0) == LUA_OK;
        if (!ok) std::fprintf(stderr, "ours: %s\n", lua_tostring(L, -1));
    } else if (ok) {
        lua_State* co = lua_newthread(L);
        lua_rotate(L, -2, 1);
        lua_xmove(L, co, 1);
        cpu_cycles_max = CPU_FRAME_BUDGET;
        int n, st;
        while ((st = lua_resume(co, nullptr, 0, &n)) == LUA_YIELD) {
            cpu_cycles = 0;
            (*slices)++;
        }
        ok = st == LUA_OK;
        if (!ok) std::fprintf(stderr, "ours: %s\n", lua_tostring(co, -1));
    }
    lua_close(L);
    std::free(owner);
    cpu_cycles_max = INT32_MAX;
    return ok;
}

void bench_stock(benchmark::State& st, const char* code, bool accounted) {
    for (auto _ : st)
        if (!lang_bench_run_stock(code, accounted)) st.SkipWithError("stock run failed");
}

void bench_ours(benchmark::State& st, const char* code, mode m) {
    int64_t slices = 0;
    for (auto _ : st)
        if (!lang_bench_run_ours(code, m, &slices)) st.SkipWithError("run failed");
    if (m == mode::sliced) st.counters["slices"] = benchmark::Counter((double)slices, benchmark::Counter::kAvgIterations);
}

// One budget suspension and resumption: a spent budget makes every resume
// run exactly one instruction of a tight loop.
void bench_suspend_resume(benchmark::State& st) {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    lua_State* co = lua_newthread(L);
    const char* loop = "local n = 0 while true do n = n + 1 end";
    luaL_loadbufferx(co, loop, std::strlen(loop), "=loop", "t");
    cpu_superyielding = 0;
    cpu_cycles = 0;
    cpu_cycles_max = -1;
    int n;
    for (auto _ : st)
        if (lua_resume(co, nullptr, 0, &n) != LUA_YIELD) st.SkipWithError("not suspended");
    cpu_cycles_max = INT32_MAX;
    lua_close(L);
}

}  // namespace

BENCHMARK(bench_suspend_resume);

#define LANG_BENCH(name, code)                                                                           \
    BENCHMARK_CAPTURE(bench_stock, name, code, false)->Unit(benchmark::kMillisecond);                    \
    BENCHMARK_CAPTURE(bench_ours, name##_unlimited, code, mode::unlimited)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(bench_ours, name##_sliced, code, mode::sliced)->Unit(benchmark::kMillisecond)
#define LANG_BENCH_ACCOUNTED(name, code)                                                              \
    BENCHMARK_CAPTURE(bench_stock, name##_accounted, code, true)->Unit(benchmark::kMillisecond);      \
    BENCHMARK_CAPTURE(bench_ours, name##_accounted, code, mode::accounted)->Unit(benchmark::kMillisecond)

LANG_BENCH(fib32, fib_code);
LANG_BENCH(spectral_norm, spectral_code);
LANG_BENCH(n_body, nbody_code);
LANG_BENCH(binary_trees, binarytrees_code);
LANG_BENCH(methods, methods_code);
LANG_BENCH(strings, strings_code);
LANG_BENCH(patterns, patterns_code);
LANG_BENCH_ACCOUNTED(binary_trees, binarytrees_code);
LANG_BENCH_ACCOUNTED(strings, strings_code);
