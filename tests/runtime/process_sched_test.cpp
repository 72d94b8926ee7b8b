// The scheduler: budgets, debt, boot wait, atomic operations, memory limit,
// runtime errors, fatal ends, kills during a slice, the allocator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/synth.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::global_text;
using hvx_test::process_env;

namespace {

const char* kIdle = "while true do coroutine.yield() end";
const char* kBusy = "while true do end";

int64_t global_int(Process* p, const char* name) {
    lua_getglobal(p->L, name);
    int64_t v = lua_tointeger(p->L, -1);
    lua_pop(p->L, 1);
    return v;
}

int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

TEST(Scheduler, SpendCpu) {
    process_env env;
    cpu_cycles = 10;
    EXPECT_EQ(spend_cpu(0), 1);
    EXPECT_EQ(cpu_cycles, 11);
    EXPECT_EQ(spend_cpu(-5), -5);
    EXPECT_EQ(cpu_cycles, 11);
    EXPECT_EQ(spend_cpu(100), 100);
    EXPECT_EQ(cpu_cycles, 111);
    cpu_cycles = INT32_MAX - 3;
    spend_cpu(INT32_MAX);  // saturates instead of wrapping into a fresh budget
    EXPECT_EQ(cpu_cycles, INT32_MAX);
    cpu_cycles = 0;
}

TEST(Scheduler, FractionsShareOneFrameBudget) {
    process_env env;
    Process* p = env.spawn(kBusy);
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(p, 0.5), 139810);
    // The jump that crossed the slice's end ran too: the frame counts it.
    const int64_t second = CPU_FRAME_BUDGET - 139810 - 2;
    EXPECT_EQ(total_frame_cycles, 139810 + 2);
    EXPECT_EQ(run_process_slice(p, 0.9), second);
    EXPECT_EQ(run_process_slice(p, 1.0), 0);  // the frame's budget is spent
    EXPECT_EQ(total_frame_cycles, CPU_FRAME_BUDGET);
    EXPECT_EQ(p->granted, 139810 + second);
    EXPECT_EQ(p->frame_cycles, 139810 + second);
    EXPECT_EQ(run_process_slice(p, 0.0), 0);
    EXPECT_EQ(run_process_slice(p, -1.0), 0);
    EXPECT_EQ(run_process_slice(p, 0.0 / 0.0), 0);
    prepare_processes_for_frame();
    EXPECT_EQ(total_frame_cycles, 0);
    EXPECT_EQ(p->granted_prev, 139810 + second);
    EXPECT_EQ(run_process_slice(p, 1e300), CPU_FRAME_BUDGET);
    // The globals belong to whoever ran before the slice.
    EXPECT_EQ(cproc, nullptr);
}

TEST(Scheduler, OverrunBecomesDebtForTheNextSlice) {
    process_env env;
    Process* p = env.spawn(
        "spend(279620 + 5000) "          // overruns: the next check suspends
        "first = cycles() "              // the next slice starts part-spent
        "while true do coroutine.yield() end");
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(p, 1.0), CPU_FRAME_BUDGET);
    EXPECT_GE(p->cpu_debt, 5000);
    EXPECT_LT(p->cpu_debt, 5100);
    int32_t debt = p->cpu_debt;
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(p->cpu_debt, 0);
    EXPECT_GE(global_int(p, "first"), debt);
    EXPECT_LT(global_int(p, "first"), debt + 50);
}

TEST(Scheduler, DebtIsCappedAtTenFrames) {
    // Normally, and in the fast start-up of a workstation whose displayed
    // process id is 4, before its window exists: ten frames of its budget.
    for (int32_t display_pid : {3, 4}) {
        process_env env;
        config.display_pid = display_pid;
        const int64_t budget = display_pid == 4 ? CPU_FRAME_BUDGET_FAST : CPU_FRAME_BUDGET;
        ASSERT_EQ(current_frame_budget(), budget);
        // While in debt a slice gets at most one instruction in; the loop needs
        // far more than ten.
        Process* p = env.spawn(
            "spend(2000000000) for i = 1, 100 do end n = 1 while true do coroutine.yield() end");
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
        EXPECT_EQ(global_int(p, "n"), 0);
        int frames = 0;
        std::vector<int64_t> used;
        while (global_int(p, "n") == 0 && frames < 50) {
            prepare_processes_for_frame();
            used.push_back(run_process_slice(p, 1.0));
            frames++;
        }
        // Ten whole frames pay the capped debt off; the eleventh runs the script.
        EXPECT_EQ(frames, 11) << display_pid;
        for (int i = 0; i < 10 && i < (int)used.size(); i++) EXPECT_EQ(used[i], budget) << i;
        // Once the window exists the normal budget holds.
        app.video_ready = 1;
        EXPECT_EQ(current_frame_budget(), CPU_FRAME_BUDGET);
    }
}

