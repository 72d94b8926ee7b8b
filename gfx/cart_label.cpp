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
    Process* p = &label_proc;
    init_host_drawer(p, ud_data(label_bitmap), LABEL_W * LABEL_H, label_palette);
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
