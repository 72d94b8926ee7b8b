/*
** halvoran's local configuration of the Lua core, included at the end of
** luaconf.h. Only macros here: it is seen by every user of lua.h.
*/
#ifndef hvx_luaconf_h
#define hvx_luaconf_h

#include <float.h>

/* Every process state gets the same, smaller stack ceiling (slots). */
#undef LUAI_MAXSTACK
#define LUAI_MAXSTACK		100000

/*
** Float division by zero gives the largest finite double, negative when
** the dividend is negative (a NaN dividend counts as positive). Floor
** division is the floor of this, so it follows the same rule.
*/
#define luai_numdiv(L,a,b)  \
  ((void)L, ((b) == 0 ? ((a) < 0 ? -DBL_MAX : DBL_MAX) : (a)/(b)))

/* Cycles charged per executed instruction; the cheap ones (moves, loads,
   add/subtract and bitwise arithmetic) cost less. */
#define HVX_CYCLES_INSTRUCTION	2
#define HVX_CYCLES_CHEAP	1
/*
** How far past its budget code that may not yield runs before it errors:
** far enough for ordinary heavy work in one call (a sort of a million
** numbers with a Lua comparator, a gsub callback over 10 MB), near enough
** that an endless comparator ends within seconds; below 2^31 with any
** budget added. (A fuzzing build may set a lower one, for speed.)
*/
#ifndef HVX_CYCLES_NONYIELD_CEILING
#define HVX_CYCLES_NONYIELD_CEILING	0x20000000
#endif
/*
** table.insert and table.remove charge a cycle per element they move,
** table.move HVX_TABLE_MOVE_CYCLES per element of each whole chunk (a
** short move stays free); all of it a chunk of HVX_TABLE_CHUNK elements
** (a power of two) at a time, as each chunk is done.
*/
#define HVX_TABLE_CHUNK	1024
#define HVX_TABLE_MOVE_CYCLES	4
/*
** Pattern matching (find, match, gmatch, gsub) is charged one cycle per
** HVX_PATTERN_STEPS_PER_CYCLE steps of the matcher (a try at a pattern
** position, or a character scanned; a try takes the host about as long as
** a few instructions), taken in batches of about
** HVX_PATTERN_STEP_BATCH steps, so a backtracking pattern meets the
** ceiling above instead of hanging in one call.
*/
#define HVX_PATTERN_STEPS_PER_CYCLE	1
#define HVX_PATTERN_STEP_BATCH		1024
/*
** The dialect's own work over a text (searches, comparisons, number
** reading, the utf8 walkers) is free up to HVX_TEXT_FREE_BYTES bytes read,
** so a short text keeps its cycles; past that it is paid at the host's
** rate for the work: LANG_TEXT_COPY_BYTES_PER_CYCLE where the host compares
** or searches a block at a time, LANG_TEXT_BYTES_PER_CYCLE where it reads
** a byte at a time (lang/lang.h). Values taken or made a byte each
** (string.byte and char, utf8.codepoint and char) and the bytes %q writes
** cost the host 2.5-6 ns each (utf8.char's 45, %q's escapes of control
** bytes 26): they are paid a cycle per HVX_TEXT_VALUES_PER_CYCLE (7.5 ns
** each).
*/
#define HVX_TEXT_FREE_BYTES		1024
#define HVX_TEXT_VALUES_PER_CYCLE	8
/*
** Host work paid by its steps rather than its bytes: a comparison of
** strings that pass a NUL costs a call of strcoll per further segment
** (HVX_TEXT_SEGMENT_CYCLES each); a sort without a comparator
** HVX_SORT_COMPARE_CYCLES per comparison; table.concat
** HVX_CONCAT_FIELD_CYCLES per element it fetches (a fetch may run a
** metamethod); and naming a function for an argument error
** HVX_NAME_ENTRY_CYCLES per entry of the loaded modules it walks.
*/
#define HVX_TEXT_SEGMENT_CYCLES		1
#define HVX_SORT_COMPARE_CYCLES		1
#define HVX_CONCAT_FIELD_CYCLES		1
#define HVX_NAME_ENTRY_CYCLES		1
/*
** A call from host code into a function (a library's comparator or
** replacement, a load reader, a metamethod reached from the API) checks
** the budget words as an instruction fetch would, and a host callee, which
** runs no instruction, costs HVX_HOST_CALL_CYCLES. An '__index' or
** '__newindex' chain is walked in one instruction: its first
** HVX_CHAIN_FREE_TABLES tables are free (ordinary inheritance keeps its
** cost), each further one costs HVX_CHAIN_TABLE_CYCLES.
*/
#define HVX_HOST_CALL_CYCLES		1
#define HVX_CHAIN_FREE_TABLES		4
#define HVX_CHAIN_TABLE_CYCLES		1

/*
** Accounted sizes passed to the allocator: fixed per kind of object, the
** same on every platform, so memory limits do not depend on the host.
*/
#define HVX_ACC_STATE		1616	/* main state block, and each thread */
#define HVX_ACC_CALLINFO	64
#define HVX_ACC_TABLE		56	/* table header; its parts count per slot */
#define HVX_ACC_ELEM		16	/* per element of any vector or table part */
#define HVX_ACC_LCLOSURE	32	/* + HVX_ACC_ELEM per upvalue */
#define HVX_ACC_CCLOSURE	40	/* + HVX_ACC_ELEM per upvalue */
#define HVX_ACC_UPVAL		40
#define HVX_ACC_PROTO		128
#define HVX_ACC_STRING		32	/* + its length */
#define HVX_ACC_UDATA		56	/* + its payload, whatever its user values */

/*
** The seed of a state's string hashes: random, as in Lua, unless a
** benchmark fixed it (lua_hvx_fixseed) so that its counts repeat.
*/
struct lua_State;
unsigned int hvx_makeseed(struct lua_State *L);
#define luai_makeseed(L)	hvx_makeseed(L)

#endif
