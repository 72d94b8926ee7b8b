// The write-back of changed cartridges: a small one is encoded whole (at once
// for the flushes, within the frame's share of bytes for the frame) and
// handed to the disk writer, which writes it off the frame's thread; the
// flushes wait for it to be in its file, the frame does not. A larger one
// goes to the write over frames (cart_write.cpp).
#include <algorithm>
#include <deque>
#include <set>
#include <string>

#include "storage/anywhen.h"
#include "storage/cartridges.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"
#include "storage/writeback.h"

// Mounts whose write-back failure was reported, so a retry does not repeat it.
static std::set<std::string> _failed_mounts;

// A failed write-back is retried later, each time twice as late up to a
// bound, so a full disk costs little however long it lasts; it is reported
// once per episode, with the notice given or as a system error.
void write_back_failed(pmount* m, const char* why, const char* notice) {
    const char* mp = btext(m->mount_point);
    m->dirty = 1;
    m->flush_due = os_get_time() + (WRITE_BACK_RETRY_MS << std::min(m->failures, WRITE_BACK_RETRY_DOUBLINGS));
    m->passed_over = 0;
    if (m->failures < WRITE_BACK_RETRY_DOUBLINGS) m->failures++;
    if (_failed_mounts.insert(mp).second) {
        char text[1200];
        snprintf(text, sizeof text, "could not save %s: %s", mp, why);
        krio_debugf("SYSTEM ERROR: %s\n", text);
        if (notice) notify(notice);
        else report_error(text);
    }
}

// Encodes the mount's folder in the form its extension names; 0, or the
// encoder's failure (out is then not to be written).
static int encode_cartridge(cart_kind kind, buffer* out, const char* folder) {
    if (kind == CART_KIND_TEXT) return write_hvx_from_ram_files(out, folder, 0);
    if (kind == CART_KIND_ROM) return write_hvx_rom_from_ram_files(out, folder, 0);
    return write_hvx_png_from_ram_files(out, folder);
}

// Bytes of the RAM files at any depth in a RAM folder.
static int64_t folder_bytes(const char* folder) {
    std::string under = std::string(folder) + "/";
    pfile_range r = pfile_records_under(under.data(), under.size());
    int64_t n = 0;
    for (int i = r.first; i < r.end; i++) {
        const pfile* f = pfile_visit(i);
        if (f && f->kind == PFILE_KIND_RAM && f->data) n += f->data->length;
    }
    return n;
}

void write_back_succeeded(pmount* m) {
    _failed_mounts.erase(btext(m->mount_point));
    m->dirty = 0;
    m->flush_due = 0;
    m->first_change = 0;
    m->failures = 0;
    m->passed_over = 0;
}

// Writes handed to the disk writer, in the order handed over: whose mount
// learns how each went.
struct handed_write {
    uint64_t ticket;
    std::string mount_point;
    uint64_t serial;
    std::string host;
};
static std::deque<handed_write> _handed;

// Takes the ends of the handed-over writes (waiting for all of them when
// asked): a written cartridge is told to the history, a failed one is dirty
// again and tried later.
static void take_write_ends(bool wait) {
    static bool taking = false;  // what the history does with an end comes back here
    if (_handed.empty() || taking) return;
    if (wait) host_writes_wait(nullptr);
    taking = true;
    for (const host_write_end& e : host_writes_ended()) {
        while (!_handed.empty() && _handed.front().ticket < e.ticket) _handed.pop_front();
        if (_handed.empty() || _handed.front().ticket != e.ticket) continue;
        const handed_write h = std::move(_handed.front());
        _handed.pop_front();
        pmount* m = get_mount_by_mount_point(h.mount_point.c_str(), 0);
        if (m && m->serial != h.serial) m = nullptr;
        if (m && m->writing > 0) m->writing--;
        if (e.ok) {
            anywhen_event(ANYWHEN_FILE_WRITTEN, h.mount_point.c_str(), h.host.c_str());
            note_host_write();
        } else if (m) {
            write_back_failed(m, "could not write the file");
        }
    }
    taking = false;
}

void write_back_settle() { take_write_ends(true); }

