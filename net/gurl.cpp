// HTTP jobs: every outgoing request runs as a job in a fixed table, on a
// worker thread of its own with one blocking curl handle; the main thread
// picks up finished jobs once a frame, runs their callbacks, and reaps them
// two seconds later, or sooner when their result was read and their slot is
// needed. Also the service addresses the online calls use.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "net/net.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// Service addresses
// ---------------------------------------------------------------------------

static char host_url[NET_HOSTS][NET_HOST_URL_MAX + 1];
static bool host_unset_logged[NET_HOSTS];
static const char* const host_variable[NET_HOSTS] = {"HALVORAN_SITE_URL", "HALVORAN_CART_URL",
                                                     "HALVORAN_CONNECT_URL"};

static bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool net_host_url_is_valid(const char* url) {
    if (!url) return false;
    size_t n = strlen(url);
    if (n > NET_HOST_URL_MAX) return false;
    const char* p;
    if (strncmp(url, "http://", 7) == 0) p = url + 7;
    else if (strncmp(url, "https://", 8) == 0) p = url + 8;
    else return false;
    const char* host = p;
    while (host_char(*p)) p++;
    if (p == host) return false;
    if (*p == ':') {
        const char* port = ++p;
        while (*p >= '0' && *p <= '9') p++;
        if (p == port || p - port > 5 || atoi(port) > 65535) return false;
    }
    return *p == 0 || (*p == '/' && p[1] == 0);
}

int net_set_host_url(int kind, const char* url) {
    if (kind < 0 || kind >= NET_HOSTS) return 0;
    host_url[kind][0] = 0;
    if (!net_host_url_is_valid(url)) return 0;
    snprintf(host_url[kind], sizeof host_url[kind], "%s", url);
    size_t n = strlen(host_url[kind]);
    if (host_url[kind][n - 1] == '/') host_url[kind][n - 1] = 0;
    return 1;
}

void net_hosts_from_environment() {
    for (int k = 0; k < NET_HOSTS; k++) {
        const char* v = getenv(host_variable[k]);
        if (v && v[0] && !net_set_host_url(k, v))
            krio_debugf("network: %s is not an http(s)://host[:port] address; ignored\n", host_variable[k]);
        else if (!v || !v[0]) host_url[k][0] = 0;
    }
}

const char* net_host_url(int kind) { return kind >= 0 && kind < NET_HOSTS ? host_url[kind] : ""; }

const char* net_host_url_for_request(int kind) {
    const char* u = net_host_url(kind);
    if (!u[0] && kind >= 0 && kind < NET_HOSTS && !host_unset_logged[kind]) {
        host_unset_logged[kind] = true;
        krio_debugf("network: no address for this service (set %s)\n", host_variable[kind]);
    }
    return u;
}

// ---------------------------------------------------------------------------
// What a request may carry
// ---------------------------------------------------------------------------

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether a segment of the path is "." or "..", as a server that decodes
// percent-escapes, and takes a backslash for a slash, would read it.
static bool has_dot_segment(std::string_view path) {
    size_t len = 0;
    bool dots = true;
    for (size_t i = 0; i <= path.size();) {
        int c = i < path.size() ? (uint8_t)path[i] : '/';
        size_t step = 1;
        if (c == '%' && path.size() - i > 2 && hex_digit(path[i + 1]) >= 0 && hex_digit(path[i + 2]) >= 0) {
            c = hex_digit(path[i + 1]) * 16 + hex_digit(path[i + 2]);
            step = 3;
        }
        if (c == '/' || c == '\\') {
            if (dots && (len == 1 || len == 2)) return true;
            len = 0;
            dots = true;
        } else {
            len++;
            dots = dots && c == '.';
        }
        i += step;
    }
    return false;
}

bool url_under_endpoint(std::string_view url, std::string_view endpoint) {
    // The endpoint names its host plainly: without one "https://" would begin
    // every URL, and a user part or a backslash reads differently to different parsers.
    size_t scheme_end = endpoint.find("://");
    if (scheme_end == std::string_view::npos) return false;
    size_t host_end = std::min(endpoint.find_first_of("/?#", scheme_end + 3), endpoint.size());
    if (!net_host_url_is_valid(std::string(endpoint.substr(0, host_end)).c_str())) return false;
    size_t n = endpoint.size();
    if (!url.starts_with(endpoint) || url.find('\0') != std::string_view::npos) return false;
    // Not merely sharing its first characters: another host, or a longer
    // host name or path segment that begins the same.
    if (url.size() > n && endpoint[n - 1] != '/' && url[n] != '/' && url[n] != '?' && url[n] != '#') return false;
    size_t path_end = std::min(url.find_first_of("?#", host_end), url.size());
    return !has_dot_segment(url.substr(host_end, path_end - host_end));
}

