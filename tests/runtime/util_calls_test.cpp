// Utility calls: split, bytes and characters, the sequence calls, checksums
// and deltas, the system's load, and tokenoid over edge cases and random lines.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"

using hvx_test::call;
using hvx_test::eval;
using hvx_test::process_env;
using strings = std::vector<std::string>;

namespace {

struct util_calls : ::testing::Test {
    process_env env;
    Process* p = env.spawn("");
    void SetUp() override {
        ASSERT_NE(p, nullptr);
        // Renders a table's fields: integers bare, floats with a point, texts quoted.
        eval(p, "function show(t) local o = {} for i = 1, #t do local v = t[i] "
                "o[i] = type(v) == 'string' and ('\\'' .. v .. '\\'') or tostring(v) end "
                "return table.concat(o, ' ') end");
    }
    std::string first(const std::string& code) {
        hvx_test::call_result r = hvx_test::eval(p, code);
        if (!r.error.empty()) return "error: " + r.error;
        return r.values.empty() ? "" : r.values[0];
    }
};

TEST_F(util_calls, Split) {
    struct {
        const char* args;
        const char* want;
    } rows[] = {
        {"'1,2,x'", "1 2 'x'"},
        {"'1,2,x', ',', false", "'1' '2' 'x'"},
        {"'a;b c', '; '", "'a' 'b' 'c'"},
        {"'abcde', 2", "'ab' 'cd' 'e'"},
        {"'abc', 0", "'a' 'b' 'c'"},  // chunks of at least one byte
        {"'abc', 99", "'abc'"},
        {"'', 3", ""},
        {"'12a', ''", "1.0 2.0 'a'"},
        {"'12a', '', false", "'1' '2' 'a'"},
        {"''", "''"},
        {"'a,b,'", "'a' 'b' ''"},
        {"',,'", "'' '' ''"},
        {"' 0x10 ,0b11,1e2,-3.5,1e'", "16 3 100.0 -3.5 '1e'"},
        {"'x', nil", "'x'"},  // a missing separator is ','
        {"'1|2', {}", "'1|2'"},
        {"12345, 2", "12 34 5"},  // numbers are texts
        {"'a\\0b\\0c', '\\0'", "'a' 'b' 'c'"},
    };
    for (const auto& r : rows) EXPECT_EQ(first(std::string("return show(split(") + r.args + "))"), r.want) << r.args;
    EXPECT_EQ(call(p, lua54_split, "").values.size(), 0u);
    EXPECT_EQ(call(p, lua54_split, "{}").values.size(), 0u);
    EXPECT_GE(call(p, lua54_split, "string.rep('a', 1000)").charged, 1000);
    EXPECT_EQ(first("return math.type(split('7\\0', '|')[1]) or #split('7\\0', '|')[1]"), "2");  // NUL: a text
    // A long numeric field converts as a short one does.
    EXPECT_EQ(first("return split(string.rep(' ', 300) .. '42')[1]"), "42");
}

TEST_F(util_calls, BytesAndCharacters) {
    struct {
        int (*fn)(lua_State*);
        const char* args;
        strings want;
    } rows[] = {
        {lua54_ord, "'abc'", {"97"}},
        {lua54_ord, "'abc', 2, 3", {"98", "99", "nil"}},
        {lua54_ord, "'abc', 0, 2", {"nil", "97"}},
        {lua54_ord, "'abc', '2.9'", {"98"}},
        {lua54_ord, "'abc', 1, 0", {}},
        {lua54_ord, "'abc', 1, 65537", {}},
        {lua54_ord, "{}", {}},
        {lua54_ord, "'abc', 2147483647, 3", {"nil", "nil", "nil"}},
        {lua54_chr, "72, 105", {"Hi"}},
        {lua54_chr, "321", {"A"}},
        {lua54_chr, "", {""}},
        {lua54_chr, "'66', 67.9, {}", {"BC\\0"}},
        {lua54_strindex, "'abc', 0", {"nil"}},
        {lua54_strindex, "'abc', 3", {"c"}},
        {lua54_strindex, "'abc'", {"nil"}},
        {lua54_strindex, "'abc', 4", {"nil"}},
        {lua54_count_p, "1, nil, 3, nil", {"4"}},
        {lua54_count_p, "", {"0"}},
        {lua54_crc, "'abc'", {"891568578"}},  // 0x352441C2
        {lua54_crc, "''", {"0"}},
        {lua54_crc, "'\\255\\255\\255\\255'", {"4294967295"}},
        {lua54_crc, "nil", {}},
        {lua54_md5, "'abc'", {"900150983cd24fb0d6963f7d28e17f72"}},
        {lua54_md5, "''", {"d41d8cd98f00b204e9800998ecf8427e"}},
        {lua54_md5, "12", {"c20ad4d76fe97759aa27a0c99bff6710"}},
        {lua54_md5, "{}", {}},
    };
    for (const auto& r : rows) {
        strings got = call(p, r.fn, r.args).values;
        for (auto& v : got)  // NULs shown escaped
            for (size_t at = v.find('\0'); at != std::string::npos; at = v.find('\0')) v.replace(at, 1, "\\0");
        EXPECT_EQ(got, r.want) << r.args;
    }
    EXPECT_EQ(call(p, lua54_ord, "'abc', 1, 3").charged, 3);
    EXPECT_EQ(call(p, lua54_crc, "string.rep('x', 800)").charged, 100);
    // Half a cycle a byte, beside the digest's own allocation.
    EXPECT_EQ(call(p, lua54_md5, "string.rep('x', 1600)").charged - call(p, lua54_md5, "string.rep('z', 800)").charged, 400);
}

TEST_F(util_calls, Sequences) {
    struct {
        const char* code;
        const char* want;
    } rows[] = {
        {"return count({1, 2, 1}, 1)", "2"},
        {"return count({1, 2, 1})", "3"},
        {"return count({1, 2, 1}, nil)", "3"},
        {"return select('#', count(5, 1))", "0"},
        {"local mt = {__eq = function() return true end} "
         "return count({setmetatable({}, mt), setmetatable({}, mt), 3}, setmetatable({}, mt))", "2"},
        {"local t = {1, 2} return add(t, 9), show(t)", "9"},
        {"local t = {1, 2} add(t, 9, 1) return show(t)", "9 1 2"},
        {"local t = {1, 2} add(t, 9, 3) return show(t)", "1 2 9"},
        {"local t = {1, 2} add(t, 9, nil) return show(t)", "1 2 9"},
        {"local t = {1, 2} return select('#', add(t))", "0"},
        {"local t = setmetatable({}, {__len = function() return math.maxinteger end}) "
         "add(t, 'x', 1) return rawget(t, 1)", "x"},
        {"local t = {1, 2} return add(t, 9, 4)", "error: [string \"local t = {1, 2} return add(t, 9, 4)\"]:1: "
                                                 "bad argument #2 to 'add' (position out of bounds)"},
        {"return add({}, 1, 2, 3)", "error: [string \"return add({}, 1, 2, 3)\"]:1: "
                                    "wrong number of arguments to 'insert'"},
        {"return add(5, 1)", "error: [string \"return add(5, 1)\"]:1: bad argument #1 to 'add' "
                             "(table expected, got number)"},
        {"local log = {} local t = setmetatable({}, {__newindex = function(t, k, v) log[#log + 1] = k "
         "rawset(t, k, v) end}) add(t, 'a') add(t, 'b', 1) return show(log)", "1 2"},
        {"local t = {'a', 'b', 'c'} return del(t, 'b'), show(t)", "b"},
        {"local t = {'a', 'b', 'c'} del(t, 'b') return show(t), #t", "'a' 'c'"},
        {"local t = {'a'} return select('#', del(t, 'z')), select('#', del(t))", "0"},
        {"local t = {'a', 'b', 'c'} return deli(t, 1), show(t)", "a"},
        {"local t = {'a', 'b', 'c'} deli(t) return show(t)", "'a' 'b'"},
        {"return select('#', deli({}))", "0"},
        {"return select('#', deli({1}, 0))", "0"},
        {"return select('#', deli({1}, 2))", "0"},
    };
    for (const auto& r : rows) EXPECT_EQ(first(r.code), r.want) << r.code;
    // A table whose comparisons rewrite it stays safe to walk.
    EXPECT_EQ(first("local t = {} local mt = {__eq = function() t[1] = nil t[2] = nil return false end} "
                    "for i = 1, 5 do t[i] = setmetatable({}, mt) end return count(t, setmetatable({}, mt))"),
              "0");
    EXPECT_EQ(call(p, lua54_count, "{1, 2, 3, 4}, 1").charged, 4);
    EXPECT_EQ(call(p, lua54_del, "{1, 2, 3, 4}, 4").charged, 4);
    // A length that no table has is refused before the loop, not run for
    // ever; the process has passed the ceiling and is to end.
    std::string huge = first("return select(2, pcall(count, setmetatable({}, {__len = function() "
                             "return math.maxinteger end}), 1))");
    EXPECT_NE(huge.find("out of cycles"), std::string::npos) << huge;
    EXPECT_EQ(p->runaway, 1);
}

TEST_F(util_calls, Deltas) {
    eval(p, "old = string.rep('the quick brown fox ', 40) new = old:sub(1, 300) .. 'jumps' .. old:sub(301)");
    EXPECT_EQ(first("d = create_delta(old, new) return apply_delta(old, d) == new"), "true");
    EXPECT_EQ(first("return #d < #new // 4"), "true");
    EXPECT_EQ(first("return select('#', apply_delta(old .. 'x', d))"), "0");
    EXPECT_EQ(first("return select('#', apply_delta(old, 'garbage'))"), "0");
    EXPECT_EQ(first("return select('#', create_delta(old))"), "0");
    EXPECT_EQ(first("return apply_delta('', create_delta('', 'abc'))"), "abc");
    EXPECT_EQ(first("return apply_delta(123, create_delta(123, 456))"), "456");
    auto made = eval(p, "return create_delta(old, new)");
    ASSERT_EQ(made.values.size(), 1u);
    EXPECT_EQ(made.charged >= (int32_t)made.values[0].size() / 4, true);
}

// What the calls read of their texts is charged by the byte, whatever they
// return: N in the arguments grows from 64 KB to 128 KB. (A collection step
// the call's own allocations run may add a few cycles.)
TEST_F(util_calls, ReadingChargedByTheBytes) {
    struct {
        int (*fn)(lua_State*);
        const char* args;
        int64_t bytes_per_n;  // text read per unit of N
        int64_t bytes_per_cycle;
    } rows[] = {
        {lua54_create_delta, "string.rep('x', N), string.rep('x', N)", 2, DIFF_INPUT_BYTES_PER_CYCLE},
        {lua54_create_delta, "string.rep('ab', N), 'x'", 2, DIFF_INPUT_BYTES_PER_CYCLE},
        // A delta that does not fit the old text is refused only after its sum is read.
        {lua54_apply_delta, "string.rep('ab', N), create_delta('a', 'b')", 2, LANG_TEXT_BYTES_PER_CYCLE},
        {lua54_split, "1, string.rep(';', N)", 1, LANG_TEXT_BYTES_PER_CYCLE},
        {lua54_split, "'a;b', string.rep(';,', N), false", 2, LANG_TEXT_BYTES_PER_CYCLE},
    };
    auto charged = [&](int (*fn)(lua_State*), std::string args, int64_t n) {
        for (size_t at; (at = args.find('N')) != std::string::npos;) args.replace(at, 1, std::to_string(n));
        return (int64_t)call(p, fn, args).charged;
    };
    const int64_t n = 64 << 10;
    for (const auto& r : rows) {
        const int64_t grew = charged(r.fn, r.args, 2 * n) - charged(r.fn, r.args, n);
        EXPECT_NEAR(grew, n * r.bytes_per_n / r.bytes_per_cycle, 16) << r.args;
    }
    // A separator shorter than a cycle's bytes adds nothing.
    EXPECT_EQ(call(p, lua54_split, "'a;b', ';,:'").charged, call(p, lua54_split, "'a;b', ';'").charged);
}

// load through a real process: text only, the environment as first upvalue,
// chunk names, and its depth counter back at 0 however the loader ended.
int depth_seen = -1;
int h_depth(lua_State* L) {
    depth_seen = cproc ? cproc->load_depth : -1;
    lua_pushnil(L);
    return 1;
}

TEST(Load, ThroughAProcess) {
    process_env env;
    env.add_global("depth", h_depth);
    Process* p = env.spawn(R"lua(
        results = {}
        local f = load("return x + 1", "chunk", "t", {x = 41})
        results[1] = f()
        results[2] = select(2, load("error('boom')", "=named"))  -- loaded fine: no message
        results[3] = select(2, pcall(load("error('boom')", "=named")))
        results[4] = select(2, pcall(load("error('boom')")))
        results[5] = select(2, load(string.dump(function() end)))
        results[6] = select(2, pcall(load, {}))
        results[7] = select(2, load("x = = 1", "=bad"))
        local parts = {"return ", "7"}
        results[8] = load(function() depth() return table.remove(parts, 1) end)()
        results[9] = select(2, pcall(load(function() return nil end, nil, nil, nil)))
        coroutine.yield()
    )lua");
    ASSERT_NE(p, nullptr);
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    auto r = eval(p, "local o = {} for i = 1, 9 do o[i] = tostring(results[i]) end return table.unpack(o)");
    EXPECT_EQ(r.values, (strings{"42", "nil", "named:1: boom", "[string \"error('boom')\"]:1: boom",
                                  "attempt to load a binary chunk (mode is 't')",
                                  "bad argument #1 to 'load' (function expected, got table)",
                                  "bad:1: unexpected symbol near '='", "7", "nil"}));
    EXPECT_EQ(depth_seen, 1);       // raised by one while the reader ran
    EXPECT_EQ(p->load_depth, 0);    // lowered again, also after the raised error
}

TEST_F(util_calls, Tokenoid) {
    struct {
        const char* args;
        strings want;
    } rows[] = {
        {"'x = 12 -- hi', 1", {"x", "2", "1"}},
        {"'x = 12 -- hi', 2", {" ", "3", "0"}},
        {"'x = 12 -- hi', 3", {"=", "4", "5"}},
        {"'x = 12 -- hi', 5", {"12", "7", "2"}},
        {"'x = 12 -- hi', 8", {"-- hi", "13", "3"}},
        {"'x = 12 -- hi', 13", {}},
        {"'x = 12 -- hi', 0", {}},
        {"'', 1", {}},
        {"'s = [[abc', 5", {"[[abc", "10", "4", "1024"}},
        {"'d]] e', 1, 1024", {"d]]", "4", "4"}},
        {"'long ]==] x', 1, 0x402", {"long ]==]", "10", "4"}},
        {"'still open', 1, 0x302", {"still open", "11", "3", "770"}},
        {"'--[=[ c ]=] x', 1", {"--[=[ c ]=]", "12", "3"}},
        {"'--[==[ open', 1", {"--[==[ open", "12", "3", "770"}},
        {"'--[ x', 1", {"--[ x", "6", "3"}},
        {"'-- line\\nnext', 1", {"-- line", "8", "3"}},
        {"'a-b', 2", {"-", "3", "5"}},
        {"'[=[x]=]', 1", {"[=[x]=]", "8", "4"}},
        {"'[x', 1", {"[", "2", "5"}},
        {"'[' .. string.rep('=', 61) .. '[', 1", {"[", "2", "5"}},  // too deep to open
        {"'\\'x', 1", {"'", "2", "5"}},
        {"'\"a\\\\\"b\" c', 1", {"\"a\\\"b\"", "7", "4"}},
        {"'\"abc\\\\', 1", {"\"abc\\", "6", "4"}},  // a final backslash ends the text
        {"'\"ab', 1", {"\"ab", "4", "4"}},
        {"'0x1F.5z', 1", {"0x1", "4", "2"}},  // 'F' is no number character
        {"'0b101 1.5e', 1", {"0b101", "6", "2"}},
        {"'1.5e', 1", {"1.5e", "5", "2"}},
        {"'\\t\\t', 1", {"\t", "2", "0"}},
        {"'   x', 1", {"   ", "4", "0"}},
        {"'_a9\\200b.c', 1", {"_a9\310b", "6", "1"}},
        {"'abc', 1, 0x3FF", {}},  // a level deeper than a closing bracket can be
        {"'abc', 1, 0x441", {}},
        {"'x]' .. string.rep('=', 64) .. ']', 1, 0x440", {"x]" + std::string(64, '=') + "]", "68", "4"}},
        {"12, 1", {"12", "3", "2"}},
        {"{}, 1", {}},
    };
    for (const auto& r : rows) EXPECT_EQ(call(p, lua54_tokenoid, r.args).values, r.want) << r.args;
    // The token's length, beside the same allocation.
    EXPECT_EQ(call(p, lua54_tokenoid, "'abcdef  ', 1").charged - call(p, lua54_tokenoid, "'ab  ', 1").charged, 4);
}

// Random lines, positions and states: a token always lies inside its line.
TEST(ScanToken, StaysInsideRandomLines) {
    std::mt19937 rng(125);
    const char alphabet[] = "[]=-\"\\ \t\nab0x1.";
    for (int i = 0; i < 20000; i++) {
        int64_t len = rng() % 24;
        std::vector<uint8_t> line((size_t)len);  // exactly len bytes: ASan sees any read past them
        for (auto& c : line) c = rng() % 4 ? (uint8_t)alphabet[rng() % (sizeof alphabet - 1)] : (uint8_t)rng();
        int64_t pos = (int64_t)(rng() % 28) - 2;
        int64_t state = rng() % 3 ? 0 : (int64_t)(rng() % 0x600);
        token_span t;
        bool got = scan_token(line.data(), len, pos, state, &t);
        if (pos < 0 || pos >= len) {
            EXPECT_FALSE(got);
            continue;
        }
        if (!got) {
            EXPECT_TRUE((state & 0xF00) && (state & 0xFF) > TOKENOID_MAX_LEVEL) << state;
            continue;
        }
        EXPECT_GE(t.length, 1);
        EXPECT_LE(pos + t.length, len);
        EXPECT_EQ(t.open, t.open && pos + t.length == len);  // only a token reaching the end stays open
    }
}

}  // namespace
