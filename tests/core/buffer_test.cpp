#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "core/core.h"
#include "runtime/runtime.h"

namespace {

std::string text_of(buffer* b) { return std::string(reinterpret_cast<char*>(b->data), size_t(b->length)); }

std::string temp_path(const char* name) {
    return testing::TempDir() + "buf_" + std::to_string(getpid()) + "_" + name;
}

TEST(Buffer, CreationCapacities) {
    buffer* a = create_buffer_2(0, 1);
    buffer* b = create_buffer_2(-5, 1);
    buffer* s = create_buffer_from_str("");
    buffer* t = create_buffer_from_str("abc");
    EXPECT_EQ(a->capacity, 1u);
    EXPECT_EQ(b->capacity, 1u);
    EXPECT_EQ(s->capacity, 2u);
    EXPECT_EQ(s->length, 0);
    EXPECT_EQ(s->cursor, 0);
    EXPECT_EQ(t->capacity, 5u);
    EXPECT_EQ(t->kind, BUFFER_KIND_FROM_STR);
    EXPECT_EQ(t->cursor, 3);
    EXPECT_STREQ(to_cstr(t), "abc");

    buffer* c = create_buffer_from_buffer(t);
    EXPECT_EQ(c->capacity, 6u);
    EXPECT_EQ(c->kind, BUFFER_KIND_FROM_BUFFER);
    EXPECT_EQ(c->cursor, 0);
    EXPECT_EQ(text_of(c), "abc");
    buffer* d = create_buffer_from_buffer_2(t, 'q');
    EXPECT_EQ(d->kind, 'q');

    EXPECT_EQ(create_buffer_2(INT32_MAX, 1), nullptr);  // capacity would pass the limit
    EXPECT_EQ(to_cstr(nullptr), nullptr);
    for (buffer* x : {a, b, s, t, c, d}) destroy_buffer(x);
    destroy_buffer(nullptr);
}

TEST(Buffer, GrowthDoublesNeedAndZeroFills) {
    buffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_uint8(b, 0x41), 1);
    EXPECT_EQ(b->capacity, 4u);
    memset(b->data, 0xEE, b->capacity);  // stale bytes must not leak into new storage
    const char ten[] = "0123456789";
    EXPECT_EQ(bwrite(ten, 1, 10, b), 10);  // need 1 + 10 + 1
    EXPECT_EQ(b->capacity, 24u);
    for (uint32_t i = 11; i < b->capacity; i++) ASSERT_EQ(b->data[i], 0) << i;
    EXPECT_EQ(ballocate(b, 30), 1);
    EXPECT_EQ(b->capacity, 62u);
    EXPECT_EQ(ballocate(b, 20), 1);
    EXPECT_EQ(b->capacity, 62u);
    destroy_buffer(b);
}

TEST(Buffer, CountersExactAfterCreateGrowDestroy) {
    uint32_t n0 = get_total_num_buffers(), a0 = get_total_buffer_allocation();
    uint32_t k0 = get_buffer_group_count(7);
    buffer* b = create_buffer_2(9, 7);
    buffer* odd = create_buffer_2(3, 200);  // out-of-table kinds count in the totals only
    buffer* neg = create_buffer_2(3, -1);
    EXPECT_EQ(get_total_num_buffers(), n0 + 3);
    EXPECT_EQ(get_total_buffer_allocation(), a0 + 10 + 4 + 4);
    EXPECT_EQ(get_buffer_group_count(7), k0 + 1);
    EXPECT_EQ(get_buffer_group_count(200), 0u);
    for (int i = 0; i < 100; i++) bwrite_uint32(b, uint32_t(i));
    EXPECT_EQ(get_total_buffer_allocation(), a0 + b->capacity + 8);
    destroy_buffer(odd);
    destroy_buffer(neg);
    destroy_buffer(b);
    EXPECT_EQ(get_total_num_buffers(), n0);
    EXPECT_EQ(get_total_buffer_allocation(), a0);
    EXPECT_EQ(get_buffer_group_count(7), k0);
}

