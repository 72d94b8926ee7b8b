// The workstation boots from sysrom.dat: the one the build makes from
// sysrom/, and test ones made by the tests; files written through the host
// mount survive a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/harness.h"
#include "tests/support/process_harness.h"
#include "tests/support/rom_maker.h"

namespace {

using hvx_test::build_dir;

std::string source_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/"));
}

// Index of text in s at or after from; npos when missing.
size_t after(const std::string& s, const std::string& text, size_t from) {
    size_t at = s.find(text, from);
    return at == std::string::npos ? at : at + text.size();
}

TEST(BuiltSysrom, HoldsTheKernelAndIsDeterministic) {
    std::string dat = hvx_test::read_file(build_dir() + "/sysrom.dat");
    ASSERT_FALSE(dat.empty());
    std::string user_folder;
    ASSERT_EQ(hvx_test::unpack_sysrom(dat, "/system", "/system", &user_folder), 0);
    EXPECT_EQ(user_folder, "halvoran");
    pfile* boot = get_ram_file_by_name("/system/boot.lua");
    ASSERT_NE(boot, nullptr);
    EXPECT_EQ(std::string((const char*)boot->data->data, (size_t)boot->data->length),
              hvx_test::read_file(source_dir() + "/sysrom/boot.lua"));
    pfile_reset();

    hvx_test::scratch_dir tmp;
    std::string cmd = build_dir() + "/mkrom --user-folder halvoran --prefix system -o " + (tmp / "again.dat") + " " +
                      source_dir() + "/sysrom >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(hvx_test::read_file(tmp / "again.dat"), dat);
}

// Headless, the kernel and the window manager run until the host asks the
// program to end, which it then does in order.
TEST(BuiltSysrom, BootsHeadlessAndRunsUntilTheHostEndsIt) {
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::read_file(build_dir() + "/sysrom.dat"));
    hvx_test::background_run prog(inst, {"-x"});
    ASSERT_TRUE(prog.started());
    ASSERT_TRUE(hvx_test::eventually(30000, [&] {
        return prog.out().find("kernel: started wm 3\n") != std::string::npos;
    })) << prog.out() << prog.err();
    usleep(1000000);  // a second of frames
    prog.signal(SIGTERM);
    EXPECT_EQ(prog.wait_exit(30000), 0) << prog.out() << prog.err();
    std::string log = hvx_test::read_file(inst.log());
    size_t at = 0;
    for (const char* want : {"preparing to boot\n", "creating process 2 [spare] /system/spare.lua\n",
                             "creating process 3 wm ", "[halvoran_exit]\n", "[halvoran_exit] ok\n"}) {
        at = after(log, want, at);
        ASSERT_NE(at, std::string::npos) << "log lacks (in order): " << want << "\n" << log;
    }
    EXPECT_EQ(log.find("RUNTIME ERROR"), std::string::npos) << log;
    EXPECT_EQ(prog.out().find("removed"), std::string::npos) << prog.out();
}

TEST(TestSysrom, BootsATestKernelFromItsOwnRom) {
    std::string kernel = hvx_test::read_file(source_dir() + "/tests/runtime/scripts/kernel_processes.lua");
    ASSERT_FALSE(kernel.empty());
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", kernel}, {"misc/unused.txt", "x"}}));
    hvx_test::run_result r = inst.run({"-x"}, 60000);
    ASSERT_FALSE(r.timed_out) << r.out;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("kernel: boot 1\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("frame 1: pong 42 from 3 flags 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("kernel: exit\n"), std::string::npos) << r.out;
    EXPECT_NE(hvx_test::read_file(inst.log()).find("[halvoran_exit] ok\n"), std::string::npos);

    // A ROM without boot.lua stops with the system's message.
    inst.set_sysrom(hvx_test::make_sysrom({{"other.lua", "print(1)"}}));
    r = inst.run({"-x"}, 60000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("could not find /system/boot.lua"), std::string::npos) << r.out;
}

