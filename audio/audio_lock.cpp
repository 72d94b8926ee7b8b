// The audio lock: nestable on the main thread, it keeps the output device's
// callback out while the main thread changes what the mixer reads.
#include <SDL.h>

#include "audio/audio.h"

static int32_t lock_level;
// Taken by the callback around everything it reads and writes, and by the
// outermost os_lock_audio: unlike a device lock it stays valid while the
// device is closed and re-opened, and with no device at all.
static SDL_mutex* audio_mutex;

bool audio_lock_ready() {
    // Made on the main thread before any device exists to call back.
    if (!audio_mutex) audio_mutex = SDL_CreateMutex();
    return audio_mutex != nullptr;
}

void os_lock_audio() {
    if (lock_level++ != 0) return;
    if (audio_lock_ready()) SDL_LockMutex(audio_mutex);
    mudo_note_writer();  // whoever takes the lock may change what the mixer reads
}

void os_unlock_audio() {
    if (lock_level <= 0) return;  // an unpaired unlock changes nothing
    if (--lock_level == 0 && audio_mutex) SDL_UnlockMutex(audio_mutex);
}

int os_audio_lock_level() { return lock_level; }

void audio_mixer_lock() { SDL_LockMutex(audio_mutex); }
void audio_mixer_unlock() { SDL_UnlockMutex(audio_mutex); }
