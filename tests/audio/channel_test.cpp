// A channel as the mixer drives it: pitch and level of whole seconds of
// sound, the output stage's volume and pan, the seam between ticks, and the
// block size having no effect on what is heard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/audio.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

struct channel : ::testing::Test {
    void SetUp() override { fresh_mixer(); }
};

// Instrument 1: one oscillator over a full-scale 1,024-sample sine.
void sine_instrument() {
    put_samples(TABLE, sine_row(10));
    instrument(1).osc(0, 0).wavetable(0, TABLE, 10, 1);
}

int peak(const std::vector<int16_t>& s) {
    int p = 0;
    for (int16_t x : s) p = std::max(p, std::abs((int)x));
    return p;
}

double rms(const std::vector<int16_t>& s) {
    double sum = 0;
    for (int16_t x : s) sum += (double)x * x;
    return std::sqrt(sum / s.size());
}

TEST_F(channel, note_57_on_a_sine_plays_440_hz_at_the_centre_level) {
    sine_instrument();
    start_note(0, 1, 57, 64);
    const auto out = render(0, 10 * 44100);
    const auto left = side(out, 0), right = side(out, 1);
    EXPECT_EQ(left, right);
    EXPECT_NEAR(zero_crossings(left), 8800, 1);
    const std::vector<int16_t> settled(left.begin() + 1000, left.end());
    EXPECT_EQ(peak(settled), 26175);  // 32,767 x 3,272 / 4,096
    EXPECT_NEAR(rms(settled), 18509, 18509 * 0.005);
}

// Every process gets the default instrument and wavetable; once it sets the
// audio bytes, a note on instrument 0 is a clear tone at the note's pitch.
TEST(default_instrument, plays_a_clean_tone_at_the_notes_pitch) {
    hvx_test::process_env env;
    Process* p = env.spawn("poke(0x5538, 64) poke(0x5539, 64) poke(0x553a, 64) poke(0x553c, 3)");
    ASSERT_NE(p, nullptr);
    run_process_slice(p, 1.0);
    mudo_clear_mixer();
    ASSERT_EQ(audio_op_start(p->id, 1), 0);
    audio_op_end();
    reset_channel_state(mixer.channel[0]);
    start_note(0, 0, 57, 64);
    const auto left = side(render(0, 44100), 0);
    EXPECT_NEAR(zero_crossings(left), 880, 1);
    const double fundamental = tone_level(left, 440);
    EXPECT_GT(fundamental, 12000);
    EXPECT_LT(tone_level(left, 880), fundamental / 3);  // a soft octave above it
    EXPECT_LT(tone_level(left, 466.16), fundamental / 100);  // nothing a semitone off
    EXPECT_LT(peak(left), 32767);  // never clips
}

TEST_F(channel, output_does_not_depend_on_the_block_size) {
    std::vector<std::vector<int16_t>> runs;
    for (int chunk : {3000, 7, 100, 367}) {
        fresh_mixer();
        busy_instrument(1);
        start_note(0, 1, 50, 48, -30);
        render(0, 1);  // the first run ramps the pan gains up from 0
        runs.push_back(render(0, 3000, chunk));
    }
    EXPECT_GT(peak(runs[0]), 1000);
    for (size_t i = 1; i < runs.size(); i++) EXPECT_EQ(runs[i], runs[0]) << i;
}

TEST_F(channel, pan_gains_ramp_from_the_last_run) {
    sine_instrument();
    const struct {
        int pan, left, right;
    } cases[] = {{0, 3272, 3272}, {-127, 4095, 0}, {127, 0, 4095}, {64, 1857, 3927}};
    for (auto c : cases) {
        fresh_mixer();
        sine_instrument();
        mudo_channel& ch = start_note(0, 1, 57, 64, c.pan);
        auto first = render(0, 10);  // the first frames meet a tick boundary at once
        EXPECT_EQ(ch.tick_len, MUDO_SAMPLES_PER_TICK);
        const int16_t* x = node_buf(0, 0);
        for (int k = 0; k < 10; k++) {
            const int64_t gl = ((int64_t)c.left << 16) / 10 * k;  // from 0 towards the target
            EXPECT_EQ(first[2 * k], (gl >> 16) * x[k] / 4096) << c.pan << " " << k;
        }
        auto settled = render(0, 300);
        for (int k = 0; k < 300; k++) {
            ASSERT_EQ(settled[2 * k], c.left * x[10 + k] / 4096) << c.pan << " " << k;
            ASSERT_EQ(settled[2 * k + 1], c.right * x[10 + k] / 4096) << c.pan << " " << k;
        }
    }
}

