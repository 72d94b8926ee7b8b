// The dialect's lexer driven token by token: the added tokens and how the
// greedy reads split, the end-of-line tokens owed to one-line constructs,
// line counting, and the parenthesis counter the parser reads.
#include "tests/lang/lang_test_util.h"

#include <cstring>
#include <string>
#include <vector>

#include "ldo.h"
#include "llex.h"
#include "lparser.h"
#include "lstring.h"
#include "ltable.h"
#include "lzio.h"

namespace {

struct token_seen {
    int token;
    int line;    // the lexer's line after reading it
    int braces;  // the counter after reading it
};

struct lex_job {
    std::string src;
    bool fed = false;
    bool track = true;   // act as the parser does after 'if'/'while'
    int arm_after = -1;  // raise pendingeol after the token with this index
    std::vector<token_seen> seen;
    std::string text;    // luaX_token2str of every token, space-separated
    Mbuffer buff;
};

const char* feed(lua_State*, void* ud, size_t* size) {
    auto* j = static_cast<lex_job*>(ud);
    if (j->fed) {
        *size = 0;
        return nullptr;
    }
    j->fed = true;
    *size = j->src.size();
    return j->src.data();
}

int lex_all(lua_State* L) {
    auto* j = static_cast<lex_job*>(lua_touserdata(L, 1));
    ZIO z;
    luaZ_init(L, &z, feed, j);
    Dyndata dyd;
    std::memset(&dyd, 0, sizeof dyd);
    LexState ls;
    ls.h = luaH_new(L);
    sethvalue2s(L, L->top, ls.h);
    luaD_inctop(L);
    ls.buff = &j->buff;
    ls.dyd = &dyd;
    luaX_setinput(L, &ls, &z, luaS_new(L, "=lex"), zgetc(&z));
    EXPECT_EQ(ls.pendingeol, 0);
    EXPECT_EQ(ls.braces, -1);
    int prev = 0;
    do {
        luaX_next(&ls);
        if (j->track && (prev == TK_IF || prev == TK_WHILE)) luaX_trackbraces(&ls);
        j->seen.push_back({ls.t.token, ls.linenumber, ls.braces});
        if (!j->text.empty()) j->text += ' ';
        if (ls.t.token == TK_NAME || ls.t.token == TK_STRING)
            j->text += getstr(ls.t.seminfo.ts);
        else if (ls.t.token == TK_INT)
            j->text += std::to_string(ls.t.seminfo.i);
        else if (ls.t.token == TK_FLT)
            j->text += std::to_string(ls.t.seminfo.r);
        else
            j->text += luaX_token2str(&ls, ls.t.token);
        if ((int)j->seen.size() - 1 == j->arm_after) ls.pendingeol++;
        prev = ls.t.token;
    } while (ls.t.token != TK_EOS);
    return 0;
}

// Runs the lexer over src; returns the error message or "".
std::string lex(lex_job& j) {
    langtest::state s;
    luaZ_initbuffer(s.L, &j.buff);
    lua_pushcfunction(s.L, lex_all);
    lua_pushlightuserdata(s.L, &j);
    std::string err;
    if (lua_pcall(s.L, 1, 0, 0) != LUA_OK) err = lua_tostring(s.L, -1);
    luaZ_freebuffer(s.L, &j.buff);
    return err;
}

std::string tokens(const std::string& src) {
    lex_job j;
    j.src = src;
    std::string err = lex(j);
    return err.empty() ? j.text : "error: " + err;
}

}  // namespace

TEST(frontend_lexer, added_tokens_and_greedy_splits) {
    const std::pair<const char*, const char*> cases[] = {
        {"a != b", "a != b <eof>"},
        {"a ~= b", "a '~=' b <eof>"},
        {"a ^^ b", "a '~' b <eof>"},
        {"^^a", "'~' a <eof>"},
        {"a ^^= b", "a ^^= b <eof>"},
        {"a ^= b ^ c", "a ^= b '^' c <eof>"},
        {"a //= b", "a '//' '=' b <eof>"},
        {"a /= b", "a /= b <eof>"},
        {"t ..= s", "t ..= s <eof>"},
        {"f(...=", "f '(' '...' '=' <eof>"},
        {"x >>>= 1", "x '>>' '>=' 1 <eof>"},
        {"x <<>= 1", "x '<<' '>=' 1 <eof>"},
        {"x >><= 1", "x '>>' '<=' 1 <eof>"},
        {"x <<= 1 >>= 2", "x <<= 1 >>= 2 <eof>"},
        {"+= -= *= %= &= |= \\=", "+= -= *= %= &= |= \\= <eof>"},
        {"a \\ b", "a '\\' b <eof>"},
        {"!x ! =", "'!' x '!' '=' <eof>"},
        {"@a $b %c *d #e `", "'@' a '$' b '%' c '*' d '#' e '`' <eof>"},
        {"a - -1 --= comment", "a '-' '-' 1 <eof>"},
        {"local x<const>=5", "'local' x '<' const '>=' 5 <eof>"},
        {"\"\\*\\#\\-\\|\\+\\^\"", "\x01\x02\x03\x04\x05\x06 <eof>"},
        {"x = 0b1.1", "x '=' 1.500000 <eof>"},
        {"x = 0b1011 + 0B11", "x '=' 11 '+' 3 <eof>"},
    };
    for (const auto& [src, want] : cases) EXPECT_EQ(tokens(src), want) << src;
    EXPECT_EQ(tokens("x = '\\q'"), "error: lex:1: invalid escape sequence near ''\\q'");
    EXPECT_EQ(tokens("x = 0b1p3"), "error: lex:1: malformed number near '0b1p'");
}

