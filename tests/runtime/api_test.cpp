// System-call registration (names, order, aliases, what a new state gets)
// and the argument readers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "tests/support/process_harness.h"

using hvx_test::process_env;

namespace {

// The registration order, run by run.
const char* kRuns[] = {
    "deli add del count",
    "time t stat date _kstat",
    "cls fillp pset pget fset fget mset mget camera clip rectfill rect ovalfill circfill oval circ rrect "
    "rrectfill line tline3d sspr spr _draw_map blit _print_qzscii",
    "_printh printh",
    "_count_p",
    "cursor color pal palt",
    "note sfx music",
    "vyn _vyn _vyn_raw unvyn",
    "create_delta apply_delta",
    "fetch store _fetch_local _store_local",
    "_cache_store _cache_fetch",
    "_fetch_anywhen _fetch_anywhen_metadata _list_anywhen_by_day _list_anywhen_by_loc "
    "_list_anywhen_folder_moment _anywhen_get_attr",
    "_fetch_remote _fetch_remote_result",
    "_fetch_metadata_from_file _store_metadata_str_to_file",
    "_ls _mkdir _fstat _fullpath ls mkdir fstat fullpath cp _fcopy _fdelete",
    "pid _send_message_raw send_message _read_message",
    "chr ord tokenoid",
    "rnd srand abs sgn max min mid sqrt cos sin atan2 flr ceil",
    "userdata vec get set",
    "_flip flip",
    "split",
    "_ext _path _hloc",
    "_get_userland_clipboard_text _set_userland_clipboard_text",
    "_yielded_to_escape_slice _create_process_from_code _run_process_slice _kill_process "
    "_close_process_host_resources _halt",
    "_mount mount",
    "_set_draw_target",
    "_pwd _cd pwd cd _normalise_userland_path norm _is_well_formed_bbs_path _is_well_formed_vynnet_path",
    "load",
    "_blit_process_video _process_state _immediate_sandboxed_family _get_process_display_size "
    "_get_process_list",
    "_apply_system_settings",
    "_apply_key_controls",
    "_signal",
    "_warp_mouse",
    "_set_spr",
    "_map_ram _unmap_ram",
    "_update_buttons",
    "_set_host_window_icon _set_host_window_title",
    "_fetch_udat fetch_udat _modify_user_session _scoresub",
    "_md5 _crc _strindex",
    "btn btnp",
    "peek poke peek2 poke2 peek4 poke4 peek8 poke8 _ppeek _ppeek4 memcpy memset",
};

// Every name bound to another name's function: alias -> first name.
const std::vector<std::pair<std::string, std::string>> kAliases = {
    {"t", "time"},           {"printh", "_printh"},     {"_vyn", "vyn"},
    {"_vyn_raw", "vyn"},     {"_fetch_local", "fetch"}, {"_store_local", "store"},
    {"ls", "_ls"},           {"mkdir", "_mkdir"},       {"fstat", "_fstat"},
    {"fullpath", "_fullpath"}, {"cp", "_fcopy"},        {"send_message", "_send_message_raw"},
    {"flip", "_flip"},       {"mount", "_mount"},       {"pwd", "_pwd"},
    {"cd", "_cd"},           {"fetch_udat", "_fetch_udat"},
};

std::vector<std::string> expected_names() {
    std::vector<std::string> out;
    for (const char* run : kRuns) {
        std::istringstream in(run);
        std::string w;
        while (in >> w) out.push_back(w);
    }
    return out;
}

TEST(Registration, NamesOrderAndAliases) {
    std::vector<std::string> want = expected_names();
    ASSERT_EQ(want.size(), (size_t)API_NAME_COUNT);
    std::set<std::string> distinct;
    for (int i = 0; i < API_NAME_COUNT; i++) {
        EXPECT_EQ(want[i], api_functions[i].name) << "entry " << i;
        EXPECT_TRUE(distinct.insert(api_functions[i].name).second) << api_functions[i].name;
    }
    int functions = 0;
    std::vector<std::pair<std::string, std::string>> aliases;
    for (const api_entry& e : api_functions) {
        if (!e.same_as) {
            functions++;
            continue;
        }
        EXPECT_EQ(e.fn, nullptr) << e.name << ": an alias takes its function from " << e.same_as;
        aliases.push_back({e.name, e.same_as});
        EXPECT_TRUE(distinct.count(e.same_as)) << e.same_as;
    }
    EXPECT_EQ(functions, API_FUNCTION_COUNT);
    EXPECT_EQ(aliases, kAliases);
    // Every name has its function, and every function stands under exactly
    // one first name.
    std::set<hvx_cfunction> seen;
    for (const api_entry& e : api_functions)
        if (e.fn) {
            EXPECT_TRUE(seen.insert(e.fn).second) << e.name;
        }
    for (int i = 0; i < API_NAME_COUNT; i++) EXPECT_NE(api_entry_function(i), nullptr) << api_functions[i].name;
    EXPECT_EQ(api_entry_function(-1), nullptr);
    EXPECT_EQ(api_entry_function(API_NAME_COUNT), nullptr);
}

// Every registered global of a state is the entry's function.
void expect_globals(Process* p) {
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->L, nullptr);
    lua_State* L = p->L;
    for (int i = 0; i < API_NAME_COUNT; i++) {
        lua_getglobal(L, api_functions[i].name);
        EXPECT_EQ(lua_tocfunction(L, -1), api_entry_function(i)) << api_functions[i].name;
        lua_pop(L, 1);
    }
}

