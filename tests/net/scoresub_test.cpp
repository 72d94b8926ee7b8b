// Score channels: merging against a reference, the reply reader, the
// cartridge part of names, and the whole exchange with the loopback server:
// connect, post, poll, spacing, eviction and the end of processes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>

#include "tests/net/net_test_util.h"

namespace {

using hvx_test::http_reply;
using hvx_test::http_request;
using clock_type = std::chrono::steady_clock;

struct item_view {
    std::string key;
    double score;
    uint64_t ts;
    bool operator==(const item_view&) const = default;
};

std::vector<item_view> items_of(const scoresub* s) {
    std::vector<item_view> out;
    for (int i = 0; i < scoresub_item_count(s); i++) {
        item_view v;
        v.key = scoresub_item_at(s, i, &v.score, &v.ts);
        out.push_back(v);
    }
    return out;
}

// One reply record as the channel endpoint writes it.
std::string record(uint64_t ts, const std::string& key, const std::string& score, const std::string& content) {
    std::string body = key + ";" + score + "|" + content + "\n";
    char head[32];
    snprintf(head, sizeof head, "%08zx %016llx ", 26 + body.size(), (unsigned long long)ts);
    return head + body;
}

struct ScoreChannels : ::testing::Test {
    hvx_test::process_env env;
    void TearDown() override { remove_scoresub_references(0); }
};

TEST_F(ScoreChannels, MergeKeepsTheBestOfEachKeyInOrder) {
    struct step {
        const char* key;
        double score;
        uint64_t ts;
    };
    struct {
        std::vector<step> steps;
        std::vector<item_view> want;
    } rows[] = {
        {{{"a", 5, 1}, {"b", 7, 2}, {"c", 5, 0}}, {{"b", 7, 2}, {"c", 5, 0}, {"a", 5, 1}}},
        {{{"k", 4, 1}, {"x", 5, 9}, {"k", 3, 2}}, {{"x", 5, 9}, {"k", 4, 1}}},
        {{{"k", 4, 1}, {"k", 4, 0}}, {{"k", 4, 1}}},  // an equal score keeps the first item
        {{{"x", 5, 9}, {"k", 4, 1}, {"k", 6, 3}}, {{"k", 6, 3}, {"x", 5, 9}}},
    };
    int n = 0;
    for (auto& r : rows) {
        scoresub* s = get_scoresub(nullptr, nullptr, ("t-" + std::to_string(n++)).c_str());
        for (const step& st : r.steps) channel_add(s, st.key, st.score, nullptr, 0, st.ts);
        EXPECT_EQ(items_of(s), r.want) << n;
    }
    // Against a reference: the first item of each key's best score, ordered by
    // score, then ts, then the order they were merged in; past the first
    // capacity.
    std::mt19937 rng(7);
    scoresub* s = get_scoresub(nullptr, nullptr, "t-random");
    struct ref_item {
        double score;
        uint64_t ts, order;
    };
    std::map<std::string, ref_item> best;
    for (uint64_t order = 0; order < 3000; order++) {
        std::string key = "u" + std::to_string(rng() % 300);
        double score = (double)(rng() % 40);
        uint64_t ts = rng() % 50;
        channel_add(s, key.c_str(), score, (const uint8_t*)"c", 1, ts);
        auto it = best.find(key);
        if (it == best.end() || it->second.score < score) best[key] = {score, ts, order};
    }
    std::vector<std::pair<std::string, ref_item>> want(best.begin(), best.end());
    std::sort(want.begin(), want.end(), [](const auto& a, const auto& b) {
        if (a.second.score != b.second.score) return a.second.score > b.second.score;
        if (a.second.ts != b.second.ts) return a.second.ts < b.second.ts;
        return a.second.order < b.second.order;
    });
    std::vector<item_view> want_items;
    for (auto& [k, v] : want) want_items.push_back({k, v.score, v.ts});
    EXPECT_EQ(items_of(s), want_items);
}

TEST_F(ScoreChannels, RepliesAreReadRecordByRecord) {
    const std::string a = record(1, "ann", "5.000000", "0a12345678hi"), b = record(2, "bob", "7.5", "0a00000000");
    const std::string short_one = "0000001d" + a.substr(8);  // says 29 bytes
    std::string no_semi = record(4, "dan", "1", "x");
    no_semi[26 + 3] = ':';
    std::string bad_end = record(5, "eve", "1", "x");
    bad_end.back() = '!';
    struct {
        std::string reply;
        std::vector<std::string> keys;
    } rows[] = {
        {a + b, {"ann", "bob"}},
        {short_one + a, {}},
        {no_semi + b, {"bob"}},
        {bad_end + a, {"ann"}},
        {a + b.substr(0, b.size() - 1), {"ann"}},       // a length past the end stops
        {record(6, "", "1", "x") + a, {"ann"}},          // no key
        {record(6, "f", "nan", "x") + record(6, "g", "1e999", "x") + record(6, "h", "2x", "x") + a, {"ann"}},
        {record(6, std::string("i\x01j", 3), "1", "x") + a, {"ann"}},
        {"zzzzzzzz" + a.substr(8) + a, {}},               // a length that is no number
    };
    for (auto& r : rows) {
        std::vector<std::string> keys;
        for (const score_record& rec : scoresub_parse_reply((const uint8_t*)r.reply.data(), r.reply.size()))
            keys.emplace_back(rec.key, rec.key_len);
        EXPECT_EQ(keys, r.keys) << r.reply;
    }
    auto recs = scoresub_parse_reply((const uint8_t*)a.data(), a.size());
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].ts, 1u);
    EXPECT_EQ(recs[0].score, 5.0);
    EXPECT_EQ(std::string((const char*)recs[0].content, recs[0].content_len), "0a12345678hi");
}

