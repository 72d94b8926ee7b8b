// The mount table: host, RAM and cartridge mounts indexed by mount point and
// origin, automounting of the cartridges a path passes through, pruning, and
// the folder tests through the mounts.
#include "storage/mounts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "storage/paths.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"

static pmount _pmount[PMOUNT_MAX];
static int _pmounts = 0;

static int (*_mount_flush)(pmount* m, int delayed) = nullptr;
static bool (*_cart_loader)(cart_kind kind, const char* folder, buffer* content) = nullptr;
void set_mount_flush(int (*flush)(pmount* m, int delayed)) { _mount_flush = flush; }
void set_cart_loader(bool (*load)(cart_kind kind, const char* folder, buffer* content)) { _cart_loader = load; }

void charge_host_path_op(const char* host_path) {
    int64_t n = host_path ? (int64_t)strlen(host_path) : 0;
    spend_cpu(hvx_cycles(HOST_FOLDER_OP_COST + n * HOST_PATH_BYTE_COST));
}

static void destroy_mount_buffers(pmount* m) {
    destroy_buffer(m->mount_point);
    destroy_buffer(m->origin);
    memset(m, 0, sizeof(*m));
}

bool once_per_process(const std::string& what) {
    static std::set<std::string> told;
    // Bounded: a script naming endless distinct paths is told again later.
    if (told.size() >= 4096) told.clear();
    return told.insert(std::to_string((long long)cproc_id()) + " " + what).second;
}

// ---------------------------------------------------------------------------
// Mount table
// ---------------------------------------------------------------------------

static int _block_automounting = 0;
static long long cart_counter = 1;
static int _prune_threshold = PRUNE_THRESHOLD_MIN;
static char _get_mount_description_str[1024];
static uint64_t _mount_serial = 0;
static uint64_t _mount_use_tick = 0;
static int _mounts_held = 0;

// Mount points and origins indexed by their text, so that resolving a path
// looks up each of its leading parts instead of walking the table. A key
// keeps the serials of its mounts in table order; the table is sorted by
// serial, so a serial finds its entry by bisection after any removal.
struct mount_key {
    int32_t depth;  // segments of the key
    std::vector<uint64_t> serials;
};
struct text_hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using mount_index = std::unordered_map<std::string, mount_key, text_hash, std::equal_to<>>;
static mount_index _by_point;        // every mount
static mount_index _by_ram_origin;   // RAM mounts, by origin
static mount_index _by_cart_origin;  // cartridges' own mounts, by origin
// The names of the mount points standing in each folder, by the serials of
// their mounts (table order): a listing asks for its folder's, not the whole
// table, and takes them in the order a walk over the table would.
static std::unordered_map<std::string, std::map<uint64_t, std::string>, text_hash, std::equal_to<>> _by_parent;
// `mount`s standing per program, outside the system processes.
static std::unordered_map<int64_t, int> _program_mounts;
static int _program_mounts_total = 0;

// Cartridge folders something still reaches, by folder ("/ram/mount/mN"):
// each mount of a folder inside one and each RAM record under one that is
// open counts. Such a cartridge is not dropped, as its files would go from
// under them and what they write would never reach the cartridge.
static std::unordered_map<std::string, int, text_hash, std::equal_to<>> _cart_reach;

static std::string_view cart_folder_of(std::string_view origin) {
    constexpr std::string_view pre = "/ram/mount/";
    if (origin.substr(0, pre.size()) != pre || origin.size() == pre.size()) return {};
    size_t end = origin.find('/', pre.size());
    return end == pre.size() ? std::string_view{} : origin.substr(0, end);
}

static void count_reach(const buffer* origin, int by) {
    std::string_view folder = origin ? cart_folder_of(btext(origin)) : std::string_view{};
    if (folder.empty()) return;
    auto it = _cart_reach.find(folder);
    if (by > 0) {
        if (it == _cart_reach.end()) it = _cart_reach.emplace(std::string(folder), 0).first;
        it->second += by;
    } else if (it != _cart_reach.end() && (it->second += by) <= 0) {
        _cart_reach.erase(it);
    }
}

void note_ram_record_open(const pfile* f, int open) {
    if (f && f->kind == PFILE_KIND_RAM) count_reach(f->origin, open ? 1 : -1);
}

static void clear_mount_indexes() {
    _cart_reach.clear();
    _by_point.clear();
    _by_parent.clear();
    _by_ram_origin.clear();
    _by_cart_origin.clear();
    _program_mounts.clear();
    _program_mounts_total = 0;
}

void mount_table_init() { _pmounts = 0; }

void mount_table_reset() {
    for (int i = 0; i < _pmounts; i++) destroy_mount_buffers(&_pmount[i]);
    _pmounts = 0;
    clear_mount_indexes();
}

