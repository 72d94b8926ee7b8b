// Process runtime hot paths, each beside its anchor: a slice against a bare
// resume/yield, the accounted allocator against a plain one, address-space
// access against a flat array, bulk copy and fill against memcpy/memset,
// typed userdata text decoding.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "bench/bench_support.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

void unlimited_budget() {
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    cpu_superyielding = 0;
}

// ---------------------------------------------------------------------------
// Slices
// ---------------------------------------------------------------------------

void BM_EmptySlice(benchmark::State& state) {
    Process* p = bench_process("while true do coroutine.yield() end");
    for (auto _ : state) {
        prepare_processes_for_frame();
        benchmark::DoNotOptimize(run_process_slice(p, 1.0));
    }
    processes_init();
}
BENCHMARK(BM_EmptySlice);

// A frame of 200 ordinary processes (ids past the system's, held by the
// host-time backstop), each given a slice that does a little and yields.
// Kept out of line so that an instruction count can take it alone.
[[gnu::noinline]] void ordinary_frame(const std::vector<Process*>& ps) {
    prepare_processes_for_frame();
    for (Process* p : ps) benchmark::DoNotOptimize(run_process_slice(p, 1.0 / 201));
}

void BM_OrdinaryFrame200(benchmark::State& state) {
    std::vector<Process*> ps;
    bench_process("while true do coroutine.yield() end");
    for (int i = 0; i < 2; i++)
        create_process_from_code("while true do coroutine.yield() end", "idle", "/ram/idle.lua", "", "");
    for (int i = 0; i < 200; i++)
        ps.push_back(create_process_from_code(
            "local t = {} while true do for i = 1, 20 do t[i] = i end coroutine.yield() end", "ordinary",
            "/ram/ordinary.lua", "", ""));
    for (int warm = 0; warm < 2; warm++) {  // first slices set up what later ones reuse
        prepare_processes_for_frame();
        for (Process* p : ps) run_process_slice(p, 1.0 / 201);
    }
    for (auto _ : state) ordinary_frame(ps);
    state.counters["slices"] = benchmark::Counter((double)state.iterations() * 200);
    state.counters["backstop_calls"] = benchmark::Counter((double)backstop_system_calls());
    state.counters["host_scale"] = backstop_host_scale();
    processes_init();
}
BENCHMARK(BM_OrdinaryFrame200);

void BM_Anchor_ResumeYield(benchmark::State& state) {
    unlimited_budget();
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    lua_State* co = lua_newthread(L);
    luaL_loadstring(co, "while true do coroutine.yield() end");
    for (auto _ : state) {
        int n = 0;
        benchmark::DoNotOptimize(lua_resume(co, nullptr, 0, &n));
        lua_pop(co, n);
    }
    lua_close(L);
}
BENCHMARK(BM_Anchor_ResumeYield);

// ---------------------------------------------------------------------------
// Allocator: the same table churn under each allocator
// ---------------------------------------------------------------------------

const char* kChurn =
    "local t, s for i = 1, 20000 do t = {i, i, i, x = i} s = tostring(i) .. 'k' end return t";

void* plain_alloc(void*, void* block, size_t, size_t n, int, size_t) {
    if (n == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, n);
}

void run_churn(benchmark::State& state, lua_State* L) {
    luaL_loadstring(L, kChurn);
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    for (auto _ : state) {
        unlimited_budget();
        lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
        if (lua_pcall(L, 0, 1, 0) != LUA_OK) state.SkipWithError("churn failed");
        lua_pop(L, 1);
    }
}

void BM_AccountedAllocator(benchmark::State& state) {
    Process* owner = (Process*)std::calloc(1, sizeof(Process));
    lua_State* L = lua_newstate(l_alloc, owner);
    luaL_openlibs(L);
    run_churn(state, L);
    lua_close(L);
    std::free(owner);
}
BENCHMARK(BM_AccountedAllocator);

void BM_Anchor_PlainAllocator(benchmark::State& state) {
    lua_State* L = lua_newstate(plain_alloc, nullptr);
    luaL_openlibs(L);
    run_churn(state, L);
    lua_close(L);
}
BENCHMARK(BM_Anchor_PlainAllocator);

