/* The idle benchmark's anchor: the least an SDL program with sound does while
 * nothing happens. The audio device is open in the workstation's format and
 * its callback writes silence; the main loop pumps events and sleeps to 60 Hz
 * deadlines until the time given in seconds (default 22) has passed.
 *
 *   idle_anchor [SECONDS]
 */
#include <SDL.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

static void silence(void* userdata, Uint8* stream, int len) {
    (void)userdata;
    memset(stream, 0, (size_t)len);
}

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 22.0;
    if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_EVENTS | SDL_INIT_AUDIO) != 0) return 1;
    SDL_AudioSpec want, have;
    SDL_zero(want);
    want.freq = 44100;
    want.format = AUDIO_S16LSB;
    want.channels = 2;
    want.samples = 512;
    want.callback = silence;
    SDL_AudioDeviceID dev = SDL_OpenAudioDevice(NULL, 0, &want, &have, 0);
    if (dev == 0) return 1;
    SDL_PauseAudioDevice(dev, 0);

    const long frame_ns = 1000000000L / 60;
    const long frames = (long)(seconds * 60);
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long f = 0; f < frames; f++) {
        SDL_Event e;
        while (SDL_PollEvent(&e))
            if (e.type == SDL_QUIT) f = frames;
        next.tv_nsec += frame_ns;
        if (next.tv_nsec >= 1000000000L) next.tv_sec++, next.tv_nsec -= 1000000000L;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    }
    SDL_CloseAudioDevice(dev);
    SDL_Quit();
    return 0;
}
