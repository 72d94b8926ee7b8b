// The mixer entry the audio device drains block by block, and the small
// control interface the main thread steers it with.
#include <algorithm>
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
                // A channel still at rest plays no music; its record is not read.
                const bool is_music = !channel_resting(c) && mixer.channel[c].music != 0;
                if (is_music != (music != 0)) continue;
                const int want = std::min(left[c], limit);
                const int got = want > 0 ? play_channel(c, pos[c], want) : 0;
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
