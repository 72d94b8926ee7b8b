// Path rules, extensions, the listing order and the file table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

std::string norm(const char* s, const char* pwd = "/") {
    buffer* b = normalise_halvoran_path_in(s, pwd);
    if (!b) return "<none>";
    std::string r((const char*)b->data, b->length);
    destroy_buffer(b);
    return r;
}

std::string collapse(const char* s) {
    buffer* b = collapse_path(s, 0, 0);
    if (!b) return "<none>";
    std::string r((const char*)b->data, b->length);
    destroy_buffer(b);
    return r;
}

TEST(PathRules, LegalPaths) {
    for (const char* bad : {"", "#x", "-x", "a b", "c:/x", "/a\x80", "/a/b?"}) EXPECT_EQ(is_legal_path(bad), 0) << bad;
    EXPECT_EQ(is_legal_path(nullptr), 0);
    for (const char* good : {"/a/b#x y", "a", "/", "/a-b_c.9/Z", "x#:@!"}) EXPECT_EQ(is_legal_path(good), 1) << good;
    EXPECT_EQ(is_path_char('-'), 1);
    EXPECT_EQ(is_path_char('9'), 1);
    EXPECT_EQ(is_path_char(','), 0);
    EXPECT_EQ(is_path_char(':'), 0);
}

TEST(PathRules, Normalisation) {
    EXPECT_EQ(norm("a/b", "/home/x"), "/home/x/a/b");
    EXPECT_EQ(norm("a/b", "/home/x/"), "/home/x/a/b");
    EXPECT_EQ(norm("a", "/"), "/a");
    EXPECT_EQ(norm("/a//b/./c/../d/"), "/a/b/d");
    EXPECT_EQ(norm("/.."), "/");
    EXPECT_EQ(norm("//"), "/");
    EXPECT_EQ(norm("/a/.."), "/");
    EXPECT_EQ(norm("/a/../../../etc"), "/etc");
    EXPECT_EQ(norm("../../x", "/home/u"), "/x");
    EXPECT_EQ(norm("/a/b#x y"), "/a/b#x y");
    // Folding must not carry an unchecked location part into the path part.
    EXPECT_EQ(norm("/x#/../a b"), "<none>");
    EXPECT_EQ(norm("/x#/../ab"), "/ab");
    EXPECT_EQ(norm("a b"), "<none>");
    EXPECT_EQ(norm(""), "<none>");
    // With no process the working folder is "/".
    EXPECT_EQ(pdisk_working_folder(), std::string("/"));
    buffer* b = normalise_halvoran_path("a");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(to_cstr(b), "/a");
    destroy_buffer(b);
}

TEST(PathRules, WorkingFolderSource) {
    pdisk_set_working_folder_source([]() -> const char* { return "/home/x"; });
    buffer* b = normalise_halvoran_path("a/b");
    EXPECT_STREQ(to_cstr(b), "/home/x/a/b");
    destroy_buffer(b);
    pdisk_set_working_folder_source(nullptr);
}

TEST(PathRules, OverLongSegmentIsRefusedNotDropped) {
    std::string s254(254, 's'), s255(255, 's');
    EXPECT_EQ(norm(("/docs/" + s254 + "/r.txt").c_str()), "/docs/" + s254 + "/r.txt");
    // Dropping it would turn the path into /docs/r.txt, another file.
    EXPECT_EQ(norm(("/docs/" + s255 + "/r.txt").c_str()), "<none>");
    EXPECT_EQ(collapse(("/" + s255).c_str()), "<none>");
}

TEST(PathRules, CollapseWithProtocolsAndRelativeInput) {
    EXPECT_EQ(collapse("vynnet://a/../b"), "vynnet://b");
    EXPECT_EQ(collapse("vynnet://.."), "vynnet://");
    EXPECT_EQ(collapse("bbs:///x//y/"), "bbs://x/y");
    EXPECT_STREQ(get_prot("bbs://x"), "bbs");
    EXPECT_EQ(get_prot("/a/b"), nullptr);
    EXPECT_EQ(get_prot("abcdefghijklmnopq://x"), nullptr);  // ':' past position 15
    EXPECT_EQ(collapse("a/.."), "a");
    EXPECT_EQ(collapse("ab/.."), "/");
    EXPECT_EQ(collapse("a/./b/"), "a/b");
}

