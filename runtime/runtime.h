// Process runtime: start-up and frame driver, settings, byte buffers, the
// platform allocator. Everything other subsystems may call in this subsystem
// is declared here; limits and costs are named constants.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// ---------------------------------------------------------------------------
// Version and limits
// ---------------------------------------------------------------------------

inline constexpr const char* HVX_VERSION = "0.3.0d";
extern const char* const hvx_build_string;  // build date and time, set by the build

inline constexpr int DAT_MAX_BLOCKS = 64;                 // slots of the sysrom.dat block table
inline constexpr uint32_t DAT_MAX_BLOCK_LEN = 0x2000000;  // a longer block ends the reading
inline constexpr int DAT_BLOCK_KIND = 105;                // buffer kind of a block

inline constexpr size_t HVX_PATH_MAX = 1024;  // host path fields and prefix outputs
inline constexpr size_t HVX_NAME_MAX = 256;   // user id, user name, session token

inline constexpr int DEFAULT_DISPLAY_PID = 3;
inline constexpr int DEFAULT_VOLUME = 192;
inline constexpr int SESSION_REFRESH_FRAMES = 60;
inline constexpr int EXIT_ATOMIC_WAIT_FRAMES = 60;  // frames an exit waits for an atomic operation
inline constexpr int EXIT_ROOT_SLICES = 120;        // root slices run after that wait

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
uint32_t get_buffer_group_count(int kind);

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

inline constexpr int MOUNT_POINT_MAX = 255;
inline constexpr int32_t SETTING_CLAMP_MAX = 256;  // volume and deadzone are 0..256
inline constexpr const char* CONFIG_FILE_NAME = "halvoran_config.txt";
inline constexpr const char* CONFIG_DEFAULT_HEADER = "# halvoran config\n\n";
inline constexpr int CONFIG_BUFFER_KIND = 111;  // 'o'

void config_set_defaults();  // zero, then the defaults
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
// Run-time state of the workstation
// ---------------------------------------------------------------------------

struct app_t {
    int32_t focus;  // kept across a reboot
    uint64_t focus_time;
    int32_t signal35_flag;
    int32_t signal36_flag;
    int32_t video_ready;
    int64_t audio_focus_pid;
    int64_t audio_copy_pid;
    int32_t audio_capture;
    buffer* audio_capture_buf;
    int32_t gif_recording;
    int32_t gif_frames;
    int32_t screenshot_pending;
    int32_t boot_done;
    int32_t boot_screen_off;
    int32_t has_exported_cart;
    int32_t rom_option;
    int32_t file_opened;
    int32_t mouse_locked;
    int32_t mouse_lock_words[6];
    int64_t atomic_pid;
    uint64_t last_input_time;
    int32_t battery_slow;
    int32_t button_word;
    uint64_t frame_count;
    uint64_t boot_start;
    int32_t reboot_request;
    int32_t exit_request;
    int32_t exit_wait;
    int32_t audio_stat_counters[4];
};

extern app_t app;

// ---------------------------------------------------------------------------
// sysrom.dat and the frame driver
// ---------------------------------------------------------------------------

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

void process_arguments(int argc, char** argv);
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

extern char krio_argv0[HVX_PATH_MAX];
extern uint64_t debug_system_frames_since_reboot;

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
inline constexpr const char* PROC_SYSTEM_PREFIX = "/system/";
inline constexpr const char* PROC_TERMINAL_PATH = "/system/apps/terminal.lua";
inline constexpr int32_t PROC_FLAG_SYSTEM = 1;     // program under /system/
inline constexpr int32_t PROC_FLAG_SANDBOXED = 2;  // sandbox text not empty
inline constexpr int64_t RECENT_SANDBOX_MS = 10000;

enum : int32_t { PROC_RUNNING = 0, PROC_ENDED = 1, PROC_FAILED = 2 };

inline constexpr int MESSAGE_QUEUE_KIND = 114;
inline constexpr int32_t MESSAGE_QUEUE_SIZE = 16384;
inline constexpr int64_t MESSAGE_QUEUE_LIMIT = 0x1000000;  // a fuller queue refuses new messages
// A drained queue (or the shared read buffer) whose capacity is at least this
// and four times what it holds goes back to a small buffer.
inline constexpr int64_t MESSAGE_SHRINK_MIN = 0x100000;

