// The byte buffer: growable byte container with integer, hex and escaped-text
// writers and readers, a line reader and a whole-file loader, plus the live
// buffer counters the system-information calls report.
#include "core/core.h"

#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

static uint32_t total_num_buffers = 0;
static uint32_t total_buffer_allocation = 0;
static uint32_t buffer_group_count[BUFFER_KINDS];
static uint64_t bytes_made = 0, bytes_copied = 0;

static const char hex_char[] = "0123456789abcdef";
static uint8_t scoop_chunk[BUFFER_SCOOP_CHUNK];
static buffer* escaped_buf = nullptr;

static constexpr uint8_t digit_value(int c) {
    return c >= '0' && c <= '9'   ? uint8_t(c - '0')
           : c >= 'a' && c <= 'f' ? uint8_t(c - 'a' + 10)
           : c >= 'A' && c <= 'F' ? uint8_t(c - 'A' + 10)
                                  : 0;
}

struct digit_table_t {
    uint8_t v[256];
    constexpr digit_table_t() : v() {
        for (int i = 0; i < 256; i++) v[i] = digit_value(i);
    }
};
static constexpr digit_table_t hex_digit;

// Kinds outside the table are counted in the totals only.
static void count_kind(int32_t kind, int delta) {
    if (kind >= 0 && kind < BUFFER_KINDS) buffer_group_count[kind] += uint32_t(delta);
}

// Makes room for `need` bytes (position + bytes to write + the spare byte).
// The new capacity is twice the need, capped at the limit; new bytes are
// zeroed. A need past the limit, or a host allocation failure, leaves the
// buffer as it was and returns 0.
static int bgrow(buffer* b, int64_t need) {
    if (need <= int64_t(b->capacity)) return 1;
    if (need > BUFFER_MAX_CAPACITY) return 0;
    int64_t cap = need * 2;
    if (cap > BUFFER_MAX_CAPACITY) cap = BUFFER_MAX_CAPACITY;
    uint8_t* d = static_cast<uint8_t*>(realloc(b->data, size_t(cap)));
    if (!d) return 0;
    memset(d + b->capacity, 0, size_t(cap - b->capacity));
    bytes_made += uint64_t(cap - b->capacity);
    total_buffer_allocation += uint32_t(cap) - b->capacity;
    b->data = d;
    b->capacity = uint32_t(cap);
    return 1;
}

// Writes n bytes at the cursor, growing first; 0 when refused.
static int64_t put_at_cursor(buffer* b, const void* src, int64_t n) {
    if (!b || b->cursor < 0 || n > BUFFER_MAX_CAPACITY) return 0;
    if (!bgrow(b, int64_t(b->cursor) + n + 1)) return 0;
    memcpy(b->data + b->cursor, src, size_t(n));
    bytes_copied += uint64_t(n);
    b->cursor += int32_t(n);
    if (b->cursor > b->length) b->length = b->cursor;
    return n;
}

// Appends n bytes at the end: cursor to length, write, NUL after them.
static int64_t append_at_end(buffer* b, const void* src, int64_t n) {
    if (!b || n > BUFFER_MAX_CAPACITY || !bgrow(b, int64_t(b->length) + n + 1)) return 0;
    memcpy(b->data + b->length, src, size_t(n));
    bytes_copied += uint64_t(n);
    b->length += int32_t(n);
    b->cursor = b->length;
    b->data[b->cursor] = 0;
    return n;
}

// ---------------------------------------------------------------------------
// Creation and life
// ---------------------------------------------------------------------------

static buffer* new_buffer(int64_t capacity, int32_t kind) {
    if (capacity > BUFFER_MAX_CAPACITY) return nullptr;
    buffer* b = static_cast<buffer*>(malloc(sizeof(buffer)));
    if (!b) return nullptr;
    b->data = static_cast<uint8_t*>(calloc(size_t(capacity), 1));
    if (!b->data) {
        free(b);
        return nullptr;
    }
    b->capacity = uint32_t(capacity);
    b->kind = kind;
    b->length = 0;
    b->cursor = 0;
    total_num_buffers++;
    bytes_made += uint64_t(capacity);
    total_buffer_allocation += b->capacity;
    count_kind(kind, 1);
    return b;
}

buffer* create_buffer_2(int32_t size, int32_t kind) {
    return new_buffer(int64_t(size > 0 ? size : 0) + 1, kind);
}

buffer* create_buffer_from_str(const char* text) {
    size_t n = text ? strlen(text) : 0;
    if (n > size_t(BUFFER_MAX_CAPACITY)) return nullptr;
    buffer* b = new_buffer(int64_t(n) + 2, BUFFER_KIND_FROM_STR);
    if (!b) return nullptr;
    memcpy(b->data, text ? text : "", n);
    bytes_copied += uint64_t(n);
    b->length = b->cursor = int32_t(n);
    return b;
}

