#include "tests/support/loopback_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace hvx_test {

static constexpr size_t HEAD_MAX = 65536;
static constexpr size_t BODY_MAX = 64u << 20;
static constexpr int IDLE_MS = 5000;  // a client silent this long is dropped

std::string http_request::header(const std::string& name) const {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return "";
}

bool http_request::has_header(const std::string& name) const {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
    return false;
}

static sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static int bound_socket(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a = loopback(0);
    socklen_t n = sizeof a;
    if (bind(fd, (sockaddr*)&a, sizeof a) != 0 || getsockname(fd, (sockaddr*)&a, &n) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int loopback_http_server::closed_port() {
    int port = 0;
    int fd = bound_socket(&port);
    if (fd >= 0) close(fd);  // bound, never listened: connections are refused
    return port;
}

// Active connection threads, so the destructor can wait for them.
static std::mutex active_lock;
static std::condition_variable active_changed;
static int active_connections = 0;

loopback_http_server::loopback_http_server(handler h) : handler_(std::move(h)) {
    fd_ = bound_socket(&port_);
    if (fd_ >= 0 && listen(fd_, 512) != 0) {
        close(fd_);
        fd_ = -1;
    }
    if (fd_ >= 0) acceptor_ = std::thread([this] { accept_loop(); });
}

loopback_http_server::~loopback_http_server() {
    stop_ = true;
    changed_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    std::unique_lock<std::mutex> g(active_lock);
    active_changed.wait(g, [] { return active_connections == 0; });
    if (fd_ >= 0) close(fd_);
}

std::string loopback_http_server::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void loopback_http_server::set_handler(handler h) {
    std::lock_guard<std::mutex> g(lock_);
    handler_ = std::move(h);
}

std::vector<http_request> loopback_http_server::requests() const {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

size_t loopback_http_server::request_count() const {
    std::lock_guard<std::mutex> g(lock_);
    return requests_.size();
}

bool loopback_http_server::wait_for_requests(size_t n, int timeout_ms) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= n; });
}

void loopback_http_server::accept_loop() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        {
            std::lock_guard<std::mutex> g(active_lock);
            active_connections++;
        }
        std::thread([this, c] {
            serve(c);
            close(c);
            std::lock_guard<std::mutex> g(active_lock);
            active_connections--;
            active_changed.notify_all();
        }).detach();
    }
}

// Reads more bytes into in; false at the end, on an error, when idle too long
// or when the server stops.
static bool read_more(int fd, std::string* in, const std::atomic<bool>& stop) {
    for (int waited = 0; waited < IDLE_MS && !stop; waited += 20) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char chunk[16384];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        in->append(chunk, (size_t)n);
        return true;
    }
    return false;
}

static bool parse_head(const std::string& head, http_request* r) {
    size_t eol = head.find("\r\n");
    std::string line = head.substr(0, eol);
    size_t a = line.find(' '), b = line.rfind(' ');
    if (a == std::string::npos || b == a) return false;
    r->method = line.substr(0, a);
    r->target = line.substr(a + 1, b - a - 1);
    for (size_t at = eol + 2; at < head.size();) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos) end = head.size();
        std::string h = head.substr(at, end - at);
        size_t colon = h.find(':');
        if (colon != std::string::npos) {
            size_t v = h.find_first_not_of(' ', colon + 1);
            r->headers.emplace_back(h.substr(0, colon), v == std::string::npos ? "" : h.substr(v));
        }
        at = end + 2;
    }
    return true;
}

static void send_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return;
        p += k;
        n -= (size_t)k;
    }
}

void loopback_http_server::serve(int fd) {
    std::string in;
    size_t head_end;
    while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
        if (in.size() > HEAD_MAX || !read_more(fd, &in, stop_)) return;
    }
    http_request r;
    if (!parse_head(in.substr(0, head_end), &r)) return;
    size_t want = strtoull(r.header("Content-Length").c_str(), nullptr, 10);
    if (want > BODY_MAX) return;
    in.erase(0, head_end + 4);
    while (in.size() < want)
        if (!read_more(fd, &in, stop_)) return;
    r.body = in.substr(0, want);
    handler h;
    {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(r);
        h = handler_;
    }
    changed_.notify_all();
    http_reply reply = h ? h(r) : http_reply{};
    if (reply.delay_ms > 0) {
        std::unique_lock<std::mutex> g(lock_);
        changed_.wait_for(g, std::chrono::milliseconds(reply.delay_ms), [&] { return stop_.load(); });
    }
    if (reply.no_reply || stop_) return;
    int64_t announce = reply.announce >= 0 ? reply.announce : (int64_t)reply.body.size();
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + (reply.status < 400 ? " OK" : " Error") +
                      "\r\nContent-Length: " + std::to_string(announce) + "\r\nConnection: close\r\n";
    for (const std::string& line : reply.headers) out += line + "\r\n";
    out += "\r\n";
    out += reply.body.substr(0, (size_t)announce);
    send_all(fd, out.data(), out.size());
    shutdown(fd, SHUT_WR);
    // Lets the client read everything before the close (no reset).
    char sink[4096];
    for (int i = 0; i < 50 && !stop_; i++) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && recv(fd, sink, sizeof sink, 0) <= 0) break;
    }
}

}  // namespace hvx_test
