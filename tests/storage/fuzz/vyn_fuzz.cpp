// libFuzzer target for the object-data reader and its byte pieces. The
// first byte picks: a whole document (read under the message bounds or
// none; what reads must write and read again), a pxu piece, an lz4 piece or
// base64 text. Lua allocations are capped, so a memory error is one of the
// outcomes and must unwind cleanly.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lang/lang.h"
#include "storage/storage.h"
#include "userdata/userdata.h"

namespace {

constexpr size_t memory_cap = 96u << 20;

void* capped_alloc(void* ud, void* ptr, size_t osize, size_t nsize, int, size_t) {
    size_t* used = static_cast<size_t*>(ud);
    if (ptr == nullptr) osize = 0;
    if (nsize == 0) {
        *used -= osize;
        free(ptr);
        return nullptr;
    }
    if (nsize > osize && nsize - osize > memory_cap - *used) return nullptr;
    void* p = realloc(ptr, nsize);
    if (p) *used = *used - osize + nsize;
    return p;
}

struct input {
    const uint8_t* data;
    size_t size;
    int mode;
};

bool small_room(void* ctx, int64_t more) { return *static_cast<int64_t*>(ctx) + more < (8 << 20); }

int read_document(lua_State* L) {
    const input* in = static_cast<const input*>(lua_touserdata(L, 1));
    int64_t room = 0;
    vyn_read_limits limits{1024, 4, small_room, &room, nullptr};
    int n = destringify_object_ex(L, (const char*)in->data, (int64_t)in->size, (in->mode & 2) ? &limits : nullptr);
    if (n < 1) return 0;
    scoped_buffer b(create_buffer_2(64, VYN_SCRATCH_KIND));
    lua_pushvalue(L, 2);
    int w = stringify_object(L, -1, b, in->mode >> 2);
    if (w == 0 && destringify_object(L, (const char*)b->data, b->length) < 1) abort();
    return 0;
}

}  // namespace

// The reader reports a bad metadata header on standard output; the
// fuzzer's own report goes to standard error.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int mode = data[0];
    const uint8_t* p = data + 1;
    const int64_t n = (int64_t)size - 1;
    switch (mode & 3) {
    case 0:
    case 2: {
        size_t used = 0;
        lua_State* L = lua_newstate(capped_alloc, &used);
        if (!L) return 0;
        input in{p, (size_t)n, mode};
        lua_pushcfunction(L, read_document);
        lua_pushlightuserdata(L, &in);
        lua_pcall(L, 1, 0, 0);
        lua_close(L);
        break;
    }
    case 1: {
        pxu_header h;
        int64_t head = pxu_read_header(p, n, &h);
        if (head < 0) break;
        int64_t bytes = (int64_t)(((uint64_t)h.width * h.height) << (h.type & 7)) >> 3;
        if (bytes < 1 || bytes > UD_MAX_STORAGE) break;
        std::vector<uint8_t> out((size_t)bytes);
        int64_t body = pxu_decode_body(&h, p + head, n - head, out.data());
        if (body > n - head) abort();
        break;
    }
    case 3: {
        buffer* text = nullptr;
        int64_t len = (mode & 4) ? vyn_unpack_lz4(p, n, VYN_MAX_UNPACKED, &text) : -1;
        if (len > n) abort();
        destroy_buffer(text);
        if (!(mode & 4)) destroy_buffer(vyn_unwrap_b64(p, n, 1 << 20));
        break;
    }
    }
    return 0;
}
