// Graphics entry points the frame driver calls before the rasteriser exists.
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

int video_mode_scale() {
    Process* p = get_process(config.display_pid);
    return p ? video_mode_scale_for(peek_proc(p, ADDR_VIDEO_MODE)) : 1;
}
