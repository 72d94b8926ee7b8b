// Graphics and text: the rasteriser, text printer, capture and graphics calls.
#pragma once

#include <cstdint>
#include <string>

#include "core/core.h"
#include "core/charges.h"

struct lua_State;
struct Process;

// The draw-state fields read here are in core/address_map.h.

// Rasteriser masks, loaded from the running process's draw state by each
// drawing call (get_masks_shape for the single-pixel writers' callers).
extern uint32_t read_mask, write_mask, target_mask;

// Default colour tables (256 rows of 64), remap and system palette, rebuilt at
// every boot.
extern uint8_t default_coltabs[16384];
extern uint8_t default_indexed_pal[64];
extern uint32_t default_system_pal[256];
// Copies the default tables over each of p's colour-table pages that may
// differ from them (page flag PAGE_FLAG_COLTAB) and clears that flag; returns
// the cycle cost, COLTAB_REFILL_COST a page. A new process has all four
// pages flagged, so its first refill gives it the default tables.
int32_t refill_colour_tables(Process* p);
void set_palette_entry(int index, int value, int mode);
void fillp_16(int pattern);
// The colour argument of the drawing calls; returns the colour word as i16.
int16_t colp(lua_State* L, int arg);
int16_t set_colp(uint32_t value, uint32_t flags);
// Re-derives p's clip box from its clip words when they changed.
void refresh_clip_box(Process* p);
void set_temporary_clipping(const uint8_t* bitmap);
void restore_after_temporary_clipping();

// Spans, pixels and rectangles into a u8 typed userdata block, for the running
// process; the int32 results are cycle costs.
int32_t draw_hline(uint8_t* bitmap, int x0, int x1, int y, int colour);
int32_t draw_hline_inv(uint8_t* bitmap, int x0, int x1, int y, int colour);
void putpixel(uint8_t* bitmap, int x, int y, int colour);
void put_shape_pixel_noclip(uint8_t* bitmap, int x, int y, int colour);
void put_texture_pixel_noclip(uint8_t* bitmap, int x, int y, int pixel);
int getpixel(const uint8_t* bitmap, int x, int y);
int32_t rectfill(uint8_t* bitmap, int x0, int y0, int x1, int y1, int colour);
int32_t rectfill_raw(uint8_t* bitmap, int x0, int y0, int x1, int y1, int byte);
int32_t rectfill_shadow(uint8_t* bitmap, int x0, int y0, int x1, int y1);

// Text printer. Each process has its own print state (Process::print), freed
// with the process.
struct print_context;
void destroy_print_context(Process* p);
int lua54__print_qzscii(lua_State* L);

void init_default_coltabs();

// --- captures: screenshots, labels, GIF recordings and sound -----------------
// Run-time state of the captures, cleared at a reboot (the sound capture's
// fields change under the audio lock).
struct gfx_app_t {
    int32_t audio_capture;
    buffer* audio_capture_buf;
    int32_t gif_recording;
    int32_t gif_frames;
    int32_t screenshot_pending;
};
extern gfx_app_t gfx_app;
inline constexpr uint32_t CAPTURE_STEM_MAX = 64;
inline constexpr int32_t CAPTURE_MIN_SIZE = 16;
inline constexpr int32_t CAPTURE_MAX_SCALE = 4;
inline constexpr int32_t CAPTURE_MAX_SKIP = 32;
inline constexpr int CAPTURE_MAX_SUFFIX = 255;
inline constexpr const char* CAPTURE_FOLDER = "/desktop/host/";
inline constexpr const char* LABEL_PATH = "/ram/cart/label.qoi";
inline constexpr int GIF_PAL_WORDS = 256 + 270;  // palette words, then line selectors
// 8 bits a primary. (16 would write the same descriptor byte beside the
// global map, but spill into its "map present" bit without one.)
inline constexpr int GIF_COLOR_RES = 8;
inline constexpr uint8_t GIF_TRANSPARENT = 255;
inline constexpr uint8_t GIF_DELAY_CS = 3;
inline constexpr int32_t GIF_MAX_FRAMES = 5460;  // frames past this are not added
inline constexpr int32_t AUDIO_CAPTURE_BYTES = 1764000;  // ten seconds to begin with
inline constexpr int32_t AUDIO_CAPTURE_KIND = 97;        // 'a'
inline constexpr int32_t AUDIO_CAPTURE_BYTES_PER_SECOND = 176400;
// A sound capture ends by itself at this length, written as at its end.
inline constexpr int32_t AUDIO_CAPTURE_MAX_SECONDS = 600;
inline constexpr int32_t AUDIO_CAPTURE_MAX_BYTES = AUDIO_CAPTURE_MAX_SECONDS * AUDIO_CAPTURE_BYTES_PER_SECOND;
// A process's screenshot requests are taken at most this often (frame
// clock); one sooner is refused with SCREENSHOT_REFUSED_TEXT.
inline constexpr uint64_t SCREENSHOT_SPACING_MS = 500;
inline constexpr const char* SCREENSHOT_REFUSED_TEXT = "could not store screenshot";

