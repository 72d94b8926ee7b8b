// The synthesizer's inside: the mixer record, instrument nodes, envelopes and
// the channel renderer. Everything here runs on the audio thread, or on the
// main thread while it holds the audio lock; audio.h is the outer contract.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/address_map.h"

// --- sizes and limits ------------------------------------------------------
inline constexpr uint32_t MUDO_RAM_SIZE = 0x1000000;  // the private copy of the focus process
inline constexpr uint32_t MUDO_RAM_PAGE = 4096;       // the copy keeps track of written pages by these
inline constexpr uint32_t MUDO_RAM_PAGES = MUDO_RAM_SIZE / MUDO_RAM_PAGE;
inline constexpr int MUDO_CHANNELS = 16;              // live channels; 16 more are their shadows
inline constexpr int MUDO_INST_NODES = 8;
inline constexpr int MUDO_MAX_CHANNEL_NODES = 9;  // the eight nodes and the stereo output
inline constexpr int STEREO_NODE_INDEX = 8;
inline constexpr int MUDO_NODE_PARAMS = 7;
inline constexpr int MUDO_BUF_SAMPLES = 32768;  // every node buffer; an echo's is its ring
inline constexpr size_t MUDO_BUF_BYTES = sizeof(int16_t) * MUDO_BUF_SAMPLES;
inline constexpr int MUDO_SAMPLES_PER_TICK = 367;
inline constexpr int MUDO_SEAM = 64;  // samples crossfaded at a tick boundary
inline constexpr int MUDO_NO_INSTRUMENT = 255;
inline constexpr int32_t MUDO_ENV_FULL = 65280;  // an envelope's full level, 255 << 8
inline constexpr int32_t MUDO_NO_TRACK_SPEED = 16;
inline constexpr int MUDO_GAIN_TRI_SIZE = 16384;
inline constexpr int32_t MUDO_SAMPLE_MAX = 32767;  // samples clamp to +-this, never -32768
inline constexpr int32_t MUDO_STEREO_UNITY = 4096;

// --- audio RAM layout (the draw-state bytes: core/address_map.h) --------------
inline constexpr uint32_t INST_OFFSET = 0x10000;  // instrument i at base + INST_OFFSET + INST_SIZE * i
inline constexpr uint32_t INST_SIZE = 512;
inline constexpr uint32_t INST_NODE_SIZE = 32;
inline constexpr uint32_t INST_ENVELOPES = 0x100;  // envelope e at + 24 e
inline constexpr uint32_t INST_ENVELOPE_SIZE = 24;
inline constexpr uint32_t INST_FLAGS = 0x1DF;
inline constexpr uint32_t INST_WAVETABLES = 0x1E0;  // descriptor k at + 4 k
inline constexpr uint8_t INST_FLAG_RETRIGGER = 1;
inline constexpr uint8_t INST_FLAG_STEREO = 2;
inline constexpr uint8_t NODE_FLAG_MUTED = 2;
inline constexpr int MUDO_MAX_WAVE_LOG2 = 15;  // keeps 2^(w + 16) within 32 bits

enum mudo_node_kind : uint8_t {
    NODE_SILENT = 0,
    NODE_PITCH = 1,
    NODE_OSC = 2,
    NODE_FILTER = 8,
    NODE_ECHO = 9,
    NODE_GAIN = 10,
};
enum mudo_node_op : uint8_t { OP_ADD = 0, OP_FM = 1, OP_MUL = 2, OP_XOR = 3, OP_OR = 4 };

// mval byte 0 and byte 3
inline constexpr uint8_t MVAL_RELATIVE = 1, MVAL_SCALED = 2, MVAL_ENVELOPE = 4, MVAL_RANDOM = 16,
                         MVAL_WHOLE = 32;
inline constexpr uint8_t MVAL_ENV_INDEX = 15, MVAL_DIVIDE = 32;
// envelope record
enum mudo_env_type : uint8_t { ENV_ADSR = 0, ENV_LFO = 1, ENV_DATA = 2 };
inline constexpr uint8_t ENV_FLAG_INTERPOLATE = 1, ENV_FLAG_RANDOM_START = 8, ENV_FLAG_KEEP_RUNNING = 16;

// --- records -----------------------------------------------------------------

