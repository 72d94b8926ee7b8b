// Object data: the written text of each kind of value, what the reader makes
// of texts and pieces (and refuses), the pxu codec, the writer's and the
// reader's bounds, and random trees through every flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "storage/storage.h"
#include "tests/support/process_harness.h"
#include "userdata/userdata.h"

using hvx_test::process_env;

namespace {

// ud(type, dims, w, h [, init]): a typed userdata made by the constructor.
int h_ud(lua_State* L) {
    const char* init = lua_isstring(L, 5) ? lua_tostring(L, 5) : nullptr;
    return create_userdata(L, lua_tostring(L, 1), luaL_checkinteger(L, 2), luaL_checkinteger(L, 3),
                           luaL_checkinteger(L, 4), init)
               ? 1
               : 0;
}

std::string printable(const std::string& s) {
    std::string o;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127) o += (char)c;
        else o += "<" + std::to_string(c) + ">";
    }
    return o;
}

struct fixture {
    process_env env;
    lua_State* L;
    fixture() {
        env.add_global("ud", h_ud);
        L = env.spawn("")->L;
    }
    void eval(const std::string& expr) {
        cpu_cycles = 0;  // host work before may have passed the non-yieldable ceiling
        ASSERT_EQ(luaL_dostring(L, ("return " + expr).c_str()), LUA_OK) << lua_tostring(L, -1);
    }
    std::string write_top(int flags) {
        scoped_buffer b(create_buffer_2(16, 1));
        int r = stringify_object(L, -1, b, flags);
        return r ? "<fail " + std::to_string(r) + ">" : std::string((const char*)b->data, b->length);
    }
    std::string write(const std::string& expr, int flags = 0) {
        eval(expr);
        std::string s = write_top(flags);
        lua_pop(L, 1);
        return s;
    }
    // What the reader makes of text, written back plainly: "value" or
    // "value | metadata", or "<fail>".
    std::string read(const std::string& text) {
        int top = lua_gettop(L);
        int n = destringify_object(L, text.data(), (int64_t)text.size());
        std::string s = n ? "" : "<fail>";
        for (int i = 1; i <= n; i++) {
            lua_pushvalue(L, top + i);
            s += (i > 1 ? " | " : "") + write_top(0);
            lua_pop(L, 1);
        }
        EXPECT_EQ(lua_gettop(L), top + n);
        lua_settop(L, top);
        return s;
    }
};

