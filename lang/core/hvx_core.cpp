// The dialect's own pieces of the Lua core: binary float numerals, tonum,
// the escape-slice flag accessor and the bridge from the peek opcodes to the
// running process's memory. Compiled into the core library itself, so the
// core links on its own (tests and benchmarks drive it without processes).

#include "lprefix.h"

#include <algorithm>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lua.h"
#include "lauxlib.h"

#include "lctype.h"
#include "ldebug.h"
#include "ldo.h"
#include "lobject.h"
#include "lopcodes.h"
#include "lstate.h"
#include "lstring.h"

#include "hvx_hooks.h"
#include "lang/lang.h"

// The budget words of the running slice. Script code runs on one thread: the
// interpreter reads them before every instruction and the scheduler sets them
// around each slice. The backstop's signal handler, on that same thread,
// lowers cpu_superyielding and cpu_nonyield_allowance between any two of its
// instructions (relaxed atomic_ref stores of whole words); no other thread
// touches them.
int32_t cpu_cycles = 0;
int32_t cpu_cycles_max = 0;
int32_t cpu_superyielding = 0;
int32_t cpu_nonyield_allowance = HVX_CYCLES_NONYIELD_CEILING;

int32_t spend_cpu(int32_t n) {
    if (n < 0) return n;
    if (n == 0) n = 1;
    cpu_cycles = cpu_cycles > INT32_MAX - n ? INT32_MAX : cpu_cycles + n;  // saturates
    return n;
}

// Told of an overrun only once the runtime has installed its handler.
static void (*nonyield_overrun)(lua_State*) = nullptr;

void lua_hvx_set_nonyield_overrun(void (*fn)(lua_State*)) { nonyield_overrun = fn; }

static void hvx_nonyield_overrun(lua_State* L) {
    if (nonyield_overrun) nonyield_overrun(L);
}

// Asked at a check that finds the budget words lowered, before it acts on
// them: the runtime may lift a request of its own that it finds unfounded.
static void (*budget_recheck)() = nullptr;

void lua_hvx_set_budget_recheck(void (*fn)()) { budget_recheck = fn; }

static void hvx_budget_recheck() {
    if (budget_recheck) budget_recheck();
}

// ---------------------------------------------------------------------------
// Hash seed
// ---------------------------------------------------------------------------

static unsigned int fixed_seed = 0;

void lua_hvx_fixseed(unsigned int seed) { fixed_seed = seed; }

// Lua's own: the time and the addresses of a heap and a stack variable and
// of a function, hashed.
unsigned int hvx_makeseed(lua_State* L) {
    if (fixed_seed != 0) return fixed_seed;
    char buff[3 * sizeof(size_t)];
    unsigned int h = (unsigned int)time(nullptr);
    size_t parts[3] = {(size_t)L, (size_t)&h, (size_t)&lua_newstate};
    std::memcpy(buff, parts, sizeof buff);
    return luaS_hash(buff, sizeof buff, h);
}

// ---------------------------------------------------------------------------
// Budget suspension
// ---------------------------------------------------------------------------

static_assert(LANG_NUM_OPCODES == NUM_OPCODES && LANG_OP_PEEK == OP_PEEK,
              "lang.h's opcode numbers differ from the patched core's");

static constexpr const char* NONYIELD_ERROR = "out of cycles in a non-yieldable call";

void hvx_spend_checked(lua_State* L, lua_Integer n) {
    hvx_spend(n);
    hvx_nonyield_check(L);
}

void hvx_nonyield_past(lua_State* L) {
    hvx_budget_recheck();
    if (cpu_cycles > hvx_nonyield_limit()) {
        hvx_nonyield_overrun(L);
        luaL_error(L, "%s", NONYIELD_ERROR);
    }
}

