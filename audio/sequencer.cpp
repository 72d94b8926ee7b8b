// The sequencer: notes set on channels, tracks of rows stepped tick by tick
// with their effects, the automatic channel choice of sound effects, and
// patterns chained into music. Runs on the audio thread inside the mixer, or
// on the main thread under the audio lock.
#include <algorithm>
#include <climits>
#include <cstring>

#include "audio/audio.h"
#include "audio/synth.h"

uint32_t choose_offset;

namespace {

int32_t wrap16(int32_t v) { return (int32_t)((uint32_t)v << 16); }

int32_t sat32(int64_t v) { return (int32_t)std::clamp<int64_t>(v, INT32_MIN, INT32_MAX); }

bool is_live(int32_t c) { return (uint32_t)c < (uint32_t)MUDO_CHANNELS; }

uint64_t pattern_addr(int32_t p) {
    return (uint64_t)mixer.music_base + PATTERN_OFFSET + (uint64_t)PATTERN_SIZE * (uint32_t)p;
}

// Node kinds and states cleared, each echo ring zeroed: the channel's sound
// stops at once.
void reset_nodes(mudo_channel& ch) {
    for (int k = 0; k < MUDO_MAX_CHANNEL_NODES; k++) {
        if (ch.node[k].kind == NODE_ECHO) std::memset(node_buf(ch.id, k), 0, MUDO_BUF_BYTES);
        ch.node[k] = mudo_node{};
    }
}

void restart_note(mudo_channel& ch) {
    ch.pitch_extra = 0;
    ch.vib_phase = 0;
    grab_node_tree(ch);
    retrigger_channel_envelopes(ch);
}

void set_note(mudo_channel& ch, int32_t pitch, int32_t inst, int32_t vol, int32_t effect, int32_t param,
              int32_t retrigger, int32_t pan) {
    ch.samples_per_tick = MUDO_SAMPLES_PER_TICK;
    if (inst > MUDO_NO_VALUE) {
        kill_channel(ch, true);
        return;
    }
    ch.prev_note = ch.note, ch.prev_volume = ch.volume, ch.prev_pan = ch.pan, ch.prev_pitch_extra = ch.pitch_extra;
    ch.last_pitch_arg = pitch, ch.last_inst_arg = inst, ch.last_vol_arg = vol;
    const int32_t old_inst = ch.instrument, old_note = ch.note, old_gate = ch.gate;
    if (pitch != MUDO_NO_VALUE) ch.note = pitch;
    if (inst != MUDO_NO_VALUE) ch.instrument = inst;
    if (vol != MUDO_NO_VALUE) ch.volume = vol;
    if (effect != MUDO_NO_VALUE) ch.effect = effect, ch.effect_param = param;
    static constexpr char digit_letters[] = "sv-<>";
    if (ch.effect >= '1' && ch.effect <= '5') ch.effect = digit_letters[ch.effect - '1'];

    const bool given = pitch != MUDO_NO_VALUE;
    ch.gate = given;
    if (!old_gate && given) ch.ticks_held = 0;
    if (old_gate && !given) ch.ticks_since_release = 0;

    const bool changed = ch.instrument != old_inst;
    if (changed) {
        reset_nodes(ch);
        grab_node_tree(ch);
        prepare_nodes_for_new_instrument(ch);
    }
    if (!ch.track_active) {
        ch.pitch16 = wrap16(ch.note);
        ch.volume16 = wrap16(ch.volume);
    } else if (ch.tick == 0 && ch.effect != 's') {
        if (given) ch.pitch16 = wrap16(ch.note);
        if (vol != MUDO_NO_VALUE && ch.effect != 'f') ch.volume16 = wrap16(ch.volume);
    }
    if (ch.gate) {
        const uint8_t flags = mudo_ram8((uint64_t)mudo_inst_addr(ch) + INST_FLAGS);
        if (changed || ch.effect == 'r' || retrigger ||
            (inst != MUDO_NO_VALUE &&
             (!old_gate || (ch.note != old_note && ch.effect != 's') || (flags & INST_FLAG_RETRIGGER))))
            restart_note(ch);
    }
    if (pan != MUDO_PAN_KEEP) ch.pan = std::clamp(pan, -127, 127);
    if (ch.effect == 'p') ch.pan = (ch.effect_param & 0xFF) - 128;
}

void release_note(mudo_channel& ch) {
    set_note(ch, MUDO_NO_VALUE, MUDO_NO_VALUE, MUDO_NO_VALUE, MUDO_NO_VALUE, MUDO_NO_VALUE, 0, MUDO_PAN_KEEP);
}

void stop_track(mudo_channel& ch) {
    release_note(ch);
    ch.track_active = 0;
    ch.gate = 0;
}

uint8_t row_byte(const mudo_channel& ch, int column) {
    return mudo_ram8((uint64_t)ch.track_addr + TRACK_HEADER + (uint64_t)column * (uint32_t)ch.row_count +
                     (uint32_t)ch.row);
}

void set_row_note(mudo_channel& ch, int32_t retrigger) {
    set_note(ch, row_byte(ch, 0), row_byte(ch, 1), row_byte(ch, 2), row_byte(ch, 3), row_byte(ch, 4), retrigger,
             MUDO_PAN_KEEP);
}

// v moves by step towards target and stops there.
int32_t slide_towards(int32_t v, int32_t step, int64_t target) {
    const int64_t n = (int64_t)v + step;
    if ((step > 0 && n > target) || (step < 0 && n < target)) return sat32(target);
    return sat32(n);
}

int32_t signed_like(int64_t magnitude, int64_t d) { return sat32(d < 0 ? -magnitude : magnitude); }

void follow_note(mudo_channel& ch) {
    if (ch.last_pitch_arg != MUDO_NO_VALUE) ch.pitch16 = wrap16(ch.note);
    if (ch.last_vol_arg != MUDO_NO_VALUE) ch.volume16 = wrap16(ch.volume);
}

void apply_track_effect(mudo_channel& ch) {
    const int32_t x = ch.effect_param & 0xFF, spd = get_channel_spd(ch);
    const int64_t pitch_to = (int64_t)wrap16(ch.note), vol_to = (int64_t)wrap16(ch.volume);
    switch (ch.effect) {
    case 'c':
        if (x == ch.tick) {
            ch.instrument = MUDO_NO_INSTRUMENT;
            reset_nodes(ch);
        }
        break;
    case 's':
        if (ch.tick == 0) {
            const int64_t d = pitch_to - ch.pitch16;
            ch.pitch_slide = x == 0 ? sat32(d / spd) : signed_like((int64_t)get_env_duration((uint8_t)x) * 256, d);
            ch.volume_slide = sat32((vol_to - ch.volume16) / spd);
        }
        ch.pitch16 = slide_towards(ch.pitch16, ch.pitch_slide, pitch_to);
        if (ch.last_vol_arg != MUDO_NO_VALUE) ch.volume16 = slide_towards(ch.volume16, ch.volume_slide, vol_to);
        break;
    case 'f':
        if (ch.tick == 0) {
            const int64_t d = vol_to - ch.volume16;
            ch.volume_slide = x == 0 ? sat32(d / spd) : signed_like((int64_t)get_env_duration((uint8_t)x) * 1024, d);
        }
        if (ch.last_pitch_arg != MUDO_NO_VALUE) ch.pitch16 = wrap16(ch.note);
        ch.volume16 = slide_towards(ch.volume16, ch.volume_slide, vol_to);
        break;
    case '+':
        ch.pitch16 = (int32_t)std::min<int64_t>((int64_t)ch.pitch16 + (x ? get_env_duration((uint8_t)x) * 128 : 0x800),
                                                 std::max<int64_t>(ch.pitch16, 0xFFFFFF));
        if (ch.last_vol_arg != MUDO_NO_VALUE) ch.volume16 = wrap16(ch.volume);
        break;
    case '-':
        ch.pitch16 = (int32_t)std::max<int64_t>((int64_t)ch.pitch16 - (x ? get_env_duration((uint8_t)x) * 128 : 0x4D800),
                                                 std::min<int64_t>(ch.pitch16, 0));
        if (ch.last_vol_arg != MUDO_NO_VALUE) ch.volume16 = wrap16(ch.volume);
        break;
    default:
        // "d", "r" and "p" do their part at the row trigger and note setting;
        // like every other letter their note follows the row, or a delayed or
        // repeated note would keep the pitch of the row before.
        follow_note(ch);
        break;
    }
}

bool loops(const mudo_channel& ch) { return ch.loop_end > ch.loop_start; }

}  // namespace