// What a process past the system's ids owes is its program's.
int64_t owes(const Process* p) { return program_debt(p->program_id); }

// Past the kernel's own ids a process's program pays for every cycle it ran
// past its slices, beyond any cap, and a slice its debt covers is paid off
// without resuming it.
TEST(Scheduler, HighIdsOweEveryCyclePastTheirSlices) {
    for (bool fast : {false, true}) {
        process_env env;
        config.display_pid = fast ? 4 : 3;
        const int64_t budget = current_frame_budget();
        for (int i = 0; i < 3; i++) env.spawn(kIdle);
        Process* p = env.spawn("spend(40000000) n = 1 while true do coroutine.yield() end");
        ASSERT_EQ(p->id, 4);
        prepare_processes_for_frame();
        EXPECT_EQ(run_process_slice(p, 1.0), budget);
        const int64_t debt = owes(p);
        EXPECT_GT(debt, 40000000 - budget);
        EXPECT_LT(debt, 40000000 - budget + 100);
        EXPECT_EQ(p->cpu_debt + p->owed_cycles, 0) << "nothing is the process's own";
        if (fast) app.video_ready = 1;  // the window comes: the cap falls, nothing owed is lost
        const int64_t b = current_frame_budget();
        int64_t paid = 0;
        while (global_int(p, "n") == 0 && paid < 1000) {
            prepare_processes_for_frame();
            const int64_t before = owes(p);
            const int64_t used = run_process_slice(p, 1.0);
            if (global_int(p, "n") != 0) break;
            // Not resumed: the whole slice came off the debt and filled the frame.
            EXPECT_EQ(used, b);
            EXPECT_EQ(owes(p), before - b);
            EXPECT_EQ(total_frame_cycles, b);
            paid++;
        }
        EXPECT_EQ(paid, debt / b) << fast;
        EXPECT_EQ(owes(p), 0);
        EXPECT_EQ(p->slices, paid + 2);
    }
}

// Slices handed out by a process: every cycle they ran counts against the
// frame, so after one ran past what was left no other runs in it. The
// overrun is owed once by each program it is charged to: the child's, and
// a giver's past the kernel's ids when that is another program, which then
// stops handing out slices until it is paid; the kernel only sees it in its
// figures.
TEST(Scheduler, GiversOfSlicesOweWhatTheyRanPastThem) {
    const char* kid = "spend(5000000) while true do coroutine.yield() end";
    const std::string hand_out = R"lua(
        first = kids[1]
        loops = 0
        while true do
            loops = loops + 1
            for i = 1, 3 do got = (got or "") .. run_slice(kids[i], 0.001) .. " " end
            coroutine.yield()
        end)lua";
    const std::string own_kids =
        std::string("kids = {} for i = 1, 3 do kids[i] = spawn('") + kid + "') end ";
    enum giver_kind { system_giver, same_program, other_program };
    for (giver_kind kind : {system_giver, same_program, other_program}) {
        process_env env;
        Process* g = nullptr;
        if (kind == system_giver) {
            g = env.spawn(own_kids + hand_out);
            for (int i = 0; i < 2; i++) env.spawn(kIdle);
        } else {
            for (int i = 0; i < 3; i++) env.spawn(kIdle);
            if (kind == other_program)
                for (int i = 0; i < 3; i++) env.spawn(kid);  // programs of their own: 4, 5, 6
            g = env.spawn((kind == other_program ? std::string("kids = {4, 5, 6} ") : own_kids) + hand_out);
        }
        prepare_processes_for_frame();
        run_process_slice(g, 1.0);
        Process* first = get_process(global_int(g, "first"));
        ASSERT_NE(first, nullptr) << kind;
        ASSERT_EQ(first->id, kind == same_program ? 5 : 4);
        ASSERT_EQ(first->program_id == g->program_id, kind == same_program);
        // The first child held the host far past the frame: the others got nothing.
        EXPECT_EQ(global_text(g, "got"), "279 0 0 ");
        EXPECT_EQ(total_frame_cycles, CPU_FRAME_BUDGET);
        const int64_t over = owes(first);
        EXPECT_GT(over, 5000000 - 279) << kind;
        EXPECT_LT(over, 5000000) << kind << ": charged once";
        EXPECT_EQ(lua_status(get_process(first->id + 1)->L), LUA_OK) << "never resumed";
        EXPECT_GE(g->frame_cycles, over + 279) << "the giver's figures hold it all";
        EXPECT_EQ(owes(g), kind == system_giver ? 0 : over) << kind;
        EXPECT_EQ(g->cpu_debt + g->owed_cycles, 0) << kind;
        int frames = 1;
        while (global_int(g, "loops") == 1 && frames < 100) {
            prepare_processes_for_frame();
            run_process_slice(g, 1.0);
            frames++;
        }
        // A system giver runs every frame; another first pays the debt off.
        EXPECT_EQ(frames, kind == system_giver ? 2 : over / CPU_FRAME_BUDGET + 2) << kind;
        // The giver's program paid its own debt; the kid's is paid only by
        // the slices given to the kid (one of 279 since).
        if (kind == other_program) { EXPECT_EQ(owes(first), over - 279); }
    }
}

