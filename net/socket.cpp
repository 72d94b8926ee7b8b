// Sockets for processes: TCP and UDP clients, dual-stack listeners on every
// local address, and the UDP peers a listener hears from, handed out one
// child socket per peer. Two fixed tables, compacted on removal, on the main
// thread only. Descriptors are non-blocking; sends never raise SIGPIPE.
//
// A client's name is looked up on a worker thread of a small fixed table of
// lookups (an address in numeric form is read at once); the worker touches
// only its lookup record and hands it over through the record's state. The
// connect then completes between frames, or inside a call on the socket,
// without waiting; its time runs on the frame clock. A client that dies on
// its way keeps why (the resolver's text, a refused or timed-out connect)
// for its first read or write, also once its record has left the table.
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

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "core/core.h"

namespace {

constexpr int NO_FD = -1;
constexpr int NO_LOOKUP = -1;

union sock_address {
    sockaddr sa;
    sockaddr_in in4;
    sockaddr_in6 in6;
};

// Where a client stands on its way to a connection; every other socket is open.
enum : int32_t { LINK_OPEN = 0, LINK_RESOLVING = 1, LINK_CONNECTING = 2 };

struct sockdat {
    int32_t id;
    int64_t owner;    // closed when it ends
    int64_t counted;  // the process whose shares it counts against (0: none)
    int64_t program;  // that process's program (0: a system process, no program share)
    int32_t kind;
    int32_t state;
    int descriptor;
    int listener_descriptor;  // a UDP child sends through its listener's
    int32_t child;            // a UDP child's peer handle
    int32_t port;
    char address[SOCKET_ADDRESS_MAX + 1];
    sock_address peer;  // where a UDP client or child sends
    socklen_t peer_len;
    // A client still resolving or connecting: its lookup, the addresses it
    // tries in order (the next one after `tried`), when the whole connect and
    // the address being tried give up, and the bytes written meanwhile (also
    // those the host has not taken yet once connected).
    int32_t link;
    int32_t lookup;
    int32_t addresses;
    int32_t tried;
    sock_address address_list[SOCKET_ADDRESSES_MAX];
    socklen_t address_len[SOCKET_ADDRESSES_MAX];
    uint64_t connect_end_ms;
    uint64_t attempt_end_ms;
    buffer* unsent;
    int32_t connect_error;  // why the last address tried failed (0: none tried)
    // Why it died on its way, until a read or write takes it ("": none).
    char reason[SOCKET_REASON_MAX + 1];
};

// A UDP peer as one listener hears it: its datagrams wait here until the
// peer is accepted and its child reads them.
struct sockbuf {
    int32_t listener;  // id of the listener that received it
    char address[SOCKET_PEER_TEXT_MAX + 1];
    sock_address sockaddr;
    socklen_t sockaddr_len;
    int32_t port;
    int32_t handle;   // 0 until accepted
    buffer* queue;    // u32 length, then the bytes, per datagram
    int64_t counted;  // the listener's owner
    int64_t program;
};

sockdat sock[MAX_SOCKETS];
int sockets = 0;
sockbuf bufs[MAX_SOCKBUFS];
int sockbufs = 0;
int32_t next_socket_id = 1;
int32_t next_sockbuf_handle = 1;
uint8_t read_buffer[SOCKET_READ_MAX];

// --- name lookups -------------------------------------------------------------
//
// A slot is queued by the main thread, run by a worker of its own and read
// back by the main thread once its state is done (release and acquire). A
// socket that closes drops its lookup: a queued one is freed at once, a
// running one is marked abandoned and freed when its worker has finished, so
// at most SOCKET_LOOKUP_THREADS workers exist, and every socket record holds
// at most one slot.

enum : int32_t { LOOKUP_FREE = 0, LOOKUP_QUEUED = 1, LOOKUP_RUNNING = 2, LOOKUP_DONE = 3 };

struct lookup {
    std::atomic<int32_t> state;
    // Written by the main thread while queued, read by the worker.
    char name[SOCKET_ADDRESS_MAX + 1];
    char service[8];
    int32_t socktype;
    // The worker's, read once the state is done.
    int32_t error;  // getaddrinfo's result
    int32_t system_error;
    int32_t found;
    sock_address address_list[SOCKET_ADDRESSES_MAX];
    socklen_t address_len[SOCKET_ADDRESSES_MAX];
    // The main thread's only.
    uint64_t order;
    bool system;      // asked by a system process or the host: served first
    int64_t program;  // else the program whose share it counts against
    bool abandoned;
    os_thread* thread;
};

constexpr int LOOKUP_SLOTS = MAX_SOCKETS + SOCKET_LOOKUP_THREADS;
lookup lookups[LOOKUP_SLOTS];
int lookups_held = 0;
uint64_t lookups_asked = 0;
std::atomic<socket_resolver> resolver{nullptr};

// The usable addresses of a getaddrinfo list, at most SOCKET_ADDRESSES_MAX.
int32_t copy_addresses(const addrinfo* list, sock_address* out, socklen_t* out_len) {
    int32_t n = 0;
    for (const addrinfo* ai = list; ai && n < SOCKET_ADDRESSES_MAX; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sock_address)) continue;
        std::memset(&out[n], 0, sizeof out[n]);
        std::memcpy(&out[n], ai->ai_addr, ai->ai_addrlen);
        out_len[n++] = ai->ai_addrlen;
    }
    return n;
}

