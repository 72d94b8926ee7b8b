// The write-back of a cartridge too large for one frame. Its folder is copied
// into host memory a bounded number of bytes a frame, each file whole as it
// stood at the end of some frame; the copy is encoded off the frame's thread
// (it touches no buffer and no record there); the encoding is written to a
// hidden sibling a bounded number of bytes a frame, which replaces the
// cartridge file once whole, so a kill at any moment leaves the old file or
// the new one. A PNG's label text is printed from the copy on the frame's
// thread, which the printer needs, before its picture is packed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "storage/storage.h"
#include "storage/storage_internal.h"

namespace {

enum cart_write_phase { PHASE_COPY, PHASE_ENCODE, PHASE_WRITE };

struct cart_write_job {
    std::string mount_point;
    uint64_t serial = 0;  // of its mount: a new mount at the same point is another
    std::string folder;
    int kind = 0;
    int64_t program = 0;       // pays for the frames' work
    uint64_t changes = 0;      // the mount's count when the copy began
    cart_write_phase phase = PHASE_COPY;

    std::vector<cart_snapshot_entry> entries;
    std::string template_path; // a PNG's template as a RAM file, copied last beside the entries
    std::string template_png;  // its bytes, once copied
    std::vector<uint8_t> label_text;  // a PNG's label text, drawn on the frame's thread
    size_t next = 0;           // the entry being copied
    int64_t expected = 0;      // its length when its copy began
    const buffer* source = nullptr;  // its data buffer then; compared, never read through
    bool restart = false;      // it changed since its copy began
    int64_t copied_bytes = 0;

    std::thread worker;
    std::atomic<bool> encoded{false};
    int encode_result = -1;
    std::string out;

    FILE* temp = nullptr;
    std::string temp_path, host_path;
    bool ram_target = false;
    size_t written = 0;
};

std::unique_ptr<cart_write_job> _job;

pmount* job_mount() {
    if (!_job) return nullptr;
    pmount* m = get_mount_by_mount_point(_job->mount_point.c_str(), 0);
    return m && m->serial == _job->serial ? m : nullptr;
}

void charge(int64_t cycles, bool frame) {
    if (cycles <= 0) return;
    if (frame) owe_write_back(_job->program, hvx_cycles(cycles));
    else spend_cpu(hvx_cycles(cycles));
}

void end_job() {
    if (_job->worker.joinable()) _job->worker.join();
    if (_job->temp) {
        fclose(_job->temp);
        unlink(_job->temp_path.c_str());
    }
    _job.reset();
}

// Copies up to budget bytes of the folder's files (all with budget -1); the
// bytes copied.
int64_t copy_step(int64_t budget) {
    cart_write_job& j = *_job;
    int64_t done = 0;
    while (j.next < j.entries.size() && (budget < 0 || done < budget)) {
        cart_snapshot_entry& e = j.entries[j.next];
        const pfile* f = get_ram_file_by_name(e.path.c_str());
        if (!f || f->kind != PFILE_KIND_RAM || ((f->flags & PFILE_FLAG_FOLDER) != 0) != e.folder) {
            // Gone, or made another kind: the mount was marked changed, so
            // it is written again with what stands there then.
            j.entries.erase(j.entries.begin() + (ptrdiff_t)j.next);
            j.restart = false;
            j.source = nullptr;
            continue;
        }
        int64_t len = f->data ? f->data->length : 0;
        if (e.folder) {
            done += (int64_t)e.path.size();
            j.next++;
            continue;
        }
        // A file copied over frames must be one version whole: any change
        // to it since its copy began starts it over.
        if (!e.data.empty() && (j.restart || f->data != j.source || len != j.expected)) e.data.clear();
        if (e.data.empty()) {
            j.restart = false;
            j.expected = len;
            j.source = f->data;
            e.data.reserve((size_t)len);
            done += (int64_t)e.path.size();
        }
        int64_t take = len - (int64_t)e.data.size();
        if (budget >= 0 && take > budget - done) take = std::max<int64_t>(budget - done, 0);
        if (take > 0) e.data.append((const char*)f->data->data + e.data.size(), (size_t)take);
        done += take;
        if ((int64_t)e.data.size() == len) {
            j.next++;
            j.source = nullptr;
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

void start_encoding() {
    cart_write_job& j = *_job;
    j.phase = PHASE_ENCODE;
    cart_write_job* job = &j;
    j.worker = std::thread([job] {
        if (job->kind == 1)
            job->encode_result = hvx_text_from_snapshot(&job->out, job->entries, job->folder.c_str());
        else if (job->kind == 2)
            job->encode_result = rom_image_from_snapshot(&job->out, job->entries, job->folder.size());
        else
            job->encode_result =
                png_cart_from_snapshot(&job->out, job->entries, job->folder.size(), &job->template_png,
                                       job->label_text.empty() ? nullptr : job->label_text.data());
        job->template_png.clear();
        job->template_png.shrink_to_fit();
        job->entries.clear();
        job->entries.shrink_to_fit();
        job->encoded.store(true, std::memory_order_release);
    });
}

// Opens where the encoding goes: a hidden sibling of a host cartridge file;
// a cartridge file that is itself a RAM file takes it whole at the end.
bool open_target() {
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
    if (kind != MOUNT_KIND_HOST || j.host_path.empty()) return false;
    j.temp = open_temp_sibling(j.host_path.c_str(), &j.temp_path);
    return j.temp != nullptr;
}

// Puts the whole file in place; false when it failed (the old one stays).
bool replace_file() {
    cart_write_job& j = *_job;
    if (j.ram_target) {
        pfile* f = pfopen(j.mount_point.c_str(), "wf");
        if (!f) return false;
        bool ok = pfwrite(j.out.data(), 1, (int64_t)j.out.size(), f) == (int64_t)j.out.size();
        return pfclose(f) == 0 && ok;
    }
    FILE* t = j.temp;
    j.temp = nullptr;
    const char* host = j.host_path.c_str();
    if (!close_host_stream(t, true, j.temp_path.c_str(), host)) return false;
    anywhen_event(ANYWHEN_FILE_WRITTEN, j.mount_point.c_str(), host);
    note_host_write();
    return true;
}

}  // namespace

const pmount* cart_write_mount() { return job_mount(); }

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
    int count = pdisk_pfile_iterator();
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
    }
    if (j.kind == 3) {
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
            }
        }
        destroy_buffer(origin);
    }
}