std::string u32le(uint32_t v) { return std::string{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; }
const std::string kStr("str\0", 4), kPxu("pxu\0", 4);

TEST(VynWriter, TextOfEachValue) {
    fixture f;
    struct row {
        const char* expr;
        int flags;
        const char* text;
    } rows[] = {
        {"{1, 2, 3, x = 5, ['a b'] = true, [10] = 'z'}", 0, "{[\"a b\"]=true,x=5,[10]=\"z\",1,2,3}"},
        {"{b = 1, a = 2, [3] = 3}", 0, "{a=2,b=1,[3]=3}"},
        {"{1, nil, 3, [-1] = 0}", 0, "{[-1]=0,1,nil,3}"},
        {"{print, {}, [true] = 1, [1.5] = 2}", 0, "{[1.5]=2,nil,{}}"},
        // Numbers by value, integers and floats mixed; infinities readable.
        {"{[math.huge] = 1, [-1.5] = 2, [2^63] = 3, [-2^63] = 4, [math.mininteger + 1] = 5}", 0,
         "{[-9223372036854775808]=4,[-9223372036854775807]=5,[-1.5]=2,[9223372036854775808]=3,[1e+999]=1}"},
        // Keys are escaped like strings; value words stay bare keys.
        {"{['q\"]'] = 1, ['\\n'] = 2, [''] = 3, ['nil'] = 4, ['\\\\'] = 5}", 0,
         "{[\"\"]=3,[\"\\n\"]=2,[\"\\\\\"]=5,nil=4,[\"q\\\"\\093\"]=1}"},
        {"1.0", 0, "1"},
        {"-0.5", 0, "-0.5"},
        {"1e20", 0, "1e+20"},
        // The shortest text where "%.14g" loses digits.
        {"2^53", 0, "9007199254740992"},
        {"0.1 + 0.2", 0, "0.30000000000000004"},
        {"123456789012345.0", 0, "123456789012345"},
        {"-0.0", 0, "-0"},
        {"ud('f64', 1, 2, 1, '0.1,0.30000000000000004')", 0, "userdata(\"f64\",2,\"0.1,0.30000000000000004\")"},
        {"-math.huge", 0, "-1e+999"},
        {"{math.huge - math.huge, 1}", 0, "{nil,1}"},
        {"'a\"b]'", 0, "\"a\\\"b\\093\""},
        {"'x\\n\\0\\127\\200'", 0, "\"x\\n\\000\\127\\200\""},
        {"'ab'", VYN_FLAG_STR, "str<0><2><0><0><0>ab"},
        {"'x'", VYN_FLAG_B64, "unvyn(\"b64:Ingi\")"},
        {"ud('u8', 2, 2, 2, '010203ff')", 0, "userdata(\"u8\",2,2,\"010203ff\")"},
        {"ud('i16', 1, 3, 1, '0001ffff8000')", 0, "userdata(\"i16\",3,\"0001ffff8000\")"},
        {"ud('i32', 1, 1, 1, 'deadbeef')", 0, "userdata(\"i32\",1,\"deadbeef\")"},
        {"ud('i64', 1, 1, 1, '0123456789abcdef')", 0, "userdata(\"i64\",1,\"0123456789abcdef\")"},
        {"ud('f64', 1, 3, 1, '1.5,-2,1e300')", 0, "userdata(\"f64\",3,\"1.5,-2,1e+300\")"},
        {"ud('i32', 1, 1, 1, 'deadbeef')", VYN_FLAG_PXU, "userdata(\"i32\",1,\"deadbeef\")"},
        // pxu pieces: slot 7 holds 7 from the start; then slot 1.
        {"ud('u8', 1, 4, 1, '07070701')", VYN_FLAG_PXU, "pxu<0><3> <4><4>'<1>"},
        {"ud('u8', 1, 2, 1, '0102')", VYN_FLAG_PXU | VYN_FLAG_RAW_PXU, "pxu<0><3><16><2><1><2>"},
        {"ud('u8', 2, 1, 2, '0909')", VYN_FLAG_PXU, "pxu<0>C <1><2><4><25>"},
        // A run of 16: run field 15 and one extension byte 0.
        {"ud('u8', 1, 16, 1)", VYN_FLAG_PXU, "pxu<0><3> <16><4><240><0>"},
        {"ud('i16', 1, 3, 1, '80008000ffff')", VYN_FLAG_PXU, "pxu<0><12><128><3><0><1><0><128><0><255><255>"},
    };
    for (const row& r : rows) EXPECT_EQ(printable(f.write(r.expr, r.flags)), r.text) << r.expr;
    // 300 elements need u32 sizes.
    EXPECT_EQ(printable(f.write("ud('u8', 1, 300, 1)", VYN_FLAG_PXU).substr(0, 10)), "pxu<0><3>(,<1><0><0>");
}

TEST(VynReader, Texts) {
    fixture f;
    const std::string digits45(45, '7');
    struct row {
        std::string text;
        std::string read;
    } rows[] = {
        {"{1,,2}", "<fail>"},
        {"{1,2,}", "{1,2}"},
        {"{ a=1}", "<fail>"},
        {"{a=1, b=2}", "<fail>"},
        {"{x}", "{}"},
        {"{nil=1,true,[nil]=2,[\"k\"]}", "{nil=1,true}"},
        {"{1", "<fail>"},
        {"{1,", "<fail>"},
        {"\"\\065\\66\"", "\"AB\""},
        {"\"a\\tb\"", "\"a\\000tb\""},
        {"\"\\\"\\\\\\n\\1\\2000\"", "\"\\\"\\\\\\n\\001\\2000\""},
        {"\"open", "<fail>"},
        {"", "nil"},
        {"\tx", "nil"},
        {" 5", "5"},
        {"str", "\"str\""},
        {"inf", "<fail>"},
        {"0x10", "0"},
        {"1e+999", "1e+999"},
        {"-2.5e3", "-2500"},
        {digits45, "7.777777777777778e+43"},
        {"{" + digits45 + "}", "<fail>"},
        {"unvyn(\"{1}\")", "{1}"},
        {"{unvyn(\"b64:I n\ngi\"),2}", "{\"x\",2}"},
        {"unvyn(\"b64:Ing", "<fail>"},
        {"--[[vyn]]\n5", "5 | {}"},
        {"--[[vyn,a=1,b=\"x\"]]{}", "{} | {a=1,b=\"x\"}"},
        {"--[[vyn_format=\"raw\"]]\nhello", "\"hello\" | {vyn_format=\"raw\"}"},
        {"userdata(\"u8\",2,2,\"010203ff\")", "userdata(\"u8\",2,2,\"010203ff\")"},
        {"userdata(\"i16\",2,\"00018000\")", "userdata(\"i16\",2,\"00018000\")"},
        {"{userdata(\"u8\",2,2,\"0102}", "<fail>"},
        {"userdata(\"u8\",0,\"\")", "<fail>"},
        {"userdata(\"u8\",1,1,1,\"00\")", "<fail>"},
        {kStr + u32le(3) + "a\"]", "\"a\\\"\\093\""},
        {"{" + kStr + u32le(1) + "x," + kStr + u32le(0) + "}", "{\"x\",\"\"}"},
        {kStr + u32le(10) + "abc", "<fail>"},
        {kPxu + "\x03\x20\x04\x04\x27\x01", "userdata(\"u8\",4,\"07070701\")"},
        {kPxu + "\x03\x20\x04\x04\x27", "<fail>"},           // a code short
        {kPxu + "\x03\x20\x02\x04\x2f", "<fail>"},           // an escape without its literal
        {kPxu + "\x03\x20\x02\x07\x01\x01", "<fail>"},       // bits 7
        {kPxu + std::string("\x03\x20\x02\0\x01\x01", 6), "<fail>"},  // bits 0
        {kPxu + std::string("\x03\x20\0\x04\x01", 5), "<fail>"},       // width 0
        {kPxu + std::string("\x03\x20\x03\x04\xf1\0", 6), "userdata(\"u8\",3,\"010101\")"},  // run cut
        {kPxu + "\x03\x10\x03" "ab", "<fail>"},
        {kPxu + "\x05\x20\x01\x04\x01", "<fail>"},           // no such type
        {kPxu + u32le(2) + u32le(1) + "????" + "\x03\x04\x1f\x09", "userdata(\"u8\",2,1,\"0909\")"},
    };
    for (const row& r : rows) EXPECT_EQ(f.read(r.text), r.read) << printable(r.text);

    testing::internal::CaptureStdout();
    EXPECT_EQ(f.read("--[[vyn,a=]]5"), "5");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bad metadata format; ignoring vyn,a=\n");
    EXPECT_EQ(f.read(std::string(VYN_MAX_DEPTH, '{') + std::string(VYN_MAX_DEPTH, '}')).size(),
              2u * VYN_MAX_DEPTH);
    EXPECT_EQ(f.read(std::string(VYN_MAX_DEPTH + 1, '{') + std::string(VYN_MAX_DEPTH + 1, '}')), "<fail>");

    lua_State* L = f.L;
    std::string doc = "--[[vyn,title=\"t\"]]\n{}";
    ASSERT_EQ(destringify_object_metadata(L, doc.data(), (int64_t)doc.size()), 1);
    EXPECT_EQ(f.write_top(0), "{title=\"t\"}");
    ASSERT_EQ(destringify_object_metadata(L, "{}", 2), 1);
    EXPECT_EQ(f.write_top(0), "{}");
    lua_pop(L, 2);
    EXPECT_EQ(find_metadata_length("--[[vyn]]\nx", 11), 10);
    EXPECT_EQ(find_metadata_length("--[[vyn]]x", 10), 9);
    EXPECT_EQ(find_metadata_length("--[[vy", 6), 0);
    EXPECT_EQ(find_metadata_length("--[[vyn,a=1", 11), 11);
    // One header and nothing more, whether its fields read or not.
    for (const char* h : {"--[[vyn]]", "--[[vyn]]\n", "--[[vyn x=1]]", "--[[vyn_format=\"raw\"]]\n"})
        EXPECT_TRUE(vyn_is_one_header(h, (int64_t)strlen(h))) << h;
    for (const char* h : {"", "--[[vyn", "--[[vyn x=1", "hello", "--[[vyn]]\n\n", "--[[vyn]] ", "--[[vy]]",
                          "--[[vyn]]\nprint(1)", " --[[vyn]]"})
        EXPECT_FALSE(vyn_is_one_header(h, (int64_t)strlen(h))) << h;
}

// Floats: "%.14g" where it reads back exactly (so texts that survived keep
// their bytes), else the shortest text that does; checked against the C
// library for random bit patterns and for values made from 14 digits.
TEST(VynFloatText, RoundTripsAndKeepsFourteenDigitTexts) {
    std::mt19937_64 rng(4120);
    for (int i = 0; i < 50000; i++) {
        double d;
        if (i % 2) {
            uint64_t bits = rng();
            std::memcpy(&d, &bits, 8);
        } else {
            char t[40];
            snprintf(t, sizeof t, "%.13e", std::ldexp((double)(int64_t)rng(), (int)(rng() % 400) - 200));
            d = std::strtod(t, nullptr);
        }
        if (!std::isfinite(d)) continue;
        char text[VYN_FLOAT_TEXT_MAX + 1], ref[40];
        int n = vyn_float_text(d, text);
        ASSERT_EQ(n, (int)strlen(text));
        double back = std::strtod(text, nullptr);
        ASSERT_EQ(std::memcmp(&back, &d, 8), 0) << text;
        snprintf(ref, sizeof ref, "%.14g", d);
        double ref_back = std::strtod(ref, nullptr);
        if (std::memcmp(&ref_back, &d, 8) == 0) {
            ASSERT_STREQ(text, ref);
        } else {
            // Shortest: no longer than the fewest digits that read back,
            // in exponent form.
            char least[40];
            for (int digits = 1; digits <= 17; digits++) {
                snprintf(least, sizeof least, "%.*e", digits - 1, d);
                double b = std::strtod(least, nullptr);
                if (std::memcmp(&b, &d, 8) == 0) break;
            }
            ASSERT_LE((size_t)n, strlen(least)) << text << " " << least;
        }
    }
    char t[VYN_FLOAT_TEXT_MAX + 1];
    vyn_float_text(HUGE_VAL, t);
    EXPECT_STREQ(t, "inf");  // the f64 element text of before
}

// The text as it was made with two formattings: the shortest scientific text
// to count its digits, then "%.14g" or the shortest text.
std::string two_formatting_text(double d) {
    char out[VYN_FLOAT_TEXT_MAX + 1];
    char* end = nullptr;
    if (std::isfinite(d)) {
        char sci[VYN_FLOAT_TEXT_MAX];
        const char* e = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
        int digits = 0;
        for (const char* p = sci; p < e && *p != 'e'; p++) digits += *p >= '0' && *p <= '9';
        if (digits > 14) end = std::to_chars(out, out + VYN_FLOAT_TEXT_MAX, d).ptr;
    }
    if (!end) end = std::to_chars(out, out + VYN_FLOAT_TEXT_MAX, d, std::chars_format::general, 14).ptr;
    return std::string(out, end);
}

// One formatting gives the same bytes: the edges where the layout turns
// (subnormals, the least normal, powers of two, %g's switch to exponents at
// 1e14 and the shortest text's at 1e15 and beyond) and random doubles of
// every kind.
TEST(VynFloatText, SameBytesAsTwoFormattings) {
    std::vector<double> v = {0.1, -0.0, 0.0, DBL_MAX, -DBL_MAX, 5e-324, 1e-323, DBL_MIN, 1e14, 1e15, 1e16,
                             1e17, 1e21, 1e22, 1e23, 123456789012345.0, 0.0001, 0.00001, 1.0 / 3, 2.5, HUGE_VAL,
                             -HUGE_VAL, NAN};
    for (double base : {DBL_MIN, 1e14, 1e15, 1e16, 1e-4, 1e-5, 0.1}) {
        double below = base, above = base;
        for (int i = 0; i < 4; i++) {
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, HUGE_VAL);
            v.insert(v.end(), {below, above});
        }
    }
    for (int e = -1074; e <= 1023; e++)
        for (double p = std::ldexp(1.0, e); double q : {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL), -p})
            v.push_back(q);
    std::mt19937_64 rng(4122);
    for (int i = 0; i < 300000; i++) {
        uint64_t bits = rng();
        double d;
        switch (i % 6) {
        case 0: std::memcpy(&d, &bits, 8); break;
        case 1: bits &= (1ull << 52) - 1, std::memcpy(&d, &bits, 8); break;  // subnormal
        case 2: d = (double)(int64_t)(bits >> (bits % 64)); break;             // integers of every size
        case 3: d = (double)(int64_t)(bits >> 12) / 2; break;                 // halves
        case 4: d = std::ldexp((double)(bits >> 11), (int)(rng() % 2200) - 1130); break;
        default: {
            char t[40];  // 12 to 17 significant digits
            snprintf(t, sizeof t, "%.*e", 11 + (int)(bits % 6), std::ldexp((double)(rng() >> 11), (int)(rng() % 200) - 150));
            d = std::strtod(t, nullptr);
        }
        }
        v.push_back(d);
    }
    for (double d : v) {
        char text[VYN_FLOAT_TEXT_MAX + 1];
        int n = vyn_float_text(d, text);
        ASSERT_EQ(std::string(text, (size_t)n), two_formatting_text(d)) << std::hexfloat << d;
        ASSERT_EQ(text[n], 0);
    }
}

