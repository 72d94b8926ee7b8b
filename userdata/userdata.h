// Typed userdata: one- and two-dimensional arrays of u8, i16, i32, i64 and f64.
//
// A typed userdata is one Lua full userdata (no user values): a 16-byte
// header, then the elements row-major, padded to a multiple of 8 bytes and
// zero-filled at creation. Graphics, storage and the address space read this
// layout directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/charges.h"

struct lua_State;

inline constexpr uint8_t UTYPE_U8 = 3;
inline constexpr uint8_t UTYPE_I16 = 12;
inline constexpr uint8_t UTYPE_I32 = 13;
inline constexpr uint8_t UTYPE_I64 = 14;
inline constexpr uint8_t UTYPE_F64 = 22;
inline constexpr uint8_t UTYPE_MASK = 31;  // readers look at the low 5 bits only
inline constexpr int UTYPE_NAMES = 23;     // utype_string entries (codes 0..22)

inline constexpr size_t UD_HEADER_SIZE = 16;
inline constexpr int64_t UD_MAX_STORAGE = 16777216;  // padded element bytes
inline constexpr int64_t UD_MAX_SIDE = 0x7FFFFFFF;   // width and height as signed 32-bit
inline constexpr int64_t UD_MAX_ELEMENTS = 16777216;  // u8 elements that fit the storage
// Written into the header's spare word so that host code can tell our values
// from any other full userdata a script might hand over.
inline constexpr uint32_t UD_MARK = 0x31445554;
inline constexpr int USERDATA_METHODS = 59;

struct typed_userdata_header {
    uint8_t type;  // UTYPE_* (mask with UTYPE_MASK)
    uint8_t dims;  // 1 or 2
    uint8_t pad[2];
    uint32_t width;
    uint32_t height;
    uint32_t mark;  // UD_MARK
};
static_assert(sizeof(typed_userdata_header) == UD_HEADER_SIZE);
static_assert(offsetof(typed_userdata_header, dims) == 1);
static_assert(offsetof(typed_userdata_header, width) == 4);
static_assert(offsetof(typed_userdata_header, height) == 8);
static_assert(offsetof(typed_userdata_header, mark) == 12);

inline int ud_type(const uint8_t* block) { return block[0] & UTYPE_MASK; }
inline int ud_dims(const uint8_t* block) { return block[1]; }
inline uint32_t ud_width(const uint8_t* block) {
    uint32_t v;
    std::memcpy(&v, block + 4, 4);
    return v;
}
inline uint32_t ud_height(const uint8_t* block) {
    uint32_t v;
    std::memcpy(&v, block + 8, 4);
    return v;
}
inline uint8_t* ud_data(uint8_t* block) { return block + UD_HEADER_SIZE; }
inline const uint8_t* ud_data(const uint8_t* block) { return block + UD_HEADER_SIZE; }
inline int ud_elem_bytes(int code) { return (1 << (code & 7)) >> 3; }
// Element bytes of a value (width x height x element size), without overflow.
inline int64_t ud_byte_count(const uint8_t* block) {
    return (int64_t)((((uint64_t)ud_width(block) * ud_height(block)) << (block[0] & 7)) >> 3);
}
inline int64_t ud_padded(int64_t bytes) { return (bytes + 7) & ~(int64_t)7; }
inline int64_t ud_elements(const uint8_t* block) { return (int64_t)ud_width(block) * ud_height(block); }
// A cost for spend_cpu: computed in 64 bits, saturated to 32.
inline int32_t ud_cost(int64_t c) { return c > INT32_MAX ? INT32_MAX : c < INT32_MIN ? INT32_MIN : (int32_t)c; }

// Writes type, dims, width, height and the mark (callers zero the storage).
void ud_write_header(uint8_t* block, int code, int dims, uint32_t width, uint32_t height);
uint8_t* get_null_sprite();  // zeroed 16x16 u8 typed userdata block, shared

// Makes a typed userdata, pushes it and returns its block; on refusal (bad
// dims, a side outside 1..2^31-1, storage over 16 MB) pushes nothing, charges
// nothing and returns none. type may be none (u8) or an old "[gfx]"/"[map]"
// initialiser; data may be none. Charges its cost with spend_cpu.
uint8_t* create_userdata(lua_State* L, const char* type, int64_t dims, int64_t width, int64_t height,
                         const char* data);
// Pushes a byte copy of a typed userdata (header and storage). Charges nothing.
uint8_t* push_duplicate_userdata(lua_State* L, const uint8_t* block);
const char* get_utype_string(int code);  // "u8", "i16", "i32", "i64", "f64" or "?"
int str_to_utype(const char* text);
// The block of the value at idx when it is a typed userdata made here; none
// for anything else (light userdata, other full userdata, other types). A
// value mutated to a smaller size keeps its larger storage.
uint8_t* to_typed_userdata(lua_State* L, int idx);
// True for a userdata (full or light) that is not one of ours: refused
// wherever a typed userdata may stand.
bool ud_is_foreign(lua_State* L, int idx);

