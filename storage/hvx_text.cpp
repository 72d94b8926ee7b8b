// Text cartridges (".hvx"): a folder tree as line text. Scripts and text
// files stand as they are, every other file as base64 (or hex) lines.
#include "storage/cartridges.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/formats.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/storage_internal.h"

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

static bool is_info_file(const char* name) {
    size_t n = strlen(name), k = strlen(HVX_INFO_FILE);
    return n >= k && strcmp(name + n - k, HVX_INFO_FILE) == 0 && (n == k || name[n - k - 1] == '/');
}

int hvx_text_name_form(const char* path) {
    if (!path) return 0;
    const char* ext = get_ext(path);
    return strcmp(ext, "lua") == 0 || strcmp(ext, "txt") == 0 || strstr(path, ".info.vyn");
}

int hvx_text_bytes_form(const uint8_t* d, int64_t n) {
    if (n >= 4 && (memcmp(d, "hex$", 4) == 0 || memcmp(d, "b64$", 4) == 0)) return 0;
    // A first line that looks like a header would read back as one.
    if (n >= 3 && memcmp(d, ":: ", 3) == 0) return 0;
    for (int64_t i = 0; i < n; i++) {
        uint8_t c = d[i];
        // Carriage returns are taken as part of a line end by the reader.
        if (c == 0 || c > 127 || c == 13) return 0;
        if (c == '\n' && i + 3 < n && d[i + 1] == ':' && d[i + 2] == ':' && d[i + 3] == ' ') return 0;
    }
    return 1;
}

int is_writeable_as_ascii(const pfile* f) {
    if (!f || !f->path) return 0;
    return hvx_text_name_form(btext(f->path)) &&
           hvx_text_bytes_form(f->data ? f->data->data : nullptr, f->data ? f->data->length : 0);
}

