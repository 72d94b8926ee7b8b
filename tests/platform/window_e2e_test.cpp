// The window end to end: under SDL's dummy video driver a window manager's
// display memory goes through the compositor, the enlargement and the
// renderer into a saved frame, and the host mouse comes back as messages;
// under a real X server (Xvfb) the program shows the boot screen and our
// system ROM's window manager, X input reaches it, and closing the window
// shuts it down in order.
#include <gtest/gtest.h>

#include <SDL.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "tests/support/process_harness.h"
#include "tests/support/rom_maker.h"
#include "tests/support/saved_frames.h"

// Last: its macros (None, Status, True...) would clash with the headers above.
#include <X11/Xlib.h>

namespace {

using hvx_test::process_env;
using hvx_test::run_in;
using hvx_test::saved_frame;
using hvx_test::saved_frames;
using hvx_test::scratch_dir;

const uint32_t kPal[4] = {0x000000, 0xFF0000, 0x00FF00, 0x3050F0};

uint8_t picture(int x, int y) {
    if (x == 0 && y == 0) return 1;
    if (x == 479 && y == 269) return 2;
    return (uint8_t)(((x / 16) + (y / 16)) % 3 + 1);
}

// Window settings for a pixel-perfect window, and processes 1 to 3 with the
// test picture (through kPal) in the window manager's display memory.
Process* picture_wm(process_env* env, int fullscreen, int pixel_scale) {
    config.headless = 0;
    config.fullscreen = fullscreen, config.pixel_perfect = 1, config.stretch = 0, config.blit_720p = 0;
    config.pixel_scale = pixel_scale;
    config.display = -1;
    Process* wm = nullptr;
    for (int i = 0; i < 3; i++) wm = env->spawn("", "p");
    for (int i = 0; i < 64; i++) hvx_poke8(wm, ADDR_REMAP + i, (uint8_t)i);
    for (int i = 0; i < 4; i++) hvx_poke32(wm, ADDR_PALETTE + 4 * i, kPal[i]);
    for (int y = 0; y < 270; y++)
        for (int x = 0; x < 480; x++) hvx_poke8(wm, ADDR_DISPLAY + 480 * y + x, picture(x, y));
    return wm;
}

int mouse_x, mouse_y;
uint32_t mouse_buttons;
uint32_t fake_mouse(int* x, int* y) {
    *x = mouse_x, *y = mouse_y;
    return mouse_buttons;
}
uint8_t no_keys[KEY_STATES];
const uint8_t* fake_keyboard(int* n) {
    *n = KEY_STATES;
    return no_keys;
}

struct window_e2e : ::testing::Test {
    scratch_dir frames;
    std::string old_cwd;
    process_env* env = nullptr;
    Process* wm = nullptr;

    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        setenv("SDL_VIDEO_DUMMY_SAVE_FRAMES", "1", 1);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd = cwd;
        ASSERT_EQ(chdir(frames.path().c_str()), 0);  // frames are saved into the working folder
        env = new process_env;
        wm = picture_wm(env, 1, 0);
        ASSERT_EQ(wm->id, 3);
        // Past the boot screen.
        platform_app.boot_screen_off = 1;
        platform_app.boot_start = 1;
        platform_app.frame_count = 1 + 200;
        os_set_skip_frame_wait(true);
        os_set_input_reader(fake_keyboard, fake_mouse);
        os_reset_input_state();
        os_system_init();
    }
    void TearDown() override {
        os_video_shutdown();
        os_set_skip_frame_wait(false);
        os_set_input_reader(nullptr, nullptr);
        os_reset_input_state();
        SDL_QuitSubSystem(SDL_INIT_EVERYTHING);
        delete env;
        config.headless = 1;
        if (chdir(old_cwd.c_str()) != 0) ADD_FAILURE();
        unsetenv("SDL_VIDEO_DUMMY_SAVE_FRAMES");
    }
    std::vector<std::string> wm_messages_after(size_t before) {
        auto all = env->messages(wm);
        return std::vector<std::string>(all.begin() + (long)before, all.end());
    }
};