// One node of a channel. Buffers are found by position (channel id and node
// index), never by pointer, so a record copies to its shadow as plain bytes.
struct mudo_node {
    uint32_t addr;  // audio RAM address of the node record
    uint64_t phase, step;  // 16.16 samples within a row
    int64_t freq_mul, freq_div;
    int32_t p[MUDO_NODE_PARAMS];  // evaluated parameters, 16.16
    int32_t time[MUDO_NODE_PARAMS];
    int32_t rnd[MUDO_NODE_PARAMS];  // 0..65,279, drawn at note start
    int64_t level[MUDO_NODE_PARAMS];
    uint8_t parent, op, kind, wave, flags, byte3;
    int32_t twin;     // node repeating this effect on the stereo node, or -1
    int32_t is_twin;
    int32_t depth;
    int32_t mod_shift;  // -6..6
    int32_t mod_src;    // node whose buffer modulates this oscillator, or -1
    uint32_t wt_addr, wt_log2, wt_width, wt_rows;
    int64_t lp, hp, band;
    int32_t echo_pos;
    int64_t echo_prev_delay, echo_prev_fb;  // -1 = none
};

struct mudo_channel {
    uint32_t id;  // 0..15 live, 16..31 shadow
    int32_t mix_vol;
    uint32_t base;
    int32_t instrument, volume, pan, note, pitch_extra, pitch16;
    int32_t pitch_slide, volume_slide;
    int32_t volume16;
    int32_t effect, effect_param;
    int32_t gate, ticks_held, ticks_since_release;
    int32_t vib_phase, arp_step, arp_count, alt_phase, alt_count;
    int32_t max_depth, inst_flags, stereo;
    int32_t row_effect, row_param;
    int32_t last_gain_l, last_gain_r;
    int64_t heard_volume;  // the channel volume V of the current tick, taken at its boundary
    // note setting: the values before the last call, and that call's arguments
    int32_t prev_note, prev_volume, prev_pan, prev_pitch_extra;
    int32_t last_pitch_arg, last_inst_arg, last_vol_arg;
    mudo_node node[MUDO_MAX_CHANNEL_NODES];
    mudo_node snapshot[MUDO_MAX_CHANNEL_NODES];
    // the sequencer's track state
    int32_t track_active, ticks_played, row, tick, row_limit, track;
    uint32_t track_addr;
    int32_t row_count, speed, loop_start, loop_end, row_delay, play_length, music, pattern_ticks_left;
    int32_t samples_per_tick;  // 0 reads as MUDO_SAMPLES_PER_TICK
    int32_t tick_pos, tick_len;
};

// The old sound of a tick whose channel volume changed at its seam, kept
// for the output stage: it fades the old out at the volume it was heard at
// while the new fades in at the tick's, both at the output's own scale.
struct mudo_seam_fade {
    bool active;
    int64_t heard;
    int16_t old[2][MUDO_SEAM];  // node 0 and the stereo node, from the shadow
};

struct mudo_mixer {
    mudo_channel channel[2 * MUDO_CHANNELS];
    uint32_t music_base, music_mask;
    int32_t music_playing, music_pattern;
    int32_t fade_ticks, fade_tick, fade_from, fade_to, music_volume, fade_samples;
    uint64_t rng;  // the mixer's own generator: retriggers never touch the C library's
    uint8_t ram[MUDO_RAM_SIZE];
    int16_t node_output[2 * MUDO_CHANNELS * MUDO_MAX_CHANNEL_NODES][MUDO_BUF_SAMPLES];
    int16_t output[MUDO_CHANNELS][2 * MUDO_BUF_SAMPLES];  // stereo frames, left first
    mudo_node root_node;
    int16_t node_ramp_buf[MUDO_SEAM];
    mudo_seam_fade seam_fade[MUDO_CHANNELS];
};

extern mudo_mixer mixer;
// A channel with no instrument number (none set, or past the last one).
inline bool has_no_instrument(const mudo_channel& ch) {
    return ch.instrument < 0 || ch.instrument >= MUDO_NO_INSTRUMENT;
}