// The USERDATA method table, in its stored order.
struct userdata_method {
    const char* name;
    int (*fn)(lua_State*);
};
// A method of a subsystem above this one (blit, the graphics code's) is none
// here until the machine sets it at start, so the order never changes.
extern userdata_method userdata_methods[USERDATA_METHODS];
void set_userdata_method(const char* name, int (*fn)(lua_State*));
// Builds the method table and stores it as the global USERDATA.
void add_userdata_metatable_functions(lua_State* L);

// ---------------------------------------------------------------------------
// Element access and methods
// ---------------------------------------------------------------------------

// get: a count beyond the script engine's stack limit returns nothing; the
// refusal is logged once per process (with the count) and charged for the
// arguments and the stack it checked.
inline constexpr const char* UD_GET_LIMIT_TEXT = "get refused: %lld results would pass the stack limit";
inline constexpr const char* UD_MUTATE_TYPE_TEXT = "can not mutate between integer and float data types";
inline constexpr const char* UD_MUTATE_SIZE_TEXT = "new size is larger than old size";

int lua54_userdata(lua_State* L);
int lua54_vec(lua_State* L);
int lua54_get(lua_State* L);  // the global get and the method
int lua54_set(lua_State* L);  // the global set and the method
int lua54_ud_index(lua_State* L);
int lua54_ud_newindex(lua_State* L);
int lua54_ud_len(lua_State* L);
int lua54_ud_tostring(lua_State* L);
int lua54_ud_width(lua_State* L);
int lua54_ud_height(lua_State* L);
int lua54_ud_attribs(lua_State* L);
int lua54_ud_clear(lua_State* L);
int lua54_ud_crc(lua_State* L);
int lua54_ud_peek(lua_State* L);
int lua54_ud_poke(lua_State* L);
int lua54_ud_mutate(lua_State* L);
int lua54_ud_sort(lua_State* L);

// Argument idx as text when it is a string or a number (a number is
// formatted into buf, leaving the stack as it is); none otherwise.
const char* ud_arg_text(lua_State* L, int idx, char (&buf)[64]);

// ---------------------------------------------------------------------------
// Element-wise engine
// ---------------------------------------------------------------------------
//
// Every element-wise method is one operation of this engine: a kernel
// op(left, right) applied along a walk of destination positions d (read in a,
// written in the destination) and source positions s (read in b). Span q
// (0 <= q < spans), element e (0 <= e < len) pairs
//   d = dst_off + q * dst_stride + e,  s = src_off + q * src_stride + e;
// a pair is visited only when d lies in a and s in b. The walk runs span by
// span, or element position by element position when len < spans, and every
// element is read just before its own write, so aliased operands see the
// values written earlier in the walk.

enum ud_op : int {
    UD_OP_ADD, UD_OP_SUB, UD_OP_MUL, UD_OP_MIN, UD_OP_MAX, UD_OP_COPY,
    UD_OP_DIV, UD_OP_IDIV, UD_OP_MOD, UD_OP_POW,
    UD_OP_BAND, UD_OP_BOR, UD_OP_BXOR, UD_OP_SHL, UD_OP_SHR,
    UD_OP_SGN, UD_OP_SGN0, UD_OP_ABS,
    UD_OP_COUNT
};

// Operand forms: two arrays, a number second, a number first. The one-operand
// operations (sgn, sgn0, abs) use the right operand: f(b[s]), f(n), f(a[d]).
enum ud_form : int { UD_FORM_AB, UD_FORM_AN, UD_FORM_NA };

struct ud_walk {
    int32_t src_off = 0, dst_off = 0;
    int32_t len = 0x1000000;
    int32_t src_stride = 1, dst_stride = 1;
    int32_t spans = 1;
};

// A call whose element operations (or, for take, elements copied) would
// pass this is refused before it starts: one pass over the largest value,
// some 20 ms of host work for the cheap operations. Dearer operations get a
// share of it, so that no call holds the host much longer.
inline constexpr int64_t UD_WALK_CAP = UD_MAX_ELEMENTS;
inline constexpr int UD_WALK_WEIGHT_DIV = 2;  // div, idiv, mod
inline constexpr int UD_WALK_WEIGHT_POW = 8;  // a whole f64 value still fits
// The cap on op's element operations.
int64_t ud_walk_cap(int op);

