// Placement, enlargement, the 3-to-8 filter, pacing against a fake clock,
// and the window configuration with injected displays.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"

namespace {

void expect_rect(host_rect r, int x, int y, int w, int h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.w, w);
    EXPECT_EQ(r.h, h);
}

TEST(dest_rect, placement_modes) {
    expect_rect(compute_dest_rect(1000, 1000, 480, 270, 0, 0, 0), 0, 219, 1000, 562);
    expect_rect(compute_dest_rect(2000, 500, 480, 270, 0, 0, 0), (2000 - 888) / 2, 0, 888, 500);
    expect_rect(compute_dest_rect(1000, 600, 480, 270, 1, 0, 0), 20, 30, 960, 540);
    expect_rect(compute_dest_rect(1000, 600, 480, 270, 1, 1, 0), 20, 30, 960, 540);
    expect_rect(compute_dest_rect(1000, 820, 480, 270, 1, 1, 0), 20, 5, 960, 810);
    expect_rect(compute_dest_rect(400, 200, 480, 270, 1, 0, 0), -40, -35, 480, 270);
    host_rect r = compute_dest_rect(400, 600, 480, 270, 1, 1, 0);
    EXPECT_EQ(r.w, 0);
    EXPECT_EQ(r.h, 540);
    expect_rect(compute_dest_rect(640, 360, 480, 270, 0, 1, 0), 0, 0, 640, 360);
    expect_rect(compute_dest_rect(1920, 1080, 480, 270, 1, 0, 1), 320, 180, 1280, 720);
    expect_rect(compute_dest_rect(1024, 768, 480, 270, 1, 0, 0), 32, 114, 960, 540);
    // A display of another process's size.
    expect_rect(compute_dest_rect(1024, 768, 160, 90, 1, 0, 0), 32, 114, 960, 540);
    // No display size: nothing placed, no division by zero.
    expect_rect(compute_dest_rect(1024, 768, 0, 90, 0, 0, 0), 0, 0, 0, 0);
    expect_rect(compute_dest_rect(1024, 768, 90, 0, 1, 1, 0), 0, 0, 0, 0);
}

TEST(enlarge, nearest_neighbour_for_every_factor) {
    std::mt19937 rng(3);
    std::vector<uint32_t> src(HVX_DISPLAY_PIXELS);
    for (auto& v : src) v = rng();
    std::vector<uint32_t> dst((size_t)BIG_SRC_W * BIG_SRC_H);
    for (int k = 2; k <= 4; k++) {
        std::fill(dst.begin(), dst.end(), 0xDEADBEEF);
        enlarge_nearest(src.data(), 480, 270, k, dst.data());
        for (int y = 0; y < 270 * k; y++)
            for (int x = 0; x < 480 * k; x++)
                ASSERT_EQ(dst[(size_t)y * 480 * k + x], src[(y / k) * 480 + x / k]) << k << " " << x << "," << y;
        if (k < 4) {
            EXPECT_EQ(dst[(size_t)480 * k * 270 * k], 0xDEADBEEFu);  // nothing past the picture
        }
    }
}

TEST(filter_3_to_8, blends_each_group_without_carry) {
    std::vector<uint32_t> src(HVX_DISPLAY_PIXELS, 0);
    std::vector<uint32_t> dst((size_t)BLIT_720P_W * BLIT_720P_H, 0x12345678);
    // Columns a, b, c and rows A, B, C of the first 3x3 block.
    const uint32_t A = 0xFFFFFFFF, B = 0x00000000, C = 0x80808080;
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++) src[y * 480 + x] = y == 0 ? A : y == 1 ? B : C;
    src[3] = 0xFFFFFFFF, src[4] = 0x00FF00FF, src[5] = 0x40404040;
    filter_3_to_8(src.data(), dst.data());
    auto h = [](uint32_t p) { return (p >> 1) & 0x7F7F7F7Fu; };
    auto q = [](uint32_t p) { return (p >> 2) & 0x3F3F3F3Fu; };
    // Rows: A, A, 3/4A + 1/4B, B, B, 1/2B + 1/2C, C, C (column 0 is plain).
    const uint32_t rows[8] = {A, A, q(A) + h(A) + q(B), B, B, h(B) + h(C), C, C};
    for (int r = 0; r < 8; r++) EXPECT_EQ(dst[(size_t)r * 1280], rows[r]) << r;
    EXPECT_EQ(dst[2], 0xFDFDFDFDu);  // 3/4 + 1/4 of white per channel, no carry between channels
    // Across, on the second group of row 0: a, a, q(a)+h(a)+q(b), b, b, h(b)+h(c), c, c.
    const uint32_t a = 0xFFFFFFFF, b = 0x00FF00FF, c = 0x40404040;
    const uint32_t cols[8] = {a, a, q(a) + h(a) + q(b), b, b, h(b) + h(c), c, c};
    for (int x = 0; x < 8; x++) EXPECT_EQ(dst[8 + x], cols[x]) << x;
    // Every output pixel is written.
    for (size_t i = 0; i < dst.size(); i++) ASSERT_NE(dst[i], 0x12345678u) << i;
}

