// Typed userdata methods, called as a script calls them, beside plain C loops
// doing the same work: in-place add and multiply (2M f64, 16M u8), division
// and modulo, the matrix product against a naive triple loop summed in the
// same order, transposition, gather and conversion.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

constexpr int64_t F64_N = 2 * 1024 * 1024;
constexpr int64_t U8_N = 16 * 1024 * 1024;

lua_State* state() {
    static Process* p = nullptr;
    if (!p) p = bench_process("");
    set_current_process(p);
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX / 2;
    return p->L;
}

// Random elements: doubles in [-1000, 1000], integers of random bits. The
// anchors start from the same elements as our values.
template <class T>
void fill_random(T* p, int64_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> d(-1000, 1000);
    for (int64_t i = 0; i < n; i++) p[i] = std::is_floating_point_v<T> ? (T)d(rng) : (T)rng();
}

// A global typed userdata of random elements; its block.
uint8_t* make_global(const char* name, const char* type, int64_t w, int64_t h, unsigned seed = 1) {
    lua_State* L = state();
    lua_pushnil(L);  // the old value goes first: a process holds 32 MB
    lua_setglobal(L, name);
    lua_gc(L, LUA_GCCOLLECT);
    uint8_t* b = create_userdata(L, type, 2, w, h, nullptr);
    switch (ud_type(b)) {
    case UTYPE_U8: fill_random((uint8_t*)ud_data(b), w * h, seed); break;
    case UTYPE_I16: fill_random((int16_t*)ud_data(b), w * h, seed); break;
    case UTYPE_I32: fill_random((int32_t*)ud_data(b), w * h, seed); break;
    case UTYPE_I64: fill_random((int64_t*)ud_data(b), w * h, seed); break;
    default: fill_random((double*)ud_data(b), w * h, seed); break;
    }
    lua_setglobal(L, name);
    return b;
}

// Calls fn with the globals named (or Lua values for the other arguments) as
// a script's method call would.
void call_method(int (*fn)(lua_State*), const std::vector<const char*>& args) {
    lua_State* L = state();
    lua_pushcfunction(L, fn);
    for (const char* a : args) {
        if (!std::strcmp(a, "true")) lua_pushboolean(L, 1);
        else if (!std::strcmp(a, "nil")) lua_pushnil(L);
        else if (a[0] >= '0' && a[0] <= '9') lua_pushinteger(L, std::atoll(a));
        else lua_getglobal(L, a);
    }
    lua_call(L, (int)args.size(), 1);
    lua_pop(L, 1);
}

void run_method(benchmark::State& s, int (*fn)(lua_State*), std::vector<const char*> args, int64_t bytes) {
    for (auto _ : s) {
        call_method(fn, args);
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * bytes);
}

// --- add and multiply in place ---

// a:op(b, true) over two fresh arrays of w x h elements.
void run_pair(benchmark::State& s, int (*fn)(lua_State*), const char* type, int64_t w, int64_t h, int64_t bytes) {
    make_global("a", type, w, h, 1);
    make_global("b", type, w, h, 2);
    run_method(s, fn, {"a", "b", "true"}, bytes);
}
// The same as a plain loop: a[i] = f(a[i], b[i]), from the same elements.
template <class T, class F>
void anchor_pair(benchmark::State& s, int64_t n, F f) {
    std::vector<T> a(n), b(n);
    fill_random(a.data(), n, 1);
    fill_random(b.data(), n, 2);
    for (auto _ : s) {
        for (int64_t i = 0; i < n; i++) a[i] = f(a[i], b[i]);
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * n * (int64_t)sizeof(T));
}

