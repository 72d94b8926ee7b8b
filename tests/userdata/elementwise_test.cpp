// The element-wise engine against a naive sequential reference (random types,
// operations, offsets, strides, spans, walk orders and aliasing, with guard
// bytes around every array), then the operations' edge cases as scripts see
// them, their charges and the walks that must be refused or cut short.
#include <cmath>
#include <cstring>
#include <random>

#include "tests/userdata/ud_script.h"

namespace {

// ---------------------------------------------------------------------------
// Reference: values widened to int64 or double, each operation computed on
// them directly, then narrowed to the element width.
// ---------------------------------------------------------------------------

struct value {
    int64_t i = 0;
    double f = 0;
};

int bytes_of(int code) { return ud_elem_bytes(code); }

value load(int code, const std::vector<uint8_t>& v, int64_t at) {
    value r;
    const uint8_t* p = v.data() + at * bytes_of(code);
    switch (code) {
    case UTYPE_U8: r.i = *p; break;
    case UTYPE_I16: { int16_t x; std::memcpy(&x, p, 2); r.i = x; break; }
    case UTYPE_I32: { int32_t x; std::memcpy(&x, p, 4); r.i = x; break; }
    case UTYPE_I64: std::memcpy(&r.i, p, 8); break;
    default: std::memcpy(&r.f, p, 8); break;
    }
    return r;
}

void store(int code, std::vector<uint8_t>& v, int64_t at, value x) {
    uint8_t* p = v.data() + at * bytes_of(code);
    if (code == UTYPE_F64) std::memcpy(p, &x.f, 8);
    else std::memcpy(p, &x.i, (size_t)bytes_of(code));  // low bytes, little-endian
}

// Sign- or zero-extends the low bits of x as the element type holds them.
int64_t narrow(int code, int64_t x) {
    switch (code) {
    case UTYPE_U8: return (uint8_t)x;
    case UTYPE_I16: return (int16_t)x;
    case UTYPE_I32: return (int32_t)x;
    default: return x;
    }
}

int64_t ref_to_int(double d) {  // NaN 0, saturate, truncate
    if (std::isnan(d)) return 0;
    if (d >= 0x1p63) return INT64_MAX;
    if (d <= -0x1p63) return INT64_MIN;
    return (int64_t)std::trunc(d);
}

value ref_number(int code, double n) {
    value v;
    if (code == UTYPE_F64) v.f = n;
    else v.i = narrow(code, ref_to_int(n));
    return v;
}

int64_t type_max(int code) {
    return code == UTYPE_U8 ? 255 : code == UTYPE_I16 ? 32767 : code == UTYPE_I32 ? INT32_MAX : INT64_MAX;
}

value ref_op(int op, int code, value l, value r) {
    value o;
    if (code == UTYPE_F64) {
        double a = l.f, b = r.f;
        switch (op) {
        case UD_OP_ADD: o.f = a + b; break;
        case UD_OP_SUB: o.f = a - b; break;
        case UD_OP_MUL: o.f = a * b; break;
        case UD_OP_MIN: o.f = a < b ? a : b; break;
        case UD_OP_MAX: o.f = a > b ? a : b; break;
        case UD_OP_COPY: o.f = b; break;
        case UD_OP_DIV: o.f = b == 0 ? std::copysign(DBL_MAX, a < 0 ? -1 : 1) : a / b; break;
        case UD_OP_IDIV: o.f = b == 0 ? std::copysign(DBL_MAX, a < 0 ? -1 : 1) : std::floor(a / b); break;
        case UD_OP_MOD: {
            o.f = b == 0 ? 0 : std::fmod(a, b);
            if (o.f != 0 && (o.f < 0) != (b < 0)) o.f += b;
            break;
        }
        case UD_OP_POW: o.f = b == 2 ? a * a : std::pow(a, b); break;
        case UD_OP_SGN: o.f = b >= 0 ? 1 : -1; break;
        case UD_OP_SGN0: o.f = b > 0 ? 1 : b == 0 ? 0 : -1; break;
        case UD_OP_ABS: o.f = b < 0 ? -b : b; break;
        }
        return o;
    }
    const int64_t a = l.i, b = r.i;
    const uint64_t ua = (uint64_t)a, ub = (uint64_t)b;
    const int bits = bytes_of(code) * 8;
    switch (op) {
    case UD_OP_ADD: o.i = (int64_t)(ua + ub); break;
    case UD_OP_SUB: o.i = (int64_t)(ua - ub); break;
    case UD_OP_MUL: o.i = (int64_t)(ua * ub); break;
    case UD_OP_MIN: o.i = a < b ? a : b; break;
    case UD_OP_MAX: o.i = a > b ? a : b; break;
    case UD_OP_COPY: o.i = b; break;
    case UD_OP_DIV:
    case UD_OP_IDIV:
        if (b == 0) o.i = a < 0 ? -type_max(code) : type_max(code);
        else o.i = (int64_t)((__int128)a / b);
        break;
    case UD_OP_MOD: {
        if (b == 0) break;
        __int128 q = (__int128)a / b;
        if ((__int128)a % b != 0 && ((a < 0) != (b < 0))) q--;  // floor
        o.i = (int64_t)((__int128)a - q * b);
        break;
    }
    case UD_OP_POW: o.i = b == 2 ? (int64_t)(ua * ua) : ref_to_int(std::pow((double)a, (double)b)); break;
    case UD_OP_BAND: o.i = a & b; break;
    case UD_OP_BOR: o.i = a | b; break;
    case UD_OP_BXOR: o.i = a ^ b; break;
    case UD_OP_SHL: o.i = (int64_t)(ua << (ub & (bits == 64 ? 63 : 31))); break;
    case UD_OP_SHR: o.i = a >> (ub & (bits == 64 ? 63 : 31)); break;
    case UD_OP_SGN: o.i = b < 0 ? -1 : 1; break;
    case UD_OP_SGN0: o.i = (b > 0) - (b < 0); break;
    case UD_OP_ABS: o.i = b < 0 ? (int64_t)(0 - ub) : b; break;
    }
    o.i = narrow(code, o.i);
    return o;
}

// The walk exactly as described: span by span, or element position by
// element position when len < spans, testing every position.
int64_t ref_walk(int op, int code, int form, std::vector<uint8_t>& dst, const std::vector<uint8_t>* a_store,
                 std::vector<uint8_t>* a_alias, const std::vector<uint8_t>* b, int64_t na, int64_t nb, double n,
                 const ud_walk& w) {
    const bool t = w.len < w.spans;
    const int64_t outer = t ? w.len : w.spans, inner = t ? w.spans : w.len;
    const int64_t od = t ? 1 : w.dst_stride, os = t ? 1 : w.src_stride;
    const int64_t id = t ? w.dst_stride : 1, is = t ? w.src_stride : 1;
    const value num = ref_number(code, n);
    int64_t done = 0;
    for (int64_t j = 0; j < outer; j++)
        for (int64_t k = 0; k < inner; k++) {
            int64_t d = w.dst_off + j * od + k * id, s = w.src_off + j * os + k * is;
            if (d < 0 || d >= na || (form == UD_FORM_AB && (s < 0 || s >= nb))) continue;
            value av = load(code, a_alias ? *a_alias : *a_store, d);
            value l = form == UD_FORM_NA ? num : av;
            value r = form == UD_FORM_AB ? load(code, *b, s) : form == UD_FORM_AN ? num : av;
            store(code, dst, d, ref_op(op, code, l, r));
            done++;
        }
    return done;
}

bool same_elements(int code, const std::vector<uint8_t>& x, const std::vector<uint8_t>& y, int64_t n) {
    for (int64_t i = 0; i < n; i++) {
        value a = load(code, x, i), b = load(code, y, i);
        if (code == UTYPE_F64 ? !(a.f == b.f && std::signbit(a.f) == std::signbit(b.f)) &&
                                    !(std::isnan(a.f) && std::isnan(b.f))
                              : a.i != b.i)
            return false;
    }
    return true;
}

const int codes[] = {UTYPE_U8, UTYPE_I16, UTYPE_I32, UTYPE_I64, UTYPE_F64};

void fill_random(std::mt19937_64& rng, int code, std::vector<uint8_t>& v, int64_t n) {
    static const double specials[] = {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -7.5, 1e300, -1e300, NAN, INFINITY, -INFINITY};
    for (int64_t i = 0; i < n; i++) {
        value x;
        if (code == UTYPE_F64) {
            x.f = rng() % 3 == 0 ? specials[rng() % std::size(specials)] : (double)((int64_t)(rng() % 2001) - 1000) / 8;
        } else {
            uint64_t pick = rng() % 4;
            x.i = pick == 0 ? (int64_t)rng() : pick == 1 ? (int64_t)(rng() % 7) - 3 : pick == 2 ? 2 : (int64_t)(rng() % 300);
        }
        store(code, v, i, x);
    }
}

int32_t small_walk_arg(std::mt19937_64& rng, int lo, int hi) { return lo + (int32_t)(rng() % (uint64_t)(hi - lo + 1)); }

// Random rounds against the reference. Narrow rounds: small arrays and walk
// arguments around them, every sign. Wide rounds: long walks with strides
// far larger than the arrays, so that most positions fall outside.
void differential(uint64_t seed, int rounds, bool wide) {
    std::mt19937_64 rng(seed);
    constexpr int64_t GUARD = 64;
    for (int round = 0; round < rounds; round++) {
        const int code = codes[rng() % 5];
        const int op = (int)(rng() % UD_OP_COUNT);
        if (!ud_op_supports(op, code)) continue;
        const int form = (int)(rng() % 3);
        // 0 distinct, 1 dst is a, 2 dst a b all one, 3 b is a, 4 dst is b.
        const int alias = form == UD_FORM_AB ? (int)(rng() % 5) : (int)(rng() % 2);
        const int64_t size = wide ? 300 : 40;
        const int64_t na = 1 + (int64_t)(rng() % size);
        const int64_t nb = alias >= 2 ? na : 1 + (int64_t)(rng() % size);
        ud_walk w;
        if (wide) {
            w.src_off = small_walk_arg(rng, -3000, 3000);
            w.dst_off = small_walk_arg(rng, -3000, 3000);
            w.len = small_walk_arg(rng, 0, 200);
            w.spans = small_walk_arg(rng, 0, 200);
            w.src_stride = small_walk_arg(rng, -900, 900);
            w.dst_stride = small_walk_arg(rng, -900, 900);
        } else {
            w.src_off = small_walk_arg(rng, -12, 45);
            w.dst_off = small_walk_arg(rng, -12, 45);
            w.len = small_walk_arg(rng, -2, 24);
            w.src_stride = small_walk_arg(rng, -7, 7);
            w.dst_stride = small_walk_arg(rng, -7, 7);
            w.spans = small_walk_arg(rng, -2, 24);
        }
        const double n = rng() % 2 ? (double)((int64_t)(rng() % 41) - 20) : (double)(int64_t)rng() * 1e-3;

        const int es = bytes_of(code);
        auto make = [&](int64_t count) {
            std::vector<uint8_t> v((size_t)(count * es + 2 * GUARD), 0xA5);
            std::vector<uint8_t> body((size_t)(count * es));
            fill_random(rng, code, body, count);
            std::memcpy(v.data() + GUARD, body.data(), body.size());
            return v;
        };
        std::vector<uint8_t> A = make(na), B = make(nb), D = make(na);
        const std::vector<uint8_t> guard_a = A, guard_b = B, guard_d = D;
        // The engine's operands, aliased as chosen.
        uint8_t* dst = (alias == 1 || alias == 2) ? A.data() + GUARD : alias == 4 ? B.data() + GUARD : D.data() + GUARD;
        const uint8_t* a = A.data() + GUARD;
        const uint8_t* b = form != UD_FORM_AB ? nullptr : (alias == 2 || alias == 3) ? A.data() + GUARD : B.data() + GUARD;

        // The reference works on copies of the element bytes, aliased alike.
        auto body = [&](const std::vector<uint8_t>& v, int64_t count) {
            return std::vector<uint8_t>(v.begin() + GUARD, v.begin() + GUARD + count * es);
        };
        std::vector<uint8_t> rA = body(A, na), rB = body(B, nb), rD = body(D, na);
        std::vector<uint8_t>& rdst = (alias == 1 || alias == 2) ? rA : alias == 4 ? rB : rD;
        std::vector<uint8_t>* a_alias = (alias == 1 || alias == 2) ? &rA : nullptr;
        const std::vector<uint8_t>* rb = (alias == 2 || alias == 3) ? &rA : &rB;
        int64_t expect_done = ref_walk(op, code, form, rdst, &rA, a_alias, form == UD_FORM_AB ? rb : nullptr, na,
                                       nb, n, w);

        ASSERT_EQ(ud_walk_count(w, na, form == UD_FORM_AB ? nb : -1), expect_done) << round;
        int64_t done = ud_elementwise(op, code, form, dst, a, b, na, nb, n, w);
        ASSERT_EQ(done, expect_done) << round;
        ASSERT_TRUE(same_elements(code, body(A, na), rA, na)) << "a, round " << round << " op " << op;
        ASSERT_TRUE(same_elements(code, body(B, nb), rB, nb)) << "b, round " << round << " op " << op;
        ASSERT_TRUE(same_elements(code, body(D, na), rD, na)) << "dst, round " << round << " op " << op;
        for (auto* pair : {&A, &B, &D}) {
            const std::vector<uint8_t>& before = pair == &A ? guard_a : pair == &B ? guard_b : guard_d;
            ASSERT_TRUE(std::equal(pair->begin(), pair->begin() + GUARD, before.begin())) << round;
            ASSERT_TRUE(std::equal(pair->end() - GUARD, pair->end(), before.end() - GUARD)) << round;
        }
    }
}

TEST(elementwise_engine, matches_sequential_reference) { differential(20, 30000, false); }
TEST(elementwise_engine, matches_sequential_reference_on_wide_walks) { differential(7, 3000, true); }

// ---------------------------------------------------------------------------
// As scripts see them
// ---------------------------------------------------------------------------

using udtest::scripted;
using elementwise = scripted;

TEST_F(elementwise, arithmetic) {
    check({
        {"local a = userdata('i16', 3, '000100020003') local r = a + 1 return show(r, a)", "[2 3 4], [1 2 3]"},
        {"local a = userdata('i16', 3) return rawequal(a:add(1, true), a), show(a)", "true, [1 1 1]"},
        {"local a, b = userdata('i16', 3), userdata('i16', 3) return rawequal(a:add(1, b), b), show(a, b)",
         "true, [0 0 0], [1 1 1]"},
        {"local a = userdata('i16', 3) a:add(1, 0) return show(a)", "[1 1 1]"},
        {"local a = userdata('i32', 2, '0000000500000007') return show(1 - a, a - 1)", "[-4 -6], [4 6]"},
        {"local a, b = userdata('u8', 4, '01010101'), userdata('u8', 2, '0505') return show(a:add(b))",
         "[6 6 1 1]"},
        {"local a, b = userdata('u8', 8), userdata('u8', 3, '010203') a:add(b, true, 0, 5) return show(a)",
         "[0 0 0 0 0 1 2 3]"},
        {"local a, b = userdata('u8', 6), userdata('u8', 3, '010203') a:add(b, true, -2, 0, 4) return show(a)",
         "[0 0 1 2 0 0]"},
        {"local a = userdata('u8', 4, '01010101') a:add(a, true, 0, 1) return show(a)", "[1 2 3 4]"},
        {"local a = userdata('u8', 4, 4) a:add(1, true, 0, 1, 2, 0, 4, 4) return show(a)",
         "[0 1 1 0 0 1 1 0 0 1 1 0 0 1 1 0]"},
        {"local a = userdata('u8', 4, 4) a:add(1, true, 0, 4, 4, 0, 4, 2) return show(a)",  // span by span
         "[0 0 0 0 1 1 1 1 1 1 1 1 0 0 0 0]"},
        {"local a = userdata('u8', 2) return a:add(vec(1, 2)), a:add(), a:add(nil), show(a:add('3'))",
         "nil, nil, nil, [0 0]"},
        {"local a = userdata('u8', 2, 'fafa') a:add(-1, true) return show(a + 10, a)", "[3 3], [249 249]"},
        {"local a = userdata('i16', 3) return a:add(1, userdata('u8', 3)), (a:add(1, userdata('i16', 4)))", "nil, nil"},
        {"local a = userdata('i32', 2, '7fffffff80000000') return show(a * 2, a * a)", "[-2 0], [1 0]"},
        {"local v = vec(1, nan, -0.0) local m = v:min(0) local n = USERDATA.min(0, v) "
         "return show(m), n[0], n[1] ~= n[1], n[2], show(v:max(vec(2, 0, 0)))",
         "[0.0 0.0 0.0], 0.0, true, -0.0, [2.0 0.0 0.0]"},
        {"local a = userdata('u8', 2, '05c8') return show(a:min(100), a:max(100))", "[5 100], [100 200]"},
    });
}

TEST_F(elementwise, copy) {
    check({
        {"local a = userdata('u8', 3) a:copy(7, true) return show(a)", "[7 7 7]"},
        {"local a = vec(1, 2) local c = a:copy() return show(c), rawequal(a, c)", "[1.0 2.0], false"},
        {"local a, b = userdata('u8', 4), userdata('u8', 5, '0102030405') a:copy(b, true, 0, 0, 3) return show(a)",
         "[1 2 3 0]"},
        {"local a = userdata('u8', 4, '01020304') a:copy(a, true, 0, 1) return show(a)", "[1 1 1 1]"},
        {"local a = userdata('u8', 4, '01020304') a:copy(nil, true, 1, 0) return show(a)", "[2 3 4 4]"},
        {"local a = userdata('u8', 3, '010203') USERDATA.copy(9, a, true) return show(a)", "[1 2 3]"},
        {"local idx = userdata('i32', 3, '000000020000000000000001') return show(vec(10, 20, 30):copy(idx))",
         "[30.0 10.0 20.0]"},
        {"return select('#', vec(1):copy(userdata('u8', 1)))", "0"},
    });
}

TEST_F(elementwise, bitwise_and_sign) {
    check({
        {"local a = userdata('i32', 1, '00000001') return show(a << 31, a << 32, a << -1, a:shl(33))",
         "[-2147483648], [1], [-2147483648], [2]"},
        {"local a, b = userdata('i16', 1, 'fffc'), userdata('u8', 1, 'fc') return show(a >> 1, b >> 1, b << 9)",
         "[-2], [126], [0]"},
        {"local a = userdata('i64', 1, '0000000000000080') return show(a >> 70, a << 56)",
         "[2], [-9223372036854775808]"},
        {"local a = userdata('u8', 2, '0302') return show(2 << a, 257 << a)", "[16 8], [8 4]"},
        {"local a = userdata('u8', 2, '0f0f') return show(a:band(), a:bor(), a & 6, a | 0x30, a ~ 0xff)",
         "[0 0], [15 15], [6 6], [63 63], [240 240]"},
        {"local a = userdata('i16', 2, 'ff00000f') return show(a:band(a, nil, 1), a:bxor(userdata('i16', 2)))",
         "[0 15], [-256 15]"},
        {"return vec(1):band(vec(1)), vec(1):shl(), vec(1) & 1", "nil, nil, nil"},
        {"local v = vec(0, -0.0, -3.5, nan) return show(v:sgn(), v:sgn0())",
         "[1.0 1.0 -1.0 -1.0], [0.0 0.0 -1.0 -1.0]"},
        {"local v = vec(0, -0.0, nan) local s, b = v:sgn0(), v:abs() return s[1], b[1], b[2] ~= b[2]",
         "0.0, -0.0, true"},
        {"local a = userdata('i16', 3, '8000fffb0007') return show(a:abs(), a:sgn(), a:sgn0())",
         "[-32768 5 7], [-1 -1 1], [-1 -1 1]"},
        {"local a = userdata('u8', 2, 'ff00') return show(a:abs(), a:sgn(), a:sgn0())", "[255 0], [1 1], [1 0]"},
        {"local a = userdata('i32', 2, 'fffffffe00000003') return show(a:sgn(5), USERDATA.abs(0, a))",
         "[1 1], [2 3]"},
        {"local a = userdata('i32', 2, 'fffffffe00000003') a:sgn0(0, true) return show(a)", "[0 0]"},
        {"local a, b = userdata('i16', 8), userdata('i16', 6, 'ffff0002fffdfffc0005fffa') "
         "a:abs(b, true, 0, 2) return show(a)",
         "[0 0 1 2 3 4 5 6]"},
        {"local a = userdata('i64', 1) a[0] = math.mininteger return show(a:abs())", "[-9223372036854775808]"},
    });
}

TEST_F(elementwise, division_modulo_power) {
    check({
        {"local a = userdata('i16', 3, '0007fff90000') return show(a / 0, a // 0)",
         "[32767 -32767 32767], [32767 -32767 32767]"},
        {"return show(userdata('u8', 1, '0a') / 0)", "[255]"},
        {"return show(vec(1, -1, 0) / 0)", "[1.7976931348623e+308 -1.7976931348623e+308 1.7976931348623e+308]"},
        {"local a = userdata('i32', 1) return show(5 / a, -5 / a)", "[2147483647], [-2147483647]"},
        {"local a = userdata('i64', 1) a[0] = -1 return show(a / 0)", "[-9223372036854775807]"},
        {"local a = userdata('i32', 1) a[0] = -7 return show(a // 2, a / 2, vec(-7) // 2, vec(-7) / 2)",
         "[-3], [-3], [-4.0], [-3.5]"},
        {"local a = userdata('i32', 2) set(a, 0, -7, 7) return show(a % 3, a % -3, a % 0)",
         "[2 1], [-1 -2], [0 0]"},
        {"return show(vec(-7.5) % 2, vec(7.5) % -2, userdata('u8', 1, '07') % 0, userdata('u8', 1, 'ff') % 7)",
         "[0.5], [-0.5], [0], [3]"},
        {"local a = vec(2, -2) return show(a:div(), a:mod(), a:idiv()), (a:pow())",
         "[1.7976931348623e+308 -1.7976931348623e+308], [0.0 0.0], "
         "[1.7976931348623e+308 -1.7976931348623e+308], nil"},
        {"local a = userdata('i16', 1, '0003') return show(a ^ 2, a ^ 3, a ^ 0.5)", "[9], [27], [1]"},
        {"local a = userdata('i32', 1) a[0] = 300000 return show(a ^ 2)", "[-194313216]"},
        {"local a = userdata('i32', 2, '0000000200000003') return show(vec(1.5) ^ 2, 2 ^ a, 3 ^ a)",
         "[2.25], [4 8], [9 27]"},
        {"local a = userdata('u8', 1, '10') local b = userdata('u8', 1, '02') "
         "return show(a ^ 2, b ^ 9, userdata('i16', 1, '0002') ^ -1)",
         "[0], [0], [0]"},
        // Out of range: saturated at 64 bits, then the low bits (a u8
        // exponent of -1 is 255 before the power is taken).
        {"local a = userdata('i32', 1, '0000000a') return show(a ^ 20, a ^ -(2^70), userdata('u8', 1, '02') ^ -1)",
         "[-1], [1], [255]"},
        {"local a = userdata('i64', 1) a[0] = math.mininteger return show(a // -1, a % -1, a / -1)",
         "[-9223372036854775808], [0], [-9223372036854775808]"},
    });
}

TEST_F(elementwise, pathological_walks) {
    check({
        // 2^31 spans of 2^31 elements over one place: refused, not walked.
        {"local a = userdata('u8', 8) return a:add(1, true, 0, 0, 0x7fffffff, 0, 0, 0x7fffffff), show(a)",
         "nil, [0 0 0 0 0 0 0 0]"},
        // A stride-0 repetition stays a repetition (8 times over every element).
        {"local a = userdata('u8', 4) a:add(1, true, 0, 0, 4, 0, 0, 8) return show(a)", "[8 8 8 8]"},
        {"local a, b = userdata('u8', 4), userdata('u8', 8, '0102030405060708') "
         "a:copy(b, true, 0, 0, 1, 1, 0, 8) return show(a)",
         "[8 0 0 0]"},
        // Transposed with steps of 2^30 from -2^30: spans 1 and 0 of 2^31 - 1
        // reach the array, 2^30 positions apart; the gap is jumped.
        {"local a = userdata('u8', 4) a:add(1, true, 0, -2^30, 0x7ffffffe, 0, 2^30, 0x7fffffff) return show(a)",
         "[2 2 2 2]"},
        // Offsets past 32 bits keep their low bits.
        {"local a = userdata('u8', 4) a:add(1, true, 0, 2^32 + 2) return show(a)", "[0 0 1 1]"},
        // One pass over the largest value is the cap on element operations; a
        // second is refused before anything changes. pow gets an eighth of it.
        {"local a = userdata('u8', 4096, 4096) return a:add(1, true, 0, 0, 2^24, 0, 0, 1) ~= nil, a[0], "
         "a:add(1, true, 0, 0, 2^24, 0, 0, 2), a[0]",
         "true, 1, nil, 1"},
        {"collectgarbage() local a = userdata('f64', 2048, 1024) a[0] = 3 "
         "return a:pow(2, true, 0, 0, 2^21, 0, 0, 1) ~= nil, a[0], a:pow(2, true, 0, 0, 2^21, 0, 0, 2), a[0]",
         "true, 9.0, nil, 9.0"},
    });
}

TEST_F(elementwise, charges) {
    check_charges({
        {lua54_ud_add, "userdata('f64', 48), 1, true", 4},
        {lua54_ud_add, "userdata('u8', 8), userdata('u8', 3), true, 0, 5", 1},
        {lua54_ud_add, "userdata('u8', 8), 1, true, 0, 0, 0", 1},
        {lua54_ud_add, "userdata('u8', 8), 1, true, 0, 0, 16, 1, 1, -3", 0},
        {lua54_ud_add, "userdata('u8', 100, 50), 1, true, 0, 0, 100, 0, 100, 50", 5000 / 24 + 25},
        // The new copy is charged on top (and its allocation, 4 + 8 cycles here).
        {lua54_ud_add, "userdata('u8', 1000), 1", (1000 >> 7) + 1000 / 24 + 4 + 8},
        {lua54_ud_mul, "userdata('u8', 64), 3, true", 4},
        {lua54_ud_min, "userdata('f64', 10), 3, true", 5},
        {lua54_ud_max, "userdata('i32', 10), 3, true", 2},
        {lua54_ud_copy, "userdata('i64', 48), 3, true", 4},
        {lua54_ud_div, "userdata('i64', 10), 3, true", 5},
        {lua54_ud_mod, "userdata('i16', 10), 3, true", 2},
        {lua54_ud_pow, "userdata('u8', 10), 3, true", 5},
        {lua54_ud_pow, "userdata('f64', 10), 3, true", 10},
        {lua54_ud_band, "userdata('i64', 48), 3, true", 4},
        {lua54_ud_shl, "userdata('i32', 48), 3, true", 2},
        {lua54_ud_abs, "userdata('f64', 10), nil, true", 5},
        {lua54_ud_sgn, "userdata('u8', 10), nil, true", 2},
        {lua54_ud_add, "userdata('u8', 8), vec(1), true", 0},  // refused
    });
}

}  // namespace