TEST_F(window_e2e, fullscreen_pixel_perfect_frame_is_pixel_exact) {
    os_apply_video_config();
    ASSERT_TRUE(os_has_window());
    EXPECT_EQ(app.video_ready, 1);
    EXPECT_NE(env->log().find("creating SDL window 1024 768 flags 4101\n"), std::string::npos) << env->log();
    EXPECT_EQ(os_texture_size().w, 480);
    EXPECT_EQ(os_texture_size().h, 270);
    EXPECT_EQ(config.pixel_scale, 2);  // written back

    end_frame();
    auto names = saved_frames(frames.path());
    ASSERT_FALSE(names.empty());
    saved_frame f(frames / names.back());
    ASSERT_NE(f.s, nullptr);
    ASSERT_EQ(f.s->w, 1024);
    ASSERT_EQ(f.s->h, 768);
    // Virtual pixel (x, y) covers window (32 + 2x, 114 + 2y), 2 x 2.
    for (int y = 0; y < 270; y += 7)
        for (int x = 0; x < 480; x += 5) {
            uint32_t want = kPal[picture(x, y)];
            for (int dy = 0; dy < 2; dy++)
                for (int dx = 0; dx < 2; dx++)
                    ASSERT_EQ(f.rgb(32 + 2 * x + dx, 114 + 2 * y + dy), want) << x << "," << y;
        }
    EXPECT_EQ(f.rgb(32, 114), kPal[1]);
    EXPECT_EQ(f.rgb(32 + 959, 114 + 539), kPal[2]);
    // Black around the picture.
    EXPECT_EQ(f.rgb(31, 114), 0u);
    EXPECT_EQ(f.rgb(32 + 960, 200), 0u);
    EXPECT_EQ(f.rgb(100, 113), 0u);
    EXPECT_EQ(f.rgb(100, 114 + 540), 0u);

    // The no-new-frame flag: nothing presented.
    size_t count = saved_frames(frames.path()).size();
    hvx_poke8(wm, ADDR_FLAG_BYTE, FLAG_NO_NEW_FRAME);
    end_frame();
    EXPECT_EQ(saved_frames(frames.path()).size(), count);
}

TEST_F(window_e2e, windowed_scaled_texture_and_mouse_messages) {
    config.fullscreen = 0, config.pixel_perfect = 0;
    os_apply_video_config();
    ASSERT_TRUE(os_has_window());
    EXPECT_NE(env->log().find("creating SDL window 960 540 flags 36\n"), std::string::npos);
    EXPECT_EQ(os_preblit_scale(), 3);
    EXPECT_EQ(os_texture_size().w, 1440);
    end_frame();
    auto names = saved_frames(frames.path());
    ASSERT_FALSE(names.empty());
    saved_frame f(frames / names.back());
    ASSERT_NE(f.s, nullptr);
    ASSERT_EQ(f.s->w, 960);
    // Linear scaling of a 3x texture to 2x keeps the inside of each block exact.
    for (int y = 8; y < 270; y += 16)
        for (int x = 8; x < 480; x += 16) ASSERT_EQ(f.rgb(2 * x, 2 * y), kPal[picture(x, y)]) << x << "," << y;

    // The mouse: one report per change; left of the picture is negative in a window.
    size_t before = env->messages(wm).size();
    mouse_x = 2 * 10 + 1, mouse_y = 2 * 20, mouse_buttons = SDL_BUTTON_LMASK | SDL_BUTTON_RMASK;
    start_frame();
    start_frame();
    mouse_x = -4;
    mouse_buttons = 0;
    start_frame();
    EXPECT_EQ(wm_messages_after(before),
              (std::vector<std::string>{"{event=\"mouse\",mx=10,my=20,mb=3}", "{event=\"mouse\",mx=-2,my=20,mb=0}"}));
    // Re-made windowed, the size the window had is kept.
    app.video_ready = 0;
    os_apply_video_config();
    EXPECT_EQ(os_window_size().w, 960);
}

TEST_F(window_e2e, fullscreen_mouse_is_clamped_to_the_display) {
    os_apply_video_config();
    size_t before = env->messages(wm).size();
    mouse_x = 5, mouse_y = 767, mouse_buttons = 0;
    start_frame();
    EXPECT_EQ(wm_messages_after(before), (std::vector<std::string>{"{event=\"mouse\",mx=0,my=269,mb=0}"}));
}

