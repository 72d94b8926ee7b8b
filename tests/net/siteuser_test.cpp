// User sessions: the sessions file, the table's rules as scripts see them,
// the token and endpoint refresh against the loopback server, and the
// user-data batches.
#include <sys/stat.h>

#include <atomic>
#include <csignal>

#include "lang/lang.h"
#include "tests/net/net_test_util.h"

namespace {

using hvx_test::http_reply;
using hvx_test::http_request;
using hvx_test::run_in;

struct sessions : hvx_test::net_env {
    std::string file() const { return std::string(config.home) + "/" + SESSIONS_FILE_NAME; }
    std::vector<std::string> ids() const {
        std::vector<std::string> out;
        for (int i = 0; i < num_sessions(); i++) out.push_back(get_session(i)->user_id);
        return out;
    }
    std::string active_id() const {
        siteuser_session* s = get_active_session();
        return s ? s->user_id : "(none)";
    }
    // Runs one refresh of the active session; its request is answered, its
    // callback run and its job reaped.
    void refresh_and_wait() {
        update_session(get_active_session());
        ASSERT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 0; }));
    }
};

TEST_F(sessions, the_file_is_read_line_by_line) {
    std::string id79(79, 'i');
    hvx_test::write_file(file(), "abc\n" + std::string(999, 'x') + "\n" +
                                     std::string(1023, 'z') + "u9|1|t9|n9||\n" +  // its rest is no line
                                     "a|0|ta|na|ea|\nb|1|tb|nb||\nc|3|tc|nc||\n" + id79 + "|0|t|n||\n" +
                                     std::string(80, 'j') + "|0|t|n||\n");
    load_sessions();
    EXPECT_EQ(ids(), (std::vector<std::string>{"a", "b", "c", id79, ""}));
    EXPECT_EQ(active_id(), "c");  // the later active line wins
    EXPECT_STREQ(get_session(0)->extra, "ea");
    std::string forty;
    for (int i = 0; i < 40; i++) forty += "u" + std::to_string(i) + "|0|t|n||\n";
    hvx_test::write_file(file(), forty);
    load_sessions();
    EXPECT_EQ(num_sessions(), MAX_SESSIONS);
    EXPECT_EQ(active_id(), "(none)");
}

