// The machine's charges: every cycle a host call, the allocator or a drawing
// path adds to a process's count for host work, in one table, grouped by the
// layer that charges it. A cycle stands for about 60 ns of host time (a
// frame's budget, CPU_FRAME_BUDGET, in a 60th of a second). Each entry says
// what host work it pays and how its rate was found: a benchmark in bench/ or
// a measurement, or "a set rate" where none was taken. The limits that bound a
// charge (ceilings, free sizes, counts) stay with the code that enforces them.
//
// Every layer may include this file; core/core.h does, so every user of the
// ground sees the table. The script language lies below the ground and
// includes nothing of ours, so its charges are defined in lang/ and only
// stated here, checked to agree.
#pragma once

#include <cstdint>

#include "lang/lang.h"

// ---------------------------------------------------------------------------
// Script language (lang/lang.h, lang/core/hvx_luaconf.h)
// ---------------------------------------------------------------------------

// Per executed instruction; the cheap ones (moves, loads, add/subtract and
// bitwise arithmetic) cost less. A set rate.
static_assert(HVX_CYCLES_INSTRUCTION == 2 && LANG_CYCLES_PER_INSTRUCTION == 2);
static_assert(HVX_CYCLES_CHEAP == 1 && LANG_CYCLES_CHEAP_INSTRUCTION == 1);
// table.insert and table.remove: a cycle per element moved; table.move: 4 per
// element of each whole chunk. A set rate.
static_assert(HVX_TABLE_MOVE_CYCLES == 4);
// Pattern matching: a cycle per step of the matcher (a try at a position, or
// a character scanned; a try takes the host about as long as a few
// instructions).
static_assert(HVX_PATTERN_STEPS_PER_CYCLE == 1);
// Values taken or made a byte each (string.byte and char, utf8.codepoint and
// char) and the bytes %q writes: 2.5-6 ns each on the host (utf8.char's 45,
// %q's escapes of control bytes 26); a cycle per 8 (7.5 ns each).
static_assert(HVX_TEXT_VALUES_PER_CYCLE == 8);
// Host work paid by its steps: a call of strcoll per further segment of
// strings that pass a NUL, a comparison of a sort without a comparator, an
// element table.concat fetches, an entry of the loaded modules walked to name
// a function. A set rate.
static_assert(HVX_TEXT_SEGMENT_CYCLES == 1 && HVX_SORT_COMPARE_CYCLES == 1);
static_assert(HVX_CONCAT_FIELD_CYCLES == 1 && HVX_NAME_ENTRY_CYCLES == 1);
// Bytes of a text read a byte at a time: 3 MB take the host about 1.9 ms,
// 0.65 ns a byte; a cycle per 64 bytes stands for 0.93 ns
// (bench/charged_calls_bench).
static_assert(LANG_TEXT_BYTES_PER_CYCLE == 64);
// Bytes of a text copied or searched as a block: a 3 MB copy takes about
// 0.25 ms, 0.08 ns a byte; a cycle per 512 stands for 0.12 ns
// (bench/charged_calls_bench).
static_assert(LANG_TEXT_COPY_BYTES_PER_CYCLE == 512);
// A full collection, by the heap's bytes: 100,000 empty tables (7.7 MB) take
// 1.9-2.4 ms, 0.24-0.31 ns a byte; a cycle per 192 stands for 0.31 ns
// (bench/charged_calls_bench).
static_assert(LANG_COLLECT_HEAP_BYTES_PER_CYCLE == 192);
// A step of lua_next: a string-keyed entry of a 400,000-entry hash part takes
// about 350 ns; 8 cycles stand for 477 ns (bench/charged_calls_bench).
static_assert(LANG_NEXT_ENTRY_COST == 8);
// A call from host code into a function: a cycle when the callee is a host
// function (a function of the dialect pays for its instructions); each table
// of an __index or __newindex chain past the fourth, a cycle. A set rate.
static_assert(HVX_HOST_CALL_CYCLES == 1 && HVX_CHAIN_TABLE_CYCLES == 1);
// The collector's own work as it is done, at a quarter to a half of what
// bench/collect_rates_bench measured (a traversed slot 2.1 ns, a live object
// swept 20-70 ns, one freed 120-200 ns, a rehashed string-table entry 5.4 ns):
// see lang/lang.h.
static_assert(LANG_COLLECT_MARK_SLOTS_PER_CYCLE == 64 && LANG_COLLECT_SWEPT_PER_CYCLE == 4);
static_assert(LANG_COLLECT_FREED_PER_CYCLE == 1 && LANG_STRING_REHASH_ENTRIES_PER_CYCLE == 16);

