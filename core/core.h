// The ground every subsystem stands on: the process record and table, the
// address map and memory accessors, byte buffers, the accounted allocator,
// settings and run-time state, the refusal log, the log file, host time, host
// folders and sysrom.dat. Of the product it includes only the language (lang/
// lies below it: its cycle words, and its header through the table of
// charges); the machine on top (runtime/) installs what the ground must call
// upward. Limits are named constants; the charges are in core/charges.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/address_map.h"
#include "core/charges.h"
#include "lang/core/hvx_cycles.h"

// ---------------------------------------------------------------------------
// Version and limits
// ---------------------------------------------------------------------------

extern const char* const hvx_build_string;  // build date and time, set by the build

inline constexpr size_t HVX_PATH_MAX = 1024;  // host path fields and prefix outputs
inline constexpr size_t HVX_NAME_MAX = 256;   // user id, user name, session token

inline constexpr int DEFAULT_DISPLAY_PID = 3;
inline constexpr int DEFAULT_VOLUME = 192;

// ---------------------------------------------------------------------------
// Byte buffer
// ---------------------------------------------------------------------------

// A growable byte container. capacity > length always holds: writers keep one
// spare byte so the data can be NUL-terminated in place.
struct buffer {
    uint32_t capacity;
    uint8_t* data;
    int32_t kind;    // accounting tag 0..127
    int32_t length;  // high-water mark of written bytes
    int32_t cursor;  // read/write position
};

inline constexpr int32_t BUFFER_MAX_CAPACITY = 0x7FFFFFFE;  // growth past this is refused
inline constexpr int BUFFER_KINDS = 128;
inline constexpr int BUFFER_KIND_FROM_STR = 88;      // 'X'
inline constexpr int BUFFER_KIND_FROM_BUFFER = 89;   // 'Y'
inline constexpr int BUFFER_KIND_LINE = 82;          // 'R'
inline constexpr int BUFFER_KIND_ESCAPED = 69;       // 'E'
inline constexpr int BUFFER_KIND_FROM_FILE = 117;    // 'u'
inline constexpr int BUFFER_SCOOP_CHUNK = 16384;     // file loader read size

buffer* create_buffer_2(int32_t size, int32_t kind);
buffer* create_buffer_from_str(const char* text);
buffer* create_buffer_from_buffer(const buffer* src);
buffer* create_buffer_from_buffer_2(const buffer* src, int32_t kind);
buffer* create_buffer_from_file(const char* host_path);  // none if unreadable or too large
buffer* create_buffer_from_file_2(const char* host_path, int32_t kind);
void destroy_buffer(buffer* b);
char* to_cstr(buffer* b);
// Grows so that n bytes and a terminator fit; 0 when the size is refused
// (the buffer is then unchanged), 1 otherwise.
int ballocate(buffer* b, int64_t n);
void bclear(buffer* b);
void bcrop(buffer* b, int32_t start, int32_t count);

// Writers return the number of bytes written (0 when growth was refused).
int bwrite_uint8_slow(buffer* b, int32_t v);  // the growing path of bwrite_uint8
// Single bytes are the hot path: written in place while capacity suffices.
inline int bwrite_uint8(buffer* b, int32_t v) {
    if (b && b->cursor >= 0 && int64_t(b->cursor) + 2 <= int64_t(b->capacity)) {
        b->data[b->cursor++] = uint8_t(v);
        if (b->cursor > b->length) b->length = b->cursor;
        return 1;
    }
    return bwrite_uint8_slow(b, v);
}
int bwrite_uint16(buffer* b, int32_t v);
int bwrite_uint32(buffer* b, uint32_t v);
int bwrite_uint32_big_endian(buffer* b, uint32_t v);
int64_t bwrite(const void* src, int64_t size, int64_t count, buffer* b);
int bwrite_uint8_as_hex(buffer* b, int32_t v);
int bwrite_int16_as_hex(buffer* b, int32_t v);
int bwrite_int32_as_hex(buffer* b, int32_t v);
int bwrite_int64_as_hex(buffer* b, int64_t v);
int bappend_str(buffer* b, const char* s);
int bappend_str_escaped(buffer* b, const char* s);
int bwrite_escaped_string(buffer* b, const uint8_t* src, int32_t len);
const char* escape_lua_string(const char* s);  // shared result, valid until the next call

uint8_t bread_uint8(buffer* b);
uint16_t bread_uint16(buffer* b);
uint32_t bread_uint32(buffer* b);
uint32_t bread_uint32_big_endian(buffer* b);
uint8_t bread_uint8_hex(buffer* b);
int64_t bread(void* dst, int64_t size, int64_t count, buffer* b);
buffer* breadln(buffer* src, buffer* dst);

uint8_t read_u8_from_hex_str(const char** p);
int16_t read_i16_from_hex_str(const char** p);
int32_t read_i32_from_hex_str(const char** p);
uint32_t read_u32_from_hex_str(const char** p);
int64_t read_i64_from_hex_str(const char** p);

