// libFuzzer target for the path normaliser and the other path rules. The
// input is "pwd\0path" (or a path alone, taken against "/"). A normalised
// path must be absolute for an absolute working folder, hold no "." or ".."
// segment, no empty segment and no segment over the limit.
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/storage.h"

static void check_normal(const char* p, bool absolute_pwd, const char* input) {
    size_t n = strlen(p);
    if (n == 0) abort();
    bool absolute = input[0] == '/' || absolute_pwd;
    if (absolute && p[0] != '/') abort();
    if (n == 1) return;
    if (p[n - 1] == '/') abort();
    size_t i = p[0] == '/' ? 1 : 0;
    while (i <= n) {
        size_t j = i;
        while (j < n && p[j] != '/') j++;
        size_t seg = j - i;
        if (seg == 0) abort();
        if (seg > (size_t)PATH_SEGMENT_MAX) abort();
        if (seg == 1 && p[i] == '.') abort();
        if (seg == 2 && p[i] == '.' && p[i + 1] == '.') abort();
        i = j + 1;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in((const char*)data, size);
    std::string pwd = "/", path = in;
    size_t z = in.find('\0');
    if (z != std::string::npos) {
        pwd = in.substr(0, z);
        path = in.substr(z + 1);
        path = path.substr(0, path.find('\0'));
    }
    bool absolute_pwd = !pwd.empty() && pwd[0] == '/';
    buffer* b = normalise_halvoran_path_in(path.c_str(), pwd.c_str());
    if (b) {
        const char* r = (const char*)b->data;
        if (!is_legal_path(path.c_str()) || !is_legal_path(r)) abort();
        if (strlen(r) != (size_t)b->length) abort();
        // A location part may hold anything; the segment rules hold without one.
        if (absolute_pwd && pwd.find('#') == std::string::npos && path.find('#') == std::string::npos)
            check_normal(r, absolute_pwd, path.c_str());
        // Normalising an absolute result again changes nothing (a location
        // part may hold "://" and so is left out).
        if (r[0] == '/' && !strchr(r, '#')) {
            buffer* again = normalise_halvoran_path_in(r, "/");
            if (!again || strcmp((const char*)again->data, r) != 0) abort();
            destroy_buffer(again);
        }
        destroy_buffer(b);
    }
    buffer* c = collapse_path(path.c_str(), 0, 0);
    destroy_buffer(c);
    get_ext(path.c_str());
    get_prot(path.c_str());
    hvx_path_kind(path.c_str());
    int ab = compare_str_item(path.c_str(), pwd.c_str());
    int ba = compare_str_item(pwd.c_str(), path.c_str());
    if ((ab < 0 && ba < 0) || (ab > 0 && ba > 0) || (ab == 0) != (ba == 0)) abort();
    return 0;
}
