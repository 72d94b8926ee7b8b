// base64 with the system's alphabet, the host-text converter between the
// 8-bit character set and UTF-8, and MD5. Bytes in, bytes out; no state
// outside the callers' own.
#include <array>
#include <cstring>

#include "storage/formats.h"

// ---------------------------------------------------------------------------
// base64
// ---------------------------------------------------------------------------

static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

static constexpr std::array<int32_t, 256> decode_mapping = [] {
    std::array<int32_t, 256> m{};
    for (auto& v : m) v = -1;
    for (int32_t i = 0; i < 64; i++) m[(uint8_t)alphabet[i]] = i;
    return m;
}();

void base64_init_encodestate(base64_encodestate* state) {
    if (state) *state = {};
}

char base64_encode_value(int32_t value) { return value >= 0 && value < 64 ? alphabet[value] : '='; }

int64_t base64_encode_block(const uint8_t* in, int64_t length, char* out, base64_encodestate* state) {
    if (!in || !out || !state || length <= 0) return 0;
    const uint8_t* p = in;
    const uint8_t* end = in + length;
    char* o = out;
    int64_t groups = 0;
    // Finish the group an earlier call left open, then whole groups, then
    // leave the rest pending.
    while (state->step != 0 && p < end) {
        uint8_t c = *p++;
        if (state->step == 1) {
            *o++ = alphabet[state->result | (c >> 4)];
            state->result = uint8_t((c & 0x0F) << 2);
            state->step = 2;
        } else {
            *o++ = alphabet[state->result | (c >> 6)];
            *o++ = alphabet[c & 0x3F];
            state->result = 0;
            state->step = 0;
            groups++;
        }
    }
    while (end - p >= 3) {
        uint32_t w = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
        o[0] = alphabet[w >> 18];
        o[1] = alphabet[(w >> 12) & 0x3F];
        o[2] = alphabet[(w >> 6) & 0x3F];
        o[3] = alphabet[w & 0x3F];
        o += 4;
        p += 3;
        groups++;
    }
    if (p < end) {
        *o++ = alphabet[p[0] >> 2];
        state->result = uint8_t((p[0] & 0x03) << 4);
        state->step = 1;
        if (end - p == 2) {
            *o++ = alphabet[state->result | (p[1] >> 4)];
            state->result = uint8_t((p[1] & 0x0F) << 2);
            state->step = 2;
        }
    }
    state->stepcount = int32_t((state->stepcount + groups % BASE64_STEPCOUNT_WRAP) % BASE64_STEPCOUNT_WRAP);
    return o - out;
}

int base64_encode_blockend(char* out, base64_encodestate* state) {
    if (!out || !state) return 0;
    int n = 0;
    if (state->step == 1) {
        out[n++] = alphabet[state->result & 0x3F];
        out[n++] = '=';
        out[n++] = '=';
    } else if (state->step == 2) {
        out[n++] = alphabet[state->result & 0x3F];
        out[n++] = '=';
    }
    // The state is ready for a new text.
    state->step = 0;
    state->result = 0;
    return n;
}

void base64_init_decodestate(base64_decodestate* state) {
    if (state) *state = {};
}

int32_t base64_decode_value(int32_t c) { return c >= 0 && c < 256 ? decode_mapping[(size_t)c] : -1; }

int64_t base64_decode_block(const char* in, int64_t length, uint8_t* out, base64_decodestate* state) {
    if (!in || !out || !state || length <= 0) return 0;
    const uint8_t* p = (const uint8_t*)in;
    const uint8_t* end = p + length;
    uint8_t* o = out;
    while (p < end) {
        // Whole groups of four alphabet characters go at once; anything else
        // (a skipped character, a group an earlier call began) one at a time.
        if (state->step == 0) {
            while (end - p >= 4) {
                int32_t a = decode_mapping[p[0]], b = decode_mapping[p[1]];
                int32_t c = decode_mapping[p[2]], d = decode_mapping[p[3]];
                if ((a | b | c | d) < 0) break;
                uint32_t w = (uint32_t)a << 18 | (uint32_t)b << 12 | (uint32_t)c << 6 | (uint32_t)d;
                o[0] = uint8_t(w >> 16);
                o[1] = uint8_t(w >> 8);
                o[2] = uint8_t(w);
                o += 3;
                p += 4;
            }
            if (p == end) break;
        }
        int32_t v = decode_mapping[*p++];
        if (v < 0) continue;
        switch (state->step) {
            case 0:
                state->plainchar = uint8_t(v << 2);
                break;
            case 1:
                *o++ = uint8_t(state->plainchar | (v >> 4));
                state->plainchar = uint8_t((v & 0x0F) << 4);
                break;
            case 2:
                *o++ = uint8_t(state->plainchar | (v >> 2));
                state->plainchar = uint8_t((v & 0x03) << 6);
                break;
            default:
                *o++ = uint8_t(state->plainchar | v);
                state->plainchar = 0;
                break;
        }
        state->step = (state->step + 1) & 3;
    }
    return o - out;
}