static std::string_view point_text(const pmount* m) {
    return std::string_view((const char*)m->mount_point->data, (size_t)m->mount_point->length);
}

static bool is_cart_origin(const pmount* m) {
    return m->kind == MOUNT_KIND_RAM && starts_with(btext(m->origin), "/ram/mount/");
}

// The cartridge's own mount, not a path mount of a folder inside it.
static bool is_cart_own_mount(const pmount* m) { return is_cart_origin(m) && hvx_path_kind(btext(m->mount_point)); }

static bool counts_for_program(const pmount* m) {
    return m->by_script && m->program > 0 && !is_system_process_id(m->program);
}

static int index_of_serial(uint64_t serial) {
    int lo = 0, hi = _pmounts;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (_pmount[mid].serial < serial) lo = mid + 1;
        else hi = mid;
    }
    return lo < _pmounts && _pmount[lo].serial == serial ? lo : -1;
}

static void index_add(mount_index& ix, std::string_view key, uint64_t serial) {
    auto it = ix.find(key);
    if (it == ix.end()) {
        std::string k(key);
        int32_t depth = get_path_parent_match_depth(k.c_str(), k.c_str());
        it = ix.emplace(std::move(k), mount_key{depth, {}}).first;
    }
    it->second.serials.push_back(serial);  // serials only grow: order kept
}

// Adds a mount to its folder's names, or removes it.
static void parent_index(std::string_view point, uint64_t serial, bool add) {
    size_t slash = point.rfind('/');
    if (point.size() < 2 || slash == std::string_view::npos || slash + 1 == point.size()) return;
    std::string_view folder = point.substr(0, slash);
    auto it = _by_parent.find(folder);
    if (add) {
        if (it == _by_parent.end()) it = _by_parent.emplace(std::string(folder), std::map<uint64_t, std::string>{}).first;
        it->second.emplace(serial, std::string(point.substr(slash + 1)));
    } else if (it != _by_parent.end()) {
        it->second.erase(serial);
        if (it->second.empty()) _by_parent.erase(it);
    }
}

std::vector<std::string> mount_names_inside(const char* folder) {
    std::vector<std::string> names;
    auto it = folder ? _by_parent.find(std::string_view(folder)) : _by_parent.end();
    if (it == _by_parent.end()) return names;
    for (const auto& [serial, name] : it->second) names.push_back(name);
    return names;
}

static void index_remove(mount_index& ix, std::string_view key, uint64_t serial) {
    auto it = ix.find(key);
    if (it == ix.end()) return;
    std::vector<uint64_t>& v = it->second.serials;
    auto at = std::lower_bound(v.begin(), v.end(), serial);
    if (at != v.end() && *at == serial) v.erase(at);
    if (v.empty()) ix.erase(it);
}

// The first mount (in table order) at the key, or none.
static const mount_key* index_find(const mount_index& ix, std::string_view key) {
    auto it = ix.find(key);
    return it == ix.end() ? nullptr : &it->second;
}

// The deepest key of the index that holds the path, the earlier mount among
// equal depths: "/" holds every absolute path (every path with
// root_holds_all), any other key a path that it begins and that goes on with
// '/' or ends. The entry's index, or -1. With skip_exact a key equal to the
// path is passed over.
static int deepest_holder(const mount_index& ix, std::string_view path, bool skip_exact, bool root_holds_all) {
    int best = -1;
    uint64_t win = 0;
    auto consider = [&](std::string_view key) {
        if (skip_exact && key == path) return;
        const mount_key* k = index_find(ix, key);
        if (!k) return;
        uint64_t s = k->serials.front();
        if (k->depth > best || (k->depth == best && s < win)) {
            best = k->depth;
            win = s;
        }
    };
    if (root_holds_all || (!path.empty() && path[0] == '/')) consider("/");
    for (size_t n = 0; n <= path.size(); n++) {
        if (n < path.size() && path[n] != '/') continue;
        if (n == 1 && path[0] == '/') continue;  // "/" is taken above
        consider(path.substr(0, n));
    }
    return best < 0 ? -1 : index_of_serial(win);
}

pmount* mount_serving(std::string_view path, bool skip_exact) {
    // A RAM root at "/" serves absolute paths only: anything else would be
    // joined onto its origin without a separator.
    int win = deepest_holder(_by_point, path, skip_exact, false);
    if (win < 0) return nullptr;
    pmount* m = &_pmount[win];
    m->last_used = ++_mount_use_tick;
    return m;
}

int pdisk_block_automounting(int block) {
    int was = _block_automounting;
    _block_automounting = block;
    return was;
}