// Shared tables are written wherever they are reached, bounded by the text
// alone: random graphs of shared tables against their exact text length
// (the sum over reaches of each table's own bytes), and refusals come before
// the shared tables are written over and over (few cycles spent).
TEST(VynWriter, SharedTablesBoundedByText) {
    fixture f;
    lua_State* L = f.L;
    // Writes the value on top and pops it: the result, the length written
    // and the cycles spent.
    auto write_popped = [&](int64_t* length, int32_t* cycles) {
        scoped_buffer b(create_buffer_2(16, 1));
        cpu_cycles = 0;
        int r = stringify_object(L, -1, b, 0);
        *cycles = cpu_cycles;
        *length = b->length;
        lua_pop(L, 1);
        return r;
    };
    const int64_t cap = VYN_MAX_TEXT * 4;
    std::mt19937 rng(4121);
    int over = 0, under = 0;
    while (over < 12 || under < 12) {
        // Table i holds one to four of the two tables below it (the last is
        // the root) and digits: sizes from tiny to far past the limit.
        int n = 2 + (int)(rng() % 24);
        std::vector<std::vector<int>> kids(n);
        std::vector<int> leaves(n);
        std::vector<int64_t> size(n);  // text of one reach
        for (int i = 0; i < n; i++) {
            leaves[i] = (int)(rng() % 20);
            for (int k = i ? 1 + (int)(rng() % 4) : 0; k > 0; k--) kids[i].push_back(i - 1 - (int)(rng() % std::min(i, 2)));
            int64_t items = (int64_t)kids[i].size() + leaves[i];
            size[i] = 2 + leaves[i] + (items ? items - 1 : 0);
            for (int c : kids[i]) size[i] = std::min(cap, size[i] + size[c]);
        }
        const bool fits = size[n - 1] <= VYN_MAX_TEXT;
        if (fits ? size[n - 1] > (4 << 20) || under >= 12 : over >= 12) continue;  // kept quick
        lua_createtable(L, n, 0);  // holds the tables
        for (int i = 0; i < n; i++) {
            lua_createtable(L, (int)kids[i].size() + leaves[i], 0);
            int k = 1;
            for (int c : kids[i]) {
                lua_rawgeti(L, -2, c + 1);
                lua_rawseti(L, -2, k++);
            }
            for (int j = 0; j < leaves[i]; j++) {
                lua_pushinteger(L, j % 10);
                lua_rawseti(L, -2, k++);
            }
            lua_rawseti(L, -2, i + 1);
        }
        lua_rawgeti(L, -1, n);
        int64_t length = 0;
        int32_t cycles = 0;
        int r = write_popped(&length, &cycles);
        lua_pop(L, 1);
        if (fits) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(length, size[n - 1]);
            under++;
        } else {
            EXPECT_EQ(r, VYN_ERR_SIZE) << size[n - 1];
            EXPECT_LT(cycles, 2 * 20 * 26 + 10) << size[n - 1];  // the distinct values at most
            over++;
        }
    }
    // 300 x 300 cells referring to four records (about 3.2 MB of text) write
    // as the same records held once per cell do.
    auto map = [](const char* cell) {
        return std::string("(function() local tiles, map = {}, {} for i = 1, 4 do tiles[i] = {name = 'tile' .. i, "
                           "solid = i > 2, colour = i * 3} end for y = 1, 300 do map[y] = {} for x = 1, 300 do "
                           "local t = tiles[(x * 7 + y) % 4 + 1] map[y][x] = ") +
               cell + " end end return map end)()";
    };
    const std::string shared = f.write(map("t"));
    EXPECT_GT(shared.size(), 3u << 20);
    EXPECT_EQ(shared, f.write(map("{name = t.name, solid = t.solid, colour = t.colour}")));
}

