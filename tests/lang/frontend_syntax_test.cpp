// The dialect's syntax additions, each with the exact output of a small
// program, and every must-fail form with its exact error text.
#include "tests/lang/frontend_test_util.h"

#include <vector>

using fetest::printing_state;

namespace {

struct program_case {
    const char* what;
    const char* code;
    const char* output;
};

const program_case programs[] = {
    // operators
    {"not-equal", "?1 != 2, 1 != 1, 'a' != 'a'", "true\tfalse\tfalse\n"},
    {"backslash integer division", "?7 \\ 2, -7 \\ 2, 7.5 \\ 2", "3\t-4\t3.0\n"},
    {"exclusive or via ^^", "local a, b = 5, 3 ?a ^^ b, 5 ^^ 3", "6\t6\n"},
    {"bitwise not via ^^", "local z = 0 ?^^0, ^^z, ^^^^z", "-1\t-1\t0\n"},
    {"^^ binds like ~", "?1 | 6 ^^ 3 & 2, (1 | 6) ^^ 3", "5\t4\n"},
    {"power still '^'", "?2^3, 2 ^ -1", "8.0\t0.5\n"},
    // compound assignment
    {"+=", "local a = 1 a += 2 ?a", "3\n"},
    {"-=", "a = 5 a -= 2 ?a", "3\n"},
    {"*= takes the whole right side", "local a = 2 a *= 3 + 1 ?a", "8\n"},
    {"/=", "local a = 7 a /= 2 ?a", "3.5\n"},
    {"%=", "local a = 7 a %= 3 ?a", "1\n"},
    {"^=", "local a = 2 a ^= 3 ?a", "8.0\n"},
    {"\\=", "local a = 7 a \\= 2 ?a", "3\n"},
    {"&=", "local a = 6 a &= 3 ?a", "2\n"},
    {"|=", "local a = 4 a |= 1 ?a", "5\n"},
    {"^^=", "local a = 5 a ^^= 1 ?a", "4\n"},
    {"<<=", "local a = 1 a <<= 4 ?a", "16\n"},
    {">>=", "local a = 16 a >>= 2 ?a", ">>=" /* replaced below */},
    {"..=", "local s = 'a' s ..= 'b' s ..= 1 ?s", "ab1\n"},
    {"compound on a global", "g = 10 g -= 1 g *= 2 ?g", "18\n"},
    {"compound on fields", "local t = {n = {k = 1}} t.n.k += 41 t.n['k'] -= 2 ?t.n.k", "40\n"},
    {"compound on an index", "local t, i = {10, 20}, 2 t[i] += 1 t[i - 1] *= t[i] ?t[1], t[2]", "210\t21\n"},
    {"compound on an upvalue", "local n = 1 local function f() n += 1 end f() f() ?n", "3\n"},
    {"compound right side sees the old value",
     "local t = {x = 1} t.x += t.x * 10 ?t.x", "11\n"},
    {"compound concatenation chains", "local s = 'x' s ..= s .. s ?s", "xxx\n"},
    // print shorthand
    {"? with values", "local x, y = 1, 'two' ?x, y", "1\ttwo\n"},
    {"? with nothing", "?", "\n"},
    {"? passes every result of a call", "local function f() return 1, 2, 3 end ?f()", "1\t2\t3\n"},
    {"? passes every vararg", "local function f(...) ?...\nend f('a', nil, 'c')", "a\tnil\tc\n"},
    {"? as an expression is print's result", "local v = ?'x'\n?v", "x\nnil\n"},
    {"? at the end of the chunk", "?'last'", "last\n"},
    {"? honours a local print",
     "local out = print local function print(...) out('local', ...) end ?1", "local\t1\n"},
    {"? honours a changed global print", "local o = print print = function(x) o('g', x) end ?5", "g\t5\n"},
    {"? ends at its line", "?1\n?2", "1\n2\n"},
    {"two ? on one line", "? ?1\n?2", "1\nnil\n2\n"},
    {"? then a comment", "?1 -- note\n?2", "1\n2\n"},
    {"? with a long string spanning lines", "?[[a\nb]]\n?2", "a\nb\n2\n"},
    {"? with a long comment spanning lines", "?1 --[[ x\n y ]]\n?2", "1\n2\n"},
    {"? with a CR LF line break", "?1\r\n?2\r\n?3", "1\n2\n3\n"},
    {"? inside a block", "for i = 1, 2 do ?i\nend", "1\n2\n"},
    // single-line if
    {"if (c) runs when c holds", "local a = true if (a) ?'yes'\n?'next'", "yes\nnext\n"},
    {"if (c) skips when c fails", "local a = false if (a) ?'yes'\n?'next'", "next\n"},
    {"if (c) with more statements, all conditional",
     "local a, x, y = false, 0, 0\nif (a) x = 1 y = 2\n?x, y", "0\t0\n"},
    {"if (c) with more statements when c holds",
     "local a, x, y = true, 0, 0\nif (a) x = 1; y = 2\n?x, y", "1\t2\n"},
    {"if (c) ... else ...", "local a = false if (a) print('a') else print('b')\n?'end'", "b\nend\n"},
    {"if (c) ... else ... when c holds", "local a = 1 if (a) print('a') else print('b')", "a\n"},
    {"nested single-line if", "for i = 1, 3 do if (i > 1) if (i < 3) ?i\nend", "2\n"},
    {"single-line if closes before end", "for i = 1, 2 do if (i == 2) print('two') end ?'done'", "two\ndone\n"},
    {"condition goes on after the parentheses",
     "local a, n = 3, 1 if (a) + 1 > n ?'big'\n?'x'", "big\nx\n"},
    {"if (c) with a comment keeps the next line unconditional",
     "local c = false if (c) ?'x' -- note\n?'y'", "y\n"},
    {"if (c) with trailing spaces and a comment",
     "local c = false\nif (c) print('x')  -- note  \nprint('y')", "y\n"},
    {"if (c) break", "local i = 0 while true do i += 1 if (i == 3) break\nend ?i", "3\n"},
    {"if (c) return", "local function f(x) if (x) return 'early'\nreturn 'late' end ?f(true), f(false)",
     "early\tlate\n"},
    {"if (c) at the end of the chunk", "if (true) print('eof')", "eof\n"},
    {"parenthesised ordinary if", "if (1 < 2) then print('then') end", "then\n"},
    {"ordinary if with then on the next line", "if (true)\nthen ?'t'\nend", "t\n"},
    {"ordinary if with a call in the condition", "if (type(1)) == 'number' then print('n') end", "n\n"},
    // single-line while
    {"while (c) loops", "local i = 0 while (i < 10) i += 1\n?i", "10\n"},
    {"while (c) with several statements", "local i, s = 0, 0 while (i < 4) i += 1 s += i\n?i, s", "4\t10\n"},
    {"while (c) with do on the next line", "local i = 0 while (i < 3)\ndo i += 1 end ?i", "3\n"},
    {"while (c) closes before end", "local n = 0 for k = 1, 2 do while (n < 5) n += 1 end ?n", "5\n"},
    {"while (c) inside a single-line if", "local i = 0 if (true) while (i < 3) i += 1\n?i", "3\n"},
    // escapes and numerals
    {"the six escapes", "local s = '\\*\\#\\-\\|\\+\\^' ?#s, s:byte(1, -1)", "6\t1\t2\t3\t4\t5\t6\n"},
    {"stock escapes unchanged", "?('\\65\\x42\\u{43}\\z   D')", "ABCD\n"},
    {"binary integers", "?0b1011, 0B11, 0b0", "11\t3\t0\n"},
    {"binary float in source", "?0b1.1, 0b.01", "1.5\t0.25\n"},
    {"binary exponent through strings", "?tonum('0b1p3'), tonumber('0b1p-1')", "8.0\t0.5\n"},
    // division by zero: not folded, no error
    {"integer division by zero", "?7 // 0, -7 // 0, 7 % 0, 7 \\ 0", "9223372036854775807\t-9223372036854775807\t0\t9223372036854775807\n"},
    {"integer division by zero at run time", "local z = 0 ?7 // z, 7 \\ z, -7 \\ z", "9223372036854775807\t9223372036854775807\t-9223372036854775807\n"},
    {"float division by zero", "?1 / 0 == 1.7976931348623157e308, -1 / 0 == -1.7976931348623157e308, 1 // 0.0", "true\ttrue\t1.7976931348623e+308\n"},
    {"compound division by zero", "local a = 7 a \\= 0 local b = 7 b %= 0 ?a, b", "9223372036854775807\t0\n"},
};

struct failure_case {
    const char* code;
    const char* error;
};

const failure_case failures[] = {
    {"a //= b", "t:1: syntax error near '//'"},
    {"x >>>= 1", "t:1: syntax error near '>>'"},
    {"x <<>= 1", "t:1: syntax error near '<<'"},
    {"x >><= 1", "t:1: syntax error near '>>'"},
    {"a ...= b", "t:1: syntax error near '...'"},
    {"a, b += 1", "t:1: '=' expected near +="},
    {"@a = 1", "t:1: unexpected symbol near '@'"},
    {"a $ b", "t:1: syntax error near '$'"},
    {"x = a $ b", "t:1: unexpected symbol near '$'"},
    {"!x", "t:1: unexpected symbol near '!'"},
    {"x = !y", "t:1: unexpected symbol near '!'"},
    {"x = += 1", "t:1: unexpected symbol near +="},
    {"if a b()", "t:1: 'then' expected near 'b'"},
    {"if (a) and (b) c()", "t:1: 'then' expected near 'c'"},
    {"if (a) x() elseif (b) y()", "t:1: 'then' expected near 'y'"},
    {"elseif (b) y()", "t:1: <eof> expected near 'elseif'"},
    {"if (a) b() end", "t:1: <eof> expected near 'end'"},
    {"if (a)\nb()", "t:2: 'then' expected near 'b'"},
    {"while (a)\nb()", "t:2: 'do' expected near 'b'"},
    {"while (a) and (b) c()", "t:1: 'do' expected near 'c'"},
    {"f(?x)", "t:1: <eol> expected near ')'"},
    {"?1 --[[ x\n y ]] ?2", "t:2: <eol> expected (to close '?' at line 1) near ?"},
    {"for i = 1, 2 do ?i end", "t:1: <eol> expected near 'end'"},
    {"?x y", "t:1: <eol> expected near 'y'"},
    {"?f(a,\nb)", "t:2: unexpected symbol near <eol>"},
    {"local v = (?1) + 2", "t:1: <eol> expected near ')'"},
    {"if (c) ?x y", "t:1: <eol> expected near 'y'"},
    {"if (c) x = 1 )", "t:1: unexpected symbol near ')'"},
    {"if (a) for i = 1, 2 do\nx = i\nend", "t:2: 'end' expected (to close 'for' at line 1) near <eol>"},
    {"if (a) f(function()\nend)", "t:2: 'end' expected (to close 'function' at line 1) near <eol>"},
    {"while (a) do_it({\n})", "t:2: unexpected symbol near <eol>"},
    {"x = 0b1p3", "t:1: malformed number near '0b1p'"},
    {"x = 0b12", "t:1: malformed number near '0b12'"},
    {"x = '\\q'", "t:1: invalid escape sequence near ''\\q'"},
    {"f() += 1", "t:1: syntax error near +="},
    {"(a) += 1", "t:1: syntax error near +="},
    {"local k <const> = 5; k += 1", "t:1: attempt to assign to const variable 'k'"},
    {"local k <const> = {} k.x = 1 k ..= 'x'", "t:1: attempt to assign to const variable 'k'"},
    {"local f <close> = nil; f ..= ''", "t:1: attempt to assign to const variable 'f'"},
    {"local u <const> = {} function g() u += 1 end", "t:1: attempt to assign to const variable 'u'"},
};

}  // namespace

