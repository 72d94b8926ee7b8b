// Object data: script values written as table-constructor text and read
// back, the metadata header, the byte pieces' place in the text, and the
// script calls vyn and unvyn.
//
// Both directions may allocate in the Lua state (and so run finalizers): no
// raw pointer into a Lua string or table is kept across a push. The writer
// copies a table's keys to the host before it writes anything; the reader
// only reads host-owned bytes.
#include <algorithm>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lang/lang.h"
#include "storage/formats.h"
#include "storage/storage_internal.h"
#include "storage/vyn.h"
#include "userdata/userdata.h"

const char* vyn_error_text(int code) {
    switch (code) {
    case VYN_ERR_DEPTH: return "vyn: value too deep or cyclic";
    case VYN_ERR_SIZE: return "vyn: value too large";
    case VYN_ERR_PACK: return "vyn: value could not be packed";
    default: return "vyn: value not written";
    }
}

static int64_t userdata_cost(const uint8_t* block) {
    return (int64_t)(((uint64_t)ud_width(block) * ud_height(block)) << (ud_type(block) & 7)) >> 5;
}

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

namespace {

// Names by type code & 15; codes without a name write no elements.
const char* const kTypeNames[16] = {"", "", "", "u8", "", "", "f64", "", "", "", "", "", "i16", "i32", "i64", ""};
const char kHex[] = "0123456789abcdef";

bool bare_key(const char* s, size_t n) {
    auto alpha = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (n == 0 || !alpha((unsigned char)s[0])) return false;
    for (size_t i = 1; i < n; i++)
        if (!alpha((unsigned char)s[i]) && !(s[i] >= '0' && s[i] <= '9')) return false;
    return true;
}

// The number's text: integers in decimal, floats by vyn_float_text;
// infinities as a numeral the reader turns back into them, NaN as nil.
// Returns its length.
int number_text(lua_State* L, int idx, char* t, size_t size) {
    if (lua_isinteger(L, idx)) return (int)(std::to_chars(t, t + size, (long long)lua_tointeger(L, idx)).ptr - t);
    double d = lua_tonumber(L, idx);
    if (std::isnan(d)) return snprintf(t, size, "nil");
    if (std::isinf(d)) return snprintf(t, size, d > 0 ? "1e+999" : "-1e+999");
    return vyn_float_text(d, t);
}

struct key_rec {
    enum : uint8_t { STR, INT, FLT } kind;
    int64_t i;
    double d;
    size_t off, len;  // a string key's bytes in the arena
};

constexpr double kTwo63 = 9223372036854775808.0;

// i < f and f < i for an integer and a float that is not NaN, exactly.
bool int_lt_float(int64_t i, double f) {
    if (f >= kTwo63) return true;
    if (f < -kTwo63) return false;
    return i < (int64_t)std::ceil(f);
}
bool float_lt_int(double f, int64_t i) {
    if (f >= kTwo63) return false;
    if (f < -kTwo63) return true;
    return (int64_t)std::floor(f) < i;
}

struct writer {
    lua_State* L;
    buffer* out;
    int flags;
    int64_t start;
    int root;  // the value written, by absolute index
    int err = 0;
    int64_t unwritten = 0;  // counted against the text limit beyond what was written
    std::unordered_set<const void*> seen{};  // tables reached so far
    // Once a table is reached again, the whole value's least text is
    // weighed before more is written: sharing multiplies the text, and a
    // value far over the limit would otherwise be walked until it got there.
    bool weighed = false;
    struct weight {
        int64_t bytes;  // least text
        int height;     // tables on its deepest path; 0 while being weighed
    };
    std::unordered_map<const void*, weight> weights{};

    bool fail(int code) {
        if (!err) err = code;
        return false;
    }
    bool room() { return out->length - start + unwritten <= VYN_MAX_TEXT || fail(VYN_ERR_SIZE); }
    bool put(const void* s, size_t n) {
        if (n && bwrite(s, 1, (int64_t)n, out) != (int64_t)n) return fail(VYN_ERR_SIZE);
        return room();
    }
    bool put(const char* s) { return put(s, strlen(s)); }
    bool put_char(char c) { return (bwrite_uint8(out, (uint8_t)c) == 1 || fail(VYN_ERR_SIZE)) && room(); }
    bool quoted(const char* s, size_t n, bool charge) {
        if (!put_char('"')) return false;
        int64_t before = out->length;
        if (n && bwrite_escaped_string(out, (const uint8_t*)s, (int32_t)n) == 0) return fail(VYN_ERR_SIZE);
        if (charge) spend_cpu(hvx_cycles((out->length - before) / 4));
        return put_char('"') && room();
    }

