// Once a tick every node parameter of a channel becomes a number: its mval
// against the parent's value, an envelope or a random weight; the channel's
// row effect shapes the values every root inherits; oscillators get a step.
#include <algorithm>
#include <climits>
#include <cmath>

#include "audio/synth.h"

namespace {

constexpr int64_t mudo_note_dx[13] = {523, 554, 587, 622, 659, 698, 740, 784, 831, 880, 932, 985, 1046};
constexpr int32_t vib_mag[16] = {16, 20, 24, 28, 32, 36, 40, 44, 48, 56, 64, 80, 96, 128, 192, 256};
constexpr int32_t trem_mag[16] = {16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256};
constexpr int32_t vib_spd[16] = {0, 1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 20, 24, 32, 48, 64};
constexpr int32_t fade_spd[16] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};
constexpr int32_t SAMPLE_RATE = 44100;
// Past this the step of any note exceeds 32 bits; below 0 it is 0.
constexpr int64_t MAX_NOTE_SHIFT = 40;
// A ratio chain keeps its multiplier and divider below this.
constexpr int64_t MAX_RATIO_TERM = int64_t(1) << 31;
constexpr double TWO_PI_AS_WRITTEN = 3.141562 * 2;  // the system's own constants, not 2 pi
constexpr double PHASE_TURN = 0.00390625 * 6.283124;

uint32_t mval_addr(const mudo_node& n, int k) { return n.addr + 4 + 4 * k; }
uint32_t env_addr(const mudo_channel& ch, uint8_t byte3) {
    return mudo_inst_addr(ch) + INST_ENVELOPES + INST_ENVELOPE_SIZE * (byte3 & MVAL_ENV_INDEX);
}
bool env_keeps_running(uint32_t env) {
    return (mudo_ram8(env + 1) & ENV_FLAG_KEEP_RUNNING) || (mudo_ram8(env) & 15) == ENV_DATA;
}

// Brings t back into loop start..end (in steps of L ticks) once it reaches the end.
void wrap_into_loop(int32_t& t, int64_t start, int64_t end, int64_t L) {
    if (end <= start || t < end * L) return;
    t = (int32_t)(start * L + (t - start * L) % ((end - start) * L));
}

void wrap_env_time(const mudo_channel& ch, uint32_t env, int32_t& t) {
    wrap_into_loop(t, mudo_ram8(env + 3), mudo_ram8(env + 4), get_spd(ch, mudo_ram8(env + 2)));
}

int64_t mval_value(uint8_t b, bool is_signed) { return is_signed ? (int8_t)b : b; }

// Step 2 of an mval: A, or A and B blended by an envelope or the random weight.
int64_t mval_base(mudo_channel& ch, mudo_node& n, int k, bool is_signed) {
    const uint32_t a = mval_addr(n, k);
    const uint8_t f = mudo_ram8(a), b3 = mudo_ram8(a + 3);
    const int64_t A = mval_value(mudo_ram8(a + 1), is_signed), B = mval_value(mudo_ram8(a + 2), is_signed);
    int64_t E;
    if (f & MVAL_ENVELOPE) {
        E = eval_envelope(ch, env_addr(ch, b3), n.time[k], n.level[k]);
        if (ch.gate) n.level[k] = E;
    } else if (f & MVAL_RANDOM) {
        E = n.rnd[k];
    } else {
        return A * 65536;
    }
    return (A * E + B * (MUDO_ENV_FULL - E)) * 256 / 255;
}

int32_t lo32(int64_t v) { return (int32_t)(uint32_t)v; }

// A multiplier or divider: never 0 (a fresh parent's 0 counts as 1).
int64_t ratio_term(int64_t v) { return v > 0 ? v : 1; }

// p2 of a pitched node whose mval is a frequency ratio.
void eval_ratio(mudo_channel& ch, mudo_node& n, const mudo_node& parent) {
    n.p[2] = parent.p[2];
    const uint8_t b3 = mudo_ram8(mval_addr(n, 2) + 3);
    const int64_t q = std::clamp<int64_t>(mval_base(ch, n, 2, false) >> 16, 0, 255);
    int64_t num = (q & 15) + 1, den = (q >> 4) + 1;
    const int64_t factor = int64_t(1) << ((b3 >> 6) * 2);
    if (b3 & MVAL_DIVIDE)
        den *= factor;
    else
        num *= factor;
    n.freq_mul = num * ratio_term(parent.freq_mul);
    n.freq_div = den * ratio_term(parent.freq_div);
    while (n.freq_mul > MAX_RATIO_TERM || n.freq_div > MAX_RATIO_TERM) {
        n.freq_mul >>= 1;
        n.freq_div >>= 1;
    }
    n.freq_mul = ratio_term(n.freq_mul);
    n.freq_div = ratio_term(n.freq_div);
}

