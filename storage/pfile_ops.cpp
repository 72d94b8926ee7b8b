// File operations on virtual paths: open, read, write, close, test, copy,
// delete, make folders, list; and the host-sync bookkeeping.
#include "storage/pfile_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lang/lang.h"
#include "storage/anywhen.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"

storage_app_t storage_app;

static int32_t _pending_sync = 0;
static uint32_t _last_sync_t = 0;
static uint8_t _chunk[PFILE_READ_CHUNK];
static std::atomic<uint64_t> _temp_counter{0};  // the disk writer opens them too

static void too_many_files(const char* text) {
    puts(text);
    krio_debugf("%s\n", text);
}

// A regular file at the host path (a folder, a FIFO or a device is not one).
static bool host_regular(const char* host_path, struct stat* st) {
    struct stat tmp;
    if (!st) st = &tmp;
    return stat(host_path, st) == 0 && S_ISREG(st->st_mode);
}

// Opens the hidden sibling a "w" opening writes to; none when the folder
// refuses it.
FILE* open_temp_sibling(const char* host_path, std::string* temp) {
    std::string p = host_path;
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : p.substr(0, slash);
    std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    os_sweep_stale_temps(host_path);  // a crashed writer's siblings
    struct stat st;
    bool exists = stat(host_path, &st) == 0;
    for (int attempt = 0; attempt < 16; attempt++) {
        *temp = dir + "/." + base + OS_TEMP_TAGS[1] + std::to_string((long long)getpid()) + "_" +
                std::to_string((unsigned long long)++_temp_counter);
        int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        // The replacement keeps the permissions of the file it replaces.
        if (exists) fchmod(fd, st.st_mode & 07777);
        FILE* f = fdopen(fd, "wb");
        if (!f) {
            close(fd);
            unlink(temp->c_str());
        }
        return f;
    }
    return nullptr;
}

// Only RAM origins count: a host folder can be named /system/... on Linux.
static void apply_file_opened_rule(int kind, const char* origin, const char* mode) {
    Process* p = get_current_process();
    if (p && p->id >= 4 && kind == MOUNT_KIND_RAM && mode[0] == 'w' && starts_with(origin, PROC_SYSTEM_PREFIX))
        storage_app.file_opened = 1;
}

// Reads the whole host file (or its first PFILE_PARTIAL_READ bytes) into data.
// The data buffer for a host file: sized from the file at once, so a large
// file is not copied through every growth step.
static buffer* host_data_buffer(FILE* in, bool partial) {
    struct stat st;
    int64_t want = PFILE_DATA_SIZE;
    if (fstat(fileno(in), &st) == 0 && st.st_size + 1 > want) {
        want = st.st_size + 1;
        if (partial && want > PFILE_PARTIAL_READ + 1) want = PFILE_PARTIAL_READ + 1;
        if (want >= BUFFER_MAX_CAPACITY) return nullptr;
    }
    return create_buffer_2((int32_t)want, PFILE_DATA_KIND);
}

