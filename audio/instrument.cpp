// Instruments as they lie in audio RAM: the duration byte, signed parameters,
// reading a channel's instrument into its nodes, and our default instrument.
#include <algorithm>
#include <cstring>

#include "audio/audio.h"
#include "audio/synth.h"

// Node 0 plays a sine with a touch of triangle (row 4 of the sine-to-triangle
// rows of the default wavetable) at 13/16 of the note's volume; node 1 adds
// the octave above at 3/16 of that. Both follow the note's pitch and pan, and
// together they stay below full scale, so nothing clips.
const uint8_t inst0_nodes[64] = {
    // node 0: root oscillator, wavetable 0
    0x00, 0x02, 0x00, 0x00,
    0x02, 52, 0, 0,    // volume: 52/64 of the note's
    0x01, 0, 0, 0,     // pan: the note's
    0x01, 0, 0, 0,     // pitch: the note's
    0x01, 0, 0, 0,     // fine pitch: the note's
    0x00, 16, 0, 0,    // row 16/256 of 64
    0x00, 0, 0, 0,     // phase
    0x00, 0, 0, 0,
    // node 1: oscillator added into node 0
    0x00, 0x02, 0x00, 0x00,
    0x02, 12, 0, 0,    // volume: 12/64 of node 0's
    0x01, 0, 0, 0,
    0x01, 12, 0, 0,    // an octave above node 0
    0x01, 0, 0, 0,
    0x00, 16, 0, 0,
    0x00, 0, 0, 0,
    0x00, 0, 0, 0,
};
// Wavetable 0: the 64 sine-to-triangle rows at 0xF80000, 1,024 samples each.
const uint8_t inst0_wt[8] = {0x00, 0xF8, 10, 64, 0, 0, 0, 0};

int32_t get_env_duration(uint8_t v) {
    if (v < 16) return v;
    if (v < 32) return (v - 8) * 2;
    if (v < 64) return (v - 20) * 4;
    if (v < 128) return (v - 42) * 8;
    return (v - 85) * 16;
}

namespace {
// Indexed by (kind mod 4) * 8 + parameter.
constexpr uint8_t mval_signed_dat[32] = {
    0, 0, 0, 0, 0, 0, 0, 0,  // 0
    0, 1, 1, 1, 0, 0, 0, 0,  // 1: pan, pitch, fine pitch
    0, 1, 1, 1, 0, 1, 0, 0,  // 2: and phase
    0, 0, 0, 0, 0, 0, 0, 0,  // 3
};
}  // namespace

bool is_mval_signed(int kind, int k) {
    if (kind < 0 || kind > 2 || k < 0 || k >= 8) return false;
    return mval_signed_dat[(kind & 3) * 8 + k] != 0;
}

uint32_t mudo_inst_addr(const mudo_channel& ch) {
    uint64_t a = (uint64_t)ch.base + INST_OFFSET + (uint64_t)INST_SIZE * (uint32_t)(ch.instrument & 0xFF);
    return a < MUDO_RAM_SIZE ? (uint32_t)a : MUDO_RAM_SIZE;  // past the end every byte reads 0
}

void grab_node_tree(mudo_channel& ch) {
    ch.max_depth = 0;
    if (has_no_instrument(ch)) {
        for (auto& n : ch.node) n.kind = NODE_SILENT;
        return;
    }
    const uint32_t inst = mudo_inst_addr(ch);
    ch.inst_flags = mudo_ram8(inst + INST_FLAGS);
    ch.stereo = (ch.inst_flags & INST_FLAG_STEREO) ? 1 : 0;
    for (int i = 0; i < MUDO_INST_NODES; i++) {
        mudo_node& n = ch.node[i];
        uint8_t rec[4];
        n.addr = inst + INST_NODE_SIZE * i;
        mudo_ram_read(n.addr, rec, sizeof rec);
        n.parent = rec[0] & 15;
        n.op = rec[0] >> 4;
        n.kind = rec[1] & 15;
        n.wave = rec[1] >> 4;
        n.flags = rec[2];
        n.byte3 = rec[3];
        n.is_twin = 0;
        n.twin = -1;
        n.depth = n.parent < i ? ch.node[n.parent].depth + 1 : 0;
        ch.max_depth = std::max(ch.max_depth, n.depth);
        if (n.kind == NODE_OSC) {
            const uint32_t d = inst + INST_WAVETABLES + 4 * (n.wave & 3);
            n.wt_addr = (uint32_t)mudo_ram16(d) << 8;
            n.wt_log2 = std::min<uint32_t>(mudo_ram8(d + 2), MUDO_MAX_WAVE_LOG2);
            n.wt_width = 1u << n.wt_log2;
            n.wt_rows = mudo_ram8(d + 3) ? mudo_ram8(d + 3) : 256;
        }
    }
    ch.node[STEREO_NODE_INDEX] = mudo_node{};
    if (ch.stereo) make_node_twins(ch);
}

void prepare_nodes_for_new_instrument(mudo_channel& ch) {
    for (int k = 0; k < MUDO_MAX_CHANNEL_NODES; k++) {
        mudo_node& n = ch.node[k];
        n.echo_prev_delay = n.echo_prev_fb = -1;
        n.echo_pos = 0;
        if (n.kind == NODE_ECHO) std::memset(node_buf(ch.id, k), 0, MUDO_BUF_BYTES);
    }
}
