// ROM cartridges: the entry stream codec, its LZ4 packing, the legacy pxa
// script decoder, and the RAM tree writer and reader built on them.
#include "storage/cartridges.h"

#include <lz4.h>
#include <lz4hc.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "storage/formats.h"
#include "storage/mounts.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"

// ---------------------------------------------------------------------------
// Entry stream
// ---------------------------------------------------------------------------

namespace {

// What one entry adds after its name: the folder's '/', the NUL, the size.
struct rom_entry_head {
    uint8_t bytes[7];
    int count;
    int64_t added;  // the whole entry's bytes
};

// False when the entry is refused: an empty name, a ".." segment, a file
// name that would read back as a folder.
bool make_entry_head(const char* name, int64_t n, int folder, const uint8_t* data, int64_t len, rom_entry_head* h) {
    if (len < 0 || len > INT32_MAX || (len > 0 && !data)) return false;
    if (n == 0 || path_has_dotdot_segment(name, n)) return false;
    bool slash = name[n - 1] == '/';
    if (!folder && slash) return false;
    h->count = 0;
    if (folder && !slash) h->bytes[h->count++] = '/';
    h->bytes[h->count++] = 0;
    if (!folder) {
        if (len < 255) {
            h->bytes[h->count++] = (uint8_t)len;
        } else {
            h->bytes[h->count++] = 255;
            for (int i = 0; i < 4; i++) h->bytes[h->count++] = (uint8_t)((uint64_t)len >> (8 * i));
        }
    }
    h->added = n + h->count + (folder ? 0 : len);
    return true;
}

}  // namespace

int rom_append_entry(buffer* stream, const char* name, int folder, const uint8_t* data, int64_t len) {
    if (!stream || !name) return -1;
    int64_t n = (int64_t)strlen(name);
    rom_entry_head h;
    if (!make_entry_head(name, n, folder, data, len, &h)) return -1;
    if ((int64_t)stream->length + h.added > ROM_MAX_STREAM) return -1;
    int32_t start = stream->length;
    stream->cursor = stream->length;
    bool ok = bwrite(name, 1, n, stream) == n && bwrite(h.bytes, 1, h.count, stream) == h.count;
    if (ok && !folder && len > 0) ok = bwrite(data, 1, len, stream) == len;
    if (!ok) {
        stream->length = stream->cursor = start;
        return -1;
    }
    return 0;
}

int rom_next_entry(const uint8_t* s, int64_t len, int64_t* pos, rom_entry* e) {
    if (!s || !pos || !e || *pos >= len) return ROM_ENTRY_END;
    if (*pos < 0) return ROM_ENTRY_BAD_NAME;
    int64_t p = *pos;
    const uint8_t* nul = (const uint8_t*)memchr(s + p, 0, (size_t)(len - p));
    if (!nul || nul == s + p) return ROM_ENTRY_BAD_NAME;
    e->name = (const char*)(s + p);
    e->name_len = nul - (s + p);
    if (path_has_dotdot_segment(e->name, e->name_len)) return ROM_ENTRY_DOTDOT;
    p += e->name_len + 1;
    e->folder = e->name[e->name_len - 1] == '/';
    e->data = nullptr;
    e->size = 0;
    if (e->folder) {
        *pos = p;
        return ROM_ENTRY_OK;
    }
    if (p >= len) return ROM_ENTRY_BAD_SIZE;
    int64_t size = s[p++];
    if (size == 255) {
        if (len - p < 4) return ROM_ENTRY_BAD_SIZE;
        size = load_u32_le(s + p);
        p += 4;
        if (size > INT32_MAX) {
            e->size = size;
            return ROM_ENTRY_BAD_LENGTH;
        }
    }
    e->data = s + p;
    if (size > len - p) {
        e->size = len - p;
        *pos = len;
        return ROM_ENTRY_CUT_SHORT;
    }
    e->size = size;
    *pos = p + size;
    return ROM_ENTRY_OK;
}