TEST_F(sessions, scripts_add_change_and_remove_users) {
    EXPECT_EQ(eval("return _modify_user_session('u1', 1, 'tok', 'name')"), "");
    EXPECT_EQ(hvx_test::read_file(file()), "u1|1|tok|name||\n");
    struct stat st;
    ASSERT_EQ(stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(active_id(), "u1");
    // What the system-information calls give of it.
    EXPECT_EQ(eval("return stat(64) .. stat(65) .. _kstat(800) .. tostring(_kstat(805)) .. #stat(70)"), "u1nametoknil1");
    snprintf(get_active_session()->https_endpoint, SESSION_REPLY_MAX, "http://h/u1/");
    EXPECT_EQ(eval("return _kstat(805)"), "http://h/u1/");
    config.network_access = 0;
    EXPECT_EQ(active_id(), "(none)");
    config.network_access = 1;
    // Refused: separators or line breaks in a value, a new user without a
    // name or token, or flags -1; nothing is written.
    for (const char* call : {"'u2', 0, 'a|b', 'n'", "'u2', 0, 't', 'n,m'", "'u2', 0, 't', 'n', 'x\\ny|1|t|n|'",
                             "'u\\r', 0, 't', 'n'", "'u2', 0, 't'", "'u2', -1, 't', 'n'", "'u2', 0, 't\\0x', 'n'"})
        EXPECT_EQ(eval(std::string("return _modify_user_session(") + call + ")"), "") << call;
    EXPECT_EQ(add_or_modify_session("u2", 0, "a|b", "n", nullptr), 2);
    EXPECT_EQ(hvx_test::read_file(file()), "u1|1|tok|name||\n");
    // Flags 0 adds the user with no session active; the icon seeds the user data.
    eval("_modify_user_session('u2', 0, 't2', 'n2', 'QUJD')");
    EXPECT_EQ(active_id(), "(none)");
    EXPECT_EQ(eval("local d = _fetch_udat('u2') return d.user_id .. d.username .. d.icon_b64"), "u2n2QUJD");
    eval("_modify_user_session('" + std::string(100, 'x') + "', 1, 't', 'n')");
    EXPECT_EQ(active_id(), std::string(79, 'x'));
    for (int i = num_sessions(); i < MAX_SESSIONS; i++)
        EXPECT_EQ(eval("return _modify_user_session('f" + std::to_string(i) + "', 0, 't', 'n')"), "");
    EXPECT_EQ(eval("return _modify_user_session('one_more', 0, 't', 'n')"), TOO_MANY_ACCOUNTS);
    EXPECT_EQ(eval("return _modify_user_session('u1', 5, nil, 'renamed')"), "");  // a known user still changes
    EXPECT_EQ(active_id(), "u1");
    EXPECT_STREQ(get_session_by_user_id("u1")->username, "renamed");
    eval("_modify_user_session('u1', -2)");
    EXPECT_EQ(num_sessions(), MAX_SESSIONS - 1);
    EXPECT_EQ(get_session_by_user_id("u1"), nullptr);
    EXPECT_EQ(hvx_test::read_file(file()).find("u1|"), std::string::npos);
}

TEST_F(sessions, command_line_users_live_in_memory) {
    snprintf(config.user_id, sizeof config.user_id, "u1,u2,%s", std::string(31, 'l').c_str());
    snprintf(config.username, sizeof config.username, "n1,n2,n3");
    snprintf(config.session_token, sizeof config.session_token, "%s", std::string(200, 'T').c_str());
    load_sessions();
    EXPECT_EQ(ids(), (std::vector<std::string>{"u1", "u2", ""}));  // an item over 30 reads as empty
    EXPECT_EQ(std::string(get_session(1)->token), std::string(79, 'T'));
    EXPECT_EQ(active_id(), "u1");
    add_or_modify_session("u2", 1, nullptr, nullptr, nullptr);
    EXPECT_EQ(active_id(), "u2");
    EXPECT_FALSE(hvx_test::file_exists(file()));
    load_sessions();
    EXPECT_EQ(active_id(), "u2");  // the remembered index
}

TEST_F(sessions, tokens_then_endpoint_are_fetched_and_kept) {
    std::string endpoint = server.url("/rt/u1/");
    server.set_handler([&](const http_request& r) {
        if (r.target == "/api/get_kat.php") return http_reply(200, "scoresub:ct/u1/x\r\nvynnet:VT9\nrest");
        return http_reply(200, "https_endpoint:" + endpoint + "\nmore");
    });
    add_or_modify_session("u1", 1, "T", "n", nullptr);
    refresh_and_wait();
    http_request kat = server.requests()[0];
    EXPECT_EQ(kat.method + " " + kat.target + " " + kat.body, "POST /api/get_kat.php token=T&user_id=u1");
    EXPECT_EQ(kat.header("Content-Type"), "application/x-www-form-urlencoded");
    siteuser_session* s = get_active_session();
    EXPECT_STREQ(s->channel_token, "ct/u1/x");
    EXPECT_STREQ(s->vynnet_token, "VT9");
    refresh_and_wait();  // fresh tokens: only the endpoint is asked for
    ASSERT_EQ(server.request_count(), 2u);
    http_request con = server.requests()[1];
    EXPECT_EQ(con.target + " " + con.body, "/connect {\"token\":\"VT9\",\"channel\":\"vynnet/u1\"}");
    EXPECT_EQ(con.header("Content-Type"), "application/json");
    EXPECT_EQ(siteuser_session_text(s, SESSION_CONNECT_TOKEN), endpoint);
    update_session(s);
    EXPECT_EQ(gurl_jobs_in_use(), 0);  // nothing is stale yet
}

TEST_F(sessions, rejected_replies_change_nothing) {
    const char* replies[] = {"scoresub:ct/u2/x\nvynnet:VT9\n", "scoresub:ct/u1/x\nvyn\n", "scoresub:ct/u1/x\nvynnet:\n",
                             "scoresub:ct/u1/x", "scoresub:ct/u1/x\nvynnet:V\x01T\n"};
    std::string too_long = "scoresub:ct/u1/x\nvynnet:" + std::string(256, 'v') + "\n";
    std::vector<std::string> all(std::begin(replies), std::end(replies));
    all.push_back(too_long);
    for (const std::string& reply : all) {
        server.set_handler([&](const http_request&) { return http_reply(200, reply); });
        delete_session("u1");
        add_or_modify_session("u1", 1, "T", "n", nullptr);
        size_t asked = server.request_count();
        refresh_and_wait();
        EXPECT_EQ(server.request_count(), asked + 1);
        siteuser_session* s = get_active_session();
        EXPECT_EQ(s->tokens_received, 0u) << reply;
        EXPECT_STREQ(s->vynnet_token, "") << reply;
        update_session(s);  // asked less than 30 s ago: not again
        EXPECT_EQ(gurl_jobs_in_use(), 0) << reply;
    }
    // An endpoint reply that does not name the user is not taken either.
    siteuser_session* s = get_active_session();
    s->tokens_received = os_get_time();
    server.set_handler([&](const http_request&) { return http_reply(200, "https_endpoint:http://x/rt/u2/\n"); });
    refresh_and_wait();
    EXPECT_EQ(server.requests().back().target, "/connect");
    EXPECT_STREQ(s->https_endpoint, "");
}

TEST_F(sessions, user_data_is_fetched_in_batches) {
    server.set_handler([](const http_request&) { return http_reply(200, "abc|d|Alice|QUJD|\r\nbad\nq|" + std::string(2000, 'x')); });
    EXPECT_EQ(eval("return select('#', _fetch_udat('abc'))"), "0");
    eval("_fetch_udat('abc') _fetch_udat('zz') _fetch_udat('a&b') _fetch_udat(5)");  // queued once; bad ids never
    siteuser_update();
    ASSERT_TRUE(server.wait_for_requests(1, 5000));
    EXPECT_EQ(server.requests()[0].target, "/api/udat.php?user_ids=abc%2czz%2c0");
    ASSERT_TRUE(hvx_test::pump_until([&] { return eval("return fetch_udat('abc') ~= nil") == "true"; }));
    EXPECT_EQ(eval("local d = _fetch_udat('abc') return d.user_id .. ' ' .. d.username .. ' ' .. d.icon_b64"),
              "abc Alice QUJD");
    ASSERT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 0; }));
    siteuser_update();
    EXPECT_EQ(gurl_jobs_in_use(), 0);  // nothing queued again within 10 s
    EXPECT_EQ(siteuser_get("q", UDAT_SYSTEM_BATCH), nullptr);  // an over-long line is not kept
}