static int64_t write_back_held(pmount* m, bool wait);
// Writes m back; with wait, its file is written (or failed) on return.
static int64_t write_back(pmount* m, bool wait) {
    // Written whole now, from newer files than a write under way holds.
    if (cart_write_mount() == m) cart_write_cancel();
    // The write-back resolves paths, which may mount: no mount may go under m.
    pdisk_hold_mounts(1);
    int64_t bytes = write_back_held(m, wait);
    pdisk_hold_mounts(0);
    return bytes;
}

// The host file a cartridge's own file is, or "" when it is not one (a RAM
// file, or no origin).
static std::string host_file_of(const char* mount_point) {
    int kind = 0;
    buffer* origin = resolve_to_origin(mount_point, &kind, 1);
    std::string host = kind == MOUNT_KIND_HOST && origin ? btext(origin) : "";
    destroy_buffer(origin);
    return host;
}

// Encodes the mount's folder and writes it over its cartridge file, which
// clears its dirty flag. The file is written only once the encoding stands,
// so a failure leaves it as it was. The encoding is charged to the running
// process by its bytes (the larger of what went in and what came out: a ROM
// packs small, the text form grows), which are returned, and the host write
// as a close charges it. A host file is written by the disk writer: the
// mount is clean once it is handed over, and dirty again if it then fails.
static int64_t write_back_held(pmount* m, bool wait) {
    const char* mp = btext(m->mount_point);
    if (m->no_write_back) {
        // Its file did not load whole: writing the folder would lose the rest.
        if (_failed_mounts.insert(mp).second)
            krio_debugf("not saving %s: the cartridge did not load whole\n", mp);
        m->flush_due = UINT64_MAX;
        return 0;
    }
    cart_kind k = hvx_path_kind(mp);
    if (!k) {
        // Not a cartridge: nothing to write. It stays dirty (kept from
        // pruning) but no later frame looks at it again for this.
        m->flush_due = UINT64_MAX;
        return 0;
    }
    buffer* encoded = create_buffer_2(PFILE_DATA_SIZE, PFILE_DATA_KIND);
    int r = encoded ? encode_cartridge(k, encoded, btext(m->origin)) : -1;
    const int64_t files = folder_bytes(btext(m->origin));
    int64_t bytes = encoded ? std::max<int64_t>(files, encoded->length) : files;
    spend_cpu(hvx_cycles(cart_encode_cycles(k, bytes) + (k == CART_KIND_PNG && r == 0 ? cart_png_picture_cycles(files) : 0)));
    if (r != 0) {
        destroy_buffer(encoded);
        if (r == PNG_CART_TOO_LARGE) write_back_failed(m, "cartridge too large", PNG_CART_TOO_LARGE_TEXT);
        else write_back_failed(m, k == 1 ? "could not encode the cartridge" : "cartridge too large");
        return bytes;
    }
    std::string host = host_file_of(mp);
    if (!host.empty()) {
        const int64_t n = encoded->length;
        uint64_t ticket = host_write_later(host, std::string((const char*)encoded->data, (size_t)n));
        destroy_buffer(encoded);
        spend_cpu(hvx_cycles(host_write_cycles(n)));
        _handed.push_back({ticket, mp, m->serial, std::move(host)});
        m->writing++;
        write_back_succeeded(m);
        if (wait) take_write_ends(true);
        return bytes;
    }
    pfile* f = pfopen(mp, "wf");
    if (!f) {
        destroy_buffer(encoded);
        write_back_failed(m, "could not open the file");
        return bytes;
    }
    bool ok = pfwrite(encoded->data, 1, encoded->length, f) == encoded->length;
    destroy_buffer(encoded);
    ok = pfclose(f) == 0 && ok;
    if (!ok) {
        write_back_failed(m, "could not write the file");
        return bytes;
    }
    write_back_succeeded(m);
    return bytes;
}

// Whether a flush writes the mount back now. The frame leaves one whose
// last write is still on its way to the disk for a later frame.
static bool flush_wanted(const pmount* m, int delayed) {
    if (!m || !m->dirty || app.atomic_pid) return false;
    return !delayed || (m->flush_due <= os_get_time() && !m->writing);
}

int flush_dirty_mount(pmount* m, int delayed) {
    if (m && m->writing && !delayed) take_write_ends(true);
    if (!flush_wanted(m, delayed)) return 0;
    write_back(m, !delayed);
    return !m->dirty;
}

