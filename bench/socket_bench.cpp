// Sockets: TCP throughput on loopback between two processes through the
// socket calls beside a plain send/recv loop over the same kind of
// connection, and the frame's socket update with 512 open sockets.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "net/net.h"
#include "runtime/runtime.h"

namespace {

constexpr int kChunk = 65536;

int free_port() {
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    socklen_t len = sizeof a;
    bind(fd, (sockaddr*)&a, sizeof a);
    getsockname(fd, (sockaddr*)&a, &len);
    close(fd);
    return ntohs(a.sin6_port);
}

// Runs a global function of p's state with p current; its integer result.
int64_t run(Process* p, const char* fn) {
    set_current_process(p);
    lua_getglobal(p->L, fn);
    if (lua_pcall(p->L, 0, 1, 0) != LUA_OK) return -1;
    int64_t n = lua_tointeger(p->L, -1);
    lua_pop(p->L, 1);
    return n;
}

void BM_TcpThroughput_SocketCalls(benchmark::State& state) {
    const std::string port = std::to_string(free_port());
    config.network_access = 1;
    Process* server = bench_process(("l = _create_tcp_socket(" + port + ", '*')\n"
                                     "function accept() a = _accept_socket(l) return a and 1 or 0 end\n"
                                     "function drain() local n = 0 repeat local s = _read_socket(a) "
                                     "if s then n = n + #s end until not s return n end")
                                        .c_str(),
                                    "server");
    Process* client = create_process_from_code(("c = _create_tcp_socket(" + port + ", '127.0.0.1')\n"
                                                "chunk = string.rep('x', " + std::to_string(kChunk) + ")\n"
                                                "function send() return _write_socket(c, chunk) or 0 end")
                                                   .c_str(),
                                               "client", "/ram/client.lua", "", "");
    cpu_cycles_max = INT32_MAX;
    for (Process* p : {server, client}) {
        set_current_process(p);
        lua_pcall(p->L, 0, 0, 0);
    }
    while (run(server, "accept") == 0) usleep(100);
    int64_t bytes = 0;
    for (auto _ : state) {
        run(client, "send");
        bytes += run(server, "drain");
    }
    state.SetBytesProcessed(bytes);
    cproc = nullptr;
    processes_init();
}
BENCHMARK(BM_TcpThroughput_SocketCalls);

void BM_Anchor_TcpThroughput_SendRecv(benchmark::State& state) {
    int port = free_port();
    int l = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    bind(l, (sockaddr*)&a, sizeof a);
    listen(l, 1);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(c, (sockaddr*)&to, sizeof to);
    int s = accept4(l, nullptr, nullptr, SOCK_NONBLOCK);
    int on = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::vector<char> chunk(kChunk, 'x'), in(kChunk);
    int64_t bytes = 0;
    for (auto _ : state) {
        send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        for (;;) {
            ssize_t n = recv(s, in.data(), in.size(), 0);
            if (n <= 0) break;
            bytes += n;
        }
    }
    state.SetBytesProcessed(bytes);
    close(c);
    close(s);
    close(l);
}
BENCHMARK(BM_Anchor_TcpThroughput_SendRecv);

// One frame's update with 512 sockets: UDP listeners (each polled for
// datagrams) or TCP clients (only looked at).
void BM_SocketUpdate512(benchmark::State& state) {
    const bool listeners = state.range(0) == 1;
    config.network_access = 1;
    Process* p = bench_process("");
    set_current_process(p);
    int made = 0;
    const std::string port = std::to_string(free_port());
    if (!listeners) {
        // One listener and the connections to it.
        luaL_dostring(p->L, ("l = _create_tcp_socket(" + port + ", '*')").c_str());
        made = 1;
    }
    for (int port_n = 20000; made < MAX_SOCKETS && port_n < 65535; port_n++) {
        std::string code = listeners ? "_create_udp_socket(" + std::to_string(port_n) + ", '*')"
                                     : "_create_tcp_socket(" + port + ", '127.0.0.1')";
        if (!listeners && made < MAX_SOCKETS - 1) code += " while not _accept_socket(l) do end";
        luaL_dostring(p->L, code.c_str());
        made = count_sockets(0);
    }
    if (count_sockets(0) != MAX_SOCKETS) {
        state.SkipWithError("could not open 512 sockets");
    } else {
        for (auto _ : state) update_all_sockets();
    }
    state.counters["sockets"] = count_sockets(0);
    cproc = nullptr;
    processes_init();
}
BENCHMARK(BM_SocketUpdate512)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
