// The cost sweep: every function a script can call, made by a process above
// the system ids with arguments of the shapes that are expensive to handle,
// must pay in cycles for the host time it takes. What it calls is read from
// the caller's live state: every host function among its globals and in the
// tables its globals hold (the call table's rows, the socket and host calls,
// the USERDATA methods, the dialect's libraries), so a new one is swept
// without a line here; beside them the operators on long strings. The
// tables around the calls stand at their limits: 100,000 RAM files, the
// mount table filled, 3,000 changed cartridges, 4,000 versions of a file in
// the history, the socket table nearly full, full message queues.
//
// The machine runs CPU_FRAME_BUDGET cycles in a 60th of a second. A call may
// take up to sweep_factor times what its cycles stand for, plus
// sweep_slack_ns, before the sweep names it; a loop of each cheap call for a
// whole slice is held to the same bound with the slack counted once, so a
// call that takes a little under the slack for nothing still fails, and a
// loop may print no more than a few bytes a cycle past one refusal's line. The
// frame's own upkeep is held to its named bounds the same way.
//
// Host time is the thread's CPU time (a loaded machine does not inflate it)
// and the time it was blocked: the wall clock less the CPU time and less the
// time it waited for a core, so a wait inside a call (a connect, a name
// lookup, an fsync) fails too, and a busy host does not. Each case runs up to
// sweep_repeats times and its best run counts, and what a cycle stands for
// is scaled by the host's own speed, read from a loop of paid instructions
// at the start and again before a case is named: a busy or slow host then
// passes where a quiet one does, and a real fault (a walk or a wait nothing
// pays for) still fails by orders of magnitude. The fixtures are built once
// for both tests.
//
// What it cannot see: work on other threads (downloads, the audio mixer,
// the write-back's encoder and syncs), host work a call leaves for later (a
// write-back it makes due, a collection it provokes) unless a later row
// measures that, cost that grows only with a shape no fixture here has (the
// mount table stands 1,024 below its limit, so a mount does not drop a
// fixture; HTTP jobs are the host's own, not a script's), a call's work that
// finishes within the slack when made once and is not looped (most cases
// with setup of their own run once), a name lookup (only the loopback is reached), a call that
// stops the caller (a halt, an exit), which is measured up to that point,
// and a byte charge left off where another charge already pays for the
// bytes (a socket read's bytes are also paid as the string it returns is
// made, at a higher rate).
//
// A call charged a base and per byte is made with many bytes and with few:
// what the bytes add to its host time must be paid by the cycles they add,
// so a byte charge left off fails even where the base charge covers one call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/sanitizer.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "tests/support/files_env.h"
#include "tests/support/loopback_http.h"

namespace {

using hvx_test::files_env;

constexpr double sweep_factor = 20.0;
// A script can loop a cheap call thousands of times a frame, so the slack a
// call may take without paying stays small against a frame.
constexpr double sweep_slack_ns = 1e5;
constexpr double frame_ns = 1e9 / 60.0;
constexpr double ns_per_cycle = frame_ns / CPU_FRAME_BUDGET;
constexpr int sweep_repeats = 3;
// A run past its bound that took longer than this is not run again.
constexpr double sweep_sure_ns = 20e6;
// What one cycle of the paid loop below took on a quiet host of the kind the
// checks run on; a host slower than that gets its bounds widened as much.
constexpr double reference_paid_ns_per_cycle = 2.0;
const char* paid_loop = "local x = 0 for i = 1, 3000000 do x = x + i end return x";
// What a call's many bytes may add to its host time past what the cycles
// they add stand for: per call of a loop, and for a call made once.
constexpr double growth_slack_looped_ns = 250;
constexpr double growth_slack_once_ns = sweep_slack_ns;
// A looped call stops once the loop has used a slice, or has already taken
// this much host time (it has failed by then).
constexpr double loop_give_up_ns = 4 * sweep_factor * frame_ns;
// Bytes a looped call may write to standard output: four for each cycle the
// loop was charged, past one refusal's line. A script's own print of a short
// text stays within it (the call and the loop cost cycles); a refusal that
// prints a line on every call does not.
constexpr int64_t output_slack = 4096;
constexpr double output_bytes_per_cycle = 4;

// The scheduler's run delay of this thread: time it was ready to run but
// waited for a core. Wall time past CPU time, less that, is time it was
// blocked (a connect, a lookup, an fsync), which a busy host does not inflate.
int64_t queued_ns() {
    static const int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    char text[128];
    const ssize_t n = fd < 0 ? -1 : pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    text[n] = 0;
    unsigned long long run = 0, delay = 0;
    return std::sscanf(text, "%llu %llu", &run, &delay) == 2 ? (int64_t)delay : 0;
}

struct clocks {
    int64_t cpu, wall, queued;
};
clocks clocks_now() {
    timespec c{}, w{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c);
    clock_gettime(CLOCK_MONOTONIC, &w);
    return {(int64_t)c.tv_sec * 1000000000 + c.tv_nsec, (int64_t)w.tv_sec * 1000000000 + w.tv_nsec, queued_ns()};
}
// Of the time from t0 to t1, how long the thread was blocked.
double blocked_ns(const clocks& t0, const clocks& t1) {
    return std::max(0.0, (double)((t1.wall - t0.wall) - (t1.cpu - t0.cpu) - (t1.queued - t0.queued)));
}

// How many host ns a cycle may stand for here: the machine's rate, widened
// on a host slower than the reference.
double host_scale = 1.0;
double cycle_ns() { return ns_per_cycle * host_scale; }
double bound_ns(double cycles) { return sweep_factor * cycles * cycle_ns() + sweep_slack_ns; }
double ratio(double host_ns, double cycles) { return host_ns / (std::max(cycles, 1.0) * ns_per_cycle); }

struct sweep_case {
    std::string label;
    std::string args;        // a Lua expression list
    std::string setup = "";  // run first in the caller, unmeasured
    bool loop = false;       // also looped for a whole slice
    std::string call = "";   // a Lua expression for what is called, in place of the function swept
    std::string other_setup = "";  // run first in the other program's process, unmeasured
    // The same call with few bytes, for a call charged a base and per byte:
    // what the bytes of `args` add to its host time must be paid by what
    // they add to its cycles (see judge_growth).
    std::string small_args = "";
};

// Built once in the caller, unmeasured, and built again when a call took
// them away. SHARED is 16 integers under six levels of 16 references each
// to the level below: a few hundred physical entries, 16^7 as a tree.
const char* fixtures_lua = R"LUA(
local function exists(p) return fstat(p) ~= nil end
function make_fixtures()
  if not LONG then LONG = string.rep("ab\0", 1 << 20) end
  if not A then
    A = string.rep("x", 4 << 20) .. "y"
    A2 = string.rep("x", 4 << 20) .. "y"  -- equal to A, another string
    B = string.rep("x", 4 << 20) .. "z"
    DIGITS = string.rep("7", 4 << 20)
  end
  if not SHARED then
    local s = {} for i = 1, 16 do s[i] = i end
    for _ = 1, 6 do local n = {} for i = 1, 16 do n[i] = s end s = n end
    SHARED = s
  end
  if not WIDE then WIDE = {} for i = 1, 100000 do WIDE[i] = i end end
  if not U8 then U8 = userdata("u8", 2048, 2048) end
  if not F64 then F64 = userdata("f64", 512, 512) end
  if not TARGET then TARGET = userdata("u8", 480, 270) _set_draw_target(TARGET) end
  if not exists("/ram/many/f1999.txt") then
    mkdir("/ram/many")
    for i = 0, 1999 do store("/ram/many/f" .. i .. ".txt", "x" .. i) end
  end
  if not exists("/ram/empty") then mkdir("/ram/empty") end
  for _, c in ipairs({"/cart.hvx", "/ram/cart.hvx"}) do
    if not exists(c .. "/big3.bin") then
      store(c, "halvoran cartridge // x\nversion 2\n\n:: [eoc]\n")
      for i = 0, 499 do store(c .. "/s" .. i .. ".txt", "y" .. i) end
      for i = 0, 3 do store(c .. "/big" .. i .. ".bin", LONG) end
    end
  end
end
-- About n bytes that do not pack: a block longer than a packer's window, repeated.
function noise(n)
  local r, x = {}, 1
  for i = 1, 70001 do x = x * 1103515245 + 12345 r[i] = string.char((x >> 16) & 255) end
  return string.rep(table.concat(r), n // 70001)
end
-- 200 strings that share a 100 KB prefix, in no order.
function make_prefixed()
  local p, t = string.rep("p", 100000), {}
  for i = 1, 200 do t[i] = p .. ((i * 7919) % 200) end
  return t
end
-- Every one of the 3,000 cartridges changed again.
function touch_carts()
  CART_ROUND = (CART_ROUND or 0) + 1
  for i = 1, 3000 do store("/ram/cc/c" .. i .. ".hvx/t.txt", "r" .. CART_ROUND) end
end
)LUA";

// The tables at their limits, built once: 100,000 RAM files in 100 folders,
// 3,000 cartridges changed, 4,000 versions of one host file.
const char* limit_fixtures_lua = R"LUA(
for d = 1, 100 do
  mkdir("/ram/bulk/d" .. d)
  for i = 1, 1000 do store("/ram/bulk/d" .. d .. "/f" .. i, "b") end
end
mkdir("/ram/cc")
for i = 1, 3000 do store("/ram/cc/c" .. i .. ".hvx", "halvoran cartridge // x\nversion 2\n\n:: [eoc]\n") end
touch_carts()
)LUA";

