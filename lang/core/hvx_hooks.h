/*
** What the patched Lua core needs from the rest of the program: the cycle
** counters of the running slice, system-call charges, and memory reads of
** the running process. Included only by core sources.
*/
#ifndef hvx_hooks_h
#define hvx_hooks_h

#include <stddef.h>
#include <stdint.h>

#include "lua.h"

#include "hvx_cycles.h"

/*
** Code that may not yield (metamethods and comparators called from C,
** finalizers, hooks, load readers) is never suspended; once the counter
** passes the budget by cpu_nonyield_allowance it raises an error. The
** allowance is HVX_CYCLES_NONYIELD_CEILING, or a negative value for code
** that gets none: then every check raises at once.
*/
static inline int32_t hvx_nonyield_limit(void) {
  if (cpu_nonyield_allowance < 0) return -1;  /* the counter never is */
  int64_t l = (int64_t)cpu_cycles_max + cpu_nonyield_allowance;
  return l > INT32_MAX ? INT32_MAX : (int32_t)l;
}

/* the interpreter's add: saturates at INT32_MAX instead of wrapping */
static inline int32_t hvx_addcycles(int32_t c, int32_t n) {
  return c > INT32_MAX - n ? INT32_MAX : c + n;
}

/* cycles of each opcode as fetched (the cheap ones cost less) */
extern const unsigned char hvx_opcost[128];

/*
** The interpreter charges straight-line code a run at a time. A run ends
** with a jump, test, call or return; the arithmetic's metamethod
** instruction and the words that loads and constructors consume inline
** are not part of it. The table built here holds, for every instruction,
** the cycles from it to the end of its run (HVX_RUN_UNKNOWN where code
** runs off its end); it lives outside the state's heap, so that neither
** the memory counters nor the collector see it. Returns its distance from
** p->code (p->hvxdelta); raises a memory error when it cannot be made.
*/
#define HVX_RUN_UNKNOWN	0x40000000u
struct Proto;
ptrdiff_t hvx_buildruns(lua_State *L, struct Proto *p);
void hvx_freeruns(struct Proto *p);

/*
** Memory reads of the running process's address space. They may neither
** charge cycles nor run script code: the interpreter does not store its
** counter around them.
*/
uint8_t hvx_vm_peek(uint32_t addr);
uint16_t hvx_vm_peek2(uint32_t addr);
uint32_t hvx_vm_peek4(uint32_t addr);
uint64_t hvx_vm_peek8(uint32_t addr);

/*
** Called at a fetch that may be over budget, with the counter as it stands:
** suspends a yieldable thread before the instruction at pc (or lets one run
** first, see the definition). Returns 0 when the frame is to run on, 1
** when it is suspended and the interpreter is to return at once (it was
** called by lua_resume itself, no C call lies between); otherwise a
** suspension unwinds as a yield.
*/
struct CallInfo;
int hvx_budgetcheck(lua_State *L, struct CallInfo *ci, const uint32_t *pc, int32_t cycles);

/* the budget words were lowered from a signal handler (see lang/lang.h) */
void lua_hvx_budget_lowered(void);

/* tonum(v) */
int luaB_tonumber_hvx(lua_State *L);

/*
** Charges a collection that may walk at most 'most' bytes of the heap, paid
** before it runs: what the collection then does is charged only past it.
*/
void hvx_charge_heap(lua_State *L, int64_t most);

/*
** The collector's work, counted where it is done: the slots of the objects
** it traversed, the objects it swept, and of those the ones it freed. A
** step, a full collection or a change of mode begins and ends the count
** (hvx_gc_begin/hvx_gc_end, with the state's global_State; nested ones
** count into the outer) and charges it at the rates of lang/lang.h, so a
** collection costs what it did, the same on every run. The string table's
** rehash is charged by the entries it walks.
*/
struct hvx_gc_work {
  uint64_t marked, swept, freed;
};
extern struct hvx_gc_work hvx_gcwork;
/* all the work counted since the program started (benchmarks, tests) */
extern struct hvx_gc_work hvx_gc_total;
void hvx_gc_begin(const void *g);
void hvx_gc_end(void);
void hvx_charge_rehash(size_t entries);

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

/*
** The dialect's own work over a text is paid by the bytes it reads past
** HVX_TEXT_FREE_BYTES (see there): hvx_charge_text for bytes read one at a
** time, hvx_charge_text_block for bytes compared or searched a block at a
** time, hvx_charge_text_values for values taken or made a byte each. A
** short text costs what it always did and looks at one comparison. The
** charge only moves the counter, so it may stand where no error may be
** raised; code that cannot yield meets its ceiling at its next
** instruction, or where a loop in C checks it.
*/
void hvx_charge_text_past(size_t n);
void hvx_charge_text_block_past(size_t n);
void hvx_charge_text_values_past(size_t n);
static inline void hvx_charge_text(size_t n) {
  if (luai_unlikely(n > HVX_TEXT_FREE_BYTES)) hvx_charge_text_past(n);
}
static inline void hvx_charge_text_block(size_t n) {
  if (luai_unlikely(n > HVX_TEXT_FREE_BYTES)) hvx_charge_text_block_past(n);
}
static inline void hvx_charge_text_values(size_t n) {
  if (luai_unlikely(n > HVX_TEXT_FREE_BYTES)) hvx_charge_text_values_past(n);
}
/*
** The bytes a and b agree on from their start (at most n), found at
** memcmp's speed and charged as compared a block at a time. Out of line, so
** the interpreter's comparisons keep their shape.
*/
size_t hvx_charge_prefix(const char *a, const char *b, size_t n);

/*
** For a loop in C that cannot be interrupted and whose steps are charged:
** raises the error of hvx_nonyield_limit once the counter is past it (the
** runtime asked first, as at every check).
*/
void hvx_nonyield_past(lua_State *L);
static inline void hvx_nonyield_check(lua_State *L) {
  if (luai_unlikely(cpu_cycles > hvx_nonyield_limit())) hvx_nonyield_past(L);
}

#endif
