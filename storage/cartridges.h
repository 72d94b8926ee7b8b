// Cartridges: a folder tree as one file, in the ROM, text and PNG forms,
// and the entry names all three carry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/core.h"
#include "core/charges.h"
#include "storage/ram_files.h"

// Whether the n bytes at s name a cartridge entry by proper segments: none
// empty, "." or "..", and no NUL. Such a name lands at its folder's path,
// '/', and the name, exactly (an empty segment could make a "name://"
// prefix of what stands before it, and "." vanishes), so a write-back gives
// the same name again. A folder's name may end in one '/'.
inline bool entry_name_proper(const char* s, int64_t n, bool folder) {
    if (n > 0 && folder && s[n - 1] == '/') n--;
    if (n <= 0) return false;
    for (int64_t i = 0; i <= n; i++) {
        int64_t start = i;
        while (i < n && s[i] != '/') {
            if (s[i] == 0) return false;
            i++;
        }
        const int64_t len = i - start;
        if (len == 0 || (len == 1 && s[start] == '.') || (len == 2 && s[start] == '.' && s[start + 1] == '.'))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// ROM cartridges (".hvx.rom"): "hvx", version byte, u32 LE compressed size,
// one LZ4 block of the entry stream. Entry: name + NUL (a folder ends in
// '/'); a file adds its size (one byte below 255, else 255 + u32 LE) and its
// bytes. The codec functions are pure (bytes in, bytes out).
// ---------------------------------------------------------------------------

inline constexpr int ROM_VERSION = 2;
inline constexpr int ROM_LZ4_LEVEL = 9;
inline constexpr int ROM_HEADER_SIZE = 8;
inline constexpr int64_t ROM_MAX_STREAM = 64ll << 20;  // unpacked entry stream
inline constexpr int ROM_SCRATCH_KIND = 83;  // 'S'
inline constexpr int32_t ROM_STREAM_START = 65536;
inline constexpr int64_t PXA_MAX_TEXT = 65536;
inline constexpr int ROM_OPTION_NO_LABEL = 4;
inline constexpr int ROM_OPTION_LABEL_TEXT = 8;
inline constexpr int64_t ROM_TAKE_MIN = 1 << 20;  // a last entry this large keeps the unpacked stream's memory
inline constexpr int64_t ROM_SIZE_HEAD = 32768;  // block bytes read to guess the unpacked stream's size
inline constexpr int64_t ROM_ROOM_PER_BLOCK_BYTE = 4;  // most room guessed per compressed byte

enum : int {
    ROM_ENTRY_END = 0,
    ROM_ENTRY_OK = 1,
    ROM_ENTRY_BAD_NAME = -1,  // empty, or no NUL before the end
    ROM_ENTRY_DOTDOT = -2,    // a ".." segment
    ROM_ENTRY_BAD_SIZE = -3,  // size bytes cut short
    ROM_ENTRY_CUT_SHORT = -4, // fewer data bytes left than the size says
    ROM_ENTRY_BAD_LENGTH = -5, // a size of 2^31 or more (e.size holds it)
};

struct rom_entry {
    const char* name;  // NUL-terminated inside the stream
    int64_t name_len;
    int folder;
    const uint8_t* data;
    int64_t size;  // bytes at data (a cut-short entry: those that are left)
};

// Appends one entry to an entry stream. 0, or -1 when refused: an empty
// name, a NUL or ".." segment in it, or a stream that would pass
// ROM_MAX_STREAM (the stream is then unchanged).
int rom_append_entry(buffer* stream, const char* name, int folder, const uint8_t* data, int64_t len);
// Appends the header and the compressed stream to out. 0, or -1 when the
// stream is over ROM_MAX_STREAM or does not compress (out unchanged).
int rom_pack(buffer* out, const uint8_t* stream, int64_t len);
// 1 when the bytes begin with the ROM magic.
int rom_is_rom(const uint8_t* src, int64_t len);
// The entry stream of a ROM image, or none when it is not one or does not
// decompress within ROM_MAX_STREAM. consumed: header + compressed bytes.
buffer* rom_unpack(const uint8_t* src, int64_t len, int64_t* consumed);
// The bytes an LZ4 block decodes to, summed from its sequences without
// decoding them; -1 when the block is malformed or decodes to more than max.
int64_t lz4_block_size(const uint8_t* src, int64_t len, int64_t max);
// A boundary between an LZ4 block's sequences: block bytes read, stream bytes made.
struct lz4_mark {
    int64_t in, out;
};
// Reads the sequences of an LZ4 block of len bytes from the boundary *at on,
// without decoding them, until the block ends (1) or a sequence ends at or
// past stop block bytes (0); *at moves to where it stopped. -1 when the block
// is malformed there or its stream passes max bytes (*at unchanged).
int lz4_block_walk(const uint8_t* src, int64_t len, int64_t max, int64_t stop, lz4_mark* at);
// Reads the entry at *pos: ROM_ENTRY_OK (pos moved past it), ROM_ENTRY_END,
// or an error code (pos unchanged, except for ROM_ENTRY_CUT_SHORT which
// gives the bytes that are left and moves pos to the end).
int rom_next_entry(const uint8_t* stream, int64_t len, int64_t* pos, rom_entry* e);
// Decodes a legacy pxa block of src_len bytes into at most max bytes of
// text, NUL-terminated (dst holds max + 1 bytes). Returns the text length.
// *whole (when given): the block decoded to exactly its declared length,
// within its declared size, which the bytes at hand hold.
int64_t pxa_decompress(const uint8_t* src, int64_t src_len, uint8_t* dst, int64_t max, bool* whole = nullptr);
// 1 when the bytes begin with the pxa magic (0, "pxa").
int pxa_is_pxa(const uint8_t* src, int64_t len);

// Appends a ROM image of every RAM file under folder to out. 0, or -1 when
// the tree could not be read back (too large): out is then unchanged.
int write_hvx_rom_from_ram_files(buffer* out, const char* folder, int options);
// Fills the folder at path from a ROM image read from its cursor. Entry
// names carry prefix (the system ROM's are "system/..."), which is taken off:
// "system/boot.lua" with prefix "system/" lands at path + "/boot.lua"; a name
// outside the prefix is a bad entry. A pxa block or a bare text becomes
// path + "/main.lua": a pxa block counts as read whole only when it decoded
// whole, a text (up to its first NUL) only when it holds no NUL and is
// UTF-8. An image counts as whole only when its block is all there.
// keep_existing leaves files that exist. 0 when every entry was read and
// written; -1 otherwise (entries before the fault stay).
int populate_ram_folder_from_hvx_rom_buffer_ex(const char* path, const char* prefix, buffer* rom,
                                               int keep_existing);
int populate_ram_folder_from_hvx_rom_buffer(const char* path, buffer* rom);

// ---------------------------------------------------------------------------
// Text and PNG cartridges
// ---------------------------------------------------------------------------

// Text cartridges (".hvx"): a banner line, "version 2", an empty line, then
// per entry ":: path" (a folder ends in '/') and its body; ":: [eoc]" ends
// it. Text files stand as they are plus one line feed; other files as
// "b64$" lines (54 bytes, then 57 a line) or "hex$" lines (36, then 38).
inline constexpr const char* HVX_BANNER = "halvoran cartridge // https://halvoran.net";
inline constexpr const char* HVX_INFO_FILE = ".info.vyn";
inline constexpr int HVX_B64_FIRST_LINE = 54;
inline constexpr int HVX_B64_LINE = 57;
inline constexpr int HVX_HEX_FIRST_LINE = 36;
inline constexpr int HVX_HEX_LINE = 38;
inline constexpr int HVX_LINE_MAX = 1024;  // a longer encoded body line is skipped (logged)

// Appends the cartridge of every RAM file under folder; 0, or -1 when out
// could not grow (out is then as it was). Folders first, then text files,
// then the info file and the rest; each record once.
int write_hvx_from_ram_files(buffer* out, const char* folder, int hex);
// Whether a record is written as text: a lua or txt extension (or a path
// holding ".info.vyn"), no "hex$"/"b64$" or ":: " at the start, no line feed
// followed by ":: ", every byte 1..127 but 13.
int is_writeable_as_ascii(const pfile* f);
// Its two halves: the path's (not thread-safe) and the bytes' (pure).
int hvx_text_name_form(const char* path);
int hvx_text_bytes_form(const uint8_t* d, int64_t n);
// hvx_text_name_ok (paths.h): whether the text form carries an entry name.
// Fills the folder from a cartridge text (version 1 or 2): 0 when every entry
// was written where it belongs (a missing end marker only warns), -1 when an
// entry was skipped or the version is unknown.
int populate_ram_folder_from_hvx_buffer(const char* folder, buffer* text);

// PNG cartridges (".hvx.png"): a 512 x 384 picture whose bytes each carry
// 3 (R, G, B) or 2 (A) bits of the folder's ROM form, least significant
// first. Reading one back is not supported.
inline constexpr int PNG_CART_W = 512;
inline constexpr int PNG_CART_H = 384;
inline constexpr int64_t PNG_CART_PIXELS = (int64_t)PNG_CART_W * PNG_CART_H;
inline constexpr int32_t PNG_CART_MAX_ROM = 0x3FFFF;
inline constexpr int PNG_CART_ROM_OPTIONS = 28;
inline constexpr int32_t PNG_CART_ROM_START = 4096;
inline constexpr int PNG_CART_TOO_LARGE = -2;
inline constexpr const char* PNG_CART_TOO_LARGE_TEXT = "failed to store cartridge rom as png (too large)";
inline constexpr const char* PNG_CART_TEMPLATE = "/system/misc/hvx_cart.png";
inline constexpr uint8_t PNG_CART_BACKGROUND[4] = {40, 40, 48, 255};  // without a template
inline constexpr int LABEL_W = 178;
inline constexpr int LABEL_H = 20;
inline constexpr int LABEL_TEXT_COLOUR = 7;
inline constexpr int LABEL_TITLE_Y = 2;
inline constexpr int LABEL_SECOND_Y = 12;
inline constexpr int64_t LABEL_VERSION_MAX = 199;
inline constexpr int64_t LABEL_AUTHOR_MAX = 799;
inline constexpr int LABEL_PICTURE_W = 480;
inline constexpr int LABEL_PICTURE_H = 270;
inline constexpr int LABEL_PICTURE_X = 16;
inline constexpr int LABEL_PICTURE_Y = 38;
inline constexpr int LABEL_TITLE_X = 80;
inline constexpr int LABEL_TITLE_PX_Y = 326;
inline constexpr int LABEL_SECOND_PX_Y = 354;
inline constexpr uint8_t LABEL_TITLE_RGBA[4] = {208, 208, 208, 255};
inline constexpr uint8_t LABEL_TITLE_LOW_RGBA[4] = {128, 128, 128, 255};
inline constexpr uint8_t LABEL_SECOND_RGBA[4] = {144, 144, 144, 255};
extern const uint32_t label_palette[64];

// Appends the PNG cartridge of the folder: 0; PNG_CART_TOO_LARGE when its ROM
// passes PNG_CART_MAX_ROM; -1 on any other failure. out is written only on 0.
int write_hvx_png_from_ram_files(buffer* out, const char* folder);
// Spreads the ROM's bits over the picture's bytes (zero bits past its end).
void hide_rom_in_picture(uint8_t* picture, int64_t picture_bytes, const uint8_t* rom, int64_t rom_len);
// Draws title and "version by author" of an info file into the label bitmap
// with the drawer the machine installed at start (the graphics code's
// draw_label_text), and marks the label as drawn; with none it stays blank.
void extract_label_text(const buffer* info);
void set_label_text_drawer(void (*draw)(uint8_t* bitmap, const buffer* info));
// The value after key up to the next quote that is not preceded by a
// backslash, and its length; none when empty or unterminated.
const char* extract_info_str(const char* text, int64_t length, const char* key, int64_t* out_len);
uint8_t* label_bitmap_block();  // LABEL_W x LABEL_H u8 typed userdata block, none before the first label
int label_text_drawn();
void populate_ram_folder_from_hvx_png_buffer(const char* folder);
