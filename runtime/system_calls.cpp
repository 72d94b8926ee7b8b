// System control calls needed by a kernel: debug output and the signals that
// end, reboot, leave the boot screen and guard atomic operations.
#include <cstdio>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "runtime/runtime.h"

int lua54_printh(lua_State* L) {
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    size_t n = 0;
    const char* s = lua_tolstring(L, 1, &n);
    // One host log line, written raw to standard output.
    fwrite(s, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return 0;
}

int lua54_signal(lua_State* L) {
    switch (hvx_intp(L, 1, 0)) {
    case SIGNAL_AUDIO_CAPTURE:
        if (app.audio_capture) audio_capture_end();
        else audio_capture_start();
        break;
    case SIGNAL_GIF_START:
        if (gif_start() == 0) {
            app.gif_frames = 0;
            app.gif_recording = 1;
        }
        break;
    case SIGNAL_GIF_END:
        if (app.gif_recording) {
            gif_end();
            app.gif_recording = 0;
        }
        break;
    case SIGNAL_SCREENSHOT:
        request_screenshot();
        app.screenshot_pending = 1;
        break;
    case SIGNAL_EXIT: app.exit_request = 1; break;
    case SIGNAL_REBOOT: app.reboot_request = 1; break;
    case SIGNAL_BOOT_SCREEN_OFF: app.boot_screen_off = 1; break;
    case SIGNAL_ATOMIC_BEGIN:
        if (cproc) app.atomic_pid = cproc->id;
        break;
    case SIGNAL_ATOMIC_END: app.atomic_pid = 0; break;
    default: break;  // the other signals come with their subsystems
    }
    return 0;
}
