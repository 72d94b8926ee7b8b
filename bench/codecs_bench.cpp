// Codec throughput beside its anchors: md5 against OpenSSL's MD5, and the
// streaming base64 codec against a plain whole-input table loop.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n) {
    std::vector<uint8_t> b(n);
    std::mt19937 rng(1);
    for (auto& c : b) c = (uint8_t)rng();
    return b;
}

void BM_md5(benchmark::State& st) {
    auto b = random_bytes((size_t)st.range(0));
    char out[MD5_HEX_SIZE];
    for (auto _ : st) {
        md5(b.data(), (int64_t)b.size(), out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_md5)->Arg(4096)->Arg(16 << 20);

void BM_openssl_md5(benchmark::State& st) {
    auto b = random_bytes((size_t)st.range(0));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    for (auto _ : st) {
        EVP_Digest(b.data(), b.size(), out, &len, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_openssl_md5)->Arg(4096)->Arg(16 << 20);

// The anchor: one table lookup per 6 bits over the whole input, no state.
const char plain_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

size_t plain_encode(const uint8_t* in, size_t n, char* out) {
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t w = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8 | in[i + 2];
        *o++ = plain_alphabet[w >> 18];
        *o++ = plain_alphabet[(w >> 12) & 63];
        *o++ = plain_alphabet[(w >> 6) & 63];
        *o++ = plain_alphabet[w & 63];
    }
    if (i < n) {
        uint32_t w = (uint32_t)in[i] << 16 | (i + 1 < n ? (uint32_t)in[i + 1] << 8 : 0);
        *o++ = plain_alphabet[w >> 18];
        *o++ = plain_alphabet[(w >> 12) & 63];
        *o++ = i + 1 < n ? plain_alphabet[(w >> 6) & 63] : '=';
        *o++ = '=';
    }
    return (size_t)(o - out);
}

size_t plain_decode(const char* in, size_t n, uint8_t* out) {
    static const std::vector<int> map = [] {
        std::vector<int> m(256, -1);
        for (int i = 0; i < 64; i++) m[(uint8_t)plain_alphabet[i]] = i;
        return m;
    }();
    uint8_t* o = out;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < n; i++) {
        int v = map[(uint8_t)in[i]];
        if (v < 0) continue;
        acc = acc << 6 | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            *o++ = (uint8_t)(acc >> bits);
        }
    }
    return (size_t)(o - out);
}

void BM_base64_encode(benchmark::State& st) {
    auto b = random_bytes((size_t)st.range(0));
    std::vector<char> out((size_t)base64_encode_bound((int64_t)b.size()));
    for (auto _ : st) {
        base64_encodestate s;
        base64_init_encodestate(&s);
        int64_t n = base64_encode_block(b.data(), (int64_t)b.size(), out.data(), &s);
        benchmark::DoNotOptimize(n + base64_encode_blockend(out.data() + n, &s));
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_base64_encode)->Arg(4096)->Arg(16 << 20);

void BM_plain_base64_encode(benchmark::State& st) {
    auto b = random_bytes((size_t)st.range(0));
    std::vector<char> out(b.size() / 3 * 4 + 4);
    for (auto _ : st) benchmark::DoNotOptimize(plain_encode(b.data(), b.size(), out.data()));
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_plain_base64_encode)->Arg(4096)->Arg(16 << 20);

// Decoding throughput counts the decoded bytes.
std::string encoded(size_t n) {
    auto b = random_bytes(n);
    std::string s(b.size() / 3 * 4 + 4, '\0');
    s.resize(plain_encode(b.data(), b.size(), s.data()));
    return s;
}

void BM_base64_decode(benchmark::State& st) {
    std::string s = encoded((size_t)st.range(0));
    std::vector<uint8_t> out((size_t)base64_decode_bound((int64_t)s.size()));
    for (auto _ : st) {
        base64_decodestate d;
        base64_init_decodestate(&d);
        benchmark::DoNotOptimize(base64_decode_block(s.data(), (int64_t)s.size(), out.data(), &d));
    }
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_base64_decode)->Arg(4096)->Arg(16 << 20);

void BM_plain_base64_decode(benchmark::State& st) {
    std::string s = encoded((size_t)st.range(0));
    std::vector<uint8_t> out(s.size());
    for (auto _ : st) benchmark::DoNotOptimize(plain_decode(s.data(), s.size(), out.data()));
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_plain_base64_decode)->Arg(4096)->Arg(16 << 20);

}  // namespace
