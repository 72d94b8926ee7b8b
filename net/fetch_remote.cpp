// Remote fetches for scripts: _fetch_remote starts a job and returns its id,
// _fetch_remote_result polls it and decodes the bytes by the URL's extension.
// Downloaded cartridge images are kept in the per-user cache.
#include <cstring>
#include <string>
#include <string_view>

#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "core/core.h"
#include "storage/storage.h"

static bool starts_with(const char* s, const std::string& prefix) {
    return strncmp(s, prefix.c_str(), prefix.size()) == 0;
}

static int32_t method_of(lua_State* L) {
    if (lua_type(L, 2) != LUA_TSTRING) return GURL_GET;
    size_t n = 0;
    const char* s = lua_tolstring(L, 2, &n);
    if (n > FETCH_METHOD_MAX) return GURL_GET;
    std::string m(s, n);
    for (char& c : m)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return m == "post" ? GURL_POST : m == "put" ? GURL_PUT : GURL_GET;
}

// One line and its NUL in one write, so a line never runs into the next;
// s[n] is that NUL (a Lua string's or a std::string's).
static void append_line(buffer* lines, const char* s, size_t n) {
    lines->cursor = lines->length;
    bwrite(s, 1, (int64_t)n + 1, lines);
}

buffer* fetch_header_lines(lua_State* L, int index, std::string_view url) {
    buffer* lines = create_buffer_2(FETCH_HEADERS_SIZE, FETCH_HEADERS_KIND);
    index = lua_absindex(L, index);
    lua_pushnil(L);
    while (lua_next(L, index)) {
        spend_cpu(FETCH_HEADER_ENTRY_COST);
        if (lua_type(L, -1) == LUA_TSTRING && lines) {
            size_t n = 0;
            const char* s = lua_tolstring(L, -1, &n);
            const std::string_view entry(s, n);
            if (entry == TOKEN_PLACEHOLDER) {
                const siteuser_session* session = get_active_session();
                if (session && session->vynnet_token[0] && url_under_endpoint(url, session->https_endpoint)) {
                    std::string line = std::string("Authorization: ") + session->vynnet_token;
                    if (header_line_is_valid(line)) append_line(lines, line.c_str(), line.size());
                }
            } else if (header_line_is_valid(entry)) {
                append_line(lines, s, n);
            } else {
                log_refusal_once(cproc, LIMIT_LOGGED_HEADER_LINE,
                                 "_fetch_remote: a header holding a line break or other control byte is not sent");
            }
        }
        lua_pop(L, 1);
    }
    return lines;
}

// Logged once per process, whichever share refused it first.
static void log_share_refusal(Process* p, int why) {
    if (why == GURL_SHARE_PROCESS)
        log_refusal_once(p, LIMIT_LOGGED_JOBS, "_fetch_remote: it holds %d jobs; more are refused", FETCH_JOBS_PER_PROCESS);
    else if (why == GURL_SHARE_PROGRAM)
        log_refusal_once(p, LIMIT_LOGGED_JOBS, "_fetch_remote: its program %lld holds %d jobs; more are refused",
                         (long long)p->program_id, FETCH_JOBS_PER_PROGRAM);
    else
        log_refusal_once(p, LIMIT_LOGGED_JOBS, "_fetch_remote: the last %d job slots are the system's; refused",
                         GURL_RESERVED_SLOTS);
}

int lua54__fetch_remote(lua_State* L) {
    std::string url, body;
    if (!hvx_text_arg(L, 1, &url)) return 0;
    bool has_body = hvx_text_arg(L, 3, &body);
    buffer* headers = lua_istable(L, 4) ? fetch_header_lines(L, 4, url) : nullptr;
    if (!config.network_access) {
        destroy_buffer(headers);
        lua_pushnil(L);
        lua_pushstring(L, "no network access");
        return 2;
    }
    // The header walk above may have run finalizers: the caller is read now.
    Process* p = cproc;
    const int64_t owner = p ? p->id : 0, program = p ? p->program_id : 0;
    if (int why = p ? gurl_share_refusal(owner, program, is_system_process_id(owner)) : GURL_SHARE_FITS) {
        destroy_buffer(headers);
        log_share_refusal(p, why);
        lua_pushinteger(L, -1);
        return 1;
    }
    spend_cpu(FETCH_JOB_START_COST);
    int32_t id = gurl_req(url.c_str(), gurl_cb, method_of(L), has_body ? body.data() : nullptr, (int64_t)body.size(),
                          headers ? headers->data : nullptr, headers ? headers->length : 0);
    destroy_buffer(headers);
    if (p) gurl_set_owner(id, owner, program);
    lua_pushinteger(L, id);
    return 1;
}

