// Textured lines: one-pixel lines of the draw target whose pixels come from
// a texture through the sprite rule. draw_tline_sspr is the affine line the
// stretched sprites and map tiles are built from; draw_tline3d the
// perspective line of tline3d, over a bitmap or a map of sprites. Both walk
// the clipped 16.16 walk of lines. The stretched-sprite call sspr is here too.
#include <algorithm>
#include <cmath>

#include "gfx/gfx_internal.h"
#include "lang/lang.h"

using gfx::box;

namespace {

using i128 = __int128;

// Texture positions in 16.16 and integer texels, saturated: a NaN or a value
// past the 64-bit range never reaches a conversion.
int64_t fixed(double v) { return hvx_double_to_i64(v * 65536.0, 0); }
int64_t whole(double v) { return hvx_double_to_i64(std::floor(v), 0); }
int64_t pixel_coord(double v) {
    return std::clamp(hvx_double_to_i64(v, 0), -TLINE_COORD_LIMIT, TLINE_COORD_LIMIT);
}
// 16.16 steps added with wrap-around: past the range the texel is garbage,
// but every texel index is masked or clamped, and nothing is undefined.
int64_t add(int64_t a, int64_t b) { return (int64_t)((uint64_t)a + (uint64_t)b); }

// The sprite rule pen with the masks of the sprite path, and whether it may
// write page 0 directly (read and sprite target masks 63, no pattern).
struct texel_pen : gfx::sprite_pen {
    bool fast;
    void load(Process* p) {
        get_masks_sprite();
        gfx::sprite_pen::load(p);
        fast = rm == 63 && tm == 63;
        for (uint32_t k = 0; k < 8 && fast; k++)
            fast = (state ? state[ADDR_FILL_PATTERN - ADDR_DRAW_STATE + k] : hvx_peek8(p, ADDR_FILL_PATTERN + k)) == 0;
    }
    // Page 0 from the texel's and the destination's low six bits.
    void plot_page0(uint8_t* px, uint32_t s) const {
        const uint32_t P = *px;
        *px = (uint8_t)((P & keep) | (entry(0, s, P) & wm));
    }
};

}  // namespace

int32_t draw_tline_sspr(const uint8_t* tex, uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                        double tu0, double tv0, double tu1, double tv1) {
    Process* p = cproc;
    if (!tex || !target || !p || ud_type(tex) != UTYPE_U8) return 0;
    x0 = std::clamp(x0, -TLINE_COORD_LIMIT, TLINE_COORD_LIMIT), y0 = std::clamp(y0, -TLINE_COORD_LIMIT, TLINE_COORD_LIMIT);
    x1 = std::clamp(x1, -TLINE_COORD_LIMIT, TLINE_COORD_LIMIT), y1 = std::clamp(y1, -TLINE_COORD_LIMIT, TLINE_COORD_LIMIT);
    if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1), std::swap(tu0, tu1), std::swap(tv0, tv1);
    gfx::walk w;
    if (!gfx::clip_walk(gfx::clip_for(p, target), x0, y0, x1, y1, false, w)) return 0;
    texel_pen pen;
    pen.load(p);
    const int64_t count = w.count();
    const int32_t cost = ud_cost(pen.fast ? count / 2 : count);
    if (count <= 0) return cost;

    const double du = w.n >= 1 ? (tu1 - tu0) / (double)w.n : 0, dv = w.n >= 1 ? (tv1 - tv0) / (double)w.n : 0;
    int64_t U = fixed((double)w.first * du + tu0), V = fixed((double)w.first * dv + tv0);
    const int64_t dU = fixed(du), dV = fixed(dv);
    const int64_t tw = ud_width(tex), th = ud_height(tex);
    const uint8_t* texels = ud_data(tex);
    // The walk is linear, so texels inside at both ends are inside all along.
    auto inside = [](i128 F, int64_t size) { return F >= 0 && (F >> 16) < size; };
    const i128 last = (i128)count - 1;
    const bool within = inside(U, tw) && inside(U + last * dU, tw) && inside(V, th) && inside(V + last * dV, th);
    const int64_t stride = ud_width(target);
    uint8_t* data = ud_data(target);
    int64_t X = w.X, Y = w.Y;
    if (pen.fast && within && pen.tables[0] && (w.sx & 0xFFFF) == 0 && (w.sy & 0xFFFF) == 0) {
        // Whole-pixel steps (rows, columns and diagonals), page 0 served
        // whole: the loop of stretched sprites and map tiles.
        uint8_t* at = data + (Y >> 16) * stride + (X >> 16);
        const int64_t step = (w.sy >> 16) * stride + (w.sx >> 16);
        const uint8_t* page0 = pen.tables[0];
        const uint32_t keep = pen.keep, wm = pen.wm;
        auto put = [&](uint32_t s) {
            const uint32_t P = *at;
            *at = (uint8_t)((P & keep) | (page0[(s & 63) * 64 + (P & 63)] & wm));
            at += step;
        };
        // A texel row or column held still, as sprites stretch.
        if (dV == 0) {
            const uint8_t* row = texels + (V >> 16) * tw;
            for (int64_t i = 0; i < count; i++, U += dU) put(row[U >> 16]);
        } else if (dU == 0) {
            const uint8_t* column = texels + (U >> 16);
            for (int64_t i = 0; i < count; i++, V += dV) put(column[(V >> 16) * tw]);
        } else {
            for (int64_t i = 0; i < count; i++, U += dU, V += dV) put(texels[(V >> 16) * tw + (U >> 16)]);
        }
        return cost;
    }
    for (int64_t i = 0; i < count; i++) {
        int64_t c = U >> 16, r = V >> 16;
        if (!within) c = std::clamp<int64_t>(c, 0, tw - 1), r = std::clamp<int64_t>(r, 0, th - 1);
        const uint32_t s = texels[r * tw + c];
        const int64_t px = X >> 16, py = Y >> 16;
        uint8_t* at = data + py * stride + px;
        if (pen.fast) pen.plot_page0(at, s);
        else pen.plot(at, s, px, py);
        X += w.sx, Y += w.sy, U = add(U, dU), V = add(V, dV);
    }
    return cost;
}

