// Remote fetches as a script makes them: methods, header lines and the token
// placeholder, the result call's answers, and the cartridge cache.
#include <arpa/inet.h>
#include <lodepng.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "lang/lang.h"
#include "tests/net/net_test_util.h"

namespace {

using hvx_test::http_reply;
using hvx_test::http_request;
using hvx_test::run_in;

struct fetch_remote : hvx_test::net_env {
    // Starts a fetch from the script; its id.
    int32_t start(const std::string& args) {
        std::string r = eval("return _fetch_remote(" + args + ")");
        return (int32_t)atoi(r.c_str());
    }
    // The results of _fetch_remote_result(id) once the job has finished.
    std::string result(int32_t id, const std::string& shown = "r.n .. ' ' .. tostring(r[3])") {
        if (gurl_get_job(id)) hvx_test::pump_until_finished(id);
        return eval("local r = table.pack(_fetch_remote_result(" + std::to_string(id) + ")) return " + shown);
    }
    std::string cached(const std::string& name) { return hvx_test::read_file(std::string(config.home) + "/" + name); }
};

TEST_F(fetch_remote, methods_and_header_lines) {
    struct row {
        const char* args;
        const char* method;
        const char* body;
    } rows[] = {
        {"'/m', 'PoSt', 'b'", "POST", "b"}, {"'/m', 'pUt', 'b'", "PUT", "b"},  {"'/m', 'posts', 'b'", "GET", ""},
        {"'/m', 'get', 'b'", "GET", ""},     {"'/m', nil, 'b'", "GET", ""},      {"'/m', 'post'", "POST", ""},
    };
    for (const row& r : rows) {
        std::string args = r.args;
        args.replace(1, 2, server.url("/m"));
        int32_t id = start(args);
        ASSERT_GT(id, 0) << r.args;
        ASSERT_TRUE(hvx_test::pump_until_finished(id));
        EXPECT_EQ(server.requests().back().method, r.method) << r.args;
        EXPECT_EQ(server.requests().back().body, r.body) << r.args;
    }
    // The placeholder becomes the token only under the active session's endpoint.
    std::string ep = server.url("/rt/u1/");
    auto headers_for = [&](const std::string& url) {
        int32_t id = start("'" + url + "', 'post', 'x', {'X-A: 1', 5, '" + TOKEN_PLACEHOLDER + "'}");
        result(id);
        http_request got = server.requests().back();
        return got.header("X-A") + "|" + got.header("Authorization");
    };
    EXPECT_EQ(headers_for(ep + "a"), "1|");  // no session
    add_or_modify_session("u1", 1, "T", "n", nullptr);
    siteuser_session* s = get_active_session();
    snprintf(s->vynnet_token, sizeof s->vynnet_token, "VT");
    EXPECT_EQ(headers_for(ep + "a"), "1|");  // no endpoint yet: never to any host
    snprintf(s->https_endpoint, sizeof s->https_endpoint, "%s", ep.c_str());
    EXPECT_EQ(headers_for(ep + "a?b"), "1|VT");
    EXPECT_EQ(headers_for(server.url("/other")), "1|");
    snprintf(s->https_endpoint, sizeof s->https_endpoint, "%s", server.url("/rt/u1").c_str());
    EXPECT_EQ(headers_for(server.url("/rt/u1?q")), "1|VT");
    EXPECT_EQ(headers_for(server.url("/rt/u1x")), "1|");  // a longer name that begins the same
}

// Starting a job (a thread and its buffers) is paid, besides the header walk.
TEST_F(fetch_remote, a_started_job_pays_for_its_start) {
    hvx_test::call_result c = hvx_test::call(p, lua54__fetch_remote, "'" + server.url("/m") + "', 'get', nil, {'X-A: 1', 5}");
    ASSERT_EQ(c.error, "");
    ASSERT_EQ(c.values.size(), 1u);
    EXPECT_EQ(c.charged, FETCH_JOB_START_COST + 2 * FETCH_HEADER_ENTRY_COST);
    EXPECT_TRUE(hvx_test::pump_until_finished(atoi(c.values[0].c_str())));
}

// A script's header string holding a line break (or another control byte)
// would be two header lines, the second the script's choice: it is not sent,
// and the refusal is logged once. A token that would break its line goes
// nowhere.
TEST_F(fetch_remote, header_lines_that_would_break_are_not_sent) {
    std::string ep = server.url("/rt/u1/");
    add_or_modify_session("u1", 1, "T", "n", nullptr);
    siteuser_session* s = get_active_session();
    snprintf(s->https_endpoint, sizeof s->https_endpoint, "%s", ep.c_str());
    struct row {
        const char* header;  // a Lua string literal's text
        const char* token;
        const char* sent;    // the X-A and Authorization headers that arrived
    } rows[] = {
        {"X-A: 1", "VT", "1|VT"},
        {"X-A: 1\\r\\nX-Injected: 1", "VT", "|VT"},
        {"X-A: 1\\nX-Injected: 1", "VT", "|VT"},
        {"X-A: 1\\rX-Injected: 1", "VT", "|VT"},
        {"X-A: 1\\0X-Injected: 1", "VT", "|VT"},
        {"X-A: 1\\27", "VT", "|VT"},
        {"X-A: 1\\127X-Injected: 1", "VT", "|VT"},  // DEL
        {"X-A: 1\\tb", "VT", "1\tb|VT"},
        {"X-A: 1", "VT\r\nX-Injected: 2", "1|"},
        {"X-A: 1", "VT\x7f", "1|"},
    };
    for (const row& r : rows) {
        snprintf(s->vynnet_token, sizeof s->vynnet_token, "%s", r.token);
        int32_t id = start("'" + ep + "a', 'post', 'x', {'" + r.header + "', '" + TOKEN_PLACEHOLDER + "'}");
        ASSERT_GT(id, 0) << r.header;
        ASSERT_TRUE(hvx_test::pump_until_finished(id));
        http_request got = server.requests().back();
        EXPECT_EQ(got.header("X-A") + "|" + got.header("Authorization"), r.sent) << r.header;
        EXPECT_FALSE(got.has_header("X-Injected")) << r.header;
    }
    const std::string refusal = "a header holding a line break or other control byte is not sent";
    std::string log = env.log();
    ASSERT_NE(log.find(refusal), std::string::npos);
    EXPECT_EQ(log.find(refusal, log.find(refusal) + 1), std::string::npos);
}

TEST_F(fetch_remote, result_answers) {
    server.set_handler([](const http_request& r) { return http_reply(200, "hello").delayed(r.target == "/slow" ? 400 : 0); });
    int32_t slow = start("'" + server.url("/slow") + "'");
    EXPECT_EQ(eval("return select('#', _fetch_remote_result(" + std::to_string(slow) + "))"), "0");  // pending
    ASSERT_TRUE(server.wait_for_requests(1, 5000));  // arrived (and held)
    std::string refused = "http://127.0.0.1:" + std::to_string(hvx_test::loopback_http_server::closed_port());
    EXPECT_EQ(result(start("'" + refused + "'")), "3 could not download");
    EXPECT_EQ(result(slow + 100000), "3 job not found");
    // The system's own requests carry tokens: not readable by id.
    int32_t own = gurl_get(server.url("/own").c_str(), get_top_kat_cb);
    EXPECT_EQ(result(own), "3 job not found");
    config.network_access = 0;
    size_t before = server.request_count();
    EXPECT_EQ(eval("local a, b = _fetch_remote('" + server.url("/x") + "') return tostring(a) .. ' ' .. b"),
              "nil no network access");
    EXPECT_EQ(result(slow), "3 no network access");
    config.network_access = 1;
    EXPECT_EQ(server.request_count(), before);
    EXPECT_EQ(eval("return select('#', _fetch_remote({}))"), "0");
}

TEST_F(fetch_remote, results_are_decoded_by_extension) {
    std::vector<unsigned char> png_bytes;
    unsigned char px[4 * 6] = {0};
    lodepng::encode(png_bytes, px, 3, 2);
    std::string png(png_bytes.begin(), png_bytes.end());
    server.set_handler([&](const http_request& r) { return http_reply(200, r.target == "/p.png" ? png : "text"); });
    EXPECT_EQ(result(start("'" + server.url("/t.txt") + "'"), "type(r[1]) .. r[1]"), "stringtext");
    EXPECT_EQ(result(start("'" + server.url("/p.png") + "'"), "type(r[1])"), "userdata");
}

TEST_F(fetch_remote, a_result_the_process_cannot_hold_leaks_no_buffer) {
    server.set_handler([](const http_request&) { return http_reply(200, "text"); });
    int32_t id = start("'" + server.url("/t.txt") + "'");
    ASSERT_TRUE(hvx_test::pump_until_finished(id));
    const uint32_t buffers = get_total_num_buffers();
    for (int i = 0; i < 3; i++) {
        lua_pushcfunction(p->L, lua54__fetch_remote_result);
        lua_pushinteger(p->L, id);
        p->heap_bytes += MEMORY_HARD_CEILING;  // every allocation of the state is refused
        int rc = lua_pcall(p->L, 1, 0, 0);
        p->heap_bytes -= MEMORY_HARD_CEILING;
        p->out_of_memory = 0;
        EXPECT_EQ(rc, LUA_ERRMEM);
        lua_settop(p->L, HVX_HOST_SLOTS);
    }
    EXPECT_EQ(get_total_num_buffers(), buffers);
}

TEST_F(fetch_remote, cartridge_images_are_cached) {
    std::string png600 = "\x89PNG" + std::string(596, 'p');
    server.set_handler([&](const http_request& r) {
        if (r.target == "/small.png") return http_reply(200, png600.substr(0, 400));
        if (r.target == "/jpeg.png") return http_reply(200, "\xff\xd8\xff" + std::string(700, 'j'));
        return http_reply(200, png600);
    });
    net_set_host_url(NET_HOST_CART, server.url().c_str());
    for (const char* path : {"/x.png", "/small.png", "/jpeg.png", "/a/../y.png", "/p%41.png",
                             "/bbs/get_cart.php?cat=8&lid=foo-3", "/bbs/get_cart.php?cat=8&lid=../../z"})
        result(start("'" + server.url(path) + "'"));
    EXPECT_EQ(cached("cache/carts/x.png"), png600);
    EXPECT_EQ(cached("cache/carts/foo-3.hvx.png"), png600);
    for (const char* absent : {"cache/carts/small.png", "cache/carts/jpeg.png", "cache/carts/y.png", "cache/y.png",
                               "cache/carts/pA.png", "z.hvx.png"})
        EXPECT_FALSE(hvx_test::file_exists(std::string(config.home) + "/" + absent)) << absent;
    // Another host's URL is not cached, even with the same path.
    net_set_host_url(NET_HOST_CART, "http://127.0.0.2:1");
    net_set_host_url(NET_HOST_SITE, "http://127.0.0.2:1");
    char name[HVX_PATH_MAX];
    EXPECT_EQ(cart_cache_name_for_url(server.url("/x.png").c_str(), name, sizeof name), 0);
}

// An error reply is no download: the script is told so, and a cartridge
// URL answered with an error page (here one that looks like an image) is
// not cached.
TEST_F(fetch_remote, error_replies_are_not_downloads) {
    const std::string png600 = "\x89PNG" + std::string(596, 'p');
    server.set_handler([&](const http_request& r) {
        return http_reply(r.target == "/gone.png" ? 404 : 500, png600);
    });
    net_set_host_url(NET_HOST_CART, server.url().c_str());
    for (const char* path : {"/gone.png", "/broken.png"}) {
        EXPECT_EQ(result(start("'" + server.url(path) + "'")), "3 could not download") << path;
        EXPECT_FALSE(hvx_test::file_exists(std::string(config.home) + "/cache/carts" + path)) << path;
    }
}

// One process has at most its share of jobs pending; the others still get
// slots, and its jobs are cancelled when it ends, even with a server that
// never answers.
TEST_F(fetch_remote, jobs_per_process_are_capped_and_cancelled_at_its_end) {
    server.set_handler([&](const http_request&) {
        for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "late");
    });
    const std::string url = "'" + server.url("/hold") + "'";
    Process* hog = env.spawn("");  // the root is never removed: another process ends here
    EXPECT_EQ(run_in(hog, "local got, refused = 0, 0 for i = 1, " + std::to_string(FETCH_JOBS_PER_PROCESS + 4) +
                              " do if _fetch_remote(" + url + ") > 0 then got = got + 1 else refused = refused + 1 end "
                              "end return got, refused"),
              std::to_string(FETCH_JOBS_PER_PROCESS) + ", 4");
    EXPECT_EQ(run_in(hog, "return _fetch_remote(" + url + ")"), "-1");
    const std::string log = env.log();
    const size_t line = log.find("holds 16 jobs; more are refused");
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(log.find("holds 16 jobs", line + 1), std::string::npos);  // once per process
    ASSERT_GT(std::stoi(eval("return _fetch_remote(" + url + ")")), 0);
    // The system's own jobs are nobody's: not counted.
    EXPECT_GT(gurl_get(server.url("/own").c_str(), nullptr), 0);
    EXPECT_EQ(gurl_jobs_in_use(), FETCH_JOBS_PER_PROCESS + 2);
    kill_process(hog);
    EXPECT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 2; }));
    release = true;
}

