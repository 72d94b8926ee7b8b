// Benchmark support shared by the benchmark programs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/runtime.h"

// A fresh, headless process table holding one process made from code; none
// when the code does not compile.
Process* bench_process(const char* code, const char* name = "bench", const char* path = "/ram/bench.lua");

// Our system ROM's kernel booted headless past the boot screen, its window
// manager drawn once; none when it did not get that far.
Process* bench_boot_our_kernel();
// One idle frame of it: upkeep, the kernel's slice, upkeep and the compose.
// True when a picture was composed.
bool bench_idle_frame(Process* root);
// One scratch folder under the system's temp folder for the whole run.
std::string bench_scratch();
// n bytes, half text-like (so LZ4 has something to find), half noise.
std::string bench_noise(size_t n, uint32_t seed);

// A process to draw for, made on the first call and kept: the default colour
// tables, every mask 63 and the clip box over w x h.
Process* bench_drawer(int w, int h);
// A u8 bitmap as the graphics routines take it: the header, then w x h
// pixels of fill.
std::vector<uint8_t> bench_bitmap(int w, int h, uint8_t fill = 0);

// Runs the global function step(k) of a script, defined by code, with
// k = SCRIPT_STEP_BATCH each iteration and an unlimited budget; items are the
// steps taken.
inline constexpr int SCRIPT_STEP_BATCH = 100;
void run_script_steps(benchmark::State& state, const char* code);
