#include "SSIGInviteFilter.h"

#include "Config.h"

#include <boost/log/trivial.hpp>

#include <sstream>

namespace vexa {

using boost::log::trivial::error;
using boost::log::trivial::info;
using ssig::SSIGMap;

namespace {

constexpr uint32_t kKsec = SSIGMap::type_of("ksec");
constexpr uint32_t kKcap = SSIGMap::type_of("kcap");

// Erases the first occurrence of type; the count erased.
std::size_t erase_first(SSIGMap& map, uint32_t type)
{
    return map.values.erase(type);
}

}  // namespace

SSIGInviteFilter::SSIGInviteFilter(bool disable, const std::string& session_options)
    : disable_aes128gcm(disable)
{
    std::istringstream in(session_options);
    std::string token;
    while (in >> token) {
        if (token.size() != 4)
            continue;
        const auto c = [&token](int i) { return uint32_t(uint8_t(token[i])); };
        options.emplace_back(token, (c(0) << 24) | (c(1) << 16) | (c(2) << 8) | c(3));
    }
}

SSIGInviteFilter SSIGInviteFilter::from_config()
{
    Config& config = *Config::get_instance();
    return SSIGInviteFilter(config.get("DisableAES128GCM") == "1", config.get("FilterSessionOptions"));
}

bool SSIGInviteFilter::apply(SSIGMap& invite) const
{
    for (const uint32_t type : {SSIGMap::type_of("kprf"), SSIGMap::type_of("kca1"), SSIGMap::type_of("kca2"),
                                SSIGMap::type_of("kcs2")})
        erase_first(invite, type);

    for (uint32_t k = 0; k < 4; ++k) {
        const SSIGMap::key_type offer = SSIGMap::repeat_key(kKsec, k);
        const SSIGMap::value_type* value = invite.find(offer);
        if (!value)
            continue;
        const signed char type = value->size() < 4 ? 0 : static_cast<signed char>((*value)[3]);
        switch (type) {
        case 0:
            invite.values.erase(offer);
            break;
        case 1:
            if (disable_aes128gcm) {
                invite.values.erase(offer);
                for (const uint32_t t :
                     {SSIGMap::type_of("1key"), SSIGMap::type_of("1spi"), SSIGMap::type_of("1slt")})
                    erase_first(invite, t);
            }
            break;
        case 2:
            break;
        case 3:
            invite.values.erase(offer);
            for (const uint32_t t :
                 {SSIGMap::type_of("s12k"), SSIGMap::type_of("s12s"), SSIGMap::type_of("s12t")})
                erase_first(invite, t);
            break;
        default:
            BOOST_LOG_SEV(lg, error) << "*** SSIGServer::Found unknown encryption type: "
                                     << static_cast<char>(type);
            break;
        }
    }

    for (const auto& option : options) {
        const std::size_t erased = erase_first(invite, option.second);
        if (erased != 0)
            BOOST_LOG_SEV(lg, info) << "Erased session option: " << option.first << " = 0x" << std::hex
                                    << option.second << std::dec << " [" << erased << "]";
    }

    bool encapsulation = false;
    if (SSIGMap::value_type* kcap = invite.find(kKcap)) {
        for (const uint8_t b : *kcap)
            encapsulation = encapsulation || b == 1;
        *kcap = SSIGMap::value_type{1};
    }
    return encapsulation;
}

}  // namespace vexa
