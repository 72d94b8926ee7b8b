// libFuzzer target for qoi_decode: a stream the header check takes decodes,
// and its pixels encode and decode back the same; a stream it refuses is
// refused by the decoder too.
#include <cstdlib>
#include <cstring>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (size_t)INT32_MAX) return 0;
    qoi_desc d;
    if (!qoi_read_header(data, (int64_t)size, &d)) {
        if (qoi_decode(data, (int)size, &d, 0)) abort();
        return 0;
    }
    // Callers check the size first; kept small here so that runs stay quick.
    if ((int64_t)d.width * d.height > (1 << 16)) return 0;
    int ch = data[size - 1] % 2 ? 3 : 4;
    uint8_t* px = qoi_decode(data, (int)size, &d, ch);
    if (!px) abort();
    qoi_desc e{d.width, d.height, (uint8_t)ch, d.colorspace};
    int n = 0;
    uint8_t* again = qoi_encode(px, &e, &n);
    if (!again || (int64_t)n > (int64_t)d.width * d.height * (ch + 1) + 22) abort();
    qoi_desc f;
    uint8_t* back = qoi_decode(again, n, &f, 0);
    if (!back || memcmp(back, px, (size_t)d.width * d.height * ch) != 0) abort();
    free(px);
    free(again);
    free(back);
    return 0;
}