    bool weigh_whole();
    bool least_text(int idx, int depth, int64_t* bytes, int* height);
    bool least_table(int idx, int depth, int64_t* bytes, int* height);
    bool value(int idx, int depth);
    bool table(int idx, int depth);
    bool userdata(const uint8_t* block);
    bool elements(const uint8_t* block);
};

bool writer::value(int idx, int depth) {
    spend_cpu(VYN_ENTRY_CYCLES);
    switch (lua_type(L, idx)) {
    case LUA_TBOOLEAN: return put(lua_toboolean(L, idx) ? "true" : "false");
    case LUA_TNUMBER: {
        char t[64];
        int n = number_text(L, idx, t, sizeof t);
        return put(t, (size_t)n);
    }
    case LUA_TSTRING: {
        size_t n = 0;
        const char* s = lua_tolstring(L, idx, &n);
        if ((flags & VYN_FLAG_STR) && (int64_t)n <= VYN_MAX_STR_PIECE) {
            const uint8_t tag[VYN_PIECE_TAG_LEN] = {'s', 't', 'r', 0};
            if (!put(tag, sizeof tag)) return false;
            uint32_t len = (uint32_t)n;
            uint8_t le[4] = {(uint8_t)len, (uint8_t)(len >> 8), (uint8_t)(len >> 16), (uint8_t)(len >> 24)};
            return put(le, 4) && put(s, n);
        }
        return quoted(s, n, true);
    }
    case LUA_TTABLE: {
        if (!seen.insert(lua_topointer(L, idx)).second && !weighed && !weigh_whole()) return false;
        return table(idx, depth + 1);
    }
    case LUA_TUSERDATA: {
        const uint8_t* block = to_typed_userdata(L, idx);
        if (block) return userdata(block);
        return put("nil");
    }
    default: return put("nil");
    }
}

bool writer::weigh_whole() {
    weighed = true;
    int64_t bytes = 0;
    int height = 0;
    if (!least_text(root, 0, &bytes, &height)) return fail(VYN_ERR_DEPTH);
    return bytes <= VYN_MAX_TEXT || fail(VYN_ERR_SIZE);
}

// The fewest bytes value(idx, depth) counts against the text limit, at most
// VYN_MAX_TEXT + 1, and the height of its tables; false where the value
// nests too deep or holds itself, as the write would find. Each table is
// walked once, so this costs what its distinct tables hold, however often
// they are reached, and each entry walked is charged as a written one.
bool writer::least_text(int idx, int depth, int64_t* bytes, int* height) {
    *height = 0;
    switch (lua_type(L, idx)) {
    case LUA_TBOOLEAN: *bytes = lua_toboolean(L, idx) ? 4 : 5; return true;
    case LUA_TNUMBER: *bytes = 1; return true;
    case LUA_TSTRING: *bytes = (int64_t)lua_rawlen(L, idx) + 2; return true;
    case LUA_TTABLE: return least_table(idx, depth + 1, bytes, height);
    case LUA_TUSERDATA: {
        const uint8_t* block = to_typed_userdata(L, idx);
        // Elements as text take at least a byte each, and a packed piece
        // counts at least its scan share.
        const bool elements = block && kTypeNames[ud_type(block) & 15][0];
        *bytes = elements ? std::max<int64_t>(1, ud_byte_count(block) / VYN_PXU_SCAN_BYTES) : 1;
        return true;
    }
    default: *bytes = 3; return true;
    }
}

bool writer::least_table(int idx, int depth, int64_t* bytes, int* height) {
    const void* self = lua_topointer(L, idx);
    auto [it, fresh] = weights.try_emplace(self, weight{0, 0});
    if (!fresh) {
        *bytes = it->second.bytes;
        *height = it->second.height;
        return *height > 0 && depth + *height - 1 <= VYN_MAX_DEPTH;
    }
    if (depth > VYN_MAX_DEPTH || !lua_checkstack(L, 4)) return false;
    idx = lua_absindex(L, idx);
    const int64_t n = (int64_t)lua_rawlen(L, idx);
    auto add = [](int64_t a, int64_t b) { return std::min(a + b, VYN_MAX_TEXT + 1); };
    int64_t sum = 2, items = 0, in_array = 0;
    int deepest = 0;
    lua_pushnil(L);
    while (lua_next(L, idx)) {
        spend_cpu(VYN_ENTRY_CYCLES);
        int64_t key = 0;
        if (lua_type(L, -2) == LUA_TSTRING) {
            key = (int64_t)lua_rawlen(L, -2) + 1;  // "k="
        } else if (lua_type(L, -2) != LUA_TNUMBER) {
            sum = add(sum, VYN_UNWRITTEN_KEY_BYTES);
            lua_pop(L, 1);
            continue;
        } else if (lua_isinteger(L, -2) && lua_tointeger(L, -2) >= 1 && lua_tointeger(L, -2) <= n) {
            in_array++;
        } else {
            key = 4;  // "[k]="
        }
        int64_t v = 0;
        int h = 0;
        if (!least_text(-1, depth, &v, &h)) {
            lua_pop(L, 2);
            return false;
        }
        sum = add(sum, add(key, v));
        deepest = std::max(deepest, h);
        items++;
        lua_pop(L, 1);
    }
    items += n - in_array;  // holes in the array part, written "nil"
    sum = add(sum, add(3 * (n - in_array), items > 0 ? items - 1 : 0));
    weights[self] = weight{sum, deepest + 1};
    *bytes = sum;
    *height = deepest + 1;
    return true;
}

bool writer::table(int idx, int depth) {
    if (depth > VYN_MAX_DEPTH || !lua_checkstack(L, 4)) return fail(VYN_ERR_DEPTH);
    idx = lua_absindex(L, idx);
    const int64_t n = (int64_t)lua_rawlen(L, idx);
    // Keys are copied out first: writing values may allocate, run finalizers
    // and change this table, and must not break the walk.
    std::vector<key_rec> keys;
    std::string arena;
    lua_pushnil(L);
    while (lua_next(L, idx)) {
        lua_pop(L, 1);
        key_rec k{};
        int kt = lua_type(L, -1);
        if (kt == LUA_TSTRING) {
            size_t len = 0;
            const char* s = lua_tolstring(L, -1, &len);
            k.kind = key_rec::STR;
            k.off = arena.size();
            k.len = len;
            arena.append(s, len);
        } else if (kt == LUA_TNUMBER && lua_isinteger(L, -1)) {
            k.kind = key_rec::INT;
            k.i = lua_tointeger(L, -1);
            if (k.i >= 1 && k.i <= n) continue;  // the array part
        } else if (kt == LUA_TNUMBER) {
            k.kind = key_rec::FLT;
            k.d = lua_tonumber(L, -1);
        } else {
            unwritten += VYN_UNWRITTEN_KEY_BYTES;
            continue;
        }
        keys.push_back(k);
    }
    if (!room()) return false;
    const char* a = arena.data();
    std::sort(keys.begin(), keys.end(), [a](const key_rec& x, const key_rec& y) {
        if ((x.kind == key_rec::STR) != (y.kind == key_rec::STR)) return x.kind == key_rec::STR;
        if (x.kind == key_rec::STR) {
            int c = std::memcmp(a + x.off, a + y.off, std::min(x.len, y.len));
            return c ? c < 0 : x.len < y.len;
        }
        if (x.kind == key_rec::INT) return y.kind == key_rec::INT ? x.i < y.i : int_lt_float(x.i, y.d);
        return y.kind == key_rec::FLT ? x.d < y.d : float_lt_int(x.d, y.i);
    });
    if (!put_char('{')) return false;
    bool first = true;
    for (const key_rec& k : keys) {
        if (!first && !put_char(',')) return false;
        first = false;
        if (k.kind == key_rec::STR) {
            const char* s = arena.data() + k.off;
            if (bare_key(s, k.len)) {
                if (!put(s, k.len)) return false;
            } else if (!put_char('[') || !quoted(s, k.len, false) || !put_char(']')) {
                return false;
            }
            lua_pushlstring(L, s, k.len);
        } else {
            if (k.kind == key_rec::INT) lua_pushinteger(L, k.i);
            else lua_pushnumber(L, k.d);
            char t[64];
            int len = number_text(L, -1, t, sizeof t);
            if (!put_char('[') || !put(t, (size_t)len) || !put_char(']')) return false;
        }
        if (!put_char('=')) return false;
        lua_rawget(L, idx);
        bool ok = value(-1, depth);
        lua_pop(L, 1);
        if (!ok) return false;
    }
    for (int64_t i = 1; i <= n; i++) {
        if (!first && !put_char(',')) return false;
        first = false;
        lua_rawgeti(L, idx, i);
        bool ok = value(-1, depth);
        lua_pop(L, 1);
        if (!ok) return false;
    }
    return put_char('}');
}

bool writer::userdata(const uint8_t* block) {
    spend_cpu(hvx_cycles(userdata_cost(block)));
    int type = ud_type(block);
    if (flags & VYN_FLAG_PXU) {
        int64_t n = 0;
        if (type == UTYPE_I16) n = write_binary_pxu(block, out, 0, PXU_MODE_RUNS);
        else if (type == UTYPE_U8)
            n = write_binary_pxu(block, out, PXU_BITS_U8, (flags & VYN_FLAG_RAW_PXU) ? PXU_MODE_RAW : PXU_MODE_RECENT);
        if (type == UTYPE_I16 || type == UTYPE_U8) {
            out->cursor = out->length;
            if (n <= 0) return fail(VYN_ERR_SIZE);
            int64_t least = ud_byte_count(block) / VYN_PXU_SCAN_BYTES;
            if (least > n) unwritten += least - n;
            return room();
        }
    }
    char t[64];
    int n = ud_dims(block) == 2 ? snprintf(t, sizeof t, ",%d,%d,\"", (int)ud_width(block), (int)ud_height(block))
                                : snprintf(t, sizeof t, ",%d,\"", (int)ud_width(block));
    return put("userdata(\"") && put(kTypeNames[type & 15]) && put("\"") && put(t, (size_t)n) && elements(block) &&
           put("\")");
}

bool writer::elements(const uint8_t* block) {
    const int type = ud_type(block);
    const int64_t count = (int64_t)ud_width(block) * ud_height(block);
    const uint8_t* d = ud_data(block);
    if (type == UTYPE_F64) {
        for (int64_t i = 0; i < count; i++) {
            double v;
            std::memcpy(&v, d + 8 * i, 8);
            char t[VYN_FLOAT_TEXT_MAX + 2];
            t[0] = ',';
            int n = vyn_float_text(v, t + 1);
            if (!put(i ? t : t + 1, (size_t)n + (i ? 1 : 0))) return false;
        }
        return true;
    }
    if (kTypeNames[type & 15][0] == 0) return true;
    const int bytes = ud_elem_bytes(type);
    const int64_t digits = count * bytes * 2;
    if (out->length - start + unwritten + digits > VYN_MAX_TEXT) return fail(VYN_ERR_SIZE);
    if (!ballocate(out, out->length + digits)) return fail(VYN_ERR_SIZE);
    uint8_t* o = out->data + out->length;
    // Each element most significant digit first.
    for (int64_t i = 0; i < count; i++) {
        const uint8_t* e = d + i * bytes;
        for (int b = bytes - 1; b >= 0; b--) {
            *o++ = (uint8_t)kHex[e[b] >> 4];
            *o++ = (uint8_t)kHex[e[b] & 15];
        }
    }
    out->length += (int32_t)digits;
    out->cursor = out->length;
    out->data[out->length] = 0;
    return true;
}

// The text of the value, unpacked, appended to out; 0 or a VYN_ERR_* code.
int write_text(lua_State* L, int index, buffer* out, int flags) {
    writer w{L, out, flags, out->length, lua_absindex(L, index)};
    out->cursor = out->length;
    if (!lua_checkstack(L, 4)) return VYN_ERR_DEPTH;
    return w.value(w.root, 0) ? 0 : w.err ? w.err : VYN_ERR_SIZE;
}

// The base64 wrapper around the bytes, charged by its length.
int wrap_b64(const buffer* bytes, buffer* out) {
    int64_t before = out->length;
    if (vyn_wrap_b64(bytes->data, bytes->length, out) != 0) return VYN_ERR_PACK;
    spend_cpu(hvx_cycles((out->length - before) / 8));
    return 0;
}

}  // namespace