// One run of the workstation in a child: boot from a test ROM (or the given
// sysrom.dat) with the given home, then body; the child's exit code is body's.
template <class F>
int run_in_child(const std::string& home, F body, std::string dat = "") {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        if (dat.empty()) dat = hvx_test::make_sysrom({{"boot.lua", "while true do flip() end"}});
        set_dat_blocks((const uint8_t*)dat.data(), dat.size());
        config_set_defaults();
        config.headless = 1;
        snprintf(config.home, sizeof config.home, "%s/", home.c_str());
        krio_reset_path_cache();
        reset_app_state();
        int code = body();
        halvoran_flush_before_exit();
        fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(Restart, FileWrittenThroughHostRootSurvives) {
    hvx_test::scratch_dir home;
    std::string text = "kept across a restart\n";
    std::string rom_text = "inside a cartridge";
    EXPECT_EQ(run_in_child(home.path(),
                           [&] {
                               pfile* f = pfopen("/note.txt", "w");
                               if (!f) return 1;
                               pfwrite(text.data(), 1, (int64_t)text.size(), f);
                               if (pfclose(f) != 0) return 2;
                               // A new cartridge, written back at exit.
                               if (pmkdir("/c.hvx.rom") != 0) return 3;
                               f = pfopen("/c.hvx.rom/in.txt", "w");
                               if (!f) return 4;
                               pfwrite(rom_text.data(), 1, (int64_t)rom_text.size(), f);
                               return pfclose(f) == 0 ? 0 : 5;
                           }),
              0);
    EXPECT_EQ(run_in_child(home.path(),
                           [&] {
                               pfile* f = pfopen("/note.txt", "r");
                               if (!f) return 1;
                               std::string got((const char*)f->data->data, (size_t)f->data->length);
                               pfclose(f);
                               if (got != text) return 2;
                               f = pfopen("/c.hvx.rom/in.txt", "r");
                               if (!f) return 3;
                               got.assign((const char*)f->data->data, (size_t)f->data->length);
                               pfclose(f);
                               return got == rom_text ? 0 : 4;
                           }),
              0);
}

// A reboot clears the run-time state each layer keeps, and sets the audio
// focus to none; a pending exit request survives it.
TEST(Restart, ARebootClearsTheStateOfEveryLayer) {
    hvx_test::scratch_dir home;
    EXPECT_EQ(run_in_child(home.path(),
                           [] {
                               app.atomic_pid = 7;
                               audio_app.audio_copy_pid = 7;
                               storage_app.file_opened = 1;
                               gfx_app.gif_frames = 5;
                               platform_app.button_word = 9;
                               platform_app.exit_request = 1;
                               runtime_app.exit_wait = 3;
                               runtime_app.audio_stat_counters[3] = 4;
                               reset_app_state();
                               if (app.atomic_pid != 0) return 1;
                               if (audio_app.audio_focus_pid != -2 || audio_app.audio_copy_pid != -3) return 2;
                               if (storage_app.file_opened != 0) return 3;
                               if (gfx_app.gif_frames != 0) return 4;
                               if (platform_app.button_word != 0) return 5;
                               if (platform_app.exit_request != 1) return 6;
                               if (runtime_app.exit_wait != 0 || runtime_app.audio_stat_counters[3] != 0) return 7;
                               platform_app.exit_request = 0;
                               return 0;
                           }),
              0);
}

// Blocks 2 and 3 of sysrom.dat: an exported cartridge unpacked at
// /ram/expcart, and a flag word whose bit 0 makes the displayed id 4.
TEST(Boot, OptionalBlocksOfTheSystemData) {
    const std::string system_rom = hvx_test::make_rom({{"system/boot.lua", "while true do flip() end"}});
    const std::string cart = hvx_test::make_rom({{"main.lua", "-- exported"}});
    struct {
        std::vector<std::string> extra;
        bool cart_mounted;
        int display_pid;
    } rows[] = {
        {{}, false, 3},
        {{cart}, true, 3},
        {{cart, std::string("\0\0\0\1", 4)}, true, 4},
        {{cart, std::string("\0\0\0\2", 4)}, true, 3},
        {{cart, std::string("\1", 1)}, true, 3},  // too short to hold the word
    };
    for (const auto& r : rows) {
        std::vector<std::string> blocks = {"halvoran", system_rom};
        blocks.insert(blocks.end(), r.extra.begin(), r.extra.end());
        hvx_test::scratch_dir home;
        int code = run_in_child(
            home.path(),
            [&] {
                pfile* f = pfopen("/ram/expcart/main.lua", "r");
                bool mounted = f && std::string((const char*)f->data->data, (size_t)f->data->length) == "-- exported";
                pfclose(f);
                if (mounted != r.cart_mounted) return 1;
                if (config.display_pid != r.display_pid) return 2;
                // What the kernel is told.
                auto seen = hvx_test::eval(get_process(1), "return stat(335), stat(317)").values;
                std::vector<std::string> want = {r.display_pid == 4 ? "1.0" : "0.0", r.cart_mounted ? "3.0" : "1.0"};
                return seen == want ? 0 : 3;
            },
            hvx_test::dat_bytes(blocks));
        EXPECT_EQ(code, 0) << r.extra.size() << " optional blocks";
    }
}

}  // namespace
