// Any instrument bytes, wavetables, note and row effect: rendering a few
// ticks must stay inside audio RAM and the buffers, never divide by zero or
// overflow, and write exactly the frames asked for.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

constexpr size_t CONTROL = 32, INSTRUMENTS = 2 * INST_SIZE;

int32_t i32_at(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void place(uint64_t addr, const uint8_t* src, size_t n) {
    for (size_t i = 0; i < n && addr + i < MUDO_RAM_SIZE; i++) mixer.ram[addr + i] = src[i];
}

void clear(uint64_t addr, size_t n) {
    for (size_t i = 0; i < n && addr + i < MUDO_RAM_SIZE; i++) mixer.ram[addr + i] = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < CONTROL) return 0;
    static bool ready = false;
    if (!ready) {
        fresh_mixer();
        ready = true;
    }
    // Short inputs: the instrument bytes missing read as zeros.
    static uint8_t head[CONTROL + INSTRUMENTS];
    std::memset(head, 0, sizeof head);
    std::memcpy(head, data, std::min(size, sizeof head));
    const uint8_t* c = head;
    const uint8_t* inst = head + CONTROL;
    const uint8_t* table = data + std::min(size, sizeof head);
    const size_t table_len = size - std::min(size, sizeof head);
    const uint32_t bases[4] = {BASE, 0xF00000, 0xFF0000, (uint32_t)c[20] << 16};
    const uint32_t base = bases[c[21] & 3];

    for (int id : {0, MUDO_CHANNELS}) {
        std::memset(&mixer.channel[id], 0, sizeof mixer.channel[id]);
        mixer.channel[id].id = id;
        for (int k = 0; k < MUDO_MAX_CHANNEL_NODES; k++) std::memset(node_buf(id, k), 0, MUDO_BUF_BYTES);
    }
    mudo_channel& ch = mixer.channel[0];
    reset_channel_state(ch);
    const uint64_t at = (uint64_t)base + INST_OFFSET + INST_SIZE;  // instrument 1, then 2
    place(at, inst, INSTRUMENTS);
    place(TABLE, table, table_len);
    place(MUDO_RAM_SIZE - table_len, table, table_len);
    mixer.ram[ADDR_AUDIO_VOLUME] = c[22];
    mixer.ram[ADDR_AUDIO_MUSIC_VOLUME] = c[23];

    ch.base = base;
    ch.instrument = 1;
    ch.pitch16 = i32_at(c);
    ch.volume16 = i32_at(c + 4);
    ch.volume = i32_at(c + 4) >> 16;
    ch.pan = (int8_t)c[8];
    ch.effect = c[9];
    ch.effect_param = c[10];
    ch.track_active = c[11] & 1;
    ch.speed = c[12];
    ch.tick = c[13] % (c[12] ? c[12] : 16);
    ch.row = (int8_t)c[14];
    ch.track_addr = (uint32_t)i32_at(c + 24) & 0xFFFFFF;
    ch.mix_vol = c[15];
    ch.music = c[16] & 1;
    ch.pattern_ticks_left = c[16] >> 1;
    mixer.music_volume = c[17] * 2;
    ch.gate = 1;
    ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
    retrigger_channel_envelopes(ch);

    static int16_t out[2 * 1024 + 2];
    for (int call = 0; call < 4; call++) {
        const int frames = 1 + (c[18 + (call & 1)] << 2);
        out[2 * frames] = out[2 * frames + 1] = 0x5A5A;
        const int got = mix_channel(ch, frames, out);
        if (got < 0 || got > frames || (got < frames && !ch.music)) __builtin_trap();
        if (out[2 * frames] != 0x5A5A || out[2 * frames + 1] != 0x5A5A) __builtin_trap();
        if (ch.tick_pos < 0 || ch.tick_pos > ch.tick_len || ch.tick_len > MUDO_BUF_SAMPLES) __builtin_trap();
        if (call == 1) ch.gate = 0;  // the release
    }
    clear(at, INSTRUMENTS);
    clear(TABLE, table_len);
    clear(MUDO_RAM_SIZE - table_len, table_len);
    return 0;
}
