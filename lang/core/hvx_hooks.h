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
** The counter is signed, but it runs on without limit where the budget is
** not enforced: the interpreter counts in uint32_t and stores the wrapped
** value instead of overflowing.
*/
extern int32_t cpu_cycles;
extern int32_t cpu_cycles_max;
extern int32_t cpu_superyielding;

/* charges a host-side cost of max(n, 1) cycles; a negative n charges nothing */
int32_t spend_cpu(int32_t n);

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

/* binary float numerals: "0b1.01p3" */
lua_Number lua_strb2number(const char *s, char **endptr);

/* tonum(v) */
int luaB_tonumber_hvx(lua_State *L);

/* a library charge proportional to its work, clamped to the counter's range */
static inline void hvx_spend(lua_Integer n) {
  spend_cpu(n > INT32_MAX ? INT32_MAX : (int32_t)n);
}

#endif