// Both count the cartridge mounts they tried to write, written or not.
int flush_dirty_mounts_immediately() {
    int count = 0;
    spend_cpu(hvx_cycles(pdisk_num_mounts() / MOUNTS_SCANNED_PER_CYCLE));
    if (cart_write_mount() && !app.atomic_pid) {
        bool finished = false;
        cart_write_step(-1, false, &finished);
        count += finished;
    }
    // Each is handed to the disk writer as it is encoded; all are in their
    // files on return.
    for (int i = pdisk_num_mounts() - 1; i >= 0; i--) {
        pmount* m = pdisk_mount(i);
        if (!flush_wanted(m, 0)) continue;
        count += hvx_path_kind(btext(m->mount_point)) != CART_KIND_NONE;
        write_back(m, false);
    }
    take_write_ends(true);
    return count;
}

static int64_t _frame_bytes = 0;
int64_t write_back_frame_bytes() { return _frame_bytes; }

// The frame's share counts a cartridge's bytes by what writing them costs,
// as bytes of the text form: a ROM packs them that many times slower.
static int64_t frame_share(cart_kind kind, int64_t bytes) {
    return kind == CART_KIND_ROM ? bytes * (CART_TEXT_ENCODE_BYTES_PER_CYCLE / CART_ROM_ENCODE_BYTES_PER_CYCLE) : bytes;
}

// The most writing the mount whole may take of the frame's share: its files'
// bytes grown as the text form grows a binary file (base64 and its line
// ends), or as a ROM's block may grow what does not compress.
static int64_t write_back_estimate(cart_kind kind, int64_t bytes) {
    return frame_share(kind, kind == CART_KIND_ROM ? bytes + bytes / 64 + 4096 : bytes + bytes / 2 + 4096);
}

// The estimate for the mount's cartridge as its folder stands; 0 when it is
// no cartridge.
static int64_t write_back_need(const pmount* m) {
    cart_kind k = hvx_path_kind(btext(m->mount_point));
    return k ? write_back_estimate(k, folder_bytes(btext(m->origin))) : 0;
}

uint64_t write_back_wait_ms(int64_t need) {
    int64_t wait = (int64_t)MOUNT_FLUSH_DELAY_MS + need / WRITE_BACK_WAIT_BYTES_PER_MS;
    return (uint64_t)std::min<int64_t>(wait, WRITE_BACK_WAIT_MAX_MS);
}

// A cartridge written by the frame is paid for by the program that changed
// it, as debt, not by whichever process the frame happens to stand in.
static int64_t write_back_for_program(pmount* m) {
    int32_t before = cpu_cycles;
    int64_t program = m->changed_by;
    int64_t bytes = write_back(m, false);
    int64_t spent = (int64_t)cpu_cycles - before;
    cpu_cycles = before;
    owe_write_back(program, spent);
    return bytes;
}

void owe_write_back(int64_t program, int64_t cycles) {
    if (program_is_live(program)) add_program_debt(program, cycles);
}

// Whether a goes before b in the frame's write-back: one an earlier frame
// left due before one newly due, the earliest left first; then, as every
// flush goes, the one mounted last (the table is in mount order).
static bool writes_before(const pmount* a, int ia, const pmount* b, int ib) {
    uint64_t ka = a->passed_over ? a->passed_over : UINT64_MAX;
    uint64_t kb = b->passed_over ? b->passed_over : UINT64_MAX;
    return ka != kb ? ka < kb : ia > ib;
}

static uint64_t _frame_round = 0;

