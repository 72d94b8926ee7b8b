// Vectors and matrices: dot and cross products, lengths and distances,
// interpolation along runs, rows, columns, transposition and matrix
// products, including affine transforms of 2D and 3D points. A matrix is a
// two-dimensional value, row-major; a vector is the first row of a value.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "lang/lang.h"
#include "core/core.h"
#include "userdata/userdata.h"

namespace {

const uint8_t* f64_at(lua_State* L, int idx) {
    const uint8_t* b = to_typed_userdata(L, idx);
    return b && ud_type(b) == UTYPE_F64 ? b : nullptr;
}

const double* f64s(const uint8_t* b) { return (const double*)ud_data(b); }
double* f64s(uint8_t* b) { return (double*)ud_data(b); }

// Two scratch copies shared by every process (the left operand's rows and
// the right operand) for products whose output overwrites what they read.
buffer* dat_storage[2];
bool temp_dat_inited;

// A copy of n doubles in scratch slot; charges n >> 8.
const double* copy_dat(int slot, const double* source, int64_t n) {
    if (!temp_dat_inited) {
        dat_storage[0] = create_buffer_2(UD_SCRATCH_SIZE, UD_SCRATCH_KIND);
        dat_storage[1] = create_buffer_2(UD_SCRATCH_SIZE, UD_SCRATCH_KIND);
        temp_dat_inited = true;
    }
    buffer* b = dat_storage[slot];
    // n is at most the 2^21 doubles of one value, so the size always fits.
    if (!b || !ballocate(b, n * (int64_t)sizeof(double))) {
        krio_debugf("** out of host memory for a matrix scratch copy of %lld values **\n", (long long)n);
        std::abort();
    }
    std::memcpy(b->data, source, (size_t)n * sizeof(double));
    spend_cpu(ud_cost(n >> 8));
    return (const double*)b->data;
}

// The output argument at idx: a typed userdata; a true value that is not one
// means the first operand; otherwise 0 (a new value).
int output_index(lua_State* L, int idx) {
    if (to_typed_userdata(L, idx)) return idx;
    return lua_toboolean(L, idx) ? 1 : 0;
}

// The f64 operands of a product, a and b (arguments 1 and 2), and its output:
// argument 3 when it is a typed userdata, a itself for a true value,
// otherwise a new value from make(a, b). fits(a, b, out) checks all three
// before, and again after an allocation (a finalizer run by it may have
// changed them); the caller then reads only the blocks returned here.
struct product {
    const uint8_t* a;
    const uint8_t* b;
    uint8_t* out;
    int out_idx;
};

template <class Fits, class Make>
bool product_operands(lua_State* L, product& p, Fits fits, Make make) {
    if (ud_is_foreign(L, 3)) return false;
    const uint8_t* a = f64_at(L, 1);
    const uint8_t* b = f64_at(L, 2);
    if (!a || !b) return false;
    int out_idx = output_index(L, 3);
    if (out_idx) {
        const uint8_t* out = f64_at(L, out_idx);
        if (!out || !fits(a, b, out)) return false;
    } else {
        if (!make(a, b)) return false;
        out_idx = lua_gettop(L);
    }
    p = {f64_at(L, 1), f64_at(L, 2), (uint8_t*)f64_at(L, out_idx), out_idx};
    return p.a && p.b && p.out && fits(p.a, p.b, p.out);
}

template <class T>
void transpose_copy(T* out, int64_t out_w, const T* in, int64_t in_w, int64_t rows, int64_t cols) {
    // In tiles, each read and written row by row through a small buffer:
    // walking a column of a value whose rows are a power of two apart misses
    // the cache at every element.
    constexpr int64_t TILE = 32;
    T t[TILE][TILE];
    for (int64_t r0 = 0; r0 < rows; r0 += TILE)
        for (int64_t c0 = 0; c0 < cols; c0 += TILE) {
            const int64_t rn = rows - r0 < TILE ? rows - r0 : TILE, cn = cols - c0 < TILE ? cols - c0 : TILE;
            for (int64_t i = 0; i < cn; i++) std::memcpy(t[i], in + (c0 + i) * in_w + r0, (size_t)rn * sizeof(T));
            for (int64_t j = 0; j < rn; j++)
                for (int64_t i = 0; i < cn; i++) out[(r0 + j) * out_w + c0 + i] = t[i][j];
        }
}

template <class T>
void transpose_square(T* e, int64_t w, int64_t n) {
    // As the copy: a tile below the diagonal and its mirror above it, each
    // through a buffer of its own.
    constexpr int64_t TILE = 32;
    T a[TILE][TILE], b[TILE][TILE];
    for (int64_t r0 = 0; r0 < n; r0 += TILE)
        for (int64_t c0 = 0; c0 <= r0; c0 += TILE) {
            const int64_t rn = n - r0 < TILE ? n - r0 : TILE, cn = n - c0 < TILE ? n - c0 : TILE;
            for (int64_t i = 0; i < rn; i++) std::memcpy(a[i], e + (r0 + i) * w + c0, (size_t)cn * sizeof(T));
            const T(*from)[TILE] = a;  // the diagonal tile is its own mirror
            if (c0 != r0) {
                for (int64_t i = 0; i < cn; i++) std::memcpy(b[i], e + (c0 + i) * w + r0, (size_t)rn * sizeof(T));
                for (int64_t i = 0; i < cn; i++)
                    for (int64_t j = 0; j < rn; j++) e[(c0 + i) * w + r0 + j] = a[j][i];
                from = b;
            }
            for (int64_t i = 0; i < rn; i++)
                for (int64_t j = 0; j < cn; j++) e[(r0 + i) * w + c0 + j] = from[j][i];
        }
}

template <class T>
void lerp_runs(T* e, int64_t offset, int64_t count, int64_t stride, int64_t spans, int64_t span_stride) {
    for (int64_t s = 0; s < spans; s++) {
        const int64_t p = offset + s * span_stride;
        const T A = e[p], B = e[p + count * stride];
        double diff;
        if constexpr (std::is_same_v<T, uint8_t>) diff = (double)((B - A) & 255);  // u8 ramps rise and wrap
        else if constexpr (std::is_same_v<T, int64_t>) diff = (double)B - (double)A;
        else diff = (double)((int64_t)B - (int64_t)A);
        for (int64_t i = 1; i < count; i++) {
            double v = (double)i * diff / (double)count + (double)A;
            if constexpr (std::is_floating_point_v<T>) e[p + i * stride] = v;
            else e[p + i * stride] = (T)(uint64_t)hvx_double_to_i64(v, 0);
        }
    }
}

template <class F>
void by_type(int code, F&& f) {
    switch (code) {
    case UTYPE_U8: f((uint8_t*)nullptr); break;
    case UTYPE_I16: f((int16_t*)nullptr); break;
    case UTYPE_I32: f((int32_t*)nullptr); break;
    case UTYPE_I64: f((int64_t*)nullptr); break;
    default: f((double*)nullptr); break;
    }
}

}  // namespace

