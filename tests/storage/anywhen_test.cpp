// The file history store under a fake clock: what the day logs and blobs
// hold after file operations, what the six history calls answer at moments
// between them, and the faults mended on the way (torn lines, corrupt or
// unwritable blobs, unreadable logs, deep or looping trees, stale filters).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "platform/platform.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"
#include "tests/support/rom_maker.h"

namespace {

namespace fs = std::filesystem;
using hvx_test::read_file;
using hvx_test::write_file;

int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

int64_t utc(const char* moment) {
    struct tm tm = {};
    sscanf(moment, "%d-%d-%d_%d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return (int64_t)timegm(&tm);
}

std::string hash_of(const std::string& s) {
    char h[ANYWHEN_HASH_LEN + 1];
    anywhen_hash_hex(s.data(), (int64_t)s.size(), h);
    return h;
}

std::string take(buffer* b) {
    if (!b) return "<none>";
    std::string s((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

std::vector<int> g_kinds;
void count_kind(int kind, const char*, const char*) { g_kinds.push_back(kind); }

// A process table with its own home, a host drive at "/", the clock at
// start and the setting off.
struct history_env : hvx_test::process_env {
    hvx_test::scratch_dir drive;
    Process* p = nullptr;
    explicit history_env(const char* start) {
        g_now = utc(start);
        anywhen_set_clock(fake_clock);
        pfile_init();
        pfile_reset();
        mount_host_path("/", drive.path().c_str());
        mount_ram_folder("/ram");
    }
    ~history_env() {
        anywhen_close();
        anywhen_set_observer(nullptr);
        config.anywhen = 0;
        anywhen_set_clock(nullptr);
        pfile_reset();
    }
    std::string store(const std::string& rel) const { return std::string(config.home) + "/anywhen/" + rel; }
    void at(const char* moment) { g_now = utc(moment); }
    bool put(const char* path, const std::string& text) {
        pfile* f = pfopen(path, "w");
        if (!f) return false;
        pfwrite(text.data(), 1, (int64_t)text.size(), f);
        return pfclose(f) == 0;
    }
    std::string fetch(const std::string& loc) { return take(anywhen_fetch(loc.data(), loc.size())); }
    // A script call's results: "none", an integer, or a table as "{a,b}".
    std::string call(const char* fn, const std::string& arg) {
        if (!p) p = spawn("");
        lua_State* L = p->L;
        int top = lua_gettop(L);
        cproc = p;
        lua_getglobal(L, fn);
        lua_pushlstring(L, arg.data(), arg.size());
        std::string out = lua_pcall(L, 1, LUA_MULTRET, 0) == LUA_OK ? "" : "error";
        for (int i = top + 1; i <= lua_gettop(L); i++) {
            if (lua_istable(L, i)) {
                out += "{";
                for (lua_Integer k = 1; lua_rawgeti(L, i, k) != LUA_TNIL; k++) {
                    out += (k > 1 ? "," : "") + std::string(lua_tostring(L, -1));
                    lua_pop(L, 1);
                }
                lua_pop(L, 1);
                out += "}";
            } else {
                out += lua_tostring(L, i) ? lua_tostring(L, i) : "?";
            }
        }
        lua_settop(L, top);
        cproc = nullptr;
        return out.empty() ? "none" : out;
    }
};

std::string noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, 0);
    for (char& c : s) c = (char)rng();
    return s;
}

std::string hex_lines(const std::string& old_text, const std::string& new_text) {
    buffer* d = generate_diff((const uint8_t*)old_text.data(), (int64_t)old_text.size(),
                              (const uint8_t*)new_text.data(), (int64_t)new_text.size());
    buffer* out = create_buffer_2(64, 0);
    anywhen_write_delta_lines(out, d->data, d->length);
    destroy_buffer(d);
    return take(out);
}

TEST(AnywhenPieces, LinesLocationsAndDeltaLimits) {
    std::string h(32, 'a');
    struct {
        std::string line;
        bool ok;
        const char* path;
    } lines[] = {
        {"$ " + h + " /a b.txt", true, "/a b.txt"},
        {": " + h + " /x", true, "/x"},
        {"+ " + h + " /x", true, "/x"},
        {"$ " + h + " ", false, nullptr},                  // no path
        {"$ " + h.substr(1) + "  /x", false, nullptr},     // short hash
        {"$ " + std::string(31, 'a') + "G /x", false, nullptr},
        {"$ ../../../../etc/passwd_________ /x", false, nullptr},
        {"- /gone", true, "/gone"},
        {"^ /d/", true, "/d/"},
        {"-/x", false, nullptr},
        {"@ 2024-06-30_10:00:0", false, nullptr},  // 18-character moment
        {"@ 2024-06-30_10:00:00 __start_session", true, nullptr},
        {"? /x", false, nullptr},
    };
    for (const auto& row : lines) {
        anywhen_line l;
        EXPECT_EQ(anywhen_parse_line(row.line.data(), (int32_t)row.line.size(), &l), row.ok) << row.line;
        if (row.ok && row.path) {
            EXPECT_EQ(std::string(l.path, (size_t)l.path_len), row.path) << row.line;
        }
    }

    struct {
        const char* text;
        bool ok;
        const char* path;
        int moment_len;
        const char* moment;
        int year, month, day;
    } locs[] = {
        {"/a.txt @ 2024-06-30_10:00:00", true, "/a.txt", 19, "2024-06-30_10:00:00", 2024, 6, 30},
        {"/a.txt @ 2024-06-30 10.00.00 and more", true, "/a.txt", 28, "2024-06-30_10:00:00", 2024, 6, 30},
        {"/a b.txt-@-2025-12-01", true, "/a b.txt", 10, "2025-12-01", 2025, 12, 1},
        {"/a.txt @ 2024/06/30", true, "/a.txt", 10, "2024/06/30", 0, 0, 0},
        {"/a.txt @", true, "/a.txt", 0, "", 0, 0, 0},
        {"@ 2024-06-30", false, "", 0, "", 0, 0, 0},
        {"/a.txt", false, "", 0, "", 0, 0, 0},
    };
    for (const auto& row : locs) {
        anywhen_location loc;
        ASSERT_EQ(anywhen_split_location(row.text, strlen(row.text), &loc), row.ok) << row.text;
        if (!row.ok) continue;
        EXPECT_STREQ(loc.path, row.path);
        EXPECT_EQ(loc.moment_len, row.moment_len) << row.text;
        EXPECT_STREQ(loc.moment, row.moment);
        EXPECT_EQ(loc.year * 10000 + loc.month * 100 + loc.day, row.year * 10000 + row.month * 100 + row.day);
    }
    anywhen_location loc;
    std::string too_long = std::string(ANYWHEN_LOCATION_MAX, 'a') + " @ 2024-06-30";
    EXPECT_FALSE(anywhen_split_location(too_long.data(), too_long.size(), &loc));
    EXPECT_FALSE(anywhen_split_location("/a\0b @ 2024-06-30", 17, &loc));

    // Delta size rules: (delta, new length, kept).
    struct {
        int64_t d, n;
        bool kept;
    } limits[] = {{8192, 131072, true}, {8192, 131071, false}, {8193, 1 << 24, false}, {600, 9600, true},
                  {600, 9599, false},   {512, 1, true},          {513, 8192, false}};
    for (const auto& r : limits) EXPECT_EQ(anywhen_delta_usable(r.d, r.n), r.kept) << r.d << " " << r.n;

    std::string full;
    for (int i = 0; i < 38; i++) full += "ab";
    for (int n : {38, 39}) {
        std::string d(n, '\xab');
        buffer* out = create_buffer_2(16, 0);
        anywhen_write_delta_lines(out, (const uint8_t*)d.data(), n);
        EXPECT_EQ(take(out), "| " + full + "\n" + (n == 39 ? "| ab\n" : ""));
    }
    buffer* back = create_buffer_2(16, 0);
    EXPECT_TRUE(anywhen_read_hex(back, full.data(), 76));
    EXPECT_FALSE(anywhen_read_hex(back, "abc", 3));
    EXPECT_FALSE(anywhen_read_hex(back, "zz", 2));
    destroy_buffer(back);
    EXPECT_EQ(hash_of(""), std::string(32, '0'));
}

TEST(AnywhenPieces, BlobsAreCheckedBeforeUse) {
    std::string content = noise(5000, 1) + std::string(5000, 'x');
    std::string hash = hash_of(content);
    buffer* enc = anywhen_blob_encode((const uint8_t*)content.data(), (int64_t)content.size());
    ASSERT_NE(enc, nullptr);
    std::string blob((const char*)enc->data, (size_t)enc->length);
    destroy_buffer(enc);
    EXPECT_EQ(load_u32_le((const uint8_t*)blob.data()), blob.size() - 8);
    EXPECT_EQ(load_u32_le((const uint8_t*)blob.data() + 4), content.size());
    auto decode = [&](const std::string& b, const char* h) {
        char why[160] = "";
        std::string r = take(anywhen_blob_decode((const uint8_t*)b.data(), (int64_t)b.size(), h, why, sizeof why));
        return r == "<none>" ? std::string("<none> ") + why : r;
    };
    EXPECT_EQ(decode(blob, hash.c_str()), content);
    std::string flipped = blob;
    flipped[blob.size() / 2] ^= 0x10;
    EXPECT_EQ(decode(flipped, hash.c_str()).substr(0, 6), "<none>");
    std::string over = blob;
    over[7] = 1;  // raw length of 16,777,216 or more
    EXPECT_NE(decode(over, nullptr).find("over the limit"), std::string::npos);
    EXPECT_NE(decode(blob.substr(0, blob.size() - 1), nullptr).find("past the end"), std::string::npos);
    EXPECT_NE(decode(blob.substr(0, 5), nullptr).find("cut short"), std::string::npos);
    EXPECT_NE(decode(blob, hash_of("other").c_str()).find("does not match"), std::string::npos);
    buffer* empty = anywhen_blob_encode(nullptr, 0);
    std::string e((const char*)empty->data, (size_t)empty->length);
    destroy_buffer(empty);
    EXPECT_EQ(decode(e, hash_of("").c_str()), "");
}

TEST(AnywhenPieces, LineReaderSkipsLongEmptyAndStripsEnds) {
    hvx_test::scratch_dir dir;
    std::string long_line = "$ " + std::string(32, 'a') + " /" + std::string(ANYWHEN_LINE_MAX, 'x') + "- /fake";
    write_file(dir / "log", "- /one  \r\n\n\n" + long_line + "\n^ /two/\r\n" + std::string(40000, '\n') + "- /tail");
    line_iter_state* it = new line_iter_state;
    ASSERT_TRUE(line_iter_start(it, (dir / "log").c_str()));
    std::vector<std::string> got;
    const char* line;
    int32_t n;
    while ((n = line_iter(it, &line)) >= 0) got.emplace_back(line, (size_t)n);
    line_iter_end(it);
    EXPECT_FALSE(line_iter_start(it, (dir / "none").c_str()));
    delete it;
    EXPECT_EQ(got, (std::vector<std::string>{"- /one", "^ /two/", "- /tail"}));
}

// The scenario: events over two days and a month boundary, then every query
// at moments between them.
class AnywhenScenario : public testing::Test {
protected:
    history_env env{"2024-06-30_10:00:00"};
    std::string v1 = "version one of a", v2 = "version two of a", v3 = "version three of a";
    std::string big1 = noise(20000, 5), big2;

    void SetUp() override {
        big2 = big1;
        big2.replace(7000, 10, "0123456789");
        fs::create_directories(env.drive / "docs");
        fs::create_directories(env.drive / "tools.bin");
        write_file(env.drive / "a.txt", v1);
        write_file(env.drive / "docs/n.txt", "note");
        write_file(env.drive / "tools.bin/t.txt", "skipped");
        write_file(env.drive / ".hidden", "skipped");
        g_kinds.clear();
        anywhen_set_observer(count_kind);
        halvoran_apply_setting("anywhen", 1);  // opens the day log with its snapshot
        halvoran_apply_setting("anywhen", 1);
        env.at("2024-06-30_10:00:05");
        ASSERT_TRUE(env.put("/a.txt", v2));
        env.at("2024-06-30_10:00:10");
        ASSERT_TRUE(env.put("/big.txt", big1));
        env.at("2024-06-30_10:00:20");
        ASSERT_TRUE(env.put("/big.txt", big2));
        env.at("2024-06-30_10:00:30");
        ASSERT_EQ(pmkdir("/newdir"), 0);
        env.at("2024-06-30_10:00:40");
        delete_path("/docs/n.txt");
        env.at("2024-07-01_00:00:10");
        ASSERT_TRUE(env.put("/a.txt", v3));
        anywhen_set_observer(nullptr);
    }
};

TEST_F(AnywhenScenario, DayLogsHoldSnapshotsCheckpointsAndDeltas) {
    EXPECT_EQ(std::count(g_kinds.begin(), g_kinds.end(), ANYWHEN_TURNED_ON), 1);
    g_kinds.clear();
    std::string day1 = read_file(env.store("2024-06/30.log"));
    size_t events = day1.find("@ ");
    ASSERT_NE(events, std::string::npos) << day1;
    std::string snapshot = day1.substr(0, events);
    EXPECT_NE(snapshot.find(": " + hash_of(v1) + " /a.txt\n"), std::string::npos) << snapshot;
    EXPECT_NE(snapshot.find(": " + hash_of("note") + " /docs/n.txt\n"), std::string::npos);
    EXPECT_NE(snapshot.find("^ /docs/\n"), std::string::npos);
    EXPECT_EQ(snapshot.find("^ /\n"), std::string::npos);
    EXPECT_EQ(snapshot.find("bin"), std::string::npos);
    EXPECT_EQ(snapshot.find("hidden"), std::string::npos);
    EXPECT_EQ(day1.substr(events), "@ 2024-06-30_10:00:05\n+ " + hash_of(v1) + " /a.txt\n" + hex_lines(v1, v2) +
                                       "@ 2024-06-30_10:00:10\n$ " + hash_of(big1) + " /big.txt\n" +
                                       "@ 2024-06-30_10:00:20\n+ " + hash_of(big1) + " /big.txt\n" +
                                       hex_lines(big1, big2) + "@ 2024-06-30_10:00:30\n> /newdir\n" +
                                       "@ 2024-06-30_10:00:40\n- /docs/n.txt\n");
    std::string day2 = read_file(env.store("2024-07/01.log"));
    EXPECT_NE(day2.find(": " + hash_of(big2) + " /big.txt\n"), std::string::npos) << day2;
    EXPECT_NE(day2.find("^ /newdir/\n"), std::string::npos);
    EXPECT_NE(day2.find("@ 2024-07-01_00:00:10\n+ " + hash_of(v2) + " /a.txt\n"), std::string::npos);
    // Whole contents are stored once each; deltas need no blob.
    for (const std::string* c : {&v1, &big1, &big2})
        EXPECT_TRUE(hvx_test::file_exists(env.store("blob/" + hash_of(*c) + ".lz4")));
    EXPECT_FALSE(hvx_test::file_exists(env.store("blob/" + hash_of(v3) + ".lz4")));
}

TEST_F(AnywhenScenario, QueriesAnswerAtEveryMoment) {
    const std::string none = "<none>";
    struct {
        const char* loc;
        const std::string& want;
    } fetches[] = {
        {"/a.txt @ 2024-06-30_10:00:04", v1},       {"/a.txt @ 2024-06-30_10:00:05", v2},
        {"/a.txt @ 2024-06-30 23:00:00", v2},       {"/a.txt @ 2024-07-01_00:00:09", v2},
        {"/a.txt @ 2024-07-01_00:00:10", v3},       {"/a.txt @ 2024-07-15_00:00:00 later", v3},
        {"/a.txt @ 9999-01-01_00:00:00", v3},       {"/a.txt @ 2024-06-29_23:59:59", none},
        {"/big.txt @ 2024-06-30_10:00:09", none},   {"/big.txt @ 2024-06-30_10:00:10", big1},
        {"/big.txt @ 2024-06-30_10:00:59", big2},   {"/big.txt @ 2024-07-01_00:00:00", big2},
        {"/docs/n.txt @ 2024-06-30_10:00:39", "note"}, {"/docs/n.txt @ 2024-06-30_10:00:40", none},
        {"/a.txt", none},                           {"/a.txt @ 2024-06-30", none},
        {"/a.txt @ 2023-12-31_10:00:00", none},     {"/a.txt @ 2024-13-01_10:00:00", none},
    };
    for (const auto& f : fetches) EXPECT_EQ(env.fetch(f.loc), f.want) << f.loc;

    struct {
        const char* fn;
        std::string arg;
        const char* want;
    } calls[] = {
        {"_list_anywhen_by_loc", "/a.txt", "{2024-06-30,2024-07-01}"},
        {"_list_anywhen_by_loc", "/big.txt", "{2024-06-30}"},
        {"_list_anywhen_by_loc", "/docs/", "{2024-06-30}"},
        {"_list_anywhen_by_loc", "/never.txt", "{}"},
        {"_list_anywhen_by_day", "/a.txt @ 2024-06-30", "{10:00:05}"},
        {"_list_anywhen_by_day", "/big.txt @ 2024-06-30", "{10:00:10,10:00:20}"},
        {"_list_anywhen_by_day", "/ @ 2024-06-30", "{10:00:10}"},
        {"_list_anywhen_by_day", "/a.txt @ 2024-06-29", "{}"},
        {"_list_anywhen_by_day", "/a.txt @ 2024-06-3", "none"},
        {"_list_anywhen_by_day", "/a.txt @ 2024-06-300", "none"},
        {"_list_anywhen_by_day", "/a.txt 2024-06-30", "none"},
        {"_list_anywhen_folder_moment", "/ @ 2024-06-30_10:00:09", "{docs,a.txt}"},
        {"_list_anywhen_folder_moment", "/ @ 2024-06-30_10:00:35", "{docs,newdir,a.txt,big.txt}"},
        {"_list_anywhen_folder_moment", "/docs @ 2024-06-30_10:00:39", "{n.txt}"},
        {"_list_anywhen_folder_moment", "/docs @ 2024-06-30_10:00:40", "{}"},
        {"_list_anywhen_folder_moment", "/ @ 2024-07-01_00:00:00", "{docs,newdir,a.txt,big.txt}"},
        {"_list_anywhen_folder_moment", "/ @ 2024-06-30", "none"},
        {"_anywhen_get_attr", "123456789/docs @ 2024-06-30_10:00:00", "1"},
        {"_anywhen_get_attr", "123456789/newdir @ 2024-06-30_12:00:00", "1"},
        {"_anywhen_get_attr", "123456789/a.txt @ 2024-06-30_10:00:00", "0"},
        {"_anywhen_get_attr", "/docs @ 2024-06-30_10:00:00", "0"},
        {"_anywhen_get_attr", "123456789/docs @ 2024-06-30_10:00:0", "-1"},
        {"_anywhen_get_attr", "123456789/docs", "-1"},
        {"_anywhen_get_attr", "", "-1"},
        {"_fetch_anywhen_metadata", "/a.txt @ 2024-06-30_10:00:04", "none"},  // no header
    };
    for (const auto& c : calls) EXPECT_EQ(env.call(c.fn, c.arg), c.want) << c.fn << "(" << c.arg << ")";
    env.call("_anywhen_get_attr", "");
    lua_State* L = env.p->L;
    int top = lua_gettop(L);
    for (const char* fn : {"_fetch_anywhen", "_list_anywhen_by_loc", "_anywhen_get_attr"}) {
        lua_getglobal(L, fn);
        lua_pushinteger(L, 5);
        ASSERT_EQ(lua_pcall(L, 1, LUA_MULTRET, 0), LUA_OK);
        EXPECT_EQ(lua_gettop(L), top) << fn;  // not a string: no results
        lua_settop(L, top);
    }
}

TEST_F(AnywhenScenario, EveryEventRefreshesTheMonthFilter) {
    EXPECT_EQ(env.call("_list_anywhen_by_loc", "/late.txt"), "{}");  // builds July's filter
    EXPECT_EQ(env.call("_list_anywhen_by_day", "/ @ 2024-07-01"), "{}");
    env.at("2024-07-01_09:00:00");
    ASSERT_TRUE(env.put("/late.txt", "late"));
    ASSERT_EQ(pmkdir("/later"), 0);
    EXPECT_EQ(env.call("_list_anywhen_by_loc", "/late.txt"), "{2024-07-01}");
    EXPECT_EQ(env.call("_list_anywhen_by_day", "/ @ 2024-07-01"), "{09:00:00}");
    EXPECT_EQ(env.call("_anywhen_get_attr", "123456789/later @ 2024-07-01_10:00:00"), "1");
    // A folder's info file counts as a change of the folder above it.
    fs::create_directories(env.drive / "docs/sub");
    env.at("2024-07-01_09:10:00");
    ASSERT_TRUE(env.put("/docs/sub/.info.vyn", "{}"));
    EXPECT_EQ(env.call("_list_anywhen_by_day", "/docs @ 2024-07-01"), "{09:10:00}");
    env.at("2024-07-01_09:30:00");
    delete_path("/late.txt");
    EXPECT_EQ(env.fetch("/late.txt @ 2024-07-01_09:29:59"), "late");
    EXPECT_EQ(env.call("_list_anywhen_folder_moment", "/ @ 2024-07-01_09:30:00"), "{docs,later,newdir,a.txt,big.txt}");
}

TEST_F(AnywhenScenario, MetadataOfAPastVersion) {
    env.at("2024-07-01_09:00:00");
    ASSERT_TRUE(env.put("/m.vyn", "--[[vyn,title=\"first\"]]\n{}"));
    env.at("2024-07-01_09:00:01");
    ASSERT_TRUE(env.put("/m.vyn", "--[[vyn,title=\"second\"]]\n{}"));
    env.call("_anywhen_get_attr", "");
    lua_State* L = env.p->L;
    int top = lua_gettop(L);
    for (auto [moment, want] : {std::pair{"09:00:00", "first"}, {"09:00:05", "second"}}) {
        lua_getglobal(L, "_fetch_anywhen_metadata");
        lua_pushstring(L, ("/m.vyn @ 2024-07-01_" + std::string(moment)).c_str());
        ASSERT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK);
        ASSERT_TRUE(lua_istable(L, -1)) << moment;
        lua_getfield(L, -1, "title");
        EXPECT_STREQ(lua_tostring(L, -1), want);
        lua_settop(L, top);
    }
}

TEST_F(AnywhenScenario, RestartReloadsTheDayAndDamageIsContained) {
    // A restart on the same day: the session marker reloads the table, so
    // the next write is a delta again.
    anywhen_close();
    env.at("2024-07-01_08:00:00");
    anywhen_open();
    env.at("2024-07-01_08:00:01");
    std::string v4 = v3 + "!";
    ASSERT_TRUE(env.put("/a.txt", v4));
    std::string day2 = read_file(env.store("2024-07/01.log"));
    EXPECT_NE(day2.find("@ 2024-07-01_08:00:00 __start_session\n@ 2024-07-01_08:00:01\n+ " + hash_of(v2)),
              std::string::npos)
        << day2;
    EXPECT_NE(env.log().find("[anywhen] loading log file: "), std::string::npos);

    // A torn last line: readers skip it and the next event starts a new line.
    std::ofstream(env.store("2024-07/01.log"), std::ios::app) << "$ " + hash_of(v1).substr(0, 20);
    env.at("2024-07-01_08:00:02");
    ASSERT_TRUE(env.put("/torn.txt", "after the tear"));
    day2 = read_file(env.store("2024-07/01.log"));
    EXPECT_NE(day2.find(hash_of(v1).substr(0, 20) + "\n@ 2024-07-01_08:00:02\n$ "), std::string::npos);
    EXPECT_EQ(env.fetch("/torn.txt @ 2024-07-01_08:00:02"), "after the tear");
    EXPECT_EQ(env.fetch("/a.txt @ 2024-07-01_08:00:02"), v4);

    // A corrupt blob gives no version and a log line, never wrong content.
    std::string blob = env.store("blob/" + hash_of(big2) + ".lz4");
    std::string bytes = read_file(blob);
    bytes[bytes.size() - 3] ^= 0x55;
    write_file(blob, bytes);
    EXPECT_EQ(env.fetch("/big.txt @ 2024-07-01_00:00:00"), "<none>");
    // The delta on top of a changed base fails its check as well.
    std::string base = env.store("blob/" + hash_of(big1) + ".lz4");
    std::string good = read_file(base);
    std::string bad = good;
    bad[10] ^= 1;
    write_file(base, bad);
    EXPECT_EQ(env.fetch("/big.txt @ 2024-06-30_10:00:20"), "<none>");
    EXPECT_NE(env.log().find("[anywhen blob decompression] **"), std::string::npos);
    write_file(base, good);
    EXPECT_EQ(env.fetch("/big.txt @ 2024-06-30_10:00:20"), big2);
    // Delta lines past the writer's limit are damage: no version, and never read whole.
    std::string day = read_file(env.store("2024-06/30.log"));
    size_t plus = day.find("+ " + hash_of(big1) + " /big.txt\n");
    ASSERT_NE(plus, std::string::npos);
    std::string flood;
    for (int i = 0; i < 2 * ANYWHEN_DELTA_MAX / ANYWHEN_HEX_LINE_BYTES; i++)
        flood += "| " + std::string(2 * ANYWHEN_HEX_LINE_BYTES, 'a') + "\n";
    write_file(env.store("2024-06/30.log"), day.insert(day.find('\n', plus) + 1, flood));
    EXPECT_EQ(env.fetch("/big.txt @ 2024-06-30_10:00:20"), "<none>");
    EXPECT_NE(env.log().find("unreadable delta lines for /big.txt"), std::string::npos);
}

// A damaged blob is checked when its content is recorded again and written
// anew, which mends every version that names it; a damaged older raw blob
// gives way to the blob folder's.
TEST_F(AnywhenScenario, ADamagedBlobIsWrittenAgain) {
    std::string blob = env.store("blob/" + hash_of(big2) + ".lz4");
    std::string bytes = read_file(blob);
    bytes[bytes.size() - 3] ^= 0x55;
    write_file(blob, bytes);
    ASSERT_EQ(env.fetch("/big.txt @ 2024-07-01_00:00:10"), "<none>");
    env.at("2024-07-01_08:00:00");
    ASSERT_TRUE(env.put("/copy.txt", big2));
    EXPECT_EQ(env.fetch("/copy.txt @ 2024-07-01_08:00:00"), big2);
    EXPECT_EQ(env.fetch("/big.txt @ 2024-07-01_00:00:10"), big2);
    EXPECT_EQ(std::count_if(fs::directory_iterator(env.store("blob")), fs::directory_iterator(),
                            [](const fs::directory_entry& e) { return e.path().filename().string()[0] == '.'; }),
              0);
    fs::create_directories(env.store("2024-07/vyn"));
    write_file(env.store("2024-07/vyn/" + hash_of(big2)), "not the content");
    EXPECT_EQ(env.fetch("/big.txt @ 2024-07-01_00:00:10"), big2);
}

TEST(Anywhen, OffWritesNothing) {
    history_env env("2025-03-01_12:00:00");
    ASSERT_TRUE(env.put("/a.txt", "x"));
    ASSERT_EQ(pmkdir("/d"), 0);
    delete_path("/a.txt");
    anywhen_open();
    EXPECT_FALSE(fs::exists(env.store("")));
}

TEST(Anywhen, WhatIsRecordedAndWhatNot) {
    history_env env("2025-03-01_12:00:00");
    fs::create_directories(env.drive / "x.bin");
    fs::create_directories(env.drive / "deep");
    std::string deep = "/deep";
    fs::create_directory(env.drive.path() + deep);
    for (int i = 0; i < ANYWHEN_MAX_DEPTH + 2; i++) fs::create_directory(env.drive.path() + (deep += "/d"));
    write_file(env.drive.path() + deep + "/bottom.txt", "b");
    fs::create_directory_symlink(".", env.drive / "loop");
    mkfifo((env.drive / "fifo").c_str(), 0666);
    write_file(env.drive / "forged\n- name", "a line feed in a host name");
    std::string at_limit(ANYWHEN_MAX_RAW, '\0'), over(ANYWHEN_MAX_FILE, '\0');
    at_limit[0] = over[0] = 1;
    write_file(env.drive / "limit.dat", at_limit);
    write_file(env.drive / "over.dat", over);
    config.anywhen = 1;
    anywhen_open();
    ASSERT_TRUE(env.put("/x.bin/inner.txt", "skipped"));
    ASSERT_TRUE(env.put("/x.bin2", "kept"));
    anywhen_event(ANYWHEN_FILE_WRITTEN, "/limit.dat", (env.drive / "limit.dat").c_str());
    anywhen_event(ANYWHEN_FILE_WRITTEN, "/over.dat", (env.drive / "over.dat").c_str());
    std::string log = read_file(env.store("2025-03/01.log"));
    EXPECT_EQ(log.find("inner.txt"), std::string::npos);
    EXPECT_NE(log.find(" /x.bin2\n"), std::string::npos);
    EXPECT_EQ(log.find("/loop/"), std::string::npos);  // folder links are not followed
    EXPECT_NE(env.log().find("[anywhen] not following folder link "), std::string::npos);
    EXPECT_EQ(log.find("fifo"), std::string::npos);
    EXPECT_EQ(log.find("forged"), std::string::npos);
    EXPECT_EQ(log.find("bottom.txt"), std::string::npos);
    EXPECT_NE(log.find("^ /deep/d/d/"), std::string::npos);
    EXPECT_NE(env.log().find("** anywhen exceeded maximum depth (1024). circular mount?"), std::string::npos);
    EXPECT_NE(log.find(": " + hash_of(at_limit) + " /limit.dat\n"), std::string::npos);  // snapshot
    EXPECT_NE(log.find("+ " + hash_of(at_limit) + " /limit.dat\n"), std::string::npos);  // unchanged: a delta
    EXPECT_EQ(log.find("over.dat"), std::string::npos);
    EXPECT_EQ(env.fetch("/limit.dat @ 2025-03-01_12:00:00"), at_limit);
}

TEST(Anywhen, FailuresDropTheEventAndKeepTheStore) {
    history_env env("2025-03-01_12:00:00");
    config.anywhen = 1;
    // A month folder that is not a folder: the event is lost, nothing is
    // created or truncated in its place.
    fs::create_directories(env.store(""));
    write_file(env.store("2025-03"), "keep me");
    write_file(env.store("blob"), "not a folder");
    ASSERT_TRUE(env.put("/a.txt", "one"));
    EXPECT_EQ(read_file(env.store("2025-03")), "keep me");
    EXPECT_NE(env.log().find("event lost"), std::string::npos);
    fs::remove(env.store("2025-03"));
    // An unwritable blob folder: the checkpoint line is still written, and
    // its version reads as missing rather than as anything else.
    env.at("2025-03-01_12:00:01");
    ASSERT_TRUE(env.put("/a.txt", "two"));
    EXPECT_NE(env.log().find("[anywhen] couldn't write blob "), std::string::npos);
    EXPECT_NE(read_file(env.store("2025-03/01.log")).find("$ " + hash_of("two") + " /a.txt\n"), std::string::npos);
    EXPECT_EQ(env.fetch("/a.txt @ 2025-03-01_12:00:01"), "<none>");
    // No temporary blob is left behind by a good write either.
    fs::remove(env.store("blob"));
    env.at("2025-03-01_12:00:02");
    ASSERT_TRUE(env.put("/b.txt", "three"));
    int entries = 0;
    for (auto& e : fs::directory_iterator(env.store("blob"))) entries += e.path().extension() == ".lz4" ? 1 : 100;
    EXPECT_EQ(entries, 1);
}

TEST(Anywhen, MonthFilterIsSizedForItsKeys) {
    history_env env("2025-03-20_12:00:00");
    fs::create_directories(env.store("2025-03"));
    std::string log;
    for (int i = 0; i < 40000; i++) log += "$ " + hash_of("") + " /f/" + std::to_string(i) + ".txt\n";
    write_file(env.store("2025-03/05.log"), log);
    int false_hits = 0, hits = 0;
    for (int i = 0; i < 40000; i++) hits += anywhen_check_location_by_month(("/f/" + std::to_string(i) + ".txt").c_str(), 2025, 3);
    for (int i = 0; i < 100000; i++)
        false_hits += anywhen_check_location_by_month(("/g/" + std::to_string(i) + ".txt").c_str(), 2025, 3);
    EXPECT_EQ(hits, 40000);
    EXPECT_LE(false_hits, 10);  // 1e-5 would be one
    EXPECT_EQ(anywhen_check_location_by_day("/f/1.txt", 2025, 3, 5), 1);
    EXPECT_EQ(anywhen_check_location_by_day("/f/1.txt", 2025, 3, 32), 0);
}

// Writes and queries over and over: with the leak checker on, any filter,
// table or buffer not freed fails the run.
TEST(Anywhen, ManyCyclesStayClean) {
    history_env env("2025-03-01_12:00:00");
    config.anywhen = 1;
    anywhen_open();
    env.call("_anywhen_get_attr", "");
    uint32_t buffers = get_total_num_buffers();
    for (int i = 0; i < 200; i++) {
        g_now += 1;
        ASSERT_TRUE(env.put("/c.txt", "cycle " + std::to_string(i % 7) + std::string(i, 'z')));
        ASSERT_NE(env.fetch("/c.txt @ 2025-03-01_13:00:00"), "<none>");
        ASSERT_NE(env.call("_list_anywhen_by_loc", "/c.txt"), "{}");
        ASSERT_NE(env.call("_list_anywhen_by_day", "/c.txt @ 2025-03-01"), "{}");
    }
    EXPECT_EQ(get_total_num_buffers(), buffers);
}

// A query pays for the log it walks: the fetch of the newest version (which
// decodes every version's delta) and the day's change times of a file stored
// N times (each a delta and its moment, three lines) are charged in step
// with N, a few cycles a version.
TEST(Anywhen, QueriesAreChargedByTheVersionsTheyWalk) {
    struct row {
        const char* call;
        std::string arg;
        int64_t least, most;  // cycles a version
    } rows[] = {{"_fetch_anywhen", "/hv.txt @ 2025-03-01_23:00:00", 4, 12},
                {"_list_anywhen_by_day", "/hv.txt @ 2025-03-01", 2, 6}};
    auto charges = [&](int versions) {
        history_env env("2025-03-01_10:00:00");
        config.anywhen = 1;
        anywhen_open();
        for (int i = 0; i < versions; i++) {
            g_now += 1;
            EXPECT_TRUE(env.put("/hv.txt", "version " + std::to_string(i)));
        }
        std::vector<int64_t> out;
        for (const row& r : rows) {
            env.call(r.call, r.arg);  // the month filter built first
            cpu_cycles = 0;
            EXPECT_NE(env.call(r.call, r.arg), "none") << r.call;
            out.push_back(cpu_cycles);
        }
        return out;
    };
    std::vector<int64_t> few = charges(10), many = charges(1010);
    for (size_t i = 0; i < few.size(); i++) {
        EXPECT_GE(many[i] - few[i], 1000 * rows[i].least) << rows[i].call;
        EXPECT_LE(many[i] - few[i], 1000 * rows[i].most) << rows[i].call;
    }
}

// Moments out of order (the host clock stepped back during the day) and
// damaged "@" lines. Every time the day lists for /a.txt fetches what was
// recorded last at it; the rows add fetches between the listed times (the
// latest earlier moment holds) and a folder at a moment, which holds what
// was recorded at or before it, whatever came after it in the log.
TEST(AnywhenMoments, EveryListedVersionIsFetchedAtItsMoment) {
    struct step {
        const char* at;    // none: text is a raw line appended to the log
        const char* path;  // written with text, or deleted when text is none
        const char* text;
    };
    struct row {
        const char* what;
        std::vector<step> steps;
        const char* listed;
        std::vector<std::pair<const char*, const char*>> fetched;  // time, content of /a.txt
        const char* folder_at;
        const char* folder;
    } rows[] = {
        {"stepped back",
         {{"10:00:00", "/a.txt", "v1"}, {"09:00:00", "/a.txt", "v2"}, {"09:00:00", "/b.txt", "b"},
          {"09:30:00", "/a.txt", "v3"}, {"11:00:00", "/a.txt", "v4"}},
         "{10:00:00,09:00:00,09:30:00,11:00:00}",
         {{"08:59:59", "<none>"}, {"09:45:00", "v3"}, {"10:30:00", "v1"}, {"23:00:00", "v4"}},
         "09:15:00",
         "{a.txt,b.txt}"},
        {"the same second twice",
         {{"10:00:00", "/a.txt", "v1"}, {"09:59:59", "/a.txt", "v2"}, {"10:00:00", "/a.txt", "v3"}},
         "{09:59:59,10:00:00}",
         {},
         "09:59:59",
         "{a.txt}"},
        {"a deletion stepped back",
         {{"10:00:00", "/a.txt", "v1"}, {"09:00:00", "/a.txt", nullptr}},
         "{10:00:00}",
         {{"09:00:00", "<none>"}, {"09:59:59", "<none>"}},
         "09:30:00",
         "{}"},
        {"damaged moments",
         {{"10:00:00", "/a.txt", "v1"},
          {nullptr, nullptr, "@ 2026-13-01_10:00:00"},
          {nullptr, nullptr, "@ 2026-03-02_00:00:00"},
          {nullptr, nullptr, "@ 2026-03-01_1O:00:00 marker"},
          {"10:05:00", "/a.txt", "v2"},
          {"10:06:00", "/b.txt", "b"}},
         "{10:00:00,10:05:00}",
         {{"10:04:59", "v1"}},
         "10:06:00",
         "{a.txt,b.txt}"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        history_env env("2026-03-01_08:00:00");
        config.anywhen = 1;
        anywhen_open();
        std::map<std::string, std::string> last;  // time: what /a.txt held after the last step at it
        for (const step& s : r.steps) {
            if (!s.at) {
                std::ofstream(env.store("2026-03/01.log"), std::ios::app) << s.text << "\n";
                continue;
            }
            env.at(("2026-03-01_" + std::string(s.at)).c_str());
            if (s.text) {
                ASSERT_TRUE(env.put(s.path, s.text));
            } else {
                delete_path(s.path);
            }
            if (!strcmp(s.path, "/a.txt")) last[s.at] = s.text ? s.text : "<none>";
        }
        std::string listed = env.call("_list_anywhen_by_day", "/a.txt @ 2026-03-01");
        EXPECT_EQ(listed, r.listed);
        std::vector<std::pair<std::string, std::string>> fetches(r.fetched.begin(), r.fetched.end());
        for (const auto& [t, text] : last)
            if (listed.find(t) != std::string::npos) fetches.emplace_back(t, text);
        for (const auto& [t, want] : fetches)
            EXPECT_EQ(env.fetch("/a.txt @ 2026-03-01_" + t), want) << t;
        EXPECT_EQ(env.call("_list_anywhen_folder_moment", "/ @ 2026-03-01_" + std::string(r.folder_at)), r.folder);
    }
    // A moment line is written as the writer formats it, or it is no moment.
    for (const char* bad : {"2026-13-01_10:00:00", "2026-03-32_10:00:00", "2026-03-01_24:00:00", "2026-03-01_10:60:00",
                            "2026-03-01 10:00:00", "2026-03-01_1O:00:00", "20260301__10:00:00"}) {
        std::string line = std::string("@ ") + bad;
        anywhen_line l;
        EXPECT_FALSE(anywhen_parse_line(line.data(), (int32_t)line.size(), &l)) << bad;
    }
}

// A scripted kernel stores one file three times through the host mount, a
// minute apart and across a day and a month, then finds each version by its
// day and time with the history calls and fetches it back: text as a string,
// a .vyn file as its value.
std::vector<std::string> g_said;
int h_tick(lua_State* L) {
    g_now += luaL_checkinteger(L, 1);
    return 0;
}
int h_say(lua_State* L) {
    g_said.push_back(luaL_checkstring(L, 1));
    return 0;
}

TEST(AnywhenScript, KernelWritesThreeVersionsAndReadsEachBack) {
    history_env env("2026-02-28_23:58:30");
    config.anywhen = 1;
    anywhen_open();
    g_said.clear();
    env.add_global("tick", h_tick);
    env.add_global("say", h_say);
    Process* root = env.boot_root(R"lua(
        local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
        for i = 1, 3 do assert(store("/notes.txt", "draft " .. i, RAW) == nil) tick(60) end
        for _, day in ipairs(_list_anywhen_by_loc("/notes.txt")) do
          for _, t in ipairs(_list_anywhen_by_day("/notes.txt @ " .. day)) do
            local text, meta = _fetch_anywhen("/notes.txt @ " .. day .. "_" .. t)
            say(day .. " " .. t .. " " .. type(text) .. " " .. text .. " " .. meta.metadata_format)
          end
        end
        say(#_list_anywhen_folder_moment("/ @ 2026-03-01_00:00:00") .. " " .. _anywhen_get_attr("/notes.txt"))
        store("/state.vyn", {drafts = 3, last = "draft 3"})
        local v = _fetch_anywhen("/state.vyn @ 2026-03-01_00:01:30")
        say(type(v) .. " " .. v.drafts .. " " .. v.last)
    )lua");
    ASSERT_NE(root, nullptr);
    for (int i = 0; i < 4 && !root_process_ended(); i++) env.frame();
    EXPECT_TRUE(root_process_ended()) << env.log();
    EXPECT_EQ(g_said, (std::vector<std::string>{"2026-02-28 23:58:30 string draft 1 none",
                                                "2026-02-28 23:59:30 string draft 2 none",
                                                "2026-03-01 00:00:30 string draft 3 none", "1 -1",
                                                "table 3 draft 3"}))
        << env.log();
}

// The program itself: a kernel turns the history on, which writes the day's
// snapshot of the drive, and reads it back through the history calls.
TEST(AnywhenProgram, KernelTurnsTheHistoryOnAndListsTheDrive) {
    hvx_test::install inst;
    fs::create_directories(inst.home() + "/drive/docs");
    write_file(inst.home() + "/drive/a.txt", "a");
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", R"lua(
        _apply_system_settings({anywhen = true})
        local days = _list_anywhen_by_loc("/docs/[folder]")
        printh(#days)
        for _, n in ipairs(_list_anywhen_folder_moment("/ @ " .. days[1] .. "_23:59:59")) do printh(n) end
        printh(_anywhen_get_attr("123456789/docs @ " .. days[1] .. "_12:00:00"))
        _signal(33)
        flip()
    )lua"}}));
    hvx_test::run_result run = inst.run({"-x"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "1\ndocs\na.txt\n1\n");
    std::string log = read_file(inst.log());
    EXPECT_NE(log.find("[anywhen] generating new log file: "), std::string::npos) << log;
    EXPECT_NE(log.find("[halvoran_exit] closing anywhen..\n"), std::string::npos);
}

}  // namespace
