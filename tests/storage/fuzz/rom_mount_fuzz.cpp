// libFuzzer target for the path a mount of a ".hvx.rom" file takes: the
// file's bytes into a folder, written back, read again. A load is whole only
// when every length the file states matched: a legacy pxa block decoded to
// exactly its stated text within its stated size; an image's block is all in
// the file and its stream reads to its end as whole entries, which are the
// folder's files; a bare text is all there, UTF-8 without a NUL. What loads
// whole writes (both writers, byte for byte the same), reads back whole to
// the same folder, and writes the same bytes again.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/storage/fuzz/fuzz_folder.h"

using files = std::map<std::string, std::string>;

static bool load(const char* folder, const uint8_t* data, size_t size) {
    pmkdir(folder);
    buffer* b = create_buffer_2((int32_t)size + 1, ROM_SCRATCH_KIND);
    bwrite(data, 1, (int64_t)size, b);
    b->cursor = 0;
    bool whole = populate_ram_folder_from_hvx_rom_buffer_ex(folder, "", b, 0) == 0;
    destroy_buffer(b);
    return whole;
}

// The folder's files (not its folders), by name.
static files files_of(const char* folder) {
    files out;
    for (auto& [name, data] : fuzz_folder::tree(folder))
        if (name.back() != '/') out[name] = data;
    return out;
}

// Whether the image's stream reads to its end as whole entries; *out gets
// its files, a later entry of a name taking its place.
static bool image_entries(const uint8_t* data, size_t size, files* out) {
    if (size < (size_t)ROM_HEADER_SIZE || load_u32_le(data + 4) > size - ROM_HEADER_SIZE) return false;
    int64_t used = 0;
    buffer* s = rom_unpack(data, (int64_t)size, &used);
    if (!s) return false;
    int64_t pos = 0;
    rom_entry e;
    int r;
    while ((r = rom_next_entry(s->data, s->length, &pos, &e)) == ROM_ENTRY_OK)
        if (!e.folder) (*out)[std::string(e.name, (size_t)e.name_len)] = std::string((const char*)e.data, (size_t)e.size);
    destroy_buffer(s);
    return r == ROM_ENTRY_END;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_folder::fresh_ram();
    bool whole = load("/ram/f", data, size);
    files got = files_of("/ram/f");
    if (pxa_is_pxa(data, (int64_t)size)) {
        bool stated = size >= 8 && (size_t)(data[6] << 8 | data[7]) <= size &&
                      got["main.lua"].size() == (size_t)(data[4] << 8 | data[5]);
        if (whole != stated) abort();
    } else if (size >= 3 && !rom_is_rom(data, (int64_t)size)) {
        if (whole != (!memchr(data, 0, size) && is_utf8(data, (int64_t)size))) abort();
    } else if (whole) {
        files entries;
        if (!image_entries(data, size, &entries) || entries != got) abort();
    }
    if (whole) {
        std::string once, twice;
        if (!fuzz_folder::write("/ram/f", true, &once)) abort();
        if (!load("/ram/g", (const uint8_t*)once.data(), once.size())) abort();
        if (fuzz_folder::tree("/ram/g") != fuzz_folder::tree("/ram/f")) abort();
        if (!fuzz_folder::write("/ram/g", true, &twice) || twice != once) abort();
    }
    pfile_reset();
    return 0;
}