void ud_matmul_rows(double* out, const double* a, const double* b, int64_t h, int64_t aw, int64_t ow) {
    // Row i of out gathers a(i, m) * b(m, ·) for m in order: each element is
    // still the sum from 0.0 in order of m, with whole rows of b streamed.
    for (int64_t i = 0; i < h; i++) {
        double* __restrict o = out + i * ow;
        for (int64_t j = 0; j < ow; j++) o[j] = 0.0;
        for (int64_t m = 0; m < aw; m++) {
            const double x = a[i * aw + m];
            const double* __restrict row = b + m * ow;
            for (int64_t j = 0; j < ow; j++) o[j] += x * row[j];
        }
    }
}

void ud_transpose_copy(int code, uint8_t* out, int64_t out_w, const uint8_t* in, int64_t in_w, int64_t rows,
                       int64_t cols) {
    by_type(code, [&](auto* t) {
        using T = std::remove_pointer_t<decltype(t)>;
        transpose_copy<T>((T*)out, out_w, (const T*)in, in_w, rows, cols);
    });
}

// ---------------------------------------------------------------------------
// Vectors
// ---------------------------------------------------------------------------

int lua54_ud_dot(lua_State* L) {
    const uint8_t* a = f64_at(L, 1);
    const uint8_t* b = f64_at(L, 2);
    if (!a || !b) return 0;
    const int64_t n = ud_width(a) < ud_width(b) ? ud_width(a) : ud_width(b);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) sum += f64s(a)[i] * f64s(b)[i];
    lua_pushnumber(L, sum);
    spend_cpu(ud_cost(n / 8 + 1));
    return 1;
}

