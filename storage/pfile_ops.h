// File operations on virtual paths: open, read, write, close, test, copy,
// delete, make folders and list, and the host syncs behind them.
#pragma once

#include <cstdint>

#include "core/core.h"
#include "core/charges.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/ram_files.h"

// Run-time state of the file system, cleared at a reboot.
struct storage_app_t {
    int32_t has_exported_cart;
    int32_t file_opened;
};
extern storage_app_t storage_app;

// ---------------------------------------------------------------------------
// File operations
//
// Every file is read whole at open and written whole at close. A host file
// opened "w" is written to a hidden sibling (".name.~hvx<n>") that replaces
// the file only when every write and the close succeeded, so a failed write
// keeps the old content.
// ---------------------------------------------------------------------------

inline constexpr int PFILE_DATA_KIND = 100;
inline constexpr int32_t PFILE_DATA_SIZE = 1024;
inline constexpr int32_t PFILE_EXISTS_DATA_SIZE = 32;
inline constexpr int32_t PFILE_READ_CHUNK = 16384;
inline constexpr int64_t PFILE_PARTIAL_READ = 0x40000;   // "rm"
inline constexpr int PFLIST_MAX_NAMES = 8192;
inline constexpr uint64_t SYNC_INTERVAL_MS = 2000;

// None when the path is not legal, does not resolve, names a folder (host or
// RAM), is missing for "r", or the host file does not open. "rf" reads the
// file as it stands, its cartridge's changes not written: a read that must
// see them is pfopen_newest.
pfile* pfopen(const char* path, const char* mode);
// The RAM record at exactly that RAM path, opened with mode; none otherwise.
pfile* pfopen_ram_file(const char* ram_path, const char* mode);
// 0 on success; 1 when a host write failed (the old file is kept, the failure
// logged, no history event). None gives 0.
int pfclose(pfile* f);
int64_t pfread(void* dst, int64_t size, int64_t count, pfile* f);
// Makes the RAM file at path hold *content (its bytes up to its length),
// taking the buffer (*content becomes none); false when the file does not
// open for writing as a RAM file or the bytes would pass the bound (the
// buffer then stays the caller's).
bool ram_file_take(const char* path, buffer** content);
int64_t pfwrite(const void* src, int64_t size, int64_t count, pfile* f);
int64_t pfile_size(const char* path, int skip_exact);
int pdisk_file_exists(const char* path);
// Bytes copied; 0 when either side does not open; -1 when the target could
// not be written (it keeps its old content).
int64_t fcopy(const char* from, const char* to);
// A mount at the path goes first, but not one holding changes not yet
// written back (delete_mount_point writes them first).
int delete_path(const char* path);
// 0 made (or a cartridge mount made dirty; while automounting is blocked,
// as when a cartridge fills its folder, a plain folder); 1 not legal, a RAM
// name taken or a write refused there;
// 2 file table full; -1 host folder not made.
int pmkdir(const char* path);
// With a Lua state: pushes the table of names and the folder count, returns
// 2. With a listing: the names are added to it as well. 0 when the path is
// not legal or its host folder does not open.
int pflist(const char* path, lua_State* L, listing* out);
int pfshadow(const char* path);
void sync_fs(int force);
int pdisk_pending_sync();  // 1 while a host write has not been synced

// The whole content of a file opened with mode ("r", "rb", "rf", "rm") in a
// new buffer owned by the caller (cursor 0, NUL-terminated), the file closed
// again; none when it does not open. No record outlives the call, so callers
// may run script code (which can delete files) while they hold the bytes.
buffer* pfile_read_all(const char* path, const char* mode);
