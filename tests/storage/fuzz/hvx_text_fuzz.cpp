// libFuzzer target for the text cartridge reader: whatever it reads stays
// inside its folder, and what it read writes out and reads back the same.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/storage.h"

static std::string text_of(const char* folder) {
    buffer* b = create_buffer_2(256, 100);
    if (write_hvx_from_ram_files(b, folder, 0) != 0) abort();
    std::string s((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

static void read_into(const char* folder, const uint8_t* data, size_t size) {
    pmkdir(folder);
    buffer* b = create_buffer_2((int32_t)size + 1, 100);
    bwrite(data, 1, (int64_t)size, b);
    populate_ram_folder_from_hvx_buffer(folder, b);
    destroy_buffer(b);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    read_into("/ram/f", data, size);
    int n = pdisk_pfile_iterator();
    for (int i = 0; i < n; i++) {
        const char* p = to_cstr(pdisk_pfile_iterator_item(i)->path);
        if (strcmp(p, "/ram/f") != 0 && strncmp(p, "/ram/f/", 7) != 0) abort();
    }
    std::string once = text_of("/ram/f");
    read_into("/ram/g", (const uint8_t*)once.data(), once.size());
    if (text_of("/ram/g") != once) abort();
    pfile_reset();
    return 0;
}
