// Storage entry points whose real bodies come with later work. Each is
// removed from here when its real body lands.
#include "storage/storage.h"

#include "platform/platform.h"

// The text cartridge form is not read yet: nothing is unpacked, and the
// caller learns that the cartridge did not load.
int populate_ram_folder_from_hvx_buffer(const char*, buffer*) { return -1; }

int unvyn_from_fetched_buffer(lua_State*, const buffer*, const char*, int) { return 0; }

static void (*anywhen_observer)(int, const char*, int64_t) = nullptr;

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int kind, const char* text, int64_t value) {
    if (anywhen_observer) anywhen_observer(kind, text, value);
}
void anywhen_set_observer(void (*observer)(int, const char*, int64_t)) { anywhen_observer = observer; }
