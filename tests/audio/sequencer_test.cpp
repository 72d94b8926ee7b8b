// The sequencer and the mixer entry: row timing, loops, pattern chains and
// their tick budget, fades, effects, the channel choice, refused tracks, and
// what mudo_mix makes of the channels.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <random>
#include <vector>

#include "audio/audio.h"
#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

constexpr int TICK = MUDO_SAMPLES_PER_TICK;

struct row {
    int pitch = 57, inst = 1, vol = 64, effect = 0, param = 0;
};

uint32_t track_at(int t) { return BASE + TRACK_OFFSET + TRACK_SIZE * t; }

void write_track(int t, const std::vector<row>& rows, int speed, int loop_start = 0, int loop_end = 0) {
    const uint32_t a = track_at(t), L = (uint32_t)rows.size();
    mixer.ram[a] = (uint8_t)L, mixer.ram[a + 1] = (uint8_t)(L >> 8);
    mixer.ram[a + 2] = (uint8_t)speed, mixer.ram[a + 3] = (uint8_t)loop_start, mixer.ram[a + 4] = (uint8_t)loop_end;
    for (uint32_t r = 0; r < L; r++) {
        const int v[5] = {rows[r].pitch, rows[r].inst, rows[r].vol, rows[r].effect, rows[r].param};
        for (int k = 0; k < 5; k++) mixer.ram[a + TRACK_HEADER + k * L + r] = (uint8_t)v[k];
    }
}

void write_pattern(int p, int flags, std::vector<int> tracks) {
    const uint32_t a = BASE + PATTERN_OFFSET + PATTERN_SIZE * p;
    uint8_t mask = 0;
    for (size_t c = 0; c < tracks.size(); c++) {
        mixer.ram[a + c] = (uint8_t)tracks[c];
        mask |= (uint8_t)(1 << c);
    }
    mixer.ram[a + 8] = (uint8_t)flags;
    mixer.ram[a + 9] = mask;
}

std::vector<int16_t> mix(int frames) {
    std::vector<int16_t> out(2 * (size_t)frames);
    mudo_mix(out.data(), frames);
    return out;
}

// A note as the note call sets it: instrument 1 from the harness's base.
void note_on(int c, int pan = 0) {
    mudo_set_channel_base_addr(c, BASE);
    mudo_set_note(c, 57, 1, 64, 0, 0, 1, pan);
}

int16_t peak(const std::vector<int16_t>& s) { return *std::max_element(s.begin(), s.end()); }

int32_t play(int t, int c = 0) { return mudo_play_track(t, c, 0, 0, 0, MUDO_PAN_KEEP, 64, BASE, 0); }

struct sequencer : ::testing::Test {
    void SetUp() override {
        fresh_mixer();
        put_samples(TABLE, sine_row(10));
        instrument(1).osc(0, 0).wavetable(0, TABLE, 10, 1);
    }
};

TEST_F(sequencer, a_row_lasts_speed_ticks_and_the_note_switches_with_it) {
    for (int speed : {1, 3, 0}) {
        SetUp();
        write_track(0, {{57}, {69}, {57}, {69}}, speed);
        ASSERT_EQ(play(0), 0);
        const int ticks = speed ? speed : 16;
        for (int r = 0; r < 4; r++) {
            EXPECT_EQ(mudo_get_channel_state(0, 9, nullptr), r) << speed;
            const auto out = side(mix(ticks * TICK), 0);
            // Past the seam the tick is one pure tone: A4 or A5.
            const std::vector<int16_t> body(out.begin() + MUDO_SEAM, out.begin() + TICK);
            const double a4 = tone_level(body, 440), a5 = tone_level(body, 880);
            EXPECT_GT(r % 2 ? a5 : a4, 10 * (r % 2 ? a4 : a5)) << speed << " row " << r;
        }
    }
    // A row count of 0 plays one row.
    write_track(1, {}, 1);
    mixer.ram[track_at(1) + TRACK_HEADER] = 60;
    ASSERT_EQ(play(1, 2), 2);
    EXPECT_EQ(mixer.channel[2].play_length, 1);
}

// The row read at each tick of a speed-1 track; -1 once it has ended.
std::vector<int> rows_played(int ticks) {
    std::vector<int> rows;
    for (int i = 0; i < ticks; i++) {
        const mudo_channel& ch = mixer.channel[0];
        if (!ch.track_active) {
            rows.push_back(-1);
            break;
        }
        rows.push_back(ch.row);
        mix(TICK);
    }
    return rows;
}

