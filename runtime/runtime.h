// The machine on top: start-up and the frame driver, the scheduler, process
// creation and teardown, system information and the call table, with the
// machine's own system calls. No subsystem includes this header; what the
// ground must call upward the machine installs at start.
#pragma once

#include <type_traits>

#include "core/core.h"
#include "core/charges.h"
#include "core/sanitizer.h"

// ---------------------------------------------------------------------------
// The frame driver
// ---------------------------------------------------------------------------

inline constexpr int SESSION_REFRESH_FRAMES = 60;
inline constexpr int EXIT_ATOMIC_WAIT_FRAMES = 60;  // frames an exit waits for an atomic operation
inline constexpr int EXIT_ROOT_SLICES = 120;        // root slices run after that wait

void process_arguments(int argc, char** argv);
// Every layer's run-time state as at start: nothing captured, requested or
// focused. reset_app_state does that at a reboot, with the rest of a restart.
void clear_app_parts();
void reset_app_state();
void system_frame();
[[noreturn]] void halvoran_shutdown();
// Everything that must reach the disk before any exit after start-up: dirty
// mounts written back, files synced, the history store closed.
void halvoran_flush_before_exit();
// Every exit but the orderly shutdown goes through here, so nothing written
// is lost because the program ended.
[[noreturn]] void halvoran_exit(int code);
int halvoran_main(int argc, char** argv);

extern uint64_t debug_system_frames_since_reboot;

// Run-time state of the machine's own, cleared at a reboot.
struct runtime_app_t {
    int32_t signal36_flag;
    int32_t rom_option;
    int32_t exit_wait;
    int32_t audio_stat_counters[4];
};
extern runtime_app_t runtime_app;

// Settings read and applied at start-up.
inline constexpr int MOUNT_POINT_MAX = 255;
inline constexpr int32_t SETTING_CLAMP_MAX = 256;  // volume and deadzone are 0..256
inline constexpr const char* CONFIG_FILE_NAME = "halvoran_config.txt";
inline constexpr const char* CONFIG_DEFAULT_HEADER = "# halvoran config\n\n";
inline constexpr int CONFIG_BUFFER_KIND = 111;  // 'o'
void process_config();       // read or create halvoran_config.txt and mount its lines
// Calls on_mount for each valid mount line of a configuration text; lines
// with an empty or over-long mount point or an empty host path are skipped and
// logged. Returns the number of mount lines taken.
int parse_config_mounts(const char* text, size_t len,
                        void (*on_mount)(const char* point, const char* host_path, void* ctx),
                        void* ctx);
void halvoran_apply_setting(const char* name, int32_t value);
void halvoran_apply_settings();
int32_t config_video_bits();

// ---------------------------------------------------------------------------
// Processes: creation, teardown and the scheduler
// ---------------------------------------------------------------------------

