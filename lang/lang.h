// Script language: the dialect built on the Lua 5.4 core. The core is compiled
// as C++, so its headers are included without C linkage and a Lua error
// unwinds C++ frames.
//
// What the dialect changes in the core (the patch series in lang/patches and
// the core-side sources in lang/core):
// - every instruction fetch, and every call from host code into a function,
//   checks the slice's cycle budget (a host callee called so costs a cycle,
//   an __index/__newindex chain a cycle a table past the fourth, the
//   collector and the string table's rehash their counted work); the fetch
//   charges it
//   (cpu_cycles, cpu_cycles_max, cpu_superyielding; lang/core/hvx_cycles.h,
//   set by the process runtime) and suspends a yieldable thread that is over it; code that may
//   not yield raises an error once it is LANG_NONYIELD_CEILING past it.
//   Straight-line code is charged a run at a time where that ends every
//   slice exactly where the check at every fetch would;
// - four peek opcodes read the running process's memory through the bridge
//   installed with hvx_set_vm_memory;
// - integer floor division and modulo by zero, and float division and
//   floor division by zero, give fixed results instead of errors; float
//   modulo stays as in Lua 5.4 (x % 0.0 is NaN), and so does math.fmod
//   (an error for an integer zero divisor, NaN for a float one);
// - the allocator (lua_Alloc) takes six arguments: (ud, ptr, osize, nsize,
//   retry, accounted); accounted sizes are the HVX_ACC_* constants
//   (lang/core/hvx_luaconf.h, seen through lua.h);
// - "0b" binary numerals; the reduced standard library with tonum;
// - the library's and the interpreter's work over long texts (plain
//   searches, the order and equality of strings, number reading, the utf8
//   walkers, string.byte/char of many values, %q) is charged by the bytes it
//   reads past HVX_TEXT_FREE_BYTES (hvx_charge_text in
//   lang/core/hvx_hooks.h), as pattern matching is by its steps;
// - the front end reads the dialect's syntax: "!=", '\' integer division,
//   "^^" exclusive or, compound assignment to one target, the "?" print
//   shorthand, one-line "if (c) ..." / "while (c) ..." closed at the end of
//   their line, the peek operators '@' '%' '$' '*' and six added string
//   escapes (lang/core/hvx_llex.h, lang/core/hvx_lparser.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

#include "lang/core/hvx_cycles.h"

// ---------------------------------------------------------------------------
// Instruction set and budget
// ---------------------------------------------------------------------------

inline constexpr int LANG_NUM_OPCODES = 87;
inline constexpr int LANG_OP_PEEK = 52;  // then PEEK2, PEEK4, PEEK8
inline constexpr int LANG_CYCLES_PER_INSTRUCTION = HVX_CYCLES_INSTRUCTION;
inline constexpr int LANG_CYCLES_CHEAP_INSTRUCTION = HVX_CYCLES_CHEAP;  // moves, loads, add/sub/bitwise
// Code that may not yield is never suspended; once the counter passes the
// budget by this much (2^29 cycles: a sort of a million numbers with a Lua
// comparator fits, an endless one ends within a second) it raises "out of
// cycles in a non-yieldable call" instead of running on.
inline constexpr int32_t LANG_NONYIELD_CEILING = HVX_CYCLES_NONYIELD_CEILING;
// What such code may run past the budget: LANG_NONYIELD_CEILING, or
// LANG_NONYIELD_NONE, after which every check in it raises at once. Set by
// the process runtime around the code of each process (the core's own
// default is the ceiling). Like the other budget words
// (cpu_nonyield_allowance, in lang/core/hvx_cycles.h) written by script
// code's own thread, and lowered by the backstop's signal handler on it.
inline constexpr int32_t LANG_NONYIELD_NONE = -1;
// Installs the function the core calls once code that may not yield has
// passed that limit, just before it raises the error. L is the state whose
// code ran over; the callee may not run script code or allocate in it.
// With none installed the error stays catchable; the process runtime
// installs one that ends the process.
void lua_hvx_set_nonyield_overrun(void (*fn)(lua_State* L));
// Installs the function the core calls at a check that finds the budget
// spent or the allowance gone, before it yields or raises: it may set the
// budget words back (cpu_superyielding, cpu_nonyield_allowance) where it
// lowered them itself for nothing, and the check then reads them again.
// It may not run script code or allocate.
void lua_hvx_set_budget_recheck(void (*fn)());
// Installs the function the core asks, while a state closes, before each
// finalizer written in the dialect: 0 leaves it out (the state is freed
// without it). Finalizers written in C always run. It may not run script
// code or allocate. A finalizer written in the dialect also meets the
// budget words before its first instruction, closing or not.
void lua_hvx_set_finalizer_gate(int (*gate)(lua_State* L));
// Tells the interpreter that cpu_superyielding or cpu_nonyield_allowance was
// lowered from outside the running code (the backstop's signal handler, on
// the thread running script code): the next run of instructions entered
// (a jump, a call or return) checks the words instead of charging ahead
// against the limit it read before. Async-signal-safe.
void lua_hvx_budget_lowered();
// The counter saturates at 2^31 - 1: a budget plus the ceiling must stay below it.
static_assert(LANG_NONYIELD_CEILING > 0 && LANG_NONYIELD_CEILING <= (1 << 30), "ceiling out of the counter's range");
inline constexpr int32_t LANG_SUPERYIELD = 0x40000000;  // cpu_superyielding: yield at next fetch
inline constexpr int LANG_ESCAPE_SET = 1;                 // flag value the interpreter stores