// Reads the whole host file (or its first PFILE_PARTIAL_READ bytes) into
// data, straight into the room it was sized with; a file that grew since is
// read on through the chunk.
static bool read_host_file(FILE* in, buffer* data, bool partial) {
    int fd = fileno(in);
    for (;;) {
        int64_t limit = partial ? PFILE_PARTIAL_READ - data->length : INT32_MAX;
        if (limit <= 0) break;
        int64_t room = (int64_t)data->capacity - 1 - data->length;
        ssize_t n;
        if (room > 0) {
            n = read(fd, data->data + data->length, (size_t)(room < limit ? room : limit));
            if (n > 0) data->length += (int32_t)n;
        } else {
            n = read(fd, _chunk, (size_t)(limit < PFILE_READ_CHUNK ? limit : PFILE_READ_CHUNK));
            data->cursor = data->length;
            if (n > 0 && bwrite(_chunk, 1, (int64_t)n, data) != (int64_t)n) return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
    }
    data->data[data->length] = 0;
    return true;
}

pfile* pfopen(const char* path, const char* mode) {
    if (!path || !mode || !mode[0]) return nullptr;
    char m0 = mode[0];
    char m1 = mode[1];
    if (m0 != 'r' && m0 != 'w' && m0 != 'a') return nullptr;
    buffer* np = normalise_halvoran_path(path);
    if (!np) return nullptr;
    int kind = 0;
    buffer* origin = resolve_normalised_to_origin(to_cstr(np), &kind, m1 == 'f');
    const char* o = btext(origin);

    // Replacing a cartridge file that did not load: its read-only mount goes,
    // so the next use reads the new file.
    if (m0 == 'w' && m1 == 'f') {
        const pmount* m = get_mount_by_mount_point(to_cstr(np), 0);
        if (m && m->no_write_back) remove_mount(m);
    }
    if (kind == MOUNT_KIND_RAM) {
        destroy_buffer(np);
        // Nor may a cartridge get a file whose name ends in '/' (a path
        // such as "a#:///" keeps it): both forms would read it back as a folder.
        bool slash = origin->length > 0 && o[origin->length - 1] == '/';
        if (m0 != 'r' && (ram_write_refusal(o) != RAM_WRITE_OK || (slash && cart_mount_of_origin(o)))) {
            destroy_buffer(origin);
            return nullptr;
        }
        pfile* f = get_ram_file_by_name(o);
        if (f) {
            destroy_buffer(origin);
            if (f->flags & PFILE_FLAG_FOLDER) return nullptr;
            if (!f->data) f->data = create_buffer_2(PFILE_DATA_SIZE, PFILE_DATA_KIND);
            if (m0 == 'w') {
                ram_file_will_change(f);
                f->data->length = 0;
                ram_file_account(f);
            }
            f->data->cursor = m0 == 'a' ? f->data->length : 0;
            if (!f->mode) note_ram_record_open(f, 1);
            f->mode = (uint8_t)m0;
            f->modifier = (uint8_t)m1;
            f->opened = (uint32_t)os_get_time();
            apply_file_opened_rule(kind, btext(f->origin), mode);
            return f;
        }
        if (m0 == 'r' || origin->length == 0) {
            destroy_buffer(origin);
            return nullptr;
        }
        f = pfile_insert(origin, PFILE_KIND_RAM, origin);
        if (!f) {
            too_many_files("** too many files **");
            destroy_buffer(origin);
            return nullptr;
        }
        note_ram_record_open(f, 1);
        f->mode = (uint8_t)m0;
        f->modifier = (uint8_t)m1;
        f->opened = (uint32_t)os_get_time();
        apply_file_opened_rule(kind, o, mode);
        f->data = create_buffer_2(PFILE_DATA_SIZE, PFILE_DATA_KIND);
        return f;
    }
    if (kind != MOUNT_KIND_HOST || origin->length == 0) {
        destroy_buffer(np);
        destroy_buffer(origin);
        return nullptr;
    }

    // A host origin. A cartridge handed to the disk writer is in its file
    // before the file is read or written here.
    host_writes_wait(o);
    // Only regular files open: fopen gives a folder as an empty file on
    // Linux, and a FIFO or device would block or never end.
    struct stat st;
    bool exists = stat(o, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        destroy_buffer(np);
        destroy_buffer(origin);
        return nullptr;
    }
    if (m0 == 'r' && !exists) {
        destroy_buffer(np);
        destroy_buffer(origin);
        return nullptr;
    }
    pfile* f = pfile_insert(np, PFILE_KIND_HOST, origin);
    if (!f) {
        too_many_files("** too many files **");
        destroy_buffer(np);
        destroy_buffer(origin);
        return nullptr;
    }
    f->mode = (uint8_t)m0;
    f->modifier = (uint8_t)m1;
    apply_file_opened_rule(kind, o, mode);

    if (m0 == 'r') {
        FILE* in = fopen(o, "rb");
        if (!in) {
            clear_pfile(f);
            return nullptr;
        }
        if (m1 == 'e') {
            fclose(in);
            f->data = create_buffer_2(PFILE_EXISTS_DATA_SIZE, PFILE_DATA_KIND);
            spend_cpu(PFILE_EXISTS_COST);
            return f;
        }
        f->data = host_data_buffer(in, m1 == 'm');
        bool ok = f->data && read_host_file(in, f->data, m1 == 'm');
        fclose(in);
        if (!ok) {
            krio_debugf("could not read %s\n", o);
            clear_pfile(f);
            return nullptr;
        }
        f->data->cursor = 0;
        spend_cpu(f->data->length / 8);
        return f;
    }

    if (m0 == 'w') {
        // Through a link the file it names is replaced, not the link.
        if (exists) {
            char real[PATH_MAX];
            buffer* target = realpath(o, real) ? create_buffer_from_str(real) : nullptr;
            if (target) {
                destroy_buffer(f->origin);
                f->origin = target;
            }
        }
        std::string temp;
        f->stream = open_temp_sibling(btext(f->origin), &temp);
        if (f->stream) {
            f->temp_path = create_buffer_from_str(temp.c_str());
            if (!f->temp_path) {
                fclose(f->stream);
                f->stream = nullptr;
                unlink(temp.c_str());
            }
        }
    } else {
        f->stream = fopen(o, "ab");
    }
    if (!f->stream) {
        clear_pfile(f);
        return nullptr;
    }
    f->data = create_buffer_2(PFILE_DATA_SIZE, PFILE_DATA_KIND);
    return f;
}

pfile* pfopen_ram_file(const char* ram_path, const char* mode) {
    if (!ram_path || !mode || !mode[0]) return nullptr;
    pfile* f = get_ram_file_by_name(ram_path);
    if (!f || (f->flags & PFILE_FLAG_FOLDER)) return nullptr;
    if (!f->data) f->data = create_buffer_2(PFILE_DATA_SIZE, PFILE_DATA_KIND);
    if (mode[0] == 'w') {
        ram_file_will_change(f);
        f->data->length = 0;
    }
    f->data->cursor = mode[0] == 'a' ? f->data->length : 0;
    if (!f->mode) note_ram_record_open(f, 1);
    f->mode = (uint8_t)mode[0];
    f->modifier = (uint8_t)mode[1];
    f->opened = (uint32_t)os_get_time();
    return f;
}

// Makes a rename in the folder of the host path durable.
void sync_folder_of(const char* host_path) {
    std::string p = host_path;
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool sync_and_close_host_stream(FILE* stream, bool ok, bool sync) {
    ok = fflush(stream) == 0 && ok;
    ok = !ferror(stream) && ok;
    // The bytes reach the disk before the name does: a power cut after the
    // rename must not leave an empty file. A file system that can not sync
    // (EINVAL) is not a failed write.
    if (sync && fsync(fileno(stream)) != 0 && errno != EINVAL) ok = false;
    return fclose(stream) == 0 && ok;
}

bool put_temp_in_place(const char* temp, const char* host, bool sync) {
    // A file the user made read-only is refused as a direct write would be.
    bool ok = !(access(host, F_OK) == 0 && access(host, W_OK) != 0) && rename(temp, host) == 0;
    if (!ok) unlink(temp);
    if (ok && sync) sync_folder_of(host);
    return ok;
}

bool close_host_stream(FILE* stream, bool ok, const char* temp, const char* host) {
    ok = sync_and_close_host_stream(stream, ok, true);
    if (!temp) return ok;
    if (!ok) {
        unlink(temp);
        return false;
    }
    return put_temp_in_place(temp, host, true);
}

namespace {

// Writes bytes as a whole host file as a "w" opening and its close do: a
// hidden sibling, written and synced, then put in place (through a link, in
// place of the file it names) and its folder synced.
bool write_whole_host_file(const std::string& host, const std::string& bytes) {
    std::string target = host;
    char real[PATH_MAX];
    struct stat st;
    if (stat(host.c_str(), &st) == 0 && realpath(host.c_str(), real)) target = real;
    std::string temp;
    FILE* out = open_temp_sibling(target.c_str(), &temp);
    if (!out) return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return close_host_stream(out, ok, temp.c_str(), target.c_str());
}

// Writes host files whole, in the order they were handed over, off the
// frame's thread. Touches no counted memory, buffer or record. Never
// destroyed, so its thread needs no join at exit; a process forked with an
// idle writer starts its own.
struct host_writer {
    struct job {
        uint64_t ticket;
        std::string host, bytes;
    };
    std::mutex lock;
    std::condition_variable wake, progress;
    std::deque<job> queue;
    const job* current = nullptr;  // the one being written, off the queue
    std::vector<host_write_end> ended;
    uint64_t tickets = 0;
    int64_t queued_bytes = 0;
    pid_t owner = 0;  // whose thread serves the queue

    uint64_t add(std::string host, std::string bytes) {
        std::lock_guard<std::mutex> hold(lock);
        queued_bytes += (int64_t)bytes.size();
        queue.push_back({++tickets, std::move(host), std::move(bytes)});
        if (owner != getpid()) {
            owner = getpid();
            std::thread([this] { run(); }).detach();
        }
        wake.notify_one();
        return tickets;
    }
    void run() {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [this] { return !queue.empty(); });
            job j = std::move(queue.front());
            queue.pop_front();
            current = &j;
            hold.unlock();
            bool ok = write_whole_host_file(j.host, j.bytes);
            hold.lock();
            current = nullptr;
            queued_bytes -= (int64_t)j.bytes.size();
            ended.push_back({j.ticket, ok});
            progress.notify_all();
        }
    }
    bool pending(const char* host) {
        if (!host) return current || !queue.empty();
        if (current && current->host == host) return true;
        for (const job& j : queue)
            if (j.host == host) return true;
        return false;
    }
};

host_writer& _writer = *new host_writer;

}  // namespace

