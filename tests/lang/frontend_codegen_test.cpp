// Code the front end generates for the dialect: the peek operators (never
// folded, with their binding), constant folding of the alternative
// spellings, compound assignment's single evaluation of its target and
// its hidden locals, and the checks it shares with plain assignment.
#include "tests/lang/frontend_test_util.h"

#include <vector>

#include "lfunc.h"

using fetest::printing_state;
using langtest::count_opcode;
using langtest::proto_at;

namespace {

// The opcodes of the main function of code, in order.
std::vector<OpCode> opcodes_of(const std::string& code) {
    langtest::state s;
    s.load(code);
    std::vector<OpCode> ops;
    const Proto* p = proto_at(s.L, -1);
    for (int i = 0; i < p->sizecode; i++) ops.push_back(GET_OPCODE(p->code[i]));
    return ops;
}

bool loads_integer(const std::string& code, lua_Integer v) {
    langtest::state s;
    s.load(code);
    const Proto* p = proto_at(s.L, -1);
    for (int i = 0; i < p->sizecode; i++)
        if (GET_OPCODE(p->code[i]) == OP_LOADI && GETARG_sBx(p->code[i]) == v) return true;
    return false;
}

}  // namespace

TEST(frontend_codegen, peek_is_emitted_never_folded) {
    EXPECT_EQ(opcodes_of("return @1234"),
              (std::vector<OpCode>{OP_VARARGPREP, OP_LOADI, OP_PEEK, OP_RETURN, OP_RETURN}));
    EXPECT_EQ(opcodes_of("return %1, $2, *3"),
              (std::vector<OpCode>{OP_VARARGPREP, OP_LOADI, OP_PEEK2, OP_LOADI, OP_PEEK4, OP_LOADI,
                                   OP_PEEK8, OP_RETURN, OP_RETURN}));
    EXPECT_EQ(opcodes_of("local a = ... return -@a"),
              (std::vector<OpCode>{OP_VARARGPREP, OP_VARARG, OP_PEEK, OP_UNM, OP_RETURN, OP_RETURN}));
    // unary minus and length still work after the renumbering
    EXPECT_EQ(count_opcode(([] {
                  static langtest::state s;
                  s.load("local a = ... return #a, -a, ~a, not a");
                  return proto_at(s.L, -1);
              })(), OP_LEN), 1);
    EXPECT_TRUE(loads_integer("return -5", -5));
    EXPECT_EQ(count_opcode(([] {
                  static langtest::state s;
                  s.load("return -5");
                  return proto_at(s.L, -1);
              })(), OP_UNM), 0);
}

TEST(frontend_codegen, folding_of_the_alternative_spellings) {
    EXPECT_TRUE(loads_integer("return 7 \\ 2", 3));
    EXPECT_EQ(opcodes_of("return 7 \\ 2"), opcodes_of("return 7 // 2"));
    EXPECT_TRUE(loads_integer("return 5 ^^ 3", 6));
    EXPECT_TRUE(loads_integer("return ^^0", -1));
    // division by zero is left to run time, where it gives a fixed value
    for (const char* code : {"return 7 \\ 0", "return 7 // 0", "return 7 % 0"}) {
        langtest::state s;
        s.load(code);
        const Proto* p = proto_at(s.L, -1);
        EXPECT_EQ(count_opcode(p, OP_IDIVK) + count_opcode(p, OP_MODK) + count_opcode(p, OP_IDIV) +
                      count_opcode(p, OP_MOD),
                  1)
            << code;
    }
    printing_state s;
    EXPECT_EQ(s.output_of("?7 \\ 0 == math.maxinteger, -7 \\ 0 == -math.maxinteger, 7 % 0"),
              "true\ttrue\t0\n");
}