// Arguments every call gets unless it has its own list only.
std::vector<sweep_case> generic_cases() {
    return {
        {"no arguments", "", "", true},
        {"long string", "LONG"},
        {"two long strings", "LONG, LONG"},
        {"long string, range", "LONG, 1, 0x7fffffff"},
        {"long string, text", "LONG, '\\0'"},
        {"shared levels", "SHARED"},
        {"wide table", "WIDE"},
        {"wide table, long string", "WIDE, LONG"},
        {"big u8", "U8"},
        {"big f64", "F64"},
        {"two big u8", "U8, U8"},
        {"big u8, far rect", "U8, 0, 0, 0x7fffffff, 0x7fffffff"},
        {"three big f64", "F64, F64, F64"},
        {"numbers at the top", "0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff"},
        {"numbers across", "-0x7fffffff, -0x7fffffff, 0x7fffffff, 0x7fffffff, 1, 1"},
        {"zero, top", "0, 0x7fffffff"},
        {"folder of many", "'/many'"},
        {"ram folder of many", "'/ram/many'"},
        {"cartridge", "'/cart.hvx'"},
        {"ram cartridge", "'/ram/cart.hvx'"},
        {"folder of many to ram", "'/many', '/ram/copy_many'"},
        {"cartridge to ram", "'/cart.hvx', '/ram/copy_cart.hvx'"},
        {"ram file beside 100,000", "'/ram/many/f1.txt'", "", true},
        {"path, long string", "'/ram/many/f1.txt', LONG"},
        {"cartridge file, long string", "'/ram/cart.hvx/big1.bin', LONG"},
        {"other process, long string", "OTHER, LONG"},
        {"other process, shared levels", "OTHER, SHARED"},
        {"other process, wide table", "OTHER, WIDE"},
        {"type, top sizes", "'u8', 0x7fffffff, 0x7fffffff"},
        {"type, big sizes", "'f64', 2048, 2048"},
        {"function", "function() end"},
    };
}

// The shape that weighs a writer's walk over shared tables.
const char* shared_wide_setup =
    "local s = {} for i = 1, 16 do s[i] = i end "
    "for _ = 1, 6 do local n = {} for i = 1, 16 do n[i] = s end s = n end "
    "SW = {s} for i = 2, 600000 do SW[i] = i end";

// Calls with arguments of their own. Those marked exclusive get only these:
// the generic ones would end the caller or the harness, or reach past the
// loopback.
struct call_cases {
    bool exclusive;
    std::vector<sweep_case> cases;
};

