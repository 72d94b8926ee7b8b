// Storage and formats: the virtual filesystem, mounts, cartridges, the history
// store, and the byte formats and hashes they use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core/core.h"

// A little-endian u32 at p (four readable bytes).
inline uint32_t load_u32_le(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Whether the n bytes at s hold a ".." segment (between slashes or the ends);
// "a..b" or "..." is an ordinary name. Paths, ROM entry names and the ROM
// packer all refuse such a segment.
inline bool path_has_dotdot_segment(const char* s, int64_t n) {
    for (int64_t i = 0; i + 1 < n; i++) {
        if (s[i] != '.' || s[i + 1] != '.') continue;
        bool left = i == 0 || s[i - 1] == '/';
        bool right = i + 2 == n || s[i + 2] == '/';
        if (left && right) return true;
    }
    return false;
}

// Run-time state of the file system, cleared at a reboot.
struct storage_app_t {
    int32_t has_exported_cart;
    int32_t file_opened;
};
extern storage_app_t storage_app;

// Whether the n bytes at s name a cartridge entry by proper segments: none
// empty, "." or "..", and no NUL. Such a name lands at its folder's path,
// '/', and the name, exactly (an empty segment could make a "name://"
// prefix of what stands before it, and "." vanishes), so a write-back gives
// the same name again. A folder's name may end in one '/'.
inline bool entry_name_proper(const char* s, int64_t n, bool folder) {
    if (n > 0 && folder && s[n - 1] == '/') n--;
    if (n <= 0) return false;
    for (int64_t i = 0; i <= n; i++) {
        int64_t start = i;
        while (i < n && s[i] != '/') {
            if (s[i] == 0) return false;
            i++;
        }
        const int64_t len = i - start;
        if (len == 0 || (len == 1 && s[start] == '.') || (len == 2 && s[start] == '.' && s[start + 1] == '.'))
            return false;
    }
    return true;
}

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

inline constexpr int DIFF_BUFFER_KIND = 68;  // 'D'
inline constexpr int DIFF_TABLE_SLOTS = 32768;
inline constexpr int DIFF_MIN_COPY = 8;          // shorter matches stay literal
inline constexpr int DIFF_TAIL_NO_LOOKUP = 30;   // no table lookups this close to the end
inline constexpr int64_t DIFF_MAX_CONTENT = 64ll << 20;  // old and new contents, bytes
inline constexpr int64_t DIFF_MAX_INNER = DIFF_MAX_CONTENT + (DIFF_MAX_CONTENT >> 4);
inline constexpr int64_t DIFF_MAX_DELTA = 128ll << 20;
// The generator reads both contents whole (checksums, the position table,
// a match tried at every position of the new one) whatever the delta's size:
// its caller charges a cycle per 4 bytes of the two. Its slowest shape, a
// near match at every position, takes the host up to 5 ns a byte of the two
// (bench/charged_calls_bench), and 4 bytes a cycle stand for 15 ns.
inline constexpr int64_t DIFF_INPUT_BYTES_PER_CYCLE = 4;

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
// Codecs: base64, host text and MD5 (storage/codecs.cpp). Pure functions.
//
// base64 uses the alphabet A-Z a-z 0-9 '_' '-' (62 is '_', 63 is '-'), '='
// padding and never a line break. Both directions stream: a caller may feed
// its input in pieces of any size and gets the output of one whole call.
// The decoder skips every character outside the alphabet ('=', blanks, line
// breaks); a trailing partial group stays in the state and writes nothing.
// ---------------------------------------------------------------------------

struct base64_encodestate {
    int32_t step;       // bytes of the current 3-byte group consumed: 0, 1 or 2
    uint8_t result;     // the pending partial 6-bit value
    int32_t stepcount;  // 4-character groups written, wrapping to 0 at 18
};

struct base64_decodestate {
    int32_t step;       // which character of the 4-character group comes next: 0..3
    uint8_t plainchar;  // the pending partial byte
};

inline constexpr int BASE64_STEPCOUNT_WRAP = 18;

// Output room for length bytes (encoding, end included) or characters
// (decoding), whatever the state holds; 0 for a negative length
// (INT64_MAX when that does not fit).
inline int64_t base64_encode_bound(int64_t length) {
    if (length < 0) return 0;
    return length / 3 + 2 > INT64_MAX / 4 ? INT64_MAX : (length / 3 + 2) * 4;
}
inline int64_t base64_decode_bound(int64_t length) { return length < 0 ? 0 : length / 4 * 3 + 3; }

void base64_init_encodestate(base64_encodestate* state);
char base64_encode_value(int32_t value);  // '=' outside 0..63
// Characters written to out; nothing for a negative length.
int64_t base64_encode_block(const uint8_t* in, int64_t length, char* out, base64_encodestate* state);
// Flushes the pending group: 0, 2 or 3 characters written ("x==" or "xx=" forms).
int base64_encode_blockend(char* out, base64_encodestate* state);

void base64_init_decodestate(base64_decodestate* state);
int32_t base64_decode_value(int32_t c);  // 0..63, or -1 for a character outside the alphabet
// Bytes written to out; nothing for a negative length.
int64_t base64_decode_block(const char* in, int64_t length, uint8_t* out, base64_decodestate* state);

// Host text: the 8-bit character set <-> UTF-8. Neither direction fails:
// characters without a mapping pass through byte by byte.
inline constexpr int HOST_TEXT_BUFFER_KIND = 105;

// A new buffer with the UTF-8 form of the 8-bit text up to its NUL; none only
// when the result would pass the largest buffer.
buffer* encode_host_text(const char* text);
// A new buffer with the 8-bit form of length bytes of UTF-8 text (or UTF-16
// or UTF-32 after a byte order mark, one byte taken per unit). Carriage
// returns are dropped; a lead byte cut off at the end is logged and left out
// of the result. The input is never written.
buffer* decode_host_text_bytes(const uint8_t* text, int64_t length);
buffer* decode_host_text(const buffer* text);  // none for none
// A fetched host-text file in the 8-bit form: decoded as above when it is
// well-formed UTF-8 or begins with a byte order mark, except that a carriage
// return is dropped only before a line feed. None for any other text: its
// bytes are already the 8-bit form (stored by this system), and stay as they
// are.
buffer* decode_host_text_file(const buffer* text);
// Whether n bytes are well-formed UTF-8 (RFC 3629): no overlong forms,
// surrogates or code points past U+10FFFF, no sequence cut off at the end.
bool is_utf8(const uint8_t* text, int64_t n);

// MD5 of length bytes as 32 lower-case hex digits and a NUL in out (33 bytes);
// a negative length hashes no bytes.
inline constexpr int MD5_HEX_SIZE = 33;
void md5(const void* data, int64_t length, char* out);

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
    // A host record opened "w": the hidden sibling it writes to, removed
    // when the record is released without replacing the file.
    buffer* temp_path;
    int64_t counted;  // bytes of a RAM record counted against RAM_FILES_MAX_BYTES
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
// The only way a record becomes free (compaction counts on it).
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
// ("/" when no process runs). Tests may install another source; none restores
// the running process's.
void pdisk_set_working_folder_source(const char* (*source)());
const char* pdisk_working_folder();
const char* get_ext(const char* s);
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
};

