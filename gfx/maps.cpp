// Maps and sprite flags: _draw_map draws a rectangle of i16 map cells as
// tiles; mget and mset read and write the current map (the i16 userdata
// mapped at the map slot); fget and fset the flag byte of each sprite number.
#include <algorithm>

#include "gfx/gfx_internal.h"
#include "lang/lang.h"

using gfx::box;

namespace {

// A tile of another size than its sprite, or transposed: one textured line
// per screen row inside the clip box (the other rows draw nothing and cost
// nothing).
int64_t tile_lines(const uint8_t* s, uint8_t* target, const box& c, int cell, int64_t x, int64_t y, int64_t tw,
                   int64_t th) {
    const double sw = ud_width(s), sh = ud_height(s);
    const bool transposed = cell & MAP_CELL_TRANSPOSE, fx = cell & SPRITE_FLIP_X, fy = cell & SPRITE_FLIP_Y;
    // Screen x follows the sprite's x, or its y when transposed.
    const double du = transposed ? sw / (double)th : sw / (double)tw, dv = transposed ? sh / (double)tw : sh / (double)th;
    int64_t cost = 0;
    for (int64_t k = std::max<int64_t>(0, c.top - y), end = std::min(th, c.bottom - y); k < end; k++) {
        const double across = (double)(fy ? th - 1 - k : k) + 0.5;
        if (transposed) {
            double va = dv / 2, vb = sh - dv / 2;
            if (fx) std::swap(va, vb);
            cost += draw_tline_sspr(s, target, x, y + k, x + tw - 1, y + k, across * du, va, across * du, vb);
        } else {
            double ua = du / 2, ub = sw - du / 2;
            if (fx) std::swap(ua, ub);
            cost += draw_tline_sspr(s, target, x, y + k, x + tw - 1, y + k, ua, across * dv, ub, across * dv);
        }
    }
    return cost;
}

// First cell and cell count on one axis, trimmed to the clip box [lo, hi):
// whole cells before lo and after hi are dropped, every cell keeping its
// place. Cells partly inside stay and are clipped when drawn.
void trim(int64_t lo, int64_t hi, int64_t start, int64_t size, int64_t& first, int64_t& cells) {
    first = lo - start > 0 ? (lo - start) / size : 0;
    const int64_t over = size * cells + start - hi;
    if (over > 0) cells -= over / size;
}

// The current map while it is still an i16 userdata (mutate may have made
// it something else since it was mapped), else none.
uint8_t* current_map(Process* p) {
    return p && p->current_map && ud_type(p->current_map) == UTYPE_I16 ? p->current_map : nullptr;
}

// The cell at (x, y) of the current map, or none.
uint8_t* map_cell(lua_State* L) {
    uint8_t* m = current_map(cproc);
    const int64_t x = hvx_intp(L, 1, 0), y = hvx_intp(L, 2, 0);
    if (!m || x < 0 || y < 0 || x >= (int64_t)ud_width(m) || y >= (int64_t)ud_height(m)) return nullptr;
    return ud_data(m) + (y * ud_width(m) + x) * 2;
}

// A size on its low 32 bits, or the default as it is.
int64_t size_or(lua_State* L, int i, int64_t def) {
    const int64_t v = hvx_intp(L, i, def);
    return v == def ? def : (int32_t)v;
}

uint32_t flag_address(lua_State* L) { return ADDR_SPRITE_FLAGS + (uint32_t)(hvx_intp(L, 1, 0) & SPRITE_INDEX_MASK); }

}  // namespace

