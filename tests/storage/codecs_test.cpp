// MD5 against published digests, base64 against a bit-by-bit reference codec,
// and the host-text converter both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes of(const std::string& s) { return bytes(s.begin(), s.end()); }
bytes of(const char8_t* s) { return of(std::string((const char*)s)); }

std::string operator*(const std::string& s, int n) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
}

std::string md5_of(const std::string& s) {
    char out[MD5_HEX_SIZE];
    md5(s.data(), (int64_t)s.size(), out);
    return out;
}

TEST(Md5, PublishedDigestsAndBlockBoundaries) {
    struct row {
        std::string in, want;
    } rows[] = {
        // RFC 1321's test suite.
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {std::string("1234567890") * 8, "57edf4a22be3c955ac49da2e2107b67a"},
        // Lengths around the padding's one-or-two-block split (coreutils md5sum).
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
        {std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
    };
    for (const row& r : rows) EXPECT_EQ(md5_of(r.in), r.want) << r.in.size();
    char out[MD5_HEX_SIZE];
    md5("abc", -1, out);
    EXPECT_STREQ(out, "d41d8cd98f00b204e9800998ecf8427e");
}

// The reference codec works one bit at a time over the whole input.
const char* const ref_alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

std::string ref_encode(const bytes& in) {
    std::string out;
    size_t bits = in.size() * 8;
    for (size_t at = 0; at < bits; at += 6) {
        int v = 0;
        for (size_t k = at; k < at + 6; k++) v = v << 1 | (k < bits ? (in[k / 8] >> (7 - k % 8)) & 1 : 0);
        out += ref_alphabet[v];
    }
    while (out.size() % 4) out += '=';
    return out;
}

// Feeds the input in pieces of the given sizes (cycled).
std::string encode_in_pieces(const bytes& in, const std::vector<size_t>& pieces) {
    std::string out((size_t)base64_encode_bound((int64_t)in.size()), '\0');
    base64_encodestate st;
    base64_init_encodestate(&st);
    size_t at = 0, o = 0;
    for (size_t k = 0; at < in.size(); k++) {
        size_t n = std::min(pieces[k % pieces.size()], in.size() - at);
        o += (size_t)base64_encode_block(in.data() + at, (int64_t)n, &out[o], &st);
        at += n;
    }
    o += (size_t)base64_encode_blockend(&out[o], &st);
    EXPECT_LE(o, out.size());
    out.resize(o);
    return out;
}

bytes decode_in_pieces(const std::string& in, const std::vector<size_t>& pieces) {
    bytes out((size_t)base64_decode_bound((int64_t)in.size()));
    base64_decodestate st;
    base64_init_decodestate(&st);
    size_t at = 0, o = 0;
    for (size_t k = 0; at < in.size(); k++) {
        size_t n = std::min(pieces[k % pieces.size()], in.size() - at);
        o += (size_t)base64_decode_block(in.data() + at, (int64_t)n, out.data() + o, &st);
        at += n;
    }
    EXPECT_LE(o, out.size());
    out.resize(o);
    return out;
}

TEST(Base64, AlphabetEndsAndShortGroups) {
    struct row {
        bytes in;
        std::string want;
    } rows[] = {
        {of("abc"), "YWJj"},     {of("ab"), "YWI="},        {of("a"), "YQ=="},       {{0xFB, 0xFF}, "_-8="},
        {{0xFF, 0xFF, 0xFF}, "----"}, {{0x00, 0x01, 0x02}, "AAEC"}, {{}, ""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(encode_in_pieces(r.in, {r.in.size() + 1}), r.want);
        EXPECT_EQ(decode_in_pieces(r.want, {r.want.size() + 1}), r.in) << r.want;
    }
    EXPECT_EQ(base64_encode_value(62), '_');
    EXPECT_EQ(base64_encode_value(63), '-');
    EXPECT_EQ(base64_encode_value(64), '=');
    EXPECT_EQ(base64_encode_value(-1), '=');
    EXPECT_EQ(base64_decode_value('_'), 62);
    EXPECT_EQ(base64_decode_value('-'), 63);
    for (int c : {int('='), int('+'), int('/'), int(' '), int('\n'), 0, 255, 256, -1}) EXPECT_EQ(base64_decode_value(c), -1) << c;
}

TEST(Base64, PiecesAndForeignCharactersAgainstReference) {
    std::mt19937 rng(7);
    const char junk[] = "= \r\n\t+/.";
    for (int round = 0; round < 300; round++) {
        bytes in(rng() % 200);
        for (auto& b : in) b = (uint8_t)rng();
        std::string want = ref_encode(in);
        std::vector<size_t> pieces = {1 + rng() % 5, 1 + rng() % 70};
        ASSERT_EQ(encode_in_pieces(in, {1}), want);
        ASSERT_EQ(encode_in_pieces(in, pieces), want);
        // Foreign characters anywhere are skipped, and so is the padding.
        std::string noisy;
        for (char c : want) {
            while (rng() % 4 == 0) noisy += junk[rng() % (sizeof junk - 1)];
            noisy += c;
        }
        ASSERT_EQ(decode_in_pieces(noisy, pieces), in) << noisy;
        ASSERT_EQ(decode_in_pieces(noisy, {1}), in) << noisy;
    }
}

// Host text ------------------------------------------------------------------

bytes encode_text(const bytes& text) {
    std::string s(text.begin(), text.end());
    buffer* b = encode_host_text(s.c_str());
    EXPECT_NE(b, nullptr);
    if (!b) return {};
    EXPECT_EQ(b->kind, HOST_TEXT_BUFFER_KIND);
    bytes out(b->data, b->data + b->length);
    destroy_buffer(b);
    return out;
}

// The input is held at its exact size, so a read past it is caught.
bytes decode_text(const bytes& text) {
    auto held = std::make_unique<uint8_t[]>(text.size());
    std::copy(text.begin(), text.end(), held.get());
    buffer* b = decode_host_text_bytes(held.get(), (int64_t)text.size());
    EXPECT_NE(b, nullptr);
    if (!b) return {};
    bytes out(b->data, b->data + b->length);
    destroy_buffer(b);
    EXPECT_TRUE(std::equal(text.begin(), text.end(), held.get())) << "input written";
    return out;
}

TEST(HostText, EncodesByTheCharacterTable) {
    struct row {
        uint8_t code;
        const char8_t* want;
    } rows[] = {
        {1, u8"¹"},   {3, u8"³"},   {4, u8"⁴"},   {8, u8"⁸"},   {9, u8"\t"},  {10, u8"\n"}, {11, u8"ᵇ"},
        {13, u8"\r"}, {15, u8"ᶠ"},  {16, u8"▮"},  {26, u8"¥"},  {31, u8"゜"}, {32, u8" "},  {126, u8"~"},
        {127, u8"○"}, {128, u8"█"}, {130, u8"🐱"}, {131, u8"⬇️"}, {142, u8"🅾️"}, {149, u8"ˇ"}, {153, u8"▥"},
        {154, u8"あ"}, {203, u8"ょ"}, {204, u8"ア"}, {253, u8"ョ"}, {254, u8"◜"}, {255, u8"◝"},
    };
    for (const row& r : rows) EXPECT_EQ(encode_text({r.code}), of(r.want)) << int(r.code);
}

TEST(HostText, EveryCodeSurvivesEncodingAndDecoding) {
    bytes all, want;
    for (int c = 1; c < 256; c++) {
        all.push_back((uint8_t)c);
        if (c != 13) want.push_back((uint8_t)c);
        bytes one = decode_text(encode_text({(uint8_t)c}));
        EXPECT_EQ(one, c == 13 ? bytes{} : bytes{(uint8_t)c}) << c;
    }
    EXPECT_EQ(decode_text(encode_text(all)), want);
}

TEST(HostText, DecodingEdgeCases) {
    auto cat = [](std::initializer_list<bytes> parts) {
        bytes r;
        for (const bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
        return r;
    };
    struct row {
        const char* what;
        bytes in, want;
    } rows[] = {
        {"sans-serif italic letters", of(u8"𝘢𝘻"), of("AZ")},
        {"arrow without its selector", of(u8"x⬇y"), of(u8"x⬇y")},
        {"selector cut off at the end", of(u8"⬇\xEF\xB8"), of(u8"⬇\xEF\xB8")},
        {"carriage returns dropped", of("a\r\nb\r"), of("a\nb")},
        {"hiragana line", of(u8"ひらかな"), {0xB4, 0xC0, 0x9F, 0xAE}},
        {"UTF-8 mark", cat({{0xEF, 0xBB, 0xBF}, of("hi")}), of("hi")},
        {"UTF-16LE", {0xFF, 0xFE, 'h', 0, 'i', 0, '\r', 0, '\n', 0}, of("hi\n")},
        {"UTF-16BE", {0xFE, 0xFF, 0, 'h', 0, 'i'}, of("hi")},
        {"UTF-32LE", {0xFF, 0xFE, 0, 0, 'h', 0, 0, 0, 'i', 0, 0, 0}, of("hi")},
        {"UTF-32BE", {0, 0, 0xFE, 0xFF, 0, 0, 0, 'h', 0, 0, 0, 'i'}, of("hi")},
        {"bare UTF-16 mark", {0xFF, 0xFE}, {}},
        {"UTF-16 mark and a cut-off unit", {0xFF, 0xFE, 'h', 0, 'i'}, of("hi")},
        {"UTF-16BE ends in a high byte", {0xFE, 0xFF, 0, 'h', 0, 0xE9}, {'h', 0xE9}},
        // A cut-off lead byte after ASCII is left out; anything else is kept.
        {"cut-off lead byte", cat({of("ab"), {0xE3}}), of("ab")},
        {"cut-off four-byte lead", cat({of("ab"), {0xF0}}), of("ab")},
        {"lone continuation byte", cat({of("ab"), {0x82}}), {'a', 'b', 0x82}},
        {"single high byte", {0xE3}, {0xE3}},
        {"kana cut after two bytes", cat({of("a"), {0xE3, 0x81}}), {'a', 0xE3, 0x81}},
        {"four-byte glyph cut short", {0xF0, 0x9F, 0x90}, {0xF0, 0x9F, 0x90}},
    };
    for (const row& r : rows) EXPECT_EQ(decode_text(r.in), r.want) << r.what;

    EXPECT_EQ(decode_host_text(nullptr), nullptr);
    buffer* stored = create_buffer_from_str("ab\xE3");
    buffer* got = decode_host_text(stored);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->length, 2);
    EXPECT_EQ(stored->length, 3);  // the stored text keeps its last byte
    destroy_buffer(got);
    destroy_buffer(stored);
}

}  // namespace
