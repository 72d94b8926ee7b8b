// Graphics and text: the rasteriser, text printer, capture and graphics calls.
#pragma once

#include <cstdint>

void init_default_coltabs();
int gif_end();
void audio_capture_end();
