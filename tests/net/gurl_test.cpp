// HTTP jobs against the loopback server: what goes over the wire, how jobs
// end, the callback hand-off, the table limit and the reaping.
#include <atomic>
#include <thread>

#include "tests/net/net_test_util.h"

namespace {

using hvx_test::http_reply;
using hvx_test::http_request;
using hvx_test::pump_until;
using hvx_test::pump_until_finished;

struct gurl : hvx_test::net_env {};

int callbacks = 0;
std::thread::id callback_thread;
void count_cb(gurl_job*) {
    callbacks++;
    callback_thread = std::this_thread::get_id();
}

TEST_F(gurl, requests_go_out_exactly) {
    server.set_handler([](const http_request& r) { return http_reply(200, "got " + r.method); });
    const std::string hdr = std::string("X-A: 1\0X-B: two\0", 16);
    struct row {
        int32_t method;
        const char* path;
        const char* body;  // none: no body given
        bool headers;
        const char* target, *method_name, *sent_body;
    } rows[] = {
        {GURL_GET, "/a b+c\xe9?x=1,2&y=%41", nullptr, true, "/a%20b%2bc%e9?x=1%2c2&y=%41", "GET", ""},
        {GURL_POST, "/p?q=1", "k=v&w", true, "/p?q=1", "POST", "k=v&w"},
        {GURL_PUT, "/put", "{}", false, "/put", "PUT", "{}"},
        {GURL_POST, "/empty", nullptr, false, "/empty", "POST", ""},
    };
    for (const row& r : rows) {
        callbacks = 0;
        std::string url = server.url(r.path);
        int32_t id = gurl_req(url.c_str(), count_cb, r.method, r.body, r.body ? (int64_t)strlen(r.body) : 0,
                                    r.headers ? hdr.data() : nullptr, (int64_t)hdr.size());
        ASSERT_GT(id, 0);
        ASSERT_TRUE(pump_until_finished(id)) << r.path;
        for (int i = 0; i < 3; i++) gurl_update();  // read again later: the callback stays run once
        gurl_job* j = gurl_get_job(id);
        ASSERT_NE(j, nullptr);
        EXPECT_EQ(j->state.load(), GURL_DONE);
        EXPECT_EQ(std::string((char*)j->result.data), std::string("got ") + r.method_name);
        EXPECT_EQ(callbacks, 1);
        EXPECT_EQ(callback_thread, std::this_thread::get_id());
        http_request got = server.requests().back();
        EXPECT_EQ(got.method, r.method_name);
        EXPECT_EQ(got.target, r.target);
        EXPECT_EQ(got.body, r.sent_body);
        EXPECT_EQ(got.header("User-Agent"), "Halvoran");
        // A GET never sends the job's lines; a POST or PUT sends them and nothing of curl's own.
        bool sends_lines = r.headers && r.method != GURL_GET;
        EXPECT_EQ(got.header("X-A"), sends_lines ? "1" : "");
        EXPECT_EQ(got.header("X-B"), sends_lines ? "two" : "");
        EXPECT_FALSE(got.has_header("Expect"));
        EXPECT_FALSE(got.has_header("Content-Type"));
        if (r.method != GURL_GET) {
            EXPECT_EQ(got.header("Content-Length"), std::to_string(strlen(r.sent_body)));
        }
    }
    // A large body goes at once (no 100-continue wait), with the job's own content type.
    std::string big(1500000, 'z');
    const char type[] = "Content-Type: text/plain";
    int32_t id = gurl_req(server.url("/big").c_str(), nullptr, GURL_POST, big.data(), (int64_t)big.size(), type,
                                sizeof type);
    ASSERT_TRUE(pump_until_finished(id));
    EXPECT_EQ(server.requests().back().body, big);
    EXPECT_EQ(server.requests().back().header("Content-Type"), "text/plain");
    EXPECT_FALSE(server.requests().back().has_header("Expect"));
}

// An error status fails the job too: its body (the server's error page) is
// not kept, its status is.
TEST_F(gurl, failures_and_error_replies_end_failed) {
    server.set_handler([](const http_request& r) {
        if (r.target == "/cut") return http_reply(200, std::string(10, 'x')).announcing(1000);
        if (r.target == "/gone") return http_reply(404, "missing");
        if (r.target == "/broken") return http_reply(500, "trace");
        if (r.target == "/teapot") return http_reply(399, "odd but no error");
        if (r.target == "/redirect") return http_reply(302).with_header("Location: file:///etc/hostname");
        return http_reply();
    });
    std::string refused = "http://127.0.0.1:" + std::to_string(hvx_test::loopback_http_server::closed_port()) + "/x";
    struct row {
        std::string url;
        int32_t method, state;
        const char* log;  // expected in the log, or none
        const char* result;
        int32_t status;
    } rows[] = {
        {refused, GURL_GET, GURL_FAILED, "gurl_get_worker failed: UrlHandle == 0", "", 0},
        {refused, GURL_POST, GURL_FAILED, nullptr, "", 0},
        {"file:///etc/hostname", GURL_GET, GURL_FAILED, "gurl_get_worker failed: UrlHandle == 0", "", 0},
        {"file:///etc/hostname", GURL_PUT, GURL_FAILED, "gurl_get_worker_post_or_put failed: hRequest == 0", "", 0},
        {server.url("/redirect"), GURL_GET, GURL_FAILED, nullptr, "", 302},
        {server.url("/cut"), GURL_GET, GURL_FAILED, nullptr, "", 200},
        {server.url("/gone"), GURL_GET, GURL_FAILED, nullptr, "", 404},
        {server.url("/broken"), GURL_POST, GURL_FAILED, nullptr, "", 500},
        {server.url("/teapot"), GURL_GET, GURL_DONE, nullptr, "odd but no error", 399},
    };
    for (const row& r : rows) {
        std::string before = env.log();
        int32_t id = gurl_req(r.url.c_str(), nullptr, r.method, "b", 1, nullptr, 0);
        ASSERT_TRUE(pump_until_finished(id)) << r.url;
        gurl_job* j = gurl_get_job(id);
        EXPECT_EQ(j->state.load(), r.state) << r.url;
        EXPECT_EQ(std::string((char*)j->result.data), r.result) << r.url;
        EXPECT_EQ(j->status, r.status) << r.url;
        std::string added = env.log().substr(before.size());
        if (r.log) {
            EXPECT_NE(added.find(r.log), std::string::npos) << r.url;
        } else {
            EXPECT_EQ(added.find("gurl_get_worker"), std::string::npos) << r.url << added;
        }
    }
}

TEST_F(gurl, replies_held_together_stay_under_their_total) {
    // Each reply is allowed alone; three together pass what all jobs may hold.
    const std::string big((size_t)(GURL_RESULTS_TOTAL_MAX * 3 / 8), 'b');
    server.set_handler([&](const http_request&) { return http_reply(200, big); });
    std::vector<int32_t> ids;
    for (int i = 0; i < 3; i++) ids.push_back(gurl_get(server.url("/big").c_str(), nullptr));
    // No update runs meanwhile, so no finished job is reaped and lets go.
    auto pending = [&] {
        for (int32_t id : ids)
            if (gurl_get_job(id)->state.load() == GURL_PENDING) return true;
        return false;
    };
    for (int ms = 0; ms < 30000 && pending(); ms++) usleep(1000);
    ASSERT_FALSE(pending());
    int64_t kept = 0;
    int failed = 0;
    for (int32_t id : ids) {
        gurl_job* j = gurl_get_job(id);
        if (j->state.load() == GURL_DONE) kept += j->result.length;
        else failed += std::string((char*)j->result.data).empty();
    }
    EXPECT_GE(failed, 1);
    EXPECT_LE(kept, GURL_RESULTS_TOTAL_MAX);
}

TEST_F(gurl, a_held_slot_refuses_and_finished_jobs_stay_for_120_updates) {
    server.set_handler([&](const http_request&) {
        for (int i = 0; i < 20000 && !release; i++) usleep(1000);  // held until the test lets go
        return http_reply(200, "late");
    });
    int32_t held = gurl_get(server.url("/hold").c_str(), nullptr);
    ASSERT_GT(held, 0);
    std::string refused = "http://127.0.0.1:" + std::to_string(hvx_test::loopback_http_server::closed_port());
    for (int k = 1; k < GURL_JOBS; k++) ASSERT_EQ(gurl_get(refused.c_str(), nullptr), held + k);
    // Every slot is held: refused, and the count stays.
    EXPECT_EQ(gurl_get(refused.c_str(), nullptr), -1);
    EXPECT_EQ(gurl_get(refused.c_str(), nullptr), -1);
    EXPECT_NE(env.log().find("gurl_get: new_job() failed"), std::string::npos);
    EXPECT_EQ(gurl_get_job(0), nullptr);
    ASSERT_TRUE(pump_until_finished(held + 1));
    gurl_job* j = gurl_get_job(held + 1);
    ASSERT_NE(j, nullptr);
    uint64_t finish = j->finish_tick;
    while (gurl_current_tick() <= finish + GURL_KEEP_UPDATES) {
        ASSERT_EQ(gurl_get_job(held + 1), j) << gurl_current_tick() - finish;
        gurl_update();
    }
    EXPECT_EQ(gurl_get_job(held + 1), j);  // the update where the tick is finish + 120 keeps it
    gurl_update();
    EXPECT_EQ(gurl_get_job(held + 1), nullptr);
    EXPECT_EQ(gurl_get_job(held)->state.load(), GURL_PENDING);
    release = true;
    ASSERT_TRUE(pump_until_finished(held));
    EXPECT_EQ(std::string((char*)gurl_get_job(held)->result.data), "late");
    ASSERT_TRUE(pump_until([&] { return !gurl_get_job(held); }));
    EXPECT_EQ(gurl_get(refused.c_str(), nullptr), held + GURL_JOBS);
}

// One job that stays pending does not block the table: while more than 256
// others come and go, each takes the next free slot round it, ids keep
// increasing, and an id still names its slot (id mod 256).
TEST_F(gurl, a_pending_job_blocks_no_other) {
    server.set_handler([&](const http_request&) {
        for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "late");
    });
    const int32_t held = gurl_get(server.url("/hold").c_str(), nullptr);
    ASSERT_GT(held, 0);
    std::string refused = "http://127.0.0.1:" + std::to_string(hvx_test::loopback_http_server::closed_port());
    constexpr int rounds = 3, per_round = 200;
    int32_t last = held;
    for (int round = 0; round < rounds; round++) {
        for (int k = 0; k < per_round; k++) {
            int32_t id = gurl_get(refused.c_str(), nullptr);
            ASSERT_GT(id, last) << round << " " << k;
            ASSERT_NE(id % GURL_JOBS, held % GURL_JOBS);
            ASSERT_EQ(gurl_get_job(id)->id, id);
            last = id;
        }
        ASSERT_TRUE(pump_until([] { return gurl_jobs_in_use() == 1; }, 20000)) << round;
    }
    // Only the ids that name the held slot were passed over.
    EXPECT_EQ(last, held + rounds * per_round + rounds * per_round / GURL_JOBS);
    EXPECT_EQ(gurl_get_job(held)->state.load(), GURL_PENDING);
    release = true;
}