// A TCP listener on 127.0.0.1 that never accepts: a request to it stays
// pending until its client gives up.
struct silent_listener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    silent_listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (fd < 0 || bind(fd, (sockaddr*)&a, n) != 0 || listen(fd, 1) != 0 || getsockname(fd, (sockaddr*)&a, &n) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~silent_listener() {
        if (fd >= 0) close(fd);
    }
};

// The table is shared out per process (16 slots), per program (64: the
// processes a non-system process made, and theirs) and keeps 32 slots that
// only the system processes 1-3 and the host's own jobs take. A child whose
// 16 children each start 16 fetches that never end gets 64, and killing it
// frees nothing of them; an app launcher's apps get 16 each up to the
// program's 64; later programs and the system still fetch.
TEST_F(fetch_remote, job_slots_are_shared_per_process_and_per_program) {
    silent_listener quiet;
    ASSERT_GT(quiet.port, 0);
    const std::string fetch16 = "local got = 0 for i = 1, 16 do if _fetch_remote('http://127.0.0.1:" +
                                std::to_string(quiet.port) + "/') > 0 then got = got + 1 end end return got";
    Process* sys2 = env.spawn("");
    Process* sys3 = env.spawn("");
    ASSERT_EQ(sys3->id, 3);  // p is process 1
    std::vector<Process*> made = {sys2, sys3};
    // A process the kernel made (so a program of its own) and n children of
    // it; the counts each child fetched.
    auto family = [&](int n, Process** head = nullptr) {
        set_current_process(p);
        Process* top = env.spawn("");
        made.push_back(top);
        if (head) *head = top;
        std::string got;
        for (int i = 0; i < n; i++) {
            Process* kid = get_process(std::stoll(run_in(top, "return spawn('')")));
            made.push_back(kid);
            got += (i ? " " : "") + run_in(kid, fetch16);
        }
        return got;
    };
    Process* hostile = nullptr;
    EXPECT_EQ(family(16, &hostile), "16 16 16 16 0 0 0 0 0 0 0 0 0 0 0 0");
    EXPECT_EQ(run_in(hostile, fetch16), "0");
    EXPECT_EQ(run_in(p, fetch16), "16");  // the kernel
    EXPECT_EQ(gurl_jobs_in_use(), 80);
    // Launchers that are ordinary processes: 16 for each app, 64 in all.
    const size_t launcher = made.size();
    EXPECT_EQ(family(5), "16 16 16 16 0");
    EXPECT_EQ(family(5), "16 16 16 16 0");
    // 208 held: a program takes slots until 32 are left, then the system's go.
    EXPECT_EQ(family(2), "16 0");
    EXPECT_EQ(gurl_jobs_in_use(), GURL_JOBS - GURL_RESERVED_SLOTS);
    EXPECT_EQ(family(0) + run_in(made.back(), fetch16), "0");
    EXPECT_EQ(run_in(sys2, fetch16), "16");
    EXPECT_EQ(run_in(sys3, fetch16), "16");
    EXPECT_EQ(gurl_get(server.url("/").c_str(), nullptr), -1);  // all 256 held
    const std::string log = env.log();
    for (const char* refusal : {"holds 64 jobs; more are refused", "slots are the system's"})
        EXPECT_NE(log.find(refusal), std::string::npos) << refusal;
    // Killing the parent frees nothing.
    kill_process(hostile);
    for (int i = 0; i < 10; i++) gurl_update();
    EXPECT_EQ(gurl_jobs_in_use(), GURL_JOBS);
    // With the system's and a launcher's jobs gone, the children that fetched
    // end: their jobs count against the program until they are reaped.
    for (Process* q : {sys2, sys3, made[launcher]}) kill_process(q);
    for (size_t i = launcher + 1; i < launcher + 6; i++) kill_process(made[i]);
    EXPECT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == GURL_JOBS - 96; }));
    for (int i = 0; i < 4; i++) kill_process(made[3 + i]);  // after sys2, sys3 and the parent
    Process* sibling = made[3 + 4];
    EXPECT_EQ(run_in(sibling, fetch16), "0");
    EXPECT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == GURL_JOBS - 96 - 64; }));
    EXPECT_EQ(run_in(sibling, fetch16), "16");
    EXPECT_EQ(family(1), "16");
    for (Process* q : made)
        if (get_process_index(q) >= 0) kill_process(q);
    cancel_jobs_by_process(p->id);
}

