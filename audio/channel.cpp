// A channel plays one instrument in ticks: at each boundary it re-reads the
// instrument, evaluates the parameters, renders the node tree and smooths
// the seam with a crossfade from its shadow; between boundaries it copies
// the tick out with its volume and pan.
#include <algorithm>
#include <cstring>

#include "audio/audio.h"
#include "audio/synth.h"

namespace {

// Every node buffer holds zeros when the mixer starts or is cleared: known,
// so that channels with nothing to play never write (and make the host back)
// them.
constexpr mudo_quiet all_buffers_silent() {
    mudo_quiet q{};
    for (int32_t& n : q.node) n = MUDO_BUF_SAMPLES;
    return q;
}

}  // namespace

mudo_mixer mixer;
mudo_quiet mixer_quiet = all_buffers_silent();

namespace {

bool mudo_inited = false;

void fill_gain_tri() {
    constexpr int HALF = MUDO_GAIN_TRI_SIZE / 2;
    for (int i = 0; i < HALF; i++) {
        gain_tri[i] = (uint16_t)(32767 - 4 * i);
        gain_tri[HALF + i] = (uint16_t)(4 * i);
    }
}

void number_channels() {
    for (uint32_t c = 0; c < 2 * MUDO_CHANNELS; c++) mixer.channel[c].id = c;
}

// Blends the first samples of buf from old to buf: (new i + old (64 - i)) >> 6.
void crossfade_in(int16_t* buf, const int16_t* old) {
    for (int i = 0; i < MUDO_SEAM; i++) buf[i] = (int16_t)((buf[i] * i + old[i] * (MUDO_SEAM - i)) >> 6);
}
}  // namespace

// Whether a render of the channel's nodes as they stand writes nothing but
// zeros, into all nine buffers: every node takes its turn in the render
// order, none is an effect (whose state would ring on), and every oscillator
// that is not muted plays at volume 0.
bool renders_silence(const mudo_channel& ch) {
    for (int i = 0; i < MUDO_INST_NODES; i++) {
        const mudo_node& n = ch.node[i];
        if (n.depth < 0 || n.depth >= MUDO_INST_NODES || (n.kind >= NODE_FILTER && n.kind <= NODE_GAIN)) return false;
        if (n.kind == NODE_OSC && !(n.flags & NODE_FLAG_MUTED) && osc_volume(n) != 0) return false;
    }
    return true;
}

// Buffers of channel id known to hold zeros in their first samples.
bool known_silent(uint32_t id, int samples) {
    return !mixer_quiet.render_all && id < 2 * MUDO_CHANNELS && mixer_quiet.node[id] >= samples;
}

namespace {

// Renders node i; where its last tick's node was this same node of an
// instrument with an echo, the first samples fade over from how that node
// would have gone on.
void render_node_crossfaded(mudo_channel& ch, int i, int samples, bool fade) {
    int16_t* buf = node_buf(ch.id, i);
    int16_t* ramp = mixer.node_ramp_buf;
    fade = fade && ch.snapshot[i].addr == ch.node[i].addr;
    if (fade) std::memcpy(ramp, buf, sizeof mixer.node_ramp_buf);
    render_node_tick(ch, i, samples);
    if (!fade) return;
    const mudo_node& before = ch.snapshot[i];
    if ((before.flags & NODE_FLAG_MUTED) || before.kind == NODE_SILENT) {
        std::memset(ramp, 0, sizeof mixer.node_ramp_buf);
    } else if (before.kind == NODE_OSC) {
        mudo_node old = before;
        const int src = ch.node[i].mod_src;
        render_node_tick_osc(old, ramp, MUDO_SEAM, src >= 0 ? node_buf(ch.id, src) : nullptr);
    }
    crossfade_in(buf, ramp);
}

void apply_effect(mudo_channel& ch, int j, int16_t* buf, int samples) {
    mudo_node& n = ch.node[j];
    switch (n.kind) {
    case NODE_FILTER:
        apply_fx_filter(n, buf, samples);
        break;
    case NODE_ECHO:
        apply_fx_echo(n, node_buf(ch.id, j), buf, samples);
        break;
    case NODE_GAIN:
        apply_fx_gain(n, buf, samples);
        break;
    default:
        break;
    }
}

int32_t mix_volume(const mudo_channel& ch) { return std::clamp(ch.mix_vol, 0, 255); }

}  // namespace