int pdisk_automounting_blocked() { return _block_automounting; }

pmount* pdisk_mount(int i) { return (i >= 0 && i < _pmounts) ? &_pmount[i] : nullptr; }
int pdisk_num_mounts() { return _pmounts; }
int prune_threshold() { return _prune_threshold; }
void pdisk_hold_mounts(int hold) { _mounts_held += hold ? 1 : (_mounts_held > 0 ? -1 : 0); }

// What a prune drops once it is clean: cartridge folders no other mount or
// open file reaches into, bbs and history mounts.
static bool prunable(const pmount* m) {
    if (m->cartridge) return _cart_reach.empty() || !_cart_reach.count(btext(m->origin));
    const char* mp = btext(m->mount_point);
    return starts_with(mp, "/ram/bbs/") || starts_with(mp, "/ram/anywhen/");
}

bool holds_unwritten_changes(const pmount* m) {
    // A write still on its way to the disk may yet fail, and need the folder.
    return (m->dirty || m->writing) && !m->no_write_back && hvx_path_kind(btext(m->mount_point));
}

bool drop_mount(int i) {
    if (i < 0 || i >= _pmounts || holds_unwritten_changes(&_pmount[i])) return false;
    if (_pmount[i].kind == MOUNT_KIND_RAM) delete_ram_files_in_path(_pmount[i].origin);
    delete_mount_entry(i);
    return true;
}

// Makes room for one mount: drops the least recently used mount that a
// prune would drop; a dirty one only when no clean one stands, and only once
// its write-back made it clean. False when none can go.
static bool drop_least_used_mount() {
    if (_mounts_held) return false;
    int clean = -1, dirty = -1;
    for (int i = 0; i < _pmounts; i++) {
        const pmount* m = &_pmount[i];
        if (!prunable(m)) continue;
        int& pick = m->dirty || m->writing ? dirty : clean;
        if (pick < 0 || m->last_used < _pmount[pick].last_used) pick = i;
    }
    if (clean < 0 && dirty >= 0 && !app.atomic_pid && _mount_flush) {
        // The write-back holds the table: the entry stays where it is.
        _mount_flush(&_pmount[dirty], 0);
        if (!_pmount[dirty].dirty && !_pmount[dirty].writing) clean = dirty;
    }
    if (clean < 0) return false;
    drop_mount(clean);
    return true;
}

static bool by_system() { return !cproc || is_system_process_id(cproc->id); }

// Room for one more mount, a least used one dropped for it when the table
// is full. Only the system processes use its last PMOUNT_SYSTEM_RESERVE
// entries: whatever an ordinary program opens, their own mounts still go in.
static bool mount_room() {
    int limit = by_system() ? PMOUNT_LIMIT : PMOUNT_LIMIT - PMOUNT_SYSTEM_RESERVE;
    if (_pmounts >= limit) drop_least_used_mount();
    return _pmounts < limit;
}

static void tell_mount_refused(const char* point, bool cartridge) {
    if (by_system())
        krio_debug("** too many mounts **\n");
    else
        log_refusal_once(cproc, LIMIT_LOGGED_MOUNTS, "%s refused: the mount table is full; %.200s not mounted",
                         cartridge ? "cartridge" : "mount", point);
}

// Takes both buffers; none (both destroyed) when the table is full.
static pmount* append_mount(int kind, buffer* mount_point, buffer* origin, int isr, bool cartridge = false) {
    if (!mount_room()) {
        tell_mount_refused(mount_point ? to_cstr(mount_point) : "", cartridge);
        destroy_buffer(mount_point);
        destroy_buffer(origin);
        return nullptr;
    }
    pmount* m = &_pmount[_pmounts++];
    memset(m, 0, sizeof(*m));
    m->kind = kind;
    m->mount_point = mount_point;
    m->origin = origin;
    m->isr = isr;
    to_cstr(mount_point);
    to_cstr(origin);
    m->depth = get_path_parent_match_depth(btext(mount_point), btext(mount_point));
    m->cartridge = cartridge;
    m->program = cproc ? cproc->program_id : 0;
    m->serial = ++_mount_serial;
    m->last_used = ++_mount_use_tick;
    index_add(_by_point, point_text(m), m->serial);
    parent_index(point_text(m), m->serial, true);
    if (kind == MOUNT_KIND_RAM) index_add(_by_ram_origin, btext(origin), m->serial);
    if (is_cart_own_mount(m)) index_add(_by_cart_origin, btext(origin), m->serial);
    if (kind == MOUNT_KIND_RAM && !cartridge) count_reach(origin, 1);
    return m;
}

