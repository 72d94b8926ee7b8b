// Storage entry points the frame driver calls before the file system exists.
// Each is removed from here when its real body lands.
#include "storage/storage.h"

#include "platform/platform.h"

// No file can be opened yet: every open fails as for a missing file.
pfile* pfopen(const char*, const char*) { return nullptr; }
void pfclose(pfile*) {}
int64_t pfread(void*, int64_t, int64_t, pfile*) { return 0; }
int64_t pfwrite(const void*, int64_t, int64_t, pfile*) { return 0; }
int64_t pfile_size(const char*, int) { return 0; }

int flush_dirty_mounts_immediately() { return 0; }
int flush_dirty_mount(pmount*, int) { return 0; }
int flush_dirty_mounts_delayed() { return 0; }
void sync_fs(int) {}

// The cartridge forms are not read yet: nothing is unpacked, and the caller
// learns that the cartridge did not load.
int populate_ram_folder_from_hvx_buffer(const char*, buffer*) { return -1; }
int populate_ram_folder_from_hvx_rom_buffer_ex(const char*, const char*, buffer*, int) { return -1; }

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int, const char*, int64_t) {}
