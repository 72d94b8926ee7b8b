// Graphics entry points the frame driver calls before the rasteriser exists.
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

int gif_end() { return 0; }
void audio_capture_end() {}
// Nothing is captured yet: the GIF capture reports that it did not start.
int gif_start() { return 1; }
void request_screenshot() {}
int audio_capture_start() { return 0; }

// The capture is not built yet.
void update_gif_recording(const uint32_t*, const uint32_t*, const uint32_t*) {}
void update_screenshot(const uint32_t*) {}

int video_mode_scale() {
    Process* p = get_process(config.display_pid);
    return p ? video_mode_scale_for(peek_proc(p, ADDR_VIDEO_MODE)) : 1;
}