uint64_t host_write_later(std::string host_path, std::string bytes) {
    return _writer.add(std::move(host_path), std::move(bytes));
}

std::vector<host_write_end> host_writes_ended() {
    std::lock_guard<std::mutex> hold(_writer.lock);
    std::vector<host_write_end> out;
    out.swap(_writer.ended);
    return out;
}

void host_writes_wait(const char* host_path) {
    std::unique_lock<std::mutex> hold(_writer.lock);
    _writer.progress.wait(hold, [&] { return !_writer.pending(host_path); });
}

int64_t host_writes_queued_bytes() {
    std::lock_guard<std::mutex> hold(_writer.lock);
    return _writer.queued_bytes;
}

// Writes the record's data to its host stream; for "w" the hidden sibling
// then replaces the file. False when anything failed: the old file stays.
static bool finish_host_write(pfile* f) {
    int64_t n = f->data ? f->data->length : 0;
    bool ok = n == 0 || fwrite(f->data->data, 1, (size_t)n, f->stream) == (size_t)n;
    const bool replaces = f->mode == 'w' && f->temp_path;
    ok = close_host_stream(f->stream, ok, replaces ? btext(f->temp_path) : nullptr, btext(f->origin));
    f->stream = nullptr;
    if (f->temp_path) {
        destroy_buffer(f->temp_path);
        f->temp_path = nullptr;
    }
    return ok;
}

