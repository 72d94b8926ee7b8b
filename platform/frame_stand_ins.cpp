// Interim frame hooks: no window yet. Host events are pumped only for the
// quit request, and frames are paced at the normal interval.
#include <SDL.h>

#include "platform/platform.h"
#include "runtime/runtime.h"

void os_apply_video_config() {}
void boot_init() {}

void os_system_init() {
    static const struct { Uint32 flag; const char* name; } modules[] = {
        {SDL_INIT_TIMER, "timer"}, {SDL_INIT_EVENTS, "events"}};
    for (const auto& m : modules) {
        krio_debugf("SDL_Init Module: %s\n", m.name);
        if (SDL_InitSubSystem(m.flag) != 0) krio_debugf(" %s\n", SDL_GetError());
    }
}

void start_frame() {
    SDL_Event e;
    while (SDL_PollEvent(&e))
        if (e.type == SDL_QUIT) app.exit_request = 1;
}

void end_frame() {
    static uint64_t last_t = 0;
    const uint64_t interval = 16;
    for (int i = 0; i < 100 && last_t && os_get_time() - last_t < interval; i++) os_sleep(1);
    last_t = os_get_time();
}

int64_t boot_get_time() {
    static bool started = false;
    if (!started) {
        started = true;
        app.boot_start = app.frame_count;
        return 0;
    }
    return (int64_t)((double)(app.frame_count - app.boot_start) * 16.6);
}
void os_lock_audio() {}
void os_unlock_audio() {}
void os_lock_mouse_cursor(int, int, int) {}
void os_add_public_c_functions(lua_State*) {}
