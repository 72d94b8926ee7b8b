// Storage entry points whose real bodies come with later work. Each is
// removed from here when its real body lands.
#include "storage/storage.h"

#include "platform/platform.h"
