// Channels at rest: a tick that would change nothing but clocks is done by
// moving the clocks, and a device block trusts the answer until a writer.
//
// A channel that is neither playing a track nor music, whose note is released
// (or that has no node to sound), whose nodes render silence over buffers known
// to hold it, and whose parameters follow no envelope, runs every tick to the
// same place: its shadow and its node records are copied as they were, its
// parameters evaluate to what they were, and only its clocks move on (the
// parameters' envelope times, the oscillators' phases, the ticks since release).
// Such a tick is done by moving those clocks alone. A channel is taken to be at
// rest only after a whole tick has been rendered with everything it reads as it
// is now: its record and its shadow's, its node records against the copy the
// render left, and the instrument's bytes in audio RAM. Any change to one of
// them, through the calls or written directly, sends it back to rendering.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "audio/audio.h"
#include "audio/synth.h"

namespace {

// Of an instrument, what a tick at rest reads: the node records, and the
// flags byte with the wavetable descriptors after it.
constexpr uint32_t REST_NODE_BYTES = INST_NODE_SIZE * MUDO_INST_NODES;
constexpr uint32_t REST_TAIL_BYTES = INST_WAVETABLES + 16 - INST_FLAGS;

struct rest_record {
    bool rendered;  // a whole tick was rendered since the mixer was cleared
    uint32_t inst_addr;
    uint8_t inst[REST_NODE_BYTES + REST_TAIL_BYTES];
};
rest_record rests[MUDO_CHANNELS];

void read_instrument(const mudo_channel& ch, uint8_t* out) {
    const uint32_t a = mudo_inst_addr(ch);
    mudo_ram_read(a, out, REST_NODE_BYTES);
    mudo_ram_read((uint64_t)a + INST_FLAGS, out + REST_NODE_BYTES, REST_TAIL_BYTES);
}

// The fields of a channel record outside its nodes that its shadow copies at
// every seam: all but the id and the position in the tick.
struct record_span {
    size_t from, to;
};
constexpr record_span kCopiedSpans[] = {
    {offsetof(mudo_channel, mix_vol), offsetof(mudo_channel, node)},
    {offsetof(mudo_channel, track_active), offsetof(mudo_channel, tick_pos)},
    {offsetof(mudo_channel, tick_len), sizeof(mudo_channel)},
};
// What lies before and between them, and nothing more: a field added there
// would be neither compared nor copied, and a change to it missed.
constexpr record_span kSkippedSpans[] = {
    {offsetof(mudo_channel, id), offsetof(mudo_channel, id) + sizeof(mudo_channel::id)},
    {offsetof(mudo_channel, node), offsetof(mudo_channel, snapshot) + sizeof(mudo_channel::snapshot)},
    {offsetof(mudo_channel, tick_pos), offsetof(mudo_channel, tick_pos) + sizeof(mudo_channel::tick_pos)},
};
static_assert(offsetof(mudo_channel, snapshot) == offsetof(mudo_channel, node) + sizeof(mudo_channel::node),
              "a field between the nodes and their snapshot");
constexpr bool spans_cover_the_record() {
    size_t at = 0;
    for (size_t i = 0; i < std::size(kCopiedSpans); i++) {
        if (kSkippedSpans[i].from != at || kCopiedSpans[i].from != kSkippedSpans[i].to) return false;
        at = kCopiedSpans[i].to;
    }
    return at == sizeof(mudo_channel);
}
static_assert(spans_cover_the_record(), "a field of mudo_channel outside the copied spans and not skipped on purpose");

bool same_outside_nodes(const mudo_channel& a, const mudo_channel& b) {
    for (const record_span& s : kCopiedSpans)
        if (std::memcmp((const char*)&a + s.from, (const char*)&b + s.from, s.to - s.from) != 0) return false;
    return true;
}

void copy_outside_nodes(const mudo_channel& from, mudo_channel& to) {
    for (const record_span& s : kCopiedSpans) std::memcpy((char*)&to + s.from, (const char*)&from + s.from, s.to - s.from);
}

bool follows_envelope(const mudo_node& n) {
    for (int k = 0; k < MUDO_NODE_PARAMS; k++)
        if (mudo_ram8((uint64_t)n.addr + 4 + 4 * k) & MVAL_ENVELOPE) return true;
    return false;
}

bool checked_at_rest(int c, const mudo_channel& ch) {
    const rest_record& r = rests[c];
    if (mixer_quiet.render_all || !r.rendered || ch.music || ch.track_active) return false;
    if (ch.effect == 'v' || ch.effect == 'w' || ch.effect == 't') return false;  // vibrato moves on every tick
    const int spt = ch.samples_per_tick;
    if (spt <= 0 || spt > MUDO_BUF_SAMPLES || ch.tick_pos < 0) return false;
    const mudo_channel& sh = mixer.channel[c + MUDO_CHANNELS];
    if (!renders_silence(ch) || !renders_silence(sh)) return false;
    if (!known_silent(ch.id, std::max({spt, ch.tick_len, MUDO_SEAM})) || !known_silent(sh.id, MUDO_SEAM)) return false;
    for (const mudo_node& n : ch.node) {
        if (n.kind == NODE_SILENT) continue;
        // Held notes move their envelopes' loops; envelopes move their values.
        if (ch.gate || follows_envelope(n)) return false;
    }
    if (std::memcmp(ch.node, ch.snapshot, sizeof ch.node) != 0 || !same_outside_nodes(ch, sh)) return false;
    if (has_no_instrument(ch)) return true;
    uint8_t inst[sizeof r.inst];
    read_instrument(ch, inst);
    return r.inst_addr == mudo_inst_addr(ch) && std::memcmp(inst, r.inst, sizeof inst) == 0;
}

// The check, its answer marked.
bool at_rest(int c, const mudo_channel& ch) {
    rest_mark& m = mixer_rest.mark[c];
    const bool rest = checked_at_rest(c, ch);
    m.resting = rest && rest_trusted();
    m.epoch = mixer_rest.writer_epoch;
    m.nodes = 0;
    if (rest)
        for (int i = 0; i < MUDO_INST_NODES; i++)
            if (ch.node[i].kind != NODE_SILENT) m.nodes |= (uint8_t)(1u << i);
    return rest;
}

// After a render that reached a tick boundary: what the tick read.
void note_rendered(int c, const mudo_channel& ch) {
    rest_record& r = rests[c];
    r.rendered = true;
    if (has_no_instrument(ch)) return;
    r.inst_addr = mudo_inst_addr(ch);
    read_instrument(ch, r.inst);
}

// Ticks of a channel at rest: what grab, evaluation, render and seam would
// leave, of which only the clocks differ from what is there. Each tick moves
// them by the same steps, so any number of them is one move.
void rest_ticks(mudo_channel& ch, int64_t ticks) {
    mudo_channel& sh = mixer.channel[ch.id + MUDO_CHANNELS];
    const rest_mark& m = mixer_rest.mark[ch.id];
    mixer_rest.root_owner = &ch;
    const auto samples = (uint32_t)((uint64_t)ticks * (uint64_t)ch.samples_per_tick);  // modulo 2^32
    for (int i = 0; i < MUDO_INST_NODES; i++) {
        if (!(m.nodes >> i & 1)) continue;  // a silent node has no clock
        mudo_node& n = ch.node[i];
        for (int32_t& t : n.time) count_up(t, ticks);
        if (n.kind == NODE_OSC && !(n.flags & NODE_FLAG_MUTED)) skip_node_tick_osc(n, samples);
        ch.snapshot[i] = n;
        sh.node[i] = n;
        sh.snapshot[i] = n;
    }
    count_up(ch.gate ? ch.ticks_held : ch.ticks_since_release, ticks);
    ch.tick_pos = 0;
    ch.tick_len = ch.samples_per_tick;
    if (m.resting) {
        // The shadow was equal when the mark was made; since then only these moved.
        sh.ticks_held = ch.ticks_held;
        sh.ticks_since_release = ch.ticks_since_release;
        sh.tick_len = ch.tick_len;
    } else {
        copy_outside_nodes(ch, sh);
    }
    sh.tick_pos = 0;
}

// Whether a run of the current tick leaves the mark as it is: its pan, and
// so its gains, do not move at rest.
bool gains_hold(const mudo_channel& ch) {
    if (ch.stereo) return true;
    int32_t l, r;
    pan_gains(ch, l, r);
    return l == ch.last_gain_l && r == ch.last_gain_r;
}

// The ticks of a channel at rest moved on by frames: every tick that starts
// within them in one move, once the runs between them change nothing.
void move_clocks(mudo_channel& ch, int64_t frames) {
    for (int64_t done = 0; done < frames;) {
        const int left_in_tick = ch.tick_len - ch.tick_pos;
        if (left_in_tick <= 0) {
            const int64_t spt = ch.samples_per_tick;  // at rest, within 1..MUDO_BUF_SAMPLES
            const int64_t ticks = spt > 0 && gains_hold(ch) ? (frames - done + spt - 1) / spt : 1;
            rest_ticks(ch, ticks);
            done += (ticks - 1) * spt;  // the whole ticks; the last one's run follows
            continue;
        }
        const int m = (int)std::min<int64_t>(frames - done, left_in_tick);
        if (!ch.stereo) {
            const int32_t l = ch.last_gain_l, r = ch.last_gain_r;
            pan_gains(ch, ch.last_gain_l, ch.last_gain_r);
            if (l != ch.last_gain_l || r != ch.last_gain_r) mixer_rest.mark[ch.id].resting = false;  // the check reads them
        }
        ch.tick_pos += m;
        done += m;
    }
}

// mix_channel for a channel at rest: silence, and its ticks moved on.
int rest_channel(mudo_channel& ch, int pos, int frames) {
    silence_output((int)ch.id, pos, frames);
    move_clocks(ch, frames);
    return frames;
}

// The lagging clocks of channel c moved on; the evaluation's scratch is
// left to the ticks of this block.
void catch_up(int c) {
    rest_mark& m = mixer_rest.mark[c];
    if (m.lag == 0) return;
    const int64_t lag = m.lag;
    m.lag = 0;
    mudo_channel* owner = mixer_rest.root_owner;
    move_clocks(mixer.channel[c], lag);
    mixer_rest.root_owner = owner;
}

}  // namespace