TEST(frontend_syntax, programs_print_exactly) {
    for (const auto& c : programs) {
        printing_state s;
        std::string expected = c.output;
        if (expected == ">>=") expected = "4\n";
        EXPECT_EQ(s.output_of(c.code), expected) << c.what << ":\n" << c.code;
    }
}

TEST(frontend_syntax, must_fail_with_exact_text) {
    for (const auto& c : failures) {
        printing_state s;
        EXPECT_EQ(s.compile_error(c.code), c.error) << c.code;
    }
}

// The forms that only move tokens around compile to the same instructions
// as the operators they stand for.
TEST(frontend_syntax, alternative_spellings_compile_alike) {
    const std::pair<const char*, const char*> same[] = {
        {"local a, b = ... return a != b", "local a, b = ... return a ~= b"},
        {"local a, b = ... return a \\ b", "local a, b = ... return a // b"},
        {"local a, b = ... return a ^^ b", "local a, b = ... return a ~ b"},
        {"local a = ... return ^^a", "local a = ... return ~a"},
        {"return 1 != 2", "return 1 ~= 2"},
        {"return 7 \\ 2, 5 ^^ 3", "return 7 // 2, 5 ~ 3"},
        {"local a = ... if (a) a = 1\n", "local a = ... if (a) then a = 1 end"},
        {"local i = ... while (i) i = nil\n", "local i = ... while (i) do i = nil end"},
        {"local a = ... a += 1", "local a = ... a = a + 1"},
        {"local a = ... a ..= 'x'", "local a = ... a = a .. 'x'"},
        {"g <<= 2", "g = g << 2"},
    };
    for (const auto& [dialect, stock] : same) {
        langtest::state a, b;
        a.load(dialect);
        b.load(stock);
        const Proto* p = langtest::proto_at(a.L, -1);
        const Proto* q = langtest::proto_at(b.L, -1);
        ASSERT_EQ(p->sizecode, q->sizecode) << dialect;
        for (int i = 0; i < p->sizecode; i++) EXPECT_EQ(p->code[i], q->code[i]) << dialect << " @" << i;
    }
}