namespace {

// "%.14g": this many significant digits, fixed notation for decimal
// exponents from -4 up to one below it.
constexpr int kFloatDigits = 14;

// The value of a scientific text m[.fff]e(+|-)xx, k digits in all, laid out
// with the decimal exponent x and no exponent: "12.5", "0.0012", "1200"
// (zeros stand for places past the digits).
char* fixed_text(char* o, const char* m, int k, int x) {
    const char* frac = m + 2;  // the digits after the first
    int rest = k - 1;
    if (x < 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = -1; i > x; i--) *o++ = '0';
        *o++ = m[0];
        std::memcpy(o, frac, (size_t)rest);
        return o + rest;
    }
    *o++ = m[0];
    const int whole = std::min(rest, x);
    std::memcpy(o, frac, (size_t)whole);
    o += whole;
    for (int i = whole; i < x; i++) *o++ = '0';
    if (rest > whole) {
        *o++ = '.';
        std::memcpy(o, frac + whole, (size_t)(rest - whole));
        o += rest - whole;
    }
    return o;
}

}  // namespace

int vyn_float_text(double d, char* out) {
    // The shortest text that reads back has at most 14 significant digits
    // exactly when "%.14g" reads back, and for normal doubles (|d| >=
    // 2^-1022) and zero it then has "%.14g"'s digits: one formatting gives
    // the digits, and the layout is chosen here. Subnormals hold too few
    // bits for that (5e-324 against 4.9406564584125e-324) and are formatted
    // again.
    char* const limit = out + VYN_FLOAT_TEXT_MAX;
    char* end = nullptr;
    if (std::isfinite(d)) {
        char sci[VYN_FLOAT_TEXT_MAX];
        const char* const sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
        // [-]m[.fff]e(+|-)xx[x], read from its end.
        const char* sign = sci_end - 3;
        int x = (sci_end[-2] - '0') * 10 + (sci_end[-1] - '0');
        if (*sign != '+' && *sign != '-') x += (*sign-- - '0') * 100;
        if (*sign == '-') x = -x;
        const int neg = sci[0] == '-';
        const int mantissa = (int)(sign - 1 - sci) - neg;
        const int k = mantissa > 1 ? mantissa - 1 : 1;
        bool fixed = x >= -4 && x < kFloatDigits;
        if (k > kFloatDigits) {
            // The shortest text: fixed or exponent form, whichever is
            // shorter, fixed on a tie.
            const int fixed_len = x < 0 ? k + 1 - x : k > x + 1 ? k + 1 : x + 1;
            fixed = fixed_len <= sci_end - sci - neg;
            // Places past the digits are the integer's own, not zeros.
            if (fixed && x >= k) end = std::to_chars(out, limit, d).ptr;
        } else if (d != 0 && std::fabs(d) < DBL_MIN) {
            end = std::to_chars(out, limit, d, std::chars_format::general, kFloatDigits).ptr;
        }
        if (!end && !fixed) {
            std::memcpy(out, sci, (size_t)(sci_end - sci));
            end = out + (sci_end - sci);
        } else if (!end) {
            end = out;
            if (neg) *end++ = '-';
            end = fixed_text(end, sci + neg, k, x);
        }
    }
    if (!end) end = std::to_chars(out, limit, d, std::chars_format::general, kFloatDigits).ptr;
    *end = 0;
    return (int)(end - out);
}

