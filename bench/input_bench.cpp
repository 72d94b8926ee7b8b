// Input and audio hot paths beside their anchors: a frame of input handling
// (the host event pass and one process's button refresh) with four
// controllers and every key control mapped and held, against the same frame
// with no devices and against the idle frame of our system ROM; the audio
// callback on a 512-frame buffer through the mixer with every channel idle,
// against a memset of that buffer.
#include <benchmark/benchmark.h>

#include <SDL.h>

#include <cstring>
#include <vector>

#include "audio/audio.h"
#include "bench/bench_support.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

namespace {

uint8_t held[KEY_STATES];
const uint8_t* keyboard(int* n) {
    *n = KEY_STATES;
    return held;
}
uint32_t mouse(int* x, int* y) {
    *x = *y = 0;
    return 0;
}
uint64_t late() { return 1000000; }  // past the focus guard
void no_delay(uint32_t) {}

// The host pass and _update_buttons(true) of process p, as one frame has them.
void input_frame(Process* p) {
    handle_sdl_messages();
    set_current_process(p);
    lua_pushcfunction(p->L, lua54_update_buttons);
    lua_pushboolean(p->L, 1);
    lua_call(p->L, 1, 0);
}

void run_input_frames(benchmark::State& state, int pads, bool keys) {
    SDL_InitSubSystem(SDL_INIT_JOYSTICK);
    SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER);
    os_set_input_reader(keyboard, mouse);
    os_set_frame_clock(late, no_delay);
    for (int i = 0; i < pads; i++) {
        SDL_VirtualJoystickDesc d{};
        d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        d.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        d.naxes = SDL_CONTROLLER_AXIS_MAX;
        d.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        SDL_JoystickAttachVirtualEx(&d);
    }
    krio_joystick_init();
    std::memset(held, 0, sizeof held);
    for (int i = 0; i < KEY_CONTROLS; i++) config.key_controls[i] = keys ? 4 + i % 200 : 0;
    if (keys)
        for (int k = 4; k < 204; k++) held[k] = 1;
    Process* p = bench_process("");
    for (int i = 0; i < 3; i++) input_frame(p);
    if (metacon_slots_in_use() != pads) state.SkipWithError("controllers not connected");
    for (auto _ : state) input_frame(p);
    state.counters["pads"] = metacon_slots_in_use();
    krio_joystick_exit();
    while (SDL_NumJoysticks() > 0) SDL_JoystickDetachVirtual(0);
    os_set_input_reader(nullptr, nullptr);
    os_set_frame_clock(nullptr, nullptr);
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
}

void BM_InputFrame_FourPadsFullKeys(benchmark::State& state) { run_input_frames(state, 4, true); }
BENCHMARK(BM_InputFrame_FourPadsFullKeys)->MeasureProcessCPUTime();

// Anchor: the same pass with nothing connected and nothing mapped.
void BM_Anchor_InputFrame_NoDevices(benchmark::State& state) { run_input_frames(state, 0, false); }
BENCHMARK(BM_Anchor_InputFrame_NoDevices)->MeasureProcessCPUTime();

// Anchor: a whole idle frame of our system ROM.
void BM_Anchor_IdleWindowManagerFrame(benchmark::State& state) {
    Process* root = bench_boot_our_kernel();
    if (!root) {
        state.SkipWithError("kernel or window manager not running");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(bench_idle_frame(root));
}
BENCHMARK(BM_Anchor_IdleWindowManagerFrame)->MeasureProcessCPUTime();

void BM_AudioCallback512(benchmark::State& state) {
    const bool capture = state.range(0) != 0;
    std::vector<uint8_t> stream(AUDIO_SAMPLES * AUDIO_FRAME_BYTES);
    os_lock_audio();
    if (capture) {
        gfx_app.audio_capture_buf = create_buffer_2(AUDIO_CAPTURE_GROWTH, 'a');
        gfx_app.audio_capture = 1;
    }
    os_unlock_audio();
    int64_t n = 0;
    for (auto _ : state) {
        sdl2_mixer_callback(nullptr, stream.data(), (int)stream.size());
        benchmark::DoNotOptimize(stream.data());
        // Rewound now and then, as the main thread's reserve would make room.
        if (capture && ++n % 512 == 0) gfx_app.audio_capture_buf->cursor = 0;
    }
    os_lock_audio();
    destroy_buffer(gfx_app.audio_capture_buf);
    gfx_app.audio_capture_buf = nullptr, gfx_app.audio_capture = 0;
    os_unlock_audio();
}
BENCHMARK(BM_AudioCallback512)->Arg(0)->Arg(1);

// Anchor: the least a callback does, clearing the buffer.
void BM_Anchor_Memset2048(benchmark::State& state) {
    std::vector<uint8_t> stream(AUDIO_SAMPLES * AUDIO_FRAME_BYTES);
    for (auto _ : state) {
        std::memset(stream.data(), 0, stream.size());
        benchmark::DoNotOptimize(stream.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Anchor_Memset2048);

}  // namespace