// Limits the machine adds beyond its calls' own. A call past one fails with
// its usual failure result; each refusal is logged once per process.
inline constexpr int PROGRAM_MOUNTS_MAX = 64;          // `mount`s standing for one program
inline constexpr int ENDED_PROGRAM_MOUNTS_MAX = 1024;  // `mount`s of ended programs, together
// The last table entries, kept for the system processes and cartridges.
inline constexpr int PMOUNT_SYSTEM_RESERVE = 256;
inline constexpr int32_t CART_MOUNT_FOLDER_OPS = 2;    // host folder operations a new cartridge mount costs
// The cartridge file a new mount reads, in bytes a cycle: measured from
// about 90 (a large file into fresh pages) to 700 (a file in the page cache;
// bm_cart_mount_rom, bm_pfopen_read), the slower rate rounded down. What the
// file unpacks to is charged besides, so a small file that unpacks large pays.
inline constexpr int64_t CART_MOUNT_READ_BYTES_PER_CYCLE = 64;
inline constexpr int64_t RAM_FILES_MAX_BYTES = 512ll << 20;  // contents of all RAM files together
// Notices after "cartridge <path> ", once per process and cartridge.
inline constexpr const char* CART_DEAD_TEXT = "did not load whole; it can be read, but writes to it are refused";
inline constexpr const char* CART_NO_MEMORY_TEXT =
    "did not load: RAM files would pass their 512 MB bound; writes to it are refused";

// Host folder work charged to the calling process, sized from the host time
// it takes (a frame's budget is about 16 ms of it, so 1 ms is ~16,800 cycles).
inline constexpr int32_t HOST_FOLDER_OP_COST = 4096;   // one mkdir, remove, stat or opendir
inline constexpr int32_t HOST_PATH_BYTE_COST = 4;      // per byte of the host path it walks
inline constexpr int32_t HOST_LIST_ENTRY_COST = 256;   // per entry a listing reads and stats
inline constexpr int32_t LIST_NAME_COST = 16;          // per name a listing sorts and returns
inline constexpr int64_t CART_UNPACK_BYTES_PER_CYCLE = 8;  // unpacked cartridge bytes, as a host read

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
// A new buffer with the origin, the winner's kind in out_kind. A path that is
// not legal or that no mount serves gives an empty text and kind 0.
buffer* resolve_to_origin(const char* path, int* out_kind, int skip_exact);
// The same for a path that is already normalise_halvoran_path's result.
buffer* resolve_normalised_to_origin(const char* path, int* out_kind, int skip_exact);
// The cartridge mount whose RAM folder holds the RAM path (the deepest), or none.
pmount* cart_mount_of_origin(const char* ram_path);
// The cartridge a normalised path names: the mount at the deepest cartridge
// mount point at the path or above it (the first mounted there), or none.
pmount* cart_mount_at_or_above(const char* path);
// Whether a file or folder may be made, changed or deleted at a RAM origin:
// 0, or why not (logged once per process).
enum : int { RAM_WRITE_OK = 0, RAM_WRITE_DEAD_CART = 1, RAM_WRITE_TEXT_NAME = 2 };
int ram_write_refusal(const char* ram_origin);
// Brings a RAM record's count in the RAM files' bytes up to date with its content.
void ram_file_account(pfile* f);
// Whether count more bytes may join the RAM files; false (logged once per
// process) past RAM_FILES_MAX_BYTES.
bool ram_files_room(int64_t count);
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

// ---------------------------------------------------------------------------
// File operations and write-back
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
inline constexpr int32_t PFILE_EXISTS_COST = 16;          // "re"
inline constexpr int32_t PFILE_WRITE_COST = 0x11111;     // per host write, plus length / 8
inline constexpr int32_t PFILE_WRITE_COST_SLOW = 0x44444;  // before the video is up, video pid >= 4
inline constexpr int PFLIST_MAX_NAMES = 8192;
inline constexpr uint64_t SYNC_INTERVAL_MS = 2000;
inline constexpr uint64_t WRITE_BACK_RETRY_MS = 2000;     // a failed write-back tries again after this
// A cartridge written back is charged to the running process by the larger of
// its files' bytes and its encoded bytes, as an unpacking is (the host write
// is charged besides, at its close). The frame's own write-back stops once it
// has written this many such bytes, after at least one cartridge; a cartridge
// counts at least WRITE_BACK_FILE_BYTES, as its file and folder are synced to
// the disk however small it is.
inline constexpr int64_t CART_ENCODE_BYTES_PER_CYCLE = 8;
inline constexpr int64_t WRITE_BACK_FRAME_BYTES = 4ll << 20;
inline constexpr int64_t WRITE_BACK_FILE_BYTES = 1ll << 20;