int stringify_object(lua_State* L, int index, buffer* out, int flags) {
    if (!L || !out) return VYN_ERR_SIZE;
    const int32_t start = out->length;
    int r = 0;
    if (!(flags & (VYN_FLAG_LZ4 | VYN_FLAG_B64))) {
        r = write_text(L, index, out, flags);
    } else {
        scoped_buffer text(create_buffer_2(VYN_OUT_SIZE, VYN_SCRATCH_KIND));
        if (!text) return VYN_ERR_SIZE;
        r = write_text(L, index, text, flags);
        if (r == 0 && (flags & VYN_FLAG_LZ4)) {
            spend_cpu(hvx_cycles(text->length / 8));
            if (flags & VYN_FLAG_B64) {
                scoped_buffer packed(create_buffer_2(VYN_OUT_SIZE, VYN_SCRATCH_KIND));
                if (!packed || vyn_pack_lz4(text->data, text->length, packed) != 0) r = VYN_ERR_PACK;
                else r = wrap_b64(packed, out);
            } else if (vyn_pack_lz4(text->data, text->length, out) != 0) {
                r = VYN_ERR_PACK;
            }
        } else if (r == 0) {
            r = wrap_b64(text, out);
        }
    }
    if (r != 0) {
        out->length = out->cursor = start;
        if (out->data) out->data[start] = 0;
    }
    return r;
}