namespace {

// One textured line of draw_tline3d after the walk: the texture, the
// window, and u, v, w at the first drawn pixel with their steps.
struct tline3d_line {
    Process* p;
    const uint8_t* tex;
    uint8_t* target;
    gfx::walk w;
    double u, v, q, du, dv, dq;  // q: the line's w
    int64_t xmask, ymask, xoff, yoff;
};

// Draws the line; Map: an i16 map of sprites, else a u8 bitmap.
template <bool Exact, bool Map>
void run_tline3d(const tline3d_line& l, const texel_pen& pen) {
    const int64_t tw = ud_width(l.tex), th = ud_height(l.tex), count = l.w.count();
    const uint8_t* cells = ud_data(l.tex);
    const int64_t stride = ud_width(l.target);
    uint8_t* data = ud_data(l.target);
    uint8_t* const* sprites = l.p->sprites;
    double u = l.u, v = l.v, q = l.q;
    int64_t U = 0, V = 0, dU = 0, dV = 0;
    if (!Exact) U = hvx_double_to_i64(u * (65536.0 / q), 0), V = hvx_double_to_i64(v * (65536.0 / q), 0);
    int64_t X = l.w.X, Y = l.w.Y;
    for (int64_t i = 0; i < count; i++) {
        int64_t cx, cy;
        if (Exact) {
            const double r = 1.0 / q;
            if (Map) U = fixed(r * u), V = fixed(r * v), cx = U >> 16, cy = V >> 16;
            else cx = whole(r * u), cy = whole(r * v);
            u += l.du, v += l.dv, q += l.dq;
        } else {
            cx = U >> 16, cy = V >> 16;
        }
        const int64_t col = ((cx & l.xmask) + l.xoff) & (tw - 1), row = ((cy & l.ymask) + l.yoff) & (th - 1);
        const int64_t px = X >> 16, py = Y >> 16;
        uint8_t* at = data + py * stride + px;
        if (Map) {
            int16_t cell;
            std::memcpy(&cell, cells + (row * tw + col) * 2, 2);
            const uint8_t* s = sprites[cell & SPRITE_INDEX_MASK];
            if (!s) {
                pen.plot(at, 0, px, py);
            } else {
                // A cell spans one unit of the map: the fraction picks the texel.
                const int64_t sw = ud_width(s), sh = ud_height(s);
                int64_t sc = (int64_t)((uint64_t)U * (uint64_t)sw) >> 16, sr = (int64_t)((uint64_t)V * (uint64_t)sh) >> 16;
                if (cell & SPRITE_FLIP_X) sc = ~sc;
                if (cell & SPRITE_FLIP_Y) sr = ~sr;
                const uint32_t t = ud_data(s)[(sr & (sh - 1)) * sw + (sc & (sw - 1))];
                if (Exact) pen.plot(at, t, px, py);
                else pen.plot_page0(at, t);
            }
        } else {
            const uint32_t t = cells[row * tw + col];
            if (pen.fast) pen.plot_page0(at, t);
            else pen.plot(at, t, px, py);
        }
        X += l.w.sx, Y += l.w.sy;
        // Straight runs of up to 8 pixels between divisions. A run never
        // looks past the last pixel: w taken on beyond the line's end may
        // reach 0 or less, and the last pixels would take garbage texels.
        const int64_t ahead = std::min<int64_t>(TLINE_SPAN, count - 1 - i);
        if (!Exact && ahead > 0) {
            if (i % TLINE_SPAN == 0) {
                u += (double)ahead * l.du, v += (double)ahead * l.dv, q += (double)ahead * l.dq;
                const double k = 65536.0 / q, step = 1.0 / (double)ahead;
                dU = hvx_double_to_i64(((double)hvx_double_to_i64(u * k, 0) - (double)U) * step, 0);
                dV = hvx_double_to_i64(((double)hvx_double_to_i64(v * k, 0) - (double)V) * step, 0);
            }
            U = add(U, dU), V = add(V, dV);
        }
    }
}

}  // namespace

