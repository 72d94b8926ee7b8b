// Host events to window-manager messages.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

namespace {

using hvx_test::process_env;

std::string text_of(int (*f)(char*, size_t, int, int), int a, int b) {
    char buf[HOST_EVENT_TEXT_MAX];
    EXPECT_GT(f(buf, sizeof buf, a, b), 0);
    return buf;
}

TEST(host_event_texts, exact_forms) {
    char buf[HOST_EVENT_TEXT_MAX];
    host_event_text_key(buf, sizeof buf, true, 4);
    EXPECT_STREQ(buf, "{event=\"keydown\",scancode=4}");
    host_event_text_key(buf, sizeof buf, false, 511);
    EXPECT_STREQ(buf, "{event=\"keyup\",scancode=511}");
    EXPECT_EQ(text_of(host_event_text_wheel, 0, -1), "{event=\"mousewheel\",wheel_x=0,wheel_y=-1}");
    EXPECT_EQ(text_of(host_event_text_locked, 2, -1), "{event=\"mouselockedmove\",locked_dx=2,locked_dy=-1}");
    host_event_text_mouse(buf, sizeof buf, -3, 269, 5);
    EXPECT_STREQ(buf, "{event=\"mouse\",mx=-3,my=269,mb=5}");
    // Too small an output is refused rather than cut.
    char tiny[8];
    EXPECT_EQ(host_event_text_key(tiny, sizeof tiny, true, 4), 0);
}

TEST(host_event_texts, typed_text_cannot_add_fields) {
    char buf[HOST_EVENT_TEXT_MAX];
    host_event_text_input(buf, sizeof buf, "a\",evil=1,x=\"\\");
    EXPECT_STREQ(buf, "{event=\"textinput\",text=\"a\\034,evil=1,x=\\034\\092\"}");
    host_event_text_input(buf, sizeof buf, "\xC3\xA9\n");
    EXPECT_STREQ(buf, "{event=\"textinput\",text=\"\\195\\169\\010\"}");
    // SDL's largest text (31 bytes) escaped to four bytes each still fits.
    std::string worst(31, '"');
    EXPECT_GT(host_event_text_input(buf, sizeof buf, worst.c_str()), 0);
}

TEST(locked_mouse, accumulator_steps) {
    int32_t acc = 160;  // 2.5 virtual pixels at sensitivity 64
    EXPECT_EQ(locked_steps(&acc), 2);
    EXPECT_EQ(acc, 32);
    acc = -64;
    EXPECT_EQ(locked_steps(&acc), -1);
    EXPECT_EQ(acc, 0);
    acc = 63;
    EXPECT_EQ(locked_steps(&acc), 0);
    EXPECT_EQ(acc, 63);
    acc = -63;
    EXPECT_EQ(locked_steps(&acc), 0);
    EXPECT_EQ(acc, -63);
    acc = -200;
    EXPECT_EQ(locked_steps(&acc), -3);
    EXPECT_EQ(acc, -8);
    acc = 64;
    EXPECT_EQ(locked_steps(&acc), 1);
    EXPECT_EQ(acc, 0);
}

TEST(mouse_mapping, window_and_fullscreen) {
    host_rect r{32, 114, 960, 540};
    int x, y;
    map_mouse_to_virtual(10, 120, r, 480, 270, 0, &x, &y);
    EXPECT_EQ(x, -11);  // (10 - 32) x 480 / 960, toward zero
    EXPECT_EQ(y, 3);
    map_mouse_to_virtual(10, 1000, r, 480, 270, 1, &x, &y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 269);
    map_mouse_to_virtual(33, 115, r, 480, 270, 1, &x, &y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    map_mouse_to_virtual(7, 9, host_rect{0, 0, 0, 0}, 480, 270, 1, &x, &y);  // no rectangle: as given
    EXPECT_EQ(x, 7);
    EXPECT_EQ(y, 9);
    EXPECT_EQ(mouse_buttons_from_sdl(SDL_BUTTON_LMASK), 1u);
    EXPECT_EQ(mouse_buttons_from_sdl(SDL_BUTTON_RMASK), 2u);
    EXPECT_EQ(mouse_buttons_from_sdl(SDL_BUTTON_MMASK), 4u);
    EXPECT_EQ(mouse_buttons_from_sdl(SDL_BUTTON_LMASK | SDL_BUTTON_MMASK | SDL_BUTTON_X1MASK), 5u);
}

// --- the frame's pass, with pushed events and a fake keyboard -----------------------

uint8_t fake_keys[KEY_STATES];
const uint8_t* fake_keyboard(int* n) {
    *n = KEY_STATES;
    return fake_keys;
}
uint32_t no_mouse(int* x, int* y) {
    *x = *y = 0;
    return 0;
}
uint64_t now_ms;
uint64_t fake_ticks() { return now_ms; }
void fake_delay(uint32_t ms) { now_ms += ms; }

struct events_test : ::testing::Test {
    process_env env;
    Process* wm = nullptr;
    void SetUp() override {
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_EVENTS), 0);
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        std::memset(fake_keys, 0, sizeof fake_keys);
        os_set_input_reader(fake_keyboard, no_mouse);
        os_set_frame_clock(fake_ticks, fake_delay);
        os_reset_input_state();
        now_ms = 10000;
        for (int i = 0; i < 3; i++) wm = env.spawn("", "p");
        ASSERT_EQ(wm->id, 3);
    }
    void TearDown() override {
        os_set_input_reader(nullptr, nullptr);
        os_set_frame_clock(nullptr, nullptr);
        os_reset_input_state();
        SDL_QuitSubSystem(SDL_INIT_EVENTS);
    }
    std::vector<std::string> frame() {
        size_t before = env.messages(wm).size();
        handle_sdl_messages();
        auto all = env.messages(wm);
        return std::vector<std::string>(all.begin() + (long)before, all.end());
    }
    void push_key(SDL_Scancode sc) {
        SDL_Event e{};
        e.type = SDL_KEYDOWN;
        e.key.keysym.scancode = sc;
        SDL_PushEvent(&e);
    }
};

