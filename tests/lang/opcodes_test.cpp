// The dialect's instruction set: opcode numbering and modes, the peek
// opcodes with their operand rules and error texts, undefined opcodes, and
// division by zero without errors.
#include "tests/lang/lang_test_util.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

using namespace langtest;

namespace {

// Compiles code that negates exactly once, turns that OP_UNM into op, and
// leaves the function on the stack. The code generator for the peek
// operators is built elsewhere; the interpreter is tested on its own here.
void load_with_unm_as(state& s, const std::string& code, OpCode op) {
    s.load(code);
    Proto* p = proto_at(s.L, -1);
    ASSERT_EQ(count_opcode(p, OP_UNM), 1);
    for (int i = 0; i < p->sizecode; i++)
        if (GET_OPCODE(p->code[i]) == OP_UNM) SET_OPCODE(p->code[i], op);
}

// Calls the function on the stack with one argument pushed by push; returns
// the error text, or "" with the result left on the stack.
template <typename Push>
std::string call1(state& s, Push push) {
    push(s.L);
    if (lua_pcall(s.L, 1, 1, 0) == LUA_OK) return "";
    std::string err = lua_tostring(s.L, -1);
    lua_pop(s.L, 1);
    return err;
}

lua_Integer peek_value(state& s, OpCode op, lua_Number addr_float, lua_Integer addr, bool as_float) {
    load_with_unm_as(s, "local x = ... return -x", op);
    std::string err = call1(s, [&](lua_State* L) {
        if (as_float)
            lua_pushnumber(L, addr_float);
        else
            lua_pushinteger(L, addr);
    });
    EXPECT_EQ(err, "");
    EXPECT_TRUE(lua_isinteger(s.L, -1));
    lua_Integer v = lua_tointeger(s.L, -1);
    lua_pop(s.L, 1);
    return v;
}

}  // namespace

TEST(lang_opcodes, numbering_and_modes) {
    EXPECT_EQ(NUM_OPCODES, LANG_NUM_OPCODES);
    EXPECT_EQ(OP_NOT, 51);
    EXPECT_EQ(OP_PEEK, LANG_OP_PEEK);
    EXPECT_EQ(OP_PEEK8, 55);
    EXPECT_EQ(OP_LEN, 56);
    EXPECT_EQ(OP_CALL, 72);
    EXPECT_EQ(OP_EXTRAARG, 86);
    for (int op = OP_PEEK; op <= OP_PEEK8; op++) EXPECT_EQ(luaP_opmodes[op], 0x08) << op;
    EXPECT_EQ(luaP_opmodes[OP_LEN], luaP_opmodes[OP_NOT]);
    EXPECT_TRUE(testITMode(OP_CALL));
    EXPECT_TRUE(testMMMode(OP_MMBIN));
}

TEST(lang_opcodes, undefined_opcodes_do_nothing) {
    state s;
    s.load("local x = 1 x = 2 return x");
    Proto* p = proto_at(s.L, -1);
    int changed = 0;
    for (int i = 0; i < p->sizecode; i++)
        if (GET_OPCODE(p->code[i]) == OP_LOADI && GETARG_sBx(p->code[i]) == 2) {
            SET_OPCODE(p->code[i], 127);
            changed++;
        }
    ASSERT_EQ(changed, 1);
    ASSERT_EQ(lua_pcall(s.L, 0, 1, 0), LUA_OK);
    EXPECT_EQ(lua_tointeger(s.L, -1), 1);
}

TEST(lang_peek, reads_bytes_and_sign_extended_words) {
    flat_memory mem;
    state s;
    mem.bytes[0x10000] = 0xAB;
    mem.bytes[0x20000] = 0xFF;
    mem.bytes[0x20001] = 0xFF;
    const uint8_t w[4] = {0x00, 0x00, 0x00, 0x80};
    std::memcpy(&mem.bytes[0x30000], w, 4);
    const uint8_t q[8] = {1, 2, 3, 4, 5, 6, 7, 0xF8};
    std::memcpy(&mem.bytes[0x40000], q, 8);

    EXPECT_EQ(peek_value(s, OP_PEEK, 0, 0x10000, false), 0xAB);
    // only the low 32 bits are the address
    EXPECT_EQ(peek_value(s, OP_PEEK, 0, 0x10000 + (1LL << 32), false), 0xAB);
    EXPECT_EQ(flat_memory::last_addr, 0x10000u);
    EXPECT_EQ(peek_value(s, OP_PEEK, 0, -1, false), 0);
    EXPECT_EQ(flat_memory::last_addr, 0xFFFFFFFFu);
    // an integral float is taken as its integer
    EXPECT_EQ(peek_value(s, OP_PEEK, 65536.0, 0, true), 0xAB);
    EXPECT_EQ(peek_value(s, OP_PEEK2, 0, 0x20000, false), -1);
    EXPECT_EQ(peek_value(s, OP_PEEK4, 0, 0x30000, false), -2147483648LL);
    EXPECT_EQ(peek_value(s, OP_PEEK8, 0, 0x40000, false), (lua_Integer)0xF807060504030201ULL);
    EXPECT_EQ(peek_value(s, OP_PEEK, 0, 0x20000, false), 0xFF);  // a byte is never negative
}