void mudo_set_note(int32_t c, int32_t pitch, int32_t inst, int32_t vol, int32_t effect, int32_t param,
                   int32_t retrigger, int32_t pan) {
    if (c == -1) {
        mudo_kill_all_audio();
        return;
    }
    if (!is_live(c)) return;
    set_note(mixer.channel[c], pitch, inst, vol, effect, param, retrigger, pan);
}

void kill_channel(mudo_channel& ch, bool reset) {
    stop_track(ch);
    if (!reset) return;
    reset_channel_state(ch);
    reset_nodes(ch);
}

void update_channel_track_tick(mudo_channel& ch) {
    if (ch.tick == 0) {
        if (ch.row_delay > 0) {
            ch.row_delay--;
        } else if (ch.row < 0 || ch.row >= ch.play_length) {
            const bool ended = ch.row >= ch.play_length && !loops(ch);
            release_note(ch);
            ch.row_effect = ch.row_param = 0;
            if (ended) {
                ch.track_active = ch.gate = 0;
                return;
            }
        } else {
            ch.row_effect = row_byte(ch, 3);
            ch.row_param = row_byte(ch, 4);
            if (!(ch.row_effect == 'd' && ch.row_param != 0)) set_row_note(ch, 0);
        }
    } else {
        const int32_t x = ch.effect_param & 0xFF;
        if ((ch.row_effect == 'd' && ch.tick == ch.row_param) || (ch.effect == 'r' && x >= 1 && ch.tick % x == 0))
            set_row_note(ch, 1);
    }
    apply_track_effect(ch);
}

