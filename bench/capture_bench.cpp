// GIF recording cost per recorded frame at scales 1 and 4, beside giflib's
// own encoding of the same raster into memory (the anchor: the LZW work that
// no recorder avoids); and the audio lock's hold for a change of audio focus
// (a 16 MB copy) beside a plain 16 MB memcpy.
#include <benchmark/benchmark.h>

#include <gif_lib.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/synth.h"
#include "bench/bench_support.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "storage/storage.h"

namespace {

// Our kernel booted, its window manager's display composed once, and the
// desktop mount the recorder writes to.
Process* wm_ready() {
    static Process* wm = nullptr;
    if (wm) return wm;
    if (!bench_boot_our_kernel()) return nullptr;
    pfile_init();
    pfile_reset();
    mount_host_path("/desktop/host", bench_scratch().c_str());
    wm = get_process(WM_PROCESS_ID);
    return wm;
}

void start_recording(Process* wm, int scale) {
    cproc = wm;
    const int16_t req[8] = {0, 0, HVX_DISPLAY_W, HVX_DISPLAY_H, (int16_t)scale, 0, 0, 1};
    for (int i = 0; i < 8; i++) hvx_poke16(wm, ADDR_GIF_REQUEST + 2 * i, (uint16_t)req[i]);
    hvx_poke8(wm, ADDR_CAPTURE_STEM, 0);
    if (gif_start() == 0) gfx_app.gif_recording = 1, gfx_app.gif_frames = 0;
}

void stop_recording() {
    gif_end_ex(0);
    gfx_app.gif_recording = 0;
}

// Every frame changes colour (the whole palette alternates), so nothing is
// transparent: the full encode of every pixel, and a local map.
void BM_gif_frame(benchmark::State& state) {
    Process* wm = wm_ready();
    if (!wm) {
        state.SkipWithError("our kernel did not boot");
        return;
    }
    const int scale = (int)state.range(0);
    start_recording(wm, scale);
    int64_t frames = 0;
    for (auto _ : state) {
        for (uint32_t& w : display_pal) w ^= 0x010101;
        update_gif_recording(display_pal, display_line_sel, back_page);  // recorded
        update_gif_recording(display_pal, display_line_sel, back_page);  // every other frame
        if (++frames % 1000 == 0) {
            state.PauseTiming();
            stop_recording();
            start_recording(wm, scale);
            state.ResumeTiming();
        }
    }
    stop_recording();
    state.counters["pixels"] = HVX_DISPLAY_PIXELS * scale * scale;
}
BENCHMARK(BM_gif_frame)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

int discard(GifFileType*, const GifByteType*, int n) { return n; }

void BM_gif_frame_giflib_anchor(benchmark::State& state) {
    const int scale = (int)state.range(0), w = HVX_DISPLAY_W * scale, h = HVX_DISPLAY_H * scale;
    Process* wm = wm_ready();
    if (!wm) {
        state.SkipWithError("our kernel did not boot");
        return;
    }
    std::vector<uint8_t> raster((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const int r = y / scale, c = x / scale;
            raster[(size_t)y * w + x] =
                (uint8_t)((hvx_peek8(wm, ADDR_DISPLAY + r * HVX_DISPLAY_W + c) & 63) + 64 * display_line_sel[r]);
        }
    int err = 0;
    GifFileType* gif = EGifOpen(nullptr, discard, &err);
    ColorMapObject* map = GifMakeMapObject(256, nullptr);
    EGifPutScreenDesc(gif, w, h, GIF_COLOR_RES, 0, map);
    for (auto _ : state) {
        EGifPutImageDesc(gif, 0, 0, w, h, false, map);
        for (int y = 0; y < h; y++) EGifPutLine(gif, &raster[(size_t)y * w], w);
    }
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
}
BENCHMARK(BM_gif_frame_giflib_anchor)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

// audio_op_start for a process that is not the focus yet: all 4,096 pages
// copied and the synthesizer silenced, all under the audio lock.
void BM_audio_focus_change_lock_hold(benchmark::State& state) {
    Process* a = bench_process("", "a", "/ram/a.lua");
    Process* b = create_process_from_code("", "b", "/ram/b.lua", "", "");
    if (!a || !b) {
        state.SkipWithError("no processes");
        return;
    }
    // Every page backed, as in a process that has touched all its memory.
    for (uint32_t pg = 0; pg < HVX_PAGES; pg++) {
        hvx_poke8(a, pg * HVX_PAGE_SIZE, 1);
        hvx_poke8(b, pg * HVX_PAGE_SIZE, 2);
    }
    int64_t ids[2] = {a->id, b->id};
    int k = 0;
    for (auto _ : state) {
        audio_op_start(ids[k ^= 1], 1);
        audio_op_end();
    }
}
BENCHMARK(BM_audio_focus_change_lock_hold)->Unit(benchmark::kMillisecond);

void BM_audio_focus_memcpy_anchor(benchmark::State& state) {
    static std::vector<uint8_t> src(MUDO_RAM_SIZE, 1);
    for (auto _ : state) {
        std::memcpy(mixer.ram, src.data(), MUDO_RAM_SIZE);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_audio_focus_memcpy_anchor)->Unit(benchmark::kMillisecond);

}  // namespace
