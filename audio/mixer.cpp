// The mixer entry the audio device drains block by block, and the small
// control interface the main thread steers it with.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "audio/audio.h"
#include "audio/synth.h"

std::atomic<int32_t> mudo_master_volume{MUDO_VOLUME_MAX}, mudo_stereo_swap{0};
int16_t last_mixed_out[2 * MUDO_MIX_MAX_FRAMES];
uint32_t last_num_samples_mixed;

namespace {

// Frames at the start of last_mixed_out known to be silence: an idle device
// block does not write them again.
int32_t last_out_silent_frames;

int32_t out32[2 * MUDO_MIX_MAX_FRAMES];

void run_fade_clock(int frames) {
    mixer.fade_samples += frames;
    while (mixer.fade_samples >= MUDO_SAMPLES_PER_TICK) {
        mudo_update_fade_tick();
        mixer.fade_samples -= MUDO_SAMPLES_PER_TICK;
    }
}

// --- channels at rest ----------------------------------------------------------
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
// A channel found at rest in a device block, with no writer since (epoch)
// and nothing the check reads moved by its own rest since: the answer
// stands, and its clocks may lag behind, moved on in one go when anything
// looks at the channel (a writer, a block that checks it). However long the
// lag, that costs the same. Kept apart from the records: an idle block
// reads these alone.
struct rest_mark {
    uint64_t epoch;
    int64_t lag;  // frames
    bool resting;
    uint8_t nodes;  // bit i: node i is not silent
};
rest_mark marks[MUDO_CHANNELS];
// Frames at the start of each channel's output buffer known to hold zeros.
int zero_frames[MUDO_CHANNELS];
// Counts the writers from outside the mixer.
uint64_t writer_epoch = 1;
bool device_block;  // mixing for the output device: writers are counted
// The channel whose rest tick came last: the evaluation's scratch is made
// once, at the end of the block, as that tick would have left it.
mudo_channel* root_owner;

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

// Only the clocks of a channel at rest move, and the check reads none of
// them: its answer stands until something else writes. A device block
// takes it on trust; any other caller may have written without a word.
// Music moves on within the mixer and may take any channel: no trust then.
bool trusted() { return device_block && !mixer.music_playing && !mixer_quiet.render_all; }
bool still_resting(const rest_mark& m) { return m.resting && m.epoch == writer_epoch && trusted(); }

// The check, its answer marked.
bool at_rest(int c, const mudo_channel& ch) {
    rest_mark& m = marks[c];
    const bool rest = checked_at_rest(c, ch);
    m.resting = rest && trusted();
    m.epoch = writer_epoch;
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
    const rest_mark& m = marks[ch.id];
    root_owner = &ch;
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

// Silence into channel c's output buffer from frame pos.
void silence_output(int c, int pos, int frames) {
    int& zeros = zero_frames[c];
    if (pos + frames > zeros) std::memset(mixer.output[c] + 2 * pos, 0, sizeof(int16_t) * 2 * (size_t)frames);
    if (pos <= zeros) zeros = std::max(zeros, pos + frames);
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
            if (l != ch.last_gain_l || r != ch.last_gain_r) marks[ch.id].resting = false;  // the check reads them
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
    rest_mark& m = marks[c];
    if (m.lag == 0) return;
    const int64_t lag = m.lag;
    m.lag = 0;
    mudo_channel* owner = root_owner;
    move_clocks(mixer.channel[c], lag);
    root_owner = owner;
}

void settle_root() {
    if (!root_owner) return;
    mudo_channel& ch = *root_owner;
    root_owner = nullptr;
    // The effect's clocks, the only fields of the record the evaluation writes.
    auto effect_clocks = [&ch] {
        return std::array<int32_t, 6>{ch.volume16, ch.vib_phase, ch.arp_step, ch.arp_count, ch.alt_phase, ch.alt_count};
    };
    const auto before = effect_clocks();
    evaluate_root_node(ch);
    if (effect_clocks() != before) marks[ch.id].resting = false;  // the check reads them
}

int play_channel(int c, mudo_channel& ch, int pos, int frames) {
    rest_mark& m = marks[c];
    if (still_resting(m)) {
        silence_output(c, pos, frames);
        m.lag += frames;
        return frames;
    }
    catch_up(c);
    if (at_rest(c, ch)) return rest_channel(ch, pos, frames);
    const int left_in_tick = std::max(ch.tick_len - ch.tick_pos, 0);
    const int got = mix_channel(ch, frames, mixer.output[c] + 2 * pos);
    zero_frames[c] = std::min(zero_frames[c], pos);
    if (got > left_in_tick) {
        note_rendered(c, ch);
        root_owner = nullptr;  // the render evaluated it
    }
    return got;
}

// Every channel renders frames into its output buffer. The music channels go
// first; one that runs out of pattern ticks holds every later channel of the
// pass to the frames it reached, and the pattern advances before the next.
void render_channels(int frames) {
    int left[MUDO_CHANNELS], pos[MUDO_CHANNELS] = {};
    std::fill(left, left + MUDO_CHANNELS, frames);
    for (int pass = 0; pass < MUDO_MAX_PASSES; pass++) {
        int limit = frames;
        bool is_short = false;
        for (int music = 1; music >= 0; music--) {
            for (int c = 0; c < MUDO_CHANNELS; c++) {
                mudo_channel& ch = mixer.channel[c];
                // A channel still at rest plays no music; its record is not read.
                const bool is_music = !still_resting(marks[c]) && ch.music != 0;
                if (is_music != (music != 0)) continue;
                const int want = std::min(left[c], limit);
                const int got = want > 0 ? play_channel(c, ch, pos[c], want) : 0;
                left[c] -= got;
                pos[c] += got;
                if (left[c] > 0) {
                    is_short = true;
                    limit = std::min(limit, got);
                }
            }
        }
        if (!is_short) return;
        settle_root();  // before the pattern changes the channel it came from
        if (mixer.music_playing) advance_pattern();
    }
    // Out of passes: what a channel did not write is silence, not old sound.
    for (int c = 0; c < MUDO_CHANNELS; c++)
        std::fill(mixer.output[c] + 2 * pos[c], mixer.output[c] + 2 * frames, (int16_t)0);
}

void keep_silence(int frames) {
    if (last_out_silent_frames >= frames) return;
    std::memset(last_mixed_out, 0, sizeof(int16_t) * 2 * (size_t)frames);
    last_out_silent_frames = frames;
}

void mix_block(int16_t* out, int frames) {
    const size_t bytes = sizeof(int16_t) * 2 * (size_t)frames;
    if (mixer.ram[ADDR_AUDIO_FLAGS] & AUDIO_FLAG_SILENCE) {
        std::memset(out, 0, bytes);
        keep_silence(frames);
        return;
    }
    last_num_samples_mixed = (uint32_t)frames;
    run_fade_clock(frames);
    mixer_quiet.loud = 0;
    render_channels(frames);
    settle_root();

    // Only the channels that may have sounded add anything: the others wrote zeros.
    if (!mixer_quiet.loud) {
        std::memset(out, 0, bytes);
        keep_silence(frames);
        return;
    }
    const int n = 2 * frames;
    std::memset(out32, 0, sizeof(int32_t) * n);
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        if (!(mixer_quiet.loud >> c & 1)) continue;
        const int16_t* src = mixer.output[c];
        for (int i = 0; i < n; i++) out32[i] += src[i];
    }
    const int32_t volume = mudo_master_volume.load(std::memory_order_relaxed);
    const bool swap = mudo_stereo_swap.load(std::memory_order_relaxed) != 0;
    if (volume == 0) {
        std::memset(out, 0, bytes);
    } else {
        const int l = swap ? 1 : 0, r = 1 - l;
        for (int i = 0; i < n; i += 2) {
            out[i + l] = (int16_t)std::clamp(out32[i], -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX);
            out[i + r] = (int16_t)std::clamp(out32[i + 1], -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX);
        }
    }
    std::memcpy(last_mixed_out, out, bytes);
    last_out_silent_frames = 0;
}

}  // namespace

