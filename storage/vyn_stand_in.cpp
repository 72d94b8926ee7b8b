// Object text, minimal form: tables of strings, numbers and booleans written
// like table constructors and read back. Replaced by the full object-data
// format.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "storage/storage.h"

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

static bool bare_key(const char* s, size_t n) {
    if (n == 0 || !(isalpha((unsigned char)s[0]) || s[0] == '_')) return false;
    for (size_t i = 1; i < n; i++)
        if (!(isalnum((unsigned char)s[i]) || s[i] == '_')) return false;
    return true;
}

static void write_number(lua_State* L, int index, buffer* out) {
    char t[64];
    if (lua_isinteger(L, index)) {
        snprintf(t, sizeof t, "%lld", (long long)lua_tointeger(L, index));
    } else {
        double d = lua_tonumber(L, index);
        if (std::isnan(d)) snprintf(t, sizeof t, "nil");
        else if (std::isinf(d)) snprintf(t, sizeof t, d > 0 ? "1e+999" : "-1e+999");  // reads back as inf
        else snprintf(t, sizeof t, "%.14g", d);
    }
    bappend_str(out, t);
}

static void write_string(const char* s, size_t n, buffer* out) {
    bappend_str(out, "\"");
    out->cursor = out->length;
    if (n) bwrite_escaped_string(out, (const uint8_t*)s, (int32_t)std::min(n, (size_t)INT32_MAX));
    out->cursor = out->length;
    bappend_str(out, "\"");
    spend_cpu((int32_t)std::min(n / 4, (size_t)INT32_MAX));
}

static bool write_value(lua_State* L, int index, buffer* out, int depth);

// False when the table could not be written whole (too many keys to hold).
static bool write_table(lua_State* L, int index, buffer* out, int depth) {
    index = lua_absindex(L, index);
    lua_Integer n = (lua_Integer)lua_rawlen(L, index);
    // Keyed items: each kept key stays on the stack until it is written.
    int base = lua_gettop(L);
    std::vector<int> keys;
    lua_pushnil(L);
    while (lua_next(L, index)) {
        lua_pop(L, 1);
        int kt = lua_type(L, -1);
        bool keep = kt == LUA_TSTRING || kt == LUA_TNUMBER;
        if (kt == LUA_TNUMBER && lua_isinteger(L, -1)) {
            lua_Integer k = lua_tointeger(L, -1);
            if (k >= 1 && k <= n) keep = false;
        }
        if (keep) {
            if (!lua_checkstack(L, 4)) {
                // Leaving the remaining keys out would send a different table.
                lua_settop(L, base);
                return false;
            }
            lua_pushvalue(L, -1);  // the copy below stays; the top one walks on
            keys.push_back(lua_gettop(L) - 1);
        }
    }
    std::sort(keys.begin(), keys.end(), [L](int a, int b) {
        int ta = lua_type(L, a), tb = lua_type(L, b);
        if (ta != tb) return ta == LUA_TSTRING;
        return lua_compare(L, a, b, LUA_OPLT) != 0;
    });
    bappend_str(out, "{");
    bool first = true;
    for (int k : keys) {
        if (!first) bappend_str(out, ",");
        first = false;
        if (lua_type(L, k) == LUA_TSTRING) {
            size_t kl;
            const char* ks = lua_tolstring(L, k, &kl);
            if (bare_key(ks, kl)) {
                bappend_str(out, ks);
            } else {
                bappend_str(out, "[");
                write_string(ks, kl, out);
                bappend_str(out, "]");
            }
        } else {
            bappend_str(out, "[");
            write_number(L, k, out);
            bappend_str(out, "]");
        }
        bappend_str(out, "=");
        lua_pushvalue(L, k);
        lua_rawget(L, index);
        bool ok = write_value(L, -1, out, depth + 1);
        lua_pop(L, 1);
        if (!ok) {
            lua_settop(L, base);
            return false;
        }
    }
    lua_settop(L, base);
    for (lua_Integer i = 1; i <= n; i++) {
        if (!first) bappend_str(out, ",");
        first = false;
        lua_rawgeti(L, index, i);
        bool ok = write_value(L, -1, out, depth + 1);
        lua_pop(L, 1);
        if (!ok) return false;
    }
    bappend_str(out, "}");
    return true;
}

static bool write_value(lua_State* L, int index, buffer* out, int depth) {
    spend_cpu(2);
    if (out->length > VYN_STAND_IN_MAX_TEXT) {
        bappend_str(out, "nil");
        return true;
    }
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN: bappend_str(out, lua_toboolean(L, index) ? "true" : "false"); break;
    case LUA_TNUMBER: write_number(L, index, out); break;
    case LUA_TSTRING: {
        size_t n;
        const char* s = lua_tolstring(L, index, &n);
        write_string(s, n, out);
        break;
    }
    case LUA_TTABLE:
        // A table nested deeper (or holding itself) is cut off as nil.
        if (depth < VYN_STAND_IN_DEPTH && lua_checkstack(L, 8)) return write_table(L, index, out, depth);
        bappend_str(out, "nil");
        break;
    default: bappend_str(out, "nil"); break;
    }
    return true;
}

