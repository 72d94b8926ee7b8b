// The collector's host time by the work it counts (lang/lang.h's
// LANG_COLLECT_* and LANG_STRING_REHASH_* rates): full collections of
// heaps chosen so that one kind of work dominates each, timed in the
// thread's CPU time. Each reports ns per unit of its dominant work
// ("ns_per_slot", "ns_per_object", "ns_per_freed", "ns_per_entry") beside
// "charged_ns": what the cycles it was charged stand for (a cycle is a
// 60th of a second over CPU_FRAME_BUDGET).
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include "lang/lang.h"
#include "lang/core/hvx_hooks.h"
#include "lstate.h"
#include "lstring.h"

namespace {

constexpr double NS_PER_CYCLE = 1e9 / 60 / 279620;

double thread_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

struct heap_case {
    const char* build;  // run before each timed collection (not timed)
    const char* unit;   // the counter its time is divided by
};

// BIG: one array of 4M numbers (slots marked, one object). SMALL: 200,000
// live tables of three slots (objects swept). DEAD: 200,000 tables with a
// fresh string each, dropped (objects freed). STRINGS: 400,000 short strings
// made (the string table grows, rehashing them).
const heap_case cases[] = {
    {"if not BIG then BIG = {} for i = 1, 1 << 22 do BIG[i] = i end end", "slot"},
    {"if not SMALL then SMALL = {} for i = 1, 200000 do SMALL[i] = {i, i, i} end end", "object"},
    {"local t = {} for i = 1, 200000 do t[i] = {'d' .. i} end t = nil", "freed"},
    {nullptr, "entry"},
};

void collect_rates(benchmark::State& state) {
    const heap_case& c = cases[state.range(0)];
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    double ns = 0, units = 0, charged = 0;
    for (auto _ : state) {
        if (c.build) {
            luaL_dostring(L, c.build);
            const hvx_gc_work before = hvx_gc_total;
            const int32_t c0 = cpu_cycles;
            const double t0 = thread_ns();
            lua_gc(L, LUA_GCCOLLECT, 0);
            ns += thread_ns() - t0;
            charged += (cpu_cycles - c0) * NS_PER_CYCLE;
            units += c.unit[0] == 's' ? hvx_gc_total.marked - before.marked
                     : c.unit[0] == 'o' ? hvx_gc_total.swept - before.swept
                                        : hvx_gc_total.freed - before.freed;
        } else {
            // the string table of 400,000 kept strings doubled and halved
            state.PauseTiming();
            if (!lua_getglobal(L, "KEPT")) {
                luaL_dostring(L, "KEPT = {} for i = 1, 400000 do KEPT[i] = 's' .. i end");
            }
            lua_pop(L, 1);
            state.ResumeTiming();
            stringtable* tb = &G(L)->strt;
            const int size = tb->size;
            const double t0 = thread_ns();
            const int32_t c0 = cpu_cycles;
            luaS_resize(L, size * 2);
            luaS_resize(L, size);
            ns += thread_ns() - t0;
            charged += (cpu_cycles - c0) * NS_PER_CYCLE;
            units += 2.0 * (3 * size + tb->nuse);  // as charged: both sizes and the strings
        }
        cpu_cycles = 0;
    }
    lua_close(L);
    state.counters[std::string("ns_per_") + c.unit] = ns / units;
    state.counters["charged_ns"] = charged / state.iterations();
    state.counters["host_ns"] = ns / state.iterations();
}
BENCHMARK(collect_rates)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace
