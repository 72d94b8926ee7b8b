// Settings: the host configuration file with its mount lines, and the named
// settings the desktop applies at run time.
#include <cstring>

#include "audio/audio.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

// ---------------------------------------------------------------------------
// halvoran_config.txt
// ---------------------------------------------------------------------------

int parse_config_mounts(const char* text, size_t len,
                        void (*on_mount)(const char* point, const char* host_path, void* ctx), void* ctx) {
    int taken = 0;
    size_t pos = 0;
    while (pos < len) {
        size_t end = pos;
        while (end < len && text[end] != '\n') end++;
        size_t line_end = end;
        // The line ends at LF or CR LF; the host path ends at the first CR too.
        for (size_t i = pos; i < end; i++)
            if (text[i] == '\r') {
                line_end = i;
                break;
            }
        const char* line = text + pos;
        size_t n = line_end - pos;
        pos = end + 1;
        if (n < 6 || memcmp(line, "mount ", 6) != 0) continue;

        size_t i = 6;
        size_t point_start = i;
        while (i < n && (unsigned char)line[i] > 32) i++;
        size_t point_len = i - point_start;
        while (i < n && line[i] == ' ') i++;
        size_t host_len = n - i;
        // Embedded NULs would silently shorten either name.
        bool has_nul = memchr(line, 0, n) != nullptr;
        if (point_len == 0 || host_len == 0 || point_len > MOUNT_POINT_MAX || has_nul) {
            krio_debugf("mount: skipped line (%s)\n",
                        point_len == 0    ? "no mount point"
                        : host_len == 0   ? "no host path"
                        : has_nul         ? "NUL in line"
                                          : "mount point too long");
            continue;
        }
        char point[MOUNT_POINT_MAX + 1];
        memcpy(point, line + point_start, point_len);
        point[point_len] = 0;
        char host[HVX_PATH_MAX];
        if (host_len >= sizeof host) {
            krio_debug("mount: skipped line (host path too long)\n");
            continue;
        }
        memcpy(host, line + i, host_len);
        host[host_len] = 0;
        on_mount(point, host, ctx);
        taken++;
    }
    return taken;
}

static void mount_config_line(const char* point, const char* host_path, void*) {
    krio_debugf("mount: [%s] [%s]\n", point, host_path);
    mount_host_path(point, host_path);
}

static bool write_default_config(const char* path, const char* drive) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fputs(CONFIG_DEFAULT_HEADER, f) >= 0 && fprintf(f, "mount / %s\n", drive) > 0;
    ok = fclose(f) == 0 && ok;
    return ok;
}

void process_config() {
    char path[HVX_PATH_MAX], drive[HVX_PATH_MAX];
    krio_prefix_with_appdata_path(CONFIG_FILE_NAME, path, sizeof path);
    krio_prefix_with_appdata_path("drive", drive, sizeof drive);
    if (drive[0]) krio_mkdir(drive);

    FILE* probe = path[0] ? fopen(path, "rb") : nullptr;
    if (probe) {
        fclose(probe);
    } else {
        krio_debugf("writing default config to %s\n", path);
        if (!path[0] || !drive[0] || !write_default_config(path, drive)) {
            printf("ERROR: could not write to %s\n", path);
            halvoran_exit(1);
        }
    }

    buffer* text = create_buffer_from_file_2(path, CONFIG_BUFFER_KIND);
    if (!text) return;
    parse_config_mounts((const char*)text->data, (size_t)text->length, mount_config_line, nullptr);
    destroy_buffer(text);
}

// ---------------------------------------------------------------------------
// Named settings
// ---------------------------------------------------------------------------

int32_t config_video_bits() {
    return config.fullscreen | config.pixel_perfect << 1 | config.allow_highdpi << 2 | config.stretch << 3 |
           config.fullscreen_window << 4 | config.blit_720p << 5;
}

void halvoran_apply_setting(const char* name, int32_t value) {
    enum kind { BOOL, RAW, CLAMPED };
    static const struct {
        const char* name;
        int32_t config_t::*field;
        kind k;
    } settings[] = {
        {"fullscreen", &config_t::fullscreen, BOOL},
        {"pixel_perfect", &config_t::pixel_perfect, BOOL},
        {"stretch", &config_t::stretch, BOOL},
        {"blit_720p", &config_t::blit_720p, BOOL},
        {"allow_highdpi", &config_t::allow_highdpi, BOOL},
        {"sdl_render_driver", &config_t::sdl_render_driver, RAW},
        {"fullscreen_window", &config_t::fullscreen_window, BOOL},
        {"pixel_scale", &config_t::pixel_scale, RAW},
        {"anywhen", &config_t::anywhen, BOOL},
        {"volume", &config_t::volume, CLAMPED},
        {"mute_audio", &config_t::mute_audio, BOOL},
        {"swap_stereo", &config_t::swap_stereo, BOOL},
        {"network_access", &config_t::network_access, BOOL},
        {"battery_saver", &config_t::battery_saver, BOOL},
        {"deadzone", &config_t::deadzone, CLAMPED},
    };
    if (!name) return;
    for (const auto& s : settings) {
        if (strcmp(name, s.name) != 0) continue;
        int32_t v = s.k == BOOL      ? (value != 0)
                    : s.k == CLAMPED ? (value < 0 ? 0 : value > SETTING_CLAMP_MAX ? SETTING_CLAMP_MAX : value)
                                     : value;
        bool history_turned_on = s.field == &config_t::anywhen && config.anywhen == 0 && v == 1;
        config.*s.field = v;
        if (history_turned_on) anywhen_event(ANYWHEN_TURNED_ON, nullptr, nullptr);
        return;
    }
}

void halvoran_apply_settings() {
    int32_t bits = config_video_bits();
    if (bits != video_hash0) {
        os_apply_video_config();
        video_hash0 = bits;
    }
    mudo_set_volume(config.mute_audio ? 0 : config.volume);
    mudo_set_stereo_swap(config.swap_stereo);
}
