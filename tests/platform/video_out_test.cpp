// The compositor and the process-to-process display copy.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

namespace {

using hvx_test::process_env;

void identity_remap(Process* p) {
    for (int i = 0; i < 64; i++) hvx_poke8(p, ADDR_REMAP + i, (uint8_t)i);
}
void set_pal(Process* p, int slot, uint32_t rgb) { hvx_poke32(p, ADDR_PALETTE + 4 * slot, rgb); }
void set_line_sel(Process* p, int y, int s) {
    uint32_t a = ADDR_LINE_SEL + y / 4;
    uint8_t v = hvx_peek8(p, a) & ~(3 << ((y % 4) * 2));
    hvx_poke8(p, a, v | (uint8_t)(s << ((y % 4) * 2)));
}
void put(Process* p, int x, int y, uint8_t c) { hvx_poke8(p, ADDR_DISPLAY + 480 * y + x, c); }
uint32_t at(int x, int y) { return back_page[y * HVX_DISPLAY_W + x]; }

struct video_out_test : ::testing::Test {
    process_env env;
    Process* p = nullptr;
    void SetUp() override {
        p = env.spawn("", "wm");
        ASSERT_NE(p, nullptr);
        identity_remap(p);
    }
};

TEST_F(video_out_test, unbacked_display_is_black_and_stays_unbacked) {
    set_pal(p, 0, 0xFFFFFF);  // colour 0 is white: only missing storage gives black
    std::memset(back_page, 0x55, sizeof back_page);
    ASSERT_EQ(compose_process_video(p), back_page);
    for (int i = 0; i < HVX_DISPLAY_PIXELS; i++) ASSERT_EQ(back_page[i], 0u) << i;
    for (int pg = 16; pg < 48; pg++) EXPECT_EQ(p->backing_page[pg], nullptr) << pg;
    put(p, 5, 0, 0);  // backs page 16 only
    compose_process_video(p);
    EXPECT_EQ(at(5, 0), 0xFFFFFFu);
    EXPECT_EQ(at(255, 8), 0xFFFFFFu);         // byte 4095: same page
    EXPECT_EQ(at(256, 8), 0u);                // page 17
    EXPECT_EQ(at(479, 269), 0u);              // page 47, still unbacked
}

TEST_F(video_out_test, palette_selector_and_remap) {
    set_pal(p, 2 * 64 + 5, 0x123456);
    set_pal(p, 5, 0xAAAAAA);
    set_line_sel(p, 7, 2);
    put(p, 3, 7, 0x45);  // bits 6 and 7 ignored
    put(p, 3, 8, 0x45);  // selector 0 line
    compose_process_video(p);
    EXPECT_EQ(display_line_sel[7], 2u);
    EXPECT_EQ(display_pal[133], 0x123456u);
    EXPECT_EQ(at(3, 7), display_pal[133]);
    EXPECT_EQ(at(3, 8), 0xAAAAAAu);

    set_pal(p, 7, 0x00FF00);
    set_pal(p, 3, 0xFF0000);
    hvx_poke8(p, ADDR_REMAP + 3, 0x47);
    put(p, 0, 0, 3);
    compose_process_video(p);
    EXPECT_EQ(at(0, 0), 0x00FF00u);
    EXPECT_EQ(display_pal[3], 0x00FF00u);
    EXPECT_EQ(display_pal[64 + 3], hvx_peek32(p, ADDR_PALETTE + 4 * (64 + 7)));
}

TEST_F(video_out_test, video_modes_widen_in_place) {
    set_pal(p, 1, 0xFFFFFF);
    set_line_sel(p, 10, 1);
    set_pal(p, 64 + 1, 0x0000FF);
    put(p, 10, 10, 1);
    hvx_poke8(p, ADDR_VIDEO_MODE, 3);
    compose_process_video(p);
    EXPECT_EQ(video_mode, 3);
    for (int y = 0; y < HVX_DISPLAY_H; y++)
        for (int x = 0; x < HVX_DISPLAY_W; x++) {
            bool in = x >= 20 && x <= 21 && y >= 20 && y <= 21;
            ASSERT_EQ(at(x, y), in ? 0x0000FFu : 0u) << x << "," << y;
        }
    EXPECT_EQ(display_line_sel[20], 1u);
    EXPECT_EQ(display_line_sel[21], 1u);
    EXPECT_EQ(display_line_sel[10], 0u);

    hvx_poke8(p, ADDR_VIDEO_MODE, 4);
    put(p, 0, 0, 1);
    compose_process_video(p);
    for (int y = 0; y < 40; y++)
        for (int x = 0; x < 40; x++) {
            bool in = (x < 3 && y < 3) || (x >= 30 && x < 33 && y >= 30 && y < 33);
            ASSERT_EQ(at(x, y) != 0, in) << x << "," << y;
        }
}

TEST_F(video_out_test, reboot_pending_halves_and_no_new_frame_keeps_the_picture) {
    set_pal(p, 1, 0xFFFFFF);
    put(p, 1, 1, 1);
    platform_app.reboot_request = 1;
    compose_process_video(p);
    EXPECT_EQ(at(1, 1), 0x7F7F7Fu);
    platform_app.reboot_request = 0;
    compose_process_video(p);
    EXPECT_EQ(at(1, 1), 0xFFFFFFu);

    hvx_poke8(p, ADDR_FLAG_BYTE, FLAG_NO_NEW_FRAME | 1);
    set_pal(p, 1, 0x111111);
    EXPECT_EQ(compose_process_video(p), nullptr);
    EXPECT_EQ(at(1, 1), 0xFFFFFFu);
}

TEST_F(video_out_test, partly_mapped_page_is_black_past_its_length) {
    set_pal(p, 9, 0xABCDEF);
    std::vector<uint8_t> ud(4096, 9);
    put(p, 300, 0, 9);  // a backing page exists under the mapping
    hvx_map_page(p, 16, ud.data(), 100);
    compose_process_video(p);
    EXPECT_EQ(at(99, 0), 0xABCDEFu);
    EXPECT_EQ(at(100, 0), 0u);
    EXPECT_EQ(at(300, 0), 0u);
    hvx_unmap_page(p, 16);
}

// Frames after random changes (pixels, rows, palette words, remap, line
// selectors, video mode, a mapping that serves part of a page, a second
// source) compose as a fresh composition of the same memory does.
TEST_F(video_out_test, kept_rows_compose_as_a_fresh_composition) {
    Process* q = env.spawn("", "other");
    ASSERT_NE(q, nullptr);
    identity_remap(q);
    std::vector<uint8_t> ud(4096, 3);
    std::mt19937 rng(7);
    std::vector<uint32_t> kept(HVX_DISPLAY_PIXELS);
    for (int step = 0; step < 400; step++) {
        Process* src = rng() % 8 ? p : q;
        const int y = (int)(rng() % HVX_DISPLAY_H);
        switch (rng() % 9) {
        case 0: put(src, (int)(rng() % HVX_DISPLAY_W), y, (uint8_t)rng()); break;
        case 1: for (int x = 0; x < HVX_DISPLAY_W; x++) put(src, x, y, (uint8_t)(x + step)); break;
        case 2: set_pal(src, (int)(rng() % 256), rng() & 0xFFFFFF); break;
        case 3: hvx_poke8(src, ADDR_REMAP + rng() % 64, (uint8_t)rng()); break;
        case 4: set_line_sel(src, y, (int)(rng() % 4)); break;
        case 5: hvx_poke8(src, ADDR_VIDEO_MODE, rng() % 4 ? 0 : (uint8_t)(3 + rng() % 2)); break;
        case 6: hvx_map_page(src, 16 + (int)(rng() % 32), ud.data(), (int32_t)(rng() % 4097)); break;
        case 7: hvx_unmap_page(src, 16 + (int)(rng() % 32)); break;
        default: break;  // an unchanged frame
        }
        ASSERT_EQ(compose_process_video(src), back_page);
        std::memcpy(kept.data(), back_page, sizeof back_page);
        forget_composed_rows();
        compose_process_video(src);
        ASSERT_EQ(std::memcmp(kept.data(), back_page, sizeof back_page), 0) << step;
    }
    for (int pg = 16; pg < 48; pg++) hvx_unmap_page(p, pg), hvx_unmap_page(q, pg);
}

TEST_F(video_out_test, source_follows_the_boot_sequence) {
    int w = 0, h = 0;
    config.headless = 0;
    // No process 3: the boot screen.
    ASSERT_NE(generate_video_out(&w, &h), nullptr);
    EXPECT_EQ(w, 480);
    EXPECT_EQ(h, 270);
    config.display_pid = 4;
    w = h = -1;
    EXPECT_EQ(generate_video_out(&w, &h), nullptr);
    EXPECT_EQ(w, -1);
    config.display_pid = 3;

    env.spawn("", "two");
    Process* wm = env.spawn("", "three");
    ASSERT_EQ(wm->id, 3);
    identity_remap(wm);
    set_pal(wm, 1, 0x00FF00);
    hvx_memset_proc(wm, ADDR_DISPLAY, 1, 480 * 270);
    boot_init();
    platform_app.boot_start = 0;
    platform_app.frame_count = 10;
    generate_video_out(&w, &h);
    EXPECT_NE(at(240, 135), 0x00FF00u);  // still the boot screen
    platform_app.frame_count += 133;              // 133 x 16.6 = 2207 ms
    platform_app.boot_screen_off = 0;
    generate_video_out(&w, &h);
    EXPECT_EQ(platform_app.boot_done, 1);
    EXPECT_NE(at(240, 135), 0x00FF00u);  // waits for the signal
    platform_app.boot_screen_off = 1;
    generate_video_out(&w, &h);
    EXPECT_EQ(at(240, 135), 0x00FF00u);
    std::string log = env.log();
    size_t first = log.find("@@ finished_boot_sequence");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("@@ finished_boot_sequence", first + 1), std::string::npos);

