// The host-time backstop: a slice of a process past the system's ids whose
// thread CPU time passes what its charged cycles stand for ends at its next
// instruction and its program owes the rest; inside code that cannot yield
// the process ends; the system's processes are never held; paid work runs
// exactly as it would unheld. The unpaid work is a test call that burns far
// more thread CPU time than the bound and charges nothing, so a busy host
// cannot change the outcome.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::global_text;
using hvx_test::process_env;

namespace {

const char* kIdle = "while true do coroutine.yield() end";
constexpr int64_t kCyclesPerMs = CPU_CYCLES_PER_SECOND / 1000;

int64_t thread_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// burn(ms): that much of the thread's CPU time, for no cycles, on a host as
// fast as the reference: on a slower one (a sanitizer's), as much longer as
// the backstop's bounds are.
int h_burn(lua_State* L) {
    const double k = backstop_host_scale() > 1 ? backstop_host_scale() : 1;
    const int64_t until = thread_ns() + (int64_t)((double)luaL_checkinteger(L, 1) * 1000000 * k);
    volatile uint64_t x = 0;
    while (thread_ns() < until)
        for (int i = 0; i < 1000; i++) x = x + i;
    return 0;
}

// paid_burn(ms): the same, charged a tenth of its worth once it is done, as
// a call that charges for its work afterwards.
int h_paid_burn(lua_State* L) {
    h_burn(L);
    spend_cpu((int32_t)(luaL_checkinteger(L, 1) * kCyclesPerMs / 10));
    return 0;
}

// pay(ms): the same, charged twice its worth once it is done: paid work.
int h_pay(lua_State* L) {
    h_burn(L);
    spend_cpu((int32_t)(luaL_checkinteger(L, 1) * kCyclesPerMs * 2));
    return 0;
}

// burn_then_scope(ms, f): burns ms, then runs f as the host runs a
// finalizer (a host scope of the running process, whose words start afresh).
int h_burn_then_scope(lua_State* L) {
    h_burn(L);
    host_run_scope run(cproc);
    lua_pushvalue(L, 2);
    lua_pcall(L, 0, 0, 0);
    return 0;
}

// While alive, the backstop's times are for a host k times the reference's
// speed (whatever this one measured); the measured factor comes back after.
struct host_scale {
    double was = backstop_host_scale();
    explicit host_scale(double k) { backstop_set_host_scale(k); }
    ~host_scale() { backstop_set_host_scale(was); }
};

int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

// Ids 1-3 idle first, so that p is an ordinary program of its own.
Process* ordinary(process_env& env, const std::string& code) {
    env.add_global("burn", h_burn);
    for (int i = 0; i < 3; i++) env.spawn(kIdle);
    return env.spawn(code);
}

TEST(Backstop, UnpaidHostTimeEndsTheSliceAndIsOwed) {
    struct row {
        const char* code;
        int64_t burnt_ms;  // at least this much host time was owed for
    };
    const row rows[] = {
        // One long call: the slice ends before the next instruction runs.
        {"burn(60) n = 1", 60},
        // Short calls in a loop, each far within the sweep's ratio alone.
        {"for i = 1, 1000 do burn(1) end n = 1", 2},
        // A call charged for a little: its cycles' worth is not owed again.
        {"spend(1000) burn(60) n = 1", 60},
        // Inside a coroutine the whole slice ends all the same.
        {"coroutine.wrap(function() burn(60) n = 1 end)() n = 2", 60},
    };
    for (const row& r : rows) {
        process_env env;
        Process* p = ordinary(env, std::string(r.code) + " while true do coroutine.yield() end");
        prepare_processes_for_frame();
        const int64_t used = run_process_slice(p, 1.0);
        EXPECT_EQ(p->backstop_cuts, 1) << r.code;
        EXPECT_EQ(global_text(p, "n"), "nil") << r.code;
        EXPECT_LT(used, CPU_FRAME_BUDGET / 2) << r.code;
        EXPECT_GE(program_debt(p->program_id), r.burnt_ms * kCyclesPerMs - used) << r.code;
        EXPECT_EQ(count_of(env.log(), "process 4: slice cut"), 1) << r.code;
    }
}

// Work charged after it is done sets off the timer before its charge is
// in: the check at the next instruction finds the slice within its bound
// and holds it to the rest, so unpaid work after it is still cut.
TEST(Backstop, ChargesLandingAfterTheirWorkAreNotCut) {
    process_env env;
    env.add_global("paid_burn", h_paid_burn);
    Process* p = ordinary(env, "for i = 1, 60 do paid_burn(1) end n = 1 coroutine.yield() "
                               "for i = 1, 1000 do burn(1) end m = 1");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(global_text(p, "n"), "1");
    EXPECT_EQ(p->backstop_cuts, 0);
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(global_text(p, "m"), "nil");
    EXPECT_EQ(p->backstop_cuts, 1);
}

TEST(Backstop, EveryCutIsCountedAndLoggedOnce) {
    process_env env;
    Process* p = ordinary(env, "while true do burn(1) end");
    int resumed = 0;
    for (int frame = 0; frame < 20; frame++) {
        prepare_processes_for_frame();
        bool ran = false;
        run_process_slice(p, 1.0, nullptr, &ran);
        resumed += ran;
    }
    // Each slice pays what the last one owed (on a slower host, a frame's
    // worth or more: those slices only pay), runs and is cut again.
    EXPECT_GE(resumed, 3);
    EXPECT_EQ(p->backstop_cuts, resumed);
    EXPECT_EQ(count_of(env.log(), "slice cut"), 1);
}

TEST(Backstop, InsideCodeThatCannotYieldTheProcessEnds) {
    const char* rows[] = {
        "table.sort({5, 3, 1, 4, 2}, function(a, b) burn(30) return a < b end)",
        "pcall(string.gsub, 'aaaa', 'a', function() burn(30) end)",
        "pcall(table.sort, {5, 3, 1, 4, 2}, function(a, b) pcall(burn, 30) return a < b end)",
    };
    for (const char* code : rows) {
        process_env env;
        Process* p = ordinary(env, std::string(code) + " survived = 1 while true do coroutine.yield() end");
        const int64_t id = p->id;
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
        EXPECT_EQ(get_process(id), nullptr) << code;
        const std::string log = env.log();
        EXPECT_NE(log.find("process 4: slice cut"), std::string::npos) << code;
        EXPECT_NE(log.find(RUNAWAY_TEXT), std::string::npos) << code;
    }
}

// The system's processes are never held, and a slice given to another is
// held to its own bound: the giver's is counted without it.
TEST(Backstop, OnlyTheSliceThatTookTheTimeIsCut) {
    const char* child = "burn(30) m = 1 while true do coroutine.yield() end";
    for (int giver = 1; giver <= 4; giver++) {
        process_env env;
        env.add_global("burn", h_burn);
        for (int id = 1; id < giver; id++) env.spawn(kIdle);
        Process* g = env.spawn(std::string("c = spawn('") + child + "') run_slice(c) " +
                               (giver <= 3 ? "burn(30) " : "") + "n = 1 while true do coroutine.yield() end");
        for (int id = giver + 1; id <= 3; id++) env.spawn(kIdle);
        ASSERT_EQ(g->id, giver);
        prepare_processes_for_frame();
        run_process_slice(g, 1.0);
        EXPECT_EQ(global_text(g, "n"), "1") << giver;
        EXPECT_EQ(g->backstop_cuts, 0) << giver;
        Process* c = get_process(std::stoll(global_text(g, "c")));
        ASSERT_NE(c, nullptr) << giver;
        EXPECT_EQ(c->backstop_cuts, 1) << giver;
        EXPECT_EQ(global_text(c, "m"), "nil") << giver;
    }
}

// A loop over paid calls, for whole slices: held or not, it runs the same
// rounds for the same cycles and is never cut.
TEST(Backstop, PaidWorkRunsAsItWouldUnheld) {
    const std::string code = R"lua(
        local text = string.rep("ab", 40000)
        local t = {} for i = 1, 2000 do t[i] = (i * 7919) % 2003 end
        rounds = 0
        while true do
            table.sort(t, function(a, b) return a > b end)
            local s = table.concat(t, ",")
            text:gsub("b", "c")
            local v = unvyn(vyn({t, s}))
            store("/ram/paid.txt", s)
            local back = fetch("/ram/paid.txt")
            memcpy(0x10000, 0x20000, 0x8000)
            string.format("%q", s:sub(1, 2000))
            rounds = rounds + 1
        end)lua";
    std::string seen[2];
    for (bool held : {false, true}) {
        process_env env;
        ASSERT_EQ(mount_ram_folder("/ram"), 0);
        Process* p = held ? ordinary(env, code) : env.spawn(code);
        ASSERT_EQ(p->id, held ? 4 : 1);
        std::string figures;
        for (int frame = 0; frame < 6; frame++) {
            prepare_processes_for_frame();
            figures += std::to_string(run_process_slice(p, 1.0)) + "/" + global_text(p, "rounds") + " ";
        }
        EXPECT_EQ(p->backstop_cuts, 0) << held;
        seen[held] = figures;
    }
    EXPECT_EQ(seen[0], seen[1]);
}

