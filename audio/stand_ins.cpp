// Synthesizer entry points the frame driver calls before the synthesizer exists.
#include "audio/audio.h"
#include "audio/synth.h"

#include <cstring>

void mudo_set_volume(int) {}
void mudo_set_stereo_swap(int) {}

// Silence until the mixer exists.
void mudo_mix(int16_t* stream, int32_t frames) {
    if (stream && frames > 0) std::memset(stream, 0, (size_t)frames * 4);
}
int mudo_anything_is_playing() { return 0; }
void mudo_kill_all_audio() {}

// The sequencer's track step and row advance.
void update_channel_track_tick(mudo_channel&) {}
void advance_channel_track_row(mudo_channel&) {}

// What the system-information calls read: no channel, no samples, no music yet.
int mudo_get_active_channels() { return 0; }
int mudo_get_channel_state(int, int, int16_t*) { return 0; }
int mudo_get_music_state(int) { return 0; }
