// libFuzzer target for the object-data reader and its byte pieces. The
// first byte picks: a whole document (read under the message bounds or
// none; what reads must write and read again, to the same value: equal
// strings, integers, tables and userdata, floats to the bit or as the
// integer of their value), a pxu piece,
// an lz4 piece or base64 text. Lua allocations are capped, so a memory error is one of the
// outcomes and must unwind cleanly.
#include <cmath>
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

// Whether the writer writes a table key: strings and numbers only.
bool written_key(lua_State* L, int idx) {
    int t = lua_type(L, idx);
    return t == LUA_TSTRING || t == LUA_TNUMBER;
}

// Whether the value at b is the value at a read back: a table's written
// keys and their values; a float to its bits (any NaN equal to another),
// or the integer of its value.
bool same_value(lua_State* L, int a, int b) {
    a = lua_absindex(L, a);
    b = lua_absindex(L, b);
    const int t = lua_type(L, a);
    if (t != lua_type(L, b) || !lua_checkstack(L, 4)) return false;
    switch (t) {
    case LUA_TNUMBER: {
        if (lua_isinteger(L, a)) return lua_isinteger(L, b) && lua_tointeger(L, a) == lua_tointeger(L, b);
        double x = lua_tonumber(L, a);
        // A float of an integer's value is written as that integer.
        if (lua_isinteger(L, b)) return x == (double)lua_tointeger(L, b);
        double y = lua_tonumber(L, b);
        return (std::isnan(x) && std::isnan(y)) || memcmp(&x, &y, sizeof x) == 0;
    }
    case LUA_TUSERDATA: {
        const uint8_t* x = to_typed_userdata(L, a);
        const uint8_t* y = to_typed_userdata(L, b);
        if (!x || !y) return lua_rawequal(L, a, b);
        if (memcmp(x, y, UD_HEADER_SIZE) != 0) return false;
        if (ud_type(x) != UTYPE_F64) return memcmp(ud_data(x), ud_data(y), (size_t)ud_byte_count(x)) == 0;
        for (int64_t i = 0; i < ud_elements(x); i++) {
            double p, q;
            memcpy(&p, ud_data(x) + 8 * i, 8);
            memcpy(&q, ud_data(y) + 8 * i, 8);
            if (!(std::isnan(p) && std::isnan(q)) && memcmp(&p, &q, 8) != 0) return false;
        }
        return true;
    }
    case LUA_TTABLE: {
        int64_t count = 0;
        lua_pushnil(L);
        while (lua_next(L, a)) {
            if (!written_key(L, -2)) {
                lua_pop(L, 1);
                continue;
            }
            count++;
            lua_pushvalue(L, -2);
            lua_rawget(L, b);
            bool same = same_value(L, -2, -1);
            lua_pop(L, 2);
            if (!same) {
                lua_pop(L, 1);
                return false;
            }
        }
        lua_pushnil(L);
        while (lua_next(L, b)) {
            lua_pop(L, 1);
            if (written_key(L, -1)) count--;
        }
        return count == 0;
    }
    default:
        return lua_rawequal(L, a, b);
    }
}

int read_document(lua_State* L) {
    const input* in = static_cast<const input*>(lua_touserdata(L, 1));
    int64_t room = 0;
    vyn_read_limits limits{1024, 4, small_room, &room, nullptr};
    int n = destringify_object_ex(L, (const char*)in->data, (int64_t)in->size, (in->mode & 2) ? &limits : nullptr);
    if (n < 1) return 0;
    scoped_buffer b(create_buffer_2(64, VYN_SCRATCH_KIND));
    lua_pushvalue(L, 2);
    int w = stringify_object(L, -1, b, in->mode >> 2);
    if (w != 0) return 0;
    int again = destringify_object(L, (const char*)b->data, b->length);
    if (again < 1 || !same_value(L, 2, -again)) abort();
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
