// The dialect's front end against the stock Lua 5.4.4 compiler built from
// the same tarball with the same compiler and flags (namespace lua_stock):
// compile time of a large stock-syntax source, and of a large dialect
// source against its stock expansion. Before timing, every program of a
// stock-syntax corpus is compiled by both and the dumped chunks must be
// equal byte for byte once the stock opcodes from OP_LEN on are moved up by
// the four peek opcodes (the equivalence check; it fails the run).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "lang/lang.h"

namespace lua_stock {
struct lua_State;
typedef int (*lua_Writer)(lua_State* L, const void* p, size_t sz, void* ud);
lua_State* luaL_newstate(void);
void luaL_openlibs(lua_State* L);
int luaL_loadbufferx(lua_State* L, const char* buff, size_t sz, const char* name, const char* mode);
int lua_dump(lua_State* L, lua_Writer writer, void* data, int strip);
const char* lua_tolstring(lua_State* L, int idx, size_t* len);
void lua_settop(lua_State* L, int idx);
void lua_close(lua_State* L);
}  // namespace lua_stock

namespace {

constexpr int STOCK_OP_LEN = 52;  // where the stock numbering starts to differ
constexpr int PEEK_OPCODES = 4;

// ---------------------------------------------------------------------------
// Sources
// ---------------------------------------------------------------------------

// A deterministic program of about target bytes in stock syntax: many
// functions using most of the grammar. first: the same program written with
// the dialect's shorthands (compound assignment, one-line if/while, '?',
// '!=', '\\'); second: its stock spelling.
std::pair<std::string, std::string> big_sources(size_t target) {
    std::string d, s;
    auto both = [&](const std::string& text) { d += text, s += text; };
    auto either = [&](const std::string& dialect, const std::string& stock) { d += dialect, s += stock; };
    both("local print = function(...) end\nlocal M = {}\n");
    uint32_t seed = 12345;
    auto rnd = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int fn = 0; s.size() < target; fn++) {
        std::string f = std::to_string(fn);
        both("function M.f" + f + "(a, b, ...)\n");
        both("  local t, n, acc = {x = a, y = b, [1] = 'one', 2.5}, select('#', ...), 0\n");
        for (int line = 0; line < 12; line++) {
            std::string k = std::to_string(rnd(100));
            switch (rnd(10)) {
                case 0:
                    either("  acc += a * " + k + "\n", "  acc = acc + a * " + k + "\n");
                    break;
                case 1:
                    either("  t.x -= b \\ " + k + " + 1\n", "  t.x = t.x - b // " + k + " + 1\n");
                    break;
                case 2:
                    either("  if (a != " + k + ") acc = acc | " + k + "\n", "  if (a ~= " + k + ") then acc = acc | " + k + " end\n");
                    break;
                case 3:
                    either("  ?'v', acc, t.x\n", "  print('v', acc, t.x)\n");
                    break;
                case 4:
                    either("  local i = 0 while (i < " + k + ") i += 1\n", "  local i = 0 while (i < " + k + ") do i = i + 1 end\n");
                    break;
                case 5:
                    both("  for i = 1, " + k + " do t[i] = (t[i] or 0) + i * 0.5 end\n");
                    break;
                case 6:
                    both("  for key, v in pairs(t) do if type(v) == 'number' then acc = acc + v "
                         "elseif v == nil then break else acc = #tostring(v) end end\n");
                    break;
                case 7:
                    both("  local s = string.format('%d:%s', " + k + ", tostring(b)) .. [[long " + k +
                         "]] .. \"esc\\n\\t\"\n");
                    break;
                case 8:
                    both("  local g = function(x, ...) local u <const> = " + k +
                         " return x and x << 2 or u, ... end acc = acc + (g(" + k + ", n))\n");
                    break;
                default:
                    both("  repeat acc = acc - 1 until acc < " + k + " or not b\n");
                    break;
            }
        }
        both("  do local c <close> = nil; goto done" + f + " end\n  ::done" + f + "::\n");
        both("  return acc, t:concat(), M:f0(n), ...\nend\n");
    }
    both("return M\n");
    return {d, s};
}

