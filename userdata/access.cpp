// Typed userdata from scripts: the constructors, bulk get and set, element
// access by index and letter, text form, size queries, clearing, checksums,
// copies to and from the address space, reinterpretation and row sorting.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lang/lang.h"
#include "core/core.h"
#include "userdata/userdata.h"

const char* ud_arg_text(lua_State* L, int idx, char (&buf)[64]) {
    if (lua_type(L, idx) == LUA_TSTRING) return lua_tostring(L, idx);
    if (lua_type(L, idx) != LUA_TNUMBER) return nullptr;
    if (lua_isinteger(L, idx)) std::snprintf(buf, sizeof buf, "%lld", (long long)lua_tointeger(L, idx));
    else std::snprintf(buf, sizeof buf, "%.14g", (double)lua_tonumber(L, idx));  // as tostring would
    return buf;
}

// A number or numeric string truncated toward zero (NaN 0); 0 otherwise.
static int64_t trunc_arg(lua_State* L, int idx) {
    int isnum = 0;
    double d = lua_tonumberx(L, idx, &isnum);
    return isnum ? hvx_double_to_i64(d, 0) : 0;
}

static void push_element(lua_State* L, const uint8_t* b, int64_t i) {
    const uint8_t* p = ud_data(b);
    switch (ud_type(b)) {
    case UTYPE_U8: lua_pushinteger(L, p[i]); break;
    case UTYPE_I16: {
        int16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        lua_pushinteger(L, v);
        break;
    }
    case UTYPE_I32: {
        int32_t v;
        std::memcpy(&v, p + 4 * i, 4);
        lua_pushinteger(L, v);
        break;
    }
    case UTYPE_I64: {
        int64_t v;
        std::memcpy(&v, p + 8 * i, 8);
        lua_pushinteger(L, v);
        break;
    }
    default: {
        double v;
        std::memcpy(&v, p + 8 * i, 8);
        lua_pushnumber(L, v);
        break;
    }
    }
}

// Stores the value at idx as element i: integers through hvx_intp (low bits
// kept), f64 from a number or numeric string (0.0 otherwise).
static void store_element(lua_State* L, uint8_t* b, int64_t i, int idx) {
    uint8_t* p = ud_data(b);
    int code = ud_type(b);
    if (code == UTYPE_F64) {
        int isnum = 0;
        double v = lua_tonumberx(L, idx, &isnum);
        if (!isnum) v = 0.0;
        std::memcpy(p + 8 * i, &v, 8);
        return;
    }
    uint64_t v = (uint64_t)hvx_intp(L, idx, 0);
    std::memcpy(p + (i << (code & 7) >> 3), &v, (size_t)ud_elem_bytes(code));  // little-endian low bytes
}

// ---------------------------------------------------------------------------
// Constructors
// ---------------------------------------------------------------------------

int lua54_userdata(lua_State* L) {
    int top = lua_gettop(L);
    char buf[64];
    const char* type = ud_arg_text(L, 1, buf);
    int data_idx = top <= 3 ? 3 : 4;
    const char* data = lua_type(L, data_idx) == LUA_TSTRING ? lua_tostring(L, data_idx) : nullptr;
    int sizes = data ? top - 2 : top - 1;
    int64_t width = hvx_intp(L, 2, -1), height = 1, dims = 1;
    if (sizes >= 2) {
        height = hvx_intp(L, 3, -1);
        dims = 2;
    }
    return create_userdata(L, type, dims, width, height, data) ? 1 : 0;
}

int lua54_vec(lua_State* L) {
    if (lua_type(L, 1) != LUA_TNUMBER) return 0;
    int n = lua_gettop(L);
    if (!create_userdata(L, "f64", 1, n, 1, nullptr)) return 0;
    // The new value is the only thing allocated: read the block after it.
    uint8_t* b = to_typed_userdata(L, -1);
    if (!b || ud_elements(b) != n) return 0;
    for (int i = 0; i < n; i++) {
        int isnum = 0;
        double v = lua_tonumberx(L, i + 1, &isnum);
        if (!isnum) v = 0.0;
        std::memcpy(ud_data(b) + 8 * i, &v, 8);
    }
    return 1;
}

