// Small helpers shared by the storage modules; not part of the contract.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lang/lang.h"
#include "storage/storage.h"

// A buffer's bytes as text ("" for none).
static inline const char* btext(const buffer* b) { return b ? (const char*)b->data : ""; }


// A hex digit's value in either case; -1 for any other character.
static inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Bytes the codecs hand back from malloc (decoded pictures, encoded files).
struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using host_pixels = std::unique_ptr<uint8_t, free_deleter>;

// A path argument: text without NUL bytes (a NUL would cut the path short
// and name another file).
static inline bool path_arg(lua_State* L, int i, std::string* out) {
    return hvx_text_arg(L, i, out) && out->find('\0') == std::string::npos;
}

// True the first time a process meets this refusal about one cartridge:
// each is logged once.
bool once_per_process(const std::string& what);
// Charges one host folder operation on host_path (HOST_FOLDER_OP_COST and
// its path bytes) to the running process.
void charge_host_path_op(const char* host_path);

// A large buffer about to be filled has its pages made at once: taken one
// fault at a time, 64 MB costs the host more than the bytes themselves.
static inline void prefault_pages(void* p, size_t n) {
    const uintptr_t page = 4096;
    if (n < ((size_t)1 << 20)) return;
    uintptr_t from = ((uintptr_t)p + page - 1) & ~(page - 1);
    uintptr_t to = ((uintptr_t)p + n) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
    if (to > from) madvise((void*)from, to - from, MADV_POPULATE_WRITE);
#endif
}

static inline bool starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}
