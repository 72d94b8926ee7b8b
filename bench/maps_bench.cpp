// Map drawing from a script: a full screen of 60 x 34 cells of 8 x 8 by one
// _draw_map call per frame, against a spr call per cell. Items are frames.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_support.h"

namespace {

constexpr const char* kMapScript = R"(
    D = userdata("u8", 480, 270) _set_draw_target(D) poke(0x5508, 63, 63, 63, 63) pal()
    local S = userdata("u8", 8, 8) _set_spr(1, S)
    M = userdata("i16", 60, 34) for i = 0, 60 * 34 - 1 do M[i] = 1 end
)";
void BM_draw_map_full_screen(benchmark::State& state) {
    run_script_steps(state, (std::string(kMapScript) +
                             "function step(k) for i = 1, k do _draw_map(M, 0, 0, 0, 0, 60, 34, 0, 8, 8) end end")
                                .c_str());
}
void BM_anchor_spr_per_cell(benchmark::State& state) {
    run_script_steps(state, (std::string(kMapScript) + "function step(k) for i = 1, k do for y = 0, 264, 8 do "
                                                       "for x = 0, 472, 8 do spr(1, x, y) end end end end")
                                .c_str());
}
BENCHMARK(BM_draw_map_full_screen);
BENCHMARK(BM_anchor_spr_per_cell);

}  // namespace
