// Text and PNG cartridges: the text form's exact layout, byte-exact round
// trips of tricky files, reader fixtures, the PNG form's hidden bits, its
// size limit, label pictures and label text, and the write-back of both.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/support/files_env.h"

namespace {

using hvx_test::read_file;
using hvx_test::write_file;
using files = std::map<std::string, std::string>;  // a trailing '/' names a folder

bool put(const std::string& path, const std::string& bytes) {
    pfile* f = pfopen(path.c_str(), "w");
    if (!f) return false;
    pfwrite(bytes.data(), 1, (int64_t)bytes.size(), f);
    return pfclose(f) == 0;
}

void make_tree(const std::string& folder, const files& tree) {
    pmkdir(folder.c_str());
    for (const auto& [name, bytes] : tree) {
        if (name.back() == '/') pmkdir((folder + "/" + name).c_str());
        else ASSERT_TRUE(put(folder + "/" + name, bytes)) << name;
    }
}

// Every RAM record under folder, by name relative to it.
files read_tree(const std::string& folder) {
    files out;
    int n = pdisk_pfile_iterator();
    for (int i = 0; i < n; i++) {
        pfile* f = pdisk_pfile_iterator_item(i);
        if (!f || f->kind != PFILE_KIND_RAM) continue;
        std::string p = to_cstr(f->path);
        if (p.compare(0, folder.size() + 1, folder + "/") != 0) continue;
        std::string name = p.substr(folder.size() + 1);
        if (f->flags & PFILE_FLAG_FOLDER) out[name + "/"] = "";
        else out[name] = std::string((const char*)f->data->data, (size_t)f->data->length);
    }
    return out;
}

// What a writer appends to an empty buffer, and its result.
template <class Writer>
std::string written(Writer write, int* result = nullptr) {
    buffer* b = create_buffer_2(64, 100);
    int r = write(b);
    if (result) *result = r;
    std::string s((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return s;
}
std::string cart_text(const std::string& f) {
    return written([&](buffer* b) { return write_hvx_from_ram_files(b, f.c_str(), 0); });
}
std::string rom_of(const std::string& f) {
    return written([&](buffer* b) { return write_hvx_rom_from_ram_files(b, f.c_str(), PNG_CART_ROM_OPTIONS); });
}
std::string png_cart(const std::string& f, int* result = nullptr) {
    return written([&](buffer* b) { return write_hvx_png_from_ram_files(b, f.c_str()); }, result);
}

int read_cart(const std::string& folder, const std::string& text) {
    buffer* b = create_buffer_2((int32_t)text.size() + 1, 100);
    bwrite(text.data(), 1, (int64_t)text.size(), b);
    pmkdir(folder.c_str());
    int r = populate_ram_folder_from_hvx_buffer(folder.c_str(), b);
    destroy_buffer(b);
    return r;
}

const std::string head = std::string(HVX_BANNER) + "\nversion 2\n\n";

TEST(TextCartridge, LayoutOfTheExample) {
    hvx_test::files_env env;
    make_tree("/ram/c", {{"gfx/", ""}, {"gfx/main.lua", "print(1)"}, {"gfx/x.bin", std::string("\0\1\2", 3)}});
    EXPECT_EQ(cart_text("/ram/c"), head + ":: gfx/\n:: gfx/main.lua\nprint(1)\n:: gfx/x.bin\nb64$AAEC\n:: [eoc]\n");
}

TEST(TextCartridge, TrickyFilesRoundTripByteExact) {
    hvx_test::files_env env;
    std::mt19937 rng(4);
    std::string noise(1 << 20, 0);
    for (char& c : noise) c = (char)rng();
    files tree = {
        {"empty.txt", ""}, {"a.txt", "a"}, {"an.txt", "a\n"}, {"nl.txt", "\n"}, {"nn.lua", "x\n\n"},
        {"crlf.txt", "x\r\ny\r\n"}, {"hdr.txt", ":: x\nmore"}, {"inner.txt", "a\n:: b"},
        {"hex.txt", "l1\nl2\nhex$ab\n"}, {"b64.lua", "b64$x"}, {"a.min.lua", "print(2)"}, {"hi.lua", "x\x80"},
        {"big.bin", noise}, {"lf.bin", "ab\n"}, {"one.bin", "\n"}, {"empty.bin", ""},
        {"x.lua/", ""}, {"x.lua/in.txt", "t"}, {"deep/", ""}, {"deep/sub/", ""}, {"deep/sub/d.dat", "d"},
        {".info.vyn", "--[[vyn,title=\"t\"]]\n"},
    };
    make_tree("/ram/src", tree);
    std::string text = cart_text("/ram/src");
    // Only files that read back as they are stand as text.
    for (const char* form : {":: a.txt\na\n", ":: nl.txt\n\n\n", ":: hex.txt\nl1\n", ":: .info.vyn\n--[[vyn"})
        EXPECT_NE(text.find(form), std::string::npos) << form;
    for (const char* name : {"crlf.txt", "hdr.txt", "inner.txt", "b64.lua", "a.min.lua", "hi.lua"})
        EXPECT_NE(text.find(std::string(":: ") + name + "\nb64$"), std::string::npos) << name;
    EXPECT_EQ(read_cart("/ram/dst", text), 0);
    EXPECT_EQ(read_tree("/ram/dst"), tree);
    EXPECT_EQ(cart_text("/ram/dst"), text);
}

TEST(TextCartridge, ReaderFixtures) {
    hvx_test::files_env env;
    struct fixture {
        const char* what;
        std::string text;
        int result;
        files tree;
        const char* out;  // standard output
    };
    const fixture rows[] = {
        {"crlf", "x\r\nversion 2\r\n\r\n:: d/\r\n:: d/a.txt\r\nl1\r\nl2\r\n:: [eoc]\r\n", 0,
         {{"d/", ""}, {"d/a.txt", "l1\nl2"}}, ""},
        {"no end marker", "x\nversion 2\n\nlost\n:: a.lua\nprint(1)\n", 0, {{"a.lua", "print(1)"}},
         "** warning: no [eoc] found while mounting /ram/f\n"},
        {"climbing path", "x\nversion 2\n:: ../x.txt\nbody\n:: b.txt\nb\n:: [eoc]\n", -1, {{"b.txt", "b"}}, ""},
        {"hex body", "x\nversion 2\n:: h.bin\nhex$00ff10\n7F\n:: [eoc]\n", 0, {{"h.bin", std::string("\0\xff\x10\x7f", 4)}}, ""},
        {"version 1", "x\nversion 1\n## c\nsub 1:0 []\nsub/f.bin 0:3 [00616263]\nbad 0:1 x\n", -1,
         {{"sub/", ""}, {"sub/f.bin", "abc"}}, ""},
        {"unknown version", "x\nversion 3\n:: a.txt\na\n", -1, {}, ""},
        // A NUL would cut the name short, to the folder above.
        {"version 1 NUL in a name", std::string("x\nversion 1\n..\0x 0:1 [0061]\nok 0:1 [0062]\n", 42), -1,
         {{"ok", "b"}}, ""},
        // Names the text form would cut short load, but the load is not whole.
        {"version 1 name the text form cuts", "x\nversion 1\nn#\x80\t 0:1 [0061]\n", -1, {{"n#\x80\t", "a"}}, ""},
        {"name followed by more", "x\nversion 2\n:: a#\x80" "b\nx\n:: [eoc]\n", -1, {{"a#", "x"}}, ""},
        {"blanks after a name", "x\nversion 2\n:: a.txt \t\nx\n:: [eoc]\n", 0, {{"a.txt", "x"}}, ""},
    };
    for (const fixture& f : rows) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_cart("/ram/f", f.text), f.result) << f.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), f.out) << f.what;
        EXPECT_EQ(read_tree("/ram/f"), f.tree) << f.what;
        EXPECT_EQ(get_ram_file_by_name("/ram/x.txt"), nullptr);
        EXPECT_EQ(get_ram_file_by_name("/ram"), nullptr);
        delete_path("/ram/f");
    }
}