int lua54_ud_magnitude(lua_State* L) {
    const uint8_t* a = f64_at(L, 1);
    if (!a) return 0;
    const int64_t n = ud_width(a);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) sum += f64s(a)[i] * f64s(a)[i];
    lua_pushnumber(L, std::sqrt(sum));
    spend_cpu(ud_cost((n >> 3) + 2));
    return 1;
}

int lua54_ud_distance(lua_State* L) {
    const uint8_t* a = f64_at(L, 1);
    const uint8_t* b = f64_at(L, 2);
    if (!a || !b) return 0;
    const int64_t n = ud_width(a) < ud_width(b) ? ud_width(a) : ud_width(b);
    double sum = 0;
    for (int64_t i = 0; i < n; i++) {
        double d = (float)(f64s(a)[i] - f64s(b)[i]);  // each difference rounded to a 32-bit float
        sum += d * d;
    }
    lua_pushnumber(L, std::sqrt(sum));
    spend_cpu(ud_cost(n / 8 + 2));
    return 1;
}

int lua54_ud_cross(lua_State* L) {
    product p;
    auto fits = [](const uint8_t* a, const uint8_t* b, const uint8_t* out) {
        return ud_width(a) >= 3 && ud_width(b) >= 3 && ud_width(out) >= 3;
    };
    // Without an output: a whole copy of b, elements 0-2 then replaced.
    auto copy_b = [&](const uint8_t* a, const uint8_t* b) {
        return fits(a, b, b) && push_duplicate_userdata(L, b);
    };
    if (!product_operands(L, p, fits, copy_b)) return 0;
    const uint8_t *a = p.a, *b = p.b;
    uint8_t* out = p.out;
    // Every input is read before anything is written: out may be a or b.
    const double a0 = f64s(a)[0], a1 = f64s(a)[1], a2 = f64s(a)[2];
    const double b0 = f64s(b)[0], b1 = f64s(b)[1], b2 = f64s(b)[2];
    double* o = f64s(out);
    o[0] = a1 * b2 - a2 * b1;
    o[1] = a2 * b0 - b2 * a0;
    o[2] = a0 * b1 - b0 * a1;
    spend_cpu(UD_CROSS_COST);
    lua_pushvalue(L, p.out_idx);
    return 1;
}

int lua54_ud_lerp(lua_State* L) {
    uint8_t* u = to_typed_userdata(L, 1);
    if (!u) return 0;
    const int64_t w = ud_width(u), h = ud_height(u);
    const int64_t offset = hvx_intp(L, 2, 0), count = hvx_intp(L, 3, w - 1), stride = hvx_intp(L, 4, 1);
    const int64_t spans = hvx_intp(L, 5, h), span_stride = hvx_intp(L, 6, w);
    if (count < 1 || spans < 1 || span_stride < 1 || stride < 1 || offset < 0) return 0;
    // Larger factors never fit a value; refusing them first keeps the bound
    // below from overflowing.
    if (count > UD_LERP_MAX_ARG || spans > UD_LERP_MAX_ARG || span_stride > UD_LERP_MAX_ARG ||
        stride > UD_LERP_MAX_ARG || offset > UD_LERP_MAX_ARG)
        return 0;
    if ((spans - 1) * span_stride + offset + count * stride >= w * h) return 0;
    // Spans may overlap, so their work is not bounded by the value's size.
    if (count * spans > UD_WALK_CAP) {
        log_refusal_once(cproc, LIMIT_LOGGED_LERP, "lerp refused: its spans pass the cap of element operations");
        return 0;
    }
    by_type(ud_type(u), [&](auto* t) {
        using T = std::remove_pointer_t<decltype(t)>;
        lerp_runs<T>((T*)ud_data(u), offset, count, stride, spans, span_stride);
    });
    spend_cpu(ud_cost((count * spans) >> 4));
    lua_pushvalue(L, 1);
    return 1;
}

