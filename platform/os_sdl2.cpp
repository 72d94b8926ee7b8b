// The host window: SDL start-up, the window, renderer and streaming texture
// made from the settings, the title and icon, and the upload of each frame.
// Windows-only hints and drivers have no meaning here and are left out.
#include <SDL.h>

#include <cstdio>
#include <cstring>

#include "gfx/gfx.h"
#include "platform/platform.h"
#include "core/core.h"

static SDL_Window* sdl_window;
static SDL_Renderer* sdl_renderer;
static SDL_Texture* sdl_texture;
static int32_t sdl_texture_w, sdl_texture_h;
static int32_t sdl_window_w, sdl_window_h;
static int32_t hvx_window_w = HVX_DISPLAY_W, hvx_window_h = HVX_DISPLAY_H;
static int32_t preblit_scale = 2;
static float renderer_scale_x = 1.0f, renderer_scale_y = 1.0f;
static int32_t last_win_x = WINDOW_POS_UNDEFINED, last_win_y = WINDOW_POS_UNDEFINED;
static int32_t last_win_w, last_win_h;
static int32_t last_fullscreen;
static char sdl_window_title[WINDOW_TITLE_MAX] = {};
static int32_t use_custom_window_icon;
static uint32_t window_icon_dat[WINDOW_ICON_SIDE * WINDOW_ICON_SIDE];
static uint32_t big_src[BIG_SRC_W * BIG_SRC_H];
static uint64_t presents, uploads;
static bool texture_stale = true;  // the texture does not hold the last composed frame
static bool window_stale = true;   // the window does not show the texture as placed now
static host_rect shown_rect;

// --- pure pieces ---------------------------------------------------------------

int clamp_pixel_scale(int k) {
    if (k == 0) return PIXEL_SCALE_DEFAULT;
    return k < 1 ? 1 : k > PIXEL_SCALE_MAX ? PIXEL_SCALE_MAX : k;
}


int texture_factor(int W, int H) {
    if (W < 960) return 2;
    if (W < 1440) return H >= 540 ? 3 : 2;
    return H >= 810 ? 4 : H >= 540 ? 3 : 2;
}

bool virtual_size_is_valid(int64_t w, int64_t h) {
    return w >= 1 && w <= HVX_DISPLAY_W && h >= 1 && h <= HVX_DISPLAY_H;
}

int choose_display(int current, int32_t* display_option, int num_displays) {
    if (*display_option >= 0) {
        if (*display_option < num_displays) current = *display_option;
        *display_option = -1;
    }
    return current;
}

window_plan plan_window(const window_plan_in& in) {
    window_plan out{};
    out.pixel_scale = clamp_pixel_scale(in.pixel_scale);
    int32_t w = in.virtual_w * out.pixel_scale, h = in.virtual_h * out.pixel_scale;
    out.x = in.last_x, out.y = in.last_y;
    if (in.display < in.num_displays) {
        if (in.fullscreen) {
            out.x = in.bounds.x, out.y = in.bounds.y;
        } else {
            out.x = in.bounds.x + (in.bounds.w - w) / 2;
            out.y = in.bounds.y + (in.bounds.h - h) / 2;
        }
    }
    if (in.fullscreen) {
        out.flags = in.fullscreen_window ? WINDOW_FLAGS_BORDERLESS : WINDOW_FLAGS_FULLSCREEN;
        w = in.desktop_w, h = in.desktop_h;
    } else {
        out.flags = WINDOW_FLAGS_WINDOWED;
        if (in.last_w > 0) w = in.last_w;
        if (in.last_h > 0) h = in.last_h;
    }
    if (in.allow_highdpi) out.flags |= WINDOW_FLAG_HIGHDPI;
    out.w = w, out.h = h;
    if (in.pixel_perfect || in.blit_720p) {
        out.preblit_scale = 1;
        bool big = in.blit_720p;
        out.texture_w = big ? BLIT_720P_W : in.virtual_w;
        out.texture_h = big ? BLIT_720P_H : in.virtual_h;
    } else {
        out.preblit_scale = texture_factor(w, h);
        out.texture_w = in.virtual_w * out.preblit_scale;
        out.texture_h = in.virtual_h * out.preblit_scale;
    }
    return out;
}

