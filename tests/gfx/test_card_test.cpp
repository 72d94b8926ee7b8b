// The test card: a kernel whose displayed process draws with every graphics
// call once runs in the built program; the frame the window shows matches
// the picture recorded after it was looked at (written to test-out/).
#include <gtest/gtest.h>

#include <lodepng.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "storage/storage.h"
#include "tests/support/harness.h"
#include "tests/support/rom_maker.h"
#include "tests/support/saved_frames.h"

namespace {

// CRC-32 of the 480 x 270 RGB pixels of the recorded test card.
constexpr uint32_t kTestCardCrc = 0x05A2B150;

TEST(test_card, every_call_draws_the_recorded_picture) {
    const std::string here = __FILE__;
    const std::string card = hvx_test::read_file(here.substr(0, here.rfind('/')) + "/scripts/test_card.lua");
    ASSERT_FALSE(card.empty());
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", card}}));
    hvx_test::scratch_dir frames;
    hvx_test::background_run prog(inst, {}, {"SDL_VIDEO_DUMMY_SAVE_FRAMES=1", "ASAN_OPTIONS=detect_leaks=0"},
                                  frames.path());
    ASSERT_EQ(prog.wait_exit(30000), 0) << prog.out() << prog.err();
    EXPECT_NE(prog.out().find("card 3\n"), std::string::npos) << prog.out();

    auto names = hvx_test::saved_frames(frames.path());
    ASSERT_FALSE(names.empty());
    hvx_test::saved_frame last(frames / names.back());
    ASSERT_NE(last.s, nullptr);
    // Fullscreen 1024 x 768, pixel-perfect: virtual (x, y) at (32 + 2x, 114 + 2y).
    std::vector<uint8_t> rgb;
    for (int y = 0; y < 270; y++)
        for (int x = 0; x < 480; x++) {
            const uint32_t c = last.rgb(32 + 2 * x, 114 + 2 * y);
            rgb.insert(rgb.end(), {(uint8_t)(c >> 16), (uint8_t)(c >> 8), (uint8_t)c});
        }
    const std::string out = hvx_test::build_dir() + "/test-out";
    mkdir(out.c_str(), 0755);
    lodepng_encode24_file((out + "/test_card.png").c_str(), rgb.data(), 480, 270);
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", crc32b(rgb.data(), (int64_t)rgb.size()));
    char want[16];
    std::snprintf(want, sizeof want, "0x%08X", kTestCardCrc);
    EXPECT_STREQ(crc, want) << "see " << out << "/test_card.png";
}

}  // namespace
