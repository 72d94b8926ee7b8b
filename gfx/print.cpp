// The text printer: draws qzscii text glyph by glyph from a font in the
// running process's memory, interpreting the control codes on the way.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "gfx/gfx_internal.h"
#include "lang/lang.h"
#include "core/core.h"
#include "userdata/userdata.h"

int64_t print_max_x = PRINT_EXTENT_START, print_max_y = PRINT_EXTENT_START;
int32_t print_max_set = 0;
uint32_t double_px[256], pinball_px[256];
bool double_px_inited = false;

namespace {

void init_row_patterns() {
    if (double_px_inited) return;
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t d = 0, p = 0;
        for (int i = 0; i < 8; i++) {
            if (b & (1u << i)) {
                d |= 3u << (2 * i);
                p |= 1u << (2 * i + 1);
            }
        }
        double_px[b] = d;
        pinball_px[b] = p;
    }
    double_px_inited = true;
}

// Cursor arithmetic is done in 64 bits; the stored cursor saturates rather
// than wrapping round to the other side of the plane.
int64_t cur_x() { return (int32_t)hvx_peek32(cproc, ADDR_PRINT_X); }
int64_t cur_y() { return (int32_t)hvx_peek32(cproc, ADDR_PRINT_Y); }
void set_cur_x(int64_t x) { hvx_poke32(cproc, ADDR_PRINT_X, (uint32_t)hvx_sat32(x)); }
void set_cur_y(int64_t y) { hvx_poke32(cproc, ADDR_PRINT_Y, (uint32_t)hvx_sat32(y)); }

// Bytes beyond the copy read as zero, so no parameter ever reads past it.
uint8_t at(const print_context* c, int64_t i) {
    return (c->text && i >= 0 && i < c->text_size) ? c->text[i] : 0;
}

int param_digit(uint8_t b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a') return b - 87;
    return 0;
}

int hex_nibble(uint8_t b) {
    if (b >= '0' && b <= '9') return b - '0';
    if (b >= 'a' && b <= 'f') return b - 'a' + 10;
    if (b >= 'A' && b <= 'F') return b - 'A' + 10;
    return 0;
}

void charge(print_context* c, int64_t n) {
    if (n > INT32_MAX) n = INT32_MAX;
    int32_t got = spend_cpu((int32_t)n);
    if (got > 0) c->spent += got;
}

void free_text(print_context* c) {
    if (c->text) krio_free(c->text);
    c->text = nullptr;
    c->text_size = 0;
    c->pos = c->end = 0;
}

// Header bytes 0-4 of the font at c->font, as stored.
void load_font_header(print_context* c) {
    c->char_w = peek(c->font);
    c->char_w_hi = peek(c->font + 1);
    c->char_h = peek(c->font + 2);
    c->x_off = peek(c->font + 3);
    c->y_off = peek(c->font + 4);
}

uint8_t font_flags(const print_context* c) { return peek(c->font + 5); }

void note_extent() {
    int64_t x = cur_x(), y = cur_y();
    if (!print_max_set) {
        print_max_x = x;
        print_max_y = y;
    } else {
        if (x > print_max_x) print_max_x = x;
        if (y > print_max_y) print_max_y = y;
    }
    print_max_set = 1;
}

void newline(print_context* c) {
    set_cur_x(c->home_x);
    set_cur_y(cur_y() + (c->line_h ? c->line_h : c->char_h));
    c->line_h = 0;
}

void tab(print_context* c) {
    int64_t t = get_active_print_tab_w(c);
    // A zero tab width has no stops: the cursor stays.
    if (t <= 0) return;
    int64_t base = (font_flags(c) & 2) ? (int64_t)peek4(ADDR_PRINT_HOME_X) : 0;
    int64_t x = cur_x() - base + t;
    x -= x % t;
    set_cur_x(x + base);
}

// The active font (its 256 glyphs of 8 bytes) when it lies in one page
// served whole, to be read in place; else none.
const uint8_t* font_in_place(const print_context* c) {
    const uint32_t in_page = c->font & (HVX_PAGE_SIZE - 1);
    const uint8_t* page = in_page <= HVX_PAGE_SIZE - 2048 ? gfx::whole_page(cproc, c->font & HVX_ADDR_MASK) : nullptr;
    return page ? page + in_page : nullptr;
}

// The bytes of a glyph: its eight rows, width and raise, from the font in
// memory as it is now (font: the font in place, or none).
struct font_glyph {
    uint8_t rows[8];
    int w, raised;
};

void read_glyph(const print_context* c, const uint8_t* font, int ch, font_glyph& f) {
    uint8_t flags, nib = 0;
    if (font) {
        std::memcpy(f.rows, font + ch * 8, 8);
        flags = font[5];
        if (flags & 1) nib = font[ch / 2];
    } else {
        const uint32_t glyph = c->font + (uint32_t)ch * 8;
        for (int r = 0; r < 8; r++) f.rows[r] = peek(glyph + (uint32_t)r);
        flags = font_flags(c);
        if (flags & 1) nib = peek(c->font + (uint32_t)ch / 2);
    }
    f.w = ch < 128 ? c->char_w : c->char_w_hi;
    f.raised = 0;
    // codes below 16 drawn as glyphs have no nibble
    if ((flags & 1) && ch >= 16) {
        nib = (ch & 1) ? nib >> 4 : nib & 15;
        const int adj = nib & 7;
        f.w += adj < 4 ? adj : adj - 8;
        f.raised = (nib & 8) ? 1 : 0;
    }
}