buffer* create_buffer_from_buffer_2(const buffer* src, int32_t kind) {
    if (!src) return nullptr;
    int64_t cap = int64_t(src->capacity) + 1;
    if (cap > BUFFER_MAX_CAPACITY) cap = BUFFER_MAX_CAPACITY;  // length < capacity still holds
    int32_t len = src->length < 0 ? 0 : src->length;
    if (len >= cap) return nullptr;
    buffer* b = new_buffer(cap, kind);
    if (!b) return nullptr;
    memcpy(b->data, src->data, size_t(len));
    bytes_copied += uint64_t(len);
    b->length = len;
    return b;
}

buffer* create_buffer_from_buffer(const buffer* src) {
    return create_buffer_from_buffer_2(src, BUFFER_KIND_FROM_BUFFER);
}

// Capacity the growth rule reaches when `size` bytes arrive in scoop-sized
// reads, starting from the loader's 4097. Making the block at that size at
// once gives the same buffer without re-zeroing and moving it on each growth.
static int64_t loaded_capacity(int64_t size) {
    int64_t cap = 4097;
    for (int64_t q = 0; q < size; q += BUFFER_SCOOP_CHUNK) {
        int64_t need = (size - q < BUFFER_SCOOP_CHUNK ? size : q + BUFFER_SCOOP_CHUNK) + 1;
        if (need > cap) cap = need * 2 > BUFFER_MAX_CAPACITY ? BUFFER_MAX_CAPACITY : need * 2;
    }
    return cap;
}

buffer* create_buffer_from_file_2(const char* host_path, int32_t kind) {
    FILE* f = host_path ? fopen(host_path, "rb") : nullptr;
    if (!f) return nullptr;
    // A file that cannot fit is refused before reading; the read loop still
    // guards files that grow meanwhile and streams without a size.
    struct stat st;
    int64_t expected = 0;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_size >= BUFFER_MAX_CAPACITY) {
            fclose(f);
            return nullptr;
        }
        expected = st.st_size;
    }
    buffer* b = new_buffer(loaded_capacity(expected), kind);
    while (b) {
        // While the made block has room a read lands in place; past it (a
        // stream, or a file that grew) reads go through the scoop and grow.
        if (int64_t(b->cursor) + BUFFER_SCOOP_CHUNK + 1 <= int64_t(b->capacity)) {
            size_t got = fread(b->data + b->cursor, 1, BUFFER_SCOOP_CHUNK, f);
            if (got == 0) break;
            b->length = b->cursor += int32_t(got);
            continue;
        }
        size_t got = fread(scoop_chunk, 1, sizeof scoop_chunk, f);
        if (got == 0) break;
        if (!put_at_cursor(b, scoop_chunk, int64_t(got))) {  // past the size limit
            destroy_buffer(b);
            b = nullptr;
        }
    }
    fclose(f);
    return b;
}

buffer* create_buffer_from_file(const char* host_path) {
    return create_buffer_from_file_2(host_path, BUFFER_KIND_FROM_FILE);
}

void destroy_buffer(buffer* b) {
    if (!b) return;
    total_num_buffers--;
    total_buffer_allocation -= b->capacity;
    count_kind(b->kind, -1);
    free(b->data);
    free(b);
}

char* to_cstr(buffer* b) {
    if (!b) return nullptr;
    b->data[b->length < 0 ? 0 : b->length] = 0;
    return reinterpret_cast<char*>(b->data);
}

int ballocate(buffer* b, int64_t n) {
    if (!b || n < 0 || n >= BUFFER_MAX_CAPACITY) return 0;
    return bgrow(b, n + 1);
}

void bclear(buffer* b) {
    if (b) b->length = b->cursor = 0;
}

void bcrop(buffer* b, int32_t start, int32_t count) {
    if (!b || start < 0) return;
    if (start < b->length && count > 0) {
        int32_t keep = b->length - start < count ? b->length - start : count;
        memmove(b->data, b->data + start, size_t(keep));
        b->length -= start;
        b->cursor = b->cursor > start ? b->cursor - start : 0;
        memset(b->data + keep, 0, b->capacity - uint32_t(keep));
    } else {
        b->length = b->cursor = 0;
    }
}