int calculate_preblit_scale() {
    if (config.pixel_perfect || config.blit_720p) return 1;
    return texture_factor(sdl_window_w, sdl_window_h);
}

video_size os_virtual_display_size() { return {hvx_window_w, hvx_window_h}; }
video_size os_window_size() { return {sdl_window_w, sdl_window_h}; }
video_size os_texture_size() { return {sdl_texture_w, sdl_texture_h}; }
int os_preblit_scale() { return preblit_scale; }
bool os_has_window() { return sdl_window && sdl_renderer && sdl_texture; }
SDL_Window* os_sdl_window() { return sdl_window; }

// --- start-up ------------------------------------------------------------------

void os_system_init() {
    snprintf(sdl_window_title, sizeof sdl_window_title, "%s", WINDOW_TITLE_DEFAULT);
    static const struct {
        Uint32 flag;
        const char* name;
    } modules[] = {{SDL_INIT_TIMER, "timer"},       {SDL_INIT_VIDEO, "video"},   {SDL_INIT_JOYSTICK, "joystick"},
                   {SDL_INIT_GAMECONTROLLER, "gamecontroller"}, {SDL_INIT_EVENTS, "events"}, {SDL_INIT_AUDIO, "audio"}};
    for (const auto& m : modules) {
        krio_debugf("SDL_Init Module: %s\n", m.name);
        if (SDL_InitSubSystem(m.flag) != 0) krio_debugf(" %s\n", SDL_GetError());
    }
    krio_joystick_init();
    if (config.sdl_render_driver == 1) {
        krio_debug("[video] setting SDL_HINT_RENDER_DRIVER hint: opengl\n");
        SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    }
    krio_debug("[video] setting SDL_HINT_VIDEO_ALLOW_SCREENSAVER hint: 1\n");
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    os_reset_input_state();
    krio_debug("[audio] opening audio output device..\n");
    if (SDL_WasInit(SDL_INIT_AUDIO)) audio_open_output_device();
    krio_debug("[audio] ok\n");
}

static void apply_icon() {
    if (!sdl_window || !use_custom_window_icon) return;
    SDL_Surface* s = SDL_CreateRGBSurfaceFrom(window_icon_dat, WINDOW_ICON_SIDE, WINDOW_ICON_SIDE, 32,
                                              WINDOW_ICON_SIDE * 4, 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000);
    if (!s) return;
    SDL_SetWindowIcon(sdl_window, s);
    SDL_FreeSurface(s);
}

void os_video_shutdown() {
    if (sdl_texture) SDL_DestroyTexture(sdl_texture);
    if (sdl_renderer) SDL_DestroyRenderer(sdl_renderer);
    if (sdl_window) SDL_DestroyWindow(sdl_window);
    sdl_texture = nullptr, sdl_renderer = nullptr, sdl_window = nullptr;
    sdl_texture_w = sdl_texture_h = sdl_window_w = sdl_window_h = 0;
    hvx_window_w = HVX_DISPLAY_W, hvx_window_h = HVX_DISPLAY_H;
    last_win_x = last_win_y = WINDOW_POS_UNDEFINED;
    last_win_w = last_win_h = 0;
    texture_stale = window_stale = true;
}

static const char* scale_quality() { return config.pixel_perfect || config.blit_720p ? "nearest" : "linear"; }

