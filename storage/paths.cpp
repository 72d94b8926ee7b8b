// Path rules: legal paths and their normal form against the working folder,
// extensions and the listing order of names.
#include "storage/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "storage/storage_internal.h"


// ---------------------------------------------------------------------------
// Path rules
// ---------------------------------------------------------------------------

static char _get_ext_buffer[PATH_EXT_MAX + 1];
static char _get_prot_buffer[32];
static const char* running_process_folder() { return cproc ? cproc->pwd : nullptr; }
static const char* (*working_folder_source)() = running_process_folder;

int is_path_char(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '-' && c <= '9') || c == '_';
}

int is_legal_path(const char* s) {
    if (!s || !s[0] || s[0] == '#' || s[0] == '-') return 0;
    for (const char* p = s; *p && *p != '#'; p++)
        if (!is_path_char((unsigned char)*p)) return 0;
    return 1;
}

// Length of the "name://" prefix (0 when there is none); the name is copied
// into _get_prot_buffer.
static size_t prot_prefix(const char* s) {
    for (size_t k = 0; k < (size_t)PATH_PROT_SCAN && s[k]; k++) {
        if (s[k] == ':' && s[k + 1] == '/' && s[k + 2] == '/') {
            memcpy(_get_prot_buffer, s, k);
            _get_prot_buffer[k] = 0;
            return k + 3;
        }
    }
    return 0;
}

const char* get_prot(const char* s) {
    if (!s) return nullptr;
    size_t n = prot_prefix(s);
    return n > 3 ? _get_prot_buffer : nullptr;
}

buffer* collapse_path(const char* s, int length_hint, int trace) {
    if (!s) return nullptr;
    size_t n = strlen(s);
    if (n > (size_t)BUFFER_MAX_CAPACITY - 4) return nullptr;
    // The output is never longer than the input plus one '/'.
    int64_t cap = (int64_t)n + 2;
    if (length_hint > cap) cap = length_hint;
    buffer* out = create_buffer_2((int32_t)cap, COLLAPSE_BUFFER_KIND);
    if (!out) return nullptr;
    char* o = (char*)out->data;
    size_t olen = 0;
    if (trace) printf(":: collapse: [%s]\n", s);

    size_t prefix = prot_prefix(s);
    if (prefix) {
        memcpy(o, s, prefix);
        olen = prefix;
        if (trace) printf("skipping prot: %s\n", _get_prot_buffer);
    }
    bool absolute = !prefix && s[0] == '/';
    size_t i = prefix;
    while (i < n && s[i] == '/') i++;
    while (i < n) {
        size_t start = i;
        while (i < n && s[i] != '/') i++;
        size_t seg = i - start;
        while (i < n && s[i] == '/') i++;
        o[olen] = 0;
        if (seg == 1 && s[start] == '.') {
            if (trace) printf("  skipped .  -> %s\n", o);
            continue;
        }
        if (seg == 2 && s[start] == '.' && s[start + 1] == '.') {
            if (olen > prefix && (prefix || olen > 1)) {
                while (olen > prefix && o[olen - 1] != '/') olen--;
                if (olen > prefix) olen--;
            }
            o[olen] = 0;
            if (trace) printf("  folded ..  -> %s\n", o);
            continue;
        }
        if (seg > (size_t)PATH_SEGMENT_MAX) {
            // Dropping the segment would let the path name a different file.
            destroy_buffer(out);
            return nullptr;
        }
        if (absolute || olen > prefix) o[olen++] = '/';
        memcpy(o + olen, s + start, seg);
        olen += seg;
        o[olen] = 0;
        if (trace) printf("  left segment: %.*s  -> %s\n", (int)seg, s + start, o);
    }
    if (olen == 0) o[olen++] = '/';
    o[olen] = 0;
    out->length = out->cursor = (int32_t)olen;
    if (trace) printf("  --> [%s]\n", o);
    return out;
}

void pdisk_set_working_folder_source(const char* (*source)()) {
    working_folder_source = source ? source : running_process_folder;
}

const char* pdisk_working_folder() {
    const char* w = working_folder_source ? working_folder_source() : nullptr;
    return (w && *w) ? w : "/";
}

