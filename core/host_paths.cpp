// Host folders every host file name is built from: the program's folder, the
// per-user data folder and the desktop. Paths use '/' throughout.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/core.h"

char krio_argv0[HVX_PATH_MAX];

static std::string user_dir;  // the per-user folder, once made
static bool too_long_logged[3];
static bool export_refusal_logged;

enum { WHO_PROGRAM, WHO_APPDATA, WHO_DESKTOP };
static const char* const who_names[3] = {"krio_prefix_with_program_path", "krio_prefix_with_appdata_path",
                                         "krio_prefix_with_desktop_path"};

// A setting names a folder when its first byte is neither NUL nor a blank.
static std::string setting_text(const char* field, size_t size) {
    if (field[0] == 0 || field[0] == ' ') return {};
    return std::string(field, strnlen(field, size));
}

static bool is_dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static const char* home_dir() {
    const char* h = getenv("HOME");
    if (h && h[0]) return h;
    struct passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir && pw->pw_dir[0] ? pw->pw_dir : nullptr;
}

// A path that does not fit: out is "" and the first failure of each caller is logged.
static int too_long(char* out, size_t out_size, int who, size_t need, const char* name) {
    if (out_size) out[0] = 0;
    if (!too_long_logged[who]) {
        too_long_logged[who] = true;
        krio_debugf("%s(): path too long (%zu bytes) for %s\n", who_names[who], need, name);
    }
    return 0;
}

// out = dir + name, or "" and 0 when that does not fit.
static int join(const std::string& dir, const char* name, char* out, size_t out_size, int who) {
    std::string s = dir + name;
    if (s.size() >= out_size) return too_long(out, out_size, who, s.size(), name);
    memcpy(out, s.c_str(), s.size() + 1);
    return 1;
}

int krio_mkdir(const char* path) {
    if (mkdir(path, 0777) == 0) return 1;
    return is_dir(path) ? 1 : 0;
}

// Creates every missing level of an absolute path, private to the user.
static void make_private_dirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0700);
}

void krio_fix_backslashes(char* s) {
    for (; s && *s; s++)
        if (*s == '\\') *s = '/';
}

const char* krio_trim(const char* s) {
    static std::string trimmed;
    if (!s) return "";
    auto blank = [](char c) { return (signed char)c < 33; };
    size_t a = 0, b = strlen(s);
    while (a < b && blank(s[a])) a++;
    while (b > a && blank(s[b - 1])) b--;
    trimmed.assign(s + a, b - a);
    return trimmed.c_str();
}

bool export_name_is_valid(const uint8_t* name, size_t len) {
    if (!name || len < 1 || len > 64) return false;
    if (memchr(name, '/', len) || memchr(name, 0, len)) return false;
    return !(len == 1 && name[0] == '.') && !(len == 2 && name[0] == '.' && name[1] == '.');
}

void krio_reset_path_cache() {
    user_dir.clear();
    for (bool& b : too_long_logged) b = false;
    export_refusal_logged = false;
}

int append_export_home(char* path, size_t path_size) {
    std::string p(path, strnlen(path, path_size));
    p += "exp/";
    if (p.size() >= path_size) return 0;
    krio_mkdir(p.c_str());
    std::string sub = "shared";
    buffer* b = get_dat_file(0);
    if (b && b->data && b->length > 0) {
        if (export_name_is_valid(b->data, (size_t)b->length)) {
            sub.assign((const char*)b->data, (size_t)b->length);
        } else if (!export_refusal_logged) {
            // Block 0 could otherwise move the per-user folder anywhere.
            export_refusal_logged = true;
            krio_debug("append_export_home(): block 0 is no folder name; using shared/\n");
        }
    }
    p += sub + "/";
    if (p.size() >= path_size) return 0;
    krio_mkdir(p.c_str());
    memcpy(path, p.c_str(), p.size() + 1);
    return 1;
}