// None when the path is not legal, does not resolve, names a folder (host or
// RAM), is missing for "r", or the host file does not open.
pfile* pfopen(const char* path, const char* mode);
// A RAM record opened (1) or closed (0): while one under a cartridge's folder
// is open, the cartridge is not dropped.
void note_ram_record_open(const pfile* f, int open);
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
int pdisk_cart_file_exists(const char* path);
// Bytes copied; 0 when either side does not open; -1 when the target could
// not be written (it keeps its old content).
int64_t fcopy(const char* from, const char* to);
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

// Every dirty mount, now (reboot, exit, the flush signals).
int flush_dirty_mounts_immediately();
// The due ones, oldest due first, until WRITE_BACK_FRAME_BYTES are written
// (each cartridge counted at least WRITE_BACK_FILE_BYTES).
int flush_dirty_mounts_delayed();
// cart_mount_at_or_above(path), when dirty: written now; 1 when written.
int flush_path_cartridge(const char* path);
// A dirty cartridge mount about to be removed, written now even inside an
// atomic operation; false when it still holds changes that are not written.
bool flush_before_removal(pmount* m);
// Writes one dirty cartridge mount back; 1 when written. A mount whose
// write-back fails stays dirty and is tried again WRITE_BACK_RETRY_MS later;
// one marked no_write_back is never written.
int flush_dirty_mount(pmount* m, int delayed);
int flush_dirty_mount_immediately(const char* mount_point);
// Bytes the latest frame's write-back copied, encoded and wrote.
int64_t write_back_frame_bytes();
void sync_fs(int force);
int pdisk_pending_sync();  // 1 while a host write has not been synced

// ---------------------------------------------------------------------------
// ROM cartridges (".hvx.rom"): "hvx", version byte, u32 LE compressed size,
// one LZ4 block of the entry stream. Entry: name + NUL (a folder ends in
// '/'); a file adds its size (one byte below 255, else 255 + u32 LE) and its
// bytes. The codec functions are pure (bytes in, bytes out).
// ---------------------------------------------------------------------------

inline constexpr int ROM_VERSION = 2;
inline constexpr int ROM_LZ4_LEVEL = 9;
inline constexpr int ROM_HEADER_SIZE = 8;
inline constexpr int64_t ROM_MAX_STREAM = 64ll << 20;  // unpacked entry stream
inline constexpr int ROM_SCRATCH_KIND = 83;  // 'S'
inline constexpr int32_t ROM_STREAM_START = 65536;
inline constexpr int64_t PXA_MAX_TEXT = 65536;
inline constexpr int ROM_OPTION_NO_LABEL = 4;
inline constexpr int ROM_OPTION_LABEL_TEXT = 8;
inline constexpr int64_t ROM_TAKE_MIN = 1 << 20;  // a last entry this large keeps the unpacked stream's memory
inline constexpr int64_t ROM_SIZE_HEAD = 32768;  // block bytes read to guess the unpacked stream's size
inline constexpr int64_t ROM_ROOM_PER_BLOCK_BYTE = 4;  // most room guessed per compressed byte

enum : int {
    ROM_ENTRY_END = 0,
    ROM_ENTRY_OK = 1,
    ROM_ENTRY_BAD_NAME = -1,  // empty, or no NUL before the end
    ROM_ENTRY_DOTDOT = -2,    // a ".." segment
    ROM_ENTRY_BAD_SIZE = -3,  // size bytes cut short
    ROM_ENTRY_CUT_SHORT = -4, // fewer data bytes left than the size says
    ROM_ENTRY_BAD_LENGTH = -5, // a size of 2^31 or more (e.size holds it)
};

struct rom_entry {
    const char* name;  // NUL-terminated inside the stream
    int64_t name_len;
    int folder;
    const uint8_t* data;
    int64_t size;  // bytes at data (a cut-short entry: those that are left)
};

// Appends one entry to an entry stream. 0, or -1 when refused: an empty
// name, a NUL or ".." segment in it, or a stream that would pass
// ROM_MAX_STREAM (the stream is then unchanged).
int rom_append_entry(buffer* stream, const char* name, int folder, const uint8_t* data, int64_t len);
// Appends the header and the compressed stream to out. 0, or -1 when the
// stream is over ROM_MAX_STREAM or does not compress (out unchanged).
int rom_pack(buffer* out, const uint8_t* stream, int64_t len);
// 1 when the bytes begin with the ROM magic.
int rom_is_rom(const uint8_t* src, int64_t len);
// The entry stream of a ROM image, or none when it is not one or does not
// decompress within ROM_MAX_STREAM. consumed: header + compressed bytes.
buffer* rom_unpack(const uint8_t* src, int64_t len, int64_t* consumed);
// The bytes an LZ4 block decodes to, summed from its sequences without
// decoding them; -1 when the block is malformed or decodes to more than max.
int64_t lz4_block_size(const uint8_t* src, int64_t len, int64_t max);
// A boundary between an LZ4 block's sequences: block bytes read, stream bytes made.
struct lz4_mark {
    int64_t in, out;
};
// Reads the sequences of an LZ4 block of len bytes from the boundary *at on,
// without decoding them, until the block ends (1) or a sequence ends at or
// past stop block bytes (0); *at moves to where it stopped. -1 when the block
// is malformed there or its stream passes max bytes (*at unchanged).
int lz4_block_walk(const uint8_t* src, int64_t len, int64_t max, int64_t stop, lz4_mark* at);
// Reads the entry at *pos: ROM_ENTRY_OK (pos moved past it), ROM_ENTRY_END,
// or an error code (pos unchanged, except for ROM_ENTRY_CUT_SHORT which
// gives the bytes that are left and moves pos to the end).
int rom_next_entry(const uint8_t* stream, int64_t len, int64_t* pos, rom_entry* e);
// Decodes a legacy pxa block of src_len bytes into at most max bytes of
// text, NUL-terminated (dst holds max + 1 bytes). Returns the text length.
int64_t pxa_decompress(const uint8_t* src, int64_t src_len, uint8_t* dst, int64_t max);
// 1 when the bytes begin with the pxa magic (0, "pxa").
int pxa_is_pxa(const uint8_t* src, int64_t len);

