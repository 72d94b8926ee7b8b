// Process address space: lazily created 4 KB pages, pages aliased onto typed
// userdata storage, little-endian accessors and the bulk copy and fill.
#include <cstdlib>
#include <cstring>

#include "core/core.h"

uint8_t* hvx_page_slow(Process* p, uint32_t pg, uint32_t o) {
    if ((int32_t)o < p->page_len[pg]) return p->page_ptr[pg] + o;
    if (!p->backing_page[pg]) {
        uint8_t* page = (uint8_t*)std::calloc(1, HVX_PAGE_SIZE);
        if (!page) {
            krio_debugf("** out of host memory allocating page %u of process %lld **\n", pg,
                        (long long)p->id);
            std::abort();
        }
        p->backing_page[pg] = page;
        p->ram_bytes += HVX_PAGE_SIZE;
        if (p->page_len[pg] == 0) {
            p->page_ptr[pg] = page;
            p->page_len[pg] = HVX_PAGE_SIZE;
        }
    }
    return p->backing_page[pg] + o;
}

// Where a run starting at addr is stored, and how many bytes of it lie in
// that one place (to the end of the mapped stretch or of the page).
static inline uint8_t* resolve_run(Process* p, uint32_t addr, int64_t* room) {
    uint32_t pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
    if ((int32_t)o < p->page_len[pg]) {
        *room = p->page_len[pg] - (int64_t)o;
        return p->page_ptr[pg] + o;
    }
    *room = HVX_PAGE_SIZE - (int64_t)o;
    return hvx_page_slow(p, pg, o);
}

static inline int32_t clamp_cost(int64_t c) { return c > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)c; }

void hvx_read_run(Process* p, uint32_t addr, uint8_t* dst, int64_t len) {
    uint32_t a = addr & HVX_ADDR_MASK;
    while (p && len > 0) {
        int64_t room;
        const uint8_t* s = resolve_run(p, a, &room);
        int64_t chunk = len < room ? len : room;
        std::memmove(dst, s, (size_t)chunk);  // the page may be mapped onto dst itself
        dst += chunk;
        len -= chunk;
        a = (uint32_t)(a + chunk) & HVX_ADDR_MASK;
    }
}

void hvx_write_run(Process* p, uint32_t addr, const uint8_t* src, int64_t len) {
    uint32_t a = addr & HVX_ADDR_MASK;
    while (p && len > 0) {
        int64_t room;
        uint8_t* d = resolve_run(p, a, &room);
        int64_t chunk = len < room ? len : room;
        std::memmove(d, src, (size_t)chunk);
        hvx_mark_written(p, a >> HVX_PAGE_SHIFT);
        src += chunk;
        len -= chunk;
        a = (uint32_t)(a + chunk) & HVX_ADDR_MASK;
    }
}

int32_t hvx_memset_proc(Process* p, int32_t addr, uint8_t value, int32_t len) {
    if (!p || len < 1) return 0;
    uint32_t a = (uint32_t)addr & HVX_ADDR_MASK;
    int64_t rem = len, cost = 0;
    while (rem > 0) {
        int64_t room;
        uint8_t* d = resolve_run(p, a, &room);
        int64_t chunk = rem < room ? rem : room;
        std::memset(d, value, (size_t)chunk);
        hvx_mark_written(p, a >> HVX_PAGE_SHIFT);
        cost += chunk / 128 + 1;
        rem -= chunk;
        a = (uint32_t)(a + chunk) & HVX_ADDR_MASK;
    }
    return clamp_cost(cost);
}

int32_t hvx_memcpy_proc(Process* p, int32_t dst, int32_t src, int32_t len) {
    if (!p || dst == src || len < 1) return 0;
    const int64_t space = (int64_t)HVX_ADDR_MASK + 1;
    uint32_t d = (uint32_t)dst & HVX_ADDR_MASK, s = (uint32_t)src & HVX_ADDR_MASK;
    int64_t ahead = ((int64_t)d - s + space) % space;   // from source forward to destination
    int64_t behind = ((int64_t)s - d + space) % space;  // from destination forward to source
    bool wraps = d + (int64_t)len > space || s + (int64_t)len > space;
    if (ahead < len || behind < len || wraps) {
        // Byte by byte through the single accessors, in the direction that
        // gives memmove results when the ranges overlap.
        if (ahead < len && ahead != 0) {
            for (int64_t i = len - 1; i >= 0; i--)
                hvx_poke8(p, (uint32_t)(d + i), hvx_peek8(p, (uint32_t)(s + i)));
        } else {
            for (int64_t i = 0; i < len; i++)
                hvx_poke8(p, (uint32_t)(d + i), hvx_peek8(p, (uint32_t)(s + i)));
        }
        return len / 8;
    }
    int64_t rem = len, cost = 0;
    while (rem > 0) {
        int64_t droom, sroom;
        uint8_t* dp = resolve_run(p, d, &droom);
        const uint8_t* sp = resolve_run(p, s, &sroom);
        int64_t chunk = rem;
        if (droom < chunk) chunk = droom;
        if (sroom < chunk) chunk = sroom;
        // The same storage can sit behind two address ranges (a userdata
        // mapped twice), so the chunks may overlap in memory.
        std::memmove(dp, sp, (size_t)chunk);
        hvx_mark_written(p, d >> HVX_PAGE_SHIFT);
        cost += chunk / 128 + 1;
        rem -= chunk;
        d += (uint32_t)chunk;
        s += (uint32_t)chunk;
    }
    return clamp_cost(cost);
}