// "/desktop/host/" stem ext, or with "_1" .. "_255" before ext when taken;
// empty when all are.
std::string capture_filename(const std::string& stem, const char* ext);
// Reads the running process's screenshot request; 0 when taken (the caller
// then sets gfx_app.screenshot_pending), 1 when refused: the process asked
// within SCREENSHOT_SPACING_MS of its last taken request (notified, and
// logged once per process).
int request_screenshot();
// 0 when a recording started (the caller then sets gfx_app.gif_frames = 0
// and gfx_app.gif_recording = 1); non-zero when none did, or one is running.
int gif_start();
// Ends the recording and writes (or with write 0 drops) the file; 0 when the
// file was written. The caller clears gfx_app.gif_recording.
int gif_end_ex(int write);
int gif_end();
// The buffer and flag change under the audio lock; the file is written after.
int audio_capture_start();
int audio_capture_end();  // 1 when no file was written
// Once a frame: a capture that reached AUDIO_CAPTURE_MAX_BYTES ends.
void update_audio_capture();

// Services the host platform calls (the boot screen's printer, the capture
// hooks of the compositor, the window's video-mode scale).
// Prints length bytes of text into a u8 typed userdata block at the running
// process's print cursor in colour; non-zero when a delay stopped the print or
// the ceiling cut it.
int print_qzscii(uint8_t* bitmap, const char* text, int length, int flags, int colour);
// Refreshes the running process's cached draw masks from its draw state.
void get_masks_shape();
// The built-in small font, which the machine's own drawers copy to ADDR_FONT.
extern const uint8_t lil_font_dat[ADDR_FONT_LEN];
// Makes p, a record outside the process table, a drawer of the machine's own
// (the boot screen, the cartridge label): its first pages made, the identity
// remap and colour tables, every mask open, no last line point, the built-in
// font selected, the palette set and pixel_count bytes of pixels mapped as
// its display.
void init_host_drawer(Process* p, uint8_t* pixels, int pixel_count, const uint32_t (&palette)[64]);
// Pixel scale of the video process's mode: 3 gives 2, 4 gives 3, else 1.
int video_mode_scale();
// Capture hooks, called once per composed frame before modes 3 and 4 are widened.
void update_gif_recording(const uint32_t* pal, const uint32_t* line_sel, const uint32_t* pixels);
// Also stores a screenshot whose encode (on a thread of its own) has finished.
void update_screenshot(const uint32_t* pixels);
// 1 while a screenshot is being encoded or waits to be stored.
int screenshot_encoding();

// Colour tables: four pages of 64 rows of 64 entries (source row, destination
// column); seen as one table of 256 rows, row R = page * 64 + source.
inline constexpr int COLTAB_ROW_BYTES = 64;
inline constexpr int COLTAB_ROWS = 256;
inline constexpr uint32_t COLTAB_PAGE_BYTES = 0x1000;
// High word of the colour argument: bit 0 (argument bit 32) carries a 4x4
// fill pattern in bits 16-31, bit 3 (argument bit 35) sets inverted fill.
inline constexpr uint32_t COLP_FLAG_PATTERN = 1;
inline constexpr uint32_t COLP_FLAG_INVERTED = 8;
// Loads the rasteriser masks for the sprite path (target mask from 0x550A).
void get_masks_sprite();

// ---------------------------------------------------------------------------
// Text printer
// ---------------------------------------------------------------------------

inline constexpr int PRINT_FLAG_WRAP = 16;               // print_qzscii flags bit
inline constexpr int PRINT_TEXT_PAD = 4;                 // zero bytes kept after a text copy
inline constexpr int64_t PRINT_EXTENT_START = -1000000;
// A print that has charged this much is cut: the rest of its text is not
// printed, so a text of fills and pokes cannot hold the machine for longer
// than the cycle debt a process may carry.
inline constexpr int64_t PRINT_CYCLE_CEILING = CPU_DEBT_CAP;

