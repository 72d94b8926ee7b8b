// MD5 against published digests, base64 against a bit-by-bit reference codec,
// and the host-text converter both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

using std::string;

string s8(const char8_t* s) { return (const char*)s; }

TEST(Md5, PublishedDigestsAndBlockBoundaries) {
    string eighty;
    for (int i = 0; i < 8; i++) eighty += "1234567890";
    struct row {
        string in, want;
    } rows[] = {
        // RFC 1321's test suite.
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {eighty, "57edf4a22be3c955ac49da2e2107b67a"},
        // Lengths around the padding's one-or-two-block split (coreutils md5sum).
        {string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
    };
    char out[MD5_HEX_SIZE];
    for (const row& r : rows) {
        md5(r.in.data(), (int64_t)r.in.size(), out);
        EXPECT_EQ(out, r.want) << r.in.size();
    }
    md5("abc", -1, out);
    EXPECT_EQ(out, rows[0].want);
}

// The reference works one bit at a time over the whole input.
string ref_encode(const string& in) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
    string out;
    size_t bits = in.size() * 8;
    for (size_t at = 0; at < bits; at += 6) {
        int v = 0;
        for (size_t k = at; k < at + 6; k++) v = v << 1 | (k < bits ? ((uint8_t)in[k / 8] >> (7 - k % 8)) & 1 : 0);
        out += alphabet[v];
    }
    while (out.size() % 4) out += '=';
    return out;
}

// Runs one streaming text through the codec in pieces of the given sizes (cycled).
string base64(bool encode, const string& in, const std::vector<size_t>& pieces) {
    int64_t n = (int64_t)in.size();
    string out((size_t)(encode ? base64_encode_bound(n) : base64_decode_bound(n)), '\0');
    base64_encodestate es;
    base64_decodestate ds;
    base64_init_encodestate(&es);
    base64_init_decodestate(&ds);
    size_t o = 0;
    for (size_t at = 0, k = 0, len; at < in.size(); at += len, k++) {
        len = std::min(pieces[k % pieces.size()], in.size() - at);
        o += (size_t)(encode ? base64_encode_block((const uint8_t*)&in[at], (int64_t)len, &out[o], &es)
                             : base64_decode_block(&in[at], (int64_t)len, (uint8_t*)&out[o], &ds));
    }
    if (encode) o += (size_t)base64_encode_blockend(&out[o], &es);
    EXPECT_LE(o, out.size());
    out.resize(o);
    return out;
}

TEST(Base64, AlphabetEndsAndShortGroups) {
    struct row {
        string in, want;
    } rows[] = {{"abc", "YWJj"}, {"ab", "YWI="}, {"a", "YQ=="}, {"\xFB\xFF", "_-8="},
                {"\xFF\xFF\xFF", "----"}, {string("\0\1\2", 3), "AAEC"}, {"", ""}};
    for (const row& r : rows) {
        EXPECT_EQ(base64(true, r.in, {99}), r.want);
        EXPECT_EQ(base64(false, r.want, {99}), r.in) << r.want;
    }
    for (int v : {62, 63, 64, -1}) EXPECT_EQ(base64_decode_value(base64_encode_value(v)), v < 64 ? v : -1);
    for (int c : std::initializer_list<int>{'+', '/', ' ', 0, 255, 256, -1}) EXPECT_EQ(base64_decode_value(c), -1) << c;
}

TEST(Base64, PiecesAndForeignCharactersAgainstReference) {
    std::mt19937 rng(7);
    const char junk[] = "= \r\n\t+/.";
    for (int round = 0; round < 300; round++) {
        string in(rng() % 200, '\0');
        for (char& b : in) b = (char)rng();
        string want = ref_encode(in);
        std::vector<size_t> pieces = {1 + rng() % 5, 1 + rng() % 70};
        ASSERT_EQ(base64(true, in, {1}), want);
        ASSERT_EQ(base64(true, in, pieces), want);
        // Foreign characters anywhere are skipped, and so is the padding.
        string noisy;
        for (char c : want) {
            while (rng() % 4 == 0) noisy += junk[rng() % (sizeof junk - 1)];
            noisy += c;
        }
        ASSERT_EQ(base64(false, noisy, pieces), in) << noisy;
        ASSERT_EQ(base64(false, noisy, {1}), in) << noisy;
    }
}

// Host text ------------------------------------------------------------------

