// The contract between the main thread and the mixer on the audio thread:
// volume and swap change without the lock, notes, the focus copy and the
// capture buffer only under it. tools/tsan-check.sh runs this under
// ThreadSanitizer, where any unguarded access fails.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdlib>
#include <string>

#include "audio/audio.h"
#include "audio/synth.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"

namespace {

TEST(mixer_contract, main_thread_steers_while_the_device_plays) {
    hvx_test::process_env env;
    Process* p = env.spawn("");
    Process* q = env.spawn("");
    ASSERT_NE(q, nullptr);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
    audio_open_output_device();
    ASSERT_GE(os_audio_device_id(), 0);
    const std::string setup = "poke(0x5538, 64) poke(0x553a, 64) poke(0x553c, 3) ";
    uint32_t mixed = 0;
    for (int i = 0; i < 120; i++) {
        mudo_set_volume(i % 3 ? 192 : 0);
        mudo_set_stereo_swap(i & 1);
        // Alternate focus: every page of the new focus is copied under the lock.
        Process* who = i % 20 < 10 ? p : q;
        hvx_test::run_in(who, setup + "poke(0x50000 + " + std::to_string(i) + ", 1) note(" +
                                  std::to_string(40 + i % 30) + ", 0, 40, 0, 0, " + std::to_string(i % 16) +
                                  ") sfx(-4, 3, " + std::to_string(i) + ")");
        if (i % 30 == 0) audio_capture_start();
        if (i % 30 == 15) audio_capture_end();
        os_audio_capture_reserve();
        os_lock_audio();
        mixed += last_num_samples_mixed;
        os_unlock_audio();
        SDL_Delay(2);
    }
    audio_capture_end();
    EXPECT_EQ(os_audio_lock_level(), 0);
    audio_close_output_device();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    EXPECT_GT(mixed, 0u);  // the device played throughout
}

}  // namespace