// The glyph of code ch from the active font, with its width and flags.
int draw_font_glyph(print_context* c, int ch) {
    font_glyph f;
    read_glyph(c, font_in_place(c), ch, f);
    const int flags = (c->border ? GLYPH_FLAG_BORDER : 0) | (f.raised ? GLYPH_FLAG_RAISED : 0);
    return draw_character(c, f.rows, f.w, c->char_h, flags);
}

// Pokes count bytes of the text from offset from into memory at addr.
void poke_text(print_context* c, uint32_t addr, int64_t from, int64_t count) {
    for (int64_t i = 0; i < count; i++) poke(addr + (uint32_t)i, at(c, from + i));
    if (count > 0) charge(c, count);
}

// Reads up to four parameter digits as one number, never past the end of
// the text; returns the offset after them.
int64_t read_number4(const print_context* c, int64_t q, uint32_t& value) {
    value = 0;
    for (int k = 0; k < 4 && q < c->end; k++, q++) value = value * 16 + (uint32_t)param_digit(at(c, q));
    return q;
}

// The special command at offset p (the code 6 byte); returns the offset
// after the item and sets suspend when the print is to pause.
int64_t special_command(print_context* c, int64_t p, int& suspend) {
    int64_t q = p + 1;
    bool off = false;
    uint8_t cmd = at(c, q);
    if (cmd == '-') {
        off = true;
        q++;
        cmd = at(c, q);
    }
    if (cmd == 0) return q;
    q++;  // past the command byte
    const bool on = !off;
    // A one-byte parameter: its digit, consumed unless it is the terminator.
    auto param = [&](int& v) {
        uint8_t b = at(c, q);
        v = param_digit(b);
        if (b) q++;
        return b != 0;
    };
    int n = 0;
    switch (cmd) {
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        c->delay_counter = (1 << (cmd - '1')) - 1;
        suspend = 1;
        break;
    case 'c': {
        param(n);
        uint8_t* t = cproc->draw_target;
        if (t && ud_type(t) == UTYPE_U8) {
            int64_t bytes = ud_elements(t);
            std::memset(ud_data(t), n & 0xFF, (size_t)bytes);
            set_cur_x(0);
            set_cur_y(0);
            charge(c, bytes >> 6);
        }
        break;
    }
    case 'd': param(n); c->glyph_delay = n; break;
    case 'g': set_cur_x(c->home_x); set_cur_y(c->home_y); break;
    case 'h': c->home_x = cur_x(); c->home_y = cur_y(); break;
    case 'j': {
        int ny = 0;
        if (!param(n)) break;
        param(ny);
        set_cur_x((int64_t)n * 4);
        set_cur_y((int64_t)ny * 4);
        break;
    }
    case 'r': param(n); c->wrap_limit = (int64_t)n * 4; c->wrap = 1; break;
    case 's': param(n); c->tab_w = n * c->char_w; break;
    case 'x':
        param(n);
        c->char_w = n;
        c->char_w_hi = n + peek(c->font + 1) - peek(c->font);
        break;
    case 'y': param(n); c->char_h = n; break;
    case 'w': c->wide = on; break;
    case 't': c->tall = on; break;
    case '=': c->stripey = on; break;
    case 'p': c->pinball = on; break;
    case '#': c->solid = on; break;
    case 'i': c->invert = on; break;
    case 'b': c->border = on; break;
    case '$': c->wrap = on; break;
    case 'u': c->underline = on; break;
    case 'o': {
        if (off) {
            c->outline_mask = 0;
            break;
        }
        uint8_t cb = at(c, q), m1 = at(c, q + 1), m2 = at(c, q + 2);
        if (!cb || !m1 || !m2) {
            const int64_t q0 = q;
            while (q < q0 + 3 && at(c, q)) q++;
            break;
        }
        q += 3;
        if (cb == '$') c->outline_col = c->fg;
        else if (cb == '!') c->outline_col = c->fg | OUTLINE_ONLY;
        else c->outline_col = param_digit(cb) & 63;
        c->outline_mask = ((param_digit(m1) << 5) | param_digit(m2)) & 0x1FF;
        break;
    }
    case '@': {
        uint32_t addr, len;
        q = read_number4(c, q, addr);
        q = read_number4(c, q, len);
        int64_t count = c->end - q;
        if (count < 0) count = 0;
        if (count > (int64_t)len) count = len;
        poke_text(c, addr, q, count);
        q += count;
        break;
    }
    case '!': {
        uint32_t addr;
        q = read_number4(c, q, addr);
        int64_t count = c->end - q;
        poke_text(c, addr, q, count > 0 ? count : 0);
        c->finished = 1;
        return c->end;
    }
    case ':': case ';': case '.': case ',': {
        const bool hex = cmd == ':' || cmd == ';';
        const int64_t need = hex ? 16 : 8;
        // Cut short by the end of the text: only the command is consumed.
        if (q + need > c->end) break;
        uint8_t rows[8];
        for (int r = 0; r < 8; r++)
            rows[r] = hex ? (uint8_t)(hex_nibble(at(c, q + 2 * r)) << 4 | hex_nibble(at(c, q + 2 * r + 1)))
                          : at(c, q + r);
        q += need;
        int flags = (cmd == ';' || cmd == ',') && c->border ? GLYPH_FLAG_BORDER : 0;
        suspend = draw_character(c, rows, 8, 8, flags);
        break;
    }
    default: break;
    }
    return q;
}

