// Test support: a small HTTP/1.1 server on 127.0.0.1 for the network tests.
// It takes a free port, records every request as it arrived (method, raw
// target, headers, body) and answers each one with what the test's handler
// says: a status and body, after a delay, cut short, or not at all. Every
// reply closes its connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hvx_test {

struct http_request {
    std::string method;
    std::string target;  // as sent, query included
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string body;    // Content-Length bytes
    // The first header of that name (case-insensitive), "" when absent.
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
};

struct http_reply {
    int status = 200;
    std::string body;
    std::vector<std::string> headers;  // extra "Name: value" lines
    int delay_ms = 0;                  // before anything is sent
    // Content-Length announced; -1 announces the body's size. Announcing more
    // than the body sends a reply cut short.
    int64_t announce = -1;
    bool no_reply = false;  // close the connection without a byte

    http_reply(int status_ = 200, std::string body_ = "") : status(status_), body(std::move(body_)) {}
    http_reply& delayed(int ms) { delay_ms = ms; return *this; }
    http_reply& announcing(int64_t n) { announce = n; return *this; }
    http_reply& with_header(const std::string& line) { headers.push_back(line); return *this; }
};

class loopback_http_server {
public:
    using handler = std::function<http_reply(const http_request&)>;
    // Without a handler every request gets "200" and an empty body.
    explicit loopback_http_server(handler h = {});
    ~loopback_http_server();
    loopback_http_server(const loopback_http_server&) = delete;
    loopback_http_server& operator=(const loopback_http_server&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by path.
    std::string url(const std::string& path = "") const;
    void set_handler(handler h);
    std::vector<http_request> requests() const;
    size_t request_count() const;
    // Waits until at least n requests arrived; false after timeout_ms.
    bool wait_for_requests(size_t n, int timeout_ms) const;

    // A port on 127.0.0.1 that nobody listens on (connections are refused).
    static int closed_port();

private:
    void accept_loop();
    void serve(int fd);

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    handler handler_;
    std::vector<http_request> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

}  // namespace hvx_test
