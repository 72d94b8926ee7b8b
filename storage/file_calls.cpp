// Path and file-system calls: text tests and splits of paths, the working
// folder, mounting, deleting, copying, inspecting, making and listing
// folders, and the host cache of downloaded files.
//
// Every text argument is copied before anything else runs: the calls below
// allocate in the caller's state, and a finalizer run there may change
// whatever the caller passed.
#include "storage/file_calls.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "lang/lang.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"
#include "storage/writeback.h"

int is_ext_char(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

namespace {

void push_std(lua_State* L, const std::string& s) { lua_pushlstring(L, s.data(), s.size()); }

// The normalised form of a path argument; false when it is not legal.
bool normalised(const std::string& path, std::string* out) {
    buffer* np = normalise_halvoran_path(path.c_str());
    if (!np) return false;
    out->assign(btext(np), (size_t)np->length);
    destroy_buffer(np);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Pure path texts
// ---------------------------------------------------------------------------

int is_well_formed_bbs_path(const char* s, size_t n) {
    for (size_t i = BBS_PATH_FREE_CHARS; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '/' || c == '_')) return 0;
    }
    return 1;
}

int is_well_formed_vynnet_path(const char* s, size_t n) {
    size_t k = strlen(VYNNET_PREFIX);
    if (n < k || memcmp(s, VYNNET_PREFIX, k) != 0) return 0;
    for (size_t i = k; i < n; i++)
        if (!is_path_char((unsigned char)s[i])) return 0;
    return 1;
}

int lua54_is_well_formed_bbs_path(lua_State* L) {
    std::string s;
    if (!hvx_text_arg(L, 1, &s)) return 0;
    lua_pushboolean(L, is_well_formed_bbs_path(s.data(), s.size()));
    return 1;
}

int lua54_is_well_formed_vynnet_path(lua_State* L) {
    std::string s;
    if (!hvx_text_arg(L, 1, &s)) return 0;
    lua_pushboolean(L, is_well_formed_vynnet_path(s.data(), s.size()));
    return 1;
}

int lua54_hloc(lua_State* L) {
    std::string s;
    if (!hvx_text_arg(L, 1, &s)) return 0;
    size_t h = s.find('#');
    if (h == std::string::npos) lua_pushnil(L);
    else push_std(L, s.substr(h + 1));
    return 1;
}

int lua54_path(lua_State* L) {
    std::string s;
    if (!hvx_text_arg(L, 1, &s)) return 0;
    push_std(L, s.substr(0, s.find('#')));
    return 1;
}

int lua54_ext(lua_State* L) {
    std::string s;
    if (!hvx_text_arg(L, 1, &s) || s.empty()) return 0;
    // The search for '#' back from the end may read all of it.
    hvx_charge_text_read(s.size());
    size_t h = s.rfind('#');
    if (h == 0) {
        lua_pushnil(L);
        return 1;
    }
    size_t end = h == std::string::npos ? s.size() : h;
    int64_t i = (int64_t)end - 1;
    while (i >= 0 && is_ext_char((unsigned char)s[(size_t)i])) i--;
    if (i <= 0 || s[(size_t)i] != '.') {
        lua_pushnil(L);
        return 1;
    }
    int64_t j = i - 1;
    while (j >= 0 && is_ext_char((unsigned char)s[(size_t)j])) j--;
    size_t from = (j >= 0 && s[(size_t)j] == '.') ? (size_t)j + 1 : (size_t)i + 1;
    push_std(L, s.substr(from, end - from));
    return 1;
}

// ---------------------------------------------------------------------------
// Working folder and normalisation
// ---------------------------------------------------------------------------

int lua54_pwd(lua_State* L) {
    push_std(L, pdisk_working_folder());
    return 1;
}

int lua54_cd(lua_State* L) {
    std::string path;
    if (!path_arg(L, 1, &path) || !cproc) return 0;
    if (lua_toboolean(L, 2)) {
        // Taken as it is; a relative or protocol folder makes later relative
        // paths fail to resolve, which every call answers softly.
        if (path.size() < (size_t)PWD_MAX) snprintf(cproc->pwd, sizeof cproc->pwd, "%s", path.c_str());
        return 0;
    }
    std::string np;
    if (!normalised(path, &np)) return 0;
    if (!pdisk_directory_exists(np.c_str(), 1)) {
        lua_pushstring(L, CD_NOT_FOUND_TEXT);
        return 1;
    }
    if (np.size() < (size_t)PWD_MAX) snprintf(cproc->pwd, sizeof cproc->pwd, "%s", np.c_str());
    return 0;
}

static int push_collapsed(lua_State* L, int trace) {
    std::string s;
    if (!path_arg(L, 1, &s)) return 0;
    buffer* c = collapse_path(s.c_str(), 0, trace);
    if (!c) return 0;
    std::string out(btext(c), (size_t)c->length);
    destroy_buffer(c);
    push_std(L, out);
    return 1;
}

int lua54_normalise_userland_path(lua_State* L) { return push_collapsed(L, 0); }
// The steps are a debugging aid: a loop over norm would fill standard output.
int lua54_norm(lua_State* L) { return push_collapsed(L, first_refusal(cproc, LIMIT_LOGGED_NORM_TRACE)); }

int lua54_fullpath(lua_State* L) {
    std::string s;
    if (!path_arg(L, 1, &s)) return 0;
    size_t colon = s.find(':');
    if (colon != std::string::npos && s.compare(colon + 1, 2, "//") == 0) {
        push_std(L, s);
        return 1;
    }
    std::string np;
    if (!normalised(s, &np)) return 0;
    push_std(L, np);
    return 1;
}

// ---------------------------------------------------------------------------
// Mounts, deleting, copying, inspecting, folders
// ---------------------------------------------------------------------------

int lua54_mount(lua_State* L) {
    std::string point, target;
    if (!path_arg(L, 1, &point) || !path_arg(L, 2, &target)) return 0;
    mount_script_path(point.c_str(), target.c_str());
    return 0;
}

int lua54_fdelete(lua_State* L) {
    std::string path;
    if (!path_arg(L, 1, &path)) return 0;
    // A cartridge mounted there is written back before it goes.
    delete_mount_point(path.c_str());
    delete_path(path.c_str());
    return 0;
}

// Whether a path names a folder (a mount point counts as one), asked without
// the charge of a directory test.
static bool names_folder(const std::string& path) {
    std::string np;
    if (!normalised(path, &np)) return false;
    int kind = 0;
    buffer* origin = resolve_normalised_to_origin(np.c_str(), &kind, 0);
    bool folder = false;
    if (kind == MOUNT_KIND_HOST) {
        folder = host_directory_exists(btext(origin));
    } else if (kind == MOUNT_KIND_RAM) {
        const pfile* f = get_ram_file_by_name(btext(origin));
        folder = f ? (f->flags & PFILE_FLAG_FOLDER) != 0 : get_mount_by_mount_point(np.c_str(), 0) != nullptr;
    }
    destroy_buffer(origin);
    return folder;
}

int lua54_fcopy(lua_State* L) {
    std::string from, to;
    if (!path_arg(L, 1, &from) || !path_arg(L, 2, &to)) return 0;
    int64_t n = fcopy(from.c_str(), to.c_str());
    // A folder copies nothing, but opening it is host folder work.
    if (n == 0 && (names_folder(from) || names_folder(to)))
        spend_cpu(hvx_cycles(HOST_FOLDER_OP_COST + (int64_t)(from.size() + to.size()) * HOST_PATH_BYTE_COST));
    spend_cpu(n > 0 ? hvx_cycles(n) : 1);
    return 0;
}

int lua54_fstat(lua_State* L) {
    std::string path, np;
    if (!path_arg(L, 1, &path) || !normalised(path, &np)) return 0;
    bool as_file = lua_toboolean(L, 2);
    const char* p = np.c_str();
    // A cartridge left to the frame's write-back is answered as its file
    // stands.
    bool left = hvx_path_kind(p) && flush_path_cartridge_if_small(p);
    const char* d = get_mount_description(p);
    std::string desc = d ? d : "";
    bool has_desc = d != nullptr;
    const char* kind = nullptr;
    int64_t size = 0;
    if (as_file && left) {
        lua_pushstring(L, "file");
        lua_pushinteger(L, pfile_size(p, 1));
        return 2;
    }
    if (as_file) {
        if (pfile* f = pfopen_newest(p)) {
            size = f->data ? f->data->length : 0;
            pfclose(f);
            lua_pushstring(L, "file");
            lua_pushinteger(L, size);
            return 2;
        }
    }
    if (pdisk_directory_exists(p, 1)) {
        kind = "folder";
        size = pfile_size(p, 1);
    } else if (pdisk_file_exists(p)) {
        kind = "file";
        size = pfile_size(p, 0);
    } else {
        return 0;
    }
    lua_pushstring(L, kind);
    lua_pushinteger(L, size);
    if (has_desc) push_std(L, desc);
    else lua_pushnil(L);
    return 3;
}

int lua54_mkdir(lua_State* L) {
    std::string path;
    if (!path_arg(L, 1, &path)) {
        lua_pushstring(L, MKDIR_NO_PATH_TEXT);
        return 1;
    }
    if (pdisk_directory_exists(path.c_str(), 1)) {
        lua_pushstring(L, MKDIR_EXISTS_TEXT);
        return 1;
    }
    if (pmkdir(path.c_str()) != 0) {
        lua_pushstring(L, MKDIR_FAILED_TEXT);
        return 1;
    }
    return 0;
}

int lua54_ls(lua_State* L) {
    std::string path = "/";
    if (lua_type(L, 1) == LUA_TSTRING || lua_type(L, 1) == LUA_TNUMBER) {
        if (!path_arg(L, 1, &path)) return 0;
    }
    // A listing inside a cartridge writes that one back, when small; no other.
    std::string np;
    if (normalised(path, &np)) flush_path_cartridge_if_small(np.c_str());
    return pflist(path.c_str(), L, nullptr);
}

// ---------------------------------------------------------------------------
// Host cache
// ---------------------------------------------------------------------------

static bool cache_part_ok(const char* s, size_t n, bool versioned) {
    if (n == 0 || s[0] == '/' || memchr(s, 0, n) || memchr(s, '\\', n)) return false;
    if (path_has_dotdot_segment(s, (int64_t)n)) return false;
    int placeholders = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] != '%') continue;
        if (!versioned || i + 1 >= n || s[i + 1] != 'd') return false;
        placeholders++;
        i++;
    }
    return versioned ? placeholders == 1 : placeholders == 0;
}

