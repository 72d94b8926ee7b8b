// Ellipses and rounded rectangles: one integer midpoint tracer over a centre,
// two half-axes and split offsets. An even pixel count across draws two
// halves a pixel apart; a rounded rectangle is the same tracer with its
// quarters pulled out to the corners. Outlines plot single pixels, fills go
// through the span routines, so patterns, tables, masks and inverted fills
// behave as in every other filled shape.
#include <algorithm>
#include <cmath>

#include "gfx/gfx_internal.h"
#include "lang/lang.h"

using gfx::box;

namespace {

// Calls visit(x, y, steps_in_y) at each step of the midpoint walk of the
// quarter ellipse with half-axes a and b, from (0, b) while y >= 0 and
// x <= a, before the step is taken. Half-axes up to ELLIPSE_MAX_AXIS keep
// every term below 2^62.
template <class F>
void trace(int64_t a, int64_t b, F&& visit) {
    const int64_t a2 = a * a, b2 = b * b;
    const int64_t crit1 = -(a2 / 4 + a % 2 + b2), crit2 = -(b2 / 4 + b % 2 + a2), crit3 = -(b2 / 4 + b % 2);
    const int64_t d2xt = 2 * b2, d2yt = 2 * a2;
    int64_t t = -a2 * b, dxt = 0, dyt = -2 * a2 * b;
    int64_t x = 0, y = b;
    while (y >= 0 && x <= a) {
        if (t + b2 * x <= crit1 || t + a2 * y <= crit3) {
            visit(x, y, false);
            x++, dxt += d2xt, t += dxt;
        } else if (t - a2 * y > crit2) {
            visit(x, y, true);
            y--, dyt += d2yt, t += dyt;
        } else {
            visit(x, y, true);
            x++, dxt += d2xt, y--, dyt += d2yt, t += dxt + dyt;
        }
    }
}

bool traceable(int64_t a, int64_t b) { return a <= ELLIPSE_MAX_AXIS && b <= ELLIPSE_MAX_AXIS; }

// Shapes too large to trace are found row by row. The tracer's choices
// depend only on where it stands: at (x, y) its error term is
// b2 x (x + 1) + a2 y (y - 1) - a2 b2. It steps in x while (x + 1, y - 1/2)
// or (x + 1/2, y) lies inside, so it leaves row y at the first x where
// neither does (the half-width of the filled row), and it enters row y one
// past where it left the row above when that step was diagonal, which is
// when (x + 1/2, y) lies inside. With half-axes up to SHAPE_SIZE_LIMIT the
// terms reach 2^137: they are compared exactly in 256 bits.
using u128 = unsigned __int128;

struct u256 {
    u128 hi, lo;
    bool operator<=(const u256& o) const { return hi < o.hi || (hi == o.hi && lo <= o.lo); }
};

// f * g + s, for f and g below 2^100.
u256 mul_add(u128 f, u128 g, u128 s = 0) {
    const uint64_t fl = (uint64_t)f, fh = (uint64_t)(f >> 64), gl = (uint64_t)g, gh = (uint64_t)(g >> 64);
    const u128 ll = (u128)fl * gl, mid = (u128)fl * gh + (u128)fh * gl;
    u256 r{(u128)fh * gh + (mid >> 64), ll + (mid << 64)};
    if (r.lo < ll) r.hi++;
    r.lo += s;
    if (r.lo < s) r.hi++;
    return r;
}

struct quarter {
    int64_t a, b;
    u128 a2, b2;
    quarter(int64_t a_, int64_t b_) : a(a_), b(b_), a2((u128)a_ * a_), b2((u128)b_ * b_) {}
    // (x + 1, y - 1/2) inside: b2 (x + 1)^2 + a2 / 4 + a % 2 <= a2 (b2 - y^2 + y).
    bool inside_right(int64_t x, int64_t y) const {
        const u128 x1 = (u128)x + 1;
        return mul_add(b2, x1 * x1, a2 / 4 + (u128)(a & 1)) <= mul_add(a2, b2 - (u128)y * y + (u128)y);
    }
    // (x + 1/2, y) inside: b2 x (x + 1) + b2 / 4 + b % 2 <= a2 (b2 - y^2).
    bool inside_half(int64_t x, int64_t y) const {
        return mul_add(b2, (u128)x * (u128)(x + 1), b2 / 4 + (u128)(b & 1)) <= mul_add(a2, b2 - (u128)y * y);
    }
    bool steps_in_x(int64_t x, int64_t y) const { return inside_right(x, y) || inside_half(x, y); }
    // Where the walk leaves row y: from an estimate, the first x with no step in x.
    int64_t row_end(int64_t y) const {
        const long double d = (long double)b * b - (long double)y * y + (long double)y;
        int64_t x = (int64_t)std::clamp<long double>(std::floor((long double)a * std::sqrt(d) / b), 0, (long double)a);
        while (x > 0 && !steps_in_x(x - 1, y)) x--;
        while (x < a && steps_in_x(x, y)) x++;
        return x;
    }
};

// Calls row(y, r) for each offset y of lowest..b whose row r = base - y
// (up, sign < 0) or base + y (down) lies inside the clip box.
template <class F>
void rows_in_clip(const box& c, int64_t base, int sign, int64_t lowest, int64_t b, F&& row) {
    if (sign < 0) {
        for (int64_t r = std::max(c.top, base - b), end = std::min(c.bottom - 1, base - lowest); r <= end; r++)
            row(base - r, r);
    } else {
        for (int64_t r = std::max(c.top, base + lowest), end = std::min(c.bottom - 1, base + b); r <= end; r++)
            row(r - base, r);
    }
}

// A box with its corners ordered, and the ellipse inscribed in it.
struct ellipse_box {
    int64_t x0, y0, x1, y1, w, h, xc, yc, a, b;
    ellipse_box(int64_t ax, int64_t ay, int64_t bx, int64_t by)
        : x0(std::min(ax, bx)), y0(std::min(ay, by)), x1(std::max(ax, bx)), y1(std::max(ay, by)) {
        w = x1 - x0, h = y1 - y0;
        xc = (x0 + x1) >> 1, yc = (y0 + y1) >> 1;
        a = w >> 1, b = h >> 1;
    }
    bool thin() const { return w < 2 || h < 2; }
    // The clip box lies within 7/10 of the half-axes, well inside the shape.
    bool covers(const box& c) const {
        const int64_t k = 7 * a / 10, m = 7 * b / 10;
        return w > c.right - c.left && c.left > xc - k && c.right <= xc + k && c.top > yc - m && c.bottom <= yc + m;
    }
    bool outside(const box& c) const { return c.right <= x0 || c.left > x1 || c.bottom <= y0 || c.top > y1; }
};

// A box one or two pixels thin, row by row as spans; rows outside the clip
// box cost nothing, so only the rows inside it are visited.
int64_t thin_rows(uint8_t* target, const ellipse_box& e, int colour) {
    const box c = gfx::clip_for(cproc, target);
    int64_t cost = 0;
    for (int64_t y = std::max(e.y0, c.top), end = std::min(e.y1, c.bottom - 1); y <= end; y++)
        cost += gfx::hline64(target, e.x0, e.x1, y, colour);
    return cost;
}

int32_t fill_clip_box(uint8_t* target, const box& c, int colour) {
    return gfx::rectfill64(target, c.left, c.top, c.right, c.bottom, colour);
}

// A span or, under the inverted-fill flag, the rest of its row.
int64_t fill_row(Process* p, uint8_t* target, int64_t x0, int64_t x1, int64_t y, int colour) {
    return p->inverted_fill ? gfx::hline_inv64(target, x0, x1, y, colour) : gfx::hline64(target, x0, x1, y, colour);
}

// Segment ends beyond the 32-bit range, held at its edge. Only rows and
// columns are drawn this way, and for those the pixels inside any clip box,
// and their count, stay as they are.
int32_t edge(int64_t v) { return (int32_t)std::clamp<int64_t>(v, INT32_MIN, INT32_MAX); }

int32_t segment(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
    return draw_line(target, edge(x0), edge(y0), edge(x1), edge(y1), colour);
}

}  // namespace

