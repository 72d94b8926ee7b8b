// Synthesizer entry points the frame driver calls before the synthesizer exists.
#include "audio/audio.h"

#include <cstring>

void mudo_init() {}
void mudo_set_volume(int) {}
void mudo_set_stereo_swap(int) {}

// Silence until the mixer exists.
void mudo_mix(int16_t* stream, int32_t frames) {
    if (stream && frames > 0) std::memset(stream, 0, (size_t)frames * 4);
}
int mudo_anything_is_playing() { return 0; }
void mudo_kill_all_audio() {}
void mudo_memset(uint32_t, int, uint32_t) {}
void mudo_memcpy(uint32_t, const void*, uint32_t) {}
const uint8_t inst0_nodes[64] = {};
const uint8_t inst0_wt[8] = {};
