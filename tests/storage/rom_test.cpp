// ROM cartridges: hand-assembled entry streams read into RAM folders, the
// writer's refusals, byte-exact round trips, and pxa vectors.
#include <gtest/gtest.h>
#include <lz4hc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "tests/storage/fuzz/fuzz_folder.h"
#include "tests/support/files_env.h"
#include "tests/support/harness.h"
#include "tests/support/rom_maker.h"

namespace {

using bytes = std::vector<uint8_t>;
using hvx_test::read_file;
using hvx_test::write_file;

void put_name(bytes& s, const std::string& name) {
    s.insert(s.end(), name.begin(), name.end());
    s.push_back(0);
}
void put_u32(bytes& s, uint32_t v) {
    for (int i = 0; i < 4; i++) s.push_back((uint8_t)(v >> (8 * i)));
}

// "hvx" 02, u32 LE compressed size, the stream compressed at level 9.
bytes pack_by_hand(const bytes& stream) {
    std::vector<char> c(LZ4_compressBound((int)stream.size()) + 16);
    int n = LZ4_compress_HC((const char*)stream.data(), c.data(), (int)stream.size(), (int)c.size(), 9);
    bytes out = {'h', 'v', 'x', 2};
    put_u32(out, (uint32_t)n);
    out.insert(out.end(), c.begin(), c.begin() + n);
    return out;
}

buffer* to_buffer(const bytes& b) {
    buffer* out = create_buffer_2((int32_t)b.size() + 1, 100);
    bwrite(b.data(), 1, (int64_t)b.size(), out);
    out->cursor = 0;
    return out;
}

std::string ram_text(const char* path) {
    pfile* f = get_ram_file_by_name(path);
    if (!f || !f->data) return "<missing>";
    return std::string((const char*)f->data->data, (size_t)f->data->length);
}

bool is_ram_folder(const char* path) {
    pfile* f = get_ram_file_by_name(path);
    return f && (f->flags & PFILE_FLAG_FOLDER);
}

struct ram_env {
    ram_env() {
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
    }
    ~ram_env() { pfile_reset(); }
    int load(const bytes& image, const char* folder = "/ram/t", int keep = 0, const char* prefix = "") {
        buffer* b = to_buffer(image);
        int r = populate_ram_folder_from_hvx_rom_buffer_ex(folder, prefix, b, keep);
        destroy_buffer(b);
        return r;
    }
};

bytes sample_stream() {
    bytes s;
    put_name(s, "gfx/");
    put_name(s, "gfx/a.bin");
    s.push_back(255);
    put_u32(s, 300);
    for (int i = 0; i < 300; i++) s.push_back((uint8_t)i);
    put_name(s, "b.bin");
    s.push_back(254);
    s.insert(s.end(), 254, 'b');
    return s;
}

TEST(RomEntries, HandAssembledStreamReadsIntoFolder) {
    ram_env env;
    ASSERT_EQ(env.load(pack_by_hand(sample_stream())), 0);
    EXPECT_TRUE(is_ram_folder("/ram/t/gfx"));
    std::string a = ram_text("/ram/t/gfx/a.bin");
    ASSERT_EQ(a.size(), 300u);
    for (int i = 0; i < 300; i++) ASSERT_EQ((uint8_t)a[i], (uint8_t)i);
    EXPECT_EQ(ram_text("/ram/t/b.bin"), std::string(254, 'b'));

    // The writer produces exactly these entry bytes.
    buffer* s = create_buffer_2(64, 100);
    std::string data300(a), data254(254, 'b');
    ASSERT_EQ(rom_append_entry(s, "gfx", 1, nullptr, 0), 0);
    ASSERT_EQ(rom_append_entry(s, "gfx/a.bin", 0, (const uint8_t*)data300.data(), 300), 0);
    ASSERT_EQ(rom_append_entry(s, "b.bin", 0, (const uint8_t*)data254.data(), 254), 0);
    bytes want = sample_stream();
    EXPECT_EQ(bytes(s->data, s->data + s->length), want);
    destroy_buffer(s);
}

// A large last entry keeps the unpacked stream's memory; the same entry
// elsewhere is copied. Both read back exactly.
TEST(RomEntries, LargeEntriesReadBackWhereverTheyStand) {
    bytes big((size_t)ROM_TAKE_MIN + 7);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)(i * 131 + (i >> 9));
    std::string want(big.begin(), big.end());
    for (bool last : {true, false}) {
        ram_env env;
        bytes s;
        if (last) put_name(s, "z/");
        put_name(s, "big.bin");
        s.push_back(255);
        put_u32(s, (uint32_t)big.size());
        s.insert(s.end(), big.begin(), big.end());
        if (!last) put_name(s, "z/");
        ASSERT_EQ(env.load(pack_by_hand(s)), 0) << last;
        EXPECT_EQ(ram_text("/ram/t/big.bin"), want) << last;
        EXPECT_TRUE(is_ram_folder("/ram/t/z")) << last;
    }
}

