// PNG cartridges (".hvx.png"): a labelled picture of a cartridge that hides
// the ROM form of the folder in the low bits of its pixels. The label text is
// drawn by a private label process through the ordinary text printer.
#include "storage/cartridges.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "storage/formats.h"
#include "storage/pfile_ops.h"
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

// A picture of exactly w x h decoded from its bytes as RGBA; none otherwise.
static host_pixels decode_picture(const uint8_t* bytes, int64_t len, unsigned w, unsigned h, bool qoi) {
    if (!bytes || len <= 0 || len > INT32_MAX) return nullptr;
    uint8_t* px = nullptr;
    if (qoi) {
        qoi_desc d;
        if (qoi_read_header(bytes, len, &d) && d.width == w && d.height == h) px = qoi_decode(bytes, (int)len, &d, 4);
    } else {
        unsigned pw = 0, ph = 0;
        if (png_read_header(bytes, len, &pw, &ph) == 0 && pw == w && ph == h) {
            if (png_decode32_bytes(&px, &pw, &ph, bytes, len) != 0 || pw != w || ph != h) {
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
    int64_t next = 0, j = 0;
    for (; j < picture_bytes && (next < rom_len || acc != 0); j++) {
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
    // Past the ROM every stream bit is zero: the low bits are cleared, most
    // of them two pixels at a time.
    static const uint8_t keep[8] = {0xF8, 0xF8, 0xF8, 0xFC, 0xF8, 0xF8, 0xF8, 0xFC};
    uint64_t keep_pixels;
    std::memcpy(&keep_pixels, keep, 8);
    for (; j < picture_bytes && (j & 3) != 0; j++) picture[j] &= keep[j & 3];
    for (; j + 8 <= picture_bytes; j += 8) {
        uint64_t v;
        std::memcpy(&v, picture + j, 8);
        v &= keep_pixels;
        std::memcpy(picture + j, &v, 8);
    }
    for (; j < picture_bytes; j++) picture[j] &= keep[j & 3];
}

namespace {

// What the picture is made of besides the ROM, as bytes: none of a part
// leaves it out.
struct png_cart_parts {
    const uint8_t* template_png = nullptr;
    int64_t template_len = 0;
    const uint8_t* label = nullptr;
    int64_t label_len = 0;
    bool label_qoi = false;
    const uint8_t* label_text = nullptr;  // LABEL_W x LABEL_H
};

// The picture of a PNG cartridge of a ROM image, from bytes alone: the
// whole write and the write over frames (off the frame's thread) make the
// same picture, and so the same file.
int png_cart_picture(const png_cart_parts& parts, const uint8_t* rom, int64_t rom_len, host_pixels* out) {
    if (rom_len > PNG_CART_MAX_ROM) return PNG_CART_TOO_LARGE;
    host_pixels pic = decode_picture(parts.template_png, parts.template_len, PNG_CART_W, PNG_CART_H, false);
    if (!pic) {
        pic.reset((uint8_t*)std::malloc((size_t)PNG_CART_PIXELS * 4));
        if (!pic) return -1;
        const size_t total = (size_t)PNG_CART_PIXELS * 4;
        std::memcpy(pic.get(), PNG_CART_BACKGROUND, 4);
        for (size_t done = 4; done < total; done *= 2) std::memcpy(pic.get() + done, pic.get(), std::min(done, total - done));
    }
    uint8_t* px = pic.get();

    host_pixels label = decode_picture(parts.label, parts.label_len, LABEL_PICTURE_W, LABEL_PICTURE_H, parts.label_qoi);
    if (label) {
        for (int y = 0; y < LABEL_PICTURE_H; y++)
            std::memcpy(px + 4 * ((int64_t)(LABEL_PICTURE_Y + y) * PNG_CART_W + LABEL_PICTURE_X),
                        label.get() + 4 * (int64_t)y * LABEL_PICTURE_W, 4 * LABEL_PICTURE_W);
    }

    if (const uint8_t* t = parts.label_text) {
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

    hide_rom_in_picture(px, PNG_CART_PIXELS * 4, rom, rom_len);
    *out = std::move(pic);
    return 0;
}

// The picture encoded as the cartridge's file.
int png_cart_encode(const host_pixels& pic, std::string* out) {
    uint8_t* png = nullptr;
    size_t n = 0;
    if (png_encode32_bytes(pic.get(), PNG_CART_W, PNG_CART_H, &png, &n) != 0) return -1;
    host_pixels own(png);
    out->assign((const char*)png, n);
    return 0;
}

void copy_picture(const host_pixels& pic, std::vector<uint8_t>* pixels) {
    pixels->assign(pic.get(), pic.get() + (size_t)PNG_CART_PIXELS * 4);
}

// The picture of a RAM folder's cartridge, as the whole write makes it.
int picture_of_ram_files(const char* folder, host_pixels* pic) {
    label_drawn = false;
    scoped_buffer rom(create_buffer_2(PNG_CART_ROM_START, PFILE_DATA_KIND));
    if (!rom || write_hvx_rom_from_ram_files(rom, folder, PNG_CART_ROM_OPTIONS) != 0) return -1;
    if (rom->length > PNG_CART_MAX_ROM) return PNG_CART_TOO_LARGE;

    png_cart_parts parts;
    scoped_buffer tmpl(pfile_read_all(PNG_CART_TEMPLATE, "rb"));
    if (tmpl) {
        parts.template_png = tmpl->data;
        parts.template_len = tmpl->length;
    }
    std::string base = folder;
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string png_label = base + "/label.png";
    parts.label_qoi = !pdisk_file_exists(png_label.c_str());
    scoped_buffer label(pfile_read_all(parts.label_qoi ? (base + "/label.qoi").c_str() : png_label.c_str(), "rb"));
    if (label) {
        parts.label = label->data;
        parts.label_len = label->length;
    }
    if (label_drawn && label_bitmap) parts.label_text = ud_data(label_bitmap);
    return png_cart_picture(parts, rom->data, rom->length, pic);
}

// The picture of a snapshot's cartridge, as the write over frames makes it.
int picture_of_snapshot(const std::vector<cart_snapshot_entry>& entries, size_t folder_len,
                        const std::string* template_png, const uint8_t* label_text, host_pixels* pic) {
    std::string rom;
    if (rom_image_from_snapshot(&rom, entries, folder_len, PNG_CART_ROM_OPTIONS) != 0) return -1;
    png_cart_parts parts;
    if (template_png) {
        parts.template_png = (const uint8_t*)template_png->data();
        parts.template_len = (int64_t)template_png->size();
    }
    // label.png when it is there at all, else label.qoi, as the whole write.
    const cart_snapshot_entry* png_label = nullptr;
    const cart_snapshot_entry* qoi_label = nullptr;
    for (const cart_snapshot_entry& e : entries) {
        if (e.path.size() <= folder_len + 1) continue;
        const char* name = e.path.c_str() + folder_len + 1;
        if (strcmp(name, "label.png") == 0) png_label = &e;
        else if (strcmp(name, "label.qoi") == 0) qoi_label = &e;
    }
    parts.label_qoi = !png_label;
    const cart_snapshot_entry* label = png_label ? png_label : qoi_label;
    if (label && !label->folder) {
        parts.label = (const uint8_t*)label->data.data();
        parts.label_len = (int64_t)label->data.size();
    }
    parts.label_text = label_text;
    return png_cart_picture(parts, (const uint8_t*)rom.data(), (int64_t)rom.size(), pic);
}

}  // namespace

int write_hvx_png_from_ram_files(buffer* out, const char* folder) {
    if (!out || !folder) return -1;
    host_pixels pic;
    std::string png;
    int r = picture_of_ram_files(folder, &pic);
    if (r != 0) return r;
    if (png_cart_encode(pic, &png) != 0) return -1;
    return bwrite(png.data(), 1, (int64_t)png.size(), out) == (int64_t)png.size() ? 0 : -1;
}

int png_cart_from_snapshot(std::string* out, const std::vector<cart_snapshot_entry>& entries, size_t folder_len,
                           const std::string* template_png, const uint8_t* label_text) {
    if (!out) return -1;
    host_pixels pic;
    int r = picture_of_snapshot(entries, folder_len, template_png, label_text, &pic);
    return r != 0 ? r : png_cart_encode(pic, out);
}

int png_cart_picture_of_ram_files(const char* folder, std::vector<uint8_t>* pixels) {
    if (!folder || !pixels) return -1;
    host_pixels pic;
    int r = picture_of_ram_files(folder, &pic);
    if (r == 0) copy_picture(pic, pixels);
    return r;
}

int png_cart_picture_of_snapshot(std::vector<uint8_t>* pixels, const std::vector<cart_snapshot_entry>& entries,
                                 size_t folder_len, const std::string* template_png, const uint8_t* label_text) {
    if (!pixels) return -1;
    host_pixels pic;
    int r = picture_of_snapshot(entries, folder_len, template_png, label_text, &pic);
    if (r == 0) copy_picture(pic, pixels);
    return r;
}

bool png_cart_label_text(const std::string* info, std::vector<uint8_t>* text) {
    label_drawn = false;
    if (!info || info->size() > (size_t)INT32_MAX) return false;
    // A view of the copy: nothing is allocated for it.
    buffer view{};
    view.data = (uint8_t*)info->data();
    view.length = (int32_t)info->size();
    view.capacity = (uint32_t)info->size();
    extract_label_text(&view);
    if (!label_drawn || !label_bitmap) return false;
    const uint8_t* t = ud_data(label_bitmap);
    text->assign(t, t + (size_t)LABEL_W * LABEL_H);
    return true;
}

void populate_ram_folder_from_hvx_png_buffer(const char* folder) {
    printf("can not populate %s\n", folder ? folder : "");
    printf("hvx.png loader not supported in this build.\n");
}