namespace {

// Where the writer puts its text: a buffer at its cursor, or pieces handed
// on (the write-back encodes off the frame's thread, away from every buffer).
struct buffer_sink {
    buffer* out;
    bool put(const void* s, int64_t n) { return n == 0 || bwrite(s, 1, n, out) == n; }
};

// The records of a RAM folder, by their full paths; those outside it are
// skipped (a null path).
struct ram_folder_source {
    const char* folder;
    size_t fl;
    int count;
    const pfile* at(int i) const {
        const pfile* f = pdisk_pfile_iterator_item(i);
        if (!f || f->kind != PFILE_KIND_RAM || !f->path) return nullptr;
        const char* p = btext(f->path);
        return strncmp(p, folder, fl) == 0 && p[fl] == '/' && p[fl + 1] ? f : nullptr;
    }
    int size() const { return count; }
    const char* path(int i) const { return at(i) ? btext(at(i)->path) : nullptr; }
    bool is_folder(int i) const { return (at(i)->flags & PFILE_FLAG_FOLDER) != 0; }
    const uint8_t* data(int i) const { return at(i)->data ? at(i)->data->data : nullptr; }
    int64_t length(int i) const { return at(i)->data ? at(i)->data->length : 0; }
    bool ascii(int i) const { return is_writeable_as_ascii(at(i)); }
};

struct snapshot_source {
    const std::vector<cart_snapshot_entry>* entries;
    int size() const { return (int)entries->size(); }
    const char* path(int i) const { return (*entries)[(size_t)i].path.c_str(); }
    bool is_folder(int i) const { return (*entries)[(size_t)i].folder; }
    const uint8_t* data(int i) const { return (const uint8_t*)(*entries)[(size_t)i].data.data(); }
    int64_t length(int i) const { return (int64_t)(*entries)[(size_t)i].data.size(); }
    bool ascii(int i) const { return (*entries)[(size_t)i].text_name && hvx_text_bytes_form(data(i), length(i)); }
};

template <class Sink>
bool put_str(Sink& out, const char* s) { return out.put(s, (int64_t)strlen(s)); }
template <class Sink>
bool put_line(Sink& out, const char* s) { return put_str(out, s) && out.put("\n", 1); }

template <class Sink>
bool put_encoded_body(Sink& out, const uint8_t* d, int64_t n, int hex) {
    const int64_t first = hex ? HVX_HEX_FIRST_LINE : HVX_B64_FIRST_LINE;
    const int64_t rest = hex ? HVX_HEX_LINE : HVX_B64_LINE;
    if (!put_str(out, hex ? "hex$" : "b64$")) return false;
    char line[HVX_LINE_MAX];
    int64_t at = 0, take = first;
    for (;;) {
        if (take > n - at) take = n - at;
        int64_t k = 0;
        if (hex) {
            static const char digits[] = "0123456789abcdef";
            for (int64_t i = 0; i < take; i++) {
                line[k++] = digits[d[at + i] >> 4];
                line[k++] = digits[d[at + i] & 15];
            }
        } else {
            base64_encodestate st;
            base64_init_encodestate(&st);
            k = base64_encode_block(d + at, take, line, &st);
            k += base64_encode_blockend(line + k, &st);
        }
        line[k++] = '\n';
        if (!out.put(line, k)) return false;
        at += take;
        if (at >= n) return true;
        take = rest;
    }
}

// The folder's files as text: folders first, then text files, then the info
// file and everything else, each record once. False when a name can not be
// written (the sink then holds a part).
template <class Source, class Sink>
bool encode_text(const Source& src, size_t fl, int hex, Sink& out) {
    bool ok = put_line(out, HVX_BANNER) && put_line(out, "version 2") && put_line(out, "");
    for (int pass = 0; pass < 3 && ok; pass++) {
        for (int i = 0; i < src.size() && ok; i++) {
            const char* p = src.path(i);
            if (!p) continue;
            const char* name = p + fl + 1;
            size_t nl = strlen(name);
            bool is_folder = src.is_folder(i);
            // A name the header line would cut short, a file's that would
            // read back as a folder, or one the reader would not place at
            // this name, is not written as another entry.
            if (!hvx_text_name_ok(name, (int64_t)nl) || (!is_folder && name[nl - 1] == '/') ||
                !entry_name_proper(name, (int64_t)nl, is_folder))
                return false;
            const uint8_t* d = src.data(i);
            int64_t n = src.length(i);
            bool ascii = src.ascii(i);
            int want = ascii && !is_info_file(name) ? 1 : is_folder ? 0 : 2;
            if (want != pass) continue;
            ok = put_str(out, ":: ") && put_str(out, name) && (!is_folder || out.put("/", 1)) && out.put("\n", 1);
            if (!ok || is_folder) continue;
            if (ascii) ok = out.put(d, n) && out.put("\n", 1);
            else ok = put_encoded_body(out, d, n, hex);
        }
    }
    return ok && put_line(out, ":: [eoc]");
}

size_t folder_length(const char* folder) {
    size_t fl = strlen(folder);
    while (fl > 0 && folder[fl - 1] == '/') fl--;
    return fl;
}

}  // namespace

int write_hvx_from_ram_files(buffer* out, const char* folder, int hex) {
    if (!out || !folder) return -1;
    size_t fl = folder_length(folder);
    int32_t start = out->length;
    out->cursor = out->length;
    ram_folder_source src{folder, fl, pdisk_pfile_iterator_under((std::string(folder, fl) + "/").c_str())};
    buffer_sink sink{out};
    if (!encode_text(src, fl, hex, sink)) {
        out->length = out->cursor = start;
        if (out->data) out->data[start] = 0;
        return -1;
    }
    return 0;
}

namespace {

struct piece_sink {
    const std::function<bool(const void*, size_t)>& write;
    size_t chunk;
    std::string held;
    bool refused = false;
    bool pass(const void* s, size_t n) {
        if (n > 0 && !refused && !write(s, n)) refused = true;
        return !refused;
    }
    bool drain() {
        bool ok = pass(held.data(), held.size());
        held.clear();
        return ok;
    }
    bool put(const void* s, int64_t n) {
        if ((size_t)n >= chunk) return drain() && pass(s, (size_t)n);
        held.append((const char*)s, (size_t)n);
        return held.size() < chunk ? !refused : drain();
    }
};

}  // namespace