// A program that owes is not resumed through any of its processes, a fresh
// one included: each slice given to one pays the debt off and counts in its
// own figures as a slice given. The debt outlives a restart and the process
// that ran it up, and goes with the program's last process.
TEST(Scheduler, AFreshProcessOfAnOwingProgramPaysInsteadOfRunning) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* a = env.spawn(
        "b = spawn('ran = 1 while true do coroutine.yield() end') spend(5000000) "
        "while true do coroutine.yield() end");
    prepare_processes_for_frame();
    run_process_slice(a, 1.0);
    Process* b = get_process(global_int(a, "b"));
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->program_id, a->program_id);
    const int64_t debt = program_debt(a->program_id);
    EXPECT_GT(debt, 5000000 - CPU_FRAME_BUDGET);
    EXPECT_LT(debt, 5000000 - CPU_FRAME_BUDGET + 5000) << "the spawn's compile and the overrun";
    const int64_t half = CPU_FRAME_BUDGET / 2;
    int64_t owed = debt, given = 0;
    int frames = 0;
    while (global_int(b, "ran") == 0 && frames < 100) {
        prepare_processes_for_frame();
        bool resumed = true;
        const int64_t used = run_process_slice(b, 0.5, nullptr, &resumed);
        frames++;
        if (owed >= half) {
            EXPECT_FALSE(resumed) << frames;
            EXPECT_EQ(lua_status(b->L), LUA_OK) << frames;
            EXPECT_EQ(used, half);
            EXPECT_EQ(program_debt(a->program_id), owed - half);
            owed -= half;
        } else {
            EXPECT_TRUE(resumed);
            EXPECT_EQ(program_debt(a->program_id), 0);
        }
        EXPECT_EQ(b->granted, half) << frames;
        EXPECT_EQ(b->frame_cycles, used) << frames;
        given += used;
        EXPECT_EQ(b->slices, frames);
    }
    EXPECT_EQ(frames, debt / half + 1);
    EXPECT_EQ(b->cycles_since_flip, given) << "the slices it paid with included";
    EXPECT_GT(given, debt);

    // Owed again: a restart keeps it, the end of the one that ran it up too.
    add_program_debt(a->program_id, 1000000);
    restart_process(b);
    EXPECT_EQ(program_debt(a->program_id), 1000000);
    kill_process(a);
    EXPECT_EQ(program_debt(b->program_id), 1000000);
    const int64_t program = b->program_id;
    kill_process(b);
    EXPECT_EQ(program_debt(program), 0);
}

// A call that ran past the ceiling is owed once by each program charged:
// the runaway's own, whose creator pays what passed the ceiling and whose
// slice's end adds only the rest, and a giver's of another program.
TEST(Scheduler, ARunawayIsOwedOncePerProgram) {
    const char* runaway = "pcall(table.sort, {3, 2, 1}, function() while true do end end)";
    enum giver_kind { kernel_gives, creator_gives, other_program_gives };
    for (giver_kind kind : {kernel_gives, creator_gives, other_program_gives}) {
        process_env env;
        for (int i = 0; i < 3; i++) env.spawn(kIdle);
        Process* creator = env.spawn(std::string("r = spawn('") + runaway + "') " +
                                     (kind == creator_gives ? "run_slice(r, 0.5) " : "") +
                                     "while true do coroutine.yield() end");  // 4
        prepare_processes_for_frame();
        run_process_slice(creator, 0.2);
        Process* other = env.spawn("coroutine.yield() run_slice(5, 0.5) while true do coroutine.yield() end");  // 6
        run_process_slice(other, 0.2);
        ASSERT_EQ(global_int(creator, "r"), 5);
        ASSERT_EQ(other->id, 6);
        if (kind == kernel_gives) run_process_slice(get_process(5), 0.5);
        if (kind == other_program_gives) run_process_slice(other, 0.2);
        EXPECT_EQ(get_process(5), nullptr) << kind << ": the runaway ended";
        EXPECT_NE(env.log().find("process 4 owes"), std::string::npos) << kind;
        // A fresh process: what passed its own allowance and the young
        // pool, full then, is owed.
        const int64_t allowance = NONYIELD_YOUNG_ALLOWANCE + NONYIELD_YOUNG_POOL;
        const int64_t owed = program_debt(4);
        EXPECT_GE(owed, allowance) << kind;
        EXPECT_LT(owed, allowance + 1000) << kind << ": once";
        const int64_t giver_owes = program_debt(6);
        if (kind == other_program_gives) {
            EXPECT_GE(giver_owes, allowance) << kind;
            EXPECT_LT(giver_owes, allowance + 1000) << kind;
        } else {
            EXPECT_EQ(giver_owes, 0) << kind;
        }
    }
}