// ---------------------------------------------------------------------------
// get and set
// ---------------------------------------------------------------------------

int lua54_get(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    const int dims = ud_dims(b);
    const int64_t w = ud_width(b), h = ud_height(b);
    const int64_t x = hvx_intp(L, 2, 0);
    const int64_t y = dims >= 2 ? hvx_intp(L, 3, 0) : 0;
    int64_t count = hvx_intp(L, dims + 2, 1);
    if (lua_gettop(L) == 1 || lua_type(L, 2) != LUA_TNUMBER) count = w * h;
    if (count < 0) return 0;
    // The 64-bit count is compared first, so 2^32 + 1 cannot pass as 1.
    if (count > LUAI_MAXSTACK || !lua_checkstack(L, (int)count)) {
        log_refusal_once(cproc, LIMIT_LOGGED_GET_STACK, UD_GET_LIMIT_TEXT, (long long)count);
        spend_cpu(UD_GET_REFUSAL_COST);
        return 0;
    }
    if (x < 0 || y < 0 || x >= w || y >= h) {
        lua_pushnumber(L, 0.0);
        return 1;
    }
    const int64_t start = y * w + x;
    const int64_t n = w * h - start < count ? w * h - start : count;
    for (int64_t i = 0; i < n; i++) push_element(L, b, start + i);
    for (int64_t i = n; i < count; i++) lua_pushinteger(L, 0);
    spend_cpu(ud_cost(count / 2));
    return (int)count;
}

int lua54_set(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    const int dims = ud_dims(b);
    const int64_t w = ud_width(b), h = ud_height(b);
    auto coord = [&](int idx) {
        int t = lua_type(L, idx);
        return t == LUA_TNUMBER || t == LUA_TSTRING ? trunc_arg(L, idx) : 0;
    };
    const int64_t x = coord(2), y = dims >= 2 ? coord(3) : 0;
    if (x < 0 || y < 0 || x >= w || y >= h) return 0;
    const int64_t start = y * w + x;
    const int first = dims + 2;
    const int64_t values = lua_gettop(L) - first + 1;
    const int64_t n = w * h - start < values ? w * h - start : values;
    for (int64_t i = 0; i < n; i++) store_element(L, b, start + i, first + (int)i);
    return 0;
}

// ---------------------------------------------------------------------------
// Element access by key
// ---------------------------------------------------------------------------

// Element index of a one-character key; -1 for any other character.
static int letter_index(char c) {
    switch (c) {
    case 'x': return 0;
    case 'y': return 1;
    case 'z': return 2;
    case 'u': return 3;
    case 'v': return 4;
    case 'w': return 5;
    case 't': return 6;
    default: return -1;
    }
}

int lua54_ud_index(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    int64_t i;
    switch (lua_type(L, 2)) {
    case LUA_TNUMBER: {
        int isint = 0;
        i = lua_tointegerx(L, 2, &isint);  // a float without an integer value reads element 0
        break;
    }
    case LUA_TSTRING: {
        size_t len = 0;
        const char* key = lua_tolstring(L, 2, &len);
        if (len != 1) {
            if (!lua_getmetatable(L, 1)) return 0;
            lua_pushvalue(L, 2);
            lua_rawget(L, -2);
            return 1;
        }
        i = letter_index(key[0]);
        break;
    }
    default: return 0;
    }
    if (i < 0 || i >= ud_elements(b)) {
        lua_pushnil(L);
        return 1;
    }
    push_element(L, b, i);
    return 1;
}

int lua54_ud_newindex(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    int64_t i;
    if (lua_type(L, 2) == LUA_TNUMBER) {
        i = hvx_intp(L, 2, -1);  // floored: 2.7 writes element 2
    } else if (lua_type(L, 2) == LUA_TSTRING) {
        size_t len = 0;
        const char* key = lua_tolstring(L, 2, &len);
        if (len != 1) return 0;
        i = letter_index(key[0]);
    } else {
        return 0;
    }
    if (i < 0 || i >= ud_elements(b)) return 0;
    store_element(L, b, i, 3);
    return 0;
}

