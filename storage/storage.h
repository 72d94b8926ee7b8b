// Storage and formats: the virtual filesystem, mounts, cartridges, the history
// store, and the byte formats and hashes they use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/runtime.h"

// ---------------------------------------------------------------------------
// Hashes: MurmurHash3 (data, byte count, seed, output). A negative count
// hashes no bytes.
// ---------------------------------------------------------------------------

void murmurhash3_x86_32(const void* key, int32_t len, uint32_t seed, void* out);    // 4 bytes
void murmurhash3_x86_128(const void* key, int32_t len, uint32_t seed, void* out);   // 16 bytes
void murmurhash3_x64_128(const void* key, int32_t len, uint32_t seed, void* out);   // 16 bytes, two u64 LE
uint32_t mmh3_x86_32(const void* key, int32_t len, uint32_t seed);

// ---------------------------------------------------------------------------
// String hash table: a fixed number of slots (a power of two), 32 probes per
// key; keys and values are packed (u32 LE count, bytes, NUL) into two
// buffers. Replaced values and deleted keys keep their bytes until the table
// is destroyed.
// ---------------------------------------------------------------------------

inline constexpr int HTABLE_BUFFER_KIND = 116;  // 't'
inline constexpr int HTABLE_PROBES = 32;
inline constexpr uint32_t HTABLE_MAX_CAPACITY = 1u << 24;

struct htable {
    uint32_t capacity;
    uint32_t count;
    uint32_t* keys;    // offset of the key's bytes in key_buf, 0 for a free slot
    uint32_t* values;  // offset of the value's bytes in value_buf, 0 for none
    buffer* key_buf;
    buffer* value_buf;
};

uint32_t htable_hash(const char* key);
htable* create_htable(uint32_t capacity);  // none unless capacity is a power of two
void destroy_htable(htable* t);
// The value (NUL-terminated in place, valid until the next insert) and its
// byte count; "true" (4) for a key stored without a value; none (0) when absent.
const char* htable_get(const htable* t, const char* key, int32_t* out_length);
// 0 on success; 1 when the key is new and all its probe slots are taken (or
// the storage refused to grow): the table is then unchanged. A null value
// stores the key without one.
int htable_insert_failable(htable* t, const char* key, const void* value, int32_t length);
int htable_insert(htable* t, const char* key, const void* value, int32_t length);
int htable_insert_str(htable* t, const char* key, const char* text);
int htable_delete(htable* t, const char* key);  // 1 when found and removed

// ---------------------------------------------------------------------------
// CRC-32 and binary deltas. The outer form is "dst\0", u32 inner length, then
// the inner form as one LZ4 block; the inner form is u32 new length, u32 old
// CRC, u32 new CRC, then alternating literal runs and copies.
// ---------------------------------------------------------------------------

inline constexpr int DIFF_BUFFER_KIND = 105;
inline constexpr int DIFF_TABLE_SLOTS = 32768;
inline constexpr int DIFF_MIN_COPY = 8;          // shorter matches stay literal
inline constexpr int DIFF_TAIL_NO_LOOKUP = 30;   // no table lookups this close to the end
inline constexpr int64_t DIFF_MAX_CONTENT = 64ll << 20;  // old and new contents, bytes
inline constexpr int64_t DIFF_MAX_INNER = DIFF_MAX_CONTENT + (DIFF_MAX_CONTENT >> 4);
inline constexpr int64_t DIFF_MAX_DELTA = 128ll << 20;

// Standard CRC-32 (as zlib's crc32); 0 for no bytes.
uint32_t crc32b(const void* data, int64_t length);
uint32_t crc32b_update(uint32_t crc, const void* data, int64_t length);
// A new buffer with the outer form; none only for contents over
// DIFF_MAX_CONTENT. Not reentrant (one static position table).
buffer* generate_diff(const uint8_t* old, int64_t old_len, const uint8_t* nw, int64_t new_len);
buffer* generate_diff_inner(const uint8_t* old, int64_t old_len, const uint8_t* nw, int64_t new_len);
// The rebuilt content, or none (logged) when the old content's CRC differs,
// the delta is corrupt, or the result does not match its length and CRC.
buffer* apply_diff(const uint8_t* old, int64_t old_len, const uint8_t* delta, int64_t delta_len);
int64_t find_match_len(const uint8_t* old_pos, const uint8_t* new_pos, const uint8_t* old_end,
                       const uint8_t* new_end);