inline constexpr const char* PROC_TERMINAL_PATH = "/system/apps/terminal.lua";
inline constexpr int32_t PROC_FLAG_SYSTEM = 1;     // program under /system/
inline constexpr int32_t PROC_FLAG_SANDBOXED = 2;  // sandbox text not empty
// The default wavetable the root computes once and every process copies.
inline constexpr int WAVE_SAMPLES = 1024;
inline constexpr uint64_t WAVETABLE_SEED = 0x12345678;
// The scheduler.
inline constexpr int32_t CPU_DEBT_CAP_FAST = 0xAAAAAA;
inline constexpr int64_t MOUNT_HOLD_MS = 100;
inline constexpr int CLOCK_STEP_MAX = 3;
inline constexpr int GC_INC_PAUSE = 107;
inline constexpr int GC_INC_STEPMUL = 18;
// The cycles of a second of the machine's time: what a cycle's worth of host
// time is measured by.
inline constexpr int64_t CPU_CYCLES_PER_SECOND = (int64_t)CPU_FRAME_BUDGET * 60;
// The host-time backstop. A slice of a process past the system's ids may
// take, on its thread's CPU clock, BACKSTOP_FACTOR times the host time its
// charged cycles stand for, plus BACKSTOP_MARGIN_NS; past that it ends at
// its next instruction (inside code that may not yield, the process ends),
// and the host time beyond its cycles' worth is its program's debt. The cost
// sweep passes a call at up to 20 times its cycles' worth plus 0.1 ms: twice
// that, and a margin of twenty such calls, leave room for a slower host.
// Code that may not yield, run past its slice's budget, may take no more than
// BACKSTOP_NONYIELD_CAP_NS whatever it was charged: twice the longest run of
// ordinary work measured here, under a second. Every one of these times is
// for a host as fast as the reference: scaled by how much slower this host
// runs a paid loop (BACKSTOP_PAID_LOOP, measured once in CPU time, the best
// of BACKSTOP_PAID_RUNS; never below 1), and under AddressSanitizer by its
// slowdown of host code as well.
inline constexpr int64_t BACKSTOP_FACTOR = 40;
#if defined(HALVORAN_ASAN)
inline constexpr int64_t BACKSTOP_SANITIZER_SLOWDOWN = 4;
#else
inline constexpr int64_t BACKSTOP_SANITIZER_SLOWDOWN = 1;
#endif
inline constexpr int64_t BACKSTOP_MARGIN_NS = 2000000;
inline constexpr int64_t BACKSTOP_NONYIELD_CAP_NS = 800000000;
inline constexpr const char* BACKSTOP_PAID_LOOP = "local x = 0 for i = 1, 1000000 do x = x + i end return x";
inline constexpr int BACKSTOP_PAID_RUNS = 3;
inline constexpr double BACKSTOP_REFERENCE_NS_PER_CYCLE = 2.0;
// Once past the bound the timer fires again at this step until the slice
// has ended (a host scope may have set the request back meanwhile).
inline constexpr int64_t BACKSTOP_REPEAT_NS = 1000000;
// The real-time signal its timer sends (SIGRTMIN plus this).
inline constexpr int BACKSTOP_SIGNAL_OFFSET = 4;
// What code that may not yield may run past its slice's budget: a process's
// first frames give NONYIELD_YOUNG_ALLOWANCE (a sort of 10,000 values with a
// Lua comparator, 475,000 cycles, fits it 35 times), each frame it has lived adds
// NONYIELD_ALLOWANCE_GROWTH, up to LANG_NONYIELD_CEILING (after about eight
// seconds), whichever program started it.
inline constexpr int32_t NONYIELD_YOUNG_ALLOWANCE = 1 << 24;
inline constexpr int32_t NONYIELD_ALLOWANCE_GROWTH = 1 << 20;
// A young slice may run on past its own allowance into one pool the whole
// machine shares, full again NONYIELD_YOUNG_POOL_FRAMES frames after the last
// young slice that ran past its own: a program's first long sort or load
// finishes when no other young one overran lately (a sort of 200,000 numbers
// with a comparator takes 21 M cycles, 300 modules loaded through a gsub
// callback 41 M), while a chain of fresh processes, each started for the last
// by a launcher, holds at most one frame in so many past its own allowance.
inline constexpr int32_t NONYIELD_YOUNG_POOL = 1 << 25;
inline constexpr int64_t NONYIELD_YOUNG_POOL_FRAMES = 30;
// Code of a process past the system's ids that the host runs outside its
// slices (its finalizers at its end, a collection or a traceback for it) is
// held to host time as its slices are, paid by its program, and may run at
// most this many cycles (fewer when its own allowance is smaller): a closing
// state past it is freed without the rest of its script finalizers.
inline constexpr int32_t HOST_RUN_SHARE = CPU_FRAME_BUDGET;
inline constexpr const char* KERNEL_FATAL_TEXT = "** RUNTIME ERROR IN KERNEL **";
inline constexpr const char* WM_FATAL_TEXT = "** RUNTIME ERROR IN WINDOW MANAGER **";
inline constexpr const char* OUT_OF_MEMORY_TEXT = "out of memory";
inline constexpr const char* RUNAWAY_TEXT = "out of cycles in a non-yieldable call";

extern int64_t total_frame_cycles;
extern int64_t total_frame_cycles_since_wm_flip;

