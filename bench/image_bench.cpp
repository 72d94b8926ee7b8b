// Pictures: our QOI beside the reference code on a screen-like 480 x 270 and
// a photo-like 2048 x 2048 picture; the PNG wrappers beside LodePNG called
// directly; fetch of a 1 MB vyn file beside reading the bytes alone.
#include <benchmark/benchmark.h>
#include <lodepng.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "storage/storage.h"

void* anchor_encode(const void* px, uint32_t w, uint32_t h, int channels, int* len);
void* anchor_decode(const void* bytes, int size, int channels);

namespace {

struct picture {
    uint32_t w, h;
    std::vector<uint8_t> rgba;
    std::vector<uint8_t> qoi;
};

// Flat panels, text-like specks and a few gradients, as a desktop shows.
picture screen_like() {
    picture p{480, 270, {}, {}};
    p.rgba.resize(480 * 270 * 4);
    std::mt19937 rng(3);
    for (uint32_t y = 0; y < 270; y++)
        for (uint32_t x = 0; x < 480; x++) {
            uint8_t* d = &p.rgba[4 * (y * 480 + x)];
            uint32_t panel = (x / 96 + y / 54) % 5;
            bool text = (y % 12) < 7 && (x % 6) < 4 && (rng() % 3) == 0 && panel == 1;
            d[0] = text ? 255 : (uint8_t)(panel * 40);
            d[1] = text ? 241 : (uint8_t)(panel == 3 ? x / 2 : panel * 30);
            d[2] = text ? 232 : (uint8_t)(panel * 50);
            d[3] = 255;
        }
    return p;
}

// Smooth light and colour with sensor-like noise.
picture photo_like() {
    picture p{2048, 2048, {}, {}};
    p.rgba.resize((size_t)2048 * 2048 * 4);
    std::mt19937 rng(5);
    for (uint32_t y = 0; y < 2048; y++)
        for (uint32_t x = 0; x < 2048; x++) {
            uint8_t* d = &p.rgba[4 * ((size_t)y * 2048 + x)];
            double v = 0.5 + 0.25 * std::sin(x * 0.004) * std::cos(y * 0.003) + 0.2 * std::sin((x + y) * 0.0011);
            int n = (int)(rng() % 7) - 3;
            d[0] = (uint8_t)std::clamp((int)(v * 230) + n, 0, 255);
            d[1] = (uint8_t)std::clamp((int)(v * 180 + 30) + n, 0, 255);
            d[2] = (uint8_t)std::clamp((int)((1 - v) * 160 + 40) + n, 0, 255);
            d[3] = 255;
        }
    return p;
}

picture& pic(int which) {
    static picture screen = screen_like(), photo = photo_like();
    picture& p = which ? photo : screen;
    if (p.qoi.empty()) {
        qoi_desc d{p.w, p.h, 4, 0};
        int n = 0;
        uint8_t* q = qoi_encode(p.rgba.data(), &d, &n);
        p.qoi.assign(q, q + n);
        free(q);
    }
    return p;
}

void BM_qoi_encode(benchmark::State& st) {
    picture& p = pic((int)st.range(0));
    qoi_desc d{p.w, p.h, 4, 0};
    for (auto _ : st) {
        int n = 0;
        uint8_t* q = qoi_encode(p.rgba.data(), &d, &n);
        benchmark::DoNotOptimize(q);
        free(q);
    }
    st.SetItemsProcessed((int64_t)st.iterations() * p.w * p.h);
}
BENCHMARK(BM_qoi_encode)->Arg(0)->Arg(1);

void BM_anchor_qoi_encode(benchmark::State& st) {
    picture& p = pic((int)st.range(0));
    for (auto _ : st) {
        int n = 0;
        void* q = anchor_encode(p.rgba.data(), p.w, p.h, 4, &n);
        benchmark::DoNotOptimize(q);
        free(q);
    }
    st.SetItemsProcessed((int64_t)st.iterations() * p.w * p.h);
}
BENCHMARK(BM_anchor_qoi_encode)->Arg(0)->Arg(1);

void BM_qoi_decode(benchmark::State& st) {
    picture& p = pic((int)st.range(0));
    for (auto _ : st) {
        qoi_desc d;
        uint8_t* px = qoi_decode(p.qoi.data(), (int)p.qoi.size(), &d, 4);
        benchmark::DoNotOptimize(px);
        free(px);
    }
    st.SetItemsProcessed((int64_t)st.iterations() * p.w * p.h);
}
BENCHMARK(BM_qoi_decode)->Arg(0)->Arg(1);

void BM_anchor_qoi_decode(benchmark::State& st) {
    picture& p = pic((int)st.range(0));
    for (auto _ : st) {
        void* px = anchor_decode(p.qoi.data(), (int)p.qoi.size(), 4);
        benchmark::DoNotOptimize(px);
        free(px);
    }
    st.SetItemsProcessed((int64_t)st.iterations() * p.w * p.h);
}
BENCHMARK(BM_anchor_qoi_decode)->Arg(0)->Arg(1);

void BM_png_encode_wrapper(benchmark::State& st) {
    picture& p = pic(0);
    buffer* b = create_buffer_2(1 << 20, 1);
    for (auto _ : st) {
        bclear(b);
        benchmark::DoNotOptimize(LodePNG_encode32_pbuffer(p.rgba.data(), p.w, p.h, b));
    }
    destroy_buffer(b);
}
BENCHMARK(BM_png_encode_wrapper);

void BM_lodepng_encode(benchmark::State& st) {
    picture& p = pic(0);
    for (auto _ : st) {
        unsigned char* out = nullptr;
        size_t n = 0;
        benchmark::DoNotOptimize(lodepng_encode32(&out, &n, p.rgba.data(), p.w, p.h));
        free(out);
    }
}
BENCHMARK(BM_lodepng_encode);

void BM_png_decode_wrapper(benchmark::State& st) {
    picture& p = pic(0);
    buffer* b = create_buffer_2(1 << 20, 1);
    LodePNG_encode32_pbuffer(p.rgba.data(), p.w, p.h, b);
    for (auto _ : st) {
        uint8_t* px = nullptr;
        unsigned w, h;
        benchmark::DoNotOptimize(LodePNG_decode32_pbuffer(&px, &w, &h, b));
        free(px);
    }
    destroy_buffer(b);
}
BENCHMARK(BM_png_decode_wrapper);

void BM_lodepng_decode(benchmark::State& st) {
    picture& p = pic(0);
    unsigned char* png = nullptr;
    size_t n = 0;
    lodepng_encode32(&png, &n, p.rgba.data(), p.w, p.h);
    for (auto _ : st) {
        unsigned char* px = nullptr;
        unsigned w, h;
        benchmark::DoNotOptimize(lodepng_decode32(&px, &w, &h, png, n));
        free(px);
    }
    free(png);
}
BENCHMARK(BM_lodepng_decode);

// A process with a host folder at "/" holding big.vyn: about 1 MB of
// records stored as fetch finds it.
struct vyn_file {
    std::string dir;
    Process* p;
    vyn_file() {
        dir = bench_scratch() + "/vyn_file";
        std::filesystem::create_directories(dir);
        p = bench_process(R"lua(
            local t = {}
            for i = 1, 40000 do
                t[i] = {id = i, name = "record " .. (i * 2654435761) % 4294967296, x = math.sin(i) * 1e6, on = i % 3 == 0}
            end
            store("/big.vyn", t)
        )lua");
        pfile_init();
        pfile_reset();
        mount_host_path("/", dir.c_str());
        cproc = p;
        cpu_cycles_max = INT32_MAX;
        lua_pcall(p->L, 0, 0, 0);
    }
    ~vyn_file() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        pfile_reset();
        cproc = nullptr;
        processes_init();
    }
};

