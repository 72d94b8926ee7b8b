// The "dst" binary delta: a greedy single-pass generator over one
// position table, and an applier that trusts nothing it reads.
#include "storage/formats.h"

#include <lz4.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

// ---------------------------------------------------------------------------
// Generator
// ---------------------------------------------------------------------------

static constexpr uint32_t SLOT_EMPTY = 0xFFFFFFFFu;
static std::array<uint32_t, DIFF_TABLE_SLOTS> lookup;

// Only bytes 0 and 3 of the window enter the hash, taken as signed bytes.
static inline uint32_t window_hash(const uint8_t* p) {
    int32_t v = ((int32_t)(int8_t)p[3] * 64 + (int32_t)(int8_t)p[0]) * 627;
    return (uint32_t)v & (DIFF_TABLE_SLOTS - 1);
}

int64_t find_match_len(const uint8_t* old_pos, const uint8_t* new_pos, const uint8_t* old_end,
                       const uint8_t* new_end) {
    int64_t limit = std::min(old_end - old_pos, new_end - new_pos);
    int64_t n = 0;
    while (n + 8 <= limit) {
        uint64_t a, b;
        memcpy(&a, old_pos + n, 8);
        memcpy(&b, new_pos + n, 8);
        if (a != b) break;
        n += 8;
    }
    while (n < limit && old_pos[n] == new_pos[n]) n++;
    return n;
}

int64_t get_hashpos_len(const uint8_t* old, const uint8_t* new_pos, const uint8_t* old_end,
                        const uint8_t* new_end, int64_t* out_source) {
    if (new_end - new_pos <= DIFF_TAIL_NO_LOOKUP) return 0;
    uint32_t s = lookup[window_hash(new_pos)];
    if (s == SLOT_EMPTY) return 0;
    if (out_source) *out_source = s;
    return find_match_len(old + s, new_pos, old_end, new_end);
}

static void put_len(buffer* b, uint32_t n) {
    if (n <= 254) {
        bwrite_uint8(b, (int32_t)n);
    } else {
        bwrite_uint8(b, 255);
        bwrite_uint32(b, n);
    }
}

static void put_literal(buffer* b, const uint8_t* p, uint32_t n) {
    put_len(b, n);
    if (n) bwrite(p, 1, n, b);
}

buffer* generate_diff_inner(const uint8_t* old, int64_t old_len, const uint8_t* nw, int64_t new_len) {
    if (old_len < 0 || new_len < 0 || old_len > DIFF_MAX_CONTENT || new_len > DIFF_MAX_CONTENT)
        return nullptr;
    if ((old_len && !old) || (new_len && !nw)) return nullptr;
    buffer* b = create_buffer_2(256, DIFF_BUFFER_KIND);
    if (!b) return nullptr;
    // The worst case is all literals: head, a 5-byte length and the content.
    if (!ballocate(b, 12 + 5 + new_len + 16)) {
        destroy_buffer(b);
        return nullptr;
    }
    lookup.fill(SLOT_EMPTY);
    bwrite_uint32(b, (uint32_t)new_len);
    bwrite_uint32(b, crc32b(old, old_len));
    bwrite_uint32(b, crc32b(nw, new_len));

    int64_t step = new_len <= 32767 ? 4 : (new_len >> 13);
    if (old_len > 31) {
        for (int64_t p = 0; p < old_len - 31; p += step) {
            uint32_t h = window_hash(old + p);
            if (lookup[h] == SLOT_EMPTY) lookup[h] = (uint32_t)p;
        }
    }

    const uint8_t* old_end = old + old_len;
    const uint8_t* new_end = nw + new_len;
    int64_t pos = 0, lit = 0;
    while (pos < new_len) {
        int64_t best = 0, src = pos;
        if (pos < old_len) best = find_match_len(old + pos, nw + pos, old_end, new_end);
        if (old_len > 0) {
            int64_t s = 0;
            int64_t l = get_hashpos_len(old, nw + pos, old_end, new_end, &s);
            if (l > best) {
                best = l;
                src = s;
            }
        }
        if (best >= DIFF_MIN_COPY) {
            put_literal(b, nw + lit, (uint32_t)(pos - lit));
            put_len(b, (uint32_t)best);
            bwrite_uint32(b, (uint32_t)src);
            pos += best;
            lit = pos;
        } else {
            pos++;
        }
    }
    if (lit < new_len) put_literal(b, nw + lit, (uint32_t)(new_len - lit));
    return b;
}