// The fetch of the instruction at pc found the budget possibly spent (the
// interpreter filters with one comparison; the test here is exact). A thread
// that may not yield is never suspended, but past the ceiling above the
// budget it gets an error, so a comparator or finalizer cannot hang the
// host (the runtime, told of it, may end the process). A yieldable one
// gets its escape-slice flag set and is suspended
// before that instruction, unless a hook suspended it there: then one
// instruction runs first, so every resumption makes progress (after a
// budget suspension the interpreter itself skips the check once). The
// suspension is a yield with no values, as from a hook: resuming runs the
// frame on from pc.
int hvx_budgetcheck(lua_State* L, CallInfo* ci, const Instruction* pc, int32_t cycles) {
    cpu_cycles = cycles;  // the interpreter's own count is the current one
    hvx_budget_recheck();
    if (!yieldable(L)) {
        if (cycles > hvx_nonyield_limit()) {
            if (!isIT(*pc)) L->top = ci->top;  // as for a suspension
            ci->u.l.savedpc = pc + 1;          // the error names this line
            hvx_nonyield_overrun(L);
            luaG_runerror(L, "%s", NONYIELD_ERROR);
        }
        return 0;
    }
    if ((cpu_superyielding | cycles) <= cpu_cycles_max) return 0;
    if (ci->callstatus & CIST_HOOKYIELD) {
        ci->callstatus &= ~CIST_HOOKYIELD;
        return 0;
    }
    L->escapeslice = LANG_ESCAPE_SET;
    if (!isIT(*pc)) L->top = ci->top;  // no open top to keep
    ci->u.l.savedpc = pc;
    // Not lua_yieldk: it expects a hook or host function, not a Lua frame.
    L->status = LUA_YIELD;
    ci->u2.nyield = 0;
    ci->callstatus |= CIST_HOOKYIELD;
    // Straight under lua_resume the interpreter just returns; an unwinding
    // costs some microseconds.
    if (getCcalls(L) == L->hvxcalls) return 1;
    luaD_throw(L, LUA_YIELD);
}

// ---------------------------------------------------------------------------
// Runs
// ---------------------------------------------------------------------------

static constexpr bool is_cheap(int op) {
    switch (op) {
        case OP_MOVE: case OP_LOADI: case OP_LOADK: case OP_LOADKX: case OP_LOADFALSE:
        case OP_LOADTRUE: case OP_LOADNIL:
        case OP_ADDI: case OP_ADDK: case OP_SUBK: case OP_BANDK: case OP_BORK: case OP_BXORK:
        case OP_SHRI: case OP_SHLI:
        case OP_ADD: case OP_SUB: case OP_BAND: case OP_BOR: case OP_BXOR: case OP_SHL:
        case OP_SHR: case OP_UNM:
            return true;
        default:
            return false;
    }
}

struct opcost_table {
    unsigned char v[128];
    constexpr opcost_table() : v{} {
        for (int op = 0; op < 128; op++) v[op] = is_cheap(op) ? HVX_CYCLES_CHEAP : HVX_CYCLES_INSTRUCTION;
    }
};
static constexpr opcost_table opcosts;
const unsigned char hvx_opcost[128] = {
#define C(n) opcosts.v[n], opcosts.v[n + 1], opcosts.v[n + 2], opcosts.v[n + 3]
#define C16(n) C(n), C(n + 4), C(n + 8), C(n + 12)
    C16(0), C16(16), C16(32), C16(48), C16(64), C16(80), C16(96), C16(112)
#undef C16
#undef C
};

// Instructions after which the interpreter enters a new run itself.
static bool ends_run(int op) {
    switch (op) {
        case OP_JMP: case OP_EQ: case OP_LT: case OP_LE: case OP_EQK: case OP_EQI: case OP_LTI:
        case OP_LEI: case OP_GTI: case OP_GEI: case OP_TEST: case OP_TESTSET:
        case OP_CALL: case OP_TAILCALL: case OP_RETURN: case OP_RETURN0: case OP_RETURN1:
        case OP_FORLOOP: case OP_FORPREP: case OP_TFORPREP: case OP_TFORCALL: case OP_TFORLOOP:
            return true;
        default:
            return false;
    }
}

static bool is_mmbin(int op) { return op == OP_MMBIN || op == OP_MMBINI || op == OP_MMBINK; }

// Where the run goes on after the instruction i: past the word a load or
// constructor reads inline, past the metamethod instruction that the
// arithmetic skips when its operands are numbers.
static int run_step(Instruction i) {
    const int op = GET_OPCODE(i);
    if (op >= OP_ADDI && op <= OP_SHR) return 2;
    switch (op) {
        case OP_LOADKX: case OP_NEWTABLE: case OP_LFALSESKIP: return 2;
        case OP_SETLIST: return GETARG_k(i) ? 2 : 1;
        default: return 1;
    }
}

ptrdiff_t hvx_buildruns(lua_State* L, Proto* p) {
    const int n = p->sizecode;
    auto* runs = static_cast<unsigned int*>(std::malloc(sizeof(unsigned int) * (n > 0 ? (size_t)n : 1)));
    if (!runs) luaD_throw(L, LUA_ERRMEM);
    for (int x = n - 1; x >= 0; x--) {
        const Instruction i = p->code[x];
        const unsigned int cost = hvx_opcost[GET_OPCODE(i)];
        if (ends_run(GET_OPCODE(i))) {
            runs[x] = cost;
        } else {
            const int next = x + run_step(i);
            const unsigned int rest = next < n ? runs[next] : HVX_RUN_UNKNOWN;
            runs[x] = rest >= HVX_RUN_UNKNOWN - cost ? HVX_RUN_UNKNOWN : rest + cost;
            // a metamethod instruction is charged by its handler (it is
            // outside the run of the arithmetic before it, which skips it)
            if (is_mmbin(GET_OPCODE(i))) runs[x] = rest;
        }
    }
    p->hvxruns = runs;
    p->hvxdelta = (ptrdiff_t)(reinterpret_cast<uintptr_t>(runs) - reinterpret_cast<uintptr_t>(p->code));
    return p->hvxdelta;
}