// Owns a buffer for one scope. Lua errors unwind host frames, so a scratch
// buffer held across calls into a Lua state is released through this.
struct scoped_buffer {
    buffer* b;
    explicit scoped_buffer(buffer* owned) : b(owned) {}
    ~scoped_buffer() { destroy_buffer(b); }
    scoped_buffer(const scoped_buffer&) = delete;
    scoped_buffer& operator=(const scoped_buffer&) = delete;
    buffer* operator->() const { return b; }
    operator buffer*() const { return b; }
};

uint32_t get_total_num_buffers();
uint32_t get_total_buffer_allocation();
// Since the program started: bytes of buffer blocks made or grown (each
// zero-filled), and bytes copied into buffers by the writers and copies
// above. Tests count what a path allocates and passes over with them.
uint64_t get_buffer_bytes_made();
uint64_t get_buffer_bytes_copied();
uint32_t get_buffer_group_count(int kind);

// Standard CRC-32, zlib's crc32; 0 for no bytes. Longer inputs are fed to it
// CRC_STEP_MAX bytes at a time (its length is 32-bit).
inline constexpr uint32_t CRC_STEP_MAX = 1u << 30;
uint32_t crc32b(const void* data, int64_t length);
uint32_t crc32b_update(uint32_t crc, const void* data, int64_t length);

// ---------------------------------------------------------------------------
// Platform allocator: counted heap blocks with a checked header
// ---------------------------------------------------------------------------

inline constexpr uint32_t KRIO_MAGIC_LIVE = 0xA7C3B10C;
inline constexpr uint32_t KRIO_MAGIC_FREED = 0x00ABBA00;
inline constexpr uint32_t KRIO_SIZE_FREED = 0x00CDDC00;
inline constexpr uint32_t KRIO_POISON = 0xDEADBEEF;
inline constexpr uint32_t KRIO_MAX_ALLOC = 0x40000000;

void* krio_malloc(uint32_t n);
void* krio_realloc(void* p, uint32_t n);  // none on refusal; p then stays valid
void krio_free(void* p);                  // a foreign or freed block stops the program
// The poison krio_free lays on a payload: its whole 32-bit words become
// KRIO_POISON, a trailing 1-3 bytes stay.
void krio_poison(void* payload, uint32_t size);
uint32_t krio_total_malloced();
uint32_t krio_total_mallocs();
uint32_t krio_total_deallocs();

// ---------------------------------------------------------------------------
// Log file
// ---------------------------------------------------------------------------

inline constexpr size_t KRIO_DEBUG_MAX = 16384;  // longest text kept for the repeat check
inline constexpr const char* LOG_FILE_NAME = "log.txt";
// A logged text longer than this (once escaped) is cut and marked " [line
// cut]"; control characters in it are escaped ("\n", "\r", "\x1b"), the line
// breaks that end it (at most LOG_TRAILING_BREAKS) excepted. Past
// LOG_SIZE_MAX bytes in a run the log writes one last line and stops.
inline constexpr size_t LOG_LINE_MAX = 4096;
inline constexpr size_t LOG_TRAILING_BREAKS = 2;
inline constexpr int64_t LOG_SIZE_MAX = 64 << 20;
static_assert(LOG_LINE_MAX + 64 < KRIO_DEBUG_MAX, "a cut line fits the repeat check");

// Appends one line to log.txt in the per-user folder: "[%06lld %03lld] %s"
// (milliseconds, running process id). A text repeated without change is
// counted and written once as "[x %04d %03lld] %s" when a different one comes.
// One leading '>' and then one leading '<' are dropped. Callers end their texts
// with "\n".
void krio_debug(const char* text);
// printf-style convenience over krio_debug.
void krio_debugf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Until this is called, lines are kept in memory (at most 1 MB): the per-user
// folder is only known once the command line and sysrom.dat have been read.
// Opens log.txt (truncating the previous run's) and writes the kept lines.
// When it cannot be opened the kept lines are dropped, nothing is logged, and
// the next line tries again. The folder comes from path_of (the host
// platform's per-user folder), which may log.
void krio_debug_open_at(int (*path_of)(const char* name, char* out, size_t out_size));
// Writes a repeat count still pending and closes the log; lines are then kept
// in memory again until the next krio_debug_open (tests).
void krio_debug_close();
// The path log.txt was opened at, empty before.
const char* krio_debug_path();

// ---------------------------------------------------------------------------
// Host folders (defined here, in the ground, because storage and the network
// write under the per-user folder too). Each prefix call writes a
// NUL-terminated path into out, which holds out_size bytes; every caller
// passes the size of its own buffer, usually a char[HVX_PATH_MAX].
// A result that does not fit fails: the call returns 0 and out is "" (the first
// such failure of each kind is logged). Otherwise it returns 1. When name and
// out are the same buffer nothing is done and 0 is returned.
// ---------------------------------------------------------------------------

