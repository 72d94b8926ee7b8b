// Command line, sysrom.dat block table.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

void parse(std::vector<std::string> args) {
    config_set_defaults();
    std::vector<char*> argv;
    static std::string prog = "halvoran";
    argv.push_back(prog.data());
    for (auto& a : args) argv.push_back(a.data());
    process_arguments((int)argv.size(), argv.data());
}

std::string be32(uint32_t n) {
    return std::string{(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n};
}

TEST(Arguments, PrefixMatchAndStopCharacters) {
    parse({"-x"});
    EXPECT_EQ(config.headless, 1);
    parse({"-xfoo"});
    EXPECT_EQ(config.headless, 1);
    parse({"-display", "2", "|", "tee"});
    EXPECT_EQ(config.display, 2);
    EXPECT_STREQ(config.run_path, "");  // parsing stopped at the bar
    parse({"-display", "7", "&", "-x"});
    EXPECT_EQ(config.display, 7);
    EXPECT_EQ(config.headless, 0);
    parse({">out", "-x"});
    EXPECT_EQ(config.headless, 0);
    parse({"-use_system_rom_please"});
    EXPECT_EQ(config.use_system_rom, 1);
}

TEST(Arguments, UnknownOptionSwallowsOneValue) {
    hvx_test::scratch_dir d;
    std::string home = d / "h";
    parse({"-nosuch", "value", "-home", home});
    EXPECT_EQ(std::string(config.home), home);
    EXPECT_STREQ(config.run_path, "");
    struct stat st;
    ASSERT_EQ(stat(home.c_str(), &st), 0);  // created, one level, private
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // An option right after an unknown one is still an option.
    parse({"-nosuch", "-x", "cart.hvx"});
    EXPECT_EQ(config.headless, 1);
    EXPECT_STREQ(config.run_path, "cart.hvx");
}

TEST(Arguments, ValuesAndPending) {
    parse({"-home"});
    EXPECT_STREQ(config.home, "");
    EXPECT_EQ(config.display, -1);
    parse({"-display", "-x"});  // a value option followed by an option takes no value
    EXPECT_EQ(config.display, -1);
    EXPECT_EQ(config.headless, 1);
    parse({"-display", "abc"});
    EXPECT_EQ(config.display, -1);
    parse({"-user_id", "u1", "-username", "zed", "-session_token", "tok", "run.hvx"});
    EXPECT_STREQ(config.user_id, "u1");
    EXPECT_STREQ(config.username, "zed");
    EXPECT_STREQ(config.session_token, "tok");
    EXPECT_STREQ(config.run_path, "run.hvx");
}

TEST(Arguments, OverlongValuesAreCutToTheirFields) {
    std::string name(5000, 'n'), path(5000, 'p');
    parse({"-username", name, "-user_id", name, "-session_token", name, path});
    EXPECT_EQ(strlen(config.username), HVX_NAME_MAX - 1);
    EXPECT_EQ(strlen(config.user_id), HVX_NAME_MAX - 1);
    EXPECT_EQ(strlen(config.session_token), HVX_NAME_MAX - 1);
    EXPECT_EQ(strlen(config.run_path), HVX_PATH_MAX - 1);
    hvx_test::scratch_dir d;
    std::string home = d / std::string(3000, 'h');
    parse({"-home", home});
    EXPECT_EQ(strlen(config.home), HVX_PATH_MAX - 1);
}

TEST(DatBlocks, ReadsBlocksInOrder) {
    std::string bytes = hvx_test::dat_bytes({"test", std::string(1000, 'r'), "", be32(1)});
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    ASSERT_EQ(get_dat_file_count(), 4);
    buffer* b0 = get_dat_file(0);
    EXPECT_EQ(b0->length, 4);
    EXPECT_EQ(b0->kind, DAT_BLOCK_KIND);
    EXPECT_EQ(b0->capacity, 4u + 8);
    EXPECT_EQ(memcmp(b0->data, "test", 4), 0);
    EXPECT_EQ(get_dat_file(1)->length, 1000);
    EXPECT_EQ(get_dat_file(2)->length, 0);
    EXPECT_EQ(dat_flags_word(), 1u);
    EXPECT_EQ(get_dat_file(4), nullptr);
    EXPECT_EQ(get_dat_file(-1), nullptr);
    // get_dat_file rewinds the cursor.
    get_dat_file(1)->cursor = 50;
    EXPECT_EQ(get_dat_file(1)->cursor, 0);
}

TEST(DatBlocks, TruncatedBlockIsKeptEmptyAndEndsTheRun) {
    std::string bytes = hvx_test::dat_bytes({"a"}) + be32(10) + "abc";
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    ASSERT_EQ(get_dat_file_count(), 2);
    EXPECT_EQ(get_dat_file(1)->length, 0);
    // Fewer than 4 bytes left for a length: the run ends without a block.
    bytes = hvx_test::dat_bytes({"a"}) + "\x00\x00";
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(get_dat_file_count(), 1);
}

TEST(DatBlocks, OverlongLengthStopsReading) {
    std::string bytes = hvx_test::dat_bytes({"a", "b"}) + be32(DAT_MAX_BLOCK_LEN + 1) + "xyz";
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(get_dat_file_count(), 2);
    bytes = be32(0xFFFFFFFF);
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(get_dat_file_count(), 0);
}

TEST(DatBlocks, TableHoldsSixtyFourBlocks) {
    std::vector<std::string> blocks;
    for (int i = 0; i < 65; i++) blocks.push_back(std::string(1, (char)('A' + i % 26)));
    std::string bytes = hvx_test::dat_bytes(blocks);
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(get_dat_file_count(), DAT_MAX_BLOCKS);
    EXPECT_EQ(get_dat_file(63)->data[0], 'A' + 63 % 26);
}

TEST(DatBlocks, FlagsWordOfAShortBlockIsZero) {
    std::string bytes = hvx_test::dat_bytes({"a", "b", "c", "\x01\x02"});
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(dat_flags_word(), 0u);
    bytes = hvx_test::dat_bytes({"a", "b", "c", be32(0x80000003)});
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(dat_flags_word(), 0x80000003u);
    bytes = hvx_test::dat_bytes({"a", "b", "c"});
    set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
    EXPECT_EQ(dat_flags_word(), 0u);
}

TEST(DatBlocks, GarbageNeverReadsPastTheInput) {
    // Random bytes interpreted as blocks: whatever is stored lies inside the input.
    uint32_t seed = 12345;
    for (int round = 0; round < 200; round++) {
        std::string bytes;
        size_t n = seed % 300;
        for (size_t i = 0; i < n; i++) {
            seed = seed * 1103515245 + 12345;
            // Small lengths often enough that blocks are actually formed.
            bytes += (char)((i % 4 < 3 && seed & 0x100) ? 0 : seed >> 16);
        }
        set_dat_blocks((const uint8_t*)bytes.data(), bytes.size());
        size_t total = 0;
        for (int i = 0; i < get_dat_file_count(); i++) total += 4 + (size_t)get_dat_file(i)->length;
        EXPECT_LE(total, bytes.size());
    }
    set_dat_blocks(nullptr, 0);
    EXPECT_EQ(get_dat_file_count(), 0);
}

TEST(DatBlocks, WriterMatchesTheReader) {
    buffer* out = create_buffer_2(0, 'd');
    bwrite_dat_block(out, (const uint8_t*)"name", 4);
    bwrite_dat_block(out, (const uint8_t*)"", 0);
    set_dat_blocks(out->data, (size_t)out->length);
    ASSERT_EQ(get_dat_file_count(), 2);
    EXPECT_EQ(get_dat_file(0)->length, 4);
    EXPECT_EQ(get_dat_file(1)->length, 0);
    destroy_buffer(out);
}

}  // namespace
