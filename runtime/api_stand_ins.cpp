// Interim: no system calls are registered into process states yet. Removed
// when the system-call registration lands.
#include "runtime/runtime.h"

void api_add_c_functions(lua_State*) {}
