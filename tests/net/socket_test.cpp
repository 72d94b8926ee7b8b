// Sockets on loopback between processes of the runtime: refusals and limits,
// TCP and UDP traffic both ways, peers kept per listener, a reset peer, the
// counts stat reports, sockets closed with their process, the shares of the
// tables, what each call charges, and clients that connect without waiting.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "tests/net/net_test_util.h"
#include "tests/support/process_harness.h"

using hvx_test::free_port;
using hvx_test::process_env;

namespace {

// Every result of a call as "a|b|c" (tostring of each), "" for none.
const char* kShow = R"(
function show(...)
  local t = table.pack(...)
  for i = 1, t.n do t[i] = tostring(t[i]) end
  return table.concat(t, "|", 1, t.n)
end
-- Calls f until it returns something (the loopback needs a moment), at most 2 s.
function wait(f, ...)
  for _ = 1, 2000 do
    local r = table.pack(f(...))
    if r.n > 0 and r[1] ~= nil then return table.unpack(r, 1, r.n) end
    nap()
  end
end
-- The results of the first call of f that does not find it idle, shown.
function settle(f, ...)
  for _ = 1, 2000 do
    local r = table.pack(f(...))
    if r[2] ~= "WSAGetLastError 11" then return show(table.unpack(r, 1, r.n)) end
    nap()
  end
end
)";

int h_nap(lua_State*) {
    usleep(1000);
    return 0;
}

// A string of n bytes, as a read returns one.
int h_push_bytes(lua_State* L) {
    std::string bytes((size_t)lua_tointeger(L, 1), 'r');
    lua_pushlstring(L, bytes.data(), bytes.size());
    return 1;
}

// The frame's socket upkeep, which starts lookups and moves clients on.
int h_update(lua_State*) {
    update_all_sockets();
    return 0;
}

struct SocketTest : ::testing::Test {
    process_env env;
    Process* kernel = nullptr;
    void SetUp() override {
        config.network_access = 1;
        env.add_global("nap", h_nap);
        env.add_global("update", h_update);
        kernel = env.spawn("", "kernel");  // the first record is the kernel, which is never removed
        hvx_test::run_in(kernel, kShow);
        // The other system processes: the tests' processes are ordinary.
        for (const char* name : {"system2", "system3"}) env.spawn("", name);
    }
    // A process the kernel makes: a program of its own.
    Process* spawn(const std::string& name, const std::string& sandbox = "") {
        set_current_process(kernel);
        Process* p = env.spawn("", name, "/ram/" + name + ".lua", sandbox);
        EXPECT_NE(p, nullptr);
        hvx_test::run_in(p, kShow);
        return p;
    }
    std::string in(Process* p, const std::string& code) { return hvx_test::run_in(p, code); }
    std::string stats(Process* p) { return in(p, "return show(stat(40), stat(41), stat(42), stat(43))"); }
    // A TCP connection: the server's listener l and accepted socket a, the
    // client's socket c. Returns the port.
    std::string connected(Process* server, Process* client) {
        const std::string port = std::to_string(free_port(SOCK_STREAM));
        in(server, "l = _create_tcp_socket(" + port + ", '*')");
        in(client, "c = _create_tcp_socket(" + port + ", '127.0.0.1')");
        EXPECT_EQ(in(server, "a = wait(_accept_socket, l) return show(_sock_status(a))"), "ready");
        return port;
    }
};

TEST_F(SocketTest, RefusalsInTheirOrder) {
    Process* p = spawn("p");
    Process* boxed = spawn("boxed", "box");
    const std::string big(SOCKET_ADDRESS_MAX + 1, 'a');
    struct {
        Process* who;
        int network;
        std::string call, want;
    } rows[] = {
        {p, 0, "_create_tcp_socket(0, '*')", "nil|bad port or address"},
        {p, 1, "_create_udp_socket(70000, '127.0.0.1')", "nil|bad port or address"},
        {p, 1, "_create_tcp_socket(-1, '127.0.0.1')", "nil|bad port or address"},
        {p, 1, "_create_tcp_socket(80)", "nil|bad port or address"},
        {p, 1, "_create_udp_socket(80, '" + big + "')", "nil|bad port or address"},
        {p, 1, "_create_tcp_socket(80, '127.0.0.1\\0x')", "nil|bad port or address"},
        {p, 0, "_create_tcp_socket(80, '127.0.0.1')", "nil|halvoran network is disabled"},
        {boxed, 1, "_create_tcp_socket(4000, '*')", "nil|can not create listener while sandboxed"},
        {boxed, 1, "_create_udp_socket(4000, '*x')", "nil|can not create listener while sandboxed"},
        {p, 1, "_write_socket(99, '')", "nil|no data to send"},
        {p, 1, "_write_socket(99, 'x')", ""},
        {p, 1, "_read_socket(99)", ""},
        {p, 1, "_accept_socket(99)", ""},
        {p, 1, "_sock_status(99)", ""},
    };
    for (auto& r : rows) {
        config.network_access = r.network;
        EXPECT_EQ(in(r.who, "return show(" + r.call + ")"), r.want) << r.call;
    }
    EXPECT_NE(env.log().find("socket error: can not create listener while sandboxed\n"), std::string::npos);
    EXPECT_EQ(count_sockets(0), 0);
}

