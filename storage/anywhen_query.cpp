// The read side of the file history store: month Bloom filters over the keys
// the day logs mention, the queries by path, day, folder and moment, and the
// six script calls over them. Nothing here writes to the store.
#include "storage/anywhen.h"

#include <bloom.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "lang/lang.h"
#include "storage/formats.h"
#include "storage/paths.h"
#include "storage/storage_internal.h"
#include "storage/vyn.h"

// ---------------------------------------------------------------------------
// Month filters (libbloom; in memory only, never saved)
// ---------------------------------------------------------------------------

struct month_filter {
    struct bloom b;
    bool built;
    bool empty;  // built from no keys: answers no without a bit array
};
static month_filter monthly_bloom[ANYWHEN_MONTHS];

static int month_index(int year, int month) {
    if (month < 1 || month > 12) return -1;
    int64_t i = ((int64_t)year - ANYWHEN_FIRST_YEAR) * 12 + month - 1;
    return i < 0 || i >= ANYWHEN_MONTHS ? -1 : (int)i;
}

static void drop_filter(month_filter* f) {
    if (f->built && !f->empty) bloom_free(&f->b);
    *f = month_filter{};
}

void invalidate_bloom_by_month(int year, int month) {
    int i = month_index(year, month);
    if (i >= 0) drop_filter(&monthly_bloom[i]);
}

void anywhen_free_blooms() {
    for (month_filter& f : monthly_bloom) drop_filter(&f);
}

// Keys gathered before the filter is made, so it is sized for them.
struct key_list {
    std::string bytes;
    std::vector<uint32_t> ends;
    void add(const char* s, size_t n) {
        bytes.append(s, n);
        ends.push_back((uint32_t)bytes.size());
    }
    void add_with_day(const char* s, size_t n, int day) {
        add(s, n);
        char tail[16];
        int t = snprintf(tail, sizeof tail, "@@%d", day);
        bytes.append(s, n);
        bytes.append(tail, (size_t)t);
        ends.push_back((uint32_t)bytes.size());
    }
};

// The length of the path's parent: up to and including its last '/' that is
// not the final character; 0 when there is none.
static size_t parent_len(const char* p, size_t n) {
    for (size_t i = n >= 2 ? n - 1 : 0; i-- > 0;)
        if (p[i] == '/') return i + 1;
    return 0;
}

static bool is_info_file(const char* p, size_t n, size_t parent) {
    return n - parent == 9 && memcmp(p + parent, ".info.vyn", 9) == 0;
}

// The parent key of a path, and for a folder's ".info.vyn" also the key of
// the folder above, where a folder query looks for it.
static void add_parent_keys(key_list* keys, const char* p, size_t n, int day) {
    size_t parent = parent_len(p, n);
    if (!parent) return;
    keys->add_with_day(p, parent, day);
    if (is_info_file(p, n, parent)) {
        size_t above = parent_len(p, parent);
        if (above) keys->add_with_day(p, above, day);
    }
}

static void add_folder_keys(key_list* keys, const char* p, size_t n, int day) {
    std::string k(p, n);
    if (k.empty() || k.back() != '/') k += '/';
    k += "[folder]";
    keys->add_with_day(k.data(), k.size(), day);
}

// Ends a walk over a day log, charged to the caller by the lines it gave
// and the bytes it read.
static void end_walk(line_iter_state* it) {
    spend_cpu(hvx_cycles(it->lines / ANYWHEN_LOG_LINES_PER_CYCLE + it->bytes / ANYWHEN_LOG_BYTES_PER_CYCLE));
    line_iter_end(it);
}

