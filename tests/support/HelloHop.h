// One MITM hop of a HELLO, VERSION or FAIL, as tests write and read it.
#pragma once

#include "vexa_xml.h"

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace kavri_test {

struct HelloHop {
    std::string version;
    std::string name;
    uint64_t spi = 0;

    bool operator==(const HelloHop& o) const
    {
        return version == o.version && name == o.name && spi == o.spi;
    }

    static std::vector<HelloHop> from(const sVEXA_XML_MITM_HELLOS& list)
    {
        std::vector<HelloHop> out;
        for (int i = 0; i < list.count && i < VEXA_XML_MAX_MITM; ++i)
            out.push_back({list.mitm[i].version, list.mitm[i].name, list.mitm[i].spi});
        return out;
    }
    // Copies at most ten hops, each field cut to its record size.
    static void to(const std::vector<HelloHop>& hops, sVEXA_XML_MITM_HELLOS& list)
    {
        std::memset(&list, 0, sizeof list);
        for (const auto& h : hops) {
            if (list.count == VEXA_XML_MAX_MITM)
                break;
            sVEXA_XML_MITM_HELLO& m = list.mitm[list.count++];
            std::strncpy(m.version, h.version.c_str(), sizeof m.version - 1);
            std::strncpy(m.name, h.name.c_str(), sizeof m.name - 1);
            m.spi = h.spi;
        }
    }
};

inline std::ostream& operator<<(std::ostream& os, const HelloHop& h)
{
    return os << "{" << h.version << ", " << h.name << ", " << h.spi << "}";
}

}  // namespace kavri_test
