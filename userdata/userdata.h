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
// Written into the header's spare word so that host code can tell our values
// from any other full userdata a script might hand over.
inline constexpr uint32_t UD_MARK = 0x31445554;
inline constexpr int USERDATA_METHODS = 59;
inline constexpr int UD_BASE_COST = 8;  // + padded bytes / 16

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

// Writes type, dims, width, height and the mark (callers zero the storage).
void ud_write_header(uint8_t* block, int code, int dims, uint32_t width, uint32_t height);

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
// for anything else (light userdata, other full userdata, other types).
uint8_t* to_typed_userdata(lua_State* L, int idx);

// The USERDATA method table, in its stored order. Entries whose host
// function is not there yet are left out of the table.
struct userdata_method {
    const char* name;
    int (*fn)(lua_State*);
};
extern const userdata_method userdata_methods[USERDATA_METHODS];
// Builds the method table and stores it as the global USERDATA.
void add_userdata_metatable_functions(lua_State* L);
