// String hash table: fixed slot arrays, keys and values packed into two
// growing buffers. Slots hold offsets into the buffers rather than pointers,
// so a buffer that moves its storage needs no fixing up.
#include "storage/formats.h"

#include <cstdlib>
#include <cstring>

static const char htable_true_text[] = "true";

uint32_t htable_hash(const char* key) {
    uint32_t h = 0x5EB1A37Cu;
    for (const unsigned char* p = (const unsigned char*)key; *p; p++) {
        int32_t b = (int8_t)*p;
        uint32_t t = (uint32_t)b * (h ^ 0xF1378C35u);
        h = (uint32_t)((int32_t)t >> 15) ^ t;
    }
    return h;
}

htable* create_htable(uint32_t capacity) {
    if (capacity == 0 || (capacity & (capacity - 1)) != 0 || capacity > HTABLE_MAX_CAPACITY)
        return nullptr;
    htable* t = (htable*)calloc(1, sizeof(htable));
    if (!t) return nullptr;
    t->capacity = capacity;
    t->keys = (uint32_t*)calloc(capacity, sizeof(uint32_t));
    t->values = (uint32_t*)calloc(capacity, sizeof(uint32_t));
    t->key_buf = create_buffer_2((int32_t)(capacity * 4), HTABLE_BUFFER_KIND);
    t->value_buf = create_buffer_2((int32_t)(capacity * 4), HTABLE_BUFFER_KIND);
    if (!t->keys || !t->values || !t->key_buf || !t->value_buf) {
        destroy_htable(t);
        return nullptr;
    }
    return t;
}

void destroy_htable(htable* t) {
    if (!t) return;
    free(t->keys);
    free(t->values);
    destroy_buffer(t->key_buf);
    destroy_buffer(t->value_buf);
    free(t);
}

static inline const char* key_at(const htable* t, uint32_t slot) {
    return (const char*)t->key_buf->data + t->keys[slot];
}

// Slot holding the key, or -1. The whole probe run is always walked, so a
// deleted slot never hides a key further along.
static int64_t find_slot(const htable* t, const char* key, uint32_t h, int64_t* first_free) {
    uint32_t mask = t->capacity - 1;
    uint32_t i = h & mask;
    uint32_t step = (i & 31) + 1;
    if (first_free) *first_free = -1;
    for (int n = 0; n < HTABLE_PROBES; n++) {
        if (t->keys[i]) {
            if (strcmp(key_at(t, i), key) == 0) return i;
        } else if (first_free && *first_free < 0) {
            *first_free = i;
        }
        i = (i + step) & mask;
    }
    return -1;
}

// Appends (u32 count, bytes, NUL) at the buffer's end; the offset of the
// bytes, or 0 when the buffer refused to grow.
static uint32_t append_entry(buffer* b, const void* bytes, uint32_t n) {
    int64_t need = (int64_t)b->length + 4 + n + 1;
    if (need >= BUFFER_MAX_CAPACITY || !ballocate(b, need)) return 0;
    b->cursor = b->length;
    bwrite_uint32(b, n);
    uint32_t at = (uint32_t)b->cursor;
    if (n) bwrite(bytes, 1, n, b);
    bwrite_uint8(b, 0);
    return at;
}

const char* htable_get(const htable* t, const char* key, int32_t* out_length) {
    if (out_length) *out_length = 0;
    if (!t || !key) return nullptr;
    int64_t s = find_slot(t, key, htable_hash(key), nullptr);
    if (s < 0) return nullptr;
    uint32_t v = t->values[s];
    if (!v) {
        if (out_length) *out_length = 4;
        return htable_true_text;
    }
    const uint8_t* p = t->value_buf->data + v;
    if (out_length) *out_length = (int32_t)load_u32_le(p - 4);
    return (const char*)p;
}

int htable_insert_failable(htable* t, const char* key, const void* value, int32_t length) {
    if (!t || !key) return 1;
    if (value && length < 0) return 1;
    uint32_t vlen = value ? (uint32_t)length : 0;
    int64_t free_slot;
    int64_t s = find_slot(t, key, htable_hash(key), &free_slot);
    if (s < 0) {
        if (free_slot < 0) return 1;
        uint32_t klen = (uint32_t)strlen(key);
        // Both entries must fit before either is written, so a refusal leaves
        // the table as it was.
        if ((int64_t)t->key_buf->length + 5 + klen >= BUFFER_MAX_CAPACITY) return 1;
        if (value && (int64_t)t->value_buf->length + 5 + vlen >= BUFFER_MAX_CAPACITY) return 1;
        uint32_t ko = append_entry(t->key_buf, key, klen);
        if (!ko) return 1;
        uint32_t vo = 0;
        if (value) {
            vo = append_entry(t->value_buf, value, vlen);
            if (!vo) return 1;
        }
        t->keys[free_slot] = ko;
        t->values[free_slot] = vo;
        t->count++;
        return 0;
    }
    if (!value) {
        t->values[s] = 0;
        return 0;
    }
    uint32_t vo = append_entry(t->value_buf, value, vlen);
    if (!vo) return 1;
    t->values[s] = vo;
    return 0;
}

int htable_insert(htable* t, const char* key, const void* value, int32_t length) {
    return htable_insert_failable(t, key, value, length);
}

int htable_insert_str(htable* t, const char* key, const char* text) {
    if (!text) return htable_insert_failable(t, key, nullptr, 0);
    size_t n = strlen(text);
    if (n > (size_t)BUFFER_MAX_CAPACITY) return 1;
    return htable_insert_failable(t, key, text, (int32_t)n);
}

int htable_delete(htable* t, const char* key) {
    if (!t || !key) return 0;
    int64_t s = find_slot(t, key, htable_hash(key), nullptr);
    if (s < 0) return 0;
    t->keys[s] = 0;
    t->values[s] = 0;
    t->count--;
    return 1;
}