buffer* normalise_halvoran_path_in(const char* s, const char* pwd) {
    if (!is_legal_path(s)) return nullptr;
    if (!pwd || !*pwd) pwd = "/";
    size_t sl = strlen(s);
    size_t pl = s[0] == '/' ? 0 : strlen(pwd);
    if (sl + pl + 2 > (size_t)BUFFER_MAX_CAPACITY - 4) return nullptr;
    buffer* t = create_buffer_2((int32_t)(sl + pl + 2), COLLAPSE_BUFFER_KIND);
    if (!t) return nullptr;
    char* d = (char*)t->data;
    size_t len = 0;
    if (pl) {
        memcpy(d, pwd, pl);
        len = pl;
        if (d[len - 1] != '/') d[len++] = '/';
    }
    memcpy(d + len, s, sl);
    len += sl;
    if (len >= 2 && d[len - 1] == '/') len--;
    d[len] = 0;
    t->length = t->cursor = (int32_t)len;
    if (len == 1 && d[0] == '/') return t;
    buffer* r = collapse_path(d, 0, 0);
    destroy_buffer(t);
    // Folding ".." can pull text from behind a '#' into the path part
    // ("/x#/../a b" gives "/a b"); such a result is refused like its input
    // would have been.
    if (r && !is_legal_path(to_cstr(r))) {
        destroy_buffer(r);
        return nullptr;
    }
    return r;
}

buffer* normalise_halvoran_path(const char* s) { return normalise_halvoran_path_in(s, pdisk_working_folder()); }

static void set_ext(const char* from, size_t n) {
    if (n > (size_t)PATH_EXT_MAX) n = 0;
    for (size_t i = 0; i < n; i++) {
        char c = from[i];
        _get_ext_buffer[i] = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
    }
    _get_ext_buffer[n] = 0;
}

const char* get_ext(const char* s) {
    _get_ext_buffer[0] = 0;
    if (!s || !*s) return _get_ext_buffer;
    size_t n = strlen(s);
    int64_t i = (int64_t)n - 1;
    while (i >= 0 && s[i] != '.' && s[i] != '/') i--;
    if (i < 0 || s[i] == '/') return _get_ext_buffer;
    int64_t j = i - 1;
    while (j >= 0 && s[j] != '.' && s[j] != '/') j--;
    int64_t start = (j >= 0 && s[j] == '.') ? j + 1 : i + 1;
    set_ext(s + start, n - (size_t)start);
    return _get_ext_buffer;
}

cart_kind hvx_path_kind(const char* s) {
    const char* e = get_ext(s);
    if (strcmp(e, "hvx") == 0) return CART_KIND_TEXT;
    if (strcmp(e, "hvx.rom") == 0) return CART_KIND_ROM;
    if (strcmp(e, "hvx.png") == 0) return CART_KIND_PNG;
    return CART_KIND_NONE;
}

int count_slashes(const char* s) {
    int n = 0;
    for (; s && *s; s++) n += *s == '/';
    return n;
}

void remove_trailing_slash(buffer* b) {
    if (!b || b->length < 1) return;
    if (b->data[b->length - 1] == '/') {
        b->length--;
        if (b->cursor > b->length) b->cursor = b->length;
        b->data[b->length] = 0;
    }
}

// ---------------------------------------------------------------------------
// Listing order and listings
// ---------------------------------------------------------------------------

static inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
static inline unsigned fold(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32u : c; }