TEST(Buffer, IntegerWritersAndReaders) {
    buffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_uint16(b, 0x11234), 2);
    EXPECT_EQ(bwrite_uint32(b, 0xA1B2C3D4), 4);
    EXPECT_EQ(bwrite_uint32_big_endian(b, 0xA1B2C3D4), 4);
    const uint8_t want[] = {0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 0xA1, 0xB2, 0xC3, 0xD4};
    ASSERT_EQ(b->length, 10);
    EXPECT_EQ(memcmp(b->data, want, 10), 0);

    b->cursor = 0;
    EXPECT_EQ(bread_uint16(b), 0x1234);
    EXPECT_EQ(bread_uint32(b), 0xA1B2C3D4u);
    EXPECT_EQ(bread_uint8(b), 0xA1);
    EXPECT_EQ(bread_uint32(b), 0u);  // 3 bytes left: nothing read, cursor kept
    EXPECT_EQ(bread_uint32_big_endian(b), 0u);
    EXPECT_EQ(b->cursor, 7);
    uint8_t out[8] = {};
    EXPECT_EQ(bread(out, 2, 4, b), 3);
    EXPECT_EQ(out[2], 0xD4);
    EXPECT_EQ(bread(out, 1, 1, b), 0);
    EXPECT_EQ(bread_uint8(b), 0);

    // An earlier write in the middle keeps the high-water mark.
    b->cursor = 1;
    bwrite_uint8(b, 0x99);
    EXPECT_EQ(b->length, 10);
    EXPECT_EQ(bwrite(want, 0, 5, b), 0);
    EXPECT_EQ(bwrite(want, -3, 1, b), -3);
    EXPECT_EQ(bwrite(want, INT64_MAX, 4, b), 0);  // product overflows
    EXPECT_EQ(b->cursor, 2);
    destroy_buffer(b);
}

TEST(Buffer, HexWritersAndReaders) {
    buffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bwrite_int64_as_hex(b, 0x0123456789ABCDEF), 16);
    EXPECT_EQ(bwrite_int16_as_hex(b, -1), 4);
    EXPECT_EQ(bwrite_int32_as_hex(b, -2), 8);
    EXPECT_EQ(text_of(b), "0123456789abcdefffff" "fffffffe");
    EXPECT_EQ(b->data[b->length], 0);
    // Appenders go to the end; the byte writer stays at the cursor, no NUL.
    b->cursor = 0;
    EXPECT_EQ(bwrite_uint8_as_hex(b, 0xAB), 2);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(text_of(b).substr(0, 4), "ab23");
    bwrite_int16_as_hex(b, 0x1234F);  // only the low 16 bits
    EXPECT_EQ(text_of(b).substr(28), "234f");

    b->cursor = 0;
    EXPECT_EQ(bread_uint8_hex(b), 0xAB);
    EXPECT_EQ(bread_uint8_hex(b), 0x23);

    const char* p = "ffff7fffFFzz";
    EXPECT_EQ(read_i16_from_hex_str(&p), -1);
    EXPECT_EQ(read_i16_from_hex_str(&p), 32767);
    EXPECT_EQ(read_u8_from_hex_str(&p), 0xFF);
    EXPECT_EQ(read_u8_from_hex_str(&p), 0);  // non-digits count 0
    p = "ff";
    EXPECT_EQ(read_i16_from_hex_str(&p), 0);
    EXPECT_EQ(*p, '\0');
    EXPECT_EQ(p[-2], 'f');
    p = "0123456789abcdefffffffff80000000";
    EXPECT_EQ(read_i64_from_hex_str(&p), 0x0123456789ABCDEF);
    EXPECT_EQ(read_i32_from_hex_str(&p), -1);
    EXPECT_EQ(read_u32_from_hex_str(&p), 0x80000000u);
    destroy_buffer(b);
}

