// The dialect's own work over a long text (searches, comparisons, number
// reading, the utf8 walkers, values taken or made a byte each) is paid by
// the bytes it reads past the allowance a text gets for nothing; a short
// text costs exactly what it always did. Host work whose steps grow with a
// script's data (segments between NULs, fetches, comparisons, the walk that
// names a function) pays by its steps.
#include "tests/lang/lang_test_util.h"
#include "tests/support/process_harness.h"

using namespace langtest;

namespace {

constexpr int64_t FREE = HVX_TEXT_FREE_BYTES;
constexpr int64_t BYTE_RATE = LANG_TEXT_BYTES_PER_CYCLE;
constexpr int64_t BLOCK_RATE = LANG_TEXT_COPY_BYTES_PER_CYCLE;
constexpr int64_t VALUE_RATE = HVX_TEXT_VALUES_PER_CYCLE;

int64_t past_free(int64_t bytes, int64_t per_cycle) { return bytes > FREE ? (bytes - FREE) / per_cycle : 0; }

struct text_case {
    const char* what;
    const char* op;    // an expression giving the function measured
    const char* make;  // a function of n giving its arguments
    int64_t (*bytes)(int64_t n);
    int64_t per_cycle;
    const char* want;  // tostring of its first result, when it does not hang on n
    int64_t (*steps)(int64_t n) = nullptr;  // cycles paid by its steps besides the bytes
};

int64_t steps_of(const text_case& c, int64_t n) { return c.steps ? c.steps(n) : 0; }

// zeros: n zeros then "7"; rep: n times "x"
const text_case text_cases[] = {
    {"plain find of one byte", "string.find", "return rep .. 'y', 'y', 1, true",
     [](int64_t n) { return n + 2; }, BLOCK_RATE, nullptr},
    {"find of a pattern without specials", "string.find", "return rep .. 'yz', 'yz'",
     [](int64_t n) { return n + 4; }, BYTE_RATE, nullptr},
    {"plain find from an offset, not found", "string.find", "return rep, 'ab', 5, true",
     [](int64_t n) { return n - 2; }, BYTE_RATE, "nil"},
    {"less than", "function(a, b) return a < b end", "return rep .. 'a', rep .. 'b'",
     [](int64_t n) { return n; }, BLOCK_RATE, "true"},
    {"less or equal", "function(a, b) return a <= b end", "return rep .. 'b', rep .. 'a'",
     [](int64_t n) { return n; }, BLOCK_RATE, "false"},
    {"equal texts", "function(a, b) return a == b end", "return rep .. 'a', rep .. 'a'",
     [](int64_t n) { return n + 1; }, BLOCK_RATE, "true"},
    {"texts of one length that differ last", "function(a, b) return a ~= b end", "return rep .. 'a', rep .. 'b'",
     [](int64_t n) { return n; }, BLOCK_RATE, "true"},
    {"rawequal", "rawequal", "return rep .. 'a', rep .. 'a'", [](int64_t n) { return n + 1; }, BLOCK_RATE, "true"},
    {"a long key found in a table", "function(t, k) return t[k] end",
     "local k = rep .. 'k' local _ = ({})[k] return {[rep .. 'k'] = 5}, k", [](int64_t n) { return n + 1; },
     BLOCK_RATE, "5"},
    {"a long key hashed the first time", "function(t, k) return t[k] end", "return {}, rep .. 'k'",
     [](int64_t n) { return n + 1; }, BYTE_RATE, "nil"},
    {"less than over segments between NULs", "function(a, b) return a < b end",
     "return string.rep('xx\\0', n) .. 'a', string.rep('xx\\0', n) .. 'b'", [](int64_t n) { return 3 * n; },
     BLOCK_RATE, "true", [](int64_t n) { return n * HVX_TEXT_SEGMENT_CYCLES; }},
    {"table.concat by the elements it fetches", "table.concat", "return codes", [](int64_t) { return int64_t{0}; },
     BYTE_RATE, nullptr, [](int64_t n) { return n * HVX_CONCAT_FIELD_CYCLES; }},
    {"an argument error names its function by walking the loaded modules", "pcall",
     "for i = 1, n do _ENV['k' .. i] = i end "  // the globals are a loaded module
     "return (utf8.codes(''))",                  // a function found nowhere: the whole walk
     [](int64_t) { return int64_t{0}; }, BYTE_RATE, "false", [](int64_t n) { return n * HVX_NAME_ENTRY_CYCLES; }},
    {"tonumber", "tonumber", "return zeros", [](int64_t n) { return n + 1; }, BYTE_RATE, "7"},
    {"tonumber with a base", "tonumber", "return zeros, 8", [](int64_t n) { return n + 1; }, BYTE_RATE, "7"},
    {"tonum", "tonum", "return zeros", [](int64_t n) { return n + 1; }, BYTE_RATE, "7"},
    {"arithmetic on a numeral", "function(s) return s + 1 end", "return zeros",
     [](int64_t n) { return n + 1; }, BYTE_RATE, "8"},
    {"a numeral taken by a library call", "math.abs", "return '-' .. zeros",
     [](int64_t n) { return n + 2; }, BYTE_RATE, "7.0"},
    {"utf8.len", "utf8.len", "return rep", [](int64_t n) { return n; }, BYTE_RATE, nullptr},
    {"utf8.len up to a bad byte", "utf8.len", "return rep .. '\\xff'", [](int64_t n) { return n; }, BYTE_RATE, "nil"},
    {"utf8.offset forward", "utf8.offset", "return rep, n", [](int64_t n) { return n - 1; }, BYTE_RATE, nullptr},
    {"utf8.offset back", "utf8.offset", "return rep, -n", [](int64_t n) { return n; }, BYTE_RATE, "1"},
    {"utf8.codepoint", "utf8.codepoint", "return rep, 1, n", [](int64_t n) { return n; }, VALUE_RATE, "120"},
    {"utf8.codes over continuation bytes",
     "function(s) local k = 0 for p, c in utf8.codes(s, true) do k = k + 1 end return k end",
     "return 'x' .. string.rep('\\x80', n)", [](int64_t n) { return n; }, BYTE_RATE, "1"},
    {"string.byte", "string.byte", "return rep, 1, n", [](int64_t n) { return n; }, VALUE_RATE, "120"},
    {"string.char", "string.char", "return table.unpack(codes)", [](int64_t n) { return n; }, VALUE_RATE, nullptr},
    {"utf8.char", "utf8.char", "return table.unpack(codes)", [](int64_t n) { return n; }, VALUE_RATE, nullptr},
    {"format %q, by the bytes written", "string.format", "return '%q', rep",
     [](int64_t n) { return n + 2; }, VALUE_RATE, nullptr},
    {"format %q of control bytes", "string.format", "return '%q', string.rep('\\1', n)",
     [](int64_t n) { return 2 * n + 2; }, VALUE_RATE, nullptr},
};

// The cycles of one call of the case's function, made from the host on
// arguments made for n (so only the function's own instructions, the same
// for every n, and its charges count); its first result in *first.
int64_t cycles_of(state& s, const text_case& c, int64_t n, std::string* first) {
    lua_settop(s.L, 0);
    const std::string chunk = std::string("local n = ...\nlocal rep, zeros = string.rep('x', n), string.rep('0', n) .. '7'\n"
                                          "local codes = {} for i = 1, n do codes[i] = 120 end\n") +
                              "return " + c.op + ", (function() " + c.make + " end)()";
    EXPECT_EQ(luaL_loadstring(s.L, chunk.c_str()), LUA_OK) << c.what;
    lua_pushinteger(s.L, n);
    EXPECT_EQ(lua_pcall(s.L, 1, LUA_MULTRET, 0), LUA_OK) << c.what << ": " << lua_tostring(s.L, -1);
    cycle_scope scope(0, UNLIMITED);
    EXPECT_EQ(lua_pcall(s.L, lua_gettop(s.L) - 1, 1, 0), LUA_OK) << c.what << ": " << lua_tostring(s.L, -1);
    *first = luaL_tolstring(s.L, 1, nullptr);
    return cpu_cycles;
}

}  // namespace