    // A video process above 3 shows process 3 at once.
    app = app_t{};
    platform_app = platform_app_t{};
    config.display_pid = 4;
    generate_video_out(&w, &h);
    EXPECT_EQ(platform_app.boot_done, 1);
    EXPECT_EQ(platform_app.boot_screen_off, 1);
    EXPECT_EQ(at(0, 0), 0x00FF00u);
    config.display_pid = 3;
    config.headless = 1;
}

// --- blit_from_ram --------------------------------------------------------------

std::vector<uint8_t> make_ud(int w, int h, uint8_t fill) {
    std::vector<uint8_t> b(UD_HEADER_SIZE + (size_t)w * h, fill);
    ud_write_header(b.data(), UTYPE_U8, 2, (uint32_t)w, (uint32_t)h);
    return b;
}

struct blit_test : video_out_test {
    Process* caller = nullptr;
    void SetUp() override {
        video_out_test::SetUp();
        caller = env.spawn("", "caller");
        hvx_poke16(p, ADDR_DISPLAY_W, 480);
        for (int y = 0; y < 270; y++)
            for (int x = 0; x < 480; x++) put(p, x, y, (uint8_t)((x + 7 * y) % 251 + 1));
    }
    void clip(int x0, int x1, int y0, int y1) {
        caller->clip_box[0] = x0, caller->clip_box[1] = x1, caller->clip_box[2] = y0, caller->clip_box[3] = y1;
        cproc = caller;
    }
    void TearDown() override { cproc = nullptr; }
    uint8_t src(int x, int y) { return (uint8_t)((x + 7 * y) % 251 + 1); }
};