int krio_prefix_with_program_path(const char* name, char* out, size_t out_size);
// The per-user folder: the -home folder (config.home, '\\' read as '/'), else
// ${XDG_DATA_HOME:-$HOME/.local/share}/halvoran/ + append_export_home. Made on
// first use (mode 0700) and kept. Without any home folder the program prints
// "ERROR: could not write to %s" and exits with code 1.
int krio_prefix_with_appdata_path(const char* name, char* out, size_t out_size);
// config.desktop_path, else XDG_DESKTOP_DIR of user-dirs.dirs, else ~/Desktop;
// $HOME when that folder does not exist.
int krio_prefix_with_desktop_path(const char* name, char* out, size_t out_size);
// Appends "exp/" and the export folder (a valid block 0 name, else "shared")
// plus "/", creating each level. Returns 0 when it does not fit (path is then
// unchanged). A refused block 0 name is logged once.
int append_export_home(char* path, size_t path_size);
// A block 0 name is usable as a folder name: 1..64 characters, no '/', no
// NUL, not "." or "..".
bool export_name_is_valid(const uint8_t* name, size_t len);
// Forgets the cached per-user folder (after -home or block 0 changed; tests).
void krio_reset_path_cache();

int krio_mkdir(const char* path);  // 1 when the folder exists afterwards
void krio_fix_backslashes(char* s);
const char* krio_trim(const char* s);  // shared result, valid until the next call

extern char krio_argv0[HVX_PATH_MAX];  // the program as started
// Opens log.txt in the per-user folder (krio_debug_open_at).
void krio_debug_open();

// ---------------------------------------------------------------------------
// sysrom.dat, the file beside the program: its block 0 names the per-user
// folder, so the block table sits with the host folders.
// ---------------------------------------------------------------------------

inline constexpr int DAT_MAX_BLOCKS = 64;                 // slots of the sysrom.dat block table
inline constexpr uint32_t DAT_MAX_BLOCK_LEN = 0x2000000;  // a longer block ends the reading
inline constexpr int DAT_BLOCK_KIND = 105;                // buffer kind of a block

// Splits the block form (big-endian u32 length, then the bytes) into at most
// max_blocks buffers of DAT_BLOCK_KIND. A block cut short by the end of the
// data is kept with length 0 and ends the run; a length over
// DAT_MAX_BLOCK_LEN ends it too. Returns the number of blocks stored.
int parse_dat_blocks(const uint8_t* data, size_t size, buffer** out, int max_blocks);
// Replaces the block table with the blocks of data (what load_halvoran_dat_files
// does with the file's bytes; tests feed it directly).
void set_dat_blocks(const uint8_t* data, size_t size);
void load_halvoran_dat_files();
// Appends one block (big-endian length, then the bytes) in the form above.
void bwrite_dat_block(buffer* out, const uint8_t* data, uint32_t len);
buffer* get_dat_file(int i);  // cursor rewound; none when out of range
int get_dat_file_count();
// The first big-endian word of block 3 (0 when absent or shorter than 4 bytes).
uint32_t dat_flags_word();

// ---------------------------------------------------------------------------
// Host time
// ---------------------------------------------------------------------------

void os_time_init();      // starts the program's monotonic clock (first thing in main)
uint64_t os_get_time();   // milliseconds since start
uint32_t get_ticks();
void os_sleep(uint32_t ms);
// The clock frames are paced and timed by: the host's (os_get_time,
// os_sleep) unless a test seam set another (os_set_frame_clock).
extern uint64_t (*os_clock_ticks)();
extern void (*os_clock_delay)(uint32_t ms);
uint64_t os_ticks();  // the clock of the seam (os_get_time by default)

// Whole host files.

// Writes length bytes as the whole host file at path: they go to a hidden
// sibling first, which then replaces the file, so a failed write leaves the
// old file as it was. Permissions as a plain create gives them: a new file
// mode less the umask, a replaced one its own, less any bit mode lacks.
// 1 when written.
int os_write_file_atomic(const char* host_path, const void* data, size_t length, unsigned mode);
// Hidden siblings written before they replace their file are named
// "." name tag "<pid>_<counter>", with one of these tags per writer.
inline constexpr const char* OS_TEMP_TAGS[] = {".~w", ".~hvx"};
// Removes, once per folder and run, the siblings in the folder of host_path
// that a writer which has since died left behind (a crash between write and
// rename).
void os_sweep_stale_temps(const char* host_path);
// A listing of a folder removes such a sibling it meets (name, in the host
// folder dir) when its writer is not running here and it was last written
// this long ago or more: a writer killed before any later write to the same
// folder leaves none for good. True when it was removed.
inline constexpr int64_t OS_TEMP_ABANDONED_S = 60;
bool os_remove_abandoned_temp(const char* dir, const char* name);

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

struct config_t {
    int32_t fullscreen;
    int32_t pixel_perfect;
    int32_t stretch;
    int32_t blit_720p;
    int32_t allow_highdpi;
    int32_t sdl_render_driver;
    int32_t fullscreen_window;
    int32_t pixel_scale;
    int32_t display_pid;
    int32_t anywhen;
    int32_t volume;
    int32_t mute_audio;
    int32_t swap_stereo;
    int32_t network_access;
    int32_t battery_saver;
    int32_t deadzone;
    char home[HVX_PATH_MAX];
    char desktop_path[HVX_PATH_MAX];
    char run_path[HVX_PATH_MAX];
    char stat_text[HVX_PATH_MAX];
    int32_t use_system_rom;
    int32_t headless;
    int32_t display;
    char user_id[HVX_NAME_MAX];
    char username[HVX_NAME_MAX];
    char session_token[HVX_NAME_MAX];
    int32_t key_controls[512];
};