std::map<std::string, call_cases> specific_cases() {
    const sweep_case shared_wide{"shared levels under a wide table", "SW", shared_wide_setup};
    // To a process whose queue has room: a full queue refuses before weighing.
    const sweep_case to_other_shared_wide{"shared levels under a wide table", "V, SW",
                                          std::string(shared_wide_setup) + " V = spawn('x = 1')"};
    std::map<std::string, call_cases> m;
    m["vyn"] = {false, {shared_wide, {"shared levels, lz4", "SHARED, 0x10"}}};
    m["store"] = {false,
                  {{"shared levels under a wide table", "'/ram/sw.pod', SW", shared_wide_setup},
                   {"cartridge file, shared levels", "'/ram/cart.hvx/t.pod', SHARED"},
                   {"big cartridge, long text", "'/ram/cart.hvx', LONG"},
                   {"big cartridge, short text", "'/ram/cart.hvx', 'x'"}}};
    m["_send_message_raw"] = {false, {to_other_shared_wide, {"self, long string", "pid(), LONG"}}};
    m["send_message"] = m["_send_message_raw"];
    m["unvyn"] = {false, {{"long document", "vyn(WIDE)"}, {"shared document", "vyn(SHARED)"}}};
    m["fetch"] = {false,
                  {{"big cartridge file", "'/cart.hvx/big0.bin'"},
                   {"stored wide table", "'/ram/w.pod'", "store('/ram/w.pod', WIDE)"}}};
    m["create_delta"] = {false, {{"two long strings", "LONG, LONG:sub(2) .. 'z'"}}};
    m["apply_delta"] = {false, {{"long base", "LONG, create_delta(LONG, LONG:sub(3))"}}};
    m["_md5"] = {false, {{"long string", "LONG"}}};
    m["_strindex"] = {false, {{"long string, rare needle", "LONG, 'zzzz'"}}};
    m["split"] = {false, {{"long string by a byte", "LONG, 'a', false"}}};
    m["_read_message"] = {false, {{"full own queue", ""}}};
    // Each victim is made fresh; the caller itself is never the target.
    m["_kill_process"] = {true,
                          {{"busy victim", "V", "V = spawn('while true do end')"},
                           {"busy victim restarted", "V, 1", "V = spawn(string.rep(' ', 1 << 20) .. 'x = 1')"},
                           {"no such process", "9999", "", true}}};
    m["_run_process_slice"] = {true,
                               {{"busy victim", "V", "V = spawn('while true do end')"},
                                {"victim building tables", "V",
                                 "V = spawn('local t = {} while true do t[#t + 1] = {} end')"},
                                {"no such process", "9999", "", true}}};
    m["_close_process_host_resources"] = {true, {{"victim", "V", "V = spawn('x = 1')"}, {"self", "pid()"}}};
    m["_create_process_from_code"] = {
        true, {{"long source", "'x = 1 ' .. string.rep('local a = 1 ', 200000)"}, {"long string", "LONG"}}};
    m["load"] = {false, {{"long source", "string.rep('local a = 1 ', 200000)"}}};
    std::vector<sweep_case> signals;
    for (int s = 0; s <= 70; s++) signals.push_back({"signal " + std::to_string(s), std::to_string(s), "", true});
    signals.push_back({"signal 48, 3,000 changed cartridges", "48", "touch_carts()"});
    m["_signal"] = {true, signals};
    m["_mount"] = {false, {{"cartridge", "'/mc', '/cart.hvx'"}, {"folder of many", "'/mm', '/many'"}}};
    m["mount"] = m["_mount"];
    m["memcpy"] = {false, {{"whole space", "0, 0x10000, 0x7fffffff"}}};
    m["memset"] = {false, {{"whole space", "0, 1, 0x7fffffff"}}};
    m["_map_ram"] = {false, {{"big u8 at zero", "U8, 0"}}};
    m["_set_spr"] = {false, {{"big u8", "0, U8"}}};
    m["_cache_store"] = {false, {{"long string", "'k', LONG"}}};

    // The file table at its limit: listings, deletes and folders beside
    // 100,000 RAM files, and another program's big changed cartridge.
    const sweep_case other_cart{"another program's changed cartridge", "'/oc.hvx'", "", false, "",
                                "OC = (OC or 0) + 1 store('/oc.hvx/t.txt', 'v' .. OC)"};
    for (const char* ls : {"ls", "_ls"})
        m[ls] = {false,
                 {{"empty ram folder beside 100,000 files", "'/ram/empty'", "", true},
                  {"ram file path beside 100,000 files", "'/ram/many/f1.txt'", "", true},
                  other_cart}};
    // A working folder taken as it is, relative: none of its paths resolves.
    const sweep_case relative{"relative path under a relative working folder", "'f'", "_cd('rel', true)", true};
    for (const char* fstat : {"fstat", "_fstat"}) m[fstat] = {false, {other_cart, relative}};
    m["_fdelete"] = {false,
                     {{"ram file beside 100,000", "'/ram/del.txt'", "store('/ram/del.txt', 'x')"},
                      {"empty ram folder beside 100,000", "'/ram/delf'", "mkdir('/ram/delf')"},
                      {"ram file beside 100,000, stored again", "", "", true,
                       "function() _fdelete('/ram/del.txt') store('/ram/del.txt', 'x') end"}}};
    for (const char* mk : {"mkdir", "_mkdir"})
        m[mk] = {false, {{"new ram folder beside 100,000", "'/ram/newf'", "_fdelete('/ram/newf')"}}};
    // The history of a file with 4,000 versions.
    m["_fetch_anywhen"] = {false, {{"4,000 versions, now", "'/hv.txt @ ' .. date('%Y-%m-%d_%H:%M:%S')"}}};
    m["_list_anywhen_by_day"] = {false, {{"4,000 versions, today", "'/hv.txt @ ' .. date('%Y-%m-%d')"}}};
    m["_list_anywhen_by_loc"] = {false, {{"4,000 versions", "'/hv.txt'"}}};
    m["_fetch_anywhen_metadata"] = m["_fetch_anywhen"];

    // The dialect's own string work on 4 MB strings.
    m["string.find"] = {false,
                        {{"4 MB, plain needle absent", "A, 'q', 1, true"},
                         {"4 MB, pattern without specials", "A, 'xq'"},
                         {"4 MB, needle at the end", "A, 'xy', 1, true"}}};
    m["string.byte"] = {false, {{"4 MB, 7000 bytes", "A, 1, 7000"}}};
    m["string.format"] = {false, {{"4 MB as %s", "'%s', A"}, {"4 MB as %q", "'%q', A"}}};
    m["string.rep"] = {false, {{"4 MB twice", "A, 2"}}};
    m["tonumber"] = {false, {{"4 MB of digits", "DIGITS"}, {"4 MB of digits, base 10", "DIGITS, 10"}}};
    m["utf8.len"] = {false, {{"4 MB", "A"}}};
    m["utf8.offset"] = {false, {{"4 MB, far", "A, 4000000"}}};
    m["utf8.codepoint"] = {false, {{"4 MB, 7000 points", "A, 1, 7000"}}};
    m["utf8.codes"] = {false, {{"4 MB walked", "", "", false, "function() for _ in utf8.codes(A) do end end"}}};
    m["table.sort"] = {false, {{"200 strings sharing 100 KB", "P", "P = make_prefixed()"}}};
    m["table.concat"] = {false, {{"200 strings of 100 KB", "P", "P = make_prefixed()"}}};
    // A refusal made in a loop: it may log once, not once a call.
    m["USERDATA.get"] = {false, {{"more values than a stack holds", "U8, 0, 0, 10000000", "", true}}};

    // Sockets, on the loopback only. QPORT is a listener of the other
    // program whose accept queue is full; LPORT one of the caller's own.
    const std::string own_listener = "LPORT = free_tcp_port() LS = assert(_create_tcp_socket(LPORT, '*'))";
    m["_create_tcp_socket"] = {
        true,
        {{"connect to a full accept queue", "QPORT, '127.0.0.1'"},
         {"listener", "free_tcp_port(), '*'"},
         {"connect, accept and two closes to its own listener", "", own_listener, true,
          "(function() local connect, accept, close, port, l = _create_tcp_socket, _accept_socket, _close_socket, "
          "LPORT, LS return function() local c = connect(port, '127.0.0.1') local a = accept(l) "
          "if c then close(c) end if a then close(a) end end end)()"},
         {"bad address", "80, LONG"}}};
    m["_create_udp_socket"] = {
        true,
        {{"client", "9, '127.0.0.1'", "", true}, {"listener", "free_udp_port(), '*'"}, {"bad address", "80, LONG"}}};
    // A client of the caller's own UDP listener, so a write is a real send.
    const std::string udp_client =
        "UPORT = free_udp_port() UL = assert(_create_udp_socket(UPORT, '*')) "
        "U = assert(_create_udp_socket(UPORT, '127.0.0.1')) W60 = string.rep('w', 60000)";
    sweep_case datagram{"60 KB datagram", "U, W60", udp_client, true};
    datagram.small_args = "U, 'w'";
    m["_write_socket"] = {false, {datagram}};
    m["_read_socket"] = {false, {{"udp client", "U", udp_client, true}}};
    m["_sock_status"] = {false, {{"udp client", "U", udp_client, true}}};
    m["_accept_socket"] = {false, {{"own listener", "LS", own_listener, true}}};
    m["_close_socket"] = {false, {{"udp client", "U", udp_client}}};
    // A request's URL and body are copied and escaped on the caller's
    // thread; the port refuses, so its worker ends at once.
    sweep_case upload{"3 MB body to a refused port", "'http://127.0.0.1:9/u', 'post', LONG"};
    upload.small_args = "'http://127.0.0.1:9/u', 'post', 'x'";
    m["_fetch_remote"] = {false, {upload}};
    // The host hands a path to the desktop only from a window: nothing here
    // may start a program of the host.
    m["_open_host_path"] = {true, {{"ram file", "'/ram/many/f1.txt'", "", true}, {"long string", "LONG"}}};

    // Host functions as the callbacks of every library function that calls
    // one, and __index chains walked by the interpreter and by host code.
    // CH: 1,990 tables over {1}; N: 100,000 numbers; G1: 1 MB of text.
    const std::string chain = "if not CH then CH = {1} for d = 1, 1990 do CH = setmetatable({}, {__index = CH}) end end";
    const std::string numbers = "if not N then N = {} for i = 1, 100000 do N[i] = (i * 7919) % 100000 end end";
    const std::string text = "G1 = G1 or A:sub(1, 1 << 20)";
    auto add = [&](const char* name, std::vector<sweep_case> cases) {
        for (sweep_case& c : cases) m[name].cases.push_back(c);
    };
    add("table.sort", {{"100,000 numbers, host comparator", "N, rawequal", numbers},
                       {"100,000 numbers, math.ult", "N, math.ult", numbers},
                       {"20,000 tables, a host __lt", "TL",
                        "TL = {} local mt = {__lt = rawequal} for i = 1, 20000 do TL[i] = setmetatable({}, mt) end"}});
    add("string.gsub", {{"1 MB, host replacement", "G1, '.', string.upper", text},
                        {"1 MB, table with a host __index", "G1, '.', setmetatable({}, {__index = rawget})", text},
                        {"64 KB, table at the end of a chain", "G1:sub(1, 65536), '.', CH", text + " " + chain}});
    add("table.unpack", {{"20,000 through a 1,990-table chain", "CH, 1, 20000", chain}});
    add("table.concat", {{"through a 1,990-table chain", "setmetatable({n = 0}, {__index = CH, __len = function() return 1 end})", chain}});
    add("xpcall", {{"host function and handler", "error, rawequal"}});
    add("pcall", {{"host function", "rawequal, 1, 1"}});
    add("coroutine.wrap", {{"host function", "rawequal"}});
    add("coroutine.create", {{"host function", "rawequal"}});
    add("load", {{"host reader", "string.char"}});
    add("setmetatable", {{"host __index, read in a loop", "", "", false,
                          "function() local t = setmetatable({}, {__index = rawget}) for i = 1, 100000 do local _ = t[i] end end"},
                         {"1,990-table chain, read in a loop", "", chain, true,
                          "function() local c = CH for i = 1, 2000 do local _ = c[1] end end"},
                         {"1,990-table __newindex chain, written in a loop", "",
                          "if not CW then CW = {} for d = 1, 1990 do CW = setmetatable({}, {__newindex = CW}) end end", true,
                          "function() local c = CW for i = 1, 2000 do c.x = i end end"}});
    return m;
}