// ---------------------------------------------------------------------------
// Host text
//
// Each code of the 8-bit set with a multi-byte UTF-8 form, and the forms the
// decoder also accepts, are built here from their code points. The decoder
// tries the forms that begin with the byte at hand, in a fixed order: the
// glyphs, the kana, the white circle, the superscripts.
// ---------------------------------------------------------------------------

namespace {

struct utf8_seq {
    uint8_t n;  // 0: the code has no multi-byte form
    uint8_t b[7];
};

constexpr int utf8_put(uint32_t cp, uint8_t* b) {
    if (cp < 0x80) {
        b[0] = uint8_t(cp);
        return 1;
    }
    if (cp < 0x800) {
        b[0] = uint8_t(0xC0 | cp >> 6);
        b[1] = uint8_t(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        b[0] = uint8_t(0xE0 | cp >> 12);
        b[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
        b[2] = uint8_t(0x80 | (cp & 0x3F));
        return 3;
    }
    b[0] = uint8_t(0xF0 | cp >> 18);
    b[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
    b[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
    b[3] = uint8_t(0x80 | (cp & 0x3F));
    return 4;
}

constexpr utf8_seq utf8_of(uint32_t cp, uint32_t then = 0) {
    utf8_seq s{};
    s.n = uint8_t(utf8_put(cp, s.b));
    if (then) s.n = uint8_t(s.n + utf8_put(then, s.b + s.n));
    return s;
}

constexpr uint32_t VS16 = 0xFE0F;  // emoji presentation selector

// Codes 0 to 15; 0, 9, 10 and 13 are never converted.
constexpr uint32_t unicode_superscript[16] = {0x2070, 0x00B9, 0x00B2, 0x00B3, 0x2074, 0x2075, 0x2076, 0x2077,
                                              0x2078, 0x2079, 0x1D43, 0x1D47, 0x1D9C, 0x1D48, 0x1D49, 0x1DA0};

// Codes 154 to 203 and 204 to 253, three UTF-8 bytes each.
constexpr char8_t unicode_hiragana[] =
    u8"あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをんっゃゅょ";
constexpr char8_t unicode_katakana[] =
    u8"アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロワヲンッャュョ";
constexpr int KANA_COUNT = 50;
static_assert(sizeof unicode_hiragana == KANA_COUNT * 3 + 1 && sizeof unicode_katakana == KANA_COUNT * 3 + 1);

// Entries 0-25 serve codes 128-153, 26-41 codes 16-31, 42-43 codes 254-255;
// 44-69 (sans-serif italic small a to z) decode to "A" to "Z" only.
struct glyph_cp {
    uint32_t cp, then;
};
constexpr glyph_cp unicode_glyph[70] = {
    {0x2588, 0},    {0x2592, 0}, {0x1F431, 0}, {0x2B07, VS16}, {0x2591, 0}, {0x273D, 0},  {0x25CF, 0},
    {0x2665, 0},    {0x2609, 0}, {0xC6C3, 0},  {0x2302, 0},    {0x2B05, VS16}, {0x1F610, 0}, {0x266A, 0},
    {0x1F17E, VS16}, {0x25C6, 0}, {0x2026, 0}, {0x27A1, VS16}, {0x2605, 0}, {0x29D7, 0},  {0x2B06, VS16},
    {0x02C7, 0},    {0x2227, 0}, {0x274E, 0},  {0x25A4, 0},    {0x25A5, 0},
    {0x25AE, 0},    {0x25A0, 0}, {0x25A1, 0},  {0x2059, 0},    {0x2058, 0}, {0x2016, 0},  {0x25C0, 0},
    {0x25B6, 0},    {0x300C, 0}, {0x300D, 0},  {0x00A5, 0},    {0x2022, 0}, {0x3001, 0},  {0x3002, 0},
    {0x309B, 0},    {0x309C, 0},
    {0x25DC, 0},    {0x25DD, 0},
    {0x1D622, 0},   {0x1D623, 0}, {0x1D624, 0}, {0x1D625, 0}, {0x1D626, 0}, {0x1D627, 0}, {0x1D628, 0},
    {0x1D629, 0},   {0x1D62A, 0}, {0x1D62B, 0}, {0x1D62C, 0}, {0x1D62D, 0}, {0x1D62E, 0}, {0x1D62F, 0},
    {0x1D630, 0},   {0x1D631, 0}, {0x1D632, 0}, {0x1D633, 0}, {0x1D634, 0}, {0x1D635, 0}, {0x1D636, 0},
    {0x1D637, 0},   {0x1D638, 0}, {0x1D639, 0}, {0x1D63A, 0}, {0x1D63B, 0},
};
constexpr uint32_t WHITE_CIRCLE = 0x25CB;  // code 127

constexpr int glyph_code(int i) { return i < 26 ? 128 + i : i < 42 ? i - 10 : i < 44 ? i + 212 : i + 21; }

constexpr utf8_seq kana_seq(const char8_t* table, int i) {
    return utf8_seq{3, {0xE3, uint8_t(table[i * 3 + 1]), uint8_t(table[i * 3 + 2])}};
}

// The UTF-8 form of every code; n = 0 where the byte is copied unchanged.
constexpr std::array<utf8_seq, 256> encode_table = [] {
    std::array<utf8_seq, 256> t{};
    for (int c = 1; c < 16; c++)
        if (c != 9 && c != 10 && c != 13) t[c] = utf8_of(unicode_superscript[c]);
    for (int i = 0; i < 44; i++) t[glyph_code(i)] = utf8_of(unicode_glyph[i].cp, unicode_glyph[i].then);
    t[127] = utf8_of(WHITE_CIRCLE);
    for (int i = 0; i < KANA_COUNT; i++) {
        t[154 + i] = kana_seq(unicode_hiragana, i);
        t[204 + i] = kana_seq(unicode_katakana, i);
    }
    return t;
}();

struct decode_entry {
    utf8_seq s;
    uint8_t code;
};

constexpr int DECODE_ENTRIES = 70 + 2 * KANA_COUNT + 1 + 12;

// Every form the decoder accepts, grouped by first byte (the order within a
// group is the order of trying), and where each group begins.
struct decode_tables {
    std::array<decode_entry, DECODE_ENTRIES> e{};
    std::array<uint16_t, 257> first{};
};

constexpr decode_tables build_decode_tables() {
    std::array<decode_entry, DECODE_ENTRIES> all{};
    int n = 0;
    for (int i = 0; i < 70; i++)
        all[n++] = {utf8_of(unicode_glyph[i].cp, unicode_glyph[i].then), uint8_t(glyph_code(i))};
    for (int i = 0; i < KANA_COUNT; i++) {
        all[n++] = {kana_seq(unicode_hiragana, i), uint8_t(154 + i)};
        all[n++] = {kana_seq(unicode_katakana, i), uint8_t(204 + i)};
    }
    all[n++] = {utf8_of(WHITE_CIRCLE), 127};
    for (int c : {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 14, 15}) all[n++] = {utf8_of(unicode_superscript[c]), uint8_t(c)};
    decode_tables t{};
    int k = 0;
    for (int b = 0; b < 256; b++) {
        t.first[b] = uint16_t(k);
        for (int i = 0; i < n; i++)
            if (all[i].s.b[0] == b) t.e[k++] = all[i];
    }
    t.first[256] = uint16_t(k);
    return t;
}

constexpr decode_tables decoding = build_decode_tables();
static_assert(decoding.first[256] == DECODE_ENTRIES);

}  // namespace

buffer* encode_host_text(const char* text) {
    const uint8_t* s = (const uint8_t*)(text ? text : "");
    int64_t size = 0;
    for (const uint8_t* p = s; *p; p++) {
        size += encode_table[*p].n ? encode_table[*p].n : 1;
        if (size >= BUFFER_MAX_CAPACITY) return nullptr;
    }
    buffer* out = create_buffer_2(int32_t(size), HOST_TEXT_BUFFER_KIND);
    if (!out) return nullptr;
    uint8_t* o = out->data;
    for (const uint8_t* p = s; *p; p++) {
        const utf8_seq& e = encode_table[*p];
        if (!e.n) {
            *o++ = *p;
        } else {
            memcpy(o, e.b, e.n);
            o += e.n;
        }
    }
    out->length = out->cursor = int32_t(o - out->data);
    out->data[out->length] = 0;
    return out;
}

buffer* decode_host_text(const buffer* text) {
    if (!text) return nullptr;
    return decode_host_text_bytes(text->data, text->length);
}

namespace {

// Where the text begins after a byte order mark and how wide a unit is (one
// byte of each unit is taken); start 0 and unit 1 without a mark. A mark cut
// short counts as what it can still be.
void byte_order_mark(const uint8_t* t, int64_t n, int64_t* start_out, int64_t* unit_out) {
    auto at = [&](int64_t i) { return i < n ? t[i] : -1; };
    int64_t start = 0, unit = 1;
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
        start = 3;
    } else if (at(0) == 0xFF && at(1) == 0xFE) {
        bool utf32 = at(2) == 0 && at(3) == 0;
        start = utf32 ? 4 : 2;
        unit = utf32 ? 4 : 2;
    } else if (at(0) == 0xFE && at(1) == 0xFF && !(at(2) == 0 && at(3) == 0)) {
        start = 3;
        unit = 2;
    } else if (at(0) == 0 && at(1) == 0 && at(2) == 0xFE && at(3) == 0xFF) {
        start = 7;
        unit = 4;
    }
    *start_out = start;
    *unit_out = unit;
}

// keep_lone_cr: a carriage return is dropped only before a line feed.
buffer* decode_units(const uint8_t* t, int64_t n, bool keep_lone_cr) {
    if (!t || n < 0) n = 0;
    int64_t start = 0, unit = 1;
    byte_order_mark(t, n, &start, &unit);
    // A UTF-8 lead byte after an ASCII byte at the very end is a character
    // cut off (a clipboard or a file written in pieces): left out of the
    // result. A lone continuation byte cannot begin one, so it is kept.
    if (unit == 1 && n > 1 && t[n - 1] >= 0xC2 && t[n - 1] <= 0xF4 && t[n - 2] < 0x80) {
        krio_debugf("[decode_host_text] cropping last character of text: %d\n", t[n - 1]);
        n--;
    }
    int64_t most = start < n ? (n - start + unit - 1) / unit : 0;
    if (most >= BUFFER_MAX_CAPACITY) return nullptr;
    buffer* out = create_buffer_2(int32_t(most), HOST_TEXT_BUFFER_KIND);
    if (!out) return nullptr;
    uint8_t* o = out->data;
    for (int64_t pos = start; pos < n; pos += unit) {
        uint8_t c = t[pos];
        if (c == 13 && (!keep_lone_cr || (pos + unit < n && t[pos + unit] == 10))) continue;
        if (c < 0x80) {
            *o++ = c;
            continue;
        }
        uint8_t code = c;
        for (int i = decoding.first[c]; i < decoding.first[c + 1]; i++) {
            const decode_entry& e = decoding.e[i];
            if (e.s.n <= n - pos && memcmp(t + pos + 1, e.s.b + 1, e.s.n - 1u) == 0) {
                code = e.code;
                pos += e.s.n - 1;
                break;
            }
        }
        *o++ = code;
    }
    out->length = out->cursor = int32_t(o - out->data);
    out->data[out->length] = 0;
    return out;
}

}  // namespace

bool is_utf8(const uint8_t* t, int64_t n) {
    for (int64_t i = 0; i < n;) {
        uint8_t c = t[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        int len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (len == 0 || n - i < len) return false;
        // The second byte's range excludes overlong forms, surrogates and
        // code points past U+10FFFF.
        uint8_t lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        uint8_t hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        if (t[i + 1] < lo || t[i + 1] > hi) return false;
        for (int k = 2; k < len; k++)
            if ((t[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

buffer* decode_host_text_bytes(const uint8_t* t, int64_t n) { return decode_units(t, n, false); }

buffer* decode_host_text_file(const buffer* text) {
    if (!text || !text->data || text->length < 0) return nullptr;
    int64_t start = 0, unit = 1;
    byte_order_mark(text->data, text->length, &start, &unit);
    if (start == 0 && !is_utf8(text->data, text->length)) return nullptr;
    return decode_units(text->data, text->length, true);
}

// ---------------------------------------------------------------------------
// MD5 (RFC 1321), over the input in place: only the last block or two are
// copied for the padding.
// ---------------------------------------------------------------------------

namespace {

constexpr uint32_t md5_k[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

inline uint32_t rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

void md5_block(uint32_t h[4], const uint8_t* p) {
    uint32_t x[16];
    for (int i = 0; i < 16; i++) x[i] = load_u32_le(p + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
#define MD5_STEP(f, a, b, c, d, i, g, s) a = b + rotl(a + (f) + x[g] + md5_k[i], s)
#define MD5_F(b, c, d) (d ^ (b & (c ^ d)))
#define MD5_G(b, c, d) (c ^ (d & (b ^ c)))
#define MD5_H(b, c, d) (b ^ c ^ d)
#define MD5_I(b, c, d) (c ^ (b | ~d))
#define MD5_ROUND(F, i, g0, g1, g2, g3, s0, s1, s2, s3) \
    MD5_STEP(F(b, c, d), a, b, c, d, i, g0, s0);        \
    MD5_STEP(F(a, b, c), d, a, b, c, i + 1, g1, s1);    \
    MD5_STEP(F(d, a, b), c, d, a, b, i + 2, g2, s2);    \
    MD5_STEP(F(c, d, a), b, c, d, a, i + 3, g3, s3)
    MD5_ROUND(MD5_F, 0, 0, 1, 2, 3, 7, 12, 17, 22);
    MD5_ROUND(MD5_F, 4, 4, 5, 6, 7, 7, 12, 17, 22);
    MD5_ROUND(MD5_F, 8, 8, 9, 10, 11, 7, 12, 17, 22);
    MD5_ROUND(MD5_F, 12, 12, 13, 14, 15, 7, 12, 17, 22);
    MD5_ROUND(MD5_G, 16, 1, 6, 11, 0, 5, 9, 14, 20);
    MD5_ROUND(MD5_G, 20, 5, 10, 15, 4, 5, 9, 14, 20);
    MD5_ROUND(MD5_G, 24, 9, 14, 3, 8, 5, 9, 14, 20);
    MD5_ROUND(MD5_G, 28, 13, 2, 7, 12, 5, 9, 14, 20);
    MD5_ROUND(MD5_H, 32, 5, 8, 11, 14, 4, 11, 16, 23);
    MD5_ROUND(MD5_H, 36, 1, 4, 7, 10, 4, 11, 16, 23);
    MD5_ROUND(MD5_H, 40, 13, 0, 3, 6, 4, 11, 16, 23);
    MD5_ROUND(MD5_H, 44, 9, 12, 15, 2, 4, 11, 16, 23);
    MD5_ROUND(MD5_I, 48, 0, 7, 14, 5, 6, 10, 15, 21);
    MD5_ROUND(MD5_I, 52, 12, 3, 10, 1, 6, 10, 15, 21);
    MD5_ROUND(MD5_I, 56, 8, 15, 6, 13, 6, 10, 15, 21);
    MD5_ROUND(MD5_I, 60, 4, 11, 2, 9, 6, 10, 15, 21);
#undef MD5_ROUND
#undef MD5_I
#undef MD5_H
#undef MD5_G
#undef MD5_F
#undef MD5_STEP
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
}

}  // namespace

void md5(const void* data, int64_t length, char* out) {
    if (!out) return;
    const uint8_t* p = (const uint8_t*)data;
    if (!p || length < 0) length = 0;
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    int64_t whole = length & ~int64_t(63);
    for (int64_t i = 0; i < whole; i += 64) md5_block(h, p + i);
    // The rest, 0x80, zeros and the 64-bit bit count: one block or two.
    uint8_t tail[128] = {};
    size_t rest = size_t(length - whole);
    if (rest) memcpy(tail, p + whole, rest);
    tail[rest] = 0x80;
    size_t tail_len = rest < 56 ? 64 : 128;
    uint64_t bits = uint64_t(length) << 3;
    for (int i = 0; i < 8; i++) tail[tail_len - 8 + i] = uint8_t(bits >> (8 * i));
    for (size_t i = 0; i < tail_len; i += 64) md5_block(h, tail + i);
    static constexpr char hex[] = "0123456789abcdef";
    for (int i = 0; i < 16; i++) {
        uint8_t v = uint8_t(h[i / 4] >> (8 * (i % 4)));
        out[2 * i] = hex[v >> 4];
        out[2 * i + 1] = hex[v & 15];
    }
    out[32] = 0;
}