// The filter as first described: every line filled from source line 3r/8,
// then the blended lines made from their neighbours.
std::vector<uint32_t> reference_3_to_8(const std::vector<uint32_t>& src) {
    auto h = [](uint32_t p) { return (p >> 1) & 0x7F7F7F7Fu; };
    auto q = [](uint32_t p) { return (p >> 2) & 0x3F3F3F3Fu; };
    std::vector<uint32_t> out((size_t)1280 * 720);
    for (int r = 0; r < 720; r++) {
        const uint32_t* in = &src[(size_t)(3 * r / 8) * 480];
        uint32_t* o = &out[(size_t)r * 1280];
        for (int x = 0; x < 480; x += 3, o += 8) {
            uint32_t a = in[x], b = in[x + 1], c = in[x + 2];
            uint32_t row[8] = {a, a, q(a) + h(a) + q(b), b, b, h(b) + h(c), c, c};
            std::memcpy(o, row, sizeof row);
        }
        uint32_t* cur = &out[(size_t)r * 1280];
        uint32_t* prev = cur - 1280;
        for (int x = 0; x < 1280; x++) {
            if (r % 8 == 3) prev[x] = q(prev[x]) + h(prev[x]) + q(cur[x]);
            if (r % 8 == 6) prev[x] = h(prev[x]) + h(cur[x]);
        }
    }
    return out;
}

TEST(filter_3_to_8, equals_the_line_by_line_form_on_random_frames) {
    std::mt19937 rng(11);
    for (int round = 0; round < 3; round++) {
        std::vector<uint32_t> src(HVX_DISPLAY_PIXELS);
        for (auto& v : src) v = round == 2 ? 0xFFFFFFFFu : rng();
        std::vector<uint32_t> dst((size_t)1280 * 720);
        filter_3_to_8(src.data(), dst.data());
        ASSERT_EQ(dst, reference_3_to_8(src)) << round;
    }
}

// --- pacing ----------------------------------------------------------------------

uint64_t fake_now;
int fake_waits;
uint64_t fake_slept;
bool frozen;
uint64_t fake_ticks() { return fake_now; }
void fake_delay(uint32_t ms) {
    fake_waits++;
    fake_slept += ms;
    if (!frozen) fake_now += ms;
}

TEST(pacing, frame_lengths_and_the_wait) {
    int32_t slow = 7;
    EXPECT_EQ(frame_length_ms(0, 1, 0, 10000, &slow), 16u);
    EXPECT_EQ(slow, 0);
    EXPECT_EQ(frame_length_ms(1, 1, 9000, 10000, &slow), 32u);  // idle 1000 ms after boot
    EXPECT_EQ(slow, 1);
    EXPECT_EQ(frame_length_ms(1, 0, 9000, 10000, &slow), 16u);  // still booting
    EXPECT_EQ(slow, 0);
    EXPECT_EQ(frame_length_ms(1, 1, 9500, 10000, &slow), 16u);  // 500 ms is not yet idle
    EXPECT_EQ(frame_length_ms(1, 1, 9499, 10000, &slow), 32u);

    fake_now = 1000, fake_waits = 0, frozen = false;
    EXPECT_EQ(pace_wait(1000, 16, fake_ticks, fake_delay), 1);  // one sleep to the deadline
    EXPECT_EQ(fake_now, 1016u);
    EXPECT_EQ(pace_wait(1000, 16, fake_ticks, fake_delay), 0);  // already late
    fake_now = 1010;
    EXPECT_EQ(pace_wait(1000, 32, fake_ticks, fake_delay), 1);
    EXPECT_EQ(fake_now, 1032u);
    // a frozen clock gives up after 100 ms of sleep, in few waits
    frozen = true;
    fake_slept = 0;
    const int waits = pace_wait(fake_now, 16, fake_ticks, fake_delay);
    EXPECT_EQ(fake_slept, 100u);
    EXPECT_LE(waits, 7);
    // a clock that went back: the same bound
    fake_slept = 0;
    EXPECT_LE(pace_wait(fake_now + 5000, 16, fake_ticks, fake_delay), 100);
    EXPECT_EQ(fake_slept, 100u);
}

