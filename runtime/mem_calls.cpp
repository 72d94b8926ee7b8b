// Memory calls: the script-visible reads and writes of a process's address
// space, fills and copies, reads of another process's memory, and mapping a
// typed userdata onto addresses.
#include <cstring>

#include "lang/lang.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

static int64_t tointeger_arg(lua_State* L, int idx) {
    int isnum = 0;
    lua_Integer v = lua_tointegerx(L, idx, &isnum);
    return isnum ? v : 0;
}

// Run length of the peek calls; 0 when out of range or the stack cannot hold it.
static int run_length(lua_State* L, int idx) {
    int64_t n = hvx_intp(L, idx, 1);
    if (n < 1 || n > MEM_RUN_MAX) return 0;
    return lua_checkstack(L, (int)n) ? (int)n : 0;
}

template <int Bytes>
static lua_Integer read_value(uint32_t a) {
    if constexpr (Bytes == 1) return peek(a);
    if constexpr (Bytes == 2) return (int16_t)peek2(a);
    if constexpr (Bytes == 4) return peek4(a);
    return (lua_Integer)peek8(a);
}

template <int Bytes>
static int peek_run(lua_State* L, uint32_t addr) {
    int n = run_length(L, 2);
    if (!n) return 0;
    // A single byte costs a cycle; single wider values are free.
    if (Bytes == 1 || n > 1) spend_cpu(n - 1);
    for (int i = 0; i < n; i++) lua_pushinteger(L, read_value<Bytes>(addr + (uint32_t)i * Bytes));
    return n;
}

int lua54_peek(lua_State* L) { return peek_run<1>(L, (uint32_t)hvx_trunc_arg(L, 1)); }
int lua54_peek2(lua_State* L) { return peek_run<2>(L, (uint32_t)hvx_trunc_arg(L, 1)); }
int lua54_peek4(lua_State* L) { return peek_run<4>(L, (uint32_t)hvx_intp(L, 1, 0)); }
int lua54_peek8(lua_State* L) { return peek_run<8>(L, (uint32_t)hvx_intp(L, 1, 0)); }

// Values from argument 2 on; none at all when there are too many.
template <int Bytes, bool Tointeger>
static int poke_run(lua_State* L, uint32_t addr) {
    int k = lua_gettop(L) - 1;
    if (k < 1 || k > MEM_RUN_MAX) return 0;
    if (k >= 2) spend_cpu(k - 1);
    for (int i = 0; i < k; i++) {
        int64_t v = Tointeger ? tointeger_arg(L, i + 2) : hvx_intp(L, i + 2, 0);
        uint32_t a = addr + (uint32_t)i * Bytes;
        if constexpr (Bytes == 1) poke(a, (uint8_t)v);
        if constexpr (Bytes == 2) poke2(a, v);
        if constexpr (Bytes == 4) poke4(a, (int32_t)(uint32_t)v);
        if constexpr (Bytes == 8) poke8(a, v);
    }
    return 0;
}

int lua54_poke(lua_State* L) { return poke_run<1, false>(L, (uint32_t)hvx_trunc_arg(L, 1)); }
int lua54_poke2(lua_State* L) { return poke_run<2, false>(L, (uint32_t)hvx_intp(L, 1, 0)); }
int lua54_poke4(lua_State* L) { return poke_run<4, true>(L, (uint32_t)hvx_intp(L, 1, 0)); }
int lua54_poke8(lua_State* L) { return poke_run<8, true>(L, (uint32_t)hvx_intp(L, 1, 0)); }

int lua54_ppeek(lua_State* L) {
    Process* p = get_process(tointeger_arg(L, 1));
    lua_pushinteger(L, p ? peek_proc(p, (uint32_t)hvx_trunc_arg(L, 2)) : 0);
    return 1;
}

int lua54_ppeek4(lua_State* L) {
    Process* p = get_process(tointeger_arg(L, 1));
    lua_pushinteger(L, p ? (int32_t)peek4_proc(p, (uint32_t)hvx_trunc_arg(L, 2)) : 0);
    return 1;
}

// Fill and copy lengths: negative does nothing (and is free); above 16 MB is cut.
static int32_t fill_length(lua_State* L, int idx) {
    int32_t n = hvx_trunc_arg(L, idx);
    return n > MEM_FILL_MAX ? MEM_FILL_MAX : n;
}

int lua54_memset(lua_State* L) {
    int32_t n = fill_length(L, 3);
    if (n < 0) return 0;
    spend_cpu(hvx_memset(hvx_trunc_arg(L, 1), (uint8_t)hvx_trunc_arg(L, 2), n));
    return 0;
}