// The outer count the cost formula uses (len or spans, by walk order).
int64_t ud_walk_outer(const ud_walk& w);
// Element operations the walk performs over arrays of na and nb elements (nb
// below 0: no b); -1 when that passes cap.
int64_t ud_walk_count(const ud_walk& w, int64_t na, int64_t nb, int64_t cap = UD_WALK_CAP);
// True when op has a kernel for the element type (no bitwise f64).
bool ud_op_supports(int op, int code);
// Runs op over raw element storage. dst, a and b hold na, na and nb elements
// of type code (b none and nb ignored unless form is UD_FORM_AB); they may
// alias one another. n is the number operand, converted to the element type.
// Returns the element operations performed (the caller checks the cap first).
int64_t ud_elementwise(int op, int code, int form, uint8_t* dst, const uint8_t* a, const uint8_t* b,
                       int64_t na, int64_t nb, double n, const ud_walk& w);
// Cost divisor of op for the element type.
int ud_op_divisor(int op, int code);

// Floor modulo of two 64-bit integers and of two doubles (0 for a zero
// divisor), and the bitwise or of two 64-bit values.
int64_t VOP_MOD(int64_t a, int64_t b);
double VOP_MODF(double a, double b);
int64_t VOP_BOR(int64_t a, int64_t b);

int lua54_ud_add(lua_State* L);
int lua54_ud_sub(lua_State* L);
int lua54_ud_mul(lua_State* L);
int lua54_ud_min(lua_State* L);
int lua54_ud_max(lua_State* L);
int lua54_ud_copy(lua_State* L);
int lua54_ud_div(lua_State* L);
int lua54_ud_idiv(lua_State* L);
int lua54_ud_mod(lua_State* L);
int lua54_ud_pow(lua_State* L);
int lua54_ud_band(lua_State* L);
int lua54_ud_bor(lua_State* L);
int lua54_ud_bxor(lua_State* L);
int lua54_ud_shl(lua_State* L);
int lua54_ud_shr(lua_State* L);
int lua54_ud_sgn(lua_State* L);
int lua54_ud_sgn0(lua_State* L);
int lua54_ud_abs(lua_State* L);

// ---------------------------------------------------------------------------
// Gather and type conversion
// ---------------------------------------------------------------------------

// take with an index stride of 0 gathers at most this many times.
inline constexpr int64_t UD_TAKE_MAX_REPEAT = 16777216;

int lua54_ud_take(lua_State* L);
int lua54_ud_convert(lua_State* L);
// Converts n elements of type from_code to type to_code (different types).
void ud_convert_run(int from_code, const uint8_t* src, int to_code, uint8_t* dst, int64_t n);
// Cost divisor of a conversion between two element types.
int ud_convert_divisor(int from_code, int to_code);

// ---------------------------------------------------------------------------
// Vector and matrix operations
// ---------------------------------------------------------------------------

inline constexpr int UD_SCRATCH_KIND = 115;  // buffer kind of the two scratch copies
inline constexpr int32_t UD_SCRATCH_SIZE = 1024;
inline constexpr int64_t UD_LERP_MAX_ARG = 16777216;  // larger lerp arguments are refused
// lerp also refuses more than UD_WALK_CAP elements written (count x spans).

int lua54_ud_dot(lua_State* L);
int lua54_ud_magnitude(lua_State* L);
int lua54_ud_distance(lua_State* L);
int lua54_ud_cross(lua_State* L);
int lua54_ud_lerp(lua_State* L);
int lua54_ud_row(lua_State* L);
int lua54_ud_column(lua_State* L);
// transpose charges one cycle per 2^UD_TRANSPOSE_COST_SHIFT elements it
// moves (core/charges.h).
int lua54_ud_transpose(lua_State* L);
// matmul charges (a.height x a.width x b.width) >> 3; it works that out
// first and refuses (no result) a product that would cost more than this:
// 2^26 multiply-adds, about 50 ms of host work (a 406 x 406 product fits, a
// 407 x 407 one does not).
inline constexpr int64_t UD_MATMUL_MAX_COST = (int64_t)1 << 23;
// The cost of a product of the given sides (each below 2^32), exactly.
int64_t ud_matmul_cost(uint32_t a_height, uint32_t a_width, uint32_t b_width);

int lua54_ud_matmul(lua_State* L);
int lua54_ud_matmul2d(lua_State* L);
int lua54_ud_matmul3d(lua_State* L);
// out (h x ow) = a (h x aw) times b (aw x ow), each sum in order of m from
// 0.0. out may not alias a or b.
void ud_matmul_rows(double* out, const double* a, const double* b, int64_t h, int64_t aw, int64_t ow);
// out(r, c) = in(c, r) for r < rows, c < cols; in has in_w columns, out out_w.
void ud_transpose_copy(int code, uint8_t* out, int64_t out_w, const uint8_t* in, int64_t in_w, int64_t rows,
                       int64_t cols);
