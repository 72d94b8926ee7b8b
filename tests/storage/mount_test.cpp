// The mount table: resolution to the deepest mount, cartridge mounts, the
// refusals that keep paths inside their mounts, dirty marking and pruning.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/storage.h"
#include "tests/support/harness.h"

namespace {

struct resolved {
    std::string origin;
    int kind;
};

resolved resolve(const char* path, int skip_exact = 0) {
    int kind = 12345;  // the resolver must not leave a caller's value in place
    buffer* b = resolve_to_origin(path, &kind, skip_exact);
    resolved r{b ? std::string((const char*)b->data, b->length) : "<none>", kind};
    destroy_buffer(b);
    return r;
}

class Mounts : public ::testing::Test {
  protected:
    hvx_test::scratch_dir tmp;
    std::string drive;

    void SetUp() override {
        pfile_init();
        pfile_reset();
        app.atomic_pid = 0;
        drive = tmp / "drive";
        mkdir(drive.c_str(), 0755);
    }
    void TearDown() override {
        pdisk_set_working_folder_source(nullptr);
        pfile_reset();
    }

    // The start-up order: the RAM root, then the drive at "/".
    void boot() {
        ASSERT_EQ(mount_ram_folder("/ram"), 0);
        ASSERT_EQ(mount_host_path("/", (drive + "/").c_str()), 0);
    }

    static pfile* ram_file(const char* path, const std::string& content, bool folder = false) {
        buffer* b = create_buffer_from_str(path);
        pfile* f = pfile_insert(b, PFILE_KIND_RAM, b);
        if (!f) return nullptr;
        f->data = create_buffer_2((int32_t)content.size(), 105);
        bwrite(content.data(), 1, (int64_t)content.size(), f->data);
        if (folder) f->flags |= PFILE_FLAG_FOLDER;
        return f;
    }
};

TEST_F(Mounts, DeepestMountWinsAndEarlierAmongEquals) {
    boot();
    EXPECT_EQ(pdisk_mount(1)->mount_point->length, 0);  // "/" becomes the empty mount point
    resolved r = resolve("/docs/a.txt");
    EXPECT_EQ(r.origin, drive + "/docs/a.txt");
    EXPECT_EQ(r.kind, MOUNT_KIND_HOST);
    r = resolve("/ram/x");
    EXPECT_EQ(r.origin, "/ram/x");
    EXPECT_EQ(r.kind, MOUNT_KIND_RAM);
    // /rambo is not under /ram.
    r = resolve("/rambo");
    EXPECT_EQ(r.origin, drive + "/rambo");
    EXPECT_EQ(r.kind, MOUNT_KIND_HOST);

    std::string a = tmp / "a", b = tmp / "b";
    ASSERT_EQ(mount_host_path("/h", a.c_str()), 0);
    ASSERT_EQ(mount_host_path("/h/", b.c_str()), 0);
    EXPECT_EQ(resolve("/h/f").origin, a + "/f");
    EXPECT_EQ(resolve("/h").origin, a);
    EXPECT_EQ(get_path_parent_match_depth("/h/q", "/h/q/r"), 2);
    EXPECT_EQ(get_path_parent_match_depth("/", "/anything"), 0);
    EXPECT_EQ(get_path_parent_match_depth("", "/x"), 0);
    EXPECT_EQ(get_path_parent_match_depth("", "bbs://x"), -1);
    EXPECT_EQ(get_path_parent_match_depth("/h", "/hx"), -1);

    EXPECT_STREQ(get_mount_description("/h"), ("host:" + a).c_str());
    EXPECT_STREQ(get_mount_description("/ram"), "/ram");
    EXPECT_EQ(get_mount_description("/nowhere"), nullptr);
}

TEST_F(Mounts, RootMountsJoinWithOneSeparator) {
    // A RAM root at "/" and a host mount of the host's own root.
    ASSERT_EQ(mount_ram_folder("/"), 0);
    EXPECT_EQ(resolve("/a/b").origin, "/a/b");
    EXPECT_EQ(resolve("/").origin, "/");
    ASSERT_EQ(mount_host_path("/hostroot", "/"), 0);
    EXPECT_EQ(resolve("/hostroot/etc").origin, "/etc");
    EXPECT_EQ(resolve("/hostroot").origin, "/");
    // A path mount at "/" onto a host folder.
    pfile_reset();
    ASSERT_EQ(mount_host_path("/d", drive.c_str()), 0);
    ASSERT_NE(mount_p_path("/", "/d"), nullptr);
    EXPECT_EQ(resolve("/x/y").origin, drive + "/x/y");
}

TEST_F(Mounts, RamCartridgeMountsOnFirstUse) {
    boot();
    ASSERT_NE(ram_file("/ram/cart.hvx", "not really a cartridge"), nullptr);
    resolved r = resolve("/ram/cart.hvx/main.lua");
    EXPECT_EQ(r.kind, MOUNT_KIND_RAM);
    pmount* m = get_mount_by_mount_point("/ram/cart.hvx", 0);
    ASSERT_NE(m, nullptr);
    std::string origin = to_cstr(m->origin);
    EXPECT_EQ(origin.rfind("/ram/mount/m", 0), 0u) << origin;
    EXPECT_EQ(r.origin, origin + "/main.lua");
    EXPECT_EQ(get_path_parent_match_depth("/ram/cart.hvx", "/ram/cart.hvx/main.lua"), 2);
    // The cartridge file itself, past its own mount.
    r = resolve("/ram/cart.hvx", 1);
    EXPECT_EQ(r.origin, "/ram/cart.hvx");
    EXPECT_EQ(r.kind, MOUNT_KIND_RAM);
    // The folder exists as a RAM folder; a second path through it mounts nothing new.
    int n = pdisk_num_mounts();
    EXPECT_EQ(pdisk_directory_exists("/ram/cart.hvx", 1), 1);
    resolve("/ram/cart.hvx/other.lua");
    EXPECT_EQ(pdisk_num_mounts(), n);
    // The file did not load: the mount may never be written over it.
    EXPECT_EQ(m->no_write_back, 1);
}

TEST_F(Mounts, HostCartridgesAndNonCandidates) {
    boot();
    ASSERT_TRUE(hvx_test::write_file(drive + "/c.hvx.png", "png bytes"));
    ASSERT_TRUE(hvx_test::write_file(drive + "/new.hvx", ""));
    mkdir((drive + "/dir.hvx").c_str(), 0755);
    resolve("/c.hvx.png/label.png");
    pmount* m = get_mount_by_mount_point("/c.hvx.png", 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->kind, MOUNT_KIND_RAM);
    EXPECT_EQ(m->no_write_back, 1);
    // A text cartridge of a version no reader knows.
    ASSERT_TRUE(hvx_test::write_file(drive + "/v3.hvx", "halvoran cartridge\nversion 3\n\nmain.lua\n"));
    resolve("/v3.hvx/main.lua");
    m = get_mount_by_mount_point("/v3.hvx", 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->no_write_back, 1);
    // An empty file holds nothing that a write-back could destroy.
    resolve("/new.hvx/main.lua");
    m = get_mount_by_mount_point("/new.hvx", 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->no_write_back, 0);
    // A folder with a cartridge name, a missing file and ".hvx" alone are not mounted.
    resolve("/dir.hvx/x");
    resolve("/missing.hvx/x");
    resolve("/.hvx/x");
    EXPECT_EQ(get_mount_by_mount_point("/dir.hvx", 0), nullptr);
    EXPECT_EQ(get_mount_by_mount_point("/missing.hvx", 0), nullptr);
    EXPECT_EQ(get_mount_by_mount_point("/.hvx", 0), nullptr);
    EXPECT_EQ(resolve("/dir.hvx/x").origin, drive + "/dir.hvx/x");
}

TEST_F(Mounts, PathMountKeepsItsOriginAndRefusesEmptyTargets) {
    boot();
    pmount* m = mount_p_path("/a", "/b");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->kind, MOUNT_KIND_HOST);
    std::string other = tmp / "other";
    ASSERT_EQ(mount_host_path("/b", other.c_str()), 0);
    EXPECT_EQ(resolve("/a/x").origin, drive + "/b/x");
    EXPECT_EQ(resolve("/b/x").origin, other + "/x");

