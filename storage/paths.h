// Path rules: legal paths, normalising against the working folder and the
// listing order of names.
#pragma once

#include <cstdint>

#include "core/core.h"
#include "core/charges.h"

// Whether the n bytes at s hold a ".." segment (between slashes or the ends);
// "a..b" or "..." is an ordinary name. Paths, ROM entry names and the ROM
// packer all refuse such a segment.
inline bool path_has_dotdot_segment(const char* s, int64_t n) {
    for (int64_t i = 0; i + 1 < n; i++) {
        if (s[i] != '.' || s[i + 1] != '.') continue;
        bool left = i == 0 || s[i - 1] == '/';
        bool right = i + 2 == n || s[i + 2] == '/';
        if (left && right) return true;
    }
    return false;
}

// Whether the text form carries an entry name unchanged: its bytes are all
// 33..127 (a header's name ends at any other byte).
inline bool hvx_text_name_ok(const char* name, int64_t n) {
    if (n <= 0) return false;
    for (int64_t i = 0; i < n; i++)
        if ((uint8_t)name[i] <= 32 || (uint8_t)name[i] >= 128) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Path rules and listings
// ---------------------------------------------------------------------------

inline constexpr int PATH_SEGMENT_MAX = 254;  // a longer segment makes a path illegal
inline constexpr int PATH_EXT_MAX = 63;
inline constexpr int PATH_PROT_MAX = 15;
inline constexpr int PATH_PROT_SCAN = 16;     // ':' looked for at positions 0..15
inline constexpr int PWD_MAX = 256;
inline constexpr int COLLAPSE_BUFFER_KIND = 78;
inline constexpr int LISTING_MAX = 65536;
// A path argument is free up to this many bytes; past them it pays a cycle per
// PATH_BYTES_PER_CYCLE bytes (core/charges.h).
inline constexpr int64_t PATH_FREE_BYTES = 512;

struct listing {
    int32_t count;
    buffer* items[LISTING_MAX];
};

int is_path_char(int c);
int is_legal_path(const char* s);
const char* get_prot(const char* s);
// None when a segment is longer than PATH_SEGMENT_MAX characters.
buffer* collapse_path(const char* s, int length_hint, int trace);
// The absolute collapsed path, or none when s is not legal. Relative paths are
// taken from the working folder.
buffer* normalise_halvoran_path(const char* s);
buffer* normalise_halvoran_path_in(const char* s, const char* pwd);
// The working folder relative paths are taken from: the running process's
// ("/" when no process runs). Tests may install another source; none restores
// the running process's.
void pdisk_set_working_folder_source(const char* (*source)());
const char* pdisk_working_folder();
const char* get_ext(const char* s);
// The cartridge forms a path's extension names (".hvx", ".hvx.rom",
// ".hvx.png"); none is 0, so the kind also tells whether a path is a cartridge.
enum cart_kind : int { CART_KIND_NONE = 0, CART_KIND_TEXT = 1, CART_KIND_ROM = 2, CART_KIND_PNG = 3 };
cart_kind hvx_path_kind(const char* s);
int count_slashes(const char* s);
void remove_trailing_slash(buffer* b);

int compare_str_item(const char* a, const char* b);
int compare_listing_item(const buffer* a, const buffer* b);
listing* create_listing();
void destroy_listing(listing* l);
int listing_add(listing* l, buffer* item);
int listing_index_for_key(const listing* l, const char* key);
int listing_del(listing* l, const char* key);
void listing_sort(listing* l);
void listing_debug(const listing* l);