int mount_host_path(const char* mount_point, const char* host_path) {
    if (!mount_point || !host_path || !*host_path) return 1;
    buffer* mp = create_buffer_from_str(mount_point);
    buffer* origin = create_buffer_from_str(host_path);
    if (!mp || !origin) {
        destroy_buffer(mp);
        destroy_buffer(origin);
        return 1;
    }
    remove_trailing_slash(mp);
    // The host root keeps its '/': an empty origin would join any path on.
    if (origin->length >= 2) remove_trailing_slash(origin);
    return append_mount(MOUNT_KIND_HOST, mp, origin, 0) ? 0 : 1;
}

int mount_ram_folder(const char* path) {
    buffer* mp = normalise_halvoran_path(path);
    if (!mp) return 1;
    buffer* origin = create_buffer_from_buffer_2(mp, MOUNT_RAM_BUFFER_KIND);
    if (!origin) {
        destroy_buffer(mp);
        return 1;
    }
    return append_mount(MOUNT_KIND_RAM, mp, origin, 1) ? 0 : 1;
}

pmount* mount_p_path(const char* mount_point, const char* target) {
    buffer* mp = normalise_halvoran_path(mount_point);
    if (!mp) return nullptr;
    int kind = 0;
    buffer* origin = resolve_to_origin(target, &kind, 0);
    // Only a target that resolves to a real origin may be mounted: an empty
    // origin would turn every path under the mount point into a host path.
    if (!origin || origin->length == 0 || (kind != MOUNT_KIND_HOST && kind != MOUNT_KIND_RAM)) {
        destroy_buffer(mp);
        destroy_buffer(origin);
        return nullptr;
    }
    return append_mount(kind, mp, origin, 0);
}

int program_mount_count(int64_t program) {
    if (program >= 0) {
        auto it = _program_mounts.find(program);
        return it == _program_mounts.end() ? 0 : it->second;
    }
    // Ended programs' share: all of them less those of the programs that run.
    std::vector<int64_t> live;
    for (int i = 0; i < get_process_count(); i++) {
        const Process* p = get_process_by_index(i);
        if (p && p->state == PROC_RUNNING) live.push_back(p->program_id);
    }
    std::sort(live.begin(), live.end());
    live.erase(std::unique(live.begin(), live.end()), live.end());
    int ended = _program_mounts_total;
    for (int64_t program_id : live) ended -= program_mount_count(program_id);
    return ended;
}

pmount* mount_script_path(const char* mount_point, const char* target) {
    if (!by_system()) {
        const char* point = mount_point ? mount_point : "";
        if (program_mount_count(cproc->program_id) >= PROGRAM_MOUNTS_MAX) {
            log_refusal_once(cproc, LIMIT_LOGGED_MOUNTS, "mount refused: program %lld has %d mounts standing; %.200s not mounted",
                             (long long)cproc->program_id, PROGRAM_MOUNTS_MAX, point);
            return nullptr;
        }
        if (program_mount_count(ENDED_PROGRAMS) >= ENDED_PROGRAM_MOUNTS_MAX) {
            log_refusal_once(cproc, LIMIT_LOGGED_MOUNTS, "mount refused: ended programs have %d mounts standing; %.200s not mounted",
                             ENDED_PROGRAM_MOUNTS_MAX, point);
            return nullptr;
        }
    }
    pmount* m = mount_p_path(mount_point, target);
    if (!m) return nullptr;
    m->by_script = 1;
    if (counts_for_program(m)) {
        _program_mounts[m->program]++;
        _program_mounts_total++;
    }
    return m;
}

int get_path_parent_match_depth(const char* mount_point, const char* path) {
    if (!mount_point || !path) return -1;
    if (strcmp(mount_point, "/") == 0) return 0;
    size_t n = strlen(mount_point);
    if (strncmp(path, mount_point, n) != 0) return -1;
    if (path[n] != 0 && path[n] != '/') return -1;
    int depth = 0;
    const char* p = mount_point;
    while (*p) {
        if (*p == '/') p++;
        if (!*p) break;
        while (*p && *p != '/') p++;
        depth++;
    }
    return depth;
}

void mark_parent_mount_dirty(const char* ram_path) {
    // A host origin can look like a RAM path on Linux; only RAM mounts count.
    int win = ram_path ? deepest_holder(_by_ram_origin, ram_path, false, true) : -1;
    if (win < 0) return;
    Process* p = get_current_process();
    int64_t program = p ? p->program_id : 0;
    auto mark = [program](pmount* m) {
        if (!m->flush_due) {
            m->first_change = os_get_time();
            m->flush_due = m->first_change + MOUNT_FLUSH_DELAY_MS;
        }
        m->dirty = 1;
        m->changes++;
        m->changed_by = program;
    };
    mark(&_pmount[win]);
    // A mount of a folder inside a cartridge wins over the cartridge's own:
    // the cartridge is changed all the same, or its file would never be.
    pmount* cart = cart_mount_of_origin(ram_path);
    if (cart && cart != &_pmount[win]) mark(cart);
}