int64_t get_hashpos_len(const uint8_t* old, const uint8_t* new_pos, const uint8_t* old_end,
                        const uint8_t* new_end, int64_t* out_source);

// ---------------------------------------------------------------------------
// File records and path rules
// ---------------------------------------------------------------------------

inline constexpr int PFILE_MAX = 262144;
inline constexpr int PFILE_STRIDE = 1024;  // coarse pass of the lookup
inline constexpr int PFILE_KIND_FREE = 0;
inline constexpr int PFILE_KIND_HOST = 1;
inline constexpr int PFILE_KIND_RAM = 2;
inline constexpr uint32_t PFILE_FLAG_FOLDER = 1;
inline constexpr int PATH_SEGMENT_MAX = 254;  // a longer segment makes a path illegal
inline constexpr int PATH_EXT_MAX = 63;
inline constexpr int PATH_PROT_MAX = 15;
inline constexpr int PATH_PROT_SCAN = 16;     // ':' looked for at positions 0..15
inline constexpr int PWD_MAX = 256;
inline constexpr int COLLAPSE_BUFFER_KIND = 78;
inline constexpr int LISTING_MAX = 65536;

struct pfile {
    int32_t kind;
    buffer* path;    // the table key; the same buffer as origin for a RAM record
    uint32_t hash;   // mmh3_x86_32 of the path, seed 0
    buffer* origin;
    FILE* stream;
    buffer* data;
    uint32_t flags;
    uint8_t mode;
    uint8_t modifier;
    uint32_t opened;
};

struct listing {
    int32_t count;
    buffer* items[LISTING_MAX];
};

void pfile_init();
// Releases every record and every mount (a reboot starts with empty tables).
void pfile_reset();
// Takes both buffers (they may be one); when full it returns none and the
// buffers stay with the caller.
pfile* pfile_insert(buffer* path, int kind, buffer* origin);
int get_index_by_name(const char* name);                       // -1 when absent
pfile* get_ram_file_by_index(int i);  // none out of range or not a RAM record
pfile* get_ram_file_by_name(const char* name);
int delete_ram_files_in_path(const buffer* path);
int ram_path_is_inside_origin(const char* path, const char* origin, int allow_equal);
int pdisk_num_pfiles();
int pdisk_pfile_iterator();
pfile* pdisk_pfile_iterator_item(int i);
int pdisk_count_slots_by_kind(int kind);
void clear_pfile(pfile* f);
void pdisk_compact_pfiles();

int is_path_char(int c);
int is_legal_path(const char* s);
const char* get_prot(const char* s);
// None when a segment is longer than PATH_SEGMENT_MAX characters.
buffer* collapse_path(const char* s, int length_hint, int trace);
// The absolute collapsed path, or none when s is not legal. Relative paths are
// taken from the working folder.
buffer* normalise_halvoran_path(const char* s);
buffer* normalise_halvoran_path_in(const char* s, const char* pwd);
// The working folder relative paths are taken from: the running process's
// ("/" when no process runs). The process table installs the source.
void pdisk_set_working_folder_source(const char* (*source)());
const char* pdisk_working_folder();
const char* get_ext(const char* s);
const char* get_ext_old(const char* s);
int hvx_path_kind(const char* s);
int count_slashes(const char* s);
void remove_trailing_slash(buffer* b);

int compare_str_item(const char* a, const char* b);
int compare_listing_item(const buffer* a, const buffer* b);
listing* create_listing();
void destroy_listing(listing* l);
int listing_add(listing* l, buffer* item);
int listing_index_for_key(const listing* l, const char* key);
int listing_del(listing* l, const char* key);
void listing_sort(listing* l);
void listing_debug(const listing* l);