int lua54_ud_len(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    lua_pushinteger(L, ud_elements(b));
    return 1;
}

int lua54_ud_tostring(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    const int64_t w = ud_width(b), h = ud_height(b);
    double e[12];
    char text[512];
    int shown = 0, rows = 1;
    if (ud_type(b) == UTYPE_F64) {
        if (w == 2 || w == 4 || w == 5) shown = (int)w;
        else if (w == 3) shown = 3, rows = h == 4 ? 4 : 1;
    }
    if (!shown) {
        std::snprintf(text, sizeof text, "userdata: 0x%" PRIxPTR, (uintptr_t)b);
    } else {
        std::memcpy(e, ud_data(b), sizeof(double) * shown * rows);
        int at = 0;
        for (int r = 0; r < rows; r++) {
            at += std::snprintf(text + at, sizeof text - at, r ? ",\n(" : "(");
            for (int c = 0; c < shown; c++)
                at += std::snprintf(text + at, sizeof text - at, c ? ", %0.14g" : "%0.14g", e[r * shown + c]);
            at += std::snprintf(text + at, sizeof text - at, ")");
        }
    }
    lua_pushstring(L, text);
    return 1;
}

// ---------------------------------------------------------------------------
// Queries, clearing, checksum
// ---------------------------------------------------------------------------

int lua54_ud_width(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    lua_pushinteger(L, ud_width(b));
    return 1;
}

int lua54_ud_height(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    if (ud_dims(b) < 2) lua_pushnil(L);
    else lua_pushinteger(L, ud_height(b));
    return 1;
}

int lua54_ud_attribs(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    lua_pushinteger(L, ud_width(b));
    lua_pushinteger(L, ud_height(b));
    lua_pushstring(L, get_utype_string(b[0] & UTYPE_MASK));  // a static name: nothing held across it
    lua_pushinteger(L, ud_dims(b));
    return 4;
}

int lua54_ud_clear(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    int64_t bytes = ud_byte_count(b);
    std::memset(ud_data(b), 0, (size_t)bytes);
    spend_cpu(ud_cost(bytes >> UD_CLEAR_COST_SHIFT));
    return 0;
}

int lua54_ud_crc(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    lua_pushinteger(L, crc32b(ud_data(b), ud_byte_count(b)));
    spend_cpu(ud_cost(ud_byte_count(b) >> UD_CRC_COST_SHIFT));
    return 1;
}

// ---------------------------------------------------------------------------
// Copies to and from the address space
// ---------------------------------------------------------------------------

static int peek_poke(lua_State* L, bool to_space) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b || ud_type(b) == UTYPE_F64) return 0;
    const int64_t n = ud_elements(b);
    const int64_t address = hvx_intp(L, 2, 0);
    int64_t offset = hvx_intp(L, 3, 0), room = n;
    if (offset < 0) offset = 0;
    else room = n - offset;
    int64_t count = hvx_intp(L, 4, n);
    if (count > room) count = room;
    if (count >= 1 && cproc) {
        const int esize = ud_elem_bytes(ud_type(b));
        uint8_t* data = ud_data(b) + offset * esize;
        // Element i lies at address + i * size, little-endian like the
        // storage: one byte run, wrapping at 24 bits.
        if (to_space) hvx_write_run(cproc, (uint32_t)address, data, count * esize);
        else hvx_read_run(cproc, (uint32_t)address, data, count * esize);
    }
    spend_cpu(ud_cost(count >> UD_PEEK_COST_SHIFT));
    lua_pushvalue(L, 1);
    return 1;
}

int lua54_ud_peek(lua_State* L) { return peek_poke(L, false); }
int lua54_ud_poke(lua_State* L) { return peek_poke(L, true); }

// ---------------------------------------------------------------------------
// mutate
// ---------------------------------------------------------------------------