// Horizontal run of the underline, pixel for pixel as a one-pixel line from
// x0 to x1 on row y: clipped once, then written through the shape rule.
void underline_run(uint8_t* target, int64_t x0, int64_t x1, int64_t y, int colour) {
    const int32_t* box = cproc->clip_box;
    if (!target || y < box[2] || y >= box[3]) return;
    int64_t lo = x0 < x1 ? x0 : x1, hi = x0 < x1 ? x1 : x0;
    if (lo < box[0]) lo = box[0];
    if (hi > (int64_t)box[1] - 1) hi = (int64_t)box[1] - 1;
    for (int64_t x = lo; x <= hi; x++) putpixel(target, (int)x, (int)y, colour);
}

bool box_outside_clip(int64_t x, int64_t y, int64_t w, int64_t h) {
    const int32_t* b = cproc->clip_box;
    return x < (int64_t)b[0] - w || y < (int64_t)b[2] - h || x >= b[1] || y >= b[3];
}

void end_glyph_run();
// Out of line whatever the item loop's linkage: inlined into it, the glyph
// loop shares its registers with the item loop and a screen of text runs
// 7% more instructions.
[[gnu::noinline]] bool print_plain_glyphs(print_context* c);

}  // namespace

int run_print_loop(print_context* c) {
    c->spent = 0;
    end_glyph_run();
    while (c->text && at(c, c->pos) != 0) {
        if (!print_plain_glyphs(c)) {
            int64_t before = c->pos;
            int r = mirel_print_char(c);
            int64_t moved = c->pos - before;
            charge(c, moved > 1 ? moved : 1);
            if (c->finished) break;
            if (r) return r;
        }
        if (c->spent >= PRINT_CYCLE_CEILING) return log_cut_off(CUT_OFF_PRINT), 1;
    }
    free_text(c);
    return 0;
}

int get_active_print_tab_w(const print_context* c) {
    if (c->tab_w) return c->tab_w;
    uint8_t t = peek(c->font + 6);
    if (t) return t;
    return 3 * c->char_w;
}

void reset_print_context() {
    if (!cproc || !cproc->print) return;
    print_context* c = cproc->print;
    const uint8_t a = peek(ADDR_PRINT_ATTRS);
    if (a & PRINT_ATTR_ON) {
        c->wide = (a & PRINT_ATTR_WIDE) != 0;
        c->tall = (a & PRINT_ATTR_TALL) != 0;
        c->solid = (a & PRINT_ATTR_SOLID) != 0;
        c->invert = (a & PRINT_ATTR_INVERT) != 0;
        c->border = (a & PRINT_ATTR_BORDER) != 0;
        c->stripey = (a & PRINT_ATTR_STRIPEY) != 0;
    } else {
        c->wide = c->tall = c->solid = c->invert = c->stripey = 0;
        c->border = 1;
    }
    c->pinball = 0;
    c->tab_w = 0;
    const bool alt = (a & PRINT_ATTR_ON) && (a & PRINT_ATTR_ALT_FONT);
    c->font = (uint32_t)peek(alt ? ADDR_FONT_ALT : ADDR_FONT_MAIN) * 256;
    load_font_header(c);
    if (!c->char_w && !c->char_w_hi && !c->char_h) c->char_w = c->char_w_hi = c->char_h = 8;
    const uint8_t size = peek(ADDR_PRINT_SIZE_OVR), wide = peek(ADDR_PRINT_WIDE_OVR),
                  offs = peek(ADDR_PRINT_OFFS_OVR);
    if (size & 15) c->char_w = size & 15;
    if (size >> 4) c->char_h = size >> 4;
    if (wide & 15) c->char_w_hi = wide & 15;
    if (wide >> 4) c->tab_w = ((wide >> 4) + 1) * c->char_w;
    if (offs & 15) c->x_off = offs & 15;
    if (offs >> 4) c->y_off = offs >> 4;
    c->outline_mask = 0;
    c->outline_col = 0;
    c->underline = 0;
}

