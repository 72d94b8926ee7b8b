// The process address space: lazy pages, wrapping, flags, mapped pages, the
// bulk copy and fill with their costs.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/process_harness.h"

using hvx_test::process_env;

namespace {

struct mem_fixture : ::testing::Test {
    process_env env;
    Process* p = nullptr;
    void SetUp() override {
        p = env.spawn("while true do coroutine.yield() end");
        ASSERT_NE(p, nullptr);
        cproc = p;
    }
    void TearDown() override { cproc = nullptr; }
};

using AddressSpace = mem_fixture;

TEST_F(AddressSpace, UntouchedPagesReadZeroAndCountOnce) {
    uint64_t before = p->ram_bytes;
    EXPECT_EQ(peek(0x123456), 0);
    EXPECT_EQ(p->ram_bytes, before + 4096);
    EXPECT_EQ(peek(0x123000), 0);
    EXPECT_EQ(peek8(0x123FF0), 0u);
    EXPECT_EQ(p->ram_bytes, before + 4096);
    EXPECT_EQ(p->page_flags[0x123], 0);  // reads flag nothing
}

TEST_F(AddressSpace, AddressesWrapAt24Bits) {
    poke(0, 0x11);
    poke(1, 0x22);
    poke(2, 0x33);
    poke(0xFFFFFF, 0xAA);
    EXPECT_EQ(peek(0x1000000), 0x11);
    EXPECT_EQ((uint32_t)peek4(0xFFFFFF), 0x332211AAu);
    EXPECT_EQ(peek2(0xFFFFFF), 0x11AA);
    poke4(0xFFFFFE, (int32_t)0xDDCCBBAA);
    EXPECT_EQ(peek(0xFFFFFE), 0xAA);
    EXPECT_EQ(peek(0xFFFFFF), 0xBB);
    EXPECT_EQ(peek(0), 0xCC);
    EXPECT_EQ(peek(1), 0xDD);
}

TEST_F(AddressSpace, WritesFlagEveryTouchedPage) {
    p->page_flags[0] = p->page_flags[1] = 0;
    poke4(0x0FFE, 0x01020304);
    EXPECT_EQ(p->page_flags[0], PAGE_FLAG_WRITTEN);
    EXPECT_EQ(p->page_flags[1], PAGE_FLAG_WRITTEN);
    EXPECT_EQ(peek4(0x0FFE), 0x01020304);
    p->page_flags[2] = 0;
    poke8(0x2000, -2);
    EXPECT_EQ(p->page_flags[2], PAGE_FLAG_WRITTEN);
    EXPECT_EQ((int64_t)peek8(0x2000), -2);
    EXPECT_EQ(peek4_proc(nullptr, 0), 0u);
    poke_proc(nullptr, 0, 1);  // nothing
}

TEST_F(AddressSpace, PartlyMappedPageServesTheRestFromItsOwnPage) {
    std::vector<uint8_t> ud(1000);
    for (int i = 0; i < 1000; i++) ud[i] = (uint8_t)(i * 7);
    hvx_map_page(p, 0x20, ud.data(), 1000);
    EXPECT_EQ(p->mapped_pages[0], (uint64_t)1 << 0x20);
    EXPECT_EQ(peek(0x20000 + 999), (uint8_t)(999 * 7));
    uint64_t before = p->ram_bytes;
    EXPECT_EQ(peek(0x20000 + 1000), 0);
    EXPECT_EQ(p->ram_bytes, before + 4096);
    EXPECT_EQ(p->page_ptr[0x20], ud.data());  // still mapped
    poke(0x20000 + 1000, 5);
    poke(0x20000 + 3, 6);
    EXPECT_EQ(ud[3], 6);
    EXPECT_EQ(p->backing_page[0x20][1000], 5);
    // A value straddling the end of the mapped stretch.
    poke2(0x20000 + 999, 0x0102);
    EXPECT_EQ(ud[999], 2);
    EXPECT_EQ(p->backing_page[0x20][1000], 1);
    hvx_unmap_page(p, 0x20);
    EXPECT_EQ(p->mapped_pages[0], 0u);
    EXPECT_EQ(peek(0x20000 + 3), 0);
    EXPECT_EQ(peek(0x20000 + 1000), 1);
}

TEST_F(AddressSpace, FillCosts) {
    EXPECT_EQ(hvx_memset(0x8000, 7, 4096), 33);
    EXPECT_EQ(hvx_memset(0x8100, 7, 4096), 34);
    EXPECT_EQ(peek(0x8100 + 4095), 7);
    EXPECT_EQ(peek(0x8100 + 4096), 0);
    EXPECT_EQ(hvx_memset(0x8000, 7, 0), 0);
    EXPECT_EQ(hvx_memset(0x8000, 7, -1), 0);
}

TEST_F(AddressSpace, FillWrapsFromNegativeAddresses) {
    hvx_memset(-5, 9, 10);
    EXPECT_EQ(peek(0xFFFFFB), 9);
    EXPECT_EQ(peek(0xFFFFFF), 9);
    EXPECT_EQ(peek(4), 9);
    EXPECT_EQ(peek(5), 0);
    hvx_memset(INT32_MAX - 2, 1, 100);
    EXPECT_EQ(peek((uint32_t)INT32_MAX), 1);
    EXPECT_EQ(hvx_memset(0, 3, 0x1000000) > 0, true);  // the whole space
    EXPECT_EQ(peek(0xABCDEF), 3);
}

TEST_F(AddressSpace, OverlappingCopyIsAMemmove) {
    for (int i = 0; i < 801; i++) poke(0x10000 + i, (uint8_t)i);
    EXPECT_EQ(hvx_memcpy(0x10001, 0x10000, 800), 100);
    for (int i = 0; i < 800; i++) ASSERT_EQ(peek(0x10001 + i), (uint8_t)i) << i;
    EXPECT_EQ(hvx_memcpy(0x10000, 0x10001, 800), 100);
    for (int i = 0; i < 800; i++) ASSERT_EQ(peek(0x10000 + i), (uint8_t)i) << i;
    EXPECT_EQ(hvx_memcpy(0x10000, 0x10000, 800), 0);
    EXPECT_EQ(hvx_memcpy(0x10000, 0x20000, 0), 0);
    EXPECT_EQ(hvx_memcpy(0x10000, 0x20000, -4), 0);
}

TEST_F(AddressSpace, DisjointCopyCostsPerChunk) {
    for (int i = 0; i < 4096; i++) poke(0x30000 + i, (uint8_t)(i ^ 0x5A));
    EXPECT_EQ(hvx_memcpy(0x50000, 0x30000, 4096), 33);
    EXPECT_EQ(hvx_memcpy(0x60100, 0x30000, 4096), 31 + 3);
    for (int i = 0; i < 4096; i++) {
        ASSERT_EQ(peek(0x50000 + i), (uint8_t)(i ^ 0x5A));
        ASSERT_EQ(peek(0x60100 + i), (uint8_t)(i ^ 0x5A));
    }
    EXPECT_EQ(p->page_flags[0x61], PAGE_FLAG_WRITTEN);
}

TEST_F(AddressSpace, CopiesWrapAndNeverLeaveTheTables) {
    poke(0xFFFFF0, 0x42);
    hvx_memcpy(0x100, -16, 32);  // source wraps past the top
    EXPECT_EQ(peek(0x100), 0x42);
    hvx_memcpy(-8, 0x100, 16);  // destination wraps
    EXPECT_EQ(peek(0xFFFFF8), 0x42);
    hvx_memcpy(INT32_MAX - 10, INT32_MIN + 5, 4096);
    EXPECT_EQ(hvx_memcpy(0x7FFFF000, 0x100, 0x1000000), 0x1000000 / 8);
}

TEST_F(AddressSpace, CopyBetweenTwoMappingsOfOneUserdata) {
    std::vector<uint8_t> ud(4096);
    for (int i = 0; i < 4096; i++) ud[i] = (uint8_t)i;
    hvx_map_page(p, 0x70, ud.data(), 4096);
    hvx_map_page(p, 0x80, ud.data(), 4096);
    // Disjoint addresses, the same bytes underneath.
    hvx_memcpy(0x80001, 0x70000, 1000);
    for (int i = 0; i < 1000; i++) ASSERT_EQ(ud[1 + i], (uint8_t)i) << i;
}

TEST_F(AddressSpace, MultiByteFastPathMatchesByteComposition) {
    std::vector<uint8_t> ud(1500);
    hvx_map_page(p, 0x90, ud.data(), 1500);
    std::mt19937 rng(7);
    for (int n = 0; n < 3000; n++) {
        uint32_t a = 0x8FFF0 + rng() % 0x2020;
        uint64_t v = ((uint64_t)rng() << 32) | rng();
        int w = 1 << (rng() % 4);
        if (w == 1) poke(a, (uint8_t)v);
        if (w == 2) poke2(a, (int64_t)v);
        if (w == 4) poke4(a, (int32_t)v);
        if (w == 8) poke8(a, (int64_t)v);
        uint64_t composed = 0;
        for (int i = 0; i < 8; i++) composed |= (uint64_t)peek(a + i) << (8 * i);
        ASSERT_EQ(peek8(a), composed);
        ASSERT_EQ((uint32_t)peek4(a), (uint32_t)composed);
        ASSERT_EQ(peek2(a), (uint16_t)composed);
        uint64_t mask = w == 8 ? ~0ull : ((1ull << (8 * w)) - 1);
        ASSERT_EQ(composed & mask, v & mask);
    }
}

TEST_F(AddressSpace, PageCopyBetweenProcessesRespectsShortMappings) {
    Process* q = env.spawn("while true do coroutine.yield() end");
    ASSERT_NE(q, nullptr);
    std::vector<uint8_t>* src = new std::vector<uint8_t>(100, 0xEE);
    hvx_map_page(p, 0x200, src->data(), 100);
    poke_proc(p, 0x200000 + 100, 0x77);  // the source's own page behind the mapping
    std::vector<uint8_t>* dst = new std::vector<uint8_t>(50, 0);
    hvx_map_page(q, 0x200, dst->data(), 50);
    hvx_pmemcpy_pages(p, q, 0x200000, 0x201000);
    EXPECT_EQ(q->page_len[0x200], 50);
    EXPECT_EQ((*dst)[49], 0xEE);
    EXPECT_EQ(peek_proc(q, 0x200000 + 50), 0xEE);
    EXPECT_EQ(peek_proc(q, 0x200000 + 99), 0xEE);
    EXPECT_EQ(peek_proc(q, 0x200000 + 100), 0x77);
    EXPECT_EQ(peek_proc(q, 0x200000 + 4095), 0);
    // A page the source never touched is skipped.
    hvx_pmemcpy_pages(p, q, 0x300000, 0x301000);
    EXPECT_EQ(q->page_ptr[0x300], nullptr);
    hvx_unmap_page(p, 0x200);
    hvx_unmap_page(q, 0x200);
    delete src;
    delete dst;
}

}  // namespace
