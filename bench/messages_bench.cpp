// Messages: draining a long queue against the same framing drained from a
// flat array, a steady send and read against a plain append and copy, and
// the script calls send_message/_read_message of a small table beside a
// copy of that table in the language (not the same work: a message takes
// the table out to text and back, so the figure says how many table copies
// one message costs).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "bench/bench_support.h"
#include "runtime/runtime.h"

namespace {

constexpr int kQueued = 10000;
constexpr int kTextLen = 40;

void BM_DrainQueue(benchmark::State& state) {
    Process* p = bench_process("");
    std::string text(kTextLen, 'm');
    buffer* dest = create_buffer_2(64, 1);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kQueued; i++) send_process_message_string(p, text.c_str());
        state.ResumeTiming();
        while (read_process_message(p, dest)) benchmark::DoNotOptimize(dest->data);
    }
    state.SetItemsProcessed(state.iterations() * kQueued);
    destroy_buffer(dest);
    processes_init();
}
BENCHMARK(BM_DrainQueue)->Unit(benchmark::kMicrosecond);

// Anchor: the same messages (a 32-bit length, then the text) drained one by
// one from a flat array into a reused destination.
void BM_Anchor_DrainFlatQueue(benchmark::State& state) {
    std::vector<uint8_t> queue;
    for (int i = 0; i < kQueued; i++) {
        uint32_t n = kTextLen;
        queue.insert(queue.end(), (uint8_t*)&n, (uint8_t*)&n + 4);
        queue.insert(queue.end(), kTextLen, 'm');
    }
    std::vector<uint8_t> dest;
    for (auto _ : state) {
        for (size_t at = 0; at < queue.size();) {
            uint32_t n;
            std::memcpy(&n, queue.data() + at, 4);
            dest.assign(queue.data() + at + 4, queue.data() + at + 4 + n);
            at += 4 + n;
            benchmark::DoNotOptimize(dest.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kQueued);
}
BENCHMARK(BM_Anchor_DrainFlatQueue)->Unit(benchmark::kMicrosecond);

void BM_SendThenRead(benchmark::State& state) {
    Process* p = bench_process("");
    std::string text(kTextLen, 'm');
    buffer* dest = create_buffer_2(64, 1);
    for (int i = 0; i < 100; i++) send_process_message_string(p, text.c_str());  // a standing backlog
    for (auto _ : state) {
        send_process_message_string(p, text.c_str());
        benchmark::DoNotOptimize(read_process_message(p, dest));
    }
    state.SetItemsProcessed(state.iterations());
    destroy_buffer(dest);
    processes_init();
}
BENCHMARK(BM_SendThenRead);

void BM_Anchor_AppendThenCopy(benchmark::State& state) {
    std::string text(kTextLen, 'm');
    std::vector<uint8_t> queue;
    queue.reserve(1 << 16);
    uint8_t out[64];
    size_t head = 0;
    for (auto _ : state) {
        uint32_t n = kTextLen;
        queue.insert(queue.end(), (uint8_t*)&n, (uint8_t*)&n + 4);
        queue.insert(queue.end(), text.begin(), text.end());
        std::memcpy(out, queue.data() + head + 4, n);
        head += 4 + n;
        if (head == queue.size()) queue.clear(), head = 0;
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Anchor_AppendThenCopy);

// Script calls: each iteration sends one small table to itself and reads it.
void BM_ScriptSendAndRead(benchmark::State& state) {
    run_script_steps(state,
                     "local t = {event = 'tick', n = 1, text = 'hello there'} "
                     "function step(k) for i = 1, k do send_message(pid(), t) local m = _read_message() end end");
}
BENCHMARK(BM_ScriptSendAndRead);

// Beside it, not the same work: the table copied in the language itself.
void BM_Anchor_ScriptTableCopy(benchmark::State& state) {
    run_script_steps(state,
                     "local t = {event = 'tick', n = 1, text = 'hello there'} "
                     "function step(k) for i = 1, k do local m = {} for key, v in pairs(t) do m[key] = v end end end");
}
BENCHMARK(BM_Anchor_ScriptTableCopy);

}  // namespace