    int n = pdisk_num_mounts();
    EXPECT_EQ(mount_p_path("/m", ""), nullptr);
    EXPECT_EQ(mount_p_path("/m", "a b"), nullptr);
    EXPECT_EQ(mount_p_path("a b", "/b"), nullptr);
    EXPECT_EQ(mount_host_path("/m", ""), 1);
    EXPECT_EQ(mount_host_path("/m", nullptr), 1);
    EXPECT_EQ(mount_ram_folder("no good"), 1);
    EXPECT_EQ(pdisk_num_mounts(), n);
    // Without a mount at /m, /m/etc/passwd stays inside the drive.
    EXPECT_EQ(resolve("/m/etc/passwd").origin, drive + "/m/etc/passwd");
}

TEST_F(Mounts, UnresolvablePathsFailTheCallOnly) {
    // Nothing mounted at "/": a path outside every mount.
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    resolved r = resolve("/elsewhere");
    EXPECT_EQ(r.origin, "");
    EXPECT_EQ(r.kind, 0);
    EXPECT_EQ(resolve("not legal!").kind, 0);
    // A raw relative working folder: the next relative path fails, no more.
    boot();
    pdisk_set_working_folder_source([]() -> const char* { return "rel/dir"; });
    r = resolve("file.txt");
    EXPECT_EQ(r.origin, "");
    EXPECT_EQ(r.kind, 0);
    pdisk_set_working_folder_source([]() -> const char* { return "../.."; });
    r = resolve("etc/passwd");
    EXPECT_EQ(r.kind, 0);
    EXPECT_EQ(pdisk_directory_exists("x", 1), 0);
    pdisk_set_working_folder_source(nullptr);
    EXPECT_EQ(resolve("/ok").kind, MOUNT_KIND_HOST);
}

// Random paths full of "..", "." and doubled slashes under a host mount never
// resolve to a host path outside some mount's origin.
TEST_F(Mounts, TraversalNeverLeavesTheMount) {
    std::string h = tmp / "h";
    ASSERT_EQ(mount_host_path("/h", h.c_str()), 0);
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    std::mt19937 rng(7);
    const char* parts[] = {"..", ".", "", "x", "h", "etc", "...", "..x", "passwd", "#", "a#/../.."};
    for (int i = 0; i < 5000; i++) {
        std::string p = (rng() % 4) ? "/h" : "";
        int n = 1 + rng() % 8;
        for (int k = 0; k < n; k++) p += "/" + std::string(parts[rng() % 11]);
        resolved r = resolve(p.c_str());
        if (r.kind == MOUNT_KIND_HOST) {
            ASSERT_TRUE(r.origin == h || r.origin.rfind(h + "/", 0) == 0) << p << " -> " << r.origin;
            ASSERT_EQ(r.origin.find("/../"), std::string::npos) << p;
            ASSERT_FALSE(r.origin.size() >= 3 && r.origin.compare(r.origin.size() - 3, 3, "/..") == 0) << p;
        } else if (r.kind == 0) {
            ASSERT_EQ(r.origin, "");
        }
    }
}

