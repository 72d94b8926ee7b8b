// Scripted kernels end to end: each test kernel in tests/runtime/scripts is
// booted as the root process of the built program, headless, and its
// standard output, log and exit code are checked.
//
// A new scripted test is one Lua file in scripts/ and one row in kScripts.
// Each kernel boots from a test sysrom.dat in the built program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/pfile_ops.h"
#include "storage/writeback.h"
#include "tests/support/harness.h"
#include "tests/support/rom_maker.h"

namespace {

struct kernel_script {
    const char* file;                       // in tests/runtime/scripts/
    std::vector<std::string> out;           // standard output, line by line, exactly
    std::vector<std::string> log;           // log texts that must appear, in this order
    int exit_code;
    size_t max_log_bytes = 0;               // 0: any size
    std::vector<std::string> once = {};     // log texts that must appear exactly once
    // Globals the kernel gets before its first line: the machine's constants
    // its expectations are reckoned from.
    std::vector<std::pair<std::string, int64_t>> constants = {};
};

const std::vector<std::string> kExitLog = {"[halvoran_exit]\n", "[halvoran_exit] flushing dirty mounts..\n",
                                           "[halvoran_exit] ok\n"};

std::vector<std::string> with_exit(std::vector<std::string> v) {
    v.insert(v.end(), kExitLog.begin(), kExitLog.end());
    return v;
}

const kernel_script kScripts[] = {
    {"kernel_processes.lua",
     {
         "kernel: boot 1",
         "dummy 2: true _run_process_slice: could not find lua state",
         "wm 3",
         "worker 4, victim 5",
         "stamped 1 0 integer",
         "frame 1: child_completed 2 from 2",
         "frame 1: pong 42 from 3 flags 1, ping flags 0, text intact true",
         "frame 3: worker 3 from 4",
         "frame 4: 4 halted, removing",
         "frame 4: child_completed 4 from 2",
         "frame 4: victim state -1",
         "frame 5: 5 dropped: _run_process_slice: bad process id",
         "frame 5: child_completed 5 from 2",
         "kernel: exit",
     },
     with_exit({"creating process 1 [root] [root]\n", "creating process 2 dummy /ram/dummy.lua\n",
                "creating process 3 wm /system/wm.lua\n", "creating process 4 worker /ram/worker.lua\n",
                "creating process 5 victim /ram/victim.lua\n"}),
     0},
    {"kernel_error.lua",
     {
         "kernel: boot",
         "bad 4, broken nil",
         "frame 1: child_completed 2",
         "frame 1: report from 5: *syntax error",
         "frame 1: report from 5: broken:1: unexpected symbol near '='",
         "frame 2: bad dropped: _run_process_slice: could not find lua state",
         "frame 2: child_completed 4",
         "frame 2: report from 4: *runtime error",
         "frame 2: report from 4: bad:1: attempt to index a nil value (local 't')",
         "frame 2: report from 4: stack traceback:",
         "kernel: still running",
     },
     with_exit({"creating process 5 broken /ram/broken.lua\n", "syntax error. ** could not create process **\n",
                "run_process_slice() for process 4 error: 2 bad:1: attempt to index a nil value (local 't')\n",
                "SYSTEM ERROR: *runtime error\n"}),
     0},
    {"kernel_spin.lua",
     {
         "kernel: boot",
         // The second slice gets what the first left: half, less the jump
         // that ran past the first one's end.
         "frame 1: false 0.5, false 0.49999284743581, true 0.0, state 0",
         "frame 2: false 0.5, false 0.49999284743581, true 0.0, state 0",
         "frame 3: false 0.5, false 0.49999284743581, true 0.0, state 0",
         "frame 4: false 0.5, false 0.49999284743581, true 0.0, state 0",
         "kernel: exit",
     },
     with_exit({"creating process 2 spin /ram/spin.lua\n"}),
     0},
    {"kernel_signals.lua",
     {
         "kernel: boot",
         "** lua54__apply_system_settings failed; not a table",
         "36: 0.0 -> 1.0",
         "38: baseline taken true, kept true",
         "43/44: 1.0 2.0 1.0",
         "333: 1, date: 2024 366",
         "after reboot: clipboard 6 kept, 333: 2",
     },
     with_exit({"creating process 4 booster /ram/booster.lua\n", "--- rebooting ---\n",
                "creating process 1 [root] [root]\n"}),
     0},
    {"kernel_vyn.lua",
     {
         "kernel: boot",
         "{[\"a b\"]=true,x=5,[10]=\"z\",1,2,3}",
         "p:\"a\\\"b\\093\\n\"",
         "cyclic 0",
         "2 x",
         "c unvyn(\"b64:bHo0AAIAAAABAAAAEDE=\")",
         "userdata(\"u8\",2,2,\"010203ff\")",
         "001",
         "str nil inf",
         "kernel: exit",
     },
     kExitLog,
     0},
    {"kernel_file_round_trips.lua",
     {
         "kernel: boot",
         "texts: 0.30000000000000004 123456789012345 9223372036854775808 1 1e+999 nil 0.1; tostring 0.3",
         "vyn ok, store vyn ok, txt ok, message ok",
         "f64 userdata: ok, txt ok",
         "raw txt: ok, lua ok, with header ok, header with its line feed ok",
         "metadata: 7 refused: store: metadata is not one vyn header; old file 5 kept",
         "accepted: 0 0 7 newer",
         "shared: vyn 0, store vyn: value too large, message false vyn: value too large",
         "shared refusals pay their weighing, cycles off: 0 0 0",
         "kernel: exit",
     },
     kExitLog,
     0},
    // Messages: a finalizer's read during a long read, a message that would
    // build a million tables, many keys, and what a receiver can hold.
    {"kernel_message_reentry.lua",
     {"kernel: boot", "outer big 20000 00000001 00020000", "inner reads during the outer one: true",
      "all 50 in order: true", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_message_bomb.lua",
     {"kernel: boot", "sent 0", "read after, then 0", "kernel: exit"},
     with_exit({"_read_message: message of "}),
     0},
    {"kernel_message_keys.lua",
     {"kernel: boot", "sent 0", "keys 150000, k150000 = 150000",
      "false: vyn: value too deep or cyclic; queued 0", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_message_memory.lua",
     {"kernel: boot", "send 1: queued", "send 2: false send_message: the receiver cannot hold the message",
      "send 3: false send_message: the receiver cannot hold the message",
      "receiver holds 1 message of 8000000 bytes, state 0", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_sockets.lua",
     {"kernel: boot", "echo ping, client sockets 1, all 3.0", "after the client: 1.0", "after the server: 0.0",
      "kernel: exit"},
     kExitLog,
     0},
    // Scripts that tried to crash, stall or fill the host: finalizers while
    // the host builds a result or converts arguments, slices nested past the
    // C stack, the debug library on host frames, logs, compiles, sources
    // with NULs, heavy calls that cannot yield, sandboxes, huge table loops.
    {"kernel_process_list.lua",
     {"kernel: boot", "listed while removing: true, every list whole: true", "left: 1", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_slice_chain.lua",
     {"kernel: boot", "2 -> 3: true _run_process_slice: slices nested too deep", "next in the chain untouched: state 0",
      "125: ran", "124 -> 125: true nil", "123 -> 124: true nil", "122 -> 123: true nil", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_debug_host.lua",
     {"kernel: boot", "finalizer met _crc: true", "setupvalue on a host function: 0 results", "matches: 1000",
      "upvaluejoin with a host function: false", "concat: 500000", "held by the host after the registry is emptied: 7",
      "kernel: exit"},
     kExitLog,
     0},
    {"kernel_log_bounds.lua",
     {"kernel: boot", "kernel: exit"},
     with_exit({"creating process 2 two\\n[000001 001] forged line /ram/two.lua\n",
                "SYSTEM ERROR: bad:1: malformed number near '1111111111", "syntax error. ** could not create process **\n"}),
     0,
     1 << 20},
    {"kernel_compile_charge.lua",
     {"kernel: boot", "sources compiled in 120 frames: at most 4", "restarts in 120 frames: at most 10",
      "kernel: exit"},
     kExitLog,
     0},
    {"kernel_source_nul.lua",
     {"kernel: boot", "child: 3 0", "nul in the code: nil", "wm: *syntax error", "wm: nulcode:1: unexpected symbol",
      "kernel: exit"},
     kExitLog,
     0},
    {"kernel_heavy_calls.lua",
     {"kernel: boot", "sort of 1000000: true nil", "gsub over 10485760: true, 10485760 calls",
      "endless table.sort caught: state -1, child_completed", "endless string.gsub caught: state -1, child_completed",
      "kernel: exit"},
     with_exit({"process 3 ran past the ceiling of a non-yieldable call\n",
                "SYSTEM ERROR: *runtime error: out of cycles in a non-yieldable call\n",
                "process 4 ran past the ceiling of a non-yieldable call\n"}),
     0},
    {"kernel_sandbox_family.lua",
     {"kernel: boot", "s: flags 3", "a: flags 2", "b: flags 2", "family: true true", "made by the kernel: flags 1",
      "kernel: exit"},
     kExitLog,
     0},
    {"kernel_table_loops.lua",
     {"kernel: boot", "move: 1 0 stop", "move: 9223372036854775806 9223372036854775807 stop",
      "move: -2 9223372036854775801 stop", "move: -9223372036854775808 0 stop",
      "insert: 1125899906842624 stop at 1125899906842625", "remove: 1 stop at 1", "kernel: exit"},
     kExitLog,
     0},
    // Limits on host work: a matrix product past its ceiling, finalizers
    // that never return, a process that keeps starting runaways, and an
    // atomic operation whose holder stops running.
    {"kernel_matmul_ceiling.lua",
     {"kernel: boot", "350: 350x350 6.0, in place done 6.0", "406: 406x406 6.0, in place done 6.0",
      "407: refused, in place refused, a[0] 2.0", "1000: refused, in place refused, a[0] 2.0", "kernel: exit"},
     with_exit({"process 1: matmul refused: the product passes the ceiling of 2^26 multiply-adds\n"}),
     0},
    {"kernel_gc_runaway.lua",
     {"kernel: boot", "tables: state -1, child_completed", "userdata: state -1, child_completed",
      "kept to the end: state -1, child_completed", "kernel: exit"},
     with_exit({"process 3 ran past the ceiling of a non-yieldable call\n",
                "SYSTEM ERROR: *runtime error: out of cycles in a non-yieldable call\n",
                "process 4 ran past the ceiling of a non-yieldable call\n",
                "process 5: 999 finalizers left out at its end"}),
     0},
    {"kernel_runaway_spawner.lua",
     {"kernel: boot", "made 1, spawner state 0", "kernel: exit"},
     with_exit({"process 5 ran past the ceiling of a non-yieldable call\n",
                "process 4 owes 50331649 cycles for it\n"}),
     0},
    // Long calls that cannot yield, looped: past the kernel's ids every cycle
    // past a slice is owed, by the process and by whoever gave the slice.
    {"kernel_nonyield_debt.lua",
     {"kernel: boot", "wm 3: 6 calls in 62 frames, slices false 1.0", "app 4: 3 calls in 62 frames, slices false 1.0",
      "kernel: exit"},
     kExitLog,
     0},
    // A program's debt stops every process of it, a fresh one included,
    // and a slice that only pays it off reports that the process wants time.
    {"kernel_program_debt.lua",
     {"kernel: boot", "relays: 1 calls in 60 frames, later relays' slices false 0.250",
      "owing 6: before its restart false 0.5, after it false 0.5 until it ran and flipped: about 60 frames",
      "kernel: exit"},
     kExitLog,
     0},
    // A young process's code that cannot yield runs at most a young
    // allowance past its slice (and the pool young ones share, while it
    // lasts): a relay of fresh programs through a system launcher ends there
    // every time, an ordinary sort in a program's first frames fits.
    {"kernel_launcher_relay.lua",
     {"kernel: boot", "relays: 15 started, 0 finished their call", "kernel: exit"},
     with_exit({"process 4 ran past the ceiling of a non-yieldable call\n"}),
     0},
    {"kernel_first_frame_sort.lua",
     {"kernel: boot", "sorter 4: sorted in frame 4, in order true, state 0", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_tiny_slices.lua",
     {"kernel: boot",
      "frame 1: false 279, true 0, true 0, true 0, true 0, true 0, true 0, true 0; frame 1.0",
      "60 frames: the giver ran 1, its children made 1 calls", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_atomic_halt.lua",
     {"kernel: boot", "_signal(40) _halt(): other ran 3 times, holder state 1",
      "_signal(40) error('failed'): other ran 3 times, holder state -1", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_source_memory.lua",
     {"kernel: boot", "child holds its 6 MB source: true", "kernel: exit"},
     kExitLog,
     0},
    // Drawing: ellipses too large to trace, sprites stretched from past the
    // edges of their source, and the limits that cut a call short.
    {"kernel_huge_shapes.lua",
     {"kernel: boot", "circfill 1100000: formula true, pixels > 100000", "circ 1100000: formula true, pixels some",
      "circfill 1048576: formula true, pixels > 100000", "circ 1048576: formula true, pixels some",
      "ovalfill: formula true, pixels some", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_sspr_edges.lua",
     {"kernel: boot", "left clamp: 18..33 0011223344556677 | 18..33 0011223344556677 | empty",
      "right cut, flipped: 10..17 77665544 | 10..17 77665544 | empty",
      "wholly left: 50..65 0011223344556677 | 50..65 0011223344556677 | empty",
      "doubled: 10..25 0011223344556677 | 10..25 0011223344556677 | empty",
      "mirrored by dw: 14..29 7766554433221100 | 14..29 7766554433221100 | empty",
      "wider than the sprite: 0..15 0011223344556677 | 0..15 0011223344556677 | empty",
      "centred: 6..12 | 6..12 | empty", "batch: 18..33 0011223344556677 | 10..17 77665544 | empty", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_cut_offs.lua",
     {"kernel: boot", "kernel: exit"},
     kExitLog,
     0,
     0,
     {"process 1: print cut off: the text cost over 2796200 cycles; the rest is not printed\n",
      "process 1: batch drawing call cut off: its items cost over 8388600 cycles; the rest are not drawn\n"}},
    // Files and mounts: host folder work is charged, RAM files and script
    // mounts are bounded, cartridges that did not load refuse writes, a call
    // writes back only the cartridge it names, and the text form keeps its
    // names.
    {"kernel_host_folder_charge.lua",
     {"kernel: boot", "suspended and resumed each frame: true", "loops in a half slice: at most 100", "kernel: exit"},
     kExitLog,
     0},
    {"kernel_cart_mounts.lua",
     {"kernel: boot", "filled with 7930 path mounts, four freed", "cartridge mounts standing: 4",
      "its change back after being dropped: true", "path mounts standing: 7926", "cartridge files: 10",
      "kernel: exit"},
     kExitLog,
     0},
    {"kernel_cart_reserve.lua",
     {"kernel: boot", "cartridges made 7930, refused 470, a write under a refused one kept: false",
      "under the cartridge file: nil", "the kernel's mount: folder", "the kernel's cartridge: true folder",
      "another program's cartridge opens: true", "kernel: exit"},
     with_exit({"process 4: cartridge refused: the mount table is full; /ram/c7931.hvx not mounted\n"}),
     0,
     0,
     {"process 4: cartridge refused"}},
    {"kernel_mount_shares.lua",
     {"kernel: boot", "mounter 4 state -1, standing 64", "after it is gone: 64", "the kernel's: folder",
      "launcher 40, its child 24", "a later program: folder", "setup mounts standing: 960",
      "past the pool: nil, the kernel's: folder", "after one is removed: folder", "kernel: exit"},
     with_exit({"process 4: mount refused: program 4 has 64 mounts standing; /a65 not mounted\n",
                "process 6: mount refused: program 5 has 64 mounts standing; /e25 not mounted\n",
                "process 23: mount refused: ended programs have 1024 mounts standing; /c1 not mounted\n"}),
     0,
     0,
     {"process 4: mount refused"}},
    {"kernel_fetch_shares.lua",
     {"kernel: boot", "children: 16 16 16 16 0 0 0 0 0 0 0 0 0 0 0 0", "another program: 16",
      "the kernel: 16, process 2: 16", "kernel: exit"},
     with_exit({"process 9: _fetch_remote: its program 4 holds 64 jobs; more are refused\n"}),
     0},
    {"kernel_fetch_reads.lua",
     {"kernel: boot", "one by one: 40 read, 0 refused", "another program read 16", "its 17th: refused",
      "kernel: exit"},
     with_exit({"process 5: _fetch_remote: it holds 16 jobs; more are refused\n"}),
     0},
    {"kernel_ram_bound.lua",
     {"kernel: boot", "entries: 1 1 1 1 1 1 1 1 0", "into the ninth: store: could not write the file",
      "past the bound: store: could not write the file", "below it: nil", "kernel: exit"},
     with_exit({"cartridge /b9.hvx.rom did not load: RAM files would pass their 512 MB bound; writes to it are "
                "refused\n"}),
     0},
    {"kernel_dead_cart.lua",
     {"kernel: boot", "store: store: could not write the file, fetch: nil", "mkdir: mkdir failed", "cp: nil",
      "new png: nil", "can not populate /ram/mount/m3", "hvx.png loader not supported in this build.",
      "png file: file", "png reopened: nil, store: could not write the file",
      "replaced: print(2), nil", "kernel: exit"},
     with_exit({"cartridge /bad.hvx did not load whole; it can be read, but writes to it are refused\n",
                "cartridge /n.hvx.png did not load whole; it can be read, but writes to it are refused\n"}),
     0},
    {"kernel_damaged_pxa.lua",
     {"kernel: boot",
      "/damaged.hvx.rom: main.lua 155 bytes, store: store: could not write the file, file file of 155 bytes, "
      "as stored: true",
      "/short.hvx.rom: main.lua 23 bytes, store: store: could not write the file, file file of 39 bytes, "
      "as stored: true",
      "kernel: exit"},
     with_exit({"cartridge /damaged.hvx.rom did not load whole; it can be read, but writes to it are refused\n",
                "cartridge /short.hvx.rom did not load whole; it can be read, but writes to it are refused\n"}),
     0},
    {"kernel_cart_write_back.lua",
     {"kernel: boot", "after the flush signal: none", "a child ended: 1 2 3", "ls / leaves 1 2 3",
      "ls /s2.hvx leaves 1 3", "ls /s2.hvx/d leaves 1 3", "fstat /s3.hvx leaves 1 2", "fetch /s1.hvx leaves 2 3",
      "ls of a changed cartridge pays that, cycles off: 0", "one frame later waiting: 1 2", "kernel: exit"},
     kExitLog,
     0,
     0,
     {},
     {{"CART_TEXT_ENCODE_BYTES_PER_CYCLE", CART_TEXT_ENCODE_BYTES_PER_CYCLE}, {"PFILE_WRITE_COST", PFILE_WRITE_COST}}},
    {"kernel_cart_names.lua",
     {"kernel: boot", "hvx: store: could not write the file, mkdir failed", "hvx.rom: nil",
      "a file named like a folder: store: could not write the file, store: could not write the file",
      "hvx: 6 of 6 read back",
      "hvx.rom: 6 of 6 read back", "hvx.rom keeps the odd name: true", "kernel: exit"},
     kExitLog,
     0},
};

constexpr int kNoExitCode = 124;  // the kernel never asked to end

struct kernel_run {
    int exit_code = -1;
    std::string out;
    std::string log;
};

std::string scripts_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/scripts/";
}

// A kernel is stopped after this many frames: it asks for the exit at the
// next one, as if it had asked itself. The limit counts frames, so a loaded
// or sanitized host, whose frames are slower, stops it no sooner; the wall
// clock limit below is a last guard against a kernel stuck inside a frame.
constexpr int kFrameLimit = 3600;
constexpr int kLastGuardMs = 400000;

// Counts the kernel's frames; on its first line, so its line numbers stay.
std::string with_frame_limit(const std::string& code, int frames) {
    return "do local flip_, frames_ = flip, 0 function flip(...) frames_ = frames_ + 1 if frames_ == " +
           std::to_string(frames) + " then printh('** frame limit: " + std::to_string(frames) +
           " frames') _signal(33) end return flip_(...) end end " + code;
}

// Boots the kernel as /system/boot.lua of its own test sysrom.dat in the
// built program, headless, so every exit path is the program's own.
// A kernel still running after timeout_ms is stopped and counts as kNoExitCode.
kernel_run run_kernel_code(const std::string& code, int timeout_ms = kLastGuardMs, int frames = kFrameLimit) {
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", with_frame_limit(code, frames)}}));
    hvx_test::run_result run = inst.run({"-x"}, timeout_ms);
    kernel_run r;
    r.exit_code = run.timed_out ? kNoExitCode : run.exit_code;
    r.out = run.out;
    r.log = hvx_test::read_file(inst.log());
    return r;
}

kernel_run run_kernel(const kernel_script& k) {
    std::string code = hvx_test::read_file(scripts_dir() + k.file);
    if (code.empty()) {
        kernel_run r;
        r.out = "cannot read " + scripts_dir() + k.file;
        return r;
    }
    // On the first line too, so the script's line numbers stay.
    std::string first;
    for (const auto& [name, value] : k.constants) first += name + " = " + std::to_string(value) + " ";
    return run_kernel_code(first + code);
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> v;
    size_t at = 0;
    while (at < s.size()) {
        size_t nl = s.find('\n', at);
        if (nl == std::string::npos) nl = s.size();
        v.push_back(s.substr(at, nl - at));
        at = nl + 1;
    }
    return v;
}

void PrintTo(const kernel_script& k, std::ostream* os) { *os << k.file; }

class ScriptedKernel : public testing::TestWithParam<kernel_script> {};

TEST_P(ScriptedKernel, RunsAsExpected) {
    const kernel_script& k = GetParam();
    kernel_run r = run_kernel(k);
    EXPECT_EQ(r.exit_code, k.exit_code) << r.out;
    EXPECT_EQ(lines_of(r.out), k.out) << r.out;
    size_t at = 0;
    for (const std::string& want : k.log) {
        size_t found = r.log.find("] " + want, at);
        EXPECT_NE(found, std::string::npos) << "log lacks (in order): " << want << "\n" << r.log;
        if (found != std::string::npos) at = found + want.size();
    }
    for (const std::string& want : k.once) {
        size_t n = 0;
        for (size_t at = r.log.find("] " + want); at != std::string::npos; at = r.log.find("] " + want, at + 1)) n++;
        EXPECT_EQ(n, 1u) << want << "\n" << r.log;
    }
    if (k.max_log_bytes) {
        EXPECT_LE(r.log.size(), k.max_log_bytes);
    }
    // However a script names its processes, every line of the log is the log's own.
    for (const std::string& line : lines_of(r.log)) {
        EXPECT_TRUE(line.empty() || line[0] == '[') << line.substr(0, 200);
    }
}

std::string script_name(const testing::TestParamInfo<kernel_script>& info) {
    std::string n = info.param.file;
    n = n.substr(0, n.find('.'));
    for (char& c : n)
        if (!isalnum((unsigned char)c)) c = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptedKernel, testing::ValuesIn(kScripts), script_name);

// The harness itself: the other ways a run ends.
TEST(ScriptedKernelHarness, OtherEnds) {
    kernel_run endless = run_kernel_code("printh('up') while true do flip() end", kLastGuardMs, 30);
    EXPECT_EQ(endless.exit_code, 0);
    EXPECT_EQ(endless.out, "up\n** frame limit: 30 frames\n");
    // One stuck inside a frame meets the last guard.
    kernel_run stuck = run_kernel_code("printh('up') flip() while true do end", 10000);
    EXPECT_EQ(stuck.exit_code, kNoExitCode);
    EXPECT_EQ(stuck.out, "up\n");

    kernel_run fatal = run_kernel_code("flip() printh('second frame') local x = nil .. 'x'");
    EXPECT_EQ(fatal.exit_code, 0);
    EXPECT_EQ(fatal.out, "second frame\n** RUNTIME ERROR IN KERNEL **\n");
    EXPECT_NE(fatal.log.find("** RUNTIME ERROR IN KERNEL **\n"), std::string::npos) << fatal.log;

    kernel_run returned = run_kernel_code("printh('bye')");
    EXPECT_EQ(returned.exit_code, 0);
    EXPECT_EQ(returned.out, "bye\n");
    EXPECT_NE(returned.log.find("root process ended\n"), std::string::npos);
    EXPECT_NE(returned.log.find("[halvoran_exit] ok\n"), std::string::npos);

    kernel_run broken = run_kernel_code("x = = 1");
    EXPECT_EQ(broken.exit_code, 0);
    EXPECT_EQ(broken.out.rfind("error in /system/boot.lua\n", 0), 0u) << broken.out;
}

// The frame driver's exit and reboot rules, seen from a kernel.
size_t count_of(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
    return n;
}

TEST(FrameDriver, ExitWaitsSixtyFramesForAnAtomicOperation) {
    // The kernel opens an atomic operation, asks to exit, and never closes it:
    // 61 frames log the waiting line (folded), then root slices run until the
    // operation closes (here at the third), then the orderly exit.
    kernel_run r = run_kernel_code(R"lua(
        _signal(40) _signal(33)
        local frames = 0
        while true do
            frames += 1
            if frames == 64 then _signal(41) end
            flip()
        end)lua");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(count_of(r.log, "] [halvoran_exit] (waiting for atomic operation to complete)\n"), 2u) << r.log;
    EXPECT_NE(r.log.find("[x 0060 001] [halvoran_exit] (waiting for atomic operation to complete)\n"),
              std::string::npos)
        << r.log;
    EXPECT_EQ(count_of(r.log, "] [halvoran_exit] waiting for shutdown..\n"), 2u) << r.log;
    EXPECT_NE(r.log.find("[x 0002 001] [halvoran_exit] waiting for shutdown..\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("[halvoran_exit] ok\n"), std::string::npos);
}

TEST(FrameDriver, AnAtomicOperationNeverClosedDoesNotHoldBackTheFinalWriteBack) {
    kernel_run r = run_kernel_code("_signal(40) _signal(33) while true do flip() end");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    size_t note = r.log.find("[halvoran_exit] atomic operation of process 1 still open; writing back\n");
    EXPECT_NE(note, std::string::npos) << r.log;
    EXPECT_LT(note, r.log.find("[halvoran_exit] flushing dirty mounts..\n"));
    EXPECT_NE(r.log.find("[x 0119 001] [halvoran_exit] waiting for shutdown..\n"), std::string::npos) << r.log;
}

TEST(FrameDriver, ExitWithoutAtomicOperationIsImmediate) {
    kernel_run r = run_kernel_code("_signal(33) printh('asked') flip() printh('never')");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "asked\n");
    EXPECT_EQ(r.log.find("waiting"), std::string::npos) << r.log;
}

TEST(FrameDriver, RebootRestartsTheWorkstation) {
    // Each boot asks for a reboot at once, counting its boots in a host file,
    // until the third asks for the exit; the reboot happens at the next frame
    // and boots the kernel again with ids from 1.
    kernel_run r = run_kernel_code(R"lua(
        local n = (fetch('/boots.pod') or 0) + 1
        store('/boots.pod', n)
        printh('boot ' .. n)
        _signal(n < 3 and 34 or 33)
        while true do flip() end)lua");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "boot 1\nboot 2\nboot 3\n");
    EXPECT_EQ(count_of(r.log, "--- rebooting ---\n"), 2u) << r.log;
    size_t first = r.log.find("--- rebooting ---\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(r.log.find("creating process 1 [root] [root]\n", first), std::string::npos);
}

TEST(FrameDriver, RebootWaitsForTheAtomicOperation) {
    kernel_run r = run_kernel_code(R"lua(
        if fetch('/rebooted.pod') then printh('rebooted') _signal(33) while true do flip() end end
        store('/rebooted.pod', true)
        _signal(40) _signal(34)
        for i = 1, 5 do printh('frame ' .. i) flip() end
        _signal(41) flip()
        printh('not reached')
        while true do flip() end)lua");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "frame 1\nframe 2\nframe 3\nframe 4\nframe 5\nrebooted\n");
}

}  // namespace

namespace {

// A file a kernel stores under "/" (the host drive) is there at the next run
// with the same per-user folder.
TEST(FilesAcrossRuns, AFileStoredUnderTheRootIsReadNextRun) {
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom({{"boot.lua", R"lua(
        local v = fetch("/keep.vyn")
        if v then printh("found " .. v.n) else printh("stored " .. select("#", store("/keep.vyn", {n = 42}))) end
        _signal(33) while true do flip() end)lua"}}));
    hvx_test::run_result first = inst.run({"-x"});
    EXPECT_EQ(first.out, "stored 0\n") << first.err;
    hvx_test::run_result second = inst.run({"-x"});
    EXPECT_EQ(second.out, "found 42\n") << second.err;
}

}  // namespace
