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

// What the system-information calls read of sockets and sessions.
// Sockets, and socket buffers, owned by a process (0: all processes).
int count_sockets(int64_t process_id);
int count_sockbufs(int64_t process_id);
// Texts of a session record ("" when empty).
enum : int {
    SESSION_USER_ID = 0,
    SESSION_ACCESS_TOKEN = 1,
    SESSION_USER_NAME = 2,
    SESSION_STORED_DATA = 3,  // the field after the user name in user_sessions.txt
    SESSION_CONNECT_TOKEN = 4,  // filled from the connect reply
};
const char* siteuser_session_text(const siteuser_session* s, int field);
int num_sessions();
siteuser_session* get_session(int i);  // none out of range
