#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

using hvx_test::dat_bytes;
using hvx_test::file_exists;
using hvx_test::read_file;
using hvx_test::write_file;
namespace fs = std::filesystem;

namespace {

class HostPathsTest : public ::testing::Test {
protected:
    hvx_test::scratch_dir tmp;
    char out[HVX_PATH_MAX];

    void SetUp() override {
        setenv("HOME", tmp.path().c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        memset(config.home, 0, sizeof config.home);
        memset(config.desktop_path, 0, sizeof config.desktop_path);
        set_blocks({});
        krio_debug_close();
    }
    void TearDown() override {
        krio_debug_close();
        memset(config.home, 0, sizeof config.home);
        memset(config.desktop_path, 0, sizeof config.desktop_path);
        set_blocks({});
    }
    void set_blocks(const std::vector<std::string>& blocks) {
        std::string d = dat_bytes(blocks);
        set_dat_blocks((const uint8_t*)d.data(), d.size());
    }
    void use_home(const std::string& h) {
        snprintf(config.home, sizeof config.home, "%s", h.c_str());
        krio_reset_path_cache();
    }
    std::string appdata(const char* name) {
        return krio_prefix_with_appdata_path(name, out, sizeof out) ? out : "<failed:" + std::string(out) + ">";
    }
    std::string desktop(const char* name) {
        return krio_prefix_with_desktop_path(name, out, sizeof out) ? out : "<failed>";
    }
    static int mode_of(const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1)) n++;
        return n;
    }
};

TEST_F(HostPathsTest, HomeOptionIsUsedAsGiven) {
    std::string h = tmp / "h1";
    std::string back = h;
    std::replace(back.begin(), back.end(), '/', '\\');
    use_home(back);
    EXPECT_EQ(appdata("log.txt"), h + "/log.txt");
    EXPECT_EQ(mode_of(h), 0700);
    EXPECT_FALSE(file_exists(tmp / ".local"));

    use_home(back + "\\");
    EXPECT_EQ(appdata("halvoran_config.txt"), h + "/halvoran_config.txt");

    // The log follows -home.
    krio_debug_open();
    EXPECT_STREQ(krio_debug_path(), (h + "/log.txt").c_str());

    // A blank first byte means "not set".
    use_home(" " + h);
    EXPECT_EQ(appdata("x"), tmp / ".local/share/halvoran/exp/shared/x");
}

TEST_F(HostPathsTest, XdgDataFolderAndItsFallbacks) {
    setenv("XDG_DATA_HOME", (tmp / "xdg/").c_str(), 1);
    krio_reset_path_cache();
    EXPECT_EQ(appdata("log.txt"), tmp / "xdg/halvoran/exp/shared/log.txt");
    EXPECT_EQ(mode_of(tmp / "xdg/halvoran"), 0700);
    EXPECT_TRUE(fs::is_directory(tmp / "xdg/halvoran/exp/shared"));

    // The folder is kept once made.
    setenv("XDG_DATA_HOME", (tmp / "other").c_str(), 1);
    EXPECT_EQ(appdata("a"), tmp / "xdg/halvoran/exp/shared/a");

    // A relative XDG_DATA_HOME is ignored, as is an unset one; the missing
    // levels of ~/.local/share are made private.
    setenv("XDG_DATA_HOME", "relative", 1);
    krio_reset_path_cache();
    EXPECT_EQ(appdata("b"), tmp / ".local/share/halvoran/exp/shared/b");
    EXPECT_EQ(mode_of(tmp / ".local"), 0700);
    EXPECT_EQ(mode_of(tmp / ".local/share/halvoran"), 0700);
    unsetenv("XDG_DATA_HOME");
    krio_reset_path_cache();
    EXPECT_EQ(appdata("c"), tmp / ".local/share/halvoran/exp/shared/c");
}

