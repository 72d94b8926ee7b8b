// Whole host files written all or nothing.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>

#include "core/core.h"

namespace {

// Temporaries written before this moment by a process with this program's
// own id are an earlier run's (ids come back after a restart).
const time_t process_start = time(nullptr);

// The id in a temporary's name: "." name, a writer's tag, then
// "<pid>_<counter>". 0 when the name is not one.
long temp_owner(const char* name) {
    if (name[0] != '.') return 0;
    for (const char* tag : OS_TEMP_TAGS) {
        const char* at = strstr(name + 1, tag);
        if (!at) continue;
        const char* p = at + strlen(tag);
        long pid = 0;
        for (; *p >= '0' && *p <= '9' && pid < 1 << 30; p++) pid = pid * 10 + (*p - '0');
        if (pid <= 0 || *p++ != '_' || !*p) continue;
        while (*p >= '0' && *p <= '9') p++;
        if (!*p) return pid;
    }
    return 0;
}

bool stale(const std::string& path, long pid) {
    if (pid != (long)getpid()) return kill((pid_t)pid, 0) != 0 && errno == ESRCH;
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && st.st_mtime < process_start;
}

}  // namespace

void os_sweep_stale_temps(const char* host_path) {
    if (!host_path || !host_path[0]) return;
    std::string path = host_path;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    // Never destroyed: the disk writer's thread may sweep while the program exits.
    static std::mutex& lock = *new std::mutex;
    static std::set<std::string>& swept = *new std::set<std::string>;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!swept.insert(dir).second) return;
    }
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        long pid = temp_owner(e->d_name);
        std::string temp = dir + "/" + e->d_name;
        if (pid && stale(temp, pid)) unlink(temp.c_str());
    }
    closedir(d);
}

bool os_remove_abandoned_temp(const char* dir, const char* name) {
    if (!dir || !name) return false;
    long pid = temp_owner(name);
    if (!pid) return false;
    std::string temp = std::string(dir) + (dir[0] && dir[strlen(dir) - 1] == '/' ? "" : "/") + name;
    struct stat st;
    if (lstat(temp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (time(nullptr) - st.st_mtime < OS_TEMP_ABANDONED_S || !stale(temp, pid)) return false;
    return unlink(temp.c_str()) == 0;
}

int os_write_file_atomic(const char* host_path, const void* data, size_t length, unsigned mode) {
    if (!host_path || !host_path[0] || (length && !data)) return 0;
    os_sweep_stale_temps(host_path);
    static std::atomic<unsigned long long> counter{0};
    std::string path = host_path;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A plain create keeps the permissions of a file it replaces; the
    // caller's mode still takes bits away (a file of secrets stays private).
    struct stat old;
    const bool replaces = stat(host_path, &old) == 0 && S_ISREG(old.st_mode);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; attempt++) {
        temp = dir + "." + base + OS_TEMP_TAGS[0] + std::to_string((long long)getpid()) + "_" +
               std::to_string(++counter);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
        if (fd < 0 && errno != EEXIST) return 0;
    }
    if (fd < 0) return 0;
    bool ok = !replaces || fchmod(fd, old.st_mode & mode & 07777) == 0;
    const auto* p = (const uint8_t*)data;
    for (size_t done = 0; ok && done < length;) {
        ssize_t n = write(fd, p + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += (size_t)n;
    }
    // The bytes reach the disk before the name does.
    if (ok && fsync(fd) != 0 && errno != EINVAL) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(temp.c_str(), host_path) == 0;
    if (!ok) unlink(temp.c_str());
    return ok ? 1 : 0;
}
