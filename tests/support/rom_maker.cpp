#include "tests/support/rom_maker.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/harness.h"

namespace hvx_test {

std::string make_rom(const std::map<std::string, std::string>& files) {
    // Keyed by the name without its trailing '/': the file table's order.
    std::map<std::string, const std::string*> entries;
    for (const auto& [name, data] : files) {
        entries[name] = &data;
        for (size_t at = name.find('/'); at != std::string::npos; at = name.find('/', at + 1))
            entries.emplace(name.substr(0, at), nullptr);
    }
    buffer* stream = create_buffer_2(ROM_STREAM_START, ROM_SCRATCH_KIND);
    bool ok = true;
    for (const auto& [name, data] : entries) {
        const uint8_t* d = data ? (const uint8_t*)data->data() : nullptr;
        ok = ok && rom_append_entry(stream, name.c_str(), data == nullptr, d, data ? (int64_t)data->size() : 0) == 0;
    }
    buffer* rom = create_buffer_2(1024, ROM_SCRATCH_KIND);
    ok = ok && rom_pack(rom, stream->data, stream->length) == 0;
    std::string out = ok ? std::string((const char*)rom->data, (size_t)rom->length) : std::string();
    destroy_buffer(stream);
    destroy_buffer(rom);
    return out;
}

std::string make_sysrom(const std::map<std::string, std::string>& system_files, const std::string& user_folder) {
    std::map<std::string, std::string> files;
    for (const auto& [name, data] : system_files) files["system/" + name] = data;
    std::string rom = make_rom(files);
    if (rom.empty()) return {};
    return dat_bytes({user_folder, rom});
}

int unpack_sysrom(const std::string& dat, const char* mount_at, const char* folder, std::string* user_folder) {
    buffer* blocks[4] = {};
    int r = -1;
    if (parse_dat_blocks((const uint8_t*)dat.data(), dat.size(), blocks, 4) == 2) {
        if (user_folder) *user_folder = std::string((const char*)blocks[0]->data, (size_t)blocks[0]->length);
        pfile_init();
        pfile_reset();
        mount_ram_folder(mount_at);
        blocks[1]->cursor = 0;
        r = populate_ram_folder_from_hvx_rom_buffer_ex(folder, "system/", blocks[1], 0);
    }
    for (buffer* b : blocks) destroy_buffer(b);
    return r;
}

}  // namespace hvx_test