// Every entry a cartridge loads lands at its own name: a name of improper
// segments (empty, "." or "..", which the file system would fold into
// another path or a "name://" prefix) is skipped and the load is not whole;
// what did load is written back, text or ROM, and reads back whole.
TEST(Cartridges, EntriesLoadOnlyAtProperNames) {
    hvx_test::files_env env;
    struct row {
        std::string name;
        bool folder;
    } rows[] = {
        {"a//b.txt", false}, {"./a.txt", false}, {"a/./b.txt", false}, {"a/.", false}, {"x.#://", false},
        {"dati.#://.", false}, {"/abs.txt", false}, {"d//", true}, {"d/./", true}, {"e:///", true},
        {"f/", false},  // a file's name that would come back as a folder's
    };
    auto proper_tree = [](const files& tree) {
        for (const auto& [name, bytes] : tree) {
            const bool folder = name.back() == '/';
            // read_tree marks folders with a '/' of its own.
            if (!entry_name_proper(name.data(), (int64_t)name.size() - (folder ? 1 : 0), false)) return name;
        }
        return std::string();
    };
    const files good = {{"ok.txt", "ok"}};
    for (const row& r : rows) {
        EXPECT_FALSE(entry_name_proper(r.name.data(), (int64_t)r.name.size(), r.folder)) << r.name;
        // The text form, both versions.
        const std::string v2 = "x\nversion 2\n:: ok.txt\nok\n:: " + r.name + "\n" + (r.folder ? "" : "body\n") + ":: [eoc]\n";
        const std::string v1 = "x\nversion 1\nok.txt 0:2 [006f6b]\n" + r.name + (r.folder ? " 1:0 []\n" : " 0:1 [0061]\n");
        // The second version reads a name ending in '/' as a folder's.
        const bool v2_proper = entry_name_proper(r.name.data(), (int64_t)r.name.size(), true);
        for (const std::string& text : {v2, v1}) {
            if (v2_proper && text == v2) continue;
            testing::internal::CaptureStdout();
            EXPECT_EQ(read_cart("/ram/f", text), -1) << r.name << " in " << text;
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(read_tree("/ram/f"), good) << r.name << " in " << text;
            int wrote = -1;
            const std::string back = written([](buffer* b) { return write_hvx_from_ram_files(b, "/ram/f", 0); }, &wrote);
            EXPECT_EQ(wrote, 0) << r.name;
            EXPECT_EQ(read_cart("/ram/g", back), 0) << r.name;
            EXPECT_EQ(read_tree("/ram/g"), good) << r.name;
            delete_path("/ram/f");
            delete_path("/ram/g");
        }
        // The ROM form, where a name ending in '/' is a folder's.
        const bool rom_folder = r.folder || r.name.back() == '/';
        if (entry_name_proper(r.name.data(), (int64_t)r.name.size(), rom_folder)) continue;
        buffer* stream = create_buffer_2(64, 100);
        ASSERT_EQ(rom_append_entry(stream, "ok.txt", 0, (const uint8_t*)"ok", 2), 0);
        ASSERT_EQ(rom_append_entry(stream, r.name.c_str(), rom_folder, (const uint8_t*)"a", 1), 0) << r.name;
        buffer* rom = create_buffer_2(64, 100);
        ASSERT_EQ(rom_pack(rom, stream->data, stream->length), 0);
        rom->cursor = 0;
        pmkdir("/ram/f");
        EXPECT_EQ(populate_ram_folder_from_hvx_rom_buffer("/ram/f", rom), -1) << r.name;
        EXPECT_EQ(read_tree("/ram/f"), good) << r.name;
        EXPECT_EQ(proper_tree(read_tree("/ram/f")), "") << r.name;
        buffer* again = create_buffer_2(64, 100);
        EXPECT_EQ(write_hvx_rom_from_ram_files(again, "/ram/f", 0), 0) << r.name;
        again->cursor = 0;
        pmkdir("/ram/g");
        EXPECT_EQ(populate_ram_folder_from_hvx_rom_buffer("/ram/g", again), 0) << r.name;
        EXPECT_EQ(read_tree("/ram/g"), good) << r.name;
        for (buffer* b : {stream, rom, again}) destroy_buffer(b);
        delete_path("/ram/f");
        delete_path("/ram/g");
    }
}