// ---------------------------------------------------------------------------
// Packing
// ---------------------------------------------------------------------------

int rom_is_rom(const uint8_t* src, int64_t len) { return src && len >= 3 && memcmp(src, "hvx", 3) == 0; }

// Packs the stream behind a header at dst, which holds ROM_HEADER_SIZE +
// bound bytes; the image's length, or -1.
static int64_t pack_image(const uint8_t* stream, int64_t len, uint8_t* dst, int bound) {
    char* block = (char*)dst + ROM_HEADER_SIZE;
    int clen = len > 0 ? LZ4_compress_HC((const char*)stream, block, (int)len, bound, ROM_LZ4_LEVEL) : 0;
    // An empty stream packs to the one-byte empty block; anything else must
    // have compressed.
    if (len > 0 && clen <= 0) return -1;
    if (len == 0) clen = LZ4_compress_HC("", block, 0, bound, ROM_LZ4_LEVEL);
    if (clen <= 0) return -1;
    memcpy(dst, "hvx", 3);
    dst[3] = ROM_VERSION;
    dst[4] = (uint8_t)clen;
    dst[5] = (uint8_t)(clen >> 8);
    dst[6] = (uint8_t)(clen >> 16);
    dst[7] = (uint8_t)(clen >> 24);
    return ROM_HEADER_SIZE + (int64_t)clen;
}

int rom_pack(buffer* out, const uint8_t* stream, int64_t len) {
    if (!out || len < 0 || len > ROM_MAX_STREAM || (len > 0 && !stream)) return -1;
    int bound = LZ4_compressBound((int)len);
    if (bound <= 0) return -1;
    int32_t start = out->length;
    if (!ballocate(out, (int64_t)start + ROM_HEADER_SIZE + bound + 256)) return -1;
    int64_t n = pack_image(stream, len, out->data + start, bound);
    if (n < 0) return -1;
    out->length = out->cursor = start + (int32_t)n;
    out->data[out->length] = 0;
    return 0;
}

// The block decoded into a new buffer of room bytes; none when it does not
// decode within them.
static buffer* decode_block(const uint8_t* block, int64_t clen, int64_t room) {
    buffer* out = create_buffer_2((int32_t)room, ROM_SCRATCH_KIND);
    if (!out) return nullptr;
    int n = LZ4_decompress_safe((const char*)block, (char*)out->data, (int)clen, (int)room);
    if (n < 0) {
        destroy_buffer(out);
        return nullptr;
    }
    out->length = n;
    out->cursor = 0;
    out->data[n] = 0;
    return out;
}

buffer* rom_unpack(const uint8_t* src, int64_t len, int64_t* consumed) {
    if (consumed) *consumed = 0;
    if (!rom_is_rom(src, len) || len < ROM_HEADER_SIZE) return nullptr;
    int64_t clen = load_u32_le(src + 4);
    int64_t left = len - ROM_HEADER_SIZE;
    if (clen > left) clen = left;
    if (consumed) *consumed = ROM_HEADER_SIZE + clen;
    if (clen <= 0 || clen > INT32_MAX) return nullptr;
    // The stream's size is not stored, and reading it from every sequence
    // costs nearly as much as decoding. So only the block's head is read: a
    // small block's head is all of it and gives the size; a larger one's
    // gives the ratio, and the stream is decoded into room guessed from it.
    // A hostile block must not make the host allocate far more than it
    // fills: no guess past ROM_ROOM_PER_BLOCK_BYTE times the block is made.
    // Without a guess, or when it proves too small, the size is read from
    // every sequence.
    const uint8_t* block = src + ROM_HEADER_SIZE;
    lz4_mark half{0, 0};
    int r = lz4_block_walk(block, clen, ROM_MAX_STREAM, ROM_SIZE_HEAD / 2, &half);
    lz4_mark head = half;
    if (r == 0) r = lz4_block_walk(block, clen, ROM_MAX_STREAM, ROM_SIZE_HEAD, &head);
    if (r < 0) return nullptr;
    if (r == 0) {
        // A packer finds more to copy as the stream goes on, so the ratio of
        // the head's second half may be the better guess.
        int64_t guess = head.out * clen / head.in;
        if (head.in > half.in) {
            int64_t later = (head.out - half.out) * clen / (head.in - half.in);
            if (later > guess) guess = later;
        }
        guess += guess / 16;  // and a sixteenth more, to spare a second pass
        if (guess <= clen * ROM_ROOM_PER_BLOCK_BYTE) {
            buffer* out = decode_block(block, clen, guess < ROM_MAX_STREAM ? guess : ROM_MAX_STREAM);
            if (out) return out;
        }
        if (lz4_block_walk(block, clen, ROM_MAX_STREAM, clen, &head) != 1) return nullptr;
    }
    return decode_block(block, clen, head.out);
}