bool header_line_is_valid(std::string_view line) {
    for (char c : line)
        if (((uint8_t)c < 32 && c != '\t') || c == 127) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Buffers
// ---------------------------------------------------------------------------

// Largest capacity a buffer may grow to (the reply cap is checked by callers).
static constexpr int64_t GURL_BUFFER_LIMIT = 1ll << 40;

static int gurl_buffer_reserve(gurl_buffer* b, int64_t need) {
    if (b->data && need <= b->capacity) return 1;
    if (need > GURL_BUFFER_LIMIT) return 0;
    int64_t cap = b->capacity > GURL_BUFFER_MIN ? b->capacity : GURL_BUFFER_MIN;
    while (cap < need) cap *= 2;
    auto* d = (uint8_t*)realloc(b->data, (size_t)cap);
    if (!d) return 0;
    int64_t old = b->data ? b->capacity : 0;
    memset(d + old, 0, (size_t)(cap - old));
    b->data = d;
    b->capacity = cap;
    return 1;
}

static int gurl_buffer_create(gurl_buffer* b, int64_t capacity) {
    *b = gurl_buffer{};
    return gurl_buffer_reserve(b, capacity);
}

int gurl_buffer_append(gurl_buffer* b, const void* data, int64_t n) {
    if (!b || n < 0 || n > GURL_BUFFER_LIMIT || b->length > GURL_BUFFER_LIMIT - n) return 0;
    if (!gurl_buffer_reserve(b, b->length + n + 5)) return 0;
    if (n) memcpy(b->data + b->length, data, (size_t)n);
    b->length += n;
    b->data[b->length] = 0;
    return 1;
}

void gurl_buffer_free(gurl_buffer* b) {
    if (!b) return;
    free(b->data);
    *b = gurl_buffer{};
}

static bool url_char_kept(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           strchr("_#%&-./:=?", c) != nullptr;
}

void gurl_escape_url(const char* url, gurl_buffer* out) {
    static const char hex[] = "0123456789abcdef";
    for (const uint8_t* p = (const uint8_t*)(url ? url : ""); *p; p++) {
        if (url_char_kept(*p)) {
            gurl_buffer_append(out, p, 1);
        } else {
            char e[3] = {'%', hex[*p >> 4], hex[*p & 15]};
            gurl_buffer_append(out, e, 3);
        }
    }
    if (!out->data) gurl_buffer_reserve(out, GURL_BUFFER_MIN);  // an empty URL is still a text
}

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

// Plain static storage (trivially destructible): workers that outlive the
// program's exit never see it torn down.
static gurl_job gurl_jobs[GURL_JOBS];
static int32_t next_gurl_job_id = 1;
static std::atomic<uint64_t> gurl_tick{0};
static bool gurl_inited = false;
static int jobs_held;  // slots with an id: with none, an update only counts its tick
static int jobs_read;  // of those, the ones marked read
static uint64_t reads_marked;  // the last read order given
// The reply bytes of every job (the sum of their result lengths), counted
// before the workers keep them.
static std::atomic<int64_t> result_bytes_held{0};

static void release_result(gurl_job* j) {
    result_bytes_held.fetch_sub(j->result.length, std::memory_order_relaxed);
    gurl_buffer_free(&j->result);
}

static void clear_slot(gurl_job* j) {
    gurl_buffer_free(&j->url);
    release_result(j);
    gurl_buffer_free(&j->body);
    gurl_buffer_free(&j->headers);
    j->id = 0;
    j->thread = nullptr;
    j->state.store(GURL_FREE, std::memory_order_relaxed);
    j->finish_tick = 0;
    j->callback = nullptr;
    j->method = 0;
    j->completed.store(0, std::memory_order_relaxed);
    j->callback_ran = 0;
    j->fail_log = nullptr;
    j->status = 0;
    j->owner = 0;
    j->program = 0;
    j->read_order = 0;
    j->cancelled.store(0, std::memory_order_relaxed);
}

// A held slot let go: only once its completion was seen, so its worker has
// let go of it too.
static void release_slot(gurl_job* j) {
    os_destroy_thread(j->thread);
    if (j->read_order) jobs_read--;
    clear_slot(j);
    jobs_held--;
}

static void ensure_inited() {
    if (gurl_inited) return;
    gurl_inited = true;
    for (gurl_job& j : gurl_jobs) clear_slot(&j);
    jobs_held = 0;
    jobs_read = 0;
}

// Once, on the main thread, before the first worker makes a handle: not at
// start-up, since the TLS libraries' set-up keeps a few megabytes resident
// that a run without requests never needs. Never cleaned up, since detached
// workers may still be using it at exit.
static void ensure_curl_inited() {
    static bool done;
    if (done) return;
    done = true;
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

void gurl_init() {
    ensure_inited();
    // A peer that closes its end must not end the program.
    signal(SIGPIPE, SIG_IGN);
    net_hosts_from_environment();
}

uint64_t gurl_current_tick() { return gurl_tick.load(std::memory_order_relaxed); }

// The worker's last writes: nothing of the job is touched after `completed`.
static void finish_job(gurl_job* j, int32_t state, const char* log) {
    if (state != GURL_DONE) {
        // A failed reply's storage goes now, not when the job is reaped; an
        // empty text stands in its place.
        release_result(j);
        gurl_buffer_create(&j->result, GURL_BUFFER_MIN);
    }
    j->fail_log = log;
    uint64_t t = gurl_tick.load(std::memory_order_acquire);
    j->finish_tick = t ? t : 1;
    j->state.store(state, std::memory_order_release);
    j->completed.store(1, std::memory_order_release);
}

static size_t on_reply_bytes(char* data, size_t size, size_t count, void* userdata) {
    auto* result = (gurl_buffer*)userdata;
    size_t n = size * count;
    // Refusing the bytes makes curl end the transfer with an error: the job fails.
    if ((int64_t)n > GURL_RESULT_MAX - result->length) return 0;
    if (result_bytes_held.fetch_add((int64_t)n, std::memory_order_relaxed) + (int64_t)n > GURL_RESULTS_TOTAL_MAX ||
        !gurl_buffer_append(result, data, (int64_t)n)) {
        result_bytes_held.fetch_sub((int64_t)n, std::memory_order_relaxed);
        return 0;
    }
    return n;
}

static int on_progress(void* job, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return ((gurl_job*)job)->cancelled.load(std::memory_order_relaxed);
}

// A handle with the options every request shares. Only http and https, also
// for redirects: a script's URL must never read a host file.
static CURL* open_handle(gurl_job* j) {
    CURL* c = curl_easy_init();
    if (!c) return nullptr;
    curl_easy_setopt(c, CURLOPT_URL, (const char*)j->url.data);
    curl_easy_setopt(c, CURLOPT_USERAGENT, GURL_AGENT);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, GURL_MAX_REDIRECTS);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Without these a silent server would hold its slot for ever, and the
    // slot rule would then refuse every 256th request after it.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, GURL_CONNECT_TIMEOUT_S);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, GURL_LOW_SPEED_BYTES_S);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, GURL_LOW_SPEED_TIME_S);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, GURL_TOTAL_TIMEOUT_S);
    // Asked at least once a second, idle or not: how a cancel reaches the worker.
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, j);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_reply_bytes);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &j->result);
    return c;
}

