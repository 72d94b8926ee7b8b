// The run log: log.txt in the per-user folder, one stamped line per text,
// with bursts of equal texts folded into a count.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "runtime/runtime.h"

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

static void emit(const char* head, const char* text) {
    if (krio_debug_file) {
        fputs(head, krio_debug_file);
        fputs(text, krio_debug_file);
        fflush(krio_debug_file);
    } else if (state == LOG_PENDING) {
        size_t n = strlen(head) + strlen(text);
        if (early_lines.size() + n > EARLY_LOG_MAX) return;
        early_lines += head;
        early_lines += text;
    }
}

void krio_debug_open() {
    std::lock_guard<std::recursive_mutex> g(log_lock);
    if (krio_debug_file || opening) return;
    opening = true;
    char path[HVX_PATH_MAX];
    FILE* f = krio_prefix_with_appdata_path(LOG_FILE_NAME, path, sizeof path) ? fopen(path, "we") : nullptr;  // not inherited by opened programs
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
}

const char* krio_debug_path() { return log_path; }

void krio_debug(const char* text) {
    if (!text) return;
    std::lock_guard<std::recursive_mutex> g(log_lock);
    if (state == LOG_FAILED && !opening) krio_debug_open();
    if (text[0] == '>') text++;
    if (text[0] == '<') text++;
    if (strcmp(text, last_debug_msg) == 0) {
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
    emit(head, text);
    // A longer text is still written whole; only the repeat check is cut.
    snprintf(last_debug_msg, sizeof last_debug_msg, "%s", text);
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
