// Test support for the file calls: a process table with a scratch home (the
// per-user folder), a scratch host folder mounted at "/", RAM at "/ram", and
// processes whose scripts call the system calls as any process would.
#pragma once

#include <string>

#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

namespace hvx_test {

struct files_env {
    process_env procs;
    scratch_dir host;
    files_env() {
        pfile_init();
        pfile_reset();
        mount_host_path("/", host.path().c_str());
        mount_ram_folder("/ram");
        app.video_ready = 1;
        // Scripts here run outside a slice: no budget stops them.
        cpu_cycles = 0;
        cpu_cycles_max = 1 << 30;
    }
    ~files_env() {
        pfile_reset();
        cproc = nullptr;
    }
    std::string at(const std::string& name) const { return host / name; }
    // A process whose state has show(...): the count of its arguments, ':',
    // then each as tostring, joined by ','.
    Process* spawn(const std::string& sandbox = "") {
        Process* p = procs.spawn("", "t", "/ram/t.lua", sandbox);
        if (p)
            run_in(p, "function show(...) local t = {} for i = 1, select('#', ...) do "
                      "t[i] = tostring((select(i, ...))) end return select('#', ...) .. ':' .. table.concat(t, ',') end");
        return p;
    }
};

// Makes a changed cartridge due at the next frame, its first change not
// known (one too large for a frame waits after it in proportion to its size).
inline void make_due(pmount* m) {
    m->first_change = 0;
    m->flush_due = 1;
}

}  // namespace hvx_test