// The path operations normalise once and resolve the result: that must give
// what resolving the raw path gives, whatever the working folder.
TEST_F(Mounts, NormalisedPathResolvesAsTheRawOne) {
    boot();
    std::string h = tmp / "h";
    ASSERT_EQ(mount_host_path("/h", h.c_str()), 0);
    ASSERT_EQ(mount_ram_folder("/h/r"), 0);
    static const char* pwd = "/";
    pdisk_set_working_folder_source([]() -> const char* { return pwd; });
    std::mt19937 rng(11);
    const char* parts[] = {"..", ".", "", "x", "h", "r", "ram", "a.hvx", "..x", "#y"};
    const char* pwds[] = {"/", "/h", "/h/r/q", "rel/dir", "/ram"};
    int resolved_some = 0;
    for (int i = 0; i < 3000; i++) {
        pwd = pwds[rng() % 5];
        std::string p = (rng() % 3) ? "/" : "";
        int n = 1 + rng() % 6;
        for (int k = 0; k < n; k++) p += (k ? "/" : "") + std::string(parts[rng() % 10]);
        buffer* np = normalise_halvoran_path(p.c_str());
        if (!np) continue;
        for (int skip = 0; skip < 2; skip++) {
            resolved a = resolve(p.c_str(), skip);
            int kind = 12345;
            buffer* b = resolve_normalised_to_origin(to_cstr(np), &kind, skip);
            ASSERT_EQ(std::string((const char*)b->data, (size_t)b->length), a.origin) << p << " in " << pwd;
            ASSERT_EQ(kind, a.kind) << p << " in " << pwd;
            resolved_some += kind != 0;
            destroy_buffer(b);
        }
        destroy_buffer(np);
    }
    EXPECT_GT(resolved_some, 1000);
}

TEST_F(Mounts, TableFilledToCapacityRefusesMore) {
    boot();
    int refused = 0;
    for (int i = 0; i < 9000; i++) {
        char mp[32];
        snprintf(mp, sizeof mp, "/m%d", i);
        refused += mount_host_path(mp, "/tmp/none");
    }
    EXPECT_EQ(pdisk_num_mounts(), PMOUNT_LIMIT);
    EXPECT_EQ(refused, 9000 + 2 - PMOUNT_LIMIT);
    EXPECT_EQ(mount_ram_folder("/more"), 1);
    EXPECT_EQ(mount_p_path("/more", "/ram"), nullptr);
    EXPECT_EQ(resolve("/m8186/f").origin, "/tmp/none/f");
    EXPECT_EQ(resolve("/m8187/f").origin, drive + "/m8187/f");  // never mounted
    // A cartridge can not mount either, and nothing under it is served: the
    // RAM folder around it holds no file of that name to fall through to.
    ASSERT_NE(ram_file("/ram/c.hvx", "x"), nullptr);
    EXPECT_EQ(resolve("/ram/c.hvx/main.lua").origin, "");
    EXPECT_EQ(resolve("/ram/c.hvx/main.lua").kind, 0);
    EXPECT_EQ(resolve("/ram/c.hvx", 1).origin, "/ram/c.hvx");  // its file still reads
    EXPECT_NE(pmkdir("/ram/new.hvx"), 0);
    EXPECT_EQ(get_mount_by_mount_point("/ram/new.hvx", 0), nullptr);
    prune_mounts();
    EXPECT_LE(pdisk_num_mounts(), PMOUNT_LIMIT);
}

// The linear walks the indexed lookups replaced: the reference they must match.
int reference_point_winner(const std::string& p, bool skip_exact) {
    int best = -1, win = -1;
    for (int i = 0; i < pdisk_num_mounts(); i++) {
        std::string mp((const char*)pdisk_mount(i)->mount_point->data, pdisk_mount(i)->mount_point->length);
        if (skip_exact && mp == p) continue;
        int d;
        if (mp == "/") {
            if (p.empty() || p[0] != '/') continue;
            d = 0;
        } else {
            d = get_path_parent_match_depth(mp.c_str(), p.c_str());
        }
        if (d > best) best = d, win = i;
    }
    return win;
}

int reference_dirty_winner(const std::string& ram_path) {
    int best = -1, win = -1;
    for (int i = 0; i < pdisk_num_mounts(); i++) {
        const pmount* m = pdisk_mount(i);
        if (m->kind != MOUNT_KIND_RAM) continue;
        int d = get_path_parent_match_depth(to_cstr(m->origin), ram_path.c_str());
        if (d > best) best = d, win = i;
    }
    return win;
}

const pmount* reference_cart_of_origin(const std::string& ram_path) {
    if (ram_path.rfind("/ram/mount/", 0) != 0) return nullptr;
    const pmount* best = nullptr;
    for (int i = 0; i < pdisk_num_mounts(); i++) {
        const pmount* m = pdisk_mount(i);
        const char* o = to_cstr(m->origin);
        if (m->kind != MOUNT_KIND_RAM || strncmp(o, "/ram/mount/", 11) != 0 || !hvx_path_kind(to_cstr(m->mount_point)))
            continue;
        if (!ram_path_is_inside_origin(ram_path.c_str(), o, 1)) continue;
        if (!best || m->origin->length > best->origin->length) best = m;
    }
    return best;
}