// Attribute bits at ADDR_PRINT_ATTRS.
enum : uint8_t {
    PRINT_ATTR_ON = 1,
    PRINT_ATTR_BORDER = 2,
    PRINT_ATTR_WIDE = 4,
    PRINT_ATTR_TALL = 8,
    PRINT_ATTR_SOLID = 16,
    PRINT_ATTR_INVERT = 32,
    PRINT_ATTR_STRIPEY = 64,
    PRINT_ATTR_ALT_FONT = 128,
};
// draw_character flag bits.
inline constexpr int GLYPH_FLAG_BORDER = 1;
inline constexpr int GLYPH_FLAG_RAISED = 8;
inline constexpr int32_t OUTLINE_ONLY = 0x10000;  // outline colour bit: glyph body not drawn

// A process's print state, cleared at the start of every print.
struct print_context {
    uint8_t* text;      // owned copy, length + PRINT_TEXT_PAD bytes, or none
    int64_t text_size;  // bytes of the copy
    int64_t pos;        // current offset into the copy
    int64_t end;        // offset of the end of the text proper
    uint32_t font;      // address of the active font header
    int32_t wrap;
    int64_t wrap_limit;
    int64_t home_x, home_y;
    int32_t fg, bg;
    uint8_t* target;
    int32_t target_is_draw_target;  // resumption follows the process's draw target
    int32_t line_h;
    int32_t delay_counter;
    int32_t wide, tall, stripey, pinball, border, solid, invert;
    int32_t char_w, char_w_hi, char_h;
    int64_t saved_x, saved_y;
    int32_t last_advance;
    int32_t tab_w;
    int32_t decoration;
    int32_t repeat;
    int32_t x_off, y_off;
    int32_t glyph_delay;
    int32_t outline_mask;
    int32_t outline_col;
    int32_t underline;
    int32_t finished;  // the '!' command ended the print
    int64_t spent;     // cycles charged since the print started or resumed
};

// Extent of the last print (valid once print_max_set).
extern int64_t print_max_x, print_max_y;
extern int32_t print_max_set;
// Row patterns: double_px[b] doubles each bit i to bits 2i, 2i+1; pinball_px[b]
// moves bit i to bit 2i + 1.
extern uint32_t double_px[256], pinball_px[256];
extern bool double_px_inited;

int mirel_print_char(print_context* c);
// Prints on from c's position until the text ends (0), a delay stops it or
// the ceiling cuts it (1). Nothing resumes a stopped print: the next print
// discards it.
int run_print_loop(print_context* c);
int draw_character(print_context* c, const uint8_t rows[8], int width, int height, int flags);
void reset_print_context();
int get_active_print_tab_w(const print_context* c);
// Row bits (bit 0 leftmost) of a w x h block, w at most 32.
int32_t draw_character_bits(const uint32_t* rows, uint8_t* target, int x, int y, int w, int h, int colour);
int32_t draw_character_bits_noclip(const uint32_t* rows, uint8_t* target, int x, int y, int w, int h,
                                   int colour);
void destroy_print_buffer();

// ---------------------------------------------------------------------------
// Lines, blits and sprites
// ---------------------------------------------------------------------------

// A one-pixel line through the shape rule, clipped exactly to the running
// process's clip box before the first pixel; returns the pixels visited
// (zero or less when the clip leaves none).
int32_t draw_line(uint8_t* bitmap, int x0, int y0, int x1, int y1, int colour);

inline constexpr int SPRITE_COUNT = 8192;
inline constexpr int64_t SPRITE_INDEX_MASK = 0x1FFF;
// Sprite number bits above the index.
inline constexpr int64_t SPRITE_FLIP_X = 0x4000;
inline constexpr int64_t SPRITE_FLIP_Y = 0x8000;
inline constexpr int64_t SPRITE_CENTRE_X = 0x10000;  // left by half the width
inline constexpr int64_t SPRITE_CENTRE_Y = 0x20000;  // up by half the height
inline constexpr int64_t SPRITE_ANCHOR_X = 0x40000;  // left by the width
inline constexpr int64_t SPRITE_ANCHOR_Y = 0x80000;  // up by the height

