// The process table: ids, compaction with stable records, flags, creation
// failures, child_completed, restart, the default wavetable.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "audio/audio.h"
#include "lang/lang.h"
#include "core/sanitizer.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

using hvx_test::process_env;

namespace {

const char* kIdle = "while true do coroutine.yield() end";

TEST(ProcessTable, IdsAdvanceOnEveryAttemptAndLookupsFollowThem) {
    process_env env;
    Process* a = env.spawn(kIdle);
    Process* b = env.spawn(kIdle);
    Process* c = env.spawn(kIdle);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->id, 1);
    EXPECT_EQ(b->id, 2);
    EXPECT_EQ(c->id, 3);
    EXPECT_EQ(env.spawn("this is not lua"), nullptr);  // uses up id 4
    Process* d = env.spawn(kIdle);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->id, 5);
    EXPECT_EQ(get_process_count(), 4);
    EXPECT_EQ(get_process(0), nullptr);
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(get_process(5), d);
    EXPECT_EQ(get_process_by_index(-1), nullptr);
    EXPECT_EQ(get_process_by_index(4), nullptr);
    EXPECT_EQ(get_process_by_index(3), d);

    processes_init();
    EXPECT_EQ(get_process_count(), 0);
    Process* again = env.spawn(kIdle);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->id, 1);
}

TEST(ProcessTable, SyntaxErrorReportsToTheWindowManagerAndLogs) {
    process_env env;
    for (int i = 0; i < 3; i++) ASSERT_NE(env.spawn(kIdle), nullptr);
    Process* wm = get_process(3);
    EXPECT_EQ(env.spawn("x = = 1", "broken"), nullptr);
    auto msgs = env.messages(wm);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_NE(msgs[0].find("{event=\"report_error\",content=\"*syntax error\",_from="), std::string::npos)
        << msgs[0];
    EXPECT_NE(msgs[1].find("unexpected symbol"), std::string::npos) << msgs[1];
    std::string log = env.log();
    EXPECT_NE(log.find("creating process 4 broken /ram/test.lua"), std::string::npos);
    EXPECT_NE(log.find("syntax error. ** could not create process **"), std::string::npos);
    EXPECT_NE(log.find("SYSTEM ERROR: *syntax error"), std::string::npos);
}

TEST(ProcessTable, PrecompiledChunksAreRefused) {
    process_env env;
    lua_State* L = luaL_newstate();
    luaL_loadstring(L, "return 1");
    std::string bin;
    lua_dump(
        L,
        [](lua_State*, const void* p, size_t n, void* ud) {
            ((std::string*)ud)->append((const char*)p, n);
            return 0;
        },
        &bin, 0);
    lua_close(L);
    ASSERT_GT(bin.size(), 4u);
    Process* p = create_process_from_code(bin.c_str(), "bin", "/ram/bin.lua", "", "");
    EXPECT_EQ(p, nullptr);
}

TEST(ProcessTable, RemovalCompactsIndicesWhileRecordsAndIdsStay) {
    process_env env;
    Process* ps[5];
    for (auto& p : ps) ASSERT_NE(p = env.spawn(kIdle), nullptr);
    kill_process_by_index(3);
    EXPECT_EQ(get_process_count(), 4);
    EXPECT_EQ(get_process_by_index(3), ps[4]);  // the same record, moved down
    EXPECT_EQ(get_process_by_index(3)->id, 5);
    EXPECT_EQ(get_process_index(ps[4]), 3);
    EXPECT_EQ(get_process(4), nullptr);
    kill_process_by_index(7);   // out of range: nothing
    kill_process(nullptr);      // nothing
    EXPECT_EQ(get_process_count(), 4);
}

// A record read after its process was removed is reported, even once the
// next process has taken its place.
TEST(ProcessTableDeathTest, StaleRecordReadIsSeenBySanitizer) {
#if defined(HALVORAN_ASAN)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            process_env env;
            env.spawn(kIdle);  // the root, which stays listed
            Process* gone = env.spawn(kIdle);
            kill_process(gone);
            Process* next = env.spawn(kIdle);
            if (next) fprintf(stderr, "read %lld\n", (long long)*(volatile int64_t*)&gone->id);
        },
        "heap-use-after-free");
