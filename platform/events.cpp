// Host events to messages: once a frame the SDL queue is drained and input
// reaches the window manager (process 3) as Lua table texts.
#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "core/core.h"

platform_app_t platform_app;

static uint8_t key_state[KEY_STATES], last_key_state[KEY_STATES];
static int32_t last_mx = -1, last_my = -1, last_mb = -1;
static float virtual_mx, virtual_my;
static int32_t move_sensitivity = 64, event_sensitivity = 64;
static int32_t last_warp_x, last_warp_y;
static int32_t locked_acc_x, locked_acc_y;
static int32_t locked_reset;

static const uint8_t* sdl_keyboard(int* n) { return SDL_GetKeyboardState(n); }
static uint32_t sdl_mouse(int* x, int* y) { return SDL_GetMouseState(x, y); }
static const uint8_t* (*read_keyboard)(int*) = sdl_keyboard;
static void (*drop_handler)(const char*) = nullptr;

void os_set_drop_handler(void (*handler)(const char* host_path)) { drop_handler = handler; }
static uint32_t (*read_mouse)(int*, int*) = sdl_mouse;

void os_set_input_reader(const uint8_t* (*keyboard)(int*), uint32_t (*mouse)(int*, int*)) {
    read_keyboard = keyboard ? keyboard : sdl_keyboard;
    read_mouse = mouse ? mouse : sdl_mouse;
}

void os_reset_input_state() {
    std::memset(key_state, 0, sizeof key_state);
    std::memset(last_key_state, 0, sizeof last_key_state);
    last_mx = last_my = last_mb = -1;
    locked_acc_x = locked_acc_y = 0;
    locked_reset = 0;
}

int os_key_state(int scancode) {
    if (scancode == -1) {
        for (uint8_t k : key_state)
            if (k) return 1;
        return 0;
    }
    return scancode >= 0 && scancode < KEY_STATES ? key_state[scancode] : 0;
}

// --- mouse lock and warp -----------------------------------------------------------

// The host pointer to the window position of the virtual one.
static void warp_to_virtual() {
    SDL_Window* win = os_sdl_window();
    video_size pv = os_virtual_display_size();
    if (!win || pv.w <= 0 || pv.h <= 0) return;
    host_rect r;
    get_dest_rect(&r);
    SDL_WarpMouseInWindow(win, (int)(r.x + (double)r.w * virtual_mx / pv.w),
                          (int)(r.y + (double)r.h * virtual_my / pv.h));
}

void os_warp_mouse_pointer(int64_t x, int64_t y) {
    // Far enough for any window, near enough that no conversion overflows.
    const int64_t far = 1 << 20;
    virtual_mx = (float)(x < -far ? -far : x > far ? far : x);
    virtual_my = (float)(y < -far ? -far : y > far ? far : y);
    warp_to_virtual();
}

void os_lock_mouse_cursor(int flags, int es, int ms) {
    event_sensitivity = es;
    move_sensitivity = ms;
    bool want = (flags & MOUSE_LOCK_FLAG) != 0;
    if (!want && platform_app.mouse_locked) {
        warp_to_virtual();
        platform_app.mouse_locked = 0;
        return;
    }
    SDL_Window* win = os_sdl_window();
    video_size pv = os_virtual_display_size();
    host_rect r;
    get_dest_rect(&r);
    int mx = 0, my = 0;
    if (want && !platform_app.mouse_locked) {
        read_mouse(&mx, &my);
        if (r.w > 0 && r.h > 0) {
            virtual_mx = (float)((double)(mx - r.x) * pv.w / r.w);
            virtual_my = (float)((double)(my - r.y) * pv.h / r.h);
        }
        int ww = 0, wh = 0;
        if (win) SDL_GetWindowSize(win, &ww, &wh);
        if (ww > 1 && wh > 1) {
            SDL_WarpMouseInWindow(win, ww / 2, wh / 2);
            last_warp_x = ww / 2, last_warp_y = wh / 2;
        }
        locked_reset = 1;
    }
    if (config.fullscreen && win && r.w > 0 && r.h > 0) {
        read_mouse(&mx, &my);
        int cx = mx < r.x ? r.x : mx > r.x + r.w - 1 ? r.x + r.w - 1 : mx;
        int cy = my < r.y ? r.y : my > r.y + r.h - 1 ? r.y + r.h - 1 : my;
        if (cx != mx || cy != my) SDL_WarpMouseInWindow(win, cx, cy);
    }
    platform_app.mouse_locked = flags & MOUSE_LOCK_FLAG;
}