// Appends a ROM image of every RAM file under folder to out. 0, or -1 when
// the tree could not be read back (too large): out is then unchanged.
int write_hvx_rom_from_ram_files(buffer* out, const char* folder, int options);
// Fills the folder at path from a ROM image read from its cursor. Entry
// names carry prefix (the system ROM's are "system/..."), which is taken off:
// "system/boot.lua" with prefix "system/" lands at path + "/boot.lua"; a name
// outside the prefix is a bad entry. A pxa block or a bare text becomes
// path + "/main.lua" (a text up to its first NUL; it counts as read whole
// only when it holds no NUL and is UTF-8). keep_existing leaves files that
// exist. 0 when every entry was read and written; -1 otherwise (entries
// before the fault stay).
int populate_ram_folder_from_hvx_rom_buffer_ex(const char* path, const char* prefix, buffer* rom,
                                               int keep_existing);
int populate_ram_folder_from_hvx_rom_buffer(const char* path, buffer* rom);

// ---------------------------------------------------------------------------
// File history store: "anywhen" in the per-user folder holds one text log per
// UTC day ("anywhen/YYYY-MM/DD.log") and one LZ4 blob per distinct content
// ("anywhen/blob/<hash>.lz4": u32 LE compressed length, u32 LE raw length,
// one LZ4 HC block). The first event of a day writes a snapshot of the whole
// host tree, so each day log stands alone. Log lines, one record a line:
//   "@ moment[ text]"  the records below happened at this moment
//   "$ hash path"      the file now has this content (whole)
//   ": hash path"      the file had this content at the start of the day
//   "+ hash path"      the file equals the base blob with the "|" lines applied
//   "| hex"            38 delta bytes a line
//   "- path", "> path", "^ folder/"   deleted, folder made, folder existed
// The hash is at column 2 (32 hex digits), the path of "$ : +" at column 35.
// ---------------------------------------------------------------------------

inline constexpr int ANYWHEN_BUFFER_KIND = 110;
inline constexpr int64_t ANYWHEN_MAX_FILE = 16777216;   // files this large are not recorded
inline constexpr int64_t ANYWHEN_MAX_RAW = ANYWHEN_MAX_FILE - 1;  // a blob claiming more is missing
inline constexpr int64_t ANYWHEN_DELTA_MAX = 8192;      // longer deltas become whole checkpoints
inline constexpr int64_t ANYWHEN_DELTA_ANY_SIZE = 512;  // deltas this short suit any file
inline constexpr int64_t ANYWHEN_DELTA_RATIO = 16;      // else at most 1/16 of the new length
inline constexpr int ANYWHEN_HEX_LINE_BYTES = 38;
inline constexpr uint32_t ANYWHEN_TABLE_CAPACITY = 65536;
inline constexpr int ANYWHEN_MAX_DEPTH = 1024;
inline constexpr int ANYWHEN_HASH_LEN = 32;
inline constexpr int ANYWHEN_MOMENT_LEN = 19;           // "%Y-%m-%d_%H:%M:%S"
inline constexpr int ANYWHEN_DATE_LEN = 10;
inline constexpr int ANYWHEN_PATH_COLUMN = 35;
// Lines up to this long are read; a longer one is skipped whole (never split,
// so no piece of a long path reads as a record of its own).
inline constexpr int ANYWHEN_LINE_MAX = 4095;
inline constexpr int ANYWHEN_LINE_CHUNK = 32768;
// A location text longer than this is refused as malformed.
inline constexpr int ANYWHEN_LOCATION_MAX = 2047;
inline constexpr int ANYWHEN_FIRST_YEAR = 2024;
inline constexpr int ANYWHEN_MONTHS = 1200;             // Bloom filters from January 2024
inline constexpr int ANYWHEN_BLOOM_ENTRIES = 32768;     // at least; more when a month has more keys
inline constexpr int ANYWHEN_BLOOM_ENTRIES_MAX = 1 << 22;
inline constexpr double ANYWHEN_BLOOM_ERROR = 1e-5;
inline constexpr int ANYWHEN_DAY_TIMES_MAX = 8192;
inline constexpr int ANYWHEN_ATTR_PREFIX = 9;           // characters _anywhen_get_attr skips

enum : int {
    ANYWHEN_FILE_WRITTEN = 0,  // path, host path of the written file
    ANYWHEN_DELETED = 1,       // path
    ANYWHEN_FOLDER_MADE = 2,   // path
    ANYWHEN_MARKER = 3,        // text or none
    ANYWHEN_TURNED_ON = 4,     // nothing: opens (or makes) the day log
};

// Start-up: a new session; the first event reloads the day's table.
void anywhen_open();
void anywhen_close();
// Records one event while the "anywhen" setting is on; always returns 0.
int anywhen_event(int kind, const char* path, const char* host_path);
// Tests watch the events through this observer (none to stop).
void anywhen_set_observer(void (*observer)(int kind, const char* path, const char* host_path));
// The store's clock in UTC seconds since 1970; none restores the host clock.
void anywhen_set_clock(int64_t (*now)());
int64_t anywhen_now();