// A text cartridge found by fuzzing: its one entry, "dati.#://.", once
// loaded whole as "dati.#://" (its empty segment read as a "name://"
// prefix) and the writer then refused the folder. It now loads without it,
// not whole, and what loaded saves and reads back whole.
TEST(Cartridges, FuzzFoundNameLoadsAndSaves) {
    hvx_test::files_env env;
    const char* hex =
        "8f8fffffffbf202865607465744023245400206100000a76657273696f6e20320e000000000000002f6e232032ebebeb"
        "ebebebebebebebebebebebebebebebebeb2f2effffffffffffffffff0000000dffffffffff28ffffffffffffffffffff"
        "ffffffffffffffffffff657273696f6e20342f236e2032080a3a3a20646174692e233a2f2f2e";
    std::string text;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) text += (char)std::stoi(std::string(hex + i, 2), nullptr, 16);
    ASSERT_EQ(text.size(), 134u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_cart("/ram/f", text), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_tree("/ram/f"), files{});
    int wrote = -1;
    const std::string back = written([](buffer* b) { return write_hvx_from_ram_files(b, "/ram/f", 0); }, &wrote);
    EXPECT_EQ(wrote, 0);
    EXPECT_EQ(read_cart("/ram/g", back), 0);
    EXPECT_EQ(cart_text("/ram/g"), back);
}