extern config_t config;
extern int32_t video_hash0;  // video bits last applied; -1 before the first

void config_set_defaults();  // zero, then the defaults

// ---------------------------------------------------------------------------
// Run-time state of the workstation
// ---------------------------------------------------------------------------

// The ground's part; each subsystem keeps its own beside its code (audio_app,
// storage_app, gfx_app, platform_app, runtime_app), all cleared at a reboot.
struct app_t {
    int32_t video_ready;
    int64_t atomic_pid;
};

extern app_t app;

// ---------------------------------------------------------------------------
// Processes (the table, scheduler and address space)
// ---------------------------------------------------------------------------

struct lua_State;

inline constexpr int MAX_PROCESSES = 512;
inline constexpr int64_t KERNEL_PROCESS_ID = 1;  // the root, made first at every boot
inline constexpr int64_t WM_PROCESS_ID = 3;      // the window manager: host events, reports, drops
// Ids up to this one are the kernel's own first processes: they pass the boot
// wait and atomic operations, are listed with priority 0, and survive a
// runtime error (stopped) instead of being removed.
inline constexpr int64_t LAST_SYSTEM_PROCESS_ID = 3;
inline constexpr size_t PROC_NAME_MAX = 63;     // characters kept of a name
inline constexpr size_t PROC_PATH_MAX = 255;    // of a program path and the working folder
inline constexpr size_t PROC_SANDBOX_MAX = 63;
inline constexpr size_t PROC_CART_ID_MAX = 63;
inline constexpr int64_t RECENT_SANDBOX_MS = 10000;

enum : int32_t { PROC_RUNNING = 0, PROC_ENDED = 1, PROC_FAILED = 2 };

inline constexpr int MESSAGE_QUEUE_KIND = 114;
inline constexpr int32_t MESSAGE_QUEUE_SIZE = 16384;
inline constexpr int64_t MESSAGE_QUEUE_LIMIT = 0x1000000;  // a fuller queue refuses new messages
// A drained queue (or the shared read buffer) whose capacity is at least this
// and four times what it holds goes back to a small buffer.
inline constexpr int64_t MESSAGE_SHRINK_MIN = 0x100000;

// Page flags of the address space (core/address_map.h).
inline constexpr uint8_t PAGE_FLAG_AUDIO = 1;    // changed since the synthesizer's copy
inline constexpr uint8_t PAGE_FLAG_COLTAB = 2;   // colour-table page may differ from defaults
inline constexpr uint8_t PAGE_FLAG_WRITTEN = 255;

// The pixel scale of a video mode (the byte at ADDR_VIDEO_MODE).
inline int video_mode_scale_for(uint8_t mode) { return mode == 3 ? 2 : mode == 4 ? 3 : 1; }

// Cycle budget.
inline constexpr int32_t CPU_FRAME_BUDGET = 0x44444;        // 279,620
inline constexpr int32_t CPU_FRAME_BUDGET_FAST = 0x111111;  // fast boot
inline constexpr int32_t CPU_DEBT_CAP = 0x2AAAA8;           // ten frames
inline constexpr int32_t CPU_SUPERYIELD = 0x40000000;

// Memory accounting.
inline constexpr int64_t MEMORY_LIMIT = 0x2000000;      // 32 MB per process
inline constexpr int64_t MEMORY_ALLOWANCE = 0x80000;    // added to every count
// A single request that would take a process past this is refused outright,
// so one allocation cannot exhaust the host before the end-of-slice check.
inline constexpr int64_t MEMORY_HARD_CEILING = 2 * MEMORY_LIMIT;
inline constexpr size_t ALLOC_HEADER = 16;  // keeps Lua blocks 16-byte aligned
// An allocation of n bytes costs (n >> ALLOC_COST_SHIFT) + ALLOC_COST_BASE
// (core/charges.h).

// Button banks of a process (the input calls in platform/ keep them): three
// banks of 8 players x 16 buttons (1 controllers, 2 mapped keys, 3 their
// union), the banks of the previous refresh, a release latch per byte and the
// repeat counters of btnp.
inline constexpr int BUTTON_BANKS = 3;
inline constexpr int BUTTON_BANK_BYTES = 128;
struct button_banks {
    uint8_t prev[BUTTON_BANKS][BUTTON_BANK_BYTES];
    uint8_t cur[BUTTON_BANKS][BUTTON_BANK_BYTES];
    uint8_t latch[BUTTON_BANK_BYTES];
    int32_t repeat[BUTTON_BANKS][BUTTON_BANK_BYTES];
};

