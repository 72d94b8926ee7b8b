// Sockets on loopback between processes of the runtime: refusals and limits,
// TCP and UDP traffic both ways, peers kept per listener, a reset peer, the
// counts stat reports, and sockets closed with their process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

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

struct SocketTest : ::testing::Test {
    process_env env;
    void SetUp() override {
        config.network_access = 1;
        env.add_global("nap", h_nap);
        env.spawn("", "kernel");  // the first record is the kernel, which is never removed
    }
    Process* spawn(const std::string& name, const std::string& sandbox = "") {
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
// listener's end frees the ones nobody accepted.
TEST_F(SocketTest, PeerLimitAndItsRelease) {
    Process* server = spawn("server");
    const int port = free_port(SOCK_DGRAM);
    in(server, "l = _create_udp_socket(" + std::to_string(port) + ", '*')");
    std::vector<int> senders;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < MAX_SOCKBUFS + 8; i++) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        senders.push_back(fd);
        sendto(fd, "x", 1, 0, (sockaddr*)&to, sizeof to);
        if (i % 64 == 63) update_all_sockets();  // within the socket's receive buffer
    }
    usleep(20000);
    update_all_sockets();
    EXPECT_EQ(count_sockbufs(0), MAX_SOCKBUFS);
    in(server, "_close_socket(l)");
    EXPECT_EQ(count_sockbufs(0), 0);
    in(server, "l = _create_udp_socket(" + std::to_string(port) + ", '*')");
    sendto(senders.back(), "y", 1, 0, (sockaddr*)&to, sizeof to);
    usleep(20000);
    update_all_sockets();
    EXPECT_EQ(in(server, "local ch = _accept_socket(l) return show(_read_socket(ch))"), "y");
    for (int fd : senders) close(fd);
}

TEST_F(SocketTest, SocketLimitAndProcessEnd) {
    Process* a = spawn("a");
    Process* b = spawn("b");
    const std::string port = connected(a, b);
    EXPECT_EQ(in(a, "for i = 1, " + std::to_string(MAX_SOCKETS - 3) +
                        " do assert(_create_udp_socket(9, '127.0.0.1')) end "
                        "return show(_create_udp_socket(9, '127.0.0.1'))"),
              "nil|too many sockets");
    EXPECT_EQ(in(a, "return show(_accept_socket(l))"), "nil|too many sockets");
    EXPECT_EQ(count_sockets(a->id), MAX_SOCKETS - 1);
    // The process's end closes everything it owns: the listener's port is free
    // again, and the pending connection sees the close.
    const int64_t a_id = a->id;
    kill_process(a);
    EXPECT_EQ(count_sockets(a_id), 0);
    EXPECT_EQ(count_sockets(0), 1);
    EXPECT_EQ(in(b, "return settle(_read_socket, c)"),
              "nil|connection closed by peer");
    Process* again = spawn("again");
    EXPECT_EQ(in(again, "return show(_sock_status(_create_tcp_socket(" + port + ", '*')))"), "listening");
    // Refused connections give nothing.
    EXPECT_EQ(in(b, "return show(_create_tcp_socket(" + std::to_string(free_port(SOCK_STREAM)) + ", '127.0.0.1'))"),
              "");
}

// A connect that is never answered gives up within the bounded wait.
TEST_F(SocketTest, UnansweredConnectIsBounded) {
    // A listener whose queue is full drops further handshakes unanswered.
    int port = free_port(SOCK_STREAM);
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, (sockaddr*)&a, sizeof a), 0);
    listen(lfd, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, (sockaddr*)&a, sizeof a);
        fillers.push_back(fd);
    }
    usleep(100000);
    Process* p = spawn("p");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(in(p, "return show(_create_tcp_socket(" + std::to_string(port) + ", '127.0.0.1'))"), "");
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, SOCKET_CONNECT_WAIT_MS - 500);
    EXPECT_LE(ms, SOCKET_CONNECT_WAIT_MS + 2000);
    for (int fd : fillers) close(fd);
    close(lfd);
}

}  // namespace
