// Scheduler: cycle budgets and debt, slices, per-frame upkeep and fatal ends.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <pthread.h>
#include <unistd.h>

#include "audio/audio.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

int64_t total_frame_cycles = 0;
int64_t total_frame_cycles_since_wm_flip = 0;

int64_t get_total_frame_cycles() { return total_frame_cycles; }
int64_t get_total_frame_cycles_since_wm_flip() { return total_frame_cycles_since_wm_flip; }

static int32_t current_debt_cap() {
    return current_frame_budget() == CPU_FRAME_BUDGET_FAST ? CPU_DEBT_CAP_FAST : CPU_DEBT_CAP;
}

static void add_owed(Process* p, int64_t n) {
    if (n > 0) p->owed_cycles = p->owed_cycles > INT64_MAX - n ? INT64_MAX : p->owed_cycles + n;
}

// The kernel's own processes forget debt past the cap: were the root to owe
// a long call's cycles, every process would stop while it paid. Any other
// process's program pays for all the host time its code took, however long.
static bool pays_all_overruns(const Process* p) { return !is_system_process_id(p->id); }

// ---------------------------------------------------------------------------
// The host-time backstop
// ---------------------------------------------------------------------------

// A charge missed by hand must not let a slice hold the machine: while a
// slice of a process past the system's ids runs, it may take on its thread's
// CPU clock (a busy host does not run it down) a bound that its charged
// cycles set, times this host's speed factor. Nothing of this costs a system
// call while a slice keeps within it: the slice's start is read from the
// monotonic clock (served in user space), and one one-shot timer on that
// clock, left armed across slices, wakes the thread no sooner than the
// slice's deadline could be reached (CPU time never runs ahead of wall
// time); a slice whose deadline lies past the timer's moves only the
// deadline word. The handler re-arms for what is left, lets the timer lapse
// when no slice is live, and reads the thread's CPU clock only once the wall
// deadline has passed; found past the bound, it lowers the budget words, so
// that the interpreter's next check comes here (backstop_recheck) before it
// yields or raises. A check that finds the slice within its bound (a call
// charged after its work) sets the words back and sets the deadline for the
// rest. The slice's CPU start is taken from a reading made once a frame, and
// the wall time since (never less than the CPU time), so a host that ran
// something else meanwhile only widens the bound.
namespace {
struct backstop_slice {
    backstop_slice* outer;
    Process* p;
    bool armed;  // held to the bound
    bool cut;    // found past it
    int64_t wall_start;     // monotonic clock at its start
    int32_t start_cycles;
    int32_t budget;         // the cycles the slice was given
    int64_t scope_cycles;   // the outer counts of host scopes open in it
    int64_t deferred;       // charged straight to its program's debt
    int32_t outer_saved_allowance;  // the outer slice's, while this one runs
    // While an inner slice runs: this one's deadline words, set aside.
    int64_t cpu_start, allow_ns, wall_deadline;
};
}  // namespace

static backstop_slice* backstop_top = nullptr;
// Read by the signal handler (which runs on the same thread, between any two
// of its instructions): whether the timer stands for a running slice, whether
// it found the bound passed since the last check, the wall time at which to
// read the CPU clock, the slice's CPU start (at most; the handler lowers it to
// the clock when it reads less) and the CPU time it may take from there.
static volatile sig_atomic_t backstop_live = 0;
static volatile sig_atomic_t backstop_fired = 0;
static volatile sig_atomic_t backstop_saved_allowance = 0;
static std::atomic<int64_t> backstop_wall_deadline{INT64_MAX};
static std::atomic<int64_t> backstop_cpu_start{INT64_MAX};
static std::atomic<int64_t> backstop_allow_ns{INT64_MAX};
// When the armed timer fires (monotonic), 0 when it is not armed; and, while
// the thread moves it, whether a signal came meanwhile (it is then armed anew).
static std::atomic<int64_t> backstop_timer_at{0};
static volatile sig_atomic_t backstop_arming = 0;
static volatile sig_atomic_t backstop_missed = 0;
static volatile sig_atomic_t backstop_settime_failed = 0;
static std::atomic<int64_t> backstop_calls{0};
static timer_t backstop_timer;
// The timer's thread and process, 0 when none is made; the calling thread's
// id and the process's, read once (a fork clears them: timers are not
// inherited).
static pid_t backstop_tid = 0, backstop_pid = 0;
static thread_local pid_t backstop_my_tid = 0;
static pid_t backstop_my_pid = 0;
// The CPU and wall clocks read together, once a frame (INT64_MIN: never).
static int64_t backstop_anchor_cpu = INT64_MIN, backstop_anchor_wall = 0;
static double backstop_scale = 0;  // the host's speed factor, 0 until measured
static_assert(std::atomic_ref<int32_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free,
              "the handler may touch lock-free atomics only");
// The values the backstop puts in the budget words: a yield request, and no
// allowance for code that may not yield. Distinct from everyone else's, so a
// recheck sets back only what is still its own.
static constexpr int32_t BACKSTOP_YIELD_MARK = CPU_SUPERYIELD | 1;
static constexpr int32_t BACKSTOP_ALLOWANCE_MARK = LANG_NONYIELD_NONE - 1;
static_assert(BACKSTOP_ALLOWANCE_MARK < 0, "the mark must leave no allowance");