void advance_channel_track_row(mudo_channel& ch) {
    if (ch.ticks_played < INT32_MAX) ch.ticks_played++;
    if (++ch.tick < get_channel_spd(ch)) return;
    if (ch.row < INT32_MAX) ch.row++;
    if (ch.row_limit != 0 && ch.row == ch.row_limit) stop_track(ch);
    if (ch.loop_end <= ch.row && loops(ch)) ch.row = ch.loop_start;
    ch.tick = 0;
}

int32_t mudo_play_track(int32_t t, int32_t c, int32_t offset, int32_t rows, int32_t keep, int32_t pan, int32_t mix,
                        int32_t base, int32_t start) {
    if (t < 0) {
        const int32_t first = c < 0 ? 0 : std::clamp(c, 0, MUDO_CHANNELS - 1);
        const int32_t last = c < 0 ? MUDO_CHANNELS - 1 : first;
        for (int32_t k = first; k <= last; k++) {
            mudo_channel& ch = mixer.channel[k];
            switch (t) {
            case -1: stop_track(ch); break;
            case -2: kill_channel(ch, true); break;
            case -3: ch.loop_end = 0; break;
            case -4: ch.mix_vol = std::clamp(offset, 0, 255); break;
            default: break;
            }
        }
        return -1;
    }
    // A header and rows that would run past audio RAM are refused before
    // anything changes; the reads below stay bounded all the same.
    const uint32_t b = (uint32_t)std::clamp<int32_t>(base, 0, (int32_t)MUDO_MAX_BASE);
    const uint64_t at = (uint64_t)b + TRACK_OFFSET + (uint64_t)TRACK_SIZE * (uint32_t)t;
    if (at + TRACK_HEADER > MUDO_RAM_SIZE) return -1;
    const uint32_t L = std::max<uint32_t>(mudo_ram16(at), 1);
    if (at + TRACK_HEADER + 5ull * L > MUDO_RAM_SIZE) return -1;

    if (c == -1) {
        const uint32_t s = (choose_offset + 1) % MUDO_CHANNELS;
        choose_offset = s;
        const uint32_t mask = mixer.music_mask;
        c = -1;
        for (uint32_t k = 0; k < 16 && c < 0; k++) {
            const mudo_channel& ch = mixer.channel[(s + k) % 16];
            if (!ch.music && ch.track_active && ch.track == t) c = (int32_t)((s + k) % 16);
        }
        for (uint32_t k = 0; k < 8 && c < 0; k++) {
            const uint32_t n = 8 + (s + k) % 8;
            if (!(mask >> n & 1) && !mixer.channel[n].track_active) c = (int32_t)n;
        }
        for (uint32_t k = 0; k < 16 && c < 0; k++) {
            const uint32_t n = (s + 16 - k) % 16;
            if (!(mask >> n & 1)) c = (int32_t)n;
        }
        if (c < 0) return -1;
    }
    if (!is_live(c)) return -1;
    mudo_channel& ch = mixer.channel[c];
    if (!keep) reset_channel_state(ch);
    ch.base = b;
    ch.track = t;
    ch.track_active = 1;
    ch.ticks_played = 0;
    ch.track_addr = (uint32_t)at;
    ch.row_count = (int32_t)L;
    ch.speed = mudo_ram8(at + 2) ? mudo_ram8(at + 2) : MUDO_NO_TRACK_SPEED;
    ch.loop_start = mudo_ram8(at + 3);
    ch.loop_end = mudo_ram8(at + 4);
    ch.row_delay = mudo_ram8(at + 5);
    ch.play_length = (int32_t)L;
    if (ch.loop_start >= ch.loop_end && ch.loop_start != 0) ch.play_length = std::min((int32_t)L, ch.loop_start);
    ch.row_limit = rows != 0 ? sat32((int64_t)offset + rows) : 0;
    ch.row = sat32((int64_t)start / ch.speed + offset);
    ch.tick = start % ch.speed;
    if (ch.tick < 0) ch.tick = 0;
    if (pan != MUDO_PAN_KEEP) ch.pan = std::clamp(pan, -128, 127);
    if (!keep) ch.mix_vol = mix & 0xFF;
    return c;
}