TEST(PathRules, Extensions) {
    EXPECT_STREQ(get_ext("Cart.HVX.PNG"), "hvx.png");
    EXPECT_STREQ(get_ext("dir.b/file"), "");
    EXPECT_STREQ(get_ext("a.lua"), "lua");
    EXPECT_STREQ(get_ext("a.b.c.d"), "c.d");
    EXPECT_STREQ(get_ext(".x"), "x");
    EXPECT_STREQ(get_ext(""), "");
    EXPECT_STREQ(get_ext(nullptr), "");
    EXPECT_STREQ(get_ext(("a." + std::string(63, 'e')).c_str()), std::string(63, 'e').c_str());
    EXPECT_STREQ(get_ext(("a." + std::string(64, 'e')).c_str()), "");
    EXPECT_EQ(hvx_path_kind("x.hvx.rom"), CART_KIND_ROM);
    EXPECT_EQ(hvx_path_kind("/a/C.HVX"), CART_KIND_TEXT);
    EXPECT_EQ(hvx_path_kind("c.hvx.png"), CART_KIND_PNG);
    EXPECT_EQ(hvx_path_kind("c.rom"), CART_KIND_NONE);
    EXPECT_EQ(count_slashes("/a/b/"), 3);
    buffer* b = create_buffer_from_str("/a/");
    remove_trailing_slash(b);
    EXPECT_STREQ(to_cstr(b), "/a");
    destroy_buffer(b);
}

std::vector<std::string> sorted_listing(std::vector<std::string> names) {
    listing* l = create_listing();
    for (auto& n : names) EXPECT_EQ(listing_add(l, create_buffer_from_str(n.c_str())), 1);
    listing_sort(l);
    std::vector<std::string> r;
    for (int i = 0; i < l->count; i++) r.push_back(to_cstr(l->items[i]));
    destroy_listing(l);
    return r;
}

TEST(ListingOrder, WorkstationOrder) {
    EXPECT_EQ(sorted_listing({"b/", "a10", "a9", "A1", ".x"}),
              (std::vector<std::string>{"b/", ".x", "A1", "a9", "a10"}));
    EXPECT_EQ(compare_str_item("item2", "item10"), -1);
    EXPECT_EQ(compare_str_item("b", "B"), 0);
    EXPECT_EQ(compare_str_item("a", "ab"), -1);
    EXPECT_EQ(compare_str_item("a.", "a1"), -1);
    EXPECT_EQ(compare_str_item("a1", "a_"), -1);
    EXPECT_EQ(compare_str_item("x007", "x7"), 0);
}

TEST(ListingOrder, LongDigitRunsCompareByValue) {
    // Timestamps and other runs past 32 bits.
    EXPECT_EQ(compare_str_item("log_20240503140209", "log_20240503140210"), -1);
    EXPECT_EQ(compare_str_item("log_99999999999999999999", "log_100000000000000000000"), -1);
    EXPECT_EQ(compare_str_item("n4294967296", "n2147483648"), 1);
    EXPECT_EQ(compare_str_item("n0000000000000000000001", "n2"), -1);
    EXPECT_EQ(sorted_listing({"f12345678901234567890", "f9", "f123456789012345678"}),
              (std::vector<std::string>{"f9", "f123456789012345678", "f12345678901234567890"}));
}