// The host's own lines go out as given; a piece holding a line break would
// add header lines of its own and goes out not at all.
TEST_F(gurl, a_header_piece_holding_a_line_break_is_not_sent) {
    static const char lines[] = "X-A: 1\r\nX-Injected: 1\0X-B: 2\0X-C: 3\n\0X-D: 4\rX-Injected: 2";
    const std::string hdr(lines, sizeof lines);
    int32_t id = gurl_req(server.url("/h").c_str(), nullptr, GURL_POST, "b", 1, hdr.data(), (int64_t)hdr.size());
    ASSERT_TRUE(pump_until_finished(id));
    http_request got = server.requests().back();
    EXPECT_EQ(got.header("X-B"), "2");
    for (const char* absent : {"X-A", "X-Injected", "X-C", "X-D"}) EXPECT_FALSE(got.has_header(absent)) << absent;
}

// Where a user's token may go: under the endpoint, never to another host, a
// longer host name or path segment that begins the same, or a path that
// leads out from under it.
TEST(url_under_endpoint, the_token_goes_only_under_its_endpoint) {
    const std::string rt = "https://rt.test/vynnet/4242/";
    struct row {
        std::string endpoint, url;
        bool under;
    } rows[] = {
        {rt, rt, true},
        {rt, rt + "room?x=1", true},
        {rt, rt + "a/b.c#f", true},
        {rt, rt + "?a=../..", true},  // a query is no path
        {rt, rt + "x.y/..z/...", true},
        {"http://127.0.0.1:8080/rt/u1/", "http://127.0.0.1:8080/rt/u1/a?b", true},
        {"https://a.com", "https://a.com", true},
        {"https://a.com", "https://a.com/x", true},
        {"https://a.com", "https://a.com?q", true},
        {"https://a.com", "https://a.com#f", true},
        {"https://a.com:8443/rt", "https://a.com:8443/rt/x", true},
        // Another host, or the same one written otherwise.
        {rt, "https://rt.test/vynnet/4242", false},
        {rt, "https://rt.test/vynnet/42425/", false},
        {rt, "http://rt.test/vynnet/4242/x", false},
        {rt, "https://RT.test/vynnet/4242/x", false},
        {rt, "https://evil.test/vynnet/4242/", false},
        {"https://a.com", "https://a.com.evil.com/x", false},
        {"https://a.com", "https://a.com@evil.com/", false},
        {"https://a.com", "https://a.com\\@evil.com/", false},
        {"https://a.com", "https://a.com%2f@evil.com/", false},
        {"https://a.com", "https://a.com:443/x", false},
        {"https://a.com", "https://a.comx", false},
        {"https://a.com:8443/rt", "https://a.com:84430/rt", false},
        {"https://a.com:8443/rt", "https://a.com:8443/rtx", false},
        // Out from under the endpoint's path.
        {rt, rt + "../../other", false},
        {rt, rt + "%2e%2e/x", false},
        {rt, rt + "%2E./x", false},
        {rt, rt + "..%2fx", false},
        {rt, rt + "a\\..\\..\\x", false},
        {rt, rt + "a/%5c..%5cx", false},
        {rt, rt + "x/.?q", false},
        // A NUL would cut the request short of what was checked.
        {rt, rt + std::string("x\0y", 3), false},
        {"https://a.com", std::string("https://a.com\0.evil.com", 23), false},
        // Endpoints that name no host match nothing.
        {"", "https://a.com/x", false},
        {"", "", false},
        {"https://", "https://evil.com/x", false},
        {"https:/", "https://evil.com/", false},
        {"/", "/x", false},
        {"https:///x/", "https:///x/y", false},
        {"https://:443/", "https://:443/x", false},
        {"https://u@/", "https://u@/x", false},
        {"https://u@a.com/", "https://u@a.com/x", false},
        {"https://\\evil.com/", "https://\\evil.com/x", false},
        {"rt.test/4242/", "rt.test/4242/x", false},
        {"ftp://a.com/", "ftp://a.com/x", false},
    };
    for (const row& r : rows) EXPECT_EQ(url_under_endpoint(r.url, r.endpoint), r.under) << r.endpoint << " " << r.url;
}

