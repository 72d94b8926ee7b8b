// Small helpers shared by the storage modules; not part of the contract.
#pragma once

#include <cstring>
#include <string>

#include "storage/storage.h"

// A buffer's bytes as text ("" for none).
static inline const char* btext(const buffer* b) { return b ? (const char*)b->data : ""; }

static inline bool starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

struct lua_State;

// A text argument of a system call (a string, or a number as text) copied
// out of the state: false for any other value.
bool copy_text_arg(lua_State* L, int index, std::string* out);
