// Benchmark support shared by the benchmark programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/runtime.h"

// A fresh, headless process table holding one process made from code; none
// when the code does not compile.
Process* bench_process(const char* code, const char* name = "bench", const char* path = "/ram/bench.lua");

// One scratch folder under the system's temp folder for the whole run.
std::string bench_scratch();
// n bytes, half text-like (so LZ4 has something to find), half noise.
std::string bench_noise(size_t n, uint32_t seed);
