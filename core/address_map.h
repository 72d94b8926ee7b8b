// The fixed map of a process's address space: every address a subsystem
// reads or writes at a fixed place, with its length, in one table whose
// fields the compiler checks for overlaps. Every layer reads these
// addresses, so they live in the ground.
#pragma once

#include <cstddef>
#include <cstdint>

// Address space: 24-bit addresses, 4096 pages of 4 KB.
inline constexpr uint32_t HVX_ADDR_MASK = 0xFFFFFF;
inline constexpr int HVX_PAGE_SIZE = 4096;
inline constexpr int HVX_PAGE_SHIFT = 12;
inline constexpr int HVX_PAGES = 4096;
inline constexpr int INITIAL_PAGES = 16;  // 0x0000-0xFFFF, allocated at creation

// The virtual display and the frame it is composed into.
inline constexpr int HVX_DISPLAY_W = 480;
inline constexpr int HVX_DISPLAY_H = 270;
inline constexpr int HVX_DISPLAY_PIXELS = HVX_DISPLAY_W * HVX_DISPLAY_H;

// --- capture requests (read by the capture code, written by scripts) ---
inline constexpr uint32_t ADDR_CAPTURE_BLOCK = 0x40;
inline constexpr uint32_t ADDR_CAPTURE_BLOCK_LEN = 0x60;
inline constexpr uint32_t ADDR_GIF_REQUEST = 0x40;   // x, y, width, height, scale, -, skip, silent (i16)
inline constexpr uint32_t ADDR_SHOT_REQUEST = 0x50;  // x, y, width, height, scale, label, skip, silent
inline constexpr uint32_t ADDR_CAPTURE_STEM = 0x60;

// --- the built-in font, copied here by the machine's own drawers (the boot
// screen, the cartridge label) ---
inline constexpr uint32_t ADDR_FONT = 0x4000;
inline constexpr uint32_t ADDR_FONT_LEN = 4096;

// --- the draw state: one page of fields that graphics, text, audio, input
// and the machine read ---
inline constexpr uint32_t ADDR_PALETTE = 0x5000;     // u32[256], four palettes of 64
// The draw state begins with the palette: one address, two names.
inline constexpr uint32_t ADDR_DRAW_STATE = ADDR_PALETTE;
inline constexpr uint32_t ADDR_DRAW_STATE_LEN = 0x1000;
inline constexpr uint32_t ADDR_LINE_SEL = 0x5400;    // 2 bits a line, low bits first
inline constexpr uint32_t ADDR_DISPLAY_W = 0x5478;   // i16
inline constexpr uint32_t ADDR_DISPLAY_H = 0x547A;   // i16
inline constexpr uint32_t ADDR_VIDEO_MODE = 0x547C;  // 3 = 240x135 doubled, 4 = 160x90 tripled
inline constexpr uint32_t ADDR_VIDEO_MASK = 0x547D;  // a blit of the display copies only these bits
inline constexpr uint32_t ADDR_FLAG_BYTE = 0x547F;   // bit 0: incremental collector
// The synthesizer reads its silence bit in the same flag byte: one address,
// two names.
inline constexpr uint32_t ADDR_AUDIO_FLAGS = ADDR_FLAG_BYTE;
inline constexpr uint32_t ADDR_REMAP = 0x5480;       // u8[64]
inline constexpr uint32_t ADDR_PRINT_X = 0x54F0;
inline constexpr uint32_t ADDR_PRINT_Y = 0x54F4;
inline constexpr uint32_t ADDR_PRINT_HOME_X = 0x54F8;
inline constexpr uint32_t ADDR_FILL_PATTERN = 0x5500;  // 8 rows
inline constexpr uint32_t ADDR_READ_MASK = 0x5508;
inline constexpr uint32_t ADDR_WRITE_MASK = 0x5509;
inline constexpr uint32_t ADDR_SPRITE_TARGET_MASK = 0x550A;
inline constexpr uint32_t ADDR_SHAPE_TARGET_MASK = 0x550B;
inline constexpr uint32_t ADDR_COLOUR_WORD = 0x550C;
inline constexpr uint32_t ADDR_TILE_W = 0x550E;  // default tile size, 0 meaning 256
inline constexpr uint32_t ADDR_TILE_H = 0x550F;
inline constexpr uint32_t ADDR_CAMERA_X = 0x5510;
inline constexpr uint32_t ADDR_CAMERA_Y = 0x5514;
inline constexpr uint32_t ADDR_LINE_NO_LAST = 0x551F;  // 1: line has no last point
inline constexpr uint32_t ADDR_LINE_LAST_X = 0x5520;
inline constexpr uint32_t ADDR_LINE_LAST_Y = 0x5524;
inline constexpr uint32_t ADDR_CLIP_WORDS = 0x5528;  // x0, y0, x1, y1 as i16
// Texture window words: x offset, y offset (i16), x size, y size (u16; the
// integer column or row is masked with size - 1, 0 meaning 0xFFFF).
inline constexpr uint32_t ADDR_TEX_WINDOW = 0x5530;
inline constexpr uint32_t ADDR_AUDIO_VOLUME = 0x5538;        // notes and sound effects, 64 = unity
inline constexpr uint32_t ADDR_AUDIO_MUSIC_VOLUME = 0x5539;  // music, 64 = unity
inline constexpr uint32_t ADDR_AUDIO_MIX_VOL = 0x553A;
inline constexpr uint32_t ADDR_AUDIO_BASE = 0x553C;          // << 16: instruments and tracks
inline constexpr uint32_t ADDR_AUDIO_MUSIC_BASE = 0x553D;
inline constexpr uint32_t ADDR_BUTTONS = 0x5580;     // the union bank as it was before cancelling
inline constexpr uint32_t ADDR_ALT_FONT = 0x5600;    // a script's own font, 256 glyphs of 8 bytes
inline constexpr uint32_t ADDR_ALT_FONT_LEN = 2048;
inline constexpr uint32_t ADDR_MOUSE_EVENT_SENS = 0x5F28;
inline constexpr uint32_t ADDR_MOUSE_MOVE_SENS = 0x5F29;
inline constexpr uint32_t ADDR_MOUSE_LOCK_FLAGS = 0x5F2D;
inline constexpr uint32_t ADDR_PRINT_FLAGS = 0x5F36;     // bit 2: no newline, bit 7: wrap
inline constexpr uint32_t ADDR_FONT_MAIN = 0x5F56;       // font page (x 256)
inline constexpr uint32_t ADDR_FONT_ALT = 0x5F57;
// What the font page bytes hold for each font: its address / 256.
inline constexpr uint8_t FONT_PAGE_BUILT_IN = ADDR_FONT >> 8;
inline constexpr uint8_t FONT_PAGE_ALT = ADDR_ALT_FONT >> 8;
inline constexpr uint32_t ADDR_PRINT_ATTRS = 0x5F58;
inline constexpr uint32_t ADDR_PRINT_SIZE_OVR = 0x5F59;  // low: width, high: height
inline constexpr uint32_t ADDR_PRINT_WIDE_OVR = 0x5F5A;  // low: width 128-255, high: tab
inline constexpr uint32_t ADDR_PRINT_OFFS_OVR = 0x5F5B;  // low: x offset, high: y offset
inline constexpr uint32_t ADDR_BTNP_DELAY = 0x5F5C;  // 0: 30 frames, 255: never
inline constexpr uint32_t ADDR_BTNP_PERIOD = 0x5F5D; // 0: 8 frames, 255: never

