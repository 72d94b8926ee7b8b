// Graphics and text: the rasteriser, text printer, capture and graphics calls.
#pragma once

#include <cstdint>

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
