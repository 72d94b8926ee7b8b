// Lines: a 16.16 fixed-point walk from the pixel centre, clipped to the clip
// box in the line's parameter before the first pixel so that the walk itself
// never tests bounds. The textured lines walk the same way.
#include <algorithm>
#include <cstdint>

#include "gfx/gfx_internal.h"

namespace {

using i128 = __int128;

// ((num << 16) / den) >> 16 of the clip formulas: num and den are positive
// here, and 128 bits hold every intermediate exactly.
int64_t clip_step(i128 num, int64_t den) { return (int64_t)(((num * 65536) / den) >> 16); }

}  // namespace

bool gfx::clip_walk(const box& b, int64_t Sx, int64_t Sy, int64_t Ex, int64_t Ey, bool drop_last, walk& w) {
    const int64_t dx = Ex - Sx, dy = Ey - Sy;
    const int64_t n = std::max(dx < 0 ? -dx : dx, dy);
    const int64_t sx = n > 0 ? dx * 65536 / n : 0, sy = n > 0 ? dy * 65536 / n : 0;
    if (b.top > Ey || b.bottom <= Sy || (b.left > Sx && b.left > Ex) || (b.right <= Sx && b.right <= Ex)) return false;
    // A step truncated to 0 keeps that coordinate where it starts: the line
    // is then one row or column, inside the box on that axis or not at all.
    if (sx == 0 && (Sx < b.left || Sx >= b.right)) return false;
    if (sy == 0 && (Sy < b.top || Sy >= b.bottom)) return false;

    const int64_t X0 = Sx * 65536 + 32768, Y0 = Sy * 65536 + 32768;
    int64_t t0 = 0, t1 = drop_last ? n - 1 : n;
    if (sy != 0) {
        if (b.top > Sy) t0 = std::max<int64_t>(0, clip_step((i128)b.top * 65536 - Y0, sy) + 1);
        if (b.bottom <= Ey) t1 = std::min(t1, clip_step((i128)b.bottom * 65536 - Y0 - 1, sy));
    }
    if (sx != 0) {
        if (b.left > Sx) t0 = std::max(t0, clip_step((i128)b.left * 65536 - X0, sx) + 1);
        if (b.right <= Sx) t0 = std::max(t0, clip_step((i128)X0 - (i128)b.right * 65536, -sx) + 1);
        if (b.left > Ex && b.left <= Sx) t1 = std::min(t1, clip_step((i128)X0 - (i128)b.left * 65536 - 1, -sx));
        if (b.right <= Ex && b.right > Sx) t1 = std::min(t1, clip_step((i128)b.right * 65536 - X0 - 1, sx));
    }
    w.sx = sx, w.sy = sy, w.n = n;
    w.first = t0, w.last = t1;
    w.X = X0 + sx * t0, w.Y = Y0 + sy * t0;
    return true;
}

int32_t draw_line(uint8_t* bitmap, int x0, int y0, int x1, int y1, int colour) {
    Process* p = cproc;
    if (!bitmap || !p) return 0;
    int64_t Sx = x0, Sy = y0, Ex = x1, Ey = y1;
    if (y0 > y1) std::swap(Sx, Ex), std::swap(Sy, Ey);
    gfx::walk w;
    if (!gfx::clip_walk(gfx::clip_for(p, bitmap), Sx, Sy, Ex, Ey, false, w)) return 0;
    get_masks_shape();
    const int64_t count = w.count();
    if (count <= 0) return ud_cost(count);

    // The clip is exact, so every step lands inside the box; positions are
    // kept in 64 bits so that bitmaps wider than 32767 walk correctly too.
    gfx::shape_pen pen;
    pen.load(p, colour);
    const int64_t stride = ud_width(bitmap);
    uint8_t* data = ud_data(bitmap);
    int64_t X = w.X, Y = w.Y;
    for (int64_t i = 0; i < count; i++, X += w.sx, Y += w.sy) {
        const int64_t px = X >> 16, py = Y >> 16;
        pen.plot(data + py * stride + px, px, py);
    }
    return ud_cost(count);
}