TEST(Scheduler, FlagByteSwitchesTheCollectorToIncremental) {
    process_env env;
    // Each reports the collector mode it was in at the start of its next slice.
    const char* code = "collectgarbage('generational') coroutine.yield() "
                       "mode = collectgarbage('generational') while true do coroutine.yield() end";
    Process* flagged = env.spawn(code);
    Process* plain = env.spawn(code);
    prepare_processes_for_frame();
    run_process_slice(flagged, 1.0);
    run_process_slice(plain, 1.0);
    hvx_poke8(flagged, ADDR_FLAG_BYTE, FLAG_BYTE_GC_INC);
    update_processes_after_frame();
    prepare_processes_for_frame();
    run_process_slice(flagged, 1.0);
    run_process_slice(plain, 1.0);
    EXPECT_EQ(hvx_test::global_text(flagged, "mode"), "incremental");
    EXPECT_EQ(hvx_test::global_text(plain, "mode"), "generational");
}

TEST(Scheduler, MountHoldPostponesPruning) {
    process_env env;
    Process* p = env.spawn(kIdle);
    pfile_reset();
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    // A removed file's record is let go only when the upkeep prunes.
    struct {
        const char* what;
        void (*act)(Process*);
        bool pruned;
    } rows[] = {
        {"no hold", [](Process*) {}, true},
        {"held", [](Process* q) { hvx_test::call(q, lua54_signal, "46"); }, false},
        {"held still", [](Process*) {}, false},
        {"released", [](Process* q) { hvx_test::call(q, lua54_signal, "47"); }, true},
        {"held again", [](Process* q) { hvx_test::call(q, lua54_signal, "46"); }, false},
        {"run out", [](Process* q) { q->mount_hold -= MOUNT_HOLD_MS; }, true},
    };
    for (const auto& r : rows) {
        pfclose(pfopen("/ram/x.txt", "w"));
        ASSERT_EQ(delete_path("/ram/x.txt"), 0);
        int before = pdisk_num_pfiles();
        r.act(p);
        update_processes_after_frame();
        EXPECT_EQ(pdisk_num_pfiles() < before, r.pruned) << r.what;
    }
    pfile_reset();
}

TEST(Scheduler, BootWaitHoldsBackHighIds) {
    process_env env;
    for (int i = 0; i < 5; i++) env.spawn(kIdle);
    Process* p5 = get_process(5);
    Process* p3 = get_process(3);
    config.headless = 0;
    platform_app.frame_count = 0;
    boot_get_time();  // the boot clock starts here
    platform_app.boot_start = 0;
    prepare_processes_for_frame();
    EXPECT_GT(run_process_slice(p3, 0.1), 0);
    EXPECT_EQ(run_process_slice(p5, 0.1), 0);
    EXPECT_EQ(p5->slices, 0);
    platform_app.frame_count = 132;  // 2191 ms
    EXPECT_EQ(run_process_slice(p5, 0.1), 0);
    config.display_pid = 4;
    EXPECT_GT(run_process_slice(p5, 0.1), 0);
    config.display_pid = 3;
    config.headless = 1;
    EXPECT_GT(run_process_slice(p5, 0.1), 0);
    config.headless = 0;
    platform_app.frame_count = 133;  // 2207 ms
    EXPECT_GT(run_process_slice(p5, 0.1), 0);
}

TEST(Scheduler, AtomicOperationHoldsBackOthers) {
    process_env env;
    for (int i = 0; i < 7; i++) env.spawn(kIdle);
    app.atomic_pid = 7;
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(get_process(5), 0.1), 0);
    EXPECT_GT(run_process_slice(get_process(7), 0.1), 0);
    EXPECT_GT(run_process_slice(get_process(2), 0.1), 0);
    EXPECT_GT(run_process_slice(get_process(3), 0.1), 0);
    app.atomic_pid = 0;
    EXPECT_GT(run_process_slice(get_process(5), 0.1), 0);
}

