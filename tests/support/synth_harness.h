// Drives the synthesizer without a device: instrument bytes written straight
// into audio RAM, notes started on channels, ticks rendered into vectors.
// Header-only, shared by the audio tests, the benchmarks and the fuzzer.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/synth.h"

namespace hvx_synth {

inline constexpr uint32_t BASE = 0x30000;  // 0x553C = 3: instrument 0 at 0x40000
inline constexpr uint32_t TABLE = 0x200000;  // where tests put their own wavetables

inline uint32_t inst_addr(int inst) { return BASE + INST_OFFSET + INST_SIZE * inst; }

// A cleared mixer with the audio bytes as our system sets them: unity levels
// and instruments from 0x40000; every channel at its defaults.
inline void fresh_mixer() {
    mudo_clear_mixer();
    mixer.ram[ADDR_AUDIO_VOLUME] = mixer.ram[ADDR_AUDIO_MUSIC_VOLUME] = mixer.ram[0x553A] = 64;
    mixer.ram[ADDR_AUDIO_BASE] = BASE >> 16;
    mixer.music_volume = 256;
    for (int c = 0; c < MUDO_CHANNELS; c++) reset_channel_state(mixer.channel[c]);
}

struct mval {
    uint8_t flags = 0, a = 0, b = 0, byte3 = 0;
};
inline constexpr uint8_t REL = MVAL_RELATIVE, SCL = MVAL_SCALED, ENV = MVAL_ENVELOPE;

// Writes one instrument's bytes.
struct instrument {
    uint32_t at;
    explicit instrument(int inst) : at(inst_addr(inst)) {}
    instrument& node(int i, int parent, int kind, int op = 0, int wave = 0, int flags = 0) {
        uint8_t* n = mixer.ram + at + INST_NODE_SIZE * i;
        n[0] = (uint8_t)(parent | op << 4), n[1] = (uint8_t)(kind | wave << 4), n[2] = (uint8_t)flags;
        return *this;
    }
    instrument& param(int i, int k, mval v) {
        std::memcpy(mixer.ram + at + INST_NODE_SIZE * i + 4 + 4 * k, &v, 4);
        return *this;
    }
    // An oscillator that follows the note's volume, pan and pitch.
    instrument& osc(int i, int parent, int op = 0, int wave = 0) {
        node(i, parent, NODE_OSC, op, wave);
        param(i, 0, {SCL, 64}).param(i, 1, {REL}).param(i, 2, {REL}).param(i, 3, {REL});
        return *this;
    }
    instrument& envelope(int e, std::vector<uint8_t> bytes) {
        bytes.resize(INST_ENVELOPE_SIZE);
        std::memcpy(mixer.ram + at + INST_ENVELOPES + INST_ENVELOPE_SIZE * e, bytes.data(), bytes.size());
        return *this;
    }
    instrument& wavetable(int k, uint32_t addr, int log2, int rows) {
        uint8_t* d = mixer.ram + at + INST_WAVETABLES + 4 * k;
        d[0] = (uint8_t)(addr >> 8), d[1] = (uint8_t)(addr >> 16), d[2] = (uint8_t)log2, d[3] = (uint8_t)rows;
        return *this;
    }
    instrument& flags(uint8_t f) {
        mixer.ram[at + INST_FLAGS] = f;
        return *this;
    }
};

inline void put_samples(uint32_t addr, const std::vector<int16_t>& s) {
    std::memcpy(mixer.ram + addr, s.data(), 2 * s.size());
}

// One row of a full-scale sine, 2^log2 samples.
inline std::vector<int16_t> sine_row(int log2) {
    const int n = 1 << log2;
    std::vector<int16_t> s(n);
    for (int i = 0; i < n; i++) s[i] = (int16_t)std::lround(32767 * std::sin(2 * M_PI * i / n));
    return s;
}

// An instrument with every kind of node, each keeping state across ticks:
// oscillators added, modulating, multiplied and xored over a sine at TABLE,
// a filter swept by an LFO, an echo and a soft-knee gain.
inline void busy_instrument(int inst) {
    put_samples(TABLE, sine_row(10));
    instrument(inst)
        .osc(0, 0)
        .wavetable(0, TABLE, 10, 1)
        .osc(1, 0)
        .param(1, 2, {REL, 7})
        .osc(2, 1, OP_FM)
        .param(2, 0, {SCL, 16})
        .osc(3, 1, OP_MUL)
        .node(4, 0, NODE_FILTER)
        .param(4, 0, {ENV, 200, 20})
        .param(4, 2, {0, 128})
        .envelope(0, {ENV_LFO, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40})
        .node(5, 0, NODE_ECHO)
        .param(5, 0, {0, 30})
        .param(5, 1, {0, 120})
        .node(6, 0, NODE_GAIN)
        .param(6, 0, {0, 100})
        .param(6, 1, {0, 128})
        .param(6, 3, {0, 64})
        .osc(7, 0, OP_XOR);
}

// Starts a note as the sequencer's note setting does: instrument, pitch,
// volume and pan taken, the node tree read, envelopes restarted, gate on.
inline mudo_channel& start_note(int c, int inst, int pitch, int volume, int pan = 0) {
    mudo_channel& ch = mixer.channel[c];
    ch.base = BASE;
    ch.instrument = inst;
    ch.note = pitch;
    ch.pitch16 = pitch << 16;
    ch.volume = volume;
    ch.volume16 = volume << 16;
    ch.pan = pan;
    ch.gate = 1;
    ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
    retrigger_channel_envelopes(ch);
    return ch;
}

// frames of channel c in calls of at most chunk frames, interleaved.
inline std::vector<int16_t> render(int c, int frames, int chunk = 0) {
    std::vector<int16_t> out(2 * (size_t)frames);
    if (chunk <= 0) chunk = frames;
    for (int done = 0; done < frames;) {
        const int n = std::min(chunk, frames - done);
        done += mix_channel(mixer.channel[c], n, out.data() + 2 * done);
    }
    return out;
}

// One side of an interleaved block.
inline std::vector<int16_t> side(const std::vector<int16_t>& st, int which) {
    std::vector<int16_t> s(st.size() / 2);
    for (size_t i = 0; i < s.size(); i++) s[i] = st[2 * i + which];
    return s;
}

// Amplitude of the component at freq Hz (Goertzel), in sample units.
inline double tone_level(const std::vector<int16_t>& s, double freq, double rate = 44100) {
    const double w = 2 * M_PI * freq / rate, coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int16_t x : s) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1, s1 = s0;
    }
    return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - coeff * s1 * s2)) / (double)s.size();
}

inline int zero_crossings(const std::vector<int16_t>& s) {
    int n = 0;
    for (size_t i = 1; i < s.size(); i++) n += (s[i - 1] < 0) != (s[i] < 0);
    return n;
}

}  // namespace hvx_synth
