// Image codecs on memory: QOI (our own, the published format with its
// reference limits) and PNG through LodePNG, wrapped onto buffers.
#include "storage/formats.h"

#include <lodepng.h>

#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------------------
// QOI
// ---------------------------------------------------------------------------

namespace {

constexpr uint8_t QOI_OP_INDEX = 0x00;
constexpr uint8_t QOI_OP_DIFF = 0x40;
constexpr uint8_t QOI_OP_LUMA = 0x80;
constexpr uint8_t QOI_OP_RUN = 0xc0;
constexpr uint8_t QOI_OP_RGB = 0xfe;
constexpr uint8_t QOI_OP_RGBA = 0xff;
constexpr uint8_t QOI_MASK_2 = 0xc0;
constexpr int QOI_RUN_MAX = 62;
constexpr uint8_t qoi_padding[QOI_PADDING_SIZE] = {0, 0, 0, 0, 0, 0, 0, 1};
constexpr uint32_t QOI_START_PIXEL = 0xff000000u;  // r, g, b 0, alpha 255

// A pixel is held as one word: r in bits 0-7, g 8-15, b 16-23, a 24-31.
inline uint32_t qoi_hash(uint32_t v) {
    return ((v & 0xff) * 3 + ((v >> 8) & 0xff) * 5 + ((v >> 16) & 0xff) * 7 + (v >> 24) * 11) & 63;
}

inline void put_u32_be(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
inline uint32_t get_u32_be(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

bool qoi_desc_ok(const qoi_desc* d) {
    return d->width != 0 && d->height != 0 && (d->channels == 3 || d->channels == 4) && d->colorspace <= 1 &&
           d->height < QOI_PIXELS_MAX / d->width;
}

template <int CH>
int64_t qoi_encode_pixels(const uint8_t* px_in, size_t npx, uint8_t* out) {
    uint32_t index[64] = {};
    uint32_t prev = QOI_START_PIXEL;
    int64_t p = 0;
    int run = 0;
    for (size_t i = 0; i < npx; i++) {
        const uint8_t* s = px_in + i * CH;
        uint32_t px;
        if (CH == 4) std::memcpy(&px, s, 4);
        else px = (uint32_t)s[0] | (uint32_t)s[1] << 8 | (uint32_t)s[2] << 16 | (prev & 0xff000000u);
        if (px == prev) {
            if (++run == QOI_RUN_MAX || i + 1 == npx) {
                out[p++] = (uint8_t)(QOI_OP_RUN | (run - 1));
                run = 0;
            }
            continue;
        }
        if (run > 0) {
            out[p++] = (uint8_t)(QOI_OP_RUN | (run - 1));
            run = 0;
        }
        uint32_t h = qoi_hash(px);
        if (index[h] == px) {
            out[p++] = (uint8_t)(QOI_OP_INDEX | h);
        } else {
            index[h] = px;
            if ((px >> 24) == (prev >> 24)) {
                int vr = (int8_t)(uint8_t)(px - prev);
                int vg = (int8_t)(uint8_t)((px >> 8) - (prev >> 8));
                int vb = (int8_t)(uint8_t)((px >> 16) - (prev >> 16));
                int vg_r = vr - vg, vg_b = vb - vg;
                if (vr > -3 && vr < 2 && vg > -3 && vg < 2 && vb > -3 && vb < 2) {
                    out[p++] = (uint8_t)(QOI_OP_DIFF | (vr + 2) << 4 | (vg + 2) << 2 | (vb + 2));
                } else if (vg_r > -9 && vg_r < 8 && vg > -33 && vg < 32 && vg_b > -9 && vg_b < 8) {
                    out[p++] = (uint8_t)(QOI_OP_LUMA | (vg + 32));
                    out[p++] = (uint8_t)((vg_r + 8) << 4 | (vg_b + 8));
                } else {
                    out[p++] = QOI_OP_RGB;
                    out[p++] = (uint8_t)px;
                    out[p++] = (uint8_t)(px >> 8);
                    out[p++] = (uint8_t)(px >> 16);
                }
            } else {
                out[p++] = QOI_OP_RGBA;
                std::memcpy(out + p, &px, 4);
                p += 4;
            }
        }
        prev = px;
    }
    return p;
}

template <int CH>
void qoi_decode_pixels(const uint8_t* bytes, int64_t chunks_len, uint8_t* out, size_t npx) {
    uint32_t index[64] = {};
    uint32_t px = QOI_START_PIXEL;
    int64_t p = QOI_HEADER_SIZE;
    int run = 0;
    for (size_t i = 0; i < npx; i++) {
        if (run > 0) {
            run--;
        } else if (p < chunks_len) {
            // Every op reads at most 4 bytes past p; the end marker's 8 bytes
            // lie behind chunks_len, so these reads stay inside the stream.
            uint8_t b1 = bytes[p++];
            if (b1 == QOI_OP_RGB) {
                px = (px & 0xff000000u) | (uint32_t)bytes[p] | (uint32_t)bytes[p + 1] << 8 |
                     (uint32_t)bytes[p + 2] << 16;
                p += 3;
            } else if (b1 == QOI_OP_RGBA) {
                std::memcpy(&px, bytes + p, 4);
                p += 4;
            } else if ((b1 & QOI_MASK_2) == QOI_OP_INDEX) {
                px = index[b1];
            } else if ((b1 & QOI_MASK_2) == QOI_OP_DIFF) {
                uint32_t r = (px + ((b1 >> 4) & 3) - 2) & 0xff;
                uint32_t g = ((px >> 8) + ((b1 >> 2) & 3) - 2) & 0xff;
                uint32_t b = ((px >> 16) + (b1 & 3) - 2) & 0xff;
                px = (px & 0xff000000u) | r | g << 8 | b << 16;
            } else if ((b1 & QOI_MASK_2) == QOI_OP_LUMA) {
                uint8_t b2 = bytes[p++];
                int vg = (b1 & 0x3f) - 32;
                uint32_t r = (px + vg - 8 + ((b2 >> 4) & 0x0f)) & 0xff;
                uint32_t g = ((px >> 8) + vg) & 0xff;
                uint32_t b = ((px >> 16) + vg - 8 + (b2 & 0x0f)) & 0xff;
                px = (px & 0xff000000u) | r | g << 8 | b << 16;
            } else {
                run = b1 & 0x3f;
            }
            index[qoi_hash(px)] = px;
        }
        uint8_t* d = out + i * CH;
        if (CH == 4) {
            std::memcpy(d, &px, 4);
        } else {
            d[0] = (uint8_t)px;
            d[1] = (uint8_t)(px >> 8);
            d[2] = (uint8_t)(px >> 16);
        }
    }
}

}  // namespace

uint8_t* qoi_encode(const void* data, const qoi_desc* desc, int* out_len) {
    if (out_len) *out_len = 0;
    if (!data || !desc || !out_len || !qoi_desc_ok(desc)) return nullptr;
    size_t npx = (size_t)desc->width * desc->height;
    size_t max = npx * (desc->channels + 1u) + QOI_HEADER_SIZE + QOI_PADDING_SIZE;
    uint8_t* out = (uint8_t*)std::malloc(max);
    if (!out) return nullptr;
    std::memcpy(out, "qoif", 4);
    put_u32_be(out + 4, desc->width);
    put_u32_be(out + 8, desc->height);
    out[12] = desc->channels;
    out[13] = desc->colorspace;
    const uint8_t* px = (const uint8_t*)data;
    int64_t n = desc->channels == 4 ? qoi_encode_pixels<4>(px, npx, out + QOI_HEADER_SIZE)
                                     : qoi_encode_pixels<3>(px, npx, out + QOI_HEADER_SIZE);
    int64_t p = QOI_HEADER_SIZE + n;
    std::memcpy(out + p, qoi_padding, QOI_PADDING_SIZE);
    *out_len = (int)(p + QOI_PADDING_SIZE);
    return out;
}

int qoi_read_header(const void* bytes, int64_t size, qoi_desc* desc) {
    if (!bytes || !desc || size < QOI_HEADER_SIZE + QOI_PADDING_SIZE) return 0;
    const uint8_t* b = (const uint8_t*)bytes;
    if (std::memcmp(b, "qoif", 4) != 0) return 0;
    desc->width = get_u32_be(b + 4);
    desc->height = get_u32_be(b + 8);
    desc->channels = b[12];
    desc->colorspace = b[13];
    return qoi_desc_ok(desc) ? 1 : 0;
}

uint8_t* qoi_decode(const void* bytes, int size, qoi_desc* desc, int channels) {
    if (!desc || (channels != 0 && channels != 3 && channels != 4)) return nullptr;
    if (!qoi_read_header(bytes, size, desc)) return nullptr;
    if (channels == 0) channels = desc->channels;
    size_t npx = (size_t)desc->width * desc->height;
    uint8_t* out = (uint8_t*)std::malloc(npx * (size_t)channels);
    if (!out) return nullptr;
    const uint8_t* b = (const uint8_t*)bytes;
    int64_t chunks_len = (int64_t)size - QOI_PADDING_SIZE;
    if (channels == 4) qoi_decode_pixels<4>(b, chunks_len, out, npx);
    else qoi_decode_pixels<3>(b, chunks_len, out, npx);
    return out;
}

// ---------------------------------------------------------------------------
// PNG through LodePNG
// ---------------------------------------------------------------------------

unsigned png_read_header(const void* bytes, int64_t size, unsigned* w, unsigned* h) {
    if (w) *w = 0;
    if (h) *h = 0;
    if (!bytes || size < 0 || !w || !h) return PNG_ERROR_NO_BUFFER;
    LodePNGState st;
    lodepng_state_init(&st);
    unsigned e = lodepng_inspect(w, h, &st, (const unsigned char*)bytes, (size_t)size);
    lodepng_state_cleanup(&st);
    if (e) *w = *h = 0;
    return e;
}

// Decodes the bytes with inflation bounded by what the header says the
// scanlines can hold, so a small picture can not unpack a stream of
// gigabytes first.
static unsigned decode_bounded(uint8_t** out, unsigned* w, unsigned* h, const uint8_t* bytes, size_t len,
                               LodePNGColorType ct, unsigned depth) {
    *out = nullptr;
    *w = *h = 0;
    LodePNGState st;
    lodepng_state_init(&st);
    st.info_raw.colortype = ct;
    st.info_raw.bitdepth = depth;
    unsigned iw = 0, ih = 0;
    unsigned e = lodepng_inspect(&iw, &ih, &st, bytes, len);
    if (!e) {
        uint64_t bpp = lodepng_get_bpp(&st.info_png.color);
        uint64_t line = ((uint64_t)iw * bpp + 7) / 8 + 1;
        // Interlaced pictures add a filter byte and a partial byte per pass row.
        st.decoder.zlibsettings.max_output_size = (size_t)(line * ih + 4ull * ih + 64);
        unsigned char* px = nullptr;
        e = lodepng_decode(&px, w, h, &st, bytes, len);
        if (e) {
            std::free(px);
            *w = *h = 0;
        } else {
            *out = px;
        }
    }
    lodepng_state_cleanup(&st);
    return e;
}

unsigned png_decode32_bytes(uint8_t** out, unsigned* w, unsigned* h, const uint8_t* bytes, int64_t len) {
    if (!out || !w || !h) return PNG_ERROR_NO_BUFFER;
    *out = nullptr;
    *w = *h = 0;
    if (!bytes || len < 0) return PNG_ERROR_NO_BUFFER;
    return decode_bounded(out, w, h, bytes, (size_t)len, LCT_RGBA, 8);
}

unsigned png_encode32_bytes(const uint8_t* pixels, unsigned w, unsigned h, uint8_t** out, size_t* len) {
    if (!out || !len) return PNG_ERROR_NO_BUFFER;
    *out = nullptr;
    *len = 0;
    if (!pixels) return PNG_ERROR_NO_BUFFER;
    unsigned char* png = nullptr;
    size_t n = 0;
    unsigned e = lodepng_encode_memory(&png, &n, pixels, w, h, LCT_RGBA, 8);
    if (e) {
        std::free(png);
        return e;
    }
    *out = png;
    *len = n;
    return 0;
}

unsigned LodePNG_decode32_pbuffer(uint8_t** out, unsigned* w, unsigned* h, buffer* b) {
    return LodePNG_decode_pbuffer(out, w, h, b, LCT_RGBA, 8);
}

unsigned LodePNG_decode_pbuffer(uint8_t** out, unsigned* w, unsigned* h, buffer* b, int colour_type,
                                unsigned bit_depth) {
    if (!out || !w || !h) return PNG_ERROR_NO_BUFFER;
    *out = nullptr;
    *w = *h = 0;
    if (!b) return PNG_ERROR_NO_BUFFER;
    b->cursor = 0;
    return decode_bounded(out, w, h, b->data, (size_t)b->length, (LodePNGColorType)colour_type, bit_depth);
}

unsigned LodePNG_encode32_pbuffer(const uint8_t* pixels, unsigned w, unsigned h, buffer* b) {
    return LodePNG_encode_pbuffer(pixels, w, h, LCT_RGBA, 8, b);
}

unsigned LodePNG_encode_pbuffer(const uint8_t* pixels, unsigned w, unsigned h, int colour_type,
                                unsigned bit_depth, buffer* b) {
    if (!b || !pixels) return PNG_ERROR_NO_BUFFER;
    unsigned char* png = nullptr;
    size_t n = 0;
    unsigned e = lodepng_encode_memory(&png, &n, pixels, w, h, (LodePNGColorType)colour_type, bit_depth);
    if (!e && bwrite(png, 1, (int64_t)n, b) != (int64_t)n) e = PNG_ERROR_NO_ROOM;
    std::free(png);
    return e;
}
