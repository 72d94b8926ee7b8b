// Graphics and text: the rasteriser, text printer, capture and graphics calls.
#pragma once

#include <cstdint>

struct lua_State;
struct Process;

// Draw-state fields the rasteriser and the printer read (process addresses).
inline constexpr uint32_t ADDR_FILL_PATTERN = 0x5500;  // 8 rows
inline constexpr uint32_t ADDR_READ_MASK = 0x5508;
inline constexpr uint32_t ADDR_WRITE_MASK = 0x5509;
inline constexpr uint32_t ADDR_SPRITE_TARGET_MASK = 0x550A;
inline constexpr uint32_t ADDR_SHAPE_TARGET_MASK = 0x550B;
inline constexpr uint32_t ADDR_COLOUR_WORD = 0x550C;
inline constexpr uint32_t ADDR_CAMERA_X = 0x5510;
inline constexpr uint32_t ADDR_CAMERA_Y = 0x5514;
inline constexpr uint32_t ADDR_CLIP_WORDS = 0x5528;  // x0, y0, x1, y1 as i16
inline constexpr uint32_t ADDR_PRINT_X = 0x54F0;
inline constexpr uint32_t ADDR_PRINT_Y = 0x54F4;
inline constexpr uint32_t ADDR_PRINT_HOME_X = 0x54F8;

// Rasteriser masks, loaded from the running process's draw state by each
// drawing call (get_masks_shape for the single-pixel writers' callers).
extern uint32_t read_mask, write_mask, target_mask;

// Default colour tables (256 rows of 64), remap and system palette, rebuilt at
// every boot.
extern uint8_t default_coltabs[16384];
extern uint8_t default_indexed_pal[64];
extern uint32_t default_system_pal[256];
void set_palette_entry(int index, int value, int mode);
void fillp_16(int pattern);
// The colour argument of the drawing calls; returns the colour word as i16.
int16_t colp(lua_State* L, int arg);
int16_t set_colp(uint32_t value, uint32_t flags);
// Re-derives p's clip box from its clip words when they changed.
void refresh_clip_box(Process* p);
void set_temporary_clipping(const uint8_t* bitmap);
void restore_after_temporary_clipping();

// Spans, pixels and rectangles into a u8 typed userdata block, for the running
// process; the int32 results are cycle costs.
int32_t draw_hline(uint8_t* bitmap, int x0, int x1, int y, int colour);
int32_t draw_hline_inv(uint8_t* bitmap, int x0, int x1, int y, int colour);
void putpixel(uint8_t* bitmap, int x, int y, int colour);
void put_shape_pixel_noclip(uint8_t* bitmap, int x, int y, int colour);
void put_texture_pixel_noclip(uint8_t* bitmap, int x, int y, int pixel);
int getpixel(const uint8_t* bitmap, int x, int y);
int32_t rectfill(uint8_t* bitmap, int x0, int y0, int x1, int y1, int colour);
int32_t rectfill_raw(uint8_t* bitmap, int x0, int y0, int x1, int y1, int byte);
int32_t rectfill_shadow(uint8_t* bitmap, int x0, int y0, int x1, int y1);

// Text printer. Each process has its own print state (Process::print), freed
// with the process.
struct print_context;
void destroy_print_context(Process* p);
int lua54__print_qzscii(lua_State* L);

void init_default_coltabs();
int gif_end();
void audio_capture_end();

// Services the host platform calls (the boot screen's printer, the capture
// hooks of the compositor, the window's video-mode scale).
// Prints length bytes of text into a u8 typed userdata block at the running
// process's print cursor in colour; non-zero when printing is suspended.
int print_qzscii(uint8_t* bitmap, const char* text, int length, int flags, int colour);
// Refreshes the running process's cached draw masks from its draw state.
void get_masks_shape();
// The built-in small font (4096 bytes) the boot process maps at 0x4000.
extern const uint8_t lil_font_dat[4096];
// Pixel scale of the video process's mode: 3 gives 2, 4 gives 3, else 1.
int video_mode_scale();
// Capture hooks, called once per composed frame before modes 3 and 4 are widened.
void update_gif_recording(const uint32_t* pal, const uint32_t* line_sel, const uint32_t* pixels);
void update_screenshot(const uint32_t* pixels);