TEST(Scheduler, ThousandsOfSlicesOfAYieldingProcess) {
    process_env env;
    Process* p = env.spawn("n = 0 while true do n = n + 1 coroutine.yield() end");
    for (int i = 0; i < 1500; i++) {
        prepare_processes_for_frame();
        ASSERT_GT(run_process_slice(p, 1.0), 0) << i;
    }
    EXPECT_EQ(p->slices, 1500);
    EXPECT_EQ(global_int(p, "n"), 1500);
    EXPECT_EQ(p->state, PROC_RUNNING);
}

TEST(Scheduler, OutOfMemoryRemovesTheProcess) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* p = env.spawn(
        "t = {} for i = 1, 10 do t[i] = string.rep('x', 4 << 20) .. i end "
        "while true do coroutine.yield() end");
    for (int i = 0; i < 20 && get_process(4); i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_NE(env.log().find("SYSTEM ERROR: *runtime error: out of memory"), std::string::npos);
    auto msgs = env.messages(get_process(3));
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_NE(msgs[0].find("content=\"*runtime error: out of memory\",_from=4,"), std::string::npos)
        << msgs[0];
}

TEST(Scheduler, HeapBaselineNoLongerCounts) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* p = env.spawn(
        "a = {} for i = 1, 5 do a[i] = string.rep('x', 4 << 20) .. i end "
        "coroutine.yield() coroutine.yield() "
        "b = {} for i = 1, 5 do b[i] = string.rep('y', 4 << 20) .. i end "
        "while true do coroutine.yield() end");
    for (int i = 0; i < 3; i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    ASSERT_EQ(get_process(4), p);
    p->heap_base = p->heap_bytes;  // what system signal 38 does
    for (int i = 0; i < 10; i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    EXPECT_EQ(get_process(4), p);
    EXPECT_GT(p->heap_bytes, MEMORY_LIMIT);
}

TEST(Scheduler, OneHugeRequestIsRefusedAndEndsTheProcess) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* p = env.spawn("s = string.rep('x', 200 << 20) while true do coroutine.yield() end");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_NE(env.log().find("out of memory"), std::string::npos) << env.log();
}

TEST(Scheduler, RuntimeErrorsReportAndRemoveHighIds) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* parent = get_process(3);
    cproc = parent;
    Process* p = env.spawn("local x = 1\nerror('boom here')", "failing", "/ram/failing.lua");
    cproc = nullptr;
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(4), nullptr);
    std::string log = env.log();
    EXPECT_EQ(count_of(log, "SYSTEM ERROR: "), 3);
    EXPECT_NE(log.find("run_process_slice() for process 4 error: 2 failing:2: boom here"), std::string::npos)
        << log;
    // the traceback a line at a time, each line stamped
    size_t tb = log.find("] --------\n[");
    EXPECT_NE(tb, std::string::npos) << log;
    EXPECT_NE(log.find("] traceback:\n[", tb), std::string::npos) << log;
    EXPECT_NE(log.find("] stack traceback:\n[", tb), std::string::npos) << log;
    auto msgs = env.messages(parent);
    ASSERT_EQ(msgs.size(), 4u);
    EXPECT_NE(msgs[0].find("content=\"*runtime error\""), std::string::npos);
    EXPECT_NE(msgs[1].find("boom here"), std::string::npos);
    EXPECT_NE(msgs[2].find("traceback"), std::string::npos);
    EXPECT_NE(msgs[3].find("child_completed"), std::string::npos);
}

TEST(Scheduler, TracebackIsCutAtSystemCode) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* p = env.spawn("error('deep')", "/system/lib.lua", "/system/lib.lua");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    auto msgs = env.messages(get_process(3));
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[2].find("/system/"), std::string::npos) << msgs[2];
}

TEST(Scheduler, LowIdsStayStoppedAfterAnError) {
    process_env env;
    env.spawn(kIdle);
    env.spawn(kIdle);
    Process* p = env.spawn("coroutine.yield() error('stop')");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(3), p);
    EXPECT_EQ(p->state, PROC_FAILED);
    EXPECT_EQ(run_process_slice(p, 1.0), 0);
    EXPECT_EQ(p->slices, 2);
}

void run_to_stdout_on_stderr(void (*body)()) {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    body();
}

