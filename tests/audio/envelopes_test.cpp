// Envelope levels tick by tick, mval decoding, pitch steps and ratios, and
// the row effects on the channel values.
#include <gtest/gtest.h>

#include <climits>

#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

struct envelopes : ::testing::Test {
    void SetUp() override { fresh_mixer(); }
    mudo_channel& ch = mixer.channel[0];
    const uint32_t env = inst_addr(1) + INST_ENVELOPES;
    void put_env(std::vector<uint8_t> bytes) { instrument(1).envelope(0, std::move(bytes)); }
};

TEST_F(envelopes, duration_bytes) {
    const int cases[][2] = {{0, 0},    {15, 15},   {16, 16},   {31, 46},   {32, 48},
                            {63, 172}, {64, 176},  {127, 680}, {128, 688}, {255, 2720}};
    for (auto& c : cases) EXPECT_EQ(get_env_duration((uint8_t)c[0]), c[1]) << c[0];
}

TEST_F(envelopes, adsr_levels_tick_by_tick) {
    const struct {
        uint8_t attack, decay, sustain, release;
        int gate;
        int64_t level;  // for a release
        std::vector<int32_t> want;
    } cases[] = {
        {0, 0, 0, 0, 1, 0, {65280, 0, 0}},
        {4, 0, 0, 0, 1, 0, {13056, 26112, 39168, 52224, 65280, 0}},
        {0, 2, 128, 0, 1, 0, {65280, 54442, 43605, 32768, 32768}},
        {0, 0, 0, 4, 0, 32768, {26214, 19660, 13107, 6553, 0, 0}},
        {0, 0, 0, 0, 0, 32768, {0}},
    };
    for (auto& c : cases) {
        put_env({ENV_ADSR, 0, 0, 0, 0, 0, 0, 0, c.attack, c.decay, c.sustain, c.release});
        ch.gate = c.gate;
        for (int t = 0; t < (int)c.want.size(); t++) {
            ch.ticks_since_release = t;
            EXPECT_EQ(evaluate_envelope_adsr(ch, env, t, c.level), c.want[t]) << (int)c.attack << " t " << t;
        }
    }
}

TEST_F(envelopes, lfo_and_data_levels) {
    put_env({ENV_LFO, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 192});
    EXPECT_EQ(eval_envelope(ch, env, 0, 0), 1);
    mixer.ram[env + 14] = 64;
    EXPECT_EQ(eval_envelope(ch, env, 0, 0), 65279);
    EXPECT_EQ(eval_envelope(ch, env, 8, 0), 1);  // half a period of 16 ticks on

    put_env({ENV_DATA, 0, 2, 0, 0, 0, 0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150, 160});
    for (int t : {0, 1, 2, 3, 30, 31}) EXPECT_EQ(eval_envelope(ch, env, t, 0), (10 + 10 * (t / 2)) << 8) << t;
    EXPECT_EQ(eval_envelope(ch, env, 32, 0), 0);  // past step 15
    put_env({ENV_DATA, ENV_FLAG_INTERPOLATE, 4, 0, 0, 0, 0, 0, 0, 255});
    EXPECT_EQ(eval_envelope(ch, env, 1, 0), 16320);
    put_env({7});  // no such type
    EXPECT_EQ(eval_envelope(ch, env, 3, 0), 0);
}

TEST_F(envelopes, a_data_envelope_loops_while_held_and_restarts_at_its_start_step) {
    // 4-tick steps, loop over steps 1..2, starting at step 1 when retriggered
    instrument(1).node(0, 0, NODE_PITCH).param(0, 4, {ENV, 255, 0, 0}).envelope(
        0, {ENV_DATA, 0, 4, 1, 3, 1, 0, 0, 0, 100, 200, 50});
    start_note(0, 1, 48, 64);
    EXPECT_EQ(ch.node[0].time[4], 4);
    std::vector<int32_t> seen;
    for (int tick = 0; tick < 12; tick++) {
        evaluate_channel_node_parameters(ch);
        seen.push_back(ch.node[0].p[4] >> 16);
    }
    const std::vector<int32_t> want = {100, 100, 100, 100, 200, 200, 200, 200, 100, 100, 100, 100};
    EXPECT_EQ(seen, want);
}

TEST_F(envelopes, mval_decoding) {
    const struct {
        int kind, k;
        mval v;
        int32_t parent, want;
    } cases[] = {
        {2, 0, {0, 255}, 0, 0xFF0000},
        {2, 0, {0, 255, 0, 0x60}, 0, 0x3FC000},                 // divided by 4: 63.75
        {2, 4, {0, 3, 0, 0xC0}, 0, 3 << 22},                     // times 64
        {2, 0, {SCL, 64}, 64 << 16, 64 << 16},                   // 64.0 x 64.0 is 64.0
        {2, 0, {SCL, 32}, 48 << 16, 24 << 16},
        {2, 0, {REL | SCL, 5}, 64 << 16, 5 << 16},               // both flags: neither
        {2, 2, {REL, 0xFF}, 57 << 16, 56 << 16},                 // signed: -1 + 57
        {8, 2, {REL, 0xFF}, 0, 255 << 16},                       // a filter's are unsigned
        {2, 5, {0, 0x80}, 0, -128 * 65536},
        {1, 4, {0, 0x80}, 0, 128 << 16},
        {2, 3, {REL | MVAL_WHOLE, 1}, 0x12345, 0x20000},         // the fraction cleared
        {2, 0, {MVAL_RANDOM, 255, 0}, 0, 0},                     // weight 0 gives B
        {8, 0, {0, 200, 0, 0x40}, 0, (200 << 18)},
    };
    for (auto& c : cases) {
        instrument(1).node(0, 0, c.kind).param(0, c.k, c.v);
        start_note(0, 1, 48, 64);
        mudo_node& n = ch.node[0];
        n.rnd[c.k] = 0;
        EXPECT_EQ(eval_mval(ch, n, c.k, c.parent), c.want) << c.kind << " p" << c.k << " " << (int)c.v.a;
    }
}

