// Small helpers shared by the storage modules; not part of the contract.
// Below every concern: it includes none of their headers, and what it declares
// for a higher concern is called only from that concern or above.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/core.h"
#include "lang/lang.h"

struct pmount;

// A buffer's bytes as text ("" for none).
static inline const char* btext(const buffer* b) { return b ? (const char*)b->data : ""; }


// A hex digit's value in either case; -1 for any other character.
static inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Bytes the codecs hand back from malloc (decoded pictures, encoded files).
struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using host_pixels = std::unique_ptr<uint8_t, free_deleter>;

// The file table and the mount table start and are reset together, in
// pfile_init and pfile_reset.
void mount_table_init();   // no mounts counted (the entries start zeroed)
void mount_table_reset();  // every mount and its indexes released
// Releases the RAM records whose origin begins with the prefix.
void release_ram_records_under(const char* prefix);
// Writes refused so far by the RAM files' bound: a cartridge mount tells by
// it whether its loading met the bound.
int64_t ram_files_refusals();

// The mount that serves a normalised path, the one at its deepest mount point
// (with skip_exact, one at the path itself is passed over), marked as just
// used; none when no mount holds the path.
pmount* mount_serving(std::string_view path, bool skip_exact);
// Mounts the cartridges a path passes through, for its resolution.
size_t automount_parts(const char* path);

// True the first time a process meets this refusal about one cartridge:
// each is logged once.
bool once_per_process(const std::string& what);
// Charges one host folder operation on host_path (HOST_FOLDER_OP_COST and
// its path bytes) to the running process.
void charge_host_path_op(const char* host_path);

// A large buffer about to be filled has its pages made at once: taken one
// fault at a time, 64 MB costs the host more than the bytes themselves.
static inline void prefault_pages(void* p, size_t n) {
    const uintptr_t page = 4096;
    if (n < ((size_t)1 << 20)) return;
    uintptr_t from = ((uintptr_t)p + page - 1) & ~(page - 1);
    uintptr_t to = ((uintptr_t)p + n) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
    if (to > from) madvise((void*)from, to - from, MADV_POPULATE_WRITE);
#endif
}

static inline bool starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// ---------------------------------------------------------------------------
// The write-back of a cartridge over several frames
// ---------------------------------------------------------------------------

// One record of a cartridge's folder as it was copied: its full RAM path,
// whether that path allows the text form (a folder's too), and a file's bytes.
struct cart_snapshot_entry {
    std::string path;
    bool folder = false;
    bool text_name = false;
    std::string data;
};
// The cartridge forms of a snapshot, into host memory; pure, so they run off
// the frame's thread. 0, or -1 when a name can not be written or a ROM's
// stream would pass ROM_MAX_STREAM.
// The text form is handed to write in pieces, each held back only until
// about chunk bytes stand (a longer body goes on from the copy as it is), so
// no more than that is held besides the copy; CART_WRITE_REFUSED once write
// refused a piece.
inline constexpr int CART_WRITE_REFUSED = -3;
int hvx_text_from_snapshot_in_pieces(const std::vector<cart_snapshot_entry>& entries, const char* folder,
                                     size_t chunk, const std::function<bool(const void*, size_t)>& write);
// The ROM form takes ROM_OPTION_NO_LABEL as the whole write does. Handed the
// snapshot, it lets each file's bytes go as they enter the stream and the
// rest before packing (entries is left empty), so it holds no more than about
// the copy and the packed image at once.
int rom_image_from_snapshot(std::string* out, const std::vector<cart_snapshot_entry>& entries, size_t folder_len,
                            int options = 0);
int rom_image_from_snapshot(std::string* out, std::vector<cart_snapshot_entry>&& entries, size_t folder_len,
                            int options = 0);