// Element copy between two typed userdata of one element type, clipped to
// the running process's clip box (which must lie inside dst) and to src;
// overlapping copies within one value move correctly. Returns the cost.
int64_t blit(uint8_t* src, uint8_t* dst, int sx, int sy, int dx, int dy, int w, int h);
// Clips a sprite draw in place; h becomes 0 when nothing is visible.
void clip_bitmaps(const uint8_t* src, const uint8_t* dst, int64_t& sx, int64_t& sy, int64_t& dx, int64_t& dy,
                  int64_t& w, int64_t& h);
// A u8 sprite through the sprite rule, optionally mirrored; returns the cost.
int32_t draw_spr(const uint8_t* src, uint8_t* dst, int sx, int sy, int dx, int dy, int w, int h, int flip_x,
                 int flip_y);
// The bitmap for a Lua argument: one of our typed userdata as it is (another
// userdata gives none); otherwise the sprite-table entry n & 0x1FFF for the
// integer n (default -1), with n's bits above the index stored in *flags.
uint8_t* get_sprite_p(lua_State* L, int arg, int64_t* flags);

// ---------------------------------------------------------------------------
// Graphics calls
// ---------------------------------------------------------------------------

inline constexpr int COLOUR_DEFAULT = 6;                // color() with no argument
inline constexpr uint32_t LINE_SEL_CLEAR_BYTES = 0x78;  // pal() clears the line palette choice
inline constexpr int64_t BATCH_MAX_ITEMS = 262144;

// An f64 typed userdata given in place of coordinates: items of up to K
// values from the element index first, stride apart.
struct batch_args {
    const double* data;
    int64_t first, stride, last, limit;
    int n;         // values per item (at most K; 0 or less reads none)
    int64_t cost;  // the items' summed drawing cost so far
};
// A batch ends once its items have cost this much: the process is then over
// the most cycle debt it may carry, and the host is held no longer (a batch
// of huge circles would otherwise trace for hours).
inline constexpr int64_t BATCH_COST_CEILING = 3 * (int64_t)CPU_DEBT_CAP;
// Limits that end a drawing call's work early, each logged the first time
// it cuts one of a process's calls.
enum gfx_cut_off { CUT_OFF_PRINT, CUT_OFF_BATCH };
void log_cut_off(gfx_cut_off kind);
// True when argument 1 is an f64 typed userdata (the batch form); the reader
// is then set up from arguments 2-5. Values are read straight from the
// array, so an item must not run Lua code.
bool batch_open(lua_State* L, int K, batch_args& b);
// Calls item(values, present) for every item, values pointing at the item's
// first element; values beyond present are missing; it returns the item's
// drawing cost, summed in b.cost. A negative index or the cost ceiling ends
// the batch. Returns the items done.
template <class F>
int64_t batch_run(batch_args& b, F&& item);
// One value of an item: floored, NaN as 0, saturating.
int64_t batch_value(double v);
// The colour argument from an item's value (its low and high 32 bits).
int16_t batch_colour(int64_t v);

int lua54_cls(lua_State* L);
int lua54_camera(lua_State* L);
int lua54_clip(lua_State* L);
int lua54_color(lua_State* L);
int lua54_cursor(lua_State* L);
int lua54_fillp(lua_State* L);
int lua54_pal(lua_State* L);
int lua54_palt(lua_State* L);
int lua54__set_draw_target(lua_State* L);
int lua54_pget(lua_State* L);
int lua54_pset(lua_State* L);
int lua54_rect(lua_State* L);
int lua54_rectfill(lua_State* L);
int lua54_line(lua_State* L);
int lua54_spr(lua_State* L);
int lua54_blit(lua_State* L);
// Prints the label text of a PNG cartridge's info file into bitmap (a
// LABEL_W x LABEL_H u8 typed userdata block; the first call's is kept).
struct buffer;
void draw_label_text(uint8_t* bitmap, const buffer* info);
int lua54__set_spr(lua_State* L);