// ---------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------

int64_t find_metadata_length(const char* text, int64_t length) {
    const int64_t prefix = (int64_t)strlen(VYN_HEADER_PREFIX);
    if (!text || length < prefix || std::memcmp(text, VYN_HEADER_PREFIX, (size_t)prefix) != 0) return 0;
    for (int64_t i = prefix; i + 1 < length; i++) {
        if (text[i] != ']' || text[i + 1] != ']') continue;
        int64_t end = i + 2;
        if (end < length && text[end] == '\n') end++;
        return end;
    }
    return length;
}

bool vyn_is_one_header(const char* text, int64_t length) {
    // The header length is the whole text also when no "]]" closes it.
    const int64_t head = find_metadata_length(text, length), least = (int64_t)strlen(VYN_HEADER_PREFIX) + 2;
    auto closed_at = [&](int64_t end) { return end >= least && text[end - 1] == ']' && text[end - 2] == ']'; };
    return head > 0 && head == length && (closed_at(head) || (text[head - 1] == '\n' && closed_at(head - 1)));
}

namespace {

using cpos = const uint8_t*;

bool is_blank(uint8_t c) { return (c >= 1 && c <= 32) || c >= 128; }
bool is_key_char(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }
bool is_number_char(uint8_t c) { return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == '_'; }

bool at(cpos p, cpos end, const char* w, size_t n) { return (size_t)(end - p) >= n && std::memcmp(p, w, n) == 0; }
template <size_t N>
bool at(cpos p, cpos end, const char (&w)[N]) {
    return at(p, end, w, N - 1);
}

const char kStrTag[] = "str\0";
const char kLz4Tag[] = "lz4\0";
const char kPxuTag[] = "pxu\0";

// One read: the bounds shared by a document and every piece inside it.
struct reader {
    reader(lua_State* state, vyn_read_limits* bounds) : L(state), limits(bounds) {}
    lua_State* L;
    vyn_read_limits* limits;
    int64_t text_bytes = 0;  // bytes of text read, pieces' unpacked text included
    int64_t unpacked = 0;    // bytes unpacked from lz4 and base64 pieces
    int64_t objects = 0;
    int nesting = 0;         // pieces inside pieces
    std::string scratch;

    bool refuse(const char* why) {
        if (limits && !limits->exceeded) limits->exceeded = why;
        return false;
    }
    // One more table or userdata of about `bytes` bytes.
    bool new_object(int64_t bytes) {
        objects++;
        if (!limits) return true;
        int64_t per = limits->bytes_per_object > 0 ? limits->bytes_per_object : 1;
        if (objects > limits->object_allowance + text_bytes / per) return refuse("more objects than its size allows");
        return fits(bytes);
    }
    bool fits(int64_t bytes) {
        if (!limits || !limits->fits || limits->fits(limits->ctx, bytes)) return true;
        return refuse("more than the process can hold");
    }

