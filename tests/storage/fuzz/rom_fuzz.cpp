// libFuzzer target for the ROM reader and the pxa decoder. The first byte
// picks: pxa decoding; a ROM image unpacked and its entries walked; or the
// rest as an entry stream, whose readable entries must re-encode to exactly
// the bytes they were read from.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/storage.h"

static void walk(const uint8_t* s, int64_t n, bool reencode) {
    std::vector<rom_entry> read;
    int64_t pos = 0;
    rom_entry e;
    while (rom_next_entry(s, n, &pos, &e) == ROM_ENTRY_OK) {
        if (pos > n || e.size < 0 || (e.data && e.data + e.size > s + n)) abort();
        read.push_back(e);
    }
    if (!reencode) return;
    // What the reader took, the writer writes, and it reads back the same.
    buffer* again = create_buffer_2(64, ROM_SCRATCH_KIND);
    for (const rom_entry& r : read)
        if (rom_append_entry(again, r.name, r.folder, r.data, r.size) != 0) abort();
    pos = 0;
    for (const rom_entry& r : read) {
        if (rom_next_entry(again->data, again->length, &pos, &e) != ROM_ENTRY_OK) abort();
        if (e.folder != r.folder || e.size != r.size || strcmp(e.name, r.name) != 0 ||
            (e.size && memcmp(e.data, r.data, (size_t)e.size) != 0))
            abort();
    }
    if (pos != again->length) abort();
    destroy_buffer(again);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* rest = data + 1;
    int64_t n = (int64_t)size - 1;
    switch (data[0] % 3) {
    case 0: {
        std::vector<uint8_t> dst((size_t)PXA_MAX_TEXT + 1);
        int64_t got = pxa_decompress(rest, n, dst.data(), PXA_MAX_TEXT);
        if (got < 0 || got > PXA_MAX_TEXT || dst[(size_t)got] != 0) abort();
        break;
    }
    case 1: {
        int64_t used = 0;
        buffer* s = rom_unpack(rest, n, &used);
        if (used < 0 || used > n) abort();
        if (s) {
            if (s->length > ROM_MAX_STREAM) abort();
            walk(s->data, s->length, false);
            destroy_buffer(s);
        }
        break;
    }
    default:
        walk(rest, n, true);
        break;
    }
    return 0;
}
