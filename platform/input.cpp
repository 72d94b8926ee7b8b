// Controllers and button banks: the controller slot table with its mapping
// files and hot-plugging, every process's three button banks, and the input
// calls btn, btnp, _update_buttons, _apply_key_controls and _warp_mouse.
#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "lang/lang.h"
#include "platform/platform.h"
#include "core/core.h"

namespace {

struct metacon_slot {
    SDL_GameController* controller;  // none for a device without a mapping
    SDL_Joystick* joystick;          // only for such a device: a controller owns its own
    int32_t instance_id;
    uint8_t axis_valid[METACON_AXES];  // read once near the centre
    uint32_t button_valid;             // bit b: button b read once released
};

metacon_slot metacon[METACON_SLOTS];
int slots_open;  // counted after each change: every frame asks, few frames change them
bool krio_joystick_inited;
bool unvalidated_logged, detached_logged;

// Mappings for models the host library's own database lacks; none so far.
const char* const builtin_mappings[] = {nullptr};

bool slot_used(const metacon_slot& s) { return s.controller || s.joystick; }

void count_open_slots() {
    slots_open = 0;
    for (const auto& s : metacon) slots_open += slot_used(s);
}

void blank_slot(metacon_slot* s) {
    std::memset(s, 0, sizeof *s);
    s->instance_id = -1;
}

// The slot's handles are closed before it is cleared, so nothing leaks.
void close_slot(metacon_slot* s) {
    if (s->controller) SDL_GameControllerClose(s->controller);
    if (s->joystick) SDL_JoystickClose(s->joystick);
    blank_slot(s);
}

SDL_Joystick* slot_joystick(const metacon_slot& s) {
    return s.controller ? SDL_GameControllerGetJoystick(s.controller) : s.joystick;
}

const metacon_slot* readable_slot(int index) {
    if (index < 0 || index >= METACON_SLOTS || !slot_used(metacon[index])) return nullptr;
    const metacon_slot& s = metacon[index];
    if (s.controller && !SDL_GameControllerGetAttached(s.controller) && !s.joystick) {
        if (!detached_logged) krio_debugf("** could not read joystick %d (not attached)\n", index);
        detached_logged = true;
        return nullptr;
    }
    return &s;
}

int read_axis(int index, int axis) {
    metacon_slot& s = metacon[index];
    if (axis < 0 || axis >= METACON_AXES) return 0;
    int v = s.controller && SDL_GameControllerGetAttached(s.controller)
                ? SDL_GameControllerGetAxis(s.controller, (SDL_GameControllerAxis)axis)
                : s.joystick ? SDL_JoystickGetAxis(s.joystick, axis) : 0;
    // A stick resting off centre when the device arrives is ignored until it
    // has been near the centre once.
    if (!s.axis_valid[axis]) {
        if (v < -AXIS_VALID_LIMIT || v > AXIS_VALID_LIMIT) return 0;
        s.axis_valid[axis] = 1;
    }
    return v;
}

bool read_button(int index, int button) {
    metacon_slot& s = metacon[index];
    bool down = s.controller && SDL_GameControllerGetAttached(s.controller)
                    ? SDL_GameControllerGetButton(s.controller, (SDL_GameControllerButton)button) != 0
                    : s.joystick && SDL_JoystickGetButton(s.joystick, button) != 0;
    uint32_t bit = 1u << button;
    if (!(s.button_valid & bit)) {
        if (!down) {
            s.button_valid |= bit;
        } else if (!unvalidated_logged) {
            krio_debugf("** button %d not validated on joystick %d\n", button, index);
            unvalidated_logged = true;
        }
        return false;
    }
    return down;
}

void log_counts(SDL_Joystick* j) {
    krio_debugf(" Number of Axes: %d\n", SDL_JoystickNumAxes(j));
    krio_debugf(" Number of Buttons: %d\n", SDL_JoystickNumButtons(j));
    krio_debugf(" Number of Balls: %d\n", SDL_JoystickNumBalls(j));
}

const char* or_empty(const char* s) { return s ? s : ""; }

}  // namespace

// --- controller slots ------------------------------------------------------------