void advance_param_time(const mudo_channel& ch, mudo_node& n, int k) {
    count_up(n.time[k]);
    if (!ch.gate) return;
    const uint32_t env = env_addr(ch, mudo_ram8(mval_addr(n, k) + 3));
    if (env_keeps_running(env)) wrap_env_time(ch, env, n.time[k]);
}

// The row effect on the channel values.
void apply_channel_effect(mudo_channel& ch, mudo_node& r) {
    const int e = ch.effect, x = ch.effect_param & 0xFF;
    int hi = x >> 4, lo = x & 15;
    const int64_t spd = get_channel_spd(ch);
    const int64_t tick = std::clamp(ch.tick, 0, 0xFFFF);
    bool arpeggio = false, alternation = false;
    switch (e) {
    case 'v':
    case 'w':
    case 't': {
        if (x == 0) hi = 10, lo = 6;
        const int64_t s = (int64_t)(std::sin(ch.vib_phase * TWO_PI_AS_WRITTEN / 65536) * 65536);
        if (e != 't') r.p[3] = lo32(r.p[3] + s * vib_mag[lo] * 2);
        if (e != 'v') r.p[0] = lo32(r.p[0] + (int64_t)(r.p[0] >> 8) * ((s >> 8) * trem_mag[lo]) / 256);
        const int32_t advance = hi ? vib_spd[hi] << 8 : (int32_t)(65536 / spd);
        ch.vib_phase = (int32_t)((uint32_t)ch.vib_phase + (uint32_t)advance);
        break;
    }
    case '<':
    case '>': {
        if (!ch.track_active) break;
        const int64_t full = (int64_t)ch.volume * 65536;
        const int64_t from = hi * full / 16;  // the start of a fade in, the end of a fade out
        const int64_t rate = lo ? (int64_t)ch.volume * fade_spd[lo] * 256 : (full - from) / spd;
        const int64_t v = e == '<' ? std::min(rate * tick + from, full) : std::max(full - rate * tick, from);
        r.p[0] = lo32(v);
        if (tick == spd - 1) ch.volume16 = lo32(v);
        break;
    }
    case 'a':
    case 'b':
    case 'm':
    case 'n':
    case 'A':
    case 'B':
    case 'M':
    case 'N': {
        if (!ch.track_active) break;
        arpeggio = true;
        const bool slow = spd >= 9;
        const int lower = e | 0x20;
        const int per_step = lower == 'a' ? (slow ? 4 : 2) : lower == 'b' ? (slow ? 8 : 4) : lower == 'm' ? 1 : (slow ? 2 : 1);
        if (x == 0) {
            // The notes come from the track's own rows, four at a time.
            const int64_t j = (ch.ticks_played / per_step) % 4;
            const int64_t row = (int64_t)(ch.row & ~3) + j;
            const uint8_t pitch = mudo_ram8((uint64_t)((int64_t)ch.track_addr + 8 + row));
            if (pitch == 255)
                r.p[0] = 0;
            else
                r.p[2] = pitch << 16;
            break;
        }
        const int step = ch.arp_step;
        int add = step == 1 ? hi : step == 2 ? lo : 0;
        if (e != lower) add = step == 0 ? lo : step == 1 ? hi : 0;
        r.p[2] = lo32(r.p[2] + (int64_t)add * 65536);
        if (++ch.arp_count >= per_step) {
            ch.arp_count = 0;
            ch.arp_step = (ch.arp_step + 1) % 3;
        }
        break;
    }
    case 'o':
    case 'O': {
        if (!ch.track_active) break;
        alternation = true;
        int period = lo ? lo : 1;
        if (spd < 9 && period != 1) period /= 2;
        if (ch.alt_phase == (e == 'o' ? 1 : 0)) {
            if (hi == 0)
                r.p[0] = 0;
            else
                r.p[2] = lo32(r.p[2] + (int64_t)hi * 65536);
        }
        if (++ch.alt_count >= period) {
            ch.alt_count = 0;
            ch.alt_phase ^= 1;
        }
        break;
    }
    default:
        break;
    }
    if (!arpeggio) ch.arp_step = ch.arp_count = 0;
    if (!alternation) ch.alt_phase = ch.alt_count = 0;
}

}  // namespace

