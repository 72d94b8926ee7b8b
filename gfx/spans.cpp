// The lowest layer of the rasteriser: horizontal spans and their complement,
// single pixels and filled rectangles, all through the colour tables and masks
// of the running process.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "gfx/gfx_internal.h"

using gfx::box;
using gfx::clip_for;

namespace {

// Colour tables read straight from the four pages' storage. Entries are read
// at every pixel, so a table page that aliases the bitmap being drawn is seen
// as the earlier pixels of the span left it.
struct direct_tables {
    const uint8_t* page[COLTAB_PAGES];
    uint8_t at(uint32_t p, uint32_t i) const { return page[p][i]; }
};

// Colour tables read through the address space byte by byte: for table pages
// mapped onto a userdata shorter than a page, whose tail lives elsewhere.
struct paged_tables {
    Process* proc;
    uint8_t at(uint32_t p, uint32_t i) const {
        return hvx_peek8(proc, ADDR_COLTABS + p * COLTAB_PAGE_BYTES + i);
    }
};

bool get_direct_tables(Process* p, direct_tables& t) {
    for (uint32_t k = 0; k < COLTAB_PAGES; k++)
        if (!(t.page[k] = gfx::whole_page(p, ADDR_COLTABS + k * COLTAB_PAGE_BYTES))) return false;
    return true;
}

// One span already clipped to a..e of a row. lo and hi are the two source
// colours (colour word masked by the read mask), pat the pattern row.
struct span_args {
    uint8_t* row;
    int64_t a, e;
    uint32_t lo, hi, pat, wm, tm;
};

// Destination takes part. With OnlyPageZero the target mask is 63 and both
// sources are below 64, so the page is always 0.
template <bool OnlyPageZero, class Tables>
void span_with_dest(const span_args s, const Tables t) {
    uint8_t* row = s.row;
    const uint32_t keep = ~s.wm & 0xFF, wm = s.wm, tm = s.tm;
    auto pixel = [&](int64_t x, uint32_t src) {
        uint32_t P = row[x];
        uint32_t E;
        if constexpr (OnlyPageZero) {
            E = t.at(0, src * 64 + (P & 63));
        } else {
            uint32_t d = P & tm;
            E = t.at(((src | d) >> 6) & 3, (src & 63) * 64 + (d & 63));
        }
        row[x] = (uint8_t)((P & keep) | (E & wm));
    };
    // The source of each lane of the 8-pixel pattern, taken once; whole
    // groups of 8 then see each lane's source at a fixed place.
    uint32_t lane_src[8];
    for (int i = 0; i < 8; i++) lane_src[i] = ((s.pat >> i) & 1) ? s.hi : s.lo;
    int64_t x = s.a;
    for (; x <= s.e && (x & 7); x++) pixel(x, lane_src[x & 7]);
    for (; x + 7 <= s.e; x += 8)
        for (int i = 0; i < 8; i++) pixel(x + i, lane_src[i]);
    for (; x <= s.e; x++) pixel(x, lane_src[x & 7]);
}

// Each pattern bit of a row widened to a byte lane of 0xFF.
uint64_t pattern_lanes(uint32_t pat) {
    uint64_t m = 0;
    for (int i = 0; i < 8; i++)
        if (pat & (1u << i)) m |= (uint64_t)0xFF << (8 * i);
    return m;
}

// Destination ignored: only two results are possible, taken once.
template <class Tables>
void span_without_dest(const span_args s, const Tables t) {
    const uint32_t wm = s.wm, keep = ~wm & 0xFF;
    const uint32_t c1 = t.at((s.lo >> 6) & 3, (s.lo & 63) * 64) & wm;
    const uint32_t c2 = t.at((s.hi >> 6) & 3, (s.hi & 63) * 64) & wm;
    uint8_t* row = s.row;
    int64_t x = s.a;
    if (x > s.e) return;
    if (wm == 0xFF && (s.pat == 0 || c1 == c2)) {
        std::memset(row + x, (int)c1, (size_t)(s.e - x + 1));
        return;
    }
    const uint32_t pat = s.pat;
    for (; x <= s.e && (x & 7); x++)
        row[x] = (uint8_t)((row[x] & keep) | (((pat >> (x & 7)) & 1) ? c2 : c1));
    const uint64_t rep = 0x0101010101010101ull;
    const uint64_t lanes_mask = pattern_lanes(pat);
    const uint64_t lanes = ((c1 * rep) & ~lanes_mask) | ((c2 * rep) & lanes_mask);
    const uint64_t keep64 = keep * rep;
    for (; x + 7 <= s.e; x += 8) {
        uint64_t q;
        std::memcpy(&q, row + x, 8);
        q = (q & keep64) | lanes;
        std::memcpy(row + x, &q, 8);
    }
    for (; x <= s.e; x++)
        row[x] = (uint8_t)((row[x] & keep) | (((pat >> (x & 7)) & 1) ? c2 : c1));
}

template <class Tables>
void run_span(int path, const span_args& s, const Tables& t) {
    if (path == 1) span_with_dest<true>(s, t);
    else if (path == 2) span_with_dest<false>(s, t);
    else span_without_dest(s, t);
}

// The span routine for clipped coordinates; x0, x1 and y are checked against
// the box here (a span with x0 > x1 passes when it straddles the box).
int32_t span(uint8_t* bitmap, int64_t x0, int64_t x1, int64_t y, int colour) {
    Process* p = cproc;
    if (!bitmap || !p) return 0;
    const box b = clip_for(p, bitmap);
    if (y < b.top || y >= b.bottom || x1 < b.left || x0 >= b.right) return 0;
    const int64_t a = std::max(x0, b.left), e = std::min(x1, b.right - 1);
    get_masks_shape();
    const uint32_t W = (uint32_t)colour & (read_mask * 257u) & 0xFFFF;
    const int64_t width = ud_width(bitmap);

    span_args s;
    s.row = ud_data(bitmap) + y * width;
    s.a = a;
    s.e = e;
    s.lo = W & 0xFF;
    s.hi = W >> 8;
    s.pat = peek(ADDR_FILL_PATTERN + (uint32_t)(y & 7));
    s.wm = write_mask & 0xFF;
    s.tm = target_mask & 0xFF;

    int path;
    int64_t cost;
    if (s.tm == 63 && (W & 0xC0C0) == 0) {
        path = 1;
        cost = (e - a) / 2 + SPAN_COST_BASE;
    } else if (s.tm != 0) {
        path = 2;
        cost = (3 * (e - a)) / 4 + SPAN_COST_BASE;
    } else {
        path = 3;
        const int64_t first = (a + 7) & ~(int64_t)7, last = e & ~(int64_t)7;
        if ((width & 7) == 0 && first < last) {
            const int64_t h = first - a, g = (last - first) >> 3, t = e - last + 1;
            cost = ((h + 2 * g + t) >> 1) + SPAN_COST_BASE_GROUPED;
        } else {
            cost = ((e - a) >> 1) + SPAN_COST_BASE;
        }
    }

    if (a <= e) {
        direct_tables dt;
        if (get_direct_tables(p, dt)) run_span(path, s, dt);
        else run_span(path, s, paged_tables{p});
    }
    return ud_cost(cost);
}

// One pixel by the shape rule with the masks as loaded.
void shape_pixel(uint8_t* bitmap, int64_t x, int64_t y, int colour) {
    gfx::shape_pen pen;
    pen.load(cproc, colour);
    pen.plot(ud_data(bitmap) + y * (int64_t)ud_width(bitmap) + x, x, y);
}

bool inside_bitmap(const uint8_t* bitmap, int64_t x, int64_t y) {
    return x >= 0 && y >= 0 && x < (int64_t)ud_width(bitmap) && y < (int64_t)ud_height(bitmap);
}

// Corners ordered and clipped to the box; false when nothing is left.
bool clip_rect(const uint8_t* bitmap, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t& xs,
               int64_t& xe, int64_t& ys, int64_t& ye) {
    const box b = clip_for(cproc, bitmap);
    xs = std::max(std::min(x0, x1), b.left);
    xe = std::min(std::max(x0, x1), b.right - 1);
    ys = std::max(std::min(y0, y1), b.top);
    ye = std::min(std::max(y0, y1), b.bottom - 1);
    return xs <= xe && ys <= ye;
}

}  // namespace

