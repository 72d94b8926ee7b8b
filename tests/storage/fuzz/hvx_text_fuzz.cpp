// libFuzzer target for the text cartridge reader: whatever it reads stays
// inside its folder (no cartridge inside it is mounted meanwhile), and what a
// whole load wrote out reads back whole and writes out the same bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/storage.h"

// The cartridge text of the folder; false when the writer refused it.
static bool text_of(const char* folder, std::string* out) {
    buffer* b = create_buffer_2(256, 100);
    bool ok = write_hvx_from_ram_files(b, folder, 0) == 0;
    out->assign((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return ok;
}

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
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    bool whole = read_into("/ram/f", data, size);
    if (pdisk_num_mounts() != 1) abort();
    int n = pdisk_pfile_iterator();
    for (int i = 0; i < n; i++) {
        const char* p = to_cstr(pdisk_pfile_iterator_item(i)->path);
        if (strcmp(p, "/ram/f") != 0 && strncmp(p, "/ram/f/", 7) != 0) abort();
    }
    // The writer may refuse only what did not load whole; what it writes
    // reads back whole and writes the same bytes again.
    std::string once, twice;
    bool wrote = text_of("/ram/f", &once);
    if (whole && !wrote) abort();
    if (wrote) {
        if (!read_into("/ram/g", (const uint8_t*)once.data(), once.size())) abort();
        if (!text_of("/ram/g", &twice) || twice != once) abort();
    }
    pfile_reset();
    return 0;
}
