// Captures through the window manager's signals and the real compositor:
// GIFs decoded with giflib, screenshots and labels decoded back, sound
// captures equal to what the mixer made, and names that stay in the folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <gif_lib.h>
#include <lodepng.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"
#include "tests/support/synth_harness.h"

namespace {

using hvx_test::run_in;

// The frame clock screenshot requests are spaced by; it only moves forward,
// across tests too, since the spacing outlives a fixture.
uint64_t fake_now = 1000000;
uint64_t fake_ticks() { return fake_now; }
void fake_delay(uint32_t ms) { fake_now += ms; }

struct capture : ::testing::Test {
    hvx_test::process_env env;
    hvx_test::scratch_dir desk;
    Process* wm = nullptr;

    void SetUp() override {
        fake_now += 10 * SCREENSHOT_SPACING_MS;
        os_set_frame_clock(fake_ticks, fake_delay);
        for (int i = 0; i < 3; i++) wm = env.spawn("");
        ASSERT_EQ(wm->id, WM_PROCESS_ID);
        pfile_init();
        pfile_reset();
        mount_host_path("/desktop/host", desk.path().c_str());
        // Palette 0: colour i is 0x010101 * i; palette 3: 0x800000 + i.
        run_in(wm, "for i = 0, 63 do poke4(0x5000 + 4 * i, 0x10101 * i) poke4(0x5300 + 4 * i, 0x800000 + i) "
                   "poke(0x5480 + i, i) end");
    }
    void TearDown() override {
        settle();
        os_set_frame_clock(nullptr, nullptr);
        if (gfx_app.gif_recording) gif_end_ex(0);
        gfx_app.gif_recording = 0;
        pfile_reset();
    }
    // The display's pixel (x, y) = colour c.
    void set_pixel(int x, int y, int c) { hvx_poke8(wm, ADDR_DISPLAY + y * HVX_DISPLAY_W + x, (uint8_t)c); }
    void request(uint32_t at, std::vector<int> fields, const std::string& stem) {
        for (size_t i = 0; i < fields.size(); i++) hvx_poke16(wm, at + 2 * (uint32_t)i, (uint16_t)fields[i]);
        for (uint32_t i = 0; i < CAPTURE_STEM_MAX; i++)
            hvx_poke8(wm, ADDR_CAPTURE_STEM + i, i < stem.size() ? (uint8_t)stem[i] : 0);
    }
    uint32_t* compose() { return compose_process_video(wm); }
    // Frames until the screenshot being encoded is stored.
    void settle() {
        for (int i = 0; i < 20000 && screenshot_encoding(); i++) {
            usleep(1000);
            compose();
        }
    }
    std::vector<std::string> notices() {
        std::vector<std::string> n;
        for (const std::string& m : env.messages(wm))
            if (m.find("user_notification") != std::string::npos) n.push_back(m);
        return n;
    }
};

struct gif_file {
    GifFileType* g = nullptr;
    explicit gif_file(const std::string& path) {
        int err = 0;
        g = DGifOpenFileName(path.c_str(), &err);
        if (g && DGifSlurp(g) != GIF_OK) {
            DGifCloseFile(g, &err);
            g = nullptr;
        }
    }
    ~gif_file() {
        int err;
        if (g) DGifCloseFile(g, &err);
    }
    const SavedImage& frame(int i) const { return g->SavedImages[i]; }
    const ExtensionBlock* block(int i, int function, int k = 0) const {
        for (int b = 0; b < frame(i).ExtensionBlockCount; b++)
            if (frame(i).ExtensionBlocks[b].Function == function && k-- == 0) return &frame(i).ExtensionBlocks[b];
        return nullptr;
    }
    int pixel(int i, int x, int y) const { return frame(i).RasterBits[y * g->SWidth + x]; }
};

TEST_F(capture, gif_frames_size_palette_delays_and_transparency) {
    // Width 10 becomes 16 and x 470 then 464; scale 2, skip 5; the stem
    // cannot climb out of the folder.
    request(ADDR_GIF_REQUEST, {470, 100, 10, 20, 2, 0, 5, 0}, "../clip");
    set_pixel(464, 100, 7);
    EXPECT_EQ(run_in(wm, "_signal(18) _signal(18)"), "");  // a second start is refused
    EXPECT_TRUE(gfx_app.gif_recording);
    for (int f = 0; f < 5; f++) compose();  // skipped
    compose();                               // frame 1: recorded
    compose();                               // not recorded
    compose();                               // frame 2: identical, all transparent
    set_pixel(465, 101, 63);
    hvx_poke8(wm, ADDR_LINE_SEL + 101 / 4, (uint8_t)(3 << 2));  // line 101 shows palette 3
    compose(), compose();  // frame 3: colour 63 on a palette-3 line: no transparency
    hvx_poke8(wm, ADDR_LINE_SEL + 101 / 4, 0);
    hvx_poke32(wm, ADDR_PALETTE + 4 * 60, 0xABCDEF);  // a palette change: a local map
    compose(), compose();                         // frame 4
    EXPECT_EQ(run_in(wm, "_signal(19)"), "");
    EXPECT_FALSE(gfx_app.gif_recording);
    const std::string path = desk / "_._clip.gif";
    ASSERT_TRUE(hvx_test::file_exists(path));
    gif_file gif(path);
    ASSERT_NE(gif.g, nullptr);
    EXPECT_EQ(gif.g->ImageCount, 4);
    EXPECT_EQ(gif.g->SWidth, 32);
    EXPECT_EQ(gif.g->SHeight, 40);
    ASSERT_NE(gif.g->SColorMap, nullptr);
    EXPECT_EQ(gif.g->SColorMap->ColorCount, 256);
    EXPECT_EQ(gif.g->SColorMap->Colors[7].Red, 7);
    EXPECT_EQ(gif.g->SColorMap->Colors[192 + 5].Red, 0x80);
    EXPECT_EQ(gif.g->SColorMap->Colors[192 + 5].Blue, 5);
    const ExtensionBlock* app_ext = gif.block(0, APPLICATION_EXT_FUNC_CODE);
    ASSERT_NE(app_ext, nullptr);
    EXPECT_EQ(std::string((const char*)app_ext->Bytes, 11), "NETSCAPE2.0");
    const ExtensionBlock* loop = gif.block(0, CONTINUE_EXT_FUNC_CODE);
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(std::vector<int>(loop->Bytes, loop->Bytes + 3), std::vector<int>({1, 0, 0}));
    const int want_transparent[] = {1, 1, 0, 1};
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        if (i > 0) {
            EXPECT_EQ(gif.block(i, APPLICATION_EXT_FUNC_CODE), nullptr);
        }
        GraphicsControlBlock gcb;
        ASSERT_EQ(DGifSavedExtensionToGCB(gif.g, i, &gcb), GIF_OK);
        EXPECT_EQ(gcb.DelayTime, 3);
        EXPECT_EQ(gcb.TransparentColor, want_transparent[i] ? 255 : NO_TRANSPARENT_COLOR);
        EXPECT_EQ(gif.frame(i).ImageDesc.ColorMap != nullptr, i == 3);
    }
    EXPECT_EQ(gif.pixel(0, 0, 0), 7);  // the source corner (464, 100), doubled
    EXPECT_EQ(gif.pixel(0, 1, 1), 7);
    EXPECT_EQ(gif.pixel(0, 2, 0), 0);
    for (int y = 0; y < 40; y++)
        for (int x = 0; x < 32; x++) ASSERT_EQ(gif.pixel(1, x, y), 255) << x << " " << y;
    EXPECT_EQ(gif.pixel(2, 2, 2), 192 + 63);
    EXPECT_EQ(gif.pixel(2, 0, 0), 7);  // no transparency in that frame
    // Line 101 went back to palette 0: its colour differs from the frame
    // before, the rest is unchanged.
    EXPECT_EQ(gif.pixel(3, 2, 2), 63);
    EXPECT_EQ(gif.pixel(3, 0, 0), 255);
    EXPECT_EQ(gif.frame(3).ImageDesc.ColorMap->Colors[60].Red, 0xAB);
    ASSERT_EQ(notices().size(), 1u);
    EXPECT_NE(notices()[0].find("captured 4 frame gif 16x20 (x2): /desktop/host/_._clip.gif"), std::string::npos);
}

