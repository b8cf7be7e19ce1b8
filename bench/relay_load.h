// Load generation for the relay benchmarks: datagrams sealed with OpenSSL
// EVP (independent of the engines under test), a paced or full-speed sender
// and a receiver that counts arrivals and one-way latency by sequence number.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace relay_load {

using bytes = std::vector<unsigned char>;
using clock_type = std::chrono::steady_clock;

inline int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now().time_since_epoch()).count();
}

struct Keys {
    bytes key;
    uint32_t salt = 0;
    uint32_t spi = 0;  // as printed; sent big-endian
};

// [4-byte clear header] SPI, sequence, IV, payload (zeros, encrypted), tag.
inline bytes seal(const Keys& k, uint32_t sequence, size_t payload, bool clear_header)
{
    bytes d(32 + payload, 0);
    const uint32_t words[4] = {htonl(k.spi), htonl(sequence), htonl(0x0a0b0c0du), htonl(sequence)};
    std::memcpy(d.data(), words, 16);
    unsigned char nonce[12] = {static_cast<unsigned char>(k.salt >> 24), static_cast<unsigned char>(k.salt >> 16),
                               static_cast<unsigned char>(k.salt >> 8), static_cast<unsigned char>(k.salt)};
    std::memcpy(nonce + 4, d.data() + 8, 8);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EVP_EncryptInit_ex(ctx, k.key.size() == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm(), nullptr, k.key.data(), nonce);
    EVP_EncryptUpdate(ctx, nullptr, &len, d.data(), 8);
    if (payload)
        EVP_EncryptUpdate(ctx, d.data() + 16, &len, d.data() + 16, static_cast<int>(payload));
    EVP_EncryptFinal_ex(ctx, d.data() + 16 + payload, &len);
    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, d.data() + 16 + payload);
    EVP_CIPHER_CTX_free(ctx);
    if (clear_header) {
        const unsigned char h[4] = {0x81, 0x44, 0x00, 0x00};
        d.insert(d.begin(), h, h + 4);
    }
    return d;
}

inline sockaddr_in make_addr(const std::string& ip, uint16_t port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1)
        throw std::runtime_error("no IPv4 address: " + ip);
    return a;
}

// A UDP socket bound to ip:port (0: any), with large buffers.
inline int open_socket(const std::string& ip, uint16_t port, int timeout_ms = 200)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int size = 16 << 20;
    // Forced sizes need privileges; the plain request is capped otherwise.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in a = make_addr(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot bind " + ip + ":" + std::to_string(port));
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

inline uint16_t local_port(int fd)
{
    sockaddr_in a;
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    return ntohs(a.sin_port);
}

struct Result {
    uint64_t sent = 0;
    uint64_t received = 0;
    double seconds = 0;          // first send to last arrival
    double p50_us = 0, p99_us = 0, p999_us = 0;
    double rate() const { return seconds > 0 ? received / seconds : 0; }
    double loss() const { return sent ? 1.0 - double(received) / double(sent) : 0; }
};

// Sends datagrams[i % size] count times (rate 0: full speed, else per
// second) from send_fd to target and receives on recv_fd until it is idle
// for the receive time-out. Latency is taken from the sequence number when
// every datagram sent is distinct (count <= size).
inline Result run(const std::vector<bytes>& datagrams, bool clear_header, int send_fd, const sockaddr_in& target,
                  int recv_fd, uint64_t count, double rate)
{
    Result r;
    const bool timed = count <= datagrams.size();
    std::vector<std::atomic<int64_t>> sent_at(timed ? count : 0);
    std::vector<int64_t> latencies;
    latencies.reserve(timed ? count : 0);
    std::atomic<bool> sending{true};
    int64_t first_send = 0, last_receive = 0;

    std::thread receiver([&] {
        unsigned char buf[4096];
        const size_t seq_at = clear_header ? 8 : 4;
        for (;;) {
            const ssize_t n = recv(recv_fd, buf, sizeof buf, 0);
            if (n < 0) {
                if (!sending.load())
                    break;
                continue;
            }
            const int64_t t = now_ns();
            last_receive = t;
            ++r.received;
            if (timed && static_cast<size_t>(n) >= seq_at + 4) {
                uint32_t seq;
                std::memcpy(&seq, buf + seq_at, 4);
                seq = ntohl(seq);
                if (seq < sent_at.size())
                    latencies.push_back(t - sent_at[seq].load(std::memory_order_relaxed));
            }
        }
    });

    first_send = now_ns();
    const double interval_ns = rate > 0 ? 1e9 / rate : 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (interval_ns > 0) {
            const int64_t due = first_send + static_cast<int64_t>(i * interval_ns);
            while (now_ns() < due) {
            }
        }
        const bytes& d = datagrams[i % datagrams.size()];
        if (timed)
            sent_at[i].store(now_ns(), std::memory_order_relaxed);
        while (sendto(send_fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0) {
        }
        ++r.sent;
    }
    sending.store(false);
    receiver.join();
    r.seconds = last_receive > first_send ? (last_receive - first_send) / 1e9 : 0;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, size_t(q * latencies.size()))] / 1e3; };
        r.p50_us = at(0.50);
        r.p99_us = at(0.99);
        r.p999_us = at(0.999);
    }
    return r;
}

}  // namespace relay_load