namespace {

// Row bits of a w x h block at (x, y) through the shape rule, only where
// they fall inside [left, right) x [top, bottom). Plain: no pattern, target
// mask 63 and a colour below 64, so every pixel reads one table row.
enum class pen_kind { general, direct, plain };

template <pen_kind K, class Row>
void plot_rows(const gfx::shape_pen& pen, const Row* rows, uint8_t* target, int64_t x, int64_t y, int64_t r0,
               int64_t r1, uint32_t cols) {
    const int64_t stride = ud_width(target);
    const uint8_t* table_row = pen.tables[0] ? pen.tables[0] + pen.lo * 64 : nullptr;
    const uint32_t keep = pen.keep, wm = pen.wm;
    uint8_t* data = ud_data(target);
    int64_t at = (y + r0) * stride + x;  // pixel offset of the row's bit 0
    for (int64_t r = r0; r < r1; r++, at += stride) {
        for (uint32_t bits = (uint32_t)rows[r] & cols; bits; bits &= bits - 1) {
            const int64_t i = __builtin_ctz(bits);
            uint8_t* px = data + at + i;
            if constexpr (K == pen_kind::plain) {
                const uint32_t P = *px;
                *px = (uint8_t)((P & keep) | (table_row[P & 63] & wm));
            } else if constexpr (K == pen_kind::direct) {
                pen.plot_direct(px, x + i, y + r);
            } else {
                pen.plot(px, x + i, y + r);
            }
        }
    }
}

// A pen and how it may draw: plain only where the bitmap drawn cannot write
// into the draw state it reads once.
struct glyph_pen {
    gfx::shape_pen pen;
    pen_kind kind;

    // Whether bitmap lies clear of the draw state and the colour tables.
    static bool apart(const uint8_t* bitmap, const gfx::shape_pen& pen) {
        const uint8_t* lo = ud_data(bitmap);
        const uint8_t* hi = lo + ud_elements(bitmap);
        auto clear = [&](const uint8_t* page) { return !page || hi <= page || page + HVX_PAGE_SIZE <= lo; };
        return clear(pen.state) && clear(pen.tables[0]) && clear(pen.tables[1]) && clear(pen.tables[2]) &&
               clear(pen.tables[3]);
    }
    bool load(const uint8_t* bitmap, int colour) {
        pen.load(cproc, colour);
        if (!pen.direct()) {
            kind = pen_kind::general;
            return false;
        }
        uint64_t pattern;
        std::memcpy(&pattern, pen.state + 0x500, 8);
        const bool clear = apart(bitmap, pen);
        kind = clear && pattern == 0 && pen.tm == 63 && pen.lo < 64 ? pen_kind::plain : pen_kind::direct;
        return clear;
    }
};

template <class Row>
void plot_bits(const glyph_pen& g, const Row* rows, uint8_t* target, int64_t x, int64_t y, int w, int h,
               const gfx::box& b) {
    const int64_t lo = std::max<int64_t>(0, b.left - x), hi = std::min<int64_t>(w, b.right - x);
    const int64_t r0 = std::max<int64_t>(0, b.top - y), r1 = std::min<int64_t>(h, b.bottom - y);
    if (lo >= hi || r0 >= r1) return;
    const uint32_t cols = (hi >= 32 ? 0xFFFFFFFFu : (1u << hi) - 1) & ~((1u << lo) - 1);
    if (g.kind == pen_kind::plain) plot_rows<pen_kind::plain>(g.pen, rows, target, x, y, r0, r1, cols);
    else if (g.kind == pen_kind::direct) plot_rows<pen_kind::direct>(g.pen, rows, target, x, y, r0, r1, cols);
    else plot_rows<pen_kind::general>(g.pen, rows, target, x, y, r0, r1, cols);
}

void plot_bits(const uint32_t* rows, uint8_t* target, int64_t x, int64_t y, int w, int h, int colour, const gfx::box& b) {
    glyph_pen g;
    g.load(target, colour);
    plot_bits(g, rows, target, x, y, w, h, b);
}

// What the glyphs of one run share, taken at its first glyph: the pen of the
// foreground, the camera and the clip box. A control code ends the run (it
// may poke memory or change the colour), and so does a print's start or
// resumption; a target that overlaps the pages the pen reads has no run.
struct glyph_run {
    const print_context* owner = nullptr;
    const uint8_t* target = nullptr;
    int fg = -1;
    glyph_pen pen;
    int64_t cam_x = 0, cam_y = 0;
    gfx::box clip{};
} current_run;

void end_glyph_run() { current_run.owner = nullptr; }

const glyph_run& glyph_run_for(const print_context* c) {
    glyph_run& r = current_run;
    if (r.owner == c && r.target == c->target && r.fg == c->fg) return r;
    r.owner = nullptr;
    const bool keep = r.pen.load(c->target, c->fg);
    r.cam_x = (int32_t)hvx_peek32(cproc, ADDR_CAMERA_X);
    r.cam_y = (int32_t)hvx_peek32(cproc, ADDR_CAMERA_Y);
    r.clip = gfx::clip_for(cproc, c->target);
    r.target = c->target;
    r.fg = c->fg;
    if (keep) r.owner = c;
    return r;
}

}  // namespace

