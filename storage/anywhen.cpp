// The file history store's writer: day logs, content blobs and the day
// snapshot, with the pure line, hash and blob pieces the queries share.
// Everything runs on the main thread inside the file operation that caused
// the event; a failure is logged and drops the event, never the program.
#include "storage/anywhen.h"

#include <dirent.h>
#include <fcntl.h>
#include <lz4.h>
#include <lz4hc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>
#include <vector>

#include "storage/formats.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/storage_internal.h"

static constexpr int BLOB_HEAD = 8;
static constexpr int BLOB_LZ4_LEVEL = 9;

static htable* anywhen_tbl = nullptr;  // path -> hash of its newest whole checkpoint today
static char current_log_path[HVX_PATH_MAX];
static void (*anywhen_observer)(int, const char*, const char*) = nullptr;

static int64_t host_clock() { return (int64_t)time(nullptr); }
static int64_t (*anywhen_clock)() = host_clock;

void anywhen_set_clock(int64_t (*now)()) { anywhen_clock = now ? now : host_clock; }
int64_t anywhen_now() { return anywhen_clock(); }
void anywhen_set_observer(void (*observer)(int, const char*, const char*)) { anywhen_observer = observer; }

// ---------------------------------------------------------------------------
// Pure pieces
// ---------------------------------------------------------------------------

static const char hex_digit_chars[] = "0123456789abcdef";

void anywhen_hash_hex(const void* data, int64_t length, char out[ANYWHEN_HASH_LEN + 1]) {
    uint8_t h[16];
    int32_t n = length < 0 ? 0 : length > INT32_MAX ? INT32_MAX : (int32_t)length;
    murmurhash3_x64_128(data, n, 0, h);
    for (int i = 0; i < 16; i++) {
        out[2 * i] = hex_digit_chars[h[i] >> 4];
        out[2 * i + 1] = hex_digit_chars[h[i] & 15];
    }
    out[ANYWHEN_HASH_LEN] = 0;
}

bool anywhen_is_hash(const char* s) {
    if (!s) return false;
    for (int i = 0; i < ANYWHEN_HASH_LEN; i++)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
    return true;
}

bool anywhen_format_moment(int64_t t, char out[ANYWHEN_MOMENT_LEN + 1]) {
    time_t tt = (time_t)t;
    struct tm tm;
    if (!gmtime_r(&tt, &tm) || tm.tm_year + 1900 < 0 || tm.tm_year + 1900 > 9999) {
        out[0] = 0;
        return false;
    }
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02d_%02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec);
    memcpy(out, text, ANYWHEN_MOMENT_LEN);
    out[ANYWHEN_MOMENT_LEN] = 0;
    return true;
}

// Two decimal digits at s, or -1.
static int two_digits(const char* s) {
    return s[0] >= '0' && s[0] <= '9' && s[1] >= '0' && s[1] <= '9' ? (s[0] - '0') * 10 + s[1] - '0' : -1;
}