pmount* get_mount_by_mount_point(const char* path, int kind) {
    const mount_key* k = path ? index_find(_by_point, path) : nullptr;
    if (!k) return nullptr;
    for (uint64_t s : k->serials) {
        int i = index_of_serial(s);
        if (i >= 0 && (kind == 0 || _pmount[i].kind == kind)) return &_pmount[i];
    }
    return nullptr;
}

const char* get_mount_description(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return nullptr;
    const pmount* m = get_mount_by_mount_point(to_cstr(np), 0);
    destroy_buffer(np);
    if (!m) return nullptr;
    if (m->kind == MOUNT_KIND_HOST)
        snprintf(_get_mount_description_str, sizeof(_get_mount_description_str), "host:%s", btext(m->origin));
    else
        snprintf(_get_mount_description_str, sizeof(_get_mount_description_str), "%s", btext(m->origin));
    return _get_mount_description_str;
}

// The first mount at the longest key of the index that begins the path and
// that accepts (the path whole, or cut before a '/'), or none.
template <class Accept>
static pmount* longest_holder(const mount_index& ix, std::string_view p, Accept accept) {
    for (size_t n = p.size() + 1; n-- > 0;) {
        if (n < p.size() && p[n] != '/') continue;
        const mount_key* k = index_find(ix, p.substr(0, n));
        if (!k || !accept(p.substr(0, n))) continue;
        int i = index_of_serial(k->serials.front());
        if (i >= 0) return &_pmount[i];
    }
    return nullptr;
}

pmount* cart_mount_of_origin(const char* ram_path) {
    if (!ram_path || !starts_with(ram_path, "/ram/mount/")) return nullptr;
    return longest_holder(_by_cart_origin, ram_path, [](std::string_view) { return true; });
}

pmount* cart_mount_at_or_above(const char* path) {
    if (!path) return nullptr;
    return longest_holder(_by_point, path, [](std::string_view key) {
        return hvx_path_kind(std::string(key).c_str()) != CART_KIND_NONE;  // only a found key is weighed
    });
}

int ram_write_refusal(const char* ram_origin) {
    const pmount* m = cart_mount_of_origin(ram_origin);
    if (!m) return RAM_WRITE_OK;
    const char* cart = btext(m->mount_point);
    int why = RAM_WRITE_OK;
    if (m->no_write_back) {
        why = RAM_WRITE_DEAD_CART;
    } else if (hvx_path_kind(cart) == CART_KIND_TEXT) {
        const char* name = ram_origin + m->origin->length;
        if (*name == '/') name++;
        if (*name && !hvx_text_name_ok(name, (int64_t)strlen(name))) why = RAM_WRITE_TEXT_NAME;
    }
    if (why != RAM_WRITE_OK && once_per_process(std::string("write ") + cart))
        krio_debugf(why == RAM_WRITE_DEAD_CART ? "%s did not load whole; writes under it refused\n"
                                               : "%s: a text cartridge can not hold that name; write refused\n",
                    cart);
    return why;
}

void delete_mount_entry(int i) {
    if (i < 0 || i >= _pmounts) return;
    pmount* m = &_pmount[i];
    index_remove(_by_point, point_text(m), m->serial);
    parent_index(point_text(m), m->serial, false);
    if (m->kind == MOUNT_KIND_RAM) index_remove(_by_ram_origin, btext(m->origin), m->serial);
    if (is_cart_own_mount(m)) index_remove(_by_cart_origin, btext(m->origin), m->serial);
    if (m->kind == MOUNT_KIND_RAM && !m->cartridge) count_reach(m->origin, -1);
    if (counts_for_program(m)) {
        auto it = _program_mounts.find(m->program);
        if (it != _program_mounts.end() && --it->second <= 0) _program_mounts.erase(it);
        _program_mounts_total--;
    }
    destroy_mount_buffers(m);
    memmove(&_pmount[i], &_pmount[i + 1], sizeof(pmount) * (size_t)(_pmounts - i - 1));
    _pmounts--;
    memset(&_pmount[_pmounts], 0, sizeof(pmount));
}

int remove_mount(const pmount* m) {
    if (!m || holds_unwritten_changes(m)) return 0;
    if (m->cartridge) delete_ram_files_in_path(m->origin);
    delete_mount_entry((int)(m - _pmount));
    return 1;
}

