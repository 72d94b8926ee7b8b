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
// The queries of the system-information call; main thread, under the audio lock.
int mudo_get_active_channels();  // how many channels play a track
// One field of channel c (0..15), or -1. Selector 19 copies a tick of the
// channel's output (at most MUDO_STATE_MAX_FRAMES stereo frames), 20..27 a
// tick of one node (as many mono samples); c = sel = -1 copies the last mixed
// block (at most 8,192 stereo frames). Those return the count copied, or -1
// without out.
inline constexpr int MUDO_STATE_MAX_FRAMES = 32768;
int mudo_get_channel_state(int c, int sel, int16_t* out);
int mudo_get_music_state(int sel);
void mudo_set_channel_mix_vol(uint32_t c, uint8_t v);
void mudo_set_channel_base_addr(uint32_t c, int32_t addr);  // clamped to 0..0xF00000
void mudo_kill_all_audio();
// Writes into the synthesizer's own 16 MB copy of the focus process's memory.
void mudo_memset(uint32_t offset, int value, uint32_t length);
void mudo_memcpy(uint32_t offset, const void* src, uint32_t length);
// The default instrument, copied into every new process.
extern const uint8_t inst0_nodes[64];
extern const uint8_t inst0_wt[8];

// The audio calls note, sfx and music.
struct lua_State;
int lua54_play_note(lua_State* L);
int lua54_play_track(lua_State* L);
int lua54_play_music(lua_State* L);
