#include "bench/bench_support.h"

#include "gfx/gfx.h"

Process* bench_process(const char* code, const char* name, const char* path) {
    processes_init();
    config.headless = 1;
    config.display_pid = DEFAULT_DISPLAY_PID;
    init_default_coltabs();  // as start-up does
    return create_process_from_code(code, name, path, "", "");
}
