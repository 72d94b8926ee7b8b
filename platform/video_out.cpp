// The compositor: turns the window manager's display memory (or the boot
// screen) into one 480x270 RGB frame, and copies display memory between
// processes for the window manager. Nothing here writes process memory, and
// nothing here creates pages: unbacked memory reads as black.
#include <cstring>

#include "gfx/gfx.h"
#include "platform/platform.h"
#include "core/core.h"
#include "userdata/userdata.h"

uint32_t display_pal[256];
uint32_t display_line_sel[HVX_DISPLAY_H];
uint32_t back_page[HVX_DISPLAY_PIXELS];
int32_t video_mode;

// A byte of the draw state without creating a page: what the ordinary
// accessors would read, or 0 where no storage exists yet.
static uint8_t read_byte(const Process* p, uint32_t addr) {
    addr &= HVX_ADDR_MASK;
    uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    if ((int32_t)o < p->page_len[pg]) return p->page_ptr[pg][o];
    return p->backing_page[pg] ? p->backing_page[pg][o] : 0;
}

static uint32_t read_word(const Process* p, uint32_t addr) {
    return (uint32_t)read_byte(p, addr) | (uint32_t)read_byte(p, addr + 1) << 8 |
           (uint32_t)read_byte(p, addr + 2) << 16 | (uint32_t)read_byte(p, addr + 3) << 24;
}

// Bytes at addr that the page tables serve directly, at most want; *run is
// how many bytes up to the page end (or want) this stretch covers. The
// served bytes come first; the rest of the stretch has no storage.
static const uint8_t* page_stretch(const Process* p, uint32_t addr, int64_t want, int64_t* run,
                                   int64_t* served) {
    addr &= HVX_ADDR_MASK;
    uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    int64_t r = HVX_PAGE_SIZE - (int64_t)o;
    if (r > want) r = want;
    int64_t s = (int64_t)p->page_len[pg] - (int64_t)o;
    if (s < 0 || !p->page_ptr[pg]) s = 0;
    if (s > r) s = r;
    *run = r;
    *served = s;
    return s ? p->page_ptr[pg] + o : nullptr;
}

// One palette lookup a byte, four bytes a load.
static inline void lookup_run(uint32_t* __restrict out, const uint8_t* __restrict in, int64_t n,
                              const uint32_t* __restrict pal) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t v;
        std::memcpy(&v, in + i, 4);
        out[i] = pal[v & 63];
        out[i + 1] = pal[(v >> 8) & 63];
        out[i + 2] = pal[(v >> 16) & 63];
        out[i + 3] = pal[v >> 24 & 63];
    }
    for (; i < n; i++) out[i] = pal[in[i] & 63];
}

static void widen(int k) {
    for (int y = HVX_DISPLAY_H - 1; y >= 0; y--) {
        const uint32_t* src = back_page + (y / k) * HVX_DISPLAY_W;
        uint32_t* dst = back_page + y * HVX_DISPLAY_W;
        // Backwards, so a row that is its own source (y = 0) stays correct.
        for (int x = HVX_DISPLAY_W - 1; x >= 0; x--) dst[x] = src[x / k];
        display_line_sel[y] = display_line_sel[y / k];
    }
}

// What the last composition read: back_page's row y is the lookup of row y
// of kept_bytes while row_kept[y], the row's palette unchanged. Rows whose
// bytes are unchanged keep their pixels, so an idle display costs a compare
// and not a palette lookup a pixel.
static uint8_t kept_bytes[HVX_DISPLAY_PIXELS];
static bool row_kept[HVX_DISPLAY_H];
// Whether the last composition may have changed a pixel of back_page.
static bool frame_changed = true;

void forget_composed_rows() { std::memset(row_kept, 0, sizeof row_kept); }
bool composed_frame_changed() { return frame_changed; }

uint32_t* compose_process_video(Process* src) {
    if (!src) return nullptr;
    if (read_byte(src, ADDR_FLAG_BYTE) & FLAG_NO_NEW_FRAME) return nullptr;

    bool palette_same = true;
    for (int i = 0; i < 256; i++) {
        uint32_t slot = (uint32_t)(i & 0xC0) + (read_byte(src, ADDR_REMAP + (i & 63)) & 63);
        uint32_t w = read_word(src, ADDR_PALETTE + 4 * slot);
        if (platform_app.reboot_request) w = (w >> 1) & 0x7F7F7F7F;
        palette_same &= display_pal[i] == w;
        display_pal[i] = w;
    }
    for (int y = 0; y < HVX_DISPLAY_H; y++) {
        const uint32_t sel = (read_byte(src, ADDR_LINE_SEL + y / 4) >> ((y % 4) * 2)) & 3;
        if (!palette_same || sel != display_line_sel[y]) row_kept[y] = false;
        display_line_sel[y] = sel;
    }

    bool changed = false;
    for (int y = 0; y < HVX_DISPLAY_H; y++) {
        const uint32_t* pal = display_pal + display_line_sel[y] * 64;
        uint32_t* out = back_page + y * HVX_DISPLAY_W;
        uint8_t* kept = kept_bytes + y * HVX_DISPLAY_W;
        const bool keep = row_kept[y];
        bool all_served = true;
        uint32_t addr = ADDR_DISPLAY + (uint32_t)(y * HVX_DISPLAY_W);
        int64_t left = HVX_DISPLAY_W;
        while (left > 0) {
            int64_t run, served;
            const uint8_t* in = page_stretch(src, addr, left, &run, &served);
            if (served && !(keep && served == run && std::memcmp(in, kept, (size_t)run) == 0)) {
                lookup_run(out, in, served, pal);
                std::memcpy(kept, in, (size_t)served);
                changed = true;
            }
            for (int64_t i = served; i < run; i++) {
                changed |= out[i] != 0;
                out[i] = 0;
            }
            all_served &= served == run;
            out += run;
            kept += run;
            addr += (uint32_t)run;
            left -= run;
        }
        row_kept[y] = all_served;
    }

    update_gif_recording(display_pal, display_line_sel, back_page);
    update_screenshot(back_page);

    video_mode = read_byte(src, ADDR_VIDEO_MODE);
    if (video_mode == 3 || video_mode == 4) {
        widen(video_mode - 1);
        forget_composed_rows();  // the rows now hold the widened picture
        changed = true;
    }
    frame_changed = changed;
    return back_page;
}

