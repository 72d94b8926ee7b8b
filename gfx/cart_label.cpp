// The text of a PNG cartridge's label: title and "version by author" of its
// info file, printed into the label bitmap by a process of its own.
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/core.h"
#include "gfx/gfx.h"
#include "gfx/gfx_internal.h"
#include "storage/storage.h"
#include "userdata/userdata.h"

static Process label_proc;
static uint8_t* label_bitmap;  // typed userdata block, LABEL_W x LABEL_H

namespace {

// Makes p the running process for one scope, whatever way it is left.
struct current_process_scope {
    Process* saved;
    explicit current_process_scope(Process* p) : saved(cproc) { cproc = p; }
    ~current_process_scope() { cproc = saved; }
};

}  // namespace

// The label process draws into bitmap from the first label on.
static void init_label_proc(uint8_t* bitmap) {
    if (label_bitmap) return;
    label_bitmap = bitmap;
    std::memset(&label_proc, 0, sizeof label_proc);
    Process* p = &label_proc;
    for (int pg = 0; pg < INITIAL_PAGES; pg++) hvx_page_slow(p, (uint32_t)pg, 0);
    hvx_map_page(p, (int)(ADDR_DISPLAY >> HVX_PAGE_SHIFT), ud_data(label_bitmap), LABEL_W * LABEL_H);
    for (int i = 0; i < 64; i++) hvx_poke8(p, ADDR_REMAP + i, (uint8_t)i);
    for (int c = 0; c < 64; c++)
        for (int j = 0; j < 64; j++) hvx_poke8(p, ADDR_COLTABS + 64 * c + j, (uint8_t)c);
    for (uint32_t a = ADDR_READ_MASK; a <= ADDR_SHAPE_TARGET_MASK; a++) hvx_poke8(p, a, 0x3F);
    for (uint32_t a = 0x551F; a <= 0x5527; a++) hvx_poke8(p, a, 0);
    hvx_poke8(p, ADDR_FONT_MAIN, 0x40);
    hvx_poke8(p, ADDR_FONT_ALT, 0x56);
    for (uint32_t i = 0; i < sizeof lil_font_dat; i++) hvx_poke8(p, 0x4000 + i, lil_font_dat[i]);
    for (int i = 0; i < 64; i++) hvx_poke32(p, ADDR_PALETTE + 4 * i, label_palette[i]);
    hvx_poke32(p, ADDR_CLIP_WORDS, 0);
    hvx_poke32(p, ADDR_CLIP_WORDS + 4, (uint32_t)LABEL_H << 16 | LABEL_W);
}

static void print_at(int x, int y, const char* text, int len) {
    hvx_poke32(&label_proc, ADDR_PRINT_X, (uint32_t)x);
    hvx_poke32(&label_proc, ADDR_PRINT_HOME_X, (uint32_t)x);
    hvx_poke32(&label_proc, ADDR_PRINT_Y, (uint32_t)y);
    print_qzscii(label_bitmap, text, len, 0, LABEL_TEXT_COLOUR);
}

void draw_label_text(uint8_t* bitmap, const buffer* info) {
    init_label_proc(bitmap);
    current_process_scope scope(&label_proc);
    Process* p = &label_proc;
    p->clip_box[0] = 0;
    p->clip_box[1] = LABEL_W;
    p->clip_box[2] = 0;
    p->clip_box[3] = LABEL_H;
    p->clip_cache[0] = hvx_peek32(p, ADDR_CLIP_WORDS);
    p->clip_cache[1] = hvx_peek32(p, ADDR_CLIP_WORDS + 4);
    p->draw_target = label_bitmap;
    std::memset(ud_data(label_bitmap), 0, LABEL_W * LABEL_H);
    const char* text = (const char*)info->data;
    int64_t n = info->length;
    int64_t tl = 0, vl = 0, al = 0;
    const char* title = extract_info_str(text, n, ",title=\"", &tl);
    const char* version = extract_info_str(text, n, ",version=\"", &vl);
    const char* author = extract_info_str(text, n, ",author=\"", &al);
    if (title && tl > 0) print_at(0, LABEL_TITLE_Y, title, (int)(tl < INT32_MAX ? tl : INT32_MAX));
    std::string second;
    if (version && vl <= LABEL_VERSION_MAX) second.assign(version, (size_t)vl);
    if (author && al <= LABEL_AUTHOR_MAX) {
        second += second.empty() ? "by " : " by ";
        second.append(author, (size_t)al);
    }
    print_at(0, LABEL_SECOND_Y, second.c_str(), (int)second.size());
}
