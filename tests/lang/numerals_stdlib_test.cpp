// Binary numerals in every conversion path, tonum, the reduced standard
// library, text-only loading and the table functions' cycle charges.
#include "tests/lang/lang_test_util.h"

#include <unistd.h>

#include <cmath>

using namespace langtest;

namespace {

struct converted {
    bool ok;
    bool integer;
    lua_Integer i;
    lua_Number n;
};

converted convert(lua_State* L, const std::string& text) {
    converted c{};
    size_t used = lua_stringtonumber(L, text.c_str());
    c.ok = used == text.size() + 1;
    if (used) {
        c.integer = lua_isinteger(L, -1);
        c.i = lua_tointeger(L, -1);
        c.n = lua_tonumber(L, -1);
        lua_pop(L, 1);
    }
    return c;
}

}  // namespace

TEST(lang_numerals, binary_integers) {
    state s;
    const struct {
        const char* text;
        lua_Integer value;
    } cases[] = {{"0b101", 5}, {"-0b101", -5}, {"0B11", 3}, {"  0b1  ", 1}, {"+0b0", 0}, {"0b0001", 1}};
    for (const auto& c : cases) {
        converted r = convert(s.L, c.text);
        EXPECT_TRUE(r.ok && r.integer) << c.text;
        EXPECT_EQ(r.i, c.value) << c.text;
    }
    // 65 ones wrap modulo 2^64 like hexadecimal numerals, no float fallback
    converted wrap = convert(s.L, "0b" + std::string(65, '1'));
    EXPECT_TRUE(wrap.ok && wrap.integer);
    EXPECT_EQ(wrap.i, -1);
    converted top = convert(s.L, "0b1" + std::string(63, '0'));
    EXPECT_TRUE(top.integer);
    EXPECT_EQ(top.i, LUA_MININTEGER);
}

TEST(lang_numerals, binary_floats) {
    state s;
    const struct {
        const char* text;
        double value;
    } cases[] = {{"0b1.1", 1.5}, {"0b.01", 0.25}, {"0b1p3", 8.0},  {"0b1p-1", 0.5},
                 {"0b1.0", 1.0}, {"-0b11.1p+2", -14.0}, {" 0b10P1 ", 4.0}, {"0b1.", 1.0}};
    for (const auto& c : cases) {
        converted r = convert(s.L, c.text);
        EXPECT_TRUE(r.ok) << c.text;
        EXPECT_FALSE(r.integer) << c.text;
        EXPECT_EQ(r.n, c.value) << c.text;
    }
    // more than 64 significant digits: the dropped ones still scale
    converted big = convert(s.L, "0b" + std::string(100, '1') + ".0");
    ASSERT_TRUE(big.ok);
    EXPECT_NEAR(big.n / std::ldexp(1.0, 100), 1.0, 1e-15);
    converted frac = convert(s.L, "0b0." + std::string(70, '0') + "1");
    ASSERT_TRUE(frac.ok);
    EXPECT_EQ(frac.n, std::ldexp(1.0, -71));
    // huge exponents saturate instead of overflowing
    EXPECT_EQ(convert(s.L, "0b1p99999999999999").n, HUGE_VAL);
    EXPECT_EQ(convert(s.L, "0b1p-99999999999999").n, 0.0);
}

TEST(lang_numerals, rejected_texts_and_other_bases) {
    state s;
    for (const char* bad : {"0b", "0b2", "0b1f", "0b1e1", "1b", "0b1p", "0b1p+", "0b1.1.1", "0b.", "b1",
                            "0bp1", "0b1 1", "0x1bp", "inf", "nan"})
        EXPECT_FALSE(convert(s.L, bad).ok) << bad;
    converted hex = convert(s.L, "0x1b");
    EXPECT_TRUE(hex.integer);
    EXPECT_EQ(hex.i, 27);
    converted hexf = convert(s.L, "0x1p4");
    EXPECT_FALSE(hexf.integer);
    EXPECT_EQ(hexf.n, 16.0);
    EXPECT_EQ(convert(s.L, "1e2").n, 100.0);
    EXPECT_EQ(convert(s.L, "0.5").n, 0.5);
}

TEST(lang_numerals, source_coercion_and_tonumber) {
    state s;
    ASSERT_EQ(s.run(R"(return 0b101 + 0B11, "0b11" + 1, tonumber("0b1.1"), tonumber("0b102"), 0b1 << 4)", 5),
              "");
    EXPECT_EQ(lua_tointeger(s.L, 1), 8);
    EXPECT_EQ(lua_tointeger(s.L, 2), 4);
    EXPECT_EQ(lua_tonumber(s.L, 3), 1.5);
    EXPECT_TRUE(lua_isnil(s.L, 4));
    EXPECT_EQ(lua_tointeger(s.L, 5), 16);
    lua_settop(s.L, 0);
    EXPECT_NE(s.run("return 0b12"), "");  // malformed number
}

