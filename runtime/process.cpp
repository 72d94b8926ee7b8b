// Processes: creation, restart and removal of the records the ground's table
// holds, and the steps that run when a process ended.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <sys/mman.h>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "core/sanitizer.h"
#include "storage/storage.h"
#include "userdata/userdata.h"

// A record is pages of its own, zero until written: its first page holds the
// fields every slice reads, and the parts of its large tables a process
// never uses are never taken from the host.
// Under AddressSanitizer it comes from the sanitized allocator instead, still
// page-aligned: freed pages would come back at the same address for the next
// record, and a stale record pointer would read another process unseen.
// Reachable from the table, what a record points to is held for the leak check.
static Process* new_record() {
#if defined(HALVORAN_ASAN)
    void* m = nullptr;
    if (posix_memalign(&m, HVX_PAGE_SIZE, sizeof(Process)) != 0) return nullptr;
    return (Process*)memset(m, 0, sizeof(Process));
#else
    void* m = mmap(nullptr, sizeof(Process), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : (Process*)m;
#endif
}
static void free_record(Process* p) {
#if defined(HALVORAN_ASAN)
    free(p);
#else
    munmap(p, sizeof(Process));
#endif
}

static int32_t process_id = 1;
static bool removing_all = false;  // processes_init: the root goes too

static void copy_text(char* dst, size_t max_chars, const char* src) {
    size_t n = src ? strnlen(src, max_chars) : 0;
    if (n) std::memcpy(dst, src, n);
    dst[n] = 0;
}

// ---------------------------------------------------------------------------
// Default wavetable
// ---------------------------------------------------------------------------

static bool generated_wt0 = false;

namespace {
// Writes the default table into a process wave by wave: it is the same every
// time, so no host copy of it stays resident. rng_after receives the noise
// generator's state after the noise waves.
void write_wt0(Process* p, uint64_t rng_after[4]) {
    int16_t wave[WAVE_SAMPLES];
    uint32_t addr = ADDR_WAVETABLE;
    auto put = [&] {
        hvx_write_run(p, addr, (const uint8_t*)wave, sizeof wave);
        addr += sizeof wave;
    };
    uint64_t s[4];
    xoshiro256ss_srand(s, WAVETABLE_SEED);
    for (int k = 0; k < 16; k++) {
        for (int i = 0; i < WAVE_SAMPLES; i++) wave[i] = (int16_t)(xoshiro256ss_next(s) & 0xFFFF);
        put();
    }
    std::memcpy(rng_after, s, sizeof s);
    for (int k = 0; k < 64; k++) {  // sine morphing into a triangle
        for (int i = 0; i < WAVE_SAMPLES; i++) {
            int t = (i - 256) & 1023;
            int tri = t < 512 ? t - 256 : 768 - t;
            double v = tri * 127.99 * k - std::sin(2 * 3.141562 * i / 1024) * 32767 * (64 - k);
            wave[i] = (int16_t)((int32_t)v / 64);
        }
        put();
    }
    for (int k = 0; k < 64; k++) {  // triangles with a moving peak
        int peak = 512 + 8 * k, sft = (64 - k) * (64 - k) / 16;
        for (int i = 0; i < WAVE_SAMPLES; i++) {
            int t = (i - sft) & 1023;
            double shape = t < peak ? (double)t / peak : t > peak ? (1024.0 - t) / (1024 - peak) : 1.0;
            wave[i] = (int16_t)(int32_t)(shape * 65535 - 32768);
        }
        put();
    }
    for (int k = 0; k < 64; k++) {  // ramps with a step
        double d = k * k * 0.000244140625;
        for (int i = 0; i < WAVE_SAMPLES; i++) {
            double x = i / 1024.0;
            double v = x * (1 - d) + (x >= 0.5 ? d : 0.0);
            wave[i] = (int16_t)(int32_t)(v * 65534 - 32767);
        }
        put();
    }
    for (int k = 0; k < 64; k++) {  // pulses
        for (int i = 0; i < WAVE_SAMPLES; i++)
            wave[i] = (int16_t)(i / 1024.0 <= 0.5 + k * 0.0078125 ? -32767 : 32767);
        put();
    }
}
}  // namespace

void generate_default_wavetable(Process* p) {
    if (!p) return;
    Process* root = get_process(KERNEL_PROCESS_ID);
    if (p->id > KERNEL_PROCESS_ID && root && root != p && root->L) {
        hvx_pmemcpy_pages(root, p, ADDR_WAVETABLE, ADDR_WAVETABLE_END);
        return;
    }
    // The first root of a run takes the noise generator's state after the
    // noise waves; later ones, and processes without a root, only the table.
    uint64_t rng_after[4];
    write_wt0(p, rng_after);
    if (!generated_wt0 && p->id == KERNEL_PROCESS_ID) std::memcpy(p->rng_state, rng_after, sizeof p->rng_state);
    generated_wt0 = true;
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------

int init_process(Process* p, int64_t id, const char* source, size_t source_len, const char* name,
                 const char* path, const char* sandbox, const char* cart_id) {
    std::memset(p, 0, sizeof *p);
    p->id = id;
    p->created = (int64_t)os_get_time();
    copy_text(p->name, PROC_NAME_MAX, name);
    copy_text(p->path, PROC_PATH_MAX, path);
    if (sandbox) copy_text(p->sandbox, PROC_SANDBOX_MAX, sandbox);
    p->sandboxed = p->sandbox[0] != 0;
    bool system_path = std::strncmp(p->path, PROC_SYSTEM_PREFIX, std::strlen(PROC_SYSTEM_PREFIX)) == 0;
    p->flags = system_path ? PROC_FLAG_SYSTEM : 0;
    if (sandbox && sandbox[0]) p->flags |= PROC_FLAG_SANDBOXED;
    copy_text(p->cart_id, PROC_CART_ID_MAX, cart_id);
    if (std::strcmp(p->path, PROC_TERMINAL_PATH) == 0) p->flags &= ~PROC_FLAG_SYSTEM;
    p->parent = cproc ? cproc->id : 0;
    p->program_id = cproc && !is_system_process_id(cproc->id) ? cproc->program_id : id;
    p->start_frame = frames_begun();
    p->priority = 1.0;
    copy_text(p->pwd, PROC_PATH_MAX, "/");
    // A clock of 0 must not match a cache that was never filled.
    p->channel_cache_stamp = AUDIO_CACHE_EMPTY;
    p->active_channels_stamp = AUDIO_CACHE_EMPTY;

    Process* prev = cproc;
    cproc = p;
    lua_State* L = lua_newstate(l_alloc, p);
    std::string err;
    if (!L) {
        err = "not enough memory";
    } else {
        p->L = L;
        luaL_openlibs(L);
        api_add_c_functions(L);
        os_add_public_c_functions(L);
        add_userdata_metatable_functions(L);
        socket_add_public_c_functions(L);
        // The host's anchors (hvx_anchor): the first slot of the main stack
        // for good, the chunk above it.
        lua_settop(L, 0);
        lua_newtable(L);

        p->source = (char*)std::malloc(source_len + 16);
        if (!p->source) {
            err = "not enough memory";
        } else {
            if (source_len) std::memcpy(p->source, source, source_len);
            p->source[source_len] = 0;
            p->source_len = source_len;
            std::string chunkname = std::string("@") + p->name;
            // Text only: a precompiled chunk could crash the interpreter.
            if (luaL_loadbufferx(L, p->source, source_len, chunkname.c_str(), "t") != LUA_OK) {
                const char* m = lua_tostring(L, -1);
                err = m ? m : "?";
                lua_pop(L, 1);
            }
        }
    }
    if (!err.empty() || !L) {
        report_error("*syntax error");
        report_error(err.c_str());
        krio_debug("syntax error. ** could not create process **\n");
        krio_debugf("%s\n", err.c_str());
        std::free(p->source);
        p->source = nullptr;
        p->source_len = 0;
        if (p->L) lua_close(p->L);
        p->L = nullptr;
        cproc = prev;
        return 1;
    }

    p->messages = create_buffer_2(MESSAGE_QUEUE_SIZE, MESSAGE_QUEUE_KIND);
    for (int pg = 0; pg < INITIAL_PAGES; pg++) hvx_page_slow(p, pg, 0);
    for (int pg = COLTAB_FIRST_PAGE; pg < COLTAB_FIRST_PAGE + COLTAB_PAGES; pg++)
        p->page_flags[pg] = PAGE_FLAG_COLTAB;
    p->state = PROC_RUNNING;

    generate_default_wavetable(p);
    for (int i = 0; i < 64; i++) poke_proc(p, ADDR_INST0_NODES + i, inst0_nodes[i]);
    for (int i = 0; i < 8; i++) poke_proc(p, ADDR_INST0_WT + i, inst0_wt[i]);

    cproc = prev;
    return 0;
}

Process* create_process_from_code(const char* code, size_t len, const char* name, const char* path,
                                  const char* sandbox, const char* cart_id) {
    int64_t id = process_id;
    krio_debugf("creating process %lld %s %s\n", (long long)id, name ? name : "", path ? path : "");
    if (process_id < INT32_MAX) process_id++;
    if (removing_all) {
        // A finalizer run by processes_init: nothing may outlive the wipe.
        krio_debug("all processes are being removed. ** could not create process **\n");
        return nullptr;
    }
    if (get_process_count() >= MAX_PROCESSES) {
        krio_debug("process table full. ** could not create process **\n");
        return nullptr;
    }
    Process* p = new_record();
    if (!p) {
        krio_debug("out of host memory. ** could not create process **\n");
        return nullptr;
    }
    process_table_add(p);
    if (init_process(p, id, code ? code : "", code ? len : 0, name, path, sandbox, cart_id)) {
        process_table_pop();
        free_record(p);
        return nullptr;
    }
    return p;
}

Process* create_process_from_code(const char* code, const char* name, const char* path,
                                  const char* sandbox, const char* cart_id) {
    return create_process_from_code(code, code ? strlen(code) : 0, name, path, sandbox, cart_id);
}

const char* process_load_boot_text(Process* p, const char* text, size_t len, const char* chunkname) {
    static std::string err;
    if (!p || !p->L) {
        err = "no process";
        return err.c_str();
    }
    Process* prev = cproc;
    cproc = p;
    int st = luaL_loadbufferx(p->L, text, len, chunkname, "t");
    if (st != LUA_OK) {
        const char* m = lua_tostring(p->L, -1);
        err = m ? m : "?";
        lua_pop(p->L, 1);
    }
    cproc = prev;
    return st == LUA_OK ? nullptr : err.c_str();
}

// ---------------------------------------------------------------------------
// Teardown, removal, restart
// ---------------------------------------------------------------------------

// The states closing now, innermost first (a finalizer may end another
// process): once one's run is past its share, the rest of its script
// finalizers are left out.
namespace {
struct closing_state {
    closing_state* outer;
    lua_State* L;
    bool past;
    int64_t left_out;
};
}  // namespace
static closing_state* closing_top = nullptr;

static int end_finalizer_gate(lua_State* L) {
    closing_state* c = closing_top;
    while (c && c->L != L) c = c->outer;
    if (!c) return 1;
    if (!c->past) {
        backstop_recheck();  // a mark the timer set may prove unfounded
        c->past = cpu_nonyield_allowance < 0 ||
                  (int64_t)cpu_cycles > (int64_t)cpu_cycles_max + cpu_nonyield_allowance;
    }
    if (c->past) c->left_out++;
    return c->past ? 0 : 1;
}

void free_process(Process* p) {
    if (!p || p->closing) return;
    // Finalizers run while the state closes and may call back into the table.
    p->closing = 1;
    p->state = PROC_ENDED;
    release_atomic_hold(p);
    if (audio_app.audio_focus_pid == p->id) audio_app.audio_focus_pid = 0;
    if (p->L) {
        // Made current so that the frees are counted on it.
        Process* prev = cproc;
        cproc = p;
        closing_state closing{closing_top, p->L, false, 0};
        closing_top = &closing;
        run_held(p, [p] { lua_close(p->L); });
        closing_top = closing.outer;
        p->L = nullptr;
        cproc = prev;
        if (closing.left_out > 0)
            krio_debugf("process %lld: %lld finalizers left out at its end: past its share of host time\n",
                        (long long)p->id, (long long)closing.left_out);
    }
    hvx_free_pages(p);
    destroy_print_context(p);
    destroy_buffer(p->messages);
    p->messages = nullptr;
    std::free(p->source);
    p->source = nullptr;
    p->source_len = 0;
    run_process_ended_steps(p->id);
}

void kill_process_by_index(int i) {
    Process* p = get_process_by_index(i);
    if (!p) return;
    if (p->closing) return;
    if (p->slice_refs > 0) {
        // Still referenced by a running slice: it stops now and goes when
        // that slice returns.
        p->state = PROC_ENDED;
        p->pending = PENDING_KILL;
        release_atomic_hold(p);
        if (p->resuming && p == cproc) cpu_superyielding = CPU_SUPERYIELD;
        return;
    }
    if (i == 0 && !removing_all) {
        // The kernel is never removed quietly: it stays at index 0, ended,
        // and the frame driver shuts the workstation down.
        p->state = PROC_ENDED;
        p->pending = PENDING_NONE;
        if (!root_process_ended()) krio_debugf("root process %lld ended\n", (long long)p->id);
        set_root_process_ended(true);
        return;
    }
    if (p->parent) {
        Process* parent = get_process(p->parent);
        if (parent && parent != p) {
            char text[160];
            snprintf(text, sizeof text, "{event=\"child_completed\",_from=2,_sent_t=%lld,proc_id=%lld}",
                     (long long)os_get_time(), (long long)p->id);
            send_process_message_string(parent, text);
        }
    }
    free_process(p);
    process_table_remove(p);  // finalizers may have changed the table
    if (cproc == p) cproc = nullptr;
    free_record(p);
}

void kill_process(Process* p) { kill_process_by_index(get_process_index(p)); }

void restart_process(Process* p) {
    int idx = get_process_index(p);
    if (idx < 0 || p->closing) return;
    if (p->slice_refs > 0) {
        if (p->pending == PENDING_NONE) {
            p->pending = PENDING_RESTART;
            p->restart_parent = cproc_id();
        }
        p->state = PROC_ENDED;
        release_atomic_hold(p);
        if (p->resuming && p == cproc) cpu_superyielding = CPU_SUPERYIELD;
        return;
    }
    std::string source(p->source ? p->source : "", p->source ? p->source_len : 0);
    std::string name = p->name, path = p->path, sandbox = p->sandbox, cart = p->cart_id;
    // Only the focus process's restart silences the synthesizer and drops
    // the focus; another process's restart leaves the focus alone.
    if (audio_app.audio_focus_pid == p->id) {
        os_lock_audio();  // the audio thread must never see a half-stopped synthesizer
        mudo_kill_all_audio();
        os_unlock_audio();
        audio_app.audio_focus_pid = -2;
    }
    int64_t id = p->id;
    const bool had_system = p->flags & PROC_FLAG_SYSTEM;  // a restart gives no more rights
    // Compiles still owed stay owed: a restart must not wipe the debt of the
    // compile that made it, or restarting would compile for free.
    const int64_t owed = p->owed_cycles;
    const int64_t program = p->program_id, start_frame = p->start_frame;
    free_process(p);
    if (init_process(p, id, source.data(), source.size(), name.c_str(), path.c_str(), sandbox.c_str(),
                     cart.c_str())) {
        // Only a host out-of-memory gets here (the text compiled before).
        p->state = PROC_ENDED;
        p->out_of_memory = 1;
        return;
    }
    if (!had_system) p->flags &= ~PROC_FLAG_SYSTEM;
    p->owed_cycles = owed;
    p->program_id = program;
    p->start_frame = start_frame;
    poke_proc(p, ADDR_FLAG_BYTE, 1);
}

// The interpreter's peek opcodes read the running process's space.
static uint8_t vm_peek(uint32_t a) { return hvx_peek8(cproc, a); }
static uint16_t vm_peek2(uint32_t a) { return hvx_peek16(cproc, a); }
static uint32_t vm_peek4(uint32_t a) { return hvx_peek32(cproc, a); }
static uint64_t vm_peek8(uint32_t a) { return hvx_peek64(cproc, a); }

// What a process's end releases, run in this order once its state is closed:
// sockets, HTTP jobs, score channels, history mounts. The order changes
// nothing released: each step drops what one subsystem keeps for the id,
// calls into no other step's subsystem and runs no script code (the state
// is gone), so any order leaves the same tables. It is fixed so that every
// teardown, and what it logs, runs the same way.
static constexpr process_ended_step process_ended_steps[] = {
    delete_sockets_by_process,
    cancel_jobs_by_process,
    remove_scoresub_references,
    prune_process_mounts,
};
static_assert(std::size(process_ended_steps) <= PROCESS_ENDED_STEPS_MAX, "the ground keeps too few teardown steps");

void processes_init() {
    static const hvx_vm_memory vm_memory = {vm_peek, vm_peek2, vm_peek4, vm_peek8};
    // What the layers below call upward, all installed here, afresh at every start.
    hvx_set_vm_memory(&vm_memory);
    lua_hvx_set_nonyield_overrun(process_nonyield_overrun);
    lua_hvx_set_budget_recheck(backstop_recheck);
    lua_hvx_set_finalizer_gate(end_finalizer_gate);
    set_program_exit(halvoran_exit);
    // Every step fits (asserted above) and none is null: the list is emptied first.
    clear_process_ended_steps();
    for (process_ended_step step : process_ended_steps) add_process_ended_step(step);
    os_set_drop_handler(process_dropped_file);
    set_userdata_method("blit", lua54_blit);
    set_label_text_drawer(draw_label_text);
    removing_all = true;
    // Finalizers of a closing process may add or remove others.
    for (int guard = 0; get_process_count() > 0 && guard < 4 * MAX_PROCESSES; guard++) {
        Process* last = get_process_by_index(get_process_count() - 1);
        last->slice_refs = 0;  // no slice runs between frames
        kill_process_by_index(get_process_count() - 1);
    }
    // Whatever is still listed goes without ceremony: a record left here
    // would outlive the reset of the ids. One still closing belongs to the
    // teardown further up the stack, which frees it.
    while (Process* p = process_table_pop()) {
        if (p->closing) continue;
        free_process(p);
        if (cproc == p) cproc = nullptr;
        free_record(p);
    }
    removing_all = false;
    reset_young_pool();
    set_root_process_ended(false);
    process_id = 1;
    cproc = nullptr;
}

// Runs a kill or restart that waited for a running slice to let go of p.
// Returns true when p is gone from the table.
bool process_run_pending(Process* p) {
    if (!p || p->slice_refs > 0 || p->pending == PENDING_NONE) return false;
    int32_t what = p->pending;
    p->pending = PENDING_NONE;
    if (what == PENDING_RESTART) {
        int64_t parent = p->restart_parent;
        restart_process(p);
        p->parent = parent;
        return false;
    }
    int idx = get_process_index(p);
    kill_process_by_index(idx);
    return idx != 0;
}
