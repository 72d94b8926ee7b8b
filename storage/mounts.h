// The mount table: host, RAM and cartridge mounts, automounting and pruning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/charges.h"
#include "storage/paths.h"
#include "storage/ram_files.h"

// ---------------------------------------------------------------------------
// Mounts
// ---------------------------------------------------------------------------

inline constexpr int PMOUNT_MAX = 8192;
inline constexpr int PMOUNT_LIMIT = 8189;          // a new mount at this count is refused
inline constexpr int PMOUNT_PRUNE_HEAVY = 6145;
// A prune drops at most this many mounts in one frame, so a table filled to
// its limit is emptied over a few frames, not in one long one.
inline constexpr int PRUNE_DROPS_PER_FRAME = 256;
inline constexpr int PRUNE_THRESHOLD_MIN = 4096;
inline constexpr int PRUNE_THRESHOLD_MAX = 0x38000;
inline constexpr int MOUNT_KIND_HOST = 1;
inline constexpr int MOUNT_KIND_RAM = 2;
inline constexpr int RESOLVE_BUFFER_KIND = 33;
inline constexpr int MOUNT_RAM_BUFFER_KIND = 77;
inline constexpr uint64_t MOUNT_FLUSH_DELAY_MS = 300;
inline constexpr const char* CART_MOUNT_FOLDER = "/ram/mount";
inline constexpr const char* PROC_SYSTEM_PREFIX = "/system/";

struct pmount {
    int32_t kind;
    buffer* mount_point;
    buffer* origin;
    int32_t isr;
    int32_t dirty;
    uint64_t flush_due;
    int32_t depth;  // segments of the mount point
    // A cartridge whose file existed but did not load whole: never written
    // back, so the file keeps its bytes, and nothing under it may be
    // written, as the change would be lost.
    int32_t no_write_back;
    int32_t by_script;  // made by the `mount` call
    // A cartridge's own mount: its folder is the cartridge's and goes with it.
    // A mount of a folder inside a cartridge owns none of its files.
    int32_t cartridge;
    int64_t program;    // program of the process that made it; 0 for the host's own
    uint64_t serial;    // creation order: the table stays sorted by it
    uint64_t last_used; // use tick of its latest creation or resolution
    uint64_t changes;      // marked changed this many times
    int64_t changed_by;    // program of the process that changed it last; 0 for the host's own
    uint64_t first_change; // ms of the first change its write-back has not yet taken; 0: not known
    int32_t failures;      // write-backs failed in a row
    uint64_t passed_over;  // the frame write-back round that first left it due for a later one; 0: none
    int32_t writing;       // its writes handed to the disk writer whose end the write-back has not yet taken
};

// Limits the machine adds beyond its calls' own. A call past one fails with
// its usual failure result; each refusal is logged once per process.
inline constexpr int PROGRAM_MOUNTS_MAX = 64;          // `mount`s standing for one program
inline constexpr int ENDED_PROGRAM_MOUNTS_MAX = 1024;  // `mount`s of ended programs, together
// The last table entries, kept for the system processes and cartridges.
inline constexpr int PMOUNT_SYSTEM_RESERVE = 256;
inline constexpr int32_t CART_MOUNT_FOLDER_OPS = 2;    // host folder operations a new cartridge mount costs
// Notices after "cartridge <path> ", once per process and cartridge.
inline constexpr const char* CART_DEAD_TEXT = "did not load whole; it can be read, but writes to it are refused";
inline constexpr const char* CART_NO_MEMORY_TEXT =
    "did not load: RAM files would pass their 512 MB bound; writes to it are refused";

// What the mount table calls upward, installed by pfile_init: the write-back
// of a dirty cartridge (flush_dirty_mount), so that its mount may go to make
// room, and the filling of a new cartridge mount's folder from its file's
// bytes in the form of its kind (true when every entry was read).
void set_mount_flush(int (*flush)(pmount* m, int delayed));
void set_cart_loader(bool (*load)(cart_kind kind, const char* folder, buffer* content));