// What the mixer knows to be silent already, so that an idle channel skips
// rendering silence over silence. Node buffers 0..8 of channel id (live and
// shadow) hold zeros in their first node[id] samples; renders keep the count
// (0 knows nothing) and whoever else writes those buffers must lower it.
// Bit c of loud: channel c's output buffer may have taken sound since the
// mixer last cleared the mask. render_all makes every tick render and every
// run go through the output stage, as the reference the tests compare with.
struct mudo_quiet {
    int32_t node[2 * MUDO_CHANNELS];
    uint32_t loud;
    bool render_all;
};
extern mudo_quiet mixer_quiet;
// Set by the settings on the main thread without the audio lock; the mixer
// reads each once a block.
extern std::atomic<int32_t> mudo_master_volume, mudo_stereo_swap;
extern uint16_t gain_tri[MUDO_GAIN_TRI_SIZE];
extern const uint32_t stereo_contrib[256];

// Clears the whole mixer, numbers the channels and fills gain_tri; what the
// first mudo_init does (tests call it to start afresh).
void mudo_clear_mixer();

// --- audio RAM reads: nothing past 16 MB is read; such bytes are 0 -----------
inline uint8_t mudo_ram8(uint64_t a) { return a < MUDO_RAM_SIZE ? mixer.ram[a] : 0; }
inline uint16_t mudo_ram16(uint64_t a) { return (uint16_t)(mudo_ram8(a) | mudo_ram8(a + 1) << 8); }
// A read that runs past the end (kept out of line: the readers' loops are hot).
[[gnu::noinline]] inline void mudo_ram_read_edge(uint64_t a, uint8_t* dst, uint32_t n) {
    uint32_t inside = a >= MUDO_RAM_SIZE ? 0 : (uint32_t)std::min<uint64_t>(n, MUDO_RAM_SIZE - a);
    if (inside) std::memcpy(dst, mixer.ram + a, inside);
    std::memset(dst + inside, 0, n - inside);
}
inline void mudo_ram_read(uint64_t a, uint8_t* dst, uint32_t n) {
    if (a + n <= MUDO_RAM_SIZE)
        for (uint32_t i = 0; i < n; i++) dst[i] = mixer.ram[a + i];
    else
        mudo_ram_read_edge(a, dst, n);
}

// --- instrument layout ---------------------------------------------------------
int32_t get_env_duration(uint8_t v);  // a duration byte in ticks
bool is_mval_signed(int kind, int k);
uint32_t mudo_inst_addr(const mudo_channel& ch);  // of its instrument, base + 0x10000 + 512 i

// --- envelopes and modulated values ----------------------------------------------
int32_t get_channel_spd(const mudo_channel& ch);       // ticks per row, 16 without a track
int32_t get_spd(const mudo_channel& ch, uint8_t dur);  // a duration byte, 0 = the channel's speed
// Levels 0..65,280 of the envelope record at env for time t.
int32_t evaluate_envelope_adsr(const mudo_channel& ch, uint32_t env, int32_t t, int64_t level);
int32_t evaluate_envelope_lfo(const mudo_channel& ch, uint32_t env, int32_t t);
int32_t evaluate_envelope_data(const mudo_channel& ch, uint32_t env, int32_t t);
int32_t eval_envelope(const mudo_channel& ch, uint32_t env, int32_t t, int64_t level);
// Parameter k of node n (of kind n.kind) against parent value P; the 16.16 result.
int32_t eval_mval(mudo_channel& ch, mudo_node& n, int k, int64_t P);
// The pitch step of note p2 (16.16 semitones) and fine p3 (1/2^24 semitone), before any ratio.
int64_t mudo_get_dx_for_note(int32_t p2, int32_t p3);
void evaluate_channel_node_parameters(mudo_channel& ch);
// Its first step: the root every top node inherits from, in mixer.root_node,
// from the channel's note values shaped by its row effect.
void evaluate_root_node(mudo_channel& ch);
// Note start: envelope times restart and every random weight is drawn afresh.
void retrigger_mval_env_tick(mudo_channel& ch, mudo_node& n, int k);
void retrigger_channel_envelopes(mudo_channel& ch);
uint32_t mudo_rand();