TEST(SchedulerDeathTest, KernelErrorEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_to_stdout_on_stderr([] {
                    process_env env;
                    env.boot_root("coroutine.yield() error('kernel boom')");
                    env.frame();
                    env.frame();
                }),
                testing::ExitedWithCode(0), "\\*\\* RUNTIME ERROR IN KERNEL \\*\\*");
}

TEST(SchedulerDeathTest, WindowManagerErrorEndsTheProgramWithItsMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_to_stdout_on_stderr([] {
                    process_env env;
                    env.boot_root("wm = spawn('error(\"wm boom\")') while true do run_slice(wm) coroutine.yield() end");
                    env.frame();
                }),
                testing::ExitedWithCode(0),
                "\\*\\* RUNTIME ERROR IN WINDOW MANAGER \\*\\*\n.*wm boom");
}

TEST(SchedulerDeathTest, KernelOutOfMemoryIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_to_stdout_on_stderr([] {
                    process_env env;
                    env.boot_root("t = {} for i = 1, 10 do t[i] = string.rep('x', 4 << 20) .. i end "
                                  "while true do coroutine.yield() end");
                    for (int i = 0; i < 20; i++) env.frame();
                }),
                testing::ExitedWithCode(0), "\\*\\* RUNTIME ERROR IN KERNEL \\*\\*");
}

TEST(Scheduler, RootThatReturnsIsKeptAndReportedEnded) {
    process_env env;
    Process* root = env.boot_root("x = 1");
    ASSERT_NE(root, nullptr);
    env.frame();
    EXPECT_TRUE(root_process_ended());
    EXPECT_EQ(root_process_record(), nullptr);
    EXPECT_EQ(get_process_by_index(0), root);  // the window manager is never run as the kernel
    EXPECT_EQ(root->state, PROC_ENDED);
    EXPECT_EQ(run_process_slice(root, 1.0), 0);
    EXPECT_NE(env.log().find("root process 1 ended"), std::string::npos);
}

TEST(Scheduler, ProcessKillingItselfAndItsCaller) {
    process_env env;
    Process* root = env.boot_root(
        "a = spawn([[ b = spawn('kill(2) kill(pid()) coroutine.yield() never = 1') "
        "            run_slice(b) a_after = 1 coroutine.yield() a_never = 1 ]]) "
        "run_slice(a) root_after = 1 "
        "while true do coroutine.yield() end");
    ASSERT_NE(root, nullptr);
    env.frame();
    EXPECT_EQ(get_process(2), nullptr) << env.log();
    EXPECT_EQ(get_process(3), nullptr);
    EXPECT_EQ(global_int(root, "root_after"), 1);
    EXPECT_EQ(get_process_count(), 1);
    env.frame();
    EXPECT_EQ(root->state, PROC_RUNNING);
}

TEST(Scheduler, ChildKillingTheRootEndsItAfterItsSlice) {
    process_env env;
    Process* root = env.boot_root(
        "c = spawn('kill(1) coroutine.yield()') run_slice(c) root_after = 1 "
        "while true do coroutine.yield() end");
    ASSERT_NE(root, nullptr);
    env.frame();
    EXPECT_TRUE(root_process_ended());
    EXPECT_EQ(root_process_record(), nullptr);
    EXPECT_EQ(get_process_by_index(0), root);
    EXPECT_EQ(get_process(1), root);
}

TEST(Scheduler, FinalizersRunningAtRemovalCannotPullTheTableAway) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* p = env.spawn(
        "setmetatable({}, {__gc = function() kill(pid()) kill(2) spawn('x = 1') restart(pid()) end}) "
        "while true do coroutine.yield() end");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    kill_process(p);
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(get_process(2), nullptr);
    ASSERT_NE(get_process(5), nullptr);
    EXPECT_EQ(get_process_count(), 3);
    EXPECT_EQ(get_process_by_index(2), get_process(5));
    processes_init();
    EXPECT_EQ(get_process_count(), 0);
}

TEST(Scheduler, FinalizerKillingItsProcessDuringTheMemoryCheck) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    // Over the limit at the end of the slice: the full collection runs the
    // finalizer, which asks for the process's own removal.
    Process* p = env.spawn(
        "setmetatable({}, {__gc = function() kill(pid()) end}) "
        "t = {} for i = 1, 9 do t[i] = string.rep('x', 4 << 20) .. i end "
        "while true do coroutine.yield() end");
    for (int i = 0; i < 20 && get_process(4); i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(cpu_superyielding, 0);
}

TEST(Scheduler, RestartOfARunningProcessWaitsForItsSlice) {
    process_env env;
    env.spawn(kIdle);
    Process* p = env.spawn("n = (n or 0) + 1 coroutine.yield() restart(pid()) coroutine.yield() gone = 1");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(2), p);
    EXPECT_EQ(p->state, PROC_RUNNING);
    EXPECT_EQ(global_int(p, "n"), 0);  // a fresh state, not yet run
    EXPECT_EQ(p->parent, 2);           // asked for by itself
    EXPECT_EQ(global_int(p, "gone"), 0);
}