std::vector<int> seq(std::initializer_list<std::pair<int, int>> runs) {
    std::vector<int> v;
    for (auto [from, to] : runs)
        for (int r = from; r <= to; r++) v.push_back(r);
    return v;
}

TEST_F(sequencer, loops_and_ends) {
    const struct {
        int loop_start, loop_end;
        std::vector<int> rows;
    } cases[] = {
        {8, 4, seq({{0, 8}, {-1, -1}})},  // play length 8: row 8 releases and ends
        {0, 4, seq({{0, 3}, {0, 3}, {0, 3}})},
        {4, 8, seq({{0, 7}, {4, 7}, {4, 7}})},
        {0, 0, seq({{0, 64}, {-1, -1}})},
    };
    for (const auto& c : cases) {
        SetUp();
        write_track(0, std::vector<row>(64), 1, c.loop_start, c.loop_end);
        play(0);
        EXPECT_EQ(rows_played((int)c.rows.size()), c.rows) << c.loop_start << "/" << c.loop_end;
    }
}

TEST_F(sequencer, patterns_chain_loop_back_and_stop) {
    const struct {
        const char* name;
        std::function<void()> lay;
        int first;
        std::vector<int> patterns;  // each pattern as it starts; -1: the music stopped
    } cases[] = {
        {"loop back to the loop start",
         [] { write_pattern(0, 0, {0}), write_pattern(1, PATTERN_LOOP_START, {0}), write_pattern(2, PATTERN_LOOP_BACK, {0}); },
         0, {0, 1, 2, 1, 2, 1}},
        {"loop back without a loop start", [] { write_pattern(0, 0, {0}), write_pattern(1, PATTERN_LOOP_BACK, {0}); }, 0,
         {0, 1, 0, 1}},
        {"stop", [] { write_pattern(0, 0, {0}), write_pattern(1, PATTERN_STOP, {0}); }, 0, {0, 1, -1}},
        {"pattern 255 ends", [] { write_pattern(254, 0, {0}), write_pattern(255, 0, {0}); }, 254, {254, 255, -1}},
        {"looping tracks never end", [] { write_pattern(0, 0, {1, 1}); }, 0, {0}},
    };
    for (const auto& c : cases) {
        SetUp();
        write_track(0, std::vector<row>(4), 1);  // 4 ticks a pattern
        write_track(1, std::vector<row>(4), 1, 0, 4);  // loops: never ends a pattern
        c.lay();
        mudo_play_music(c.first, 0, 0xFF, BASE, 0);
        std::vector<int> seen = {mudo_get_music_state(0)};
        for (int t = 0; t < 40 && seen.back() >= 0; t++) {
            mix(TICK);
            const int p = mudo_get_music_state(0);
            if (p != seen.back()) seen.push_back(p);
        }
        seen.resize(std::min(seen.size(), c.patterns.size()));
        EXPECT_EQ(seen, c.patterns) << c.name;
    }
    EXPECT_EQ(mudo_get_music_state(1), 0);  // all loop: no channel to report
    EXPECT_TRUE(mixer.music_playing);
}

TEST_F(sequencer, a_pattern_switches_after_speed_times_play_length_ticks) {
    write_track(3, std::vector<row>(8), 2);
    write_pattern(0, 0, {5, 3});  // channel 1 sets the budget; channel 0's track 5 is empty and loops
    write_track(5, std::vector<row>(2), 1, 0, 2);
    write_pattern(1, 0, {3, 3});
    mudo_play_music(0, 0, 0xFF, BASE, 0);
    EXPECT_EQ(mudo_get_music_state(1), 1);
    mix(16 * TICK);
    EXPECT_EQ(mudo_get_music_state(0), 0);
    mix(1);
    EXPECT_EQ(mudo_get_music_state(0), 1);
    // Both channels started the new pattern together, from its first tick.
    EXPECT_EQ(mixer.channel[0].ticks_played, mixer.channel[1].ticks_played);
}