// Stock-syntax programs for the equivalence check: every kind of statement
// and expression, constants that fold and those that do not.
const char* const stock_programs[] = {
    "local a, b = ... return a ~= b, a == b, a < b, a <= b, a > b, a >= b",
    "local a, b = ... return a + b, a - b, a * b, a / b, a // b, a % b, a ^ b, -a",
    "local a, b = ... return a & b, a | b, a ~ b, a << b, a >> b, ~a, not a, #a, a .. b",
    "local a = ... return a + 1, a - 1, a * 2, a / 2, a // 2, a % 2, a ^ 2, a & 1, a | 1, a ~ 1, "
    "a << 1, a >> 1, 1 << a, 1 + a",
    "return 7 // 2, 7 // 0, 7 % 0, 1 / 0, 2^53, -(-5), ~5, 3 & 5, 0x10 | 1, 'a' .. 'b', 1e308 * 10",
    "local t = {1, 2, 3, x = 1, ['y'] = 2, [3] = 4, f = function() end, ...} t.x = t.y t[1] = t[t.x] return t",
    "local t = {} for i = 1, 10 do t[i] = i end for i = 10, 1, -1 do t[i] = nil end "
    "for k, v in pairs(t) do print(k, v) end for _, v in ipairs(t) do break end",
    "local i = 0 while i < 10 do i = i + 1 if i == 5 then break end end repeat i = i - 1 until i == 0",
    "if a then b() elseif c then d() else e() end if (a) then b = 1 end if a and b or c then end",
    "local function f(...) local a, b = ... return select('#', ...), f(...) end return f(1, 2)",
    "local o = {} function o:m(x) return self, x end function o.s(x) return x end return o:m(1), o.s(2)",
    "local x <const> = 10 local y <close> = nil local z <const> = 'k' .. 'v' return x * 2, z",
    "goto l ::l:: do local a = 1 goto m end ::m:: for i = 1, 3 do goto continue ::continue:: end",
    "local a = {} a.b = {} a.b.c = {} a.b.c.d = 1 a.b.c.d = a.b.c.d + 1 a[#a + 1] = a.b",
    "local function up() local n = 0 return function() n = n + 1 return n end end return up()()",
    "local s = [[long\nstring]] .. [==[with ]] inside]==] .. '\\65\\x42\\u{43}\\z\n  D' return s",
    "local a, b, c = 1 local d, e = 1, 2, 3 a, b = b, a return a, b, c, d, e",
    "return function(a, b, ...) return ... end, (f()), f(), {f()}, {f(), nil}",
    "local t = setmetatable({}, {__index = function(t, k) return k end}) return t.x, t[1], #t",
    "while true do local x = f() if x then return x end end",
};

// ---------------------------------------------------------------------------
// Chunk dumps
// ---------------------------------------------------------------------------

struct reader {
    std::string& d;
    size_t pos = 0;
    bool ok = true;
    uint8_t byte() {
        if (pos >= d.size()) {
            ok = false;
            return 0;
        }
        return static_cast<uint8_t>(d[pos++]);
    }
    uint64_t size() {
        uint64_t x = 0;
        for (int i = 0; i < 10 && ok; i++) {
            uint8_t b = byte();
            x = (x << 7) | (b & 0x7f);
            if (b & 0x80) return x;
        }
        ok = false;
        return 0;
    }
    void skip(uint64_t n) {
        if (n > d.size() - pos) ok = false;
        else pos += n;
    }
    void string() {
        uint64_t n = size();
        if (n > 0) skip(n - 1);
    }
};

constexpr size_t DUMP_HEADER = 4 + 1 + 1 + 6 + 3 + 8 + 8;

// Moves every opcode from stock OP_LEN on up by the peek opcodes in the
// code of function at r.pos and of its nested functions.
void remap_function(reader& r) {
    r.string();  // source
    r.size();    // linedefined
    r.size();    // lastlinedefined
    r.skip(3);   // numparams, is_vararg, maxstacksize
    uint64_t ncode = r.size();
    if (!r.ok || ncode > (r.d.size() - r.pos) / 4) {
        r.ok = false;
        return;
    }
    for (uint64_t i = 0; i < ncode; i++) {
        uint32_t ins;
        std::memcpy(&ins, &r.d[r.pos + i * 4], 4);
        uint32_t op = ins & 0x7f;
        if (op >= STOCK_OP_LEN) ins = (ins & ~0x7fu) | (op + PEEK_OPCODES);
        std::memcpy(&r.d[r.pos + i * 4], &ins, 4);
    }
    r.skip(ncode * 4);
    uint64_t nk = r.size();
    for (uint64_t i = 0; i < nk && r.ok; i++) {
        uint8_t tag = r.byte();
        if (tag == 0x03 || tag == 0x13) r.skip(8);          // integer, float
        else if (tag == 0x04 || tag == 0x14) r.string();    // strings
    }
    uint64_t nup = r.size();
    r.skip(nup * 3);
    uint64_t np = r.size();
    for (uint64_t i = 0; i < np && r.ok; i++) remap_function(r);
    r.skip(r.size());  // lineinfo
    uint64_t nabs = r.size();
    for (uint64_t i = 0; i < nabs && r.ok; i++) r.size(), r.size();
    uint64_t nloc = r.size();
    for (uint64_t i = 0; i < nloc && r.ok; i++) r.string(), r.size(), r.size();
    uint64_t nnames = r.size();
    for (uint64_t i = 0; i < nnames && r.ok; i++) r.string();
}

