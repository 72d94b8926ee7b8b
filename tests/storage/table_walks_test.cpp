// The file table's walks: a listing, a delete, a folder's size and a
// cartridge's write look only at the records under the path they concern
// (counted by the table's visit counter), however many files stand around,
// and a listing answers as a walk over every record and mount would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "storage/storage.h"
#include "storage/storage_internal.h"
#include "tests/support/files_env.h"

namespace {

bool put(const std::string& path, const std::string& text = "") {
    pfile* f = pfopen(path.c_str(), "w");
    if (!f) return false;
    pfwrite(text.data(), 1, (int64_t)text.size(), f);
    return pfclose(f) == 0;
}

// n files in the folder, made in table order so that no insertion moves the
// table's tail.
void crowd(const std::string& folder, int n) {
    ASSERT_EQ(pmkdir(folder.c_str()), 0);
    char name[64];
    for (int i = 0; i < n; i++) {
        snprintf(name, sizeof name, "/f%06d.txt", i);
        ASSERT_TRUE(put(folder + name));
    }
}

struct measure {
    int64_t visited, cycles;
};
template <class F>
measure walk_of(F body) {
    int64_t v = pfile_records_visited();
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX / 2;
    body();
    return {pfile_records_visited() - v, cpu_cycles};
}

std::string listed(const char* path) {
    listing* l = create_listing();
    std::string out = pflist(path, nullptr, l) ? "" : "<none>";
    for (int i = 0; i < l->count; i++) out += std::string(i ? " " : "") + btext(l->items[i]);
    destroy_listing(l);
    return out;
}

// Beside 100,000 files in /ram/many, each call looks at no more records than
// its own path holds.
TEST(TableWalks, CallsBesideManyFilesVisitOnlyTheirOwnRecords) {
    hvx_test::files_env env;
    crowd("/ram/many", 100000);
    ASSERT_EQ(pmkdir("/ram/empty"), 0);
    crowd("/ram/small", 10);
    ASSERT_EQ(pmkdir("/ram/small/sub"), 0);
    ASSERT_TRUE(put("/ram/small/sub/deep.txt"));
    ASSERT_TRUE(put("/ram/a.txt", "x"));
    // Each is charged for no more than its own records, too.
    struct row {
        const char* what;
        void (*call)();
        int64_t most;  // records walked, besides two looked up by name
    } rows[] = {
        {"an empty folder's listing", [] { pflist("/ram/empty", nullptr, nullptr); }, 0},
        {"a file path's listing", [] { pflist("/ram/many/f000001.txt", nullptr, nullptr); }, 0},
        // 11 names, and one record of the subfolder's, whose rest is skipped.
        {"a small folder's listing", [] { pflist("/ram/small", nullptr, nullptr); }, 12},
        // /ram: a.txt, empty, many, small and one record under each nonempty folder.
        {"the listing around them", [] { pflist("/ram", nullptr, nullptr); }, 6},
        {"an empty folder's delete", [] { delete_path("/ram/empty"); }, 1},
        {"a file's delete", [] { delete_path("/ram/a.txt"); }, 0},
        // Its own record, the first under it (where the look for equal paths
        // stops), and its 12 records.
        {"a folder's delete", [] { delete_path("/ram/small"); }, 14},
    };
    for (const row& r : rows) {
        measure m = walk_of(r.call);
        EXPECT_LE(m.visited, r.most + 2) << r.what;
        EXPECT_LT(m.cycles, 1000) << r.what;
    }
    EXPECT_EQ(listed("/ram"), "many");
}

// A file deleted and made again beside many others takes the free entry it
// left: the table does not grow, so its tail is not moved.
TEST(TableWalks, AFileMadeAgainTakesItsFreeEntry) {
    hvx_test::files_env env;
    crowd("/ram/many", 3000);
    ASSERT_TRUE(put("/ram/a.txt", "x"));
    int entries = pdisk_num_pfiles();
    for (int i = 0; i < 5; i++) {
        delete_path("/ram/a.txt");
        ASSERT_TRUE(put("/ram/a.txt", "y"));
        ASSERT_EQ(pdisk_num_pfiles(), entries);
    }
    // Free entries after the place: the records between move up by one.
    delete_path("/ram/many/f000010.txt");
    delete_path("/ram/many/f000011.txt");
    ASSERT_TRUE(put("/ram/many/f000005x.txt", "z"));
    EXPECT_EQ(pdisk_num_pfiles(), entries);
    std::string names = listed("/ram/many");
    EXPECT_NE(names.find(" f000005.txt f000005x.txt f000006.txt "), std::string::npos);
    EXPECT_NE(names.find(" f000009.txt f000012.txt "), std::string::npos);
}

// 3,000 changed cartridges, each a RAM file with a file of its own,
// beside 20,000 other files: one flush writes every one looking only at
// their own records.
TEST(TableWalks, AFlushOfManyCartridgesVisitsTheirRecordsOnly) {
    hvx_test::files_env env;
    crowd("/ram/many", 20000);
    const int carts = 3000;
    for (int i = 0; i < carts; i++) {
        std::string c = "/ram/c" + std::to_string(i) + ".hvx";
        ASSERT_EQ(pmkdir(c.c_str()), 0);
        ASSERT_TRUE(put(c + "/main.lua", "print(" + std::to_string(i) + ")"));
    }
    int flushed = 0;
    measure m = walk_of([&] { flushed = flush_dirty_mounts_immediately(); });
    EXPECT_EQ(flushed, carts);
    // Its folder's size and its encoding each walk a cartridge's one file;
    // the rest are lookups by name.
    EXPECT_LE(m.visited, (int64_t)carts * 8);
    for (int i : {0, carts - 1}) {
        std::string c = "/ram/c" + std::to_string(i) + ".hvx";
        pfile* f = get_ram_file_by_name(c.c_str());
        ASSERT_NE(f, nullptr);
        EXPECT_NE(std::string((const char*)f->data->data, (size_t)f->data->length).find("print(" + std::to_string(i)),
                  std::string::npos);
    }
}

// The reference: the listing a plain walk over every record and every
// mount gives.
std::string reference_listing(const std::string& path) {
    int kind = 0;
    buffer* origin = resolve_to_origin(path.c_str(), &kind, 0);
    std::string o = btext(origin);
    destroy_buffer(origin);
    buffer* np = normalise_halvoran_path(path.c_str());
    std::string p = btext(np);
    destroy_buffer(np);
    std::string base = p == "/" ? "" : p;
    listing* names = create_listing();
    for (int i = 0; i < pdisk_num_pfiles(); i++) {
        const pfile* f = get_ram_file_by_index(i);
        if (!f || !f->origin) continue;
        const char* fo = btext(f->origin);
        if (strncmp(fo, o.c_str(), o.size()) != 0 || fo[o.size()] != '/') continue;
        const char* name = fo + o.size() + 1;
        if (!*name || strchr(name, '/') || name[0] == '.' || get_mount_by_mount_point(fo, 0)) continue;
        listing_add(names, create_buffer_from_str((std::string(name) + (f->flags & PFILE_FLAG_FOLDER ? "/" : "")).c_str()));
    }
    for (int i = 0; i < pdisk_num_mounts(); i++) {
        const char* mp = btext(pdisk_mount(i)->mount_point);
        if (strlen(mp) < 2 || strncmp(mp, base.c_str(), base.size()) != 0 || mp[base.size()] != '/') continue;
        const char* name = mp + base.size() + 1;
        if (!*name || strchr(name, '/')) continue;
        listing_add(names, create_buffer_from_str((std::string(name) + (get_ext(name)[0] ? "" : "/")).c_str()));
    }
    listing_sort(names);
    std::string out;
    for (int pass = 0; pass < 2; pass++) {
        std::string prev = "\n";
        for (int i = 0; i < names->count; i++) {
            std::string s = btext(names->items[i]);
            bool folder = s.back() == '/';
            if (folder != (pass == 0)) continue;
            if (folder) s.pop_back();
            if (s == prev) continue;
            prev = s;
            out += (out.empty() ? "" : " ") + s;
        }
    }
    destroy_listing(names);
    return out;
}

// Random trees of files, folders, hidden names and names sorting around the
// separator ('-' and '.' before '/', '0' after it), some of them deleted
// again and left as free entries, with plain and cartridge mounts among
// them: every folder, file and missing path lists as the reference does.
TEST(TableWalks, ListingsMatchAWalkOverEverything) {
    const char* parts[] = {"a", "a-b", "a.txt", "a0", "b", ".h", "c.hvx", "d", "a.b.c"};
    for (uint32_t seed = 1; seed <= 6; seed++) {
        hvx_test::files_env env;
        std::mt19937 rng(seed);
        std::vector<std::string> paths;
        for (int i = 0; i < 300; i++) {
            std::string p = "/ram/t";
            for (int depth = 1 + (int)(rng() % 3); depth > 0; depth--) p += "/" + std::string(parts[rng() % 9]);
            paths.push_back(p);
            switch (rng() % 5) {
            case 0: pmkdir(p.c_str()); break;
            case 1: delete_path(paths[rng() % paths.size()].c_str()); break;
            case 2: mount_p_path(p.c_str(), "/ram/t/a"); break;
            default: put(p, "x"); break;
            }
        }
        paths.push_back("/ram/t");
        paths.push_back("/ram");
        for (const std::string& p : paths) ASSERT_EQ(listed(p.c_str()), reference_listing(p)) << seed << " " << p;
    }
}

}  // namespace