    int document(cpos text, int64_t len, int depth, bool with_metadata);
    bool metadata(cpos text, int64_t header_len);
    cpos value(cpos p, cpos end, int depth);
    cpos table(cpos p, cpos end, int depth);
    cpos string(cpos p, cpos end);
    cpos number(cpos p, cpos end);
    cpos userdata(cpos p, cpos end);
    cpos binary_str(cpos p, cpos end);
    cpos lz4_piece(cpos p, cpos end, int depth);
    cpos b64_piece(cpos p, cpos end, int depth);
    cpos pxu_piece(cpos p, cpos end);
    bool inner_document(const buffer* text, int depth);
};

cpos reader::value(cpos p, cpos end, int depth) {
    while (p < end && is_blank(*p)) p++;
    if (p >= end) return nullptr;
    switch (*p) {
    case '{': return table(p, end, depth + 1);
    case '"': return string(p, end);
    }
    if (at(p, end, "nil")) {
        lua_pushnil(L);
        return p + 3;
    }
    if (at(p, end, "true")) {
        lua_pushboolean(L, 1);
        return p + 4;
    }
    if (at(p, end, "false")) {
        lua_pushboolean(L, 0);
        return p + 5;
    }
    if (at(p, end, "userdata")) return userdata(p, end);
    if (at(p, end, "unvyn(\"")) {
        // A wrapper nests like a piece: the text cannot recurse without bound.
        if (nesting >= VYN_MAX_PIECE_NESTING) return nullptr;
        nesting++;
        p = value(p + 7, end, depth);
        nesting--;
        if (!p) return nullptr;
        if (p < end && *p == '"') p++;
        if (p < end && *p == ')') p++;
        return p;
    }
    if (at(p, end, "b64:")) return b64_piece(p, end, depth);
    if (at(p, end, kLz4Tag)) return lz4_piece(p, end, depth);
    if (at(p, end, kPxuTag)) return pxu_piece(p, end);
    if (at(p, end, kStrTag)) return binary_str(p, end);
    return number(p, end);
}

// A value word where a table item starts: the item is then a value, not a key.
bool value_word(cpos p, cpos end) {
    auto word_end = [&](size_t n) {
        if ((size_t)(end - p) < n) return false;
        if ((size_t)(end - p) == n) return true;
        uint8_t c = p[n];
        return c == ',' || c == ']' || c == '}' || c <= 32 || c > 127;
    };
    switch (*p) {
    case 'n': return at(p, end, "nil") && word_end(3);
    case 't': return at(p, end, "true") && word_end(4);
    case 'f': return at(p, end, "false") && word_end(5);
    case 'u':
        if (at(p, end, "userdata")) return end - p > 8 && (p[8] == '"' || p[8] == '(');
        return at(p, end, "unvyn") && end - p > 5 && (p[5] == '(' || p[5] == '"');
    case 'b': return at(p, end, "b64:");
    case 'l': return at(p, end, kLz4Tag);
    case 'p': return at(p, end, kPxuTag);
    case 's': return at(p, end, kStrTag);
    }
    return false;
}

cpos reader::table(cpos p, cpos end, int depth) {
    if (depth > VYN_MAX_DEPTH || !lua_checkstack(L, 8)) return nullptr;
    if (!new_object(64)) return nullptr;
    lua_newtable(L);
    if (p < end && *p == '{') p++;
    lua_Integer counter = 1;
    for (;;) {
        if (p >= end) return nullptr;
        if (*p == '}') return p + 1;
        if (*p == ']') return p;
        uint8_t c = *p;
        bool keyed = c == '[' || ((c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && !value_word(p, end));
        if (keyed) {
            if (c == '[') {
                p = value(p + 1, end, depth);
                if (!p || p >= end || *p != ']') return nullptr;
                p++;
            } else {
                cpos k = p;
                while (p < end && is_key_char(*p)) p++;
                lua_pushlstring(L, (const char*)k, (size_t)(p - k));
            }
            if (p < end && *p == '=') {
                p = value(p + 1, end, depth);
                if (!p) return nullptr;
                bool no_key = lua_isnil(L, -2) || (lua_type(L, -2) == LUA_TNUMBER && std::isnan(lua_tonumber(L, -2)));
                if (no_key) lua_pop(L, 2);
                else lua_rawset(L, -3);
            } else if (p < end && (*p == ',' || *p == ']' || *p == '}')) {
                lua_pop(L, 1);  // a key alone stores nothing
            } else {
                return nullptr;
            }
        } else {
            spend_cpu(1);
            p = value(p, end, depth);
            if (!p) return nullptr;
            lua_rawseti(L, -2, counter);
            if (counter < LUA_MAXINTEGER) counter++;
        }
        // A table's own storage grows as items go in: still within bounds?
        if (limits && !fits(0)) return nullptr;
        if (p < end && *p == ',') {
            if (++p >= end) return nullptr;
        } else if (p >= end || (*p != '}' && *p != ']')) {
            return nullptr;
        }
    }
}

cpos reader::string(cpos p, cpos end) {
    p++;
    cpos q = p;
    while (q < end && *q != '"' && *q != '\\') q++;
    if (q < end && *q == '"') {
        // No escapes: straight from the text.
        if (!fits(q - p)) return nullptr;
        lua_pushlstring(L, (const char*)p, (size_t)(q - p));
        spend_cpu(hvx_cycles((q - p) / 4));
        return q + 1;
    }
    scratch.assign((const char*)p, (size_t)(q - p));
    p = q;
    while (p < end && *p != '"') {
        if (*p != '\\') {
            scratch += (char)*p++;
            continue;
        }
        if (++p >= end) return nullptr;
        uint8_t c = *p;
        if (c == 'n') {
            scratch += '\n';
            p++;
        } else if (c == '"' || c == '\\') {
            scratch += (char)c;
            p++;
        } else if (c >= '0' && c <= '9') {
            int v = 0;
            for (int i = 0; i < 3 && p < end && *p >= '0' && *p <= '9'; i++) v = v * 10 + (*p++ - '0');
            scratch += (char)(v & 255);
        } else {
            scratch += '\0';  // the character after it is read as text
        }
    }
    if (p >= end) return nullptr;
    if (!fits((int64_t)scratch.size())) return nullptr;
    lua_pushlstring(L, scratch.data(), scratch.size());
    spend_cpu(hvx_cycles((int64_t)scratch.size() / 4));
    return p + 1;
}

cpos reader::number(cpos p, cpos end) {
    char t[VYN_NUMBER_MAX_CHARS + 1];
    int n = 0;
    while (p < end && n < VYN_NUMBER_MAX_CHARS && is_number_char(*p)) t[n++] = (char)*p++;
    t[n] = 0;
    if (n == 0 || lua_stringtonumber(L, t) == 0) return nullptr;
    return p;
}

// A decimal after a comma: blanks, a sign, digits (saturating). Default 1.
int64_t dimension(cpos p, cpos end) {
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    bool neg = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) p++;
    if (p >= end || *p < '0' || *p > '9') return 1;
    int64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) v = v > (INT64_MAX - 9) / 10 ? INT64_MAX : v * 10 + (*p - '0');
    return neg ? -v : v;
}

