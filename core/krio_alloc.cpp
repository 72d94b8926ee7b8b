// Counted host-heap blocks. Each block starts with an 8-byte header (magic
// word, requested size) so that a free can tell a foreign or already freed
// block; freed payloads are poisoned so stale reads stand out.
#include "core/core.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

struct krio_header {
    uint32_t magic;
    uint32_t size;
};
static_assert(sizeof(krio_header) == 8);

// The host heap keeps its free-list links in the first 16 bytes of a freed
// block. The header sits just past them, so that a second free of the block
// still finds the freed marks instead of list pointers.
static constexpr size_t HOST_LINKS = 16;
static constexpr size_t OVERHEAD = HOST_LINKS + sizeof(krio_header);

// Workers may allocate too, so the counters are atomic.
static std::atomic<uint32_t> total_malloced{0};
static std::atomic<uint32_t> total_mallocs{0};
static std::atomic<uint32_t> total_deallocs{0};

uint32_t krio_total_malloced() { return total_malloced.load(); }
uint32_t krio_total_mallocs() { return total_mallocs.load(); }
uint32_t krio_total_deallocs() { return total_deallocs.load(); }

static uint8_t* header_of(void* p) { return static_cast<uint8_t*>(p) - sizeof(krio_header); }
static uint8_t* host_block_of(void* p) { return static_cast<uint8_t*>(p) - OVERHEAD; }

// Reading the header of an already freed block is the point of the check, so
// the address sanitizer is told to let this read through.
__attribute__((no_sanitize("address"))) static krio_header read_header(const uint8_t* h) {
    krio_header r;
    __builtin_memcpy(&r, h, sizeof r);
    return r;
}

static void write_header(uint8_t* h, uint32_t magic, uint32_t size) {
    krio_header r{magic, size};
    memcpy(h, &r, sizeof r);
}

// A block not made here, or freed before: report both header words and stop,
// since carrying on would corrupt the heap.
[[noreturn]] static void bad_block(const char* who, krio_header h) {
    char line[64];
    snprintf(line, sizeof line, "%s fail %x %x\n", who, h.magic, h.size);
    fputs(line, stdout);
    fflush(stdout);
    krio_debug(line);
    fflush(nullptr);
    std::abort();
}

void krio_poison(void* payload, uint32_t size) {
    uint8_t* d = static_cast<uint8_t*>(payload);
    const uint64_t two = uint64_t(KRIO_POISON) << 32 | KRIO_POISON;
    size_t words = size / 4, i = 0;
    for (; i + 2 <= words; i += 2) memcpy(d + i * 4, &two, 8);
    if (i < words) memcpy(d + i * 4, &KRIO_POISON, 4);
}

void* krio_malloc(uint32_t n) {
    if (n > KRIO_MAX_ALLOC) return nullptr;
    total_mallocs++;
    if (n == 0) return nullptr;
    uint8_t* block = static_cast<uint8_t*>(malloc(size_t(n) + OVERHEAD));
    if (!block) return nullptr;
    write_header(block + HOST_LINKS, KRIO_MAGIC_LIVE, n);
    total_malloced += n;
    return block + OVERHEAD;
}

void* krio_realloc(void* p, uint32_t n) {
    if (!p) return krio_malloc(n);
    if (n > KRIO_MAX_ALLOC) return nullptr;
    krio_header h = read_header(header_of(p));
    if (h.magic != KRIO_MAGIC_LIVE) bad_block("krio_realloc", h);
    // On failure realloc leaves the old block as it was, header included.
    uint8_t* block = static_cast<uint8_t*>(realloc(host_block_of(p), size_t(n) + OVERHEAD));
    if (!block) return nullptr;
    write_header(block + HOST_LINKS, KRIO_MAGIC_LIVE, n);
    total_malloced += n - h.size;
    return block + OVERHEAD;
}

void krio_free(void* p) {
    if (!p) return;
    total_deallocs++;
    krio_header h = read_header(header_of(p));
    if (h.magic != KRIO_MAGIC_LIVE) bad_block("krio_free", h);
    krio_poison(p, h.size);
    total_malloced -= h.size;
    write_header(header_of(p), KRIO_MAGIC_FREED, KRIO_SIZE_FREED);
    free(host_block_of(p));
}
