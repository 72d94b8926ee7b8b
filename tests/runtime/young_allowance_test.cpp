// Young code that may not yield: a process's first frames give it its own
// young allowance, and past that one pool the whole machine shares, full
// again once no young slice overran its own for a while. One rule whoever
// started the process, a system launcher or an old ordinary program.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "tests/support/process_harness.h"

using hvx_test::global_text;
using hvx_test::process_env;

namespace {

const char* kIdle = "while true do coroutine.yield() end";
constexpr int64_t kChunk = 1 << 20;

// chunk(): kChunk cycles of work, counted per process; called from a Lua
// callback of gsub, so that it runs where nothing may yield.
std::map<int64_t, int64_t> chunks_run;
int h_chunk(lua_State*) {
    spend_cpu((int32_t)kChunk);
    chunks_run[cproc_id()]++;
    return 0;
}

std::string young_work(int64_t chunks) {
    return "string.gsub(string.rep('a', " + std::to_string(chunks) + "), 'a', function() chunk() end) " + kIdle;
}

enum class launcher { system, ordinary };

// Ids 1-3 idle (2 is the system launcher); 4-7 ordinary programs old
// enough to have the ceiling, which launch too (one each, as the runaway's
// creator owes for it and its program's processes then pay first).
constexpr int kOrdinaryLaunchers = 4;
struct machine {
    process_env env;
    Process* kernel;
    machine() {
        env.add_global("chunk", h_chunk);
        chunks_run.clear();
        kernel = env.spawn(kIdle);
        for (int i = 0; i < 2 + kOrdinaryLaunchers; i++) env.spawn(kIdle);
        for (int64_t f = 0; f < LANG_NONYIELD_CEILING / NONYIELD_ALLOWANCE_GROWTH; f++) prepare_processes_for_frame();
    }
    Process* launch(launcher by, const std::string& code, int which = 0) {
        cproc = get_process(by == launcher::system ? 2 : 4 + which % kOrdinaryLaunchers);
        Process* p = env.spawn(code);
        cproc = kernel;
        return p;
    }
};

// Runs p's first slice: whether its long call of so many chunks finished
// (the process lives on), and the chunks it ran.
struct run_result {
    bool finished;
    int64_t chunks;
};
run_result first_frame(Process* p, int64_t chunks) {
    const int64_t id = p->id;
    run_process_slice(p, 1.0);
    Process* q = get_process(id);
    return {q && !q->runaway && chunks_run[id] == chunks, chunks_run[id]};
}

TEST(YoungAllowance, AFirstLongRunFinishesWhenNoOtherYoungOneOverranLately) {
    struct step {
        int frame;       // frames after the first
        int64_t chunks;  // its one long call
        bool finishes;
    };
    struct row {
        const char* what;
        std::vector<step> steps;
    };
    const int64_t past_own = NONYIELD_YOUNG_ALLOWANCE / kChunk + 8;
    const int64_t past_pool = (NONYIELD_YOUNG_ALLOWANCE + NONYIELD_YOUNG_POOL) / kChunk + 8;
    const row rows[] = {
        {"alone", {{0, past_own, true}}},
        {"within its own allowance after another drew the pool", {{0, past_pool, false}, {1, 8, true}}},
        {"after another overran", {{0, past_pool, false}, {10, past_own, false}}},
        {"30 frames after the last young overrun", {{0, past_pool, false}, {10, past_own, false}, {40, past_own, true}}},
        {"one in the same frame after another drew most of the pool",
         {{0, (NONYIELD_YOUNG_ALLOWANCE + NONYIELD_YOUNG_POOL) / kChunk - 2, true}, {0, past_own, false}}},
    };
    for (launcher by : {launcher::system, launcher::ordinary}) {
        for (const row& r : rows) {
            machine m;
            int now = -1, launched = 0;
            for (const step& s : r.steps) {
                for (; now < s.frame; now++) prepare_processes_for_frame();
                const run_result got = first_frame(m.launch(by, young_work(s.chunks), launched++), s.chunks);
                EXPECT_EQ(got.finished, s.finishes) << r.what << " (" << (int)by << ") at frame " << s.frame;
            }
        }
    }
}

// A relay: every frame a fresh process, started by a launcher, makes a call
// of 2^27 cycles and ends. Only one frame in 30 runs past a young allowance.
TEST(YoungAllowance, ARelayHoldsAtMostOneFrameIn30PastItsOwnAllowance) {
    const int64_t own_chunks = NONYIELD_YOUNG_ALLOWANCE / kChunk + 1;
    for (launcher by : {launcher::system, launcher::ordinary}) {
        machine m;
        std::vector<int> long_frames;
        for (int frame = 0; frame < 90; frame++) {
            prepare_processes_for_frame();
            const run_result got = first_frame(m.launch(by, young_work(128)), 128);
            EXPECT_FALSE(got.finished) << (int)by << " at frame " << frame;
            if (got.chunks > own_chunks) long_frames.push_back(frame);
        }
        EXPECT_EQ(long_frames, std::vector<int>{0}) << (int)by;
    }
}

// Ordinary first-frame work: a sort of 200,000 numbers with a comparator
// (about 21 M cycles), in a process whose slices so far all ran in the frame
// it was made in, finishes however it was started.
TEST(YoungAllowance, AFirstFrameSortWithAComparatorFinishes) {
    for (launcher by : {launcher::system, launcher::ordinary}) {
        machine m;
        Process* p = m.launch(by,
                              "local t = {} for i = 1, 200000 do t[i] = (i * 7919) % 200003 end "
                              "table.sort(t, function(a, b) return a < b end) "
                              "local ok = true for i = 2, #t do ok = ok and t[i - 1] <= t[i] end "
                              "done = ok and 1 or 0 " +
                                  std::string(kIdle));
        const int64_t id = p->id;
        prepare_processes_for_frame();
        // All its slices in this frame; those after the sort pay for it.
        for (int slice = 0; slice < 200 && get_process(id) && global_text(p, "done") == "nil"; slice++) {
            total_frame_cycles = 0;
            run_process_slice(p, 1.0);
        }
        ASSERT_NE(get_process(id), nullptr) << (int)by;
        EXPECT_EQ(global_text(p, "done"), "1") << (int)by;
    }
}

}  // namespace