// --- colour tables and sprite flags, in the pages made at creation ---
inline constexpr uint32_t ADDR_COLTABS = 0x8000;  // 4 pages
inline constexpr int COLTAB_FIRST_PAGE = 8;
inline constexpr int COLTAB_PAGES = 4;
inline constexpr uint32_t ADDR_SPRITE_FLAGS = 0xC000;
inline constexpr uint32_t ADDR_SPRITE_FLAGS_LEN = 8192;  // a byte per sprite number

// --- above the first 64 KB ---
inline constexpr uint32_t ADDR_DISPLAY = 0x10000;
inline constexpr uint32_t ADDR_INST0_NODES = 0x40000;  // 64 bytes
inline constexpr uint32_t ADDR_INST0_WT = 0x401E0;     // 8 bytes
inline constexpr uint32_t ADDR_MAP_SLOT = 0x100000;
inline constexpr uint32_t ADDR_WAVETABLE = 0xF78000;
inline constexpr uint32_t ADDR_WAVETABLE_END = 0x1000000;

// ---------------------------------------------------------------------------
// The checked table
// ---------------------------------------------------------------------------

// A span of the address space: a field, or a block holding fields.
struct addr_span {
    uint32_t addr;
    uint32_t len;
};
// A field, and the block it must lie within (the whole space for a field of
// no block).
struct addr_field {
    addr_span span;
    addr_span block;
};

inline constexpr addr_span ADDR_SPACE_SPAN = {0, HVX_ADDR_MASK + 1};
inline constexpr addr_span ADDR_INITIAL_SPAN = {0, (uint32_t)INITIAL_PAGES * HVX_PAGE_SIZE};
inline constexpr addr_span ADDR_CAPTURE_SPAN = {ADDR_CAPTURE_BLOCK, ADDR_CAPTURE_BLOCK_LEN};
inline constexpr addr_span ADDR_DRAW_STATE_SPAN = {ADDR_DRAW_STATE, ADDR_DRAW_STATE_LEN};

constexpr bool addr_spans_overlap(addr_span a, addr_span b) {
    return (uint64_t)a.addr < (uint64_t)b.addr + b.len && (uint64_t)b.addr < (uint64_t)a.addr + a.len;
}
constexpr bool addr_span_within(addr_span inner, addr_span outer) {
    return inner.addr >= outer.addr && (uint64_t)inner.addr + inner.len <= (uint64_t)outer.addr + outer.len;
}
// True when every field has a length, lies within its block, and no two
// fields share a byte.
template <size_t N>
constexpr bool addr_fields_valid(const addr_field (&fields)[N]) {
    for (size_t i = 0; i < N; i++) {
        if (fields[i].span.len == 0 || !addr_span_within(fields[i].span, fields[i].block)) return false;
        for (size_t j = i + 1; j < N; j++)
            if (addr_spans_overlap(fields[i].span, fields[j].span)) return false;
    }
    return true;
}