void processes_init();
// None when the source does not compile or the table is full. The source is
// len bytes (NULs included); the first form takes it up to its first NUL.
Process* create_process_from_code(const char* code, size_t len, const char* name, const char* path,
                                  const char* sandbox, const char* cart_id);
Process* create_process_from_code(const char* code, const char* name, const char* path,
                                  const char* sandbox, const char* cart_id);
// 0 on success, 1 when the source does not compile.
int init_process(Process* p, int64_t id, const char* source, size_t source_len, const char* name,
                 const char* path, const char* sandbox, const char* cart_id);
void restart_process(Process* p);
void kill_process(Process* p);
void kill_process_by_index(int index);
void free_process(Process* p);
// Loads text into the process's state above its chunk; returns 0 or the Lua
// error text (valid until the next call).
const char* process_load_boot_text(Process* p, const char* text, size_t len, const char* chunkname);
void generate_default_wavetable(Process* p);
// The host runs code of p's state outside p's slice (for a system process:
// its close, a collection or a traceback, see run_held): on a counter of its own
// and with the allowance p has left for code that may not yield, so that a
// runaway finalizer of p neither spends nor ends whatever slice is running.
// What it uses is added to the outer counter afterwards, up to that
// counter's own ceiling; an overrun is charged to p's creator instead.
class host_run_scope {
public:
    explicit host_run_scope(const Process* p);
    ~host_run_scope();
    host_run_scope(const host_run_scope&) = delete;
    host_run_scope& operator=(const host_run_scope&) = delete;

private:
    int32_t cycles_, max_, superyield_, allowance_;
};
// Runs work, code of p's state outside its slices, held as a slice of p (see
// HOST_RUN_SHARE), on counters of its own: what it ran is p's program's debt,
// never the caller's. A system process's runs as in a host_run_scope.
void run_held(Process* p, void (*work)(void*), void* arg);
template <class F>
void run_held(Process* p, F&& work) {
    using fn = std::remove_reference_t<F>;
    run_held(p, [](void* w) { (*(fn*)w)(); }, (void*)&work);
}
// Forgets young slices' draws on the shared pool (a fresh start).
void reset_young_pool();
// Carries out a kill or restart that waited for the running slices to let go
// of p; true when p has left the table (p is then freed).
bool process_run_pending(Process* p);
// Registration of the system calls into a new process state.
void api_add_c_functions(lua_State* L);

// The core's handler for code that may not yield and ran past its ceiling
// (installed by processes_init): the owner of L's code ends, its creator pays.
void process_nonyield_overrun(lua_State* L);
// The core's recheck of a budget check (installed by processes_init): a
// request the host-time backstop made is withdrawn where the slice turns out
// to be within its bound after all.
void backstop_recheck();
// The backstop's reading of the thread's CPU clock, once a frame before its
// slices (none until a slice has been held).
void backstop_new_frame();
// The host's speed factor the backstop's times are scaled by (measured at
// the first held slice), and a setting of it (0: measure again), e.g. 4 for
// a host four times slower.
double backstop_host_scale();
void backstop_set_host_scale(double k);
// The system calls the backstop has made (clock readings, timer settings):
// none while a slice keeps within its bound.
int64_t backstop_system_calls();
void prepare_processes_for_frame();
// Cycles used. from is the thread asking for the slice (none for the frame
// driver): the slice carries on its count of nested C calls. resumed, when
// given, tells whether p's code ran: a slice its program's debt covers only
// pays the debt off.
int64_t run_process_slice(Process* p, double fraction, lua_State* from = nullptr, bool* resumed = nullptr);
// Charges the running process for compiling len bytes of process source:
// what the debt cap cannot carry is owed and paid before it runs again.
void charge_compile(size_t len);
// True while p still owes for a compile beyond what the debt cap carries
// (its program's debt, for a process past the system's own).
bool process_pays_for_compile(const Process* p);
void update_processes_after_frame();
// Frames begun since the program started (prepare_processes_for_frame).
int64_t frames_begun();
int64_t get_total_frame_cycles();
int64_t get_total_frame_cycles_since_wm_flip();

// ---------------------------------------------------------------------------
// System calls and messages
// ---------------------------------------------------------------------------

