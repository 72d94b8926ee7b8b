// System calls whose host work is charged by the byte or by the table entry,
// run on the shapes that cost them most. Beside each time stands
// "charged_ms": what the cycles the call charged stand for on the machine
// (CPU_FRAME_BUDGET cycles a 60th of a second). Where the time is above it,
// the call runs faster for the caller than the machine's own rate allows.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "audio/audio.h"
#include "bench/bench_support.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

// Each benchmark builds the shapes it names first, and drops them after: a
// process holds 32 MB. LONG: 3 MB of "ab\0". NEAR_A/NEAR_B: 3 MB each that
// agree for seven bytes in every eight, so the delta generator tries a
// match at every position and never keeps one; NEAR_SHORT is 4 KB of
// NEAR_A. EDITED: LONG with a byte changed every 64 KB. WIDE: 100,000 array
// entries. LONG_PATH: a legal path of 3 MB naming /ram/x. WIDE_DOC: WIDE
// as vyn text. TABLES_DOC: vyn text of 262,144 empty tables. MAPPED:
// 4 MB of userdata mapped from address 0. SMALL_TABLES: 100,000 empty
// tables in an array. NAMED: 400,000 short string keys. EMPTIED: 400,000 hash slots,
// all emptied again. LONG_KEYS: four string keys of 1 MB. TEXT_A: 4 MB of
// "x"; TEXT_B the same but for a last "y"; TEXT_COPY equal to TEXT_A, another
// string. DIGITS: 4 MB of "1". CONTINUED: "x" and 4 MB of UTF-8 continuation
// bytes. CONTROLS: 4 MB of "\1". SHARED: 200 strings sharing a 100 KB
// prefix. CODES: 99,000 byte values. U8: a userdata of 65,536 bytes.
const char* shapes_lua = R"LUA(
local makers = {
  LONG = function() return string.rep("ab\0", 1 << 20) end,
  NEAR_A = function() return string.rep("aaaaaaab", 3 << 17) end,
  NEAR_B = function() return string.rep("aaaaaaac", 3 << 17) end,
  NEAR_SHORT = function() return string.rep("aaaaaaab", 512) end,
  EDITED = function()
    local long, parts = string.rep("ab\0", 1 << 20), {}
    for i = 0, 47 do parts[#parts + 1] = long:sub(i * 65536 + 1, i * 65536 + 65535) .. "z" end
    return table.concat(parts)
  end,
  WIDE = function() local t = {} for i = 1, 100000 do t[i] = i end return t end,
  NAMED = function() local t = {} for i = 1, 400000 do t["setting" .. i] = i end return t end,
  EMPTIED = function()
    local t = {} for i = 1, 400000 do t["gone" .. i] = i end
    for i = 1, 400000 do t["gone" .. i] = nil end
    return t
  end,
  LONG_KEYS = function() local t = {} for i = 1, 4 do t[string.rep("k", 1 << 20) .. i] = 1 end return t end,
  LONG_PATH = function() return "/ram/" .. string.rep("./", 3 << 19) .. "x" end,
  WIDE_DOC = function() local t = {} for i = 1, 100000 do t[i] = i end return vyn(t) end,
  TABLES_DOC = function() return "{" .. string.rep("{},", 1 << 18) .. "}" end,
  SMALL_TABLES = function() local t = {} for i = 1, 100000 do t[i] = {} end return t end,
  MAPPED = function() local u = userdata("u8", 2048, 2048) _map_ram(u, 0) return u end,
  TEXT_A = function() return string.rep("x", 4 << 20) end,
  TEXT_B = function() return string.rep("x", (4 << 20) - 1) .. "y" end,
  TEXT_COPY = function() return string.rep("x", (4 << 20) - 1) .. "x" end,
  DIGITS = function() return string.rep("1", 4 << 20) end,
  CONTINUED = function() return "x" .. string.rep("\x80", (4 << 20) - 1) end,
  CONTROLS = function() return string.rep("\1", 4 << 20) end,
  SHARED = function()
    local prefix, t = string.rep("p", 100000), {}
    for i = 1, 200 do t[i] = prefix .. string.format("%05d", i * 7919 % 200) end
    return t
  end,
  CODES = function() local t = {} for i = 1, 99000 do t[i] = 32 + i % 90 end return t end,
  U8 = function() return userdata("u8", 256, 256) end,
  TEXT_2K = function() return string.rep("text arg", 256) end,
  TEXT_600 = function() return string.rep("abcdef", 100) end,
  PATH_300 = function() return "/ram/" .. string.rep("folder/", 41) .. "name.lua" end,
  PATH_600 = function() return "/ram/" .. string.rep("folder/", 84) .. "name.lua" end,
  OLD_200 = function() return string.rep("a line of some text\n", 10) end,
  NEW_200 = function() return string.rep("a line of other text\n", 9) .. "the end\n" end,
  DELTA_200 = function()
    return create_delta(string.rep("a line of some text\n", 10), string.rep("a line of other text\n", 9) .. "the end\n")
  end,
  DOC_2K = function() local t = {} for i = 1, 120 do t["key" .. i] = "value" .. i end return vyn(t) end,
  SETTINGS = function() local t = {} for i = 1, 10 do t["no_such_setting" .. i] = i end return t end,
}
function make(names)
  for name in names:gmatch("%u[%u%d_]*") do
    if makers[name] then _ENV[name] = makers[name]() end
  end
end
function drop()
  for name in pairs(makers) do _ENV[name] = nil end
  collectgarbage()
end
)LUA";

