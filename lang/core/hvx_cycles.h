/*
** The running slice's cycle words and the host-side charge: the only
** declaration of them. Defined with the interpreter (hvx_core.cpp), which
** reads them before every instruction; the ground and every subsystem
** charge through them, and the machine sets them around each slice.
*/
#ifndef hvx_cycles_h
#define hvx_cycles_h

#include <stdint.h>

/*
** Cycles spent, the slice's budget, and the forced-yield flag. The counter
** saturates at INT32_MAX, it never wraps. Script code runs on one thread,
** whose code writes them; besides it only the backstop's signal handler,
** interrupting that same thread, lowers cpu_superyielding and
** cpu_nonyield_allowance (async-signal, relaxed std::atomic_ref stores of
** whole words), which the next check reads. No other thread touches them.
*/
extern int32_t cpu_cycles;
extern int32_t cpu_cycles_max;
extern int32_t cpu_superyielding;

/*
** Code that may not yield gets this many cycles past the budget; a negative
** value: none (see hvx_nonyield_limit in hvx_hooks.h).
*/
extern int32_t cpu_nonyield_allowance;

/*
** Charges a host-side cost: n < 0 charges nothing and returns n; otherwise
** max(n, 1) is added to cpu_cycles (saturating) and returned.
*/
int32_t spend_cpu(int32_t n);

#endif
