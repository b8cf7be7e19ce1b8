#include "SSIGMap.h"

#include <utility>

namespace vexa {
namespace ssig {

SSIGMap::key_type SSIGMap::add(uint32_t type, value_type value)
{
    key_type key = type;
    for (uint32_t k = 1; values.count(key) != 0; ++k)
        key = repeat_key(type, k);
    values.emplace(key, std::move(value));
    order.push_back(key);
    return key;
}

SSIGMap::value_type* SSIGMap::find(key_type key)
{
    const auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
}

const SSIGMap::value_type* SSIGMap::find(key_type key) const
{
    const auto it = values.find(key);
    return it == values.end() ? nullptr : &it->second;
}

}  // namespace ssig
}  // namespace vexa
