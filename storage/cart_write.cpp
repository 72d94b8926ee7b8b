// The write-back of a cartridge too large for one frame. Its folder is copied
// into host memory a bounded number of bytes a frame, as it stood when the
// write began: a file not yet copied hands its bytes to the write before they
// change or go (copy on write), so the file written holds one moment of the
// cartridge, never a file of one save beside a file of the next. A worker
// thread then encodes the copy (it touches no buffer and no record) into a
// hidden sibling of the cartridge file in bounded pieces and syncs it; once
// the frame lets it, the worker puts it in place of the file and syncs the
// folder. The frame's thread never waits for the disk, and a kill at any
// moment leaves the old file or the new one. A PNG's label text is printed
// from the copy on the frame's thread, which the printer needs, before its
// picture is packed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "storage/anywhen.h"
#include "storage/cartridges.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"
#include "storage/writeback.h"

namespace {

// The worker could not open the hidden sibling.
constexpr int CART_WRITE_NOT_OPENED = -4;

enum cart_write_phase { PHASE_COPY, PHASE_ENCODE, PHASE_PLACE };
// The frame's word on a file encoded and synced: put it in place, or not.
enum place_decision { PLACE_UNDECIDED, PLACE_COMMIT, PLACE_CANCEL };

struct cart_write_job {
    std::string mount_point;
    uint64_t serial = 0;  // of its mount: a new mount at the same point is another
    std::string folder;
    cart_kind kind = CART_KIND_NONE;
    int64_t program = 0;       // pays for the frames' work
    uint64_t changes = 0;      // the mount's count when the copy began
    cart_write_phase phase = PHASE_COPY;

    std::vector<cart_snapshot_entry> entries;
    // Beside each entry: its record's stamp when the write began, and
    // whether its copy is whole (a folder's at once).
    std::vector<uint64_t> stamps;
    std::vector<uint8_t> copied;
    std::unordered_multimap<std::string, size_t> index;  // entries by path
    std::string template_path; // a PNG's template as a RAM file, copied last beside the entries
    std::string template_png;  // its bytes, once copied
    std::vector<uint8_t> label_text;  // a PNG's label text, drawn on the frame's thread
    size_t next = 0;           // the entry being copied
    int64_t expected = 0;      // its length when its copy began
    int64_t copied_bytes = 0;

    std::thread worker;
    std::mutex lock;
    std::condition_variable wake;
    place_decision decision = PLACE_UNDECIDED;  // under lock
    std::atomic<bool> cancelled{false};
    std::atomic<bool> encoded{false};   // the worker's results below stand
    std::atomic<bool> finished{false};  // and so does placed; the worker ends
    int encode_result = -1;
    int64_t encoded_bytes = 0;
    bool placed = false;
    std::string out;  // a cartridge file that is itself a RAM file takes it whole

    FILE* temp = nullptr;  // the worker's once it starts
    std::string temp_path, host_path;
    bool ram_target = false;

    void decide(place_decision d) {
        std::lock_guard<std::mutex> hold(lock);
        if (decision == PLACE_UNDECIDED) decision = d;
        if (d == PLACE_CANCEL) cancelled.store(true, std::memory_order_relaxed);
        wake.notify_all();
    }
    // Whether the flag is set, waiting for it when asked to.
    bool reached(const std::atomic<bool>& flag, bool wait) {
        if (flag.load(std::memory_order_acquire) || !wait) return flag.load(std::memory_order_acquire);
        std::unique_lock<std::mutex> hold(lock);
        wake.wait(hold, [&] { return flag.load(std::memory_order_acquire); });
        return true;
    }