TEST_F(HostPathsTest, Block0NamesTheExportFolderOnlyWhenItIsAFolderName) {
    set_blocks({"game_1", "rom"});
    EXPECT_EQ(appdata("x"), tmp / ".local/share/halvoran/exp/game_1/x");
    EXPECT_TRUE(fs::is_directory(tmp / ".local/share/halvoran/exp/game_1"));

    set_blocks({"", "rom"});  // empty: shared, nothing to complain about
    EXPECT_EQ(appdata("x"), tmp / ".local/share/halvoran/exp/shared/x");

    const std::string bad[] = {"../../x", ".", "..", std::string(65, 'n'), "a/b", std::string("a\0b", 3), "/x"};
    for (const auto& name : bad) {
        krio_debug_close();
        set_blocks({name, "rom"});
        krio_debug_open();
        EXPECT_EQ(appdata("x"), tmp / ".local/share/halvoran/exp/shared/x") << name;
        EXPECT_EQ(appdata("y"), tmp / ".local/share/halvoran/exp/shared/y") << name;
        std::string log = read_file(tmp / ".local/share/halvoran/exp/shared/log.txt");
        EXPECT_EQ(count(log, "block 0"), 1u) << name << "\n" << log;
    }
    EXPECT_FALSE(file_exists(tmp / "x"));
    EXPECT_FALSE(file_exists(tmp / ".local/x"));
    EXPECT_FALSE(file_exists(tmp / ".local/share/x"));

    auto valid = [](const std::string& s) { return export_name_is_valid((const uint8_t*)s.data(), s.size()); };
    EXPECT_TRUE(valid(std::string(64, 'n')));
    EXPECT_TRUE(valid("..."));
    EXPECT_TRUE(valid(".hidden"));
    EXPECT_FALSE(valid(""));
    EXPECT_FALSE(valid(std::string(65, 'n')));
}

