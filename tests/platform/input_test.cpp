// Input state: stick scaling, the bank rules, btn and btnp as a process
// sees them with mapped keys, virtual controllers with hot-plugging, and the
// controller mapping files.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"

namespace {

using hvx_test::process_env;

TEST(input_pure, stick_bytes_and_bank_rules) {
    struct {
        int v, neg, pos;
    } sticks[] = {{-32768, 255, 0}, {-19456, 128, 0}, {-8192, 0, 0}, {0, 0, 0},
                  {8192, 0, 0},     {8193, 0, 0},     {19456, 0, 128}, {30720, 0, 255}};
    for (auto c : sticks) {
        uint8_t n = 0, p = 0;
        stick_to_bytes(c.v, &n, &p);
        EXPECT_EQ(n, c.neg) << c.v;
        EXPECT_EQ(p, c.pos) << c.v;
    }
    // A full diagonal is cut to the unit circle in every bank it reaches.
    button_banks b{};
    uint8_t pad[128] = {}, low[128] = {}, mirror[128];
    pad[8 + 1] = pad[8 + 3] = 255;
    EXPECT_EQ(refresh_button_banks(&b, pad, low, mirror), 1);
    EXPECT_EQ(b.cur[2][9], 181);
    EXPECT_EQ(b.cur[0][11], 181);
    EXPECT_EQ(mirror[9], 255);
    low[20] = 64;  // not above the activity level
    EXPECT_EQ(refresh_button_banks(&b, low, low, mirror), 0);
    EXPECT_EQ(b.prev[2][9], 181);
}

uint64_t now_ms;
uint64_t fake_ticks() { return now_ms; }
void fake_delay(uint32_t ms) { now_ms += ms; }
uint8_t fake_keys[KEY_STATES];
const uint8_t* fake_keyboard(int* n) {
    *n = KEY_STATES;
    return fake_keys;
}

// A process whose scripts call the input globals, with host frames between.
struct input_calls : ::testing::Test {
    process_env env;
    Process* p = nullptr;
    void SetUp() override {
        // The joystick module on its own: virtual devices outlive a restart
        // of the controller module.
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_JOYSTICK), 0);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER), 0);
        std::memset(fake_keys, 0, sizeof fake_keys);
        os_set_input_reader(fake_keyboard, nullptr);
        os_set_frame_clock(fake_ticks, fake_delay);
        now_ms = 10000;  // past the focus guard
        os_reset_input_state();
        krio_joystick_init();
        p = env.spawn("");
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override {
        krio_joystick_exit();
        os_set_input_reader(nullptr, nullptr);
        os_set_frame_clock(nullptr, nullptr);
        std::memset(config.key_controls, 0, sizeof config.key_controls);
        SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
        SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
    }
    std::string eval(const std::string& code) { return hvx_test::run_in(p, code); }
    // One host frame, then the process refreshes its banks.
    std::string frame(const std::string& then = "return nil") {
        handle_sdl_messages();
        eval("_update_buttons(true)");
        return eval(then);
    }
};

TEST_F(input_calls, mapped_keys_union_bank_mirror_and_alt) {
    // Player 0 left/right/A on J/L/Z; player 5 button 2 on X (entry 5 x 16 + 2).
    eval("_apply_key_controls({[0]=13, [4]=15, [16]=29, [17]=0, [19]=4, [328]=27})");
    fake_keys[SDL_SCANCODE_Z] = fake_keys[SDL_SCANCODE_X] = 1;
    EXPECT_EQ(frame("return btn()"), std::to_string((1ll << 4) | (1ll << 42)));
    EXPECT_EQ(eval("return btn(4)"), "255");
    EXPECT_EQ(eval("return btn(4, 0, 2)"), "255");  // the keys' bank
    EXPECT_EQ(eval("return btn(4, 0, 1)"), "false");
    EXPECT_EQ(eval("return btn(2, 5, 7)"), "255");  // bank 7 & 3 = 3
    for (const char* bad : {"btn(16)", "btn(0, 8)", "btn(4, -1)", "btn(1e300)", "btnp(99, 99)", "btn(-2)"})
        EXPECT_EQ(eval(std::string("return ") + bad), "false") << bad;
    fake_keys[SDL_SCANCODE_X] = 0;
    // Left and right together: neither in the banks, both in the RAM copy.
    fake_keys[SDL_SCANCODE_J] = fake_keys[SDL_SCANCODE_L] = 1;
    EXPECT_EQ(frame("return btn(0) or btn(1)"), "false");
    EXPECT_EQ(eval("return peek(0x5580) .. ',' .. peek(0x5581) .. ',' .. peek(0x5584)"), "255,255,255");
    fake_keys[SDL_SCANCODE_RALT] = 1;
    EXPECT_EQ(frame("return btn()"), "0");
    EXPECT_EQ(platform_app.button_word, 0);
}