struct Process {
    int64_t id;
    int64_t parent;   // id of the creating process, 0 when none
    // The program it belongs to: its own id when a system process (or none)
    // made it, else its creator's program. Fixed for its life, restarts
    // included, so a grandchild whose parent ended stays in the program.
    // Shared tables are shared out per program as well as per process.
    int64_t program_id;
    int64_t created;  // os_get_time() at creation
    char name[PROC_NAME_MAX + 1];
    char path[PROC_PATH_MAX + 1];
    char sandbox[PROC_SANDBOX_MAX + 1];
    char cart_id[PROC_CART_ID_MAX + 1];
    int32_t sandboxed;
    int32_t flags;  // PROC_FLAG_*
    int32_t state;  // PROC_RUNNING, PROC_ENDED, PROC_FAILED
    lua_State* L;
    char* source;  // kept for a restart
    size_t source_len;
    char pwd[PROC_PATH_MAX + 1];
    int64_t clock;  // 60ths of a second
    double priority;
    int32_t boosted;
    int64_t frame_cycles;
    int64_t frame_cycles_prev;
    int64_t cycles_since_flip;
    int64_t flip_cycles;
    int32_t flipped;
    int32_t frames_since_flip;
    int32_t fps;
    int32_t cpu_debt;
    int32_t granted;
    int32_t granted_prev;
    int64_t slices;

    // Drawing state (the graphics code owns these fields).
    uint8_t* draw_target;    // typed userdata block, or none
    int32_t clip_box[4];     // left, right (exclusive), top, bottom (exclusive)
    uint32_t clip_cache[2];  // the clip words the box was derived from
    const uint8_t* clip_cache_target;  // and the target and its size then
    uint32_t clip_cache_size[2];
    int32_t inverted_fill;
    struct print_context* print;  // the text printer's state, or none
    button_banks buttons;

    uint8_t* current_map;  // i16 typed userdata block mapped at ADDR_MAP_SLOT
    int32_t audio_priority;
    int64_t channel_cache_stamp;
    int64_t active_channels_stamp;
    int32_t active_channels;
    buffer* messages;
    uint64_t rng_state[4];
    int64_t heap_bytes;  // accounted Lua heap
    int64_t heap_base;   // baseline taken by system signal 38, 0 = none
    uint64_t ram_bytes;  // backing pages, 4096 each
    int64_t out_of_memory;
    // Its code that may not yield passed the ceiling: it ends like one out
    // of memory, and no such code of it gets any allowance again.
    int32_t runaway;
    // The program its creator belongs to, charged when it passed the ceiling
    // (0: none), and what it was charged: the end of the slice charges that
    // program only for what the slice ran beyond it.
    int64_t runaway_payer;
    int64_t runaway_paid;
    // Slices of it the host-time backstop ended (see run_process_slice).
    int64_t backstop_cuts;
    // The frame it was made in (a restart keeps it): young code that may
    // not yield gets a smaller allowance, whichever program started it.
    int64_t start_frame;
    int32_t load_depth;
    int64_t mount_hold;  // os_get_time() of the hold request, 0 = none

    // Slice bookkeeping: a record referenced by a running slice (as the
    // process or as its caller) is never freed; a kill or restart asked for
    // meanwhile waits in `pending` until the last reference goes.
    int32_t slice_refs;
    int32_t resuming;  // its state is being resumed right now
    int32_t closing;   // being torn down: finalizers may run, kills are ignored
    // The host runs code in its state outside a slice (a full collection, a
    // traceback, a collector mode change): finalizers may run, so no slice may
    // resume it meanwhile.
    int32_t host_busy;
    int32_t pending;   // PENDING_*
    int64_t restart_parent;  // the id current when a waiting restart was asked for

    // Read position in `messages`: the bytes before it were read already and
    // are dropped lazily, so draining a long queue does not move it per read.
    int32_t message_head;

    // Cycles a system process (ids 1-3) owes for compiles beyond what the
    // debt cap carries: they move into cpu_debt as it is paid, so none is
    // forgotten. Any other process's debt is its program's (program_debt).
    int64_t owed_cycles;

    // Limits of the machine whose refusal was logged for this process:
    // each is logged once, however often it refuses (LIMIT_LOGGED_*).
    uint32_t limits_logged;

    // Bit k: page_flags[64k, 64k + 64) may hold PAGE_FLAG_AUDIO. The frame's
    // check for work for the synthesizer reads this word, not 4096 flags.
    uint64_t audio_lines;

    // The large tables come last, so the fields every slice reads share a
    // few memory pages: an idle frame wakes to touch as few as it can. A
    // record starts a page, so the fields above and the first page lengths
    // (the flag byte's among them) share its first.
    // Address space.
    int32_t page_len[HVX_PAGES];  // bytes from offset 0 served through page_ptr
    uint8_t* page_ptr[HVX_PAGES];
    uint8_t page_flags[HVX_PAGES];
    uint8_t* backing_page[HVX_PAGES];
    uint64_t mapped_pages[HVX_PAGES / 64];
    int32_t channel_cache[16 * 32];
    uint8_t* sprites[8192];  // typed userdata blocks, or none
};
// The fields before the page lengths and the flag byte's page length fit in
// the record's first page (a new field there must not push them out).
static_assert(offsetof(Process, page_len) + sizeof(int32_t) * ((ADDR_FLAG_BYTE >> HVX_PAGE_SHIFT) + 1) <=
                  (size_t)HVX_PAGE_SIZE,
              "the fields every slice reads no longer share the record's first page");