int32_t draw_character_bits(const uint32_t* rows, uint8_t* target, int x, int y, int w, int h, int colour) {
    if (!target || !cproc || !rows || w <= 0 || h <= 0) return 0;
    if (w > 32) w = 32;
    if (box_outside_clip(x, y, w, h)) return 0;
    plot_bits(rows, target, x, y, w, h, colour, gfx::clip_for(cproc, target));
    return w * h;
}

int32_t draw_character_bits_noclip(const uint32_t* rows, uint8_t* target, int x, int y, int w, int h,
                                   int colour) {
    if (!target || !cproc || !rows || w <= 0 || h <= 0) return 0;
    if (w > 32) w = 32;
    // Nothing outside the bitmap is written, whatever the caller passed.
    plot_bits(rows, target, x, y, w, h, colour, gfx::box{0, ud_width(target), 0, ud_height(target)});
    return w * h;
}

namespace {

// After a glyph: its charge, the cursor past it (or back where a decoration
// was asked from), the line height; 1 when a per-glyph delay suspends.
int finish_glyph(print_context* c, int64_t cost, int advance, int height) {
    charge(c, cost / 3);
    c->last_advance = advance;
    set_cur_x(cur_x() + advance);
    if (height > c->line_h) c->line_h = height;
    if (c->decoration) {
        set_cur_x(c->saved_x);
        set_cur_y(c->saved_y);
        c->decoration = 0;
    }
    if (c->glyph_delay >= 1) {
        c->delay_counter = c->glyph_delay - 1;
        return 1;
    }
    return 0;
}

}  // namespace

namespace {

// Which glyph boxes of one line the clip box takes, by the glyph's raise:
// none of them (outside), or every pixel of it (inside) once its x is in.
struct line_clip {
    bool outside[2], inside[2];
};

line_clip clip_line(int64_t y, int H, int b, int gh, const int32_t* box, const gfx::box& clip) {
    line_clip l;
    for (int raised = 0; raised < 2; raised++) {
        const int64_t y0 = y - raised;
        l.outside[raised] = y0 < (int64_t)box[2] - H || y0 >= box[3];
        l.inside[raised] = y0 + b >= clip.top && y0 + b + gh <= clip.bottom;
    }
    return l;
}

// The glyph rows (row r in byte r) at row, each pixel through one row of a
// colour table as the plain pen does; whole: every bit of the table entry
// is written.
template <bool whole>
void plot_glyph(uint8_t* row, int64_t stride, uint64_t rows, int gw, int gh, const uint8_t* table_row,
                uint32_t keep, uint32_t wm) {
    const uint32_t cols = (1u << gw) - 1;
    for (int r = 0; r < gh; r++, row += stride, rows >>= 8) {
        for (uint32_t bits = (uint32_t)rows & cols; bits; bits &= bits - 1) {
            uint8_t* px = row + __builtin_ctz(bits);
            const uint32_t P = *px;
            if constexpr (whole) *px = table_row[P & 63];
            else *px = (uint8_t)((P & keep) | (table_row[P & 63] & wm));
        }
    }
}

// A run of glyphs in the plain modes, one after another: what the item loop
// does for each of them (draw, charge, move the cursor, note the extent),
// with the cursor, extent and charge kept here until the run ends: at a
// control code or the end of the text, or once the print has spent its
// ceiling. The clip box is tested once per line, and a glyph wholly inside
// it is drawn without further tests. The font is read again for every
// glyph, as the glyph before may have drawn over it. False when the next
// item is not such a glyph.
bool print_plain_glyphs(print_context* c) {
    const int64_t start = c->pos;
    if (at(c, start) < 16 || !c->target || c->repeat || c->decoration || c->glyph_delay || c->pinball ||
        c->wide || c->tall || c->invert || c->outline_mask || c->solid || c->underline)
        return false;
    const glyph_run& g = glyph_run_for(c);
    // Without a run of its own the pen is loaded again at every glyph.
    if (g.owner != c) return false;

    const uint8_t* const font = font_in_place(c);

    // Pixel writes may alias anything a char may: everything read in the
    // loop is copied first.
    uint8_t* const target = c->target;
    uint8_t* const data = ud_data(target);
    const int64_t stride = ud_width(target);
    const glyph_pen pen = g.pen;
    const bool plain = pen.kind == pen_kind::plain;
    const uint8_t* const table_row = plain ? pen.pen.tables[0] + pen.pen.lo * 64 : nullptr;
    const uint32_t keep = pen.pen.keep, wm = pen.pen.wm;
    const bool whole = keep == 0 && wm == 0xFF;
    const gfx::box clip = g.clip;
    int32_t box[4];
    std::memcpy(box, cproc->clip_box, sizeof box);
    const int64_t cam_x = g.cam_x, cam_y = g.cam_y;
    const uint8_t* const text = c->text;
    const int64_t text_size = c->text_size, spent_before = c->spent;
    const bool wrap = c->wrap;
    const int64_t wrap_limit = c->wrap_limit, home_x = c->home_x;
    const int b = c->border ? 1 : 0;
    const int h = c->char_h, gh = h < 8 ? (h > 0 ? h : 0) : 8, H = gh + b;
    const int64_t x_off = c->x_off, y_off = c->y_off;

    int64_t x = cur_x(), y = cur_y();  // as stored: 32-bit, saturated
    int64_t max_x = print_max_x, max_y = print_max_y;
    bool max_set = print_max_set != 0;
    int64_t spent = 0, p = start;
    int line_h = c->line_h, advance = c->last_advance;
    int64_t saved_x = c->saved_x, saved_y = c->saved_y;
    int64_t line_y = y;
    line_clip lc = clip_line(y + y_off - cam_y - b, H, b, gh, box, clip);
    font_glyph f;
    for (int ch; p < text_size && (ch = text[p]) >= 16;) {
        read_glyph(c, font, ch, f);
        const int w = f.w;
        int64_t cx = x, cy = y;
        saved_x = cx;
        saved_y = cy;
        if (wrap && cx > wrap_limit - w) {
            cx = home_x;
            cy += line_h ? line_h : h;
            line_h = 0;
            x = hvx_sat32(cx);
            y = hvx_sat32(cy);
        }
        if (cy != line_y) {
            line_y = cy;
            lc = clip_line(cy + y_off - cam_y - b, H, b, gh, box, clip);
        }
        const int gw = w < 8 ? w : 8, W = gw + b;
        const int64_t x0 = cx + x_off - cam_x - b;
        int64_t cost = 0;
        if (W > 0 && H > 0 && !lc.outside[f.raised] && x0 >= (int64_t)box[0] - W && x0 < box[1]) {
            const int64_t px0 = x0 + b;
            if (plain && gw > 0 && lc.inside[f.raised] && px0 >= clip.left && px0 + gw <= clip.right) {
                uint8_t* row = data + (cy + y_off - cam_y - f.raised) * stride + px0;
                uint64_t rows;
                if constexpr (std::endian::native == std::endian::little) {
                    std::memcpy(&rows, f.rows, 8);
                } else {
                    rows = 0;
                    for (int r = 0; r < 8; r++) rows |= (uint64_t)f.rows[r] << (8 * r);
                }
                if (whole) plot_glyph<true>(row, stride, rows, gw, gh, table_row, keep, wm);
                else plot_glyph<false>(row, stride, rows, gw, gh, table_row, keep, wm);
            } else {
                plot_bits(pen, f.rows, target, px0, cy + y_off - cam_y - f.raised, gw, gh, clip);
            }
            cost = W * H;
        }
        // the glyph's charge (at least one cycle), then the item's
        spent += std::max<int64_t>(cost / 3, 1) + 1;
        advance = w;
        x = hvx_sat32(x + w);
        if (h > line_h) line_h = h;
        if (!max_set) {
            max_x = x;
            max_y = y;
            max_set = true;
        } else {
            max_x = std::max(max_x, x);
            max_y = std::max(max_y, y);
        }
        p++;
        if (spent_before + spent >= PRINT_CYCLE_CEILING) break;
    }
    set_cur_x(x);
    set_cur_y(y);
    print_max_x = max_x;
    print_max_y = max_y;
    print_max_set = 1;
    c->pos = p;
    c->line_h = line_h;
    c->last_advance = advance;
    c->saved_x = saved_x;
    c->saved_y = saved_y;
    charge(c, spent);
    return true;
}

}  // namespace