int cache_host_path(const char* folder, size_t folder_len, const char* name, size_t name_len, int version,
                    char* out, size_t out_size) {
    if (!out || out_size == 0) return 0;
    out[0] = 0;
    if (!folder || !name || !cache_part_ok(folder, folder_len, false) || !cache_part_ok(name, name_len, version >= 0))
        return 0;
    char base[HVX_PATH_MAX];
    if (!krio_prefix_with_appdata_path(CACHE_FOLDER, base, sizeof base)) return 0;
    std::string p = std::string(base) + "/" + std::string(folder, folder_len) + "/";
    std::string n(name, name_len);
    // The version goes in as text: the name is never a format.
    if (version >= 0) n.replace(n.find("%d"), 2, std::to_string(version));
    p += n;
    if (p.size() >= CACHE_PATH_MAX || p.size() >= out_size) return 0;
    memcpy(out, p.c_str(), p.size() + 1);
    return 1;
}

int lua54_cache_store(lua_State* L) {
    std::string folder, name, data;
    if (!hvx_text_arg(L, 1, &folder) || !hvx_text_arg(L, 2, &name) || !hvx_text_arg(L, 3, &data)) return 0;
    char path[CACHE_PATH_MAX];
    if (!cache_host_path(folder.data(), folder.size(), name.data(), name.size(), -1, path, sizeof path)) return 0;
    // Two folders made and a file written beside its name and renamed over
    // it, paid before any of it is tried.
    spend_cpu(hvx_cycles(CACHE_STORE_HOST_OPS * (int64_t)HOST_FOLDER_OP_COST + (int64_t)(data.size() / 8)));
    char dir[HVX_PATH_MAX];
    if (!krio_prefix_with_appdata_path(CACHE_FOLDER, dir, sizeof dir) || !krio_mkdir(dir)) return 0;
    std::string sub = std::string(dir) + "/" + folder;
    krio_mkdir(sub.c_str());
    os_write_file_atomic(path, data.data(), data.size(), 0666);
    return 0;
}

// The bytes of a regular host file; false when there is none to read.
static bool read_cache_file(const char* path, std::string* out) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    buffer* b = create_buffer_from_file(path);
    if (!b) return false;
    out->assign((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return true;
}

int lua54_cache_fetch(lua_State* L) {
    std::string folder, name, bytes;
    if (!hvx_text_arg(L, 1, &folder) || !hvx_text_arg(L, 2, &name)) return 0;
    bool versioned = lua_toboolean(L, 3);
    char path[CACHE_PATH_MAX];
    bool found = false;
    for (int v = versioned ? CACHE_VERSION_MAX : -1; v >= (versioned ? 0 : -1) && !found; v--) {
        if (!cache_host_path(folder.data(), folder.size(), name.data(), name.size(), v, path, sizeof path)) return 0;
        found = read_cache_file(path, &bytes);
    }
    if (!found || (int64_t)bytes.size() < CACHE_MIN_BYTES) return 0;
    spend_cpu(hvx_cycles((int64_t)(bytes.size() / 8)));
    push_std(L, bytes);
    return 1;
}
