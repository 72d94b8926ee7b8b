// The cost sweep: every registered system call, made by a process above the
// system ids with arguments of the shapes that are expensive to handle
// (shared and deep tables, big userdata, long strings, big cartridges, many
// files and mounts, full queues), must pay in cycles for the host time it
// takes. The machine runs CPU_FRAME_BUDGET cycles in a 60th of a second; a
// call may take up to sweep_factor times what its cycles stand for, plus
// sweep_slack_ns, before the sweep names it. The frame's own background work
// is held to its named bounds the same way.
//
// Host time is the thread's CPU clock, so a loaded machine does not inflate
// it; work done on other threads (downloads) is not seen here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/sanitizer.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/files_env.h"

namespace {

using hvx_test::files_env;

constexpr double sweep_factor = 20.0;
// A script can loop a cheap call thousands of times a frame, so the slack a
// call may take without paying stays small against a frame.
constexpr double sweep_slack_ns = 1e5;
constexpr double frame_ns = 1e9 / 60.0;
constexpr double ns_per_cycle = frame_ns / CPU_FRAME_BUDGET;

int64_t thread_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

// How far host time went past what the cycles stand for; > 1 fails.
double over_bound(double host_ns, double cycles) {
    return host_ns / (sweep_factor * cycles * ns_per_cycle + sweep_slack_ns);
}
double ratio(double host_ns, double cycles) { return host_ns / std::max(cycles * ns_per_cycle, 1.0); }

struct sweep_case {
    std::string label;
    std::string args;        // a Lua expression list
    std::string setup = "";  // run first, unmeasured
};

// Built once in the caller, unmeasured, and built again when a call took
// them away. SHARED is 16 integers under six levels of 16 references each
// to the level below: a few hundred physical entries, 16^7 as a tree.
const char* fixtures_lua = R"LUA(
local function exists(p) return fstat(p) ~= nil end
function make_fixtures()
  if not LONG then LONG = string.rep("ab\0", 1 << 20) end
  if not SHARED then
    local s = {} for i = 1, 16 do s[i] = i end
    for _ = 1, 6 do local n = {} for i = 1, 16 do n[i] = s end s = n end
    SHARED = s
  end
  if not WIDE then WIDE = {} for i = 1, 100000 do WIDE[i] = i end end
  if not U8 then U8 = userdata("u8", 2048, 2048) end
  if not F64 then F64 = userdata("f64", 512, 512) end
  if not TARGET then TARGET = userdata("u8", 480, 270) _set_draw_target(TARGET) end
  for _, root in ipairs({"/many", "/ram/many"}) do
    if not exists(root .. "/f1999.txt") then
      mkdir(root)
      for i = 0, 1999 do store(root .. "/f" .. i .. ".txt", "x" .. i) end
    end
  end
  for _, c in ipairs({"/cart.hvx", "/ram/cart.hvx"}) do
    if not exists(c .. "/big3.bin") then
      store(c, "halvoran cartridge // x\nversion 2\n\n:: [eoc]\n")
      for i = 0, 499 do store(c .. "/s" .. i .. ".txt", "y" .. i) end
      for i = 0, 3 do store(c .. "/big" .. i .. ".bin", LONG) end
    end
  end
  if not MOUNTED then
    MOUNTED = true
    for i = 1, 64 do mount("/mnt" .. i, "/ram/many") end
  end
end
)LUA";

// Arguments every call gets unless it has its own list only.
std::vector<sweep_case> generic_cases() {
    return {
        {"no arguments", ""},
        {"long string", "LONG"},
        {"two long strings", "LONG, LONG"},
        {"long string, range", "LONG, 1, 0x7fffffff"},
        {"long string, text", "LONG, '\\0'"},
        {"shared levels", "SHARED"},
        {"wide table", "WIDE"},
        {"wide table, long string", "WIDE, LONG"},
        {"big u8", "U8"},
        {"big f64", "F64"},
        {"two big u8", "U8, U8"},
        {"big u8, far rect", "U8, 0, 0, 0x7fffffff, 0x7fffffff"},
        {"three big f64", "F64, F64, F64"},
        {"numbers at the top", "0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff"},
        {"numbers across", "-0x7fffffff, -0x7fffffff, 0x7fffffff, 0x7fffffff, 1, 1"},
        {"zero, top", "0, 0x7fffffff"},
        {"folder of many", "'/many'"},
        {"ram folder of many", "'/ram/many'"},
        {"cartridge", "'/cart.hvx'"},
        {"ram cartridge", "'/ram/cart.hvx'"},
        {"folder of many to ram", "'/many', '/ram/copy_many'"},
        {"cartridge to ram", "'/cart.hvx', '/ram/copy_cart.hvx'"},
        {"path, long string", "'/ram/many/f1.txt', LONG"},
        {"cartridge file, long string", "'/ram/cart.hvx/big1.bin', LONG"},
        {"other process, long string", "OTHER, LONG"},
        {"other process, shared levels", "OTHER, SHARED"},
        {"other process, wide table", "OTHER, WIDE"},
        {"type, top sizes", "'u8', 0x7fffffff, 0x7fffffff"},
        {"type, big sizes", "'f64', 2048, 2048"},
        {"function", "function() end"},
    };
}

