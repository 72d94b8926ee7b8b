// Process calls: how scripts start, slice, inspect, halt and stop processes,
// finish frames, and send and read messages.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

static Process* process_arg(lua_State* L, int index) { return get_process(hvx_pid_arg(L, index)); }


int lua54_pid(lua_State* L) {
    lua_pushinteger(L, cproc_id());
    return 1;
}

int lua54_halt(lua_State* L) {
    (void)L;
    Process* p = cproc;
    if (!p) return 0;
    p->state = PROC_ENDED;
    release_atomic_hold(p);
    cpu_superyielding = CPU_SUPERYIELD;
    // The kernel never ends quietly: halting it ends it like a return, so
    // the frame driver shuts down instead of running no one for ever.
    if (get_process_index(p) == 0) kill_process(p);
    return 0;
}

// A process still paying for an earlier compile waits before it compiles
// again: the call yields (as a budget suspension does, escape flag set) and
// goes on in k once the cycles are paid. Where it cannot yield it is
// refused. Returns -1 when the compile may go ahead.
static int wait_to_compile(lua_State* L, lua_KFunction k) {
    Process* me = cproc;
    if (!process_pays_for_compile(me)) return -1;
    if (lua_isyieldable(L)) {
        *lua_hvx_escapeflag(L) = LANG_ESCAPE_SET;
        return lua_yieldk(L, 0, 0, k);
    }
    krio_debugf("process %lld still pays for a compile: no compile now\n", (long long)me->id);
    return 0;
}

// Freeing a state walks its heap, as a full collection does, besides
// releasing the process's address space and host resources.
static void charge_state_free(const Process* p) {
    spend_cpu(hvx_cycles(PROCESS_FREE_BASE_CYCLES + p->heap_bytes / LANG_COLLECT_HEAP_BYTES_PER_CYCLE));
}

static int kill_process_k(lua_State* L, int, lua_KContext) {
    Process* p = process_arg(L, 1);
    int64_t mode = hvx_intp(L, 2, 0);
    if (!p) return 0;
    if (mode == 0) {
        charge_state_free(p);
        kill_process(p);
    } else if (mode == 1) {
        // The restart compiles the source again.
        if (int r = wait_to_compile(L, kill_process_k); r >= 0) return r;
        charge_state_free(p);
        charge_compile(p->source_len);
        restart_process(p);
    }
    return 0;
}

int lua54_kill_process(lua_State* L) { return kill_process_k(L, LUA_OK, 0); }

static int slice_result(lua_State* L, bool done, double cpu, const char* err) {
    lua_pushboolean(L, done);
    lua_pushnumber(L, cpu);
    if (!err) return 2;
    lua_pushstring(L, err);
    return 3;
}

int lua54_run_process_slice(lua_State* L) {
    int isnum = 0;
    double fraction = lua_tonumberx(L, 2, &isnum);
    if (!isnum || !(fraction > 0)) return 0;  // NaN included
    if (fraction > 1) fraction = 1;
    int64_t id = hvx_pid_arg(L, 1);
    Process* p = get_process(id);
    if (!p) return slice_result(L, true, 0.0, SLICE_BAD_ID_TEXT);
    // A process on the running chain (the caller or one of its resumers)
    // cannot be resumed again.
    if (!p->L || process_state_busy(p)) return slice_result(L, true, 0.0, SLICE_INVALID_TEXT);
    if (lua_hvx_ccalls(L) > SLICE_CCALLS_MAX) return slice_result(L, true, 0.0, SLICE_DEPTH_TEXT);
    if (p->flipped) return slice_result(L, true, 0.0, nullptr);

    // granted grows exactly when the slice is given: run, or paid off a debt
    // that covers it.
    int32_t granted_before = p->granted;
    bool resumed = false;
    int64_t used = run_process_slice(p, fraction, L, &resumed);
    Process* after = get_process(id);
    if (!after || !after->L) return slice_result(L, true, 0.0, SLICE_GONE_TEXT);
    double cpu = (double)used / current_frame_budget();
    bool given = after == p && after->granted != granted_before;
    if (!given) return slice_result(L, true, cpu, nullptr);
    // A slice that only paid its program's debt off leaves the process
    // wanting time, even one not run since its start or restart.
    if (!resumed) return slice_result(L, after->flipped != 0, cpu, nullptr);
    bool done = lua_status(after->L) != LUA_YIELD || after->flipped || after->state != PROC_RUNNING;
    return slice_result(L, done, cpu, nullptr);
}