int connect_joystick(int i) {
    if (i < 0 || i >= METACON_SLOTS || i >= SDL_NumJoysticks()) return -1;
    int32_t id = SDL_JoystickGetDeviceInstanceID(i);
    // SDL also announces the devices that were open at start-up.
    for (int s = 0; s < METACON_SLOTS; s++)
        if (slot_used(metacon[s]) && metacon[s].instance_id == id) return s;
    int slot = 0;
    while (slot < METACON_SLOTS && slot_used(metacon[slot])) slot++;
    if (slot == METACON_SLOTS) {
        krio_debugf("** no free controller slot for joystick %d\n", i);
        return -1;
    }
    metacon_slot* s = &metacon[slot];
    blank_slot(s);
    krio_debugf("connecting joystick %d\n", i);
    if (SDL_IsGameController(i) && (s->controller = SDL_GameControllerOpen(i))) {
        krio_debugf("Controller %d: %s\n", i, or_empty(SDL_GameControllerName(s->controller)));
        SDL_Joystick* j = SDL_GameControllerGetJoystick(s->controller);
        s->instance_id = SDL_JoystickInstanceID(j);
        log_counts(j);
        char* mapping = SDL_GameControllerMapping(s->controller);
        krio_debugf(" Mapping: %s\n", or_empty(mapping));
        SDL_free(mapping);
    } else if ((s->joystick = SDL_JoystickOpen(i))) {
        s->instance_id = SDL_JoystickInstanceID(s->joystick);
        krio_debugf("Unmapped Joystick %d: %s\n", i, or_empty(SDL_JoystickName(s->joystick)));
        log_counts(s->joystick);
    } else {
        krio_debugf("** could not open joystick %d: %s\n", i, SDL_GetError());
        blank_slot(s);
        return -1;
    }
    count_open_slots();
    return slot;
}

void repack_metacon() {
    int to = 0;
    for (int from = 0; from < METACON_SLOTS; from++) {
        if (!slot_used(metacon[from])) continue;
        if (to != from) {
            metacon[to] = metacon[from];
            blank_slot(&metacon[from]);  // moved, not closed
        }
        to++;
    }
    for (int s = to; s < METACON_SLOTS; s++) blank_slot(&metacon[s]);
    count_open_slots();
}

int disconnect_joystick(int32_t instance_id) {
    int found = -1;
    for (int s = 0; s < METACON_SLOTS && found < 0; s++)
        if (slot_used(metacon[s]) && metacon[s].instance_id == instance_id) found = s;
    if (found >= 0) close_slot(&metacon[found]);
    repack_metacon();
    return found;
}

int metacon_slots_in_use() { return slots_open; }

int32_t metacon_instance_id(int slot) {
    return slot >= 0 && slot < METACON_SLOTS && slot_used(metacon[slot]) ? metacon[slot].instance_id : -1;
}

int read_controller_mappings(const char* host_path) {
    FILE* f = host_path ? fopen(host_path, "rb") : nullptr;
    if (!f) return -1;
    krio_debugf("Reading controller mappings: %s\n", host_path);
    int given = 0;
    char line[MAPPING_LINE_MAX + 1];
    size_t n = 0;
    bool too_long = false;
    for (;;) {
        int c = fgetc(f);
        if (c != EOF && c != '\n') {
            if (n < MAPPING_LINE_MAX) line[n++] = (char)c;
            else too_long = true;
            continue;
        }
        line[n] = 0;
        // Only whole lines are mappings: a cut one would name a wrong model.
        const char* t = too_long ? "" : krio_trim(line);
        if (too_long) krio_debugf(" skipped a controller mapping longer than %d bytes\n", (int)MAPPING_LINE_MAX);
        if (t[0] && t[0] != '/') {
            int r = SDL_GameControllerAddMapping(t);
            given++;
            if (r < 0) krio_debugf(" failed to add controller mapping: %s\n", t);
            else if (r == 0) krio_debugf(" updated controller mapping: %s\n", t);
            else krio_debugf(" added controller mapping: %s\n", t);
        }
        n = 0;
        too_long = false;
        if (c == EOF) break;
    }
    fclose(f);
    return given;
}

void add_sdl_controllers() {
    char path[HVX_PATH_MAX];
    if (krio_prefix_with_program_path(CONTROLLER_MAPPING_FILE, path, sizeof path)) read_controller_mappings(path);
    if (!krio_prefix_with_appdata_path(CONTROLLER_MAPPING_FILE, path, sizeof path)) return;
    if (read_controller_mappings(path) >= 0) return;
    if (FILE* f = fopen(path, "wb")) {
        fputs(CONTROLLER_MAPPING_HEADER, f);
        fclose(f);
    }
}

