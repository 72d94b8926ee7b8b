// The sysrom.dat block table: the blocks of the file beside the program (the
// per-user folder's name, the system ROM, an exported cartridge, flags).
#include <cstdio>
#include <cstring>

#include "core/core.h"

static buffer* dat_file[DAT_MAX_BLOCKS];
static int dat_files;

namespace {
// A source of bytes for the block reader: memory or a host file, read block
// by block straight into the block buffers.
struct dat_source {
    const uint8_t* mem = nullptr;
    size_t size = 0, pos = 0;
    FILE* f = nullptr;

    // Reads exactly n bytes; false when fewer remain.
    bool read(uint8_t* dst, size_t n) {
        if (f) return fread(dst, 1, n, f) == n;
        if (size - pos < n) return false;
        memcpy(dst, mem + pos, n);
        pos += n;
        return true;
    }
};

int read_dat_blocks(dat_source& src, buffer** out, int max_blocks) {
    int count = 0;
    while (count < max_blocks) {
        uint8_t word[4];
        if (!src.read(word, 4)) break;
        uint32_t len = (uint32_t)word[0] << 24 | (uint32_t)word[1] << 16 | (uint32_t)word[2] << 8 | word[3];
        if (len > DAT_MAX_BLOCK_LEN) break;
        buffer* b = create_buffer_2((int32_t)len + 7, DAT_BLOCK_KIND);  // capacity len + 8
        out[count++] = b;
        if (!src.read(b->data, len)) {
            // A block cut short by the end of the file stays, empty, and ends the run.
            memset(b->data, 0, len);
            break;
        }
        b->length = (int32_t)len;
    }
    return count;
}

void clear_dat_blocks() {
    for (int i = 0; i < dat_files; i++) destroy_buffer(dat_file[i]);
    dat_files = 0;
}
}  // namespace

int parse_dat_blocks(const uint8_t* data, size_t size, buffer** out, int max_blocks) {
    dat_source src;
    src.mem = data;
    src.size = data ? size : 0;
    return read_dat_blocks(src, out, max_blocks);
}

void set_dat_blocks(const uint8_t* data, size_t size) {
    clear_dat_blocks();
    dat_files = parse_dat_blocks(data, size, dat_file, DAT_MAX_BLOCKS);
    krio_reset_path_cache();  // block 0 names the per-user folder
}

void bwrite_dat_block(buffer* out, const uint8_t* data, uint32_t len) {
    bwrite_uint32_big_endian(out, len);
    bwrite(data, 1, len, out);
}

void load_halvoran_dat_files() {
    char path[HVX_PATH_MAX];
    krio_prefix_with_program_path("sysrom.dat", path, sizeof path);
    krio_debugf("load_halvoran_dat_files: %s // from: %s\n", "sysrom.dat", path);
    clear_dat_blocks();
    dat_source src;
    src.f = path[0] ? fopen(path, "rb") : nullptr;
    if (!src.f) return;
    dat_files = read_dat_blocks(src, dat_file, DAT_MAX_BLOCKS);
    fclose(src.f);
    krio_reset_path_cache();
}

buffer* get_dat_file(int i) {
    if (i < 0 || i >= dat_files) return nullptr;
    dat_file[i]->cursor = 0;
    return dat_file[i];
}

int get_dat_file_count() { return dat_files; }

uint32_t dat_flags_word() {
    buffer* b = get_dat_file(3);
    if (!b || b->length < 4) return 0;
    return bread_uint32_big_endian(b);
}