int stringify_object(lua_State* L, int index, buffer* out, int flags) {
    (void)flags;
    if (!L || !out) return 0;
    return write_value(L, lua_absindex(L, index), out, 0) ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------

namespace {

struct reader {
    lua_State* L;
    const char* p;
    const char* end;

    bool at(const char* word) const {
        size_t n = strlen(word);
        return (size_t)(end - p) >= n && std::memcmp(p, word, n) == 0;
    }
    // A value word stands alone: followed by a separator, a closer or a blank.
    bool word(const char* w) const {
        size_t n = strlen(w);
        if (!at(w)) return false;
        if (p + n == end) return true;
        unsigned char c = (unsigned char)p[n];
        return c == ',' || c == ']' || c == '}' || c <= 32 || c > 127;
    }
    void skip_blanks() {
        while (p < end && (((unsigned char)*p >= 1 && (unsigned char)*p <= 32) || (unsigned char)*p >= 128)) p++;
    }

    bool string() {
        p++;  // opening quote
        std::string s;
        while (p < end && *p != '"') {
            if (*p != '\\') {
                s += *p++;
                continue;
            }
            p++;
            if (p >= end) break;
            if (*p == 'n') {
                s += '\n';
                p++;
            } else if (*p == '"' || *p == '\\') {
                s += *p++;
            } else if (*p >= '0' && *p <= '9') {
                int v = 0;
                for (int i = 0; i < 3 && p < end && *p >= '0' && *p <= '9'; i++) v = v * 10 + (*p++ - '0');
                s += (char)(v & 255);
            } else {
                s += '\0';  // an unknown escape: a zero byte, the character stays text
            }
        }
        lua_pushlstring(L, s.data(), s.size());
        spend_cpu((int32_t)std::min(s.size() / 4, (size_t)INT32_MAX));
        if (p >= end) return false;
        p++;
        return true;
    }

    bool number() {
        char t[48];
        int n = 0;
        while (p < end && n < 44 && (strchr("+-.0123456789e_", *p) && *p)) t[n++] = *p++;
        t[n] = 0;
        if (n == 0 || lua_stringtonumber(L, t) == 0) return false;
        return true;
    }

    bool value(int depth) {
        skip_blanks();
        if (p >= end) return false;
        if (*p == '{') return table(depth);
        if (*p == '"') return string();
        if (at("nil")) { p += 3; lua_pushnil(L); return true; }
        if (at("true")) { p += 4; lua_pushboolean(L, 1); return true; }
        if (at("false")) { p += 5; lua_pushboolean(L, 0); return true; }
        return number();
    }

    bool keyed_start() const {
        if (p >= end) return false;
        if (*p == '[') return true;
        if (!(isalpha((unsigned char)*p) || *p == '_')) return false;
        return !(word("nil") || word("true") || word("false"));
    }

    bool table(int depth) {
        if (depth >= VYN_STAND_IN_DEPTH || !lua_checkstack(L, 6)) return false;
        lua_newtable(L);
        if (p < end && *p == '{') p++;
        lua_Integer counter = 1;
        for (;;) {
            if (p >= end) return false;
            if (*p == '}') { p++; return true; }
            if (*p == ']') return true;
            if (keyed_start()) {
                if (*p == '[') {
                    p++;
                    if (!value(depth + 1)) return false;
                    if (p >= end || *p != ']') return false;
                    p++;
                } else {
                    const char* k = p;
                    while (p < end && (isalnum((unsigned char)*p) || *p == '_')) p++;
                    lua_pushlstring(L, k, (size_t)(p - k));
                }
                if (p < end && *p == '=') {
                    p++;
                    if (!value(depth + 1)) return false;
                    if (lua_isnil(L, -2)) lua_pop(L, 2);  // a nil key stores nothing
                    else lua_rawset(L, -3);
                } else if (p < end && (*p == ',' || *p == ']' || *p == '}')) {
                    lua_pop(L, 1);
                } else {
                    return false;
                }
            } else {
                spend_cpu(1);
                if (!value(depth + 1)) return false;
                lua_rawseti(L, -2, counter);
                if (counter < LUA_MAXINTEGER) counter++;
            }
            if (p < end && *p == ',') {
                p++;
                if (p >= end) return false;
            } else if (p >= end || (*p != '}' && *p != ']')) {
                return false;
            }
        }
    }
};

}  // namespace

int destringify_object(lua_State* L, const char* text, int64_t length) {
    if (!L || !text || length < 0) return 0;
    if (length == 0) {
        lua_pushnil(L);
        return 1;
    }
    unsigned char c0 = (unsigned char)text[0];
    if (c0 < 32 || c0 > 127) {
        lua_pushnil(L);
        return 1;
    }
    spend_cpu(1);
    int top = lua_gettop(L);
    reader r{L, text, text + length};
    if (!r.value(0)) {
        lua_settop(L, top);
        return 0;
    }
    lua_settop(L, top + 1);
    return 1;
}