int delete_clean_ram_mounts(int most) {
    spend_cpu(hvx_cycles(_pmounts / MOUNTS_SCANNED_PER_CYCLE));
    int dropped = 0;
    for (int i = _pmounts - 1; i >= 0 && dropped < most; i--)
        if (!_pmount[i].dirty && !_pmount[i].writing && prunable(&_pmount[i])) {
            drop_mount(i);
            dropped++;
        }
    if (dropped) spend_cpu(hvx_cycles((int64_t)dropped * MOUNT_DROP_COST));
    return dropped;
}

void prune_mounts() {
    if (app.atomic_pid) return;
    if (_pmounts < PMOUNT_PRUNE_HEAVY && pdisk_num_pfiles() <= _prune_threshold) {
        pdisk_compact_pfiles();
        return;
    }
    // Dirty mounts stay until the frame's bounded write-back reaches them.
    delete_clean_ram_mounts(PRUNE_DROPS_PER_FRAME);
    release_ram_records_under("/ram/anywhen/");
    int64_t t = _prune_threshold, n = pdisk_num_pfiles();
    if (t <= n)
        t = 3 * t >= 2 * PRUNE_THRESHOLD_MAX + 2 ? PRUNE_THRESHOLD_MAX : 3 * t / 2;
    else
        t = 3 * t < 4 * PRUNE_THRESHOLD_MIN ? PRUNE_THRESHOLD_MIN : 3 * t / 4;
    _prune_threshold = (int)t;
    // No stop for a crowded table: new mounts are refused at PMOUNT_LIMIT,
    // so the table can not overflow, and each refusal is logged where it happens.
    pdisk_compact_pfiles();
}

int host_directory_exists(const char* host_path) {
    if (!host_path || !*host_path) return 0;
    struct stat st;
    return stat(host_path, &st) == 0 && S_ISDIR(st.st_mode);
}

static int directory_test(const char* path, int also_mounts, int skip_exact) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return 0;
    int kind = 0;
    buffer* origin = resolve_normalised_to_origin(to_cstr(np), &kind, skip_exact);
    int r = 0;
    if (kind == MOUNT_KIND_RAM) {
        const pfile* f = get_ram_file_by_name(btext(origin));
        r = f && (f->flags & PFILE_FLAG_FOLDER);
    } else if (kind == MOUNT_KIND_HOST) {
        charge_host_path_op(btext(origin));
        r = host_directory_exists(btext(origin));
    }
    if (!r && also_mounts) {
        const pmount* m = get_mount_by_mount_point(btext(np), MOUNT_KIND_RAM);
        if (m) r = m->isr ? 1 : directory_test(btext(m->origin), 0, 0);
    }
    destroy_buffer(origin);
    destroy_buffer(np);
    return r;
}

int pdisk_directory_exists(const char* path, int also_mounts) { return directory_test(path, also_mounts, 0); }
int pdisk_host_directory_exists(const char* path) { return directory_test(path, 0, 1); }

// ---------------------------------------------------------------------------
// Cartridge mounts
// ---------------------------------------------------------------------------

// Whether the (normalised) path names a readable file, reached past any mount
// at the path itself; with out, its content is read too.
static bool cart_file(const char* path, buffer** out) {
    if (out) *out = nullptr;
    int kind = 0;
    buffer* origin = resolve_to_origin(path, &kind, 1);
    bool found = false;
    if (kind == MOUNT_KIND_RAM) {
        const pfile* f = get_ram_file_by_name(btext(origin));
        if (f && !(f->flags & PFILE_FLAG_FOLDER)) {
            found = true;
            if (out) *out = f->data ? create_buffer_from_buffer(f->data) : create_buffer_2(0, BUFFER_KIND_FROM_BUFFER);
        }
    } else if (kind == MOUNT_KIND_HOST) {
        struct stat st;
        if (stat(btext(origin), &st) == 0 && S_ISREG(st.st_mode)) {
            found = true;
            if (out) {
                *out = create_buffer_from_file(btext(origin));
                // Read as an "r" opening reads a host file, and charged the same.
                if (*out) spend_cpu((*out)->length / 8);
            }
        }
    }
    destroy_buffer(origin);
    return found;
}

// Makes a RAM folder record at the RAM origin of path; 0 on success.
static int ram_folder_at(const char* path) {
    int kind = 0;
    buffer* origin = resolve_to_origin(path, &kind, 0);
    if (kind != MOUNT_KIND_RAM || origin->length == 0) {
        destroy_buffer(origin);
        return 1;
    }
    int i = get_index_by_name(btext(origin));
    if (i >= 0) {
        const pfile* f = get_ram_file_by_index(i);
        destroy_buffer(origin);
        return (f && (f->flags & PFILE_FLAG_FOLDER)) ? 0 : 1;
    }
    pfile* f = pfile_insert(origin, PFILE_KIND_RAM, origin);
    if (!f) {
        krio_debug("** too many files **\n");
        destroy_buffer(origin);
        return 1;
    }
    f->flags |= PFILE_FLAG_FOLDER;
    f->data = create_buffer_2(0, BUFFER_KIND_FROM_BUFFER);
    return 0;
}