TEST_F(blit_test, clip_skips_source_columns) {
    auto d = make_ud(64, 32, 0);
    clip(10, 64, 0, 32);
    int32_t r = blit_from_ram(p, ADDR_DISPLAY, d.data(), 0, 0, 4, 0, 20, 5, 0);
    EXPECT_EQ(r, (14 * 5) / 4);
    uint8_t* px = ud_data(d.data());
    for (int y = 0; y < 6; y++)
        for (int x = 0; x < 64; x++) {
            uint8_t want = (y < 5 && x >= 10 && x < 24) ? src(x - 4, y) : 0;
            ASSERT_EQ(px[y * 64 + x], want) << x << "," << y;
        }
}

TEST_F(blit_test, unmapped_source_gives_colour_8_and_mask_keeps_the_rest) {
    Process* empty = env.spawn("", "empty");
    hvx_poke16(empty, ADDR_DISPLAY_W, 480);
    auto d = make_ud(16, 4, 3);
    clip(0, 16, 0, 4);
    EXPECT_EQ(blit_from_ram(empty, ADDR_DISPLAY, d.data(), 0, 0, 0, 0, 16, 4, 0), 16);
    for (int i = 0; i < 64; i++) ASSERT_EQ(ud_data(d.data())[i], 8);
    EXPECT_EQ(empty->backing_page[16], nullptr);

    // Masked copy equals a byte loop on random, unaligned data.
    std::mt19937 rng(7);
    for (int i = 0; i < 480 * 20; i++) put(p, i % 480, i / 480, (uint8_t)(rng() % 10 == 0 ? rng() : 0));
    auto got = make_ud(333, 17, 0);
    auto want = make_ud(333, 17, 0);
    for (size_t i = UD_HEADER_SIZE; i < got.size(); i++) got[i] = want[i] = (uint8_t)rng();
    clip(0, 333, 0, 17);
    blit_from_ram(p, ADDR_DISPLAY, got.data(), 3, 1, 1, 0, 331, 17, 0x21);
    for (int y = 0; y < 17; y++)
        for (int x = 0; x < 331; x++) {
            uint8_t v = hvx_peek8(p, ADDR_DISPLAY + 480 * (y + 1) + x + 3);
            if (v & 0x21) want[UD_HEADER_SIZE + y * 333 + x + 1] = v;
        }
    EXPECT_EQ(got, want);
}