// A finished job holds its slot against its process's share until it is reaped.
TEST_F(fetch_remote, finished_jobs_count_until_reaped) {
    const std::string fetch = "return _fetch_remote('" + server.url("/quick") + "')";
    Process* app = env.spawn("");
    std::vector<int32_t> ids;
    for (int i = 0; i < FETCH_JOBS_PER_PROCESS; i++) ids.push_back(std::stoi(run_in(app, fetch)));
    for (int32_t id : ids) ASSERT_TRUE(id > 0 && hvx_test::pump_until_finished(id)) << id;
    EXPECT_EQ(run_in(app, fetch), "-1");
    ASSERT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 0; }));
    EXPECT_GT(std::stoi(run_in(app, fetch)), 0);
}

// A result taken by a process of the job's own program frees the job's
// shares at once, done or failed; a read by another program (which still gets
// the result), a poll while it was pending, or no read at all does not.
TEST_F(fetch_remote, read_results_stop_holding_shares) {
    server.set_handler([&](const http_request& r) {
        if (r.target == "/slow")
            for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(r.target == "/gone" ? 404 : 200, "x");
    });
    for (int i = 0; i < 2; i++) env.spawn("");  // processes 2 and 3: the system's
    set_current_process(p);
    Process* app = env.spawn("");
    Process* sibling = get_process(std::stoll(run_in(app, "return spawn('')")));
    set_current_process(p);
    Process* stranger = env.spawn("");
    ASSERT_TRUE(sibling && stranger && stranger->program_id != app->program_id);
    struct row {
        const char* path;
        Process* reader;  // none: nobody reads
        const char* got;  // what each read gives
        bool frees;
    } rows[] = {
        {"/quick", app, "x", true},          {"/gone", app, "could not download", true},
        {"/quick", sibling, "x", true},      {"/quick", stranger, "x", false},
        {"/quick", nullptr, "", false},      {"/slow", nullptr, "", false},  // polled only while pending
    };
    const std::string read = "local a, b, e = _fetch_remote_result(%) return a or e";
    for (const row& r : rows) {
        const bool slow = !strcmp(r.path, "/slow");
        release = !slow;
        std::vector<std::string> ids;
        for (int i = 0; i < FETCH_JOBS_PER_PROCESS; i++)
            ids.push_back(run_in(app, "return _fetch_remote('" + server.url(r.path) + "')"));
        if (slow) {
            for (const std::string& id : ids)
                EXPECT_EQ(run_in(app, "return select('#', _fetch_remote_result(" + id + "))"), "0");
            release = true;
        }
        for (const std::string& id : ids)
            ASSERT_TRUE(std::stoi(id) > 0 && hvx_test::pump_until_finished(std::stoi(id))) << r.path << id;
        for (const std::string& id : ids) {
            if (r.reader) { EXPECT_EQ(run_in(r.reader, std::string(read).replace(read.find('%'), 1, id)), r.got); }
        }
        int32_t next = std::stoi(run_in(app, "return _fetch_remote('" + server.url("/quick") + "')"));
        EXPECT_EQ(next > 0, r.frees) << r.path << " read by " << (r.reader ? r.reader->id : 0);
        ASSERT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 0; }));
    }
}