void* header_alloc(void*, void* block, size_t, size_t n, int, size_t) {
    uint8_t* h = block ? (uint8_t*)block - 16 : nullptr;
    if (n == 0) {
        std::free(h);
        return nullptr;
    }
    uint8_t* r = (uint8_t*)std::realloc(h, n + 16);
    return r ? r + 16 : nullptr;
}
void BM_Probe_HeaderOnly(benchmark::State& state) {
    lua_State* L = lua_newstate(header_alloc, nullptr);
    luaL_openlibs(L);
    run_churn(state, L);
    lua_close(L);
}
BENCHMARK(BM_Probe_HeaderOnly);

// ---------------------------------------------------------------------------
// Address space
// ---------------------------------------------------------------------------

constexpr uint32_t kSpan = 1 << 20;

void BM_PeekPoke(benchmark::State& state) {
    Process* p = bench_process("x = 1");
    cproc = p;
    for (uint32_t a = 0; a < kSpan; a += HVX_PAGE_SIZE) poke(0x100000 + a, 0);
    uint32_t a = 0;
    for (auto _ : state) {
        uint32_t addr = 0x100000 + (a & (kSpan - 1));
        poke(addr, (uint8_t)(peek(addr) + 1));
        a += 4099;
    }
    cproc = nullptr;
    processes_init();
}
BENCHMARK(BM_PeekPoke);

void BM_Anchor_FlatPeekPoke(benchmark::State& state) {
    std::vector<uint8_t> flat(1 << 24);
    uint32_t a = 0;
    for (auto _ : state) {
        uint32_t addr = 0x100000 + (a & (kSpan - 1));
        flat[addr & 0xFFFFFF] = (uint8_t)(flat[addr & 0xFFFFFF] + 1);
        benchmark::ClobberMemory();
        a += 4099;
    }
}
BENCHMARK(BM_Anchor_FlatPeekPoke);

void BM_MemcpyMB(benchmark::State& state) {
    Process* p = bench_process("x = 1");
    cproc = p;
    hvx_memset(0x100000, 1, kSpan);
    hvx_memset(0x300000, 2, kSpan);
    for (auto _ : state) benchmark::DoNotOptimize(hvx_memcpy(0x300000, 0x100000, kSpan));
    state.SetBytesProcessed((int64_t)state.iterations() * kSpan);
    cproc = nullptr;
    processes_init();
}
BENCHMARK(BM_MemcpyMB);

void BM_Anchor_MemcpyMB(benchmark::State& state) {
    std::vector<uint8_t> a(kSpan, 1), b(kSpan, 2);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), kSpan);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kSpan);
}
BENCHMARK(BM_Anchor_MemcpyMB);

void BM_MemsetMB(benchmark::State& state) {
    Process* p = bench_process("x = 1");
    cproc = p;
    for (auto _ : state) benchmark::DoNotOptimize(hvx_memset(0x100000, 7, kSpan));
    state.SetBytesProcessed((int64_t)state.iterations() * kSpan);
    cproc = nullptr;
    processes_init();
}
BENCHMARK(BM_MemsetMB);

void BM_Anchor_MemsetMB(benchmark::State& state) {
    std::vector<uint8_t> a(kSpan);
    for (auto _ : state) {
        std::memset(a.data(), 7, kSpan);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kSpan);
}
BENCHMARK(BM_Anchor_MemsetMB);

// ---------------------------------------------------------------------------
// Typed userdata text initialisers
// ---------------------------------------------------------------------------

void BM_UserdataFloatText2M(benchmark::State& state) {
    unlimited_budget();
    lua_State* L = luaL_newstate();
    std::string text;
    text.reserve(2097152 * 4);
    for (int i = 0; i < 2097152; i++) text += (i & 1) ? "1.5," : "-2,";
    for (auto _ : state) {
        unlimited_budget();
        benchmark::DoNotOptimize(create_userdata(L, "f64", 1, 2097152, 1, text.c_str()));
        lua_settop(L, 0);
        lua_gc(L, LUA_GCCOLLECT, 0);
    }
    lua_close(L);
}
BENCHMARK(BM_UserdataFloatText2M)->Unit(benchmark::kMillisecond);