cpos reader::userdata(cpos p, cpos end) {
    p += 8;
    if (p >= end || *p != '(') return nullptr;
    p++;
    if (p < end && *p == '"') p++;
    cpos type = p;
    while (p < end && *p != '"') p++;
    if (p >= end) return nullptr;
    std::string type_text((const char*)type, (size_t)(p - type));
    p++;
    if (type_text.compare(0, 5, "[gfx]") == 0 || type_text.compare(0, 5, "[map]") == 0) {
        // The older forms carry their size and contents in the type text.
        if (!new_object(2 * (int64_t)type_text.size())) return nullptr;
        if (!create_userdata(L, type_text.c_str(), 2, 1, 1, nullptr)) return nullptr;
        return p < end && *p == ')' ? p + 1 : p;
    }
    cpos open = p;
    int commas = 0;
    cpos comma[3] = {};
    while (open < end && *open != '"') {
        if (*open == ',') {
            if (commas < 3) comma[commas] = open;
            commas++;
        }
        open++;
    }
    if (open >= end || (commas != 2 && commas != 3)) return nullptr;
    int dims = commas - 1;
    int64_t w = dimension(comma[0] + 1, open);
    int64_t h = dims == 2 ? dimension(comma[1] + 1, open) : 1;
    cpos data = open + 1;
    cpos close = data;
    while (close < end && *close != '"') close++;
    if (close >= end) return nullptr;
    int code = str_to_utype(type_text.c_str());
    int64_t bytes = w >= 1 && h >= 1 && w <= UD_MAX_STORAGE && h <= UD_MAX_STORAGE
                        ? ((w * h) << (code & 7)) >> 3
                        : 0;
    if (!new_object(bytes)) return nullptr;
    scratch.assign((const char*)data, (size_t)(close - data));
    if (!create_userdata(L, type_text.c_str(), dims, w, h, scratch.c_str())) return nullptr;
    p = close + 1;
    return p < end && *p == ')' ? p + 1 : p;
}

cpos reader::binary_str(cpos p, cpos end) {
    if (end - p < 8) return nullptr;
    int64_t len = load_u32_le(p + 4);
    if (len > VYN_MAX_STR_PIECE || len > end - p - 8) return nullptr;
    if (!fits(len)) return nullptr;
    lua_pushlstring(L, (const char*)p + 8, (size_t)len);
    return p + 8 + len;
}

cpos reader::pxu_piece(cpos p, cpos end) {
    pxu_header h;
    int64_t head = pxu_read_header(p, end - p, &h);
    if (head < 0) return nullptr;
    int64_t bytes = (int64_t)(((uint64_t)h.width * h.height) << (h.type & 7)) >> 3;
    if (!new_object(bytes)) return nullptr;
    uint8_t* block = create_userdata(L, get_utype_string(h.type), h.dims, h.width, h.height, nullptr);
    if (!block) return nullptr;
    int64_t body = pxu_decode_body(&h, p + head, end - p - head, ud_data(block));
    if (body < 0) return nullptr;
    spend_cpu(hvx_cycles(userdata_cost(block)));
    return p + head + body;
}

// Reads a piece's unpacked text as a document and leaves its value.
bool reader::inner_document(const buffer* text, int depth) {
    text_bytes += text->length;
    nesting++;
    int n = document(text->data, text->length, depth, false);
    nesting--;
    return n >= 0;
}

cpos reader::lz4_piece(cpos p, cpos end, int depth) {
    if (nesting >= VYN_MAX_PIECE_NESTING) return nullptr;
    buffer* raw = nullptr;
    int64_t len = vyn_unpack_lz4(p, end - p, VYN_MAX_UNPACKED - unpacked, &raw);
    if (len < 0) return nullptr;
    scoped_buffer text(raw);
    unpacked += text->length;
    spend_cpu(hvx_cycles(text->length / VYN_PIECE_BYTES_PER_CYCLE));
    if (!inner_document(text, depth)) return nullptr;
    return p + len;
}