int hvx_text_from_snapshot_in_pieces(const std::vector<cart_snapshot_entry>& entries, const char* folder,
                                     size_t chunk, const std::function<bool(const void*, size_t)>& write) {
    if (!folder) return -1;
    piece_sink sink{write, chunk, {}};
    if (encode_text(snapshot_source{&entries}, folder_length(folder), 0, sink) && sink.drain()) return 0;
    return sink.refused ? CART_WRITE_REFUSED : -1;
}

// ---------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------

namespace {

// The bytes of a damaged entry the log shows, at most.
constexpr int64_t HVX_LOG_LINE_MAX = 120;

// The value of each byte as a hex digit, or HEX_NONE.
constexpr uint8_t HEX_NONE = 16;
struct hex_digit_table {
    uint8_t v[256];
    constexpr hex_digit_table() : v() {
        for (int c = 0; c < 256; c++)
            v[c] = c >= '0' && c <= '9' ? (uint8_t)(c - '0')
                 : c >= 'a' && c <= 'f' ? (uint8_t)(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? (uint8_t)(c - 'A' + 10)
                                        : HEX_NONE;
    }
};
constexpr hex_digit_table hex_digits_of;

// Decodes pairs of hex digits until the first pair that is not one. *whole
// is cleared when that leaves a digit undecoded (a damaged digit, or an odd
// count): a write-back would lose it.
int64_t decode_hex(const uint8_t* s, int64_t n, uint8_t* out, bool* whole) {
    int64_t k = 0, i = 0;
    for (; i + 1 < n; i += 2) {
        uint8_t hi = hex_digits_of.v[s[i]], lo = hex_digits_of.v[s[i + 1]];
        if ((hi | lo) & HEX_NONE) break;
        out[k++] = (uint8_t)(hi << 4 | lo);
    }
    if (i != n) *whole = false;
    return k;
}

// The alphabet's values by character; B64_PAD for '=', B64_NONE for any
// other character.
constexpr uint8_t B64_PAD = 64, B64_NONE = 128;
struct base64_value_table {
    uint8_t v[256];
    base64_value_table() : v() {
        for (int c = 0; c < 256; c++) {
            int32_t x = base64_decode_value(c);
            v[c] = x >= 0 ? (uint8_t)x : c == '=' ? B64_PAD : B64_NONE;
        }
    }
};
const base64_value_table b64_values;

// Whether the characters of one base64 body line are what the writer
// writes: the alphabet, then at most its padding. *padded carries over
// lines: the writer pads only a body's end, so characters after padding are
// damage. The decoder skips what is not of the alphabet; such a line still
// decodes, but a write-back would not give the file back.
bool base64_line_sound(const uint8_t* s, int64_t n, bool* padded) {
    for (int64_t i = 0; i < n; i++) {
        uint8_t k = b64_values.v[s[i]];
        if (k == B64_NONE || (k < B64_PAD && *padded)) return false;
        if (k == B64_PAD) *padded = true;
    }
    return true;
}

// A base64 body line into out (room for base64_decode_bound(n) bytes): the
// bytes written. A line of whole groups of the alphabet, met between groups
// and before any padding (every line the writer writes but a body's last),
// decodes here at once; any other goes through the streaming decoder.
int64_t decode_base64_line(const uint8_t* s, int64_t n, uint8_t* out, base64_decodestate* st, bool* padded,
                           bool* whole) {
    if (st->step == 0 && !*padded && n % 4 == 0) {
        // Decoded without a test per group; a character outside the
        // alphabet shows in `seen`, and the line is then decoded again below.
        uint8_t* o = out;
        uint32_t seen = 0;
        for (int64_t i = 0; i < n; i += 4) {
            uint32_t a = b64_values.v[s[i]], b = b64_values.v[s[i + 1]];
            uint32_t c = b64_values.v[s[i + 2]], d = b64_values.v[s[i + 3]];
            seen |= a | b | c | d;
            uint32_t w = a << 18 | b << 12 | c << 6 | d;
            o[0] = (uint8_t)(w >> 16);
            o[1] = (uint8_t)(w >> 8);
            o[2] = (uint8_t)w;
            o += 3;
        }
        if (seen < B64_PAD) return o - out;
    }
    if (!base64_line_sound(s, n, padded)) *whole = false;
    return base64_decode_block((const char*)s, n, out, st);
}

// Escapes a file's bytes for the log: printable ASCII stands, anything else
// (a terminal's control sequences among it) as \xHH; at most max bytes.
std::string escaped_for_log(const uint8_t* s, int64_t n, int64_t max) {
    std::string out;
    char hex[5];
    for (int64_t i = 0; i < n && i < max; i++) {
        if (s[i] >= 32 && s[i] < 127 && s[i] != '\\') {
            out += (char)s[i];
        } else {
            snprintf(hex, sizeof hex, "\\x%02x", s[i]);
            out += hex;
        }
    }
    if (n > max) out += "...";
    return out;
}

struct line_reader {
    const uint8_t* p;
    const uint8_t* end;
    // The next line without its LF or CRLF; false at the end of the text.
    bool next(const uint8_t** s, int64_t* n) {
        if (p >= end) return false;
        const uint8_t* lf = (const uint8_t*)memchr(p, '\n', (size_t)(end - p));
        const uint8_t* e = lf ? lf : end;
        *s = p;
        *n = e - p;
        if (lf && *n > 0 && e[-1] == '\r') (*n)--;
        p = lf ? lf + 1 : end;
        return true;
    }
    // The bytes of the lines before the next header line (or the end).
    // Encoded lines hold no ':', so one search passes a whole encoded body.
    int64_t body_extent() const {
        for (const uint8_t* q = p; q < end;) {
            q = (const uint8_t*)memchr(q, ':', (size_t)(end - q));
            if (!q) break;
            if ((q == p || q[-1] == '\n') && end - q >= 3 && q[1] == ':' && q[2] == ' ') return q - p;
            q++;
        }
        return end - p;
    }
};

enum body_form { BODY_NONE, BODY_TEXT, BODY_HEX, BODY_B64 };

struct hvx_loader {
    std::string folder;
    pfile* file = nullptr;
    std::string dest;        // the open file's path
    buffer* body = nullptr;  // its bytes, handed to it whole at its end
    body_form form = BODY_NONE;
    base64_decodestate b64;
    bool padded = false;  // the base64 body has had its padding
    bool whole = true;    // every entry went where it belongs, every body line decoded whole