// Runs the transfer, keeps the final status in the job and closes the
// handle; the status (0 when no response arrived).
static CURLcode perform(gurl_job* j, CURL* c, long* code) {
    CURLcode rc = curl_easy_perform(c);
    *code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, code);
    curl_easy_cleanup(c);
    j->status = *code > 0 && *code <= INT32_MAX ? (int32_t)*code : 0;
    return rc;
}

// A transfer that went through with an error status fails too: its body is
// the server's error page, not what was asked for.
static bool succeeded(CURLcode rc, long code) { return rc == CURLE_OK && code < GURL_STATUS_ERROR_MIN; }

static void gurl_get_worker_get(gurl_job* j) {
    CURL* c = open_handle(j);
    if (!c) return finish_job(j, GURL_FAILED, "gurl_get_worker failed: InternetHandle == 0\n");
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    long code;
    CURLcode rc = perform(j, c, &code);
    if (succeeded(rc, code)) return finish_job(j, GURL_DONE, nullptr);
    // No response at all is the address failing to open; a reply cut short
    // fails without a line.
    finish_job(j, GURL_FAILED, code == 0 ? "gurl_get_worker failed: UrlHandle == 0\n" : nullptr);
}

static bool header_named(const char* line, size_t n, const char* name) {
    size_t k = strlen(name);
    return n > k && strncasecmp(line, name, k) == 0 && (line[k] == ':' || line[k] == ';');
}