void BM_add_f64(benchmark::State& s) { run_pair(s, lua54_ud_add, "f64", F64_N, 1, F64_N * 8); }
void BM_add_f64_anchor(benchmark::State& s) { anchor_pair<double>(s, F64_N, [](double x, double y) { return x + y; }); }
void BM_mul_f64(benchmark::State& s) { run_pair(s, lua54_ud_mul, "f64", F64_N, 1, F64_N * 8); }
void BM_mul_f64_anchor(benchmark::State& s) { anchor_pair<double>(s, F64_N, [](double x, double y) { return x * y; }); }
void BM_add_u8(benchmark::State& s) { run_pair(s, lua54_ud_add, "u8", 4096, 4096, U8_N); }
void BM_add_u8_anchor(benchmark::State& s) {
    anchor_pair<uint8_t>(s, U8_N, [](uint8_t x, uint8_t y) { return (uint8_t)(x + y); });
}
void BM_mul_u8(benchmark::State& s) { run_pair(s, lua54_ud_mul, "u8", 4096, 4096, U8_N); }
void BM_mul_u8_anchor(benchmark::State& s) {
    anchor_pair<uint8_t>(s, U8_N, [](uint8_t x, uint8_t y) { return (uint8_t)(x * y); });
}
// A bitmap's 270 rows of 480 from a 512-wide one, span by span.
void BM_add_u8_spans(benchmark::State& s) {
    make_global("a", "u8", 480, 270, 1);
    make_global("b", "u8", 512, 270, 2);
    lua_State* L = state();
    for (auto _ : s) {
        lua_pushcfunction(L, lua54_ud_add);
        lua_getglobal(L, "a");
        lua_getglobal(L, "b");
        lua_pushboolean(L, 1);
        for (int v : {0, 0, 480, 512, 480, 270}) lua_pushinteger(L, v);
        lua_call(L, 9, 1);
        lua_pop(L, 1);
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * 480 * 270);
}
void BM_add_u8_spans_anchor(benchmark::State& s) {
    std::vector<uint8_t> a(480 * 270, 1), b(512 * 270, 3);
    for (auto _ : s) {
        for (int y = 0; y < 270; y++)
            for (int x = 0; x < 480; x++) a[y * 480 + x] += b[y * 512 + x];
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * 480 * 270);
}
BENCHMARK(BM_add_f64);
BENCHMARK(BM_add_f64_anchor);
BENCHMARK(BM_mul_f64);
BENCHMARK(BM_mul_f64_anchor);
BENCHMARK(BM_add_u8);
BENCHMARK(BM_add_u8_anchor);
BENCHMARK(BM_mul_u8);
BENCHMARK(BM_mul_u8_anchor);
BENCHMARK(BM_add_u8_spans);
BENCHMARK(BM_add_u8_spans_anchor);

// --- division and modulo (1M elements, the same zero test in the anchor) ---

constexpr int64_t DIV_N = 1024 * 1024;

void BM_div_i32(benchmark::State& s) { run_pair(s, lua54_ud_div, "i32", DIV_N, 1, DIV_N * 4); }
void BM_div_i32_anchor(benchmark::State& s) {
    anchor_pair<int32_t>(s, DIV_N, [](int32_t l, int32_t r) {
        return r == 0 ? (l < 0 ? -INT32_MAX : INT32_MAX) : r == -1 ? (int32_t)(0u - (uint32_t)l) : l / r;
    });
}
void BM_mod_f64(benchmark::State& s) { run_pair(s, lua54_ud_mod, "f64", DIV_N, 1, DIV_N * 8); }
void BM_mod_f64_anchor(benchmark::State& s) {
    anchor_pair<double>(s, DIV_N, [](double l, double r) {
        if (r == 0) return 0.0;
        double m = std::fmod(l, r);
        return (m > 0 && r < 0) || (m < 0 && r > 0) ? m + r : m;
    });
}
BENCHMARK(BM_div_i32);
BENCHMARK(BM_div_i32_anchor);
BENCHMARK(BM_mod_f64);
BENCHMARK(BM_mod_f64_anchor);

// --- matrix product, transposition ---

void matmul_ours(benchmark::State& s, int n) {
    make_global("a", "f64", n, n, 1);
    make_global("b", "f64", n, n, 2);
    make_global("out", "f64", n, n, 3);
    run_method(s, lua54_ud_matmul, {"a", "b", "out"}, (int64_t)n * n * 8);
}
void matmul_anchor(benchmark::State& s, int n) {
    std::vector<double> a(n * n, 0.5), b(n * n, 0.25), out(n * n);
    for (auto _ : s) {
        for (int i = 0; i < n; i++)
            for (int j = 0; j < n; j++) {
                double sum = 0;
                for (int m = 0; m < n; m++) sum += a[i * n + m] * b[m * n + j];
                out[i * n + j] = sum;
            }
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * (int64_t)n * n * 8);
}
void BM_matmul_256(benchmark::State& s) { matmul_ours(s, 256); }
void BM_matmul_256_anchor(benchmark::State& s) { matmul_anchor(s, 256); }
// The largest square product under the ceiling: the host time a call may take.
void BM_matmul_406(benchmark::State& s) { matmul_ours(s, 406); }
void BM_matmul_406_anchor(benchmark::State& s) { matmul_anchor(s, 406); }
BENCHMARK(BM_matmul_256);
BENCHMARK(BM_matmul_256_anchor);
BENCHMARK(BM_matmul_406);
BENCHMARK(BM_matmul_406_anchor);

// 100k points through a 3D affine transform.
void BM_matmul3d_points(benchmark::State& s) {
    make_global("a", "f64", 3, 100000, 1);
    make_global("b", "f64", 3, 4, 2);
    run_method(s, lua54_ud_matmul3d, {"a", "b", "true", "1"}, 100000 * 24);
}
void BM_matmul3d_points_anchor(benchmark::State& s) {
    std::vector<double> a(300000, 0.5), b(12, 0.25);
    for (auto _ : s) {
        for (int r = 0; r < 100000; r++) {
            double* p = &a[r * 3];
            double x = p[0], y = p[1], z = p[2];
            p[0] = x * b[0] + y * b[3] + z * b[6] + b[9];
            for (int j = 1; j < 3; j++) p[j] = (y * b[3 + j] + x * b[j]) + z * b[6 + j] + b[9 + j];
        }
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * 100000 * 24);
}
BENCHMARK(BM_matmul3d_points);
BENCHMARK(BM_matmul3d_points_anchor);

