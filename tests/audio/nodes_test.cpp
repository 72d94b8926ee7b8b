// Node kinds on their own buffers: the oscillator's table reading, the ways
// children combine, filter, echo and gain, and stereo instruments.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/synth_harness.h"

namespace {

using namespace hvx_synth;

struct nodes : ::testing::Test {
    void SetUp() override { fresh_mixer(); }
};

std::vector<int16_t> noise(int n, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::vector<int16_t> s(n);
    for (auto& x : s) x = (int16_t)rng();
    s[n / 2] = -32768;
    return s;
}

std::vector<int16_t> tone(double hz, int n) {
    std::vector<int16_t> s(n);
    for (int i = 0; i < n; i++) s[i] = (int16_t)(16000 * std::sin(2 * M_PI * hz * i / 44100));
    return s;
}

// in with -32,768 read as -32,767: what a stage that only clamps gives back.
std::vector<int16_t> clamped(std::vector<int16_t> s) {
    for (auto& x : s) x = std::max<int16_t>(x, -32767);
    return s;
}

TEST_F(nodes, oscillator_at_unity_reads_the_interpolated_table) {
    const auto table = noise(16);
    put_samples(TABLE, table);
    mudo_node n{};
    n.wt_addr = TABLE, n.wt_log2 = 4, n.wt_rows = 1;
    n.p[0] = 64 << 16;        // unity
    n.p[5] = -128 * 65536;    // no phase offset
    n.step = 0x3000;          // 3/16 of a sample
    int16_t out[200];
    render_node_tick_osc(n, out, 200, nullptr);
    for (int k = 0; k < 200; k++) {
        const uint32_t a = (uint32_t)(k * 0x3000) & 0xFFFFF;
        const int32_t s0 = table[a >> 16], s1 = table[((a >> 16) + 1) % 16], f = a & 0xFFFF;
        ASSERT_EQ(out[k], (int16_t)(s0 + (((int64_t)(s1 - s0) * f) >> 16))) << k;
    }
    EXPECT_EQ(n.phase, (200u * 0x3000) & 0xFFFFF);
    // A table running past the end of audio RAM reads zeros there.
    n.wt_addr = MUDO_RAM_SIZE - 8, n.phase = 0, n.step = 0x10000;
    put_samples(MUDO_RAM_SIZE - 8, {1000, 2000, 3000, 4000});
    render_node_tick_osc(n, out, 32, nullptr);
    EXPECT_EQ(out[1], 2000);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[16 + 3], 4000);
}

TEST_F(nodes, children_combine_into_their_parent) {
    const struct {
        int op, shift;
        int16_t p, c, want;
    } cases[] = {
        {OP_ADD, 0, 30000, 10000, 32767},  {OP_ADD, 0, -30000, -10000, -32767},
        {OP_MUL, 0, 16384, 16384, 8192},   {OP_MUL, 2, 16384, 16384, 32767},
        {OP_MUL, -6, -32768, 32767, -512}, {OP_XOR, 0, 0x0F0F, 0x00FF, 0x0FF0},
        {OP_OR, 0, 0x0F0F, 0x00FF, 0x0FFF}, {OP_FM, 0, 100, 200, 100},
        {7, 0, 100, 200, 100},
    };
    for (auto& c : cases) {
        int16_t p = c.p;
        combine_child(c.op, c.shift, &p, &c.c, 1);
        EXPECT_EQ(p, c.want) << c.op << " " << c.shift;
    }
    int16_t left = 100, right = 100, c = 8192;
    combine_child_split(OP_ADD, 0, -127 * 65536, &left, &right, &c, 1);
    EXPECT_EQ(left, 100 + 8192 * 4095 / 4096);
    EXPECT_EQ(right, 100);
}

TEST_F(nodes, filter_passes_open_and_attenuates_closed) {
    const int n = 8192;
    mudo_node f{};
    auto in = noise(n);
    auto buf = in;
    apply_fx_filter(f, buf.data(), n);
    EXPECT_EQ(buf, clamped(in));
    // A resonance term far below 0 would have made the damping's divisor 0.
    mudo_node open{}, odd{};
    odd.p[2] = -1040 << 8;
    auto a = in, b = in;
    apply_fx_filter(open, a.data(), n);
    apply_fx_filter(odd, b.data(), n);
    EXPECT_EQ(a, b);

    const struct {
        int param;
        double hz;
    } closed[] = {{0, 5000}, {1, 100}};
    for (auto& c : closed) {
        mudo_node fx{};
        fx.p[c.param] = 255 << 16;
        auto s = tone(c.hz, n);
        const double before = tone_level(s, c.hz);
        apply_fx_filter(fx, s.data(), n);
        EXPECT_LT(tone_level(s, c.hz), before / 10) << c.hz;  // more than 20 dB down
    }
}