// The target gains of a mono channel's pan, from node 0's p1.
void pan_gains(const mudo_channel& ch, int32_t& L, int32_t& R) {
    const int32_t pan = std::clamp(ch.node[0].p[1] / 65536, -127, 127);
    L = (int32_t)stereo_contrib[pan + 128], R = (int32_t)stereo_contrib[128 - pan];
}

namespace {

// Samples of a run of m from the tick position that fall in a seam whose
// old sound the output stage fades out.
int seam_fade_samples(const mudo_channel& ch, int m) {
    const mudo_seam_fade& f = mixer.seam_fade[ch.id];
    return f.active && ch.tick_pos >= 0 ? std::clamp(MUDO_SEAM - ch.tick_pos, 0, m) : 0;
}

// m frames of the current tick from its position into out.
void output_stage(mudo_channel& ch, int64_t V, int m, int16_t* out) {
    const int16_t* left = node_buf(ch.id, 0) + ch.tick_pos;
    const bool clamp = V > 256;
    auto put = [clamp](int64_t v) {
        return (int16_t)(clamp ? std::clamp<int64_t>(v, -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX) : v);
    };
    // Where the volume changed at the seam, its first samples are
    // (new V i + old heard (64 - i)) / 64 at the output's scale: the old
    // sound leaves at the volume it was heard at, whatever the new one.
    const mudo_seam_fade& f = mixer.seam_fade[ch.id];
    const int faded = seam_fade_samples(ch, m);
    auto blend = [](int i, int64_t now, int64_t was, int64_t unity) {
        const int64_t v = (now * i + was * (MUDO_SEAM - i)) / (MUDO_SEAM * unity);
        return (int16_t)std::clamp<int64_t>(v, -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX);
    };
    if (ch.stereo) {
        const int16_t* right = node_buf(ch.id, STEREO_NODE_INDEX) + ch.tick_pos;
        int k = 0;
        for (; k < faded; k++) {
            const int i = ch.tick_pos + k;
            out[2 * k] = blend(i, left[k] * V, f.old[0][i] * f.heard, 256);
            out[2 * k + 1] = blend(i, right[k] * V, f.old[1][i] * f.heard, 256);
        }
        for (; k < m; k++) {
            out[2 * k] = put(left[k] * V / 256);
            out[2 * k + 1] = put(right[k] * V / 256);
        }
        return;
    }
    int32_t L, R;
    pan_gains(ch, L, R);
    // Each gain moves linearly across the run from the last run's, at the
    // channel volume; 64 bits, since V reaches 16,192 for music.
    auto ramp = [&](int32_t from, int32_t to, int64_t volume, int64_t& step) {
        const int64_t g = ((int64_t)from << 8) * volume;
        step = (((int64_t)to << 8) * volume - g) / m;
        return g;
    };
    int64_t dl, dr;
    int64_t gl = ramp(ch.last_gain_l, L, V, dl), gr = ramp(ch.last_gain_r, R, V, dr);
    int k = 0;
    if (faded) {
        // The old sound's gains take the same path at its own volume.
        int64_t el, er;
        int64_t hl = ramp(ch.last_gain_l, L, f.heard, el), hr = ramp(ch.last_gain_r, R, f.heard, er);
        for (; k < faded; k++) {
            const int i = ch.tick_pos + k;
            out[2 * k] = blend(i, (gl >> 16) * left[k], (hl >> 16) * f.old[0][i], MUDO_STEREO_UNITY);
            out[2 * k + 1] = blend(i, (gr >> 16) * left[k], (hr >> 16) * f.old[0][i], MUDO_STEREO_UNITY);
            gl += dl, gr += dr, hl += el, hr += er;
        }
    }
    ch.last_gain_l = L;
    ch.last_gain_r = R;
    if (dl == 0 && dr == 0 && !clamp) {
        // Settled gains of at most 4,096: the same sums fit 32 bits.
        const int32_t a = (int32_t)(gl >> 16), b = (int32_t)(gr >> 16);
        for (; k < m; k++) {
            out[2 * k] = (int16_t)(a * left[k] / MUDO_STEREO_UNITY);
            out[2 * k + 1] = (int16_t)(b * left[k] / MUDO_STEREO_UNITY);
        }
        return;
    }
    for (; k < m; k++) {
        out[2 * k] = put((gl >> 16) * left[k] / MUDO_STEREO_UNITY);
        out[2 * k + 1] = put((gr >> 16) * left[k] / MUDO_STEREO_UNITY);
        gl += dl;
        gr += dr;
    }
}

// The shadow plays on from where the last tick left off; the live tick's
// first samples fade over from it, at the volume the last tick was heard at.
// A tick is heard at the volume of its start, so a change of volume (music
// stopped after a fade, a muted channel reset) meets old sound only here,
// never at full volume. Then the shadow becomes this tick's copy.
// A silent shadow over silent buffers would only change its own record,
// which the copy below replaces; silence fading into silence changes nothing.
void shadow_seam(mudo_channel& ch, int samples, int64_t V) {
    mudo_channel& sh = mixer.channel[ch.id + MUDO_CHANNELS];
    sh.id = ch.id + MUDO_CHANNELS;
    mudo_seam_fade& f = mixer.seam_fade[ch.id];
    f.active = false;
    const bool shadow_silent = known_silent(sh.id, MUDO_SEAM) && renders_silence(sh);
    if (!shadow_silent) render_channel_tick(sh, MUDO_SEAM);
    // Whether the shadow leaves sound to fade out, whichever way it rendered.
    auto old_sounds = [&] {
        auto sounds = [&](int node) {
            const int16_t* b = node_buf(sh.id, node);
            return std::any_of(b, b + MUDO_SEAM, [](int16_t v) { return v != 0; });
        };
        return !shadow_silent && (sounds(0) || (ch.stereo && sounds(STEREO_NODE_INDEX)));
    };
    if (ch.heard_volume != V && old_sounds()) {
        // Old and new sound at different volumes: blended where both are
        // scaled, in the output stage (a sample buffer holds neither).
        f.active = true;
        f.heard = ch.heard_volume;
        std::memcpy(f.old[0], node_buf(sh.id, 0), sizeof f.old[0]);
        std::memcpy(f.old[1], node_buf(sh.id, STEREO_NODE_INDEX), sizeof f.old[1]);
    } else if (!shadow_silent || !known_silent(ch.id, MUDO_SEAM)) {
        crossfade_in(node_buf(ch.id, 0), node_buf(sh.id, 0));
        if (ch.stereo) crossfade_in(node_buf(ch.id, STEREO_NODE_INDEX), node_buf(sh.id, STEREO_NODE_INDEX));
        if (mixer_quiet.node[sh.id] < MUDO_SEAM) mixer_quiet.node[ch.id] = 0;
    }
    ch.heard_volume = V;
    ch.tick_pos = 0;
    ch.tick_len = samples;
    sh = ch;
    sh.id = ch.id + MUDO_CHANNELS;
    for (int k = 0; k < MUDO_MAX_CHANNEL_NODES; k++) {
        if (ch.node[k].kind != NODE_ECHO) continue;
        std::memcpy(node_buf(sh.id, k), node_buf(ch.id, k), MUDO_BUF_BYTES);
        mixer_quiet.node[sh.id] = 0;
    }
}

// Pages of the RAM copy that may hold a byte other than 0. The rest were
// never written since the mixer was cleared and read as zeros, so clearing
// them again is skipped: a copy of a process that uses little of its 16 MB
// then makes the host back only what it uses.
uint64_t ram_page_written[MUDO_RAM_PAGES / 64];

bool ram_page_is_written(uint32_t pg) { return ram_page_written[pg / 64] >> (pg % 64) & 1; }

void mark_ram_written(uint32_t offset, uint32_t length) {
    for (uint32_t pg = offset / MUDO_RAM_PAGE; pg <= (offset + length - 1) / MUDO_RAM_PAGE; pg++)
        ram_page_written[pg / 64] |= 1ull << (pg % 64);
}

}  // namespace