int lua54_memcpy(lua_State* L) {
    int32_t n = fill_length(L, 3);
    if (n < 0) return 0;
    spend_cpu(hvx_memcpy(hvx_trunc_arg(L, 1), hvx_trunc_arg(L, 2), n));
    return 0;
}

// ---------------------------------------------------------------------------
// Mapping a userdata onto addresses
// ---------------------------------------------------------------------------

// A mapped userdata (or the current map) is held for the host until it is
// unmapped, so the page tables never serve freed storage.
int lua54_map_ram(lua_State* L) {
    uint8_t* ud = to_typed_userdata(L, 1);
    Process* p = cproc;
    if (!ud || !p) return 0;
    int type = ud_type(ud);
    int64_t size = ud_byte_count(ud);
    int32_t addr = hvx_trunc_arg(L, 2);
    if ((uint32_t)addr == ADDR_MAP_SLOT) {
        p->current_map = type == UTYPE_I16 && hvx_anchor(L, 1, true) ? ud : nullptr;
    }
    if (type == UTYPE_F64) return 0;
    int64_t offset = hvx_trunc_arg(L, 3) & ~3;
    // A negative offset would map the bytes in front of the elements.
    if (offset < 0 || size <= offset) return 0;
    int64_t len = lua_isnumber(L, 4) ? hvx_trunc_arg(L, 4) : size - offset;
    if (len < 1) {
        lua_pushinteger(L, len);
        return 1;
    }
    // Never past the userdata's storage.
    if (len > size - offset) len = size - offset;

    if (!hvx_anchor(L, 1, true)) return 0;  // storage nothing holds is never mapped
    uint8_t* data = ud_data(ud) + offset;
    const int first = (int)(((uint32_t)addr & HVX_ADDR_MASK) >> HVX_PAGE_SHIFT);
    const int64_t count = (len + HVX_PAGE_SIZE - 1) / HVX_PAGE_SIZE;
    for (int64_t k = 0; k < count && first + k < HVX_PAGES; k++) {
        int pg = (int)(first + k);
        int64_t rem = len - k * HVX_PAGE_SIZE;
        // The first pages always keep storage of their own: only whole pages
        // are mapped there.
        if (pg < INITIAL_PAGES && rem < HVX_PAGE_SIZE) continue;
        hvx_map_page(p, pg, data + k * HVX_PAGE_SIZE, (int32_t)(rem < HVX_PAGE_SIZE ? rem : HVX_PAGE_SIZE));
    }
    lua_pushinteger(L, len);
    return 1;
}

int lua54_unmap_ram(lua_State* L) {
    uint8_t* ud = to_typed_userdata(L, 1);
    Process* p = cproc;
    if (!ud || !p) return 0;
    // The whole storage, not the element bytes: a value shrunk by mutate
    // keeps the pages mapped past its new size.
    const int64_t size = (int64_t)lua_rawlen(L, 1) - (int64_t)UD_HEADER_SIZE;
    int64_t addr = hvx_intp(L, 2, -1);
    int64_t len = hvx_intp(L, 3, size);
    int64_t covered = len < size ? len : size;
    const uint8_t* covered_end = ud_data(ud) + (covered > 0 ? covered : 0);
    const uint8_t* storage_end = ud_data(ud) + size;

    int64_t lo = 0, hi = HVX_PAGES - 1;
    if (addr >= 0) {
        lo = addr / HVX_PAGE_SIZE;
        hi = (int64_t)(((__int128)addr + covered - 1) / HVX_PAGE_SIZE);  // any address and length
    }
    bool left_in_range = false;  // a covered page outside the range stays mapped
    bool any_left = false;       // any page still on this userdata
    for (int g = 0; g < HVX_PAGES / 64; g++) {
        if (!p->mapped_pages[g]) continue;
        for (int pg = g * 64; pg < g * 64 + 64; pg++) {
            if (!(p->mapped_pages[g] & ((uint64_t)1 << (pg % 64)))) continue;
            const uint8_t* ptr = p->page_ptr[pg];
            if (ptr < ud || ptr >= storage_end) continue;
            if (ptr < covered_end && pg >= lo && pg <= hi) {
                hvx_unmap_page(p, pg);
                continue;
            }
            any_left = true;
            if (ptr < covered_end) left_in_range = true;
        }
    }
    if (!any_left && p->current_map != ud) hvx_anchor(L, 1, false);
    spend_cpu(UNMAP_COST);
    lua_pushboolean(L, !left_in_range);
    return 1;
}
