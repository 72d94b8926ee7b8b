// The calls every process gets from the host layer itself (the host
// clipboard and opening a path in the host's shell), and worker threads.
#include <SDL.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lang/lang.h"
#include "platform/platform.h"
#include "core/core.h"
#include "storage/storage.h"

// --- host clipboard ------------------------------------------------------------------

int os_req_host_clipboard_text(lua_State*) { return 0; }

int os_get_host_clipboard_text(lua_State* L) {
    // Without a video driver SDL answers "" (and it is never none).
    char* host = SDL_GetClipboardText();
    buffer* text = decode_host_text_bytes((const uint8_t*)(host ? host : ""), host ? (int64_t)std::strlen(host) : 0);
    SDL_free(host);
    // A host copy (freed on the way out even when the push fails); the text
    // may hold zero bytes.
    std::string out = text && text->length > 0 ? std::string((const char*)text->data, (size_t)text->length) : "";
    destroy_buffer(text);
    spend_cpu((int32_t)(out.size() >> MESSAGE_COST_SHIFT));
    lua_pushlstring(L, out.data(), out.size());
    return 1;
}

int os_set_host_clipboard_text(lua_State* L) {
    std::string text;
    if (!hvx_text_arg(L, 1, &text)) return 0;
    // The text ends at its first zero byte: the host clipboard holds C text.
    buffer* utf8 = encode_host_text(text.c_str());
    if (!utf8) return 0;
    spend_cpu(utf8->length >> MESSAGE_COST_SHIFT);
    SDL_SetClipboardText(to_cstr(utf8));
    destroy_buffer(utf8);
    return 0;
}

// --- opening a path in the host's shell ------------------------------------------------

int os_open_host_path(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const char* path = lua_tostring(L, 1);
    int handed = 0;
    if (std::strncmp(path, "https:", 6) == 0) {
        handed = open_host_url(path);
    } else {
        // Only what a host folder mount serves; RAM files have no host path.
        int kind = 0;
        buffer* origin = resolve_to_origin(path, &kind, 0);
        if (origin && kind == MOUNT_KIND_HOST && origin->length > 0) handed = open_host_file(to_cstr(origin));
        destroy_buffer(origin);
    }
    // Fullscreen would hide what was just opened.
    if (handed && config.fullscreen && os_sdl_window()) SDL_MinimizeWindow(os_sdl_window());
    return 0;
}

void os_add_public_c_functions(lua_State* L) {
    if (!L) return;
    static const struct {
        const char* name;
        lua_CFunction fn;
    } calls[] = {{"_req_host_clipboard_text", os_req_host_clipboard_text},
                 {"_get_host_clipboard_text", os_get_host_clipboard_text},
                 {"_set_host_clipboard_text", os_set_host_clipboard_text},
                 {"_open_host_path", os_open_host_path}};
    for (const auto& c : calls) {
        lua_pushcclosure(L, c.fn, 0);
        lua_setglobal(L, c.name);
    }
}

// --- worker threads ---------------------------------------------------------------------

struct os_thread {
    SDL_Thread* thread;
};

os_thread* os_create_thread(int (*fn)(void*), void* data) {
    if (!fn) return nullptr;
    auto* t = (os_thread*)std::calloc(1, sizeof(os_thread));
    if (!t) return nullptr;
    t->thread = SDL_CreateThread(fn, WORKER_THREAD_NAME, data);
    if (!t->thread) {
        krio_debugf("** could not start a worker thread: %s\n", SDL_GetError());
        std::free(t);
        return nullptr;
    }
    return t;
}

void os_destroy_thread(os_thread* t) {
    if (!t) return;
    SDL_DetachThread(t->thread);
    std::free(t);
}