TEST(Scheduler, RunningProcessCannotBeResumedAgain) {
    process_env env;
    Process* root = env.boot_root("r = run_slice(1) while true do coroutine.yield() end");
    env.frame();
    EXPECT_EQ(global_int(root, "r"), 0);
    EXPECT_EQ(root->state, PROC_RUNNING);
}

TEST(Scheduler, FrameUpkeepCountsFlipsAndClock) {
    process_env env;
    Process* p = env.spawn(kIdle);
    p->cycles_since_flip = 1000;
    p->flipped = 1;
    p->frames_since_flip = 1;
    prepare_processes_for_frame();
    EXPECT_EQ(p->fps, 30);
    EXPECT_EQ(p->flip_cycles, 1000);
    EXPECT_EQ(p->cycles_since_flip, 0);
    EXPECT_EQ(p->frames_since_flip, 0);
    p->flipped = 1;
    p->frames_since_flip = 5;
    update_processes_after_frame();
    EXPECT_EQ(p->clock, 3);  // at most three ticks per flip
    platform_app.battery_slow = 1;
    p->flipped = 0;
    p->frames_since_flip = 0;
    update_processes_after_frame();
    EXPECT_EQ(p->clock, 4);
    EXPECT_EQ(cproc, p);  // the record at index 0
    prepare_processes_for_frame();
    EXPECT_EQ(p->frames_since_flip, 1);
}

TEST(Scheduler, WindowManagerFlipResetsItsTotal) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    total_frame_cycles_since_wm_flip = 12345;
    get_process(2)->flipped = 1;
    prepare_processes_for_frame();
    EXPECT_EQ(total_frame_cycles_since_wm_flip, 12345);
    get_process(3)->flipped = 1;
    prepare_processes_for_frame();
    EXPECT_EQ(total_frame_cycles_since_wm_flip, 0);
}

TEST(Scheduler, ReportErrorMessageForm) {
    process_env env;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    cproc = get_process(2);
    report_error("bad \"thing\"");
    report_error(nullptr);
    cproc = nullptr;
    auto msgs = env.messages(get_process(3));
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].rfind("{event=\"report_error\",content=\"bad ", 0), 0u) << msgs[0];
    EXPECT_EQ(msgs[0].find("\"thing\""), std::string::npos) << msgs[0];  // escaped
    EXPECT_NE(msgs[0].find("\",_from=2,_sent_t="), std::string::npos) << msgs[0];
    EXPECT_NE(msgs[0].find(",_flags=0}"), std::string::npos) << msgs[0];
    EXPECT_NE(msgs[1].find("content=\"unknown error\""), std::string::npos);
    EXPECT_NE(env.log().find("SYSTEM ERROR: bad \"thing\""), std::string::npos);
}

