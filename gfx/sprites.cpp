// Bitmap blits and sprites: raw element copies between typed userdata, u8
// sprites through the sprite rule with flips, the sprite table, and the Lua
// calls spr, blit and _set_spr.
#include <cstdio>
#include <cstring>

#include "gfx/gfx_internal.h"
#include "lang/lang.h"

namespace {

// Registry slots that keep each sprite-table entry's userdata alive while
// the table refers to it (one light key per entry).
char sprite_anchor_keys[SPRITE_COUNT];

// The mirrored part of a flipped sprite that is drawn, copied once per draw.
uint8_t* fbmp = nullptr;
int64_t fbmp_size = 0;

uint8_t* scratch(int64_t size) {
    if (size <= fbmp_size) return fbmp;
    if (size > (int64_t)KRIO_MAX_ALLOC) return nullptr;
    void* grown = krio_realloc(fbmp, (uint32_t)size);
    if (!grown) return nullptr;
    fbmp = (uint8_t*)grown;
    fbmp_size = size;
    return fbmp;
}

// The clip box of a blit must lie inside its destination.
bool blit_box_fits(const Process* p, const uint8_t* dst) {
    const char* failed = nullptr;
    int line = 0;
    if (p->clip_box[0] < 0) failed = "CLIP_L >= 0", line = __LINE__;
    else if (p->clip_box[2] < 0) failed = "CLIP_T >= 0", line = __LINE__;
    else if ((int64_t)p->clip_box[1] > (int64_t)ud_width(dst)) failed = "CLIP_R <= dest->width", line = __LINE__;
    else if ((int64_t)p->clip_box[3] > (int64_t)ud_height(dst)) failed = "CLIP_B <= dest->height", line = __LINE__;
    if (!failed) return true;
    std::printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n", failed, "gfx", line, "blit");
    return false;
}

// Sprite pixels onto the destination through the sprite rule; src_at(c, r)
// gives the source pixel of column c, row r of the clipped rectangle.
template <bool Fast, class Src>
void sprite_rows(Process* p, uint8_t* dst, int64_t dx, int64_t dy, int64_t w, int64_t h, Src src_at) {
    gfx::sprite_pen pen;
    pen.load(p);
    const int64_t stride = ud_width(dst);
    for (int64_t r = 0; r < h; r++) {
        uint8_t* row = ud_data(dst) + (dy + r) * stride + dx;
        if constexpr (Fast) {
            const uint8_t* s = src_at(0, r);
            if (const uint8_t* page0 = pen.tables[0]) {
                const uint32_t keep = pen.keep, wm = pen.wm;
                for (int64_t c = 0; c < w; c++) {
                    const uint32_t P = row[c];
                    row[c] = (uint8_t)((P & keep) | (page0[(s[c] & 63) * 64 + (P & 63)] & wm));
                }
                continue;
            }
            for (int64_t c = 0; c < w; c++) {
                const uint32_t P = row[c];
                row[c] = (uint8_t)((P & pen.keep) | (pen.entry(0, s[c], P) & pen.wm));
            }
        } else {
            const uint8_t* s = src_at(0, r);
            for (int64_t c = 0; c < w; c++) pen.plot(row + c, s[c], dx + c, dy + r);
        }
    }
}

}  // namespace

int64_t blit(uint8_t* src, uint8_t* dst, int sx_, int sy_, int dx_, int dy_, int w_, int h_) {
    Process* p = cproc;
    if (!src || !dst || !p || ((ud_type(src) ^ ud_type(dst)) & UTYPE_MASK) != 0) return 0;
    int64_t sx = sx_, sy = sy_, dx = dx_, dy = dy_, w = w_, h = h_;
    if (w < 1 || h < 1) return 0;
    const int64_t left = p->clip_box[0], right = p->clip_box[1], top = p->clip_box[2], bottom = p->clip_box[3];
    if (left > dx) w -= left - dx, sx += left - dx, dx = left;
    if (w < 1) return 0;
    if (top > dy) h -= top - dy, sy += top - dy, dy = top;
    if (h < 1) return 0;
    if (dx + w > right) w = right - dx;
    if (w < 1) return 0;
    if (dy + h > bottom) h = bottom - dy;
    if (h < 1) return 0;
    const int64_t sw = ud_width(src), sh = ud_height(src);
    if (sx < 0) w += sx, dx -= sx, sx = 0;
    if (sy < 0) h += sy, dy -= sy, sy = 0;
    if (sx + w > sw) w = sw - sx;
    if (sy + h > sh) h = sh - sy;
    if (w < 1 || h < 1) return 0;
    if (!blit_box_fits(p, dst)) return 0;

    const int64_t es = ud_elem_bytes(ud_type(src)), dw = ud_width(dst);
    auto copy_row = [&](int64_t r) {
        std::memmove(ud_data(dst) + ((dy + r) * dw + dx) * es, ud_data(src) + ((sy + r) * sw + sx) * es,
                     (size_t)(w * es));
    };
    const int64_t cost = (w + BLIT_ROW_COST) * h;
    if (src == dst && sy < dy) {
        // Upward in memory: from the last row, so no row is overwritten
        // before it is read. Within a row memmove keeps the overlap right.
        for (int64_t r = h - 1; r >= 0; r--) copy_row(r);
        return cost;
    }
    for (int64_t r = 0; r < h; r++) copy_row(r);
    return src == dst && sy == dy ? cost * BLIT_SAME_ROW_FACTOR : cost;
}