int flush_dirty_mounts_delayed() {
    int count = 0;
    int64_t work = 0;
    _frame_bytes = 0;
    take_write_ends(false);
    if (app.atomic_pid) return 0;
    _frame_round++;
    if (cart_write_mount()) {
        bool finished = false;
        work += cart_write_step(WRITE_BACK_FRAME_BYTES, true, &finished);
        count += finished;
    }
    // The order depends on no clock but the due test, so cartridges changed
    // together are written in the same order however their changes fell
    // across a millisecond; and one left for a later frame goes first then,
    // so cartridges changed again and again can not keep the others waiting.
    // A mount tried is clean or due later after it.
    bool left_due = true;  // until the table has none due
    // While the disk is behind by a few frames' share, the frame hands it no
    // more: what is due waits, so the bytes held for the disk stay bounded.
    while (work < WRITE_BACK_FRAME_BYTES && host_writes_queued_bytes() < WRITE_BACK_QUEUED_MAX_BYTES) {
        pmount* next = nullptr;
        int at = -1;
        const pmount* writing = cart_write_mount();
        for (int i = pdisk_num_mounts() - 1; i >= 0; i--) {
            pmount* m = pdisk_mount(i);
            if (m != writing && flush_wanted(m, 1) && (!next || writes_before(m, i, next, at))) {
                next = m;
                at = i;
            }
        }
        if (!next) {
            left_due = false;
            break;
        }
        cart_kind k = hvx_path_kind(btext(next->mount_point));
        int64_t left = WRITE_BACK_FRAME_BYTES - work;
        int64_t need = write_back_need(next);
        // One too large for a frame may still be growing: it waits after its
        // first change in proportion to its size, so it is written about
        // once at its final size rather than whole again every delay.
        if (need > WRITE_BACK_FRAME_BYTES && !next->no_write_back && next->first_change) {
            uint64_t due = next->first_change + write_back_wait_ms(need);
            if (due > os_get_time()) {
                next->flush_due = due;
                next->passed_over = 0;
                continue;
            }
        }
        // One that may pass what the frame has left is written over frames.
        if (need > left && !next->no_write_back) {
            if (writing) break;
            cart_write_start(next);
            bool finished = false;
            work += cart_write_step(left, true, &finished);
            count += finished;
            break;
        }
        count += k != 0;
        work += std::max(frame_share(k, write_back_for_program(next)), WRITE_BACK_FILE_BYTES);
    }
    // What is still due waits for a later frame, before anything due anew.
    const pmount* writing = cart_write_mount();
    for (int i = 0; left_due && i < pdisk_num_mounts(); i++) {
        pmount* m = pdisk_mount(i);
        if (m != writing && !m->passed_over && flush_wanted(m, 1)) m->passed_over = _frame_round;
    }
    _frame_bytes = work;
    return count;
}

int flush_path_cartridge(const char* path) { return flush_dirty_mount(cart_mount_at_or_above(path), 0); }

bool flush_path_cartridge_if_small(const char* path) {
    pmount* m = cart_mount_at_or_above(path);
    if (!flush_wanted(m, 0)) return false;
    if (!m->no_write_back && write_back_need(m) > WRITE_BACK_FRAME_BYTES) return true;
    // The look needs only the RAM files: the file follows off the thread.
    write_back(m, false);
    return false;
}

// Before a read that must see the newest bytes: the path normalised as the
// opening will normalise it.
static void flush_for_read(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (np) flush_path_cartridge(to_cstr(np));
    destroy_buffer(np);
}

pfile* pfopen_newest(const char* path) {
    flush_for_read(path);
    return pfopen(path, "rf");
}

buffer* pfile_read_newest(const char* path) {
    flush_for_read(path);
    return pfile_read_all(path, "rf");
}

int pdisk_cart_file_exists(const char* path) {
    pfile* f = pfopen_newest(path);
    if (!f) return 0;
    pfclose(f);
    return 1;
}

// A mount about to go is written now, inside an atomic operation too, as its
// folder goes with it. The write holds the table, so m stays where it is.
static void flush_before_removal(pmount* m) {
    if (m && m->writing) take_write_ends(true);
    if (m && holds_unwritten_changes(m)) write_back(m, true);
}

int delete_mount_point(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return 0;
    pmount* m = get_mount_by_mount_point(to_cstr(np), 0);
    destroy_buffer(np);
    flush_before_removal(m);
    return remove_mount(m);
}

void prune_process_mounts(int64_t pid) {
    char prefix[64];
    snprintf(prefix, sizeof(prefix), "/ram/anywhen/%lld_", (long long)pid);
    // Only the process's own mounts are written back, and only as they go.
    for (int i = pdisk_num_mounts() - 1; i >= 0; i--) {
        pmount* m = pdisk_mount(i);
        if (!starts_with(btext(m->mount_point), prefix)) continue;
        flush_before_removal(m);
        drop_mount(i);
    }
}
