#include "tests/support/harness.h"

#include "runtime/runtime.h"

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

run_result install::run(const std::vector<std::string>& args, int timeout_ms,
                        const std::vector<std::string>& extra_env, bool with_home) const {
    std::vector<std::string> argv_s = {bin_dir() + "/halvoran"};
    if (with_home) {
        argv_s.push_back("-home");
        argv_s.push_back(home());
    }
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_s;
    for (char** e = environ; *e; e++) env_s.push_back(*e);
    env_s.push_back("SDL_VIDEODRIVER=dummy");
    env_s.push_back("SDL_AUDIODRIVER=dummy");
    env_s.push_back("TZ=UTC");
    env_s.insert(env_s.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);

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

}  // namespace hvx_test
