// CRC-32 and the "dst" delta: exact inner forms, round trips and hostile input.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes from(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes take(buffer* b) {
    bytes r;
    if (b) r.assign(b->data, b->data + b->length);
    destroy_buffer(b);
    return r;
}

uint32_t le32(const bytes& b, size_t at) {
    return (uint32_t)b[at] | ((uint32_t)b[at + 1] << 8) | ((uint32_t)b[at + 2] << 16) |
           ((uint32_t)b[at + 3] << 24);
}

void put32(bytes& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)(v >> (8 * i)));
}

bytes inner(const bytes& o, const bytes& n) {
    return take(generate_diff_inner(o.data(), (int64_t)o.size(), n.data(), (int64_t)n.size()));
}

bytes outer(const bytes& o, const bytes& n) {
    return take(generate_diff(o.data(), (int64_t)o.size(), n.data(), (int64_t)n.size()));
}

bool apply(const bytes& o, const bytes& d, bytes* out) {
    buffer* b = apply_diff(o.data(), (int64_t)o.size(), d.data(), (int64_t)d.size());
    if (!b) return false;
    *out = take(b);
    return true;
}

bytes random_bytes(std::mt19937& rng, size_t n) {
    bytes b(n);
    for (auto& c : b) c = (uint8_t)rng();
    return b;
}

