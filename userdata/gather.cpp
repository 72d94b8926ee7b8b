// Gathering elements through an i32 index list (take) and copying runs of
// elements into another element type (convert).
#include <cmath>
#include <cstring>
#include <vector>

#include "lang/lang.h"
#include "core/core.h"
#include "userdata/userdata.h"

namespace {

using i128 = __int128;

int32_t cost_of(i128 c) { return ud_cost(c > INT64_MAX ? INT64_MAX : c < INT64_MIN ? INT64_MIN : (int64_t)c); }

// The gathers of one take call. Gather i reads index position
// p = idx_offset + i * idx_stride and writes from d = dst_offset + i * dst_stride.
struct gathers {
    int64_t idx_offset, dst_offset, span, idx_stride, dst_stride, idx_n;
    int64_t n;          // gathers charged for
    int64_t first, end;  // the gathers whose index position exists

    // The index position of gather i (inside idx for first <= i < end).
    int64_t position(int64_t i) const { return (int64_t)((i128)idx_offset + (i128)i * idx_stride); }
    // Elements gather i copies from src[j]; start positions adjusted in place.
    // A run that overhangs the start of either side is shortened and starts
    // at element 0 there, the other side not moving.
    int64_t run(int64_t& j, int64_t& d, int64_t src_n, int64_t out_n) const {
        int64_t len = span;
        if (j < 0) len += j, j = 0;
        if (d < 0) len += d, d = 0;
        if (len > src_n - j) len = src_n - j;
        if (len > out_n - d) len = out_n - d;
        return len;
    }
    // The destination position of gather i; false when it lies beyond any
    // 64-bit position (and so beyond every array).
    bool dest(int64_t i, int64_t& d) const {
        i128 v = (i128)dst_offset + (i128)i * dst_stride;
        if (v < INT64_MIN || v > INT64_MAX) return false;
        d = (int64_t)v;
        return true;
    }
};

gathers plan(int64_t idx_offset, int64_t dst_offset, int64_t span, int64_t idx_stride, int64_t dst_stride,
              int64_t count, int64_t idx_n) {
    gathers g{idx_offset, dst_offset, span, idx_stride, dst_stride, idx_n, 0, 0, 0};
    // n = min((idx_n - idx_offset) / idx_stride, count), a negative count not
    // limiting; a negative stride gathers nothing, a zero stride repeats one
    // index position count times (all of idx by default), at most 2^24 times.
    const uint64_t limit = count < 0 ? UINT64_MAX : (uint64_t)count;
    if (idx_stride == 0) {
        g.n = count < 0 ? idx_n : (count < UD_TAKE_MAX_REPEAT ? count : UD_TAKE_MAX_REPEAT);
    } else if (idx_stride > 0) {
        i128 m = (i128)idx_n - idx_offset;
        if (m > 0) {
            uint64_t q = (uint64_t)(m / idx_stride);
            g.n = (int64_t)(q < limit ? q : limit);
            if (g.n < 0) g.n = INT64_MAX;
        }
    }
    // Index positions inside idx: 0 <= idx_offset + i * idx_stride < idx_n.
    i128 lo = 0, hi = g.n;
    if (idx_stride == 0) {
        if (idx_offset < 0 || idx_offset >= idx_n) hi = 0;
    } else if (idx_stride > 0) {
        i128 s = idx_stride, below = -(i128)idx_offset, above = (i128)idx_n - idx_offset;
        i128 first = below <= 0 ? 0 : (below + s - 1) / s;
        i128 end = above <= 0 ? 0 : (above + s - 1) / s;
        if (first > lo) lo = first;
        if (end < hi) hi = end;
    }
    if (hi <= lo) lo = hi = 0;
    g.first = (int64_t)lo;
    g.end = (int64_t)hi;
    return g;
}

// The floor of x as a 64-bit integer: NaN 0, saturating. Within the range
// truncation is one below the floor exactly when it lands above x.
inline int64_t floor_to_i64(double x) {
    if (x != x) return 0;
    if (x >= 0x1p63) return INT64_MAX;
    if (x < -0x1p63) return INT64_MIN;
    int64_t v = (int64_t)x;
    return v - ((double)v > x);
}

// Single-element gathers along index positions p and destinations d, both
// stepping evenly (unsigned steps: the last step past the end is never used).
// Kept out of line: inlined into the caller its loop runs short of registers,
// and a gather is bound by how many reads it keeps in flight.
template <class E>
__attribute__((noinline)) void gather_singles(uint8_t* out_bytes, const uint8_t* src_bytes, const int32_t* ix,
                                              uint64_t p, uint64_t p_step, uint64_t d, uint64_t d_step,
                                              int64_t count, int64_t src_n, int64_t out_n) {
    E* out = (E*)out_bytes;  // may be idx itself
    const E* src = (const E*)src_bytes;
    const uint64_t last = d + (uint64_t)(count - 1) * d_step;
    if (d < (uint64_t)out_n && last < (uint64_t)out_n) {
        // Every destination inside: only the index is tested.
        for (int64_t i = 0; i < count; i++, p += p_step, d += d_step) {
            int64_t j = ix[(int64_t)p];
            if ((uint64_t)j < (uint64_t)src_n) out[(int64_t)d] = src[j];
        }
        return;
    }
    for (int64_t i = 0; i < count; i++, p += p_step, d += d_step) {
        int64_t j = ix[(int64_t)p];
        if ((uint64_t)j < (uint64_t)src_n && d < (uint64_t)out_n) out[(int64_t)d] = src[j];
    }
}

template <class S, class D>
void convert_loop(const uint8_t* src, uint8_t* dst, int64_t n) {
    const S* s = (const S*)src;
    D* d = (D*)dst;
    for (int64_t i = 0; i < n; i++) {
        if constexpr (std::is_floating_point_v<S>)
            d[i] = (D)(uint64_t)floor_to_i64(s[i]);  // floor, then the low bits
        else
            d[i] = (D)(int64_t)s[i];  // exact, or the low bits; u8 zero-extended, the rest sign-extended
    }
}

template <class S>
void convert_from(const uint8_t* src, int to_code, uint8_t* dst, int64_t n) {
    switch (to_code) {
    case UTYPE_U8: convert_loop<S, uint8_t>(src, dst, n); break;
    case UTYPE_I16: convert_loop<S, int16_t>(src, dst, n); break;
    case UTYPE_I32: convert_loop<S, int32_t>(src, dst, n); break;
    case UTYPE_I64: convert_loop<S, int64_t>(src, dst, n); break;
    case UTYPE_F64:
        if constexpr (!std::is_floating_point_v<S>) convert_loop<S, double>(src, dst, n);
        break;
    }
}

}  // namespace

