// Screenshots, cartridge labels, GIF recordings and raw sound captures. The
// window manager asks through _signal after filling a request block in its
// low memory; the compositor hands over every composed frame.
#include <gif_lib.h>
#include <lodepng.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "core/core.h"
#include "storage/storage.h"

#include <fcntl.h>  // a GIF opened with plain permissions
#include <unistd.h>

gfx_app_t gfx_app;

int video_mode_scale() {
    Process* p = get_process(config.display_pid);
    return p ? video_mode_scale_for(peek_proc(p, ADDR_VIDEO_MODE)) : 1;
}

namespace {

// --- request blocks ---------------------------------------------------------------

struct region {
    int32_t x, y, width, height, scale;
};

int16_t field(uint32_t addr) { return (int16_t)peek2(addr); }

// Width and height first, then the corner against them.
region read_region(uint32_t at) {
    region r;
    r.width = std::clamp<int32_t>(field(at + 4), CAPTURE_MIN_SIZE, HVX_DISPLAY_W);
    r.height = std::clamp<int32_t>(field(at + 6), CAPTURE_MIN_SIZE, HVX_DISPLAY_H);
    r.x = std::clamp<int32_t>(field(at), 0, HVX_DISPLAY_W - r.width);
    r.y = std::clamp<int32_t>(field(at + 2), 0, HVX_DISPLAY_H - r.height);
    r.scale = std::clamp<int32_t>(field(at + 8), 1, CAPTURE_MAX_SCALE);
    return r;
}

// The stem at 0x60, at most 64 bytes. Characters that could name another
// folder become '_', so a capture never leaves the desktop folder.
std::string read_stem() {
    std::string s;
    for (uint32_t i = 0; i < CAPTURE_STEM_MAX; i++) {
        char ch = (char)peek(ADDR_CAPTURE_STEM + i);
        if (!ch) break;
        if (ch == '/' || ch == '\\' || (unsigned char)ch < 32 || (ch == '.' && s.empty())) ch = '_';
        s += ch;
    }
    return s;
}

// --- screenshots ---------------------------------------------------------------------

struct {
    region r;
    int32_t label, skip, silent;
    std::string name;
} shot;

void put_rgba(uint8_t* px, uint32_t rgb) {
    px[0] = (uint8_t)(rgb >> 16), px[1] = (uint8_t)(rgb >> 8), px[2] = (uint8_t)rgb, px[3] = 255;
}

// Encoded before the file opens, so a failure never leaves an empty label.
void capture_label(const std::vector<uint8_t>& rgba, uint32_t w, uint32_t h) {
    const qoi_desc desc{w, h, 4, 1};
    int len = 0;
    void* q = qoi_encode(rgba.data(), &desc, &len);
    pfile* f = q && len > 0 ? pfopen(LABEL_PATH, "w") : nullptr;
    if (f) pfwrite(q, 1, len, f);
    // The write happens at the close: only then is the label stored.
    if (f && pfclose(f) == 0) {
        notify((std::string("captured label (") + LABEL_PATH + ")").c_str());
    } else {
        krio_debugf("** could not store %s\n", LABEL_PATH);
    }
    free(q);
}

// The RGBA pixels of the shot's region, each frame pixel f x f.
std::vector<uint8_t> shot_pixels(const uint32_t* rgb, const region& r, int f) {
    const uint32_t W = (uint32_t)(r.width * f), H = (uint32_t)(r.height * f);
    std::vector<uint8_t> rgba((size_t)W * H * 4);
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++)
            put_rgba(&rgba[((size_t)y * W + x) * 4], rgb[(r.y + y / f) * HVX_DISPLAY_W + r.x + x / f]);
    return rgba;
}

// A large shot takes far longer to scale and encode than a frame lasts:
// that runs on a thread of its own, one shot at a time, from a copy of the
// frame, and the main thread stores the file once it is done. The worker
// touches only this record.
struct shot_encode {
    std::thread worker;
    bool active = false;  // main thread: an encode runs or waits to be stored
    std::atomic<bool> finished{false};
    std::vector<uint32_t> frame;
    unsigned char* png = nullptr;
    size_t png_len = 0;
    unsigned err = 0;
    region r{};
    int32_t f = 1, silent = 0;
    std::string stem;
    ~shot_encode() {
        if (worker.joinable()) worker.join();
        free(png);
    }
} encoding;