TEST_F(ScoreChannels, AHostileReplyIsBounded) {
    // Better and better scores under new keys: every merge goes to the front.
    std::string reply;
    for (size_t i = 0; i < SCORE_RECORDS_MAX + 100; i++)
        reply += record(i, "k" + std::to_string(i), std::to_string(i), "c");
    auto recs = scoresub_parse_reply((const uint8_t*)reply.data(), reply.size());
    ASSERT_EQ(recs.size(), SCORE_RECORDS_MAX);
    scoresub* s = get_scoresub(nullptr, nullptr, "t-hostile");
    for (const score_record& r : recs)
        channel_add(s, std::string(r.key, r.key_len).c_str(), r.score, r.content, r.content_len, r.ts);
    channel_add(s, "low", -1, nullptr, 0, 0);  // after the last of a full channel
    std::vector<item_view> want;
    for (int i = 0; i < SCORESUB_ITEMS_MAX; i++) {
        uint64_t k = SCORE_RECORDS_MAX - 1 - (uint64_t)i;
        want.push_back({"k" + std::to_string(k), (double)k, k});
    }
    EXPECT_EQ(items_of(s), want);
    // Content no post can carry is cut to what one can.
    const std::string big = record(1, "big", "1", std::string(SCORE_CONTENT_MAX + 1, 'c'));
    recs = scoresub_parse_reply((const uint8_t*)big.data(), big.size());
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].content_len, SCORE_CONTENT_MAX);
}

TEST_F(ScoreChannels, CartridgeAndChannelNames) {
    struct {
        std::string path, cart_id, want;
    } rows[] = {
        {"bbs://foo-3.hvx.png", "", "foo"}, {"bbs://bar.hvx.png", "x", "bar"}, {"bbs://-1", "", ""},
        {"/ram/c.hvx", "bar-2", "_bar"},    {"/ram/c.hvx", "_baz-1", "_baz"}, {"/ram/c.hvx", "", "_dev"},
    };
    for (auto& r : rows) {
        Process* p = env.spawn("", "c", r.path, "", r.cart_id);
        char name[256];
        scoresub_cart_name(p, name, sizeof name);
        EXPECT_EQ(name, r.want) << r.path << " " << r.cart_id;
    }
    Process* p = env.spawn("");
    Process* quoted = env.spawn("", "q", "/ram/q.lua", "", "a\"b");
    EXPECT_EQ(hvx_test::run_in(p, "return _scoresub('Level_1').connecting"), "true");
    EXPECT_STREQ(scoresub_name(get_scoresub_by_index(num_scoresubs() - 1)), "_dev-level_1");
    const int before = num_scoresubs();
    for (const char* bad : {"'a-b'", "string.rep('a', 41)", "42", "'caf\\xe9'"})
        EXPECT_EQ(hvx_test::run_in(p, std::string("return _scoresub(") + bad + ")"), "") << bad;
    EXPECT_EQ(hvx_test::run_in(quoted, "return _scoresub('x')"), "");
    EXPECT_EQ(num_scoresubs(), before);
}

// The exchange with the endpoints, as the frame driver runs it.
struct ScoreFlow : hvx_test::net_env {
    std::mutex lock;
    std::vector<std::pair<http_request, clock_type::time_point>> seen;
    std::string extra_reply;  // records each channel reply carries

    void SetUp() override {
        hvx_test::net_env::SetUp();
        ASSERT_EQ(add_or_modify_session("u1", 1, "tok", "Ann", "icon"), 0);  // u1's user data is known
        siteuser_session* s = get_active_session();
        ASSERT_NE(s, nullptr);
        snprintf(s->channel_token, sizeof s->channel_token, "CT/u1/x");
        s->tokens_received = os_get_time();
        server.set_handler([this](const http_request& r) {
            std::lock_guard<std::mutex> g(lock);
            seen.push_back({r, clock_type::now()});
            if (r.target == "/connect")
                return http_reply(200, "channel /u1/\nhttps_endpoint:" + server.url("/ep") + "\r\nnew_token:T1\n");
            return http_reply(200, extra_reply);
        });
    }
    void TearDown() override {
        hvx_test::net_env::TearDown();
        remove_scoresub_references(0);
    }
    std::vector<http_request> requests(const std::string& target) {
        std::lock_guard<std::mutex> g(lock);
        std::vector<http_request> out;
        for (auto& [r, t] : seen)
            if (r.target == target) out.push_back(r);
        return out;
    }
    // Frames (score channels, jobs, score channels) until cond holds; 5 s at most.
    bool frames_until(const std::function<bool()>& cond, int timeout_ms = 5000) {
        return hvx_test::pump_until([&] {
            scoresub_update();
            gurl_update();
            scoresub_update();
            return cond();
        }, timeout_ms);
    }
};

