// The file table: host and RAM records sorted by path, found by a coarse
// pass over every 1024th entry and a fine pass over hashes, and the bytes
// the RAM files hold together.
#include "storage/ram_files.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/formats.h"
#include "storage/storage_internal.h"

// ---------------------------------------------------------------------------
// File table
// ---------------------------------------------------------------------------

static pfile* _pfile[PFILE_MAX];
// The records' hashes side by side with the pointers, so the fine pass of a
// lookup reads one small contiguous array instead of a record per entry.
static uint32_t _pfile_hash[PFILE_MAX];
static int _num_pfiles = 0;
// Released entries are flagged beside the pointers too, so that the
// compaction (every frame) walks two small arrays instead of every record,
// and starts at the first released entry.
static uint8_t _pfile_released[PFILE_MAX];
static int _num_released = 0;
static int _first_released = PFILE_MAX;

static int coarse_pass(const char* name, int* lo, int* hi, bool stop_at_equal);
static void note_released(int i) {
    if (_pfile_released[i]) return;
    _pfile_released[i] = 1;
    _num_released++;
    if (i < _first_released) _first_released = i;
}

// The table index of a record, or -1 when it is not in the table.
static int index_of_record(const pfile* f) {
    if (!f->path || _num_pfiles == 0) return -1;
    int lo, hi;
    coarse_pass((const char*)f->path->data, &lo, &hi, false);
    for (int i = lo; i < _num_pfiles; i++)
        if (_pfile[i] == f) return i;
    for (int i = 0; i < lo; i++)
        if (_pfile[i] == f) return i;
    return -1;
}
static bool _pfile_inited = false;
// Records looked at through the table's accessors (a count for tests).
static int64_t _records_visited = 0;
static pfile** iter_snapshot = nullptr;
static int iter_count = 0;

static inline const char* ptext(const pfile* f) { return (const char*)f->path->data; }

static inline bool used(const pfile* f) { return f && f->kind != PFILE_KIND_FREE && f->path; }

bool ram_files_init() {
    if (_pfile_inited) return false;
    // The tables are static and so start zeroed: clearing them again would
    // make every page of them resident.
    _num_pfiles = 0;
    _pfile_inited = true;
    return true;
}

static void (*_release_observer)(const pfile* f, int open) = nullptr;
void set_ram_record_release_observer(void (*observer)(const pfile* f, int open)) { _release_observer = observer; }

static int64_t _ram_files_bytes = 0;
static int64_t _ram_files_refusals = 0;
// Never reset: no record takes a stamp an earlier one had.
static uint64_t _stamps = 0;

void (*ram_file_before_change)(pfile* f) = nullptr;

static void release_record(pfile* f) {
    ram_file_will_change(f);
    if (f->mode && _release_observer) _release_observer(f, 0);
    _ram_files_bytes -= f->counted;
    if (f->stream) fclose(f->stream);
    // A write that never reached its close leaves no hidden sibling behind.
    if (f->temp_path) unlink(btext(f->temp_path));
    destroy_buffer(f->temp_path);
    if (f->path != f->origin) destroy_buffer(f->path);
    destroy_buffer(f->origin);
    destroy_buffer(f->data);
    memset(f, 0, sizeof(*f));
}

// clear_pfile for a record whose index is known.
static void release_at(int i) {
    pfile* f = _pfile[i];
    if (!f) return;
    if (f->kind != PFILE_KIND_FREE) note_released(i);
    release_record(f);
}

void clear_pfile(pfile* f) {
    if (!f) return;
    if (f->kind != PFILE_KIND_FREE) {
        int i = index_of_record(f);
        if (i >= 0) note_released(i);
    }
    release_record(f);
}

void ram_files_reset() {
    ram_files_init();
    // Every record goes: a reboot leaves no process that could close a host
    // record, so keeping them would only leak them.
    for (int i = 0; i < _num_pfiles; i++) {
        // Every cartridge goes with them: nothing is copied for a write.
        if (_pfile[i]) _pfile[i]->flags &= ~PFILE_FLAG_COPY_PENDING;
        if (_pfile[i]) release_record(_pfile[i]);
        free(_pfile[i]);
        _pfile[i] = nullptr;
    }
    memset(_pfile_released, 0, sizeof(uint8_t) * (size_t)_num_pfiles);
    _num_pfiles = 0;
    _num_released = 0;
    _first_released = PFILE_MAX;
    free(iter_snapshot);
    iter_snapshot = nullptr;
    iter_count = 0;
    _ram_files_bytes = 0;
}