TEST(ListingOrder, ListingOperations) {
    listing* l = create_listing();
    listing_add(l, create_buffer_from_str("one"));
    listing_add(l, create_buffer_from_str("two"));
    listing_add(l, create_buffer_from_str("one"));
    EXPECT_EQ(listing_index_for_key(l, "two"), 1);
    EXPECT_EQ(listing_index_for_key(l, "three"), -1);
    EXPECT_EQ(listing_del(l, "one"), 1);
    EXPECT_EQ(l->count, 2);
    EXPECT_EQ(listing_index_for_key(l, "one"), 1);
    EXPECT_EQ(listing_del(l, "zzz"), 0);
    while (l->count < LISTING_MAX) listing_add(l, create_buffer_from_str("x"));
    buffer* extra = create_buffer_from_str("y");
    EXPECT_EQ(listing_add(l, extra), 0);
    destroy_buffer(extra);
    // A comparison that is not transitive for this mix must not upset the sort.
    listing* m = create_listing();
    const char* mix[] = {"-", ".", "1", "-1", ".1", "1-", "_", "a", "/", "0"};
    for (int i = 0; i < 2000; i++) listing_add(m, create_buffer_from_str(mix[(i * 7) % 10]));
    listing_sort(m);
    EXPECT_EQ(m->count, 2000);
    destroy_listing(m);
    destroy_listing(l);
}

// ---------------------------------------------------------------------------
// File table
// ---------------------------------------------------------------------------

class FileTable : public ::testing::Test {
  protected:
    void SetUp() override {
        pfile_init();
        pfile_reset();
    }
    void TearDown() override { pfile_reset(); }

    static pfile* add(const std::string& path) {
        buffer* b = create_buffer_from_str(path.c_str());
        pfile* f = pfile_insert(b, PFILE_KIND_RAM, b);
        if (!f) destroy_buffer(b);
        return f;
    }
};

TEST_F(FileTable, LookupMissesAndBadIndices) {
    EXPECT_EQ(get_index_by_name("/a"), -1);
    EXPECT_EQ(get_ram_file_by_name("/a"), nullptr);
    add("/a");
    EXPECT_EQ(get_index_by_name("/a"), 0);
    EXPECT_NE(get_ram_file_by_name("/a"), nullptr);
    EXPECT_EQ(get_ram_file_by_name("/b"), nullptr);  // -1 must not read before the table
    EXPECT_EQ(get_ram_file_by_index(-1), nullptr);
    EXPECT_EQ(get_ram_file_by_index(1), nullptr);
    EXPECT_EQ(get_ram_file_by_index(PFILE_MAX), nullptr);
    EXPECT_EQ(get_ram_file_by_name("/a")->hash, mmh3_x86_32("/a", 2, 0));
}

TEST_F(FileTable, DuplicateGoesAfterTheOriginal) {
    pfile* a = add("/x");
    add("/w");
    pfile* b = add("/x");
    add("/y");
    EXPECT_EQ(pdisk_num_pfiles(), 4);
    int i = get_index_by_name("/x");
    ASSERT_EQ(i, 1);
    EXPECT_EQ(get_ram_file_by_index(1), a);
    EXPECT_EQ(get_ram_file_by_index(2), b);
}

TEST_F(FileTable, FreeEntriesOnStrideIndicesAndCompaction) {
    for (int i = 0; i < 5000; i++) {
        char name[32];
        snprintf(name, sizeof name, "/f%06d", i);
        ASSERT_NE(add(name), nullptr);
    }
    // Free the entries the coarse pass visits.
    for (int i : {0, 1024, 2048, 4096}) clear_pfile(get_ram_file_by_index(i));
    EXPECT_EQ(pdisk_count_slots_by_kind(PFILE_KIND_FREE), 4);
    EXPECT_EQ(get_index_by_name("/f000000"), -1);
    EXPECT_EQ(get_index_by_name("/f001024"), -1);
    EXPECT_EQ(get_index_by_name("/f001025"), 1025);
    EXPECT_EQ(get_index_by_name("/f002047"), 2047);
    EXPECT_EQ(get_index_by_name("/f004999"), 4999);
    // An insert among free stride entries still lands in order.
    add("/f001024");
    EXPECT_EQ(get_index_by_name("/f001024") >= 0, true);
    EXPECT_EQ(pdisk_pfile_iterator(), 4997);
    EXPECT_EQ(pdisk_num_pfiles(), 4997);
    for (int i = 1; i < pdisk_num_pfiles(); i++)
        ASSERT_LT(strcmp(to_cstr(pdisk_pfile_iterator_item(i - 1)->path), to_cstr(pdisk_pfile_iterator_item(i)->path)), 0);
    EXPECT_EQ(pdisk_pfile_iterator_item(4997), nullptr);
}