uint32_t get_total_num_buffers() { return total_num_buffers; }
uint32_t get_total_buffer_allocation() { return total_buffer_allocation; }
uint64_t get_buffer_bytes_made() { return bytes_made; }
uint64_t get_buffer_bytes_copied() { return bytes_copied; }
uint32_t get_buffer_group_count(int kind) {
    return kind >= 0 && kind < BUFFER_KINDS ? buffer_group_count[kind] : 0;
}

// ---------------------------------------------------------------------------
// Integer writers
// ---------------------------------------------------------------------------

int bwrite_uint8_slow(buffer* b, int32_t v) {
    uint8_t c = uint8_t(v);
    return int(put_at_cursor(b, &c, 1));
}

int bwrite_uint16(buffer* b, int32_t v) {
    uint8_t t[2] = {uint8_t(v), uint8_t(v >> 8)};
    return int(put_at_cursor(b, t, 2));
}

int bwrite_uint32(buffer* b, uint32_t v) {
    uint8_t t[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return int(put_at_cursor(b, t, 4));
}

int bwrite_uint32_big_endian(buffer* b, uint32_t v) {
    uint8_t t[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return int(put_at_cursor(b, t, 4));
}

int64_t bwrite(const void* src, int64_t size, int64_t count, buffer* b) {
    int64_t n;
    if (__builtin_mul_overflow(size, count, &n)) return 0;
    if (n < 1) return n;
    if (!src) return 0;
    return put_at_cursor(b, src, n);
}

// ---------------------------------------------------------------------------
// Hex writers
// ---------------------------------------------------------------------------

static void hex_digits(char* out, uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; i--, v >>= 4) out[i] = hex_char[v & 15];
}

int bwrite_uint8_as_hex(buffer* b, int32_t v) {
    char t[2];
    hex_digits(t, uint8_t(v), 2);
    return int(put_at_cursor(b, t, 2));
}

static int append_hex(buffer* b, uint64_t v, int digits) {
    char t[16];
    hex_digits(t, v, digits);
    return int(append_at_end(b, t, digits));
}

int bwrite_int16_as_hex(buffer* b, int32_t v) { return append_hex(b, uint16_t(v), 4); }
int bwrite_int32_as_hex(buffer* b, int32_t v) { return append_hex(b, uint32_t(v), 8); }
int bwrite_int64_as_hex(buffer* b, int64_t v) { return append_hex(b, uint64_t(v), 16); }

// ---------------------------------------------------------------------------
// Text appenders and escaping
// ---------------------------------------------------------------------------

int bappend_str(buffer* b, const char* s) {
    if (!s) return 0;
    size_t n = strlen(s);
    if (n > size_t(BUFFER_MAX_CAPACITY)) return 0;
    return int(append_at_end(b, s, int64_t(n)));
}

static void escape_decimal(uint8_t* out, uint8_t c) {
    out[0] = '\\';
    out[1] = uint8_t('0' + c / 100);
    out[2] = uint8_t('0' + c / 10 % 10);
    out[3] = uint8_t('0' + c % 10);
}

static bool plain_in_str(uint8_t c) { return c >= 32 && c <= 127 && c != '\\' && c != '"'; }

// Sizes the output first so the buffer grows once and a refusal writes nothing.
int bappend_str_escaped(buffer* b, const char* s) {
    if (!b || !s) return 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
    int64_t n = 0;
    for (const uint8_t* q = p; *q; q++) n += plain_in_str(*q) ? 1 : 4;
    if (!bgrow(b, int64_t(b->length) + n + 1)) return 0;
    uint8_t* out = b->data + b->length;
    for (; *p; p++) {
        if (plain_in_str(*p)) {
            *out++ = *p;
        } else {
            escape_decimal(out, *p);
            out += 4;
        }
    }
    b->length += int32_t(n);
    b->cursor = b->length;
    b->data[b->cursor] = 0;
    return int(n);
}

const char* escape_lua_string(const char* s) {
    if (!escaped_buf) escaped_buf = create_buffer_2(1024, BUFFER_KIND_ESCAPED);
    if (!escaped_buf) return "";
    bclear(escaped_buf);
    bappend_str_escaped(escaped_buf, s);
    return to_cstr(escaped_buf);
}

// Output size of one byte in the object-text escaping: 1, 2 or 4.
static int escaped_size(uint8_t c) {
    if (c == '"' || c == '\\' || c == '\n') return 2;
    return c >= 32 && c <= 126 && c != ']' ? 1 : 4;
}

// Plain bytes go to the cursor, escape sequences to the end of the data; the
// callers keep the cursor at the end so both meet in one run.
int bwrite_escaped_string(buffer* b, const uint8_t* src, int32_t len) {
    if (!b || !src || len <= 0 || b->cursor < 0) return 0;
    int64_t n = 0;
    for (int32_t i = 0; i < len; i++) n += escaped_size(src[i]);
    int64_t start = b->cursor > b->length ? b->cursor : b->length;
    if (!bgrow(b, start + n + 1)) return 0;
    uint8_t* d = b->data;
    int32_t cur = b->cursor, length = b->length;
    for (int32_t i = 0; i < len; i++) {
        uint8_t c = src[i];
        int k = escaped_size(c);
        if (k == 1) {
            d[cur++] = c;
            if (cur > length) length = cur;
            continue;
        }
        cur = length;
        if (k == 2) {
            d[cur] = '\\';
            d[cur + 1] = c == '\n' ? 'n' : c;
        } else {
            escape_decimal(d + cur, c);
        }
        cur += k;
        length = cur;
        d[cur] = 0;
    }
    b->cursor = cur;
    b->length = length;
    return int(n);
}

// ---------------------------------------------------------------------------
// Readers
// ---------------------------------------------------------------------------

// Position of n readable bytes at the cursor, or null when fewer remain.
static const uint8_t* take(buffer* b, int32_t n) {
    if (!b || b->cursor < 0 || int64_t(b->cursor) + n > b->length) return nullptr;
    const uint8_t* p = b->data + b->cursor;
    b->cursor += n;
    return p;
}

uint8_t bread_uint8(buffer* b) {
    const uint8_t* p = take(b, 1);
    return p ? p[0] : 0;
}

uint16_t bread_uint16(buffer* b) {
    const uint8_t* p = take(b, 2);
    return p ? uint16_t(p[0] | p[1] << 8) : 0;
}

uint32_t bread_uint32(buffer* b) {
    const uint8_t* p = take(b, 4);
    return p ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24 : 0;
}

uint32_t bread_uint32_big_endian(buffer* b) {
    const uint8_t* p = take(b, 4);
    return p ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]) : 0;
}

