// Typed userdata values: layout, type names, limits, text initialisers,
// costs, duplication and the check for our own values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "lang/lang.h"
#include "runtime/runtime.h"
#include "userdata/userdata.h"

namespace {

struct Userdata : ::testing::Test {
    lua_State* L = nullptr;
    void SetUp() override {
        L = luaL_newstate();
        luaL_openlibs(L);
        add_userdata_metatable_functions(L);
        cpu_cycles = 0;
    }
    void TearDown() override { lua_close(L); }

    uint8_t* make(const char* type, int64_t dims, int64_t w, int64_t h, const char* data = nullptr) {
        int top = lua_gettop(L);
        uint8_t* b = create_userdata(L, type, dims, w, h, data);
        EXPECT_EQ(lua_gettop(L), top + (b ? 1 : 0));
        return b;
    }
    template <typename T>
    T at(const uint8_t* b, int i) {
        T v;
        std::memcpy(&v, ud_data(b) + sizeof(T) * i, sizeof v);
        return v;
    }
};

TEST_F(Userdata, HeaderLayout) {
    uint8_t* b = make("u8", 2, 16, 16);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(lua_rawlen(L, -1), 16u + 256u);
    const uint8_t expect[12] = {3, 2, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0};
    EXPECT_EQ(std::memcmp(b, expect, 12), 0);
    for (int i = 0; i < 256; i++) ASSERT_EQ(ud_data(b)[i], 0);
    EXPECT_EQ(ud_byte_count(b), 256);
    uint8_t* v = make("f64", 1, 5, 99);  // one dimension: the height is 1
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(ud_height(v), 1u);
    EXPECT_EQ(ud_type(v), UTYPE_F64);
    EXPECT_EQ(lua_rawlen(L, -1), 16u + 40u);
}

TEST_F(Userdata, StoragePadsToEightZeroBytes) {
    uint8_t* b = make("u8", 1, 3, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(lua_rawlen(L, -1), 24u);
    for (int i = 0; i < 8; i++) EXPECT_EQ(ud_data(b)[i], 0);
}

TEST_F(Userdata, TypeNames) {
    struct {
        const char* text;
        int code;
    } cases[] = {{nullptr, UTYPE_U8}, {"", UTYPE_U8},     {"u8", UTYPE_U8},     {"i16", UTYPE_I16},
                 {"i32", UTYPE_I32},  {"i64", UTYPE_I64}, {"f64", UTYPE_F64},   {"f32", UTYPE_I32},
                 {"u16", UTYPE_I16},  {"u32", UTYPE_I32}, {"i8", UTYPE_I64},    {"u64", UTYPE_U8},
                 {"float", UTYPE_F64}, {"int", UTYPE_I64}, {"x", UTYPE_U8}};
    for (auto& c : cases) EXPECT_EQ(str_to_utype(c.text), c.code) << (c.text ? c.text : "(none)");
    EXPECT_STREQ(get_utype_string(3), "u8");
    EXPECT_STREQ(get_utype_string(12), "i16");
    EXPECT_STREQ(get_utype_string(13), "i32");
    EXPECT_STREQ(get_utype_string(14), "i64");
    EXPECT_STREQ(get_utype_string(22), "f64");
    EXPECT_STREQ(get_utype_string(0), "?");
    EXPECT_STREQ(get_utype_string(23), "?");
    EXPECT_STREQ(get_utype_string(-1), "?");
}

TEST_F(Userdata, RefusedSizesPushNothingAndChargeNothing) {
    EXPECT_EQ(make("u8", 1, 0, 1), nullptr);
    EXPECT_EQ(make("u8", 2, 4, 0), nullptr);
    EXPECT_EQ(make("u8", 2, -4, 2), nullptr);
    EXPECT_EQ(make("u8", 3, 4, 4), nullptr);
    EXPECT_EQ(make("u8", 0, 4, 4), nullptr);
    EXPECT_EQ(make("f64", 1, 2097153, 1), nullptr);
    EXPECT_EQ(make("u8", 2, 65536, 65536), nullptr);
    EXPECT_EQ(make("u8", 1, (1LL << 32) + 5, 1), nullptr);  // no narrowing to 5
    EXPECT_EQ(make("i64", 2, 1LL << 31, 1LL << 31), nullptr);
    EXPECT_EQ(cpu_cycles, 0);
    EXPECT_NE(make("f64", 1, 2097152, 1), nullptr);
    EXPECT_NE(make("u8", 2, 4096, 4096), nullptr);
}

TEST_F(Userdata, GfxAndMapInitialisers) {
    uint8_t* b = make("[gfx]0203abcdef", 0, 0, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ud_type(b), UTYPE_U8);
    EXPECT_EQ(ud_dims(b), 2);
    EXPECT_EQ(ud_width(b), 2u);
    EXPECT_EQ(ud_height(b), 3u);
    for (int i = 0; i < 6; i++) EXPECT_EQ(ud_data(b)[i], 10 + i);
    b = make("[gfx]0203ab", 0, 0, 0);
    ASSERT_NE(b, nullptr);
    const uint8_t e[6] = {10, 11, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(ud_data(b), e, 6), 0);
    b = make("[gfx]0104zZ_-", 0, 0, 0, "ignored");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ud_data(b)[0], 35);
    EXPECT_EQ(ud_data(b)[1], 61);
    EXPECT_EQ(ud_data(b)[2], 62);
    EXPECT_EQ(ud_data(b)[3], 63);

    b = make("[map]010200ff8000", 0, 0, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ud_type(b), UTYPE_I16);
    EXPECT_EQ(ud_width(b), 1u);
    EXPECT_EQ(ud_height(b), 2u);
    EXPECT_EQ(at<int16_t>(b, 0), 255);
    EXPECT_EQ(at<int16_t>(b, 1), -32768);
    b = make("[map]0102", 0, 0, 0, "00ff");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<int16_t>(b, 0), 0);
    EXPECT_EQ(at<int16_t>(b, 1), 0);