void os_apply_video_config() {
    if (config.headless || config.display_pid == 0) return;
    Process* vp = get_process(config.display_pid);
    if (!vp) return;

    if (config.display_pid > WM_PROCESS_ID) {
        int scale = video_mode_scale_for(peek_proc(vp, ADDR_VIDEO_MODE));
        int64_t w = (int64_t)(int16_t)peek2_proc(vp, ADDR_DISPLAY_W) * scale;
        int64_t h = (int64_t)(int16_t)peek2_proc(vp, ADDR_DISPLAY_H) * scale;
        // The compositor always makes 480x270: a size outside it (or a zero
        // side) would make the texture read past the frame. Retried next frame.
        if (!virtual_size_is_valid(w, h)) return;
        printf("vproc %d: %d %d\n", config.display_pid, (int)w, (int)h);
        hvx_window_w = (int32_t)w, hvx_window_h = (int32_t)h;
    }
    app.video_ready = 1;
    if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");

    int d = 0;
    if (sdl_window) {
        if (!last_fullscreen) {
            SDL_GetWindowPosition(sdl_window, &last_win_x, &last_win_y);
            SDL_GetWindowSize(sdl_window, &last_win_w, &last_win_h);
        }
        d = SDL_GetWindowDisplayIndex(sdl_window);
        if (d < 0) d = 0;
    }
    int displays = SDL_GetNumVideoDisplays();
    d = choose_display(d, &config.display, displays);

    window_plan_in in{};
    SDL_DisplayMode mode{};
    if (SDL_GetDesktopDisplayMode(d, &mode) != 0) mode.w = hvx_window_w * 2, mode.h = hvx_window_h * 2;
    in.desktop_w = mode.w, in.desktop_h = mode.h;
    SDL_Rect b{0, 0, 0, 0};
    if (d < displays) SDL_GetDisplayBounds(d, &b);
    in.bounds = {b.x, b.y, b.w, b.h};
    in.display = d, in.num_displays = displays;
    in.fullscreen = config.fullscreen, in.fullscreen_window = config.fullscreen_window;
    in.allow_highdpi = config.allow_highdpi, in.pixel_scale = config.pixel_scale;
    in.pixel_perfect = config.pixel_perfect, in.blit_720p = config.blit_720p;
    in.virtual_w = hvx_window_w, in.virtual_h = hvx_window_h;
    in.last_x = last_win_x, in.last_y = last_win_y, in.last_w = last_win_w, in.last_h = last_win_h;
    window_plan plan = plan_window(in);

    if (sdl_texture) SDL_DestroyTexture(sdl_texture);
    sdl_texture = nullptr;
    if (sdl_renderer) SDL_DestroyRenderer(sdl_renderer);
    sdl_renderer = nullptr;
    if (sdl_window) SDL_DestroyWindow(sdl_window);
    sdl_window = nullptr;

    config.pixel_scale = plan.pixel_scale;
    sdl_window_w = plan.w, sdl_window_h = plan.h;
    last_fullscreen = config.fullscreen;
    krio_debugf("creating SDL window %d %d flags %u\n", plan.w, plan.h, plan.flags);
    sdl_window = SDL_CreateWindow(sdl_window_title, plan.x, plan.y, plan.w, plan.h, plan.flags);
    if (sdl_window) sdl_renderer = SDL_CreateRenderer(sdl_window, -1, SDL_RENDERER_PRESENTVSYNC);
    if (!sdl_window || !sdl_renderer) {
        puts("could not create renderer");
        program_exit(0);
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, scale_quality());

    renderer_scale_x = renderer_scale_y = 1.0f;
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(sdl_renderer, &ow, &oh);
    if (ow != sdl_window_w && sdl_window_w > 0 && sdl_window_h > 0) {
        renderer_scale_x = (float)((double)ow / sdl_window_w);
        renderer_scale_y = (float)((double)oh / sdl_window_h);
    }
    krio_debugf("renderer_scale: %f,%f\n", renderer_scale_x, renderer_scale_y);
    SDL_RenderSetScale(sdl_renderer, renderer_scale_x, renderer_scale_y);
    SDL_SetRenderDrawColor(sdl_renderer, 0, 0, 0, 255);
    SDL_RenderClear(sdl_renderer);
    SDL_RenderPresent(sdl_renderer);

    preblit_scale = plan.preblit_scale;
    sdl_texture = SDL_CreateTexture(sdl_renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                                    plan.texture_w, plan.texture_h);
    // The palette words carry alpha 0: the texture must not blend.
    if (sdl_texture) SDL_SetTextureBlendMode(sdl_texture, SDL_BLENDMODE_NONE);
    sdl_texture_w = sdl_texture ? plan.texture_w : 0;
    sdl_texture_h = sdl_texture ? plan.texture_h : 0;
    texture_stale = window_stale = true;
    apply_icon();
}

void os_set_window_title(const char* text) {
    if (!text || std::strlen(text) >= WINDOW_TITLE_MAX) return;
    snprintf(sdl_window_title, sizeof sdl_window_title, "%s", text);
    if (sdl_window) SDL_SetWindowTitle(sdl_window, sdl_window_title);
}

const char* os_get_window_title() { return sdl_window_title; }