TEST(lang_peek, non_integer_operands_raise_the_arithmetic_type_error) {
    flat_memory mem;
    state s;
    load_with_unm_as(s, "local x = ... return -x", OP_PEEK);
    EXPECT_EQ(call1(s, [](lua_State* L) { lua_pushnumber(L, 1.5); }),
              "t:1: attempt to perform arithmetic on a number value (local 'x')");
    load_with_unm_as(s, "local x = ... return -x", OP_PEEK2);
    EXPECT_EQ(call1(s, [](lua_State* L) { lua_pushliteral(L, "16"); }),
              "t:1: attempt to perform arithmetic on a string value (local 'x')");
    load_with_unm_as(s, "local x = ... return -x", OP_PEEK8);
    EXPECT_EQ(call1(s, [](lua_State* L) { lua_pushnumber(L, 0x1p63); }),
              "t:1: attempt to perform arithmetic on a number value (local 'x')");
    load_with_unm_as(s, "return -p", OP_PEEK4);
    EXPECT_EQ(call1(s, [](lua_State* L) { lua_pushnil(L); }),
              "t:1: attempt to perform arithmetic on a nil value (global 'p')");
    // no metamethod is consulted
    load_with_unm_as(s, "local x = ... return -x", OP_PEEK);
    EXPECT_EQ(call1(s,
                    [](lua_State* L) {
                        lua_newtable(L);
                        luaL_dostring(L, "return {__unm = function() return 1 end}");
                        lua_setmetatable(L, -2);
                    }),
              "t:1: attempt to perform arithmetic on a table value (local 'x')");
}

TEST(lang_peek, charged_two_cycles_even_when_failing) {
    flat_memory mem;
    state s;
    load_with_unm_as(s, "local x = ... return -x", OP_PEEK);
    cycle_scope c(0, UNLIMITED);
    lua_pushinteger(s.L, 5);
    ASSERT_EQ(lua_pcall(s.L, 1, 1, 0), LUA_OK);
    const int32_t ok_cost = cpu_cycles;
    lua_pop(s.L, 1);
    load_with_unm_as(s, "local x = ... return -x", OP_UNM);
    cpu_cycles = 0;
    lua_pushinteger(s.L, 5);
    ASSERT_EQ(lua_pcall(s.L, 1, 1, 0), LUA_OK);
    EXPECT_EQ(ok_cost - cpu_cycles, 1);  // PEEK costs 2, UNM 1
}

TEST(lang_peek, reads_nothing_without_a_memory_bridge) {
    state s;
    EXPECT_EQ(peek_value(s, OP_PEEK8, 0, 0x1234, false), 0);
}

TEST(lang_division, by_zero_gives_fixed_results_everywhere) {
    state s;
    // constants (IDIVK/MODK/DIVK), registers (IDIV/MOD/DIV), and the API
    ASSERT_EQ(s.run(R"(
        local z, zf, nz = 0, 0.0, -0.0
        local seven, mseven = 7, -7
        return 7 // 0, -7 // 0, 0 // 0, seven // z, mseven // z,
               7 % 0, -7 % 0, seven % z, mseven % z,
               7 / 0, 0 / 0, -7 / 0, seven / zf, mseven / nz, 7.0 // 0.0, -7.0 // zf,
               math.mininteger // -1, math.mininteger % -1, "7" // "0", "-7" / "0")",
                    20),
              "");
    const lua_Integer imax = LUA_MAXINTEGER;
    const lua_Integer expect_int[] = {imax, -imax, imax, imax, -imax, 0, 0, 0, 0};
    for (int i = 0; i < 9; i++) {
        EXPECT_TRUE(lua_isinteger(s.L, i + 1)) << i;
        EXPECT_EQ(lua_tointeger(s.L, i + 1), expect_int[i]) << i;
    }
    const double expect_float[] = {DBL_MAX, DBL_MAX, -DBL_MAX, DBL_MAX, -DBL_MAX, DBL_MAX, -DBL_MAX};
    for (int i = 0; i < 7; i++) {
        EXPECT_FALSE(lua_isinteger(s.L, i + 10)) << i;
        EXPECT_EQ(lua_tonumber(s.L, i + 10), expect_float[i]) << i;
    }
    EXPECT_EQ(lua_tointeger(s.L, 17), LUA_MININTEGER);  // wraps
    EXPECT_EQ(lua_tointeger(s.L, 18), 0);
    EXPECT_EQ(lua_tointeger(s.L, 19), imax);      // string coercion
    EXPECT_EQ(lua_tonumber(s.L, 20), -DBL_MAX);
    lua_settop(s.L, 0);

    lua_pushinteger(s.L, -3);
    lua_pushinteger(s.L, 0);
    lua_arith(s.L, LUA_OPIDIV);
    EXPECT_EQ(lua_tointeger(s.L, -1), -imax);
    lua_pushnumber(s.L, std::nan(""));
    lua_pushnumber(s.L, 0.0);
    lua_arith(s.L, LUA_OPDIV);
    EXPECT_EQ(lua_tonumber(s.L, -1), DBL_MAX);  // a NaN dividend counts as positive
    lua_settop(s.L, 0);
}

TEST(lang_division, division_by_zero_is_not_folded) {
    state s;
    s.load("return 7 // 0, 7 % 0, 7 / 0");
    const Proto* p = proto_at(s.L, -1);
    EXPECT_EQ(count_opcode(p, OP_IDIVK), 1);
    EXPECT_EQ(count_opcode(p, OP_MODK), 1);
    EXPECT_EQ(count_opcode(p, OP_DIVK), 1);
    lua_pop(s.L, 1);
}
