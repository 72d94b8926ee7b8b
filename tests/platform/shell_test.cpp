#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/harness.h"

using hvx_test::file_exists;
using hvx_test::read_file;
using hvx_test::write_file;
namespace fs = std::filesystem;

namespace {

// The opener is a script that waits for a "go" file (so a caller that waited
// for it would hang) and then records its arguments, one per line in [].
class ShellTest : public ::testing::Test {
protected:
    hvx_test::scratch_dir tmp;

    void SetUp() override {
        std::string d = tmp.path();
        write_file(tmp / "opener",
                   "#!/bin/sh\n"
                   "i=0\n"
                   "while [ ! -e '" + d + "/go' ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done\n"
                   "{ [ -e '" + d + "/go' ] || echo waited-in-vain; echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; } > '" +
                       d + "/args.tmp'\n"
                   "mv '" + d + "/args.tmp' '" + d + "/args'\n");
        chmod((tmp / "opener").c_str(), 0755);
        os_set_opener((tmp / "opener").c_str());
    }
    void TearDown() override {
        os_set_opener(nullptr);
        krio_debug_close();
    }
    // The recorded arguments of the next opener run, "" when none came.
    std::string next_args() {
        for (int i = 0; i < 2000 && !file_exists(tmp / "args"); i++) {
            os_reap_children();
            usleep(5000);
        }
        std::string a = read_file(tmp / "args");
        fs::remove(tmp / "args");
        return a;
    }
    static std::string children_of_this_thread() {
        std::string p = "/proc/self/task/" + std::to_string(gettid()) + "/children";
        return file_exists(p) ? read_file(p) : "?";
    }
};

TEST_F(ShellTest, AddressesGoToTheOpenerAsOneArgumentWithoutWaiting) {
    std::string url = "https://x/$(touch " + (tmp / "p") + ") `touch " + (tmp / "q") + "`; a b";
    ASSERT_EQ(open_host_url(url.c_str()), 1);
    write_file(tmp / "go", "");  // only now may the opener finish
    EXPECT_EQ(next_args(), "1\n[" + url + "]\n");
    EXPECT_FALSE(file_exists(tmp / "p"));
    EXPECT_FALSE(file_exists(tmp / "q"));

    // The finished opener does not stay behind as a zombie.
    std::string kids = children_of_this_thread();
    for (int i = 0; i < 2000 && kids != "" && kids != "?"; i++) {
        os_reap_children();
        usleep(5000);
        kids = children_of_this_thread();
    }
    if (kids != "?") {
        EXPECT_EQ(kids, "");
    }

    for (const char* refused : {"http://x", "HTTPS://x", "javascript:alert(1)", "file:///etc/passwd",
                                "https://x/\nrm", "", " https://x"})
        EXPECT_EQ(open_host_url(refused), 0) << refused;
    EXPECT_EQ(open_host_url(nullptr), 0);
}

TEST_F(ShellTest, HostFilesOpenOnlyWhenNothingCanRun) {
    write_file(tmp / "go", "");
    fs::create_directories(tmp / "a folder");
    write_file(tmp / "a folder/doc one.txt", "hello");
    chmod((tmp / "a folder/doc one.txt").c_str(), 0644);
    char real[PATH_MAX];
    ASSERT_TRUE(realpath((tmp / "a folder/doc one.txt").c_str(), real));

    ASSERT_EQ(open_host_file((tmp / "a folder/doc one.txt").c_str()), 1);
    EXPECT_EQ(next_args(), "1\n[" + std::string(real) + "]\n");
    ASSERT_EQ(open_host_file((tmp / "a folder").c_str()), 1);
    EXPECT_EQ(next_args(), "1\n[" + fs::path(real).parent_path().string() + "]\n");

    write_file(tmp / "app.desktop", "[Desktop Entry]\nExec=touch " + (tmp / "ran") + "\n");
    write_file(tmp / "APP.DESKTOP", "[Desktop Entry]\n");
    write_file(tmp / "run.sh", "#!/bin/sh\ntouch " + (tmp / "ran") + "\n");
    chmod((tmp / "run.sh").c_str(), 0755);
    write_file(tmp / "owner_only", "x");
    chmod((tmp / "owner_only").c_str(), 0744);
    fs::create_symlink(tmp / "run.sh", tmp / "looks_like.txt");
    fs::create_symlink(tmp / "app.desktop", tmp / "launcher.txt");
    for (const std::string& p : {tmp / "app.desktop", tmp / "APP.DESKTOP", tmp / "run.sh", tmp / "owner_only",
                                 tmp / "looks_like.txt", tmp / "launcher.txt", tmp / "missing.txt",
                                 std::string("/dev/null"), std::string("")})
        EXPECT_EQ(open_host_file(p.c_str()), 0) << p;
    EXPECT_EQ(open_host_file(nullptr), 0);
    EXPECT_FALSE(file_exists(tmp / "args"));
    EXPECT_FALSE(file_exists(tmp / "ran"));
}

TEST_F(ShellTest, OnlyAFewOpenersRunAtOnce) {
    // No "go" yet: every opener keeps running.
    for (size_t i = 0; i < OPENER_RUNNING_MAX; i++) ASSERT_EQ(open_host_url("https://x/"), 1) << i;
    EXPECT_EQ(open_host_url("https://x/more"), 0);
    EXPECT_EQ(open_host_file(tmp.path().c_str()), 0);
    write_file(tmp / "go", "");
    int handed = 0;
    for (int i = 0; i < 2000 && !handed; i++) {
        usleep(5000);
        handed = open_host_url("https://x/after");
    }
    EXPECT_EQ(handed, 1);
}

TEST_F(ShellTest, AMissingOpenerIsReported) {
    os_set_opener((tmp / "no_such_opener").c_str());
    EXPECT_EQ(open_host_url("https://x/"), 0);
}

}  // namespace