// A run length's extension bytes (each 255 adds on) at *i; -1 past the end
// of the block or past max.
static int64_t lz4_run_length(const uint8_t* src, int64_t len, int64_t* i, int64_t n, int64_t max) {
    if (n != 15) return n;
    for (;;) {
        if (*i >= len) return -1;
        uint8_t b = src[(*i)++];
        n += b;
        if (n > max) return -1;
        if (b != 255) return n;
    }
}

int lz4_block_walk(const uint8_t* src, int64_t len, int64_t max, int64_t stop, lz4_mark* at) {
    if (!src || !at || len <= 0 || max < 0 || at->in < 0 || at->in >= len || at->out < 0) return -1;
    int64_t i = at->in, out = at->out;
    for (;;) {
        uint8_t token = src[i++];
        int64_t lit = lz4_run_length(src, len, &i, token >> 4, max);
        if (lit < 0 || lit > len - i || lit > max - out) return -1;
        i += lit;
        out += lit;
        // The last sequence holds literals only.
        if (i == len) {
            *at = {i, out};
            return 1;
        }
        if (len - i < 2) return -1;
        int64_t offset = src[i] | (int64_t)src[i + 1] << 8;
        i += 2;
        if (offset == 0 || offset > out) return -1;
        int64_t match = lz4_run_length(src, len, &i, token & 15, max);
        if (match < 0 || match + 4 > max - out) return -1;
        out += match + 4;
        if (i >= len) return -1;
        if (i >= stop) {
            *at = {i, out};
            return 0;
        }
    }
}

int64_t lz4_block_size(const uint8_t* src, int64_t len, int64_t max) {
    lz4_mark at{0, 0};
    return lz4_block_walk(src, len, max, len, &at) == 1 ? at.out : -1;
}

// ---------------------------------------------------------------------------
// pxa
// ---------------------------------------------------------------------------

int pxa_is_pxa(const uint8_t* src, int64_t len) {
    return src && len >= 4 && src[0] == 0 && src[1] == 'p' && src[2] == 'x' && src[3] == 'a';
}

namespace {
struct bit_reader {
    const uint8_t* src;
    int64_t end;  // bytes that may be read
    int64_t pos = 8;
    int bit = 0;
    bool out = false;  // a read past the end happened
    int get() {
        if (pos >= end) {
            out = true;
            return 0;
        }
        int b = (src[pos] >> bit) & 1;
        if (++bit == 8) {
            bit = 0;
            pos++;
        }
        return b;
    }
    int64_t field(int n) {
        int64_t v = 0;
        for (int i = 0; i < n; i++) v |= (int64_t)get() << i;
        return v;
    }
};
}  // namespace