TEST(pacing, end_frame_paces_by_the_battery_saver) {
    hvx_test::process_env env;  // headless: no composing
    os_set_frame_clock(fake_ticks, fake_delay);
    fake_now = 5000, frozen = false;
    config.battery_saver = 1;
    platform_app.boot_done = 1;
    platform_app.last_input_time = 5000;
    std::vector<uint64_t> ends;
    for (int i = 0; i < 80; i++) {
        end_frame();
        ends.push_back(fake_now);
    }
    // The first frame does not wait; then 16 ms until 500 ms pass without input.
    EXPECT_EQ(ends[2] - ends[1], 16u);
    EXPECT_EQ(ends.back() - ends[ends.size() - 2], 32u);
    EXPECT_EQ(platform_app.battery_slow, 1);
    platform_app.last_input_time = fake_now;  // input returns to 16 ms
    uint64_t t0 = fake_now;
    end_frame();
    EXPECT_EQ(fake_now - t0, 16u);

    os_set_skip_frame_wait(true);
    t0 = fake_now;
    end_frame();
    EXPECT_EQ(fake_now, t0);
    os_set_skip_frame_wait(false);
    os_set_frame_clock(nullptr, nullptr);
    config.battery_saver = 0;
}

// --- window configuration ----------------------------------------------------------------

window_plan_in one_display(int fullscreen, int pixel_perfect) {
    window_plan_in in{};
    in.fullscreen = fullscreen;
    in.pixel_perfect = pixel_perfect;
    in.virtual_w = 480, in.virtual_h = 270;
    in.num_displays = 1;
    in.bounds = {0, 0, 1024, 768};
    in.desktop_w = 1024, in.desktop_h = 768;
    in.last_x = in.last_y = WINDOW_POS_UNDEFINED;
    return in;
}

TEST(window_plan, sizes_flags_and_texture) {
    window_plan p = plan_window(one_display(1, 1));
    EXPECT_EQ(p.w, 1024);
    EXPECT_EQ(p.h, 768);
    EXPECT_EQ(p.flags, 4101u);
    EXPECT_EQ(p.texture_w, 480);
    EXPECT_EQ(p.texture_h, 270);
    EXPECT_EQ(p.preblit_scale, 1);

    window_plan_in in = one_display(0, 0);
    p = plan_window(in);
    EXPECT_EQ(p.w, 960);
    EXPECT_EQ(p.h, 540);
    EXPECT_EQ(p.flags, 36u);
    EXPECT_EQ(p.pixel_scale, 2);
    EXPECT_EQ(p.x, (1024 - 960) / 2);
    EXPECT_EQ(p.y, (768 - 540) / 2);
    EXPECT_EQ(p.preblit_scale, 3);  // 960x540
    EXPECT_EQ(p.texture_w, 1440);

    in.allow_highdpi = 1;
    in.last_w = 700, in.last_h = 500;  // remembered size, position still centred for the default
    p = plan_window(in);
    EXPECT_EQ(p.flags, 0x2024u);
    EXPECT_EQ(p.w, 700);
    EXPECT_EQ(p.h, 500);
    EXPECT_EQ(p.x, 32);
    in.fullscreen = 1, in.fullscreen_window = 1;
    EXPECT_EQ(plan_window(in).flags, 0x2014u);

    in = one_display(0, 0);
    in.display = 1;  // no such display: the remembered position
    in.last_x = 11, in.last_y = 12;
    p = plan_window(in);
    EXPECT_EQ(p.x, 11);
    EXPECT_EQ(p.y, 12);
    in = one_display(0, 0);
    in.num_displays = 2, in.display = 1, in.bounds = {1024, -100, 1920, 1080};
    p = plan_window(in);
    EXPECT_EQ(p.x, 1024 + (1920 - 960) / 2);
    EXPECT_EQ(p.y, -100 + (1080 - 540) / 2);

    in = one_display(1, 0);
    in.blit_720p = 1;
    p = plan_window(in);
    EXPECT_EQ(p.texture_w, 1280);
    EXPECT_EQ(p.texture_h, 720);
    in.pixel_perfect = 1, in.virtual_w = 160, in.virtual_h = 90;
    EXPECT_EQ(plan_window(in).texture_w, 1280);
    in.blit_720p = 0;
    EXPECT_EQ(plan_window(in).texture_w, 160);
}