static int create_process_k(lua_State* L, int, lua_KContext) {
    if (int r = wait_to_compile(L, create_process_k); r >= 0) return r;
    // Copied one by one: converting a number allocates, and what that runs
    // must not free a text read before.
    std::string src, name, path, sandbox, cart_id;
    if (!hvx_text_arg(L, 1, &src) || !hvx_text_arg(L, 2, &name) || !hvx_text_arg(L, 3, &path)) return 0;
    hvx_text_arg(L, 4, &sandbox);
    hvx_text_arg(L, 5, &cart_id);
    // A sandboxed process makes no process with more rights than its own: it
    // is sandboxed too (with its maker's sandbox when it names none) and
    // never has the system flag.
    const bool confined = cproc && cproc->sandboxed;
    if (confined && sandbox.empty()) sandbox = cproc->sandbox;
    charge_compile(src.size());
    Process* p = create_process_from_code(src.data(), src.size(), name.c_str(), path.c_str(), sandbox.c_str(),
                                          cart_id.c_str());
    if (!p) return 0;
    if (confined) p->flags &= ~PROC_FLAG_SYSTEM;
    lua_pushinteger(L, p->id);
    return 1;
}

int lua54_create_process_from_code(lua_State* L) { return create_process_k(L, LUA_OK, 0); }

static double listed_priority(const Process* p) {
    double pr = p->priority;
    uint8_t fb = peek_proc(const_cast<Process*>(p), ADDR_FLAG_BYTE);
    if (p->boosted) pr *= PRIORITY_BOOST;
    else if ((fb & FLAG_BYTE_LOW_PRIORITY) && !(fb & FLAG_BYTE_GC_INC)) pr *= PRIORITY_BACKGROUND;
    if (config.display_pid <= LAST_SYSTEM_PROCESS_ID) {
        if (app.atomic_pid != 0 && p->id == app.atomic_pid) pr = PRIORITY_FOREGROUND;
        if (p->id <= LAST_SYSTEM_PROCESS_ID) pr = 0.0;
    } else {
        pr = p->id > LAST_SYSTEM_PROCESS_ID ? PRIORITY_FOREGROUND : 0.0;
    }
    return pr;
}

int lua54_get_process_list(lua_State* L) {
    // Taken first: building the tables may run finalizers, and those may
    // remove processes.
    struct entry {
        int64_t id, memory;
        std::string name, prog, pwd;
        double cpu, priority;
    };
    std::vector<entry> list;
    const double budget = current_frame_budget();
    for (int i = 0, n = get_process_count(); i < n; i++) {
        const Process* p = get_process_by_index(i);
        list.push_back({p->id, process_memory_in_use(p), p->name, p->path, p->pwd, (double)p->flip_cycles / budget,
                        listed_priority(p)});
    }
    lua_createtable(L, (int)list.size(), 0);
    for (size_t i = 0; i < list.size(); i++) {
        const entry& e = list[i];
        lua_createtable(L, 0, PROCESS_LIST_FIELDS);
        lua_pushinteger(L, e.id);
        lua_setfield(L, -2, "id");
        lua_pushstring(L, e.name.c_str());
        lua_setfield(L, -2, "name");
        lua_pushstring(L, e.prog.c_str());
        lua_setfield(L, -2, "prog");
        lua_pushnumber(L, e.cpu);
        lua_setfield(L, -2, "cpu");
        lua_pushinteger(L, e.memory);
        lua_setfield(L, -2, "memory");
        lua_pushnumber(L, e.priority);
        lua_setfield(L, -2, "priority");
        lua_pushstring(L, e.pwd.c_str());
        lua_setfield(L, -2, "pwd");
        lua_rawseti(L, -2, (lua_Integer)i + 1);
    }
    return 1;
}

