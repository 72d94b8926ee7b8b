// Typed userdata values: creation from sizes and text initialisers,
// duplication, type names and the USERDATA method table.
#include "userdata/userdata.h"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "lang/lang.h"
#include "core/core.h"

static_assert(std::endian::native == std::endian::little, "elements are stored little-endian");

static const char* const utype_string[UTYPE_NAMES] = {
    "?", "?", "?", "u8", "?", "?", "?", "?", "?", "?", "?", "?",
    "i16", "i32", "i64", "?", "?", "?", "?", "?", "?", "?", "f64"};

userdata_method userdata_methods[USERDATA_METHODS] = {
    {"sort", lua54_ud_sort},
    {"convert", lua54_ud_convert},
    {"copy", lua54_ud_copy},
    {"take", lua54_ud_take},
    {"clear", lua54_ud_clear},
    {"__add", lua54_ud_add},
    {"__sub", lua54_ud_sub},
    {"__mul", lua54_ud_mul},
    {"__div", lua54_ud_div},
    {"__idiv", lua54_ud_idiv},
    {"__mod", lua54_ud_mod},
    {"__pow", lua54_ud_pow},
    {"__band", lua54_ud_band},
    {"__bor", lua54_ud_bor},
    {"__bxor", lua54_ud_bxor},
    {"__shl", lua54_ud_shl},
    {"__shr", lua54_ud_shr},
    {"add", lua54_ud_add},
    {"sub", lua54_ud_sub},
    {"mul", lua54_ud_mul},
    {"div", lua54_ud_div},
    {"idiv", lua54_ud_idiv},
    {"mod", lua54_ud_mod},
    {"pow", lua54_ud_pow},
    {"band", lua54_ud_band},
    {"bor", lua54_ud_bor},
    {"bxor", lua54_ud_bxor},
    {"shl", lua54_ud_shl},
    {"shr", lua54_ud_shr},
    {"max", lua54_ud_max},
    {"min", lua54_ud_min},
    {"abs", lua54_ud_abs},
    {"sgn", lua54_ud_sgn},
    {"sgn0", lua54_ud_sgn0},
    {"__len", lua54_ud_len},
    {"__tostring", lua54_ud_tostring},
    {"__index", lua54_ud_index},
    {"__newindex", lua54_ud_newindex},
    {"set", lua54_set},
    {"get", lua54_get},
    {"blit", nullptr},  // the graphics code's (set_userdata_method)
    {"peek", lua54_ud_peek},
    {"poke", lua54_ud_poke},
    {"width", lua54_ud_width},
    {"height", lua54_ud_height},
    {"attribs", lua54_ud_attribs},
    {"mutate", lua54_ud_mutate},
    {"lerp", lua54_ud_lerp},
    {"magnitude", lua54_ud_magnitude},
    {"distance", lua54_ud_distance},
    {"dot", lua54_ud_dot},
    {"cross", lua54_ud_cross},
    {"matmul", lua54_ud_matmul},
    {"matmul3d", lua54_ud_matmul3d},
    {"matmul2d", lua54_ud_matmul2d},
    {"transpose", lua54_ud_transpose},
    {"row", lua54_ud_row},
    {"column", lua54_ud_column},
    {"crc", lua54_ud_crc},
};

const char* get_utype_string(int code) {
    return code >= 0 && code < UTYPE_NAMES ? utype_string[code] : "?";
}

int str_to_utype(const char* text) {
    if (!text || !text[0]) return UTYPE_U8;
    int code = text[0] == 'f' ? UTYPE_F64 : text[0] == 'i' ? UTYPE_I64 : UTYPE_U8;
    if (text[1] == '3') code = UTYPE_I32;
    else if (text[1] == '1') code = UTYPE_I16;
    return code;
}

void ud_write_header(uint8_t* block, int code, int dims, uint32_t width, uint32_t height) {
    typed_userdata_header h{};
    h.type = (uint8_t)code;
    h.dims = (uint8_t)dims;
    h.width = width;
    h.height = height;
    h.mark = UD_MARK;
    std::memcpy(block, &h, sizeof h);
}