TEST_F(sequencer, fades) {
    write_track(0, std::vector<row>(4), 1, 0, 4);
    write_pattern(0, 0, {0});
    // A fade-out of 1,000 ms takes 120 ticks and keeps the music playing.
    mudo_play_music(0, 0, 0xFF, BASE, 0);
    mudo_fade_out_music(1000);
    EXPECT_EQ(mixer.fade_ticks, 120);
    mix(119 * TICK);
    EXPECT_GT(mixer.music_volume, 0);
    mix(TICK);
    EXPECT_EQ(mixer.music_volume, 0);
    EXPECT_TRUE(mixer.music_playing);
    // A fade-in interrupted by a fade-out starts that from the level reached.
    mudo_play_music(0, 1000, 0xFF, BASE, 0);
    EXPECT_EQ(mixer.music_volume, 0);
    mix(60 * TICK);
    const int reached = mixer.music_volume;
    EXPECT_NEAR(reached, 126, 2);
    mudo_fade_out_music(500);
    EXPECT_EQ(mixer.fade_from, reached);
    // One tick jumps to the end; shorter than a tick means no fade at all.
    mudo_play_music(0, 9, 0xFF, BASE, 0);
    EXPECT_EQ(mixer.fade_ticks, 1);
    mix(TICK);
    EXPECT_EQ(mixer.music_volume, 256);
    mudo_fade_out_music(5);
    EXPECT_EQ(mixer.music_volume, 0);
    EXPECT_TRUE(mixer.music_playing);
    mudo_play_music(0, 5, 0xFF, BASE, 0);
    EXPECT_EQ(mixer.music_volume, 256);
    // Hours of fade compute without overflow; 0 ms stops the music.
    mudo_fade_out_music(INT32_MAX);
    EXPECT_EQ(mixer.fade_ticks, (int32_t)((int64_t)INT32_MAX * 120 / 1000));
    mix(2 * TICK);
    EXPECT_EQ(mixer.music_volume, 256);
    mudo_fade_out_music(0);
    EXPECT_FALSE(mixer.music_playing);
    EXPECT_EQ(mudo_get_music_state(0), -1);
}

TEST_F(sequencer, effects) {
    // "-" and "+" with parameter 0 step pitch16 by 0x4D800 down and 0x800 up a tick.
    for (auto [effect, step] : {std::pair{'-', -0x4D800}, std::pair{'+', 0x800}}) {
        SetUp();
        write_track(0, {{60, 1, 64, effect, 0}}, 8);
        play(0);
        mix(1);
        for (int k = 0; k < 4; k++) {
            const int32_t before = mixer.channel[0].pitch16;
            mix(TICK);
            EXPECT_EQ(mixer.channel[0].pitch16 - before, step) << effect;
        }
    }
    // "d" 3 at speed 2 never comes; "d" 1 at speed 2 sounds from the second tick.
    for (auto [param, sounds] : {std::pair{3, false}, std::pair{1, true}}) {
        SetUp();
        write_track(0, {{57, 1, 64, 'd', param}}, 2);
        play(0);
        mix(TICK);
        EXPECT_EQ(mixer.channel[0].instrument, 255);
        const auto out = mix(TICK);
        EXPECT_EQ(*std::max_element(out.begin(), out.end()) > 1000, sounds) << param;
        if (sounds) {
            EXPECT_EQ(mixer.channel[0].pitch16, 57 << 16);  // the delayed note's own pitch
        }
    }
    // "s" slides to the new pitch over the row without passing it.
    SetUp();
    write_track(0, {{48}, {60, 1, 64, 's', 0}}, 4);
    play(0);
    mix(4 * TICK + 1);
    EXPECT_EQ(mixer.channel[0].pitch16, (48 << 16) + (12 << 16) / 4);
    mix(4 * TICK);
    EXPECT_EQ(mixer.channel[0].pitch16, 60 << 16);
    // Release only: everything but the gate stays.
    mudo_channel& ch = mixer.channel[3];
    mudo_set_note(3, 62, 1, 50, 'v', 7, 1, -40);
    mudo_set_note(3, 255, 255, 255, 255, 255, 0, MUDO_PAN_KEEP);
    EXPECT_EQ(ch.gate, 0);
    EXPECT_EQ(std::vector<int>({ch.note, ch.instrument, ch.volume, ch.effect, ch.effect_param, ch.pan}),
              std::vector<int>({62, 1, 50, 'v', 7, -40}));
    // Huge values wrap instead of overflowing.
    mudo_set_note(3, 40000, 1, 40000, 0, 0, 1, 999);
    EXPECT_EQ(ch.pitch16, (int32_t)(40000u << 16));
    mudo_set_note(3, 60, 300, 64, 0, 0, 1, 0);  // an instrument above 255 resets the channel
    EXPECT_EQ(std::vector<int>({ch.instrument, ch.note, ch.mix_vol, ch.gate}), std::vector<int>({255, 48, 64, 0}));
}

