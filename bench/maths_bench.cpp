// Calls per second of flr, mid and rnd from a script, each beside the same
// operation written in plain Lua and beside the stock library's call where
// it has one (math.floor, math.random: the same generator in C).
#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

namespace {

void BM_flr(benchmark::State& state) {
    run_script_steps(state, "local x = 0.5 function step(k) local s = 0 for i = 1, k do s = s + flr(x + i) end end");
}
BENCHMARK(BM_flr);

void BM_Anchor_flr_floor_division(benchmark::State& state) {
    run_script_steps(state, "local x = 0.5 function step(k) local s = 0 for i = 1, k do s = s + (x + i) // 1 end end");
}
BENCHMARK(BM_Anchor_flr_floor_division);

void BM_Anchor_flr_math_floor(benchmark::State& state) {
    run_script_steps(state, "local x, floor = 0.5, math.floor "
                            "function step(k) local s = 0 for i = 1, k do s = s + floor(x + i) end end");
}
BENCHMARK(BM_Anchor_flr_math_floor);

void BM_mid(benchmark::State& state) {
    run_script_steps(state, "function step(k) local s = 0 for i = 1, k do s = s + mid(i, 50, 25) end end");
}
BENCHMARK(BM_mid);

void BM_Anchor_mid_in_lua(benchmark::State& state) {
    run_script_steps(state,
                     "local function mid(a, b, c) "
                     "  local lo, hi = a < b and a or b, a < b and b or a "
                     "  return c < lo and lo or (c > hi and hi or c) "
                     "end "
                     "function step(k) local s = 0 for i = 1, k do s = s + mid(i, 50, 25) end end");
}
BENCHMARK(BM_Anchor_mid_in_lua);

void BM_rnd(benchmark::State& state) {
    run_script_steps(state, "srand(1) function step(k) local s = 0 for i = 1, k do s = s + rnd(10) end end");
}
BENCHMARK(BM_rnd);

void BM_Anchor_rnd_math_random(benchmark::State& state) {
    run_script_steps(state, "local random = math.random math.randomseed(1) "
                            "function step(k) local s = 0 for i = 1, k do s = s + random() * 10 end end");
}
BENCHMARK(BM_Anchor_rnd_math_random);

// xoshiro256** step by step in the language's own 64-bit integers.
void BM_Anchor_rnd_in_lua(benchmark::State& state) {
    run_script_steps(state,
                     "local s0, s1, s2, s3 = 0xDEADBEEE, 0xFF, 1 << 32, 0 "
                     "local function rotl(x, n) return (x << n) | (x >> (64 - n)) end "
                     "local function rnd(x) "
                     "  local r = rotl(s1 * 5, 7) * 9 local t = s1 << 17 "
                     "  s2 = s2 ~ s0 s3 = s3 ~ s1 s1 = s1 ~ s2 s0 = s0 ~ s3 s2 = s2 ~ t s3 = rotl(s3, 45) "
                     "  return (r & 0xFFFFFFFF) * x / 4294967296.0 "
                     "end "
                     "function step(k) local s = 0 for i = 1, k do s = s + rnd(10) end end");
}
BENCHMARK(BM_Anchor_rnd_in_lua);

}  // namespace