// ---------------------------------------------------------------------------
// RAM file bytes
// ---------------------------------------------------------------------------

void ram_file_account(pfile* f) {
    if (!f || f->kind != PFILE_KIND_RAM) return;
    int64_t n = f->data ? f->data->length : 0;
    _ram_files_bytes += n - f->counted;
    f->counted = n;
    f->stamp = ++_stamps;
}

bool ram_files_room(int64_t count) {
    if (count <= 0 || _ram_files_bytes + count <= RAM_FILES_MAX_BYTES) return true;
    _ram_files_refusals++;
    log_refusal_once(cproc, LIMIT_LOGGED_RAM_FILES, "RAM files full: %lld more bytes would pass %lld; write refused",
                     (long long)count, (long long)RAM_FILES_MAX_BYTES);
    return false;
}

int64_t ram_files_refusals() { return _ram_files_refusals; }

int pdisk_num_pfiles() { return _num_pfiles; }

static inline bool stride_used(int k) { return used(_pfile[k * PFILE_STRIDE]); }

// Coarse pass over every 1024th entry: narrows the fine pass to [lo, hi].
// It finds what a walk over the stride entries in order (free ones skipped)
// would: the first used one not below the name, and the used one before it;
// but by bisection, as the used stride entries are sorted. Returns that
// first entry's index when its path equals the name, else -1 (with
// stop_at_equal the equal entry becomes lo instead).
static int coarse_pass(const char* name, int* lo, int* hi, bool stop_at_equal) {
    int n = _num_pfiles;
    *lo = 0;
    *hi = n - 1;
    int strides = (n - 1) / PFILE_STRIDE + 1;
    int a = 0, b = strides, found = -1, found_cmp = 0;
    while (a < b) {
        int mid = a + (b - a) / 2;
        int m = mid;
        while (m < b && !stride_used(m)) m++;
        if (m == b) {
            b = mid;
            continue;
        }
        int c = strcmp(ptext(_pfile[m * PFILE_STRIDE]), name);
        if (c >= 0) {
            found = m;
            found_cmp = c;
            b = mid;
        } else {
            a = m + 1;
        }
    }
    int before = (found < 0 ? strides : found) - 1;
    while (before >= 0 && !stride_used(before)) before--;
    if (before >= 0) *lo = before * PFILE_STRIDE;
    if (found < 0) return -1;
    if (found_cmp == 0) {
        if (stop_at_equal) {
            *lo = found * PFILE_STRIDE;
            return -1;
        }
        return found * PFILE_STRIDE;
    }
    *hi = found * PFILE_STRIDE;
    return -1;
}

int get_index_by_name(const char* name) {
    if (!name || _num_pfiles == 0) return -1;
    int lo, hi;
    int found = coarse_pass(name, &lo, &hi, false);
    if (found >= 0) return found;
    size_t len = strlen(name);
    if (len > (size_t)INT32_MAX) return -1;
    uint32_t h = mmh3_x86_32(name, (int32_t)len, 0);
    for (int i = lo; i <= hi; i++) {
        if (_pfile_hash[i] != h) continue;
        const pfile* f = _pfile[i];
        if (used(f) && f->hash == h && strcmp(ptext(f), name) == 0) return i;
    }
    return -1;
}