cpos reader::b64_piece(cpos p, cpos end, int depth) {
    if (nesting >= VYN_MAX_PIECE_NESTING) return nullptr;
    cpos s = p + 4, q = s;
    while (q < end && *q != '"') q++;
    scoped_buffer text(vyn_unwrap_b64(s, q - s, VYN_MAX_UNPACKED - unpacked));
    if (!text) return nullptr;
    unpacked += text->length;
    spend_cpu(hvx_cycles(text->length / VYN_PIECE_BYTES_PER_CYCLE));
    if (!inner_document(text, depth)) return nullptr;
    return q;
}

bool reader::metadata(cpos text, int64_t header_len) {
    int top = lua_gettop(L);
    cpos p = table(text + 4, text + header_len, 1);
    if (p) return true;
    lua_settop(L, top);
    int64_t shown = header_len - 4;
    if (text[header_len - 1] == '\n') shown--;
    if (shown >= 2 && text[4 + shown - 1] == ']' && text[4 + shown - 2] == ']') shown -= 2;
    if (shown > 256) shown = 256;
    printf("bad metadata format; ignoring %.*s\n", (int)shown, (const char*)text + 4);
    return false;
}

// Pushes the document's value (and with_metadata, its metadata table when
// it has a header that reads); the number pushed, or -1.
int reader::document(cpos text, int64_t len, int depth, bool with_metadata) {
    if (!lua_checkstack(L, 8)) return -1;
    int64_t head = find_metadata_length((const char*)text, len);
    cpos body = text + head;
    int64_t blen = len - head;
    const int64_t raw_len = (int64_t)strlen(VYN_RAW_MARKER);
    if (head >= raw_len && std::memcmp(text, VYN_RAW_MARKER, (size_t)raw_len) == 0) {
        if (!fits(blen)) return -1;
        lua_pushlstring(L, (const char*)body, (size_t)blen);
    } else if (blen == 0 || body[0] < 32 || body[0] > 127) {
        lua_pushnil(L);
    } else if (blen == 3 && std::memcmp(body, "str", 3) == 0) {
        lua_pushliteral(L, "str");
    } else {
        spend_cpu(1);
        if (!value(body, body + blen, depth)) return -1;
    }
    if (head == 0 || !with_metadata) return 1;
    return metadata(text, head) ? 2 : 1;
}

}  // namespace

int destringify_object_ex(lua_State* L, const char* text, int64_t length, vyn_read_limits* limits) {
    if (!L || !text || length < 0) return 0;
    if (limits) limits->exceeded = nullptr;
    int top = lua_gettop(L);
    reader r(L, limits);
    r.text_bytes = length;
    int n = r.document((cpos)text, length, 0, true);
    if (n < 0) {
        lua_settop(L, top);
        return 0;
    }
    return n;
}

int destringify_object(lua_State* L, const char* text, int64_t length) {
    return destringify_object_ex(L, text, length, nullptr);
}

int destringify_object_metadata(lua_State* L, const char* text, int64_t length) {
    int64_t head = text && length > 0 ? find_metadata_length(text, length) : 0;
    if (head > 0 && lua_checkstack(L, 8)) {
        int top = lua_gettop(L);
        reader r(L, nullptr);
        r.text_bytes = length;
        if (r.metadata((cpos)text, head)) return 1;
        lua_settop(L, top);
    }
    lua_newtable(L);
    return 1;
}

// ---------------------------------------------------------------------------
// Script calls
// ---------------------------------------------------------------------------

int lua54_vyn(lua_State* L) {
    int flags = (int)hvx_intp(L, 2, 0);
    scoped_buffer out(create_buffer_2(VYN_OUT_SIZE, VYN_OUT_KIND));
    if (!out) return 0;
    int pt = lua_type(L, 3);
    if (pt == LUA_TSTRING || pt == LUA_TNUMBER) {
        size_t n = 0;
        const char* s = lua_tolstring(L, 3, &n);
        if (bwrite(s, 1, (int64_t)n, out) != (int64_t)n) return 0;
    }
    if (stringify_object(L, 1, out, flags) != 0) return 0;
    lua_pushlstring(L, (const char*)out->data, (size_t)out->length);
    return 1;
}

int lua54_unvyn(lua_State* L) {
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    size_t n = 0;
    const char* s = lua_tolstring(L, 1, &n);
    // The reader allocates: it reads a copy, not the argument's bytes.
    if ((int64_t)n >= BUFFER_MAX_CAPACITY) return 0;
    // The copy and the reading, paid whether the text reads or not.
    hvx_charge_text_copy(n);
    hvx_charge_text_read(n);
    scoped_buffer text(create_buffer_2((int32_t)n + 1, VYN_SCRATCH_KIND));
    if (!text || bwrite(s, 1, (int64_t)n, text) != (int64_t)n) return 0;
    return destringify_object(L, (const char*)text->data, text->length);
}