    ~hvx_loader() { destroy_buffer(body); }

    // Room for n more bytes of the body (and its terminator).
    uint8_t* room(int64_t n) {
        if (!body || !ballocate(body, (int64_t)body->length + n)) {
            whole = false;
            return nullptr;
        }
        return body->data + body->length;
    }

    void close_file() {
        if (!file) return;
        // The writer ends every text body with a line feed of its own.
        if (form == BODY_TEXT && body && body->length >= 1 && body->data[body->length - 1] == '\n') body->length--;
        // A last character that made no byte.
        if (form == BODY_B64 && b64.step == 1) whole = false;
        bool ram = file->kind == PFILE_KIND_RAM;
        if (body && body->length > 0 && !ram && pfwrite(body->data, 1, body->length, file) != body->length)
            whole = false;
        if (pfclose(file) != 0) whole = false;
        // A RAM file takes the bytes as they are: no copy, no growth.
        if (body && body->length > 0 && ram) {
            body->data[body->length] = 0;
            body->cursor = 0;
            if (!ram_file_take(dest.c_str(), &body)) whole = false;
        }
        destroy_buffer(body);
        body = nullptr;
        file = nullptr;
        form = BODY_NONE;
    }

    std::string place(const uint8_t* s, int64_t n) const { return folder + "/" + std::string((const char*)s, (size_t)n); }