TEST_F(capture, free_names_and_refused_starts) {
    hvx_test::write_file(desk / "shot.png", "x");
    hvx_test::write_file(desk / "shot_1.png", "x");
    EXPECT_EQ(capture_filename("shot", ".png"), "/desktop/host/shot_2.png");
    EXPECT_EQ(capture_filename("new", ".gif"), "/desktop/host/new.gif");
    for (int n = 2; n <= CAPTURE_MAX_SUFFIX; n++) hvx_test::write_file(desk / ("shot_" + std::to_string(n) + ".png"), "x");
    EXPECT_EQ(capture_filename("shot", ".png"), "");
    // No free name, or a folder that is not on the host: no recording.
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 0}, "shot");
    hvx_test::write_file(desk / "shot.gif", "x");
    for (int n = 1; n <= CAPTURE_MAX_SUFFIX; n++) hvx_test::write_file(desk / ("shot_" + std::to_string(n) + ".gif"), "x");
    EXPECT_EQ(run_in(wm, "_signal(18)"), "");
    EXPECT_FALSE(gfx_app.gif_recording);
    // A recording ended with no frame is still a well-formed GIF: a screen
    // and the trailer.
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 1}, "empty");
    mode_t mask = umask(022);
    EXPECT_EQ(run_in(wm, "_signal(18) _signal(19)"), "");
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat((desk / "empty.gif").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // as a screenshot's, not private
    int err = 0;
    GifFileType* g = DGifOpenFileName((desk / "empty.gif").c_str(), &err);
    ASSERT_NE(g, nullptr) << err;
    GifRecordType next;
    EXPECT_EQ(DGifGetRecordType(g, &next), GIF_OK);
    EXPECT_EQ(next, TERMINATE_RECORD_TYPE);
    EXPECT_EQ(g->SWidth, 16);
    DGifCloseFile(g, &err);
    EXPECT_TRUE(notices().empty());  // silent
    // A name taken while recording (here by a folder): the end says so.
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 0}, "taken");
    EXPECT_EQ(run_in(wm, "_signal(18)"), "");
    std::filesystem::create_directories(desk / "taken.gif/inner");
    EXPECT_EQ(gif_end(), 1);
    ASSERT_EQ(notices().size(), 1u);
    EXPECT_NE(notices()[0].find("could not write gif"), std::string::npos);
}