pfile* pfile_insert(buffer* path, int kind, buffer* origin) {
    if (!path || _num_pfiles >= PFILE_MAX) return nullptr;
    const char* name = to_cstr(path);
    int n = _num_pfiles;
    int pos = 0;
    if (n > 0) {
        int lo, hi;
        coarse_pass(name, &lo, &hi, true);
        pos = hi + 1;
        for (int i = lo; i <= hi; i++) {
            const pfile* f = _pfile[i];
            if (used(f) && strcmp(ptext(f), name) > 0) {
                pos = i;
                break;
            }
        }
    }
    pfile* f = (pfile*)calloc(1, sizeof(pfile));
    if (!f) return nullptr;
    // A free entry right before the place, or the first one after it, takes
    // the record: a file deleted and made again beside many others moves
    // none or a few pointers, not the table's tail. (The first released
    // index stays a bound from below, which is all the compaction needs.)
    int slot = n;
    if (_num_released > 0) {
        if (pos > 0 && _pfile_released[pos - 1]) {
            slot = pos - 1;
        } else if (const void* z = memchr(&_pfile_released[pos], 1, (size_t)(n - pos))) {
            slot = (int)((const uint8_t*)z - _pfile_released);
        }
    }
    if (slot < n) {
        free(_pfile[slot]);
        _pfile_released[slot] = 0;
        _num_released--;
        if (slot < pos) pos = slot;
    } else {
        _num_pfiles++;
        if (_first_released != PFILE_MAX && pos <= _first_released) _first_released++;
    }
    memmove(&_pfile[pos + 1], &_pfile[pos], sizeof(pfile*) * (size_t)(slot - pos));
    memmove(&_pfile_hash[pos + 1], &_pfile_hash[pos], sizeof(uint32_t) * (size_t)(slot - pos));
    memmove(&_pfile_released[pos + 1], &_pfile_released[pos], (size_t)(slot - pos));
    _pfile_released[pos] = 0;
    _pfile[pos] = f;
    f->kind = kind;
    f->path = path;
    f->origin = origin;
    f->hash = mmh3_x86_32(name, (int32_t)strlen(name), 0);
    _pfile_hash[pos] = f->hash;
    if (kind == PFILE_KIND_FREE) note_released(pos);
    if (origin) to_cstr(origin);
    return f;
}

pfile* get_ram_file_by_index(int i) {
    if (i < 0 || i >= _num_pfiles) return nullptr;
    _records_visited++;
    pfile* f = _pfile[i];
    return (f && f->kind == PFILE_KIND_RAM) ? f : nullptr;
}

pfile* get_ram_file_by_name(const char* name) { return get_ram_file_by_index(get_index_by_name(name)); }

int ram_path_is_inside_origin(const char* path, const char* origin, int allow_equal) {
    if (!path || !origin) return 0;
    size_t n = strlen(origin);
    if (strncmp(path, origin, n) != 0) return 0;
    return path[n] == '/' || (allow_equal && path[n] == 0);
}

// Releases the RAM records whose origin begins with the n bytes of prefix;
// how many.
static int release_ram_range(const char* prefix, size_t n) {
    pfile_range r = pfile_records_under(prefix, n);
    int count = 0;
    for (int i = r.first; i < r.end; i++) {
        const pfile* f = pfile_visit(i);
        if (f && f->kind == PFILE_KIND_RAM && f->origin && strncmp(btext(f->origin), prefix, n) == 0) {
            release_at(i);
            count++;
        }
    }
    return count;
}

int delete_ram_files_in_path(const buffer* path) {
    if (!path) return 0;
    std::string p = to_cstr((buffer*)path);
    int count = 0;
    // The path itself sorts first of the paths it begins.
    pfile_range r = pfile_records_under(p.data(), p.size());
    for (int i = r.first; i < r.end; i++) {
        const pfile* f = pfile_visit(i);
        if (!f) continue;
        if (strcmp(ptext(f), p.c_str()) != 0) break;
        if (f->kind == PFILE_KIND_RAM && f->origin && strcmp(btext(f->origin), p.c_str()) == 0) {
            release_at(i);
            count++;
        }
    }
    p += '/';
    return count + release_ram_range(p.data(), p.size());
}

