// Object data: writing and reading a 1 MB mixed table (plainly and packed
// as messages are), against copying the same table in the language itself.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

// About 1 MB of text: records of numbers, strings and flags, an array of
// floats, and a keyed map of short strings.
const char* const kMixed = R"lua(
    local t = {records = {}, samples = {}, names = {}}
    for i = 1, 6000 do
        t.records[i] = {id = i, name = "item number " .. i, price = i * 1.25, tags = {"a", "b", i % 7}, ok = i % 2 == 0}
    end
    for i = 1, 20000 do t.samples[i] = math.sin(i) * 1000 end
    for i = 1, 4000 do t.names["key_" .. i] = "value \"" .. i .. "\"" end
    mixed = t
    function copy(v)
        if type(v) ~= "table" then return v end
        local c = {}
        for k, x in pairs(v) do c[k] = copy(x) end
        return c
    end
)lua";

struct mixed_table {
    Process* p;
    lua_State* L;
    std::string text;
    int64_t plain_bytes;  // of the unpacked text: the same unit for every flag
    explicit mixed_table(int flags) {
        p = bench_process(kMixed);
        cproc = p;
        cpu_cycles_max = INT32_MAX;
        L = p->L;
        lua_pcall(L, 0, 0, 0);
        lua_getglobal(L, "mixed");
        scoped_buffer b(create_buffer_2(256, 1));
        stringify_object(L, -1, b, 0);
        plain_bytes = b->length;
        bclear(b);
        stringify_object(L, -1, b, flags);
        text.assign((const char*)b->data, b->length);
    }
    ~mixed_table() {
        cproc = nullptr;
        processes_init();
    }
};

void write_mixed(benchmark::State& state, int flags) {
    mixed_table m(flags);
    scoped_buffer b(create_buffer_2(256, 1));
    for (auto _ : state) {
        cpu_cycles = 0;
        bclear(b);
        stringify_object(m.L, -1, b, flags);
        benchmark::DoNotOptimize(b->data);
    }
    state.SetBytesProcessed(state.iterations() * m.plain_bytes);
    state.counters["text_bytes"] = (double)m.text.size();
}

void read_mixed(benchmark::State& state, int flags) {
    mixed_table m(flags);
    for (auto _ : state) {
        cpu_cycles = 0;
        destringify_object(m.L, m.text.data(), (int64_t)m.text.size());
        lua_pop(m.L, 1);
        lua_gc(m.L, LUA_GCSTEP, 0);
    }
    state.SetBytesProcessed(state.iterations() * m.plain_bytes);
}

void BM_WriteMixed(benchmark::State& state) { write_mixed(state, 0); }
void BM_ReadMixed(benchmark::State& state) { read_mixed(state, 0); }
void BM_WriteMixedPacked(benchmark::State& state) { write_mixed(state, 3); }
void BM_ReadMixedPacked(benchmark::State& state) { read_mixed(state, 3); }
BENCHMARK(BM_WriteMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteMixedPacked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMixedPacked)->Unit(benchmark::kMillisecond);

// Values whose tables are shared: written with the result given, per byte
// of the text written (none for a refusal), and the cycles one write charges
// (host time per cycle is the figure to watch: a frame is 16 ms).
void write_shared(benchmark::State& state, const char* script, int result) {
    Process* p = bench_process(script);
    cproc = p;
    cpu_cycles_max = INT32_MAX;
    lua_pcall(p->L, 0, 0, 0);
    lua_getglobal(p->L, "shared");
    scoped_buffer b(create_buffer_2(256, 1));
    int32_t charged = 0;
    for (auto _ : state) {
        cpu_cycles = 0;
        bclear(b);
        if (stringify_object(p->L, -1, b, 0) != result) state.SkipWithError("unexpected result");
        charged = cpu_cycles;
    }
    state.SetBytesProcessed(state.iterations() * b->length);
    state.counters["cycles"] = (double)charged;
    cproc = nullptr;
    processes_init();
}

// A table reached through shared tables 10^8 times over: refused before the
// shared tables are written over and over (a frame is 16 ms).
void BM_RefuseSharedTables(benchmark::State& state) {
    write_shared(state, R"lua(
        local l = {}
        for d = 1, 4 do local t = {} for i = 1, 100 do t[i] = l end l = t end
        shared = l
    )lua", VYN_ERR_SIZE);
}
BENCHMARK(BM_RefuseSharedTables)->Unit(benchmark::kMillisecond);

// One table shared 16^6 times beside 600,000 plain entries: refused once
// every distinct entry is weighed, and charged for each.
void BM_RefuseSharedBesidePlainEntries(benchmark::State& state) {
    write_shared(state, R"lua(
        local s = {}
        for i = 1, 16 do s[i] = i end
        for d = 1, 6 do local n = {} for i = 1, 16 do n[i] = s end s = n end
        shared = {s}
        for i = 2, 600000 do shared[i] = i end
    )lua", VYN_ERR_SIZE);
}
BENCHMARK(BM_RefuseSharedBesidePlainEntries)->Unit(benchmark::kMillisecond);

// A 300 x 300 map whose cells refer to four tile records: 3.2 MB of text.
void BM_WriteSharedTileMap(benchmark::State& state) {
    write_shared(state, R"lua(
        local tiles = {}
        for i = 1, 4 do tiles[i] = {name = "tile" .. i, solid = i > 2, colour = i * 3} end
        shared = {}
        for y = 1, 300 do
            shared[y] = {}
            for x = 1, 300 do shared[y][x] = tiles[(x * 7 + y) % 4 + 1] end
        end
    )lua", 0);
}
BENCHMARK(BM_WriteSharedTileMap)->Unit(benchmark::kMillisecond);

// Anchor: a deep copy of the same table in the language, per byte of its
// plain text.
void BM_Anchor_LuaDeepCopy(benchmark::State& state) {
    mixed_table m(0);
    for (auto _ : state) {
        cpu_cycles = 0;
        lua_getglobal(m.L, "copy");
        lua_pushvalue(m.L, -2);
        lua_pcall(m.L, 1, 1, 0);
        lua_pop(m.L, 1);
        lua_gc(m.L, LUA_GCSTEP, 0);
    }
    state.SetBytesProcessed(state.iterations() * m.plain_bytes);
}
BENCHMARK(BM_Anchor_LuaDeepCopy)->Unit(benchmark::kMillisecond);

}  // namespace
