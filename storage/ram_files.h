// File records: the table of host and RAM records sorted by path, and the
// bytes the RAM files hold together.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/core.h"

inline constexpr int PFILE_MAX = 262144;
inline constexpr int PFILE_STRIDE = 1024;  // coarse pass of the lookup
inline constexpr int PFILE_KIND_FREE = 0;
inline constexpr int PFILE_KIND_HOST = 1;
inline constexpr int PFILE_KIND_RAM = 2;
inline constexpr uint32_t PFILE_FLAG_FOLDER = 1;
// A file a cartridge written over frames has not yet copied: it hands its
// bytes to that write before they change or go (ram_file_will_change).
inline constexpr uint32_t PFILE_FLAG_COPY_PENDING = 2;
inline constexpr int64_t RAM_FILES_MAX_BYTES = 512ll << 20;  // contents of all RAM files together

struct pfile {
    int32_t kind;
    buffer* path;    // the table key; the same buffer as origin for a RAM record
    uint32_t hash;   // mmh3_x86_32 of the path, seed 0
    buffer* origin;
    FILE* stream;
    buffer* data;
    uint32_t flags;
    uint8_t mode;
    uint8_t modifier;
    uint32_t opened;
    // A host record opened "w": the hidden sibling it writes to, removed
    // when the record is released without replacing the file.
    buffer* temp_path;
    int64_t counted;  // bytes of a RAM record counted against RAM_FILES_MAX_BYTES
    // Taken from one count for the whole table at each change of a RAM
    // record's content (ram_file_account), so a copy taken over several
    // frames tells whether the file changed meanwhile, in place or made anew
    // at the same path.
    uint64_t stamp;
};

// The file table's part of pfile_init and pfile_reset (storage.h): the
// table starts empty (true: now, the first time), and at a reset every
// record goes.
bool ram_files_init();
void ram_files_reset();
// Told when a record that was open is released (its open count falls):
// installed by pfile_init for the mount table above.
void set_ram_record_release_observer(void (*observer)(const pfile* f, int open));
// Takes both buffers (they may be one); when full it returns none and the
// buffers stay with the caller.
pfile* pfile_insert(buffer* path, int kind, buffer* origin);
int get_index_by_name(const char* name);                       // -1 when absent
pfile* get_ram_file_by_index(int i);  // none out of range or not a RAM record
pfile* get_ram_file_by_name(const char* name);
int delete_ram_files_in_path(const buffer* path);
int ram_path_is_inside_origin(const char* path, const char* origin, int allow_equal);
int pdisk_num_pfiles();
int pdisk_pfile_iterator();
pfile* pdisk_pfile_iterator_item(int i);
// The same snapshot, of only the records whose path begins with prefix (a
// folder's contents: its path and '/'), in table order; found by bisection,
// so it walks what the prefix holds, not the table.
int pdisk_pfile_iterator_under(const char* prefix);

// The entries whose path begins with the n bytes of prefix stand together in
// the sorted table: [first, end), free entries among them. Found by bisection.
struct pfile_range {
    int first, end;
};
pfile_range pfile_records_under(const char* prefix, size_t n);
// The first index at or after from past every record whose path begins with
// the n bytes of prefix (a walk skips a subtree with it).
int pfile_index_past(const char* prefix, size_t n, int from);
// The record at i of a walk over a range, counted as visited; none when the
// entry is free.
pfile* pfile_visit(int i);
// Records looked at since the program started: by the walks over ranges,
// by index and by the whole table's snapshot.
int64_t pfile_records_visited();
int pdisk_count_slots_by_kind(int kind);
// The only way a record becomes free (compaction counts on it).
void clear_pfile(pfile* f);
void pdisk_compact_pfiles();
// Brings a RAM record's count in the RAM files' bytes up to date with its
// content, and its stamp: called at every change of the content.
void ram_file_account(pfile* f);
// Set by the write over frames: takes a flagged record's bytes before they
// change or go.
extern void (*ram_file_before_change)(pfile* f);
// Called before a RAM record's content changes or the record goes.
inline void ram_file_will_change(pfile* f) {
    if (f && (f->flags & PFILE_FLAG_COPY_PENDING) && ram_file_before_change) ram_file_before_change(f);
}
// Whether count more bytes may join the RAM files; false (logged once per
// process) past RAM_FILES_MAX_BYTES.
bool ram_files_room(int64_t count);
