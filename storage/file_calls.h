// The script calls over files: fetch and store, and the path, file-system
// and cache calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include <string>

#include "core/core.h"
#include "lang/lang.h"
#include "storage/paths.h"
#include "storage/vyn.h"

// ---------------------------------------------------------------------------
// Files for scripts: the fetch and store calls, and the path,
// file-system and cache calls.
// ---------------------------------------------------------------------------

// fetch and store: files to script values by extension and back.
inline constexpr int FETCH_FLAG_I32 = 1;  // pictures as 0xAARRGGBB words
inline constexpr int FETCH_FLAG_RAW = 2;  // the bytes as they are
inline constexpr int STORE_VYN_FLAGS = VYN_FLAG_PXU | VYN_FLAG_LZ4;
inline constexpr int32_t STORE_IMAGE_COST_MASK = 0x3FFFFFFF;
inline constexpr int HVX_PNG_STORE_MIN = 512;
inline constexpr const char* HVX_PNG_STORE_ERROR_TEXT = "invalid .hvx.png file: not a valid PNG";
inline constexpr const char* STORE_WRITE_ERROR_TEXT = "store: could not write the file";
inline constexpr const char* STORE_ENCODE_ERROR_TEXT = "store: could not encode the picture";
inline constexpr const char* STORE_METADATA_ERROR_TEXT = "store: metadata is not one vyn header";
inline constexpr const char* LEGACY_VYN_PREFIX = "-- halvoran object data";
inline constexpr int FETCH_BUFFER_KIND = 102;  // 'f'

// A path argument: text without NUL bytes (a NUL would cut the path short
// and name another file), charged for the walk of a long one.
static inline bool path_arg(lua_State* L, int i, std::string* out) {
    if (!hvx_text_arg_without_nul(L, i, out)) return false;
    if ((int64_t)out->size() > PATH_FREE_BYTES) spend_cpu(hvx_cycles((int64_t)out->size() / PATH_BYTES_PER_CYCLE));
    return true;
}

// Decodes fetched bytes by the extension of path and pushes the results:
// host text converted for txt, pn and lua; PNG and QOI pictures as typed
// userdata (unless FETCH_FLAG_RAW); vyn documents read; anything else as the
// bytes and {metadata_format="none"}. Returns the number pushed. The bytes
// and path stay the caller's and are not kept.
int unvyn_from_fetched_buffer(lua_State* L, const buffer* b, const char* path, int flags);
// Palette indices to RGBA (alpha 255) and RGBA to the nearest palette index,
// through the running process's palette at 0x5000 (index AND 63).
void convert_bitmap_8_to_32(const uint8_t* indices, uint8_t* rgba, int64_t count);
void convert_bitmap_32_to_8(const uint8_t* rgba, uint8_t* indices, int64_t count);
// The same through a given palette of 64 0xRRGGBB words.
void palette_indices_to_rgba(const uint32_t* pal, const uint8_t* indices, uint8_t* rgba, int64_t count);
void rgba_to_palette_indices(const uint32_t* pal, const uint8_t* rgba, uint8_t* indices, int64_t count);
// The index i minimising 2 dr^2 + 7 dg^2 + db^2; the lowest on a tie.
int nearest_palette_index(const uint32_t* pal, int r, int g, int b);
int is_known_text_filename(const char* path);
int should_write_metadata_fragment(const char* metadata, const char* path);
int is_ext_char(int c);

int lua54_fetch(lua_State* L);
int lua54_store(lua_State* L);
int lua54_fetch_metadata_from_file(lua_State* L);
int lua54_store_metadata_str_to_file(lua_State* L);

// Path and file-system calls, and the host cache under the per-user folder.
inline constexpr const char* CACHE_FOLDER = "cache";
inline constexpr int64_t CACHE_MIN_BYTES = 512;   // a shorter cache file counts as missing
inline constexpr int CACHE_VERSION_MAX = 32;      // versioned names try 32 down to 0
inline constexpr size_t CACHE_PATH_MAX = 1024;    // joined host paths must be shorter
// mkdir, mkdir, write, rename: a 600-byte entry takes the host about 0.3 ms
// of work and 7 ms waiting for the disk to take the bytes before the name.
inline constexpr int CACHE_STORE_HOST_OPS = 4;
inline constexpr int BBS_PATH_FREE_CHARS = 6;     // not examined
inline constexpr const char* VYNNET_PREFIX = "vynnet://";
inline constexpr const char* CD_NOT_FOUND_TEXT = "path not found";
inline constexpr const char* MKDIR_NO_PATH_TEXT = "mkdir: no path";
inline constexpr const char* MKDIR_EXISTS_TEXT = "mkdir: directory already exists";
inline constexpr const char* MKDIR_FAILED_TEXT = "mkdir failed";

// The host path of a cache entry in out: the per-user "cache" folder, then
// folder, '/', name, with a "%d" in name replaced by version (-1: no
// placeholder allowed). 0 when refused: an empty, NUL-holding or
// backslash-holding folder or name, a leading '/', a ".." segment, a '%'
// other than the one "%d" of a versioned name, or a joined path of
// CACHE_PATH_MAX bytes or more.
int cache_host_path(const char* folder, size_t folder_len, const char* name, size_t name_len, int version,
                    char* out, size_t out_size);
int is_well_formed_bbs_path(const char* s, size_t n);
int is_well_formed_vynnet_path(const char* s, size_t n);

int lua54_is_well_formed_bbs_path(lua_State* L);
int lua54_is_well_formed_vynnet_path(lua_State* L);
int lua54_hloc(lua_State* L);
int lua54_path(lua_State* L);
int lua54_ext(lua_State* L);
int lua54_pwd(lua_State* L);
int lua54_cd(lua_State* L);
int lua54_normalise_userland_path(lua_State* L);
int lua54_norm(lua_State* L);
int lua54_fullpath(lua_State* L);
int lua54_mount(lua_State* L);
int lua54_fdelete(lua_State* L);
int lua54_fcopy(lua_State* L);
int lua54_fstat(lua_State* L);
int lua54_mkdir(lua_State* L);
int lua54_ls(lua_State* L);
int lua54_cache_store(lua_State* L);
int lua54_cache_fetch(lua_State* L);
