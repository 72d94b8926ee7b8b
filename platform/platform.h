// Host platform: the shell hand-over, the window/frame interface the frame
// driver calls, input, the audio device, the host clipboard and worker
// threads. (The log file, host time, host folders and sysrom.dat are the ground's.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/core.h"
#include "core/charges.h"

// ---------------------------------------------------------------------------
// Shell hand-over
// ---------------------------------------------------------------------------

// Hands a host path to the desktop's opener (xdg-open) without a shell and
// without waiting. Only existing folders and regular non-executable files
// that are not ".desktop" launchers are handed over. Returns 1 when handed.
int open_host_file(const char* host_path);
// Hands an "https:" address over the same way. Returns 1 when handed.
int open_host_url(const char* url);
// Reaps finished opener children; called once per frame.
void os_reap_children();
// Openers running at once at most; a hand-over past them is refused.
inline constexpr size_t OPENER_RUNNING_MAX = 4;
// The opener program ("xdg-open"; tests point it elsewhere).
void os_set_opener(const char* program);

// ---------------------------------------------------------------------------
// Window, frames, input, audio device
// ---------------------------------------------------------------------------

struct Process;

inline constexpr int BIG_SRC_W = 1920;  // the largest texture: the display enlarged 4 times
inline constexpr int BIG_SRC_H = 1080;
inline constexpr int BLIT_720P_W = 1280;
inline constexpr int BLIT_720P_H = 720;

// Run-time state of the window, input and boot screen, cleared at a reboot.
struct platform_app_t {
    int32_t focus;  // kept across a reboot
    uint64_t focus_time;
    int32_t signal35_flag;
    int32_t boot_done;
    int32_t boot_screen_off;
    int32_t mouse_locked;
    uint64_t last_input_time;
    int32_t battery_slow;
    int32_t button_word;
    uint64_t frame_count;
    uint64_t boot_start;
    int32_t reboot_request;
    int32_t exit_request;
};
extern platform_app_t platform_app;

// Window.
inline constexpr int PIXEL_SCALE_DEFAULT = 2;
inline constexpr int PIXEL_SCALE_MAX = 16;
inline constexpr size_t WINDOW_TITLE_MAX = 1024;  // a title this long or longer is ignored
inline constexpr const char* WINDOW_TITLE_DEFAULT = "Halvoran";
inline constexpr int WINDOW_ICON_SOURCE_SIDE = 16;  // bytes a side of the icon a script gives
inline constexpr int WINDOW_ICON_SIDE = 128;      // pixels; 16x16 source bytes, each 8x8
inline constexpr int32_t WINDOW_POS_UNDEFINED = 0x1FFF0000;
inline constexpr uint32_t WINDOW_FLAGS_BORDERLESS = 0x14;   // shown | borderless
inline constexpr uint32_t WINDOW_FLAGS_FULLSCREEN = 0x1005; // shown | fullscreen desktop
inline constexpr uint32_t WINDOW_FLAGS_WINDOWED = 0x24;     // shown | resizable
inline constexpr uint32_t WINDOW_FLAG_HIGHDPI = 0x2000;

// Frames.
inline constexpr uint8_t FLAG_NO_NEW_FRAME = 2;      // bit of the byte at ADDR_FLAG_BYTE
inline constexpr uint32_t FRAME_MS = 16;
inline constexpr uint32_t FRAME_MS_SLOW = 32;  // battery saver while the user is idle
inline constexpr uint64_t IDLE_AFTER_MS = 500;
// A frame's pacing waits at most this many times and sleeps at most this
// long in all, whatever the clock says (one that stands still included).
inline constexpr int FRAME_WAIT_MAX = 100;
inline constexpr uint32_t FRAME_SLEEP_MAX_MS = 100;

// Input.
inline constexpr int KEY_STATES = 512;
inline constexpr uint64_t FOCUS_GUARD_MS = 100;  // keys held while focus returns are ignored this long
inline constexpr size_t HOST_EVENT_TEXT_MAX = 512;