buffer* generate_diff(const uint8_t* old, int64_t old_len, const uint8_t* nw, int64_t new_len) {
    buffer* inner = generate_diff_inner(old, old_len, nw, new_len);
    if (!inner) return nullptr;
    int bound = LZ4_compressBound(inner->length);
    buffer* out = bound > 0 ? create_buffer_2(bound + 8, DIFF_BUFFER_KIND) : nullptr;
    if (!out) {
        destroy_buffer(inner);
        return nullptr;
    }
    bwrite("dst", 1, 4, out);  // with its NUL
    bwrite_uint32(out, (uint32_t)inner->length);
    int n = LZ4_compress_fast((const char*)inner->data, (char*)out->data + 8, inner->length,
                              (int)out->capacity - 8, 1);
    destroy_buffer(inner);
    if (n <= 0) {
        destroy_buffer(out);
        return nullptr;
    }
    out->length = out->cursor = 8 + n;
    return out;
}

// ---------------------------------------------------------------------------
// Applier
// ---------------------------------------------------------------------------

// Reads a run length (one byte, or 255 then u32) at *at; 0 when cut short.
static bool get_len(const uint8_t* p, int64_t end, int64_t* at, uint32_t* out) {
    if (*at >= end) return false;
    uint8_t first = p[(*at)++];
    if (first < 255) {
        *out = first;
        return true;
    }
    if (end - *at < 4) return false;
    *out = load_u32_le(p + *at);
    *at += 4;
    return true;
}

static buffer* apply_inner(const uint8_t* old, int64_t old_len, const uint8_t* d, int64_t dlen,
                           int marker) {
    if (dlen < 12) {
        krio_debug("** apply_delta: corrupt delta\n");
        return nullptr;
    }
    uint32_t new_len = load_u32_le(d);
    uint32_t old_crc = load_u32_le(d + 4);
    uint32_t new_crc = load_u32_le(d + 8);
    if (crc32b(old, old_len) != old_crc) {
        krio_debugf("** apply_delta: failed src crc (dst marker: %d)\n", marker);
        return nullptr;
    }
    if (new_len > DIFF_MAX_CONTENT) {
        krio_debug("** apply_delta: corrupt delta\n");
        return nullptr;
    }
    buffer* out = create_buffer_2((int32_t)new_len, DIFF_BUFFER_KIND);
    if (!out) return nullptr;
    uint8_t* o = out->data;  // capacity new_len + 1: no growth below
    int64_t olen = 0;
    int64_t at = 12;
    bool ok = true;
    while (at < dlen) {
        uint32_t n;
        if (!get_len(d, dlen, &at, &n) || n > dlen - at || n > new_len - olen) {
            ok = false;
            break;
        }
        memcpy(o + olen, d + at, n);
        olen += n;
        at += n;
        if (at >= dlen) break;
        uint32_t src;
        if (!get_len(d, dlen, &at, &n) || dlen - at < 4) {
            ok = false;
            break;
        }
        src = load_u32_le(d + at);
        at += 4;
        if ((int64_t)src + n > old_len || n > new_len - olen) {
            ok = false;
            break;
        }
        if (n) memcpy(o + olen, old + src, n);
        olen += n;
    }
    if (!ok) {
        krio_debug("** apply_delta: corrupt delta\n");
        destroy_buffer(out);
        return nullptr;
    }
    if (olen != new_len || crc32b(o, olen) != new_crc) {
        krio_debug("** apply_delta: failed dst crc\n");
        destroy_buffer(out);
        return nullptr;
    }
    out->length = out->cursor = (int32_t)olen;
    return out;
}

buffer* apply_diff(const uint8_t* old, int64_t old_len, const uint8_t* delta, int64_t delta_len) {
    if (!delta || delta_len < 0 || old_len < 0 || (old_len && !old)) return nullptr;
    if (delta_len >= 4 && memcmp(delta, "dst", 4) == 0) {
        if (delta_len < 8 || delta_len - 8 > DIFF_MAX_DELTA) {
            krio_debug("** apply_delta: corrupt delta\n");
            return nullptr;
        }
        uint32_t inner_len = load_u32_le(delta + 4);
        // LZ4 expands at most 255 to 1; anything claiming more is corrupt.
        int64_t most = 255 * (delta_len - 8) + 16;
        if (inner_len > DIFF_MAX_INNER || inner_len > most) {
            krio_debug("** apply_delta: corrupt delta\n");
            return nullptr;
        }
        buffer* inner = create_buffer_2((int32_t)inner_len, DIFF_BUFFER_KIND);
        if (!inner) return nullptr;
        int n = LZ4_decompress_safe((const char*)delta + 8, (char*)inner->data, (int)(delta_len - 8),
                                    (int)inner_len);
        if (n < 0) {
            destroy_buffer(inner);
            krio_debug("** apply_delta: corrupt delta\n");
            return nullptr;
        }
        buffer* r = apply_inner(old, old_len, inner->data, n, 1);
        destroy_buffer(inner);
        return r;
    }
    return apply_inner(old, old_len, delta, delta_len, 0);
}