void encode_shot() {
    const region& r = encoding.r;
    const std::vector<uint8_t> rgba = shot_pixels(encoding.frame.data(), r, encoding.f);
    encoding.err = lodepng_encode_memory(&encoding.png, &encoding.png_len, rgba.data(), (unsigned)(r.width * encoding.f),
                                         (unsigned)(r.height * encoding.f), LCT_RGBA, 8);
    encoding.finished.store(true, std::memory_order_release);
}

// Stores a finished encode; nothing while none is finished.
void store_encoded_shot() {
    if (!encoding.active || !encoding.finished.load(std::memory_order_acquire)) return;
    if (encoding.worker.joinable()) encoding.worker.join();
    encoding.active = false;
    const std::string name = encoding.err ? "" : capture_filename(encoding.stem, ".png");
    pfile* file = name.empty() ? nullptr : pfopen(name.c_str(), "wb");
    if (file) pfwrite(encoding.png, 1, (int64_t)encoding.png_len, file);
    if (!file || pfclose(file) != 0) {
        notify(SCREENSHOT_REFUSED_TEXT);
    } else if (!encoding.silent) {
        char text[HVX_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %dx%d (x%d) screenshot: %s", encoding.r.width, encoding.r.height,
                 encoding.f, name.c_str());
        notify(text);
    }
    free(encoding.png);
    encoding.png = nullptr;
}

void capture_screenshot(const uint32_t* rgb) {
    // A label is always 480 wide, whatever mode the display changed to
    // while the shot waited: the scale comes from the requested size.
    const int f = shot.label ? HVX_DISPLAY_W / shot.r.width : video_mode_scale() * shot.r.scale;
    if (shot.label) {
        capture_label(shot_pixels(rgb, shot.r, f), (uint32_t)(shot.r.width * f), (uint32_t)(shot.r.height * f));
        return;
    }
    encoding.frame.assign(rgb, rgb + HVX_DISPLAY_PIXELS);
    encoding.r = shot.r, encoding.f = f, encoding.silent = shot.silent;
    encoding.stem = shot.name;
    encoding.finished.store(false, std::memory_order_relaxed);
    encoding.active = true;
    try {
        encoding.worker = std::thread(encode_shot);
    } catch (const std::system_error&) {
        encode_shot();  // no thread to be had: encoded here, stored with the next frame
    }
}

// --- GIF recording ---------------------------------------------------------------------

struct {
    region r;
    int32_t skip = 0, silent = 0, out_w = 0, out_h = 0;
    GifFileType* gif = nullptr;
    int32_t frames = 0;
    bool full = false;
    std::string filename, host_path, temp_path;
    uint32_t firstpal[256], lastpal[GIF_PAL_WORDS];
    std::vector<uint8_t> last_frame, raster, bitmap;
} rec;

void rgb_map(ColorMapObject* map, const uint32_t* pal) {
    for (int i = 0; i < 256; i++)
        map->Colors[i] = GifColorType{(GifByteType)(pal[i] >> 16), (GifByteType)(pal[i] >> 8), (GifByteType)pal[i]};
}

// The display bitmap of process p without creating pages: what has no
// storage reads 0.
void read_display(const Process* p, uint8_t* out) {
    for (uint32_t done = 0; done < (uint32_t)HVX_DISPLAY_PIXELS;) {
        const uint32_t addr = ADDR_DISPLAY + done, pg = addr >> HVX_PAGE_SHIFT, o = addr & (HVX_PAGE_SIZE - 1);
        const uint32_t run = std::min<uint32_t>(HVX_PAGE_SIZE - o, HVX_DISPLAY_PIXELS - done);
        const int32_t mapped = p->page_ptr[pg] ? std::clamp<int32_t>(p->page_len[pg] - (int32_t)o, 0, (int32_t)run) : 0;
        if (mapped) std::memcpy(out + done, p->page_ptr[pg] + o, mapped);
        if ((uint32_t)mapped < run) {
            if (p->backing_page[pg])
                std::memcpy(out + done + mapped, p->backing_page[pg] + o + mapped, run - mapped);
            else
                std::memset(out + done + mapped, 0, run - mapped);
        }
        done += run;
    }
}