TEST_F(HostPathsTest, OverlongPathsFailCleanlyAndAreLoggedOnce) {
    // Levels of 200 characters: the host allows 255 per name.
    auto long_home = [&](size_t total) {
        std::string h = tmp.path();
        while (h.size() + 201 < total) h += "/" + std::string(200, 'd');
        h += "/" + std::string(total - h.size() - 1, 'e');
        fs::create_directories(fs::path(h).parent_path());
        return h;
    };
    std::string h1020 = long_home(1020);
    ASSERT_EQ(h1020.size(), 1020u);
    use_home(h1020);
    strcpy(out, "stale");
    EXPECT_EQ(krio_prefix_with_appdata_path("log.txt", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    krio_debug_open();
    EXPECT_STREQ(krio_debug_path(), "");
    krio_debug("nowhere\n");

    // Room for log.txt but not for the configuration file's name.
    std::string h1010 = long_home(1010);
    use_home(h1010);
    krio_debug_open();
    ASSERT_STREQ(krio_debug_path(), (h1010 + "/log.txt").c_str());
    EXPECT_EQ(appdata("halvoran_config.txt"), "<failed:>");
    EXPECT_EQ(appdata("user_sessions.txt"), "<failed:>");
    EXPECT_EQ(count(read_file(h1010 + "/log.txt"), "path too long"), 1u);

    // A small out buffer is bounded the same way.
    char small[8] = "stale";
    EXPECT_EQ(krio_prefix_with_program_path("sysrom.dat", small, sizeof small), 0);
    EXPECT_STREQ(small, "");
}

TEST_F(HostPathsTest, ProgramFolderAndTheSameBufferRule) {
    std::string exe_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
    ASSERT_EQ(krio_prefix_with_program_path("sysrom.dat", out, sizeof out), 1);
    EXPECT_EQ(std::string(out), exe_dir + "/sysrom.dat");

    use_home(tmp / "h");
    int (*const prefixes[])(const char*, char*, size_t) = {
        krio_prefix_with_program_path, krio_prefix_with_appdata_path, krio_prefix_with_desktop_path};
    for (auto prefix : prefixes) {
        strcpy(out, "name");
        EXPECT_EQ(prefix(out, out, sizeof out), 0);
        EXPECT_STREQ(out, "name");
    }
}

TEST_F(HostPathsTest, DesktopFolder) {
    // user-dirs.dirs in XDG_CONFIG_HOME, with $HOME to expand and quotes to drop.
    fs::create_directories(tmp / "cfg");
    fs::create_directories(tmp / "Schreibtisch");
    write_file(tmp / "cfg/user-dirs.dirs",
               "# written by xdg-user-dirs-update\n"
               "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
               "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch/\"\n");
    setenv("XDG_CONFIG_HOME", (tmp / "cfg").c_str(), 1);
    EXPECT_EQ(desktop("halvoran_desktop"), tmp / "Schreibtisch/halvoran_desktop");

    // The default place of the file, and an absolute path in it.
    unsetenv("XDG_CONFIG_HOME");
    fs::create_directories(tmp / ".config");
    fs::create_directories(tmp / "elsewhere");
    write_file(tmp / ".config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + (tmp / "elsewhere") + "\"\r\n");
    EXPECT_EQ(desktop("n"), tmp / "elsewhere/n");

    // No file: ~/Desktop; no such folder: HOME itself, and the log says so.
    fs::remove(tmp / ".config/user-dirs.dirs");
    fs::create_directories(tmp / "Desktop");
    EXPECT_EQ(desktop("n"), tmp / "Desktop/n");
    fs::remove(tmp / "Desktop");
    use_home(tmp / "h");
    krio_debug_open();
    EXPECT_EQ(desktop("n"), tmp / "n");
    std::string log = read_file(tmp / "h/log.txt");
    EXPECT_EQ(count(log, "trying HOME " + tmp.path() + "\n"), 1u) << log;

    // The setting overrides everything and is taken as it is.
    snprintf(config.desktop_path, sizeof config.desktop_path, "%s", "/no/such/desk/");
    EXPECT_EQ(desktop("n"), "/no/such/desk/n");
}

TEST_F(HostPathsTest, FolderAndTextHelpers) {
    EXPECT_EQ(krio_mkdir((tmp / "d").c_str()), 1);
    EXPECT_TRUE(fs::is_directory(tmp / "d"));
    EXPECT_EQ(krio_mkdir((tmp / "d").c_str()), 1);
    EXPECT_EQ(krio_mkdir((tmp / "missing/d").c_str()), 0);
    write_file(tmp / "f", "x");
    EXPECT_EQ(krio_mkdir((tmp / "f").c_str()), 0);

    char s[] = "a\\b\\\\c/d";
    krio_fix_backslashes(s);
    EXPECT_STREQ(s, "a/b//c/d");

    EXPECT_STREQ(krio_trim(" \t\r\n hello  world \x80\xff\n"), "hello  world");
    EXPECT_STREQ(krio_trim("\x7f" "x" "\x7f"), "\x7f" "x" "\x7f");
    EXPECT_STREQ(krio_trim("  \x01 "), "");
    const char* first = krio_trim(" one ");
    EXPECT_STREQ(first, "one");
    EXPECT_STREQ(krio_trim("two"), "two");
}

// Whole files written all or nothing: a new file gets its mode less the
// umask, a replaced one keeps its own (less what the caller's mode lacks).
TEST_F(HostPathsTest, AtomicWritesTakeThePlainCreateMode) {
    mode_t mask = umask(022);
    std::string f = tmp / "f", secret = tmp / "secret";
    EXPECT_EQ(os_write_file_atomic(f.c_str(), "a", 1, 0666), 1);
    EXPECT_EQ(mode_of(f), 0644);
    chmod(f.c_str(), 0640);
    EXPECT_EQ(os_write_file_atomic(f.c_str(), "b", 1, 0666), 1);
    EXPECT_EQ(mode_of(f), 0640);
    EXPECT_EQ(read_file(f), "b");
    write_file(secret, "old");
    chmod(secret.c_str(), 0644);
    EXPECT_EQ(os_write_file_atomic(secret.c_str(), "s", 1, 0600), 1);
    EXPECT_EQ(mode_of(secret), 0600);
    umask(mask);
}

// Siblings left by writers that died before their rename are removed when
// the folder is next written; a live writer's and other files stay.
TEST_F(HostPathsTest, StaleTemporariesAreSweptOnTheNextWrite) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    fs::create_directories(tmp / "d");
    const std::string d = tmp / "d", dp = std::to_string(dead), me = std::to_string(getpid());
    const std::vector<std::string> stale = {".t.~w" + dp + "_1", ".other.txt.~hvx" + dp + "_7", ".t.~w" + me + "_9"};
    const std::vector<std::string> kept = {".t.~w" + std::to_string(getppid()) + "_1", ".t.~w" + me + "_10",
                                           ".t.~wx_1", "t.~w" + dp + "_1", ".t.~w" + dp + "_", "notes.txt"};
    for (const auto& n : stale) write_file(d + "/" + n, "x");
    for (const auto& n : kept) write_file(d + "/" + n, "x");
    // An own-id sibling from before this run started (ids come back).
    struct timespec old[2] = {{1000, 0}, {1000, 0}};
    utimensat(AT_FDCWD, (d + "/" + stale[2]).c_str(), old, 0);
    ASSERT_EQ(os_write_file_atomic((d + "/t").c_str(), "new", 3, 0666), 1);
    for (const auto& n : stale) EXPECT_FALSE(file_exists(d + "/" + n)) << n;
    for (const auto& n : kept) EXPECT_TRUE(file_exists(d + "/" + n)) << n;
    EXPECT_EQ(read_file(d + "/t"), "new");
}

}  // namespace