TEST_F(SocketTest, TcpBetweenTwoProcesses) {
    Process* server = spawn("server");
    Process* client = spawn("client");
    const std::string port = std::to_string(free_port(SOCK_STREAM));
    EXPECT_EQ(in(server, "l = _create_tcp_socket(" + port + ", '*') return show(math.type(l), _sock_status(l))"),
              "integer|listening");
    EXPECT_EQ(in(server, "return show(_read_socket(l))"), "nil|host socket is closed or not ready");
    EXPECT_EQ(in(server, "return show(_accept_socket(l))"), "");
    EXPECT_EQ(in(client, "c = _create_tcp_socket(" + port + ", '127.0.0.1') return show(_sock_status(c))"), "ready");

    // The accepted id is a float naming the same socket; the peer is the mapped client.
    EXPECT_EQ(in(server, "a, addr, pport = wait(_accept_socket, l) "
                         "return show(math.type(a), _sock_status(a), addr, pport > 0 and pport ~= " + port + ")"),
              "float|ready|::ffff:127.0.0.1|true");
    EXPECT_EQ(in(server, "return show(_accept_socket(l))"), "");
    EXPECT_EQ(in(client, "return show(_write_socket(c, 'hello'), _write_socket(c, 42))"), "5|2");
    EXPECT_EQ(in(server, "local s = wait(_read_socket, a) while #s < 7 do s = s .. wait(_read_socket, a) end "
                         "return s"),
              "hello42");
    EXPECT_EQ(in(server, "return show(_write_socket(a, string.rep('z', 100000)))"), "100000");
    EXPECT_EQ(in(client, "local n = 0 while n < 100000 do n = n + #wait(_read_socket, c) end return n"), "100000");
    // Nothing pending: the would-block error, and the socket stays usable.
    EXPECT_EQ(in(client, "return show(_read_socket(c))"), "nil|WSAGetLastError 11");
    EXPECT_EQ(in(client, "return show(_sock_status(c), _write_socket(c, ''))"), "ready|nil|no data to send");

    EXPECT_EQ(stats(server), "3.0|2.0|0.0|0.0");
    EXPECT_EQ(stats(client), "3.0|1.0|0.0|0.0");

    // The peer's orderly close: reported once, then the record is dead and goes at the update.
    EXPECT_EQ(in(client, "_close_socket(c) return show(_sock_status(c))"), "");
    EXPECT_EQ(count_sockets(client->id), 0);
    EXPECT_EQ(in(server, "return settle(_read_socket, a)"),
              "nil|connection closed by peer");
    EXPECT_EQ(in(server, "return show(_sock_status(a)) .. ';' .. show(_write_socket(a, 'x')) .. ';' .. "
                         "show(_read_socket(a))"),
              ";nil|socket is closed or not ready;nil|host socket is closed or not ready");
    EXPECT_EQ(count_sockets(server->id), 2);
    update_all_sockets();
    EXPECT_EQ(count_sockets(server->id), 1);
    EXPECT_NE(env.log().find("[socket] fd:"), std::string::npos);
}