gfx::ellipse_row gfx::ellipse_row_reach(int64_t a, int64_t b, int64_t y) {
    const quarter q(a, b);
    const int64_t to = q.row_end(y);
    if (y >= b) return {0, to};
    const int64_t above = q.row_end(y + 1);
    return {above + (q.inside_half(above, y) ? 1 : 0), to};
}

int32_t draw_ellipse_1(uint8_t* target, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t dx, int64_t dy,
                       int col) {
    Process* p = cproc;
    if (!target || !p || (!traceable(a, b) && (a < 1 || b < 1))) return 0;
    get_masks_shape();
    gfx::shape_pen pen;
    pen.load(p, col);
    const box c = gfx::clip_for(p, target);
    const int64_t stride = ud_width(target);
    uint8_t* data = ud_data(target);
    int64_t cost = 0;
    // Every point counts, inside the clip box or not.
    auto plot = [&](int64_t x, int64_t y) {
        cost++;
        if (x >= c.left && x < c.right && y >= c.top && y < c.bottom) pen.plot(data + y * stride + x, x, y);
    };
    if (traceable(a, b)) {
        trace(a, b, [&](int64_t x, int64_t y, bool) {
            cost++;
            plot(xc + dx + x, yc + dy + y);
            if (dy + y > 0) {
                if (dx + x > 0) plot(xc - x, yc - y);
                plot(xc + dx + x, yc - y);
            }
            if (dx + x > 0) plot(xc - x, yc + dy + y);
        });
        return ud_cost(cost);
    }
    // Too large to trace: the rows inside the clip box, each charged its
    // points (inside the clip box or not) and the work of finding them.
    auto row = [&](int64_t y, int64_t r) {
        const gfx::ellipse_row s = gfx::ellipse_row_reach(a, b, y);
        const int64_t from_left = std::max(s.from, 1 - dx);  // where the left point is drawn too
        cost += ELLIPSE_HUGE_ROW_COST + (s.to - s.from + 1) + std::max<int64_t>(0, s.to - from_left + 1);
        uint8_t* line = data + r * stride;
        for (int64_t x = std::max(s.from, c.left - xc - dx), end = std::min(s.to, c.right - 1 - xc - dx); x <= end; x++)
            pen.plot(line + xc + dx + x, xc + dx + x, r);
        for (int64_t x = std::max(from_left, xc - c.right + 1), end = std::min(s.to, xc - c.left); x <= end; x++)
            pen.plot(line + xc - x, xc - x, r);
    };
    rows_in_clip(c, yc + dy, 1, 0, b, row);
    rows_in_clip(c, yc, -1, std::max<int64_t>(0, 1 - dy), b, row);
    return ud_cost(cost);
}

