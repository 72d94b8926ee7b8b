// File operations on RAM and host files, cartridge write-back, and the
// faults mended on the way: failed writes keep the old file, a cartridge that
// did not load whole is never written back, cp onto itself, host folders.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "platform/platform.h"
#include "storage/storage.h"
#include "tests/support/files_env.h"
#include "tests/support/harness.h"
#include "storage/storage_internal.h"
#include "tests/support/rom_maker.h"

int hidden_entries(const std::string& dir);

// Every fsync and syncfs the storage code makes on the test's own thread, by
// the path of the descriptor and with the content the watched file had at
// that moment.
struct disk_sync {
    std::string what;  // "fsync" or "syncfs"
    std::string path;
    std::string watched_content;
};
static std::vector<disk_sync>* g_syncs = nullptr;
static std::string g_watched;

static void note_sync(const char* what, int fd) {
    if (gettid() != getpid() || !g_syncs) return;
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    std::string content;
    if (FILE* f = fopen(g_watched.c_str(), "rb")) {
        char buf[256];
        size_t k;
        while ((k = fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, k);
        fclose(f);
    }
    g_syncs->push_back({what, n > 0 ? std::string(target, (size_t)n) : "?", content});
}

extern "C" int fsync(int fd) {
    note_sync("fsync", fd);
    static auto real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real ? real(fd) : 0;
}

extern "C" int syncfs(int fd) {
    note_sync("syncfs", fd);
    static auto real = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
    return real ? real(fd) : 0;
}

// Renames on the test's own thread while counted: a write put in place there.
static bool g_count_renames = false;
static int g_own_renames = 0;
extern "C" int rename(const char* from, const char* to) {
    if (gettid() == getpid() && g_count_renames) g_own_renames++;  // other threads read nothing of the test's
    static auto real = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    return real ? real(from, to) : -1;
}

namespace {

namespace fs = std::filesystem;
using hvx_test::read_file;
using hvx_test::write_file;

std::vector<std::pair<int, std::string>> g_events;
void observe(int kind, const char* path, const char*) { g_events.push_back({kind, path ? path : ""}); }

// A host folder mounted at "/", RAM at "/ram", no process running.
struct fs_env {
    hvx_test::scratch_dir host;
    fs_env() {
        pfile_init();
        pfile_reset();
        mount_host_path("/", host.path().c_str());
        mount_ram_folder("/ram");
        g_events.clear();
        anywhen_set_observer(observe);
        app.video_ready = 1;
        app.atomic_pid = 0;
        config.display_pid = 3;
        cproc = nullptr;
    }
    ~fs_env() {
        anywhen_set_observer(nullptr);
        pfile_reset();
        app = app_t{};
        storage_app = storage_app_t{};
        cproc = nullptr;
    }
    std::string at(const std::string& name) const { return host / name; }
};

bool put(const char* path, const std::string& text, const char* mode = "w") {
    pfile* f = pfopen(path, mode);
    if (!f) return false;
    pfwrite(text.data(), 1, (int64_t)text.size(), f);
    return pfclose(f) == 0;
}

std::string get(const char* path, const char* mode = "r") {
    pfile* f = pfopen(path, mode);
    if (!f) return "<none>";
    std::string s((const char*)f->data->data, (size_t)f->data->length);
    pfclose(f);
    return s;
}

// Runs body in a child whose files may grow to limit bytes; its exit code.
template <class F>
int with_file_size_limit(rlim_t limit, F body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit r{limit, limit};
        setrlimit(RLIMIT_FSIZE, &r);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(RamFiles, OpeningsShareOneRecordAndWriteEmptiesIt) {
    fs_env env;
    EXPECT_EQ(pfopen("/ram/missing.txt", "r"), nullptr);
    ASSERT_TRUE(put("/ram/a.txt", "hello"));
    pfile* r = pfopen("/ram/a.txt", "r");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->data->length, 5);
    pfile* w = pfopen("/ram/a.txt", "w");
    EXPECT_EQ(w, r);
    EXPECT_EQ(r->data->length, 0);
    pfwrite("xy", 1, 2, w);
    pfclose(w);
    EXPECT_EQ(get("/ram/a.txt"), "xy");
    ASSERT_TRUE(put("/ram/a.txt", "z", "a"));
    EXPECT_EQ(get("/ram/a.txt"), "xyz");
    EXPECT_EQ(pfile_size("/ram/a.txt", 0), 3);
    EXPECT_EQ(pfopen_ram_file("/ram/a.txt", "r"), r);
    EXPECT_EQ(pmkdir("/ram/a.txt"), 1);
    EXPECT_EQ(pmkdir("/ram/d"), 0);
    EXPECT_EQ(pfopen("/ram/d", "r"), nullptr);
    EXPECT_EQ(pfopen("/ram/d", "w"), nullptr);
    EXPECT_EQ(pdisk_file_exists("/ram/d"), 0);
    EXPECT_EQ(pdisk_file_exists("/ram/a.txt"), 1);
    EXPECT_EQ(pfopen("/bad path", "r"), nullptr);
}

TEST(HostFiles, ReadWriteCostsAndPartialRead) {
    fs_env env;
    std::string big(300000, 'q');
    ASSERT_TRUE(write_file(env.at("big.bin"), big));
    EXPECT_EQ(get("/big.bin").size(), 300000u);
    EXPECT_EQ(get("/big.bin", "rm").size(), 262144u);
    EXPECT_EQ(pfile_size("/big.bin", 0), 300000);

    cpu_cycles = 0;
    ASSERT_TRUE(put("/w.bin", std::string(8000, 'w')));
    EXPECT_EQ(cpu_cycles, 1000 + 69905);
    EXPECT_EQ(read_file(env.at("w.bin")), std::string(8000, 'w'));
    EXPECT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0], std::make_pair(0, std::string("/w.bin")));

    app.video_ready = 0;
    config.display_pid = 4;
    cpu_cycles = 0;
    ASSERT_TRUE(put("/w.bin", std::string(800, 'v')));
    EXPECT_EQ(cpu_cycles, 100 + 279620);

    cpu_cycles = 0;
    EXPECT_EQ(pdisk_file_exists("/w.bin"), 1);
    EXPECT_EQ(cpu_cycles, 16);
    // Appending goes straight to the file.
    ASSERT_TRUE(put("/w.bin", "++", "a"));
    EXPECT_EQ(read_file(env.at("w.bin")), std::string(800, 'v') + "++");
    // No hidden sibling is left behind.
    int entries = 0;
    for (auto& e : fs::directory_iterator(env.host.path())) entries += e.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0);
}

TEST(HostFiles, FoldersNeverOpenAsFiles) {
    fs_env env;
    fs::create_directory(env.at("dir"));
    for (const char* mode : {"r", "re", "rm", "w", "a"}) EXPECT_EQ(pfopen("/dir", mode), nullptr) << mode;
    EXPECT_EQ(pdisk_file_exists("/dir"), 0);
    EXPECT_EQ(pfile_size("/dir", 0), 0);
    EXPECT_EQ(fcopy("/dir", "/copy"), 0);
    EXPECT_FALSE(hvx_test::file_exists(env.at("copy")));
    EXPECT_TRUE(fs::is_directory(env.at("dir")));
    mkfifo(env.at("fifo").c_str(), 0666);
    EXPECT_EQ(pfopen("/fifo", "r"), nullptr);  // would block the frame
}

