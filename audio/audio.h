// Audio synthesizer: instruments, tracks, the mixer and the audio calls.
#pragma once

#include <cstdint>

#include "core/charges.h"

inline constexpr int MUDO_VOLUME_MAX = 256;

// Nestable lock: while it is held the output device's callback does not run.
// Strictly paired, main thread only; never held across a call that can raise
// a script error. gfx_app.audio_capture and gfx_app.audio_capture_buf are read
// by the callback: they change only while it is held.
void os_lock_audio();
void os_unlock_audio();
int os_audio_lock_level();
bool audio_lock_ready();  // makes the lock's mutex; false when the host has none
// The callback's side: the mutex alone, around what it reads and writes.
void audio_mixer_lock();
void audio_mixer_unlock();

// Run-time state of the synthesizer's side, cleared at a reboot.
struct audio_app_t {
    int64_t audio_focus_pid;
    int64_t audio_copy_pid;
};
extern audio_app_t audio_app;

// The synthesizer's copy of the focus process: pid asks for the focus (0:
// whoever holds it); force copies even when nothing was written. 0 with the
// audio lock held, 1 when refused. The process that asked pays
// AUDIO_PAGE_COPY_COST for each page of bytes copied.
int audio_op_start(int64_t pid, int force);
void audio_op_end();
// Nothing for the once-a-frame copy to do (the lock is then left alone, so
// the mixer sees no writer in an idle frame).
bool synth_copy_current();

void mudo_init();
void mudo_set_volume(int v);
void mudo_set_stereo_swap(int flag);

// The mixer: fills frames stereo frames (left then right, signed 16-bit) on
// the audio thread, with the audio lock's mutex held by the callback.
void mudo_mix(int16_t* stream, int32_t frames);
// mudo_mix for the output device, whose writers all take the audio lock and
// say so with mudo_note_writer: a channel found at rest stays so, without
// being checked again, until a writer comes or it changes itself.
void mudo_mix_device(int16_t* stream, int32_t frames);
void mudo_note_writer();
int mudo_anything_is_playing();  // mask of busy channels, 0 when silent
void mudo_set_channel_mix_vol(uint32_t c, uint8_t v);
void mudo_set_channel_base_addr(uint32_t c, int32_t addr);  // clamped to 0..0xF00000
void mudo_kill_all_audio();
// Writes into the synthesizer's own 16 MB copy of the focus process's memory.
void mudo_memset(uint32_t offset, int value, uint32_t length);
void mudo_memcpy(uint32_t offset, const void* src, uint32_t length);
// The default instrument, copied into every new process.
extern const uint8_t inst0_nodes[64];
extern const uint8_t inst0_wt[8];

// Synthesizer state the system-information calls read (under the audio lock).
// Samples mudo_get_channel_state may place in its scratch area at most.
inline constexpr int MUDO_SCRATCH_SAMPLES = 32768;
int mudo_get_active_channels();  // how many channels play a track
// Field f of channel c (0..15), or -1. Fields 0..18 are plain values; from 19
// on the result is a count of samples placed in scratch (19: pairs of two
// interleaved channels; 20..27: one channel), -1 without scratch. Channel -1
// with field -1: the mixer's last block (at most 8,192 stereo pairs).
int mudo_get_channel_state(int channel, int field, int16_t* scratch);
int mudo_get_music_state(int which);  // which is 0 or 1

// The audio calls note, sfx and music.
struct lua_State;
int lua54_play_note(lua_State* L);
int lua54_play_track(lua_State* L);
int lua54_play_music(lua_State* L);