int lua54__draw_map(lua_State* L) {
    Process* p = gfx::drawing();
    const uint8_t* map = to_typed_userdata(L, 1);
    if (!p || !map || ud_type(map) != UTYPE_I16) return 0;
    const int64_t mw = ud_width(map), mh = ud_height(map);
    int64_t mx = gfx::coord(L, 2), my = gfx::coord(L, 3);
    int64_t sx = gfx::cam(gfx::coord(L, 4), gfx::cam_x()), sy = gfx::cam(gfx::coord(L, 5), gfx::cam_y());
    int64_t w = size_or(L, 6, mw - mx), h = size_or(L, 7, mh - my);
    const int64_t layers = hvx_intp(L, 8, 0);
    const int tw0 = peek(ADDR_TILE_W), th0 = peek(ADDR_TILE_H);
    const int64_t tw = gfx::coord(L, 9, tw0 ? tw0 : TILE_SIZE_FOR_ZERO);
    const int64_t th = gfx::coord(L, 10, th0 ? th0 : TILE_SIZE_FOR_ZERO);
    // No tile size below one pixel has a picture.
    if (tw < 1 || th < 1) return 0;
    if (mx < 0) {
        w += mx, sx -= mx * tw, mx = 0;
        if (w < 1) return 0;
    }
    if (my < 0) {
        h += my, sy -= my * th, my = 0;
        if (h < 1) return 0;
    }
    if (mx >= mw || my >= mh) return 0;
    // Compared unsigned: a negative size reaches the map's edge.
    int64_t columns = std::min<uint32_t>((uint32_t)(mw - mx), (uint32_t)w);
    int64_t rows = std::min<uint32_t>((uint32_t)(mh - my), (uint32_t)h);
    if (columns < 1 || rows < 1) return 0;

    uint8_t* target = p->draw_target;
    const box c = gfx::clip_for(p, target);
    int64_t first_column, first_row;
    trim(c.left, c.right, sx, tw, first_column, columns);
    trim(c.top, c.bottom, sy, th, first_row, rows);
    const int64_t hidden = peek(ADDR_PRINT_FLAGS) & MAP_SHOW_SPRITE_0 ? -1 : 0;
    const uint8_t* cells = ud_data(map);
    int64_t sum = 0;
    for (int64_t j = first_row; j < rows; j++) {
        for (int64_t i = first_column; i < columns; i++) {
            uint16_t cell;
            std::memcpy(&cell, cells + ((my + j) * mw + mx + i) * 2, 2);
            const int64_t n = cell & SPRITE_INDEX_MASK;
            const uint8_t* s = p->sprites[n];
            if (!s || n == hidden || (layers && !(peek(ADDR_SPRITE_FLAGS + (uint32_t)n) & layers))) continue;
            const int64_t x = sx + i * tw, y = sy + j * th;
            if (ud_width(s) == tw && ud_height(s) == th && !(cell & MAP_CELL_TRANSPOSE))
                sum += draw_spr(s, target, 0, 0, (int)x, (int)y, (int)tw, (int)th, cell & SPRITE_FLIP_X,
                                cell & SPRITE_FLIP_Y);
            else
                sum += tile_lines(s, target, c, cell, x, y, tw, th);
        }
    }
    // Ranges wholly before the clip box count no cells.
    gfx::spend(std::max<int64_t>(0, columns - first_column) * std::max<int64_t>(0, rows - first_row) * MAP_CELL_COST);
    gfx::spend(sum / SHAPE_COST_DIVISOR);
    return 0;
}

int lua54_mget(lua_State* L) {
    const uint8_t* at = map_cell(L);
    if (!at) return 0;
    int16_t v;
    std::memcpy(&v, at, 2);
    lua_pushinteger(L, v);
    return 1;
}

int lua54_mset(lua_State* L) {
    uint8_t* at = map_cell(L);
    if (!at) return 0;
    const uint16_t v = (uint16_t)hvx_intp(L, 3, 0);
    std::memcpy(at, &v, 2);
    return 0;
}

int lua54_fget(lua_State* L) {
    if (!cproc) return 0;
    const uint8_t flags = peek(flag_address(L));
    if (lua_gettop(L) < 2) {
        lua_pushinteger(L, flags);
        return 1;
    }
    const int64_t bit = hvx_intp(L, 2, -1) & 31;
    lua_pushboolean(L, bit < 8 && ((flags >> bit) & 1));
    return 1;
}

int lua54_fset(lua_State* L) {
    if (!cproc) return 0;
    const uint32_t addr = flag_address(L);
    if (lua_gettop(L) < 3) {
        poke(addr, (uint8_t)hvx_intp(L, 2, 0));
        return 0;
    }
    const int64_t bit = hvx_intp(L, 2, -1) & 31;
    if (bit >= 8) return 0;
    const uint8_t flags = peek(addr);
    poke(addr, lua_toboolean(L, 3) ? (uint8_t)(flags | 1 << bit) : (uint8_t)(flags & ~(1 << bit)));
    return 0;
}