// A failed write ends the recording as gif_end does and keeps what was written.
bool gif_failed(int ok) {
    if (ok == GIF_OK) return false;
    gif_end_ex(1);
    gfx_app.gif_recording = 0;
    return true;
}

bool put_first_frame_header(const uint32_t* pal) {
    ColorMapObject* map = GifMakeMapObject(256, nullptr);
    if (!map) return false;
    rgb_map(map, pal);
    const int ok = EGifPutScreenDesc(rec.gif, rec.out_w, rec.out_h, GIF_COLOR_RES, 0, map);
    GifFreeMapObject(map);
    if (ok != GIF_OK) return false;
    static const GifByteType loop[3] = {1, 0, 0};
    return EGifPutExtensionLeader(rec.gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
           EGifPutExtensionBlock(rec.gif, 11, "NETSCAPE2.0") == GIF_OK &&
           EGifPutExtensionBlock(rec.gif, 3, loop) == GIF_OK && EGifPutExtensionTrailer(rec.gif) == GIF_OK;
}

void gif_frame(const uint32_t* pal, const uint32_t* sel) {
    Process* wm = get_process(WM_PROCESS_ID);
    if (!wm) return;
    const bool first = rec.frames == 0;
    if (first && gif_failed(put_first_frame_header(pal) ? GIF_OK : GIF_ERROR)) return;
    rec.bitmap.resize(HVX_DISPLAY_PIXELS);
    read_display(wm, rec.bitmap.data());
    const uint8_t* bm = rec.bitmap.data();
    const region& r = rec.r;

    bool transparent = true;
    for (int y = r.y; y < r.y + r.height && transparent; y++) {
        if (sel[y] != 3) continue;
        for (int x = r.x; x < r.x + r.width; x++)
            if ((bm[y * HVX_DISPLAY_W + x] & 63) == 63) {
                transparent = false;
                break;
            }
    }
    const bool diff = transparent && !rec.last_frame.empty();
    const uint32_t* lastsel = rec.lastpal + 256;
    rec.raster.resize((size_t)rec.out_w * rec.out_h);
    for (int y = 0; y < rec.out_h; y++) {
        const int row = r.y + y / r.scale;
        const uint8_t* src = bm + row * HVX_DISPLAY_W;
        const uint8_t* before = diff ? rec.last_frame.data() + row * HVX_DISPLAY_W : nullptr;
        uint8_t* out = &rec.raster[(size_t)y * rec.out_w];
        for (int x = 0; x < rec.out_w; x++) {
            const int c = r.x + x / r.scale;
            const uint32_t idx = (src[c] & 63) + 64 * sel[row];
            out[x] = (uint8_t)idx;
            if (diff && pal[idx] == rec.lastpal[(before[c] & 63) + 64 * lastsel[row]]) out[x] = GIF_TRANSPARENT;
        }
    }
    rec.last_frame.assign(bm, bm + HVX_DISPLAY_PIXELS);

    const GifByteType control[4] = {(GifByteType)(transparent ? 1 : 0), GIF_DELAY_CS, 0, GIF_TRANSPARENT};
    ColorMapObject* local = nullptr;
    if (std::memcmp(pal, rec.firstpal, sizeof rec.firstpal) != 0 && !first) {
        local = GifMakeMapObject(256, nullptr);
        if (local) rgb_map(local, pal);
    }
    int ok = EGifPutExtension(rec.gif, GRAPHICS_EXT_FUNC_CODE, 4, control);
    if (ok == GIF_OK) ok = EGifPutImageDesc(rec.gif, 0, 0, rec.out_w, rec.out_h, false, local);
    for (int y = 0; y < rec.out_h && ok == GIF_OK; y++)
        ok = EGifPutLine(rec.gif, &rec.raster[(size_t)y * rec.out_w], rec.out_w);
    GifFreeMapObject(local);
    if (gif_failed(ok)) return;
    if (first) std::memcpy(rec.firstpal, pal, sizeof rec.firstpal);
    std::memcpy(rec.lastpal, pal, 256 * sizeof(uint32_t));
    std::memcpy(rec.lastpal + 256, sel, HVX_DISPLAY_H * sizeof(uint32_t));
    rec.frames++;
}

}  // namespace