static bool ram_name_taken(const char* path) {
    int kind = 0;
    buffer* origin = resolve_to_origin(path, &kind, 0);
    bool taken = kind == MOUNT_KIND_RAM && get_index_by_name(btext(origin)) >= 0;
    destroy_buffer(origin);
    return taken;
}

// Tells the user, once per process and cartridge, that a mount is read-only.
static void tell_dead_cart(const char* cart, bool no_memory) {
    if (!once_per_process(std::string("dead ") + cart)) return;
    std::string text = std::string("cartridge ") + cart + " " + (no_memory ? CART_NO_MEMORY_TEXT : CART_DEAD_TEXT);
    krio_debugf("%s\n", text.c_str());
    notify(text.c_str());
}

static bool load_cartridge(const char* cart, const char* folder, buffer* content) {
    content->cursor = 0;
    return _cart_loader && _cart_loader(hvx_path_kind(cart), folder, content);
}

pmount* mount_hvx_path(const char* path) {
    buffer* np = normalise_halvoran_path(path);
    if (!np) return nullptr;
    const char* cart = to_cstr(np);
    pmount* existing = get_mount_by_mount_point(cart, 0);
    if (existing) {
        existing->last_used = ++_mount_use_tick;
        destroy_buffer(np);
        return existing;
    }
    // Refused before the file is read: a full table would only throw the work away.
    if (!mount_room()) {
        tell_mount_refused(cart, true);
        destroy_buffer(np);
        return nullptr;
    }
    int saved_block = _block_automounting;
    _block_automounting = 1;
    pmount* result = nullptr;
    char folder[64];
    if (ram_folder_at(CART_MOUNT_FOLDER) == 0) {
        for (;;) {
            snprintf(folder, sizeof(folder), "%s/m%lld", CART_MOUNT_FOLDER, cart_counter++);
            if (!ram_name_taken(folder)) break;
            printf("!! %s\n", folder);
        }
        if (ram_folder_at(folder) == 0) {
            buffer* content = nullptr;
            bool existed = cart_file(cart, &content);
            int64_t refused = ram_files_refusals();
            bool loaded = content && load_cartridge(cart, folder, content);
            bool no_memory = ram_files_refusals() != refused;
            if (no_memory) {
                // A cartridge cut short by the bound is of no use, and its bytes are wanted elsewhere.
                buffer* f = create_buffer_from_str(folder);
                delete_ram_files_in_path(f);
                destroy_buffer(f);
                ram_folder_at(folder);
            }
            // Its folder and file made and read (or, for a new one, written later).
            spend_cpu(hvx_cycles((int64_t)CART_MOUNT_FOLDER_OPS * HOST_FOLDER_OP_COST +
                                 (content ? content->length : 0) / CART_MOUNT_READ_BYTES_PER_CYCLE));
            int kind = 0;
            buffer* origin = resolve_to_origin(folder, &kind, 0);
            if (kind == MOUNT_KIND_RAM && origin->length > 0) {
                result = append_mount(kind, create_buffer_from_buffer(np), origin, 0, true);
                // A cartridge that is there but did not load whole must never
                // be encoded back over its file from a partial folder.
                if (result && existed && (!content || content->length > 0) && !loaded) {
                    result->no_write_back = 1;
                    tell_dead_cart(cart, no_memory);
                }
            } else {
                destroy_buffer(origin);
            }
            destroy_buffer(content);
        }
    }
    _block_automounting = saved_block;
    destroy_buffer(np);
    return result;
}

static bool is_cart_candidate(const char* p, size_t n) {
    if (n > 4 && memcmp(p + n - 4, ".hvx", 4) == 0) return true;
    if (n > 8 && (memcmp(p + n - 8, ".hvx.png", 8) == 0 || memcmp(p + n - 8, ".hvx.rom", 8) == 0)) return true;
    return false;
}

// The length of the first leading part that names a cartridge which could
// not be mounted, or 0.
size_t automount_parts(const char* path) {
    if (_block_automounting || !path) return 0;
    size_t n = strlen(path);
    if (n < 2 || n >= 4096) return 0;
    size_t refused = 0;
    _block_automounting = 1;
    char part[4096];
    for (size_t e = 1; e <= n; e++) {
        if (e < n && path[e] != '/') continue;
        if (!is_cart_candidate(path, e)) continue;
        memcpy(part, path, e);
        part[e] = 0;
        // The mount table is asked first: a cartridge already mounted is not
        // read again on every path through it.
        if (get_mount_by_mount_point(part, 0)) continue;
        if (pdisk_directory_exists(part, 1)) continue;
        if (!cart_file(part, nullptr)) continue;
        if (!mount_hvx_path(part) && !refused) refused = e;
    }
    _block_automounting = 0;
    return refused;
}

