// MurmurHash3, the three published variants. Blocks are read little-endian
// whatever the host, so names derived from these hashes are portable.
#include "storage/formats.h"

#include <cstring>

static inline uint32_t rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
static inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

static inline uint64_t load64(const uint8_t* p) {
    return (uint64_t)load_u32_le(p) | ((uint64_t)load_u32_le(p + 4) << 32);
}

static inline uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

static inline uint64_t fmix64(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdull;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ull;
    k ^= k >> 33;
    return k;
}

static inline void store32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

void murmurhash3_x86_32(const void* key, int32_t len, uint32_t seed, void* out) {
    if (len < 0 || !key) len = 0;
    const uint8_t* data = (const uint8_t*)key;
    const int32_t nblocks = len / 4;
    const uint32_t c1 = 0xcc9e2d51u, c2 = 0x1b873593u;
    uint32_t h1 = seed;
    for (int32_t i = 0; i < nblocks; i++) {
        uint32_t k1 = load_u32_le(data + 4 * i);
        k1 *= c1;
        k1 = rotl32(k1, 15);
        k1 *= c2;
        h1 ^= k1;
        h1 = rotl32(h1, 13);
        h1 = h1 * 5 + 0xe6546b64u;
    }
    const uint8_t* tail = data + nblocks * 4;
    uint32_t k1 = 0;
    switch (len & 3) {
        case 3: k1 ^= (uint32_t)tail[2] << 16; [[fallthrough]];
        case 2: k1 ^= (uint32_t)tail[1] << 8; [[fallthrough]];
        case 1:
            k1 ^= tail[0];
            k1 *= c1;
            k1 = rotl32(k1, 15);
            k1 *= c2;
            h1 ^= k1;
    }
    h1 ^= (uint32_t)len;
    h1 = fmix32(h1);
    uint32_t result = h1;
    memcpy(out, &result, 4);
}

uint32_t mmh3_x86_32(const void* key, int32_t len, uint32_t seed) {
    uint32_t h;
    murmurhash3_x86_32(key, len, seed, &h);
    return h;
}

void murmurhash3_x86_128(const void* key, int32_t len, uint32_t seed, void* out) {
    if (len < 0 || !key) len = 0;
    const uint8_t* data = (const uint8_t*)key;
    const int32_t nblocks = len / 16;
    uint32_t h1 = seed, h2 = seed, h3 = seed, h4 = seed;
    const uint32_t c1 = 0x239b961bu, c2 = 0xab0e9789u, c3 = 0x38b34ae5u, c4 = 0xa1e38b93u;
    for (int32_t i = 0; i < nblocks; i++) {
        const uint8_t* b = data + 16 * i;
        uint32_t k1 = load_u32_le(b), k2 = load_u32_le(b + 4), k3 = load_u32_le(b + 8), k4 = load_u32_le(b + 12);
        k1 *= c1; k1 = rotl32(k1, 15); k1 *= c2; h1 ^= k1;
        h1 = rotl32(h1, 19); h1 += h2; h1 = h1 * 5 + 0x561ccd1bu;
        k2 *= c2; k2 = rotl32(k2, 16); k2 *= c3; h2 ^= k2;
        h2 = rotl32(h2, 17); h2 += h3; h2 = h2 * 5 + 0x0bcaa747u;
        k3 *= c3; k3 = rotl32(k3, 17); k3 *= c4; h3 ^= k3;
        h3 = rotl32(h3, 15); h3 += h4; h3 = h3 * 5 + 0x96cd1c35u;
        k4 *= c4; k4 = rotl32(k4, 18); k4 *= c1; h4 ^= k4;
        h4 = rotl32(h4, 13); h4 += h1; h4 = h4 * 5 + 0x32ac3b17u;
    }
    const uint8_t* tail = data + nblocks * 16;
    uint32_t k1 = 0, k2 = 0, k3 = 0, k4 = 0;
    switch (len & 15) {
        case 15: k4 ^= (uint32_t)tail[14] << 16; [[fallthrough]];
        case 14: k4 ^= (uint32_t)tail[13] << 8; [[fallthrough]];
        case 13:
            k4 ^= (uint32_t)tail[12];
            k4 *= c4; k4 = rotl32(k4, 18); k4 *= c1; h4 ^= k4;
            [[fallthrough]];
        case 12: k3 ^= (uint32_t)tail[11] << 24; [[fallthrough]];
        case 11: k3 ^= (uint32_t)tail[10] << 16; [[fallthrough]];
        case 10: k3 ^= (uint32_t)tail[9] << 8; [[fallthrough]];
        case 9:
            k3 ^= (uint32_t)tail[8];
            k3 *= c3; k3 = rotl32(k3, 17); k3 *= c4; h3 ^= k3;
            [[fallthrough]];
        case 8: k2 ^= (uint32_t)tail[7] << 24; [[fallthrough]];
        case 7: k2 ^= (uint32_t)tail[6] << 16; [[fallthrough]];
        case 6: k2 ^= (uint32_t)tail[5] << 8; [[fallthrough]];
        case 5:
            k2 ^= (uint32_t)tail[4];
            k2 *= c2; k2 = rotl32(k2, 16); k2 *= c3; h2 ^= k2;
            [[fallthrough]];
        case 4: k1 ^= (uint32_t)tail[3] << 24; [[fallthrough]];
        case 3: k1 ^= (uint32_t)tail[2] << 16; [[fallthrough]];
        case 2: k1 ^= (uint32_t)tail[1] << 8; [[fallthrough]];
        case 1:
            k1 ^= (uint32_t)tail[0];
            k1 *= c1; k1 = rotl32(k1, 15); k1 *= c2; h1 ^= k1;
    }
    h1 ^= (uint32_t)len; h2 ^= (uint32_t)len; h3 ^= (uint32_t)len; h4 ^= (uint32_t)len;
    h1 += h2; h1 += h3; h1 += h4;
    h2 += h1; h3 += h1; h4 += h1;
    h1 = fmix32(h1); h2 = fmix32(h2); h3 = fmix32(h3); h4 = fmix32(h4);
    h1 += h2; h1 += h3; h1 += h4;
    h2 += h1; h3 += h1; h4 += h1;
    uint8_t* o = (uint8_t*)out;
    store32(o, h1);
    store32(o + 4, h2);
    store32(o + 8, h3);
    store32(o + 12, h4);
}