// Messages sent by scripts and dropped files (the queue itself: core/core.h).
inline constexpr int MESSAGE_SEND_KIND = 112;
inline constexpr int32_t MESSAGE_SEND_SIZE = 256;
inline constexpr int MESSAGE_STRINGIFY_FLAGS = 3;
inline constexpr const char* DROP_FOLDER = "/ram/drop/";
inline constexpr const char* DROP_EMPTY_TEXT = "** dropping folders (and size zero files) not supported **";
// Reading a message makes at most MESSAGE_READ_OBJECT_ALLOWANCE tables and
// userdata plus one per MESSAGE_READ_BYTES_PER_OBJECT bytes of its text, and
// never takes the reader past its memory limit; a message past either is
// dropped (logged) and the next one read.
inline constexpr int64_t MESSAGE_READ_OBJECT_ALLOWANCE = 65536;
inline constexpr int32_t MESSAGE_READ_BYTES_PER_OBJECT = 4;
inline constexpr const char* MESSAGE_REFUSED_TEXT = "send_message: the receiver cannot hold the message";
inline constexpr const char* MESSAGE_QUEUE_FULL_TEXT = "queue full";

// The host side of a system call: Lua's C function form.
using hvx_cfunction = int (*)(lua_State*);

// One global of the registration table. An alias (same_as set) is bound to
// the function of the entry it names, so the families fill in only their
// first name. A function left none is not registered yet: its family's subsystem
// fills it in where it stands, so the order never changes.
struct api_entry {
    const char* name;
    hvx_cfunction fn;
    const char* same_as;  // none, or the name whose function this one shares
};
inline constexpr int API_NAME_COUNT = 163;
inline constexpr int API_FUNCTION_COUNT = 146;
extern const api_entry api_functions[API_NAME_COUNT];
// The host function bound to entry i (through same_as); none outside the table.
hvx_cfunction api_entry_function(int i);

void process_dropped_file(const char* host_path);
// "/ram/drop/" + the last component of a host path, every non-path character
// made '_'. 1 when it fits into out.
int drop_destination_path(const char* host_path, char* out, size_t out_size);

// Process calls.
// (display size and video mask: core/address_map.h; the no-new-frame bit: core/core.h)
inline constexpr uint8_t FLAG_BYTE_GC_INC = 1;
inline constexpr uint8_t FLAG_BYTE_LOW_PRIORITY = 0x20;
inline constexpr int32_t BLIT_FREE_W = 480;  // a whole-display blit without a mask costs nothing
inline constexpr int32_t BLIT_FREE_H = 270;
inline constexpr int32_t ESCAPE_FLAG_SET = 0x40000000;
inline constexpr double PRIORITY_BOOST = 2.0;
inline constexpr double PRIORITY_BACKGROUND = 0.1;
inline constexpr double PRIORITY_FOREGROUND = 10.0;
inline constexpr int PROCESS_LIST_FIELDS = 7;
inline constexpr const char* SLICE_BAD_ID_TEXT = "_run_process_slice: bad process id";
inline constexpr const char* SLICE_INVALID_TEXT = "_run_process_slice: invalid process";
inline constexpr const char* SLICE_GONE_TEXT = "_run_process_slice: could not find lua state";
// Each slice nests host calls in the one that asked for it; a caller this
// deep in nested C calls is refused, the target left untouched, so the
// whole chain keeps within the one process's C stack limit.
inline constexpr int SLICE_CCALLS_MAX = 150;
inline constexpr const char* SLICE_DEPTH_TEXT = "_run_process_slice: slices nested too deep";

int lua54_pid(lua_State* L);
int lua54_halt(lua_State* L);
int lua54_kill_process(lua_State* L);
int lua54_run_process_slice(lua_State* L);
int lua54_create_process_from_code(lua_State* L);
int lua54_get_process_list(lua_State* L);
int lua54_process_state(lua_State* L);
int lua54_flip(lua_State* L);
int lua54_yielded_to_escape_slice(lua_State* L);
int lua54_get_process_display_size(lua_State* L);
int lua54_send_message(lua_State* L);
int lua54_read_message(lua_State* L);
int lua54_immediate_sandboxed_family(lua_State* L);
int lua54_close_process_host_resources(lua_State* L);
int lua54_blit_process_video(lua_State* L);

