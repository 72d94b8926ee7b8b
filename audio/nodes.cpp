// What each node kind computes over one tick: wavetable oscillators, the ways
// a child's sound enters its parent, and the filter, echo and gain effects.
#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "audio/synth.h"

const uint32_t stereo_contrib[256] = {
    4096, 4095, 4093, 4092, 4090, 4089, 4087, 4086, 4084, 4083, 4081, 4080, 4078, 4077, 4075, 4074,
    4072, 4070, 4069, 4067, 4065, 4063, 4062, 4060, 4058, 4056, 4054, 4052, 4050, 4048, 4045, 4043,
    4041, 4038, 4036, 4034, 4031, 4028, 4026, 4023, 4020, 4017, 4014, 4011, 4008, 4005, 4002, 3999,
    3995, 3992, 3988, 3984, 3980, 3977, 3973, 3969, 3964, 3960, 3956, 3951, 3946, 3942, 3937, 3932,
    3927, 3922, 3916, 3911, 3905, 3900, 3894, 3888, 3882, 3875, 3869, 3862, 3856, 3849, 3842, 3835,
    3828, 3820, 3813, 3805, 3797, 3789, 3781, 3772, 3764, 3755, 3746, 3737, 3728, 3719, 3709, 3699,
    3690, 3679, 3669, 3659, 3648, 3637, 3626, 3615, 3604, 3592, 3580, 3569, 3556, 3544, 3532, 3519,
    3506, 3493, 3480, 3466, 3452, 3439, 3424, 3410, 3396, 3381, 3366, 3351, 3336, 3320, 3304, 3289,
    3272, 3256, 3240, 3223, 3206, 3189, 3172, 3154, 3136, 3118, 3100, 3082, 3064, 3045, 3026, 3007,
    2988, 2968, 2948, 2929, 2908, 2888, 2868, 2847, 2826, 2805, 2784, 2763, 2741, 2719, 2698, 2675,
    2653, 2631, 2608, 2585, 2562, 2539, 2516, 2492, 2469, 2445, 2421, 2397, 2373, 2348, 2324, 2299,
    2274, 2249, 2224, 2198, 2173, 2147, 2122, 2096, 2070, 2043, 2017, 1991, 1964, 1938, 1911, 1884,
    1857, 1830, 1802, 1775, 1748, 1720, 1692, 1664, 1636, 1608, 1580, 1552, 1524, 1495, 1467, 1438,
    1410, 1381, 1352, 1323, 1294, 1265, 1236, 1207, 1178, 1148, 1119, 1089, 1060, 1030, 1000, 971,
    941,  911,  881,  851,  821,  791,  761,  731,  701,  671,  641,  610,  580,  550,  519,  489,
    458,  428,  398,  367,  336,  306,  275,  245,  214,  184,  153,  122,  92,   61,   31,   0,
};

uint16_t gain_tri[MUDO_GAIN_TRI_SIZE];