// With no slot free, a new job takes the slot of the job read longest ago,
// and that id then gives "job not found"; a read job still standing reads
// again. Unread jobs, and jobs read only by another program, keep theirs.
TEST_F(fetch_remote, a_read_jobs_slot_goes_to_a_new_job_when_none_is_free) {
    server.set_handler([&](const http_request& r) {
        if (r.target == "/hold")
            for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "x");
    });
    for (int i = 0; i < 2; i++) env.spawn("");  // processes 2 and 3: the system's
    set_current_process(p);
    Process* app = env.spawn("");
    set_current_process(p);
    Process* stranger = env.spawn("");
    const std::string quick = "return _fetch_remote('" + server.url("/q.txt") + "')";
    auto read = [&](Process* q, int32_t id) {
        return run_in(q, "local a, b, e = _fetch_remote_result(" + std::to_string(id) + ") return a or e");
    };
    const int32_t a = std::stoi(run_in(app, quick)), b = std::stoi(run_in(app, quick)),
                  unread = std::stoi(run_in(app, quick)), theirs = std::stoi(run_in(stranger, quick));
    for (int32_t id : {a, b, unread, theirs}) ASSERT_TRUE(id > 0 && hvx_test::pump_until_finished(id)) << id;
    EXPECT_EQ(read(app, b), "x");
    EXPECT_EQ(read(app, a), "x");
    EXPECT_EQ(read(app, theirs), "x");
    // The rest of the table held by the host's own jobs, which nothing reads.
    int32_t newest = 0;
    for (int n = GURL_JOBS - gurl_jobs_in_use(); n > 0; n--) ASSERT_GT(newest = gurl_get(server.url("/hold").c_str(), nullptr), 0);
    ASSERT_EQ(gurl_jobs_in_use(), GURL_JOBS);
    struct row {
        int32_t gone;      // the read job whose slot the new one takes (b was read first)
        int32_t standing;  // read: by its program before (reads again), or only by another
    } rows[] = {{b, a}, {a, theirs}};
    for (const row& r : rows) {
        int32_t id = std::stoi(run_in(p, quick));
        ASSERT_GT(id, newest);
        EXPECT_EQ(id % GURL_JOBS, r.gone % GURL_JOBS);
        newest = id;
        EXPECT_EQ(read(app, r.gone), "job not found");
        EXPECT_EQ(read(app, r.standing), "x");
    }
    EXPECT_EQ(run_in(p, quick), "-1");
    EXPECT_EQ(read(stranger, theirs), "x");
    EXPECT_EQ(read(app, unread), "x");
    release = true;
}

TEST(strip_lid_version, cuts_at_the_first_hyphen) {
    for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"name-12", "name"}, {"name", "name"}, {"-3", ""}, {"a-b-c", "a"}, {std::string(300, 'n'), std::string(255, 'n')}})
        EXPECT_EQ(strip_lid_version(in.c_str()), out);
}

}  // namespace