TEST_F(SocketTest, WritesToAResetPeerFailWithoutASignal) {
    Process* server = spawn("server");
    Process* client = spawn("client");
    connected(server, client);
    // Closing with unread data resets the connection.
    in(client, "_write_socket(c, 'unread')");
    usleep(50000);
    in(server, "_close_socket(a)");
    in(server, "_close_socket(l)");
    usleep(50000);
    std::string r = in(client, "local r, e repeat r, e = _write_socket(c, 'more') until r == nil return show(r, e)");
    EXPECT_TRUE(r == "nil|WSAGetLastError 104" || r == "nil|WSAGetLastError 32") << r;
    EXPECT_EQ(in(client, "return show(_sock_status(c)) .. ';' .. show(_write_socket(c, 'x'))"),
              ";nil|socket is closed or not ready");
    EXPECT_NE(env.log().find("disconnecting..\n"), std::string::npos);
}

TEST_F(SocketTest, UdpPeersChildrenAndQueues) {
    Process* server = spawn("server");
    Process* client = spawn("client", "box");  // a sandboxed process may make clients
    Process* other = spawn("other");
    const std::string port = std::to_string(free_port(SOCK_DGRAM));
    const std::string port2 = std::to_string(free_port(SOCK_DGRAM));
    in(server, "l = _create_udp_socket(" + port + ", '*')");
    in(other, "l2 = _create_udp_socket(" + port2 + ", '*')");
    EXPECT_EQ(in(client, "c = _create_udp_socket(" + port + ", '127.0.0.1') c2 = _create_udp_socket(" + port2 +
                             ", '127.0.0.1') return show(_write_socket(c, 'one'), _write_socket(c, 'two'), "
                             "_write_socket(c2, 'elsewhere'))"),
              "3|3|9");
    usleep(20000);
    // The intake runs as whatever process is current; the peers belong to their listeners' owners.
    set_current_process(client);
    update_all_sockets();
    EXPECT_EQ(stats(server), "4.0|1.0|2.0|1.0");
    EXPECT_EQ(stats(client), "0.0|2.0|0.0|0.0");  // sandboxed: only its own counts

    EXPECT_EQ(in(server, "ch, addr, pport = _accept_socket(l) return show(math.type(ch), addr, pport > 0)"),
              "float|::ffff:127.0.0.1|true");
    EXPECT_EQ(in(server, "return show(_accept_socket(l))"), "");  // each peer once; the other listener's stays there
    EXPECT_EQ(in(server, "return show(_read_socket(ch), _read_socket(ch), _read_socket(ch))"), "one|two");
    EXPECT_EQ(in(server, "return show(_write_socket(ch, 'back'))"), "4");
    EXPECT_EQ(in(client, "return show(wait(_read_socket, c))"), "back");

    // A datagram that would take the queue past 65,535 bytes is lost; one that just fits is kept.
    in(client, "_write_socket(c, string.rep('a', 60000)) _write_socket(c, string.rep('b', 5532)) "
               "_write_socket(c, string.rep('c', 5531))");
    usleep(20000);
    update_all_sockets();
    EXPECT_EQ(in(server, "return show(#_read_socket(ch), #_read_socket(ch), _read_socket(ch))"), "60000|5531");

    // Closing the listener kills its child at once; the child goes at the update.
    EXPECT_EQ(in(server, "_close_socket(l) return show(_sock_status(ch))"), "");
    EXPECT_EQ(stats(server), "4.0|1.0|2.0|1.0");
    update_all_sockets();
    EXPECT_EQ(stats(server), "3.0|0.0|1.0|0.0");
    // The other listener's peer is freed with its process.
    kill_process(other);
    EXPECT_EQ(stats(server), "2.0|0.0|0.0|0.0");
}

// Stale peers of one listener never block the intake of another: the
// listener's end frees the ones nobody accepted. The peers count against the
// listener owner's share.
TEST_F(SocketTest, PeerLimitAndItsRelease) {
    Process* server = spawn("server");
    const int port = free_port(SOCK_DGRAM);
    in(server, "l = _create_udp_socket(" + std::to_string(port) + ", '*')");
    std::vector<int> senders;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < SOCKETS_PER_PROCESS + 8; i++) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        senders.push_back(fd);
        sendto(fd, "x", 1, 0, (sockaddr*)&to, sizeof to);
        if (i % 64 == 63) update_all_sockets();  // within the socket's receive buffer
    }
    usleep(20000);
    update_all_sockets();
    EXPECT_EQ(count_sockbufs(0), SOCKETS_PER_PROCESS);
    EXPECT_EQ(count_sockbufs(server->id), SOCKETS_PER_PROCESS);
    EXPECT_NE(env.log().find("UDP peers: it holds 128; more are refused"), std::string::npos);
    in(server, "_close_socket(l)");
    EXPECT_EQ(count_sockbufs(0), 0);
    in(server, "l = _create_udp_socket(" + std::to_string(port) + ", '*')");
    sendto(senders.back(), "y", 1, 0, (sockaddr*)&to, sizeof to);
    usleep(20000);
    update_all_sockets();
    EXPECT_EQ(in(server, "local ch = _accept_socket(l) return show(_read_socket(ch))"), "y");
    for (int fd : senders) close(fd);
}

