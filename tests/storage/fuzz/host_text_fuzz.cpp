// libFuzzer target for the host-text decoder. The first byte picks the mode:
// even - the rest is decoded as host text, held at its exact size; odd - the
// rest is 8-bit text, which must come back from UTF-8 without its carriage
// returns, and as a fetched file without those before a line feed.
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t* rest = data + 1;
    size_t n = size - 1;
    if ((data[0] & 1) == 0) {
        buffer* b = decode_host_text_bytes(rest, (int64_t)n);
        if (!b || b->length < 0 || (size_t)b->length > n) abort();
        destroy_buffer(b);
        return 0;
    }
    std::string text((const char*)rest, strnlen((const char*)rest, n));
    std::string want;
    for (char c : text)
        if (c != '\r') want += c;
    buffer* utf8 = encode_host_text(text.c_str());
    if (!utf8) abort();
    buffer* back = decode_host_text(utf8);
    if (!back || std::string((const char*)back->data, (size_t)back->length) != want) abort();
    destroy_buffer(back);
    std::string crlf_gone;
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) crlf_gone += text[i];
    back = decode_host_text_file(utf8);
    if (!back || std::string((const char*)back->data, (size_t)back->length) != crlf_gone) abort();
    destroy_buffer(back);
    destroy_buffer(utf8);
    return 0;
}