TEST_F(sequencer, channel_choice_and_commands) {
    write_track(4, std::vector<row>(16), 4);
    write_track(6, std::vector<row>(16), 4);
    // A sound effect already playing restarts where it plays.
    ASSERT_EQ(play(4, 9), 9);
    mix(TICK);
    EXPECT_EQ(play(4, -1), 9);
    // Free channels are taken from 8..15 first.
    const int c = play(6, -1);
    EXPECT_GE(c, 8);
    EXPECT_NE(c, 9);
    // Everything busy: counting down from the rotating start to the first
    // channel outside the music, taken even while it plays.
    for (int k = 8; k < 16; k++) play(6, k);
    mix(TICK);
    mixer.music_mask = 0xFF;
    choose_offset = 2;
    EXPECT_EQ(play(7, -1), 15);
    mixer.music_mask = 0xFFFF;
    EXPECT_EQ(play(5, -1), -1);
    mixer.music_mask = 0;
    // Commands act on one channel, or all of them for a negative channel.
    mudo_play_track(-4, 3, 300, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(mixer.channel[3].mix_vol, 255);
    mudo_play_track(-1, 9, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(mudo_get_active_channels(), 7);
    mudo_play_track(-1, -1, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(mudo_get_active_channels(), 0);
    EXPECT_EQ(mudo_get_channel_state(9, 12, nullptr), -1);
    EXPECT_EQ(mudo_get_channel_state(9, 13, nullptr), 6);
}

TEST_F(sequencer, tracks_past_audio_ram_are_refused) {
    const int32_t high = 0xF00000;
    const uint32_t near_end = high + TRACK_OFFSET + TRACK_SIZE * 2597;  // 0xFEFF68
    mixer.ram[near_end] = 0xFF, mixer.ram[near_end + 1] = 0xFF;  // 65,535 rows: past the end
    const struct {
        int32_t t, base, want;
    } cases[] = {
        {2597, high, -1},
        {2597, 0x7FFFFFFF, -1},  // the base is clamped to 0xF00000 first
        {40000, high, -1},
        {INT32_MAX, high, -1},
        {2596, 0x7FFFFFFF, 0},
        {0, -5, 0},
    };
    for (auto c : cases) {
        EXPECT_EQ(mudo_play_track(c.t, 0, 0, 0, 0, MUDO_PAN_KEEP, 64, c.base, 0), c.want) << c.t;
        if (c.want == 0) {
            EXPECT_LE(mixer.channel[0].base, MUDO_MAX_BASE);
        }
    }
    for (int i = 0; i < 20; i++) mix(TICK);  // plays whatever it holds without leaving audio RAM
}

struct mixer_entry : sequencer {};

TEST_F(mixer_entry, fills_every_frame_asked_whatever_the_request) {
    auto fresh_note = [this] {
        SetUp();
        note_on(0);
    };
    fresh_note();
    std::vector<int16_t> whole(20000, 0x5A5A);
    mudo_mix(whole.data(), 10000);
    fresh_note();
    std::vector<int16_t> chunked;
    for (int i = 0; i < 10000; i += 512) {
        const auto part = mix(std::min(512, 10000 - i));
        chunked.insert(chunked.end(), part.begin(), part.end());
    }
    EXPECT_GT(peak(whole), 10000);
    EXPECT_EQ(whole, chunked);
    EXPECT_EQ(mudo_get_channel_state(-1, -1, whole.data()), 10000 - 19 * 512);
}

TEST_F(mixer_entry, silence_bit_master_volume_and_swap) {
    auto start = [this](int pan) {
        SetUp();
        note_on(0, pan);
    };
    start(0);
    const auto reference = mix(3000);
    EXPECT_GT(peak(reference), 10000);
    start(0);
    auto first = mix(1000);
    mixer.ram[ADDR_AUDIO_FLAGS] |= AUDIO_FLAG_SILENCE;
    const auto paused = mix(700);
    EXPECT_EQ(paused, std::vector<int16_t>(1400, 0));
    EXPECT_EQ(mudo_get_channel_state(-1, -1, std::vector<int16_t>(2 * 8192).data()), 1000);
    mixer.ram[ADDR_AUDIO_FLAGS] &= ~AUDIO_FLAG_SILENCE;
    const auto rest = mix(2000);
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, reference);

    // Master volume is only a mute: 1 and 256 sound the same, 0 is silent
    // while the channels go on.
    mudo_set_volume(1);
    start(0);
    mudo_set_volume(1);
    EXPECT_EQ(mix(3000), reference);
    start(0);
    mudo_set_volume(0);
    EXPECT_EQ(mix(3000), std::vector<int16_t>(6000, 0));
    EXPECT_EQ(mixer.channel[0].ticks_held, 9);
    mudo_set_volume(999);
    EXPECT_EQ(mudo_master_volume.load(), 256);

    start(-127);
    mudo_set_stereo_swap(1);
    const auto swapped = mix(2000);
    EXPECT_GT(peak(side(swapped, 1)), 10000);
    EXPECT_EQ(side(swapped, 0), std::vector<int16_t>(2000, 0));
    mudo_set_stereo_swap(0);
}

TEST_F(mixer_entry, sixteen_loud_channels_saturate) {
    mixer.ram[ADDR_AUDIO_VOLUME] = 255;
    for (int c = 0; c < 16; c++) note_on(c);
    const auto out = mix(4000);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 32767);
    EXPECT_EQ(*std::min_element(out.begin(), out.end()), -32767);
}

// Random scenes of short notes (on an empty instrument, a sine, one with an
// echo, a stereo one, a muted and a modulating oscillator, a filter, a
// volume that wraps negative), tracks, vibrato without an instrument,
// releases to volume 0, kills mid-tick and odd tick lengths, each trailing
// off into silence. Mixed as they come, again with every tick rendered and every
// run through the output stage, and in device blocks that trust a channel at
// rest until a writer announces itself: the blocks, what the queries copy and
// the channel records after every step agree, and the first two leave the
// same whole mixer.
TEST_F(mixer_entry, silence_skipped_mixes_as_if_rendered) {
    struct step {
        int what, c, a, b, frames;
    };
    auto act = [](const step& s) {
        mudo_channel& ch = mixer.channel[s.c];
        const int pan = s.b % 255 - 127;
        switch (s.what) {
        case 0: note_on(s.c, pan), mudo_set_note(s.c, 40 + s.a % 40, s.b % 7, 64, 0, 0, 1, MUDO_PAN_KEEP); break;
        case 1: mudo_set_note(s.c, MUDO_NO_VALUE, MUDO_NO_VALUE, s.a & 1 ? 0 : MUDO_NO_VALUE, 0, 0, 0, MUDO_PAN_KEEP); break;
        case 2: kill_channel(ch, s.a & 1); break;
        case 3: mudo_set_note(s.c, 50, MUDO_NO_INSTRUMENT, 40, 'v', s.a & 0xFF, 1, pan); break;
        case 4: write_track(0, {{50, 2}, {52, 1}, {55, 3, 30, 'v', 0x44}, {255, 255, 0}}, 2 + s.a % 4), play(0, s.c); break;
        case 5: ch.samples_per_tick = std::vector<int>{0, 100, 367, 500, MUDO_BUF_SAMPLES + 1}[s.a % 5]; break;
        case 6: mudo_set_channel_mix_vol(s.c, (uint8_t)s.a); break;
        case 7: ch.node[0].p[1] = pan * 65536, ch.stereo = s.a & 1; break;
        default: break;
        }
    };
    auto instruments = [] {
        busy_instrument(2);
        instrument(3).osc(0, 0).wavetable(0, TABLE, 10, 1).node(1, 0, NODE_ECHO).param(1, 0, {0, 20}).param(1, 1, {0, 100}).flags(INST_FLAG_STEREO);
        instrument(4).osc(0, 0).wavetable(0, TABLE, 10, 1).osc(1, 0).node(1, 0, NODE_OSC, OP_ADD, 0, NODE_FLAG_MUTED).osc(2, 0, OP_FM).param(2, 0, {SCL, 16});
        instrument(5).osc(0, 0).wavetable(0, TABLE, 10, 1).node(1, 0, NODE_FILTER).param(1, 0, {0, 200}).param(1, 2, {0, 128});
        instrument(6).osc(0, 0).wavetable(0, TABLE, 10, 1).param(0, 0, {0, 200});
    };
    // The end of a scene: everything killed, or every channel holding an instrument at volume 0.
    auto hush = [](int scene) {
        if (scene & 1) return mudo_kill_all_audio();
        mudo_play_track(-1, -1, 0, 0, 0, 0, 0, 0, 0);
        for (int c = 0; c < MUDO_CHANNELS; c++) mudo_set_note(c, MUDO_NO_VALUE, c & 1 ? 1 : 4, 0, 0, 0, 0, MUDO_PAN_KEEP);
    };
    std::vector<int16_t> block(2 * MUDO_MIX_MAX_FRAMES), scratch(MUDO_SCRATCH_SAMPLES);
    std::vector<uint8_t> state(sizeof mixer);
    std::mt19937 rng(26);
    for (int scene = 0; scene < 12; scene++) {
        std::vector<step> steps;
        for (int k = 0; k < 24; k++) {
            const int what = (int)(rng() % 9);
            steps.push_back({what, (int)(rng() % 6), (int)(rng() % 1000), (int)(rng() % 1000),
                             what == 8 ? 4000 + (int)(rng() % 9000) : 1 + (int)(rng() % 1200)});
        }
        steps.push_back({9, 0, 0, 0, 6000});
        // Modes: skipping; every tick rendered; skipping in device blocks,
        // each write announced as the audio lock does.
        std::vector<int16_t> heard[3];
        std::vector<uint8_t> channels[3];
        for (int all : {0, 1, 2}) {
            SetUp();
            mixer_quiet.render_all = all == 1;
            instruments();
            for (const step& s : steps) {
                mudo_note_writer();
                if (s.what == 9) hush(scene);
                act(s);
                for (int done = 0; done < s.frames;) {
                    const int n = std::min(s.frames - done, 1 + (int)((done * 7919u + s.frames) % 1500));
                    (all == 2 ? mudo_mix_device : mudo_mix)(block.data(), n);
                    heard[all].insert(heard[all].end(), block.begin(), block.begin() + 2 * n);
                    done += n;
                }
                mudo_note_writer();  // readers take the audio lock too
                for (int sel : {19, 20, 28 - s.c % 8}) {
                    const int got = mudo_get_channel_state(s.c, sel, scratch.data());
                    heard[all].push_back((int16_t)got);
                    heard[all].insert(heard[all].end(), scratch.begin(), scratch.begin() + std::max(got, 0) * (sel == 19 ? 2 : 1));
                }
                const auto* records = (const uint8_t*)mixer.channel;
                channels[all].insert(channels[all].end(), records, records + sizeof mixer.channel);
            }
            if (all != 1) {
                ASSERT_EQ(mixer_quiet.loud, 0u) << scene;  // the trailing silence was skipped
            }
            if (all == 0) std::memcpy(state.data(), &mixer, sizeof mixer);
            if (all == 1) {
                ASSERT_EQ(std::memcmp(state.data(), &mixer, sizeof mixer), 0) << scene;
            }
        }
        ASSERT_EQ(heard[0], heard[1]) << scene;
        ASSERT_EQ(heard[2], heard[1]) << scene;
        ASSERT_TRUE(channels[0] == channels[1]) << scene;
        ASSERT_TRUE(channels[2] == channels[1]) << scene;
    }
}

// A released note at volume 0 rests for seconds, its clocks running into
// their stop; then one thing it reads changes. It sounds, and its record
// reads, as if every tick had rendered.
TEST_F(mixer_entry, a_channel_at_rest_wakes_as_if_every_tick_rendered) {
    const uint32_t inst1 = BASE + INST_OFFSET + INST_SIZE, moved = inst1 + 0x20000;
    const uint32_t volume_mval = inst1 + 4;  // node 0, p0
    const std::vector<std::function<void()>> wakes = {
        [] { mudo_set_note(0, 64, MUDO_NO_VALUE, 50, 0, 0, 0, MUDO_PAN_KEEP); },  // on from where it was
        [] { mudo_set_note(0, MUDO_NO_VALUE, MUDO_NO_VALUE, 64, 0, 0, 0, 40); },  // louder, still released
        [=] { mixer.ram[volume_mval] = 0, mixer.ram[volume_mval + 1] = 200; },  // its volume no longer the note's
        [] { mudo_set_channel_base_addr(0, BASE + 0x20000); },                       // a louder copy
        [] { mixer.channel[0].node[0].p[0] = 60 << 16; },                             // written in its record
    };
    for (size_t w = 0; w < wakes.size(); w++) {
        std::vector<int16_t> heard[3];
        std::vector<uint8_t> channels[3];
        for (int all : {0, 1, 2}) {  // skipping; every tick rendered; in device blocks
            SetUp();
            mixer_quiet.render_all = all == 1;
            auto mixed = [&](int frames) {
                std::vector<int16_t> out(2 * (size_t)frames);
                constexpr int device_frames = 512;  // what the device asks for at a time
                for (int done = 0; done < frames; done += device_frames) {
                    const int n = std::min(frames - done, device_frames);
                    (all == 2 ? mudo_mix_device : mudo_mix)(out.data() + 2 * done, n);
                }
                return out;
            };
            instrument(1).osc(1, 0).param(1, 2, {REL, 7});
            std::memcpy(mixer.ram + moved, mixer.ram + inst1, INST_SIZE);
            mixer.ram[moved + 4] = 0, mixer.ram[moved + 5] = 200;
            note_on(0, 30);
            mixed(3000);
            mudo_note_writer();  // as the audio lock says before each write
            mudo_set_note(0, MUDO_NO_VALUE, MUDO_NO_VALUE, 0, 0, 0, 0, MUDO_PAN_KEEP);
            // Clocks near their stop: the rest stops them where rendered ticks do.
            mixer.channel[0].ticks_since_release = INT32_MAX - 200;
            for (int32_t& t : mixer.channel[0].node[0].time) t = INT32_MAX - 100;
            heard[all] = mixed(3 * 44100 + 77);
            mudo_note_writer();
            wakes[w]();
            const auto after = mixed(5000);
            heard[all].insert(heard[all].end(), after.begin(), after.end());
            mudo_note_writer();  // a reader's lock
            channels[all].assign((const uint8_t*)mixer.channel, (const uint8_t*)(mixer.channel + 2 * MUDO_CHANNELS));
        }
        EXPECT_GT(peak(heard[1]), 1000) << w;
        EXPECT_EQ(heard[0], heard[1]) << w;
        EXPECT_EQ(heard[2], heard[1]) << w;
        EXPECT_TRUE(channels[0] == channels[1]) << w;
        EXPECT_TRUE(channels[2] == channels[1]) << w;
    }
}

TEST_F(mixer_entry, queries) {
    std::vector<int16_t> scratch(MUDO_SCRATCH_SAMPLES);
    EXPECT_EQ(mudo_get_channel_state(-1, -1, scratch.data()), 0);
    EXPECT_EQ(mudo_get_channel_state(0, 1, nullptr), -1);  // nothing on it
    mudo_set_channel_base_addr(2, BASE);
    mudo_set_note(2, 57, 1, 30, 0, 0, 1, -20);
    EXPECT_EQ(mudo_anything_is_playing(), 4);
    const auto out = mix(500);
    EXPECT_EQ(mudo_get_channel_state(-1, -1, scratch.data()), 500);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), scratch.begin()));
    // Paused blocks write their length of silence over the last output and
    // leave the rest, however short or long each is.
    mixer.ram[ADDR_AUDIO_FLAGS] |= AUDIO_FLAG_SILENCE;
    for (int frames : {300, 100, 400, 200}) {
        mix(frames);
        ASSERT_EQ(mudo_get_channel_state(-1, -1, scratch.data()), 500);
        EXPECT_TRUE(std::all_of(scratch.begin(), scratch.begin() + 2 * frames, [](int16_t v) { return v == 0; }));
    }
    EXPECT_TRUE(std::equal(out.begin() + 800, out.end(), scratch.begin() + 800));
    mixer.ram[ADDR_AUDIO_FLAGS] &= ~AUDIO_FLAG_SILENCE;
    EXPECT_EQ(mudo_get_channel_state(2, 19, nullptr), -1);
    EXPECT_EQ(mudo_get_channel_state(2, 20, scratch.data()), TICK);
    EXPECT_TRUE(std::equal(scratch.begin(), scratch.begin() + TICK, node_buf(2, 0)));
    for (auto [in, stored] : {std::pair{0xFFFFFF, 0xF00000}, std::pair{-1, 0}}) {
        mudo_set_channel_base_addr(2, in);
        EXPECT_EQ(mudo_get_channel_state(2, 15, nullptr), stored);
    }
    // A reboot's start-up silences what the last boot left playing.
    mudo_init();
    mudo_init();
    EXPECT_EQ(mudo_anything_is_playing(), 0);
}

}  // namespace
