#include "bench/bench_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "storage/storage.h"
#include "userdata/userdata.h"

Process* bench_process(const char* code, const char* name, const char* path) {
    processes_init();
    config.headless = 1;
    config.display_pid = DEFAULT_DISPLAY_PID;
    init_default_coltabs();  // as start-up does
    return create_process_from_code(code, name, path, "", "");
}

Process* bench_drawer(int w, int h) {
    static Process* p = nullptr;
    if (p) return p;
    p = bench_process("", "drawer", "/ram/drawer.lua");
    if (!p) return nullptr;
    refill_colour_tables(p);
    for (uint32_t a = ADDR_READ_MASK; a <= ADDR_SHAPE_TARGET_MASK; a++) hvx_poke8(p, a, 63);
    p->clip_box[0] = 0, p->clip_box[1] = w, p->clip_box[2] = 0, p->clip_box[3] = h;
    return p;
}

std::vector<uint8_t> bench_bitmap(int w, int h, uint8_t fill) {
    std::vector<uint8_t> b(UD_HEADER_SIZE + (size_t)w * h, fill);
    ud_write_header(b.data(), UTYPE_U8, 2, (uint32_t)w, (uint32_t)h);
    return b;
}

Process* bench_boot_our_kernel() {
    std::string here = __FILE__;
    const std::string sysrom = here.substr(0, here.rfind("/bench/")) + "/sysrom/";
    auto script = [&](const char* name) {
        std::ifstream f(sysrom + name);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    // The kernel fetches the window manager from /system, as start-up fills it.
    pfile_init();
    mount_ram_folder("/system");
    const std::string wm = script("wm.lua");
    if (pfile* w = pfopen("/system/wm.lua", "wb")) {
        pfwrite(wm.data(), 1, (int64_t)wm.size(), w);
        pfclose(w);
    }
    const std::string kernel = script("boot.lua");
    Process* root = bench_process(kernel.c_str(), "kernel", "/system/boot.lua");
    if (!root) return nullptr;
    platform_app.boot_screen_off = 1;
    platform_app.boot_start = 1;
    platform_app.frame_count = 1000;
    for (int i = 0; i < 10; i++) bench_idle_frame(root);  // booted, the first picture drawn
    return get_process(DEFAULT_DISPLAY_PID) ? root : nullptr;
}

bool bench_idle_frame(Process* root) {
    prepare_processes_for_frame();
    run_process_slice(root, 1.0);
    update_processes_after_frame();
    int w, h;
    return generate_video_out(&w, &h) != nullptr;
}

void run_script_steps(benchmark::State& state, const char* code) {
    Process* p = bench_process(code);
    if (!p) {
        state.SkipWithError("the script does not compile");
        return;
    }
    cproc = p;
    cpu_cycles_max = INT32_MAX;
    lua_State* L = p->L;
    lua_pcall(L, 0, 0, 0);  // defines step
    for (auto _ : state) {
        cpu_cycles = 0;
        lua_getglobal(L, "step");
        lua_pushinteger(L, SCRIPT_STEP_BATCH);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * SCRIPT_STEP_BATCH);
    cproc = nullptr;
    processes_init();
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