// --- texts -----------------------------------------------------------------------

static int fit(int r, size_t n) { return r < 0 || (size_t)r >= n ? 0 : r; }

int host_event_text_key(char* out, size_t n, bool down, int scancode) {
    return fit(snprintf(out, n, down ? "{event=\"keydown\",scancode=%d}" : "{event=\"keyup\",scancode=%d}", scancode),
               n);
}
int host_event_text_input(char* out, size_t n, const char* utf8) {
    // Escaped completely: typed quotes or backslashes cannot add fields.
    return fit(snprintf(out, n, "{event=\"textinput\",text=\"%s\"}", escape_lua_string(utf8 ? utf8 : "")), n);
}
int host_event_text_wheel(char* out, size_t n, int wx, int wy) {
    return fit(snprintf(out, n, "{event=\"mousewheel\",wheel_x=%d,wheel_y=%d}", wx, wy), n);
}
int host_event_text_mouse(char* out, size_t n, int mx, int my, int mb) {
    return fit(snprintf(out, n, "{event=\"mouse\",mx=%d,my=%d,mb=%d}", mx, my, mb), n);
}
int host_event_text_locked(char* out, size_t n, int dx, int dy) {
    return fit(snprintf(out, n, "{event=\"mouselockedmove\",locked_dx=%d,locked_dy=%d}", dx, dy), n);
}

// The one place host events leave for the window manager.
int send_host_event(const char* text) {
    Process* wm = get_process(WM_PROCESS_ID);
    if (!wm || !text || !*text) return 0;
    return send_process_message_string(wm, text) > 0;
}

// --- pure arithmetic ---------------------------------------------------------------

int32_t locked_steps(int32_t* acc) {
    int32_t a = *acc, d = 0;
    if (a >= 64) {
        d = ((a - 64) >> 6) + 1;
        a = (a - 64) & 63;
    } else if (a < -63) {
        int32_t u = (-a - 64) >> 6;
        d = d - 1 - u;
        a = a + 64 + 64 * u;
    }
    *acc = a;
    return d;
}

void map_mouse_to_virtual(int mx, int my, const host_rect& r, int pw, int ph, int fullscreen, int* vx, int* vy) {
    if (r.w > 0 && r.h > 0) {
        mx = (int)(((int64_t)(mx - r.x) * pw) / r.w);
        my = (int)(((int64_t)(my - r.y) * ph) / r.h);
        if (fullscreen) {
            mx = mx < 0 ? 0 : mx > pw - 1 ? pw - 1 : mx;
            my = my < 0 ? 0 : my > ph - 1 ? ph - 1 : my;
        }
    }
    *vx = mx, *vy = my;
}

uint32_t mouse_buttons_from_sdl(uint32_t m) {
    return (m & SDL_BUTTON_LMASK ? 1 : 0) | (m & SDL_BUTTON_RMASK ? 2 : 0) | (m & SDL_BUTTON_MMASK ? 4 : 0);
}

// --- the frame's pass ----------------------------------------------------------------

