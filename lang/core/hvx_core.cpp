// The dialect's own pieces of the Lua core: binary float numerals, tonum,
// the escape-slice flag accessor and the bridge from the peek opcodes to the
// running process's memory. Compiled into the core library itself, so the
// core links on its own (tests and benchmarks drive it without processes).

#include "lprefix.h"

#include <climits>
#include <clocale>
#include <cmath>
#include <cstdint>

#include "lua.h"
#include "lauxlib.h"

#include "lctype.h"
#include "ldebug.h"
#include "ldo.h"
#include "lobject.h"
#include "lopcodes.h"
#include "lstate.h"

#include "hvx_hooks.h"
#include "lang/lang.h"

// Defaults for a program without a scheduler: an unlimited budget and no
// charges. The process runtime's own definitions take their place.
[[gnu::weak]] int32_t cpu_cycles = 0;
[[gnu::weak]] int32_t cpu_cycles_max = INT32_MAX;
[[gnu::weak]] int32_t cpu_superyielding = 0;

[[gnu::weak]] int32_t spend_cpu(int32_t n) {
    if (n < 0) return n;
    if (n == 0) n = 1;
    cpu_cycles = cpu_cycles > INT32_MAX - n ? INT32_MAX : cpu_cycles + n;  // saturates
    return n;
}

// ---------------------------------------------------------------------------
// Budget suspension
// ---------------------------------------------------------------------------

static_assert(LANG_NUM_OPCODES == NUM_OPCODES && LANG_OP_PEEK == OP_PEEK,
              "lang.h's opcode numbers differ from the patched core's");

static constexpr const char* NONYIELD_ERROR = "out of cycles in a non-yieldable call";

void hvx_spend_checked(lua_State* L, lua_Integer n) {
    hvx_spend(n);
    if (cpu_cycles > hvx_nonyield_limit()) luaL_error(L, "%s", NONYIELD_ERROR);
}

// The fetch of the instruction at pc found the budget possibly spent (the
// interpreter filters with one comparison; the test here is exact). A thread
// that may not yield is never suspended, but past the ceiling above the
// budget it gets an error, so a comparator or finalizer cannot hang the
// host. A yieldable one gets its escape-slice flag set and is suspended
// before that instruction, unless a hook suspended it there: then one
// instruction runs first, so every resumption makes progress (after a
// budget suspension the interpreter itself skips the check once). The
// suspension is a yield with no values, as from a hook: resuming runs the
// frame on from pc.
void hvx_budgetcheck(lua_State* L, CallInfo* ci, const Instruction* pc, int32_t cycles) {
    cpu_cycles = cycles;  // the interpreter's own count is the current one
    if (!yieldable(L)) {
        if (cycles > hvx_nonyield_limit()) {
            if (!isIT(*pc)) L->top = ci->top;  // as for a suspension
            ci->u.l.savedpc = pc + 1;          // the error names this line
            luaG_runerror(L, "%s", NONYIELD_ERROR);
        }
        return;
    }
    if ((cpu_superyielding | cycles) <= cpu_cycles_max) return;
    if (ci->callstatus & CIST_HOOKYIELD) {
        ci->callstatus &= ~CIST_HOOKYIELD;
        return;
    }
    L->escapeslice = LANG_ESCAPE_SET;
    if (!isIT(*pc)) L->top = ci->top;  // no open top to keep
    ci->u.l.savedpc = pc;
    // Not lua_yieldk: it expects a hook or host function, not a Lua frame.
    L->status = LUA_YIELD;
    ci->u2.nyield = 0;
    ci->callstatus |= CIST_HOOKYIELD;
    luaD_throw(L, LUA_YIELD);
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
            size_t used = lua_stringtonumber(L, s);
            if (used == len + 1) return 1;
            if (used != 0) lua_pop(L, 1);  // stopped at an embedded zero
            return 0;
        }
        default:
            return 0;
    }
}