// Pure pieces, shared by the writer, the queries, tests and the fuzzer.
// 32 lower-case hex digits and a NUL: MurmurHash3 x64 128 (seed 0) of the
// bytes in output order.
void anywhen_hash_hex(const void* data, int64_t length, char out[ANYWHEN_HASH_LEN + 1]);
bool anywhen_is_hash(const char* s);  // 32 lower-case hex digits at s
// "%Y-%m-%d_%H:%M:%S" of a UTC time and a NUL; false outside years 0..9999.
bool anywhen_format_moment(int64_t t, char out[ANYWHEN_MOMENT_LEN + 1]);

struct anywhen_line {
    char kind;          // '@' '$' ':' '+' '|' '-' '>' '^'
    const char* hash;   // "$ : +": 32 hex digits (not NUL-terminated)
    const char* path;   // "$ : + - > ^": to the end of the line
    int32_t path_len;
    const char* moment; // "@": 19 characters
    const char* text;   // "@": the marker text after the moment, or ""; "|": the hex digits
    int32_t text_len;
};
// Splits one log line (no line feed) of len bytes. False for unknown kinds
// and for lines too short for their columns or with a malformed hash.
bool anywhen_parse_line(const char* line, int32_t len, anywhen_line* out);
// Appends one line: kind '$' ':' '+' with a = hash and b = path; '-' '>'
// with a = path; '^' with a = folder (written with a final '/'); '@' with
// a = moment and b = the marker text or none. 0 when the buffer refused to
// grow (or a needed part is missing).
int anywhen_write_line(buffer* out, char kind, const char* a, const char* b);
// Whether a delta of delta_len bytes is kept for a new content of new_len.
bool anywhen_delta_usable(int64_t delta_len, int64_t new_len);
// Appends the "| " lines of a delta (38 bytes a line); 0 when the buffer
// refused to grow.
int anywhen_write_delta_lines(buffer* out, const uint8_t* delta, int64_t len);
// Appends hex digit pairs to out; false for an odd count or a non-hex digit.
bool anywhen_read_hex(buffer* out, const char* hex, int64_t len);
// A blob file for the content; none when it does not compress.
buffer* anywhen_blob_encode(const uint8_t* data, int64_t len);
// The content of a blob file, or none when it is cut short, claims more than
// ANYWHEN_MAX_RAW bytes or more compressed bytes than it holds, does not
// decompress to its raw length, or (with a hash given) does not hash to it;
// why (optional, why_size bytes) then says which.
buffer* anywhen_blob_decode(const uint8_t* file, int64_t len, const char* hash, char* why, size_t why_size);

// A location text: path, one separator, "@", one separator, moment.
struct anywhen_location {
    char path[ANYWHEN_LOCATION_MAX + 1];
    int32_t path_len;
    char moment[ANYWHEN_MOMENT_LEN + 1];  // separators at 10, 13, 16 made '_', ':', ':'
    int32_t moment_len;                   // characters after "@" and its separator
    int32_t year, month, day;             // 0 when the date does not read
};
// False when the text is longer than ANYWHEN_LOCATION_MAX, holds a NUL, or
// has no '@' after at least one character.
bool anywhen_split_location(const char* text, size_t len, anywhen_location* out);

// The log reader: lines without their line feed, trailing characters up to
// 32 stripped (from lines of 3 or more), empty lines skipped.
struct line_iter_state {
    int fd = -1;
    int32_t pos = 0, len = 0;
    bool eof = true;
    bool skipping = false;
    char buf[ANYWHEN_LINE_CHUNK + ANYWHEN_LINE_MAX + 2];
};
bool line_iter_start(line_iter_state* s, const char* host_path);
// The next line's length, its NUL-terminated text in *line (valid until the
// next call); -1 at the end.
int32_t line_iter(line_iter_state* s, const char** line);
void line_iter_end(line_iter_state* s);

// Host paths of the store (false when they do not fit).
bool anywhen_store_path(const char* name, char* out, size_t out_size);
bool anywhen_day_log_path(int year, int month, int day, char* out, size_t out_size);
// A content by hash as the log of that month names it: the month's older raw
// folder first, then the LZ4 blob. None when missing or unusable (logged).
buffer* anywhen_load_blob(int year, int month, const char* hash);

// Queries. Month filters are built on first use and dropped when an event
// touches their month.
void invalidate_bloom_by_month(int year, int month);
void anywhen_free_blooms();
int anywhen_check_location_by_month(const char* key, int year, int month);
int anywhen_check_location_by_day(const char* key, int year, int month, int day);
// The content at a location's moment, or none.
buffer* anywhen_fetch(const char* location, size_t len);

int lua54__fetch_anywhen(lua_State* L);
int lua54__fetch_anywhen_metadata(lua_State* L);
int lua54__list_anywhen_by_day(lua_State* L);
int lua54__list_anywhen_by_loc(lua_State* L);
int lua54__list_anywhen_folder_moment(lua_State* L);
int lua54__anywhen_get_attr(lua_State* L);

// ---------------------------------------------------------------------------
// Object data (vyn): script values as table-constructor text, with an
// optional "--[[vyn ... ]]" metadata header and byte pieces ("str", "lz4",
// "pxu", base64) that may stand where a value stands. Writer and reader work
// on a Lua state's stack and on bytes only; they charge spend_cpu.
// ---------------------------------------------------------------------------

inline constexpr int VYN_FLAG_PXU = 1;       // u8 and i16 userdata as pxu pieces
inline constexpr int VYN_FLAG_LZ4 = 2;       // the whole text as one lz4 piece
inline constexpr int VYN_FLAG_B64 = 4;       // the whole result wrapped as unvyn("b64:...")
inline constexpr int VYN_FLAG_NESTED = 8;    // set on nested values; changes nothing
inline constexpr int VYN_FLAG_RAW_PXU = 16;  // with VYN_FLAG_PXU: u8 userdata unpacked
inline constexpr int VYN_FLAG_STR = 32;      // string values as str pieces