int draw_character(print_context* c, const uint8_t rows8[8], int w, int h, int flags) {
    init_row_patterns();
    int64_t cx = cur_x(), cy = cur_y();
    if (!c->decoration) {
        c->saved_x = cx;
        c->saved_y = cy;
        if (c->wrap && cx > c->wrap_limit - w) {
            cx = c->home_x;
            cy += c->line_h ? c->line_h : c->char_h;
            c->line_h = 0;
            set_cur_x(cx);
            set_cur_y(cy);
        }
    }

    const int b = flags & GLYPH_FLAG_BORDER;
    int xs = 1, ys = 1;
    bool odd_blank = false;
    const uint32_t* pattern = nullptr;  // none: the row byte as it is
    if (c->pinball) {
        xs = ys = 2;
        pattern = pinball_px;
        odd_blank = true;
    } else if (c->wide) {
        xs = 2;
        ys = c->tall ? 2 : 1;
        pattern = (c->stripey && !c->tall) ? pinball_px : double_px;
        odd_blank = c->tall && c->stripey;
    } else if (c->tall) {
        ys = 2;
        odd_blank = c->stripey;
    }
    const int advance = w * xs, height = h * ys, mx = b * xs, my = b * ys;
    const int gw = w < 8 ? w : 8, gh = h < 8 ? (h > 0 ? h : 0) : 8;
    const int W = gw * xs + mx, H = gh * ys + my;

    uint8_t* target = c->target;
    const glyph_run& g = target ? glyph_run_for(c) : current_run;
    const int64_t cam_x = target ? g.cam_x : 0, cam_y = target ? g.cam_y : 0;
    const int64_t x0 = cx + c->x_off - cam_x - mx;
    const int64_t y0 = cy + c->y_off - cam_y - my - ((flags & GLYPH_FLAG_RAISED) ? 1 : 0);
    int64_t cost = 0;

    // A glyph of no width has no box: nothing but its advance (and underline).
    if (W > 0 && H > 0 && target) {
        if (c->solid && !box_outside_clip(x0, y0, W, H))
            rectfill_raw(target, (int)x0, (int)y0, (int)(x0 + W - 1), (int)(y0 + H - 1), c->bg);

        if (!pattern && xs == 1 && ys == 1 && !c->invert && !c->outline_mask) {
            // The glyph's rows as they stand, inside the border margin.
            if (c->underline) underline_run(target, x0, x0 + w, y0 + H, c->fg);
            if (!box_outside_clip(x0, y0, W, H)) {
                plot_bits(g.pen, rows8, target, x0 + b, y0 + b, gw, gh, g.clip);
                cost += W * H;
            }
            return finish_glyph(c, cost, advance, height);
        }
        const uint32_t inv = c->invert ? ((1u << W) - 1) : 0;
        const uint32_t keep = (1u << W) - 1;
        uint32_t unscaled[9];
        unscaled[0] = inv;
        for (int r = 0; r < gh; r++) {
            uint32_t bits = pattern ? pattern[rows8[r]] : rows8[r];
            unscaled[b + r] = ((bits << (b * xs)) ^ inv) & keep;
        }
        uint32_t scaled[20];
        const uint32_t* row = unscaled;  // one glyph row a pixel row
        if (ys == 2 || odd_blank) {
            for (int k = 0; k < H; k++) scaled[k] = (odd_blank && (k & 1)) ? inv : unscaled[ys == 2 ? k >> 1 : k];
            row = scaled;
        }

        if (c->outline_mask) {
            uint32_t orow[22] = {};
            for (int k = 0; k < 9; k++) {
                if (!(c->outline_mask & (1 << k))) continue;
                const int i = k % 3, j = k / 3;
                for (int gy = 0; gy < H; gy++) orow[gy + j] |= row[gy] << i;
            }
            for (int gy = 0; gy < H; gy++) orow[gy + 1] &= ~(row[gy] << 1);
            if (!box_outside_clip(x0 - 1, y0 - 1, W + 2, H + 2)) {
                plot_bits(orow, target, x0 - 1, y0 - 1, W + 2, H + 2, c->outline_col & 0xFF, gfx::clip_for(cproc, target));
                cost += (W + 2) * (H + 2);
            }
        }
        if (c->underline) underline_run(target, x0, x0 + w, y0 + H, c->fg);
        if (!(c->outline_mask && (c->outline_col & OUTLINE_ONLY)) && !box_outside_clip(x0, y0, W, H)) {
            plot_bits(g.pen, row, target, x0, y0, W, H, g.clip);
            cost += W * H;
        }
    } else if (c->underline && target) {
        underline_run(target, x0, x0 + w, y0 + H, c->fg);
    }

    return finish_glyph(c, cost, advance, height);
}