int64_t pxa_decompress(const uint8_t* src, int64_t src_len, uint8_t* dst, int64_t max, bool* whole) {
    if (whole) *whole = false;
    if (!dst || max < 0) return 0;
    dst[0] = 0;
    if (!pxa_is_pxa(src, src_len) || src_len < 8) return 0;
    uint8_t mtf[256];
    for (int i = 0; i < 256; i++) mtf[i] = (uint8_t)i;
    int64_t decoded = (int64_t)src[4] << 8 | src[5];
    int64_t block = (int64_t)src[6] << 8 | src[7];
    bit_reader r{src, block < src_len ? block : src_len};
    int64_t limit = max < decoded ? max : decoded;
    int64_t n = 0;
    while (r.pos < r.end && n < limit && !r.out) {
        if (r.get()) {
            int count = 0;
            while (count < 16 && r.get()) count++;
            int w = 4 + count;
            int64_t index = r.field(w) + ((int64_t)1 << w) - 16;
            if (r.out || index > 255) break;
            uint8_t c = mtf[index];
            memmove(mtf + 1, mtf, (size_t)index);
            mtf[0] = c;
            dst[n++] = c;
        } else {
            int width = r.get() == 0 ? 15 : (r.get() ? 5 : 10);
            int64_t v = r.field(width);
            if (r.out) break;
            if (width == 10 && v == 0) {
                while (n < limit) {
                    int64_t c = r.field(8);
                    if (r.out || c == 0) break;
                    dst[n++] = (uint8_t)c;
                }
                continue;
            }
            int64_t offset = v + 1;
            int64_t length = 3, spent = 0, chunk;
            do {
                chunk = r.field(3);
                spent += 3;
                length += chunk;
            } while (chunk == 7 && spent < 100000 && !r.out);
            if (r.out || offset > n) break;  // nothing to copy from there
            if (length > max - n) length = max - n;
            for (int64_t i = 0; i < length; i++, n++) dst[n] = dst[n - offset];
        }
    }
    dst[n] = 0;
    // Any early stop (bits ran out, an index over 255, an offset before the
    // start) leaves fewer bytes than declared, and a copy past the end more.
    if (whole) *whole = n == decoded && block <= src_len;
    return n;
}

// ---------------------------------------------------------------------------
// RAM tree writer and reader
// ---------------------------------------------------------------------------

int write_hvx_rom_from_ram_files(buffer* out, const char* folder, int options) {
    if (!out || !folder) return -1;
    size_t fl = strlen(folder);
    while (fl > 0 && folder[fl - 1] == '/') fl--;
    buffer* stream = create_buffer_2(ROM_STREAM_START, ROM_SCRATCH_KIND);
    if (!stream) return -1;
    int count = pdisk_pfile_iterator_under((std::string(folder, fl) + "/").c_str());
    int result = 0;
    for (int i = 0; i < count && result == 0; i++) {
        pfile* f = pdisk_pfile_iterator_item(i);
        if (!f || f->kind != PFILE_KIND_RAM || !f->path) continue;
        const char* p = to_cstr(f->path);
        if (strncmp(p, folder, fl) != 0 || p[fl] != '/' || !p[fl + 1]) continue;
        const char* name = p + fl + 1;
        if ((options & ROM_OPTION_NO_LABEL) && (strcmp(name, "label.png") == 0 || strcmp(name, "label.qoi") == 0))
            continue;
        bool folder_rec = (f->flags & PFILE_FLAG_FOLDER) != 0;
        // The reader would not place a name of improper segments at itself.
        if (!entry_name_proper(name, (int64_t)strlen(name), folder_rec)) {
            result = -1;
            break;
        }
        if ((options & ROM_OPTION_LABEL_TEXT) && !folder_rec && strcmp(name, HVX_INFO_FILE) == 0)
            extract_label_text(f->data);
        const uint8_t* d = f->data ? f->data->data : nullptr;
        int64_t n = f->data ? f->data->length : 0;
        if (rom_append_entry(stream, name, folder_rec, d, folder_rec ? 0 : n) != 0) result = -1;
    }
    if (result == 0) result = rom_pack(out, stream->data, stream->length);
    destroy_buffer(stream);
    return result;
}

