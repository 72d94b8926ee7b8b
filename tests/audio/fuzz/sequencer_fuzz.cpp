// Any tracks, patterns and calls: the sequencer and the mixer must stay
// inside audio RAM and their buffers, never overflow, and fill every frame.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "audio/audio.h"
#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

constexpr size_t CONTROL = 48;

int32_t i32_at(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < CONTROL) return 0;
    fresh_mixer();
    busy_instrument(1);
    const uint8_t* c = data;
    // The rest lands on the tracks, on the pattern table and at the top of audio RAM.
    const uint8_t* body = data + CONTROL;
    const size_t n = size - CONTROL;
    std::memcpy(mixer.ram + BASE + TRACK_OFFSET, body, std::min<size_t>(n, 0x10000));
    std::memcpy(mixer.ram + BASE + PATTERN_OFFSET, body, std::min<size_t>(n, MUDO_PATTERNS * PATTERN_SIZE));
    std::memcpy(mixer.ram + MUDO_RAM_SIZE - std::min<size_t>(n, 4096), body, std::min<size_t>(n, 4096));
    mixer.ram[ADDR_AUDIO_FLAGS] = c[0] & AUDIO_FLAG_SILENCE;

    mudo_play_music(c[1], i32_at(c + 2), i32_at(c + 6), (int32_t)BASE, i32_at(c + 10));
    for (int k = 0; k < 3; k++) {
        const uint8_t* a = c + 14 + 8 * k;
        mudo_play_track((int8_t)a[0] * 300 + a[1], (int8_t)a[2] % 18, (int8_t)a[3], a[4] & 7, a[5] & 1,
                        (int8_t)a[6] * 2, a[7], k == 2 ? i32_at(c + 10) : (int32_t)BASE, a[7] * 3);
    }
    mudo_set_note((int8_t)c[38] % 17, c[39], c[40] < 250 ? 1 : c[40], c[41], c[42], c[43], c[44] & 1, (int8_t)c[45]);
    if (c[46] & 1) mudo_fade_out_music((int8_t)c[46] * 40);

    static int16_t out[2 * 9000 + 2];
    static int16_t scratch[MUDO_SCRATCH_SAMPLES];
    for (int call = 0; call < 3; call++) {
        const int frames = 1 + (c[47] + call * 977) * 9 % 9000;
        out[2 * frames] = out[2 * frames + 1] = 0x5A5A;
        mudo_mix(out, frames);
        if (out[2 * frames] != 0x5A5A || out[2 * frames + 1] != 0x5A5A) __builtin_trap();
        for (int i = 0; i < 2 * frames; i++)
            if (out[i] == -32768) __builtin_trap();
        for (int ch = 0; ch < MUDO_CHANNELS; ch++) {
            const mudo_channel& m = mixer.channel[ch];
            if (m.tick_pos < 0 || m.tick_pos > m.tick_len || m.tick_len > MUDO_BUF_SAMPLES) __builtin_trap();
            if (m.base > MUDO_MAX_BASE) __builtin_trap();
        }
        if (mudo_get_channel_state(-1, -1, scratch) > MUDO_MIX_MAX_FRAMES) __builtin_trap();
        mudo_get_channel_state(c[call] & 15, c[call + 3] % 30, scratch);
    }
    mudo_get_music_state(1);
    return 0;
}
