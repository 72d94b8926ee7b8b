// libFuzzer target for the base64 decoder: any text decodes, split at any
// point, into no more than the stated room, to the same bytes as in one
// piece; what it gives encodes and decodes back to itself.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t split = data[0] % size;
    const char* text = (const char*)data + 1;
    size_t n = size - 1;
    if (split > n) split = n;
    std::vector<uint8_t> out((size_t)base64_decode_bound((int64_t)n));
    base64_decodestate ds;
    base64_init_decodestate(&ds);
    int64_t got = base64_decode_block(text, (int64_t)split, out.data(), &ds);
    got += base64_decode_block(text + split, (int64_t)(n - split), out.data() + got, &ds);
    if (got < 0 || (size_t)got > out.size()) abort();
    std::vector<uint8_t> whole(out.size() + 1);
    base64_init_decodestate(&ds);
    if (base64_decode_block(text, (int64_t)n, whole.data(), &ds) != got || memcmp(whole.data(), out.data(), (size_t)got))
        abort();

    std::vector<char> enc((size_t)base64_encode_bound(got));
    base64_encodestate es;
    base64_init_encodestate(&es);
    int64_t e = base64_encode_block(out.data(), got, enc.data(), &es);
    e += base64_encode_blockend(enc.data() + e, &es);
    if ((size_t)e > enc.size() || e % 4) abort();
    std::vector<uint8_t> back((size_t)base64_decode_bound(e));
    base64_init_decodestate(&ds);
    if (base64_decode_block(enc.data(), e, back.data(), &ds) != got || memcmp(back.data(), out.data(), (size_t)got)) abort();
    return 0;
}