// ---------------------------------------------------------------------------
// Mounts
// ---------------------------------------------------------------------------

inline constexpr int PMOUNT_MAX = 8192;
inline constexpr int PMOUNT_LIMIT = 8189;          // a new mount at this count is refused
inline constexpr int PMOUNT_PRUNE_HEAVY = 6145;
inline constexpr int PRUNE_THRESHOLD_MIN = 4096;
inline constexpr int PRUNE_THRESHOLD_MAX = 0x38000;
inline constexpr int MOUNT_KIND_HOST = 1;
inline constexpr int MOUNT_KIND_RAM = 2;
inline constexpr int RESOLVE_BUFFER_KIND = 33;
inline constexpr int MOUNT_RAM_BUFFER_KIND = 77;
inline constexpr uint64_t MOUNT_FLUSH_DELAY_MS = 300;
inline constexpr const char* CART_MOUNT_FOLDER = "/ram/mount";

struct pmount {
    int32_t kind;
    buffer* mount_point;
    buffer* origin;
    int32_t isr;
    int32_t dirty;
    uint64_t flush_due;
    // A cartridge whose file existed but did not load whole: never written
    // back, so the file keeps its bytes.
    int32_t no_write_back;
};

pmount* pdisk_mount(int i);  // none out of range
int pdisk_num_mounts();
// 0 on success; 1 when refused (empty origin, table full).
int mount_host_path(const char* mount_point, const char* host_path);
// 0 on success; 1 when the path is not legal or the table is full.
int mount_ram_folder(const char* path);
pmount* mount_p_path(const char* mount_point, const char* target);
pmount* mount_hvx_path(const char* path);
void automount_p_path(const char* path);
// A new buffer with the origin, the winner's kind in out_kind. A path that is
// not legal or that no mount serves gives an empty text and kind 0.
buffer* resolve_to_origin(const char* path, int* out_kind, int skip_exact);
int get_path_parent_match_depth(const char* mount_point, const char* path);
void mark_parent_mount_dirty(const char* ram_path);
pmount* get_mount_by_mount_point(const char* path, int kind);
const char* get_mount_description(const char* path);
int delete_mount_point(const char* path);
void delete_mount_entry(int i);
void delete_clean_ram_mounts();
void prune_mounts();
void prune_process_mounts(int64_t pid);
int prune_threshold();
int pdisk_directory_exists(const char* path, int also_mounts);
int pdisk_host_directory_exists(const char* path);
int host_directory_exists(const char* host_path);
void print_mounts();
void trace_pfopen(const char* path, const char* mode);

// Text cartridge reader: 0 when the whole cartridge was read into the folder.
int populate_ram_folder_from_hvx_buffer(const char* folder, buffer* text);

pfile* pfopen(const char* path, const char* mode);
void pfclose(pfile* f);
int64_t pfread(void* dst, int64_t size, int64_t count, pfile* f);
int64_t pfwrite(const void* src, int64_t size, int64_t count, pfile* f);
int64_t pfile_size(const char* path, int skip_exact);

int flush_dirty_mounts_immediately();
// Writes one dirty cartridge mount back; 1 when written.
int flush_dirty_mount(pmount* m, int delayed);
int flush_dirty_mounts_delayed();
void sync_fs(int force);

// ---------------------------------------------------------------------------
// Cartridges
// ---------------------------------------------------------------------------

// Fills the RAM folder mounted at path from a .hvx.rom image. Returns 0 when
// the image was read.
int populate_ram_folder_from_hvx_rom_buffer_ex(const char* path, const char* prefix, buffer* rom,
                                               int option);

// ---------------------------------------------------------------------------
// File history store
// ---------------------------------------------------------------------------

void anywhen_open();
void anywhen_close();
void anywhen_event(int kind, const char* text, int64_t value);
