// The calls every process gets from the host layer itself (the host
// clipboard and opening a path in the host's shell), and worker threads.
#include <SDL.h>
#include <pthread.h>

#include <csignal>

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

// Workers start detached: letting one go never waits for it. (A thread
// handle detached after its function returned is joined instead, which waits
// for the thread's exit; on a busy host that is a wait for a core, inside
// the frame that reaps the worker's job.)
struct os_thread {
    int (*fn)(void*);
    void* data;
};

namespace {
void* run_worker(void* arg) {
    os_thread start = *static_cast<os_thread*>(arg);
    std::free(arg);
    pthread_setname_np(pthread_self(), WORKER_THREAD_NAME);
    start.fn(start.data);
    return nullptr;
}
}  // namespace

os_thread* os_create_thread(int (*fn)(void*), void* data) {
    if (!fn) return nullptr;
    auto* t = (os_thread*)std::calloc(1, sizeof(os_thread));
    auto* start = (os_thread*)std::malloc(sizeof(os_thread));
    if (!t || !start) {
        std::free(t);
        std::free(start);
        return nullptr;
    }
    *t = *start = {fn, data};
    // The host's signals go to the main thread, never a worker: the worker
    // inherits this mask.
    sigset_t kept, old;
    sigemptyset(&kept);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGCHLD, SIGWINCH, SIGVTALRM, SIGPROF})
        sigaddset(&kept, sig);
    pthread_sigmask(SIG_BLOCK, &kept, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    const int err = pthread_create(&id, &attr, run_worker, start);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        krio_debugf("** could not start a worker thread: %s\n", std::strerror(err));
        std::free(t);
        std::free(start);
        return nullptr;
    }
    return t;
}

void os_destroy_thread(os_thread* t) { std::free(t); }