const pmount* reference_cart_at_or_above(const std::string& path) {
    const pmount* named = nullptr;
    for (int i = 0; i < pdisk_num_mounts(); i++) {
        const pmount* m = pdisk_mount(i);
        if (!hvx_path_kind(to_cstr(m->mount_point)) || get_path_parent_match_depth(to_cstr(m->mount_point), path.c_str()) < 0)
            continue;
        if (!named || m->depth > named->depth) named = m;
    }
    return named;
}

// Random tables (raw host mount points with doubled and trailing slashes,
// RAM path mounts, cartridge-named points on cartridge folders, repeats of
// one point), changed by additions, removals and resets: every lookup gives
// what the walk over the table gives.
TEST_F(Mounts, IndexedLookupsMatchTheWalkOverTheTable) {
    pdisk_block_automounting(1);
    std::mt19937 rng(5);
    const char* segs[] = {"a", "b", "ram", "mount", "m1", "m2", "c.hvx", "x"};
    auto random_path = [&](bool raw) {
        std::string p;
        int n = (int)(rng() % 5);
        for (int k = 0; k < n; k++) {
            p += "/";
            if (raw && rng() % 8 == 0) p += "/";
            p += segs[rng() % 8];
        }
        if (raw && rng() % 8 == 0) p += "/";
        return p.empty() ? std::string("/") : p;
    };
    int checked = 0, won = 0;
    for (int round = 0; round < 6; round++) {
        pfile_reset();
        ASSERT_EQ(mount_ram_folder("/ram"), 0);
        // Every absolute path is served: by the host drive or by a RAM root at "/".
        if (round % 2) ASSERT_EQ(mount_host_path("/", "/host"), 0);
        else ASSERT_EQ(mount_ram_folder("/"), 0);
        for (int step = 0; step < 400; step++) {
            int op = (int)(rng() % 10);
            if (op < 3) {
                mount_host_path(random_path(true).c_str(), ("/h" + std::to_string(rng() % 4)).c_str());
            } else if (op < 6) {
                std::string point = random_path(false);
                if (rng() % 3 == 0) point += ".hvx";
                std::string target = "/ram/mount/m" + std::to_string(rng() % 3) + (rng() % 2 ? "/x" : "");
                mount_p_path(point.c_str(), rng() % 4 ? target.c_str() : "/ram");
            } else if (op < 8 && pdisk_num_mounts() > 2) {
                delete_mount_entry(1 + (int)(rng() % (pdisk_num_mounts() - 1)));
            }
            for (int q = 0; q < 8; q++) {
                std::string p = random_path(false);
                if (rng() % 2) p = "/ram/mount/m" + std::to_string(rng() % 3) + (rng() % 2 ? p : "");
                for (int skip = 0; skip < 2; skip++) {
                    int want = reference_point_winner(p, skip);
                    if (want < 0) continue;  // an unserved path: the fatal report, tested elsewhere
                    int kind = 0;
                    buffer* b = resolve_normalised_to_origin(p.c_str(), &kind, skip);
                    if (want < 0) {
                        ASSERT_EQ(kind, 0) << p;
                    } else {
                        ASSERT_EQ(kind, pdisk_mount(want)->kind) << p;
                        const std::string mp = to_cstr(pdisk_mount(want)->mount_point);
                        std::string rest = mp == "/" ? p : p.substr(mp.size());
                        std::string o = to_cstr(pdisk_mount(want)->origin);
                        if (!o.empty() && o.back() == '/' && !rest.empty() && rest[0] == '/') rest.erase(0, 1);
                        ASSERT_EQ(std::string(to_cstr(b)), o + rest) << p << " skip " << skip;
                        won++;
                    }
                    destroy_buffer(b);
                }
                for (int i = 0; i < pdisk_num_mounts(); i++) pdisk_mount(i)->dirty = 0, pdisk_mount(i)->flush_due = 0;
                std::string ram = rng() % 8 ? p : p.substr(1);  // a relative one now and then
                // The mount serving the path, and the cartridge that holds it.
                int want = reference_dirty_winner(ram);
                const pmount* cart = want >= 0 ? reference_cart_of_origin(ram) : nullptr;
                mark_parent_mount_dirty(ram.c_str());
                for (int i = 0; i < pdisk_num_mounts(); i++)
                    ASSERT_EQ(pdisk_mount(i)->dirty, i == want || pdisk_mount(i) == cart ? 1 : 0) << ram;
                ASSERT_EQ(cart_mount_of_origin(p.c_str()), reference_cart_of_origin(p)) << p;
                ASSERT_EQ(cart_mount_at_or_above(p.c_str()), reference_cart_at_or_above(p)) << p;
                std::string point = random_path(rng() % 2);
                const pmount* first = nullptr;
                for (int i = 0; i < pdisk_num_mounts() && !first; i++)
                    if (to_cstr(pdisk_mount(i)->mount_point) == point && pdisk_mount(i)->kind == MOUNT_KIND_RAM)
                        first = pdisk_mount(i);
                ASSERT_EQ(get_mount_by_mount_point(point.c_str(), MOUNT_KIND_RAM), first) << point;
                checked++;
            }
        }
    }
    pdisk_block_automounting(0);
    EXPECT_GT(won, checked / 2);
}

