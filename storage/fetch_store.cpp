// fetch and store: files to script values by extension (vyn documents,
// pictures as typed userdata, host text, raw bytes) and back, with the vyn
// metadata header.
//
// A file is read whole into host memory and closed before any script value
// is made, and a value is turned into bytes before its file is opened:
// making a value can run a finalizer, which may delete or rewrite files.
#include "storage/file_calls.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "storage/formats.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/storage_internal.h"
#include "storage/vyn.h"
#include "storage/writeback.h"
#include "userdata/userdata.h"

static_assert(IMAGE_MAX_PIXELS_U8 == UD_MAX_STORAGE, "one byte a pixel");
static_assert(IMAGE_MAX_PIXELS_I32 * 4 == UD_MAX_STORAGE, "four bytes a pixel");

namespace {

const char* const plain_text_exts[] = {"qzl", "txt", "obj", "mtl", "svg", "pov", "sfd", "csv", "ppm", "html", "css", "json"};
const char* const host_text_exts[] = {"txt", "pn", "lua"};

template <size_t N>
bool ext_in(const char* ext, const char* const (&list)[N]) {
    for (const char* e : list)
        if (strcmp(ext, e) == 0) return true;
    return false;
}

bool begins(const uint8_t* d, int64_t n, const char* prefix) {
    size_t k = strlen(prefix);
    return n >= (int64_t)k && memcmp(d, prefix, k) == 0;
}

void running_palette(uint32_t pal[64]) {
    for (int i = 0; i < 64; i++) pal[i] = hvx_peek32(cproc, ADDR_PALETTE + 4 * i) & 0xFFFFFF;
}

}  // namespace

// ---------------------------------------------------------------------------
// Palette conversion
// ---------------------------------------------------------------------------

int nearest_palette_index(const uint32_t* pal, int r, int g, int b) {
    int best = 0;
    int32_t best_d = INT32_MAX;
    for (int i = 0; i < 64; i++) {
        int dr = r - (int)((pal[i] >> 16) & 255), dg = g - (int)((pal[i] >> 8) & 255), db = b - (int)(pal[i] & 255);
        int32_t d = 2 * dr * dr + 7 * dg * dg + db * db;
        if (d < best_d) {
            best_d = d;
            best = i;
        }
    }
    return best;
}

void palette_indices_to_rgba(const uint32_t* pal, const uint8_t* indices, uint8_t* rgba, int64_t count) {
    for (int64_t i = 0; i < count; i++) {
        uint32_t c = pal[indices[i] & 63];
        rgba[4 * i] = (uint8_t)(c >> 16);
        rgba[4 * i + 1] = (uint8_t)(c >> 8);
        rgba[4 * i + 2] = (uint8_t)c;
        rgba[4 * i + 3] = 255;
    }
}

