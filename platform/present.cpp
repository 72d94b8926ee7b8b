// Frame presentation and pacing: where the picture goes in the window, the
// software enlargement before upload, and the frame rate.
#include <SDL.h>
#include <emmintrin.h>

#include <cstring>

#include "platform/platform.h"
#include "core/core.h"

host_rect compute_dest_rect(int32_t W, int32_t H, int32_t pw, int32_t ph, int pixel_perfect, int stretch,
                            int blit_720p) {
    host_rect r{0, 0, 0, 0};
    if (pw < 1 || ph < 1) return r;  // no display size: nothing to place
    if (blit_720p) {
        r.w = BLIT_720P_W, r.h = BLIT_720P_H;
    } else if (pixel_perfect && stretch) {
        r.w = pw > W ? 0 : (W / pw) * pw;
        r.h = ph > H ? 0 : (H / ph) * ph;
    } else if (pixel_perfect) {
        if (pw > W || ph > H) {
            r.w = pw, r.h = ph;
        } else {
            int32_t k = W / pw < H / ph ? W / pw : H / ph;
            r.w = k * pw, r.h = k * ph;
        }
    } else if (stretch) {
        r.w = W, r.h = H;
        return r;
    } else {
        if ((double)pw / ph > (double)W / H) {
            r.w = W, r.h = (int32_t)((double)ph * W / pw);
            r.y = (H - r.h) / 2;
        } else {
            r.h = H, r.w = (int32_t)((double)pw * H / ph);
            r.x = (W - r.w) / 2;
        }
        return r;
    }
    r.x = (W - r.w) / 2;
    r.y = (H - r.h) / 2;
    return r;
}

void enlarge_nearest(const uint32_t* src, int w, int h, int k, uint32_t* dst) {
    const size_t out_w = (size_t)w * k;
    for (int y = 0; y < h; y++) {
        uint32_t* row = dst + (size_t)y * k * out_w;
        const uint32_t* in = src + (size_t)y * w;
        uint32_t* o = row;
        switch (k) {
        case 2:
            for (int x = 0; x < w; x++, o += 2) o[0] = o[1] = in[x];
            break;
        case 3:
            for (int x = 0; x < w; x++, o += 3) o[0] = o[1] = o[2] = in[x];
            break;
        case 4:
            for (int x = 0; x < w; x++, o += 4) o[0] = o[1] = o[2] = o[3] = in[x];
            break;
        default:
            for (int x = 0; x < w; x++)
                for (int i = 0; i < k; i++) *o++ = in[x];
        }
        // The other rows of the block are copies of the first.
        for (int i = 1; i < k; i++) std::memcpy(row + i * out_w, row, out_w * 4);
    }
}

static inline uint32_t half(uint32_t p) { return (p >> 1) & 0x7F7F7F7F; }
static inline uint32_t quarter(uint32_t p) { return (p >> 2) & 0x3F3F3F3F; }

// One source row across: each run of three pixels a, b, c becomes
// a, a, 3/4 a + 1/4 b, b, b, 1/2 b + 1/2 c, c, c.
static void filter_row(const uint32_t* __restrict in, uint32_t* __restrict out) {
    // The last group is done without the four-pixel load, which would read
    // past the end of the frame on its last row.
    int x = 0;
    for (; x + 3 < HVX_DISPLAY_W; x += 3, in += 3, out += 8) {
        __m128i v = _mm_loadu_si128((const __m128i*)in);  // a b c (d)
        __m128i h = _mm_and_si128(_mm_srli_epi32(v, 1), _mm_set1_epi32(0x7F7F7F7F));
        __m128i q = _mm_and_si128(_mm_srli_epi32(v, 2), _mm_set1_epi32(0x3F3F3F3F));
        // m = (q(a) + h(a) + q(b), h(b) + h(c), ., .)
        __m128i qh = _mm_add_epi32(q, h);                                   // lane 0: q(a)+h(a)
        __m128i next_q = _mm_shuffle_epi32(q, _MM_SHUFFLE(3, 3, 2, 1));      // lane 0: q(b)
        __m128i next_h = _mm_shuffle_epi32(h, _MM_SHUFFLE(3, 3, 2, 1));      // lane 1: h(c)
        __m128i m1 = _mm_add_epi32(qh, next_q);                              // lane 0
        __m128i m2 = _mm_add_epi32(h, next_h);                               // lane 1: h(b)+h(c)
        __m128i am = _mm_unpacklo_epi32(v, m1);                              // a m1 b .
        __m128i lo = _mm_shuffle_epi32(am, _MM_SHUFFLE(2, 1, 0, 0));         // a a m1 b
        __m128i bm = _mm_unpacklo_epi32(_mm_shuffle_epi32(v, _MM_SHUFFLE(2, 2, 2, 1)),
                                        _mm_shuffle_epi32(m2, _MM_SHUFFLE(1, 1, 1, 1)));  // b m2 c m2
        __m128i hi = _mm_shuffle_epi32(bm, _MM_SHUFFLE(2, 2, 1, 0));         // b m2 c c
        _mm_storeu_si128((__m128i*)out, lo);
        _mm_storeu_si128((__m128i*)(out + 4), hi);
    }
    uint32_t a = in[0], b = in[1], c = in[2];
    out[0] = a, out[1] = a, out[2] = quarter(a) + half(a) + quarter(b);
    out[3] = b, out[4] = b, out[5] = half(b) + half(c);
    out[6] = c, out[7] = c;
}