mudo_rest_state mixer_rest;

void settle_root_owner() {
    mudo_channel& ch = *mixer_rest.root_owner;
    mixer_rest.root_owner = nullptr;
    // The effect's clocks, the only fields of the record the evaluation writes.
    auto effect_clocks = [&ch] {
        return std::array<int32_t, 6>{ch.volume16, ch.vib_phase, ch.arp_step, ch.arp_count, ch.alt_phase, ch.alt_count};
    };
    const auto before = effect_clocks();
    evaluate_root_node(ch);
    if (effect_clocks() != before) mixer_rest.mark[ch.id].resting = false;  // the check reads them
}

int check_and_play_channel(int c, int pos, int frames) {
    mudo_channel& ch = mixer.channel[c];
    catch_up(c);
    if (at_rest(c, ch)) return rest_channel(ch, pos, frames);
    const int left_in_tick = std::max(ch.tick_len - ch.tick_pos, 0);
    const int got = mix_channel(ch, frames, mixer.output[c] + 2 * pos);
    mixer_rest.zero_frames[c] = std::min(mixer_rest.zero_frames[c], pos);
    if (got > left_in_tick) {
        note_rendered(c, ch);
        mixer_rest.root_owner = nullptr;  // the render evaluated it
    }
    return got;
}

void mudo_mix_device(int16_t* out, int32_t frames) {
    mixer_rest.device_block = true;
    mudo_mix(out, frames);
    mixer_rest.device_block = false;
}

void mudo_note_writer() {
    mixer_rest.writer_epoch++;
    for (int c = 0; c < MUDO_CHANNELS; c++) catch_up(c);  // it may read them
}

void mudo_forget_rests() {
    std::memset(rests, 0, sizeof rests);
    std::memset(mixer_rest.mark, 0, sizeof mixer_rest.mark);
    mixer_rest.writer_epoch++;
    std::memset(mixer_rest.zero_frames, 0, sizeof mixer_rest.zero_frames);
    mixer_rest.root_owner = nullptr;
}