namespace {

inline int16_t clamp_sample(int64_t v) { return (int16_t)std::clamp<int64_t>(v, -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX); }
inline int16_t clamp_sample32(int32_t v) { return (int16_t)std::clamp(v, -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX); }

// A pan parameter (16.16) as -127..127.
int32_t pan_of(int32_t p1) { return std::clamp(p1 / 65536, -127, 127); }

// Wavetable samples read in place from the bytes of audio RAM (the host is
// little-endian, like the address space).
typedef int16_t __attribute__((may_alias)) ram_sample;

// The oscillator's inner loop. Phases are taken modulo 2^32; the mask keeps
// the low w + 16 bits, so the result is the same as in 64 bits.
template <bool Modulated, class Row>
uint32_t osc_loop(const Row row, uint32_t r, uint32_t step, uint32_t mask, int32_t v, int m, int16_t* out,
                  int samples, const int16_t* mod) {
    const uint32_t last = mask >> 16;
#pragma GCC unroll 4
    for (int k = 0; k < samples; k++) {
        const uint32_t a = r & mask, i = a >> 16;
        const int32_t s0 = row(i), s1 = row((i + 1) & last);  // the last sample leads to the first
        const int32_t f = (int32_t)(a & 0xFFFF);
        const int32_t s = s0 + (int32_t)(((int64_t)(s1 - s0) * f) >> 16);
        out[k] = (int16_t)((s * v) >> 14);  // the low 16 bits: a loud row wraps
        r += step;
        if constexpr (Modulated) r += (uint32_t)(mod[k] * (1 << m));
    }
    return r;
}

template <class Row>
uint32_t osc_run(const Row row, uint32_t r, uint32_t step, uint32_t mask, int32_t v, int m, int16_t* out,
                 int samples, const int16_t* mod) {
    return mod ? osc_loop<true>(row, r, step, mask, v, m, out, samples, mod)
               : osc_loop<false>(row, r, step, mask, v, m, out, samples, mod);
}

// clamp(p + c), the commonest combination, eight samples at a time where the
// host can: a saturating add, then -32,768 raised to -32,767.
void add_buffer(int16_t* p, const int16_t* c, int samples) {
    int k = 0;
#ifdef __SSE2__
    const __m128i low = _mm_set1_epi16(-MUDO_SAMPLE_MAX);
    for (; k + 8 <= samples; k += 8) {
        const __m128i a = _mm_loadu_si128((const __m128i*)(p + k)), b = _mm_loadu_si128((const __m128i*)(c + k));
        _mm_storeu_si128((__m128i*)(p + k), _mm_max_epi16(_mm_adds_epi16(a, b), low));
    }
#endif
    for (; k < samples; k++) p[k] = clamp_sample32(p[k] + c[k]);
}

// The phase's bits: w + 16 of them for a row of 2^w samples.
uint32_t osc_phase_mask(const mudo_node& n) {
    const uint32_t w = std::min<uint32_t>(n.wt_log2, MUDO_MAX_WAVE_LOG2);
    return (uint32_t)((uint64_t(1) << (w + 16)) - 1);
}

}  // namespace

void get_stereo_contributions(int32_t pan, int32_t& left, int32_t& right) {
    if (pan < -127) {
        left = 4095, right = 0;
        return;
    }
    const int32_t p = std::min(pan, 127);
    left = (int32_t)stereo_contrib[p + 128];
    right = (int32_t)stereo_contrib[128 - p];
}

void render_node_tick_osc(mudo_node& n, int16_t* out, int samples, const int16_t* mod) {
    const uint32_t w = std::min<uint32_t>(n.wt_log2, MUDO_MAX_WAVE_LOG2);
    const uint32_t mask = osc_phase_mask(n);
    const uint32_t rows = n.wt_rows ? n.wt_rows : 256;
    const uint64_t row_index = ((uint32_t)(n.p[4] >> 16) & 255) * rows >> 8;
    const uint64_t row_addr = (uint64_t)n.wt_addr + row_index * (uint64_t(2) << w);
    const int32_t v = osc_volume(n);
    const int32_t o = (int32_t)(uint32_t)(((int64_t)(int16_t)((uint32_t)n.p[5] >> 16) + 128) * (int64_t(1) << (w + 8)));
    const uint32_t r = ((uint32_t)n.phase & mask) - (uint32_t)o;
    const uint32_t step = (uint32_t)n.step;
    const int m = std::max(n.mod_shift, -4) + 6;
    uint32_t end;
    if (row_addr + (uint64_t(2) << w) <= MUDO_RAM_SIZE) {
        const ram_sample* row = (const ram_sample*)(mixer.ram + row_addr);
        end = osc_run([row](uint32_t i) { return (int32_t)row[i]; }, r, step, mask, v, m, out, samples, mod);
    } else {
        // The row runs past the end of audio RAM: what lies beyond reads 0.
        end = osc_run([row_addr](uint32_t i) { return (int32_t)(int16_t)mudo_ram16(row_addr + 2 * i); }, r, step,
                      mask, v, m, out, samples, mod);
    }
    n.phase = (end + (uint32_t)o) & mask;
}

void skip_node_tick_osc(mudo_node& n, uint32_t samples) {
    // The start less the offset, plus a step a sample, plus the offset.
    n.phase = ((uint32_t)n.phase + samples * (uint32_t)n.step) & osc_phase_mask(n);
}

