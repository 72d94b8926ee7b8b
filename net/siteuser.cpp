// Signed-in users of the online site: the session table kept in
// user_sessions.txt (or given on the command line), the refresh of the active
// session's tokens and endpoint, and the user-data cache fetched in batches.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/core.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "storage/storage.h"

static siteuser_session session[MAX_SESSIONS];
static int sessions = 0;
static int active_session = -1;
static int active_argv_session = 0;

static htable* siteuser_htable = nullptr;
static htable* request_times = nullptr;  // user id -> u64 ms it was last queued

// The ids one program (UDAT_SYSTEM_BATCH: the system) is waiting for.
struct udat_batch {
    int64_t program;
    std::string ids;  // each followed by ','
    int32_t count;    // ids in `ids`
    int32_t job;      // its request, until seen finished (0: none)
};
static std::vector<udat_batch> udat_batches;

// ---------------------------------------------------------------------------
// Fields
// ---------------------------------------------------------------------------

// Copies at most limit bytes of text (NUL-terminated) into out.
static void copy_bounded(char* out, const char* text, size_t limit) {
    size_t n = text ? strnlen(text, limit) : 0;
    if (n) memcpy(out, text, n);
    out[n] = 0;
}

// One field at p: it runs to the first '|', ',' or byte below 32, and p moves
// past that separator. A field longer than limit reads as empty.
static void read_field(const char*& p, const char* end, char* out, size_t limit) {
    const char* s = p;
    while (p < end && *p != '|' && *p != ',' && (uint8_t)*p >= 32) p++;
    size_t n = (size_t)(p - s) <= limit ? (size_t)(p - s) : 0;
    if (n) memcpy(out, s, n);
    out[n] = 0;
    if (p < end) p++;
}

// A value that the sessions file can hold: no separator, no line break or
// other control byte.
static bool storable(const char* v) {
    for (const char* p = v; p && *p; p++)
        if ((uint8_t)*p < 32 || *p == '|' || *p == ',') return false;
    return true;
}

static bool command_line_sessions() { return config.user_id[0] && config.session_token[0]; }

static void recompute_active() {
    active_session = -1;
    for (int i = 0; i < sessions; i++)
        if (session[i].flags & 1) active_session = i;
}

// ---------------------------------------------------------------------------
// The table and its file
// ---------------------------------------------------------------------------

static void load_command_line_sessions() {
    const char* u = config.user_id;
    const char* ue = u + strnlen(u, sizeof config.user_id);
    const char* n = config.username;
    const char* ne = n + strnlen(n, sizeof config.username);
    while (sessions < MAX_SESSIONS && u < ue && n < ne) {
        siteuser_session& s = session[sessions];
        read_field(u, ue, s.user_id, SESSION_ARGV_ITEM_MAX);
        read_field(n, ne, s.username, SESSION_ARGV_ITEM_MAX);
        copy_bounded(s.token, config.session_token, SESSION_NAME_MAX);
        sessions++;
    }
    // Only the remembered active one carries the flag.
    for (int i = 0; i < sessions; i++) session[i].flags = i == active_argv_session ? 1 : 0;
    active_session = active_argv_session;
}

static void load_session_line(const char* line, size_t len) {
    siteuser_session& s = session[sessions];
    const char* p = line;
    const char* end = line + len;
    char flags[SESSION_NAME_MAX + 1];
    read_field(p, end, s.user_id, SESSION_NAME_MAX);
    read_field(p, end, flags, SESSION_NAME_MAX);
    read_field(p, end, s.token, SESSION_NAME_MAX);
    read_field(p, end, s.username, SESSION_NAME_MAX);
    read_field(p, end, s.extra, SESSION_EXTRA_MAX);
    long f = strtol(flags, nullptr, 10);
    s.flags = hvx_sat32(f);
    if (s.flags & 1) active_session = sessions;
    sessions++;
}

