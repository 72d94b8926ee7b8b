// Byte formats, codecs and hashes: pure functions over bytes that the file
// system, the cartridges, the history store and the script calls share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/core.h"
#include "core/charges.h"

// A little-endian u32 at p (four readable bytes).
inline uint32_t load_u32_le(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
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
// Pictures: QOI and PNG, and the bounds of a decoded picture
// ---------------------------------------------------------------------------

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