void murmurhash3_x64_128(const void* key, int32_t len, uint32_t seed, void* out) {
    if (len < 0 || !key) len = 0;
    const uint8_t* data = (const uint8_t*)key;
    const int32_t nblocks = len / 16;
    uint64_t h1 = seed, h2 = seed;
    const uint64_t c1 = 0x87c37b91114253d5ull, c2 = 0x4cf5ad432745937full;
    for (int32_t i = 0; i < nblocks; i++) {
        uint64_t k1 = load64(data + 16 * i), k2 = load64(data + 16 * i + 8);
        k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;
        h1 = rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;
        k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
        h2 = rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
    }
    const uint8_t* tail = data + nblocks * 16;
    uint64_t k1 = 0, k2 = 0;
    switch (len & 15) {
        case 15: k2 ^= (uint64_t)tail[14] << 48; [[fallthrough]];
        case 14: k2 ^= (uint64_t)tail[13] << 40; [[fallthrough]];
        case 13: k2 ^= (uint64_t)tail[12] << 32; [[fallthrough]];
        case 12: k2 ^= (uint64_t)tail[11] << 24; [[fallthrough]];
        case 11: k2 ^= (uint64_t)tail[10] << 16; [[fallthrough]];
        case 10: k2 ^= (uint64_t)tail[9] << 8; [[fallthrough]];
        case 9:
            k2 ^= (uint64_t)tail[8];
            k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
            [[fallthrough]];
        case 8: k1 ^= (uint64_t)tail[7] << 56; [[fallthrough]];
        case 7: k1 ^= (uint64_t)tail[6] << 48; [[fallthrough]];
        case 6: k1 ^= (uint64_t)tail[5] << 40; [[fallthrough]];
        case 5: k1 ^= (uint64_t)tail[4] << 32; [[fallthrough]];
        case 4: k1 ^= (uint64_t)tail[3] << 24; [[fallthrough]];
        case 3: k1 ^= (uint64_t)tail[2] << 16; [[fallthrough]];
        case 2: k1 ^= (uint64_t)tail[1] << 8; [[fallthrough]];
        case 1:
            k1 ^= (uint64_t)tail[0];
            k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;
    }
    h1 ^= (uint64_t)len; h2 ^= (uint64_t)len;
    h1 += h2; h2 += h1;
    h1 = fmix64(h1); h2 = fmix64(h2);
    h1 += h2; h2 += h1;
    uint8_t* o = (uint8_t*)out;
    for (int i = 0; i < 8; i++) o[i] = (uint8_t)(h1 >> (8 * i));
    for (int i = 0; i < 8; i++) o[8 + i] = (uint8_t)(h2 >> (8 * i));
}