    // Eight characters or fewer: an ordinary type text that needs sizes.
    EXPECT_EQ(make("[gfx]01", 1, 0, 1), nullptr);
    b = make("[gfx]01", 1, 4, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ud_type(b), UTYPE_U8);
    EXPECT_EQ(ud_width(b), 4u);
}

TEST_F(Userdata, SeparateGfxAndMapDataTexts) {
    // The sizes of a separate data text come from the arguments.
    uint8_t* b = make("u8", 2, 2, 2, "[gfx]ffff1234");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ud_data(b)[0], 1);
    EXPECT_EQ(ud_data(b)[3], 4);
    // A [map] text never writes past a smaller storage.
    b = make("u8", 1, 3, 1, "[map]0000111122223333444455556666");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<int16_t>(b, 0), 0x1111);
    EXPECT_EQ(at<int16_t>(b, 2), 0x3333);
    EXPECT_EQ(at<int16_t>(b, 3), 0);  // padding stays zero
    EXPECT_EQ(lua_rawlen(L, -1), 24u);
    // Shorter than nine characters: fills nothing.
    b = make("u8", 1, 4, 1, "[gfx]01");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<uint32_t>(b, 0), 0u);
}

TEST_F(Userdata, HexDataTexts) {
    uint8_t* b = make("u8", 1, 4, 1, "hex:0a0BfFzz");
    ASSERT_NE(b, nullptr);
    const uint8_t e[4] = {10, 11, 255, 0};
    EXPECT_EQ(std::memcmp(ud_data(b), e, 4), 0);
    b = make("i16", 1, 3, 1, "ffff7fff8");  // the last element is cut short
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<int16_t>(b, 0), -1);
    EXPECT_EQ(at<int16_t>(b, 1), 32767);
    EXPECT_EQ(at<int16_t>(b, 2), 0);
    b = make("i32", 1, 1, 1, "80000001");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<int32_t>(b, 0), INT32_MIN + 1);
    b = make("i64", 1, 2, 1, "0000000100000002ffffffffffffffff");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<int64_t>(b, 0), 0x100000002LL);
    EXPECT_EQ(at<int64_t>(b, 1), -1);
}

TEST_F(Userdata, FloatDataTexts) {
    uint8_t* b = make("f64", 1, 5, 1, "1.5,,2)9");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<double>(b, 0), 1.5);
    EXPECT_EQ(at<double>(b, 1), 0.0);
    EXPECT_EQ(at<double>(b, 2), 2.0);
    EXPECT_EQ(at<double>(b, 3), 0.0);
    EXPECT_EQ(at<double>(b, 4), 0.0);
    b = make("f64", 1, 4, 1, " -3e2, 0x10,inf,\"7");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(at<double>(b, 0), -300.0);
    EXPECT_EQ(at<double>(b, 1), 16.0);
    EXPECT_TRUE(std::isinf(at<double>(b, 2)));
    EXPECT_EQ(at<double>(b, 3), 0.0);
}