bool anywhen_is_moment(const char* s) {
    if (!s) return false;
    for (int i = 0; i < 4; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    if (s[4] != '-' || s[7] != '-' || s[10] != '_' || s[13] != ':' || s[16] != ':') return false;
    int month = two_digits(s + 5), day = two_digits(s + 8), hour = two_digits(s + 11);
    int minute = two_digits(s + 14), second = two_digits(s + 17);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour >= 0 && hour <= 23 && minute >= 0 &&
           minute <= 59 && second >= 0 && second <= 60;
}

bool anywhen_parse_line(const char* line, int32_t len, anywhen_line* out) {
    *out = anywhen_line{};
    if (!line || len < 3 || line[1] != ' ') return false;
    out->kind = line[0];
    switch (line[0]) {
    case '$':
    case ':':
    case '+':
        if (len <= ANYWHEN_PATH_COLUMN || line[ANYWHEN_PATH_COLUMN - 1] != ' ' || !anywhen_is_hash(line + 2))
            return false;
        out->hash = line + 2;
        out->path = line + ANYWHEN_PATH_COLUMN;
        out->path_len = len - ANYWHEN_PATH_COLUMN;
        return true;
    case '-':
    case '>':
    case '^':
        out->path = line + 2;
        out->path_len = len - 2;
        return true;
    case '@':
        // A damaged moment must not order the records after it.
        if (len < 2 + ANYWHEN_MOMENT_LEN || !anywhen_is_moment(line + 2)) return false;
        out->moment = line + 2;
        out->text = "";
        if (len > 2 + ANYWHEN_MOMENT_LEN) {
            if (line[2 + ANYWHEN_MOMENT_LEN] != ' ') return false;
            out->text = line + 3 + ANYWHEN_MOMENT_LEN;
            out->text_len = len - 3 - ANYWHEN_MOMENT_LEN;
        }
        return true;
    case '|':
        out->text = line + 2;
        out->text_len = len - 2;
        return true;
    default:
        return false;
    }
}

int anywhen_write_line(buffer* out, char kind, const char* a, const char* b) {
    if (!out || !a) return 0;
    char head[3] = {kind, ' ', 0};
    bool two = kind == '$' || kind == ':' || kind == '+' || (kind == '@' && b);
    if (two && !b) return 0;
    int ok = bappend_str(out, head) == 2 && (bappend_str(out, a) || !*a);
    if (two) ok = ok && bappend_str(out, " ") && (bappend_str(out, b) || !*b);
    if (kind == '^') ok = ok && bappend_str(out, "/");
    return ok && bappend_str(out, "\n");
}

bool anywhen_delta_usable(int64_t delta_len, int64_t new_len) {
    if (delta_len < 0 || delta_len > ANYWHEN_DELTA_MAX) return false;
    return delta_len <= ANYWHEN_DELTA_ANY_SIZE || delta_len <= new_len / ANYWHEN_DELTA_RATIO;
}

int anywhen_write_delta_lines(buffer* out, const uint8_t* delta, int64_t len) {
    char line[2 + 2 * ANYWHEN_HEX_LINE_BYTES + 1];
    for (int64_t at = 0; at < len; at += ANYWHEN_HEX_LINE_BYTES) {
        int64_t n = len - at < ANYWHEN_HEX_LINE_BYTES ? len - at : ANYWHEN_HEX_LINE_BYTES;
        line[0] = '|';
        line[1] = ' ';
        for (int64_t i = 0; i < n; i++) {
            line[2 + 2 * i] = hex_digit_chars[delta[at + i] >> 4];
            line[3 + 2 * i] = hex_digit_chars[delta[at + i] & 15];
        }
        line[2 + 2 * n] = '\n';
        out->cursor = out->length;
        if (bwrite(line, 1, 3 + 2 * n, out) != 3 + 2 * n) return 0;
    }
    return 1;
}

bool anywhen_read_hex(buffer* out, const char* hex, int64_t len) {
    if (len % 2) return false;
    if (!ballocate(out, (int64_t)out->length + len / 2)) return false;
    for (int64_t i = 0; i < len; i += 2) {
        int hi = hex_value((unsigned char)hex[i]), lo = hex_value((unsigned char)hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->data[out->length++] = (uint8_t)(hi << 4 | lo);
    }
    out->cursor = out->length;
    return true;
}

static void store_u32_le(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

buffer* anywhen_blob_encode(const uint8_t* data, int64_t len) {
    if (len < 0 || len > ANYWHEN_MAX_RAW || (!data && len)) return nullptr;
    int bound = LZ4_compressBound((int)len);
    buffer* b = create_buffer_2(BLOB_HEAD + bound, ANYWHEN_BUFFER_KIND);
    if (!b) return nullptr;
    int c = LZ4_compress_HC(len ? (const char*)data : "", (char*)b->data + BLOB_HEAD, (int)len, bound,
                            BLOB_LZ4_LEVEL);
    if (c <= 0) {
        destroy_buffer(b);
        return nullptr;
    }
    store_u32_le(b->data, (uint32_t)c);
    store_u32_le(b->data + 4, (uint32_t)len);
    b->length = b->cursor = BLOB_HEAD + c;
    return b;
}

static buffer* decode_failed(char* why, size_t why_size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
static buffer* decode_failed(char* why, size_t why_size, const char* fmt, ...) {
    if (why && why_size) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(why, why_size, fmt, ap);
        va_end(ap);
    }
    return nullptr;
}

buffer* anywhen_blob_decode(const uint8_t* file, int64_t len, const char* hash, char* why, size_t why_size) {
    if (!file || len < BLOB_HEAD) return decode_failed(why, why_size, "** blob cut short (%lld bytes)", (long long)len);
    int64_t clen = load_u32_le(file), raw = load_u32_le(file + 4);
    if (raw > ANYWHEN_MAX_RAW) return decode_failed(why, why_size, "** raw length %lld over the limit", (long long)raw);
    if (clen > len - BLOB_HEAD)
        return decode_failed(why, why_size, "** compressed length %lld past the end", (long long)clen);
    buffer* out = create_buffer_2((int32_t)raw, ANYWHEN_BUFFER_KIND);
    if (!out) return decode_failed(why, why_size, "** no room for %lld bytes", (long long)raw);
    int n = LZ4_decompress_safe((const char*)file + BLOB_HEAD, (char*)out->data, (int)clen, (int)raw);
    if (n != raw) {
        destroy_buffer(out);
        return decode_failed(why, why_size, "** uncompressed_len != raw_len %d %d", n, (int)raw);
    }
    out->length = (int32_t)raw;
    out->data[raw] = 0;
    if (hash) {
        char h[ANYWHEN_HASH_LEN + 1];
        anywhen_hash_hex(out->data, raw, h);
        if (memcmp(h, hash, ANYWHEN_HASH_LEN) != 0) {
            destroy_buffer(out);
            return decode_failed(why, why_size, "** content does not match its hash");
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Reading logs
// ---------------------------------------------------------------------------

bool line_iter_start(line_iter_state* s, const char* host_path) {
    line_iter_end(s);
    s->pos = s->len = 0;
    s->eof = false;
    s->skipping = false;
    s->lines = s->bytes = 0;
    s->fd = open(host_path, O_RDONLY | O_CLOEXEC);
    if (s->fd < 0) return false;
    struct stat st;
    if (fstat(s->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        line_iter_end(s);
        return false;
    }
    return true;
}

void line_iter_end(line_iter_state* s) {
    if (s->fd >= 0) close(s->fd);
    s->fd = -1;
    s->eof = true;
    s->pos = s->len = 0;
}

int32_t line_iter(line_iter_state* s, const char** out) {
    for (;;) {
        char* start = s->buf + s->pos;
        int32_t avail = s->len - s->pos;
        char* nl = avail > 0 ? (char*)memchr(start, '\n', (size_t)avail) : nullptr;
        if (!nl && !s->eof && s->fd >= 0) {
            if (avail > ANYWHEN_LINE_MAX) {
                // Too long to be one of ours: dropped up to its line feed.
                s->skipping = true;
                avail = 0;
            } else if (s->pos > 0) {
                memmove(s->buf, start, (size_t)avail);
            }
            s->pos = 0;
            s->len = avail;
            ssize_t n = read(s->fd, s->buf + s->len, sizeof(s->buf) - 1 - (size_t)s->len);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) s->eof = true;
            else s->len += (int32_t)n;
            if (n > 0) s->bytes += n;
            continue;
        }
        if (avail <= 0) return -1;
        int32_t n = nl ? (int32_t)(nl - start) : avail;
        s->pos += n + (nl ? 1 : 0);
        bool skipped = s->skipping;
        s->skipping = false;
        if (skipped || n > ANYWHEN_LINE_MAX) continue;
        if (n >= 3)
            while (n > 2 && (unsigned char)start[n - 1] <= 32) n--;
        if (n == 0) continue;
        start[n] = 0;
        *out = start;
        s->lines++;
        return n;
    }
}

// ---------------------------------------------------------------------------
// Store paths and blobs
// ---------------------------------------------------------------------------

bool anywhen_store_path(const char* name, char* out, size_t out_size) {
    std::string rel = std::string("anywhen") + (name && *name ? "/" : "") + (name ? name : "");
    return krio_prefix_with_appdata_path(rel.c_str(), out, out_size) == 1;
}

bool anywhen_day_log_path(int year, int month, int day, char* out, size_t out_size) {
    char name[32];
    snprintf(name, sizeof name, "%04d-%02d/%02d.log", year, month, day);
    return anywhen_store_path(name, out, out_size);
}

static bool regular_file(const char* path, struct stat* st) {
    return stat(path, st) == 0 && S_ISREG(st->st_mode);
}

static void blob_problem(const char* path, const char* why) {
    printf("[anywhen blob decompression] %s (%s)\n", why, path);
    krio_debugf("[anywhen blob decompression] %s (%s)\n", why, path);
}

buffer* anywhen_load_blob(int year, int month, const char* hash) {
    if (!anywhen_is_hash(hash)) return nullptr;
    char name[64], path[HVX_PATH_MAX];
    struct stat st;
    snprintf(name, sizeof name, "%04d-%02d/vyn/%.32s", year, month, hash);
    if (anywhen_store_path(name, path, sizeof path) && regular_file(path, &st)) {
        // A damaged older blob gives way to a blob written since.
        buffer* raw = st.st_size > ANYWHEN_MAX_RAW ? nullptr : create_buffer_from_file(path);
        char h[ANYWHEN_HASH_LEN + 1];
        if (raw) anywhen_hash_hex(raw->data, raw->length, h);
        if (raw && memcmp(h, hash, ANYWHEN_HASH_LEN) == 0) return raw;
        destroy_buffer(raw);
        blob_problem(path, "** raw blob does not match its hash");
    }
    snprintf(name, sizeof name, "blob/%.32s.lz4", hash);
    if (!anywhen_store_path(name, path, sizeof path) || !regular_file(path, &st)) return nullptr;
    if (st.st_size > BLOB_HEAD + (int64_t)LZ4_compressBound((int)ANYWHEN_MAX_RAW)) {
        blob_problem(path, "** blob file over the limit");
        return nullptr;
    }
    buffer* file = create_buffer_from_file(path);
    if (!file) return nullptr;
    char why[160] = "";
    buffer* content = anywhen_blob_decode(file->data, file->length, hash, why, sizeof why);
    destroy_buffer(file);
    if (!content) blob_problem(path, why);
    return content;
}

static bool write_all(int fd, const uint8_t* p, int64_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, (size_t)n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= w;
    }
    return true;
}

// Blobs of a day snapshot, written under temporary names, that take their
// names together after one sync of the file system.
struct pending_blobs {
    std::vector<std::pair<std::string, std::string>> moves;  // temporary, final
    std::unordered_set<std::string> finals;
};

// The blob goes to a temporary name in its folder and is renamed into place
// once it is whole on disk, so its name never promises content it lacks.
// With pending, the sync and the rename wait for finish_blobs.
static bool write_blob(const char* blob_path, const uint8_t* data, int64_t len, pending_blobs* pending) {
    if (pending && pending->finals.count(blob_path)) return true;
    buffer* enc = anywhen_blob_encode(data, len);
    if (!enc) return false;
    if (!pending) {
        bool ok = os_write_file_atomic(blob_path, enc->data, (size_t)enc->length, 0666) == 1;
        destroy_buffer(enc);
        return ok;
    }
    // Named as the atomic writer names its siblings, so that one a crash
    // leaves is swept the same way.
    os_sweep_stale_temps(blob_path);
    std::string tmp = blob_path;
    size_t slash = tmp.rfind('/') + 1;
    tmp.insert(slash, ".");
    tmp += std::string(OS_TEMP_TAGS[0]) + std::to_string((long long)getpid()) + "_" +
           std::to_string(pending->moves.size());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && write_all(fd, enc->data, enc->length);
    if (fd >= 0 && close(fd) != 0) ok = false;
    destroy_buffer(enc);
    if (!ok) {
        if (fd >= 0) unlink(tmp.c_str());
        return false;
    }
    pending->moves.push_back({tmp, blob_path});
    pending->finals.insert(blob_path);
    return true;
}

static void finish_blobs(pending_blobs* pending, const char* blob_folder) {
    if (pending->moves.empty()) return;
    int fd = open(blob_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = fd >= 0 && syncfs(fd) == 0;
    if (fd >= 0) close(fd);
    for (const auto& m : pending->moves) {
        if (synced && rename(m.first.c_str(), m.second.c_str()) == 0) continue;
        unlink(m.first.c_str());
        krio_debugf("[anywhen] couldn't write blob %s\n", m.second.c_str());
    }
    pending->moves.clear();
    pending->finals.clear();
}

// ---------------------------------------------------------------------------
// The writer
// ---------------------------------------------------------------------------

struct event_ctx {
    int year, month, day;
    char moment[ANYWHEN_MOMENT_LEN + 1];
    char blob_folder[HVX_PATH_MAX];
    pending_blobs* pending;  // inside a day snapshot
};

// The file's bytes when it can be recorded: a regular file shorter than
// ANYWHEN_MAX_FILE that reads whole (a FIFO or device is never opened for
// reading, which could block).
static buffer* read_recordable(const char* host_path) {
    int fd = open(host_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    buffer* b = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < ANYWHEN_MAX_FILE)
        b = create_buffer_2((int32_t)st.st_size + 1, ANYWHEN_BUFFER_KIND);
    while (b) {
        int64_t room = (int64_t)b->capacity - 1 - b->length;
        if (room > ANYWHEN_MAX_FILE - b->length) room = ANYWHEN_MAX_FILE - b->length;
        if (room <= 0) {
            // It grew since it was measured: too large now, or more room.
            if ((int64_t)b->length >= ANYWHEN_MAX_FILE || !ballocate(b, (int64_t)b->length + 65536)) break;
            continue;
        }
        ssize_t n = read(fd, b->data + b->length, (size_t)room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            close(fd);
            b->data[b->length] = 0;
            return b;
        }
        b->length += (int32_t)n;
    }
    close(fd);
    destroy_buffer(b);
    return nullptr;
}

// Whether a blob that the history fetch would load for hash holds content:
// a damaged one is written again rather than reused.
static bool blob_holds(const event_ctx& ctx, const char* hash, const buffer* content) {
    buffer* held = anywhen_load_blob(ctx.year, ctx.month, hash);
    bool same = held && held->length == content->length && memcmp(held->data, content->data, content->length) == 0;
    destroy_buffer(held);
    return same;
}

// Records one content of a path into out: a delta against today's newest
// whole checkpoint of the path when that is small, else a whole checkpoint
// with its blob. Takes the content.
static void record_content(buffer* out, buffer* content, const char* path, const event_ctx& ctx, bool in_snapshot) {
    char hash[ANYWHEN_HASH_LEN + 1];
    anywhen_hash_hex(content->data, content->length, hash);

    int32_t base_len = 0;
    const char* base = in_snapshot ? nullptr : htable_get(anywhen_tbl, path, &base_len);
    if (base && base_len == ANYWHEN_HASH_LEN && anywhen_is_hash(base)) {
        char base_hash[ANYWHEN_HASH_LEN + 1];
        memcpy(base_hash, base, ANYWHEN_HASH_LEN + 1);
        buffer* old = anywhen_load_blob(ctx.year, ctx.month, base_hash);
        buffer* delta = old ? generate_diff(old->data, old->length, content->data, content->length) : nullptr;
        destroy_buffer(old);
        if (delta && anywhen_delta_usable(delta->length, content->length)) {
            anywhen_write_line(out, '@', ctx.moment, nullptr);
            anywhen_write_line(out, '+', base_hash, path);
            anywhen_write_delta_lines(out, delta->data, delta->length);
            destroy_buffer(delta);
            destroy_buffer(content);
            return;
        }
        destroy_buffer(delta);
    }

    std::string blob = std::string(ctx.blob_folder) + "/" + hash + ".lz4";
    if (!blob_holds(ctx, hash, content) &&
        !write_blob(blob.c_str(), content->data, content->length, in_snapshot ? ctx.pending : nullptr))
        krio_debugf("[anywhen] couldn't write blob %s\n", blob.c_str());
    destroy_buffer(content);
    if (!in_snapshot) anywhen_write_line(out, '@', ctx.moment, nullptr);
    anywhen_write_line(out, in_snapshot ? ':' : '$', hash, path);
    htable_insert_str(anywhen_tbl, path, hash);
}

static void store_file_checkpoint(buffer* out, const char* host_path, const char* path, const event_ctx& ctx,
                                  bool in_snapshot) {
    if (buffer* content = read_recordable(host_path)) record_content(out, content, path, ctx, in_snapshot);
}

static bool has_control_char(const char* s) {
    for (; *s; s++)
        if ((unsigned char)*s < 32) return true;
    return false;
}

// Writes the snapshot of one folder tree into out: "^" for every folder but
// the root, ":" for every file. Folder links are not followed, and a tree
// deeper than ANYWHEN_MAX_DEPTH is logged and left out, and so is the path
// the event changed (its state before the event is not on the disk).
static void generate_daily_branch(const std::string& folder, buffer* out, int depth, const event_ctx& ctx,
                                  const char* changed) {
    if (folder.size() > 1) anywhen_write_line(out, '^', folder.c_str(), nullptr);
    int kind = 0;
    buffer* origin = resolve_to_origin(folder.c_str(), &kind, 0);
    std::string host = btext(origin);
    destroy_buffer(origin);
    if (kind != MOUNT_KIND_HOST || host.empty()) return;
    // The names are taken first, so a deep tree never holds a folder open
    // per level.
    std::vector<std::string> names;
    if (DIR* d = opendir(host.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' && !has_control_char(e->d_name)) names.push_back(e->d_name);
        closedir(d);
    } else {
        return;
    }
    std::string base = folder.size() > 1 ? folder + "/" : folder;
    if (!host.empty() && host.back() != '/') host += "/";
    for (const std::string& name : names) {
        std::string child = base + name;
        if (changed && child == changed) continue;
        std::string host_child = host + name;
        struct stat st;
        bool stat_ok = lstat(host_child.c_str(), &st) == 0;
        if (stat_ok && S_ISLNK(st.st_mode)) {
            struct stat target;
            if (stat(host_child.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
                krio_debugf("[anywhen] not following folder link %s\n", host_child.c_str());
                continue;
            }
        } else if (stat_ok && S_ISDIR(st.st_mode)) {
            if (strcmp(get_ext(child.c_str()), "bin") == 0) continue;
            if (depth + 1 > ANYWHEN_MAX_DEPTH) {
                krio_debugf("** anywhen exceeded maximum depth (%d). circular mount? (%s)\n", ANYWHEN_MAX_DEPTH,
                            child.c_str());
                continue;
            }
            generate_daily_branch(child, out, depth + 1, ctx, changed);
            continue;
        }
        store_file_checkpoint(out, host_child.c_str(), child.c_str(), ctx, true);
    }
}

static void load_table(const char* log_path) {
    destroy_htable(anywhen_tbl);
    anywhen_tbl = create_htable(ANYWHEN_TABLE_CAPACITY);
    line_iter_state* it = new line_iter_state;
    if (line_iter_start(it, log_path)) {
        const char* line;
        int32_t n;
        anywhen_line l;
        while ((n = line_iter(it, &line)) >= 0) {
            if ((line[0] == '$' || line[0] == ':') && anywhen_parse_line(line, n, &l))
                htable_insert(anywhen_tbl, l.path, l.hash, ANYWHEN_HASH_LEN);
        }
    }
    line_iter_end(it);
    delete it;
}

// Appends one event's lines with one write; a log whose last line was cut
// short first gets its line feed, so the new lines never join it.
static bool append_lines(const char* log_path, buffer* lines) {
    int fd = open(log_path, O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
    // lines holds a spare line feed at 0 for this.
    int skip = last == '\n' ? 1 : 0;
    bool ok = write_all(fd, lines->data + skip, lines->length - skip);
    return close(fd) == 0 && ok;
}

// Makes today's log when it does not exist yet: the snapshot is built first
// and the log created with it at once, so a log never lacks its snapshot.
// The snapshot shows the path the event changed as the earlier logs left it:
// the disk holds it as it is after the event already.
static bool generate_log(const char* log_path, const event_ctx& ctx, int kind, const char* path) {
    const char* changed = path && kind <= ANYWHEN_FOLDER_MADE ? path : nullptr;
    buffer* before = nullptr;
    if (changed && kind != ANYWHEN_FOLDER_MADE) {
        std::string loc = std::string(changed) + " @ " + ctx.moment;
        before = anywhen_fetch(loc.data(), loc.size());
    }
    destroy_htable(anywhen_tbl);
    anywhen_tbl = create_htable(ANYWHEN_TABLE_CAPACITY);
    krio_debugf("[anywhen] generating new log file: %s\n", log_path);
    uint64_t t0 = os_get_time();
    buffer* snap = create_buffer_2(4096, ANYWHEN_BUFFER_KIND);
    if (!snap) {
        destroy_buffer(before);
        return false;
    }
    pending_blobs pending;
    event_ctx snap_ctx = ctx;
    snap_ctx.pending = &pending;
    int was = pdisk_block_automounting(1);
    generate_daily_branch("/", snap, 0, snap_ctx, changed);
    pdisk_block_automounting(was);
    if (before) record_content(snap, before, changed, snap_ctx, true);
    finish_blobs(&pending, ctx.blob_folder);
    int fd = open(log_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    bool ok = fd >= 0 && write_all(fd, snap->data, snap->length);
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok && fd >= 0) unlink(log_path);  // a cut-short snapshot would hide the day's files
    destroy_buffer(snap);
    if (!ok) {
        krio_debugf("[anywhen] ** could not open new log file: %s\n", log_path);
        return false;
    }
    krio_debugf("[anywhen] ok (%lldms)\n", (long long)(os_get_time() - t0));
    return true;
}

static void run_event(int kind, const char* path, const char* host_path, event_ctx& ctx) {
    char root[HVX_PATH_MAX], month_folder[HVX_PATH_MAX], log_path[HVX_PATH_MAX], month_name[32];
    snprintf(month_name, sizeof month_name, "%04d-%02d", ctx.year, ctx.month);
    if (!anywhen_store_path("", root, sizeof root) || !anywhen_store_path("blob", ctx.blob_folder, sizeof ctx.blob_folder) ||
        !anywhen_store_path(month_name, month_folder, sizeof month_folder) ||
        !anywhen_day_log_path(ctx.year, ctx.month, ctx.day, log_path, sizeof log_path))
        return;
    krio_mkdir(root);
    krio_mkdir(ctx.blob_folder);
    krio_mkdir(month_folder);

    struct stat st;
    if (stat(log_path, &st) != 0) {
        if (errno != ENOENT) {
            krio_debugf("[anywhen] ** could not read log file: %s (%s); event lost\n", log_path, strerror(errno));
            return;
        }
        if (!generate_log(log_path, ctx, kind, path)) return;
    } else if (!S_ISREG(st.st_mode)) {
        krio_debugf("[anywhen] ** not a log file: %s; event lost\n", log_path);
        return;
    } else if (strcmp(log_path, current_log_path) != 0 || !anywhen_tbl) {
        krio_debugf("[anywhen] loading log file: %s\n", log_path);
        uint64_t t0 = os_get_time();
        load_table(log_path);
        krio_debugf("[anywhen] ok (%lldms)\n", (long long)(os_get_time() - t0));
    }
    snprintf(current_log_path, sizeof current_log_path, "%s", log_path);
    if (kind == ANYWHEN_TURNED_ON) return;

    buffer* lines = create_buffer_2(256, ANYWHEN_BUFFER_KIND);
    if (!lines) return;
    bappend_str(lines, "\n");
    int32_t empty = lines->length;
    switch (kind) {
    case ANYWHEN_FILE_WRITTEN:
        if (path && host_path) store_file_checkpoint(lines, host_path, path, ctx, false);
        break;
    case ANYWHEN_DELETED:
    case ANYWHEN_FOLDER_MADE:
        if (path) {
            // Dated like a checkpoint, so the change is placed at its own
            // moment rather than at the last checkpoint's.
            anywhen_write_line(lines, '@', ctx.moment, nullptr);
            anywhen_write_line(lines, kind == ANYWHEN_DELETED ? '-' : '>', path, nullptr);
        }
        break;
    case ANYWHEN_MARKER:
        anywhen_write_line(lines, '@', ctx.moment, path);
        break;
    default:
        break;
    }
    if (lines->length > empty && !append_lines(log_path, lines))
        krio_debug("[anywhen] couldn't open log file to append\n");
    destroy_buffer(lines);
}

int anywhen_event(int kind, const char* path, const char* host_path) {
    if (anywhen_observer) anywhen_observer(kind, path, host_path);
    if (!config.anywhen) return 0;
    if (path && strstr(path, ".bin/")) return 0;
    // A line feed in a path would make a record of its own.
    if (path && has_control_char(path)) return 0;
    event_ctx ctx{};
    int64_t now = anywhen_now();
    time_t tt = (time_t)now;
    struct tm tm;
    if (!gmtime_r(&tt, &tm) || !anywhen_format_moment(now, ctx.moment)) return 0;
    ctx.year = tm.tm_year + 1900;
    ctx.month = tm.tm_mon + 1;
    ctx.day = tm.tm_mday;
    run_event(kind, path, host_path, ctx);
    // Whatever the event wrote (or a snapshot it made), the month's filter
    // no longer covers it.
    invalidate_bloom_by_month(ctx.year, ctx.month);
    return 0;
}

void anywhen_open() {
    current_log_path[0] = 0;
    if (config.anywhen) anywhen_event(ANYWHEN_MARKER, "__start_session", nullptr);
}

void anywhen_close() {
    destroy_htable(anywhen_tbl);
    anywhen_tbl = nullptr;
    current_log_path[0] = 0;
    anywhen_free_blooms();
}