TEST_F(FileTable, FullTableRefusesUntilCompaction) {
    for (int i = 0; i < PFILE_MAX; i++) {
        char name[32];
        snprintf(name, sizeof name, "/%06d", i);
        ASSERT_NE(add(name), nullptr) << i;
    }
    clear_pfile(get_ram_file_by_index(10));
    EXPECT_EQ(add("/zz"), nullptr);  // the 262,145th insert
    EXPECT_EQ(pdisk_num_pfiles(), PFILE_MAX);
    pdisk_compact_pfiles();
    EXPECT_NE(add("/zz"), nullptr);
    EXPECT_EQ(get_index_by_name("/zz"), PFILE_MAX - 1);
    EXPECT_EQ(get_index_by_name("/000011"), 10);
}

TEST_F(FileTable, ReleasesCountOnceAndInsertsAfterThemKeepTheirPlace) {
    for (int i = 0; i < 3000; i++) add("/r" + std::to_string(1000000 + i));
    pfile* f = get_ram_file_by_index(2000);
    clear_pfile(f);
    clear_pfile(f);  // again: already free
    pfile outside{};
    outside.kind = PFILE_KIND_RAM;
    outside.path = create_buffer_from_str("/r1000005");
    outside.origin = outside.path;
    clear_pfile(&outside);  // not in the table: releases its buffers only
    // The first insert before the released entry takes it, moving those
    // between up by one; the second moves the tail.
    pfile* kept = get_ram_file_by_index(2001);
    add("/a");
    EXPECT_EQ(pdisk_num_pfiles(), 3000);
    add("/b");
    EXPECT_EQ(get_ram_file_by_index(2002), kept);
    pdisk_compact_pfiles();
    EXPECT_EQ(pdisk_num_pfiles(), 3001);
    EXPECT_EQ(get_index_by_name("/r1002000"), -1);
    EXPECT_EQ(get_ram_file_by_index(2002), kept);
    EXPECT_EQ(get_index_by_name("/r1000005"), 7);
    EXPECT_EQ(get_index_by_name("/r1002999"), 3000);
}

TEST_F(FileTable, DeleteRamFilesInPath) {
    for (const char* p : {"/ram/a", "/ram/a/x", "/ram/a/y/z", "/ram/ab", "/ram/b"}) add(p);
    buffer* b = create_buffer_from_str("/ram/a");
    EXPECT_EQ(delete_ram_files_in_path(b), 3);
    destroy_buffer(b);
    EXPECT_EQ(get_index_by_name("/ram/ab") >= 0, true);
    EXPECT_EQ(get_index_by_name("/ram/a/x"), -1);
    EXPECT_EQ(ram_path_is_inside_origin("/ram/ab", "/ram/a", 1), 0);
    EXPECT_EQ(ram_path_is_inside_origin("/ram/a", "/ram/a", 0), 0);
    EXPECT_EQ(ram_path_is_inside_origin("/ram/a", "/ram/a", 1), 1);
    EXPECT_EQ(ram_path_is_inside_origin("/ram/a/q", "/ram/a", 0), 1);
}