// A full table makes room for a cartridge by dropping the least recently
// used mount a prune would drop: a clean one before any dirty one.
TEST_F(Mounts, FullTableDropsTheLeastRecentlyUsedCleanCartridge) {
    boot();
    for (int i = pdisk_num_mounts(); i < PMOUNT_LIMIT - 3; i++)
        ASSERT_EQ(mount_host_path(("/h" + std::to_string(i)).c_str(), "/tmp/none"), 0);
    const char* carts[] = {"/ram/p.hvx", "/ram/q.hvx", "/ram/r.hvx", "/ram/s.hvx", "/ram/t.hvx"};
    for (const char* c : carts) ASSERT_NE(ram_file(c, ""), nullptr);
    auto mounted = [](const char* c) { return get_mount_by_mount_point(c, 0) != nullptr; };
    resolve("/ram/p.hvx/f");
    resolve("/ram/q.hvx/f");
    resolve("/ram/r.hvx/f");
    ASSERT_EQ(pdisk_num_mounts(), PMOUNT_LIMIT);
    std::string q_origin = to_cstr(get_mount_by_mount_point("/ram/q.hvx", 0)->origin);
    mark_parent_mount_dirty((q_origin + "/f").c_str());
    get_mount_by_mount_point("/ram/q.hvx", 0)->flush_due = UINT64_MAX;  // not due: stays dirty
    resolve("/ram/p.hvx/g");  // p is used again: r is now the least recent clean one
    resolve("/ram/s.hvx/f");
    EXPECT_TRUE(mounted("/ram/p.hvx") && mounted("/ram/q.hvx") && mounted("/ram/s.hvx"));
    EXPECT_FALSE(mounted("/ram/r.hvx"));
    // The dirty q is older than p, but p is clean.
    resolve("/ram/t.hvx/f");
    EXPECT_FALSE(mounted("/ram/p.hvx"));
    EXPECT_TRUE(mounted("/ram/q.hvx") && mounted("/ram/t.hvx"));
    EXPECT_EQ(pdisk_num_mounts(), PMOUNT_LIMIT);
    // While a caller holds the table, nothing is dropped and the mount is refused.
    pdisk_hold_mounts(1);
    resolve("/ram/r.hvx/f");
    pdisk_hold_mounts(0);
    EXPECT_FALSE(mounted("/ram/r.hvx"));
    EXPECT_TRUE(mounted("/ram/s.hvx"));
    // Path mounts are never dropped for room; the host drive still serves.
    EXPECT_NE(get_mount_by_mount_point("/h10", 0), nullptr);
}

// An ordinary process stops short of the entries kept for the system
// processes, its cartridges too (opened, made or reached through a path);
// a system process goes on into them.
TEST_F(Mounts, LastEntriesAreKeptForTheSystem) {
    boot();
    static Process fake{};
    fake.id = 7;
    fake.program_id = 7;
    cproc = &fake;
    const int user_limit = PMOUNT_LIMIT - PMOUNT_SYSTEM_RESERVE;
    ASSERT_NE(ram_file("/ram/a.hvx", ""), nullptr);
    ASSERT_NE(ram_file("/ram/c.hvx", ""), nullptr);
    for (int i = pdisk_num_mounts(); i < user_limit - 1; i++)
        ASSERT_EQ(mount_host_path(("/u" + std::to_string(i)).c_str(), "/tmp/u"), 0);
    // The last ordinary entry goes to a cartridge, which can then make room
    // for another by being dropped, clean as it is.
    EXPECT_EQ(resolve("/ram/a.hvx/f").kind, MOUNT_KIND_RAM);
    EXPECT_EQ(pdisk_num_mounts(), user_limit);
    EXPECT_EQ(resolve("/ram/c.hvx/f").kind, MOUNT_KIND_RAM);
    EXPECT_EQ(get_mount_by_mount_point("/ram/a.hvx", 0), nullptr);
    get_mount_by_mount_point("/ram/c.hvx", 0)->dirty = 1;
    get_mount_by_mount_point("/ram/c.hvx", 0)->flush_due = UINT64_MAX;
    app.atomic_pid = 7;  // its write-back waits: nothing can be dropped
    for (const char* refused : {"/ram/a.hvx/f", "/ram/a.hvx/sub/g"}) {
        resolved r = resolve(refused);
        EXPECT_EQ(r.origin, "") << refused;
        EXPECT_EQ(r.kind, 0) << refused;
    }
    EXPECT_NE(pmkdir("/ram/n.hvx"), 0);
    EXPECT_EQ(mount_hvx_path("/ram/a.hvx"), nullptr);
    EXPECT_EQ(mount_host_path("/u", "/tmp/u"), 1);
    EXPECT_EQ(pdisk_num_mounts(), user_limit);
    fake.id = 2;
    EXPECT_EQ(resolve("/ram/a.hvx/f").kind, MOUNT_KIND_RAM);
    EXPECT_EQ(pmkdir("/ram/n.hvx"), 0);
    EXPECT_EQ(mount_host_path("/sys", "/tmp/s"), 0);
    cproc = nullptr;
    EXPECT_EQ(mount_host_path("/host", "/tmp/s"), 0);
    EXPECT_EQ(pdisk_num_mounts(), user_limit + 4);
    app.atomic_pid = 0;
}