void note_host_write() { _pending_sync = 1; }

int64_t host_write_cycles(int64_t n) {
    return n / 8 + (current_frame_budget() == CPU_FRAME_BUDGET_FAST ? PFILE_WRITE_COST_SLOW : PFILE_WRITE_COST);
}

int pfclose(pfile* f) {
    if (!f) return 0;
    int result = 0;
    if (f->kind == PFILE_KIND_HOST && f->stream) {
        int64_t n = f->data ? f->data->length : 0;
        bool ok = finish_host_write(f);
        spend_cpu(hvx_cycles(n / 8));
        spend_cpu(current_frame_budget() == CPU_FRAME_BUDGET_FAST ? PFILE_WRITE_COST_SLOW : PFILE_WRITE_COST);
        if (ok) {
            anywhen_event(ANYWHEN_FILE_WRITTEN, btext(f->path), btext(f->origin));
            _pending_sync = 1;
        } else {
            printf("SYSTEM ERROR: could not write %s\n", btext(f->path));
            krio_debugf("SYSTEM ERROR: could not write %s\n", btext(f->origin));
            result = 1;
        }
    } else if (f->kind == PFILE_KIND_RAM && (f->mode == 'w' || f->mode == 'a')) {
        ram_file_account(f);
        mark_parent_mount_dirty(btext(f->origin));
    }
    if (f->kind == PFILE_KIND_HOST) {
        clear_pfile(f);
        return result;
    }
    if (f->mode) note_ram_record_open(f, 0);
    f->mode = 0;
    f->modifier = 0;
    return result;
}

