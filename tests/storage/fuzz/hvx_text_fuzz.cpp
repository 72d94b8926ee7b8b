// libFuzzer target for the text cartridge reader: whatever it reads stays
// inside its folder (no cartridge inside it is mounted meanwhile). "Loaded
// whole" must be true of the input: what a whole load wrote out reads back
// whole to the same folder and writes out the same bytes; the writer that
// works from a copy agrees with the whole writer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/storage/fuzz/fuzz_folder.h"

// Whether the folder loaded whole.
static bool read_into(const char* folder, const uint8_t* data, size_t size) {
    pmkdir(folder);
    buffer* b = create_buffer_2((int32_t)size + 1, 100);
    bwrite(data, 1, (int64_t)size, b);
    bool whole = populate_ram_folder_from_hvx_buffer(folder, b) == 0;
    destroy_buffer(b);
    return whole;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_folder::fresh_ram();
    bool whole = read_into("/ram/f", data, size);
    if (pdisk_num_mounts() != 1) abort();
    int n = pdisk_pfile_iterator();
    for (int i = 0; i < n; i++) {
        const char* p = to_cstr(pdisk_pfile_iterator_item(i)->path);
        if (strcmp(p, "/ram/f") != 0 && strncmp(p, "/ram/f/", 7) != 0) abort();
    }
    // The writer may refuse only what did not load whole; what it writes
    // reads back whole, to the same records, and writes the same bytes again.
    std::string once, twice;
    bool wrote = fuzz_folder::write("/ram/f", false, &once);
    if (whole && !wrote) abort();
    if (wrote) {
        if (!read_into("/ram/g", (const uint8_t*)once.data(), once.size())) abort();
        if (fuzz_folder::tree("/ram/g") != fuzz_folder::tree("/ram/f")) abort();
        if (!fuzz_folder::write("/ram/g", false, &twice) || twice != once) abort();
    }
    pfile_reset();
    return 0;
}
