// Vectors and matrices, gathers and conversions as scripts see them; matrix
// products bit for bit against a plain triple loop summed the same way.
#include <random>

#include "tests/userdata/ud_script.h"

namespace {

using udtest::scripted;
using vecmat = scripted;

TEST_F(vecmat, vectors) {
    check({
        {"return vec(1, 2, 3):dot(vec(1, 1, 1, 100, 100)), userdata('f64', 2, 2, '1,2,3,4'):dot(vec(1, 1))",
         "6.0, 3.0"},
        {"return string.format('%.17g', vec(0.1):distance(vec(0))), vec(3, 4):magnitude()",
         "0.10000000149011612, 5.0"},
        {"return vec(1, 2):dot(userdata('i32', 2)), (vec(1):magnitude(5))", "nil, 1.0"},
        {"local c = vec(1, 0, 0):cross(vec(0, 1, 0, 7)) return show(c)", "[0.0 0.0 1.0 7.0]"},
        {"local a = vec(1, 0, 0) local r = a:cross(vec(0, 1, 0), true) return show(a), rawequal(a, r)",
         "[0.0 0.0 1.0], true"},
        {"local b = vec(0, 1, 0) vec(1, 0, 0):cross(b, b) return show(b)", "[0.0 0.0 1.0]"},
        {"return vec(1, 2):cross(vec(1, 2, 3)), (vec(1, 2, 3):cross(vec(1, 2, 3), vec(1, 2)))", "nil, nil"},
        {"local v = userdata('u8', 5, '0000000008') v:lerp() return show(v)", "[0 2 4 6 8]"},
        {"local v = userdata('u8', 5, 'c800000064') v:lerp() return show(v)", "[200 239 22 61 100]"},
        {"local v = vec(0, 0, 0, 0, 1, 0, 0, 0) v:lerp(0, 2, 2, 1) return show(v)",
         "[0.0 0.0 0.5 0.0 1.0 0.0 0.0 0.0]"},
        {"local v = userdata('i16', 3, 2) set(v, 0, 0, 0, 0, -8, 0, 0, 8) v:lerp() return show(v)",
         "[0 -4 -8 0 4 8]"},
        // A count of 256 on u8 divides by 256, never by zero.
        {"local v = userdata('u8', 257) v[256] = 255 v:lerp() return v[128], v[255]", "127, 254"},
        {"return vec(1, 2, 3):lerp(0, 2^40, 2^40), vec(1, 2, 3):lerp(0, 3), (vec(1, 2, 3):lerp(-1))", "nil, nil, nil"},
        // Overlapping spans: 2^46 elements written in a value of 2^24 are refused.
        {"return select('#', userdata('u8', 4096, 4096):lerp(0, 2^23, 1, 2^23, 1))", "0"},
    });
}

TEST_F(vecmat, rows_columns_transpose) {
    check({
        {"local m = userdata('i16', 3, 2, '000000010002000300040005') local r = m:row(1) "
         "return show(r), r:attribs()",
         "[3 4 5], 3, 1, i16, 2"},
        {"local m = userdata('i16', 3, 2, '000000010002000300040005') local c = m:column(2) "
         "return show(c), c:attribs()",
         "[2 5], 1, 2, i16, 2"},
        {"local m = userdata('u8', 3, 2) return m:row(2), m:column(3), (m:row(-1))", "nil, nil, nil"},
        {"local m = userdata('u8', 3, 2, '000102030405') m:transpose(true) return show(m), m:attribs()",
         "[0 3 2 1 4 5], 3, 2, u8, 2"},
        // Past one tile (32 x 32), whole tiles and cut ones: a copy, then in
        // place every element of the leading square and none beyond.
        {"local w, h = 70, 67 local m = userdata('i32', w, h) for i = 0, w * h - 1 do m[i] = i end "
         "local t, bad_copy, bad = m:transpose(), 0, 0 "
         "for r = 0, w - 1 do for c = 0, h - 1 do if t[r * h + c] ~= c * w + r then bad_copy += 1 end end end "
         "m:transpose(true) for r = 0, h - 1 do for c = 0, w - 1 do "
         "local want = c < h and c * w + r or r * w + c if m[r * w + c] ~= want then bad += 1 end end end "
         "return bad_copy, bad",
         "0, 0"},
        {"local m = userdata('u8', 3, 2, '000102030405') local t = m:transpose() return show(t), t:attribs()",
         "[0 3 1 4 2 5], 2, 3, u8, 2"},
        {"local m = userdata('u8', 3, 2, '000102030405') local o = userdata('u8', 2, 2) "
         "return rawequal(m:transpose(o), o), show(o), (m:transpose(vec(1, 2)))",
         "true, [0 3 1 4], nil"},
    });
}

TEST_F(vecmat, products) {
    check({
        {"local p = vec(1, 2, 3):matmul(userdata('f64', 1, 3, '4,5,6')) return show(p), p:attribs()",
         "[32.0], 1, 1, f64, 2"},
        {"return vec(1, 2, 3):matmul(userdata('f64', 1, 2)), (vec(1, 2):matmul(vec(1, 2), userdata('f64', 2, 2)))",
         "nil, nil"},
        {"local i = userdata('f64', 2, 2, '1,0,0,1') local m = userdata('f64', 2, 2, '1,2,3,4') "
         "return show(m:matmul(i), i:matmul(m))",
         "[1.0 2.0 3.0 4.0], [1.0 2.0 3.0 4.0]"},
        // Out = b: every batch reads b as it was.
        {"local a = userdata('f64', 2, 2, '1,2,3,4') local b = userdata('f64', 2, 2, '5,6,7,8') "
         "a:matmul(b, b, 1) return show(b)",
         "[19.0 22.0 43.0 50.0]"},
        {"local a = userdata('f64', 2, 2, '1,2,3,4') a:matmul(a, true, 1) return show(a)", "[7.0 10.0 15.0 22.0]"},
        {"return select('#', userdata('f64', 2, 3):matmul(userdata('f64', 2, 2), nil, 2))", "0"},
        // 2D: points by default k = height (1 or 3), directions and a point with 3.
        {"local b = userdata('f64', 2, 3, '0,1,-1,0,10,20') local p = userdata('f64', 2, 1, '1,2') "
         "return show(p:matmul2d(b))",
         "[8.0 21.0]"},
        {"local b = userdata('f64', 2, 3, '2,0,0,2,10,20') local a = userdata('f64', 2, 4, '1,0,0,1,1,1,9,9') "
         "a:matmul2d(b, true, 3) return show(a)",
         "[2.0 0.0 0.0 2.0 12.0 22.0 9.0 9.0]"},
        {"local b = userdata('f64', 2, 3, '2,0,0,2,10,20') local a = userdata('f64', 2, 2) "
         "return a:matmul2d(b), show(a:matmul2d(b, nil, 1))",
         "nil, [10.0 20.0 10.0 20.0]"},
        {"local b = userdata('f64', 2, 3) local a = userdata('f64', 2, 1) "
         "return a:matmul2d(b, vec(1)), (a:matmul2d(b, userdata('f64', 2, 1, '1,2'), 1) ~= nil)",
         "nil, true"},
        // 3D: (1, 2, 3) moved by (10, 20, 30).
        {"local b = userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,10,20,30') "
         "return show(userdata('f64', 3, 1, '1,2,3'):matmul3d(b))",
         "[11.0 22.0 33.0]"},
        // Four-row groups: the fourth row adds b's last row again after its
        // own term.
        {"local b = userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,10,20,30') "
         "local a = userdata('f64', 4, 4, '1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1') return show(a:matmul3d(b, nil, 4))",
         "[1.0 0.0 0.0 0.0 0.0 1.0 0.0 0.0 0.0 0.0 1.0 0.0 20.0 40.0 60.0 1.0]"},
        // A row wider than b's four rows uses four terms.
        {"local b = userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,0,0,0') local a = userdata('f64', 5, 4) set(a, 0, 0, "
         "1,1,1,1,100) return show(a:matmul3d(b, nil, 4):row(0))",
         "[1.0 1.0 1.0 1.0 100.0]"},
        {"local b = userdata('f64', 3, 4) local a = userdata('f64', 3, 2) "
         "return a:matmul3d(b), a:matmul3d(b, userdata('f64', 2, 2), 1), (a:matmul3d(b, nil, 3))",
         "nil, nil, nil"},
    });
}

// Products against a plain triple loop summed in order of m from 0, with
// every aliasing of the output and batches of one row.
TEST_F(vecmat, matmul_bit_exact) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> val(-3, 3);
    const int H = 13, W = 13, BW = 13;
    for (const char* form : {"a:matmul(b)", "a:matmul(b, true, 1)", "a:matmul(b, b, 1)", "a:matmul(b, out, 13)"}) {
        std::vector<double> A(H * W), B(W * BW), expect(H * BW);
        for (double& x : A) x = val(rng);
        for (double& x : B) x = val(rng);
        for (int i = 0; i < H; i++)
            for (int j = 0; j < BW; j++) {
                double sum = 0;
                for (int m = 0; m < W; m++) sum += A[i * W + m] * B[m * BW + j];
                expect[i * BW + j] = sum;
            }
        set_current_process(p);
        create_userdata(p->L, "f64", 2, W, H, nullptr);
        std::memcpy(ud_data(to_typed_userdata(p->L, -1)), A.data(), A.size() * 8);
        lua_setglobal(p->L, "a");
        create_userdata(p->L, "f64", 2, BW, W, nullptr);
        std::memcpy(ud_data(to_typed_userdata(p->L, -1)), B.data(), B.size() * 8);
        lua_setglobal(p->L, "b");
        ASSERT_EQ(run(std::string("out = userdata('f64', 13, 13) r = ") + form), "") << form;
        lua_getglobal(p->L, "r");
        const uint8_t* r = to_typed_userdata(p->L, -1);
        ASSERT_NE(r, nullptr) << form;
        EXPECT_EQ(std::memcmp(ud_data(r), expect.data(), expect.size() * 8), 0) << form;
        lua_pop(p->L, 1);
    }
}