// Bytes packed into pages of their own and handed over whole: the room the
// packing needed beyond them is given back in place, without a copy.
class packed_image {
public:
    packed_image() = default;
    packed_image(const packed_image&) = delete;
    packed_image& operator=(const packed_image&) = delete;
    ~packed_image() { release(); }
    // Room for cap bytes (untouched until written); false when refused.
    bool reserve(size_t cap);
    uint8_t* room() { return p_; }
    // Keeps the first n bytes, giving back the pages past them.
    void shrink(size_t n);
    const uint8_t* data() const { return p_; }
    size_t size() const { return size_; }
    void release();

private:
    uint8_t* p_ = nullptr;
    size_t size_ = 0, mapped_ = 0;
};
// The same handed over, packed once: the image is where it was packed.
int rom_image_from_snapshot(packed_image* out, std::vector<cart_snapshot_entry>&& entries, size_t folder_len,
                            int options = 0);
// The PNG form of a snapshot: the picture from the template's bytes (none:
// the plain background), the label picture found among the entries and the
// label text's bitmap (LABEL_W x LABEL_H bytes; none when not drawn). 0,
// PNG_CART_TOO_LARGE or -1, as write_hvx_png_from_ram_files.
int png_cart_from_snapshot(std::string* out, const std::vector<cart_snapshot_entry>& entries, size_t folder_len,
                           const std::string* template_png, const uint8_t* label_text);
// Draws the label text of a copied info file (none: no text) as the whole
// write does, on the frame's thread; its bitmap's bytes when drawn.
bool png_cart_label_text(const std::string* info, std::vector<uint8_t>* text);
// The pictures the two writes encode (RGBA, PNG_CART_W x PNG_CART_H), with
// their results: what is checked of a cartridge short of its encoding.
int png_cart_picture_of_ram_files(const char* folder, std::vector<uint8_t>* pixels);
int png_cart_picture_of_snapshot(std::vector<uint8_t>* pixels, const std::vector<cart_snapshot_entry>& entries,
                                 size_t folder_len, const std::string* template_png, const uint8_t* label_text);

// The host-file steps the file close and the write-back share.
FILE* open_temp_sibling(const char* host_path, std::string* temp);
void sync_folder_of(const char* host_path);
// Flushes, syncs (unless told not to) and closes a host stream written in
// full (ok: so far); false when anything failed.
bool sync_and_close_host_stream(FILE* stream, bool ok, bool sync = true);
// The hidden sibling temp replaces the host file, and the rename is made
// durable unless told not to; false when refused (temp is then removed, the
// old file stays).
bool put_temp_in_place(const char* temp, const char* host, bool sync = true);
// Both: with a temp path, the hidden sibling the stream wrote then replaces
// the host file. False when anything failed: the old file stays.
bool close_host_stream(FILE* stream, bool ok, const char* temp, const char* host);
// The disk writer: bytes handed over become the whole host file at the path
// off the caller's thread, as a "w" opening and its close would write it,
// after every write handed over before them. The write's ticket.
uint64_t host_write_later(std::string host_path, std::string bytes);
// The handed-over writes that ended since the last call, in order.
struct host_write_end {
    uint64_t ticket;
    bool ok;  // in place; else the old file stays
};
std::vector<host_write_end> host_writes_ended();
// Waits until every write handed over for the host path (none: for any
// path) has ended.
void host_writes_wait(const char* host_path);
// Bytes handed over and not yet written.
int64_t host_writes_queued_bytes();
void note_host_write();  // a host file was written: the next sync is due
void write_back_failed(pmount* m, const char* why, const char* notice = nullptr);
void write_back_succeeded(pmount* m);  // clean, its failure forgotten
// The frame's write-back of a cartridge is owed by the program that changed
// it; nothing once that program has ended, or when it is the system's.
void owe_write_back(int64_t program, int64_t cycles);
// The cycles of the host write of n bytes at a close.
int64_t host_write_cycles(int64_t n);

// The cartridge being written over frames, if any: its mount, or none.
const pmount* cart_write_mount();
// Starts writing m over frames (none may be under way).
void cart_write_start(pmount* m);
// Does at most budget bytes of its copy and write; those done. With no
// budget limit (-1) it finishes, waiting for its encoding. Pauses while an
// atomic operation is open. Its host work is charged to the program that
// changed the cartridge (frame) or to the running process (finish).
int64_t cart_write_step(int64_t budget, bool frame, bool* finished);
// Drops the write under way (its temporary file goes; the cartridge file
// keeps its old bytes).
void cart_write_cancel();