// The operators on long strings, called as Lua functions.
struct operator_row {
    const char* name;
    const char* fn;
    std::vector<sweep_case> cases;
};
std::vector<operator_row> operator_rows() {
    const std::vector<sweep_case> pairs = {{"4 MB, equal", "A, A2"}, {"4 MB, differing at the end", "A, B"}};
    return {{"operator ..", "function(a, b) return a .. b end", pairs},
            {"operator ==", "function(a, b) return a == b end", pairs},
            {"operator <", "function(a, b) return a < b end", pairs},
            {"operator <=", "function(a, b) return a <= b end", pairs},
            {"operator #", "function(a) return #a end", {{"4 MB", "A", "", true}}}};
}

// Host helpers of the harness, not the machine's.
const std::set<std::string> harness_globals = {"spend", "cycles", "pid", "spawn", "kill", "restart", "run_slice",
                                               "free_tcp_port", "free_udp_port"};

int free_port(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, (sockaddr*)&a, sizeof a);
    getsockname(fd, (sockaddr*)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}
int h_free_tcp_port(lua_State* L) {
    lua_pushinteger(L, free_port(SOCK_STREAM));
    return 1;
}
int h_free_udp_port(lua_State* L) {
    lua_pushinteger(L, free_port(SOCK_DGRAM));
    return 1;
}

// What a process has been charged so far: the running counter, its debt and
// its program's.
int64_t charged_to(const Process* p) {
    return p->cpu_debt + p->owed_cycles + program_debt(p->program_id);
}

// Cycles charged by the running counter and as debt to any process or program.
int64_t charged_now() {
    int64_t n = cpu_cycles;
    std::set<int64_t> programs;
    for (int i = 0; i < get_process_count(); i++) {
        const Process* p = get_process_by_index(i);
        n += p->cpu_debt + p->owed_cycles;
        if (programs.insert(p->program_id).second) n += program_debt(p->program_id);
    }
    return n;
}

struct measured {
    double cpu_ns = 0, wall_ns = 0, blocked_ns = 0, cycles = 0;
    int64_t out_bytes = 0;
    int64_t calls = 1;
    // How far past its bounds; > 1 fails. A wait counts as host time.
    double over() const {
        const double b = bound_ns(cycles);
        const double out = (double)out_bytes / (output_slack + output_bytes_per_cycle * cycles);
        return std::max({(cpu_ns + blocked_ns) / b, out});
    }
};

struct worst_case {
    double ratio = 0, host_ns = 0, cycles = 0;
    std::string label;
};

struct target {
    std::string name;
    int ref;  // the function, in the caller's registry
};

class sweeper {
public:
    sweeper() {
        const clocks start = clocks_now();
        config.network_access = 1;
        env_.procs.add_global("free_tcp_port", h_free_tcp_port);
        env_.procs.add_global("free_udp_port", h_free_udp_port);
        // Three processes first, so the caller stands above the system ids;
        // the kernel makes the caller and the other, each a program of its own.
        for (int i = 0; i < 3; i++) fillers_.push_back(env_.procs.spawn("x = 1", "filler"));
        kernel_ = fillers_[0];
        cproc = kernel_;
        caller_ = env_.spawn();
        cproc = kernel_;
        other_ = env_.procs.spawn("x = 1", "other");
        caller_id_ = caller_->id;
        other_id_ = other_->id;
        EXPECT_GT(caller_id_, LAST_SYSTEM_PROCESS_ID);
        EXPECT_NE(caller_->program_id, other_->program_id);
        expect_ok(hvx_test::eval(caller_, fixtures_lua), "fixtures");
        expect_ok(hvx_test::eval(caller_, "OTHER = " + std::to_string(other_id_) + " make_fixtures()"), "other");
        expect_ok(hvx_test::eval(caller_, limit_fixtures_lua), "tables at their limits");
        // Host files are written here, not stored: a store syncs the disk,
        // and thousands of syncs would take a minute.
        make_host_folder();
        config.anywhen = 1;
        anywhen_open();
        for (int i = 0; i < 4000; i++) {
            hvx_test::write_file(env_.at("hv.txt"), "version " + std::to_string(i));
            anywhen_event(ANYWHEN_FILE_WRITTEN, "/hv.txt", env_.at("hv.txt").c_str());
        }
        fill_queues();
        fill_mounts();
        fill_sockets();
        // Another program keeps a 16 MB cartridge that does not pack changed.
        expect_ok(hvx_test::eval(other_, fixtures_lua), "fixtures of the other");
        expect_ok(hvx_test::eval(other_, "store('/oc.hvx', 'halvoran cartridge // x\\nversion 2\\n\\n:: [eoc]\\n') "
                                         "local b = noise(8 << 20) "
                                         "for i = 1, 2 do store('/oc.hvx/b' .. i .. '.bin', b) end"),
                  "another program's cartridge");
        calibrate();
        std::printf("paid loop: %.2f ns a cycle; bounds scaled by %.2f\n", paid_ns_per_cycle_, host_scale);
        std::printf("fixtures built in %.1f s\n", (clocks_now().wall - start.wall) / 1e9);
    }
    ~sweeper() {
        anywhen_close();
        config.anywhen = 0;
        delete_sockets_by_process(0);
    }