#else
    GTEST_SKIP() << "needs AddressSanitizer";
#endif
}

TEST(ProcessTable, FlagsAndTextLimits) {
    process_env env;
    env.spawn(kIdle);  // id 1 (the root keeps index 0)
    struct {
        const char* path;
        const char* sandbox;
        int flags;
    } cases[] = {{"/system/x.lua", "", 1},  {"/system/x.lua", "box", 3},
                 {"/ram/x.lua", "", 0},     {"/ram/x.lua", "box", 2},
                 {"/system/apps/terminal.lua", "", 0}, {"/system/apps/terminal.lua", "box", 2},
                 {"/systemx/a.lua", "", 0}};
    for (auto& c : cases) {
        Process* p = env.spawn(kIdle, "n", c.path, c.sandbox);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->flags, c.flags) << c.path << " / " << c.sandbox;
        EXPECT_EQ(p->sandboxed, c.sandbox[0] ? 1 : 0);
        EXPECT_STREQ(p->pwd, "/");
        EXPECT_EQ(p->priority, 1.0);
    }
    std::string long_name(100, 'n'), long_path(400, 'p'), long_box(100, 'b');
    Process* p = env.spawn(kIdle, long_name, long_path, long_box, std::string(90, 'c'));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(strlen(p->name), 63u);
    EXPECT_EQ(strlen(p->path), 255u);
    EXPECT_EQ(strlen(p->sandbox), 63u);
    EXPECT_EQ(strlen(p->cart_id), 63u);
    EXPECT_EQ(count_recent_sandboxed_processes(), 4);
}

TEST(ProcessTable, NewProcessAddressSpace) {
    process_env env;
    Process* root = env.spawn(kIdle);
    ASSERT_NE(root, nullptr);
    // Pages 0-15, the 136 wavetable pages and the default instrument's page.
    EXPECT_EQ(root->ram_bytes, (uint64_t)(16 + 136 + 1) * 4096);
    for (int pg = 0; pg < 16; pg++) {
        EXPECT_NE(root->backing_page[pg], nullptr);
        EXPECT_EQ(root->page_len[pg], 4096);
    }
    for (int pg = 8; pg < 12; pg++) EXPECT_EQ(root->page_flags[pg], PAGE_FLAG_COLTAB);
    EXPECT_EQ(root->page_flags[0x40], PAGE_FLAG_WRITTEN);  // the default instrument
    EXPECT_EQ(root->page_ptr[0x20], nullptr);
    EXPECT_NE(root->messages, nullptr);
    EXPECT_EQ(root->state, PROC_RUNNING);
}

TEST(ProcessTable, QueueLimitDropsMessages) {
    process_env env;
    Process* p = env.spawn(kIdle);
    ASSERT_EQ(send_process_message_string(p, "{a=1}"), 9);
    p->messages->length = (int32_t)MESSAGE_QUEUE_LIMIT + 1;
    EXPECT_EQ(send_process_message_string(p, "{a=2}"), 0);
    p->messages->length = 9;
    EXPECT_EQ(env.messages(p).size(), 1u);
}

int64_t reference_noise(int k, int i) {
    hvx_test::reference_xoshiro r(0x12345678);
    uint64_t v = 0;
    for (int n = 0; n <= k * 1024 + i; n++) v = r.next();
    return (int16_t)(v & 0xFFFF);
}

TEST(ProcessTable, DefaultWavetable) {
    process_env env;
    Process* root = env.spawn(kIdle);
    Process* child = env.spawn(kIdle);
    ASSERT_TRUE(root && child);
    auto sample = [](Process* p, int k, int i) {
        return (int16_t)peek2_proc(p, ADDR_WAVETABLE + 2048 * k + 2 * i);
    };
    EXPECT_EQ(sample(root, 208, 512), -32767);
    EXPECT_EQ(sample(root, 208, 513), 32767);
    EXPECT_EQ(sample(root, 144, 0), -32767);
    EXPECT_EQ(sample(root, 144, 512), 0);
    EXPECT_EQ(sample(root, 80, 256), -32768);
    EXPECT_EQ(sample(root, 80, 768), 32767);
    EXPECT_EQ(sample(root, 0, 0), reference_noise(0, 0));
    EXPECT_EQ(sample(root, 3, 77), reference_noise(3, 77));
    EXPECT_EQ(sample(root, 15, 1023), reference_noise(15, 1023));
    // A later process gets the root's pages.
    for (uint32_t a = ADDR_WAVETABLE; a < ADDR_WAVETABLE_END; a += 4)
        ASSERT_EQ(peek4_proc(root, a), peek4_proc(child, a)) << std::hex << a;
    // Without a root the same table is written again.
    processes_init();
    env.spawn(kIdle);  // id 1 again
    Process* lone = get_process(1);
    ASSERT_NE(lone, nullptr);
    EXPECT_EQ(sample(lone, 80, 768), 32767);
    EXPECT_EQ(sample(lone, 0, 0), reference_noise(0, 0));
}