int lookup_worker(void* data) {
    lookup& k = *static_cast<lookup*>(data);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = k.socktype;
    addrinfo* list = nullptr;
    socket_resolver planted = resolver.load(std::memory_order_acquire);
    k.error = planted ? planted(k.name, k.service, &hints, &list) : getaddrinfo(k.name, k.service, &hints, &list);
    k.system_error = k.error == EAI_SYSTEM ? errno : 0;
    k.found = k.error == 0 ? copy_addresses(list, k.address_list, k.address_len) : 0;
    if (list) freeaddrinfo(list);
    k.state.store(LOOKUP_DONE, std::memory_order_release);
    return 0;
}

void lookup_free(lookup& k) {
    os_destroy_thread(k.thread);
    k.thread = nullptr;
    k.abandoned = false;
    k.state.store(LOOKUP_FREE, std::memory_order_relaxed);
    lookups_held--;
}

// Frees the abandoned lookups that finished and starts queued ones while
// threads are free: the system's first, then the others within their shares,
// each group oldest first. An abandoned lookup still running holds its share.
void pump_lookups() {
    int running = 0;
    int64_t programs[SOCKET_LOOKUP_THREADS];  // of the ordinary lookups running
    int ordinary = 0;
    for (lookup& k : lookups) {
        int32_t state = k.state.load(std::memory_order_acquire);
        if (state == LOOKUP_RUNNING) {
            running++;
            if (!k.system && ordinary < SOCKET_LOOKUP_THREADS) programs[ordinary++] = k.program;
        }
        if (state == LOOKUP_DONE && k.abandoned) lookup_free(k);
    }
    auto fits = [&](const lookup& k) {
        if (k.system) return true;
        if (ordinary >= SOCKET_LOOKUP_THREADS - SOCKET_LOOKUPS_KEPT) return false;
        int of_program = 0;
        for (int i = 0; i < ordinary; i++) of_program += programs[i] == k.program;
        return of_program < SOCKET_LOOKUPS_PER_PROGRAM;
    };
    while (running < SOCKET_LOOKUP_THREADS) {
        lookup* next = nullptr;
        for (lookup& k : lookups) {
            if (k.state.load(std::memory_order_relaxed) != LOOKUP_QUEUED || !fits(k)) continue;
            if (!next || (k.system && !next->system) || (k.system == next->system && k.order < next->order)) next = &k;
        }
        if (!next) return;
        next->state.store(LOOKUP_RUNNING, std::memory_order_relaxed);
        next->thread = os_create_thread(lookup_worker, next);
        if (next->thread) {
            running++;
            if (!next->system) programs[ordinary++] = next->program;
        } else {
            next->error = EAI_AGAIN;
            next->found = 0;
            next->state.store(LOOKUP_DONE, std::memory_order_release);
        }
    }
}

