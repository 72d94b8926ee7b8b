// Graphics entry points the frame driver calls before the rasteriser exists.
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

void init_default_coltabs() {}
int gif_end() { return 0; }
void audio_capture_end() {}

// The text printer, the font and the capture are not built yet:
// until then the boot screen shows its outlines without text.
int print_qzscii(uint8_t*, const char*, int, int, int) { return 0; }
void get_masks_shape() {}
const uint8_t lil_font_dat[4096] = {};
void destroy_print_context(Process*) {}
void update_gif_recording(const uint32_t*, const uint32_t*, const uint32_t*) {}
void update_screenshot(const uint32_t*) {}

int video_mode_scale() {
    Process* p = get_process(config.display_pid);
    return p ? video_mode_scale_for(peek_proc(p, ADDR_VIDEO_MODE)) : 1;
}