TEST(header_line_is_valid, no_byte_may_end_the_line) {
    for (std::string good : {"X-A: 1", "X-A: a\tb", "", "X-A: caf\xc3\xa9", "Authorization: $vynnet_access_token"})
        EXPECT_TRUE(header_line_is_valid(good)) << good;
    for (std::string bad : {std::string("X-A: 1\r\nX-B: 2"), std::string("X-A: 1\nX-B: 2"), std::string("X-A: 1\r"),
                            std::string("X-A: 1\0X-B: 2", 13), std::string("X-A: \x7f"), std::string("X-A: \x1b[0m")})
        EXPECT_FALSE(header_line_is_valid(bad)) << bad;
}

TEST(gurl_escape, keeps_only_the_url_characters) {
    std::string in, want;
    for (int c = 1; c < 256; c++) {
        in += (char)c;
        bool kept = isalnum(c) || strchr("_#%&-./:=?", c);
        char e[4];
        snprintf(e, sizeof e, "%%%02x", c);
        want += kept ? std::string(1, (char)c) : std::string(e);
    }
    gurl_buffer out{};
    gurl_escape_url(in.c_str(), &out);
    EXPECT_EQ(std::string((char*)out.data, (size_t)out.length), want);
    gurl_buffer_free(&out);
}

TEST(net_hosts, only_plain_http_addresses_are_taken) {
    for (const char* good : {"http://127.0.0.1:8080", "https://site.example", "https://a-b.example/"})
        EXPECT_TRUE(net_host_url_is_valid(good)) << good;
    for (const char* bad : {"", "ftp://x", "http://", "http://x/path", "http://u@x", "http://x:99999", "http://[::1]",
                            "file:///etc", "http://x y"})
        EXPECT_FALSE(net_host_url_is_valid(bad)) << bad;
    net_set_host_url(NET_HOST_CART, "https://c.example/");
    EXPECT_STREQ(net_host_url(NET_HOST_CART), "https://c.example");
    net_set_host_url(NET_HOST_CART, "nope");
    EXPECT_STREQ(net_host_url(NET_HOST_CART), "");
}

}  // namespace