// ---------------------------------------------------------------------------
// Rows, columns, transposition
// ---------------------------------------------------------------------------

static int row_or_column(lua_State* L, bool is_row) {
    const uint8_t* u = to_typed_userdata(L, 1);
    if (!u) return 0;
    const int code = ud_type(u);
    const int64_t w = ud_width(u), h = ud_height(u);
    const int64_t at = hvx_intp(L, 2, 0);
    if (at < 0 || at >= (is_row ? h : w)) return 0;
    if (!create_userdata(L, get_utype_string(code), 2, is_row ? w : 1, is_row ? 1 : h, nullptr)) return 0;
    u = to_typed_userdata(L, 1);  // read again after the allocation
    uint8_t* out = to_typed_userdata(L, -1);
    if (!u || !out || ud_type(u) != code || ud_width(u) != w || ud_height(u) != h) return 0;
    const int es = ud_elem_bytes(code);
    if (is_row) {
        std::memcpy(ud_data(out), ud_data(u) + at * w * es, (size_t)(w * es));
        spend_cpu(ud_cost(w >> 2));
    } else {
        for (int64_t r = 0; r < h; r++) std::memcpy(ud_data(out) + r * es, ud_data(u) + (r * w + at) * es, es);
        spend_cpu(ud_cost(h >> 1));
    }
    return 1;
}

int lua54_ud_row(lua_State* L) { return row_or_column(L, true); }
int lua54_ud_column(lua_State* L) { return row_or_column(L, false); }

int lua54_ud_transpose(lua_State* L) {
    if (ud_is_foreign(L, 2)) return 0;
    uint8_t* u = to_typed_userdata(L, 1);
    if (!u) return 0;
    const int code = ud_type(u);
    const int64_t w = ud_width(u), h = ud_height(u);
    uint8_t* given = to_typed_userdata(L, 2);
    if (given == u || (!given && lua_toboolean(L, 2))) {
        // In place: only the leading square, the shape unchanged.
        const int64_t n = w < h ? w : h;
        by_type(code, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            transpose_square<T>((T*)ud_data(u), w, n);
        });
        spend_cpu(ud_cost((n * n) >> UD_TRANSPOSE_COST_SHIFT));
        lua_pushvalue(L, 1);
        return 1;
    }
    int out_idx = 2;
    if (given) {
        if (ud_type(given) != code) return 0;
    } else {
        if (!create_userdata(L, get_utype_string(code), 2, h, w, nullptr)) return 0;
        out_idx = lua_gettop(L);
        u = to_typed_userdata(L, 1);  // read again after the allocation
        if (!u || ud_type(u) != code || ud_width(u) != w || ud_height(u) != h) return 0;
    }
    uint8_t* out = to_typed_userdata(L, out_idx);
    const int64_t ow = ud_width(out), oh = ud_height(out);
    const int64_t rows = w < oh ? w : oh, cols = h < ow ? h : ow;
    ud_transpose_copy(code, ud_data(out), ow, ud_data(u), w, rows, cols);
    spend_cpu(ud_cost((rows * cols) >> UD_TRANSPOSE_COST_SHIFT));
    lua_pushvalue(L, out_idx);
    return 1;
}

// ---------------------------------------------------------------------------
// Matrix products
// ---------------------------------------------------------------------------

int64_t ud_matmul_cost(uint32_t a_height, uint32_t a_width, uint32_t b_width) {
    // Below 2^96: the product fits 128 bits, its eighth a saturated int64.
    const unsigned __int128 c = ((unsigned __int128)a_height * a_width * b_width) >> 3;
    return c > (unsigned __int128)INT64_MAX ? INT64_MAX : (int64_t)c;
}