int32_t draw_hline(uint8_t* bitmap, int x0, int x1, int y, int colour) {
    return span(bitmap, x0, x1, y, colour);
}

int32_t draw_hline_inv(uint8_t* bitmap, int x0, int x1, int y, int colour) {
    return gfx::hline_inv64(bitmap, x0, x1, y, colour);
}

int32_t gfx::hline64(uint8_t* bitmap, int64_t x0, int64_t x1, int64_t y, int colour) {
    return span(bitmap, x0, x1, y, colour);
}

int32_t gfx::hline_inv64(uint8_t* bitmap, int64_t x0, int64_t x1, int64_t y, int colour) {
    Process* p = cproc;
    if (!bitmap || !p) return 0;
    const box b = clip_for(p, bitmap);
    if (y < b.top || y >= b.bottom) return 0;
    const int64_t lo = std::min(x0, x1), hi = std::max(x0, x1);
    int64_t cost = 0;
    if (lo - 1 >= b.left && b.left < b.right) cost += span(bitmap, b.left, std::min(lo - 1, b.right - 1), y, colour);
    if (hi + 1 < b.right && b.left <= b.right + 1) cost += span(bitmap, std::max(b.left, hi + 1), b.right - 1, y, colour);
    return ud_cost(cost);
}

void putpixel(uint8_t* bitmap, int x, int y, int colour) {
    if (!bitmap || !cproc) return;
    const box b = clip_for(cproc, bitmap);
    if (x < b.left || x >= b.right || y < b.top || y >= b.bottom) return;
    shape_pixel(bitmap, x, y, colour);
}

