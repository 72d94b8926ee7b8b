// Utility calls: splitting text into fields, byte access, sequence insertion,
// removal and counting, checksums and deltas of strings, the system's load,
// and tokenoid, the editor's line-by-line tokenizer.
//
// Any allocation here can run a script's finalizer, and the sequence calls'
// metamethods run script code. The debug library cannot reach this call's
// stack slots; as a second guard all the same, no pointer into a Lua string
// is kept across an allocation, and a table slot is checked to still hold a
// table before every raw access.
#include <algorithm>
#include <cstring>
#include <string>

#include "lang/lang.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

bool is_table(lua_State* L, int i) { return lua_type(L, i) == LUA_TTABLE; }

// A truncated-number argument; absent or nil gives def.
int64_t trunc_or(lua_State* L, int i, int64_t def) { return lua_isnoneornil(L, i) ? def : hvx_trunc_arg(L, i); }

}  // namespace

// ---------------------------------------------------------------------------
// split
// ---------------------------------------------------------------------------

// Pushes one field: its number when convert is set and the dialect's
// string-to-number conversion takes the whole field, else the text.
static void push_field(lua_State* L, const char* s, size_t n, bool convert) {
    if (convert && n > 0 && !std::memchr(s, 0, n)) {
        char small[128];
        std::string big;
        const char* z = small;
        if (n < sizeof small) {
            std::memcpy(small, s, n);
            small[n] = 0;
        } else {
            big.assign(s, n);
            z = big.c_str();
        }
        if (lua_stringtonumber(L, z) == n + 1) return;
    }
    lua_pushlstring(L, s, n);
}