TEST(frontend_codegen, peeks_read_memory_with_unary_binding) {
    langtest::flat_memory mem;
    mem.bytes[0x5000] = 0xFE;
    mem.bytes[0x5001] = 0xFF;
    mem.bytes[0x5002] = 0xFF;
    mem.bytes[0x5003] = 0xFF;
    for (int i = 0; i < 8; i++) mem.bytes[0x5008 + i] = i == 0 ? 3 : 0;
    mem.bytes[0x10] = 0x00;
    mem.bytes[0x11] = 0x50;  // 0x5000 as a 16-bit value at 0x10
    mem.bytes[0x20] = 0x10;  // @0x20 is 0x10
    mem.bytes[4] = 7;
    printing_state s;
    EXPECT_EQ(s.output_of("?@0x5000 + 1, -@0x5000, @0x5000 * 2"), "255\t-254\t508\n");
    EXPECT_EQ(s.output_of("?%0x5000, $0x5000, *0x5008"), "-2\t-2\t3\n");
    EXPECT_EQ(s.output_of("local p = 0x5008 ?*p * 2, *p*2"), "6\t6\n");
    EXPECT_EQ(s.output_of("local a = 2 ?@a ^ 2, @4"), "7\t7\n");          // @(a^2)
    EXPECT_EQ(s.output_of("local a = 0x20 ?@@a, @@0x20 + 1"), "0\t1\n");  // @(@a)
    EXPECT_EQ(s.output_of("?%@0x20, @%0x10"), "20480\t254\n");
    EXPECT_EQ(s.output_of("local b = 3 local x = 10 %b ?x, #'ab' * 2"), "1\t4\n");  // remainders
    // a value read is a value: 0 is true as a condition
    EXPECT_EQ(s.output_of("if @0x5000 then print('a') end if not @0x6000 then print('never') end"), "a\n");
    EXPECT_EQ(s.output_of("if @0x5000 == 254 then print('set') end"), "set\n");
    EXPECT_EQ(s.output_of("local t = {} t.v = 0x5000 t.v += @0x5000 ?t.v"), "20734\n");
    EXPECT_EQ(s.output_of("?@'x'"), "error: t:1: attempt to perform arithmetic on a string value (constant 'x')");
}

// t[k] op= v reads t and k once: the table and key come from calls that
// count themselves, the table is a proxy counting __index and __newindex.
TEST(frontend_codegen, compound_evaluates_target_once) {
    printing_state s;
    EXPECT_EQ(s.output_of(R"(
local store, reads, writes, tcalls, kcalls = {k = 1}, 0, 0, 0, 0
local proxy = setmetatable({}, {
  __index = function(_, k) reads += 1 return store[k] end,
  __newindex = function(_, k, v) writes += 1 store[k] = v end})
local function T() tcalls += 1 return proxy end
local function K() kcalls += 1 return 'k' end
T()[K()] += 10
T()[K()] ..= '!'
?store.k, reads, writes, tcalls, kcalls
local o = {pos = {x = 1}}
local function O() tcalls += 1 return o end
O().pos.x -= 0.5
?o.pos.x, tcalls
)"),
              "11!\t2\t2\t2\t2\n0.5\t3\n");
}

// Hidden locals end with their statement: many computed targets in one
// block compile, and none is visible once its statement is done.
TEST(frontend_codegen, compound_hidden_locals_are_scoped_to_the_statement) {
    std::string code = "local p = {vel = {x = 0}, t = {0}} local dx, i = 1, 1\n";
    for (int n = 0; n < 250; n++) code += "p.vel.x += dx p.t[i] += 1\n";
    code += "?p.vel.x, p.t[1]\n";
    printing_state s;
    EXPECT_EQ(s.output_of(code), "250\t250\n");
    // each statement declared one hidden local, whose range ends with it:
    // before the final return only p, dx and i are active
    s.load(code);
    const Proto* p = proto_at(s.L, -1);
    int hidden = 0;
    for (int k = 0; k < p->sizelocvars; k++) {
        if (std::string(getstr(p->locvars[k].varname)) != "(for compound)") continue;
        hidden++;
        EXPECT_LE(p->locvars[k].endpc - p->locvars[k].startpc, 4);
    }
    EXPECT_EQ(hidden, 500);
    std::vector<std::string> active;
    for (int n = 1; const char* name = luaF_getlocalname(p, n, p->sizecode - 1); n++) active.push_back(name);
    EXPECT_EQ(active, (std::vector<std::string>{"p", "dx", "i"}));
    // a plain local per line still hits the limit, as in stock Lua
    std::string many;
    for (int n = 0; n < 201; n++) many += "local v" + std::to_string(n) + " = 1\n";
    EXPECT_NE(s.compile_error(many).find("too many local variables"), std::string::npos);
}

TEST(frontend_codegen, compound_targets_checked_like_assignment) {
    printing_state s;
    // a non-constant <const> and a <close> slot are refused, not overwritten
    EXPECT_EQ(s.compile_error("local k <const> = os_time and 1 or 2 k += 1"),
              "t:1: attempt to assign to const variable 'k'");
    EXPECT_EQ(s.compile_error("local f <close> = nil local function g() f ..= '' end"),
              "t:1: attempt to assign to const variable 'f'");
    EXPECT_EQ(s.compile_error("local x = 1 (x) += 1"), "t:1: syntax error near +=");
    EXPECT_EQ(s.compile_error("local x = 1 x() ^^= 1"), "t:1: syntax error near ^^=");
    // plain locals, upvalues and globals are fine
    EXPECT_EQ(s.output_of("local x = 1 local function f() x <<= 3 end f() g = 2 g >>= 1 ?x, g"), "8\t1\n");
}
