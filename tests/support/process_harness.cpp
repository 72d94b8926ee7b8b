#include "tests/support/process_harness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "storage/storage.h"

namespace hvx_test {

static process_env* current_env = nullptr;

static int h_spend(lua_State* L) {
    lua_pushinteger(L, spend_cpu((int32_t)luaL_checkinteger(L, 1)));
    return 1;
}
static int h_cycles(lua_State* L) {
    lua_pushinteger(L, cpu_cycles);
    return 1;
}
static int h_pid(lua_State* L) {
    lua_pushinteger(L, cproc_id());
    return 1;
}
static int h_spawn(lua_State* L) {
    const char* code = luaL_checkstring(L, 1);
    const char* name = luaL_optstring(L, 2, "child");
    const char* path = luaL_optstring(L, 3, "/ram/child.lua");
    Process* p = current_env ? current_env->spawn(code, name, path) : nullptr;
    if (!p) return 0;
    lua_pushinteger(L, p->id);
    return 1;
}
static int h_kill(lua_State* L) {
    kill_process(get_process(luaL_checkinteger(L, 1)));
    return 0;
}
static int h_restart(lua_State* L) {
    Process* p = get_process(luaL_checkinteger(L, 1));
    if (p) restart_process(p);
    return 0;
}
static int h_run_slice(lua_State* L) {
    Process* p = get_process(luaL_checkinteger(L, 1));
    lua_pushinteger(L, run_process_slice(p, luaL_optnumber(L, 2, 1.0)));
    return 1;
}

process_env::process_env() {
    processes_init();
    krio_debug_close();
    config_set_defaults();
    snprintf(config.home, sizeof config.home, "%s", home_.path().c_str());
    krio_reset_path_cache();
    krio_debug_open();
    config.headless = 1;
    config.display_pid = DEFAULT_DISPLAY_PID;
    init_default_coltabs();  // as start-up does
    clear_app_parts();
    cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
    cpu_nonyield_allowance = LANG_NONYIELD_CEILING;  // a runaway of an earlier test set it
    total_frame_cycles = total_frame_cycles_since_wm_flip = 0;
    globals_ = {{"spend", h_spend},   {"cycles", h_cycles}, {"pid", h_pid},
                {"spawn", h_spawn},   {"kill", h_kill},     {"restart", h_restart},
                {"run_slice", h_run_slice}};
    current_env = this;
}

process_env::~process_env() {
    processes_init();
    krio_debug_close();
    config.home[0] = 0;
    krio_reset_path_cache();
    current_env = nullptr;
}

void process_env::add_global(const char* name, int (*fn)(lua_State*)) { globals_.push_back({name, fn}); }

void process_env::register_globals(Process* p) const {
    if (!p || !p->L) return;
    for (const auto& g : globals_) {
        lua_pushcfunction(p->L, g.second);
        lua_setglobal(p->L, g.first);
    }
}

Process* process_env::spawn(const std::string& code, const std::string& name, const std::string& path,
                            const std::string& sandbox, const std::string& cart_id) {
    Process* p = create_process_from_code(code.c_str(), name.c_str(), path.c_str(), sandbox.c_str(),
                                          cart_id.c_str());
    register_globals(p);
    return p;
}

Process* process_env::boot_root(const std::string& boot_code) {
    Process* root = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]", "", "");
    if (!root) return nullptr;
    register_globals(root);
    cproc = root;
    if (process_load_boot_text(root, boot_code.data(), boot_code.size(), "=boot")) return nullptr;
    return root;
}

// The frame driver's root frame, call for call: upkeep, the root's whole
// slice, upkeep. A root that has ended gets no slice there either.
int64_t process_env::frame() {
    prepare_processes_for_frame();
    int64_t used = run_process_slice(root_process_record(), 1.0);
    update_processes_after_frame();
    return used;
}

std::vector<std::string> process_env::messages(const Process* p) const {
    std::vector<std::string> out;
    if (!p || !p->messages) return out;
    const buffer* q = p->messages;
    int64_t at = p->message_head;  // read messages are not listed
    while (at + 4 <= q->length) {
        uint32_t n;
        std::memcpy(&n, q->data + at, 4);
        if (at + 4 + (int64_t)n > q->length) break;
        out.emplace_back((const char*)q->data + at + 4, n);
        at += 4 + n;
    }
    return out;
}

// The call runs inside a protected trampoline, so an error it raises is
// caught, and only what the function itself charges is counted.
static int (*called_fn)(lua_State*);
static int32_t called_charge;
static int call_trampoline(lua_State* L) {
    const int32_t before = cpu_cycles;
    int n = called_fn(L);
    called_charge = cpu_cycles - before;
    return n;
}

// The main stack's first slot holds the host's anchors (hvx_anchor): the
// helpers work above it and leave it be.

// The results (or the error) of a protected call; the stack is emptied.
static call_result collect(lua_State* L, int status, int32_t charged) {
    call_result r{{}, charged, {}};
    if (status != LUA_OK) {
        r.error = luaL_tolstring(L, -1, nullptr);
    } else {
        for (int i = HVX_HOST_SLOTS + 1, top = lua_gettop(L); i <= top; i++) {
            size_t n = 0;
            const char* s = luaL_tolstring(L, i, &n);
            r.values.emplace_back(s, n);
            lua_pop(L, 1);
        }
    }
    lua_settop(L, HVX_HOST_SLOTS);
    return r;
}

call_result call(Process* p, int (*fn)(lua_State*), const std::string& args) {
    lua_State* L = p->L;
    set_current_process(p);
    lua_settop(L, HVX_HOST_SLOTS);
    lua_pushcfunction(L, call_trampoline);
    int status = luaL_loadstring(L, ("return " + args).c_str());
    if (status == LUA_OK) status = lua_pcall(L, 0, LUA_MULTRET, 0);
    EXPECT_EQ(status, LUA_OK) << args << ": " << lua_tostring(L, -1);
    if (status != LUA_OK) return collect(L, status, 0);
    called_fn = fn;
    called_charge = 0;
    status = lua_pcall(L, lua_gettop(L) - HVX_HOST_SLOTS - 1, LUA_MULTRET, 0);
    return collect(L, status, called_charge);
}

call_result eval(Process* p, const std::string& code) {
    lua_State* L = p->L;
    set_current_process(p);
    lua_settop(L, HVX_HOST_SLOTS);
    const int32_t before = cpu_cycles;
    int status = luaL_loadstring(L, code.c_str());
    if (status == LUA_OK) status = lua_pcall(L, 0, LUA_MULTRET, 0);
    return collect(L, status, cpu_cycles - before);
}

std::string process_env::log() const {
    krio_debug("\n");  // lets a folded repeat of the last line be written
    return read_file(home_ / LOG_FILE_NAME);
}

std::string run_in(Process* p, const std::string& code) {
    call_result r = eval(p, code);
    if (!r.error.empty()) return "error: " + r.error;
    std::string joined;
    for (size_t i = 0; i < r.values.size(); i++) joined += (i ? ", " : "") + r.values[i];
    return joined;
}

std::string global_text(Process* p, const char* name) {
    lua_getglobal(p->L, name);
    size_t n = 0;
    const char* s = luaL_tolstring(p->L, -1, &n);
    std::string out(s, n);
    lua_pop(p->L, 2);
    return out;
}

}  // namespace hvx_test