TEST_F(capture, screenshot_equals_the_composed_frame) {
    for (int i = 0; i < 2000; i++) set_pixel((i * 37) % HVX_DISPLAY_W, (i * 11) % HVX_DISPLAY_H, i % 64);
    request(ADDR_SHOT_REQUEST, {100, 50, 40, 30, 2, 0, 1, 0}, "shot");
    EXPECT_EQ(run_in(wm, "_signal(21)"), "");
    compose();  // the skipped frame
    EXPECT_TRUE(gfx_app.screenshot_pending);
    const uint32_t* composed = compose();
    const std::vector<uint32_t> frame(composed, composed + HVX_DISPLAY_PIXELS);
    EXPECT_FALSE(gfx_app.screenshot_pending);
    settle();
    unsigned char* px = nullptr;
    unsigned w = 0, h = 0;
    ASSERT_EQ(lodepng_decode32_file(&px, &w, &h, (desk / "shot.png").c_str()), 0u);
    EXPECT_EQ(w, 80u);
    EXPECT_EQ(h, 60u);
    for (unsigned y = 0; y < h; y++)
        for (unsigned x = 0; x < w; x++) {
            const uint32_t want = frame[(50 + y / 2) * HVX_DISPLAY_W + 100 + x / 2];
            const uint8_t* p = px + 4 * (y * w + x);
            ASSERT_EQ((uint32_t)(p[0] << 16 | p[1] << 8 | p[2]), want) << x << " " << y;
            ASSERT_EQ(p[3], 255);
        }
    free(px);
    ASSERT_EQ(notices().size(), 1u);
    EXPECT_NE(notices()[0].find("captured 40x30 (x2) screenshot: /desktop/host/shot.png"), std::string::npos);
    // A second request within the spacing is refused, whatever it asks for.
    request(ADDR_SHOT_REQUEST, {0, 0, 40, 30, 2, 0, 0, 0}, "soon");
    fake_now += SCREENSHOT_SPACING_MS - 1;
    EXPECT_EQ(run_in(wm, "_signal(21)"), "");
    EXPECT_FALSE(gfx_app.screenshot_pending);
    ASSERT_EQ(notices().size(), 2u);
    EXPECT_NE(notices()[1].find(SCREENSHOT_REFUSED_TEXT), std::string::npos);
    EXPECT_NE(env.log().find("more often than every 500 ms"), std::string::npos);
    // A shot the host cannot store (here past a file size limit) says so.
    fake_now += 1;
    request(ADDR_SHOT_REQUEST, {0, 0, 40, 30, 2, 0, 0, 0}, "big");
    EXPECT_EQ(run_in(wm, "_signal(21)"), "");
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    compose();
    settle();
    setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_FALSE(hvx_test::file_exists(desk / "big.png"));
    EXPECT_FALSE(hvx_test::file_exists(desk / "soon.png"));
    ASSERT_EQ(notices().size(), 3u);
    EXPECT_NE(notices()[2].find("could not store screenshot"), std::string::npos);
}