// The socket table is shared out per process and per program, and its last
// records are the system's: an ordinary program creating 600 sockets leaves
// room for the kernel, and so do several programs together. Accepts count
// against the listener's owner. A process's end closes what it owns.
TEST_F(SocketTest, SharesAndTheSystemsRoom) {
    const std::string make = "mine = mine or {} local n = 0 for i = 1, 600 do local s = _create_udp_socket(9, "
                             "'127.0.0.1') if s then n = n + 1 mine[#mine + 1] = s end end return n";
    Process* a = spawn("a");
    EXPECT_EQ(in(a, make), std::to_string(SOCKETS_PER_PROCESS));
    EXPECT_EQ(in(a, "return show(_create_udp_socket(9, '127.0.0.1'))"), "nil|too many sockets");
    EXPECT_EQ(in(kernel, "k = _create_tcp_socket(" + std::to_string(free_port(SOCK_STREAM)) +
                             ", '*') return show(_sock_status(k), _create_udp_socket(9, '127.0.0.1') ~= nil)"),
              "listening|true");
    in(kernel, "_close_socket(k)");
    // A's children share its program's share.
    Process* kid = get_process(std::stoll(in(a, "return spawn('')")));
    hvx_test::run_in(kid, kShow);
    EXPECT_EQ(in(kid, make), std::to_string(SOCKETS_PER_PROGRAM - SOCKETS_PER_PROCESS));
    // More programs: the last stops where the system's records begin.
    for (const char* name : {"b", "c"}) EXPECT_EQ(in(spawn(name), make), std::to_string(SOCKETS_PER_PROCESS));
    Process* d = spawn("d");
    const int held = 1 + SOCKETS_PER_PROGRAM + 2 * SOCKETS_PER_PROCESS;  // the kernel holds one
    EXPECT_EQ(in(d, make), std::to_string(MAX_SOCKETS - SOCKETS_RESERVED - held));
    EXPECT_EQ(count_sockets(0), MAX_SOCKETS - SOCKETS_RESERVED);
    // D's listener: the kernel's connection to it waits in the host's queue,
    // as accepting it would take a kept record.
    in(d, "_close_socket(mine[1]) _close_socket(mine[2])");
    const std::string port = std::to_string(free_port(SOCK_STREAM));
    EXPECT_EQ(in(d, "l = _create_tcp_socket(" + port + ", '*') return show(_sock_status(l))"), "listening");
    EXPECT_EQ(in(kernel, "kc = _create_tcp_socket(" + port + ", '127.0.0.1') return show(_sock_status(kc))"), "ready");
    usleep(20000);
    EXPECT_EQ(in(d, "return show(_accept_socket(l))"), "nil|too many sockets");
    // The system's records: the kernel takes the table to its end.
    EXPECT_EQ(in(kernel, make), std::to_string(SOCKETS_RESERVED));
    EXPECT_EQ(count_sockets(0), MAX_SOCKETS);
    EXPECT_EQ(in(kernel, "return show(_create_tcp_socket(9, '*'))"), "nil|too many sockets");
    const std::string log = env.log();
    for (const char* refusal : {"sockets: it holds 128; more are refused", "holds 192; more are refused",
                                "the last 32 records are the system's; refused"})
        EXPECT_NE(log.find(refusal), std::string::npos) << refusal;
    // D's end closes what it owns: its listener's port is free again, and
    // the connection it never accepted is reset.
    const int64_t d_id = d->id;
    kill_process(d);
    EXPECT_EQ(count_sockets(d_id), 0);
    EXPECT_EQ(in(kernel, "return settle(_read_socket, kc)"), "nil|WSAGetLastError 104");
    EXPECT_EQ(in(kernel, "return show(_sock_status(_create_tcp_socket(" + port + ", '*')))"), "listening");
}