void automount_p_path(const char* path) { automount_parts(path); }

// ---------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------

void print_mounts() {
    for (int i = 0; i < _pmounts; i++) {
        const pmount* m = &_pmount[i];
        printf("mount %d kind: %d isr:%d mount_point: %-10s origin: %-20s\n", i, m->kind, m->isr,
               btext(m->mount_point), btext(m->origin));
    }
}

// ---------------------------------------------------------------------------
// Resolution through the mounts
// ---------------------------------------------------------------------------

static buffer* empty_origin() { return create_buffer_2(0, RESOLVE_BUFFER_KIND); }

buffer* resolve_to_origin(const char* path, int* out_kind, int skip_exact) {
    if (out_kind) *out_kind = 0;
    buffer* np = normalise_halvoran_path(path);
    if (!np) return empty_origin();
    buffer* out = resolve_normalised_to_origin(to_cstr(np), out_kind, skip_exact);
    destroy_buffer(np);
    return out;
}

buffer* resolve_normalised_to_origin(const char* p, int* out_kind, int skip_exact) {
    if (out_kind) *out_kind = 0;
    if (!p) return empty_origin();
    size_t plen = strlen(p);
    // A relative working folder can leave ".." in place; such a path must
    // never reach a host folder above its mount.
    if (path_has_dotdot_segment(p, (int64_t)plen)) return empty_origin();
    size_t refused = !pdisk_automounting_blocked() && plen >= 2 ? automount_parts(p) : 0;
    // Inside a cartridge that could not be mounted nothing is served: the
    // path would reach a file of the same name in the folder around it.
    if (refused && refused < plen) return empty_origin();
    pmount* m = mount_serving(std::string_view(p, plen), skip_exact);
    if (!m) {
        // A relative path (left by a raw working folder) is served by no
        // mount and is answered softly, like any path that is not legal. An
        // absolute one means "/" is not mounted: worth one line in the log.
        static bool unmounted_logged = false;
        if (p[0] == '/' && !unmounted_logged) {
            unmounted_logged = true;
            krio_debugf("** could not resolve file to origin: %s (no mount serves it; / not mounted?)\n", p);
        }
        return empty_origin();
    }
    const char* mp = btext(m->mount_point);
    const char* rest = strcmp(mp, "/") == 0 ? p : p + strlen(mp);
    size_t ol = (size_t)m->origin->length;
    // One separator between origin and rest, also for origins ending in '/'.
    if (ol > 0 && m->origin->data[ol - 1] == '/' && rest[0] == '/') rest++;
    size_t rl = strlen(rest);
    buffer* out = create_buffer_2((int32_t)(ol + rl + 1), RESOLVE_BUFFER_KIND);
    if (!out) return empty_origin();
    memcpy(out->data, m->origin->data, ol);
    memcpy(out->data + ol, rest, rl);
    out->data[ol + rl] = 0;
    out->length = out->cursor = (int32_t)(ol + rl);
    if (out_kind) *out_kind = m->kind;
    return out;
}

void trace_pfopen(const char* path, const char* mode) {
    printf("@@ tracing pfopen %s\n", path ? path : "");
    buffer* np = normalise_halvoran_path(path);
    if (!np) {
        printf("  ** could not normalise path\n");
        return;
    }
    printf("  p_path: %s\n", to_cstr(np));
    int kind = 0;
    bool skip = mode && mode[0] && mode[1] == 'f';
    buffer* origin = resolve_normalised_to_origin(btext(np), &kind, skip);
    printf("  resolved_origin: %s (kind: %d)\n", btext(origin), kind);
    if (kind == MOUNT_KIND_RAM) {
        int i = get_index_by_name(btext(origin));
        printf("  get_ram_file_by_name result: %d\n", i);
        const pfile* f = get_ram_file_by_index(i);
        if (f && (f->flags & PFILE_FLAG_FOLDER))
            printf("  ** can not open a directory\n");
        else if (f)
            printf("  --> return ram file\n");
        else
            printf("  ** could not find ram file: %s\n", btext(origin));
    } else if (kind == MOUNT_KIND_HOST) {
        printf("  --> looking for host file (... trace ends here ...))\n");
    }
    destroy_buffer(origin);
    destroy_buffer(np);
}
