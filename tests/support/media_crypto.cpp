#include "media_crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace relay_test {

bytes from_hex(const std::string& hex)
{
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const unsigned char* p, size_t n)
{
    std::string s;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        s += buf;
    }
    return s;
}

std::vector<char> as_key(const bytes& b)
{
    return std::vector<char>(b.begin(), b.end());
}

namespace {

const EVP_CIPHER* cipher_for(const bytes& key)
{
    if (key.size() == 16)
        return EVP_aes_128_gcm();
    if (key.size() == 32)
        return EVP_aes_256_gcm();
    throw std::invalid_argument("key size");
}

void make_nonce(uint32_t salt, const unsigned char* header, unsigned char* nonce)
{
    nonce[0] = static_cast<unsigned char>(salt >> 24);
    nonce[1] = static_cast<unsigned char>(salt >> 16);
    nonce[2] = static_cast<unsigned char>(salt >> 8);
    nonce[3] = static_cast<unsigned char>(salt);
    std::copy(header + 8, header + 16, nonce + 4);
}

}  // namespace

bytes evp_seal(const bytes& key, uint32_t salt, const unsigned char* header, const bytes& plaintext)
{
    unsigned char nonce[12];
    make_nonce(salt, header, nonce);
    bytes out(header, header + 16);
    out.resize(16 + plaintext.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, cipher_for(key), nullptr, key.data(), nonce);
    EVP_EncryptUpdate(ctx, nullptr, &len, header, 8);
    if (!plaintext.empty())
        EVP_EncryptUpdate(ctx, out.data() + 16, &len, plaintext.data(), static_cast<int>(plaintext.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + 16 + plaintext.size(), &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + 16 + plaintext.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

bool evp_open(const bytes& key, uint32_t salt, const bytes& d, bytes* plaintext)
{
    if (d.size() < 32)
        return false;
    const size_t n = d.size() - 32;
    unsigned char nonce[12];
    make_nonce(salt, d.data(), nonce);
    bytes pt(n + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_DecryptInit_ex(ctx, cipher_for(key), nullptr, key.data(), nonce);
    EVP_DecryptUpdate(ctx, nullptr, &len, d.data(), 8);
    if (n)
        EVP_DecryptUpdate(ctx, pt.data(), &len, d.data() + 16, static_cast<int>(n));
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<unsigned char*>(d.data() + 16 + n));
    const bool ok = EVP_DecryptFinal_ex(ctx, pt.data() + n, &len) > 0;
    EVP_CIPHER_CTX_free(ctx);
    if (ok && plaintext) {
        pt.resize(n);
        *plaintext = pt;
    }
    return ok;
}

}  // namespace relay_test
