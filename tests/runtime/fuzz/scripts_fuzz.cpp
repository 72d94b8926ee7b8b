// Scripts written by the fuzzer: system calls with hostile arguments,
// finalizers and metamethods that call back into the host, coroutines, hooks
// and the debug library, child processes and nested slices, run frame by
// frame in a fresh process table. Nothing a script does may crash the host
// or end the program (the kernel and the window manager are the harness's
// and never targeted, so only a fault of the host can end it).
//
// HVX_FUZZ_PRINT=1 prints each generated script.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

constexpr int kFrames = 8;
constexpr int kMaxOps = 40;
constexpr int64_t kScriptId = 3;  // after the kernel (1) and the window manager (2)

// Values a script may hand the host. No expression here names the kernel or
// the window manager (ids 1 and 2), in any form.
const char* const kValues[] = {
    "nil", "true", "false", "0", "-1", "3", "4", "5", "7", "255", "4096", "0x10000", "0x5f80", "0xffffff",
    "2^31", "-2^31", "2^53", "math.maxinteger", "math.mininteger", "0/0", "1/0", "-1/0", "0.5", "-0.5",
    "1e308", "''", "'abc'", "'12'", "'0x10'", "'1.5'", "'\\0\\0\\0'", "('x'):rep(65536)", "'{a=1}'",
    "'/ram/f.pod'", "'/ram/c.hvx'", "'/ram/d/'", "'/ram/a.png'", "'..'", "'/'",
    "'userdata(\"u8\",2,2,\"0102\")'", "{}", "{1, 2, 3}", "{x = {y = {}}}", "H.evil", "H.ud", "H.co", "H.fn",
    "pid()", "ids[#ids]", "ids[1]", "H.gm", "coroutine.running()",
};

// Host calls that need no window, host file, network or sound device (the
// file calls work in a RAM folder at "/").
const char* const kCalls[] = {
    "_get_process_list", "_run_process_slice", "_kill_process", "_process_state", "_read_message",
    "send_message", "_blit_process_video", "_immediate_sandboxed_family", "_get_process_display_size",
    "_close_process_host_resources", "_yielded_to_escape_slice", "peek", "peek2", "peek4", "peek8", "poke",
    "poke2", "poke4", "poke8", "_ppeek", "_ppeek4", "memset", "memcpy", "_map_ram", "_unmap_ram", "split",
    "ord", "chr", "tokenoid", "count", "add", "del", "deli", "_count_p", "create_delta", "apply_delta", "load",
    "_md5", "_crc", "_strindex", "vyn", "unvyn", "rnd", "srand", "mid", "flr", "atan2", "userdata", "vec",
    "get", "set", "stat", "_kstat", "time", "date", "btn", "btnp", "_update_buttons",
    "_get_userland_clipboard_text", "_set_userland_clipboard_text", "_print_qzscii", "tonum",
    "table.insert", "table.remove", "table.move", "table.concat", "table.unpack", "table.sort",
    "string.rep", "string.gsub", "string.format", "select", "rawlen", "next", "tostring",
    "_set_draw_target", "_set_spr", "cls", "pset", "pget", "rect", "rectfill", "line", "spr", "blit", "camera",
    "clip", "pal", "palt", "fillp", "color", "cursor", "circfill", "oval", "rrect", "sspr", "tline3d", "_draw_map",
    "mset", "mget", "fset", "fget", "fetch", "store", "_ls", "_mkdir", "_fstat", "_fullpath",
    "_fdelete", "_fcopy", "_cd", "_pwd", "norm", "_ext", "_path", "_hloc",
};

// Signals that touch neither host files, devices nor the run itself.
const char* const kSignals[] = {"15", "22", "23", "35", "36", "37", "38", "40", "41", "43", "44", "46", "47", "66"};

