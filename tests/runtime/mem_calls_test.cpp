// Memory calls as a script sees them: runs and their limits, sign extension,
// charges, fills and copies, other processes' bytes, and mapping a userdata
// onto addresses without ever reaching past its storage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lang/lang.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

using hvx_test::call;
using hvx_test::call_result;
using hvx_test::process_env;

namespace {

using strings = std::vector<std::string>;

struct mem_calls : ::testing::Test {
    process_env env;
    Process* p = env.spawn("");
    void SetUp() override { ASSERT_NE(p, nullptr); }
    // A typed userdata stored in the global `name`; its block.
    uint8_t* make_ud(const char* name, const char* type, int w, int h) {
        lua_State* L = p->L;
        set_current_process(p);
        uint8_t* b = create_userdata(L, type, 2, w, h, nullptr);
        lua_setglobal(L, name);
        return b;
    }
    uint8_t* global_ud(const char* name) {
        lua_getglobal(p->L, name);
        uint8_t* b = to_typed_userdata(p->L, -1);
        lua_pop(p->L, 1);
        return b;
    }
};

TEST_F(mem_calls, peek_runs_limits_and_charges) {
    hvx_poke8(p, 0x8000, 7);
    hvx_poke8(p, 0x8001, 8);
    call_result r = call(p, lua54_peek, "0x8000");
    EXPECT_EQ(r.values, strings{"7"});
    EXPECT_EQ(r.charged, 1);
    r = call(p, lua54_peek, "0x8000, 3");
    EXPECT_EQ(r.values, (strings{"7", "8", "0"}));
    EXPECT_EQ(r.charged, 2);
    EXPECT_TRUE(call(p, lua54_peek, "0x8000, 0").values.empty());
    EXPECT_TRUE(call(p, lua54_peek, "0x8000, 65537").values.empty());
    EXPECT_EQ(call(p, lua54_peek, "0x8000, 65536").values.size(), 65536u);
    // Numeric strings count; anything else reads address 0.
    EXPECT_EQ(call(p, lua54_peek, "'32768.9'").values, strings{"7"});
    hvx_poke8(p, 0, 42);
    EXPECT_EQ(call(p, lua54_peek, "{}").values, strings{"42"});
    // Single wider values are free.
    EXPECT_EQ(call(p, lua54_peek4, "0x8000").charged, 0);
    EXPECT_EQ(call(p, lua54_peek4, "0x8000, 4").charged, 3);
}

TEST_F(mem_calls, values_are_sign_extended_and_addresses_wrap) {
    for (uint32_t a = 0x9000; a < 0x9008; a++) hvx_poke8(p, a, 0xFF);
    EXPECT_EQ(call(p, lua54_peek2, "0x9000").values, strings{"-1"});
    EXPECT_EQ(call(p, lua54_peek4, "0x9000").values, strings{"-1"});
    EXPECT_EQ(call(p, lua54_peek8, "0x9000").values, strings{"-1"});
    EXPECT_EQ(call(p, lua54_peek, "0x9000").values, strings{"255"});
    hvx_poke8(p, 0xFFFFFF, 99);
    EXPECT_EQ(call(p, lua54_peek, "-1").values, strings{"99"});
    // A run straddles the end of the space into address 0.
    hvx_poke8(p, 0, 5);
    EXPECT_EQ(call(p, lua54_peek, "0xFFFFFF, 2").values, (strings{"99", "5"}));
    // A value across a page boundary.
    call(p, lua54_poke4, "0x8FFE, 0x12345678");
    EXPECT_EQ(hvx_peek32(p, 0x8FFE), 0x12345678u);
}

TEST_F(mem_calls, poke_runs_store_low_bits_and_charge) {
    call_result r = call(p, lua54_poke, "0x8000, 1, 2, 3");
    EXPECT_EQ(r.charged, 2);
    EXPECT_EQ(hvx_peek32(p, 0x8000) & 0xFFFFFF, 0x030201u);
    EXPECT_EQ(call(p, lua54_poke, "0x8000, 300").charged, 0);
    EXPECT_EQ(hvx_peek8(p, 0x8000), 44);
    hvx_poke8(p, 0x8100, 9);
    call(p, lua54_poke, "0x8100");
    EXPECT_EQ(hvx_peek8(p, 0x8100), 9);
    call(p, lua54_poke2, "0x8200, -2, 0x12345");
    EXPECT_EQ(hvx_peek16(p, 0x8200), 0xFFFEu);
    EXPECT_EQ(hvx_peek16(p, 0x8202), 0x2345u);
    // poke4 and poke8 convert as the language does: 1.5 is no integer.
    call(p, lua54_poke4, "0x8300, 1.5, 2.0, -1");
    EXPECT_EQ(hvx_peek32(p, 0x8300), 0u);
    EXPECT_EQ(hvx_peek32(p, 0x8304), 2u);
    EXPECT_EQ(hvx_peek32(p, 0x8308), 0xFFFFFFFFu);
    call(p, lua54_poke8, "0x8400, math.mininteger");
    EXPECT_EQ(hvx_peek64(p, 0x8400), 0x8000000000000000ull);
    // poke's values go through the integer reader: floats are floored.
    call(p, lua54_poke, "0x8500, -1.5, '7'");
    EXPECT_EQ(hvx_peek8(p, 0x8500), 254);
    EXPECT_EQ(hvx_peek8(p, 0x8501), 7);
}

TEST_F(mem_calls, too_many_values_write_nothing) {
    lua_State* L = p->L;
    set_current_process(p);
    ASSERT_EQ(luaL_dostring(L, "vals = {} for i = 1, 65537 do vals[i] = 1 end"), LUA_OK);
    call_result r = call(p, lua54_poke, "0x20000, table.unpack(vals)");
    EXPECT_EQ(hvx_peek8(p, 0x20000), 0);
    EXPECT_EQ(r.charged, 0);
    ASSERT_EQ(luaL_dostring(L, "vals[65537] = nil"), LUA_OK);
    call(p, lua54_poke, "0x20000, table.unpack(vals)");
    EXPECT_EQ(hvx_peek8(p, 0x20000 + 65535), 1);
}

TEST_F(mem_calls, fills_and_copies) {
    EXPECT_EQ(call(p, lua54_memset, "0x8000, 0x1FF, 4").charged, 1);
    EXPECT_EQ(hvx_peek32(p, 0x8000), 0xFFFFFFFFu);
    // Negative: nothing, free. Missing: nothing, one cycle.
    EXPECT_EQ(call(p, lua54_memset, "0x8000, 0, -1").charged, 0);
    EXPECT_EQ(call(p, lua54_memset, "0x8000, 7").charged, 1);
    EXPECT_EQ(hvx_peek8(p, 0x8000), 0xFF);
    // Overlapping copy forwards keeps memmove results.
    call(p, lua54_poke, "0x30000, 1, 2, 3, 4");
    call(p, lua54_memcpy, "0x30001, 0x30000, 3");
    EXPECT_EQ(hvx_peek32(p, 0x30000), 0x03020101u);
    // A length past 16 MB is cut to the whole space, which wraps onto itself.
    call_result r = call(p, lua54_memset, "0, 3, 0x7FFFFFFF");
    EXPECT_EQ(hvx_peek8(p, 0xFFFFFF), 3);
    EXPECT_EQ(hvx_peek8(p, 0x123456), 3);
    EXPECT_EQ(r.charged, 4096 * (4096 / 128 + 1));
}

TEST_F(mem_calls, other_processes_bytes) {
    Process* q = env.spawn("");
    ASSERT_NE(q, nullptr);
    hvx_poke32(q, 0x8000, 0xFFFFFF80u);
    EXPECT_EQ(call(p, lua54_ppeek, std::to_string(q->id) + ", 0x8000").values, strings{"128"});
    EXPECT_EQ(call(p, lua54_ppeek4, std::to_string(q->id) + ", 0x8000").values, strings{"-128"});
    EXPECT_EQ(call(p, lua54_ppeek, "9999, 0x8000").values, strings{"0"});
    EXPECT_EQ(call(p, lua54_ppeek4, "'x', 0x8000").values, strings{"0"});
}

TEST_F(mem_calls, map_a_userdata_onto_addresses) {
    uint8_t* ud = make_ud("u", "u8", 16, 16);
    ASSERT_NE(ud, nullptr);
    hvx_poke8(p, 0x20000 + 300, 77);  // backing storage beyond the mapping
    EXPECT_EQ(call(p, lua54_map_ram, "u, 0x20000").values, strings{"256"});
    EXPECT_EQ(p->page_len[0x20], 256);
    ud_data(ud)[5] = 11;
    EXPECT_EQ(hvx_peek8(p, 0x20005), 11);
    call(p, lua54_poke, "0x20006, 12");
    EXPECT_EQ(ud_data(ud)[6], 12);
    EXPECT_EQ(hvx_peek8(p, 0x20000 + 300), 77);
    // Below 0x10000 only whole pages are mapped.
    EXPECT_EQ(call(p, lua54_map_ram, "u, 0x8000").values, strings{"256"});
    EXPECT_EQ(p->page_ptr[8], p->backing_page[8]);

    call_result r = call(p, lua54_unmap_ram, "u");
    EXPECT_EQ(r.values, strings{"true"});
    EXPECT_EQ(r.charged, UNMAP_COST);
    EXPECT_EQ(hvx_peek8(p, 0x20005), 0);
    EXPECT_EQ(p->mapped_pages[0], 0u);
}

TEST_F(mem_calls, map_offsets_lengths_and_refusals) {
    make_ud("big", "u8", 4096, 3);  // three pages
    make_ud("f", "f64", 4, 4);
    make_ud("m", "i16", 8, 8);
    make_ud("b", "u8", 8, 8);
    // Offsets round down to a multiple of 4; a length runs no further than the storage.
    EXPECT_EQ(call(p, lua54_map_ram, "big, 0x40000, 4099, 100000").values, strings{"8192"});
    EXPECT_EQ(p->page_len[0x40], 4096);
    EXPECT_EQ(p->page_len[0x41], 4096);
    EXPECT_EQ(p->page_ptr[0x40], global_ud("big") + UD_HEADER_SIZE + 4096);
    EXPECT_EQ(p->page_len[0x42], 0);
    EXPECT_TRUE(call(p, lua54_map_ram, "big, 0x50000, 12288").values.empty());
    EXPECT_TRUE(call(p, lua54_map_ram, "big, 0x50000, -4").values.empty());
    EXPECT_EQ(call(p, lua54_map_ram, "big, 0x50000, 0, 0").values, strings{"0"});
    EXPECT_TRUE(call(p, lua54_map_ram, "f, 0x50000").values.empty());
    EXPECT_TRUE(call(p, lua54_map_ram, "{}, 0x50000").values.empty());
    EXPECT_TRUE(call(p, lua54_map_ram, "io, 0x50000").values.empty());
    // The end of the space is not passed.
    EXPECT_EQ(call(p, lua54_map_ram, "big, 0xFFF000").values, strings{"12288"});
    EXPECT_NE(p->page_ptr[4095], nullptr);
    EXPECT_EQ(p->page_len[0], 4096);
    EXPECT_EQ(p->page_ptr[0], p->backing_page[0]);
    // The map slot: an i16 userdata becomes the current map, anything else clears it.
    call(p, lua54_map_ram, "m, 0x100000");
    EXPECT_EQ(p->current_map, global_ud("m"));
    call(p, lua54_map_ram, "f, 0x100000");
    EXPECT_EQ(p->current_map, nullptr);
    call(p, lua54_map_ram, "m, 0x100000");
    call(p, lua54_map_ram, "b, 0x100000");
    EXPECT_EQ(p->current_map, nullptr);
}

TEST_F(mem_calls, partial_unmap_reports_pages_left) {
    make_ud("big", "u8", 4096, 3);
    call(p, lua54_map_ram, "big, 0x40000");
    // The length counts from the start of the storage: the first two pages
    // are covered, and only the second lies in the address range.
    EXPECT_EQ(call(p, lua54_unmap_ram, "big, 0x41000, 8192").values, strings{"false"});
    EXPECT_EQ(p->page_len[0x41], 0);
    EXPECT_NE(p->page_len[0x40], 0);
    EXPECT_NE(p->page_len[0x42], 0);
    // An address or a length at its extreme unmaps nothing.
    EXPECT_EQ(call(p, lua54_unmap_ram, "big, math.maxinteger").values, strings{"false"});
    EXPECT_EQ(call(p, lua54_unmap_ram, "big, 0x40000, math.mininteger").values, strings{"true"});
    EXPECT_NE(p->page_len[0x40], 0);
    EXPECT_EQ(call(p, lua54_unmap_ram, "big").values, strings{"true"});
    EXPECT_EQ(p->mapped_pages[1], 0u);
    EXPECT_TRUE(call(p, lua54_unmap_ram, "nil").values.empty());
}

TEST_F(mem_calls, a_mapped_userdata_outlives_its_last_reference) {
    uint8_t* ud = make_ud("u", "u8", 64, 64);
    call(p, lua54_map_ram, "u, 0x60000");
    ud[UD_HEADER_SIZE + 1] = 5;
    lua_State* L = p->L;
    ASSERT_EQ(luaL_dostring(L, "u = nil collectgarbage() collectgarbage()"), LUA_OK);
    // Still served from the same, live storage (ASan would see a freed block).
    EXPECT_EQ(hvx_peek8(p, 0x60001), 5);
    call(p, lua54_poke, "0x60002, 6");
    EXPECT_EQ(hvx_peek8(p, 0x60002), 6);
}

TEST_F(mem_calls, scripts_reach_the_calls_by_name) {
    lua_State* L = p->L;
    set_current_process(p);
    ASSERT_EQ(luaL_dostring(L, "poke4(0x5000, 0x1d2b53) memset(0x10000, 9, 480) "
                               "r = peek4(0x5000) .. ',' .. peek(0x101DF) .. ',' .. peek(0x101E0)"),
              LUA_OK)
        << lua_tostring(L, -1);
    lua_getglobal(L, "r");
    EXPECT_STREQ(lua_tostring(L, -1), "1911635,9,0");
    lua_pop(L, 1);
}

}  // namespace