TEST_F(channel, a_pitch_change_fades_over_from_the_old_pitch) {
    sine_instrument();
    mudo_channel& ch = start_note(0, 1, 57, 64);
    render(0, MUDO_SAMPLES_PER_TICK);
    mudo_node old_node = ch.node[0];
    ch.pitch16 = 64 << 16;
    render(0, 1);
    mudo_node new_node = old_node;
    new_node.step = ch.node[0].step;
    ASSERT_NE(new_node.step, old_node.step);
    int16_t was[MUDO_SEAM], now[MUDO_SEAM];
    render_node_tick_osc(old_node, was, MUDO_SEAM, nullptr);
    render_node_tick_osc(new_node, now, MUDO_SEAM, nullptr);
    for (int i = 0; i < MUDO_SEAM; i++) EXPECT_EQ(node_buf(0, 0)[i], (now[i] * i + was[i] * (64 - i)) >> 6) << i;
}

// The volume byte changes under a held note: the seam's first samples are
// (new V i + old heard (64 - i)) / 64 at the output's own scale, down to
// volume 0 and up past unity, whether one run holds the seam or several do.
TEST_F(channel, a_volume_change_fades_at_the_output_scale) {
    const struct {
        int to;
        bool stereo;
        int chunk;
    } cases[] = {{1, false, 0}, {0, false, 5}, {0, true, 0}, {255, true, 17}, {255, false, 0}};
    for (const auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.to << (c.stereo ? " stereo " : " mono ") << c.chunk);
        fresh_mixer();
        sine_instrument();
        if (c.stereo) instrument(1).osc(1, 0).flags(INST_FLAG_STEREO);  // a child split between the sides
        start_note(0, 1, 57, 64);
        render(0, MUDO_SAMPLES_PER_TICK);  // heard at unity; the gains settle at 3,272
        mixer.ram[ADDR_AUDIO_VOLUME] = (uint8_t)c.to;
        const auto out = render(0, MUDO_SEAM, c.chunk);
        const int64_t heard = 256, V = c.to * 64 >> 4;
        for (int side = 0; side < 2; side++) {
            const int node = c.stereo && side ? STEREO_NODE_INDEX : 0;
            const int16_t *now = node_buf(0, node), *was = node_buf(MUDO_CHANNELS, node);  // the shadow's
            for (int i = 0; i < MUDO_SEAM; i++) {
                const int64_t v = c.stereo ? (now[i] * V * i + was[i] * heard * (64 - i)) / (64 * 256)
                                           : ((3272 * V >> 8) * now[i] * i + 3272LL * was[i] * (64 - i)) / (64 * 4096);
                ASSERT_EQ(out[2 * i + side], std::clamp<int64_t>(v, -32767, 32767)) << side << " " << i;
            }
        }
        EXPECT_GT(peak(out), c.stereo ? 5000 : 10000);
    }
}

TEST_F(channel, no_instrument_is_silent_but_ticks_go_on) {
    sine_instrument();
    mudo_channel& ch = start_note(0, MUDO_NO_INSTRUMENT, 57, 64);
    const auto out = render(0, 5 * MUDO_SAMPLES_PER_TICK);
    EXPECT_EQ(peak(out), 0);
    EXPECT_EQ(ch.ticks_held, 5);
}

TEST_F(channel, loud_channels_clamp_instead_of_wrapping) {
    sine_instrument();
    mixer.ram[ADDR_AUDIO_VOLUME] = 255;
    mudo_channel& ch = start_note(0, 1, 57, 64);
    ch.mix_vol = 255;  // V = 4,064, nearly 16 times unity
    render(0, 1);
    const auto out = render(0, 360);
    EXPECT_EQ(peak(out), 32767);
    for (int k = 0; k < 360; k++) {
        const int x = node_buf(0, 0)[1 + k];
        ASSERT_EQ(out[2 * k], std::clamp<int64_t>((int64_t)3272 * 4064 / 256 * x / 4096, -32767, 32767)) << k;
    }
}

TEST_F(channel, music_stops_where_the_pattern_runs_out) {
    sine_instrument();
    mudo_channel& ch = start_note(0, 1, 57, 64);
    ch.music = 1;
    ch.pattern_ticks_left = 2;
    mixer.music_volume = 128;
    std::vector<int16_t> out(2000);
    EXPECT_EQ(mix_channel(ch, 1000, out.data()), 2 * MUDO_SAMPLES_PER_TICK);
    EXPECT_EQ(mix_channel(ch, 1000, out.data()), 0);
    EXPECT_LE(peak(out), 26175 / 2 + 1);  // half music volume
}

}  // namespace