int mirel_print_char(print_context* c) {
    if (!c || !c->text || !cproc) return 0;
    const int64_t p = c->pos;
    const uint8_t code = at(c, p);
    if (code == 0) return 0;
    const uint8_t p1 = at(c, p + 1);
    int64_t next = p + 1;
    int suspend = 0;
    bool repeatable = true;

    // Codes 1-6 whose first parameter is missing are drawn as glyphs.
    bool glyph = code >= 16 || code == 7 || (code >= 1 && code <= 6 && p1 == 0) ||
                 (code == 5 && at(c, p + 2) == 0);
    if (glyph) {
        suspend = draw_font_glyph(c, code);
    } else {
        end_glyph_run();
        switch (code) {
        case 1: {
            int n = param_digit(p1);
            next = p + 2;
            if (n >= 1) c->repeat = n - 1;
            else if (at(c, next)) next++;  // repeat zero: the next byte is skipped
            repeatable = false;
            break;
        }
        case 2: c->bg = param_digit(p1) & 63; c->solid = 1; next = p + 2; break;
        case 3: set_cur_x(cur_x() + param_digit(p1) - 16); next = p + 2; break;
        case 4: set_cur_y(cur_y() + param_digit(p1) - 16); next = p + 2; break;
        case 5:
            set_cur_x(cur_x() + param_digit(p1) - 16);
            set_cur_y(cur_y() + param_digit(at(c, p + 2)) - 16);
            next = p + 3;
            break;
        case 6: next = special_command(c, p, suspend); break;
        case 8: set_cur_x(cur_x() - c->last_advance); break;
        case 9: tab(c); break;
        case 10: newline(c); break;
        case 11: {
            int n = param_digit(p1);
            int64_t x = cur_x(), y = cur_y();
            set_cur_x(c->saved_x);
            set_cur_y(c->saved_y);
            c->saved_x = x;
            c->saved_y = y;
            c->decoration = 1;
            set_cur_x(cur_x() + (n & 3) - 2);
            set_cur_y(cur_y() + (n >> 2) - 8);
            next = p + 2;
            break;
        }
        case 12:
            c->fg = param_digit(p1) & 63;
            poke(ADDR_COLOUR_WORD, (uint8_t)c->fg);
            next = p + 2;
            break;
        case 13: set_cur_x(c->home_x); break;
        case 14:
            c->font = (uint32_t)peek(ADDR_FONT_ALT) * 256;
            load_font_header(c);
            break;
        case 15:
            c->font = (uint32_t)peek(ADDR_FONT_MAIN) * 256;
            load_font_header(c);
            break;
        default: break;
        }
    }
    if (c->finished) {
        c->pos = next;
        return 0;
    }
    note_extent();
    if (repeatable && c->repeat >= 1) c->repeat--;
    else c->pos = next;
    return suspend;
}

