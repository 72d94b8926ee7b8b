// The boot screen: a private process that is never scheduled, whose display
// memory the compositor shows while the system starts.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gfx/gfx.h"
#include "platform/platform.h"
#include "core/core.h"
#include "userdata/userdata.h"

static_assert(BOOT_BACK_BYTES == UD_HEADER_SIZE + HVX_DISPLAY_PIXELS);

const uint32_t boot_palette[64] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x2463B0, 0x00A5A1, 0x654688, 0x125359, 0x703233, 0x432932, 0xA28879, 0xFFACC5,
    0xB9003E, 0xE26B13, 0x95F04B, 0x00B251, 0x64DFF6, 0xBD9ADF, 0xE40DAB, 0xF49671,
};

static Process boot_proc;
static uint8_t* boot_back;
static int32_t boot_start_t;
// A clock started at frame 0 has boot_start 0 too: the flag tells it apart
// from one not started. A reboot clears both.
static bool boot_clock_started;

uint8_t* boot_back_block() { return boot_back; }

void boot_init() {
    boot_start_t = -1;
    boot_clock_started = false;
}

// Starts the clock unless it runs; true when it was already running.
static bool boot_clock_running() {
    if (boot_clock_started || platform_app.boot_start != 0) return true;
    boot_clock_started = true;
    platform_app.boot_start = platform_app.frame_count;
    return false;
}

int64_t boot_get_time() {
    if (!boot_clock_running()) return 0;
    return (int64_t)((double)(platform_app.frame_count - platform_app.boot_start) * BOOT_MS_PER_FRAME);
}

static void init_boot() {
    boot_back = (uint8_t*)std::calloc(1, BOOT_BACK_BYTES);
    if (!boot_back) {
        krio_debug("** out of host memory for the boot screen **\n");
        std::abort();
    }
    ud_write_header(boot_back, UTYPE_U8, 2, HVX_DISPLAY_W, HVX_DISPLAY_H);
    init_host_drawer(&boot_proc, ud_data(boot_back), HVX_DISPLAY_PIXELS, boot_palette);
}

double boot_ease(double v) {
    if (v < 0) return 0;
    if (v < 0.5) return 2 * v * v;
    if (v == 0.5) return v;
    if (v < 1) return 1 - 2 * (1 - v) * (1 - v);
    return 1;
}

void cline(uint8_t* block, int x0, int y0, int x1, int y1, int k) {
    if (!block) return;
    int64_t n = std::llabs((int64_t)x1 - x0), ny = std::llabs((int64_t)y1 - y0);
    if (ny > n) n = ny;
    if (n == 0) return;
    const int64_t bw = ud_width(block), bh = ud_height(block);
    uint8_t* data = ud_data(block);
    const int64_t stepx = ((int64_t)(x1 - x0) * 65536) / n, stepy = ((int64_t)(y1 - y0) * 65536) / n;
    int64_t fx = (int64_t)x0 * 65536, fy = (int64_t)y0 * 65536;
    for (int64_t i = 0; i < n; i++, fx += stepx, fy += stepy) {
        int64_t x = fx >> 16, y = fy >> 16;
        if (x < 0 || y < 0 || x >= bw || y >= bh) continue;
        int64_t band = (x >> 5) + (y >> 5) + (i % 3) + k;
        data[y * bw + x] = (uint8_t)(platform_app.signal35_flag ? band % 3 + 28 : band % 12 + 8);
    }
}

// Part of one segment, from fraction f0 to f1 of it.
static void segment(uint8_t* block, int xa, int ya, int xb, int yb, double f0, double f1, int k) {
    cline(block, (int)(xa + f0 * (xb - xa)), (int)(ya + f0 * (yb - ya)), (int)(xa + f1 * (xb - xa)),
          (int)(ya + f1 * (yb - ya)), k);
}

void draw_path(int x0, int y0, int x1, int y1, int x2, int y2, double a, double b, int k, uint8_t* block) {
    if (a < 0.5) {
        segment(block, x0, y0, x1, y1, 2 * a, b * 2 < 1 ? b * 2 : 1, k);
        if (b > 0.5) segment(block, x1, y1, x2, y2, 0, 2 * (b - 0.5), k);
    } else if (b > 0.5) {
        segment(block, x1, y1, x2, y2, 2 * (a - 0.5), 2 * (b - 0.5), k);
    }
}

static void set_cursor(int x, int y) {
    hvx_poke32(&boot_proc, ADDR_PRINT_X, (uint32_t)x);
    hvx_poke32(&boot_proc, ADDR_PRINT_HOME_X, (uint32_t)x);
    hvx_poke32(&boot_proc, ADDR_PRINT_Y, (uint32_t)y);
}

static void print_line(const char* text, int colour) {
    print_qzscii(boot_back, text, (int)std::strlen(text), 0, colour);
}

Process* draw_boot() {
    Process* prev = cproc;
    cproc = &boot_proc;
    if (!boot_back) init_boot();
    boot_proc.clip_box[0] = 0;
    boot_proc.clip_box[1] = HVX_DISPLAY_W;
    boot_proc.clip_box[2] = 0;
    boot_proc.clip_box[3] = HVX_DISPLAY_H;
    get_masks_shape();
    uint8_t* px = ud_data(boot_back);
    char text[128];

    Process* kernel = get_process(1);
    uint8_t err = kernel ? peek_proc(kernel, 0) : 0;
    if (err) {
        set_cursor(35, 200);
        std::memset(px, 1, HVX_DISPLAY_PIXELS);
        std::snprintf(text, sizeof text, "** system error %d **\n", err);
        print_line(text, 14);
        cproc = prev;
        return &boot_proc;
    }

    // In floating point: the easing and the thresholds need fractions.
    double p = 2.0 * (double)boot_get_time() / 1000.0 - 1.0;
    std::memset(px, 0, HVX_DISPLAY_PIXELS);

    double a = boot_ease(p - 0.5), b = boot_ease(p);
    if (a < 1 && b > 0) {
        for (int k = 0; k < 3; k++) {
            int i = 3 * k;
            int r = HVX_DISPLAY_W - 1 - i, btm = HVX_DISPLAY_H - 1 - i;
            draw_path(i, i, r, i, r, btm, a, b, k, boot_back);
            draw_path(i, i, i, btm, r, btm, a, b, k + 5, boot_back);
        }
    }

    set_cursor(35, 200);
    std::snprintf(text, sizeof text, BOOT_VERSION_TEXT, HVX_VERSION);
    if (p >= 0.7) print_line(text, 7);
    if (p > 1.0) print_line(BOOT_SECOND_LINE, 6);

    const char* status = "booting..\n";
    if (platform_app.boot_done && !platform_app.boot_screen_off) status = "booting...\n";
    uint64_t now = os_get_time();
    if (now > 4000) status = "booting....\n";
    if (now > 7000) status = "booting.....\n";
    std::snprintf(text, sizeof text, "%s", status);
    for (int64_t id = 1; id <= 3; id++) {
        Process* q = get_process(id);
        if (q && q->state != PROC_RUNNING)
            std::snprintf(text, sizeof text, "[* system error %d:%lld **]\n", (int)id, (long long)q->clock);
    }
    if (p >= 1.2) print_line(text, 14);

    cproc = prev;
    return &boot_proc;
}