// Boot screen.
inline constexpr const char* HVX_VERSION = "0.3.0d";
inline constexpr int64_t BOOT_WAIT_MS = 2200;
inline constexpr double BOOT_MS_PER_FRAME = 16.6;
inline constexpr int BOOT_BACK_BYTES = 16 + HVX_DISPLAY_PIXELS;  // typed userdata header + pixels
inline constexpr int BOOT_LAST_PAGE_LEN = HVX_DISPLAY_PIXELS - 31 * 4096;  // 2624
inline constexpr const char* BOOT_VERSION_TEXT = "\x06:3f7f5077057f7e00 Halvoran Workstation OS %s";
inline constexpr const char* BOOT_SECOND_LINE = "a workstation for making and sharing things";
static_assert(__builtin_strlen(BOOT_SECOND_LINE) == 43);

// --- window and renderer -------------------------------------------------

void os_system_init();
// Creates or re-creates window, renderer and texture from config; nothing
// while headless, while the video process id is 0 or names no process.
void os_apply_video_config();
void os_set_window_title(const char* text);
const char* os_get_window_title();
// pixels: 16x16 bytes (16 a row; w and h are not read) or none to drop the
// custom icon.
void os_set_window_icon(const uint8_t* pixels, int w, int h, const uint32_t* palette);
const uint32_t* os_window_icon();  // 128x128 ARGB; valid while a custom icon is set
int calculate_preblit_scale();
void os_video_shutdown();  // destroys window, renderer and texture (tests)
bool os_has_window();
struct SDL_Window;
SDL_Window* os_sdl_window();  // none while there is no window

struct video_size { int32_t w, h; };
// The virtual display size in use (480x270 unless a video process above 3 set its own).
video_size os_virtual_display_size();
video_size os_window_size();
video_size os_texture_size();
int os_preblit_scale();

// Pure pieces of the configuration.
int clamp_pixel_scale(int k);              // 0 -> 2, else 1..16
int texture_factor(int window_w, int window_h);  // 2, 3 or 4
// A process-controlled display size is taken only inside 1..480 x 1..270.
bool virtual_size_is_valid(int64_t w, int64_t h);
// Display chosen for the window: current stays unless *display_option names
// an existing display; the option is consumed (becomes -1).
int choose_display(int current, int32_t* display_option, int num_displays);

struct host_rect { int32_t x, y, w, h; };
struct window_plan_in {
    int32_t fullscreen, fullscreen_window, allow_highdpi, pixel_scale, pixel_perfect, blit_720p;
    int32_t virtual_w, virtual_h;
    int32_t display, num_displays;  // display chosen, displays present
    host_rect bounds;               // of that display (read only when display < num_displays)
    int32_t desktop_w, desktop_h;   // its desktop mode
    int32_t last_x, last_y, last_w, last_h;
};
struct window_plan {
    int32_t x, y, w, h;
    uint32_t flags;
    int32_t pixel_scale;  // clamped, to be written back
    int32_t texture_w, texture_h, preblit_scale;
};
window_plan plan_window(const window_plan_in& in);

// --- presentation and pacing ---------------------------------------------

void start_frame();
void end_frame();
// Placement of the picture in the window (refreshes the window size first).
void get_dest_rect(host_rect* r);
// The same placement as a pure function of window and display size.
host_rect compute_dest_rect(int32_t win_w, int32_t win_h, int32_t pw, int32_t ph, int pixel_perfect,
                            int stretch, int blit_720p);
// Uploads and presents one frame, whatever the window showed before.
void blit_to_sdl_window_hardware(const uint32_t* pixels, int width);
// The frame driver's way to the window: uploads pixels (none: no new frame)
// when changed or when the texture lost its frame, and presents only when the
// window does not show the texture as it is placed now.
void os_show_frame(const uint32_t* pixels, int width, bool changed);
// The window was exposed, resized or moved to another display.
void os_window_needs_present();
// The renderer lost its targets; with textures_lost its textures too.
void os_renderer_reset(bool textures_lost);
uint64_t os_present_count();  // frames presented since start
uint64_t os_upload_count();   // frames uploaded to the texture since start
inline void blit_to_sdl_window(const uint32_t* pixels, int width) { blit_to_sdl_window_hardware(pixels, width); }
// Every pixel of a w x h picture becomes a k x k block of dst (w*k a row).
void enlarge_nearest(const uint32_t* src, int w, int h, int k, uint32_t* dst);
// 480x270 to 1280x720 with the 3-to-8 filter (dst 1280 a row).
void filter_3_to_8(const uint32_t* src, uint32_t* dst);
// Frame length in ms for the battery saver; writes the idle flag.
uint32_t frame_length_ms(int battery_saver, int boot_done, uint64_t last_input_time, uint64_t now,
                         int32_t* battery_slow);