TEST(window_plan, scale_factor_and_display_rules) {
    EXPECT_EQ(clamp_pixel_scale(0), 2);
    EXPECT_EQ(clamp_pixel_scale(40), 16);
    EXPECT_EQ(clamp_pixel_scale(-3), 1);
    EXPECT_EQ(clamp_pixel_scale(5), 5);
    EXPECT_EQ(texture_factor(1920, 1080), 4);
    EXPECT_EQ(texture_factor(1000, 600), 3);
    EXPECT_EQ(texture_factor(1000, 500), 2);
    EXPECT_EQ(texture_factor(800, 600), 2);
    EXPECT_EQ(texture_factor(1440, 809), 3);
    EXPECT_EQ(texture_factor(1440, 539), 2);
    EXPECT_EQ(texture_factor(1439, 2000), 3);
    EXPECT_EQ(video_mode_scale_for(3), 2);
    EXPECT_EQ(video_mode_scale_for(4), 3);
    EXPECT_EQ(video_mode_scale_for(0), 1);
    EXPECT_EQ(video_mode_scale_for(5), 1);

    int32_t opt = 5;
    EXPECT_EQ(choose_display(0, &opt, 1), 0);
    EXPECT_EQ(opt, -1);
    opt = 1;
    EXPECT_EQ(choose_display(0, &opt, 2), 1);
    EXPECT_EQ(opt, -1);
    EXPECT_EQ(choose_display(1, &opt, 2), 1);  // acts once

    EXPECT_TRUE(virtual_size_is_valid(480, 270));
    EXPECT_TRUE(virtual_size_is_valid(1, 1));
    EXPECT_FALSE(virtual_size_is_valid(0, 135));
    EXPECT_FALSE(virtual_size_is_valid(600, 270));
    EXPECT_FALSE(virtual_size_is_valid(-1, -1));
    EXPECT_FALSE(virtual_size_is_valid(0, 0));
}

TEST(window_title_and_icon, rules) {
    os_set_window_title("first");
    EXPECT_STREQ(os_get_window_title(), "first");
    std::string long_title(1024, 'x');
    os_set_window_title(long_title.c_str());
    EXPECT_STREQ(os_get_window_title(), "first");
    os_set_window_title(long_title.substr(0, 1023).c_str());
    EXPECT_EQ(std::string(os_get_window_title()), long_title.substr(0, 1023));
    os_set_window_title(WINDOW_TITLE_DEFAULT);

    uint8_t px[256] = {};
    uint32_t pal[64];
    for (int i = 0; i < 64; i++) pal[i] = 0x010203u * i;
    px[0] = 0, px[1] = 5, px[16 * 15 + 15] = 64 + 9;
    os_set_window_icon(px, 0, 99, pal);  // the sizes are not read: the bytes are 16 x 16
    const uint32_t* icon = os_window_icon();
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon[0], 0u);
    EXPECT_EQ(icon[7 * 128 + 7], 0u);
    EXPECT_EQ(icon[8], pal[5] | 0xFF000000u);
    EXPECT_EQ(icon[7 * 128 + 15], pal[5] | 0xFF000000u);
    EXPECT_EQ(icon[8 * 128 + 8], 0u);
    EXPECT_EQ(icon[127 * 128 + 127], pal[9] | 0xFF000000u);  // c & 63
    os_set_window_icon(nullptr, 0, 0, nullptr);
    EXPECT_EQ(os_window_icon(), nullptr);
}

TEST(window_config, process_sizes_outside_the_display_are_ignored) {
    hvx_test::process_env env;
    config.headless = 0;
    for (int i = 0; i < 4; i++) env.spawn("", "p");
    Process* vp = get_process(4);
    ASSERT_NE(vp, nullptr);
    config.display_pid = 4;
    const int16_t sizes[][2] = {{0, 135}, {600, 270}, {-1, -1}, {0, 0}, {241, 136}};
    for (auto s : sizes) {
        hvx_poke16(vp, ADDR_DISPLAY_W, (uint16_t)s[0]);
        hvx_poke16(vp, ADDR_DISPLAY_H, (uint16_t)s[1]);
        hvx_poke8(vp, ADDR_VIDEO_MODE, 3);  // 241 x 2 > 480
        app.video_ready = 0;
        os_apply_video_config();
        EXPECT_EQ(app.video_ready, 0) << s[0] << "x" << s[1];
        EXPECT_EQ(os_virtual_display_size().w, 480);
        EXPECT_FALSE(os_has_window());
    }
    config.display_pid = 3;
    config.headless = 1;
}

}  // namespace