// A body line that does not decode whole (a stray character, an odd count
// of hex digits, a base64 character that makes no byte, characters after
// the padding) keeps what did decode, readable, but the cartridge is
// read-only: a write-back would replace the file with the cut bytes.
TEST(TextCartridge, DamagedBodyLinesLoadReadOnly) {
    hvx_test::files_env env;
    struct row {
        const char* what;
        std::string body;  // version 2 entries, or a whole version 1 text
        files tree;
    } rows[] = {
        {"hex digit", ":: h.bin\nhex$00zz10\n", {{"h.bin", std::string(1, '\0')}}},
        {"hex odd count", ":: h.bin\nhex$00f\n", {{"h.bin", std::string(1, '\0')}}},
        {"hex later line", ":: h.bin\nhex$0001\n0g\n:: t.txt\nt\n", {{"h.bin", std::string("\0\1", 2)}, {"t.txt", "t"}}},
        {"base64 stranger", ":: b.bin\nb64$QU!JD\n", {{"b.bin", "ABC"}}},
        {"base64 lone last character", ":: b.bin\nb64$QUJDQ\n", {{"b.bin", "ABC"}}},
        {"base64 after padding", ":: b.bin\nb64$QQ==\nQUJD\n", {}},
        {"version 1 digit", "x\nversion 1\nf.bin 0:2 [00616z]\n", {{"f.bin", "a"}}},
        {"version 1 odd count", "x\nversion 1\nf.bin 0:2 [0061626]\n", {{"f.bin", "ab"}}},
    };
    for (const row& r : rows) {
        const bool v1 = r.body.rfind("x\n", 0) == 0;
        const std::string text = v1 ? r.body : head + r.body + ":: [eoc]\n";
        EXPECT_EQ(read_cart("/ram/f", text), -1) << r.what;
        if (!r.tree.empty()) EXPECT_EQ(read_tree("/ram/f"), r.tree) << r.what;
        delete_path("/ram/f");
        // Mounted: what decoded is read, a store is refused, and no flush
        // writes over the file.
        write_file(env.at("d.hvx"), text);
        if (!r.tree.empty()) {
            const auto& [name, bytes] = *r.tree.begin();
            buffer* got = pfile_read_all(("/d.hvx/" + name).c_str(), "rb");
            EXPECT_EQ(got ? std::string((const char*)got->data, (size_t)got->length) : "(none)", bytes) << r.what;
            destroy_buffer(got);
        }
        EXPECT_FALSE(put("/d.hvx/new.txt", "n")) << r.what;
        flush_dirty_mounts_immediately();
        EXPECT_EQ(read_file(env.at("d.hvx")), text) << r.what;
        delete_mount_point("/d.hvx");
    }
}

// An old-form cartridge whose entries lack their contents is told once in
// the log, its bytes escaped, never echoed to standard output.
TEST(TextCartridge, OldFormDamageIsOneEscapedNotice) {
    hvx_test::files_env env;
    std::string text = "x\nversion 1\n";
    for (int i = 0; i < 2000; i++) text += "bad" + std::to_string(i) + " 0:1 \x1b]0;owned\x07\x1b" "c\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_cart("/ram/f", text), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string log = env.procs.log();
    EXPECT_LT(log.size(), 1000u);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find('\x07'), std::string::npos);
    const size_t at = log.find("2000 entries of /ram/f");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("have no contents", log.find("have no contents") + 1), std::string::npos) << log;
    EXPECT_NE(log.find("bad0 0:1 \\x1b]0;owned\\x07\\x1bc", at), std::string::npos) << log;
}

TEST(TextCartridge, MountsAreWrittenBack) {
    hvx_test::files_env env;
    write_file(env.at("c.hvx"), head + ":: main.lua\nprint(1)\n:: [eoc]\n");
    ASSERT_TRUE(put("/c.hvx/new.txt", "n"));
    EXPECT_EQ(flush_dirty_mounts_immediately(), 1);
    EXPECT_EQ(read_file(env.at("c.hvx")), head + ":: main.lua\nprint(1)\n:: new.txt\nn\n:: [eoc]\n");
}

