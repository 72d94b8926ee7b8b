// The write-back of changed cartridges to their files: when each falls due,
// the frame's bounded share, the flushes that write at once, the write of a
// large one over frames (cart_write.cpp), who owes the work, and the reads
// and removals that must write a cartridge first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/charges.h"
#include "storage/cartridges.h"
#include "storage/mounts.h"

// A failed write-back tries again after this, doubled after each failure in
// a row up to WRITE_BACK_RETRY_DOUBLINGS times (a minute).
inline constexpr uint64_t WRITE_BACK_RETRY_MS = 2000;
inline constexpr int32_t WRITE_BACK_RETRY_DOUBLINGS = 5;
// A cartridge written back is charged to the running process for its
// encoding by the larger of its files' bytes and its encoded bytes, as an
// unpacking is, at its form's rate (CART_*_ENCODE_BYTES_PER_CYCLE and the
// picture's CART_PNG_PICTURE_CYCLES*, core/charges.h).
// The cycles the encoding of so many bytes of a cartridge of the kind
// (hvx_path_kind) is charged, a PNG's picture aside.
inline int64_t cart_encode_cycles(cart_kind kind, int64_t bytes) {
    return bytes / (kind == CART_KIND_TEXT ? CART_TEXT_ENCODE_BYTES_PER_CYCLE : CART_ROM_ENCODE_BYTES_PER_CYCLE);
}
// The cycles of a PNG's picture for a folder of so many bytes.
inline int64_t cart_png_picture_cycles(int64_t folder_bytes) {
    return CART_PNG_PICTURE_CYCLES + std::min<int64_t>(folder_bytes, PNG_CART_MAX_ROM) * CART_PNG_PICTURE_CYCLES_PER_BYTE;
}
// The frame's own write-back stops once it has written this many such bytes,
// after at least one cartridge; a ROM's count as many times more as its
// rate is slower than the text form's, and a cartridge counts at least
// WRITE_BACK_FILE_BYTES, as its file is made, renamed and later synced however
// small it is.
inline constexpr int64_t WRITE_BACK_FRAME_BYTES = 4ll << 20;
inline constexpr int64_t WRITE_BACK_FILE_BYTES = 1ll << 20;
// A cartridge written over frames is encoded into its file in pieces of about
// this many bytes, so its write holds no more than that besides its copy.
inline constexpr size_t CART_WRITE_PIECE_BYTES = (size_t)1 << 20;
// The frame hands no more cartridges to the disk writer while it holds this
// many bytes not yet written.
inline constexpr int64_t WRITE_BACK_QUEUED_MAX_BYTES = 16ll << 20;
// A cartridge still growing is written about once: see write_back_wait_ms.
inline constexpr int64_t WRITE_BACK_WAIT_BYTES_PER_MS = 16 << 10;
inline constexpr int64_t WRITE_BACK_WAIT_MAX_MS = 3000;

// Every dirty mount, now (reboot, exit, the flush signals).
int flush_dirty_mounts_immediately();
// The due ones, last mounted first, until WRITE_BACK_FRAME_BYTES are written
// (each cartridge counted at least WRITE_BACK_FILE_BYTES); those an earlier
// frame left due go before them, the earliest left first.
int flush_dirty_mounts_delayed();
// cart_mount_at_or_above(path), when dirty: written now; 1 when written.
// For a read of the cartridge file itself, which must be the newest.
int flush_path_cartridge(const char* path);
// The same for a listing or a look at a cartridge path, which needs only the
// RAM files: a cartridge whose writing may pass WRITE_BACK_FRAME_BYTES is
// left to the frame's write-back, owed by the program that changed it, and
// no caller writes another's; true when one was left so.
bool flush_path_cartridge_if_small(const char* path);
// pfopen and pfile_read_all with "rf" (past a mount at the path itself: a
// cartridge's own file), once the cartridge at or above the path is written
// back, so that the bytes read hold its folder's latest changes.
pfile* pfopen_newest(const char* path);
buffer* pfile_read_newest(const char* path);
// 1 when pfopen_newest opens the path (closed again).
int pdisk_cart_file_exists(const char* path);
// How long a cartridge whose writing may pass WRITE_BACK_FRAME_BYTES waits
// after its first change: MOUNT_FLUSH_DELAY_MS and a millisecond per
// WRITE_BACK_WAIT_BYTES_PER_MS of the estimate, at most WRITE_BACK_WAIT_MAX_MS.
uint64_t write_back_wait_ms(int64_t need);
// Writes one dirty cartridge mount back; 1 when written. A mount whose
// write-back fails stays dirty and is tried again WRITE_BACK_RETRY_MS later
// (twice as late after each further failure); one marked no_write_back is
// never written.
int flush_dirty_mount(pmount* m, int delayed);
// Waits until every cartridge the write-back handed to the disk writer is in
// its file (or failed), and takes how each went.
void write_back_settle();
// Bytes the latest frame's write-back copied, encoded and wrote.
int64_t write_back_frame_bytes();

// Removals that would lose a cartridge's changes write it back first, even
// inside an atomic operation; one whose write fails stays mounted.
// The mount at the path; 1 when it went (a cartridge's folder with it).
int delete_mount_point(const char* path);
// The history mounts of a process ("/ram/anywhen/<id>_..."), their RAM
// folders with them: as the process is freed.
void prune_process_mounts(int64_t pid);