void krio_joystick_init() {
    SDL_SetHint(SDL_HINT_AUTO_UPDATE_JOYSTICKS, "0");
    if (krio_joystick_inited) return;
    krio_joystick_inited = true;
    for (auto& s : metacon) blank_slot(&s);
    count_open_slots();
    for (const char* const* m = builtin_mappings; *m; m++) SDL_GameControllerAddMapping(*m);
    add_sdl_controllers();
    int n = SDL_NumJoysticks();
    krio_debugf("found %d joysticks\n", n);
    for (int i = 0; i < n && i < METACON_SLOTS; i++) connect_joystick(i);
}

void update_controllers() {
    static uint32_t idle_frames;
    if (slots_open == 0 && idle_frames++ % CONTROLLER_DETECT_FRAMES != 0) return;
    SDL_JoystickUpdate();  // nothing without the joystick module
}

void krio_joystick_exit() {
    for (auto& s : metacon) close_slot(&s);
    count_open_slots();
    krio_joystick_inited = false;
}

// --- reading controllers -----------------------------------------------------------

void stick_to_bytes(int v, uint8_t* negative, uint8_t* positive) {
    auto scale = [](int64_t beyond) {
        int64_t b = beyond * 256 / STICK_SPAN;
        return (uint8_t)(b < 0 ? 0 : b > 255 ? 255 : b);
    };
    if (v < 0) *negative = scale(-STICK_THRESHOLD - (int64_t)v);
    else if (v > 0) *positive = scale((int64_t)v - STICK_THRESHOLD);
}

void os_get_button_states(int index, uint8_t out[BUTTONS_PER_PLAYER]) {
    if (!readable_slot(index)) return;
    stick_to_bytes(read_axis(index, SDL_CONTROLLER_AXIS_LEFTX), &out[0], &out[1]);
    stick_to_bytes(read_axis(index, SDL_CONTROLLER_AXIS_LEFTY), &out[2], &out[3]);
    stick_to_bytes(read_axis(index, SDL_CONTROLLER_AXIS_RIGHTX), &out[8], &out[9]);
    stick_to_bytes(read_axis(index, SDL_CONTROLLER_AXIS_RIGHTY), &out[10], &out[11]);
    static const struct {
        SDL_GameControllerButton button;
        int byte;
    } map[] = {{SDL_CONTROLLER_BUTTON_DPAD_LEFT, 0}, {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, 1},
               {SDL_CONTROLLER_BUTTON_DPAD_UP, 2},   {SDL_CONTROLLER_BUTTON_DPAD_DOWN, 3},
               {SDL_CONTROLLER_BUTTON_A, 4},         {SDL_CONTROLLER_BUTTON_X, 5},
               {SDL_CONTROLLER_BUTTON_START, 6},     {SDL_CONTROLLER_BUTTON_GUIDE, 6},
               {SDL_CONTROLLER_BUTTON_B, 12},        {SDL_CONTROLLER_BUTTON_Y, 13},
               {SDL_CONTROLLER_BUTTON_LEFTSHOULDER, 14}, {SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, 15}};
    for (const auto& m : map)
        if (read_button(index, m.button)) out[m.byte] = 255;
}

void krio_get_joystick(int index, int* x, int* y, uint32_t* buttons) {
    *x = *y = 0;
    *buttons = 0;
    if (!readable_slot(index)) return;
    *x = read_axis(index, 0);
    *y = read_axis(index, 1);
    for (int b = 0; b < JOYSTICK_BUTTONS; b++)
        if (read_button(index, b)) *buttons |= 1u << b;
}

void krio_get_joystick_axes(int index, int a, int b, int* va, int* vb) {
    *va = *vb = 0;
    if (!readable_slot(index)) return;
    *va = read_axis(index, a);
    *vb = read_axis(index, b);
}

int krio_count_joysticks() { return SDL_NumJoysticks(); }

int krio_count_joystick_buttons(int index) {
    if (index < 0 || index >= METACON_SLOTS || !slot_used(metacon[index])) return 0;
    SDL_Joystick* j = slot_joystick(metacon[index]);
    int n = j ? SDL_JoystickNumButtons(j) : 0;
    return n > 0 ? n : 0;
}

const char* os_key_from_scancode(int sc) {
    if (sc < 0 || sc >= SDL_NUM_SCANCODES) return nullptr;
    const char* name = SDL_GetKeyName(SDL_GetKeyFromScancode((SDL_Scancode)sc));
    return name && name[0] ? name : nullptr;
}