TEST_F(window_e2e, mouse_lock_warp_and_focus) {
    os_apply_video_config();
    auto pointer = [] {
        int x, y;
        SDL_GetMouseState(&x, &y);
        return std::to_string(x) + "," + std::to_string(y);
    };
    // The pointer kept inside the picture in fullscreen.
    mouse_x = 5, mouse_y = 767, mouse_buttons = 0;
    os_lock_mouse_cursor(0, 64, 64);
    EXPECT_EQ(pointer(), "32,653");
    start_frame();
    // Locking takes the pointer's virtual place and parks it in the middle.
    mouse_x = 32 + 2 * 100, mouse_y = 114 + 2 * 50;
    os_lock_mouse_cursor(MOUSE_LOCK_FLAG, 64, 64);
    EXPECT_EQ(platform_app.mouse_locked, MOUSE_LOCK_FLAG);
    EXPECT_EQ(pointer(), "512,384");
    start_frame();
    size_t before = env->messages(wm).size();
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.windowID = SDL_GetWindowID(os_sdl_window());
    e.motion.x = 512, e.motion.y = 384;  // a first motion only ends the reset
    SDL_PushEvent(&e);
    e.motion.x = 517, e.motion.y = 382;  // 2.5 and -1 virtual pixels
    SDL_PushEvent(&e);
    start_frame();
    EXPECT_EQ(wm_messages_after(before), (std::vector<std::string>{"{event=\"mouse\",mx=103,my=49,mb=0}",
                                                                  "{event=\"mouselockedmove\",locked_dx=2,locked_dy=-1}"}));
    // Unlocking puts the host pointer where the virtual one went.
    os_lock_mouse_cursor(0, 64, 64);
    EXPECT_EQ(platform_app.mouse_locked, 0);
    EXPECT_EQ(pointer(), "237,212");
    EXPECT_EQ(run_in(wm, "_warp_mouse(10, 20.7)"), "");
    EXPECT_EQ(pointer(), "52,154");

    // Focus is lost only by this window.
    e = SDL_Event{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
    e.window.windowID = SDL_GetWindowID(os_sdl_window()) + 1;
    platform_app.focus = 1;
    SDL_PushEvent(&e);
    start_frame();
    EXPECT_EQ(platform_app.focus, 1);
    e.window.windowID = SDL_GetWindowID(os_sdl_window());
    SDL_PushEvent(&e);
    start_frame();
    EXPECT_EQ(platform_app.focus, 0);
}

TEST_F(window_e2e, leaving_fullscreen_restores_the_windowed_size) {
    config.fullscreen = 0;
    os_apply_video_config();
    SDL_SetWindowSize(os_sdl_window(), 700, 400);
    config.fullscreen = 1;
    os_apply_video_config();
    EXPECT_EQ(os_window_size().w, 1024);
    config.fullscreen = 0;
    os_apply_video_config();
    EXPECT_EQ(os_window_size().w, 700);
    EXPECT_EQ(os_window_size().h, 400);
}

TEST_F(window_e2e, boot_screen_until_signalled_then_the_window_manager) {
    platform_app.boot_screen_off = 0;
    boot_init();
    platform_app.boot_start = 0;
    platform_app.frame_count = 1;
    os_apply_video_config();
    for (int i = 0; i < 45; i++) {  // about 750 ms of boot: the outlines are growing
        platform_app.frame_count++;
        end_frame();
    }
    auto names = saved_frames(frames.path());
    ASSERT_FALSE(names.empty());
    {
        saved_frame f(frames / names.back());
        ASSERT_NE(f.s, nullptr);
        // The outer outline starts at the display's corner in a boot colour.
        uint32_t corner = f.rgb(32, 114);
        bool boot_colour = false;
        for (int c = 8; c <= 19; c++) boot_colour |= corner == boot_palette[c];
        EXPECT_TRUE(boot_colour) << std::hex << corner;
        EXPECT_EQ(f.rgb(32 + 480, 114 + 270), 0u);  // the middle is dark
    }
    platform_app.frame_count += 200;
    platform_app.boot_screen_off = 1;
    end_frame();
    names = saved_frames(frames.path());
    saved_frame f(frames / names.back());
    ASSERT_NE(f.s, nullptr);
    EXPECT_EQ(f.rgb(32 + 2 * 100, 114 + 2 * 100), kPal[picture(100, 100)]);
}

// An unchanged frame is neither uploaded nor presented; a changed one is,
// and so is the same frame after whatever leaves the window not showing it.
// Uploads are counted beside presents: after a device reset the texture has
// lost its frame and must be filled again before it is shown.
TEST_F(window_e2e, frames_are_presented_when_changed_or_shown_anew) {
    os_apply_video_config();
    SDL_Event e{};
    auto push_window = [&](uint8_t event) {
        e = SDL_Event{};
        e.type = SDL_WINDOWEVENT;
        e.window.windowID = SDL_GetWindowID(os_sdl_window());
        e.window.event = event;
        SDL_PushEvent(&e);
    };
    using shown = std::pair<uint64_t, uint64_t>;  // uploads, presents in one frame
    auto frame = [&] {
        uint64_t uploads = os_upload_count(), presents = os_present_count();
        start_frame();
        end_frame();
        return shown{os_upload_count() - uploads, os_present_count() - presents};
    };
    const shown none{0, 0}, uploaded{1, 1}, presented{0, 1};
    EXPECT_EQ(frame(), uploaded);  // the first
    EXPECT_EQ(frame(), none);
    hvx_poke8(wm, ADDR_DISPLAY + 480 * 5 + 7, 2);
    EXPECT_EQ(frame(), uploaded);
    saved_frame changed(frames / saved_frames(frames.path()).back());
    ASSERT_NE(changed.s, nullptr);
    EXPECT_EQ(changed.rgb(32 + 14, 114 + 10), kPal[2]);
    EXPECT_EQ(frame(), none);

    for (uint8_t event : {SDL_WINDOWEVENT_EXPOSED, SDL_WINDOWEVENT_SIZE_CHANGED, SDL_WINDOWEVENT_DISPLAY_CHANGED,
                          SDL_WINDOWEVENT_RESTORED}) {
        push_window(event);
        EXPECT_EQ(frame(), presented) << (int)event;
        EXPECT_EQ(frame(), none) << (int)event;
    }
    push_window(SDL_WINDOWEVENT_MOVED);
    EXPECT_EQ(frame(), none);
    for (auto [type, want] : {std::pair{(uint32_t)SDL_RENDER_TARGETS_RESET, presented},
                              std::pair{(uint32_t)SDL_RENDER_DEVICE_RESET, uploaded}}) {
        e = SDL_Event{};
        e.type = type;
        SDL_PushEvent(&e);
        EXPECT_EQ(frame(), want) << type;
        EXPECT_EQ(frame(), none) << type;
    }
    // Exposed while the window manager flags no new frame: the last frame again.
    hvx_poke8(wm, ADDR_FLAG_BYTE, FLAG_NO_NEW_FRAME);
    EXPECT_EQ(frame(), none);
    push_window(SDL_WINDOWEVENT_EXPOSED);
    EXPECT_EQ(frame(), presented);
    saved_frame again(frames / saved_frames(frames.path()).back());
    ASSERT_NE(again.s, nullptr);
    EXPECT_EQ(again.rgb(32 + 14, 114 + 10), kPal[2]);
    hvx_poke8(wm, ADDR_FLAG_BYTE, 0);
    // A new placement (here stretched) shows the same frame placed anew.
    config.stretch = 1, config.pixel_perfect = 0;
    EXPECT_EQ(frame(), presented);
    EXPECT_EQ(frame(), none);
}

}  // namespace