TEST(lang_tonum, conversions_and_no_value_cases) {
    state s;
    ASSERT_EQ(s.run(R"(
        local function n(...) return select("#", ...) end
        return tonum(true), tonum(false), tonum(3.5), tonum("0x10"), tonum("0b11"), tonum(" 12 "),
               n(tonum("12a")), n(tonum({})), n(tonum(nil)), n(tonum()), n(tonum("12\0x")),
               tonum("10", 2), tonumber("10", 2), math.type(tonum(7)), math.type(tonum("7.0")))",
                    15),
              "");
    EXPECT_EQ(lua_tointeger(s.L, 1), 1);
    EXPECT_TRUE(lua_isinteger(s.L, 1));
    EXPECT_EQ(lua_tointeger(s.L, 2), 0);
    EXPECT_EQ(lua_tonumber(s.L, 3), 3.5);
    EXPECT_EQ(lua_tointeger(s.L, 4), 16);
    EXPECT_EQ(lua_tointeger(s.L, 5), 3);
    EXPECT_EQ(lua_tointeger(s.L, 6), 12);
    for (int i = 7; i <= 11; i++) EXPECT_EQ(lua_tointeger(s.L, i), 0) << i;
    EXPECT_EQ(lua_tointeger(s.L, 12), 10);
    EXPECT_EQ(lua_tointeger(s.L, 13), 2);
    EXPECT_STREQ(lua_tostring(s.L, 14), "integer");
    EXPECT_STREQ(lua_tostring(s.L, 15), "float");
}

TEST(lang_stdlib, libraries_present_and_absent) {
    state s;
    ASSERT_EQ(s.run(R"(
        local absent = {"dofile", "loadfile", "load", "xpcall", "require", "io", "os", "package"}
        for _, name in ipairs(absent) do
            if _G[name] ~= nil then return "present: " .. name end
        end
        if debug.setcstacklimit ~= nil then return "present: debug.setcstacklimit" end
        local present = {"coroutine", "table", "string", "math", "utf8", "debug", "tonum", "pcall",
                         "print", "warn", "rawlen", "select", "collectgarbage"}
        for _, name in ipairs(present) do
            if _G[name] == nil then return "absent: " .. name end
        end
        local n = 0 for _ in pairs(debug) do n = n + 1 end
        if n ~= 16 then return "debug has " .. n end
        if not pcall(function() return 1 end) then return "pcall" end
        return _VERSION)",
                    1),
              "");
    EXPECT_STREQ(lua_tostring(s.L, -1), "Lua 5.4");
}

// The host's standard input is no console of the machine's: debug.debug
// neither runs what waits there nor waits for more, which would hold the frame.
TEST(lang_stdlib, debug_prompt_reads_no_host_input) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const char typed[] = "typed = true\ncont\n";
    ASSERT_EQ(write(fds[1], typed, sizeof typed - 1), (ssize_t)(sizeof typed - 1));
    close(fds[1]);
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    state s;
    std::string r = s.run("debug.debug() return tostring(typed)", 1);
    char left[64];
    ssize_t unread = read(0, left, sizeof left);
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    ASSERT_EQ(r, "");
    EXPECT_STREQ(lua_tostring(s.L, -1), "nil");
    EXPECT_EQ(unread, (ssize_t)(sizeof typed - 1));
}

TEST(lang_stdlib, load_takes_text_only) {
    state s;
    lua_register(s.L, "load", luaB_load);
    ASSERT_EQ(s.run(R"(
        local f, err = load(string.dump(function() return 1 end))
        local g = load("return 2 + ...", "chunk", "b")    -- the mode is ignored
        local env = {x = 5}
        local h = load("return x", "=h", "t", env)
        local parts = {"return ", "4", "0"}
        local i = 0
        local r = load(function() i = i + 1 return parts[i] end)
        local bad, berr = load("return +")
        return f, err, g(3), h(), r(), bad, berr)",
                    7),
              "");
    EXPECT_TRUE(lua_isnil(s.L, 1));
    EXPECT_STREQ(lua_tostring(s.L, 2), "attempt to load a binary chunk (mode is 't')");
    EXPECT_EQ(lua_tointeger(s.L, 3), 5);
    EXPECT_EQ(lua_tointeger(s.L, 4), 5);
    EXPECT_EQ(lua_tointeger(s.L, 5), 40);
    EXPECT_TRUE(lua_isnil(s.L, 6));
    EXPECT_NE(std::string(lua_tostring(s.L, 7)).find("unexpected symbol"), std::string::npos);
}

TEST(lang_stdlib, checktab_accepts_tables_and_table_likes) {
    state s;
    lua_register(s.L, "needs_rw", [](lua_State* L) {
        checktab(L, 1, CHECKTAB_R | CHECKTAB_W);
        return 0;
    });
    EXPECT_EQ(s.run("needs_rw({})"), "");
    EXPECT_EQ(s.run("needs_rw(setmetatable({}, {__index = {}, __newindex = {}}))"), "");
    EXPECT_NE(s.run("needs_rw(io_missing)").find("table expected, got nil"), std::string::npos);
    EXPECT_NE(s.run("local u = debug.getregistry() needs_rw(42)").find("table expected, got number"),
              std::string::npos);
}

