// Process calls: how scripts start, slice, inspect, halt and stop processes,
// finish frames, and send and read messages.
#include <cmath>
#include <cstring>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

static Process* process_arg(lua_State* L, int index) { return get_process(hvx_pid_arg(L, index)); }

static const char* text_arg(lua_State* L, int index, const char* def) {
    int t = lua_type(L, index);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return def;
    return lua_tostring(L, index);
}

int lua54_pid(lua_State* L) {
    lua_pushinteger(L, cproc_id());
    return 1;
}

int lua54_halt(lua_State* L) {
    (void)L;
    Process* p = cproc;
    if (!p) return 0;
    p->state = PROC_ENDED;
    cpu_superyielding = CPU_SUPERYIELD;
    // The kernel never ends quietly: halting it ends it like a return, so
    // the frame driver shuts down instead of running no one for ever.
    if (get_process_index(p) == 0) kill_process(p);
    return 0;
}

int lua54_kill_process(lua_State* L) {
    Process* p = process_arg(L, 1);
    int64_t mode = hvx_intp(L, 2, 0);
    if (!p) return 0;
    if (mode == 0) kill_process(p);
    else if (mode == 1) restart_process(p);
    return 0;
}

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
    if (p->flipped) return slice_result(L, true, 0.0, nullptr);

    // granted grows exactly when the slice reaches the resume.
    int32_t granted_before = p->granted;
    int64_t used = run_process_slice(p, fraction);
    Process* after = get_process(id);
    if (!after || !after->L) return slice_result(L, true, 0.0, SLICE_GONE_TEXT);
    double cpu = (double)used / current_frame_budget();
    bool resumed = after == p && after->granted != granted_before;
    if (!resumed) return slice_result(L, true, cpu, nullptr);
    bool done = lua_status(after->L) != LUA_YIELD || after->flipped || after->state != PROC_RUNNING;
    return slice_result(L, done, cpu, nullptr);
}

int lua54_create_process_from_code(lua_State* L) {
    const char* src = text_arg(L, 1, nullptr);
    const char* name = text_arg(L, 2, nullptr);
    const char* path = text_arg(L, 3, nullptr);
    if (!src || !name || !path) return 0;
    const char* sandbox = text_arg(L, 4, "");
    const char* cart_id = text_arg(L, 5, "");
    Process* p = create_process_from_code(src, name, path, sandbox, cart_id);
    if (!p) return 0;
    lua_pushinteger(L, p->id);
    return 1;
}

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
    int n = get_process_count();
    lua_createtable(L, n, 0);
    const double budget = current_frame_budget();
    for (int i = 0; i < n; i++) {
        const Process* p = get_process_by_index(i);
        lua_createtable(L, 0, PROCESS_LIST_FIELDS);
        lua_pushinteger(L, p->id);
        lua_setfield(L, -2, "id");
        lua_pushstring(L, p->name);
        lua_setfield(L, -2, "name");
        lua_pushstring(L, p->path);
        lua_setfield(L, -2, "prog");
        lua_pushnumber(L, (double)p->flip_cycles / budget);
        lua_setfield(L, -2, "cpu");
        lua_pushinteger(L, process_memory_in_use(p));
        lua_setfield(L, -2, "memory");
        lua_pushnumber(L, listed_priority(p));
        lua_setfield(L, -2, "priority");
        lua_pushstring(L, p->pwd);
        lua_setfield(L, -2, "pwd");
        lua_rawseti(L, -2, i + 1);
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
        poke_proc(p, ADDR_FLAG_BYTE, peek_proc(p, ADDR_FLAG_BYTE) & (uint8_t)~FLAG_NO_NEW_FRAME);
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