TEST(lang_text_charges, each_operation_pays_the_bytes_it_reads_past_the_allowance) {
    state s;
    lua_gc(s.L, LUA_GCSTOP);  // the collector's steps are charged by their own work
    for (const text_case& c : text_cases) {
        std::string first;
        const int64_t own = cycles_of(s, c, 8, &first);  // its instructions alone
        for (int64_t n : {FREE - 40, FREE - 2, FREE + 5, FREE + 3 * BLOCK_RATE + 7, int64_t{50000}}) {
            EXPECT_EQ(cycles_of(s, c, n, &first) - own,
                      past_free(c.bytes(n), c.per_cycle) + steps_of(c, n) - steps_of(c, 8))
                << c.what << ", n " << n;
            if (c.want) EXPECT_EQ(first, c.want) << c.what << ", n " << n;
        }
    }
}

// The sort's own order pays each comparison, and by the bytes it compares: the
// strings share a prefix and part at the next byte, and a string compared
// with itself is read whole. A comparator that counts runs the same
// comparisons (the pivots are chosen alike below 100 elements).
TEST(lang_text_charges, sort_pays_each_comparison) {
    state s;
    ASSERT_EQ(s.run(R"lua(
        function shuffled(m)
          local p, t = string.rep('p', m), {}
          for i = 1, 60 do t[i] = p .. string.char(33 + (i * 37) % 60) end
          return t
        end
        function counted(m)
          local k, same = 0, 0
          table.sort(shuffled(m), function(x, y) k = k + 1 if x == y then same = same + 1 end return x < y end)
          return k, same
        end)lua"),
              "");
    for (int64_t m : {FREE - 1, FREE + 5 * BLOCK_RATE, int64_t{20000}}) {
        ASSERT_EQ(s.run("return counted(" + std::to_string(m) + ")", 2), "");
        const int64_t compared = lua_tointeger(s.L, -2), same = lua_tointeger(s.L, -1);
        lua_settop(s.L, 0);
        ASSERT_GT(compared, 60);
        ASSERT_GT(same, 0);
        lua_getglobal(s.L, "table");
        lua_getfield(s.L, -1, "sort");
        ASSERT_EQ(s.run("return shuffled(" + std::to_string(m) + ")", 1), "");
        cycle_scope scope(0, UNLIMITED);
        ASSERT_EQ(lua_pcall(s.L, 1, 0, 0), LUA_OK);
        EXPECT_EQ(cpu_cycles, compared * HVX_SORT_COMPARE_CYCLES + (compared - same) * past_free(m, BLOCK_RATE) +
                                  same * past_free(m + 1, BLOCK_RATE))
            << "prefix " << m;
        lua_settop(s.L, 0);
    }
}

