// Storage and formats: the virtual filesystem, mounts, cartridges, the history
// store, and the byte formats and hashes they use. Each concern has a header
// of its own; this one gathers them for the layers above.
//
// The concerns, from the bottom (the README states the same line, and the
// layers test holds every storage file to it): a file includes its own
// concern's header and lower ones, never this one, and calls nothing a higher
// concern defines. What a lower concern must call upward is a hook that
// pfile_init (storage.cpp) installs.
//   `storage_internal < formats < paths < vyn < ram_files < mounts < anywhen < pfile_ops < cartridges < writeback < file_calls < storage`
// storage_internal: helpers the concerns share; formats: hashes, the string
// table, deltas, base64, host text, MD5, pictures; paths: the path rules and
// listings; vyn: object data; ram_files: the file table; mounts: the mount
// table and the resolution through it; anywhen: the history store; pfile_ops:
// the file operations; cartridges: the ROM, text and PNG forms; writeback:
// writing changed cartridges back; file_calls: the script calls over files.
#pragma once

#include "storage/anywhen.h"
#include "storage/cartridges.h"
#include "storage/file_calls.h"
#include "storage/formats.h"
#include "storage/mounts.h"
#include "storage/paths.h"
#include "storage/pfile_ops.h"
#include "storage/ram_files.h"
#include "storage/vyn.h"
#include "storage/writeback.h"

// Starts the file system once: the file table and the mount table, and what
// a lower concern calls upward installed.
void pfile_init();
// Releases every record and every mount (a reboot starts with empty tables).
void pfile_reset();