// The ceiling is on the cost matmul charges, computed before any work, and
// holds exactly at 2^26 multiply-adds through the call: 256 x 256 times
// 256 x 1024 is made, 1025 wide is refused and leaves the output as it was.
// Sides whose product passes 64 bits still cost more than the ceiling.
TEST_F(vecmat, matmul_refused_exactly_above_its_ceiling) {
    EXPECT_EQ(ud_matmul_cost(UINT32_MAX, UINT32_MAX, UINT32_MAX), INT64_MAX);
    for (auto [bw, made] : {std::pair{1024, true}, std::pair{1025, false}}) {
        const std::string b = "userdata('f64', " + std::to_string(bw) + ", 256)";
        EXPECT_EQ(run("local a, b, o = userdata('f64', 256, 256), " + b + ", " + b +
                      " o[0] = 1 local r = a:matmul(b, o) return r == o, o[0], select('#', a:matmul(b))"),
                  made ? "true, 0.0, 1" : "false, 1.0, 0")
            << bw;
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 12; i++) {
        // Sides that land near the ceiling, each matrix small enough to make.
        const int64_t h = 1 + rng() % 1024, w = 1 + rng() % 512;
        const int64_t bw = ((int64_t)1 << 26) / (h * w) + (int64_t)(rng() % 3) - 1;
        if (bw < 1 || w * bw > (1 << 20) || h * bw > (1 << 20)) continue;
        const bool fits = (h * w * bw) >> 3 <= UD_MATMUL_MAX_COST;
        auto ud = [](int64_t width, int64_t height) {
            return "userdata('f64', " + std::to_string(width) + ", " + std::to_string(height) + ")";
        };
        const std::string code = "local a, b, o = " + ud(w, h) + ", " + ud(bw, w) + ", " + ud(bw, h) +
                                 " o[0] = 1 local r = a:matmul(b, o) return r ~= nil, o[0]";
        EXPECT_EQ(run(code), fits ? "true, 0.0" : "false, 1.0") << h << " " << w << " " << bw;
    }
}

