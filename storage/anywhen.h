// The file history store: its day logs and blobs, the writer's events, and
// the queries over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/charges.h"

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

// Whether the 19 characters at s are a moment as the writer formats them
// (digits where digits go, the separators, months, days and times in range).
bool anywhen_is_moment(const char* s);

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
// and for lines too short for their columns or with a malformed hash or
// moment.
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
    int64_t lines = 0, bytes = 0;  // given and read so far, for the charge of a walk
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
// The content at a location's moment, or none: what the path's latest record
// at or before it (by moment, then log order) left.
buffer* anywhen_fetch(const char* location, size_t len);
// Times of day ("HH:MM:SS") at which the file, or something new in the
// folder, changed on the location's day; in log order, each once (at its
// last place). False when the location is malformed.
bool anywhen_list_by_day(const std::string& text, std::vector<std::string>* times);

// A version fetched is decoded as fetch decodes a file, by the reader
// pfile_init installs (unvyn_from_fetched_buffer); none pushes nothing.
void anywhen_set_content_reader(int (*read)(lua_State* L, const buffer* b, const char* path, int flags));
int lua54__fetch_anywhen(lua_State* L);
int lua54__fetch_anywhen_metadata(lua_State* L);
int lua54__list_anywhen_by_day(lua_State* L);
int lua54__list_anywhen_by_loc(lua_State* L);
int lua54__list_anywhen_folder_moment(lua_State* L);
int lua54__anywhen_get_attr(lua_State* L);
