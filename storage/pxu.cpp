// Byte pieces of object data: pxu packing of typed userdata and the lz4
// piece. Pure codecs over bytes; the object reader and writer call them.
#include <lz4.h>
#include <lz4hc.h>

#include <cstring>

#include "storage/formats.h"
#include "storage/vyn.h"
#include "userdata/userdata.h"

static const uint8_t kPieceTag[2][VYN_PIECE_TAG_LEN] = {{'p', 'x', 'u', 0}, {'l', 'z', '4', 0}};

// Size of an extended run: the field's maximum, then bytes added while the
// byte added was 255.
static void put_extension(buffer* out, int64_t rest) {
    for (;;) {
        int v = rest > 255 ? 255 : (int)rest;
        bwrite_uint8(out, v);
        rest -= v;
        if (v < 255) return;
    }
}

// Reads extension bytes onto run; false when they pass the end.
static bool read_extension(const uint8_t*& p, const uint8_t* end, int64_t& run) {
    for (;;) {
        if (p >= end) return false;
        uint8_t e = *p++;
        run += e;
        if (e != 255) return true;
    }
}

// The recently used values of PXU_MODE_RECENT, the same on both sides and
// fresh for every piece: slot i starts holding i, and the first `slots`
// entries of the recency list are always a permutation of slots 0..slots-1.
struct recent_values {
    uint8_t value[256];
    uint8_t order[64];
    int slots;
    explicit recent_values(int bits) : slots((1 << bits) - 1) {
        for (int i = 0; i < 256; i++) value[i] = (uint8_t)i;
        for (int i = 0; i < 64; i++) order[i] = (uint8_t)i;
    }
    void hit(int slot) {
        int k = 0;
        while (order[k] != slot) k++;
        std::memmove(order + 1, order, (size_t)k);
        order[0] = (uint8_t)slot;
    }
    void store(uint8_t v) { value[order[slots - 1]] = v; }
};

static void encode_recent(const uint8_t* d, int64_t n, int bits, buffer* out) {
    recent_values rv(bits);
    const int escape = rv.slots;
    const int64_t max_field = (1 << (8 - bits)) - 1;
    for (int64_t i = 0; i < n;) {
        uint8_t v = d[i];
        int64_t j = i + 1;
        while (j < n && d[j] == v) j++;
        int64_t r = j - i - 1;
        int field = (int)(r < max_field ? r : max_field);
        int slot = 0;
        while (slot < rv.slots && rv.value[slot] != v) slot++;
        if (slot < rv.slots) {
            bwrite_uint8(out, field << bits | slot);
            rv.hit(slot);
        } else {
            bwrite_uint8(out, field << bits | escape);
            bwrite_uint8(out, v);
            rv.store(v);
        }
        if (r >= max_field) put_extension(out, r - max_field);
        i = j;
    }
}

template <typename T>
static void encode_runs(const uint8_t* d, int64_t n, buffer* out) {
    for (int64_t i = 0; i < n;) {
        T v;
        std::memcpy(&v, d + i * sizeof(T), sizeof(T));
        int64_t j = i + 1;
        for (; j < n; j++) {
            T w;
            std::memcpy(&w, d + j * sizeof(T), sizeof(T));
            if (w != v) break;
        }
        int64_t r = j - i - 1;
        bwrite_uint8(out, (int)(r < 255 ? r : 255));
        if (sizeof(T) == 2) bwrite_uint16(out, v);
        else bwrite_uint8(out, v);
        if (r >= 255) put_extension(out, r - 255);
        i = j;
    }
}

int64_t write_binary_pxu(const uint8_t* block, buffer* out, int bits, int mode) {
    if (!block || !out) return 0;
    int type = ud_type(block);
    bool u8 = type == UTYPE_U8;
    if (!(u8 || (type == UTYPE_I16 && mode == PXU_MODE_RUNS))) return 0;
    if (mode != PXU_MODE_RAW && mode != PXU_MODE_RECENT && mode != PXU_MODE_RUNS) return 0;
    bits = bits < 1 ? 1 : bits > PXU_BITS_MAX ? PXU_BITS_MAX : bits;
    int64_t start = out->length;
    out->cursor = out->length;
    uint32_t w = ud_width(block), h = ud_height(block);
    int dims = ud_dims(block) == 2 ? 2 : 1;
    int64_t n = (int64_t)w * h;
    // Room for the longest body at once: two bytes an element (three for
    // i16 runs), extensions only where a run covers many elements.
    if (!ballocate(out, start + 16 + n * (u8 ? 2 : 3))) return 0;
    bool wide = w > 255 || (dims == 2 && h > 255);
    bwrite(kPieceTag[0], 1, VYN_PIECE_TAG_LEN, out);
    bwrite_uint8(out, (dims - 1) << 6 | type);
    bwrite_uint8(out, mode | (wide ? PXU_FLAG_U32 : 0));
    for (int i = 0; i < dims; i++) {
        uint32_t side = i ? h : w;
        if (wide) bwrite_uint32(out, side);
        else bwrite_uint8(out, (int)side);
    }
    const uint8_t* d = ud_data(block);
    if (mode == PXU_MODE_RAW) {
        bwrite(d, 1, n, out);
    } else if (mode == PXU_MODE_RECENT) {
        bwrite_uint8(out, bits);
        encode_recent(d, n, bits, out);
    } else {
        bwrite_uint8(out, 0);
        if (u8) encode_runs<uint8_t>(d, n, out);
        else encode_runs<uint16_t>(d, n, out);
    }
    return out->length - start;
}