void clip_bitmaps(const uint8_t* src, const uint8_t* dst, int64_t& sx, int64_t& sy, int64_t& dx, int64_t& dy,
                  int64_t& w, int64_t& h) {
    // The clip box, kept inside the destination whatever it holds.
    const gfx::box b = gfx::clip_for(cproc, dst);
    const int64_t sw = ud_width(src), sh = ud_height(src);
    const int64_t left = b.left, right = b.right, top = b.top, bottom = b.bottom;
    if (sx < 0 || sx >= sw || sy < 0 || sy >= sh || dx >= right || dy >= bottom) {
        h = 0;
        return;
    }
    if (w + sx > sw) w = sw - sx;
    if (h + sy > sh) h = sh - sy;
    if (dx < left) w -= left - dx, sx += left - dx, dx = left;
    if (dy < top) h -= top - dy, sy += top - dy, dy = top;
    if (w + dx > right) w = right - dx;
    if (h + dy > bottom) h = bottom - dy;
}

int32_t draw_spr(const uint8_t* src, uint8_t* dst, int sx_, int sy_, int dx_, int dy_, int w_, int h_, int flip_x,
                 int flip_y) {
    Process* p = cproc;
    if (!src || !dst || !p) return 0;
    get_masks_sprite();
    int64_t sx = sx_, sy = sy_, dx = dx_, dy = dy_, w = w_, h = h_;
    clip_bitmaps(src, dst, sx, sy, dx, dy, w, h);
    if (w < 1 || h < 1) return 0;

    const int64_t sw = ud_width(src), sh = ud_height(src);
    const uint8_t* pixels = ud_data(src) + sy * sw + sx;
    int64_t pitch = sw;
    if (flip_x || flip_y) {
        // The clipped rectangle is a part of the mirrored sprite: copy just
        // that part, mirrored, and draw it as it stands.
        uint8_t* m = scratch(w * h);
        if (!m) return 0;
        for (int64_t r = 0; r < h; r++) {
            const int64_t srow = flip_y ? sh - 1 - (sy + r) : sy + r;
            const uint8_t* s = ud_data(src) + srow * sw;
            uint8_t* out = m + r * w;
            if (flip_x)
                for (int64_t c = 0; c < w; c++) out[c] = s[sw - 1 - (sx + c)];
            else
                std::memcpy(out, s + sx, (size_t)w);
        }
        pixels = m;
        pitch = w;
    }
    auto src_at = [&](int64_t c, int64_t r) { return pixels + r * pitch + c; };

    bool no_pattern = true;
    for (uint32_t k = 0; k < 8; k++) no_pattern &= peek(ADDR_FILL_PATTERN + k) == 0;
    if ((read_mask & 0xFF) == 63 && (target_mask & 0xFF) == 63 && no_pattern) {
        sprite_rows<true>(p, dst, dx, dy, w, h, src_at);
        return ud_cost(w * h / 2);
    }
    sprite_rows<false>(p, dst, dx, dy, w, h, src_at);
    return ud_cost(w * h);
}

uint8_t* get_sprite_p(lua_State* L, int arg, int64_t* flags) {
    if (flags) *flags = 0;
    const int t = lua_type(L, arg);
    if (t == LUA_TUSERDATA || t == LUA_TLIGHTUSERDATA) return to_typed_userdata(L, arg);
    const int64_t n = hvx_intp(L, arg, -1);
    if (flags) *flags = n & ~SPRITE_INDEX_MASK;
    return cproc ? cproc->sprites[n & SPRITE_INDEX_MASK] : nullptr;
}

// ---------------------------------------------------------------------------
// Lua calls
// ---------------------------------------------------------------------------