// --- shared ------------------------------------------------------------------------------

std::string capture_filename(const std::string& stem, const char* ext) {
    std::string path = std::string(CAPTURE_FOLDER) + stem + ext;
    for (int n = 1; pdisk_file_exists(path.c_str()); n++) {
        if (n > CAPTURE_MAX_SUFFIX) return "";
        path = std::string(CAPTURE_FOLDER) + stem + "_" + std::to_string(n) + ext;
    }
    return path;
}

// When each process's last request was taken; entries older than the
// spacing are dropped, so the list holds only processes that asked lately.
static std::vector<std::pair<int64_t, uint64_t>> recent_shots;

// A shot is a whole frame's encode: one process asking every frame would
// hold every frame for it.
static bool screenshot_allowed(Process* p) {
    const uint64_t now = os_ticks();
    std::erase_if(recent_shots, [&](const auto& e) { return now - e.second >= SCREENSHOT_SPACING_MS; });
    const int64_t id = p ? p->id : 0;
    for (const auto& e : recent_shots)
        if (e.first == id) return false;
    recent_shots.emplace_back(id, now);
    return true;
}

int request_screenshot() {
    if (!screenshot_allowed(cproc)) {
        log_refusal_once(cproc, LIMIT_LOGGED_SCREENSHOTS, "screenshots asked for more often than every %llu ms: refused",
                         (unsigned long long)SCREENSHOT_SPACING_MS);
        notify(SCREENSHOT_REFUSED_TEXT);
        return 1;
    }
    shot.r = read_region(ADDR_SHOT_REQUEST);
    shot.label = std::clamp<int16_t>(field(ADDR_SHOT_REQUEST + 10), 0, 1);
    shot.skip = std::clamp<int16_t>(field(ADDR_SHOT_REQUEST + 12), 0, CAPTURE_MAX_SKIP);
    shot.silent = std::clamp<int16_t>(field(ADDR_SHOT_REQUEST + 14), 0, 1);
    shot.name = read_stem();
    if (shot.label) {
        const int s = video_mode_scale();
        shot.r = region{0, 0, HVX_DISPLAY_W / s, HVX_DISPLAY_H / s, 1};
    }
    return 0;
}

int screenshot_encoding() { return encoding.active; }

void update_screenshot(const uint32_t* pixels) {
    store_encoded_shot();
    // One encode at a time: a shot asked for meanwhile waits for it.
    if (!gfx_app.screenshot_pending || !pixels || encoding.active) return;
    if (shot.skip >= 1) {
        shot.skip--;
        return;
    }
    gfx_app.screenshot_pending = 0;
    capture_screenshot(pixels);
}