// A text cartridge too large for one frame is written from a copy over
// frames: to the bytes the whole write gives, a folder named like a text
// file (which goes among the text files) included.
TEST(TextCartridge, WrittenOverFramesAsItWouldBeWhole) {
    hvx_test::files_env env;
    write_file(env.at("t.hvx"), head + ":: [eoc]\n");
    std::string run;
    for (int64_t i = 0; run.size() < (size_t)WRITE_BACK_FRAME_BYTES; i++) run += "line " + std::to_string(i % 97) + "\n";
    ASSERT_EQ(pmkdir("/t.hvx/notes.txt"), 0);
    ASSERT_EQ(pmkdir("/t.hvx/d"), 0);
    ASSERT_TRUE(put("/t.hvx/a.txt", run));
    ASSERT_TRUE(put("/t.hvx/d/b.bin", run + run + '\1'));
    pmount* m = get_mount_by_mount_point("/t.hvx", 0);
    ASSERT_NE(m, nullptr);
    m->flush_due = 1;
    int frames = 0;
    for (; m->dirty && frames < 4000; frames++) {
        flush_dirty_mounts_delayed();
        usleep(1000);
    }
    EXPECT_GE(frames, 3);
    const std::string now = read_file(env.at("t.hvx"));
    EXPECT_NE(now.find(":: notes.txt/\n"), std::string::npos);
    m->dirty = 1;
    ASSERT_EQ(flush_dirty_mount(m, 0), 1);
    EXPECT_TRUE(now == read_file(env.at("t.hvx"))) << "the whole write differs";
}

// ---------------------------------------------------------------------------
// PNG cartridges
// ---------------------------------------------------------------------------

std::vector<uint8_t> rgba_of(const std::string& png, unsigned* w = nullptr, unsigned* h = nullptr) {
    buffer* b = create_buffer_2((int32_t)png.size() + 1, 100);
    bwrite(png.data(), 1, (int64_t)png.size(), b);
    uint8_t* px = nullptr;
    unsigned pw = 0, ph = 0;
    std::vector<uint8_t> out;
    if (LodePNG_decode32_pbuffer(&px, &pw, &ph, b) == 0) out.assign(px, px + (size_t)pw * ph * 4);
    free(px);
    destroy_buffer(b);
    if (w) *w = pw;
    if (h) *h = ph;
    return out;
}

