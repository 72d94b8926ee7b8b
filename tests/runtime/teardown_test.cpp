// A process's end, end to end: a process holding a socket, an HTTP job, a
// score channel and a history mount ends, and each is released by the
// teardown the machine installed; a failure below the machine ends the
// program through the machine's exit, which writes back what must reach
// the disk first.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "storage/storage.h"
#include "storage/storage_internal.h"
#include "tests/net/net_test_util.h"
#include "tests/support/files_env.h"
#include "tests/support/rom_maker.h"

namespace {

struct Teardown : hvx_test::net_env {
    void SetUp() override {
        hvx_test::net_env::SetUp();
        config.network_access = 1;
        pfile_init();
        pfile_reset();
        ASSERT_EQ(mount_ram_folder("/ram"), 0);
        // A signed-in user: a score channel is made on first use.
        ASSERT_EQ(add_or_modify_session("u1", 1, "tok", "Ann", "icon"), 0);
        server.set_handler([](const hvx_test::http_request&) { return hvx_test::http_reply(200, "x"); });
    }
    void TearDown() override {
        hvx_test::net_env::TearDown();
        remove_scoresub_references(0);
        delete_sockets_by_process(0);
        pfile_reset();
    }
};

// The steps run one after the other, in the order the machine lists them
// (process_ended_steps in runtime/process.cpp: the order changes nothing
// released, it is fixed so that every teardown runs the same way); each
// row is what one step releases, and a step left out leaves its row held.
TEST_F(Teardown, AnEndedProcessReleasesWhatItHeldInEverySubsystem) {
    const process_ended_step installed[] = {delete_sockets_by_process, cancel_jobs_by_process,
                                            remove_scoresub_references, prune_process_mounts};
    for (int i = 0; i < 4; i++) EXPECT_EQ(process_ended_step_at(i), installed[i]) << "step " << i;
    EXPECT_EQ(process_ended_step_at(4), nullptr);

    // The first record (net_env's) is the kernel, which is never removed.
    Process* q = env.spawn("", "holder");
    ASSERT_NE(q, nullptr);
    auto in = [&](const std::string& code) { return hvx_test::run_in(q, code); };
    const int64_t id = q->id;
    const std::string history = "/ram/anywhen/" + std::to_string(id) + "_h";
    const std::string slow = server.url("/slow");
    ASSERT_EQ(in("s = _create_tcp_socket(" + std::to_string(hvx_test::free_port(SOCK_STREAM)) + ", '*') return _sock_status(s)"),
              "listening");
    const std::string job = in("return _fetch_remote('" + slow + "')");
    ASSERT_GT(std::stoi(job), 0) << job;
    in("_scoresub('level1')");
    in("mkdir('/ram/h') mount('" + history + "', '/ram/h')");

    struct held {
        const char* what;
        std::function<bool()> holds;
    } const rows[] = {
        {"a socket", [&] { return count_sockets(id) > 0; }},
        {"an HTTP job", [&] {
             const gurl_job* j = gurl_get_job(std::stoi(job));
             return j && j->owner == id;
         }},
        {"a score channel", [] { return num_scoresubs() > 0; }},
        {"a history mount", [&] { return get_mount_by_mount_point(history.c_str(), 0) != nullptr; }},
    };
    for (const held& r : rows) EXPECT_TRUE(r.holds()) << r.what << " before the end";
    kill_process(q);
    for (const held& r : rows) EXPECT_FALSE(r.holds()) << r.what << " after the end";
}

// Without the machine's exit installed, a failure below it would end the
// program at once and the change written a moment ago would be lost.
TEST(TeardownExit, AFailureBelowTheMachineWritesBackFirst) {
    hvx_test::files_env env;
    const std::string rom = env.at("c.hvx.rom");
    ASSERT_TRUE(hvx_test::write_file(rom, hvx_test::make_rom({{"main.lua", "print(1)"}})));
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        pfile* f = pfopen("/c.hvx.rom/new.txt", "w");
        if (!f) _exit(90);
        pfwrite("added", 1, 5, f);
        pfclose(f);
        program_exit(7);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(hvx_test::read_file(rom), hvx_test::make_rom({{"main.lua", "print(1)"}, {"new.txt", "added"}}));
}

// A fatal end while a cartridge is written over frames and another process
// holds the atomic operation: the job's worker is waited for, not destroyed
// running, and the change reaches the file before the program ends.
TEST(TeardownExit, AFatalEndDuringAWriteOverFramesWritesItAndEndsCleanly) {
    hvx_test::files_env env;
    const std::string big(WRITE_BACK_FRAME_BYTES + WRITE_BACK_FRAME_BYTES / 2, 'b');
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (pmkdir("/big.hvx") != 0) _exit(90);
        pfile* f = pfopen("/big.hvx/a.txt", "w");
        if (!f) _exit(91);
        pfwrite(big.data(), 1, (int64_t)big.size(), f);
        pfclose(f);
        hvx_test::make_due(get_mount_by_mount_point("/big.hvx", 0));
        // Two frames copy it; the second hands it to the worker.
        flush_dirty_mounts_delayed();
        flush_dirty_mounts_delayed();
        if (!cart_write_mount()) _exit(92);
        app.atomic_pid = 9;
        program_exit(7);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_NE(hvx_test::read_file(env.at("big.hvx")).find(":: a.txt\n" + big + "\n"), std::string::npos);
}

}  // namespace
