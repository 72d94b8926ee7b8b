// The boot screen: its clock, easing, paths and the picture in boot_back.
#include <gtest/gtest.h>

#include <set>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::process_env;

std::vector<uint8_t> canvas() {
    std::vector<uint8_t> b(UD_HEADER_SIZE + HVX_DISPLAY_PIXELS, 0);
    ud_write_header(b.data(), UTYPE_U8, 2, 480, 270);
    return b;
}
uint8_t px(const std::vector<uint8_t>& b, int x, int y) { return b[UD_HEADER_SIZE + y * 480 + x]; }
int count_set(const std::vector<uint8_t>& b) {
    int n = 0;
    for (size_t i = UD_HEADER_SIZE; i < b.size(); i++) n += b[i] != 0;
    return n;
}

TEST(boot_clock, starts_on_first_call_and_counts_16_6_ms_a_frame) {
    process_env env;
    boot_init();
    platform_app.frame_count = 50;
    EXPECT_EQ(boot_get_time(), 0);
    EXPECT_EQ(platform_app.boot_start, 50u);
    platform_app.frame_count = 110;
    EXPECT_EQ(boot_get_time(), 996);  // 60 x 16.6
    platform_app.frame_count = 182;
    EXPECT_EQ(boot_get_time(), 2191);  // still below the 2200 ms of the boot screen
    platform_app.frame_count = 183;
    EXPECT_EQ(boot_get_time(), 2207);
}

TEST(boot_easing, curve) {
    EXPECT_EQ(boot_ease(-1), 0);
    EXPECT_DOUBLE_EQ(boot_ease(0.2), 0.08);
    EXPECT_DOUBLE_EQ(boot_ease(0.5), 0.5);
    EXPECT_DOUBLE_EQ(boot_ease(0.75), 1 - 2 * 0.25 * 0.25);
    EXPECT_EQ(boot_ease(1), 1);
    EXPECT_EQ(boot_ease(3), 1);
}

TEST(boot_paths, fractions_of_the_outer_path) {
    process_env env;
    // Full first segment: x = 0..478 on line 0, the end point not plotted.
    auto b = canvas();
    draw_path(0, 0, 479, 0, 479, 269, 0, 0.5, 0, b.data());
    for (int x = 0; x < 479; x++) ASSERT_NE(px(b, x, 0), 0) << x;
    EXPECT_EQ(px(b, 479, 0), 0);
    EXPECT_EQ(count_set(b), 479);

    // 600 ms: p = 0.2, head e(0.2) = 8 % of the path = 16 % of its first segment.
    b = canvas();
    draw_path(0, 0, 479, 0, 479, 269, boot_ease(0.2 - 0.5), boot_ease(0.2), 0, b.data());
    EXPECT_EQ(count_set(b), (int)(0.16 * 479));
    EXPECT_NE(px(b, 0, 0), 0);
    EXPECT_EQ(px(b, (int)(0.16 * 479), 0), 0);

    // 1000 ms: tail at 0.5, head at 1: exactly the second segment.
    b = canvas();
    draw_path(0, 0, 479, 0, 479, 269, boot_ease(0.5), boot_ease(1.0), 0, b.data());
    for (int y = 0; y < 269; y++) ASSERT_NE(px(b, 479, y), 0) << y;
    EXPECT_EQ(count_set(b), 269);
}

TEST(boot_paths, colours_band_every_32_pixels) {
    process_env env;
    auto b = canvas();
    cline(b.data(), 0, 5, 100, 5, 2);
    for (int x = 0; x < 100; x++) ASSERT_EQ(px(b, x, 5), ((x >> 5) + (x % 3) + 2) % 12 + 8) << x;
    platform_app.signal35_flag = 1;
    b = canvas();
    cline(b.data(), 10, 10, 10, 200, 1);
    std::set<int> seen;
    for (int y = 10; y < 200; y++) seen.insert(px(b, 10, y));
    EXPECT_EQ(seen, (std::set<int>{28, 29, 30}));
    // Off the bitmap nothing is written and nothing breaks.
    b = canvas();
    cline(b.data(), -50, -50, 600, 400, 0);
    cline(b.data(), 0, 0, 0, 0, 0);
    EXPECT_GT(count_set(b), 0);
}

TEST(boot_screen, picture_over_time) {
    process_env env;
    Process* kernel = env.spawn("", "kernel");
    ASSERT_EQ(kernel->id, 1);
    Process* before = cproc;
    boot_init();
    platform_app.frame_count = 1;
    Process* bp = draw_boot();  // starts the clock: nothing drawn yet
    ASSERT_NE(bp, nullptr);
    EXPECT_EQ(cproc, before);
    uint8_t* back = boot_back_block();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(ud_width(back), 480u);
    EXPECT_EQ(ud_height(back), 270u);
    EXPECT_EQ(bp->page_len[47], BOOT_LAST_PAGE_LEN);
    EXPECT_EQ(bp->page_ptr[16], ud_data(back));
    EXPECT_EQ(hvx_peek32(bp, ADDR_PALETTE + 4 * 8), 0xFF004Du);
    EXPECT_EQ(hvx_peek8(bp, ADDR_REMAP + 9), 9);
    EXPECT_EQ(hvx_peek8(bp, 0x8000 + 64 * 12 + 5), 12);
    EXPECT_EQ(hvx_peek8(bp, 0x5F56), 0x40);

    auto lit = [&] {
        int n = 0;
        for (int i = 0; i < HVX_DISPLAY_PIXELS; i++) n += ud_data(back)[i] != 0;
        return n;
    };
    EXPECT_EQ(lit(), 0);
    platform_app.frame_count = 1 + 45;  // 747 ms: outlines growing
    draw_boot();
    int growing = lit();
    EXPECT_GT(growing, 0);
    for (int i = 0; i < HVX_DISPLAY_PIXELS; i++) {
        uint8_t c = ud_data(back)[i];
        ASSERT_TRUE(c == 0 || (c >= 8 && c <= 19)) << i;
    }
    EXPECT_NE(ud_data(back)[0], 0);         // the corner the outlines start from
    EXPECT_EQ(ud_data(back)[3 * 480 + 3] != 0, true);  // the third outline too
    platform_app.frame_count = 1 + 80;  // 1328 ms: gone, only the three text lines from y 200
    draw_boot();
    int above_text = 0;
    for (int i = 0; i < 199 * 480; i++) above_text += ud_data(back)[i] != 0;
    EXPECT_EQ(above_text, 0);
    EXPECT_GT(lit(), 0);
    EXPECT_EQ((int32_t)hvx_peek32(bp, 0x54F0), 35);
    EXPECT_EQ((int32_t)hvx_peek32(bp, 0x54F4), 200 + 11 * 4);  // "booting..\n" and its appended newline

    // The compositor shows it through the boot palette.
    platform_app.frame_count = 1 + 45;
    draw_boot();
    ASSERT_EQ(compose_process_video(bp), back_page);
    EXPECT_EQ(back_page[0], boot_palette[ud_data(back)[0]]);

    // A system error code in the kernel's first byte fills the screen with colour 1.
    hvx_poke8(kernel, 0, 7);
    draw_boot();
    int error_text = 0;
    for (int i = 0; i < HVX_DISPLAY_PIXELS; i++) {
        ASSERT_TRUE(ud_data(back)[i] == 1 || ud_data(back)[i] == 14) << i;
        error_text += ud_data(back)[i] == 14;
    }
    EXPECT_GT(error_text, 0);
    EXPECT_EQ(cproc, before);
}

}  // namespace