TEST_F(envelopes, pitch_steps_and_frequency_ratios) {
    const struct {
        int note;
        int64_t step;
    } notes[] = {{48, 397935}, {57, 669566}, {60, 795871}, {-300, 0}, {300, INT32_MAX}};
    for (auto& c : notes) EXPECT_EQ(mudo_get_dx_for_note(c.note << 16, 0), c.step) << c.note;
    EXPECT_EQ(mudo_get_dx_for_note(57 << 16, 256 << 16), mudo_get_dx_for_note(58 << 16, 0));  // 256/256 of fine pitch
    EXPECT_EQ(mudo_get_dx_for_note(57 << 16, -(256 << 16)), mudo_get_dx_for_note(56 << 16, 0));

    // Node 1 at half and node 2 at twice node 0's frequency; nodes 3..7 a
    // chain of 1/1,024 ratios that would overflow 32-bit products.
    instrument(1).node(0, 0, NODE_PITCH).param(0, 2, {REL});
    instrument(1).node(1, 0, NODE_PITCH).param(1, 2, {SCL, 0x10});
    instrument(1).node(2, 0, NODE_PITCH).param(2, 2, {SCL, 0x01});
    for (int i = 3; i < 8; i++) instrument(1).node(i, i == 3 ? 0 : i - 1, NODE_PITCH).param(i, 2, {SCL, 0xF0, 0, 0xE0});
    start_note(0, 1, 57, 64);
    evaluate_channel_node_parameters(ch);
    EXPECT_EQ(ch.node[0].step, 669566u);
    EXPECT_EQ(ch.node[1].step, 669566u / 2);
    EXPECT_EQ(ch.node[2].step, 669566u * 2);
    for (int i = 3; i < 8; i++) {
        EXPECT_GE(ch.node[i].freq_div, 1) << i;
        EXPECT_LE(ch.node[i].freq_div, int64_t(1) << 31) << i;
        EXPECT_EQ(ch.node[i].p[2], 57 << 16) << i;
    }
    EXPECT_EQ(ch.node[3].step, 669566u / 1024);
}

// Channel values over a run of ticks under a row effect.
std::vector<int32_t> effect_run(mudo_channel& ch, int effect, int param, int param_index, int ticks) {
    ch.effect = effect;
    ch.effect_param = param;
    std::vector<int32_t> seen;
    for (int t = 0; t < ticks; t++) {
        evaluate_channel_node_parameters(ch);
        seen.push_back(mixer.root_node.p[param_index]);
        ch.tick = (ch.tick + 1) % ch.speed;
        ch.ticks_played++;
    }
    return seen;
}

TEST_F(envelopes, row_effects_on_the_channel_values) {
    start_note(0, MUDO_NO_INSTRUMENT, 48, 32);
    ch.speed = 6;
    // vibrato: a 16-tick period, +-0.3125 semitone (in 1/2^24 semitone)
    auto vib = effect_run(ch, 'v', 0, 3, 16);
    EXPECT_EQ(vib[0], 0);
    EXPECT_NEAR(vib[4], 5242880, 100);
    EXPECT_NEAR(vib[12], -5242880, 100);
    EXPECT_EQ(ch.vib_phase, 65536);
    // arpeggio: the track's speed is below 9, 2 ticks a step
    ch.track_active = 1;
    ch.tick = 0;
    auto arp = effect_run(ch, 'a', 0x47, 2, 8);
    const std::vector<int32_t> want = {48, 48, 52, 52, 55, 55, 48, 48};
    for (int t = 0; t < 8; t++) EXPECT_EQ(arp[t], want[t] << 16) << t;
    // fade in over a row of 6 ticks from half volume, committed at its end
    ch.tick = 0;
    auto fade = effect_run(ch, '<', 0x80, 0, 6);
    for (int t = 0; t < 6; t++) EXPECT_EQ(fade[t], (16 << 16) + t * ((16 << 16) / 6)) << t;
    EXPECT_EQ(ch.volume16, fade[5]);
    // alternation "o" every tick: silent on the odd ones
    auto alt = effect_run(ch, 'o', 0x01, 0, 4);
    EXPECT_NE(alt[0], 0);
    EXPECT_EQ(alt[1], 0);
    EXPECT_NE(alt[2], 0);
}

TEST_F(envelopes, a_node_that_is_its_own_parent_takes_the_channel_values) {
    instrument(1).osc(0, 0).osc(1, 1).param(1, 2, {REL, 3});
    start_note(0, 1, 50, 40);
    evaluate_channel_node_parameters(ch);
    EXPECT_EQ(ch.node[1].p[2], 53 << 16);
    EXPECT_EQ(ch.node[1].p[0], 40 << 16);
    EXPECT_EQ(ch.node[1].depth, 0);
}

}  // namespace
