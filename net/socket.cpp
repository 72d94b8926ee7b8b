// Sockets for processes: TCP and UDP clients, dual-stack listeners on every
// local address, and the UDP peers a listener hears from, handed out one
// child socket per peer. Two fixed tables, compacted on removal, on the main
// thread only. Descriptors are non-blocking; sends never raise SIGPIPE.
//
// Host calls here build every table change before they push a Lua value: a
// push may collect, and a finalizer may close sockets or end processes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "core/core.h"

namespace {

constexpr int NO_FD = -1;

union sock_address {
    sockaddr sa;
    sockaddr_in in4;
    sockaddr_in6 in6;
};

struct sockdat {
    int32_t id;
    int64_t owner;
    int32_t kind;
    int32_t state;
    int descriptor;
    int listener_descriptor;  // a UDP child sends through its listener's
    int32_t child;            // a UDP child's peer handle
    int32_t port;
    char address[SOCKET_ADDRESS_MAX + 1];
    sock_address peer;  // where a UDP client or child sends
    socklen_t peer_len;
};

// A UDP peer as one listener hears it: its datagrams wait here until the
// peer is accepted and its child reads them.
struct sockbuf {
    int32_t listener;  // id of the listener that received it
    char address[SOCKET_PEER_TEXT_MAX + 1];
    sock_address sockaddr;
    socklen_t sockaddr_len;
    int32_t port;
    int32_t handle;  // 0 until accepted
    buffer* queue;   // u32 length, then the bytes, per datagram
    int64_t owner;   // the listener's owner
};

sockdat sock[MAX_SOCKETS];
int sockets = 0;
sockbuf bufs[MAX_SOCKBUFS];
int sockbufs = 0;
int32_t next_socket_id = 1;
int32_t next_sockbuf_handle = 1;
uint8_t read_buffer[SOCKET_READ_MAX];

void log_event(const sockdat& s, const char* what) {
    int fd = s.descriptor != NO_FD ? s.descriptor : s.listener_descriptor;
    krio_debugf("[socket] fd:%llx (%d) %s\n", (unsigned long long)(long long)fd, s.id, what);
}

int fail(lua_State* L, const char* message) {
    krio_debugf("socket error: %s\n", message);
    lua_pushnil(L);
    lua_pushstring(L, message);
    return 2;
}

int fail_errno(lua_State* L, int err) {
    char text[48];
    snprintf(text, sizeof text, "WSAGetLastError %d", err);
    return fail(L, text);
}

sockdat* find_socket(int64_t id) {
    if (id <= 0) return nullptr;
    for (int i = 0; i < sockets; i++)
        if (sock[i].id == id) return &sock[i];
    return nullptr;
}

bool socket_is_dead(const sockdat& s) { return s.descriptor == NO_FD && s.listener_descriptor == NO_FD; }

int find_sockbuf_by_handle(int32_t handle) {
    for (int i = 0; i < sockbufs; i++)
        if (bufs[i].handle == handle) return i;
    return -1;
}

void remove_sockbuf(int i) {
    destroy_buffer(bufs[i].queue);
    std::memmove(&bufs[i], &bufs[i + 1], sizeof(sockbuf) * (size_t)(sockbufs - i - 1));
    sockbufs--;
}

// What a listener leaves behind: its children lose the descriptor they send
// through (and so die at the next update), whoever owns them, and the peers
// nobody accepted yet are freed.
void release_udp_listener(const sockdat& l) {
    for (int i = 0; i < sockets; i++)
        if (sock[i].child && sock[i].listener_descriptor == l.descriptor) sock[i].listener_descriptor = NO_FD;
    for (int i = sockbufs - 1; i >= 0; i--)
        if (bufs[i].listener == l.id && bufs[i].handle == 0) remove_sockbuf(i);
}

// Releases a socket's host resources; the record stays, dead, until removed.
void close_one(sockdat& s) {
    if (s.child) {
        int b = find_sockbuf_by_handle(s.child);
        if (b >= 0) remove_sockbuf(b);
        s.child = 0;
        log_event(s, "closing udp child");
        s.descriptor = s.listener_descriptor = NO_FD;
    } else if (s.descriptor != NO_FD) {
        log_event(s, "closing");
        if (s.kind == SOCKET_UDP && s.state == SOCKET_LISTENING) release_udp_listener(s);
        close(s.descriptor);
        s.descriptor = NO_FD;
    }
    s.state = SOCKET_CLOSED;
}

// Closes and removes every record that pred picks; the others keep their order.
template <class Pred>
void remove_sockets_where(Pred pred) {
    int kept = 0;
    for (int i = 0; i < sockets; i++) {
        if (pred(sock[i])) {
            close_one(sock[i]);
            continue;
        }
        if (kept != i) sock[kept] = sock[i];
        kept++;
    }
    sockets = kept;
}

// The errors after which a socket is no use any more.
bool is_disconnect_error(int err) {
    switch (err) {
    case ENOTSOCK:
    case EBADF:
    case ECONNRESET:
    case EPIPE:
    case ECONNREFUSED:  // a UDP peer's port unreachable, or a connect that failed late
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

int io_error(lua_State* L, sockdat& s, int err) {
    if (is_disconnect_error(err)) {
        log_event(s, "disconnecting..");
        close_one(s);
        s.state = SOCKET_DISCONNECTED;
    }
    return fail_errno(L, err);
}

void set_options(int fd, int kind) {
    int on = 1, off = 0;
    // Each may fail for the kind or family at hand (UDP, IPv4), which is fine.
    if (kind == SOCKET_TCP) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && !(fl & O_NONBLOCK)) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// The address of a peer as text and its port; IPv4 peers of a dual-stack
// listener come out in the mapped form "::ffff:a.b.c.d".
void peer_text(const sock_address& a, char* out, size_t out_size, int32_t* port) {
    out[0] = 0;
    *port = 0;
    if (a.sa.sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &a.in6.sin6_addr, out, (socklen_t)out_size);
        *port = ntohs(a.in6.sin6_port);
    } else if (a.sa.sa_family == AF_INET) {
        inet_ntop(AF_INET, &a.in4.sin_addr, out, (socklen_t)out_size);
        *port = ntohs(a.in4.sin_port);
    }
}

// A text argument: a string, or a number in its text form; none otherwise.
const char* text_arg(lua_State* L, int index, size_t* len) {
    int t = lua_type(L, index);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return nullptr;
    return lua_tolstring(L, index, len);
}

sockdat& new_record(int kind, int state, int32_t port, const char* address) {
    sockdat& s = sock[sockets++];
    std::memset(&s, 0, sizeof s);
    s.id = next_socket_id++;
    s.owner = cproc_id();
    s.kind = kind;
    s.state = state;
    s.descriptor = s.listener_descriptor = NO_FD;
    s.port = port;
    snprintf(s.address, sizeof s.address, "%s", address);
    return s;
}

void drop_last_record() { sockets--; }

int create_listener(lua_State* L, int kind, int32_t port) {
    const bool tcp = kind == SOCKET_TCP;
    sockdat& s = new_record(kind, SOCKET_LISTENING, port, "*");
    int fd = socket(AF_INET6, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        drop_last_record();
        return fail(L, tcp ? "could not create tcp listener" : "could not create udp listener");
    }
    set_options(fd, kind);
    if (tcp) {
        // Rebinding over connections in TIME_WAIT, as the port is free.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr*)&any, sizeof any) != 0) {
        close(fd);
        drop_last_record();
        return fail(L, tcp ? "could not bind to port" : "could not bind udp listener");
    }
    if (tcp && listen(fd, SOCKET_BACKLOG) != 0) {
        close(fd);
        drop_last_record();
        return fail(L, "could not listen()");
    }
    s.descriptor = fd;
    log_event(s, tcp ? "created tcp listener" : "created udp listener");
    lua_pushinteger(L, s.id);
    return 1;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A connected descriptor for one resolved address, or NO_FD when it refused
// or did not answer within wait_ms.
int connect_bounded(const addrinfo* ai, int64_t wait_ms) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return NO_FD;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno == EINPROGRESS) {
        const int64_t end = now_ms() + wait_ms;
        for (;;) {
            pollfd p{fd, POLLOUT, 0};
            int64_t left = end - now_ms();
            int r = poll(&p, 1, left > 0 ? (int)left : 0);
            if (r < 0 && errno == EINTR) continue;
            if (r == 1) {
                int err = 0;
                socklen_t len = sizeof err;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return fd;
            }
            break;
        }
    }
    close(fd);
    return NO_FD;
}

int create_client(lua_State* L, int kind, int32_t port, const char* address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == SOCKET_TCP ? SOCK_STREAM : SOCK_DGRAM;
    char service[8];
    snprintf(service, sizeof service, "%d", (int)port);
    addrinfo* list = nullptr;
    int rc = getaddrinfo(address, service, &hints, &list);
    if (rc != 0) {
        if (rc == EAI_SYSTEM) return fail_errno(L, errno);
        return fail(L, gai_strerror(rc));
    }
    int left = 0;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) left++;
    const int64_t end = now_ms() + SOCKET_CONNECT_WAIT_MS;
    int fd = NO_FD;
    const addrinfo* taken = nullptr;
    for (addrinfo* ai = list; ai && fd == NO_FD; ai = ai->ai_next, left--) {
        if (ai->ai_addrlen > sizeof(sock_address)) continue;
        int64_t remaining = end - now_ms();
        fd = connect_bounded(ai, remaining > 0 ? remaining / left : 0);
        if (fd != NO_FD) taken = ai;
    }
    if (fd == NO_FD) {
        freeaddrinfo(list);
        return 0;
    }
    sockdat& s = new_record(kind, SOCKET_READY, port, address);
    s.descriptor = fd;
    if (kind == SOCKET_UDP) {
        std::memcpy(&s.peer, taken->ai_addr, taken->ai_addrlen);
        s.peer_len = taken->ai_addrlen;
    }
    freeaddrinfo(list);
    set_options(fd, kind);
    log_event(s, kind == SOCKET_TCP ? "created tcp socket" : "created udp socket");
    lua_pushinteger(L, s.id);
    return 1;
}