void os_set_window_icon(const uint8_t* pixels, int w, int h, const uint32_t* palette) {
    // pixels holds 16 x 16 bytes whatever w and h say.
    if (!pixels || !palette) {
        use_custom_window_icon = 0;
        return;
    }
    for (int y = 0; y < WINDOW_ICON_SIDE; y++)
        for (int x = 0; x < WINDOW_ICON_SIDE; x++) {
            uint8_t c = pixels[(y / 8) * WINDOW_ICON_SOURCE_SIDE + x / 8];
            window_icon_dat[y * WINDOW_ICON_SIDE + x] = c ? palette[c & 63] | 0xFF000000u : 0;
        }
    use_custom_window_icon = 1;
    apply_icon();
}

const uint32_t* os_window_icon() { return use_custom_window_icon ? window_icon_dat : nullptr; }

// --- presentation ------------------------------------------------------------------

void get_dest_rect(host_rect* r) {
    if (sdl_window) SDL_GetWindowSize(sdl_window, &sdl_window_w, &sdl_window_h);
    *r = compute_dest_rect(sdl_window_w, sdl_window_h, hvx_window_w, hvx_window_h, config.pixel_perfect,
                           config.stretch, config.blit_720p);
}

// What the window shows: a frame is uploaded only when it changed or the
// texture lost it, and presented only when the upload, an expose, a resize,
// a move to another display, a renderer reset or a new placement calls for
// it. An idle workstation then costs no upload and no present.

void os_window_needs_present() { window_stale = true; }

void os_renderer_reset(bool textures_lost) {
    window_stale = true;
    if (textures_lost) texture_stale = true;
}

static void upload_frame(const uint32_t* pixels, int width) {
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, scale_quality());
    // The texture is never larger than what the source provides: the virtual
    // size is at most 480x270 and the texture is made from it.
    if (config.blit_720p && sdl_texture_w == BLIT_720P_W && sdl_texture_h == BLIT_720P_H &&
        width == HVX_DISPLAY_W) {
        filter_3_to_8(pixels, big_src);
        SDL_UpdateTexture(sdl_texture, nullptr, big_src, BLIT_720P_W * 4);
    } else if (preblit_scale >= 2 && preblit_scale <= 4 && width <= HVX_DISPLAY_W &&
               sdl_texture_w <= width * preblit_scale && sdl_texture_h <= HVX_DISPLAY_H * preblit_scale) {
        enlarge_nearest(pixels, width, HVX_DISPLAY_H, preblit_scale, big_src);
        SDL_UpdateTexture(sdl_texture, nullptr, big_src, width * preblit_scale * 4);
    } else if (sdl_texture_w <= width && sdl_texture_h <= HVX_DISPLAY_H) {
        SDL_UpdateTexture(sdl_texture, nullptr, pixels, width * 4);
    }
    uploads++;
    texture_stale = false;
    window_stale = true;
}

static void present_texture(const host_rect& r) {
    SDL_SetRenderDrawColor(sdl_renderer, 0, 0, 0, 255);
    SDL_SetRenderDrawBlendMode(sdl_renderer, SDL_BLENDMODE_NONE);
    SDL_RenderClear(sdl_renderer);
    if (r.w && r.h) {
        SDL_Rect dst{r.x, r.y, r.w, r.h};
        SDL_RenderCopy(sdl_renderer, sdl_texture, nullptr, &dst);
        SDL_RenderPresent(sdl_renderer);
        presents++;
        shown_rect = r;
        window_stale = false;
    } else {
        // Tried again next frame (a minimised window).
        krio_debug("[blit_to_sdl_window_hardware] can not find blit dest_rect for this frame\n");
    }
}

void blit_to_sdl_window_hardware(const uint32_t* pixels, int width) {
    if (!sdl_renderer || !sdl_texture || !pixels) return;
    upload_frame(pixels, width);
    host_rect r;
    get_dest_rect(&r);
    present_texture(r);
}

void os_show_frame(const uint32_t* pixels, int width, bool changed) {
    if (!sdl_renderer || !sdl_texture) return;
    if (pixels && (changed || texture_stale)) upload_frame(pixels, width);
    host_rect r;
    get_dest_rect(&r);
    if (r.x != shown_rect.x || r.y != shown_rect.y || r.w != shown_rect.w || r.h != shown_rect.h) window_stale = true;
    if (window_stale && !texture_stale) present_texture(r);
}

uint64_t os_present_count() { return presents; }
uint64_t os_upload_count() { return uploads; }
