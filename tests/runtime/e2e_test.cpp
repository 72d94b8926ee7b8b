// The built program end to end: start-up failures, first-run files, bad input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/harness.h"

namespace {

using hvx_test::dat_bytes;
using hvx_test::file_exists;
using hvx_test::read_file;

// A sysrom.dat whose ROM cannot be unpacked (yet): boot stops at boot.lua.
const std::string two_blocks = dat_bytes({"test", "not a rom"});

bool starts_with(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

TEST(StartUp, MissingSysromEndsWithCodeOne) {
    hvx_test::install inst;
    auto r = inst.run({"-x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "sysrom.dat not found\n");
    std::string log = read_file(inst.log());
    // The first line was logged before -home was known and still lands here.
    std::string first = log.substr(0, log.find('\n'));
    EXPECT_NE(first.find("] load_halvoran_dat_files: sysrom.dat // from: " + inst.bin_dir() + "/sysrom.dat"),
              std::string::npos)
        << first;
    EXPECT_TRUE(starts_with(first, "[")) << first;
    EXPECT_NE(log.find("booting halvoran 0.3.0d\n"), std::string::npos);
    EXPECT_NE(log.find("sysrom.dat not found\n"), std::string::npos);
}

TEST(StartUp, OneBlockIsNotEnough) {
    hvx_test::install inst;
    inst.set_sysrom(dat_bytes({"test"}));
    auto r = inst.run({"-x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "sysrom.dat not found\n");
}

TEST(StartUp, FirstRunWritesDefaultConfigAndStopsAtBootScript) {
    hvx_test::install inst;
    inst.set_sysrom(two_blocks);
    auto r = inst.run({"-x"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "could not find /system/boot.lua\n");
    EXPECT_EQ(read_file(inst.home() + "/halvoran_config.txt"),
              "# halvoran config\n\nmount / " + inst.home() + "/drive\n");
    EXPECT_TRUE(file_exists(inst.home() + "/drive"));
    std::string log = read_file(inst.log());
    for (const char* line : {"writing default config to ", "creating process 1 [root] [root]\n",
                             "looking for /system..\n", "preparing to boot\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_NE(log.find("mount: [/] [" + inst.home() + "/drive]\n"), std::string::npos);

    // A second run reads the file it wrote and does not write it again.
    r = inst.run({"-x"});
    EXPECT_EQ(r.exit_code, 0);
    log = read_file(inst.log());
    EXPECT_EQ(log.find("writing default config"), std::string::npos);
    EXPECT_NE(log.find("mount: [/] [" + inst.home() + "/drive]\n"), std::string::npos);
}

TEST(StartUp, UnwritableConfigEndsWithCodeOne) {
    hvx_test::install inst;
    inst.set_sysrom(two_blocks);
    // A dangling link: the file cannot be read, and creating it fails (even for root).
    std::string cfg = inst.home() + "/halvoran_config.txt";
    ASSERT_EQ(symlink((inst.home() + "/no/such/folder/x").c_str(), cfg.c_str()), 0);
    auto r = inst.run({"-x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "ERROR: could not write to " + cfg + "\n");
}

TEST(StartUp, HomeKeepsEverythingInItsOwnFolder) {
    hvx_test::scratch_dir xdg;
    hvx_test::install inst;
    inst.set_sysrom(two_blocks);
    auto r = inst.run({"-x"}, hvx_test::kRunLastGuardMs, {"HOME=" + xdg.path(), "XDG_DATA_HOME=" + xdg / "data"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(file_exists(inst.log()));
    EXPECT_FALSE(file_exists(xdg / "data"));
    EXPECT_FALSE(file_exists(xdg / ".local"));
}

TEST(StartUp, DefaultPerUserFolderIsNamedByBlockZero) {
    hvx_test::scratch_dir xdg;
    hvx_test::install inst;
    inst.set_sysrom(two_blocks);
    auto r = inst.run({"-x"}, hvx_test::kRunLastGuardMs, {"HOME=" + xdg.path(), "XDG_DATA_HOME=" + xdg / "data"}, false);
    EXPECT_EQ(r.exit_code, 0);
    std::string folder = xdg / "data/halvoran/exp/test";
    EXPECT_TRUE(file_exists(folder + "/log.txt"));
    EXPECT_EQ(read_file(folder + "/halvoran_config.txt"), "# halvoran config\n\nmount / " + folder + "/drive\n");

    // A block 0 that would leave the folder falls back to "shared".
    inst.set_sysrom(dat_bytes({"../../x", "not a rom"}));
    r = inst.run({"-x"}, hvx_test::kRunLastGuardMs, {"HOME=" + xdg.path(), "XDG_DATA_HOME=" + xdg / "data"}, false);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(file_exists(xdg / "data/halvoran/exp/shared/log.txt"));
    EXPECT_FALSE(file_exists(xdg / "x"));
}

TEST(BadInput, BrokenSysromNeverCrashes) {
    hvx_test::install inst;
    const std::string cases[] = {
        "",
        "\x00\x00",
        "\xff\xff\xff\xff garbage",
        std::string("\x00\x00\x00\x05tes", 7),
        dat_bytes({"test"}) + std::string("\x00\x10\x00\x00short", 9),
        std::string(5000, '\x01'),
    };
    for (const auto& bytes : cases) {
        inst.set_sysrom(bytes);
        auto r = inst.run({"-x"});
        EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.err;
        EXPECT_FALSE(r.timed_out);
    }
}

TEST(BadInput, GarbageConfigAndLongArguments) {
    hvx_test::install inst;
    inst.set_sysrom(two_blocks);
    std::string garbage = "mount " + std::string(100000, 'a') + " /x\nmount /b " + std::string(100000, 'b') +
                          "\n\r\r\n\x01\x02\xff mount\nmount /\nmount \n";
    for (int i = 0; i < 2000; i++) garbage += (char)(i * 7919);
    hvx_test::write_file(inst.home() + "/halvoran_config.txt", garbage);
    std::string long_value(100000, 'v');
    auto r = inst.run({"-x", "-username", long_value, "-user_id", long_value, "-session_token", long_value,
                       "-display", long_value, long_value});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "could not find /system/boot.lua\n");
}

TEST(BadInput, OverlongHomeFailsCleanly) {
    hvx_test::install inst;
    inst.set_sysrom(two_blocks);
    std::string home = inst.home() + "/" + std::string(1020 - inst.home().size() - 1, 'h');
    auto r = inst.run({"-x", "-home", home});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_TRUE(starts_with(r.out, "ERROR: could not write to")) << r.out;
}

}  // namespace
