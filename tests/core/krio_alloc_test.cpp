#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include "core/core.h"

namespace {

struct counters {
    uint32_t malloced = krio_total_malloced();
    uint32_t mallocs = krio_total_mallocs();
    uint32_t deallocs = krio_total_deallocs();
};

TEST(KrioAlloc, LimitsAndCounters) {
    counters c0;
    EXPECT_EQ(krio_malloc(0), nullptr);  // counted as a request
    EXPECT_EQ(krio_malloc(KRIO_MAX_ALLOC + 1), nullptr);  // not counted
    EXPECT_EQ(krio_malloc(0xFFFFFFFF), nullptr);
    EXPECT_EQ(krio_total_mallocs(), c0.mallocs + 1);
    EXPECT_EQ(krio_total_malloced(), c0.malloced);

    uint8_t* p = static_cast<uint8_t*>(krio_malloc(6));
    ASSERT_NE(p, nullptr);
    uint32_t header[2];
    memcpy(header, p - 8, 8);  // the header stands right before the payload
    EXPECT_EQ(header[0], KRIO_MAGIC_LIVE);
    EXPECT_EQ(header[1], 6u);
    EXPECT_EQ(krio_total_malloced(), c0.malloced + 6);
    memset(p, 0x11, 6);  // the whole payload is usable
    krio_free(p);
    krio_free(nullptr);  // not counted
    EXPECT_EQ(krio_total_deallocs(), c0.deallocs + 1);
    EXPECT_EQ(krio_total_malloced(), c0.malloced);
    EXPECT_EQ(krio_total_mallocs(), c0.mallocs + 2);
}

TEST(KrioAlloc, PoisonCoversWholeWordsOnly) {
    uint8_t six[8];
    memset(six, 0x55, sizeof six);
    krio_poison(six, 6);
    const uint8_t want[8] = {0xEF, 0xBE, 0xAD, 0xDE, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(memcmp(six, want, 8), 0);
    uint32_t words[3] = {1, 2, 3};
    krio_poison(words, 12);
    for (uint32_t w : words) EXPECT_EQ(w, KRIO_POISON);
}

TEST(KrioAlloc, Realloc) {
    counters c0;
    uint8_t* p = static_cast<uint8_t*>(krio_realloc(nullptr, 16));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(krio_total_mallocs(), c0.mallocs + 1);
    EXPECT_EQ(krio_total_malloced(), c0.malloced + 16);
    for (int i = 0; i < 16; i++) p[i] = uint8_t(i);

    p = static_cast<uint8_t*>(krio_realloc(p, 40));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(krio_total_malloced(), c0.malloced + 40);
    for (int i = 0; i < 16; i++) ASSERT_EQ(p[i], i);
    uint32_t size;
    memcpy(&size, p - 4, 4);
    EXPECT_EQ(size, 40u);

    // Refused sizes give none and leave the block whole and freeable.
    EXPECT_EQ(krio_realloc(p, 0xFFFFFFF9), nullptr);
    EXPECT_EQ(krio_realloc(p, KRIO_MAX_ALLOC + 1), nullptr);
    EXPECT_EQ(krio_total_malloced(), c0.malloced + 40);
    for (int i = 0; i < 16; i++) ASSERT_EQ(p[i], i);

    p = static_cast<uint8_t*>(krio_realloc(p, 4));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(krio_total_malloced(), c0.malloced + 4);
    EXPECT_EQ(p[3], 3);
    krio_free(p);
    EXPECT_EQ(krio_total_malloced(), c0.malloced);
    EXPECT_EQ(krio_total_mallocs(), c0.mallocs + 1);
}

// The report goes to stdout; the child sends it to stderr where the death
// test looks.
void stdout_to_stderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

TEST(KrioAllocDeath, BadHeaderStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A block whose header says it was freed already.
    uint32_t freed[4] = {KRIO_MAGIC_FREED, KRIO_SIZE_FREED, 0, 0};
    EXPECT_DEATH(
        {
            stdout_to_stderr();
            krio_free(freed + 2);
        },
        "krio_free fail abba00 cddc00");
    uint32_t foreign[4] = {0x12345678, 9, 0, 0};
    EXPECT_DEATH(
        {
            stdout_to_stderr();
            krio_free(foreign + 2);
        },
        "krio_free fail 12345678 9");
    EXPECT_DEATH(
        {
            stdout_to_stderr();
            krio_realloc(foreign + 2, 32);
        },
        "krio_realloc fail 12345678 9");
}

TEST(KrioAllocDeath, DoubleFree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            stdout_to_stderr();
            void* p = krio_malloc(64);
            krio_free(p);
            krio_free(p);
        },
        "krio_free fail abba00 cddc00");
}

}  // namespace