    // Whether the record opened for an entry has the entry's name, as its
    // last part, after the folder's path and a '/'.
    static bool lands_at(const pfile* f, const uint8_t* name, int64_t n) {
        if (!f || !f->path || f->path->length <= n) return false;
        const char* p = (const char*)f->path->data + (f->path->length - n);
        return p[-1] == '/' && memcmp(p, name, (size_t)n) == 0;
    }

    // A header line (":: " already seen); false at the end marker. The body
    // that follows is sized from the lines before the next header.
    bool header(const uint8_t* s, int64_t n, const line_reader& lr) {
        close_file();
        int64_t k = 3;
        while (k < n && s[k] > 32 && s[k] < 128) k++;
        const uint8_t* path = s + 3;
        int64_t len = k - 3;
        // What follows the name was not written by the writer; a write-back
        // would lose it, so the cartridge did not load whole.
        for (int64_t i = k; i < n; i++)
            if (s[i] != ' ' && s[i] != '\t') whole = false;
        if (len == 5 && memcmp(path, "[eoc]", 5) == 0) return false;
        // A name of improper segments would land somewhere else than it
        // says: skipped, and the cartridge did not load whole.
        if (len == 0 || !entry_name_proper((const char*)path, len, path[len - 1] == '/')) {
            whole = false;
            return true;
        }
        dest = place(path, len);
        if (path[len - 1] == '/') {
            if (pmkdir(dest.c_str()) != 0 && !pdisk_directory_exists(dest.c_str(), 0)) whole = false;
            return true;
        }
        file = pfopen(dest.c_str(), "w");
        if (!file || !lands_at(file, path, len)) whole = false;
        if (file) {
            int64_t extent = lr.body_extent();
            bool encoded = extent >= 4 && (memcmp(lr.p, "hex$", 4) == 0 || memcmp(lr.p, "b64$", 4) == 0);
            int64_t bound = encoded ? extent / 4 * 3 + 4 : extent;
            body = create_buffer_2((int32_t)std::min<int64_t>(bound, BUFFER_MAX_CAPACITY - 1), PFILE_DATA_KIND);
            if (!body) whole = false;
        }
        return true;
    }