// The shape that weighs a writer's walk over shared tables.
const char* shared_wide_setup =
    "local s = {} for i = 1, 16 do s[i] = i end "
    "for _ = 1, 6 do local n = {} for i = 1, 16 do n[i] = s end s = n end "
    "SW = {s} for i = 2, 600000 do SW[i] = i end";

// Calls with arguments of their own. Those marked exclusive get only these:
// the generic ones would end the caller or the harness.
struct call_cases {
    bool exclusive;
    std::vector<sweep_case> cases;
};

std::map<std::string, call_cases> specific_cases() {
    const sweep_case shared_wide{"shared levels under a wide table", "SW", shared_wide_setup};
    // To a process whose queue has room: a full queue refuses before weighing.
    const sweep_case to_other_shared_wide{"shared levels under a wide table", "V, SW",
                                          std::string(shared_wide_setup) + " V = spawn('x = 1')"};
    std::map<std::string, call_cases> m;
    m["vyn"] = {false, {shared_wide, {"shared levels, lz4", "SHARED, 0x10"}}};
    m["store"] = {false,
                  {{"shared levels under a wide table", "'/ram/sw.pod', SW", shared_wide_setup},
                   {"cartridge file, shared levels", "'/ram/cart.hvx/t.pod', SHARED"},
                   {"big cartridge, long text", "'/ram/cart.hvx', LONG"},
                   {"big cartridge, short text", "'/ram/cart.hvx', 'x'"}}};
    m["_send_message_raw"] = {false, {to_other_shared_wide, {"self, long string", "pid(), LONG"}}};
    m["send_message"] = m["_send_message_raw"];
    m["unvyn"] = {false, {{"long document", "vyn(WIDE)"}, {"shared document", "vyn(SHARED)"}}};
    m["fetch"] = {false,
                  {{"big cartridge file", "'/cart.hvx/big0.bin'"},
                   {"stored wide table", "'/ram/w.pod'", "store('/ram/w.pod', WIDE)"}}};
    m["create_delta"] = {false, {{"two long strings", "LONG, LONG:sub(2) .. 'z'"}}};
    m["apply_delta"] = {false, {{"long base", "LONG, create_delta(LONG, LONG:sub(3))"}}};
    m["_md5"] = {false, {{"long string", "LONG"}}};
    m["_strindex"] = {false, {{"long string, rare needle", "LONG, 'zzzz'"}}};
    m["split"] = {false, {{"long string by a byte", "LONG, 'a', false"}}};
    m["_read_message"] = {false, {{"full own queue", ""}}};
    // Each victim is made fresh; the caller itself is never the target.
    m["_kill_process"] = {true,
                          {{"busy victim", "V", "V = spawn('while true do end')"},
                           {"busy victim restarted", "V, 1", "V = spawn(string.rep(' ', 1 << 20) .. 'x = 1')"},
                           {"no such process", "9999"}}};
    m["_run_process_slice"] = {true,
                               {{"busy victim", "V", "V = spawn('while true do end')"},
                                {"victim building tables", "V",
                                 "V = spawn('local t = {} while true do t[#t + 1] = {} end')"},
                                {"no such process", "9999"}}};
    m["_close_process_host_resources"] = {true, {{"victim", "V", "V = spawn('x = 1')"}, {"self", "pid()"}}};
    m["_create_process_from_code"] = {
        true, {{"long source", "'x = 1 ' .. string.rep('local a = 1 ', 200000)"}, {"long string", "LONG"}}};
    m["load"] = {false, {{"long source", "string.rep('local a = 1 ', 200000)"}}};
    std::vector<sweep_case> signals;
    for (int s = 0; s <= 70; s++) signals.push_back({"signal " + std::to_string(s), std::to_string(s)});
    m["_signal"] = {true, signals};
    m["_mount"] = {false, {{"cartridge", "'/mc', '/cart.hvx'"}, {"folder of many", "'/mm', '/many'"}}};
    m["mount"] = m["_mount"];
    m["memcpy"] = {false, {{"whole space", "0, 0x10000, 0x7fffffff"}}};
    m["memset"] = {false, {{"whole space", "0, 1, 0x7fffffff"}}};
    m["_map_ram"] = {false, {{"big u8 at zero", "U8, 0"}}};
    m["_set_spr"] = {false, {{"big u8", "0, U8"}}};
    m["_cache_store"] = {false, {{"long string", "'k', LONG"}}};
    return m;
}