void ud_convert_run(int from_code, const uint8_t* src, int to_code, uint8_t* dst, int64_t n) {
    switch (from_code) {
    case UTYPE_U8: convert_from<uint8_t>(src, to_code, dst, n); break;
    case UTYPE_I16: convert_from<int16_t>(src, to_code, dst, n); break;
    case UTYPE_I32: convert_from<int32_t>(src, to_code, dst, n); break;
    case UTYPE_I64: convert_from<int64_t>(src, to_code, dst, n); break;
    case UTYPE_F64: convert_from<double>(src, to_code, dst, n); break;
    }
}

int ud_convert_divisor(int from_code, int to_code) {
    if (from_code == to_code) return 64;
    if (from_code == UTYPE_F64) return 8;
    if (to_code == UTYPE_F64) return 16;
    if (from_code == UTYPE_I64 || to_code == UTYPE_I64) return 32;
    return 64;
}

int lua54_ud_take(lua_State* L) {
    for (int i = 1; i <= 3; i++)
        if (ud_is_foreign(L, i)) return 0;
    const uint8_t* src = to_typed_userdata(L, 1);
    const uint8_t* idx = to_typed_userdata(L, 2);
    if (!src || !idx || ud_type(idx) != UTYPE_I32) return 0;
    const int code = ud_type(src);
    const int esize = ud_elem_bytes(code);
    const int64_t src_n = ud_elements(src), idx_n = ud_elements(idx);
    const int64_t idx_offset = hvx_intp(L, 4, 0), dst_offset = hvx_intp(L, 5, 0);
    const int64_t span = hvx_intp(L, 6, 1), idx_stride = hvx_intp(L, 7, 1);
    const int64_t dst_stride = hvx_intp(L, 8, span);
    const int64_t count = hvx_intp(L, 9, span == 1 ? idx_n : (int64_t)ud_width(idx));

    int out_idx = 0;  // none: a new value
    int64_t out_n;
    if (to_typed_userdata(L, 3)) out_idx = 3;
    else if (lua_toboolean(L, 3)) out_idx = 1;
    int64_t new_w = 0, new_h = 0, new_dims = 2;
    if (out_idx) {
        const uint8_t* out = to_typed_userdata(L, out_idx);
        if (ud_type(out) != code) return 0;
        out_n = ud_elements(out);
    } else {
        if (span == 1) new_w = ud_width(idx), new_h = ud_height(idx), new_dims = ud_dims(idx);
        else new_w = span, new_h = count;
        if (new_w < 1 || new_h < 1 || new_w > UD_MAX_ELEMENTS || new_h > UD_MAX_ELEMENTS) return 0;
        out_n = new_w * new_h;
    }

    const gathers g = plan(idx_offset, dst_offset, span, idx_stride, dst_stride, count, idx_n);
    // The element copies, counted before anything changes when they could
    // pass the cap: such a call is refused.
    const int64_t longest = span < (src_n < out_n ? src_n : out_n) ? span : (src_n < out_n ? src_n : out_n);
    int64_t work = 0;
    if (span >= 1 && g.end > g.first && longest > UD_WALK_CAP / (g.end - g.first)) {
        const int32_t* ix = (const int32_t*)ud_data(idx);
        for (int64_t i = g.first; i < g.end && span >= 1; i++) {
            int64_t j = ix[g.position(i)], d;
            if (!g.dest(i, d)) continue;
            int64_t len = g.run(j, d, src_n, out_n);
            if (len > 0) work += len;
            if (work > UD_WALK_CAP) {
                log_refusal_once(cproc, LIMIT_LOGGED_TAKE, "take refused: its copies pass the cap of elements");
                return 0;
            }
        }
    }

    if (!out_idx) {
        if (!create_userdata(L, get_utype_string(code), new_dims, new_w, new_h, nullptr)) return 0;
        out_idx = lua_gettop(L);
    }
    // Creating the value may have run a finalizer: read every block again.
    src = to_typed_userdata(L, 1);
    idx = to_typed_userdata(L, 2);
    uint8_t* out = to_typed_userdata(L, out_idx);
    if (!src || !idx || !out || ud_type(src) != code || ud_type(out) != code || ud_type(idx) != UTYPE_I32 ||
        ud_elements(src) != src_n || ud_elements(idx) != idx_n || ud_elements(out) != out_n)
        return 0;

    // Gathering a value into itself reads the elements as they were.
    std::vector<uint8_t> before;
    const uint8_t* from = ud_data(src);
    if (out == src) {
        before.assign(from, from + src_n * esize);
        from = before.data();
    }
    const int32_t* ix = (const int32_t*)ud_data(idx);  // out may be idx itself: read each index afresh
    uint8_t* to = ud_data(out);
    // Single elements along destinations that fit 64 bits: one plain loop.
    bool done = false;
    int64_t d_first = 0, d_last = 0;
    if (span == 1 && g.end > g.first && g.dest(g.first, d_first) && g.dest(g.end - 1, d_last)) {
        // Every destination lies between the first and the last, so unsigned
        // steps reach each one exactly.
        const int64_t gathers_n = g.end - g.first;
        const uint64_t p0 = (uint64_t)g.position(g.first), d0 = (uint64_t)d_first;
        const uint64_t ps = (uint64_t)idx_stride, ds = (uint64_t)dst_stride;
        switch (esize) {
        case 1: gather_singles<uint8_t>(to, from, ix, p0, ps, d0, ds, gathers_n, src_n, out_n); break;
        case 2: gather_singles<uint16_t>(to, from, ix, p0, ps, d0, ds, gathers_n, src_n, out_n); break;
        case 4: gather_singles<uint32_t>(to, from, ix, p0, ps, d0, ds, gathers_n, src_n, out_n); break;
        default: gather_singles<uint64_t>(to, from, ix, p0, ps, d0, ds, gathers_n, src_n, out_n); break;
        }
        done = true;
    }
    int64_t copied = 0;
    for (int64_t i = g.first; !done && i < g.end && span >= 1 && copied <= UD_WALK_CAP; i++) {
        int64_t j = ix[g.position(i)], d;
        if (!g.dest(i, d)) continue;
        int64_t len = g.run(j, d, src_n, out_n);
        if (len <= 0) continue;
        std::memmove(to + d * esize, from + j * esize, (size_t)(len * esize));
        copied += len;
    }
    const int per = esize == 8 ? 12 : 24;
    spend_cpu(cost_of((i128)g.n / 6 + (i128)span * g.n / per));
    lua_pushvalue(L, out_idx);
    return 1;
}