    // Whatever ends the job (its end, a cancel, the program's exit) lets go
    // of the file, waits for its worker and leaves no temporary file.
    ~cart_write_job() {
        decide(PLACE_CANCEL);
        if (worker.joinable()) worker.join();
        if (temp) {
            fclose(temp);
            unlink(temp_path.c_str());
        }
    }
};

std::unique_ptr<cart_write_job> _job;
// Jobs dropped while their worker still ran, kept until it ends, so that no
// call waits for one.
std::vector<std::unique_ptr<cart_write_job>> _dropped;

// A worker that has finished may not have ended yet, and joining it, or
// taking its lock, would wait for a thread the host may not run for a
// while: its job is kept until a later frame finds it ended.
// The files not yet copied no longer hand their bytes to the job.
void release_pending_copies(cart_write_job& j) {
    for (size_t i = 0; i < j.entries.size() && i < j.copied.size(); i++) {
        if (j.copied[i]) continue;
        j.copied[i] = 1;
        if (pfile* f = get_ram_file_by_name(j.entries[i].path.c_str())) f->flags &= ~PFILE_FLAG_COPY_PENDING;
    }
}

void drop_job() {
    if (!_job) return;
    if (_job->phase == PHASE_COPY) release_pending_copies(*_job);
    if (!_job->finished.load(std::memory_order_acquire)) _job->decide(PLACE_CANCEL);
    if (_job->worker.joinable()) _dropped.push_back(std::move(_job));
    _job.reset();
}

// The job's mount. Once it went without writing it (unmounted, or the tables
// reset) the job is dropped: nothing may replace the file.
pmount* job_mount() {
    if (!_job) return nullptr;
    pmount* m = get_mount_by_mount_point(_job->mount_point.c_str(), 0);
    if (m && m->serial == _job->serial) return m;
    drop_job();
    return nullptr;
}

void charge(int64_t cycles, bool frame) {
    if (cycles <= 0) return;
    if (frame) owe_write_back(_job->program, hvx_cycles(cycles));
    else spend_cpu(hvx_cycles(cycles));
}

// Copies the rest of entry i from its record, whose bytes are still those of
// the moment the write began; the bytes copied.
int64_t copy_rest(cart_write_job& j, size_t i, pfile* f) {
    cart_snapshot_entry& e = j.entries[i];
    int64_t len = f->data ? f->data->length : 0;
    int64_t have = (int64_t)e.data.size();
    if (have > len) have = 0, e.data.clear();
    if (len > have) e.data.append((const char*)f->data->data + have, (size_t)(len - have));
    j.copied[i] = 1;
    f->flags &= ~PFILE_FLAG_COPY_PENDING;
    return len - have;
}

// A file the job has not yet copied is about to change or go: it copies the
// file now, so the write keeps the moment it began at. Paid as the frame's
// copy is, by the program that changed the cartridge.
void copy_before_change(pfile* f) {
    f->flags &= ~PFILE_FLAG_COPY_PENDING;
    if (!_job || _job->phase != PHASE_COPY || !f->path) return;
    cart_write_job& j = *_job;
    auto [from, to] = j.index.equal_range(btext(f->path));
    int64_t n = 0;
    for (auto it = from; it != to; ++it)
        if (!j.copied[it->second] && !j.entries[it->second].folder) n += copy_rest(j, it->second, f);
    j.copied_bytes += n;
    charge(cart_encode_cycles(j.kind, n), true);
}

// Copies up to budget bytes of the folder's files (all with budget -1); the
// bytes copied.
int64_t copy_step(int64_t budget) {
    cart_write_job& j = *_job;
    int64_t done = 0;
    while (j.next < j.entries.size() && (budget < 0 || done < budget)) {
        const size_t i = j.next;
        cart_snapshot_entry& e = j.entries[i];
        if (j.copied[i]) {
            j.next++;
            continue;
        }
        pfile* f = get_ram_file_by_name(e.path.c_str());
        if (!f || f->kind != PFILE_KIND_RAM || (f->flags & PFILE_FLAG_FOLDER) || f->stamp != j.stamps[i]) {
            // Changed past the copy on write (no path changes a flagged
            // record so): the mount was marked changed, so it is written
            // again with what stands there then.
            if (f) f->flags &= ~PFILE_FLAG_COPY_PENDING;
            j.index.clear();  // indices shift; the erased entry was the only one of its path
            j.entries.erase(j.entries.begin() + (ptrdiff_t)i);
            j.stamps.erase(j.stamps.begin() + (ptrdiff_t)i);
            j.copied.erase(j.copied.begin() + (ptrdiff_t)i);
            for (size_t k = 0; k < j.entries.size(); k++) j.index.emplace(j.entries[k].path, k);
            continue;
        }
        int64_t len = f->data ? f->data->length : 0;
        if (e.data.empty()) {
            j.expected = len;
            e.data.reserve((size_t)len);
            done += (int64_t)e.path.size();
        }
        int64_t take = len - (int64_t)e.data.size();
        if (budget >= 0 && take > budget - done) take = std::max<int64_t>(budget - done, 0);
        if (take >= len - (int64_t)e.data.size()) {
            done += copy_rest(j, i, f);
            j.next++;
        } else if (take > 0) {
            e.data.append((const char*)f->data->data + e.data.size(), (size_t)take);
            done += take;
        }
    }
    return done;
}

const std::string* copied_info() {
    cart_write_job& j = *_job;
    std::string info_path = j.folder + "/" + HVX_INFO_FILE;
    for (const cart_snapshot_entry& e : j.entries)
        if (!e.folder && e.path == info_path) return &e.data;
    return nullptr;
}

// The bytes prepare_picture does on the frame's thread: the info file the
// label is printed from (printing reads it for its keys).
int64_t picture_bytes() {
    const std::string* info = copied_info();
    return info ? (int64_t)info->size() : 0;
}

// What a PNG takes from the frame's thread once its files are copied: the
// template (a host file is read now; a RAM one was copied with the files)
// and the label text, printed from the copied info file. The bytes done.
int64_t prepare_picture() {
    cart_write_job& j = *_job;
    int64_t done = 0;
    if (!j.entries.empty() && !j.template_path.empty() && j.entries.back().path == j.template_path &&
        !j.entries.back().folder) {
        j.template_png = std::move(j.entries.back().data);
        j.entries.pop_back();
    } else if (j.template_path.empty()) {
        scoped_buffer t(pfile_read_all(PNG_CART_TEMPLATE, "rb"));
        if (t) j.template_png.assign((const char*)t->data, (size_t)t->length);
        done += (int64_t)j.template_png.size();
    }
    const std::string* info = copied_info();
    done += picture_bytes();
    if (!png_cart_label_text(info, &j.label_text)) j.label_text.clear();
    return done;
}

// The worker: encodes the copy in pieces into the temporary file (or into
// out for a RAM cartridge file), syncs it, then waits for the frame's word
// and puts it in place. Touches no counted memory, buffer or record.
void encode_and_place(cart_write_job* j) {
    auto write = [j](const void* d, size_t n) {
        if (j->cancelled.load(std::memory_order_relaxed)) return false;
        j->encoded_bytes += (int64_t)n;
        if (j->ram_target) {
            j->out.append((const char*)d, n);
            return true;
        }
        return fwrite(d, 1, n, j->temp) == n;
    };
    // A packed form is written from where it was packed, in pieces.
    auto write_all = [&](const void* d, size_t n) {
        for (size_t at = 0; at < n; at += CART_WRITE_PIECE_BYTES)
            if (!write((const char*)d + at, std::min(CART_WRITE_PIECE_BYTES, n - at))) return CART_WRITE_REFUSED;
        return 0;
    };
    int r = 0;
    if (!j->ram_target) {
        j->temp = open_temp_sibling(j->host_path.c_str(), &j->temp_path);
        if (!j->temp) r = CART_WRITE_NOT_OPENED;
    }
    if (r != 0) {
    } else if (j->kind == CART_KIND_TEXT) {
        r = hvx_text_from_snapshot_in_pieces(j->entries, j->folder.c_str(), CART_WRITE_PIECE_BYTES, write);
    } else if (j->kind == CART_KIND_ROM) {
        packed_image packed;
        r = rom_image_from_snapshot(&packed, std::move(j->entries), j->folder.size());
        if (r == 0) r = write_all(packed.data(), packed.size());
    } else {
        std::string packed;
        r = png_cart_from_snapshot(&packed, j->entries, j->folder.size(), &j->template_png,
                                   j->label_text.empty() ? nullptr : j->label_text.data());
        if (r == 0) r = write_all(packed.data(), packed.size());
    }
    std::vector<cart_snapshot_entry>().swap(j->entries);
    std::string().swap(j->template_png);
    if (j->temp) {
        // A failed encoding is not worth its sync.
        bool ok = r == 0 ? sync_and_close_host_stream(j->temp, true) : (fclose(j->temp), false);
        j->temp = nullptr;
        if (r == 0 && !ok) r = CART_WRITE_REFUSED;
    }
    j->encode_result = r;
    std::unique_lock<std::mutex> hold(j->lock);
    j->encoded.store(true, std::memory_order_release);
    j->wake.notify_all();
    if (!j->ram_target) {
        if (r == 0) j->wake.wait(hold, [j] { return j->decision != PLACE_UNDECIDED; });
        // Under the lock: a cancel made before this point keeps the old file
        // for good, and one made after it waits for the rename.
        if (r == 0 && j->decision == PLACE_COMMIT) j->placed = put_temp_in_place(j->temp_path.c_str(), j->host_path.c_str());
        else if (!j->temp_path.empty()) unlink(j->temp_path.c_str());
    }
    j->finished.store(true, std::memory_order_release);
    j->wake.notify_all();
}

// Finds where the encoding goes: a hidden sibling of a host cartridge file,
// which the worker opens (no disk work on the frame's thread); a cartridge
// file that is itself a RAM file takes it whole at the end.
bool find_target() {
    cart_write_job& j = *_job;
    int kind = 0;
    pdisk_hold_mounts(1);
    buffer* origin = resolve_to_origin(j.mount_point.c_str(), &kind, 1);
    pdisk_hold_mounts(0);
    if (!origin) return false;
    j.host_path = btext(origin);
    destroy_buffer(origin);
    if (kind == MOUNT_KIND_RAM) {
        j.ram_target = true;
        return true;
    }
    return kind == MOUNT_KIND_HOST && !j.host_path.empty();
}

// Writes a RAM cartridge file whole; false when it failed.
bool replace_ram_file() {
    cart_write_job& j = *_job;
    pdisk_hold_mounts(1);
    pfile* f = pfopen(j.mount_point.c_str(), "wf");
    bool ok = f && pfwrite(j.out.data(), 1, (int64_t)j.out.size(), f) == (int64_t)j.out.size();
    ok = f && pfclose(f) == 0 && ok;
    pdisk_hold_mounts(0);
    return ok;
}

// Ends the job as failed: the old file stays, the mount waits for a retry.
void fail(pmount* m, int result) {
    bool large = _job->kind != CART_KIND_TEXT;
    drop_job();
    if (result == PNG_CART_TOO_LARGE) write_back_failed(m, "cartridge too large", PNG_CART_TOO_LARGE_TEXT);
    else if (result == CART_WRITE_NOT_OPENED) write_back_failed(m, "could not open the file");
    else if (result == CART_WRITE_REFUSED) write_back_failed(m, "could not write the file");
    else write_back_failed(m, large ? "cartridge too large" : "could not encode the cartridge");
}

}  // namespace

