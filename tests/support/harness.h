// Test support: scratch folders, and running the built program headless in a
// scratch install (the binary copied beside a test sysrom.dat) with a scratch
// home, so every end-to-end test sees only its own files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hvx_test {

// A fresh folder under the system's temp folder, removed with its contents.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The build folder: the program, mkrom and the sysrom.dat packed from our
// system ROM.
std::string build_dir();

std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// A u8 typed userdata block (header and pixels) of w x h bytes of fill, as
// the rasteriser takes it.
std::vector<uint8_t> u8_bitmap(int w, int h, uint8_t fill = 0);

// The block form of sysrom.dat made from the given blocks.
std::string dat_bytes(const std::vector<std::string>& blocks);

// How long a run may take before it is stopped: a last guard against a hung
// program only, wide enough for a sanitized run on a loaded host; a test's
// own ends are counted in frames or conditions.
inline constexpr int kRunLastGuardMs = 120000;

struct run_result {
    int exit_code = -1;  // -1 when killed by a signal or the timeout
    bool timed_out = false;
    std::string out;     // standard output
    std::string err;     // standard error
};

// A scratch install of the program: bin/halvoran (a copy, so /proc/self/exe
// names this folder), an optional bin/sysrom.dat, and home/ for -home.
class install {
public:
    install();
    void set_sysrom(const std::string& bytes);
    std::string bin_dir() const { return dir_ / "bin"; }
    std::string home() const { return dir_ / "home"; }
    std::string log() const;  // home/log.txt
    // Runs the program with SDL's dummy drivers and TZ=UTC. extra_env entries
    // are "NAME=value". The home folder is passed as -home unless with_home is
    // false.
    run_result run(const std::vector<std::string>& args, int timeout_ms = kRunLastGuardMs,
                   const std::vector<std::string>& extra_env = {}, bool with_home = true) const;

private:
    scratch_dir dir_;
};

// The program of an install started in the background with the environment
// of install::run; standard output and error go to files beside home/.
// Killed at the end if it is still running.
class background_run {
public:
    background_run(const install& inst, const std::vector<std::string>& args,
                   const std::vector<std::string>& extra_env = {}, const std::string& cwd = "");
    ~background_run();
    background_run(const background_run&) = delete;
    background_run& operator=(const background_run&) = delete;
    bool started() const { return pid_ > 0; }
    std::string out() const;  // standard output so far
    std::string err() const;
    void signal(int sig) const;
    // Waits up to timeout_ms for the end: the exit code, or -1 (still running
    // after the wait, or ended by a signal).
    int wait_exit(int timeout_ms);

private:
    pid_t pid_ = -1;
    std::string out_path_, err_path_;
};

// The published xoshiro256** generator, written apart from the runtime's as
// the tests' reference, seeded as the system seeds it: s0 = seed ^ 0xDEADBEEF,
// s1 = 0xFF, s2 = the seed's halves swapped, s3 = 0, then 8 steps.
struct reference_xoshiro {
    uint64_t s[4];
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9, t = s[1] << 17;
        s[2] ^= s[0], s[3] ^= s[1], s[1] ^= s[2], s[0] ^= s[3], s[2] ^= t, s[3] = rotl(s[3], 45);
        return result;
    }
    explicit reference_xoshiro(uint64_t seed) : s{seed ^ 0xDEADBEEFu, 0xFF, seed << 32 | seed >> 32, 0} {
        for (int i = 0; i < 8; i++) next();
    }
};

// Tests cond every 50 ms for up to timeout_ms; true as soon as it holds.
bool eventually(int timeout_ms, const std::function<bool()>& cond);

}  // namespace hvx_test