TEST(Scheduler, AllocatorAccountsThroughItsHeader) {
    process_env env;
    static Process rec;
    std::memset(&rec, 0, sizeof rec);
    cpu_cycles = 0;
    void* a = l_alloc(&rec, nullptr, LUA_TTABLE, 100, 0, 56);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ((uintptr_t)a % 16, 0u);
    EXPECT_EQ(rec.heap_bytes, 56);
    EXPECT_EQ(cpu_cycles, (100 >> 7) + 4);
    void* b = l_alloc(&rec, a, 100, 1000, 0, 1000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ((uintptr_t)b % 16, 0u);
    EXPECT_EQ(rec.heap_bytes, 1000);
    EXPECT_EQ(cpu_cycles, 4 + (1000 >> 7) + 4);
    EXPECT_EQ(l_alloc(&rec, b, 1000, 0, 0, 0), nullptr);
    EXPECT_EQ(rec.heap_bytes, 0);
    // Refused: a first attempt only fails, the retry marks the process.
    rec.heap_bytes = MEMORY_HARD_CEILING;
    EXPECT_EQ(l_alloc(&rec, nullptr, 0, 64, 0, 64), nullptr);
    EXPECT_EQ(rec.out_of_memory, 0);
    EXPECT_EQ(cpu_superyielding, 0);
    EXPECT_EQ(l_alloc(&rec, nullptr, 0, 64, 1, 64), nullptr);
    EXPECT_EQ(rec.out_of_memory, 1);
    EXPECT_EQ(cpu_superyielding, CPU_SUPERYIELD);
    cpu_superyielding = 0;
    cpu_cycles = 0;
}

TEST(Scheduler, StateHeapIsFullyReturnedAtClose) {
    process_env env;
    Process* p = env.spawn("t = {} for i = 1, 1000 do t[i] = {i} end while true do coroutine.yield() end");
    run_process_slice(p, 1.0);
    EXPECT_GT(p->heap_bytes, 1000 * 56);
    lua_State* L = p->L;
    Process* prev = cproc;
    cproc = p;
    p->L = nullptr;
    lua_close(L);
    cproc = prev;
    EXPECT_EQ(p->heap_bytes, 0);
}

TEST(Scheduler, AudioCopyFollowsFocusAndFlags) {
    process_env env;
    for (int i = 0; i < 4; i++) env.spawn(kIdle);
    Process* p = get_process(4);
    EXPECT_EQ(audio_op_start(4, 1), 0);
    audio_op_end();
    EXPECT_EQ(audio_app.audio_focus_pid, 4);
    EXPECT_EQ(audio_app.audio_copy_pid, 4);
    for (int pg = 0; pg < HVX_PAGES; pg++) ASSERT_EQ(p->page_flags[pg] & PAGE_FLAG_AUDIO, 0) << pg;
    poke_proc(p, 0x20000, 1);
    EXPECT_EQ(audio_op_start(4, 0), 0);  // same focus, not forced: nothing copied
    audio_op_end();
    EXPECT_EQ(p->page_flags[0x20] & PAGE_FLAG_AUDIO, PAGE_FLAG_AUDIO);
    EXPECT_EQ(audio_op_start(0, 1), 0);  // the forced refresh copies flagged pages
    audio_op_end();
    EXPECT_EQ(p->page_flags[0x20] & PAGE_FLAG_AUDIO, 0);
    EXPECT_EQ(p->page_flags[0x20] & PAGE_FLAG_COLTAB, PAGE_FLAG_COLTAB);
    kill_process(p);
    EXPECT_EQ(audio_app.audio_focus_pid, 0);
    EXPECT_EQ(audio_op_start(0, 1), 1);  // the focus vanished
    EXPECT_EQ(audio_app.audio_focus_pid, -2);
    EXPECT_EQ(audio_op_start(0, 1), 1);
}

// Every way a process writes its memory reaches the synthesizer's copy at the
// next refresh, in any part of the address space.
TEST(Scheduler, AudioCopyTakesEveryKindOfWrite) {
    process_env env;
    for (int i = 0; i < 4; i++) env.spawn(kIdle);
    Process* p = get_process(4);
    static uint8_t mapped[HVX_PAGE_SIZE];
    using writer = void (*)(Process*, uint32_t, uint8_t);
    const std::pair<const char*, writer> writers[] = {
        {"poke8", [](Process* q, uint32_t a, uint8_t v) { hvx_poke8(q, a, v); }},
        {"poke32", [](Process* q, uint32_t a, uint8_t v) { hvx_poke_n<uint32_t>(q, a, v * 0x01010101u); }},
        {"memset", [](Process* q, uint32_t a, uint8_t v) { hvx_memset_proc(q, (int32_t)a, v, 3); }},
        {"memcpy", [](Process* q, uint32_t a, uint8_t v) {  // from a page copied already
             hvx_poke8(q, 0x7000, v);
             audio_op_start(0, 1), audio_op_end();
             hvx_memcpy_proc(q, (int32_t)a, 0x7000, 1);
         }},
        {"write_run", [](Process* q, uint32_t a, uint8_t v) { hvx_write_run(q, a, &v, 1); }},
        {"map_page", [](Process* q, uint32_t a, uint8_t v) {
             mapped[a & (HVX_PAGE_SIZE - 1)] = v;
             hvx_map_page(q, (int)(a >> HVX_PAGE_SHIFT), mapped, HVX_PAGE_SIZE);
         }},
    };
    uint8_t v = 1;
    for (const auto& [name, write] : writers) {
        for (uint32_t a : {0x20010u, 0x3ff00u, 0x7c0020u, 0xfff000u}) {
            audio_op_start(4, 1), audio_op_end();
            write(p, a, ++v);
            EXPECT_NE(mudo_ram8(a), v) << name << " " << std::hex << a;  // not before the refresh
            EXPECT_EQ(audio_op_start(0, 1), 0);
            audio_op_end();
            EXPECT_EQ(mudo_ram8(a), v) << name << " " << std::hex << a;
            EXPECT_EQ(p->audio_lines, 0u) << name;
            hvx_unmap_page(p, (int)(a >> HVX_PAGE_SHIFT));
        }
    }
}

}  // namespace