int32_t fill_ellipse_1(uint8_t* target, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t dx, int64_t dy,
                       int col) {
    Process* p = cproc;
    if (!target || !p || (!traceable(a, b) && (a < 1 || b < 1))) return 0;
    int64_t cost = 0;
    if (traceable(a, b)) {
        trace(a, b, [&](int64_t x, int64_t y, bool steps_in_y) {
            cost += ELLIPSE_FILL_STEP_COST;
            if (!steps_in_y) return;
            cost += fill_row(p, target, xc - x, xc + dx + x, yc - y, col);
            if (dy + y > 0) cost += fill_row(p, target, xc - x, xc + dx + x, yc + dy + y, col);
        });
    } else {
        // Too large to trace: the rows inside the clip box, each charged its
        // span and the work of finding it.
        const quarter q(a, b);
        auto row = [&](int64_t y, int64_t r) {
            const int64_t x = q.row_end(y);
            cost += ELLIPSE_HUGE_ROW_COST + fill_row(p, target, xc - x, xc + dx + x, r, col);
        };
        const box c = gfx::clip_for(p, target);
        rows_in_clip(c, yc, -1, 0, b, row);
        rows_in_clip(c, yc + dy, 1, std::max<int64_t>(0, 1 - dy), b, row);
    }
    if (p->inverted_fill) {
        // Everything above and below the shape.
        const int64_t W = ud_width(target), H = ud_height(target);
        cost += gfx::rectfill64(target, 0, -1, W, yc - b - 1, col);
        cost += gfx::rectfill64(target, 0, yc + b + dy + 1, W - 1, H, col);
    }
    return ud_cost(cost);
}

int32_t draw_oval(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int col) {
    if (!target || !cproc) return 0;
    const ellipse_box e(x0, y0, x1, y1);
    if (e.thin()) return ud_cost(thin_rows(target, e, col));
    if (e.outside(gfx::clip_for(cproc, target))) return 0;
    return draw_ellipse_1(target, e.xc, e.yc, e.a, e.b, e.w & 1, e.h & 1, col);
}