namespace {

// Cycles charged by one call of a table-library function on a fresh
// 10-element table; the call is made from C so no instruction is charged.
int32_t table_charge(state& s, const char* fn, const std::string& args) {
    std::string code = "local t = {} for i = 1, 10 do t[i] = i end return table." + std::string(fn) +
                       ", t" + (args.empty() ? "" : ", " + args);
    EXPECT_EQ(s.run(code, LUA_MULTRET), "");
    const int nargs = lua_gettop(s.L) - 1;
    cycle_scope c(0, UNLIMITED);
    EXPECT_EQ(lua_pcall(s.L, nargs, LUA_MULTRET, 0), LUA_OK) << fn << " " << args;
    lua_settop(s.L, 0);
    return cpu_cycles;
}

int32_t call_charge(state& s, const std::string& fn_and_args) {
    EXPECT_EQ(s.run("return " + fn_and_args, LUA_MULTRET), "");
    const int nargs = lua_gettop(s.L) - 1;
    cycle_scope c(0, UNLIMITED);
    EXPECT_EQ(lua_pcall(s.L, nargs, LUA_MULTRET, 0), LUA_OK);
    lua_settop(s.L, 0);
    return cpu_cycles;
}

}  // namespace

TEST(lang_stdlib, table_functions_charge_for_the_elements_they_move) {
    state s;
    EXPECT_EQ(table_charge(s, "insert", "1, 'x'"), 10);
    EXPECT_EQ(table_charge(s, "insert", "11, 'x'"), 1);
    EXPECT_EQ(table_charge(s, "insert", "5, 'x'"), 6);
    EXPECT_EQ(table_charge(s, "insert", "'x'"), 0);
    EXPECT_EQ(table_charge(s, "remove", "1"), 9);
    EXPECT_EQ(table_charge(s, "remove", ""), 1);
    EXPECT_EQ(table_charge(s, "remove", "11"), 0);
    EXPECT_EQ(table_charge(s, "unpack", ""), 20);
    EXPECT_EQ(table_charge(s, "unpack", "3, 2"), 0);
    EXPECT_EQ(call_charge(s, "table.pack"), 1);
    EXPECT_EQ(call_charge(s, "table.pack, 1, 2, 3"), 6);
    EXPECT_EQ(call_charge(s, "table.unpack, {1, 2, 3}"), 6);
    EXPECT_EQ(call_charge(s, "table.unpack, {}, 1, 0"), 0);
    EXPECT_EQ(call_charge(s, "table.remove, {}"), 1);
}

TEST(lang_stdlib, table_charges_survive_any_length_from_len) {
    state s;
    // __len can claim any length; the charge arithmetic must not overflow
    ASSERT_EQ(s.run(R"(
        local function fake(n) return setmetatable({}, {__len = function() return n end}) end
        table.insert(fake(math.maxinteger), 1, "x")
        pcall(table.insert, fake(math.mininteger), 1, "x")
        table.remove(fake(-5), math.maxinteger)
        table.remove(fake(math.mininteger))
        return true)",
                    1),
              "");
    EXPECT_TRUE(lua_toboolean(s.L, -1));
}

TEST(lang_stdlib, unpack_of_a_userdata_starts_at_zero) {
    state s;
    lua_newuserdatauv(s.L, 4, 0);
    lua_setglobal(s.L, "ud");
    ASSERT_EQ(s.run(R"(
        debug.setmetatable(ud, {__index = function(_, k) return k * 10 end, __len = function() return 2 end})
        local t = {[0] = "zero", "one", "two"}
        local a, b, c = table.unpack(ud)
        local x, y = table.unpack(t)
        return select("#", table.unpack(ud)), a, b, c, x, y)",
                    6),
              "");
    EXPECT_EQ(lua_tointeger(s.L, 1), 3);
    EXPECT_EQ(lua_tointeger(s.L, 2), 0);
    EXPECT_EQ(lua_tointeger(s.L, 3), 10);
    EXPECT_EQ(lua_tointeger(s.L, 4), 20);
    EXPECT_STREQ(lua_tostring(s.L, 5), "one");  // tables still start at 1
    EXPECT_STREQ(lua_tostring(s.L, 6), "two");
}

TEST(lang_stdlib, stack_ceiling_is_one_hundred_thousand_slots) {
    state s;
    EXPECT_TRUE(lua_checkstack(s.L, 90000));
    EXPECT_FALSE(lua_checkstack(s.L, 100001));
    EXPECT_NE(s.run("return table.unpack({}, 1, 200000)").find("too many results to unpack"), std::string::npos);
}