// --- nodes ------------------------------------------------------------------------
inline int16_t* node_buf(uint32_t channel_id, int node) {
    return mixer.node_output[channel_id * MUDO_MAX_CHANNEL_NODES + node];
}
void get_stereo_contributions(int32_t pan, int32_t& left, int32_t& right);
void render_node_tick_osc(mudo_node& n, int16_t* out, int samples, const int16_t* mod);
// An oscillator's volume, from p0: at 0 it renders nothing but zeros.
inline int32_t osc_volume(const mudo_node& n) { return (int16_t)(uint16_t)((uint32_t)n.p[0] >> 8); }
// The phase render_node_tick_osc leaves after samples at volume 0, with a
// silent modulator or none, without rendering them. The phase wraps at a
// power of two, so only the count modulo 2^32 matters: runs of many ticks
// are skipped in one call.
void skip_node_tick_osc(mudo_node& n, uint32_t samples);
void render_node_tick(mudo_channel& ch, int i, int samples);
void apply_fx_filter(mudo_node& n, int16_t* buf, int samples);
void apply_fx_echo(mudo_node& n, int16_t* ring, int16_t* buf, int samples);
void apply_fx_gain(const mudo_node& n, int16_t* buf, int samples);
void apply_fx_crush(mudo_node& n, int16_t* buf, int samples);
void combine_child(int op, int shift, int16_t* p, const int16_t* c, int samples);
void combine_child_split(int op, int shift, int32_t pan, int16_t* left, int16_t* right, const int16_t* c,
                         int samples);
void make_node_twins(mudo_channel& ch);

// --- channels -------------------------------------------------------------------------
void reset_channel_state(mudo_channel& ch);  // the note defaults; the id stays
void grab_node_tree(mudo_channel& ch);
void prepare_nodes_for_new_instrument(mudo_channel& ch);
void render_channel_tick(mudo_channel& ch, int samples);
// Whether a render of the channel's nodes as they stand writes nothing but
// zeros: every node in the render order, no effect node, every oscillator
// that is not muted at volume 0.
bool renders_silence(const mudo_channel& ch);
// Buffers of channel id known to hold zeros in their first samples.
bool known_silent(uint32_t id, int samples);
// The target gains of a mono channel's pan, from node 0's p1.
void pan_gains(const mudo_channel& ch, int32_t& L, int32_t& R);
// A tick clock moved on by ticks counts of one, each stopping at INT32_MAX:
// a rendered tick and a run of ticks at rest move it alike.
inline void count_up(int32_t& v, int64_t ticks = 1) {
    v = ticks >= (int64_t)INT32_MAX - v ? INT32_MAX : (int32_t)(v + ticks);
}
// Up to frames stereo frames into out; fewer only when a music channel's
// pattern runs out of ticks.
int mix_channel(mudo_channel& ch, int frames, int16_t* out);

// The sequencer's per-tick steps, run by mix_channel for a channel whose track
// is active: before the parameters are evaluated, and after the tick renders.
void update_channel_track_tick(mudo_channel& ch);
void advance_channel_track_row(mudo_channel& ch);

// --- sequencer and mixer ---------------------------------------------------------------
inline constexpr int32_t MUDO_PAN_KEEP = 0x7FFFFFFF;
inline constexpr int32_t MUDO_NO_VALUE = 255;  // pitch, instrument, volume or effect left unchanged
inline constexpr uint32_t TRACK_OFFSET = 0x20000;  // track t at base + TRACK_OFFSET + TRACK_SIZE t
inline constexpr uint32_t TRACK_SIZE = 328;
inline constexpr uint32_t TRACK_HEADER = 8;
inline constexpr uint32_t PATTERN_OFFSET = 0x100;  // pattern p at music base + PATTERN_OFFSET + PATTERN_SIZE p
inline constexpr uint32_t PATTERN_SIZE = 20;
inline constexpr int32_t MUDO_PATTERNS = 256;
inline constexpr uint8_t PATTERN_LOOP_START = 1, PATTERN_LOOP_BACK = 2, PATTERN_STOP = 4;
inline constexpr uint32_t MUDO_MAX_BASE = 0xF00000;
inline constexpr int MUDO_MIX_MAX_FRAMES = 8192;  // one block; longer requests take several
inline constexpr int MUDO_MAX_PASSES = 1024;
inline constexpr int32_t MUDO_FADE_TICKS_PER_SECOND = 120;
inline constexpr uint8_t AUDIO_FLAG_SILENCE = 4;