int64_t pfread(void* dst, int64_t size, int64_t count, pfile* f) {
    if (!f || !f->data) return 0;
    return bread(dst, size, count, f->data);
}

// Room for a RAM file to reach need bytes (its spare byte included): grown
// by half again, or to the need when one write asks more, so a large file is
// not held in twice its size.
static bool ram_file_grow(pfile* f, int64_t need) {
    buffer* d = f->data;
    if (need <= (int64_t)d->capacity) return true;
    int64_t cap = (int64_t)d->capacity + d->capacity / 2;
    if (cap < need) cap = need;
    if (cap > BUFFER_MAX_CAPACITY - 1) cap = BUFFER_MAX_CAPACITY - 1;
    if (need > cap) return false;
    buffer* b = create_buffer_2((int32_t)cap - 1, d->kind);
    if (!b) return false;
    prefault_pages(b->data, (size_t)need);
    memcpy(b->data, d->data, (size_t)d->length);
    b->length = d->length;
    b->cursor = d->cursor;
    destroy_buffer(d);
    f->data = b;
    return true;
}

bool ram_file_take(const char* path, buffer** content) {
    if (!content || !*content) return false;
    pfile* f = pfopen(path, "w");
    if (!f) return false;
    if (f->kind != PFILE_KIND_RAM || !ram_files_room((*content)->length - f->counted)) {
        pfclose(f);
        return false;
    }
    destroy_buffer(f->data);
    f->data = *content;
    *content = nullptr;
    f->data->cursor = 0;
    return pfclose(f) == 0;
}

int64_t pfwrite(const void* src, int64_t size, int64_t count, pfile* f) {
    if (!f || !f->data) return 0;
    if (f->kind == PFILE_KIND_RAM && size > 0 && count > 0) {
        if (count > BUFFER_MAX_CAPACITY / size) return 0;
        int64_t end = (int64_t)f->data->cursor + size * count;
        if (end > f->data->length && !ram_files_room(end - f->counted)) return 0;
        ram_file_will_change(f);
        if (!ram_file_grow(f, end + 1)) return 0;
        int64_t n = bwrite(src, size, count, f->data);
        ram_file_account(f);
        return n;
    }
    return bwrite(src, size, count, f->data);
}

int64_t pfile_size(const char* path, int skip_exact) {
    int kind = 0;
    buffer* origin = resolve_to_origin(path, &kind, skip_exact);
    int64_t size = 0;
    if (kind == MOUNT_KIND_RAM) {
        const pfile* f = get_ram_file_by_name(btext(origin));
        if (f && f->data) size = f->data->length;
    } else if (kind == MOUNT_KIND_HOST) {
        host_writes_wait(btext(origin));  // the size of what was handed over
        struct stat st;
        if (host_regular(btext(origin), &st)) size = st.st_size;
    }
    destroy_buffer(origin);
    return size;
}

int pdisk_file_exists(const char* path) {
    pfile* f = pfopen(path, "re");
    if (!f) return 0;
    pfclose(f);
    return 1;
}

// The bytes of an open record as one block of their own size: a host
// record's (read whole at its opening) are taken, a RAM record's copied once,
// never with the spare room the file grew with.
static buffer* take_or_copy_content(pfile* f) {
    if (!f->data) return nullptr;
    if (f->kind == PFILE_KIND_HOST) {
        buffer* out = f->data;
        f->data = nullptr;
        return out;
    }
    int32_t n = f->data->length;
    buffer* out = create_buffer_2(n, PFILE_DATA_KIND);
    if (!out) return nullptr;
    prefault_pages(out->data, (size_t)n);
    if (bwrite(f->data->data, 1, n, out) != n) {
        destroy_buffer(out);
        return nullptr;
    }
    return out;
}