void mudo_clear_mixer() {
    std::memset(&mixer, 0, sizeof mixer);
    std::memset(ram_page_written, 0, sizeof ram_page_written);
    mixer_quiet = all_buffers_silent();
    mudo_forget_rests();
    mudo_master_volume = MUDO_VOLUME_MAX;
    mudo_stereo_swap = 0;
    last_num_samples_mixed = 0;
    number_channels();
    fill_gain_tri();
}

void mudo_init() {
    // The mixer is static, so it starts zeroed; only the first call of a run
    // clears it. A reboot, under the audio lock, only silences what the last
    // boot left playing: clearing 16 MB would race the device.
    if (mudo_inited) {
        mudo_kill_all_audio();
        return;
    }
    mudo_inited = true;
    number_channels();
    fill_gain_tri();
}

void mudo_memcpy(uint32_t offset, const void* src, uint32_t length) {
    if (offset >= MUDO_RAM_SIZE || !src) return;
    length = std::min(length, MUDO_RAM_SIZE - offset);
    if (length == 0) return;
    mark_ram_written(offset, length);
    std::memcpy(mixer.ram + offset, src, length);
}

void mudo_memset(uint32_t offset, int value, uint32_t length) {
    if (offset >= MUDO_RAM_SIZE) return;
    length = std::min(length, MUDO_RAM_SIZE - offset);
    if (length == 0) return;
    if ((uint8_t)value != 0) {
        mark_ram_written(offset, length);
        std::memset(mixer.ram + offset, value, length);
        return;
    }
    const uint32_t end = offset + length;
    for (uint32_t a = offset; a < end;) {
        const uint32_t pg = a / MUDO_RAM_PAGE;
        const uint32_t next = std::min(end, (pg + 1) * MUDO_RAM_PAGE);
        if (ram_page_is_written(pg)) {
            std::memset(mixer.ram + a, 0, next - a);
            // A page cleared whole is zeros again.
            if (next - a == MUDO_RAM_PAGE) ram_page_written[pg / 64] &= ~(1ull << (pg % 64));
        }
        a = next;
    }
}

