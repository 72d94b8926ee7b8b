// Small helpers shared by the storage modules; not part of the contract.
#pragma once

#include <cstring>

#include "storage/storage.h"

// A buffer's bytes as text ("" for none).
static inline const char* btext(const buffer* b) { return b ? (const char*)b->data : ""; }

static inline bool starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}