TEST_F(events_test, key_pressed_and_released_between_frames) {
    push_key(SDL_SCANCODE_A);
    EXPECT_EQ(frame(), (std::vector<std::string>{"{event=\"keydown\",scancode=4}"}));
    EXPECT_EQ(platform_app.last_input_time, 10000u);
    EXPECT_EQ(frame(), (std::vector<std::string>{"{event=\"keyup\",scancode=4}"}));
    EXPECT_TRUE(frame().empty());
    // Held keys: one keydown, nothing while held, one keyup.
    fake_keys[SDL_SCANCODE_B] = 1;
    EXPECT_EQ(frame(), (std::vector<std::string>{"{event=\"keydown\",scancode=5}"}));
    EXPECT_EQ(os_key_state(SDL_SCANCODE_B), 1);
    EXPECT_TRUE(frame().empty());
    fake_keys[SDL_SCANCODE_B] = 0;
    EXPECT_EQ(frame(), (std::vector<std::string>{"{event=\"keyup\",scancode=5}"}));
}

TEST_F(events_test, keys_held_while_focus_returns_wait_100_ms) {
    fake_keys[SDL_SCANCODE_C] = 1;
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_FOCUS_GAINED;
    SDL_PushEvent(&e);
    EXPECT_TRUE(frame().empty());
    EXPECT_EQ(platform_app.focus, 1);
    EXPECT_EQ(platform_app.focus_time, 10000u);
    now_ms = 10100;
    EXPECT_TRUE(frame().empty());
    now_ms = 10101;
    EXPECT_EQ(frame(), (std::vector<std::string>{"{event=\"keydown\",scancode=6}"}));
}

TEST_F(events_test, text_wheel_quit_and_close) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::strcpy(e.text.text, "x\"y");
    SDL_PushEvent(&e);
    e = SDL_Event{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.x = -2, e.wheel.y = 3;
    SDL_PushEvent(&e);
    EXPECT_EQ(frame(), (std::vector<std::string>{"{event=\"textinput\",text=\"x\\034y\"}",
                                                 "{event=\"mousewheel\",wheel_x=-2,wheel_y=3}"}));
    EXPECT_EQ(platform_app.exit_request, 0);
    e = SDL_Event{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_CLOSE;
    SDL_PushEvent(&e);
    frame();
    EXPECT_EQ(platform_app.exit_request, 1);
    platform_app.exit_request = 0;
    e = SDL_Event{};
    e.type = SDL_QUIT;
    SDL_PushEvent(&e);
    frame();
    EXPECT_EQ(platform_app.exit_request, 1);
    // Later frames never clear it.
    frame();
    EXPECT_EQ(platform_app.exit_request, 1);
    std::string log = env.log();
    EXPECT_NE(log.find("SDL_WINDOWEVENT_CLOSE"), std::string::npos);
    EXPECT_NE(log.find("SDL_QUIT"), std::string::npos);

    e = SDL_Event{};
    e.type = SDL_CONTROLLERDEVICEREMOVED;
    e.cdevice.which = 77;
    SDL_PushEvent(&e);
    frame();
    // Two log texts: the event, then what became of it.
    log = env.log();
    size_t at = log.find("[SDL_CONTROLLERDEVICEREMOVED] instance_id: 77 [");
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("] ** failed to disconnect joystick\n", at), std::string::npos);
}

TEST_F(events_test, dropped_file_lands_in_ram_and_the_window_manager_is_told) {
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    hvx_test::scratch_dir host;
    ASSERT_TRUE(hvx_test::write_file(host / "a b.txt", "dropped"));
    SDL_Event e{};
    e.type = SDL_DROPFILE;
    e.drop.file = SDL_strdup((host / "a b.txt").c_str());
    SDL_PushEvent(&e);
    auto got = frame();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("event=\"drop_items\""), std::string::npos);
    EXPECT_NE(got[0].find("location=\"/ram/drop/a_b.txt\""), std::string::npos) << got[0];
    EXPECT_EQ(pfile_size("/ram/drop/a_b.txt", 0), 7);
    pfile_reset();
}

TEST_F(events_test, without_a_window_manager_messages_are_dropped) {
    kill_process(wm);
    ASSERT_EQ(get_process(3), nullptr);
    push_key(SDL_SCANCODE_A);
    handle_sdl_messages();  // nothing to send to, nothing breaks
    EXPECT_EQ(os_key_state(SDL_SCANCODE_A), 1);
    EXPECT_EQ(send_host_event("{event=\"x\"}"), 0);
}

}  // namespace