TEST_F(vecmat, gather) {
    const char* idx = "userdata('i32', 3, '000000020000000000000001')";
    check({
        {std::string("return show(vec(10, 20, 30):take(") + idx + "))", "[30.0 10.0 20.0]"},
        {"local i = userdata('i32', 3, 'ffffffff0000000300000001') return show(vec(10, 20, 30):take(i))",
         "[0.0 0.0 20.0]"},
        {"local i = userdata('i32', 2, '0000000000000004') local s = userdata('u8', 6, '010203040506') "
         "local o = userdata('u8', 4, 2) s:take(i, o, 0, 0, 4) return show(o)",
         "[1 2 3 4 5 6 0 0]"},
        {"local i = userdata('i32', 2, 'fffffffe00000001') local s = userdata('u8', 4, '01020304') "
         "local o = userdata('u8', 3, 2) s:take(i, o, 0, 0, 3) return show(o)",
         "[1 0 0 2 3 4]"},
        {"local i = userdata('i32', 2, '0000000200000000') local s = userdata('u8', 3, '0a0b0c') "
         "local r = s:take(i, nil, 0, 0, 2) return show(r), r:attribs()",
         "[12 0 10 11], 2, 2, u8, 2"},
        {"local s = userdata('u8', 3, '0a0b0c') s:take(userdata('i32', 3, '000000010000000200000000'), true) "
         "return show(s)",
         "[11 12 10]"},
        {std::string("local o = userdata('f64', 2) vec(10, 20, 30):take(") + idx + ", o, 0, -1) return show(o)",
         "[10.0 20.0]"},
        {std::string("local o = userdata('f64', 4) vec(10, 20, 30):take(") + idx + ", o, 0, 3, 1, 1, -1) return show(o)",
         "[0.0 20.0 10.0 30.0]"},
        // Stride 0 repeats one index; a span of 0 makes no new value.
        {std::string("local o = userdata('f64', 4) vec(10, 20, 30):take(") + idx +
             ", o, 1, 0, 1, 0, 1, 3) return show(o)",
         "[10.0 10.0 10.0 0.0]"},
        {std::string("return vec(10, 20, 30):take(") + idx + ", nil, 0, 0, 0), vec(1):take(vec(1)), "
                                                             "(vec(1):take(" + idx + ", userdata('u8', 3)))",
         "nil, nil, nil"},
        {std::string("return show(vec(10, 20, 30):take(") + idx + ", nil, -2^62, 0, 1, 2^62, 1, -1))", "[0.0 0.0 0.0]"},
    });
}

