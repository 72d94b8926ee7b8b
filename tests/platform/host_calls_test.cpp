// The calls of the host layer as a process sees them: the host clipboard
// through host text both ways, paths and addresses handed to the shell, and
// worker threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <SDL.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

namespace {

struct host_calls : ::testing::Test {
    hvx_test::process_env env;
    Process* p = nullptr;
    void SetUp() override {
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0);  // the dummy driver keeps a clipboard
        p = env.spawn("");
        ASSERT_NE(p, nullptr);
    }
    void TearDown() override { SDL_QuitSubSystem(SDL_INIT_VIDEO); }
    std::string eval(const std::string& code) { return hvx_test::run_in(p, code); }
    static std::string clipboard() {
        char* t = SDL_GetClipboardText();
        std::string s = t;
        SDL_free(t);
        return s;
    }
};

TEST_F(host_calls, clipboard_through_host_text) {
    EXPECT_EQ(eval("return select('#', _req_host_clipboard_text())"), "0");
    SDL_SetClipboardText("");
    EXPECT_EQ(eval("return _get_host_clipboard_text()"), "");
    eval("_set_host_clipboard_text('\\135 hi \\154\\127')");
    EXPECT_EQ(clipboard(), "\u2665 hi \u3042\u25cb");
    for (const char* ignored : {"nil", "{}", "true"}) eval(std::string("_set_host_clipboard_text(") + ignored + ")");
    EXPECT_EQ(clipboard(), "\u2665 hi \u3042\u25cb");
    eval("_set_host_clipboard_text(12.5)");
    EXPECT_EQ(clipboard(), "12.5");
    SDL_SetClipboardText("\u3042\r\n\u00e9");  // no 8-bit code for e acute: its bytes pass through
    EXPECT_EQ(eval("return _get_host_clipboard_text() == '\\154\\n\\195\\169'"), "true");
    // Every 8-bit code but the carriage return (dropped from host text) survives both ways.
    eval("local t = {} for c = 1, 255 do if c ~= 13 then t[#t + 1] = string.char(c) end end "
         "all = table.concat(t) _set_host_clipboard_text(all)");
    EXPECT_EQ(eval("return _get_host_clipboard_text() == all"), "true");
}

TEST_F(host_calls, open_host_path_hands_over_only_host_files_and_https) {
    hvx_test::scratch_dir tmp;
    std::string log = tmp / "opened";
    hvx_test::write_file(tmp / "opener", "#!/bin/sh\necho \"$#:$*\" >> '" + log + "'\n");
    chmod((tmp / "opener").c_str(), 0755);
    os_set_opener((tmp / "opener").c_str());
    hvx_test::write_file(tmp / "a_b.txt", "x");
    pfile_init();
    pfile_reset();
    mount_host_path("/host", tmp.path().c_str());
    mount_ram_folder("/ram");
    for (const char* path : {"'/host/a_b.txt'", "'https://x/a b'", "'/ram/x.txt'", "'http://x'", "5", "'/host/none'"})
        eval(std::string("_open_host_path(") + path + ")");
    char real[4096];
    ASSERT_NE(realpath(tmp.path().c_str(), real), nullptr);
    std::vector<std::string> want = {"1:" + std::string(real) + "/a_b.txt", "1:https://x/a b"};
    std::vector<std::string> got;
    ASSERT_TRUE(hvx_test::eventually(5000, [&] {
        os_reap_children();
        std::istringstream in(hvx_test::read_file(log));
        got.clear();
        for (std::string line; std::getline(in, line);) got.push_back(line);
        return got.size() >= want.size();
    }));
    usleep(200000);  // time for a wrong third hand-over to show
    std::istringstream in(hvx_test::read_file(log));
    got.clear();
    for (std::string line; std::getline(in, line);) got.push_back(line);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    os_set_opener(nullptr);
    pfile_reset();
}

std::atomic<int> worker_flags[256];
int set_flag(void* f) {
    static_cast<std::atomic<int>*>(f)->store(1);
    return 0;
}

TEST(worker_threads, every_detached_worker_runs) {
    for (auto& f : worker_flags) {
        f = 0;
        os_thread* t = os_create_thread(set_flag, &f);
        ASSERT_NE(t, nullptr);
        os_destroy_thread(t);
    }
    os_destroy_thread(nullptr);
    EXPECT_TRUE(hvx_test::eventually(5000, [] {
        return std::all_of(std::begin(worker_flags), std::end(worker_flags), [](auto& f) { return f.load() == 1; });
    }));
}

// Letting go of a worker whose function has returned while its thread is
// still ending (here a thread-local's destructor holds it) does not wait for
// the thread: a frame that reaps a job never waits for a core to free.
std::atomic<int> returned{0}, ended{0};
std::atomic<bool> let_end{false};
struct holds_the_exit {
    ~holds_the_exit() {
        for (int i = 0; i < 3000 && !let_end; i++) usleep(1000);
        ended = 1;
    }
};
int return_then_linger(void*) {
    static thread_local holds_the_exit h;
    (void)&h;
    returned = 1;
    return 0;
}

TEST(worker_threads, letting_go_waits_for_no_exit) {
    os_thread* t = os_create_thread(return_then_linger, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(hvx_test::eventually(5000, [] { return returned.load() == 1; }));
    usleep(10000);  // past the function's return, into the thread's end
    os_destroy_thread(t);
    EXPECT_EQ(ended.load(), 0);
    let_end = true;
    EXPECT_TRUE(hvx_test::eventually(5000, [] { return ended.load() == 1; }));
}

}  // namespace
