// Network entry points the frame driver calls before the network layer exists.
#include "net/net.h"

void scoresub_update() {}

void remove_scoresub_refrences(int64_t) {}