void mudo_mix_device(int16_t* out, int32_t frames) {
    device_block = true;
    mudo_mix(out, frames);
    device_block = false;
}

void mudo_note_writer() {
    writer_epoch++;
    for (int c = 0; c < MUDO_CHANNELS; c++) catch_up(c);  // it may read them
}

void mudo_forget_rests() {
    std::memset(rests, 0, sizeof rests);
    std::memset(marks, 0, sizeof marks);
    writer_epoch++;
    std::memset(zero_frames, 0, sizeof zero_frames);
    root_owner = nullptr;
}

void mudo_mix(int16_t* out, int32_t frames) {
    if (!out) return;
    // Every frame asked for is filled, a block of at most 8,192 at a time.
    while (frames > 0) {
        const int n = std::min<int32_t>(frames, MUDO_MIX_MAX_FRAMES);
        mix_block(out, n);
        out += 2 * n;
        frames -= n;
    }
}

void mudo_set_volume(int v) {
    mudo_master_volume.store(std::clamp(v, 0, MUDO_VOLUME_MAX), std::memory_order_relaxed);
}

void mudo_set_stereo_swap(int flag) { mudo_stereo_swap.store(flag, std::memory_order_relaxed); }

void mudo_set_channel_mix_vol(uint32_t c, uint8_t v) {
    if (c < (uint32_t)MUDO_CHANNELS) mixer.channel[c].mix_vol = v;
}