TEST_F(Mounts, DirtyMarkingKeepsTheFirstDueTime) {
    boot();
    ASSERT_NE(ram_file("/ram/g.hvx", ""), nullptr);
    resolve("/ram/g.hvx/a.lua");
    pmount* m = get_mount_by_mount_point("/ram/g.hvx", 0);
    ASSERT_NE(m, nullptr);
    std::string origin = to_cstr(m->origin);
    // A host mount whose Linux origin looks like the cartridge's RAM folder.
    ASSERT_EQ(mount_host_path("/decoy", origin.c_str()), 0);
    uint64_t t0 = os_get_time();
    mark_parent_mount_dirty((origin + "/a.lua").c_str());
    m = get_mount_by_mount_point("/ram/g.hvx", 0);
    EXPECT_EQ(m->dirty, 1);
    uint64_t due = m->flush_due;
    EXPECT_GE(due, t0 + MOUNT_FLUSH_DELAY_MS);
    EXPECT_LE(due, os_get_time() + MOUNT_FLUSH_DELAY_MS);
    os_sleep(30);
    mark_parent_mount_dirty((origin + "/b.lua").c_str());
    EXPECT_EQ(m->flush_due, due);
    EXPECT_EQ(get_mount_by_mount_point("/decoy", 0)->dirty, 0);
    // A RAM path outside every cartridge marks the RAM root.
    mark_parent_mount_dirty("/ram/plain.txt");
    pmount* root = get_mount_by_mount_point("/ram", 0);
    EXPECT_EQ(root->dirty, 1);
    // A folder has nothing to write back: once due it stays dirty (kept from
    // pruning) and is never due again, so no frame looks at it for this.
    root->flush_due = 1;
    EXPECT_EQ(flush_dirty_mounts_delayed(), 0);
    EXPECT_EQ(root->dirty, 1);
    EXPECT_EQ(root->flush_due, UINT64_MAX);
}

TEST_F(Mounts, CleanCartridgeMountsArePrunedHostLookalikesAreNot) {
    boot();
    ASSERT_NE(ram_file("/ram/p.hvx", "x"), nullptr);
    ASSERT_NE(ram_file("/ram/q.hvx", "x"), nullptr);
    resolve("/ram/p.hvx/main.lua");
    resolve("/ram/q.hvx/main.lua");
    pmount* q = get_mount_by_mount_point("/ram/q.hvx", 0);
    ASSERT_NE(q, nullptr);
    std::string q_origin = to_cstr(q->origin);
    std::string p_origin = to_cstr(get_mount_by_mount_point("/ram/p.hvx", 0)->origin);
    ASSERT_NE(ram_file((p_origin + "/main.lua").c_str(), "print(1)"), nullptr);
    mark_parent_mount_dirty((q_origin + "/main.lua").c_str());
    ASSERT_EQ(mount_host_path("/hostcart", "/ram/mount/zz"), 0);
    ASSERT_EQ(mount_ram_folder("/ram/bbs/c1"), 0);
    ASSERT_EQ(mount_ram_folder("/ram/anywhen/5_a"), 0);
    ASSERT_EQ(mount_ram_folder("/ram/anywhen/51_a"), 0);

    prune_process_mounts(5);
    EXPECT_EQ(get_mount_by_mount_point("/ram/anywhen/5_a", 0), nullptr);
    EXPECT_NE(get_mount_by_mount_point("/ram/anywhen/51_a", 0), nullptr);

    delete_clean_ram_mounts();
    EXPECT_EQ(get_mount_by_mount_point("/ram/p.hvx", 0), nullptr);
    EXPECT_EQ(get_ram_file_by_name((p_origin + "/main.lua").c_str()), nullptr);
    EXPECT_NE(get_mount_by_mount_point("/ram/q.hvx", 0), nullptr);  // dirty
    EXPECT_NE(get_mount_by_mount_point("/hostcart", 0), nullptr);   // host kind
    EXPECT_EQ(get_mount_by_mount_point("/ram/bbs/c1", 0), nullptr);
    EXPECT_EQ(get_mount_by_mount_point("/ram/anywhen/51_a", 0), nullptr);
    EXPECT_NE(get_mount_by_mount_point("/ram", 0), nullptr);

    EXPECT_EQ(delete_mount_point("/ram/q.hvx"), 1);
    EXPECT_EQ(delete_mount_point("/ram/q.hvx"), 0);
    EXPECT_EQ(get_ram_file_by_name(q_origin.c_str()), nullptr);
}

TEST_F(Mounts, FolderTests) {
    boot();
    mkdir((drive + "/hd").c_str(), 0755);
    ASSERT_TRUE(hvx_test::write_file(drive + "/file.txt", "x"));
    ASSERT_NE(ram_file("/ram/folder", "", true), nullptr);
    ASSERT_NE(ram_file("/ram/plain", "x"), nullptr);
    EXPECT_EQ(pdisk_directory_exists("/hd", 1), 1);
    EXPECT_EQ(pdisk_directory_exists("/file.txt", 1), 0);
    EXPECT_EQ(pdisk_directory_exists("/ram/folder", 0), 1);
    EXPECT_EQ(pdisk_directory_exists("/ram/plain", 1), 0);
    EXPECT_EQ(pdisk_directory_exists("/ram", 0), 0);  // no record; the RAM root counts with mounts
    EXPECT_EQ(pdisk_directory_exists("/ram", 1), 1);
    EXPECT_EQ(pdisk_directory_exists("bad path", 1), 0);
    EXPECT_EQ(pdisk_host_directory_exists("/hd"), 1);
    EXPECT_EQ(host_directory_exists(drive.c_str()), 1);
    EXPECT_EQ(host_directory_exists((drive + "/file.txt").c_str()), 0);
    EXPECT_EQ(host_directory_exists(""), 0);
}