int lua54_ud_convert(lua_State* L) {
    if (ud_is_foreign(L, 1) || ud_is_foreign(L, 2)) return 0;
    const uint8_t* src = to_typed_userdata(L, 1);
    if (!src) return 0;
    const int from_code = ud_type(src);
    const int64_t src_n = ud_elements(src);
    const i128 src_off = hvx_intp(L, 3, 0), dst_off = hvx_intp(L, 4, 0);
    const int64_t count_arg = hvx_intp(L, 5, 0);
    const i128 count = lua_isnumber(L, 5) ? (i128)count_arg : src_n - src_off;
    int dst_idx = 2;
    if (!to_typed_userdata(L, 2)) {
        char buf[64];
        int to = str_to_utype(ud_arg_text(L, 2, buf));
        if (!create_userdata(L, get_utype_string(to), ud_dims(src), ud_width(src), ud_height(src), nullptr))
            return 0;
        dst_idx = lua_gettop(L);
        src = to_typed_userdata(L, 1);  // read again after the allocation
        if (!src || ud_type(src) != from_code || ud_elements(src) != src_n) return 0;
    }
    uint8_t* dst = to_typed_userdata(L, dst_idx);
    const int to_code = ud_type(dst);
    const int64_t dst_n = ud_elements(dst);
    const i128 n = dst_n - dst_off < count ? dst_n - dst_off : count;
    if (from_code == to_code) {
        // The same type copies from element 0, whatever the offsets.
        const int64_t m = dst_n < src_n ? dst_n : src_n;
        std::memmove(ud_data(dst), ud_data(src), (size_t)(m * ud_elem_bytes(from_code)));
    } else {
        // Only positions that exist on both sides.
        i128 k0 = 0, k1 = n;
        if (-src_off > k0) k0 = -src_off;
        if (-dst_off > k0) k0 = -dst_off;
        if (src_n - src_off < k1) k1 = src_n - src_off;
        if (dst_n - dst_off < k1) k1 = dst_n - dst_off;
        if (k1 > k0)
            ud_convert_run(from_code, ud_data(src) + (int64_t)(src_off + k0) * ud_elem_bytes(from_code), to_code,
                           ud_data(dst) + (int64_t)(dst_off + k0) * ud_elem_bytes(to_code), (int64_t)(k1 - k0));
    }
    spend_cpu(cost_of(n / ud_convert_divisor(from_code, to_code)));
    lua_pushvalue(L, dst_idx);
    return 1;
}
