// Network entry points the frame driver calls before the network layer exists.
#include "net/net.h"

void gurl_init() {}
void gurl_update() {}
void scoresub_update() {}
void siteuser_init() {}
void siteuser_update() {}
siteuser_session* get_active_session() { return nullptr; }
void update_session(siteuser_session*) {}

void remove_scoresub_refrences(int64_t) {}

const char* siteuser_session_text(const siteuser_session*, int) { return ""; }
int num_sessions() { return 0; }
siteuser_session* get_session(int) { return nullptr; }