// A label in mode 3 reads 240 x 135 and is stored 480 x 270, even when the
// mode changes while the shot waits.
TEST_F(capture, label_is_always_the_full_display_size) {
    mount_ram_folder("/ram");
    hvx_poke8(wm, ADDR_VIDEO_MODE, 3);
    set_pixel(239, 134, 9);
    request(ADDR_SHOT_REQUEST, {0, 0, 16, 16, 1, 1, 1, 0}, "");
    EXPECT_EQ(run_in(wm, "_signal(21)"), "");
    compose();
    hvx_poke8(wm, ADDR_VIDEO_MODE, 0);
    compose();
    EXPECT_FALSE(gfx_app.screenshot_pending);
    pfile* f = pfopen(LABEL_PATH, "r");
    ASSERT_NE(f, nullptr);
    const uint8_t* q = f->data->data;
    ASSERT_GE(f->data->length, 14);
    EXPECT_EQ(std::vector<int>(q + 4, q + 12), std::vector<int>({0, 0, 1, 224, 0, 0, 1, 14}));  // 480 x 270
    pfclose(f);
    ASSERT_FALSE(notices().empty());
    EXPECT_NE(notices()[0].find("captured label (/ram/cart/label.qoi)"), std::string::npos);
}

// A sound capture holds exactly the blocks the device played, and its file
// is written after the capture stopped.
TEST_F(capture, audio_capture_equals_the_mixer_output) {
    hvx_synth::fresh_mixer();
    hvx_synth::put_samples(hvx_synth::TABLE, hvx_synth::sine_row(10));
    hvx_synth::instrument(1).osc(0, 0).wavetable(0, hvx_synth::TABLE, 10, 1);
    hvx_synth::start_note(0, 1, 57, 64);
    EXPECT_EQ(run_in(wm, "_signal(16)"), "");
    ASSERT_TRUE(gfx_app.audio_capture);
    std::string played;
    for (int i = 0; i < AUDIO_FREQUENCY / 441; i++) {  // one second in blocks of 441 frames
        std::string block(441 * AUDIO_FRAME_BYTES, '\0');
        sdl2_mixer_callback(nullptr, (uint8_t*)block.data(), (int)block.size());
        played += block;
    }
    EXPECT_EQ(run_in(wm, "_signal(16)"), "");
    EXPECT_FALSE(gfx_app.audio_capture);
    EXPECT_EQ(gfx_app.audio_capture_buf, nullptr);
    const std::string file = hvx_test::read_file(desk / "audio.raw");
    EXPECT_EQ(file.size(), 176400u);
    EXPECT_TRUE(file == played);
    EXPECT_GT(hvx_synth::tone_level(hvx_synth::side(std::vector<int16_t>((const int16_t*)file.data(),
                                                                          (const int16_t*)(file.data() + file.size())),
                                                    0),
                                    440),
              10000);
    ASSERT_EQ(notices().size(), 1u);
    EXPECT_NE(notices()[0].find("captured 1.000 seconds: /desktop/host/audio.raw"), std::string::npos);
}

// A capture left running ends at its length: the file holds exactly that
// many seconds and the notice is the one a stop gives.
TEST_F(capture, audio_capture_ends_at_its_length) {
    EXPECT_EQ(run_in(wm, "_signal(16)"), "");
    ASSERT_TRUE(gfx_app.audio_capture);
    update_audio_capture();
    EXPECT_TRUE(gfx_app.audio_capture);  // short of the length: still on
    buffer* b = gfx_app.audio_capture_buf;
    ASSERT_TRUE(ballocate(b, AUDIO_CAPTURE_MAX_BYTES + 4096));
    std::memset(b->data, 7, (size_t)b->capacity);
    b->length = b->cursor = AUDIO_CAPTURE_MAX_BYTES + 1764;  // the device went on past it before the frame
    update_audio_capture();
    EXPECT_FALSE(gfx_app.audio_capture);
    EXPECT_EQ(gfx_app.audio_capture_buf, nullptr);
    EXPECT_EQ(std::filesystem::file_size(desk / "audio.raw"), (uintmax_t)AUDIO_CAPTURE_MAX_BYTES);
    ASSERT_EQ(notices().size(), 1u);
    EXPECT_NE(notices()[0].find("captured 600.000 seconds: /desktop/host/audio.raw"), std::string::npos);
}

}  // namespace
