// Messages between processes: the queue (order, limits, damaged entries, the
// lazy read position), the runtime's notices and the script calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::process_env;

namespace {

std::string read_text(Process* p) {
    buffer* b = read_process_message(p, nullptr);
    return b ? std::string((const char*)b->data, b->length) : std::string("<none>");
}

TEST(MessageQueue, OrderAndEmptyTexts) {
    process_env env;
    Process* p = env.spawn("");
    EXPECT_EQ(read_text(p), "<none>");
    EXPECT_EQ(send_process_message_string(p, "A"), 5);
    EXPECT_EQ(send_process_message_string(p, "BB"), 6);
    EXPECT_EQ(read_text(p), "A");
    EXPECT_EQ(send_process_message_string(p, "C"), 5);
    EXPECT_EQ(read_text(p), "BB");
    EXPECT_EQ(send_process_message_string(p, ""), 4);
    EXPECT_EQ(send_process_message_bytes(p, "x\0y", 3), 7);
    EXPECT_EQ(read_text(p), "C");
    buffer* mine = create_buffer_2(4, 1);
    bappend_str(mine, "old contents");
    buffer* got = read_process_message(p, mine);
    ASSERT_EQ(got, mine);  // read into the given buffer, emptied first
    EXPECT_EQ(got->length, 0);
    EXPECT_EQ(read_text(p), std::string("x\0y", 3));
    EXPECT_EQ(read_text(p), "<none>");
    destroy_buffer(mine);
    EXPECT_EQ(p->messages->length, 0);
    EXPECT_EQ(send_process_message_string(nullptr, "x"), 0);
    EXPECT_EQ(send_process_message(p, nullptr), 0);
}

TEST(MessageQueue, LimitRefusesUntilARead) {
    process_env env;
    Process* p = env.spawn("");
    std::string big(1 << 20, 'm');
    int sent = 0;
    while (send_process_message_string(p, big.c_str()) > 0) sent++;
    EXPECT_EQ(sent, 16);  // 16 x (1 MB + 4) is more than 16 MB: the 17th is refused
    EXPECT_EQ(process_unread_message_bytes(p), 16 * ((1 << 20) + 4));
    EXPECT_EQ(send_process_message_string(p, "small"), 0);
    EXPECT_EQ(read_text(p).size(), big.size());
    EXPECT_EQ(send_process_message_string(p, "small"), 9);
    EXPECT_EQ(send_process_message_string(p, big.c_str()), (1 << 20) + 4);
    EXPECT_EQ(send_process_message_string(p, "more"), 0);
    EXPECT_EQ(read_text(p).size(), big.size());
    EXPECT_EQ(send_process_message_string(p, "more"), 8);
}

TEST(MessageQueue, DamagedEntriesAreDroppedNotRead) {
    process_env env;
    Process* p = env.spawn("");
    send_process_message_string(p, "fine");
    p->messages->data[0] = 200;  // the length now points past the queue
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_process_message(p, nullptr), nullptr);
    EXPECT_EQ(p->messages->length, 0);
    send_process_message_string(p, "ok");
    p->messages->length = 3;  // a cut length word
    EXPECT_EQ(read_process_message(p, nullptr), nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(send_process_message_string(p, "again"), 9);
    EXPECT_EQ(read_text(p), "again");
    std::string log = env.log();
    EXPECT_NE(log.find("message queue of process 1 dropped: length beyond the queue"), std::string::npos) << log;
    EXPECT_NE(log.find("message queue of process 1 dropped: short length word"), std::string::npos);
}

TEST(MessageQueue, LongDrainsKeepOrderAcrossCompaction) {
    process_env env;
    Process* p = env.spawn("");
    int next_send = 0, next_read = 0;
    auto text = [](int i) { return "message number " + std::to_string(i) + std::string(30, '.'); };
    for (; next_send < 5000; next_send++) send_process_message_string(p, text(next_send).c_str());
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 300; i++) {
            ASSERT_EQ(read_text(p), text(next_read)) << next_read;
            next_read++;
        }
        for (int i = 0; i < 100; i++, next_send++) send_process_message_string(p, text(next_send).c_str());
        // What is listed and counted is exactly what was not read yet.
        std::vector<std::string> left = env.messages(p);
        ASSERT_EQ((int)left.size(), next_send - next_read);
        EXPECT_EQ(left.front(), text(next_read));
        int64_t bytes = 0;
        for (auto& s : left) bytes += 4 + (int64_t)s.size();
        EXPECT_EQ(process_unread_message_bytes(p), bytes);
        EXPECT_LE(p->messages->length, 2 * bytes + MESSAGE_COMPACT_MIN + 64);
    }
    while (next_read < next_send) ASSERT_EQ(read_text(p), text(next_read++));
    EXPECT_EQ(read_text(p), "<none>");
    EXPECT_EQ(p->message_head, 0);
}

TEST(RuntimeMessages, NotifyAndReportsReachTheWindowManager) {
    process_env env;
    notify("nobody listens");  // no window manager: nothing happens
    Process* wm = nullptr;
    for (int i = 0; i < 3; i++) wm = env.spawn("");
    ASSERT_EQ(wm->id, 3);
    notify("say \"hi\"\nnow]");
    auto texts = env.messages(wm);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "{event=\"user_notification\",content=\"say \\034hi\\034\\010now]\"}");
    char path[HVX_PATH_MAX];
    ASSERT_TRUE(drop_destination_path("/home/u/pics/a b#c.png", path, sizeof path));
    EXPECT_STREQ(path, "/ram/drop/a_b_c.png");
    ASSERT_TRUE(drop_destination_path("C:\\Users\\u\\x.txt", path, sizeof path));
    EXPECT_STREQ(path, "/ram/drop/x.txt");
    ASSERT_TRUE(drop_destination_path("folder/", path, sizeof path));
    EXPECT_STREQ(path, "/ram/drop/");
    char tiny[8];
    EXPECT_FALSE(drop_destination_path("/a/long_name.png", tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "");
}