// Queues a lookup of name and service for a system process (or the host) or
// a program, started by the next update; its slot, or NO_LOOKUP when none is
// free.
int lookup_ask(const char* name, const char* service, int32_t socktype, bool system, int64_t program) {
    for (int i = 0; i < LOOKUP_SLOTS; i++) {
        lookup& k = lookups[i];
        if (k.state.load(std::memory_order_acquire) != LOOKUP_FREE) continue;
        snprintf(k.name, sizeof k.name, "%s", name);
        snprintf(k.service, sizeof k.service, "%s", service);
        k.socktype = socktype;
        k.order = ++lookups_asked;
        k.system = system;
        k.program = program;
        k.state.store(LOOKUP_QUEUED, std::memory_order_relaxed);
        lookups_held++;
        return i;
    }
    return NO_LOOKUP;
}

// The socket no longer waits for its lookup.
void lookup_drop(int i) {
    lookup& k = lookups[i];
    if (k.state.load(std::memory_order_acquire) == LOOKUP_RUNNING)
        k.abandoned = true;
    else
        lookup_free(k);
}

// --- records ------------------------------------------------------------------

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

void charge_bytes(int64_t n) {
    if (n >= SOCKET_BYTES_PER_CYCLE) spend_cpu(hvx_cycles(n / SOCKET_BYTES_PER_CYCLE));
}

sockdat* find_socket(int64_t id) {
    if (id <= 0) return nullptr;
    for (int i = 0; i < sockets; i++)
        if (sock[i].id == id) return &sock[i];
    return nullptr;
}

bool socket_is_dead(const sockdat& s) {
    return s.descriptor == NO_FD && s.listener_descriptor == NO_FD && s.lookup == NO_LOOKUP;
}

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

// The reasons of clients that died on their way and left the table before
// their process read them.
struct failure {
    int32_t id;
    int64_t owner;
    int64_t counted;
    int64_t program;
    uint64_t order;
    char text[SOCKET_REASON_MAX + 1];
};
failure failures[MAX_SOCKETS];
int failure_count = 0;
uint64_t failures_kept = 0;

int find_failure(int64_t id) {
    for (int i = 0; i < failure_count; i++)
        if (failures[i].id == id) return i;
    return -1;
}

void remove_failure(int i) {
    std::memmove(&failures[i], &failures[i + 1], sizeof(failure) * (size_t)(failure_count - i - 1));
    failure_count--;
}

void set_reason(sockdat& s, const char* text) { snprintf(s.reason, sizeof s.reason, "%s", text); }

// What a failed connect's error number says.
const char* connect_error_text(int err, char* out, size_t out_size) {
    switch (err) {
    case 0: return "no address to connect to";
    case ECONNREFUSED: return "connection refused";
    case ETIMEDOUT: return "connection timed out";
    case EHOSTUNREACH: return "host unreachable";
    case ENETUNREACH: return "network unreachable";
    default: snprintf(out, out_size, "WSAGetLastError %d", err); return out;
    }
}

// --- shares -------------------------------------------------------------------

enum : int { SHARE_FITS = 0, SHARE_TABLE, SHARE_PROCESS, SHARE_PROGRAM, SHARE_RESERVED };

struct share_use {
    int process = 0;
    int program = 0;
};

template <class Rec>
share_use count_use(const Rec* recs, int n, int64_t counted, int64_t program) {
    share_use use;
    for (int i = 0; i < n; i++) {
        use.process += counted != 0 && recs[i].counted == counted;
        use.program += program != 0 && recs[i].program == program;
    }
    return use;
}

// Why one more record of a table holding `held` of `table_max` does not fit
// the shares of process `counted` of `program` (SHARE_FITS when it does). No
// process (the host) and the system processes (no program) have no program
// share and may take the kept records.
int share_refusal(int held, int table_max, share_use use, int64_t counted, int64_t program) {
    if (held >= table_max) return SHARE_TABLE;
    if (counted != 0 && use.process >= SOCKETS_PER_PROCESS) return SHARE_PROCESS;
    if (program == 0) return SHARE_FITS;
    if (use.program >= SOCKETS_PER_PROGRAM) return SHARE_PROGRAM;
    if (table_max - held <= SOCKETS_RESERVED) return SHARE_RESERVED;
    return SHARE_FITS;
}

int socket_refusal(int64_t counted, int64_t program) {
    return share_refusal(sockets, MAX_SOCKETS, count_use(sock, sockets, counted, program), counted, program);
}