struct worst_case {
    double ratio = 0, host_ns = 0, cycles = 0, over = 0;
    std::string label;
};

class sweeper {
public:
    sweeper() {
        // Three processes first, so the caller stands above the system ids.
        for (int i = 0; i < 3; i++) env_.procs.spawn("x = 1", "filler");
        caller_ = env_.spawn();
        other_ = env_.procs.spawn("x = 1", "other");
        caller_id_ = caller_->id;
        other_id_ = other_->id;
        // The caller is the program's only process, and a user's.
        EXPECT_GT(caller_id_, LAST_SYSTEM_PROCESS_ID);
        expect_ok(hvx_test::eval(caller_, fixtures_lua), "fixtures");
        expect_ok(hvx_test::eval(caller_, "OTHER = " + std::to_string(other_id_)), "other");
        fill_queues();
    }

    void run(const std::string& name, hvx_cfunction fn, const sweep_case& c) {
        // An over-bound case runs again, and the better of the two counts:
        // a stray collection or page fault should not name a call.
        measured best = measure(fn, c);
        if (over_bound(best.host_ns, best.cycles) > 1) {
            measured again = measure(fn, c);
            if (again.host_ns < best.host_ns) best = again;
        }
        const double over = over_bound(best.host_ns, best.cycles);
        worst_case& w = worst_[name];
        const double r = ratio(best.host_ns, best.cycles);
        if (w.label.empty() || r > w.ratio) w = {r, best.host_ns, best.cycles, over, c.label};
        if (over <= 1) return;
        char line[512];
        std::snprintf(line, sizeof line, "%s(%s) [%s]: %.2f ms host for %.0f cycles (%.3f ms), ratio %.0f",
                      name.c_str(), c.args.substr(0, 80).c_str(), c.label.c_str(), best.host_ns / 1e6,
                      best.cycles, best.cycles * ns_per_cycle / 1e6, r);
        ADD_FAILURE() << "unpaid host work: " << line;
    }

    void report() const {
        std::printf("%-34s %-44s %10s %12s %10s\n", "call", "worst case", "host ms", "cycles", "ratio");
        for (const auto& [name, w] : worst_)
            std::printf("%-34s %-44s %10.3f %12.0f %10.1f\n", name.c_str(), w.label.c_str(), w.host_ns / 1e6,
                        w.cycles, w.ratio);
        std::fflush(stdout);
    }

private:
    struct measured {
        double host_ns = 0, cycles = 0;
    };

    static void expect_ok(const hvx_test::call_result& r, const std::string& what) {
        EXPECT_EQ(r.error, "") << what;
    }

    // The other process's queue and the caller's own, both full.
    void fill_queues() {
        hvx_test::eval(caller_,
                       "for _ = 1, 8 do send_message(OTHER, LONG) end "
                       "for _ = 1, 8 do send_message(pid(), LONG) end");
    }

    // Whatever an earlier call took away is put back, unmeasured.
    void restore() {
        cproc = caller_;
        caller_->state = PROC_RUNNING;
        caller_->out_of_memory = 0;
        caller_->cpu_debt = 0;
        caller_->owed_cycles = 0;
        cpu_superyielding = 0;
        cpu_cycles = 0;
        cpu_cycles_max = 1 << 30;
        app.atomic_pid = 0;
        platform_app.exit_request = platform_app.reboot_request = 0;
        if (!get_process(other_id_)) {
            other_ = env_.procs.spawn("x = 1", "other");
            other_id_ = other_->id;
            hvx_test::eval(caller_, "OTHER = " + std::to_string(other_id_));
        }
        expect_ok(hvx_test::eval(caller_, "make_fixtures()"), "fixtures");
        if (queue_checks_++ % 64 == 0) fill_queues();
    }

