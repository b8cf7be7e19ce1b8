// authenticate() per engine class and key size against OpenSSL EVP
// decrypt+verify of the same datagram done the fast way (cipher fetched
// once, context reused, only the IV set per call).
#include "AESGCM128_NI.h"
#include "AESGCM128_PLAIN.h"
#include "AESGCM256_NI.h"
#include "AESGCM256_PLAIN.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;
const int PAYLOADS[] = {0, 64, 200, 512, 1200, 2016};

struct Datagram {
    bytes key;
    uint32_t salt;
    bytes data;
};

Datagram make_datagram(size_t key_size, size_t payload)
{
    std::mt19937 rng(42);
    Datagram d;
    d.key.resize(key_size);
    for (auto& b : d.key)
        b = static_cast<unsigned char>(rng());
    d.salt = rng();
    d.data.assign(32 + payload, 0);
    for (size_t i = 0; i < 16 + payload; ++i)
        d.data[i] = static_cast<unsigned char>(rng());
    unsigned char nonce[12] = {static_cast<unsigned char>(d.salt >> 24), static_cast<unsigned char>(d.salt >> 16),
                               static_cast<unsigned char>(d.salt >> 8), static_cast<unsigned char>(d.salt)};
    std::memcpy(nonce + 4, d.data.data() + 8, 8);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, key_size == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm(), nullptr, d.key.data(), nonce);
    EVP_EncryptUpdate(ctx, nullptr, &len, d.data.data(), 8);
    if (payload)
        EVP_EncryptUpdate(ctx, d.data.data() + 16, &len, d.data.data() + 16, static_cast<int>(payload));
    EVP_EncryptFinal_ex(ctx, d.data.data() + 16 + payload, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, d.data.data() + 16 + payload);
    EVP_CIPHER_CTX_free(ctx);
    return d;
}

void set_counters(benchmark::State& state, size_t datagram_size)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * datagram_size));
    state.counters["datagrams"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void engine_bench(benchmark::State& state, std::function<vexa::AESGCM*(const unsigned char*, unsigned)> make,
                  size_t key_size)
{
    const Datagram d = make_datagram(key_size, static_cast<size_t>(state.range(0)));
    std::unique_ptr<vexa::AESGCM> engine(make(d.key.data(), d.salt));
    const unsigned len = static_cast<unsigned>(d.data.size());
    if (engine->authenticate(d.data.data(), len) != 0)
        state.SkipWithError("engine disagrees with EVP");
    for (auto _ : state)
        benchmark::DoNotOptimize(engine->authenticate(d.data.data(), len));
    set_counters(state, d.data.size());
}

void evp_bench(benchmark::State& state, size_t key_size)
{
    const Datagram d = make_datagram(key_size, static_cast<size_t>(state.range(0)));
    const size_t n = d.data.size() - 32;
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, key_size == 16 ? "AES-128-GCM" : "AES-256-GCM", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, cipher, nullptr, d.key.data(), nullptr);
    bytes out(n + 16);
    unsigned char nonce[12] = {static_cast<unsigned char>(d.salt >> 24), static_cast<unsigned char>(d.salt >> 16),
                               static_cast<unsigned char>(d.salt >> 8), static_cast<unsigned char>(d.salt)};
    unsigned char* tag = const_cast<unsigned char*>(d.data.data() + 16 + n);
    for (auto _ : state) {
        std::memcpy(nonce + 4, d.data.data() + 8, 8);
        int len = 0;
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce);
        EVP_DecryptUpdate(ctx, nullptr, &len, d.data.data(), 8);
        if (n)
            EVP_DecryptUpdate(ctx, out.data(), &len, d.data.data() + 16, static_cast<int>(n));
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
        const int ok = EVP_DecryptFinal_ex(ctx, out.data() + n, &len);
        if (ok <= 0)
            state.SkipWithError("EVP rejected the datagram");
        benchmark::DoNotOptimize(ok);
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    set_counters(state, d.data.size());
}

bool cpu_has_aes_ni()
{
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

int register_all()
{
    struct Kind {
        const char* name;
        size_t key_size;
        bool ni;
        std::function<vexa::AESGCM*(const unsigned char*, unsigned)> make;
    };
    const Kind kinds[] = {
        {"AESGCM128_NI", 16, true, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM128_NI(k, s); }},
        {"AESGCM256_NI", 32, true, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM256_NI(k, s); }},
        {"AESGCM128_PLAIN", 16, false, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM128_PLAIN(k, s); }},
        {"AESGCM256_PLAIN", 32, false, [](const unsigned char* k, unsigned s) -> vexa::AESGCM* { return new vexa::AESGCM256_PLAIN(k, s); }},
    };
    for (const Kind& k : kinds) {
        if (k.ni && !cpu_has_aes_ni())
            continue;
        auto* b = benchmark::RegisterBenchmark((std::string("authenticate/") + k.name).c_str(), engine_bench, k.make, k.key_size);
        for (int p : PAYLOADS)
            b->Arg(p);
    }
    for (size_t ks : {16, 32}) {
        auto* b = benchmark::RegisterBenchmark(ks == 16 ? "evp_decrypt_verify/AES-128-GCM" : "evp_decrypt_verify/AES-256-GCM",
                                               evp_bench, ks);
        for (int p : PAYLOADS)
            b->Arg(p);
    }
    return 0;
}

const int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
