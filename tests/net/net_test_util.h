// Shared by the network tests: a process environment with a loopback server,
// and the frame's job update pumped until something holds.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "net/net.h"
#include "platform/platform.h"
#include "tests/support/loopback_http.h"
#include "tests/support/process_harness.h"

namespace hvx_test {

// A port nobody holds on the dual-stack any-address, for the given type.
inline int free_port(int type) {
    int fd = socket(AF_INET6, type, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    socklen_t len = sizeof a;
    bind(fd, (sockaddr*)&a, sizeof a);
    getsockname(fd, (sockaddr*)&a, &len);
    close(fd);
    return ntohs(a.sin6_port);
}

// Runs the job update (1 ms apart, as frames would) until cond holds. The
// limit is a last guard only, wide enough for a sanitized run on a loaded
// host: every wait here ends on a condition.
inline bool pump_until(const std::function<bool()>& cond, int timeout_ms = 120000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        gurl_update();
        usleep(1000);
    }
    return true;
}

// Waits for the job's worker to end without running the update, then runs it
// until the job's callback has run. Each update brings every finished job
// nearer its reap, so a wait on a slow job must not reap a quick one that a
// test reads next, however far apart a loaded host finishes them.
inline bool pump_until_finished(int32_t id) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(120000);
    for (;;) {
        gurl_job* j = gurl_get_job(id);
        if (!j) return false;
        if (j->callback_ran || j->completed.load(std::memory_order_acquire)) break;
        if (std::chrono::steady_clock::now() > end) return false;
        usleep(1000);
    }
    return pump_until([&] {
        gurl_job* j = gurl_get_job(id);
        return j && j->callback_ran;
    });
}

struct net_env : ::testing::Test {
    process_env env;
    // Lets go of the requests a test's handler holds. A member, declared
    // before the server, so a handler still running as the test ends never
    // reads it after it is gone.
    std::atomic<bool> release{false};
    loopback_http_server server;
    Process* p = nullptr;

    void SetUp() override {
        setenv("no_proxy", "127.0.0.1,localhost", 1);  // requests honour the proxy settings
        gurl_init();
        ASSERT_TRUE(server.ok());
        for (int k = 0; k < NET_HOSTS; k++) net_set_host_url(k, server.url().c_str());
        siteuser_init();
        // The table is empty before a test starts, whatever the one before
        // left running and however long it takes to end.
        ASSERT_TRUE(pump_until([] { return gurl_jobs_in_use() == 0; })) << gurl_jobs_in_use() << " jobs held";
        p = env.spawn("");
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override {
        release = true;
        // Every job this test started is reaped, so the table is empty again.
        EXPECT_TRUE(pump_until([] { return gurl_jobs_in_use() == 0; })) << gurl_jobs_in_use() << " jobs held";
        config_set_defaults();
    }
    std::string eval(const std::string& code) { return run_in(p, code); }
};

}  // namespace hvx_test
