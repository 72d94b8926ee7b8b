// Object data (vyn): the writer and reader of script values as text, and the
// byte pieces inside it.
#pragma once

#include <cstdint>

#include "core/core.h"
#include "core/charges.h"

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