TEST(Crc32, PublishedValuesAndEmpty) {
    EXPECT_EQ(crc32b("abc", 3), 0x352441C2u);
    EXPECT_EQ(crc32b("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32b("", 0), 0u);
    EXPECT_EQ(crc32b("abc", -1), 0u);
    EXPECT_EQ(crc32b(nullptr, 10), 0u);
}

TEST(Crc32, EqualToZlibOnRandomBuffers) {
    void* z = dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(z, nullptr) << "zlib is needed as the reference";
    using zcrc_fn = unsigned long (*)(unsigned long, const unsigned char*, unsigned int);
    auto zcrc = (zcrc_fn)dlsym(z, "crc32");
    ASSERT_NE(zcrc, nullptr);
    std::mt19937 rng(42);
    for (size_t n : {1u, 7u, 8u, 9u, 63u, 4096u, 100003u}) {
        bytes b = random_bytes(rng, n);
        for (size_t off = 0; off < 3 && off < n; off++) {
            uint32_t want = (uint32_t)zcrc(0, b.data() + off, (unsigned)(n - off));
            EXPECT_EQ(crc32b(b.data() + off, (int64_t)(n - off)), want) << n << "+" << off;
        }
        // Feeding in pieces gives the same value.
        uint32_t c = crc32b_update(0, b.data(), (int64_t)(n / 3));
        c = crc32b_update(c, b.data() + n / 3, (int64_t)(n - n / 3));
        EXPECT_EQ(c, (uint32_t)zcrc(0, b.data(), (unsigned)n));
    }
    dlclose(z);
}

TEST(DiffInner, EqualContentIsHeadEmptyLiteralAndOneCopy) {
    bytes o = from("identical content here");
    bytes d = inner(o, o);
    ASSERT_EQ(d.size(), 12u + 1 + 1 + 4);
    EXPECT_EQ(le32(d, 0), o.size());
    EXPECT_EQ(le32(d, 4), crc32b(o.data(), (int64_t)o.size()));
    EXPECT_EQ(le32(d, 8), crc32b(o.data(), (int64_t)o.size()));
    EXPECT_EQ(d[12], 0);          // empty literal run
    EXPECT_EQ(d[13], o.size());   // copy length
    EXPECT_EQ(le32(d, 14), 0u);   // from offset 0
}

TEST(DiffInner, EmptyNewIsTheHeadOnly) {
    bytes o = from("something old");
    bytes d = inner(o, {});
    ASSERT_EQ(d.size(), 12u);
    EXPECT_EQ(le32(d, 0), 0u);
    EXPECT_EQ(le32(d, 8), 0u);
    bytes out{1};
    ASSERT_TRUE(apply(o, d, &out));
    EXPECT_TRUE(out.empty());
    // Empty old and empty new: old CRC 0 too.
    d = inner({}, {});
    ASSERT_EQ(d.size(), 12u);
    EXPECT_EQ(le32(d, 4), 0u);
}

TEST(DiffInner, LiteralLengthsOf254And255) {
    std::mt19937 rng(5);
    for (uint32_t n : {254u, 255u}) {
        bytes nw = random_bytes(rng, n);
        bytes d = inner({}, nw);
        if (n == 254) {
            ASSERT_EQ(d.size(), 12u + 1 + n);
            EXPECT_EQ(d[12], 254);
        } else {
            ASSERT_EQ(d.size(), 12u + 5 + n);
            EXPECT_EQ(d[12], 255);
            EXPECT_EQ(le32(d, 13), 255u);
        }
        bytes out;
        ASSERT_TRUE(apply({}, d, &out));
        EXPECT_EQ(out, nw);
    }
}

TEST(DiffInner, CopyLengthsOf254And255) {
    std::mt19937 rng(6);
    for (uint32_t n : {254u, 255u}) {
        bytes o = random_bytes(rng, n);
        bytes d = inner(o, o);
        if (n == 254) {
            ASSERT_EQ(d.size(), 12u + 1 + 1 + 4);
            EXPECT_EQ(d[13], 254);
        } else {
            ASSERT_EQ(d.size(), 12u + 1 + 5 + 4);
            EXPECT_EQ(d[13], 255);
            EXPECT_EQ(le32(d, 14), 255u);
        }
    }
}

TEST(DiffInner, SevenByteMatchStaysLiteralEightBecomesCopy) {
    // Same-place matches: equal leading bytes, then different tails.
    bytes o7 = from("ABCDEFGxxxx"), n7 = from("ABCDEFGyyyy");
    bytes d = inner(o7, n7);
    ASSERT_EQ(d.size(), 12u + 1 + n7.size());  // one literal run, no copy
    EXPECT_EQ(d[12], n7.size());

    bytes o8 = from("ABCDEFGHxxx"), n8 = from("ABCDEFGHyyy");
    d = inner(o8, n8);
    ASSERT_EQ(d.size(), 12u + 1 + 1 + 4 + 1 + 3);
    EXPECT_EQ(d[12], 0);   // no literal before
    EXPECT_EQ(d[13], 8);   // copy of 8
    EXPECT_EQ(le32(d, 14), 0u);
    EXPECT_EQ(d[18], 3);   // final literal "yyy"
}

TEST(DiffOuter, FormAndRoundTrip) {
    bytes o = from(std::string(5000, 'a') + "middle" + std::string(5000, 'b'));
    bytes n = from(std::string(5000, 'a') + "MIDDLE!" + std::string(5000, 'b'));
    bytes d = outer(o, n);
    ASSERT_GE(d.size(), 8u);
    EXPECT_EQ(memcmp(d.data(), "dst", 4), 0);
    bytes in = inner(o, n);
    EXPECT_EQ(le32(d, 4), in.size());
    bytes out;
    ASSERT_TRUE(apply(o, d, &out));
    EXPECT_EQ(out, n);
    ASSERT_TRUE(apply(o, in, &out));  // the inner form is accepted as it is
    EXPECT_EQ(out, n);
}

TEST(DiffApply, WrongOldContentFailsBeforeBuilding) {
    bytes o = from("the old text of the file"), n = from("the new text of the file!");
    bytes other = from("the old text of the filf");
    bytes out;
    EXPECT_FALSE(apply(other, outer(o, n), &out));
    EXPECT_FALSE(apply(other, inner(o, n), &out));
}

// A delta with a correct head but records that build something else: the
// result must not be handed out as the new file.
TEST(DiffApply, ResultCheckedAgainstNewCrcAndLength) {
    bytes o = from("0123456789abcdef"), n = from("0123456789ABCDEF");
    bytes d = inner(o, n);
    bytes out;
    ASSERT_TRUE(apply(o, d, &out));
    bytes bad = d;
    bad.back() ^= 1;  // a literal byte
    EXPECT_FALSE(apply(o, bad, &out));
    bad = d;
    bad[0] += 1;  // stated length one more than built
    EXPECT_FALSE(apply(o, bad, &out));
    // A copy from outside the old content.
    bytes hostile;
    put32(hostile, 8);
    put32(hostile, crc32b(o.data(), (int64_t)o.size()));
    put32(hostile, 0);
    hostile.push_back(0);
    hostile.push_back(8);
    put32(hostile, (uint32_t)o.size() - 4);
    EXPECT_FALSE(apply(o, hostile, &out));
}

TEST(DiffApply, CorruptAndOversizedDeltasAreRefused) {
    bytes o = from("old content that is long enough");
    uint32_t oc = crc32b(o.data(), (int64_t)o.size());
    bytes out;
    // Shorter than a head, a cut literal length, a literal past the end.
    for (size_t cut = 0; cut < 12; cut++) EXPECT_FALSE(apply(o, bytes(cut, 0), &out));
    bytes h;
    put32(h, 100);
    put32(h, oc);
    put32(h, 0);
    bytes cut_len = h;
    cut_len.push_back(255);
    cut_len.push_back(1);
    EXPECT_FALSE(apply(o, cut_len, &out));
    bytes past = h;
    past.push_back(50);
    past.insert(past.end(), 10, 'x');
    EXPECT_FALSE(apply(o, past, &out));

    // Copy records that repeat the old text far beyond the stated length.
    bytes bomb;
    put32(bomb, 0xFFFFFFF0u);
    put32(bomb, oc);
    put32(bomb, 0);
    EXPECT_FALSE(apply(o, bomb, &out));
    bytes repeat;
    put32(repeat, 16);
    put32(repeat, oc);
    put32(repeat, 0);
    for (int i = 0; i < 100; i++) {
        repeat.push_back(0);
        repeat.push_back(8);
        put32(repeat, 0);
    }
    EXPECT_FALSE(apply(o, repeat, &out));

    // Outer forms: a claimed inner length beyond what the block can hold, a
    // block that does not decompress, a head alone.
    bytes o1 = {'d', 's', 't', 0};
    put32(o1, 0x7FFFFFFF);
    o1.insert(o1.end(), 16, 0);
    EXPECT_FALSE(apply(o, o1, &out));
    bytes o2 = {'d', 's', 't', 0};
    put32(o2, 64);
    o2.insert(o2.end(), {0xF0, 0xFF, 0xFF, 0xFF, 1, 2, 3});
    EXPECT_FALSE(apply(o, o2, &out));
    bytes o3 = {'d', 's', 't', 0};
    EXPECT_FALSE(apply(o, o3, &out));
    bytes o4 = {'d', 's', 't', 0, 0, 0, 0, 0};
    EXPECT_FALSE(apply(o, o4, &out));
}

// Random edit scripts: insertions, deletions and moved blocks.
TEST(DiffProperty, RoundTripsOfRandomEdits) {
    std::mt19937 rng(1234);
    std::vector<size_t> sizes = {0, 1, 7, 31, 32, 100, 4096, 40000, 300000, 2 * 1024 * 1024};
    for (size_t size : sizes) {
        for (int trial = 0; trial < (size > 100000 ? 2 : 8); trial++) {
            bytes o = random_bytes(rng, size);
            if (trial % 2) {
                for (auto& c : o) c = (uint8_t)('a' + c % 4);  // repetitive text
            }
            bytes n = o;
            int edits = 1 + rng() % 10;
            for (int e = 0; e < edits; e++) {
                int kind = rng() % 3;
                size_t at = n.empty() ? 0 : rng() % n.size();
                size_t len = rng() % 300;
                if (kind == 0) {
                    bytes ins = random_bytes(rng, len);
                    n.insert(n.begin() + at, ins.begin(), ins.end());
                } else if (kind == 1) {
                    len = std::min(len, n.size() - at);
                    n.erase(n.begin() + at, n.begin() + at + len);
                } else if (n.size() > 2) {
                    len = std::min(len, n.size() - at);
                    bytes block(n.begin() + at, n.begin() + at + len);
                    n.erase(n.begin() + at, n.begin() + at + len);
                    size_t to = n.empty() ? 0 : rng() % n.size();
                    n.insert(n.begin() + to, block.begin(), block.end());
                }
            }
            bytes d = outer(o, n);
            ASSERT_FALSE(d.empty());
            bytes out;
            ASSERT_TRUE(apply(o, d, &out)) << size << "/" << trial;
            ASSERT_EQ(out, n) << size << "/" << trial;
            // Random content keeps most of its length as copies; the
            // repetitive text defeats the sparse table and only has to round-trip.
            if (size >= 40000 && trial % 2 == 0) {
                EXPECT_LT(d.size(), n.size() / 2 + 64) << size << "/" << trial;
            }
        }
    }
}

TEST(DiffGenerate, RefusesContentOverTheCap) {
    uint8_t one = 1;
    EXPECT_EQ(generate_diff(&one, DIFF_MAX_CONTENT + 1, &one, 1), nullptr);
    EXPECT_EQ(generate_diff(&one, 1, &one, -1), nullptr);
}

// Buffer accounting counts by kind tag: a storage tag shared with another
// kind would merge their counts.
TEST(BufferKinds, StorageTagsAreTheirOwn) {
    const int kinds[] = {DAT_BLOCK_KIND, CONFIG_BUFFER_KIND, MESSAGE_SEND_KIND, MESSAGE_QUEUE_KIND,
                         BUFFER_KIND_ESCAPED, BUFFER_KIND_LINE, BUFFER_KIND_FROM_STR, BUFFER_KIND_FROM_BUFFER,
                         BUFFER_KIND_FROM_FILE, RESOLVE_BUFFER_KIND, MOUNT_RAM_BUFFER_KIND, COLLAPSE_BUFFER_KIND,
                         PFILE_DATA_KIND, ROM_SCRATCH_KIND, DIFF_BUFFER_KIND, HTABLE_BUFFER_KIND};
    std::set<int> seen;
    for (int k : kinds) {
        EXPECT_TRUE(k > 0 && k < BUFFER_KINDS) << k;
        EXPECT_TRUE(seen.insert(k).second) << "kind " << k << " used twice";
    }
    // A diff's buffers are counted under the diff's own tag.
    uint8_t a[64] = {1, 2, 3}, b[64] = {1, 2, 4};
    buffer* d = generate_diff(a, sizeof a, b, sizeof b);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->kind, DIFF_BUFFER_KIND);
    destroy_buffer(d);
}

}  // namespace