// Hex digit values; any other character counts 0 (and is consumed).
static const struct hex_table {
    uint8_t v[256];
    constexpr hex_table() : v{} {
        for (int c = '0'; c <= '9'; c++) v[c] = (uint8_t)(c - '0');
        for (int c = 'a'; c <= 'f'; c++) v[c] = (uint8_t)(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; c++) v[c] = (uint8_t)(c - 'A' + 10);
    }
} hex_values;

// Reads `digits` hex digits, most significant first. A text that ends
// before the last digit gives 0 and leaves s at the end.
static inline uint64_t read_hex(const char*& s, const char* end, int digits) {
    if (end - s < digits) {
        s = end;
        return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < digits; i++) v = (v << 4) | hex_values.v[(uint8_t)s[i]];
    s += digits;
    return v;
}

static uint8_t gfx_digit(char c) {
    if (c >= '0' && c <= '9') return (uint8_t)(c - '0');
    if (c >= 'a' && c <= 'z') return (uint8_t)(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z') return (uint8_t)(c - 'A' + 36);
    if (c == '_') return 62;
    if (c == '-') return 63;
    return 0;
}

static void set_metatable_from_global(lua_State* L) {
    lua_getglobal(L, "USERDATA");
    if (lua_type(L, -1) == LUA_TTABLE) lua_setmetatable(L, -2);
    else lua_pop(L, 1);
}

static void fill_from_text(uint8_t* block, int code, int64_t storage, const char* data) {
    uint8_t* out = ud_data(block);
    int64_t count = ud_elements(block);
    size_t len = strlen(data);
    if (std::strncmp(data, "[gfx]", 5) == 0) {
        if (len < 9) return;
        const char* s = data + 9;
        for (int64_t i = 0; i < count && *s; i++) out[i] = gfx_digit(*s++);
        return;
    }
    const char* end = data + len;
    if (std::strncmp(data, "[map]", 5) == 0) {
        if (len < 9) return;
        const char* s = data + 9;
        // Never more 16-bit slots than the storage holds, whatever the type.
        int64_t slots = count < storage / 2 ? count : storage / 2;
        for (int64_t i = 0; i < slots && s < end; i++) {
            int16_t v = (int16_t)(uint16_t)read_hex(s, end, 4);
            std::memcpy(out + 2 * i, &v, 2);
        }
        return;
    }
    const char* s = data;
    if (std::strncmp(s, "hex:", 4) == 0) s += 4;
    int digits = 2 * ud_elem_bytes(code);
    switch (code) {
    case UTYPE_U8: {
        // Whole pairs only: a lone last digit leaves its element 0.
        int64_t n = (end - s) / 2 < count ? (end - s) / 2 : count;
        const uint8_t* hx = hex_values.v;
        for (int64_t i = 0; i < n; i++)
            out[i] = (uint8_t)(hx[(uint8_t)s[2 * i]] << 4 | hx[(uint8_t)s[2 * i + 1]]);
        break;
    }
    case UTYPE_I16:
    case UTYPE_I32:
    case UTYPE_I64:
        for (int64_t i = 0; i < count && s < end; i++) {
            uint64_t v = read_hex(s, end, digits);
            std::memcpy(out + (digits / 2) * i, &v, (size_t)(digits / 2));  // little-endian low bytes
        }
        break;
    case UTYPE_F64:
        // strtod reads what a "%lf" scan reads, without rescanning the rest
        // of the text on every call.
        for (int64_t i = 0; i < count && *s; i++) {
            char* stop = nullptr;
            double v = std::strtod(s, &stop);
            if (stop == s) v = 0;
            std::memcpy(out + 8 * i, &v, 8);
            const char* q = s;
            while (*q && *q != ',' && *q != '"' && *q != ')') q++;
            if (*q == '"' || *q == ')') break;  // stuck there: every later element stays 0
            s = *q ? q + 1 : q;
        }
        break;
    }
}

uint8_t* create_userdata(lua_State* L, const char* type, int64_t dims, int64_t width, int64_t height,
                         const char* data) {
    int code = str_to_utype(type);
    if (dims < 2) height = 1;
    if (type && (std::strncmp(type, "[gfx]", 5) == 0 || std::strncmp(type, "[map]", 5) == 0) &&
        strlen(type) > 8) {
        width = hex_values.v[(uint8_t)type[5]] * 16 + hex_values.v[(uint8_t)type[6]];
        height = hex_values.v[(uint8_t)type[7]] * 16 + hex_values.v[(uint8_t)type[8]];
        code = type[1] == 'g' ? UTYPE_U8 : UTYPE_I16;
        dims = 2;
        data = type;
    } else if (dims != 1 && dims != 2) {
        return nullptr;
    }
    if (width < 1 || height < 1 || width > UD_MAX_SIDE || height > UD_MAX_SIDE) return nullptr;
    int64_t count = width * height;  // below 2^62
    if (count > UD_MAX_STORAGE) return nullptr;  // every element takes at least a byte
    int64_t bytes = (count << (code & 7)) >> 3;
    int64_t storage = ud_padded(bytes);
    if (storage < 1 || storage > UD_MAX_STORAGE) return nullptr;

    uint8_t* block = (uint8_t*)lua_newuserdatauv(L, UD_HEADER_SIZE + (size_t)storage, 0);
    set_metatable_from_global(L);
    ud_write_header(block, code, (int)dims, (uint32_t)width, (uint32_t)height);
    std::memset(ud_data(block), 0, (size_t)storage);
    if (data) spend_cpu((int32_t)((count * (8 << ((code & 7) - 3))) / 32));
    spend_cpu((int32_t)(storage / 16 + UD_BASE_COST));
    if (data) fill_from_text(block, code, storage, data);
    return block;
}

uint8_t* push_duplicate_userdata(lua_State* L, const uint8_t* block) {
    size_t size = UD_HEADER_SIZE + (size_t)ud_padded(ud_byte_count(block));
    uint8_t* copy = (uint8_t*)lua_newuserdatauv(L, size, 0);
    std::memcpy(copy, block, size);
    set_metatable_from_global(L);
    return copy;
}

uint8_t* to_typed_userdata(lua_State* L, int idx) {
    if (lua_type(L, idx) != LUA_TUSERDATA || lua_islightuserdata(L, idx)) return nullptr;
    uint8_t* block = (uint8_t*)lua_touserdata(L, idx);
    size_t raw = lua_rawlen(L, idx);
    if (!block || raw < UD_HEADER_SIZE) return nullptr;
    typed_userdata_header h;
    std::memcpy(&h, block, sizeof h);
    if (h.mark != UD_MARK) return nullptr;
    int code = h.type & UTYPE_MASK;
    if (code != UTYPE_U8 && code != UTYPE_I16 && code != UTYPE_I32 && code != UTYPE_I64 && code != UTYPE_F64)
        return nullptr;
    if (h.dims < 1 || h.dims > 2 || h.width < 1 || h.height < 1) return nullptr;
    // mutate may shrink a value inside its storage, never grow it.
    if (UD_HEADER_SIZE + (size_t)ud_padded(ud_byte_count(block)) > raw) return nullptr;
    return block;
}

bool ud_is_foreign(lua_State* L, int idx) {
    int t = lua_type(L, idx);
    return (t == LUA_TUSERDATA || t == LUA_TLIGHTUSERDATA) && !to_typed_userdata(L, idx);
}

void set_userdata_method(const char* name, int (*fn)(lua_State*)) {
    for (userdata_method& m : userdata_methods)
        if (std::strcmp(m.name, name) == 0) m.fn = fn;
}

void add_userdata_metatable_functions(lua_State* L) {
    lua_createtable(L, 0, USERDATA_METHODS);
    for (const userdata_method& m : userdata_methods) {
        if (!m.fn) continue;  // not installed (a test without the machine)
        lua_pushcfunction(L, m.fn);
        lua_setfield(L, -2, m.name);
    }
    lua_setglobal(L, "USERDATA");
}

uint8_t* get_null_sprite() {
    alignas(16) static uint8_t block[UD_HEADER_SIZE + 16 * 16];
    std::memset(block, 0, sizeof block);
    ud_write_header(block, UTYPE_U8, 2, 16, 16);
    return block;
}