// Memory calls.
inline constexpr int MEM_RUN_MAX = 0x10000;       // values of one peek or poke run
inline constexpr int32_t MEM_FILL_MAX = 0x1000000;  // memset and memcpy lengths are cut here
int lua54_peek(lua_State* L);
int lua54_peek2(lua_State* L);
int lua54_peek4(lua_State* L);
int lua54_peek8(lua_State* L);
int lua54_poke(lua_State* L);
int lua54_poke2(lua_State* L);
int lua54_poke4(lua_State* L);
int lua54_poke8(lua_State* L);
int lua54_ppeek(lua_State* L);
int lua54_ppeek4(lua_State* L);
int lua54_memset(lua_State* L);
int lua54_memcpy(lua_State* L);
int lua54_map_ram(lua_State* L);
int lua54_unmap_ram(lua_State* L);

// System control calls.
enum : int32_t {
    SIGNAL_AUDIO_PRIORITY = 15,
    SIGNAL_AUDIO_CAPTURE = 16,
    SIGNAL_GIF_START = 18,
    SIGNAL_GIF_END = 19,
    SIGNAL_SCREENSHOT = 21,
    SIGNAL_USER_ACTIVITY = 22,
    SIGNAL_RESET_BUTTONS = 23,
    SIGNAL_EXIT = 33,
    SIGNAL_REBOOT = 34,
    SIGNAL_FLAG_35 = 35,
    SIGNAL_FLAG_36 = 36,
    SIGNAL_BOOT_SCREEN_OFF = 37,
    SIGNAL_HEAP_BASELINE = 38,
    SIGNAL_FLUSH_AND_DROP_MOUNTS = 39,
    SIGNAL_ATOMIC_BEGIN = 40,
    SIGNAL_ATOMIC_END = 41,
    SIGNAL_BOOST_ON = 43,
    SIGNAL_BOOST_OFF = 44,
    SIGNAL_MOUNT_HOLD = 46,
    SIGNAL_MOUNT_RELEASE = 47,
    SIGNAL_FLUSH_MOUNTS = 48,
    SIGNAL_MOUNT_DESKTOP = 65,
    SIGNAL_SYSTEM_PALETTE = 66,
};
inline constexpr const char* DESKTOP_HOST_FOLDER = "halvoran_desktop";
inline constexpr const char* DESKTOP_MOUNT_POINT = "/desktop/host";
inline constexpr const char* DESKTOP_MOUNT_FAILED_TEXT = "could not mount desktop";
// _signal(65) finds the desktop folder (a settings file may be read), makes
// it and tests it: host folder operations, charged as such.
inline constexpr int32_t SIGNAL_MOUNT_DESKTOP_HOST_OPS = 3;
inline constexpr const char* APPLY_SETTINGS_FAILED_TEXT = "** lua54__apply_system_settings failed; not a table";
int lua54_printh(lua_State* L);
int lua54_signal(lua_State* L);
int lua54_get_userland_clipboard_text(lua_State* L);
int lua54_set_userland_clipboard_text(lua_State* L);
int lua54_set_host_window_title(lua_State* L);
int lua54_set_host_window_icon(lua_State* L);
int lua54_apply_system_settings(lua_State* L);

// ---------------------------------------------------------------------------
// System information: stat, _kstat, time and date
// ---------------------------------------------------------------------------

inline constexpr int32_t BUILD_NUMBER = 27;  // stat(5), beside HVX_VERSION
inline constexpr int STAT_AUDIO_CHANNEL_FIRST = 400;  // 400..415: channel s - 400
inline constexpr int STAT_AUDIO_CHANNELS = 16;
inline constexpr int STAT_AUDIO_CACHED_FIELDS = 19;   // fields below this come from the per-frame cache
inline constexpr int STAT_AUDIO_WAVE_FIELD = 19;      // two interleaved channels of samples
inline constexpr int STAT_AUDIO_LAST_WAVE_FIELD = 27; // 20..27: one channel of samples
inline constexpr int CHANNEL_CACHE_STRIDE = 32;       // channel c's fields start at c x 32
inline constexpr int64_t AUDIO_CACHE_EMPTY = -1;      // cache stamp of a cache never filled
inline constexpr int SCANCODE_LCTRL = 224;
inline constexpr int SCANCODE_RCTRL = 228;
inline constexpr const char* DATE_DEFAULT_FORMAT = "!%Y-%m-%d %H:%M:%S";
int lua54_time(lua_State* L);
int lua54_stat(lua_State* L);
int lua54_date(lua_State* L);
int lua54_kstat(lua_State* L);