    // Reads how fast this host runs paid instructions now; the bounds never
    // narrow below the machine's rate.
    void calibrate() {
        double best = 1e18;
        for (int i = 0; i < 5; i++) {
            restore_counters();
            const clocks t0 = clocks_now();
            const int64_t c0 = cpu_cycles;
            hvx_test::eval(caller_, paid_loop);
            const double ns = (double)(clocks_now().cpu - t0.cpu), cycles = (double)(cpu_cycles - c0);
            if (cycles > 0) best = std::min(best, ns / cycles);
        }
        host_scale = std::max(1.0, best / reference_paid_ns_per_cycle);
        paid_ns_per_cycle_ = best;
    }

    // Every host function the caller's state can reach from its globals, one
    // table deep, by name, with the operators.
    std::vector<target> targets() {
        std::vector<target> out;
        lua_State* L = caller_->L;
        auto add = [&](const std::string& name) {
            lua_pushvalue(L, -1);
            out.push_back({name, luaL_ref(L, LUA_REGISTRYINDEX)});
        };
        lua_pushglobaltable(L);
        lua_pushnil(L);
        while (lua_next(L, -2)) {
            if (lua_type(L, -2) == LUA_TSTRING) {
                const std::string key = lua_tostring(L, -2);
                if (lua_iscfunction(L, -1) && !harness_globals.count(key)) add(key);
                if (lua_istable(L, -1) && key != "_G") {
                    lua_pushnil(L);
                    while (lua_next(L, -2)) {
                        if (lua_type(L, -2) == LUA_TSTRING && lua_iscfunction(L, -1))
                            add(key + "." + lua_tostring(L, -2));
                        lua_pop(L, 1);
                    }
                }
            }
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
        // The rows the harness's helpers stand in for are swept as the table has them.
        for (int i = 0; i < API_NAME_COUNT; i++) {
            if (!harness_globals.count(api_functions[i].name)) continue;
            lua_pushcfunction(L, api_entry_function(i));
            add(api_functions[i].name);
            lua_pop(L, 1);
        }
        for (const operator_row& o : operator_rows()) {
            luaL_loadstring(L, (std::string("return ") + o.fn).c_str());
            lua_call(L, 0, 1);
            add(o.name);
            lua_pop(L, 1);
        }
        std::sort(out.begin(), out.end(), [](const target& a, const target& b) { return a.name < b.name; });
        return out;
    }

    void run(const target& t, const sweep_case& c) {
        judge(t.name, c, best_of([&] { return measure(t, c); }), "");
        if (c.loop) judge(t.name, c, best_of([&] { return measure_loop(t, c); }), "looped for a slice, ");
        if (!c.small_args.empty()) judge_growth(t, c);
    }

    // A call charged a base and per byte, made with many bytes and with few
    // (looped when the case is, so a few microseconds show): the host time
    // the bytes add must be paid by the cycles they add. A byte charge left
    // off fails here even where the base charge and the slack cover one
    // call whole. The best of a few runs of each counts.
    void judge_growth(const target& t, const sweep_case& c) {
        sweep_case small = c;
        small.args = c.small_args;
        struct per_call {
            double host_ns, cycles;
        };
        auto best = [&](const sweep_case& k) {
            per_call b{1e300, 0};
            for (int i = 0; i < sweep_repeats; i++) {
                const measured m = c.loop ? measure_loop(t, k) : measure(t, k);
                const double calls = (double)std::max<int64_t>(m.calls, 1);
                if ((m.cpu_ns + m.blocked_ns) / calls < b.host_ns) b = {(m.cpu_ns + m.blocked_ns) / calls, m.cycles / calls};
            }
            return b;
        };
        const per_call many = best(c), few = best(small);
        const double added_ns = many.host_ns - few.host_ns, added_cycles = many.cycles - few.cycles;
        const double slack = c.loop ? growth_slack_looped_ns : growth_slack_once_ns;
        auto over = [&] { return added_ns > sweep_factor * std::max(added_cycles, 0.0) * cycle_ns() + slack; };
        std::printf("%-34s %-40s bytes add %9.3f us a call for %8.0f cycles\n", t.name.c_str(), c.label.c_str(),
                    added_ns / 1e3, added_cycles);
        if (!over()) return;
        calibrate();
        if (!over()) return;
        ADD_FAILURE() << "unpaid bytes: " << t.name << " [" << c.label << "]: " << c.args << " takes "
                      << added_ns / 1e3 << " us a call more than " << c.small_args << " and is charged "
                      << added_cycles << " cycles more";
    }

    // A host that got slower since the start (its other cores got busy)
    // widens the bounds as much before a case is named.
    bool still_over(const measured& m) {
        if (m.over() <= 1) return false;
        calibrate();
        return m.over() > 1;
    }

    // The best of a few runs: a stray collection, page fault or preemption
    // does not name a call. A long run ten times past the CPU bound is no
    // noise; a short one may be a collection step the call happened to set
    // off, so it is tried again.
    template <class F>
    static measured best_of(F run) {
        measured best;
        for (int i = 0; i < sweep_repeats; i++) {
            const measured m = run();
            if (i == 0 || m.over() < best.over()) best = m;
            if (best.over() <= 1 || (m.cpu_ns > 10 * bound_ns(m.cycles) && m.cpu_ns > sweep_sure_ns)) break;
        }
        return best;
    }

    // Holds the best of a case's runs to its bounds, and keeps the worst per call.
    void judge(const std::string& name, const sweep_case& c, const measured& m, const std::string& how) {
        const double host = m.cpu_ns + m.blocked_ns;
        worst_case& w = worst_[name];
        const double r = ratio(host, m.cycles);
        if (w.label.empty() || r > w.ratio) w = {r, host, m.cycles, how + c.label};
        if (!still_over(m)) return;
        char line[768];
        std::snprintf(line, sizeof line,
                      "%s(%s) [%s%s]: %.3f ms cpu, %.3f ms blocked (%.3f ms wall) for %.0f cycles (%.4f ms), "
                      "ratio %.0f; %lld bytes printed",
                      name.c_str(), (c.call.empty() ? c.args : c.call).substr(0, 100).c_str(), how.c_str(),
                      c.label.c_str(), m.cpu_ns / 1e6, m.blocked_ns / 1e6, m.wall_ns / 1e6, m.cycles,
                      m.cycles * ns_per_cycle / 1e6, ratio(host, m.cycles), (long long)m.out_bytes);
        ADD_FAILURE() << "unpaid host work: " << line;
    }

    void report() const {
        std::vector<std::pair<std::string, worst_case>> rows(worst_.begin(), worst_.end());
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second.ratio > b.second.ratio; });
        std::printf("%-34s %-56s %10s %12s %10s\n", "call (worst ratio first)", "worst case", "host ms", "cycles",
                    "ratio");
        for (const auto& [name, w] : rows)
            std::printf("%-34s %-56s %10.3f %12.0f %10.1f\n", name.c_str(), w.label.substr(0, 56).c_str(),
                        w.host_ns / 1e6, w.cycles, w.ratio);
        std::fflush(stdout);
    }

    Process* caller() const { return caller_; }

    // A host file's inode, size and time of change: a write put in place
    // changes them.
    static std::string file_identity(const std::string& path) {
        struct stat st{};
        if (stat(path.c_str(), &st) != 0) return "";
        return std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }

    // The calls (of those named) that wrote another program's changed 16 MB
    // cartridge inside themselves: its write is the frame's, owed by the
    // program that changed it.
    std::string calls_writing_others_cartridge() {
        std::string wrote;
        for (const char* call : {"ls", "fstat"}) {
            restore();
            cproc = other_;
            expect_ok(hvx_test::eval(other_, "OC = (OC or 0) + 1 store('/oc.hvx/t.txt', 'v' .. OC)"), "changed");
            cproc = caller_;
            const std::string before = file_identity(env_.at("oc.hvx"));
            expect_ok(hvx_test::eval(caller_, std::string(call) + "('/oc.hvx')"), call);
            if (file_identity(env_.at("oc.hvx")) != before) wrote += std::string(wrote.empty() ? "" : ", ") + call;
        }
        return wrote;
    }
    // Whether the kernel got a socket while another program held what it could.
    bool kernel_socket() const { return kernel_socket_; }
    const std::string& other_sockets() const { return other_sockets_; }

