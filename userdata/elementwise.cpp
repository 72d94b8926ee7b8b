// The element-wise engine: one walk over offsets, strides and spans for every
// element type, with each operation a small kernel op(left, right) compiled
// into its own loops, and the Lua side that resolves the operands of every
// element-wise method and operator.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "lang/lang.h"
#include "core/core.h"
#include "userdata/userdata.h"

int64_t VOP_MOD(int64_t a, int64_t b) {
    if (b == 0 || b == -1) return 0;  // -1 also keeps INT64_MIN % -1 from trapping
    int64_t r = a % b;
    if (r != 0 && (r ^ b) < 0) r += b;
    return r;
}

double VOP_MODF(double a, double b) {
    if (b == 0.0) return 0.0;
    double r = std::fmod(a, b);
    if ((r > 0 && b < 0) || (r < 0 && b > 0)) r += b;
    return r;
}

int64_t VOP_BOR(int64_t a, int64_t b) { return a | b; }

namespace {

// ---------------------------------------------------------------------------
// Kernels
// ---------------------------------------------------------------------------

template <class T>
constexpr bool is_float = std::is_floating_point_v<T>;
// Unsigned type at least 32 bits wide, so that narrow products never reach
// signed int overflow.
template <class T>
using wide_u = std::conditional_t<(sizeof(T) < 4), uint32_t, std::make_unsigned_t<T>>;
// Shifts work on 32-bit values (u8 zero-extended, i16 sign-extended), i64 on 64.
template <class T>
using shift_s = std::conditional_t<sizeof(T) == 8, int64_t, int32_t>;
template <class T>
using shift_u = std::make_unsigned_t<shift_s<T>>;

template <class T>
inline T wadd(T l, T r) {
    if constexpr (is_float<T>) return l + r;
    else return (T)(wide_u<T>)((wide_u<T>)l + (wide_u<T>)r);
}
template <class T>
inline T wsub(T l, T r) {
    if constexpr (is_float<T>) return l - r;
    else return (T)(wide_u<T>)((wide_u<T>)l - (wide_u<T>)r);
}
template <class T>
inline T wmul(T l, T r) {
    if constexpr (is_float<T>) return l * r;
    else return (T)(wide_u<T>)((wide_u<T>)l * (wide_u<T>)r);
}
template <class T>
inline T wneg(T x) {
    return (T)(wide_u<T>)(0u - (wide_u<T>)x);
}

// A double as an element: f64 keeps it; an integer element keeps the low
// bits of the value truncated toward zero and saturated at 64 bits, NaN 0
// (300.0 gives u8 44, -1.0 gives 255).
template <class T>
inline T from_double(double d) {
    if constexpr (is_float<T>) return d;
    else return (T)(uint64_t)hvx_double_to_i64(d, 0);
}

// Results of a zero divisor: the type's bound by the dividend's sign (never
// the most negative value).
template <class T>
inline T zero_quotient(T dividend) {
    if constexpr (is_float<T>) return dividend < 0 ? -DBL_MAX : DBL_MAX;
    else if constexpr (std::is_unsigned_v<T>) return std::numeric_limits<T>::max();
    else return dividend < 0 ? (T)-std::numeric_limits<T>::max() : std::numeric_limits<T>::max();
}

template <class T>
inline T int_quotient(T l, T r) {
    if (r == 0) return zero_quotient(l);
    if constexpr (std::is_signed_v<T>)
        if (r == -1) return wneg(l);  // the most negative value wraps to itself
    // Narrow values divide exactly in 32 bits (the one overflow is handled above).
    using D = std::conditional_t<sizeof(T) <= 4, int32_t, int64_t>;
    return (T)((D)l / (D)r);
}

struct op_add {
    template <class T> static T f(T l, T r) { return wadd(l, r); }
};
struct op_sub {
    template <class T> static T f(T l, T r) { return wsub(l, r); }
};
struct op_mul {
    template <class T> static T f(T l, T r) { return wmul(l, r); }
};
struct op_min {
    template <class T> static T f(T l, T r) { return l < r ? l : r; }
};
struct op_max {
    template <class T> static T f(T l, T r) { return l > r ? l : r; }
};
struct op_copy {
    template <class T> static T f(T, T r) { return r; }
};
struct op_div {
    template <class T> static T f(T l, T r) {
        if constexpr (is_float<T>) return r == 0 ? zero_quotient(l) : l / r;
        else return int_quotient(l, r);
    }
};
struct op_idiv {
    template <class T> static T f(T l, T r) {
        if constexpr (is_float<T>) return r == 0 ? zero_quotient(l) : std::floor(l / r);
        else return int_quotient(l, r);
    }
};
struct op_mod {
    template <class T> static T f(T l, T r) {
        if constexpr (is_float<T>) return VOP_MODF(l, r);
        else if constexpr (std::is_unsigned_v<T>) return r == 0 ? 0 : (T)(l % r);
        else return (T)VOP_MOD(l, r);
    }
};
struct op_pow {
    template <class T> static T f(T l, T r) {
        if (r == 2) return wmul(l, l);
        if constexpr (is_float<T>) return std::pow(l, r);
        else return from_double<T>(std::pow((double)l, (double)r));
    }
};
struct op_band {
    template <class T> static T f(T l, T r) { return (T)(l & r); }
};
struct op_bor {
    template <class T> static T f(T l, T r) { return (T)VOP_BOR(l, r); }
};
struct op_bxor {
    template <class T> static T f(T l, T r) { return (T)(l ^ r); }
};
template <class T>
inline unsigned shift_count(T r) {
    return (unsigned)((uint64_t)(int64_t)r & (sizeof(T) == 8 ? 63 : 31));
}
struct op_shl {
    template <class T> static T f(T l, T r) { return (T)((shift_u<T>)(shift_s<T>)l << shift_count(r)); }
};
struct op_shr {
    template <class T> static T f(T l, T r) { return (T)((shift_s<T>)l >> shift_count(r)); }
};
// The one-operand kernels look only at their right operand.
struct op_sgn {
    template <class T> static T f(T, T x) {
        if constexpr (is_float<T>) return x >= 0.0 ? 1.0 : -1.0;  // NaN: -1
        else if constexpr (std::is_unsigned_v<T>) return 1;
        else return x < 0 ? (T)-1 : (T)1;
    }
};
struct op_sgn0 {
    template <class T> static T f(T, T x) {
        if constexpr (is_float<T>) return x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : x == 0.0 ? 0.0 : -1.0;
        else return (T)((x > 0) - (x < 0));
    }
};
struct op_abs {
    template <class T> static T f(T, T x) {
        if constexpr (is_float<T>) return x < 0.0 ? -x : x;
        else if constexpr (std::is_unsigned_v<T>) return x;
        else return x < 0 ? wneg(x) : x;
    }
};

// ---------------------------------------------------------------------------
// Walk geometry
// ---------------------------------------------------------------------------

struct range {
    int64_t lo, hi;  // [lo, hi); empty when lo >= hi
    bool empty() const { return lo >= hi; }
};

inline int64_t floor_div(int64_t a, int64_t b) {  // b > 0
    int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
inline int64_t ceil_div(int64_t a, int64_t b) {  // b > 0
    int64_t q = a / b;
    return (a % b != 0 && a > 0) ? q + 1 : q;
}

// Keeps the q of r with c + q * m < bound.
inline void keep_below(range& r, int64_t c, int64_t m, int64_t bound) {
    if (m == 0) {
        if (c >= bound) r.hi = r.lo;
    } else if (m > 0) {
        int64_t h = ceil_div(bound - c, m);
        if (h < r.hi) r.hi = h;
    } else {
        int64_t l = floor_div(c - bound, -m) + 1;
        if (l > r.lo) r.lo = l;
    }
}
// Keeps the q of r with c + q * m >= bound.
inline void keep_at_least(range& r, int64_t c, int64_t m, int64_t bound) { keep_below(r, -c, -m, 1 - bound); }

struct geometry {
    int64_t D, S, ds, ss, len, spans, na, nb;  // nb < 0: no b
    explicit geometry(const ud_walk& w, int64_t na_, int64_t nb_)
        : D(w.dst_off), S(w.src_off), ds(w.dst_stride), ss(w.src_stride), len(w.len), spans(w.spans),
          na(na_), nb(nb_) {}

    // The spans whose clipped run is not empty: every lower bound of the run
    // below every upper bound, each pair a linear condition on q.
    range live_spans() const {
        if (len <= 0 || spans <= 0) return {0, 0};
        range q{0, spans};
        keep_below(q, D, ds, na);
        keep_at_least(q, D + len, ds, 1);
        if (nb >= 0) {
            keep_below(q, S, ss, nb);
            keep_at_least(q, S + len, ss, 1);
            keep_below(q, S - D, ss - ds, nb);
            keep_below(q, D - S, ds - ss, na);
        }
        return q;
    }
    // Element positions of span q inside every operand.
    range run(int64_t q) const {
        int64_t d0 = D + q * ds;
        range e{d0 < 0 ? -d0 : 0, len < na - d0 ? len : na - d0};
        if (nb >= 0) {
            int64_t s0 = S + q * ss;
            if (-s0 > e.lo) e.lo = -s0;
            if (nb - s0 < e.hi) e.hi = nb - s0;
        }
        return e;
    }
    // Spans that element position e reaches inside every operand.
    range spans_at(int64_t e) const {
        range q{0, spans};
        keep_at_least(q, D + e, ds, 0);
        keep_below(q, D + e, ds, na);
        if (nb >= 0) {
            keep_at_least(q, S + e, ss, 0);
            keep_below(q, S + e, ss, nb);
        }
        return q;
    }
    // First element position of span q (where its run begins).
    int64_t first(int64_t q) const {
        int64_t f = -(D + q * ds);
        if (f < 0) f = 0;
        if (nb >= 0 && -(S + q * ss) > f) f = -(S + q * ss);
        return f;
    }
    // The next element position after e that some live span reaches; len
    // when none. A span's first position is a maximum of lines in q, so the
    // spans begun by e form one interval and the nearest spans outside it
    // begin next; before any span has begun, the earliest begins at an end
    // of the live spans or beside a crossing of two lines.
    int64_t next_position(int64_t e, const range& live) const {
        range begun{0, 0};  // no span begins before position 0
        if (e >= 0) {
            begun = live;
            keep_at_least(begun, D + e, ds, 0);
            if (nb >= 0) keep_at_least(begun, S + e, ss, 0);
        }
        int64_t best = len;
        auto consider = [&](int64_t q) {
            if (q < live.lo || q >= live.hi) return;
            int64_t f = first(q);
            if (f > e && f < best) best = f;
        };
        if (!begun.empty()) {
            consider(begun.lo - 1);
            consider(begun.hi);
            return best;
        }
        consider(live.lo);
        consider(live.hi - 1);
        auto around = [&](int64_t num, int64_t den) {
            if (den == 0) return;
            if (den < 0) num = -num, den = -den;
            consider(floor_div(num, den));
            consider(floor_div(num, den) + 1);
        };
        around(-D, ds);
        if (nb >= 0) {
            around(-S, ss);
            around(S - D, ds - ss);
        }
        return best;
    }
};

// ---------------------------------------------------------------------------
// Loops
// ---------------------------------------------------------------------------

// One run of the walk. Contiguous runs where dst is a itself (the common
// in-place case) get a loop of their own, so that only b can alias it.
template <class T, int FORM>
inline T left(T num, T a) {
    return FORM == UD_FORM_NA ? num : a;
}
template <class T, int FORM>
inline T right(T num, T a, const T* b, int64_t s) {
    return FORM == UD_FORM_AB ? b[s] : FORM == UD_FORM_AN ? num : a;
}

template <class T, class Op, int FORM>
inline void run_contiguous(T* dst, const T* a, const T* b, int64_t n, T num) {
    if (dst == a) {
        for (int64_t i = 0; i < n; i++) {
            const T x = dst[i];
            dst[i] = Op::f(left<T, FORM>(num, x), right<T, FORM>(num, x, b, i));
        }
    } else {
        for (int64_t i = 0; i < n; i++) {
            const T x = a[i];
            dst[i] = Op::f(left<T, FORM>(num, x), right<T, FORM>(num, x, b, i));
        }
    }
}

template <class T, class Op, int FORM>
inline void run_strided(T* dst, const T* a, const T* b, int64_t n, int64_t ds, int64_t ss, T num) {
    for (int64_t i = 0; i < n; i++) {
        const T x = a[i * ds];
        dst[i * ds] = Op::f(left<T, FORM>(num, x), right<T, FORM>(num, x, b, i * ss));
    }
}

template <class T, class Op, int FORM>
int64_t walk_form(T* dst, const T* a, const T* b, const geometry& g, const range& live, T num) {
    int64_t done = 0;
    if (g.len >= g.spans) {
        for (int64_t q = live.lo; q < live.hi; q++) {
            range e = g.run(q);
            int64_t d = g.D + q * g.ds + e.lo, s = g.S + q * g.ss + e.lo;
            run_contiguous<T, Op, FORM>(dst + d, a + d, b ? b + s : nullptr, e.hi - e.lo, num);
            done += e.hi - e.lo;
        }
        return done;
    }
    // Element position outside, span inside: positions that no span reaches
    // are jumped over rather than visited.
    int64_t e = g.next_position(-1, live);
    while (e < g.len) {
        range q = g.spans_at(e);
        if (q.empty()) {
            e = g.next_position(e, live);
            continue;
        }
        int64_t d = g.D + e + q.lo * g.ds, s = g.S + e + q.lo * g.ss;
        run_strided<T, Op, FORM>(dst + d, a + d, b ? b + s : nullptr, q.hi - q.lo, g.ds, g.ss, num);
        done += q.hi - q.lo;
        e++;
    }
    return done;
}

template <class T, class Op>
int64_t walk(int form, uint8_t* dst_bytes, const uint8_t* a_bytes, const uint8_t* b_bytes, int64_t na, int64_t nb,
             double number, const ud_walk& w) {
    T* dst = (T*)dst_bytes;
    const T* a = (const T*)a_bytes;
    const T* b = form == UD_FORM_AB ? (const T*)b_bytes : nullptr;
    const geometry g(w, na, b ? nb : -1);
    const range live = g.live_spans();
    if (live.empty()) return 0;
    const T num = from_double<T>(number);
    if (form == UD_FORM_AB) return walk_form<T, Op, UD_FORM_AB>(dst, a, b, g, live, num);
    if (form == UD_FORM_AN) return walk_form<T, Op, UD_FORM_AN>(dst, a, b, g, live, num);
    return walk_form<T, Op, UD_FORM_NA>(dst, a, b, g, live, num);
}

using walk_fn = int64_t (*)(int, uint8_t*, const uint8_t*, const uint8_t*, int64_t, int64_t, double,
                            const ud_walk&);

template <class Op, bool with_f64>
walk_fn walk_for(int code) {
    switch (code) {
    case UTYPE_U8: return walk<uint8_t, Op>;
    case UTYPE_I16: return walk<int16_t, Op>;
    case UTYPE_I32: return walk<int32_t, Op>;
    case UTYPE_I64: return walk<int64_t, Op>;
    case UTYPE_F64:
        if constexpr (with_f64) return walk<double, Op>;
        else return nullptr;
    default: return nullptr;
    }
}

walk_fn pick(int op, int code) {
    switch (op) {
    case UD_OP_ADD: return walk_for<op_add, true>(code);
    case UD_OP_SUB: return walk_for<op_sub, true>(code);
    case UD_OP_MUL: return walk_for<op_mul, true>(code);
    case UD_OP_MIN: return walk_for<op_min, true>(code);
    case UD_OP_MAX: return walk_for<op_max, true>(code);
    case UD_OP_COPY: return walk_for<op_copy, true>(code);
    case UD_OP_DIV: return walk_for<op_div, true>(code);
    case UD_OP_IDIV: return walk_for<op_idiv, true>(code);
    case UD_OP_MOD: return walk_for<op_mod, true>(code);
    case UD_OP_POW: return walk_for<op_pow, true>(code);
    case UD_OP_BAND: return walk_for<op_band, false>(code);
    case UD_OP_BOR: return walk_for<op_bor, false>(code);
    case UD_OP_BXOR: return walk_for<op_bxor, false>(code);
    case UD_OP_SHL: return walk_for<op_shl, false>(code);
    case UD_OP_SHR: return walk_for<op_shr, false>(code);
    case UD_OP_SGN: return walk_for<op_sgn, true>(code);
    case UD_OP_SGN0: return walk_for<op_sgn0, true>(code);
    case UD_OP_ABS: return walk_for<op_abs, true>(code);
    default: return nullptr;
    }
}

// Cost divisors: f64, i64, then u8/i16/i32.
struct divisors {
    int f64, i64, small;
};
constexpr divisors op_divisors[UD_OP_COUNT] = {
    {12, 12, 24}, {12, 12, 24}, {8, 8, 16}, {2, 2, 4},   {2, 2, 4},   {12, 12, 24},  // add sub mul min max copy
    {4, 2, 4},    {4, 2, 4},    {4, 2, 4},  {1, 1, 2},                              // div idiv mod pow
    {12, 12, 24}, {12, 12, 24}, {12, 12, 24}, {12, 12, 24}, {12, 12, 24},           // band bor bxor shl shr
    {2, 2, 4},    {2, 2, 4},    {2, 2, 4},                                          // sgn sgn0 abs
};

}  // namespace

int64_t ud_walk_outer(const ud_walk& w) { return w.len < w.spans ? w.len : w.spans; }

int64_t ud_walk_cap(int op) {
    switch (op) {
    case UD_OP_DIV:
    case UD_OP_IDIV:
    case UD_OP_MOD: return UD_WALK_CAP / UD_WALK_WEIGHT_DIV;
    case UD_OP_POW: return UD_WALK_CAP / UD_WALK_WEIGHT_POW;
    default: return UD_WALK_CAP;
    }
}

// True when the walk stays within cap; the exact count is needed only when
// the live spans times the longest run could pass it.
static bool walk_fits(const ud_walk& w, int64_t na, int64_t nb, int64_t cap) {
    const range live = geometry(w, na, nb).live_spans();
    if (live.empty()) return true;
    int64_t longest = w.len < na ? w.len : na;
    if (live.hi - live.lo <= cap / longest) return true;
    return ud_walk_count(w, na, nb, cap) >= 0;
}

int64_t ud_walk_count(const ud_walk& w, int64_t na, int64_t nb, int64_t cap) {
    const geometry g(w, na, nb);
    const range live = g.live_spans();
    if (live.empty()) return 0;
    if (live.hi - live.lo > cap) return -1;  // every live span holds an element
    int64_t total = 0;
    for (int64_t q = live.lo; q < live.hi; q++) {
        range e = g.run(q);
        total += e.hi - e.lo;
        if (total > cap) return -1;
    }
    return total;
}

bool ud_op_supports(int op, int code) { return pick(op, code) != nullptr; }

int ud_op_divisor(int op, int code) {
    if (op < 0 || op >= UD_OP_COUNT) return 1;
    const divisors& d = op_divisors[op];
    return code == UTYPE_F64 ? d.f64 : code == UTYPE_I64 ? d.i64 : d.small;
}

int64_t ud_elementwise(int op, int code, int form, uint8_t* dst, const uint8_t* a, const uint8_t* b, int64_t na,
                       int64_t nb, double n, const ud_walk& w) {
    walk_fn f = pick(op, code);
    return f ? f(form, dst, a, b, na, nb, n, w) : 0;
}

// ---------------------------------------------------------------------------
// The methods
// ---------------------------------------------------------------------------

namespace {

enum : int {
    NEEDS_B = 1,          // a nil or missing second argument is refused
    NO_F64 = 2,           // no f64 kernel
    B_DEFAULTS_TO_A = 4,  // a nil or missing second argument is a itself
};

int32_t low32(lua_State* L, int idx, int64_t def) { return (int32_t)(uint32_t)(uint64_t)hvx_intp(L, idx, def); }

int elementwise_call(lua_State* L, int op, int flags) {
    for (int i = 1; i <= 3; i++)
        if (ud_is_foreign(L, i)) return 0;
    const uint8_t* ua = to_typed_userdata(L, 1);
    const uint8_t* ub = to_typed_userdata(L, 2);
    if (!ua && !ub) return 0;
    const int code = ud_type(ua ? ua : ub);
    if ((flags & NO_F64) && code == UTYPE_F64) return 0;
    const bool no_second = lua_isnoneornil(L, 2);
    if ((flags & NEEDS_B) && no_second) return 0;
    if (ua && ub && ud_type(ua) != ud_type(ub)) return 0;

    int a_idx = 1, b_idx = 0, form;
    double n = 0;
    if (!ua) {  // number first
        a_idx = 2;
        form = UD_FORM_NA;
        int isnum = 0;
        n = lua_tonumberx(L, 1, &isnum);
        if (!isnum) n = 0;
    } else if (ub || (no_second && (flags & B_DEFAULTS_TO_A))) {
        b_idx = ub ? 2 : 1;
        form = UD_FORM_AB;
    } else {
        form = UD_FORM_AN;  // anything but a number counts as 0
        n = lua_type(L, 2) == LUA_TNUMBER ? lua_tonumber(L, 2) : 0;
    }
    const uint8_t* a = to_typed_userdata(L, a_idx);
    int out_idx = 0;  // none: a new copy of a
    if (to_typed_userdata(L, 3)) out_idx = 3;
    else if (lua_toboolean(L, 3)) out_idx = a_idx;
    if (out_idx) {
        // Another element type would be written with the wrong width.
        const uint8_t* out = to_typed_userdata(L, out_idx);
        if (ud_width(out) != ud_width(a) || ud_height(out) != ud_height(a) || ud_type(out) != code) return 0;
    }
    ud_walk w;
    w.src_off = low32(L, 4, 0);
    w.dst_off = low32(L, 5, 0);
    w.len = low32(L, 6, 0x1000000);
    w.src_stride = low32(L, 7, 1);
    w.dst_stride = low32(L, 8, 1);
    w.spans = low32(L, 9, 1);
    const int64_t na = ud_elements(a), nb = b_idx ? ud_elements(to_typed_userdata(L, b_idx)) : -1;
    if (!walk_fits(w, na, nb, ud_walk_cap(op))) {
        log_refusal_once(cproc, LIMIT_LOGGED_WALK, "element-wise call refused: its walk passes the cap of element operations");
        return 0;
    }

    int dst_idx = out_idx;
    if (!out_idx) {
        push_duplicate_userdata(L, a);
        spend_cpu((int32_t)((uint32_t)na >> 7));
        dst_idx = lua_gettop(L);
    }
    // The copy may have run a finalizer: every block is read again and must
    // still be what was checked.
    uint8_t* dst = to_typed_userdata(L, dst_idx);
    a = to_typed_userdata(L, a_idx);
    const uint8_t* b = b_idx ? to_typed_userdata(L, b_idx) : nullptr;
    if (!dst || !a || (b_idx && !b)) return 0;
    if (ud_type(a) != code || ud_elements(a) != na || ud_type(dst) != code || ud_elements(dst) != na) return 0;
    if (b && (ud_type(b) != code || ud_elements(b) != nb)) return 0;

    int64_t done = ud_elementwise(op, code, form, ud_data(dst), ud_data(a), b ? ud_data(b) : nullptr, na, nb, n, w);
    int64_t cost = done / ud_op_divisor(op, code) + ud_walk_outer(w) / 2;
    spend_cpu(ud_cost(cost));
    if (out_idx) lua_pushvalue(L, out_idx);
    return 1;
}

}  // namespace

int lua54_ud_add(lua_State* L) { return elementwise_call(L, UD_OP_ADD, NEEDS_B); }
int lua54_ud_sub(lua_State* L) { return elementwise_call(L, UD_OP_SUB, NEEDS_B); }
int lua54_ud_mul(lua_State* L) { return elementwise_call(L, UD_OP_MUL, NEEDS_B); }
int lua54_ud_min(lua_State* L) { return elementwise_call(L, UD_OP_MIN, NEEDS_B); }
int lua54_ud_max(lua_State* L) { return elementwise_call(L, UD_OP_MAX, NEEDS_B); }
int lua54_ud_div(lua_State* L) { return elementwise_call(L, UD_OP_DIV, 0); }
int lua54_ud_idiv(lua_State* L) { return elementwise_call(L, UD_OP_IDIV, 0); }
int lua54_ud_mod(lua_State* L) { return elementwise_call(L, UD_OP_MOD, 0); }
int lua54_ud_pow(lua_State* L) { return elementwise_call(L, UD_OP_POW, NEEDS_B); }
int lua54_ud_band(lua_State* L) { return elementwise_call(L, UD_OP_BAND, NO_F64); }
int lua54_ud_bor(lua_State* L) { return elementwise_call(L, UD_OP_BOR, NO_F64); }
int lua54_ud_bxor(lua_State* L) { return elementwise_call(L, UD_OP_BXOR, NO_F64); }
int lua54_ud_shl(lua_State* L) { return elementwise_call(L, UD_OP_SHL, NO_F64); }
int lua54_ud_shr(lua_State* L) { return elementwise_call(L, UD_OP_SHR, NO_F64); }
int lua54_ud_sgn(lua_State* L) { return elementwise_call(L, UD_OP_SGN, B_DEFAULTS_TO_A); }
int lua54_ud_sgn0(lua_State* L) { return elementwise_call(L, UD_OP_SGN0, B_DEFAULTS_TO_A); }
int lua54_ud_abs(lua_State* L) { return elementwise_call(L, UD_OP_ABS, B_DEFAULTS_TO_A); }

int lua54_ud_copy(lua_State* L) {
    // An i32 second operand with a first of another type is a gather.
    const uint8_t* a = to_typed_userdata(L, 1);
    const uint8_t* b = to_typed_userdata(L, 2);
    if (a && b && ud_type(b) == UTYPE_I32 && ud_type(a) != UTYPE_I32) return lua54_ud_take(L);
    return elementwise_call(L, UD_OP_COPY, B_DEFAULTS_TO_A);
}