int32_t hvx_memset(int32_t addr, uint8_t value, int32_t len) {
    return hvx_memset_proc(cproc, addr, value, len);
}
int32_t hvx_memcpy(int32_t dst, int32_t src, int32_t len) {
    return hvx_memcpy_proc(cproc, dst, src, len);
}

void hvx_pmemcpy_pages(Process* from, Process* to, uint32_t start, uint32_t end) {
    if (!from || !to) return;
    uint32_t first = start / HVX_PAGE_SIZE, last = end / HVX_PAGE_SIZE;
    if (last > (uint32_t)HVX_PAGES) last = HVX_PAGES;
    uint8_t page[HVX_PAGE_SIZE];
    for (uint32_t pg = first; pg < last; pg++) {
        if (!from->page_ptr[pg]) continue;
        // Source: its mapped stretch, then its own page or zeros.
        int32_t flen = from->page_len[pg];
        std::memcpy(page, from->page_ptr[pg], (size_t)flen);
        if (flen < HVX_PAGE_SIZE) {
            if (from->backing_page[pg])
                std::memcpy(page + flen, from->backing_page[pg] + flen, (size_t)(HVX_PAGE_SIZE - flen));
            else
                std::memset(page + flen, 0, (size_t)(HVX_PAGE_SIZE - flen));
        }
        // Destination: the same split, never past a short mapped stretch.
        uint8_t* own = hvx_page_slow(to, pg, HVX_PAGE_SIZE - 1) - (HVX_PAGE_SIZE - 1);
        int32_t tlen = to->page_len[pg];
        std::memmove(to->page_ptr[pg], page, (size_t)tlen);
        if (tlen < HVX_PAGE_SIZE) std::memcpy(own + tlen, page + tlen, (size_t)(HVX_PAGE_SIZE - tlen));
    }
}

void hvx_map_page(Process* p, int pg, uint8_t* data, int32_t len) {
    if (!p || pg < 0 || pg >= HVX_PAGES || !data || len < 1) return;
    if (len > HVX_PAGE_SIZE) len = HVX_PAGE_SIZE;
    p->page_ptr[pg] = data;
    p->page_len[pg] = len;
    p->mapped_pages[pg / 64] |= (uint64_t)1 << (pg % 64);
    hvx_mark_written(p, (uint32_t)pg);
}

void hvx_unmap_page(Process* p, int pg) {
    if (!p || pg < 0 || pg >= HVX_PAGES) return;
    p->page_ptr[pg] = p->backing_page[pg];
    // With its own page present the whole page is served from it at once.
    p->page_len[pg] = p->backing_page[pg] ? HVX_PAGE_SIZE : 0;
    p->mapped_pages[pg / 64] &= ~((uint64_t)1 << (pg % 64));
    hvx_mark_written(p, (uint32_t)pg);
    if (pg == (int)(ADDR_MAP_SLOT >> HVX_PAGE_SHIFT)) p->current_map = nullptr;
}

void hvx_free_pages(Process* p) {
    if (!p) return;
    for (int pg = 0; pg < HVX_PAGES; pg++) std::free(p->backing_page[pg]);
    std::memset(p->page_ptr, 0, sizeof p->page_ptr);
    std::memset(p->page_len, 0, sizeof p->page_len);
    std::memset(p->page_flags, 0, sizeof p->page_flags);
    std::memset(p->backing_page, 0, sizeof p->backing_page);
    std::memset(p->mapped_pages, 0, sizeof p->mapped_pages);
    p->audio_lines = 0;
    p->current_map = nullptr;
    p->ram_bytes = 0;
}