    void body_line(const uint8_t* s, int64_t n) {
        if (!file) return;
        if (form == BODY_NONE) {
            if (n >= 4 && memcmp(s, "hex$", 4) == 0) {
                form = BODY_HEX;
                s += 4;
                n -= 4;
            } else if (n >= 4 && memcmp(s, "b64$", 4) == 0) {
                form = BODY_B64;
                base64_init_decodestate(&b64);
                padded = false;
                s += 4;
                n -= 4;
            } else {
                form = BODY_TEXT;
            }
        }
        if (form == BODY_TEXT) {
            if (uint8_t* at = room(n + 1)) {
                memcpy(at, s, (size_t)n);
                at[n] = '\n';
                body->length += (int32_t)(n + 1);
            }
        } else if (n >= HVX_LINE_MAX) {
            krio_debugf("hvx: body line of %lld characters skipped in %s\n", (long long)n, folder.c_str());
            whole = false;
        } else if (form == BODY_HEX) {
            if (uint8_t* at = room(n / 2)) body->length += (int32_t)decode_hex(s, n, at, &whole);
        } else {
            if (uint8_t* at = room(base64_decode_bound(n)))
                body->length += (int32_t)decode_base64_line(s, n, at, &b64, &padded, &whole);
        }
    }
};

int read_v2(hvx_loader& ld, line_reader& lr) {
    const uint8_t* s;
    int64_t n;
    while (lr.next(&s, &n)) {
        if (n >= 3 && memcmp(s, ":: ", 3) == 0) {
            if (!ld.header(s, n, lr)) return ld.whole ? 0 : -1;
        } else {
            ld.body_line(s, n);
        }
    }
    ld.close_file();
    printf("** warning: no [eoc] found while mounting %s\n", ld.folder.c_str());
    // Everything there was read: a write-back loses nothing.
    return ld.whole ? 0 : -1;
}

int read_v1(hvx_loader& ld, line_reader& lr) {
    const uint8_t* s;
    int64_t n;
    int64_t missing = 0;
    std::string first_missing;
    while (lr.next(&s, &n)) {
        if (n < 2) break;
        if (s[0] == '#' && s[1] == '#') continue;
        int64_t k = 0;
        while (k < n && s[k] != ' ') k++;
        std::string path((const char*)s, (size_t)k);
        std::string rest((const char*)s + k, (size_t)(n - k));
        int attribs = atoi(rest.c_str());
        // Loaded as it is, but the text form it is written back in would
        // cut such a name short.
        if (!hvx_text_name_ok(path.data(), (int64_t)path.size())) ld.whole = false;
        // A NUL would cut the name short, to a ".." the check never saw; a
        // name of improper segments would land somewhere else.
        if (!entry_name_proper(path.data(), (int64_t)path.size(), attribs & 1)) {
            ld.whole = false;
            continue;
        }
        std::string dest = ld.folder + "/" + path;
        if (attribs & 1) {
            if (pmkdir(dest.c_str()) != 0 && !pdisk_directory_exists(dest.c_str(), 0)) ld.whole = false;
            continue;
        }
        size_t open = rest.find('['), close = rest.rfind(']');
        if (open == std::string::npos) {
            // Told once, after the whole file: every such entry echoed
            // would hand the file's bytes to the terminal.
            if (missing++ == 0) first_missing = escaped_for_log(s, n, HVX_LOG_LINE_MAX);
            ld.whole = false;
            continue;
        }
        size_t from = open + 3;
        size_t to = close == std::string::npos ? rest.size() : close;
        std::string bytes;
        if (to > from) {
            bytes.resize((to - from) / 2);
            bytes.resize((size_t)decode_hex((const uint8_t*)rest.data() + from, (int64_t)(to - from),
                                            (uint8_t*)bytes.data(), &ld.whole));
        }
        pfile* f = pfopen(dest.c_str(), "w");
        if (!f) {
            ld.whole = false;
            continue;
        }
        // A file placed anywhere but at its name (one ending in '/' would
        // come back as a folder) is not written back the same.
        if (!hvx_loader::lands_at(f, (const uint8_t*)path.data(), (int64_t)path.size())) ld.whole = false;
        if (!bytes.empty() && pfwrite(bytes.data(), 1, (int64_t)bytes.size(), f) != (int64_t)bytes.size())
            ld.whole = false;
        if (pfclose(f) != 0) ld.whole = false;
    }
    if (missing > 0)
        krio_debugf("hvx: %lld entries of %s have no contents, the first: %s\n", (long long)missing,
                    ld.folder.c_str(), first_missing.c_str());
    return ld.whole ? 0 : -1;
}

}  // namespace

int populate_ram_folder_from_hvx_buffer(const char* folder, buffer* text) {
    if (!folder || !text || !text->data) return -1;
    line_reader lr{text->data, text->data + text->length};
    const uint8_t* s;
    int64_t n;
    if (!lr.next(&s, &n) || !lr.next(&s, &n)) return -1;
    std::string line((const char*)s, (size_t)n);
    int version = 0;
    if (sscanf(line.c_str(), "version %d", &version) != 1) return -1;
    hvx_loader ld;
    ld.folder = folder;
    while (!ld.folder.empty() && ld.folder.back() == '/') ld.folder.pop_back();
    if (version != 1 && version != 2) {
        krio_debugf("hvx: version %d of %s not known\n", version, folder);
        return -1;
    }
    spend_cpu(hvx_cycles(text->length / CART_UNPACK_BYTES_PER_CYCLE));
    // A cartridge named inside the one being filled is not mounted meanwhile.
    int was_blocked = pdisk_block_automounting(1);
    int r = version == 1 ? read_v1(ld, lr) : read_v2(ld, lr);
    pdisk_block_automounting(was_blocked);
    return r;
}