TEST_F(vecmat, convert) {
    check({
        {"return show(vec(-0.5, 2.7):convert('i32'), vec(300, -1, nan, 1e300, -1e300):convert('u8'))",
         "[-1 2], [44 255 0 255 0]"},
        {"local a = userdata('i16', 2, 'fffffffe') return show(a:convert('u8'), a:convert('i64'), a:convert('f64'))",
         "[255 254], [-1 -2], [-1.0 -2.0]"},
        {"local a = userdata('u8', 2, 'ff01') return show(a:convert('i16'), a:convert('f64'))",
         "[255 1], [255.0 1.0]"},
        {"local d = userdata('u8', 3) local r = userdata('u8', 3, '010203'):convert(d, 1, 1, 1) "
         "return show(d), rawequal(r, d)",
         "[1 2 3], true"},
        {"local d = userdata('i32', 4) vec(1, 2, 3):convert(d, 1, 2) return show(d)", "[0 0 2 3]"},
        {"local d = userdata('i32', 4) vec(1, 2, 3):convert(d, -1, 0, 3) return show(d)", "[0 1 2 0]"},
        {"local d = userdata('i32', 2) vec(1, 2, 3):convert(d, 0, 0, 5) return show(d)", "[1 2]"},
        {"return show(vec(1.5):convert(), vec(1.5):convert('[gfx]0203abcdef'))", "[1], [1]"},
    });
}

TEST_F(vecmat, charges) {
    check_charges({
        {lua54_ud_convert, "vec(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16), userdata('u8', 16)", 2},
        {lua54_ud_convert, "userdata('i16', 64), userdata('i32', 64)", 1},
        {lua54_ud_convert, "userdata('i16', 64), userdata('i64', 64)", 2},
        {lua54_ud_convert, "userdata('i16', 64), userdata('f64', 64)", 4},
        {lua54_ud_take, "userdata('f64', 24), userdata('i32', 12), userdata('f64', 12)", 12 / 6 + 12 / 12},
        {lua54_ud_take, "userdata('u8', 48), userdata('i32', 24), userdata('u8', 96), 0, 0, 4", 24 / 6 + 96 / 24},
        {lua54_ud_dot, "vec(1, 2, 3, 4, 5, 6, 7, 8, 9), vec(1, 2, 3, 4, 5, 6, 7, 8, 9)", 2},
        {lua54_ud_matmul, "userdata('f64', 8, 8), userdata('f64', 8, 8), userdata('f64', 8, 8)", 64},
        {lua54_ud_lerp, "userdata('u8', 33, 2)", 4},
        {lua54_ud_transpose, "userdata('u8', 16, 8), true", 8 * 8 / 8},  // the leading square
        {lua54_ud_transpose, "userdata('u8', 16, 8), userdata('u8', 8, 16)", 16 * 8 / 8},
    });
}

}  // namespace
