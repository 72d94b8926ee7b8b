// A program's end runs its finalizers held as its slices are: paid by its
// program, within a bounded share, past which the state is freed without
// the rest of its script finalizers while host finalizers still run. The
// process that ends it (the kernel's _kill_process, or whoever gave the
// slice that returned or failed) pays only for the freeing.
#include <gtest/gtest.h>

#include <string>

#include "lang/lang.h"
#include "storage/mounts.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::process_env;

namespace {

const char* kIdle = "while true do coroutine.yield() end";

int script_marks = 0, host_finalized = 0;
int h_mark(lua_State*) {
    script_marks++;
    return 0;
}
int h_host_finalizer(lua_State*) {
    host_finalized++;
    return 0;
}

int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

enum class end_by { returning, failing, kernel_kill };
struct end_kind {
    const char* name;
    end_by how;
    const char* tail;  // the victim's code after its set-up
};
const end_kind kEnds[] = {
    {"its chunk returns", end_by::returning, ""},
    {"an uncaught error", end_by::failing, " error('boom')"},
    {"the kernel's _kill_process", end_by::kernel_kill, " while true do coroutine.yield() end"},
};

// Ids 1-3 idle (1 is the kernel); the victim is 4: it first starts 5, of its
// own program, so that the program outlives it and its debt can be read.
struct ended {
    int64_t kernel_charged;  // the cycles the kernel's call that ended it took
    int64_t program_debt;
    bool gone;
};
ended end_program(process_env& env, const std::string& setup, const end_kind& e) {
    Process* kernel = env.spawn(kIdle);
    for (int i = 0; i < 2; i++) env.spawn(kIdle);
    Process* v = env.spawn(std::string("spawn('") + kIdle + "') " + setup + e.tail);
    const int64_t id = v->id, program = v->program_id;
    prepare_processes_for_frame();
    ended r{};
    if (e.how == end_by::kernel_kill) {
        run_process_slice(v, 1.0);
        r.kernel_charged = hvx_test::call(kernel, lua54_kill_process, std::to_string(id)).charged;
    } else {
        r.kernel_charged = hvx_test::eval(kernel, "run_slice(" + std::to_string(id) + ")").charged;
    }
    r.gone = get_process(id) == nullptr;
    r.program_debt = program_debt(program);
    return r;
}

// A finalizer that never returns, each step a walk up a chain of 100
// tables, between a script finalizer and a host one made before it (so run
// after it).
const char* kChainSetup =
    "setmetatable({}, {__gc = function() mark() end}) "
    "setmetatable({}, {__gc = host_finalizer}) "
    "local P = {1} for d = 1, 100 do P = setmetatable({}, {__index = P}) end "
    "setmetatable({}, {__gc = function() while true do local r = P[1] end end})";

TEST(ProgramEnd, AFinalizerThatNeverReturnsEndsWithinItsSharePaidByItsProgram) {
    for (const end_kind& e : kEnds) {
        process_env env;
        env.add_global("mark", h_mark);
        env.add_global("host_finalizer", h_host_finalizer);
        script_marks = host_finalized = 0;
        const ended r = end_program(env, kChainSetup, e);
        EXPECT_TRUE(r.gone) << e.name;
        // The freeing only: no share of the finalizers' cycles.
        EXPECT_LT(r.kernel_charged, HOST_RUN_SHARE / 2) << e.name;
        EXPECT_GE(r.program_debt, HOST_RUN_SHARE) << e.name;
        EXPECT_EQ(host_finalized, 1) << e.name << ": host finalizers always run";
        EXPECT_EQ(script_marks, 0) << e.name << ": script finalizers past the share are left out";
        EXPECT_EQ(count_of(env.log(), "process 4: 1 finalizers left out at its end"), 1) << e.name;
    }
}

// Ordinary last words: a message and a small file, however the program ends.
TEST(ProgramEnd, AFinalizerThatSendsAndStoresAtTheEndStillRuns) {
    for (const end_kind& e : kEnds) {
        process_env env;
        ASSERT_EQ(mount_ram_folder("/ram"), 0);
        const ended r = end_program(env,
                                    "setmetatable({}, {__gc = function() send_message(1, {event = 'bye'}) "
                                    "store('/ram/bye.txt', string.rep('bye ', 100)) end})",
                                    e);
        EXPECT_TRUE(r.gone) << e.name;
        Process* kernel = get_process(1);
        ASSERT_EQ(env.messages(kernel).size(), 1u) << e.name;
        EXPECT_NE(env.messages(kernel)[0].find("bye"), std::string::npos) << e.name;
        EXPECT_EQ(hvx_test::run_in(kernel, "return #fetch('/ram/bye.txt')"), "400") << e.name;
        EXPECT_EQ(count_of(env.log(), "left out"), 0) << e.name;
    }
}

// Finalizers of a program ending while another's close runs its own: each
// state is judged by its own share (the inner close is not cut short by the
// outer's being past its share, nor the other way round).
TEST(ProgramEnd, ANestedEndIsHeldOnItsOwnShare) {
    process_env env;
    env.add_global("mark", h_mark);
    script_marks = 0;
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    Process* inner = env.spawn("setmetatable({}, {__gc = function() mark() end}) " + std::string(kIdle));  // 4
    Process* outer = env.spawn(
        "setmetatable({}, {__gc = function() mark() end}) "
        "setmetatable({}, {__gc = function() kill(4) while true do end end}) " +
        std::string(kIdle));  // 5
    prepare_processes_for_frame();
    run_process_slice(inner, 1.0);
    run_process_slice(outer, 1.0);
    kill_process(outer);
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(get_process(5), nullptr);
    EXPECT_EQ(script_marks, 1) << "the inner program's finalizer ran, the outer's last was left out";
    const std::string log = env.log();
    EXPECT_EQ(count_of(log, "process 5: 1 finalizers left out"), 1);
    EXPECT_EQ(count_of(log, "process 4:"), 0);
}

}  // namespace
