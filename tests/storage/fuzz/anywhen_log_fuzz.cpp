// libFuzzer target for the history store's day log as the writer makes it
// under a clock that jumps both ways within one day, with damaged "@" lines
// between the events. Each input is a list of steps (two bytes a step, then
// its data); afterwards every time the day lists for the file must fetch what
// was written last at it, the listing must hold each write's time once, and
// a fetch at any moment must give what a reference reading of the steps
// gives: the latest record (by moment, then by order) at or before it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

const char* const day = "2026-03-01";
const int64_t day_start = 1772323200;  // 2026-03-01_00:00:00 UTC
int64_t now_s = day_start;
int64_t clock_now() { return now_s; }

std::string root_dir;

std::string moment_at(int64_t t) {
    char m[ANYWHEN_MOMENT_LEN + 1];
    anywhen_format_moment(t, m);
    return m;
}

struct record {
    std::string moment;
    bool deleted;
    std::string text;
};

// What the file held at the moment: the last record by moment, then by
// order, at or before it; none before the first.
const record* reference(const std::vector<record>& records, const std::string& at) {
    const record* best = nullptr;
    for (const record& r : records)
        if (r.moment <= at && (!best || r.moment >= best->moment)) best = &r;
    return best;
}

std::string fetched(const std::string& moment) {
    std::string loc = "/a.txt @ " + moment;
    buffer* b = anywhen_fetch(loc.data(), loc.size());
    if (!b) return "<none>";
    std::string s((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

void put_host(const std::string& name, const std::string& text) {
    std::ofstream((root_dir + "/drive/" + name).c_str(), std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/hvx_anywhen_log_XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    root_dir = tmpl;
    static bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    snprintf(config.home, sizeof config.home, "%s/home", root_dir.c_str());
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root_dir, ec);
    });
    anywhen_set_clock(clock_now);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (root_dir.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
    std::error_code ec;
    // The per-user folder stays (its name is kept once made); the store goes.
    std::filesystem::remove_all(root_dir + "/home/anywhen", ec);
    std::filesystem::remove_all(root_dir + "/drive", ec);
    std::filesystem::create_directories(root_dir + "/drive", ec);
    pfile_init();
    pfile_reset();
    mount_host_path("/", (root_dir + "/drive").c_str());
    anywhen_close();
    config.anywhen = 1;
    now_s = day_start + 8 * 3600;

    std::vector<record> records;
    std::string host_a = root_dir + "/drive/a.txt";
    size_t i = 0;
    for (int steps = 0; i + 2 <= size && steps < 64; steps++) {
        uint8_t op = data[i], arg = data[i + 1];
        i += 2;
        switch (op % 5) {
        case 0:  // the clock jumps, either way, within the day
            now_s = day_start + (int64_t)(((uint32_t)op << 8 | arg) * 337u % 86400u);
            break;
        case 1: {  // a version of a.txt: some bytes of the input, or a long one
            size_t n = std::min<size_t>((arg & 0x7f) % 24, size - i);
            std::string text((const char*)data + i, n);
            i += n;
            if (arg & 0x80) text = std::string(2000, 'v') + text;
            put_host("a.txt", text);
            anywhen_event(ANYWHEN_FILE_WRITTEN, "/a.txt", host_a.c_str());
            records.push_back({moment_at(now_s), false, text});
            break;
        }
        case 2:  // a.txt deleted
            unlink(host_a.c_str());
            anywhen_event(ANYWHEN_DELETED, "/a.txt", nullptr);
            records.push_back({moment_at(now_s), true, ""});
            break;
        case 3:  // another file
            put_host("b.txt", std::string(arg, 'b'));
            anywhen_event(ANYWHEN_FILE_WRITTEN, "/b.txt", (root_dir + "/drive/b.txt").c_str());
            break;
        default: {  // a damaged "@" line: the next 19 bytes of the input
            size_t n = std::min<size_t>(ANYWHEN_MOMENT_LEN, size - i);
            std::string bad((const char*)data + i, n);
            i += n;
            for (char& c : bad)
                if (c == '\n' || c == '\r') c = '~';
            char log_path[HVX_PATH_MAX];
            if (!anywhen_day_log_path(2026, 3, 1, log_path, sizeof log_path)) abort();
            struct stat st;
            // Only into a log that exists, as damage to a written one.
            if (stat(log_path, &st) == 0) std::ofstream(log_path, std::ios::app) << "@ " << bad << "\n";
            break;
        }
        }
    }

    // Every write's time is listed once; each listed time fetches what was
    // written last at it.
    std::vector<std::string> times;
    if (!anywhen_list_by_day("/a.txt @ " + std::string(day), &times)) abort();
    std::set<std::string> want_times, seen;
    for (const record& r : records)
        if (!r.deleted) want_times.insert(r.moment.substr(11));
    for (const std::string& t : times)
        if (!seen.insert(t).second) abort();
    if (seen != want_times) abort();
    for (const std::string& t : times) {
        std::string m = std::string(day) + "_" + t;
        const record* r = reference(records, m);
        if (!r || fetched(m) != (r->deleted ? "<none>" : r->text)) abort();
    }
    // Any moment of the day, from the input's tail.
    for (size_t k = 0; k + 1 < size && k < 16; k += 2) {
        std::string m = moment_at(day_start + (int64_t)(((uint32_t)data[k] << 8 | data[k + 1]) * 337u % 86400u));
        const record* r = reference(records, m);
        if (fetched(m) != (!r || r->deleted ? "<none>" : r->text)) abort();
    }
    anywhen_close();
    config.anywhen = 0;
    pfile_reset();
    return 0;
}
