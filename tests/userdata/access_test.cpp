// Element access and methods from scripts: constructors, get and set, keys,
// text form, queries, mutate, sort, peek and poke, and what each charges.
#include "tests/userdata/ud_script.h"

namespace {

using udtest::scripted;
using access = scripted;

TEST_F(access, constructors_and_queries) {
    check({
        {"return userdata('u8', 10):attribs()", "10, 1, u8, 1"},
        {"return userdata('i16', 3, 2):attribs()", "3, 2, i16, 2"},
        {"return show(userdata('u8', 3, '0a0b0c'))", "[10 11 12]"},
        {"local u = userdata('u8', 2, 2, '01020304') return show(u), u:height()", "[1 2 3 4], 2"},
        {"return show(userdata('[gfx]0203abcdef'))", "[10 11 12 13 14 15]"},
        {"return select('#', userdata('u8', 0)), select('#', userdata('u8', 2, -1))", "0, 0"},
        {"return show(vec(1, '2', {})), select('#', vec('x')), select('#', vec())", "[1.0 2.0 0.0], 0, 0"},
        {"local v = userdata('u8', 16) return v:height(), #v, v:width()", "nil, 16, 16"},
        {"return #userdata('u8', 3, 5)", "15"},
        {"return userdata('u8', 9, '313233343536373839'):crc()", "3421780262"},
    });
}

TEST_F(access, get_and_set) {
    check({
        {"return get(vec(1, 2, 3, 4), 2, 5)", "3.0, 4.0, 0, 0, 0"},
        {"return get(vec(1, 2), -0.5)", "0.0"},  // floored to -1
        {"local v = vec(1, 2) set(v, -0.5, 9) return show(v)", "[9.0 2.0]"},  // truncated to 0
        {"local v = userdata('i16', 3) set(v, 1, 7, 8, 9, 10) return show(v)", "[0 7 8]"},
        {"local v = userdata('u8', 2) v[0] = 5 set(v, 0) return show(v)", "[5 0]"},
        {"local u = userdata('i32', 3, 2) set(u, 1, 1, -5, 6) return get(u, 0, 1, 3)", "0, -5, 6"},
        {"return userdata('u8', 4, '01028004'):get()", "1, 2, 128, 4"},
        {"local u = userdata('i64', 2) u:set(0, math.mininteger, '12') return u:get(0, 2)",
         "-9223372036854775808, 12"},
        {"local b = userdata('u8', 480, 270) return select('#', get(b, 0, 5, 480))", "480"},
        // A 64-bit count is not narrowed; a negative one returns nothing.
        {"return select('#', get(userdata('u8', 4), 0, 4294967297))", "0"},
        {"return select('#', get(userdata('u8', 4), 0, -1))", "0"},
        {"local v = userdata('u8', 3) v[0] = 300 v[1] = -1.5 v[2] = nan return show(v)", "[44 254 0]"},
        {"local v = vec(1, 2) v.y = '7' v.x = {} return show(v)", "[0.0 7.0]"},
    });
    // Past the stack limit: nothing returned, nothing printed however often
    // it is asked, the refusal marked logged for the process, and its check paid.
    testing::internal::CaptureStdout();
    EXPECT_EQ(run("local b = userdata('u8', 480, 270) for i = 1, 3 do get(b) end return select('#', get(b))"), "0");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(p->limits_logged & LIMIT_LOGGED_GET_STACK, 0u);
    check_charges({{lua54_get, "userdata('u8', 480, 270)", UD_GET_REFUSAL_COST},
                   {lua54_get, "userdata('u8', 4), 0, 100001", UD_GET_REFUSAL_COST}});
}

TEST_F(access, keys_and_text) {
    check({
        {"local v = vec(1, 2, 3) return v.z, v.w, v.q, type(v.width), v.t, v[-1], v[3]",
         "3.0, nil, nil, function, nil, nil, nil"},
        {"local v = vec(1, 2, 3) v[1.5] = 7 return v[1.5], show(v)", "1.0, [1.0 7.0 3.0]"},
        {"local v = vec(1, 2, 3) v.w = 5 v[3] = 5 v.abc = 5 v[true] = 5 return show(v)", "[1.0 2.0 3.0]"},
        {"return tostring(vec(1, 2))", "(1, 2)"},
        {"return tostring(vec(0.5, 1e20, 3, 4, 5))", "(0.5, 1e+20, 3, 4, 5)"},
        {"return tostring(vec(1, 2, 3, 4, 5, 6)):match('^userdata: 0x%x+$') ~= nil", "true"},
        {"local m = userdata('f64', 3, 4) m[11] = 1 m[0] = 1/3 return tostring(m)",
         "(0.33333333333333, 0, 0),\n(0, 0, 0),\n(0, 0, 0),\n(0, 0, 1)"},
        {"return tostring(userdata('f64', 3, 2))", "(0, 0, 0)"},
        {"local v = userdata('i32', 2) return tostring(v) == 'userdata: ' .. string.format('%p', v)", "true"},
        {"local v = userdata('f64', 1) return tostring(v):match('^userdata: 0x%x+$') ~= nil", "true"},
    });
}

TEST_F(access, mutate) {
    check({
        {"local v = userdata('u8', 16) v:mutate('i32') return v:attribs()", "4, 1, i32, 1"},
        {"return vec(1, 2):mutate('i64')", "can not mutate between integer and float data types"},
        {"return userdata('u8', 4, 4):mutate('u8', 5, 4)", "new size is larger than old size"},
        // A derived width of 0, a side past 2^24 or a product past 64 bits.
        {"return userdata('u8', 3):mutate('i64')", "new size is larger than old size"},
        {"return userdata('u8', 16):mutate('u8', 2^62, 4)", "new size is larger than old size"},
        {"return userdata('u8', 16):mutate('u8', 4294967297, 1)", "new size is larger than old size"},
        {"local u = userdata('u8', 4, 4) u:mutate('u8', 3, 1) u[2] = 9 return #u, u:attribs()", "3, 3, 1, u8, 2"},
        {"local u = userdata('u8', 4, 4) u:mutate('u8', 8) return u:attribs()", "8, 1, u8, 1"},
        {"local u = userdata('u8', 4, 4) u:mutate('i16') return u:attribs()", "2, 4, i16, 2"},
        {"local u = userdata('i16', 4) u:mutate() return u:attribs()", "8, 1, u8, 1"},
        // The bytes behind a shrunk value stay where a mutation back finds them.
        {"local u = userdata('u8', 8, '0102030405060708') u:mutate('i32', 1) u:mutate('u8', 4) return show(u)",
         "[1 2 3 4]"},
    });
}

TEST_F(access, sort) {
    check({
        {"local m = userdata('i32', 2, 4) set(m, 0, 0, 3, 30, 1, 10, 4, 40, 2, 20) local c = m:sort() "
         "return show(m), c >= 3",
         "[1 10 2 20 3 30 4 40], true"},
        {"local m = userdata('i32', 2, 4) set(m, 0, 0, 3, 30, 1, 10, 4, 40, 2, 20) m:sort(1, true) return show(m)",
         "[4 40 3 30 2 20 1 10]"},
        {"local v = vec(3, 1, 2) v:sort() return show(v)", "[1.0 2.0 3.0]"},
        {"local v = userdata('u8', 3, 'ff0180') v:sort() return show(v)", "[1 128 255]"},
        {"local v = userdata('i16', 2, 'ffff0001') v:sort() return show(v)", "[-1 1]"},
        {"local v = userdata('i64', 3) set(v, 0, 5, math.mininteger, -1) v:sort(0, true) return show(v)",
         "[5 -1 -9223372036854775808]"},
        {"return select('#', vec(3, 1, 2):sort(1)), select('#', vec(3, 1, 2):sort(-1))", "0, 0"},
        {"local v = vec(2, nan, 1) return v:sort() >= 2, v[0] ~= v[0] or v[1] ~= v[1] or v[2] ~= v[2]",
         "true, true"},
    });
    // The charge follows the comparisons made: (row bytes / 128 + 1) * (c * 3 / 4).
    ASSERT_EQ(run("m = userdata('f64', 40, 50) for i = 0, 1999 do m[i] = (i * 7919) % 1000 end"), "");
    hvx_test::call_result r = hvx_test::call(p, lua54_ud_sort, "m, 3");
    ASSERT_EQ(r.values.size(), 1u);
    int64_t c = std::stoll(r.values[0]);
    EXPECT_GE(c, 49);
    EXPECT_EQ(r.charged, (320 / 128 + 1) * (c * 3 / 4));
    EXPECT_EQ(run("for r = 1, 49 do if m[r * 40 + 3] < m[r * 40 - 37] then return 'unsorted' end end"), "");
}

TEST_F(access, peek_and_poke) {
    check({
        {"local v = userdata('i16', 3) set(v, 0, 1, -2, 3) local r = v:poke(0x80000) "
         "local w = userdata('i16', 3) w:peek(0x80000) return show(w), peek(0x80002), rawequal(r, v)",
         "[1 -2 3], 254, true"},
        {"local w = userdata('i16', 3) w:peek(0x80000, -1) return show(w)", "[1 -2 3]"},
        {"local w = userdata('i16', 3) w:peek(0x80000, 1, 1) return show(w)", "[0 1 0]"},
        {"local w = userdata('i16', 3) w:peek(0x80000, 3) return show(w)", "[0 0 0]"},
        {"return select('#', vec(1):peek(0x80000)), select('#', vec(1):poke(0x80000))", "0, 0"},
        // Runs wrap at 24 bits.
        {"local v = userdata('u8', 4, '01020304') v:poke(0xfffffe) return peek(0xffffff), peek(0), peek(1)",
         "2, 3, 4"},
    });
    p->page_flags[0x90] = 0;
    EXPECT_EQ(run("userdata('u8', 2):poke(0x90fff)"), "");
    EXPECT_EQ(p->page_flags[0x90], PAGE_FLAG_WRITTEN);
}

// A mapped value shrunk by mutate unmaps every page it had: none may keep
// pointing into storage the collector then frees.
TEST_F(access, unmap_after_shrinking) {
    EXPECT_EQ(run("local u = userdata('u8', 8192) u[5000] = 7 _map_ram(u, 0x80000) local before = peek(0x81000 + 904) "
                  "u:mutate('u8', 1) _unmap_ram(u) u = nil collectgarbage() collectgarbage() "
                  "return before, peek(0x81000 + 904)"),
              "7, 0");
}

TEST_F(access, foreign_values_are_refused) {
    check({
        {"local f = function() return show end "
         "return select('#', USERDATA.set(debug.upvalueid(f, 1), 0, 5)), select('#', get(debug.upvalueid(f, 1)))",
         "0, 0"},
        {"return select('#', USERDATA.get(5)), select('#', USERDATA.width('u8')), select('#', USERDATA.crc())",
         "0, 0, 0"},
        {"local f = function() return show end return select('#', vec(1, 2):add(debug.upvalueid(f, 1)))", "0"},
    });
}

TEST_F(access, charges) {
    check_charges({
        // A new value also pays the allocator's 4 cycles.
        {lua54_userdata, "'u8', 16", 9 + 4},
        {lua54_userdata, "'u8', 16, '00112233445566778899aabbccddeeff'", 4 + 9 + 4},
        {lua54_get, "vec(1, 2, 3, 4), 2, 5", 2},
        {lua54_get, "vec(1, 2, 3, 4), 9", 0},
        {lua54_get, "vec(1, 2, 3, 4), 0, 0", 1},
        {lua54_set, "vec(1, 2, 3, 4), 0, 5, 6, 7", 0},
        {lua54_ud_clear, "userdata('f64', 64)", 8},
        {lua54_ud_clear, "userdata('u8', 10)", 1},
        {lua54_ud_crc, "userdata('f64', 64)", 8},  // as clear: one cycle per 64 bytes
        {lua54_ud_crc, "userdata('u8', 10)", 1},
        {lua54_ud_peek, "userdata('u8', 40), 0x80000", 10},
        {lua54_ud_poke, "userdata('i32', 40), 0x80000, 4", 9},
        {lua54_ud_peek, "userdata('u8', 8), 0x80000, 0, 0", 1},
        {lua54_ud_peek, "userdata('u8', 8), 0x80000, 0, -8", 0},
    });
}

}  // namespace