// Down, each group of eight lines from three source lines A, B, C is
// A, A, 3/4 A + 1/4 B, B, B, 1/2 B + 1/2 C, C, C: the three filtered lines
// are made once and the rest copied or blended from them.
void filter_3_to_8(const uint32_t* src, uint32_t* dst) {
    const size_t W = BLIT_720P_W;
    for (int g = 0; g < BLIT_720P_H / 8; g++) {
        const uint32_t* in = src + (size_t)g * 3 * HVX_DISPLAY_W;
        uint32_t* __restrict out = dst + (size_t)g * 8 * W;
        filter_row(in, out);
        filter_row(in + HVX_DISPLAY_W, out + 3 * W);
        filter_row(in + 2 * HVX_DISPLAY_W, out + 6 * W);
        const uint32_t* __restrict a = out;
        const uint32_t* __restrict b = out + 3 * W;
        const uint32_t* __restrict c = out + 6 * W;
        uint32_t* __restrict ab = out + 2 * W;
        uint32_t* __restrict bc = out + 5 * W;
        for (size_t x = 0; x < W; x++) {
            ab[x] = quarter(a[x]) + half(a[x]) + quarter(b[x]);
            bc[x] = half(b[x]) + half(c[x]);
        }
        std::memcpy(out + W, a, W * 4);
        std::memcpy(out + 4 * W, b, W * 4);
        std::memcpy(out + 7 * W, c, W * 4);
    }
}

uint32_t frame_length_ms(int battery_saver, int boot_done, uint64_t last_input_time, uint64_t now,
                         int32_t* battery_slow) {
    if (!battery_saver) {
        *battery_slow = 0;
        return FRAME_MS;
    }
    int idle = last_input_time + IDLE_AFTER_MS < now;
    *battery_slow = idle;
    if (!boot_done) {
        *battery_slow = 0;
        return FRAME_MS;
    }
    return idle ? FRAME_MS_SLOW : FRAME_MS;
}

// One sleep to the deadline as a rule (an idle workstation wakes once a
// frame, not every millisecond); another only if it came back early.
int pace_wait(uint64_t last_t, uint32_t length, uint64_t (*ticks)(), void (*delay)(uint32_t)) {
    const uint64_t deadline = last_t + length;
    int waits = 0;
    uint32_t slept = 0;
    for (uint64_t now = ticks(); now < deadline && waits < FRAME_WAIT_MAX && slept < FRAME_SLEEP_MAX_MS;
         now = ticks()) {
        const uint64_t left = deadline - now;
        const uint32_t ms = left < FRAME_SLEEP_MAX_MS - slept ? (uint32_t)left : FRAME_SLEEP_MAX_MS - slept;
        delay(ms);
        slept += ms;
        waits++;
    }
    return waits;
}

static bool skip_frame_wait;
static uint64_t last_t;

void os_set_frame_clock(uint64_t (*ticks)(), void (*delay)(uint32_t)) {
    os_clock_ticks = ticks ? ticks : os_get_time;
    os_clock_delay = delay ? delay : os_sleep;
    last_t = 0;
}
void os_set_skip_frame_wait(bool skip) { skip_frame_wait = skip; }

void start_frame() { handle_sdl_messages(); }

void end_frame() {
    if (!config.headless) {
        int w = 0, h = 0;
        uint32_t* pixels = generate_video_out(&w, &h);
        // Before the window exists (no process 3 yet) there is nothing to draw into.
        if (os_has_window()) os_show_frame(pixels, w, pixels && composed_frame_changed());
    }
    uint32_t length = frame_length_ms(config.battery_saver, platform_app.boot_done, platform_app.last_input_time, os_clock_ticks(),
                                      &platform_app.battery_slow);
    if (!skip_frame_wait) pace_wait(last_t, length, os_clock_ticks, os_clock_delay);
    last_t = os_clock_ticks();
}
