// MurmurHash3 vectors and the string hash table against std::unordered_map.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/storage.h"

namespace {

using hash_fn = void (*)(const void*, int32_t, uint32_t, void*);

// The published verification: hash keys of 0..255 bytes (key[i] = i) with
// seed 256 - length, hash the concatenated results with seed 0, read LE.
uint32_t verification(hash_fn fn, int hashbytes) {
    uint8_t key[256];
    std::vector<uint8_t> hashes(256 * hashbytes);
    for (int i = 0; i < 256; i++) {
        key[i] = (uint8_t)i;
        fn(key, i, 256 - i, &hashes[i * hashbytes]);
    }
    uint8_t final_hash[16];
    fn(hashes.data(), 256 * hashbytes, 0, final_hash);
    return (uint32_t)final_hash[0] | ((uint32_t)final_hash[1] << 8) | ((uint32_t)final_hash[2] << 16) |
           ((uint32_t)final_hash[3] << 24);
}

std::string hex16(const uint8_t* h) {
    std::string s;
    char tmp[3];
    for (int i = 0; i < 16; i++) {
        snprintf(tmp, sizeof tmp, "%02x", h[i]);
        s += tmp;
    }
    return s;
}

TEST(Mmh3, VerificationValuesOfAllThreeVariants) {
    EXPECT_EQ(verification(murmurhash3_x86_32, 4), 0xB0F57EE3u);
    EXPECT_EQ(verification(murmurhash3_x86_128, 16), 0xB3ECE62Au);
    EXPECT_EQ(verification(murmurhash3_x64_128, 16), 0x6384BA69u);
}

TEST(Mmh3, X86_32KnownVectors) {
    EXPECT_EQ(mmh3_x86_32("", 0, 0), 0u);
    EXPECT_EQ(mmh3_x86_32("", 0, 1), 0x514e28b7u);
    EXPECT_EQ(mmh3_x86_32("", 0, 0xFFFFFFFFu), 0x81f16f39u);
    const uint8_t zeros[4] = {0, 0, 0, 0};
    EXPECT_EQ(mmh3_x86_32(zeros, 4, 0), 0x2362f9deu);
    EXPECT_EQ(mmh3_x86_32("Hello, world!", 13, 0x9747b28cu), 0x24884cbau);
    // A negative count hashes nothing rather than reading wild memory.
    EXPECT_EQ(mmh3_x86_32("abc", -5, 0), 0u);
}

TEST(Mmh3, X64_128AsBlobNames) {
    uint8_t h[16];
    murmurhash3_x64_128("", 0, 0, h);
    EXPECT_EQ(hex16(h), std::string(32, '0'));
    murmurhash3_x64_128("abc", 3, 0, h);
    EXPECT_EQ(hex16(h), "6778ad3f3f3f96b4522dca264174a23b");
    murmurhash3_x64_128("hello", 5, 0, h);
    EXPECT_EQ(hex16(h), "029bbd41b3a7d8cb191dae486a901e5b");
}

TEST(Htable, CapacityMustBeAPowerOfTwo) {
    EXPECT_EQ(create_htable(3), nullptr);
    EXPECT_EQ(create_htable(0), nullptr);
    EXPECT_EQ(create_htable(96), nullptr);
    htable* t = create_htable(1);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(htable_insert_str(t, "a", "1"), 0);
    // One slot: every other key probes the same slot.
    EXPECT_EQ(htable_insert_str(t, "b", "2"), 1);
    EXPECT_STREQ(htable_get(t, "a", nullptr), "1");
    EXPECT_EQ(htable_get(t, "b", nullptr), nullptr);
    destroy_htable(t);
    destroy_htable(nullptr);
}

TEST(Htable, ReplaceValuelessKeysAndBinaryValues) {
    htable* t = create_htable(64);
    ASSERT_NE(t, nullptr);
    int32_t len = -1;
    EXPECT_EQ(htable_get(t, "missing", &len), nullptr);
    EXPECT_EQ(len, 0);

    EXPECT_EQ(htable_insert_str(t, "k", "first"), 0);
    EXPECT_EQ(htable_insert_str(t, "k", "second value"), 0);
    EXPECT_EQ(t->count, 1u);
    EXPECT_STREQ(htable_get(t, "k", &len), "second value");
    EXPECT_EQ(len, 12);

    EXPECT_EQ(htable_insert(t, "flag", nullptr, 99), 0);
    EXPECT_STREQ(htable_get(t, "flag", &len), "true");
    EXPECT_EQ(len, 4);
    // Storing no value over a value makes it valueless too.
    EXPECT_EQ(htable_insert(t, "k", nullptr, 0), 0);
    EXPECT_STREQ(htable_get(t, "k", &len), "true");

    const char bin[5] = {'a', 0, 'b', 0, 'c'};
    EXPECT_EQ(htable_insert(t, "bin", bin, 5), 0);
    const char* v = htable_get(t, "bin", &len);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(memcmp(v, bin, 5), 0);
    EXPECT_EQ(v[5], 0);

    EXPECT_EQ(htable_insert(t, "neg", "x", -1), 1);
    EXPECT_EQ(htable_get(t, "neg", nullptr), nullptr);
    destroy_htable(t);
}

TEST(Htable, KeysSurviveBufferGrowthAndDeletionKeepsChains) {
    htable* t = create_htable(1024);
    ASSERT_NE(t, nullptr);
    uint8_t* first_storage = t->key_buf->data;
    for (int i = 0; i < 600; i++) {
        std::string k = "key-" + std::to_string(i) + std::string(40, 'x');
        ASSERT_EQ(htable_insert_str(t, k.c_str(), std::to_string(i * 7).c_str()), 0);
    }
    EXPECT_NE(t->key_buf->data, first_storage);  // storage moved at least once
    for (int i = 0; i < 600; i++) {
        std::string k = "key-" + std::to_string(i) + std::string(40, 'x');
        const char* v = htable_get(t, k.c_str(), nullptr);
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(std::string(v), std::to_string(i * 7));
    }

    // Two keys on one probe run: deleting the first must not hide the second.
    htable* s = create_htable(16);
    std::vector<std::string> same;
    uint32_t start = htable_hash("a") & 15;
    for (int i = 0; same.size() < 2 && i < 10000; i++) {
        std::string k = "k" + std::to_string(i);
        if ((htable_hash(k.c_str()) & 15) == start) same.push_back(k);
    }
    ASSERT_EQ(same.size(), 2u);
    ASSERT_EQ(htable_insert_str(s, same[0].c_str(), "one"), 0);
    ASSERT_EQ(htable_insert_str(s, same[1].c_str(), "two"), 0);
    EXPECT_EQ(htable_delete(s, same[0].c_str()), 1);
    EXPECT_EQ(htable_delete(s, same[0].c_str()), 0);
    EXPECT_STREQ(htable_get(s, same[1].c_str(), nullptr), "two");
    EXPECT_EQ(s->count, 1u);
    destroy_htable(s);
    destroy_htable(t);
}

TEST(Htable, HashOfSignedBytes) {
    EXPECT_EQ(htable_hash(""), 0x5EB1A37Cu);
    // One step by hand: b = -1 (byte 0xFF).
    uint32_t h = 0x5EB1A37Cu;
    uint32_t t = 0xFFFFFFFFu * (h ^ 0xF1378C35u);
    uint32_t want = (uint32_t)((int32_t)t >> 15) ^ t;
    EXPECT_EQ(htable_hash("\xff"), want);
    EXPECT_NE(htable_hash("\xff"), htable_hash("\x7f"));
}

// Random operations mirrored on std::unordered_map. An insert may only fail
// when all 32 probe slots of a new key are taken.
class HtableRandom : public ::testing::TestWithParam<uint32_t> {};

bool all_probes_taken(const htable* t, const std::string& key) {
    uint32_t mask = t->capacity - 1;
    uint32_t i = htable_hash(key.c_str()) & mask;
    uint32_t step = (i & 31) + 1;
    for (int n = 0; n < 32; n++) {
        if (!t->keys[i]) return false;
        i = (i + step) & mask;
    }
    return true;
}

TEST_P(HtableRandom, MatchesUnorderedMap) {
    uint32_t cap = GetParam();
    htable* t = create_htable(cap);
    ASSERT_NE(t, nullptr);
    std::unordered_map<std::string, std::string> ref;
    std::mt19937 rng(cap * 31 + 7);
    int keyspace = (int)cap + cap / 2;
    int failures = 0;
    for (int op = 0; op < 20000; op++) {
        int r = rng() % 10;
        std::string key = "p/" + std::to_string(rng() % keyspace);
        if (rng() % 4 == 0) key += "\xc3\xa9\x80\xff";  // high bytes hash as negative
        if (r < 5) {
            std::string val(rng() % 20, 'v');
            for (auto& c : val) c = (char)(rng() % 256);
            bool is_new = !ref.count(key);
            bool full = is_new && all_probes_taken(t, key);
            int res = htable_insert(t, key.c_str(), val.data(), (int32_t)val.size());
            ASSERT_EQ(res, full ? 1 : 0);
            if (res == 0) ref[key] = val;
            failures += res;
        } else if (r < 7) {
            EXPECT_EQ(htable_delete(t, key.c_str()), (int)ref.erase(key));
        } else {
            int32_t len;
            const char* v = htable_get(t, key.c_str(), &len);
            auto it = ref.find(key);
            if (it == ref.end()) {
                EXPECT_EQ(v, nullptr);
            } else {
                ASSERT_NE(v, nullptr);
                EXPECT_EQ(std::string(v, len), it->second);
            }
        }
        ASSERT_EQ(t->count, ref.size());
    }
    for (auto& [k, v] : ref) {
        int32_t len;
        const char* got = htable_get(t, k.c_str(), &len);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::string(got, len), v);
    }
    destroy_htable(t);
}

INSTANTIATE_TEST_SUITE_P(Capacities, HtableRandom, ::testing::Values(64u, 1024u, 65536u));

}  // namespace
