// QOI against hand-derived vectors for every chunk kind and random round
// trips; the PNG wrappers on each colour type, their errors, and inflation
// bounded by the header.
#include <gtest/gtest.h>
#include <lodepng.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes qoi(const bytes& px, uint32_t w, uint32_t h, uint8_t ch) {
    qoi_desc d{w, h, ch, 0};
    int n = 0;
    uint8_t* out = qoi_encode(px.data(), &d, &n);
    bytes r = out ? bytes(out, out + n) : bytes();
    free(out);
    return r;
}

// The chunks between the header and the end marker.
bytes chunks(const bytes& stream) { return bytes(stream.begin() + QOI_HEADER_SIZE, stream.end() - QOI_PADDING_SIZE); }

bytes unqoi(const bytes& stream, int ch, qoi_desc* d) {
    uint8_t* px = qoi_decode(stream.data(), (int)stream.size(), d, ch);
    if (!px) return {};
    bytes r(px, px + (size_t)d->width * d->height * (ch ? ch : d->channels));
    free(px);
    return r;
}

TEST(Qoi, OnePixelIsTwentyThreeBytes) {
    bytes s = qoi({0, 0, 0, 255}, 1, 1, 4);
    bytes want = {'q', 'o', 'i', 'f', 0, 0, 0, 1, 0, 0, 0, 1, 4, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(s, want);
}

TEST(Qoi, EveryChunkKindAndItsBoundaries) {
    struct row {
        const char* what;
        bytes px;  // RGBA, one row
        bytes want;
    };
    const row rows[] = {
        {"rgb", {10, 20, 30, 255}, {0xFE, 10, 20, 30}},
        {"rgba", {1, 2, 3, 4}, {0xFF, 1, 2, 3, 4}},
        {"diff +1 -1 0", {1, 255, 0, 255}, {0x76}},
        {"diff -2 -2 -2", {254, 254, 254, 255}, {0x40}},
        {"diff +2 becomes luma", {2, 0, 0, 255}, {0xA0, 0xA8}},
        {"luma 25 -5 +5", {20, 25, 30, 255}, {0xB9, 0x3D}},
        {"luma -32 -8 +7", {216, 224, 231, 255}, {0x80, 0x0F}},
        {"luma +32 becomes rgb", {32, 32, 32, 255}, {0xFE, 32, 32, 32}},
        {"index", {10, 20, 30, 255, 1, 2, 3, 4, 10, 20, 30, 255}, {0xFE, 10, 20, 30, 0xFF, 1, 2, 3, 4, 0x09}},
    };
    for (const row& r : rows) {
        bytes s = qoi(r.px, (uint32_t)r.px.size() / 4, 1, 4);
        EXPECT_EQ(chunks(s), r.want) << r.what;
        qoi_desc d;
        EXPECT_EQ(unqoi(s, 4, &d), r.px) << r.what;
    }
    // Runs: 62 at most, the last pixel closes one.
    bytes black;
    for (int i = 0; i < 63; i++) black.insert(black.end(), {0, 0, 0, 255});
    EXPECT_EQ(chunks(qoi(black, 63, 1, 4)), bytes({0xFD, 0xC0}));
    black.resize(62 * 4);
    EXPECT_EQ(chunks(qoi(black, 62, 1, 4)), bytes({0xFD}));
}

TEST(Qoi, RandomPicturesRoundTrip) {
    std::mt19937 rng(15);
    for (int round = 0; round < 60; round++) {
        uint32_t w = 1 + rng() % 37, h = 1 + rng() % 23;
        uint8_t ch = round % 2 ? 3 : 4;
        bytes px((size_t)w * h * ch);
        // Runs, small steps and jumps, so that every op is taken.
        for (size_t i = 0; i < px.size(); i++) {
            uint32_t k = rng() % 8;
            px[i] = i < ch ? (uint8_t)rng() : k < 3 ? px[i - ch] : k < 6 ? (uint8_t)(px[i - ch] + rng() % 5 - 2) : (uint8_t)rng();
        }
        bytes s = qoi(px, w, h, ch);
        ASSERT_LE(s.size(), (size_t)w * h * (ch + 1) + 22);
        qoi_desc d;
        ASSERT_EQ(unqoi(s, 0, &d), px) << w << "x" << h << " " << (int)ch;
        EXPECT_EQ(d.channels, ch);
        if (ch == 3) {
            bytes four = unqoi(s, 4, &d);
            for (size_t i = 0; i < (size_t)w * h; i++) ASSERT_EQ(four[4 * i + 3], 255);
        }
    }
}

TEST(Qoi, RefusalsAndShortStreams) {
    bytes px(16, 0);
    qoi_desc d{20000, 20000, 4, 0};
    int n = 0;
    EXPECT_EQ(qoi_encode(px.data(), &d, &n), nullptr);
    for (qoi_desc bad : {qoi_desc{0, 1, 4, 0}, qoi_desc{1, 1, 5, 0}, qoi_desc{1, 1, 4, 2}})
        EXPECT_EQ(qoi_encode(px.data(), &bad, &n), nullptr);
    // A 22-byte stream naming 20,000 x 20,000 pixels is refused before any allocation.
    bytes big = {'q', 'o', 'i', 'f', 0, 0, 0x4E, 0x20, 0, 0, 0x4E, 0x20, 4, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(qoi_decode(big.data(), (int)big.size(), &d, 4), nullptr);
    EXPECT_EQ(qoi_read_header(big.data(), (int64_t)big.size(), &d), 0);
    big[7] = 0x1F;  // 19,999 x 20,000 is within the published limit
    big[11] = 0x1F;
    EXPECT_EQ(qoi_read_header(big.data(), (int64_t)big.size(), &d), 1);
    bytes one = qoi({0, 0, 0, 255}, 1, 1, 4);
    EXPECT_EQ(qoi_decode(one.data(), 21, &d, 4), nullptr);
    EXPECT_EQ(qoi_decode(one.data(), 23, &d, 2), nullptr);
    one[0] = 'x';
    EXPECT_EQ(qoi_decode(one.data(), 23, &d, 4), nullptr);
    // Pixels past the last chunk repeat the last one.
    bytes cut = {'q', 'o', 'i', 'f', 0, 0, 0, 3, 0, 0, 0, 1, 3, 0, 0xFE, 9, 8, 7, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(unqoi(cut, 3, &d), bytes({9, 8, 7, 9, 8, 7, 9, 8, 7}));
}

TEST(PngWrappers, EachColourTypeDecodesToRgba) {
    struct row {
        LodePNGColorType ct;
        unsigned depth;
        bytes px;  // 2 x 1
        bytes rgba;
    };
    const row rows[] = {
        {LCT_GREY, 8, {0, 200}, {0, 0, 0, 255, 200, 200, 200, 255}},
        {LCT_GREY_ALPHA, 8, {10, 20, 30, 40}, {10, 10, 10, 20, 30, 30, 30, 40}},
        {LCT_RGB, 8, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 255, 4, 5, 6, 255}},
        {LCT_RGBA, 8, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {LCT_GREY, 16, {0x12, 0x34, 0xAB, 0xCD}, {0x12, 0x12, 0x12, 255, 0xAB, 0xAB, 0xAB, 255}},
    };
    for (const row& r : rows) {
        buffer* b = create_buffer_2(16, 100);
        ASSERT_EQ(LodePNG_encode_pbuffer(r.px.data(), 2, 1, r.ct, r.depth, b), 0u);
        unsigned w = 0, h = 0;
        EXPECT_EQ(png_read_header(b->data, b->length, &w, &h), 0u);
        EXPECT_EQ(w * 10 + h, 21u);
        uint8_t* out = nullptr;
        ASSERT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, b), 0u);
        EXPECT_EQ(bytes(out, out + 8), r.rgba) << r.ct;
        free(out);
        ASSERT_EQ(LodePNG_decode_pbuffer(&out, &w, &h, b, LCT_RGB, 8), 0u);
        EXPECT_EQ(bytes(out, out + 3), bytes(r.rgba.begin(), r.rgba.begin() + 3));
        free(out);
        destroy_buffer(b);
    }
}

TEST(PngWrappers, ErrorsHandOutNoPixels) {
    uint8_t* out = (uint8_t*)1;
    unsigned w = 1, h = 1;
    EXPECT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, nullptr), PNG_ERROR_NO_BUFFER);
    EXPECT_EQ(out, nullptr);
    uint8_t px[4] = {1, 2, 3, 4};
    EXPECT_EQ(LodePNG_encode32_pbuffer(px, 1, 1, nullptr), PNG_ERROR_NO_BUFFER);
    buffer* b = create_buffer_2(16, 100);
    ASSERT_EQ(LodePNG_encode32_pbuffer(px, 1, 1, b), 0u);
    b->length /= 2;
    EXPECT_NE(LodePNG_decode32_pbuffer(&out, &w, &h, b), 0u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(w + h, 0u);
    destroy_buffer(b);
}