TEST(Buffer, Escaping) {
    buffer* b = create_buffer_2(0, 1);
    EXPECT_EQ(bappend_str_escaped(b, "a\"\t\xC8\x7F\\"), 1 + 4 + 4 + 4 + 1 + 4);
    EXPECT_STREQ(to_cstr(b), "a\\034\\009\\200\x7F\\092");

    const char* r1 = escape_lua_string("x\ny");
    EXPECT_STREQ(r1, "x\\010y");
    uint32_t shared = get_buffer_group_count(BUFFER_KIND_ESCAPED);
    EXPECT_GE(shared, 1u);
    std::string long_in(2000, '"');
    const char* r2 = escape_lua_string(long_in.c_str());  // grows past 1025
    EXPECT_EQ(strlen(r2), 8000u);
    EXPECT_EQ(escape_lua_string("ok"), r2);  // one shared buffer, cleared on each call
    EXPECT_STREQ(r2, "ok");
    EXPECT_EQ(get_buffer_group_count(BUFFER_KIND_ESCAPED), shared);

    bclear(b);
    const uint8_t raw[] = {'"', '\\', '\n', ']', '~', 127, 0, 'z'};
    EXPECT_EQ(bwrite_escaped_string(b, raw, 8), 2 + 2 + 2 + 4 + 1 + 4 + 4 + 1);
    EXPECT_EQ(text_of(b), std::string("\\\"\\\\\\n\\093~\\127\\000z"));
    EXPECT_EQ(bwrite_escaped_string(b, raw, 0), 0);
    EXPECT_EQ(bwrite_escaped_string(nullptr, raw, 8), 0);
    destroy_buffer(b);
}

TEST(Buffer, ReadLine) {
    buffer* src = create_buffer_from_str("a\r\nb\rc\nlast\r");
    src->cursor = 0;
    uint32_t lines0 = get_buffer_group_count(BUFFER_KIND_LINE);
    buffer* line = breadln(src, nullptr);
    EXPECT_EQ(line->kind, BUFFER_KIND_LINE);
    EXPECT_EQ(line->capacity, 17u);
    EXPECT_EQ(get_buffer_group_count(BUFFER_KIND_LINE), lines0 + 1);
    EXPECT_STREQ(to_cstr(line), "a");
    EXPECT_EQ(breadln(src, line), line);
    EXPECT_EQ(text_of(line), "b\rc");
    breadln(src, line);
    EXPECT_EQ(text_of(line), "last\r");  // a CR without LF is data
    EXPECT_EQ(line->data[line->length], 0);
    breadln(src, line);
    EXPECT_EQ(line->length, 0);
    EXPECT_EQ(src->cursor, src->length);
    destroy_buffer(line);
    destroy_buffer(src);
}

TEST(Buffer, ClearAndCrop) {
    buffer* b = create_buffer_from_str("0123456789");
    bclear(b);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->data[3], '3');  // bytes kept
    bclear(nullptr);

    b->length = 10;
    b->cursor = 7;
    bcrop(b, 4, b->length - 4);
    EXPECT_EQ(text_of(b), "456789");
    EXPECT_EQ(b->cursor, 3);
    for (uint32_t i = 6; i < b->capacity; i++) ASSERT_EQ(b->data[i], 0);

    b->cursor = 1;
    bcrop(b, 2, 2);  // keeps two bytes; the cursor stops at 0
    EXPECT_EQ(b->cursor, 0);
    EXPECT_EQ(b->length, 4);
    EXPECT_EQ(memcmp(b->data, "67\0\0", 4), 0);
    bcrop(b, -1, 2);
    EXPECT_EQ(b->length, 4);
    bcrop(b, 4, 2);
    EXPECT_EQ(b->length, 0);
    destroy_buffer(b);
}