int lua54_process_state(lua_State* L) {
    Process* p = process_arg(L, 1);
    lua_pushinteger(L, p ? p->state : -1);
    return 1;
}

int lua54_flip(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    if (!(hvx_intp(L, 1, 0) & 1)) {
        // Written only when it changes: a write marks the page for the
        // synthesizer's copy, and an idle program flips every frame.
        const uint8_t flags = peek_proc(p, ADDR_FLAG_BYTE);
        if (flags & FLAG_NO_NEW_FRAME) poke_proc(p, ADDR_FLAG_BYTE, flags & (uint8_t)~FLAG_NO_NEW_FRAME);
        p->flipped = 1;
        p->mount_hold = 0;
    }
    cpu_superyielding = CPU_SUPERYIELD;
    return 0;
}

int lua54_yielded_to_escape_slice(lua_State* L) {
    int* flag = lua_hvx_escapeflag(L);
    if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TNUMBER) {
        *flag = hvx_intp(L, 1, 0) != 0 ? ESCAPE_FLAG_SET : 0;
        return 0;
    }
    lua_pushboolean(L, *flag != 0);
    return 1;
}

int lua54_get_process_display_size(lua_State* L) {
    Process* p = process_arg(L, 1);
    lua_pushinteger(L, p ? (int16_t)peek2_proc(p, ADDR_DISPLAY_W) : 0);
    lua_pushinteger(L, p ? (int16_t)peek2_proc(p, ADDR_DISPLAY_H) : 0);
    return 2;
}

int lua54_immediate_sandboxed_family(lua_State* L) {
    int64_t a = hvx_pid_arg(L, 1), b = hvx_pid_arg(L, 2);
    Process* pa = get_process(a);
    Process* pb = get_process(b);
    bool family = pa && pb && pa->sandboxed && pb->sandboxed &&
                  (a == b || pa->parent == b || pb->parent == a);
    lua_pushboolean(L, family);
    return 1;
}

int lua54_close_process_host_resources(lua_State* L) {
    Process* p = process_arg(L, 1);
    if (p) delete_sockets_by_process(p->id);
    return 0;
}

int lua54_blit_process_video(lua_State* L) {
    Process* me = cproc;
    if (!me || !me->draw_target) return 0;
    // The clip box as the caller's clip words have it now.
    refresh_clip_box(me);
    Process* src = process_arg(L, 1);
    if (!src || src->state == PROC_FAILED) {
        lua_pushboolean(L, 1);
        return 1;
    }
    int64_t sx = hvx_intp(L, 2, 0), sy = hvx_intp(L, 3, 0);
    int64_t w = hvx_intp(L, 4, (int16_t)peek2_proc(src, ADDR_DISPLAY_W));
    int64_t h = hvx_intp(L, 5, (int16_t)peek2_proc(src, ADDR_DISPLAY_H));
    int64_t dx = hvx_intp(L, 6, 0), dy = hvx_intp(L, 7, 0);
    if (peek_proc(src, ADDR_FLAG_BYTE) & FLAG_NO_NEW_FRAME) {
        lua_pushboolean(L, 1);
        return 1;
    }
    uint8_t mask = peek_proc(src, ADDR_VIDEO_MASK);
    int32_t c = blit_from_ram(src, ADDR_DISPLAY, me->draw_target, sx, sy, dx, dy, w, h, mask);
    if (mask) spend_cpu(c >> BLIT_COST_SHIFT_MASKED);
    else if (w != BLIT_FREE_W || h != BLIT_FREE_H) spend_cpu(c >> BLIT_COST_SHIFT_PLAIN);
    return 0;
}
