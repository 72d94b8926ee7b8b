// Draw state: the default colour tables, the rasteriser masks, fill patterns,
// the colour argument, palette entries and the clip box.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "core/core.h"
#include "userdata/userdata.h"

uint32_t read_mask, write_mask, target_mask;

uint8_t default_coltabs[16384];
uint8_t default_indexed_pal[64];
uint32_t default_system_pal[256];

// The clip box saved by set_temporary_clipping.
static int32_t cl, cr, ct, cb;

void init_host_drawer(Process* p, uint8_t* pixels, int pixel_count, const uint32_t (&palette)[64]) {
    std::memset(p, 0, sizeof *p);
    for (int pg = 0; pg < INITIAL_PAGES; pg++) hvx_page_slow(p, (uint32_t)pg, 0);
    for (int k = 0; k * HVX_PAGE_SIZE < pixel_count; k++) {
        const int len = std::min(pixel_count - k * HVX_PAGE_SIZE, HVX_PAGE_SIZE);
        hvx_map_page(p, (int)(ADDR_DISPLAY >> HVX_PAGE_SHIFT) + k, pixels + k * HVX_PAGE_SIZE, len);
    }
    for (int i = 0; i < 64; i++) hvx_poke8(p, ADDR_REMAP + i, (uint8_t)i);
    for (int c = 0; c < 64; c++)
        for (int j = 0; j < 64; j++) hvx_poke8(p, ADDR_COLTABS + 64 * c + j, (uint8_t)c);
    for (uint32_t a = ADDR_READ_MASK; a <= ADDR_SHAPE_TARGET_MASK; a++) hvx_poke8(p, a, 0x3F);
    for (uint32_t a = ADDR_LINE_NO_LAST; a < ADDR_LINE_LAST_Y + 4; a++) hvx_poke8(p, a, 0);
    hvx_poke8(p, ADDR_FONT_MAIN, FONT_PAGE_BUILT_IN);
    hvx_poke8(p, ADDR_FONT_ALT, FONT_PAGE_ALT);
    for (uint32_t i = 0; i < ADDR_FONT_LEN; i++) hvx_poke8(p, ADDR_FONT + i, lil_font_dat[i]);
    for (int i = 0; i < 64; i++) hvx_poke32(p, ADDR_PALETTE + 4 * i, palette[i]);
}

void init_default_coltabs() {
    for (int r = 0; r < COLTAB_ROWS; r++) {
        uint8_t* row = default_coltabs + r * COLTAB_ROW_BYTES;
        for (int d = 0; d < COLTAB_ROW_BYTES; d++) {
            if (r == 0) row[d] = (uint8_t)d;                        // colour 0 keeps the destination
            else if (r < 64) row[d] = (uint8_t)(r | 0xC0);          // opaque source colour
            else row[d] = (uint8_t)((r & 0xC0) | d);                // destination tagged with the page
        }
    }
    for (int i = 0; i < 64; i++) default_indexed_pal[i] = (uint8_t)i;
    for (uint32_t i = 0; i < 256; i++) default_system_pal[i] = (i & 63) * 0x3456789Au;
}

void get_masks_shape() {
    if (!cproc) return;
    read_mask = peek(ADDR_READ_MASK);
    write_mask = peek(ADDR_WRITE_MASK);
    target_mask = peek(ADDR_SHAPE_TARGET_MASK);
}

void get_masks_sprite() {
    if (!cproc) return;
    read_mask = peek(ADDR_READ_MASK);
    write_mask = peek(ADDR_WRITE_MASK);
    target_mask = peek(ADDR_SPRITE_TARGET_MASK);
}

int32_t refill_colour_tables(Process* p) {
    if (!p) return 0;
    int32_t cost = 0;
    for (int k = 0; k < COLTAB_PAGES; k++) {
        const int pg = COLTAB_FIRST_PAGE + k;
        if (!(p->page_flags[pg] & PAGE_FLAG_COLTAB)) continue;
        // The first pages always serve a whole page (their own storage, or a
        // userdata mapped over all of it).
        if (uint8_t* page = p->page_ptr[pg]) std::memcpy(page, default_coltabs + k * COLTAB_PAGE_BYTES, COLTAB_PAGE_BYTES);
        p->page_flags[pg] &= (uint8_t)~PAGE_FLAG_COLTAB;
        cost += COLTAB_REFILL_COST;
    }
    return cost;
}