// A sort or a concatenation that runs past the ceiling of code that cannot
// yield stops there, as the matcher does (called from the host: no
// instruction of a script follows it to meet the ceiling instead).
TEST(lang_text_charges, a_sort_past_the_ceiling_raises) {
    const char* cases[][2] = {
        {"sort", "t = {} local p = string.rep('p', 100000) for i = 1, 60 do t[i] = p .. string.char(33 + i) end"},
        {"concat", "t = {} for i = 1, 200000 do t[i] = 'x' end"},
    };
    for (const auto& c : cases) {
        state s;
        ASSERT_EQ(s.run(c[1]), "");
        lua_getglobal(s.L, "table");
        lua_getfield(s.L, -1, c[0]);
        lua_getglobal(s.L, "t");
        cycle_scope scope(LANG_NONYIELD_CEILING - 1000, 0);
        ASSERT_NE(lua_pcall(s.L, 1, 0, 0), LUA_OK) << c[0];
        EXPECT_STREQ(lua_tostring(s.L, -1), "out of cycles in a non-yieldable call") << c[0];
    }
}

// The system's own processes pay as every other does.
TEST(lang_text_charges, a_system_process_pays_too) {
    hvx_test::process_env env;
    Process* kernel = env.spawn("");
    ASSERT_TRUE(kernel);
    ASSERT_EQ(kernel->id, 1);
    const int64_t n = 40000;
    ASSERT_EQ(hvx_test::run_in(kernel, "local p, q = string.rep('x', 40000), string.rep('x', 20) "
                                       "A, B, C, D = p .. 'a', p .. 'b', q .. 'a', q .. 'b' "
                                       "N, M = string.rep('0', 40000) .. '7', '07'"),
              "");
    const char* rows[][2] = {{"A < B", "C < D"}, {"A == B", "C == D"}, {"tonumber(N)", "tonumber(M)"},
                             {"A:find('b', 1, true)", "C:find('b', 1, true)"}};
    const int64_t want[] = {past_free(n, BLOCK_RATE), past_free(n, BLOCK_RATE), past_free(n + 1, BYTE_RATE),
                            past_free(n + 2, BLOCK_RATE)};
    auto cost = [&](const char* expr) {
        return std::stoll(hvx_test::run_in(kernel, std::string("local c = cycles() local r = ") + expr +
                                                       " return cycles() - c"));
    };
    for (size_t i = 0; i < std::size(rows); i++)
        EXPECT_EQ(cost(rows[i][0]) - cost(rows[i][1]), want[i]) << rows[i][0];
}