void mudo_set_channel_base_addr(uint32_t c, int32_t addr) {
    if (c < (uint32_t)MUDO_CHANNELS) mixer.channel[c].base = (uint32_t)std::clamp<int32_t>(addr, 0, (int32_t)MUDO_MAX_BASE);
}

void mudo_kill_all_audio() {
    for (int c = 0; c < MUDO_CHANNELS; c++) kill_channel(mixer.channel[c], true);
    mudo_stop_music();
}

int mudo_anything_is_playing() {
    int mask = 0;
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        const mudo_channel& ch = mixer.channel[c];
        if (ch.track_active || (!has_no_instrument(ch) && ch.gate)) mask |= 1 << c;
    }
    return mask;
}

int mudo_get_active_channels() {
    int n = 0;
    for (int c = 0; c < MUDO_CHANNELS; c++) n += mixer.channel[c].track_active != 0;
    return n;
}

int mudo_get_channel_state(int c, int sel, int16_t* out) {
    if (c == -1 && sel == -1) {
        if (!out) return -1;
        std::memcpy(out, last_mixed_out, sizeof(int16_t) * 2 * last_num_samples_mixed);
        return (int)last_num_samples_mixed;
    }
    if ((uint32_t)c >= (uint32_t)MUDO_CHANNELS) return -1;
    const mudo_channel& ch = mixer.channel[c];
    if (sel == 0) return ch.gate;
    if (sel > 0 && sel < 16 && !ch.track_active && ch.instrument == MUDO_NO_INSTRUMENT) return -1;
    const int tick = ch.samples_per_tick > 0 ? ch.samples_per_tick : MUDO_SAMPLES_PER_TICK;
    // One tick is 367 samples; the bound keeps a stereo copy inside the scratch area.
    const int count = std::clamp(tick, 0, sel == 19 ? MUDO_SCRATCH_SAMPLES / 2 : MUDO_SCRATCH_SAMPLES);
    switch (sel) {
    case 1: return ch.instrument;
    case 2: return ch.volume;
    case 3: return ch.pan;
    case 4: return ch.note;
    case 5: return ch.pitch_extra;
    case 6: return ch.effect;
    case 7: return ch.effect_param;
    case 8: return tick;
    case 9: return ch.row;
    case 10: return ch.tick;
    case 11: return ch.ticks_played;
    case 12: return ch.track_active ? ch.track : -1;
    case 13: return ch.track;
    case 14: return ch.mix_vol;
    case 15: return (int)ch.base;
    case 19:
        if (!out) return -1;
        std::memcpy(out, mixer.output[c], sizeof(int16_t) * 2 * (size_t)count);
        return count;
    default:
        if (sel >= 20 && sel < 20 + MUDO_INST_NODES) {
            if (!out) return -1;
            std::memcpy(out, node_buf((uint32_t)c, sel - 20), sizeof(int16_t) * (size_t)count);
            return count;
        }
        return -1;
    }
}

int mudo_get_music_state(int sel) {
    if (sel == 0) return mixer.music_playing ? mixer.music_pattern : -1;
    if (sel == 1) return std::max(get_leftmost_nonlooping_channel(), 0);
    return -1;
}
