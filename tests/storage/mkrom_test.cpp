// The ROM packer takes exactly the names the runtime's reader takes, and
// refuses a per-user folder name the runtime would not use.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "storage/storage.h"
#include "tests/support/harness.h"
#include "tests/support/rom_maker.h"

namespace {

namespace fs = std::filesystem;

std::string mkrom_bin() { return hvx_test::build_dir() + "/mkrom"; }

struct run {
    int code;
    std::string err;
};

// Runs mkrom with the arguments (already quoted); its exit code and stderr.
run mkrom(const std::string& args, const hvx_test::scratch_dir& tmp) {
    std::string err = tmp / "err.txt";
    std::string cmd = mkrom_bin() + " " + args + " >/dev/null 2>'" + err + "'";
    int status = system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, hvx_test::read_file(err)};
}

struct tree {
    hvx_test::scratch_dir tmp;
    std::string dir = tmp / "src";
    tree() {
        fs::create_directory(dir);
        hvx_test::write_file(dir + "/boot.lua", "print(1)");
    }
    std::string pack(const std::string& extra = "") const {
        return extra + " -o '" + (tmp / "out.dat") + "' '" + dir + "'";
    }
};

TEST(Mkrom, NamesWithDotsInsideASegmentArePacked) {
    if (!hvx_test::file_exists(mkrom_bin())) GTEST_SKIP() << "mkrom not built";
    tree t;
    hvx_test::write_file(t.dir + "/a..b.lua", "ab");
    hvx_test::write_file(t.dir + "/c..", "three");
    run r = mkrom(t.pack(), t.tmp);
    ASSERT_EQ(r.code, 0) << r.err;

    std::string dat = hvx_test::read_file(t.tmp / "out.dat");
    ASSERT_EQ(hvx_test::unpack_sysrom(dat, "/ram", "/ram/s"), 0);
    pfile* f = get_ram_file_by_name("/ram/s/a..b.lua");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string((const char*)f->data->data, (size_t)f->data->length), "ab");
    EXPECT_NE(get_ram_file_by_name("/ram/s/c.."), nullptr);
    pfile_reset();
}

TEST(Mkrom, RefusesUserFolderNamesTheRuntimeWouldNotUse) {
    if (!hvx_test::file_exists(mkrom_bin())) GTEST_SKIP() << "mkrom not built";
    tree t;
    std::string long_name(65, 'n');
    for (const std::string& bad : {std::string("a/b"), std::string("."), std::string(".."), long_name}) {
        ASSERT_FALSE(export_name_is_valid((const uint8_t*)bad.data(), bad.size())) << bad;
        run r = mkrom(t.pack("--user-folder '" + bad + "'"), t.tmp);
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_NE(r.err.find("can not name a per-user folder"), std::string::npos) << bad << ": " << r.err;
        EXPECT_FALSE(hvx_test::file_exists(t.tmp / "out.dat")) << bad;
    }
    run empty = mkrom(t.pack("--user-folder ''"), t.tmp);
    EXPECT_EQ(empty.code, 2);
    EXPECT_FALSE(hvx_test::file_exists(t.tmp / "out.dat"));

    std::string good(64, 'g');
    run r = mkrom(t.pack("--user-folder '" + good + "'"), t.tmp);
    ASSERT_EQ(r.code, 0) << r.err;
    std::string dat = hvx_test::read_file(t.tmp / "out.dat");
    buffer* blocks[4] = {};
    ASSERT_EQ(parse_dat_blocks((const uint8_t*)dat.data(), dat.size(), blocks, 4), 2);
    EXPECT_EQ(std::string((const char*)blocks[0]->data, (size_t)blocks[0]->length), good);
    for (buffer* b : blocks) destroy_buffer(b);
}

}  // namespace

namespace {

std::string unpacked(const char* path) {
    pfile* f = get_ram_file_by_name(path);
    return f ? std::string((const char*)f->data->data, (size_t)f->data->length) : "<missing>";
}

std::vector<uint8_t> png_pixels(const std::string& png, unsigned* w, unsigned* h) {
    buffer* b = create_buffer_from_str("");
    bwrite(png.data(), 1, (int64_t)png.size(), b);
    uint8_t* px = nullptr;
    std::vector<uint8_t> out;
    if (LodePNG_decode32_pbuffer(&px, w, h, b) == 0) out.assign(px, px + (size_t)*w * *h * 4);
    free(px);
    destroy_buffer(b);
    return out;
}

TEST(Mkrom, PictureDescriptionsArePackedAsPngs) {
    if (!hvx_test::file_exists(mkrom_bin())) GTEST_SKIP() << "mkrom not built";
    tree t;
    hvx_test::write_file(t.dir + "/p.png.pic", "# two pixels\nsize 4 3\nrect 1 1 2 1 0 ff000080\n");
    ASSERT_EQ(mkrom(t.pack(), t.tmp).code, 0);
    ASSERT_EQ(hvx_test::unpack_sysrom(hvx_test::read_file(t.tmp / "out.dat"), "/ram", "/ram/s"), 0);
    EXPECT_EQ(unpacked("/ram/s/p.png.pic"), "<missing>");
    unsigned w = 0, h = 0;
    std::vector<uint8_t> px = png_pixels(unpacked("/ram/s/p.png"), &w, &h);
    ASSERT_EQ(w * 10 + h, 43u);
    std::vector<uint8_t> want(48, 0);
    for (int x : {1, 2}) memcpy(&want[4 * (4 + x)], "\xff\x00\x00\x80", 4);
    EXPECT_EQ(px, want);
    pfile_reset();
    hvx_test::write_file(t.dir + "/p.png.pic", "size 4 3\nrect 1 1 2 one ff000080\n");
    run r = mkrom(t.pack(), t.tmp);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("p.png.pic:2: can not read"), std::string::npos) << r.err;
}

// Our system ROM: the kernel, the window manager it fetches, and the
// cartridge picture made from its description.
TEST(Mkrom, OurSystemRomCarriesTheWindowManagerAndTheCartridgePicture) {
    std::string here = __FILE__;
    std::string root = here.substr(0, here.rfind("/tests/"));
    std::string dat = hvx_test::read_file(hvx_test::build_dir() + "/sysrom.dat");
    ASSERT_EQ(hvx_test::unpack_sysrom(dat, "/ram", "/ram/s"), 0);
    EXPECT_EQ(unpacked("/ram/s/boot.lua"), hvx_test::read_file(root + "/sysrom/boot.lua"));
    EXPECT_EQ(unpacked("/ram/s/wm.lua"), hvx_test::read_file(root + "/sysrom/wm.lua"));
    unsigned w = 0, h = 0;
    EXPECT_EQ(png_pixels(unpacked("/ram/s/misc/hvx_cart.png"), &w, &h).size(), (size_t)PNG_CART_PIXELS * 4);
    EXPECT_EQ(w * 1000 + h, 512384u);
    pfile_reset();
}

}  // namespace