TEST_F(nodes, echo_repeats_with_feedback_and_stays_in_its_ring) {
    int16_t* ring = node_buf(0, 3);
    int16_t* next = node_buf(0, 4);
    mudo_node e{};
    e.echo_prev_delay = e.echo_prev_fb = -1;
    e.p[0] = 1 << 16;    // 126 samples
    e.p[1] = 128 << 16;  // half
    std::vector<int16_t> all;
    for (int tick = 0; tick < 3; tick++) {
        std::vector<int16_t> buf(MUDO_SAMPLES_PER_TICK);
        if (tick == 0) buf[0] = 16384;
        apply_fx_echo(e, ring, buf.data(), (int)buf.size());
        all.insert(all.end(), buf.begin(), buf.end());
    }
    for (size_t k = 0; k < all.size(); k++)
        ASSERT_EQ(all[k], k % 126 == 0 ? 16384 >> (k / 126) : 0) << k;

    // No feedback passes the sound; near the end of the ring it wraps.
    mudo_node pass{};
    pass.echo_prev_delay = pass.echo_prev_fb = -1;
    pass.echo_pos = MUDO_BUF_SAMPLES - 100;
    next[0] = 1234;
    auto in = noise(MUDO_SAMPLES_PER_TICK);
    auto buf = in;
    apply_fx_echo(pass, ring, buf.data(), (int)buf.size());
    EXPECT_EQ(buf, clamped(in));
    EXPECT_EQ(next[0], 1234);
    EXPECT_EQ(ring[100], buf[200]);
    EXPECT_EQ(pass.echo_pos, MUDO_SAMPLES_PER_TICK - 100);
}

TEST_F(nodes, gain_at_rest_is_the_identity_and_never_divides_by_zero) {
    auto in = noise(4096);
    mudo_node g{};
    g.p[3] = 64 << 16;
    auto buf = in;
    apply_fx_gain(g, buf.data(), (int)buf.size());
    EXPECT_EQ(buf, clamped(in));
    g.p[0] = -2387383;  // a drive of -36.43 made the gain exactly 0
    apply_fx_gain(g, buf.data(), (int)buf.size());
    EXPECT_EQ(*std::max_element(buf.begin(), buf.end()), 0);
    // Hard clip: drive 8, shape 255, threshold at half scale.
    mudo_node clip{};
    clip.p[0] = 255 << 16, clip.p[1] = 255 << 16, clip.p[2] = 128 << 16, clip.p[3] = 64 << 16;
    auto s = tone(440, 4096);
    apply_fx_gain(clip, s.data(), (int)s.size());
    EXPECT_EQ(*std::max_element(s.begin(), s.end()), (0x10000 - (128 << 16) / 255) * 32767 / 0x10000);
}

// Node 0 is a soundless bus of a stereo instrument; an oscillator and a filter
// hang from it, and node 3 takes the filter's twin for the right side.
TEST_F(nodes, stereo_instruments_pan_children_and_twin_their_effects) {
    put_samples(TABLE, sine_row(10));
    instrument(1).flags(INST_FLAG_STEREO).osc(0, 0).node(0, 0, NODE_PITCH).osc(1, 0).wavetable(0, TABLE, 10, 1);
    instrument(1).node(2, 0, NODE_FILTER).param(2, 0, {0, 120});
    mudo_channel& ch = start_note(0, 1, 57, 64);
    EXPECT_EQ(ch.node[2].twin, 3);
    EXPECT_EQ(ch.node[3].parent, STEREO_NODE_INDEX);
    const auto out = render(0, 2000);
    EXPECT_EQ(side(out, 0), side(out, 1));
    EXPECT_GT(tone_level(side(out, 0), 440), 1000);
    // Panned hard left, the right side is silent.
    instrument(1).param(1, 1, {REL, (uint8_t)-127});
    const auto left = render(0, 2000);
    EXPECT_GT(tone_level(side(left, 0), 440), 1000);
    const auto right = side(left, 1);
    EXPECT_LT(tone_level(std::vector<int16_t>(right.begin() + 400, right.end()), 440), 1);
}

TEST_F(nodes, muted_children_and_modulators) {
    // node 1 modulates node 0's frequency; node 2 is a muted oscillator, node 3 a muted filter
    auto setup = [](bool modulated, uint8_t shift, bool muted = true) {
        fresh_mixer();
        put_samples(TABLE, sine_row(10));
        instrument(1).osc(0, 0).wavetable(0, TABLE, 10, 1);
        if (muted) {
            instrument(1).osc(2, 0).node(2, 0, NODE_OSC, 0, 0, NODE_FLAG_MUTED);
            instrument(1).node(3, 0, NODE_FILTER, 0, 0, NODE_FLAG_MUTED).param(3, 0, {0, 250});
        }
        if (modulated) instrument(1).osc(1, 0, OP_FM).param(1, 0, {SCL, 16, 0, shift});
        return &start_note(0, 1, 57, 64);
    };
    double carrier[3];
    const uint8_t shift[3] = {0x60, 0x00, 0x40};  // exponent -4, 0, +2
    for (int i = 0; i < 3; i++) {
        mudo_channel* ch = setup(true, shift[i]);
        carrier[i] = tone_level(side(render(0, 8192), 0), 440);
        EXPECT_EQ(ch->node[0].mod_src, 1);
    }
    // The deeper the modulation, the less is left at the carrier.
    EXPECT_GT(carrier[0], carrier[1]);
    EXPECT_GT(carrier[1], carrier[2]);
    // Without the modulator only node 0 is heard: the muted nodes add nothing.
    setup(false, 0);
    const auto with_muted = render(0, 8192);
    setup(false, 0, false);
    EXPECT_EQ(with_muted, render(0, 8192));
}

}  // namespace