static void locked_motion(const SDL_MouseMotionEvent& m) {
    SDL_Window* win = os_sdl_window();
    int ww = 0, wh = 0;
    if (win) SDL_GetWindowSize(win, &ww, &wh);
    if (ww <= 1 || wh <= 1) {
        last_warp_x = m.x, last_warp_y = m.y;
        return;
    }
    video_size pv = os_virtual_display_size();
    host_rect r;
    get_dest_rect(&r);
    double sx = (double)r.w / pv.w, sy = (double)r.h / pv.h;
    if (sx < 0.1) sx = 0.1;
    if (sy < 0.1) sy = 0.1;
    double fx = (m.x - last_warp_x) / sx, fy = (m.y - last_warp_y) / sy;
    if (!locked_reset) {
        locked_acc_x = (int32_t)std::lround(event_sensitivity * fx + locked_acc_x);
        locked_acc_y = (int32_t)std::lround(event_sensitivity * fy + locked_acc_y);
    } else {
        locked_reset = 0;
        locked_acc_x = locked_acc_y = 0;
    }
    virtual_mx += (float)(fx * move_sensitivity / 64);
    virtual_my += (float)(fy * move_sensitivity / 64);
    virtual_mx = virtual_mx < 0 ? 0 : virtual_mx > pv.w - 1 ? (float)(pv.w - 1) : virtual_mx;
    virtual_my = virtual_my < 0 ? 0 : virtual_my > pv.h - 1 ? (float)(pv.h - 1) : virtual_my;
    SDL_WarpMouseInWindow(win, ww / 2, wh / 2);
    last_warp_x = ww / 2, last_warp_y = wh / 2;
}

// Events after which the window may not show the last frame presented.
static bool window_shows_anew(uint8_t event) {
    return event == SDL_WINDOWEVENT_SHOWN || event == SDL_WINDOWEVENT_EXPOSED || event == SDL_WINDOWEVENT_MAXIMIZED ||
           event == SDL_WINDOWEVENT_RESTORED || event == SDL_WINDOWEVENT_SIZE_CHANGED ||
           event == SDL_WINDOWEVENT_DISPLAY_CHANGED;
}

static void window_event(const SDL_WindowEvent& w) {
    krio_debugf("SDL_WINDOWEVENT: %d\n", (int)w.event);
    SDL_Window* win = os_sdl_window();
    bool ours = win && w.windowID == SDL_GetWindowID(win);
    if (ours && window_shows_anew(w.event)) os_window_needs_present();
    switch (w.event) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_FOCUS_GAINED:
        platform_app.focus = 1;
        platform_app.focus_time = os_ticks();
        if (win) SDL_RaiseWindow(win);
        break;
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_FOCUS_LOST:
        if (ours) platform_app.focus = 0;
        break;
    case SDL_WINDOWEVENT_CLOSE:
        krio_debug("SDL_WINDOWEVENT_CLOSE\n");
        platform_app.exit_request = 1;
        break;
    default:
        break;
    }
}

