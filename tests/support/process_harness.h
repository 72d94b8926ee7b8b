// Test support for the process runtime: a fresh process table with a scratch
// log, processes made from code, and frames run headless without a window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "tests/support/harness.h"

struct lua_State;

namespace hvx_test {

// While alive, the runtime has an empty process table, zeroed app state,
// headless settings (no boot wait, normal budget) and a log file of its own.
// Only one may exist at a time.
class process_env {
public:
    process_env();
    ~process_env();
    process_env(const process_env&) = delete;
    process_env& operator=(const process_env&) = delete;

    // A process made from code, as the running process would make it (its
    // parent is whatever cproc is). None when it does not compile.
    Process* spawn(const std::string& code, const std::string& name = "test",
                   const std::string& path = "/ram/test.lua", const std::string& sandbox = "",
                   const std::string& cart_id = "");
    // The root as the frame driver makes it, with boot_code loaded on top of
    // its placeholder chunk. Ids 1, 2, 3 follow when made first.
    Process* boot_root(const std::string& boot_code);
    // One host frame as the frame driver runs it: upkeep, the root's whole
    // slice, upkeep. Returns the cycles the root slice used.
    int64_t frame();
    // The texts queued for a process, oldest first (the queue is left as is).
    std::vector<std::string> messages(const Process* p) const;
    // Everything logged since this environment started.
    std::string log() const;
    // Registers a host function as a global in every later spawned process's
    // state (applied in spawn and boot_root).
    void add_global(const char* name, int (*fn)(lua_State*));
    void register_globals(Process* p) const;

private:
    scratch_dir home_;
    std::vector<std::pair<const char*, int (*)(lua_State*)>> globals_;
};

// Runs code in p's state with p current, as its slice would; tostring of its
// results joined by ", " ("" for none), or "error: " and the message.
std::string run_in(Process* p, const std::string& code);
// tostring of the global name in p's state, read without running p (which
// may be suspended).
std::string global_text(Process* p, const char* name);
// One protected call of a host function in p's state, made as p (a plain
// call, not a slice), with the values of a Lua expression list as its
// arguments.
struct call_result {
    std::vector<std::string> values;  // tostring of each result
    int32_t charged;                  // cycles the call charged
    std::string error;                // the message of an error it raised
};
call_result call(Process* p, int (*fn)(lua_State*), const std::string& args);
// A chunk of Lua run the same way; charged counts the whole chunk.
call_result eval(Process* p, const std::string& code);

// Host functions every process made by the environment gets as globals:
//   spend(n)           spend_cpu(n); returns what was charged
//   cycles()           cpu_cycles now
//   pid()              the running process's id
//   spawn(code [, name [, path]])   a child of the running process; its id or nil
//   kill(id)           kill_process of that id
//   restart(id)        restart_process of that id
//   run_slice(id [, fraction])      run_process_slice; the cycles it used

}  // namespace hvx_test
