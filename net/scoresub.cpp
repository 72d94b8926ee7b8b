// Score channels: up to 16 small tables of the best score per user, one per
// cartridge and channel name. A channel connects through the connect
// endpoint for its own token and endpoint, then posts the one queued score
// and polls for new items, each at most once a second, and merges every
// reply best first. Callbacks find their channel again by name: a channel
// evicted while its request was out is made anew by the reply.
#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "core/core.h"

struct scoresub_item {
    char* key;
    double score;
    uint64_t ts;
    uint8_t* content;  // NUL after the bytes
    uint32_t content_len;
};

struct scoresub {
    char name[SCORESUB_NAME_MAX + 1];
    int32_t item_count;
    scoresub_item* items;
    int32_t item_capacity;
    int32_t outgoing_count;
    scoresub_item outgoing;
    int32_t connect_requested;
    uint64_t last_connect_request;
    int32_t poll_requested;
    uint64_t last_poll;
    uint64_t last_post;
    uint64_t last_ts;
    char user_id[SCORESUB_FIELD_MAX + 1];
    char token[SCORESUB_FIELD_MAX + 1];
    char endpoint[SCORESUB_FIELD_MAX + 1];
    int32_t received;
    int32_t shown;
    uint64_t references[SCORESUB_REFERENCES];
    // Kept past the end of its last process for its queued score; it goes
    // after the reply to that post unless a process reads it again.
    int32_t orphaned;
};