uint8_t bread_uint8_hex(buffer* b) {
    const uint8_t* p = take(b, 2);
    return p ? uint8_t(hex_digit.v[p[0]] << 4 | hex_digit.v[p[1]]) : 0;
}

int64_t bread(void* dst, int64_t size, int64_t count, buffer* b) {
    int64_t n;
    if (!b || !dst || b->cursor < 0 || __builtin_mul_overflow(size, count, &n)) return 0;
    int64_t left = int64_t(b->length) - b->cursor;
    if (n > left) n = left;
    if (n <= 0) return 0;
    memcpy(dst, b->data + b->cursor, size_t(n));
    b->cursor += int32_t(n);
    return n;
}

buffer* breadln(buffer* src, buffer* dst) {
    if (dst) {
        dst->length = dst->cursor = 0;
    } else {
        dst = create_buffer_2(16, BUFFER_KIND_LINE);
        if (!dst) return nullptr;
    }
    if (src && src->cursor >= 0 && src->cursor < src->length) {
        const uint8_t* from = src->data + src->cursor;
        size_t left = size_t(src->length - src->cursor);
        const uint8_t* lf = static_cast<const uint8_t*>(memchr(from, '\n', left));
        size_t line = lf ? size_t(lf - from) : left;
        size_t used = lf ? line + 1 : line;
        if (lf && line > 0 && from[line - 1] == '\r') line--;
        if (line == 0 || put_at_cursor(dst, from, int64_t(line))) src->cursor += int32_t(used);
    }
    if (bgrow(dst, int64_t(dst->cursor) + 1)) dst->data[dst->cursor] = 0;
    return dst;
}

// ---------------------------------------------------------------------------
// Hex text readers: a NUL in place of a digit ends the read with 0, leaving
// the pointer on it.
// ---------------------------------------------------------------------------

static uint64_t read_hex_digits(const char** p, int digits) {
    if (!p || !*p) return 0;
    uint64_t v = 0;
    for (int i = 0; i < digits; i++) {
        uint8_t c = uint8_t(**p);
        if (!c) return 0;
        v = v << 4 | hex_digit.v[c];
        (*p)++;
    }
    return v;
}

uint8_t read_u8_from_hex_str(const char** p) { return uint8_t(read_hex_digits(p, 2)); }
int16_t read_i16_from_hex_str(const char** p) { return int16_t(uint16_t(read_hex_digits(p, 4))); }
int32_t read_i32_from_hex_str(const char** p) { return int32_t(uint32_t(read_hex_digits(p, 8))); }
uint32_t read_u32_from_hex_str(const char** p) { return uint32_t(read_hex_digits(p, 8)); }
int64_t read_i64_from_hex_str(const char** p) { return int64_t(read_hex_digits(p, 16)); }