// Logged once per process, whichever share refused it first.
void log_share_refusal(int64_t counted, int why, const char* what) {
    Process* p = get_process(counted);
    if (!p) return;
    if (why == SHARE_TABLE)
        log_refusal_once(p, LIMIT_LOGGED_SOCKETS, "%s: all %d records are held; refused", what, MAX_SOCKETS);
    else if (why == SHARE_PROCESS)
        log_refusal_once(p, LIMIT_LOGGED_SOCKETS, "%s: it holds %d; more are refused", what, SOCKETS_PER_PROCESS);
    else if (why == SHARE_PROGRAM)
        log_refusal_once(p, LIMIT_LOGGED_SOCKETS, "%s: its program %lld holds %d; more are refused", what,
                         (long long)p->program_id, SOCKETS_PER_PROGRAM);
    else
        log_refusal_once(p, LIMIT_LOGGED_SOCKETS, "%s: the last %d records are the system's; refused", what,
                         SOCKETS_RESERVED);
}

int64_t program_of(const Process* p) { return p && !is_system_process_id(p->id) ? p->program_id : 0; }

// Keeps the reason of a dead client leaving the table unread, within the
// shares of the socket table: past them its process's (or program's) oldest
// reason goes; with none of its own to give up, this one is not kept.
void keep_failure(const sockdat& s) {
    if (share_refusal(failure_count, MAX_SOCKETS, count_use(failures, failure_count, s.counted, s.program), s.counted,
                      s.program)) {
        int oldest = -1;
        for (int i = 0; i < failure_count; i++) {
            const failure& f = failures[i];
            const bool own = f.counted == s.counted || (s.program != 0 && f.program == s.program);
            if (own && (oldest < 0 || f.order < failures[oldest].order)) oldest = i;
        }
        if (oldest < 0) return;
        remove_failure(oldest);
    }
    failure& f = failures[failure_count++];
    f.id = s.id;
    f.owner = s.owner;
    f.counted = s.counted;
    f.program = s.program;
    f.order = ++failures_kept;
    std::memcpy(f.text, s.reason, sizeof f.text);
}

// The reason the client with this id died on its way, taken (a later call
// finds none): nil and its text. 0 when it has none.
int take_reason(lua_State* L, int64_t id) {
    char text[SOCKET_REASON_MAX + 1];
    if (sockdat* s = find_socket(id); s && s->reason[0]) {
        std::memcpy(text, s->reason, sizeof text);
        s->reason[0] = 0;
    } else if (int f = s ? -1 : find_failure(id); f >= 0) {
        std::memcpy(text, failures[f].text, sizeof text);
        remove_failure(f);
    } else {
        return 0;
    }
    return fail(L, text);
}

// --- closing --------------------------------------------------------------------

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
    if (s.lookup != NO_LOOKUP) {
        lookup_drop(s.lookup);
        s.lookup = NO_LOOKUP;
    }
    destroy_buffer(s.unsent);
    s.unsent = nullptr;
    s.link = LINK_OPEN;
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

void disconnect(sockdat& s) {
    log_event(s, "disconnecting..");
    close_one(s);
    s.state = SOCKET_DISCONNECTED;
}