int print_qzscii(uint8_t* target, const char* text, int length, int flags, int colour) {
    print_max_x = print_max_y = PRINT_EXTENT_START;
    print_max_set = 0;
    if (!text || !cproc) return 0;
    if (!cproc->print) {
        cproc->print = (print_context*)krio_malloc(sizeof(print_context));
        if (!cproc->print) return 0;
        std::memset(cproc->print, 0, sizeof(print_context));
    }
    print_context* c = cproc->print;
    free_text(c);
    std::memset(c, 0, sizeof *c);
    if (length < 0) length = 0;
    const int64_t size = (int64_t)length + PRINT_TEXT_PAD;
    if (size > (int64_t)KRIO_MAX_ALLOC) return 0;
    c->text = (uint8_t*)krio_malloc((uint32_t)size);
    // Without room for the copy there is nothing to print.
    if (!c->text) return 0;
    std::memset(c->text, 0, (size_t)size);
    std::memcpy(c->text, text, (size_t)length);
    c->text_size = size;

    reset_print_context();
    // The masks are shared by every process: take this one's.
    get_masks_shape();
    c->pos = 0;
    c->end = length;
    c->wrap = (flags & PRINT_FLAG_WRAP) != 0;
    c->wrap_limit = (int64_t)peek4(ADDR_CAMERA_X) + cproc->clip_box[1];
    c->home_x = peek4(ADDR_PRINT_HOME_X);
    c->home_y = cur_y();
    c->fg = colour & 63;
    c->bg = (colour >> 8) & 63;
    c->target = target;
    c->target_is_draw_target = target == cproc->draw_target;
    c->last_advance = c->char_w;
    if (!(peek(ADDR_PRINT_FLAGS) & 4)) {
        c->text[length] = 10;
        c->text[length + 1] = 0;
    }
    return run_print_loop(c);
}

void destroy_print_buffer() {
    if (cproc && cproc->print) free_text(cproc->print);
}

void destroy_print_context(Process* p) {
    if (!p || !p->print) return;
    free_text(p->print);
    krio_free(p->print);
    p->print = nullptr;
}

int lua54__print_qzscii(lua_State* L) {
    Process* p = cproc;
    if (!p || !p->draw_target) return 0;
    const int t1 = lua_type(L, 1);
    if (t1 != LUA_TSTRING && t1 != LUA_TNUMBER) return 0;
    size_t len = 0;
    const char* text = lua_tolstring(L, 1, &len);
    if (!text) return 0;
    refresh_clip_box(p);
    get_masks_shape();

    const int n = lua_gettop(L);
    int colour_arg = 0;
    if (n == 2 || (n == 4 && lua_isnil(L, 3) && lua_isnil(L, 4))) {
        colour_arg = 2;
    } else if (n >= 3) {
        for (int i = 0; i < 2; i++) {
            const int arg = 2 + i;
            // Other types keep that coordinate.
            const int t = lua_type(L, arg);
            if (t != LUA_TNUMBER && t != LUA_TSTRING) continue;
            poke4(i == 0 ? ADDR_PRINT_X : ADDR_PRINT_Y, hvx_trunc_arg(L, arg));
        }
        colour_arg = 4;
    }
    poke4(ADDR_PRINT_HOME_X, peek4(ADDR_PRINT_X));
    if (colour_arg && lua_type(L, colour_arg) == LUA_TNUMBER) colp(L, colour_arg);

    // Lua strings may in principle exceed what one print takes.
    const int length = len > (size_t)(KRIO_MAX_ALLOC - PRINT_TEXT_PAD) ? (int)(KRIO_MAX_ALLOC - PRINT_TEXT_PAD) : (int)len;
    const int flags = peek(ADDR_PRINT_FLAGS) >= 128 ? PRINT_FLAG_WRAP : 0;
    // Every byte is read, drawn or not.
    hvx_charge_text_read((size_t)length);
    print_qzscii(p->draw_target, text, length, flags, (int16_t)peek2(ADDR_COLOUR_WORD));

    if (print_max_set) {
        lua_pushinteger(L, print_max_x);
        lua_pushinteger(L, print_max_y);
    } else {
        lua_pushinteger(L, peek4(ADDR_PRINT_X));
        lua_pushinteger(L, peek4(ADDR_PRINT_Y));
    }
    return 2;
}