namespace {

// Calls f(entry, name, name_len, head) for each entry of the snapshot the
// ROM form takes, in order; false when a name can not be written.
template <class Entries, class F>
bool each_rom_entry(Entries& entries, size_t folder_len, int options, F f) {
    for (auto& e : entries) {
        if (e.path.size() <= folder_len + 1) return false;
        const char* name = e.path.c_str() + folder_len + 1;
        int64_t n = (int64_t)(e.path.size() - folder_len - 1);
        if ((options & ROM_OPTION_NO_LABEL) && (strcmp(name, "label.png") == 0 || strcmp(name, "label.qoi") == 0))
            continue;
        if (!entry_name_proper(name, n, e.folder)) return false;  // as the live folder's writer
        int64_t len = e.folder ? 0 : (int64_t)e.data.size();
        rom_entry_head h;
        if (!make_entry_head(name, n, e.folder, (const uint8_t*)e.data.data(), len, &h)) return false;
        f(e, name, n, h);
    }
    return true;
}

// The stream is sized before it is made, so it is allocated once. A
// snapshot handed over (not const) lets each file's bytes go once they are
// in the stream, and the rest before packing; the image is packed into pages
// touched only as far as it is written, and the room past it is given back
// where it lies. So what a snapshot handed over takes is held as the copy,
// then as the stream, then beside the packed image: never much more than the
// copy and the image, and the image once.
template <class Entries>
int image_from_snapshot(packed_image* out, Entries& entries, size_t folder_len, int options) {
    if (!out) return -1;
    int64_t total = 0;
    if (!each_rom_entry(entries, folder_len, options,
                        [&](const cart_snapshot_entry&, const char*, int64_t, const rom_entry_head& h) { total += h.added; }))
        return -1;
    if (total > ROM_MAX_STREAM) return -1;
    std::string stream;
    stream.reserve((size_t)total);
    each_rom_entry(entries, folder_len, options, [&](auto& e, const char* name, int64_t n, const rom_entry_head& h) {
        stream.append(name, (size_t)n);
        stream.append((const char*)h.bytes, (size_t)h.count);
        if (!e.folder) stream.append(e.data);
        if constexpr (!std::is_const_v<Entries>) std::string().swap(e.data);
    });
    if constexpr (!std::is_const_v<Entries>) std::vector<cart_snapshot_entry>().swap(entries);
    int bound = LZ4_compressBound((int)stream.size());
    if (bound <= 0 || !out->reserve((size_t)ROM_HEADER_SIZE + (size_t)bound)) return -1;
    int64_t n = pack_image((const uint8_t*)stream.data(), (int64_t)stream.size(), out->room(), bound);
    std::string().swap(stream);
    if (n < 0) {
        out->release();
        return -1;
    }
    out->shrink((size_t)n);
    return 0;
}

template <class Entries>
int image_into_text(std::string* out, Entries& entries, size_t folder_len, int options) {
    if (!out) return -1;
    packed_image image;
    int r = image_from_snapshot(&image, entries, folder_len, options);
    if (r == 0) out->assign((const char*)image.data(), image.size());
    return r;
}

}  // namespace

bool packed_image::reserve(size_t cap) {
    release();
    if (cap == 0) return false;
    void* p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    p_ = (uint8_t*)p;
    mapped_ = cap;
    size_ = cap;
    return true;
}

void packed_image::shrink(size_t n) {
    if (!p_ || n >= size_) return;
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t keep = (n + page - 1) / page * page;
    if (keep < mapped_) {
        munmap(p_ + keep, mapped_ - keep);
        mapped_ = keep;
    }
    size_ = n;
    if (mapped_ == 0) p_ = nullptr;
}

void packed_image::release() {
    if (p_) munmap(p_, mapped_);
    p_ = nullptr;
    size_ = mapped_ = 0;
}

int rom_image_from_snapshot(std::string* out, const std::vector<cart_snapshot_entry>& entries, size_t folder_len,
                            int options) {
    return image_into_text(out, entries, folder_len, options);
}