TEST(ProcessTable, ChildCompletedReachesTheParent) {
    process_env env;
    Process* root = env.boot_root(
        "child = spawn('x = 1') "
        "while true do run_slice(child) coroutine.yield() end");
    ASSERT_NE(root, nullptr);
    env.frame();
    env.frame();
    Process* child = get_process(2);
    EXPECT_EQ(child, nullptr);
    auto msgs = env.messages(root);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].rfind("{event=\"child_completed\",_from=2,_sent_t=", 0), 0u) << msgs[0];
    EXPECT_NE(msgs[0].find(",proc_id=2}"), std::string::npos) << msgs[0];
}

TEST(ProcessTable, RestartKeepsRecordAndIdAndStartsAfresh) {
    process_env env;
    Process* root = env.spawn(kIdle);
    Process* p = env.spawn("n = (n or 0) + 1 while true do coroutine.yield() end");
    ASSERT_TRUE(root && p);
    run_process_slice(p, 1.0);
    poke_proc(p, 0x30000, 9);
    audio_app.audio_focus_pid = 77;  // another process's focus is left alone
    cproc = root;
    restart_process(p);
    EXPECT_EQ(get_process(2), p);
    EXPECT_EQ(p->id, 2);
    EXPECT_EQ(p->parent, 1);
    EXPECT_EQ(peek_proc(p, 0x30000), 0);
    EXPECT_EQ(peek_proc(p, ADDR_FLAG_BYTE), 1);
    EXPECT_EQ(audio_app.audio_focus_pid, 77);
    env.register_globals(p);
    run_process_slice(p, 1.0);
    lua_getglobal(p->L, "n");
    EXPECT_EQ(lua_tointeger(p->L, -1), 1);
    lua_pop(p->L, 1);
    audio_app.audio_focus_pid = 2;
    restart_process(p);
    EXPECT_EQ(audio_app.audio_focus_pid, -2);
}

// A program is what a system process started, with everything it made in
// turn; neither its creator's end nor a restart moves a process out of it.
TEST(ProcessTable, ProgramsFollowTheCreatorUpToTheSystemProcesses) {
    process_env env;
    Process* sys[3];
    for (auto& s : sys) ASSERT_NE(s = env.spawn(kIdle), nullptr);
    cproc = sys[0];
    Process* app_a = env.spawn(kIdle);  // 4, made by the kernel
    cproc = sys[2];
    Process* app_b = env.spawn(kIdle);  // 5, made by the window manager
    cproc = app_a;
    Process* child = env.spawn(kIdle);  // 6
    cproc = child;
    Process* grandchild = env.spawn(kIdle);  // 7
    ASSERT_TRUE(app_a && app_b && child && grandchild);
    const int64_t want[][2] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 4}, {7, 4}};
    for (auto [id, program] : want) EXPECT_EQ(get_process(id)->program_id, program) << id;

    cproc = sys[0];
    kill_process(app_a);
    kill_process(child);
    EXPECT_TRUE(program_is_live(4));  // the grandchild still runs
    cproc = grandchild;
    Process* late = env.spawn(kIdle);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->program_id, 4);
    cproc = sys[0];
    restart_process(grandchild);
    EXPECT_EQ(grandchild->program_id, 4);
    kill_process(grandchild);
    kill_process(late);
    EXPECT_FALSE(program_is_live(4));
    EXPECT_TRUE(program_is_live(5));
}