std::string png_of(unsigned w, unsigned h, const uint8_t rgba[4]) {
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (size_t i = 0; i < px.size(); i++) px[i] = rgba[i % 4];
    buffer* b = create_buffer_2(64, 100);
    LodePNG_encode32_pbuffer(px.data(), w, h, b);
    std::string s((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

// Reads the ROM back out of the picture: 3 bits of R, G and B and 2 of A in
// each pixel, least significant first.
std::string hidden_rom(const std::vector<uint8_t>& px, size_t len) {
    std::string rom;
    uint32_t acc = 0;
    int have = 0;
    for (size_t j = 0; j < px.size() && rom.size() < len; j++) {
        int bits = j % 4 == 3 ? 2 : 3;
        acc |= (uint32_t)(px[j] & ((1 << bits) - 1)) << have;
        have += bits;
        if (have >= 8) {
            rom += (char)(acc & 255);
            acc >>= 8;
            have -= 8;
        }
    }
    return rom;
}

const uint8_t* pixel(const std::vector<uint8_t>& px, int x, int y) { return px.data() + 4 * ((size_t)y * PNG_CART_W + x); }
int high(const uint8_t* p, int k) { return p[k] & (k == 3 ? 0xFC : 0xF8); }

TEST(PngCartridge, PictureHidesTheRomOverTheTemplate) {
    hvx_test::files_env env;
    const uint8_t grey[4] = {100, 120, 140, 255}, red[4] = {200, 10, 10, 255};
    ASSERT_TRUE(put("/ram/system/misc/hvx_cart.png", png_of(512, 384, grey)));
    mount_p_path("/system", "/ram/system");
    make_tree("/ram/c", {{"main.lua", "print(1)"}, {"label.png", png_of(480, 270, red)}});
    unsigned w, h;
    std::vector<uint8_t> px = rgba_of(png_cart("/ram/c"), &w, &h);
    ASSERT_EQ(w * 1000 + h, 512384u);
    std::string rom = rom_of("/ram/c");
    EXPECT_EQ(rom.find("label.png"), std::string::npos);  // the label stays out of the ROM
    EXPECT_EQ(hidden_rom(px, rom.size()), rom);
    EXPECT_EQ(hidden_rom(px, 270336).substr(rom.size()), std::string(270336 - rom.size(), '\0'));
    // "h" then "v": R takes bits 0-2 of 0x68, G bits 3-5, B bits 6-7 and bit 0 of 0x76, A bits 1-2.
    EXPECT_EQ((px[0] & 7) * 1000 + (px[1] & 7) * 100 + (px[2] & 7) * 10 + (px[3] & 3), 513);
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(high(pixel(px, 0, 0), k), high(grey, k)) << k;
        EXPECT_EQ(high(pixel(px, 16, 38), k), high(red, k)) << k;
        EXPECT_EQ(high(pixel(px, 495, 307), k), high(red, k)) << k;
        EXPECT_EQ(high(pixel(px, 496, 307), k), high(grey, k)) << k;
    }
}

TEST(PngCartridge, LabelPicturesAndText) {
    hvx_test::files_env env;
    const uint8_t blue[4] = {10, 10, 200, 255};
    std::vector<uint8_t> qoi_px((size_t)480 * 270 * 4);
    for (size_t i = 0; i < qoi_px.size(); i++) qoi_px[i] = blue[i % 4];
    qoi_desc d{480, 270, 4, 0};
    int n = 0;
    uint8_t* q = qoi_encode(qoi_px.data(), &d, &n);
    std::string qoi((const char*)q, (size_t)n);
    free(q);
    auto label_at = [](const std::vector<uint8_t>& px) { return high(pixel(px, 100, 100), 2); };
    // A label.png of the wrong size is skipped; label.qoi is read only without label.png.
    make_tree("/ram/a", {{"label.png", png_of(240, 135, blue)}, {"label.qoi", qoi}});
    EXPECT_EQ(label_at(rgba_of(png_cart("/ram/a"))), high(PNG_CART_BACKGROUND, 2));
    make_tree("/ram/b", {{"label.qoi", qoi}});
    EXPECT_EQ(label_at(rgba_of(png_cart("/ram/b"))), high(blue, 2));

    // Title "!" (a column of 4 pixels, a gap, 1) doubled from (80, 326);
    // the second line at (80, 354) in its own grey.
    make_tree("/ram/t", {{".info.vyn", "--[[vyn,title=\"!\",version=\"1\",author=\"a\"]]\n"}});
    std::vector<uint8_t> px = rgba_of(png_cart("/ram/t"));
    auto lit = [&](int x, int y) { return high(pixel(px, x, y), 0); };
    std::string column;
    for (int y = 326; y < 346; y++) column += lit(80, y) == high(LABEL_TITLE_RGBA, 0) ? 'T' : lit(80, y) == high(LABEL_TITLE_LOW_RGBA, 0) ? 't' : '.';
    EXPECT_EQ(column.substr(column.find('T')), "TtTtTtTt..Tt" + std::string(column.size() - column.find('T') - 12, '.')) << column;
    EXPECT_EQ(lit(81, 326 + (int)column.find('T')), high(LABEL_TITLE_RGBA, 0));
    int second = 0;
    for (int y = 354; y < 364; y++)
        for (int x = 80; x < 100; x++) second += lit(x, y) == high(LABEL_SECOND_RGBA, 0);
    EXPECT_GT(second, 5);
    // Without an info file no text is drawn.
    make_tree("/ram/n", {{"main.lua", "x"}});
    px = rgba_of(png_cart("/ram/n"));
    int drawn = 0;
    for (int y = 326; y < 364; y++)
        for (int x = 80; x < 440; x++) drawn += lit(x, y) != high(PNG_CART_BACKGROUND, 0);
    EXPECT_EQ(drawn, 0);
}

TEST(PngCartridge, TooLargeLeavesTheFileAndTellsTheWindowManager) {
    hvx_test::files_env env;
    for (int i = 0; i < 3; i++) env.procs.spawn("", "p", "/ram/p.lua");  // id 3 hears notices
    std::mt19937 rng(9);
    std::string noise(263000, 0);
    for (char& c : noise) c = (char)rng();
    // The shortest prefix of the noise whose ROM reaches the limit.
    size_t lo = 250000, hi = noise.size();
    auto rom_size = [&](size_t n) {
        put("/ram/c/n.bin", noise.substr(0, n));
        return rom_of("/ram/c").size();
    };
    pmkdir("/ram/c");
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (rom_size(mid) < (size_t)PNG_CART_MAX_ROM) lo = mid + 1;
        else hi = mid;
    }
    ASSERT_EQ(rom_size(lo), (size_t)PNG_CART_MAX_ROM);
    noise.resize(lo);
    int r = 1;
    EXPECT_FALSE(png_cart("/ram/c", &r).empty());
    EXPECT_EQ(r, 0);
    put("/ram/c/n.bin", noise + "y");
    ASSERT_EQ(rom_of("/ram/c").size(), (size_t)PNG_CART_MAX_ROM + 1);
    EXPECT_TRUE(png_cart("/ram/c", &r).empty());
    EXPECT_EQ(r, PNG_CART_TOO_LARGE);

    // At write-back: the old file stays byte for byte, the notice goes once.
    write_file(env.at("big.hvx.png"), "old bytes");
    pmount* m = mount_p_path("/big.hvx.png", "/ram/c");
    ASSERT_NE(m, nullptr);
    m->dirty = 1;
    flush_dirty_mounts_immediately();
    flush_dirty_mounts_immediately();
    EXPECT_EQ(read_file(env.at("big.hvx.png")), "old bytes");
    EXPECT_EQ(env.procs.messages(get_process(3)),
              std::vector<std::string>{"{event=\"user_notification\",content=\"failed to store cartridge rom as png (too large)\"}"});
    // Once it fits again the picture is written.
    put("/ram/c/n.bin", "small");
    m->flush_due = 0;
    EXPECT_EQ(flush_dirty_mounts_immediately(), 1);
    std::string rom = rom_of("/ram/c");
    EXPECT_EQ(hidden_rom(rgba_of(read_file(env.at("big.hvx.png"))), rom.size()), rom);
}

// A folder of compressible files over two frames' bytes, a label picture
// and an info file, for the write over frames; mark makes each version.
void fill_png_cart(const std::string& cart, char mark, const std::string& label_name, const std::string& label) {
    pmkdir(cart.c_str());
    pmkdir((cart + "/d").c_str());
    std::string run;
    for (int64_t i = 0; run.size() < (size_t)WRITE_BACK_FRAME_BYTES; i++) run += "line " + std::to_string(i % 97) + mark + "\n";
    ASSERT_TRUE(put(cart + "/a.txt", run));
    ASSERT_TRUE(put(cart + "/d/b.txt", run + run));
    ASSERT_TRUE(put(cart + "/main.lua", std::string("print('") + mark + "')"));
    ASSERT_TRUE(put(cart + "/" + HVX_INFO_FILE, std::string("--[[vyn,title=\"T") + mark + "\",version=\"2\",author=\"me\"]]\n"));
    if (!label_name.empty()) { ASSERT_TRUE(put(cart + "/" + label_name, label)); }
}

TEST(PngCartridge, WrittenOverFramesAsItWouldBeWhole) {
    const uint8_t grey[4] = {100, 120, 140, 255}, red[4] = {200, 10, 10, 255}, blue[4] = {10, 10, 200, 255};
    std::vector<uint8_t> qoi_px((size_t)LABEL_PICTURE_W * LABEL_PICTURE_H * 4);
    for (size_t i = 0; i < qoi_px.size(); i++) qoi_px[i] = blue[i % 4];
    qoi_desc d{LABEL_PICTURE_W, LABEL_PICTURE_H, 4, 0};
    int qn = 0;
    uint8_t* q = qoi_encode(qoi_px.data(), &d, &qn);
    const std::string qoi((const char*)q, (size_t)qn);
    free(q);
    enum { NO_TEMPLATE, RAM_TEMPLATE, HOST_TEMPLATE };
    struct row {
        const char* what;
        int template_at;
        std::string label_name, label;
    };
    const row rows[] = {
        {"a RAM template and label.png", RAM_TEMPLATE, "label.png", png_of(LABEL_PICTURE_W, LABEL_PICTURE_H, red)},
        {"a host template and label.qoi", HOST_TEMPLATE, "label.qoi", qoi},
        {"no template, no label picture", NO_TEMPLATE, "", ""},
    };
    for (const row& r : rows) {
        hvx_test::files_env env;
        if (r.template_at == RAM_TEMPLATE) {
            ASSERT_TRUE(put("/ram/system/misc/hvx_cart.png", png_of(PNG_CART_W, PNG_CART_H, grey)));
            mount_p_path("/system", "/ram/system");
        } else if (r.template_at == HOST_TEMPLATE) {
            std::filesystem::create_directories(env.at("system/misc"));
            ASSERT_TRUE(write_file(env.at("system/misc/hvx_cart.png"), png_of(PNG_CART_W, PNG_CART_H, grey)));
        }
        fill_png_cart("/p.hvx.png", 'o', r.label_name, r.label);
        ASSERT_EQ(flush_dirty_mounts_immediately(), 1) << r.what;
        const std::string old = read_file(env.at("p.hvx.png"));
        ASSERT_FALSE(rgba_of(old).empty()) << r.what;
        fill_png_cart("/p.hvx.png", 'n', r.label_name, r.label);
        pmount* m = get_mount_by_mount_point("/p.hvx.png", 0);
        hvx_test::make_due(m);
        // Each frame within its bytes; the old file whole until the new one is.
        int frames = 0, new_frames = 0;
        std::string now = old;
        while (m->dirty && frames < 4000) {
            flush_dirty_mounts_delayed();
            EXPECT_LE(write_back_frame_bytes(), WRITE_BACK_FRAME_BYTES) << r.what;
            std::string seen = read_file(env.at("p.hvx.png"));
            if (seen != now) {
                ASSERT_TRUE(now == old) << r.what << " frame " << frames << ": a third version";
                now = seen;
            }
            new_frames += now != old;
            frames++;
            usleep(1000);
        }
        EXPECT_GE(frames - new_frames, 2) << r.what;
        EXPECT_TRUE(now != old) << r.what;
        m->dirty = 1;
        ASSERT_EQ(flush_dirty_mount(m, 0), 1) << r.what;
        EXPECT_TRUE(now == read_file(env.at("p.hvx.png"))) << r.what << ": the whole write differs";
        const std::string rom = rom_of(to_cstr(m->origin));
        EXPECT_EQ(hidden_rom(rgba_of(now), rom.size()), rom) << r.what;
    }
}

// A small PNG cartridge is written whole by the first frame it is due in,
// as any small cartridge is: nothing waits for a worker.
TEST(PngCartridge, ASmallOneIsWrittenByTheFrameItIsDueIn) {
    hvx_test::files_env env;
    const uint8_t grey[4] = {100, 120, 140, 255};
    ASSERT_TRUE(put("/ram/system/misc/hvx_cart.png", png_of(PNG_CART_W, PNG_CART_H, grey)));
    mount_p_path("/system", "/ram/system");
    ASSERT_EQ(pmkdir("/s.hvx.png"), 0);
    ASSERT_TRUE(put("/s.hvx.png/main.lua", "print('small')"));
    pmount* m = get_mount_by_mount_point("/s.hvx.png", 0);
    hvx_test::make_due(m);
    EXPECT_EQ(flush_dirty_mounts_delayed(), 1);
    EXPECT_EQ(m->dirty, 0);
    write_back_settle();  // the disk writer's part
    const std::string rom = rom_of(to_cstr(m->origin));
    EXPECT_EQ(hidden_rom(rgba_of(read_file(env.at("s.hvx.png"))), rom.size()), rom);
}

TEST(PngCartridge, TooLargeOverFramesLeavesTheFileAndTellsTheWindowManagerOnce) {
    hvx_test::files_env env;
    for (int i = 0; i < 3; i++) env.procs.spawn("", "p", "/ram/p.lua");  // id 3 hears notices
    std::mt19937 rng(3);
    // Past the frame's bytes too, so it is written over frames.
    std::string noise((size_t)std::max<int64_t>(PNG_CART_MAX_ROM + 4096, WRITE_BACK_FRAME_BYTES), 0);
    for (char& c : noise) c = (char)rng();
    write_file(env.at("big.hvx.png"), "old bytes");
    make_tree("/ram/c", {{"n.bin", noise}, {"main.lua", "x"}});
    pmount* m = mount_p_path("/big.hvx.png", "/ram/c");
    ASSERT_NE(m, nullptr);
    m->dirty = 1;
    for (int round = 0; round < 2; round++) {
        hvx_test::make_due(m);
        for (int i = 0; i < 4000 && m->flush_due <= os_get_time(); i++) {
            flush_dirty_mounts_delayed();
            usleep(1000);
        }
        EXPECT_EQ(m->dirty, 1);
        EXPECT_GT(m->flush_due, os_get_time());
    }
    EXPECT_EQ(read_file(env.at("big.hvx.png")), "old bytes");
    EXPECT_EQ(env.procs.messages(get_process(3)),
              std::vector<std::string>{"{event=\"user_notification\",content=\"failed to store cartridge rom as png (too large)\"}"});
}

TEST(PngCartridge, AnUnreadCartridgeIsNeverWrittenOver) {
    hvx_test::files_env env;
    const uint8_t c[4] = {1, 2, 3, 4};
    std::string old = png_of(512, 384, c);
    write_file(env.at("old.hvx.png"), old);
    testing::internal::CaptureStdout();
    // Refused: the write could never be saved.
    EXPECT_FALSE(put("/old.hvx.png/new.txt", "n"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("can not populate /ram/mount/m", 0), 0u) << out;
    EXPECT_NE(out.find("\nhvx.png loader not supported in this build.\n"), std::string::npos) << out;
    flush_dirty_mounts_immediately();
    EXPECT_EQ(read_file(env.at("old.hvx.png")), old);
}

}  // namespace