void set_palette_entry(int index, int value, int mode) {
    if (!cproc) return;
    switch (mode & 63) {
    case 0: {
        // Bits 6-7 of either argument pick the table page.
        uint32_t page = (uint32_t)(((mode | index) >> 6) & 3);
        uint32_t addr = ADDR_COLTABS + page * COLTAB_PAGE_BYTES + (uint32_t)(index & 63) * COLTAB_ROW_BYTES;
        hvx_memset((int32_t)addr, (uint8_t)((value | 0xC0) & 0xFF), COLTAB_ROW_BYTES);
        break;
    }
    case 1:
        poke(ADDR_REMAP + (uint32_t)(index & 63), (uint8_t)(value & 63));
        break;
    case 2:
        poke4(ADDR_PALETTE + 4u * (uint32_t)(index & 255), value);
        break;
    default:
        break;
    }
}

void fillp_16(int pattern) {
    if (!cproc) return;
    for (int k = 0; k < 4; k++) {
        unsigned n = ((unsigned)pattern >> (12 - 4 * k)) & 15;
        // The pattern's most significant bit is the leftmost pixel, while the
        // pattern rows hold the pixel with x & 7 = c in bit c.
        unsigned r = ((n & 1) << 3) | ((n & 2) << 1) | ((n & 4) >> 1) | ((n & 8) >> 3);
        uint8_t row = (uint8_t)(r | r << 4);
        poke(ADDR_FILL_PATTERN + (uint32_t)k, row);
        poke(ADDR_FILL_PATTERN + 4u + (uint32_t)k, row);
    }
}

int16_t set_colp(uint32_t value, uint32_t flags) {
    if (!cproc) return 0;
    poke2(ADDR_COLOUR_WORD, value & 0xFFFF);
    if (flags & COLP_FLAG_PATTERN) fillp_16((int)(value >> 16));
    if (flags & COLP_FLAG_INVERTED) cproc->inverted_fill = 1;
    return (int16_t)peek2(ADDR_COLOUR_WORD);
}

int16_t colp(lua_State* L, int arg) {
    if (!cproc) return 0;
    if (L && lua_type(L, arg) == LUA_TNUMBER) {
        uint64_t v = (uint64_t)hvx_intp(L, arg, 0);
        return set_colp((uint32_t)v, (uint32_t)(v >> 32));
    }
    return (int16_t)peek2(ADDR_COLOUR_WORD);
}

static int32_t side_limit(uint32_t side) { return side > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)side; }

void refresh_clip_box(Process* p) {
    if (!p || !p->draw_target) return;
    const uint8_t* t = p->draw_target;
    const uint32_t tw = ud_width(t), th = ud_height(t);
    const uint32_t w0 = hvx_peek32(p, ADDR_CLIP_WORDS), w1 = hvx_peek32(p, ADDR_CLIP_WORDS + 4);
    // The box depends on the target as well as the words: a new target, or
    // one reshaped in place, is a new box even under the same words.
    if (w0 == p->clip_cache[0] && w1 == p->clip_cache[1] && t == p->clip_cache_target &&
        tw == p->clip_cache_size[0] && th == p->clip_cache_size[1])
        return;
    const int32_t w = side_limit(tw), h = side_limit(th);
    const int32_t x0 = (int16_t)(w0 & 0xFFFF), y0 = (int16_t)(w0 >> 16);
    const int32_t x1 = (int16_t)(w1 & 0xFFFF), y1 = (int16_t)(w1 >> 16);
    p->clip_box[0] = x0 < 0 ? 0 : x0;
    p->clip_box[2] = y0 < 0 ? 0 : y0;
    p->clip_box[1] = x1 < w ? x1 : w;
    p->clip_box[3] = y1 < h ? y1 : h;
    p->clip_cache[0] = w0;
    p->clip_cache[1] = w1;
    p->clip_cache_target = t;
    p->clip_cache_size[0] = tw;
    p->clip_cache_size[1] = th;
}

void set_temporary_clipping(const uint8_t* bitmap) {
    if (!cproc) return;
    cl = cproc->clip_box[0];
    cr = cproc->clip_box[1];
    ct = cproc->clip_box[2];
    cb = cproc->clip_box[3];
    cproc->clip_box[0] = 0;
    cproc->clip_box[2] = 0;
    cproc->clip_box[1] = bitmap ? side_limit(ud_width(bitmap)) : 0;
    cproc->clip_box[3] = bitmap ? side_limit(ud_height(bitmap)) : 0;
}

void restore_after_temporary_clipping() {
    if (!cproc) return;
    cproc->clip_box[0] = cl;
    cproc->clip_box[1] = cr;
    cproc->clip_box[2] = ct;
    cproc->clip_box[3] = cb;
}
