// Graphics entry points the frame driver calls before the rasteriser exists.
#include "gfx/gfx.h"

void init_default_coltabs() {}
int gif_end() { return 0; }
void audio_capture_end() {}