const pmount* cart_write_mount() { return job_mount(); }

// The moment the write keeps: a file's record is flagged to hand its bytes
// over before they change; a folder needs nothing more than its name.
static void take_at_start(cart_write_job& j, pfile* f) {
    const bool folder = j.entries.back().folder;
    j.stamps.push_back(f->stamp);
    j.copied.push_back(folder);
    j.index.emplace(j.entries.back().path, j.entries.size() - 1);
    if (!folder) f->flags |= PFILE_FLAG_COPY_PENDING;
    ram_file_before_change = copy_before_change;
}

void cart_write_start(pmount* m) {
    if (_job) cart_write_cancel();
    _job = std::make_unique<cart_write_job>();
    cart_write_job& j = *_job;
    j.mount_point = btext(m->mount_point);
    j.serial = m->serial;
    j.folder = btext(m->origin);
    while (!j.folder.empty() && j.folder.back() == '/') j.folder.pop_back();
    j.kind = hvx_path_kind(j.mount_point.c_str());
    j.program = m->changed_by;
    j.changes = m->changes;
    // The records in table order, as the whole write takes them.
    int count = pdisk_pfile_iterator_under((j.folder + "/").c_str());
    for (int i = 0; i < count; i++) {
        const pfile* f = pdisk_pfile_iterator_item(i);
        if (!f || f->kind != PFILE_KIND_RAM || !f->path) continue;
        const char* p = btext(f->path);
        if (strncmp(p, j.folder.c_str(), j.folder.size()) != 0 || p[j.folder.size()] != '/' || !p[j.folder.size() + 1])
            continue;
        cart_snapshot_entry e;
        e.path = p;
        e.folder = (f->flags & PFILE_FLAG_FOLDER) != 0;
        // A folder's name counts too: one named like a text file is written
        // among the text files, as the whole write does.
        e.text_name = hvx_text_name_form(p) != 0;
        j.entries.push_back(std::move(e));
        take_at_start(j, const_cast<pfile*>(f));
    }
    if (j.kind == CART_KIND_PNG) {
        // The template is copied like the files when it is a RAM file.
        int kind = 0;
        pdisk_hold_mounts(1);
        buffer* origin = resolve_to_origin(PNG_CART_TEMPLATE, &kind, 0);
        pdisk_hold_mounts(0);
        if (origin && kind == MOUNT_KIND_RAM && origin->data && origin->data[0]) {
            j.template_path = btext(origin);
            const pfile* t = get_ram_file_by_name(j.template_path.c_str());
            if (t && t->kind == PFILE_KIND_RAM && !(t->flags & PFILE_FLAG_FOLDER)) {
                cart_snapshot_entry e;
                e.path = j.template_path;
                j.entries.push_back(std::move(e));
                take_at_start(j, const_cast<pfile*>(t));
            }
        }
        destroy_buffer(origin);
    }
}