int32_t draw_filloval(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int col) {
    Process* p = cproc;
    if (!target || !p) return 0;
    const ellipse_box e(x0, y0, x1, y1);
    const bool inverted = p->inverted_fill;
    if (e.thin()) {
        if (!inverted) return gfx::rectfill64(target, e.x0, e.y0, e.x1, e.y1, col);
        return ud_cost(gfx::fill_around(target, e.x0, e.y0, e.x1, e.y1, col));
    }
    const box c = gfx::clip_for(p, target);
    if (e.covers(c)) return inverted ? 0 : fill_clip_box(target, c, col);
    if (!inverted && e.outside(c)) return 0;
    return fill_ellipse_1(target, e.xc, e.yc, e.a, e.b, e.w & 1, e.h & 1, col);
}

int32_t draw_rrect(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t dx, int64_t dy,
                   int col) {
    if (!target || !cproc) return 0;
    const ellipse_box e(x0, y0, x1, y1);
    if (e.thin()) return ud_cost(thin_rows(target, e, col));
    const box c = gfx::clip_for(cproc, target);
    if (c.right <= e.x0 || e.x1 + dx < c.left || c.bottom <= e.y0 || e.y1 + dy < c.top) return 0;
    return draw_ellipse_1(target, e.xc, e.yc, e.a, e.b, dx, dy, col);
}

int32_t draw_rrectfill(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t dx, int64_t dy,
                       int col) {
    Process* p = cproc;
    if (!target || !p) return 0;
    const ellipse_box e(x0, y0, x1, y1);
    if (e.thin()) return ud_cost(thin_rows(target, e, col));
    const box c = gfx::clip_for(p, target);
    if (e.covers(c)) return p->inverted_fill ? 0 : fill_clip_box(target, c, col);
    if (!p->inverted_fill && (c.right <= e.x0 || c.left > e.x1 + dx || c.bottom <= e.y0 || e.y1 + dy < c.top))
        return 0;
    return fill_ellipse_1(target, e.xc, e.yc, e.a, e.b, dx, dy, col);
}

// ---------------------------------------------------------------------------
// Lua calls
// ---------------------------------------------------------------------------