void load_sessions() {
    sessions = 0;
    memset(session, 0, sizeof session);
    if (command_line_sessions()) return load_command_line_sessions();
    active_session = -1;
    char path[HVX_PATH_MAX];
    if (!krio_prefix_with_appdata_path(SESSIONS_FILE_NAME, path, sizeof path)) return;
    FILE* f = fopen(path, "rbe");
    if (!f) return;
    char line[SESSION_LINE_MAX + 1];
    while (sessions < MAX_SESSIONS && fgets(line, sizeof line, f)) {
        size_t len = strlen(line);
        // The rest of an over-long line is dropped, not read as a line of its own.
        if (len == SESSION_LINE_MAX && line[len - 1] != '\n') {
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        }
        if (len < SESSION_LINE_MIN || len > SESSION_LINE_KEEP) continue;
        load_session_line(line, len);
    }
    fclose(f);
}

int save_sessions() {
    if (command_line_sessions()) {
        active_argv_session = -1;
        for (int i = 0; i < sessions; i++)
            if (session[i].flags & 1) active_argv_session = i;
        return 0;
    }
    std::string text;
    for (int i = 0; i < sessions; i++) {
        const siteuser_session& s = session[i];
        text += std::string(s.user_id) + "|" + std::to_string(s.flags) + "|" + s.token + "|" + s.username + "|" +
                s.extra + "|\n";
    }
    char path[HVX_PATH_MAX];
    if (!krio_prefix_with_appdata_path(SESSIONS_FILE_NAME, path, sizeof path)) return 0;
    // It holds the users' session tokens: for the owner's eyes only.
    return os_write_file_atomic(path, text.data(), text.size(), 0600);
}

static int session_index(const char* user_id) {
    for (int i = 0; i < sessions; i++)
        if (strcmp(session[i].user_id, user_id) == 0) return i;
    return -1;
}

siteuser_session* get_session_by_user_id(const char* user_id) {
    if (!user_id) return nullptr;
    int i = session_index(user_id);
    return i < 0 ? nullptr : &session[i];
}

int add_or_modify_session(const char* user_id, int32_t flags, const char* token, const char* username,
                          const char* extra) {
    if (!user_id || !storable(user_id) || !storable(token) || !storable(username) || !storable(extra)) return 2;
    char id[SESSION_NAME_MAX + 1];
    copy_bounded(id, user_id, SESSION_NAME_MAX);
    int i = session_index(id);
    if (i < 0) {
        if (sessions >= MAX_SESSIONS) return 1;
        if (!username || !token || flags == -1) return 2;
        i = sessions++;
        memset(&session[i], 0, sizeof session[i]);
        copy_bounded(session[i].user_id, id, SESSION_NAME_MAX);
    }
    siteuser_session& s = session[i];
    if (flags >= 0) {
        for (int k = 0; k < sessions; k++) session[k].flags &= ~1;
        s.flags = flags;
    }
    if (token) copy_bounded(s.token, token, SESSION_NAME_MAX);
    if (username) copy_bounded(s.username, username, SESSION_NAME_MAX);
    if (extra) copy_bounded(s.extra, extra, SESSION_EXTRA_MAX);
    recompute_active();
    // Reloaded from the file just written; when it could not be written (or
    // the sessions come from the command line) the change lives in memory
    // until the next reload.
    if (save_sessions()) load_sessions();
    siteuser_session* now = get_session_by_user_id(id);
    if (extra && now && siteuser_htable) {
        std::string text = std::string(UDAT_SEED_DATE) + "|" + now->username + "|" + now->extra + "|";
        htable_insert_str(siteuser_htable, id, text.c_str());
    }
    return 0;
}

void delete_session(const char* user_id) {
    if (!user_id) return;
    int kept = 0;
    for (int i = 0; i < sessions; i++)
        if (strcmp(session[i].user_id, user_id) != 0) {
            if (kept != i) session[kept] = session[i];
            kept++;
        }
    sessions = kept;
    recompute_active();
    if (save_sessions()) load_sessions();
}

int num_sessions() { return sessions; }

siteuser_session* get_session(int i) { return i >= 0 && i < sessions ? &session[i] : nullptr; }

siteuser_session* get_active_session() {
    if (!config.network_access || active_session < 0 || active_session >= sessions) return nullptr;
    return &session[active_session];
}

const char* siteuser_session_text(const siteuser_session* s, int field) {
    if (!s) return "";
    switch (field) {
    case SESSION_USER_ID: return s->user_id;
    case SESSION_ACCESS_TOKEN: return s->token;
    case SESSION_USER_NAME: return s->username;
    case SESSION_STORED_DATA: return s->extra;
    case SESSION_CONNECT_TOKEN: return s->https_endpoint;
    default: return "";
    }
}

