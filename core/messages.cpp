// Messages between processes: each process's queue of object texts, and the
// runtime's own notices and error reports to the window manager.
#include <cstdio>
#include <cstring>

#include "core/core.h"

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

buffer* take_message_read_buffer() {
    buffer* b = spare_read_buffer;
    spare_read_buffer = nullptr;
    return b;
}

bool keep_message_read_buffer(buffer* b, bool any_size) {
    if (spare_read_buffer || (!any_size && far_too_big(b, MESSAGE_QUEUE_SIZE))) return false;
    spare_read_buffer = b;
    return true;
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

void report_error(const char* text) {
    if (!text) text = "unknown error";
    char tail[128];
    snprintf(tail, sizeof tail, "\",_from=%lld,_sent_t=%lld,_flags=%d}", (long long)cproc_id(),
             (long long)os_get_time(), cproc ? (int)cproc->flags : 0);
    send_to_window_manager("{event=\"report_error\",content=\"", text, tail);
    krio_debugf("SYSTEM ERROR: %s\n", text);
}