static bool known_type(int t) {
    return t == UTYPE_U8 || t == UTYPE_I16 || t == UTYPE_I32 || t == UTYPE_I64 || t == UTYPE_F64;
}

int64_t pxu_read_header(const uint8_t* p, int64_t n, pxu_header* h) {
    if (!p || !h || n < 6 || std::memcmp(p, kPieceTag[0], VYN_PIECE_TAG_LEN) != 0) return -1;
    if (p[5] <= PXU_LEGACY_MAX_FLAGS) {
        // Older layout: u32 width, u32 height, four spare bytes, the type,
        // then a recent-values body; always two dimensions.
        if (n < 17) return -1;
        h->width = load_u32_le(p + 4);
        h->height = load_u32_le(p + 8);
        h->type = p[16] & UTYPE_MASK;
        h->dims = 2;
        h->mode = PXU_MODE_RECENT;
        return known_type(h->type) ? 17 : -1;
    }
    h->type = p[4] & 63;
    h->dims = (p[4] >> 6) + 1;
    h->mode = p[5] & 0xF0;
    bool wide = (p[5] & PXU_FLAG_U32) != 0;
    int64_t side = wide ? 4 : 1;
    int64_t len = 6 + side * (h->dims == 2 ? 2 : 1);
    if (!known_type(h->type) || h->dims > 2) return -1;
    if (h->mode != PXU_MODE_RAW && h->mode != PXU_MODE_RECENT && h->mode != PXU_MODE_RUNS) return -1;
    if (n < len) return -1;
    h->width = wide ? load_u32_le(p + 6) : p[6];
    h->height = h->dims == 2 ? (wide ? load_u32_le(p + 10) : p[7]) : 1;
    return len;
}

// Stores v into element i of the given type.
static inline void set_element(uint8_t* e, int type, int64_t i, uint32_t v) {
    switch (type) {
    case UTYPE_U8: e[i] = (uint8_t)v; break;
    case UTYPE_I16: {
        uint16_t x = (uint16_t)v;
        std::memcpy(e + 2 * i, &x, 2);
        break;
    }
    case UTYPE_I32: std::memcpy(e + 4 * i, &v, 4); break;
    case UTYPE_I64: {
        uint64_t x = v;
        std::memcpy(e + 8 * i, &x, 8);
        break;
    }
    case UTYPE_F64: {
        double x = v;
        std::memcpy(e + 8 * i, &x, 8);
        break;
    }
    }
}

static void fill(uint8_t* e, int type, int64_t at, int64_t count, uint32_t v) {
    if (type == UTYPE_U8) {
        std::memset(e + at, (int)v, (size_t)count);
        return;
    }
    for (int64_t i = at; i < at + count; i++) set_element(e, type, i, v);
}

int64_t pxu_decode_body(const pxu_header* h, const uint8_t* p, int64_t n, uint8_t* elements) {
    if (!h || !p || !elements || n < 0) return -1;
    const int64_t total = (int64_t)h->width * h->height;
    const uint8_t* const start = p;
    const uint8_t* const end = p + n;
    if (h->mode == PXU_MODE_RAW) {
        int64_t bytes = total * ud_elem_bytes(h->type);
        if (bytes > n) return -1;
        std::memcpy(elements, p, (size_t)bytes);
        return bytes;
    }
    if (p >= end) return -1;
    int64_t done = 0;
    if (h->mode == PXU_MODE_RUNS) {
        p++;  // a zero byte where the other mode keeps its bits
        const bool wide = h->type == UTYPE_I16;
        while (done < total) {
            if (end - p < (wide ? 3 : 2)) return -1;
            int64_t run = *p++;
            uint32_t v = wide ? (uint32_t)(p[0] | p[1] << 8) : p[0];
            p += wide ? 2 : 1;
            if (run == 255 && !read_extension(p, end, run)) return -1;
            int64_t k = run + 1 < total - done ? run + 1 : total - done;
            fill(elements, h->type, done, k, v);
            done += k;
        }
        return p - start;
    }
    int bits = *p++;
    if (bits < 1 || bits > PXU_BITS_MAX) return -1;
    recent_values rv(bits);
    const int64_t max_field = (1 << (8 - bits)) - 1;
    while (done < total) {
        if (p >= end) return -1;
        uint8_t c = *p++;
        int slot = c & rv.slots;
        int64_t run = c >> bits;
        uint8_t v;
        if (slot == rv.slots) {
            if (p >= end) return -1;
            v = *p++;
            rv.store(v);
        } else {
            v = rv.value[slot];
            rv.hit(slot);
        }
        if (run == max_field && !read_extension(p, end, run)) return -1;
        int64_t k = run + 1 < total - done ? run + 1 : total - done;
        fill(elements, h->type, done, k, v);
        done += k;
    }
    return p - start;
}