void hvx_freeruns(Proto* p) {
    std::free(p->hvxruns);
    p->hvxruns = nullptr;
    p->hvxdelta = 0;
}

// ---------------------------------------------------------------------------
// Memory reads of the peek opcodes
// ---------------------------------------------------------------------------

static hvx_vm_memory vm_memory = {nullptr, nullptr, nullptr, nullptr};

void hvx_set_vm_memory(const hvx_vm_memory* m) {
    vm_memory = m ? *m : hvx_vm_memory{nullptr, nullptr, nullptr, nullptr};
}

uint8_t hvx_vm_peek(uint32_t addr) { return vm_memory.peek ? vm_memory.peek(addr) : 0; }
uint16_t hvx_vm_peek2(uint32_t addr) { return vm_memory.peek2 ? vm_memory.peek2(addr) : 0; }
uint32_t hvx_vm_peek4(uint32_t addr) { return vm_memory.peek4 ? vm_memory.peek4(addr) : 0; }
uint64_t hvx_vm_peek8(uint32_t addr) { return vm_memory.peek8 ? vm_memory.peek8(addr) : 0; }

int* lua_hvx_escapeflag(lua_State* L) { return &L->escapeslice; }

// ---------------------------------------------------------------------------
// Binary float numerals
// ---------------------------------------------------------------------------

static constexpr int BIN_MAX_SIGDIG = 64;      // significant digits kept
static constexpr int64_t BIN_EXP_LIMIT = 100000;  // beyond it the result is 0 or inf anyway

static int bin_isneg(const char** s) {
    if (**s == '-') {
        (*s)++;
        return 1;
    }
    if (**s == '+') (*s)++;
    return 0;
}

static int64_t clamp_exp(int64_t e) {
    return e > BIN_EXP_LIMIT ? BIN_EXP_LIMIT : (e < -BIN_EXP_LIMIT ? -BIN_EXP_LIMIT : e);
}

// "0b" digits with at most one point, then an optional 'p' exponent with
// decimal digits; like the hexadecimal reader in base 2. *endptr is left at
// the first character not taken (s itself when nothing was recognised).
lua_Number lua_strb2number(const char* s, char** endptr) {
    const int dot = lua_getlocaledecpoint();
    lua_Number r = 0.0;
    int sigdig = 0;
    bool anydigit = false, hasdot = false;
    int64_t e = 0;
    *endptr = const_cast<char*>(s);
    while (lisspace(cast_uchar(*s))) s++;
    const int neg = bin_isneg(&s);
    if (!(s[0] == '0' && (s[1] == 'b' || s[1] == 'B'))) return 0.0;
    for (s += 2;; s++) {
        if (*s == dot) {
            if (hasdot) break;
            hasdot = true;
        } else if (lisbdigit(cast_uchar(*s))) {
            anydigit = true;
            if (sigdig == 0 && *s == '0') {
                // leading zero: only a digit seen
            } else if (sigdig < BIN_MAX_SIGDIG) {
                sigdig++;
                r = r * 2.0 + luaO_binavalue(*s);
            } else {
                e = clamp_exp(e + 1);  // dropped digit still scales
            }
            if (hasdot) e = clamp_exp(e - 1);
        } else {
            break;
        }
    }
    if (!anydigit) return 0.0;
    *endptr = const_cast<char*>(s);
    if (*s == 'p' || *s == 'P') {
        s++;
        const int neg1 = bin_isneg(&s);
        if (!lisdigit(cast_uchar(*s))) return 0.0;  // a digit is required
        int64_t exp1 = 0;
        while (lisdigit(cast_uchar(*s))) {
            if (exp1 < BIN_EXP_LIMIT) exp1 = exp1 * 10 + (*s - '0');
            s++;
        }
        e = clamp_exp(e + (neg1 ? -exp1 : exp1));
        *endptr = const_cast<char*>(s);
    }
    if (neg) r = -r;
    return std::ldexp(r, (int)e);
}

