// What ordinary calls charge on ordinary arguments, from an ordinary process
// and from the kernel alike. Each row's cycles are written out as a figure,
// not worked out from the rates the calls use: a rate made cheaper or dearer
// must change a figure here, and so be seen and argued for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::call;
using hvx_test::eval;
using hvx_test::process_env;

namespace {

// The arguments the rows name, made in each caller first. TABLES: 100,000
// small tables, a heap of about 8 MB.
const char* const ARGUMENTS = R"LUA(
TEXT_2K = string.rep("2kb text", 256)
SOURCE_2K = "--" .. string.rep("x", 2046)
PATH_300 = "/ram/" .. string.rep("folder/", 41) .. "name.lua"
PATH_600 = "/ram/" .. string.rep("folder/", 84) .. "name.lua"
DATA_600 = string.rep("cached", 100)
OLD_200 = string.rep("a line of some text\n", 10)
NEW_200 = string.rep("a line of other text\n", 9) .. "the end\n"
DELTA = create_delta(OLD_200, NEW_200)
QUOTED_2K = '"' .. string.rep("q", 2046) .. '"'
SETTINGS = {}
for i = 1, 10 do SETTINGS["no_such_setting" .. i] = i end
SCREEN = userdata("u8", 480, 270)
_set_draw_target(SCREEN)
TABLES = {}
for i = 1, 100000 do TABLES[i] = {} end
collectgarbage()
)LUA";

struct row {
    const char* call;
    int (*fn)(lua_State*);
    const char* args;
    int64_t expected;    // cycles, as figures: a rate changed on everyday arguments shows here
    int64_t within = 0;  // for the heap's bytes, which the call's own arguments move
};

void check(Process* p, const row& r) {
    const int64_t charged = call(p, r.fn, r.args).charged;
    EXPECT_NEAR(charged, r.expected, (double)r.within) << r.call << "(" << r.args << ") from process " << p->id;
}

class OrdinaryCharges : public ::testing::Test {
protected:
    void SetUp() override {
        Process* first = env.spawn("");
        while (first && first->id < KERNEL_PROCESS_ID) first = env.spawn("");
        ASSERT_NE(first, nullptr);
        ASSERT_EQ(first->id, KERNEL_PROCESS_ID);
        callers.push_back(first);
        Process* p = first;
        while (p && p->id <= LAST_SYSTEM_PROCESS_ID) p = env.spawn("");
        ASSERT_NE(p, nullptr);
        callers.push_back(p);
        for (Process* c : callers) ASSERT_EQ(eval(c, ARGUMENTS).error, "");
    }
    void check_rows(const std::vector<row>& rows) {
        for (Process* p : callers)
            for (const row& r : rows) check(p, r);
    }
    process_env env;
    std::vector<Process*> callers;  // the kernel, then an ordinary process
};

TEST_F(OrdinaryCharges, TextArguments) {
    check_rows({
        // A 2 KB text copied: 4.
        {"_set_userland_clipboard_text", lua54_set_userland_clipboard_text, "TEXT_2K", 4},
        // A process of no source made (about 4,056: its state's allocations),
        // 2 KB of source copied (4) and compiled at 4 a byte (8,192).
        {"_create_process_from_code", lua54_create_process_from_code, "SOURCE_2K, 'child', '/ram/child.lua'", 10252},
        // 10 settings at 2 each.
        {"_apply_system_settings", lua54_apply_system_settings, "SETTINGS", 20},
        // 2 KB hashed at a cycle per 2 bytes (1,024), the 32-byte digest made (4).
        {"_md5", lua54_md5, "TEXT_2K", 1028},
    });
}

TEST_F(OrdinaryCharges, Utilities) {
    check_rows({
        // Texts of 200 and 197 bytes compared at a cycle per 4 bytes (99); the
        // 58-byte delta written at a cycle per 4 bytes (14) and made (4).
        {"create_delta", lua54_create_delta, "OLD_200, NEW_200", 117},
        // 258 bytes read (4); the 197-byte result written at a cycle per 4
        // bytes (49) and made (5).
        {"apply_delta", lua54_apply_delta, "OLD_200, DELTA", 58},
        // 2 KB copied (4) and read (32); the 2,046-byte string value at a
        // cycle per 4 bytes (511) and its allocations (21).
        {"unvyn", lua54_unvyn, "QUOTED_2K", 568},
    });
}

TEST_F(OrdinaryCharges, FilesAndPaths) {
    check_rows({
        // A 300-byte path read (4), the 3-byte extension made (4).
        {"_ext", lua54_ext, "PATH_300", 8},
        // A 601-byte path copied twice (2) and, being past the 512 free
        // bytes, walked at a cycle per 4 bytes (150).
        {"fetch", lua54_fetch, "PATH_600", 152},
        // A short path copied twice, under a cycle: nothing.
        {"fetch", lua54_fetch, "'/ram/missing.lua'", 0},
        // 600 bytes copied (1), 4 host folder operations at 4,096 (16,384),
        // 600 bytes stored at a cycle per 8 (75).
        {"_cache_store", lua54_cache_store, "'folder', 'name', DATA_600", 16460},
    });
}

TEST_F(OrdinaryCharges, MemoryAndCollections) {
    // A full collection of the arguments' heap (about 7.87 MB of small
    // tables) at a cycle per 192 bytes: 40,973, and 40,987 for the first
    // one, which also frees what the set-up chunks left.
    const int64_t heap = 40980, garbage = 16;
    lua_getglobal(callers[0]->L, "collectgarbage");
    int (*collect)(lua_State*) = lua_tocfunction(callers[0]->L, -1);
    lua_pop(callers[0]->L, 1);
    ASSERT_NE(collect, nullptr);
    check_rows({
        {"stat", lua54_stat, "0", heap, garbage},
        {"stat", lua54_stat, "3", heap, garbage},
        {"_signal", lua54_signal, "38", heap, garbage},
        {"collectgarbage", collect, "", heap, garbage},
        // 64 KB of the heap at a cycle per 192 bytes.
        {"collectgarbage", collect, "'step', 64", 341},
        // A page served by its own storage: 4 KB at a cycle per 128 bytes (32)
        // and one chunk (1).
        {"memset", lua54_memset, "0x8000, 7, 4096", 33},
    });
}

// Once the synthesizer's copy is the caller's own, a note with nothing
// written since copies nothing and pays nothing for it.
TEST_F(OrdinaryCharges, Sound) {
    for (Process* p : callers) {
        audio_app.audio_copy_pid = 0;
        call(p, lua54_play_note, "");
        check(p, {"note", lua54_play_note, "", 0});
    }
}

// A print pays for its drawing and for reading each byte of its text.
TEST_F(OrdinaryCharges, Graphics) {
    for (Process* p : callers) {
        eval(p, "TEXT_2000 = string.rep('g', 2000)");
        // 2,000 glyphs drawn (5,587) and their bytes read (31).
        check(p, {"_print_qzscii", lua54__print_qzscii, "TEXT_2000, 0, 0", 5618});
    }
}

}  // namespace