TEST(RuntimeMessages, ErrorReportRoundTripsThroughTheScriptCall) {
    process_env env;
    env.spawn("");
    env.spawn("");
    const std::string nasty = "line one\n\"quoted\" \\ back ] bracket \x01\xff end";
    Process* wm = env.spawn(
        "while true do local m = _read_message() if m then got = m.content ev = m.event from = m._from end "
        "coroutine.yield() end");
    Process* prev = cproc;
    cproc = get_process(2);
    report_error(nasty.c_str());
    cproc = prev;
    prepare_processes_for_frame();
    run_process_slice(wm, 0.1);
    lua_getglobal(wm->L, "got");
    size_t n = 0;
    const char* s = lua_tolstring(wm->L, -1, &n);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s, n), nasty);
    lua_pop(wm->L, 1);
    lua_getglobal(wm->L, "from");
    EXPECT_EQ(lua_tointeger(wm->L, -1), 2);
    lua_pop(wm->L, 1);
}

// The script calls: fields stamped into the sender's table, refusals
// without errors, the cost, and reading back.
TEST(MessageCalls, SendAndRead) {
    process_env env;
    Process* root = env.boot_root(R"lua(
        local r = _create_process_from_code([[
            while true do
                local m = _read_message()
                if m then send_message(m._from, {echo = m, n = #m}) end
                flip()
            end]], "r", "/system/r.lua")
        local t = setmetatable({1, 2, {deep = {true, false}}, name = "x\ny", [5] = -1.5, ["a b"] = 7},
                               {__newindex = function() error("no") end})
        local c0 = cycles()
        send_message(r, t)
        sent_cost = cycles() - c0
        stamped = t._from == 1 and math.type(t._sent_t) == "integer" and t._flags == 0
        no_table = select('#', send_message(r, "text"))
        no_receiver = select('#', send_message(999, {}))
        send_message(0, {})
        send_message(nil, {})
        _run_process_slice(r, 0.5)
        flip()
        local m = _read_message()
        reply_from = m._from
        reply_flags = m._flags
        echo_name = m.echo.name
        echo_deep = m.echo[3].deep[2] == false and m.echo[3].deep[1] == true
        echo_keys = m.echo[5] == -1.5 and m.echo["a b"] == 7 and m.n == 3
        empty = select('#', _read_message())
        while true do coroutine.yield() end
    )lua");
    ASSERT_NE(root, nullptr);
    env.frame();
    env.frame();
    auto global = [&](const char* name) { return hvx_test::global_text(root, name); };
    EXPECT_EQ(global("stamped"), "true");
    EXPECT_EQ(global("no_table"), "0");
    EXPECT_EQ(global("no_receiver"), "0");
    EXPECT_EQ(global("reply_from"), "2");
    EXPECT_EQ(global("reply_flags"), "1");
    EXPECT_EQ(global("echo_name"), "x\ny");
    EXPECT_EQ(global("echo_deep"), "true");
    EXPECT_EQ(global("echo_keys"), "true");
    EXPECT_EQ(global("empty"), "0");
    // The text is well over 64 bytes: the send costs more than the call itself.
    EXPECT_GT(std::stoi(global("sent_cost")), 10);
    EXPECT_TRUE(env.messages(get_process(2)).empty());
}

// A receiver that does not read: sends are taken up to the queue's limit,
// and every one after it is refused as full, logged once.
TEST(MessageCalls, AFullQueueIsReported) {
    process_env env;
    Process* p = env.spawn("");
    Process* r = env.spawn("");
    // Texts are sent compressed: 100 KB that do not compress.
    std::string big;
    uint32_t x = 1;
    for (int i = 0; i < 100000; i++, x = x * 1103515245u + 12345u) big += (char)('!' + (x >> 16) % 90);
    lua_pushlstring(p->L, big.data(), big.size());
    lua_setglobal(p->L, "big");
    std::string got = hvx_test::run_in(p, R"lua(
        local taken, refused, why = 0, 0
        for i = 1, 200 do
            local ok, w = send_message()lua" + std::to_string(r->id) + R"lua(, {big})
            if ok == false then refused, why = refused + 1, w else taken = taken + 1 end
        end
        return taken, refused, why)lua");
    // Every message taken is in the queue, and the last one taken passed the limit.
    const int64_t unread = process_unread_message_bytes(r);
    const int taken = std::stoi(got);
    ASSERT_GT(taken, 0);
    EXPECT_EQ(got, std::to_string(taken) + ", " + std::to_string(200 - taken) + ", " + MESSAGE_QUEUE_FULL_TEXT);
    EXPECT_GT(unread, MESSAGE_QUEUE_LIMIT);
    EXPECT_LE(unread - unread / taken, MESSAGE_QUEUE_LIMIT);
    const std::string log = env.log();
    const size_t at = log.find("process " + std::to_string(r->id) + ": message queue full");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find("full", at + 30), std::string::npos);
}

}  // namespace