TEST(RomEntries, BadEntriesStopTheLoadAndKeepWhatCameBefore) {
    ram_env env;
    bytes s;
    put_name(s, "ok.txt");
    s.push_back(2);
    s.push_back('o');
    s.push_back('k');
    put_name(s, "../x");
    s.push_back(1);
    s.push_back('x');
    put_name(s, "after.txt");
    s.push_back(0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(env.load(pack_by_hand(s)), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("** bad file description while mounting .hvx.rom: /ram/t"), std::string::npos) << out;
    EXPECT_EQ(ram_text("/ram/t/ok.txt"), "ok");
    EXPECT_EQ(get_ram_file_by_name("/ram/x"), nullptr);
    EXPECT_EQ(get_ram_file_by_name("/ram/t/after.txt"), nullptr);
}

TEST(RomEntries, FieldsCutShortAreFaultsNotOverreads) {
    // Every case on its own heap copy so the sanitizer sees any read past it.
    auto next = [](const bytes& s, int64_t* pos, rom_entry* e) {
        std::vector<uint8_t> heap(s);
        return rom_next_entry(heap.data(), (int64_t)heap.size(), pos, e);
    };
    rom_entry e;
    int64_t pos = 0;
    EXPECT_EQ(next({'a', 'b'}, &pos, &e), ROM_ENTRY_BAD_NAME);  // no NUL
    pos = 0;
    EXPECT_EQ(next({0, 'a'}, &pos, &e), ROM_ENTRY_BAD_NAME);  // empty name
    pos = 0;
    EXPECT_EQ(next({'a', 0}, &pos, &e), ROM_ENTRY_BAD_SIZE);  // no size byte
    pos = 0;
    EXPECT_EQ(next({'a', 0, 255, 1, 0}, &pos, &e), ROM_ENTRY_BAD_SIZE);  // u32 cut
    pos = 0;
    EXPECT_EQ(next({'a', 0, 255, 0xff, 0xff, 0xff, 0xff}, &pos, &e), ROM_ENTRY_BAD_LENGTH);  // negative
    pos = 0;
    EXPECT_EQ(next({'a', 0, 5, 'x', 'y'}, &pos, &e), ROM_ENTRY_CUT_SHORT);
    EXPECT_EQ(e.size, 2);
    EXPECT_EQ(pos, 5);

    // A load of a cut stream keeps the bytes that are there, says nothing,
    // but reports the cartridge as not read whole.
    ram_env env;
    bytes s;
    put_name(s, "cut.bin");
    s.push_back(200);
    s.insert(s.end(), 10, 'c');
    testing::internal::CaptureStdout();
    EXPECT_EQ(env.load(pack_by_hand(s)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ram_text("/ram/t/cut.bin"), std::string(10, 'c'));
    // A size of 2^31 or more stops the load with both numbers.
    bytes neg;
    put_name(neg, "ok.bin");
    neg.push_back(1);
    neg.push_back('k');
    put_name(neg, "neg.bin");
    neg.push_back(255);
    put_u32(neg, 0x80000005u);
    neg.push_back('n');
    testing::internal::CaptureStdout();
    EXPECT_EQ(env.load(pack_by_hand(neg), "/ram/n"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "** bad file length -2147483643 (-2147483643) while mounting .hvx.rom: /ram/n\n");
    EXPECT_EQ(ram_text("/ram/n/ok.bin"), "k");
    EXPECT_EQ(ram_text("/ram/n/neg.bin"), "<missing>");

    // A compressed size past the end of the image: what is there is read,
    // but the image is not whole.
    bytes image = pack_by_hand(sample_stream());
    image[4] = 0xff;
    image[5] = 0xff;
    image[6] = 0xff;
    image[7] = 0x7f;
    EXPECT_EQ(env.load(image, "/ram/u"), -1);
    EXPECT_EQ(ram_text("/ram/u/b.bin"), std::string(254, 'b'));
    // Garbage behind the magic.
    EXPECT_EQ(env.load({'h', 'v', 'x', 2, 9, 0, 0, 0, 0xff, 0xff, 0xff}, "/ram/v"), -1);
    EXPECT_EQ(env.load({'h', 'v', 'x'}, "/ram/w"), -1);
}

TEST(RomEntries, LongNamesAndManyEntriesReadBack) {
    // The writer takes names over 400 bytes and more than 16,384 entries;
    // the reader must read everything the writer wrote.
    ram_env env;
    std::map<std::string, std::string> files;
    std::string long_name(200, 'n');
    files[long_name + "/" + long_name + ".txt"] = "deep";
    for (int i = 0; i < 17000; i++) files["many/f" + std::to_string(i)] = "";
    std::string rom = hvx_test::make_rom(files);
    ASSERT_FALSE(rom.empty());
    ASSERT_EQ(env.load(bytes(rom.begin(), rom.end())), 0);
    EXPECT_EQ(ram_text(("/ram/t/" + long_name + "/" + long_name + ".txt").c_str()), "deep");
    EXPECT_EQ(ram_text("/ram/t/many/f16999"), "");
}

TEST(RomEntries, KeepExistingLeavesFilesThatExist) {
    ram_env env;
    mount_ram_folder("/system");
    pfile* f = pfopen("/system/x.lua", "w");
    ASSERT_NE(f, nullptr);
    pfwrite("old", 1, 3, f);
    pfclose(f);
    std::string rom = hvx_test::make_rom({{"system/x.lua", "new"}, {"system/y.lua", "fresh"}});
    ASSERT_EQ(env.load(bytes(rom.begin(), rom.end()), "/system", 1, "system/"), 0);
    EXPECT_EQ(ram_text("/system/x.lua"), "old");
    EXPECT_EQ(ram_text("/system/y.lua"), "fresh");
    EXPECT_TRUE(is_ram_folder("/system"));
    ASSERT_EQ(env.load(bytes(rom.begin(), rom.end()), "/system", 0, "system/"), 0);
    EXPECT_EQ(ram_text("/system/x.lua"), "new");
    EXPECT_EQ(get_ram_file_by_name("/system/system"), nullptr);
    // Names outside the prefix are refused, the others still land.
    std::string mixed = hvx_test::make_rom({{"system/in.lua", "in"}, {"elsewhere/out.lua", "out"}});
    EXPECT_EQ(env.load(bytes(mixed.begin(), mixed.end()), "/system", 0, "system/"), -1);
    EXPECT_EQ(ram_text("/system/in.lua"), "in");
    EXPECT_EQ(get_ram_file_by_name("/system/out.lua"), nullptr);
    EXPECT_EQ(get_ram_file_by_name("/system/elsewhere/out.lua"), nullptr);
}

TEST(RomEntries, TextWithoutMagicBecomesMainLua) {
    ram_env env;
    bytes t = {'p', 'r', 'i', 'n', 't', '(', '1', ')', 0, 'z', 'z'};
    // Bytes past the NUL are left out, so the text was not read whole.
    EXPECT_EQ(env.load(t), -1);
    EXPECT_EQ(ram_text("/ram/t/main.lua"), "print(1)");
    t.resize(8);
    EXPECT_EQ(env.load(t, "/ram/u"), 0);
    EXPECT_EQ(ram_text("/ram/u/main.lua"), "print(1)");
}

// pxa streams: fields are written least significant bit first.
struct bit_writer {
    bytes out = {0, 'p', 'x', 'a', 0, 0, 0, 0};
    int bit = 8;
    void put(int v) {
        if (bit == 8) {
            out.push_back(0);
            bit = 0;
        }
        if (v) out.back() |= (uint8_t)(1 << bit);
        bit++;
    }
    void field(int64_t v, int n) {
        for (int i = 0; i < n; i++) put((int)((v >> i) & 1));
    }
    bytes done(int decoded, int block = -1) {
        bytes b = out;
        b[4] = (uint8_t)(decoded >> 8);
        b[5] = (uint8_t)decoded;
        int k = block < 0 ? (int)b.size() : block;
        b[6] = (uint8_t)(k >> 8);
        b[7] = (uint8_t)k;
        return b;
    }
};

// A literal of the given table index: 1, the width's ones and its 0, the field.
void put_literal(bit_writer& w, int index) {
    int width = 4;
    while (index >= (1 << (width + 1)) - 16) width++;
    w.put(1);
    for (int i = 4; i < width; i++) w.put(1);
    w.put(0);
    w.field(index - ((1 << width) - 16), width);
}

// A pxa block of text: move-to-front literals, and copies of 3 bytes or
// more found by a plain search. declared: the header's text length.
bytes pxa_encode(const std::string& text, int declared = -1) {
    bit_writer w;
    std::vector<uint8_t> mtf(256);
    for (int i = 0; i < 256; i++) mtf[i] = (uint8_t)i;
    for (size_t i = 0; i < text.size();) {
        size_t best = 0, off = 0;
        for (size_t o = 1; o <= i && o <= 32768; o++) {
            size_t n = 0;
            while (i + n < text.size() && text[i + n] == text[i + n - o]) n++;
            if (n > best) best = n, off = o;
        }
        if (best >= 3) {
            int64_t v = (int64_t)off - 1;
            w.put(0);
            if (v < 32) {
                w.field(3, 2);
                w.field(v, 5);
            } else if (v < 1024) {
                w.field(1, 2);
                w.field(v, 10);
            } else {
                w.put(0);
                w.field(v, 15);
            }
            size_t rest = best - 3;
            for (; rest >= 7; rest -= 7) w.field(7, 3);
            w.field((int64_t)rest, 3);
            i += best;
            continue;
        }
        int k = (int)(std::find(mtf.begin(), mtf.end(), (uint8_t)text[i]) - mtf.begin());
        put_literal(w, k);
        mtf.erase(mtf.begin() + k);
        mtf.insert(mtf.begin(), (uint8_t)text[i]);
        i++;
    }
    return w.done(declared < 0 ? (int)text.size() : declared);
}

// The text of the pxa cases, 480 bytes.
std::string pxa_sample_text() {
    std::string t;
    for (int i = 0; t.size() < 480; i++)
        t += "function f" + std::to_string(i) + "(x) return x * " + std::to_string(i * 7 % 13) + " + " +
             std::to_string(i) + " end\n";
    return t.substr(0, 480);
}

std::string pxa_text_of(const bytes& b) {
    std::vector<uint8_t> dst((size_t)PXA_MAX_TEXT + 1);
    int64_t n = pxa_decompress(b.data(), (int64_t)b.size(), dst.data(), PXA_MAX_TEXT);
    return std::string((const char*)dst.data(), (size_t)n);
}

// A cartridge file without the ROM header is a script read whole only when
// all of it is UTF-8 text without a NUL, and a pxa block only when it
// decodes to its declared length. Anything else, above all a ROM whose first
// byte is damaged or whose block is cut short, did not load: what was read
// stays readable, writes under it are refused with one notice, and its file
// keeps every byte.
TEST(RomText, OnlyAWholeTextWithoutTheHeaderIsWritable) {
    hvx_test::files_env env;
    for (int i = 0; i < 3; i++) env.procs.spawn("", "p", "/ram/p.lua");  // id 3 hears notices
    std::string lua, gfx;
    for (int i = 0; i < 2000; i++) lua += "print(" + std::to_string(i) + ")\n";
    for (int i = 0; i < 4096; i++) gfx += (char)(i * 7 + (i >> 8));
    std::string rom = hvx_test::make_rom({{"main.lua", lua}, {"gfx/0.gfx", gfx}});
    std::string zeroed = rom, renamed = rom;
    zeroed[0] = 0;
    renamed[0] = 'H';
    const bytes pxa_whole = pxa_encode(pxa_sample_text());
    bytes pxa_damaged = pxa_whole;
    pxa_damaged[pxa_damaged.size() / 2] = pxa_damaged[pxa_damaged.size() / 2 + 1] = 0xff;
    const bytes pxa_short = pxa_encode("abcdefghijklmnopqrstuvw", 900);
    ASSERT_LT(pxa_text_of(pxa_damaged).size(), 480u);
    // An image whose block is cut after a whole entry: what is there decodes.
    bytes cut = {'h', 'v', 'x', 2, 18, 0, 0, 0, 0x80, 'a', '.', 't', 'x', 't', 0, 1, 'a'};
    auto str = [](const bytes& b) { return std::string(b.begin(), b.end()); };
    struct row {
        const char* name;
        std::string bytes;
        bool writable;
        std::string main;  // main.lua as read
    } rows[] = {
        {"zeroed.hvx.rom", zeroed, false, ""},
        {"renamed.hvx.rom", renamed, false, rom.substr(0, rom.find('\0')).replace(0, 1, "H")},
        {"plain.hvx.rom", "-- caf\xC3\xA9 \xE2\x9C\x93\nprint(1)\n", true, "-- caf\xC3\xA9 \xE2\x9C\x93\nprint(1)\n"},
        {"nul.hvx.rom", std::string("print(1)\0print(2)", 17), false, "print(1)"},
        {"latin.hvx.rom", "print('caf\xE9')", false, "print('caf\xE9')"},
        {"cut.hvx.rom", "print('\xE2\x9C')", false, "print('\xE2\x9C')"},
        {"pxa.hvx.rom", str(pxa_whole), true, pxa_sample_text()},
        {"pxa_damaged.hvx.rom", str(pxa_damaged), false, pxa_text_of(pxa_damaged)},
        {"pxa_short.hvx.rom", str(pxa_short), false, "abcdefghijklmnopqrstuvw"},
        {"cut_block.hvx.rom", str(cut), false, "<missing>"},
    };
    Process* p = env.spawn();
    std::vector<std::string> told;
    for (const row& r : rows) {
        ASSERT_TRUE(write_file(env.at(r.name), r.bytes)) << r.name;
        std::string cart = std::string("/") + r.name;
        std::string store = "return show(store('" + cart + "/new.lua', 'x'))";
        std::string want = r.writable ? "0:" : "1:store: could not write the file";
        EXPECT_EQ(hvx_test::run_in(p, store), want) << r.name;
        EXPECT_EQ(hvx_test::run_in(p, store), want) << r.name;
        pmount* m = get_mount_by_mount_point(cart.c_str(), 0);
        ASSERT_NE(m, nullptr) << r.name;
        std::string origin = to_cstr(m->origin);
        EXPECT_EQ(ram_text((origin + "/main.lua").c_str()), r.main) << r.name;
        flush_dirty_mounts_immediately();
        std::string after = read_file(env.at(r.name));
        if (!r.writable) {
            EXPECT_TRUE(after == r.bytes) << r.name << ": " << after.size() << " bytes, were " << r.bytes.size();
            told.push_back(std::string("{event=\"user_notification\",content=\"cartridge ") + cart + " " +
                           CART_DEAD_TEXT + "\"}");
            continue;
        }
        // Written back as a ROM holding the text and the new file.
        ASSERT_TRUE(rom_is_rom((const uint8_t*)after.data(), (int64_t)after.size())) << r.name;
        buffer* b = to_buffer(bytes(after.begin(), after.end()));
        EXPECT_EQ(populate_ram_folder_from_hvx_rom_buffer("/ram/back", b), 0);
        destroy_buffer(b);
        EXPECT_EQ(ram_text("/ram/back/main.lua"), r.main);
        EXPECT_EQ(ram_text("/ram/back/new.lua"), ram_text((origin + "/new.lua").c_str()));
        EXPECT_EQ(hvx_test::run_in(p, "return (fetch('" + cart + "/new.lua'))"), "x");
    }
    EXPECT_EQ(env.procs.messages(get_process(3)), told);
}

TEST(RomEntries, TextAfterTheCursorIsTheOneTaken) {
    ram_env env;
    // What lies before the cursor (here with a NUL of its own) is not the text.
    bytes t = {'o', 'l', 'd', 0, 'x', 'p', 'r', 'i', 'n', 't', '(', '2', ')', 0, 'z'};
    buffer* b = to_buffer(t);
    b->cursor = 5;
    EXPECT_EQ(populate_ram_folder_from_hvx_rom_buffer_ex("/ram/t", "", b, 0), -1);
    EXPECT_EQ(b->cursor, b->length);
    EXPECT_EQ(ram_text("/ram/t/main.lua"), "print(2)");
    // A later cursor takes the text from there.
    b->cursor = 11;
    EXPECT_EQ(populate_ram_folder_from_hvx_rom_buffer_ex("/ram/u", "", b, 0), -1);
    EXPECT_EQ(ram_text("/ram/u/main.lua"), "2)");
    destroy_buffer(b);
}

TEST(RomEntries, NegativePositionIsRefused) {
    bytes s;
    put_name(s, "a.txt");
    s.push_back(1);
    s.push_back('a');
    std::vector<uint8_t> heap(s);
    rom_entry e{};
    for (int64_t start : {(int64_t)-1, (int64_t)-7, INT64_MIN}) {
        int64_t pos = start;
        EXPECT_LT(rom_next_entry(heap.data(), (int64_t)heap.size(), &pos, &e), 0) << start;
        EXPECT_EQ(pos, start);
    }
    int64_t pos = 0;
    EXPECT_EQ(rom_next_entry(heap.data(), (int64_t)heap.size(), &pos, &e), ROM_ENTRY_OK);
    EXPECT_EQ(pos, (int64_t)heap.size());
}

TEST(RomEntries, DotDotOnlyAsAWholeSegment) {
    for (const char* bad : {"..", "../a", "a/..", "a/../b", "a/b/.."})
        EXPECT_TRUE(path_has_dotdot_segment(bad, (int64_t)strlen(bad))) << bad;
    for (const char* good : {"a..b", "...", "a/...", "..a", "a..", "a/.x./b", "."})
        EXPECT_FALSE(path_has_dotdot_segment(good, (int64_t)strlen(good))) << good;
    // Only the bytes given count: "a/.." cut to "a/." has no such segment.
    EXPECT_FALSE(path_has_dotdot_segment("a/..", 3));

    // The writer and the reader follow the one rule.
    buffer* stream = create_buffer_2(64, ROM_SCRATCH_KIND);
    EXPECT_EQ(rom_append_entry(stream, "a..b.lua", 0, (const uint8_t*)"x", 1), 0);
    EXPECT_EQ(rom_append_entry(stream, "a/../b.lua", 0, (const uint8_t*)"x", 1), -1);
    int64_t pos = 0;
    rom_entry e{};
    EXPECT_EQ(rom_next_entry(stream->data, stream->length, &pos, &e), ROM_ENTRY_OK);
    EXPECT_STREQ(e.name, "a..b.lua");
    destroy_buffer(stream);
}

// The unpacked size is read from the block, whole or its head: it must agree
// with the decoder on every block the packer makes, and refuse a block cut
// short, one that would pass the limit, and a copy from before the start.
// Unpacking agrees too, whether its guess from the head fits or not.
TEST(RomStream, BlockSizeAgreesWithTheDecoder) {
    uint32_t seed = 7;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    auto check = [](const bytes& stream, int round) {
        bytes rom = pack_by_hand(stream);
        const uint8_t* block = rom.data() + ROM_HEADER_SIZE;
        int64_t n = (int64_t)rom.size() - ROM_HEADER_SIZE;
        ASSERT_EQ(lz4_block_size(block, n, ROM_MAX_STREAM), (int64_t)stream.size()) << round;
        if (!stream.empty()) {
            EXPECT_EQ(lz4_block_size(block, n, (int64_t)stream.size() - 1), -1) << round;
        }
        if (n > 1) {
            EXPECT_EQ(lz4_block_size(block, n - 1, ROM_MAX_STREAM), -1) << round;
        }
        // Walked in two legs, first the head.
        lz4_mark at{0, 0};
        int r = lz4_block_walk(block, n, ROM_MAX_STREAM, ROM_SIZE_HEAD, &at);
        ASSERT_GE(r, 0) << round;
        EXPECT_EQ(r == 1, at.in == n) << round;
        if (r == 0) {
            EXPECT_GE(at.in, ROM_SIZE_HEAD) << round;
            EXPECT_LE(at.out, (int64_t)stream.size()) << round;
            EXPECT_EQ(lz4_block_walk(block, n, ROM_MAX_STREAM, n, &at), 1) << round;
        }
        EXPECT_EQ(at.out, (int64_t)stream.size()) << round;
        int64_t used = 0;
        buffer* back = rom_unpack(rom.data(), (int64_t)rom.size(), &used);
        ASSERT_NE(back, nullptr) << round;
        EXPECT_EQ(used, (int64_t)rom.size());
        EXPECT_TRUE(bytes(back->data, back->data + back->length) == stream) << round;
        destroy_buffer(back);
    };
    for (int round = 0; round < 200; round++) {
        bytes stream((size_t)(next() % 70000));
        int alphabet = 1 + (int)(next() % 40);
        for (auto& b : stream) b = next() % 8 == 0 ? (uint8_t)next() : (uint8_t)('a' + next() % alphabet);
        check(stream, round);
    }
    // A head that packs far worse than the rest (the guess is too small),
    // and one that packs far better (no guess is made).
    bytes mixed(200000), worse, better((size_t)4 << 20);
    for (size_t i = 0; i < mixed.size(); i++) mixed[i] = (i / 64) % 2 ? (uint8_t)next() : (uint8_t)('a' + i % 13);
    worse = mixed;
    worse.resize((size_t)1 << 22);
    better.insert(better.end(), mixed.begin(), mixed.end());
    check(worse, -1);
    check(better, -2);
    // Eight literals, then a copy reaching nine bytes back.
    bytes early = {0x84, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 9, 0, 0x50, 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(lz4_block_size(early.data(), (int64_t)early.size(), ROM_MAX_STREAM), -1);
    early[9] = 8;
    EXPECT_EQ(lz4_block_size(early.data(), (int64_t)early.size(), ROM_MAX_STREAM), 8 + 8 + 5);
}

#if defined(__SANITIZE_ADDRESS__)
#define WATCH_ALLOCATIONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WATCH_ALLOCATIONS 1
#endif
#endif

#ifdef WATCH_ALLOCATIONS
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
std::atomic<bool> watching{false};
std::atomic<size_t> largest{0};
std::atomic<size_t> counted_from{SIZE_MAX};  // allocations of at least this many bytes
std::atomic<int> counted{0};
std::atomic<pid_t> counted_on{0};  // the thread whose allocations count (others run on)
void on_malloc(const volatile void*, size_t n) {
    if (watching && n > largest) largest = n;
    if (watching && n >= counted_from && gettid() == counted_on) counted++;
}
void on_free(const volatile void*) {}
#endif

// A hostile block may not make the host allocate far more than it fills:
// the room for its stream is never more than ROM_ROOM_PER_BLOCK_BYTE times
// the block until every sequence has been read.
TEST(RomStream, AHostileBlockGetsNoRoomBeyondItsSize) {
#ifndef WATCH_ALLOCATIONS
    GTEST_SKIP() << "allocations are watched only under AddressSanitizer";
#else
    static int installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    ASSERT_NE(installed, 0);
    uint32_t seed = 3;
    bytes text(300000), zeros_then_text((size_t)4 << 20);
    for (auto& b : text) b = (uint8_t)('a' + (seed = seed * 1103515245u + 12345u) % 7);
    zeros_then_text.insert(zeros_then_text.end(), text.begin(), text.end());
    struct row {
        const char* what;
        bytes rom;
    } rows[] = {
        {"a copy from nowhere", {'h', 'v', 'x', 2, 7, 0, 0, 0, 0x40, 'a', 'b', 'c', 'd', 0, 0}},
        {"text cut short", pack_by_hand(text)},
        {"zeros, then text cut short", pack_by_hand(zeros_then_text)},
    };
    for (row& r : rows) {
        if (r.rom.size() > 64) r.rom.pop_back();
        largest = 0;
        watching = true;
        int64_t used = 0;
        buffer* s = rom_unpack(r.rom.data(), (int64_t)r.rom.size(), &used);
        watching = false;
        EXPECT_EQ(s, nullptr) << r.what;
        destroy_buffer(s);
        int64_t block = (int64_t)r.rom.size() - ROM_HEADER_SIZE;
        EXPECT_LE((int64_t)largest, block * ROM_ROOM_PER_BLOCK_BYTE + 64) << r.what;
    }
#endif
}

TEST(RomWriter, RefusesWhatCouldNotBeReadBack) {
    buffer* s = create_buffer_2(64, 100);
    EXPECT_EQ(rom_append_entry(s, "", 0, nullptr, 0), -1);
    EXPECT_EQ(rom_append_entry(s, "a/../b", 0, nullptr, 0), -1);
    EXPECT_EQ(rom_append_entry(s, "..", 1, nullptr, 0), -1);
    EXPECT_EQ(rom_append_entry(s, "file/", 0, nullptr, 0), -1);
    EXPECT_EQ(s->length, 0);
    // A stream past the reader's cap.
    std::vector<uint8_t> big((size_t)ROM_MAX_STREAM, 7);
    EXPECT_EQ(rom_append_entry(s, "big", 0, big.data(), (int64_t)big.size()), -1);
    EXPECT_EQ(s->length, 0);
    buffer* out = create_buffer_2(16, 100);
    EXPECT_EQ(rom_pack(out, big.data(), (int64_t)big.size() + 1), -1);
    EXPECT_EQ(out->length, 0);
    // Just under the cap still packs and reads back whole.
    int64_t n = ROM_MAX_STREAM - 3 - 1 - 5;  // name, NUL, size field
    ASSERT_EQ(rom_append_entry(s, "big", 0, big.data(), n), 0);
    EXPECT_EQ(s->length, ROM_MAX_STREAM);
    ASSERT_EQ(rom_pack(out, s->data, s->length), 0);
    int64_t used = 0;
    buffer* back = rom_unpack(out->data, out->length, &used);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(used, out->length);
    EXPECT_EQ(back->length, s->length);
    destroy_buffer(back);
    destroy_buffer(out);
    destroy_buffer(s);
}

TEST(RomWriter, RamTreeRoundTripIsByteExact) {
    ram_env env;
    std::string bin;
    for (int i = 0; i < 70000; i++) bin += (char)(i * 7);
    std::map<std::string, std::string> files = {
        {"main.lua", "print(1)"}, {"gfx/x.bin", std::string("\0\1\2", 3)}, {"gfx/big.bin", bin},
        {"a-b/c.txt", "dash"},    {"a/z", "z"},                            {"empty", ""},
        {"label.png", "png"},
    };
    std::string rom = hvx_test::make_rom(files);
    ASSERT_EQ(env.load(bytes(rom.begin(), rom.end())), 0);
    for (const auto& [name, data] : files) EXPECT_EQ(ram_text(("/ram/t/" + name).c_str()), data) << name;

    buffer* out = create_buffer_2(16, 100);
    ASSERT_EQ(write_hvx_rom_from_ram_files(out, "/ram/t", 0), 0);
    EXPECT_EQ(std::string((const char*)out->data, (size_t)out->length), rom);

    // Option 4 leaves the label out.
    buffer* nolabel = create_buffer_2(16, 100);
    ASSERT_EQ(write_hvx_rom_from_ram_files(nolabel, "/ram/t/", ROM_OPTION_NO_LABEL), 0);
    ASSERT_EQ(env.load(bytes(nolabel->data, nolabel->data + nolabel->length), "/ram/n"), 0);
    EXPECT_EQ(get_ram_file_by_name("/ram/n/label.png"), nullptr);
    EXPECT_EQ(ram_text("/ram/n/gfx/big.bin"), bin);
    destroy_buffer(nolabel);
    destroy_buffer(out);
}

// Random folders, packed from the live files and from the copy the frame's
// writer takes, kept and handed over (fuzz_folder::write aborts on any
// difference): the same bytes, or a refusal by all three.
TEST(RomWriter, ACopyPacksAsTheLiveFolderDoes) {
    std::mt19937 rng(21);
    const char* segments[] = {"a", "gfx", "label.png", "label.qoi", "main.lua", ".info.vyn", "d.lua", "z"};
    const size_t sizes[] = {0, 1, 254, 255, 256, 4096, 70000};
    int written = 0;
    for (int round = 0; round < 40; round++) {
        ram_env env;
        ASSERT_EQ(pmkdir("/ram/f"), 0);
        for (int i = 0, n = 1 + (int)(rng() % 12); i < n; i++) {
            std::string path = "/ram/f";
            for (int depth = 1 + (int)(rng() % 3); depth > 0; depth--) path += std::string("/") + segments[rng() % 8];
            if (rng() % 4 == 0) {
                pmkdir(path.c_str());
                continue;
            }
            std::string data(sizes[rng() % 7], 0);
            const bool text = rng() % 2;
            for (char& c : data) c = text ? (char)('a' + rng() % 26) : (char)rng();
            if (pfile* f = pfopen(path.c_str(), "w")) {
                pfwrite(data.data(), 1, (int64_t)data.size(), f);
                pfclose(f);
            }
        }
        std::string image;
        written += fuzz_folder::write("/ram/f", true, &image);
    }
    EXPECT_GT(written, 30);
}

// A ROM written over frames packs its image once, where the image stays: the
// only allocation near its size is the stream it packs (the copy's files go
// into it as they are read), and the image is what the whole write gives.
TEST(RomWriter, AHandedOverCopyIsPackedOnce) {
#ifndef WATCH_ALLOCATIONS
    GTEST_SKIP() << "allocations are watched only under AddressSanitizer";
#else
    static int installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    ASSERT_NE(installed, 0);
    std::mt19937 rng(5);
    std::vector<cart_snapshot_entry> entries(2);
    entries[0].path = "/ram/c/noise.bin";
    entries[0].data.resize((size_t)2 << 20);
    for (char& c : entries[0].data) c = (char)rng();  // packs to about its size
    entries[1].path = "/ram/c/main.lua";
    entries[1].data = "print(1)";
    std::string whole;
    ASSERT_EQ(rom_image_from_snapshot(&whole, entries, strlen("/ram/c")), 0);
    packed_image image;
    counted = 0;
    counted_on = gettid();
    counted_from = (size_t)1 << 20;
    watching = true;
    const int r = rom_image_from_snapshot(&image, std::move(entries), strlen("/ram/c"));
    watching = false;
    counted_from = SIZE_MAX;
    ASSERT_EQ(r, 0);
    EXPECT_EQ(counted.load(), 1);
    EXPECT_TRUE(std::string((const char*)image.data(), image.size()) == whole);
#endif
}

std::string pxa(const bytes& b, int64_t max = PXA_MAX_TEXT) {
    std::vector<uint8_t> src(b);
    std::vector<uint8_t> dst((size_t)max + 1, 0xee);
    int64_t n = pxa_decompress(src.data(), (int64_t)src.size(), dst.data(), max);
    EXPECT_EQ(dst[(size_t)n], 0);
    return std::string((const char*)dst.data(), (size_t)n);
}

TEST(Pxa, Vectors) {
    // A literal 1, 0, 0101 is index 10; it moves to the front, so index 0
    // gives it again.
    bit_writer a;
    a.put(1);
    a.put(0);
    a.field(10, 4);
    put_literal(a, 0);
    EXPECT_EQ(pxa(a.done(2)), "\n\n");

    // A copy with a 5-bit offset field 0 and one chunk 0 repeats the
    // previous byte three times.
    bit_writer b;
    put_literal(b, 'A');
    b.put(0);
    b.put(1);
    b.put(1);
    b.field(0, 5);
    b.field(0, 3);
    EXPECT_EQ(pxa(b.done(4)), "AAAA");
    EXPECT_EQ(pxa(b.done(4), 2), "AA");  // clipped at max
    EXPECT_EQ(pxa(b.done(3)), "AAAA");   // a copy passes D, the loop then ends

    // A raw run: the 10-bit field 0, bytes up to a zero byte.
    bit_writer c;
    c.put(0);
    c.put(1);
    c.put(0);
    c.field(0, 10);
    c.field('h', 8);
    c.field('i', 8);
    c.field(0, 8);
    put_literal(c, 'h');  // 'h' went through no literal: still at index 'h'
    EXPECT_EQ(pxa(c.done(3)), "hih");

    // Literals over the whole table: index 255 is the widest.
    bit_writer d;
    put_literal(d, 255);
    put_literal(d, 240);
    EXPECT_EQ(pxa(d.done(2)), std::string("\xff\xef", 2));
}

TEST(Pxa, MalformedStreamsStopSafely) {
    // A copy before anything was output.
    bit_writer a;
    a.put(0);
    a.put(1);
    a.put(1);
    a.field(3, 5);
    a.field(0, 3);
    EXPECT_EQ(pxa(a.done(10)), "");
    // A block length past the buffer, and a decoded length past it.
    bit_writer b;
    put_literal(b, 'x');
    EXPECT_EQ(pxa(b.done(60000, 0xffff)), "x");
    // Index above 255 ends decoding.
    bit_writer c;
    put_literal(c, 'q');
    c.put(1);
    for (int i = 0; i < 4; i++) c.put(1);
    c.put(0);
    c.field(255, 8);  // 255 + 240 = 495
    EXPECT_EQ(pxa(c.done(5)), "q");
    // Headers alone, or less.
    EXPECT_EQ(pxa({0, 'p', 'x', 'a', 0, 5, 0, 8}), "");
    EXPECT_EQ(pxa({0, 'p', 'x'}), "");
}

// A block is whole only when it decodes to exactly its declared length
// within its declared size; bytes after the block change nothing.
TEST(Pxa, WholeOnlyWhenEveryLengthMatches) {
    const std::string text = pxa_sample_text();
    const bytes good = pxa_encode(text);
    bytes trailing = good;
    trailing.insert(trailing.end(), {'z', 0, 'z'});
    bytes long_block = good;
    long_block[7] = (uint8_t)(long_block[7] + 1);  // a byte more than the file holds
    bit_writer bad_offset;
    put_literal(bad_offset, 'a');
    bad_offset.field(0b110, 3);  // a copy with a 5-bit offset field
    bad_offset.field(4, 5);      // of 5, before the start
    bad_offset.field(0, 3);
    bit_writer bad_index;
    put_literal(bad_index, 'a');
    bad_index.field(0b011111, 6);  // width 8
    bad_index.field(255, 8);       // index 495
    struct row {
        const char* name;
        bytes block;
        bool whole;
    } rows[] = {
        {"good", good, true},
        {"bytes after the block", trailing, true},
        {"empty", pxa_encode(""), true},
        {"declared one more", pxa_encode(text, 481), false},
        {"copy past the declared end", pxa_encode(text, 479), false},
        {"block past the file", long_block, false},
        {"cut in the middle", bytes(good.begin(), good.begin() + (long)good.size() / 2), false},
        {"offset before the start", bad_offset.done(4), false},
        {"index over 255", bad_index.done(2), false},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> dst((size_t)PXA_MAX_TEXT + 1);
        bool whole = !r.whole;
        pxa_decompress(r.block.data(), (int64_t)r.block.size(), dst.data(), PXA_MAX_TEXT, &whole);
        EXPECT_EQ(whole, r.whole) << r.name;
    }
}

TEST(Pxa, BlockBecomesMainLua) {
    ram_env env;
    bit_writer b;
    put_literal(b, 'o');
    put_literal(b, 'k' + 1);  // 'o' moved to the front, pushing 'k' back one
    EXPECT_EQ(env.load(b.done(2)), 0);
    EXPECT_EQ(ram_text("/ram/t/main.lua"), "ok");
}

}  // namespace