TEST_F(Userdata, CostsAreChargedSeparately) {
    make("u8", 1, 16, 1);
    EXPECT_EQ(cpu_cycles, 9);
    cpu_cycles = 0;
    make("u8", 1, 16, 1, "00112233445566778899aabbccddeeff");
    EXPECT_EQ(cpu_cycles, 4 + 9);
    cpu_cycles = 0;
    make("u8", 1, 1, 1, "ff");  // 8 bits / 32 = 0, still one cycle of its own
    EXPECT_EQ(cpu_cycles, 1 + 8);
    cpu_cycles = 0;
    make("f64", 2, 10, 10);
    EXPECT_EQ(cpu_cycles, 800 / 16 + 8);
    cpu_cycles = 0;
}

TEST_F(Userdata, MetatableComesFromTheGlobalAtCreation) {
    make("u8", 1, 4, 1);
    ASSERT_TRUE(lua_getmetatable(L, -1));
    lua_getglobal(L, "USERDATA");
    EXPECT_TRUE(lua_rawequal(L, -1, -2));
    lua_pop(L, 2);
    lua_setglobal(L, "old");
    lua_pushinteger(L, 5);
    lua_setglobal(L, "USERDATA");
    make("u8", 1, 4, 1);
    EXPECT_FALSE(lua_getmetatable(L, -1));
    lua_getglobal(L, "old");
    EXPECT_TRUE(lua_getmetatable(L, -1));
    lua_settop(L, 0);
}

TEST_F(Userdata, DuplicateIsAByteCopy) {
    uint8_t* b = make("i16", 2, 3, 2, "000100020003000400050006");
    ASSERT_NE(b, nullptr);
    int32_t before = cpu_cycles;
    uint8_t* c = push_duplicate_userdata(L, b);
    EXPECT_EQ(cpu_cycles, before);
    EXPECT_NE(c, b);
    EXPECT_EQ(lua_rawlen(L, -1), lua_rawlen(L, -2));
    EXPECT_EQ(std::memcmp(b, c, lua_rawlen(L, -1)), 0);
    EXPECT_TRUE(lua_getmetatable(L, -1));
}

TEST_F(Userdata, OnlyOurOwnValuesAreTaken) {
    uint8_t* b = make("u8", 2, 4, 4);
    EXPECT_EQ(to_typed_userdata(L, -1), b);
    lua_pushlightuserdata(L, b);
    EXPECT_EQ(to_typed_userdata(L, -1), nullptr);
    // A foreign block of the right size holding a header-like pattern.
    void* f = lua_newuserdatauv(L, 16 + 16, 0);
    std::memcpy(f, b, 16 + 16);
    std::memset(f, 0, 16);
    EXPECT_EQ(to_typed_userdata(L, -1), nullptr);
    void* g = lua_newuserdatauv(L, 16, 0);  // the mark alone, with a wrong size
    std::memcpy(g, b, 16);
    EXPECT_EQ(to_typed_userdata(L, -1), nullptr);
    lua_pushinteger(L, 3);
    EXPECT_EQ(to_typed_userdata(L, -1), nullptr);
    lua_pushstring(L, "0123456789abcdef0123");
    EXPECT_EQ(to_typed_userdata(L, -1), nullptr);
}

TEST_F(Userdata, MethodTableOrder) {
    EXPECT_STREQ(userdata_methods[0].name, "sort");
    EXPECT_STREQ(userdata_methods[5].name, "__add");
    EXPECT_STREQ(userdata_methods[16].name, "__shr");
    EXPECT_STREQ(userdata_methods[17].name, "add");
    EXPECT_STREQ(userdata_methods[28].name, "shr");
    EXPECT_STREQ(userdata_methods[40].name, "blit");
    EXPECT_STREQ(userdata_methods[58].name, "crc");
    lua_getglobal(L, "USERDATA");
    EXPECT_TRUE(lua_istable(L, -1));
}

}  // namespace
