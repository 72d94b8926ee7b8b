// HTTP jobs beside their anchor: small GETs to the loopback server through
// the job table (a worker thread and a handle per job), one at a time and in
// batches in flight together, against curl's own easy API in a plain loop;
// and the main thread's share of a frame, the job update, with none and with
// 64 jobs in flight.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/net.h"
#include "platform/platform.h"
#include "tests/support/loopback_http.h"

namespace {

std::atomic<bool> release_held{false};

hvx_test::loopback_http_server& server() {
    static hvx_test::loopback_http_server s([](const hvx_test::http_request& r) {
        for (int i = 0; r.target == "/hold" && !release_held && i < 60000; i++) usleep(1000);
        return hvx_test::http_reply(200, "small reply");
    });
    return s;
}

void setup() {
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    gurl_init();
}

int finished = 0, failed = 0;
void count_job(gurl_job* j) {
    finished++;
    if (j->state.load() != GURL_DONE) failed++;
}

// Batches of n requests at once (n in flight), each batch waited for by
// updating as frames would, without the frame's sleep.
void BM_job_table_get(benchmark::State& state) {
    setup();
    std::string url = server().url("/s");
    int n = (int)state.range(0);
    for (auto _ : state) {
        finished = 0;
        for (int k = 0; k < n; k++)
            while (gurl_get(url.c_str(), count_job) < 0) gurl_update();  // its slot not reaped yet
        while (finished < n) gurl_update();
    }
    if (failed) state.SkipWithError("requests failed");
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_job_table_get)->Arg(1)->Arg(16)->Arg(64)->UseRealTime();

size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

void BM_anchor_curl_easy_loop(benchmark::State& state) {
    setup();
    std::string url = server().url("/s");
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    for (auto _ : state)
        if (curl_easy_perform(c) != CURLE_OK) state.SkipWithError("request failed");
    curl_easy_cleanup(c);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_anchor_curl_easy_loop)->UseRealTime();

void BM_update_frame(benchmark::State& state) {
    setup();
    int held = (int)state.range(0);
    std::string url = server().url("/hold");
    release_held = false;
    for (int i = 0; i < held; i++) gurl_get(url.c_str(), nullptr);
    for (auto _ : state) gurl_update();
    state.counters["in_flight"] = held;
    // Let go of them, so their slots serve the other benchmarks again.
    release_held = true;
    while (gurl_jobs_in_use()) {
        gurl_update();
        usleep(1000);
    }
}
BENCHMARK(BM_update_frame)->Arg(0)->Arg(64);

}  // namespace
