// Messages between processes: each process's queue of object texts, the
// runtime's own notices to the window manager, and dropped host files.
#include <cstdio>
#include <cstring>

#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

// The one read buffer kept between reads: a read without a destination
// fills it, and _read_message takes it out while it decodes (a finalizer's
// read meanwhile gets a buffer of its own).
static buffer* spare_read_buffer = nullptr;

static void drop_queue(Process* p, const char* why) {
    krio_debugf("message queue of process %lld dropped: %s\n", (long long)p->id, why);
    p->messages->length = p->messages->cursor = 0;
    p->message_head = 0;
}

// Capacity at least MESSAGE_SHRINK_MIN and four times what is needed.
static bool far_too_big(const buffer* b, int64_t need) {
    return (int64_t)b->capacity >= MESSAGE_SHRINK_MIN && (int64_t)b->capacity / 4 > need;
}

// After a burst has been read, gives the queue's memory back: the unread
// rest (from offset 0) moves into a buffer sized for it.
static void shrink_queue(Process* p) {
    buffer* q = p->messages;
    if (!q || p->message_head != 0 || !far_too_big(q, q->length)) return;
    int32_t keep = q->length > 0 ? q->length : 0;
    int32_t size = keep > MESSAGE_QUEUE_SIZE ? keep : MESSAGE_QUEUE_SIZE;
    buffer* fresh = create_buffer_2(size, MESSAGE_QUEUE_KIND);
    if (!fresh) return;  // the big one stays; nothing is lost
    if (keep) std::memcpy(fresh->data, q->data, (size_t)keep);
    fresh->length = fresh->cursor = keep;
    destroy_buffer(q);
    p->messages = fresh;
}

int64_t process_unread_message_bytes(const Process* p) {
    if (!p || !p->messages) return 0;
    int64_t n = (int64_t)p->messages->length - p->message_head;
    return n > 0 ? n : 0;
}

int queue_process_message(Process* to, const char* text, size_t len) {
    if (!to) return 0;
    if (!to->messages) {
        printf("*** no message buffer: %lld\n", (long long)to->id);
        return 0;
    }
    int64_t unread = process_unread_message_bytes(to);
    if (unread > MESSAGE_QUEUE_LIMIT) {
        log_refusal_once(to, LIMIT_LOGGED_QUEUE_FULL, "message queue full: messages refused until it reads");
        return MESSAGE_QUEUE_FULL;
    }
    buffer* q = to->messages;
    if (len > (size_t)BUFFER_MAX_CAPACITY - 8 ||
        (int64_t)q->length + 4 + (int64_t)len > (int64_t)BUFFER_MAX_CAPACITY - 1)
        return MESSAGE_REFUSED;
    // Queued bytes are the receiver's to hold: a message that would take it
    // past its memory limit is refused here rather than read into a process
    // that is then removed for it.
    if (process_memory_in_use(to) + unread + 4 + (int64_t)len > MEMORY_LIMIT) return MESSAGE_REFUSED;
    if (!ballocate(q, (int64_t)q->length + 4 + (int64_t)len)) return MESSAGE_REFUSED;
    q->cursor = q->length;
    bwrite_uint32(q, (uint32_t)len);
    if (len) bwrite(text, 1, (int64_t)len, q);
    q->cursor = q->length;
    return (int)(len + 4);
}

int send_process_message_bytes(Process* to, const char* text, size_t len) {
    int n = queue_process_message(to, text, len);
    return n > 0 ? n : 0;
}

int send_process_message(Process* to, const buffer* text) {
    if (!text) return 0;
    int32_t n = text->length > 0 ? text->length : 0;
    return send_process_message_bytes(to, (const char*)text->data, (size_t)n);
}

int send_process_message_string(Process* to, const char* text) {
    if (!text) text = "";
    return send_process_message_bytes(to, text, strlen(text));
}

buffer* read_process_message(Process* p, buffer* dest) {
    if (!p || !p->messages) return nullptr;
    buffer* q = p->messages;
    int64_t head = p->message_head, avail = (int64_t)q->length - head;
    if (head < 0 || avail <= 0) {
        if (head != 0 || q->length < 0) drop_queue(p, "bad read position");
        return nullptr;
    }
    if (avail < 4) {
        drop_queue(p, "short length word");
        return nullptr;
    }
    const uint8_t* at = q->data + head;
    uint32_t n = (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
    if ((int64_t)n > avail - 4) {
        drop_queue(p, "length beyond the queue");
        return nullptr;
    }
    if (!dest) {
        if (spare_read_buffer && far_too_big(spare_read_buffer, n)) {
            destroy_buffer(spare_read_buffer);  // one long message must not pin its size for ever
            spare_read_buffer = nullptr;
        }
        if (!spare_read_buffer) spare_read_buffer = create_buffer_2((int32_t)n, MESSAGE_QUEUE_KIND);
        dest = spare_read_buffer;
    }
    if (!dest) return nullptr;
    bclear(dest);
    bool copied = n == 0 || bwrite(at + 4, 1, n, dest) == (int64_t)n;
    head += 4 + (int64_t)n;
    if (head >= q->length) {
        q->length = 0;
        head = 0;
    } else if (head >= MESSAGE_COMPACT_MIN && head * 2 >= q->length) {
        // Move the unread rest down once half the queue has been read.
        std::memmove(q->data, q->data + head, (size_t)(q->length - head));
        q->length -= (int32_t)head;
        head = 0;
    }
    p->message_head = (int32_t)head;
    q->cursor = q->length;
    if (head == 0) shrink_queue(p);
    if (!copied) return nullptr;
    dest->cursor = 0;
    return dest;
}

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
        buffer* own = spare_read_buffer;
        spare_read_buffer = nullptr;
        if (!own) own = create_buffer_2(MESSAGE_SEND_SIZE, MESSAGE_QUEUE_KIND);
        scoped_buffer text(own);
        if (!text) return 0;
        if (!read_process_message(p, text)) {
            // Nothing read leaves the buffer as it was: kept for the next
            // call, so an empty queue costs no allocation.
            if (!spare_read_buffer) {
                spare_read_buffer = text.b;
                text.b = nullptr;
            }
            return 0;
        }
        spend_cpu(cost_of_bytes(text->length));
        receiver_room room{L, p, false};
        vyn_read_limits limits{MESSAGE_READ_OBJECT_ALLOWANCE, MESSAGE_READ_BYTES_PER_OBJECT, receiver_fits, &room,
                               nullptr};
        const int64_t len = text->length;
        int n = destringify_object_ex(L, (const char*)text->data, len, &limits);
        if (!spare_read_buffer && !far_too_big(text, MESSAGE_QUEUE_SIZE)) {
            spare_read_buffer = text.b;
            text.b = nullptr;
        }
        if (!limits.exceeded) return n;
        krio_debugf("_read_message: message of %lld bytes dropped: %s\n", (long long)len, limits.exceeded);
    }
}

int send_to_window_manager(const char* prefix, const char* text, const char* suffix) {
    Process* wm = get_process(WM_PROCESS_ID);
    if (!wm) return 0;
    if (!text) text = "";
    buffer* b = create_buffer_2((int32_t)(strnlen(text, 1 << 20) + 128), BUFFER_KIND_ESCAPED);
    if (!b) return 0;
    bappend_str(b, prefix ? prefix : "");
    bappend_str_escaped(b, text);
    bappend_str(b, suffix ? suffix : "");
    int n = send_process_message(wm, b);
    destroy_buffer(b);
    return n;
}

void notify(const char* text) {
    send_to_window_manager("{event=\"user_notification\",content=\"", text, "\"}");
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