// A server of 100 clients, TCP and UDP, each in a program of its own: every
// client is accepted and answered, and all stay open together.
TEST_F(SocketTest, HundredClientServer) {
    constexpr int kClients = 100;
    for (int kind : {SOCK_STREAM, SOCK_DGRAM}) {
        const bool tcp = kind == SOCK_STREAM;
        Process* server = spawn(tcp ? "tcp" : "udp");
        const int port = free_port(kind);
        in(server, std::string(tcp ? "l = _create_tcp_socket(" : "l = _create_udp_socket(") + std::to_string(port) +
                       ", '*')");
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::vector<int> clients;
        int served = 0;
        for (int i = 0; i < kClients; i++) {
            int fd = socket(AF_INET, kind, 0);
            ASSERT_GE(fd, 0);
            clients.push_back(fd);
            ASSERT_EQ(connect(fd, (sockaddr*)&to, sizeof to), 0);
            send(fd, "hi", 2, 0);
            served += in(server, "local a = wait(function() update() return _accept_socket(l) end) "
                                 "return show(a and wait(_read_socket, a), a and _write_socket(a, 'ok'))") == "hi|2";
        }
        EXPECT_EQ(served, kClients);
        EXPECT_EQ(count_sockets(server->id), kClients + 1);
        EXPECT_EQ(count_sockbufs(server->id), tcp ? 0 : kClients);
        int answered = 0;
        for (int fd : clients) {
            char got[4] = {};
            for (int tries = 0; tries < 200 && recv(fd, got, sizeof got, MSG_DONTWAIT) <= 0; tries++) usleep(1000);
            answered += std::string(got) == "ok";
            close(fd);
        }
        EXPECT_EQ(answered, kClients);
        kill_process(server);
    }
}

// What each call charges: a base for the call into the host's socket layer
// (a status, and a read that calls nothing of it, pay only for finding the
// socket), a descriptor made or a name looked up, and the bytes moved. The
// kernel pays as any process does.
TEST_F(SocketTest, EachCallsCharge) {
    Process* p = spawn("p");
    const std::string port = std::to_string(free_port(SOCK_STREAM));
    const std::string uport = std::to_string(free_port(SOCK_DGRAM));
    for (Process* who : {p, kernel}) in(who, "big = string.rep('x', 60000)");
    const int64_t base = SOCKET_CALL_COST, open = SOCKET_OPEN_COST, rate = SOCKET_BYTES_PER_CYCLE;
    const int64_t table = SOCKET_TABLE_COST;
    struct {
        Process* who;
        int (*fn)(lua_State*);
        std::string args;
        int64_t cycles;
        std::string first;  // the first result: "id" for a socket id
        std::string keep;   // a global of who's that keeps it
    } rows[] = {
        {p, lua54_sock_status, "99", table, "", ""},
        {p, lua54_close_socket, "99", base, "", ""},
        {p, lua54_read_socket, "99", table, "", ""},
        {p, lua54_write_socket, "99, ''", base, "nil", ""},
        {p, lua54_create_tcp_socket, "0, '*'", base, "nil", ""},
        {p, lua54_create_tcp_socket, port + ", '*'", base + open, "id", "l"},
        {kernel, lua54_create_tcp_socket, port + ", '127.0.0.1'", base + open, "id", "c"},
        {p, lua54_create_udp_socket, uport + ", '127.0.0.1'", base + open, "id", "u"},
        {p, lua54_create_udp_socket, uport + ", 'localhost'", base + 2 * open, "id", "n"},
        {p, lua54_sock_status, "l", table, "listening", ""},
        {p, lua54_read_socket, "l", table, "nil", ""},
        {p, lua54_accept_socket, "l", base + open, "id", "a"},
        {p, lua54_accept_socket, "l", base, "", ""},
        {p, lua54_write_socket, "u, big", base + 60000 / rate, "60000", ""},
        {kernel, lua54_write_socket, "c, big", base + 60000 / rate, "60000", ""},
        {p, lua54_write_socket, "n, big", base + 60000 / rate, "60000", ""},  // kept while it resolves
        {p, lua54_write_socket, "n, big", base, "nil", ""},                   // past what is kept
        {p, lua54_sock_status, "n", table + base, "ready", ""},               // moved on through the host
        {p, lua54_read_socket, "n", table + base, "nil", ""},                 // not connected yet
        {p, lua54_close_socket, "n", base, "", ""},
    };
    // A short string result costs the core a few cycles more to make.
    auto results = [](const hvx_test::call_result& r) { return 8 * (int64_t)r.values.size(); };
    for (auto& r : rows) {
        hvx_test::call_result got = hvx_test::call(r.who, r.fn, r.args);
        const std::string first = got.values.empty() ? "" : got.values[0];
        EXPECT_GE(got.charged, r.cycles) << r.args;
        EXPECT_LE(got.charged, r.cycles + results(got)) << r.args;
        if (r.first == "id")
            EXPECT_GT(std::atof(first.c_str()), 0) << r.args;
        else
            EXPECT_EQ(first, r.first) << r.args;
        if (!r.keep.empty()) in(r.who, r.keep + " = " + first);
    }
    // A read pays for the bytes it returns.
    std::string got;
    usleep(20000);
    lua_gc(p->L, LUA_GCSTOP);  // a collector's step is charged by its own work
    for (int tries = 0; tries < 200 && got.empty(); tries++) {
        hvx_test::call_result r = hvx_test::call(p, lua54_read_socket, "a");
        if (!r.values.empty() && r.values[0] != "nil") {
            got = r.values[0];
            // Beside what the core charges for making the string.
            const int64_t made = hvx_test::call(p, h_push_bytes, std::to_string(got.size())).charged;
            EXPECT_EQ(r.charged, table + base + (int64_t)got.size() / rate + made) << got.size();
        }
        usleep(1000);
    }
    lua_gc(p->L, LUA_GCRESTART);
    EXPECT_GT(got.size(), 0u);
    // A UDP child's read takes its datagram from the peer's queue, touching
    // no host socket: the table and the bytes moved.
    const std::string lport = std::to_string(free_port(SOCK_DGRAM));
    in(p, "ul = _create_udp_socket(" + lport + ", '*') _write_socket(_create_udp_socket(" + lport +
              ", '127.0.0.1'), string.rep('d', 1000))");
    usleep(20000);
    update_all_sockets();
    in(p, "ch = _accept_socket(ul)");
    hvx_test::call_result r = hvx_test::call(p, lua54_read_socket, "ch");
    ASSERT_EQ(r.values.size(), 1u);
    EXPECT_EQ(r.values[0].size(), 1000u);
    const int64_t made = hvx_test::call(p, h_push_bytes, "1000").charged;
    EXPECT_GE(r.charged, table + 1004 / rate + made);
    EXPECT_LE(r.charged, table + 4096 / rate + made);
}