namespace {

scoresub* subptr[MAX_SCORESUBS];
int scoresubs = 0;

// The checksum's fixed factors; the channel endpoint checks the same.
constexpr uint32_t CHECK_A = 31;
constexpr uint32_t CHECK_B = 7;
constexpr uint32_t CHECK_K_START = 3;
constexpr uint32_t CHECK_K_STEP = 2;
constexpr uint32_t CHECK_XOR = 0x5EB1A37C;

// A copy of n bytes with a NUL after them, from the platform allocator.
uint8_t* krio_copy(const void* src, size_t n) {
    if (n >= KRIO_MAX_ALLOC) return nullptr;
    auto* d = (uint8_t*)krio_malloc((uint32_t)n + 1);
    if (!d) return nullptr;
    if (n) std::memcpy(d, src, n);
    d[n] = 0;
    return d;
}

void free_item(scoresub_item& it) {
    krio_free(it.key);
    krio_free(it.content);
    it = scoresub_item{};
}

// An item owning copies of key and content; false when they cannot be made.
bool make_item(scoresub_item* it, const char* key, double score, const uint8_t* content, size_t len, uint64_t ts) {
    if (len > UINT32_MAX - 1) return false;
    it->key = (char*)krio_copy(key, std::strlen(key));
    it->content = krio_copy(content ? content : (const uint8_t*)"", content ? len : 0);
    it->content_len = content ? (uint32_t)len : 0;
    it->score = score;
    it->ts = ts;
    if (it->key && it->content) return true;
    free_item(*it);
    return false;
}

void destroy_sub(int i) {
    scoresub* s = subptr[i];
    for (int k = 0; k < s->item_count; k++) free_item(s->items[k]);
    krio_free(s->items);
    free_item(s->outgoing);
    krio_free(s);
    std::memmove(&subptr[i], &subptr[i + 1], sizeof(subptr[0]) * (size_t)(scoresubs - i - 1));
    scoresubs--;
}

int sub_index(const scoresub* s) {
    for (int i = 0; i < scoresubs; i++)
        if (subptr[i] == s) return i;
    return -1;
}

bool has_references(const scoresub* s) {
    for (uint64_t r : s->references)
        if (r) return true;
    return false;
}

scoresub* find_sub(const char* name) {
    for (int i = 0; i < scoresubs; i++)
        if (std::strcmp(subptr[i]->name, name) == 0) return subptr[i];
    return nullptr;
}

scoresub* create_sub(const char* name) {
    auto* s = (scoresub*)krio_malloc(sizeof(scoresub));
    if (!s) return nullptr;
    if (scoresubs >= MAX_SCORESUBS) destroy_sub(0);
    std::memset(s, 0, sizeof *s);
    snprintf(s->name, sizeof s->name, "%s", name);
    s->items = (scoresub_item*)krio_malloc(sizeof(scoresub_item) * SCORESUB_ITEMS_START);
    s->item_capacity = s->items ? SCORESUB_ITEMS_START : 0;
    subptr[scoresubs++] = s;
    return s;
}

// Bytes a cartridge name may not hold: they would break the JSON text or the
// URL path the name travels in, or decode to another name.
bool cart_name_ok(const char* s) {
    for (; *s; s++)
        if ((uint8_t)*s < 32 || std::strchr("\"\\%#?", *s)) return false;
    return true;
}

// A line of a reply after label, without its '\n' or a '\r' before it; none
// when the label is absent or the value holds a control byte.
bool reply_value(std::string_view reply, std::string_view label, std::string* out) {
    size_t at = reply.find(label);
    if (at == std::string_view::npos) return false;
    std::string_view v = reply.substr(at + label.size());
    v = v.substr(0, v.find('\n'));
    if (!v.empty() && v.back() == '\r') v.remove_suffix(1);
    v = v.substr(0, SCORESUB_FIELD_MAX);
    for (char c : v)
        if ((uint8_t)c < 32) return false;
    out->assign(v);
    return true;
}

void set_field(char* field, const std::string& v) {
    std::memcpy(field, v.data(), v.size());
    field[v.size()] = 0;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list ap, ap2;
    va_start(ap, fmt);
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string out(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0) vsnprintf(out.data(), (size_t)n + 1, fmt, ap2);
    va_end(ap2);
    va_end(ap);
    return out;
}

// Header lines go to the job each ended by a NUL.
void post(const std::string& url, const std::string& body, const std::string& headers, gurl_callback cb) {
    gurl_req(url.c_str(), cb, GURL_POST, body.data(), (int64_t)body.size(), headers.data(), (int64_t)headers.size());
}

// 0 when the channel has its endpoint and token for the active user.
int update_sub_kat_and_endpoints(scoresub* s) {
    siteuser_session* session = get_active_session();
    if (!session) return 1;
    if (s->endpoint[0] && std::strcmp(s->user_id, session->user_id) == 0) return 0;
    uint64_t now = os_get_time();
    if (s->connect_requested && now < s->last_connect_request + SCORESUB_CONNECT_RETRY_MS) return 1;
    if (token_is_old(session->tokens_received, SCORESUB_TOKEN_STALE_S)) return 1;
    s->connect_requested = 1;
    s->last_connect_request = now;
    const char* base = net_host_url_for_request(NET_HOST_CONNECT);
    if (!base[0]) return 1;
    post(std::string(base) + "/connect",
         format("{\"token\":\"%s\",\"channel\":\"scoresub/%s\"}", session->channel_token, s->name),
         std::string("Content-Type: application/json") + '\0', get_channel_kat_cb);
    return 1;
}

std::string hex_of(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

void update_scoresub(scoresub* s) {
    if (!get_active_session() || update_sub_kat_and_endpoints(s) != 0) return;
    uint64_t now = os_get_time();
    const std::string url = std::string(s->endpoint) + SCORESUB_PATH + s->name;
    if (s->outgoing_count) {
        if (now <= s->last_post + SCORESUB_SPACING_MS) return;
        scoresub_item& it = s->outgoing;
        if (std::strcmp(it.key, s->user_id) == 0) {
            uint32_t h = scoresub_checksum(it.score, s->name, it.key, it.content, it.content_len);
            char head[16];
            snprintf(head, sizeof head, "%02x%08x", SCORESUB_CONTENT_OFFSET, h);
            std::string content_hex = hex_of((const uint8_t*)head, 10) + hex_of(it.content, it.content_len);
            post(url,
                 format("{\"since_ts40_hex\":\"%llx\",\"score\":%f,\"content_hex\":\"%s\"}",
                        (unsigned long long)(s->last_ts + 1), it.score, content_hex.c_str()),
                 std::string("Authorization: ") + s->token + '\0', post_score_cb);
            s->last_post = now;
            s->last_poll = now + SCORESUB_POLL_AFTER_POST_MS;
        } else {
            printf("** item key doesn't match sub->user_id: %s %s\n", it.key, s->user_id);
            fflush(stdout);
        }
        free_item(it);
        s->outgoing_count = 0;
    } else if (s->poll_requested && now > s->last_poll + SCORESUB_SPACING_MS) {
        post(url, format("{\"since_ts40_hex\":\"%llx\"}", (unsigned long long)(s->last_ts + 1)),
             std::string("Content-Type: application/json") + '\0' + "Authorization: " + s->token + '\0',
             post_score_cb);
        s->poll_requested = 0;
        s->last_poll = now;
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The text after the last "/channel/scoresub/" of a URL with its %xx escapes
// decoded: the channel's full name as it was sent.
std::string channel_of_url(std::string_view url) {
    size_t at = url.rfind(SCORESUB_PATH);
    if (at == std::string_view::npos) return {};
    std::string_view v = url.substr(at + std::strlen(SCORESUB_PATH));
    std::string out;
    for (size_t i = 0; i < v.size(); i++) {
        int hi, lo;
        if (v[i] == '%' && i + 2 < v.size() && (hi = hex_digit(v[i + 1])) >= 0 && (lo = hex_digit(v[i + 2])) >= 0) {
            out += (char)(hi * 16 + lo);
            i += 2;
        } else {
            out += v[i];
        }
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Pure parts
// ---------------------------------------------------------------------------

std::vector<score_record> scoresub_parse_reply(const uint8_t* data, size_t len) {
    std::vector<score_record> out;
    size_t at = 0;
    while (data && len - at >= SCORE_RECORD_MIN && out.size() < SCORE_RECORDS_MAX) {
        // The digits lie inside what remains; a NUL among them reads as the end.
        const char* p = (const char*)data + at;
        size_t L = read_u32_from_hex_str(&p);
        if (L < SCORE_RECORD_MIN || L > len - at) break;
        const uint8_t* r = data + at;
        at += L;
        const uint8_t* last = r + L - 1;
        if (*last != '\n') continue;
        const uint8_t* key = r + 26;
        auto* semi = (const uint8_t*)std::memchr(key, ';', (size_t)(last - key));
        if (!semi) continue;
        auto* bar = (const uint8_t*)std::memchr(semi + 1, '|', (size_t)(last - semi - 1));
        if (!bar) continue;
        size_t key_len = (size_t)(semi - key);
        bool key_ok = key_len > 0 && key_len <= SCORESUB_FIELD_MAX;
        for (size_t i = 0; key_ok && i < key_len; i++) key_ok = key[i] >= 32;
        double score = 0;
        auto [end, ec] = std::from_chars((const char*)semi + 1, (const char*)bar, score);
        if (!key_ok || ec != std::errc() || end != (const char*)bar || !std::isfinite(score)) continue;
        const char* t = (const char*)r + 9;
        uint64_t ts = (uint64_t)read_i64_from_hex_str(&t);
        out.push_back({(const char*)key, key_len, score, ts, bar + 1,
                       std::min((size_t)(last - bar - 1), SCORE_CONTENT_MAX)});
    }
    return out;
}

uint32_t scoresub_checksum(double score, const char* name, const char* key, const uint8_t* content,
                           size_t content_len) {
    uint32_t h = (uint32_t)(uint64_t)hvx_double_to_i64(score, 0);
    auto mix = [&h](const uint8_t* s, size_t n) {
        uint32_t k = CHECK_K_START;
        for (size_t i = 0; i < n; i++, k += CHECK_K_STEP) h = ((s[i] * CHECK_A + CHECK_B) * k * h) ^ CHECK_XOR;
    };
    mix((const uint8_t*)name, std::strlen(name));
    mix((const uint8_t*)key, std::strlen(key));
    mix(content, content_len);
    return h;
}

void scoresub_cart_name(const Process* p, char* out, size_t out_size) {
    static constexpr const char* bbs = "bbs://";
    if (std::strncmp(p->path, bbs, 6) == 0) {
        const char* s = p->path + 6;
        snprintf(out, out_size, "%.*s", (int)std::strcspn(s, "-."), s);
    } else if (p->cart_id[0] == '_') {
        snprintf(out, out_size, "%s", strip_lid_version(p->cart_id));
    } else if (p->cart_id[0]) {
        snprintf(out, out_size, "_%s", strip_lid_version(p->cart_id));
    } else {
        snprintf(out, out_size, "%s", SCORESUB_DEV_CART);
    }
}

// ---------------------------------------------------------------------------
// Channels
// ---------------------------------------------------------------------------

scoresub* get_scoresub(const char* cartridge, const char* channel, const char* full_name) {
    char name[SCORESUB_NAME_MAX + 1];
    if (full_name) snprintf(name, sizeof name, "%s", full_name);
    else if (cartridge && channel) snprintf(name, sizeof name, "%s-%s", cartridge, channel);
    else return nullptr;
    scoresub* s = find_sub(name);
    return s ? s : create_sub(name);
}

int scoresub_post(const char* cartridge, const char* channel, double score, const uint8_t* content, size_t len) {
    scoresub* s = get_scoresub(cartridge, channel, nullptr);
    if (!s) return 1;
    siteuser_session* session = get_active_session();
    if (!session) return 2;
    free_item(s->outgoing);
    s->outgoing_count = make_item(&s->outgoing, session->user_id, score, content, len, 0) ? 1 : 0;
    return 0;
}

void scoresub_fetch(const char* cartridge, const char* channel) {
    if (scoresub* s = get_scoresub(cartridge, channel, nullptr)) s->poll_requested = 1;
}

// Whether an item of this score and ts goes before `it` in the order.
static bool goes_before(double score, uint64_t ts, const scoresub_item& it) {
    return it.score < score || (it.score == score && ts < it.ts);
}

void channel_add(scoresub* s, const char* key, double score, const uint8_t* content, size_t len, uint64_t ts) {
    if (!s || !key || !std::isfinite(score)) return;
    // A full channel keeps its best: an item that would go after its last is
    // not kept (any item of the same key is then better already).
    if (s->item_count >= SCORESUB_ITEMS_MAX && !goes_before(score, ts, s->items[s->item_count - 1])) return;
    int existing = -1;
    for (int i = 0; i < s->item_count && existing < 0; i++)
        if (std::strcmp(s->items[i].key, key) == 0) existing = i;
    if (existing >= 0 && s->items[existing].score >= score) return;
    // The existing item scores lower, so its place is at or after the new one's.
    int place = s->item_count;
    for (int i = 0; i < s->item_count; i++)
        if (goes_before(score, ts, s->items[i])) {
            place = i;
            break;
        }
    scoresub_item it;
    if (!make_item(&it, key, score, content, len, ts)) return;
    if (existing >= 0) {
        free_item(s->items[existing]);
        std::memmove(&s->items[existing], &s->items[existing + 1],
                     sizeof(scoresub_item) * (size_t)(s->item_count - existing - 1));
        s->item_count--;
    } else if (s->item_count >= SCORESUB_ITEMS_MAX) {
        free_item(s->items[--s->item_count]);  // the new item goes before it
    } else if (s->item_count >= s->item_capacity) {
        int64_t cap = std::max<int64_t>((int64_t)s->item_capacity * 2, (int64_t)s->item_count + 1);
        int64_t bytes = cap * (int64_t)sizeof(scoresub_item);
        void* grown = bytes < KRIO_MAX_ALLOC ? krio_realloc(s->items, (uint32_t)bytes) : nullptr;
        if (!grown) {
            free_item(it);
            return;
        }
        s->items = (scoresub_item*)grown;
        s->item_capacity = (int32_t)cap;
    }
    std::memmove(&s->items[place + 1], &s->items[place], sizeof(scoresub_item) * (size_t)(s->item_count - place));
    s->items[place] = it;
    s->item_count++;
    s->last_ts = ts;
}

void add_scoresub_reference(scoresub* s, int64_t pid) {
    if (!s || pid <= 0) return;
    s->orphaned = 0;
    for (uint64_t r : s->references)
        if (r == (uint64_t)pid) return;
    for (uint64_t& r : s->references)
        if (!r) {
            r = (uint64_t)pid;
            return;
        }
}

void remove_scoresub_references(int64_t pid) {
    for (int i = scoresubs - 1; i >= 0; i--) {
        scoresub* s = subptr[i];
        for (uint64_t& r : s->references)
            if (r == (uint64_t)pid) r = 0;
        if (has_references(s)) continue;
        // A score still waiting to go out outlives the process that posted it.
        if (s->outgoing_count) s->orphaned = 1;
        else destroy_sub(i);
    }
}

void scoresub_update() {
    for (int i = 0; i < scoresubs; i++) update_scoresub(subptr[i]);
}

scoresub* get_scoresub_by_index(int i) { return i >= 0 && i < scoresubs ? subptr[i] : nullptr; }
int num_scoresubs() { return scoresubs; }
const char* scoresub_name(const scoresub* s) { return s ? s->name : ""; }
int scoresub_item_count(const scoresub* s) { return s ? s->item_count : 0; }
const char* scoresub_item_at(const scoresub* s, int i, double* score, uint64_t* ts) {
    if (!s || i < 0 || i >= s->item_count) return nullptr;
    if (score) *score = s->items[i].score;
    if (ts) *ts = s->items[i].ts;
    return s->items[i].key;
}

// ---------------------------------------------------------------------------
// Replies
// ---------------------------------------------------------------------------

void get_channel_kat_cb(gurl_job* j) {
    if (j->state.load(std::memory_order_acquire) != GURL_DONE || !j->body.data) return;
    std::string_view body((const char*)j->body.data, (size_t)j->body.length);
    static constexpr std::string_view label = "\"channel\":\"scoresub/";
    size_t at = body.find(label);
    if (at == std::string_view::npos) return;
    std::string_view name = body.substr(at + label.size());
    name = name.substr(0, std::min(name.find('"'), SCORESUB_FIELD_MAX));
    scoresub* s = get_scoresub(nullptr, nullptr, std::string(name).c_str());
    siteuser_session* session = get_active_session();
    if (!s || !session || !j->result.data) return;
    std::string_view reply((const char*)j->result.data, (size_t)j->result.length);
    if (reply.find(std::string("/") + session->user_id + "/") == std::string_view::npos) return;
    std::string endpoint, token;
    if (!reply_value(reply, "https_endpoint:", &endpoint)) return;
    set_field(s->endpoint, endpoint);
    if (reply_value(reply, "new_token:", &token)) set_field(s->token, token);
    snprintf(s->user_id, sizeof s->user_id, "%s", session->user_id);
}

void post_score_cb(gurl_job* j) {
    if (j->state.load(std::memory_order_acquire) != GURL_DONE || !j->url.data || !j->url.length) return;
    std::string name = channel_of_url(std::string_view((const char*)j->url.data, (size_t)j->url.length));
    if (name.empty() || name.size() != std::strlen(name.c_str())) return;
    scoresub* s = get_scoresub(nullptr, nullptr, name.c_str());
    if (!s) return;
    s->received = 1;
    if (j->result.data)
        for (const score_record& r : scoresub_parse_reply(j->result.data, (size_t)j->result.length)) {
            std::string key(r.key, r.key_len);
            channel_add(s, key.c_str(), r.score, r.content, r.content_len, r.ts);
        }
    if (s->orphaned && !has_references(s) && !s->outgoing_count) destroy_sub(sub_index(s));
}

// ---------------------------------------------------------------------------
// The call
// ---------------------------------------------------------------------------

int lua54_scoresub(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING || !cproc) return 0;
    size_t n = 0;
    const char* given = lua_tolstring(L, 1, &n);
    if (n > SCORESUB_CHANNEL_MAX) return 0;
    char channel[SCORESUB_CHANNEL_MAX + 1];
    for (size_t i = 0; i < n; i++) {
        char c = given[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return 0;
        channel[i] = c;
    }
    channel[n] = 0;
    char cart[PROC_PATH_MAX + 1];
    scoresub_cart_name(cproc, cart, sizeof cart);
    if (!cart_name_ok(cart)) return 0;
    const int64_t pid = cproc->id;

    // A score that is no finite number is not posted: the call reads.
    double score = lua_gettop(L) > 1 ? lua_tonumber(L, 2) : 0;
    if (lua_gettop(L) > 1 && std::isfinite(score)) {
        size_t len = 0;
        int t = lua_type(L, 3);
        const char* extra = t == LUA_TSTRING || t == LUA_TNUMBER ? lua_tolstring(L, 3, &len) : nullptr;
        scoresub_post(cart, channel, score, (const uint8_t*)extra, std::min(len, SCORESUB_EXTRA_MAX));
        spend_cpu(SCORESUB_COST);
    } else {
        scoresub_fetch(cart, channel);
    }
    scoresub* s = get_scoresub(cart, channel, nullptr);
    if (!s) return 0;
    add_scoresub_reference(s, pid);

    // What the script is given is copied out first: building its table may
    // run finalizers, which may post, read or evict channels.
    struct shown_item {
        std::string key, extra;
        double score;
        bool has_extra;
    };
    std::vector<shown_item> shown;
    bool complete = true;
    for (int i = 0; i < s->item_count && i < SCORESUB_SHOWN_MAX; i++) {
        const scoresub_item& it = s->items[i];
        if (!siteuser_get(it.key, UDAT_SYSTEM_BATCH)) {
            complete = false;
            continue;
        }
        shown_item si{it.key, {}, it.score, false};
        if (it.content_len > 1) {
            const char* p = (const char*)it.content;
            uint32_t off = read_u8_from_hex_str(&p);
            if (off < it.content_len) {
                si.has_extra = true;
                si.extra.assign((const char*)it.content + off, it.content_len - off);
            }
        }
        shown.push_back(std::move(si));
        spend_cpu(SCORESUB_COST);
    }
    if (s->received && complete) s->shown = 1;
    const bool give = s->shown != 0;
    if (!give) {
        lua_createtable(L, 0, 1);
        lua_pushboolean(L, 1);
        lua_setfield(L, -2, "connecting");
        return 1;
    }
    lua_createtable(L, (int)shown.size(), 0);
    for (size_t i = 0; i < shown.size(); i++) {
        lua_createtable(L, 0, 3);
        lua_pushlstring(L, shown[i].key.data(), shown[i].key.size());
        lua_setfield(L, -2, "user_id");
        lua_pushnumber(L, shown[i].score);
        lua_setfield(L, -2, "score");
        if (shown[i].has_extra) {
            lua_pushlstring(L, shown[i].extra.data(), shown[i].extra.size());
            lua_setfield(L, -2, "extra");
        }
        lua_rawseti(L, -2, (lua_Integer)i + 1);
    }
    return 1;
}
