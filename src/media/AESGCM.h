// The AES-GCM engine of one tunnel direction: checks the 16-byte tag of a
// media datagram (SPI, sequence number, 8-byte IV, payload, tag) and builds or
// opens datagrams of the same layout. GCM with a 96-bit nonce made of the salt
// and the datagram's IV, 8 bytes of additional data (SPI and sequence number).
//
// Threads: no lock. authenticate() of the NI family writes nothing; the table
// family writes its counter and output blocks, so one engine serves one call
// at a time. A rekey replaces the engine whole instead of changing it.
#pragma once

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <vector>

namespace vexa {

class AESGCM {
public:
    static constexpr unsigned int HEADER_SIZE = 16;
    static constexpr unsigned int TAG_SIZE = 16;

    // 16-byte key: AES-128, 32-byte key: AES-256; the instruction family when
    // the processor has it, else the table family. Throws std::runtime_error
    // for any other key size.
    static boost::shared_ptr<AESGCM> create(const std::vector<char>& key, unsigned int salt);

    virtual ~AESGCM();

    // 0 when the tag at offset length - 16 matches, else 1 (also for a
    // datagram shorter than 32 bytes, which is not read). Never writes.
    virtual int authenticate(const unsigned char* packet, unsigned int length) = 0;
    // Plaintext at offset 16, *length = 16 + N on entry; the buffer must hold
    // *length + 16 bytes. Writes the header, encrypts in place, appends the
    // tag; *length becomes 32 + N. 1 when *length < 16.
    virtual int encrypt(const unsigned char* buffer, unsigned int* length) = 0;
    // Verifies first; on a match writes the N plaintext bytes at offset 0 and
    // sets *length = N. On failure buffer and *length are left unchanged.
    virtual int decrypt(const unsigned char* buffer, unsigned int* length) = 0;

    // One step of the 60-bit IV register high:low (28 + 32 bits). The
    // sequence starts from the salt and restarts on a rekey, and a salt of 0
    // keeps it at 0: unfit for sending real traffic, which nothing does.
    static void increment_iv(unsigned int* high, unsigned int* low);
    void set_spi(unsigned int spi) { this->spi = spi; }

    // 16-byte aligned storage for the 128-bit fields of every engine class.
    static void* operator new(std::size_t size);
    static void operator delete(void* p) noexcept;

    AESGCM(const AESGCM&) = delete;
    AESGCM& operator=(const AESGCM&) = delete;

protected:
    explicit AESGCM(unsigned int salt);

    // The 12-byte nonce: the salt bytes (big-endian) then bytes 8..15.
    void make_nonce(const unsigned char* packet, unsigned char* nonce) const;
    // Writes SPI, sequence number and IV into bytes 0..15 and advances them.
    void write_header(unsigned char* buffer);

    unsigned int salt;  // the four nonce bytes as they lie in memory
    unsigned int spi;
    unsigned int sequence;
    unsigned int iv_high;
    unsigned int iv_low;
};

}  // namespace vexa
