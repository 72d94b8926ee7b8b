// libFuzzer target for the delta applier. The first byte picks the mode:
// even - the rest is old content and a delta (split by the next two bytes),
// applied as given; odd - the rest is old and new content, a delta is
// generated and must rebuild the new content exactly.
#include <cstdlib>
#include <cstring>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    int mode = data[0] & 1;
    size_t split = ((size_t)data[1] | ((size_t)data[2] << 8));
    const uint8_t* rest = data + 3;
    size_t n = size - 3;
    if (split > n) split = n;
    const uint8_t* a = rest;
    const uint8_t* b = rest + split;
    size_t bn = n - split;
    if (mode == 0) {
        buffer* r = apply_diff(a, (int64_t)split, b, (int64_t)bn);
        if (r && (r->length < 0 || (int64_t)r->length > DIFF_MAX_CONTENT)) abort();
        destroy_buffer(r);
        return 0;
    }
    buffer* d = generate_diff(a, (int64_t)split, b, (int64_t)bn);
    if (!d) abort();
    buffer* r = apply_diff(a, (int64_t)split, d->data, d->length);
    if (!r || (size_t)r->length != bn || (bn && memcmp(r->data, b, bn) != 0)) abort();
    destroy_buffer(r);
    destroy_buffer(d);
    return 0;
}
