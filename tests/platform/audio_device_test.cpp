// The audio device: the disk driver writes exactly what the mixer produced
// and capture received; the lock keeps the callback out (also checked under
// ThreadSanitizer by tools/tsan-check.sh); a removed device is re-opened and
// a refused one leaves audio closed.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"

namespace {

using hvx_test::eventually;

// Touched by the callback, and by the tests only while they hold the lock.
int16_t next_sample;
int32_t mix_calls, largest_request;
void counting_mixer(int16_t* s, int32_t frames) {
    mix_calls++;
    if (frames > largest_request) largest_request = frames;
    for (int32_t i = 0; i < frames * AUDIO_CHANNELS; i++) s[i] = next_sample++;
}

struct audio_device : ::testing::Test {
    hvx_test::process_env env;
    hvx_test::scratch_dir dir;
    void SetUp() override {
        os_lock_audio();
        next_sample = 0, mix_calls = 0, largest_request = 0;
        os_set_audio_mixer(counting_mixer);
        os_unlock_audio();
    }
    void TearDown() override {
        audio_close_output_device();
        os_set_audio_mixer(nullptr);
        os_lock_audio();
        destroy_buffer(gfx_app.audio_capture_buf);
        gfx_app.audio_capture_buf = nullptr, gfx_app.audio_capture = 0;
        os_unlock_audio();
        SDL_QuitSubSystem(SDL_INIT_AUDIO | SDL_INIT_EVENTS);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
    }
    void start(const char* driver) {
        setenv("SDL_AUDIODRIVER", driver, 1);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO | SDL_INIT_EVENTS), 0) << SDL_GetError();
        audio_open_output_device();
        ASSERT_GE(os_audio_device_id(), 0);
    }
    int32_t calls() {
        os_lock_audio();
        int32_t c = mix_calls;
        os_unlock_audio();
        return c;
    }
    void capture_into(int32_t capacity) {
        os_lock_audio();
        gfx_app.audio_capture_buf = create_buffer_2(capacity, 'a');
        gfx_app.audio_capture = 1;
        os_unlock_audio();
    }
};

TEST_F(audio_device, disk_driver_writes_what_the_mixer_made_and_capture_has_it_too) {
    std::string out = dir / "out.raw";
    setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
    setenv("SDL_DISKAUDIODELAY", "1", 1);
    capture_into(1764000);
    start("disk");
    ASSERT_TRUE(eventually(5000, [&] { return hvx_test::read_file(out).size() >= 65536; }));
    audio_close_output_device();
    std::string written = hvx_test::read_file(out);
    const size_t block = AUDIO_SAMPLES * AUDIO_FRAME_BYTES;
    ASSERT_EQ(written.size() % block, 0u);
    // SDL plays silence of its own until the device is started, and may play
    // one more block of it when closing finds its thread already under way.
    const std::string silence(block, '\0');
    while (written.size() >= block && written.compare(0, block, silence) == 0) written.erase(0, block);
    while (written.size() >= block && written.compare(written.size() - block, block, silence) == 0)
        written.resize(written.size() - block);
    std::string captured((const char*)gfx_app.audio_capture_buf->data, (size_t)gfx_app.audio_capture_buf->length);
    ASSERT_EQ(captured.size(), written.size());
    ASSERT_TRUE(captured == written);
    for (size_t i = 0; i < written.size() / 2; i++) {
        int16_t v;
        std::memcpy(&v, written.data() + 2 * i, 2);
        ASSERT_EQ(v, (int16_t)i) << i;
    }
    EXPECT_LE(largest_request, AUDIO_MIX_CHUNK_FRAMES);
    EXPECT_EQ(os_audio_capture_dropped(), 0u);
}

TEST_F(audio_device, callback_fills_long_requests_and_never_grows_the_capture) {
    os_lock_audio();  // makes the lock; the callback is called here directly
    os_unlock_audio();
    const int len = 1500 * AUDIO_FRAME_BYTES + 2;
    std::string stream(len, '\x55');
    capture_into(4 * AUDIO_FRAME_BYTES);
    uint64_t dropped = os_audio_capture_dropped();
    sdl2_mixer_callback(nullptr, (uint8_t*)stream.data(), len);
    EXPECT_EQ(mix_calls, 3);
    EXPECT_EQ(next_sample, 3000);  // 1500 frames of two samples
    EXPECT_EQ(stream.substr(len - 2), std::string(2, '\0'));
    EXPECT_EQ(gfx_app.audio_capture_buf->length, 0);
    EXPECT_EQ(os_audio_capture_dropped() - dropped, (uint64_t)len);
    // The main thread makes room ahead of the callback.
    os_audio_capture_reserve();
    EXPECT_GT(gfx_app.audio_capture_buf->capacity, (uint32_t)AUDIO_CAPTURE_AHEAD);
    sdl2_mixer_callback(nullptr, (uint8_t*)stream.data(), len);
    EXPECT_EQ(gfx_app.audio_capture_buf->length, len);
}

TEST_F(audio_device, lock_keeps_the_callback_out_and_nests) {
    start("dummy");
    ASSERT_TRUE(eventually(2000, [&] { return calls() > 2; }));
    os_lock_audio();
    os_lock_audio();
    int32_t held_at = mix_calls;
    next_sample = 0;  // a write the callback would race without the lock
    os_unlock_audio();
    EXPECT_EQ(os_audio_lock_level(), 1);
    SDL_Delay(100);  // about nine callback periods
    EXPECT_EQ(mix_calls, held_at);
    os_unlock_audio();
    os_unlock_audio();  // unpaired: ignored
    EXPECT_EQ(os_audio_lock_level(), 0);
    EXPECT_TRUE(eventually(2000, [&] { return calls() > held_at; }));
}

TEST_F(audio_device, removal_reopens_and_a_refused_open_leaves_audio_closed) {
    start("dummy");
    int64_t first = os_audio_device_id();
    SDL_Event e{};
    e.type = SDL_AUDIODEVICEREMOVED;
    e.adevice.which = (Uint32)first;
    SDL_PushEvent(&e);
    handle_sdl_messages();
    EXPECT_GE(os_audio_device_id(), 0);  // SDL may give the freed id again
    std::string log = env.log();
    size_t removed = log.find("SDL_AUDIODEVICEREMOVED " + std::to_string(first));
    ASSERT_NE(removed, std::string::npos);
    EXPECT_NE(log.find("Audio output device 0: ", removed), std::string::npos) << "not opened again";
    int32_t c = calls();
    EXPECT_TRUE(eventually(2000, [&] { return calls() > c; }));

    audio_close_output_device();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    audio_open_output_device();
    EXPECT_EQ(os_audio_device_id(), -1);
    EXPECT_NE(env.log().find("** could not open the audio output device"), std::string::npos);
    os_lock_audio();  // harmless without a device
    os_unlock_audio();
    EXPECT_EQ(os_audio_lock_level(), 0);
}

}  // namespace
