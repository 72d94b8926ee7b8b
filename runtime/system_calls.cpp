// System control calls: numbered system signals, debug output, the clipboard
// text kept inside the workstation, the host window's title and icon, and the
// settings the desktop applies.
#include <cstdio>
#include <cstring>
#include <string>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "userdata/userdata.h"

int lua54_printh(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    size_t n = 0;
    const char* s = lua_tolstring(L, 1, &n);
    // One host log line, written raw to standard output.
    fwrite(s, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return 0;
}

// ---------------------------------------------------------------------------
// Signals
// ---------------------------------------------------------------------------

static int32_t next_audio_priority = 1;  // the latest asker wins; never reset

static void mount_desktop() {
    spend_cpu(SIGNAL_MOUNT_DESKTOP_HOST_OPS * HOST_FOLDER_OP_COST);
    char folder[HVX_PATH_MAX];
    if (krio_prefix_with_desktop_path(DESKTOP_HOST_FOLDER, folder, sizeof folder) && krio_mkdir(folder)) {
        // A mount standing at the point serves before any later one: another
        // would never be reached and only lengthen the table every path walks.
        if (!get_mount_by_mount_point(DESKTOP_MOUNT_POINT, 0)) mount_host_path(DESKTOP_MOUNT_POINT, folder);
    } else {
        notify(DESKTOP_MOUNT_FAILED_TEXT);
    }
}

int lua54_signal(lua_State* L) {
    Process* p = cproc;
    switch (hvx_intp(L, 1, 0)) {
    case SIGNAL_AUDIO_PRIORITY:
        if (p) p->audio_priority = next_audio_priority < INT32_MAX ? next_audio_priority++ : INT32_MAX;
        break;
    case SIGNAL_AUDIO_CAPTURE:
        // Both swap the buffer under the audio lock themselves; the file is
        // written after it is released.
        spend_cpu(SIGNAL_AUDIO_CAPTURE_CYCLES);
        if (!gfx_app.audio_capture) audio_capture_start();
        else audio_capture_end();
        break;
    case SIGNAL_GIF_START:
        if (gif_start() == 0) {
            gfx_app.gif_frames = 0;
            gfx_app.gif_recording = 1;
        }
        break;
    case SIGNAL_GIF_END:
        if (gfx_app.gif_recording) {
            gif_end();
            gfx_app.gif_recording = 0;
        }
        break;
    case SIGNAL_SCREENSHOT:
        if (request_screenshot() == 0) gfx_app.screenshot_pending = 1;
        break;
    case SIGNAL_USER_ACTIVITY: platform_app.last_input_time = os_get_time(); break;
    case SIGNAL_RESET_BUTTONS: os_reset_buttons(p); break;
    case SIGNAL_EXIT: platform_app.exit_request = 1; break;
    case SIGNAL_REBOOT: platform_app.reboot_request = 1; break;
    case SIGNAL_FLAG_35: platform_app.signal35_flag = 1; break;
    case SIGNAL_FLAG_36: runtime_app.signal36_flag = 1; break;
    case SIGNAL_BOOT_SCREEN_OFF: platform_app.boot_screen_off = 1; break;
    case SIGNAL_HEAP_BASELINE:
        hvx_full_collection(L);
        // Taken once: later signals keep the first baseline.
        if (p && p->heap_base == 0) p->heap_base = p->heap_bytes;
        break;
    case SIGNAL_FLUSH_AND_DROP_MOUNTS:
        flush_dirty_mounts_immediately();
        delete_clean_ram_mounts();
        break;
    case SIGNAL_ATOMIC_BEGIN:
        // Only a running holder can end it again (a finalizer of a process
        // being removed is not one).
        if (p && p->state == PROC_RUNNING && !p->closing) app.atomic_pid = p->id;
        break;
    case SIGNAL_ATOMIC_END: app.atomic_pid = 0; break;
    case SIGNAL_BOOST_ON:
        if (p) p->boosted = 1;
        break;
    case SIGNAL_BOOST_OFF:
        if (p) p->boosted = 0;
        break;
    case SIGNAL_MOUNT_HOLD:
        // 0 means no hold, so a hold asked for in the very first millisecond counts as 1.
        if (p) p->mount_hold = os_get_time() ? (int64_t)os_get_time() : 1;
        break;
    case SIGNAL_MOUNT_RELEASE:
        if (p) p->mount_hold = 0;
        break;
    case SIGNAL_FLUSH_MOUNTS: flush_dirty_mounts_immediately(); break;
    case SIGNAL_MOUNT_DESKTOP: mount_desktop(); break;
    case SIGNAL_SYSTEM_PALETTE:
        // The caller's 64 colours, four times over.
        for (uint32_t i = 0; i < 256; i++) default_system_pal[i] = peek4_proc(p, ADDR_PALETTE + (i & 63) * 4);
        break;
    default: break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Clipboard text, window title and icon, settings
// ---------------------------------------------------------------------------

// Kept with its length for the whole run, across reboots.
static std::string userland_clipboard;

int lua54_set_userland_clipboard_text(lua_State* L) {
    std::string text;
    if (!hvx_text_arg(L, 1, &text)) return 0;
    userland_clipboard.swap(text);
    return 0;
}

int lua54_get_userland_clipboard_text(lua_State* L) {
    lua_pushlstring(L, userland_clipboard.data(), userland_clipboard.size());
    return 1;
}

int lua54_set_host_window_title(lua_State* L) {
    if (!hvx_is_text(L, 1)) return 0;
    os_set_window_title(lua_tostring(L, 1));
    return 0;
}

int lua54_set_host_window_icon(lua_State* L) {
    int t = lua_type(L, 1);
    if (t == LUA_TLIGHTUSERDATA) return 0;  // a userdata, but never read
    if (t != LUA_TUSERDATA) {
        os_set_window_icon(nullptr, 0, 0, nullptr);  // the default icon
        return 0;
    }
    const uint8_t* block = to_typed_userdata(L, 1);
    if (!block || ud_type(block) != UTYPE_U8 || ud_width(block) != WINDOW_ICON_SOURCE_SIDE ||
        ud_height(block) != WINDOW_ICON_SOURCE_SIDE)
        return 0;
    os_set_window_icon(ud_data(block), WINDOW_ICON_SOURCE_SIDE, WINDOW_ICON_SOURCE_SIDE, default_system_pal);
    return 0;
}

int lua54_apply_system_settings(lua_State* L) {
    if (lua_type(L, 1) != LUA_TTABLE) {
        if (first_refusal(cproc, LIMIT_LOGGED_SETTINGS_ARG)) {
            puts(APPLY_SETTINGS_FAILED_TEXT);
            fflush(stdout);
        }
        return 0;
    }
    lua_pushnil(L);
    while (lua_next(L, 1)) {
        spend_cpu(SETTINGS_ENTRY_COST);
        // Only real string keys: converting a number key in place would
        // break the traversal.
        if (lua_type(L, -2) == LUA_TSTRING) {
            int32_t v = 0;
            if (lua_type(L, -1) == LUA_TBOOLEAN) {
                v = lua_toboolean(L, -1);
            } else if (lua_type(L, -1) == LUA_TNUMBER) {
                int isint = 0;
                lua_Integer i = lua_tointegerx(L, -1, &isint);
                v = !isint ? 0 : hvx_sat32(i);
            }
            size_t n = 0;
            const char* name = lua_tolstring(L, -2, &n);
            const size_t read = std::strlen(name);  // a long key is read to its first NUL
            hvx_charge_text_copy(read);
            if (read == n) halvoran_apply_setting(name, v);  // no name holds a NUL
        }
        lua_pop(L, 1);
    }
    halvoran_apply_settings();
    return 0;
}