// Tables nested deeper than this are refused by the writer (the whole write
// fails) and by the reader (the document fails). Pieces inside pieces nest
// at most VYN_MAX_PIECE_NESTING deep.
inline constexpr int VYN_MAX_DEPTH = 256;
inline constexpr int VYN_MAX_PIECE_NESTING = 8;
// The writer's text (before packing) and the bytes a document may unpack
// from all its lz4 and base64 pieces together. A table reached many times
// is written each time; a value whose text cannot fit is refused before
// its shared tables are written over and over.
inline constexpr int64_t VYN_MAX_TEXT = 64ll << 20;
inline constexpr int64_t VYN_MAX_UNPACKED = 64ll << 20;
// A table key the writer passes over (a boolean, table or function key)
// counts as this many bytes of text against VYN_MAX_TEXT: it writes nothing,
// but walking it costs about that much, and a table reached many times over
// would otherwise be walked without bound.
inline constexpr int64_t VYN_UNWRITTEN_KEY_BYTES = 16;
// Likewise a pxu piece counts as at least one byte for this many element
// bytes it packs: a run of equal values packs to almost nothing, and one
// userdata reached many times over would be scanned again at every reach.
inline constexpr int64_t VYN_PXU_SCAN_BYTES = 8;
// A value the writer writes costs this many cycles, and so does each entry
// walked while a value holding shared tables is weighed: the weighing walks
// every distinct entry whether the value is then written or refused.
inline constexpr int32_t VYN_ENTRY_CYCLES = 2;
inline constexpr int64_t VYN_MAX_STR_PIECE = 33554431;
inline constexpr int VYN_NUMBER_MAX_CHARS = 44;
inline constexpr int VYN_LZ4_LEVEL = 1;
inline constexpr int VYN_SCRATCH_KIND = 111;  // 'o'
inline constexpr int VYN_OUT_KIND = 112;      // 'p'
inline constexpr int32_t VYN_OUT_SIZE = 256;
inline constexpr int VYN_PIECE_TAG_LEN = 4;   // "str", "lz4", "pxu" and a NUL
inline constexpr int VYN_LZ4_HEAD = 12;       // tag, u32 packed length, u32 text length
inline constexpr const char* VYN_HEADER_PREFIX = "--[[vyn";
inline constexpr const char* VYN_RAW_MARKER = "--[[vyn_format=\"raw\"";
inline constexpr const char* VYN_DEFAULT_HEADER = "--[[vyn]]\n";

// Writer results: 0, or one of these (the output is then as it was before).
enum : int {
    VYN_ERR_DEPTH = -1,  // nested too deep, or a table that holds itself
    VYN_ERR_SIZE = -2,   // text over VYN_MAX_TEXT, or a buffer that could not grow
    VYN_ERR_PACK = -3,   // the packed form could not be made
};
const char* vyn_error_text(int code);  // "vyn: ..." for a writer result

// Appends the vyn text of the value at the stack index to out, written with
// the flags; returns 0 or a VYN_ERR_* code.
int stringify_object(lua_State* L, int index, buffer* out, int flags);

// Bounds a reader's work by what its caller can hold. objects counts tables
// and userdata made; fits(ctx, n) answers whether n more bytes may be
// allocated now. On a refusal the read fails and exceeded is set.
struct vyn_read_limits {
    int64_t object_allowance;  // objects always allowed
    int32_t bytes_per_object;  // one more object per this many bytes of text read
    bool (*fits)(void* ctx, int64_t more_bytes);
    void* ctx;
    const char* exceeded;  // set to the bound that stopped the read
};
// Reads one document (header optional) from length bytes of text and pushes
// its results: 0 (the value did not read), 1 (the value) or 2 (the value and
// the metadata table). The text need not be NUL-terminated.
int destringify_object(lua_State* L, const char* text, int64_t length);
int destringify_object_ex(lua_State* L, const char* text, int64_t length, vyn_read_limits* limits);
// Pushes the metadata table of a document (empty when the header holds no
// fields or there is none); returns 1.
int destringify_object_metadata(lua_State* L, const char* text, int64_t length);
// Bytes of the header with its one optional line feed; 0 without one; the
// whole length when the header is not closed.
int64_t find_metadata_length(const char* text, int64_t length);
// Whether the text is exactly one header: "--[[vyn", up to its first "]]",
// and at most one line feed after that (its fields need not read).
bool vyn_is_one_header(const char* text, int64_t length);

// The text of a finite float as the writer puts it: "%.14g" when that reads
// back to the same double, else the shortest text that does. Non-finite
// values get "%.14g"'s own text. Returns the length (at most
// VYN_FLOAT_TEXT_MAX); out needs VYN_FLOAT_TEXT_MAX + 1 bytes.
inline constexpr int VYN_FLOAT_TEXT_MAX = 32;
int vyn_float_text(double d, char* out);

// pxu pieces: "pxu" NUL, kind ((dims - 1) << 6 | type), flags (mode in the
// high nibble, PXU_FLAG_U32 for 32-bit sizes), width, height for two
// dimensions, then the body of the mode.
inline constexpr int PXU_MODE_RAW = 0x10;
inline constexpr int PXU_MODE_RECENT = 0x20;  // run-length over recently used values
inline constexpr int PXU_MODE_RUNS = 0x80;
inline constexpr int PXU_FLAG_U32 = 8;
inline constexpr int PXU_BITS_U8 = 4;         // slot bits the object writer uses
inline constexpr int PXU_BITS_MAX = 6;
inline constexpr int PXU_LEGACY_MAX_FLAGS = 15;  // an older layout has its width here