int lua54_ud_matmul(lua_State* L) {
    product p;
    const uint8_t* a0 = f64_at(L, 1);
    const uint8_t* b0 = f64_at(L, 2);
    if (a0 && b0 && ud_matmul_cost(ud_height(a0), ud_width(a0), ud_width(b0)) > UD_MATMUL_MAX_COST) {
        log_refusal_once(cproc, LIMIT_LOGGED_MATMUL, "matmul refused: the product passes the ceiling of 2^26 multiply-adds");
        return 0;
    }
    const int64_t k = hvx_intp(L, 4, a0 ? ud_height(a0) : 1);
    // Checked again after an allocation: a finalizer may have reshaped a or b.
    auto operands_fit = [k](const uint8_t* a, const uint8_t* b) {
        return k >= 1 && ud_height(a) % k == 0 && ud_width(a) == ud_height(b) &&
               ud_matmul_cost(ud_height(a), ud_width(a), ud_width(b)) <= UD_MATMUL_MAX_COST;
    };
    auto fits = [&](const uint8_t* a, const uint8_t* b, const uint8_t* out) {
        return operands_fit(a, b) && ud_width(out) == ud_width(b) && ud_height(out) == ud_height(a);
    };
    auto make = [&](const uint8_t* a, const uint8_t* b) {
        return operands_fit(a, b) && create_userdata(L, "f64", 2, ud_width(b), ud_height(a), nullptr);
    };
    if (!product_operands(L, p, fits, make)) return 0;
    const uint8_t *a = p.a, *b = p.b;
    uint8_t* out = p.out;
    const int64_t aw = ud_width(a), ah = ud_height(a), bw = ud_width(b), bh = ud_height(b);
    // Rows of a that out overwrites are copied batch by batch; b, when out
    // is b, once before the first batch, so that every batch reads it whole.
    const double* B = out == b ? copy_dat(1, f64s(b), bw * bh) : f64s(b);
    for (int64_t r = 0; r < ah; r += k) {
        const double* A = f64s(a) + r * aw;
        if (out == a) A = copy_dat(0, A, k * aw);
        ud_matmul_rows(f64s(out) + r * bw, A, B, k, aw, bw);
    }
    spend_cpu(ud_cost(ud_matmul_cost((uint32_t)ah, (uint32_t)aw, (uint32_t)bw)));
    lua_pushvalue(L, p.out_idx);
    return 1;
}

// The operands of an affine transform: b f64 of b_height rows, a, b and
// the output at least `cols` wide, the output with at least a's rows (a copy
// of a when none is given), k (default a's height) 1 or k_group, dividing
// a's height when asked. The product's b, read whole by every row, is a
// scratch copy when the output is b.
struct affine {
    product p;
    const double* b;
    int64_t k, aw, ah, bw, ow;
};

static bool affine_operands(lua_State* L, int64_t b_height, int64_t cols, int64_t k_group, bool k_divides,
                            affine& op) {
    const uint8_t* a0 = f64_at(L, 1);
    const int64_t k = hvx_intp(L, 4, a0 ? ud_height(a0) : 1);
    auto operands_fit = [=](const uint8_t* a, const uint8_t* b) {
        return ud_width(b) >= cols && ud_height(b) == b_height && ud_width(a) >= cols && (k == 1 || k == k_group) &&
               (!k_divides || ud_height(a) % k == 0);
    };
    auto fits = [&](const uint8_t* a, const uint8_t* b, const uint8_t* out) {
        return operands_fit(a, b) && ud_width(out) >= cols && ud_height(out) >= ud_height(a);
    };
    auto copy_a = [&](const uint8_t* a, const uint8_t* b) {
        return operands_fit(a, b) && push_duplicate_userdata(L, a);
    };
    if (!product_operands(L, op.p, fits, copy_a)) return false;
    const uint8_t* b = op.p.b;
    op.b = op.p.out == b ? copy_dat(1, f64s(b), b_height * ud_width(b)) : f64s(b);
    op.k = k;
    op.aw = ud_width(op.p.a), op.ah = ud_height(op.p.a), op.bw = ud_width(b), op.ow = ud_width(op.p.out);
    return true;
}