string take(buffer* b) {
    EXPECT_NE(b, nullptr);
    if (!b) return "";
    EXPECT_EQ(b->kind, HOST_TEXT_BUFFER_KIND);
    string s((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

string encode_text(const string& text) { return take(encode_host_text(text.c_str())); }

// The input is held at its exact size, so a read past it is caught.
string decode_text(const string& text) {
    auto held = std::make_unique<uint8_t[]>(text.size());
    std::copy(text.begin(), text.end(), held.get());
    string out = take(decode_host_text_bytes(held.get(), (int64_t)text.size()));
    EXPECT_EQ(memcmp(text.data(), held.get(), text.size()), 0) << "input written";
    return out;
}

TEST(HostText, EncodesByTheTableAndEveryCodeComesBack) {
    struct row {
        uint8_t code;
        const char8_t* want;
    } rows[] = {
        {1, u8"¹"},   {3, u8"³"},   {4, u8"⁴"},   {8, u8"⁸"},   {9, u8"\t"},  {10, u8"\n"}, {11, u8"ᵇ"},
        {13, u8"\r"}, {15, u8"ᶠ"},  {16, u8"▮"},  {26, u8"¥"},  {31, u8"゜"}, {32, u8" "},  {126, u8"~"},
        {127, u8"○"}, {128, u8"█"}, {130, u8"🐱"}, {131, u8"⬇️"}, {142, u8"🅾️"}, {149, u8"ˇ"}, {153, u8"▥"},
        {154, u8"あ"}, {203, u8"ょ"}, {204, u8"ア"}, {253, u8"ョ"}, {254, u8"◜"}, {255, u8"◝"},
    };
    for (const row& r : rows) EXPECT_EQ(encode_text(string(1, (char)r.code)), s8(r.want)) << int(r.code);
    string all, want;
    for (int c = 1; c < 256; c++) {
        string one(1, (char)c);
        all += one;
        want += c == 13 ? "" : one;
        EXPECT_EQ(decode_text(encode_text(one)), c == 13 ? "" : one) << c;
    }
    EXPECT_EQ(decode_text(encode_text(all)), want);
}

TEST(HostText, DecodingEdgeCases) {
    struct row {
        const char* what;
        string in, want;
    } rows[] = {
        {"sans-serif italic letters", s8(u8"𝘢𝘻"), "AZ"},
        {"arrow without its selector", s8(u8"x⬇y"), s8(u8"x⬇y")},
        {"carriage returns dropped", "a\r\nb\r", "a\nb"},
        {"hiragana line", s8(u8"ひらかな"), "\xB4\xC0\x9F\xAE"},
        {"UTF-8 mark", "\xEF\xBB\xBFhi", "hi"},
        {"UTF-16LE", {'\xFF', '\xFE', 'h', 0, 'i', 0, '\r', 0, '\n', 0}, "hi\n"},
        {"UTF-16BE", {'\xFE', '\xFF', 0, 'h', 0, 'i'}, "hi"},
        {"UTF-32LE", {'\xFF', '\xFE', 0, 0, 'h', 0, 0, 0, 'i', 0, 0, 0}, "hi"},
        {"UTF-32BE", {0, 0, '\xFE', '\xFF', 0, 0, 0, 'h', 0, 0, 0, 'i'}, "hi"},
        {"bare UTF-16 mark", "\xFF\xFE", ""},
        {"UTF-16BE ends in a high byte", {'\xFE', '\xFF', 0, 'h', 0, '\xE9'}, "h\xE9"},
        // A cut-off lead byte after ASCII is left out; anything else is kept.
        {"cut-off lead byte", "ab\xE3", "ab"},
        {"lone continuation byte", "ab\x82", "ab\x82"},
        {"four-byte glyph cut short", "\xF0\x9F\x90", "\xF0\x9F\x90"},
    };
    for (const row& r : rows) EXPECT_EQ(decode_text(r.in), r.want) << r.what;

    EXPECT_EQ(decode_host_text(nullptr), nullptr);
    buffer* stored = create_buffer_from_str("ab\xE3");
    EXPECT_EQ(take(decode_host_text(stored)), "ab");
    EXPECT_EQ(stored->length, 3);  // the stored text keeps its last byte
    destroy_buffer(stored);
}

// A fetched file: decoded only when it is well-formed UTF-8 or has a byte
// order mark, and then a carriage return goes only before a line feed; any
// other text is this system's own bytes and stays (none is returned).
TEST(HostText, FetchedFilesDecodeOnlyUnicode) {
    auto file = [](const string& in) {
        scoped_buffer b(create_buffer_2((int32_t)in.size() + 1, 1));
        bwrite(in.data(), 1, (int64_t)in.size(), b);
        buffer* out = decode_host_text_file(b);
        return out ? take(out) : "<bytes>";
    };
    struct row {
        const char* what;
        string in, want;
    } rows[] = {
        {"lone carriage returns kept", "a\rb\r\r\n", "a\rb\r\n"},
        {"kana", s8(u8"あ\r\n"), "\x9A\n"},
        {"8-bit text", "caf\xE9", "<bytes>"},
        {"cut-off character", "x\xE2\x82", "<bytes>"},
        {"overlong", "\xC0\x80", "<bytes>"},
        {"surrogate", "\xED\xA0\x80", "<bytes>"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "<bytes>"},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"UTF-16LE with a mark", {'\xFF', '\xFE', 'h', 0, '\r', 0, '\r', 0, '\n', 0}, "h\r\n"},
        {"UTF-8 mark before 8-bit bytes", "\xEF\xBB\xBF\xE9x", "\xE9x"},
        {"lowest three-byte form", "\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"overlong three-byte form", "\xE0\x9F\xBF", "<bytes>"},
        {"lead byte after a good character", "\xC3\xA9\xC3", "<bytes>"},
    };
    for (const row& r : rows) EXPECT_EQ(file(r.in), r.want) << r.what;
}

}  // namespace