static bool month_folder_exists(int year, int month) {
    char name[32], path[HVX_PATH_MAX];
    snprintf(name, sizeof name, "%04d-%02d", year, month);
    struct stat st;
    return anywhen_store_path(name, path, sizeof path) && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the keys of every day log of a month; returns how many.
static size_t anywhen_add_month_to_bloom(key_list* keys, int year, int month) {
    if (!month_folder_exists(year, month)) return 0;
    auto it = std::make_unique<line_iter_state>();
    char path[HVX_PATH_MAX];
    for (int day = 1; day <= 31; day++) {
        if (!anywhen_day_log_path(year, month, day, path, sizeof path) || !line_iter_start(it.get(), path)) continue;
        htable* seen = nullptr;  // paths of the day's snapshot
        const char* line;
        int32_t n;
        anywhen_line l;
        while ((n = line_iter(it.get(), &line)) >= 0) {
            if (!anywhen_parse_line(line, n, &l)) continue;
            if (!seen) seen = create_htable(ANYWHEN_TABLE_CAPACITY);
            size_t pl = (size_t)l.path_len;
            switch (l.kind) {
            case '$':
            case '+':
                keys->add_with_day(l.path, pl, day);
                if (!htable_get(seen, l.path, nullptr)) add_parent_keys(keys, l.path, pl, day);
                break;
            case ':':
                htable_insert(seen, l.path, nullptr, 0);
                break;
            case '>':
                keys->add_with_day(l.path, pl, day);
                add_folder_keys(keys, l.path, pl, day);
                add_parent_keys(keys, l.path, pl, day);
                break;
            case '^':
                add_folder_keys(keys, l.path, pl, day);
                break;
            case '-':
                add_parent_keys(keys, l.path, pl, day);
                break;
            default:
                break;
            }
        }
        end_walk(it.get());
        destroy_htable(seen);
    }
    return keys->ends.size();
}

static month_filter* get_bloom_by_month_ex(int year, int month, bool build) {
    int i = month_index(year, month);
    if (i < 0) return nullptr;
    month_filter* f = &monthly_bloom[i];
    if (f->built || !build) return f->built ? f : nullptr;
    key_list keys;
    size_t count = anywhen_add_month_to_bloom(&keys, year, month);
    if (count == 0) {
        f->built = f->empty = true;
        return f;
    }
    int entries = count < (size_t)ANYWHEN_BLOOM_ENTRIES       ? ANYWHEN_BLOOM_ENTRIES
                  : count > (size_t)ANYWHEN_BLOOM_ENTRIES_MAX ? ANYWHEN_BLOOM_ENTRIES_MAX
                                                              : (int)count;
    if (bloom_init(&f->b, entries, ANYWHEN_BLOOM_ERROR) != 0) {
        *f = month_filter{};
        return nullptr;
    }
    uint32_t start = 0;
    for (uint32_t end : keys.ends) {
        bloom_add(&f->b, keys.bytes.data() + start, (int)(end - start));
        start = end;
    }
    f->built = true;
    return f;
}

static month_filter* get_bloom_by_month(int year, int month) { return get_bloom_by_month_ex(year, month, true); }

static bool filter_holds(month_filter* f, const std::string& key) {
    return f && !f->empty && bloom_check(&f->b, key.data(), (int)key.size()) == 1;
}

int anywhen_check_location_by_month(const char* key, int year, int month) {
    return key && filter_holds(get_bloom_by_month(year, month), key);
}

int anywhen_check_location_by_day(const char* key, int year, int month, int day) {
    if (!key || day < 1 || day > 31) return 0;
    return filter_holds(get_bloom_by_month(year, month), std::string(key) + "@@" + std::to_string(day));
}

// ---------------------------------------------------------------------------
// Locations and day logs
// ---------------------------------------------------------------------------

static bool digits(const char* s, int n) {
    for (int i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

bool anywhen_split_location(const char* text, size_t len, anywhen_location* out) {
    memset(out, 0, sizeof *out);
    if (!text || len > (size_t)ANYWHEN_LOCATION_MAX || memchr(text, 0, len)) return false;
    const char* at = (const char*)memchr(text, '@', len);
    if (!at || at == text) return false;
    size_t a = (size_t)(at - text);
    out->path_len = (int32_t)(a - 1);
    memcpy(out->path, text, a - 1);
    size_t rest = a + 2 < len ? a + 2 : len;
    out->moment_len = (int32_t)(len - rest);
    size_t keep = out->moment_len < ANYWHEN_MOMENT_LEN ? (size_t)out->moment_len : ANYWHEN_MOMENT_LEN;
    memcpy(out->moment, text + rest, keep);
    if (keep > 10) out->moment[10] = '_';
    if (keep > 13) out->moment[13] = ':';
    if (keep > 16) out->moment[16] = ':';
    const char* m = out->moment;
    if (keep >= (size_t)ANYWHEN_DATE_LEN && digits(m, 4) && m[4] == '-' && digits(m + 5, 2) && m[7] == '-' &&
        digits(m + 8, 2)) {
        out->year = atoi(std::string(m, 4).c_str());
        out->month = (m[5] - '0') * 10 + m[6] - '0';
        out->day = (m[8] - '0') * 10 + m[9] - '0';
    }
    return true;
}

static bool date_valid(const anywhen_location& loc) {
    return loc.year >= ANYWHEN_FIRST_YEAR && loc.month >= 1 && loc.month <= 12 && loc.day >= 1 && loc.day <= 31;
}

static int current_year() {
    time_t t = (time_t)anywhen_now();
    struct tm tm;
    if (!gmtime_r(&t, &tm)) return ANYWHEN_FIRST_YEAR;
    return tm.tm_year + 1900;
}

struct day_log {
    int year, month, day;
    char path[HVX_PATH_MAX];
};

// The newest day log at or before the date. A year past the current one
// starts at the end of the current year, a month without a folder is passed
// over at once, and the search ends with the store's first month. With a
// key, only days whose filter holds key@@day count.
static bool seek_day_log(int year, int month, int day, const char* key, day_log* out, int64_t* probes) {
    int cy = current_year();
    if (year > cy) {
        year = cy;
        month = 12;
        day = 31;
    }
    int checked_year = 0, checked_month = 0;
    while (year >= ANYWHEN_FIRST_YEAR) {
        (*probes)++;
        if (year != checked_year || month != checked_month) {
            checked_year = year;
            checked_month = month;
            if (!month_folder_exists(year, month)) {
                day = 31;
                if (--month == 0) {
                    month = 12;
                    year--;
                }
                continue;
            }
        }
        struct stat st;
        if (anywhen_day_log_path(year, month, day, out->path, sizeof out->path) && stat(out->path, &st) == 0 &&
            S_ISREG(st.st_mode) && (!key || anywhen_check_location_by_day(key, year, month, day))) {
            out->year = year;
            out->month = month;
            out->day = day;
            return true;
        }
        if (--day == 0) {
            day = 31;
            if (--month == 0) {
                month = 12;
                year--;
            }
        }
    }
    return false;
}

// The same, each month and day looked for (a host stat) paid by the caller.
static bool find_day_log(int year, int month, int day, const char* key, day_log* out) {
    int64_t probes = 0;
    bool found = seek_day_log(year, month, day, key, out, &probes);
    spend_cpu(hvx_cycles(probes * ANYWHEN_DAY_PROBE_COST));
    return found;
}

static void midnight(int year, int month, int day, char out[ANYWHEN_MOMENT_LEN + 1]) {
    char t[64];
    snprintf(t, sizeof t, "%04d-%02d-%02d_00:00:00", year, month, day);
    memcpy(out, t, ANYWHEN_MOMENT_LEN);
    out[ANYWHEN_MOMENT_LEN] = 0;
}

static bool path_is(const anywhen_line& l, const char* path, size_t n) {
    return (size_t)l.path_len == n && memcmp(l.path, path, n) == 0;
}

static bool after(const char* moment, const char* than) { return memcmp(moment, than, ANYWHEN_MOMENT_LEN) > 0; }

using buffer_ptr = std::unique_ptr<buffer, void (*)(buffer*)>;
static buffer_ptr own(buffer* b) { return buffer_ptr(b, destroy_buffer); }

// ---------------------------------------------------------------------------
// Fetch
// ---------------------------------------------------------------------------

// The host clock may step back during a day, so a log's moments need not
// rise: the records at or before a moment are those whose own moment is not
// after it, taken in the order of their moments and, among equal moments, in
// log order. The day's snapshot (before the first "@") stands at midnight.
// An "@" line of another day is damage and is skipped like a malformed one.
static bool own_moment(const anywhen_line& l, const char* midnight) {
    return l.kind == '@' && memcmp(l.moment, midnight, ANYWHEN_DATE_LEN) == 0;
}

static buffer* fetch_at(const anywhen_location& loc) {
    if (loc.moment_len < ANYWHEN_MOMENT_LEN || !date_valid(loc) || loc.path_len == 0) return nullptr;
    const char* path = loc.path;
    size_t plen = (size_t)loc.path_len;
    bool info = strstr(path, ".info.vyn") != nullptr;
    day_log log;
    if (!find_day_log(loc.year, loc.month, loc.day, info ? path : nullptr, &log)) return nullptr;

    auto it = std::make_unique<line_iter_state>();
    if (!line_iter_start(it.get(), log.path)) return nullptr;
    char day_start[ANYWHEN_MOMENT_LEN + 1], moment[ANYWHEN_MOMENT_LEN + 1];
    midnight(log.year, log.month, log.day, day_start);
    memcpy(moment, day_start, sizeof moment);
    bool in_snapshot = true;  // before the first moment: counts whatever was asked
    // The record that decides: the path's latest (by moment, then log order)
    // at or before the moment asked for.
    char version[ANYWHEN_HASH_LEN + 1] = "", chosen_at[ANYWHEN_MOMENT_LEN + 1] = "";
    // A folder's info file takes the first version after the moment when
    // none stood before it.
    char first_after[ANYWHEN_HASH_LEN + 1] = "";
    buffer_ptr delta = own(create_buffer_2(256, ANYWHEN_BUFFER_KIND));
    bool with_delta = false, collecting = false, delta_ok = true;
    int64_t hex = 0;  // delta text decoded, of every version taken on the way
    const char* line;
    int32_t n;
    anywhen_line l;
    while ((n = line_iter(it.get(), &line)) >= 0) {
        if (!anywhen_parse_line(line, n, &l) || (l.kind == '@' && !own_moment(l, day_start))) {
            collecting = false;
            continue;
        }
        if (l.kind != '|') collecting = false;
        if (l.kind == '@') {
            memcpy(moment, l.moment, ANYWHEN_MOMENT_LEN);
            in_snapshot = false;
            continue;
        }
        bool mine = (l.kind == '$' || l.kind == ':' || l.kind == '+' || l.kind == '-') && path_is(l, path, plen);
        if (!mine) {
            if (l.kind == '|' && collecting && delta) {
                // Our writer never writes a delta past its limit: a longer
                // run is damage, and is not read into memory.
                hex += l.text_len;
                delta_ok = delta_ok && l.text_len / 2 <= ANYWHEN_DELTA_MAX - delta->length &&
                           anywhen_read_hex(delta.get(), l.text, l.text_len);
                collecting = delta_ok;
            }
            continue;
        }
        if (!in_snapshot && after(moment, loc.moment)) {
            if (info && !first_after[0] && l.kind == '$') memcpy(first_after, l.hash, ANYWHEN_HASH_LEN);
            continue;
        }
        if (chosen_at[0] && memcmp(moment, chosen_at, ANYWHEN_MOMENT_LEN) < 0) continue;
        memcpy(chosen_at, moment, sizeof chosen_at);
        with_delta = l.kind == '+';
        if (l.kind == '-') {
            version[0] = 0;  // deleted: the file held nothing then
        } else {
            memcpy(version, l.hash, ANYWHEN_HASH_LEN);
        }
        if (with_delta) {
            collecting = delta_ok = true;
            if (delta) bclear(delta.get());
        }
    }
    if (!version[0] && info && first_after[0]) {
        memcpy(version, first_after, sizeof version);
        with_delta = false;
    }
    end_walk(it.get());
    spend_cpu(hvx_cycles(hex / ANYWHEN_HEX_BYTES_PER_CYCLE));
    if (!version[0]) return nullptr;
    buffer* base = anywhen_load_blob(log.year, log.month, version);
    // The version is paid as a host file read is, and its rebuilding as a delta applied is.
    if (base) spend_cpu(hvx_cycles(base->length / ANYWHEN_BLOB_BYTES_PER_CYCLE));
    if (!base || !with_delta) return base;
    buffer* result = nullptr;
    if (delta && delta_ok) {
        spend_cpu(hvx_cycles(((int64_t)base->length + delta->length) / DIFF_INPUT_BYTES_PER_CYCLE));
        result = apply_diff(base->data, base->length, delta->data, delta->length);
    } else {
        krio_debugf("[anywhen] ** unreadable delta lines for %s in %s\n", path, log.path);
    }
    destroy_buffer(base);
    return result;
}

buffer* anywhen_fetch(const char* location, size_t len) {
    anywhen_location loc;
    if (!anywhen_split_location(location, len, &loc)) return nullptr;
    return fetch_at(loc);
}

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------

bool anywhen_list_by_day(const std::string& text, std::vector<std::string>* times) {
    anywhen_location loc;
    if (!anywhen_split_location(text.data(), text.size(), &loc) || loc.moment_len != ANYWHEN_DATE_LEN || !loc.year)
        return false;
    std::string path(loc.path, (size_t)loc.path_len);
    bool folder = get_ext(path.c_str())[0] == 0;
    if (folder && (path.empty() || path.back() != '/')) path += '/';
    if (!date_valid(loc) || !anywhen_check_location_by_day(path.c_str(), loc.year, loc.month, loc.day)) return true;
    char log_path[HVX_PATH_MAX];
    auto it = std::make_unique<line_iter_state>();
    if (!anywhen_day_log_path(loc.year, loc.month, loc.day, log_path, sizeof log_path) ||
        !line_iter_start(it.get(), log_path))
        return true;
    char moment[ANYWHEN_MOMENT_LEN + 1], added[ANYWHEN_MOMENT_LEN + 1] = "";
    midnight(loc.year, loc.month, loc.day, moment);
    htable* seen = folder ? create_htable(ANYWHEN_TABLE_CAPACITY) : nullptr;
    const char* line;
    int32_t n;
    anywhen_line l;
    char day_start[ANYWHEN_MOMENT_LEN + 1];
    memcpy(day_start, moment, sizeof day_start);
    while (times->size() < (size_t)ANYWHEN_DAY_TIMES_MAX && (n = line_iter(it.get(), &line)) >= 0) {
        if (!anywhen_parse_line(line, n, &l) || (l.kind == '@' && !own_moment(l, day_start))) continue;
        bool change = false;
        if (l.kind == '@') {
            memcpy(moment, l.moment, ANYWHEN_MOMENT_LEN);
        } else if (!folder) {
            change = (l.kind == '$' || l.kind == '+') && path_is(l, path.data(), path.size());
        } else if (l.kind == '-') {
            htable_delete(seen, l.path);
        } else if (l.kind == ':') {
            htable_insert(seen, l.path, nullptr, 0);
        } else if ((l.kind == '$' || l.kind == '+') && !htable_get(seen, l.path, nullptr)) {
            htable_insert(seen, l.path, nullptr, 0);
            size_t pl = (size_t)l.path_len, parent = parent_len(l.path, pl);
            change = parent == path.size() && memcmp(l.path, path.data(), parent) == 0;
            if (!change && parent && is_info_file(l.path, pl, parent)) {
                size_t above = parent_len(l.path, parent);
                change = above == path.size() && memcmp(l.path, path.data(), above) == 0;
            }
        }
        if (change && (times->empty() || memcmp(moment, added, ANYWHEN_MOMENT_LEN) != 0)) {
            memcpy(added, moment, sizeof added);
            times->emplace_back(moment + 11, ANYWHEN_MOMENT_LEN - 11);
        }
    }
    end_walk(it.get());
    destroy_htable(seen);
    // A time met again (the clock stepped back) is listed once, at its last
    // place: a fetch at it finds what was recorded last at it.
    std::unordered_set<std::string> listed;
    std::vector<std::string> kept;
    for (auto t = times->rbegin(); t != times->rend(); ++t)
        if (listed.insert(*t).second) kept.push_back(*t);
    times->assign(kept.rbegin(), kept.rend());
    return true;
}

// The names in a folder at a moment, sorted as folder listings are. False
// when the location is malformed.
static bool anywhen_list_by_folder_moment(const std::string& text, std::vector<std::string>* names) {
    anywhen_location loc;
    if (!anywhen_split_location(text.data(), text.size(), &loc) || loc.moment_len != ANYWHEN_MOMENT_LEN || !loc.year)
        return false;
    if (!date_valid(loc)) return true;
    std::string folder(loc.path, (size_t)loc.path_len);
    while (!folder.empty() && folder.back() == '/') folder.pop_back();  // "/" lists the root
    day_log log;
    if (!find_day_log(loc.year, loc.month, loc.day, nullptr, &log)) return true;
    auto it = std::make_unique<line_iter_state>();
    if (!line_iter_start(it.get(), log.path)) return true;
    // The folder's records, replayed at the end in the order of their
    // moments (log order among equal ones), those after the moment left out.
    struct entry_op {
        char kind;
        std::string key;
        std::array<char, ANYWHEN_MOMENT_LEN> moment;
    };
    std::vector<entry_op> ops;
    char day_start[ANYWHEN_MOMENT_LEN + 1];
    midnight(log.year, log.month, log.day, day_start);
    std::array<char, ANYWHEN_MOMENT_LEN> moment;
    memcpy(moment.data(), day_start, ANYWHEN_MOMENT_LEN);
    bool in_snapshot = true;
    const char* line;
    int32_t n;
    anywhen_line l;
    while ((n = line_iter(it.get(), &line)) >= 0) {
        if (!anywhen_parse_line(line, n, &l)) continue;
        if (l.kind == '@') {
            if (own_moment(l, day_start)) {
                memcpy(moment.data(), l.moment, ANYWHEN_MOMENT_LEN);
                in_snapshot = false;
            }
            continue;
        }
        if (!l.path || (!in_snapshot && after(moment.data(), loc.moment))) continue;
        size_t fl = folder.size();
        if ((size_t)l.path_len <= fl + 1 || memcmp(l.path, folder.data(), fl) != 0 || l.path[fl] != '/') continue;
        std::string name(l.path + fl + 1, (size_t)l.path_len - fl - 1);
        bool is_folder = name.back() == '/';
        if (is_folder) name.pop_back();
        if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) continue;
        ops.push_back({l.kind, name + (is_folder || get_ext(name.c_str())[0] == 0 ? "/" : ""), moment});
    }
    end_walk(it.get());
    std::stable_sort(ops.begin(), ops.end(), [](const entry_op& a, const entry_op& b) { return a.moment < b.moment; });
    listing* items = create_listing();
    for (size_t i = 0; items && i < ops.size(); i++) {
        const std::string& key = ops[i].key;
        if (ops[i].kind == '-') {
            listing_del(items, key.c_str());
            if (key.back() != '/') listing_del(items, (key + "/").c_str());
        } else if (ops[i].kind == ':' || listing_index_for_key(items, key.c_str()) < 0) {
            buffer* b = create_buffer_from_str(key.c_str());
            if (!listing_add(items, b)) destroy_buffer(b);
        }
    }
    listing_sort(items);
    for (int i = 0; items && i < items->count; i++) {
        std::string s = btext(items->items[i]);
        if (!s.empty() && s.back() == '/') s.pop_back();
        names->push_back(s);
    }
    destroy_listing(items);
    return true;
}

// 1 when the path (after the 9-character prefix) was a folder on the day,
// 0 when not found, -1 when the text is empty, has no '@' or too short a
// moment.
static int anywhen_get_attr(const std::string& text) {
    anywhen_location loc;
    if (text.empty() || !anywhen_split_location(text.data(), text.size(), &loc) ||
        loc.moment_len < ANYWHEN_MOMENT_LEN)
        return -1;
    if (loc.path_len <= ANYWHEN_ATTR_PREFIX || !date_valid(loc)) return 0;
    std::string want = std::string(loc.path + ANYWHEN_ATTR_PREFIX) + "/";
    if (!anywhen_check_location_by_day((want + "[folder]").c_str(), loc.year, loc.month, loc.day)) return 0;
    char log_path[HVX_PATH_MAX];
    auto it = std::make_unique<line_iter_state>();
    if (!anywhen_day_log_path(loc.year, loc.month, loc.day, log_path, sizeof log_path) ||
        !line_iter_start(it.get(), log_path))
        return 0;
    int found = 0;
    const char* line;
    int32_t n;
    anywhen_line l;
    while (!found && (n = line_iter(it.get(), &line)) >= 0) {
        if (!anywhen_parse_line(line, n, &l) || (l.kind != '^' && l.kind != '>')) continue;
        std::string p(l.path, (size_t)l.path_len);
        if (l.kind == '>') p += '/';  // a folder made that day
        found = p.compare(0, want.size(), want) == 0;
    }
    end_walk(it.get());
    return found;
}

// Days "YYYY-MM-DD" on which the path may have been touched, oldest first.
static void anywhen_list_by_loc(const std::string& path, std::vector<std::string>* days) {
    int last = current_year();
    int top = ANYWHEN_FIRST_YEAR + ANYWHEN_MONTHS / 12 - 1;
    if (last > top) last = top;
    std::string key = path;
    for (int year = ANYWHEN_FIRST_YEAR; year <= last; year++) {
        for (int month = 1; month <= 12; month++) {
            month_filter* f = get_bloom_by_month(year, month);
            if (!filter_holds(f, key)) continue;
            for (int day = 1; day <= 31; day++) {
                if (!filter_holds(f, key + "@@" + std::to_string(day))) continue;
                char d[16];
                snprintf(d, sizeof d, "%04d-%02d-%02d", year, month, day);
                days->push_back(d);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Script calls. Arguments are copied before any script allocation, and
// results are built from host memory.
// ---------------------------------------------------------------------------

static bool string_arg(lua_State* L, int index, std::string* out) {
    if (lua_type(L, index) != LUA_TSTRING) return false;
    size_t n = 0;
    const char* s = lua_tolstring(L, index, &n);
    if (n > (size_t)ANYWHEN_LOCATION_MAX) return false;
    out->assign(s, n);
    return true;
}

static int push_strings(lua_State* L, const std::vector<std::string>& items) {
    lua_createtable(L, (int)items.size(), 0);
    for (size_t i = 0; i < items.size(); i++) {
        lua_pushlstring(L, items[i].data(), items[i].size());
        lua_rawseti(L, -2, (lua_Integer)i + 1);
    }
    return 1;
}

static int (*_content_reader)(lua_State* L, const buffer* b, const char* path, int flags) = nullptr;
void anywhen_set_content_reader(int (*read)(lua_State* L, const buffer* b, const char* path, int flags)) {
    _content_reader = read;
}

int lua54__fetch_anywhen(lua_State* L) {
    std::string text;
    if (!string_arg(L, 1, &text)) return 0;
    int flags = (int)hvx_intp(L, 2, 0);
    anywhen_location loc;
    if (!anywhen_split_location(text.data(), text.size(), &loc)) return 0;
    buffer_ptr content = own(fetch_at(loc));
    if (!content) return 0;
    return _content_reader ? _content_reader(L, content.get(), loc.path, flags) : 0;
}

int lua54__fetch_anywhen_metadata(lua_State* L) {
    std::string text;
    if (!string_arg(L, 1, &text)) return 0;
    buffer_ptr content = own(anywhen_fetch(text.data(), text.size()));
    if (!content || content->length < 7 || memcmp(content->data, "--[[vyn", 7) != 0) return 0;
    return destringify_object_metadata(L, (const char*)content->data, content->length);
}

int lua54__list_anywhen_by_day(lua_State* L) {
    std::string text;
    std::vector<std::string> times;
    if (!string_arg(L, 1, &text) || !anywhen_list_by_day(text, &times)) return 0;
    return push_strings(L, times);
}

int lua54__list_anywhen_by_loc(lua_State* L) {
    std::string path;
    std::vector<std::string> days;
    if (!string_arg(L, 1, &path) || path.find('\0') != std::string::npos) return 0;
    anywhen_list_by_loc(path, &days);
    return push_strings(L, days);
}

int lua54__list_anywhen_folder_moment(lua_State* L) {
    std::string text;
    std::vector<std::string> names;
    if (!string_arg(L, 1, &text) || !anywhen_list_by_folder_moment(text, &names)) return 0;
    return push_strings(L, names);
}

int lua54__anywhen_get_attr(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    std::string text;
    lua_pushinteger(L, string_arg(L, 1, &text) ? anywhen_get_attr(text) : -1);
    return 1;
}