template <class T>
void transpose_anchor(benchmark::State& s, int n) {
    std::vector<T> in((size_t)n * n, 1), out((size_t)n * n);
    for (auto _ : s) {
        for (int r = 0; r < n; r++)
            for (int c = 0; c < n; c++) out[(size_t)r * n + c] = in[(size_t)c * n + r];
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * (int64_t)n * n * (int64_t)sizeof(T));
}
void BM_transpose_u8_2048(benchmark::State& s) {
    make_global("m", "u8", 2048, 2048, 1);
    make_global("t", "u8", 2048, 2048, 2);
    run_method(s, lua54_ud_transpose, {"m", "t"}, 2048 * 2048);
}
void BM_transpose_u8_2048_anchor(benchmark::State& s) { transpose_anchor<uint8_t>(s, 2048); }
void BM_transpose_f64_1024(benchmark::State& s) {
    make_global("m", "f64", 1024, 1024, 1);
    make_global("t", "f64", 1024, 1024, 2);
    run_method(s, lua54_ud_transpose, {"m", "t"}, 1024 * 1024 * 8);
}
void BM_transpose_f64_1024_anchor(benchmark::State& s) { transpose_anchor<double>(s, 1024); }
BENCHMARK(BM_transpose_u8_2048);
BENCHMARK(BM_transpose_u8_2048_anchor);
BENCHMARK(BM_transpose_f64_1024);
BENCHMARK(BM_transpose_f64_1024_anchor);

// --- gather and conversion ---

constexpr int64_t GATHER_N = 1024 * 1024;

void BM_take_f64(benchmark::State& s) {
    make_global("src", "f64", GATHER_N, 1, 1);
    make_global("out", "f64", GATHER_N, 1, 2);
    lua_State* L = state();
    uint8_t* idx = create_userdata(L, "i32", 1, GATHER_N, 1, nullptr);
    std::mt19937 rng(4);
    for (int64_t i = 0; i < GATHER_N; i++) ((int32_t*)ud_data(idx))[i] = (int32_t)(rng() % GATHER_N);
    lua_setglobal(L, "idx");
    run_method(s, lua54_ud_take, {"src", "idx", "out"}, GATHER_N * 8);
}
void BM_take_f64_anchor(benchmark::State& s) {
    std::vector<double> src(GATHER_N, 1.0), out(GATHER_N);
    std::vector<int32_t> idx(GATHER_N);
    std::mt19937 rng(4);
    for (int64_t i = 0; i < GATHER_N; i++) idx[i] = (int32_t)(rng() % GATHER_N);
    for (auto _ : s) {
        for (int64_t i = 0; i < GATHER_N; i++) {
            int64_t j = idx[i];
            if (j >= 0 && j < GATHER_N) out[i] = src[j];
        }
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * GATHER_N * 8);
}
BENCHMARK(BM_take_f64);
BENCHMARK(BM_take_f64_anchor);

void BM_convert_f64_u8(benchmark::State& s) {
    make_global("src", "f64", F64_N, 1, 1);
    make_global("dst", "u8", F64_N, 1, 2);
    run_method(s, lua54_ud_convert, {"src", "dst"}, F64_N * 8);
}
void BM_convert_f64_u8_anchor(benchmark::State& s) {
    std::vector<double> src(F64_N);
    std::vector<uint8_t> dst(F64_N);
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> d(-1000, 1000);
    for (double& x : src) x = d(rng);
    for (auto _ : s) {
        for (int64_t i = 0; i < F64_N; i++) {
            double f = std::floor(src[i]);
            int64_t v = f != f ? 0 : f >= 0x1p63 ? INT64_MAX : f < -0x1p63 ? INT64_MIN : (int64_t)f;
            dst[i] = (uint8_t)v;
        }
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * F64_N * 8);
}
void BM_convert_u8_f64(benchmark::State& s) {
    make_global("src", "u8", F64_N, 1, 1);
    make_global("dst", "f64", F64_N, 1, 2);
    run_method(s, lua54_ud_convert, {"src", "dst"}, F64_N * 8);
}
void BM_convert_u8_f64_anchor(benchmark::State& s) {
    std::vector<uint8_t> src(F64_N, 7);
    std::vector<double> dst(F64_N);
    for (auto _ : s) {
        for (int64_t i = 0; i < F64_N; i++) dst[i] = src[i];
        benchmark::ClobberMemory();
    }
    s.SetBytesProcessed(s.iterations() * F64_N * 8);
}
BENCHMARK(BM_convert_f64_u8);
BENCHMARK(BM_convert_f64_u8_anchor);
BENCHMARK(BM_convert_u8_f64);
BENCHMARK(BM_convert_u8_f64_anchor);

}  // namespace
