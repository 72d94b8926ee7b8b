// Input entry points the system calls reach before the input calls exist.
// Each is removed from here when its real body lands.
#include "platform/platform.h"

const char* os_key_from_scancode(int) { return nullptr; }
void reset_process_buttons(Process*) {}
