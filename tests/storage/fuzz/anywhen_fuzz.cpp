// libFuzzer target for the history store's readers and writers. The first
// byte picks the mode: 0 log lines (what parses must be written back the
// same), 1 location texts, 2 blob files (any content that decodes must
// re-encode to a blob that decodes to it again), 3 delta lines (written and
// read back, they must give the bytes again).
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int mode = data[0] & 3;
    const uint8_t* rest = data + 1;
    size_t n = size - 1;
    if (mode == 0) {
        std::string line((const char*)rest, n);
        anywhen_line l;
        if (anywhen_parse_line(line.c_str(), (int32_t)n, &l)) {
            const char* end = line.c_str() + n;
            if (l.path && (l.path < line.c_str() || l.path + l.path_len > end || l.path_len < 0)) abort();
            if (l.hash && (!anywhen_is_hash(l.hash) || l.hash + ANYWHEN_HASH_LEN > end)) abort();
            if (l.moment && l.moment + ANYWHEN_MOMENT_LEN > end) abort();
            // What parses is written back the same, line feed added.
            if (l.kind != '^' && l.kind != '|' && !memchr(line.data(), 0, n)) {
                std::string a = l.hash ? std::string(l.hash, ANYWHEN_HASH_LEN)
                                       : l.moment ? std::string(l.moment, ANYWHEN_MOMENT_LEN)
                                                  : std::string(l.path, (size_t)l.path_len);
                std::string b = l.hash ? std::string(l.path, (size_t)l.path_len) : std::string(l.text ? l.text : "");
                bool with_b = l.hash || (l.kind == '@' && n > 2 + ANYWHEN_MOMENT_LEN);
                buffer* out = create_buffer_2(64, 0);
                anywhen_write_line(out, l.kind, a.c_str(), with_b ? b.c_str() : nullptr);
                if (std::string((const char*)out->data, (size_t)out->length) != line + "\n") abort();
                destroy_buffer(out);
            }
        }
    } else if (mode == 1) {
        anywhen_location loc;
        if (anywhen_split_location((const char*)rest, n, &loc)) {
            if ((size_t)loc.path_len >= n || strlen(loc.path) != (size_t)loc.path_len) abort();
            if (loc.year && (loc.month > 99 || loc.day > 99)) abort();
        }
    } else if (mode == 2) {
        char why[160];
        buffer* b = anywhen_blob_decode(rest, (int64_t)n, nullptr, why, sizeof why);
        if (b && b->length > ANYWHEN_MAX_RAW) abort();
        if (b && b->length <= (1 << 20)) {
            char h[ANYWHEN_HASH_LEN + 1];
            anywhen_hash_hex(b->data, b->length, h);
            buffer* again = anywhen_blob_encode(b->data, b->length);
            buffer* back = again ? anywhen_blob_decode(again->data, again->length, h, why, sizeof why) : nullptr;
            if (!back || back->length != b->length || memcmp(back->data, b->data, (size_t)b->length) != 0) abort();
            destroy_buffer(back);
            destroy_buffer(again);
        }
        destroy_buffer(b);
    } else {
        buffer* lines = create_buffer_2(64, 0);
        buffer* back = create_buffer_2(64, 0);
        anywhen_write_delta_lines(lines, rest, (int64_t)n);
        const char* p = (const char*)lines->data;
        const char* end = p + lines->length;
        while (p < end) {
            const char* nl = (const char*)memchr(p, '\n', (size_t)(end - p));
            anywhen_line l;
            if (!nl || !anywhen_parse_line(p, (int32_t)(nl - p), &l) || l.kind != '|' ||
                l.text_len > 2 * ANYWHEN_HEX_LINE_BYTES || !anywhen_read_hex(back, l.text, l.text_len))
                abort();
            p = nl + 1;
        }
        if ((size_t)back->length != n || (n && memcmp(back->data, rest, n) != 0)) abort();
        destroy_buffer(lines);
        destroy_buffer(back);
    }
    return 0;
}
