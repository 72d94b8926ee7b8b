// Graphics calls for the draw state and the basic shapes: each reads its
// arguments, applies the camera, the colour argument and the clip box, calls
// the rasteriser and charges what it returns. None raises a Lua error.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gfx/gfx_internal.h"
#include "lang/lang.h"
#include "core/core.h"

namespace {

// Keeps the draw target's userdata alive while it is the draw target.
const char target_anchor_key = 0;

using gfx::cam;
using gfx::cam_x;
using gfx::cam_y;
using gfx::colour_word;
using gfx::coord;
using gfx::drawing;

// A clip word: the value saturated into 16 bits rather than wrapped, so a
// coordinate past 32767 cannot turn into a negative (wide open) edge.
uint16_t clip_word(int64_t v) { return (uint16_t)(int16_t)(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

void set_clip_words(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    poke2(ADDR_CLIP_WORDS, clip_word(x0));
    poke2(ADDR_CLIP_WORDS + 2, clip_word(y0));
    poke2(ADDR_CLIP_WORDS + 4, clip_word(x1));
    poke2(ADDR_CLIP_WORDS + 6, clip_word(y1));
}

int32_t line_between(Process* p, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
    return draw_line(p->draw_target, (int32_t)x0, (int32_t)y0, (int32_t)x1, (int32_t)y1, colour);
}

// A rectangle, or with the inverted-fill flag the area around it.
int64_t fill_rect(Process* p, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
    if (!p->inverted_fill) return gfx::rectfill64(p->draw_target, x0, y0, x1, y1, colour);
    // Ordered first, so that reversed corners never paint the rectangle.
    return gfx::fill_around(p->draw_target, std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1),
                            colour);
}

}  // namespace

int64_t gfx::fill_around(uint8_t* t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
    const int64_t W = ud_width(t), H = ud_height(t);
    return (int64_t)gfx::rectfill64(t, -1, -1, W, y0 - 1, colour) + gfx::rectfill64(t, -1, y1 + 1, W, H, colour) +
           gfx::rectfill64(t, -1, y0, x0 - 1, y1, colour) + gfx::rectfill64(t, x1 + 1, y0, W, y1, colour);
}

// ---------------------------------------------------------------------------
// Batch reader
// ---------------------------------------------------------------------------

int64_t batch_value(double v) { return hvx_double_to_i64(std::floor(v), 0); }

int16_t batch_colour(int64_t v) { return set_colp((uint32_t)v, (uint32_t)((uint64_t)v >> 32)); }

void log_cut_off(gfx_cut_off kind) {
    if (kind == CUT_OFF_PRINT)
        log_refusal_once(cproc, LIMIT_LOGGED_PRINT_CUT, "print cut off: the text cost over %lld cycles; the rest is not printed",
                         (long long)PRINT_CYCLE_CEILING);
    else
        log_refusal_once(cproc, LIMIT_LOGGED_BATCH_CUT,
                         "batch drawing call cut off: its items cost over %lld cycles; the rest are not drawn",
                         (long long)BATCH_COST_CEILING);
}

bool batch_open(lua_State* L, int K, batch_args& b) {
    const uint8_t* ud = to_typed_userdata(L, 1);
    if (!ud || ud_type(ud) != UTYPE_F64) return false;
    const int64_t w = ud_width(ud), h = ud_height(ud);
    b.data = (const double*)ud_data(ud);
    b.first = hvx_intp(L, 2, 0);
    b.limit = hvx_intp(L, 3, h);
    const int64_t n = hvx_intp(L, 4, w);
    b.n = (int)(n < K ? (n < INT32_MIN ? INT32_MIN : n) : K);
    b.stride = hvx_intp(L, 5, w);
    b.last = w * h - b.n;
    b.cost = 0;
    // Nothing to do: the call's minimum charge.
    if (b.limit < 1 || b.first > b.last) {
        spend_cpu(0);
        b.limit = 0;
    }
    return true;
}

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

int lua54_color(lua_State* L) {
    if (cproc) poke2(ADDR_COLOUR_WORD, hvx_intp(L, 1, COLOUR_DEFAULT) & 0xFFFF);
    return 0;
}

int lua54_cursor(lua_State* L) {
    if (!cproc) return 0;
    poke4(ADDR_PRINT_X, coord(L, 1));
    poke4(ADDR_PRINT_Y, coord(L, 2));
    colp(L, 3);
    return 0;
}

int lua54_camera(lua_State* L) {
    if (!cproc) return 0;
    const int32_t x = coord(L, 1), y = coord(L, 2);
    lua_pushinteger(L, peek4(ADDR_CAMERA_X));
    lua_pushinteger(L, peek4(ADDR_CAMERA_Y));
    poke4(ADDR_CAMERA_X, x);
    poke4(ADDR_CAMERA_Y, y);
    return 2;
}

int lua54_fillp(lua_State* L) {
    if (!cproc || !cproc->draw_target) return 0;
    if (lua_gettop(L) != 8) {
        fillp_16((int)hvx_intp(L, 1, 0));
        return 0;
    }
    // Eight rows, each argument's bit 7 the leftmost pixel.
    for (int k = 0; k < 8; k++) {
        uint32_t v = (uint32_t)hvx_intp(L, k + 1, 0) & 0xFF, r = 0;
        for (int i = 0; i < 8; i++) r |= ((v >> i) & 1) << (7 - i);
        poke(ADDR_FILL_PATTERN + (uint32_t)k, (uint8_t)r);
    }
    return 0;
}

int lua54__set_draw_target(lua_State* L) {
    Process* p = cproc;
    uint8_t* bm = to_typed_userdata(L, 1);
    if (!p || !bm) return 0;
    // Held for the host while it is the target, where no script can drop it
    // (a raw set: no collector step, so no finalizer runs before it is stored).
    lua_pushvalue(L, 1);
    if (!hvx_anchor_at(L, &target_anchor_key)) return 0;
    p->draw_target = bm;
    set_clip_words(0, 0, ud_width(bm), ud_height(bm));
    return 0;
}

int lua54_clip(lua_State* L) {
    Process* p = drawing();
    if (!p) return 0;
    const int64_t W = ud_width(p->draw_target), H = ud_height(p->draw_target);
    const int64_t L0 = p->clip_box[0], R0 = p->clip_box[1], T0 = p->clip_box[2], B0 = p->clip_box[3];
    if (lua_gettop(L) < 4) {
        set_clip_words(0, 0, W, H);
    } else {
        // 64-bit arguments: x + w summed in 128 bits, then saturated.
        auto sum = [](int64_t a, int64_t b) {
            const __int128 s = (__int128)a + b;
            return (int64_t)(s > INT64_MAX ? INT64_MAX : s < INT64_MIN ? INT64_MIN : s);
        };
        const int64_t x = hvx_intp(L, 1, 0), y = hvx_intp(L, 2, 0);
        const int64_t x1 = sum(x, hvx_intp(L, 3, 0)), y1 = sum(y, hvx_intp(L, 4, 0));
        auto mid = [](int64_t v, int64_t lo, int64_t hi) { return std::max(std::min(v, hi), lo); };
        if (lua_toboolean(L, 5))
            set_clip_words(mid(x, L0, R0), mid(y, T0, B0), mid(x1, L0, R0), mid(y1, T0, B0));
        else
            set_clip_words(std::max<int64_t>(x, 0), std::max<int64_t>(y, 0), std::min(x1, W), std::min(y1, H));
    }
    lua_pushinteger(L, L0);
    lua_pushinteger(L, T0);
    lua_pushinteger(L, R0 - L0);
    lua_pushinteger(L, B0 - T0);
    refresh_clip_box(p);
    lua_pushboolean(L, p->clip_box[1] <= p->clip_box[0] || p->clip_box[3] <= p->clip_box[2]);
    return 5;
}

int lua54_pal(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    if (lua_type(L, 1) == LUA_TTABLE) {
        const int mode = (int)hvx_intp(L, 2, 0);
        int64_t cost = 0;
        lua_settop(L, 2);
        lua_pushnil(L);
        while (lua_next(L, 1)) {
            if (lua_type(L, -2) == LUA_TNUMBER) set_palette_entry((int)hvx_intp(L, -2, 0), (int)hvx_intp(L, -1, 0), mode);
            cost += PAL_ENTRY_COST;
            lua_pop(L, 1);
        }
        if (cost) gfx::spend(cost);
        return 0;
    }
    if (lua_gettop(L) >= 2) {
        set_palette_entry((int)hvx_intp(L, 1, 0), (int)hvx_intp(L, 2, 0), (int)hvx_intp(L, 3, 0));
        return 0;
    }
    const int32_t n = (int32_t)hvx_intp(L, 1, -1);
    int32_t cost = 0;
    if (n == -1) {
        // The line palette selection of the process's own page, even while
        // a userdata is mapped over it.
        if (uint8_t* own = p->backing_page[ADDR_DRAW_STATE >> HVX_PAGE_SHIFT])
            std::memset(own + (ADDR_LINE_SEL - ADDR_DRAW_STATE), 0, LINE_SEL_CLEAR_BYTES);
    }
    if (n == -1 || n == 0) cost += refill_colour_tables(p);
    if (n == -1 || n == 1) {
        for (uint32_t i = 0; i < sizeof default_indexed_pal; i++) poke(ADDR_REMAP + i, default_indexed_pal[i]);
        cost += PAL_TABLE_COST;
    }
    if (n == 2) {
        for (uint32_t i = 0; i < 256; i++) poke4(ADDR_PALETTE + 4 * i, (int32_t)default_system_pal[i]);
        cost += PAL_TABLE_COST;
    }
    if (cost) spend_cpu(cost);
    return 0;
}

namespace {

// Writes one colour-table row straight into its page's storage (a table
// page is always served whole) and flags the page for pal() to put back.
void set_coltab_row(Process* p, int page, int row, uint8_t (*entry)(int d, int arg), int arg) {
    const uint32_t addr = ADDR_COLTABS + (uint32_t)page * COLTAB_PAGE_BYTES + (uint32_t)row * COLTAB_ROW_BYTES;
    uint8_t* storage = (uint8_t*)gfx::whole_page(p, addr);
    for (int d = 0; d < COLTAB_ROW_BYTES; d++) {
        if (storage) storage[(addr & (HVX_PAGE_SIZE - 1)) + d] = entry(d, arg);
        else hvx_poke8(p, addr + d, entry(d, arg));
    }
    p->page_flags[addr >> HVX_PAGE_SHIFT] |= PAGE_FLAG_COLTAB;
}
uint8_t transparent(int d, int c) { return (uint8_t)(((c & ~63) | d) & 0xFF); }
uint8_t opaque(int, int c) { return (uint8_t)((c | 0xC0) & 0xFF); }

}  // namespace

int lua54_palt(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    const int top = lua_gettop(L);
    if (top < 2) {
        int ok = top == 0;
        const uint64_t mask = top == 0 ? 1 : (uint64_t)lua_tointegerx(L, 1, &ok);
        for (int k = 0; k < 64; k++) set_coltab_row(p, 0, k, ok && ((mask >> k) & 1) ? transparent : opaque, k);
        spend_cpu(64 * PALT_ROW_COST);
        return 0;
    }
    // Either way the row may now differ from the defaults, so pal() puts it back.
    const int32_t c = hvx_trunc_arg(L, 1);
    set_coltab_row(p, (c >> 6) & 3, c & 63, lua_toboolean(L, 2) ? transparent : opaque, c);
    return 0;
}

// ---------------------------------------------------------------------------
// Shapes
// ---------------------------------------------------------------------------

int lua54_cls(lua_State* L) {
    Process* p = cproc;
    if (!p || !p->draw_target) return 0;
    const int64_t pixels = ud_elements(p->draw_target);
    std::memset(ud_data(p->draw_target), (int)(hvx_intp(L, 1, 0) & 0xFF), (size_t)pixels);
    poke4(ADDR_PRINT_X, 0);
    poke4(ADDR_PRINT_Y, 0);
    gfx::spend(pixels >> CLS_COST_SHIFT);
    return 0;
}

int lua54_pget(lua_State* L) {
    Process* p = cproc;
    if (!p || !p->draw_target || lua_gettop(L) < 2) return 0;
    lua_pushinteger(L, getpixel(p->draw_target, cam(coord(L, 1), cam_x()), cam(coord(L, 2), cam_y())));
    return 1;
}

int lua54_pset(lua_State* L) {
    Process* p = drawing();
    if (!p) return 0;
    batch_args b;
    if (batch_open(L, 3, b)) {
        get_masks_shape();
        const int64_t cx = cam_x(), cy = cam_y();
        const int64_t items = batch_run(b, [&](const double* v, int n) {
            const int64_t x = n > 0 ? batch_value(v[0]) : 0, y = n > 1 ? batch_value(v[1]) : 0;
            const int colour = n > 2 ? batch_colour(batch_value(v[2])) : colour_word();
            putpixel(p->draw_target, cam(x, cx), cam(y, cy), colour);
            return 0;
        });
        gfx::spend(items * BATCH_ITEM_COST);
        return 0;
    }
    if (lua_gettop(L) < 2) return 0;
    const int colour = colp(L, 3);
    get_masks_shape();
    putpixel(p->draw_target, cam(coord(L, 1), cam_x()), cam(coord(L, 2), cam_y()), colour);
    return 0;
}

int lua54_rect(lua_State* L) {
    Process* p = drawing();
    if (!p || lua_gettop(L) < 4) return 0;
    const int64_t cx = cam_x(), cy = cam_y();
    const int32_t x0 = cam(coord(L, 1), cx), y0 = cam(coord(L, 2), cy);
    const int32_t x1 = cam(coord(L, 3), cx), y1 = cam(coord(L, 4), cy);
    const int colour = colp(L, 5);
    int64_t sum = line_between(p, x0, y0, x1, y0, colour);
    if (y1 != y0) sum += line_between(p, x0, y1, x1, y1, colour);
    const int64_t ya = std::min(y0, y1), yb = std::max(y0, y1);
    if (yb - ya > 1) {
        sum += line_between(p, x0, ya + 1, x0, yb - 1, colour);
        if (x1 != x0) sum += line_between(p, x1, ya + 1, x1, yb - 1, colour);
    }
    gfx::spend(sum / SHAPE_COST_DIVISOR);
    return 0;
}

int lua54_rectfill(lua_State* L) {
    Process* p = drawing();
    if (!p) return 0;
    batch_args b;
    if (batch_open(L, 5, b)) {
        const int64_t cx = cam_x(), cy = cam_y();
        const int64_t items = batch_run(b, [&](const double* v, int n) {
            int64_t c[4];
            for (int k = 0; k < 4; k++) c[k] = cam(k < n ? batch_value(v[k]) : 0, k & 1 ? cy : cx);
            p->inverted_fill = 0;
            const int colour = n > 4 ? batch_colour(batch_value(v[4])) : colour_word();
            return fill_rect(p, c[0], c[1], c[2], c[3], colour);
        });
        gfx::spend(items * BATCH_ITEM_COST);
        if (b.cost != 0) gfx::spend(b.cost / SHAPE_COST_DIVISOR);
        return 0;
    }
    if (lua_gettop(L) < 4) return 0;
    const int64_t cx = cam_x(), cy = cam_y();
    const int32_t x0 = cam(coord(L, 1), cx), y0 = cam(coord(L, 2), cy);
    const int32_t x1 = cam(coord(L, 3), cx), y1 = cam(coord(L, 4), cy);
    p->inverted_fill = 0;
    const int colour = colp(L, 5);
    gfx::spend(fill_rect(p, x0, y0, x1, y1, colour) / SHAPE_COST_DIVISOR);
    return 0;
}

int lua54_line(lua_State* L) {
    Process* p = drawing();
    if (!p) return 0;
    const int64_t cx = cam_x(), cy = cam_y();
    batch_args b;
    if (batch_open(L, 5, b)) {
        auto at = [&](const double* v, int n, int k, int64_t c) { return cam(k < n ? batch_value(v[k]) : 0, c); };
        int64_t items;
        if (b.n >= 4) {
            items = batch_run(b, [&](const double* v, int n) {
                const int colour = n > 4 ? batch_colour(batch_value(v[4])) : colour_word();
                return line_between(p, at(v, n, 0, cx), at(v, n, 1, cy), at(v, n, 2, cx), at(v, n, 3, cy), colour);
            });
        } else {
            // A polyline from the stored last point.
            int64_t px = cam(peek4(ADDR_LINE_LAST_X), cx), py = cam(peek4(ADDR_LINE_LAST_Y), cy);
            items = batch_run(b, [&](const double* v, int n) {
                const int64_t x = at(v, n, 0, cx), y = at(v, n, 1, cy);
                const int colour = n > 2 ? batch_colour(batch_value(v[2])) : colour_word();
                const int32_t cost = line_between(p, px, py, x, y, colour);
                px = x, py = y;
                return cost;
            });
        }
        gfx::spend(items * BATCH_LINE_ITEM_COST);
        if (b.cost != 0) gfx::spend(b.cost);
        return 0;
    }
    const int top = lua_gettop(L);
    if (top <= 1) {
        poke(ADDR_LINE_NO_LAST, 1);
        if (top == 1) colp(L, 1);
        return 0;
    }
    if (top <= 3) {
        const int32_t x = coord(L, 1), y = coord(L, 2);
        if (peek(ADDR_LINE_NO_LAST) == 1) {
            poke(ADDR_LINE_NO_LAST, 0);
            poke4(ADDR_LINE_LAST_X, x);
            poke4(ADDR_LINE_LAST_Y, y);
            return 0;
        }
        const int64_t lx = peek4(ADDR_LINE_LAST_X), ly = peek4(ADDR_LINE_LAST_Y);
        poke4(ADDR_LINE_LAST_X, x);
        poke4(ADDR_LINE_LAST_Y, y);
        const int colour = colp(L, 3);
        gfx::spend(line_between(p, cam(x, cx), cam(y, cy), cam(lx, cx), cam(ly, cy), colour));
        return 0;
    }
    const int32_t x0 = coord(L, 1), y0 = coord(L, 2), x1 = coord(L, 3), y1 = coord(L, 4);
    poke4(ADDR_LINE_LAST_X, x1);
    poke4(ADDR_LINE_LAST_Y, y1);
    const int colour = colp(L, 5);
    gfx::spend(line_between(p, cam(x0, cx), cam(y0, cy), cam(x1, cx), cam(y1, cy), colour));
    return 0;
}