int32_t draw_tline3d(const uint8_t* tex, uint8_t* target, double x0, double y0, double x1, double y1, double tu0,
                     double tv0, double tu1, double tv1, double w0, double w1, int flags) {
    Process* p = cproc;
    if (!tex || !target || !p) return 0;
    const int kind = ud_type(tex);
    if ((kind != UTYPE_U8 && kind != UTYPE_I16) || !(w0 > 0) || !(w1 > 0)) return 0;
    if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return 0;
    if (y1 < y0 || (y1 == y0 && x1 < x0))
        std::swap(x0, x1), std::swap(y0, y1), std::swap(tu0, tu1), std::swap(tv0, tv1), std::swap(w0, w1);
    // The sub-pixel fraction and the length along the longer axis.
    double f, L;
    if (std::fabs(x1 - x0) <= std::fabs(y1 - y0)) f = 1.0 - std::fmod(y0, 1.0), L = std::fabs(y1 - y0);
    else f = 1.0 - std::fmod(x0, 1.0), L = std::fabs(x1 - x0);
    if (L == 0) L = 0.00001;
    const double du = (tu1 - tu0) / L, dv = (tv1 - tv0) / L, dq = (w1 - w0) / L;
    // Texture steps from NaN or the infinities have no picture.
    if (!std::isfinite(du) || !std::isfinite(dv) || !std::isfinite(dq)) return 0;

    tline3d_line l;
    if (!gfx::clip_walk(gfx::clip_for(p, target), pixel_coord(x0), pixel_coord(y0), pixel_coord(x1), pixel_coord(y1),
                        flags & TLINE_NO_LAST, l.w))
        return 0;
    texel_pen pen;
    pen.load(p);
    const bool exact = flags & TLINE_EXACT, map = kind == UTYPE_I16;
    const int64_t count = l.w.count();
    int64_t cost;
    if (map) cost = exact ? count : 2 * count / 3;
    else if (pen.fast) cost = exact ? count / 2 : count / 3;
    else cost = exact ? 2 * count / 3 : 2 * count / 5;
    if (count <= 0) return ud_cost(cost);

    l.p = p, l.tex = tex, l.target = target;
    l.du = l.w.n >= 1 ? du : 0, l.dv = l.w.n >= 1 ? dv : 0, l.dq = l.w.n >= 1 ? dq : 0;
    const double first = (double)l.w.first;
    l.u = tu0 + first * l.du, l.v = tv0 + first * l.dv, l.q = w0 + first * l.dq;
    if (flags & TLINE_PRESTEP) l.u += du * f, l.v += dv * f;
    l.xoff = (int16_t)hvx_peek16(p, ADDR_TEX_WINDOW), l.yoff = (int16_t)hvx_peek16(p, ADDR_TEX_WINDOW + 2);
    l.xmask = (hvx_peek16(p, ADDR_TEX_WINDOW + 4) - 1) & 0xFFFF, l.ymask = (hvx_peek16(p, ADDR_TEX_WINDOW + 6) - 1) & 0xFFFF;
    if (map) exact ? run_tline3d<true, true>(l, pen) : run_tline3d<false, true>(l, pen);
    else exact ? run_tline3d<true, false>(l, pen) : run_tline3d<false, false>(l, pen);
    return ud_cost(cost);
}

// ---------------------------------------------------------------------------
// Lua calls
// ---------------------------------------------------------------------------