// What a program owes, against a plain model: adds saturate, pay-offs take
// what there is, system programs and programs with no process listed owe
// nothing, a restart keeps the debt and it goes with the last process.
TEST(ProcessTable, ProgramDebtFollowsAModel) {
    process_env env;
    for (int i = 0; i < 3; i++) ASSERT_NE(env.spawn(kIdle), nullptr);
    std::map<int64_t, int64_t> model;
    auto listed = [](int64_t program) {
        for (int i = 0; i < get_process_count(); i++)
            if (get_process_by_index(i)->program_id == program) return true;
        return false;
    };
    uint64_t seed = 0x9e3779b97f4a7c15ull;
    auto next = [&seed](uint64_t n) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return (seed >> 33) % n;
    };
    const int64_t amounts[] = {0, -5, 1, 279620, 1 << 30, INT64_MAX / 2, INT64_MAX};
    std::set<int64_t> programs = {1000, 1001, 1002};  // every one ever seen
    for (int step = 0; step < 600; step++) {
        const int n = get_process_count();
        Process* some = get_process_by_index((int)next(n));
        const int64_t program = next(8) == 0 ? 1000 + (int64_t)next(3) : some->program_id;
        const int64_t amount = amounts[next(std::size(amounts))];
        switch (next(6)) {
            case 0:
            case 1:
                add_program_debt(program, amount);
                if (amount > 0 && program > LAST_SYSTEM_PROCESS_ID && listed(program)) {
                    int64_t& d = model[program];
                    d = d > INT64_MAX - amount ? INT64_MAX : d + amount;
                }
                break;
            case 2: {
                const int64_t paid = pay_program_debt(program, amount);
                const int64_t have = model.count(program) ? model[program] : 0;
                const int64_t want = amount <= 0 ? 0 : amount < have ? amount : have;
                ASSERT_EQ(paid, want) << step;
                if (model.count(program) && (model[program] -= want) == 0) model.erase(program);
                break;
            }
            case 3:  // a new process, made by the system or inside a program
                if (n < 40) {
                    cproc = some;
                    ASSERT_NE(env.spawn(kIdle), nullptr);
                    cproc = nullptr;
                }
                break;
            case 4:
                if (!is_system_process_id(some->id)) {
                    const int64_t gone = some->program_id;
                    kill_process(some);
                    if (!listed(gone)) model.erase(gone);
                }
                break;
            case 5:
                if (next(4) == 0) restart_process(some);
                break;
        }
        for (int i = 0; i < get_process_count(); i++) programs.insert(get_process_by_index(i)->program_id);
        for (int64_t p : programs) {
            const int64_t want = model.count(p) ? model[p] : 0;
            ASSERT_EQ(program_debt(p), want) << "program " << p << " at step " << step;
        }
    }
}

TEST(ProcessTable, TableFullFailsCleanly) {
    process_env env;
    for (int i = 0; i < MAX_PROCESSES; i++) ASSERT_NE(env.spawn("x=1"), nullptr) << i;
    EXPECT_EQ(env.spawn("x=1"), nullptr);
    EXPECT_EQ(get_process_count(), MAX_PROCESSES);
    EXPECT_NE(env.log().find("process table full"), std::string::npos);
    kill_process_by_index(5);
    Process* p = env.spawn("x=1");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->id, MAX_PROCESSES + 2);  // the failed attempt used an id
}

TEST(ProcessTable, NullSpriteIsAZeroedBitmapEveryTime) {
    uint8_t* s = get_null_sprite();
    s[UD_HEADER_SIZE + 5] = 7;
    uint8_t* t = get_null_sprite();
    EXPECT_EQ(t[UD_HEADER_SIZE + 5], 0);
    EXPECT_EQ(ud_type(t), UTYPE_U8);
    EXPECT_EQ(ud_dims(t), 2);
    EXPECT_EQ(ud_width(t), 16u);
    EXPECT_EQ(ud_height(t), 16u);
}

TEST(ProcessTable, BootTextRunsAboveThePlaceholder) {
    process_env env;
    Process* root = env.boot_root("booted = 'yes' while true do coroutine.yield() end");
    ASSERT_NE(root, nullptr);
    env.frame();
    EXPECT_EQ(hvx_test::global_text(root, "booted"), "yes");
    EXPECT_NE(process_load_boot_text(root, "x = = 2", 7, "=bad"), nullptr);
}

}  // namespace
