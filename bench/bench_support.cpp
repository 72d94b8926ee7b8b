#include "bench/bench_support.h"

#include <cstdlib>
#include <filesystem>

#include "gfx/gfx.h"

Process* bench_process(const char* code, const char* name, const char* path) {
    processes_init();
    config.headless = 1;
    config.display_pid = DEFAULT_DISPLAY_PID;
    init_default_coltabs();  // as start-up does
    return create_process_from_code(code, name, path, "", "");
}

std::string bench_scratch() {
    static std::string dir;
    if (dir.empty()) {
        std::string t = (std::filesystem::temp_directory_path() / "hvxbench-XXXXXX").string();
        dir = mkdtemp(t.data());
    }
    return dir;
}

std::string bench_noise(size_t n, uint32_t seed) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = (i / 64) % 2 ? (char)(seed >> 24) : (char)('a' + (i % 13));
    }
    return s;
}