int gif_start() {
    if (rec.gif) return 1;  // one recording at a time
    const std::string stem = read_stem();
    rec.filename = capture_filename(stem, ".gif");
    rec.r = read_region(ADDR_GIF_REQUEST);
    rec.skip = std::clamp<int16_t>(field(ADDR_GIF_REQUEST + 12), 0, CAPTURE_MAX_SKIP);
    rec.silent = std::clamp<int16_t>(field(ADDR_GIF_REQUEST + 14), 0, 1);
    rec.out_w = rec.r.width * rec.r.scale;
    rec.out_h = rec.r.height * rec.r.scale;
    rec.host_path.clear();
    int kind = 0, err = 0;
    if (!rec.filename.empty()) {
        buffer* origin = resolve_to_origin(rec.filename.c_str(), &kind, 0);
        if (origin && kind == 1) rec.host_path = to_cstr(origin);
        destroy_buffer(origin);
    }
    if (!rec.host_path.empty()) {
        // Frames stream into a hidden sibling that becomes the file at the end.
        const size_t slash = rec.host_path.rfind('/');
        rec.temp_path = rec.host_path.substr(0, slash + 1) + "." + rec.host_path.substr(slash + 1) + ".part";
        // Permissions as any other capture's (the library's own opening
        // makes the file private).
        int fd = open(rec.temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        rec.gif = fd >= 0 ? EGifOpenFileHandle(fd, &err) : nullptr;
        if (fd >= 0 && !rec.gif) close(fd);
        if (rec.gif) EGifSetGifVersion(rec.gif, true);
    }
    if (!rec.gif) {
        if (first_refusal(cproc, LIMIT_LOGGED_GIF_OPEN)) {
            printf("** EGifOpenFileName error %d: p_path:%s\n", err, rec.filename.c_str());
            fflush(stdout);
        }
        return 1;
    }
    rec.frames = 0;
    rec.full = false;
    rec.last_frame.clear();
    return 0;
}

int gif_end_ex(int write) {
    if (!rec.gif) return 1;
    int err = 0;
    // A file with no frame still gets its screen description.
    if (rec.frames == 0) EGifPutScreenDesc(rec.gif, rec.out_w, rec.out_h, GIF_COLOR_RES, 0, nullptr);
    bool ok = EGifCloseFile(rec.gif, &err) == GIF_OK;
    rec.gif = nullptr;
    // A file that never took its name is no capture, whatever was written.
    if (write)
        ok = std::rename(rec.temp_path.c_str(), rec.host_path.c_str()) == 0 && ok;
    else
        std::remove(rec.temp_path.c_str());
    if (write && !ok) {
        notify("**error: could not write gif\n");
    } else if (write && !rec.silent) {
        char text[HVX_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %d frame gif %dx%d (x%d): %s", rec.frames, rec.r.width, rec.r.height,
                 rec.r.scale, rec.filename.c_str());
        notify(text);
    }
    rec.last_frame.clear();
    rec.last_frame.shrink_to_fit();
    return ok ? 0 : 1;
}

int gif_end() { return gif_end_ex(1); }

void update_gif_recording(const uint32_t* pal, const uint32_t* line_sel, const uint32_t*) {
    if (!gfx_app.gif_recording || !rec.gif || !pal || !line_sel) return;
    if (rec.skip >= 1) {
        rec.skip--;
        return;
    }
    gfx_app.gif_frames++;
    if (!(gfx_app.gif_frames & 1)) return;
    if (rec.frames >= GIF_MAX_FRAMES) {
        if (!rec.full) krio_debug("** gif recording full: no more frames are added\n");
        rec.full = true;
        return;
    }
    gif_frame(pal, line_sel);
}

// --- audio capture ------------------------------------------------------------------------

int audio_capture_start() {
    buffer* b = create_buffer_2(AUDIO_CAPTURE_BYTES, AUDIO_CAPTURE_KIND);
    if (!b) return 1;
    os_lock_audio();  // the audio callback reads both fields
    buffer* old = gfx_app.audio_capture_buf;
    gfx_app.audio_capture_buf = b;
    gfx_app.audio_capture = 1;
    os_unlock_audio();
    destroy_buffer(old);
    return 0;
}

int audio_capture_end() {
    os_lock_audio();
    buffer* b = gfx_app.audio_capture_buf;
    gfx_app.audio_capture_buf = nullptr;
    gfx_app.audio_capture = 0;
    os_unlock_audio();
    const std::string name = capture_filename("audio", ".raw");
    pfile* f = name.empty() ? nullptr : pfopen(name.c_str(), "wb");
    // What the device played past the length before the frame noticed is cut.
    const int32_t len = b ? std::min(b->length, AUDIO_CAPTURE_MAX_BYTES) : 0;
    if (f && len > 0) pfwrite(b->data, 1, len, f);
    const bool stored = f && pfclose(f) == 0;
    if (stored) {
        char text[HVX_PATH_MAX + 64];
        snprintf(text, sizeof text, "captured %3.3f seconds: %s", len / (double)AUDIO_CAPTURE_BYTES_PER_SECOND,
                 name.c_str());
        notify(text);
    }
    destroy_buffer(b);
    return stored ? 0 : 1;
}

void update_audio_capture() {
    if (!gfx_app.audio_capture) return;
    os_lock_audio();  // the callback grows the length
    const bool full = gfx_app.audio_capture_buf && gfx_app.audio_capture_buf->length >= AUDIO_CAPTURE_MAX_BYTES;
    os_unlock_audio();
    if (full) audio_capture_end();
}