Process* shapes() {
    static Process* p = nullptr;
    if (p) return p;
    p = bench_process(shapes_lua, "charged", "/ram/charged.lua");
    if (!p) return nullptr;
    cproc = p;
    cpu_cycles_max = INT32_MAX;
    lua_State* L = p->L;
    if (lua_pcall(L, 0, 0, 0) != LUA_OK) p = nullptr;
    return p;
}

bool run_lua(lua_State* L, const std::string& code, int results) {
    return luaL_loadstring(L, code.c_str()) == LUA_OK && lua_pcall(L, 0, results, 0) == LUA_OK;
}

// Calls what push_call pushes (a function and its arguments; it returns
// their count) each iteration; the cycles the call charged go in charged_ms.
// used names the shapes it needs.
template <typename Push>
void run_pushed(benchmark::State& state, const char* used, Push push_call) {
    Process* p = shapes();
    lua_State* L = p ? p->L : nullptr;
    cproc = p;
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    if (!p || !run_lua(L, std::string("make([[") + used + "]])", 0)) {
        state.SkipWithError("the shapes were not made");
        return;
    }
    int64_t charged = 0;
    for (auto _ : state) {
        state.PauseTiming();
        lua_settop(L, HVX_HOST_SLOTS);
        const int nargs = push_call(L);
        cpu_cycles = 0;
        state.ResumeTiming();
        const int status = lua_pcall(L, nargs, 0, 0);
        state.PauseTiming();
        if (status != LUA_OK) state.SkipWithError("the call failed");
        charged += cpu_cycles;
        lua_settop(L, HVX_HOST_SLOTS);
        state.ResumeTiming();
    }
    run_lua(L, "drop()", 0);
    const double ns_per_cycle = 1e9 / 60.0 / CPU_FRAME_BUDGET;
    state.counters["charged_ms"] = (double)charged / (double)state.iterations() * ns_per_cycle / 1e6;
    state.counters["cycles"] = (double)charged / (double)state.iterations();
}

// Calls fn with args (a Lua expression list over the shapes) each
// iteration, after before_each when given.
void run_call(benchmark::State& state, hvx_cfunction fn, const char* args, void (*before_each)() = nullptr) {
    run_pushed(state, args, [&](lua_State* L) {
        lua_pushcfunction(L, fn);
        run_lua(L, std::string("return ") + args, LUA_MULTRET);
        if (before_each) before_each();
        return lua_gettop(L) - HVX_HOST_SLOTS - 1;
    });
}

// Runs a chunk of Lua over the shapes each iteration; its few instructions
// are charged with the work.
void run_chunk(benchmark::State& state, const char* code) {
    run_pushed(state, code, [&](lua_State* L) {
        luaL_loadstring(L, code);
        return 0;
    });
}

