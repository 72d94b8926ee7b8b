// Network and online services: sockets, HTTP jobs, user sessions, score
// channels and the online calls.
#pragma once

#include <cstddef>
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

// ---------------------------------------------------------------------------
// Sockets: TCP and UDP clients and dual-stack listeners for processes. Every
// descriptor is non-blocking; only a client's connect waits, and that at most
// SOCKET_CONNECT_WAIT_MS in all. Records belong to the process that made or
// accepted them and are closed when it ends.
// ---------------------------------------------------------------------------

inline constexpr int MAX_SOCKETS = 512;
inline constexpr int MAX_SOCKBUFS = 512;               // UDP peer records
inline constexpr size_t SOCKET_ADDRESS_MAX = 512;      // a longer address is refused
inline constexpr int SOCKET_PEER_TEXT_MAX = 65;        // an IPv6 address as text
inline constexpr int32_t SOCKET_READ_MAX = 65536;      // bytes one read returns at most
inline constexpr int32_t SOCKET_DATAGRAM_MAX = 65535;  // UDP intake buffer
inline constexpr int32_t SOCKBUF_QUEUE_MAX = 65535;    // queued datagram bytes per peer
inline constexpr int SOCKBUF_KIND = 111;
inline constexpr int32_t SOCKBUF_QUEUE_SIZE = 512;
inline constexpr int SOCKET_BACKLOG = 64;
inline constexpr int SOCKET_CONNECT_WAIT_MS = 5000;    // shared by the resolved addresses
// Datagrams one listener takes in per update, so a flood cannot hold the frame.
inline constexpr int SOCKET_INTAKE_MAX = 4096;

enum : int32_t { SOCKET_UDP = 1, SOCKET_TCP = 2 };
enum : int32_t {
    SOCKET_READY = 0,
    SOCKET_LISTENING = 1,
    SOCKET_CLOSED = 2,
    SOCKET_PEER_CLOSED = 3,
    SOCKET_DISCONNECTED = 4,
};

int lua54_create_tcp_socket(lua_State* L);
int lua54_create_udp_socket(lua_State* L);
int lua54_close_socket(lua_State* L);
int lua54_read_socket(lua_State* L);
int lua54_sock_status(lua_State* L);
int lua54_accept_socket(lua_State* L);
int lua54_write_socket(lua_State* L);