// A refusal after weighing pays for every entry the weighing walked, as the
// writer pays for a value: written values and weighed entries, exactly, and
// plain entries added to the root cost their walk and nothing more. A fault
// found on the way ends the weighing there.
TEST(VynWriter, RefusalPaysItsWeighing) {
    fixture f;
    lua_State* L = f.L;
    struct row {
        const char* shape;  // the value held first in the root
        int result;
        int64_t written;        // values written before the refusal, with {shape}
        int64_t weighed;        // entries walked by the weighing, with {shape}
        bool filler_weighed;    // whether entries after the shape are walked
    } rows[] = {
        // A table reached 10^8 times: the root, four levels and the leaf
        // twice written; 400 entries over the four distinct levels.
        {"(function() local l = {} for d = 1, 4 do local t = {} for i = 1, 100 do t[i] = l end l = t end return l end)()",
         VYN_ERR_SIZE, 1 + 4 + 2, 1 + 400, true},
        // 2^40 reaches: 41 tables down and the leaf again; two entries each.
        {"(function() local t = {} for i = 1, 40 do t = {t, t} end return t end)()", VYN_ERR_SIZE, 1 + 41 + 1, 1 + 80,
         true},
        // A record of every kind of key and a hole, reached 2^30 times: its
        // five entries are walked once, the key that writes nothing too.
        {"(function() local d = {1, nil, 3, a = 5, [1.5] = 2, [true] = 4} for i = 1, 30 do d = {d, d} end return d end)()",
         VYN_ERR_SIZE, 1 + 30 + 1 + 5 + 1, 1 + 60 + 5, true},
        // A shared chain reached again too deep: {s, w, d}, s 200 deep and w
        // 100 more around it. Written: both roots, s, w and s again; weighed
        // the root's entry, the first two of {s, w, d}, s's and w's; the
        // rest never.
        {"(function() local s = {} for i = 2, 200 do s = {s} end local w = s for i = 1, 100 do w = {w} end "
         "local d = {} for i = 1, 40 do d = {d, d} end return {s, w, d} end)()",
         VYN_ERR_DEPTH, 1 + 1 + 200 + 100 + 1, 1 + 2 + 199 + 100, false},
    };
    for (const row& r : rows) {
        for (int64_t filler : {0, 1000, 100000}) {
            f.eval(r.shape);
            lua_createtable(L, (int)filler + 1, 0);
            lua_insert(L, -2);
            lua_rawseti(L, -2, 1);
            for (int64_t i = 2; i <= filler + 1; i++) {
                lua_pushinteger(L, i);
                lua_rawseti(L, -2, i);
            }
            // The stack the walk needs, grown beforehand: growing it is
            // charged as an allocation.
            ASSERT_TRUE(lua_checkstack(L, 4 * 400));
            scoped_buffer b(create_buffer_2(16, 1));
            cpu_cycles = 0;
            EXPECT_EQ(stringify_object(L, -1, b, 0), r.result) << r.shape;
            const int64_t entries = r.written + r.weighed + (r.filler_weighed ? filler : 0);
            EXPECT_EQ(cpu_cycles, VYN_ENTRY_CYCLES * entries) << r.shape << " with " << filler;
            EXPECT_EQ(b->length, 0) << r.shape;
            lua_pop(L, 1);
        }
    }
}