// Hands the bytes to a record opened "w" in place of what it holds, as a
// write of them would leave it (a RAM file within the RAM files' room).
static bool give_content(pfile* f, buffer** content) {
    if (f->kind == PFILE_KIND_RAM && (*content)->length > f->data->length &&
        !ram_files_room((*content)->length - f->counted))
        return false;
    destroy_buffer(f->data);
    f->data = *content;
    *content = nullptr;
    f->data->cursor = f->data->length;
    if (f->kind == PFILE_KIND_RAM) ram_file_account(f);
    return true;
}

int64_t fcopy(const char* from, const char* to) {
    buffer* a = normalise_halvoran_path(from);
    buffer* b = normalise_halvoran_path(to);
    bool legal = a && b;
    destroy_buffer(a);
    destroy_buffer(b);
    if (!legal) return 0;
    pfile* src = pfopen(from, "r");
    if (!src) return 0;
    // The content is taken before the target opens: both may be one RAM
    // record, which a "w" opening empties.
    buffer* content = take_or_copy_content(src);
    pfclose(src);
    if (!content) return 0;
    pfile* dst = pfopen(to, "w");
    if (!dst) {
        destroy_buffer(content);
        return 0;
    }
    int64_t n = content->length;
    bool ok = dst->data && give_content(dst, &content);
    destroy_buffer(content);
    ok = pfclose(dst) == 0 && ok;
    return ok ? n : -1;
}

// Releases the RAM records under a folder, charged for the records it looks
// at and for each record released.
static void delete_ram_folder(const buffer* folder) {
    int64_t visited = pfile_records_visited();
    int64_t released = delete_ram_files_in_path(folder);
    int64_t walked = pfile_records_visited() - visited;
    spend_cpu(hvx_cycles(walked / PFILE_WALK_ENTRIES_PER_CYCLE + released * RAM_FILE_RELEASE_COST));
}

int delete_path(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return 0;
    const char* p = to_cstr(np);
    remove_mount(get_mount_by_mount_point(p, 0));
    int was = pdisk_block_automounting(1);
    int kind = 0;
    buffer* origin = resolve_normalised_to_origin(p, &kind, 0);
    const char* o = btext(origin);
    if (kind == MOUNT_KIND_HOST && origin->length > 0) {
        charge_host_path_op(o);
        host_writes_wait(o);  // a write handed over must not bring it back
        bool removed = remove(o) == 0 || rmdir(o) == 0;
        if (removed) anywhen_event(ANYWHEN_DELETED, p, nullptr);
    } else if (kind == MOUNT_KIND_RAM && ram_write_refusal(o) == RAM_WRITE_DEAD_CART) {
        // Inside a cartridge that did not load: the deletion would be lost.
    } else if (kind == MOUNT_KIND_RAM) {
        mark_parent_mount_dirty(o);
        if (!starts_with(o, "/ram/mount/")) {
            if (pdisk_directory_exists(p, 1)) {
                delete_ram_folder(np);
            } else {
                pfile* f = get_ram_file_by_name(p);
                if (f) clear_pfile(f);
            }
        } else {
            delete_ram_folder(np);
            if (strcmp(o, p) != 0) {
                delete_ram_folder(origin);
                mark_parent_mount_dirty(o);
            }
        }
    }
    pdisk_block_automounting(was);
    destroy_buffer(origin);
    destroy_buffer(np);
    return 0;
}