// Every fixed field with its length, in address order. Aliases are left out
// (their address is listed once, under its first name).
inline constexpr addr_field ADDR_FIELDS[] = {
    {{ADDR_GIF_REQUEST, 16}, ADDR_CAPTURE_SPAN},
    {{ADDR_SHOT_REQUEST, 16}, ADDR_CAPTURE_SPAN},
    {{ADDR_CAPTURE_STEM, 64}, ADDR_CAPTURE_SPAN},
    {{ADDR_FONT, ADDR_FONT_LEN}, ADDR_INITIAL_SPAN},
    {{ADDR_PALETTE, 256 * 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_LINE_SEL, 0x78}, ADDR_DRAW_STATE_SPAN},  // 270 lines use the first 68 bytes
    {{ADDR_DISPLAY_W, 2}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_DISPLAY_H, 2}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_VIDEO_MODE, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_VIDEO_MASK, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_FLAG_BYTE, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_REMAP, 64}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_X, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_Y, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_HOME_X, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_FILL_PATTERN, 8}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_READ_MASK, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_WRITE_MASK, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_SPRITE_TARGET_MASK, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_SHAPE_TARGET_MASK, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_COLOUR_WORD, 2}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_TILE_W, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_TILE_H, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_CAMERA_X, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_CAMERA_Y, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_LINE_NO_LAST, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_LINE_LAST_X, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_LINE_LAST_Y, 4}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_CLIP_WORDS, 4 * 2}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_TEX_WINDOW, 4 * 2}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_AUDIO_VOLUME, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_AUDIO_MUSIC_VOLUME, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_AUDIO_MIX_VOL, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_AUDIO_BASE, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_AUDIO_MUSIC_BASE, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_BUTTONS, 128}, ADDR_DRAW_STATE_SPAN},  // 8 players x 16 buttons
    {{ADDR_ALT_FONT, ADDR_ALT_FONT_LEN}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_MOUSE_EVENT_SENS, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_MOUSE_MOVE_SENS, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_MOUSE_LOCK_FLAGS, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_FLAGS, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_FONT_MAIN, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_FONT_ALT, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_ATTRS, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_SIZE_OVR, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_WIDE_OVR, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_PRINT_OFFS_OVR, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_BTNP_DELAY, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_BTNP_PERIOD, 1}, ADDR_DRAW_STATE_SPAN},
    {{ADDR_COLTABS, (uint32_t)COLTAB_PAGES * HVX_PAGE_SIZE}, ADDR_INITIAL_SPAN},
    // These pages exist from creation, so reading the flags never allocates.
    {{ADDR_SPRITE_FLAGS, ADDR_SPRITE_FLAGS_LEN}, ADDR_INITIAL_SPAN},
    {{ADDR_DISPLAY, HVX_DISPLAY_PIXELS}, ADDR_SPACE_SPAN},  // a byte per pixel
    {{ADDR_INST0_NODES, 64}, ADDR_SPACE_SPAN},
    {{ADDR_INST0_WT, 8}, ADDR_SPACE_SPAN},
    // One i16 cell: a map mapped here runs on for as long as it is.
    {{ADDR_MAP_SLOT, 2}, ADDR_SPACE_SPAN},
    {{ADDR_WAVETABLE, ADDR_WAVETABLE_END - ADDR_WAVETABLE}, ADDR_SPACE_SPAN},
};

static_assert(addr_fields_valid(ADDR_FIELDS), "two fixed fields share a byte, or one leaves its block");
static_assert(addr_span_within(ADDR_CAPTURE_SPAN, ADDR_INITIAL_SPAN) &&
                  addr_span_within(ADDR_DRAW_STATE_SPAN, ADDR_INITIAL_SPAN) &&
                  !addr_spans_overlap(ADDR_CAPTURE_SPAN, ADDR_DRAW_STATE_SPAN),
              "the capture block and the draw state are separate, in the pages made at creation");
// The draw state is one page, so its fields can be read from a single page.
static_assert(ADDR_DRAW_STATE % HVX_PAGE_SIZE == 0 && ADDR_DRAW_STATE_LEN == (uint32_t)HVX_PAGE_SIZE);
static_assert(ADDR_COLTABS == (uint32_t)COLTAB_FIRST_PAGE << HVX_PAGE_SHIFT, "colour tables start a page");
static_assert(ADDR_WAVETABLE % HVX_PAGE_SIZE == 0 && ADDR_WAVETABLE_END == HVX_ADDR_MASK + 1,
              "the wavetable is whole pages up to the end of the space");
static_assert((1u << HVX_PAGE_SHIFT) == (uint32_t)HVX_PAGE_SIZE &&
                  (uint64_t)HVX_PAGES * HVX_PAGE_SIZE == (uint64_t)HVX_ADDR_MASK + 1,
              "the pages cover the address space");
