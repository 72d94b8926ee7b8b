// libFuzzer target for the PNG wrappers. The input is either a PNG as it
// stands, or (first byte odd) the makings of one: a header from the next 13
// bytes and image data packed from the rest, with lengths and checksums put
// right, so that the decoder's filters and bounds are reached. A picture
// whose header passes the size check decodes or fails with no pixels; a
// decoded one encodes and decodes back the same.
#include <lodepng.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/storage.h"

static void chunk(std::vector<uint8_t>& png, const char* type, const uint8_t* data, size_t n) {
    for (int i = 3; i >= 0; i--) png.push_back((uint8_t)(n >> (8 * i)));
    size_t at = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data, data + n);
    uint32_t c = crc32b(png.data() + at, (int64_t)(n + 4));
    for (int i = 3; i >= 0; i--) png.push_back((uint8_t)(c >> (8 * i)));
}

static std::vector<uint8_t> made_png(const uint8_t* data, size_t size) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
    uint8_t ihdr[13] = {0, 0, 0, (uint8_t)(1 + data[0] % 64), 0, 0, 0, (uint8_t)(1 + data[1] % 64),
                        data[2], data[3], 0, 0, (uint8_t)(data[4] & 1)};
    chunk(png, "IHDR", ihdr, sizeof ihdr);
    if (data[5] % 4 == 0) {
        uint8_t plte[48];
        for (int i = 0; i < 48; i++) plte[i] = (uint8_t)(i * 5);
        chunk(png, "PLTE", plte, sizeof plte);
    }
    unsigned char* z = nullptr;
    size_t zn = 0;
    lodepng_zlib_compress(&z, &zn, data + 13, size - 13, &lodepng_default_compress_settings);
    chunk(png, "IDAT", z, zn);
    free(z);
    chunk(png, "IEND", nullptr, 0);
    return png;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1 << 20)) return 0;
    std::vector<uint8_t> png = data[0] % 2 && size > 14 ? made_png(data + 1, size - 1)
                                                        : std::vector<uint8_t>(data + 1, data + size);
    unsigned w = 0, h = 0;
    if (png_read_header(png.data(), (int64_t)png.size(), &w, &h) != 0 || (uint64_t)w * h > (1 << 20)) return 0;
    buffer* b = create_buffer_2((int32_t)png.size() + 1, 100);
    bwrite(png.data(), 1, (int64_t)png.size(), b);
    uint8_t* px = nullptr;
    unsigned e = LodePNG_decode32_pbuffer(&px, &w, &h, b);
    if (e != 0 && px) abort();
    if (e == 0) {
        buffer* again = create_buffer_2(64, 100);
        if (LodePNG_encode32_pbuffer(px, w, h, again) != 0) abort();
        uint8_t* back = nullptr;
        unsigned w2 = 0, h2 = 0;
        if (LodePNG_decode32_pbuffer(&back, &w2, &h2, again) != 0 || w2 != w || h2 != h ||
            memcmp(back, px, (size_t)w * h * 4) != 0)
            abort();
        free(back);
        destroy_buffer(again);
    }
    free(px);
    destroy_buffer(b);
    return 0;
}