// ---------------------------------------------------------------------------
// The ground (core/)
// ---------------------------------------------------------------------------

// An allocation of n bytes costs (n >> ALLOC_COST_SHIFT) + ALLOC_COST_BASE:
// the allocator's call and the bytes it hands over. A set rate.
inline constexpr int ALLOC_COST_SHIFT = 7;
inline constexpr int64_t ALLOC_COST_BASE = 4;

// ---------------------------------------------------------------------------
// Typed userdata (userdata/)
// ---------------------------------------------------------------------------

// A userdata made (its bytes cleared): this, plus its padded bytes / 16. A set
// rate.
inline constexpr int UD_BASE_COST = 8;
// get refused for a count past the stack limit: the arguments and the stack
// it checked.
inline constexpr int32_t UD_GET_REFUSAL_COST = UD_BASE_COST;
// clear: one cycle per 64 bytes. A set rate.
inline constexpr int UD_CLEAR_COST_SHIFT = 6;
// crc reads every byte: charged as clear is, so that it cannot be looped over
// a 16 MB value for free.
inline constexpr int UD_CRC_COST_SHIFT = 6;
// peek and poke: one per 4 elements. A set rate.
inline constexpr int UD_PEEK_COST_SHIFT = 2;
// transpose: one cycle per 2^UD_TRANSPOSE_COST_SHIFT elements it moves (its
// work grows with the value; a free call could be looped over 16 MB). A set
// rate.
inline constexpr int UD_TRANSPOSE_COST_SHIFT = 3;
// cross: six multiplies and three subtractions of three-element vectors. A
// set rate.
inline constexpr int32_t UD_CROSS_COST = 2;
// matmul3d of a many-row value: each group of four rows (at most twelve
// products a row) besides the per-row charge. A set rate.
inline constexpr int32_t UD_MATMUL3D_GROUP_COST = 4;

// ---------------------------------------------------------------------------
// Storage (storage/)
// ---------------------------------------------------------------------------