// A connect to a listener whose queue is full returns at once, reads as idle
// and keeps what is written; once the queue has room the connect completes
// and the bytes are sent.
// A loopback listener of the host whose accept queue is full: a connect to
// it stays on its way until the fillers go.
struct full_listener {
    int port = free_port(SOCK_STREAM);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    std::vector<int> fillers;
    full_listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, (sockaddr*)&a, sizeof a), 0);
        listen(fd, 0);
        for (int i = 0; i < 4; i++) {
            fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            connect(fillers.back(), (sockaddr*)&a, sizeof a);
        }
        usleep(100000);
    }
    void free_fillers() {
        for (int f : fillers) close(f);
        fillers.clear();
    }
    ~full_listener() {
        free_fillers();
        close(fd);
    }
};

TEST_F(SocketTest, ConnectToAFullQueueReturnsAtOnce) {
    full_listener full;
    const int port = full.port, lfd = full.fd;
    Process* p = spawn("p");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(in(p, "c = _create_tcp_socket(" + std::to_string(port) +
                        ", '127.0.0.1') return show(math.type(c), _sock_status(c), _write_socket(c, 'early'), "
                        "_write_socket(c, ' bird'))"),
              "integer|ready|5|5");
    EXPECT_EQ(in(p, "return show(_read_socket(c))"), "nil|WSAGetLastError 11");
    // Kept as a send buffer holds: up to its size, then refused as full.
    EXPECT_EQ(in(p, "return show(_write_socket(c, string.rep('z', " + std::to_string(SOCKET_CONNECT_SEND_MAX) +
                        ")), _write_socket(c, 'z'))"),
              std::to_string(SOCKET_CONNECT_SEND_MAX - 10) + "|nil|WSAGetLastError 11");
    update_all_sockets();
    EXPECT_EQ(in(p, "return show(_sock_status(c))"), "ready");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, SOCKET_CONNECT_WAIT_MS / 5);
    // Room in the queue: the handshake is retried and completes.
    full.free_fillers();
    std::string got;
    std::vector<int> accepted;
    for (int tries = 0; tries < 5000 && got.size() < (size_t)SOCKET_CONNECT_SEND_MAX; tries++) {
        update_all_sockets();
        for (int s; (s = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) accepted.push_back(s);
        for (int s : accepted) {
            char buf[65536];
            for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) got.append(buf, (size_t)n);
        }
        usleep(1000);
    }
    EXPECT_EQ(got.size(), (size_t)SOCKET_CONNECT_SEND_MAX);
    EXPECT_EQ(got.substr(0, 11), "early birdz");
    for (int s : accepted) close(s);
}