TEST_F(blit_test, hostile_sizes_stay_inside_both_sides) {
    auto d = make_ud(40, 30, 0);
    clip(-100, 1000, -100, 1000);  // clamped to the destination
    const int64_t big = INT64_MAX, small = INT64_MIN;
    const int64_t vals[] = {0, -1, -480, 479, 1 << 24, big, small, big / 2, small / 2};
    for (int16_t stride : {(int16_t)0, (int16_t)-480, (int16_t)32767, (int16_t)-32768}) {
        hvx_poke16(p, ADDR_DISPLAY_W, (uint16_t)stride);
        for (int64_t sx : vals)
            for (int64_t sy : vals)
                for (int64_t dx : {(int64_t)-5, (int64_t)0, (int64_t)39, big, small})
                    for (int64_t w : {(int64_t)0, (int64_t)-3, (int64_t)45, big}) {
                        int32_t r = blit_from_ram(p, ADDR_DISPLAY, d.data(), sx, sy, dx, -2, w, big, 0);
                        ASSERT_GE(r, 0);
                        ASSERT_LE(r, 40 * 30 / 4);
                    }
    }
    EXPECT_EQ(blit_from_ram(p, ADDR_DISPLAY, d.data(), 0, 0, 0, 0, 10, 0, 0), 0);
    EXPECT_EQ(blit_from_ram(p, ADDR_DISPLAY, d.data(), 0, 0, 0, 0, 10, -5, 0), 0);
    EXPECT_EQ(blit_from_ram(nullptr, ADDR_DISPLAY, d.data(), 0, 0, 0, 0, 10, 10, 0), 0);

    // A negative stride walks upwards, wrapping at 16 MB.
    hvx_poke16(p, ADDR_DISPLAY_W, (uint16_t)-480);
    auto e = make_ud(4, 2, 0);
    clip(0, 4, 0, 2);
    blit_from_ram(p, ADDR_DISPLAY, e.data(), 0, 0, 0, 0, 4, 2, 0);
    EXPECT_EQ(ud_data(e.data())[0], src(0, 0));
    EXPECT_EQ(ud_data(e.data())[4], hvx_peek8(p, ADDR_DISPLAY - 480));
}

}  // namespace