// The escape-slice flag of a thread: set to LANG_ESCAPE_SET whenever the
// budget check fires in it; 0 in every new state and thread. The runtime
// reads and rewrites it; the interpreter never clears it.
int* lua_hvx_escapeflag(lua_State* L);

// Fixes the seed of the string hashes of every state made from now on (0:
// random again, as by default), so that a benchmark's counts repeat.
void lua_hvx_fixseed(unsigned int seed);

// Memory reads for the peek opcodes (the running process's address space).
// PEEK2/PEEK4 sign-extend what peek2/peek4 return. Until a bridge is
// installed every read gives 0; nullptr removes it again.
struct hvx_vm_memory {
    uint8_t (*peek)(uint32_t addr);
    uint16_t (*peek2)(uint32_t addr);
    uint32_t (*peek4)(uint32_t addr);
    uint64_t (*peek8)(uint32_t addr);
};
void hvx_set_vm_memory(const hvx_vm_memory* m);

// ---------------------------------------------------------------------------
// Standard library
// ---------------------------------------------------------------------------

// The base library's load, not registered as a global: text chunks only (the
// mode argument is ignored). Arguments and results as Lua's load.
int luaB_load(lua_State* L);

// The table library's check that argument arg is a table or has the
// metamethods what asks for (CHECKTAB_* bits); raises the table type error.
inline constexpr int CHECKTAB_R = 1;  // __index
inline constexpr int CHECKTAB_W = 2;  // __newindex
inline constexpr int CHECKTAB_L = 4;  // __len
void checktab(lua_State* L, int arg, int what);

// Charges n cycles (clamped to the counter's range) before a loop in host
// code that cannot be interrupted; raises the non-yieldable error when the
// counter is then past the ceiling above the budget.
void hvx_spend_checked(lua_State* L, lua_Integer n);

// ---------------------------------------------------------------------------
// Host guards
// ---------------------------------------------------------------------------

// The C calls nested in L (as Lua counts them against its C stack limit): a
// resume asked for from L carries on from this count.
int lua_hvx_ccalls(lua_State* L);
// Pushes the value in the first slot of the main thread's stack of L's state
// (nil when there is none) and returns its type. No script reaches that slot.
int lua_hvx_pushfirst(lua_State* L);
// Holds (keep) or lets go of the value at idx for the host, in a table at the
// first slot of the main stack of L's state (below the chunk, where no
// script reaches it to drop it). False when the state has no such table.
bool hvx_anchor(lua_State* L, int idx, bool keep);
// The same table keyed by a host address: the value on top of the stack is
// popped and held under key (nil lets go of what was there), as lua_rawsetp
// on the registry would, and as it runs no finalizer. False when the state
// has no such table (the value is popped all the same).
bool hvx_anchor_at(lua_State* L, const void* key);
// Slots at the bottom of a process's main stack that belong to the host (the
// anchors' table): whoever empties that stack from the host keeps them.
inline constexpr int HVX_HOST_SLOTS = 1;

// ---------------------------------------------------------------------------
// System call arguments
// ---------------------------------------------------------------------------