struct pxu_header {
    int type;  // element type code
    int dims;  // 1 or 2 (an unknown count is refused)
    uint32_t width;
    uint32_t height;
    int mode;
};
// Appends a pxu piece of the typed userdata block; the bytes written (0 for
// a type and mode that have no body form: only u8 in every mode and i16 in
// PXU_MODE_RUNS have). bits is clamped to 1..PXU_BITS_MAX.
int64_t write_binary_pxu(const uint8_t* block, buffer* out, int bits, int mode);
// Reads the header at the tag; the header's length, or -1 when it is cut
// short or names no known type, dimension count or mode.
int64_t pxu_read_header(const uint8_t* p, int64_t n, pxu_header* h);
// Decodes the body into width x height elements of h's type (a run past the
// end is cut there); the body's length, or -1 when it passes the end of the
// n bytes or its slot bits are out of range.
int64_t pxu_decode_body(const pxu_header* h, const uint8_t* p, int64_t n, uint8_t* elements);

// lz4 pieces: "lz4" NUL, u32 packed length, u32 text length, one LZ4 block.
// Appends the piece of len bytes of text; 0, or -1 (out unchanged).
int vyn_pack_lz4(const uint8_t* text, int64_t len, buffer* out);
// Unpacks the piece at the tag: its length, with the text in a new buffer
// (*text, NUL-terminated); -1 when a length passes the bytes left or
// max_text, or the block does not unpack to its stated length (logged).
int64_t vyn_unpack_lz4(const uint8_t* p, int64_t n, int64_t max_text, buffer** text);

// base64 pieces: unvyn("b64:" + the bytes in base64 + ").
// Appends the wrapper; 0, or -1 (out unchanged).
int vyn_wrap_b64(const uint8_t* bytes, int64_t len, buffer* out);
// The bytes of len characters of base64 text in a new buffer (NUL-
// terminated); none when they would be more than max_bytes.
buffer* vyn_unwrap_b64(const uint8_t* text, int64_t len, int64_t max_bytes);

// Script calls.
int lua54_vyn(lua_State* L);
int lua54_unvyn(lua_State* L);

// ---------------------------------------------------------------------------
// Files for scripts: whole-file helpers, text and PNG cartridges, the image
// codecs, and the path, file-system, fetch and store calls.
// ---------------------------------------------------------------------------

// The whole content of a file opened with mode ("r", "rb", "rf", "rm") in a
// new buffer owned by the caller (cursor 0, NUL-terminated), the file closed
// again; none when it does not open. No record outlives the call, so callers
// may run script code (which can delete files) while they hold the bytes.
buffer* pfile_read_all(const char* path, const char* mode);

// Text cartridges (".hvx"): a banner line, "version 2", an empty line, then
// per entry ":: path" (a folder ends in '/') and its body; ":: [eoc]" ends
// it. Text files stand as they are plus one line feed; other files as
// "b64$" lines (54 bytes, then 57 a line) or "hex$" lines (36, then 38).
inline constexpr const char* HVX_BANNER = "halvoran cartridge // https://halvoran.net";
inline constexpr const char* HVX_INFO_FILE = ".info.vyn";
inline constexpr int HVX_B64_FIRST_LINE = 54;
inline constexpr int HVX_B64_LINE = 57;
inline constexpr int HVX_HEX_FIRST_LINE = 36;
inline constexpr int HVX_HEX_LINE = 38;
inline constexpr int HVX_LINE_MAX = 1024;  // a longer encoded body line is skipped (logged)

// Appends the cartridge of every RAM file under folder; 0, or -1 when out
// could not grow (out is then as it was). Folders first, then text files,
// then the info file and the rest; each record once.
int write_hvx_from_ram_files(buffer* out, const char* folder, int hex);
// Whether a record is written as text: a lua or txt extension (or a path
// holding ".info.vyn"), no "hex$"/"b64$" or ":: " at the start, no line feed
// followed by ":: ", every byte 1..127 but 13.
int is_writeable_as_ascii(const pfile* f);
// Its two halves: the path's (not thread-safe) and the bytes' (pure).
int hvx_text_name_form(const char* path);
int hvx_text_bytes_form(const uint8_t* d, int64_t n);
// Whether the text form carries an entry name unchanged: its bytes are all
// 33..127 (a header's name ends at any other byte).
inline bool hvx_text_name_ok(const char* name, int64_t n) {
    if (n <= 0) return false;
    for (int64_t i = 0; i < n; i++)
        if ((uint8_t)name[i] <= 32 || (uint8_t)name[i] >= 128) return false;
    return true;
}
// Fills the folder from a cartridge text (version 1 or 2): 0 when every entry
// was written where it belongs (a missing end marker only warns), -1 when an
// entry was skipped or the version is unknown.
int populate_ram_folder_from_hvx_buffer(const char* folder, buffer* text);

// QOI, the published format: 14-byte header ("qoif", u32 BE width and
// height, channels, colour space), the six ops, the end marker.
struct qoi_desc {
    uint32_t width;
    uint32_t height;
    uint8_t channels;    // 3 or 4
    uint8_t colorspace;  // 0 sRGB with linear alpha, 1 all linear
};
inline constexpr int QOI_HEADER_SIZE = 14;
inline constexpr int QOI_PADDING_SIZE = 8;
inline constexpr uint32_t QOI_PIXELS_MAX = 400000000;  // height must stay below this / width

// A new malloc'd stream and its length; none for missing arguments, a zero
// side, bad channels or colour space, or too many pixels.
uint8_t* qoi_encode(const void* pixels, const qoi_desc* desc, int* out_len);
// New malloc'd pixels of channels (0: as stored) per pixel, desc filled; none
// for a stream under 22 bytes, a bad header or too many pixels. Pixels past
// the last chunk repeat the last one.
uint8_t* qoi_decode(const void* bytes, int size, qoi_desc* desc, int channels);
// The header alone, checked as qoi_decode checks it: 1 when it would decode.
int qoi_read_header(const void* bytes, int64_t size, qoi_desc* desc);