enum : uint32_t {
    LIMIT_LOGGED_QUEUE_FULL = 1u << 0,
    LIMIT_LOGGED_JOBS = 1u << 1,
    LIMIT_LOGGED_SCREENSHOTS = 1u << 2,
    LIMIT_LOGGED_MATMUL = 1u << 3,
    LIMIT_LOGGED_WALK = 1u << 4,  // element-wise operations
    LIMIT_LOGGED_TAKE = 1u << 5,
    LIMIT_LOGGED_LERP = 1u << 6,
    LIMIT_LOGGED_PRINT_CUT = 1u << 7,
    LIMIT_LOGGED_BATCH_CUT = 1u << 8,
    LIMIT_LOGGED_RAM_FILES = 1u << 9,
    LIMIT_LOGGED_MOUNTS = 1u << 10,
    LIMIT_LOGGED_BACKSTOP = 1u << 11,
    LIMIT_LOGGED_GET_STACK = 1u << 12,  // userdata get past the stack limit
    LIMIT_LOGGED_SOCKETS = 1u << 13,
    // Reports made on standard output (first_refusal), once per process too.
    LIMIT_LOGGED_SETTINGS_ARG = 1u << 14,
    LIMIT_LOGGED_KEY_CONTROLS_ARG = 1u << 15,
    LIMIT_LOGGED_GIF_OPEN = 1u << 16,
    LIMIT_LOGGED_NORM_TRACE = 1u << 17,
    LIMIT_LOGGED_HEADER_LINE = 1u << 18,  // a request header that would break its line
};

enum : int32_t { PENDING_NONE = 0, PENDING_KILL = 1, PENDING_RESTART = 2 };

// The cycle words (cpu_cycles, cpu_cycles_max, cpu_superyielding,
// cpu_nonyield_allowance) and spend_cpu: lang/core/hvx_cycles.h, included above.
// A 64-bit value saturated to 32 bits, where wrapping round would change sides.
inline int32_t hvx_sat32(int64_t v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v; }
// A charge from a 64-bit count of work: never below 0, saturated to the counter.
inline int32_t hvx_cycles(int64_t n) { return n < 0 ? 0 : hvx_sat32(n); }

extern Process* cproc;  // the running process, none between slices

