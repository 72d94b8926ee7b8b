// libFuzzer target for the path a mount of a ".hvx.rom" file takes: the
// file's bytes into a folder, written back, read again. A load is whole only
// when every length the file states matched: a legacy pxa block decoded to
// exactly its stated text within its stated size; an image's block is all in
// the file and its stream reads to its end as whole entries, which are the
// folder's files; a bare text is all there, UTF-8 without a NUL. What loads
// whole writes (both writers, byte for byte the same), reads back whole to
// the same folder, and writes the same bytes again. A plainly good image
// (a stream that a reference reader below, written apart from the
// product's, reads as plain entries, packed again by a plain packer) loads
// whole, to exactly its files.
#include <lz4.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

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

// Whether a name is of short plain segments: letters, digits, '.', '_', '-'.
static bool plain_name(const std::string& n) {
    if (n.empty() || n.size() > 120) return false;
    size_t seg = 0;
    for (size_t i = 0; i <= n.size(); i++) {
        if (i < n.size() && n[i] != '/') {
            if (!(isalnum((unsigned char)n[i]) || n[i] == '.' || n[i] == '_' || n[i] == '-')) return false;
            continue;
        }
        std::string s = n.substr(seg, i - seg);
        if (s.empty() || s == "." || s == ".." || s.size() > 40) return false;
        seg = i + 1;
    }
    return true;
}

// Whether the image's stream is plainly good: an image is "hvx", a version
// byte, the u32 size of its block, the block; the stream a run of entries
// (a name and its NUL; a file's size in one byte below 255, else 255 and a
// u32; its bytes) that ends exactly at the stream's end, at least one and
// each of a plain name, given once, none inside a file. Then *out gets its
// files, *folders its folders, and *repacked the stream packed as a plain
// packer packs it.
static bool plain_image(const uint8_t* data, size_t size, files* out, std::set<std::string>* folders,
                        std::string* repacked) {
    static std::vector<char> stream((size_t)17 << 20);  // 64 KB inputs unpack to less
    if (size < 8 || memcmp(data, "hvx", 3) != 0) return false;
    uint32_t block = (uint32_t)data[4] | (uint32_t)data[5] << 8 | (uint32_t)data[6] << 16 | (uint32_t)data[7] << 24;
    if (block > size - 8 || block == 0) return false;
    int n = LZ4_decompress_safe((const char*)data + 8, stream.data(), (int)block, (int)stream.size());
    if (n <= 0) return false;
    const uint8_t* s = (const uint8_t*)stream.data();
    std::set<std::string> names;
    for (size_t at = 0; at < (size_t)n;) {
        const uint8_t* nul = (const uint8_t*)memchr(s + at, 0, (size_t)n - at);
        if (!nul) return false;
        std::string name((const char*)s + at, (size_t)(nul - (s + at)));
        at = (size_t)(nul - s) + 1;
        const bool folder = !name.empty() && name.back() == '/';
        if (folder) name.pop_back();
        if (!plain_name(name) || !names.insert(name).second || names.size() > 1000) return false;
        if (folder) {
            folders->insert(name);
            continue;
        }
        if (at >= (size_t)n) return false;
        size_t len = s[at++];
        if (len == 255) {
            if ((size_t)n - at < 4) return false;
            len = (size_t)s[at] | (size_t)s[at + 1] << 8 | (size_t)s[at + 2] << 16 | (size_t)s[at + 3] << 24;
            at += 4;
        }
        if (len > (size_t)n - at) return false;
        (*out)[name] = std::string((const char*)s + at, len);
        at += len;
    }
    for (const std::string& name : names)
        for (size_t k = name.find('/'); k != std::string::npos; k = name.find('/', k + 1))
            if (out->count(name.substr(0, k))) return false;
    if (names.empty()) return false;
    repacked->assign("hvx\x02\0\0\0\0", 8);
    repacked->resize(8 + (size_t)LZ4_compressBound(n));
    int packed = LZ4_compress_default(stream.data(), &(*repacked)[8], n, LZ4_compressBound(n));
    if (packed <= 0) return false;
    repacked->resize(8 + (size_t)packed);
    for (int i = 0; i < 4; i++) (*repacked)[4 + i] = (char)((uint32_t)packed >> (8 * i));
    return true;
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
    // The stream of a plainly good image packed again by the plain packer
    // loads whole, to exactly its files.
    files plain;
    std::set<std::string> folders;
    std::string repacked;
    if (plain_image(data, size, &plain, &folders, &repacked)) {
        if (!load("/ram/p", (const uint8_t*)repacked.data(), repacked.size()) || files_of("/ram/p") != plain) abort();
        std::set<std::string> made;
        for (auto& [name, bytes] : fuzz_folder::tree("/ram/p"))
            if (name.back() == '/') made.insert(name.substr(0, name.size() - 1));
        for (const std::string& f : folders)
            if (!made.count(f)) abort();
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