TEST(Registration, EveryProcessGetsTheGlobalsAlsoAfterRestart) {
    process_env env;
    Process* p = create_process_from_code(
        "same = printh == _printh and flip == _flip and send_message == _send_message_raw "
        "and t == time and pwd == _pwd "
        "coroutine.yield()",
        "p", "/ram/p.lua", "", "");
    expect_globals(p);
    prepare_processes_for_frame();
    run_process_slice(p, 0.1);
    lua_getglobal(p->L, "same");
    EXPECT_TRUE(lua_toboolean(p->L, -1));
    lua_pop(p->L, 1);
    lua_getglobal(p->L, "load");  // the system's, not the base library's
    EXPECT_EQ(lua_tocfunction(p->L, -1), lua54_load);
    lua_pop(p->L, 1);
    restart_process(p);
    expect_globals(p);
}

// Pushes a value built by a Lua expression and reads it with hvx_intp.
int64_t intp_of(lua_State* L, const char* expr, int64_t def = -77) {
    std::string code = std::string("return ") + expr;
    EXPECT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK) << expr;
    EXPECT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << expr;
    int64_t v = hvx_intp(L, lua_gettop(L), def);
    lua_pop(L, 1);
    return v;
}

TEST(ArgumentReaders, IntpTable) {
    process_env env;
    Process* p = env.spawn("");
    lua_State* L = p->L;
    struct {
        const char* expr;
        int64_t want;
    } cases[] = {
        {"7", 7},
        {"math.maxinteger", INT64_MAX},
        {"math.mininteger", INT64_MIN},
        {"'12'", 12},
        {"'1.5'", 1},
        {"' 0x10 '", 16},
        {"-0.5", -1},
        {"2.7", 2},
        {"-2.5", -3},
        {"true", -77},
        {"'abc'", -77},
        {"nil", -77},
        {"{}", -77},
        {"math.huge - math.huge", -77},
        {"1e300", INT64_MAX},
        {"-1e300", INT64_MIN},
        {"math.huge", INT64_MAX},
        {"-math.huge", INT64_MIN},
        {"2.0^63", INT64_MAX},
        {"-2.0^63", INT64_MIN},
        {"2.0^62", (int64_t)1 << 62},
        {"'1e999'", INT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(intp_of(L, c.expr), c.want) << c.expr;
    // An absent argument gives the default.
    EXPECT_EQ(hvx_intp(L, lua_gettop(L) + 1, 5), 5);
}

TEST(ArgumentReaders, DoubleConversionsSaturate) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(hvx_double_to_i64(nan, 9), 9);
    EXPECT_EQ(hvx_double_to_i64(-2.9, 0), -2);  // truncates toward zero
    EXPECT_EQ(hvx_double_to_i64(inf, 0), INT64_MAX);
    EXPECT_EQ(hvx_double_to_i64(-inf, 0), INT64_MIN);
    EXPECT_EQ(hvx_double_to_i64(9223372036854774784.0, 0), 9223372036854774784LL);  // largest below 2^63
    EXPECT_EQ(hvx_double_to_i32(nan, 3), 3);
    EXPECT_EQ(hvx_double_to_i32(2147483647.9, 0), INT32_MAX);
    EXPECT_EQ(hvx_double_to_i32(2147483648.0, 0), INT32_MAX);
    EXPECT_EQ(hvx_double_to_i32(-2147483648.9, 0), INT32_MIN);
    EXPECT_EQ(hvx_double_to_i32(-2147483649.0, 0), INT32_MIN);
    EXPECT_EQ(hvx_double_to_i32(-1e300, 0), INT32_MIN);
    EXPECT_EQ(hvx_double_to_i32(-7.9, 0), -7);
}

TEST(ArgumentReaders, ProcessIds) {
    process_env env;
    Process* p = env.spawn("");
    lua_State* L = p->L;
    lua_settop(L, 0);
    lua_pushinteger(L, 5);
    lua_pushnumber(L, 6.0);
    lua_pushnumber(L, 6.5);
    lua_pushstring(L, "7");
    lua_pushboolean(L, 1);
    lua_pushnumber(L, 1e300);
    EXPECT_EQ(hvx_pid_arg(L, 1), 5);
    EXPECT_EQ(hvx_pid_arg(L, 2), 6);
    EXPECT_EQ(hvx_pid_arg(L, 3), 0);
    EXPECT_EQ(hvx_pid_arg(L, 4), 7);
    EXPECT_EQ(hvx_pid_arg(L, 5), 0);
    EXPECT_EQ(hvx_pid_arg(L, 6), 0);
    EXPECT_EQ(hvx_pid_arg(L, 7), 0);
    lua_settop(L, 0);
}

}  // namespace