int64_t cart_write_step(int64_t budget, bool frame, bool* finished) {
    if (finished) *finished = false;
    std::erase_if(_dropped, [](const auto& d) { return d->finished.load(std::memory_order_acquire); });
    if (!_job || app.atomic_pid) return 0;
    pmount* m = job_mount();
    if (!m) return 0;
    cart_write_job& j = *_job;
    const bool wait = budget < 0;
    int64_t done = 0;
    if (j.phase == PHASE_COPY) {
        int64_t copied = copy_step(budget);
        done += copied;
        j.copied_bytes += copied;
        charge(cart_encode_cycles(j.kind, copied), frame);
        if (j.next < j.entries.size()) return done;
        if (j.kind == CART_KIND_PNG) {
            // The picture's part on this thread waits for a frame with room.
            if (budget >= 0 && done > 0 && done + picture_bytes() > budget) return done;
            int64_t label = prepare_picture();
            done += label;
            charge(cart_encode_cycles(j.kind, label), frame);
        }
        if (!find_target()) {
            drop_job();
            write_back_failed(m, "could not open the file");
            if (finished) *finished = true;
            return done;
        }
        j.phase = PHASE_ENCODE;
        j.worker = std::thread(encode_and_place, &j);
    }
    if (j.phase == PHASE_ENCODE) {
        if (!j.reached(j.encoded, wait)) return done;
        // The encoding is paid for by the larger of its bytes and the files',
        // and a PNG's picture besides.
        if (j.encoded_bytes > j.copied_bytes) charge(cart_encode_cycles(j.kind, j.encoded_bytes - j.copied_bytes), frame);
        if (j.kind == CART_KIND_PNG && j.encode_result == 0) charge(cart_png_picture_cycles(j.copied_bytes), frame);
        if (j.encode_result != 0) {
            fail(m, j.encode_result);
            if (finished) *finished = true;
            return done;
        }
        if (!j.ram_target) {
            j.decide(PLACE_COMMIT);
            j.phase = PHASE_PLACE;
        }
    }
    if (j.phase == PHASE_PLACE && !j.reached(j.finished, wait)) return done;
    bool ok = j.ram_target ? replace_ram_file() : j.placed;
    if (ok && !j.ram_target) {
        anywhen_event(ANYWHEN_FILE_WRITTEN, j.mount_point.c_str(), j.host_path.c_str());
        note_host_write();
    }
    uint64_t changes = j.changes;
    charge(host_write_cycles(j.encoded_bytes), frame);
    drop_job();
    if (finished) *finished = true;
    if (!ok) {
        write_back_failed(m, "could not write the file");
        return done;
    }
    write_back_succeeded(m);
    if (m->changes != changes) {
        // Changed while it was written: written again, after the usual delay.
        m->dirty = 1;
        m->first_change = os_get_time();
        m->flush_due = m->first_change + MOUNT_FLUSH_DELAY_MS;
    }
    return done;
}

void cart_write_cancel() {
    // One told to go in place may be renaming now: a write after it must
    // not land first.
    if (_job && _job->phase == PHASE_PLACE && !_job->ram_target) _job->reached(_job->finished, true);
    drop_job();
}