int32_t get_leftmost_nonlooping_channel() {
    for (int c = 0; c < 8; c++) {
        const mudo_channel& ch = mixer.channel[c];
        if ((mixer.music_mask >> c & 1) && ch.track_active && !loops(ch)) return c;
    }
    return -1;
}

int32_t calc_pattern_ticks_to_play() {
    const int32_t c = get_leftmost_nonlooping_channel();
    if (c < 0) return INT32_MAX;
    const mudo_channel& ch = mixer.channel[c];
    return sat32((int64_t)std::max(ch.speed, 1) * ch.play_length);
}

int32_t mudo_play_pattern(int32_t p, int32_t start) {
    if (p < 0 || p >= MUDO_PATTERNS) return 0;
    mixer.music_pattern = p;
    mixer.music_playing = 1;
    int32_t was_music[MUDO_CHANNELS];
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        was_music[c] = mixer.channel[c].music;
        mixer.channel[c].music = 0;
    }
    const uint64_t at = pattern_addr(p);
    const uint8_t channels = mudo_ram8(at + 9);
    for (int c = 0; c < 8; c++) {
        if (!(mixer.music_mask >> c & 1)) continue;
        mudo_channel& ch = mixer.channel[c];
        if (channels >> c & 1) {
            mudo_play_track(mudo_ram8(at + c), c, 0, 0, was_music[c], MUDO_PAN_KEEP, 64, (int32_t)mixer.music_base,
                            start);
            ch.music = 1;
        } else {
            stop_track(ch);
        }
    }
    const int32_t budget = calc_pattern_ticks_to_play();
    for (auto& ch : mixer.channel)
        if (ch.id < MUDO_CHANNELS && ch.music) ch.pattern_ticks_left = budget;
    return budget;
}