void rgba_to_palette_indices(const uint32_t* pal, const uint8_t* rgba, uint8_t* indices, int64_t count) {
    // Pictures repeat their colours: an exact cache of recent answers saves
    // most of the 64-entry scans.
    constexpr int SLOTS = 4096;
    std::vector<uint32_t> key(SLOTS, UINT32_MAX);
    std::vector<uint8_t> value(SLOTS);
    for (int64_t i = 0; i < count; i++) {
        const uint8_t* p = rgba + 4 * i;
        uint32_t rgb = (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
        uint32_t slot = (rgb * 2654435761u) >> 20;
        if (key[slot] != rgb) {
            key[slot] = rgb;
            value[slot] = (uint8_t)nearest_palette_index(pal, p[0], p[1], p[2]);
        }
        indices[i] = value[slot];
    }
}

void convert_bitmap_8_to_32(const uint8_t* indices, uint8_t* rgba, int64_t count) {
    uint32_t pal[64];
    running_palette(pal);
    palette_indices_to_rgba(pal, indices, rgba, count);
}

void convert_bitmap_32_to_8(const uint8_t* rgba, uint8_t* indices, int64_t count) {
    uint32_t pal[64];
    running_palette(pal);
    rgba_to_palette_indices(pal, rgba, indices, count);
}

// ---------------------------------------------------------------------------
// Extensions and metadata
// ---------------------------------------------------------------------------

int is_known_text_filename(const char* path) { return ext_in(get_ext(path), plain_text_exts) ? 1 : 0; }

int should_write_metadata_fragment(const char* metadata, const char* path) {
    if (!metadata || !strstr(metadata, "metadata_format=\"none\"")) return 1;
    if (!cproc || !cproc->sandboxed) return 0;
    return is_known_text_filename(path) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// fetch
// ---------------------------------------------------------------------------

// A PNG or QOI picture as a typed userdata; 0 when the bytes are not one that
// decodes within the size a value may have (the caller then takes the bytes
// as text).
static int push_picture(lua_State* L, const uint8_t* data, int64_t n, const char* ext, int flags) {
    bool as_i32 = (flags & FETCH_FLAG_I32) != 0;
    int64_t limit = as_i32 ? IMAGE_MAX_PIXELS_I32 : IMAGE_MAX_PIXELS_U8;
    host_pixels px;
    unsigned w = 0, h = 0;
    if ((strcmp(ext, "png") == 0 || strcmp(ext, "qz.png") == 0) && n >= 5 && memcmp(data + 1, "PNG", 3) == 0) {
        if (png_read_header(data, n, &w, &h) != 0 || (int64_t)w * h > limit || w == 0 || h == 0) return 0;
        buffer view{(uint32_t)n + 1, const_cast<uint8_t*>(data), FETCH_BUFFER_KIND, (int32_t)n, 0};
        uint8_t* out = nullptr;
        if (LodePNG_decode32_pbuffer(&out, &w, &h, &view) != 0) return 0;
        px.reset(out);
    } else if (strcmp(ext, "qoi") == 0) {
        qoi_desc d;
        if (!qoi_read_header(data, n, &d) || (int64_t)d.width * d.height > limit) return 0;
        px.reset(qoi_decode(data, (int)n, &d, 4));
        w = d.width;
        h = d.height;
    }
    if (!px) return 0;
    int64_t count = (int64_t)w * h;
    spend_cpu((int32_t)(count / 2));
    uint8_t* block = create_userdata(L, as_i32 ? "i32" : "u8", 2, w, h, nullptr);
    if (!block) return 0;
    uint8_t* dst = ud_data(block);
    const uint8_t* src = px.get();
    if (as_i32) {
        for (int64_t i = 0; i < count; i++) {
            const uint8_t* p = src + 4 * i;
            uint32_t v = (uint32_t)p[3] << 24 | (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
            memcpy(dst + 4 * i, &v, 4);
        }
    } else {
        convert_bitmap_32_to_8(src, dst, count);
    }
    return 1;
}

int unvyn_from_fetched_buffer(lua_State* L, const buffer* b, const char* path, int flags) {
    if (!L || !b || !b->data || b->length < 0) return 0;
    char ext[PATH_EXT_MAX + 1];
    snprintf(ext, sizeof ext, "%s", get_ext(path));
    const uint8_t* data = b->data;
    int64_t n = b->length;
    scoped_buffer converted(ext_in(ext, host_text_exts) ? decode_host_text_file(b) : nullptr);
    if (converted) {
        data = converted->data;
        n = converted->length;
    }
    if (!(flags & FETCH_FLAG_RAW)) {
        int pushed = push_picture(L, data, n, ext, flags);
        if (pushed) return pushed;
    }
    if (strcmp(ext, "vyn") == 0 || begins(data, n, VYN_HEADER_PREFIX))
        return destringify_object(L, (const char*)data, n);
    if (begins(data, n, LEGACY_VYN_PREFIX)) {
        // An older header: one comment line, then the value.
        const uint8_t* lf = (const uint8_t*)memchr(data, '\n', (size_t)n);
        int64_t skip = lf ? lf - data + 1 : n;
        return destringify_object(L, (const char*)data + skip, n - skip);
    }
    lua_pushlstring(L, (const char*)data, (size_t)n);
    lua_createtable(L, 0, 1);
    lua_pushliteral(L, "none");
    lua_setfield(L, -2, "metadata_format");
    return 2;
}

int lua54_fetch(lua_State* L) {
    std::string path;
    if (!path_arg(L, 1, &path)) return 0;
    int flags = (int)hvx_intp(L, 2, 0);
    bool raw = hvx_path_kind(path.c_str()) != CART_KIND_NONE || (flags & FETCH_FLAG_RAW);
    scoped_buffer bytes(raw ? pfile_read_newest(path.c_str()) : pfile_read_all(path.c_str(), "rb"));
    if (!bytes) return 0;
    if (!raw) return unvyn_from_fetched_buffer(L, bytes, path.c_str(), flags);
    lua_pushlstring(L, (const char*)bytes->data, (size_t)bytes->length);
    return 1;
}

// ---------------------------------------------------------------------------
// store
// ---------------------------------------------------------------------------

// Replaces the file with head and body: false when it did not open or the
// write failed (a host file then keeps its old content).
static bool write_whole(const std::string& path, const char* mode, const void* head, int64_t head_len,
                        const void* body, int64_t body_len) {
    if (head_len + body_len >= BUFFER_MAX_CAPACITY) return false;
    pfile* f = pfopen(path.c_str(), mode);
    if (!f) return false;
    bool ok = (head_len == 0 || pfwrite(head, 1, head_len, f) == head_len) &&
              (body_len == 0 || pfwrite(body, 1, body_len, f) == body_len);
    return pfclose(f) == 0 && ok;
}

static int store_result(lua_State* L, bool ok) {
    if (ok) return 0;
    lua_pushstring(L, STORE_WRITE_ERROR_TEXT);
    return 1;
}

static int store_picture(lua_State* L, const std::string& path, const char* ext) {
    const uint8_t* block = to_typed_userdata(L, 2);
    if (!block || ud_dims(block) != 2 || (ud_type(block) != UTYPE_U8 && ud_type(block) != UTYPE_I32)) return 0;
    uint32_t w = ud_width(block), h = ud_height(block);
    int64_t count = (int64_t)w * h;
    std::vector<uint8_t> rgba((size_t)count * 4);
    if (ud_type(block) == UTYPE_U8) {
        convert_bitmap_8_to_32(ud_data(block), rgba.data(), count);
    } else {
        for (int64_t i = 0; i < count; i++) {
            uint32_t v;
            memcpy(&v, ud_data(block) + 4 * i, 4);
            rgba[4 * i] = (uint8_t)(v >> 16);
            rgba[4 * i + 1] = (uint8_t)(v >> 8);
            rgba[4 * i + 2] = (uint8_t)v;
            rgba[4 * i + 3] = (uint8_t)(v >> 24);
        }
    }
    scoped_buffer out(create_buffer_2(PFILE_DATA_SIZE, PFILE_DATA_KIND));
    bool encoded = false;
    if (out && strcmp(ext, "qoi") == 0) {
        qoi_desc d{w, h, 4, 1};
        int len = 0;
        std::unique_ptr<uint8_t, free_deleter> q(qoi_encode(rgba.data(), &d, &len));
        encoded = q && bwrite(q.get(), 1, len, out) == len;
    } else if (out) {
        encoded = LodePNG_encode32_pbuffer(rgba.data(), w, h, out) == 0;
    }
    if (!encoded) {
        lua_pushstring(L, STORE_ENCODE_ERROR_TEXT);
        return 1;
    }
    bool ok = write_whole(path, "wb", nullptr, 0, out->data, out->length);
    spend_cpu((int32_t)(count & STORE_IMAGE_COST_MASK));
    return store_result(L, ok);
}

// Metadata text given to store: empty, or exactly one header. Anything else
// would write a file whose value no longer reads.
static bool metadata_usable(const std::string& meta) {
    return meta.empty() || vyn_is_one_header(meta.data(), (int64_t)meta.size());
}

static int metadata_refused(lua_State* L) {
    lua_pushstring(L, STORE_METADATA_ERROR_TEXT);
    return 1;
}

int lua54_store(lua_State* L) {
    std::string path, meta, value;
    if (!path_arg(L, 1, &path)) return 0;
    bool has_meta = hvx_text_arg(L, 3, &meta);
    // Pictures and cartridges carry no header: only the forms below use it.
    bool bad_meta = has_meta && !metadata_usable(meta);
    char ext[PATH_EXT_MAX + 1];
    snprintf(ext, sizeof ext, "%s", get_ext(path.c_str()));

    if (lua_type(L, 2) == LUA_TSTRING && has_meta && (meta.empty() || meta.rfind(VYN_RAW_MARKER, 0) == 0)) {
        if (bad_meta) return metadata_refused(L);
        hvx_text_arg(L, 2, &value);
        std::string head;
        if (!meta.empty() && should_write_metadata_fragment(meta.c_str(), path.c_str()))
            head = meta.back() == '\n' ? meta : meta + "\n";
        return store_result(L, write_whole(path, "w", head.data(), (int64_t)head.size(), value.data(),
                                           (int64_t)value.size()));
    }
    cart_kind cart = hvx_path_kind(path.c_str());
    if (cart) {
        if (!hvx_text_arg(L, 2, &value)) return 0;
        if (cart == CART_KIND_PNG && (value.size() < (size_t)HVX_PNG_STORE_MIN || value.compare(1, 3, "PNG") != 0)) {
            lua_pushstring(L, HVX_PNG_STORE_ERROR_TEXT);
            return 1;
        }
        return store_result(L, write_whole(path, "wf", nullptr, 0, value.data(), (int64_t)value.size()));
    }
    if (strcmp(ext, "png") == 0 || strcmp(ext, "qz.png") == 0 || strcmp(ext, "qoi") == 0)
        return store_picture(L, path, ext);

    if (bad_meta) return metadata_refused(L);
    scoped_buffer out(create_buffer_2(VYN_OUT_SIZE, VYN_OUT_KIND));
    if (!out) return store_result(L, false);
    bool plain = ext_in(ext, host_text_exts);
    int r = stringify_object(L, 2, out, plain ? 0 : STORE_VYN_FLAGS);
    if (r != 0) {
        // The old file stays as it was: it is opened only for a value that
        // could be written.
        lua_pushstring(L, vyn_error_text(r));
        return 1;
    }
    const std::string head = has_meta ? meta : std::string(VYN_DEFAULT_HEADER);
    return store_result(L, write_whole(path, "w", head.data(), (int64_t)head.size(), out->data, out->length));
}

// ---------------------------------------------------------------------------
// Metadata
// ---------------------------------------------------------------------------

int lua54_fetch_metadata_from_file(lua_State* L) {
    std::string path;
    if (!path_arg(L, 1, &path)) return 0;
    scoped_buffer bytes(pfile_read_all(path.c_str(), "rm"));
    // A RAM file is copied whole to have its head read.
    if (bytes) hvx_charge_text_copy((size_t)bytes->length);
    if (!bytes || !begins(bytes->data, bytes->length, VYN_HEADER_PREFIX)) return 0;
    return destringify_object_metadata(L, (const char*)bytes->data, bytes->length);
}

int lua54_store_metadata_str_to_file(lua_State* L) {
    std::string path, meta;
    if (!path_arg(L, 1, &path) || !hvx_text_arg(L, 2, &meta)) return 0;
    if (!metadata_usable(meta)) return metadata_refused(L);
    // The body is copied out before the "w" opening, which empties a RAM file.
    scoped_buffer old(pfile_read_all(path.c_str(), "r"));
    std::string head = should_write_metadata_fragment(meta.c_str(), path.c_str()) ? meta : std::string();
    const uint8_t* body = nullptr;
    int64_t body_len = 0;
    if (old) {
        int64_t skip = find_metadata_length((const char*)old->data, old->length);
        body = old->data + skip;
        body_len = old->length - skip;
    }
    return store_result(L, write_whole(path, "w", head.data(), (int64_t)head.size(), body, body_len));
}
