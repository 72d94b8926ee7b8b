// Whole host files written all or nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/platform.h"

int os_write_file_atomic(const char* host_path, const void* data, size_t length, unsigned mode) {
    if (!host_path || !host_path[0] || (length && !data)) return 0;
    static unsigned long long counter = 0;
    std::string path = host_path;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; attempt++) {
        temp = dir + (slash == std::string::npos ? "/." : ".") + base + ".~w" + std::to_string((long long)getpid()) +
               "_" + std::to_string(++counter);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
        if (fd < 0 && errno != EEXIST) return 0;
    }
    if (fd < 0) return 0;
    bool ok = true;
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