// Sleeps while ticks() < last_t + length, each time for what is left, at
// most FRAME_WAIT_MAX times and FRAME_SLEEP_MAX_MS in all; returns the
// number of waits.
int pace_wait(uint64_t last_t, uint32_t length, uint64_t (*ticks)(), void (*delay)(uint32_t));
// Test seams: the clock pacing and the battery saver read, and a switch that
// skips the frame wait. Null restores the host clock.
void os_set_frame_clock(uint64_t (*ticks)(), void (*delay)(uint32_t));
void os_set_skip_frame_wait(bool skip);

// --- compositor ------------------------------------------------------------

extern uint32_t display_pal[256];
extern uint32_t display_line_sel[HVX_DISPLAY_H];
extern uint32_t back_page[HVX_DISPLAY_PIXELS];
// The next composition looks every row up again (for whoever wrote back_page).
void forget_composed_rows();
// Whether the last composed frame may differ from the one composed before it
// (false only when every pixel is known to be the same).
bool composed_frame_changed();
extern int32_t video_mode;
// The composed frame (480x270), or none when there is nothing new to show.
uint32_t* generate_video_out(int* width, int* height);
// Composes one process's display into the display frame (steps after the
// choice of source); none when it flags no new frame.
uint32_t* compose_process_video(Process* src);
inline constexpr uint8_t BLIT_UNMAPPED_COLOUR = 8;  // what an unmapped source page copies as
// Copies a rectangle of a process's display memory into a u8 typed userdata
// block, clipped to the running process's clip box and the destination.
// Returns the work count (w x h) / 4, never negative.
int32_t blit_from_ram(Process* src, uint32_t src_addr, uint8_t* dst_block, int64_t sx, int64_t sy,
                      int64_t dx, int64_t dy, int64_t w, int64_t h, uint8_t mask);
void alpha_bits_memcpy(uint8_t* dst, const uint8_t* src, size_t n, uint8_t mask);

// --- boot screen -----------------------------------------------------------

void boot_init();
// Milliseconds of boot: 0 on the first call, then (frame_count - boot_start) x 16.6.
int64_t boot_get_time();
// Draws this frame's boot picture and returns the boot process.
Process* draw_boot();
uint8_t* boot_back_block();        // the boot display (u8 480x270 typed userdata), none before the first draw
double boot_ease(double v);
void draw_path(int x0, int y0, int x1, int y1, int x2, int y2, double a, double b, int k, uint8_t* block);
void cline(uint8_t* block, int x0, int y0, int x1, int y1, int k);
extern const uint32_t boot_palette[64];

// --- host events -------------------------------------------------------------

void handle_sdl_messages();
// What a file dropped on the window becomes (the machine installs it at
// start; with none a drop is ignored). Takes the host path.
void os_set_drop_handler(void (*handler)(const char* host_path));
// Texts sent to the window manager.
int host_event_text_key(char* out, size_t n, bool down, int scancode);
int host_event_text_input(char* out, size_t n, const char* utf8);
int host_event_text_wheel(char* out, size_t n, int wx, int wy);
int host_event_text_mouse(char* out, size_t n, int mx, int my, int mb);
int host_event_text_locked(char* out, size_t n, int dx, int dy);
// Sends a text to process 3 (dropped when it does not exist); 1 when queued.
int send_host_event(const char* text);
// Turns an accumulator of 1/64 virtual pixels into whole steps; returns the steps.
int32_t locked_steps(int32_t* acc);
// Window position to virtual pixel through the placement rectangle.
void map_mouse_to_virtual(int mx, int my, const host_rect& r, int pw, int ph, int fullscreen, int* vx,
                          int* vy);