int compare_str_item(const char* a, const char* b) {
    if (!a) a = "";
    if (!b) b = "";
    size_t la = strlen(a), lb = strlen(b);
    bool fa = la > 0 && a[la - 1] == '/', fb = lb > 0 && b[lb - 1] == '/';
    if (fa != fb) return fa ? -1 : 1;
    const unsigned char* p = (const unsigned char*)a;
    const unsigned char* q = (const unsigned char*)b;
    for (;;) {
        if (!*p && !*q) return 0;
        if (!*p) return -1;
        if (!*q) return 1;
        bool dp = is_digit(*p), dq = is_digit(*q);
        if (!dp && !dq) {
            unsigned x = fold(*p), y = fold(*q);
            if (x != y) return x < y ? -1 : 1;
            p++;
            q++;
        } else if (!dp) {
            return (*p == '.' || *p == '/') ? -1 : 1;
        } else if (!dq) {
            return (*q == '.' || *q == '/') ? 1 : -1;
        } else {
            // Digit runs compare by value without converting them, so runs of
            // any length order correctly.
            while (*p == '0' && is_digit(p[1])) p++;
            while (*q == '0' && is_digit(q[1])) q++;
            const unsigned char* pe = p;
            const unsigned char* qe = q;
            while (is_digit(*pe)) pe++;
            while (is_digit(*qe)) qe++;
            if (pe - p != qe - q) return (pe - p) < (qe - q) ? -1 : 1;
            int c = memcmp(p, q, (size_t)(pe - p));
            if (c) return c < 0 ? -1 : 1;
            p = pe;
            q = qe;
        }
    }
}

int compare_listing_item(const buffer* a, const buffer* b) {
    return compare_str_item(a ? btext(a) : "", b ? btext(b) : "");
}

// Only the items below the count are ever read: the block (half a megabyte)
// is not cleared, which would cost more than a short listing itself. One
// block is kept for the next listing: asking the host allocator for half a
// megabyte first merges every small chunk freed since, which beside a table
// of 100,000 files costs milliseconds. A listing made while another is in use
// (from a finalizer) gets a block of its own.
static listing* _spare_listing = nullptr;

listing* create_listing() {
    listing* l = _spare_listing;
    _spare_listing = nullptr;
    if (!l) l = (listing*)malloc(sizeof(listing));
    if (l) l->count = 0;
    return l;
}

void destroy_listing(listing* l) {
    if (!l) return;
    for (int i = 0; i < l->count; i++) destroy_buffer(l->items[i]);
    if (_spare_listing) free(l);
    else _spare_listing = l;
}

int listing_add(listing* l, buffer* item) {
    if (!l || !item || l->count >= LISTING_MAX) return 0;
    to_cstr(item);
    l->items[l->count++] = item;
    return 1;
}

int listing_index_for_key(const listing* l, const char* key) {
    if (!l || !key) return -1;
    for (int i = 0; i < l->count; i++)
        if (strcmp(to_cstr(l->items[i]), key) == 0) return i;
    return -1;
}

int listing_del(listing* l, const char* key) {
    int i = listing_index_for_key(l, key);
    if (i < 0) return 0;
    destroy_buffer(l->items[i]);
    memmove(&l->items[i], &l->items[i + 1], sizeof(buffer*) * (size_t)(l->count - i - 1));
    l->count--;
    l->items[l->count] = nullptr;
    return 1;
}

// A merge sort: the listing order is not transitive for every mix of
// punctuation and digits, and a merge stays within bounds whatever the
// comparison answers.
void listing_sort(listing* l) {
    if (!l || l->count < 2) return;
    int n = l->count;
    buffer** tmp = (buffer**)malloc(sizeof(buffer*) * (size_t)n);
    if (!tmp) return;
    buffer** src = l->items;
    buffer** dst = tmp;
    for (int width = 1; width < n; width *= 2) {
        for (int lo = 0; lo < n; lo += 2 * width) {
            int mid = lo + width < n ? lo + width : n;
            int hi = lo + 2 * width < n ? lo + 2 * width : n;
            int i = lo, j = mid, k = lo;
            while (i < mid && j < hi) dst[k++] = compare_listing_item(src[j], src[i]) < 0 ? src[j++] : src[i++];
            while (i < mid) dst[k++] = src[i++];
            while (j < hi) dst[k++] = src[j++];
        }
        buffer** t = src;
        src = dst;
        dst = t;
    }
    if (src != l->items) memcpy(l->items, src, sizeof(buffer*) * (size_t)n);
    free(tmp);
}

void listing_debug(const listing* l) {
    if (!l) return;
    printf("--- listing: %d items ---\n", l->count);
    for (int i = 0; i < l->count; i++) printf("%d: %s\n", i, to_cstr(l->items[i]));
}