pmount* pdisk_mount(int i);  // none out of range
int pdisk_num_mounts();
// 0 on success; 1 when refused (empty origin, table full).
int mount_host_path(const char* mount_point, const char* host_path);
// 0 on success; 1 when the path is not legal or the table is full.
int mount_ram_folder(const char* path);
pmount* mount_p_path(const char* mount_point, const char* target);
// mount_p_path for the `mount` call. Outside the system processes none
// (logged once per process) while the caller's program has PROGRAM_MOUNTS_MAX
// standing, or ended programs ENDED_PROGRAM_MOUNTS_MAX together.
pmount* mount_script_path(const char* mount_point, const char* target);
// `mount`s standing for the program; with ENDED_PROGRAMS, those of every
// program no process of which runs any more.
inline constexpr int64_t ENDED_PROGRAMS = -1;
int program_mount_count(int64_t program);
// A new cartridge mount costs CART_MOUNT_FOLDER_OPS host folder operations
// and the cartridge file's bytes at CART_MOUNT_READ_BYTES_PER_CYCLE. When the table is full it drops the least
// recently used mount that a prune would drop (a dirty one written back first).
pmount* mount_hvx_path(const char* path);
// While held (nested), a full table refuses a new mount rather than drop one,
// so a caller keeping a pmount across path work keeps it valid.
void pdisk_hold_mounts(int hold);
void automount_p_path(const char* path);
// Turns automounting off (1) or on (0); returns the previous setting.
int pdisk_block_automounting(int block);
int pdisk_automounting_blocked();
// The cartridge mount whose RAM folder holds the RAM path (the deepest), or none.
pmount* cart_mount_of_origin(const char* ram_path);
// The cartridge a normalised path names: the mount at the deepest cartridge
// mount point at the path or above it (the first mounted there), or none.
pmount* cart_mount_at_or_above(const char* path);
// Whether a file or folder may be made, changed or deleted at a RAM origin:
// 0, or why not (logged once per process).
enum : int { RAM_WRITE_OK = 0, RAM_WRITE_DEAD_CART = 1, RAM_WRITE_TEXT_NAME = 2 };
int ram_write_refusal(const char* ram_origin);
int get_path_parent_match_depth(const char* mount_point, const char* path);
void mark_parent_mount_dirty(const char* ram_path);
pmount* get_mount_by_mount_point(const char* path, int kind);
// The last segments of the mount points (of 2 or more characters) that
// stand directly in the folder (a normalised path, "" for the root), one
// for each mount, in table order.
std::vector<std::string> mount_names_inside(const char* folder);
const char* get_mount_description(const char* path);
// Whether the mount's going would lose changes: a dirty cartridge that may be
// written back. remove_mount and drop_mount leave such a mount standing; the
// write-back's removals (delete_mount_point, prune_process_mounts) write it
// first.
bool holds_unwritten_changes(const pmount* m);
// The mount goes, a cartridge's folder with it; 1 when it went.
int remove_mount(const pmount* m);
// The mount at index i goes, a RAM mount's files with it; true when it went.
bool drop_mount(int i);
void delete_mount_entry(int i);
// Drops the clean mounts a prune may drop, at most `most` of them (the frame's
// prune goes a share at a time); how many it dropped.
int delete_clean_ram_mounts(int most = PMOUNT_MAX);
void prune_mounts();
int prune_threshold();
int pdisk_directory_exists(const char* path, int also_mounts);
int pdisk_host_directory_exists(const char* path);
int host_directory_exists(const char* host_path);
void print_mounts();

// A RAM record opened (1) or closed (0): while one under a cartridge's folder
// is open, the cartridge is not dropped.
void note_ram_record_open(const pfile* f, int open);

// ---------------------------------------------------------------------------
// Resolution through the mounts
// ---------------------------------------------------------------------------

// A new buffer with the origin, the winner's kind in out_kind. A path that is
// not legal or that no mount serves gives an empty text and kind 0.
buffer* resolve_to_origin(const char* path, int* out_kind, int skip_exact);
// The same for a path that is already normalise_halvoran_path's result.
buffer* resolve_normalised_to_origin(const char* path, int* out_kind, int skip_exact);
void trace_pfopen(const char* path, const char* mode);
