// Handing a host path or a web address to the desktop's opener: spawned
// directly (no shell parses the text), never waited for.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

extern char** environ;

static std::string opener = "xdg-open";
static std::vector<pid_t> children;

void os_set_opener(const char* program) { opener = (program && program[0]) ? program : "xdg-open"; }

static int spawn_opener(const char* arg) {
    // A script can ask in a loop: only a few openers run at once, so it
    // cannot fill the host with processes.
    os_reap_children();
    if (children.size() >= OPENER_RUNNING_MAX) {
        krio_debug("open_host: too many openers still running; nothing is handed over until one ends\n");
        return 0;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::string a0 = opener, a1 = arg;
    char* argv[] = {a0.data(), a1.data(), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, opener.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        krio_debugf("open_host: could not start %s: %s\n", opener.c_str(), strerror(rc));
        return 0;
    }
    children.push_back(pid);
    return 1;
}

void os_reap_children() {
    for (size_t i = 0; i < children.size();) {
        pid_t r = waitpid(children[i], nullptr, WNOHANG);
        if (r == 0) {
            i++;
        } else {
            children[i] = children.back();
            children.pop_back();
        }
    }
}

int open_host_url(const char* url) {
    if (!url || strncmp(url, "https:", 6) != 0) return 0;
    for (const char* p = url; *p; p++)
        if ((unsigned char)*p < 32 || *p == 127) {
            krio_debug("open_host_url(): refused an address with control characters\n");
            return 0;
        }
    return spawn_opener(url);
}

static bool ends_with(const char* s, const char* tail) {
    size_t a = strlen(s), b = strlen(tail);
    return a >= b && strcasecmp(s + a - b, tail) == 0;
}

int open_host_file(const char* host_path) {
    if (!host_path || !host_path[0]) return 0;
    char real[PATH_MAX];
    struct stat st;
    if (!realpath(host_path, real) || stat(real, &st) != 0) {
        krio_debugf("open_host_file(): not found: %s\n", host_path);
        return 0;
    }
    // A script can write files into a host folder: nothing it wrote may run.
    // Launchers and anything executable stay closed; documents and folders open.
    bool ok = S_ISDIR(st.st_mode) ||
              (S_ISREG(st.st_mode) && !(st.st_mode & 0111) && !ends_with(host_path, ".desktop") &&
               !ends_with(real, ".desktop"));
    if (!ok) {
        krio_debugf("open_host_file(): refused: %s\n", host_path);
        return 0;
    }
    return spawn_opener(real);
}
