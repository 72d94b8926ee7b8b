#include "tests/support/harness.h"

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace hvx_test {

std::string build_dir() {
    std::string bin = HALVORAN_BIN;
    return bin.substr(0, bin.rfind('/'));
}

namespace fs = std::filesystem;

scratch_dir::scratch_dir() {
    std::string tmpl = (fs::temp_directory_path() / "hvxtest-XXXXXX").string();
    char* p = mkdtemp(tmpl.data());
    path_ = p ? p : "";
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    return (bool)f;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string dat_bytes(const std::vector<std::string>& blocks) {
    buffer* out = create_buffer_2(0, 'd');
    for (const auto& b : blocks) bwrite_dat_block(out, (const uint8_t*)b.data(), (uint32_t)b.size());
    std::string bytes((const char*)out->data, (size_t)out->length);
    destroy_buffer(out);
    return bytes;
}

install::install() {
    fs::create_directories(bin_dir());
    fs::create_directories(home());
    fs::copy_file(HALVORAN_BIN, bin_dir() + "/halvoran");
}

void install::set_sysrom(const std::string& bytes) { write_file(bin_dir() + "/sysrom.dat", bytes); }

std::string install::log() const { return home() + "/log.txt"; }

static std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, (size_t)n);
    return s;
}

// The program's arguments and environment as every run passes them.
static std::vector<std::string> program_argv(const install& inst, const std::vector<std::string>& args,
                                             bool with_home) {
    std::vector<std::string> argv_s = {inst.bin_dir() + "/halvoran"};
    if (with_home) {
        argv_s.push_back("-home");
        argv_s.push_back(inst.home());
    }
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    return argv_s;
}

// This process's environment with the run's settings; a later entry replaces
// an earlier one of the same name.
static std::vector<std::string> program_env(const std::vector<std::string>& extra_env) {
    std::vector<std::string> env_s;
    auto set = [&](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        for (auto& e : env_s)
            if (e.compare(0, name.size(), name) == 0) {
                e = entry;
                return;
            }
        env_s.push_back(entry);
    };
    for (char** e = environ; *e; e++) set(*e);
    for (const char* e : {"SDL_VIDEODRIVER=dummy", "SDL_AUDIODRIVER=dummy", "TZ=UTC"}) set(e);
    for (const std::string& e : extra_env) set(e);
    return env_s;
}

static std::vector<char*> c_strings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

run_result install::run(const std::vector<std::string>& args, int timeout_ms,
                        const std::vector<std::string>& extra_env, bool with_home) const {
    std::vector<std::string> argv_s = program_argv(*this, args, with_home), env_s = program_env(extra_env);
    std::vector<char*> argv = c_strings(argv_s), envp = c_strings(env_s);

    int out_pipe[2], err_pipe[2];
    run_result r;
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return r;
    }

    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    bool done = false;
    while (!done) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        poll(fds, 2, 20);
        r.out += drain(out_pipe[0]);
        r.err += drain(err_pipe[0]);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            done = true;
        } else if (std::chrono::steady_clock::now() > deadline) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            done = true;
        }
    }
    r.out += drain(out_pipe[0]);
    r.err += drain(err_pipe[0]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (!r.timed_out && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    return r;
}

background_run::background_run(const install& inst, const std::vector<std::string>& args,
                               const std::vector<std::string>& extra_env, const std::string& cwd)
    : out_path_(inst.home() + "/../out.txt"), err_path_(inst.home() + "/../err.txt") {
    std::vector<std::string> argv_s = program_argv(inst, args, true), env_s = program_env(extra_env);
    std::vector<char*> argv = c_strings(argv_s), envp = c_strings(env_s);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&fa);
}

background_run::~background_run() {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string background_run::out() const { return read_file(out_path_); }
std::string background_run::err() const { return read_file(err_path_); }

void background_run::signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
}

int background_run::wait_exit(int timeout_ms) {
    if (pid_ <= 0) return -1;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        usleep(20000);
    }
}

bool eventually(int timeout_ms, const std::function<bool()>& cond) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(50000);
    }
    return true;
}

std::vector<uint8_t> u8_bitmap(int w, int h, uint8_t fill) {
    std::vector<uint8_t> b(UD_HEADER_SIZE + (size_t)w * h, fill);
    ud_write_header(b.data(), UTYPE_U8, 2, (uint32_t)w, (uint32_t)h);
    return b;
}

}  // namespace hvx_test
