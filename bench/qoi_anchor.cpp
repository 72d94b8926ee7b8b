// The reference QOI code (Debian's libqoi-dev), built here under other names
// as the image benchmark's anchor only.
#include <cstdint>
#include <cstdlib>

#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#define qoi_encode anchor_qoi_encode
#define qoi_decode anchor_qoi_decode
#define qoi_desc anchor_qoi_desc
#include <qoi.h>

void* anchor_encode(const void* px, uint32_t w, uint32_t h, int channels, int* len) {
    anchor_qoi_desc d{w, h, (unsigned char)channels, 0};
    return anchor_qoi_encode(px, &d, len);
}

void* anchor_decode(const void* bytes, int size, int channels) {
    anchor_qoi_desc d;
    return anchor_qoi_decode(bytes, size, &d, channels);
}
