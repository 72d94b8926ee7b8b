// What the ground calls upward: functions the machine installs at start.
#include <cstdlib>
#include <vector>

#include "core/core.h"

// Installed by the machine at start, in the order teardown must run them:
// static initializers would leave the order across files unspecified.
static std::vector<process_ended_step> ended_steps;

void add_process_ended_step(process_ended_step step) { ended_steps.push_back(step); }
void clear_process_ended_steps() { ended_steps.clear(); }
void run_process_ended_steps(int64_t id) {
    for (process_ended_step step : ended_steps) step(id);
}

static program_exit_fn installed_exit = nullptr;

void set_program_exit(program_exit_fn fn) { installed_exit = fn; }

void program_exit(int code) {
    if (installed_exit) installed_exit(code);
    std::exit(code);
}
