#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "tests/support/harness.h"

using hvx_test::file_exists;
using hvx_test::read_file;
using hvx_test::write_file;

namespace {

class LogTest : public ::testing::Test {
protected:
    hvx_test::scratch_dir tmp;

    void SetUp() override {
        setenv("HOME", tmp.path().c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        set_dat_blocks(nullptr, 0);
        krio_debug_close();
        use_home(tmp / "home");
    }
    void TearDown() override {
        krio_debug_close();
        memset(config.home, 0, sizeof config.home);
        krio_reset_path_cache();
    }
    void use_home(const std::string& h) {
        snprintf(config.home, sizeof config.home, "%s", h.c_str());
        krio_reset_path_cache();
    }
    static std::vector<std::string> lines_of(const std::string& text) {
        std::vector<std::string> out;
        std::stringstream ss(text);
        for (std::string l; std::getline(ss, l);) out.push_back(l);
        return out;
    }
    std::vector<std::string> log_lines() { return lines_of(read_file(tmp / "home/log.txt")); }
    static long long stamp_of(const std::string& line) {
        return line.size() > 7 && line[0] == '[' ? std::stoll(line.substr(1, 6)) : -1;
    }
};

// "[<6-digit ms> <pid 000>] text"
::testing::AssertionResult stamped(const std::string& line, const std::string& text) {
    bool head = line.size() >= 13 && line[0] == '[' && line.compare(7, 6, " 000] ") == 0 &&
                line.find_first_not_of("0123456789", 1) == 7;
    if (head && line.substr(13) == text)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "line \"" << line.substr(0, 80) << "\" is not a stamped \""
                                         << text.substr(0, 60) << "\"";
}

TEST_F(LogTest, RepeatsFoldAndMarkersAreDropped) {
    mkdir((tmp / "home").c_str(), 0700);
    krio_debug_open();
    ASSERT_STREQ(krio_debug_path(), (tmp / "home/log.txt").c_str());
    for (int i = 0; i < 3; i++) krio_debug("same\n");
    krio_debug("other\n");
    krio_debug(">a\n");
    krio_debug("><b\n");
    krio_debug("<c\n");
    krio_debug("<>d\n");
    krio_debug(">>e\n");
    krio_debug("x>y\n");
    // Texts equal after the markers are dropped fold too.
    krio_debug(">z\n");
    krio_debug("<z\n");
    krio_debug("z\n");
    krio_debugf("%s %d\n", "end", 7);
    krio_debug("tail\n");
    krio_debug("tail\n");
    krio_debug_close();  // a burst still being counted is not lost

    auto l = log_lines();
    ASSERT_EQ(l.size(), 14u) << read_file(tmp / "home/log.txt");
    EXPECT_TRUE(stamped(l[0], "same"));
    EXPECT_EQ(l[1], "[x 0002 000] same");
    EXPECT_TRUE(stamped(l[2], "other"));
    const char* rest[] = {"a", "b", "c", ">d", ">e", "x>y", "z"};
    for (int i = 0; i < 7; i++) EXPECT_TRUE(stamped(l[3 + i], rest[i])) << i;
    EXPECT_EQ(l[10], "[x 0002 000] z");
    EXPECT_TRUE(stamped(l[11], "end 7"));
    EXPECT_TRUE(stamped(l[12], "tail"));
    EXPECT_EQ(l[13], "[x 0001 000] tail");
}

TEST_F(LogTest, EarlyLinesWaitForTheLogAndTheOldLogIsTruncated) {
    // Nothing is created before the log opens: neither -home nor a default folder.
    krio_debug("load_halvoran_dat_files: early\n");
    EXPECT_FALSE(file_exists(tmp / "home"));
    EXPECT_FALSE(file_exists(tmp / ".local"));
    uint64_t logged_at = os_get_time();
    os_sleep(30);

    mkdir((tmp / "home").c_str(), 0700);
    ASSERT_TRUE(write_file(tmp / "home/log.txt", std::string(5000, 'o') + "\nold run\n"));
    krio_debug("still early\n");
    EXPECT_EQ(read_file(tmp / "home/log.txt").size(), 5009u);

    krio_debug_open();
    krio_debug("late\n");
    auto l = log_lines();
    ASSERT_EQ(l.size(), 3u) << read_file(tmp / "home/log.txt");
    EXPECT_TRUE(stamped(l[0], "load_halvoran_dat_files: early"));
    EXPECT_TRUE(stamped(l[1], "still early"));
    EXPECT_TRUE(stamped(l[2], "late"));
    EXPECT_LE(stamp_of(l[0]), (long long)logged_at);
    EXPECT_GE(stamp_of(l[2]) - stamp_of(l[0]), 30);
    EXPECT_FALSE(file_exists(tmp / ".local"));
}

TEST_F(LogTest, EveryTextIsOneLineOfBoundedLength) {
    mkdir((tmp / "home").c_str(), 0700);
    krio_debug_open();
    std::string big(20000, 'q');
    krio_debugf("%s|%d\n", big.c_str(), 7);
    krio_debugf("%s|%d\n", big.c_str(), 8);  // differs past the cut: folds
    krio_debug("creating process 5 x\n[000001 001] forged\r\x1b[2J\tend\n");
    krio_debug("--- two breaks end it ---\n\n");
    krio_debug("no break at the end");
    krio_debug_close();
    auto l = log_lines();
    ASSERT_EQ(l.size(), 6u);
    EXPECT_TRUE(stamped(l[0], std::string(LOG_LINE_MAX, 'q') + " [line cut]"));
    EXPECT_EQ(l[1], "[x 0001 000] " + std::string(LOG_LINE_MAX, 'q') + " [line cut]");
    EXPECT_TRUE(stamped(l[2], "creating process 5 x\\n[000001 001] forged\\r\\x1b[2J\tend"));
    EXPECT_TRUE(stamped(l[3], "--- two breaks end it ---"));
    EXPECT_EQ(l[4], "");
    EXPECT_TRUE(stamped(l[5], "no break at the end"));  // and nothing after it
}

TEST_F(LogTest, PastItsSizeCapTheLogWritesOneLastLine) {
    mkdir((tmp / "home").c_str(), 0700);
    krio_debug_open();
    const std::string line(1000, 'z');
    for (int64_t i = 0; i < LOG_SIZE_MAX / 1000 + 10; i++) krio_debugf("%lld %s\n", (long long)i, line.c_str());
    krio_debug("after the cap\n");
    const std::string text = read_file(tmp / "home/log.txt");
    EXPECT_LE((int64_t)text.size(), LOG_SIZE_MAX + 200);
    EXPECT_GE((int64_t)text.size(), LOG_SIZE_MAX - 1100);
    auto l = lines_of(text);
    EXPECT_TRUE(stamped(l.back(), "log.txt reached " + std::to_string(LOG_SIZE_MAX) +
                                      " bytes: nothing more is logged this run"))
        << l.back().substr(0, 100);
    EXPECT_EQ(text.find("after the cap"), std::string::npos);
}

TEST_F(LogTest, EarlyLinesAreBounded) {
    std::string line(999, 'e');
    line += "\n";
    for (int i = 0; i < 3000; i++) krio_debugf("%04d%s", i, line.c_str());
    mkdir((tmp / "home").c_str(), 0700);
    krio_debug_open();
    krio_debug("opened\n");
    std::string text = read_file(tmp / "home/log.txt");
    EXPECT_LT(text.size(), (1u << 20) + 2000);
    EXPECT_GT(text.size(), 500000u);
    auto l = lines_of(text);
    EXPECT_TRUE(stamped(l.front(), "0000" + line.substr(0, 999)));
    EXPECT_TRUE(stamped(l.back(), "opened"));
}

TEST_F(LogTest, AnUnopenableLogIsSkippedAndTriedAgain) {
    ASSERT_TRUE(write_file(tmp / "file", "x"));
    use_home(tmp / "file/sub");
    krio_debug("dropped\n");
    krio_debug_open();
    EXPECT_STREQ(krio_debug_path(), "");
    krio_debug("also dropped\n");

    use_home(tmp / "home");
    krio_debug("after\n");
    EXPECT_STREQ(krio_debug_path(), (tmp / "home/log.txt").c_str());
    auto l = log_lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_TRUE(stamped(l[0], "after"));
}

}  // namespace
