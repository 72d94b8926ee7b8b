// Host platform: the log file, host folders, host time and the shell hand-over,
// and the window/frame interface the frame driver calls.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Log file
// ---------------------------------------------------------------------------

inline constexpr size_t KRIO_DEBUG_MAX = 16384;  // longest text kept for the repeat check
inline constexpr const char* LOG_FILE_NAME = "log.txt";

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
// the next line tries again.
void krio_debug_open();
// Writes a repeat count still pending and closes the log; lines are then kept
// in memory again until the next krio_debug_open (tests).
void krio_debug_close();
// The path log.txt was opened at, empty before.
const char* krio_debug_path();

// ---------------------------------------------------------------------------
// Host folders. Each prefix call writes a NUL-terminated path into out, which
// holds out_size bytes (HVX_PATH_MAX for callers of the original interface).
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

// ---------------------------------------------------------------------------
// Host time
// ---------------------------------------------------------------------------

void os_time_init();      // starts the program's monotonic clock (first thing in main)
uint64_t os_get_time();   // milliseconds since start
uint32_t get_ticks();
void os_sleep(uint32_t ms);

// ---------------------------------------------------------------------------
// Shell hand-over
// ---------------------------------------------------------------------------

// Hands a host path to the desktop's opener (xdg-open) without a shell and
// without waiting. Only existing folders and regular non-executable files
// that are not ".desktop" launchers are handed over. Returns 1 when handed.
int open_host_file(const char* host_path);
// Hands an "https:" address over the same way. Returns 1 when handed.
int open_host_url(const char* url);
// Reaps finished opener children; called once per frame.
void os_reap_children();
// The opener program ("xdg-open"; tests point it elsewhere).
void os_set_opener(const char* program);

// ---------------------------------------------------------------------------
// Window, frames, input, audio device (bodies come with the window issue)
// ---------------------------------------------------------------------------

void os_apply_video_config();
void os_system_init();
void start_frame();
void end_frame();
void boot_init();

// Milliseconds of boot: 0 on the first call, then (frame_count - boot_start) x 16.6.
int64_t boot_get_time();
// Nestable audio lock, strictly paired, main thread only.
void os_lock_audio();
void os_unlock_audio();
void os_lock_mouse_cursor(int flags, int event_sensitivity, int move_sensitivity);
struct lua_State;
void os_add_public_c_functions(lua_State* L);