TEST(Buffer, SizesPastTheLimitAreRefused) {
    buffer* b = create_buffer_2(15, 1);
    uint8_t* data = b->data;
    const char pad[64] = {};
    b->cursor = BUFFER_MAX_CAPACITY - 16;  // a position only a huge buffer reaches
    EXPECT_EQ(bwrite(pad, 1, 32, b), 0);
    b->cursor = BUFFER_MAX_CAPACITY - 1;
    EXPECT_EQ(bwrite_uint8(b, 1), 0);
    EXPECT_EQ(bwrite_uint8_as_hex(b, 1), 0);
    EXPECT_EQ(b->capacity, 16u);
    EXPECT_EQ(b->data, data);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->cursor, BUFFER_MAX_CAPACITY - 1);

    b->cursor = -4;  // never written in front of the data
    EXPECT_EQ(bwrite_uint8(b, 1), 0);
    EXPECT_EQ(bwrite_uint32(b, 1), 0);
    EXPECT_EQ(bread_uint8(b), 0);
    b->cursor = 0;

    EXPECT_EQ(ballocate(b, BUFFER_MAX_CAPACITY), 0);
    EXPECT_EQ(ballocate(b, INT64_MAX), 0);
    EXPECT_EQ(ballocate(b, -1), 0);
    b->length = BUFFER_MAX_CAPACITY - 8;  // appenders refuse from the end too
    EXPECT_EQ(bappend_str(b, "0123456789"), 0);
    EXPECT_EQ(bwrite_int64_as_hex(b, 1), 0);
    EXPECT_EQ(bappend_str_escaped(b, "\x01\x02\x03"), 0);
    EXPECT_EQ(b->cursor, 0);
    EXPECT_EQ(b->capacity, 16u);
    b->length = 0;
    destroy_buffer(b);
}

TEST(Buffer, FileLoad) {
    std::string path = temp_path("load");
    std::string want;
    for (int i = 0; i < 40000; i++) want += char('a' + i % 26);
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(want.data(), 1, want.size(), f);
    fclose(f);
    buffer* b = create_buffer_from_file(path.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->kind, BUFFER_KIND_FROM_FILE);
    EXPECT_EQ(text_of(b), want);
    EXPECT_EQ(b->cursor, 40000);
    EXPECT_EQ(b->capacity, 80002u);  // 4097, then 32770 and 80002 by the growth rule
    destroy_buffer(b);

    // A stream has no size to make the block from: it grows step by step to
    // the same capacity.
    std::string fifo = temp_path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FILE* w = fopen(fifo.c_str(), "wb");
        for (size_t i = 0; i < want.size(); i += 1000) {
            fwrite(want.data() + i, 1, 1000, w);
            fflush(w);
        }
        fclose(w);
    });
    b = create_buffer_from_file(fifo.c_str());
    writer.join();
    unlink(fifo.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(text_of(b), want);
    EXPECT_EQ(b->capacity, 80002u);
    destroy_buffer(b);

    f = fopen(path.c_str(), "wb");
    fclose(f);
    b = create_buffer_from_file_2(path.c_str(), CONFIG_BUFFER_KIND);  // as the configuration file is read
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->kind, CONFIG_BUFFER_KIND);
    EXPECT_EQ(b->capacity, 4097u);
    EXPECT_EQ(b->length, 0);
    destroy_buffer(b);

    // A sparse file past the limit is refused without reading it.
    ASSERT_EQ(truncate(path.c_str(), int64_t(BUFFER_MAX_CAPACITY) + 10), 0);
    uint32_t n0 = get_total_num_buffers();
    EXPECT_EQ(create_buffer_from_file(path.c_str()), nullptr);
    EXPECT_EQ(get_total_num_buffers(), n0);
    unlink(path.c_str());
    EXPECT_EQ(create_buffer_from_file(path.c_str()), nullptr);
    EXPECT_EQ(create_buffer_from_file(nullptr), nullptr);
}

}  // namespace