private:
    static void expect_ok(const hvx_test::call_result& r, const std::string& what) {
        EXPECT_EQ(r.error, "") << what;
    }

    // The other process's queue and the caller's own, both full.
    void fill_queues() {
        hvx_test::eval(caller_,
                       "for _ = 1, 8 do send_message(OTHER, LONG) end "
                       "for _ = 1, 8 do send_message(pid(), LONG) end");
    }

    // The kernel fills the mount table up to mount_room below its limit
    // (past it, a mount drops the least used one, a fixture perhaps),
    // leaving room for the cases' own.
    static constexpr int mount_room = 1024;
    void fill_mounts() {
        cproc = kernel_;
        const int n = PMOUNT_LIMIT - mount_room - pdisk_num_mounts();
        expect_ok(hvx_test::eval(kernel_, "for i = 1, " + std::to_string(n) + " do mount('/km' .. i, '/ram/many') end"),
                  "mounts");
        fixture_mounts_ = pdisk_num_mounts();
        std::printf("mounts standing: %d\n", fixture_mounts_);
    }

    // The other program holds a TCP listener whose accept queue it filled,
    // and UDP clients up to what it may hold; the kernel still gets a socket
    // then. Room is left for the caller's cases.
    void fill_sockets() {
        hvx_test::call_result r = hvx_test::eval(
            other_,
            "QPORT = free_tcp_port() QL = _create_tcp_socket(QPORT, '*') "
            "for i = 1, " + std::to_string(SOCKET_BACKLOG + 1) + " do _create_tcp_socket(QPORT, '127.0.0.1') end "
            "local n, extra = 0, {} "
            "while n < " + std::to_string(MAX_SOCKETS) + " do local s = _create_udp_socket(9, '127.0.0.1') "
            "if not s then break end n = n + 1 extra[n] = s end "
            "EXTRA = extra return QPORT, n");
        expect_ok(r, "sockets");
        ASSERT_EQ(r.values.size(), 2u);
        expect_ok(hvx_test::eval(caller_, "QPORT = " + r.values[0]), "QPORT");
        const hvx_test::call_result k = hvx_test::eval(kernel_, "return _create_udp_socket(9, '127.0.0.1')");
        std::printf("UDP clients the other program made: %s\n", r.values[1].c_str());
        kernel_socket_ = !k.values.empty() && k.values[0] != "nil";
        other_sockets_ = r.values[1];
        delete_sockets_by_process(kernel_->id);
        // Back to 64 free records for the caller's cases.
        expect_ok(hvx_test::eval(other_, "for i = #EXTRA, math.max(1, #EXTRA - 63), -1 do _close_socket(EXTRA[i]) end"),
                  "sockets freed");
    }

    // A host folder of 2,000 files.
    void make_host_folder() {
        if (hvx_test::file_exists(env_.at("many/f1999.txt"))) return;
        std::filesystem::create_directory(env_.at("many"));
        for (int i = 0; i < 2000; i++) hvx_test::write_file(env_.at("many/f" + std::to_string(i) + ".txt"), "x");
    }

    // Whatever an earlier call took away is put back, unmeasured.
    void restore() {
        make_host_folder();
        cproc = caller_;
        caller_->state = PROC_RUNNING;
        caller_->out_of_memory = 0;
        std::snprintf(caller_->pwd, sizeof caller_->pwd, "/");
        restore_counters();
        app.atomic_pid = 0;
        platform_app.exit_request = platform_app.reboot_request = 0;
        delete_sockets_by_process(caller_id_);
        for (int i = get_process_count() - 1; i >= 0; i--) {
            Process* p = get_process_by_index(i);
            if (p != caller_ && p != other_ && std::find(fillers_.begin(), fillers_.end(), p) == fillers_.end())
                kill_process(p);
        }
        // The mounts the cases make go again (a desktop mount is made anew
        // by every call of its signal), so the table stays as the fixtures left it.
        for (const char* point : {DESKTOP_MOUNT_POINT, "/mc", "/mm"})
            while (pdisk_num_mounts() > fixture_mounts_ && delete_mount_point(point)) {
            }
        if (pdisk_num_mounts() > fixture_mounts_ + mount_room / 2) prune_mounts();
        if (!get_process(other_id_)) {
            cproc = kernel_;
            other_ = env_.procs.spawn("x = 1", "other");
            other_id_ = other_->id;
            hvx_test::eval(caller_, "OTHER = " + std::to_string(other_id_));
        }
        cproc = caller_;
        expect_ok(hvx_test::eval(caller_, "make_fixtures()"), "fixtures");
        if (queue_checks_++ % 64 == 0) fill_queues();
    }

    // Runs the case's setup and pushes what is called, then its arguments;
    // their count, or -1.
    int prepare(const target& t, const sweep_case& c) {
        restore();
        if (!c.other_setup.empty()) {
            cproc = other_;
            expect_ok(hvx_test::eval(other_, c.other_setup), c.label + " setup of the other");
        }
        if (!c.setup.empty()) {
            cproc = caller_;
            expect_ok(hvx_test::eval(caller_, c.setup), c.label + " setup");
        }
        lua_State* L = caller_->L;
        lua_settop(L, HVX_HOST_SLOTS);
        if (c.call.empty()) lua_rawgeti(L, LUA_REGISTRYINDEX, t.ref);
        const std::string chunk = "return " + (c.call.empty() ? "" : c.call + (c.args.empty() ? "" : ", ")) + c.args;
        int status = luaL_loadstring(L, chunk.c_str());
        if (status == LUA_OK) status = lua_pcall(L, 0, LUA_MULTRET, 0);
        EXPECT_EQ(status, LUA_OK) << chunk;
        if (status != LUA_OK) {
            lua_settop(L, HVX_HOST_SLOTS);
            return -1;
        }
        // Earlier garbage is collected first, so the call's own collection
        // steps walk what it made; nothing before the call counts as its.
        lua_gc(L, LUA_GCCOLLECT);
        restore_counters();
        return lua_gettop(L) - HVX_HOST_SLOTS - 1;
    }

    // Standard output goes nowhere while a call runs (debug prints); a
    // loop's goes to a scratch file, where what it wrote is counted.
    struct captured_output {
        int saved, file;
        explicit captured_output(bool counted) {
            std::fflush(stdout);
            char name[] = "/tmp/hvx_sweep_out_XXXXXX";
            file = counted ? mkstemp(name) : open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (counted) unlink(name);
            saved = dup(1);
            dup2(file, 1);
        }
        int64_t bytes() const {
            std::fflush(stdout);
            return std::max<int64_t>(lseek(file, 0, SEEK_END), 0);
        }
        ~captured_output() {
            std::fflush(stdout);
            dup2(saved, 1);
            close(saved);
            close(file);
        }
    };

    measured finish(const clocks& t0, int64_t charged_before, const captured_output& out) {
        const clocks t1 = clocks_now();
        measured m;
        m.cpu_ns = (double)(t1.cpu - t0.cpu);
        m.wall_ns = (double)(t1.wall - t0.wall);
        m.blocked_ns = blocked_ns(t0, t1);
        m.cycles = (double)std::max<int64_t>(cpu_cycles + charged_to(caller_) - charged_before, 0);
        m.out_bytes = out.bytes();
        if (get_process(caller_id_) != caller_) {
            ADD_FAILURE() << "the caller went away";
            std::abort();
        }
        lua_settop(caller_->L, HVX_HOST_SLOTS);
        hvx_test::eval(caller_, "if V then kill(V) end SW = nil V = nil P = nil");
        return m;
    }

    measured measure(const target& t, const sweep_case& c) {
        const int nargs = prepare(t, c);
        if (nargs < 0) return {};
        captured_output out(false);
        const int64_t before = charged_to(caller_);
        const clocks t0 = clocks_now();
        lua_pcall(caller_->L, nargs, LUA_MULTRET, 0);
        return finish(t0, before, out);
    }

    // The call made again and again, as a script's loop would, until the
    // loop has used a slice's cycles: batches that double, each a Lua loop
    // that calls it with its arguments in locals; a call that raises an
    // error is called protected.
    measured measure_loop(const target& t, const sweep_case& c) {
        const int nargs = prepare(t, c);
        if (nargs < 0) return {};
        lua_State* L = caller_->L;
        std::string params;
        for (int i = 1; i <= nargs; i++) params += ", a" + std::to_string(i);
        const std::string args = params.empty() ? "" : params.substr(2);
        const int base = HVX_HOST_SLOTS + 1;  // the function, then its arguments
        for (bool guarded : {false, true}) {
            const std::string call = guarded ? "pcall(f" + params + ")" : "f(" + args + ")";
            lua_settop(L, base + nargs);
            luaL_loadstring(L, ("local n, f" + params + " = ... return function() for _ = 1, n do " + call +
                                " end end")
                                   .c_str());
            captured_output out(true);
            const int64_t before = charged_to(caller_);
            const clocks t0 = clocks_now();
            bool failed = false;
            int64_t calls = 0;
            for (int64_t n = 1; n <= (1 << 22); n *= 2) {
                calls += n;
                lua_pushvalue(L, base + nargs + 1);  // the loop maker
                lua_pushinteger(L, n);
                for (int i = 0; i <= nargs; i++) lua_pushvalue(L, base + i);
                lua_call(L, nargs + 2, 1);
                if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
                    lua_pop(L, 1);
                    if (!guarded) {
                        failed = true;
                        break;
                    }
                }
                const clocks t1 = clocks_now();
                if (cpu_cycles + charged_to(caller_) - before >= CPU_FRAME_BUDGET) break;
                if (t1.cpu - t0.cpu + blocked_ns(t0, t1) > loop_give_up_ns) break;
                // Each call leaves what a loop's calls would leave standing; a
                // refusal for a full table is part of the loop.
                cpu_superyielding = 0;
                cpu_cycles_max = 1 << 30;
                caller_->state = PROC_RUNNING;
            }
            if (!failed) {
                measured m = finish(t0, before, out);
                m.calls = calls;
                return m;
            }
            restore_counters();
        }
        return {};
    }

    void restore_counters() {
        cproc = caller_;
        caller_->cpu_debt = 0;
        caller_->owed_cycles = 0;
        pay_program_debt(caller_->program_id, program_debt(caller_->program_id));
        cpu_cycles = 0;
        cpu_cycles_max = 1 << 30;
        cpu_superyielding = 0;
    }

    files_env env_;
    std::vector<Process*> fillers_;
    Process* kernel_ = nullptr;
    Process* caller_ = nullptr;
    Process* other_ = nullptr;
    int64_t caller_id_ = 0, other_id_ = 0;
    int queue_checks_ = 0;
    int fixture_mounts_ = 0;
    double paid_ns_per_cycle_ = 0;
    bool kernel_socket_ = false;
    std::string other_sockets_;
    std::map<std::string, worst_case> worst_;
};

