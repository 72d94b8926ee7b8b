// Settings record, the configuration file's mount lines, named settings.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "runtime/runtime.h"

namespace {

using mounts = std::vector<std::pair<std::string, std::string>>;

mounts parse(const std::string& text, int* taken = nullptr) {
    mounts m;
    int n = parse_config_mounts(
        text.data(), text.size(),
        [](const char* point, const char* host, void* ctx) {
            static_cast<mounts*>(ctx)->emplace_back(point, host);
        },
        &m);
    if (taken) *taken = n;
    return m;
}

TEST(ConfigFile, DefaultTextMountsTheDrive) {
    EXPECT_EQ(parse("# halvoran config\n\nmount / /home/u/drive\n"), (mounts{{"/", "/home/u/drive"}}));
}

TEST(ConfigFile, LineEndingsBlanksAndForeignLines) {
    std::string text =
        "mount /a /x\r\n"
        "#mount /b /y\n"
        "mounted /c /z\n"
        " mount /d /w\n"
        "\n"
        "mount /e     /host/with a blank/\n"
        "mount /f\t/tab\n"
        "mount /g /last";  // no final line feed
    // Only spaces separate the two fields: a tab ends the mount point and starts the host path.
    EXPECT_EQ(parse(text),
              (mounts{{"/a", "/x"}, {"/e", "/host/with a blank/"}, {"/f", "\t/tab"}, {"/g", "/last"}}));
}

TEST(ConfigFile, LoneCarriageReturnEndsTheHostPath) {
    EXPECT_EQ(parse("mount /a /x\ry\n"), (mounts{{"/a", "/x"}}));
}

TEST(ConfigFile, EmptyAndOverlongFieldsAreSkipped) {
    int taken = -1;
    // An empty host path would address the host's root folder.
    EXPECT_EQ(parse("mount /\nmount / \nmount \nmount  /x\n", &taken), mounts{});
    EXPECT_EQ(taken, 0);
    std::string long_point = "/" + std::string(MOUNT_POINT_MAX, 'p');
    EXPECT_EQ(parse("mount " + long_point + " /x\n"), mounts{});
    std::string max_point = "/" + std::string(MOUNT_POINT_MAX - 1, 'p');
    EXPECT_EQ(parse("mount " + max_point + " /x\n"), (mounts{{max_point, "/x"}}));
    std::string long_host = "/" + std::string(5000, 'h');
    EXPECT_EQ(parse("mount /a " + long_host + "\nmount /b /ok\n"), (mounts{{"/b", "/ok"}}));
}

TEST(ConfigFile, GarbageIsHarmless) {
    std::string text;
    uint32_t seed = 7;
    for (int i = 0; i < 100000; i++) {
        seed = seed * 1664525 + 1013904223;
        text += (i % 37 == 0) ? std::string("mount ") : std::string(1, (char)(seed >> 24));
    }
    mounts m = parse(text);
    for (auto& [point, host] : m) {
        EXPECT_FALSE(point.empty());
        EXPECT_FALSE(host.empty());
        EXPECT_LE(point.size(), (size_t)MOUNT_POINT_MAX);
    }
}

TEST(Settings, DefaultsAndClamping) {
    config_set_defaults();
    EXPECT_EQ(config.fullscreen, 1);
    EXPECT_EQ(config.pixel_perfect, 1);
    EXPECT_EQ(config.volume, 192);
    EXPECT_EQ(config.network_access, 1);
    EXPECT_EQ(config.display_pid, 3);
    EXPECT_EQ(config.display, -1);
    EXPECT_EQ(video_hash0, -1);

    halvoran_apply_setting("volume", 300);
    EXPECT_EQ(config.volume, 256);
    halvoran_apply_setting("volume", -5);
    EXPECT_EQ(config.volume, 0);
    halvoran_apply_setting("deadzone", 1000);
    EXPECT_EQ(config.deadzone, 256);
    halvoran_apply_setting("fullscreen", 7);
    EXPECT_EQ(config.fullscreen, 1);
    halvoran_apply_setting("fullscreen", 0);
    EXPECT_EQ(config.fullscreen, 0);
    halvoran_apply_setting("pixel_scale", -3);
    EXPECT_EQ(config.pixel_scale, -3);  // stored raw; the window layer clamps
    halvoran_apply_setting("sdl_render_driver", 9);
    EXPECT_EQ(config.sdl_render_driver, 9);
    halvoran_apply_setting("anywhen", 5);
    EXPECT_EQ(config.anywhen, 1);
    // Not a setting, or a prefix of one: nothing changes.
    config_t before = config;
    halvoran_apply_setting("volumes", 1);
    halvoran_apply_setting("vol", 1);
    halvoran_apply_setting(nullptr, 1);
    EXPECT_EQ(memcmp(&before, &config, sizeof config), 0);
}

TEST(Settings, VideoBitsReconfigureOnlyWhenChanged) {
    config_set_defaults();
    EXPECT_EQ(config_video_bits(), 0b11);
    halvoran_apply_settings();
    EXPECT_EQ(video_hash0, 0b11);
    halvoran_apply_setting("pixel_scale", 4);
    halvoran_apply_settings();
    EXPECT_EQ(video_hash0, 0b11);
    halvoran_apply_setting("blit_720p", 1);
    halvoran_apply_setting("fullscreen_window", 1);
    halvoran_apply_setting("stretch", 1);
    halvoran_apply_setting("allow_highdpi", 1);
    halvoran_apply_settings();
    EXPECT_EQ(video_hash0, 0b111111);
}

}  // namespace
