// Storage entry points whose real bodies come with later work. Each is
// removed from here when its real body lands.
#include "storage/storage.h"

#include "platform/platform.h"

static void (*anywhen_observer)(int, const char*, int64_t) = nullptr;

void anywhen_open() {}
void anywhen_close() {}
void anywhen_event(int kind, const char* text, int64_t value) {
    if (anywhen_observer) anywhen_observer(kind, text, value);
}
void anywhen_set_observer(void (*observer)(int, const char*, int64_t)) { anywhen_observer = observer; }