namespace {

// Top-left corner of a sprite drawn at (x, y) with the anchor bits of flags.
void anchor(const uint8_t* bm, int64_t flags, int64_t& x, int64_t& y) {
    const int64_t w = ud_width(bm), h = ud_height(bm);
    if (flags & SPRITE_CENTRE_X) x -= w >> 1;
    if (flags & SPRITE_CENTRE_Y) y -= h >> 1;
    if (flags & SPRITE_ANCHOR_X) x -= w;
    if (flags & SPRITE_ANCHOR_Y) y -= h;
}

// A whole sprite at (x, y), the coordinates taken on their low 32 bits.
int32_t whole_sprite(const uint8_t* bm, uint8_t* target, int64_t x, int64_t y, bool fx, bool fy) {
    return draw_spr(bm, target, 0, 0, (int32_t)x, (int32_t)y, (int32_t)ud_width(bm), (int32_t)ud_height(bm), fx,
                    fy);
}

}  // namespace

int lua54_spr(lua_State* L) {
    Process* p = cproc;
    if (!p || !p->draw_target) return 0;
    refresh_clip_box(p);
    uint8_t* target = p->draw_target;
    batch_args b;
    if (batch_open(L, 3, b)) {
        const int64_t items = batch_run(b, [&](const double* v, int n) -> int64_t {
            const int64_t num = n > 0 ? batch_value(v[0]) : 0;
            const uint8_t* bm = p->sprites[num & SPRITE_INDEX_MASK];
            if (!bm) return 0;
            int64_t x = n > 1 ? (int32_t)batch_value(v[1]) : 0, y = n > 2 ? (int32_t)batch_value(v[2]) : 0;
            anchor(bm, num, x, y);
            return whole_sprite(bm, target, x, y, num & SPRITE_FLIP_X, num & SPRITE_FLIP_Y);
        });
        gfx::spend(items * BATCH_ITEM_COST);
        if (b.cost != 0) gfx::spend(b.cost / SHAPE_COST_DIVISOR);
        return 0;
    }
    int64_t flags = 0;
    const uint8_t* bm = get_sprite_p(L, 1, &flags);
    if (!bm) return 0;
    const int top = lua_gettop(L);
    int64_t x = (int64_t)(int32_t)hvx_intp(L, 2, 0) - peek4(ADDR_CAMERA_X);
    int64_t y = (int64_t)(int32_t)hvx_intp(L, 3, 0) - peek4(ADDR_CAMERA_Y);
    const bool fx = (flags & SPRITE_FLIP_X) || (top > 3 && lua_toboolean(L, 4));
    const bool fy = (flags & SPRITE_FLIP_Y) || (top > 4 && lua_toboolean(L, 5));
    anchor(bm, flags, x, y);
    gfx::spend(whole_sprite(bm, target, x, y, fx, fy) / SHAPE_COST_DIVISOR);
    return 0;
}

int lua54_blit(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    // A userdata that is not one of ours is refused; anything else missing
    // means the draw target.
    uint8_t* bm[2];
    for (int i = 0; i < 2; i++) {
        const int t = lua_type(L, i + 1);
        if (t == LUA_TUSERDATA || t == LUA_TLIGHTUSERDATA) {
            if (!(bm[i] = to_typed_userdata(L, i + 1))) return 0;
        } else if (!(bm[i] = p->draw_target)) {
            return 0;
        }
    }
    uint8_t *src = bm[0], *dst = bm[1];
    const bool temporary = dst != p->draw_target;
    if (temporary) set_temporary_clipping(dst);
    else refresh_clip_box(p);
    const int sx = (int32_t)hvx_intp(L, 3, 0), sy = (int32_t)hvx_intp(L, 4, 0);
    const int dx = (int32_t)hvx_intp(L, 5, 0), dy = (int32_t)hvx_intp(L, 6, 0);
    const int w = (int32_t)hvx_intp(L, 7, ud_width(src)), h = (int32_t)hvx_intp(L, 8, ud_height(src));
    const int64_t cost = blit(src, dst, sx, sy, dx, dy, w, h);
    if (temporary) restore_after_temporary_clipping();
    gfx::spend(cost >> BLIT_CHARGE_SHIFT);
    return 0;
}

int lua54__set_spr(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    const int64_t n = hvx_intp(L, 1, 0) & SPRITE_INDEX_MASK;
    uint8_t* bm = to_typed_userdata(L, 2);
    // Held for the host while the table refers to it, where no script can
    // drop it (a raw set: no collector step, so no finalizer runs in between).
    if (bm) lua_pushvalue(L, 2);
    else lua_pushnil(L);
    if (!hvx_anchor_at(L, &sprite_anchor_keys[n]) && bm) return 0;
    p->sprites[n] = bm ? bm : get_null_sprite();
    return 0;
}