void BM_fetch_1mb_vyn(benchmark::State& st) {
    vyn_file f;
    lua_State* L = f.p->L;
    int64_t bytes = pfile_size("/big.vyn", 0);
    for (auto _ : st) {
        cpu_cycles = 0;
        lua_getglobal(L, "fetch");
        lua_pushstring(L, "/big.vyn");
        lua_call(L, 1, 1);
        benchmark::DoNotOptimize(lua_type(L, -1));
        st.PauseTiming();
        lua_settop(L, HVX_HOST_SLOTS);
        lua_gc(L, LUA_GCCOLLECT, 0);
        st.ResumeTiming();
    }
    st.SetBytesProcessed((int64_t)st.iterations() * bytes);
    st.counters["file_bytes"] = (double)bytes;
}
BENCHMARK(BM_fetch_1mb_vyn)->Unit(benchmark::kMillisecond);

// The anchor: the same file's bytes read, nothing decoded.
void BM_read_1mb_vyn_bytes(benchmark::State& st) {
    vyn_file f;
    int64_t bytes = pfile_size("/big.vyn", 0);
    for (auto _ : st) {
        buffer* b = pfile_read_all("/big.vyn", "rb");
        benchmark::DoNotOptimize(b);
        destroy_buffer(b);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * bytes);
}
BENCHMARK(BM_read_1mb_vyn_bytes)->Unit(benchmark::kMillisecond);

}  // namespace
