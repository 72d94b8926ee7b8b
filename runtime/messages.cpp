// The message calls of scripts, and dropped host files.
#include <cstdio>
#include <cstring>

#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

// ---------------------------------------------------------------------------
// The script calls
// ---------------------------------------------------------------------------

static int32_t cost_of_bytes(int64_t n) {
    return hvx_cycles(n >> MESSAGE_COST_SHIFT);
}

static void set_raw_integer(lua_State* L, int table, const char* key, int64_t v) {
    lua_pushstring(L, key);
    lua_pushinteger(L, v);
    lua_rawset(L, table);
}

static int send_refused(lua_State* L, const char* why) {
    lua_pushboolean(L, 0);
    lua_pushstring(L, why);
    return 2;
}

int lua54_send_message(lua_State* L) {
    const int64_t id = hvx_pid_arg(L, 1);
    if (!get_process(id) || lua_type(L, 2) != LUA_TTABLE) return 0;
    // Raw sets: a metatable on the caller's table must not run here.
    set_raw_integer(L, 2, "_from", cproc_id());
    set_raw_integer(L, 2, "_sent_t", (int64_t)os_get_time());
    set_raw_integer(L, 2, "_flags", cproc ? cproc->flags : 0);
    scoped_buffer b(create_buffer_2(MESSAGE_SEND_SIZE, MESSAGE_SEND_KIND));
    if (!b) return send_refused(L, vyn_error_text(VYN_ERR_SIZE));
    int written = stringify_object(L, 2, b, MESSAGE_STRINGIFY_FLAGS);
    spend_cpu(cost_of_bytes(b->length));
    // A table that could not be written whole is not sent in part.
    if (written != 0) return send_refused(L, vyn_error_text(written));
    // The receiver may have gone while the text was written (finalizers).
    Process* to = get_process(id);
    int queued = to ? queue_process_message(to, (const char*)b->data, (size_t)b->length) : 0;
    if (queued == MESSAGE_QUEUE_FULL) return send_refused(L, MESSAGE_QUEUE_FULL_TEXT);
    if (queued == MESSAGE_REFUSED) return send_refused(L, MESSAGE_REFUSED_TEXT);
    return 0;
}

// The reader's bound on what a message may make in the receiving process.
struct receiver_room {
    lua_State* L;
    Process* p;  // the running process: its record stays while its slice runs
    bool collected;
};

static bool receiver_fits(void* ctx, int64_t more) {
    receiver_room* r = (receiver_room*)ctx;
    if (process_memory_in_use(r->p) + more <= MEMORY_LIMIT) return true;
    if (r->collected) return false;
    // Garbage counts until it is collected: once per read, collect and look again.
    r->collected = true;
    lua_gc(r->L, LUA_GCCOLLECT, 0);
    return process_memory_in_use(r->p) + more <= MEMORY_LIMIT;
}

int lua54_read_message(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    for (;;) {
        buffer* own = take_message_read_buffer();
        if (!own) own = create_buffer_2(MESSAGE_SEND_SIZE, MESSAGE_QUEUE_KIND);
        scoped_buffer text(own);
        if (!text) return 0;
        if (!read_process_message(p, text)) {
            // Nothing read leaves the buffer as it was: kept for the next
            // call, so an empty queue costs no allocation.
            if (keep_message_read_buffer(text.b, true)) text.b = nullptr;
            return 0;
        }
        spend_cpu(cost_of_bytes(text->length));
        receiver_room room{L, p, false};
        vyn_read_limits limits{MESSAGE_READ_OBJECT_ALLOWANCE, MESSAGE_READ_BYTES_PER_OBJECT, receiver_fits, &room,
                               nullptr};
        const int64_t len = text->length;
        int n = destringify_object_ex(L, (const char*)text->data, len, &limits);
        if (keep_message_read_buffer(text.b, false)) text.b = nullptr;
        if (!limits.exceeded) return n;
        krio_debugf("_read_message: message of %lld bytes dropped: %s\n", (long long)len, limits.exceeded);
    }
}

int drop_destination_path(const char* host_path, char* out, size_t out_size) {
    if (!out || out_size == 0) return 0;
    out[0] = 0;
    if (!host_path) return 0;
    const char* name = host_path;
    for (const char* s = host_path; *s; s++)
        if (*s == '/' || *s == '\\') name = s + 1;
    int n = snprintf(out, out_size, "%s%s", DROP_FOLDER, name);
    if (n < 0 || (size_t)n >= out_size) {
        out[0] = 0;
        return 0;
    }
    for (char* s = out; *s; s++)
        if (!is_path_char((unsigned char)*s)) *s = '_';
    return 1;
}

void process_dropped_file(const char* host_path) {
    if (!host_path) return;
    krio_debugf("dropped file: %s\n", host_path);
    char dest[HVX_PATH_MAX];
    if (!drop_destination_path(host_path, dest, sizeof dest)) {
        krio_debugf(" ** could not open temp file: %s\n", host_path);
        return;
    }
    // The host file is read first: a drop that cannot be read must leave an
    // earlier file of the same name in the drop folder as it was.
    buffer* data = create_buffer_from_file(host_path);
    if (!data) {
        krio_debugf(" ** could not create buffer from file: %s\n", host_path);
        return;
    }
    if (data->length <= 0) {
        // A folder or an empty file: nothing is offered to the window manager.
        destroy_buffer(data);
        notify(DROP_EMPTY_TEXT);
        return;
    }
    pfile* f = pfopen(dest, "wf");
    if (!f) {
        destroy_buffer(data);
        krio_debugf(" ** could not open temp file: %s\n", dest);
        return;
    }
    pfwrite(data->data, 1, data->length, f);
    pfclose(f);
    destroy_buffer(data);
    send_to_window_manager(
        "{event=\"drop_items\",_flags=1,items={{vyn_type=\"location\",filenav_op=\"move\",location=\"", dest,
        "\"}}}");
}