// Seconds since 1970 of a broken-down UTC time (the host's struct tm: year
// since 1900, month 0..11, day 1..31, hours, minutes, seconds), proleptic
// Gregorian, any year. Fields outside their ranges add their weight; the
// month is normalised first (years move by whole years).
struct tm;
int64_t timegm64(const struct tm* t);

// ---------------------------------------------------------------------------
// Maths calls and random numbers
// ---------------------------------------------------------------------------

// The turn-to-radian factor's pi and the atan2 divisor, as the machine has them.
inline constexpr double TURN_PI = 3.141562;
inline constexpr double ATAN2_TURN = 6.283124;
inline constexpr uint32_t SEED_ENTROPY_START = 0x11848D4;
// xoshiro256**: the next output (the state advances); seeding as srand does:
// s0 = seed ^ 0xDEADBEEF, s1 = 0xFF, s2 = seed with its halves swapped,
// s3 = 0, then 8 steps discarded.
uint64_t xoshiro256ss_next(uint64_t s[4]);
void xoshiro256ss_srand(uint64_t s[4], uint64_t seed);
int lua54_rnd(lua_State* L);
int lua54_srand(lua_State* L);
int lua54_abs(lua_State* L);
int lua54_sgn(lua_State* L);
int lua54_max(lua_State* L);
int lua54_min(lua_State* L);
int lua54_mid(lua_State* L);
int lua54_sqrt(lua_State* L);
int lua54_cos(lua_State* L);
int lua54_sin(lua_State* L);
int lua54_atan2(lua_State* L);
int lua54_flr(lua_State* L);
int lua54_ceil(lua_State* L);

// ---------------------------------------------------------------------------
// Utility calls
// ---------------------------------------------------------------------------

inline constexpr int64_t ORD_MAX_COUNT = 65536;
inline constexpr int TOKENOID_MAX_LEVEL = 64;   // a continuation state of a deeper level gives no token
inline constexpr int TOKENOID_LONG_LEVELS = 61; // this many '=' or more: not a long bracket
inline constexpr int64_t TOKENOID_LONG_COMMENT = 0x300;
inline constexpr int64_t TOKENOID_LONG_STRING = 0x400;
enum : int { TOKEN_SPACE = 0, TOKEN_NAME = 1, TOKEN_NUMBER = 2, TOKEN_COMMENT = 3, TOKEN_STRING = 4, TOKEN_OTHER = 5 };
// One token of a source line: the 0-based start pos of the line (len bytes)
// and the continuation state as tokenoid takes them. False when there is no
// token (pos outside the line, or a state deeper than TOKENOID_MAX_LEVEL).
struct token_span {
    int64_t length;
    int64_t kind;
    bool open;          // a long bracket stays open past the line
    int64_t state;      // the continuation state then
};
bool scan_token(const uint8_t* line, int64_t len, int64_t pos, int64_t state, token_span* out);
int lua54_deli(lua_State* L);
int lua54_add(lua_State* L);
int lua54_del(lua_State* L);
int lua54_count(lua_State* L);
int lua54_count_p(lua_State* L);
int lua54_create_delta(lua_State* L);
int lua54_apply_delta(lua_State* L);
int lua54_chr(lua_State* L);
int lua54_ord(lua_State* L);
int lua54_tokenoid(lua_State* L);
int lua54_split(lua_State* L);
int lua54_load(lua_State* L);
int lua54_md5(lua_State* L);
int lua54_crc(lua_State* L);
int lua54_strindex(lua_State* L);