static void backstop_mark() {
    std::atomic_ref<int32_t> yield(cpu_superyielding), allowance(cpu_nonyield_allowance);
    if (yield.load(std::memory_order_relaxed) == 0) yield.store(BACKSTOP_YIELD_MARK, std::memory_order_relaxed);
    const int32_t a = allowance.load(std::memory_order_relaxed);
    if (a >= 0) {
        backstop_saved_allowance = a;
        allowance.store(BACKSTOP_ALLOWANCE_MARK, std::memory_order_relaxed);
    }
    lua_hvx_budget_lowered();  // a loop charging a run of instructions ahead sees it at its next jump
}

static void backstop_unmark() {
    if (cpu_superyielding == BACKSTOP_YIELD_MARK) cpu_superyielding = 0;
    if (cpu_nonyield_allowance == BACKSTOP_ALLOWANCE_MARK) cpu_nonyield_allowance = backstop_saved_allowance;
}

int64_t backstop_system_calls() { return backstop_calls.load(std::memory_order_relaxed); }

static int64_t wall_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // no system call: served in user space
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int64_t thread_cpu_ns() {
    backstop_calls.fetch_add(1, std::memory_order_relaxed);
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Arms the timer to fire at the monotonic time at, ns from now (at least 1).
static void backstop_set_timer(int64_t at, int64_t ns) {
    if (ns < 1) ns = 1;
    backstop_calls.fetch_add(1, std::memory_order_relaxed);
    backstop_timer_at.store(at, std::memory_order_relaxed);
    itimerspec its{};
    its.it_value.tv_sec = ns / 1000000000;
    its.it_value.tv_nsec = ns % 1000000000;
    if (timer_settime(backstop_timer, 0, &its, nullptr) != 0) {
        backstop_timer_at.store(0, std::memory_order_relaxed);
        backstop_settime_failed = 1;
    }
}

// (clock_gettime and timer_settime may be called from a handler.)
static void backstop_signal(int) {
    const int saved_errno = errno;
    backstop_timer_at.store(0, std::memory_order_relaxed);  // one-shot: it has lapsed
    if (backstop_arming) {
        backstop_missed = 1;
    } else if (backstop_live) {
        const int64_t wall = wall_ns();
        const int64_t due = backstop_wall_deadline.load(std::memory_order_relaxed);
        if (wall < due) {
            backstop_set_timer(due, due - wall);
        } else {
            const int64_t cpu = thread_cpu_ns();
            int64_t start = backstop_cpu_start.load(std::memory_order_relaxed);
            if (start > cpu) backstop_cpu_start.store(start = cpu, std::memory_order_relaxed);
            const int64_t allow = backstop_allow_ns.load(std::memory_order_relaxed);
            const int64_t left = allow > cpu - start ? allow - (cpu - start) : 0;
            if (left > 0) {
                backstop_wall_deadline.store(wall + left, std::memory_order_relaxed);
                backstop_set_timer(wall + left, left);
            } else {
                backstop_fired = 1;
                backstop_mark();
                backstop_set_timer(wall + BACKSTOP_REPEAT_NS, BACKSTOP_REPEAT_NS);  // a host scope may set the words back
            }
        }
    }
    errno = saved_errno;
}

// The live slice's timer fires by the monotonic time at: left as it is
// when it fires sooner (the handler waits again for the rest), else armed.
static void backstop_wake_by(int64_t at, int64_t now) {
    backstop_arming = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const int64_t armed = backstop_timer_at.load(std::memory_order_relaxed);
    if (armed == 0 || armed > at) backstop_set_timer(at, at - now);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    backstop_arming = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (backstop_missed) {
        backstop_missed = 0;
        backstop_set_timer(at, at - wall_ns());
    }
    if (backstop_settime_failed == 1) {
        backstop_settime_failed = 2;  // logged once
        krio_debugf("the host-time backstop could not arm its timer (error %d)\n", errno);
    }
}

// The words for a live slice: its CPU start (at most), the CPU time it may
// take from there, and when the wall clock could first show it taken.
static void backstop_hold(int64_t cpu_start, int64_t allow, int64_t wall_deadline, int64_t now) {
    backstop_live = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    backstop_cpu_start.store(cpu_start, std::memory_order_relaxed);
    backstop_allow_ns.store(allow, std::memory_order_relaxed);
    backstop_wall_deadline.store(wall_deadline, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    backstop_live = 1;
    backstop_wake_by(wall_deadline, now);
}

static void backstop_forked() {
    backstop_my_tid = 0;
    backstop_my_pid = 0;
    backstop_tid = backstop_pid = 0;
    backstop_live = 0;
    backstop_fired = 0;
    backstop_anchor_cpu = INT64_MIN;
    backstop_timer_at.store(0, std::memory_order_relaxed);
}

// The timer of the calling thread, made at its first slice (script code runs
// on one thread); false where none can be made: slices then run unheld.
// Keyed by process as well, so that a process made by fork() makes its own.
static bool backstop_ready() {
    if (backstop_my_tid == 0) {
        backstop_my_tid = gettid();
        backstop_my_pid = getpid();
    }
    if (backstop_tid == backstop_my_tid && backstop_pid == backstop_my_pid) return true;
    if (backstop_tid != 0 && backstop_pid == backstop_my_pid) timer_delete(backstop_timer);
    backstop_tid = backstop_pid = 0;
    backstop_timer_at.store(0, std::memory_order_relaxed);
    static bool handled = false;
    if (!handled) {
        backstop_calls.fetch_add(2, std::memory_order_relaxed);
        struct sigaction sa{};
        sa.sa_handler = backstop_signal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        if (sigaction(SIGRTMIN + BACKSTOP_SIGNAL_OFFSET, &sa, nullptr) != 0) return false;
        if (pthread_atfork(nullptr, nullptr, backstop_forked) != 0) return false;
        handled = true;
    }
    backstop_calls.fetch_add(1, std::memory_order_relaxed);
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = SIGRTMIN + BACKSTOP_SIGNAL_OFFSET;
    ev._sigev_un._tid = backstop_my_tid;  // (sigev_notify_thread_id where the C library names it)
    if (timer_create(CLOCK_MONOTONIC, &ev, &backstop_timer) != 0) {
        static bool told = false;
        if (!told) krio_debugf("the host-time backstop could not make its timer (error %d)\n", errno);
        told = true;
        return false;
    }
    backstop_tid = backstop_my_tid;
    backstop_pid = backstop_my_pid;
    return true;
}

// ns of thread CPU time a paid loop takes a cycle on this host now: the best
// of a few runs in a state of its own, the budget words left as they were.
static double paid_ns_per_cycle() {
    const int32_t cycles = cpu_cycles, max = cpu_cycles_max, superyield = cpu_superyielding,
                  allowance = cpu_nonyield_allowance;
    lua_State* L = luaL_newstate();
    double best = 0;
    if (L && luaL_loadstring(L, BACKSTOP_PAID_LOOP) == LUA_OK) {
        lua_setglobal(L, "paid");
        for (int i = 0; i < BACKSTOP_PAID_RUNS; i++) {
            cpu_cycles = 0;
            cpu_cycles_max = INT32_MAX;
            cpu_superyielding = 0;
            cpu_nonyield_allowance = LANG_NONYIELD_CEILING;
            lua_getglobal(L, "paid");
            const int64_t t0 = thread_cpu_ns();
            const int status = lua_pcall(L, 0, 0, 0);
            const double ns = (double)(thread_cpu_ns() - t0);
            if (status != LUA_OK) break;
            if (cpu_cycles > 0 && (best == 0 || ns / cpu_cycles < best)) best = ns / cpu_cycles;
        }
    }
    if (L) lua_close(L);
    cpu_cycles = cycles, cpu_cycles_max = max, cpu_superyielding = superyield, cpu_nonyield_allowance = allowance;
    return best;
}

double backstop_host_scale() {
    if (backstop_scale == 0) {
        const double ns = paid_ns_per_cycle();
        const double k = ns > BACKSTOP_REFERENCE_NS_PER_CYCLE ? ns / BACKSTOP_REFERENCE_NS_PER_CYCLE : 1.0;
        backstop_scale = k * (double)BACKSTOP_SANITIZER_SLOWDOWN;
        krio_debugf("host-time bounds scaled by %.2f (a paid cycle takes %.2f ns)\n", backstop_scale, ns);
    }
    return backstop_scale;
}

void backstop_set_host_scale(double k) { backstop_scale = k > 0 ? k : 0; }

static int64_t backstop_charged(const backstop_slice& b, int32_t cycles) {
    return b.scope_cycles + cycles - b.start_cycles + b.deferred;
}

static int64_t clamp_ns(double ns) { return ns >= (double)INT64_MAX ? INT64_MAX : ns < 1 ? 1 : (int64_t)ns; }

// What the slice's host time may reach after charging charged cycles: the
// margin and the factor times their worth, on this host; past its budget
// (where code cannot yield), no more than the cap, which never cuts below
// what a slice that kept to its budget may take.
static int64_t backstop_bound_ns(const backstop_slice& b, int64_t charged) {
    const double k = backstop_host_scale();
    auto bound = [&](int64_t c) {
        const double worth_ns = (double)(c > 0 ? c : 0) * 1e9 / (double)CPU_CYCLES_PER_SECOND;
        return ((double)BACKSTOP_MARGIN_NS + worth_ns * (double)BACKSTOP_FACTOR) * k;
    };
    const double cap = std::max((double)BACKSTOP_NONYIELD_CAP_NS * k, bound(b.budget));
    return clamp_ns(std::min(bound(charged), cap));
}

void backstop_recheck() {
    if (!backstop_fired) return;
    backstop_live = 0;
    backstop_fired = 0;
    backstop_slice* b = backstop_top;
    if (!b || !b->armed) {
        backstop_unmark();
        return;
    }
    const int64_t cpu = thread_cpu_ns(), now = wall_ns();
    int64_t start = backstop_cpu_start.load(std::memory_order_relaxed);
    if (start > cpu) start = cpu;
    if (!b->cut) {
        const int64_t host = cpu - start;
        const int64_t bound = backstop_bound_ns(*b, backstop_charged(*b, cpu_cycles));
        if (host < bound) {
            backstop_unmark();
            backstop_hold(start, bound, now + (bound - host), now);
            return;
        }
        b->cut = true;
    }
    // Past it: the handler lowers the words again at every repeat.
    backstop_mark();
    backstop_hold(start, 0, now + BACKSTOP_REPEAT_NS, now);
}

// Once a frame, before its slices: where the thread's CPU clock stands.
void backstop_new_frame() {
    if (backstop_tid == 0) return;  // no slice held yet
    backstop_anchor_cpu = thread_cpu_ns();
    backstop_anchor_wall = wall_ns();
}

// Starts holding a slice of p (not a system process's) to its bound; an
// outer slice waits meanwhile.
static void backstop_begin(backstop_slice& b, Process* p) {
    b = backstop_slice{};
    b.outer = backstop_top;
    b.p = p;
    b.start_cycles = cpu_cycles;
    b.budget = cpu_cycles_max;
    b.armed = !is_system_process_id(p->id) && backstop_ready();
    if (b.armed) {
        backstop_host_scale();  // measured before its clock starts
        if (backstop_anchor_cpu == INT64_MIN) backstop_new_frame();
    }
    b.outer_saved_allowance = backstop_saved_allowance;
    backstop_live = 0;
    backstop_fired = 0;
    backstop_top = &b;
    if (!b.armed && !(b.outer && b.outer->armed)) return;
    const int64_t now = wall_ns();
    b.wall_start = now;
    if (backstop_slice* o = b.outer) {
        o->cpu_start = backstop_cpu_start.load(std::memory_order_relaxed);
        o->allow_ns = backstop_allow_ns.load(std::memory_order_relaxed);
        o->wall_deadline = backstop_wall_deadline.load(std::memory_order_relaxed);
    }
    if (!b.armed) return;  // the timer lapses at its next signal
    // The CPU clock ran no faster than the wall clock since the frame's reading.
    const int64_t start = backstop_anchor_cpu == INT64_MIN ? INT64_MAX
                                                            : backstop_anchor_cpu + (now - backstop_anchor_wall);
    const int64_t allow = backstop_bound_ns(b, 0);
    backstop_hold(start, allow, now + allow, now);
}

// The slice ran ran cycles: when it passed its bound, it is counted as cut,
// logged once, and its program owes the host time beyond its cycles' worth.
// An outer slice is held again for what is left of its own bound.
static void backstop_end(backstop_slice& b, int64_t ran) {
    backstop_live = 0;
    const bool fired = backstop_fired;
    backstop_fired = 0;
    backstop_top = b.outer;
    if (!b.armed && !(b.outer && b.outer->armed)) return;
    if (b.armed && (b.cut || fired)) {
        const int64_t cpu = thread_cpu_ns();
        int64_t start = backstop_cpu_start.load(std::memory_order_relaxed);
        if (start > cpu) start = cpu;
        const int64_t host = cpu - start;
        const int64_t charged = backstop_charged(b, hvx_sat32(ran));
        if (b.cut || host > backstop_bound_ns(b, charged)) {
            Process* p = b.p;
            p->backstop_cuts++;
            log_refusal_once(p, LIMIT_LOGGED_BACKSTOP,
                             "slice cut: its host time passed %lld times what its cycles stand for, "
                             "on this host; the rest is owed",
                             (long long)BACKSTOP_FACTOR);
            const double worth = (double)host * (double)CPU_CYCLES_PER_SECOND / 1e9;
            const int64_t owed = worth >= (double)INT64_MAX ? INT64_MAX : (int64_t)worth - charged;
            add_program_debt(p->program_id, owed);
        }
    }
    backstop_slice* o = b.outer;
    if (!o || !o->armed) return;  // the timer lapses at its next signal
    // Its words are back as they were: a request of ours is judged afresh.
    backstop_saved_allowance = b.outer_saved_allowance;
    backstop_unmark();
    // The inner slice's time is its own: the outer's start and deadline move
    // on by its wall time (no less than its CPU time).
    const int64_t now = wall_ns(), away = now - b.wall_start;
    const int64_t start = o->cpu_start > INT64_MAX - away ? INT64_MAX : o->cpu_start + away;
    if (o->cut) {
        backstop_hold(start, 0, now, now);
        return;
    }
    backstop_hold(start, o->allow_ns, o->wall_deadline > INT64_MAX - away ? INT64_MAX : o->wall_deadline + away, now);
}

void charge_compile(size_t len) {
    Process* p = cproc;
    if (!p) return;
    const int64_t cost = len > (size_t)(INT64_MAX / COMPILE_CYCLES_PER_BYTE) ? INT64_MAX
                                                                            : (int64_t)len * COMPILE_CYCLES_PER_BYTE;
    // This slice takes what the debt cap carries; the rest is owed.
    const int64_t now = cost < CPU_DEBT_CAP ? cost : CPU_DEBT_CAP;
    spend_cpu((int32_t)now);
    if (backstop_top) backstop_top->deferred += cost - now;
    if (pays_all_overruns(p)) add_program_debt(p->program_id, cost - now);
    else add_owed(p, cost - now);
}

bool process_pays_for_compile(const Process* p) {
    if (!p) return false;
    if (!pays_all_overruns(p)) return p->owed_cycles > 0;
    return program_debt(p->program_id) > current_debt_cap();
}

// ---------------------------------------------------------------------------
// Error reports and fatal ends
// ---------------------------------------------------------------------------

[[noreturn]] static void fatal_end(int index, const char* message) {
    if (index == 0) {
        puts(KERNEL_FATAL_TEXT);
        krio_debugf("%s\n", KERNEL_FATAL_TEXT);
    } else {
        puts(WM_FATAL_TEXT);
        puts(message);
        krio_debugf("%s\n", WM_FATAL_TEXT);
    }
    krio_debugf("%s\n", message);
    fflush(stdout);
    // Unsaved cartridge edits and the history store reach the disk first.
    halvoran_exit(0);
}

// Out of memory or past the non-yieldable ceiling: reported, and removed
// whatever its id (the kernel and the window manager end the program).
static void resource_end(Process* p, const char* what) {
    p->state = PROC_ENDED;
    release_atomic_hold(p);
    report_error((std::string("*runtime error: ") + what).c_str());
    int idx = get_process_index(p);
    if (idx == 0 || idx == 1) fatal_end(idx, what);
    kill_process_by_index(idx);
}

static int64_t frames_counted = 0;

int64_t frames_begun() { return frames_counted; }

static int32_t allowance_of(const Process* p) {
    if (!p) return LANG_NONYIELD_CEILING;
    if (p->runaway) return LANG_NONYIELD_NONE;
    if (is_system_process_id(p->program_id)) return LANG_NONYIELD_CEILING;
    const int64_t age = frames_counted - p->start_frame;
    const int64_t grown = age < 0 ? 0 : age >= LANG_NONYIELD_CEILING / NONYIELD_ALLOWANCE_GROWTH
                                        ? LANG_NONYIELD_CEILING
                                        : age * NONYIELD_ALLOWANCE_GROWTH;
    const int64_t a = (int64_t)NONYIELD_YOUNG_ALLOWANCE + grown;
    return a > LANG_NONYIELD_CEILING ? LANG_NONYIELD_CEILING : (int32_t)a;
}

// The pool young slices share past their own allowance (NONYIELD_YOUNG_POOL),
// and the frame of the last young slice that ran past its own.
static int64_t young_pool = NONYIELD_YOUNG_POOL;
static int64_t young_overran_in = INT64_MIN / 2;

void reset_young_pool() {
    young_pool = NONYIELD_YOUNG_POOL;
    young_overran_in = INT64_MIN / 2;
}

// What a slice of p may draw from the pool, given its own allowance: none
// for a runaway or an allowance grown to the ceiling.
static int64_t young_pool_for(int32_t own) {
    if (own < 0 || own >= LANG_NONYIELD_CEILING) return 0;
    if (frames_counted - young_overran_in >= NONYIELD_YOUNG_POOL_FRAMES) young_pool = NONYIELD_YOUNG_POOL;
    return young_pool;
}

// A young slice ran over cycles past its budget: what passed its own
// allowance came from the pool, and it refills only after a quiet while.
static void young_pool_draw(int32_t own, int64_t over) {
    if (own < 0 || own >= LANG_NONYIELD_CEILING || over <= own) return;
    young_overran_in = frames_counted;
    const int64_t drawn = over - own;
    young_pool = drawn >= young_pool ? 0 : young_pool - drawn;
}

// The owner of L's code ran past the ceiling: from now on it stops at its
// next check (yieldable code yields, anything else raises at once), it ends
// when the host gets control back, and whoever made it owes the cycles.
void process_nonyield_overrun(lua_State* L) {
    void* ud = nullptr;
    if (lua_getallocf(L, &ud) != l_alloc) return;
    auto* p = (Process*)ud;
    if (!p || get_process_index(p) < 0) return;
    cpu_nonyield_allowance = LANG_NONYIELD_NONE;
    cpu_superyielding = CPU_SUPERYIELD;
    // A closing state's finalizer past its share: the rest are left out, and
    // its program has paid for what it ran.
    if (p->runaway || p->closing) return;
    p->runaway = 1;
    int64_t over = (int64_t)cpu_cycles - cpu_cycles_max;
    over = over < 0 ? 0 : over > LANG_NONYIELD_CEILING ? LANG_NONYIELD_CEILING : over;
    krio_debugf("process %lld ran past the ceiling of a non-yieldable call\n", (long long)p->id);
    // The system's own processes start programs for users; they are not
    // made to pay for them. Owed cycles outlast the debt cap. Where the call
    // ran in a slice, its end charges the same program only for the rest.
    Process* creator = get_process(p->parent);
    if (creator && creator != p && pays_all_overruns(creator)) {
        add_program_debt(creator->program_id, over);
        p->runaway_payer = creator->program_id;
        p->runaway_paid = over;
        krio_debugf("process %lld owes %lld cycles for it\n", (long long)creator->id, (long long)over);
    }
}

host_run_scope::host_run_scope(const Process* p)
    : cycles_(cpu_cycles), max_(cpu_cycles_max), superyield_(cpu_superyielding), allowance_(cpu_nonyield_allowance) {
    cpu_cycles = 0;
    cpu_cycles_max = 0;
    cpu_superyielding = 0;
    cpu_nonyield_allowance = allowance_of(p);
    if (backstop_top) backstop_top->scope_cycles += cycles_;
}

host_run_scope::~host_run_scope() {
    if (backstop_top) backstop_top->scope_cycles -= cycles_;
    const int64_t used = cpu_cycles > 0 ? cpu_cycles : 0;
    const bool overran = cpu_nonyield_allowance == LANG_NONYIELD_NONE;
    cpu_cycles_max = max_;
    cpu_superyielding = superyield_;
    cpu_nonyield_allowance = allowance_;
    int64_t c = (int64_t)cycles_ + (overran ? 0 : used);
    if (allowance_ >= 0 && c > (int64_t)max_ + allowance_) c = (int64_t)max_ + allowance_;
    cpu_cycles = c > INT32_MAX ? INT32_MAX : (int32_t)(c > cycles_ ? c : cycles_);
}

void run_held(Process* p, void (*work)(void*), void* arg) {
    if (!pays_all_overruns(p)) {
        host_run_scope run(p);
        work(arg);
        return;
    }
    const int32_t saved_cycles = cpu_cycles, saved_max = cpu_cycles_max, saved_superyield = cpu_superyielding,
                  saved_allowance = cpu_nonyield_allowance;
    const bool was_runaway = p->runaway;
    const int32_t own = allowance_of(p);
    cpu_cycles = 0;
    cpu_cycles_max = 0;
    cpu_superyielding = 0;
    cpu_nonyield_allowance = own < HOST_RUN_SHARE ? own : HOST_RUN_SHARE;
    backstop_slice held;
    backstop_begin(held, p);
    work(arg);
    int64_t ran = cpu_cycles > 0 ? cpu_cycles : 0;
    backstop_end(held, ran);
    cpu_cycles = saved_cycles;
    cpu_cycles_max = saved_max;
    cpu_superyielding = saved_superyield;
    cpu_nonyield_allowance = saved_allowance;
    // Where it ran past its share here, its creator paid for that already.
    if (!was_runaway && p->runaway && p->runaway_payer == p->program_id) ran -= p->runaway_paid;
    add_program_debt(p->program_id, ran);
}

// The host is about to run code in p's state outside a slice: a collection
// or a traceback may run finalizers, and those may ask for a slice of p (it
// is refused) or for its removal (it waits until the state is let go).
static void hold_state(Process* p) {
    p->host_busy++;
    p->slice_refs++;
}
static void release_state(Process* p) {
    p->host_busy--;
    p->slice_refs--;
}

static std::string error_text(lua_State* L) {
    if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER) return lua_tostring(L, -1);
    return std::string("(error object is a ") + luaL_typename(L, -1) + " value)";
}

static void runtime_error_end(Process* p, int status) {
    p->state = PROC_FAILED;
    release_atomic_hold(p);
    lua_State* L = p->L;
    std::string msg = error_text(L);
    krio_debugf("run_process_slice() for process %ld error: %d %s\n", (long)p->id, status, msg.c_str());
    lift_memory_ceiling(true);
    hold_state(p);
    std::string tb;
    run_held(p, [&] {
        luaL_traceback(L, L, nullptr, 0);
        tb = lua_tostring(L, -1) ? lua_tostring(L, -1) : "";
        lua_pop(L, 1);
    });
    release_state(p);
    lift_memory_ceiling(false);
    // Line by line: the log keeps every text on a line of its own.
    krio_debug("--------\n");
    krio_debug("traceback:\n");
    for (size_t at = 0; at <= tb.size();) {
        size_t nl = tb.find('\n', at);
        if (nl == std::string::npos) nl = tb.size();
        krio_debugf("%s\n", tb.substr(at, nl - at).c_str());
        at = nl + 1;
    }
    krio_debug("---------\n");
    report_error("*runtime error");
    report_error(msg.c_str());
    size_t cut = tb.find("/system/");
    if (cut != std::string::npos) tb.resize(cut);
    report_error(tb.c_str());
    int idx = get_process_index(p);
    if (idx == 0 || idx == 1) fatal_end(idx, msg.c_str());
    if (p->id > LAST_SYSTEM_PROCESS_ID) kill_process_by_index(idx);
}

// ---------------------------------------------------------------------------
// Slices
// ---------------------------------------------------------------------------

// Memory check and the end by resume status, once the slice has returned.
static void finish_slice(Process* p, int status, int nres) {
    // A memory error the script did not catch: it ran out of memory, even
    // where the failed request had no second attempt.
    if (status == LUA_ERRMEM) p->out_of_memory = 1;
    if (!p->out_of_memory && !p->runaway && process_memory_in_use(p) > MEMORY_LIMIT) {
        hold_state(p);
        run_held(p, [p] { lua_gc(p->L, LUA_GCCOLLECT, 0); });
        release_state(p);
        if (process_memory_in_use(p) > MEMORY_LIMIT) p->out_of_memory = 1;
    }
    if (p->out_of_memory || p->runaway) {
        resource_end(p, p->out_of_memory ? OUT_OF_MEMORY_TEXT : RUNAWAY_TEXT);
        return;
    }
    if (status == LUA_YIELD) {
        lua_pop(p->L, nres);
    } else if (status == LUA_OK) {
        p->state = PROC_ENDED;
        kill_process_by_index(get_process_index(p));
    } else {
        runtime_error_end(p, status);
    }
}

// Counts a slice given by caller: to p what it used of the slice (the rest
// is its debt), to the frame all it ran, up to the frame's budget, so that
// no other slice follows one that ran past what was left, and to another
// caller's figures all it ran.
static void account_slice(Process* p, Process* caller, int64_t used, int64_t ran, int32_t budget) {
    p->frame_cycles += used;
    p->cycles_since_flip += used;
    const int64_t before = total_frame_cycles;
    if (before < budget) total_frame_cycles = ran < budget - before ? before + ran : budget;
    total_frame_cycles_since_wm_flip += total_frame_cycles - before;
    if (caller) {
        caller->frame_cycles += caller == p ? used : ran;
        caller->cycles_since_flip += caller == p ? used : ran;
    }
}

// What a slice ran past its end, owed once by each program it is charged
// to: a runaway's creator's program was charged already for what passed the
// ceiling.
static void charge_overrun(const Process* p, int64_t program, int64_t over) {
    if (program == p->runaway_payer) over -= p->runaway_paid;
    add_program_debt(program, over);
}

int64_t run_process_slice(Process* p, double fraction, lua_State* from, bool* resumed) {
    if (resumed) *resumed = false;
    if (!p) return 0;
    if (app.atomic_pid != 0 && p->id > LAST_SYSTEM_PROCESS_ID && p->id != app.atomic_pid) return 0;
    if (!config.headless && config.display_pid <= LAST_SYSTEM_PROCESS_ID && p->id > LAST_SYSTEM_PROCESS_ID &&
        boot_get_time() < BOOT_WAIT_MS)
        return 0;
    // A state already running (resumed further down the chain, or running a
    // finalizer for the host) cannot be resumed again.
    if (p->state != PROC_RUNNING || !p->L || process_state_busy(p) || lua_status(p->L) > LUA_YIELD) return 0;
    p->slices++;

    const int32_t budget = current_frame_budget();
    double want = fraction * budget;
    if (!(want >= 1.0)) return 0;
    int64_t slice = want >= budget ? budget : (int64_t)want;
    if (slice > budget - total_frame_cycles) slice = budget - total_frame_cycles;
    if (slice <= 0) return 0;
    int64_t granted = (int64_t)p->granted + slice;
    p->granted = granted > INT32_MAX ? INT32_MAX : (int32_t)granted;

    const int32_t cap = current_debt_cap();
    const bool pays = pays_all_overruns(p);
    const int64_t program = p->program_id;
    Process* caller = cproc;
    int32_t start = 0;
    if (pays) {
        // The program's debt, whichever of its processes ran it up. One that
        // covers the whole slice pays it off without a resume: a resumed
        // slice runs at least one instruction, and a loop around a long call
        // that cannot yield would reach the call again after a few.
        start = (int32_t)pay_program_debt(program, slice);
        if (start >= slice) {
            account_slice(p, caller, slice, slice, budget);
            return slice;
        }
    } else {
        if (p->owed_cycles > 0 && p->cpu_debt < cap) {
            int64_t move = (int64_t)cap - p->cpu_debt;
            if (move > p->owed_cycles) move = p->owed_cycles;
            p->cpu_debt += (int32_t)move;
            p->owed_cycles -= move;
        }
        int32_t debt = p->cpu_debt < cap ? p->cpu_debt : cap;
        start = debt < slice ? debt : (int32_t)slice;
        if (start < 0) start = 0;
        p->cpu_debt = debt - start;
    }

    const int32_t saved_superyield = cpu_superyielding, saved_cycles = cpu_cycles,
                  saved_max = cpu_cycles_max, saved_allowance = cpu_nonyield_allowance;
    cpu_cycles_max = (int32_t)slice;
    cpu_superyielding = 0;
    const int32_t own_allowance = allowance_of(p);
    const int64_t allowance = own_allowance + young_pool_for(own_allowance);
    cpu_nonyield_allowance = allowance > LANG_NONYIELD_CEILING ? LANG_NONYIELD_CEILING : (int32_t)allowance;
    cpu_cycles = start;
    if (resumed) *resumed = true;

    cproc = p;
    p->slice_refs++;
    p->resuming = 1;
    if (caller) caller->slice_refs++;
    int nres = 0;
    backstop_slice held;
    backstop_begin(held, p);
    int status = lua_resume(p->L, from, 0, &nres);
    backstop_live = 0;
    p->resuming = 0;
    p->slice_refs--;
    if (caller) caller->slice_refs--;

    const int64_t ran = cpu_cycles > 0 ? cpu_cycles : 0;
    const int64_t over = ran > slice ? ran - slice : 0;
    young_pool_draw(own_allowance, over);
    if (pays) {
        charge_overrun(p, program, over);
    } else {
        int64_t d = (int64_t)p->cpu_debt + over;
        p->cpu_debt = d > CPU_DEBT_CAP_FAST ? CPU_DEBT_CAP_FAST : (int32_t)d;
    }
    const int64_t used = ran - over;
    cpu_superyielding = saved_superyield;
    cpu_cycles = saved_cycles;
    cpu_cycles_max = saved_max;
    cpu_nonyield_allowance = saved_allowance;
    backstop_end(held, ran);
    account_slice(p, caller, used, ran, budget);
    // A runaway held the host for the ceiling's time: no other slice runs
    // in this frame, so a frame holds at most one.
    if (p->runaway && total_frame_cycles < budget) total_frame_cycles = budget;
    // Whoever handed out the slice pays for its overrun as well, so tiny
    // slices given to long calls stop the giver too: its program, when that
    // is not the one charged already.
    if (caller && caller != p && pays_all_overruns(caller) && !(pays && caller->program_id == program))
        charge_overrun(p, caller->program_id, over);

    // Kept pinned while the slice is wound up: collections and tracebacks
    // can run finalizers, and those can ask for p's own removal.
    p->slice_refs++;
    if (p->pending == PENDING_NONE) finish_slice(p, status, nres);
    p->slice_refs--;
    if (p->pending != PENDING_NONE && p->slice_refs == 0) process_run_pending(p);
    bool p_gone = get_process_index(p) < 0;
    cproc = p_gone && caller == p ? nullptr : caller;
    if (caller && caller != p && caller->pending != PENDING_NONE) {
        if (caller->slice_refs == 0) process_run_pending(caller);
        else if (caller == cproc) cpu_superyielding = CPU_SUPERYIELD;  // it stops at its next check
    }
    return used;
}

// ---------------------------------------------------------------------------
// Per-frame upkeep
// ---------------------------------------------------------------------------

void prepare_processes_for_frame() {
    frames_counted++;
    backstop_new_frame();
    bool wm_flipped = false;
    for (int i = 0; i < get_process_count(); i++) {
        Process* p = get_process_by_index(i);
        p->frame_cycles_prev = p->flip_cycles;
        p->frame_cycles = 0;
        p->granted_prev = p->granted;
        p->granted = 0;
        if (p->flipped) {
            p->flipped = 0;
            p->fps = 60 / (p->frames_since_flip + 1);
            p->frames_since_flip = 0;
            p->flip_cycles = p->cycles_since_flip;
            p->cycles_since_flip = 0;
            if (p->id == WM_PROCESS_ID) wm_flipped = true;
        } else if (p->frames_since_flip < INT32_MAX) {
            p->frames_since_flip++;
        }
    }
    if (wm_flipped) total_frame_cycles_since_wm_flip = 0;
    total_frame_cycles = 0;
}

void update_processes_after_frame() {
    bool skip_prune = false;
    int64_t now = (int64_t)os_get_time();
    for (int i = 0; i < get_process_count(); i++) {
        Process* p = get_process_by_index(i);
        int step = p->frames_since_flip + 1 < CLOCK_STEP_MAX ? p->frames_since_flip + 1 : CLOCK_STEP_MAX;
        if (p->flipped) p->clock += step;
        if (platform_app.battery_slow) p->clock += step;
        if (p->state == PROC_RUNNING) {
            cproc = p;
            if ((peek_proc(p, ADDR_FLAG_BYTE) & FLAG_BYTE_GC_INC) && p->L && !process_state_busy(p)) {
                hold_state(p);
                run_held(p, [p] { lua_gc(p->L, LUA_GCINC, GC_INC_PAUSE, GC_INC_STEPMUL, 0); });
                release_state(p);
                if (p->pending != PENDING_NONE && p->slice_refs == 0 && process_run_pending(p)) {
                    i--;  // a finalizer asked for its removal; the next record moved here
                    continue;
                }
            }
        }
        if (p->mount_hold && now < p->mount_hold + MOUNT_HOLD_MS) skip_prune = true;
    }
    for (int i = get_process_count() - 1; i >= 0; i--) {
        Process* p = get_process_by_index(i);
        if (i == 0 && root_process_ended()) continue;
        if (p->runaway && p->state == PROC_RUNNING) {
            cproc = p;  // the report comes from it
            resource_end(p, RUNAWAY_TEXT);
        } else if (p->out_of_memory) {
            if (i <= 1) resource_end(p, OUT_OF_MEMORY_TEXT);
            kill_process_by_index(i);
        }
    }
    if (!synth_copy_current() && audio_op_start(0, 1) == 0) audio_op_end();
    if (Process* wm = get_process(WM_PROCESS_ID))
        os_lock_mouse_cursor(peek_proc(wm, ADDR_MOUSE_LOCK_FLAGS), peek_proc(wm, ADDR_MOUSE_EVENT_SENS),
                             peek_proc(wm, ADDR_MOUSE_MOVE_SENS));
    update_all_sockets();
    if (!skip_prune) prune_mounts();
    cproc = get_process_by_index(0);
}
