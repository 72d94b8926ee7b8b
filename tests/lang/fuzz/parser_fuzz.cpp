// libFuzzer target for the dialect's lexer, parser and code generator.
// The first byte chooses how the rest is read: as source text itself, or as
// a list of choices among dialect fragments (operators, one-line forms, '?',
// line breaks, comments, long strings...), which reaches the parser's new
// rules far more often than random text. A chunk that compiles is run
// under an instruction limit and a memory cap, so that wrong register use
// in the generated code shows up too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lang/lang.h"

namespace {

const char* const fragments[] = {
    "if", "(", ")", "while", "do", "end", "then", "else", "elseif", "for i = 1, 3 do",
    "for k, v in pairs(t) do", "repeat", "until", "function", "local", "return", "break",
    "goto l", "::l::", "and", "or", "not", "a", "b", "t", "t.x", "t[1]", "t[a]", "s", "f()",
    "f", "print", "?", "\n", "\r\n", "\n\r", "\r", ";", ",", "=", "+=", "-=", "*=", "/=",
    "%=", "^=", "\\=", "&=", "|=", "^^=", "<<=", ">>=", "..=", ">>>=", "<<>=", ">><=",
    "!=", "~=", "==", "<", "<=", ">", ">=", "+", "-", "*", "/", "//", "\\", "%", "^",
    "^^", "&", "|", "~", "<<", ">>", "..", "...", "#", "@", "$", "!", "1", "0", "2.5",
    "0b101", "0b1.1", "0x10", "'s'", "\"\\*\\#\\-\\|\\+\\^\"", "[[long\nstring]]",
    "-- note\n", "--[[ long\ncomment ]]", "{", "}", "[", "]", ".", ":", "<const>",
    "<close>", "function(x)", "local function g()", "setmetatable(t, {})", "nil", "true",
    "false", "`", "  ", "\t", "s:rep(a)", "string.format('%d', a)", "coroutine.wrap(f)",
    "coroutine.yield", "utf8.char(a)", "utf8.len(s)", "debug.getinfo(1)", "debug.traceback()",
    "table.concat(t)", "math.floor", "pcall", "select", "s:gsub('.', f)",
};
constexpr size_t num_fragments = sizeof fragments / sizeof fragments[0];

const char* const prelude =
    "local a, b, s = 1, 2, 'x' local t = {x = 1, 1, 2} "
    "local function f(...) return ... end ";

constexpr size_t memory_cap = 64u << 20;
constexpr int instruction_cap = 200000;
constexpr int hook_every = 1000;

struct budget {
    size_t used = 0;
    int instructions = 0;
};

void* capped_alloc(void* ud, void* ptr, size_t osize, size_t nsize, int, size_t) {
    auto* b = static_cast<budget*>(ud);
    if (ptr == nullptr) osize = 0;
    if (nsize == 0) {
        b->used -= osize;
        free(ptr);
        return nullptr;
    }
    if (nsize > osize && nsize - osize > memory_cap - b->used) return nullptr;
    void* p = realloc(ptr, nsize);
    if (p) b->used = b->used - osize + nsize;
    return p;
}

budget* budget_of(lua_State* L) {
    void* ud;
    lua_getallocf(L, &ud);
    return static_cast<budget*>(ud);
}

void count_hook(lua_State* L, lua_Debug*) {
    budget* b = budget_of(L);
    b->instructions += hook_every;
    if (b->instructions > instruction_cap) luaL_error(L, "instruction limit");
}

int quiet_print(lua_State*) { return 0; }

void run_chunk(const std::string& src) {
    budget b;
    lua_State* L = lua_newstate(capped_alloc, &b);
    if (!L) return;
    // Every library the dialect gives a script, but the hook that bounds
    // the run stays: a chunk may not replace it.
    luaL_openlibs(L);
    lua_settop(L, 0);
    lua_pushcfunction(L, quiet_print);
    lua_setglobal(L, "print");
    lua_getglobal(L, LUA_DBLIBNAME);
    lua_pushnil(L);
    lua_setfield(L, -2, "sethook");
    lua_settop(L, 0);
    if (luaL_loadbufferx(L, src.data(), src.size(), "=fuzz", "t") == LUA_OK) {
        lua_sethook(L, count_hook, LUA_MASKCOUNT, hook_every);
        lua_pcall(L, 0, 0, 0);
    }
    lua_close(L);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    std::string src;
    if (data[0] & 1) {
        src.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        src = prelude;
        for (size_t i = 1; i < size; i++) {
            src += fragments[data[i] % num_fragments];
            src += ' ';
        }
    }
    run_chunk(src);
    return 0;
}