void combine_child(int op, int shift, int16_t* p, const int16_t* c, int samples) {
    switch (op) {
    case OP_ADD:
        add_buffer(p, c, samples);
        break;
    case OP_MUL: {
        const int s = 15 - std::clamp(shift, -6, 6);
        for (int k = 0; k < samples; k++) p[k] = clamp_sample(((int64_t)p[k] * c[k]) >> s);
        break;
    }
    case OP_XOR:
        for (int k = 0; k < samples; k++) p[k] = (int16_t)(p[k] ^ c[k]);
        break;
    case OP_OR:
        for (int k = 0; k < samples; k++) p[k] = (int16_t)(p[k] | c[k]);
        break;
    default:
        break;  // modulation is hooked up by the render order; the rest combine nothing
    }
}

void combine_child_split(int op, int shift, int32_t pan, int16_t* left, int16_t* right, const int16_t* c,
                         int samples) {
    int32_t L, R;
    get_stereo_contributions(pan_of(pan), L, R);
    const int s = 15 - std::clamp(shift, -6, 6);
    for (int k = 0; k < samples; k++) {
        const int32_t cl = c[k] * L / MUDO_STEREO_UNITY, cr = c[k] * R / MUDO_STEREO_UNITY;
        switch (op) {
        case OP_ADD:
            left[k] = clamp_sample(left[k] + cl);
            right[k] = clamp_sample(right[k] + cr);
            break;
        case OP_MUL:
            left[k] = clamp_sample(((int64_t)cl * left[k]) >> s);
            right[k] = clamp_sample(((int64_t)cr * right[k]) >> s);
            break;
        case OP_XOR:
            left[k] = (int16_t)(left[k] ^ cl);
            right[k] = (int16_t)(right[k] ^ cr);
            break;
        case OP_OR:
            left[k] = (int16_t)(left[k] | cl);
            right[k] = (int16_t)(right[k] | cr);
            break;
        default:
            return;
        }
    }
}

void apply_fx_filter(mudo_node& n, int16_t* buf, int samples) {
    // The resonance term stays in 0..0xFFFF: a negative one could make the
    // damping's divisor 0 or the filter unstable.
    const int64_t r = std::clamp<int64_t>(n.p[2] >> 8, 0, 0xFFFF);
    const int64_t a = 0x10000 - ((n.p[0] >> 8) & 0xFFFF), b = (n.p[1] >> 8) & 0xFFFF;
    const int64_t cl = (a * a) >> 16, ch = 0x10000 - ((b * b) >> 16);
    const int64_t q = (int64_t(1) << 32) / (((r + ((r * r) >> 16)) / 2 + 512) * 128);
    int64_t lp = n.lp, hp = n.hp, band = n.band;
    for (int k = 0; k < samples; k++) {
        const int64_t prev = lp;
        band += q * (buf[k] - lp - band) / 65536;
        lp += cl * band / 65536;
        hp = (hp + lp - prev) * ch / 65536;
        buf[k] = clamp_sample(hp);
    }
    n.lp = lp, n.hp = hp, n.band = band;
}

void apply_fx_echo(mudo_node& n, int16_t* ring, int16_t* buf, int samples) {
    constexpr uint32_t RING_MASK = MUDO_BUF_SAMPLES - 1;
    constexpr int64_t READ_MASK = 0x7FFFFFFF;
    const int64_t D = (int64_t)n.p[0] * 32256 >> 8;  // 16.16 samples: 126 per unit
    const int64_t F = n.p[1] & 0xFFFFFF;              // 24 fraction bits
    if (n.echo_prev_delay == -1) n.echo_prev_delay = D;
    if (n.echo_prev_fb == -1) n.echo_prev_fb = F;
    // The delay and the feedback glide from the last tick's values to these.
    const int64_t read_step = samples > 0 ? 0x10000 - (D - n.echo_prev_delay) / samples : 0x10000;
    const int64_t fb_step = samples > 0 ? (F - n.echo_prev_fb) / samples : 0;
    const uint32_t w = (uint32_t)n.echo_pos & RING_MASK;
    for (int k = 0; k < samples; k++) ring[(w + k) & RING_MASK] = buf[k];
    int64_t R = ((int64_t)w * 0x10000 - n.echo_prev_delay) & READ_MASK;
    int64_t fb = n.echo_prev_fb;
    for (int k = 0; k < samples; k++) {
        int16_t& s = ring[(w + k) & RING_MASK];
        s = clamp_sample(s + ring[R >> 16] * fb / (1 << 24));
        R = (R + read_step) & READ_MASK;
        fb += fb_step;
    }
    for (int k = 0; k < samples; k++) buf[k] = ring[(w + k) & RING_MASK];
    n.echo_pos = (int32_t)((w + samples) & RING_MASK);
    n.echo_prev_delay = D;
    n.echo_prev_fb = F;
}