int rom_image_from_snapshot(std::string* out, std::vector<cart_snapshot_entry>&& entries, size_t folder_len,
                            int options) {
    return image_into_text(out, entries, folder_len, options);
}

int rom_image_from_snapshot(packed_image* out, std::vector<cart_snapshot_entry>&& entries, size_t folder_len,
                            int options) {
    return image_from_snapshot(out, entries, folder_len, options);
}

// Writes len bytes as the RAM file dest; false when it could not be opened.
static bool write_ram_file(const char* dest, const uint8_t* data, int64_t len) {
    pfile* f = pfopen(dest, "w");
    if (!f) return false;
    bool ok = pfwrite(data, 1, len, f) == len;
    return pfclose(f) == 0 && ok;
}

static int write_main_lua(const char* path, const uint8_t* text, int64_t len) {
    buffer* dest = create_buffer_2(64, ROM_SCRATCH_KIND);
    bappend_str(dest, path);
    bappend_str(dest, "/main.lua");
    bool ok = write_ram_file(to_cstr(dest), text, len);
    destroy_buffer(dest);
    return ok ? 0 : -1;
}

int populate_ram_folder_from_hvx_rom_buffer_ex(const char* path, const char* prefix, buffer* rom,
                                               int keep_existing) {
    if (!rom || !path) return -1;
    if (!prefix) prefix = "";
    int64_t at = rom->cursor < 0 ? 0 : rom->cursor > rom->length ? rom->length : rom->cursor;
    const uint8_t* src = rom->data + at;
    int64_t len = rom->length - at;
    if (at == 0 && pxa_is_pxa(src, len)) {
        uint8_t* text = (uint8_t*)malloc((size_t)PXA_MAX_TEXT + 1);
        if (!text) return -1;
        bool whole = false;
        int64_t n = pxa_decompress(src, len, text, PXA_MAX_TEXT, &whole);
        rom->cursor = rom->length;
        // A block that did not decode to its declared length is damaged: what
        // came out is served, but never written back over the file.
        int r = write_main_lua(path, text, n);
        free(text);
        return r == 0 && whole ? 0 : -1;
    }
    if (len < 3) return -1;
    if (!rom_is_rom(src, len)) {
        // The text from the cursor on, up to its first NUL. It was read whole
        // only when that is every byte and the bytes are text: a ROM whose
        // header is damaged must not pass for a script, or a write-back would
        // replace the cartridge with what came before its first NUL.
        const uint8_t* nul = (const uint8_t*)memchr(src, 0, (size_t)len);
        rom->cursor = rom->length;
        int r = write_main_lua(path, src, nul ? nul - src : len);
        return r == 0 && !nul && is_utf8(src, len) ? 0 : -1;
    }
    int64_t consumed = 0;
    buffer* stream = rom_unpack(src, len, &consumed);
    rom->cursor = (int32_t)(at + consumed);
    if (!stream) {
        printf("  *** hvx.rom decompression failed: %s\n", path);
        return -1;
    }
    // Unpacking is charged as reading that many bytes; files that would pass
    // the bound of RAM files are not started on.
    spend_cpu(hvx_cycles(stream->length / CART_UNPACK_BYTES_PER_CYCLE));
    int64_t file_bytes = 0;
    for (int64_t p = 0;;) {
        rom_entry e{};
        int r = rom_next_entry(stream->data, stream->length, &p, &e);
        if (r != ROM_ENTRY_OK && r != ROM_ENTRY_CUT_SHORT) break;
        file_bytes += e.size;
        if (r == ROM_ENTRY_CUT_SHORT) break;
    }
    if (!ram_files_room(file_bytes)) {
        destroy_buffer(stream);
        return -1;
    }
    // A cartridge named inside the one being filled is not mounted meanwhile.
    int was_blocked = pdisk_block_automounting(1);
    // A block cut short by the file's end may still decode, to a stream cut
    // at an entry's end: the image is not whole all the same.
    int result = consumed < ROM_HEADER_SIZE + (int64_t)load_u32_le(src + 4) ? -1 : 0;
    int64_t pos = 0;
    buffer* dest = create_buffer_2(512, ROM_SCRATCH_KIND);
    for (;;) {
        rom_entry e;
        int r = rom_next_entry(stream->data, stream->length, &pos, &e);
        if (r == ROM_ENTRY_END) break;
        if (r == ROM_ENTRY_BAD_NAME || r == ROM_ENTRY_BAD_SIZE) {
            puts("  *** hvx.rom filename parsing failed");
            result = -1;
            break;
        }
        if (r == ROM_ENTRY_DOTDOT) {
            printf("** bad file description while mounting .hvx.rom: %s\n", path);
            result = -1;
            break;
        }
        if (r == ROM_ENTRY_BAD_LENGTH) {
            // The size as the signed 32-bit count it reads as.
            int count = (int)(int32_t)(uint32_t)e.size;
            printf("** bad file length %d (%d) while mounting .hvx.rom: %s\n", count, count, path);
            result = -1;
            break;
        }
        int64_t skip = (int64_t)strlen(prefix);
        // The prefix's own folder entry ("system/") names the folder itself.
        bool is_prefix_folder = e.folder && skip > 0 && e.name_len == skip && memcmp(e.name, prefix, (size_t)skip) == 0;
        if (!is_prefix_folder && (e.name_len <= skip || memcmp(e.name, prefix, (size_t)skip) != 0)) {
            krio_debugf("hvx.rom: %s lies outside %s\n", e.name, prefix);
            result = -1;
            if (r == ROM_ENTRY_CUT_SHORT) break;
            continue;
        }
        // A name of improper segments would land somewhere else than it
        // says, and a write-back would not give it again: skipped, and the
        // cartridge did not load whole.
        if (!is_prefix_folder && !entry_name_proper(e.name + skip, e.name_len - skip, e.folder)) {
            krio_debugf("hvx.rom: %s is not a name of proper segments\n", e.name);
            result = -1;
            if (r == ROM_ENTRY_CUT_SHORT) break;
            continue;
        }
        bclear(dest);
        bappend_str(dest, path);
        bappend_str(dest, "/");
        if (!is_prefix_folder) bwrite(e.name + skip, 1, e.name_len - skip, dest);
        const char* d = to_cstr(dest);
        if (e.folder) {
            int m = pmkdir(d);
            // An existing folder is fine; anything else is not the tree.
            if (m != 0 && !pdisk_directory_exists(d, 0)) result = -1;
            continue;
        }
        // Data cut short: what is there is written; the cartridge did not
        // load whole, so it is never written back over its file.
        if (r == ROM_ENTRY_CUT_SHORT) result = -1;
        if (keep_existing && pdisk_file_exists(d)) {
            if (r == ROM_ENTRY_CUT_SHORT) break;
            continue;
        }
        // The last entry, when large, takes the unpacked stream's memory: its
        // bytes move down rather than into fresh memory.
        bool take = r == ROM_ENTRY_OK && pos >= stream->length && e.size >= ROM_TAKE_MIN;
        if (take) {
            memmove(stream->data, e.data, (size_t)e.size);
            stream->length = (int32_t)e.size;
            stream->data[e.size] = 0;
        }
        // A name the file system refuses is reported, not dropped silently:
        // a write-back would lose it.
        if (take ? !ram_file_take(d, &stream) : !write_ram_file(d, e.data, e.size)) {
            krio_debugf("hvx.rom: could not write %s\n", d);
            result = -1;
        }
        if (r == ROM_ENTRY_CUT_SHORT || take) break;
    }
    pdisk_block_automounting(was_blocked);
    destroy_buffer(dest);
    destroy_buffer(stream);
    return result;
}

int populate_ram_folder_from_hvx_rom_buffer(const char* path, buffer* rom) {
    return populate_ram_folder_from_hvx_rom_buffer_ex(path, "", rom, 0);
}