int krio_prefix_with_program_path(const char* name, char* out, size_t out_size) {
    if (name == out) return 0;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
    } else if (!realpath(krio_argv0, exe)) {
        krio_debug("krio_prefix_with_program_path(): program file not found\n");
        if (out_size) out[0] = 0;
        return 0;
    }
    char* slash = strrchr(exe, '/');
    std::string dir = slash ? std::string(exe, (size_t)(slash - exe) + 1) : std::string("./");
    return join(dir, name, out, out_size, WHO_PROGRAM);
}

int krio_prefix_with_appdata_path(const char* name, char* out, size_t out_size) {
    if (name == out) return 0;
    std::string dir = user_dir;
    if (dir.empty()) {
        std::string home = setting_text(config.home, sizeof config.home);
        if (!home.empty()) {
            for (char& c : home)
                if (c == '\\') c = '/';
            dir = home.back() == '/' ? home : home + "/";
            mkdir(dir.c_str(), 0700);
        } else {
            const char* xdg = getenv("XDG_DATA_HOME");
            if (xdg && xdg[0] == '/') {
                dir = xdg;
            } else {
                const char* h = home_dir();
                if (!h) {
                    printf("ERROR: could not write to %s\n", name);
                    fflush(stdout);
                    exit(1);
                }
                dir = std::string(h) + "/.local/share";
            }
            while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
            make_private_dirs(dir);
            dir += "/halvoran/";
            mkdir(dir.c_str(), 0700);
            char buf[HVX_PATH_MAX];
            if (dir.size() >= sizeof buf) return too_long(out, out_size, WHO_APPDATA, dir.size(), name);
            memcpy(buf, dir.c_str(), dir.size() + 1);
            if (!append_export_home(buf, sizeof buf)) return too_long(out, out_size, WHO_APPDATA, dir.size(), name);
            dir = buf;
        }
        if (is_dir(dir)) user_dir = dir;
    }
    return join(dir, name, out, out_size, WHO_APPDATA);
}

// The desktop named in the user's XDG user-dirs file, "" when it names none.
static std::string xdg_desktop_dir(const std::string& home) {
    const char* c = getenv("XDG_CONFIG_HOME");
    std::string file = (c && c[0] == '/') ? std::string(c) : home + "/.config";
    FILE* f = fopen((file + "/user-dirs.dirs").c_str(), "r");
    if (!f) return {};
    std::string found;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        const char* p = line + strspn(line, " \t");
        if (strncmp(p, "XDG_DESKTOP_DIR=", 16) != 0) continue;
        std::string v(p + 16);
        while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ')) v.pop_back();
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (v.rfind("${HOME}", 0) == 0) v = home + v.substr(7);
        else if (v.rfind("$HOME", 0) == 0) v = home + v.substr(5);
        if (!v.empty() && v[0] == '/') found = v;  // the last assignment holds, as in a shell
    }
    fclose(f);
    return found;
}

int krio_prefix_with_desktop_path(const char* name, char* out, size_t out_size) {
    if (name == out) return 0;
    std::string dir = setting_text(config.desktop_path, sizeof config.desktop_path);
    if (dir.empty()) {
        const char* home = home_dir();
        if (!home) {
            // Without a home folder "/" + name would address the host's root.
            krio_debug("krio_prefix_with_desktop_path(): desktop_directory() failed; trying HOME [also failed]\n");
            if (out_size) out[0] = 0;
            return 0;
        }
        dir = xdg_desktop_dir(home);
        if (dir.empty()) dir = std::string(home) + "/Desktop";
        if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (!is_dir(dir)) {
            krio_debug("krio_prefix_with_desktop_path(): result give by user-dirs not found\n");
            krio_debugf("krio_prefix_with_desktop_path(): desktop_directory() failed; trying HOME %s\n", home);
            dir = home;
        }
    }
    if (dir.back() != '/') dir += '/';
    return join(dir, name, out, out_size, WHO_DESKTOP);
}

void krio_debug_open() { krio_debug_open_at(krio_prefix_with_appdata_path); }