TEST(HostFiles, FailedWriteKeepsOldFileAndTellsNoHistory) {
    fs_env env;
    ASSERT_TRUE(write_file(env.at("keep.txt"), "old content"));
    int code = with_file_size_limit(4096, [&] {
        sync_fs(1);
        g_events.clear();
        pfile* f = pfopen("/keep.txt", "w");
        if (!f) return 1;
        std::string data(100000, 'n');
        pfwrite(data.data(), 1, (int64_t)data.size(), f);
        if (pfclose(f) != 1) return 2;
        if (!g_events.empty()) return 3;
        if (pdisk_pending_sync()) return 4;
        if (fcopy("/keep.txt", "/keep2.txt") != 11) return 5;  // small enough
        std::string big(100000, 'c');
        if (!put("/ram/big", big)) return 6;
        if (fcopy("/ram/big", "/keep.txt") != -1) return 7;
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(env.at("keep.txt")), "old content");
    EXPECT_EQ(read_file(env.at("keep2.txt")), "old content");
    for (auto& e : fs::directory_iterator(env.host.path()))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

TEST(Copy, OntoItselfKeepsTheContent) {
    fs_env env;
    ASSERT_TRUE(put("/ram/a", "same"));
    EXPECT_EQ(fcopy("/ram/a", "/ram/a"), 4);
    EXPECT_EQ(get("/ram/a"), "same");
    EXPECT_EQ(fcopy("/ram/./a", "/ram/x/../a"), 4);
    EXPECT_EQ(get("/ram/a"), "same");
    ASSERT_TRUE(put("/h.txt", "host"));
    EXPECT_EQ(fcopy("/h.txt", "/h.txt"), 4);
    EXPECT_EQ(read_file(env.at("h.txt")), "host");
    EXPECT_EQ(fcopy("/ram/a", "/h2.txt"), 4);
    EXPECT_EQ(read_file(env.at("h2.txt")), "same");
    EXPECT_EQ(fcopy("/ram/none", "/h3.txt"), 0);
    EXPECT_FALSE(hvx_test::file_exists(env.at("h3.txt")));
}

// A copy moves its bytes once: one block of their own size (a host source's
// block, read whole at its opening, is taken) and one pass over them, RAM and
// host files alike, whatever spare room the source grew with.
TEST(Copy, AllocatesAndPassesOverTheBytesOnce) {
    fs_env env;
    const int64_t n = 3 << 20;
    const uint64_t slack = 64 << 10;  // paths, records and the target's first small block
    std::string data(n, 0);
    for (int64_t i = 0; i < n; i++) data[(size_t)i] = (char)(i * 7919 >> 5);
    pfile* f = pfopen("/ram/src", "w");
    ASSERT_NE(f, nullptr);
    for (int64_t i = 0; i < n; i += 65536) pfwrite(data.data() + i, 1, 65536, f);  // grows with spare room
    pfclose(f);
    ASSERT_TRUE(write_file(env.at("src.bin"), data));
    buffer* loaded = create_buffer_from_file(env.at("src.bin").c_str());
    ASSERT_NE(loaded, nullptr);
    const uint64_t read_block = loaded->capacity;
    destroy_buffer(loaded);
    struct {
        const char *from, *to;
    } rows[] = {{"/ram/src", "/ram/dst"}, {"/ram/src", "/dst.bin"}, {"/src.bin", "/ram/dst2"}, {"/src.bin", "/dst2.bin"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.from) + " -> " + r.to);
        bool host_source = r.from[1] != 'r';
        uint64_t made = get_buffer_bytes_made(), copied = get_buffer_bytes_copied();
        ASSERT_EQ(fcopy(r.from, r.to), n);
        made = get_buffer_bytes_made() - made;
        copied = get_buffer_bytes_copied() - copied;
        EXPECT_LE(made, (host_source ? read_block : (uint64_t)n + 1) + slack);
        EXPECT_LE(copied, (host_source ? 0 : (uint64_t)n) + slack);
        EXPECT_TRUE((r.to[1] == 'r' ? get(r.to) : read_file(env.at(r.to + 1))) == data);
    }
}

TEST(DeleteAndMkdir, HistoryOnlyForWhatHappened) {
    fs_env env;
    ASSERT_TRUE(write_file(env.at("gone.txt"), "x"));
    delete_path("/gone.txt");
    EXPECT_FALSE(hvx_test::file_exists(env.at("gone.txt")));
    delete_path("/never.txt");
    fs::create_directories(env.at("full/inner"));
    delete_path("/full");  // not empty: stays
    EXPECT_TRUE(fs::is_directory(env.at("full")));
    EXPECT_EQ(pmkdir("/made"), 0);
    EXPECT_TRUE(fs::is_directory(env.at("made")));
    EXPECT_EQ(pmkdir("/no/such/parent"), -1);
    std::vector<std::pair<int, std::string>> want = {{1, "/gone.txt"}, {2, "/made"}};
    EXPECT_EQ(g_events, want);

    ASSERT_TRUE(put("/ram/t/a", "1"));
    ASSERT_TRUE(put("/ram/t/b", "2"));
    EXPECT_EQ(pmkdir("/ram/t"), 0);
    EXPECT_EQ(pmkdir("/ram/t"), 1);
    delete_path("/ram/t/a");
    EXPECT_EQ(get("/ram/t/a"), "<none>");
    EXPECT_EQ(get("/ram/t/b"), "2");
}

TEST(Listing, FoldersFirstCartridgesAsFiles) {
    fs_env env;
    fs::create_directory(env.at("l"));
    fs::create_directory(env.at("l/b"));
    fs::create_directory(env.at("l/d.hvx"));
    ASSERT_TRUE(write_file(env.at("l/a.txt"), "a"));
    ASSERT_TRUE(write_file(env.at("l/.hidden"), "h"));
    std::string rom = hvx_test::make_rom({{"x.txt", "x"}});
    ASSERT_TRUE(write_file(env.at("l/c.hvx.rom"), rom));
    ASSERT_NE(mount_hvx_path("/l/c.hvx.rom"), nullptr);

    lua_State* L = luaL_newstate();
    ASSERT_EQ(pflist("/l", L, nullptr), 2);
    EXPECT_EQ(lua_tointeger(L, -1), 1);
    std::vector<std::string> names;
    for (int i = 1; lua_rawgeti(L, -2, i) == LUA_TSTRING; i++) {
        names.push_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_close(L);
    std::vector<std::string> want = {"b", "a.txt", "c.hvx.rom", "d.hvx"};
    EXPECT_EQ(names, want);

    ASSERT_TRUE(put("/ram/q/z.txt", "z"));
    ASSERT_EQ(pmkdir("/ram/q/sub"), 0);
    listing* l = create_listing();
    EXPECT_EQ(pflist("/ram/q", nullptr, l), 2);
    ASSERT_EQ(l->count, 2);
    EXPECT_STREQ(to_cstr(l->items[0]), "sub");
    EXPECT_STREQ(to_cstr(l->items[1]), "z.txt");
    destroy_listing(l);
    EXPECT_EQ(pflist("/nowhere", nullptr, nullptr), 0);
}

TEST(FileOpened, OnlyWritesUnderSystemFromId4) {
    fs_env env;
    mount_ram_folder("/system");
    static Process fake{};
    cproc = &fake;
    fake.id = 3;
    pfclose(pfopen("/system/x.lua", "w"));
    EXPECT_EQ(storage_app.file_opened, 0);
    fake.id = 4;
    pfclose(pfopen("/system/x.lua", "r"));
    EXPECT_EQ(storage_app.file_opened, 0);
    pfclose(pfopen("/system/x.lua", "w"));
    EXPECT_EQ(storage_app.file_opened, 1);
    // A host origin that happens to be named /system/... does not count.
    storage_app.file_opened = 0;
    mount_host_path("/hs", "/system/no-such-folder");
    EXPECT_EQ(pfopen("/hs/x.lua", "w"), nullptr);
    EXPECT_EQ(storage_app.file_opened, 0);
    cproc = nullptr;
}

TEST(RamFiles, OpeningStampsTheRecordAndMountingACartridgeChargesItsRead) {
    fs_env env;
    uint64_t before = os_get_time();
    ASSERT_TRUE(put("/ram/a.txt", "a"));
    EXPECT_GE((uint64_t)get_ram_file_by_name("/ram/a.txt")->opened, (uint32_t)before);
    std::string cart = std::string(HVX_BANNER) + "\nversion 2\n\n:: m.lua\n" + std::string(800, 'm') + "\n:: [eoc]\n";
    ASSERT_TRUE(write_file(env.at("c.hvx"), cart));
    cpu_cycles = 0;
    EXPECT_EQ(get("/c.hvx/m.lua"), std::string(800, 'm'));
    // The folder test of the host path, the read of the file, its unpacking,
    // and the mount: its folder work and the cartridge's bytes at the read rate.
    int32_t folder_test = HOST_FOLDER_OP_COST + HOST_PATH_BYTE_COST * (int32_t)env.at("c.hvx").size();
    int32_t mount = CART_MOUNT_FOLDER_OPS * HOST_FOLDER_OP_COST + (int32_t)(cart.size() / CART_MOUNT_READ_BYTES_PER_CYCLE);
    EXPECT_EQ(cpu_cycles, folder_test + 2 * ((int32_t)cart.size() / 8) + mount);
    // A new cartridge made by mkdir: its folder work alone (its file comes later).
    cpu_cycles = 0;
    EXPECT_EQ(pmkdir("/ram/new.hvx"), 0);
    EXPECT_EQ(cpu_cycles, CART_MOUNT_FOLDER_OPS * HOST_FOLDER_OP_COST);
    cpu_cycles = 0;
    EXPECT_EQ(pmkdir("/ram/new.hvx"), 0);  // mounted already: no new mount to pay for
    EXPECT_EQ(cpu_cycles, 0);
}

TEST(Sync, BookkeepingKeepsPendingWithinTheInterval) {
    fs_env env;
    ASSERT_TRUE(put("/s.txt", "1"));
    EXPECT_EQ(pdisk_pending_sync(), 1);
    sync_fs(1);
    EXPECT_EQ(pdisk_pending_sync(), 0);
    ASSERT_TRUE(put("/s.txt", "2"));
    sync_fs(0);
    EXPECT_EQ(pdisk_pending_sync(), 1);
    sync_fs(1);
    EXPECT_EQ(pdisk_pending_sync(), 0);
}

// ---------------------------------------------------------------------------
// Cartridge write-back
// ---------------------------------------------------------------------------

TEST(WriteBack, ChangedCartridgeReachesItsFileAtTheDelay) {
    fs_env env;
    ASSERT_TRUE(write_file(env.at("c.hvx.rom"), hvx_test::make_rom({{"main.lua", "print(1)"}})));
    EXPECT_EQ(get("/c.hvx.rom/main.lua"), "print(1)");
    uint64_t before = os_get_time();
    ASSERT_TRUE(put("/c.hvx.rom/new.txt", "added"));
    pmount* m = get_mount_by_mount_point("/c.hvx.rom", 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->dirty, 1);
    EXPECT_GE(m->flush_due, before + MOUNT_FLUSH_DELAY_MS);
    EXPECT_LE(m->flush_due, os_get_time() + MOUNT_FLUSH_DELAY_MS);
    std::string old = read_file(env.at("c.hvx.rom"));
    EXPECT_EQ(flush_dirty_mounts_delayed(), 0);
    EXPECT_EQ(read_file(env.at("c.hvx.rom")), old);
    m->flush_due = os_get_time();  // the delay has passed
    EXPECT_EQ(flush_dirty_mounts_delayed(), 1);
    EXPECT_EQ(m->dirty, 0);
    write_back_settle();  // the disk writer's part
    EXPECT_EQ(read_file(env.at("c.hvx.rom")),
              hvx_test::make_rom({{"main.lua", "print(1)"}, {"new.txt", "added"}}));

    // A new empty cartridge is made by pmkdir and written at the delay.
    EXPECT_EQ(pmkdir("/new.hvx.rom"), 0);
    EXPECT_FALSE(hvx_test::file_exists(env.at("new.hvx.rom")));
    EXPECT_EQ(flush_dirty_mounts_immediately(), 1);
    EXPECT_EQ(read_file(env.at("new.hvx.rom")), hvx_test::make_rom({}));
}

TEST(WriteBack, FailuresKeepTheMountDirtyAndTheOldFile) {
    fs_env env;
    std::string orig = hvx_test::make_rom({{"a.txt", "a"}});
    ASSERT_TRUE(write_file(env.at("c.hvx.rom"), orig));
    std::string noise;
    uint32_t x = 1;
    for (int i = 0; i < 200000; i++) noise += (char)((x = x * 1103515245u + 12345u) >> 24);
    ASSERT_TRUE(put("/c.hvx.rom/big.bin", noise));  // does not compress below the limit
    int code = with_file_size_limit(1024, [&] {
        pmount* m = get_mount_by_mount_point("/c.hvx.rom", 0);
        if (!m) return 1;
        testing::internal::CaptureStdout();
        int written = flush_dirty_mount(m, 0);
        testing::internal::GetCapturedStdout();
        if (written != 0) return 2;
        if (!m->dirty) return 3;
        if (m->flush_due < os_get_time() + WRITE_BACK_RETRY_MS - 100) return 4;
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(env.at("c.hvx.rom")), orig);

    // A target that can not be opened at all.
    EXPECT_EQ(pmkdir("/missing/x.hvx.rom"), 0);
    pmount* m = get_mount_by_mount_point("/missing/x.hvx.rom", 0);
    ASSERT_NE(m, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(flush_dirty_mount(m, 0), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(m->dirty, 1);
    EXPECT_GT(m->flush_due, os_get_time());
    // Nothing is written while an atomic operation is open.
    app.atomic_pid = 5;
    pmount* c = get_mount_by_mount_point("/c.hvx.rom", 0);
    EXPECT_EQ(flush_dirty_mount(c, 0), 0);
    app.atomic_pid = 0;
    EXPECT_EQ(flush_dirty_mount(c, 0), 1);
    EXPECT_NE(read_file(env.at("c.hvx.rom")), orig);
}

TEST(WriteBack, CartridgeThatDidNotLoadWholeIsNeverWrittenBack) {
    fs_env env;
    std::string rom = hvx_test::make_rom({{"a.txt", std::string(5000, 'a')}, {"b.txt", "b"}});
    std::string cut = rom.substr(0, rom.size() - 5);
    ASSERT_TRUE(write_file(env.at("cut.hvx.rom"), cut));
    // Writes under it are refused rather than lost at the end of the session.
    EXPECT_FALSE(put("/cut.hvx.rom/new.txt", "n"));
    pmount* m = get_mount_by_mount_point("/cut.hvx.rom", 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->no_write_back, 1);
    // Marked changed all the same, it is still never written.
    m->dirty = 1;
    EXPECT_EQ(flush_dirty_mounts_immediately(), 1);  // tried, not written
    EXPECT_EQ(flush_dirty_mount(m, 0), 0);
    EXPECT_EQ(read_file(env.at("cut.hvx.rom")), cut);
}

// Cartridges /a.hvx (with a folder d and a cartridge n.hvx inside) and
// /b.hvx, written, then each changed again.
std::vector<std::string> changed_carts() {
    const std::vector<std::string> carts = {"/a.hvx", "/b.hvx", "/a.hvx/n.hvx"};
    for (const std::string& c : carts) EXPECT_EQ(pmkdir(c.c_str()), 0);
    EXPECT_EQ(pmkdir("/a.hvx/d"), 0);
    EXPECT_EQ(flush_dirty_mounts_immediately(), 3);
    for (const std::string& c : carts) EXPECT_TRUE(put((c + "/x.txt").c_str(), "changed"));
    return carts;
}

std::string waiting(const std::vector<std::string>& carts) {
    std::string out;
    for (const std::string& c : carts) {
        const pmount* m = get_mount_by_mount_point(c.c_str(), 0);
        if (m && m->dirty) out += (out.empty() ? "" : " ") + c;
    }
    return out;
}

// One of the file calls on a path, made as a script makes it, outside any
// process.
void path_call(int (*call)(lua_State*), const char* path) {
    lua_State* L = luaL_newstate();
    lua_pushstring(L, path);
    call(L);
    lua_close(L);
}

void ls(const char* path) { path_call(lua54_ls, path); }

TEST(WriteBack, ACallWritesOnlyTheCartridgeItsPathNames) {
    struct row {
        const char* what;
        void (*call)();
        const char* left;  // the cartridges still to be written
    };
    const row rows[] = {
        {"listing /", [] { ls("/"); }, "/a.hvx /b.hvx /a.hvx/n.hvx"},
        {"a name that only begins alike", [] { ls("/a.hvxx"); }, "/a.hvx /b.hvx /a.hvx/n.hvx"},
        {"listing a folder inside a", [] { ls("/a.hvx/d"); }, "/b.hvx /a.hvx/n.hvx"},
        // The inner cartridge's file lies in a's folder: writing it changes a.
        {"listing the inner cartridge", [] { ls("/a.hvx/n.hvx"); }, "/a.hvx /b.hvx"},
        {"reading b's file", [] { pdisk_cart_file_exists("/b.hvx"); }, "/a.hvx /a.hvx/n.hvx"},
        {"a process's end", [] { prune_process_mounts(5); }, "/a.hvx /b.hvx /a.hvx/n.hvx"},
        // More files than the prune's threshold make it drop clean mounts.
        {"a heavy prune", [] {
             for (int i = 0; i <= prune_threshold(); i++) put(("/ram/f" + std::to_string(i)).c_str(), "f");
             prune_mounts();
         }, "/a.hvx /b.hvx /a.hvx/n.hvx"},
        {"an atomic operation", [] {
             app.atomic_pid = 5;
             ls("/b.hvx");
             app.atomic_pid = 0;
         }, "/a.hvx /b.hvx /a.hvx/n.hvx"},
    };
    for (const row& r : rows) {
        fs_env env;
        std::vector<std::string> carts = changed_carts();
        r.call();
        EXPECT_EQ(waiting(carts), r.left) << r.what;
    }
}

// Every read past a mount at its path ("rf") sees the latest changes of the
// cartridge at or above the path, written back first: a read of the
// cartridge's own file (its bytes, or its size as a file) or of a file in it.
TEST(WriteBack, AReadPastAMountSeesItsCartridgesLatestChanges) {
    struct row {
        const char* code;
        const char* answer;  // none: the cartridge file's size
    };
    const row rows[] = {
        {"return #fetch('/c.hvx')", nullptr},
        {"return #fetch('/c.hvx', 2)", nullptr},
        {"return select(2, fstat('/c.hvx', true))", nullptr},
        {"return fetch('/c.hvx/new.txt', 2)", "added"},
        {"return fstat('/c.hvx/new.txt', true)", "file, 5"},
    };
    for (const row& r : rows) {
        hvx_test::files_env env;
        Process* p = env.spawn();
        cproc = nullptr;
        ASSERT_EQ(pmkdir("/c.hvx"), 0);
        ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
        ASSERT_TRUE(put("/c.hvx/new.txt", "added"));
        const std::string answer = hvx_test::run_in(p, r.code);
        const std::string file = read_file(env.at("c.hvx"));
        EXPECT_NE(file.find(":: new.txt\nadded\n"), std::string::npos) << r.code;
        EXPECT_EQ(answer, r.answer ? r.answer : std::to_string(file.size())) << r.code;
        EXPECT_EQ(get_mount_by_mount_point("/c.hvx", 0)->dirty, 0) << r.code;
    }
}

// Every way a cartridge's mount is removed writes its changes first; one
// whose file can not be written stays mounted with them.
TEST(WriteBack, EveryRemovalOfACartridgeWritesItFirstOrKeepsIt) {
    // A cartridge of process 5's (so its end removes it), its file on the host.
    static const char* const cart = "/ram/anywhen/5_h/c.hvx";
    struct row {
        const char* what;
        void (*remove)();
    };
    const row rows[] = {
        {"an unmount", [] { delete_mount_point(cart); }},
        {"a delete", [] { path_call(lua54_fdelete, cart); }},
        {"its process's end", [] { prune_process_mounts(5); }},
    };
    for (const row& r : rows) {
        for (bool writable : {true, false}) {
            fs_env env;
            // The host folder of its file is missing when it can not be written.
            if (writable) fs::create_directory(env.at("h"));
            ASSERT_EQ(mount_host_path("/ram/anywhen/5_h", env.at("h").c_str()), 0);
            ASSERT_EQ(pmkdir(cart), 0);
            ASSERT_TRUE(put((std::string(cart) + "/x.txt").c_str(), "latest"));
            g_events.clear();
            testing::internal::CaptureStdout();
            r.remove();
            testing::internal::GetCapturedStdout();
            const pmount* m = get_mount_by_mount_point(cart, 0);
            if (writable) {
                EXPECT_EQ(m, nullptr) << r.what;
                // Written before anything else happens to it (a delete then removes the file).
                ASSERT_FALSE(g_events.empty()) << r.what;
                EXPECT_EQ(g_events.front(), std::make_pair(0, std::string(cart))) << r.what;
            } else {
                ASSERT_NE(m, nullptr) << r.what;
                EXPECT_EQ(m->dirty, 1) << r.what;
            }
        }
    }
}

TEST(WriteBack, AChangeThroughAMountInsideACartridgeReachesItsFile) {
    fs_env env;
    ASSERT_EQ(pmkdir("/c.hvx"), 0);
    ASSERT_EQ(pmkdir("/c.hvx/sub"), 0);
    ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
    ASSERT_NE(mount_p_path("/x", "/c.hvx/sub"), nullptr);
    ASSERT_TRUE(put("/x/f.txt", "via x"));
    EXPECT_EQ(get_mount_by_mount_point("/c.hvx", 0)->dirty, 1);
    EXPECT_EQ(flush_dirty_mounts_immediately(), 1);
    EXPECT_NE(read_file(env.at("c.hvx")).find(":: sub/f.txt\nvia x\n"), std::string::npos);
    // Such a mount owns none of the cartridge's files: removing it, or
    // clearing clean mounts while the cartridge waits to be written, leaves
    // them in the cartridge.
    EXPECT_EQ(delete_mount_point("/x"), 1);
    ASSERT_NE(mount_p_path("/y", "/c.hvx/sub"), nullptr);
    ASSERT_TRUE(put("/c.hvx/g.txt", "more"));
    delete_clean_ram_mounts();
    EXPECT_EQ(flush_dirty_mounts_immediately(), 1);
    const std::string file = read_file(env.at("c.hvx"));
    EXPECT_NE(file.find(":: sub/f.txt\nvia x\n"), std::string::npos) << file;
    EXPECT_NE(file.find(":: g.txt\nmore\n"), std::string::npos) << file;
}

TEST(WriteBack, TheCallerPaysForTheCartridgeItWrites) {
    // The text form grows past its files' bytes, a ROM packs below them:
    // either is paid for by the larger, at its form's rate; a PNG packs its
    // ROM as a ROM does and pays for its picture besides.
    struct row {
        const char* cart;
        int64_t bytes_per_cycle;
        int64_t picture;
    };
    const row rows[] = {
        {"/t.hvx", CART_TEXT_ENCODE_BYTES_PER_CYCLE, 0},
        {"/t.hvx.rom", CART_ROM_ENCODE_BYTES_PER_CYCLE, 0},
        {"/t.hvx.png", CART_ROM_ENCODE_BYTES_PER_CYCLE, CART_PNG_PICTURE_CYCLES + 80000 * CART_PNG_PICTURE_CYCLES_PER_BYTE},
    };
    const int64_t content = 80000;
    for (const row& r : rows) {
        fs_env env;
        const std::string cart = r.cart;
        ASSERT_EQ(pmkdir(r.cart), 0);
        ASSERT_TRUE(put((cart + "/big.txt").c_str(), std::string(content, 'z')));
        cpu_cycles = 0;
        EXPECT_EQ(flush_path_cartridge((cart + "/big.txt").c_str()), 1) << cart;
        int64_t file = (int64_t)read_file(env.at(cart.substr(1))).size();
        int64_t encoded = std::max(file, content);
        EXPECT_EQ(cpu_cycles, encoded / r.bytes_per_cycle + r.picture + file / 8 + PFILE_WRITE_COST) << cart;
        cpu_cycles = 0;
        EXPECT_EQ(flush_path_cartridge(r.cart), 0) << cart;  // nothing changed since
        EXPECT_EQ(cpu_cycles, 0) << cart;
    }
}

// A cartridge of about two and a half frames' bytes: text files, a binary
// file and a folder.
void fill_large_cart(const std::string& cart, char mark) {
    pmkdir(cart.c_str());
    pmkdir((cart + "/d").c_str());  // 1 the second time
    ASSERT_TRUE(put((cart + "/a.txt").c_str(), std::string(WRITE_BACK_FRAME_BYTES + 7, mark)));
    std::string noise;
    uint32_t x = (uint32_t)mark;
    for (int64_t i = 0; i < WRITE_BACK_FRAME_BYTES; i++) noise += (char)((x = x * 1103515245u + 12345u) >> 24);
    ASSERT_TRUE(put((cart + "/d/b.bin").c_str(), noise));
    ASSERT_TRUE(put((cart + "/main.lua").c_str(), std::string("print('") + mark + "')"));
}

// Runs frames until none of the cartridges waits, each frame within its
// bytes; the frames it took, or -1. The encoding runs off the frame's thread:
// a frame that finds it unfinished just goes on.
int frames_until_written(const std::vector<std::string>& carts, int max = 4000) {
    for (int n = 1; n <= max; n++) {
        flush_dirty_mounts_delayed();
        EXPECT_LE(write_back_frame_bytes(), WRITE_BACK_FRAME_BYTES) << "frame " << n;
        if (waiting(carts).empty()) {
            write_back_settle();  // what the last frame handed to the disk
            return n;
        }
        usleep(1000);
    }
    return -1;
}

TEST(WriteBack, TheFrameWritesDueCartridgesUpToItsBytesAndThoseLeftFirst) {
    fs_env env;
    // A little over a third of the frame's bytes each.
    std::string third(WRITE_BACK_FRAME_BYTES / 3 + 1000, 't');
    std::vector<std::string> carts;
    for (int i = 0; i < 5; i++) {
        carts.push_back("/f" + std::to_string(i) + ".hvx");
        ASSERT_EQ(pmkdir(carts.back().c_str()), 0);
        ASSERT_TRUE(put((carts.back() + "/big.txt").c_str(), third));
    }
    ASSERT_EQ(flush_dirty_mounts_immediately(), 5);
    // Due at different moments, all past: the clock does not order them.
    const uint64_t due[] = {5, 1, 4, 2, 3};
    auto change = [&](std::initializer_list<int> which) {
        for (int i : which) {
            ASSERT_TRUE(put((carts[i] + "/n.txt").c_str(), "n"));
            get_mount_by_mount_point(carts[i].c_str(), 0)->flush_due = due[i];
        }
    };
    // Two are written whole; the third may pass what is left, so it is
    // begun over frames and the rest wait for it.
    change({0, 1, 2, 3, 4});
    EXPECT_EQ(flush_dirty_mounts_delayed(), 2);
    EXPECT_EQ(waiting(carts), "/f0.hvx /f1.hvx /f2.hvx");
    EXPECT_EQ(cart_write_mount(), get_mount_by_mount_point("/f2.hvx", 0));
    EXPECT_GT(frames_until_written(carts), 1);
    // One cartridge past the frame's bytes takes several frames.
    ASSERT_TRUE(put((carts[1] + "/big.txt").c_str(), std::string(2 * WRITE_BACK_FRAME_BYTES + 1, 'b')));
    hvx_test::make_due(get_mount_by_mount_point(carts[1].c_str(), 0));
    change({3});
    EXPECT_GE(frames_until_written(carts), 3);
    EXPECT_NE(read_file(env.at("f1.hvx")).find(":: big.txt\n" + std::string(2 * WRITE_BACK_FRAME_BYTES + 1, 'b') + "\n"),
              std::string::npos);
    // Small ones each count a file's syncs: a frame writes only so many, and
    // one it leaves goes first in the next, before the later mounted ones
    // changed again meanwhile, which would otherwise keep it waiting.
    for (int i = 0; i < 5; i++) ASSERT_TRUE(put((carts[i] + "/big.txt").c_str(), "small"));
    change({0, 1, 2, 3, 4});
    const int per_frame = (int)(WRITE_BACK_FRAME_BYTES / WRITE_BACK_FILE_BYTES);
    ASSERT_EQ(per_frame, 4);
    EXPECT_EQ(flush_dirty_mounts_delayed(), per_frame);
    EXPECT_EQ(waiting(carts), "/f0.hvx");
    write_back_settle();  // a disk that keeps up
    change({1, 2, 3, 4});
    EXPECT_EQ(flush_dirty_mounts_delayed(), per_frame);
    EXPECT_EQ(waiting(carts), "/f1.hvx");
    EXPECT_EQ(flush_dirty_mounts_delayed(), 1);
    EXPECT_EQ(waiting(carts), "");
}

// The frame's share counts what a write costs: a ROM packs so much slower
// than the text form is written that one of a few hundred KB goes to the
// write over frames, where the text form of the same files is written whole.
TEST(WriteBack, TheFramesShareCountsARomAtItsSlowerRate) {
    const int64_t rom_fits = WRITE_BACK_FRAME_BYTES * CART_ROM_ENCODE_BYTES_PER_CYCLE / CART_TEXT_ENCODE_BYTES_PER_CYCLE;
    struct row {
        const char* cart;
        int64_t bytes;
        bool over_frames;
    };
    const row rows[] = {
        {"/r.hvx.rom", rom_fits / 2, false},
        {"/r.hvx.rom", rom_fits * 2, true},
        {"/t.hvx", rom_fits * 2, false},
    };
    for (const row& r : rows) {
        fs_env env;
        ASSERT_EQ(pmkdir(r.cart), 0);
        ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
        ASSERT_TRUE(put((std::string(r.cart) + "/f.bin").c_str(), std::string((size_t)r.bytes, 'q')));
        hvx_test::make_due(get_mount_by_mount_point(r.cart, 0));
        flush_dirty_mounts_delayed();
        EXPECT_EQ(cart_write_mount() != nullptr, r.over_frames) << r.cart << " " << r.bytes;
    }
}

// Changed in one loop, so due at the same moment: the frame writes them from
// the last mounted to the first, as much as its bytes allow.
TEST(WriteBack, CartridgesDueTogetherAreWrittenLastMountedFirst) {
    fs_env env;
    std::vector<std::string> carts;
    for (int i = 1; i <= 6; i++) {
        carts.push_back("/k" + std::to_string(i) + ".hvx");
        ASSERT_EQ(pmkdir(carts.back().c_str()), 0);
    }
    ASSERT_EQ(flush_dirty_mounts_immediately(), 6);
    for (const std::string& c : carts) {
        ASSERT_TRUE(put((c + "/n.txt").c_str(), "n"));
        hvx_test::make_due(get_mount_by_mount_point(c.c_str(), 0));
    }
    ASSERT_EQ(WRITE_BACK_FRAME_BYTES / WRITE_BACK_FILE_BYTES, 4);
    EXPECT_EQ(flush_dirty_mounts_delayed(), 4);
    EXPECT_EQ(waiting(carts), "/k1.hvx /k2.hvx");
    EXPECT_EQ(flush_dirty_mounts_delayed(), 2);
    EXPECT_EQ(waiting(carts), "");
}

// A cartridge written whole, by a flush or by the frame, is in its file when
// the call returns; one written over frames, once the frame that finishes it
// returns. Nothing waits for the disk on the caller's thread.
TEST(WriteBack, NoCartridgeWriteWaitsForTheDiskOnTheCallersThread) {
    fs_env env;
    const std::vector<std::string> carts = {"/a.hvx", "/b.hvx.rom", "/c.hvx.png"};
    std::vector<disk_sync> syncs;
    g_syncs = &syncs;
    for (const std::string& c : carts) {
        ASSERT_EQ(pmkdir(c.c_str()), 0);
        ASSERT_TRUE(put((c + "/main.lua").c_str(), "print('flushed')"));
    }
    EXPECT_EQ(flush_dirty_mounts_immediately(), 3);
    for (const std::string& c : carts) {
        ASSERT_TRUE(put((c + "/main.lua").c_str(), "print('framed')"));
        hvx_test::make_due(get_mount_by_mount_point(c.c_str(), 0));
    }
    EXPECT_EQ(flush_dirty_mounts_delayed(), 3);
    fill_large_cart("/l.hvx", 'n');
    hvx_test::make_due(get_mount_by_mount_point("/l.hvx", 0));
    EXPECT_GT(frames_until_written({"/l.hvx"}), 1);
    g_syncs = nullptr;
    EXPECT_TRUE(syncs.empty()) << syncs.size() << " syncs, the first of " << syncs[0].path;
    EXPECT_NE(read_file(env.at("a.hvx")).find("print('framed')"), std::string::npos);
    EXPECT_NE(read_file(env.at("l.hvx")).find("print('n')"), std::string::npos);
    EXPECT_EQ(waiting(carts), "");
}

// Many small cartridges written back by the frame, as after a program made
// thousands: the frame's thread puts no file in place and syncs none (a slow
// disk holds no frame); each is in its file once the disk writer has it, and
// one whose file could not be written is dirty again, tried later.
TEST(WriteBack, TheFrameHandsSmallCartridgesToTheDiskAndWaitsForNone) {
    fs_env env;
    std::vector<std::string> carts;
    for (int i = 0; i < 24; i++) {
        carts.push_back("/s" + std::to_string(i) + ".hvx");
        ASSERT_EQ(pmkdir(carts.back().c_str()), 0);
        ASSERT_TRUE(put((carts.back() + "/main.lua").c_str(), "print(" + std::to_string(i) + ")"));
        hvx_test::make_due(get_mount_by_mount_point(carts.back().c_str(), 0));
    }
    ASSERT_EQ(pmkdir("/missing/x.hvx"), 0);  // its host folder is not there
    pmount* lost = get_mount_by_mount_point("/missing/x.hvx", 0);
    hvx_test::make_due(lost);
    std::vector<disk_sync> syncs;
    g_syncs = &syncs;
    g_own_renames = 0;
    g_count_renames = true;
    int frames = 0;
    testing::internal::CaptureStdout();
    for (; frames < 100 && (!waiting(carts).empty() || lost->flush_due <= os_get_time()); frames++)
        flush_dirty_mounts_delayed();
    g_count_renames = false;
    g_syncs = nullptr;
    EXPECT_EQ(g_own_renames, 0);
    EXPECT_TRUE(syncs.empty()) << syncs.size() << " syncs, the first of " << syncs[0].path;
    EXPECT_GE(frames, (int)(carts.size() * WRITE_BACK_FILE_BYTES / WRITE_BACK_FRAME_BYTES));
    write_back_settle();
    testing::internal::GetCapturedStdout();
    for (size_t i = 0; i < carts.size(); i++)
        EXPECT_NE(read_file(env.at(carts[i].substr(1))).find("print(" + std::to_string(i) + ")"), std::string::npos) << carts[i];
    EXPECT_EQ(lost->dirty, 1);
    EXPECT_GT(lost->flush_due, os_get_time());
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
}

// What writing the cartridge whole gives for the same files.
std::string written_whole(const fs_env& env, const std::string& cart) {
    pmount* m = get_mount_by_mount_point(cart.c_str(), 0);
    m->dirty = 1;
    EXPECT_EQ(flush_dirty_mount(m, 0), 1);
    return read_file(env.at(cart.substr(1)));
}

TEST(WriteBack, ALargeCartridgeIsWrittenOverFramesAsItWouldBeWhole) {
    for (const char* cart : {"/l.hvx", "/l.hvx.rom"}) {
        fs_env env;
        fill_large_cart(cart, 'o');
        ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
        const std::string old = read_file(env.at(cart + 1));
        fill_large_cart(cart, 'n');
        hvx_test::make_due(get_mount_by_mount_point(cart, 0));
        // At every frame the file is the old one whole until it is the new
        // one whole: a kill between frames loses neither.
        int frames = 0, new_frames = 0;
        std::string now = old;
        while (get_mount_by_mount_point(cart, 0)->dirty && frames < 4000) {
            flush_dirty_mounts_delayed();
            EXPECT_LE(write_back_frame_bytes(), WRITE_BACK_FRAME_BYTES) << cart;
            std::string seen = read_file(env.at(cart + 1));
            if (seen != now) {
                ASSERT_TRUE(now == old) << cart << " frame " << frames << ": a third version";
                now = seen;
            }
            new_frames += now != old;
            frames++;
            usleep(1000);
        }
        EXPECT_GE(frames - new_frames, 3) << cart;
        EXPECT_EQ(hidden_entries(env.host.path()), 0) << cart;
        EXPECT_TRUE(now == written_whole(env, cart)) << cart;
        EXPECT_TRUE(now != old) << cart;
    }
}

// A program's save of several files (f1..f4, then ver.txt last) while a
// write over frames is under way, which changes f1..f3, deletes f4 and adds
// f5: after every frame (a kill may come at any) the file holds one save
// whole, the one the write began with; the later save follows it whole.
TEST(WriteBack, AWriteOverFramesPutsOneMomentOfTheCartridgeOnDisk) {
    fs_env env;
    const std::string c = "/c.hvx";
    const size_t part = WRITE_BACK_FRAME_BYTES / 2 + 3;  // a frame copies about two
    auto save = [&](char v, bool last) {
        for (const char* f : {"f1", "f2", "f3", "f4"}) {
            if (last && f[1] == '4') path_call(lua54_fdelete, (c + "/f4.txt").c_str());
            else ASSERT_TRUE(put((c + "/" + f + ".txt").c_str(), std::string(part, v)));
        }
        if (last) ASSERT_TRUE(put((c + "/f5.txt").c_str(), std::string(part, v)));
        ASSERT_TRUE(put((c + "/ver.txt").c_str(), std::string(1, v)));
    };
    // The saves the file holds a file of: each file's first byte.
    auto saves_on_disk = [&] {
        const std::string file = read_file(env.at("c.hvx"));
        std::string seen;
        for (const char* f : {"f1", "f2", "f3", "f4", "f5", "ver"}) {
            size_t at = file.find(std::string(":: ") + f + ".txt\n");
            if (at == std::string::npos) continue;
            char v = file[at + strlen(f) + 8];
            if (seen.find(v) == std::string::npos) seen += v;
        }
        return seen;
    };
    ASSERT_EQ(pmkdir(c.c_str()), 0);
    save('1', false);
    ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
    save('2', false);
    pmount* m = get_mount_by_mount_point(c.c_str(), 0);
    hvx_test::make_due(m);
    flush_dirty_mounts_delayed();
    ASSERT_NE(cart_write_mount(), nullptr);
    save('3', true);
    int frames = 0;
    for (; cart_write_mount() && frames < 4000; frames++) {
        flush_dirty_mounts_delayed();
        const std::string seen = saves_on_disk();
        ASSERT_TRUE(seen == "1" || seen == "2") << "frame " << frames << ": " << seen;
        usleep(1000);
    }
    EXPECT_EQ(saves_on_disk(), "2");
    EXPECT_EQ(read_file(env.at("c.hvx")).find("f5.txt"), std::string::npos);
    // Changed since the moment it holds: written again after the delay.
    EXPECT_EQ(m->dirty, 1);
    hvx_test::make_due(m);
    EXPECT_GT(frames_until_written({c}), 0);
    EXPECT_EQ(saves_on_disk(), "3");
    EXPECT_EQ(read_file(env.at("c.hvx")).find("f4.txt"), std::string::npos);
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
}

TEST(WriteBack, AWriteUnderWayPausesForAnAtomicOperationAndAFlushFinishesIt) {
    struct row {
        const char* what;
        void (*flush)();
    };
    const row rows[] = {
        {"the flush of every mount", [] { flush_dirty_mounts_immediately(); }},
        {"its file read", [] { pdisk_cart_file_exists("/c.hvx"); }},
    };
    for (const row& r : rows) {
        fs_env env;
        fill_large_cart("/c.hvx", 'o');
        ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
        const std::string old = read_file(env.at("c.hvx"));
        fill_large_cart("/c.hvx", 'n');
        hvx_test::make_due(get_mount_by_mount_point("/c.hvx", 0));
        flush_dirty_mounts_delayed();
        ASSERT_NE(cart_write_mount(), nullptr) << r.what;
        app.atomic_pid = 5;
        for (int i = 0; i < 20; i++) {
            EXPECT_EQ(flush_dirty_mounts_delayed(), 0) << r.what;
            EXPECT_EQ(write_back_frame_bytes(), 0) << r.what;
            usleep(1000);
        }
        r.flush();
        EXPECT_NE(cart_write_mount(), nullptr) << r.what;
        EXPECT_TRUE(read_file(env.at("c.hvx")) == old) << r.what;
        app.atomic_pid = 0;
        // Inside the call: the write is whole and nothing waits.
        cpu_cycles = 0;
        r.flush();
        EXPECT_GT(cpu_cycles, WRITE_BACK_FRAME_BYTES / CART_TEXT_ENCODE_BYTES_PER_CYCLE) << r.what;
        EXPECT_EQ(cart_write_mount(), nullptr) << r.what;
        EXPECT_EQ(get_mount_by_mount_point("/c.hvx", 0)->dirty, 0) << r.what;
        const std::string file = read_file(env.at("c.hvx"));
        EXPECT_TRUE(file == written_whole(env, "/c.hvx")) << r.what;
        EXPECT_NE(file.find("print('n')"), std::string::npos) << r.what;
        EXPECT_EQ(hidden_entries(env.host.path()), 0) << r.what;
    }
}

// A write over frames whose mount went without writing it, as when the
// tables are reset under it, is dropped by the next frame: its worker ends
// and leaves no temporary file, and nothing replaces the file.
TEST(WriteBack, AWriteOverFramesWhoseMountWentLeavesNoTemporaryFile) {
    fs_env env;
    fill_large_cart("/c.hvx", 'o');
    hvx_test::make_due(get_mount_by_mount_point("/c.hvx", 0));
    // Copied over frames until its worker has opened the hidden sibling
    // (first thing it does); nothing is put in place without a later frame.
    flush_dirty_mounts_delayed();
    for (int i = 0; i < 100 && cart_write_mount() && hidden_entries(env.host.path()) == 0; i++) {
        flush_dirty_mounts_delayed();
        for (int ms = 0; ms < 200 && hidden_entries(env.host.path()) == 0; ms++) usleep(1000);
    }
    ASSERT_NE(cart_write_mount(), nullptr);
    ASSERT_EQ(hidden_entries(env.host.path()), 1);
    pfile_reset();
    mount_host_path("/", env.host.path().c_str());
    flush_dirty_mounts_delayed();
    EXPECT_EQ(cart_write_mount(), nullptr);
    for (int ms = 0; ms < 10000 && hidden_entries(env.host.path()) != 0; ms++) usleep(1000);
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
    EXPECT_FALSE(fs::exists(env.at("c.hvx")));
}

// A look at a cartridge too large for a frame by another program writes
// nothing inside the call: the listing comes from the RAM files, fstat from
// the file as it stands; the frame writes it later, owed by the program that
// changed it.
TEST(WriteBack, ALookAtALargeChangedCartridgeLeavesItsWriteToTheFrame) {
    for (const char* look : {"return #ls('/c.hvx')", "return show(fstat('/c.hvx'))", "return show(fstat('/c.hvx', true))"}) {
        hvx_test::files_env env;
        for (int i = 0; i < 3; i++) env.spawn();  // the system's ids
        Process* changer = env.spawn();
        Process* looker = env.spawn();
        looker->program_id = changer->program_id + 1;  // another program
        cproc = changer;
        fill_large_cart("/c.hvx", 'o');
        ASSERT_EQ(flush_dirty_mounts_immediately(), 1);
        const std::string old = read_file(env.at("c.hvx"));
        fill_large_cart("/c.hvx", 'n');
        cproc = nullptr;
        cpu_cycles = 0;
        const std::string answer = hvx_test::run_in(looker, look);
        EXPECT_LT(cpu_cycles, WRITE_BACK_FRAME_BYTES / CART_TEXT_ENCODE_BYTES_PER_CYCLE) << look;
        EXPECT_TRUE(read_file(env.at("c.hvx")) == old) << look;
        EXPECT_EQ(cart_write_mount(), nullptr) << look;
        if (strstr(look, "fstat")) EXPECT_NE(answer.find(std::to_string(old.size())), std::string::npos) << look << " " << answer;
        else EXPECT_EQ(answer, "3") << look;
        hvx_test::make_due(get_mount_by_mount_point("/c.hvx", 0));
        EXPECT_GT(frames_until_written({"/c.hvx"}), 1) << look;
        EXPECT_GT(program_debt(changer->program_id), 0) << look;
        EXPECT_EQ(program_debt(looker->program_id), 0) << look;
        EXPECT_NE(read_file(env.at("c.hvx")).find("print('n')"), std::string::npos) << look;
    }
}

// A cartridge too large for a frame waits after its first change in
// proportion to its size, so one still growing is not written whole again
// and again; a small one does not wait.
TEST(WriteBack, ALargeCartridgeWaitsAfterItsFirstChangeInProportionToItsSize) {
    struct row {
        const char* what;
        bool large;
        bool known;  // its first change: now
        bool begun;
    };
    const row rows[] = {
        {"large, just changed", true, true, false},
        {"large, its first change not known", true, false, true},
        {"small, just changed", false, true, true},
    };
    for (const row& r : rows) {
        fs_env env;
        if (r.large) fill_large_cart("/c.hvx", 'o');
        else ASSERT_EQ(pmkdir("/c.hvx"), 0);
        ASSERT_TRUE(put("/c.hvx/n.txt", "n"));
        pmount* m = get_mount_by_mount_point("/c.hvx", 0);
        hvx_test::make_due(m);
        if (r.known) m->first_change = os_get_time() + 1;
        flush_dirty_mounts_delayed();
        EXPECT_EQ(m->dirty == 0 || cart_write_mount() == m, r.begun) << r.what;
        if (!r.begun) {
            EXPECT_GT(m->flush_due, os_get_time()) << r.what;
            EXPECT_LE(m->flush_due, m->first_change + WRITE_BACK_WAIT_MAX_MS) << r.what;
        }
    }
    // Longer the larger, never past the bound.
    EXPECT_LT(write_back_wait_ms(8 << 20), write_back_wait_ms(24 << 20));
    EXPECT_EQ(write_back_wait_ms(INT64_MAX), (uint64_t)WRITE_BACK_WAIT_MAX_MS);
}

TEST(WriteBack, TheFramesWorkIsOwedByTheProgramThatChangedTheCartridge) {
    struct row {
        const char* what;
        int64_t program;  // of the process that changes it
        bool ends;        // before the frames
        bool owes;
    };
    const row rows[] = {
        {"a running program", 7, false, true},
        {"a program that ended", 7, true, false},
        {"the system", 2, false, false},
    };
    for (const row& r : rows) {
        fs_env env;
        Process changer{};
        changer.id = r.program;
        changer.program_id = r.program;
        changer.state = PROC_RUNNING;
        ASSERT_TRUE(process_table_add(&changer));
        cproc = &changer;
        fill_large_cart("/c.hvx", 'o');
        cproc = nullptr;
        EXPECT_EQ(get_mount_by_mount_point("/c.hvx", 0)->changed_by, r.program) << r.what;
        if (r.ends) changer.state = PROC_ENDED;
        hvx_test::make_due(get_mount_by_mount_point("/c.hvx", 0));
        cpu_cycles = 0;
        EXPECT_GT(frames_until_written({"/c.hvx"}), 1) << r.what;
        EXPECT_EQ(cpu_cycles, 0) << r.what << ": the frame charges no one else";
        const int64_t file = (int64_t)read_file(env.at("c.hvx")).size();
        if (r.owes) EXPECT_GT(program_debt(r.program), file / 8 + PFILE_WRITE_COST) << r.what;
        else EXPECT_EQ(program_debt(r.program), 0) << r.what;
        process_table_remove(&changer);
    }
}

// A write over frames is owed what the whole write of the same files is
// charged, at its form's rate and with a PNG's picture, give or take each
// frame's rounding and the names it copied.
TEST(WriteBack, AWriteOverFramesIsOwedWhatTheWholeWriteIsCharged) {
    for (const char* cart : {"/o.hvx", "/o.hvx.rom", "/o.hvx.png"}) {
        fs_env env;
        Process changer{};
        changer.id = changer.program_id = 7;
        changer.state = PROC_RUNNING;
        ASSERT_TRUE(process_table_add(&changer));
        cproc = &changer;
        ASSERT_EQ(pmkdir(cart), 0);
        // Packs small enough for a PNG's picture.
        ASSERT_TRUE(put((std::string(cart) + "/a.txt").c_str(), std::string(WRITE_BACK_FRAME_BYTES * 3 / 2, 'z')));
        ASSERT_TRUE(put((std::string(cart) + "/main.lua").c_str(), "print(1)"));
        cproc = nullptr;
        hvx_test::make_due(get_mount_by_mount_point(cart, 0));
        EXPECT_GT(frames_until_written({cart}), 1) << cart;
        const int64_t owed = program_debt(changer.program_id);
        cpu_cycles = 0;
        written_whole(env, cart);
        EXPECT_GT(cpu_cycles, WRITE_BACK_FRAME_BYTES / CART_TEXT_ENCODE_BYTES_PER_CYCLE) << cart;
        EXPECT_NEAR((double)owed, (double)cpu_cycles, cpu_cycles / 100.0) << cart;
        process_table_remove(&changer);
    }
}

TEST(WriteBack, WhatGoesIsWrittenFirstAndWhatCanNotBeWrittenStays) {
    fs_env env;
    ASSERT_EQ(pmkdir("/a.hvx"), 0);
    ASSERT_EQ(pmkdir("/ram/anywhen"), 0);
    ASSERT_EQ(pmkdir("/ram/anywhen/5_c.hvx"), 0);  // a cartridge process 5 opened
    ASSERT_EQ(flush_dirty_mounts_immediately(), 2);
    ASSERT_TRUE(put("/a.hvx/x.txt", "kept"));
    ASSERT_TRUE(put("/ram/anywhen/5_c.hvx/y.txt", "kept too"));

    // The process's end writes its own mount as it goes, and no other.
    prune_process_mounts(5);
    EXPECT_EQ(get_mount_by_mount_point("/ram/anywhen/5_c.hvx", 0), nullptr);
    EXPECT_NE(get("/ram/anywhen/5_c.hvx", "rf").find(":: y.txt\nkept too\n"), std::string::npos);
    EXPECT_EQ(get_mount_by_mount_point("/a.hvx", 0)->dirty, 1);

    // An unmount writes the cartridge back, inside an atomic operation too.
    app.atomic_pid = 5;
    EXPECT_EQ(delete_mount_point("/a.hvx"), 1);
    app.atomic_pid = 0;
    EXPECT_EQ(get_mount_by_mount_point("/a.hvx", 0), nullptr);
    EXPECT_NE(read_file(env.at("a.hvx")).find(":: x.txt\nkept\n"), std::string::npos);

    // One whose file can not be written stays mounted with its changes.
    ASSERT_EQ(pmkdir("/gone/g.hvx"), 0);
    ASSERT_TRUE(put("/gone/g.hvx/z.txt", "z"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(delete_mount_point("/gone/g.hvx"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(get("/gone/g.hvx/z.txt"), "z");
}

}  // namespace

// ---------------------------------------------------------------------------
// Host writes: links, abandoned writes, listing counts
// ---------------------------------------------------------------------------


int hidden_entries(const std::string& dir) {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) n += e.path().filename().string()[0] == '.';
    return n;
}


TEST(HostFiles, WriteThroughLinkChangesTheFileAndKeepsTheLink) {
    fs_env env;
    fs::create_directory(env.at("real"));
    ASSERT_TRUE(write_file(env.at("real/t.txt"), "old"));
    fs::create_symlink("real/t.txt", env.at("link.txt"));

    ASSERT_TRUE(put("/link.txt", "new"));
    EXPECT_TRUE(fs::is_symlink(env.at("link.txt")));
    EXPECT_EQ(read_file(env.at("real/t.txt")), "new");
    EXPECT_EQ(get("/link.txt"), "new");
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
    EXPECT_EQ(hidden_entries(env.at("real")), 0);
    // The history names the path that was written, not where the link leads.
    ASSERT_FALSE(g_events.empty());
    EXPECT_EQ(g_events.back(), std::make_pair(0, std::string("/link.txt")));

    // A link to nothing yet: the write makes a plain file in its place.
    fs::create_symlink("real/none.txt", env.at("dangling.txt"));
    ASSERT_TRUE(put("/dangling.txt", "d"));
    EXPECT_EQ(get("/dangling.txt"), "d");
}

TEST(HostFiles, WriteNeverClosedLeavesNoHiddenSiblingAndTheOldFile) {
    fs_env env;
    ASSERT_TRUE(write_file(env.at("a.txt"), "keep a"));
    ASSERT_TRUE(write_file(env.at("b.txt"), "keep b"));

    // Released by a reboot while open.
    pfile* a = pfopen("/a.txt", "w");
    ASSERT_NE(a, nullptr);
    pfwrite("lost", 1, 4, a);
    EXPECT_EQ(hidden_entries(env.host.path()), 1);
    pfile_reset();
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
    EXPECT_EQ(read_file(env.at("a.txt")), "keep a");

    // Released directly.
    mount_host_path("/", env.host.path().c_str());
    pfile* b = pfopen("/b.txt", "w");
    ASSERT_NE(b, nullptr);
    clear_pfile(b);
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
    EXPECT_EQ(read_file(env.at("b.txt")), "keep b");

    // A record that takes the released one's memory writes its own file only.
    ASSERT_TRUE(put("/c.txt", "c"));
    EXPECT_EQ(read_file(env.at("c.txt")), "c");
    EXPECT_EQ(read_file(env.at("b.txt")), "keep b");
    EXPECT_EQ(hidden_entries(env.host.path()), 0);
}

// A killed write's hidden temporary goes when its folder is listed, once
// its writer is not running here and it is a minute old; a write still under
// way, a young one, anything else hidden and other folders stay.
TEST(Listing, AListingRemovesAKilledWritesTemporary) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string tag = OS_TEMP_TAGS[1];
    struct row {
        std::string name;
        int age_s;
        bool kept;
    };
    const std::vector<row> rows = {
        {".c.hvx" + tag + std::to_string(dead) + "_3", 3600, false},
        {".c.hvx" + std::string(OS_TEMP_TAGS[0]) + std::to_string(dead) + "_1", 61, false},
        {".c.hvx" + tag + std::to_string(dead) + "_4", 5, true},             // young
        {".c.hvx" + tag + std::to_string(getppid()) + "_1", 3600, true},   // its writer runs
        {".c.hvx" + tag + std::to_string(getpid()) + "_9", 0, true},       // ours, under way
        {".c.hvx" + tag + std::to_string(dead) + "_x", 3600, true},        // not a temporary's name
        {".keep", 3600, true},
    };
    fs_env env;
    fs::create_directories(env.at("d/sub"));
    const std::string deeper = env.at("d/sub/.c.hvx" + tag + std::to_string(dead) + "_1");
    ASSERT_TRUE(write_file(deeper, "x"));
    for (const row& r : rows) {
        ASSERT_TRUE(write_file(env.at("d/" + r.name), "partial"));
        const auto t = fs::file_time_type::clock::now() - std::chrono::seconds(r.age_s);
        fs::last_write_time(env.at("d/" + r.name), t);
    }
    fs::last_write_time(deeper, fs::file_time_type::clock::now() - std::chrono::hours(1));
    ls("/d");
    for (const row& r : rows) EXPECT_EQ(fs::exists(env.at("d/" + r.name)), r.kept) << r.name;
    EXPECT_TRUE(fs::exists(deeper));
}

TEST(Listing, FolderCountLeavesOutDuplicateNames) {
    fs_env env;
    ASSERT_EQ(pmkdir("/ram/q"), 0);
    ASSERT_EQ(pmkdir("/ram/q/sub"), 0);
    ASSERT_TRUE(put("/ram/q/f.txt", "f"));
    // Two mounts at one point list one name.
    ASSERT_EQ(mount_ram_folder("/ram/q/m"), 0);
    ASSERT_EQ(mount_ram_folder("/ram/q/m"), 0);

    lua_State* L = luaL_newstate();
    ASSERT_EQ(pflist("/ram/q", L, nullptr), 2);
    EXPECT_EQ(lua_tointeger(L, -1), 2);
    std::vector<std::string> names;
    for (int i = 1; lua_rawgeti(L, -2, i) == LUA_TSTRING; i++) {
        names.push_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_close(L);
    std::vector<std::string> want = {"m", "sub", "f.txt"};
    EXPECT_EQ(names, want);
}

// A power cut right after a write must find either the old or the new
// content: the new bytes reach the disk before the rename, and the rename
// before the close reports success.
TEST(HostFiles, WriteReachesTheDiskBeforeAndAfterTheRename) {
    fs_env env;
    std::string dir = fs::canonical(env.host.path()).string();
    ASSERT_TRUE(write_file(env.at("d.txt"), "old"));
    std::vector<disk_sync> syncs;
    g_watched = env.at("d.txt");
    g_syncs = &syncs;
    bool wrote = put("/d.txt", "new");
    g_syncs = nullptr;
    ASSERT_TRUE(wrote);
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_EQ(syncs[0].what, "fsync");
    EXPECT_EQ(syncs[0].path.rfind(dir + "/.d.txt.~hvx", 0), 0u) << syncs[0].path;
    EXPECT_EQ(syncs[0].watched_content, "old");
    EXPECT_EQ(syncs[1].what, "fsync");
    EXPECT_EQ(syncs[1].path, dir);
    EXPECT_EQ(syncs[1].watched_content, "new");

    // An append is made durable in place.
    syncs.clear();
    g_syncs = &syncs;
    wrote = put("/d.txt", "+", "a");
    g_syncs = nullptr;
    ASSERT_TRUE(wrote);
    ASSERT_EQ(syncs.size(), 1u);
    EXPECT_EQ(syncs[0].path, dir + "/d.txt");
    EXPECT_EQ(read_file(env.at("d.txt")), "new+");
}

// Without a home folder setting the drive lives in the default per-user
// folder, which the exit sync must reach as well.
TEST(Sync, ForcedSyncReachesTheDefaultUserFolder) {
    fs_env env;
    hvx_test::scratch_dir data;
    std::string saved_home = config.home;
    const char* xdg = getenv("XDG_DATA_HOME");
    std::string saved_xdg = xdg ? xdg : "";
    config.home[0] = 0;
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    krio_reset_path_cache();

    ASSERT_TRUE(put("/s.txt", "1"));
    std::vector<disk_sync> syncs;
    g_syncs = &syncs;
    sync_fs(1);
    g_syncs = nullptr;
    EXPECT_EQ(pdisk_pending_sync(), 0);
    std::string want = fs::canonical(data.path()).string() + "/halvoran";
    bool reached = false;
    for (const disk_sync& s : syncs) reached |= s.what == "syncfs" && s.path.rfind(want, 0) == 0;
    EXPECT_TRUE(reached) << (syncs.empty() ? "no sync" : syncs[0].path);

    if (xdg) setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
    snprintf(config.home, sizeof config.home, "%s", saved_home.c_str());
    krio_reset_path_cache();
}
