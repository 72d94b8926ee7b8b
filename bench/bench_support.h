// Benchmark support shared by the benchmark programs.
#pragma once

#include "runtime/runtime.h"

// A fresh, headless process table holding one process made from code; none
// when the code does not compile.
Process* bench_process(const char* code, const char* name = "bench", const char* path = "/ram/bench.lua");