bool remap_stock_dump(std::string& d) {
    reader r{d};
    r.skip(DUMP_HEADER + 1);  // and the main function's upvalue count
    remap_function(r);
    return r.ok && r.pos == d.size();
}

int append_ours(lua_State*, const void* p, size_t sz, void* ud) {
    static_cast<std::string*>(ud)->append(static_cast<const char*>(p), sz);
    return 0;
}
int append_stock(lua_stock::lua_State*, const void* p, size_t sz, void* ud) {
    static_cast<std::string*>(ud)->append(static_cast<const char*>(p), sz);
    return 0;
}

// 1: equal, 0: different, -1: the stock compiler refuses the program.
int same_code(const std::string& src, std::string* why) {
    std::string ours, stock;
    lua_stock::lua_State* S = lua_stock::luaL_newstate();
    int st = lua_stock::luaL_loadbufferx(S, src.data(), src.size(), "=p", "t");
    if (st == 0) lua_stock::lua_dump(S, append_stock, &stock, 0);
    lua_stock::lua_close(S);
    if (st != 0) return -1;
    lua_State* L = luaL_newstate();
    st = luaL_loadbufferx(L, src.data(), src.size(), "=p", "t");
    if (st == LUA_OK) lua_dump(L, append_ours, &ours, 0);
    else *why = lua_tostring(L, -1);
    lua_close(L);
    if (st != LUA_OK) return 0;
    if (!remap_stock_dump(stock)) {
        *why = "unreadable stock dump";
        return 0;
    }
    if (ours != stock) {
        size_t i = 0;
        while (i < ours.size() && i < stock.size() && ours[i] == stock[i]) i++;
        *why = "dumps differ at byte " + std::to_string(i);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Benchmarks
// ---------------------------------------------------------------------------

const std::pair<std::string, std::string>& big() {
    static const auto sources = big_sources(1 << 20);
    return sources;
}
const std::string& big_dialect() { return big().first; }
const std::string& big_stock() { return big().second; }

void BM_stock_equivalence(benchmark::State& state) {
    int checked = 0, refused = 0;
    std::string failures;
    for (auto _ : state) {
        checked = refused = 0;
        failures.clear();
        std::vector<std::string> corpus(std::begin(stock_programs), std::end(stock_programs));
        corpus.push_back(big_stock());
        for (const auto& src : corpus) {
            std::string why;
            int r = same_code(src, &why);
            if (r < 0) {
                refused++;
                continue;
            }
            checked++;
            if (r == 0) failures += src.substr(0, 60) + ": " + why + "\n";
        }
    }
    state.counters["programs"] = checked;
    state.counters["stock_refused"] = refused;
    if (!failures.empty()) {
        std::fprintf(stderr, "stock equivalence FAILED:\n%s", failures.c_str());
        state.SkipWithError("compiled code differs from the stock compiler's");
    }
}
BENCHMARK(BM_stock_equivalence)->Iterations(1)->Unit(benchmark::kMillisecond);

void compile_ours(benchmark::State& state, const std::string& src) {
    lua_State* L = luaL_newstate();
    for (auto _ : state) {
        if (luaL_loadbufferx(L, src.data(), src.size(), "=big", "t") != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
        lua_settop(L, 0);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
    lua_close(L);
}

void compile_stock(benchmark::State& state, const std::string& src) {
    lua_stock::lua_State* S = lua_stock::luaL_newstate();
    for (auto _ : state) {
        if (lua_stock::luaL_loadbufferx(S, src.data(), src.size(), "=big", "t") != 0) {
            state.SkipWithError("stock compiler refused the source");
            break;
        }
        lua_stock::lua_settop(S, 0);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(src.size()));
    lua_stock::lua_close(S);
}

void BM_compile_stock_syntax_stock(benchmark::State& state) { compile_stock(state, big_stock()); }
void BM_compile_stock_syntax_ours(benchmark::State& state) { compile_ours(state, big_stock()); }
void BM_compile_dialect_expanded_stock(benchmark::State& state) { compile_stock(state, big_stock()); }
void BM_compile_dialect_ours(benchmark::State& state) { compile_ours(state, big_dialect()); }
BENCHMARK(BM_compile_stock_syntax_stock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compile_stock_syntax_ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compile_dialect_expanded_stock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compile_dialect_ours)->Unit(benchmark::kMillisecond);

}  // namespace
