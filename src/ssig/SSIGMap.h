// A decoded TLV message: element values by key, the keys in arrival order,
// and the leading word, command element type and command value.
//
// The key of an element is its type; the k-th repeat of a type is keyed
// type | (k << 32) with the smallest free k from 1 upward. Erasing a value
// leaves its key in order: the encoder skips keys without a value.
//
// Threads: a value type; each map is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vexa {
namespace ssig {

class SSIGMap {
public:
    using key_type = uint64_t;
    using value_type = std::vector<uint8_t>;

    // The type of a four-character element code such as "1spi".
    static constexpr uint32_t type_of(const char (&code)[5])
    {
        return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
               (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
    }
    static constexpr key_type repeat_key(uint32_t type, uint32_t k)
    {
        return key_type(type) | (key_type(k) << 32);
    }

    // Stores value under the first free key of type and appends that key to
    // order; returns the key.
    key_type add(uint32_t type, value_type value);

    value_type* find(key_type key);
    const value_type* find(key_type key) const;

    std::unordered_map<key_type, value_type> values;
    std::vector<key_type> order;
    uint32_t leading_word = 0;
    uint32_t command_type = 0;
    uint32_t command_value = 0;
};

}  // namespace ssig
}  // namespace vexa