TEST_F(ScoreFlow, PostPollAndRead) {
    const std::string path = "/ep/channel/scoresub/_dev-level1";
    char head[16];
    snprintf(head, sizeof head, "0a%08x", scoresub_checksum(100, "_dev-level1", "u1", (const uint8_t*)"xyz", 3));
    extra_reply = record(0x2a, "u1", "100.000000", std::string(head) + "xyz");
    // Until the first reply is merged the table is not shown.
    EXPECT_EQ(eval("return _scoresub('Level1', 100, 'xyz').connecting"), "true");
    ASSERT_TRUE(frames_until([&] { return eval("return _scoresub('level1').connecting") == "nil"; }));
    EXPECT_EQ(eval("local t = _scoresub('level1') return #t, t[1].user_id, t[1].score, t[1].extra"),
              "1, u1, 100.0, xyz");

    http_request con = requests("/connect").at(0);
    EXPECT_EQ(con.body, "{\"token\":\"CT/u1/x\",\"channel\":\"scoresub/_dev-level1\"}");
    EXPECT_EQ(con.header("Content-Type"), "application/json");
    http_request post = requests(path).at(0);
    std::string hex;
    for (char c : std::string(head) + "xyz") {
        char h[3];
        snprintf(h, sizeof h, "%02x", (uint8_t)c);
        hex += h;
    }
    EXPECT_EQ(hex.substr(0, 4), "3061");
    EXPECT_EQ(post.body, "{\"since_ts40_hex\":\"1\",\"score\":100.000000,\"content_hex\":\"" + hex + "\"}");
    EXPECT_EQ(post.header("Authorization"), "T1");
    EXPECT_FALSE(post.has_header("Content-Type"));

    // The reads asked for a poll: it carries both headers and the next ts.
    ASSERT_TRUE(frames_until([&] { return requests(path).size() >= 2; }));
    http_request poll = requests(path).at(1);
    EXPECT_EQ(poll.body, "{\"since_ts40_hex\":\"2b\"}");
    EXPECT_EQ(poll.header("Content-Type"), "application/json");
    EXPECT_EQ(poll.header("Authorization"), "T1");
}

TEST_F(ScoreFlow, PostsAreSpacedAndOnlyTheLastGoes) {
    const std::string path = "/ep/channel/scoresub/_dev-race";
    eval("_scoresub('race', 1)");
    ASSERT_TRUE(frames_until([&] { return requests(path).size() == 1; }));
    // A score that is no finite number only reads.
    eval("local inf = math.huge _scoresub('race', 2) _scoresub('race', 3) _scoresub('race', inf - inf) "
         "_scoresub('race', -inf)");
    ASSERT_TRUE(frames_until([&] { return requests(path).size() == 2; }));
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::pair<std::string, clock_type::time_point>> posts;
    for (auto& [r, t] : seen)
        if (r.target == path) posts.push_back({r.body, t});
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_NE(posts[0].first.find("\"score\":1.000000"), std::string::npos);
    EXPECT_NE(posts[1].first.find("\"score\":3.000000"), std::string::npos);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(posts[1].second - posts[0].second).count(), 950);
}

TEST_F(ScoreFlow, EvictionAndTheEndOfProcesses) {
    eval("_scoresub('first')");
    eval("for i = 1, 15 do _scoresub('c' .. i) end");
    EXPECT_EQ(num_scoresubs(), MAX_SCORESUBS);
    EXPECT_STREQ(scoresub_name(get_scoresub_by_index(0)), "_dev-first");
    eval("_scoresub('c16')");
    EXPECT_STREQ(scoresub_name(get_scoresub_by_index(0)), "_dev-c1");
    EXPECT_EQ(eval("return _scoresub('first').connecting"), "true");
    remove_scoresub_references(p->id);
    EXPECT_EQ(num_scoresubs(), 0);

    // A score posted just before its process ends still goes out; the channel
    // goes after the post's reply.
    Process* quitter = env.spawn("");
    Process* reader = env.spawn("");
    hvx_test::run_in(reader, "_scoresub('read')");
    hvx_test::run_in(quitter, "_scoresub('keep', 9, 'bye')");
    kill_process(reader);
    kill_process(quitter);
    ASSERT_EQ(num_scoresubs(), 1);
    EXPECT_STREQ(scoresub_name(get_scoresub_by_index(0)), "_dev-keep");
    ASSERT_TRUE(frames_until([&] { return num_scoresubs() == 0; }));
    EXPECT_EQ(requests("/ep/channel/scoresub/_dev-keep").size(), 1u);
}

}  // namespace