// The job's lines: the NUL-ended pieces of its headers (the buffer keeps a
// NUL after the last). A piece that is not one valid line is not sent: a line
// break in it would add header lines of its own to the request.
static bool append_job_headers(const gurl_job* j, curl_slist** list, bool* has_type, bool* has_expect) {
    const char* p = (const char*)j->headers.data;
    const char* end = p ? p + j->headers.length : p;
    while (p && p < end) {
        std::string_view line(p, strnlen(p, (size_t)(end - p)));
        p += line.size() + 1;
        if (line.empty() || !header_line_is_valid(line)) continue;
        curl_slist* l = curl_slist_append(*list, line.data());
        if (!l) return false;
        *list = l;
        *has_type |= header_named(line.data(), line.size(), "content-type");
        *has_expect |= header_named(line.data(), line.size(), "expect");
    }
    return true;
}

static void gurl_get_worker_post_or_put(gurl_job* j) {
    static const char* const request_failed = "gurl_get_worker_post_or_put failed: hRequest == 0\n";
    CURL* c = open_handle(j);
    if (!c) return finish_job(j, GURL_FAILED, request_failed);
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // direct, as the platform's own POST was
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    if (j->method != GURL_POST) curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)j->body.length);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, (const char*)j->body.data);
    curl_slist* list = nullptr;
    bool has_type = false, has_expect = false;
    bool ok = append_job_headers(j, &list, &has_type, &has_expect);
    // Only the job's lines go out: no form content type of curl's own, and
    // no 100-continue wait before a larger body.
    if (ok && !has_type) ok = (list = curl_slist_append(list, "Content-Type:")) != nullptr;
    if (ok && !has_expect) ok = (list = curl_slist_append(list, "Expect:")) != nullptr;
    if (!ok) {
        curl_slist_free_all(list);
        curl_easy_cleanup(c);
        return finish_job(j, GURL_FAILED, request_failed);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    long code;
    CURLcode rc = perform(j, c, &code);
    curl_slist_free_all(list);
    if (succeeded(rc, code)) return finish_job(j, GURL_DONE, nullptr);
    bool bad_request = code == 0 && (rc == CURLE_URL_MALFORMAT || rc == CURLE_UNSUPPORTED_PROTOCOL);
    finish_job(j, GURL_FAILED, bad_request ? request_failed : nullptr);
}

static int gurl_get_worker(void* data) {
    auto* j = (gurl_job*)data;
    if (j->method == GURL_POST || j->method == GURL_PUT) gurl_get_worker_post_or_put(j);
    else gurl_get_worker_get(j);
    return 0;
}

// The id after id: past the largest the count goes on at a multiple of the
// table size, so ids keep naming their slot in order and 0 is never one.
static int32_t id_after(int32_t id) { return id == INT32_MAX ? GURL_JOBS : id + 1; }

// The id of a new job: the next one from the counter whose slot is free, so
// one job that stays pending does not block the requests whose count comes
// round to its slot. With none free, the first one naming the slot of the
// job read longest ago (whose completion was seen); 0 when there is none.
static int32_t new_job_id() {
    int32_t id = next_gurl_job_id, stale = 0;
    uint64_t oldest = UINT64_MAX;
    for (int tried = 0; tried < GURL_JOBS; tried++, id = id_after(id)) {
        const gurl_job& j = gurl_jobs[id % GURL_JOBS];
        if (!j.id) return id;
        if (j.read_order && j.callback_ran && j.read_order < oldest) {
            oldest = j.read_order;
            stale = id;
        }
    }
    return stale;
}