namespace {

using gfx::cam;
using gfx::cam_x;
using gfx::cam_y;
using gfx::coord;

int64_t size_arg(int64_t v) { return std::clamp(v, -SHAPE_SIZE_LIMIT, SHAPE_SIZE_LIMIT); }

int64_t whole_target(Process* p, int colour) {
    uint8_t* t = p->draw_target;
    return gfx::rectfill64(t, 0, 0, (int64_t)ud_width(t) - 1, (int64_t)ud_height(t) - 1, colour);
}

int oval_call(lua_State* L, bool fill) {
    Process* p = gfx::drawing();
    if (!p || lua_gettop(L) < 4) return 0;
    const int64_t cx = cam_x(), cy = cam_y();
    const int32_t x0 = cam(coord(L, 1), cx), y0 = cam(coord(L, 2), cy);
    const int32_t x1 = cam(coord(L, 3), cx), y1 = cam(coord(L, 4), cy);
    if (fill) p->inverted_fill = 0;
    const int colour = colp(L, 5);
    if (fill) gfx::spend(draw_filloval(p->draw_target, x0, y0, x1, y1, colour) / SHAPE_COST_DIVISOR);
    else gfx::spend(draw_oval(p->draw_target, x0, y0, x1, y1, colour));
    return 0;
}

// One circle; false when nothing was drawn and nothing is to be charged.
bool circle(Process* p, bool fill, int64_t x, int64_t y, int64_t r, int colour, int64_t& cost) {
    uint8_t* t = p->draw_target;
    if (r < 0) {
        if (!fill || !p->inverted_fill) return false;
        cost = whole_target(p, colour);
        return true;
    }
    r = size_arg(r);
    cost = fill ? draw_filloval(t, x - r, y - r, x + r, y + r, colour) : draw_oval(t, x - r, y - r, x + r, y + r, colour);
    return true;
}

int circle_call(lua_State* L, bool fill) {
    Process* p = gfx::drawing();
    if (!p) return 0;
    const int64_t cx = cam_x(), cy = cam_y();
    batch_args b;
    if (batch_open(L, CIRCLE_BATCH_VALUES, b)) {
        const int64_t items = batch_run(b, [&](const double* v, int n) {
            const int64_t x = cam(n > 0 ? batch_value(v[0]) : 0, cx), y = cam(n > 1 ? batch_value(v[1]) : 0, cy);
            const int64_t r = n > 2 ? batch_value(v[2]) : CIRCLE_DEFAULT_RADIUS;
            if (fill) p->inverted_fill = 0;
            const int colour = n > 3 ? batch_colour(batch_value(v[3])) : gfx::colour_word();
            int64_t cost = 0;
            circle(p, fill, x, y, r, colour, cost);
            return cost;
        });
        gfx::spend(items * BATCH_ITEM_COST);
        if (b.cost != 0) gfx::spend(b.cost / SHAPE_COST_DIVISOR);
        return 0;
    }
    if (lua_gettop(L) < 2) return 0;
    const int32_t x = cam(coord(L, 1), cx), y = cam(coord(L, 2), cy);
    const int64_t r = hvx_intp(L, 3, CIRCLE_DEFAULT_RADIUS);
    if (fill) p->inverted_fill = 0;
    const int colour = colp(L, 4);
    int64_t cost = 0;
    if (circle(p, fill, x, y, r, colour, cost)) gfx::spend(cost / SHAPE_COST_DIVISOR);
    return 0;
}

int rrect_call(lua_State* L, bool fill) {
    Process* p = gfx::drawing();
    if (!p || lua_gettop(L) < 2) return 0;
    uint8_t* t = p->draw_target;
    const int64_t x = cam(coord(L, 1), cam_x()), y = cam(coord(L, 2), cam_y());
    const int64_t w = size_arg(hvx_intp(L, 3, 0)), h = size_arg(hvx_intp(L, 4, 0));
    const int64_t r = size_arg(hvx_intp(L, 5, 0));
    if (fill) p->inverted_fill = 0;
    const int colour = colp(L, 6);
    if (w < 1 || h < 1) {
        if (fill && p->inverted_fill) gfx::spend(whole_target(p, colour) / SHAPE_COST_DIVISOR);
        return 0;
    }
    const box c = gfx::clip_for(p, t);
    // Spans from x to x + w - 1 on the rows y0..y1 inside the clip box.
    auto rows = [&](int64_t y0, int64_t y1) {
        int64_t sum = 0;
        for (int64_t row = std::max(y0, c.top), end = std::min(y1, c.bottom - 1); row <= end; row++)
            sum += fill_row(p, t, x, x + w - 1, row, colour);
        return sum;
    };
    int64_t cost = 0;
    const int64_t rc = std::min((std::min(w, h) >> 1) - 1, r);
    if (rc >= 1) {
        const int64_t d = 2 * rc + 2, e = rc + 2, dx = w - d - 1, dy = h - d - 1;
        if (fill) {
            cost = draw_rrectfill(t, x, y, x + d, y + d, dx, dy, colour);
            cost += rows(y + e, y + h - e - 1);
        } else {
            cost = draw_rrect(t, x, y, x + d, y + d, dx, dy, colour);
            if (x + e <= x + w - e - 1) {
                cost += segment(t, x + e, y, x + w - e - 1, y, colour);
                cost += segment(t, x + e, y + h - 1, x + w - e - 1, y + h - 1, colour);
            }
            if (y + e <= y + h - e - 1) {
                cost += segment(t, x, y + e, x, y + h - e - 1, colour);
                cost += segment(t, x + w - 1, y + e, x + w - 1, y + h - e - 1, colour);
            }
        }
    } else if (fill) {
        cost = rows(y, y + h - 1);
        if (p->inverted_fill) {
            const int64_t W = ud_width(t), H = ud_height(t);
            cost += gfx::rectfill64(t, -1, -1, W, y - 1, colour);
            cost += gfx::rectfill64(t, -1, y + h, W, H, colour);
        }
    } else {
        cost = segment(t, x, y, x + w - 1, y, colour);
        if (h > 1) cost += segment(t, x, y + h - 1, x + w - 1, y + h - 1, colour);
        if (h > 2) {
            cost += segment(t, x, y + 1, x, y + h - 2, colour);
            cost += segment(t, x + w - 1, y + 1, x + w - 1, y + h - 2, colour);
        }
    }
    gfx::spend(cost / SHAPE_COST_DIVISOR);
    return 0;
}

}  // namespace

int lua54_oval(lua_State* L) { return oval_call(L, false); }
int lua54_ovalfill(lua_State* L) { return oval_call(L, true); }
int lua54_circ(lua_State* L) { return circle_call(L, false); }
int lua54_circfill(lua_State* L) { return circle_call(L, true); }
int lua54_rrect(lua_State* L) { return rrect_call(L, false); }
int lua54_rrectfill(lua_State* L) { return rrect_call(L, true); }
