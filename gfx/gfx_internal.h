// Rasteriser internals shared by the drawing routines of this folder: the
// clip box as the routines see it, costs, and the two pixel rules bound to
// one drawing call.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>

#include "gfx/gfx.h"
#include "core/core.h"
#include "lang/lang.h"
#include "userdata/userdata.h"

namespace gfx {

// Charges a cost computed in 64 bits: a total past the 32-bit range is
// charged as the largest amount rather than wrapping to a negative one.
inline int32_t spend(int64_t cost) { return spend_cpu(ud_cost(cost)); }

// The clip box of the running process, kept inside the bitmap as well.
struct box {
    int64_t left, right, top, bottom;
};

inline box clip_for(const Process* p, const uint8_t* bitmap) {
    box b{p->clip_box[0], p->clip_box[1], p->clip_box[2], p->clip_box[3]};
    const int64_t w = ud_width(bitmap), h = ud_height(bitmap);
    if (b.left < 0) b.left = 0;
    if (b.top < 0) b.top = 0;
    if (b.right > w) b.right = w;
    if (b.bottom > h) b.bottom = h;
    return b;
}

// The storage of a page of the running process that serves all 4096 bytes
// at once, or none (a page mapped onto a shorter userdata is read byte by
// byte through the address space).
inline const uint8_t* whole_page(Process* p, uint32_t addr) {
    const uint32_t pg = addr >> HVX_PAGE_SHIFT;
    return p->page_len[pg] == HVX_PAGE_SIZE ? p->page_ptr[pg] : nullptr;
}

// The draw state and colour tables of one drawing call. Pattern rows and
// table entries are read at every pixel, as the rule reads them, so a table
// or the draw state mapped over the bitmap being drawn sees the pixels
// already written.
struct pixel_rule {
    Process* proc;
    const uint8_t* state;      // page 0x5000, or none
    const uint8_t* tables[4];  // pages 0x8000-0xB000, or none
    uint32_t wm, keep, tm;

    void load(Process* p, uint32_t target) {
        proc = p;
        state = whole_page(p, ADDR_DRAW_STATE);
        for (uint32_t k = 0; k < 4; k++) tables[k] = whole_page(p, ADDR_COLTABS + k * COLTAB_PAGE_BYTES);
        wm = write_mask & 0xFF;
        keep = ~wm & 0xFF;
        tm = target & 0xFF;
    }
    uint32_t pattern_bit(int64_t x, int64_t y) const {
        const uint32_t row = state ? state[0x500 + (y & 7)] : hvx_peek8(proc, ADDR_FILL_PATTERN + (uint32_t)(y & 7));
        return (row >> (x & 7)) & 1;
    }
    uint32_t entry(uint32_t pg, uint32_t s, uint32_t d) const {
        const uint32_t i = (s & 63) * 64 + (d & 63);
        return tables[pg] ? tables[pg][i] : hvx_peek8(proc, ADDR_COLTABS + pg * COLTAB_PAGE_BYTES + i);
    }
};

// The shape rule for one colour word, with the masks as loaded.
struct shape_pen : pixel_rule {
    uint32_t lo, hi;  // source colours for pattern bits 0 and 1

    void load(Process* p, int colour) {
        pixel_rule::load(p, target_mask);
        lo = (uint32_t)colour & read_mask & 0xFF;
        hi = ((uint32_t)colour >> 8) & read_mask & 0xFF;
    }
    void plot(uint8_t* px, int64_t x, int64_t y) const {
        const uint32_t s = pattern_bit(x, y) ? hi : lo;
        const uint32_t P = *px, d = P & tm;
        *px = (uint8_t)((P & keep) | (entry(((s | d) >> 6) & 3, s, d) & wm));
    }
    // The draw state and all four tables are served whole.
    bool direct() const { return state && tables[0] && tables[1] && tables[2] && tables[3]; }
    // plot when direct(): the same rule without the fallbacks.
    void plot_direct(uint8_t* px, int64_t x, int64_t y) const {
        const uint32_t s = ((state[0x500 + (y & 7)] >> (x & 7)) & 1) ? hi : lo;
        const uint32_t P = *px, d = P & tm;
        *px = (uint8_t)((P & keep) | (tables[((s | d) >> 6) & 3][(s & 63) * 64 + (d & 63)] & wm));
    }
};

// The sprite rule: the source is a pixel, and a pattern bit moves pages 0
// and 1 to pages 2 and 3 (an OR, so 2 and 3 stay).
struct sprite_pen : pixel_rule {
    uint32_t rm;

    void load(Process* p) {
        pixel_rule::load(p, target_mask);
        rm = read_mask & 0xFF;
    }
    void plot(uint8_t* px, uint32_t source, int64_t x, int64_t y) const {
        const uint32_t s = source & rm, P = *px, d = P & tm;
        const uint32_t pg = (((s | d) >> 6) | (pattern_bit(x, y) ? 2u : 0u)) & 3;
        *px = (uint8_t)((P & keep) | (entry(pg, s, d) & wm));
    }
};

// The span routines with 64-bit coordinates (draw_hline and
// draw_hline_inv are these).
int32_t hline64(uint8_t* bitmap, int64_t x0, int64_t x1, int64_t y, int colour);
int32_t hline_inv64(uint8_t* bitmap, int64_t x0, int64_t x1, int64_t y, int colour);

// A 16.16 walk from the centre of pixel (xs, ys) towards (xe, ye), ys <= ye,
// its steps clipped to the box once, before the first pixel. Coordinates
// stay within +-2^42.
struct walk {
    int64_t X, Y;    // 16.16 position of step `first`
    int64_t sx, sy;  // per step
    int64_t n;       // steps of the whole line
    int64_t first, last;
    int64_t count() const { return last - first + 1; }
};
// False when the walk leaves the box untouched; otherwise w is set, and its
// count may still be 0 or less. drop_last ends it one step early.
bool clip_walk(const box& b, int64_t xs, int64_t ys, int64_t xe, int64_t ye, bool drop_last, walk& w);

// Helpers of the graphics calls. Coordinates and sizes are taken on their
// low 32 bits; the camera is subtracted in 64 bits and the result taken on
// its low 32 bits again.
inline int32_t coord(lua_State* L, int i, int64_t def = 0) { return (int32_t)hvx_intp(L, i, def); }
inline int64_t cam_x() { return peek4(ADDR_CAMERA_X); }
inline int64_t cam_y() { return peek4(ADDR_CAMERA_Y); }
inline int32_t cam(int64_t v, int64_t camera) { return (int32_t)((int64_t)(int32_t)v - camera); }
inline int16_t colour_word() { return (int16_t)peek2(ADDR_COLOUR_WORD); }
// The running process when it has a draw target, its clip box refreshed.
inline Process* drawing() {
    Process* p = cproc;
    if (!p || !p->draw_target) return nullptr;
    refresh_clip_box(p);
    return p;
}

// Row y (0..b) of the tracer's walk round the quarter ellipse with
// half-axes a and b (1..SHAPE_SIZE_LIMIT): it visits x from `from` to `to`
// there, and `to` is the half-width of the filled row.
struct ellipse_row {
    int64_t from, to;
};
ellipse_row ellipse_row_reach(int64_t a, int64_t b, int64_t y);

// Filled rectangle with 64-bit corners, so that corners moved by one (the
// inverted fill's bands) never wrap round; the same routine as rectfill.
int32_t rectfill64(uint8_t* bitmap, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);
// Everything around an ordered rectangle, in four bands: above, below, left
// and right of it. Returns the summed cost.
int64_t fill_around(uint8_t* bitmap, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour);

}  // namespace gfx