namespace {

// A number argument, numeric strings converted; otherwise 0.
double number(lua_State* L, int i) { return lua_tonumberx(L, i, nullptr); }
// As number, but the default when the argument is neither a number nor a string.
double number_or(lua_State* L, int i, double def) {
    const int t = lua_type(L, i);
    return t == LUA_TNUMBER || t == LUA_TSTRING ? number(L, i) : def;
}

}  // namespace

int lua54_tline3d(lua_State* L) {
    Process* p = gfx::drawing();
    if (!p) return 0;
    const double cx = (double)gfx::cam_x(), cy = (double)gfx::cam_y();
    batch_args b;
    if (batch_open(L, TLINE_BATCH_VALUES, b)) {
        const int64_t items = batch_run(b, [&](const double* v, int n) -> int64_t {
            auto at = [&](int k, double def) { return k < n ? v[k] : def; };
            const uint8_t* tex = p->sprites[(n > 0 ? batch_value(v[0]) : 0) & SPRITE_INDEX_MASK];
            const double x0 = at(1, 0) - cx, y0 = at(2, 0) - cy, x1 = at(3, 0) - cx, y1 = at(4, 0) - cy;
            const double tu0 = at(5, 0), tv0 = at(6, 0);
            const double tu1 = at(7, (x1 - x0) + tu0), tv1 = at(8, (y1 - y0) + tv0);
            const int flags = n > 11 ? (int32_t)batch_value(v[11]) : 0;
            if (!tex) return 0;
            return draw_tline3d(tex, p->draw_target, x0, y0, x1, y1, tu0, tv0, tu1, tv1, at(9, 1), at(10, 1), flags);
        });
        gfx::spend(items * TLINE_BATCH_ITEM_COST);
        if (b.cost != 0) gfx::spend(b.cost);
        return 0;
    }
    const uint8_t* tex = get_sprite_p(L, 1, nullptr);
    if (!tex || lua_gettop(L) < 4) return 0;
    const double x0 = number(L, 2) - cx, y0 = number(L, 3) - cy, x1 = number(L, 4) - cx, y1 = number(L, 5) - cy;
    const double tu0 = number(L, 6), tv0 = number(L, 7);
    const double tu1 = number_or(L, 8, (x1 - x0) + tu0), tv1 = number_or(L, 9, (y1 - y0) + tv0);
    const double w0 = number_or(L, 10, 1), w1 = number_or(L, 11, 1);
    const int flags = (int32_t)hvx_intp(L, 12, 0);
    spend_cpu(draw_tline3d(tex, p->draw_target, x0, y0, x1, y1, tu0, tv0, tu1, tv1, w0, w1, flags));
    return 0;
}

// ---------------------------------------------------------------------------
// Stretched sprites
// ---------------------------------------------------------------------------