int32_t gurl_req(const char* url, gurl_callback callback, int32_t method, const void* body,
                 int64_t body_length, const void* headers, int64_t headers_length) {
    ensure_inited();
    int32_t id = new_job_id();
    if (!id) {
        krio_debug("gurl_get: new_job() failed\n");
        return -1;
    }
    next_gurl_job_id = id_after(id);
    gurl_job* j = &gurl_jobs[id % GURL_JOBS];
    if (j->id) release_slot(j);  // a read job's: its id now gives none
    clear_slot(j);
    j->id = id;
    jobs_held++;
    j->state.store(GURL_PENDING, std::memory_order_relaxed);
    j->method = method;
    j->callback = callback;
    bool ok = gurl_buffer_create(&j->result, GURL_RESULT_START);
    ok = ok && gurl_buffer_create(&j->url, GURL_BUFFER_MIN);
    if (ok) gurl_escape_url(url, &j->url);
    if (ok && (body || method == GURL_POST || method == GURL_PUT)) {
        ok = gurl_buffer_create(&j->body, GURL_BUFFER_MIN) &&
             gurl_buffer_append(&j->body, body, body && body_length > 0 ? body_length : 0);
    }
    if (ok && headers) {
        ok = gurl_buffer_create(&j->headers, GURL_BUFFER_MIN) &&
             gurl_buffer_append(&j->headers, headers, headers_length > 0 ? headers_length : 0);
    }
    if (ok) ensure_curl_inited();
    if (ok) j->thread = os_create_thread(gurl_get_worker, j);
    // Nothing started: the job ends failed on the next update like any other.
    if (!ok || !j->thread) finish_job(j, GURL_FAILED, nullptr);
    return id;
}

int32_t gurl_get(const char* url, gurl_callback callback) {
    return gurl_req(url, callback, GURL_GET, nullptr, 0, nullptr, 0);
}

gurl_job* gurl_get_job(int32_t id) {
    ensure_inited();
    if (id <= 0) return nullptr;
    gurl_job* j = &gurl_jobs[id % GURL_JOBS];
    return j->id == id ? j : nullptr;
}

int gurl_jobs_in_use() {
    int n = 0;
    for (const gurl_job& j : gurl_jobs) n += j.id != 0;
    return n;
}

int gurl_share_refusal(int64_t owner, int64_t program, bool system) {
    ensure_inited();
    int by_owner = 0, by_program = 0;
    for (const gurl_job& j : gurl_jobs) {
        if (!j.id || j.read_order) continue;
        by_owner += owner != 0 && j.owner == owner;
        by_program += program != 0 && j.program == program;
    }
    if (by_owner >= FETCH_JOBS_PER_PROCESS) return GURL_SHARE_PROCESS;
    if (system) return GURL_SHARE_FITS;
    if (by_program >= FETCH_JOBS_PER_PROGRAM) return GURL_SHARE_PROGRAM;
    // A read job's slot is as good as free: a new job takes it when it must.
    if (GURL_JOBS - (jobs_held - jobs_read) <= GURL_RESERVED_SLOTS) return GURL_SHARE_RESERVED;
    return GURL_SHARE_FITS;
}

void gurl_set_owner(int32_t id, int64_t owner, int64_t program) {
    if (gurl_job* j = gurl_get_job(id)) {
        j->owner = owner;
        j->program = program;
    }
}

void gurl_mark_read(int32_t id) {
    gurl_job* j = gurl_get_job(id);
    if (!j || j->read_order || j->state.load(std::memory_order_acquire) == GURL_PENDING) return;
    j->read_order = ++reads_marked;
    jobs_read++;
}

void cancel_jobs_by_process(int64_t owner) {
    if (owner == 0) return;
    for (gurl_job& j : gurl_jobs) {
        if (!j.id || j.owner != owner) continue;
        j.owner = 0;  // the program keeps counting it until the reap
        j.cancelled.store(1, std::memory_order_relaxed);
    }
}

void gurl_update() {
    ensure_inited();
    uint64_t tick = gurl_tick.load(std::memory_order_relaxed);
    if (jobs_held == 0) {
        gurl_tick.store(tick + 1, std::memory_order_release);
        return;
    }
    for (gurl_job& j : gurl_jobs) {
        if (!j.id || !j.completed.load(std::memory_order_acquire)) continue;
        j.completed.store(0, std::memory_order_relaxed);
        j.callback_ran = 1;
        if (j.fail_log) krio_debug(j.fail_log);
        j.fail_log = nullptr;
        if (j.callback) j.callback(&j);
    }
    for (gurl_job& j : gurl_jobs) {
        // Only jobs whose completion was seen: their worker has let go. A
        // cancelled job has no reader left to keep it for.
        if (!j.id || !j.callback_ran) continue;
        if (!j.cancelled.load(std::memory_order_relaxed) && tick <= j.finish_tick + GURL_KEEP_UPDATES) continue;
        release_slot(&j);
    }
    gurl_tick.store(tick + 1, std::memory_order_release);
}