int io_error(lua_State* L, sockdat& s, int err) {
    if (is_disconnect_error(err)) disconnect(s);
    return fail_errno(L, err);
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

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

sockdat& new_record(int kind, int state, int32_t port, const char* address, int64_t counted, int64_t program) {
    sockdat& s = sock[sockets++];
    std::memset(&s, 0, sizeof s);
    s.id = next_socket_id++;
    s.owner = cproc_id();
    s.counted = counted;
    s.program = program;
    s.kind = kind;
    s.state = state;
    s.descriptor = s.listener_descriptor = NO_FD;
    s.lookup = NO_LOOKUP;
    s.port = port;
    snprintf(s.address, sizeof s.address, "%s", address);
    return s;
}

void drop_last_record() { sockets--; }

int create_listener(lua_State* L, int kind, int32_t port) {
    const bool tcp = kind == SOCKET_TCP;
    sockdat& s = new_record(kind, SOCKET_LISTENING, port, "*", cproc_id(), program_of(cproc));
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

// --- clients on their way -------------------------------------------------------

int socktype_of(int kind) { return kind == SOCKET_TCP ? SOCK_STREAM : SOCK_DGRAM; }

// Sends what was written while the client connected; what the host does not
// take yet waits for the next update or write. A datagram the host refuses
// for itself (too large) is dropped, as a direct write would have failed.
void send_unsent(sockdat& s) {
    buffer* q = s.unsent;
    int32_t done = 0;
    int err = 0;
    while (done < q->length) {
        if (s.kind == SOCKET_TCP) {
            ssize_t n = send(s.descriptor, q->data + done, (size_t)(q->length - done), MSG_NOSIGNAL);
            if (n < 0) {
                err = errno;
                break;
            }
            done += (int32_t)n;
        } else {
            uint32_t len;
            std::memcpy(&len, q->data + done, 4);
            if (send(s.descriptor, q->data + done + 4, len, MSG_NOSIGNAL) < 0 &&
                (would_block(errno) || is_disconnect_error(errno))) {
                err = errno;
                break;
            }
            done += 4 + (int32_t)len;
        }
    }
    if (done >= q->length) {
        destroy_buffer(q);
        s.unsent = nullptr;
    } else {
        bcrop(q, done, q->length);
    }
    if (is_disconnect_error(err)) disconnect(s);
}

void open_link(sockdat& s, int fd, int at) {
    s.descriptor = fd;
    s.link = LINK_OPEN;
    s.peer = s.address_list[at];
    s.peer_len = s.address_len[at];
    if (s.unsent) send_unsent(s);
}

// Connects to the client's next addresses until one connects or is on its
// way, without waiting; none left: the socket is dead.
void try_next_address(sockdat& s, uint64_t now) {
    while (s.tried < s.addresses) {
        const int at = s.tried++;
        const sock_address& a = s.address_list[at];
        int fd = socket(a.sa.sa_family, socktype_of(s.kind) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            s.connect_error = errno;
            continue;
        }
        set_options(fd, s.kind);
        if (connect(fd, &a.sa, s.address_len[at]) == 0) {
            open_link(s, fd, at);
            return;
        }
        s.connect_error = errno;
        if (errno == EINPROGRESS) {
            s.descriptor = fd;
            s.link = LINK_CONNECTING;
            const uint64_t left = s.connect_end_ms > now ? s.connect_end_ms - now : 0;
            s.attempt_end_ms = now + left / (uint64_t)(s.addresses - at);
            return;
        }
        close(fd);
    }
    destroy_buffer(s.unsent);
    s.unsent = nullptr;
    s.link = LINK_OPEN;
    s.descriptor = NO_FD;
    s.state = SOCKET_DISCONNECTED;
    char text[48];
    if (!s.reason[0]) set_reason(s, connect_error_text(s.connect_error, text, sizeof text));
}

// Moves a client on as far as it goes now: a finished lookup starts the
// connect, a finished or timed-out connect opens the socket or tries the next
// address, and kept bytes go out once it is open. A failure leaves it dead.
void advance_client(sockdat& s, uint64_t now) {
    if (s.link == LINK_RESOLVING) {
        lookup& k = lookups[s.lookup];
        if (k.state.load(std::memory_order_acquire) != LOOKUP_DONE) return;
        if (k.error) {
            set_reason(s, k.error == EAI_SYSTEM ? strerror(k.system_error) : gai_strerror(k.error));
            krio_debugf("socket error: %s\n", s.reason);
        }
        s.addresses = k.found;
        std::memcpy(s.address_list, k.address_list, sizeof s.address_list);
        std::memcpy(s.address_len, k.address_len, sizeof s.address_len);
        lookup_free(k);
        s.lookup = NO_LOOKUP;
        s.connect_end_ms = now + SOCKET_CONNECT_WAIT_MS;
        try_next_address(s, now);
        if (socket_is_dead(s)) log_event(s, "disconnecting..");
    } else if (s.link == LINK_CONNECTING) {
        pollfd p{s.descriptor, POLLOUT, 0};
        const bool answered = poll(&p, 1, 0) == 1;
        int err = 0;
        socklen_t len = sizeof err;
        if (answered && getsockopt(s.descriptor, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (answered && err == 0) {
            open_link(s, s.descriptor, s.tried - 1);
        } else if (answered || now >= s.attempt_end_ms) {
            s.connect_error = answered ? err : ETIMEDOUT;
            close(s.descriptor);
            s.descriptor = NO_FD;
            try_next_address(s, now);
            if (socket_is_dead(s)) log_event(s, "disconnecting..");
        }
    } else if (s.unsent) {
        send_unsent(s);
    }
}

bool client_on_its_way(const sockdat& s) { return s.link != LINK_OPEN || s.unsent; }

// Keeps bytes written before the client is open, up to SOCKET_CONNECT_SEND_MAX
// in all (a datagram whole or not at all); the count kept.
int64_t keep_unsent(sockdat& s, const char* data, size_t len) {
    const int64_t held = s.unsent ? s.unsent->length : 0;
    const int64_t room = SOCKET_CONNECT_SEND_MAX - held;
    const bool udp = s.kind == SOCKET_UDP;
    const int64_t kept = udp ? ((int64_t)len + 4 <= room ? (int64_t)len : 0) : (room < (int64_t)len ? room : (int64_t)len);
    if (kept <= 0) return 0;
    if (!s.unsent && !(s.unsent = create_buffer_2(SOCKBUF_QUEUE_SIZE, SOCKBUF_KIND))) return 0;
    buffer* q = s.unsent;
    q->cursor = q->length;
    if (udp && !bwrite_uint32(q, (uint32_t)kept)) return 0;
    if (bwrite(data, 1, kept, q) != kept) {
        q->length = q->cursor = (int32_t)held;  // as it was
        return 0;
    }
    return kept;
}

int create_client(lua_State* L, int kind, int32_t port, const char* address) {
    char service[8];
    snprintf(service, sizeof service, "%d", (int)port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype_of(kind);
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;  // reads the text only: nothing waits
    addrinfo* list = nullptr;
    const bool numeric = getaddrinfo(address, service, &hints, &list) == 0;
    sockdat& s = new_record(kind, SOCKET_READY, port, address, cproc_id(), program_of(cproc));
    if (numeric) {
        s.addresses = copy_addresses(list, s.address_list, s.address_len);
        freeaddrinfo(list);
        const uint64_t now = os_ticks();
        s.connect_end_ms = now + SOCKET_CONNECT_WAIT_MS;
        try_next_address(s, now);
        // Every address failed at once (no address of a family the host has,
        // or an unreachable network): no socket, and why.
        if (socket_is_dead(s)) {
            char reason[SOCKET_REASON_MAX + 1];
            std::memcpy(reason, s.reason, sizeof reason);
            drop_last_record();
            return fail(L, reason);
        }
    } else {
        spend_cpu(SOCKET_OPEN_COST);  // the lookup's worker
        s.lookup = lookup_ask(address, service, socktype_of(kind), !cproc || is_system_process_id(cproc->id),
                              program_of(cproc));
        if (s.lookup == NO_LOOKUP) {
            drop_last_record();
            return fail(L, "too many sockets");
        }
        s.link = LINK_RESOLVING;
    }
    log_event(s, kind == SOCKET_TCP ? "created tcp socket" : "created udp socket");
    lua_pushinteger(L, s.id);
    return 1;
}

int create_socket(lua_State* L, int kind) {
    spend_cpu(SOCKET_CALL_COST);
    int64_t port = hvx_intp(L, 1, 0);
    size_t len = 0;
    const char* address = text_arg(L, 2, &len);
    if (port < 1 || port > 65535 || !address || len > SOCKET_ADDRESS_MAX || std::strlen(address) != len)
        return fail(L, "bad port or address");
    if (!config.network_access) return fail(L, "halvoran network is disabled");
    const int64_t counted = cproc_id();
    if (int why = socket_refusal(counted, program_of(cproc))) {
        log_share_refusal(counted, why, "sockets");
        return fail(L, "too many sockets");
    }
    if (address[0] == '*' && cproc && cproc->sandboxed) return fail(L, "can not create listener while sandboxed");
    spend_cpu(SOCKET_OPEN_COST);
    if (std::strcmp(address, "*") == 0) return create_listener(L, kind, (int32_t)port);
    // The text is copied: the record and the lookup outlive the argument.
    char copy[SOCKET_ADDRESS_MAX + 1];
    std::memcpy(copy, address, len + 1);
    return create_client(L, kind, (int32_t)port, copy);
}

// A UDP listener's intake: every pending datagram goes to its peer's queue.
// A new peer takes a record of the listener owner's shares, or its datagram
// is dropped.
void take_in_datagrams(const sockdat& l) {
    static uint8_t datagram[SOCKET_DATAGRAM_MAX];
    share_use use = count_use(bufs, sockbufs, l.counted, l.program);
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
            if (int why = share_refusal(sockbufs, MAX_SOCKBUFS, use, l.counted, l.program)) {
                log_share_refusal(l.counted, why, "UDP peers");
                continue;
            }
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
            nb.counted = l.counted;
            nb.program = l.program;
            use.process++;
            use.program++;
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
    spend_cpu(SOCKET_CALL_COST);
    int32_t id = hvx_trunc_arg(L, 1);
    if (find_socket(id)) remove_sockets_where([id](const sockdat& r) { return r.id == id; });
    if (int f = find_failure(id); f >= 0) remove_failure(f);
    return 0;
}

// A client on its way is moved on through the host's socket layer, paid as
// a call into it.
void advance_paid(sockdat& s) {
    spend_cpu(SOCKET_CALL_COST);
    advance_client(s, os_ticks());
}

int lua54_sock_status(lua_State* L) {
    spend_cpu(SOCKET_TABLE_COST);
    sockdat* s = find_socket(hvx_pid_arg(L, 1));
    if (s && client_on_its_way(*s)) advance_paid(*s);
    if (!s || socket_is_dead(*s)) return 0;
    lua_pushstring(L, s->state == SOCKET_READY ? "ready" : s->state == SOCKET_LISTENING ? "listening" : "unknown");
    return 1;
}

int lua54_read_socket(lua_State* L) {
    spend_cpu(SOCKET_TABLE_COST);
    const int64_t id = hvx_pid_arg(L, 1);
    sockdat* s = find_socket(id);
    if (!s) return take_reason(L, id);
    if (client_on_its_way(*s)) advance_paid(*s);
    if (s->reason[0]) return take_reason(L, id);
    if (s->state != SOCKET_READY) return fail(L, "host socket is closed or not ready");
    if (!config.network_access) return 0;
    // Not connected yet: as when nothing has arrived.
    if (s->link != LINK_OPEN) return fail_errno(L, EAGAIN);
    int32_t n = 0;
    if (s->child) {
        int b = find_sockbuf_by_handle(s->child);
        if (b < 0) return 0;
        buffer* q = bufs[b].queue;
        if (q->length < 4) return 0;
        charge_bytes(q->capacity);  // the datagram taken and the rest moved up
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
        spend_cpu(SOCKET_CALL_COST);
        ssize_t got = recv(s->descriptor, read_buffer, sizeof read_buffer, 0);
        if (got < 0) return io_error(L, *s, errno);
        if (got == 0) {
            if (s->kind == SOCKET_UDP) return 0;
            close_one(*s);
            s->state = SOCKET_PEER_CLOSED;
            return fail(L, "connection closed by peer");
        }
        n = (int32_t)got;
        charge_bytes(n);
    }
    lua_pushlstring(L, (const char*)read_buffer, (size_t)n);
    return 1;
}

int lua54_write_socket(lua_State* L) {
    spend_cpu(SOCKET_CALL_COST);
    size_t len = 0;
    const char* data = text_arg(L, 2, &len);
    if (!data || len == 0) return fail(L, "no data to send");
    const int64_t id = hvx_pid_arg(L, 1);
    sockdat* s = find_socket(id);
    if (!s) return take_reason(L, id);
    if (client_on_its_way(*s)) advance_client(*s, os_ticks());
    if (s->reason[0]) return take_reason(L, id);
    if (s->state != SOCKET_READY) return fail(L, "socket is closed or not ready");
    if (!config.network_access) return 0;
    if (socket_is_dead(*s)) return fail(L, "socket is not valid");
    // Before it is open, and while earlier bytes still wait, the bytes are
    // kept, so they go out in the order written.
    if (client_on_its_way(*s)) {
        int64_t kept = keep_unsent(*s, data, len);
        if (kept == 0) return fail_errno(L, EAGAIN);  // as a full send buffer
        charge_bytes(kept);
        lua_pushinteger(L, (lua_Integer)kept);
        return 1;
    }
    ssize_t sent;
    if (s->kind == SOCKET_TCP) {
        sent = send(s->descriptor, data, len, MSG_NOSIGNAL);
    } else {
        int fd = s->child ? s->listener_descriptor : s->descriptor;
        if (fd == NO_FD) return fail(L, "socket is not valid");
        sent = sendto(fd, data, len, MSG_NOSIGNAL, &s->peer.sa, s->peer_len);
    }
    if (sent < 0) return io_error(L, *s, errno);
    charge_bytes(sent);
    lua_pushinteger(L, (lua_Integer)sent);
    return 1;
}

int lua54_accept_socket(lua_State* L) {
    spend_cpu(SOCKET_CALL_COST);
    sockdat* l = find_socket(hvx_pid_arg(L, 1));
    if (!l) return 0;
    if (sockets >= MAX_SOCKETS) return fail(L, "too many sockets");
    if (l->state != SOCKET_LISTENING) return fail(L, "socket is not listening");
    // The new socket counts against the listener's owner, whoever accepts it.
    const int64_t counted = l->counted, program = l->program;
    if (int why = socket_refusal(counted, program)) {
        log_share_refusal(counted, why, "sockets");
        return fail(L, "too many sockets");
    }
    char text[SOCKET_PEER_TEXT_MAX + 1];
    int32_t peer_port = 0;
    int32_t id;
    if (l->kind == SOCKET_TCP) {
        sock_address from{};
        socklen_t from_len = sizeof from;
        int fd = accept4(l->descriptor, &from.sa, &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return 0;
        spend_cpu(SOCKET_OPEN_COST);
        for (int i = 0; i < sockets; i++)
            if (sock[i].descriptor == fd && !sock[i].child) {
                krio_debug("** accept() declined because descriptor already exists in collection\n");
                close(fd);
                return 0;
            }
        peer_text(from, text, sizeof text, &peer_port);
        const int32_t port = l->port;
        sockdat& s = new_record(SOCKET_TCP, SOCKET_READY, port, text, counted, program);
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
        sockdat& s = new_record(SOCKET_UDP, SOCKET_READY, pb.port, pb.address, counted, program);
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
// Lookups still running at exit are left to end with the program.
void sockets_init() {}
void sockets_exit() {}

void update_all_sockets() {
    if (lookups_held) pump_lookups();
    // Clients on their way move on; one poll finds the listeners with
    // datagrams waiting, and the intake reads only those.
    static pollfd ready[MAX_SOCKETS];
    auto listening = [](const sockdat& s) {
        return s.kind == SOCKET_UDP && s.state == SOCKET_LISTENING && s.descriptor != NO_FD;
    };
    const uint64_t now = os_ticks();
    int n = 0;
    for (int i = 0; i < sockets; i++) {
        if (client_on_its_way(sock[i])) advance_client(sock[i], now);
        if (listening(sock[i])) ready[n++] = {sock[i].descriptor, POLLIN, 0};
    }
    // An error waiting (a port unreachable) is read off by the intake too.
    if (n && poll(ready, (nfds_t)n, 0) > 0)
        for (int i = 0, k = 0; i < sockets; i++)
            if (listening(sock[i]) && (ready[k++].revents & (POLLIN | POLLERR))) take_in_datagrams(sock[i]);
    for (int i = 0; i < sockets; i++)
        if (socket_is_dead(sock[i]) && sock[i].reason[0]) keep_failure(sock[i]);
    remove_sockets_where(socket_is_dead);
}

void delete_sockets_by_process(int64_t pid) {
    remove_sockets_where([pid](const sockdat& s) { return pid == 0 || s.owner == pid; });
    for (int i = failure_count - 1; i >= 0; i--)
        if (pid == 0 || failures[i].owner == pid) remove_failure(i);
}

void sockets_set_resolver(socket_resolver r) { resolver.store(r, std::memory_order_release); }

int count_sockets(int64_t pid) {
    if (pid == 0) return sockets;
    int n = 0;
    for (int i = 0; i < sockets; i++) n += sock[i].owner == pid;
    return n;
}

int count_sockbufs(int64_t pid) {
    if (pid == 0) return sockbufs;
    int n = 0;
    for (int i = 0; i < sockbufs; i++) n += bufs[i].counted == pid;
    return n;
}
