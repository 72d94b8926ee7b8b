// What the cartridge targets share: a RAM folder as a sorted list of its
// records, the copy the frame's writer takes of it, and the writers run
// both ways, which must agree byte for byte.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "storage/storage_internal.h"

namespace fuzz_folder {

// A fresh file table with /ram mounted, the readers' messages silenced.
inline void fresh_ram() {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
}

// The RAM records under folder, in table order.
inline std::vector<const pfile*> records(const char* folder) {
    std::vector<const pfile*> out;
    size_t fl = strlen(folder);
    int n = pdisk_pfile_iterator();
    for (int i = 0; i < n; i++) {
        const pfile* f = pdisk_pfile_iterator_item(i);
        if (!f || f->kind != PFILE_KIND_RAM || !f->path) continue;
        const char* p = to_cstr(f->path);
        if (strncmp(p, folder, fl) == 0 && p[fl] == '/' && p[fl + 1]) out.push_back(f);
    }
    return out;
}

// Every record under folder: its path after the folder, a '/' for a folder,
// and its bytes.
inline std::vector<std::pair<std::string, std::string>> tree(const char* folder) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const pfile* f : records(folder)) {
        bool dir = (f->flags & PFILE_FLAG_FOLDER) != 0;
        std::string data = f->data && !dir ? std::string((const char*)f->data->data, (size_t)f->data->length) : "";
        out.emplace_back(std::string(to_cstr(f->path) + strlen(folder) + 1) + (dir ? "/" : ""), data);
    }
    return out;
}

// The copy the frame's writer takes, taken all at once.
inline std::vector<cart_snapshot_entry> snapshot(const char* folder) {
    std::vector<cart_snapshot_entry> out;
    for (const pfile* f : records(folder)) {
        cart_snapshot_entry e;
        e.path = to_cstr(f->path);
        e.folder = (f->flags & PFILE_FLAG_FOLDER) != 0;
        e.text_name = hvx_text_name_form(e.path.c_str()) != 0;
        if (!e.folder && f->data) e.data.assign((const char*)f->data->data, (size_t)f->data->length);
        out.push_back(std::move(e));
    }
    return out;
}

// The folder written whole as a text cartridge (rom false) or a ROM; the
// writer that works from a copy must give the same bytes, or refuse too, and
// so must a ROM's that is handed the copy, which it leaves empty once packed.
// False when refused.
inline bool write(const char* folder, bool rom, std::string* out) {
    buffer* b = create_buffer_2(256, ROM_SCRATCH_KIND);
    bool ok = (rom ? write_hvx_rom_from_ram_files(b, folder, 0) : write_hvx_from_ram_files(b, folder, 0)) == 0;
    out->assign((const char*)b->data, ok ? (size_t)b->length : 0);
    destroy_buffer(b);
    std::string copy;
    std::vector<cart_snapshot_entry> s = snapshot(folder);
    // The text form is written in small pieces, so piece boundaries fall
    // everywhere a fuzzed folder can put them.
    auto append = [&copy](const void* p, size_t n) {
        copy.append((const char*)p, n);
        return true;
    };
    bool copy_ok = (rom ? rom_image_from_snapshot(&copy, s, strlen(folder))
                        : hvx_text_from_snapshot_in_pieces(s, folder, 64, append)) == 0;
    if (copy_ok != ok || (ok && copy != *out)) abort();
    if (rom) {
        std::string taken;
        std::vector<cart_snapshot_entry> handed = snapshot(folder);
        bool taken_ok = rom_image_from_snapshot(&taken, std::move(handed), strlen(folder)) == 0;
        if (taken_ok != ok || (ok && (taken != *out || !handed.empty()))) abort();
    }
    return ok;
}

}  // namespace fuzz_folder
