// The PNG cartridge's inputs a user controls: its label picture (label.png,
// or label.qoi) and its info file, whose title, version and author are drawn
// on the label. Any of them: the info fields found lie inside the text; the
// writer that works from a copy gives what the whole writer gives, byte for
// byte, or refuses as it does; a written cartridge is a picture of the
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

    buffer* whole = create_buffer_2(64, 100);
    int r = write_hvx_png_from_ram_files(whole, "/ram/c");
    std::vector<uint8_t> text;
    bool drawn = png_cart_label_text(&info, &text);
    std::string copy;
    int c = png_cart_from_snapshot(&copy, fuzz_folder::snapshot("/ram/c"), strlen("/ram/c"), nullptr,
                                   drawn ? text.data() : nullptr);
    if (r != c) abort();
    if (r == 0) {
        if (copy != std::string((const char*)whole->data, (size_t)whole->length)) abort();
        unsigned w = 0, h = 0;
        if (png_read_header((const uint8_t*)copy.data(), (int64_t)copy.size(), &w, &h) != 0 || w != PNG_CART_W ||
            h != PNG_CART_H)
            abort();
    }
    destroy_buffer(whole);
    pfile_reset();
    return 0;
}