void handle_sdl_messages() {
    char text[HOST_EVENT_TEXT_MAX];
    int n = 0;
    const uint8_t* ks = read_keyboard(&n);
    if (n > KEY_STATES) n = KEY_STATES;
    if (!ks || n < 0) n = 0;
    if (os_sdl_window()) SDL_ShowCursor(0);
    std::memcpy(last_key_state, key_state, sizeof key_state);
    for (int i = 0; i < n; i++) key_state[i] = ks[i] != 0;
    std::memset(key_state + n, 0, (size_t)(KEY_STATES - n));

    os_audio_capture_reserve();

    update_controllers();
    // One pump, then the events queued by then: nothing is pushed to mark the
    // end of the poll, and what comes meanwhile waits for the next frame.
    SDL_PumpEvents();
    int queued = SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT);
    SDL_Event e;
    for (; queued > 0 && SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1; queued--) {
        platform_app.last_input_time = os_ticks();
        switch (e.type) {
        case SDL_QUIT:
            krio_debug("SDL_QUIT\n");
            platform_app.exit_request = 1;  // a reboot keeps it
            break;
        case SDL_WINDOWEVENT:
            window_event(e.window);
            break;
        case SDL_KEYDOWN:
            // Pressed and released within one frame still counts as down for it.
            if (e.key.keysym.scancode >= 0 && e.key.keysym.scancode < KEY_STATES) key_state[e.key.keysym.scancode] = 1;
            break;
        case SDL_TEXTINPUT:
            if (host_event_text_input(text, sizeof text, e.text.text)) send_host_event(text);
            break;
        case SDL_MOUSEMOTION:
            if (platform_app.mouse_locked) locked_motion(e.motion);
            break;
        case SDL_MOUSEWHEEL:
            if (host_event_text_wheel(text, sizeof text, e.wheel.x, e.wheel.y)) send_host_event(text);
            break;
        case SDL_CONTROLLERDEVICEADDED:
            krio_debugf("[SDL_CONTROLLERDEVICEADDED] device_index: %d\n", (int)e.cdevice.which);
            repack_metacon();
            connect_joystick(e.cdevice.which);
            break;
        case SDL_CONTROLLERDEVICEREMOVED: {
            krio_debugf("[SDL_CONTROLLERDEVICEREMOVED] instance_id: %d ", (int)e.cdevice.which);
            int slot = disconnect_joystick(e.cdevice.which);
            if (slot >= 0) krio_debugf(" slot: %d\n", slot);
            else krio_debug("** failed to disconnect joystick\n");
            break;
        }
        case SDL_DROPFILE:
            if (e.drop.file && drop_handler) drop_handler(e.drop.file);
            SDL_free(e.drop.file);
            if (os_sdl_window()) SDL_RaiseWindow(os_sdl_window());
            break;
        case SDL_RENDER_TARGETS_RESET:
        case SDL_RENDER_DEVICE_RESET:
            os_renderer_reset(e.type == SDL_RENDER_DEVICE_RESET);
            break;
        case SDL_AUDIODEVICEADDED:
            krio_debugf("SDL_AUDIODEVICEADDED %d\n", (int)e.adevice.which);
            break;
        case SDL_AUDIODEVICEREMOVED:
            krio_debugf("SDL_AUDIODEVICEREMOVED %d\n", (int)e.adevice.which);
            if (!e.adevice.iscapture && os_audio_device_id() == (int64_t)e.adevice.which) {
                audio_close_output_device();
                if (SDL_WasInit(SDL_INIT_AUDIO)) audio_open_output_device();
            }
            break;
        default:
            break;
        }
    }

    if (os_ticks() <= platform_app.focus_time + FOCUS_GUARD_MS) std::memset(key_state, 0, sizeof key_state);

    // Most frames no key changed: one comparison of the two tables.
    if (std::memcmp(key_state, last_key_state, sizeof key_state) != 0) {
        for (int i = 0; i < KEY_STATES; i++) {
            if (key_state[i] == last_key_state[i]) continue;
            if (host_event_text_key(text, sizeof text, key_state[i] != 0, i)) send_host_event(text);
        }
    }

    video_size ws = os_window_size();
    if (ws.w > 0 && ws.h > 0) {
        int mx = 0, my = 0;
        uint32_t buttons = read_mouse(&mx, &my);
        if (buttons) platform_app.last_input_time = os_ticks();
        int mb = (int)mouse_buttons_from_sdl(buttons);
        host_rect r;
        get_dest_rect(&r);
        video_size pv = os_virtual_display_size();
        map_mouse_to_virtual(mx, my, r, pv.w, pv.h, config.fullscreen, &mx, &my);
        if (platform_app.mouse_locked) mx = (int)std::lround(virtual_mx), my = (int)std::lround(virtual_my);
        if (mx != last_mx || my != last_my || mb != last_mb) {
            if (host_event_text_mouse(text, sizeof text, mx, my, mb)) send_host_event(text);
            last_mx = mx, last_my = my;
        }
        last_mb = mb;
    }

    if (!platform_app.mouse_locked) {
        locked_acc_x = locked_acc_y = 0;
        return;
    }
    int dx = locked_steps(&locked_acc_x), dy = locked_steps(&locked_acc_y);
    if ((dx || dy) && host_event_text_locked(text, sizeof text, dx, dy)) send_host_event(text);
}
