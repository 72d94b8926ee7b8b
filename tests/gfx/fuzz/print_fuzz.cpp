// The text printer on any text with any print state: control codes, inline
// glyphs, pokes, fonts, cursors and overrides from the input must never
// write outside the bitmap, read past the text or hang.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "gfx/gfx.h"
#include "runtime/runtime.h"
#include "tests/gfx/fuzz/fuzz_process.h"
#include "userdata/userdata.h"

namespace {

constexpr int W = 61, H = 37;  // odd sizes: no row is a multiple of 8

Process* printer() {
    static Process* p = nullptr;
    if (p) return p;
    p = fuzz_process();
    for (uint32_t i = 0; i < sizeof lil_font_dat; i++) hvx_poke8(p, 0x4000 + i, lil_font_dat[i]);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // 24 bytes of state, then the text.
    if (size < 24) return 0;
    Process* p = printer();
    set_current_process(p);
    static uint8_t* bitmap = nullptr;
    if (!bitmap) {
        bitmap = (uint8_t*)std::calloc(1, UD_HEADER_SIZE + W * H);
        ud_write_header(bitmap, UTYPE_U8, 2, W, H);
    }
    int32_t cx, cy;
    std::memcpy(&cx, data, 4);
    std::memcpy(&cy, data + 4, 4);
    hvx_poke32(p, ADDR_PRINT_X, (uint32_t)cx);
    hvx_poke32(p, ADDR_PRINT_Y, (uint32_t)cy);
    hvx_poke32(p, ADDR_PRINT_HOME_X, (uint32_t)cx);
    hvx_poke8(p, ADDR_FONT_MAIN, data[8] & 1 ? 0x40 : data[9]);  // the built-in font, or any page
    hvx_poke8(p, ADDR_FONT_ALT, data[9]);
    hvx_poke8(p, ADDR_PRINT_ATTRS, data[10]);
    hvx_poke8(p, ADDR_PRINT_SIZE_OVR, data[11]);
    hvx_poke8(p, ADDR_PRINT_WIDE_OVR, data[12]);
    hvx_poke8(p, ADDR_PRINT_OFFS_OVR, data[13]);
    hvx_poke8(p, ADDR_PRINT_FLAGS, data[14]);
    for (uint32_t a = ADDR_READ_MASK; a <= ADDR_SHAPE_TARGET_MASK; a++) hvx_poke8(p, a, data[15]);
    hvx_poke32(p, ADDR_CAMERA_X, (uint32_t)(int8_t)data[16]);
    hvx_poke32(p, ADDR_CAMERA_Y, (uint32_t)(int8_t)data[17]);
    // A box inside the bitmap, as the clip refresh guarantees.
    int l = data[18] % W, t = data[19] % H;
    p->clip_box[0] = l, p->clip_box[1] = l + data[20] % (W - l + 1);
    p->clip_box[2] = t, p->clip_box[3] = t + data[21] % (H - t + 1);
    p->draw_target = bitmap;
    int colour = data[22] | data[23] << 8;
    const char* text = (const char*)data + 24;
    int n = (int)(size - 24);
    if (print_qzscii(bitmap, text, n, data[14] & PRINT_FLAG_WRAP, colour)) {
        // The loop also runs on from wherever a delay stopped it.
        for (int i = 0; i < 4 && p->print && p->print->text && run_print_loop(p->print); i++) {
        }
    }
    p->draw_target = nullptr;
    return 0;
}