// The ids of each user-data request the server got, in order.
std::vector<std::vector<std::string>> udat_requests(const hvx_test::loopback_http_server& server) {
    static const std::string path = "/api/udat.php?user_ids=";
    std::vector<std::vector<std::string>> out;
    for (const http_request& r : server.requests()) {
        if (r.target.compare(0, path.size(), path) != 0) continue;
        std::string list = r.target.substr(path.size());
        std::vector<std::string> ids;
        for (size_t at = 0, comma; (comma = list.find("%2c", at)) != std::string::npos; at = comma + 3)
            ids.push_back(list.substr(at, comma - at));
        out.push_back(ids);
    }
    return out;
}

// The bytes of ids (each with its comma) a request carried.
size_t list_bytes(const std::vector<std::string>& ids) {
    size_t n = 0;
    for (const std::string& id : ids) n += id.size() + 1;
    return n;
}

// One frame of the online updates, as the frame driver runs them.
void online_frame() {
    siteuser_update();
    gurl_update();
}

// The ids a program asks for wait in its own batch: one request pending at a
// time, each carrying at most UDAT_REQUEST_IDS_MAX bytes of ids, at most
// UDAT_QUEUED_IDS_MAX ids waiting. An id past that is not queued, and is
// queued when asked for again; one queued is not asked for again within 10 s.
TEST_F(sessions, a_programs_user_ids_go_out_one_bounded_request_at_a_time) {
    server.set_handler([&](const http_request&) {
        for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "");
    });
    for (int i = 0; i < 2; i++) env.spawn("");  // processes 2 and 3: the system's
    set_current_process(p);
    Process* app = env.spawn("");
    run_in(app, "for i = 1, 60000 do _fetch_udat('u' .. i) end");
    for (int i = 0; i < 3; i++) online_frame();
    EXPECT_EQ(gurl_jobs_in_use(), 1);
    release = true;
    int frames = 3;
    std::vector<std::vector<std::string>> got;
    for (size_t ids = 0; ids < (size_t)UDAT_QUEUED_IDS_MAX && frames < 5000; frames++) {
        online_frame();
        usleep(1000);
        got = udat_requests(server);
        ids = 0;
        for (const auto& r : got) ids += r.size();
    }
    std::vector<std::string> all;
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_LE(list_bytes(got[i]), UDAT_REQUEST_IDS_MAX);
        if (i + 1 < got.size()) {
            EXPECT_GT(list_bytes(got[i]) + 8, UDAT_REQUEST_IDS_MAX);  // full while ids wait
        }
        all.insert(all.end(), got[i].begin(), got[i].end());
    }
    ASSERT_EQ(all.size(), (size_t)UDAT_QUEUED_IDS_MAX);
    for (size_t i = 0; i < all.size(); i++) ASSERT_EQ(all[i], "u" + std::to_string(i + 1));
    EXPECT_LE(got.size(), (size_t)frames);
    ASSERT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 0; }));
    run_in(app, "_fetch_udat('u5') _fetch_udat('u60000')");
    online_frame();
    ASSERT_TRUE(hvx_test::pump_until([&] { return udat_requests(server).size() == got.size() + 1; }));
    EXPECT_EQ(udat_requests(server).back(), std::vector<std::string>{"u60000"});
}