// Host folder work, sized from the host time it takes (a frame's budget is
// about 16 ms of it, so 1 ms is ~16,800 cycles): one mkdir, remove, stat or
// opendir, and each byte of the host path it walks.
inline constexpr int32_t HOST_FOLDER_OP_COST = 4096;
inline constexpr int32_t HOST_PATH_BYTE_COST = 4;
// A host listing: each entry it reads and stats, each name it sorts and
// returns. A set rate.
inline constexpr int32_t HOST_LIST_ENTRY_COST = 256;
inline constexpr int32_t LIST_NAME_COST = 16;
// A RAM listing walks only its folder's records: one it passes without a name
// (hidden, a mount point, past the names' cap) and each bisection of the table
// that skips a child's own records (about 140 ns beside 100,000 files) are
// paid besides the names.
inline constexpr int32_t LIST_RECORD_PASSED_COST = 1;
inline constexpr int32_t PFILE_BISECT_COST = 4;
// Deleting a RAM folder looks at the records under it and releases each:
// 70 ns a record for a 1,000-file folder, 140 ns for 10,000 (their memory
// given back included; bench/storage_bench, BM_delete_ram_folder). Per record
// released, and a cycle per 8 table entries looked at.
inline constexpr int32_t RAM_FILE_RELEASE_COST = 2;
inline constexpr int32_t PFILE_WALK_ENTRIES_PER_CYCLE = 8;
// An existence test ("re" open). A set rate.
inline constexpr int32_t PFILE_EXISTS_COST = 16;
// A host write, plus length / 8; the slower one before the video is up, for a
// video pid of 4 or more. A set rate.
inline constexpr int32_t PFILE_WRITE_COST = 0x11111;
inline constexpr int32_t PFILE_WRITE_COST_SLOW = 0x44444;
// A path argument is brought to its normal form, resolved through the mounts
// and looked up segment by segment: a 600-byte path of 84 segments takes the
// host about 12 us more than a short one, 20 ns a byte. Past PATH_FREE_BYTES
// (storage/paths.h) a path pays a cycle per 4 bytes (15 ns a byte).
inline constexpr int64_t PATH_BYTES_PER_CYCLE = 4;
// A flush or drop of every mount looks at each entry of the table: a cycle
// per 2 entries (about 27 ns an entry for the two looks).
inline constexpr int MOUNTS_SCANNED_PER_CYCLE = 2;
// Dropping a mount releases its records and index entries: up to about 16 us
// beside a full table.
inline constexpr int MOUNT_DROP_COST = 256;
// The cartridge file a new mount reads, in bytes a cycle: measured from about
// 90 (a large file into fresh pages) to 700 (a file in the page cache;
// bm_cart_mount_rom, bm_pfopen_read), the slower rate rounded down. What the
// file unpacks to is charged besides, so a small file that unpacks large pays.
inline constexpr int64_t CART_MOUNT_READ_BYTES_PER_CYCLE = 64;
// Unpacked cartridge bytes, as a host read.
inline constexpr int64_t CART_UNPACK_BYTES_PER_CYCLE = 8;
// A cartridge written back is charged for its encoding by the larger of its
// files' bytes and its encoded bytes, as an unpacking is, at its form's rate
// (the host write is charged besides, at its close); a PNG, whose ROM is packed as
// a ROM's is, pays for its picture besides. Measured with the copy and the
// encoding on every thread, without the host write (BM_cart_encode,
// BM_cart_encode_over_frames, 1 to 60 MB): the text form from about 11 bytes a
// cycle (text files, each line looked at) to 80 (binary files, in base64); a
// ROM, packed by LZ4 at its high level, from about 1.7 (noise) to 4.5 (text);
// a PNG's picture about 0.2 M cycles for its image and 3 to 4 a byte of the
// ROM its pixels carry (1 KB to 192 KB of noise: 0.2 M to 0.95 M with the
// ROM's packing). The slower rates rounded down, the picture's costs up; its
// ROM's bytes are taken as its files' up to the ROM's bound, so a folder that
// packs small pays more than its picture takes.
inline constexpr int64_t CART_TEXT_ENCODE_BYTES_PER_CYCLE = 10;
inline constexpr int64_t CART_ROM_ENCODE_BYTES_PER_CYCLE = 1;
inline constexpr int64_t CART_PNG_PICTURE_CYCLES = 200000;
inline constexpr int64_t CART_PNG_PICTURE_CYCLES_PER_BYTE = 4;
// The delta generator reads both contents whole (checksums, the position
// table cleared, a match tried at every position of the new one) whatever the
// delta's size: a cycle per 4 bytes of the two. Its slowest shape, a near
// match at every position, takes the host up to 5 ns a byte of the two, and
// two texts of 200 bytes 6 us, table and all (bench/charged_calls_bench);
// 4 bytes a cycle stand for 15 ns.
inline constexpr int64_t DIFF_INPUT_BYTES_PER_CYCLE = 4;
// A history query pays for the day logs it walks (and a month filter it
// builds): each line split and looked at, and the bytes read. A fetch over a
// log of 10,000 lines (400 KB) takes the host about 0.35 ms, 35 ns a line; it
// is charged about 11,300 cycles, which stand for 0.68 ms
// (bench/anywhen_bench, bm_fetch_past_version).
inline constexpr int64_t ANYWHEN_LOG_LINES_PER_CYCLE = 2;
inline constexpr int64_t ANYWHEN_LOG_BYTES_PER_CYCLE = 64;
// A fetch decodes the delta of every version it meets: about 3.4 ns a byte of
// hex text.
inline constexpr int64_t ANYWHEN_HEX_BYTES_PER_CYCLE = 16;
// A version fetched is read (and unpacked) as a host file read at open is.
inline constexpr int64_t ANYWHEN_BLOB_BYTES_PER_CYCLE = 8;
// A fetch or a folder listing looks for the newest day log at or before its
// moment one day (a host stat) at a time.
inline constexpr int64_t ANYWHEN_DAY_PROBE_COST = 16;
// Object data: a value the writer writes, and each entry walked while a value
// holding shared tables is weighed (the weighing walks every distinct entry
// whether the value is then written or refused). A set rate.
inline constexpr int32_t VYN_ENTRY_CYCLES = 2;
// Object data read: the text an lz4 or base64 piece unpacks to, before it is
// read as a document. A set rate.
inline constexpr int64_t VYN_PIECE_BYTES_PER_CYCLE = 12;