namespace {

// One axis of the source clamps: a start before the source moves the
// destination on by the texels skipped, keeping its size (programs place
// sprites by it); a run past the end of the source is cut to it and the
// destination shrinks in proportion from its start, mirrored or not. False
// when the start lies beyond the source.
bool cut_to_source(int64_t& s, int64_t& len, int64_t size, int64_t& X, int64_t& W) {
    if (s < 0) {
        constexpr i128 far = (i128)TLINE_COORD_LIMIT << 2;  // past every target; the sums below stay small
        X = (int64_t)std::clamp<i128>((i128)X + (-(i128)s * W) / len, -far, far);
        s = 0;
    }
    if (s >= size) return false;
    if (size - s <= len) {
        W = (int64_t)((i128)W * (size - s) / len);
        len = size - s;
    }
    return true;
}

int64_t dest_coord(double v) { return std::clamp(whole(v), -TLINE_COORD_LIMIT, TLINE_COORD_LIMIT); }

// The source rectangle (sx, sy, sw, sh, both at least 1) of src onto the
// destination (dx, dy, dw, dh) with the anchor bits of opts. False when
// nothing is to be charged; otherwise cost holds the summed line costs.
bool stretch(Process* p, const uint8_t* src, int64_t opts, int64_t sx, int64_t sy, int64_t sw, int64_t sh, double dx,
             double dy, double dw, double dh, bool fx, bool fy, int64_t& cost) {
    if (opts & SPRITE_CENTRE_X) dx -= dw / 2, dw -= 1 - std::fmod(dx, 1.0);
    if (opts & SPRITE_CENTRE_Y) dy -= dh / 2, dh -= 1 - std::fmod(dy, 1.0);
    if (opts & SPRITE_ANCHOR_X) dx -= dw;
    if (opts & SPRITE_ANCHOR_Y) dy -= dh;
    int64_t X = dest_coord(dx) - gfx::cam_x(), Y = dest_coord(dy) - gfx::cam_y();
    int64_t W = dest_coord(dw), H = dest_coord(dh);
    if (W < 0) X += W, fx = !fx, W = -W;
    if (H < 0) Y += H, fy = !fy, H = -H;
    if (!cut_to_source(sx, sw, ud_width(src), X, W) || !cut_to_source(sy, sh, ud_height(src), Y, H)) return false;
    if (W < 1 || H < 1) return false;

    uint8_t* t = p->draw_target;
    const box c = gfx::clip_for(p, t);
    const int64_t r0 = std::max<int64_t>(0, c.top - Y), r1 = std::min(H, c.bottom - Y);
    const int64_t c0 = std::max<int64_t>(0, c.left - X), c1 = std::min(W, c.right - X);
    const double du = (double)sw / (double)W, dv = (double)sh / (double)H;
    cost = 0;
    // Texel centres: rows when the visible part is short and wide, else columns.
    if (r1 - r0 < 2 * (c1 - c0)) {
        double ua = (double)sx + du / 2, ub = (double)(sx + sw) - du / 2;
        if (fx) std::swap(ua, ub);
        for (int64_t k = r0; k < r1; k++) {
            const double v = (double)sy + dv / 2 + (double)(fy ? H - 1 - k : k) * dv;
            cost += draw_tline_sspr(src, t, X, Y + k, X + W - 1, Y + k, ua, v, ub, v);
        }
    } else {
        double va = (double)sy + dv / 2, vb = (double)(sy + sh) - dv / 2;
        if (fy) std::swap(va, vb);
        for (int64_t k = c0; k < c1; k++) {
            const double u = (double)sx + du / 2 + (double)(fx ? W - 1 - k : k) * du;
            cost += draw_tline_sspr(src, t, X + k, Y, X + k, Y + H - 1, u, va, u, vb);
        }
    }
    return true;
}

}  // namespace

int lua54_sspr(lua_State* L) {
    Process* p = gfx::drawing();
    if (!p) return 0;
    batch_args b;
    if (batch_open(L, SSPR_BATCH_VALUES, b)) {
        const int64_t items = batch_run(b, [&](const double* v, int n) -> int64_t {
            const int64_t num = n > 0 ? batch_value(v[0]) : 0;
            const uint8_t* src = p->sprites[num & SPRITE_INDEX_MASK];
            if (!src) return 0;
            auto at = [&](int k, int64_t def) { return k < n ? batch_value(v[k]) : def; };
            const int64_t sw = at(3, ud_width(src)), sh = at(4, ud_height(src));
            if (sw < 1 || sh < 1) return 0;
            const double dx = n > 5 ? v[5] : 0, dy = n > 6 ? v[6] : 0;
            const double dw = n > 7 ? v[7] : (double)sw, dh = n > 8 ? v[8] : (double)sh;
            int64_t cost = 0;
            stretch(p, src, num, at(1, 0), at(2, 0), sw, sh, dx, dy, dw, dh, num & SPRITE_FLIP_X, num & SPRITE_FLIP_Y,
                    cost);
            return cost;
        });
        gfx::spend(items * SSPR_BATCH_ITEM_COST);
        if (b.cost != 0) gfx::spend(b.cost / SHAPE_COST_DIVISOR);
        return 0;
    }
    int64_t opts = 0;
    const uint8_t* src = get_sprite_p(L, 1, &opts);
    if (!src) return 0;
    const int64_t sx = hvx_intp(L, 2, 0), sy = hvx_intp(L, 3, 0);
    const int64_t sw = hvx_intp(L, 4, ud_width(src)), sh = hvx_intp(L, 5, ud_height(src));
    const double dx = number(L, 6), dy = number(L, 7);
    const double dw = lua_isnumber(L, 8) ? number(L, 8) : (double)sw, dh = lua_isnumber(L, 9) ? number(L, 9) : (double)sh;
    const bool fx = (opts & SPRITE_FLIP_X) || lua_toboolean(L, 10), fy = (opts & SPRITE_FLIP_Y) || lua_toboolean(L, 11);
    if (sw < 1 || sh < 1) return 0;
    int64_t cost = 0;
    if (stretch(p, src, opts, sx, sy, sw, sh, dx, dy, dw, dh, fx, fy, cost)) gfx::spend(cost / SHAPE_COST_DIVISOR);
    return 0;
}