// A reply is read only as far as a line for every id a request can carry,
// and reading it is owed by the program that asked: its bytes and the lines
// it kept.
TEST_F(sessions, a_reply_is_read_as_far_as_a_request_reaches_and_owed_by_its_program) {
    const std::string reply = "near|d|Near|QUJD|\n" + std::string(UDAT_REPLY_READ_MAX, '\n') + "far|d|Far|QUJD|\n";
    server.set_handler([&](const http_request&) { return http_reply(200, reply); });
    env.spawn("");
    env.spawn("");
    set_current_process(p);
    Process* app = env.spawn("");
    run_in(app, "_fetch_udat('near') _fetch_udat('far')");
    ASSERT_TRUE(hvx_test::pump_until([&] {
        online_frame();
        return siteuser_get("near", UDAT_SYSTEM_BATCH) != nullptr;
    }));
    EXPECT_EQ(siteuser_get("far", UDAT_SYSTEM_BATCH), nullptr);
    EXPECT_EQ(program_debt(app->program_id),
              (int64_t)UDAT_REPLY_READ_MAX / LANG_TEXT_BYTES_PER_CYCLE + UDAT_LINE_CYCLES);
}

// A program's request counts against its HTTP share and waits while that
// share, or all but the reserved slots, are held; the ids stay queued and go
// once there is room. The system's own ids (the kernel's, process 2's) take
// the reserved slots.
TEST_F(sessions, user_data_requests_count_in_their_programs_share) {
    server.set_handler([&](const http_request& r) {
        if (r.target == "/hold")
            for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "");
    });
    Process* sys2 = env.spawn("");
    env.spawn("");
    set_current_process(p);
    Process* app = env.spawn("");
    std::vector<Process*> kids;
    for (int i = 0; i < 4; i++) kids.push_back(get_process(std::stoll(run_in(app, "return spawn('')"))));
    const std::string hold = "local n = 0 for i = 1, 16 do if _fetch_remote('" + server.url("/hold") +
                             "') > 0 then n = n + 1 end end return n";
    enum fill { PROGRAM_SHARE, ALL_BUT_RESERVE };
    struct row {
        fill held;
        Process** asker;
        bool sent;
    } rows[] = {
        {PROGRAM_SHARE, &app, false},     {PROGRAM_SHARE, &kids[0], false}, {PROGRAM_SHARE, &p, true},
        {ALL_BUT_RESERVE, &app, false},   {ALL_BUT_RESERVE, &p, true},      {ALL_BUT_RESERVE, &sys2, true},
    };
    int n = 0;
    for (const row& r : rows) {
        release = false;
        if (r.held == PROGRAM_SHARE)
            for (Process* k : kids) ASSERT_EQ(run_in(k, hold), "16");
        else
            while (gurl_jobs_in_use() < GURL_JOBS - GURL_RESERVED_SLOTS) ASSERT_GT(gurl_get(server.url("/hold").c_str(), nullptr), 0);
        const std::string id = "id" + std::to_string(n++);
        run_in(*r.asker, "_fetch_udat('" + id + "')");
        const int held = gurl_jobs_in_use();
        online_frame();
        EXPECT_EQ(gurl_jobs_in_use(), held + (r.sent ? 1 : 0)) << n;
        release = true;
        // Once the held jobs are gone, a waiting id goes out.
        ASSERT_TRUE(hvx_test::pump_until([&] {
            online_frame();
            auto got = udat_requests(server);
            return !got.empty() && got.back() == std::vector<std::string>{id};
        })) << n;
        ASSERT_TRUE(hvx_test::pump_until([] { return gurl_jobs_in_use() == 0; }));
    }
    // The pending request is one of the program's 64.
    release = false;
    run_in(app, "_fetch_udat('last')");
    server.set_handler([&](const http_request&) {
        for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "");
    });
    online_frame();
    std::string got;
    for (Process* k : kids) got += run_in(k, hold) + " ";
    EXPECT_EQ(got, "16 16 16 15 ");
    release = true;
}

