// Network entry points the frame driver calls before the network layer exists.
#include "net/net.h"

void sockets_init() {}
void sockets_exit() {}
void update_all_sockets() {}
void delete_sockets_by_process(int64_t) {}
void scoresub_update() {}

void socket_add_public_c_functions(lua_State*) {}
void remove_scoresub_refrences(int64_t) {}

int count_sockets(int64_t) { return 0; }
int count_sockbufs(int64_t) { return 0; }
