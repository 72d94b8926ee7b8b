// The process the graphics fuzz targets draw for.
#pragma once

#include "gfx/gfx.h"
#include "runtime/runtime.h"

// A process in a fresh, headless table with the default colour tables, made
// on the first call and kept.
inline Process* fuzz_process() {
    static Process* p = nullptr;
    if (p) return p;
    processes_init();
    config.headless = 1;
    p = create_process_from_code("", "fuzz", "/ram/fuzz.lua", "", "");
    init_default_coltabs();
    refill_colour_tables(p);
    return p;
}
