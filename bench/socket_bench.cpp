// Sockets: TCP throughput on loopback between two processes through the
// socket calls beside a plain send/recv loop over the same kind of
// connection, the frame's socket update with 512 open sockets, and loops of
// socket calls with their host time beside what they charge ("charged_us":
// what their cycles stand for at CPU_FRAME_BUDGET cycles a 60th of a second).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "net/net.h"
#include "runtime/runtime.h"

namespace {

constexpr int kChunk = 65536;

// A TCP listener "*" made by p on the first free port from 42000; the port.
int listen_somewhere(Process* p) {
    set_current_process(p);
    for (int port = 42000; port < 43000; port++) {
        luaL_dostring(p->L, ("l = _create_tcp_socket(" + std::to_string(port) + ", '*') return l").c_str());
        bool made = !lua_isnil(p->L, -1);
        lua_settop(p->L, HVX_HOST_SLOTS);
        if (made) return port;
    }
    return 0;
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
    config.network_access = 1;
    Process* server = bench_process("function accept() a = _accept_socket(l) return a and 1 or 0 end\n"
                                    "function drain() local n = 0 repeat local s = _read_socket(a) "
                                    "if s then n = n + #s end until not s return n end",
                                    "server");
    Process* client = create_process_from_code(("chunk = string.rep('x', " + std::to_string(kChunk) + ")\n"
                                                "function send() return _write_socket(c, chunk) or 0 end")
                                                   .c_str(),
                                               "client", "/ram/client.lua", "", "");
    cpu_cycles_max = INT32_MAX;
    for (Process* p : {server, client}) {
        set_current_process(p);
        lua_pcall(p->L, 0, 0, 0);
    }
    const std::string port = std::to_string(listen_somewhere(server));
    luaL_dostring(client->L, ("c = _create_tcp_socket(" + port + ", '127.0.0.1')").c_str());
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

// The same exchange as plain calls on a listener "::" and a loopback client.
void BM_Anchor_TcpThroughput_SendRecv(benchmark::State& state) {
    int l = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    socklen_t len = sizeof a;
    bind(l, (sockaddr*)&a, sizeof a);
    getsockname(l, (sockaddr*)&a, &len);
    listen(l, 1);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = a.sin6_port;
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
// datagrams), or a TCP listener with its connections (only looked at).
void BM_SocketUpdate512(benchmark::State& state) {
    const bool udp = state.range(0) == 1;
    config.network_access = 1;
    Process* p = bench_process("");
    set_current_process(p);  // the owner, whose end closes them
    const std::string port = udp ? "" : std::to_string(listen_somewhere(p));
    for (int port_n = 20000; count_sockets(0) < MAX_SOCKETS && port_n < 65535; port_n++) {
        std::string code = udp ? "_create_udp_socket(" + std::to_string(port_n) + ", '*')"
                               : "_create_tcp_socket(" + port + ", '127.0.0.1')";
        if (!udp && count_sockets(0) < MAX_SOCKETS - 1) code += " while not _accept_socket(l) do end";
        luaL_dostring(p->L, code.c_str());
    }
    if (count_sockets(0) != MAX_SOCKETS) {
        state.SkipWithError("could not open 512 sockets");
    } else {
        for (auto _ : state) update_all_sockets();
    }
    cproc = nullptr;
    processes_init();
}
BENCHMARK(BM_SocketUpdate512)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

// One step of a socket loop (its code defines step()), run as one process
// with an unlimited budget; the host time and the cycles of each step.
void socket_loop(benchmark::State& state, const char* code) {
    config.network_access = 1;
    Process* p = bench_process(code, "loop");
    if (!p) {
        state.SkipWithError("the script does not compile");
        return;
    }
    set_current_process(p);
    cpu_cycles_max = INT32_MAX;
    lua_State* L = p->L;
    lua_pcall(L, 0, 0, 0);
    int64_t cycles = 0;
    for (auto _ : state) {
        const int32_t before = cpu_cycles;
        lua_getglobal(L, "step");
        if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
        cycles += cpu_cycles - before;
        if (cpu_cycles > INT32_MAX / 2) cpu_cycles = 0;
        update_all_sockets();  // as a frame would, now and then
    }
    const double per_step = (double)cycles / (double)std::max<int64_t>(state.iterations(), 1);
    state.counters["cycles"] = per_step;
    state.counters["charged_us"] = per_step * 1e6 / (60.0 * CPU_FRAME_BUDGET);
    cproc = nullptr;
    processes_init();
}

// The loops: a connect to its own listener, the accept and both closes; a
// 60 KB datagram to its own listener (whose peer queue soon drops them); a
// read of a TCP socket with nothing waiting and a status; a 64 KB TCP write
// and the reads that take it in.
BENCHMARK_CAPTURE(socket_loop, ConnectAcceptClose,
                  "local port = 41999 repeat port = port + 1 l = _create_tcp_socket(port, '*') until l\n"
                  "function step() local c = _create_tcp_socket(port, '127.0.0.1') "
                  "local a repeat a = _accept_socket(l) until a _close_socket(c) _close_socket(a) end")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(socket_loop, UdpWrite60k,
                  "local port = 44999 repeat port = port + 1 l = _create_udp_socket(port, '*') until l\n"
                  "u = _create_udp_socket(port, '127.0.0.1') block = string.rep('u', 60000)\n"
                  "function step() assert(_write_socket(u, block) == 60000) end")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(socket_loop, IdleReadAndStatus,
                  "local port = 42999 repeat port = port + 1 l = _create_tcp_socket(port, '*') until l\n"
                  "c = _create_tcp_socket(port, '127.0.0.1')\n"
                  "function step() _read_socket(c) _sock_status(c) end")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(socket_loop, TcpWriteRead64k,
                  "local port = 43999 repeat port = port + 1 l = _create_tcp_socket(port, '*') until l\n"
                  "c = _create_tcp_socket(port, '127.0.0.1') repeat a = _accept_socket(l) until a\n"
                  "block = string.rep('t', 65536)\n"
                  "function step() local n = _write_socket(c, block) or 0 "
                  "while n > 0 do local s = _read_socket(a) if s then n = n - #s else _sock_status(c) end end end")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
