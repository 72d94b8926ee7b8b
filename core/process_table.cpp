// The process table: lookup of the records the machine made, the running
// process and the refusal log.
//
// Records are allocated one by one and the table holds pointers to them, so
// compaction on removal moves pointers while every record keeps its address:
// cproc, a slice's remembered caller and the frame driver's root pointer stay
// valid for as long as the record is in the table.
#include <cstdarg>
#include <cstdio>

#include "core/core.h"

Process* cproc = nullptr;

static Process* table[MAX_PROCESSES];
static int num_processes = 0;
static bool root_ended = false;
static void left_table(const Process* p);

bool process_table_add(Process* p) {
    if (num_processes >= MAX_PROCESSES) return false;
    table[num_processes++] = p;
    return true;
}

void process_table_remove(Process* p) {
    const int i = get_process_index(p);
    if (i < 0) return;
    for (int j = i; j + 1 < num_processes; j++) table[j] = table[j + 1];
    table[--num_processes] = nullptr;
    left_table(p);
}

Process* process_table_pop() {
    if (num_processes == 0) return nullptr;
    Process* p = table[--num_processes];
    table[num_processes] = nullptr;
    left_table(p);
    return p;
}

void set_root_process_ended(bool ended) { root_ended = ended; }

int64_t cproc_id() { return cproc ? cproc->id : 0; }
Process* get_current_process() { return cproc; }
void set_current_process(Process* p) { cproc = p; }
int get_process_count() { return num_processes; }

Process* get_process_by_index(int i) {
    return i >= 0 && i < num_processes ? table[i] : nullptr;
}

int get_process_index(const Process* p) {
    if (!p) return -1;
    for (int i = 0; i < num_processes; i++)
        if (table[i] == p) return i;
    return -1;
}

Process* get_process(int64_t id) {
    for (int i = 0; i < num_processes; i++)
        if (table[i]->id == id) return table[i];
    return nullptr;
}

bool program_is_live(int64_t program_id) {
    for (int i = 0; i < num_processes; i++)
        if (table[i]->program_id == program_id && table[i]->state == PROC_RUNNING) return true;
    return false;
}

// Only programs that owe have an entry, so the lookup every slice makes
// reads a short list. A program has an entry only while one of its
// processes is listed, so there are never more than the table's records.
struct owing_program {
    int64_t program_id;
    int64_t cycles;
};
static owing_program owing[MAX_PROCESSES];
static int num_owing = 0;

static int owing_index(int64_t program_id) {
    for (int i = 0; i < num_owing; i++)
        if (owing[i].program_id == program_id) return i;
    return -1;
}

static void forget_owing(int i) {
    owing[i] = owing[--num_owing];
}

static bool program_is_listed(int64_t program_id) {
    for (int i = 0; i < num_processes; i++)
        if (table[i]->program_id == program_id) return true;
    return false;
}

// A record left the table: the debt goes with its program's last one.
static void left_table(const Process* p) {
    const int i = owing_index(p->program_id);
    if (i >= 0 && !program_is_listed(p->program_id)) forget_owing(i);
}

int64_t program_debt(int64_t program_id) {
    const int i = owing_index(program_id);
    return i < 0 ? 0 : owing[i].cycles;
}

void add_program_debt(int64_t program_id, int64_t cycles) {
    if (cycles <= 0 || program_id <= LAST_SYSTEM_PROCESS_ID || !program_is_listed(program_id)) return;
    int i = owing_index(program_id);
    if (i < 0) {
        if (num_owing >= MAX_PROCESSES) return;  // cannot happen: one entry per listed program
        i = num_owing++;
        owing[i] = {program_id, 0};
    }
    owing[i].cycles = owing[i].cycles > INT64_MAX - cycles ? INT64_MAX : owing[i].cycles + cycles;
}

int64_t pay_program_debt(int64_t program_id, int64_t cycles) {
    const int i = cycles > 0 ? owing_index(program_id) : -1;
    if (i < 0) return 0;
    if (owing[i].cycles > cycles) {
        owing[i].cycles -= cycles;
        return cycles;
    }
    const int64_t paid = owing[i].cycles;
    forget_owing(i);
    return paid;
}

Process* root_process_record() { return num_processes > 0 && !root_ended ? table[0] : nullptr; }
bool root_process_ended() { return root_ended; }

int count_recent_sandboxed_processes() {
    int64_t since = (int64_t)os_get_time() - RECENT_SANDBOX_MS;
    int n = 0;
    for (int i = 0; i < num_processes; i++)
        if (table[i]->sandboxed && table[i]->created > since) n++;
    return n;
}

bool process_state_busy(const Process* p) {
    return p && (p->resuming || p->host_busy || p->closing);
}

bool first_refusal(Process* p, uint32_t limit) {
    if (!p) return true;
    if (p->limits_logged & limit) return false;
    p->limits_logged |= limit;
    return true;
}

void log_refusal_once(Process* p, uint32_t limit, const char* fmt, ...) {
    if (!first_refusal(p, limit)) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    krio_debugf("process %lld: %s\n", p ? (long long)p->id : 0LL, text);
}

void release_atomic_hold(const Process* p) {
    if (p && app.atomic_pid == p->id) app.atomic_pid = 0;
}
