// Network and online services: sockets, HTTP jobs, user sessions, score
// channels and the online calls.
#pragma once

#include <cstdint>

struct siteuser_session;

void gurl_init();
void gurl_update();
void sockets_init();
void sockets_exit();
void update_all_sockets();
void delete_sockets_by_process(int64_t id);
void scoresub_update();
void siteuser_init();
void siteuser_update();
siteuser_session* get_active_session();
void update_session(siteuser_session* s);

struct lua_State;
void socket_add_public_c_functions(lua_State* L);
void remove_scoresub_refrences(int64_t process_id);