// ---------------------------------------------------------------------------
// Sound (audio/)
// ---------------------------------------------------------------------------

// A page of bytes copied into the synthesizer's copy of memory takes the host
// about 110 ns (bench/charged_calls_bench); a whole 16 MB, about 0.5 ms.
inline constexpr int32_t AUDIO_PAGE_COPY_COST = 2;

// ---------------------------------------------------------------------------
// Graphics (gfx/)
// ---------------------------------------------------------------------------

// A colour-table page refilled from the defaults. A set rate.
inline constexpr int32_t COLTAB_REFILL_COST = 8;
// Spans: the fixed part of each path's formula. A set rate.
inline constexpr int32_t SPAN_COST_BASE = 2;
inline constexpr int32_t SPAN_COST_BASE_GROUPED = 3;
// blit: each copied row, beside its width; rows moved within themselves cost
// this many times as much; the Lua call charges cost / 64. A set rate.
inline constexpr int64_t BLIT_ROW_COST = 64;
inline constexpr int BLIT_SAME_ROW_FACTOR = 4;
inline constexpr int BLIT_CHARGE_SHIFT = 6;
// cls: pixels / 64. A set rate.
inline constexpr int CLS_COST_SHIFT = 6;
// pal: each entry of a table given; a remap or palette copied by pal(1),
// pal(2); palt: each colour-table row (64 bytes) it writes. A set rate.
inline constexpr int32_t PAL_ENTRY_COST = 2;
inline constexpr int32_t PAL_TABLE_COST = 1;
inline constexpr int32_t PALT_ROW_COST = 1;
// Each item of a batch (of lines: more), besides its drawing. A set rate.
inline constexpr int64_t BATCH_ITEM_COST = 2;
inline constexpr int64_t BATCH_LINE_ITEM_COST = 3;
// rect, rectfill and spr charge their drawing's cost / 3. A set rate.
inline constexpr int SHAPE_COST_DIVISOR = 3;
// A huge ellipse is found row by row: each row inside the clip box beside its
// span (or its points); a filled one, each tracer step besides the spans. A
// set rate.
inline constexpr int64_t ELLIPSE_HUGE_ROW_COST = 16;
inline constexpr int64_t ELLIPSE_FILL_STEP_COST = 8;
// Each item of a batch of textured lines, of stretched sprites. A set rate.
inline constexpr int64_t TLINE_BATCH_ITEM_COST = 3;
inline constexpr int64_t SSPR_BATCH_ITEM_COST = 5;
// Each map cell in the drawn window. A set rate.
inline constexpr int64_t MAP_CELL_COST = 2;

// ---------------------------------------------------------------------------
// Host platform (platform/)
// ---------------------------------------------------------------------------