void BM_UserdataHexText(benchmark::State& state) {
    unlimited_budget();
    lua_State* L = luaL_newstate();
    std::string text(2 * kSpan, 'a');
    for (auto _ : state) {
        unlimited_budget();
        benchmark::DoNotOptimize(create_userdata(L, "u8", 1, kSpan, 1, text.c_str()));
        state.PauseTiming();
        lua_settop(L, 0);
        lua_gc(L, LUA_GCCOLLECT, 0);
        state.ResumeTiming();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kSpan);
    lua_close(L);
}
BENCHMARK(BM_UserdataHexText);

void BM_Anchor_HexLoop(benchmark::State& state) {
    std::string text(2 * kSpan, 'a');
    std::vector<uint8_t> out(kSpan);
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
    };
    for (auto _ : state) {
        const char* s = text.c_str();
        for (uint32_t i = 0; i < kSpan; i++, s += 2) out[i] = (uint8_t)(digit(s[0]) << 4 | digit(s[1]));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kSpan);
}
BENCHMARK(BM_Anchor_HexLoop);

// ---------------------------------------------------------------------------
// Ordinary runs of code that cannot yield: their host CPU time is what the
// backstop's cap must leave room for (twice the longest). prepare() makes the
// data, unmeasured; run() is the one call that cannot yield.
// ---------------------------------------------------------------------------

const char* kOrdinaryPrepare = R"lua(
function numbers(n) local t = {} for i = 1, n do t[i] = (i * 7919) % 200003 end return t end
function words(n) local t = {} for i = 1, n do t[i] = string.format("%08x", (i * 2654435761) % 4294967296) end return t end
)lua";

struct ordinary_run {
    const char* prepare;
    const char* run;
};

const ordinary_run kOrdinaryRuns[] = {
    {"t = numbers(200000)", "table.sort(t, function(a, b) return a < b end)"},
    {"mods = {} local body = string.rep('x = x + 1 ', 300) "
     "for i = 1, 300 do mods[i] = 'local x = 0 ' .. body .. 'return x' end names = string.rep('m ', 300)",
     "local i = 0 names:gsub('%a+', function() i = i + 1 return tostring(load(mods[i])()) end)"},
    {"t = words(100000)", "table.sort(t, function(a, b) return a < b end)"},
    {"t = words(100000)", "table.sort(t)"},
    {"local d = {} for i = 1, 100000 do d[i] = {tostring(i) .. 'xxxxxxxx'} end d = nil", "collectgarbage()"},
    {"keep = {} for k = 1, 10 do local t = {} for i = 1, 100000 do t[i] = string.format('%d:%08.3f', i, i / 7) end "
     "keep[k] = t end",
     "collectgarbage()"},
    {"local parts = {} for i = 1, 100000 do parts[i] = string.format('v %.6f %.6f %.6f', i / 3, i / 7, "
     "(i * 7919) % 100003 / 11) end text = table.concat(parts, '\\n') .. '\\n'",
     "v = {} text:gsub('v (%S+) (%S+) (%S+)\\n', function(x, y, z) v[#v + 1] = {tonumber(x), tonumber(y), "
     "tonumber(z)} end)"},
    {"v = {} for i = 1, 100000 do v[i] = {i, i, (i * 7919) % 100003} end",
     "table.sort(v, function(a, b) return a[3] < b[3] end)"},
};

void BM_OrdinaryRun(benchmark::State& state, int row) {
    const ordinary_run& r = kOrdinaryRuns[row];
    Process* p = bench_process(kOrdinaryPrepare);
    cproc = p;
    lua_State* L = p->L;
    lua_pcall(L, 0, 0, 0);
    int64_t cycles = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unlimited_budget();
        lua_gc(L, LUA_GCCOLLECT, 0);  // the last round's garbage is not this one's
        if (luaL_dostring(L, r.prepare) != LUA_OK || luaL_loadstring(L, r.run) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
        state.ResumeTiming();
        cpu_cycles = 0;
        if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
        cycles = cpu_cycles;
    }
    state.counters["cycles"] = (double)cycles;
    cproc = nullptr;
    processes_init();
}
BENCHMARK_CAPTURE(BM_OrdinaryRun, sort_200k_numbers_cmp, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, load_300_modules_gsub, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, sort_100k_strings_cmp, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, sort_100k_strings, 3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, collect_100k_dead, 4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, collect_1m_formatted, 5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, model_parse_gsub, 6)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrdinaryRun, model_sort_100k_depth, 7)->Unit(benchmark::kMillisecond);

}  // namespace