// Argument readers shared by all system calls.
// Integer argument: an integer as it is; a float or numeric string floored;
// anything else, NaN included, the default. Out-of-range values saturate.
int64_t hvx_intp(lua_State* L, int index, int64_t def);
// Double to integer, truncating toward zero; NaN gives nan_value and values
// beyond the range (infinities included) saturate.
// (Inline: the typed userdata loops convert millions of elements with it.)
inline int64_t hvx_double_to_i64(double d, int64_t nan_value) {
    constexpr double two_63 = 9223372036854775808.0;  // every double at or above it is out of range
    if (d != d) return nan_value;
    if (d >= two_63) return INT64_MAX;
    if (d < -two_63) return INT64_MIN;
    return (int64_t)d;
}
int32_t hvx_double_to_i32(double d, int32_t nan_value);
// Truncated number: a number or numeric string truncated toward zero,
// saturating at the 32-bit range; anything else, NaN included, 0.
int32_t hvx_trunc_arg(lua_State* L, int index);
// A process id argument: an integer or a number/string with an integral
// value; anything else 0 (which matches no process).
int64_t hvx_pid_arg(lua_State* L, int index);
// A text argument is a string, or a number (read as its text).
bool hvx_is_text(lua_State* L, int index);
// Text argument copied into out (so nothing the call does afterwards can
// change it); false for any other value. The copy is charged by its bytes
// (hvx_charge_text_copy).
bool hvx_text_arg(lua_State* L, int index, std::string* out);
// The same for a text that must hold no NUL byte (a path: a NUL would cut
// it short and name another file): one that does is refused before it is
// copied, charged for the bytes looked at.
bool hvx_text_arg_without_nul(lua_State* L, int index, std::string* out);
// Charges n bytes of a text read a byte at a time, at LANG_TEXT_BYTES_PER_CYCLE
// (nothing for less than a cycle's bytes).
void hvx_charge_text_read(size_t n);
// Charges n bytes of a text copied or searched as a block (a copy, memchr,
// strlen), at LANG_TEXT_COPY_BYTES_PER_CYCLE.
void hvx_charge_text_copy(size_t n);
// A full collection of the state's heap, charged first by the bytes in use.
void hvx_full_collection(lua_State* L);

// What host code charges for work it does over a script's values, at the
// rate the host really runs it (a cycle stands for about 60 ns: a frame's
// budget in a 60th of a second), as bench/charged_calls_bench shows.
// Bytes of a text read a byte at a time (a scan for a byte from the end, a
// set of separator bytes built): 3 MB take the host about 1.9 ms, 0.65 ns a
// byte; a cycle per 64 bytes stands for 0.93 ns a byte.
inline constexpr int64_t LANG_TEXT_BYTES_PER_CYCLE = 64;
// Bytes of a text copied or searched as a block: a 3 MB copy takes the host
// about 0.25 ms, 0.08 ns a byte; a cycle per 512 bytes stands for 0.12 ns a
// byte (a 2 KB text argument costs 4 cycles).
inline constexpr int64_t LANG_TEXT_COPY_BYTES_PER_CYCLE = 512;
// A full collection of a heap of small tables (100,000 empty tables, 7.7 MB)
// takes the host 1.9-2.4 ms, 0.24-0.31 ns a byte; a cycle per 192 bytes
// stands for 0.31 ns a byte. A heap of string keys walks slower (0.65 ns a
// byte), one of long strings next to nothing.
inline constexpr int64_t LANG_COLLECT_HEAP_BYTES_PER_CYCLE = 192;
// The collector's own work, charged as it is done (explicit collections,
// automatic steps, the allocator's emergency collection; see hvx_gc_end in
// lang/core/hvx_hooks.h), at a quarter to a half of what
// bench/collect_rates_bench measured on the host (thread CPU time, on a
// busy host): the host time of a program's own garbage stays within a few
// times its cycles, far inside the backstop's factor, and a collection of a
// live heap costs about what the heap's bytes did before. A slot of a
// traversed object takes 2.1 ns (a cycle per 64: 0.9 ns); a live object
// swept 20-70 ns with its marking (a cycle per 4: 15 ns); one freed
// 120-200 ns more (a cycle each: 60 ns). The string table's rehash takes
// 5.4 ns per entry charged (both sizes and the strings): a cycle per 16
// (3.7 ns).
inline constexpr uint64_t LANG_COLLECT_MARK_SLOTS_PER_CYCLE = 64;
inline constexpr uint64_t LANG_COLLECT_SWEPT_PER_CYCLE = 4;
inline constexpr uint64_t LANG_COLLECT_FREED_PER_CYCLE = 1;
inline constexpr uint64_t LANG_STRING_REHASH_ENTRIES_PER_CYCLE = 16;
// One step of lua_next: a string-keyed entry of a 400,000-entry hash part
// takes the host about 350 ns (each step finds the last key again, missing
// the caches); 8 cycles stand for 477 ns. Entries of the array part are
// faster, but a caller chooses the shape.
inline constexpr int32_t LANG_NEXT_ENTRY_COST = 8;
