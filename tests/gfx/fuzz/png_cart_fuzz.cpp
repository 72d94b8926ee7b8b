// The PNG cartridge's inputs a user controls: its label picture (label.png,
// or label.qoi) and its info file, whose title, version and author are drawn
// on the label. Any of them: the info fields found lie inside the text; the
// writer that works from a copy makes the picture the whole writer makes,
// or refuses as it does; the picture's low bits hold the folder's ROM and
// zeros after it. Encoding the picture is most of a write's work and the
// same for both writers, so one input in 64 is encoded, to a picture of the
// cartridge's size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/gfx/fuzz/fuzz_process.h"
#include "tests/storage/fuzz/fuzz_folder.h"

static void put(const char* path, const std::string& bytes) {
    pfile* f = pfopen(path, "w");
    if (!f) abort();
    pfwrite(bytes.data(), 1, (int64_t)bytes.size(), f);
    pfclose(f);
}

// Whether the picture's low bits (3 of R, G and B, 2 of A, the earliest
// stream bit in bit 0) hold the ROM, then zeros.
static bool holds_rom(const std::vector<uint8_t>& pic, const std::string& rom) {
    uint32_t acc = 0;
    int have = 0;
    size_t j = 0, got = 0;
    for (; j < pic.size() && got < rom.size(); j++) {
        int bits = (j & 3) == 3 ? 2 : 3;
        acc |= (uint32_t)(pic[j] & ((1u << bits) - 1)) << have;
        have += bits;
        if (have >= 8) {
            if ((char)(acc & 0xff) != rom[got++]) return false;
            acc >>= 8;
            have -= 8;
        }
    }
    if (got < rom.size() || acc != 0) return false;
    for (; j < pic.size() && (j & 7); j++)
        if (pic[j] & ((j & 3) == 3 ? 3 : 7)) return false;
    // The rest, two pixels at a time.
    static const uint8_t low[8] = {7, 7, 7, 3, 7, 7, 7, 3};
    uint64_t low_bits, v;
    memcpy(&low_bits, low, 8);
    for (; j + 8 <= pic.size(); j += 8) {
        memcpy(&v, pic.data() + j, 8);
        if (v & low_bits) return false;
    }
    return j == pic.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    if (size < 3) return 0;
    Process* p = fuzz_process();
    set_current_process(p);
    bool qoi = data[0] & 1;
    size_t split = ((size_t)data[1] | (size_t)data[2] << 8) % (size - 2);
    std::string info((const char*)data + 3, split), label((const char*)data + 3 + split, size - 3 - split);
    for (const char* key : {",title=\"", ",version=\"", ",author=\""}) {
        int64_t n = 0;
        const char* v = extract_info_str(info.data(), (int64_t)info.size(), key, &n);
        if (v && (v < info.data() || n <= 0 || v + n >= info.data() + info.size() || v[n] != '"')) abort();
    }
    pfile_reset();
    mount_ram_folder("/ram");
    pmkdir("/ram/c");
    put("/ram/c/main.lua", "print(1)\n");
    put("/ram/c/.info.vyn", info);
    put(qoi ? "/ram/c/label.qoi" : "/ram/c/label.png", label);

    std::vector<uint8_t> whole_pic, copy_pic;
    int r = png_cart_picture_of_ram_files("/ram/c", &whole_pic);
    std::vector<uint8_t> text;
    bool drawn = png_cart_label_text(&info, &text);
    std::vector<cart_snapshot_entry> snap = fuzz_folder::snapshot("/ram/c");
    int c = png_cart_picture_of_snapshot(&copy_pic, snap, strlen("/ram/c"), nullptr, drawn ? text.data() : nullptr);
    if (r != c || (r == 0 && whole_pic != copy_pic)) abort();
    if (r == 0) {
        std::string rom;
        if (rom_image_from_snapshot(&rom, snap, strlen("/ram/c"), PNG_CART_ROM_OPTIONS) != 0) abort();
        if (!holds_rom(whole_pic, rom)) abort();
    }
    // One input in 64, by a hash of all of it (so that mutations reach it),
    // is encoded, once: both writers encode their picture alike.
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i++) hash = (hash ^ data[i]) * 16777619u;
    if (hash % 64 == 0) {
        buffer* whole = create_buffer_2(64, 100);
        if (write_hvx_png_from_ram_files(whole, "/ram/c") != r) abort();
        unsigned w = 0, h = 0;
        if (r == 0 && (png_read_header(whole->data, whole->length, &w, &h) != 0 || w != PNG_CART_W || h != PNG_CART_H))
            abort();
        destroy_buffer(whole);
    }
    pfile_reset();
    return 0;
}