int64_t cart_write_step(int64_t budget, bool frame, bool* finished) {
    if (finished) *finished = false;
    if (!_job || app.atomic_pid) return 0;
    pmount* m = job_mount();
    if (!m) {
        // Its mount went without writing it: nothing may replace the file.
        cart_write_cancel();
        return 0;
    }
    cart_write_job& j = *_job;
    int64_t done = 0;
    if (j.phase == PHASE_COPY) {
        int64_t copied = copy_step(budget);
        done += copied;
        j.copied_bytes += copied;
        charge(copied / CART_ENCODE_BYTES_PER_CYCLE, frame);
        if (j.next < j.entries.size()) return done;
        if (j.kind == 3) {
            // The picture's part on this thread waits for a frame with room.
            if (budget >= 0 && done > 0 && done + picture_bytes() > budget) return done;
            int64_t label = prepare_picture();
            done += label;
            charge(label / CART_ENCODE_BYTES_PER_CYCLE, frame);
        }
        start_encoding();
    }
    if (j.phase == PHASE_ENCODE) {
        if (budget >= 0 && !j.encoded.load(std::memory_order_acquire)) return done;
        j.worker.join();
        if (j.encode_result != 0) {
            int r = j.encode_result;
            bool large = j.kind != 1;
            end_job();
            if (r == PNG_CART_TOO_LARGE) write_back_failed(m, "cartridge too large", PNG_CART_TOO_LARGE_TEXT);
            else write_back_failed(m, large ? "cartridge too large" : "could not encode the cartridge");
            if (finished) *finished = true;
            return done;
        }
        // The encoding is paid for by the larger of its bytes and the files'.
        if ((int64_t)j.out.size() > j.copied_bytes)
            charge(((int64_t)j.out.size() - j.copied_bytes) / CART_ENCODE_BYTES_PER_CYCLE, frame);
        if (!open_target()) {
            end_job();
            write_back_failed(m, "could not open the file");
            if (finished) *finished = true;
            return done;
        }
        j.phase = PHASE_WRITE;
    }
    if (!j.ram_target) {
        int64_t left = budget < 0 ? INT64_MAX : budget - done;
        size_t take = std::min<size_t>(j.out.size() - j.written, (size_t)std::max<int64_t>(left, 0));
        if (take > 0 && fwrite(j.out.data() + j.written, 1, take, j.temp) != take) {
            end_job();
            write_back_failed(m, "could not write the file");
            if (finished) *finished = true;
            return done;
        }
        j.written += take;
        done += (int64_t)take;
        if (j.written < j.out.size()) return done;
    }
    uint64_t changes = j.changes;
    int64_t bytes = (int64_t)j.out.size();
    pdisk_hold_mounts(1);
    bool ok = replace_file();
    pdisk_hold_mounts(0);
    charge(host_write_cycles(bytes), frame);
    end_job();
    if (finished) *finished = true;
    if (!ok) {
        write_back_failed(m, "could not write the file");
        return done;
    }
    write_back_succeeded(m);
    if (m->changes != changes) {
        // Changed while it was written: written again, after the usual delay.
        m->dirty = 1;
        m->flush_due = os_get_time() + MOUNT_FLUSH_DELAY_MS;
    }
    return done;
}

void cart_write_cancel() {
    if (_job) end_job();
}

void cart_write_noticed_change(const char* ram_path) {
    if (!_job || _job->phase != PHASE_COPY || _job->next >= _job->entries.size() || !ram_path) return;
    const std::string& p = _job->entries[_job->next].path;
    size_t n = strlen(ram_path);
    if (p.compare(0, n, ram_path) == 0 && (p.size() == n || p[n] == '/')) _job->restart = true;
}