template <size_t N>
const char* pick(FuzzedDataProvider& in, const char* const (&list)[N]) {
    return list[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

struct generator {
    FuzzedDataProvider& in;
    int ops_left = kMaxOps;

    std::string value() { return pick(in, kValues); }

    std::string args(int most) {
        std::string s;
        for (int i = 0, n = in.ConsumeIntegralInRange(0, most); i < n; i++) s += ", " + value();
        return s;
    }

    // One step that does not nest further (inside finalizers, metamethods,
    // hooks and coroutines).
    std::string leaf() {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: return std::string("pcall(_signal, ") + pick(in, kSignals) + ")";
        case 1: return "collectgarbage('step', " + std::to_string(in.ConsumeIntegralInRange(0, 64)) + ")";
        case 2: {
            // at the host frame a level or two down, if there is one
            std::string level = std::to_string(in.ConsumeIntegralInRange(1, 4));
            std::string slot = std::to_string(in.ConsumeIntegralInRange(-2, 4));
            return in.ConsumeBool() ? "pcall(debug.setlocal, " + level + ", " + slot + ", " + value() + ")"
                                    : "pcall(debug.getlocal, " + level + ", " + slot + ")";
        }
        case 3:
            return "pcall(debug.setupvalue, " + std::string(in.ConsumeBool() ? "H.gm" : pick(in, kCalls)) + ", " +
                   std::to_string(in.ConsumeIntegralInRange(0, 3)) + ", " + value() + ")";
        case 4: return "ids[#ids + 1] = _create_process_from_code('flip()', 'leaf', '/ram/leaf.lua'" + args(2) + ")";
        case 5: return "pcall(_run_process_slice, " + value() + ", " + value() + ")";
        case 6: return "pcall(_kill_process, " + value() + ", " + value() + ")";
        case 7: return "pcall(send_message, " + value() + ", {v = " + value() + "})";
        default: return std::string("pcall(") + pick(in, kCalls) + args(4) + ")";
        }
    }

    std::string leaves() {
        std::string s;
        for (int i = 0, n = in.ConsumeIntegralInRange(1, 3); i < n; i++) s += leaf() + " ";
        return s;
    }

    // The code of a child process: steps of its own, depth levels deep.
    std::string child(int depth) {
        std::string s = prelude();
        for (int i = 0, n = in.ConsumeIntegralInRange(1, 8); i < n && ops_left > 0; i++) s += step(depth) + "\n";
        return s + (in.ConsumeBool() ? "while true do flip() end\n" : "");
    }

    std::string step(int depth) {
        ops_left--;
        switch (in.ConsumeIntegralInRange(0, 11)) {
        case 0: return "setmetatable({}, {__gc = function() " + leaves() + "end})";
        case 1: return "collectgarbage('incremental', 100, " + std::to_string(in.ConsumeIntegralInRange(100, 2000)) + ")";
        case 2:
            return "do local co = coroutine.wrap(function(...) " + leaves() + "coroutine.yield() " + leaves() +
                   "end) pcall(co) pcall(co) pcall(co) end";
        case 3: {
            const char* masks[] = {"c", "r", "l", "", "crl"};
            return "debug.sethook(function() debug.sethook() " + leaves() + "end, '" +
                   masks[in.ConsumeIntegralInRange(0, 4)] + "', " + std::to_string(in.ConsumeIntegralInRange(0, 50)) +
                   ")";
        }
        case 4:
            if (depth > 0) {
                // a long string of a level of its own, which the child's
                // text (its own children's included) never closes
                const std::string eq((size_t)depth + 3, '=');
                return "ids[#ids + 1] = _create_process_from_code([" + eq + "[" + child(depth - 1) + "]" + eq +
                       "], 'child', " + (in.ConsumeBool() ? "'/system/c.lua'" : "'/ram/c.lua'") + args(2) + ")";
            }
            return leaf();
        case 5: return "pcall(_run_process_slice, " + value() + ", " + value() + ")";
        case 6: return "flip()";
        case 7:
            return "pcall(table.sort, {5, 3, 1, 4, 2}, function(a, b) " + leaves() + "return a < b end)";
        case 8: return "pcall(string.gsub, 'a b c', '%a', function(c) " + leaves() + "return " + value() + " end)";
        case 9: return "pcall(_map_ram, H.ud, " + value() + ") pcall(_unmap_ram, H.ud, " + value() + ")";
        default: return leaf();
        }
    }

    // Hostile values every process shares: a table whose metamethods call
    // back into the host, a typed userdata, a suspended coroutine, a function
    // and a gmatch iterator (a host closure with upvalues).
    std::string prelude() {
        return "local ids = {}\nlocal H = {}\n"
               "H.evil = setmetatable({}, {__index = function() " + leaves() + "return 7 end, "
               "__newindex = function() " + leaves() + "end, __len = function() " + leaves() + "return " + value() +
               " end, __eq = function() return true end, __gc = function() " + leaves() + "end})\n"
               "H.ud = userdata('u8', 64, 64)\n"
               "H.co = coroutine.create(function() coroutine.yield() end) coroutine.resume(H.co)\n"
               "H.fn = function() " + leaves() + "end\n"
               "H.gm = string.gmatch(('ab'):rep(100), 'a')\n";
    }

    std::string script() {
        std::string s = prelude();
        while (ops_left > 0 && in.remaining_bytes() > 0) s += step(2) + "\n";
        return s + "while true do flip() end\n";
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    config_set_defaults();
    config.headless = 1;
    config.display_pid = DEFAULT_DISPLAY_PID;
    init_default_coltabs();
    pfile_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    generator g{in};
    const std::string script = g.script();
    if (getenv("HVX_FUZZ_PRINT")) fprintf(stderr, "---- script\n%s----\n", script.c_str());

    processes_init();
    pfile_reset();
    mount_ram_folder("/");
    clear_app_parts();
    cpu_cycles = cpu_cycles_max = cpu_superyielding = 0;
    total_frame_cycles = total_frame_cycles_since_wm_flip = 0;
    // The kernel and the window manager hold table indices 0 and 1 and never
    // run: a runtime error there would end the program by design.
    Process* root = create_process_from_code("while true do flip() end", "[root]", "[root]", "", "");
    create_process_from_code("while true do flip() end", "wm", "/ram/wm.lua", "", "");
    set_current_process(root);
    if (!create_process_from_code(script.data(), script.size(), "fuzz", "/ram/fuzz.lua", "", "")) {
        fprintf(stderr, "the generated script does not compile:\n%s\n", script.c_str());
        abort();
    }
    for (int frame = 0; frame < kFrames; frame++) {
        prepare_processes_for_frame();
        set_current_process(root);
        Process* p = get_process(kScriptId);
        if (!p) break;
        run_process_slice(p, 1.0);
        set_current_process(root);
        update_processes_after_frame();
    }
    processes_init();
    return 0;
}