// ---------------------------------------------------------------------------
// lz4 pieces
// ---------------------------------------------------------------------------

// One compression state per thread, reset for every piece: setting up a
// fresh one clears about 256 KB, far more than a message's own work.
static LZ4_streamHC_t* packing_state() {
    static thread_local LZ4_streamHC_t* state = nullptr;
    if (!state) state = LZ4_createStreamHC();
    if (state) LZ4_resetStreamHC_fast(state, VYN_LZ4_LEVEL);
    return state;
}

int vyn_pack_lz4(const uint8_t* text, int64_t len, buffer* out) {
    if (!text || !out || len < 0 || len > VYN_MAX_TEXT || len > LZ4_MAX_INPUT_SIZE) return -1;
    int bound = LZ4_compressBound((int)len);
    int64_t at = out->length;
    LZ4_streamHC_t* state = packing_state();
    if (!state || !ballocate(out, at + VYN_LZ4_HEAD + bound)) return -1;
    int packed = LZ4_compress_HC_continue(state, (const char*)text, (char*)out->data + at + VYN_LZ4_HEAD, (int)len,
                                          bound);
    if (packed <= 0) return -1;
    out->cursor = (int32_t)at;
    bwrite(kPieceTag[1], 1, VYN_PIECE_TAG_LEN, out);
    bwrite_uint32(out, (uint32_t)packed);
    bwrite_uint32(out, (uint32_t)len);
    out->length = out->cursor = (int32_t)(at + VYN_LZ4_HEAD + packed);
    out->data[out->length] = 0;
    return 0;
}

int64_t vyn_unpack_lz4(const uint8_t* p, int64_t n, int64_t max_text, buffer** text) {
    if (!p || !text || n < VYN_LZ4_HEAD || std::memcmp(p, kPieceTag[1], VYN_PIECE_TAG_LEN) != 0) return -1;
    *text = nullptr;
    int64_t packed = load_u32_le(p + 4), len = load_u32_le(p + 8);
    if (packed > n - VYN_LZ4_HEAD || packed > LZ4_MAX_INPUT_SIZE) return -1;
    if (len > max_text || len > VYN_MAX_UNPACKED) return -1;
    buffer* b = create_buffer_2((int32_t)len + 1, VYN_SCRATCH_KIND);
    if (!b) return -1;
    int got = LZ4_decompress_safe((const char*)p + VYN_LZ4_HEAD, (char*)b->data, (int)packed, (int)len);
    if (got != len) {
        krio_debugf("reading corrupt lz4 value // sizes do not match: %d %d\n", got, (int)len);
        destroy_buffer(b);
        return -1;
    }
    b->length = (int32_t)len;
    b->cursor = 0;
    b->data[len] = 0;
    *text = b;
    return VYN_LZ4_HEAD + packed;
}

// ---------------------------------------------------------------------------
// base64 pieces
// ---------------------------------------------------------------------------

static const char kB64Open[] = "unvyn(\"b64:";
static const char kB64Close[] = "\")";

int vyn_wrap_b64(const uint8_t* bytes, int64_t len, buffer* out) {
    if (!bytes || !out || len < 0) return -1;
    const int64_t at = out->length, bound = base64_encode_bound(len);
    const int64_t open = sizeof kB64Open - 1, close = sizeof kB64Close - 1;
    if (bound > (int64_t)BUFFER_MAX_CAPACITY - at - open - close - 1) return -1;
    if (!ballocate(out, at + open + bound + close)) return -1;
    char* o = (char*)out->data + at;
    std::memcpy(o, kB64Open, (size_t)open);
    base64_encodestate st;
    base64_init_encodestate(&st);
    int64_t n = base64_encode_block(bytes, len, o + open, &st);
    n += base64_encode_blockend(o + open + n, &st);
    std::memcpy(o + open + n, kB64Close, (size_t)close);
    out->length = out->cursor = (int32_t)(at + open + n + close);
    out->data[out->length] = 0;
    return 0;
}

buffer* vyn_unwrap_b64(const uint8_t* text, int64_t len, int64_t max_bytes) {
    if (!text || len < 0) return nullptr;
    // Characters outside the alphabet are skipped, so the size is known
    // only from the characters that count.
    int64_t digits = 0;
    for (int64_t i = 0; i < len; i++) digits += base64_decode_value(text[i]) >= 0;
    int64_t bytes = digits * 6 / 8;
    if (bytes > max_bytes || bytes > VYN_MAX_UNPACKED) return nullptr;
    buffer* b = create_buffer_2((int32_t)base64_decode_bound(digits) + 1, VYN_SCRATCH_KIND);
    if (!b) return nullptr;
    base64_decodestate st;
    base64_init_decodestate(&st);
    b->length = b->cursor = (int32_t)base64_decode_block((const char*)text, len, b->data, &st);
    b->data[b->length] = 0;
    b->cursor = 0;
    return b;
}
