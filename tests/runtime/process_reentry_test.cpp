// Faults found in review of the process runtime: finalizers that the host
// runs outside a slice asking for a slice of the same state, a queue bounded
// by what its receiver can hold and giving its memory back, tables with many
// keys, a drop that empties an earlier file, and processes made while the
// table is being wiped.
#include <gtest/gtest.h>

#include <string>

#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::global_text;
using hvx_test::process_env;

namespace {

const char* kIdle = "while true do coroutine.yield() end";

// The end-of-slice memory check runs a full collection after the state has
// returned from its resume; a finalizer there asks for a slice of its own
// process, through the host entry and through the script call.
TEST(ProcessReentry, FinalizerInTheMemoryCheckCannotResumeItsOwnState) {
    process_env env;
    env.spawn(kIdle);
    env.spawn(kIdle);
    // The guarded table and a long string become garbage at the end of the
    // second slice, with budget left in the frame: the memory check's
    // collection is what finalizes the table.
    Process* p = env.spawn(
        "local keep = setmetatable({}, {__gc = function() "
        "  direct = run_slice(pid(), 0.1) "
        "  done, cpu, err = _run_process_slice(pid(), 0.1) "
        "end}) "
        "local s = string.rep('x', 16.6e6) "
        "coroutine.yield() "
        "local t = s .. 'y' "
        "t = nil keep = nil "
        "coroutine.yield() "
        "after = #s "
        "while true do coroutine.yield() end");
    ASSERT_NE(p, nullptr);
    ASSERT_GE(get_process_index(p), 2);
    for (int frame = 0; frame < 2; frame++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    ASSERT_EQ(get_process(3), p);
    EXPECT_EQ(p->state, PROC_RUNNING);
    EXPECT_EQ(global_text(p, "direct"), "0");
    EXPECT_EQ(global_text(p, "done"), "true");
    EXPECT_EQ(global_text(p, "err"), SLICE_INVALID_TEXT);
    EXPECT_EQ(p->host_busy, 0);
    EXPECT_EQ(p->slice_refs, 0);
    // The state is intact and resumes where it yielded (once its debt for
    // the long string is paid).
    for (int i = 0; i < 20 && global_text(p, "after") == "nil"; i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    EXPECT_EQ(global_text(p, "after"), "16600000");
}

// The same from a caller's slice: the kernel runs the process, whose
// collection's finalizer then kills and restarts itself; the record waits
// until the collection is done.
TEST(ProcessReentry, FinalizerInTheMemoryCheckRestartsItsProcess) {
    process_env env;
    Process* root = env.boot_root("c = spawn([[ "
                                  "setmetatable({}, {__gc = function() run_slice(pid()) restart(pid()) end}) "
                                  "local s = string.rep('x', 16.5e6) coroutine.yield() ]]) "
                                  "while true do r = run_slice(c, 0.5) coroutine.yield() end");
    ASSERT_NE(root, nullptr);
    env.frame();
    Process* c = get_process(2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->state, PROC_RUNNING);
    EXPECT_EQ(c->pending, PENDING_NONE);
    EXPECT_EQ(c->host_busy, 0);
    EXPECT_EQ(root->state, PROC_RUNNING);
    EXPECT_EQ(cproc, root);
}

// A message has no size limit of its own: it is queued while the receiver
// can hold it with everything it holds already, and refused past that.
TEST(ProcessReentry, QueuedBytesCountAgainstTheReceiversMemory) {
    process_env env;
    Process* p = env.spawn("");
    const int64_t room = MEMORY_LIMIT - process_memory_in_use(p);
    std::string text((size_t)(room - 3), 'a');
    EXPECT_EQ(queue_process_message(p, text.data(), text.size()), MESSAGE_REFUSED);
    EXPECT_EQ(process_unread_message_bytes(p), 0);
    text.pop_back();
    ASSERT_GT(text.size(), (size_t)MESSAGE_QUEUE_LIMIT);
    EXPECT_EQ(queue_process_message(p, text.data(), text.size()), (int)text.size() + 4);
    // Over the queue limit: refused as full, not for memory.
    EXPECT_EQ(queue_process_message(p, "x", 1), MESSAGE_QUEUE_FULL);
    EXPECT_EQ(read_process_message(p, nullptr)->length, (int32_t)text.size());
    EXPECT_EQ(queue_process_message(p, "x", 1), 5);
}

TEST(ProcessReentry, QueueAndReadBufferShrinkAfterABurst) {
    process_env env;
    Process* p = env.spawn("");
    std::string chunk(256 * 1024, 'q');
    for (int i = 0; i < 16; i++) ASSERT_GT(send_process_message_string(p, chunk.c_str()), 0);
    ASSERT_GE(p->messages->capacity, 16u * chunk.size());
    buffer* got = nullptr;
    for (int i = 0; i < 15; i++) got = read_process_message(p, nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->length, (int32_t)chunk.size());
    // One message left, read position at 0 after the compaction or not yet:
    // either way everything is still there to read.
    ASSERT_EQ(process_unread_message_bytes(p), (int64_t)chunk.size() + 4);
    got = read_process_message(p, nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string((const char*)got->data, got->length), chunk);
    EXPECT_LT(p->messages->capacity, (uint32_t)MESSAGE_SHRINK_MIN);
    EXPECT_EQ(p->messages->length, 0);
    // The queue still works after giving its memory back.
    ASSERT_EQ(send_process_message_string(p, "after"), 9);

    std::string big(2 << 20, 'r');
    ASSERT_GT(send_process_message_string(p, big.c_str()), 0);
    ASSERT_NE(read_process_message(p, nullptr), nullptr);  // "after"
    got = read_process_message(p, nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_GE(got->capacity, big.size());
    ASSERT_EQ(send_process_message_string(p, "small"), 9);
    got = read_process_message(p, nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string((const char*)got->data, got->length), "small");
    EXPECT_LT(got->capacity, (uint32_t)MESSAGE_SHRINK_MIN);
}

// Key counts are limited by nothing but the queue: the writer does not keep
// the keys on the state's stack.
TEST(ProcessReentry, TableWithManyKeysIsSentWhole) {
    process_env env;
    Process* to = env.spawn(kIdle);
    Process* p = env.spawn(
        "local t = {} for i = 1, 120000 do t['k' .. i] = i end "
        "r1 = send_message(1, {big = t}) "
        "r2 = send_message(1, {small = 1}) "
        "while true do coroutine.yield() end");
    for (int i = 0; i < 200 && env.messages(to).size() < 2; i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    auto texts = env.messages(to);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(global_text(p, "r1"), "nil");
    EXPECT_EQ(texts[1].substr(0, 4), std::string("lz4\0", 4));  // messages are packed
    lua_State* L = to->L;
    ASSERT_EQ(destringify_object(L, texts[0].data(), (int64_t)texts[0].size()), 1);
    lua_getfield(L, -1, "big");
    int64_t keys = 0;
    for (lua_pushnil(L); lua_next(L, -2); lua_pop(L, 1)) keys++;
    EXPECT_EQ(keys, 120000);
    lua_getfield(L, -1, "k120000");
    EXPECT_EQ(lua_tointeger(L, -1), 120000);
    lua_pop(L, 3);
}

TEST(ProcessReentry, UnreadableDropLeavesTheEarlierFileAlone) {
    process_env env;
    pfile_init();
    pfile_reset();
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    pfile* f = pfopen("/ram/drop/keep.txt", "wf");
    ASSERT_NE(f, nullptr);
    pfwrite("earlier", 1, 7, f);
    pfclose(f);
    process_dropped_file("/no/such/host/folder/keep.txt");
    EXPECT_EQ(pfile_size("/ram/drop/keep.txt", 0), 7);
    f = pfopen("/ram/drop/keep.txt", "r");
    ASSERT_NE(f, nullptr);
    char text[16] = {};
    EXPECT_EQ(pfread(text, 1, sizeof text, f), 7);
    pfclose(f);
    EXPECT_STREQ(text, "earlier");
    pfile_reset();
}

// A finalizer run while every process is removed cannot leave a process
// behind with the ids starting again at 1.
TEST(ProcessReentry, NothingOutlivesTheTableWipe) {
    process_env env;
    Process* p = env.spawn("setmetatable({}, {__gc = function() child = spawn('x = 1') end}) " +
                           std::string(kIdle));
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    processes_init();
    EXPECT_EQ(get_process_count(), 0);
    EXPECT_EQ(cproc, nullptr);
    Process* next = env.spawn(kIdle);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->id, 1);
    EXPECT_EQ(get_process_count(), 1);
    EXPECT_NE(env.log().find("all processes are being removed"), std::string::npos);
}

}  // namespace