void apply_fx_gain(const mudo_node& n, int16_t* buf, int samples) {
    // 128 bits throughout: parameters far outside 0..255 must not overflow.
    using i128 = __int128;
    const i128 G = std::max<int64_t>(0x10000 + (int64_t)n.p[0] * 7 / 255, 1);  // never 0 or below
    const i128 S = n.p[1] / 255, H = 0x10000 - n.p[2] / 255, V = n.p[3] / 64;
    const i128 T = H * 65536 / G;
    i128 K = 0;
    if (T != 0x10000) {
        const i128 B = (0x10000 - H) * 65536 / (0x10000 - T), C = (G - H) * 65536 / (0x10000 - T);
        K = S <= 32767 ? (B * 2 * S + C * (0x10000 - 2 * S)) >> 16 : ((0x10000 - (S - 32768) * 2) * B) >> 16;
    }
    for (int k = 0; k < samples; k++) {
        const int32_t x = buf[k];
        const i128 s = (i128)(x < 0 ? -x : x) * 2;
        i128 y;
        if (s < T)
            y = (s * G) >> 16;
        else if (S < 65536)
            y = (((s - T) * K) >> 16) + H;
        else
            y = ((i128)gain_tri[(int64_t)(((((s * G) >> 16) - H) * (S - 0x10000)) >> 17) & 0x3FFF] * 2 * H) >> 16;
        y = y >= 0x10000 ? 32767 : y >> 1;
        if (x < 0) y = -y;
        const i128 out = (y * V) >> 16;
        buf[k] = clamp_sample((int64_t)std::clamp<i128>(out, -MUDO_SAMPLE_MAX, MUDO_SAMPLE_MAX));
    }
}

void apply_fx_crush(mudo_node&, int16_t*, int) {}

void make_node_twins(mudo_channel& ch) {
    for (int i = 0; i < MUDO_INST_NODES; i++) {
        mudo_node& n = ch.node[i];
        if (n.kind < NODE_FILTER || n.depth != 1 || n.is_twin) continue;
        for (int j = i + 1; j < MUDO_INST_NODES; j++) {
            mudo_node& t = ch.node[j];
            if (t.kind != NODE_SILENT) continue;
            // Everything but the filter and echo state, which stay the twin's own.
            const int64_t lp = t.lp, hp = t.hp, band = t.band, prev_delay = t.echo_prev_delay, prev_fb = t.echo_prev_fb;
            const int32_t pos = t.echo_pos;
            t = n;
            t.lp = lp, t.hp = hp, t.band = band;
            t.echo_pos = pos, t.echo_prev_delay = prev_delay, t.echo_prev_fb = prev_fb;
            t.parent = STEREO_NODE_INDEX;
            t.is_twin = 1;
            t.twin = -1;
            n.twin = j;
            break;
        }
    }
}

void render_node_tick(mudo_channel& ch, int i, int samples) {
    mudo_node& n = ch.node[i];
    int16_t* out = node_buf(ch.id, i);
    if (ch.id < 2 * MUDO_CHANNELS) mixer_quiet.node[ch.id] = 0;  // a whole tick's render sets it again
    if (!(n.flags & NODE_FLAG_MUTED) && n.kind == NODE_OSC) {
        render_node_tick_osc(n, out, samples, n.mod_src >= 0 ? node_buf(ch.id, n.mod_src) : nullptr);
        return;
    }
    // An echo's buffer is its ring. Every other buffer is cleared, so what
    // children combine into a node that is never heard cannot pile up.
    if (!(n.flags & NODE_FLAG_MUTED) && n.kind == NODE_ECHO) return;
    std::memset(out, 0, sizeof(int16_t) * samples);
}