// --- button banks ---------------------------------------------------------------------

void key_bank_from_controls(const int32_t controls[KEY_CONTROLS], int (*key_down)(int),
                            uint8_t out[BUTTON_BANK_BYTES]) {
    std::memset(out, 0, BUTTON_BANK_BYTES);
    if (key_down(SCANCODE_LALT) || key_down(SCANCODE_RALT)) return;
    for (int e = 0; e < BUTTON_BANK_BYTES; e++)
        for (int k = 0; k < KEYS_PER_CONTROL; k++) {
            int32_t sc = controls[e * KEYS_PER_CONTROL + k];
            if (sc != 0 && key_down(sc)) {
                out[e] = 255;
                break;
            }
        }
}

int refresh_button_banks(button_banks* b, const uint8_t bank1[BUTTON_BANK_BYTES],
                         const uint8_t bank2[BUTTON_BANK_BYTES], uint8_t mirror[BUTTON_BANK_BYTES]) {
    std::memcpy(b->prev, b->cur, sizeof b->cur);
    std::memcpy(b->cur[0], bank1, BUTTON_BANK_BYTES);
    std::memcpy(b->cur[1], bank2, BUTTON_BANK_BYTES);
    for (int e = 0; e < BUTTON_BANK_BYTES; e++) b->cur[2][e] = bank1[e] | bank2[e];
    std::memcpy(mirror, b->cur[2], BUTTON_BANK_BYTES);

    // Each 8-byte group starts with a direction pad: left, right, up, down.
    for (auto& bank : b->cur)
        for (int g = 0; g < BUTTON_BANK_BYTES; g += 8) {
            uint8_t* q = bank + g;
            if (q[0] && q[1]) q[0] = q[1] = 0;
            if (q[2] && q[3]) q[2] = q[3] = 0;
            int dx = q[1] - q[0], dy = q[3] - q[2];
            int sum = dx * dx + dy * dy;
            if (sum <= 65536) continue;
            double len = std::sqrt((double)sum);
            for (int k = 0; k < 4; k++) {
                long v = std::lround(q[k] * 256.0 / len);
                q[k] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }

    // A byte held through a reset stays unseen until it is released.
    for (int e = 0; e < BUTTON_BANK_BYTES; e++) {
        if (!b->latch[e]) continue;
        if (!b->cur[0][e] && !b->cur[1][e] && !b->cur[2][e]) b->latch[e] = 0;
        else b->cur[0][e] = b->cur[1][e] = b->cur[2][e] = 0;
    }
    for (int e = 0; e < BUTTON_BANK_BYTES; e++)
        if (b->cur[2][e] > BUTTON_ACTIVE_ABOVE) return 1;
    return 0;
}

void clear_button_banks(button_banks* b) {
    std::memset(b->prev, 0, sizeof b->prev);
    std::memset(b->cur, 0, sizeof b->cur);
    std::memset(b->repeat[0], 0, sizeof b->repeat[0]);
    std::memset(b->latch, 1, sizeof b->latch);
}

void os_reset_buttons(Process* p) {
    if (!p) return;
    std::memset(p->buttons.cur, 0, sizeof p->buttons.cur);
    std::memset(p->buttons.latch, 1, sizeof p->buttons.latch);
}

// --- the calls ---------------------------------------------------------------------------

namespace {

struct button_args {
    int64_t b, pl;
    int bank;  // 0..2
};

button_args read_button_args(lua_State* L) {
    button_args a;
    a.b = hvx_intp(L, 1, -1);
    a.pl = hvx_intp(L, 2, 0);
    int bank = (int)(hvx_intp(L, 3, 3) & 3);
    a.bank = (bank == 0 ? 1 : bank) - 1;
    return a;
}

bool single_button(const button_args& a) {
    return a.b >= 0 && a.b < BUTTONS_PER_PLAYER && a.pl >= 0 && a.pl < BUTTON_PLAYERS;
}

// Buttons 0..7 of every player as bits pl x 8 + n.
template <typename Pred>
int64_t button_mask(Pred pred) {
    uint64_t mask = 0;
    for (int pl = 0; pl < BUTTON_PLAYERS; pl++)
        for (int n = 0; n < 8; n++)
            if (pred(pl * BUTTONS_PER_PLAYER + n)) mask |= 1ull << (pl * 8 + n);
    return (int64_t)mask;
}

int32_t repeat_setting(uint8_t v, int32_t def) { return v == 0 ? def : v == BTNP_NEVER ? -1 : v; }

// The calling process's banks for btn and btnp; none (false pushed) without one.
const button_banks* banks_for_call(lua_State* L, button_args* a) {
    *a = read_button_args(L);
    if (cproc) return &cproc->buttons;
    lua_pushboolean(L, 0);
    return nullptr;
}

}  // namespace

int lua54_btn(lua_State* L) {
    button_args a;
    const button_banks* b = banks_for_call(L, &a);
    if (!b) return 1;
    const uint8_t* bank = b->cur[a.bank];
    if (a.b == -1) {
        lua_pushinteger(L, button_mask([&](int e) { return bank[e] != 0; }));
    } else if (single_button(a) && bank[a.pl * BUTTONS_PER_PLAYER + a.b]) {
        lua_pushinteger(L, bank[a.pl * BUTTONS_PER_PLAYER + a.b]);
    } else {
        lua_pushboolean(L, 0);
    }
    return 1;
}

int lua54_btnp(lua_State* L) {
    button_args a;
    const button_banks* b = banks_for_call(L, &a);
    if (!b) return 1;
    Process* p = cproc;
    const uint8_t* now = b->cur[a.bank];
    const uint8_t* before = b->prev[a.bank];
    auto down = [](uint8_t v) { return v > BUTTON_DOWN_ABOVE; };
    if (a.b == -1) {
        lua_pushinteger(L, button_mask([&](int e) { return down(now[e]) && !down(before[e]); }));
        return 1;
    }
    bool fire = false;
    if (single_button(a)) {
        int e = (int)(a.pl * BUTTONS_PER_PLAYER + a.b);
        int32_t& counter = p->buttons.repeat[a.bank][e];
        if (down(now[e]) && !down(before[e])) {
            counter = repeat_setting(hvx_peek8(p, ADDR_BTNP_DELAY), BTNP_DELAY_DEFAULT);
            fire = true;
        } else if (down(now[e]) && counter > 0 && --counter == 0) {
            counter = repeat_setting(hvx_peek8(p, ADDR_BTNP_PERIOD), BTNP_PERIOD_DEFAULT);
            fire = true;
        }
    }
    lua_pushboolean(L, fire);
    return 1;
}

int lua54_update_buttons(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    if (!lua_toboolean(L, 1)) {
        clear_button_banks(&p->buttons);
        return 0;
    }
    uint8_t bank1[BUTTON_BANK_BYTES] = {}, bank2[BUTTON_BANK_BYTES], mirror[BUTTON_BANK_BYTES];
    for (int pl = 0; pl < BUTTON_PLAYERS; pl++) os_get_button_states(pl, bank1 + pl * BUTTONS_PER_PLAYER);
    key_bank_from_controls(config.key_controls, os_key_state, bank2);
    int active = refresh_button_banks(&p->buttons, bank1, bank2, mirror);
    hvx_write_run(p, ADDR_BUTTONS, mirror, BUTTON_BANK_BYTES);
    platform_app.button_word = active;
    if (active) platform_app.last_input_time = os_ticks();
    return 0;
}

int lua54_apply_key_controls(lua_State* L) {
    if (!lua_istable(L, 1)) {
        if (first_refusal(cproc, LIMIT_LOGGED_KEY_CONTROLS_ARG))
            puts("** lua54__apply_key_controls failed; not a table");
        return 0;
    }
    std::memset(config.key_controls, 0, sizeof config.key_controls);
    lua_pushnil(L);
    while (lua_next(L, 1)) {
        spend_cpu(LANG_NEXT_ENTRY_COST);
        int key_ok = 0, value_ok = 0;
        if (lua_type(L, -2) == LUA_TNUMBER) {
            lua_Integer k = lua_tointegerx(L, -2, &key_ok);
            lua_Integer v = lua_tointegerx(L, -1, &value_ok);
            // A scancode outside the key table (or -1, any key) is ignored.
            if (key_ok && value_ok && (uint64_t)k < KEY_CONTROLS && v >= -1 && v < KEY_STATES)
                config.key_controls[k] = (int32_t)v;
        }
        lua_pop(L, 1);
    }
    return 0;
}

int lua54_warp_mouse(lua_State* L) {
    os_warp_mouse_pointer(hvx_intp(L, 1, 0), hvx_intp(L, 2, 0));
    return 0;
}