int32_t get_channel_spd(const mudo_channel& ch) {
    return ch.track_active && ch.speed > 0 ? ch.speed : MUDO_NO_TRACK_SPEED;
}

int32_t get_spd(const mudo_channel& ch, uint8_t dur) {
    const int32_t d = get_env_duration(dur);
    return d ? d : get_channel_spd(ch);
}

int32_t evaluate_envelope_adsr(const mudo_channel& ch, uint32_t env, int32_t t, int64_t level) {
    const int64_t A = get_env_duration(mudo_ram8(env + 8)), D = get_env_duration(mudo_ram8(env + 9));
    const int64_t S = mudo_ram8(env + 10) * 256, R = get_env_duration(mudo_ram8(env + 11));
    if (ch.gate) {
        if (t < A) return (int32_t)(((int64_t)t + 1) * MUDO_ENV_FULL / (A + 1));
        const int64_t d = t - A;
        if (d <= D) return (int32_t)((D + 1 - d) * (MUDO_ENV_FULL - S) / (D + 1) + S);
        return (int32_t)S;
    }
    if (R == 0) return 0;
    return (int32_t)(std::max<int64_t>(R - ch.ticks_since_release, 0) * level / (R + 1));
}

int32_t evaluate_envelope_lfo(const mudo_channel& ch, uint32_t env, int32_t t) {
    const int32_t P = get_spd(ch, mudo_ram8(env + 12));
    const double x = 32640 * std::sin(((double)t * TWO_PI_AS_WRITTEN) / P + mudo_ram8(env + 14) * PHASE_TURN);
    const int32_t xi = (int32_t)x;
    return xi < -32640 ? 0 : std::min(xi, 32640) + 32640;
}

int32_t evaluate_envelope_data(const mudo_channel& ch, uint32_t env, int32_t t) {
    const int32_t L = get_spd(ch, mudo_ram8(env + 2));
    const int32_t i = t / L, m = t % L;
    auto value = [&](int32_t s) -> int32_t { return s >= 0 && s <= 15 ? mudo_ram8(env + 8 + s) : 0; };
    int32_t level = value(i) << 8;
    if (mudo_ram8(env + 1) & ENV_FLAG_INTERPOLATE) {
        const int32_t start = mudo_ram8(env + 3), end = mudo_ram8(env + 4);
        int32_t j = i + 1;
        if (j == end && start < end) j = start;
        level += (value(j) - value(i)) * ((m << 8) / L);
    }
    return level;
}

int32_t eval_envelope(const mudo_channel& ch, uint32_t env, int32_t t, int64_t level) {
    switch (mudo_ram8(env)) {
    case ENV_ADSR:
        return evaluate_envelope_adsr(ch, env, t, level);
    case ENV_LFO:
        return evaluate_envelope_lfo(ch, env, t);
    case ENV_DATA:
        return evaluate_envelope_data(ch, env, t);
    default:
        return 0;
    }
}

int32_t eval_mval(mudo_channel& ch, mudo_node& n, int k, int64_t P) {
    const uint32_t a = mval_addr(n, k);
    const uint8_t f = mudo_ram8(a), b3 = mudo_ram8(a + 3);
    int64_t v = mval_base(ch, n, k, is_mval_signed(n.kind, k));
    int s = (b3 >> 6) * 2;
    if (b3 & MVAL_DIVIDE) s = -s;
    if (k == 0 && n.kind == NODE_OSC && (n.op == OP_FM || n.op == OP_MUL))
        n.mod_shift = s;  // the exponent scales the modulation instead
    else if (s > 0)
        v *= int64_t(1) << s;
    else if (s < 0)
        v /= int64_t(1) << -s;
    switch (f & (MVAL_RELATIVE | MVAL_SCALED)) {
    case MVAL_RELATIVE:
        v += P;
        break;
    case MVAL_SCALED:
        v = (v >> 11) * (P >> 11);
        break;
    default:
        break;
    }
    if (f & MVAL_WHOLE) v &= ~int64_t(0xFFFF);
    return lo32(v);
}