// Address space: 24-bit addresses, 4096 pages of 4 KB.
inline constexpr uint32_t HVX_ADDR_MASK = 0xFFFFFF;
inline constexpr int HVX_PAGE_SIZE = 4096;
inline constexpr int HVX_PAGE_SHIFT = 12;
inline constexpr int HVX_PAGES = 4096;
inline constexpr uint8_t PAGE_FLAG_AUDIO = 1;    // changed since the synthesizer's copy
inline constexpr uint8_t PAGE_FLAG_COLTAB = 2;   // colour-table page may differ from defaults
inline constexpr uint8_t PAGE_FLAG_WRITTEN = 255;
// Fixed map.
inline constexpr int INITIAL_PAGES = 16;  // 0x0000-0xFFFF, allocated at creation
inline constexpr uint32_t ADDR_DRAW_STATE = 0x5000;
inline constexpr uint32_t ADDR_FLAG_BYTE = 0x547F;  // bit 0: incremental collector
inline constexpr uint32_t ADDR_MOUSE_LOCK_FLAGS = 0x5F2D;
inline constexpr uint32_t ADDR_MOUSE_EVENT_SENS = 0x5F28;
inline constexpr uint32_t ADDR_MOUSE_MOVE_SENS = 0x5F29;
inline constexpr uint32_t ADDR_COLTABS = 0x8000;  // 4 pages
inline constexpr int COLTAB_FIRST_PAGE = 8;
inline constexpr int COLTAB_PAGES = 4;
inline constexpr uint32_t ADDR_SPRITE_FLAGS = 0xC000;
inline constexpr uint32_t ADDR_DISPLAY = 0x10000;
inline constexpr uint32_t ADDR_INST0_NODES = 0x40000;  // 64 bytes
inline constexpr uint32_t ADDR_INST0_WT = 0x401E0;     // 8 bytes
inline constexpr uint32_t ADDR_MAP_SLOT = 0x100000;
inline constexpr uint32_t ADDR_WAVETABLE = 0xF78000;
inline constexpr uint32_t ADDR_WAVETABLE_END = 0x1000000;
inline constexpr int WAVETABLE_WAVES = 272;
inline constexpr int WAVE_SAMPLES = 1024;
inline constexpr uint64_t WAVETABLE_SEED = 0x12345678;

// Cycle budget.
inline constexpr int32_t CPU_FRAME_BUDGET = 0x44444;        // 279,620
inline constexpr int32_t CPU_FRAME_BUDGET_FAST = 0x111111;  // fast boot
inline constexpr int32_t CPU_DEBT_CAP = 0x2AAAA8;           // ten frames
inline constexpr int32_t CPU_DEBT_CAP_FAST = 0xAAAAAA;
inline constexpr int32_t CPU_SUPERYIELD = 0x40000000;
inline constexpr int64_t BOOT_WAIT_MS = 2200;
inline constexpr int64_t MOUNT_HOLD_MS = 100;
inline constexpr int CLOCK_STEP_MAX = 3;
inline constexpr int GC_INC_PAUSE = 107;
inline constexpr int GC_INC_STEPMUL = 18;

// Memory accounting.
inline constexpr int64_t MEMORY_LIMIT = 0x2000000;      // 32 MB per process
inline constexpr int64_t MEMORY_ALLOWANCE = 0x80000;    // added to every count
// A single request that would take a process past this is refused outright,
// so one allocation cannot exhaust the host before the end-of-slice check.
inline constexpr int64_t MEMORY_HARD_CEILING = 2 * MEMORY_LIMIT;
inline constexpr size_t ALLOC_HEADER = 16;  // keeps Lua blocks 16-byte aligned
// An allocation of n bytes costs (n >> ALLOC_COST_SHIFT) + ALLOC_COST_BASE.
inline constexpr int ALLOC_COST_SHIFT = 7;
inline constexpr int64_t ALLOC_COST_BASE = 4;

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

inline constexpr const char* KERNEL_FATAL_TEXT = "** RUNTIME ERROR IN KERNEL **";
inline constexpr const char* WM_FATAL_TEXT = "** RUNTIME ERROR IN WINDOW MANAGER **";
inline constexpr const char* OUT_OF_MEMORY_TEXT = "out of memory";
inline constexpr const char* RUNAWAY_TEXT = "out of cycles in a non-yieldable call";

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

    // Cycles owed beyond what the debt cap carries (compiles, and for ids
    // past the kernel's own every overrun of a slice it ran or gave): they
    // move into cpu_debt as it is paid, so none is forgotten.
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
};

enum : int32_t { PENDING_NONE = 0, PENDING_KILL = 1, PENDING_RESTART = 2 };

