// The run log: log.txt in the per-user folder, one stamped line per text,
// with bursts of equal texts folded into a count.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/core.h"

// Lines logged before the per-user folder is known wait here; a runaway
// early logger must not eat memory, so the rest is dropped past this size.
static constexpr size_t EARLY_LOG_MAX = 1 << 20;

enum log_state { LOG_PENDING, LOG_OPEN, LOG_FAILED };

static std::recursive_mutex log_lock;  // workers may log too
static log_state state = LOG_PENDING;
static bool opening = false;  // the open itself logs (path failures)
static FILE* krio_debug_file = nullptr;
static char log_path[HVX_PATH_MAX];
static std::string early_lines;
static char last_debug_msg[KRIO_DEBUG_MAX];
static int repeated_debug_msg_count = 0;
static int64_t log_bytes = 0;  // written this run, early lines included
static bool log_full = false;  // the size cap was met: nothing more is written

static void emit(const char* head, const char* text) {
    if (log_full) return;
    size_t n = strlen(head) + strlen(text);
    char last[160];
    if (log_bytes + (int64_t)n > LOG_SIZE_MAX) {
        // One last line says why the log stops here.
        snprintf(last, sizeof last, "[%06lld %03lld] log.txt reached %lld bytes: nothing more is logged this run\n",
                 (long long)os_get_time(), (long long)cproc_id(), (long long)LOG_SIZE_MAX);
        head = "";
        text = last;
        n = strlen(text);
        log_full = true;
    }
    log_bytes += (int64_t)n;
    if (krio_debug_file) {
        fputs(head, krio_debug_file);
        fputs(text, krio_debug_file);
        fflush(krio_debug_file);
    } else if (state == LOG_PENDING) {
        if (early_lines.size() + n > EARLY_LOG_MAX) return;
        early_lines += head;
        early_lines += text;
    }
}

// The text as one log line: control characters (but a tab, and the line
// breaks that end it) escaped, so no text can start a line of its own, and
// cut at LOG_LINE_MAX bytes with a mark.
static void make_line(const char* text, char* out) {
    size_t len = strlen(text), end = len;
    while (end > 0 && text[end - 1] == '\n') end--;  // the trailing breaks stay
    size_t o = 0;
    bool cut = false;
    for (size_t i = 0; i < end; i++) {
        unsigned char c = (unsigned char)text[i];
        char esc[8];
        int k = 1;
        esc[0] = (char)c;
        if (c == '\n') k = snprintf(esc, sizeof esc, "\\n");
        else if (c == '\r') k = snprintf(esc, sizeof esc, "\\r");
        else if ((c < 0x20 && c != '\t') || c == 0x7F) k = snprintf(esc, sizeof esc, "\\x%02x", c);
        if (o + (size_t)k > LOG_LINE_MAX) {
            cut = true;
            break;
        }
        std::memcpy(out + o, esc, (size_t)k);
        o += (size_t)k;
    }
    if (cut) {
        const char mark[] = " [line cut]";
        std::memcpy(out + o, mark, sizeof mark - 1);
        o += sizeof mark - 1;
        if (end == len) out[o++] = '\n';  // a cut line still ends its line
    }
    size_t breaks = len - end < LOG_TRAILING_BREAKS ? len - end : LOG_TRAILING_BREAKS;
    std::memcpy(out + o, text + end, breaks);
    out[o + breaks] = 0;
}

// Where the last open looked: a failed open is tried again at the next line.
static int (*log_path_of)(const char*, char*, size_t) = nullptr;

void krio_debug_open_at(int (*path_of)(const char* name, char* out, size_t out_size)) {
    std::lock_guard<std::recursive_mutex> g(log_lock);
    log_path_of = path_of;
    if (krio_debug_file || opening) return;
    opening = true;
    char path[HVX_PATH_MAX];
    FILE* f = path_of(LOG_FILE_NAME, path, sizeof path) ? fopen(path, "we") : nullptr;  // not inherited by opened programs
    opening = false;
    if (!f) {
        // Silently without a log; the next line tries again.
        state = LOG_FAILED;
        log_path[0] = 0;
        std::string().swap(early_lines);
        return;
    }
    krio_debug_file = f;
    state = LOG_OPEN;
    snprintf(log_path, sizeof log_path, "%s", path);
    fwrite(early_lines.data(), 1, early_lines.size(), f);
    fflush(f);
    std::string().swap(early_lines);
}

void krio_debug_close() {
    std::lock_guard<std::recursive_mutex> g(log_lock);
    char head[64];
    if (repeated_debug_msg_count > 0) {
        // A burst still being counted is written rather than lost.
        snprintf(head, sizeof head, "[x %04d %03lld] ", repeated_debug_msg_count, (long long)cproc_id());
        emit(head, last_debug_msg);
    }
    if (krio_debug_file) fclose(krio_debug_file);
    krio_debug_file = nullptr;
    state = LOG_PENDING;
    log_path[0] = 0;
    std::string().swap(early_lines);
    last_debug_msg[0] = 0;
    repeated_debug_msg_count = 0;
    log_bytes = 0;
    log_full = false;
}

const char* krio_debug_path() { return log_path; }

void krio_debug(const char* text) {
    if (!text) return;
    std::lock_guard<std::recursive_mutex> g(log_lock);
    if (state == LOG_FAILED && !opening && log_path_of) krio_debug_open_at(log_path_of);
    if (text[0] == '>') text++;
    if (text[0] == '<') text++;
    static char line[KRIO_DEBUG_MAX];
    make_line(text, line);
    if (strcmp(line, last_debug_msg) == 0) {
        repeated_debug_msg_count++;
        return;
    }
    char head[64];
    long long pid = (long long)cproc_id();
    if (repeated_debug_msg_count > 0) {
        snprintf(head, sizeof head, "[x %04d %03lld] ", repeated_debug_msg_count, pid);
        emit(head, last_debug_msg);
    }
    snprintf(head, sizeof head, "[%06lld %03lld] ", (long long)os_get_time(), pid);
    emit(head, line);
    snprintf(last_debug_msg, sizeof last_debug_msg, "%s", line);
    repeated_debug_msg_count = 0;
}

void krio_debugf(const char* fmt, ...) {
    char small[KRIO_DEBUG_MAX];
    va_list ap, ap2;
    va_start(ap, fmt);
    va_copy(ap2, ap);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n >= 0 && (size_t)n >= sizeof small) {
        std::string big((size_t)n + 1, '\0');
        vsnprintf(big.data(), big.size(), fmt, ap2);
        krio_debug(big.c_str());
    } else if (n >= 0) {
        krio_debug(small);
    }
    va_end(ap2);
}