void reset_channel_state(mudo_channel& ch) {
    ch.mix_vol = 64;
    ch.instrument = MUDO_NO_INSTRUMENT;
    ch.volume = 0;
    ch.pan = 0;
    ch.note = 48;
    ch.pitch_extra = 0;
    ch.pitch16 = 48 << 16;
    ch.volume16 = 0;
    ch.effect = ch.effect_param = 0;
    ch.gate = 0;
    ch.last_inst_arg = MUDO_NO_INSTRUMENT;
}

void render_channel_tick(mudo_channel& ch, int samples) {
    samples = std::clamp(samples, 0, MUDO_BUF_SAMPLES);
    const bool silent = renders_silence(ch);
    // Silence over buffers that hold it: only what the render leaves in the
    // nodes is done, the oscillators' phases and the modulation hook-up.
    const bool skip = silent && known_silent(ch.id, samples);
    if (!skip) {
        std::memset(node_buf(ch.id, 0), 0, sizeof(int16_t) * samples);
        std::memset(node_buf(ch.id, STEREO_NODE_INDEX), 0, sizeof(int16_t) * samples);
    }
    bool has_echo = false;
    for (int i = 0; i < MUDO_INST_NODES; i++) has_echo |= ch.node[i].kind == NODE_ECHO;
    int16_t* stereo_out = node_buf(ch.id, STEREO_NODE_INDEX);
    for (int d = MUDO_INST_NODES - 1; d >= 0; d--) {
        for (int i = 0; i < MUDO_INST_NODES; i++) {
            mudo_node& n = ch.node[i];
            if (n.depth != d) continue;
            if (!skip)
                render_node_crossfaded(ch, i, samples, has_echo);
            else if (n.kind == NODE_OSC && !(n.flags & NODE_FLAG_MUTED))
                skip_node_tick_osc(n, samples);
            if (n.kind == NODE_OSC && n.op == OP_FM && n.parent < i) {
                ch.node[n.parent].mod_src = i;
                ch.node[n.parent].mod_shift = n.mod_shift;
            }
            if (skip) continue;
            int16_t* buf = node_buf(ch.id, i);
            for (int j = i + 1; j < MUDO_INST_NODES; j++) {
                const mudo_node& c = ch.node[j];
                if (c.parent != i || (c.flags & NODE_FLAG_MUTED)) continue;
                if (c.kind == NODE_OSC) {
                    if (ch.stereo && i == 0)
                        combine_child_split(c.op, c.mod_shift, c.p[1], buf, stereo_out, node_buf(ch.id, j), samples);
                    else
                        combine_child(c.op, c.mod_shift, buf, node_buf(ch.id, j), samples);
                } else if (c.kind >= NODE_FILTER && c.kind <= NODE_GAIN) {
                    apply_effect(ch, j, buf, samples);
                    if (c.twin >= 0) apply_effect(ch, c.twin, stereo_out, samples);
                }
            }
        }
    }
    count_up(ch.gate ? ch.ticks_held : ch.ticks_since_release);
    std::memcpy(ch.snapshot, ch.node, sizeof ch.node);
    if (!skip && ch.id < 2 * MUDO_CHANNELS) mixer_quiet.node[ch.id] = silent ? samples : 0;
}