// A child asking for 60,000 users, then 2,000 new ones every frame, leaves the
// kernel and another program all their fetches, and its program sends the
// site at most one request a frame.
TEST_F(sessions, a_flood_of_user_ids_takes_no_one_elses_slots) {
    server.set_handler([&](const http_request& r) {
        if (r.target == "/hold")
            for (int i = 0; i < 20000 && !release; i++) usleep(1000);
        return http_reply(200, "");
    });
    for (int i = 0; i < 2; i++) env.spawn("");  // processes 2 and 3: the system's
    set_current_process(p);
    Process* top = env.spawn("");
    Process* child = get_process(std::stoll(run_in(top, "return spawn('')")));
    set_current_process(p);
    Process* other = env.spawn("");
    run_in(child, "for i = 1, 60000 do _fetch_udat('u' .. i) end");
    const int frames = 120;
    for (int f = 0; f < frames; f++) {
        run_in(child, "for i = 1, 2000 do _fetch_udat('f" + std::to_string(f) + "_' .. i) end");
        online_frame();
        usleep(500);
    }
    const std::string fetch16 = "local n = 0 for i = 1, 16 do if _fetch_remote('" + server.url("/hold") +
                                "') > 0 then n = n + 1 end end return n";
    EXPECT_EQ(run_in(p, fetch16), "16");
    EXPECT_EQ(run_in(other, fetch16), "16");
    EXPECT_EQ(run_in(top, fetch16), "16");
    const size_t sent = udat_requests(server).size();
    EXPECT_GT(sent, 0u);
    EXPECT_LE(sent, (size_t)frames);
    release = true;
    for (Process* q : {child, top, other}) kill_process(q);
    cancel_jobs_by_process(p->id);
}

}  // namespace

namespace {

// The running program: a session from the command line is refreshed by the
// frames (tokens, then the endpoint), and no sessions file is written.
TEST(online_program, refreshes_a_command_line_session) {
    hvx_test::loopback_http_server server([](const http_request& r) {
        return http_reply(200, r.target == "/connect" ? "https_endpoint:http://h/u1/\n" : "scoresub:c/u1/\nvynnet:VT\n");
    });
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::read_file(hvx_test::build_dir() + "/sysrom.dat"));
    hvx_test::background_run run(inst, {"-x", "-user_id", "u1", "-username", "n1", "-session_token", "T"},
                                 {"HALVORAN_SITE_URL=" + server.url(), "HALVORAN_CONNECT_URL=" + server.url(),
                                  "no_proxy=127.0.0.1"});
    ASSERT_TRUE(server.wait_for_requests(2, 15000));
    std::vector<http_request> got = server.requests();
    EXPECT_EQ(got[0].target + " " + got[0].body, "/api/get_kat.php token=T&user_id=u1");
    EXPECT_EQ(got[1].target + " " + got[1].body, "/connect {\"token\":\"VT\",\"channel\":\"vynnet/u1\"}");
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait_exit(10000), 0);
    EXPECT_FALSE(hvx_test::file_exists(inst.home() + "/" + SESSIONS_FILE_NAME));
}

}  // namespace