TEST_F(Mounts, PruneThresholdGrowsToItsCapAndShrinksBack) {
    boot();
    EXPECT_EQ(prune_threshold(), PRUNE_THRESHOLD_MIN);
    std::vector<int> seen;
    int next = 0;
    while (seen.size() < 12) {
        int t = prune_threshold();
        while (pdisk_num_pfiles() <= t) {
            char name[32];
            snprintf(name, sizeof name, "/ram/f%07d", next++);
            ASSERT_NE(ram_file(name, ""), nullptr);
        }
        prune_mounts();
        seen.push_back(prune_threshold());
    }
    std::vector<int> want = {6144, 9216, 13824, 20736, 31104, 46656, 69984, 104976, 157464, 229376, 229376, 229376};
    EXPECT_EQ(seen, want);
    // Files released and the table crowded with mounts: every prune is a
    // heavy one, and the threshold shrinks by a quarter down to its floor.
    buffer* ram = create_buffer_from_str("/ram");
    delete_ram_files_in_path(ram);
    destroy_buffer(ram);
    prune_mounts();
    EXPECT_EQ(prune_threshold(), 229376);  // light prune: nothing to adjust
    for (int i = 0; i < PMOUNT_PRUNE_HEAVY; i++) {
        char mp[32];
        snprintf(mp, sizeof mp, "/hm%d", i);
        ASSERT_EQ(mount_host_path(mp, "/tmp/none"), 0);
    }
    std::vector<int> down;
    for (int i = 0; i < 16; i++) {
        prune_mounts();
        down.push_back(prune_threshold());
    }
    EXPECT_EQ(pdisk_num_pfiles(), 0);
    EXPECT_EQ(std::vector<int>(down.begin(), down.begin() + 4), (std::vector<int>{172032, 129024, 96768, 72576}));
    EXPECT_EQ(down[12], 5448);
    EXPECT_EQ(down[13], PRUNE_THRESHOLD_MIN);
    EXPECT_EQ(down[15], PRUNE_THRESHOLD_MIN);
}

}  // namespace

namespace {

bool write_path(const char* path, const std::string& text, pfile** keep_open = nullptr) {
    pfile* f = pfopen(path, "w");
    if (!f) return false;
    bool ok = pfwrite(text.data(), 1, (int64_t)text.size(), f) == (int64_t)text.size();
    if (keep_open) *keep_open = f;
    else ok = pfclose(f) == 0 && ok;
    return ok;
}

std::string read_path(const char* path) {
    buffer* b = pfile_read_all(path, "r");
    std::string s = b ? std::string((const char*)b->data, (size_t)b->length) : "<none>";
    destroy_buffer(b);
    return s;
}

}  // namespace

// A cartridge that a mount of a folder inside it, or a file open under it,
// still reaches is not dropped by a prune nor for room: what is written
// through the mount or the file reaches the cartridge's file. Once nothing
// reaches it any more it goes as any clean cartridge does.
TEST_F(Mounts, CartridgeReachedFromInsideIsNotDropped) {
    struct row {
        const char* name;
        bool open_file;
        bool for_room;
    };
    for (row r : {row{"inner mount, prune", false, false}, row{"inner mount, room", false, true},
                  row{"open file, prune", true, false}, row{"open file, room", true, true}}) {
        SCOPED_TRACE(r.name);
        pfile_reset();
        boot();
        ASSERT_EQ(pmkdir("/pc.hvx"), 0);
        ASSERT_TRUE(write_path("/pc.hvx/sub/a.txt", "A"));
        flush_dirty_mounts_immediately();
        ASSERT_EQ(get_mount_by_mount_point("/pc.hvx", 0)->dirty, 0);
        pfile* open = nullptr;
        if (r.open_file) ASSERT_TRUE(write_path("/pc.hvx/sub/b.txt", "", &open));
        else ASSERT_NE(mount_p_path("/pm", "/pc.hvx/sub"), nullptr);
        // An unrelated clean cartridge, the one that goes instead.
        ASSERT_NE(ram_file("/ram/q.hvx", ""), nullptr);
        resolve("/ram/q.hvx/f");
        if (r.for_room) {
            for (int i = pdisk_num_mounts(); i < PMOUNT_LIMIT; i++)
                ASSERT_EQ(mount_host_path(("/h" + std::to_string(i)).c_str(), "/tmp/none"), 0);
            resolve("/pc.hvx/sub/a.txt");  // pc is the more recently used
            ASSERT_NE(ram_file("/ram/n.hvx", ""), nullptr);
            resolve("/ram/n.hvx/f");
            EXPECT_NE(get_mount_by_mount_point("/ram/n.hvx", 0), nullptr);
            EXPECT_EQ(get_mount_by_mount_point("/ram/q.hvx", 0), nullptr);
            resolve("/ram/q.hvx/f");  // pc is the least recently used now, but n goes
            EXPECT_NE(get_mount_by_mount_point("/ram/q.hvx", 0), nullptr);
            EXPECT_EQ(get_mount_by_mount_point("/ram/n.hvx", 0), nullptr);
        } else {
            delete_clean_ram_mounts();
            EXPECT_EQ(get_mount_by_mount_point("/ram/q.hvx", 0), nullptr);
        }
        ASSERT_NE(get_mount_by_mount_point("/pc.hvx", 0), nullptr);
        if (r.open_file) {
            ASSERT_EQ(pfwrite("B", 1, 1, open), 1);
            ASSERT_EQ(pfclose(open), 0);
        } else {
            EXPECT_EQ(read_path("/pm/a.txt"), "A");
            ASSERT_TRUE(write_path("/pm/b.txt", "B"));
        }
        flush_dirty_mounts_immediately();
        // Nothing reaches it now: it goes, and its file holds the write.
        EXPECT_EQ(delete_mount_point("/pm"), r.open_file ? 0 : 1);
        delete_clean_ram_mounts();
        EXPECT_EQ(get_mount_by_mount_point("/pc.hvx", 0), nullptr);
        EXPECT_EQ(read_path("/pc.hvx/sub/b.txt"), "B");
        EXPECT_EQ(read_path("/pc.hvx/sub/a.txt"), "A");
    }
}