int mix_channel(mudo_channel& ch, int frames, int16_t* out) {
    if (ch.id >= MUDO_CHANNELS) return 0;  // shadows only render through their channel
    if (ch.samples_per_tick <= 0 || ch.samples_per_tick > MUDO_BUF_SAMPLES)
        ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
    int64_t V = (int64_t)mudo_ram8(ADDR_AUDIO_VOLUME) * mix_volume(ch) >> 4;
    if (ch.music)
        V = (int64_t)mudo_ram8(ADDR_AUDIO_MUSIC_VOLUME) * V * std::clamp(mixer.music_volume, 0, MUDO_VOLUME_MAX) /
            16384;
    int done = 0;
    bool loud = false;
    while (done < frames) {
        const int left_in_tick = ch.tick_len - ch.tick_pos;
        if (left_in_tick > 0) {
            const int m = std::min(frames - done, left_in_tick);
            if (ch.tick_pos >= 0 && known_silent(ch.id, ch.tick_pos + m) && !seam_fade_samples(ch, m)) {
                // Silence at any volume and pan; the run leaves only its gains.
                std::memset(out + 2 * done, 0, sizeof(int16_t) * 2 * (size_t)m);
                if (!ch.stereo) pan_gains(ch, ch.last_gain_l, ch.last_gain_r);
            } else {
                loud = true;
                output_stage(ch, ch.heard_volume, m, out + 2 * done);
            }
            ch.tick_pos += m;
            done += m;
            continue;
        }
        if (ch.music) {
            if (ch.pattern_ticks_left < 1) break;
            ch.pattern_ticks_left--;
        }
        grab_node_tree(ch);
        if (ch.track_active) update_channel_track_tick(ch);
        evaluate_channel_node_parameters(ch);
        render_channel_tick(ch, ch.samples_per_tick);
        if (ch.track_active) advance_channel_track_row(ch);
        shadow_seam(ch, ch.samples_per_tick, V);
    }
    if (loud) mixer_quiet.loud |= 1u << ch.id;
    return done;
}
