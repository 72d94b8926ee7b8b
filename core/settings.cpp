// The settings record and the run-time state of the workstation.
#include <cstring>

#include "core/core.h"

app_t app;
config_t config;
int32_t video_hash0 = -1;

void config_set_defaults() {
    memset(&config, 0, sizeof config);
    config.fullscreen = 1;
    config.pixel_perfect = 1;
    config.volume = DEFAULT_VOLUME;
    config.network_access = 1;
    config.display_pid = DEFAULT_DISPLAY_PID;
    config.display = -1;
    video_hash0 = -1;
}
