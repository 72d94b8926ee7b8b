// The audio output device: one stereo stream whose callback asks the
// synthesizer's mixer for samples and hands the same bytes to audio capture.
#include <SDL.h>

#include <atomic>
#include <cstring>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "core/core.h"

using mixer_fn = void (*)(int16_t*, int32_t);

static int64_t audio_output_device_id = -1;
static std::atomic<uint64_t> capture_dropped;
static std::atomic<mixer_fn> test_mixer;

void os_set_audio_mixer(void (*mix)(int16_t*, int32_t)) { test_mixer.store(mix); }

int64_t os_audio_device_id() { return audio_output_device_id; }
uint64_t os_audio_capture_dropped() { return capture_dropped.load(); }

void sdl2_mixer_callback(void*, uint8_t* stream, int len) {
    if (!stream || len <= 0) return;
    audio_mixer_lock();
    mixer_fn mix = test_mixer.load();
    if (!mix) mix = mudo_mix_device;
    int32_t frames = len / AUDIO_FRAME_BYTES;
    auto* out = (int16_t*)stream;
    for (int32_t done = 0; done < frames;) {
        int32_t n = frames - done < AUDIO_MIX_CHUNK_FRAMES ? frames - done : AUDIO_MIX_CHUNK_FRAMES;
        mix(out + done * AUDIO_CHANNELS, n);
        done += n;
    }
    if (len % AUDIO_FRAME_BYTES) std::memset(stream + frames * AUDIO_FRAME_BYTES, 0, len % AUDIO_FRAME_BYTES);
    // The audio thread never allocates: what finds no room is dropped and
    // counted, and the main thread keeps room ahead (os_audio_capture_reserve).
    buffer* b = gfx_app.audio_capture ? gfx_app.audio_capture_buf : nullptr;
    if (b) {
        if (b->data && b->cursor >= 0 && (int64_t)b->cursor + len < (int64_t)b->capacity) {
            std::memcpy(b->data + b->cursor, stream, (size_t)len);
            b->cursor += len;
            if (b->cursor > b->length) b->length = b->cursor;
        } else {
            capture_dropped += (uint64_t)len;
        }
    }
    audio_mixer_unlock();
}

void os_audio_capture_reserve() {
    if (!gfx_app.audio_capture) return;
    os_lock_audio();
    buffer* b = gfx_app.audio_capture_buf;
    if (b && b->cursor >= 0 && (int64_t)b->capacity - b->cursor <= AUDIO_CAPTURE_AHEAD)
        ballocate(b, (int64_t)b->cursor + AUDIO_CAPTURE_GROWTH);
    os_unlock_audio();
}

void audio_close_output_device() {
    if (audio_output_device_id < 0) return;
    // Closing waits for the callback, which would wait for this thread.
    if (os_audio_lock_level() > 0) {
        krio_debug("** audio device not closed while the audio lock is held\n");
        return;
    }
    SDL_CloseAudioDevice((SDL_AudioDeviceID)audio_output_device_id);
    audio_output_device_id = -1;
}

void audio_open_output_device() {
    if (os_audio_lock_level() > 0) {
        krio_debug("** audio device not opened while the audio lock is held\n");
        return;
    }
    if (!audio_lock_ready()) {
        krio_debugf("** no audio lock: %s\n", SDL_GetError());
        return;
    }
    audio_close_output_device();
    for (int i = 0, n = SDL_GetNumAudioDevices(0); i < n; i++) {
        const char* name = SDL_GetAudioDeviceName(i, 0);
        krio_debugf("Audio output device %d: %s\n", i, name ? name : "");
    }
    for (int i = 0, n = SDL_GetNumAudioDevices(1); i < n; i++) {
        const char* name = SDL_GetAudioDeviceName(i, 1);
        krio_debugf("Audio input device %d: %s\n", i, name ? name : "");
    }
    SDL_AudioSpec want{}, have{};
    want.freq = AUDIO_FREQUENCY;
    want.format = AUDIO_S16LSB;
    want.channels = AUDIO_CHANNELS;
    want.samples = AUDIO_SAMPLES;
    want.callback = sdl2_mixer_callback;
    SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (id == 0) {
        krio_debugf("** could not open the audio output device: %s\n", SDL_GetError());
        return;
    }
    audio_output_device_id = id;
    SDL_PauseAudioDevice(id, 0);
}