// --- the table ---
// Records are allocated one by one (by the machine) and the table holds
// pointers to them, so compaction on removal moves pointers while every
// record keeps its address.
int64_t cproc_id();  // id of the running process, 0 when none
// Work refused for passing a limit of its own is logged once per process
// and limit: a script that loops on the refusal does not flood the log.
// The one way a limit logs its refusal: "process ID: TEXT" (the text made
// as by printf), once per process and limit (LIMIT_LOGGED_*); p is the
// process the limit is counted for. Refusals with no process ("process 0")
// are always logged.
void log_refusal_once(Process* p, uint32_t limit, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// The same test for a report made elsewhere (standard output): true the first
// time p asks for the limit, and always for no process.
bool first_refusal(Process* p, uint32_t limit);
// Ends the atomic operation p holds, if any: a holder that halts, fails or
// goes can never end it itself, and it would hold every other process back.
void release_atomic_hold(const Process* p);
Process* get_process(int64_t id);
// True while some process of the program is in the table and not ended.
bool program_is_live(int64_t program_id);
// What a program owes: the cycles its processes ran past the slices given
// to them, what it compiled and host work done for it outside its slices (a
// cartridge it changed, written back between frames). While it owes, a slice
// given to any of its processes pays the debt off instead of running it, so
// no process of it escapes the debt by handing work to another. The debt
// goes with the program's last listed process; a system program (ids 1-3)
// keeps its debt per process and never owes here.
int64_t program_debt(int64_t program_id);  // 0 when it owes nothing
// Adds to the debt (saturating); nothing for a system program or one with no
// process listed.
void add_program_debt(int64_t program_id, int64_t cycles);
// Pays at most cycles off the debt; returns what was paid.
int64_t pay_program_debt(int64_t program_id, int64_t cycles);
// Ids 1-3: the kernel's own processes, which keep room of their own in the
// shared tables and are never made to pay for what others do.
inline bool is_system_process_id(int64_t id) { return id >= KERNEL_PROCESS_ID && id <= LAST_SYSTEM_PROCESS_ID; }
Process* get_process_by_index(int index);
int get_process_index(const Process* p);  // -1 when not in the table
int get_process_count();
Process* get_current_process();
void set_current_process(Process* p);
int count_recent_sandboxed_processes();
// The record at index 0 of the table (the kernel); none when the table is
// empty or the kernel has ended.
Process* root_process_record();
// True once the record at index 0 has ended (returned, run out of memory or
// been killed). It is then kept in the table with state PROC_ENDED and gets no
// more slices; the frame driver logs it and runs the shutdown sequence.
bool root_process_ended();

// True while p's state must not be resumed: it is being resumed already, the
// host is running code in it outside a slice, or it is being torn down.
bool process_state_busy(const Process* p);
// Table edits, for the machine that makes and removes records: false when
// the table is full; removal keeps the order of the rest.
bool process_table_add(Process* p);
void process_table_remove(Process* p);
Process* process_table_pop();  // the last record taken out, none when empty
void set_root_process_ended(bool ended);

// A process ended (its state closed): the steps the machine installed run in
// the order they were added, each with the id (teardown of what the
// subsystems hold for it: sockets, HTTP jobs, score channels, mounts).
using process_ended_step = void (*)(int64_t id);
inline constexpr int PROCESS_ENDED_STEPS_MAX = 8;
// False (and nothing added) for none or past PROCESS_ENDED_STEPS_MAX.
bool add_process_ended_step(process_ended_step step);
void clear_process_ended_steps();
void run_process_ended_steps(int64_t id);
// The i-th step installed, none past the last.
process_ended_step process_ended_step_at(int i);
// Ends the program for a failure below the machine: the machine installs its
// exit, which first writes back what must reach the disk; with none installed
// the program ends at once.
using program_exit_fn = void (*)(int code);
void set_program_exit(program_exit_fn fn);
[[noreturn]] void program_exit(int code);

// --- accounting and host anchors ---
// The allocator bound to every process state (the dialect's six-argument
// form; owner is the Process record). Every block carries an ALLOC_HEADER
// holding its accounted size, counted in the owner's heap_bytes.
// A request that fails with retry set marks the owner out of memory and makes
// the running slice yield.
void* l_alloc(void* owner, void* block, size_t old_size, size_t new_size, int retry, size_t accounted);
// While an error is being reported the state must be able to allocate its
// traceback even at the ceiling (the machine lifts it around the report).
void lift_memory_ceiling(bool lifted);
// B of the moment (fast boot or normal). Inline, as the scheduler reads it
// every slice.
inline int32_t current_frame_budget() {
    return app.video_ready == 0 && config.display_pid > LAST_SYSTEM_PROCESS_ID ? CPU_FRAME_BUDGET_FAST
                                                                                : CPU_FRAME_BUDGET;
}
inline int64_t process_memory_in_use(const Process* p) {
    // The copy of its source kept for a restart is the process's to hold.
    return (int64_t)p->ram_bytes + MEMORY_ALLOWANCE + p->heap_bytes - p->heap_base + (int64_t)p->source_len;
}

// --- address space ---
// Resolves offset o of page p for a read or write, creating the backing page
// on first touch. Never fails (an allocation failure ends the program).
uint8_t* hvx_page_slow(Process* p, uint32_t page, uint32_t offset);

inline void hvx_mark_written(Process* p, uint32_t pg) {
    p->page_flags[pg] = PAGE_FLAG_WRITTEN;
    p->audio_lines |= (uint64_t)1 << (pg >> 6);
}

inline uint8_t hvx_peek8(Process* p, uint32_t addr) {
    if (!p) return 0;
    addr &= HVX_ADDR_MASK;
    uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    if ((int32_t)o < p->page_len[pg]) return p->page_ptr[pg][o];
    return *hvx_page_slow(p, pg, o);
}
inline void hvx_poke8(Process* p, uint32_t addr, uint8_t v) {
    if (!p) return;
    addr &= HVX_ADDR_MASK;
    uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    hvx_mark_written(p, pg);
    if ((int32_t)o < p->page_len[pg]) p->page_ptr[pg][o] = v;
    else *hvx_page_slow(p, pg, o) = v;
}
// Little-endian, byte by byte across pages; a value inside one page's mapped
// length is read in one go with the same result (inline: drawing calls read
// their state with them at every call).
static_assert(std::endian::native == std::endian::little,
              "multi-byte fast paths assume a little-endian host");
template <typename T>
inline T hvx_peek_n(Process* p, uint32_t addr) {
    if (!p) return 0;
    addr &= HVX_ADDR_MASK;
    const uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    T v = 0;
    if ((int64_t)o + (int64_t)sizeof(T) <= p->page_len[pg]) {
        std::memcpy(&v, p->page_ptr[pg] + o, sizeof(T));
        return v;
    }
    for (uint32_t i = 0; i < sizeof(T); i++) v |= (T)((T)hvx_peek8(p, addr + i) << (8 * i));
    return v;
}
template <typename T>
inline void hvx_poke_n(Process* p, uint32_t addr, T v) {
    if (!p) return;
    addr &= HVX_ADDR_MASK;
    const uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    if ((int64_t)o + (int64_t)sizeof(T) <= p->page_len[pg]) {
        hvx_mark_written(p, pg);
        std::memcpy(p->page_ptr[pg] + o, &v, sizeof(T));
        return;
    }
    for (uint32_t i = 0; i < sizeof(T); i++) hvx_poke8(p, addr + i, (uint8_t)(v >> (8 * i)));
}
inline uint16_t hvx_peek16(Process* p, uint32_t a) { return hvx_peek_n<uint16_t>(p, a); }
inline uint32_t hvx_peek32(Process* p, uint32_t a) { return hvx_peek_n<uint32_t>(p, a); }
inline uint64_t hvx_peek64(Process* p, uint32_t a) { return hvx_peek_n<uint64_t>(p, a); }
inline void hvx_poke16(Process* p, uint32_t a, uint16_t v) { hvx_poke_n<uint16_t>(p, a, v); }
inline void hvx_poke32(Process* p, uint32_t a, uint32_t v) { hvx_poke_n<uint32_t>(p, a, v); }
inline void hvx_poke64(Process* p, uint32_t a, uint64_t v) { hvx_poke_n<uint64_t>(p, a, v); }

// The running process's space (cproc).
inline uint8_t peek(uint32_t a) { return hvx_peek8(cproc, a); }
inline uint16_t peek2(uint32_t a) { return hvx_peek16(cproc, a); }
inline int32_t peek4(uint32_t a) { return (int32_t)hvx_peek32(cproc, a); }
inline uint64_t peek8(uint32_t a) { return hvx_peek64(cproc, a); }
inline void poke(uint32_t a, uint8_t v) { hvx_poke8(cproc, a, v); }
inline void poke2(uint32_t a, int64_t v) { hvx_poke16(cproc, a, (uint16_t)v); }
inline void poke4(uint32_t a, int32_t v) { hvx_poke32(cproc, a, (uint32_t)v); }
inline void poke8(uint32_t a, int64_t v) { hvx_poke64(cproc, a, (uint64_t)v); }
// A given process's space; none reads 0 and writes nothing.
inline uint8_t peek_proc(Process* p, uint32_t a) { return hvx_peek8(p, a); }
inline uint16_t peek2_proc(Process* p, uint32_t a) { return hvx_peek16(p, a); }
inline uint32_t peek4_proc(Process* p, uint32_t a) { return hvx_peek32(p, a); }
inline void poke_proc(Process* p, uint32_t a, uint8_t v) { hvx_poke8(p, a, v); }
inline void poke2_proc(Process* p, uint32_t a, int64_t v) { hvx_poke16(p, a, (uint16_t)v); }

// Bulk operations on the running process; each returns its cycle cost.
// Chunk addresses wrap at 24 bits like the single accessors.
int32_t hvx_memset(int32_t addr, uint8_t value, int32_t len);
int32_t hvx_memcpy(int32_t dst, int32_t src, int32_t len);
int32_t hvx_memset_proc(Process* p, int32_t addr, uint8_t value, int32_t len);
int32_t hvx_memcpy_proc(Process* p, int32_t dst, int32_t src, int32_t len);
// Byte runs between host memory and p's space, wrapping at 24 bits; a write
// marks every touched page written.
void hvx_read_run(Process* p, uint32_t addr, uint8_t* dst, int64_t len);
void hvx_write_run(Process* p, uint32_t addr, const uint8_t* src, int64_t len);
// Copies pages start/4096 .. end/4096 - 1 from one process to another,
// through page resolution on both sides.
void hvx_pmemcpy_pages(Process* from, Process* to, uint32_t start, uint32_t end);
// Points page pg at len bytes (1..4096) of storage owned elsewhere (a typed
// userdata); the rest of the page stays served by its backing page.
void hvx_map_page(Process* p, int pg, uint8_t* data, int32_t len);
// Serves page pg from its own backing page again.
void hvx_unmap_page(Process* p, int pg);
// Frees every backing page and clears the page tables.
void hvx_free_pages(Process* p);

// ---------------------------------------------------------------------------
// Messages between processes
// ---------------------------------------------------------------------------


// Messages between processes: each queue entry is a u32 little-endian length
// and that many bytes of object text.
inline constexpr int32_t MESSAGE_COMPACT_MIN = 65536; // read bytes kept before the queue moves
inline constexpr int MESSAGE_REFUSED = -1;
inline constexpr int MESSAGE_QUEUE_FULL = -2;

// Queues a message: bytes queued (length + 4); 0 when dropped without a word
// (no receiver, no queue); MESSAGE_QUEUE_FULL when the receiver's unread
// messages pass MESSAGE_QUEUE_LIMIT (logged once per receiver);
// MESSAGE_REFUSED when the receiver's memory in use, its unread messages and
// this one together pass its memory limit (or the queue cannot grow).
int queue_process_message(Process* to, const char* text, size_t len);
// The same, with 0 for a refusal.
int send_process_message(Process* to, const buffer* text);
int send_process_message_bytes(Process* to, const char* text, size_t len);
int send_process_message_string(Process* to, const char* text);
// The oldest message's text copied into dest (or a shared buffer when dest is
// none), removed from the queue; none when the queue is empty or damaged.
buffer* read_process_message(Process* p, buffer* dest);
int64_t process_unread_message_bytes(const Process* p);
// Sends the runtime's own notice to the window manager: prefix, the text
// escaped, suffix. Bytes queued, 0 when not queued (no window manager...).
int send_to_window_manager(const char* prefix, const char* text, const char* suffix);
void notify(const char* text);
// A system error reported to the window manager (and logged).
void report_error(const char* text);
// The one read buffer kept between reads of messages, taken out (none when
// none is kept) and given back: kept when none is, and unless any_size is
// false and it is far bigger than a queue needs. True when it was kept.
buffer* take_message_read_buffer();
bool keep_message_read_buffer(buffer* b, bool any_size);