// A client by name is looked up off the frame's thread: what it writes
// meanwhile, stream or datagrams, arrives once it connects. A name that is
// not found, or a port that refuses, leaves the socket dead.
TEST_F(SocketTest, ClientsByNameAndFailedConnects) {
    Process* server = spawn("server");
    Process* client = spawn("client");
    const std::string port = std::to_string(free_port(SOCK_STREAM));
    const std::string uport = std::to_string(free_port(SOCK_DGRAM));
    in(server, "l = _create_tcp_socket(" + port + ", '*') ul = _create_udp_socket(" + uport + ", '*')");
    EXPECT_EQ(in(client, "c = _create_tcp_socket(" + port + ", 'localhost') u = _create_udp_socket(" + uport +
                             ", 'localhost') return show(_sock_status(c), _write_socket(c, 'by name'), "
                             "_write_socket(u, 'one'), _write_socket(u, 'two'))"),
              "ready|7|3|3");
    EXPECT_EQ(in(server, "a = wait(function() update() return _accept_socket(l) end) "
                         "return wait(function() update() return _read_socket(a) end)"),
              "by name");
    EXPECT_EQ(in(server, "local ch = wait(function() update() return _accept_socket(ul) end) "
                         "return show(_read_socket(ch), _read_socket(ch))"),
              "one|two");
    // Lookups closed before they end are dropped; later ones still run.
    in(client, "for i = 1, 100 do _close_socket(_create_tcp_socket(" + port + ", 'localhost')) end "
               "c2 = _create_tcp_socket(" + port + ", 'localhost')");
    EXPECT_EQ(in(server, "return show(wait(function() update() return _accept_socket(l) end) ~= nil)"), "true");
}

// A planted resolver: a name beginning "slow" waits for the gate and is then
// not found, "nowhere" is not found at once, and any other name is the
// loopback. Lookups it answers at once are counted, so a test frame can
// wait for them as a quick host would.
std::atomic<bool> gate_open{false};
std::atomic<int> slow_started{0}, slow_ended{0}, quick_started{0}, quick_ended{0};
int planted_resolver(const char* name, const char* service, const addrinfo* hints, addrinfo** out) {
    if (std::strncmp(name, "slow", 4) == 0) {
        slow_started++;
        for (int i = 0; i < 60000 && !gate_open; i++) usleep(1000);
        slow_ended++;
        return EAI_NONAME;
    }
    quick_started++;
    int r = EAI_NONAME;
    if (std::strcmp(name, "nowhere") != 0) {
        addrinfo h = *hints;
        h.ai_flags |= AI_NUMERICHOST;
        r = getaddrinfo("127.0.0.1", service, &h, out);
    }
    quick_ended++;
    return r;
}

uint64_t fake_now = 1000;
uint64_t fake_ticks() { return fake_now; }
void fake_delay(uint32_t) {}

struct PlantedLookups : SocketTest {
    void SetUp() override {
        SocketTest::SetUp();
        gate_open = false;
        sockets_set_resolver(planted_resolver);
        os_set_frame_clock(fake_ticks, fake_delay);
    }
    void TearDown() override {
        gate_open = true;
        for (int i = 0; i < 5000 && slow_ended < slow_started; i++) usleep(1000);
        usleep(5000);
        update_all_sockets();  // frees what the slow workers held
        sockets_set_resolver(nullptr);
        os_set_frame_clock(nullptr, nullptr);
    }
    // A frame's upkeep, on a host quick enough that a lookup started in it
    // has ended by the next.
    void frame() {
        update_all_sockets();
        for (int i = 0; i < 5000 && quick_ended < quick_started; i++) usleep(100);
        usleep(2000);
    }
};