void advance_pattern() {
    const int32_t p = mixer.music_pattern;
    const uint8_t flags = mudo_ram8(pattern_addr(p) + 8);
    if (flags & PATTERN_STOP) {
        mudo_stop_music();
    } else if (flags & PATTERN_LOOP_BACK) {
        int32_t q = 0;
        if ((flags & PATTERN_LOOP_START) || p < 1) {
            q = p;
        } else {
            for (int32_t k = p - 1; k >= 0; k--)
                if (mudo_ram8(pattern_addr(k) + 8) & PATTERN_LOOP_START) {
                    q = k;
                    break;
                }
        }
        mudo_play_pattern(q, 0);
    } else if (p >= MUDO_PATTERNS - 1) {
        mudo_stop_music();
    } else {
        mudo_play_pattern(p + 1, 0);
    }
}

namespace {
int32_t fade_ticks_for(int32_t ms) {
    return sat32((int64_t)ms * MUDO_FADE_TICKS_PER_SECOND / 1000);
}
}  // namespace

void mudo_play_music(int32_t p, int32_t fade_ms, uint32_t mask, int32_t base, int32_t start) {
    if (p < 0 || p >= MUDO_PATTERNS) return;
    mixer.music_playing = 1;
    mixer.music_mask = mask;
    mixer.music_pattern = p;
    mixer.music_base = (uint32_t)std::clamp<int32_t>(base, 0, (int32_t)MUDO_MAX_BASE);
    mudo_play_pattern(p, start);
    const int32_t ticks = fade_ms < 1 ? 0 : fade_ticks_for(fade_ms);
    if (ticks < 1) {
        // Also a fade shorter than a tick: otherwise the music would stay at
        // the fade's starting volume.
        mixer.fade_ticks = 0;
        mixer.music_volume = MUDO_VOLUME_MAX;
        return;
    }
    mixer.fade_tick = 0;
    mixer.fade_to = MUDO_VOLUME_MAX;
    mixer.fade_from = mixer.fade_ticks ? mixer.music_volume : 0;
    mixer.music_volume = mixer.fade_from;
    mixer.fade_ticks = ticks;
}

void mudo_stop_music() {
    for (int c = 0; c < 8; c++) {
        mudo_channel& ch = mixer.channel[c];
        if (!ch.music) continue;
        kill_channel(ch, true);
        ch.music = 0;
        ch.pattern_ticks_left = 0;
    }
    mixer.music_mask = 0;
    mixer.music_playing = 0;
    mixer.music_pattern = 0;
}

void mudo_fade_out_music(int32_t ms) {
    const int32_t ticks = ms < 1 ? 0 : fade_ticks_for(ms);
    if (ticks < 1) {
        mixer.fade_ticks = 0;
        mixer.music_volume = 0;
        if (ms < 1) mudo_stop_music();  // a fade shorter than a tick only silences
        return;
    }
    mixer.fade_to = 0;
    mixer.fade_tick = 0;
    mixer.fade_from = mixer.fade_ticks ? mixer.music_volume : MUDO_VOLUME_MAX;
    mixer.music_volume = mixer.fade_from;
    mixer.fade_ticks = ticks;
}

void mudo_update_fade_tick() {
    if (mixer.fade_ticks == 0) return;
    const int64_t v = (int64_t)(mixer.fade_to - mixer.fade_from) * mixer.fade_tick / mixer.fade_ticks + mixer.fade_from;
    mixer.music_volume = (int32_t)std::clamp<int64_t>(v, 0, MUDO_VOLUME_MAX);
    if (mixer.fade_tick < INT32_MAX) mixer.fade_tick++;
    if (mixer.fade_ticks <= mixer.fade_tick) {
        mixer.fade_ticks = 0;
        mixer.music_volume = mixer.fade_to;
    }
}