int pmkdir(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return 1;
    const char* p = to_cstr(np);
    if (hvx_path_kind(p) && !pdisk_automounting_blocked()) {
        pmount* m = get_mount_by_mount_point(p, 0);
        if (!m) {
            // A new cartridge inside one that may not be written would never be saved.
            int kind = 0;
            buffer* origin = resolve_normalised_to_origin(p, &kind, 1);
            bool refused = kind == MOUNT_KIND_RAM && ram_write_refusal(btext(origin)) != RAM_WRITE_OK;
            destroy_buffer(origin);
            if (refused) {
                destroy_buffer(np);
                return 1;
            }
            m = mount_hvx_path(p);
        }
        destroy_buffer(np);
        // A cartridge the full table refused is not made.
        if (!m) return 1;
        m->dirty = 1;
        if (!m->first_change) m->first_change = os_get_time();
        m->flush_due = os_get_time() + MOUNT_FLUSH_DELAY_MS;
        return 0;
    }
    int kind = 0;
    buffer* origin = resolve_normalised_to_origin(p, &kind, 0);
    int result = 1;
    if (kind == MOUNT_KIND_HOST && origin->length > 0) {
        charge_host_path_op(btext(origin));
        result = mkdir(btext(origin), 0777) == 0 ? 0 : -1;
        if (result == 0) anywhen_event(ANYWHEN_FOLDER_MADE, p, nullptr);
        destroy_buffer(origin);
    } else if (kind == MOUNT_KIND_RAM && origin->length > 0) {
        if (get_index_by_name(btext(origin)) >= 0 || ram_write_refusal(btext(origin)) != RAM_WRITE_OK) {
            destroy_buffer(origin);
        } else {
            pfile* f = pfile_insert(origin, PFILE_KIND_RAM, origin);
            if (!f) {
                too_many_files("** too many files (during mkdir) **");
                destroy_buffer(origin);
                result = 2;
            } else {
                f->flags |= PFILE_FLAG_FOLDER;
                f->data = create_buffer_2(0, PFILE_DATA_KIND);
                result = 0;
            }
        }
    } else {
        destroy_buffer(origin);
    }
    destroy_buffer(np);
    return result;
}

// Names of one listing; a trailing '/' marks a folder. False when the
// listing is full.
static bool collect(listing* names, const std::string& name) {
    if (names->count >= PFLIST_MAX_NAMES) return false;
    return listing_add(names, create_buffer_from_str(name.c_str())) != 0;
}

static std::string without_slash(const char* s) {
    std::string t = s;
    if (!t.empty() && t.back() == '/') t.pop_back();
    return t;
}

int pflist(const char* path, lua_State* L, listing* out) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return 0;
    std::string p = to_cstr(np);
    int kind = 0;
    buffer* origin = resolve_normalised_to_origin(p.c_str(), &kind, 0);
    std::string o = btext(origin);
    destroy_buffer(origin);
    destroy_buffer(np);
    // A path no mount serves lists nothing.
    if (kind != MOUNT_KIND_HOST && kind != MOUNT_KIND_RAM) return 0;
    std::string base = p == "/" ? "" : p;
    listing* names = create_listing();
    if (!names) return 0;
    int64_t walked = 0, kept = 0, skips = 0;

    if (kind == MOUNT_KIND_HOST) {
        charge_host_path_op(o.c_str());
        DIR* d = opendir(o.c_str());
        if (!d) {
            destroy_listing(names);
            return 0;
        }
        while (dirent* e = readdir(d)) {
            spend_cpu(hvx_cycles(HOST_LIST_ENTRY_COST + (int64_t)strlen(e->d_name) * HOST_PATH_BYTE_COST));
            if (e->d_name[0] == '.') {
                // A killed write's hidden temporary goes when its folder is listed.
                if (os_remove_abandoned_temp(o.c_str(), e->d_name)) charge_host_path_op(o.c_str());
                continue;
            }
            std::string vpath = base + "/" + e->d_name;
            if (get_mount_by_mount_point(vpath.c_str(), 0)) continue;
            std::string name = e->d_name;
            // d_type can be unknown or a link: ask the file itself.
            struct stat st;
            std::string hp = o + (o.size() && o.back() == '/' ? "" : "/") + name;
            if (stat(hp.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !hvx_path_kind(name.c_str())) name += "/";
            collect(names, name);
        }
        closedir(d);
    } else if (kind == MOUNT_KIND_RAM) {
        // The folder's records stand together in the table; the records
        // deeper down are passed over a child's subtree at a time.
        std::string under = o.size() > 1 ? o + "/" : "/";
        pfile_range r = pfile_records_under(under.data(), under.size());
        for (int i = r.first; i < r.end;) {
            const pfile* f = pfile_visit(i);
            walked++;
            if (!f) {
                i++;
                continue;
            }
            const char* fp = btext(f->path);
            const char* name = fp + under.size();
            if (const char* slash = strchr(name, '/')) {
                i = pfile_index_past(fp, (size_t)(slash - fp) + 1, i);
                skips++;
                continue;
            }
            i++;
            if (f->kind != PFILE_KIND_RAM || !*name || name[0] == '.') continue;
            if (get_mount_by_mount_point(fp, 0)) continue;
            kept += collect(names, std::string(name) + ((f->flags & PFILE_FLAG_FOLDER) ? "/" : ""));
        }
    }
    for (const std::string& name : mount_names_inside(base.c_str()))
        collect(names, name + (get_ext(name.c_str())[0] ? "" : "/"));
    listing_sort(names);
    // The records walked past without a name kept, and each subtree
    // skipped, are paid besides the names.
    spend_cpu(hvx_cycles((int64_t)names->count * LIST_NAME_COST + (walked - kept) * LIST_RECORD_PASSED_COST +
                         skips * PFILE_BISECT_COST));

    if (L) lua_createtable(L, 16, 0);
    int folders = 0, index = 0;
    std::string prev;
    bool have_prev = false;
    for (int pass = 0; pass < 2; pass++) {
        have_prev = false;
        for (int i = 0; i < names->count; i++) {
            const char* s = to_cstr(names->items[i]);
            size_t n = strlen(s);
            bool is_folder = n > 0 && s[n - 1] == '/';
            if (is_folder != (pass == 0)) continue;
            std::string bare = without_slash(s);
            bool dup = have_prev && bare == prev;
            prev = bare;
            have_prev = true;
            if (dup) continue;
            if (is_folder) folders++;
            index++;
            if (L) {
                lua_pushlstring(L, bare.data(), bare.size());
                lua_rawseti(L, -2, index);
            }
            if (out) listing_add(out, create_buffer_from_str(bare.c_str()));
        }
    }
    destroy_listing(names);
    if (!L) return 2;
    lua_pushinteger(L, folders);
    return 2;
}