template <class F>
int64_t batch_run(batch_args& b, F&& item) {
    const int64_t cap = b.limit < BATCH_MAX_ITEMS ? b.limit : BATCH_MAX_ITEMS;
    const int n = b.n < 0 ? 0 : b.n;
    int64_t done = 0;
    for (int64_t i = b.first; i >= 0 && i <= b.last && done < cap;) {
        if (b.cost > BATCH_COST_CEILING) {
            log_cut_off(CUT_OFF_BATCH);
            break;
        }
        b.cost += item(b.data + i, n);
        done++;
        // The next index, unless it would leave the 64-bit range.
        if ((b.stride > 0 && i > INT64_MAX - b.stride) || (b.stride < 0 && i < INT64_MIN - b.stride)) break;
        i += b.stride;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Ellipses, rounded rectangles, textured lines, maps and stretched sprites
// ---------------------------------------------------------------------------

// A half-axis up to this is traced whole: the tracer's 64-bit terms then
// stay far from overflow and its walk short (a few million steps at most).
// A larger shape is found row by row, only on the rows inside the clip box,
// each charged ELLIPSE_HUGE_ROW_COST beside its span (or its points).
inline constexpr int64_t ELLIPSE_MAX_AXIS = (int64_t)1 << 20;
// Sizes and radii given to the calls are taken up to this: anything larger
// reaches past every bitmap on both sides and draws the same.
inline constexpr int64_t SHAPE_SIZE_LIMIT = (int64_t)1 << 34;
inline constexpr int64_t CIRCLE_DEFAULT_RADIUS = 4;
inline constexpr int CIRCLE_BATCH_VALUES = 4;

// The ellipse with centre (xc, yc) and half-axes a, b, its right half moved
// right by dx and its lower half down by dy. Each returns its cycle cost.
int32_t draw_ellipse_1(uint8_t* target, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t dx, int64_t dy,
                       int col);
int32_t fill_ellipse_1(uint8_t* target, int64_t xc, int64_t yc, int64_t a, int64_t b, int64_t dx, int64_t dy,
                       int col);
// The ellipse inscribed in an inclusive box, corners in any order.
int32_t draw_oval(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int col);
int32_t draw_filloval(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int col);
// The corner pieces of a rounded rectangle: the box's ellipse split by dx, dy.
int32_t draw_rrect(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t dx, int64_t dy,
                   int col);
int32_t draw_rrectfill(uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t dx, int64_t dy,
                       int col);

int lua54_oval(lua_State* L);
int lua54_ovalfill(lua_State* L);
int lua54_circ(lua_State* L);
int lua54_circfill(lua_State* L);
int lua54_rrect(lua_State* L);
int lua54_rrectfill(lua_State* L);

// Textured lines (the texture window words: ADDR_TEX_WINDOW).
inline constexpr int TLINE_NO_LAST = 0x100;  // leave out the last pixel
inline constexpr int TLINE_PRESTEP = 0x200;  // sub-pixel prestep of u and v
inline constexpr int TLINE_EXACT = 0x400;    // divide by w at every pixel
inline constexpr int TLINE_SPAN = 8;         // pixels between divisions otherwise
// Textured-line coordinates are taken within +-2^40 pixels.
inline constexpr int64_t TLINE_COORD_LIMIT = (int64_t)1 << 40;
inline constexpr int TLINE_BATCH_VALUES = 12;

// An affine textured line over a u8 bitmap, u and v in texels from (tu0,
// tv0) at the first pixel to (tu1, tv1) at the last; the caller keeps them
// inside the texture (a texel outside it is taken from the nearest edge).
int32_t draw_tline_sspr(const uint8_t* tex, uint8_t* target, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                        double tu0, double tv0, double tu1, double tv1);
// A perspective textured line over a u8 bitmap or an i16 map of sprites: u,
// v and w interpolated along it, the texel at (u / w, v / w).
int32_t draw_tline3d(const uint8_t* tex, uint8_t* target, double x0, double y0, double x1, double y1, double tu0,
                     double tv0, double tu1, double tv1, double w0, double w1, int flags);
int lua54_tline3d(lua_State* L);

inline constexpr int SSPR_BATCH_VALUES = 9;
int lua54_sspr(lua_State* L);

// Maps: i16 cells naming sprites (bits 0-12), transposed (bit 13), flipped in
// x (bit 14) and y (bit 15); eight flag bits per sprite number.
inline constexpr int TILE_SIZE_FOR_ZERO = 256;
inline constexpr int MAP_SHOW_SPRITE_0 = 8;  // bit of ADDR_PRINT_FLAGS
inline constexpr int MAP_CELL_TRANSPOSE = 0x2000;
int lua54__draw_map(lua_State* L);
int lua54_mget(lua_State* L);
int lua54_mset(lua_State* L);
int lua54_fget(lua_State* L);
int lua54_fset(lua_State* L);