int lua54_ud_mutate(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    char buf[64];
    const int code = str_to_utype(ud_arg_text(L, 2, buf));
    const int old = ud_type(b);
    int64_t w = lua_type(L, 3) == LUA_TNUMBER || lua_type(L, 3) == LUA_TSTRING ? trunc_arg(L, 3) : 0;
    int64_t h = lua_type(L, 4) == LUA_TNUMBER || lua_type(L, 4) == LUA_TSTRING ? trunc_arg(L, 4) : 0;
    const bool w_given = lua_isnumber(L, 3), h_given = lua_isnumber(L, 4);
    if (old != code && (old == UTYPE_F64 || code == UTYPE_F64)) {
        lua_pushstring(L, UD_MUTATE_TYPE_TEXT);
        return 1;
    }
    if (w < 1) w = (int64_t)ud_elem_bytes(old) * ud_width(b) / ud_elem_bytes(code);
    if (h < 1) h = w_given && !h_given ? 1 : ud_height(b);
    // A side outside 1..2^24 never fits and would make an unreadable header.
    if (w < 1 || h < 1 || w > UD_MAX_ELEMENTS || h > UD_MAX_ELEMENTS ||
        ud_byte_count(b) < w * h * ud_elem_bytes(code)) {
        lua_pushstring(L, UD_MUTATE_SIZE_TEXT);
        return 1;
    }
    int dims = w_given ? (h_given ? 2 : 1) : ud_dims(b);
    ud_write_header(b, code, dims, (uint32_t)w, (uint32_t)h);
    return 0;
}

// ---------------------------------------------------------------------------
// sort
// ---------------------------------------------------------------------------

// The sort's key column, direction and comparison count (sorting is not
// re-entrant: the comparators call nothing that could start another).
static int64_t sort_key;
static int sort_sign;
static int64_t sort_comparisons;

template <typename T>
static int compare_rows(const void* l, const void* r) {
    sort_comparisons++;
    T a, b;
    std::memcpy(&a, (const uint8_t*)l + sort_key * (int64_t)sizeof(T), sizeof a);
    std::memcpy(&b, (const uint8_t*)r + sort_key * (int64_t)sizeof(T), sizeof b);
    // Neither less nor greater (a NaN) counts as equal.
    return a < b ? -sort_sign : a > b ? sort_sign : 0;
}

static int compare_u8(const void* l, const void* r) { return compare_rows<uint8_t>(l, r); }
static int compare_i16(const void* l, const void* r) { return compare_rows<int16_t>(l, r); }
static int compare_i32(const void* l, const void* r) { return compare_rows<int32_t>(l, r); }
static int compare_i64(const void* l, const void* r) { return compare_rows<int64_t>(l, r); }
static int compare_f64(const void* l, const void* r) { return compare_rows<double>(l, r); }

int lua54_ud_sort(lua_State* L) {
    uint8_t* b = to_typed_userdata(L, 1);
    if (!b) return 0;
    const int code = ud_type(b);
    const int64_t key = hvx_intp(L, 2, 0);
    const bool descending = lua_gettop(L) > 2 && lua_toboolean(L, 3);
    int64_t rows = ud_height(b), row_len = ud_width(b);
    if (rows < 2) rows = ud_elements(b), row_len = 1;
    if (key < 0 || key >= row_len) return 0;
    const int64_t row_bytes = row_len * ud_elem_bytes(code);
    sort_key = key;
    sort_sign = descending ? -1 : 1;
    sort_comparisons = 0;
    int (*cmp)(const void*, const void*) = code == UTYPE_U8    ? compare_u8
                                           : code == UTYPE_I16 ? compare_i16
                                           : code == UTYPE_I32 ? compare_i32
                                           : code == UTYPE_I64 ? compare_i64
                                                               : compare_f64;
    std::qsort(ud_data(b), (size_t)rows, (size_t)row_bytes, cmp);
    const int64_t comparisons = sort_comparisons;
    spend_cpu(ud_cost((row_bytes / 128 + 1) * (comparisons * 3 / 4)));
    lua_pushinteger(L, comparisons);
    return 1;
}
