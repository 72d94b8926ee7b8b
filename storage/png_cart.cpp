// PNG cartridges (".hvx.png"): a labelled picture of a cartridge that hides
// the ROM form of the folder in the low bits of its pixels. The label text is
// drawn by a private label process through the ordinary text printer.
#include "storage/storage.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "storage/storage_internal.h"
#include "userdata/userdata.h"

static_assert(PNG_CART_PIXELS * 11 >= (int64_t)PNG_CART_MAX_ROM * 8, "the picture holds the largest ROM");

const uint32_t label_palette[64] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x134284, 0x135FC6, 0x922D95, 0x125359, 0x742F29, 0x492D38, 0xA28879, 0xFFACC5,
    0xC3004C, 0xEB6B00, 0x90F642, 0x00B251, 0x83EBF5, 0xBD9ADF, 0xE40DAB, 0xFF856D,
};

static uint8_t* label_bitmap;  // typed userdata block, LABEL_W x LABEL_H
static bool label_drawn = false;
static void (*label_text_drawer)(uint8_t* bitmap, const buffer* info) = nullptr;

void set_label_text_drawer(void (*draw)(uint8_t* bitmap, const buffer* info)) { label_text_drawer = draw; }
uint8_t* label_bitmap_block() { return label_bitmap; }
int label_text_drawn() { return label_drawn ? 1 : 0; }

static void init_label_bitmap() {
    if (label_bitmap) return;
    label_bitmap = (uint8_t*)std::calloc(1, UD_HEADER_SIZE + LABEL_W * LABEL_H);
    if (label_bitmap) ud_write_header(label_bitmap, UTYPE_U8, 2, LABEL_W, LABEL_H);
}

const char* extract_info_str(const char* text, int64_t length, const char* key, int64_t* out_len) {
    if (out_len) *out_len = 0;
    if (!text || !key || length <= 0) return nullptr;
    size_t kl = strlen(key);
    const char* at = (const char*)memmem(text, (size_t)length, key, kl);
    if (!at) return nullptr;
    const char* v = at + kl;
    const char* end = text + length;
    for (const char* c = v; c < end; c++) {
        if (*c == '\\' && c + 1 < end && c[1] == '"') {
            c++;
            continue;
        }
        if (*c != '"') continue;
        if (c == v) return nullptr;
        if (out_len) *out_len = c - v;
        return v;
    }
    return nullptr;
}

void extract_label_text(const buffer* info) {
    init_label_bitmap();
    if (!label_bitmap || !info || !info->data || !label_text_drawer) return;
    label_text_drawer(label_bitmap, info);
    label_drawn = true;
}

// Reads a picture of exactly w x h from a file as RGBA; none otherwise.
static host_pixels read_picture(const std::string& path, unsigned w, unsigned h, bool qoi) {
    buffer* bytes = pfile_read_all(path.c_str(), "rb");
    if (!bytes) return nullptr;
    scoped_buffer own(bytes);
    uint8_t* px = nullptr;
    if (qoi) {
        qoi_desc d;
        if (qoi_read_header(bytes->data, bytes->length, &d) && d.width == w && d.height == h)
            px = qoi_decode(bytes->data, bytes->length, &d, 4);
    } else {
        unsigned pw = 0, ph = 0;
        if (png_read_header(bytes->data, bytes->length, &pw, &ph) == 0 && pw == w && ph == h) {
            if (LodePNG_decode32_pbuffer(&px, &pw, &ph, bytes) != 0 || pw != w || ph != h) {
                std::free(px);
                px = nullptr;
            }
        }
    }
    return host_pixels(px);
}

void hide_rom_in_picture(uint8_t* picture, int64_t picture_bytes, const uint8_t* rom, int64_t rom_len) {
    uint64_t acc = 0;  // stream bits not yet used, earliest in bit 0
    int have = 0;
    int64_t next = 0;
    for (int64_t j = 0; j < picture_bytes; j++) {
        int bits = (j & 3) == 3 ? 2 : 3;
        if (have < bits) {
            uint64_t b = next < rom_len ? rom[next] : 0;
            next++;
            acc |= b << have;
            have += 8;
        }
        uint8_t mask = (uint8_t)((1u << bits) - 1);
        picture[j] = (uint8_t)((picture[j] & ~mask) | (acc & mask));
        acc >>= bits;
        have -= bits;
    }
}

int write_hvx_png_from_ram_files(buffer* out, const char* folder) {
    if (!out || !folder) return -1;
    label_drawn = false;
    scoped_buffer rom(create_buffer_2(PNG_CART_ROM_START, PFILE_DATA_KIND));
    if (!rom || write_hvx_rom_from_ram_files(rom, folder, PNG_CART_ROM_OPTIONS) != 0) return -1;
    if (rom->length > PNG_CART_MAX_ROM) return PNG_CART_TOO_LARGE;

    host_pixels pic = read_picture(PNG_CART_TEMPLATE, PNG_CART_W, PNG_CART_H, false);
    if (!pic) {
        pic.reset((uint8_t*)std::malloc((size_t)PNG_CART_PIXELS * 4));
        if (!pic) return -1;
        for (int64_t i = 0; i < PNG_CART_PIXELS; i++) std::memcpy(pic.get() + 4 * i, PNG_CART_BACKGROUND, 4);
    }
    uint8_t* px = pic.get();

    std::string base = folder;
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string png_label = base + "/label.png";
    host_pixels label = pdisk_file_exists(png_label.c_str())
                            ? read_picture(png_label, LABEL_PICTURE_W, LABEL_PICTURE_H, false)
                            : read_picture(base + "/label.qoi", LABEL_PICTURE_W, LABEL_PICTURE_H, true);
    if (label) {
        for (int y = 0; y < LABEL_PICTURE_H; y++)
            std::memcpy(px + 4 * ((int64_t)(LABEL_PICTURE_Y + y) * PNG_CART_W + LABEL_PICTURE_X),
                        label.get() + 4 * (int64_t)y * LABEL_PICTURE_W, 4 * LABEL_PICTURE_W);
    }

    if (label_drawn && label_bitmap) {
        const uint8_t* t = ud_data(label_bitmap);
        auto set = [&](int x, int y, const uint8_t* rgba) { std::memcpy(px + 4 * ((int64_t)y * PNG_CART_W + x), rgba, 4); };
        for (int y = 0; y < LABEL_H; y++) {
            for (int x = 0; x < LABEL_W; x++) {
                if (!t[y * LABEL_W + x]) continue;
                if (y < LABEL_H / 2) {
                    int X = LABEL_TITLE_X + 2 * x, Y = LABEL_TITLE_PX_Y + 2 * y;
                    set(X, Y, LABEL_TITLE_RGBA);
                    set(X + 1, Y, LABEL_TITLE_RGBA);
                    set(X, Y + 1, LABEL_TITLE_LOW_RGBA);
                    set(X + 1, Y + 1, LABEL_TITLE_LOW_RGBA);
                } else {
                    set(LABEL_TITLE_X + x, LABEL_SECOND_PX_Y + (y - LABEL_H / 2), LABEL_SECOND_RGBA);
                }
            }
        }
    }

    hide_rom_in_picture(px, PNG_CART_PIXELS * 4, rom->data, rom->length);
    return LodePNG_encode32_pbuffer(px, PNG_CART_W, PNG_CART_H, out) == 0 ? 0 : -1;
}

void populate_ram_folder_from_hvx_png_buffer(const char* folder) {
    printf("can not populate %s\n", folder ? folder : "");
    printf("hvx.png loader not supported in this build.\n");
}
