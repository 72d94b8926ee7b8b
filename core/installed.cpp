// What the ground calls upward: functions the machine installs at start.
#include <cstdlib>

#include "core/core.h"

// Installed by the machine at start, in the order teardown runs them (any
// order releases the same; a fixed one makes every teardown run alike):
// static initializers would leave the order across files unspecified. A
// plain array: a process may still end while the program's statics go.
static process_ended_step ended_steps[PROCESS_ENDED_STEPS_MAX];
static int ended_count = 0;

bool add_process_ended_step(process_ended_step step) {
    if (!step || ended_count >= PROCESS_ENDED_STEPS_MAX) return false;
    ended_steps[ended_count++] = step;
    return true;
}
void clear_process_ended_steps() { ended_count = 0; }
void run_process_ended_steps(int64_t id) {
    for (int i = 0; i < ended_count; i++) ended_steps[i](id);
}
process_ended_step process_ended_step_at(int i) { return i >= 0 && i < ended_count ? ended_steps[i] : nullptr; }

static program_exit_fn installed_exit = nullptr;

void set_program_exit(program_exit_fn fn) { installed_exit = fn; }

void program_exit(int code) {
    if (installed_exit) installed_exit(code);
    std::exit(code);
}