    measured measure(hvx_cfunction fn, const sweep_case& c) {
        restore();
        if (!c.setup.empty()) expect_ok(hvx_test::eval(caller_, c.setup), c.label + " setup");
        restore();
        lua_State* L = caller_->L;
        lua_settop(L, HVX_HOST_SLOTS);
        int status = luaL_loadstring(L, ("return " + c.args).c_str());
        if (status == LUA_OK) status = lua_pcall(L, 0, LUA_MULTRET, 0);
        EXPECT_EQ(status, LUA_OK) << c.args;
        if (status != LUA_OK) {
            lua_settop(L, HVX_HOST_SLOTS);
            return {};
        }
        const int nargs = lua_gettop(L) - HVX_HOST_SLOTS;
        lua_pushcfunction(L, fn);
        lua_insert(L, HVX_HOST_SLOTS + 1);
        // Earlier garbage is collected first, so the call's own collection
        // steps walk what it made.
        lua_gc(L, LUA_GCCOLLECT);
        restore_counters();
        // Standard output goes nowhere while the call runs (debug prints).
        std::fflush(stdout);
        const int saved_out = dup(1), null_out = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_out, 1);
        const int64_t debt_before = caller_->cpu_debt + caller_->owed_cycles;
        const int64_t t0 = thread_ns();
        lua_pcall(L, nargs, LUA_MULTRET, 0);
        const int64_t t1 = thread_ns();
        const int64_t cycles = (int64_t)cpu_cycles + caller_->cpu_debt + caller_->owed_cycles - debt_before;
        std::fflush(stdout);
        dup2(saved_out, 1);
        close(saved_out);
        close(null_out);
        if (get_process(caller_id_) != caller_) {
            ADD_FAILURE() << "the caller went away";
            std::abort();
        }
        lua_settop(L, HVX_HOST_SLOTS);
        hvx_test::eval(caller_, "if V then kill(V) end SW = nil V = nil");
        return {(double)(t1 - t0), (double)std::max<int64_t>(cycles, 0)};
    }

    void restore_counters() {
        cproc = caller_;
        caller_->cpu_debt = 0;
        caller_->owed_cycles = 0;
        cpu_cycles = 0;
        cpu_cycles_max = 1 << 30;
        cpu_superyielding = 0;
    }

    files_env env_;
    Process* caller_ = nullptr;
    Process* other_ = nullptr;
    int64_t caller_id_ = 0, other_id_ = 0;
    int queue_checks_ = 0;
    std::map<std::string, worst_case> worst_;
};

TEST(CostSweep, EveryCallPaysForItsHostTime) {
#if defined(HALVORAN_ASAN)
    GTEST_SKIP() << "host times under the sanitizers say nothing of the machine's rate";
#endif
    sweeper s;
    const auto specific = specific_cases();
    const auto generic = generic_cases();
    for (int i = 0; i < API_NAME_COUNT; i++) {
        const std::string name = api_functions[i].name;
        hvx_cfunction fn = api_entry_function(i);
        ASSERT_NE(fn, nullptr) << name;
        auto it = specific.find(name);
        if (it != specific.end())
            for (const sweep_case& c : it->second.cases) s.run(name, fn, c);
        if (it == specific.end() || !it->second.exclusive)
            for (const sweep_case& c : generic) s.run(name, fn, c);
    }
    s.report();
}

// The frame's own upkeep, step by step as the frame driver runs it after the
// root's slice. The write-back is bounded by WRITE_BACK_FRAME_BYTES a frame
// (the cartridge that passes it is finished, so a frame may write up to twice
// that), charged at CART_ENCODE_BYTES_PER_CYCLE: the bytes it handles, read
// from what it charges, stay in that bound, and its host time in what those
// cycles stand for by the calls' rule. The rest (mount prune, HTTP, sessions,
// sockets, file sync) have no cycle rate of their own: each must fit in one
// frame's time, whatever the tables hold.
struct upkeep_step {
    std::string label;
    double bound_ns;
    double bound_cycles;  // 0: its work is not charged
    void (*run)();
};