TEST_F(input_calls, btnp_repeats_on_its_schedule_and_resets_latch) {
    eval("_apply_key_controls({[16]=29})");
    auto fired = [&](int frames) {
        std::vector<int> at;
        for (int f = 1; f <= frames; f++)
            if (frame("return btnp(4)") == "true") at.push_back(f);
        return at;
    };
    struct {
        int delay, period;
        std::vector<int> frames;
    } schedules[] = {{0, 0, {1, 31, 39, 47}}, {3, 255, {1, 4}}, {255, 0, {1}}, {2, 1, {1, 3, 4, 5, 6}}};
    for (const auto& c : schedules) {
        eval("poke(0x5f5c, " + std::to_string(c.delay) + ") poke(0x5f5d, " + std::to_string(c.period) + ")");
        fake_keys[SDL_SCANCODE_Z] = 1;
        EXPECT_EQ(fired(c.frames.back() == 6 ? 6 : 50), c.frames) << c.delay << " " << c.period;
        fake_keys[SDL_SCANCODE_Z] = 0;
        frame();
    }
    fake_keys[SDL_SCANCODE_Z] = 1;
    frame();
    // After a reset a held key is unseen until released and pressed again.
    eval("_update_buttons(false)");
    EXPECT_EQ(frame("return btn(4)"), "false");
    fake_keys[SDL_SCANCODE_Z] = 0;
    frame();
    fake_keys[SDL_SCANCODE_Z] = 1;
    EXPECT_EQ(frame("return btn(4)"), "255");
}

TEST_F(input_calls, key_controls_take_only_what_fits_the_tables) {
    eval("_apply_key_controls({[0]=99999, [1]=-7, [2]=-1, [3]=2.5, [511]=4, [512]=4, [-1]=4, ['5']=4})");
    const int32_t* k = config.key_controls;
    EXPECT_EQ(k[0], 0);
    EXPECT_EQ(k[1], 0);
    EXPECT_EQ(k[2], -1);  // any key
    EXPECT_EQ(k[3], 0);
    EXPECT_EQ(k[5], 0);
    EXPECT_EQ(k[511], 4);
    fake_keys[SDL_SCANCODE_Q] = 1;
    EXPECT_EQ(frame("return btn(0, 0, 2)"), "255");
    eval("_apply_key_controls(7)");
    EXPECT_EQ(k[511], 4);  // not a table: nothing changes
}

// Every entry of the table is read, whether it maps a key or not.
TEST_F(input_calls, key_controls_charge_every_entry_read) {
    const char* tables[] = {
        "local t = {} for i = 1, N do t[i - 1] = 1 end return t",      // past the 512 too
        "local t = {} for i = 1, N do t['k' .. i] = 1 end return t",   // none a scancode
        "local t = {} for i = 1, N do t[i + 0.5] = 1 end return t",    // none an integer
    };
    const int64_t n = 2048;
    for (const std::string table : tables) {
        auto charged = [&](int64_t size) {
            std::string code = table;
            code.replace(code.find('N'), 1, std::to_string(size));
            return (int64_t)hvx_test::call(p, lua54_apply_key_controls, "(function() " + code + " end)()").charged;
        };
        EXPECT_EQ(charged(2 * n) - charged(n), n * LANG_NEXT_ENTRY_COST) << table;
    }
}

// SDL's virtual game controllers stand in for devices.
SDL_JoystickID attach_pad() {
    SDL_VirtualJoystickDesc d{};
    d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    d.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    d.naxes = SDL_CONTROLLER_AXIS_MAX;
    d.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    int index = SDL_JoystickAttachVirtualEx(&d);
    return index < 0 ? -1 : SDL_JoystickGetDeviceInstanceID(index);
}