int64_t mudo_get_dx_for_note(int32_t p2, int32_t p3) {
    int64_t u = ((int64_t)(p2 & 0xFFFF) << 8) + p3;
    int64_t n = (int64_t)p2 - (p2 & 0xFFFF);
    n += (u >> 24) * 65536;  // whole semitones move from the fraction to the note
    u &= 0xFFFFFF;
    const int64_t N = n / 65536;
    int64_t o = N / 12, i = N % 12;
    if (i < 0) i += 12, o -= 1;
    const int64_t shift = o + 21;
    if (shift < 0) return 0;
    if (shift > MAX_NOTE_SHIFT) return INT32_MAX;
    const int64_t s0 = (mudo_note_dx[i] << shift) / SAMPLE_RATE, s1 = (mudo_note_dx[i + 1] << shift) / SAMPLE_RATE;
    const int64_t f = u >> 8;
    return std::min<int64_t>((s0 * (0x10000 - f) + s1 * f) >> 16, INT32_MAX);
}

void evaluate_root_node(mudo_channel& ch) {
    mudo_node& root = mixer.root_node;
    root = mudo_node{};
    root.p[0] = ch.volume16;
    root.p[1] = lo32((int64_t)ch.pan * 65536);
    root.p[2] = ch.pitch16 & ~0xFFFF;
    root.p[3] = (ch.pitch16 & 0xFFFF) << 8;
    root.freq_mul = root.freq_div = 1;
    apply_channel_effect(ch, root);
}

void evaluate_channel_node_parameters(mudo_channel& ch) {
    evaluate_root_node(ch);
    const mudo_node& root = mixer.root_node;
    for (int i = 0; i < MUDO_INST_NODES; i++) {
        mudo_node& n = ch.node[i];
        if (n.kind == NODE_SILENT) continue;
        n.mod_src = -1;
        const mudo_node& parent = n.parent < i ? ch.node[n.parent] : root;
        const bool pitched = n.kind == NODE_PITCH || n.kind == NODE_OSC;
        if (pitched) {
            n.freq_mul = ratio_term(parent.freq_mul);
            n.freq_div = ratio_term(parent.freq_div);
        }
        for (int k = 0; k < MUDO_NODE_PARAMS; k++) {
            int64_t P = parent.p[k];
            if (n.kind == NODE_FILTER && k == 2) P = n.p[0];
            if (n.kind == NODE_GAIN && k == 3) P = ch.node[0].p[0];
            if (pitched && k == 2 && (mudo_ram8(mval_addr(n, 2)) & MVAL_SCALED))
                eval_ratio(ch, n, parent);
            else
                n.p[k] = eval_mval(ch, n, k, P);
            advance_param_time(ch, n, k);
        }
        if (pitched) n.step = (uint64_t)(mudo_get_dx_for_note(n.p[2], n.p[3]) * n.freq_mul / n.freq_div);
    }
}

uint32_t mudo_rand() {
    // xorshift64*, seeded on first use
    uint64_t x = mixer.rng ? mixer.rng : 0x9E3779B97F4A7C15ull;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    mixer.rng = x;
    return (uint32_t)((x * 0x2545F4914F6CDD1Dull) >> 32);
}

void retrigger_mval_env_tick(mudo_channel& ch, mudo_node& n, int k) {
    const uint32_t env = env_addr(ch, mudo_ram8(mval_addr(n, k) + 3));
    if (!env_keeps_running(env)) {
        n.time[k] = 0;
        return;
    }
    const int64_t L = get_spd(ch, mudo_ram8(env + 2)), start = mudo_ram8(env + 5);
    n.time[k] = (int32_t)(start * L);
    if ((mudo_ram8(env + 1) & ENV_FLAG_RANDOM_START) && start) n.time[k] = (int32_t)(mudo_rand() % (start * L));
    wrap_env_time(ch, env, n.time[k]);
}

void retrigger_channel_envelopes(mudo_channel& ch) {
    for (int i = 0; i < MUDO_INST_NODES; i++) {
        mudo_node& n = ch.node[i];
        for (int k = 0; k < MUDO_NODE_PARAMS; k++) {
            if (mudo_ram8(mval_addr(n, k)) & MVAL_ENVELOPE) retrigger_mval_env_tick(ch, n, k);
            n.rnd[k] = (int32_t)(mudo_rand() % MUDO_ENV_FULL);
        }
    }
}