uint32_t mouse_buttons_from_sdl(uint32_t sdl_mask);  // left 1, right 2, middle 4
// This frame's state of a scancode; -1 asks whether any key is down; any
// other value outside 0..511 reads 0.
int os_key_state(int scancode);
// Test seam over the keyboard and mouse state reads (null: SDL's).
void os_set_input_reader(const uint8_t* (*keyboard)(int* n), uint32_t (*mouse)(int* x, int* y));
void os_reset_input_state();  // forgets key states, the last mouse report and accumulators

// --- input state and input calls --------------------------------------------

inline constexpr int METACON_SLOTS = 32;   // controller slots; controller p drives player p
inline constexpr int METACON_AXES = 32;    // axes with a validation flag
inline constexpr int JOYSTICK_BUTTONS = 15;  // buttons 0..14 of the game-controller numbering
// With no controller open, new devices are looked for once in this many frames
// (the look costs more than the rest of an idle frame's input handling).
inline constexpr int CONTROLLER_DETECT_FRAMES = 30;
inline constexpr int BUTTON_PLAYERS = 8;
inline constexpr int BUTTONS_PER_PLAYER = 16;
inline constexpr int STICK_THRESHOLD = 8192;  // readings within it count as centred
inline constexpr int STICK_SPAN = 22528;      // from the threshold to full scale (30720)
inline constexpr int AXIS_VALID_LIMIT = 8191; // an axis counts once it was read within this
inline constexpr int KEY_CONTROLS = 512;      // config.key_controls: 128 entries of 4 scancodes
inline constexpr int KEYS_PER_CONTROL = 4;
inline constexpr int SCANCODE_LALT = 226;
inline constexpr int SCANCODE_RALT = 230;
inline constexpr int BTNP_DELAY_DEFAULT = 30;
inline constexpr int BTNP_PERIOD_DEFAULT = 8;
inline constexpr int BTNP_NEVER = 255;
inline constexpr int BUTTON_DOWN_ABOVE = 63;     // btnp: a byte above this is down
inline constexpr int BUTTON_ACTIVE_ABOVE = 64;   // a byte above this counts as user activity
inline constexpr int MOUSE_LOCK_FLAG = 4;        // bit of the lock byte that asks for the lock
inline constexpr size_t MAPPING_LINE_MAX = 1023; // bytes of a mapping-file line
inline constexpr const char* CONTROLLER_MAPPING_FILE = "sdl_controllers.txt";
inline constexpr const char* CONTROLLER_MAPPING_HEADER = "// add SDL2 game controller mappings to this file\n";

// The key name of a scancode; none when the host has no name for it.
const char* os_key_from_scancode(int scancode);
// Controller `index` (a slot) into 16 button bytes; out must be cleared by
// the caller: nothing is written for an empty slot.
void os_get_button_states(int index, uint8_t out[BUTTONS_PER_PLAYER]);
// A stick axis reading into the bytes of its two directions (0..255 each).
void stick_to_bytes(int v, uint8_t* negative, uint8_t* positive);
// Axes 0 and 1 and buttons 0..14 of a slot, through validation; all 0 when empty.
void krio_get_joystick(int index, int* x, int* y, uint32_t* buttons);
void krio_get_joystick_axes(int index, int axis_a, int axis_b, int* va, int* vb);
int krio_count_joysticks();
int krio_count_joystick_buttons(int index);
// Controller set-up, once: built-in mappings, the mapping files, every device
// present. Exit closes every slot's handles and allows a new set-up.
void krio_joystick_init();
void krio_joystick_exit();
// Opens a device (by SDL device index) into the first free slot; a device
// whose instance is already open keeps its slot. The slot, or -1.
int connect_joystick(int device_index);
// Closes the slot holding that instance and compacts the table; the slot it
// had, or -1 when no slot holds it.
int disconnect_joystick(int32_t instance_id);
void repack_metacon();
void add_sdl_controllers();
// Reads one mapping file; -1 when it cannot be opened, else the lines given to SDL.
int read_controller_mappings(const char* host_path);
int metacon_slots_in_use();
int32_t metacon_instance_id(int slot);  // -1 for an empty or unknown slot
// Once a frame before the events are read: the open controllers' states each
// frame, the search for new devices each CONTROLLER_DETECT_FRAMES frames
// while none is open (SDL's own update at every event pump is turned off).
void update_controllers();