int pfshadow(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return 1;
    destroy_buffer(np);
    pfile* src = pfopen(path, "rb");
    if (!src) return 1;
    int result = 1;
    if (get_index_by_name(path) < 0) {
        buffer* p = create_buffer_from_str(path);
        bool room = ram_files_room(src->data->length);
        pfile* f = p && room ? pfile_insert(p, PFILE_KIND_RAM, p) : nullptr;
        if (f) {
            f->data = create_buffer_from_buffer(src->data);
            ram_file_account(f);
            result = 0;
        } else {
            if (p && room) too_many_files("** too many files **");
            destroy_buffer(p);
        }
    }
    pfclose(src);
    return result;
}

buffer* pfile_read_all(const char* path, const char* mode) {
    pfile* f = pfopen(path, mode);
    if (!f) return nullptr;
    buffer* out;
    if (f->kind == PFILE_KIND_HOST) {
        // A host record goes at its close: its data is taken, not copied.
        out = f->data;
        f->data = nullptr;
    } else {
        out = f->data ? create_buffer_from_buffer(f->data) : create_buffer_2(0, BUFFER_KIND_FROM_BUFFER);
    }
    pfclose(f);
    if (out) {
        out->cursor = 0;
        to_cstr(out);
    }
    return out;
}

void sync_fs(int force) {
    // At exit every file handed to the disk writer is in place first.
    if (force) host_writes_wait(nullptr);
    if (!_pending_sync) return;
    uint32_t now = (uint32_t)os_get_time();
    if (!force && now - _last_sync_t <= SYNC_INTERVAL_MS && now >= _last_sync_t) return;
    _pending_sync = 0;
    _last_sync_t = now;
    // At exit the written files reach the disk of the per-user folder (the
    // -home folder or the default one).
    if (force) {
        char dir[HVX_PATH_MAX];
        krio_prefix_with_appdata_path("", dir, sizeof dir);
        int fd = dir[0] ? open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        if (fd >= 0) {
            syncfs(fd);
            close(fd);
        }
    }
}

int pdisk_pending_sync() { return _pending_sync; }