// What the writer weighs before writing shared tables never passes the text
// they make: a table of the shortest text of each kind, reached twice and
// padded with strings to the limit exactly, is written; one byte more is
// refused once the table has been written once.
TEST(VynWriter, SharedValuesFitUpToTheLimit) {
    fixture f;
    lua_State* L = f.L;
    const int64_t piece = 1 << 20;
    lua_pushlstring(L, std::string((size_t)piece, 'x').c_str(), (size_t)piece);  // one string, reached k times
    for (const char* shortest : {"{1, true, false, '', {}, nil, 7, a = 1, [9] = 2}", "{{{}}, {}}"}) {
        f.eval(shortest);
        const int64_t shared = (int64_t)f.write_top(0).size();
        // {v,v,piece x k,tail}: the braces, the commas and the strings' quotes.
        const int64_t k = (VYN_MAX_TEXT - 2 * shared - 6) / (piece + 3);
        const int64_t tail = VYN_MAX_TEXT - 2 * shared - 6 - k * (piece + 3);
        for (int64_t extra : {0, 1}) {
            lua_createtable(L, (int)k + 3, 0);
            for (int i = 1; i <= 2; i++) {
                lua_pushvalue(L, -2);
                lua_rawseti(L, -2, i);
            }
            for (int64_t i = 0; i < k; i++) {
                lua_pushvalue(L, -3);
                lua_rawseti(L, -2, 3 + i);
            }
            const std::string last((size_t)(tail + extra), 'y');
            lua_pushlstring(L, last.data(), last.size());
            lua_rawseti(L, -2, 3 + k);
            scoped_buffer b(create_buffer_2(16, 1));
            cpu_cycles = 0;
            EXPECT_EQ(stringify_object(L, -1, b, 0), extra ? VYN_ERR_SIZE : 0) << shortest;
            if (!extra) EXPECT_EQ(b->length, VYN_MAX_TEXT) << shortest;
            else EXPECT_LT(cpu_cycles, VYN_ENTRY_CYCLES * (k + 3 + 40)) << shortest;  // the walk, not the text
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
}

// A failed write leaves the output as it was and says why.
TEST(VynWriter, FailsAsAWhole) {
    fixture f;
    auto nest = [](int n) { return "(function() local t = {} for i = 2, " + std::to_string(n) + " do t = {t} end return t end)()"; };
    struct row {
        std::string expr;
        int result;
    } rows[] = {
        {nest(VYN_MAX_DEPTH), 0},
        {nest(VYN_MAX_DEPTH + 1), VYN_ERR_DEPTH},
        {"(function() local t = {1} t.t = t return {a = 1, t} end)()", VYN_ERR_DEPTH},
        {"(function() local t = {} for i = 1, 40 do t = {t, t} end return t end)()", VYN_ERR_SIZE},
        // Keys that write nothing, walked again wherever their table is reached.
        {"(function() local x, l = {}, {} for i = 1, 4096 do x[{}] = i end "
         "for i = 1, 1100 do l[i] = x end return l end)()", VYN_ERR_SIZE},
    };
    for (int flags : {0, VYN_FLAG_LZ4 | VYN_FLAG_PXU}) {
        for (const row& r : rows) {
            f.eval(r.expr);
            scoped_buffer b(create_buffer_from_str("keep"));
            EXPECT_EQ(stringify_object(f.L, -1, b, flags), r.result) << r.expr;
            if (r.result) {
                EXPECT_EQ(std::string((const char*)b->data, b->length), "keep");
            }
            lua_pop(f.L, 1);
        }
    }
    // One packed userdata reached many times over: its pieces are tiny, the
    // scans are not.
    f.eval("(function() local u, l = ud('u8', 2, 2048, 2048), {} for i = 1, 129 do l[i] = u end return l end)()");
    scoped_buffer b(create_buffer_2(16, 1));
    EXPECT_EQ(stringify_object(f.L, -1, b, VYN_FLAG_PXU), VYN_ERR_SIZE);
    lua_pop(f.L, 1);
}

// Charges: 2 cycles a value, a quarter per string byte, the userdata size
// >> 5 when written; 1 a value and a quarter per string byte when read.
TEST(VynCalls, Charges) {
    fixture f;
    f.eval(
        "(function() local s = string.rep('x', 40000) local u = ud('u8', 2, 256, 256) "
        "local c0 = cycles() local t = vyn(s) local c1 = cycles() local v = vyn(u) local c2 = cycles() "
        "local back = unvyn(t) local c3 = cycles() "
        "return c1 - c0 >= 10000 and c2 - c1 >= 2048 and c3 - c2 >= 10000 and back == s end)()");
    EXPECT_TRUE(lua_toboolean(f.L, -1));
}

// Random values of every kind, written with each flag set and read back equal.
struct tree_maker {
    std::mt19937_64 rng{12345};
    lua_State* L;
    uint64_t next(uint64_t n) { return rng() % n; }
    double round_trip_float() {
        // Any finite double comes back exactly.
        double d = std::ldexp((double)(int64_t)rng(), (int)next(2000) - 1000);
        return std::isfinite(d) ? d : 0.5;
    }
    void string() {
        std::string s(next(4) ? next(20) : next(3000), 0);
        for (char& c : s) c = (char)next(256);
        lua_pushlstring(L, s.data(), s.size());
    }
    void userdata() {
        static const char* const types[] = {"u8", "i16", "i32", "i64", "f64"};
        const char* type = types[next(5)];
        int dims = 1 + (int)next(2);
        int w = 1 + (int)next(next(3) ? 9 : 300), h = dims == 2 ? 1 + (int)next(9) : 1;
        uint8_t* block = create_userdata(L, type, dims, w, h, nullptr);
        uint8_t* d = ud_data(block);
        int64_t n = (int64_t)w * h;
        bool runs = next(2);
        for (int64_t i = 0; i < n; i++) {
            if (block[0] == UTYPE_F64) {
                double v = i % 7 == 3 ? HUGE_VAL : round_trip_float();
                std::memcpy(d + 8 * i, &v, 8);
            } else {
                for (int b = 0; b < ud_elem_bytes(block[0]); b++)
                    d[i * ud_elem_bytes(block[0]) + b] = (uint8_t)(runs ? (i / 20) * 37 : next(256));
            }
        }
    }
    void value(int depth) {
        switch (depth > 3 ? next(5) : next(7)) {
        case 0: string(); break;
        case 1: {
            static const lua_Integer edges[] = {LUA_MININTEGER, LUA_MAXINTEGER, 0, -1};
            lua_pushinteger(L, next(2) ? edges[next(4)] : (lua_Integer)rng());
            break;
        }
        case 2: lua_pushnumber(L, round_trip_float()); break;
        case 3: lua_pushboolean(L, (int)next(2)); break;
        case 4: userdata(); break;
        default: {
            lua_newtable(L);
            int n = (int)next(8);
            for (int i = 1; i <= n; i++) {
                value(depth + 1);
                lua_rawseti(L, -2, i);
            }
            for (int i = (int)next(6); i > 0; i--) {
                if (next(3)) string();
                else lua_pushnumber(L, next(2) ? (double)(int64_t)(rng() | 1u << 20) : (double)next(1000000) + 0.5);
                value(depth + 1);
                lua_rawset(L, -3);
            }
        }
        }
    }
};

bool same(lua_State* L, int a, int b) {
    a = lua_absindex(L, a);
    b = lua_absindex(L, b);
    int t = lua_type(L, a);
    if (t != lua_type(L, b)) return false;
    if (t == LUA_TNUMBER) return lua_compare(L, a, b, LUA_OPEQ);  // an integral float reads back as an integer
    if (t != LUA_TTABLE) {
        if (t != LUA_TUSERDATA) return lua_rawequal(L, a, b);
        const uint8_t *x = to_typed_userdata(L, a), *y = to_typed_userdata(L, b);
        return x && y && x[0] == y[0] && x[1] == y[1] && ud_width(x) == ud_width(y) && ud_height(x) == ud_height(y) &&
               std::memcmp(ud_data(x), ud_data(y), (size_t)ud_byte_count(x)) == 0;
    }
    int count = 0;
    for (lua_pushnil(L); lua_next(L, a); lua_pop(L, 1), count++) {
        lua_pushvalue(L, -2);
        lua_rawget(L, b);
        bool eq = same(L, -1, -2);
        lua_pop(L, 1);
        if (!eq) {
            lua_pop(L, 2);
            return false;
        }
    }
    for (lua_pushnil(L); lua_next(L, b); lua_pop(L, 1)) count--;
    return count == 0;
}

TEST(VynRoundTrip, RandomTreesWithEveryFlag) {
    fixture f;
    tree_maker m{{}, f.L};
    const int flags[] = {0, 1, 2, 3, 4, 6, 8, 17, 32, 35, 39, 51};
    for (int i = 0; i < 300; i++) {
        m.value(0);
        for (int fl : flags) {
            scoped_buffer b(create_buffer_2(16, 1));
            ASSERT_EQ(stringify_object(f.L, -1, b, fl), 0);
            ASSERT_EQ(destringify_object(f.L, (const char*)b->data, b->length), 1) << fl << " " << i;
            ASSERT_TRUE(same(f.L, -1, -2)) << "flags " << fl << ": " << printable(f.write_top(0));
            lua_pop(f.L, 1);
        }
        lua_pop(f.L, 1);
    }
}

// pxu bodies of every mode and shape decode to what was packed, and a body
// cut anywhere fails rather than reading past its end.
TEST(Pxu, EveryModeRoundTripsAndCutBodiesFail) {
    fixture f;
    std::mt19937 rng(7);
    struct shape {
        const char* type;
        int dims, w, h, mode;
    } shapes[] = {{"u8", 1, 255, 1, PXU_MODE_RECENT}, {"u8", 2, 256, 3, PXU_MODE_RECENT}, {"u8", 2, 7, 300, PXU_MODE_RAW},
                  {"u8", 1, 1000, 1, PXU_MODE_RUNS},  {"i16", 2, 40, 9, PXU_MODE_RUNS}};
    for (const shape& s : shapes) {
        for (int content = 0; content < 3; content++) {
            uint8_t* block = create_userdata(f.L, s.type, s.dims, s.w, s.h, nullptr);
            int64_t bytes = ud_byte_count(block);
            for (int64_t i = 0; i < bytes; i++)
                ud_data(block)[i] = (uint8_t)(content == 0 ? rng() : content == 1 ? i / 300 : (i / 7) % 50);
            for (int bits = 0; bits <= 7; bits++) {
                if (s.mode != PXU_MODE_RECENT && bits) break;
                scoped_buffer b(create_buffer_2(16, 1));
                ASSERT_GT(write_binary_pxu(block, b, bits, s.mode), 0);
                pxu_header h;
                int64_t head = pxu_read_header(b->data, b->length, &h);
                ASSERT_GT(head, 0);
                EXPECT_EQ(h.width, (uint32_t)s.w);
                EXPECT_EQ(h.dims, s.dims);
                std::vector<uint8_t> out((size_t)bytes);
                ASSERT_EQ(pxu_decode_body(&h, b->data + head, b->length - head, out.data()), b->length - head);
                ASSERT_EQ(std::memcmp(out.data(), ud_data(block), (size_t)bytes), 0) << s.type << " bits " << bits;
                for (int64_t cut = 0; cut < b->length - head; cut += 1 + (b->length - head) / 50)
                    EXPECT_EQ(pxu_decode_body(&h, b->data + head, cut, out.data()), -1);
            }
            lua_pop(f.L, 1);
        }
    }
}

TEST(VynPieces, Lz4AndNestingBounds) {
    fixture f;
    auto lz4 = [](const std::string& text) {
        scoped_buffer b(create_buffer_2(16, 1));
        EXPECT_EQ(vyn_pack_lz4((const uint8_t*)text.data(), (int64_t)text.size(), b), 0);
        return std::string((const char*)b->data, b->length);
    };
    std::string piece = lz4("{a=\"b\"}");
    EXPECT_EQ(f.read(piece), "{a=\"b\"}");
    EXPECT_EQ(f.read("{" + piece + "," + piece + "}"), "{{a=\"b\"},{a=\"b\"}}");
    EXPECT_EQ(f.read(piece.substr(0, piece.size() - 1)), "<fail>");  // packed bytes past the end
    std::string huge = piece;
    huge.replace(8, 4, u32le(0xFFFFFFFF));
    EXPECT_EQ(f.read(huge), "<fail>");
    std::string wrong = piece;
    wrong.replace(8, 4, u32le(6));
    EXPECT_EQ(f.read(wrong), "<fail>");
    EXPECT_NE(f.env.log().find("reading corrupt lz4 value // sizes do not match: -"), std::string::npos);

    std::string nested = "1";
    for (int i = 0; i < VYN_MAX_PIECE_NESTING; i++) nested = lz4(nested);
    EXPECT_EQ(f.read(nested), "1");
    EXPECT_EQ(f.read(lz4(nested)), "<fail>");
    std::string wrapped;
    for (int i = 0; i < VYN_MAX_PIECE_NESTING; i++) wrapped += "unvyn(\"";
    EXPECT_EQ(f.read(wrapped + "1"), "1");
    EXPECT_EQ(f.read("unvyn(\"" + wrapped + "1"), "<fail>");
    // Pieces inside pieces share one budget: 70 pieces of 1 MB each (the
    // value is a long header and 5) pass it.
    std::string mb = lz4("--[[vyn" + std::string(1 << 20, ' ') + "]]5");
    std::string many = "{" + mb;
    for (int i = 1; i < 60; i++) many += "," + mb;
    EXPECT_EQ(f.read(lz4(many + "}")).size(), 2u + 60 * 2 - 1);
    for (int i = 60; i < 70; i++) many += "," + mb;
    EXPECT_EQ(f.read(lz4(many + "}")), "<fail>");
}

bool never_fits(void*, int64_t) { return false; }

TEST(VynLimits, ObjectsPerByteAndRoom) {
    fixture f;
    std::string empties = "{";
    for (int i = 0; i < 300; i++) empties += "{},";
    empties += "1}";
    struct row {
        int64_t allowance;
        bool (*fits)(void*, int64_t);
        const char* exceeded;
    } rows[] = {{300, nullptr, nullptr}, {20, nullptr, "more objects than its size allows"},
                {1000, never_fits, "more than the process can hold"}};
    for (const row& r : rows) {
        vyn_read_limits lim{r.allowance, 4, r.fits, nullptr, nullptr};
        int top = lua_gettop(f.L);
        EXPECT_EQ(destringify_object_ex(f.L, empties.data(), (int64_t)empties.size(), &lim), r.exceeded ? 0 : 1);
        EXPECT_EQ(lua_gettop(f.L), top + (r.exceeded ? 0 : 1));
        EXPECT_STREQ(lim.exceeded, r.exceeded);
        lua_settop(f.L, top);
    }
}

}  // namespace