// Refreshes a process's banks from the controllers' and the keys' bytes
// (steps after the reading); mirror receives the union before cancelling.
// Returns 1 when any union byte is above BUTTON_ACTIVE_ABOVE.
int refresh_button_banks(button_banks* b, const uint8_t bank1[BUTTON_BANK_BYTES],
                         const uint8_t bank2[BUTTON_BANK_BYTES], uint8_t mirror[BUTTON_BANK_BYTES]);
// The keys' bank from the key-control table and the key states (none when
// an Alt key is down).
void key_bank_from_controls(const int32_t controls[KEY_CONTROLS], int (*key_down)(int), uint8_t out[BUTTON_BANK_BYTES]);
// _update_buttons(false): banks cleared, the first bank's repeat counters
// cleared, every byte latched until released.
void clear_button_banks(button_banks* b);
// What a button reset asks (system signal 23): the current banks zeroed and
// every byte latched.
void os_reset_buttons(Process* p);

void os_lock_mouse_cursor(int flags, int event_sensitivity, int move_sensitivity);
void os_warp_mouse_pointer(int64_t x, int64_t y);

struct lua_State;
int lua54_btn(lua_State* L);
int lua54_btnp(lua_State* L);
int lua54_update_buttons(lua_State* L);
int lua54_apply_key_controls(lua_State* L);
int lua54_warp_mouse(lua_State* L);

// --- audio device --------------------------------------------------------------

inline constexpr int AUDIO_FREQUENCY = 44100;
inline constexpr int AUDIO_CHANNELS = 2;
inline constexpr int AUDIO_SAMPLES = 512;       // frames a callback
inline constexpr int AUDIO_FRAME_BYTES = 4;     // signed 16-bit left and right
// The callback asks the mixer for at most this many frames a call.
inline constexpr int AUDIO_MIX_CHUNK_FRAMES = 512;
// The capture buffer is grown on the main thread while less than this is free
// ahead of the callback, which never allocates.
inline constexpr int32_t AUDIO_CAPTURE_AHEAD = AUDIO_FREQUENCY * AUDIO_FRAME_BYTES * 2;
inline constexpr int32_t AUDIO_CAPTURE_GROWTH = AUDIO_FREQUENCY * AUDIO_FRAME_BYTES * 10;

// Opens the default output device and starts it playing; its id stays -1 when
// the host refuses. Re-opening is refused while the audio lock is held.
void audio_open_output_device();
void audio_close_output_device();
int64_t os_audio_device_id();  // -1 while none is open
// The device's callback: the mixer fills the stream, and while capture is on
// the same bytes are appended to gfx_app.audio_capture_buf.
void sdl2_mixer_callback(void* userdata, uint8_t* stream, int len);
// (The audio lock that keeps the callback out: audio/audio.h.)
// Keeps room ahead of the callback in the capture buffer; once a frame.
void os_audio_capture_reserve();
uint64_t os_audio_capture_dropped();  // bytes of capture that found no room
// Test seam: the mixer the callback asks (none: the synthesizer's).
void os_set_audio_mixer(void (*mix)(int16_t* stream, int32_t frames));

// --- host clipboard, shell and worker threads -----------------------------------

// Registers _req_host_clipboard_text, _get_host_clipboard_text,
// _set_host_clipboard_text and _open_host_path, in that order.
void os_add_public_c_functions(lua_State* L);
int os_req_host_clipboard_text(lua_State* L);
int os_get_host_clipboard_text(lua_State* L);
int os_set_host_clipboard_text(lua_State* L);
int os_open_host_path(lua_State* L);

inline constexpr const char* WORKER_THREAD_NAME = "halvoran_worker";
struct os_thread;
// Runs fn(data) on a worker thread; none when the host refuses a thread.
os_thread* os_create_thread(int (*fn)(void*), void* data);
// Frees the record; the thread runs on (it started detached, so nothing ever
// waits for it, even once it has ended). None: nothing.
void os_destroy_thread(os_thread* t);

