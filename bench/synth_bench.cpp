// Render cost of the synthesizer on one core, as a real-time factor (seconds
// of sound per second of wall clock, counter "x_realtime"): 16 channels of 8
// oscillators, 16 channels of a mixed instrument, each alone and through the
// whole mixer, music of one-tick patterns, a second of silence and single
// device blocks at rest, and one sine channel beside a plain sine-table loop
// that does the same work per sample.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/audio.h"
#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

constexpr int SECOND = 44100, BLOCK = 512;  // the device's block

// One second of sound from the first `channels` channels, block by block as the mixer asks.
void render_second(int channels) {
    for (int done = 0; done < SECOND; done += BLOCK) {
        const int n = std::min(BLOCK, SECOND - done);
        for (int c = 0; c < channels; c++) mix_channel(mixer.channel[c], n, mixer.output[c]);
    }
}

void run(benchmark::State& state, int channels) {
    for (auto _ : state) {
        render_second(channels);
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

void start_notes(int channels) {
    for (int c = 0; c < channels; c++) start_note(c, 1, 40 + 3 * c, 48, c * 16 - 120);
}

// The same second through the whole mixer entry as the device asks for it:
// the pass loop, the sum over 16 channels and the clamp on top of the
// channels alone above.
void run_mixer(benchmark::State& state) {
    static int16_t out[2 * BLOCK];
    for (auto _ : state) {
        for (int done = 0; done < SECOND; done += BLOCK) mudo_mix(out, std::min(BLOCK, SECOND - done));
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

// 16 channels of an instrument of 8 oscillators at different ratios.
void eight_oscillator_notes() {
    fresh_mixer();
    put_samples(TABLE, sine_row(10));
    instrument ins(1);
    ins.osc(0, 0).param(0, 0, {SCL, 8}).wavetable(0, TABLE, 10, 1);
    for (int i = 1; i < 8; i++) ins.osc(i, 0).param(i, 2, {REL, (uint8_t)(5 * i)});
    start_notes(16);
}

void BM_16ch_8osc(benchmark::State& state) {
    eight_oscillator_notes();
    run(state, 16);
}
BENCHMARK(BM_16ch_8osc)->Unit(benchmark::kMillisecond);

void BM_mixer_16ch_8osc(benchmark::State& state) {
    eight_oscillator_notes();
    run_mixer(state);
}
BENCHMARK(BM_mixer_16ch_8osc)->Unit(benchmark::kMillisecond);

void BM_16ch_mixed(benchmark::State& state) {
    fresh_mixer();
    busy_instrument(1);
    start_notes(16);
    run(state, 16);
}
BENCHMARK(BM_16ch_mixed)->Unit(benchmark::kMillisecond);

void BM_mixer_16ch_mixed(benchmark::State& state) {
    fresh_mixer();
    busy_instrument(1);
    start_notes(16);
    run_mixer(state);
}
BENCHMARK(BM_mixer_16ch_mixed)->Unit(benchmark::kMillisecond);

// Music of one-tick patterns: the pattern advances between passes many times
// a block, up to the pass bound.
void BM_mixer_one_tick_patterns(benchmark::State& state) {
    fresh_mixer();
    busy_instrument(1);
    for (int p = 0; p < 256; p++) {
        const uint32_t pat = BASE + PATTERN_OFFSET + PATTERN_SIZE * p;
        for (int c = 0; c < 8; c++) mixer.ram[pat + c] = (uint8_t)c;
        mixer.ram[pat + 8] = p == 255 ? PATTERN_LOOP_BACK : 0;
        mixer.ram[pat + 9] = 0xFF;
    }
    for (int t = 0; t < 8; t++) {
        const uint32_t tr = BASE + TRACK_OFFSET + TRACK_SIZE * t;
        mixer.ram[tr] = 1, mixer.ram[tr + 2] = 1;
        mixer.ram[tr + 8] = (uint8_t)(40 + t), mixer.ram[tr + 9] = 1, mixer.ram[tr + 10] = 40;
    }
    mudo_play_music(0, 0, 0xFF, BASE, 0);
    run_mixer(state);
}
BENCHMARK(BM_mixer_one_tick_patterns)->Unit(benchmark::kMillisecond);

// Every channel at its defaults but one, which holds the note it last played
// at volume 0 (as the boot chime leaves it).
void one_silent_channel() {
    fresh_mixer();
    put_samples(TABLE, sine_row(10));
    instrument(1).osc(0, 0).wavetable(0, TABLE, 10, 1).osc(1, 0).param(1, 2, {REL, 12});
    start_note(9, 1, 60, 0);
    mixer.channel[9].gate = 0;
}

// An idle workstation, the mixer asked for a second of silence block by
// block; the anchor writes the same zeros to the device's block and the copy
// kept for the capture.
void BM_mixer_silent(benchmark::State& state) {
    one_silent_channel();
    run_mixer(state);
}
BENCHMARK(BM_mixer_silent)->Unit(benchmark::kMicrosecond);

// One device block as the audio thread asks for it, once a second of blocks
// has found the channels at rest and they are taken on trust: every channel
// at its defaults, or one silent channel as above. Its own function, so that
// bench/callgrind_counts.sh counts exactly one call.
[[gnu::noinline]] void mix_one_device_block(int16_t* out) { mudo_mix_device(out, BLOCK); }

void run_device_block(benchmark::State& state) {
    static int16_t out[2 * BLOCK];
    for (int done = 0; done < SECOND; done += BLOCK) mudo_mix_device(out, BLOCK);
    for (auto _ : state) {
        mix_one_device_block(out);
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] =
        benchmark::Counter((double)state.iterations() * BLOCK / SECOND, benchmark::Counter::kIsRate);
}

void BM_device_block_at_rest(benchmark::State& state) {
    fresh_mixer();
    run_device_block(state);
}
BENCHMARK(BM_device_block_at_rest);

void BM_device_block_silent(benchmark::State& state) {
    one_silent_channel();
    run_device_block(state);
}
BENCHMARK(BM_device_block_silent);

void BM_mixer_silent_memset(benchmark::State& state) {
    static int16_t out[2 * BLOCK], copy[2 * BLOCK];
    for (auto _ : state) {
        for (int done = 0; done < SECOND; done += BLOCK) {
            const size_t bytes = sizeof(int16_t) * 2 * (size_t)std::min(BLOCK, SECOND - done);
            std::memset(out, 0, bytes);
            benchmark::DoNotOptimize(out);
            std::memcpy(copy, out, bytes);
            benchmark::DoNotOptimize(copy);
        }
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_mixer_silent_memset)->Unit(benchmark::kMicrosecond);

void BM_1ch_sine(benchmark::State& state) {
    fresh_mixer();
    put_samples(TABLE, sine_row(10));
    instrument(1).osc(0, 0).wavetable(0, TABLE, 10, 1);
    start_notes(1);
    run(state, 1);
}
BENCHMARK(BM_1ch_sine)->Unit(benchmark::kMicrosecond);

// The anchor: a 16.16 phase over a 1,024-sample table, linear interpolation,
// a volume and two pan gains into stereo frames.
void BM_1ch_sine_c_loop(benchmark::State& state) {
    const std::vector<int16_t> table = sine_row(10);
    static int16_t out[2 * BLOCK];
    const uint32_t step = 669566, mask = (1u << 26) - 1;
    const int32_t volume = 16384, gain_l = 3272, gain_r = 3272;
    uint32_t phase = 0;
    for (auto _ : state) {
        for (int done = 0; done < SECOND; done += BLOCK) {
            const int n = std::min(BLOCK, SECOND - done);
            for (int k = 0; k < n; k++) {
                const uint32_t a = phase & mask;
                const int32_t s0 = table[a >> 16], s1 = table[((a + 0x10000) & mask) >> 16];
                const int32_t s = s0 + (int32_t)(((int64_t)(s1 - s0) * (int32_t)(a & 0xFFFF)) >> 16);
                const int32_t v = (s * volume) >> 14;
                out[2 * k] = (int16_t)(v * gain_l / 4096);
                out[2 * k + 1] = (int16_t)(v * gain_r / 4096);
                phase = a + step;
            }
            benchmark::DoNotOptimize(out);
        }
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_1ch_sine_c_loop)->Unit(benchmark::kMicrosecond);

}  // namespace