// ---------------------------------------------------------------------------
// A collection, from a script or the host, at the rate the host walks a heap
// ---------------------------------------------------------------------------

hvx_gc_work hvx_gcwork = {0, 0, 0};
hvx_gc_work hvx_gc_total = {0, 0, 0};
static int gc_depth = 0;
// Paid ahead by the state's own call for the collection it makes next.
static int64_t gc_credit = 0;
static const void* gc_credit_owner = nullptr;

void hvx_charge_heap(lua_State* L, int64_t most) {
    int64_t bytes = (int64_t)lua_gc(L, LUA_GCCOUNT, 0) * 1024 + lua_gc(L, LUA_GCCOUNTB, 0);
    int64_t c = std::min(bytes, most) / LANG_COLLECT_HEAP_BYTES_PER_CYCLE;
    spend_cpu(c > INT32_MAX ? INT32_MAX : (int32_t)c);
    gc_credit = c;
    gc_credit_owner = G(L);
}

void hvx_gc_begin(const void* g) {
    if (gc_depth++ > 0) return;
    hvx_gcwork = hvx_gc_work{0, 0, 0};  // left by a state's closing, paid by its closer
    if (gc_credit_owner != g) gc_credit = 0;
}

void hvx_gc_end() {
    int64_t c = (int64_t)(hvx_gcwork.marked / LANG_COLLECT_MARK_SLOTS_PER_CYCLE +
                          hvx_gcwork.swept / LANG_COLLECT_SWEPT_PER_CYCLE +
                          hvx_gcwork.freed / LANG_COLLECT_FREED_PER_CYCLE);
    hvx_gc_total.marked += hvx_gcwork.marked;
    hvx_gc_total.swept += hvx_gcwork.swept;
    hvx_gc_total.freed += hvx_gcwork.freed;
    hvx_gcwork = hvx_gc_work{0, 0, 0};
    const int64_t paid = std::min(c, gc_credit);
    gc_credit -= paid;
    c -= paid;
    if (c > 0) spend_cpu(c > INT32_MAX ? INT32_MAX : (int32_t)c);
    if (--gc_depth == 0) {
        gc_credit = 0;
        gc_credit_owner = nullptr;
    }
}

void hvx_charge_rehash(size_t entries) {
    const uint64_t c = (uint64_t)entries / LANG_STRING_REHASH_ENTRIES_PER_CYCLE;
    if (c > 0) spend_cpu(c > INT32_MAX ? INT32_MAX : (int32_t)c);
}

// ---------------------------------------------------------------------------
// tonum(v): booleans become 0 or 1, numbers stay, whole numeral strings
// convert; anything else gives no value at all
// ---------------------------------------------------------------------------

int luaB_tonumber_hvx(lua_State* L) {
    switch (lua_type(L, 1)) {
        case LUA_TBOOLEAN:
            lua_pushinteger(L, lua_toboolean(L, 1));
            return 1;
        case LUA_TNUMBER:
            lua_settop(L, 1);
            return 1;
        case LUA_TSTRING: {
            size_t len;
            const char* s = lua_tolstring(L, 1, &len);
            hvx_charge_text(len);  // a long numeral is read whole
            size_t used = lua_stringtonumber(L, s);
            if (used == len + 1) return 1;
            if (used != 0) lua_pop(L, 1);  // stopped at an embedded zero
            return 0;
        }
        default:
            return 0;
    }
}

// ---------------------------------------------------------------------------
// The dialect's own work over long texts, paid by the bytes it reads
// ---------------------------------------------------------------------------

static void charge_past_free(size_t n, uint64_t per_cycle) {
    const uint64_t c = (uint64_t)(n - HVX_TEXT_FREE_BYTES) / per_cycle;
    if (c > 0) spend_cpu(c > INT32_MAX ? INT32_MAX : (int32_t)c);
}

void hvx_charge_text_past(size_t n) { charge_past_free(n, LANG_TEXT_BYTES_PER_CYCLE); }
void hvx_charge_text_block_past(size_t n) { charge_past_free(n, LANG_TEXT_COPY_BYTES_PER_CYCLE); }
void hvx_charge_text_values_past(size_t n) { charge_past_free(n, HVX_TEXT_VALUES_PER_CYCLE); }

// A block at a time, so the search runs at memcmp's speed; only the block
// where they part is looked at byte by byte.
size_t hvx_charge_prefix(const char* a, const char* b, size_t n) {
    constexpr size_t block = 4096;
    size_t at = 0;
    while (n - at >= block && std::memcmp(a + at, b + at, block) == 0) at += block;
    while (at < n && a[at] == b[at]) at++;
    hvx_charge_text_block(at);
    return at;
}