// Slices that keep within their bound make no system call of the backstop's
// on the way in or out: a frame pays one reading of the CPU clock, however
// many slices it holds. (A slow factor keeps the timer from coming due.)
TEST(Backstop, OrdinarySlicesMakeNoSystemCall) {
    host_scale slow(1000);
    for (int procs : {1, 40}) {
        process_env env;
        std::vector<Process*> ps;
        for (int i = 0; i < 3; i++) env.spawn(kIdle);
        for (int i = 0; i < procs; i++)
            ps.push_back(env.spawn("local t = {} while true do for i = 1, 50 do t[i] = i end coroutine.yield() end"));
        auto frames = [&](int n) {
            for (int f = 0; f < n; f++) {
                prepare_processes_for_frame();
                for (Process* p : ps) run_process_slice(p, 1.0 / (procs + 1));
            }
        };
        frames(2);  // the timer made and armed
        const int64_t before = backstop_system_calls();
        frames(10);
        EXPECT_LE(backstop_system_calls() - before, 10 + 1) << procs;
        for (Process* p : ps) EXPECT_EQ(p->backstop_cuts, 0) << procs;
    }
}

// Code that may not yield, past its slice's budget, raises as past the
// ceiling once its host time passes the cap, however well it paid (here
// twice its worth, far within its allowance); under the cap it finishes.
TEST(Backstop, NonyieldRunPastTheCapRaises) {
    host_scale fast(0.05);  // the cap 40 ms
    struct row {
        const char* code;
        bool ends;
    };
    const row rows[] = {
        {"local t = {} for i = 1, 40 do t[i] = (i * 7) % 41 end "
         "table.sort(t, function(a, b) pay(1) return a < b end)", true},
        {"string.gsub(string.rep('a', 100), 'a', function() pay(1) end)", true},
        {"local n = 0 load(function() n = n + 1 pay(1) if n <= 100 then return ' ' end end)", true},
        {"string.gsub(string.rep('a', 10), 'a', function() pay(1) end)", false},
        // Yieldable paid work is no run of that kind: it yields at its budget.
        {"for i = 1, 100 do pay(1) end", false},
    };
    for (const row& r : rows) {
        process_env env;
        env.add_global("pay", h_pay);
        Process* p = ordinary(env, std::string(r.code) + " survived = 1 while true do coroutine.yield() end");
        const int64_t id = p->id;
        for (int frame = 0; frame < 400 && get_process(id) && global_text(p, "survived") == "nil"; frame++) {
            prepare_processes_for_frame();
            run_process_slice(p, 1.0);
        }
        EXPECT_EQ(get_process(id) == nullptr, r.ends) << r.code;
        EXPECT_EQ(env.log().find(RUNAWAY_TEXT) != std::string::npos, r.ends) << r.code;
        if (!r.ends) {
            EXPECT_EQ(global_text(p, "survived"), "1") << r.code;
        }
    }
}

// Found past the bound inside a C call, the request survives a host scope
// opened before the next check (it starts with fresh words): the handler
// lowers them again at its repeat, so the scope's code raises in time.
TEST(Backstop, TheRepeatReachesCodeInAHostScope) {
    host_scale same(1);
    process_env env;
    env.add_global("burn_then_scope", h_burn_then_scope);
    Process* p = ordinary(env, "burn_then_scope(30, function() for i = 1, 300 do burn(1) end done = 1 end) "
                               "while true do coroutine.yield() end");
    const int64_t id = p->id;
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(get_process(id), nullptr);
    EXPECT_NE(env.log().find(RUNAWAY_TEXT), std::string::npos);
}

// A process made by fork() makes a timer of its own (timers are not
// inherited): its slices are held as its parent's are.
TEST(Backstop, AForkedProcessIsHeld) {
    host_scale same(1);
    process_env env;
    Process* warm = ordinary(env, kIdle);
    prepare_processes_for_frame();
    run_process_slice(warm, 1.0);  // the parent's timer made
    Process* p = env.spawn("burn(60) n = 1 while true do coroutine.yield() end");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
        _exit(p->backstop_cuts == 1 && global_text(p, "n") == "nil" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