// Why a client died on its way reaches its program: the first read (or
// write) of the dead socket returns nil and the reason, also after the dead
// record has left the table; then nothing, as for any unknown id. A close
// drops an unread reason.
TEST_F(PlantedLookups, ConnectFailuresSayWhy) {
    Process* p = spawn("p");
    const std::string closed = std::to_string(free_port(SOCK_STREAM));
    full_listener full;  // the connect waits for its time
    struct {
        std::string create;  // the address and port
        const char* first;   // the call that finds it dead
        std::string want;
    } rows[] = {
        {"80, 'nowhere'", "_read_socket", "nil|Name or service not known"},
        {closed + ", '127.0.0.1'", "_read_socket", "nil|connection refused"},
        {closed + ", 'localhost'", "_write_socket", "nil|connection refused"},
        {std::to_string(full.port) + ", '127.0.0.1'", "_read_socket", "nil|connection timed out"},
        {closed + ", '127.0.0.1'", "_close_socket", ""},
    };
    for (auto& r : rows) {
        EXPECT_EQ(in(p, "c = _create_tcp_socket(" + r.create + ") return math.type(c)"), "integer") << r.create;
        int frames = 0;
        while (in(p, "return show(_sock_status(c))") == "ready" && frames++ < 100) {
            frame();
            fake_now += 200;  // the connect's time passes in 25 frames
        }
        EXPECT_LT(frames, 100) << r.create;
        update_all_sockets();
        EXPECT_EQ(count_sockets(p->id), 0) << r.create;
        EXPECT_EQ(in(p, "return show(" + std::string(r.first) + "(c, 'x'))"), r.want) << r.create;
        EXPECT_EQ(in(p, "return show(_read_socket(c)) .. show(_write_socket(c, 'x'))"), "") << r.create;
    }
    // Every address failing at once (a broadcast address): no socket, and why.
    EXPECT_EQ(in(p, "return show(_create_tcp_socket(80, '255.255.255.255'))"), "nil|network unreachable");
    // Unread reasons go with their process.
    in(p, "c = _create_tcp_socket(80, 'nowhere')");
    for (int i = 0; i < 3; i++) frame();
    const std::string id = in(p, "return c");
    kill_process(p);
    EXPECT_EQ(in(kernel, "return show(_read_socket(" + id + "))"), "");
}

// A program flooding names that take long to look up holds neither the
// kernel's connect by name nor another program's: each is accepted within
// three frames of its time alone.
TEST_F(PlantedLookups, ALookupFloodLeavesOthersServed) {
    Process* flood = spawn("flood");
    Process* q = spawn("q");
    const std::string port = std::to_string(free_port(SOCK_STREAM));
    in(kernel, "kl = _create_tcp_socket(" + port + ", '*')");
    in(flood, "n = 0 function more() for i = 1, 120 do n = n + 1 _create_tcp_socket(80, 'slow' .. n) end end");
    constexpr int kGiveUp = 100;
    auto frames_to_connect = [&](Process* who, bool flooding) {
        in(who, "c = _create_tcp_socket(" + port + ", 'localhost')");
        for (int f = 1; f <= kGiveUp; f++) {
            if (flooding) in(flood, "more()");
            frame();
            if (in(kernel, "local a = _accept_socket(kl) if a then _close_socket(a) return 'yes' end") == "yes") {
                in(who, "_close_socket(c)");
                return f;
            }
        }
        in(who, "_close_socket(c)");
        return kGiveUp + 1;
    };
    struct {
        Process* who;
        const char* name;
    } rows[] = {{kernel, "the kernel"}, {q, "another program"}};
    int alone[2];
    for (int i = 0; i < 2; i++) alone[i] = frames_to_connect(rows[i].who, false);
    for (int f = 0; f < 3; f++) {
        in(flood, "more()");
        frame();
    }
    EXPECT_GE(slow_started.load(), SOCKET_LOOKUPS_PER_PROGRAM);
    for (int i = 0; i < 2; i++) {
        EXPECT_LE(alone[i], 3) << rows[i].name;
        EXPECT_LE(frames_to_connect(rows[i].who, true), alone[i] + 3) << rows[i].name;
    }
    // The flood's own lookups never took more than its share of the threads.
    EXPECT_LE(slow_started.load() - slow_ended.load(), SOCKET_LOOKUPS_PER_PROGRAM);
}

}  // namespace