#define CHARGED_IN(name, fn, args, unit)                                    \
    void BM_##name(benchmark::State& state) { run_call(state, fn, args); } \
    BENCHMARK(BM_##name)->Unit(unit)
#define CHARGED(name, fn, args) CHARGED_IN(name, fn, args, benchmark::kMillisecond)
#define ORDINARY(name, fn, args) CHARGED_IN(name, fn, args, benchmark::kMicrosecond)

CHARGED(create_delta_same, lua54_create_delta, "LONG, LONG");
CHARGED(create_delta_edited, lua54_create_delta, "LONG, EDITED");
CHARGED(create_delta_near_misses, lua54_create_delta, "NEAR_A, NEAR_B");
CHARGED(create_delta_near_misses_short_old, lua54_create_delta, "NEAR_SHORT, NEAR_B");
CHARGED(create_delta_all_new, lua54_create_delta, "'x', LONG");
CHARGED(create_delta_all_old, lua54_create_delta, "LONG, 'x'");
CHARGED(split_long_separator, lua54_split, "1, LONG");
CHARGED(split_long_text_by_byte, lua54_split, "LONG, 'a', false");
CHARGED(ext_long_text, lua54_ext, "LONG");
CHARGED(clipboard_long_text, lua54_set_userland_clipboard_text, "LONG");
CHARGED(fullpath_long_legal_path, lua54_fullpath, "LONG_PATH");
CHARGED(fstat_long_legal_path, lua54_fstat, "LONG_PATH");
CHARGED(unvyn_wide_document, lua54_unvyn, "WIDE_DOC");
CHARGED(unvyn_many_tables, lua54_unvyn, "TABLES_DOC");
CHARGED(stat_collection_long, lua54_stat, "0, LONG");
CHARGED(stat_collection_wide, lua54_stat, "0, WIDE");
CHARGED(stat_collection_named, lua54_stat, "0, NAMED");
CHARGED(stat_collection_small_tables, lua54_stat, "0, SMALL_TABLES");
CHARGED(apply_system_settings_wide, lua54_apply_system_settings, "WIDE");
CHARGED(apply_system_settings_named, lua54_apply_system_settings, "NAMED");
CHARGED(apply_system_settings_long_keys, lua54_apply_system_settings, "LONG_KEYS");
CHARGED(apply_key_controls_wide, lua54_apply_key_controls, "WIDE");
CHARGED(apply_key_controls_named, lua54_apply_key_controls, "NAMED");
CHARGED(apply_key_controls_emptied, lua54_apply_key_controls, "EMPTIED");

// The same calls on ordinary arguments: what a charge on them must not pass.
ORDINARY(clipboard_2k_text, lua54_set_userland_clipboard_text, "TEXT_2K");
ORDINARY(fetch_600_byte_path, lua54_fetch, "PATH_600");
ORDINARY(fetch_short_path, lua54_fetch, "'/ram/name.lua'");
ORDINARY(unvyn_2k_document, lua54_unvyn, "DOC_2K");
ORDINARY(create_delta_200_bytes, lua54_create_delta, "OLD_200, NEW_200");
ORDINARY(apply_delta_200_bytes, lua54_apply_delta, "OLD_200, DELTA_200");
ORDINARY(ext_300_byte_path, lua54_ext, "PATH_300");
ORDINARY(apply_system_settings_ten, lua54_apply_system_settings, "SETTINGS");
ORDINARY(stat_collection_of_nothing, lua54_stat, "0");

// A cache entry of 600 bytes stored over itself in a home of the bench's own.
void bench_home() {
    static bool set = false;
    if (set) return;
    set = true;
    std::filesystem::create_directories(bench_scratch() + "/home");
    snprintf(config.home, sizeof config.home, "%s", (bench_scratch() + "/home").c_str());
    krio_reset_path_cache();
}
void BM_cache_store_600_bytes(benchmark::State& state) {
    run_call(state, lua54_cache_store, "'bench', 'entry', TEXT_600", bench_home);
}
BENCHMARK(BM_cache_store_600_bytes)->Unit(benchmark::kMicrosecond);

// collectgarbage itself, as the base library registers it.
void run_collect(benchmark::State& state, const char* args) {
    Process* p = shapes();
    if (!p) return state.SkipWithError("no process");
    lua_getglobal(p->L, "collectgarbage");
    hvx_cfunction fn = lua_tocfunction(p->L, -1);
    lua_pop(p->L, 1);
    run_call(state, fn, args);
}
void BM_collectgarbage_small_tables(benchmark::State& state) { run_collect(state, "'collect', SMALL_TABLES"); }
BENCHMARK(BM_collectgarbage_small_tables)->Unit(benchmark::kMillisecond);
void BM_collectgarbage_step_64_small_tables(benchmark::State& state) { run_collect(state, "'step', 64, SMALL_TABLES"); }
BENCHMARK(BM_collectgarbage_step_64_small_tables)->Unit(benchmark::kMillisecond);
void BM_collectgarbage_step_64(benchmark::State& state) { run_collect(state, "'step', 64"); }
BENCHMARK(BM_collectgarbage_step_64)->Unit(benchmark::kMicrosecond);

// The synthesizer's copy of memory belongs to no process yet: the call takes
// the audio focus and copies the caller's whole memory.
void forget_audio_copy() { audio_app.audio_copy_pid = 0; }
void BM_note_taking_the_audio_focus(benchmark::State& state) {
    run_call(state, lua54_play_note, "", forget_audio_copy);
}
BENCHMARK(BM_note_taking_the_audio_focus)->Unit(benchmark::kMillisecond);
void BM_note_taking_the_audio_focus_mapped(benchmark::State& state) {
    run_call(state, lua54_play_note, "select(2, MAPPED)", forget_audio_copy);
}
BENCHMARK(BM_note_taking_the_audio_focus_mapped)->Unit(benchmark::kMillisecond);

// The dialect's own string work on 4 MB texts.
#define CHUNK(name, code)                                                 \
    void BM_##name(benchmark::State& state) { run_chunk(state, code); } \
    BENCHMARK(BM_##name)->Unit(benchmark::kMillisecond)

CHUNK(text_find_plain, "local r = TEXT_A:find('y', 1, true)");
CHUNK(text_find_no_specials, "local r = TEXT_A:find('xy')");
CHUNK(text_less_than, "local r = TEXT_A < TEXT_B");
CHUNK(text_less_equal, "local r = TEXT_A <= TEXT_B");
CHUNK(text_equal, "local r = TEXT_A == TEXT_COPY");
CHUNK(text_rawequal, "local r = rawequal(TEXT_A, TEXT_COPY)");
CHUNK(text_tonumber, "local r = tonumber(DIGITS)");
CHUNK(text_coerced_to_number, "local r = DIGITS + 0");
CHUNK(text_utf8_len, "local r = utf8.len(TEXT_A)");
CHUNK(text_utf8_offset, "local r = utf8.offset(TEXT_A, 4000000)");
CHUNK(text_utf8_codepoint, "local r = utf8.codepoint(TEXT_A, 1, 99000)");
CHUNK(text_utf8_codes, "for p, c in utf8.codes(CONTINUED, true) do end");
CHUNK(text_utf8_char, "local r = utf8.char(table.unpack(CODES))");
CHUNK(text_sort_shared_prefix, "local t = {table.unpack(SHARED)} table.sort(t)");
CHUNK(text_byte_7000, "string.byte(TEXT_A, 1, 7000)");
CHUNK(text_byte_99000, "string.byte(TEXT_A, 1, 99000)");
CHUNK(text_char, "local r = string.char(table.unpack(CODES))");
CHUNK(text_format_q, "local r = string.format('%q', TEXT_A)");
CHUNK(text_format_q_controls, "local r = string.format('%q', CONTROLS)");
CHUNK(text_concat, "local r = TEXT_A .. TEXT_B");
CHUNK(text_length, "local r = #TEXT_A");
CHUNK(text_rep, "local r = string.rep('x', 4 << 20)");
CHUNK(text_reverse, "local r = TEXT_A:reverse()");
CHUNK(text_upper, "local r = TEXT_A:upper()");
CHUNK(text_lower, "local r = TEXT_A:lower()");
CHUNK(text_sub, "local r = TEXT_A:sub(2)");
// Host work by its steps: strcoll per segment, the first hash of a long
// string (against the concatenation alone), comparisons of a sort, fetches
// of table.concat, and the walk that names a function in an argument error
// (against an error raised alone).
CHUNK(text_max_nul_segments, "local r = math.max(LONG, LONG)");
CHUNK(text_long_key_first_hash, "local r = ({})[LONG .. 'k'] or 0");
CHUNK(text_long_key_made, "local r = LONG .. 'k'");
CHUNK(sort_wide_numbers, "table.sort(WIDE)");
CHUNK(concat_u8_elements, "local r = table.concat(U8, '', 0, #U8 - 1)");
CHUNK(argument_errors_1000, "for i = 1, 1000 do pcall(math.abs) end");
CHUNK(raised_errors_1000, "for i = 1, 1000 do pcall(error, 'bad argument') end");

}  // namespace