// PNG through LodePNG. Results are LodePNG's error codes (0 success).
inline constexpr unsigned PNG_ERROR_NO_BUFFER = 100;
inline constexpr unsigned PNG_ERROR_NO_ROOM = 83;  // LodePNG's code for a failed allocation
// The size from the header alone (nothing is decoded or allocated).
unsigned png_read_header(const void* bytes, int64_t size, unsigned* w, unsigned* h);
// Decode the buffer's whole data (cursor reset to 0) into new malloc'd pixels
// (RGBA 8 bits, or the colour type and depth asked for); on an error no
// pixels. Inflation is bounded by the size the header states.
unsigned LodePNG_decode32_pbuffer(uint8_t** out, unsigned* w, unsigned* h, buffer* b);
unsigned LodePNG_decode_pbuffer(uint8_t** out, unsigned* w, unsigned* h, buffer* b, int colour_type,
                                unsigned bit_depth);
// The same on bytes, for work off the frame's thread: new malloc'd pixels
// (RGBA 8 bits), and a new malloc'd PNG of RGBA pixels.
unsigned png_decode32_bytes(uint8_t** out, unsigned* w, unsigned* h, const uint8_t* bytes, int64_t len);
unsigned png_encode32_bytes(const uint8_t* pixels, unsigned w, unsigned h, uint8_t** out, size_t* len);
// Encode with LodePNG's defaults and write the PNG at the buffer's cursor.
unsigned LodePNG_encode32_pbuffer(const uint8_t* pixels, unsigned w, unsigned h, buffer* b);
unsigned LodePNG_encode_pbuffer(const uint8_t* pixels, unsigned w, unsigned h, int colour_type,
                                unsigned bit_depth, buffer* b);

// Pictures decoded for a script become typed userdata: at most this many
// pixels as palette indices (u8) or as 0xAARRGGBB words (i32). Every caller
// checks the header against them before decoding.
inline constexpr int64_t IMAGE_MAX_PIXELS_U8 = 16777216;
inline constexpr int64_t IMAGE_MAX_PIXELS_I32 = IMAGE_MAX_PIXELS_U8 / 4;

// PNG cartridges (".hvx.png"): a 512 x 384 picture whose bytes each carry
// 3 (R, G, B) or 2 (A) bits of the folder's ROM form, least significant
// first. Reading one back is not supported.
inline constexpr int PNG_CART_W = 512;
inline constexpr int PNG_CART_H = 384;
inline constexpr int64_t PNG_CART_PIXELS = (int64_t)PNG_CART_W * PNG_CART_H;
inline constexpr int32_t PNG_CART_MAX_ROM = 0x3FFFF;
inline constexpr int PNG_CART_ROM_OPTIONS = 28;
inline constexpr int32_t PNG_CART_ROM_START = 4096;
inline constexpr int PNG_CART_TOO_LARGE = -2;
inline constexpr const char* PNG_CART_TOO_LARGE_TEXT = "failed to store cartridge rom as png (too large)";
inline constexpr const char* PNG_CART_TEMPLATE = "/system/misc/hvx_cart.png";
inline constexpr uint8_t PNG_CART_BACKGROUND[4] = {40, 40, 48, 255};  // without a template
inline constexpr int LABEL_W = 178;
inline constexpr int LABEL_H = 20;
inline constexpr int LABEL_TEXT_COLOUR = 7;
inline constexpr int LABEL_TITLE_Y = 2;
inline constexpr int LABEL_SECOND_Y = 12;
inline constexpr int64_t LABEL_VERSION_MAX = 199;
inline constexpr int64_t LABEL_AUTHOR_MAX = 799;
inline constexpr int LABEL_PICTURE_W = 480;
inline constexpr int LABEL_PICTURE_H = 270;
inline constexpr int LABEL_PICTURE_X = 16;
inline constexpr int LABEL_PICTURE_Y = 38;
inline constexpr int LABEL_TITLE_X = 80;
inline constexpr int LABEL_TITLE_PX_Y = 326;
inline constexpr int LABEL_SECOND_PX_Y = 354;
inline constexpr uint8_t LABEL_TITLE_RGBA[4] = {208, 208, 208, 255};
inline constexpr uint8_t LABEL_TITLE_LOW_RGBA[4] = {128, 128, 128, 255};
inline constexpr uint8_t LABEL_SECOND_RGBA[4] = {144, 144, 144, 255};
extern const uint32_t label_palette[64];

// Appends the PNG cartridge of the folder: 0; PNG_CART_TOO_LARGE when its ROM
// passes PNG_CART_MAX_ROM; -1 on any other failure. out is written only on 0.
int write_hvx_png_from_ram_files(buffer* out, const char* folder);
// Spreads the ROM's bits over the picture's bytes (zero bits past its end).
void hide_rom_in_picture(uint8_t* picture, int64_t picture_bytes, const uint8_t* rom, int64_t rom_len);
// Draws title and "version by author" of an info file into the label bitmap
// with the drawer the machine installed at start (the graphics code's
// draw_label_text), and marks the label as drawn; with none it stays blank.
void extract_label_text(const buffer* info);
void set_label_text_drawer(void (*draw)(uint8_t* bitmap, const buffer* info));
// The value after key up to the next quote that is not preceded by a
// backslash, and its length; none when empty or unterminated.
const char* extract_info_str(const char* text, int64_t length, const char* key, int64_t* out_len);
uint8_t* label_bitmap_block();  // LABEL_W x LABEL_H u8 typed userdata block, none before the first label
int label_text_drawn();
void populate_ram_folder_from_hvx_png_buffer(const char* folder);

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