int create_socket(lua_State* L, int kind) {
    int64_t port = hvx_intp(L, 1, 0);
    size_t len = 0;
    const char* address = text_arg(L, 2, &len);
    if (port < 1 || port > 65535 || !address || len > SOCKET_ADDRESS_MAX || std::strlen(address) != len)
        return fail(L, "bad port or address");
    if (!config.network_access) return fail(L, "halvoran network is disabled");
    if (sockets >= MAX_SOCKETS) return fail(L, "too many sockets");
    if (address[0] == '*' && cproc && cproc->sandboxed) return fail(L, "can not create listener while sandboxed");
    if (std::strcmp(address, "*") == 0) return create_listener(L, kind, (int32_t)port);
    // The text is copied: resolving does not touch Lua, but the record outlives the argument.
    char copy[SOCKET_ADDRESS_MAX + 1];
    std::memcpy(copy, address, len + 1);
    return create_client(L, kind, (int32_t)port, copy);
}

// A UDP listener's intake: every pending datagram goes to its peer's queue.
void take_in_datagrams(const sockdat& l) {
    static uint8_t datagram[SOCKET_DATAGRAM_MAX];
    for (int n = 0; n < SOCKET_INTAKE_MAX; n++) {
        sock_address from{};
        socklen_t from_len = sizeof from;
        ssize_t got = recvfrom(l.descriptor, datagram, sizeof datagram, 0, &from.sa, &from_len);
        if (got < 0) return;
        char text[SOCKET_PEER_TEXT_MAX + 1];
        int32_t port;
        peer_text(from, text, sizeof text, &port);
        int b = -1;
        for (int i = 0; i < sockbufs && b < 0; i++)
            if (bufs[i].listener == l.id && bufs[i].port == port && std::strcmp(bufs[i].address, text) == 0) b = i;
        if (b < 0) {
            if (sockbufs >= MAX_SOCKBUFS) continue;
            buffer* q = create_buffer_2(SOCKBUF_QUEUE_SIZE, SOCKBUF_KIND);
            if (!q) continue;
            b = sockbufs++;
            sockbuf& nb = bufs[b];
            std::memset(&nb, 0, sizeof nb);
            nb.listener = l.id;
            std::memcpy(nb.address, text, sizeof text);
            nb.sockaddr = from;
            nb.sockaddr_len = from_len;
            nb.port = port;
            nb.queue = q;
            nb.owner = l.owner;
        }
        buffer* q = bufs[b].queue;
        if ((int64_t)q->length + got > SOCKBUF_QUEUE_MAX) continue;
        q->cursor = q->length;
        bwrite_uint32(q, (uint32_t)got);
        bwrite(datagram, 1, got, q);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

int lua54_create_tcp_socket(lua_State* L) { return create_socket(L, SOCKET_TCP); }
int lua54_create_udp_socket(lua_State* L) { return create_socket(L, SOCKET_UDP); }

int lua54_close_socket(lua_State* L) {
    int32_t id = hvx_trunc_arg(L, 1);
    if (find_socket(id)) remove_sockets_where([id](const sockdat& r) { return r.id == id; });
    return 0;
}

int lua54_sock_status(lua_State* L) {
    sockdat* s = find_socket(hvx_pid_arg(L, 1));
    if (!s || socket_is_dead(*s)) return 0;
    lua_pushstring(L, s->state == SOCKET_READY ? "ready" : s->state == SOCKET_LISTENING ? "listening" : "unknown");
    return 1;
}

int lua54_read_socket(lua_State* L) {
    sockdat* s = find_socket(hvx_pid_arg(L, 1));
    if (!s) return 0;
    if (s->state != SOCKET_READY) return fail(L, "host socket is closed or not ready");
    if (!config.network_access) return 0;
    int32_t n = 0;
    if (s->child) {
        int b = find_sockbuf_by_handle(s->child);
        if (b < 0) return 0;
        buffer* q = bufs[b].queue;
        if (q->length < 4) return 0;
        uint32_t len;
        std::memcpy(&len, q->data, 4);
        if ((int64_t)len > q->length - 4) {
            bclear(q);
            return 0;
        }
        n = (int32_t)len;
        std::memcpy(read_buffer, q->data + 4, len);
        bcrop(q, 4 + n, q->length);
    } else {
        if (s->descriptor == NO_FD) return 0;
        ssize_t got = recv(s->descriptor, read_buffer, sizeof read_buffer, 0);
        if (got < 0) return io_error(L, *s, errno);
        if (got == 0) {
            if (s->kind == SOCKET_UDP) return 0;
            close_one(*s);
            s->state = SOCKET_PEER_CLOSED;
            return fail(L, "connection closed by peer");
        }
        n = (int32_t)got;
    }
    lua_pushlstring(L, (const char*)read_buffer, (size_t)n);
    return 1;
}

int lua54_write_socket(lua_State* L) {
    size_t len = 0;
    const char* data = text_arg(L, 2, &len);
    if (!data || len == 0) return fail(L, "no data to send");
    sockdat* s = find_socket(hvx_pid_arg(L, 1));
    if (!s) return 0;
    if (s->state != SOCKET_READY) return fail(L, "socket is closed or not ready");
    if (!config.network_access) return 0;
    if (socket_is_dead(*s)) return fail(L, "socket is not valid");
    ssize_t sent;
    if (s->kind == SOCKET_TCP) {
        sent = send(s->descriptor, data, len, MSG_NOSIGNAL);
    } else {
        int fd = s->child ? s->listener_descriptor : s->descriptor;
        if (fd == NO_FD) return fail(L, "socket is not valid");
        sent = sendto(fd, data, len, MSG_NOSIGNAL, &s->peer.sa, s->peer_len);
    }
    if (sent < 0) return io_error(L, *s, errno);
    lua_pushinteger(L, (lua_Integer)sent);
    return 1;
}

int lua54_accept_socket(lua_State* L) {
    sockdat* l = find_socket(hvx_pid_arg(L, 1));
    if (!l) return 0;
    if (sockets >= MAX_SOCKETS) return fail(L, "too many sockets");
    if (l->state != SOCKET_LISTENING) return fail(L, "socket is not listening");
    char text[SOCKET_PEER_TEXT_MAX + 1];
    int32_t peer_port = 0;
    int32_t id;
    if (l->kind == SOCKET_TCP) {
        sock_address from{};
        socklen_t from_len = sizeof from;
        int fd = accept4(l->descriptor, &from.sa, &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return 0;
        for (int i = 0; i < sockets; i++)
            if (sock[i].descriptor == fd && !sock[i].child) {
                krio_debug("** accept() declined because descriptor already exists in collection\n");
                close(fd);
                return 0;
            }
        peer_text(from, text, sizeof text, &peer_port);
        const int32_t port = l->port;
        sockdat& s = new_record(SOCKET_TCP, SOCKET_READY, port, text);
        s.descriptor = fd;
        set_options(fd, SOCKET_TCP);
        log_event(s, "accepted tcp socket");
        id = s.id;
    } else {
        int b = -1;
        for (int i = 0; i < sockbufs && b < 0; i++)
            if (bufs[i].listener == l->id && bufs[i].handle == 0) b = i;
        if (b < 0) return 0;
        sockbuf& pb = bufs[b];
        pb.handle = next_sockbuf_handle++;
        const int listener_fd = l->descriptor;
        sockdat& s = new_record(SOCKET_UDP, SOCKET_READY, pb.port, pb.address);
        s.listener_descriptor = listener_fd;
        s.child = pb.handle;
        s.peer = pb.sockaddr;
        s.peer_len = pb.sockaddr_len;
        std::memcpy(text, pb.address, sizeof text);
        peer_port = pb.port;
        log_event(s, "accepted udp socket");
        id = s.id;
    }
    lua_pushnumber(L, (lua_Number)id);
    lua_pushstring(L, text);
    lua_pushinteger(L, peer_port);
    return 3;
}

void socket_add_public_c_functions(lua_State* L) {
    static const luaL_Reg calls[] = {
        {"_create_tcp_socket", lua54_create_tcp_socket}, {"_create_udp_socket", lua54_create_udp_socket},
        {"_close_socket", lua54_close_socket},           {"_read_socket", lua54_read_socket},
        {"_sock_status", lua54_sock_status},             {"_accept_socket", lua54_accept_socket},
        {"_write_socket", lua54_write_socket},
    };
    if (!L) return;
    for (const luaL_Reg& c : calls) {
        lua_pushcfunction(L, c.func);
        lua_setglobal(L, c.name);
    }
}

// ---------------------------------------------------------------------------
// Host entry points
// ---------------------------------------------------------------------------

// The host's socket layer needs no start or stop: every send passes
// MSG_NOSIGNAL, so a vanished peer is an error result, never a signal.
void sockets_init() {}
void sockets_exit() {}

void update_all_sockets() {
    // One poll finds the listeners with datagrams waiting; the intake reads only those.
    static pollfd ready[MAX_SOCKETS];
    auto listening = [](const sockdat& s) {
        return s.kind == SOCKET_UDP && s.state == SOCKET_LISTENING && s.descriptor != NO_FD;
    };
    int n = 0;
    for (int i = 0; i < sockets; i++)
        if (listening(sock[i])) ready[n++] = {sock[i].descriptor, POLLIN, 0};
    // An error waiting (a port unreachable) is read off by the intake too.
    if (n && poll(ready, (nfds_t)n, 0) > 0)
        for (int i = 0, k = 0; i < sockets; i++)
            if (listening(sock[i]) && (ready[k++].revents & (POLLIN | POLLERR))) take_in_datagrams(sock[i]);
    remove_sockets_where(socket_is_dead);
}

void delete_sockets_by_process(int64_t pid) {
    remove_sockets_where([pid](const sockdat& s) { return pid == 0 || s.owner == pid; });
}

int count_sockets(int64_t pid) {
    if (pid == 0) return sockets;
    int n = 0;
    for (int i = 0; i < sockets; i++) n += sock[i].owner == pid;
    return n;
}

int count_sockbufs(int64_t pid) {
    if (pid == 0) return sockbufs;
    int n = 0;
    for (int i = 0; i < sockbufs; i++) n += bufs[i].owner == pid;
    return n;
}