void mudo_set_note(int32_t c, int32_t pitch, int32_t inst, int32_t vol, int32_t effect, int32_t param,
                   int32_t retrigger, int32_t pan);
void kill_channel(mudo_channel& ch, bool reset);
int32_t mudo_play_track(int32_t t, int32_t c, int32_t offset, int32_t rows, int32_t keep, int32_t pan,
                        int32_t mix, int32_t base, int32_t start);
int32_t mudo_play_pattern(int32_t p, int32_t start);
void mudo_play_music(int32_t p, int32_t fade_ms, uint32_t mask, int32_t base, int32_t start);
void mudo_stop_music();
void mudo_fade_out_music(int32_t ms);
void advance_pattern();
int32_t calc_pattern_ticks_to_play();
int32_t get_leftmost_nonlooping_channel();  // -1 when none
void mudo_update_fade_tick();

// --- channels at rest (rest.cpp) ----------------------------------------------------------
// A channel whose ticks would change nothing but its clocks moves only them.
// What an idle device block runs for each channel is inline here, as the
// mixer asks it of every channel twice a pass; the check and the clocks are
// in rest.cpp.

// A channel found at rest in a device block, with no writer since (epoch)
// and nothing the check reads moved by its own rest since: the answer
// stands, and its clocks may lag behind, moved on in one go when anything
// looks at the channel (a writer, a block that checks it). However long the
// lag, that costs the same.
struct rest_mark {
    uint64_t epoch;
    int64_t lag;  // frames
    bool resting;
    uint8_t nodes;  // bit i: node i is not silent
};
// What a block reads of the channels at rest, kept apart from what the check
// compares: an idle block reads this alone.
struct mudo_rest_state {
    rest_mark mark[MUDO_CHANNELS];
    // Frames at the start of each channel's output buffer known to hold zeros.
    int zero_frames[MUDO_CHANNELS];
    // Counts the writers from outside the mixer.
    uint64_t writer_epoch = 1;
    bool device_block;  // mixing for the output device: writers are counted
    // The channel whose rest tick came last: the evaluation's scratch is made
    // once, at the end of the block, as that tick would have left it.
    mudo_channel* root_owner;
};
extern mudo_rest_state mixer_rest;

// The mixer forgets which channels it knew to be at rest (the mixer was cleared).
void mudo_forget_rests();

// Only the clocks of a channel at rest move, and the check reads none of
// them: its answer stands until something else writes. A device block
// takes it on trust; any other caller may have written without a word.
// Music moves on within the mixer and may take any channel: no trust then.
inline bool rest_trusted() { return mixer_rest.device_block && !mixer.music_playing && !mixer_quiet.render_all; }
inline bool still_resting(const rest_mark& m) {
    return m.resting && m.epoch == mixer_rest.writer_epoch && rest_trusted();
}
// Whether channel c was found at rest in a device block and stays so on
// trust: its record need not be read.
inline bool channel_resting(int c) { return still_resting(mixer_rest.mark[c]); }

// Silence into channel c's output buffer from frame pos.
inline void silence_output(int c, int pos, int frames) {
    int& zeros = mixer_rest.zero_frames[c];
    if (pos + frames > zeros) std::memset(mixer.output[c] + 2 * pos, 0, sizeof(int16_t) * 2 * (size_t)frames);
    if (pos <= zeros) zeros = std::max(zeros, pos + frames);
}

// play_channel for a channel not resting on trust: checked, then rendered
// or moved on at rest.
int check_and_play_channel(int c, int pos, int frames);
// mix_channel for channel c into its output buffer from frame pos, or, at
// rest, silence there and its clocks moved on.
inline int play_channel(int c, int pos, int frames) {
    rest_mark& m = mixer_rest.mark[c];
    if (!still_resting(m)) return check_and_play_channel(c, pos, frames);
    silence_output(c, pos, frames);
    m.lag += frames;
    return frames;
}

void settle_root_owner();
// The evaluation's scratch left as the last tick at rest would have left it.
inline void settle_root() {
    if (mixer_rest.root_owner) settle_root_owner();
}

// The mixer's own state beside the record.
extern int16_t last_mixed_out[2 * MUDO_MIX_MAX_FRAMES];
extern uint32_t last_num_samples_mixed;
extern uint32_t choose_offset;