int lua54_ud_matmul2d(lua_State* L) {
    affine op;
    if (!affine_operands(L, 3, 2, 3, false, op)) return 0;
    const uint8_t* a = op.p.a;
    const double* B = op.b;
    const int64_t aw = op.aw, ah = op.ah, bw = op.bw, ow = op.ow;
    const double b00 = B[0], b01 = B[1], b10 = B[bw], b11 = B[bw + 1], b20 = B[2 * bw], b21 = B[2 * bw + 1];
    double* o = f64s(op.p.out);
    if (op.k == 1) {
        for (int64_t r = 0; r < ah; r++) {
            const double* p = f64s(a) + r * aw;
            if (op.p.out == a) p = copy_dat(0, p, 2);
            const double x = p[0], y = p[1];
            o[r * ow] = (x * b00 + y * b10) + b20;
            o[r * ow + 1] = (y * b11 + x * b01) + b21;
        }
        spend_cpu(ud_cost((ah * 4 >> 3) + 1));
    } else {
        // Groups of three rows: two directions, then a point.
        for (int64_t r = 0; r + 3 <= ah; r += 3) {
            const double* g = f64s(a) + r * aw;
            if (op.p.out == a) g = copy_dat(0, g, 3 * aw);
            for (int64_t i = 0; i < 3; i++) {
                const double x = g[i * aw], y = g[i * aw + 1];
                double* row = o + (r + i) * ow;
                row[0] = x * b00 + y * b10;
                row[1] = x * b01 + y * b11;
                if (i == 2) row[0] += b20, row[1] += b21;
            }
        }
        spend_cpu(ud_cost((ah * 12 >> 3) + 1));
    }
    lua_pushvalue(L, op.p.out_idx);
    return 1;
}

int lua54_ud_matmul3d(lua_State* L) {
    affine op;
    if (!affine_operands(L, 4, 3, 4, true, op)) return 0;
    const double* B = op.b;
    const int64_t aw = op.aw, ah = op.ah, bw = op.bw, ow = op.ow;
    double* o = f64s(op.p.out);
    if (op.k == 1) {
        double m[4][3];  // b's twelve values, held while out is written
        for (int i = 0; i < 4; i++)
            for (int j = 0; j < 3; j++) m[i][j] = B[i * bw + j];
        const double* p = f64s(op.p.a);
        double* row = o;
        for (int64_t r = 0; r < ah; r++, p += aw, row += ow) {
            const double x = p[0], y = p[1], z = p[2];
            row[0] = x * m[0][0] + y * m[1][0] + z * m[2][0] + m[3][0];
            row[1] = (y * m[1][1] + x * m[0][1]) + z * m[2][1] + m[3][1];
            row[2] = (y * m[1][2] + x * m[0][2]) + z * m[2][2] + m[3][2];
        }
        spend_cpu(ud_cost(ah));
    } else {
        // Groups of four rows; b has four rows, so at most four terms a row.
        const int64_t terms = aw < 4 ? aw : 4;
        for (int64_t r = 0; r < ah; r += 4) {
            const double* g = f64s(op.p.a) + r * aw;
            if (op.p.out == op.p.a) g = copy_dat(0, g, 4 * aw);
            for (int64_t i = 0; i < 4; i++) {
                double* row = o + (r + i) * ow;
                for (int j = 0; j < 3; j++) {
                    double sum = 0;
                    for (int64_t m = 0; m < terms; m++) sum += g[i * aw + m] * B[m * bw + j];
                    if (i == 3) sum += B[3 * bw + j];
                    row[j] = sum;
                }
            }
            spend_cpu(UD_MATMUL3D_GROUP_COST);
        }
    }
    lua_pushvalue(L, op.p.out_idx);
    return 1;
}
