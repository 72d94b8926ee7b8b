// System-information and system-control calls in a prepared process: stat
// selector by selector, time and _kstat, the signals whose effects the
// runtime keeps, the clipboard text, the window icon and the settings call.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "storage/storage.h"
#include "tests/support/harness.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

using hvx_test::call;
using hvx_test::eval;
using hvx_test::process_env;
using strings = std::vector<std::string>;

namespace {

strings stat_of(Process* p, const std::string& args) { return call(p, lua54_stat, args).values; }

TEST(Stat, SelectorsOfAPreparedProcess) {
    setenv("TZ", "UTC", 1);
    tzset();
    process_env env;
    Process* p = env.spawn("", "caller", "/system/apps/x.lua", "", "cart-7");
    Process* sandboxed = env.spawn("", "sb", "/ram/sb.lua", "box");
    p->clock = 90;
    p->cycles_since_flip = 139810;
    p->granted_prev = 69905;
    p->fps = 30;
    total_frame_cycles = 279620;
    total_frame_cycles_since_wm_flip = 139810;
    platform_app.frame_count = 1234;
    gfx_app.gif_recording = 1;
    gfx_app.gif_frames = 7;
    storage_app.has_exported_cart = 1;
    platform_app.button_word = 1;
    storage_app.file_opened = 1;
    runtime_app.signal36_flag = 1;
    audio_app.audio_focus_pid = 99;
    config.display_pid = 4;
    app.video_ready = 1;  // the normal budget
    cpu_cycles = 0;
    struct {
        std::string args;
        strings want;
    } rows[] = {
        {"5", {"27", "0.3.0d"}},
        {"7", {"30.0"}},
        {"40", {"0.0"}},  {"41", {"0.0"}},  {"42", {"0.0"}},  {"43", {"0.0"}},
        {"64", {"nil"}},  {"65", {"nil"}},  {"66", {"nil"}},  {"71", {"0.0"}},
        {"87", {"0.0"}},  // seconds west of UTC
        {"101", {"cart-7"}},
        {"150", {""}},    {"153", {""}},
        {"301", {"1.0"}},
        {"302, 600", {"nil"}}, {"302, -1", {"nil"}},
        {"303", {"1234.0"}},
        {"305", {"false"}},
        {"306", {hvx_build_string}},
        {"307", {"1.0"}},  // a program under /system/
        {"312, 0x5005", {"4096.0"}}, {"312, 0x700000", {"0.0"}},
        {"312, 0x1005005", {"4096.0"}},  // the page index is taken within the 16 MB
        {"313", {std::to_string(p->ram_bytes) + ".0"}},
        {"314", {"3.1415926535898"}},
        {"315", {"1.0"}}, {"316", {""}}, {"317", {"3.0"}}, {"319", {"nil"}},
        {"320", {"1.0"}}, {"321", {"3.0"}}, {"322", {"0.0"}}, {"330", {"0.0"}},
        {"331", {"0.25"}}, {"332", {"1.0"}}, {"334", {"1.0"}}, {"335", {"1.0"}},
        {"337", {"0.0"}}, {"338", {"1.0"}},
        // The audio selectors answer only the audio-focus process.
        {"400, 0", {"-1.0"}}, {"415, 20", {"-1.0"}}, {"464", {"-1"}}, {"465", {"-1"}}, {"466", {"-1"}},
        {"430", {"-1"}},  {"497", {"-1"}}, {"498", {"0"}}, {"499", {"99.0"}},
        {"984", {"0.0"}}, {"986", {"1.0"}},
        {"2", {"0.0"}},   {"999", {"0.0"}}, {"-1", {"0.0"}},
    };
    for (const auto& r : rows) EXPECT_EQ(stat_of(p, r.args), r.want) << "stat(" << r.args << ")";
    EXPECT_EQ(stat_of(sandboxed, "40"), strings{"0.0"});
    // CPU since the last flip and since the window manager's, in frames: the
    // running slice's cycles (here those of the call itself) are added.
    cpu_cycles = 0;
    EXPECT_NEAR(std::stod(stat_of(p, "1").at(0)), 0.5, 0.01);
    EXPECT_NEAR(std::stod(stat_of(p, "304").at(0)), 0.5, 0.01);
    // Memory: after a full collection, pages + allowance + heap - baseline.
    double mem = std::stod(stat_of(p, "0").at(0));
    EXPECT_NEAR(mem, (double)process_memory_in_use(p), 65536);
    EXPECT_GT(mem, (double)(p->ram_bytes + MEMORY_ALLOWANCE));
    EXPECT_GT(std::stod(stat_of(p, "3").at(0)), 1000.0);
    double now = std::stod(stat_of(p, "86").at(0));
    EXPECT_NEAR(now, (double)time(nullptr), 2.0);
    // fps: 60 before any flip; halved while the frame pacing is slow.
    p->fps = 0;
    EXPECT_EQ(stat_of(p, "7"), strings{"60.0"});
    platform_app.battery_slow = 1;
    EXPECT_EQ(stat_of(p, "7"), strings{"30.0"});
    // A unique counter, whoever asks.
    int64_t first = std::stoll(stat_of(p, "333").at(0));
    EXPECT_EQ(stat_of(sandboxed, "333"), strings{std::to_string(first + 1)});
    EXPECT_EQ(stat_of(p, "333"), strings{std::to_string(first + 2)});
    // time and t: the clock in seconds; _kstat without a session.
    EXPECT_EQ(call(p, lua54_time, "").values, strings{"1.5"});
    EXPECT_EQ(call(p, lua54_kstat, "800").values, strings{"nil"});
    EXPECT_EQ(call(p, lua54_kstat, "805").values, strings{"nil"});
    EXPECT_TRUE(call(p, lua54_kstat, "801").values.empty());
    EXPECT_TRUE(call(p, lua54_kstat, "800.5").values.empty());
    EXPECT_EQ(eval(p, "local t = stat(70) return type(t), #t").values, (strings{"table", "0"}));
    config.user_id[0] = 'u';
    config.session_token[0] = 't';
    EXPECT_EQ(stat_of(p, "71"), strings{"1.0"});
}

TEST(Stat, AudioSelectorsOfTheFocusProcess) {
    process_env env;
    Process* p = env.spawn("");
    audio_app.audio_focus_pid = p->id;
    // A new process's cache stamps match no clock, not even 0.
    EXPECT_EQ(p->channel_cache_stamp, -1);
    EXPECT_EQ(p->active_channels_stamp, -1);
    int32_t cached = runtime_app.audio_stat_counters[0];
    p->channel_cache[3 * 32 + 4] = 77;  // what a zeroed-cache answer would not overwrite
    EXPECT_EQ(stat_of(p, "403, 4"), strings{"-1.0"});  // read from the synthesizer: an idle channel
    EXPECT_EQ(runtime_app.audio_stat_counters[0], cached + 1);
    EXPECT_EQ(p->channel_cache_stamp, 0);
    stat_of(p, "410, 18");  // the same clock: the snapshot stands
    EXPECT_EQ(runtime_app.audio_stat_counters[0], cached + 1);
    p->clock++;
    stat_of(p, "400, 0");
    EXPECT_EQ(runtime_app.audio_stat_counters[0], cached + 2);
    EXPECT_EQ(stat_of(p, "400, -1"), strings{"-1.0"});
    EXPECT_EQ(stat_of(p, "400, -1000"), strings{"-1.0"});
    EXPECT_EQ(stat_of(p, "464"), strings{"0"});
    int32_t live = runtime_app.audio_stat_counters[1], mix = runtime_app.audio_stat_counters[2], music = runtime_app.audio_stat_counters[3];
    EXPECT_EQ(stat_of(p, "401, 19, 0x8000"), strings{"367.0"});  // one tick of the channel's output
    EXPECT_EQ(stat_of(p, "465, 0, 0x8000"), strings{"0.0"});
    EXPECT_EQ(stat_of(p, "467"), strings{"0"});
    EXPECT_EQ(runtime_app.audio_stat_counters[1], live + 1);
    EXPECT_EQ(runtime_app.audio_stat_counters[2], mix + 1);
    EXPECT_EQ(runtime_app.audio_stat_counters[3], music + 1);
    EXPECT_EQ(stat_of(p, "420"), strings{"-1"});
}

TEST(Signals, EffectsKeptByTheRuntime) {
    process_env env;
    Process* a = env.spawn("");
    Process* b = env.spawn("");
    Process* c = env.spawn("");
    // 15: the latest asker gets the highest audio priority.
    call(a, lua54_signal, "15");
    call(b, lua54_signal, "15");
    call(c, lua54_signal, "15.5");
    EXPECT_EQ(b->audio_priority, a->audio_priority + 1);
    EXPECT_EQ(c->audio_priority, a->audio_priority + 2);
    struct {
        const char* args;
        bool (*effect)(Process*);
    } rows[] = {
        // (33, 34, 36, 40, 41, 43, 44, 46, 47: the scripted kernels and the scheduler's tests)
        {"22", [](Process*) { return platform_app.last_input_time + 100 > os_get_time(); }},
        {"35", [](Process*) { return platform_app.signal35_flag == 1; }},
        {"37", [](Process*) { return platform_app.boot_screen_off == 1; }},
        {"18", [](Process*) { return gfx_app.gif_recording == 0; }},  // the capture does not start yet
        {"21", [](Process*) { return gfx_app.screenshot_pending == 1; }},
    };
    for (const auto& r : rows) {
        call(a, lua54_signal, r.args);
        EXPECT_TRUE(r.effect(a)) << "signal " << r.args;
    }
    // 38: the heap after a full collection becomes the baseline, once.
    call(a, lua54_signal, "38");
    int64_t base = a->heap_base;
    EXPECT_GT(base, 0);
    EXPECT_LE(process_memory_in_use(a), (int64_t)a->ram_bytes + MEMORY_ALLOWANCE + 4096);
    eval(a, "keep = {} for i = 1, 1000 do keep[i] = {i} end");
    call(a, lua54_signal, "38");
    EXPECT_EQ(a->heap_base, base);
    // 66: the caller's 64 colours, four times over, for the window icon.
    for (uint32_t i = 0; i < 64; i++) hvx_poke32(b, ADDR_PALETTE + 4 * i, 0x010203 * i);
    call(b, lua54_signal, "66");
    for (int i = 0; i < 256; i++) EXPECT_EQ(default_system_pal[i], 0x010203u * (uint32_t)(i & 63)) << i;
}

// Host work a signal or a kill does for no cycles of its own is charged: the
// sound capture's start and stop a measured constant each, the freeing of a
// killed or restarted process's state by its heap, as a full collection.
TEST(Signals, CaptureTogglesAndKillsArePaid) {
    process_env env;
    Process* p = env.spawn("");
    const struct {
        const char* args;
        int32_t charged;
    } rows[] = {
        {"16", SIGNAL_AUDIO_CAPTURE_CYCLES},  // start
        {"16", SIGNAL_AUDIO_CAPTURE_CYCLES},  // stop
        {"22", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(call(p, lua54_signal, r.args).charged, r.charged) << r.args;

    const int64_t n = 1 << 20;
    for (const char* mode : {"0", "1"}) {
        auto charged = [&](int64_t bytes) {
            Process* victim = env.spawn("");
            eval(victim, "H = string.rep('h', " + std::to_string(bytes) + ")");
            return (int64_t)call(p, lua54_kill_process, std::to_string(victim->id) + ", " + mode).charged;
        };
        const int64_t smaller = charged(n);
        EXPECT_NEAR(charged(2 * n) - smaller, n / LANG_COLLECT_HEAP_BYTES_PER_CYCLE, 64) << mode;
        EXPECT_GE(smaller, PROCESS_FREE_BASE_CYCLES + n / LANG_COLLECT_HEAP_BYTES_PER_CYCLE) << mode;
    }
}

TEST(Signals, MountsFlushedDroppedAndTheDesktop) {
    process_env env;
    Process* wm = nullptr;
    for (int i = 0; i < 3; i++) wm = env.spawn("");
    Process* p = env.spawn("");
    hvx_test::scratch_dir host;
    pfile_reset();
    ASSERT_EQ(mount_host_path("/", host.path().c_str()), 0);
    ASSERT_EQ(mount_ram_folder("/ram"), 0);
    // A cartridge written in RAM is dirty until a flush writes it to the host.
    ASSERT_EQ(pmkdir("/c.hvx.rom"), 0);
    pfile* f = pfopen("/c.hvx.rom/a.txt", "w");
    ASSERT_NE(f, nullptr);
    pfwrite("abc", 1, 3, f);
    pfclose(f);
    int mounts = pdisk_num_mounts();
    call(p, lua54_signal, "48");
    struct stat st;
    EXPECT_EQ(stat((host / "c.hvx.rom").c_str(), &st), 0);
    EXPECT_EQ(pdisk_num_mounts(), mounts);  // flushed, still mounted
    call(p, lua54_signal, "39");
    EXPECT_EQ(pdisk_num_mounts(), mounts - 1);  // the clean cartridge mount is dropped

    // 65: the host desktop folder is made and mounted, else the window manager is told.
    snprintf(config.desktop_path, sizeof config.desktop_path, "%s", host.path().c_str());
    call(p, lua54_signal, "65");
    EXPECT_TRUE(hvx_test::file_exists(host / DESKTOP_HOST_FOLDER));
    EXPECT_NE(get_mount_by_mount_point(DESKTOP_MOUNT_POINT, 0), nullptr);
    // A repeat pays for its host work and leaves the standing mount alone.
    mounts = pdisk_num_mounts();
    EXPECT_EQ(call(p, lua54_signal, "65").charged, SIGNAL_MOUNT_DESKTOP_HOST_OPS * HOST_FOLDER_OP_COST);
    EXPECT_EQ(pdisk_num_mounts(), mounts);
    EXPECT_TRUE(env.messages(wm).empty());
    snprintf(config.desktop_path, sizeof config.desktop_path, "%s", (host / "a-file").c_str());
    hvx_test::write_file(host / "a-file", "x");
    call(p, lua54_signal, "65");
    ASSERT_EQ(env.messages(wm).size(), 1u);
    EXPECT_NE(env.messages(wm)[0].find(DESKTOP_MOUNT_FAILED_TEXT), std::string::npos);
    config.desktop_path[0] = 0;
    pfile_reset();
}

// Misuse and debugging output reach standard output once per process, so a
// script that loops on them cannot flood it; a path under a raw relative
// working folder is answered without a word.
TEST(ControlCalls, ReportsPrintOncePerProcess) {
    process_env env;
    const struct {
        const char* chunk;
        long first_lines;  // a repeat prints none
    } rows[] = {
        {"_apply_system_settings(5)", 1},
        {"_apply_key_controls(5)", 1},
        {"_signal(18)", 1},  // no host folder to record into
        {"norm('a/./b')", 5},  // the text, three segments, the result
        {"_cd('rel', true) fstat('x')", 0},
    };
    for (const auto& r : rows) {
        Process* p = env.spawn("");
        for (long lines : {r.first_lines, 0L}) {
            testing::internal::CaptureStdout();
            eval(p, r.chunk);
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), lines) << r.chunk << ":\n" << out;
        }
    }
}

TEST(ControlCalls, ClipboardIconAndSettings) {
    process_env env;
    Process* p = env.spawn("");
    // The clipboard text keeps its length, NULs included.
    call(p, lua54_set_userland_clipboard_text, "'a\\0b'");
    EXPECT_EQ(eval(p, "return #_get_userland_clipboard_text()").values, strings{"3"});
    call(p, lua54_set_userland_clipboard_text, "{}");  // no text: nothing changes
    call(p, lua54_set_userland_clipboard_text, "12");
    EXPECT_EQ(call(p, lua54_get_userland_clipboard_text, "").values, strings{"12"});

    // The icon: a 16 x 16 u8 userdata through the system palette.
    for (int i = 0; i < 256; i++) default_system_pal[i] = 0x112233;
    auto userdata_global = [&](const char* name, const char* type, int w, int h) {
        set_current_process(p);
        uint8_t* block = create_userdata(p->L, type, 2, w, h, nullptr);
        lua_setglobal(p->L, name);
        return block;
    };
    userdata_global("wide", "i16", 16, 16);
    userdata_global("short", "u8", 16, 15);
    ud_data(userdata_global("icon", "u8", 16, 16))[0] = 5;
    call(p, lua54_set_host_window_icon, "icon");
    ASSERT_NE(os_window_icon(), nullptr);
    EXPECT_EQ(os_window_icon()[0], 0xFF112233u);
    // Other userdata, light userdata included, are not read and change nothing.
    lua_pushlightuserdata(p->L, (void*)"x");
    lua_setglobal(p->L, "light");
    for (const char* other : {"wide", "short", "light"}) {
        call(p, lua54_set_host_window_icon, other);
        EXPECT_NE(os_window_icon(), nullptr) << other;
    }
    // No userdata: the default icon.
    for (const char* none : {"nil", "'icon'", ""}) {
        call(p, lua54_set_host_window_icon, "icon");
        call(p, lua54_set_host_window_icon, none);
        EXPECT_EQ(os_window_icon(), nullptr) << none;
    }

    // Settings: string keys only; booleans 1/0; integers as they are, other floats 0.
    config.volume = 10;
    config.fullscreen = 0;
    config.deadzone = 5;
    call(p, lua54_apply_system_settings, "{volume = 300, fullscreen = true, deadzone = 2.5, [1] = 7, "
                                         "pixel_scale = 2^40, sdl_render_driver = '1'}");
    EXPECT_EQ(config.volume, 256);
    EXPECT_EQ(config.fullscreen, 1);
    EXPECT_EQ(config.deadzone, 0);
    EXPECT_EQ(config.pixel_scale, INT32_MAX);  // saturated, not wrapped
    EXPECT_EQ(config.sdl_render_driver, 0);
    call(p, lua54_apply_system_settings, "{['volume\\0x'] = 3, mute_audio = 4.0}");
    EXPECT_EQ(config.volume, 256);
    EXPECT_EQ(config.mute_audio, 1);
    config.pixel_scale = 0;
}

// Settings are read entry by entry, each string key whole: a table twice as
// wide, or a key twice as long, costs that much more.
TEST(SystemControl, SettingsChargeTheEntriesAndKeysTheyRead) {
    process_env env;
    Process* p = env.spawn("");
    const int saved_volume = config.volume;
    struct {
        const char* table;  // of N
        int64_t cycles_per_n;
        int64_t per_cycle;
    } rows[] = {
        {"local t = {} for i = 1, N do t[i] = i end return t", SETTINGS_ENTRY_COST, 1},
        {"local t = {} for i = 1, N do t['k' .. i] = true end return t", SETTINGS_ENTRY_COST, 1},
        {"return {[string.rep('k', N)] = 1, [string.rep('v', N) .. 'x'] = 2}", 2, LANG_TEXT_COPY_BYTES_PER_CYCLE},
        {"return {volume = 7, [string.rep('k', N) .. '\\0'] = 1}", 1, LANG_TEXT_COPY_BYTES_PER_CYCLE},
    };
    const int64_t n = 4096;
    for (const auto& r : rows) {
        auto charged = [&](int64_t size) {
            std::string table = r.table;
            for (size_t at; (at = table.find('N')) != std::string::npos;) table.replace(at, 1, std::to_string(size));
            return (int64_t)call(p, lua54_apply_system_settings, "(function() " + table + " end)()").charged;
        };
        EXPECT_EQ(charged(2 * n) - charged(n), n * r.cycles_per_n / r.per_cycle) << r.table;
    }
    EXPECT_EQ(config.volume, 7);
    config.volume = saved_volume;
}

// Texts the calls keep or read pay a cycle per LANG_TEXT_COPY_BYTES_PER_CYCLE
// bytes; one refused for a NUL pays only for the bytes before it, whatever
// follows.
TEST(ControlCalls, TextsPayForTheirBytes) {
    process_env env;
    Process* p = env.spawn("");
    auto with_n = [](std::string args, int64_t n) {
        for (size_t at; (at = args.find('N')) != std::string::npos;) args.replace(at, 1, std::to_string(n));
        return args;
    };
    struct {
        int (*fn)(lua_State*);
        const char* args;  // of N
        int64_t bytes_per_n;
    } rows[] = {
        {lua54_set_userland_clipboard_text, "string.rep('c', N)", 1},
        {lua54_set_userland_clipboard_text, "string.rep('c\\0', N)", 2},
        {lua54__modify_user_session, "'u\\0' .. string.rep('x', N)", 0},
        {lua54__modify_user_session, "'u', 0, 't\\0' .. string.rep('x', N)", 0},
        {lua54__fetch_udat, "'u\\0' .. string.rep('x', N)", 0},
    };
    const int64_t n = 64 << 10;
    for (const auto& r : rows) {
        auto shorter = call(p, r.fn, with_n(r.args, n));
        auto longer = call(p, r.fn, with_n(r.args, 2 * n));
        EXPECT_EQ(longer.values, shorter.values) << r.args;
        EXPECT_NEAR(longer.charged - shorter.charged, n * r.bytes_per_n / LANG_TEXT_COPY_BYTES_PER_CYCLE, 16) << r.args;
    }
    EXPECT_EQ(eval(p, "return #_get_userland_clipboard_text()").values, strings{std::to_string(4 * n)});
}

// A process taking the audio focus copies its memory into the synthesizer's
// and pays for each page of bytes: mapping 256 more pages adds their cost.
TEST(ControlCalls, TakingTheAudioFocusPaysForThePagesCopied) {
    process_env env;
    Process* p = env.spawn("");
    while (p && p->id <= LAST_SYSTEM_PROCESS_ID) p = env.spawn("");
    ASSERT_NE(p, nullptr);
    auto taking_focus = [&](int pages) {
        eval(p, "M = userdata('u8', 4096, " + std::to_string(pages) + ") _map_ram(M, 0)");
        audio_app.audio_copy_pid = 0;  // the synthesizer holds nobody's memory
        return (int64_t)call(p, lua54_play_note, "").charged;
    };
    const int64_t fewer = taking_focus(256);
    EXPECT_NEAR(taking_focus(512) - fewer, 256 * AUDIO_PAGE_COPY_COST, 8);
    // Once the copy is its own, a note copies nothing more.
    const int64_t again = call(p, lua54_play_note, "").charged;
    EXPECT_LT(again, 256 * AUDIO_PAGE_COPY_COST);
}

// The calls that collect the caller's whole heap pay for it by its bytes:
// a string of 1 MB more adds 1 MB / LANG_COLLECT_HEAP_BYTES_PER_CYCLE.
// So does collectgarbage, which a script may loop.
TEST(ControlCalls, FullCollectionsPayForTheHeap) {
    process_env env;
    Process* p = env.spawn("");
    struct {
        int (*fn)(lua_State*);
        const char* args;
    } rows[] = {
        {lua54_stat, "0"},
        {lua54_stat, "3"},
        {lua54_signal, "38"},  // the heap baseline
    };
    const int64_t n = 1 << 20;
    for (const auto& r : rows) {
        auto charged = [&](int64_t bytes) {
            eval(p, "H = string.rep('h', " + std::to_string(bytes) + ")");
            call(p, r.fn, r.args);  // the garbage of building it goes first
            return (int64_t)call(p, r.fn, r.args).charged;
        };
        const int64_t smaller = charged(n);
        EXPECT_NEAR(charged(2 * n) - smaller, n / LANG_COLLECT_HEAP_BYTES_PER_CYCLE, 64) << r.args;
    }
    // A script's own collection pays the same way; a step by the kilobytes it
    // may walk, so a small step costs the same over any heap.
    const struct {
        const char* code;
        int64_t grows;  // per n bytes more of heap
    } script_rows[] = {
        {"collectgarbage()", n / LANG_COLLECT_HEAP_BYTES_PER_CYCLE},
        {"collectgarbage('step', 1 << 30)", n / LANG_COLLECT_HEAP_BYTES_PER_CYCLE},
        {"collectgarbage('step', 64)", 0},
        {"collectgarbage('count')", 0},
    };
    for (const auto& r : script_rows) {
        auto charged = [&](int64_t bytes) {
            eval(p, "H = string.rep('h', " + std::to_string(bytes) + ") collectgarbage()");
            return (int64_t)eval(p, r.code).charged;
        };
        const int64_t smaller = charged(n);
        EXPECT_NEAR(charged(2 * n) - smaller, r.grows, 64) << r.code;
    }
}

}  // namespace