void pdisk_compact_pfiles() {
    // Runs every frame: nothing released, nothing to walk.
    if (_num_released == 0) return;
    int kept = _first_released < _num_pfiles ? _first_released : _num_pfiles;
    for (int i = kept; i < _num_pfiles; i++) {
        pfile* f = _pfile[i];
        if (!_pfile_released[i] && f) {
            _pfile_hash[kept] = _pfile_hash[i];
            _pfile_released[kept] = 0;
            _pfile[kept++] = f;
        } else {
            _pfile_released[i] = 0;
            free(f);
        }
    }
    for (int i = kept; i < _num_pfiles; i++) {
        _pfile[i] = nullptr;
        _pfile_released[i] = 0;
    }
    _num_pfiles = kept;
    _num_released = 0;
    _first_released = PFILE_MAX;
}

int pdisk_pfile_iterator() {
    pdisk_compact_pfiles();
    free(iter_snapshot);
    iter_snapshot = nullptr;
    iter_count = 0;
    if (_num_pfiles == 0) return 0;
    iter_snapshot = (pfile**)malloc(sizeof(pfile*) * (size_t)_num_pfiles);
    if (!iter_snapshot) return 0;
    memcpy(iter_snapshot, _pfile, sizeof(pfile*) * (size_t)_num_pfiles);
    iter_count = _num_pfiles;
    _records_visited += iter_count;
    return iter_count;
}

pfile* pdisk_pfile_iterator_item(int i) {
    if (i < 0 || i >= iter_count) return nullptr;
    return iter_snapshot[i];
}

// ---------------------------------------------------------------------------
// Ranges: the records under a prefix stand together in the sorted table, so a
// folder's walk bisects to them instead of looking at every record.
// ---------------------------------------------------------------------------


// The first used entry in [i, end), or end. Free entries are passed over by
// their flags, a run of them at a time.
static int next_used(int i, int end) {
    while (i < end) {
        if (_pfile_released[i]) {
            const void* z = memchr(&_pfile_released[i], 0, (size_t)(end - i));
            i = z ? (int)((const uint8_t*)z - _pfile_released) : end;
        } else if (used(_pfile[i])) {
            return i;
        } else {
            i++;
        }
    }
    return end;
}

// The first index in [from, count) from which on every used entry's path,
// cut to n bytes, sorts at or past the prefix (past it with past set).
static int bisect(const char* prefix, size_t n, int from, bool past) {
    int lo = from < 0 ? 0 : from, hi = _num_pfiles;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        int m = next_used(mid, hi);
        if (m == hi) {
            hi = mid;
            continue;
        }
        int c = strncmp(ptext(_pfile[m]), prefix, n);
        if (past ? c > 0 : c >= 0) hi = mid;
        else lo = m + 1;
    }
    return lo;
}

pfile_range pfile_records_under(const char* prefix, size_t n) {
    if (!prefix) return {0, 0};
    int first = bisect(prefix, n, 0, false);
    int end = bisect(prefix, n, first, true);
    return {next_used(first, end), end};
}

int pfile_index_past(const char* prefix, size_t n, int from) { return prefix ? bisect(prefix, n, from, true) : from; }

pfile* pfile_visit(int i) {
    if (i < 0 || i >= _num_pfiles) return nullptr;
    _records_visited++;
    pfile* f = _pfile[i];
    return used(f) ? f : nullptr;
}

int64_t pfile_records_visited() { return _records_visited; }

int pdisk_pfile_iterator_under(const char* prefix) {
    free(iter_snapshot);
    iter_snapshot = nullptr;
    iter_count = 0;
    pfile_range r = pfile_records_under(prefix, prefix ? strlen(prefix) : 0);
    if (r.end <= r.first) return 0;
    iter_snapshot = (pfile**)malloc(sizeof(pfile*) * (size_t)(r.end - r.first));
    if (!iter_snapshot) return 0;
    for (int i = r.first; i < r.end; i++)
        if (pfile* f = pfile_visit(i)) iter_snapshot[iter_count++] = f;
    return iter_count;
}

int pdisk_count_slots_by_kind(int kind) {
    int count = 0;
    for (int i = 0; i < _num_pfiles; i++) {
        const pfile* f = _pfile[i];
        if ((f ? f->kind : PFILE_KIND_FREE) == kind) count++;
    }
    return count;
}

void release_ram_records_under(const char* prefix) { release_ram_range(prefix, strlen(prefix)); }