uint32_t* generate_video_out(int* width, int* height) {
    Process* wm = get_process(WM_PROCESS_ID);
    Process* src;
    if (!wm) {
        if (config.display_pid > WM_PROCESS_ID) return nullptr;
        src = draw_boot();
    } else if (config.display_pid > WM_PROCESS_ID) {
        platform_app.boot_done = 1;
        platform_app.boot_screen_off = 1;
        src = wm;
    } else if (boot_get_time() < BOOT_WAIT_MS) {
        src = draw_boot();
    } else {
        if (!platform_app.boot_done) {
            krio_debug("@@ finished_boot_sequence\n");
            platform_app.boot_done = 1;
        }
        src = platform_app.boot_screen_off ? wm : draw_boot();
    }
    uint32_t* out = compose_process_video(src);
    if (!out) return nullptr;
    *width = HVX_DISPLAY_W;
    *height = HVX_DISPLAY_H;
    return out;
}

void alpha_bits_memcpy(uint8_t* dst, const uint8_t* src, size_t n, uint8_t mask) {
    const uint64_t m8 = 0x0101010101010101ull * mask;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v;
        std::memcpy(&v, src + i, 8);
        if (!(v & m8)) continue;  // nothing in this group is drawn
        for (size_t j = 0; j < 8; j++)
            if (src[i + j] & mask) dst[i + j] = src[i + j];
    }
    for (; i < n; i++)
        if (src[i] & mask) dst[i] = src[i];
}

int32_t blit_from_ram(Process* src, uint32_t src_addr, uint8_t* dst_block, int64_t sx, int64_t sy,
                      int64_t dx, int64_t dy, int64_t w, int64_t h, uint8_t mask) {
    if (!src || !dst_block) return 0;
    const int64_t dw = ud_width(dst_block), dh = ud_height(dst_block);
    const int64_t stride = (int16_t)(read_byte(src, ADDR_DISPLAY_W) | read_byte(src, ADDR_DISPLAY_W + 1) << 8);

    // The caller's clip box, never reaching outside the destination.
    int64_t x0 = 0, x1 = dw, y0 = 0, y1 = dh;
    if (cproc) {
        x0 = cproc->clip_box[0], x1 = cproc->clip_box[1];
        y0 = cproc->clip_box[2], y1 = cproc->clip_box[3];
    }
    if (x0 < 0) x0 = 0;
    if (y0 < 0) y0 = 0;
    if (x1 > dw) x1 = dw;
    if (y1 > dh) y1 = dh;

    // Arguments are any 64-bit values: clip in 128 bits so nothing overflows.
    __int128 SX = sx, SY = sy, DX = dx, DY = dy, W = w, H = h;
    if (x0 > DX) SX += x0 - DX, W -= x0 - DX, DX = x0;
    if (y0 > DY) SY += y0 - DY, H -= y0 - DY, DY = y0;
    if (W > x1 - DX) W = x1 - DX;
    if (H > y1 - DY) H = y1 - DY;
    if (W < 1 || H < 1) return 0;  // (w x h) / 4 is never negative

    const int64_t cw = (int64_t)W, ch = (int64_t)H, cdx = (int64_t)DX, cdy = (int64_t)DY;
    const int32_t r = (int32_t)((cw * ch) / 4);
    uint8_t* data = ud_data(dst_block);
    // Source addresses wrap at 16 MB as in the single-value accessors.
    const __int128 a0 = SY * stride + (__int128)src_addr + SX;
    for (int64_t j = 0; j < ch; j++) {
        uint32_t a = (uint32_t)((uint64_t)(a0 + (__int128)j * stride) & HVX_ADDR_MASK);
        uint8_t* out = data + (cdy + j) * dw + cdx;
        int64_t left = cw;
        while (left > 0) {
            int64_t run, served;
            const uint8_t* in = page_stretch(src, a, left, &run, &served);
            if (served) {
                if (mask) alpha_bits_memcpy(out, in, (size_t)served, mask);
                else std::memcpy(out, in, (size_t)served);
            }
            if (run > served) std::memset(out + served, BLIT_UNMAPPED_COLOUR, (size_t)(run - served));
            out += run;
            a = (a + (uint32_t)run) & HVX_ADDR_MASK;
            left -= run;
        }
    }
    return r;
}