int lua54_split(lua_State* L) {
    int nargs = lua_gettop(L);
    if (!hvx_is_text(L, 1)) return 0;
    size_t len = 0;
    const char* src = lua_tolstring(L, 1, &len);
    const std::string text(src, len);  // the fields below allocate
    const char* s = text.data();
    bool convert = nargs < 3 || lua_toboolean(L, 3);
    int sep_type = lua_type(L, 2);
    int64_t chunk = 0;
    bool sep_set[256] = {};
    bool per_byte = false;
    if (sep_type == LUA_TNUMBER) {
        chunk = hvx_intp(L, 2, 0);
        if (chunk > (int64_t)len) chunk = (int64_t)len;
        if (chunk < 1) chunk = 1;
    } else if (sep_type == LUA_TSTRING) {
        size_t m = 0;
        const char* sep = lua_tolstring(L, 2, &m);
        per_byte = m == 0;
        // A separator is a set of bytes, however long: every byte is read.
        hvx_charge_text_read(m);
        for (size_t i = 0; i < m; i++) sep_set[(uint8_t)sep[i]] = true;
    } else {
        sep_set[(uint8_t)','] = true;
    }

    int64_t fields;
    if (chunk) fields = ((int64_t)len + chunk - 1) / chunk;
    else if (per_byte) fields = (int64_t)len;
    else {
        fields = 1;
        for (size_t i = 0; i < len; i++) fields += sep_set[(uint8_t)s[i]];
    }
    luaL_checkstack(L, 3, "split");
    lua_createtable(L, fields > INT32_MAX ? INT32_MAX : (int)fields, 0);
    const int t = lua_gettop(L);
    spend_cpu(hvx_cycles((int64_t)len));

    lua_Integer key = 0;
    auto store = [&]() {
        if (!is_table(L, t)) return false;
        lua_rawseti(L, t, ++key);
        return true;
    };
    if (chunk) {
        for (int64_t at = 0; at < (int64_t)len; at += chunk) {
            push_field(L, s + at, (size_t)std::min<int64_t>(chunk, (int64_t)len - at), convert);
            if (!store()) return 0;
        }
    } else if (per_byte) {
        for (size_t i = 0; i < len; i++) {
            char c = s[i];
            if (convert && c >= '0' && c <= '9') lua_pushnumber(L, c - '0');
            else lua_pushlstring(L, &s[i], 1);
            if (!store()) return 0;
        }
    } else {
        size_t start = 0;
        for (size_t i = 0; i <= len; i++) {
            if (i < len && !sep_set[(uint8_t)s[i]]) continue;
            push_field(L, s + start, i - start, convert);
            if (!store()) return 0;
            start = i + 1;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Bytes and characters
// ---------------------------------------------------------------------------

int lua54_ord(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    int64_t i = trunc_or(L, 2, 1), n = trunc_or(L, 3, 1);
    if (n < 1 || n > ORD_MAX_COUNT) return 0;
    spend_cpu((int32_t)n);
    if (!lua_checkstack(L, (int)n)) return 0;
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);  // integers and nils do not allocate
    for (int64_t k = 0; k < n; k++) {
        int64_t at = i + k;
        if (at >= 1 && at <= (int64_t)len) lua_pushinteger(L, (uint8_t)s[at - 1]);
        else lua_pushnil(L);
    }
    return (int)n;
}

int lua54_chr(lua_State* L) {
    int n = lua_gettop(L);
    spend_cpu(n);
    std::string out((size_t)n, '\0');
    for (int i = 0; i < n; i++) out[(size_t)i] = (char)(hvx_intp(L, i + 1, 0) & 0xFF);
    lua_pushlstring(L, out.data(), out.size());
    return 1;
}

int lua54_strindex(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    int64_t i = hvx_intp(L, 2, -1);
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    if (i < 1 || i > (int64_t)len) {
        lua_pushnil(L);
        return 1;
    }
    char c = s[i - 1];
    lua_pushlstring(L, &c, 1);
    return 1;
}

int lua54_count_p(lua_State* L) {
    lua_pushinteger(L, lua_gettop(L));
    return 1;
}

// ---------------------------------------------------------------------------
// Sequences
// ---------------------------------------------------------------------------

int lua54_count(lua_State* L) {
    if (!is_table(L, 1)) return 0;
    lua_Integer n = luaL_len(L, 1);
    if (lua_isnoneornil(L, 2)) {
        spend_cpu(1);
        lua_pushinteger(L, n);
        return 1;
    }
    hvx_spend_checked(L, n < 1 ? 1 : n);
    lua_Integer found = 0;
    for (lua_Integer i = 1; i <= n && is_table(L, 1); i++) {
        lua_rawgeti(L, 1, i);
        if (lua_compare(L, -1, 2, LUA_OPEQ)) found++;
        lua_pop(L, 1);
    }
    lua_pushinteger(L, found);
    return 1;
}

int lua54_add(lua_State* L) {
    checktab(L, 1, CHECKTAB_R | CHECKTAB_W | CHECKTAB_L);
    int nargs = lua_gettop(L);
    if (nargs == 1) return 0;
    if (nargs > 3) return luaL_error(L, "wrong number of arguments to 'insert'");
    lua_Integer end = (lua_Integer)((lua_Unsigned)luaL_len(L, 1) + 1u);  // first empty place
    lua_pushvalue(L, 2);  // the result
    if (nargs == 2 || lua_isnil(L, 3)) {
        if (nargs == 3) spend_cpu(1);
        lua_pushvalue(L, 2);
        lua_seti(L, 1, end);
        return 1;
    }
    lua_Integer pos = hvx_intp(L, 3, 0);
    luaL_argcheck(L, (lua_Unsigned)pos - 1u < (lua_Unsigned)end, 2, "position out of bounds");
    // end wraps to the smallest integer under a __len of the largest: then
    // nothing moves, and end - pos would overflow.
    hvx_spend_checked(L, end > pos ? end - pos : 0);
    for (lua_Integer i = end; i > pos; i--) {
        lua_geti(L, 1, i - 1);
        lua_seti(L, 1, i);
    }
    lua_pushvalue(L, 2);
    lua_seti(L, 1, pos);
    return 1;
}

int lua54_del(lua_State* L) {
    if (!is_table(L, 1) || lua_gettop(L) < 2) return 0;
    lua_Integer n = luaL_len(L, 1);
    hvx_spend_checked(L, n);
    for (lua_Integer i = 1; i <= n && is_table(L, 1); i++) {
        lua_rawgeti(L, 1, i);
        if (!lua_compare(L, -1, 2, LUA_OPEQ)) {
            lua_pop(L, 1);
            continue;
        }
        // The removed element stays on top as the result.
        for (lua_Integer j = i; j < n && is_table(L, 1); j++) {
            lua_rawgeti(L, 1, j + 1);
            lua_rawseti(L, 1, j);
        }
        if (is_table(L, 1)) {
            lua_pushnil(L);
            lua_rawseti(L, 1, n);
        }
        return 1;
    }
    return 0;
}

int lua54_deli(lua_State* L) {
    checktab(L, 1, CHECKTAB_R | CHECKTAB_W | CHECKTAB_L);
    lua_Integer n = luaL_len(L, 1);
    lua_Integer i = lua_gettop(L) < 2 ? n : hvx_intp(L, 2, 0);
    if (i < 1 || i > n) return 0;
    lua_geti(L, 1, i);  // the result
    hvx_spend_checked(L, n - i);
    for (lua_Integer j = i; j < n; j++) {
        lua_geti(L, 1, j + 1);
        lua_seti(L, 1, j);
    }
    lua_pushnil(L);
    lua_seti(L, 1, n);
    return 1;
}

// ---------------------------------------------------------------------------
// Checksums and deltas
// ---------------------------------------------------------------------------

int lua54_crc(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    spend_cpu(hvx_cycles((int64_t)(len >> 3)));
    lua_pushinteger(L, crc32b(s, (int64_t)len));
    return 1;
}

int lua54_md5(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    spend_cpu(hvx_cycles((int64_t)(len >> 1)));
    char digest[MD5_HEX_SIZE];
    md5(s, (int64_t)len, digest);
    lua_pushstring(L, digest);
    return 1;
}

// Both texts as strings, converted first: converting a number allocates, which
// could move the other argument's string away.
static bool two_texts(lua_State* L, const char** a, size_t* na, const char** b, size_t* nb) {
    if (!hvx_is_text(L, 1) || !hvx_is_text(L, 2)) return false;
    lua_tolstring(L, 1, nullptr);
    lua_tolstring(L, 2, nullptr);
    if (lua_type(L, 1) != LUA_TSTRING || lua_type(L, 2) != LUA_TSTRING) return false;
    *a = lua_tolstring(L, 1, na);
    *b = lua_tolstring(L, 2, nb);
    return true;
}

// Both delta operations read their texts whole however small the result,
// and may still fail: the generator both texts (out of memory), the applier
// the old text, checked against the delta's sum, and the delta, unpacked.
// That reading is charged before it runs: the generator's at its own rate,
// the applier's sums and unpacking as a text read. Texts past the
// generator's bound it refuses unread.
static int32_t delta_reading(bool generating, size_t na, size_t nb) {
    const int64_t bytes = (int64_t)na + (int64_t)nb;
    if (!generating) return hvx_cycles(bytes / LANG_TEXT_BYTES_PER_CYCLE);
    if ((int64_t)na > DIFF_MAX_CONTENT || (int64_t)nb > DIFF_MAX_CONTENT) return 0;
    return hvx_cycles(bytes / DIFF_INPUT_BYTES_PER_CYCLE);
}

// A delta operation on two texts; the result costs a cycle per 4 bytes.
static int delta_call(lua_State* L, buffer* (*op)(const uint8_t*, int64_t, const uint8_t*, int64_t)) {
    const char *a, *b;
    size_t na, nb;
    if (!two_texts(L, &a, &na, &b, &nb)) return 0;
    if (int32_t reading = delta_reading(op == generate_diff, na, nb)) spend_cpu(reading);
    scoped_buffer out(op((const uint8_t*)a, (int64_t)na, (const uint8_t*)b, (int64_t)nb));
    if (!out) return 0;
    spend_cpu(out->length / 4);
    lua_pushlstring(L, (const char*)out->data, (size_t)out->length);
    return 1;
}

int lua54_create_delta(lua_State* L) { return delta_call(L, generate_diff); }
int lua54_apply_delta(lua_State* L) { return delta_call(L, apply_diff); }

// ---------------------------------------------------------------------------
// load
// ---------------------------------------------------------------------------

int lua54_load(lua_State* L) {
    // Lowered again however the loader ends, a raised error included. The
    // record outlives the call: a process is never freed while its slice runs.
    struct depth_guard {
        Process* p;
        explicit depth_guard(Process* q) : p(q) {
            if (p) p->load_depth++;
        }
        ~depth_guard() {
            if (p && p->load_depth > 0) p->load_depth--;
        }
    } guard(cproc);
    return luaB_load(L);
}

// ---------------------------------------------------------------------------
// tokenoid
// ---------------------------------------------------------------------------

namespace {

bool identifier_char(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == 0x1E || c == 0x1F || c >= 0x80;
}
bool alphanumeric_char(uint8_t c) { return identifier_char(c) || (c >= '0' && c <= '9'); }
// At index i of a number token (0 is its first digit).
bool number_char(uint8_t c, int64_t i) {
    return (c >= '0' && c <= '9') || (c == '.' && i > 0) || ((c == 'b' || c == 'x') && i == 1) ||
           (c >= 'a' && c <= 'f' && i > 1);
}

// Offset of the closing bracket of the given level at or after from; -1 when
// the line holds none.
int64_t find_closing(const uint8_t* s, int64_t len, int64_t from, int64_t level) {
    char close[TOKENOID_MAX_LEVEL + 2];
    close[0] = ']';
    std::memset(close + 1, '=', (size_t)level);
    close[level + 1] = ']';
    if (from > len) return -1;
    const void* m = memmem(s + from, (size_t)(len - from), close, (size_t)level + 2);
    return m ? (const uint8_t*)m - s : -1;
}

// The '=' run of a long bracket opening at s[at] == '['; -1 when none opens there.
int64_t long_bracket_level(const uint8_t* s, int64_t len, int64_t at) {
    if (at >= len || s[at] != '[') return -1;
    int64_t k = 0;
    while (at + 1 + k < len && s[at + 1 + k] == '=') k++;
    if (k >= TOKENOID_LONG_LEVELS || at + 1 + k >= len || s[at + 1 + k] != '[') return -1;
    return k;
}

// A long token of kind whose opening ends before body: through its closing
// bracket, or to the end of the line, staying open.
void long_token(const uint8_t* s, int64_t len, int64_t pos, int64_t body, int64_t level, int64_t kind,
                int64_t open_state, token_span* out) {
    out->kind = kind;
    int64_t m = find_closing(s, len, body, level);
    if (m >= 0) {
        out->length = m - pos + level + 2;
    } else {
        out->length = len - pos;
        out->open = true;
        out->state = open_state + level;
    }
}

}  // namespace

bool scan_token(const uint8_t* s, int64_t len, int64_t pos, int64_t state, token_span* out) {
    if (!s || pos < 0 || pos >= len) return false;
    *out = token_span{1, TOKEN_OTHER, false, 0};
    if (state & 0xF00) {
        int64_t level = state & 0xFF;
        if (level > TOKENOID_MAX_LEVEL) return false;
        out->kind = state >> 8;
        int64_t m = find_closing(s, len, pos, level);
        if (m >= 0) {
            out->length = m - pos + level + 2;
        } else {
            out->length = len - pos;
            out->open = true;
            out->state = state;
        }
        return true;
    }
    uint8_t c = s[pos];
    int64_t end = pos + 1;
    if (c == '\t') {
        out->kind = TOKEN_SPACE;
    } else if (c == ' ') {
        while (end < len && s[end] == ' ') end++;
        out->kind = TOKEN_SPACE;
    } else if (c == '[') {
        int64_t level = long_bracket_level(s, len, pos);
        if (level >= 0) {
            long_token(s, len, pos, pos + level + 2, level, TOKEN_STRING, TOKENOID_LONG_STRING, out);
            return true;
        }
    } else if (identifier_char(c)) {
        while (end < len && alphanumeric_char(s[end])) end++;
        out->kind = TOKEN_NAME;
    } else if (c >= '0' && c <= '9') {
        while (end < len && number_char(s[end], end - pos)) end++;
        out->kind = TOKEN_NUMBER;
    } else if (c == '-' && pos + 1 < len && s[pos + 1] == '-') {
        int64_t level = long_bracket_level(s, len, pos + 2);
        if (level >= 0) {
            long_token(s, len, pos, pos + level + 4, level, TOKEN_COMMENT, TOKENOID_LONG_COMMENT, out);
            return true;
        }
        const void* nl = std::memchr(s + pos, '\n', (size_t)(len - pos));
        end = nl ? (const uint8_t*)nl - s : len;
        out->kind = TOKEN_COMMENT;
    } else if (c == '"') {
        while (end < len) {
            if (s[end] == '\\' && end + 1 < len && (s[end + 1] == '"' || s[end + 1] == '\\')) {
                end += 2;
            } else if (s[end++] == '"') {
                break;
            }
        }
        out->kind = TOKEN_STRING;
    }
    out->length = end - pos;
    return true;
}

int lua54_tokenoid(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    int64_t pos = trunc_or(L, 2, 1) - 1;
    int64_t state = hvx_intp(L, 3, 0);
    size_t len = 0;
    const char* s = lua_tolstring(L, 1, &len);
    token_span tk;
    if (!scan_token((const uint8_t*)s, (int64_t)len, pos, state, &tk)) return 0;
    spend_cpu(hvx_cycles(tk.length));
    lua_pushlstring(L, s + pos, (size_t)tk.length);  // the last use of s
    lua_pushinteger(L, pos + tk.length + 1);
    lua_pushinteger(L, tk.kind);
    if (!tk.open) return 3;
    lua_pushinteger(L, tk.state);
    return 4;
}