int token_is_old(uint64_t time_ms, uint64_t seconds) {
    return time_ms == 0 || os_get_time() > time_ms + seconds * 1000 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Tokens and endpoint of the active session
// ---------------------------------------------------------------------------

static void post_to(int host, const char* path, const std::string& body, const char* header, gurl_callback cb) {
    const char* base = net_host_url_for_request(host);
    if (!base[0]) return;
    std::string url = std::string(base) + path;
    gurl_req(url.c_str(), cb, GURL_POST, body.data(), (int64_t)body.size(), header, (int64_t)strlen(header) + 1);
}

void update_session(siteuser_session* s) {
    if (!s) return;
    uint64_t now = os_get_time();
    if (token_is_old(s->tokens_received, SESSION_TOKEN_STALE_S) && token_is_old(s->tokens_requested, SESSION_RETRY_S)) {
        s->tokens_requested = now;
        post_to(NET_HOST_SITE, "/api/get_kat.php", std::string("token=") + s->token + "&user_id=" + s->user_id,
                "Content-Type: application/x-www-form-urlencoded", get_top_kat_cb);
    }
    if (s->tokens_received && token_is_old(s->endpoint_received, SESSION_ENDPOINT_STALE_S) &&
        token_is_old(s->endpoint_requested, SESSION_RETRY_S)) {
        s->endpoint_requested = now;
        post_to(NET_HOST_CONNECT, "/connect",
                std::string("{\"token\":\"") + s->vynnet_token + "\",\"channel\":\"vynnet/" + s->user_id + "\"}",
                "Content-Type: application/json", get_vynnet_endpoint_cb);
    }
}

// A reply line from `from`: up to its '\n' or the end, a trailing '\r' dropped.
static std::string_view reply_line(std::string_view r, size_t from) {
    if (from > r.size()) return {};
    size_t nl = r.find('\n', from);
    std::string_view line = r.substr(from, nl == std::string_view::npos ? std::string_view::npos : nl - from);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// A reply value that is stored: not empty, not longer than its field (never
// cut), and without control bytes, since tokens go into request lines.
static bool reply_value_ok(std::string_view v) {
    if (v.empty() || v.size() > SESSION_REPLY_MAX) return false;
    for (char c : v)
        if ((uint8_t)c < 32 || c == 127) return false;
    return true;
}

static void store_value(char* field, std::string_view v) {
    memcpy(field, v.data(), v.size());
    field[v.size()] = 0;
}

// The active session when a reply for it may be taken.
static siteuser_session* reply_session(const gurl_job* j, std::string_view* reply) {
    if (j->state.load(std::memory_order_acquire) != GURL_DONE || !config.network_access) return nullptr;
    siteuser_session* s = get_active_session();
    if (s) *reply = std::string_view((const char*)j->result.data, (size_t)j->result.length);
    return s;
}

void get_top_kat_cb(gurl_job* j) {
    std::string_view r;
    siteuser_session* s = reply_session(j, &r);
    if (!s || r.substr(0, 9) != "scoresub:" || r.find('\n') == std::string_view::npos) return;
    std::string_view channel = reply_line(r, 9);
    std::string_view second = reply_line(r, r.find('\n') + 1);
    std::string needle = std::string("/") + s->user_id + "/";
    if (channel.find(needle) == std::string_view::npos || second.size() <= 7) return;
    std::string_view vynnet = second.substr(7);  // after the label
    if (!reply_value_ok(channel) || !reply_value_ok(vynnet)) return;
    store_value(s->channel_token, channel);
    store_value(s->vynnet_token, vynnet);
    s->tokens_received = os_get_time();
}

void get_vynnet_endpoint_cb(gurl_job* j) {
    std::string_view r;
    siteuser_session* s = reply_session(j, &r);
    static constexpr std::string_view label = "https_endpoint:";
    if (!s || r.substr(0, label.size()) != label) return;
    if (r.find(std::string("/") + s->user_id + "/") == std::string_view::npos) return;
    std::string_view endpoint = reply_line(r, label.size());
    if (!reply_value_ok(endpoint)) return;
    store_value(s->https_endpoint, endpoint);
    s->endpoint_received = os_get_time();
}

// ---------------------------------------------------------------------------
// User data
// ---------------------------------------------------------------------------

void siteuser_init() {
    destroy_htable(siteuser_htable);
    destroy_htable(request_times);
    siteuser_htable = create_htable(UDAT_TABLE_CAPACITY);
    request_times = create_htable(UDAT_TABLE_CAPACITY);
    udat_batches.clear();
    load_sessions();
}

// An id that can go into the request as one list item.
static bool queueable_id(const char* id) {
    size_t n = strlen(id);
    if (n == 0 || n > SESSION_NAME_MAX) return false;
    for (const char* p = id; *p; p++)
        if ((uint8_t)*p <= 32 || (uint8_t)*p >= 127 || strchr("|,&#%?=", *p)) return false;
    return true;
}

static udat_batch& batch_of(int64_t program) {
    if (program <= LAST_SYSTEM_PROCESS_ID) program = UDAT_SYSTEM_BATCH;
    for (udat_batch& b : udat_batches)
        if (b.program == program) return b;
    return udat_batches.emplace_back(udat_batch{program, {}, 0, 0});
}

static void queue_user(const char* user_id, int64_t program) {
    if (!request_times || !queueable_id(user_id)) return;
    uint64_t now = os_get_time();
    int32_t len = 0;
    const char* t = htable_get(request_times, user_id, &len);
    if (t && len == (int32_t)sizeof now) {
        uint64_t when;
        memcpy(&when, t, sizeof when);
        if (now < when + UDAT_REQUEUE_MS) return;
    }
    udat_batch& b = batch_of(program);
    if (b.count >= UDAT_QUEUED_IDS_MAX) return;  // not recorded either: asked again, it is queued then
    b.ids.append(user_id).push_back(',');
    b.count++;
    htable_insert(request_times, user_id, &now, (int32_t)sizeof now);
}

const char* siteuser_get(const char* user_id, int64_t program) {
    if (!user_id || !siteuser_htable) return nullptr;
    int32_t len = 0;
    const char* v = htable_get(siteuser_htable, user_id, &len);
    if (v) return v;
    queue_user(user_id, program);
    return nullptr;
}

static bool still_pending(int32_t id) {
    const gurl_job* j = gurl_get_job(id);
    return j && j->state.load(std::memory_order_acquire) == GURL_PENDING;
}

// Sends the first ids of a batch whose last request has finished; they stay
// queued while its program's share is full or no slot is left.
static void send_batch(udat_batch& b, const char* site) {
    if (b.program != UDAT_SYSTEM_BATCH && gurl_share_refusal(0, b.program, false) != GURL_SHARE_FITS) return;
    size_t cut = 0;
    int32_t n = 0;
    for (size_t comma; (comma = b.ids.find(',', cut)) != std::string::npos && comma < UDAT_REQUEST_IDS_MAX;) {
        cut = comma + 1;
        n++;
    }
    // The list ends with ',': the last item is the placeholder "0".
    std::string url = std::string(site) + "/api/udat.php?user_ids=" + b.ids.substr(0, cut) + "0";
    int32_t id = gurl_get(url.c_str(), siteuser_receive_udat_cb);
    if (id < 0) return;
    gurl_set_owner(id, 0, b.program);  // the program's, not one process's: its processes share the batch
    b.job = id;
    b.ids.erase(0, cut);
    b.count -= n;
}

void siteuser_update() {
    if (udat_batches.empty()) return;
    const char* site = config.network_access ? net_host_url_for_request(NET_HOST_SITE) : "";
    for (size_t i = 0; i < udat_batches.size();) {
        udat_batch& b = udat_batches[i];
        if (b.job && !still_pending(b.job)) b.job = 0;
        if (!site[0]) {  // nowhere to ask: the ids are dropped
            b.ids.clear();
            b.count = 0;
        } else if (b.count > 0 && !b.job) {
            send_batch(b, site);
        }
        // Kept while its request is pending, so the program never has two.
        if (b.count == 0 && !b.job) udat_batches.erase(udat_batches.begin() + (ptrdiff_t)i);
        else i++;
    }
}

// Fields 2 and 3 of a cached text "date|username|icon|".
static void udat_fields(const char* text, char* name, char* icon) {
    const char* p = text;
    const char* end = text + strlen(text);
    char date[SESSION_NAME_MAX + 1];
    read_field(p, end, date, SESSION_NAME_MAX);
    read_field(p, end, name, SESSION_NAME_MAX);
    read_field(p, end, icon, SESSION_EXTRA_MAX);
}

void siteuser_receive_udat_cb(gurl_job* j) {
    gurl_mark_read(j->id);  // taken in here: it holds no share while it stands
    if (j->state.load(std::memory_order_acquire) != GURL_DONE || !siteuser_htable) return;
    const auto* r = (const uint8_t*)j->result.data;
    const size_t n = std::min((size_t)j->result.length, UDAT_REPLY_READ_MAX);
    int64_t kept = 0;
    for (size_t i = 0; i < n; i++) {
        size_t start = i;
        while (i < n && r[i] >= 32 && r[i] <= 127) i++;
        std::string line((const char*)r + start, i - start);
        size_t bar = line.find('|');
        if (line.size() < 8 || line.size() > UDAT_LINE_MAX || bar == std::string::npos || bar == 0 ||
            bar > SESSION_NAME_MAX)
            continue;
        std::string id = line.substr(0, bar);
        htable_insert(siteuser_htable, id.c_str(), line.data() + bar + 1, (int32_t)(line.size() - bar - 1));
        kept++;
    }
    // Read between frames: owed by the asking program (the system's costs none).
    add_program_debt(j->program, (int64_t)n / LANG_TEXT_BYTES_PER_CYCLE + kept * UDAT_LINE_CYCLES);
    for (int k = 0; k < sessions; k++) {
        const char* v = siteuser_get(session[k].user_id, UDAT_SYSTEM_BATCH);
        if (v) udat_fields(v, session[k].username, session[k].extra);
    }
}

// ---------------------------------------------------------------------------
// Lua calls
// ---------------------------------------------------------------------------

// A string argument copied out: 1, or 0 for any other value, or -1 for one
// holding a NUL (which no stored field can keep), refused before the copy.
static int string_arg(lua_State* L, int index, std::string* out) {
    if (lua_type(L, index) != LUA_TSTRING) return 0;
    return hvx_text_arg_without_nul(L, index, out) ? 1 : -1;
}

int lua54__modify_user_session(lua_State* L) {
    std::string id, token, name, extra;
    if (string_arg(L, 1, &id) != 1) return 0;
    int64_t flags = hvx_intp(L, 2, 0);
    int has_token = string_arg(L, 3, &token), has_name = string_arg(L, 4, &name), has_extra = string_arg(L, 5, &extra);
    if (has_token < 0 || has_name < 0 || has_extra < 0) return 0;
    if (flags == -2) {
        delete_session(id.c_str());
        return 0;
    }
    int32_t f = hvx_sat32(flags);
    int r = add_or_modify_session(id.c_str(), f, has_token ? token.c_str() : nullptr, has_name ? name.c_str() : nullptr,
                                  has_extra ? extra.c_str() : nullptr);
    if (r != 1) return 0;
    lua_pushstring(L, TOO_MANY_ACCOUNTS);
    return 1;
}

int lua54__fetch_udat(lua_State* L) {
    std::string id;
    int got = string_arg(L, 1, &id);
    if (!got) return 0;
    spend_cpu(FETCH_UDAT_COST);
    if (got < 0) return 0;
    char name[SESSION_NAME_MAX + 1] = "", icon[SESSION_EXTRA_MAX + 1] = "";
    if (const char* v = siteuser_get(id.c_str(), cproc ? cproc->program_id : UDAT_SYSTEM_BATCH)) {
        udat_fields(v, name, icon);
    } else if (const siteuser_session* s = get_session_by_user_id(id.c_str())) {
        copy_bounded(name, s->username, SESSION_NAME_MAX);
        copy_bounded(icon, s->extra, SESSION_EXTRA_MAX);
    } else {
        return 0;
    }
    // Everything is copied: the table's allocations may run code that changes the sessions.
    lua_createtable(L, 0, 3);
    lua_pushlstring(L, id.data(), id.size());
    lua_setfield(L, -2, "user_id");
    lua_pushstring(L, name);
    lua_setfield(L, -2, "username");
    lua_pushstring(L, icon);
    lua_setfield(L, -2, "icon_b64");
    return 1;
}