// Cycle globals, read by the interpreter before every instruction.
extern int32_t cpu_cycles;
extern int32_t cpu_cycles_max;
extern int32_t cpu_superyielding;
extern int64_t total_frame_cycles;
extern int64_t total_frame_cycles_since_wm_flip;

extern Process* cproc;  // the running process, none between slices

// --- the table ---
int64_t cproc_id();  // id of the running process, 0 when none
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
// Work refused for passing a limit of its own is logged once per process
// and limit: a script that loops on the refusal does not flood the log.
// The one way a limit logs its refusal: "process ID: TEXT" (the text made
// as by printf), once per process and limit (LIMIT_LOGGED_*); p is the
// process the limit is counted for. Refusals with no process ("process 0")
// are always logged.
void log_refusal_once(Process* p, uint32_t limit, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Ends the atomic operation p holds, if any: a holder that halts, fails or
// goes can never end it itself, and it would hold every other process back.
void release_atomic_hold(const Process* p);
// Loads text into the process's state above its chunk; returns 0 or the Lua
// error text (valid until the next call).
const char* process_load_boot_text(Process* p, const char* text, size_t len, const char* chunkname);
Process* get_process(int64_t id);
// True while some process of the program is in the table and not ended.
bool program_is_live(int64_t program_id);
// Ids 1-3: the kernel's own processes, which keep room of their own in the
// shared tables and are never made to pay for what others do.
inline bool is_system_process_id(int64_t id) { return id >= KERNEL_PROCESS_ID && id <= LAST_SYSTEM_PROCESS_ID; }
Process* get_process_by_index(int index);
int get_process_index(const Process* p);  // -1 when not in the table
int get_process_count();
Process* get_current_process();
void set_current_process(Process* p);
int count_recent_sandboxed_processes();
uint8_t* get_null_sprite();  // zeroed 16x16 u8 typed userdata block
void generate_default_wavetable(Process* p);
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
// The host runs code of p's state outside p's slice (a collection's
// finalizers, a traceback, the close at removal): on a counter of its own
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
// Carries out a kill or restart that waited for the running slices to let go
// of p; true when p has left the table (p is then freed).
bool process_run_pending(Process* p);
// Registration of the system calls into a new process state.
void api_add_c_functions(lua_State* L);

// --- scheduler ---
// Returns the cost charged: n < 0 charges nothing and returns n; otherwise
// max(n, 1) is added to cpu_cycles (saturating). Defined by the language core
// beside the counter.
int32_t spend_cpu(int32_t n);
// The core's handler for code that may not yield and ran past its ceiling
// (installed by processes_init): the owner of L's code ends, its creator pays.
void process_nonyield_overrun(lua_State* L);
// A 64-bit value saturated to 32 bits, where wrapping round would change sides.
inline int32_t hvx_sat32(int64_t v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v; }
// A charge from a 64-bit count of work: never below 0, saturated to the counter.
inline int32_t hvx_cycles(int64_t n) { return n < 0 ? 0 : hvx_sat32(n); }
// The allocator bound to every process state (the dialect's six-argument
// form; owner is the Process record). Every block carries an ALLOC_HEADER
// holding its accounted size, counted in the owner's heap_bytes.
// A request that fails with retry set marks the owner out of memory and makes
// the running slice yield.
void* l_alloc(void* owner, void* block, size_t old_size, size_t new_size, int retry, size_t accounted);
int32_t current_frame_budget();  // B of the moment (fast boot or normal)
int64_t process_memory_in_use(const Process* p);
void prepare_processes_for_frame();
// Cycles used. from is the thread asking for the slice (none for the frame
// driver): the slice carries on its count of nested C calls.
int64_t run_process_slice(Process* p, double fraction, lua_State* from = nullptr);
// Charges the running process for compiling len bytes of process source:
// what the debt cap cannot carry is owed and paid before it runs again.
void charge_compile(size_t len);
// Holds (keep) or lets go of the value at idx for the host, in a table at the
// first slot of the main stack of L's state (below the chunk, where no
// script reaches it to drop it). False when the state has no such table.
bool hvx_anchor(lua_State* L, int idx, bool keep);
// The same table keyed by a host address: the value on top of the stack is
// popped and held under key (nil lets go of what was there), as lua_rawsetp
// on the registry would, and as it runs no finalizer. False when the state
// has no such table (the value is popped all the same).
bool hvx_anchor_at(lua_State* L, const void* key);
// Slots at the bottom of a process's main stack that belong to the host (the
// anchors' table): whoever empties that stack from the host keeps them.
inline constexpr int HVX_HOST_SLOTS = 1;
void update_processes_after_frame();
int audio_op_start(int64_t pid, int force);  // 0 with the audio lock held, 1 when refused
void audio_op_end();
void report_error(const char* text);
int64_t get_total_frame_cycles();
int64_t get_total_frame_cycles_since_wm_flip();

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
// System calls and messages
// ---------------------------------------------------------------------------

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

// Argument readers shared by all system calls.
// Integer argument: an integer as it is; a float or numeric string floored;
// anything else, NaN included, the default. Out-of-range values saturate.
int64_t hvx_intp(lua_State* L, int index, int64_t def);
// Double to integer, truncating toward zero; NaN gives nan_value and values
// beyond the range (infinities included) saturate.
// (Inline: the typed userdata loops convert millions of elements with it.)
inline int64_t hvx_double_to_i64(double d, int64_t nan_value) {
    constexpr double two_63 = 9223372036854775808.0;  // every double at or above it is out of range
    if (d != d) return nan_value;
    if (d >= two_63) return INT64_MAX;
    if (d < -two_63) return INT64_MIN;
    return (int64_t)d;
}
int32_t hvx_double_to_i32(double d, int32_t nan_value);
// Truncated number: a number or numeric string truncated toward zero,
// saturating at the 32-bit range; anything else, NaN included, 0.
int32_t hvx_trunc_arg(lua_State* L, int index);
// A process id argument: an integer or a number/string with an integral
// value; anything else 0 (which matches no process).
int64_t hvx_pid_arg(lua_State* L, int index);
// A text argument is a string, or a number (read as its text).
bool hvx_is_text(lua_State* L, int index);
// Text argument copied into out (so nothing the call does afterwards can
// change it); false for any other value.
bool hvx_text_arg(lua_State* L, int index, std::string* out);

// Messages between processes: each queue entry is a u32 little-endian length
// and that many bytes of object text.
inline constexpr int MESSAGE_SEND_KIND = 112;
inline constexpr int32_t MESSAGE_SEND_SIZE = 256;
inline constexpr int MESSAGE_COST_SHIFT = 3;          // one cycle per 8 bytes
inline constexpr int MESSAGE_STRINGIFY_FLAGS = 3;
inline constexpr int32_t MESSAGE_COMPACT_MIN = 65536; // read bytes kept before the queue moves
inline constexpr const char* DROP_FOLDER = "/ram/drop/";
inline constexpr const char* DROP_EMPTY_TEXT = "** dropping folders (and size zero files) not supported **";

// Reading a message makes at most MESSAGE_READ_OBJECT_ALLOWANCE tables and
// userdata plus one per MESSAGE_READ_BYTES_PER_OBJECT bytes of its text, and
// never takes the reader past its memory limit; a message past either is
// dropped (logged) and the next one read.
inline constexpr int64_t MESSAGE_READ_OBJECT_ALLOWANCE = 65536;
inline constexpr int32_t MESSAGE_READ_BYTES_PER_OBJECT = 4;
inline constexpr int MESSAGE_REFUSED = -1;
inline constexpr int MESSAGE_QUEUE_FULL = -2;
inline constexpr const char* MESSAGE_REFUSED_TEXT = "send_message: the receiver cannot hold the message";
inline constexpr const char* MESSAGE_QUEUE_FULL_TEXT = "queue full";

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
void process_dropped_file(const char* host_path);
// "/ram/drop/" + the last component of a host path, every non-path character
// made '_'. 1 when it fits into out.
int drop_destination_path(const char* host_path, char* out, size_t out_size);

// Process calls.
// (display size, video mask and the no-new-frame bit: platform/platform.h)
inline constexpr uint32_t ADDR_VIDEO_MASK = 0x547D;  // a blit of the display copies only these bits
inline constexpr uint8_t FLAG_BYTE_GC_INC = 1;
inline constexpr uint8_t FLAG_BYTE_LOW_PRIORITY = 0x20;
inline constexpr int32_t BLIT_FREE_W = 480;  // a whole-display blit without a mask costs nothing
inline constexpr int32_t BLIT_FREE_H = 270;
inline constexpr int BLIT_COST_SHIFT_MASKED = 3;
inline constexpr int BLIT_COST_SHIFT_PLAIN = 6;
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
// Compiling a process source costs its creator this many cycles per byte.
inline constexpr int64_t COMPILE_CYCLES_PER_BYTE = 4;

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
inline constexpr int32_t UNMAP_COST = 4;
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
inline constexpr int32_t STAT_SESSION_DATA_COST = 32;
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
inline constexpr int32_t SQRT_COST = 6;
inline constexpr int32_t RND_COST = 4;
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