// Cycles charged by the running counter and as debt to any process.
int64_t charged_now() {
    int64_t n = cpu_cycles;
    for (int i = 0; i < get_process_count(); i++) {
        const Process* p = get_process_by_index(i);
        n += p->cpu_debt + p->owed_cycles;
    }
    return n;
}

TEST(CostSweep, FrameUpkeepStaysInItsBounds) {
#if defined(HALVORAN_ASAN)
    GTEST_SKIP() << "host times under the sanitizers say nothing of the machine's rate";
#endif
    files_env env;
    for (int i = 0; i < 3; i++) env.procs.spawn("x = 1", "filler");
    Process* caller = env.spawn();
    ASSERT_GT(caller->id, LAST_SYSTEM_PROCESS_ID);
    // A 128 MB cartridge of bytes that do not pack (a block longer than a
    // packer's window, repeated), then many RAM files and script mounts.
    auto r = hvx_test::eval(caller,
                            "store('/bc.hvx', 'halvoran cartridge // x\\nversion 2\\n\\n:: [eoc]\\n') "
                            "local r, x = {}, 1 for i = 1, 70001 do x = x * 1103515245 + 12345 "
                            "r[i] = string.char((x >> 16) & 255) end "
                            "local b = string.rep(table.concat(r), (8 << 20) // 70001) "
                            "for i = 1, 16 do store('/bc.hvx/f' .. i .. '.bin', b) end "
                            "mkdir('/ram/many') for i = 1, 6000 do store('/ram/many/f' .. i, 'x') end "
                            "for i = 1, 64 do mount('/mnt' .. i, '/ram/many') end");
    ASSERT_EQ(r.error, "");
    const double write_back_cycles = 2.0 * WRITE_BACK_FRAME_BYTES / CART_ENCODE_BYTES_PER_CYCLE;
    const std::vector<upkeep_step> steps = {
        {"frame write-back: 128 MB cartridge kept changed",
         sweep_factor * write_back_cycles * ns_per_cycle + sweep_slack_ns, write_back_cycles,
         [] { flush_dirty_mounts_delayed(); }},
        {"mount prune: 6000 RAM files, 64 mounts", frame_ns, 0, [] { prune_mounts(); }},
        {"HTTP upkeep", frame_ns, 0,
         [] {
             scoresub_update();
             siteuser_update();
             gurl_update();
         }},
        {"socket upkeep", frame_ns, 0, [] { update_all_sockets(); }},
        {"file sync", frame_ns, 0, [] { sync_fs(0); }},
    };
    std::map<std::string, std::pair<double, double>> worst;  // host ns, cycles
    for (int frame = 0; frame < 3; frame++) {
        // A small change each frame keeps the cartridge dirty; it is due
        // once the flush delay has passed.
        ASSERT_EQ(hvx_test::eval(caller, "store('/bc.hvx/t.txt', 'frame " + std::to_string(frame) + "')").error, "");
        usleep((MOUNT_FLUSH_DELAY_MS + 20) * 1000);
        cproc = nullptr;
        cpu_cycles = 0;
        cpu_cycles_max = 1 << 30;
        for (const upkeep_step& s : steps) {
            const int64_t c0 = charged_now(), t0 = thread_ns();
            s.run();
            const double took = (double)(thread_ns() - t0), cycles = (double)(charged_now() - c0);
            auto& w = worst[s.label];
            w = {std::max(w.first, took), std::max(w.second, cycles)};
        }
    }
    for (const upkeep_step& s : steps) {
        const auto [took, cycles] = worst[s.label];
        std::printf("%-50s %10.3f ms (bound %.3f ms), %.0f cycles (bound %.0f)\n", s.label.c_str(), took / 1e6,
                    s.bound_ns / 1e6, cycles, s.bound_cycles);
        const bool within = took <= s.bound_ns && (s.bound_cycles == 0 || cycles <= s.bound_cycles);
        if (within) continue;
        std::ostringstream line;
        line << s.label << ": " << took / 1e6 << " ms and " << cycles << " cycles of work in one frame; bound "
             << s.bound_ns / 1e6 << " ms and " << s.bound_cycles << " cycles";
        ADD_FAILURE() << line.str();
    }
    std::fflush(stdout);
}

}  // namespace
