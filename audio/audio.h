// Audio synthesizer: instruments, tracks, the mixer and the audio calls.
#pragma once

#include <cstdint>

inline constexpr int MUDO_VOLUME_MAX = 256;

void mudo_init();
void mudo_set_volume(int v);
void mudo_set_stereo_swap(int flag);

// The mixer: fills frames stereo frames (left then right, signed 16-bit) on
// the audio thread, with the audio lock's mutex held by the callback.
void mudo_mix(int16_t* stream, int32_t frames);
int mudo_anything_is_playing();  // mask of busy channels, 0 when silent
void mudo_kill_all_audio();
// Writes into the synthesizer's own 16 MB copy of the focus process's memory.
void mudo_memset(uint32_t offset, int value, uint32_t length);
void mudo_memcpy(uint32_t offset, const void* src, uint32_t length);
// The default instrument, copied into every new process.
extern const uint8_t inst0_nodes[64];
extern const uint8_t inst0_wt[8];