static int fetch_failure(lua_State* L, const char* text) {
    lua_pushnil(L);
    lua_pushnil(L);
    lua_pushstring(L, text);
    return 3;
}

int lua54__fetch_remote_result(lua_State* L) {
    int64_t id = hvx_intp(L, 1, 0);
    if (!config.network_access) return fetch_failure(L, "no network access");
    gurl_job* j = id > 0 && id <= INT32_MAX ? gurl_get_job((int32_t)id) : nullptr;
    // Jobs of the system's own requests carry tokens: scripts see only their own kind.
    if (!j || j->callback != gurl_cb) return fetch_failure(L, "job not found");
    // Any process may read a result; only one of the job's own program
    // taking it frees the job's shares.
    const bool own = cproc && j->program != 0 && j->program == cproc->program_id;
    int32_t state = j->state.load(std::memory_order_acquire);
    if (state == GURL_FAILED) {
        if (own) gurl_mark_read(j->id);
        return fetch_failure(L, "could not download");
    }
    if (state != GURL_DONE) return 0;
    // Released also when decoding raises (a reply too large for the process).
    scoped_buffer bytes(create_buffer_2((int32_t)j->result.length + 4, FETCH_RESULT_KIND));
    if (!bytes) return fetch_failure(L, "could not download");
    bwrite(j->result.data, 1, j->result.length, bytes);
    bytes->cursor = 0;
    std::string path((const char*)j->url.data, (size_t)j->url.length);
    int results = unvyn_from_fetched_buffer(L, bytes, path.c_str(), 0);
    // By id: the decoding may have run finalizers that started jobs, one of
    // which may have taken this job's slot.
    if (own) gurl_mark_read((int32_t)id);
    return results;
}

// A name the cache may hold: no climbing out, no control bytes, and no '%'
// (the cache calls read no such name back).
static bool cache_name_ok(const char* s) {
    size_t n = strlen(s);
    if (n == 0 || s[0] == '/' || path_has_dotdot_segment(s, (int64_t)n)) return false;
    for (const char* p = s; *p; p++)
        if ((uint8_t)*p < 32 || *p == 127 || *p == '%' || *p == '\\') return false;
    return true;
}

int cart_cache_name_for_url(const char* url, char* out, size_t out_size) {
    if (!url || !out || out_size == 0) return 0;
    out[0] = 0;
    std::string name;
    const char* cart = net_host_url(NET_HOST_CART);
    const char* site = net_host_url(NET_HOST_SITE);
    std::string cart_root = std::string(cart) + "/";
    std::string get_cart = std::string(site) + GET_CART_PATH;
    // The download form first: it is the narrower rule where one host serves both.
    if (site[0] && starts_with(url, get_cart)) {
        const char* lid = url + get_cart.size();
        if (!cache_name_ok(lid)) return 0;
        name = std::string(CART_CACHE_FOLDER) + "/" + lid + ".hvx.png";
    } else if (cart[0] && starts_with(url, cart_root)) {
        const char* rest = url + cart_root.size();
        if (!cache_name_ok(rest)) return 0;
        name = std::string(CART_CACHE_FOLDER) + "/" + rest;
    } else {
        return 0;
    }
    if (name.size() >= out_size) return 0;
    memcpy(out, name.c_str(), name.size() + 1);
    return 1;
}

void gurl_cb(gurl_job* j) {
    if (j->state.load(std::memory_order_acquire) != GURL_DONE || j->result.length < CART_CACHE_MIN ||
        memcmp(j->result.data + 1, "PNG", 3) != 0)
        return;
    char name[HVX_PATH_MAX], path[HVX_PATH_MAX];
    if (!cart_cache_name_for_url((const char*)j->url.data, name, sizeof name)) return;
    if (!krio_prefix_with_appdata_path("cache", path, sizeof path) || !krio_mkdir(path)) return;
    if (!krio_prefix_with_appdata_path(CART_CACHE_FOLDER, path, sizeof path) || !krio_mkdir(path)) return;
    if (!krio_prefix_with_appdata_path(name, path, sizeof path)) return;
    // All or nothing: a cut write never leaves a cartridge that looks whole.
    os_write_file_atomic(path, j->result.data, (size_t)j->result.length, 0666);
}

const char* strip_lid_version(const char* lid) {
    static char base[256];
    memset(base, 0, sizeof base);
    if (lid) strncpy(base, lid, sizeof base - 1);
    if (char* dash = strchr(base, '-')) *dash = 0;
    return base;
}