// "?" owes one "<eol>", delivered at the next line break however much space
// or comment stands before it; several owed at one break come out there
// together and the break counts once.
TEST(frontend_lexer, end_of_line_tokens) {
    const std::pair<const char*, const char*> cases[] = {
        {"?a\nb", "? a <eol> b <eof>"},
        {"? ?a\nb", "? ? a <eol> <eol> b <eof>"},
        {"? ?a   -- note\nb", "? ? a <eol> <eol> b <eof>"},
        {"?a\n\nb", "? a <eol> b <eof>"},
        {"?a", "? a <eof>"},
        {"? ?a", "? ? a <eof>"},
        {"?[[x\ny]] z\nb", "? x\ny z <eol> b <eof>"},
        {"?'x\\\ny' z\nb", "? x\ny z <eol> b <eof>"},
        {"?a --[[ long\ncomment ]] b\nc", "? a b <eol> c <eof>"},
        {"a\nb", "a b <eof>"},
    };
    for (const auto& [src, want] : cases) EXPECT_EQ(tokens(src), want) << src;

    // lines: two owed at a CR LF break; the second takes the break
    lex_job j;
    j.src = "? ?a -- c\r\nb\n\rc";
    ASSERT_EQ(lex(j), "");
    ASSERT_EQ(j.seen.size(), 8u);
    EXPECT_EQ(j.seen[3].token, TK_EOL);
    EXPECT_EQ(j.seen[3].line, 1);  // first one: the break is not consumed
    EXPECT_EQ(j.seen[4].token, TK_EOL);
    EXPECT_EQ(j.seen[4].line, 2);  // the last one consumes it, counted once
    EXPECT_EQ(j.seen[5].line, 2);  // b
    EXPECT_EQ(j.seen[6].line, 3);  // c after an LF CR pair
}

// The parser's own arming, for a one-line 'if': one owed by the parser and
// one by '?' come out at the same break.
TEST(frontend_lexer, parser_armed_eol) {
    lex_job j;
    j.src = "if (c) ?x  -- c\ny";
    j.arm_after = 4;  // once the token after the condition is read, as the parser does
    ASSERT_EQ(lex(j), "");
    std::vector<int> toks;
    for (auto& t : j.seen) toks.push_back(t.token);
    EXPECT_EQ(toks, (std::vector<int>{TK_IF, '(', TK_NAME, ')', TK_PRINT, TK_NAME, TK_EOL, TK_EOL,
                                      TK_NAME, TK_EOS}));
    EXPECT_EQ(j.seen[8].line, 2);
}

TEST(frontend_lexer, parenthesis_counter) {
    // (a) then a name: 0 when the name has been read
    lex_job a;
    a.src = "if (a) b";
    ASSERT_EQ(lex(a), "");
    EXPECT_EQ(a.seen[1].braces, 1);
    EXPECT_EQ(a.seen[3].braces, 0);
    EXPECT_EQ(a.seen[4].braces, 0);
    // nested parentheses inside the condition
    lex_job n;
    n.src = "while ((a)) b";
    ASSERT_EQ(lex(n), "");
    EXPECT_EQ(n.seen[2].braces, 2);
    EXPECT_EQ(n.seen[5].braces, 0);
    // (a) and (b): below 0 from the second pair on, never back to 0
    lex_job b;
    b.src = "if (a) and (b) c";
    ASSERT_EQ(lex(b), "");
    EXPECT_EQ(b.seen[3].braces, 0);
    EXPECT_EQ(b.seen[5].braces, -1);
    EXPECT_EQ(b.seen[7].braces, -2);
    EXPECT_EQ(b.seen[8].braces, -2);
    // a condition not starting with '(' never reaches 0
    lex_job c;
    c.src = "if a (b) c";
    ASSERT_EQ(lex(c), "");
    EXPECT_EQ(c.seen[1].braces, -1);
    EXPECT_LT(c.seen[4].braces, 0);
}