TEST_F(input_calls, virtual_controllers_drive_players_and_hot_plug) {
    SDL_JoystickID a = attach_pad(), b = attach_pad();
    ASSERT_GE(b, 0) << SDL_GetError();
    handle_sdl_messages();  // the two additions
    ASSERT_EQ(metacon_slots_in_use(), 2);
    EXPECT_EQ(metacon_instance_id(0), a);
    EXPECT_NE(env.log().find("Controller 0: "), std::string::npos);

    SDL_Joystick* jb = SDL_JoystickFromInstanceID(b);
    SDL_JoystickSetVirtualButton(jb, SDL_CONTROLLER_BUTTON_A, 1);
    SDL_JoystickSetVirtualAxis(jb, SDL_CONTROLLER_AXIS_LEFTX, 20000);  // resting off centre
    EXPECT_EQ(frame("return btn(4, 1)"), "false");  // not yet seen released
    SDL_JoystickSetVirtualButton(jb, SDL_CONTROLLER_BUTTON_A, 0);
    frame();
    SDL_JoystickSetVirtualButton(jb, SDL_CONTROLLER_BUTTON_A, 1);
    EXPECT_EQ(frame("return btn(4, 1)"), "255");
    EXPECT_EQ(eval("return btn(1, 1)"), "false");
    SDL_JoystickSetVirtualAxis(jb, SDL_CONTROLLER_AXIS_LEFTX, 0);
    frame();
    SDL_JoystickSetVirtualAxis(jb, SDL_CONTROLLER_AXIS_LEFTX, 32767);
    EXPECT_EQ(frame("return btn(1, 1)"), "255");

    // Removing the first moves the second to player 0; a new one takes slot 1.
    SDL_JoystickDetachVirtual(0);
    frame();
    EXPECT_EQ(metacon_slots_in_use(), 1);
    EXPECT_EQ(metacon_instance_id(0), b);
    SDL_JoystickID c = attach_pad();
    frame();
    EXPECT_EQ(metacon_instance_id(1), c);
    // Start-up connects the devices present, which SDL then announces too:
    // nothing is opened twice.
    krio_joystick_exit();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER), 0);
    krio_joystick_init();
    frame();
    EXPECT_EQ(metacon_slots_in_use(), 2);
    krio_joystick_exit();
    EXPECT_EQ(SDL_JoystickFromInstanceID(b), nullptr);  // every handle closed
    EXPECT_EQ(SDL_JoystickFromInstanceID(c), nullptr);
    while (SDL_NumJoysticks() > 0) SDL_JoystickDetachVirtual(0);
    std::string log = env.log();
    EXPECT_NE(log.find("[SDL_CONTROLLERDEVICEREMOVED] instance_id: " + std::to_string(a)), std::string::npos);
    EXPECT_NE(log.find(" slot: 0\n"), std::string::npos);
}

TEST_F(input_calls, unmapped_joystick_opens_plain_and_frees_its_slot) {
    SDL_VirtualJoystickDesc d{};  // not a controller type: SDL gives it no mapping
    d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    d.naxes = 2, d.nbuttons = 4;
    SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(SDL_JoystickAttachVirtualEx(&d));
    krio_joystick_exit();
    krio_joystick_init();  // plain joysticks are connected at start-up
    ASSERT_EQ(metacon_instance_id(0), id);
    SDL_JoystickDetachVirtual(0);
    handle_sdl_messages();
    EXPECT_EQ(metacon_slots_in_use(), 0);
    EXPECT_NE(env.log().find("Unmapped Joystick 0: "), std::string::npos);
}

TEST_F(input_calls, mapping_files) {
    std::string file = env.log().empty() ? "" : config.home + std::string("/") + CONTROLLER_MAPPING_FILE;
    // Made at set-up with its one line.
    EXPECT_EQ(hvx_test::read_file(file), "// add SDL2 game controller mappings to this file\n");
    EXPECT_EQ(std::strlen(CONTROLLER_MAPPING_HEADER), 50u);
    std::string good = "05000000deadbeef0000000000000000,Test Pad,a:b0,b:b1,";
    hvx_test::write_file(file, "// note\n\n \t" + good + "\x80 \r\n" + good + "\ngarbage\n" + std::string(2000, 'x') +
                                   "\n/" + good);
    EXPECT_EQ(read_controller_mappings(file.c_str()), 3);
    std::string log = env.log();
    EXPECT_NE(log.find(" added controller mapping: " + good + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" updated controller mapping: " + good + "\n"), std::string::npos);
    EXPECT_NE(log.find(" failed to add controller mapping: garbage\n"), std::string::npos);
    EXPECT_NE(log.find(" skipped a controller mapping longer than 1023 bytes"), std::string::npos);
    EXPECT_EQ(read_controller_mappings((file + ".none").c_str()), -1);
}

}  // namespace