// A new cartridge mount is charged its folder operations, its file's bytes
// at the read rate and, besides, what the file unpacks to (a small file
// that unpacks large pays for that) and, from the host drive, the host read.
TEST_F(Mounts, NewCartridgeMountChargesItsFileAtTheReadRate) {
    auto noise = [](size_t n) {
        std::mt19937 rng(7);
        std::string s(n, 0);
        for (char& c : s) c = (char)rng();
        return s;
    };
    struct row {
        const char* name;
        std::string entry;  // one file's content, packed as a ROM cartridge
        bool on_host;
    };
    const row rows[] = {
        {"empty entry", "", false},
        {"1 KB noise", noise(1024), false},
        {"186 KB noise", noise(186 << 10), false},
        {"4 MB of zeros", std::string(4 << 20, '\0'), false},
        {"186 KB noise on the host", noise(186 << 10), true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        pfile_reset();
        boot();
        buffer* stream = create_buffer_2(1024, ROM_SCRATCH_KIND);
        ASSERT_EQ(rom_append_entry(stream, "f.bin", 0, (const uint8_t*)r.entry.data(), (int64_t)r.entry.size()), 0);
        buffer* rom = create_buffer_2(1024, ROM_SCRATCH_KIND);
        ASSERT_EQ(rom_pack(rom, stream->data, stream->length), 0);
        const int64_t file = rom->length, unpacked = stream->length;
        std::string bytes((const char*)rom->data, (size_t)file);
        destroy_buffer(rom);
        destroy_buffer(stream);
        const char* cart = r.on_host ? "/c.hvx.rom" : "/ram/c.hvx.rom";
        if (r.on_host) hvx_test::write_file(drive + "/c.hvx.rom", bytes);
        else ASSERT_NE(ram_file(cart, bytes), nullptr);
        cpu_cycles = 0;
        ASSERT_NE(mount_hvx_path(cart), nullptr);
        int64_t want = (int64_t)CART_MOUNT_FOLDER_OPS * HOST_FOLDER_OP_COST + file / CART_MOUNT_READ_BYTES_PER_CYCLE +
                       std::max<int64_t>(unpacked / CART_UNPACK_BYTES_PER_CYCLE, 1) + (r.on_host ? file / 8 : 0);
        EXPECT_EQ(cpu_cycles, want) << file << " bytes unpacking to " << unpacked;
        EXPECT_EQ(read_path((std::string(cart) + "/f.bin").c_str()).size(), r.entry.size());
        // A mount already standing costs nothing more.
        cpu_cycles = 0;
        ASSERT_NE(mount_hvx_path(cart), nullptr);
        EXPECT_EQ(cpu_cycles, 0);
    }
}

// Dropping clean mounts is paid by the entries looked at and the mounts
// dropped, and a frame's prune drops no more than its share: a table filled
// with clean cartridges empties over a few frames, not in one long one.
TEST_F(Mounts, CleanMountsDropAShareAFrameAndArePaid) {
    boot();
    const int carts = PRUNE_DROPS_PER_FRAME + PRUNE_DROPS_PER_FRAME / 2;
    for (int i = 0; i < carts; i++) {
        const std::string cart = "/ram/k" + std::to_string(i) + ".hvx";
        ASSERT_NE(ram_file(cart.c_str(), "x"), nullptr);
        resolve((cart + "/main.lua").c_str());
        ASSERT_NE(get_mount_by_mount_point(cart.c_str(), 0), nullptr);
    }
    struct row {
        int most, dropped;
    } rows[] = {{PRUNE_DROPS_PER_FRAME, PRUNE_DROPS_PER_FRAME}, {PRUNE_DROPS_PER_FRAME, carts - PRUNE_DROPS_PER_FRAME}, {PRUNE_DROPS_PER_FRAME, 0}};
    for (const row& r : rows) {
        const int64_t scanned = pdisk_num_mounts();
        cpu_cycles = 0;
        EXPECT_EQ(delete_clean_ram_mounts(r.most), r.dropped);
        EXPECT_EQ(cpu_cycles, scanned / MOUNTS_SCANNED_PER_CYCLE + (int64_t)r.dropped * MOUNT_DROP_COST);
    }
    EXPECT_EQ(get_mount_by_mount_point("/ram/k0.hvx", 0), nullptr);
}