void put_shape_pixel_noclip(uint8_t* bitmap, int x, int y, int colour) {
    if (!bitmap || !cproc || !inside_bitmap(bitmap, x, y)) return;
    shape_pixel(bitmap, x, y, colour);
}

void put_texture_pixel_noclip(uint8_t* bitmap, int x, int y, int pixel) {
    if (!bitmap || !cproc || !inside_bitmap(bitmap, x, y)) return;
    gfx::sprite_pen pen;
    pen.load(cproc);
    pen.plot(ud_data(bitmap) + (int64_t)y * ud_width(bitmap) + x, (uint32_t)pixel, x, y);
}

int getpixel(const uint8_t* bitmap, int x, int y) {
    if (!bitmap || !inside_bitmap(bitmap, x, y)) return 0;
    return ud_data(bitmap)[(int64_t)y * ud_width(bitmap) + x];
}

int32_t rectfill(uint8_t* bitmap, int x0, int y0, int x1, int y1, int colour) {
    return gfx::rectfill64(bitmap, x0, y0, x1, y1, colour);
}

int32_t gfx::rectfill64(uint8_t* bitmap, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int colour) {
    if (!bitmap || !cproc) return 0;
    int64_t xs, xe, ys, ye;
    clip_rect(bitmap, x0, y0, x1, y1, xs, xe, ys, ye);
    if (ye < ys) return 0;
    // Row by row exactly as single spans: the pattern row, and masks that the
    // rows drawn so far may have rewritten, are read for each row.
    int64_t cost = 0;
    for (int64_t y = ys; y <= ye; y++) cost += span(bitmap, xs, xe, y, colour);
    get_masks_shape();
    return ud_cost(cost);
}

int32_t rectfill_raw(uint8_t* bitmap, int x0, int y0, int x1, int y1, int byte) {
    if (!bitmap || !cproc) return 0;
    int64_t xs, xe, ys, ye;
    if (!clip_rect(bitmap, x0, y0, x1, y1, xs, xe, ys, ye)) return 0;
    const int64_t width = ud_width(bitmap), cols = xe - xs + 1;
    uint8_t* data = ud_data(bitmap);
    for (int64_t y = ys; y <= ye; y++) std::memset(data + y * width + xs, byte & 0xFF, (size_t)cols);
    return ud_cost((ye - ys + 1) * cols);
}

int32_t rectfill_shadow(uint8_t* bitmap, int x0, int y0, int x1, int y1) {
    if (!bitmap || !cproc) return 0;
    int64_t xs, xe, ys, ye;
    if (!clip_rect(bitmap, x0, y0, x1, y1, xs, xe, ys, ye)) return 0;
    const int64_t width = ud_width(bitmap), cols = xe - xs + 1;
    uint8_t* data = ud_data(bitmap);
    for (int64_t y = ys; y <= ye; y++) {
        uint8_t* row = data + y * width + xs;
        for (int64_t x = 0; x < cols; x++) row[x] |= 0x20;
    }
    return ud_cost((ye - ys + 1) * cols);
}
