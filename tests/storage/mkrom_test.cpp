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