// --- a real X server (Xvfb) driven by X tools -------------------------------------

namespace xvfb {

std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* f = popen((cmd + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        pclose(f);
    }
    return out;
}

bool have(const char* tool) { return !run(std::string("command -v ") + tool).empty(); }

// The root window as the X server has it, read from xwd's ZPixmap dump
// (24 or 32 bits a pixel).
struct screenshot {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    bool take() {
        std::string d = run("xwd -root -silent");
        auto be = [&](size_t at) {
            return (uint32_t)(uint8_t)d[at] << 24 | (uint32_t)(uint8_t)d[at + 1] << 16 |
                   (uint32_t)(uint8_t)d[at + 2] << 8 | (uint8_t)d[at + 3];
        };
        if (d.size() < 100) return false;
        uint32_t header = be(0), width = be(16), height = be(20), byte_order = be(28), bpp = be(44),
                 line = be(48), ncolors = be(76);
        const uint32_t bytes = bpp / 8;  // 3 or 4, as the server's pixmap format says
        if ((bytes != 3 && bytes != 4) || width == 0 || width > 8192 || height > 8192 || line < width * bytes)
            return false;
        size_t at = (size_t)header + (size_t)ncolors * 12;
        if (d.size() < at + (size_t)line * height) return false;
        w = (int)width, h = (int)height;
        px.resize((size_t)w * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const uint8_t* p = (const uint8_t*)d.data() + at + (size_t)y * line + bytes * x;
                uint32_t v = 0;
                for (uint32_t i = 0; i < bytes; i++) v |= (uint32_t)p[byte_order ? bytes - 1 - i : i] << (8 * i);
                px[(size_t)y * w + x] = v & 0xFFFFFF;
            }
        return true;
    }
    uint32_t at(int x, int y) const { return px[(size_t)y * w + x]; }
};

}  // namespace xvfb

using hvx_test::background_run;
using hvx_test::eventually;