// Texts through the clipboard and messages: one cycle per 8 bytes. A set rate.
inline constexpr int MESSAGE_COST_SHIFT = 3;

// ---------------------------------------------------------------------------
// Network (net/)
// ---------------------------------------------------------------------------

// Reading a user-data reply is owed by the program whose ids it answers: its
// bytes at LANG_TEXT_BYTES_PER_CYCLE and each line kept (copied and hashed
// into the table, well under 0.5 us) at this many cycles.
inline constexpr int64_t UDAT_LINE_CYCLES = 8;
// A user-data fetch asked for. A set rate.
inline constexpr int32_t FETCH_UDAT_COST = 32;
// Each entry of the headers given to a remote fetch. A set rate.
inline constexpr int32_t FETCH_HEADER_ENTRY_COST = 2;
// A fetch job started: its thread and buffers, about 0.1 ms of the host.
inline constexpr int32_t FETCH_JOB_START_COST = 2048;
// The socket calls, as bench/socket_bench.cpp measures them on loopback:
// every call into the host's socket layer SOCKET_CALL_COST (a send, receive,
// poll or close with its log line takes 0.5-7 us); a status or read that calls
// nothing of the host (a UDP child's queue, a socket not ready, a dead or
// unknown id) only SOCKET_TABLE_COST (its socket found among at most
// MAX_SOCKETS records and its answer made, well under 0.5 us); one that makes
// a descriptor (a listener, a client, an accept) or asks for a name lookup
// SOCKET_OPEN_COST more (a connect, accept and both closes take 56-90 us
// together); and the bytes it moves (sent or kept, received, a peer's queue
// moved up) a cycle per SOCKET_BYTES_PER_CYCLE (a 60 KB datagram takes 7 us on
// a quiet host, up to 50 us on a busy one).
inline constexpr int32_t SOCKET_CALL_COST = 64;
inline constexpr int32_t SOCKET_TABLE_COST = 8;
inline constexpr int32_t SOCKET_OPEN_COST = 512;
inline constexpr int64_t SOCKET_BYTES_PER_CYCLE = 128;
// A score post, and each item given. A set rate.
inline constexpr int32_t SCORESUB_COST = 64;

// ---------------------------------------------------------------------------
// The machine (runtime/)
// ---------------------------------------------------------------------------

// Releasing a killed or restarted process's address space and host resources,
// besides its heap: 0.2-0.4 ms measured for a small busy one.
inline constexpr int64_t PROCESS_FREE_BASE_CYCLES = 4096;
// Compiling a process source costs its creator this many cycles per byte. A
// set rate.
inline constexpr int64_t COMPILE_CYCLES_PER_BYTE = 4;
// A process's video blitted: the copy's cost >> 3 with a mask, >> 6 without
// (a whole-display blit without a mask is free, BLIT_FREE_W x BLIT_FREE_H in
// runtime/runtime.h). A set rate.
inline constexpr int BLIT_COST_SHIFT_MASKED = 3;
inline constexpr int BLIT_COST_SHIFT_PLAIN = 6;
// unmap: the pages of a range let go. A set rate.
inline constexpr int32_t UNMAP_COST = 4;
// Opening or closing the sound capture (_signal(16)) takes the host 0.10 to
// 0.19 ms (the buffer's swap under the audio lock, the file's start or
// write-out set going): charged as 0.19 ms.
inline constexpr int32_t SIGNAL_AUDIO_CAPTURE_CYCLES = 3200;
// Each entry of a settings table, stepped to and matched against the setting
// names: a table of ten takes the host about 100 ns an entry, 2 cycles. (A
// 400,000-key table misses the caches at every step, 350 ns an entry.)
inline constexpr int32_t SETTINGS_ENTRY_COST = 2;
// stat's session data. A set rate.
inline constexpr int32_t STAT_SESSION_DATA_COST = 32;
// sqrt and rnd. A set rate.
inline constexpr int32_t SQRT_COST = 6;
inline constexpr int32_t RND_COST = 4;