// The lookup as a plain walk: every 1024th entry in order, then the fine
// pass. The table's own lookup must find the same entry, duplicates and free
// stride entries included.
int linear_lookup(const std::string& name) {
    int n = pdisk_num_pfiles();
    if (n == 0) return -1;
    int lo = 0, hi = n - 1;
    for (int i = 0; i < ((n - 1) / 1024) * 1024 + 1024 && i < n; i += 1024) {
        pfile* f = get_ram_file_by_index(i);
        if (!f) continue;
        int c = strcmp(to_cstr(f->path), name.c_str());
        if (c == 0) return i;
        if (c > 0) {
            hi = i;
            break;
        }
        lo = i;
    }
    for (int i = lo; i <= hi; i++) {
        pfile* f = get_ram_file_by_index(i);
        if (f && name == to_cstr(f->path)) return i;
    }
    return -1;
}

TEST_F(FileTable, LookupMatchesAPlainWalk) {
    std::mt19937 rng(17);
    std::vector<std::string> names;
    for (int i = 0; i < 12000; i++) {
        std::string name = "/n" + std::to_string(rng() % 3000);
        add(name);  // duplicates on purpose
        names.push_back(name);
    }
    for (int round = 0; round < 6; round++) {
        // Free a run of entries, stride entries among them.
        int n = pdisk_num_pfiles();
        int start = (int)(rng() % (unsigned)n);
        for (int i = start; i < n && i < start + 2500; i++)
            if (rng() % 3) clear_pfile(get_ram_file_by_index(i));
        for (int q = 0; q < 3000; q++) {
            std::string name = q % 5 ? names[rng() % names.size()] : "/m" + std::to_string(q);
            ASSERT_EQ(get_index_by_name(name.c_str()), linear_lookup(name)) << name;
        }
        for (int i = 0; i < 500; i++) add(names[rng() % names.size()]);
        for (int i = 1; i < pdisk_num_pfiles(); i++) {
            pfile* a = get_ram_file_by_index(i - 1);
            pfile* b = get_ram_file_by_index(i);
            if (a && b) {
                ASSERT_LE(strcmp(to_cstr(a->path), to_cstr(b->path)), 0);
            }
        }
        if (round % 2) pdisk_compact_pfiles();
    }
}

// Random inserts, deletes, lookups and folder ranges mirrored on std::map (a
// multimap of live paths to their records).
TEST_F(FileTable, MatchesStdMapUnderRandomOperations) {
    std::mt19937 rng(99);
    std::map<std::string, pfile*> ref;
    for (int op = 0; op < 60000; op++) {
        int r = rng() % 10;
        std::string name = "/d" + std::to_string(rng() % 50) + "/f" + std::to_string(rng() % 400);
        if (r < 4) {
            if (!ref.count(name)) {
                pfile* f = add(name);
                ASSERT_NE(f, nullptr);
                ref[name] = f;
            }
        } else if (r < 6) {
            auto it = ref.find(name);
            if (it != ref.end()) {
                clear_pfile(it->second);
                ref.erase(it);
            }
        } else if (r < 7) {
            pdisk_compact_pfiles();
            ASSERT_EQ(pdisk_num_pfiles(), (int)ref.size());
        } else if (r < 8) {
            // A folder's records: those of the map under its path ("/d1/" not "/d10/").
            std::string folder = name.substr(0, name.find('/', 1) + 1);
            pfile_range range = pfile_records_under(folder.data(), folder.size());
            std::vector<pfile*> got, want;
            for (int k = range.first; k < range.end; k++)
                if (pfile* f = pfile_visit(k)) got.push_back(f);
            for (auto it = ref.lower_bound(folder); it != ref.end() && it->first.compare(0, folder.size(), folder) == 0; ++it)
                want.push_back(it->second);
            ASSERT_EQ(got, want) << folder;
        } else {
            int i = get_index_by_name(name.c_str());
            auto it = ref.find(name);
            if (it == ref.end()) {
                ASSERT_EQ(i, -1) << name;
            } else {
                ASSERT_GE(i, 0) << name;
                ASSERT_EQ(get_ram_file_by_index(i), it->second);
            }
        }
    }
    pdisk_compact_pfiles();
    int i = 0;
    for (auto& [k, f] : ref) ASSERT_EQ(get_ram_file_by_index(i++), f);
}

}  // namespace