// The host's desktop libraries (D-Bus, X, GL drivers) keep allocations to the
// end of a process that starts SDL's video: no leak check for such runs (the
// in-process tests check our own code for leaks).
const char* kNoLeakCheck = "ASAN_OPTIONS=detect_leaks=0";

// The sysrom.dat the build packed from our system ROM.
std::string system_rom() { return hvx_test::read_file(hvx_test::build_dir() + "/sysrom.dat"); }

// Asks the window titled Halvoran to close, as a window manager does when
// its close button is pressed. In a child: the X libraries keep allocations
// to the end of a process.
bool close_window(const std::string& display, const std::string& window_id) {
    pid_t child = fork();
    if (child == 0) {
        Display* d = XOpenDisplay(display.c_str());
        if (!d) _exit(1);
        Window w = (Window)std::stoul(window_id);
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
        e.xclient.data.l[1] = CurrentTime;
        Status ok = XSendEvent(d, w, False, NoEventMask, &e);
        // A round trip, not a flush: a server that finds the connection
        // already closed may drop the request still waiting in it.
        XSync(d, False);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The X client runs in a child process that ends with _exit: the X, D-Bus
// and input-method libraries keep allocations to the end of a process, which
// the leak checker would otherwise report against this test.
struct window_xvfb : ::testing::Test {
    pid_t server = -1;
    std::string display;
    process_env* env = nullptr;
    Process* wm = nullptr;

    void SetUp() override {
        if (!xvfb::have("Xvfb") || !xvfb::have("xprop") || !xvfb::have("xdotool") || !xvfb::have("xwd"))
            GTEST_SKIP() << "Xvfb, xprop, xdotool or xwd missing";
        // The server picks a free display and writes its number to the pipe.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        server = fork();
        if (server == 0) {
            close(fds[0]);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x720x24", "-nolisten", "tcp",
                   (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        ASSERT_GT(server, 0);
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        display = ":" + number;
    }
    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
    }
    // Runs body in a child with a window on the server; true when it passed.
    bool in_client(void (window_xvfb::*body)()) {
        pid_t child = fork();
        if (child == 0) {
            setenv("DISPLAY", display.c_str(), 1);
            setenv("SDL_VIDEODRIVER", "x11", 1);
            setenv("SDL_AUDIODRIVER", "dummy", 1);
            setenv("SDL_RENDER_DRIVER", "software", 1);
            env = new process_env;
            wm = picture_wm(env, 0, 2);
            os_reset_input_state();
            os_system_init();
            (this->*body)();
            fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) return false;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Frames at the normal pace for about ms milliseconds.
    void frames_for(int ms) {
        uint64_t end = SDL_GetTicks64() + (uint64_t)ms;
        while (SDL_GetTicks64() < end) {
            start_frame();
            platform_app.frame_count++;
            end_frame();
        }
    }
    std::vector<std::string> input_messages() {
        std::vector<std::string> out;
        for (auto& m : env->messages(wm))
            if (m.find("\"mouse\"") == std::string::npos) out.push_back(m);
        return out;
    }
    void boot_screen_picture_title_and_input();
};

TEST_F(window_xvfb, boot_screen_then_picture_title_and_input) {
    EXPECT_TRUE(in_client(&window_xvfb::boot_screen_picture_title_and_input)) << "see the client's failures above";
}

void window_xvfb::boot_screen_picture_title_and_input() {
    platform_app.boot_start = 0;
    boot_init();
    platform_app.frame_count = 1;
    os_apply_video_config();
    ASSERT_TRUE(os_has_window());
    // A loaded machine can re-create the window while the program settles its video mode: ask again.
    EXPECT_TRUE(eventually(5000, [&] {
        return xvfb::run("xprop -name Halvoran WM_NAME").find("\"Halvoran\"") != std::string::npos;
    }));

    // The window is centred on the 1280x720 screen: virtual (x, y) at (160 + 2x, 90 + 2y).
    for (int i = 0; i < 40; i++) {  // 40 frames of boot (664 ms): the outlines grow
        start_frame();
        platform_app.frame_count++;
        end_frame();
    }
    xvfb::screenshot boot;
    ASSERT_TRUE(boot.take());
    ASSERT_EQ(boot.w, 1280);
    uint32_t corner = boot.at(160, 90);
    bool boot_colour = false;
    for (int c = 8; c <= 19; c++) boot_colour |= corner == boot_palette[c];
    EXPECT_TRUE(boot_colour) << std::hex << corner;

    platform_app.boot_screen_off = 1;
    platform_app.frame_count += 200;
    frames_for(200);
    xvfb::screenshot shot;
    ASSERT_TRUE(shot.take());
    for (int y = 0; y < 270; y += 9)
        for (int x = 0; x < 480; x += 7)
            ASSERT_EQ(shot.at(160 + 2 * x, 90 + 2 * y), kPal[picture(x, y)]) << x << "," << y;

    // Input through the X server.
    std::string id = xvfb::run("xdotool search --name Halvoran");
    ASSERT_FALSE(id.empty());
    id = id.substr(0, id.find('\n'));
    xvfb::run("xdotool windowfocus --sync " + id);
    frames_for(300);  // past the focus guard
    size_t before = input_messages().size();
    xvfb::run("xdotool key --window " + id + " --clearmodifiers a");
    xvfb::run("xdotool key a");
    frames_for(150);
    auto msgs = input_messages();
    std::vector<std::string> keys(msgs.begin() + (long)before, msgs.end());
    EXPECT_NE(std::find(keys.begin(), keys.end(), "{event=\"keydown\",scancode=4}"), keys.end()) << keys.size();
    EXPECT_NE(std::find(keys.begin(), keys.end(), "{event=\"keyup\",scancode=4}"), keys.end());
    EXPECT_NE(std::find(keys.begin(), keys.end(), "{event=\"textinput\",text=\"a\"}"), keys.end());

    xvfb::run("xdotool mousemove --sync --window " + id + " 200 100");
    frames_for(100);
    auto all = env->messages(wm);
    EXPECT_NE(std::find(all.begin(), all.end(), "{event=\"mouse\",mx=100,my=50,mb=0}"), all.end());

    // A held X key is a mapped button; the warp and the mouse lock move the X pointer.
    run_in(wm, "_apply_key_controls({[16]=4})");
    xvfb::run("xdotool keydown a");
    frames_for(150);
    EXPECT_EQ(run_in(wm, "_update_buttons(true) return btn(4)"), "255");
    xvfb::run("xdotool keyup a");
    frames_for(150);
    EXPECT_EQ(run_in(wm, "_update_buttons(true) return btn(4)"), "false");
    auto pointer = [] {
        std::string at = xvfb::run("xdotool getmouselocation");
        return at.substr(0, at.find(" screen"));
    };
    run_in(wm, "_warp_mouse(50, 40)");
    frames_for(100);
    EXPECT_EQ(pointer(), "x:260 y:170");
    os_lock_mouse_cursor(MOUSE_LOCK_FLAG, 64, 64);
    frames_for(100);
    EXPECT_EQ(pointer(), "x:640 y:360");  // the window's middle
    os_lock_mouse_cursor(0, 64, 64);
    frames_for(100);
    EXPECT_EQ(pointer(), "x:260 y:170");
}

// The program itself with our system ROM: the boot screen, then the window
// manager's picture; X input shows on the screen; closing the window shuts
// the workstation down in order.
TEST_F(window_xvfb, the_program_runs_our_system_rom_in_a_window) {
    std::string rom = system_rom();
    ASSERT_FALSE(rom.empty());
    hvx_test::install inst;
    inst.set_sysrom(rom);
    background_run prog(inst, {}, {"DISPLAY=" + display, "SDL_VIDEODRIVER=x11", "SDL_RENDER_DRIVER=software", kNoLeakCheck});
    setenv("DISPLAY", display.c_str(), 1);  // for the X tools
    std::string id;
    ASSERT_TRUE(eventually(10000, [&] {
        id = xvfb::run("xdotool search --name Halvoran");
        return !id.empty();
    })) << prog.out();
    id = id.substr(0, id.find('\n'));
    // A loaded machine can re-create the window while the program settles its video mode: ask again.
    EXPECT_TRUE(eventually(5000, [&] {
        return xvfb::run("xprop -name Halvoran WM_NAME").find("\"Halvoran\"") != std::string::npos;
    }));

    // Fullscreen on the 1280x720 screen, pixel-perfect: virtual (x, y) at (160 + 2x, 90 + 2y).
    auto screen_at = [&](int x, int y) {
        xvfb::screenshot shot;
        return shot.take() && shot.w == 1280 && shot.h == 720 ? shot.at(160 + 2 * x, 90 + 2 * y) : 0xFFFFFFFFu;
    };
    auto is_boot_colour = [](uint32_t c) {
        for (int i = 8; i <= 19; i++)
            if (c == boot_palette[i]) return true;
        return false;
    };
    // The outlines start at the display's corner.
    EXPECT_TRUE(eventually(5000, [&] { return is_boot_colour(screen_at(0, 0)); })) << std::hex << screen_at(0, 0);
    // The window manager's frame colour replaces them.
    const uint32_t frame = 0x1d2b53, pointer = 0xfff1e8, key_bar = 0x00e436, swatch8 = 0xff004d;
    ASSERT_TRUE(eventually(10000, [&] { return screen_at(0, 0) == frame; })) << std::hex << screen_at(0, 0);
    EXPECT_EQ(screen_at(16 + 28 * 8 + 2, 30), swatch8);
    EXPECT_EQ(screen_at(240, 200), 0u);
    // The title's first letter, printed in the window manager's own font.
    const uint32_t title = 0xfff1e8;
    EXPECT_EQ(screen_at(16, 70), title);
    EXPECT_EQ(screen_at(16, 74), title);
    EXPECT_EQ(screen_at(17, 70), 0u);

    // The pointer follows the host mouse.
    xvfb::run("xdotool mousemove --sync " + std::to_string(160 + 2 * 100) + " " + std::to_string(90 + 2 * 150));
    EXPECT_TRUE(eventually(3000, [&] { return screen_at(100, 150) == pointer; })) << std::hex << screen_at(100, 150);
    // The last key pressed lights its bar: scancode 4 ("a") at x = 16 + 4 * 4.
    xvfb::run("xdotool search --name Halvoran windowfocus --sync");
    usleep(300000);  // past the focus guard
    EXPECT_TRUE(eventually(3000, [&] {
        xvfb::run("xdotool key a");
        return screen_at(16 + 4 * 4 + 1, 270 - 20) == key_bar;
    })) << std::hex << screen_at(16 + 4 * 4 + 1, 270 - 20);

    // SDL replaces its first window while it makes the renderer: ask for the id now.
    id = xvfb::run("xdotool search --name Halvoran");
    id = id.substr(0, id.find('\n'));
    ASSERT_TRUE(close_window(display, id));
    EXPECT_EQ(prog.wait_exit(10000), 0) << prog.out();
    std::string log = hvx_test::read_file(inst.log());
    EXPECT_NE(log.find("SDL_QUIT\n"), std::string::npos);
    EXPECT_NE(log.find("[halvoran_exit] ok\n"), std::string::npos) << log;
}

// --- the program booting from a sysrom.dat, under the dummy driver -------------------

const char* kBootKernel = R"(
local spare = _create_process_from_code("", "[spare]", "/system/spare.lua")
if spare then _run_process_slice(spare, 1) end
local wm = _create_process_from_code([[
_signal(37)
while true do
	local m = _read_message()
	while m do
		printh("wm: " .. tostring(m.event) .. " " .. tostring(m.mx) .. " " .. tostring(m.my))
		m = _read_message()
	end
	flip()
end
]], "wm", "/system/wm.lua")
printh("wm " .. tostring(wm))
local frame = 0
while true do
	_run_process_slice(wm, 0.5)
	while _read_message() do end
	frame = frame + 1
	if frame == 160 then _signal(33) end
	flip()
end
)";

TEST(window_boot, program_shows_the_boot_screen_then_hands_over_and_exits) {
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", kBootKernel}}));
    scratch_dir frames;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(frames.path().c_str()), 0);
    auto r = inst.run({}, 30000, {"SDL_VIDEO_DUMMY_SAVE_FRAMES=1", kNoLeakCheck});
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("wm 3\n"), std::string::npos) << r.out;
    // Host input reached the window manager: the pointer, clamped to the display in fullscreen.
    EXPECT_NE(r.out.find("wm: mouse 0 0\n"), std::string::npos) << r.out;
    std::string log = hvx_test::read_file(inst.log());
    for (const char* line : {"creating SDL window 1024 768 flags 4101\n", "@@ finished_boot_sequence\n",
                             "[halvoran_exit] ok\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_LT(log.find("creating SDL window"), log.find("@@ finished_boot_sequence"));

    // Only frames that changed are presented: the growing outlines, the text
    // lines and the window manager's display. While the outlines grow, the
    // display's corner takes a boot colour.
    auto names = saved_frames(frames.path());
    ASSERT_GT(names.size(), 40u);
    bool boot_colour = false;
    for (const auto& name : names) {
        saved_frame f(frames / name);
        ASSERT_NE(f.s, nullptr);
        ASSERT_EQ(f.s->w, 1024);
        for (int c = 8; c <= 19; c++) boot_colour |= f.rgb(32, 114) == boot_palette[c];
    }
    EXPECT_TRUE(boot_colour);
    // The window manager's display (nothing drawn, palette black) is shown at the end.
    saved_frame last(frames / names.back());
    ASSERT_NE(last.s, nullptr);
    for (int y = 0; y < 768; y += 16)
        for (int x = 0; x < 1024; x += 16) ASSERT_EQ(last.rgb(x, y), 0u) << x << "," << y;
}

// A quit from the host (SIGTERM becomes SDL_QUIT, as closing the window does)
// ends the program in order, even with a reboot pending in every frame.
TEST(window_boot, host_quit_is_never_lost_to_a_pending_reboot) {
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", "printh('kernel up') while true do _signal(34) flip() end"}}));
    background_run prog(inst, {}, {kNoLeakCheck});
    // Wait until the kernel has run, then quit.
    ASSERT_TRUE(eventually(5000, [&] { return prog.out().find("kernel up") != std::string::npos; }));
    usleep(300000);
    prog.signal(SIGTERM);
    EXPECT_EQ(prog.wait_exit(10000), 0) << "the program did not end in order after the quit\n" << prog.err();
    std::string log = hvx_test::read_file(inst.log());
    EXPECT_NE(log.find("--- rebooting ---"), std::string::npos);
    size_t quit = log.find("SDL_QUIT\n");
    ASSERT_NE(quit, std::string::npos) << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    EXPECT_NE(log.find("[halvoran_exit] ok\n", quit), std::string::npos);
}

// Our system ROM under the dummy driver: after the boot screen the saved
// frames show the window manager's picture, pixel-exact at its place.
TEST(window_boot, our_system_rom_shows_the_window_manager) {
    std::string rom = system_rom();
    ASSERT_FALSE(rom.empty());
    hvx_test::install inst;
    inst.set_sysrom(rom);
    scratch_dir frames;
    background_run prog(inst, {}, {"SDL_VIDEO_DUMMY_SAVE_FRAMES=1", kNoLeakCheck}, frames.path());
    // The boot screen lasts 2.2 s; then the window manager's display is
    // presented, and nothing more while it stays the same.
    ASSERT_TRUE(eventually(30000, [&] {
        return hvx_test::read_file(inst.log()).find("@@ finished_boot_sequence") != std::string::npos;
    })) << prog.out();
    size_t presented = 0;
    ASSERT_TRUE(eventually(10000, [&] {
        usleep(500000);
        const size_t now = saved_frames(frames.path()).size(), before = presented;
        presented = now;
        return now == before;
    }));
    prog.signal(SIGTERM);
    EXPECT_EQ(prog.wait_exit(10000), 0);
    EXPECT_NE(prog.out().find("kernel: started wm 3"), std::string::npos) << prog.out();

    auto names = saved_frames(frames.path());
    saved_frame last(frames / names.back());
    ASSERT_NE(last.s, nullptr);
    ASSERT_EQ(last.s->w, 1024);
    // Virtual (x, y) at (32 + 2x, 114 + 2y), 2x2: the frame, the inside, the palette swatches.
    auto at = [&](int x, int y) { return last.rgb(32 + 2 * x, 114 + 2 * y); };
    const uint32_t colours[16] = {0x000000, 0x1d2b53, 0x7e2553, 0x008751, 0xab5236, 0x5f574f, 0xc2c3c7, 0xfff1e8,
                                  0xff004d, 0xffa300, 0xffec27, 0x00e436, 0x29adff, 0x83769c, 0xff77a8, 0xffccaa};
    // (The pointer sits at the dummy mouse's (0, 0).)
    EXPECT_EQ(at(479, 0), colours[1]);
    EXPECT_EQ(at(0, 269), colours[1]);
    EXPECT_EQ(at(479, 269), colours[1]);
    EXPECT_EQ(last.rgb(32 + 2 * 479 + 1, 115), colours[1]);
    EXPECT_EQ(at(200, 150), 0u);
    for (int i = 0; i < 16; i++) EXPECT_EQ(at(16 + i * 28 + 12, 36), colours[i]) << i;
    // Its text in its own font: the "h" of the title, the "m" of the status line.
    EXPECT_EQ(at(16, 70), colours[7]);
    EXPECT_EQ(at(17, 70), 0u);
    EXPECT_EQ(at(16, 81), colours[6]);
    EXPECT_EQ(at(16, 80), 0u);
    EXPECT_EQ(last.rgb(31, 114), 0u);  // outside the picture
}