// The fixtures at the tables' limits are built once for both tests.
class CostSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#if !defined(HALVORAN_ASAN)
        shared = new sweeper();
#endif
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }
    void SetUp() override {
#if defined(HALVORAN_ASAN)
        GTEST_SKIP() << "host times under the sanitizers say nothing of the machine's rate";
#endif
    }
    static sweeper* shared;
};
sweeper* CostSweep::shared = nullptr;

// The host's standard input, for the sweep, is a pipe holding a line: no
// callable may read it (a read would run what the host's user typed, or wait
// on a console for every process). The bytes still there at the end say so.
class host_input_bait {
public:
    host_input_bait() {
        int fds[2];
        if (pipe(fds) != 0) return;
        ok_ = write(fds[1], bait, sizeof bait - 1) == (ssize_t)(sizeof bait - 1);
        close(fds[1]);
        saved_ = dup(0);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    ~host_input_bait() {
        if (saved_ < 0) return;
        dup2(saved_, 0);
        close(saved_);
        clearerr(stdin);
    }
    // The bait's bytes not read by anything; -1 when it could not be set.
    ssize_t left() {
        if (!ok_ || saved_ < 0) return -1;
        char b[sizeof bait];
        return read(0, b, sizeof b);
    }
    static constexpr char bait[] = "swept_host_input = 1\ncont\n";

private:
    bool ok_ = false;
    int saved_ = -1;
};

TEST_F(CostSweep, EveryCallableThingPaysForItsHostTime) {
    sweeper& s = *shared;
    host_input_bait input;
    EXPECT_TRUE(s.kernel_socket()) << "the kernel gets no socket while another program holds " << s.other_sockets()
                                   << " sockets: the system keeps no room of its own";
    EXPECT_EQ(s.calls_writing_others_cartridge(), "")
        << "these calls wrote another program's changed 16 MB cartridge inside themselves";
    const auto specific = specific_cases();
    const auto generic = generic_cases();
    std::map<std::string, std::vector<sweep_case>> operators;
    for (const operator_row& o : operator_rows()) operators[o.name] = o.cases;
    const std::vector<target> targets = s.targets();
    std::set<std::string> names;
    for (const target& t : targets) names.insert(t.name);
    // The reading of the state is whole: every row of the call table, the
    // socket and host calls, the dialect's libraries.
    for (int i = 0; i < API_NAME_COUNT; i++) EXPECT_TRUE(names.count(api_functions[i].name)) << api_functions[i].name;
    for (const char* n : {"_create_tcp_socket", "_write_socket", "_set_host_clipboard_text", "_open_host_path",
                          "USERDATA.get", "string.find", "table.sort", "utf8.len", "math.floor", "coroutine.wrap",
                          "debug.traceback", "tonumber", "operator <"})
        EXPECT_TRUE(names.count(n)) << n;
    std::printf("swept: %zu callable things\n", targets.size());
    // A developer may sweep only the names holding a text.
    const char* only = std::getenv("HALVORAN_SWEEP_ONLY");
    for (const target& t : targets) {
        if (only && t.name.find(only) == std::string::npos) continue;
        auto op = operators.find(t.name);
        if (op != operators.end()) {
            for (const sweep_case& c : op->second) s.run(t, c);
            continue;
        }
        auto it = specific.find(t.name);
        if (it != specific.end())
            for (const sweep_case& c : it->second.cases) s.run(t, c);
        if (it == specific.end() || !it->second.exclusive)
            for (const sweep_case& c : generic) s.run(t, c);
    }
    EXPECT_EQ(input.left(), (ssize_t)(sizeof host_input_bait::bait - 1))
        << "a callable read the host's standard input";
    s.report();
}

// The frame's own upkeep, step by step as the frame driver runs it after the
// root's slice, with the tables busy. The write-back is bounded by
// WRITE_BACK_FRAME_BYTES a frame (the cartridge that passes it is finished,
// so a frame may write up to twice that), charged at
// CART_TEXT_ENCODE_BYTES_PER_CYCLE (the cartridges here are text ones) to the
// program that changed the cartridge: its time in a frame stays in what
// those bytes stand for, and in what the cycles it charges stand for by the
// calls' rule. The rest
// (mount prune, HTTP, sessions, sockets, file sync) have no cycle rate of
// their own: each must fit in one frame's time, whatever the tables hold. No
// step is blocked (an fsync, a rename waiting on the disk) for a frame.
struct upkeep_step {
    std::string label;
    double bound_cycles;  // 0: its work is not charged, and a frame's time bounds it
    void (*run)();
};

struct upkeep_worst {
    double cpu_ns = 0, blocked_ns = 0, cycles = 0;
};

void run_upkeep(const std::vector<upkeep_step>& steps, std::map<std::string, upkeep_worst>& worst) {
    cproc = nullptr;
    cpu_cycles = 0;
    cpu_cycles_max = 1 << 30;
    for (const upkeep_step& s : steps) {
        const int64_t c0 = charged_now();
        const clocks t0 = clocks_now();
        s.run();
        const clocks t1 = clocks_now();
        upkeep_worst& w = worst[s.label];
        w.cpu_ns = std::max(w.cpu_ns, (double)(t1.cpu - t0.cpu));
        w.blocked_ns = std::max(w.blocked_ns, blocked_ns(t0, t1));
        w.cycles = std::max(w.cycles, (double)(charged_now() - c0));
    }
}

void judge_upkeep(const std::vector<upkeep_step>& steps, const std::map<std::string, upkeep_worst>& worst) {
    for (const upkeep_step& s : steps) {
        const upkeep_worst& w = worst.at(s.label);
        const double bound = s.bound_cycles ? bound_ns(s.bound_cycles) : frame_ns * host_scale;
        std::printf("%-56s %9.3f ms cpu %9.3f ms blocked (bound %.3f ms), %.0f cycles (bound %.0f)\n",
                    s.label.c_str(), w.cpu_ns / 1e6, w.blocked_ns / 1e6, bound / 1e6, w.cycles, s.bound_cycles);
        // The cycles are not capped: a write over frames is owed whole in the
        // frame it finishes (the worker's encoding and writing with it), so
        // only the frame's own time is held to the bytes a frame may handle.
        const bool within = w.cpu_ns <= bound && w.blocked_ns <= frame_ns &&
                            (s.bound_cycles == 0 || w.cpu_ns <= bound_ns(w.cycles));
        if (within) continue;
        std::ostringstream line;
        line << s.label << ": " << w.cpu_ns / 1e6 << " ms cpu, " << w.blocked_ns / 1e6 << " ms blocked and " << w.cycles
             << " cycles of work in one frame (ratio " << ratio(w.cpu_ns, w.cycles) << "); bound " << bound / 1e6
             << " ms, " << s.bound_cycles << " cycles, and no wait of a frame";
        ADD_FAILURE() << line.str();
    }
    std::fflush(stdout);
}

TEST_F(CostSweep, FrameUpkeepStaysInItsBoundsWithBusyTables) {
    Process* caller = shared->caller();
    const double write_back_cycles = 2.0 * WRITE_BACK_FRAME_BYTES / CART_TEXT_ENCODE_BYTES_PER_CYCLE;
    // Busy HTTP: requests held by the server, and finished ones not yet reaped.
    std::atomic<bool> release{false};
    hvx_test::loopback_http_server server;
    server.set_handler([&](const hvx_test::http_request& r) {
        for (int i = 0; i < 60000 && !release && r.target == "/hold"; i++) usleep(1000);
        return hvx_test::http_reply(200, "x");
    });
    for (int i = 0; i < 64; i++) gurl_get(server.url("/quick").c_str(), nullptr);
    for (int i = 0; i < 128; i++) gurl_get(server.url("/hold").c_str(), nullptr);
    const std::vector<upkeep_step> others = {
        {"mount prune: 100,000 RAM files, the mount table full", 0, [] { prune_mounts(); }},
        {"HTTP upkeep: 192 jobs", 0,
         [] {
             scoresub_update();
             siteuser_update();
             gurl_update();
         }},
        {"socket upkeep: the table nearly full", 0, [] { update_all_sockets(); }},
        {"file sync", 0, [] { sync_fs(0); }},
    };
    std::map<std::string, upkeep_worst> worst;
    // 3,000 changed cartridges fall due together.
    const std::vector<upkeep_step> carts = {
        {"frame write-back: 3,000 changed cartridges", write_back_cycles, [] { flush_dirty_mounts_delayed(); }}};
    ASSERT_EQ(hvx_test::eval(caller, "touch_carts()").error, "");
    usleep((MOUNT_FLUSH_DELAY_MS + 20) * 1000);
    for (int frame = 0; frame < 3; frame++) run_upkeep(carts, worst);
    judge_upkeep(carts, worst);
    // The rest written at once, unmeasured, so the frames below write the big one.
    flush_dirty_mounts_immediately();
    // A 128 MB cartridge of bytes that do not pack, changed again and
    // written over frames until its write has finished.
    auto r = hvx_test::eval(caller,
                            "store('/bc.hvx', 'halvoran cartridge // x\\nversion 2\\n\\n:: [eoc]\\n') "
                            "local b = noise(8 << 20) "
                            "for i = 1, 16 do store('/bc.hvx/f' .. i .. '.bin', b) end");
    ASSERT_EQ(r.error, "");
    const std::vector<upkeep_step> big = {
        {"frame write-back: 128 MB cartridge kept changed", write_back_cycles, [] { flush_dirty_mounts_delayed(); }}};
    usleep((MOUNT_FLUSH_DELAY_MS + 20) * 1000);
    // Frames a 60th of a second apart until the write has finished (its
    // temporary file synced and put in place) and the cartridge is clean (or
    // dropped by a prune, once clean).
    int frames = 0;
    for (const pmount* m = get_mount_by_mount_point("/bc.hvx", 0); m && m->dirty && frames < 1200; frames++) {
        run_upkeep(big, worst);
        run_upkeep(others, worst);
        usleep((useconds_t)(frame_ns / 1000));
        m = get_mount_by_mount_point("/bc.hvx", 0);
    }
    EXPECT_LT(frames, 1200) << "the 128 MB cartridge was not written";
    std::printf("128 MB cartridge written in %d frames\n", frames);
    judge_upkeep(big, worst);
    judge_upkeep(others, worst);
    release = true;
    EXPECT_TRUE(hvx_test::eventually(60000, [] {
        gurl_update();
        return gurl_jobs_in_use() == 0;
    }));
}

}  // namespace