void chunk(bytes& png, const char* type, const bytes& data) {
    for (int i = 3; i >= 0; i--) png.push_back((uint8_t)(data.size() >> (8 * i)));
    bytes td(type, type + 4);
    td.insert(td.end(), data.begin(), data.end());
    png.insert(png.end(), td.begin(), td.end());
    uint32_t c = crc32b(td.data(), (int64_t)td.size());
    for (int i = 3; i >= 0; i--) png.push_back((uint8_t)(c >> (8 * i)));
}

TEST(PngWrappers, InflationStopsAtTheSizeTheHeaderStates) {
    // A 16 x 16 picture whose image data unpacks to 8 MB.
    bytes zeros(8 << 20, 0), png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
    unsigned char* z = nullptr;
    size_t zn = 0;
    ASSERT_EQ(lodepng_zlib_compress(&z, &zn, zeros.data(), zeros.size(), &lodepng_default_compress_settings), 0u);
    chunk(png, "IHDR", {0, 0, 0, 16, 0, 0, 0, 16, 8, 6, 0, 0, 0});
    chunk(png, "IDAT", bytes(z, z + zn));
    chunk(png, "IEND", {});
    free(z);
    buffer* b = create_buffer_2((int32_t)png.size() + 1, 100);
    bwrite(png.data(), 1, (int64_t)png.size(), b);
    uint8_t* out = nullptr;
    unsigned w, h;
    EXPECT_EQ(LodePNG_decode32_pbuffer(&out, &w, &h, b), 109u);  // LodePNG's "output too large"
    EXPECT_EQ(out, nullptr);
    destroy_buffer(b);
}

}  // namespace
