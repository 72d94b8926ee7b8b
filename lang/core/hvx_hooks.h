/*
** What the patched Lua core needs from the rest of the program: the cycle
** counters of the running slice, system-call charges, and memory reads of
** the running process. Included only by core sources.
*/
#ifndef hvx_hooks_h
#define hvx_hooks_h

#include <stdint.h>

#include "lua.h"

/*
** The running slice: cycles spent, its budget, and the forced-yield flag.
** The counter saturates at INT32_MAX, it never wraps.
*/
extern int32_t cpu_cycles;
extern int32_t cpu_cycles_max;
extern int32_t cpu_superyielding;

/* charges a host-side cost of max(n, 1) cycles; a negative n charges nothing */
int32_t spend_cpu(int32_t n);

/*
** Code that may not yield (metamethods and comparators called from C,
** finalizers, hooks, load readers) is never suspended; once the counter
** passes the budget by HVX_CYCLES_NONYIELD_CEILING it raises an error.
*/
static inline int32_t hvx_nonyield_limit(void) {
  int64_t l = (int64_t)cpu_cycles_max + HVX_CYCLES_NONYIELD_CEILING;
  return l > INT32_MAX ? INT32_MAX : (int32_t)l;
}

/* the interpreter's add: saturates at INT32_MAX instead of wrapping */
static inline uint32_t hvx_addcycles(uint32_t c, int32_t n) {
  return (int32_t)c > INT32_MAX - n ? (uint32_t)INT32_MAX : c + (uint32_t)n;
}

/*
** A frame resumed after a budget suspension: its next instruction runs
** without the check (so every resumption makes progress), and the trap
** path of that fetch reloads the limit.
*/
#define hvx_resumed(ci,limit,trap)  \
  ((ci)->callstatus &= ~CIST_HOOKYIELD, (limit) = INT32_MAX, (trap) = 1)

/* memory reads of the running process's address space */
uint8_t hvx_vm_peek(uint32_t addr);
uint16_t hvx_vm_peek2(uint32_t addr);
uint32_t hvx_vm_peek4(uint32_t addr);
uint64_t hvx_vm_peek8(uint32_t addr);

/*
** Called at a fetch that may be over budget, with the counter as it stands:
** suspends a yieldable thread before the instruction at pc (or lets one run
** first, see the definition); returns when the frame is to run on.
*/
struct CallInfo;
void hvx_budgetcheck(lua_State *L, struct CallInfo *ci, const uint32_t *pc, int32_t cycles);

/* tonum(v) */
int luaB_tonumber_hvx(lua_State *L);

/* binary float numerals: "0b1.01p3" */
lua_Number lua_strb2number(const char *s, char **endptr);

/* a library charge proportional to its work, clamped to the counter's range */
static inline void hvx_spend(lua_Integer n) {
  spend_cpu(n > INT32_MAX ? INT32_MAX : (int32_t)n);
}

/*
** The same, taken before a loop in C that cannot be interrupted: raises
** the error of hvx_nonyield_limit when the counter is then past it.
*/
void hvx_spend_checked(lua_State *L, lua_Integer n);

#endif
