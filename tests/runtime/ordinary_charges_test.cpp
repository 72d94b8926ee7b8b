// What ordinary calls charge on ordinary arguments, from an ordinary process
// and from the kernel alike: each row's cycles follow from the named rates
// and the calls' own formulas, so a change of any charge on everyday
// arguments shows here.
#include <gtest/gtest.h>

#include <functional>
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

int64_t integer(Process* p, const std::string& expression) {
    return std::stoll(eval(p, "return " + expression).values.at(0));
}

// The caller's heap as the collections weigh it.
int64_t heap_bytes(Process* p) { return integer(p, "math.floor(collectgarbage('count') * 1024)"); }

int64_t copied_bytes(int64_t bytes) { return bytes / LANG_TEXT_COPY_BYTES_PER_CYCLE; }
int64_t read_bytes(int64_t bytes) { return bytes / LANG_TEXT_BYTES_PER_CYCLE; }
// A result string the call makes: its header and bytes allocated. The rows
// with one allow ALLOC_ROUNDING for how the allocator rounds a block.
int64_t made(int64_t bytes) { return ((24 + bytes + 1) >> ALLOC_COST_SHIFT) + ALLOC_COST_BASE; }
constexpr int64_t ALLOC_ROUNDING = 2;
int64_t path(int64_t bytes) { return copied_bytes(2 * bytes) + (bytes > PATH_FREE_BYTES ? bytes / PATH_BYTES_PER_CYCLE : 0); }

struct row {
    const char* call;
    int (*fn)(lua_State*);
    const char* args;
    std::function<int64_t(Process*)> expected;
    int64_t within = 0;  // for the heap's bytes, which the call's own arguments move
};

void check(Process* p, const row& r) {
    const int64_t expected = r.expected(p);
    const int64_t charged = call(p, r.fn, r.args).charged;
    EXPECT_NEAR(charged, expected, (double)r.within) << r.call << "(" << r.args << ") from process " << p->id;
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
        {"_set_userland_clipboard_text", lua54_set_userland_clipboard_text, "TEXT_2K",
         [](Process*) { return copied_bytes(2048); }},
        // Beside what a process of no source costs to make (its state's allocations).
        {"_create_process_from_code", lua54_create_process_from_code, "SOURCE_2K, 'child', '/ram/child.lua'",
         [](Process* p) {
             const int64_t empty = call(p, lua54_create_process_from_code, "'', 'child', '/ram/child.lua'").charged;
             return empty + copied_bytes(2048) + 2048 * COMPILE_CYCLES_PER_BYTE;
         },
         ALLOC_ROUNDING},
        {"_apply_system_settings", lua54_apply_system_settings, "SETTINGS",
         [](Process*) { return 10 * SETTINGS_ENTRY_COST; }},
        {"_md5", lua54_md5, "TEXT_2K", [](Process*) { return 2048 / 2 + made(32); }, ALLOC_ROUNDING},
    });
}

TEST_F(OrdinaryCharges, Utilities) {
    check_rows({
        // The generator reads both texts; the result costs a cycle per 4 bytes.
        {"create_delta", lua54_create_delta, "OLD_200, NEW_200",
         [](Process* p) {
             const int64_t delta = integer(p, "#DELTA");
             return (200 + integer(p, "#NEW_200")) / DIFF_INPUT_BYTES_PER_CYCLE + delta / 4 + made(delta);
         },
         ALLOC_ROUNDING},
        {"apply_delta", lua54_apply_delta, "OLD_200, DELTA",
         [](Process* p) {
             const int64_t result = integer(p, "#NEW_200");
             return read_bytes(200 + integer(p, "#DELTA")) + result / 4 + made(result);
         },
         ALLOC_ROUNDING},
        // A string value costs the reader a cycle per 4 bytes.
        {"unvyn", lua54_unvyn, "QUOTED_2K",
         [](Process*) { return copied_bytes(2048) + read_bytes(2048) + 2046 / 4 + made(2046); }, ALLOC_ROUNDING},
    });
}

TEST_F(OrdinaryCharges, FilesAndPaths) {
    check_rows({
        {"_ext", lua54_ext, "PATH_300", [](Process*) { return copied_bytes(300) + read_bytes(300) + made(3); },
         ALLOC_ROUNDING},
        {"fetch", lua54_fetch, "PATH_600", [](Process* p) { return path(integer(p, "#PATH_600")); }},
        {"fetch", lua54_fetch, "'/ram/missing.lua'", [](Process*) { return path(17); }},
        {"_cache_store", lua54_cache_store, "'folder', 'name', DATA_600",
         [](Process*) { return copied_bytes(600) + CACHE_STORE_HOST_OPS * HOST_FOLDER_OP_COST + 600 / 8; }},
    });
}

TEST_F(OrdinaryCharges, MemoryAndCollections) {
    auto heap = [](Process* p) { return heap_bytes(p) / LANG_COLLECT_HEAP_BYTES_PER_CYCLE; };
    const int64_t garbage = 16;  // of the arguments' own chunk, on top of the heap measured
    lua_getglobal(callers[0]->L, "collectgarbage");
    int (*collect)(lua_State*) = lua_tocfunction(callers[0]->L, -1);
    lua_pop(callers[0]->L, 1);
    ASSERT_NE(collect, nullptr);
    check_rows({
        {"stat", lua54_stat, "0", heap, garbage},
        {"stat", lua54_stat, "3", heap, garbage},
        {"_signal", lua54_signal, "38", heap, garbage},
        {"collectgarbage", collect, "", heap, garbage},
        {"collectgarbage", collect, "'step', 64", [](Process*) { return (64 << 10) / LANG_COLLECT_HEAP_BYTES_PER_CYCLE; }},
        // A page served by its own storage: one chunk.
        {"memset", lua54_memset, "0x8000, 7, 4096", [](Process*) { return 4096 / 128 + 1; }},
    });
}

// Once the synthesizer's copy is the caller's own, a note with nothing
// written since copies nothing and pays nothing for it.
TEST_F(OrdinaryCharges, Sound) {
    for (Process* p : callers) {
        audio_app.audio_copy_pid = 0;
        call(p, lua54_play_note, "");
        check(p, {"note", lua54_play_note, "", [](Process*) { return 0; }});
    }
}

// A print pays for its drawing and for reading each byte of its text.
TEST_F(OrdinaryCharges, Graphics) {
    const std::string text(2000, 'g');
    for (Process* p : callers) {
        eval(p, "TEXT_2000 = string.rep('g', 2000)");
        const int64_t charged = call(p, lua54__print_qzscii, "TEXT_2000, 0, 0").charged;
        Process* was = cproc;
        cproc = p;
        hvx_poke32(p, ADDR_PRINT_X, 0);
        hvx_poke32(p, ADDR_PRINT_Y, 0);
        hvx_poke32(p, ADDR_PRINT_HOME_X, 0);
        const int32_t before = cpu_cycles;
        print_qzscii(p->draw_target, text.data(), (int)text.size(), 0, (int16_t)hvx_peek16(p, ADDR_COLOUR_WORD));
        const int64_t drawing = cpu_cycles - before;
        cproc = was;
        EXPECT_EQ(charged, drawing + read_bytes(2000)) << "from process " << p->id;
    }
}

}  // namespace
